"""Runs every benchmark in bench/ and writes a short report: report.md and a latency picture.

Run from the repository root after building (scripts/bench.sh does both):

    PYTHONPATH=build /usr/bin/python3 bench/report.py [--quick] [--out DIR] [--build-dir DIR]

Each bench/bench_*.py runs in turn, in a process of its own, with --json
into the output directory (build/bench-report/ by default) and its printed
table saved beside it. Then report.md gets one short table per benchmark
(the library against its plain-Python baseline, the targets and whether they
are met) with the machine's facts, and bench-latency.png the distribution of
round-trip latencies of the query round trip and of the slave answers.

It is a report: missed targets do not change the exit status, a benchmark
that crashes or writes no figures does (1), after the others have run.
"""

import argparse
import datetime
import glob
import json
import os
import platform
import signal
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PICTURE = "bench-latency.png"

# --- Running the benchmarks ---------------------------------------------------------

def load_average():
    try:
        return os.getloadavg()
    except OSError:
        return None


def child_env(build_dir):
    # The benchmarks import b4k_mew: the build directory comes first, so that
    # a module installed elsewhere on the machine is not measured instead.
    env = dict(os.environ)
    paths = [build_dir, ROOT] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join(dict.fromkeys(paths))
    return env


def kill_group(pgid):
    try:
        os.killpg(pgid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def run_benchmark(script, out_dir, quick, env, timeout):
    name = os.path.splitext(os.path.basename(script))[0]
    json_path = os.path.join(out_dir, name + ".json")
    log_path = os.path.join(out_dir, name + ".txt")
    if os.path.exists(json_path):
        # A stale file from an earlier run must not pass for this run's figures.
        os.remove(json_path)
    cmd = [sys.executable, script, "--json", json_path] + (["--quick"] if quick else [])
    print("== %s%s" % (os.path.relpath(script, ROOT), " --quick" if quick else ""), flush=True)
    load = load_average()
    begin = time.monotonic()
    with open(log_path, "w", encoding="utf-8") as log:
        # A session of its own, so that a hung benchmark goes with the peer
        # processes it forked, which would otherwise keep its pty open.
        proc = subprocess.Popen(cmd, cwd=ROOT, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                text=True, encoding="utf-8", errors="replace", start_new_session=True)
        timer = threading.Timer(timeout, kill_group, (proc.pid,))
        timer.start()
        tail = []
        try:
            for line in proc.stdout:
                sys.stdout.write(line)
                log.write(line)
                tail = (tail + [line.rstrip("\n")])[-5:]
            code = proc.wait()
        finally:
            timer.cancel()
        if time.monotonic() - begin >= timeout:
            tail.append("killed after %.0f s" % timeout)
    seconds = time.monotonic() - begin
    data = None
    if code == 0:
        try:
            with open(json_path, encoding="utf-8") as f:
                data = json.load(f)
        except (OSError, ValueError) as e:
            tail = ["no figures in %s: %s" % (json_path, e)]
    print(flush=True)
    return {"name": name, "exit": code, "seconds": seconds, "load": load, "data": data, "tail": tail}

# --- The tables ------------------------------------------------------------------------
# One row: (operation, library, baseline, ratio, target, met), each a string
# but `met`, which is True, False or None where there is no target. Ratios
# are "how many times better the library does": library over baseline for
# rates, baseline over library for times.

def fmt_rate(v):
    return "{:,.0f}".format(v)


def fmt_us(v):
    return "{:,.0f} µs".format(v) if v >= 100 else "%.1f µs" % v


def fmt_ms(v):
    return "%.2f ms" % (v * 1e3)


def fmt_ratio(v):
    return "%.2f" % v


def table_codec(d):
    t = d["targets"]
    rows = [(r["operation"] + " (ops/s)", fmt_rate(r["library_ops_per_s"]), fmt_rate(r["baseline_ops_per_s"]),
             fmt_ratio(r["ratio"]), "≥ %.1f" % t["min_ratio"]["target"],
             r["ratio"] >= t["min_ratio"]["target"]) for r in d["operations"]]
    g = t["geometric_mean_ratio"]
    rows.append(("geometric mean", "", "", fmt_ratio(g["value"]), "≥ %.1f" % g["target"], g["met"]))
    return rows, "Frame building and checking in the codec, calls per second, best of %d repeats." % d["repeats"]


def table_link(d):
    f = {(r["master"], r["load"]): r for r in d["results"]}
    t = d["targets"]
    li, bi, ls, bs = f[("library", "idle")], f[("baseline", "idle")], f[("library", "spin")], f[("baseline", "spin")]
    tp, sm = t["throughput_ratio"], t["spin_median_ratio"]
    rows = [
        ("round trips/s, idle", fmt_rate(li["ops_per_s"]), fmt_rate(bi["ops_per_s"]), fmt_ratio(tp["value"]),
         "≥ %.1f" % tp["target"], tp["met"]),
        ("median latency, idle", fmt_us(li["median_us"]), fmt_us(bi["median_us"]),
         fmt_ratio(bi["median_us"] / li["median_us"]), "", None),
        ("p99 latency, idle", fmt_us(li["p99_us"]), fmt_us(bi["p99_us"]), fmt_ratio(bi["p99_us"] / li["p99_us"]),
         "", None),
        ("round trips/s, spinning thread", fmt_rate(ls["ops_per_s"]), fmt_rate(bs["ops_per_s"]),
         fmt_ratio(ls["ops_per_s"] / bs["ops_per_s"]), "", None),
        ("median latency, spinning thread", fmt_us(ls["median_us"]), fmt_us(bs["median_us"]),
         fmt_ratio(bs["median_us"] / ls["median_us"]), "", None),
        ("median spinning / idle", "%.1f×" % sm["value"], "%.1f×" % (bs["median_us"] / bi["median_us"]), "",
         "library ≤ %.1f×" % sm["target"], sm["met"]),
    ]
    direct = f.get(("direct", "idle"))
    note = ("One query (a read of one register) through a pty to a peer thread, MewMasterBase against a "
            "plain-Python master on pyserial; idle, then with another Python thread spinning (switch interval "
            "%.0f ms)." % (d["switch_interval_s"] * 1e3))
    if direct:
        note += " Floor: the caller writing and reading the pty itself, %s round trips/s idle." % fmt_rate(
            direct["ops_per_s"])
    return rows, note


def table_master(d):
    target = d["targets"]["min_ratio"]["target"]
    rows = [(r["case"] + " (ops/s)", fmt_rate(r["library_ops_per_s"]), fmt_rate(r["baseline_ops_per_s"]),
             fmt_ratio(r["ratio"]), "≥ %.1f" % target, r["ratio"] >= target) for r in d["cases"]]
    rows.append(("geometric mean", "", "", fmt_ratio(d["geometric_mean_ratio"]), "", None))
    return rows, ("Typed MewMaster operations, each one exchange through a pty, against a plain-Python master; "
                  "best of %d rounds." % d["rounds"])


def table_slave(d):
    s = {r["slave"]: r for r in d["slaves"]}
    lib, base = s["library"], s["baseline"]
    t = d["targets"]["ratio"]
    rows = [
        ("answers/s", fmt_rate(lib["answers_per_s"]), fmt_rate(base["answers_per_s"]), fmt_ratio(t["value"]),
         "≥ %.1f" % t["target"], t["met"]),
        ("median latency", fmt_us(lib["median_us"]), fmt_us(base["median_us"]),
         fmt_ratio(base["median_us"] / lib["median_us"]), "", None),
    ]
    note = ("A register read answered by MewFullDuplex against a plain-Python slave on pyserial, driven through "
            "a pty; best of %d rounds." % d["rounds"])
    if "floor" in s:
        note += " Floor: a thread answering a fixed response, %s answers/s." % fmt_rate(s["floor"]["answers_per_s"])
    return rows, note


def table_inst(d):
    rows = [(r["workload"], fmt_ms(r["library"]["median_s"]), fmt_ms(r["baseline"]["median_s"]),
             fmt_ratio(r["ratio"]), "", None) for r in d["results"]]
    return rows, ("InstManager against a plain-Python manager on %d simulated devices; medians of runs; the "
                  "silent-ended scan waits one %.0f ms query time-out. No target is set for it."
                  % (d["devices"], d["query_timeout_s"] * 1e3))


def table_other(d):
    rows = [(name, "", "", "", "%.2f" % t["target"], t["met"]) for name, t in d.get("targets", {}).items()]
    return rows, "Targets only: the report does not know this benchmark's figures."

TABLES = {"codec": table_codec, "link": table_link, "master": table_master, "slave": table_slave,
          "inst": table_inst}
TITLES = {"codec": "Codec", "link": "Query round trip", "master": "Master operations", "slave": "Slave answers",
          "inst": "Instrument manager"}


def markdown_table(rows):
    lines = ["| operation | library | baseline | ratio | target | met |", "|---|--:|--:|--:|---|---|"]
    for op, lib, base, ratio, target, met in rows:
        mark = "" if met is None else ("yes" if met else "**no**")
        lines.append("| %s | %s | %s | %s | %s | %s |" % (op, lib, base, ratio, target, mark))
    return lines

# --- The picture ---------------------------------------------------------------------------

def histogram_panels(runs):
    """(title, [(label, histogram, style)]) for every latency distribution there is."""
    by_name = {r["data"]["benchmark"]: r["data"] for r in runs if r["data"]}
    panels = []
    link = by_name.get("link")
    if link:
        f = {(r["master"], r["load"]): r for r in link["results"] if "latency_histogram" in r}
        for load, title in (("idle", "query round trip (bench_link), idle"),
                            ("spin", "query round trip (bench_link), another thread spinning")):
            curves = [(label, f[(side, load)], style) for side, label, style in (
                ("library", "library", "lib"), ("baseline", "plain Python", "base"),
                ("direct", "floor: no receiver thread", "floor")) if (side, load) in f]
            if curves:
                panels.append((title, curves))
    slave = by_name.get("slave")
    if slave:
        s = {r["slave"]: r for r in slave["slaves"] if "latency_histogram" in r}
        curves = [(label, s[side], style) for side, label, style in (
            ("library", "library", "lib"), ("baseline", "plain Python", "base"),
            ("floor", "floor: fixed answer", "floor")) if side in s]
        if curves:
            panels.append(("slave answers (bench_slave)", curves))
    return panels


def draw_latency(runs, path):
    """Writes the picture; returns None, or why there is none."""
    panels = histogram_panels(runs)
    if not panels:
        return "no latency histograms in the figures"
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from matplotlib.ticker import FuncFormatter
    except ImportError as e:
        return "matplotlib is missing (%s): apt-get install python3-matplotlib" % e
    styles = {"lib": dict(color="#1f77b4", lw=2.0), "base": dict(color="#d62728", lw=2.0),
              "floor": dict(color="0.45", lw=1.2, ls="--")}
    fig, axes = plt.subplots(len(panels), 1, figsize=(9, 3.1 * len(panels) + 0.6), squeeze=False)
    for ax, (title, curves) in zip(axes[:, 0], panels):
        peak = 0.0
        for label, figures, style in curves:
            h = figures["latency_histogram"]
            total = sum(h["counts"])
            share = [100.0 * c / total for c in h["counts"]]
            peak = max(peak, max(share))
            median = figures["median_us"]
            ax.stairs(share, h["edges_us"], label="%s: median %s, %s samples" % (
                label, fmt_us(median), "{:,}".format(total)), **styles[style])
        ax.set_xscale("log")
        # Plain numbers read faster than powers of ten for a latency in µs.
        ax.xaxis.set_major_formatter(FuncFormatter(lambda v, _: "{:,g}".format(v)))
        ax.set_title(title, fontsize=11)
        ax.set_ylabel("% of round trips")
        ax.grid(True, which="major", alpha=0.35)
        ax.grid(True, which="minor", axis="x", alpha=0.12)
        # Headroom above the highest bin keeps the legend off the curves,
        # wherever their peaks fall.
        ax.set_ylim(0, peak * 1.5)
        ax.legend(fontsize=8.5, loc="upper right")
    axes[-1, 0].set_xlabel("round-trip latency (µs, log scale; %d bins per decade)" %
                           panels[-1][1][0][1]["latency_histogram"]["bins_per_decade"])
    fig.suptitle("b4k_mew against plain Python: latency of one exchange through a pty", fontsize=12)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return None

# --- The report ------------------------------------------------------------------------------

def cpu_model():
    try:
        with open("/proc/cpuinfo", encoding="utf-8", errors="replace") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def fmt_load(load):
    return "n/a" if load is None else "%.2f / %.2f / %.2f" % load


def write_report(path, runs, quick, started, seconds, load_before, load_after, picture_problem):
    lines = ["# b4k_mew benchmarks", ""]
    lines.append("%s, %s run, %.0f s in all." % (started.strftime("%Y-%m-%d %H:%M %Z").strip(),
                                                 "quick" if quick else "full", seconds))
    lines.append("")
    lines += ["| machine | |", "|---|---|",
              "| CPUs | %d (%s) |" % (os.cpu_count(), cpu_model()),
              "| Python | %s (%s) |" % (platform.python_version(), sys.executable),
              "| system | %s %s %s |" % (platform.system(), platform.release(), platform.machine()),
              "| load average 1/5/15 min, before | %s |" % fmt_load(load_before),
              "| load average 1/5/15 min, after | %s |" % fmt_load(load_after), ""]
    met = [row[5] for r in runs if r["data"] for row in r["rows"] if row[5] is not None]
    lines.append("Targets met: %d of %d. Ratio: how many times better the library does (library over baseline "
                 "for rates, baseline over library for times)." % (sum(met), len(met)))
    crashed = [r for r in runs if not r["data"]]
    if crashed:
        lines.append("")
        lines.append("**Failed:** %s." % ", ".join("%s (exit %d)" % (r["name"], r["exit"]) for r in crashed))
    for r in runs:
        kind = r["data"]["benchmark"] if r["data"] else None
        lines += ["", "## %s (%s.py, %.0f s, load %s)" % (TITLES.get(kind, r["name"]), r["name"], r["seconds"],
                                                           "n/a" if r["load"] is None else "%.2f" % r["load"][0]), ""]
        if not r["data"]:
            lines.append("Crashed with exit status %d:" % r["exit"])
            lines += ["", "```"] + r["tail"] + ["```"]
            continue
        lines.append(r["note"])
        lines.append("")
        lines += markdown_table(r["rows"])
    lines += ["", "## Latency", ""]
    if picture_problem:
        lines.append("No picture: %s." % picture_problem)
    else:
        lines.append("![Round-trip latency, library against plain Python](%s)" % PICTURE)
    lines.append("")
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="pass --quick to every benchmark")
    parser.add_argument("--out", metavar="DIR", default=os.path.join(ROOT, "build", "bench-report"),
                        help="where the figures, the logs and the report go (default: build/bench-report)")
    parser.add_argument("--timeout", type=float, metavar="SECONDS", default=600,
                        help="a benchmark still running after this long is killed and counts as crashed "
                             "(default: 600)")
    parser.add_argument("--build-dir", metavar="DIR", default=os.path.join(ROOT, "build"),
                        help="where the built module is (default: build)")
    opts = parser.parse_args(argv)

    out_dir = os.path.abspath(opts.out)
    os.makedirs(out_dir, exist_ok=True)
    env = child_env(os.path.abspath(opts.build_dir))
    # From the codec up through the link to the managers, then any new one.
    order = {"bench_%s.py" % name: i for i, name in enumerate(("codec", "link", "master", "slave", "inst"))}
    scripts = sorted(glob.glob(os.path.join(HERE, "bench_*.py")),
                     key=lambda p: (order.get(os.path.basename(p), len(order)), p))
    if not scripts:
        print("no bench/bench_*.py found", file=sys.stderr)
        return 1

    started = datetime.datetime.now().astimezone()
    load_before = load_average()
    begin = time.monotonic()
    runs = [run_benchmark(script, out_dir, opts.quick, env, opts.timeout) for script in scripts]
    seconds = time.monotonic() - begin
    load_after = load_average()

    broken = False
    for r in runs:
        if not r["data"]:
            broken = True
            continue
        try:
            r["rows"], r["note"] = TABLES.get(r["data"].get("benchmark"), table_other)(r["data"])
        except (KeyError, TypeError, ValueError, ZeroDivisionError) as e:
            # Figures the report cannot read count as a broken benchmark.
            r["tail"] = ["figures not as expected: %r" % e]
            r["data"], broken = None, True

    picture = os.path.join(out_dir, PICTURE)
    if os.path.exists(picture):
        os.remove(picture)
    problem = draw_latency(runs, picture)
    report = os.path.join(out_dir, "report.md")
    write_report(report, runs, opts.quick, started, seconds, load_before, load_after, problem)

    with open(report, encoding="utf-8") as f:
        print(f.read())
    if problem:
        print("warning: no latency picture: %s" % problem, file=sys.stderr)
    print("report: %s%s" % (report, "" if problem else "\npicture: %s" % picture))
    return 1 if broken else 0

if __name__ == "__main__":
    sys.exit(main())
