"""Frame codec speed: b4k_mew.MewStatic against the same operations in plain Python.

    PYTHONPATH=build /usr/bin/python3 bench/bench_codec.py [--quick] [--json PATH]

Each operation timed with timeit, best of several repeats, the library and
common's plain-Python codec alternating. Operations per second; the ratio is
library over plain Python.
"""

import math
import os
import sys
import timeit

import b4k_mew

# The benchmarks run as scripts; the insert lets them be imported as well.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402

# Targets for the ratio library / plain Python.
TARGET_GEOMEAN = 5.0
TARGET_MIN_RATIO = 2.5

# --- The operations ----------------------------------------------------------

WD_VALUES = [0, 1, 255, 4660, 32767, 32768, 43981, 65535]

# (name, library function, baseline function, arguments); the baseline is
# common's plain-Python codec.
OPERATIONS = [
    ("append_tail", b4k_mew.MewStatic.append_tail, common.append_tail, ("%01#RCSY0010",)),
    ("crc_is_ok", b4k_mew.MewStatic.crc_is_ok, common.crc_is_ok, ("%01#RCSY00101D\r",)),
    ("parse_uint32", b4k_mew.MewStatic.parse_uint32, common.parse_uint32, ("78563412",)),
    ("RD frame, 8 registers", b4k_mew.MewStatic.fill_read_data_area_message, common.fill_read_data_area_message,
     (1, "DT100", 8)),
    ("WD frame, 8 registers", b4k_mew.MewStatic.fill_write_data_area_message,
     common.fill_write_data_area_message, (1, "DT100", WD_VALUES)),
]


def check_agreement():
    """A speed comparison only means something if both sides compute the same."""
    for name, lib, base, args in OPERATIONS:
        got, want = lib(*args), base(*args)
        assert got == want and type(got) is type(want), "%s: library %r, plain Python %r" % (name, got, want)


def timer(func, args):
    # The call is spelled the same way for both sides: a name bound in the
    # timing namespace, arguments unpacked from names as well.
    names = ["a%d" % i for i in range(len(args))]
    namespace = dict(zip(names, args), f=func)
    return timeit.Timer("f(%s)" % ", ".join(names), globals=namespace)


def calls_per_repeat(t, seconds):
    """Number of calls that takes about `seconds`, found the way timeit's autorange does."""
    number = 1
    while True:
        elapsed = t.timeit(number)
        if elapsed >= seconds / 5:
            return max(1, int(number * seconds / elapsed))
        number *= 10


def measure(lib, base, args, repeats, seconds):
    t_lib, t_base = timer(lib, args), timer(base, args)
    n_lib, n_base = calls_per_repeat(t_lib, seconds), calls_per_repeat(t_base, seconds)
    best_lib = best_base = math.inf
    for _ in range(repeats):
        best_lib = min(best_lib, t_lib.timeit(n_lib) / n_lib)
        best_base = min(best_base, t_base.timeit(n_base) / n_base)
    return 1.0 / best_lib, 1.0 / best_base


def main(argv=None):
    opts, (repeats, seconds) = common.options(argv, __doc__, (3, 0.05), (7, 0.2), quick_help="fewer and shorter repeats")
    check_agreement()

    rows = []
    for name, lib, base, args in OPERATIONS:
        lib_ops, base_ops = measure(lib, base, args, repeats, seconds)
        rows.append({"operation": name, "library_ops_per_s": lib_ops, "baseline_ops_per_s": base_ops,
                     "ratio": lib_ops / base_ops})
    geomean = common.geometric_mean(r["ratio"] for r in rows)
    min_ratio = min(r["ratio"] for r in rows)
    geomean_target = common.target(geomean, TARGET_GEOMEAN)
    min_target = common.target(min_ratio, TARGET_MIN_RATIO)

    width = max(len(r["operation"]) for r in rows)
    common.print_table(
        [("operation", "-%ds" % width), ("library ops/s", "14.0f"), ("baseline ops/s", "14.0f"), ("ratio", "7.2f")],
        [(r["operation"], r["library_ops_per_s"], r["baseline_ops_per_s"], r["ratio"]) for r in rows]
        + [("geometric mean", "", "", geomean)])
    print()
    common.print_target("geometric mean >= %.1f" % TARGET_GEOMEAN, geomean_target, "%.2f" % geomean)
    common.print_target("every ratio >= %.1f" % TARGET_MIN_RATIO, min_target, "lowest %.2f" % min_ratio)

    return common.finish(opts, "codec", cpus=False, repeats=repeats, seconds_per_repeat=seconds, operations=rows,
                         geometric_mean_ratio=geomean,
                         targets={"geometric_mean_ratio": geomean_target, "min_ratio": min_target})

if __name__ == "__main__":
    common.run(main)
