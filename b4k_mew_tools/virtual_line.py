"""A virtual serial line: two pseudo-terminals joined back to back, so that
whatever one end writes the other end reads, as on a null-modem cable."""

import os
import select
import threading
import tty


class VirtualLine:
    """Two serial ports, ``port_a`` and ``port_b`` (device paths that
    ``b4k_mew.MewSerial(port=...)`` and ``serial.Serial`` open), joined by a
    relay thread. Use as a context manager, or call ``close()``."""

    def __init__(self):
        self._fds = []
        ends = []
        for _ in range(2):
            master, slave = os.openpty()
            tty.setraw(master)
            tty.setraw(slave)
            self._fds += [master, slave]
            ends.append((master, os.ttyname(slave)))
        (self._master_a, self.port_a), (self._master_b, self.port_b) = ends
        self._stop_r, self._stop_w = os.pipe()
        self._thread = threading.Thread(target=self._relay, name="VirtualLine", daemon=True)
        self._thread.start()

    def _relay(self):
        peer = {self._master_a: self._master_b, self._master_b: self._master_a}
        watched = [self._master_a, self._master_b, self._stop_r]
        while True:
            try:
                ready, _, _ = select.select(watched, [], [])
            except (OSError, ValueError):
                return
            if self._stop_r in ready:
                return
            for fd in ready:
                try:
                    data = os.read(fd, 4096)
                    if data:
                        os.write(peer[fd], data)
                except OSError:
                    # Nobody has the other end open yet: what was written is
                    # lost, as on a cable with nothing plugged in.
                    pass

    def close(self):
        """Stops the relay and closes both pseudo-terminals."""
        if self._thread is None:
            return
        os.write(self._stop_w, b"x")
        self._thread.join()
        self._thread = None
        for fd in self._fds + [self._stop_r, self._stop_w]:
            try:
                os.close(fd)
            except OSError:
                pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass
