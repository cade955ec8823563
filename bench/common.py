"""The harness of bench/: plain-Python baselines, ptys and peers, helper
processes, rounds alternated, timing, and Bench: options, printing, JSON."""

import argparse
import contextlib
import json
import math
import os
import platform
import queue
import select
import socket
import statistics
import subprocess
import sys
import threading
import time
import tty

# --- The plain-Python baseline: the codec, written plainly with format() ------------

HEX_DIGITS, DEC_DIGITS = "0123456789ABCDEF", "0123456789"
HEAD, TAIL, QUERY, FEEDBACK, ERROR, IGNORE_BCC = "%", "\r", "#", "$", "!", "*"

def calc_crc(data, init=0):
    crc = init
    for byte in data.encode("utf-8"):
        crc ^= byte
    return crc

def append_tail(data):
    crc = calc_crc(data)
    return data + HEX_DIGITS[crc >> 4] + HEX_DIGITS[crc & 15] + TAIL

def crc_is_ok(frame):
    crc_recv = frame[-3:-1]
    if crc_recv[0] == IGNORE_BCC or crc_recv[1] == IGNORE_BCC:
        return crc_recv[0] == crc_recv[1]
    return int(crc_recv, 16) == calc_crc(frame[:-3])

def parse_uint16(data):
    low = data[0:2]
    high = data[2:4]
    return (int(high, 16) << 8) | int(low, 16)

def parse_uint32(data):
    low = parse_uint16(data[0:4])
    high = parse_uint16(data[4:8])
    return (high << 16) | low

def word_text(value):
    return "%02X%02X" % (value & 0xFF, value >> 8)

def fill_header(station, cmd):
    return HEAD + format(station, "02X") + QUERY + cmd

def fill_uint16(data, value):
    assert value >= 0
    low = value & 255
    high = value >> 8
    return data + format(low, "02X") + format(high, "02X")

def _data_area_start(station, cmd, reg_start, count):
    data = fill_header(station, cmd)
    addr = reg_start[1:] if reg_start[1] in DEC_DIGITS else reg_start[2:]
    data += reg_start[0]
    start = int(addr)
    end = start + count - 1
    return data + format(start, "05d") + format(end, "05d")

def fill_read_data_area_message(station, reg_start, reg_count):
    assert reg_count > 0
    return append_tail(_data_area_start(station, "RD", reg_start, reg_count))

def fill_write_data_area_message(station, reg_start, values):
    assert len(values) > 0
    data = _data_area_start(station, "WD", reg_start, len(values))
    for value in values:
        data = fill_uint16(data, value)
    return append_tail(data)

def frame_type_position(frame):
    for i in range(1, len(frame)):
        if frame[i] in (QUERY, FEEDBACK, ERROR):
            return i
    raise ValueError("no frame type in %r" % frame)

def parse_station(frame):
    return int(frame[1:frame_type_position(frame)], 16)

def contact_address(name):
    """"Y3" -> "Y0003", "Y10" -> "Y0010"."""
    return name[0] + format(int(name[1:-1] or "0"), "03d") + name[-1].upper()

def word_address(name):
    """"WX0" -> ("X", 0)."""
    assert name[0] == "W"
    return name[1], int(name[2:])

def _word_range(station, cmd, name, count):
    letter, start = word_address(name)
    return fill_header(station, cmd) + letter + format(start, "04d") + format(start + count - 1, "04d")

def fill_read_word_unit_of_contact_message(station, name, word_count=1):
    assert word_count > 0
    return append_tail(_word_range(station, "RCC", name, word_count))

def fill_write_single_point_of_contact_message(station, name, value):
    return append_tail(fill_header(station, "WCS") + contact_address(name) + ("1" if value else "0"))

def register_word(register):
    """A different value in every register: a word decoded from the wrong place shows."""
    return (register * 40503 + 4660) & 0xFFFF

# --- The plain-Python baseline: the link, in the library's layers ----------------------
# PlainBase as MewBase (a receiver thread reading a frame byte by byte up to
# CR, handing it on under the listener lock), PlainMaster as MewMaster (a
# queue per query, typed operations), PlainSlave as MewSlaveBase with the
# full-duplex worker.

def frame_kind(frame):
    """The frame's type; "" for the frames after an answer's first, which carry none."""
    for c in frame[1:]:
        if c in (QUERY, FEEDBACK, ERROR):
            return c
    return ""

def cut_frames(response, limit):
    """A response cut as a controller cuts it into frames of at most `limit`:
    each its own check code, "&" before every CR but the last, the header
    and station in front of every frame after the first."""
    if not limit or len(response) <= limit:
        return [response]
    head, body = response[:3], response[:-3]

    def frame(text, more):
        done = append_tail(text)
        return done[:-1] + "&" + TAIL if more else done

    first = limit - 3 - 1
    frames, body = [frame(body[:first], True)], body[first:]
    while body:
        room = limit - len(head) - 3
        last = len(body) <= room
        take = len(body) if last else room - 1
        frames.append(frame(head + body[:take], not last))
        body = body[take:]
    return frames

def continuation_request(frame):
    return append_tail(frame[:3])[:-1] + "&" + TAIL

class PlainBase:
    name = "PlainBase"

    def __init__(self, port, baudrate):
        import serial  # here: the codec benchmark runs without pyserial
        self._serial = serial.Serial(port=port, baudrate=baudrate, timeout=0.1)
        self._stop_flag = True
        self._listener_lock = threading.Lock()
        self._sender_lock = threading.Lock()
        self._receiver_thread = None

    def start(self):
        if not self._stop_flag:
            return
        self._stop_flag = False
        self._serial.reset_input_buffer()
        self._receiver_thread = threading.Thread(target=self._receiver, name=self.name + "._receiver")
        self._receiver_thread.start()

    def close(self):
        if not self._stop_flag:
            self._stop_flag = True
            self._receiver_thread.join()
        self._serial.close()

    def _receive_frame(self):
        data = b""
        while True:
            c = self._serial.read(1)
            if not c:
                break
            data += c
            if c == b"\r":
                break
        if not data:
            raise IOError("Error: device no response.")
        if data[-1:] != b"\r":
            raise IOError("Error: device response format invalid.")
        return data.decode("latin-1")

    def _receiver(self):
        while not self._stop_flag:
            c = self._serial.read(1)
            if not c:
                continue
            try:
                line = c.decode("latin-1") + self._receive_frame()
                with self._listener_lock:
                    self._route(line)
            except IOError as e:
                print("IOError from %s: %s" % (self.name, e))
                time.sleep(0.1)
            except Exception as e:
                print("Ignore unhandled exception: %s" % e)

    def _send(self, data):
        with self._sender_lock:
            self._serial.write(data.encode("utf-8"))

class PlainMaster(PlainBase):
    """query() as MewMasterBase's, asking for every further frame of a long
    answer; typed operations as MewMaster's, frames built and words decoded
    in Python."""

    name = "PlainMaster"

    def __init__(self, port, baudrate, query_timeout=1.0):
        super().__init__(port, baudrate)
        self._query_timeout = query_timeout
        self._feedback_listeners = []
        self._query_lock = threading.Lock()
        self.start()

    def _route(self, line):
        if frame_kind(line) == QUERY:
            print("PlainMaster: No query listener. Drop frame.")
            return
        for listener in self._feedback_listeners:
            listener.put(line)

    def _next(self, listener):
        try:
            return listener.get(timeout=self._query_timeout)
        except queue.Empty:
            raise IOError("MewMasterBase: device response timeout.") from None

    def query(self, command):
        with self._query_lock:
            if not command.endswith(TAIL):
                command += TAIL
            listener = queue.Queue()
            with self._listener_lock:
                self._feedback_listeners.append(listener)
            try:
                self._send(command)
                frame = response = self._next(listener)
                while frame.endswith("&" + TAIL):
                    # A long answer: each frame checked, the next asked for, its data joined on.
                    if not crc_is_ok(frame[:-2] + TAIL):
                        raise IOError("Error: check code: %r" % frame)
                    self._send(continuation_request(frame))
                    frame = self._next(listener)
                    if not frame.endswith("&" + TAIL) and not crc_is_ok(frame):
                        raise IOError("Error: check code: %r" % frame)
                    response = response[:-4] + frame[3:]
            finally:
                with self._listener_lock:
                    self._feedback_listeners.remove(listener)
            responding = parse_station(response)
            if response[0] != HEAD:
                raise IOError("Error: device response format invalid: begin with: %s" % response[0])
            if len(response) < 9:
                raise IOError("Error: device response format invalid: length too small: %d" % len(response))
            addressed = parse_station(command)
            pos = frame_type_position(response) + 1
            if addressed != responding:
                raise IOError("Error: station not match: expected %d, got %d" % (addressed, responding))
            if response[pos - 1] == ERROR:
                raise IOError("MEW communication error code(hex): %s" % response[pos:pos + 2])
            return response[pos:-3]

    def _words(self, fb, count):
        if len(fb) != 4 * count + 2:
            raise IOError("Invalid feedback format: %s" % fb)
        words = [0] * count
        for i in range(count):
            at = 2 + 4 * i
            words[i] = int(fb[at + 2:at + 4] + fb[at:at + 2], 16)
        return words

    def get_multi_uint16(self, station, name, count):
        return self._words(self.query(fill_read_data_area_message(station, name, count)), count)

    def get_uint16(self, station, name):
        return self.get_multi_uint16(station, name, 1)[0]

    def get_multi_coil_uint16(self, station, name, count):
        return self._words(self.query(fill_read_word_unit_of_contact_message(station, name, count)), count)

    def get_coil_uint16(self, station, name):
        return self.get_multi_coil_uint16(station, name, 1)[0]

    def set_multi_uint16(self, station, name, values):
        self.query(fill_write_data_area_message(station, name, values))

    def set_uint32(self, station, name, value):
        self.set_multi_uint16(station, name, [value & 0xFFFF, (value >> 16) & 0xFFFF])

    def set_coil(self, station, name, value):
        self.query(fill_write_single_point_of_contact_message(station, name, value))

PROCESS_UNKNOWN_CMD = -3

def station_end(data):
    for i, c in enumerate(data):
        if c in (TAIL, IGNORE_BCC):
            return -1
        if c in (QUERY, FEEDBACK, ERROR):
            return i
    return len(data)

def parse_command(data):
    pos = station_end(data) + 1
    cmd = data[pos:pos + 3]
    if cmd in ("RCS", "WCS", "RCC", "WCC"):
        return cmd
    return cmd[:2] if cmd[:2] in ("RD", "WD") else "UNKNOWN"

class PlainSlave(PlainBase):
    """The receiver queues commands for a worker thread, which answers each
    under the sender lock as MewSlaveBase does, with its default handlers
    (reads answer zeros, writes store nothing) but register reads, answered
    from `registers`; an answer longer than `frame_limit` goes in frames."""

    name = "PlainSlave"

    def __init__(self, station, port, baudrate, frame_limit=None):
        super().__init__(port, baudrate)
        self._station, self._frame_limit = station, frame_limit
        self.registers, self._pending, self._query_listeners = {}, [], []
        self._slave_stop_flag, self._slave_thread = True, None

    def start(self):
        super().start()
        if self._slave_stop_flag:
            self._slave_stop_flag = False
            requests = queue.Queue()
            with self._listener_lock:
                self._query_listeners.append(requests)
            self._slave_thread = threading.Thread(target=self._check_and_process_request, args=(requests,),
                                                  name=self.name + "._check_and_process_request")
            self._slave_thread.start()

    def close(self):
        if not self._slave_stop_flag:
            self._slave_stop_flag = True
            self._slave_thread.join()
        super().close()

    def _route(self, line):
        kind = frame_kind(line)
        if kind in (QUERY, ""):
            for listener in self._query_listeners:
                listener.put(line)
        elif kind not in (FEEDBACK, ERROR):
            print("%s: Unknown frame type: %s" % (self.name, kind))

    def _check_and_process_request(self, requests):
        while not self._slave_stop_flag:
            try:
                frame = requests.get(timeout=0.1)
            except queue.Empty:
                continue
            try:
                feedback = self._process_request(frame)
                if feedback:
                    self._send(feedback)
            except Exception as e:
                print("Ignore unhandled exception: %s" % e)

    def _process_request(self, command):
        if len(command) == 7 and command.endswith("&" + TAIL) and crc_is_ok(command.replace("&", "")):
            # A request for the next frame of the last answer.
            return self._pending.pop(0) if self._pending else append_tail(command[:3] + "!43")
        self._pending = []
        if len(command) < 9 or command[0] != HEAD or not crc_is_ok(command):
            print("Invalid MEW frame: %s" % command)
            return ""
        if int(command[1:station_end(command)], 16) != self._station:
            print("Ignore other target frame.")
            return ""
        cmd = parse_command(command)
        pos = station_end(command) + 1 + len(cmd)
        data, error = "", 0
        if cmd == "RCS":
            data = "1" if self.on_get_coil(command[pos:pos + 5]) else "0"
        elif cmd == "WCS":
            self.on_set_coil(command[pos:pos + 5], command[pos + 5] != "0")
        elif cmd in ("RCC", "WCC"):
            start = command[pos:pos + 5]
            count = int(command[pos + 5:pos + 9]) - int(start[1:]) + 1
            if cmd == "RCC":
                data = "".join(word_text(v) for v in self.on_get_multi_coil_uint16(start, count))
            else:
                values = [parse_uint16(command[pos + 9 + 4 * i:pos + 13 + 4 * i]) for i in range(count)]
                self.on_set_multi_coil_uint16(start, values)
        elif cmd in ("RD", "WD"):
            start = command[pos:pos + 6]
            count = int(command[pos + 6:pos + 11]) - int(start[1:]) + 1
            if cmd == "RD":
                data = "".join(word_text(v) for v in self.on_get_multi_uint16(start, count))
            else:
                values = [parse_uint16(command[pos + 11 + 4 * i:pos + 15 + 4 * i]) for i in range(count)]
                self.on_set_multi_uint16(start, values)
        else:
            error = PROCESS_UNKNOWN_CMD
        head = command[:station_end(command)]
        if error:
            return append_tail(head + ERROR + "%02X" % abs(error))
        frames = cut_frames(append_tail(head + FEEDBACK + cmd[:2] + data), self._frame_limit)
        self._pending = frames[1:]
        return frames[0]

    def on_get_coil(self, name):
        return False

    def on_set_coil(self, name, value):
        pass

    def on_get_multi_coil_uint16(self, name, count):
        return [0] * max(count, 0)

    def on_set_multi_coil_uint16(self, name, values):
        pass

    def on_get_multi_uint16(self, name, count):
        registers, start = self.registers, int(name[1:])
        return [registers.get(start + i, 0) for i in range(max(count, 0))]

    def on_set_multi_uint16(self, name, values):
        pass

# --- Ptys and the answering peer -----------------------------------------------------

# Written on the pty's slave side, it reaches the peer like a command and ends it.
PEER_STOP = b"STOP\r"

def open_raw_pty():
    """(master fd, slave fd) of a pty pair in raw mode (else frames echo, CR turns LF)."""
    master_fd, slave_fd = os.openpty()
    tty.setraw(master_fd)
    tty.setraw(slave_fd)
    return master_fd, slave_fd

def serve(fd, table, otherwise):
    """Answers every frame read from `fd` until PEER_STOP: from `table`
    (frame -> response, bytes; the peer then costs next to nothing), else
    otherwise(frame) (None: no answer)."""
    pending = b""
    while True:
        try:
            chunk = os.read(fd, 4096)
        except OSError:
            return
        if not chunk:
            return
        pending += chunk
        while True:
            cut = pending.find(b"\r")
            if cut < 0:
                break
            frame, pending = pending[:cut + 1], pending[cut + 1:]
            reply = table.get(frame)
            if reply is None:
                if frame == PEER_STOP:
                    return
                reply = otherwise(frame)
                if reply is None:
                    continue
            os.write(fd, reply)

class PtyPair:
    """A raw pty pair, its master side answered by serve() in a thread, or,
    `in_process` false, in a forked child that takes no interpreter lock here."""

    def __init__(self, table, otherwise, in_process=True):
        self.master_fd, self.slave_fd = open_raw_pty()
        self.name = os.ttyname(self.slave_fd)
        self.child = self.thread = None
        if in_process:
            self.thread = threading.Thread(target=serve, args=(self.master_fd, table, otherwise), daemon=True)
            self.thread.start()
            return
        self.child = os.fork()
        if self.child == 0:
            code = 0
            try:
                serve(self.master_fd, table, otherwise)
            except BaseException:
                code = 1
            os._exit(code)

    def tell(self, control):
        """Writes `control` where a master writes its commands."""
        os.write(self.slave_fd, control)

    def close(self):
        self.tell(PEER_STOP)
        if self.child:
            os.waitpid(self.child, 0)
        else:
            self.thread.join(5)
        os.close(self.slave_fd)
        os.close(self.master_fd)

class MasterSide:
    """A master made on the slave side of its own pty pair."""

    def __init__(self, label, make, pty):
        self.label, self.pty = label, pty
        try:
            self.master = make(pty.name)
        except BaseException:
            pty.close()
            raise

    def close(self):
        self.master.close()
        self.pty.close()

@contextlib.contextmanager
def opened(open_side, entries):
    """[open_side(*entry) for each entry], all closed at the end of the `with`
    (or as soon as one fails to open)."""
    with contextlib.ExitStack() as stack:
        sides = []
        for entry in entries:
            sides.append(open_side(*entry))
            stack.callback(sides[-1].close)
        yield sides

def exchange(fd, command, timeout=2.0):
    """Writes a command (bytes) on `fd`, returns its answer up to CR; RuntimeError after `timeout` s."""
    os.write(fd, command)
    answer = b""
    while not answer.endswith(b"\r"):
        ready, _, _ = select.select([fd], [], [], timeout)
        if not ready:
            raise RuntimeError("no answer within %.1f s (got %r)" % (timeout, answer))
        answer += os.read(fd, 4096)
    return answer

# --- Helper processes ------------------------------------------------------------

class Child:
    """This script again as a helper (see run); its first line says where it
    serves, each line written gets one back, it ends when its stdin closes."""

    def __init__(self, *args):
        self.proc = subprocess.Popen([sys.executable, os.path.abspath(sys.argv[0]), *args],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.first = self.proc.stdout.readline().strip()
        if not self.first:
            Child.close(self)
            raise RuntimeError("helper %s did not start" % " ".join(args))

    def ask(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        return self.proc.stdout.readline().strip()

    def close(self):
        self.proc.stdin.close()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            stop_process(self.proc)
        self.proc.stdout.close()

class PtyChild(Child):
    """A helper serving on a raw pty's slave side (its last argument); we drive the master side."""

    def __init__(self, *args):
        self.master_fd, self.slave_fd = open_raw_pty()
        try:
            super().__init__(*args, os.ttyname(self.slave_fd))
        except BaseException:
            self._close_pty()
            raise

    def _close_pty(self):
        os.close(self.slave_fd)
        os.close(self.master_fd)

    def close(self):
        super().close()
        self._close_pty()

def serve_lines(first, answer=lambda line: "?"):
    """A helper's side of Child: prints `first`, then answer(line) per line read until stdin ends."""
    print(first, flush=True)
    for line in sys.stdin:
        print(answer(line.strip()), flush=True)

def relay_child():
    from b4k_mew_tools import VirtualLine
    with VirtualLine() as line:
        serve_lines("%s %s" % (line.port_a, line.port_b))

class Relay(Child):
    """A virtual serial line relayed by a helper process, which takes no
    interpreter lock here: port_a, port_b."""

    def __init__(self, *args):
        super().__init__(*(args or ("--relay",)))
        self.port_a, self.port_b = self.first.split()

def run(main, **helpers):
    """The script's entry: main(), or the helper the first argument names ("--serve": helpers["serve"])."""
    for name, helper in dict(helpers, relay=relay_child).items():
        if sys.argv[1:2] == ["--" + name]:
            sys.exit(helper(*sys.argv[2:]) or 0)
    sys.exit(main())

# --- Timing ------------------------------------------------------------------------

class Spinner:
    """A Python thread looping on pure-Python work from start() (or `with`) to
    stop(), counting its loops: a side that holds the interpreter lock while
    it waits shows as a spinner that got little done."""

    def __init__(self):
        self._stop, self.loops, self.seconds = False, 0, 0.0
        self._thread = threading.Thread(target=self._run, name="spinner", daemon=True)

    def _run(self):
        x = loops = 0
        begin = time.perf_counter()
        while not self._stop:
            for i in range(1000):
                x = (x * 31 + i) % 1000003
            loops += 1
        self.seconds, self.loops = time.perf_counter() - begin, loops

    def start(self):
        self._thread.start()
        return self

    def stop(self):
        self._stop = True
        self._thread.join()

    __enter__ = start

    def __exit__(self, *exc):
        self.stop()

def alternate(sides, rounds, run):
    """{side label: [run(side) of each round]}, the sides taking turns round by
    round, so that a change of load hits them all alike."""
    results = {side.label: [] for side in sides}
    for _ in range(rounds):
        for side in sides:
            results[side.label].append(run(side))
    return results

def measure_sides(sides, rounds, seconds, warmup, run=lambda side, seconds: side.run(seconds)):
    """alternate() of run(side, seconds) after a warm-up run(side, warmup) of each."""
    for side in sides:
        run(side, warmup)
    return alternate(sides, rounds, lambda side: run(side, seconds))

def time_each(call, args, expected, seconds):
    """Calls back to back for about `seconds`: (the latency of each, the time taken)."""
    latencies = []
    append, clock = latencies.append, time.perf_counter
    wrong = 0
    t1 = begin = clock()
    end = begin + seconds
    while t1 < end:
        t0 = clock()
        result = call(*args)
        t1 = clock()
        append(t1 - t0)
        if result != expected:
            wrong += 1
    if wrong:
        raise AssertionError("%d results other than %r" % (wrong, expected))
    return latencies, t1 - begin

def percentile(sorted_values, fraction):
    """Nearest-rank percentile of an ascending list."""
    rank = max(1, math.ceil(fraction * len(sorted_values)))
    return sorted_values[min(rank, len(sorted_values)) - 1]

HISTOGRAM_BINS_PER_DECADE = 20

def latency_histogram(latencies):
    """Counts of latencies in bins of equal width on a log scale, first to last bin that holds any."""
    per = HISTOGRAM_BINS_PER_DECADE
    index = [math.floor(math.log10(max(t * 1e6, 1e-3)) * per) for t in latencies]
    low = min(index)
    counts = [0] * (max(index) - low + 1)
    for i in index:
        counts[i - low] += 1
    return {"bins_per_decade": per, "counts": counts,
            "edges_us": [float("%.6g" % 10 ** ((low + k) / per)) for k in range(len(counts) + 1)]}

def latency_figures(latencies, elapsed):
    """How many, their rate over `elapsed` s, the latency's median, p90, p99, maximum and histogram."""
    s = sorted(latencies)
    return {"round_trips": len(s), "ops_per_s": len(s) / elapsed, "median_us": statistics.median(s) * 1e6,
            "p90_us": percentile(s, 0.90) * 1e6, "p99_us": percentile(s, 0.99) * 1e6, "max_us": s[-1] * 1e6,
            "latency_histogram": latency_histogram(s)}

def rate_figures(runs, unit, per=1, count=None):
    """Figures of rounds [(latencies, time taken, ...)]: how many (`count`,
    default `unit`), the best round's rate of `unit` per second (`per` each)
    and every round's, the latency figures. The best round counts, as with
    timeit: other work on the machine only ever slows a round down."""
    rates = [len(r[0]) * per / r[1] for r in runs]
    figures = latency_figures([t for r in runs for t in r[0]], sum(r[1] for r in runs))
    del figures["ops_per_s"]
    return {count or unit: figures.pop("round_trips"), unit + "_per_s": max(rates), unit + "_per_s_rounds": rates,
            **figures}

def geometric_mean(values):
    return statistics.geometric_mean(list(values))

# --- The machine -------------------------------------------------------------------

def cpu_seconds():
    """(busy CPU seconds machine-wide, this process's with its reaped children); None off Linux."""
    try:
        with open("/proc/stat", encoding="ascii") as f:
            fields = [int(v) for v in f.readline().split()[1:]]
    except (OSError, ValueError):
        return None
    idle = fields[3] + (fields[4] if len(fields) > 4 else 0)
    t = os.times()
    return (sum(fields[:8]) - idle) / os.sysconf("SC_CLK_TCK"), t.user + t.system + t.children_user + t.children_system

class OtherLoad:
    """The share of all CPUs other processes kept busy from start() to stop(); None where unknown."""

    def start(self):
        self._cpu, self._wall = cpu_seconds(), time.monotonic()
        return self

    def stop(self):
        cpu_after, wall = cpu_seconds(), time.monotonic() - self._wall
        if not (self._cpu and cpu_after):
            return None
        busy, own = (after - before for after, before in zip(cpu_after, self._cpu))
        return max(0.0, busy - own) / (wall * os.cpu_count())

def process_cpu_seconds(pid):
    """CPU seconds (user and system) of process `pid`; 0 once gone."""
    try:
        with open("/proc/%d/stat" % pid, encoding="ascii", errors="replace") as f:
            fields = f.read().rpartition(")")[2].split()
    except OSError:
        return 0
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]

def wait_for(condition, timeout, step=0.02):
    """Whether `condition()` came true within `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(step)
    return condition()

def stop_process(proc, timeout=5):
    """Terminates `proc`, killed if it has not ended after `timeout` seconds."""
    proc.terminate()
    try:
        proc.wait(timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()

# --- Options, the printed tables and targets, the JSON figures ---------------------------

def cell(value, conversion=None):
    """A table's cell: a float with two decimals, fewer from 100 up."""
    if value is None or value == "":
        return ""
    if conversion:
        return conversion % value
    if isinstance(value, float) and math.isfinite(value):
        return "%.0f" % value if abs(value) >= 1000 else "%.1f" % value if abs(value) >= 100 else "%.2f" % value
    return str(value)

class Bench:
    """One benchmark's run: `opts` (--quick, --json and `arguments`, each
    (names, keywords)), `settings` (`quick` or `full`), and what it prints,
    each table, line and target also kept for the JSON figures and the report."""

    def __init__(self, name, doc, quick, full, *arguments, argv=None, quick_help="fewer and shorter rounds"):
        parser = argparse.ArgumentParser(description=doc.splitlines()[0])
        parser.add_argument("--quick", action="store_true", help=quick_help)
        parser.add_argument("--json", metavar="PATH", help="also write the figures to PATH as JSON")
        for names, keywords in arguments:
            parser.add_argument(*names, **keywords)
        self.opts = parser.parse_args(argv)
        self.settings = quick if self.opts.quick else full
        self.name, self.printed, self.targets = name, [], {}

    def say(self, text="", *args):
        text = text % args if args else text
        print(text, flush=True)
        self.printed.append({"text": text})

    def table(self, rows, *columns, title=None, note=None):
        """Prints `rows` (dicts) under `columns`, each "key", "key=heading" or
        (key, heading, conversion); text left-aligned, numbers right."""
        columns = [c if isinstance(c, tuple) else tuple(c.partition("=")[::2]) for c in columns]
        columns = [(c[0], c[1] or c[0], c[2] if len(c) > 2 else None) for c in columns]
        cells = [[cell(row.get(key), conv) for key, _, conv in columns] for row in rows]
        left = [all(isinstance(row.get(key), str) or row.get(key) is None for row in rows) for key, _, _ in columns]
        widths = [max([len(heading)] + [len(r[i]) for r in cells]) for i, (_, heading, _) in enumerate(columns)]

        def line(texts):
            return "  ".join(t.ljust(w) if lf else t.rjust(w) for t, w, lf in zip(texts, widths, left)).rstrip()
        if title:
            print(title)
        print(line([heading for _, heading, _ in columns]))
        for r in cells:
            print(line(r))
        if note:
            print("(%s)" % note)
        print(flush=True)
        self.printed.append({"title": title, "headings": [h for _, h, _ in columns], "rows": cells, "note": note,
                             "left": left})

    def target(self, key, what, value, goal, at_most=False, detail="%.2f"):
        """A target, printed and kept: met when `value` is at least `goal` (at most, with `at_most`)."""
        entry = {"target": goal, "value": value, "met": value <= goal if at_most else value >= goal}
        self.targets[key] = entry
        self.say("target %s: %s (%s)", what, "met" if entry["met"] else "MISSED",
                 detail % value if "%" in detail else detail)
        return entry

    def finish(self, **figures):
        """Writes the JSON figures if asked: 0, the exit status once the figures are printed, targets met or not."""
        if self.opts.json:
            with open(self.opts.json, "w", encoding="utf-8") as f:
                json.dump({"benchmark": self.name, "quick": self.opts.quick, "python": sys.version.split()[0],
                           "machine": platform.machine(), "cpus": os.cpu_count(), "printed": self.printed,
                           "targets": self.targets, **figures}, f, indent=2)
                f.write("\n")
        return 0
