"""Writes from /set to the controllers of one line: a queue per station,
taken in turn, so that writes to a silent station hold up only their own;
a write still waiting when its time is up is refused, never applied late."""

import collections
import threading
import time

MAX_WAITING = 100  # writes waiting per station; more is a flood, refused


class Write:
    """A checked /set: the point, the raw value, what to report it by, and
    where to answer it (a Reply, or None)."""

    __slots__ = ("point", "raw", "topic", "payload", "deadline", "reply")

    def __init__(self, point, raw, topic, payload, timeout, reply=None):
        self.point, self.raw, self.topic, self.payload = point, raw, topic, payload
        self.deadline = time.monotonic() + timeout
        self.reply = reply


class LineWriter:
    """Applies the writes of ``line`` (a Line) on a thread of its own and
    calls ``done(write, error, code)`` for each: error None when applied,
    else the reason it was not, with the device's error code when it refused."""

    def __init__(self, line, done):
        self._line, self._done = line, done
        self._timeout = line.config.write_timeout
        self._waiting = {}  # station -> deque of Write
        self._turns = collections.deque()  # stations with writes waiting, in turn
        self._ready = threading.Condition()
        self._closed = False

    def submit(self, point, raw, topic, payload, reply=None):
        """Queues a write; the reason when it is refused at once, else None."""
        with self._ready:
            if self._closed:
                return "the bridge is closing"
            waiting = self._waiting.setdefault(point.station, collections.deque())
            if len(waiting) >= MAX_WAITING:
                return "%d writes already wait for station %d" % (len(waiting), point.station)
            if not waiting:
                self._turns.append(point.station)
            waiting.append(Write(point, raw, topic, payload, self._timeout, reply))
            self._ready.notify()
        return None

    def close(self):
        with self._ready:
            self._closed = True
            self._ready.notify()

    def _expired(self):
        """Takes out the writes whose time is up."""
        now, expired = time.monotonic(), []
        for station, waiting in self._waiting.items():
            while waiting and waiting[0].deadline <= now:
                expired.append(waiting.popleft())
        self._turns = collections.deque(s for s in self._turns if self._waiting[s])
        return expired

    def _next(self):
        """The next write in turn, the expired ones, or (None, []) once closed."""
        with self._ready:
            while True:
                expired = self._expired()
                if self._closed:
                    return None, expired
                if self._turns or expired:
                    break
                self._ready.wait()
            if not self._turns:
                return None, expired
            station = self._turns.popleft()
            write = self._waiting[station].popleft()
            if self._waiting[station]:
                self._turns.append(station)
            return write, expired

    def run(self):
        while True:
            write, expired = self._next()
            for late in expired:
                self._done(late, "not written within %g s (write_timeout): the line or station is busy or silent"
                           % self._timeout, None)
            if write is None:
                if self._closed:
                    return
                continue
            try:
                self._line.write(write.point, write.raw)
            except Exception as error:  # the line's fault, or the controller's answer
                self._done(write, "write failed: %s" % error, getattr(error, "code", None))
            else:
                self._done(write, None, None)
