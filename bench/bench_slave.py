"""Slave answers over a pseudo-terminal: b4k_mew.MewFullDuplex against a plain-Python slave.

A loop writes one register read on the pty's master side and reads the answer;
"floor" answers a fixed response on the pty itself: the pty and the loop alone.
"""

import os
import select
import threading
import time

import b4k_mew

import common

TARGET_RATIO = 3.0  # library / plain Python, answers per second
BAUDRATE = 115200
COMMAND = b4k_mew.MewStatic.append_tail("%01#RDD0010000101").encode()
RESPONSE = b4k_mew.MewStatic.append_tail("%01$RD00000000").encode()

class FixedPeer:
    """Not a slave: a thread answers every frame with RESPONSE, the bound no slave goes below."""

    def __init__(self, port):
        self._fd, self._stop = os.open(port, os.O_RDWR | os.O_NOCTTY), False
        self._thread = threading.Thread(target=self._run, daemon=True)

    def start(self):
        self._thread.start()

    def close(self):
        self._stop = True
        self._thread.join(2)
        os.close(self._fd)

    def _run(self):
        fd, response, pending = self._fd, RESPONSE, b""
        while not self._stop:
            if select.select([fd], [], [], 0.1)[0]:
                pending += os.read(fd, 4096)
                while b"\r" in pending:
                    _, pending = pending.split(b"\r", 1)
                    os.write(fd, response)

class Side:
    """A slave on the slave end of a raw pty pair; the loop uses the master end."""

    def __init__(self, label, make):
        self.label = label
        self.master_fd, self.slave_fd = common.open_raw_pty()
        self.slave = make(os.ttyname(self.slave_fd))
        self.slave.start()
        deadline = time.monotonic() + 10  # the library's worker registers its queue on its own thread:
        while True:  # a command before that is dropped
            try:
                common.exchange(self.master_fd, COMMAND)
                break
            except RuntimeError:
                if time.monotonic() > deadline:
                    raise

    def run(self, seconds):
        return common.time_each(common.exchange, (self.master_fd, COMMAND), RESPONSE, seconds)

    def close(self):
        self.slave.close()
        os.close(self.slave_fd)
        os.close(self.master_fd)

SIDES = [("library", lambda port: b4k_mew.MewFullDuplex(b4k_mew.MewSerial(port=port, baudrate=BAUDRATE),
                                                         slave_station=1)),
         ("baseline", lambda port: common.PlainSlave(1, port, BAUDRATE)), ("floor", FixedPeer)]

def main(argv=None):
    bench = common.Bench("slave", __doc__, (3, 0.4, 0.2), (5, 2.0, 0.5), argv=argv)
    rounds, seconds, warmup = bench.settings
    with common.opened(Side, SIDES) as sides:
        # A comparison only means something if both slaves answer alike.
        for body in ("%01#RDD0010000101", "%01#RCSR0010", "%01#WCSR00101", "%01#RCCX00000002",
                     "%01#WCCY00100011010002FF", "%01#RDD0010000102", "%01#WDD00100001010201FF00",
                     "%01#RDD0010000099", "%01#XYZ", "%001#RDD0000000000"):
            frame = b4k_mew.MewStatic.append_tail(body)
            got, want = (side.slave._process_request(frame) for side in sides[:2])
            assert got == want, "%r: library %r, plain Python %r" % (frame, got, want)
        samples = common.measure_sides(sides, rounds, seconds, warmup)
    rows = [dict(slave=side.label, **common.rate_figures(samples[side.label], "answers")) for side in sides]
    rate = {r["slave"]: r["answers_per_s"] for r in rows}
    ratio = rate["library"] / rate["baseline"]
    bench.table(rows, "slave", "answers", "answers_per_s=answers/s", "median_us=median us",
                note="answers: all rounds; answers/s: best of %d rounds of %.1f s; median: latency of one exchange"
                % (rounds, seconds))
    bench.say("library / baseline: %.2f", ratio)
    bench.say("library / floor:    %.2f", rate["library"] / rate["floor"])
    bench.target("ratio", "library / baseline >= %.1f" % TARGET_RATIO, ratio, TARGET_RATIO)
    return bench.finish(rounds=rounds, seconds_per_round=seconds, command=COMMAND.decode(), slaves=rows, ratio=ratio,
                        library_over_floor=rate["library"] / rate["floor"], panels={"slave answers (bench_slave)": [
                            dict(r, side=r["slave"], label={"baseline": "plain Python", "floor": "floor: fixed answer"}
                                 .get(r["slave"], r["slave"])) for r in rows]})

if __name__ == "__main__":
    common.run(main)
