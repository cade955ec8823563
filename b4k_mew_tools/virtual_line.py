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

    #: Bytes held for an end whose reader has fallen this far behind are
    #: dropped, as a UART overruns; until then nothing is lost.
    MAX_PENDING = 1 << 20

    def _relay(self):
        # The pseudo-terminal masters are non-blocking, and what an end cannot
        # take yet waits here: a blocking write to an end that nobody reads
        # would stop the relay in both directions and make close() hang.
        for fd in (self._master_a, self._master_b):
            os.set_blocking(fd, False)
        peer = {self._master_a: self._master_b, self._master_b: self._master_a}
        pending = {self._master_a: bytearray(), self._master_b: bytearray()}
        while True:
            writable = [fd for fd, data in pending.items() if data]
            try:
                ready, can_write, _ = select.select(
                    [self._master_a, self._master_b, self._stop_r], writable, []
                )
            except (OSError, ValueError):
                return
            if self._stop_r in ready:
                return
            for fd in ready:
                try:
                    data = os.read(fd, 4096)
                except (BlockingIOError, InterruptedError):
                    continue
                except OSError:
                    data = b""
                out = pending[peer[fd]]
                out += data[: max(0, self.MAX_PENDING - len(out))]
                if out:
                    can_write.append(peer[fd])
            for fd in set(can_write):
                out = pending[fd]
                try:
                    written = os.write(fd, out)
                except (BlockingIOError, InterruptedError):
                    continue
                except OSError:
                    # The end cannot take anything: what was written is lost,
                    # as on a cable with nothing plugged in.
                    written = len(out)
                del out[:written]

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
