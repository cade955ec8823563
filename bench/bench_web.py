"""The browser live view: the simulator's answers per second with and without three browsers watching its page.

    PYTHONPATH=build /usr/bin/python3 bench/bench_web.py [--quick] [--json PATH]

As in bench_simulator.py, a simulator in a process of its own answers one
register read at a time on a raw pty pair, driven by a loop here; the web
view's LiveServer (a SimulatorView on a free port of 127.0.0.1) runs in the
simulator's process, so whatever the browsers cost lands where it answers.
With two CPUs or more the loop runs on one and the simulators' processes on
another, the browsers anywhere: unpinned, one row's rounds ranged from about
30,000 to 78,000 answers/s on two CPUs; pinned, within a few percent. A pty
rather than TCP: as quiet pinned, and the baseline answers on a serial line
only.

Rows, alternating round by round, the best round of each printed:
"library, no browser" (Simulator with its LiveServer, no page open: the
state is still rebuilt every 0.2 s and the frame log kept); "library, 3
browsers watching" (three headless chromium instances under selenium show
the page; the reads change no state, but each page is sent the newest
frames once a second and redraws its frame log; a round starts once every page shows the register table
"reg-1-DT-0" and has had an event, and the simulator's process counts three
event streams open); "library, no browser, again" (the first row once more,
the pair telling the noise); "baseline" (bench_simulator.py's plain-Python
simulator, no web view). Outside the watching rounds the browsers show
about:blank; after every switch the loop polls untimed for 2 s (after 0.5 s
the pages' loading was not over). A script on every page counts the
messages its event stream delivers; the CPU time of the simulator's process
and of the browsers during each round comes from /proc.

Target: the median, over the rounds, of the watching row against the mean
of the two rows without browsers around it, at least 1 less the noise (the
largest difference within a round between the two rows without browsers).
Without chromium or selenium the browser row is left out, with no target.
"""

import importlib
import os
import shutil
import statistics
import sys
import threading
import time

# The benchmarks run as scripts; the insert lets them be imported as well.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
from bench_simulator import COMMAND, SimulatorProcess, serve_child  # noqa: E402

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
    // The states, and the frames, which come as events of their own.
    for (const kind of ["message", "log"]) {
      source.addEventListener(kind, (event) => {
        window.__benchEvents.count += 1;
        window.__benchEvents.chars += event.data.length;
      });
    }
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


def tree_seconds(roots):
    """{pid: CPU seconds} of the processes `roots` and all their descendants."""
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
    return {pid: common.process_cpu_seconds(pid) for pid in found}

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

    def seconds(self):
        """{pid: CPU seconds} of every process of the browsers and their drivers."""
        return tree_seconds([d.service.process.pid for d in self.drivers])

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


def poll(process, seconds):
    """Register reads, untimed, for `seconds`."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        common.exchange(process.master_fd, COMMAND)

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
            while int(self.process.ask("streams")) != wanted:
                if time.monotonic() > give_up:
                    raise RuntimeError("%s: %d event streams open, not %d"
                                       % (self.label, int(self.process.ask("streams")), wanted))
                poll(self.process, 0.1)
        poll(self.process, SETTLE)

    def run(self, seconds, count_events=True):
        self.prepare()
        before = self.browsers.counters() if self.watched else None
        browser_cpu = self.browsers.seconds() if self.browsers is not None else {}
        sim_cpu = common.process_cpu_seconds(self.process.proc.pid)
        latencies, elapsed = self.process.answers(seconds)
        sim_cpu = common.process_cpu_seconds(self.process.proc.pid) - sim_cpu
        if self.browsers is not None:
            browser_cpu = sum(t - browser_cpu.get(pid, 0) for pid, t in self.browsers.seconds().items())
        else:
            browser_cpu = 0
        if self.watched and count_events:
            self.events.append([(a[0] - b[0], a[1] - b[1], a[2]) for a, b in zip(self.browsers.counters(), before)])
        return latencies, elapsed, sim_cpu / elapsed, browser_cpu / elapsed


def pick_cpus():
    """(the driving loop's CPU, the simulators' CPU), or None with fewer than two."""
    cpus = sorted(os.sched_getaffinity(0))
    return (cpus[0], cpus[1]) if len(cpus) >= 2 else None


def measure(rounds, seconds, warmup, with_browsers, cpus):
    """The rows' figures, and the per-round figures of the browsers' pages."""
    sim_cpu = cpus[1] if cpus else None
    processes = common.open_sides(SimulatorProcess, [("library", sim_cpu, True), ("baseline", sim_cpu)])
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
        f = common.rate_figures(runs, "answers")
        rates = f["answers_per_s_rounds"]
        figures.append(dict(row=row.label, simulator=row.process.kind, browsers=BROWSERS if row.watched else 0,
                            spread=(max(rates) - min(rates)) / max(rates),
                            simulator_cpu=statistics.median(r[2] for r in runs),
                            browsers_cpu=statistics.median(r[3] for r in runs) if browsers is not None else None,
                            **f))
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
    opts, (rounds, seconds, warmup) = common.options(argv, __doc__, (3, 1.0, 0.3), (5, 3.0, 1.0))

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

    return common.finish(
        opts, "web", rounds=rounds, seconds_per_round=seconds, command=COMMAND.decode("ascii"),
        browsers=BROWSERS if watched else 0, browsers_missing=missing,
        cpus_pinned={"loop": cpus[0], "simulators": cpus[1]} if cpus else None, rows=rows,
        watched_over_none=best_ratio, watched_over_none_rounds=paired, watched_over_none_median=effect,
        again_over_none_rounds=again, noise=noise, library_over_baseline=over_baseline, events=fed,
        targets={"watched_over_none": target} if watched else {})

if __name__ == "__main__":
    common.run(main, serve=serve_child)
