"""Inputs the fuzz targets (fuzz/) found mishandled, as Python sees them: the
errors that replaced wrapped-around numbers reach Python as OverflowError,
and the answers are the host's.

The C++ side of the same cases is in tests/cpp/test_fuzz_regressions.cpp.
"""
import pytest

import b4k_mew
from b4k_mew import MewStatic

from linkpair import Device, pair

MAX = 2 ** 63 - 1


@pytest.fixture
def master_answering():
    """A master whose device answers every command with "%01$" and the given
    data, its check code and CR added."""
    made = []

    def make(data):
        station_end, device_end = pair(timeout=0.02)
        device = Device(device_end, lambda command: MewStatic.append_tail("%01$" + data))
        device.__enter__()
        master = b4k_mew.MewMaster(station_end, query_timeout=2)
        made.append((master, device))
        return master

    yield make
    for master, device in made:
        device.end.close()
        master.close()
        device.__exit__(None, None, None)


@pytest.mark.parametrize("call", [
    lambda: MewStatic.fill_read_data_area_message(1, "DT100", MAX),
    lambda: MewStatic.fill_write_data_area_message(1, "D%d" % MAX, [1, 2]),
    lambda: MewStatic.fill_read_word_unit_of_contact_message(1, "WX%d" % MAX, word_count=2),
    lambda: MewStatic.fill_write_word_unit_of_contact_message(1, "WX%d" % MAX, [1, 2]),
])
def test_range_end_beyond_64_bits_is_an_overflow_error(call):
    with pytest.raises(OverflowError):
        call()


def test_range_up_to_the_limit_is_written_as_it_is():
    assert MewStatic.fill_read_data_area_message(1, "D0", MAX) == \
        MewStatic.append_tail("%01#RDD00000" + str(MAX - 1))


def test_huge_count_is_a_length_mismatch(master_answering):
    master = master_answering("RD3412")
    with pytest.raises(OSError, match="^Invalid feedback format: RD3412$"):
        master.get_multi_uint16(1, "D0", 2 ** 62 + 1)
    assert master.get_multi_uint16(1, "D0", 1) == [0x1234]


@pytest.mark.parametrize("name", ["get_multi_uint32", "get_multi_int32"])
def test_huge_count_of_32_bit_values_is_an_overflow_error(master_answering, name):
    master = master_answering("RD3412")
    with pytest.raises(OverflowError):
        getattr(master, name)(1, "D0", 2 ** 62)


def test_signed_word_group_is_no_word(master_answering):
    # int("-FFF", 16) would read; an unsigned read must not return it.
    master = master_answering("RD3412FF-F")
    for read in (lambda: master.get_uint32(1, "DT100"), lambda: master.get_multi_uint32(1, "DT100", 1)):
        with pytest.raises(OSError, match="^Invalid feedback format: RD3412FF-F$"):
            read()


class Quiet(b4k_mew.MewSlaveBase):
    def on_get_coil(self, name):
        return False

    def on_set_coil(self, name, value):
        pass

    def on_get_multi_coil_uint16(self, name, count):
        return []

    def on_set_multi_coil_uint16(self, name, values):
        pass

    def on_get_multi_uint16(self, name, count):
        return []

    def on_set_multi_uint16(self, name, values):
        pass


def test_command_without_type_character_keeps_its_head():
    # The station search stops at the CR; white space around the digits
    # still reads as station 1, and the head is command[:-1].
    command = "% \t\r\n\n01\r"
    assert MewStatic.crc_is_ok(command) and MewStatic.parse_station(command) == 1
    assert Quiet(1)._process_request(command) == MewStatic.append_tail(command[:-1] + "!03")
