"""The browser live view: the simulator's answers per second with and without three browsers watching its page.

The rows and the target are in the README. Pinned: the loop to one CPU, the
simulators to another (unpinned, one row's rounds ranged from 30,000 to
78,000 answers/s). After every switch the loop polls untimed for 2 s.
"""

import contextlib
import importlib
import os
import shutil
import statistics
import sys
import time

import common
from bench_simulator import COMMAND, SimulatorProcess, serve_child

BROWSERS, CHROMEDRIVER, CHROMIUM = 3, "/usr/bin/chromedriver", "/usr/bin/chromium"
BROWSER_ARGUMENTS = ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1300,1000")
LIVE_ELEMENT = "reg-1-DT-0"  # the page is live once station 1's register table shows
SWITCH_TIMEOUT, SETTLE = 30.0, 2.0
ROW_NONE, ROW_WATCHED = "library, no browser", "library, %d browsers watching" % BROWSERS
ROW_AGAIN, ROW_BASELINE = "library, no browser, again", "baseline"
# Before a page's own scripts: counts the messages and characters its event streams deliver.
COUNTER_SCRIPT = """
(() => {
  const Native = window.EventSource;
  window.__benchEvents = { count: 0, chars: 0 };
  window.EventSource = function (...args) {
    const source = new Native(...args);
    for (const kind of ["message", "log"]) {  // the states, and the frames as events of their own
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

def tree_seconds(roots):
    """{pid: CPU seconds} of the processes `roots` and all their descendants."""
    parents = {}
    for name in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError, IndexError, ValueError), open("/proc/%s/stat" % name, encoding="ascii",
                                                                         errors="replace") as f:
            parents[int(name)] = int(f.read().rpartition(")")[2].split()[1])
    found, todo = set(), [pid for pid in roots if pid in parents]
    while todo:
        pid = todo.pop()
        found.add(pid)
        todo += [child for child, parent in parents.items() if parent == pid and child not in found]
    return {pid: common.process_cpu_seconds(pid) for pid in found}

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
        self.drivers, self.watching = [], False
        try:
            for _ in range(count):
                options = webdriver.ChromeOptions()
                options.binary_location = CHROMIUM
                for argument in BROWSER_ARGUMENTS:
                    options.add_argument(argument)
                self.drivers.append(webdriver.Chrome(service=Service(CHROMEDRIVER, log_path=os.devnull),
                                                     options=options))
                self.drivers[-1].execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": COUNTER_SCRIPT})
                self.drivers[-1].get("about:blank")
        except BaseException:
            self.close()
            raise

    def seconds(self):
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
            try:
                self.drivers.pop().quit()
            except Exception as error:  # the others are quit all the same
                print("browser: %s" % error, file=sys.stderr)

def poll(process, seconds):
    """Register reads, untimed, for `seconds`."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        common.exchange(process.master_fd, COMMAND)

class Row:
    """A simulator's process, with `browsers` (None: none at all) watching or not."""

    def __init__(self, label, process, browsers=None, watched=False):
        self.label, self.process, self.browsers, self.watched = label, process, browsers, watched
        self.events = []  # per timed window, [(messages, characters, frame rows)] of each browser

    def prepare(self):
        """Opens or leaves the pages; returns once the process counts the streams
        expected and the loop has polled untimed for SETTLE seconds after."""
        if self.browsers is not None and self.browsers.watching != self.watched:
            self.browsers.watch(self.process.url) if self.watched else self.browsers.leave()
        if self.process.url is not None:
            # A stream that lost its browser ends at its next write, which the polling makes.
            wanted = len(self.browsers.drivers) if self.watched else 0
            give_up = time.monotonic() + SWITCH_TIMEOUT
            while int(self.process.ask("streams")) != wanted:
                if time.monotonic() > give_up:
                    raise RuntimeError("%s: %s event streams open, not %d" % (self.label, self.process.ask("streams"),
                                                                               wanted))
                poll(self.process, 0.1)
        poll(self.process, SETTLE)

    def run(self, seconds, count_events=True):
        self.prepare()
        before = self.browsers.counters() if self.watched else None
        browser_cpu = self.browsers.seconds() if self.browsers is not None else {}
        sim_cpu = common.process_cpu_seconds(self.process.proc.pid)
        latencies, elapsed = self.process.answers(seconds)
        sim_cpu = common.process_cpu_seconds(self.process.proc.pid) - sim_cpu
        browser_cpu = sum(t - browser_cpu.get(pid, 0) for pid, t in self.browsers.seconds().items()) \
            if self.browsers is not None else 0
        if self.watched and count_events:
            self.events.append([(a[0] - b[0], a[1] - b[1], a[2]) for a, b in zip(self.browsers.counters(), before)])
        return latencies, elapsed, sim_cpu / elapsed, browser_cpu / elapsed

def measure(bench, rounds, seconds, warmup, with_browsers, cpus):
    """The rows' figures, and the events of the watching rounds' pages."""
    everywhere = os.sched_getaffinity(0)
    with contextlib.ExitStack() as stack:
        library, baseline = (stack.enter_context(contextlib.closing(SimulatorProcess(kind, cpus[1] if cpus else None, web)))
                             for kind, web in (("library", True), ("baseline", False)))
        browsers = None
        if with_browsers:
            try:
                browsers = Browsers(BROWSERS)
                stack.callback(browsers.close)
            except Exception as error:  # selenium's WebDriverException among others
                bench.say("no browsers: chromium did not start (%s); measuring without them."
                          % (str(error).strip() or type(error).__name__).splitlines()[0])
        rows = [Row(ROW_NONE, library, browsers)] + ([Row(ROW_WATCHED, library, browsers, True)] if browsers else [])
        rows += [Row(ROW_AGAIN, library, browsers), Row(ROW_BASELINE, baseline, browsers)]
        stack.callback(os.sched_setaffinity, 0, everywhere)
        if cpus:
            os.sched_setaffinity(0, {cpus[0]})  # after the browsers started: they run anywhere
        for row in rows:
            row.run(warmup, count_events=False)
        samples = common.alternate(rows, rounds, lambda row: row.run(seconds))
    figures = []
    for row in rows:
        runs, f = samples[row.label], common.rate_figures(samples[row.label], "answers")
        rates = f["answers_per_s_rounds"]
        figures.append(dict(row=row.label, simulator=row.process.kind, browsers=BROWSERS if row.watched else 0,
                            spread=(max(rates) - min(rates)) / max(rates),
                            simulator_cpu=statistics.median(r[2] for r in runs),
                            browsers_cpu=statistics.median(r[3] for r in runs) if browsers is not None else None, **f))
    return figures, next((row.events for row in rows if row.watched), [])

def main(argv=None):
    bench = common.Bench("web", __doc__, (3, 1.0, 0.3), (5, 3.0, 1.0), argv=argv)
    rounds, seconds, warmup = bench.settings
    missing = browsers_missing()
    if missing:
        bench.say("no browsers: %s; measuring without them.", missing)
    cpus = sorted(os.sched_getaffinity(0))[:2]
    cpus = cpus if len(cpus) == 2 else None
    rows, events = measure(bench, rounds, seconds, warmup, missing is None, cpus)
    fed = [{"browser": i + 1, "messages": sum(w[i][0] for w in events),
            "messages_per_s_rounds": [w[i][0] / seconds for w in events],
            "by_round": ", ".join("%.1f" % (w[i][0] / seconds) for w in events),
            "mean_characters": sum(w[i][1] for w in events) / max(1, sum(w[i][0] for w in events)),
            "frame_rows_shown": min(w[i][2] for w in events)} for i in range(len(events[0]) if events else 0)]
    rate = {r["row"]: r["answers_per_s"] for r in rows}
    by_round = {r["row"]: r["answers_per_s_rounds"] for r in rows}
    over_baseline = {r["row"]: r["answers_per_s"] / rate[ROW_BASELINE] for r in rows if r["simulator"] == "library"}
    again = [b / a for a, b in zip(by_round[ROW_NONE], by_round[ROW_AGAIN])]  # the same row twice within a round
    noise = max(abs(1.0 - r) for r in again)
    bench.table([dict(r, spread_pc=100 * r["spread"], sim_pc=100 * r["simulator_cpu"], browsers_pc=None if r[
        "browsers_cpu"] is None else 100 * r["browsers_cpu"]) for r in rows], "row", "answers",
        "answers_per_s=answers/s", ("spread_pc", "spread %", "%.0f"), "median_us=median us",
        ("sim_pc", "sim CPU %", "%.0f"), ("browsers_pc", "browsers CPU %", "%.0f"),
        title="Answers to a register read, one at a time, through a pty; the live server in the simulator's process:",
        note="answers/s: best of %d rounds of %.1f s; spread: (best - worst) / best of the rounds; CPU: medians of "
        "the rounds, 100%% = one CPU of %d; %s" % (rounds, seconds, os.cpu_count(), "loop on CPU %d, simulators on "
                                                   "CPU %d, browsers anywhere" % tuple(cpus) if cpus else
                                                   "nothing pinned: a single CPU"))
    figures = {}
    if ROW_WATCHED in rate:
        paired = [w / ((a + b) / 2) for w, a, b in zip(by_round[ROW_WATCHED], by_round[ROW_NONE], by_round[ROW_AGAIN])]
        figures = dict(watched_over_none=rate[ROW_WATCHED] / rate[ROW_NONE], watched_over_none_rounds=paired,
                       watched_over_none_median=statistics.median(paired))
        bench.say("%d browsers / no browser: best %.3f; round by round, against the mean of the two rows without: "
                  "%s, median %.3f", BROWSERS, figures["watched_over_none"], ", ".join("%.3f" % p for p in paired),
                  figures["watched_over_none_median"])
    bench.say("no browser, again / no browser, round by round: %s; noise %.1f%%", ", ".join("%.3f" % r for r in again),
              100 * noise)
    bench.say("library / baseline: %s", ", ".join("%s %.2f" % (row.split(", ", 1)[1], ratio)
                                                  for row, ratio in over_baseline.items() if row != ROW_AGAIN))
    if fed:
        bench.table(fed, "browser", "messages", "by_round=messages/s by round",
                    "mean_characters=characters each", "frame_rows_shown=frame rows shown",
                    title="Events each page received in the timed windows of the watching rounds:")
    if figures:
        bench.target("watched_over_none", "%d browsers / no browser >= 1 - noise" % BROWSERS,
                     figures["watched_over_none_median"], 1.0 - noise, detail="median of the rounds %.3f, 1 - noise "
                     "%.3f" % (figures["watched_over_none_median"], 1.0 - noise))
    else:
        bench.say("no target: the browser row was not measured")
    return bench.finish(rounds=rounds, seconds_per_round=seconds, command=COMMAND.decode("ascii"),
                        browsers=BROWSERS if figures else 0, browsers_missing=missing, rows=rows,
                        cpus_pinned={"loop": cpus[0], "simulators": cpus[1]} if cpus else None, again_over_none_rounds=again,
                        noise=noise, library_over_baseline=over_baseline, events=fed, **figures)

if __name__ == "__main__":
    common.run(main, serve=serve_child)
