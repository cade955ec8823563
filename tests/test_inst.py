"""Tests of the remote I/O instruments: type discovery (Inst and its
subclasses), the XY instrument with its X16 and Y16 views, and the
instrument manager with its scan and flat lists.

The devices are simulated on the far end of a serial line: raw
pseudo-terminal pairs whose master sides a relay thread joins, each station
on a MewSerial opened on a slave side. Usually one full-duplex station plays
every device, answering for several station numbers; one test puts one
full-duplex station per device on a shared line instead. The simulator
parses commands and builds responses itself, with its own check code, so the
frames the library sends are checked against an independent model.

Nothing asserts how long anything takes. A scan that must run into a silent
station waits one query time-out; where the end of the scan is not the point
of a test, the station after the last device answers with an error
response, which ends the scan at once.
"""
import functools
import gc
import operator
import re
import threading
import weakref

import pytest

import b4k_mew
from conftest import WAIT
from b4k_mew import InstAD, InstAxis, InstManager, InstUnknown, InstXY

from b4k_mew_tools import VirtualLine
from linkpair import wait_until

QUERY_TIMEOUT = 0.3   # what the manager waits for a silent station
READ_TIMEOUT = 0.02   # serial read time-out: a closing receiver notices sooner
MANAGER_STATION = 0x50
SIM_STATION = 0xEE
TIMEOUT_MESSAGE = "MewMasterBase: device response timeout."


def frame(body):
    """The body with its check code and CR."""
    bcc = functools.reduce(operator.xor, body.encode("ascii"), 0)
    return "%s%02X\r" % (body, bcc)


def word(value):
    """A word as it travels: the low byte's two digits first."""
    return "%02X%02X" % (value & 0xFF, value >> 8)


def s_read(station, register):
    return frame("%%%02X#RDS%05d%05d" % (station, register, register))


def word_read(station, letter):
    return frame("%%%02X#RCC%s00000000" % (station, letter))


def coil_write(station, point, value):
    return frame("%%%02X#WCSY000%X%d" % (station, point, 1 if value else 0))


def word_write(station, value):
    return frame("%%%02X#WCCY00000000%s" % (station, word(value)))


def discovery(station, kind):
    """The frames of one device's discovery in the scan."""
    frames = [s_read(station, 0), s_read(station, 1)]
    if kind == b4k_mew.INST_TYPE_XY:
        frames += [word_read(station, "X"), word_read(station, "Y")]
    return frames


# --- The line ------------------------------------------------------------------

def serial(port):
    return b4k_mew.MewSerial(port=port, timeout=READ_TIMEOUT)


def serving(station):
    """Waits until the station's slave worker has registered its queue: a
    command arriving before would have nowhere to go."""
    assert wait_until(lambda: len(station._query_listeners) == 1), "slave worker not serving"
    return station


# --- The simulated devices ----------------------------------------------------------

class Module:
    """What one device holds, and how it misbehaves on request.

    `errors` maps a register or word name ("S0", "S1", "WX0", "WY0") or
    "write" to the error code the device answers with; `silent` holds the
    names the device does not answer; `refuse_writes` is the number of next
    writes answered with error 61.
    """

    def __init__(self, type_code, firmware=0x0101, wx=0, wy=0, errors=None, silent=()):
        self.type_code = type_code
        self.firmware = firmware
        self.wx = wx
        self.wy = wy
        self.errors = dict(errors or {})
        self.silent = set(silent)
        self.refuse_writes = 0

    def register(self, name):
        return {"S0": self.type_code, "S1": self.firmware}.get(name, 0)

    def coil_word(self, name):
        return {"WX0": self.wx, "WY0": self.wy}.get(name, 0)

    def set_coil(self, letter, word_number, bit, value):
        if letter == "Y" and word_number == 0:
            self.wy = self.wy | (1 << bit) if value else self.wy & ~(1 << bit)

    def set_coil_word(self, letter, word_number, value):
        if letter == "Y" and word_number == 0:
            self.wy = value


class Refused(Exception):
    def __init__(self, code):
        super().__init__(code)
        self.code = code


class Silent(Exception):
    pass


def serve(module, code, fields):
    """The response data of one command, as the device builds it."""
    def check(name):
        if name in module.silent:
            raise Silent()
        if name in module.errors:
            raise Refused(module.errors[name])

    if code == "RD":
        area, first, last = fields[0], int(fields[1:6]), int(fields[6:11])
        names = ["%s%d" % (area, r) for r in range(first, last + 1)]
        for name in names:
            check(name)
        return "".join(word(module.register(name)) for name in names)
    if code == "RCC":
        letter, first, last = fields[0], int(fields[1:5]), int(fields[5:9])
        names = ["W%s%d" % (letter, w) for w in range(first, last + 1)]
        for name in names:
            check(name)
        return "".join(word(module.coil_word(name)) for name in names)
    if code in ("WCS", "WCC"):
        check("write")
        if module.refuse_writes:
            module.refuse_writes -= 1
            raise Refused("61")
        letter = fields[0]
        if code == "WCS":
            module.set_coil(letter, int(fields[1:4]), int(fields[4], 16), fields[5] != "0")
        else:
            first, last = int(fields[1:5]), int(fields[5:9])
            data = fields[9:]
            for i, w in enumerate(range(first, last + 1)):
                chunk = data[4 * i:4 * i + 4]
                module.set_coil_word(letter, w, int(chunk[2:4] + chunk[0:2], 16))
        return ""
    raise Refused("03")


class Devices(b4k_mew.MewFullDuplex):
    """Plays every device of `modules` (station number -> Module): answers
    the commands for those stations and keeps quiet for any other. Every
    command frame it sees, for whatever station, is kept in `commands`."""

    def __init__(self, channel, modules):
        self.modules = modules
        self.commands = []
        self.failures = []
        super().__init__(channel, slave_station=SIM_STATION)

    def _process_request(self, command):
        self.commands.append(command)
        try:
            return self._answer(command)
        except Exception as e:  # the worker must go on; the test sees it at the end
            self.failures.append("%r: %r" % (command, e))
            return ""

    def _answer(self, command):
        body = command[:-3]
        if frame(body) != command:
            self.failures.append("bad check code %r" % command)
            return ""
        type_at = body.index("#")
        station = int(body[1:type_at], 16)
        if station == SIM_STATION:
            return super()._process_request(command)
        module = self.modules.get(station)
        if module is None:
            return ""
        head, rest = body[:type_at], body[type_at + 1:]
        code = rest[:3] if rest[:3] in ("RCS", "WCS", "RCC", "WCC") else rest[:2]
        try:
            data = serve(module, code, rest[len(code):])
        except Silent:
            return ""
        except Refused as e:
            return frame("%s!%s" % (head, e.code))
        return frame("%s$%s%s" % (head, code[:2], data))


class ModuleStation(b4k_mew.MewFullDuplex):
    """One device as a station of its own, answering through the slave
    handlers for its station number only."""

    def __init__(self, channel, module, station):
        self.module = module
        super().__init__(channel, slave_station=station)

    def on_get_multi_uint16(self, name, count):
        first = int(name[1:])
        return [self.module.register("%s%d" % (name[0], first + i)) for i in range(count)]

    def on_get_multi_coil_uint16(self, name, count):
        first = int(name[1:])
        return [self.module.coil_word("W%s%d" % (name[0], first + i)) for i in range(count)]

    def on_set_coil(self, name, value):
        self.module.set_coil(name[0], int(name[1:4]), int(name[4], 16), value)

    def on_set_multi_coil_uint16(self, name, values):
        for i, value in enumerate(values):
            self.module.set_coil_word(name[0], int(name[1:]) + i, value)


def XY(**kw):
    return Module(b4k_mew.INST_TYPE_XY, **kw)


def AXIS(**kw):
    return Module(b4k_mew.INST_TYPE_Axis, **kw)


def AD(**kw):
    return Module(b4k_mew.INST_TYPE_AD, **kw)


def OTHER(code, **kw):
    return Module(code, **kw)


def END():
    """A station that answers every command with an error response: the
    scan ends there without waiting for a time-out."""
    return Module(0, errors={"S0": "42", "S1": "42", "WX0": "42", "WY0": "42", "write": "42"})


class Rig:
    """Lines, simulators and stations; the fixture closes all of them, also
    when a test fails, and reports what the simulators could not handle."""

    def __init__(self):
        self._lines = []
        self._stations = []   # closed first: they are the ones that send commands
        self._devices = []

    def line(self, ends=2):
        line = VirtualLine(ends)
        self._lines.append(line)
        return line

    def devices(self, port, modules):
        devices = Devices(serial(port), modules)
        self._devices.append(devices)
        return serving(devices)

    def module_station(self, port, module, station):
        st = ModuleStation(serial(port), module, station)
        self._devices.append(st)
        return serving(st)

    def station(self, port, cls=InstManager, **kwargs):
        kwargs.setdefault("query_timeout", QUERY_TIMEOUT)
        if issubclass(cls, b4k_mew.MewFullDuplex):
            kwargs.setdefault("slave_station", MANAGER_STATION)
        st = cls(serial(port), **kwargs)
        self._stations.append(st)
        return st

    def __call__(self, modules, cls=InstManager, scan=False, **kwargs):
        """A station of class `cls` on a line to `modules`: (station, devices)."""
        line = self.line()
        devices = self.devices(line.ports[1], modules)
        station = self.station(line.ports[0], cls, **kwargs)
        if scan:
            station.initialize_inst_list()
        return station, devices

    def close(self):
        # Each close waits for the station's slave worker to notice its stop
        # flag; closing the stations side by side waits for that only once.
        closers = [threading.Thread(target=st.close, name="Rig.close") for st in self._stations + self._devices]
        for t in closers:
            t.start()
        for t in closers:
            t.join(WAIT)
        assert not any(t.is_alive() for t in closers), "a station did not close"
        for line in self._lines:
            line.close()
        failures = [f for d in self._devices if isinstance(d, Devices) for f in d.failures]
        assert not failures, failures


@pytest.fixture
def rig():
    r = Rig()
    try:
        yield r
    finally:
        r.close()


@pytest.fixture(autouse=True)
def _no_thread_left(no_thread_left):
    yield


class Duck:
    """A station that is no station class at all, only the four methods the
    instruments use; it records every call."""

    def __init__(self, registers=None, words=None):
        self.registers = registers or {}
        self.words = words or {}
        self.calls = []

    def get_uint16(self, station, name):
        self.calls.append(("get_uint16", station, name))
        value = self.registers[(station, name)]
        if isinstance(value, BaseException):
            raise value
        return value

    def get_coil_uint16(self, station, name):
        self.calls.append(("get_coil_uint16", station, name))
        return self.words[(station, name)]

    def set_coil(self, station, name, value):
        self.calls.append(("set_coil", station, name, value))

    def set_coil_uint16(self, station, name, value):
        self.calls.append(("set_coil_uint16", station, name, value))


# --- Module constants and the instrument classes -------------------------------------

@pytest.mark.parametrize("name, value", [
    ("INST_TYPE_UNKNOWN", 0), ("INST_TYPE_XY", 1), ("INST_TYPE_Axis", 2), ("INST_TYPE_AD", 3),
])
def test_type_constants(name, value):
    constant = getattr(b4k_mew, name)
    assert type(constant) is int and constant == value
    assert not hasattr(b4k_mew.Inst, name)


@pytest.mark.parametrize("name", ["INST_TYPE_AXIS", "INST_TYPE_Unknown", "INST_TYPE_xy", "INST_TYPE_Ad"])
def test_type_constant_names_are_exact(name):
    assert not hasattr(b4k_mew, name)


def test_inst_cannot_be_instantiated():
    duck = Duck({(1, "S1"): 1})
    with pytest.raises(TypeError):
        b4k_mew.Inst(duck, 1)
    assert duck.calls == []


def test_inst_subclass_without_inst_type_is_abstract():
    class Incomplete(b4k_mew.Inst):
        pass

    duck = Duck({(1, "S1"): 1})
    with pytest.raises(TypeError, match="inst_type"):
        Incomplete(duck, 1)
    assert duck.calls == []


def test_inst_subclass_with_inst_type_is_concrete():
    class Gauge(b4k_mew.Inst):
        @property
        def inst_type(self):
            return 9

    duck = Duck({(4, "S1"): 258})
    gauge = Gauge(duck, 4)
    assert (gauge.inst_type, gauge.station, gauge.firmware_version) == (9, 4, 258)
    assert gauge._mew is duck


@pytest.mark.parametrize("cls, kind", [
    (InstUnknown, b4k_mew.INST_TYPE_UNKNOWN), (InstAxis, b4k_mew.INST_TYPE_Axis), (InstAD, b4k_mew.INST_TYPE_AD),
])
def test_simple_instruments(cls, kind):
    duck = Duck({(7, "S1"): 258})
    inst = cls(duck, 7)
    assert isinstance(inst, b4k_mew.Inst)
    assert duck.calls == [("get_uint16", 7, "S1")]
    assert inst.inst_type == kind
    assert inst.station == 7 and inst._station == 7
    assert inst.firmware_version == 258 and inst._firmware_version == 258
    assert inst._mew is duck
    assert len(duck.calls) == 1, "the properties never query"


@pytest.mark.parametrize("cls", [InstUnknown, InstAxis, InstAD, InstXY])
@pytest.mark.parametrize("args", [(), ("duck",), ("duck", 1, 2)])
def test_instruments_take_exactly_two_arguments(cls, args):
    duck = Duck({(1, "S1"): 1}, {(1, "WX0"): 0, (1, "WY0"): 0})
    with pytest.raises(TypeError):
        cls(*[duck if a == "duck" else a for a in args])
    assert duck.calls == []


@pytest.mark.parametrize("cls", [InstUnknown, InstAxis, InstAD])
def test_instruments_take_keyword_arguments(cls):
    duck = Duck({(2, "S1"): 5})
    assert cls(mew=duck, station=2).station == 2


@pytest.mark.parametrize("prop", ["inst_type", "station", "firmware_version"])
def test_instrument_properties_are_read_only(prop):
    inst = InstAxis(Duck({(1, "S1"): 1}), 1)
    with pytest.raises(AttributeError):
        setattr(inst, prop, 3)


@pytest.mark.parametrize("value", [0, 1, 258, 0x0102, 65535])
def test_firmware_version_is_the_raw_word(value):
    assert InstUnknown(Duck({(1, "S1"): value}), 1).firmware_version == value


# --- Type discovery: who is asked, and how -----------------------------------------

@pytest.mark.parametrize("query, register", [
    (b4k_mew.Inst.query_inst_type, "S0"), (b4k_mew.Inst.query_firmware_version, "S1"),
])
@pytest.mark.parametrize("value", [0, 1, 7, 258, 65535])
def test_queries_call_a_duck_typed_station(query, register, value):
    duck = Duck({(5, register): value})
    assert query(duck, 5) == value
    assert duck.calls == [("get_uint16", 5, register)]


@pytest.mark.parametrize("query", [b4k_mew.Inst.query_inst_type, b4k_mew.Inst.query_firmware_version])
@pytest.mark.parametrize("error", [IOError("no answer"), KeyError("odd"), ValueError("bad")])
def test_query_errors_pass_unchanged(query, error):
    duck = Duck({(1, "S0"): error, (1, "S1"): error})
    with pytest.raises(type(error)) as info:
        query(duck, 1)
    assert info.value is error


@pytest.mark.parametrize("cls", [InstUnknown, InstAxis, InstAD, InstXY])
def test_constructor_errors_pass_unchanged(cls):
    error = IOError("MewMasterBase: device response timeout.")
    with pytest.raises(IOError) as info:
        cls(Duck({(1, "S1"): error}), 1)
    assert info.value is error


class OverridingMaster(b4k_mew.MewMaster):
    """Answers the register reads itself: nothing reaches the line."""

    def get_uint16(self, station, name):
        self.calls.append((station, name))
        return {"S0": 3, "S1": 258}[name]


@pytest.mark.parametrize("query, result", [
    (b4k_mew.Inst.query_inst_type, 3), (b4k_mew.Inst.query_firmware_version, 258),
])
def test_queries_use_a_masters_override(rig, query, result):
    master, devices = rig({}, cls=OverridingMaster)
    master.calls = []
    assert query(master, 9) == result
    assert master.calls == [(9, "S0" if result == 3 else "S1")]
    assert devices.commands == []


def test_instrument_constructor_uses_a_masters_override(rig):
    master, devices = rig({}, cls=OverridingMaster)
    master.calls = []
    axis = InstAxis(master, 9)
    assert (axis.firmware_version, axis._mew) == (258, master)
    assert master.calls == [(9, "S1")]
    assert devices.commands == []


@pytest.mark.parametrize("station, expected", [
    (1, "%01#RDS000000000042\r"), (3, "%03#RDS000000000040\r"), (0x1A, s_read(0x1A, 0)),
])
def test_type_query_frame(rig, station, expected):
    master, devices = rig({station: OTHER(65535)}, cls=b4k_mew.MewMaster)
    assert b4k_mew.Inst.query_inst_type(master, station) == 65535
    assert devices.commands == [expected]


@pytest.mark.parametrize("station, expected", [(1, "%01#RDS000010000142\r"), (0x1A, s_read(0x1A, 1))])
def test_firmware_query_frame(rig, station, expected):
    master, devices = rig({station: AXIS(firmware=258)}, cls=b4k_mew.MewMaster)
    assert b4k_mew.Inst.query_firmware_version(master, station) == 258
    assert devices.commands == [expected]


def test_device_answering_type_but_not_firmware_cannot_be_created(rig):
    mgr, devices = rig({1: AXIS(errors={"S1": "42"})})
    assert b4k_mew.Inst.query_inst_type(mgr, 1) == b4k_mew.INST_TYPE_Axis
    with pytest.raises(IOError, match=r"^MEW communication error code\(hex\): 42$"):
        InstAxis(mgr, 1)


# --- The scan ------------------------------------------------------------------------

def test_manager_is_a_full_duplex_station_that_does_not_scan_by_itself(rig):
    mgr, devices = rig({1: XY()})
    assert isinstance(mgr, b4k_mew.MewFullDuplex)
    assert (mgr.inst_count, mgr.xy_count, mgr.axis_count, mgr.ad_count) == (0, 0, 0, 0)
    assert mgr._all_list == [] and mgr._xy_list == [] and mgr._axis_list == [] and mgr._ad_list == []
    assert mgr.axis == []
    assert devices.commands == []


def test_manager_answers_for_its_own_slave_station(rig):
    mgr, devices = rig({})
    serving(mgr)
    assert devices.get_uint16(MANAGER_STATION, "DT0") == 0
    assert devices.get_coil(MANAGER_STATION, "Y0") is False


def test_manager_constructor_errors_pass_unchanged(rig):
    line = rig.line()
    with pytest.raises(AssertionError):
        InstManager(serial(line.ports[0]), slave_station=0)


def test_scan_over_every_kind(rig):
    modules = {1: XY(firmware=258, wx=5, wy=3), 2: AXIS(firmware=7), 3: AD(), 4: OTHER(7), 5: OTHER(0),
               6: OTHER(65535), 7: XY(wx=0x8001), 8: AXIS(), 9: END()}
    mgr, devices = rig(modules, scan=True)
    assert (mgr.inst_count, mgr.xy_count, mgr.axis_count, mgr.ad_count) == (8, 2, 2, 1)
    assert [type(i) for i in mgr._all_list] == [InstXY, InstAxis, InstAD, InstUnknown, InstUnknown,
                                                 InstUnknown, InstXY, InstAxis]
    assert [i.inst_type for i in mgr._all_list] == [1, 2, 3, 0, 0, 0, 1, 2]
    assert [i.station for i in mgr._all_list] == [1, 2, 3, 4, 5, 6, 7, 8]
    assert [i.firmware_version for i in mgr._all_list][:2] == [258, 7]
    assert all(i._mew is mgr for i in mgr._all_list)
    assert mgr._xy_list == [mgr._all_list[0], mgr._all_list[6]]
    assert mgr._axis_list == [mgr._all_list[1], mgr._all_list[7]]
    assert mgr._ad_list == [mgr._all_list[2]]
    assert (mgr._xy_list[0].get_wx(), mgr._xy_list[0].get_wy(), mgr._xy_list[1].get_wx()) == (5, 3, 0x8001)
    expected = []
    for station in range(1, 9):
        expected += discovery(station, modules[station].type_code)
    assert devices.commands == expected + [s_read(9, 0)]


def test_scan_frames_for_station_one(rig):
    mgr, devices = rig({1: XY(), 2: END()}, scan=True)
    assert devices.commands == ["%01#RDS000000000042\r", "%01#RDS000010000142\r", "%01#RCCX000000000D\r",
                                "%01#RCCY000000000C\r", "%02#RDS000000000041\r"]


@pytest.mark.parametrize("present, found", [
    ({1: XY(), 2: AXIS(), 3: XY()}, 3),
    ({1: XY(), 3: XY()}, 1),
    ({2: XY(), 3: AXIS()}, 0),
    ({}, 0),
], ids=["1-3, none at 4", "1 and 3", "none at 1", "none at all"])
def test_scan_stops_at_the_first_silent_station(rig, present, found):
    mgr, devices = rig(present, scan=True)
    assert mgr.inst_count == found
    assert [i.station for i in mgr._all_list] == list(range(1, found + 1))
    gap = found + 1
    assert devices.commands[-1] == s_read(gap, 0)
    assert all(not c.startswith("%%%02X#" % s) for c in devices.commands for s in range(gap + 1, 5))


def test_scan_with_stations_1_to_3_then_none(rig):
    mgr, devices = rig({1: XY(wx=0, wy=0), 2: AXIS(), 3: XY(wx=1, wy=0x4000)}, scan=True)
    assert (mgr.inst_count, mgr.xy_count, mgr.axis_count, mgr.ad_count) == (3, 2, 1, 0)
    assert mgr.x[16] is True and mgr.x[0] is False
    assert mgr.wy[1] == 0x4000


@pytest.mark.parametrize("failing", [
    {"errors": {"S0": "42"}}, {"errors": {"S1": "42"}}, {"errors": {"WX0": "42"}}, {"errors": {"WY0": "42"}},
    {"silent": {"S1"}}, {"silent": {"WY0"}},
], ids=["S0 refused", "S1 refused", "WX0 refused", "WY0 refused", "S1 unanswered", "WY0 unanswered"])
def test_station_failing_in_any_step_gets_no_instrument(rig, failing):
    mgr, devices = rig({1: AXIS(), 2: XY(**failing), 3: XY()}, scan=True)
    assert [type(i) for i in mgr._all_list] == [InstAxis]
    assert (mgr.xy_count, mgr.axis_count) == (0, 1)
    assert not any(c.startswith("%03") for c in devices.commands)


def test_scan_ends_on_a_malformed_answer(rig):
    class Garbled(Devices):
        def _answer(self, command):
            if command.startswith("%02"):
                return frame("%02$RDZZZZ")   # one word long, but not hexadecimal
            return super()._answer(command)

    line = rig.line()
    devices = Garbled(serial(line.ports[1]), {1: AD(), 3: AD()})
    rig._devices.append(devices)
    serving(devices)
    mgr = rig.station(line.ports[0])
    mgr.initialize_inst_list()
    assert [type(i) for i in mgr._all_list] == [InstAD]


def test_scan_after_stop_finds_nothing(rig):
    mgr, devices = rig({1: XY(), 2: END()})
    mgr.stop()
    mgr.initialize_inst_list()
    assert mgr.inst_count == 0


def test_scan_uses_the_managers_overrides(rig):
    class Counting(InstManager):
        def get_uint16(self, station, name):
            self.calls.append(("get_uint16", station, name))
            return super().get_uint16(station, name)

        def get_coil_uint16(self, station, name):
            self.calls.append(("get_coil_uint16", station, name))
            return super().get_coil_uint16(station, name)

    mgr, devices = rig({1: XY(), 2: AD(), 3: END()}, cls=Counting)
    mgr.calls = []
    mgr.initialize_inst_list()
    assert mgr.calls == [("get_uint16", 1, "S0"), ("get_uint16", 1, "S1"), ("get_coil_uint16", 1, "WX0"),
                         ("get_coil_uint16", 1, "WY0"), ("get_uint16", 2, "S0"), ("get_uint16", 2, "S1"),
                         ("get_uint16", 3, "S0")]


def test_scan_types_come_from_the_managers_get_uint16(rig):
    class Faking(InstManager):
        TYPES = {1: 2, 2: 3, 3: 7, 4: 2}

        def get_uint16(self, station, name):
            if station not in self.TYPES:
                raise IOError("MewMasterBase: device response timeout.")
            return self.TYPES[station] if name == "S0" else 100 + station

    mgr, devices = rig({}, cls=Faking, scan=True)
    assert [type(i) for i in mgr._all_list] == [InstAxis, InstAD, InstUnknown, InstAxis]
    assert [i.firmware_version for i in mgr._all_list] == [101, 102, 103, 104]
    assert devices.commands == []


def test_scan_swallows_any_error(rig):
    class Broken(InstManager):
        def get_uint16(self, station, name):
            if station == 2:
                raise ZeroDivisionError("not an I/O error")
            return 2

    mgr, devices = rig({}, cls=Broken, scan=True)
    assert mgr.axis_count == 1


def test_second_scan_doubles_every_list_and_count(rig):
    mgr, devices = rig({1: XY(wx=1), 2: AXIS(), 3: AD(), 4: OTHER(7), 5: XY(wx=2), 6: END()})
    lists = [mgr._all_list, mgr._xy_list, mgr._axis_list, mgr._ad_list]
    x, wx, axis = mgr.x, mgr.wx, mgr.axis
    mgr.initialize_inst_list()
    first = [list(lst) for lst in lists]
    assert (mgr.inst_count, mgr.xy_count, mgr.axis_count, mgr.ad_count) == (5, 2, 1, 1)
    with pytest.raises(IndexError):
        x[32]
    mgr.initialize_inst_list()
    assert (mgr.inst_count, mgr.xy_count, mgr.axis_count, mgr.ad_count) == (10, 4, 2, 2)
    assert [mgr._all_list, mgr._xy_list, mgr._axis_list, mgr._ad_list] == lists, "the same lists, appended to"
    for lst, before in zip(lists, first):
        assert lst[:len(before)] == before
        assert [i.station for i in lst[len(before):]] == [i.station for i in before]
        assert not any(a is b for a, b in zip(lst[len(before):], before)), "new instruments"
    # Views and the axis list made before the second scan show its instruments.
    assert x[32] is True and x[49] is True and wx[3] == 2
    assert axis is mgr.axis and len(axis) == 2


# --- Properties and views of the manager ---------------------------------------------

def test_axis_is_the_managers_own_list(rig):
    mgr, devices = rig({1: AXIS(), 2: XY(), 3: AXIS(), 4: END()}, scan=True)
    assert mgr.axis is mgr.axis
    assert mgr.axis is mgr._axis_list
    assert [a.station for a in mgr.axis] == [1, 3]


@pytest.mark.parametrize("prop, cls, field", [
    ("x", "_InstXList", "_inst_x_list"), ("y", "_InstYList", "_inst_y_list"),
    ("wx", "_InstWXList", "_inst_wx_list"), ("wy", "_InstWYList", "_inst_wy_list"),
])
def test_views_are_new_objects_over_the_xy_list(rig, prop, cls, field):
    mgr, devices = rig({1: XY(), 2: END()}, scan=True)
    view = getattr(mgr, prop)
    assert type(view) is getattr(b4k_mew, cls)
    assert getattr(mgr, prop) is not view
    assert getattr(view, field) is mgr._xy_list
    with pytest.raises(TypeError):
        len(view)


@pytest.mark.parametrize("prop", ["inst_count", "xy_count", "axis_count", "ad_count", "axis", "x", "y", "wx", "wy"])
def test_manager_properties_are_read_only(rig, prop):
    mgr, devices = rig({})
    with pytest.raises(AttributeError):
        setattr(mgr, prop, 1)


# The flat index table: (flat index, position in the XY list, point).
FLAT = [(0, 0, 0), (5, 0, 5), (15, 0, 15), (16, 1, 0), (31, 1, 15), (37, 2, 5), (47, 2, 15),
        (-1, 2, 15), (-16, 2, 0), (-17, 1, 15), (-48, 0, 0)]


@pytest.mark.parametrize("flat, position, point", FLAT)
def test_flat_index_addresses_one_point(rig, flat, position, point):
    # Three XY devices, an axis between the first two: list position is not
    # station number. Only the addressed point is on, in inputs and outputs.
    bits = [1 << point if p == position else 0 for p in range(3)]
    mgr, devices = rig({1: XY(wx=bits[0], wy=bits[0]), 2: AXIS(), 3: XY(wx=bits[1], wy=bits[1]),
                        4: XY(wx=bits[2], wy=bits[2]), 5: END()}, scan=True)
    frames = len(devices.commands)
    canonical = flat % 48
    x, y = mgr.x, mgr.y
    assert x[flat] is True and y[flat] is True
    assert [k for k in range(48) if x[k]] == [canonical]
    assert [k for k in range(48) if y[k]] == [canonical]
    assert mgr._xy_list[position].get_x(point) is True
    assert len(devices.commands) == frames, "reads answer from the copies"


@pytest.mark.parametrize("view", ["x", "y", "wx", "wy"])
@pytest.mark.parametrize("index", ["past the end", "before the start", 2 ** 64, -2 ** 64, 2 ** 100])
def test_index_outside_the_list(rig, view, index):
    mgr, devices = rig({1: XY(), 2: XY(), 3: END()}, scan=True)
    per = 16 if view in ("x", "y") else 1
    if index == "past the end":
        index = 2 * per
    elif index == "before the start":
        index = -2 * per - 1
    frames = len(devices.commands)
    with pytest.raises(IndexError):
        getattr(mgr, view)[index]
    if view in ("y", "wy"):
        with pytest.raises(IndexError):
            getattr(mgr, view)[index] = 1
    assert len(devices.commands) == frames


@pytest.mark.parametrize("view", ["x", "y", "wx", "wy"])
def test_empty_manager_has_no_index(rig, view):
    mgr, devices = rig({1: END()}, scan=True)
    assert mgr.inst_count == 0
    for index in (0, -1):
        with pytest.raises(IndexError):
            getattr(mgr, view)[index]


def test_x_assignment_is_impossible(rig):
    mgr, devices = rig({1: XY(), 2: END()}, scan=True)
    with pytest.raises(TypeError):
        mgr.x[0] = True
    with pytest.raises(TypeError):
        mgr.wx[0] = 1


def test_word_views(rig):
    mgr, devices = rig({1: XY(wx=0x1234, wy=7), 2: OTHER(9), 3: XY(wx=3, wy=0xFFFF), 4: END()}, scan=True)
    assert [mgr.wx[0], mgr.wx[1], mgr.wx[-1]] == [0x1234, 3, 3]
    assert [mgr.wy[0], mgr.wy[1], mgr.wy[-2]] == [7, 0xFFFF, 7]


@pytest.mark.parametrize("initial, value, sent", [
    (0, True, [coil_write(4, 5, True)]),
    (1 << 5, True, []),
    (0, False, []),
    (1 << 5, False, [coil_write(4, 5, False)]),
], ids=["off->on", "on->on", "off->off", "on->off"])
def test_y37_writes_at_most_once_to_the_third_xy(rig, initial, value, sent):
    modules = {1: XY(), 2: AXIS(), 3: XY(), 4: XY(wy=initial), 5: END()}
    mgr, devices = rig(modules, scan=True)
    frames = len(devices.commands)
    mgr.y[37] = value
    mgr.y[37] = value
    assert devices.commands[frames:] == sent
    assert mgr._xy_list[2].get_wy() == (1 << 5 if value else 0)
    assert modules[4].wy == mgr._xy_list[2].get_wy()
    assert mgr._xy_list[0].get_wy() == 0 and mgr._xy_list[1].get_wy() == 0
    assert mgr.y[37] is value


def test_wy_assignment_masks_and_writes_on_change(rig):
    modules = {1: XY(), 2: XY(wy=5), 3: END()}
    mgr, devices = rig(modules, scan=True)
    frames = len(devices.commands)
    mgr.wy[1] = 2 ** 16 + 5
    mgr.wy[-1] = 5
    mgr.wy[0] = 2 ** 16 + 0x1234
    assert devices.commands[frames:] == [word_write(1, 0x1234)]
    assert (mgr.wy[0], mgr.wy[1], modules[1].wy) == (0x1234, 5, 0x1234)


# --- The XY instrument ----------------------------------------------------------------

@pytest.fixture
def xy_rig(rig):
    """An XY device at station 1 and one at 0x1A, each created directly on
    a manager (no scan): (manager, devices, modules)."""
    def make(wx=0, wy=0):
        modules = {1: XY(wx=wx, wy=wy, firmware=258), 0x1A: XY(wx=wx, wy=wy)}
        mgr, devices = rig(modules)
        return mgr, devices, modules
    return make


def test_xy_construction_reads_firmware_and_both_words(xy_rig):
    mgr, devices, modules = xy_rig(wx=5, wy=0x8003)
    xy = InstXY(mgr, 1)
    assert devices.commands == ["%01#RDS000010000142\r", "%01#RCCX000000000D\r", "%01#RCCY000000000C\r"]
    assert (xy.inst_type, xy.station, xy.firmware_version, xy._mew) == (1, 1, 258, mgr)
    assert (xy.get_wx(), xy.get_wy(), xy._x, xy._y) == (5, 0x8003, 5, 0x8003)
    assert [xy.get_x(i) for i in range(16)] == [i in (0, 2) for i in range(16)]
    assert [xy.get_y(i) for i in range(16)] == [i in (0, 1, 15) for i in range(16)]
    assert len(devices.commands) == 3, "reads answer from the copies"


@pytest.mark.parametrize("index", [16, 17, 63, 64, 1000, 2 ** 70])
def test_points_above_the_word_read_false(xy_rig, index):
    mgr, devices, modules = xy_rig(wx=0xFFFF, wy=0xFFFF)
    xy = InstXY(mgr, 1)
    assert xy.get_x(index) is False and xy.get_y(index) is False
    assert xy.get_x16_object()[index] is False and xy.get_y16_object()[index] is False


# (operation, arguments, device's output word before, frames for station 1, output word after)
XY_WRITES = [
    ("set_y", (3, True), 0, ["%01#WCSY000312B\r"], 8),
    ("set_y", (10, True), 0, ["%01#WCSY000A159\r"], 1 << 10),
    ("set_y", (15, True), 0, [coil_write(1, 15, True)], 1 << 15),
    ("set_y", (0, True), 0, [coil_write(1, 0, True)], 1),
    ("set_y", (3, False), 0xFFFF, [coil_write(1, 3, False)], 0xFFF7),
    ("set_y", (3, True), 8, [], 8),
    ("set_y", (3, False), 0, [], 0),
    ("set_y", (3, 1), 8, [], 8),
    ("set_y", (3, 0), 0, [], 0),
    ("set_y", (3, 2), 8, [coil_write(1, 3, True)], 8),   # 2 equals neither state: always written
    ("set_wy", (5,), 0, ["%01#WCCY0000000005000C\r"], 5),
    ("set_wy", (2 ** 16 + 5,), 0, ["%01#WCCY0000000005000C\r"], 5),
    ("set_wy", (0x1234,), 0, [word_write(1, 0x1234)], 0x1234),
    ("set_wy", (-1,), 0, [word_write(1, 0xFFFF)], 0xFFFF),
    ("set_wy", (2 ** 70 + 5,), 0, [word_write(1, 5)], 5),
    ("set_wy", (0,), 0x00FF, [word_write(1, 0)], 0),
    ("set_wy", (5,), 5, [], 5),
    ("set_wy", (2 ** 16 + 5,), 5, [], 5),
]


@pytest.mark.parametrize("op, args, before, sent, after", XY_WRITES,
                         ids=["%s%r-from-%X" % (w[0], w[1], w[2]) for w in XY_WRITES])
def test_xy_writes(xy_rig, op, args, before, sent, after):
    mgr, devices, modules = xy_rig(wy=before)
    xy = InstXY(mgr, 1)
    frames = len(devices.commands)
    assert getattr(xy, op)(*args) is None
    assert devices.commands[frames:] == sent
    assert xy.get_wy() == after
    assert modules[1].wy == after


def test_xy_writes_at_another_station(xy_rig):
    mgr, devices, modules = xy_rig()
    xy = InstXY(mgr, 0x1A)
    frames = len(devices.commands)
    xy.set_y(12, True)
    xy.set_wy(0x0102)
    assert devices.commands[frames:] == [frame("%1A#WCSY000C1"), frame("%1A#WCCY000000000201")]
    assert modules[0x1A].wy == 0x0102 and modules[1].wy == 0


def test_set_y_then_clear(xy_rig):
    mgr, devices, modules = xy_rig(wy=8)
    xy = InstXY(mgr, 1)
    frames = len(devices.commands)
    xy.set_y(3, True)
    xy.set_y(3, False)
    xy.set_y(3, False)
    assert devices.commands[frames:] == [coil_write(1, 3, False)]
    assert xy.get_wy() == 0 and xy.get_y(3) is False


@pytest.mark.parametrize("call", [
    lambda xy: xy.set_y(3, True), lambda xy: xy.set_wy(0x0F0F), lambda xy: xy.get_y16_object().__setitem__(3, True),
], ids=["set_y", "set_wy", "Y16"])
@pytest.mark.parametrize("failure, message", [
    ("refused", r"^MEW communication error code\(hex\): 61$"),
    ("silent", "^" + re.escape(TIMEOUT_MESSAGE) + "$"),
])
def test_failed_write_keeps_the_copy_and_is_resent(xy_rig, call, failure, message):
    mgr, devices, modules = xy_rig(wy=0x00F0)
    xy = InstXY(mgr, 1)
    frames = len(devices.commands)
    if failure == "refused":
        modules[1].refuse_writes = 1
    else:
        modules[1].silent.add("write")
    with pytest.raises(IOError, match=message):
        call(xy)
    assert xy.get_wy() == 0x00F0 and modules[1].wy == 0x00F0
    failed = devices.commands[frames:]
    assert len(failed) == 1
    modules[1].silent.clear()
    call(xy)
    assert devices.commands[frames:] == failed * 2, "the same write sent again"
    assert xy.get_wy() == modules[1].wy != 0x00F0


def test_failed_flat_write_is_resent(rig):
    modules = {1: XY(), 2: END()}
    mgr, devices = rig(modules, scan=True)
    frames = len(devices.commands)
    modules[1].refuse_writes = 2
    with pytest.raises(IOError, match="code"):
        mgr.y[4] = True
    with pytest.raises(IOError, match="code"):
        mgr.wy[0] = 9
    assert mgr.wy[0] == 0 and mgr.y[4] is False
    mgr.y[4] = True
    mgr.wy[0] = 9
    assert devices.commands[frames:] == [coil_write(1, 4, True), word_write(1, 9)] * 2
    assert mgr.wy[0] == 9 == modules[1].wy


@pytest.mark.parametrize("call", [
    lambda xy: xy.get_x(-1), lambda xy: xy.get_y(-1), lambda xy: xy.set_y(-1, True), lambda xy: xy.set_y(-1, False),
    lambda xy: xy.set_y(-2 ** 70, True), lambda xy: xy.get_x16_object()[-1], lambda xy: xy.get_y16_object()[-1],
    lambda xy: xy.get_y16_object().__setitem__(-3, True),
], ids=["get_x", "get_y", "set_y on", "set_y off", "set_y huge", "X16", "Y16", "Y16 assign"])
def test_negative_point_index_is_refused_before_sending(xy_rig, call):
    mgr, devices, modules = xy_rig(wy=0xFFFF)
    xy = InstXY(mgr, 1)
    frames = len(devices.commands)
    with pytest.raises(ValueError, match="negative shift count"):
        call(xy)
    assert len(devices.commands) == frames
    assert xy.get_wy() == 0xFFFF


@pytest.mark.parametrize("index", [16, 17, 31, 2 ** 70])
def test_set_y_above_the_word_is_refused_before_sending(xy_rig, index):
    mgr, devices, modules = xy_rig()
    xy = InstXY(mgr, 1)
    frames = len(devices.commands)
    with pytest.raises(ValueError):
        xy.set_y(index, True)
    with pytest.raises(ValueError):
        xy.get_y16_object()[index] = True
    # Switching off such a point is refused too, though the copy shows it off.
    with pytest.raises(ValueError):
        xy.set_y(index, False)
    assert len(devices.commands) == frames
    assert xy.get_wy() == 0 and modules[1].wy == 0


@pytest.mark.parametrize("before, value, result, after", [
    (5, 2 ** 16 + 3, (3, 5), 3),
    (3, 3, (3, 3), 3),
    (0, 0xFFFF, (0xFFFF, 0), 0xFFFF),
    (7, -1, (0xFFFF, 7), 0xFFFF),
    (7, 2 ** 70, (0, 7), 0),
])
def test_on_update_wx(xy_rig, before, value, result, after):
    mgr, devices, modules = xy_rig(wx=before)
    xy = InstXY(mgr, 1)
    frames = len(devices.commands)
    got = xy.on_update_wx(value)
    assert type(got) is tuple and got == result
    assert xy.get_wx() == after and xy._x == after
    assert xy.get_x16_object()[0] is bool(after & 1)
    assert len(devices.commands) == frames
    assert xy.on_update_wx(after) == (after, after)


def test_on_update_wx_shows_in_the_flat_lists(rig):
    mgr, devices = rig({1: XY(), 2: XY(), 3: END()}, scan=True)
    assert mgr._xy_list[1].on_update_wx(0x8001) == (0x8001, 0)
    assert (mgr.x[16], mgr.x[31], mgr.x[17], mgr.wx[1]) == (True, True, False, 0x8001)


def test_x16_view(xy_rig):
    mgr, devices, modules = xy_rig(wx=0x0A05)
    xy = InstXY(mgr, 1)
    view = xy.get_x16_object()
    assert type(view) is b4k_mew.X16
    assert xy.get_x16_object() is not view
    assert view._inst_xy is xy
    assert [view[i] for i in range(20)] == [xy.get_x(i) for i in range(20)]
    assert [view[i] for i in range(16)] == [bool(0x0A05 >> i & 1) for i in range(16)]
    frames = len(devices.commands)
    with pytest.raises(TypeError):
        view[0] = True
    assert len(devices.commands) == frames
    assert b4k_mew.X16(xy)[2] is True
    with pytest.raises(TypeError):
        len(view)


def test_y16_view(xy_rig):
    mgr, devices, modules = xy_rig(wy=0x0003)
    xy = InstXY(mgr, 1)
    view = xy.get_y16_object()
    assert type(view) is b4k_mew.Y16
    assert xy.get_y16_object() is not view
    assert view._inst_xy is xy
    assert [view[i] for i in range(16)] == [i in (0, 1) for i in range(16)]
    frames = len(devices.commands)
    view[4] = True
    view[4] = True
    view[1] = True
    b4k_mew.Y16(xy)[0] = False
    assert devices.commands[frames:] == [coil_write(1, 4, True), coil_write(1, 0, False)]
    assert xy.get_wy() == 0b10010 == modules[1].wy
    assert view[4] is True


def test_y16_assignment_is_set_y(xy_rig):
    mgr, devices, modules = xy_rig()
    a, b = InstXY(mgr, 1), InstXY(mgr, 1)
    frames = len(devices.commands)
    a.get_y16_object()[4] = True
    via_view = devices.commands[frames:]
    modules[1].wy = 0
    b.set_y(4, True)
    assert devices.commands[frames + 1:] == via_view == [coil_write(1, 4, True)]
    assert a.get_wy() == b.get_wy() == 16


def test_instrument_writes_use_the_managers_overrides(rig):
    class Counting(InstManager):
        def set_coil(self, station, name, value):
            self.calls.append(("set_coil", station, name, value))
            return super().set_coil(station, name, value)

        def set_coil_uint16(self, station, name, value):
            self.calls.append(("set_coil_uint16", station, name, value))
            return super().set_coil_uint16(station, name, value)

    modules = {1: XY(), 2: END()}
    mgr, devices = rig(modules, cls=Counting, scan=True)
    mgr.calls = []
    mgr.y[10] = True
    mgr.wy[0] = 0x0102
    assert mgr.calls == [("set_coil", 1, "YA", True), ("set_coil_uint16", 1, "WY0", 0x0102)]
    assert modules[1].wy == 0x0102


def test_xy_on_a_duck_typed_station():
    duck = Duck({(2, "S1"): 258}, {(2, "WX0"): 5, (2, "WY0"): 0})
    xy = InstXY(duck, 2)
    xy.set_y(10, True)
    xy.set_y(10, True)
    xy.set_wy(2 ** 16 + 5)
    xy.set_wy(5)
    assert duck.calls == [("get_uint16", 2, "S1"), ("get_coil_uint16", 2, "WX0"), ("get_coil_uint16", 2, "WY0"),
                          ("set_coil", 2, "YA", True), ("set_coil_uint16", 2, "WY0", 5)]
    assert (xy.get_wx(), xy.get_wy()) == (5, 5)


# --- One station per device on a shared line ------------------------------------------

def test_one_station_per_device_on_a_shared_line(rig):
    modules = {1: XY(wx=0x0101, firmware=258), 2: AXIS(), 3: XY(wy=0x8000)}
    line = rig.line(ends=len(modules) + 1)
    for port, (station, module) in zip(line.ports[1:], modules.items()):
        rig.module_station(port, module, station)
    mgr = rig.station(line.ports[0])
    mgr.initialize_inst_list()
    assert (mgr.inst_count, mgr.xy_count, mgr.axis_count, mgr.ad_count) == (3, 2, 1, 0)
    assert mgr._all_list[0].firmware_version == 258
    assert (mgr.x[0], mgr.x[8], mgr.x[16], mgr.y[31]) == (True, True, False, True)
    mgr.y[21] = True
    mgr.wy[0] = 0x00FF
    assert modules[3].wy == 0x8020 and modules[1].wy == 0x00FF and modules[2].wy == 0


# --- Lifetime -----------------------------------------------------------------------

def make_scanned_manager(rig, modules):
    line = rig.line()
    rig.devices(line.ports[1], modules)
    mgr = InstManager(serial(line.ports[0]), query_timeout=QUERY_TIMEOUT, slave_station=MANAGER_STATION)
    try:
        mgr.initialize_inst_list()
    except BaseException:
        mgr.close()
        raise
    return mgr


def test_dropped_manager_is_collected(rig):
    mgr = make_scanned_manager(rig, {1: XY(), 2: AXIS(), 3: AD(), 4: XY(), 5: END()})
    mgr.close()
    assert mgr.inst_count == 4
    assert all(inst._mew is mgr for inst in mgr._all_list)
    ref = weakref.ref(mgr)
    del mgr
    gc.collect()
    assert ref() is None


def test_kept_instrument_keeps_its_manager(rig):
    modules = {1: XY(), 2: END()}
    mgr = make_scanned_manager(rig, modules)
    ref = weakref.ref(mgr)
    try:
        xy = mgr._xy_list[0]
        del mgr
        gc.collect()
        assert ref() is xy._mew
        xy.set_wy(7)
        assert modules[1].wy == 7, "the manager still talks for it"
    finally:
        if ref() is not None:
            ref().close()
    del xy
    gc.collect()
    assert ref() is None
