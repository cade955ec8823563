"""Query round trips over a pseudo-terminal: b4k_mew.MewMasterBase against a plain-Python master.

Run from the repository root after building:

    PYTHONPATH=build /usr/bin/python3 bench/bench_link.py [--quick] [--json PATH]
        [--peer thread|process] [--switch-interval SECONDS]

Each master talks through its own pseudo-terminal pair to an answering peer
that reads command frames from the pty's master side with os.read and writes
one fixed response per frame with os.write: a thread of this process, or
with --peer process the same loop in a child process. The library master is
a MewMasterBase on a MewSerial opened on the pty's slave side; the baseline
is the same design written in plain Python on pyserial (a receiver thread
reading a frame byte by byte and routing it to the queue of the query in
progress). A third row, "direct", writes the command and reads the response
on the calling thread without any receiver thread: the cost of the pty and
the peer alone. All run the same number of rounds, alternating, first idle
and then while another Python thread spins on pure-Python arithmetic. The
figures are round trips per second and the latency of one round trip.

A thread that has let go of the interpreter lock gets it back from a thread
running pure Python only after the switch interval (5 ms unless changed), so
with the spinner every such hand-over on the way of a round trip costs about
that much: --switch-interval shows how the figures follow it. It is
a benchmark, not a test: it always exits 0 once the figures are printed,
whether the targets are met or not.
"""

import argparse
import json
import math
import os
import platform
import queue
import statistics
import sys
import threading
import time
import tty

import serial

import b4k_mew

# Targets: library round trips per second over the baseline's, idle; the
# library's median latency with the spinning thread over its idle median.
TARGET_THROUGHPUT_RATIO = 3.0
TARGET_SPIN_MEDIAN_RATIO = 2.0

BAUDRATE = 115200
COMMAND = b4k_mew.MewStatic.fill_read_data_area_message(1, "DT100", 1)
RESPONSE = b4k_mew.MewStatic.append_tail("%01$RD3412")
EXPECTED = "RD3412"
# Written on the pty's slave side, it reaches the peer like a command and
# ends it without any polling on the peer's side.
PEER_STOP = b"STOP\r"


# --- The answering peer --------------------------------------------------------

class Peer(threading.Thread):
    """Answers every CR-terminated frame read from `fd` with `response`."""

    def __init__(self, fd, response):
        super().__init__(name="peer", daemon=True)
        self.fd = fd
        self.response = response.encode("ascii")

    def run(self):
        fd, response = self.fd, self.response
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
                end = pending.find(b"\r")
                if end < 0:
                    break
                frame, pending = pending[:end + 1], pending[end + 1:]
                if frame == PEER_STOP:
                    return
                os.write(fd, response)


class PtyPair:
    """A raw pseudo-terminal pair with a peer answering on its master side.

    The peer is a thread of this process, or with `in_process` false the
    same loop in a forked child, which then competes with nobody here for
    the interpreter lock.
    """

    def __init__(self, in_process=True):
        self.master_fd, self.slave_fd = os.openpty()
        tty.setraw(self.master_fd)
        tty.setraw(self.slave_fd)
        self.name = os.ttyname(self.slave_fd)
        self.peer = Peer(self.master_fd, RESPONSE)
        self.child = None
        if in_process:
            self.peer.start()
            return
        self.child = os.fork()
        if self.child == 0:
            code = 0
            try:
                self.peer.run()
            except BaseException:
                code = 1
            os._exit(code)

    def close(self):
        os.write(self.slave_fd, PEER_STOP)
        if self.child:
            os.waitpid(self.child, 0)
        else:
            self.peer.join(2)
        os.close(self.slave_fd)
        os.close(self.master_fd)


# --- The plain-Python baseline --------------------------------------------------
# The same design as the library's master, written the straightforward way:
# a receiver thread reads the first byte of a frame, then the rest byte by
# byte up to CR, and routes responses to the queue of the query in progress.

HEAD = "%"
TAIL = "\r"
FEEDBACK = "$"
ERROR = "!"
QUERY = "#"


def frame_type_position(frame):
    for i in range(1, len(frame)):
        if frame[i] in (QUERY, FEEDBACK, ERROR):
            return i
    raise ValueError("no frame type in %r" % frame)


def parse_station(frame):
    return int(frame[1:frame_type_position(frame)], 16)


class PlainMaster:
    def __init__(self, port, baudrate, query_timeout=1.0):
        self._serial = serial.Serial(port=port, baudrate=baudrate, timeout=0.1)
        self._query_timeout = query_timeout
        self._stop_flag = True
        self._feedback_listeners = []
        self._listener_lock = threading.Lock()
        self._sender_lock = threading.Lock()
        self._query_lock = threading.Lock()
        self._thread = None

    def start(self):
        if not self._stop_flag:
            return
        self._stop_flag = False
        self._serial.reset_input_buffer()
        self._thread = threading.Thread(target=self._receiver, name="PlainMaster._receiver")
        self._thread.start()

    def close(self):
        if not self._stop_flag:
            self._stop_flag = True
            self._thread.join()
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
                    kind = line[frame_type_position(line)]
                    if kind in (FEEDBACK, ERROR):
                        for listener in self._feedback_listeners:
                            listener.put(line)
                    elif kind == QUERY:
                        print("PlainMaster: No query listener. Drop frame.")
            except IOError as e:
                print("IOError from PlainMaster: %s" % e)
                time.sleep(0.1)
            except Exception as e:
                print("Ignore unhandled exception: %s" % e)

    def _send(self, data):
        with self._sender_lock:
            self._serial.write(data.encode("utf-8"))

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


class DirectMaster:
    """Not a master: the caller writes the command and reads the response itself.

    No receiver thread, no queue, no checks: what is left is the cost of the
    pty and of the peer, the bound that no master built on a receiver thread
    can go below.
    """

    def __init__(self, port):
        self._fd = os.open(port, os.O_RDWR | os.O_NOCTTY)

    def start(self):
        pass

    def close(self):
        os.close(self._fd)

    def query(self, command):
        fd = self._fd
        os.write(fd, command.encode("utf-8"))
        response = os.read(fd, 4096)
        while not response.endswith(b"\r"):
            response += os.read(fd, 4096)
        return response[4:-3].decode("latin-1")


# --- The sides ------------------------------------------------------------------

class Side:
    def __init__(self, label, make, peer_in_process):
        self.label = label
        self.pty = PtyPair(peer_in_process)
        self.master = make(self.pty.name)
        self.master.start()

    def close(self):
        self.master.close()
        self.pty.close()


def make_library(port):
    # A pty's slave is /dev/pts/N, which is not a port name a station accepts
    # (those begin with "com" or "/dev/tty"): the channel is built here.
    return b4k_mew.MewMasterBase(b4k_mew.MewSerial(port=port, baudrate=BAUDRATE))


def make_baseline(port):
    return PlainMaster(port, BAUDRATE)


def make_direct(port):
    return DirectMaster(port)


SIDES = [("library", make_library), ("baseline", make_baseline), ("direct", make_direct)]


# --- Measuring ------------------------------------------------------------------

class Spinner:
    """A Python thread that keeps the interpreter busy with pure-Python work.

    It counts its loops: a master that holds the interpreter lock while it
    waits would show as a spinner that got little done.
    """

    def __init__(self):
        self._stop = False
        self._thread = threading.Thread(target=self._run, name="spinner", daemon=True)
        self.loops = 0
        self.seconds = 0.0

    def _run(self):
        x = 0
        loops = 0
        begin = time.perf_counter()
        while not self._stop:
            for i in range(1000):
                x = (x * 31 + i) % 1000003
            loops += 1
        self.seconds = time.perf_counter() - begin
        self.loops = loops

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop = True
        self._thread.join()


def run_round(query, seconds):
    """Queries back to back for about `seconds`; the latency of each, and the time taken."""
    latencies = []
    append = latencies.append
    clock = time.perf_counter
    wrong = 0
    begin = clock()
    end = begin + seconds
    t1 = begin
    while t1 < end:
        t0 = clock()
        result = query(COMMAND)
        t1 = clock()
        append(t1 - t0)
        if result != EXPECTED:
            wrong += 1
    if wrong:
        raise AssertionError("%d responses other than %r" % (wrong, EXPECTED))
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


def summarise(latencies, elapsed):
    s = sorted(latencies)
    return {
        "round_trips": len(s),
        "ops_per_s": len(s) / elapsed,
        "median_us": statistics.median(s) * 1e6,
        "p90_us": percentile(s, 0.90) * 1e6,
        "p99_us": percentile(s, 0.99) * 1e6,
        "max_us": s[-1] * 1e6,
        "latency_histogram": latency_histogram(s),
    }


def measure(sides, rounds, seconds, warmup):
    """Figures per (side, load), the sides alternating round by round.

    `seconds` maps each load to the length of one round: with the spinner a
    round trip is slow, and percentiles need enough of them.
    """
    samples = {(side.label, load): ([], [0.0], [0.0, 0.0]) for side in sides for load in LOADS}
    for side in sides:
        run_round(side.master.query, warmup)
    for load in LOADS:
        for _ in range(rounds):
            for side in sides:
                lat, total, spun = samples[(side.label, load)]
                if load == "spin":
                    with Spinner() as spinner:
                        got, elapsed = run_round(side.master.query, seconds[load])
                    spun[0] += spinner.loops
                    spun[1] += spinner.seconds
                else:
                    got, elapsed = run_round(side.master.query, seconds[load])
                lat.extend(got)
                total[0] += elapsed
    figures = {}
    for key, (lat, total, spun) in samples.items():
        figures[key] = summarise(lat, total[0])
        if key[1] == "spin":
            figures[key]["spinner_loops_per_s"] = spun[0] / spun[1]
    return figures


LOADS = ("idle", "spin")


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


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer and shorter rounds")
    parser.add_argument("--json", metavar="PATH", help="also write the figures to PATH as JSON")
    parser.add_argument("--peer", choices=("thread", "process"), default="thread",
                        help="answer from a thread of this process (default) or from a child process")
    parser.add_argument("--switch-interval", type=float, metavar="SECONDS",
                        help="the interpreter's thread switch interval for the run (default: left as it is)")
    opts = parser.parse_args(argv)
    if opts.switch_interval is not None:
        sys.setswitchinterval(opts.switch_interval)

    if opts.quick:
        rounds, seconds, warmup = 1, {"idle": 0.4, "spin": 0.6}, 0.1
    else:
        rounds, seconds, warmup = 3, {"idle": 1.5, "spin": 2.5}, 0.5

    cpu_before, wall_before = cpu_seconds(), time.monotonic()
    sides = []
    try:
        for label, make in SIDES:
            sides.append(Side(label, make, opts.peer == "thread"))
        for side in sides:
            got = side.master.query(COMMAND)
            assert got == EXPECTED, "%s: %r instead of %r" % (side.label, got, EXPECTED)
        figures = measure(sides, rounds, seconds, warmup)
    finally:
        for side in sides:
            side.close()
    cpu_after, wall = cpu_seconds(), time.monotonic() - wall_before
    other_load = None
    if cpu_before and cpu_after:
        busy, own = (after - before for after, before in zip(cpu_after, cpu_before))
        other_load = max(0.0, busy - own) / (wall * os.cpu_count())

    lib_idle, base_idle = figures[("library", "idle")], figures[("baseline", "idle")]
    lib_spin, base_spin = figures[("library", "spin")], figures[("baseline", "spin")]
    throughput_ratio = lib_idle["ops_per_s"] / base_idle["ops_per_s"]
    spin_median_ratio = lib_spin["median_us"] / lib_idle["median_us"]
    throughput_met = throughput_ratio >= TARGET_THROUGHPUT_RATIO
    spin_met = spin_median_ratio <= TARGET_SPIN_MEDIAN_RATIO

    print("%-9s %-5s %9s %11s %11s %11s %11s %9s" % ("master", "load", "ops/s", "median µs", "p90 µs", "p99 µs",
                                                      "round trips", "spinner"))
    for load in LOADS:
        for label, _ in SIDES:
            f = figures[(label, load)]
            share = "%9.0f" % f["spinner_loops_per_s"] if "spinner_loops_per_s" in f else ""
            print("%-9s %-5s %9.0f %11.1f %11.1f %11.1f %11d %9s" % (
                label, load, f["ops_per_s"], f["median_us"], f["p90_us"], f["p99_us"], f["round_trips"], share))
    print("(peer: %s; direct: the caller writes and reads the pty itself, no receiver thread;" % (
        "a thread of this process" if opts.peer == "thread" else "a child process"))
    print(" spinner: loops/s that the spinning thread got through meanwhile)")
    if other_load is not None:
        print("CPU taken by other processes during the run: %.0f%% of %d CPUs" % (100 * other_load, os.cpu_count()))
    print()
    for load in LOADS:
        lib, base, direct = (figures[(label, load)] for label, _ in SIDES)
        print("%-4s  library / baseline ops/s %.2f; library / direct ops/s %.2f; baseline / direct ops/s %.2f" % (
            load, lib["ops_per_s"] / base["ops_per_s"], lib["ops_per_s"] / direct["ops_per_s"],
            base["ops_per_s"] / direct["ops_per_s"]))
    print("median spin / idle: library %.2f, baseline %.2f, direct %.2f (switch interval %.1f ms)" % (
        spin_median_ratio, base_spin["median_us"] / base_idle["median_us"],
        figures[("direct", "spin")]["median_us"] / figures[("direct", "idle")]["median_us"],
        sys.getswitchinterval() * 1e3))
    print()
    print("target library ops/s >= %.1f x baseline (idle): %s (%.2f: %.0f against %.0f)" % (
        TARGET_THROUGHPUT_RATIO, "met" if throughput_met else "MISSED", throughput_ratio,
        lib_idle["ops_per_s"], base_idle["ops_per_s"]))
    print("target library median with spinner <= %.1f x idle median: %s (%.2f: %.1f µs against %.1f µs)" % (
        TARGET_SPIN_MEDIAN_RATIO, "met" if spin_met else "MISSED", spin_median_ratio,
        lib_spin["median_us"], lib_idle["median_us"]))

    if opts.json:
        report = {
            "benchmark": "link",
            "quick": opts.quick,
            "peer": opts.peer,
            "rounds": rounds,
            "seconds_per_round": seconds,
            "python": sys.version.split()[0],
            "machine": platform.machine(),
            "cpus": os.cpu_count(),
            "switch_interval_s": sys.getswitchinterval(),
            "other_cpu_load": other_load,
            "results": [dict(master=label, load=load, **f) for (label, load), f in figures.items()],
            "targets": {
                "throughput_ratio": {"target": TARGET_THROUGHPUT_RATIO, "value": throughput_ratio,
                                     "met": throughput_met},
                "spin_median_ratio": {"target": TARGET_SPIN_MEDIAN_RATIO, "value": spin_median_ratio,
                                      "met": spin_met},
            },
        }
        with open(opts.json, "w", encoding="utf-8") as f:
            json.dump(report, f, indent=2)
            f.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
