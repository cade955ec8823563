"""A master and a slave against frames as full controllers send them: long
responses in several frames, the "<" header, floats, several contacts, the
controller's status, timers, decimal stations and device error codes."""
import contextlib
import math

import pytest

import b4k_mew
from b4k_mew import MewStatic as M
from conftest import Output
import linkpair
from linkpair import Device

FIRST = ("%01$RD00000100020003000400050006000700080009000A000B000C000D000E000F0010001100120013"
         "001400150016001700180019001A0061&\r")
LAST = "%011B001C001D0050\r"


@pytest.fixture
def out(capsys):
    return Output(capsys, lf_only=True)


@contextlib.contextmanager
def master_with(answer, **kwargs):
    """A master whose device answers every frame with answer(frame)."""
    end, dev = linkpair.pair()
    with Device(dev, answer) as device:
        master = b4k_mew.MewMaster(end, query_timeout=kwargs.pop("query_timeout", 0.5), **kwargs)
        try:
            yield master, device
        finally:
            master.close()


def thirty_words(frame):
    return {"%01#RDD00000000295E\r": FIRST, "%0124&\r": LAST}.get(frame)


def test_a_long_read_comes_in_frames_asked_for_one_by_one():
    with master_with(thirty_words) as (master, device):
        assert master.get_multi_uint16(1, "DT0", 30) == list(range(30))
        assert device.received == ["%01#RDD00000000295E\r", "%0124&\r"]


@pytest.mark.parametrize("last, message", [
    ("%011B001C001D0051\r", "Error: device response check code invalid."),
    (None, "MewMasterBase: device response timeout."),
    (M.append_tail("%01!43"), "MEW communication error code(hex): 43"),
])
def test_a_broken_continuation_fails_the_read(last, message):
    answers = {"%01#RDD00000000295E\r": FIRST, "%0124&\r": last}
    with master_with(answers.get, query_timeout=0.3) as (master, _):
        with pytest.raises(OSError) as error:
            master.get_multi_uint16(1, "DT0", 30)
        assert str(error.value) == message
        # The line is the master's again for the next command.
        answers[M.fill_read_data_area_message(1, "DT0", 1)] = M.append_tail("%01$RD0700")
        assert master.get_uint16(1, "DT0") == 7


def test_a_frame_nobody_asked_for_is_no_answer(out):
    end, dev = linkpair.pair()
    with contextlib.closing(b4k_mew.MewMaster(end, query_timeout=0.5)) as master:
        dev.send_frame(LAST)
        assert out.wait(1) == ["MewBase: Unknown frame type: \r"]
        with Device(dev, {M.fill_read_data_area_message(1, "DT5", 1): M.append_tail("%01$RD0500")}.get):
            assert master.get_uint16(1, "DT5") == 5


class Registers(b4k_mew.MewFullDuplex):
    """A slave with registers holding their own numbers until written."""

    def __init__(self, *args, **kwargs):
        self.memory = {}
        super().__init__(*args, **kwargs)

    def on_get_multi_uint16(self, name, count):
        start = int(name[1:])
        return [self.memory.get(start + i, (start + i) & 0xFFFF) for i in range(count)]

    def on_set_multi_uint16(self, name, values):
        start = int(name[1:])
        self.memory.update((start + i, v) for i, v in enumerate(values))


@pytest.mark.parametrize("limit, header, writes", [(118, "%", 5), (2048, "<", 1)])
def test_long_reads_and_writes_between_stations_with_a_frame_limit(limit, header, writes):
    end, dev = linkpair.pair()
    with contextlib.closing(Registers(dev, slave_station=1, frame_limit=limit)), \
            contextlib.closing(b4k_mew.MewMaster(end, frame_limit=limit, query_timeout=1)) as master:
        assert master.get_multi_uint16(1, "DT0", 500) == list(range(500))
        end.sent.clear()
        master.set_multi_uint16(1, "DT1000", list(range(40000, 40100)))
        assert len(end.sent) == writes
        assert all(f[0] == header and len(f) <= limit for f in end.sent)
        assert all(len(f) <= limit for f in dev.sent)
        assert master.get_multi_uint16(1, "DT1000", 100) == list(range(40000, 40100))
        master.set_float32(1, "DT100", 1.5)
        assert master.get_float32(1, "DT100") == 1.5


def test_a_command_that_breaks_into_a_transfer_ends_it_with_error_43():
    end, dev = linkpair.pair()
    with contextlib.closing(Registers(dev, slave_station=1, frame_limit=118)):
        dev_side = linkpair.Device(end, lambda frame: None)
        with dev_side:
            end.send_frame("%01#RDD00000000295E\r")
            assert linkpair.wait_until(lambda: len(dev.sent) == 1)
            assert dev.sent[0] == FIRST
            end.send_frame(M.fill_read_data_area_message(1, "DT0", 1))
            assert linkpair.wait_until(lambda: len(dev.sent) == 2)
            assert dev.sent[1] == M.append_tail("%01!43")
            end.send_frame("%01**&\r")  # the transfer is over: nothing left to send
            end.send_frame(M.fill_read_data_area_message(1, "DT3", 1))
            assert linkpair.wait_until(lambda: len(dev.sent) == 3)
            assert dev.sent[2] == M.append_tail("%01$RD0300")


def test_reads_split_at_max_read_words():
    words = {}

    def answer(frame):
        start, end = int(frame[7:12]), int(frame[12:17])
        words[frame] = end - start + 1
        return M.append_tail("%01$RD" + "".join("%02X%02X" % (n & 255, n >> 8) for n in range(start, end + 1)))

    with master_with(answer, max_read_words=26) as (master, device):
        assert master.get_multi_uint16(1, "DT10", 60) == list(range(10, 70))
        assert [words[f] for f in device.received] == [26, 26, 8]


def test_floats_contacts_status_and_timers_on_the_wire():
    answers = {
        "%01#WDD00100001010000C03F57\r": "%01$WD13\r",
        M.fill_read_data_area_message(1, "DT100", 2): "%01$RD0000C03F10\r",
        "%01#RCP2X0000Y001A05\r": "%01$RC1010\r",
        "%01#WCP2Y00001R001007A\r": "%01$WC14\r",
        "%01#RT01\r": M.append_tail("%01$RT5012320100043412"),
        "%01#RS0000000503\r": M.append_tail("%01$RS" + "0A00" * 6),
        "%01#WK0000000000001B\r": M.append_tail("%01$WK"),
    }
    with master_with(answers.get) as (master, device):
        master.set_float32(1, "DT100", 1.5)
        assert master.get_multi_float32(1, "DT100", 1) == [1.5]
        assert master.get_coils(1, ["X0000", "Y001A"]) == [True, False]
        master.set_coils(1, [("Y0000", True), ("R0010", False)])
        status = master.get_status(1)
        assert status == b4k_mew.PlcStatus(0x50, 0x12, 32, 1, True, 0, 4, 0x1234)
        assert status.run and status.capacity == 32
        assert master.get_preset_values(1, 0, 6) == [10] * 6
        master.set_elapsed_values(1, 0, [0])
        assert set(device.received) <= set(answers)


@pytest.mark.parametrize("call, error", [
    (lambda m: m.set_float32(1, "DT0", math.nan), ValueError),
    (lambda m: m.set_multi_float32(1, "DT0", [1.0, math.inf]), ValueError),
    (lambda m: m.set_float32(1, "DT0", 1e39), OverflowError),
    (lambda m: m.get_coils(1, ["X0000"] * 9), ValueError),
    (lambda m: m.set_coils(1, []), ValueError),
    (lambda m: m.set_coils(1, [("Y0", True, 1)]), ValueError),
    (lambda m: m.get_preset_values(1, 9999, 2), ValueError),
])
def test_bad_values_are_refused_before_anything_is_sent(call, error):
    with master_with(lambda frame: None) as (master, device):
        with pytest.raises(error):
            call(master)
        assert device.received == [] and master._channel.sent == []


def test_decimal_stations_and_ee():
    answers = {M.append_tail("%23#RCSR0010"): M.append_tail("%23$RC1"),
               M.append_tail("%EE#RCSR0010"): M.append_tail("%EE$RC0")}
    with master_with(answers.get, decimal_stations=True) as (master, device):
        assert master.get_coil(23, "R0010") is True
        assert master.get_coil(b4k_mew.STATION_EE, "R0010") is False
        with pytest.raises(ValueError, match="decimal numbering: 100"):
            master.get_coil(100, "R0010")
        assert len(device.received) == 2
        master.decimal_stations = False
        assert master._channel.sent[-1].startswith("%EE") and not master.decimal_stations


def test_device_errors_carry_code_and_meaning():
    with master_with(lambda frame: M.append_tail("%01!61")) as (master, _):
        with pytest.raises(b4k_mew.DeviceError) as error:
            master.get_uint16(1, "DT99999")
    assert str(error.value) == "MEW communication error code(hex): 61"
    assert (error.value.code, error.value.meaning) == ("61", "data error (area or range)")
    assert isinstance(error.value, OSError)


def test_new_operations_are_built_on_overridable_ones():
    class Scaled(b4k_mew.MewMaster):
        def get_multi_uint16(self, station, name, count):
            return [0, 0x3FC0][:count]  # 1.5, low word first

    with master_with(lambda frame: None) as (master, _):
        scaled = Scaled(master._channel)
        try:
            assert scaled.get_float32(1, "DT0") == 1.5
        finally:
            scaled.stop()


@pytest.mark.parametrize("kwargs, message", [
    ({"frame_limit": 100}, "frame limit must be 0 (none), 118 or 2048: 100"),
    ({"max_read_words": -1}, "max_read_words must not be negative: -1"),
])
def test_bad_line_formats_are_refused_before_the_port_opens(kwargs, message):
    with pytest.raises(ValueError) as error:
        b4k_mew.MewMaster("/dev/ttyNONEXISTENT", **kwargs)
    assert str(error.value) == message
