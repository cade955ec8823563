"""Tests of the frame codec MewStatic, checked against a plain-Python model."""
import functools
import operator
import random
import struct
import subprocess
import sys

import pytest

from b4k_mew import MewStatic as M
from conftest import child_env

CONSTANTS = [
    ("MAX_MULTI_COIL_COUNT", 8), ("HEX_DIGITS", "0123456789ABCDEF"), ("DEC_DIGITS", "0123456789"),
    ("PROCESS_NONE", -1), ("PROCESS_ERROR", -2), ("PROCESS_UNKNOWN_CMD", -3), ("HEAD", "%"),
    ("TAIL", "\r"), ("QUERY", "#"), ("ERROR", "!"), ("FEEDBACK", "$"), ("IGNORE_BCC", "*"),
    ("BROADCAST", 0), ("CMD_UNKNOWN", "UNKNOWN"),
]


# Plain-Python model of the codec. Preconditions raise AssertionError()
# explicitly: pytest rewrites bare asserts in this file and adds messages.
def _require(cond):
    if not cond:
        raise AssertionError()


class Ref:
    calc_crc = staticmethod(lambda data, init=0: functools.reduce(operator.xor, data.encode("utf-8"), init))

    @staticmethod
    def append_tail(data):
        crc = Ref.calc_crc(data)
        return data + "0123456789ABCDEF"[crc >> 4] + "0123456789ABCDEF"[crc & 15] + "\r"

    @staticmethod
    def crc_is_ok(frame):
        recv = frame[-3:-1]
        if recv[0] == "*" or recv[1] == "*":
            return recv == "**"
        return int(recv, 16) == Ref.calc_crc(frame[:-3])

    @staticmethod
    def find_station_end(data):
        for i, c in enumerate(data):
            if c in "\r*":
                return -1
            if c in "#$!":
                return i
        return len(data)

    command_start_position = staticmethod(lambda data: Ref.find_station_end(data) + 1)
    frame_type = staticmethod(lambda data: data[Ref.find_station_end(data)])
    is_feedback = staticmethod(lambda data: Ref.frame_type(data) == "$")
    is_query = staticmethod(lambda data: Ref.frame_type(data) == "#")
    is_error = staticmethod(lambda data: Ref.frame_type(data) == "!")
    parse_station = staticmethod(lambda data: int(data[1:Ref.find_station_end(data)], 16))
    parse_contact_address = staticmethod(lambda a: int(a[0:3]) * 16 + int(a[3], 16))
    parse_register_address = staticmethod(lambda a: int(a))
    parse_uint16 = staticmethod(lambda d: int(d[2:4], 16) << 8 | int(d[0:2], 16))
    parse_int16 = staticmethod(lambda d: _signed(Ref.parse_uint16(d), 16))
    parse_int32 = staticmethod(lambda d: _signed(Ref.parse_uint32(d), 32))

    @staticmethod
    def parse_uint32(d):
        low = Ref.parse_uint16(d[0:4])
        return Ref.parse_uint16(d[4:8]) << 16 | low

    @staticmethod
    def parse_command(data):
        pos = Ref.command_start_position(data)
        cmd = data[pos:pos + 3]
        if cmd in ("RCS", "WCS", "RCC", "WCC"):
            return cmd
        return cmd[:2] if cmd[:2] in ("RD", "WD") else "UNKNOWN"

    @staticmethod
    def header_matched(tx, rx):
        edge = Ref.find_station_end(rx)
        if tx[:edge] != rx[:edge] or rx[edge] != "$":
            return False
        return tx[edge + 1:edge + 3] == rx[edge + 1:edge + 3]

    fill_header = staticmethod(lambda station, cmd: "%" + format(station, "02X") + "#" + cmd)
    fill_contact_address = staticmethod(lambda data, a: data + "0" * (4 - len(a)) + a)
    fill_int16 = staticmethod(lambda d, v: Ref.fill_uint16(d, struct.unpack("<H", struct.pack("<h", v))[0]))
    fill_int32 = staticmethod(lambda d, v: Ref.fill_uint32(d, struct.unpack("<I", struct.pack("<i", v))[0]))

    @staticmethod
    def fill_uint16(data, value):
        _require(value >= 0)
        return data + format(value & 255, "02X") + format(value >> 8, "02X")

    @staticmethod
    def fill_uint32(data, value):
        _require(value >= 0)
        return Ref.fill_uint16(Ref.fill_uint16(data, value & 65535), value >> 16)

    @staticmethod
    def check_name(*names):
        for name in names:
            if any(not " " <= c <= "~" or c in "%<#$!&" for c in name):
                raise ValueError("character not allowed in a name: %r" % name)

    @staticmethod
    def fill_read_single_point_of_contact_message(station, contact, cmd="RCS", tail=""):
        Ref.check_name(contact)
        data = Ref.fill_header(station, cmd) + contact[0]
        return Ref.append_tail(Ref.fill_contact_address(data, contact[1:]) + tail)

    @staticmethod
    def fill_write_single_point_of_contact_message(station, contact, value):
        return Ref.fill_read_single_point_of_contact_message(station, contact, "WCS", "1" if value else "0")

    @staticmethod
    def fill_read_word_unit_of_contact_message(station, contact_start, contact_end=None, word_count=None):
        Ref.check_name(contact_start, *([] if contact_end is None else [contact_end]))
        _require(contact_start[0] == "W")
        _require(contact_end is None or word_count is None)
        _require(contact_end is not None or word_count is not None)
        if word_count is not None:
            _require(word_count > 0)
            contact_end = contact_start[:2] + str(int(contact_start[2:]) + word_count - 1)
        else:
            _require(contact_start[1] == contact_end[1])
            _require(int(contact_end[2:]) >= int(contact_start[2:]))
        data = Ref.fill_header(station, "RCC") + contact_start[1]
        data = Ref.fill_contact_address(Ref.fill_contact_address(data, contact_start[2:]), contact_end[2:])
        return Ref.append_tail(data)

    @staticmethod
    def fill_write_word_unit_of_contact_message(station, contact_start, values):
        Ref.check_name(contact_start)
        _require(contact_start[0] == "W")
        _require(len(values) > 0)
        data = Ref.fill_contact_address(Ref.fill_header(station, "WCC") + contact_start[1], contact_start[2:])
        data = Ref.fill_contact_address(data, str(int(contact_start[2:]) + len(values) - 1))
        for v in values:
            data = Ref.fill_uint16(data, v)
        return Ref.append_tail(data)

    @staticmethod
    def _data_area(station, cmd, reg, count):
        Ref.check_name(reg)
        data = Ref.fill_header(station, cmd)
        addr = reg[1:] if reg[1] in "0123456789" else reg[2:]
        start = int(addr)
        return data + reg[0] + format(start, "05d") + format(start + count - 1, "05d")

    @staticmethod
    def fill_read_data_area_message(station, reg_start, reg_count):
        _require(reg_count > 0)
        return Ref.append_tail(Ref._data_area(station, "RD", reg_start, reg_count))

    @staticmethod
    def fill_write_data_area_message(station, reg_start, values):
        _require(len(values) > 0)
        data = Ref._data_area(station, "WD", reg_start, len(values))
        for v in values:
            data = Ref.fill_uint16(data, v)
        return Ref.append_tail(data)

    fill_write_single_data_message = staticmethod(
        lambda station, reg, value: Ref.fill_write_data_area_message(station, reg, [value]))


def _signed(u, bits):
    return u - (1 << bits) if u >= 1 << (bits - 1) else u


def outcome(fn, *args):
    try:
        r = fn(*args)
        return ("ok", type(r), r)
    except Exception as e:  # the model and the codec must fail alike
        return (type(e), str(e))


def same(name, *args):
    assert outcome(getattr(M, name), *args) == outcome(getattr(Ref, name), *args), (name, args)


@pytest.mark.parametrize("name,value", CONSTANTS)
def test_constant_value_and_type(name, value):
    assert getattr(M, name) == value
    assert type(getattr(M, name)) is type(value)


def test_constants_declared_in_order_and_docstring():
    assert [k for k in vars(M) if k.isupper()] == [n for n, _ in CONSTANTS]
    assert M.__doc__ == "站号长度不限于8位的Mewtocol通信协议"


@pytest.mark.parametrize("name,args,expected", [
    ("calc_crc", ("",), 0), ("calc_crc", ("", 5), 5), ("calc_crc", ("%01#RCSY0010",), 0x1D),
    ("calc_crc", ("°",), 0xC2 ^ 0xB0), ("calc_crc", ("abc", 2**70), 2**70 ^ 0x61 ^ 0x62 ^ 0x63),
    ("append_tail", ("%01#RCSY0010",), "%01#RCSY00101D\r"),
    ("append_tail", ("%01#RDD0010000101",), "%01#RDD001000010154\r"),
    ("append_tail", ("%100#RDD0010000101",), "%100#RDD001000010164\r"),
    ("append_tail", ("%01#RCCX00000001",), "%01#RCCX000000010C\r"),  # leading zero kept
    ("crc_is_ok", ("%01#RCSY00101D\r",), True), ("crc_is_ok", ("%01#RCSY00101d\r",), True),
    ("crc_is_ok", ("%01#RCSY0010**\r",), True), ("crc_is_ok", ("%01#RCSY0010*D\r",), False),
    ("crc_is_ok", ("%01#RCSY00101*\r",), False), ("crc_is_ok", ("%01#RCSY00101DX",), True),
    ("crc_is_ok", ("%01#RCSY00101C\r",), False), ("crc_is_ok", ("%01#RCSY0011**\r",), True),
    ("crc_is_ok", ("*x",), False), ("crc_is_ok", ("%01#°**\r",), True),
    # a received byte 0xB0 is summed as its UTF-8 form C2 B0, not as A1
    ("append_tail", ("%01#RD\xb0",), "%01#RD\xb063\r"), ("crc_is_ok", ("%01#RD\xb063\r",), True),
    ("crc_is_ok", ("%01#RD\xb0A1\r",), False),
    ("find_station_end", ("%01#RCSY00101D\r",), 3), ("find_station_end", ("%1234$RD0100\r",), 5),
    ("find_station_end", ("%01**\r",), -1), ("find_station_end", ("%01",), 3), ("find_station_end", ("",), 0),
    ("find_station_end", ("%0\r!",), -1), ("find_station_end", ("%%&!",), 3), ("find_station_end", ("%°é#",), 3),
    ("command_start_position", ("%01**\r",), 0), ("command_start_position", ("%01$RC",), 4),
    ("parse_command", ("%01#RCSY00101D\r",), "RCS"), ("parse_command", ("%01#RDD001000010154\r",), "RD"),
    ("parse_command", ("%01#WDD0010000100010051\r",), "WD"), ("parse_command", ("%01#RCP1Y0010",), "UNKNOWN"),
    ("parse_command", ("%01$RC120\r",), "UNKNOWN"), ("parse_command", ("%01",), "UNKNOWN"),
    ("parse_command", ("",), "UNKNOWN"), ("parse_command", ("%°#WCC",), "WCC"),
    ("frame_type", ("%01$RC120\r",), "$"), ("frame_type", ("%01*",), "*"), ("frame_type", ("é°!x",), "!"),
    ("is_feedback", ("%01$RC1",), True), ("is_query", ("%01#RCS",), True), ("is_error", ("%01!42",), True),
    ("is_query", ("%01$RC1",), False), ("is_error", ("%01#RC",), False), ("is_feedback", ("%01!42",), False),
    ("header_matched", ("%01#RCSY00101D\r", "%01$RC120\r"), True),
    ("header_matched", ("%01#RCCX000000010C\r", "%01$RC3412"), True),
    ("header_matched", ("%01#RCSY00101D\r", "%02$RC120\r"), False),
    ("header_matched", ("%01#RCSY00101D\r", "%01!421234\r"), False),
    ("header_matched", ("%01#RCSY00101D\r", "%01$WC14\r"), False),
    ("header_matched", ("%1°#RD", "%1°$RD"), True),
    ("parse_station", ("%0A#RD",), 10), ("parse_station", ("%100#RD",), 256), ("parse_station", ("%ff$",), 255),
    ("parse_contact_address", ("0010",), 16), ("parse_contact_address", ("001F",), 31),
    ("parse_contact_address", ("1000",), 1600), ("parse_contact_address", ("001fXYZ",), 31),
    ("parse_register_address", ("00100",), 100),
    ("parse_uint16", ("3412",), 4660), ("parse_uint16", ("FFFF",), 65535), ("parse_uint16", ("cdab",), 0xABCD),
    ("parse_uint16", ("123",), 786), ("parse_uint16", ("0100ZZ",), 1),
    ("parse_int16", ("FFFF",), -1), ("parse_int16", ("0080",), -32768), ("parse_int16", ("FF7F",), 32767),
    ("parse_uint32", ("78563412",), 305419896), ("parse_int32", ("FEFFFFFF",), -2),
    ("parse_int32", ("00000080",), -2**31),
    ("fill_header", (1, "RD"), "%01#RD"), ("fill_header", (255, "RD"), "%FF#RD"),
    ("fill_header", (4660, "RD"), "%1234#RD"), ("fill_header", (-1, "RD"), "%-1#RD"),
    ("fill_header", (True, "RD"), "%01#RD"), ("fill_header", (0, "WCS"), "%00#WCS"),
    ("fill_contact_address", ("", "10"), "0010"), ("fill_contact_address", ("", "00100"), "00100"),
    ("fill_contact_address", ("X", "é1"), "X00é1"), ("fill_contact_address", ("", "°°°°"), "°°°°"),
    ("fill_uint16", ("", 4660), "3412"), ("fill_uint16", ("DT", 74565), "DT45123"),
    ("fill_int16", ("", -1), "FFFF"), ("fill_int16", ("", -2), "FEFF"), ("fill_int16", ("", -32768), "0080"),
    ("fill_uint32", ("", 305419896), "78563412"), ("fill_int32", ("", -2), "FEFFFFFF"),
    ("fill_read_single_point_of_contact_message", (1, "Y0010"), "%01#RCSY00101D\r"),
    ("fill_read_single_point_of_contact_message", (1, "Y10"), "%01#RCSY00101D\r"),
    ("fill_read_single_point_of_contact_message", (1, "X1F"), "%01#RCSX001F6A\r"),
    ("fill_write_single_point_of_contact_message", (1, "Y0010", True), "%01#WCSY0010129\r"),
    ("fill_write_single_point_of_contact_message", (1, "Y0010", False), "%01#WCSY0010028\r"),
    ("fill_write_single_point_of_contact_message", (1, "Y10", "x"), "%01#WCSY0010129\r"),
    ("fill_write_single_point_of_contact_message", (1, "Y10", []), "%01#WCSY0010028\r"),
    ("fill_read_word_unit_of_contact_message", (1, "WX0", None, 2), "%01#RCCX000000010C\r"),
    ("fill_read_word_unit_of_contact_message", (1, "WX0", "WX1"), "%01#RCCX000000010C\r"),
    ("fill_read_word_unit_of_contact_message", (1, "WY10", None, 3), "%01#RCCY001000120E\r"),
    ("fill_read_word_unit_of_contact_message", (1, "WR9999", None, 2), Ref.append_tail("%01#RCCR999910000")),
    ("fill_write_word_unit_of_contact_message", (1, "WY0", [4660, 5]), "%01#WCCY000000013412050009\r"),
    ("fill_read_data_area_message", (1, "DT100", 2), "%01#RDD001000010154\r"),
    ("fill_read_data_area_message", (1, "D100", 2), "%01#RDD001000010154\r"),
    ("fill_read_data_area_message", (1, "LD5", 1), "%01#RDL00005000055D\r"),
    ("fill_read_data_area_message", (256, "DT100", 2), "%100#RDD001000010164\r"),
    ("fill_read_data_area_message", (1, "DT123456", 1), Ref.append_tail("%01#RDD123456123456")),
    ("fill_read_data_area_message", (-1, "DT100", 1), Ref.append_tail("%-1#RDD0010000100")),
    ("fill_write_data_area_message", (1, "DT100", [1, 43981]), "%01#WDD00100001010100CDAB54\r"),
    ("fill_write_data_area_message", (1, "DT100", (1, 43981)), "%01#WDD00100001010100CDAB54\r"),
    ("fill_write_single_data_message", (1, "DT100", 1), "%01#WDD0010000100010051\r"),
])
def test_known_results(name, args, expected):
    result = getattr(M, name)(*args)
    assert result == expected and type(result) is type(expected)
    assert getattr(Ref, name)(*args) == expected  # the model agrees, so it may judge the rest


def test_keyword_arguments():
    assert M.fill_read_word_unit_of_contact_message(1, "WX0", word_count=2) == "%01#RCCX000000010C\r"
    assert M.fill_read_word_unit_of_contact_message(station=1, contact_start="WX0", contact_end="WX1") == \
        "%01#RCCX000000010C\r"
    assert M.calc_crc(data="", init=7) == 7


_RCC, _WCC = M.fill_read_word_unit_of_contact_message, M.fill_write_word_unit_of_contact_message
_RD, _WD = M.fill_read_data_area_message, M.fill_write_data_area_message


@pytest.mark.parametrize("fn,args", [
    (_RCC, (1, "X0", None, 1)), (_RCC, (1, "WX0", "WX1", 1)), (_RCC, (1, "WX0")), (_RCC, (1, "WX0", None, 0)),
    (_RCC, (1, "WX0", None, -1)), (_RCC, (1, "WX0", "WY1")), (_RCC, (1, "WX5", "WX4")),
    (_WCC, (1, "Y0", [1])), (_WCC, (1, "WY0", [])), (_WCC, (1, "WY0", [5, -1])),
    (_RD, (1, "DT100", 0)), (_RD, (1, "DT100", -3)), (_WD, (1, "DT100", [])), (_WD, (1, "DT100", [1, -1])),
    (M.fill_write_single_data_message, (1, "DT100", -1)),
    (M.fill_uint16, ("", -1)), (M.fill_uint32, ("", -1)), (M.fill_uint32, ("", -2**40)),
])
def test_precondition_raises_bare_assertion(fn, args):
    with pytest.raises(AssertionError) as info:
        fn(*args)
    assert str(info.value) == "" and info.value.args == ()


def test_preconditions_hold_under_optimize():
    code = ("import sys, b4k_mew\n"
            "try:\n    b4k_mew.MewStatic.fill_read_data_area_message(1, 'DT100', 0)\n"
            "except AssertionError as e:\n    print(sys.flags.optimize, repr(str(e)))\n")
    run = subprocess.run([sys.executable, "-O", "-c", code], env=child_env(), capture_output=True, text=True,
                         timeout=120)
    assert (run.returncode, run.stdout) == (0, "1 ''\n"), run.stderr


@pytest.mark.parametrize("fn,args", [
    (M.crc_is_ok, ("",)), (M.crc_is_ok, ("x",)), (M.crc_is_ok, ("ab",)), (M.frame_type, ("%01",)),
    (M.frame_type, ("",)), (M.is_feedback, ("%01",)), (M.is_query, ("",)), (M.is_error, ("abc",)),
    (M.header_matched, ("%01#RCS", "%01")), (M.parse_contact_address, ("001",)),
    (M.parse_contact_address, ("1",)), (M.fill_read_single_point_of_contact_message, (1, "")),
    (_RD, (1, "D", 1)), (_WD, (1, "", [1])), (_RCC, (1, "")), (_RCC, (1, "W", "WX1")), (_WCC, (1, "W", [1])),
])
def test_index_error(fn, args):
    with pytest.raises(IndexError, match=r"^string index out of range$"):
        fn(*args)


@pytest.mark.parametrize("fn,args,literal,base", [
    (M.crc_is_ok, ("%01#RCSY0010ZZ\r",), "ZZ", 16), (M.parse_station, ("%$RD",), "", 16),
    (M.parse_station, ("%0G#RD",), "0G", 16), (M.parse_uint16, ("1",), "", 16),
    (M.parse_uint16, ("zz12",), "zz", 16), (M.parse_uint32, ("3412zz00",), "zz", 16),
    (M.parse_register_address, ("1O0",), "1O0", 10), (M.parse_register_address, ("°1",), "°1", 10),
    (M.crc_is_ok, ("%01#RD°\r",), "D°", 16),
    (M.parse_contact_address, ("0A10",), "0A1", 10), (M.parse_contact_address, ("001G",), "G", 16),
    (_RD, (1, "DTx", 1), "x", 10), (_WD, (1, "DX", [1]), "", 10),
    (_RCC, (1, "WXa", None, 1), "a", 10), (_RCC, (1, "WX1", "WXq"), "q", 10), (_WCC, (1, "WY1.5", [1]), "1.5", 10),
])
def test_number_conversion_error(fn, args, literal, base):
    with pytest.raises(ValueError) as info:
        fn(*args)
    with pytest.raises(ValueError) as python:
        int(literal, base)
    assert str(info.value) == str(python.value)


_FRAME_OPS = ["calc_crc", "crc_is_ok", "append_tail", "find_station_end", "command_start_position",
              "parse_command", "frame_type", "is_feedback", "is_query", "is_error", "parse_station"]
_FIELD_OPS = ["parse_contact_address", "parse_register_address", "parse_uint16", "parse_int16", "parse_uint32",
              "parse_int32"]
BAD = object()  # where the non-text argument goes


@pytest.mark.parametrize("bad", [b"%01#RC", None, 5])
@pytest.mark.parametrize("name,args", [(n, (BAD,)) for n in _FRAME_OPS + _FIELD_OPS] + [
    ("header_matched", (BAD, "%01$RC")), ("header_matched", ("%01#RC", BAD)), ("fill_header", (1, BAD)),
    ("fill_contact_address", (BAD, "10")), ("fill_contact_address", ("", BAD)), ("fill_uint16", (BAD, 1)),
    ("fill_int32", (BAD, 1)), ("fill_read_single_point_of_contact_message", (1, BAD)),
    ("fill_read_word_unit_of_contact_message", (1, BAD, None, 1)),
    ("fill_write_word_unit_of_contact_message", (1, BAD, [1])), ("fill_read_data_area_message", (1, BAD, 1)),
    ("fill_write_single_data_message", (1, BAD, 1)),
])
def test_non_text_is_type_error(name, args, bad):
    with pytest.raises(TypeError):
        getattr(M, name)(*[bad if a is BAD else a for a in args])


@pytest.mark.parametrize("fn,value", [
    (M.fill_int16, 32768), (M.fill_int16, -32769), (M.fill_int16, 2**70), (M.fill_int16, 1.5),
    (M.fill_int32, 2**31), (M.fill_int32, -2**31 - 1), (M.fill_int32, -2**70), (M.fill_int32, 1.5),
])
def test_signed_packing_error(fn, value):
    with pytest.raises(struct.error):
        fn("", value)


@pytest.mark.parametrize("fn,args,error", [
    (M.fill_header, (1.5, "RD"), ValueError), (_RD, (2.0, "DT100", 1), ValueError),
    (M.fill_header, ("1", "RD"), ValueError), (M.fill_header, (2**64, "RD"), OverflowError),
    (M.fill_uint16, ("", 2**64), OverflowError), (_WD, (1, "DT0", [2**64]), OverflowError),
    (_RCC, (1, "WX0", b"WX1"), TypeError), (_RCC, (1, "WX0", 1), TypeError),
])
def test_station_and_value_type(fn, args, error):
    with pytest.raises(error) as info:
        fn(*args)
    if error is ValueError:
        with pytest.raises(ValueError) as python:
            format(args[0], "02X")
        assert str(info.value) == str(python.value)


def test_truth_errors_pass_through():
    class Bad:
        def __bool__(self):
            raise ZeroDivisionError("no truth")
    with pytest.raises(ZeroDivisionError):
        M.fill_write_single_point_of_contact_message(1, "Y0", Bad())


@pytest.mark.parametrize("seed", range(4))
def test_words_round_trip_low_byte_first(seed):
    rnd = random.Random(seed)
    for _ in range(300):
        u16, s16 = rnd.randrange(65536), rnd.randrange(-32768, 32768)
        u32, s32 = rnd.randrange(2**32), rnd.randrange(-2**31, 2**31)
        field = M.fill_uint16("", u16)
        assert field == "%02X%02X" % (u16 & 255, u16 >> 8) and M.parse_uint16(field) == u16
        assert M.parse_uint16(field.lower()) == u16 and M.parse_int16(M.fill_int16("", s16)) == s16
        field = M.fill_uint32("", u32)
        assert field == M.fill_uint16(M.fill_uint16("", u32 & 65535), u32 >> 16) and M.parse_uint32(field) == u32
        assert M.parse_int32(M.fill_int32("", s32)) == s32


_ALPHABET = "%#$!*\r0123456789ABCDEFabcdefxWXYRDCSLT _-+°é€字"


def _junk(rnd, n):
    return "".join(rnd.choice(_ALPHABET) for _ in range(rnd.randrange(n)))


def _mutate(rnd, frame):
    for _ in range(rnd.randrange(3)):
        i = rnd.randrange(len(frame) + 1)
        frame = frame[:i] + rnd.choice(["", _junk(rnd, 3)]) + frame[i + rnd.randrange(2):]
    return frame


def _builder_calls(rnd):
    station = rnd.choice([0, 1, 10, 255, 256, 4660, -1, rnd.randrange(70000)])
    num = lambda: rnd.choice([str(rnd.randrange(10000)), str(rnd.randrange(10)), _junk(rnd, 4)])
    contact = rnd.choice(["W", "W", "W", "", "WW"]) + rnd.choice("XYR°") + rnd.choice([num(), num(), ""])
    reg = rnd.choice(["", "D", "DT", "LD", "S"]) + rnd.choice([num(), ""])
    values = [rnd.choice([0, 1, 65535, -1, 74565, rnd.randrange(2**20)]) for _ in range(rnd.randrange(4))]
    count = rnd.randrange(-1, 5)
    first = contact[2:]
    near = str(int(first) + rnd.randrange(-1, 3)) if first.isdigit() else num()
    end = rnd.choice(["W" + contact[1:2], "W" + contact[1:2], "WX", ""]) + rnd.choice([near, near, num()])
    return [
        ("fill_read_single_point_of_contact_message", (station, contact)),
        ("fill_write_single_point_of_contact_message", (station, contact, rnd.random() < 0.5)),
        ("fill_read_word_unit_of_contact_message", (station, contact, *rnd.choice(
            [(None, count), (end, None), (None, count), (end, None), (end, count), (None, None)]))),
        ("fill_write_word_unit_of_contact_message", (station, contact, values)),
        ("fill_read_data_area_message", (station, reg, count)),
        ("fill_write_data_area_message", (station, reg, values)),
        ("fill_write_single_data_message", (station, reg, rnd.choice(values or [-1]))),
        ("fill_contact_address", (_junk(rnd, 3), num())), ("fill_header", (station, _junk(rnd, 4))),
        ("fill_uint16", ("", rnd.choice(values or [0]))), ("fill_uint32", ("", rnd.randrange(-5, 2**40))),
        ("fill_int16", ("", rnd.randrange(-40000, 40000))), ("fill_int32", ("", rnd.randrange(-2**32, 2**32))),
    ]


@pytest.mark.parametrize("seed", range(8))
def test_matches_model_on_random_frames(seed):
    rnd = random.Random(seed)
    for _ in range(400):
        calls = _builder_calls(rnd)
        for name, args in calls:
            same(name, *args)
        built = [r[2] for r in (outcome(getattr(M, n), *a) for n, a in calls[:7]) if r[0] == "ok"]
        frames = [_mutate(rnd, f) for f in built[:2] + [M.append_tail(_junk(rnd, 12))]]
        frames.append(rnd.choice(["%01$", "%01!", "%1°$"]) + _junk(rnd, 8) + "\r")
        if built:  # a plausible answer to the first command, cut anywhere
            frames.append(built[0].replace("#", rnd.choice("$$!"), 1)[:rnd.randrange(12)])
        field = "".join(rnd.choice("0123456789ABCDEFabcdef" * 5 + _ALPHABET) for _ in range(rnd.randrange(10)))
        for frame in frames:
            for name in _FRAME_OPS:
                same(name, frame)
            same("calc_crc", frame, rnd.randrange(-300, 300))
            k = rnd.randrange(len(frame) + 1)
            for name in _FIELD_OPS:
                same(name, frame[k:])
                same(name, field[k % 3:])
            for other in frames:
                same("header_matched", other, frame)
