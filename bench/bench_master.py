"""Typed master operations over a pseudo-terminal: b4k_mew.MewMaster against a plain-Python master.

    PYTHONPATH=build /usr/bin/python3 bench/bench_master.py [--quick] [--json PATH]

Each master talks through its own raw pty pair to a peer thread that answers
each command from a table it fills the first time it sees the command. The
library master is a MewMaster on a MewSerial, the baseline common.PlainMaster
(frames built and words decoded in Python, a receiver thread on pyserial).
The cases: reads of 1, 8 and 32 registers and one 32-bit write, each a full
exchange, the masters alternating round by round. Operations per second;
the ratio is library over baseline.
"""

import os
import statistics
import sys
import time

import b4k_mew

# The benchmarks run as scripts; the insert lets them be imported as well.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402

# Target for every case: library operations per second over the baseline's.
TARGET_RATIO = 3.0

BAUDRATE = 115200

# --- The answering peer --------------------------------------------------------

def respond(command):
    """The response to one command frame (bytes, CR included): data for a
    read of registers, a bare acknowledgement for a write."""
    text = command.decode("latin-1")
    station = text[1:text.index("#")]
    code = text[text.index("#") + 1:text.index("#") + 3]
    if code == "RD":
        at = text.index("#") + 4
        first, last = int(text[at:at + 5]), int(text[at + 5:at + 10])
        data = "".join(common.word_text(common.register_word(r)) for r in range(first, last + 1))
        return common.append_tail("%" + station + "$RD" + data).encode("ascii")
    return common.append_tail("%" + station + "$" + code).encode("ascii")


def open_pty():
    """A pty pair whose peer computes each response the first time it sees the
    command and answers it from the table after that."""
    table = {}
    return common.PtyPair(table, lambda command: table.setdefault(command, respond(command)))

# --- The cases ------------------------------------------------------------------

def expected_words(first, count):
    return [common.register_word(r) for r in range(first, first + count)]

# (name, call on a master, expected result)
CASES = [
    ("read 1 register", lambda m: m.get_uint16(1, "DT100"), common.register_word(100)),
    ("read 8 registers", lambda m: m.get_multi_uint16(1, "DT100", 8), expected_words(100, 8)),
    ("read 32 registers", lambda m: m.get_multi_uint16(1, "DT100", 32), expected_words(100, 32)),
    ("write 32-bit value", lambda m: m.set_uint32(1, "DT200", 305419896), None),
]

SIDES = [("library", lambda port: b4k_mew.MewMaster(b4k_mew.MewSerial(port=port, baudrate=BAUDRATE))),
         ("baseline", lambda port: common.PlainMaster(port, BAUDRATE))]


def check_agreement(sides):
    """A speed comparison only means something if both sides compute the same."""
    for name, call, want in CASES:
        for side in sides:
            got = call(side.master)
            assert got == want, "%s, %s: %r instead of %r" % (side.label, name, got, want)


def run_round(call, master, seconds):
    """Operations back to back for about `seconds`: their number and the time taken."""
    clock = time.perf_counter
    done = 0
    begin = clock()
    end = begin + seconds
    now = begin
    while now < end:
        for _ in range(10):
            call(master)
        done += 10
        now = clock()
    return done, now - begin


def measure(sides, rounds, seconds, warmup):
    """Figures per (case, side), the sides alternating round by round.

    The best round counts, as with timeit: other work on the machine only
    ever slows a round down, so the fastest one is the closest to what the
    master itself costs. The median round is kept as well.
    """
    figures = {}
    for name, call, _ in CASES:
        for side in sides:
            run_round(call, side.master, warmup)
        rounds_of = common.alternate(sides, rounds, lambda side: run_round(call, side.master, seconds))
        for label, got in rounds_of.items():
            rates = [done / elapsed for done, elapsed in got]
            figures[(name, label)] = {"ops_per_s": max(rates), "median_round_ops_per_s": statistics.median(rates),
                                      "operations": sum(done for done, _ in got)}
    return figures


def main(argv=None):
    opts, (rounds, seconds, warmup) = common.options(argv, __doc__, (2, 0.15, 0.05), (7, 0.5, 0.2))

    with common.opened(lambda label, make: common.MasterSide(label, make, open_pty()), SIDES) as sides:
        check_agreement(sides)
        figures = measure(sides, rounds, seconds, warmup)

    rows = []
    for name, _, _ in CASES:
        lib, base = figures[(name, "library")], figures[(name, "baseline")]
        rows.append({"case": name, "library_ops_per_s": lib["ops_per_s"], "baseline_ops_per_s": base["ops_per_s"],
                     "ratio": lib["ops_per_s"] / base["ops_per_s"],
                     "library_median_round_ops_per_s": lib["median_round_ops_per_s"],
                     "baseline_median_round_ops_per_s": base["median_round_ops_per_s"],
                     "median_round_ratio": lib["median_round_ops_per_s"] / base["median_round_ops_per_s"],
                     "library_operations": lib["operations"], "baseline_operations": base["operations"]})
    geomean = common.geometric_mean(r["ratio"] for r in rows)
    min_ratio = min(r["ratio"] for r in rows)
    min_target = common.target(min_ratio, TARGET_RATIO)

    width = max(len(r["case"]) for r in rows)
    common.print_table(
        [("case", "-%ds" % width), ("library ops/s", "14.0f"), ("baseline ops/s", "14.0f"), ("ratio", "7.2f"),
         ("median ratio", "13.2f")],
        [(r["case"], r["library_ops_per_s"], r["baseline_ops_per_s"], r["ratio"], r["median_round_ratio"])
         for r in rows] + [("geometric mean", "", "", geomean)])
    print("(best of %d rounds of %.2f s per side, alternating; median ratio: of the median rounds;" % (rounds, seconds))
    print(" each operation one exchange through a raw pty; peer: a thread of this process)")
    print()
    common.print_target("every ratio >= %.1f" % TARGET_RATIO, min_target, "lowest %.2f" % min_ratio)

    return common.finish(opts, "master", rounds=rounds, seconds_per_round=seconds, cases=rows,
                         geometric_mean_ratio=geomean, targets={"min_ratio": min_target})

if __name__ == "__main__":
    common.run(main)
