"""An in-process serial line for tests: two Channel subclasses wired to each
other, so a test can hand one end to a station and play the device on the
other.

Each end behaves like a serial channel with a per-byte read time-out: bytes
written at one end arrive at the other, `read` returns early with what is
there, and `receive_frame` raises the same OSError messages as MewSerial.
"""
import threading
import time

import b4k_mew

NOT_OPEN = "Attempting to use a port that is not open"


class End(b4k_mew.Channel):
    """One end of the line.

    Test knobs: `fail_read` / `fail_send`, when set to an exception, make the
    next reads or sends raise it. Records: `sent` (every frame written here),
    `close_count`, `flush_count`.
    """

    def __init__(self, timeout=0.05):
        super().__init__()
        self.timeout = timeout
        self.peer = None
        self.sent = []
        self.close_count = 0
        self.flush_count = 0
        self.fail_read = None
        self.fail_send = None
        self._buf = bytearray()
        self._cond = threading.Condition()
        self._closed = False

    @property
    def closed(self):
        return self._closed

    def deliver(self, data):
        """Bytes arriving from the far side (str is encoded as UTF-8)."""
        if isinstance(data, str):
            data = data.encode("utf-8")
        with self._cond:
            self._buf += data
            self._cond.notify_all()

    def _check(self):
        if self._closed:
            raise OSError(NOT_OPEN)

    def _wait_byte(self, timeout):
        # Caller holds _cond.
        deadline = time.monotonic() + timeout
        while not self._buf:
            self._check()
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            self._cond.wait(left)
        return True

    def read(self, size=1):
        if self.fail_read is not None:
            raise self.fail_read
        with self._cond:
            self._check()
            if not self._wait_byte(self.timeout):
                return ""
            out = bytes(self._buf[:size])
            del self._buf[:size]
        return out.decode("latin-1")

    def next_frame(self, timeout=2.0):
        """Everything up to and including the next CR, waiting at most
        `timeout` for its first byte and the read time-out for each other."""
        frame = bytearray()
        with self._cond:
            self._check()
            wait = timeout
            while self._wait_byte(wait):
                wait = self.timeout
                b = self._buf.pop(0)
                frame.append(b)
                if b == 0x0D:
                    return frame.decode("latin-1")
        if not frame:
            raise OSError("Error: device no response.")
        raise OSError("Error: device response format invalid.")

    def receive_frame(self):
        return self.next_frame(self.timeout)

    def send_frame(self, data):
        if not isinstance(data, str):
            raise TypeError("send_frame() needs str, not %s" % type(data).__name__)
        if self.fail_send is not None:
            raise self.fail_send
        self._check()
        self.sent.append(data)
        self.peer.deliver(data)

    @property
    def in_waiting(self):
        with self._cond:
            return len(self._buf)

    def flush_input(self):
        self.flush_count += 1
        with self._cond:
            self._buf.clear()

    def close(self):
        self.close_count += 1
        with self._cond:
            self._closed = True
            self._cond.notify_all()


def pair(timeout=0.05):
    """Two connected ends: (station side, device side)."""
    a, b = End(timeout), End(timeout)
    a.peer, b.peer = b, a
    return a, b


class Device:
    """Plays the far end in a thread of its own: answers every frame it
    receives with `answer(frame)` (None: stays silent). Every received frame
    is kept in `received`. Use as a context manager; leaving it ends the
    thread."""

    def __init__(self, end, answer):
        self.end = end
        self.answer = answer
        self.received = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="linkpair.Device", daemon=True)

    def _run(self):
        while not self._stop.is_set():
            try:
                frame = self.end.next_frame(0.05)
            except OSError:
                if self.end.closed:
                    return
                continue
            self.received.append(frame)
            reply = self.answer(frame)
            if reply is not None:
                self.end.send_frame(reply)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join(5)
        assert not self._thread.is_alive(), "device thread did not end"


def wait_until(predicate, timeout=5.0, interval=0.01):
    """Polls until `predicate()` is true; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)
