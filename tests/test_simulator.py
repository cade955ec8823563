"""The simulator: devices whose memory and answers live in C++, on a line
served by a worker thread of the simulator's own.

Known-answer frames go straight to a device (what it sends for each frame
received); the rest runs end to end, a master on one end of a virtual line
and the simulator on the other, and checks what the master reads against
what the device holds, word by word.
"""
import gc
import struct
import sys
import threading
import time
import weakref

import pytest

import b4k_mew
from b4k_mew_tools import Device, Simulator, VirtualLine
from conftest import WAIT
import linkpair
from test_cli import SCRIPT, run, running  # noqa: F401 (fixture)

T = b4k_mew.MewStatic.append_tail


@pytest.fixture(autouse=True)
def _no_thread_left(no_thread_left):
    yield


def words(*values):
    return "".join("%02X%02X" % (v & 0xFF, v >> 8) for v in values)


# --- Known answers ---------------------------------------------------------------------

@pytest.fixture
def controller():
    """Station 1 of a simulator in PLC mode with a frame limit of 118, not
    started: frames go to the device by hand."""
    station_end, _ = linkpair.pair()
    sim = Simulator(station_end, frame_limit=118, plc=True)
    device = sim.add_device(1)
    device.write_registers("DT", 0, list(range(30)))
    device.write_float("DT", 100, 1.5)
    device.set_contact("X", 0, True)
    device.write_registers("SV", 0, [10, 20, 30, 40, 50, 60])
    yield device
    sim.close()


FIRST_FRAME = "%01$RD" + words(*range(27)) + "61&\r"

KNOWN_ANSWERS = [
    (["%01#RDD00000000295E\r", "%0124&\r"], [FIRST_FRAME, "%011B001C001D0050\r"]),
    (["%01#RDD00000000295E\r", "%01**&\r"], [FIRST_FRAME, "%011B001C001D0050\r"]),
    (["<01#RDD000000002947\r"], [T("<01$RD" + words(*range(30)))]),
    (["%01#RDD0010000101**\r"], ["%01$RD0000C03F10\r"]),
    (["%01#WDD00100001010000C03F57\r", "%01#RDD0010000101**\r"], [T("%01$WD"), "%01$RD0000C03F10\r"]),
    (["%01#RCP2X0000Y001A05\r"], ["%01$RC1010\r"]),
    (["%01#WCP2Y00001R001007A\r", "%01#RCP2Y0000R0010**\r"], ["%01$WC14\r", T("%01$RC10")]),
    (["%01#RT01\r"], [T("%01$RT" + "03" + "12" + "16" + "01" + "00" + "00" + "0000")]),
    (["%01#RS0000000503\r"], [T("%01$RS" + words(10, 20, 30, 40, 50, 60))]),
    (["%01#WK0000000000001B\r", T("%01#RK00000000")], [T("%01$WK"), T("%01$RK" + words(0))]),
    (["%01#WS00030003FFFF**\r", "%01#RS00030003**\r"], [T("%01$WS"), T("%01$RS" + words(0xFFFF))]),
    # Errors: 40 check code, 41 format, 42 unknown, 43 a command during a
    # transfer, 61 area or range, and the request for a frame nobody awaits.
    (["%01#RDD000000002900\r"], [T("%01!40")]),
    (["%01#RDD0000A00029**\r"], [T("%01!41")]),
    (["%01#WDD0000000001FFFF**\r"], [T("%01!41")]),
    (["%01#RDD00000000290000**\r"], [T("%01!41")]),
    (["%01#RCP9X0000X0001X0002X0003X0004X0005X0006X0007X0008**\r"], [T("%01!41")]),
    (["%01#XYZ**\r"], [T("%01!42")]),
    (["%01#RDD00000000295E\r", "%01#RT01\r"], [FIRST_FRAME, T("%01!43")]),
    (["%01**&\r"], [T("%01!43")]),
    (["%01#RDD0000500001**\r"], [T("%01!61")]),
    (["%01#RDZ0000000001**\r"], [T("%01!61")]),
    (["%01#RCCX09991000**\r"], [T("%01!61")]),
    (["%01#RCSZ0000**\r"], [T("%01!61")]),
    (["%01#RK00050004**\r"], [T("%01!61")]),
    (["%02#RT**\r"], [""]),
]


@pytest.mark.parametrize("frames, answers", KNOWN_ANSWERS, ids=[repr(f[-1])[1:22] for f, _ in KNOWN_ANSWERS])
def test_known_answers(controller, frames, answers):
    assert [controller._answer(frame) for frame in frames] == answers


# --- End to end --------------------------------------------------------------------------

class Rig:
    """A started simulator with devices at stations 1 and 3 on one end of a
    virtual line, a master with the same frame limit on the other."""

    def __init__(self, frame_limit, **options):
        self.line = VirtualLine()
        self.sim = Simulator(b4k_mew.MewSerial(port=self.line.port_a), frame_limit=frame_limit, plc=True, **options)
        self.device = self.sim.add_device(1)
        self.other = self.sim.add_device(3, kind="xy")
        self.sim.start()
        self.master = b4k_mew.MewMaster(b4k_mew.MewSerial(port=self.line.port_b), frame_limit=frame_limit,
                                        query_timeout=WAIT, **options)

    def close(self):
        self.master.close()
        self.sim.close()
        self.line.close()


@pytest.fixture(params=[118, 2048])
def rig(request):
    rig = Rig(request.param)
    yield rig
    rig.close()


def test_long_reads_and_writes_word_by_word(rig):
    values = [(i * 7919) & 0xFFFF for i in range(500)]
    rig.device.write_registers("DT", 2000, values)
    assert rig.master.get_multi_uint16(1, "DT2000", 500) == values
    assert rig.master.get_multi_uint16(1, "DT2000", 28) == values[:28]
    written = [(i * 31) & 0xFFFF for i in range(100)]
    rig.master.set_multi_uint16(1, "DT500", written)
    assert rig.device.read_registers("DT", 500, 100) == written
    rig.master.set_multi_coil_uint16(1, "WR10", written)
    assert rig.device.read_words("R", 10, 100) == written
    assert rig.master.get_multi_coil_uint16(1, "WR10", 100) == written
    assert rig.other.read_registers("DT", 500, 1) == [0]  # station 3 untouched


def test_controller_commands(rig):
    master, device = rig.master, rig.device
    master.set_float32(1, "DT100", -2.5)
    assert device.read_float("DT", 100) == -2.5 and master.get_float32(1, "DT100") == -2.5
    master.set_coils(1, [("Y0001", True), ("R001F", True), ("Y0001", False)])
    assert (device.get_contact("Y", 1), device.get_contact("R", 0x1F)) == (False, True)
    assert master.get_coils(1, ["R001F", "Y0001", "X0000"]) == [True, False, False]
    device.set_status(cpu_type=0x20, version=0x25, capacity=32, mode=0, error_flags=4, self_diagnosis=26)
    assert master.get_status(1) == b4k_mew.PlcStatus(0x20, 0x25, 32, 0, False, 0, 4, 26)
    master.set_preset_values(1, 7, [100, 200])
    master.set_elapsed_values(1, 7, [3])
    assert device.read_registers("SV", 7, 2) == [100, 200] and device.read_registers("EV", 7, 1) == [3]
    assert master.get_preset_values(1, 7, 2) == [100, 200] and master.get_elapsed_values(1, 8, 1) == [0]
    assert master.get_uint16(3, "S0") == b4k_mew.INST_TYPE_XY


@pytest.mark.parametrize("call, code", [
    (lambda m: m.query(T("%01#RDD0000000000")[:-3] + "00\r"), "40"),
    (lambda m: m.query(T("%01#RDD00000 0000")), "41"),
    (lambda m: m.query(T("%01#RXD0000000000")), "42"),
    (lambda m: m.get_multi_coil_uint16(1, "WX995", 10), "61"),
    (lambda m: m.query(T("%01#RDZ0000000000")), "61"),
])
def test_device_errors_reach_the_master(rig, call, code):
    with pytest.raises(b4k_mew.DeviceError) as raised:
        call(rig.master)
    assert raised.value.code == code and raised.value.meaning == b4k_mew.device_error_meaning(code)


def test_decimal_stations():
    rig = Rig(None, decimal_stations=True)
    try:
        rig.sim.add_device(23).write_registers("DT", 0, [2323])
        rig.device.write_registers("DT", 0, [1])
        assert rig.master.get_uint16(23, "DT0") == 2323
        assert rig.sim.devices[23]._answer(T("%23#RDD0000000000")) == T("%23$RD" + words(2323))
        assert rig.sim.devices[23]._answer(T("%17#RDD0000000000")) == ""  # hexadecimal 23
        assert rig.master.get_uint16(b4k_mew.STATION_EE, "DT0") == 1  # the first device
        with pytest.raises(ValueError):
            rig.sim.add_device(100)
    finally:
        rig.close()


# --- Failing on purpose, and the log of frames ------------------------------------------

def test_a_device_fails_on_purpose_and_the_log_shows_it():
    rig = Rig(118)
    try:
        rig.sim.log_frames(10)
        now = time.time()
        rig.device.write_registers("DT", 0, list(range(30)))
        rig.master.set_uint16(1, "DT40", 7)
        assert rig.master.get_multi_uint16(1, "DT0", 30) == list(range(30))
        rig.device.error_code = 61
        with pytest.raises(b4k_mew.DeviceError) as raised:
            rig.master.get_uint16(1, "DT0")
        assert raised.value.code == "61"
        rig.device.silent = True  # wins over the code
        rig.master._query_timeout = 0.2
        with pytest.raises(OSError, match="device response timeout"):
            rig.master.get_uint16(1, "DT0")
        rig.master._query_timeout = WAIT
        for bad in (100, -1, True):
            with pytest.raises(ValueError, match="error code must be 0 \\(none\\) to 99, not %s" % bad):
                rig.device.error_code = bad
        rig.device.write_registers("DT", 0, [6])  # the memory stays at hand
        rig.device.silent, rig.device.error_code = False, 0
        assert rig.master.get_uint16(1, "DT0") == 6

        read = "%01#RDD000000000055"
        logged = rig.sim.frames()
        assert [(f.seq, f.station, f.command, f.answer) for f in logged] == [
            (1, 1, T("%01#WDD0004000040" + words(7))[:-1], T("%01$WD")[:-1]),
            (2, 1, "%01#RDD00000000295E", FIRST_FRAME[:-1]),  # a long answer, frame by frame
            (3, 1, "%0124&", "%011B001C001D0050"),
            (4, 1, read, T("%01!61")[:-1]),
            (5, 1, read, ""),
            (6, 1, read, T("%01$RD" + words(6))[:-1]),
        ]
        assert all(abs(f.time - now) < 60 for f in logged)  # seconds since the epoch
        assert rig.sim.frames(after=4) == logged[4:]
        rig.sim.log_frames(0)
        assert rig.sim.frames() == []
        with pytest.raises(ValueError):
            rig.sim.log_frames(100001)
    finally:
        rig.close()


# --- Hooks -----------------------------------------------------------------------------------

def test_hooks_see_what_a_master_does(rig, monkeypatch):
    seen = []
    rig.device.on_write = lambda *call: seen.append(("write",) + call)
    rig.device.on_read = lambda *call: seen.append(("read",) + call)
    rig.master.set_multi_uint16(1, "DT5", [7, 8])
    rig.master.set_coil(1, "R0012", True)
    assert rig.master.get_coil_uint16(1, "WR1") == 4
    rig.master.set_preset_values(1, 2, [9])
    assert seen == [("write", "DT", 5, [7, 8]), ("write", "R", 0x12, [1]), ("read", "WR", 1, [4]),
                    ("write", "SV", 2, [9])]
    # A hook that raises is reported as any callback's error, and the master
    # is answered all the same.
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    rig.device.on_write = lambda *call: 1 / 0
    rig.master.set_uint16(1, "DT9", 99)
    assert rig.device.read_registers("DT", 9, 1) == [99]
    assert [type(r.exc_value) for r in reported] == [ZeroDivisionError]
    rig.device.on_write = rig.device.on_read = None
    assert rig.device.writes == 4


def test_a_device_whose_hook_holds_it_is_collected():
    station_end, _ = linkpair.pair()
    sim = Simulator(station_end)
    device = sim.add_device(1)
    device.on_write = device.write_words
    alive = weakref.ref(device)
    sim.close()
    del sim, device
    gc.collect()
    assert alive() is None


# --- Life cycle ---------------------------------------------------------------------------

def test_start_stop_close_from_any_thread():
    with VirtualLine() as line:
        sim = Simulator(b4k_mew.MewSerial(port=line.port_a))
        sim.add_device(2).write_registers("DT", 0, [42])
        master = b4k_mew.MewMaster(b4k_mew.MewSerial(port=line.port_b), query_timeout=WAIT)
        try:
            for _ in range(2):  # started again after a stop, from another thread
                starter = threading.Thread(target=sim.start)
                starter.start()
                starter.join(WAIT)
                assert master.get_uint16(2, "DT0") == 42
                sim.stop()
                sim.stop()
            sim.devices[4] = Device(4)  # served once put in
            del sim.devices[2]
            sim.start()
            assert master.get_uint16(4, "DT0") == 0
            closer = threading.Thread(target=sim.close)
            closer.start()
            closer.join(WAIT)
            assert not closer.is_alive()
        finally:
            master.close()
            sim.close()


def test_bad_arguments():
    with pytest.raises(ValueError):
        Simulator("/dev/null", frame_limit=100)
    with pytest.raises(ValueError):
        Device(1, kind="robot")
    device = Device(1)
    with pytest.raises(ValueError):
        device.read_registers("DT", 99999, 2)
    with pytest.raises(ValueError):
        device.read_words("Q", 0, 1)
    with pytest.raises(TypeError):
        device.on_write = 5
    device.write_float("FL", 0, 0.1)
    assert device.read_registers("F", 0, 2) == list(struct.unpack("<HH", struct.pack("<f", 0.1)))


# --- The command -------------------------------------------------------------------------

def test_simulate_as_a_controller(running):
    with VirtualLine() as line:
        sim = running([SCRIPT, "simulate", "--port", line.port_a, "--device", "12:plc:DT1000=7:SV3=9", "--plc",
                       "--frame-limit", "118", "--decimal-stations", "--duration", "30", "-v"])
        assert "PLC mode, frame limit 118, decimal stations" in sim.wait_for("simulating")
        sim.wait_for("running")
        master = b4k_mew.MewMaster(b4k_mew.MewSerial(port=line.port_b), query_timeout=WAIT, frame_limit=118,
                                   decimal_stations=True)
        try:
            assert master.get_multi_uint16(12, "DT1000", 60) == [7] + [0] * 59
            assert master.get_preset_values(12, 3, 1) == [9]
            master.set_coils(12, [("R0011", True)])
            with pytest.raises(b4k_mew.DeviceError) as raised:
                master.get_multi_coil_uint16(12, "WR999", 2)
            assert raised.value.code == "61"
        finally:
            master.close()
        assert sim.wait_for("write R0011").split()[1:] == ["station", "12:", "write", "R0011", "=", "1"]
        sim.proc.terminate()
        status, out, err = sim.finish()
    assert (status, err) == (0, "")
    assert out.splitlines()[-1] == "stopped (1 write served)"


@pytest.mark.parametrize("options, message", [
    (["--frame-limit", "100"], "--frame-limit"),
    (["--decimal-stations", "--device", "100:plc"], "cannot be numbered in decimal"),
])
def test_simulate_refuses_bad_options(options, message):
    status, out, err = run("simulate", "--port", "/dev/null", "--device", "1:plc", *options)
    assert (status, out) == (2, "")
    assert err.startswith("b4k-mew: error: ") and message in err and len(err.splitlines()) == 1
