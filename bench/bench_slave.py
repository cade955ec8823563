"""Slave answers over a pseudo-terminal: b4k_mew.MewFullDuplex against a plain-Python slave.

Run from the repository root after building:

    PYTHONPATH=build /usr/bin/python3 bench/bench_slave.py [--quick] [--json PATH]

Each slave sits on the slave side of its own raw pseudo-terminal pair. On
the pty's master side a driving loop of plain Python plays the master: it
writes one register read command ("%01#RDD0010000101" with its check code)
with os.write, reads the answer with os.read up to its CR, and only then
sends the next command. The library slave is a MewFullDuplex with its
default handlers on a MewSerial; the baseline is the same design written in
plain Python on pyserial (a receiver thread reading each frame byte by byte
and putting commands into the queue of a worker thread, which checks the
frame, calls the handler and writes the response under a sender lock). A
third row, "floor", answers with a fixed response from a thread that reads
and writes the pty directly with os.read and os.write: the cost of the pty
and of the driving loop alone. The rows alternate round by round, so that a
change of machine load hits all of them alike. The figures are answers per
second (the best of several rounds) and the median latency of one
exchange; the ratio is library over baseline.
It is a benchmark, not a test: it always exits 0 once the figures are
printed, whether the target is met or not.
"""

import os
import queue
import select
import statistics
import sys
import threading
import time

import b4k_mew

# The benchmarks run as scripts; the insert lets them be imported as well.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
from common import (ERROR, FEEDBACK, HEAD, IGNORE_BCC, QUERY, TAIL, append_tail, crc_is_ok,  # noqa: E402
                    parse_uint16, word_text)

# Target for the ratio library / plain Python, answers per second.
TARGET_RATIO = 3.0

BAUDRATE = 115200
COMMAND = b4k_mew.MewStatic.append_tail("%01#RDD0010000101")
RESPONSE = b4k_mew.MewStatic.append_tail("%01$RD00000000")
# The driving loop gives up on an answer after this long: a benchmark that
# hangs tells nothing.
ANSWER_TIMEOUT = 2.0


# --- The plain-Python baseline ----------------------------------------------
# Written the way a Python developer would write the slave: the receiver and
# worker threads of the library's design, request processing following the
# protocol step by step, nothing tuned for speed.

CMD_UNKNOWN = "UNKNOWN"
PROCESS_UNKNOWN_CMD = -3


def find_station_end(data):
    for i, c in enumerate(data):
        if c in (TAIL, IGNORE_BCC):
            return -1
        if c in (QUERY, FEEDBACK, ERROR):
            return i
    return len(data)


def frame_type(data):
    return data[find_station_end(data)]


def parse_station(data):
    return int(data[1:find_station_end(data)], 16)


def parse_command(data):
    pos = find_station_end(data) + 1
    cmd = data[pos:pos + 3]
    if cmd in ("RCS", "WCS", "RCC", "WCC"):
        return cmd
    if cmd[:2] in ("RD", "WD"):
        return cmd[:2]
    return CMD_UNKNOWN


class PlainSlave(common.PlainBase):
    """MewSlaveBase and the full-duplex worker on common's PlainBase, with
    the default handlers: reads answer zeros, writes store nothing."""

    name = "PlainSlave"

    def __init__(self, station, port, baudrate):
        super().__init__(port, baudrate)
        self._station = station
        self._slave_stop_flag = True
        self._query_listeners = []
        self._slave_thread = None

    def start(self):
        super().start()
        if self._slave_stop_flag:
            self._slave_stop_flag = False
            self._slave_thread = threading.Thread(target=self._check_and_process_request,
                                                  name="PlainSlave._check_and_process_request")
            self._slave_thread.start()

    def close(self):
        if not self._slave_stop_flag:
            self._slave_stop_flag = True
            self._slave_thread.join()
        super().close()

    def _route(self, line):
        kind = frame_type(line)
        if kind == QUERY:
            if not self._query_listeners:
                print("PlainSlave: No query listener. Drop frame.")
            for listener in self._query_listeners:
                listener.put(line)
        elif kind not in (FEEDBACK, ERROR):
            print("PlainSlave: Unknown frame type: %s" % kind)

    # The worker.

    def _check_and_process_request(self):
        requests = queue.Queue()
        with self._listener_lock:
            self._query_listeners.append(requests)
        try:
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
        finally:
            with self._listener_lock:
                self._query_listeners.remove(requests)

    # Request processing.

    def _process_request(self, command):
        if len(command) < 9 or command[0] != HEAD or not crc_is_ok(command):
            print("Invalid MEW frame: %s" % command)
            return ""
        if parse_station(command) != self._station:
            print("Ignore other target frame.")
            return ""
        cmd = parse_command(command)
        pos = find_station_end(command) + 1 + len(cmd)
        data = ""
        error = 0
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
        head = command[:find_station_end(command)]
        if error:
            return append_tail(head + ERROR + "%02X" % abs(error))
        return append_tail(head + FEEDBACK + cmd[:2] + data)

    def on_get_coil(self, name):
        return False

    def on_set_coil(self, name, value):
        pass

    def on_get_multi_coil_uint16(self, name, count):
        return [0] * max(count, 0)

    def on_set_multi_coil_uint16(self, name, values):
        pass

    def on_get_multi_uint16(self, name, count):
        return [0] * max(count, 0)

    def on_set_multi_uint16(self, name, values):
        pass


class FixedPeer:
    """Not a slave: a thread answers every CR-terminated frame with RESPONSE,
    reading and writing the pty directly. What is left is the cost of the
    pty and the driving loop, the bound no slave can go below."""

    def __init__(self, port):
        self._fd = os.open(port, os.O_RDWR | os.O_NOCTTY)
        self._thread = threading.Thread(target=self._run, name="FixedPeer", daemon=True)
        self._stop = False

    def start(self):
        self._thread.start()

    def close(self):
        self._stop = True
        self._thread.join(2)
        os.close(self._fd)

    def _run(self):
        fd, response = self._fd, RESPONSE.encode("ascii")
        pending = b""
        while not self._stop:
            ready, _, _ = select.select([fd], [], [], 0.1)
            if not ready:
                continue
            pending += os.read(fd, 4096)
            while b"\r" in pending:
                _, pending = pending.split(b"\r", 1)
                os.write(fd, response)


# --- The sides ----------------------------------------------------------------

class Side:
    """A slave on the slave end of a raw pty pair; the driving loop uses the master end."""

    def __init__(self, label, make):
        self.label = label
        self.master_fd, self.slave_fd = common.open_raw_pty()
        self.slave = make(os.ttyname(self.slave_fd))
        self.slave.start()

    def close(self):
        self.slave.close()
        os.close(self.slave_fd)
        os.close(self.master_fd)


def make_library(port):
    return b4k_mew.MewFullDuplex(b4k_mew.MewSerial(port=port, baudrate=BAUDRATE), slave_station=1)


def make_baseline(port):
    return PlainSlave(1, port, BAUDRATE)


def make_floor(port):
    return FixedPeer(port)


SIDES = [("library", make_library), ("baseline", make_baseline), ("floor", make_floor)]


# --- Measuring ----------------------------------------------------------------

def exchange(fd, command):
    """Writes one command and returns its answer, up to and including CR."""
    os.write(fd, command)
    answer = b""
    while not answer.endswith(b"\r"):
        ready, _, _ = select.select([fd], [], [], ANSWER_TIMEOUT)
        if not ready:
            raise RuntimeError("no answer within %.1f s (got %r)" % (ANSWER_TIMEOUT, answer))
        answer += os.read(fd, 4096)
    return answer


def wait_ready(side):
    """The first answer: a slave's worker registers its queue on its own
    thread, and a command that comes before is dropped."""
    command, deadline = COMMAND.encode("ascii"), time.monotonic() + 10
    while True:
        try:
            return exchange(side.master_fd, command)
        except RuntimeError:
            if time.monotonic() > deadline:
                raise


def run_round(fd, seconds):
    """Exchanges back to back for about `seconds`; the latency of each and the time taken."""
    return common.time_each(exchange, (fd, COMMAND.encode("ascii")), RESPONSE.encode("ascii"), seconds)


def measure(sides, rounds, seconds, warmup):
    """{side label: [(latencies, time taken) of each round]}, the sides alternating round by round."""
    for side in sides:
        wait_ready(side)
        run_round(side.master_fd, warmup)
    return common.alternate(sides, rounds, lambda side: run_round(side.master_fd, seconds))


def check_agreement(library, baseline):
    """A speed comparison only means something if both slaves answer alike."""
    frames = [COMMAND] + [b4k_mew.MewStatic.append_tail(body) for body in (
        "%01#RCSR0010", "%01#WCSR00101", "%01#RCCX00000002", "%01#WCCY00100011010002FF",
        "%01#RDD0010000102", "%01#WDD00100001010201FF00", "%01#RDD0010000099", "%01#XYZ", "%001#RDD0000000000")]
    for frame in frames:
        got, want = library._process_request(frame), baseline._process_request(frame)
        assert got == want, "%r: library %r, plain Python %r" % (frame, got, want)


def main(argv=None):
    opts = common.argument_parser(__doc__, "fewer and shorter rounds").parse_args(argv)

    rounds, seconds, warmup = (3, 0.4, 0.2) if opts.quick else (5, 2.0, 0.5)

    sides = common.open_sides(Side, SIDES)
    try:
        check_agreement(sides[0].slave, sides[1].slave)
        samples = measure(sides, rounds, seconds, warmup)
    finally:
        common.close_sides(sides)

    # The best round of each: other work on the machine only ever slows a
    # round down, so the best one is the closest to what the slave can do.
    rows = []
    for side in sides:
        latencies = [t for got, _ in samples[side.label] for t in got]
        rates = [len(got) / elapsed for got, elapsed in samples[side.label]]
        rows.append({"slave": side.label, "answers": len(latencies), "answers_per_s": max(rates),
                     "answers_per_s_rounds": rates, "median_us": statistics.median(latencies) * 1e6,
                     "latency_histogram": common.latency_histogram(latencies)})
    by_label = {r["slave"]: r for r in rows}
    ratio = by_label["library"]["answers_per_s"] / by_label["baseline"]["answers_per_s"]
    of_floor = by_label["library"]["answers_per_s"] / by_label["floor"]["answers_per_s"]
    ratio_target = common.target(ratio, TARGET_RATIO)

    common.print_table([("slave", "-8s"), ("answers", "10d"), ("answers/s", "12.0f"), ("median us", "14.1f")],
                       [(r["slave"], r["answers"], r["answers_per_s"], r["median_us"]) for r in rows])
    print("(answers: all rounds; answers/s: best of %d rounds of %.1f s; median: latency of one exchange)"
          % (rounds, seconds))
    print()
    print("library / baseline: %.2f" % ratio)
    print("library / floor:    %.2f" % of_floor)
    common.print_target("library / baseline >= %.1f" % TARGET_RATIO, ratio_target, "%.2f" % ratio)

    if opts.json:
        common.write_json(opts.json, {
            "benchmark": "slave",
            "quick": opts.quick,
            "rounds": rounds,
            "seconds_per_round": seconds,
            "command": COMMAND,
            **common.machine_facts(cpus=False),
            "slaves": rows,
            "ratio": ratio,
            "library_over_floor": of_floor,
            "targets": {"ratio": ratio_target},
        })
    return 0


if __name__ == "__main__":
    sys.exit(main())
