"""The one reading of addresses (b4k_mew.parse_address): every area, its
limits and its two refusals, and the tools that refuse through it."""

import os
import re
import sys

import pytest

import b4k_mew
from b4k_mew_tools import Simulator

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_cli import run  # noqa: E402

# text: (area, form, number, name, the name two places on)
AREAS = {
    "X0": ("X", "contact", 0, "X0000", "X0002"),
    "y1f": ("Y", "contact", 0x1F, "Y001F", "Y0021"),
    " R0010 ": ("R", "contact", 16, "R0010", "R0012"),
    "LD": ("L", "contact", 13, "L000D", "L000F"),  # L, word 0, bit D: a contact, as every L...
    "L100": ("L", "contact", 160, "L0100", "L0102"),
    "WX0": ("WX", "word", 0, "WX0", "WX2"),
    "wy12": ("WY", "word", 12, "WY12", "WY14"),
    "WR0010": ("WR", "word", 10, "WR10", "WR12"),
    "WL9999": ("WL", "word", 9999, "WL9999", "WL10001"),
    "DT100": ("DT", "register", 100, "DT100", "DT102"),
    "DT0100": ("DT", "register", 100, "DT0100", "DT0102"),
    "D00100": ("DT", "register", 100, "D00100", "D00102"),
    "ld5": ("LD", "register", 5, "LD5", "LD7"),
    "FL0": ("FL", "register", 0, "FL0", "FL2"),
    "F7": ("FL", "register", 7, "F7", "F9"),
    "S0": ("S", "register", 0, "S0", "S2"),
    "SV0": ("SV", "timer", 0, "SV0", "SV2"),
    "ev12": ("EV", "timer", 12, "EV12", "EV14"),
}

# The last address of each area's frame field, and the first past it.
LIMITS = [("X999F", "X10000"), ("L999F", "L10000"), ("WX9999", "WX10000"), ("DT99999", "DT100000"),
          ("D99999", "D0100000"), ("LD99999", "LD100000"), ("FL99999", "FL100000"), ("S99999", "S100000"),
          ("SV9999", "SV10000"), ("EV9999", "EV00010000")]

NOT_ADDRESSES = ["", "  ", "DX100", "DT", "DT-1", "DT1.5", "D T1", "WZ1", "W", "WX", "Q1", "XG", "E1", "SV", "1DT",
                 "DT\uff11\uff10\uff10", "R\u0661", "DT1\r%01#WCSY00011**", "X" * 5000]


@pytest.mark.parametrize("text", sorted(AREAS))
def test_every_area_is_read_with_its_number_and_names(text):
    address = b4k_mew.parse_address(text)
    area, form, number, name, two_on = AREAS[text]
    assert (address.area, address.form, address.number, address.name, address.at(2)) == (area, form, number,
                                                                                          name, two_on)
    if form == "contact":
        assert (address.word, address.bit) == divmod(number, 16)


@pytest.mark.parametrize("last, past", LIMITS)
def test_each_area_ends_where_its_frame_field_does(last, past):
    address = b4k_mew.parse_address(last)
    assert address.number == address.last and address.last_name == last
    with pytest.raises(ValueError) as refused:
        b4k_mew.parse_address(past)
    assert str(refused.value) == "address out of range: %r (%s is the last %s)" % (past, last, address.form)


@pytest.mark.parametrize("text", NOT_ADDRESSES)
def test_a_text_naming_no_area_gets_the_one_message(text):
    with pytest.raises(ValueError, match=r"^not an address: %s \(a contact X, Y, R, L like R0010; .* SV, EV"
                       % re.escape(repr(text))):
        b4k_mew.parse_address(text)


def test_the_command_line_and_the_poller_refuse_with_the_same_message():
    with pytest.raises(ValueError) as refused:
        b4k_mew.parse_address("DX100")
    status, out, err = run("read", "DX100", "--port", "/dev/b4k-mew-no-such-port")
    assert (status, out, err) == (2, "", "b4k-mew: error: %s\n" % refused.value)
    with Simulator(None) as sim:
        master = b4k_mew.MewMaster("tcp://127.0.0.1:%d" % sim.listen("127.0.0.1", 0).port)
        try:
            with b4k_mew.Poller(master) as poller:
                for text in ("DX100", "DT100000"):
                    with pytest.raises(ValueError) as by_parser:
                        b4k_mew.parse_address(text)
                    with pytest.raises(ValueError, match="^%s$" % re.escape(str(by_parser.value))):
                        poller.add(1, text)
                with pytest.raises(ValueError, match="SV0 is the value of a timer or counter"):
                    poller.add(1, "SV0")
                assert poller.add(1, "S5") == "1:S5"
        finally:
            master.close()
