"""Runs every benchmark in bench/ and writes report.md (what each printed) and bench-latency.png.

Each bench/bench_*.py runs in its own process with --json into the output
directory, its printed text saved beside it. Missed targets do not change
the exit status; a benchmark that crashes or writes no figures does (1).
"""

import argparse
import contextlib
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
# From the codec up through the link to the managers, then the others by name.
ORDER = ("codec", "link", "master", "slave", "inst")

def load_average():
    with contextlib.suppress(OSError):
        return os.getloadavg()

def kill_group(pgid):
    with contextlib.suppress(ProcessLookupError):
        os.killpg(pgid, signal.SIGKILL)

def run_benchmark(script, out_dir, quick, env, timeout):
    name = os.path.splitext(os.path.basename(script))[0]
    json_path, log_path = (os.path.join(out_dir, name + ext) for ext in (".json", ".txt"))
    if os.path.exists(json_path):  # a stale file must not pass for this run's figures
        os.remove(json_path)
    print("== %s%s" % (os.path.relpath(script, ROOT), " --quick" if quick else ""), flush=True)
    load, begin, tail = load_average(), time.monotonic(), []
    with open(log_path, "w", encoding="utf-8") as log:
        # A session of its own: a hung benchmark is killed with the peers it forked.
        proc = subprocess.Popen([sys.executable, script, "--json", json_path] + (["--quick"] if quick else []),
                                cwd=ROOT, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                encoding="utf-8", errors="replace", start_new_session=True)
        timer = threading.Timer(timeout, kill_group, (proc.pid,))
        timer.start()
        try:
            for line in proc.stdout:
                sys.stdout.write(line)
                log.write(line)
                tail = (tail + [line.rstrip("\n")])[-5:]
            code = proc.wait()
        finally:
            timer.cancel()
    seconds = time.monotonic() - begin
    if seconds >= timeout:
        tail.append("killed after %.0f s" % timeout)
    data = None
    if code == 0:
        try:
            with open(json_path, encoding="utf-8") as f:
                data = json.load(f)
            data["printed"], data["targets"]
        except (OSError, ValueError, KeyError) as e:
            tail, data = ["no figures in %s: %r" % (json_path, e)], None
    print(flush=True)
    return {"name": name, "exit": code, "seconds": seconds, "load": load, "data": data, "tail": tail}

def markdown(printed):
    """What a benchmark printed, its tables as markdown tables."""
    lines = []
    for item in printed:
        if "text" in item:
            lines += [item["text"].replace("MISSED", "**MISSED**") if item["text"] else "", ""]
            continue
        if item["title"]:
            lines += [item["title"], ""]
        lines += ["| %s |" % " | ".join(item["headings"]), "|%s|" % "|".join("---" if left else "--:"
                                                                           for left in item["left"])]
        lines += ["| %s |" % " | ".join(row) for row in item["rows"]] + [""]
        if item["note"]:
            lines += ["(%s)" % item["note"], ""]
    return lines

def draw_latency(runs, path):
    """Writes the picture of every benchmark's "panels"; None, or why there is none."""
    panels = [(title, curves) for r in runs if r["data"] for title, curves in r["data"].get("panels", {}).items()]
    if not panels:
        return "no latency histograms in the figures"
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from matplotlib.ticker import FuncFormatter
    except ImportError as e:
        return "matplotlib is missing (%s): apt-get install python3-matplotlib" % e
    styles = {"library": dict(color="#1f77b4", lw=2.0), "baseline": dict(color="#d62728", lw=2.0)}
    fig, axes = plt.subplots(len(panels), 1, figsize=(9, 3.1 * len(panels) + 0.6), squeeze=False)
    for ax, (title, curves) in zip(axes[:, 0], panels):
        peak = 0.0
        for c in curves:
            h = c["latency_histogram"]
            total = sum(h["counts"])
            share = [100.0 * n / total for n in h["counts"]]
            peak = max(peak, max(share))
            ax.stairs(share, h["edges_us"], label="%s: median %.1f µs, %s samples" % (
                c["label"], c["median_us"], "{:,}".format(total)),
                **styles.get(c["side"], dict(color="0.45", lw=1.2, ls="--")))
        ax.set_xscale("log")
        # Plain numbers read faster than powers of ten for a latency in µs.
        ax.xaxis.set_major_formatter(FuncFormatter(lambda v, _: "{:,g}".format(v)))
        ax.set_title(title, fontsize=11)
        ax.set_ylabel("% of round trips")
        ax.grid(True, which="major", alpha=0.35)
        ax.grid(True, which="minor", axis="x", alpha=0.12)
        ax.set_ylim(0, peak * 1.5)  # headroom keeps the legend off the curves
        ax.legend(fontsize=8.5, loc="upper right")
    axes[-1, 0].set_xlabel("round-trip latency (µs, log scale; %d bins per decade)" %
                           panels[-1][1][0]["latency_histogram"]["bins_per_decade"])
    fig.suptitle("b4k_mew against plain Python: latency of one exchange through a pty", fontsize=12)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return None

def cpu_model():
    with contextlib.suppress(OSError, StopIteration), open("/proc/cpuinfo", errors="replace") as f:
        return next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    return platform.processor() or platform.machine()

def write_report(path, runs, quick, started, seconds, loads, picture_problem):
    def load(v):
        return "n/a" if v is None else "%.2f / %.2f / %.2f" % v
    met = [t["met"] for r in runs if r["data"] for t in r["data"]["targets"].values()]
    lines = ["# b4k_mew benchmarks", "", "%s, %s run, %.0f s in all." % (
        started.strftime("%Y-%m-%d %H:%M %Z").strip(), "quick" if quick else "full", seconds), "",
        "| machine | |", "|---|---|", "| CPUs | %d (%s) |" % (os.cpu_count(), cpu_model()),
        "| Python | %s (%s) |" % (platform.python_version(), sys.executable),
        "| system | %s %s %s |" % (platform.system(), platform.release(), platform.machine()),
        "| load average 1/5/15 min, before | %s |" % load(loads[0]),
        "| load average 1/5/15 min, after | %s |" % load(loads[1]), "",
        "Targets met: %d of %d." % (sum(met), len(met))]
    crashed = [r for r in runs if not r["data"]]
    if crashed:
        lines += ["", "**Failed:** %s." % ", ".join("%s (exit %d)" % (r["name"], r["exit"]) for r in crashed)]
    for r in runs:
        lines += ["", "## %s (%.0f s, load %s)" % (r["name"], r["seconds"],
                                                   "n/a" if r["load"] is None else "%.2f" % r["load"][0]), ""]
        if r["data"]:
            lines += markdown(r["data"]["printed"])
        else:
            lines += ["Crashed with exit status %d:" % r["exit"], "", "```"] + r["tail"] + ["```"]
    lines += ["", "## Latency", "", "No picture: %s." % picture_problem if picture_problem else
              "![Round-trip latency, library against plain Python](%s)" % PICTURE, ""]
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines))

def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="pass --quick to every benchmark")
    parser.add_argument("--out", metavar="DIR", default=os.path.join(ROOT, "build", "bench-report"),
                        help="where the figures, the logs and the report go (default: build/bench-report)")
    parser.add_argument("--timeout", type=float, metavar="SECONDS", default=600,
                        help="a benchmark still running after this long is killed and counts as crashed")
    parser.add_argument("--build-dir", metavar="DIR", default=os.path.join(ROOT, "build"),
                        help="where the built module is (default: build)")
    opts = parser.parse_args(argv)
    out_dir = os.path.abspath(opts.out)
    os.makedirs(out_dir, exist_ok=True)
    # The build directory first, so that a module installed elsewhere is not measured instead.
    paths = [os.path.abspath(opts.build_dir), ROOT] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep)
                                                        if p]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(dict.fromkeys(paths)))
    scripts = sorted(glob.glob(os.path.join(HERE, "bench_*.py")), key=lambda p: (
        ORDER.index(os.path.basename(p)[6:-3]) if os.path.basename(p)[6:-3] in ORDER else len(ORDER), p))
    if not scripts:
        print("no bench/bench_*.py found", file=sys.stderr)
        return 1
    started, loads, begin = datetime.datetime.now().astimezone(), [load_average()], time.monotonic()
    runs = [run_benchmark(script, out_dir, opts.quick, env, opts.timeout) for script in scripts]
    seconds = time.monotonic() - begin
    loads.append(load_average())
    picture = os.path.join(out_dir, PICTURE)
    if os.path.exists(picture):
        os.remove(picture)
    problem = draw_latency(runs, picture)
    report = os.path.join(out_dir, "report.md")
    write_report(report, runs, opts.quick, started, seconds, loads, problem)
    with open(report, encoding="utf-8") as f:
        print(f.read())
    if problem:
        print("warning: no latency picture: %s" % problem, file=sys.stderr)
    print("report: %s%s" % (report, "" if problem else "\npicture: %s" % picture))
    return 1 if any(not r["data"] for r in runs) else 0

if __name__ == "__main__":
    sys.exit(main())
