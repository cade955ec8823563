"""Frame codec speed: b4k_mew.MewStatic against the same operations in plain Python (timeit, best of repeats)."""

import timeit

import b4k_mew

import common

TARGET_GEOMEAN, TARGET_MIN_RATIO = 5.0, 2.5  # library / plain Python
S = b4k_mew.MewStatic
# (name, library function, plain-Python function, arguments)
OPERATIONS = [
    ("append_tail", S.append_tail, common.append_tail, ("%01#RCSY0010",)),
    ("crc_is_ok", S.crc_is_ok, common.crc_is_ok, ("%01#RCSY00101D\r",)),
    ("parse_uint32", S.parse_uint32, common.parse_uint32, ("78563412",)),
    ("RD frame, 8 registers", S.fill_read_data_area_message, common.fill_read_data_area_message, (1, "DT100", 8)),
    ("WD frame, 8 registers", S.fill_write_data_area_message, common.fill_write_data_area_message,
     (1, "DT100", [0, 1, 255, 4660, 32767, 32768, 43981, 65535])),
]

def timer(func, args):
    # The call spelled alike for both sides: names bound in the timing namespace.
    names = ["a%d" % i for i in range(len(args))]
    return timeit.Timer("f(%s)" % ", ".join(names), globals=dict(zip(names, args), f=func))

def calls_per_repeat(t, seconds):
    """Calls that take about `seconds`, found as timeit's autorange does."""
    number = 1
    while True:
        elapsed = t.timeit(number)
        if elapsed >= seconds / 5:
            return max(1, int(number * seconds / elapsed))
        number *= 10

def main(argv=None):
    bench = common.Bench("codec", __doc__, (3, 0.05), (7, 0.2), argv=argv, quick_help="fewer and shorter repeats")
    repeats, seconds = bench.settings
    rows = []
    for name, lib, base, args in OPERATIONS:
        got, want = lib(*args), base(*args)  # a comparison only means something if both compute the same
        assert got == want and type(got) is type(want), "%s: library %r, plain Python %r" % (name, got, want)
        timers = [timer(lib, args), timer(base, args)]
        numbers = [calls_per_repeat(t, seconds) for t in timers]
        best = [float("inf")] * 2
        for _ in range(repeats):
            best = [min(b, t.timeit(n) / n) for b, t, n in zip(best, timers, numbers)]
        rows.append({"operation": name, "library_ops_per_s": 1 / best[0], "baseline_ops_per_s": 1 / best[1],
                     "ratio": best[1] / best[0]})
    geomean = common.geometric_mean(r["ratio"] for r in rows)
    bench.table(rows + [{"operation": "geometric mean", "ratio": geomean}], "operation",
                "library_ops_per_s=library ops/s", "baseline_ops_per_s=baseline ops/s", "ratio",
                note="calls per second, best of %d repeats" % repeats)
    bench.target("geometric_mean_ratio", "geometric mean >= %.1f" % TARGET_GEOMEAN, geomean, TARGET_GEOMEAN)
    bench.target("min_ratio", "every ratio >= %.1f" % TARGET_MIN_RATIO, min(r["ratio"] for r in rows),
                 TARGET_MIN_RATIO, detail="lowest %.2f")
    return bench.finish(repeats=repeats, seconds_per_repeat=seconds, operations=rows, geometric_mean_ratio=geomean)

if __name__ == "__main__":
    common.run(main)
