"""Slave answers over a pseudo-terminal: b4k_mew.MewFullDuplex against a plain-Python slave.

    PYTHONPATH=build /usr/bin/python3 bench/bench_slave.py [--quick] [--json PATH]

Each slave sits on the slave side of its own raw pty pair; on the master
side a driving loop of plain Python writes one register read and reads the
answer up to its CR before the next. The library slave is a MewFullDuplex
with its default handlers; the baseline the same design in plain Python on
pyserial (common.PlainSlave: a receiver thread reading byte by byte, a worker
that checks the frame, calls the handler and answers under a sender lock); "floor" a thread
answering a fixed response on the pty itself: the cost of the pty and the
loop alone. Answers per second (best round) and median latency; the ratio
is library over baseline.
"""

import os
import select
import sys
import threading
import time

import b4k_mew

# The benchmarks run as scripts; the insert lets them be imported as well.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402

# Target for the ratio library / plain Python, answers per second.
TARGET_RATIO = 3.0

BAUDRATE = 115200
COMMAND = b4k_mew.MewStatic.append_tail("%01#RDD0010000101").encode()
RESPONSE = b4k_mew.MewStatic.append_tail("%01$RD00000000").encode()


class FixedPeer:
    """Not a slave: a thread answers every CR-terminated frame with RESPONSE,
    reading and writing the pty directly. What is left is the cost of the
    pty and the driving loop, the bound no slave can go below."""

    def __init__(self, port):
        self._fd = os.open(port, os.O_RDWR | os.O_NOCTTY)
        self._thread = threading.Thread(target=self._run, name="FixedPeer", daemon=True)
        self._stop = False

    def start(self):
        self._thread.start()

    def close(self):
        self._stop = True
        self._thread.join(2)
        os.close(self._fd)

    def _run(self):
        fd, response = self._fd, RESPONSE
        pending = b""
        while not self._stop:
            ready, _, _ = select.select([fd], [], [], 0.1)
            if not ready:
                continue
            pending += os.read(fd, 4096)
            while b"\r" in pending:
                _, pending = pending.split(b"\r", 1)
                os.write(fd, response)

# --- The sides ----------------------------------------------------------------

class Side:
    """A slave on the slave end of a raw pty pair; the driving loop uses the master end."""

    def __init__(self, label, make):
        self.label = label
        self.master_fd, self.slave_fd = common.open_raw_pty()
        self.slave = make(os.ttyname(self.slave_fd))
        self.slave.start()

    def run(self, seconds):
        return common.time_each(common.exchange, (self.master_fd, COMMAND), RESPONSE, seconds)

    def wait_ready(self):
        """The first answer: the library's worker registers its queue on its
        own thread, and a command that comes before is dropped."""
        deadline = time.monotonic() + 10
        while True:
            try:
                return common.exchange(self.master_fd, COMMAND)
            except RuntimeError:
                if time.monotonic() > deadline:
                    raise

    def close(self):
        self.slave.close()
        os.close(self.slave_fd)
        os.close(self.master_fd)

SIDES = [("library", lambda port: b4k_mew.MewFullDuplex(b4k_mew.MewSerial(port=port, baudrate=BAUDRATE),
                                                         slave_station=1)),
         ("baseline", lambda port: common.PlainSlave(1, port, BAUDRATE)), ("floor", lambda port: FixedPeer(port))]


def check_agreement(library, baseline):
    """A speed comparison only means something if both slaves answer alike."""
    frames = [COMMAND] + [b4k_mew.MewStatic.append_tail(body).encode() for body in (
        "%01#RCSR0010", "%01#WCSR00101", "%01#RCCX00000002", "%01#WCCY00100011010002FF",
        "%01#RDD0010000102", "%01#WDD00100001010201FF00", "%01#RDD0010000099", "%01#XYZ", "%001#RDD0000000000")]
    for frame in frames:
        got, want = library._process_request(frame.decode()), baseline._process_request(frame.decode())
        assert got == want, "%r: library %r, plain Python %r" % (frame, got, want)


def main(argv=None):
    opts, (rounds, seconds, warmup) = common.options(argv, __doc__, (3, 0.4, 0.2), (5, 2.0, 0.5))
    with common.opened(Side, SIDES) as sides:
        check_agreement(sides[0].slave, sides[1].slave)
        for side in sides:
            side.wait_ready()
        samples = common.measure_sides(sides, rounds, seconds, warmup)
    rows = [dict(slave=side.label, **common.rate_figures(samples[side.label], "answers")) for side in sides]
    by_label = {r["slave"]: r for r in rows}
    ratio = by_label["library"]["answers_per_s"] / by_label["baseline"]["answers_per_s"]
    of_floor = by_label["library"]["answers_per_s"] / by_label["floor"]["answers_per_s"]
    ratio_target = common.target(ratio, TARGET_RATIO)

    common.print_table([("slave", "-8s"), ("answers", "10d"), ("answers/s", "12.0f"), ("median us", "14.1f")],
                       [(r["slave"], r["answers"], r["answers_per_s"], r["median_us"]) for r in rows])
    print("(answers: all rounds; answers/s: best of %d rounds of %.1f s; median: latency of one exchange)"
          % (rounds, seconds))
    print()
    print("library / baseline: %.2f" % ratio)
    print("library / floor:    %.2f" % of_floor)
    common.print_target("library / baseline >= %.1f" % TARGET_RATIO, ratio_target, "%.2f" % ratio)
    return common.finish(opts, "slave", cpus=False, rounds=rounds, seconds_per_round=seconds,
                         command=COMMAND.decode(), slaves=rows, ratio=ratio, library_over_floor=of_floor,
                         targets={"ratio": ratio_target})

if __name__ == "__main__":
    common.run(main)
