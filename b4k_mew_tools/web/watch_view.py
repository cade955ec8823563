"""The live view of a poller: every point's value, when it last changed, its
error, and a trend of the last minutes for the numeric ones."""

import collections
import math
import threading
import time

#: The span of the trend charts, in seconds.
DEFAULT_WINDOW = 300.0
#: A chart's samples: two in a row are at least window / this apart.
TREND_SAMPLES = 600


def _number(value):
    """A value a chart can draw, or None (contacts, nothing read yet, NaN)."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return None
    return float(value) if math.isfinite(value) else None


class WatchView:
    """What the watch page shows of ``poller``: ``describe(name, value)``
    gives a value's text (``str`` by default), ``types`` a name's type for
    the page. Changes reach the trends through ``record``, given the
    poller's batches (its ``on_change``); without it the trends follow the
    states the page is sent."""

    page = "watch.html"

    def __init__(self, poller, describe=None, types=None, window=DEFAULT_WINDOW, title="watch"):
        if not window > 0:
            raise ValueError("the trend window must be above 0 seconds")
        self._poller = poller
        self._describe = describe or (lambda name, value: str(value))
        self._types = dict(types or {})
        self.window = float(window)
        self.title = title
        self._lock = threading.Lock()
        self._trends = collections.defaultdict(collections.deque)
        self._fed = False

    def record(self, changes):
        """Takes a batch of the poller's changes, (name, value, time) each."""
        with self._lock:
            self._fed = True
            for name, value, when in changes:
                self._add(name, value, when)

    def _add(self, name, value, when):
        trend = self._trends[name]
        number = _number(value)
        # In a burst of changes closer than a chart can show, the latest
        # stands for the rest: no two samples in a row are that close.
        if len(trend) > 1 and when - trend[-2][0] < self.window / TREND_SAMPLES:
            trend[-1] = (when, number)
        elif not trend or trend[-1][1] != number:
            trend.append((when, number))
        # One sample before the window gives the chart its left edge.
        while len(trend) > 1 and trend[1][0] <= when - self.window:
            trend.popleft()

    def snapshot(self):
        now = time.time()
        readings = self._poller.snapshot()
        points = []
        with self._lock:
            for name, reading in readings.items():
                if not self._fed and reading.changed:
                    self._add(name, reading.value, reading.changed)
                numeric = _number(reading.value) is not None or self._types.get(name) not in (None, "bool", "coil")
                points.append({
                    "name": name,
                    "type": self._types.get(name, type(reading.value).__name__ if reading.value is not None else ""),
                    "value": None if reading.value is None else self._describe(name, reading.value),
                    "read": reading.time,
                    "changed": reading.changed,
                    "error": reading.error,
                    "trend": [list(sample) for sample in self._trends.get(name, ())] if numeric else None,
                })
        # Whole seconds: the page is sent at least once a second, and its
        # charts move on with the clock.
        return {"title": self.title, "now": math.floor(now), "window": self.window, "points": points}
