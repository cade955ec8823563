"""Query round trips over a pseudo-terminal: b4k_mew.MewMasterBase against a plain-Python master.

"direct" writes and reads the pty on the caller's thread, the cost of the pty
and the peer alone. Rounds alternate, idle and while another Python thread
spins: a hand-over of the interpreter lock then waits out the switch interval.
"""

import os
import sys

import b4k_mew

import common

# Library over baseline round trips/s, idle; the library's median with the spinner over its idle median.
TARGET_THROUGHPUT_RATIO, TARGET_SPIN_MEDIAN_RATIO = 3.0, 2.0
BAUDRATE = 115200
COMMAND = b4k_mew.MewStatic.fill_read_data_area_message(1, "DT100", 1)
RESPONSE = b4k_mew.MewStatic.append_tail("%01$RD3412")
EXPECTED = "RD3412"
LOADS = ("idle", "spin")

class DirectMaster:
    """Not a master: the caller writes the command and reads the response itself, no checks."""

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

def open_pty(peer_in_process=True):
    response = RESPONSE.encode("ascii")
    return common.PtyPair({COMMAND.encode("ascii"): response}, lambda frame: response, peer_in_process)

def make_library(port):
    # /dev/pts/N is no port name a station accepts: the channel is built here.
    master = b4k_mew.MewMasterBase(b4k_mew.MewSerial(port=port, baudrate=BAUDRATE))
    master.start()
    return master

SIDES = [("library", make_library), ("baseline", lambda port: common.PlainMaster(port, BAUDRATE)),
         ("direct", DirectMaster)]

def run_round(side, seconds, load="idle"):
    """(latencies, time taken, spinner loops, spinner seconds) of queries back to back."""
    if load == "idle":
        return common.time_each(side.master.query, (COMMAND,), EXPECTED, seconds) + (0, 0.0)
    with common.Spinner() as spinner:
        latencies, elapsed = common.time_each(side.master.query, (COMMAND,), EXPECTED, seconds)
    return latencies, elapsed, spinner.loops, spinner.seconds

def main(argv=None):
    bench = common.Bench(
        "link", __doc__, (1, {"idle": 0.4, "spin": 0.6}, 0.1), (3, {"idle": 1.5, "spin": 2.5}, 0.5),
        (("--peer",), dict(choices=("thread", "process"), default="thread",
                           help="answer from a thread of this process (default) or from a child process")),
        (("--switch-interval",), dict(type=float, metavar="SECONDS",
                                      help="the interpreter's thread switch interval (default: left as it is)")),
        argv=argv)
    (rounds, seconds, warmup), opts = bench.settings, bench.opts
    if opts.switch_interval is not None:
        sys.setswitchinterval(opts.switch_interval)
    other = common.OtherLoad().start()
    rows = []
    with common.opened(lambda label, make: common.MasterSide(label, make, open_pty(opts.peer == "thread")),
                       SIDES) as sides:
        for side in sides:
            got = side.master.query(COMMAND)
            assert got == EXPECTED, "%s: %r instead of %r" % (side.label, got, EXPECTED)
            run_round(side, warmup)
        for load in LOADS:  # a spinner makes a round trip slow: rounds as long as percentiles need
            for label, got in common.alternate(sides, rounds, lambda side: run_round(side, seconds[load],
                                                                                    load)).items():
                rows.append(dict(master=label, load=load, **common.latency_figures(
                    [t for r in got for t in r[0]], sum(r[1] for r in got))))
                if load == "spin":
                    rows[-1]["spinner_loops_per_s"] = sum(r[2] for r in got) / sum(r[3] for r in got)
    other_load = other.stop()
    f = {(r["master"], r["load"]): r for r in rows}
    bench.table(rows, "master", "load", "ops_per_s=ops/s", "median_us=median µs", "p90_us=p90 µs", "p99_us=p99 µs",
                "round_trips=round trips", "spinner_loops_per_s=spinner", note="peer: %s; direct: the caller writes "
                "and reads the pty itself, no receiver thread; spinner: loops/s that the spinning thread got through "
                "meanwhile; CPU taken by other processes during the run: %s of %d CPUs" % (
                    "a thread of this process" if opts.peer == "thread" else "a child process",
                    "n/a" if other_load is None else "%.0f%%" % (100 * other_load), os.cpu_count()))
    bench.table([dict({"load": load}, **{"%s_over_%s" % (a, b): f[a, load]["ops_per_s"] / f[b, load]["ops_per_s"]
                                         for a, b in (("library", "baseline"), ("library", "direct"),
                                                      ("baseline", "direct"))}) for load in LOADS],
                "load", "library_over_baseline=library / baseline ops/s", "library_over_direct=library / direct",
                "baseline_over_direct=baseline / direct")
    bench.say("median spin / idle: %s (switch interval %.1f ms)", ", ".join(
        "%s %.2f" % (label, f[label, "spin"]["median_us"] / f[label, "idle"]["median_us"]) for label, _ in SIDES),
        sys.getswitchinterval() * 1e3)
    lib, base, lib_spin = f["library", "idle"], f["baseline", "idle"], f["library", "spin"]
    ratio = lib["ops_per_s"] / base["ops_per_s"]
    bench.target("throughput_ratio", "library ops/s >= %.1f x baseline (idle)" % TARGET_THROUGHPUT_RATIO, ratio,
                 TARGET_THROUGHPUT_RATIO, detail="%.2f: %.0f against %.0f" % (ratio, lib["ops_per_s"],
                                                                             base["ops_per_s"]))
    spin = lib_spin["median_us"] / lib["median_us"]
    bench.target("spin_median_ratio", "library median with spinner <= %.1f x idle median" % TARGET_SPIN_MEDIAN_RATIO,
                 spin, TARGET_SPIN_MEDIAN_RATIO, at_most=True, detail="%.2f: %.1f µs against %.1f µs" % (
                     spin, lib_spin["median_us"], lib["median_us"]))
    panels = {"query round trip (bench_link), %s" % title: [dict(f[side, load], side=side, label=label) for side, label
                                                            in (("library", "library"), ("baseline", "plain Python"),
                                                                ("direct", "floor: no receiver thread"))]
              for load, title in (("idle", "idle"), ("spin", "another thread spinning"))}
    return bench.finish(peer=opts.peer, rounds=rounds, seconds_per_round=seconds, other_cpu_load=other_load,
                        switch_interval_s=sys.getswitchinterval(), results=rows, panels=panels)

if __name__ == "__main__":
    common.run(main)
