"""Query round trips with frame tracing off and on: what the logging of frames costs.

    PYTHONPATH=build /usr/bin/python3 bench/bench_logging.py [--quick] [--json PATH] [--skipped BUILD_DIR]

Every row is a MewMasterBase on a pty whose peer thread answers at once, as
in bench_link.py: "off" (logger "b4k_mew" at WARNING: the C++ side makes no
record), "debug, drop" (DEBUG, a handler dropping every record: the cost of
making them), "debug, text" (DEBUG, records formatted into memory as a log
file does), "baseline" (common.PlainMaster, no logging); and, each
round in a fresh process timed in the child, "off, child" (this build) and
"skipped" (a build whose trace calls compile to nothing: --skipped, or
build-notrace/ made with MEW_BUILD_DIR=build-notrace scripts/build.sh
-DCMAKE_CXX_FLAGS=-DMEW_NO_TRACE -DMEW_BUILD_TESTS=OFF): those two give the
price of the flag alone. Rows alternate; medians over the rounds, with the
range of the ratio over the rounds beside it.
"""

import argparse
import io
import json
import logging
import os
import statistics
import subprocess
import sys

import b4k_mew

# The benchmarks run as scripts; the insert lets them be imported as well.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
from bench_link import BAUDRATE, COMMAND, EXPECTED, make_library, open_pty  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

# Targets: round trips/s with tracing off over those of the build without
# the trace calls (at least, within the noise of a shared machine); and with
# tracing off over the plain-Python master's (the lead bench_link.py
# measures, with room for an idle machine, where both are slower).
TARGET_OFF_OVER_SKIPPED = 0.97
TARGET_OFF_OVER_BASELINE = 2.0

LOGGER = "b4k_mew"


class Logging:
    """How the library's logger is set for a row, and set back after it."""

    def __init__(self):
        self.logger = logging.getLogger(LOGGER)
        self.text = io.StringIO()
        self.drop = logging.NullHandler()
        self.write = logging.StreamHandler(self.text)
        self.write.setFormatter(logging.Formatter("%(asctime)s %(name)s %(levelname)s %(message)s"))
        self.records_written = 0

    def set(self, mode):
        for h in (self.drop, self.write):
            self.logger.removeHandler(h)
        self.logger.propagate = mode == "off"
        if mode == "off":
            self.logger.setLevel(logging.WARNING)
            return
        self.logger.addHandler(self.drop if mode == "drop" else self.write)
        self.logger.setLevel(logging.DEBUG)

    def forget_text(self):
        """Counts the lines written and empties the memory they took."""
        self.records_written += self.text.getvalue().count("\n")
        self.text.seek(0)
        self.text.truncate()

# --- Measuring ------------------------------------------------------------------

def run_round(master, seconds):
    figures = common.latency_figures(*common.time_each(master.query, (COMMAND,), EXPECTED, seconds))
    del figures["latency_histogram"]
    return figures


def child_main(seconds, warmup):
    """One round in this process: the figures as JSON on stdout."""
    pty = open_pty()
    try:
        master = make_library(pty.name)
        try:
            assert master.query(COMMAND) == EXPECTED
            levels = b4k_mew._trace_levels() if hasattr(b4k_mew, "_trace_levels") else None
            run_round(master, warmup)
            figures = run_round(master, seconds)
        finally:
            master.close()
    finally:
        pty.close()
    figures.update(module=b4k_mew.__file__, trace_levels=levels)
    print(json.dumps(figures))
    return 0


def run_child(build_dir, seconds, warmup):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([build_dir, ROOT])
    done = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", "--seconds", str(seconds),
                           "--warmup", str(warmup)], env=env, capture_output=True, text=True, timeout=120)
    if done.returncode != 0:
        raise RuntimeError("child in %s failed:\n%s" % (build_dir, done.stderr[-2000:]))
    return json.loads(done.stdout.strip().splitlines()[-1])


def this_build_dir():
    return os.path.dirname(os.path.abspath(b4k_mew.__file__))


def find_skipped(given):
    if given:
        return os.path.abspath(given)
    default = os.path.join(ROOT, "build-notrace")
    return default if os.path.isdir(default) else None


def measure(rounds, seconds, warmup, skipped_dir):
    """{row: [figures of each round]}, the rows taking turns round by round."""
    log = Logging()
    library_pty, baseline_pty = open_pty(), open_pty()
    library = baseline = None
    rows = {"off": [], "debug, drop": [], "debug, text": [], "baseline": [], "off, child": []}
    if skipped_dir:
        rows["skipped"] = []
    try:
        library = make_library(library_pty.name)
        baseline = common.PlainMaster(baseline_pty.name, BAUDRATE)
        assert library.query(COMMAND) == EXPECTED and baseline.query(COMMAND) == EXPECTED
        for master in (library, baseline):
            run_round(master, warmup)
        for _ in range(rounds):
            for mode, row in (("off", "off"), ("drop", "debug, drop"), ("text", "debug, text")):
                log.set(mode)
                rows[row].append(run_round(library, seconds))
                log.forget_text()
            log.set("off")
            rows["baseline"].append(run_round(baseline, seconds))
            rows["off, child"].append(run_child(this_build_dir(), seconds, warmup))
            if skipped_dir:
                rows["skipped"].append(run_child(skipped_dir, seconds, warmup))
    finally:
        log.set("off")
        log.logger.propagate = True
        for master in (library, baseline):
            if master is not None:
                master.close()
        library_pty.close()
        baseline_pty.close()
    return rows, log.records_written


def median_of(figures, key):
    return statistics.median(f[key] for f in figures)


def ratio_range(top, bottom):
    """The ratio of the medians, and its range over the rounds taken pairwise."""
    per_round = [t["ops_per_s"] / b["ops_per_s"] for t, b in zip(top, bottom)]
    return median_of(top, "ops_per_s") / median_of(bottom, "ops_per_s"), min(per_round), max(per_round)


def main(argv=None):
    opts, (rounds, seconds, warmup) = common.options(
        argv, __doc__, (3, 0.4, 0.1), (7, 1.2, 0.3),
        (("--skipped",), dict(metavar="BUILD_DIR",
                              help="a build made with -DMEW_NO_TRACE (default: build-notrace/ when there is one)")),
        (("--child",), dict(action="store_true", help=argparse.SUPPRESS)),
        (("--seconds",), dict(type=float, default=1.0, help=argparse.SUPPRESS)),
        (("--warmup",), dict(type=float, default=0.3, help=argparse.SUPPRESS)))
    if opts.child:
        return child_main(opts.seconds, opts.warmup)
    skipped_dir = find_skipped(opts.skipped)
    other = common.OtherLoad()
    other.start()
    rows, written = measure(rounds, seconds, warmup, skipped_dir)
    other_load = other.stop()

    off = rows["off"]
    table = []
    for name, figures in rows.items():
        ratio, low, high = ratio_range(figures, off)
        table.append((name, median_of(figures, "ops_per_s"), median_of(figures, "median_us"),
                      median_of(figures, "p99_us"), ratio, "%.2f-%.2f" % (low, high)))
    common.print_table([("row", "-12s"), ("ops/s", "9.0f"), ("median µs", "11.1f"), ("p99 µs", "11.1f"),
                        ("/ off", "7.2f"), ("range", "-10s")], table, sep=" ")
    print("(medians over %d rounds of %.1f s; range: the ratio to \"off\" round by round;" % (rounds, seconds))
    print(" %d records formatted by \"debug, text\"; child rows run this build%s in a fresh process each round)" % (
        written, " and " + skipped_dir if skipped_dir else ""))
    common.print_other_load(other_load)
    print()

    targets = {}
    off_base, low, high = ratio_range(off, rows["baseline"])
    targets["off_over_baseline"] = common.target(off_base, TARGET_OFF_OVER_BASELINE)
    common.print_target("tracing off: library ops/s >= %.1f x plain Python" % TARGET_OFF_OVER_BASELINE,
                        targets["off_over_baseline"], "%.2f, rounds %.2f-%.2f" % (off_base, low, high))
    if skipped_dir:
        skip, low, high = ratio_range(rows["off, child"], rows["skipped"])
        targets["off_over_skipped"] = common.target(skip, TARGET_OFF_OVER_SKIPPED)
        common.print_target("tracing off: ops/s >= %.2f x the build without trace calls" % TARGET_OFF_OVER_SKIPPED,
                            targets["off_over_skipped"], "%.3f, rounds %.2f-%.2f: %.0f against %.0f" % (
                                skip, low, high, median_of(rows["off, child"], "ops_per_s"),
                                median_of(rows["skipped"], "ops_per_s")))
    else:
        print("no build without trace calls (--skipped, or build-notrace/): off against skipped not measured")
    for row in ("debug, drop", "debug, text"):
        r, low, high = ratio_range(rows[row], off)
        print("%s / off ops/s: %.2f (rounds %.2f-%.2f)" % (row, r, low, high))
    r, low, high = ratio_range(rows["debug, text"], rows["baseline"])
    print("debug, text / baseline ops/s: %.2f (rounds %.2f-%.2f): every frame logged as text against plain Python "
          "logging nothing" % (r, low, high))

    return common.finish(opts, "logging", rounds=rounds, seconds_per_round=seconds, skipped_build=skipped_dir,
                         other_cpu_load=other_load, targets=targets,
                         results=[dict(row=name, rounds=figures, ops_per_s=median_of(figures, "ops_per_s"),
                                       median_us=median_of(figures, "median_us")) for name, figures in rows.items()])

if __name__ == "__main__":
    common.run(main)
