"""A virtual serial line: pseudo-terminals joined by a relay, so that
whatever one end writes the others read, as on a null-modem cable or a
shared multi-drop line."""

import os
import select
import threading
import tty


class VirtualLine:
    """Serial ports joined by a relay thread: ``ports`` (device paths that
    ``b4k_mew.MewSerial(port=...)`` and ``serial.Serial`` open), two by
    default, ``port_a`` and ``port_b``. What one end writes every other end
    reads, as on a null-modem cable, or with more ends as on a shared
    multi-drop line. Use as a context manager, or call ``close()``."""

    def __init__(self, ends: int = 2) -> None:
        if ends < 2:
            raise ValueError("a line has at least two ends, not %r" % (ends,))
        self._fds: list[int] = []
        self._masters: list[int] = []
        self.ports: list[str] = []
        for _ in range(ends):
            master, slave = os.openpty()
            tty.setraw(master)
            tty.setraw(slave)
            self._fds += [master, slave]
            self._masters.append(master)
            self.ports.append(os.ttyname(slave))
        self._stop_r, self._stop_w = os.pipe()
        self._thread: "threading.Thread | None" = threading.Thread(target=self._relay, name="VirtualLine",
                                                                  daemon=True)
        self._thread.start()

    @property
    def port_a(self) -> str:
        return self.ports[0]

    @property
    def port_b(self) -> str:
        return self.ports[1]

    #: Bytes held for an end whose reader has fallen this far behind are
    #: dropped, as a UART overruns; until then nothing is lost.
    MAX_PENDING = 1 << 20

    def _relay(self) -> None:
        # The pseudo-terminal masters are non-blocking, and what an end cannot
        # take yet waits here: a blocking write to an end that nobody reads
        # would stop the relay for every end and make close() hang.
        for fd in self._masters:
            os.set_blocking(fd, False)
        pending = {fd: bytearray() for fd in self._masters}
        while True:
            writable = [fd for fd, data in pending.items() if data]
            try:
                ready, can_write, _ = select.select(self._masters + [self._stop_r], writable, [])
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
                for other in self._masters:
                    if other == fd:
                        continue
                    out = pending[other]
                    out += data[: max(0, self.MAX_PENDING - len(out))]
                    if out:
                        can_write.append(other)
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

    def close(self) -> None:
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

    def __enter__(self) -> "VirtualLine":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass
