"""Frame codec speed: b4k_mew.MewStatic against the same operations in plain Python.

Run from the repository root after building:

    PYTHONPATH=build /usr/bin/python3 bench/bench_codec.py [--quick] [--json PATH]

Each operation is timed with timeit, best of several repeats, the library and
the plain-Python version alternating so that a change of machine load during
the run hits both sides alike. The figures are operations per second; the
ratio is library over plain Python. It is a benchmark, not a test: it always
exits 0 once the figures are printed, whether the targets are met or not.
"""

import argparse
import json
import math
import platform
import sys
import timeit

import b4k_mew

# Targets for the ratio library / plain Python.
TARGET_GEOMEAN = 5.0
TARGET_MIN_RATIO = 2.5


# --- The plain-Python baseline ----------------------------------------------
# Written the way a Python developer would write the codec: readable, using
# the class constants and format specifications, with no tuning for speed.

HEX_DIGITS = "0123456789ABCDEF"
DEC_DIGITS = "0123456789"
HEAD = "%"
TAIL = "\r"
QUERY = "#"
IGNORE_BCC = "*"


def calc_crc(data, init=0):
    crc = init
    for byte in data.encode("utf-8"):
        crc ^= byte
    return crc


def append_tail(data):
    crc = calc_crc(data)
    return data + HEX_DIGITS[crc >> 4] + HEX_DIGITS[crc & 15] + TAIL


def crc_is_ok(frame):
    crc_recv = frame[-3:-1]
    if crc_recv[0] == IGNORE_BCC or crc_recv[1] == IGNORE_BCC:
        return crc_recv[0] == crc_recv[1]
    return int(crc_recv, 16) == calc_crc(frame[:-3])


def parse_uint16(data):
    low = data[0:2]
    high = data[2:4]
    return (int(high, 16) << 8) | int(low, 16)


def parse_uint32(data):
    low = parse_uint16(data[0:4])
    high = parse_uint16(data[4:8])
    return (high << 16) | low


def fill_header(station, cmd):
    return HEAD + format(station, "02X") + QUERY + cmd


def fill_uint16(data, value):
    assert value >= 0
    low = value & 255
    high = value >> 8
    return data + format(low, "02X") + format(high, "02X")


def _data_area_start(station, cmd, reg_start, count):
    data = fill_header(station, cmd)
    addr = reg_start[1:] if reg_start[1] in DEC_DIGITS else reg_start[2:]
    data += reg_start[0]
    start = int(addr)
    end = start + count - 1
    return data + format(start, "05d") + format(end, "05d")


def fill_read_data_area_message(station, reg_start, reg_count):
    assert reg_count > 0
    return append_tail(_data_area_start(station, "RD", reg_start, reg_count))


def fill_write_data_area_message(station, reg_start, values):
    assert len(values) > 0
    data = _data_area_start(station, "WD", reg_start, len(values))
    for value in values:
        data = fill_uint16(data, value)
    return append_tail(data)


# --- The operations ----------------------------------------------------------

WD_VALUES = [0, 1, 255, 4660, 32767, 32768, 43981, 65535]

# (name, library function, baseline function, arguments)
OPERATIONS = [
    ("append_tail", b4k_mew.MewStatic.append_tail, append_tail, ("%01#RCSY0010",)),
    ("crc_is_ok", b4k_mew.MewStatic.crc_is_ok, crc_is_ok, ("%01#RCSY00101D\r",)),
    ("parse_uint32", b4k_mew.MewStatic.parse_uint32, parse_uint32, ("78563412",)),
    ("RD frame, 8 registers", b4k_mew.MewStatic.fill_read_data_area_message, fill_read_data_area_message,
     (1, "DT100", 8)),
    ("WD frame, 8 registers", b4k_mew.MewStatic.fill_write_data_area_message, fill_write_data_area_message,
     (1, "DT100", WD_VALUES)),
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
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer and shorter repeats")
    parser.add_argument("--json", metavar="PATH", help="also write the figures to PATH as JSON")
    opts = parser.parse_args(argv)

    repeats, seconds = (3, 0.05) if opts.quick else (7, 0.2)
    check_agreement()

    rows = []
    for name, lib, base, args in OPERATIONS:
        lib_ops, base_ops = measure(lib, base, args, repeats, seconds)
        rows.append({"operation": name, "library_ops_per_s": lib_ops, "baseline_ops_per_s": base_ops,
                     "ratio": lib_ops / base_ops})
    geomean = math.exp(sum(math.log(r["ratio"]) for r in rows) / len(rows))
    min_ratio = min(r["ratio"] for r in rows)
    geomean_met = geomean >= TARGET_GEOMEAN
    min_met = min_ratio >= TARGET_MIN_RATIO

    width = max(len(r["operation"]) for r in rows)
    print("%-*s  %14s  %14s  %7s" % (width, "operation", "library ops/s", "baseline ops/s", "ratio"))
    for r in rows:
        print("%-*s  %14.0f  %14.0f  %7.2f" % (width, r["operation"], r["library_ops_per_s"],
                                              r["baseline_ops_per_s"], r["ratio"]))
    print("%-*s  %14s  %14s  %7.2f" % (width, "geometric mean", "", "", geomean))
    print()
    print("target geometric mean >= %.1f: %s (%.2f)" % (TARGET_GEOMEAN, "met" if geomean_met else "MISSED", geomean))
    print("target every ratio >= %.1f: %s (lowest %.2f)" % (TARGET_MIN_RATIO, "met" if min_met else "MISSED",
                                                             min_ratio))

    if opts.json:
        report = {
            "benchmark": "codec",
            "quick": opts.quick,
            "repeats": repeats,
            "seconds_per_repeat": seconds,
            "python": sys.version.split()[0],
            "machine": platform.machine(),
            "operations": rows,
            "geometric_mean_ratio": geomean,
            "targets": {
                "geometric_mean_ratio": {"target": TARGET_GEOMEAN, "value": geomean, "met": geomean_met},
                "min_ratio": {"target": TARGET_MIN_RATIO, "value": min_ratio, "met": min_met},
            },
        }
        with open(opts.json, "w", encoding="utf-8") as f:
            json.dump(report, f, indent=2)
            f.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
