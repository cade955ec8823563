"""Instrument manager speed: b4k_mew.InstManager against a plain-Python manager on the same simulated devices.

    PYTHONPATH=build /usr/bin/python3 bench/bench_inst.py [--quick] [--json PATH] [--peer process|thread]

Each manager talks through its own pty pair to a peer playing 8 devices at
stations 1 to 8 (4 XY, 2 axis, 1 analogue, 1 unknown) from precomputed
responses, in a child process (or a thread with --peer thread). Workloads,
the managers alternating:

- scan: `initialize_inst_list()`, 24 queries, ended by a silent station 9
  (one query time-out, which dominates) or by an error response from it;
- writes: 10,000 `mgr.y[i] = v` over the 64 output points, every tenth
  changing a point (one write sent), or none changing.

The baseline: the manager, its XY instrument and flat lists in plain Python
from the same algorithms, on common.PlainMaster. Medians; ratios are
baseline time over library time.
"""

import os
import random
import statistics
import sys
import time

import b4k_mew

# The benchmarks run as scripts; the insert lets them be imported as well.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
from common import append_tail, word_text  # noqa: E402

QUERY_TIMEOUT = 0.2
BAUDRATE = 115200
WRITES = 10_000
CHANGE_EVERY = 10

# Station -> (type code, firmware, input word, output word).
DEVICES = {
    1: (1, 0x0102, 0x0001, 0),
    2: (2, 0x0200, 0, 0),
    3: (1, 0x0102, 0x8000, 0),
    4: (3, 0x0301, 0, 0),
    5: (1, 0x0102, 0x00FF, 0),
    6: (7, 0x0001, 0, 0),
    7: (2, 0x0200, 0, 0),
    8: (1, 0x0102, 0xFFFF, 0),
}
END_STATION = 9
XY_COUNT = sum(1 for t, *_ in DEVICES.values() if t == 1)

# Written on the pty's slave side, these reach the simulator like commands.
SIM_SILENT_END = b"SILENT-END\r"
SIM_ERROR_END = b"ERROR-END\r"

# --- The simulator --------------------------------------------------------------

def responses():
    """Command frame -> response frame, for every read the scan makes."""
    table = {}
    for st, (type_code, firmware, wx, wy) in DEVICES.items():
        head = "%%%02X" % st
        table[append_tail("%s#RDS0000000000" % head)] = append_tail("%s$RD%s" % (head, word_text(type_code)))
        table[append_tail("%s#RDS0000100001" % head)] = append_tail("%s$RD%s" % (head, word_text(firmware)))
        table[append_tail("%s#RCCX00000000" % head)] = append_tail("%s$RC%s" % (head, word_text(wx)))
        table[append_tail("%s#RCCY00000000" % head)] = append_tail("%s$RC%s" % (head, word_text(wy)))
    return {k.encode("ascii"): v.encode("ascii") for k, v in table.items()}


def simulator():
    """(table, otherwise) for common.serve: reads from the table, every write
    to a known station with its acknowledgement, the end station with
    silence or an error response as last told."""
    table = responses()
    acks = {("%02X" % st).encode(): append_tail("%%%02X$WC" % st).encode() for st in DEVICES}
    error_end = append_tail("%%%02X!42" % END_STATION).encode()
    end_head = ("%%%02X#" % END_STATION).encode()
    answer_end = False

    def otherwise(command):
        nonlocal answer_end
        if command == SIM_SILENT_END or command == SIM_ERROR_END:
            answer_end = command == SIM_ERROR_END
            return None
        if command[4:6] == b"WC":
            return acks.get(command[1:3])
        if command.startswith(end_head) and answer_end:
            return error_end
        return None

    return table, otherwise

# --- The plain-Python baseline ------------------------------------------------------
# The instrument classes, views and manager on common.PlainMaster, following
# the same algorithms; what no workload here reaches is left out (the
# manager's slave side, the inputs' views, word writes).

INST_TYPE_UNKNOWN, INST_TYPE_XY, INST_TYPE_Axis, INST_TYPE_AD = 0, 1, 2, 3


class Inst:
    inst_type = INST_TYPE_UNKNOWN

    def __init__(self, mew, station):
        self._mew = mew
        self._station = station
        self._firmware_version = mew.get_uint16(station, "S1")

    @property
    def station(self):
        return self._station

    @property
    def firmware_version(self):
        return self._firmware_version


class InstUnknown(Inst):
    pass


class InstAxis(Inst):
    inst_type = INST_TYPE_Axis


class InstAD(Inst):
    inst_type = INST_TYPE_AD


class Y16:
    def __init__(self, inst_xy):
        self._inst_xy = inst_xy

    def __getitem__(self, item):
        return self._inst_xy.get_y(item)

    def __setitem__(self, key, value):
        self._inst_xy.set_y(key, value)


class InstXY(Inst):
    inst_type = INST_TYPE_XY

    def __init__(self, mew, station):
        super().__init__(mew, station)
        self._x = mew.get_coil_uint16(station, "WX0")
        self._y = mew.get_coil_uint16(station, "WY0")

    def get_y16_object(self):
        return Y16(self)

    def get_wx(self):
        return self._x

    def get_y(self, index):
        return (self._y & (1 << index)) != 0

    def get_wy(self):
        return self._y

    def set_y(self, index, value):
        if value == self.get_y(index):
            return
        self._mew.set_coil(self._station, "Y%X" % index, value)
        if value:
            self._y |= 1 << index
        else:
            self._y &= ~(1 << index)


class _InstYList:
    def __init__(self, xy_list):
        self._inst_y_list = xy_list

    def __getitem__(self, item):
        return self._inst_y_list[item // 16].get_y16_object()[item % 16]

    def __setitem__(self, key, value):
        self._inst_y_list[key // 16].get_y16_object()[key % 16] = value


class PlainInstManager(common.PlainMaster):
    KINDS = {INST_TYPE_XY: InstXY, INST_TYPE_Axis: InstAxis, INST_TYPE_AD: InstAD}

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self._all_list = []
        self._lists = {kind: [] for kind in self.KINDS}

    def initialize_inst_list(self):
        station = 1
        try:
            while True:
                inst_type = self.get_uint16(station, "S0")
                inst = self.KINDS.get(inst_type, InstUnknown)(self, station)
                self._lists.get(inst_type, []).append(inst)
                self._all_list.append(inst)
                station += 1
        except Exception:
            pass

    inst_count = property(lambda self: len(self._all_list))
    xy_count = property(lambda self: len(self._lists[INST_TYPE_XY]))
    axis_count = property(lambda self: len(self._lists[INST_TYPE_Axis]))
    ad_count = property(lambda self: len(self._lists[INST_TYPE_AD]))
    _xy_list = property(lambda self: self._lists[INST_TYPE_XY])
    y = property(lambda self: _InstYList(self._lists[INST_TYPE_XY]))

# --- The sides ---------------------------------------------------------------------

SIDES = [("library", lambda port: b4k_mew.InstManager(b4k_mew.MewSerial(port=port, baudrate=BAUDRATE),
                                                      query_timeout=QUERY_TIMEOUT)),
         ("baseline", lambda port: PlainInstManager(port, BAUDRATE, query_timeout=QUERY_TIMEOUT))]


class Side:
    def __init__(self, label, make, peer_in_process):
        self.label = label
        self.make = make
        table, otherwise = simulator()
        self.pty = common.PtyPair(table, otherwise, peer_in_process)

    def manager(self):
        return self.make(self.pty.name)

    def close(self):
        self.pty.close()


def found(mgr):
    return (mgr.inst_count, mgr.xy_count, mgr.axis_count, mgr.ad_count,
            [(type(i).__name__, i.station, i.firmware_version) for i in mgr._all_list],
            [(i.get_wx(), i.get_wy()) for i in mgr._xy_list])


def write_sequence(change_every, seed=1):
    """(flat index, value) pairs over all output points, starting from all
    off: every `change_every`-th flips its point (none when it is 0), the
    others repeat its state. Returns the pairs and the end state."""
    rng = random.Random(seed)
    points = 16 * XY_COUNT
    state = [False] * points
    seq = []
    for k in range(WRITES):
        i = rng.randrange(points)
        value = (not state[i]) if change_every and k % change_every == 0 else state[i]
        state[i] = value
        seq.append((i, value))
    return seq, state


def check_agreement(sides):
    """A speed comparison only means something if both sides do the same."""
    for name, lib, base, args in [
        ("RD", b4k_mew.MewStatic.fill_read_data_area_message, common.fill_read_data_area_message, (3, "S1", 1)),
        ("RCC", lambda *a: b4k_mew.MewStatic.fill_read_word_unit_of_contact_message(*a, word_count=1),
         common.fill_read_word_unit_of_contact_message, (3, "WY0")),
        ("WCS", b4k_mew.MewStatic.fill_write_single_point_of_contact_message,
         common.fill_write_single_point_of_contact_message, (3, "YA", True)),
        ("WCC", b4k_mew.MewStatic.fill_write_word_unit_of_contact_message,
         common.fill_write_word_unit_of_contact_message, (3, "WY0", [0x1234])),
    ]:
        got, want = lib(*args), base(*args)
        assert got == want, "%s frame: library %r, plain Python %r" % (name, got, want)
    results = []
    for side in sides:
        side.pty.tell(SIM_ERROR_END)
        mgr = side.manager()
        try:
            mgr.initialize_inst_list()
            results.append(found(mgr))
        finally:
            mgr.close()
    assert results[0] == results[1], "scans differ: %r" % results
    assert results[0][0] == len(DEVICES), "scan found %r" % (results[0],)


def time_scans(sides, ending, count):
    for side in sides:
        side.pty.tell(ending)
    managers = {side.label: side.manager() for side in sides}

    def scan(side):
        mgr = managers[side.label]
        before = mgr.inst_count
        t0 = time.perf_counter()
        mgr.initialize_inst_list()
        elapsed = time.perf_counter() - t0
        assert mgr.inst_count - before == len(DEVICES), "%s found %d" % (side.label, mgr.inst_count - before)
        return elapsed

    try:
        return common.alternate(sides, count, scan)
    finally:
        for mgr in managers.values():
            mgr.close()


def time_writes(sides, repeats, change_every):
    seq, final = write_sequence(change_every)

    def writes(side):
        mgr = side.manager()
        try:
            mgr.initialize_inst_list()
            t0 = time.perf_counter()
            for i, v in seq:
                mgr.y[i] = v
            elapsed = time.perf_counter() - t0
            got = [mgr.y[i] for i in range(16 * XY_COUNT)]
            assert got == final, "%s: outputs differ from the sequence's end state" % side.label
            return elapsed
        finally:
            mgr.close()

    for side in sides:
        side.pty.tell(SIM_ERROR_END)
    return common.alternate(sides, repeats, writes)


def summary(samples):
    return {"median_s": statistics.median(samples), "min_s": min(samples), "max_s": max(samples),
            "runs": len(samples)}


def main(argv=None):
    opts, (scans, write_repeats) = common.options(
        argv, __doc__, (2, 1), (7, 5), (("--peer",), dict(
            choices=("process", "thread"), default="process",
            help="simulate the devices in a child process (default) or in a thread of this process")),
        quick_help="fewer repeats")
    started = time.perf_counter()
    with common.opened(lambda label, make: Side(label, make, opts.peer == "thread"), SIDES) as sides:
        check_agreement(sides)
        figures = {
            "scan ended by a silent station": time_scans(sides, SIM_SILENT_END, scans),
            "scan ended by an error response": time_scans(sides, SIM_ERROR_END, scans),
            "%d y[i] = v, 1 in %d changing" % (WRITES, CHANGE_EVERY): time_writes(sides, write_repeats, CHANGE_EVERY),
            "%d y[i] = v, none changing" % WRITES: time_writes(sides, write_repeats, 0),
        }
    elapsed = time.perf_counter() - started

    rows = []
    for name, times in figures.items():
        lib, base = summary(times["library"]), summary(times["baseline"])
        rows.append({"workload": name, "library": lib, "baseline": base,
                     "ratio": base["median_s"] / lib["median_s"]})

    width = max(len(r["workload"]) for r in rows)
    common.print_table(
        [("workload (median of runs)", "-%ds" % width), ("library ms", "12.2f"), ("baseline ms", "12.2f"),
         ("ratio", "7.2f")],
        [(r["workload"], r["library"]["median_s"] * 1e3, r["baseline"]["median_s"] * 1e3, r["ratio"]) for r in rows])
    silent = rows[0]
    print()
    print("8 devices, 24 queries per scan; query time-out %.2f s on both sides, waited once by the scan ended by "
          "a silent station" % QUERY_TIMEOUT)
    print("silent-ended scan less the time-out: library %.2f ms, baseline %.2f ms" % (
        (silent["library"]["median_s"] - QUERY_TIMEOUT) * 1e3, (silent["baseline"]["median_s"] - QUERY_TIMEOUT) * 1e3))
    for r, sent in ((rows[2], WRITES // CHANGE_EVERY), (rows[3], 0)):
        print("%s: %d writes sent per run; per assignment library %.2f µs, baseline %.2f µs" % (
            r["workload"], sent, r["library"]["median_s"] / WRITES * 1e6, r["baseline"]["median_s"] / WRITES * 1e6))
    print("ratio: baseline time / library time; simulator: %s; %d scans and %d write runs per side; %.1f s in all" % (
        "a child process" if opts.peer == "process" else "a thread of this process", scans, write_repeats, elapsed))

    return common.finish(opts, "inst", peer=opts.peer, query_timeout_s=QUERY_TIMEOUT, devices=len(DEVICES),
                         writes=WRITES, change_every=CHANGE_EVERY, results=rows, elapsed_s=elapsed)

if __name__ == "__main__":
    common.run(main)
