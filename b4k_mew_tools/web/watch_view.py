"""The live view of a poller: every point's value, when it last changed and
was last read, its error, and a trend of the last minutes (an on/off
timeline for a contact). The state holds the points; the trends' samples
go to each page once: all of the window when it opens, then only new ones."""

import math
import threading
import time

from .server import EntryLog

#: The span of the trend charts, in seconds.
DEFAULT_WINDOW = 300.0
#: A chart's samples: two in a row are at least window / this apart.
TREND_SAMPLES = 600
#: New samples kept for the pages' streams to take from; a page that falls
#: further behind is sent the whole window again.
SAMPLES_KEPT = 20000


def _number(value):
    """A value a chart can draw (a contact as 1 or 0), or None (nothing
    read yet, NaN)."""
    if isinstance(value, bool):
        return float(value)
    if not isinstance(value, (int, float)):
        return None
    return float(value) if math.isfinite(value) else None


class WatchView:
    """What the watch page shows of ``poller``: ``describe(name, value)``
    gives a value's text (``str`` by default), ``types`` a name's type for
    the page, ``labels`` a name's (label, unit), ``describe_error(name,
    text)`` an error's words. Changes reach the trends through ``record``,
    given the poller's batches (its ``on_change``); without it the trends
    follow the states the page is sent. A point that fails breaks its trend
    until it is read again."""

    page = "watch.html"

    def __init__(self, poller, describe=None, types=None, window=DEFAULT_WINDOW, title="watch", labels=None,
                 describe_error=None):
        if not window > 0:
            raise ValueError("the trend window must be above 0 seconds")
        self._poller = poller
        self._describe = describe or (lambda name, value: str(value))
        self._describe_error = describe_error or (lambda name, text: text)
        self._types = dict(types or {})
        self._labels = dict(labels or {})
        self.window = float(window)
        self.title = title
        self._lock = threading.Lock()
        self._trends = {}
        self._samples = EntryLog(SAMPLES_KEPT)
        self._failing = {}
        self._fed = False

    def record(self, changes):
        """Takes a batch of the poller's changes, (name, value, time) each."""
        with self._lock:
            self._fed = True
            for name, value, when in changes:
                self._add(name, value, when)

    def _add(self, name, value, when):
        trend = self._trends.setdefault(name, [])
        number = _number(value)
        if trend and trend[-1][1] == number and number is not None:
            return
        # Sent as it comes; the page thins as this does.
        self._samples.add([name, round(when, 3), number])
        # In a burst of changes closer than a chart can show, the latest
        # stands for the rest: no two samples in a row are that close.
        if len(trend) > 1 and when - trend[-2][0] < self.window / TREND_SAMPLES:
            trend[-1] = (when, number)
        elif not trend or trend[-1][1] != number:
            trend.append((when, number))
        # One sample before the window gives the chart its left edge.
        cut = 0
        while cut + 1 < len(trend) and trend[cut + 1][0] <= when - self.window:
            cut += 1
        if cut:
            del trend[:cut]

    def snapshot(self):
        now = time.time()
        readings = self._poller.snapshot()
        points = []
        with self._lock:
            for name, reading in readings.items():
                if not self._fed and reading.changed:
                    self._add(name, reading.value, reading.changed)
                # An outage breaks the trend; a read after it joins it again,
                # even with the value of before.
                failing = bool(reading.error)
                if failing != self._failing.get(name, False):
                    self._failing[name] = failing
                    if failing:
                        self._add(name, None, now)
                    elif reading.value is not None:
                        self._add(name, reading.value, reading.time or now)
                kind = self._types.get(name, type(reading.value).__name__ if reading.value is not None else "")
                label, unit = self._labels.get(name, ("", ""))
                points.append({
                    "name": name, "label": label, "unit": unit, "type": kind,
                    "value": None if reading.value is None else self._describe(name, reading.value),
                    "read": reading.time,
                    "changed": reading.changed,
                    "error": self._describe_error(name, reading.error) if reading.error else None,
                    "trend": "timeline" if kind in ("bool", "coil") else "chart",
                })
        # Whole seconds: the page is sent at least once a second, and its
        # charts move on with the clock.
        return {"title": self.title, "now": math.floor(now), "window": self.window, "points": points}

    # --- the samples, streamed to each page from where it is ---

    @property
    def log_mark(self):
        return self._samples.mark

    def log_since(self, seen):
        with self._lock:
            samples, mark, lost = self._samples.since(seen)
            if seen and not lost:
                return ({"samples": samples} if samples else None), mark
            # A page that opens, or fell behind: the window as the charts hold it.
            return {"reset": True, "samples": [[name, round(when, 3), value] for name, trend in self._trends.items()
                                               for when, value in trend]}, mark
