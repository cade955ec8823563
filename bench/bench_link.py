"""Query round trips over a pseudo-terminal: b4k_mew.MewMasterBase against a plain-Python master.

    PYTHONPATH=build /usr/bin/python3 bench/bench_link.py [--quick] [--json PATH]
        [--peer thread|process] [--switch-interval SECONDS]

Each master talks through its own pty pair to a peer answering one fixed
response per frame (a thread here, or a child process with --peer process).
"library" is a MewMasterBase on a MewSerial; "baseline" the same design in
plain Python on pyserial (common.PlainMaster); "direct" writes and reads
the pty on the calling thread, no receiver thread: the cost of the pty and
the peer alone. Rounds alternate, idle and then while another Python thread
spins: a thread that let go of the interpreter lock gets it back from a
spinning one only after the switch interval (5 ms unless changed), which
every hand-over on a round trip's way then costs.
"""

import os
import sys

import b4k_mew

# The benchmarks run as scripts; the insert lets them be imported as well.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402

# Targets: library round trips per second over the baseline's, idle; the
# library's median latency with the spinning thread over its idle median.
TARGET_THROUGHPUT_RATIO = 3.0
TARGET_SPIN_MEDIAN_RATIO = 2.0

BAUDRATE = 115200
COMMAND = b4k_mew.MewStatic.fill_read_data_area_message(1, "DT100", 1)
RESPONSE = b4k_mew.MewStatic.append_tail("%01$RD3412")
EXPECTED = "RD3412"

# --- The masters ----------------------------------------------------------------
# The baseline is common.PlainMaster, MewMasterBase written in plain Python.

class DirectMaster:
    """Not a master: the caller writes the command and reads the response itself.

    No receiver thread, no queue, no checks: what is left is the cost of the
    pty and of the peer, the bound that no master built on a receiver thread
    can go below.
    """

    def __init__(self, port):
        self._fd = os.open(port, os.O_RDWR | os.O_NOCTTY)

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

def open_pty(peer_in_process=True):
    # Every frame a master sends here is COMMAND: the peer answers it from
    # the table, and anything else with the same response.
    response = RESPONSE.encode("ascii")
    return common.PtyPair({COMMAND.encode("ascii"): response}, lambda frame: response, peer_in_process)


def make_library(port):
    # A pty's slave is /dev/pts/N, which is not a port name a station accepts
    # (those begin with "com" or "/dev/tty"): the channel is built here.
    master = b4k_mew.MewMasterBase(b4k_mew.MewSerial(port=port, baudrate=BAUDRATE))
    master.start()
    return master

SIDES = [("library", make_library), ("baseline", lambda port: common.PlainMaster(port, BAUDRATE)),
         ("direct", DirectMaster)]

# --- Measuring ------------------------------------------------------------------

def run_round(query, seconds, load="idle"):
    """Queries back to back for about `seconds` under `load`: (latencies,
    time taken, spinner loops, spinner seconds)."""
    if load == "spin":
        with common.Spinner() as spinner:
            latencies, elapsed = common.time_each(query, (COMMAND,), EXPECTED, seconds)
        return latencies, elapsed, spinner.loops, spinner.seconds
    return common.time_each(query, (COMMAND,), EXPECTED, seconds) + (0, 0.0)


def measure(sides, rounds, seconds, warmup):
    """Figures per (side, load), the sides alternating round by round.

    `seconds` maps each load to the length of one round: with the spinner a
    round trip is slow, and percentiles need enough of them.
    """
    for side in sides:
        run_round(side.master.query, warmup)
    by_load = {load: common.alternate(sides, rounds,
                                      lambda side: run_round(side.master.query, seconds[load], load))
               for load in LOADS}
    figures = {}
    for side in sides:
        for load in LOADS:
            got = by_load[load][side.label]
            figures[(side.label, load)] = common.latency_figures([t for r in got for t in r[0]],
                                                                 sum(r[1] for r in got))
            if load == "spin":
                figures[(side.label, load)]["spinner_loops_per_s"] = sum(r[2] for r in got) / sum(r[3] for r in got)
    return figures

LOADS = ("idle", "spin")


def main(argv=None):
    opts, (rounds, seconds, warmup) = common.options(
        argv, __doc__, (1, {"idle": 0.4, "spin": 0.6}, 0.1), (3, {"idle": 1.5, "spin": 2.5}, 0.5),
        (("--peer",), dict(choices=("thread", "process"), default="thread",
                           help="answer from a thread of this process (default) or from a child process")),
        (("--switch-interval",), dict(type=float, metavar="SECONDS",
                                      help="the interpreter's thread switch interval (default: left as it is)")))
    if opts.switch_interval is not None:
        sys.setswitchinterval(opts.switch_interval)

    other = common.OtherLoad()
    other.start()
    with common.opened(lambda label, make: common.MasterSide(label, make, open_pty(opts.peer == "thread")),
                       SIDES) as sides:
        for side in sides:
            got = side.master.query(COMMAND)
            assert got == EXPECTED, "%s: %r instead of %r" % (side.label, got, EXPECTED)
        figures = measure(sides, rounds, seconds, warmup)
    other_load = other.stop()

    lib_idle, base_idle = figures[("library", "idle")], figures[("baseline", "idle")]
    lib_spin, base_spin = figures[("library", "spin")], figures[("baseline", "spin")]
    throughput_ratio = lib_idle["ops_per_s"] / base_idle["ops_per_s"]
    spin_median_ratio = lib_spin["median_us"] / lib_idle["median_us"]
    throughput_target = common.target(throughput_ratio, TARGET_THROUGHPUT_RATIO)
    spin_target = common.target(spin_median_ratio, TARGET_SPIN_MEDIAN_RATIO, at_most=True)

    rows = []
    for load in LOADS:
        for label, _ in SIDES:
            f = figures[(label, load)]
            rows.append((label, load, f["ops_per_s"], f["median_us"], f["p90_us"], f["p99_us"], f["round_trips"],
                         f.get("spinner_loops_per_s", "")))
    common.print_table([("master", "-9s"), ("load", "-5s"), ("ops/s", "9.0f"), ("median µs", "11.1f"),
                        ("p90 µs", "11.1f"), ("p99 µs", "11.1f"), ("round trips", "11d"), ("spinner", "9.0f")],
                       rows, sep=" ")
    print("(peer: %s; direct: the caller writes and reads the pty itself, no receiver thread;" % (
        "a thread of this process" if opts.peer == "thread" else "a child process"))
    print(" spinner: loops/s that the spinning thread got through meanwhile)")
    common.print_other_load(other_load)
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
    common.print_target("library ops/s >= %.1f x baseline (idle)" % TARGET_THROUGHPUT_RATIO, throughput_target,
                        "%.2f: %.0f against %.0f" % (throughput_ratio, lib_idle["ops_per_s"], base_idle["ops_per_s"]))
    common.print_target("library median with spinner <= %.1f x idle median" % TARGET_SPIN_MEDIAN_RATIO, spin_target,
                        "%.2f: %.1f µs against %.1f µs" % (spin_median_ratio, lib_spin["median_us"],
                                                           lib_idle["median_us"]))

    return common.finish(opts, "link", peer=opts.peer, rounds=rounds, seconds_per_round=seconds,
                         switch_interval_s=sys.getswitchinterval(), other_cpu_load=other_load,
                         results=[dict(master=label, load=load, **f) for (label, load), f in figures.items()],
                         targets={"throughput_ratio": throughput_target, "spin_median_ratio": spin_target})

if __name__ == "__main__":
    common.run(main)
