"""What the benchmarks in bench/ share: the plain-Python baseline they all
measure the library against, the pseudo-terminal pairs with their answering
peer, the timing, and the printed table and JSON figures.

Not a benchmark itself (bench/report.py runs bench_*.py only). The
benchmarks run as scripts and import it from their own directory.
"""

import argparse
import json
import math
import os
import platform
import queue
import sys
import threading
import time
import tty


# --- The plain-Python baseline: the codec ------------------------------------
# Written the way a Python developer would write the codec: readable, using
# the class constants and format(), with no tuning for speed.
# bench_codec times these functions one by one; the other baselines build
# and check their frames with them.

HEX_DIGITS = "0123456789ABCDEF"
DEC_DIGITS = "0123456789"
HEAD = "%"
TAIL = "\r"
QUERY = "#"
FEEDBACK = "$"
ERROR = "!"
IGNORE_BCC = "*"


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


# --- The plain-Python baseline: the link ---------------------------------------
# The library's design written the straightforward way, in the same layers:
# PlainBase as MewBase (a receiver thread that reads the first byte of a
# frame, then the rest byte by byte up to CR, and hands it on under the
# listener lock), PlainMasterBase as MewMasterBase (a queue per query).

class PlainBase:
    # In messages and thread names. Set per class rather than taken from the
    # class's own name, so that the benchmarks' subclasses of a plain master
    # still speak as "PlainMaster".
    name = "PlainBase"

    def __init__(self, port, baudrate):
        # Imported here: the codec benchmark uses the codec above and can run
        # where pyserial is not installed.
        import serial
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

    def _route(self, line):
        raise NotImplementedError

    def _send(self, data):
        with self._sender_lock:
            self._serial.write(data.encode("utf-8"))


class PlainMasterBase(PlainBase):
    name = "PlainMaster"

    def __init__(self, port, baudrate, query_timeout=1.0):
        super().__init__(port, baudrate)
        self._query_timeout = query_timeout
        self._feedback_listeners = []
        self._query_lock = threading.Lock()
        self.start()

    def _route(self, line):
        kind = line[frame_type_position(line)]
        if kind in (FEEDBACK, ERROR):
            for listener in self._feedback_listeners:
                listener.put(line)
        elif kind == QUERY:
            print("PlainMaster: No query listener. Drop frame.")

    def query(self, command):
        with self._query_lock:
            if not command.endswith(TAIL):
                command += TAIL
            listener = queue.Queue()
            with self._listener_lock:
                self._feedback_listeners.append(listener)
            try:
                self._send(command)
                response = listener.get(timeout=self._query_timeout)
            except queue.Empty:
                response = None
            finally:
                with self._listener_lock:
                    self._feedback_listeners.remove(listener)
            if response is None:
                raise IOError("MewMasterBase: device response timeout.")
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


# --- Pseudo-terminal pairs and the answering peer ------------------------------

# Written on the pty's slave side, it reaches the peer like a command and
# ends it without any polling on the peer's side.
PEER_STOP = b"STOP\r"


def open_raw_pty():
    """A pseudo-terminal pair in raw mode: (master fd, slave fd). Without raw
    mode the line discipline would echo frames back and turn the CR that
    ends each of them into LF."""
    master_fd, slave_fd = os.openpty()
    tty.setraw(master_fd)
    tty.setraw(slave_fd)
    return master_fd, slave_fd


def serve(fd, table, otherwise):
    """Answers every CR-terminated frame read from `fd` until PEER_STOP.

    The answer comes from `table` (frame -> response, bytes) or else from
    `otherwise(frame)`, which returns None to leave a frame unanswered: the
    table lookup is all the work on the peer's side for the frames a round
    repeats, so that the peer costs next to nothing in the figures.
    """
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
    """A raw pseudo-terminal pair with a peer answering on its master side
    (see serve), in a thread of this process or, with `in_process` false,
    in a forked child, which then competes with nobody here for the
    interpreter lock."""

    def __init__(self, table, otherwise, in_process=True):
        self.master_fd, self.slave_fd = open_raw_pty()
        self.name = os.ttyname(self.slave_fd)
        self.child = None
        self.thread = None
        if in_process:
            self.thread = threading.Thread(target=serve, args=(self.master_fd, table, otherwise), name="peer",
                                           daemon=True)
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
        """Writes `control` where a master would write its commands."""
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
    """A master on the slave side of its own pty pair."""

    def __init__(self, label, make, pty):
        self.label = label
        self.pty = pty
        try:
            self.master = make(pty.name)
        except BaseException:
            pty.close()
            raise

    def close(self):
        self.master.close()
        self.pty.close()


def open_sides(open_side, entries):
    """open_side(*entry) for each entry (such as a benchmark's (label, make)
    pairs), in order; closes the sides already open if one fails."""
    sides = []
    try:
        for entry in entries:
            sides.append(open_side(*entry))
    except BaseException:
        close_sides(sides)
        raise
    return sides


def close_sides(sides):
    for side in sides:
        side.close()


# --- Timing ------------------------------------------------------------------------

def alternate(sides, rounds, run):
    """{side label: [run(side) of each round]}, the sides taking turns round
    by round, so that a change of machine load during the run hits all of
    them alike."""
    results = {side.label: [] for side in sides}
    for _ in range(rounds):
        for side in sides:
            results[side.label].append(run(side))
    return results


def time_each(call, args, expected, seconds):
    """Calls back to back for about `seconds`: the latency of each, and the time taken."""
    latencies = []
    append = latencies.append
    clock = time.perf_counter
    wrong = 0
    begin = clock()
    end = begin + seconds
    t1 = begin
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
    """Counts of latencies in bins of equal width on a log scale, from the
    first bin that holds any to the last: a few dozen numbers instead of
    every sample, still enough to draw the distribution."""
    per = HISTOGRAM_BINS_PER_DECADE
    index = [math.floor(math.log10(max(t * 1e6, 1e-3)) * per) for t in latencies]
    low = min(index)
    counts = [0] * (max(index) - low + 1)
    for i in index:
        counts[i - low] += 1
    return {"bins_per_decade": per,
            "edges_us": [float("%.6g" % 10 ** ((low + k) / per)) for k in range(len(counts) + 1)],
            "counts": counts}


def geometric_mean(values):
    values = list(values)
    return math.exp(sum(math.log(v) for v in values) / len(values))


# --- The machine -------------------------------------------------------------------

def machine_facts(cpus=True):
    facts = {"python": sys.version.split()[0], "machine": platform.machine()}
    if cpus:
        facts["cpus"] = os.cpu_count()
    return facts


def cpu_seconds():
    """CPU seconds (busy, this process with its reaped children) machine-wide; None off Linux.

    On a machine of few CPUs every figure here moves with what else runs:
    a CPU that others keep busy wakes faster than an idle one, so the
    figures are only comparable between runs with little other load.
    """
    try:
        with open("/proc/stat", encoding="ascii") as f:
            fields = [int(v) for v in f.readline().split()[1:]]
    except (OSError, ValueError):
        return None
    idle = fields[3] + (fields[4] if len(fields) > 4 else 0)
    t = os.times()
    return (sum(fields[:8]) - idle) / os.sysconf("SC_CLK_TCK"), t.user + t.system + t.children_user + t.children_system


class OtherLoad:
    """The share of all CPUs that other processes kept busy between start()
    and stop(); None where it cannot be told."""

    def start(self):
        self._cpu, self._wall = cpu_seconds(), time.monotonic()

    def stop(self):
        cpu_after, wall = cpu_seconds(), time.monotonic() - self._wall
        if not (self._cpu and cpu_after):
            return None
        busy, own = (after - before for after, before in zip(cpu_after, self._cpu))
        return max(0.0, busy - own) / (wall * os.cpu_count())


# --- Arguments and output ----------------------------------------------------------

def argument_parser(doc, quick_help):
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help=quick_help)
    parser.add_argument("--json", metavar="PATH", help="also write the figures to PATH as JSON")
    return parser


def print_table(columns, rows, sep="  "):
    """Prints a heading line and one line per row.

    `columns` is a list of (heading, conversion) with the conversion written
    as after a "%": "-12s" for a left-aligned text, "14.0f" or "11d" for a
    right-aligned number. The headings take the conversions' alignment and
    width. A row may be shorter than the columns, and a text in a number's
    column (such as "" for a blank) is aligned as its heading.
    """
    texts = ["%" + conv[:len(conv) - len(conv.lstrip("-0123456789"))] + "s" for _, conv in columns]
    print(sep.join(text % heading for text, (heading, _) in zip(texts, columns)))
    for row in rows:
        print(sep.join((text if isinstance(value, str) else "%" + conv) % value
                       for text, (_, conv), value in zip(texts, columns, row)))


def target(value, goal, at_most=False):
    """A target as the JSON figures hold it: met when `value` is at least
    `goal` (at most, for a time or a slowdown)."""
    return {"target": goal, "value": value, "met": value <= goal if at_most else value >= goal}


def print_target(what, entry, detail):
    print("target %s: %s (%s)" % (what, "met" if entry["met"] else "MISSED", detail))


def write_json(path, report):
    with open(path, "w", encoding="utf-8") as f:
        json.dump(report, f, indent=2)
        f.write("\n")
