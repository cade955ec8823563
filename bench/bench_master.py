"""Typed master operations over a pseudo-terminal: b4k_mew.MewMaster against a plain-Python master.

Reads of 1, 8 and 32 registers and a 32-bit write, each a full exchange with
a peer thread answering from a table, the masters alternating.
"""

import statistics
import time

import b4k_mew

import common

TARGET_RATIO = 3.0  # every case, library operations per second over the baseline's
BAUDRATE = 115200

def respond(command):
    """The response to a command (bytes): words for a read of registers, a bare acknowledgement for a write."""
    text = command.decode("latin-1")
    at = text.index("#")
    station, code = text[1:at], text[at + 1:at + 3]
    if code == "RD":
        first, last = int(text[at + 4:at + 9]), int(text[at + 9:at + 14])
        data = "".join(common.word_text(common.register_word(r)) for r in range(first, last + 1))
        return common.append_tail("%" + station + "$RD" + data).encode("ascii")
    return common.append_tail("%" + station + "$" + code).encode("ascii")

def words(first, count):
    return [common.register_word(r) for r in range(first, first + count)]

CASES = [  # (name, call on a master, expected result)
    ("read 1 register", lambda m: m.get_uint16(1, "DT100"), common.register_word(100)),
    ("read 8 registers", lambda m: m.get_multi_uint16(1, "DT100", 8), words(100, 8)),
    ("read 32 registers", lambda m: m.get_multi_uint16(1, "DT100", 32), words(100, 32)),
    ("write 32-bit value", lambda m: m.set_uint32(1, "DT200", 305419896), None),
]
SIDES = [("library", lambda port: b4k_mew.MewMaster(b4k_mew.MewSerial(port=port, baudrate=BAUDRATE))),
         ("baseline", lambda port: common.PlainMaster(port, BAUDRATE))]

def open_side(label, make):
    table = {}
    pty = common.PtyPair(table, lambda command: table.setdefault(command, respond(command)))
    return common.MasterSide(label, make, pty)

def run_round(call, master, seconds):
    """Operations back to back for about `seconds`: their number and the time taken."""
    clock, done = time.perf_counter, 0
    now = begin = clock()
    while now < begin + seconds:
        for _ in range(10):
            call(master)
        done += 10
        now = clock()
    return done, now - begin

def main(argv=None):
    bench = common.Bench("master", __doc__, (2, 0.15, 0.05), (7, 0.5, 0.2), argv=argv)
    rounds, seconds, warmup = bench.settings
    rows = []
    with common.opened(open_side, SIDES) as sides:
        for name, call, want in CASES:
            for side in sides:
                got = call(side.master)
                assert got == want, "%s, %s: %r instead of %r" % (side.label, name, got, want)
            # The best round counts, as with timeit: other work only ever slows a round down.
            got = common.measure_sides(sides, rounds, seconds, warmup,
                                       lambda side, s: run_round(call, side.master, s))
            row = {"case": name}
            for label, runs in got.items():
                rates = [done / elapsed for done, elapsed in runs]
                row.update({label + "_ops_per_s": max(rates), label + "_median_round_ops_per_s":
                            statistics.median(rates), label + "_operations": sum(done for done, _ in runs)})
            row["ratio"] = row["library_ops_per_s"] / row["baseline_ops_per_s"]
            row["median_round_ratio"] = row["library_median_round_ops_per_s"] / row["baseline_median_round_ops_per_s"]
            rows.append(row)
    geomean = common.geometric_mean(r["ratio"] for r in rows)
    bench.table(rows + [{"case": "geometric mean", "ratio": geomean}], "case", "library_ops_per_s=library ops/s",
                "baseline_ops_per_s=baseline ops/s", "ratio", "median_round_ratio=median ratio",
                note="best of %d rounds of %.2f s per side, alternating; median ratio: of the median rounds; each "
                "operation one exchange through a raw pty; peer: a thread of this process" % (rounds, seconds))
    bench.target("min_ratio", "every ratio >= %.1f" % TARGET_RATIO, min(r["ratio"] for r in rows), TARGET_RATIO,
                 detail="lowest %.2f")
    return bench.finish(rounds=rounds, seconds_per_round=seconds, cases=rows, geometric_mean_ratio=geomean)

if __name__ == "__main__":
    common.run(main)
