"""Tests of MewMaster: the frame each typed read and write sends, the value
it makes of the answer, what it refuses before sending, and how Python
subclasses take part in its calls.

A scripted device plays the far end of an in-process line: it records every
command frame and answers it with a scripted response.
"""
import functools
import operator
import struct
import threading
import time

import pytest

import b4k_mew
from b4k_mew import MewStatic

from linkpair import Device, pair

TIMEOUT_MESSAGE = "MewMasterBase: device response timeout."


def frame(body):
    """A complete frame, its check code computed here and not by the library,
    so that the frames the master sends are checked against an independent
    model."""
    bcc = functools.reduce(operator.xor, body.encode("ascii"), 0)
    return "%s%02X\r" % (body, bcc)


def answer_with(reply):
    """The device's behaviour: None stays silent, a text is the response body
    to every command (its check code and CR are added), a list is one body
    per command in turn, a callable maps the command frame to a body."""
    if reply is None:
        return lambda command: None
    if callable(reply):
        def answer(command):
            body = reply(command)
            return None if body is None else MewStatic.append_tail(body)
        return answer
    if isinstance(reply, list):
        bodies = iter(reply)
        return lambda command: MewStatic.append_tail(next(bodies))
    return lambda command: MewStatic.append_tail(reply)


def code_of(method):
    """The response code of a read operation's command."""
    return "RC" if "coil" in method else "RD"


class Rig:
    """Masters on lines to scripted devices; everything it made is closed by
    the fixture, also when a test fails."""

    def __init__(self):
        self._masters = []
        self._devices = []

    def __call__(self, reply=None, cls=b4k_mew.MewMaster, query_timeout=0.5, **kwargs):
        # Frames cross the line in one piece, so a short read time-out only
        # makes the receiver notice a stop sooner.
        station_end, device_end = pair(timeout=0.02)
        device = Device(device_end, answer_with(reply))
        device.__enter__()
        self._devices.append(device)
        master = cls(station_end, query_timeout=query_timeout, **kwargs)
        self._masters.append(master)
        # What the master wrote, recorded the moment it was written.
        device.sent_by_master = station_end.sent
        return master, device

    def close(self):
        # Closing the device's end first wakes its thread at once.
        for device in self._devices:
            device.end.close()
        for master in self._masters:
            master.close()
        for device in self._devices:
            device.__exit__(None, None, None)


@pytest.fixture
def rig():
    r = Rig()
    try:
        yield r
    finally:
        r.close()


def nothing_sent(device):
    return device.sent_by_master == [] and device.received == []


# --- Every operation: the frame it sends, the value it returns -----------------

OPERATIONS = [
    # (method, arguments, command body sent, response body, result)
    ("get_coil", (1, "Y10"), "%01#RCSY0010", "%01$RC1", True),
    ("get_coil_uint16", (1, "WX0"), "%01#RCCX00000000", "%01$RC3412", 4660),
    ("get_multi_coil_uint16", (1, "WX0", 2), "%01#RCCX00000001", "%01$RC34127856", [4660, 22136]),
    ("get_uint16", (1, "DT100"), "%01#RDD0010000100", "%01$RD3412", 4660),
    ("get_multi_uint16", (1, "DT100", 2), "%01#RDD0010000101", "%01$RD34127856", [4660, 22136]),
    ("get_int16", (1, "DT100"), "%01#RDD0010000100", "%01$RDFFFF", -1),
    ("get_uint32", (1, "DT100"), "%01#RDD0010000101", "%01$RD78563412", 305419896),
    ("get_int32", (1, "DT100"), "%01#RDD0010000101", "%01$RDFEFFFFFF", -2),
    ("get_multi_uint32", (1, "DT100", 2), "%01#RDD0010000103", "%01$RD78563412FFFFFFFF",
     [305419896, 4294967295]),
    ("get_multi_int32", (1, "DT100", 2), "%01#RDD0010000103", "%01$RDFEFFFFFF00000080", [-2, -2147483648]),
    ("set_coil", (1, "Y10", True), "%01#WCSY00101", "%01$WC", None),
    ("set_coil_uint16", (1, "WY0", 4660), "%01#WCCY000000003412", "%01$WC", None),
    ("set_multi_coil_uint16", (1, "WY0", [4660, 5]), "%01#WCCY0000000134120500", "%01$WC", None),
    ("set_uint16", (1, "DT100", 1), "%01#WDD00100001000100", "%01$WD", None),
    ("set_multi_uint16", (1, "DT100", [1, 43981]), "%01#WDD00100001010100CDAB", "%01$WD", None),
    ("set_uint32", (1, "DT100", 305419896), "%01#WDD001000010178563412", "%01$WD", None),
    ("set_int16", (1, "DT100", -1), "%01#WDD0010000100FFFF", "%01$WD", None),
    ("set_int32", (1, "DT100", -2), "%01#WDD0010000101FEFFFFFF", "%01$WD", None),
    ("set_multi_int16", (1, "DT100", [-1, 2, -32768]), "%01#WDD0010000102FFFF02000080", "%01$WD", None),
    ("set_multi_uint32", (1, "DT100", [305419896, 1]), "%01#WDD00100001037856341201000000", "%01$WD", None),
    ("set_multi_int32", (1, "DT100", [-2, 1]), "%01#WDD0010000103FEFFFFFF01000000", "%01$WD", None),
    ("get_float32", (1, "DT100"), "%01#RDD0010000101", "%01$RD0000C03F", 1.5),
    ("get_multi_float32", (1, "DT100", 2), "%01#RDD0010000103", "%01$RD0000C03F000000C0", [1.5, -2.0]),
    ("set_float32", (1, "DT100", 1.5), "%01#WDD00100001010000C03F", "%01$WD", None),
    ("set_multi_float32", (1, "DT100", [1.5, -2]), "%01#WDD00100001030000C03F000000C0", "%01$WD", None),
    ("get_coils", (1, ["X0000", "Y001A"]), "%01#RCP2X0000Y001A", "%01$RC10", [True, False]),
    ("set_coils", (1, [("Y0000", True), ("R0010", False)]), "%01#WCP2Y00001R00100", "%01$WC", None),
    ("get_status", (1,), "%01#RT", "%01$RT5012320100043412",
     b4k_mew.PlcStatus(0x50, 0x12, 32, 1, True, 0, 4, 0x1234)),
    ("get_preset_values", (1, 0, 2), "%01#RS00000001", "%01$RS0A001400", [10, 20]),
    ("set_preset_values", (1, 0, [10]), "%01#WS000000000A00", "%01$WS", None),
    ("get_elapsed_values", (1, 5, 1), "%01#RK00050005", "%01$RKFFFF", [65535]),
    ("set_elapsed_values", (1, 0, [0]), "%01#WK000000000000", "%01$WK", None),
]
OPERATION_IDS = [op[0] for op in OPERATIONS]
# The operations on a contact or register name, all with the same arguments.
NAMED = [op for op in OPERATIONS if len(op[1]) > 1 and isinstance(op[1][1], str)]
NAMED_IDS = [op[0] for op in NAMED]


def operations(*names):
    return [op for op in OPERATIONS if op[0] in names]


def test_every_operation_is_covered():
    public = {n for n in dir(b4k_mew.MewMaster) if n.startswith(("get_", "set_"))}
    assert public == set(OPERATION_IDS)
    assert len(OPERATIONS) == 32


@pytest.mark.parametrize("method, args, command, response, result", OPERATIONS, ids=OPERATION_IDS)
def test_operation_frame_and_result(rig, method, args, command, response, result):
    master, device = rig(response)
    got = getattr(master, method)(*args)
    assert got == result
    assert type(got) is type(result)
    assert device.received == [frame(command)]
    assert device.sent_by_master == [frame(command)]


@pytest.mark.parametrize("method, args, command, response, result", NAMED, ids=NAMED_IDS)
def test_operation_by_keyword(rig, method, args, command, response, result):
    names = ("station", "name", "value" if method.startswith("set_") else "count")
    if method.startswith("set_multi_"):
        names = ("station", "name", "values")
    master, device = rig(response)
    assert getattr(master, method)(**dict(zip(names, args))) == result
    assert device.received == [frame(command)]


def outcome(call):
    try:
        result = call()
        return type(result), result
    except Exception as e:  # noqa: BLE001 - the outcome compared is the error itself
        return type(e), str(e)


# The reads of one value enter by a quicker way when called by position; a
# call by keyword takes the general one. Both end alike, whatever they get.
@pytest.mark.parametrize("station, name", [(1, "DT100"), (True, "DT100"), (None, "DT100"), (-1, "DT100"),
                                           (1.5, "DT100"), (2 ** 70, "DT100"), (1, ""), (1, "DT1\r"),
                                           (1, "D\u00e9"), (1, "WX")], ids=repr)
@pytest.mark.parametrize("method", ["get_coil", "get_coil_uint16", "get_uint16", "get_int16", "get_uint32",
                                    "get_int32", "get_float32"])
def test_read_by_position_as_by_keyword(rig, method, station, name):
    def answer(command):  # as many words as asked, or the contact
        code, fields = command[4:7], command[8:-3]
        width = 4 if code == "RCC" else 5
        words = 1 if code == "RCS" else int(fields[width:2 * width]) - int(fields[:width]) + 1
        return command[:3] + "$" + code[:2] + ("1" if code == "RCS" else "3412" * words)
    master, device = rig(answer)
    read = getattr(master, method)
    assert outcome(lambda: read(station, name)) == outcome(lambda: read(station=station, name=name))
    assert device.received[::2] == device.received[1::2]


@pytest.mark.parametrize("station, field", [(0, "00"), (1, "01"), (10, "0A"), (255, "FF"), (256, "100"),
                                            (4660, "1234")])
def test_station_field(rig, station, field):
    master, device = rig("%" + field + "$RD3412")
    assert master.get_uint16(station, "DT100") == 4660
    assert device.received == [frame("%" + field + "#RDD0010000100")]


@pytest.mark.parametrize("method, args, command", [
    ("get_uint16", (1, "D100"), "%01#RDD0010000100"),
    ("get_uint16", (1, "S0"), "%01#RDS0000000000"),
    ("get_multi_uint16", (1, "LD5", 3), "%01#RDL0000500007"),
    ("get_coil_uint16", (1, "WY12"), "%01#RCCY00120012"),
    ("get_multi_coil_uint16", (1, "WR100", 2), "%01#RCCR01000101"),
    ("get_coil", (1, "X1F"), "%01#RCSX001F"),
    ("get_coil", (1, "Y0010"), "%01#RCSY0010"),
])
def test_addresses(rig, method, args, command):
    count = args[2] if len(args) > 2 else 1
    master, device = rig("%01$" + code_of(method) + "0000" * count)
    getattr(master, method)(*args)
    assert device.received == [frame(command)]


# --- Reads: decoding -------------------------------------------------------------

@pytest.mark.parametrize("method, args, data, result", [
    ("get_multi_uint16", (1, "DT100", 2), "34127856", [4660, 22136]),
    ("get_uint32", (1, "DT100"), "34127856", 1450709556),
    ("get_uint32", (1, "DT100"), "78563412", 305419896),
    ("get_uint32", (1, "DT100"), "FFFFFFFF", 4294967295),
    ("get_uint32", (1, "DT100"), "00000080", 2147483648),
    ("get_int32", (1, "DT100"), "FEFFFFFF", -2),
    ("get_int32", (1, "DT100"), "00000080", -2147483648),
    ("get_int32", (1, "DT100"), "FFFFFF7F", 2147483647),
    ("get_int32", (1, "DT100"), "78563412", 305419896),
    ("get_int16", (1, "DT100"), "FFFF", -1),
    ("get_int16", (1, "DT100"), "0080", -32768),
    ("get_int16", (1, "DT100"), "FF7F", 32767),
    ("get_int16", (1, "DT100"), "0000", 0),
    ("get_uint16", (1, "DT100"), "FFFF", 65535),
    ("get_uint16", (1, "DT100"), "0080", 32768),
    ("get_multi_int32", (1, "DT100", 2), "FFFFFFFFFFFFFF7F", [-1, 2147483647]),
    ("get_multi_uint32", (1, "DT100", 1), "00000100", [65536]),
    ("get_multi_coil_uint16", (1, "WX0", 3), "010002000300", [1, 2, 3]),
])
def test_read_decoding(rig, method, args, data, result):
    master, _ = rig("%01$" + code_of(method) + data)
    assert getattr(master, method)(*args) == result


@pytest.mark.parametrize("method, args, data, result", [
    ("get_uint16", (1, "DT100"), "ffff", 65535),
    ("get_uint16", (1, "DT100"), "cdab", 43981),
    ("get_uint16", (1, "DT100"), "cdAB", 43981),
    ("get_int16", (1, "DT100"), "feff", -2),
    ("get_coil_uint16", (1, "WX0"), "ffff", 65535),
    ("get_multi_uint16", (1, "DT100", 2), "abcdef01", [52651, 495]),
    ("get_uint32", (1, "DT100"), "78563412", 305419896),
    ("get_uint32", (1, "DT100"), "efbeadde", 3735928559),
    ("get_int32", (1, "DT100"), "feffffff", -2),
    ("get_multi_int32", (1, "DT100", 1), "feffffff", [-2]),
])
def test_lower_case_digits(rig, method, args, data, result):
    master, _ = rig("%01$" + code_of(method) + data)
    assert getattr(master, method)(*args) == result


@pytest.mark.parametrize("data, result", [("1", True), ("0", False), ("10", True), ("01", False),
                                          ("X", False), ("11", True)])
def test_get_coil_first_character(rig, data, result):
    master, _ = rig("%01$RC" + data)
    assert master.get_coil(1, "Y10") is result


def test_get_coil_empty_data(rig):
    master, _ = rig("%01$RC")
    with pytest.raises(IndexError, match="string index out of range"):
        master.get_coil(1, "Y10")


# The returned text must be exactly 4 characters per word plus the two code
# letters; every read built on the word list inherits the check.
LENGTH_CASES = [
    ("get_multi_uint16", (1, "DT100", 2), "RD3412785"),
    ("get_multi_uint16", (1, "DT100", 2), "RD341278560"),
    ("get_multi_uint16", (1, "DT100", 2), "RD"),
    ("get_uint32", (1, "DT100"), "RD3412785"),
    ("get_uint32", (1, "DT100"), "RD341278560"),
    ("get_int32", (1, "DT100"), "RD341278560"),
    ("get_multi_uint32", (1, "DT100", 1), "RD3412785"),
    ("get_multi_int32", (1, "DT100", 1), "RD341278560"),
    ("get_uint16", (1, "DT100"), "RD34127"),
    ("get_uint16", (1, "DT100"), "RD341"),
    ("get_int16", (1, "DT100"), "RD34127"),
    ("get_coil_uint16", (1, "WX0"), "RC341"),
    ("get_multi_coil_uint16", (1, "WX0", 2), "RC3412785"),
    ("get_multi_coil_uint16", (1, "WX0", 2), "RC341278560"),
]


@pytest.mark.parametrize("method, args, text", LENGTH_CASES)
def test_feedback_length(rig, method, args, text):
    master, device = rig(["%01$" + text, "%01$RD0000"])
    with pytest.raises(OSError) as info:
        getattr(master, method)(*args)
    assert str(info.value) == "Invalid feedback format: %s" % text
    assert len(device.received) == 1
    # The master is ready for the next exchange.
    assert master.get_uint16(1, "DT0") == 0


def test_feedback_length_then_next_read(rig):
    master, _ = rig(["%01$RD3412785", "%01$RD34127856"])
    with pytest.raises(OSError, match="^Invalid feedback format: RD3412785$"):
        master.get_multi_uint16(1, "DT100", 2)
    assert master.get_multi_uint16(1, "DT100", 2) == [4660, 22136]


@pytest.mark.parametrize("data", ["GGGG", "zz00", "0x12", "-1-1"])
def test_word_not_hexadecimal(rig, data):
    master, _ = rig("%01$RD" + data)
    with pytest.raises(ValueError):
        master.get_uint16(1, "DT100")


def test_get_multi_int32_sends_one_command(rig):
    master, device = rig("%01$RD" + "FEFFFFFF" * 2)
    assert master.get_multi_int32(1, "DT100", 2) == [-2, -2]
    assert device.received == [frame("%01#RDD0010000103")]


# --- Writes: conversion --------------------------------------------------------------

def write_body(words, start="00100"):
    """The "WD" command body for `words` written from DT<start>."""
    end = "%05d" % (int(start) + len(words) - 1)
    return "%01#WDD" + start + end + "".join("%02X%02X" % (w & 255, w >> 8) for w in words)


@pytest.mark.parametrize("method, value, words", [
    ("set_uint32", 305419896, [22136, 4660]),
    ("set_uint32", 0, [0, 0]),
    ("set_uint32", 4294967295, [65535, 65535]),
    ("set_uint32", -1, [65535, 65535]),
    ("set_uint32", -2, [65534, 65535]),
    ("set_uint32", 2 ** 32, [0, 0]),
    ("set_uint32", 2 ** 32 + 305419896, [22136, 4660]),
    ("set_uint32", 2 ** 40, [0, 0]),
    ("set_uint32", 2 ** 40 + 65537, [1, 1]),
    ("set_uint32", 2 ** 70, [0, 0]),
    ("set_uint32", 2 ** 70 - 1, [65535, 65535]),
    ("set_uint32", -2 ** 70 + 5, [5, 0]),
    ("set_int16", -1, [65535]),
    ("set_int16", -32768, [32768]),
    ("set_int16", 32767, [32767]),
    ("set_int16", 0, [0]),
    ("set_int32", -2, [65534, 65535]),
    ("set_int32", -2147483648, [0, 32768]),
    ("set_int32", 2147483647, [65535, 32767]),
    ("set_uint16", 65535, [65535]),
    ("set_uint16", 0, [0]),
    ("set_multi_uint16", [0, 65535, 4660], [0, 65535, 4660]),
    ("set_multi_int16", [1, -1, -32768, 32767], [1, 65535, 32768, 32767]),
    ("set_multi_uint32", [-1, 2 ** 32, 2 ** 40, 2 ** 70 + 1], [65535, 65535, 0, 0, 0, 0, 1, 0]),
    ("set_multi_uint32", [305419896], [22136, 4660]),
    ("set_multi_int32", [-2147483648, 2147483647, -1], [0, 32768, 65535, 32767, 65535, 65535]),
])
def test_write_conversion(rig, method, value, words):
    master, device = rig("%01$WD")
    assert getattr(master, method)(1, "DT100", value) is None
    assert device.received == [frame(write_body(words))]


@pytest.mark.parametrize("value, bit", [(True, "1"), (1, "1"), (5, "1"), ("x", "1"), ([0], "1"),
                                        (False, "0"), (0, "0"), (None, "0"), ("", "0"), ([], "0")])
def test_set_coil_truth(rig, value, bit):
    master, device = rig("%01$WC")
    master.set_coil(1, "Y10", value)
    assert device.received == [frame("%01#WCSY0010" + bit)]


def test_response_to_another_command_is_dropped(rig, capsys):
    # A read's answer arriving while a write waits (a late one, say) is
    # not the write's acknowledgement; the write's own answer still counts.
    master, device = rig()
    read_answer = MewStatic.append_tail("%01$RDFFFF")
    device.answer = lambda command: read_answer + MewStatic.append_tail("%01$WD")
    assert master.set_uint16(1, "DT100", 1) is None
    assert capsys.readouterr().out == "MewMasterBase: Drop response to another command: %s\n" % read_answer


# --- Refused before anything is sent ----------------------------------------------------

REFUSED = [
    # count below 1
    (AssertionError, "get_multi_uint16", (1, "DT100", 0)),
    (AssertionError, "get_multi_uint16", (1, "DT100", -1)),
    (AssertionError, "get_multi_coil_uint16", (1, "WX0", 0)),
    (AssertionError, "get_multi_coil_uint16", (1, "WX0", -3)),
    (AssertionError, "get_multi_uint32", (1, "DT100", 0)),
    (AssertionError, "get_multi_uint32", (1, "DT100", -1)),
    (AssertionError, "get_multi_int32", (1, "DT100", 0)),
    (AssertionError, "get_multi_int32", (1, "DT100", -2)),
    # empty lists
    (AssertionError, "set_multi_uint16", (1, "DT100", [])),
    (AssertionError, "set_multi_coil_uint16", (1, "WY0", [])),
    (AssertionError, "set_multi_int16", (1, "DT100", [])),
    (AssertionError, "set_multi_uint32", (1, "DT100", [])),
    (AssertionError, "set_multi_int32", (1, "DT100", [])),
    # negative words
    (AssertionError, "set_uint16", (1, "DT100", -1)),
    (AssertionError, "set_multi_uint16", (1, "DT100", [1, -1])),
    (AssertionError, "set_coil_uint16", (1, "WY0", -1)),
    (AssertionError, "set_multi_coil_uint16", (1, "WY0", [0, -65536])),
    (AssertionError, "set_uint16", (1, "DT100", -2 ** 70)),
    # contact words without "W"
    (AssertionError, "get_coil_uint16", (1, "X0")),
    (AssertionError, "get_multi_coil_uint16", (1, "X0", 2)),
    (AssertionError, "set_coil_uint16", (1, "Y0", 1)),
    (AssertionError, "set_multi_coil_uint16", (1, "Y0", [1, 2])),
    # signed values out of range
    (struct.error, "set_int16", (1, "DT100", 32768)),
    (struct.error, "set_int16", (1, "DT100", -32769)),
    (struct.error, "set_int16", (1, "DT100", 2 ** 70)),
    (struct.error, "set_int32", (1, "DT100", 2 ** 31)),
    (struct.error, "set_int32", (1, "DT100", -2 ** 31 - 1)),
    (struct.error, "set_int32", (1, "DT100", -2 ** 70)),
    (struct.error, "set_multi_int16", (1, "DT100", [1, 40000])),
    (struct.error, "set_multi_int16", (1, "DT100", [-32769])),
    (struct.error, "set_multi_int32", (1, "DT100", [0, 2 ** 31])),
    (struct.error, "set_multi_int32", (1, "DT100", [2 ** 64, 0])),
    # words above 65535
    (ValueError, "set_uint16", (1, "DT100", 65536)),
    (ValueError, "set_uint16", (1, "DT100", 2 ** 80)),
    (ValueError, "set_multi_uint16", (1, "DT100", [1, 65536])),
    (ValueError, "set_multi_uint16", (1, "DT100", [2 ** 64])),
    (ValueError, "set_coil_uint16", (1, "WY0", 70000)),
    (ValueError, "set_coil_uint16", (1, "WY0", 2 ** 70)),
    (ValueError, "set_multi_coil_uint16", (1, "WY0", [65535, 65536])),
    (ValueError, "set_multi_coil_uint16", (1, "WY0", [2 ** 63])),
]


@pytest.mark.parametrize("error, method, args", REFUSED,
                         ids=["%s-%s-%r" % (e.__name__, m, a[1:]) for e, m, a in REFUSED])
def test_refused_before_sending(rig, error, method, args):
    master, device = rig("%01$RD" + "0000" * 8)
    with pytest.raises(error):
        getattr(master, method)(*args)
    assert nothing_sent(device)


@pytest.mark.parametrize("name", [5, 1.5, b"DT100", ["DT100"], None], ids=repr)
@pytest.mark.parametrize("method, args, command, response, result", NAMED, ids=NAMED_IDS)
def test_name_of_wrong_type(rig, method, args, command, response, result, name):
    master, device = rig(response)
    with pytest.raises(TypeError):
        getattr(master, method)(args[0], name, *args[2:])
    assert nothing_sent(device)


# --- Errors of the exchange -----------------------------------------------------------

@pytest.mark.parametrize("method, args, command, response, result", OPERATIONS, ids=OPERATION_IDS)
def test_error_response(rig, method, args, command, response, result):
    master, device = rig("%01!42", query_timeout=5)
    begin = time.monotonic()
    with pytest.raises(OSError) as info:
        getattr(master, method)(*args)
    elapsed = time.monotonic() - begin
    assert str(info.value) == "MEW communication error code(hex): 42"
    # Far less than the time-out: an error response ends the wait.
    assert elapsed < 4
    assert device.received == [frame(command)]


@pytest.mark.parametrize("code", ["42", "60", "ab"])
def test_error_code_as_sent(rig, code):
    master, _ = rig("%01!" + code)
    with pytest.raises(OSError, match="^MEW communication error code\\(hex\\): %s$" % code):
        master.get_uint16(1, "DT100")


TIMED_OUT = operations("get_coil", "get_multi_uint16", "get_multi_uint32", "set_coil", "set_uint32",
                       "set_multi_int32")


@pytest.mark.parametrize("method, args, command, response, result", TIMED_OUT, ids=[op[0] for op in TIMED_OUT])
def test_timeout(rig, method, args, command, response, result):
    master, device = rig(None, query_timeout=0.2)
    with pytest.raises(OSError) as info:
        getattr(master, method)(*args)
    assert str(info.value) == TIMEOUT_MESSAGE
    assert device.sent_by_master == [frame(command)]


@pytest.mark.parametrize("response, message", [
    ("%02$RD3412", "Error: station not match: expected 1, got 2"),
    ("%01$", "Error: device response format invalid: length too small: 7"),
])
def test_query_errors_pass_through(rig, response, message):
    master, _ = rig([response, "%01$RD3412"])
    with pytest.raises(OSError) as info:
        master.get_uint16(1, "DT100")
    assert str(info.value) == message
    assert master.get_uint16(1, "DT100") == 4660


def test_after_stop_reads_time_out(rig):
    master, device = rig("%01$RD3412", query_timeout=0.2)
    assert master.get_uint16(1, "DT100") == 4660
    master.stop()
    with pytest.raises(OSError, match="^" + TIMEOUT_MESSAGE + "$"):
        master.get_uint16(1, "DT100")


def test_threads_get_their_own_answers(rig):
    def by_register(command):
        reg = int(command[7:12])
        return "%%01$RD%02X%02X" % (reg & 255, reg >> 8)

    master, _ = rig(by_register, query_timeout=2)
    results, errors = {}, []

    def reader(first):
        try:
            results[first] = [master.get_uint16(1, "DT%d" % reg) for reg in range(first, first + 20)]
        except Exception as e:  # reported below
            errors.append(e)

    threads = [threading.Thread(target=reader, args=(first,)) for first in (100, 1000, 5000)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert not any(t.is_alive() for t in threads)
    assert errors == []
    for first, got in results.items():
        assert got == list(range(first, first + 20))


# --- Python subclasses -----------------------------------------------------------------

class StartCounting(b4k_mew.MewMaster):
    def __init__(self, *args, **kwargs):
        self.start_calls = 0
        super().__init__(*args, **kwargs)

    def start(self):
        self.start_calls += 1
        super().start()


def test_constructor_calls_start_dynamically(rig):
    master, device = rig("%01$RD3412", cls=StartCounting)
    assert master.start_calls == 1
    # super().start() started the receiver: the master answers.
    assert master.get_uint16(1, "DT100") == 4660


class NeverStarts(b4k_mew.MewMaster):
    def start(self):
        self.started_by = "subclass"


def test_start_override_replaces_start(rig):
    master, device = rig("%01$RD3412", cls=NeverStarts, query_timeout=0.2)
    assert master.started_by == "subclass"
    # The library's start never ran, so no receiver hands the answer over.
    with pytest.raises(OSError, match="^" + TIMEOUT_MESSAGE + "$"):
        master.get_uint16(1, "DT100")


def recording(method, result):
    """A MewMaster subclass whose `method` records its arguments and returns
    `result` without touching the line."""
    def override(self, *args):
        self.calls.append((method,) + args)
        return result

    return type("Override_" + method, (b4k_mew.MewMaster,), {method: override, "calls": None})


# (overridden method, what it returns, call made, call it receives, result)
DISPATCH = [
    ("get_multi_uint16", [0xFFFE], ("get_uint16", 1, "DT5"), ("get_multi_uint16", 1, "DT5", 1), 65534),
    ("get_multi_uint16", [0xFFFE], ("get_int16", 1, "DT5"), ("get_multi_uint16", 1, "DT5", 1), -2),
    ("get_multi_uint16", [0xFFFE, 0xFFFF], ("get_uint32", 2, "DT5"), ("get_multi_uint16", 2, "DT5", 2),
     4294967294),
    ("get_multi_uint16", [0xFFFE, 0xFFFF], ("get_int32", 2, "DT5"), ("get_multi_uint16", 2, "DT5", 2), -2),
    ("get_multi_uint16", [1, 0, 0xFFFF, 0xFFFF], ("get_multi_uint32", 3, "DT5", 2),
     ("get_multi_uint16", 3, "DT5", 4), [1, 4294967295]),
    ("get_multi_uint16", [1, 0, 0xFFFF, 0xFFFF], ("get_multi_int32", 3, "DT5", 2),
     ("get_multi_uint16", 3, "DT5", 4), [1, -1]),
    ("get_uint16", 40000, ("get_int16", 1, "DT5"), ("get_uint16", 1, "DT5"), 40000 - 65536),
    ("get_uint32", 4294967295, ("get_int32", 1, "DT5"), ("get_uint32", 1, "DT5"), -1),
    ("get_multi_uint32", [4294967295, 7], ("get_multi_int32", 1, "DT5", 2), ("get_multi_uint32", 1, "DT5", 2),
     [-1, 7]),
    ("get_multi_coil_uint16", [77], ("get_coil_uint16", 1, "WX2"), ("get_multi_coil_uint16", 1, "WX2", 1), 77),
    ("set_multi_uint16", None, ("set_uint32", 1, "DT5", 305419896),
     ("set_multi_uint16", 1, "DT5", [22136, 4660]), None),
    ("set_multi_uint16", None, ("set_uint32", 1, "DT5", -1), ("set_multi_uint16", 1, "DT5", [65535, 65535]), None),
    ("set_multi_uint16", None, ("set_int32", 1, "DT5", -2), ("set_multi_uint16", 1, "DT5", [65534, 65535]), None),
    ("set_multi_uint16", None, ("set_multi_int16", 1, "DT5", [-1, 3]),
     ("set_multi_uint16", 1, "DT5", [65535, 3]), None),
    ("set_multi_uint16", None, ("set_multi_uint32", 1, "DT5", [305419896, 2 ** 32 + 1]),
     ("set_multi_uint16", 1, "DT5", [22136, 4660, 1, 0]), None),
    ("set_multi_uint16", None, ("set_multi_int32", 1, "DT5", [-2, 3]),
     ("set_multi_uint16", 1, "DT5", [65534, 65535, 3, 0]), None),
    ("set_uint16", None, ("set_int16", 1, "DT5", -1), ("set_uint16", 1, "DT5", 65535), None),
    ("set_uint32", None, ("set_int32", 1, "DT5", -1), ("set_uint32", 1, "DT5", 4294967295), None),
    ("set_multi_uint32", None, ("set_multi_int32", 1, "DT5", [-1, 2]),
     ("set_multi_uint32", 1, "DT5", [4294967295, 2]), None),
]


@pytest.mark.parametrize("method, returns, call, received, result", DISPATCH,
                         ids=["%s-via-%s" % (d[2][0], d[0]) for d in DISPATCH])
def test_subclass_override_is_used(rig, method, returns, call, received, result):
    master, device = rig(None, cls=recording(method, returns))
    master.calls = []
    assert getattr(master, call[0])(*call[1:]) == result
    assert master.calls == [received]
    assert nothing_sent(device)


@pytest.mark.parametrize("method, call, frame", [
    ("set_multi_uint16", ("set_uint16", 1, "DT5", 7), "%01#WDD00005000050700"),
    ("set_multi_uint16", ("set_int16", 1, "DT5", -2), "%01#WDD0000500005FEFF"),
    ("set_multi_coil_uint16", ("set_coil_uint16", 1, "WY0", 9), "%01#WCCY000000000900"),
])
def test_single_word_writes_build_their_own_frame(rig, method, call, frame):
    # The one-word writes send their own command; only the operations built
    # on the list form go through it.
    master, device = rig("%01$WD" if call[2].startswith("DT") else "%01$WC", cls=recording(method, None))
    master.calls = []
    getattr(master, call[0])(*call[1:])
    assert master.calls == []
    assert device.sent_by_master == [b4k_mew.MewStatic.append_tail(frame)]


def test_signed_range_checked_before_override(rig):
    master, device = rig(None, cls=recording("set_multi_uint16", None))
    master.calls = []
    with pytest.raises(struct.error):
        master.set_multi_int16(1, "DT5", [1, 40000])
    with pytest.raises(struct.error):
        master.set_int32(1, "DT5", 2 ** 31)
    assert master.calls == []


@pytest.mark.parametrize("returns, call, result", [
    ((5,), ("get_uint16", 1, "DT5"), 5),
    ([], ("get_uint16", 1, "DT5"), IndexError),
    ([1], ("get_uint32", 1, "DT5"), IndexError),
    ([1, 2, 3], ("get_multi_uint32", 1, "DT5", 2), IndexError),
    ([1, 2, 3], ("get_uint32", 1, "DT5"), (2 << 16) | 1),
])
def test_override_result_used_as_given(rig, returns, call, result):
    master, device = rig(None, cls=recording("get_multi_uint16", returns))
    master.calls = []
    if isinstance(result, type):
        with pytest.raises(result):
            getattr(master, call[0])(*call[1:])
    else:
        assert getattr(master, call[0])(*call[1:]) == result
    assert nothing_sent(device)


def test_override_error_passes_through(rig):
    class Failing(b4k_mew.MewMaster):
        def get_multi_uint16(self, station, name, count):
            raise KeyError("from the override")

    master, device = rig(None, cls=Failing)
    with pytest.raises(KeyError, match="from the override"):
        master.get_uint32(1, "DT5")
    assert nothing_sent(device)


class QueryRecorder(b4k_mew.MewMaster):
    def query(self, command):
        self.seen.append(command)
        return super().query(command)


def test_query_override_sees_every_frame(rig):
    responses = [op[3] for op in OPERATIONS]
    master, device = rig(responses, cls=QueryRecorder)
    master.seen = []
    for method, args, command, response, result in OPERATIONS:
        assert getattr(master, method)(*args) == result
    expected = [frame(op[2]) for op in OPERATIONS]
    assert master.seen == expected
    assert device.received == expected


class CannedQuery(b4k_mew.MewMaster):
    def query(self, command):
        self.seen.append(command)
        return self.canned


@pytest.mark.parametrize("method, args, command, response, result", OPERATIONS, ids=OPERATION_IDS)
def test_query_override_replaces_line(rig, method, args, command, response, result):
    master, device = rig(None, cls=CannedQuery)
    master.seen = []
    master.canned = response[4:]
    assert getattr(master, method)(*args) == result
    assert master.seen == [frame(command)]
    assert nothing_sent(device)


class Answering(b4k_mew.MewMaster):
    """Answers every read itself with as many words (zeros) as it asks for."""

    def query(self, command):
        self.seen.append(command)
        code = command[4:7]
        if code == "RCS":
            return "RC1"
        first, last = (command[8:12], command[12:16]) if code == "RCC" else (command[7:12], command[12:17])
        return code[:2] + "0000" * (int(last) - int(first) + 1)


# A master keeps the frames of its last reads and copies them when a loop
# reads again: every setting, station, name and count that shapes a frame
# must still give its own, and a read refused is refused each time.
REPEATED_READS = [
    # (setting made before the read, read, frames given to query() or error)
    (None, ("get_uint16", 1, "DT100"), ["%01#RDD0010000100"]),
    (None, ("get_uint16", 1, "DT100"), ["%01#RDD0010000100"]),
    (None, ("get_int16", 1, "DT101"), ["%01#RDD0010100101"]),
    (None, ("get_uint16", 2, "DT100"), ["%02#RDD0010000100"]),
    (None, ("get_uint32", 1, "DT100"), ["%01#RDD0010000101"]),
    (None, ("get_coil", 1, "Y10"), ["%01#RCSY0010"]),
    (None, ("get_multi_coil_uint16", 1, "WY10", 2), ["%01#RCCY00100011"]),
    (None, ("get_uint16", 10, "DT100"), ["%0A#RDD0010000100"]),
    (("decimal_stations", True), ("get_uint16", 10, "DT100"), ["%10#RDD0010000100"]),
    (None, ("get_uint16", 100, "DT100"),
     "ValueError: station out of range 0..99 (or EE) in decimal numbering: 100"),
    (("decimal_stations", False), ("get_uint16", 10, "DT100"), ["%0A#RDD0010000100"]),
    (("frame_limit", 2048), ("get_uint16", 1, "DT100"), ["<01#RDD0010000100"]),
    (("frame_limit", 0), ("get_uint16", 1, "DT100"), ["%01#RDD0010000100"]),
    (("max_read_words", 1), ("get_uint32", 1, "DT100"), ["%01#RDD0010000100", "%01#RDD0010100101"]),
    (("max_read_words", 0), ("get_uint32", 1, "DT100"), ["%01#RDD0010000101"]),
    (None, ("get_uint16", -1, "DT100"), "ValueError: station number must not be negative: -1"),
    (None, ("get_uint16", 1, "DT1\r%01#WDD"), "ValueError: character not allowed in a name: 'DT1\\r%01#WDD'"),
    (None, ("get_uint16", 1, "DTx"), "ValueError: invalid literal for int() with base 10: 'x'"),
]


def test_repeated_reads_build_their_own_frames(rig):
    master, device = rig(None, cls=Answering)
    # Each read twice: the second finds what the first kept, or fails again.
    for setting, (method, *args), expected in REPEATED_READS * 2:
        if setting:
            setattr(master, *setting)
        master.seen = []
        try:
            getattr(master, method)(*args)
            got = master.seen
        except ValueError as e:
            got = "ValueError: %s" % e
        assert got == (expected if isinstance(expected, str) else [frame(f) for f in expected]), (method, args)
    assert nothing_sent(device)


class PlusOne(b4k_mew.MewMaster):
    def get_multi_uint16(self, station, name, count):
        return [w + 1 for w in super().get_multi_uint16(station, name, count)]

    def set_multi_uint16(self, station, name, values):
        super().set_multi_uint16(station, name, [v + 1 for v in values])


def test_override_calling_super(rig):
    master, device = rig(["%01$RD0100", "%01$RD0100FFFF", "%01$WD", "%01$WD"], cls=PlusOne)
    assert master.get_uint16(1, "DT100") == 2
    assert master.get_multi_uint32(1, "DT100", 1) == [(65536 << 16) + 2]
    assert master.set_uint16(1, "DT100", 1) is None
    assert master.set_uint32(1, "DT100", 0x00050003) is None
    # One exchange per call: super() does not come back to the override.
    assert device.received == [
        frame("%01#RDD0010000100"),
        frame("%01#RDD0010000101"),
        frame(write_body([1])),  # set_uint16 builds its own frame
        frame(write_body([4, 6])),
    ]


def test_override_calling_super_refused_word(rig):
    # super() still checks the words it is given: 65535 + 1 is refused.
    master, device = rig("%01$WD", cls=PlusOne)
    with pytest.raises(ValueError):
        master.set_int32(1, "DT100", -2)
    assert nothing_sent(device)


# --- The interpreter lock ---------------------------------------------------------------

class Counter:
    """A Python thread counting as fast as the interpreter lets it."""

    def __init__(self):
        self.count = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self._stop.is_set():
            self.count += 1

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join(5)
        assert not self._thread.is_alive()


def slow_answer(command):
    time.sleep(0.5)
    return "%01$RD3412"


def slow_ack(command):
    time.sleep(0.5)
    return "%01$WD"


@pytest.mark.parametrize("reply, call, expect", [
    (None, ("get_uint16", 1, "DT100"), TIMEOUT_MESSAGE),
    (slow_answer, ("get_uint16", 1, "DT100"), 4660),
    (None, ("set_uint32", 1, "DT100", 7), TIMEOUT_MESSAGE),
    (slow_ack, ("set_multi_int32", 1, "DT100", [-1, 1]), None),
], ids=["silent-read", "slow-read", "silent-write", "slow-write"])
def test_wait_releases_interpreter_lock(rig, reply, call, expect):
    master, _ = rig(reply, query_timeout=0.5 if reply is None else 5)
    with Counter() as counter:
        # How far the counter gets while this thread sleeps, lock released.
        before = counter.count
        time.sleep(0.2)
        free = counter.count - before
        before = counter.count
        try:
            got = getattr(master, call[0])(*call[1:])
        except OSError as e:
            got = str(e)
        during = counter.count - before
    assert got == expect
    # The wait lasts at least 0.5 s. Holding the lock through it would leave
    # the counter where it was; releasing it lets it get about 2.5 times as
    # far as in the reference sleep. A tenth of that is the bar.
    assert free > 0
    assert during > free / 4
