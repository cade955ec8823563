"""Instrument manager speed: b4k_mew.InstManager against a plain-Python manager on the same simulated devices.

A peer (child process, or thread with --peer thread) plays 8 devices on each
manager's pty. Scans end at a silent station 9 (one time-out) or its error
response; 10,000 y[i] = v change every tenth point, or none.
"""

import random
import statistics
import time

import b4k_mew

import common
from common import append_tail, word_text

QUERY_TIMEOUT, BAUDRATE, WRITES, CHANGE_EVERY = 0.2, 115200, 10_000, 10
# Station -> (type code, firmware, input word, output word).
DEVICES = {1: (1, 0x0102, 0x0001, 0), 2: (2, 0x0200, 0, 0), 3: (1, 0x0102, 0x8000, 0), 4: (3, 0x0301, 0, 0),
           5: (1, 0x0102, 0x00FF, 0), 6: (7, 0x0001, 0, 0), 7: (2, 0x0200, 0, 0), 8: (1, 0x0102, 0xFFFF, 0)}
END_STATION = 9
XY_COUNT = sum(1 for t, *_ in DEVICES.values() if t == 1)
SIM_SILENT_END, SIM_ERROR_END = b"SILENT-END\r", b"ERROR-END\r"  # written where a master writes

def simulator():
    """(table, otherwise) for common.serve: reads from the table, writes to a
    known station acknowledged, the end station silent or in error as last told."""
    table = {}
    for st, (type_code, firmware, wx, wy) in DEVICES.items():
        for command, answer in (("RDS0000000000", "RD" + word_text(type_code)),
                                ("RDS0000100001", "RD" + word_text(firmware)),
                                ("RCCX00000000", "RC" + word_text(wx)), ("RCCY00000000", "RC" + word_text(wy))):
            table[append_tail("%%%02X#%s" % (st, command)).encode()] = append_tail("%%%02X$%s" % (st, answer)).encode()
    acks = {("%02X" % st).encode(): append_tail("%%%02X$WC" % st).encode() for st in DEVICES}
    error_end, end_head, answer_end = append_tail("%%%02X!42" % END_STATION).encode(), b"%%%02X#" % END_STATION, [0]

    def otherwise(command):
        if command in (SIM_SILENT_END, SIM_ERROR_END):
            answer_end[0] = command == SIM_ERROR_END
            return None
        if command[4:6] == b"WC":
            return acks.get(command[1:3])
        return error_end if command.startswith(end_head) and answer_end[0] else None

    return table, otherwise

# --- The baseline: the instruments, views and manager in plain Python, the same
# algorithms on common.PlainMaster, without what no workload here reaches.

INST_TYPE_UNKNOWN, INST_TYPE_XY, INST_TYPE_Axis, INST_TYPE_AD = 0, 1, 2, 3

class Inst:
    inst_type = INST_TYPE_UNKNOWN

    def __init__(self, mew, station):
        self._mew, self._station = mew, station
        self._firmware_version = mew.get_uint16(station, "S1")

    station = property(lambda self: self._station)
    firmware_version = property(lambda self: self._firmware_version)

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
        self._all_list, self._lists = [], {kind: [] for kind in self.KINDS}

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

# --- The workloads ---------------------------------------------------------------

SIDES = [("library", lambda port: b4k_mew.InstManager(b4k_mew.MewSerial(port=port, baudrate=BAUDRATE),
                                                      query_timeout=QUERY_TIMEOUT)),
         ("baseline", lambda port: PlainInstManager(port, BAUDRATE, query_timeout=QUERY_TIMEOUT))]

class Side:
    def __init__(self, label, make, peer_in_process):
        self.label, self.make, self.pty = label, make, common.PtyPair(*simulator(), peer_in_process)
        self.close = self.pty.close

    def manager(self, ending=SIM_ERROR_END):
        self.pty.tell(ending)
        return self.make(self.pty.name)

def found(mgr):
    return (mgr.inst_count, mgr.xy_count, mgr.axis_count, mgr.ad_count,
            [(type(i).__name__, i.station, i.firmware_version) for i in mgr._all_list],
            [(i.get_wx(), i.get_wy()) for i in mgr._xy_list])

def write_sequence(change_every, seed=1):
    """(flat index, value) pairs over every output, from all off: every
    `change_every`-th flips its point (none with 0), the others repeat its
    state; and the end state."""
    rng, points = random.Random(seed), 16 * XY_COUNT
    state, seq = [False] * points, []
    for k in range(WRITES):
        i = rng.randrange(points)
        state[i] = (not state[i]) if change_every and k % change_every == 0 else state[i]
        seq.append((i, state[i]))
    return seq, state

def check_agreement(sides):
    """A comparison only means something if both sides do the same."""
    S = b4k_mew.MewStatic
    for lib, base, args in [(S.fill_read_data_area_message, common.fill_read_data_area_message, (3, "S1", 1)),
                            (lambda *a: S.fill_read_word_unit_of_contact_message(*a, word_count=1),
                             common.fill_read_word_unit_of_contact_message, (3, "WY0")),
                            (S.fill_write_single_point_of_contact_message,
                             common.fill_write_single_point_of_contact_message, (3, "YA", True))]:
        assert lib(*args) == base(*args), "frame: library %r, plain Python %r" % (lib(*args), base(*args))
    results = []
    for side in sides:
        mgr = side.manager()
        try:
            mgr.initialize_inst_list()
            results.append(found(mgr))
        finally:
            mgr.close()
    assert results[0] == results[1] and results[0][0] == len(DEVICES), "scans: %r" % results

def time_scans(sides, ending, count):
    managers = {side.label: side.manager(ending) for side in sides}

    def scan(side):
        mgr = managers[side.label]
        before, t0 = mgr.inst_count, time.perf_counter()
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
            assert [mgr.y[i] for i in range(16 * XY_COUNT)] == final, "%s: outputs differ" % side.label
            return elapsed
        finally:
            mgr.close()

    return common.alternate(sides, repeats, writes)

def main(argv=None):
    bench = common.Bench("inst", __doc__, (2, 1), (7, 5), (("--peer",), dict(
        choices=("process", "thread"), default="process",
        help="simulate the devices in a child process (default) or in a thread of this process")),
        argv=argv, quick_help="fewer repeats")
    (scans, write_repeats), peer = bench.settings, bench.opts.peer
    started = time.perf_counter()
    with common.opened(lambda label, make: Side(label, make, peer == "thread"), SIDES) as sides:
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
        lib, base = ({"median_s": statistics.median(t), "min_s": min(t), "max_s": max(t), "runs": len(t)}
                     for t in (times["library"], times["baseline"]))
        rows.append({"workload": name, "library": lib, "baseline": base, "ratio": base["median_s"] / lib["median_s"],
                     "library_ms": lib["median_s"] * 1e3, "baseline_ms": base["median_s"] * 1e3,
                     "library_us_each": lib["median_s"] / WRITES * 1e6, "baseline_us_each": base["median_s"] / WRITES
                     * 1e6, "less_timeout": [(s["median_s"] - QUERY_TIMEOUT) * 1e3 for s in (lib, base)]})
    bench.table(rows, "workload=workload (median of runs)", "library_ms=library ms", "baseline_ms=baseline ms",
                "ratio", note="ratio: baseline time / library time; simulator: %s; %d scans and %d write runs per "
                "side; %.1f s in all" % ("a child process" if peer == "process" else "a thread of this process",
                                         scans, write_repeats, elapsed))
    bench.say("8 devices, 24 queries per scan; query time-out %.2f s on both sides, waited once by the scan ended by "
              "a silent station", QUERY_TIMEOUT)
    bench.say("silent-ended scan less the time-out: library %.2f ms, baseline %.2f ms", *rows[0]["less_timeout"])
    for r, sent in ((rows[2], WRITES // CHANGE_EVERY), (rows[3], 0)):
        bench.say("%s: %d writes sent per run; per assignment library %.2f µs, baseline %.2f µs", r["workload"], sent,
                  r["library_us_each"], r["baseline_us_each"])
    return bench.finish(peer=peer, query_timeout_s=QUERY_TIMEOUT, devices=len(DEVICES), writes=WRITES,
                        change_every=CHANGE_EVERY, results=rows, elapsed_s=elapsed)

if __name__ == "__main__":
    common.run(main)
