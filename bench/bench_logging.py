"""Query round trips with frame tracing off and on: what the logging of frames costs.

Rows as in bench_link.py: "off" (WARNING), "debug, drop" (DEBUG, records
dropped), "debug, text" (formatted into memory), "baseline" (PlainMaster);
each round in a fresh process, "off, child" and "skipped": a build whose
trace calls compile to nothing (--skipped, or build-notrace/ made with
MEW_BUILD_DIR=build-notrace scripts/build.sh -DCMAKE_CXX_FLAGS=-DMEW_NO_TRACE
-DMEW_BUILD_TESTS=OFF).
"""

import argparse
import contextlib
import io
import json
import logging
import os
import statistics
import subprocess
import sys

import b4k_mew

import common
from bench_link import BAUDRATE, COMMAND, EXPECTED, make_library, open_pty

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Tracing off against the build without trace calls (within a shared machine's noise), and against plain Python.
TARGET_OFF_OVER_SKIPPED, TARGET_OFF_OVER_BASELINE = 0.97, 2.0

def set_logging(mode, handlers):
    logger = logging.getLogger("b4k_mew")
    for h in handlers.values():
        logger.removeHandler(h)
    logger.propagate = mode == "off"
    logger.setLevel(logging.WARNING if mode == "off" else logging.DEBUG)
    if mode != "off":
        logger.addHandler(handlers[mode])

def run_round(master, seconds):
    figures = common.latency_figures(*common.time_each(master.query, (COMMAND,), EXPECTED, seconds))
    del figures["latency_histogram"]
    return figures

def child_main(seconds, warmup):
    """One round in this process: the figures as JSON on stdout."""
    with contextlib.ExitStack() as stack:
        pty = open_pty()
        stack.callback(pty.close)
        master = make_library(pty.name)
        stack.callback(master.close)
        assert master.query(COMMAND) == EXPECTED
        run_round(master, warmup)
        figures = run_round(master, seconds)
    print(json.dumps(dict(figures, module=b4k_mew.__file__, trace_levels=b4k_mew._trace_levels()
                          if hasattr(b4k_mew, "_trace_levels") else None)))

def run_child(build_dir, seconds, warmup):
    done = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", "--seconds", str(seconds),
                           "--warmup", str(warmup)], env=dict(os.environ, PYTHONPATH=os.pathsep.join(
                               [build_dir, ROOT])), capture_output=True, text=True, timeout=120)
    if done.returncode != 0:
        raise RuntimeError("child in %s failed:\n%s" % (build_dir, done.stderr[-2000:]))
    return json.loads(done.stdout.strip().splitlines()[-1])

def measure(rounds, seconds, warmup, skipped_dir):
    """({row: [figures of each round]}, records written), the rows taking turns round by round."""
    text = io.StringIO()
    handlers = {"drop": logging.NullHandler(), "text": logging.StreamHandler(text)}
    handlers["text"].setFormatter(logging.Formatter("%(asctime)s %(name)s %(levelname)s %(message)s"))
    rows = {name: [] for name in ("off", "debug, drop", "debug, text", "baseline", "off, child")
            + (("skipped",) if skipped_dir else ())}
    written = 0
    with contextlib.ExitStack() as stack:
        masters = []
        for make in (make_library, lambda port: common.PlainMaster(port, BAUDRATE)):
            pty = open_pty()
            stack.callback(pty.close)
            masters.append(make(pty.name))
            stack.callback(masters[-1].close)
        stack.callback(lambda: (set_logging("off", handlers), setattr(logging.getLogger("b4k_mew"), "propagate",
                                                                      True)))
        library, baseline = masters
        for master in masters:
            assert master.query(COMMAND) == EXPECTED
            run_round(master, warmup)
        for _ in range(rounds):
            for mode, row in (("off", "off"), ("drop", "debug, drop"), ("text", "debug, text")):
                set_logging(mode, handlers)
                rows[row].append(run_round(library, seconds))
                written += text.getvalue().count("\n")  # counted, then the memory given back
                text.seek(0)
                text.truncate()
            set_logging("off", handlers)
            rows["baseline"].append(run_round(baseline, seconds))
            rows["off, child"].append(run_child(os.path.dirname(os.path.abspath(b4k_mew.__file__)), seconds, warmup))
            if skipped_dir:
                rows["skipped"].append(run_child(skipped_dir, seconds, warmup))
    return rows, written

def median_of(figures, key):
    return statistics.median(f[key] for f in figures)

def ratio_range(top, bottom):
    """The ratio of the medians, and its range over the rounds taken pairwise."""
    per_round = [t["ops_per_s"] / b["ops_per_s"] for t, b in zip(top, bottom)]
    return median_of(top, "ops_per_s") / median_of(bottom, "ops_per_s"), min(per_round), max(per_round)

def main(argv=None):
    bench = common.Bench(
        "logging", __doc__, (3, 0.4, 0.1), (7, 1.2, 0.3),
        (("--skipped",), dict(metavar="BUILD_DIR",
                              help="a build made with -DMEW_NO_TRACE (default: build-notrace/ when there is one)")),
        (("--child",), dict(action="store_true", help=argparse.SUPPRESS)),
        (("--seconds",), dict(type=float, default=1.0, help=argparse.SUPPRESS)),
        (("--warmup",), dict(type=float, default=0.3, help=argparse.SUPPRESS)), argv=argv)
    if bench.opts.child:
        return child_main(bench.opts.seconds, bench.opts.warmup)
    rounds, seconds, warmup = bench.settings
    skipped_dir = os.path.abspath(bench.opts.skipped) if bench.opts.skipped else None
    if not skipped_dir and os.path.isdir(os.path.join(ROOT, "build-notrace")):
        skipped_dir = os.path.join(ROOT, "build-notrace")
    other = common.OtherLoad().start()
    rows, written = measure(rounds, seconds, warmup, skipped_dir)
    other_load = other.stop()

    def ratio_row(name, top, bottom):
        ratio, low, high = ratio_range(rows[top], rows[bottom])
        return {"row": name, "ops_per_s": median_of(rows[top], "ops_per_s"), "ratio": ratio,
                "median_us": median_of(rows[top], "median_us"), "p99_us": median_of(rows[top], "p99_us"),
                "range": "%.2f-%.2f" % (low, high)}
    bench.table([ratio_row(name, name, "off") for name in rows], "row", "ops_per_s=ops/s", "median_us=median µs",
                "p99_us=p99 µs", "ratio=/ off", "range", note="medians over %d rounds of %.1f s; range: the ratio "
                "to \"off\" round by round; %d records formatted by \"debug, text\"; child rows run this build%s in "
                "a fresh process each round; CPU taken by other processes: %s" % (
                    rounds, seconds, written, " and " + skipped_dir if skipped_dir else "",
                    "n/a" if other_load is None else "%.0f%% of %d CPUs" % (100 * other_load, os.cpu_count())))
    bench.table([ratio_row(*names) for names in (("debug, drop / off", "debug, drop", "off"), (
        "debug, text / off", "debug, text", "off"), ("debug, text / baseline", "debug, text", "baseline"))],
        "row=ops/s", "ratio", "range=rounds", note="debug, text / baseline: every frame logged as text against "
        "plain Python logging nothing")
    off = ratio_row("", "off", "baseline")
    bench.target("off_over_baseline", "tracing off: library ops/s >= %.1f x plain Python" % TARGET_OFF_OVER_BASELINE,
                 off["ratio"], TARGET_OFF_OVER_BASELINE, detail="%.2f, rounds %s" % (off["ratio"], off["range"]))
    if skipped_dir:
        skip = ratio_row("", "off, child", "skipped")
        bench.target("off_over_skipped", "tracing off: ops/s >= %.2f x the build without trace calls"
                     % TARGET_OFF_OVER_SKIPPED, skip["ratio"], TARGET_OFF_OVER_SKIPPED, detail="%.3f, rounds %s: %.0f "
                     "against %.0f" % (skip["ratio"], skip["range"], skip["ops_per_s"],
                                       median_of(rows["skipped"], "ops_per_s")))
    else:
        bench.say("no build without trace calls (--skipped, or build-notrace/): off against skipped not measured")
    return bench.finish(rounds=rounds, seconds_per_round=seconds, skipped_build=skipped_dir, other_cpu_load=other_load,
                        results=[dict(row=name, rounds=figures, ops_per_s=median_of(figures, "ops_per_s"),
                                      median_us=median_of(figures, "median_us")) for name, figures in rows.items()])

if __name__ == "__main__":
    common.run(main)
