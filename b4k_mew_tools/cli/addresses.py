"""Addresses and values as a user types them, and their reads and writes."""

import functools
import math
import re
import struct

import b4k_mew

from .errors import MAX_FRAME_WORDS, _usage_error

TYPES = ("uint16", "int16", "uint32", "int32", "float32", "coil", "word")

# The contacts one command reads or writes together.
CONTACTS_PER_COMMAND = 8


_ALLOWED_TYPES = {
    "contact": ("coil",),
    "word": ("word",),
    "timer": ("uint16", "int16"),
    "register": ("uint16", "int16", "uint32", "int32", "float32"),
}


class Address:
    """An address as a user types it, read by the library's one parser
    (``b4k_mew.parse_address``): a contact ("R0010", "Y1F"), a word of 16
    contacts ("WX0"), a register ("DT100", "D100", "LD5", "FL0", "S0") or the
    set or elapsed value of a timer or counter ("SV0", "EV12")."""

    def __init__(self, text):
        self.text = text
        try:
            self._parsed = b4k_mew.parse_address(text)
        except ValueError as error:
            raise _usage_error(str(error)) from None
        self.form = self._parsed.form
        self.area = self._parsed.area
        self.number = self._parsed.number
        self.last = self._parsed.last

    @property
    def memory_area(self):
        """The area as a simulated device's memory names it: the letter of
        contacts and their words (X for WX), DT, LD, FL, S, SV or EV."""
        return self.area[-1] if self.form in ("contact", "word") else self.area

    @property
    def default_type(self):
        return _ALLOWED_TYPES[self.form][0]

    def check_type(self, value_type):
        allowed = _ALLOWED_TYPES[self.form]
        if value_type not in allowed:
            raise _usage_error(
                "--type %s does not fit %s, a %s (use %s)"
                % (value_type, self.text, self.form, ", ".join(allowed))
            )

    def at(self, offset):
        """The name of the point, word or register ``offset`` places on."""
        return self._parsed.at(offset)

    @property
    def name(self):
        return self._parsed.name

    @property
    def last_name(self):
        """The last address of this form that a frame has room for."""
        return self._parsed.last_name


def _words_per_value(value_type):
    return 2 if value_type in ("uint32", "int32", "float32") else 1


def check_run(address, value_type, count, split=False):
    """Refuses ``count`` values from ``address`` on that run past the last
    address, or that one frame cannot carry, before anything is sent; a
    read that the master ``split``s into several commands may be longer."""
    if count < 1:
        raise _usage_error("--count must be at least 1")
    step = _words_per_value(value_type)
    if address.number + count * step - 1 > address.last:
        raise _usage_error("%s to %s goes past %s, the last %s"
                           % (address.name, address.at(count * step - 1), address.last_name, address.form))
    # Contacts go one exchange a point.
    if value_type != "coil" and not split and count * step > MAX_FRAME_WORDS:
        raise _usage_error("%d values of %s are more words than one frame carries (%d)"
                           % (count, value_type, MAX_FRAME_WORDS))


_RANGES = {
    "uint16": (0, 0xFFFF),
    "word": (0, 0xFFFF),
    "int16": (-0x8000, 0x7FFF),
    "uint32": (0, 0xFFFFFFFF),
    "int32": (-0x80000000, 0x7FFFFFFF),
}


def parse_integer(text):
    """Decimal, or hexadecimal with 0x, or binary with 0b; a leading zero
    does not make a number octal, as engineers write "0100" meaning 100.
    Only ASCII digits, though int() takes those of every script."""
    cleaned = text.strip().replace("_", "")
    for base in (0, 10) if cleaned.isascii() else ():
        try:
            return int(cleaned, base)
        except ValueError:
            pass
    raise _usage_error("not a number: %r" % text)


def parse_seconds(text):
    """A finite number of seconds, in ASCII digits."""
    try:
        value = float(text) if text.isascii() else math.nan
    except ValueError:
        value = math.nan
    if not math.isfinite(value):
        raise _usage_error("not a number of seconds: %r" % text)
    return value


_COIL_WORDS = {"1": True, "on": True, "true": True, "0": False, "off": False, "false": False}


def _single(value):
    """``value`` as the nearest single-precision float; OverflowError beyond
    its range."""
    return struct.unpack("<f", struct.pack("<f", value))[0]


def _float_bits(value):
    return struct.unpack("<I", struct.pack("<f", value))[0]


def parse_float32(text):
    """A finite number that a single-precision float holds (it is stored
    rounded to the nearest one). A controller has no use for NaN or the
    infinities, so they are refused like any text that is not a number."""
    try:
        value = float(text) if text.isascii() else None
    except ValueError:
        value = None
    if value is None:
        raise _usage_error("not a number: %r" % text)
    if not math.isfinite(value):
        raise _usage_error("not a finite number: %r (float32 registers take finite values only)" % text)
    try:
        _single(value)
    except OverflowError:
        raise _usage_error("%s is out of range for float32 (about -3.4e38 to 3.4e38)" % text.strip()) from None
    return value


def format_float32(value):
    """The shortest decimal that reads back as the same single-precision
    value: 0.1, not the 0.10000000149011612 that the double holding it
    shows."""
    if not math.isfinite(value):
        return repr(value)
    for digits in range(1, 10):  # nine significant digits tell every single apart
        text = "%.*g" % (digits, value)
        try:
            if _single(float(text)) == value:
                return repr(float(text))
        except OverflowError:  # rounded up past the largest single
            pass
    return repr(value)


def parse_value(text, value_type):
    if value_type == "coil":
        try:
            return _COIL_WORDS[text.strip().lower()]
        except KeyError:
            raise _usage_error("not a contact state: %r (use 1/0, on/off or true/false)" % text) from None
    if value_type == "float32":
        return parse_float32(text)
    value = parse_integer(text)
    low, high = _RANGES[value_type]
    # A signed register written as a hexadecimal bit pattern (0xFFFF for -1)
    # is taken as those bits, as the register would show them.
    if value_type.startswith("int") and value > high and re.match(r"^\s*0[xXbB]", text):
        bits = 16 if value_type == "int16" else 32
        if value < 1 << bits:
            value -= 1 << bits
    if not low <= value <= high:
        raise _usage_error("%s is out of range for %s (%d to %d)" % (text, value_type, low, high))
    return value


def format_value(value, value_type, hexadecimal=False):
    if value_type == "coil":
        return "1" if value else "0"
    if value_type == "word":
        return "0x%04X" % value
    if value_type == "float32":
        # In hexadecimal: the bits of the two registers, as a program that
        # reads them as one 32-bit word sees them.
        return "0x%08X" % _float_bits(value) if hexadecimal else format_float32(value)
    if hexadecimal:
        bits = 16 if value_type in ("uint16", "int16") else 32
        return "0x%0*X" % (bits // 4, value & ((1 << bits) - 1))
    return str(value)


def _garbled_answers_fail_the_line(function):
    """The library refuses a garbled answer with ValueError or IndexError;
    for the user that is the line failing, as a time-out is."""

    @functools.wraps(function)
    def exchange(*args):
        try:
            return function(*args)
        except (ValueError, IndexError) as error:
            raise OSError("unreadable answer: %s" % error) from None

    return exchange


@_garbled_answers_fail_the_line
def read_values(master, station, address, value_type, count):
    """``count`` values from ``address`` on, each one exchange for a run of
    registers or words, one exchange per point for contacts."""
    if value_type == "coil":
        return [master.get_coil(station, address.at(i)) for i in range(count)]
    if value_type == "word":
        return master.get_multi_coil_uint16(station, address.name, count)
    if address.form == "timer":
        get = master.get_preset_values if address.area == "SV" else master.get_elapsed_values
        words = get(station, address.number, count)
        return [_signed16(w) for w in words] if value_type == "int16" else words
    name = address.name
    if value_type == "uint16":
        return master.get_multi_uint16(station, name, count)
    if value_type == "int16":
        if count == 1:
            return [master.get_int16(station, name)]
        return [_signed16(w) for w in master.get_multi_uint16(station, name, count)]
    if value_type == "uint32":
        return [master.get_uint32(station, name)] if count == 1 else master.get_multi_uint32(station, name, count)
    if value_type == "int32":
        return [master.get_int32(station, name)] if count == 1 else master.get_multi_int32(station, name, count)
    if value_type == "float32":
        return [master.get_float32(station, name)] if count == 1 else master.get_multi_float32(station, name, count)
    raise AssertionError(value_type)


def _signed16(word):
    return word - 0x10000 if word & 0x8000 else word


def _in_commands(items):
    for start in range(0, len(items), CONTACTS_PER_COMMAND):
        yield items[start:start + CONTACTS_PER_COMMAND]


@_garbled_answers_fail_the_line
def read_contacts(master, station, addresses):
    """The state of each contact of ``addresses``, several to a command."""
    states = []
    for group in _in_commands([address.name for address in addresses]):
        states.extend(master.get_coils(station, group))
    return states


@_garbled_answers_fail_the_line
def write_contacts(master, station, pairs):
    """Sets each (address, state) of ``pairs``, several to a command, in
    their order: a contact named twice ends with its last state."""
    for group in _in_commands([(address.name, state) for address, state in pairs]):
        master.set_coils(station, group)


@_garbled_answers_fail_the_line
def write_values(master, station, address, value_type, values):
    if value_type == "coil":
        for i, value in enumerate(values):
            master.set_coil(station, address.at(i), value)
        return
    if address.form == "timer":
        put = master.set_preset_values if address.area == "SV" else master.set_elapsed_values
        put(station, address.number, [value & 0xFFFF for value in values])
        return
    name = address.name
    single = len(values) == 1
    if value_type == "word":
        if single:
            master.set_coil_uint16(station, name, values[0])
        else:
            master.set_multi_coil_uint16(station, name, values)
        return
    # set_uint16 / set_multi_uint16, set_float32 / set_multi_float32, ...
    if single:
        getattr(master, "set_" + value_type)(station, name, values[0])
    else:
        getattr(master, "set_multi_" + value_type)(station, name, values)
