"""The browser live view: the simulator's answers per second with and without three browsers watching its page.

Run from the repository root after building:

    PYTHONPATH=build /usr/bin/python3 bench/bench_web.py [--quick] [--json PATH]

The simulator runs in a process of its own on the slave side of a raw
pseudo-terminal pair, with one device (station 1), as in bench_simulator.py;
the web view's LiveServer (b4k_mew_tools.web, a SimulatorView of that
simulator on a free port of 127.0.0.1) runs in that same process, so that
whatever the browsers cost lands where the simulator answers. A driving loop
of plain Python in this process writes one register read on the pty's
master side with os.write, reads the answer up to its CR with os.read, and
only then sends the next.

Pinned: with two CPUs or more, the driving loop runs on one and the
simulators' processes (every thread of them, the live server's included) on
another, while the browsers are left to the scheduler, to run where they
will and take CPU time from either. Unpinned, the rate of the same row
depended on where the scheduler put the threads: on a machine of two CPUs
anything from about 30,000 to 78,000 answers/s from one round to the next;
pinned, its rounds stay within a few percent of each other.

A pty rather than TCP on the loopback: pinned, both are as quiet (and
unpinned, TCP is the noisier: rounds from about 40,000 to 110,000
answers/s); but the baseline answers on a serial line only, so a pty puts
every row on the same transport, and the figures compare with those of
bench_simulator.py.

Four rows, alternating round by round in this order; the figure printed is
the best round of each:

  "library, no browser": b4k_mew_tools.Simulator, which answers from C++,
  with the LiveServer running but no page open: its state thread still
  rebuilds the state every 0.2 s and the simulator keeps its frame log,
  which the view turns on.

  "library, 3 browsers watching": the same process while three headless
  chromium instances (selenium) show the page. Each gets a new state every
  0.2 s while the loop polls, since the last frames exchanged are part of
  it. Before a round starts, every page must show the register table (the
  element "reg-1-DT-0") and have received an event, and the simulator's
  process must count three event streams open; it counts them by wrapping
  the server's stream handler.

  "library, no browser, again": the first row once more, right after the
  browsers have left; the two rows without browsers tell the noise.

  "baseline": bench_simulator.py's plain-Python simulator (memory in Python
  dicts, a Python queue and a Python worker thread), imported from there, in
  a process of its own on a pty of its own, without a web view.

The browsers stay open for the whole run; outside the "watching" rounds they
show about:blank, and a round without browsers starts only once the
simulator's process counts no stream open. After every switch the loop polls
untimed for 2 s, so that the pages' loading and unloading are over before
the clock starts: after 0.5 s they were not, and the rounds of the rows
without browsers spread by up to a fifth; after 2 s, by a few percent, as
when no browser runs at all.
A script added to every page before its own counts the messages its event
stream delivers; the counts within the timed windows are printed, so that
the reader sees the browsers were fed. The CPU time of the simulator's
process and of the browsers (chromedriver and all it started) during each
round comes from /proc.

Within noise. The rows alternate round by round, so that a change of the
machine's load hits them alike, and the two rows without browsers measure
the same thing: how far apart they come within a round is the noise. Each
round the watching row is set against the mean of the two rows without
browsers around it; the target: the median of those round ratios at least
1 less the noise, the largest difference, over the rounds, between the two
rows without browsers. Without chromium or selenium the browser row is left
out, with a note, and there is no target.

It is a benchmark, not a test: it always exits 0 once the figures are
printed, whether the target is met or not.
"""

import importlib
import os
import shutil
import statistics
import subprocess
import sys
import threading
import time

import b4k_mew

# The benchmarks run as scripts; the insert lets them be imported as well.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
from bench_simulator import BAUDRATE, COMMAND, RESPONSE, BaselineSimulator, exchange  # noqa: E402

BROWSERS = 3
CHROMEDRIVER = "/usr/bin/chromedriver"
CHROMIUM = "/usr/bin/chromium"
BROWSER_ARGUMENTS = ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1300,1000")
#: The page is live once this element exists: the first cell of station 1's register table.
LIVE_ELEMENT = "reg-1-DT-0"
#: How long a switch (pages opened or left) may take before the run gives up.
SWITCH_TIMEOUT = 30.0
#: Untimed polling after a switch, before a round starts (see the description).
SETTLE = 2.0

ROW_NONE = "library, no browser"
ROW_WATCHED = "library, %d browsers watching" % BROWSERS
ROW_AGAIN = "library, no browser, again"
ROW_BASELINE = "baseline"

# Added to every page before its own scripts: counts the messages and the
# characters each event stream the page opens delivers.
COUNTER_SCRIPT = """
(() => {
  const Native = window.EventSource;
  window.__benchEvents = { count: 0, chars: 0 };
  window.EventSource = function (...args) {
    const source = new Native(...args);
    source.addEventListener("message", (event) => {
      window.__benchEvents.count += 1;
      window.__benchEvents.chars += event.data.length;
    });
    return source;
  };
  window.EventSource.prototype = Native.prototype;
})();
"""
READ_COUNTER = """
const c = window.__benchEvents || { count: 0, chars: 0 };
const frames = document.getElementById("frames");
return [c.count, c.chars, frames ? frames.children.length : 0];
"""


# --- The simulator's process ------------------------------------------------------------

def count_streams():
    """Wraps the live server's event-stream handler so that the streams open
    can be counted; returns the function that counts them."""
    from b4k_mew_tools.web import server as web_server
    lock = threading.Lock()
    open_streams = [0]
    events = web_server._Handler._events

    def counted(handler):
        with lock:
            open_streams[0] += 1
        try:
            return events(handler)
        finally:
            with lock:
                open_streams[0] -= 1

    web_server._Handler._events = counted
    return lambda: open_streams[0]


def serve_child(kind, port, cpu):
    """The simulator of `kind` on `port` (the library's with its live
    server), until stdin ends, on CPU `cpu` ("-": any). Prints "ready URL"
    ("ready -" without a server); then answers each line "streams" on stdin
    with the number of event streams open."""
    if cpu != "-":
        # Before any thread starts: they all inherit it.
        os.sched_setaffinity(0, {int(cpu)})
    channel = b4k_mew.MewSerial(port=port, baudrate=BAUDRATE)
    server, streams = None, (lambda: 0)
    if kind == "library":
        from b4k_mew_tools import Simulator
        from b4k_mew_tools.web import LiveServer, SimulatorView
        sim = Simulator(channel)
    else:
        sim = BaselineSimulator(channel)
    try:
        sim.add_device(1).write_registers("DT", 100, [0x1234])
        sim.start()
        if kind == "library":
            streams = count_streams()
            server = LiveServer(SimulatorView(sim), "127.0.0.1", 0)
        print("ready %s" % (server.url if server else "-"), flush=True)
        for line in sys.stdin:
            print(streams() if line.strip() == "streams" else "?", flush=True)
    finally:
        if server is not None:
            server.close()
        sim.close()


def process_ticks(pid):
    """CPU clock ticks (user and system) of process `pid` and its threads; 0 once gone."""
    try:
        with open("/proc/%d/stat" % pid, encoding="ascii", errors="replace") as f:
            fields = f.read().rpartition(")")[2].split()
    except OSError:
        return 0
    return int(fields[11]) + int(fields[12])


def tree_ticks(roots):
    """{pid: ticks} of the processes `roots` and all their descendants."""
    parents = {}
    for name in os.listdir("/proc"):
        if name.isdigit():
            try:
                with open("/proc/%s/stat" % name, encoding="ascii", errors="replace") as f:
                    parents[int(name)] = int(f.read().rpartition(")")[2].split()[1])
            except (OSError, IndexError, ValueError):
                pass
    found, todo = set(), [pid for pid in roots if pid in parents]
    while todo:
        pid = todo.pop()
        found.add(pid)
        todo += [child for child, parent in parents.items() if parent == pid and child not in found]
    return {pid: process_ticks(pid) for pid in found}


class SimulatorProcess:
    """A simulator in a child process on the slave side of a pty pair; the
    driving loop uses the master side."""

    def __init__(self, kind, cpu):
        self.kind = kind
        self.master_fd, self.slave_fd = common.open_raw_pty()
        self.proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--serve", kind,
                                      os.ttyname(self.slave_fd), "-" if cpu is None else str(cpu)],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        try:
            word, _, url = self.proc.stdout.readline().strip().partition(" ")
            if word != "ready":
                raise RuntimeError("%s simulator: did not start" % kind)
        except BaseException:
            self.close()
            raise
        self.url = None if url == "-" else url

    def streams(self):
        self.proc.stdin.write("streams\n")
        self.proc.stdin.flush()
        return int(self.proc.stdout.readline())

    def ticks(self):
        return process_ticks(self.proc.pid)

    def poll(self, seconds):
        """Register reads, untimed, for `seconds`."""
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            exchange(self.master_fd, COMMAND)

    def close(self):
        self.proc.stdin.close()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()
        os.close(self.slave_fd)
        os.close(self.master_fd)


# --- The browsers ----------------------------------------------------------------------

def browsers_missing():
    """None when the browsers can be had, else why not."""
    try:
        importlib.import_module("selenium.webdriver")
    except ImportError:
        return "selenium is missing (apt-get install python3-selenium)"
    for path in (CHROMEDRIVER, CHROMIUM):
        if not shutil.which(path):
            return "%s is missing (apt-get install chromium chromium-driver)" % path
    return None


class Browsers:
    """Headless chromium instances, each on about:blank or on the page."""

    def __init__(self, count):
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        self.drivers = []
        try:
            for _ in range(count):
                options = webdriver.ChromeOptions()
                options.binary_location = CHROMIUM
                for argument in BROWSER_ARGUMENTS:
                    options.add_argument(argument)
                driver = webdriver.Chrome(service=Service(CHROMEDRIVER, log_path=os.devnull), options=options)
                self.drivers.append(driver)
                driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": COUNTER_SCRIPT})
                driver.get("about:blank")
        except BaseException:
            self.close()
            raise
        self.watching = False

    def ticks(self):
        """{pid: ticks} of every process of the browsers and their drivers."""
        return tree_ticks([d.service.process.pid for d in self.drivers])

    def counters(self):
        """[(messages, characters, frame rows shown)] of each page."""
        return [tuple(d.execute_script(READ_COUNTER)) for d in self.drivers]

    def watch(self, url):
        from selenium.webdriver.common.by import By
        from selenium.webdriver.support.ui import WebDriverWait
        for d in self.drivers:
            d.get(url)
        for d in self.drivers:
            WebDriverWait(d, SWITCH_TIMEOUT, 0.05).until(
                lambda d: d.find_elements(By.ID, LIVE_ELEMENT) and d.execute_script(READ_COUNTER)[0] > 0)
        self.watching = True

    def leave(self):
        for d in self.drivers:
            d.get("about:blank")
        self.watching = False

    def close(self):
        while self.drivers:
            driver = self.drivers.pop()
            try:
                driver.quit()
            except Exception as error:  # the others are quit all the same
                print("browser: %s" % error, file=sys.stderr)


# --- The rows ---------------------------------------------------------------------------

class Row:
    """One row: a simulator's process, with `browsers` set watching or not
    (None: no browsers at all)."""

    def __init__(self, label, process, browsers=None, watched=False):
        self.label, self.process, self.browsers, self.watched = label, process, browsers, watched
        self.events = []  # per timed window, [(messages, characters, frame rows)] of each browser

    def prepare(self):
        """Opens or leaves the pages as the row wants them; returns once the
        simulator's process counts the streams expected, and the loop has
        polled untimed for SETTLE seconds after that."""
        if self.browsers is not None and self.browsers.watching != self.watched:
            if self.watched:
                self.browsers.watch(self.process.url)
            else:
                self.browsers.leave()
        if self.process.url is not None:
            # A stream that lost its browser ends at its next write: the
            # states the polling here makes are what it needs.
            wanted = len(self.browsers.drivers) if self.watched else 0
            give_up = time.monotonic() + SWITCH_TIMEOUT
            while self.process.streams() != wanted:
                if time.monotonic() > give_up:
                    raise RuntimeError("%s: %d event streams open, not %d"
                                       % (self.label, self.process.streams(), wanted))
                self.process.poll(0.1)
        self.process.poll(SETTLE)

    def run(self, seconds, count_events=True):
        self.prepare()
        before = self.browsers.counters() if self.watched else None
        browser_ticks = self.browsers.ticks() if self.browsers is not None else {}
        sim_ticks = self.process.ticks()
        latencies, elapsed = common.time_each(exchange, (self.process.master_fd, COMMAND), RESPONSE, seconds)
        sim_ticks = self.process.ticks() - sim_ticks
        if self.browsers is not None:
            after = self.browsers.ticks()
            browser_ticks = sum(t - browser_ticks.get(pid, 0) for pid, t in after.items())
        else:
            browser_ticks = 0
        if self.watched and count_events:
            self.events.append([(a[0] - b[0], a[1] - b[1], a[2]) for a, b in zip(self.browsers.counters(), before)])
        hz = os.sysconf("SC_CLK_TCK")
        return latencies, elapsed, sim_ticks / hz / elapsed, browser_ticks / hz / elapsed


def pick_cpus():
    """(the driving loop's CPU, the simulators' CPU), or None with fewer than two."""
    cpus = sorted(os.sched_getaffinity(0))
    return (cpus[0], cpus[1]) if len(cpus) >= 2 else None


def measure(rounds, seconds, warmup, with_browsers, cpus):
    """The rows' figures, and the per-round figures of the browsers' pages."""
    sim_cpu = cpus[1] if cpus else None
    processes = common.open_sides(SimulatorProcess, [("library", sim_cpu), ("baseline", sim_cpu)])
    browsers = None
    everywhere = os.sched_getaffinity(0)
    try:
        library, baseline = processes
        if with_browsers:
            try:
                browsers = Browsers(BROWSERS)
            except Exception as error:  # selenium's WebDriverException among others
                print("no browsers: chromium did not start (%s); measuring without them."
                      % (str(error).strip() or type(error).__name__).splitlines()[0])
        rows = [Row(ROW_NONE, library, browsers)]
        if browsers is not None:
            rows.append(Row(ROW_WATCHED, library, browsers, watched=True))
        rows += [Row(ROW_AGAIN, library, browsers), Row(ROW_BASELINE, baseline, browsers)]
        if cpus:
            # After the browsers have started: they stay free to run anywhere.
            os.sched_setaffinity(0, {cpus[0]})
        for row in rows:
            row.run(warmup, count_events=False)
        samples = common.alternate(rows, rounds, lambda row: row.run(seconds))
    finally:
        os.sched_setaffinity(0, everywhere)
        if browsers is not None:
            browsers.close()
        common.close_sides(processes)
    figures = []
    for row in rows:
        runs = samples[row.label]
        latencies = [t for got, _, _, _ in runs for t in got]
        rates = [len(got) / elapsed for got, elapsed, _, _ in runs]
        figures.append({"row": row.label, "simulator": row.process.kind, "browsers": BROWSERS if row.watched else 0,
                        "answers": len(latencies), "answers_per_s": max(rates), "answers_per_s_rounds": rates,
                        "spread": (max(rates) - min(rates)) / max(rates),
                        "median_us": statistics.median(latencies) * 1e6,
                        "simulator_cpu": statistics.median(r[2] for r in runs),
                        "browsers_cpu": statistics.median(r[3] for r in runs) if browsers is not None else None,
                        "latency_histogram": common.latency_histogram(latencies)})
    watched = [row for row in rows if row.watched]
    return figures, (watched[0].events if watched else [])


def browser_events(events, seconds):
    """Per browser: the messages its page received in all timed windows, the
    rate in each, their mean size, and the fewest frame rows the page showed
    at the end of a window."""
    if not events:
        return []
    result = []
    for i in range(len(events[0])):
        mine = [window[i] for window in events]
        messages = sum(m for m, _, _ in mine)
        result.append({"browser": i + 1, "messages": messages,
                       "messages_per_s_rounds": [m / seconds for m, _, _ in mine],
                       "mean_characters": sum(c for _, c, _ in mine) / messages if messages else 0,
                       "frame_rows_shown": min(rows for _, _, rows in mine)})
    return result


# --- Main ---------------------------------------------------------------------------------

def main(argv=None):
    opts = common.argument_parser(__doc__, "fewer and shorter rounds").parse_args(argv)
    rounds, seconds, warmup = (3, 1.0, 0.3) if opts.quick else (5, 3.0, 1.0)

    missing = browsers_missing()
    if missing:
        print("no browsers: %s; measuring without them." % missing)
    cpus = pick_cpus()
    rows, events = measure(rounds, seconds, warmup, missing is None, cpus)
    fed = browser_events(events, seconds)

    rate = {r["row"]: r["answers_per_s"] for r in rows}
    by_round = {r["row"]: r["answers_per_s_rounds"] for r in rows}
    over_baseline = {r["row"]: r["answers_per_s"] / rate[ROW_BASELINE] for r in rows if r["simulator"] == "library"}
    # The same rows measured twice: how far apart they come within a round.
    again = [b / a for a, b in zip(by_round[ROW_NONE], by_round[ROW_AGAIN])]
    noise = max(abs(1.0 - r) for r in again)
    watched = ROW_WATCHED in rate
    target = best_ratio = paired = effect = None
    if watched:
        best_ratio = rate[ROW_WATCHED] / rate[ROW_NONE]
        paired = [w / ((a + b) / 2)
                  for w, a, b in zip(by_round[ROW_WATCHED], by_round[ROW_NONE], by_round[ROW_AGAIN])]
        effect = statistics.median(paired)
        target = common.target(effect, 1.0 - noise)

    print("Answers to a register read, one at a time, through a pty; the live server in the simulator's process:")
    common.print_table([("row", "-30s"), ("answers", "9d"), ("answers/s", "11.0f"), ("spread", "8s"),
                        ("median us", "11.1f"), ("sim CPU", "9s"), ("browsers CPU", "14s")],
                       [(r["row"], r["answers"], r["answers_per_s"], "%.0f%%" % (100 * r["spread"]), r["median_us"],
                         "%.0f%%" % (100 * r["simulator_cpu"]),
                         "" if r["browsers_cpu"] is None else "%.0f%%" % (100 * r["browsers_cpu"]))
                        for r in rows])
    print("(answers/s: best of %d rounds of %.1f s; spread: (best - worst) / best of the rounds; CPU: medians of "
          "the rounds, 100%% = one CPU of %d; %s)" % (rounds, seconds, os.cpu_count(),
                                                     "loop on CPU %d, simulators on CPU %d, browsers anywhere" % cpus
                                                     if cpus else "nothing pinned: a single CPU"))
    if watched:
        print("%d browsers / no browser: best %.3f; round by round, against the mean of the two rows without: "
              "%s, median %.3f" % (BROWSERS, best_ratio, ", ".join("%.3f" % p for p in paired), effect))
    print("no browser, again / no browser, round by round: %s; noise %.1f%%"
          % (", ".join("%.3f" % r for r in again), 100 * noise))
    print("library / baseline: %s" % ", ".join("%s %.2f" % (row.split(", ", 1)[1], ratio)
                                                for row, ratio in over_baseline.items() if row != ROW_AGAIN))
    if fed:
        print("Events each page received in the timed windows of the watching rounds:")
        for b in fed:
            print("  browser %d: %d messages (%s per s by round), %.0f characters each, %d frame rows shown"
                  % (b["browser"], b["messages"], ", ".join("%.1f" % m for m in b["messages_per_s_rounds"]),
                     b["mean_characters"], b["frame_rows_shown"]))
    print()
    if watched:
        common.print_target("%d browsers / no browser >= 1 - noise" % BROWSERS, target,
                            "median of the rounds %.3f, 1 - noise %.3f" % (effect, 1.0 - noise))
    else:
        print("no target: the browser row was not measured")

    if opts.json:
        common.write_json(opts.json, {
            "benchmark": "web",
            "quick": opts.quick,
            "rounds": rounds,
            "seconds_per_round": seconds,
            "command": COMMAND.decode("ascii"),
            "browsers": BROWSERS if watched else 0,
            "browsers_missing": missing,
            "cpus_pinned": {"loop": cpus[0], "simulators": cpus[1]} if cpus else None,
            **common.machine_facts(),
            "rows": rows,
            "watched_over_none": best_ratio,
            "watched_over_none_rounds": paired,
            "watched_over_none_median": effect,
            "again_over_none_rounds": again,
            "noise": noise,
            "library_over_baseline": over_baseline,
            "events": fed,
            "targets": {"watched_over_none": target} if watched else {},
        })
    return 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["--serve"]:
        serve_child(*sys.argv[2:5])
    else:
        sys.exit(main())
