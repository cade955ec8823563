"""Addresses and values as a user types them, and their reads and writes."""

import functools
import math
import re

from .errors import MAX_FRAME_WORDS, _usage_error

TYPES = ("uint16", "int16", "uint32", "int32", "coil", "word")


# Each form: its pattern (letter, number digits, the hexadecimal bit digit of
# a contact) and the largest number its frame field has room for: three word
# digits for a contact, four for a word, five for a register.
_FORMS = (
    ("contact", re.compile(r"([XYRL])([0-9]*)([0-9A-F])"), 999),
    ("word", re.compile(r"W([XYRL])([0-9]+)()"), 9999),
    ("register", re.compile(r"([A-Z]{1,2})([0-9]+)()"), 99999),
)


class Address:
    """An address as a user types it: a contact ("R0010", "Y1F"), a word of
    16 contacts ("WX0") or a register ("DT100", "LD5", "S0")."""

    def __init__(self, text):
        self.text = text
        # Only ASCII: int() and str.upper() would take other scripts' digits
        # and letters for these.
        upper = text.strip().upper() if text.isascii() else ""
        for form, pattern, last in _FORMS:
            match = pattern.fullmatch(upper)
            if match:
                break
        else:
            raise _usage_error(
                "not an address: %r (a register like DT100, a contact like R0010, "
                "or a word of contacts like WX0)" % text
            )
        self.form = form
        self.letter, digits, bit = match.groups()
        # Keep the user's zero padding, so "DT0100" steps to "DT0101".
        self._width = min(len(digits), len(str(last)))
        self.number = 0
        self.last = last * 16 + 15 if bit else last
        significant = digits.lstrip("0") or "0"
        # The length first: int() refuses thousands of digits.
        if len(significant) > len(str(last)) or int(significant) > last:
            raise _usage_error("address out of range: %r (%s is the last %s)" % (text, self.last_name, self.form))
        self.number = int(significant) * 16 + int(bit, 16) if bit else int(significant)

    @property
    def default_type(self):
        return {"contact": "coil", "word": "word", "register": "uint16"}[self.form]

    def check_type(self, value_type):
        allowed = {"contact": ("coil",), "word": ("word",)}.get(self.form, ("uint16", "int16", "uint32", "int32"))
        if value_type not in allowed:
            raise _usage_error(
                "--type %s does not fit %s, a %s (use %s)"
                % (value_type, self.text, self.form, ", ".join(allowed))
            )

    def at(self, offset):
        """The name of the point, word or register ``offset`` places on."""
        number = self.number + offset
        if self.form == "contact":
            word, bit = divmod(number, 16)
            return "%s%03d%X" % (self.letter, word, bit)
        if self.form == "word":
            return "W%s%d" % (self.letter, number)
        return "%s%0*d" % (self.letter, self._width, number)

    @property
    def name(self):
        return self.at(0)

    @property
    def last_name(self):
        """The last address of this form that a frame has room for."""
        return self.at(self.last - self.number)


def _words_per_value(value_type):
    return 2 if value_type in ("uint32", "int32") else 1


def check_run(address, value_type, count):
    """Refuses ``count`` values from ``address`` on that run past the last
    address, or that one frame cannot carry, before anything is sent."""
    if count < 1:
        raise _usage_error("--count must be at least 1")
    step = _words_per_value(value_type)
    if address.number + count * step - 1 > address.last:
        raise _usage_error("%s to %s goes past %s, the last %s"
                           % (address.name, address.at(count * step - 1), address.last_name, address.form))
    # Contacts go one exchange a point.
    if value_type != "coil" and count * step > MAX_FRAME_WORDS:
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


def parse_value(text, value_type):
    if value_type == "coil":
        try:
            return _COIL_WORDS[text.strip().lower()]
        except KeyError:
            raise _usage_error("not a contact state: %r (use 1/0, on/off or true/false)" % text) from None
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
    name = address.name
    if value_type == "uint16":
        return master.get_multi_uint16(station, name, count)
    if value_type == "int16":
        if count == 1:
            return [master.get_int16(station, name)]
        return [w - 0x10000 if w & 0x8000 else w for w in master.get_multi_uint16(station, name, count)]
    if value_type == "uint32":
        return [master.get_uint32(station, name)] if count == 1 else master.get_multi_uint32(station, name, count)
    if value_type == "int32":
        return [master.get_int32(station, name)] if count == 1 else master.get_multi_int32(station, name, count)
    raise AssertionError(value_type)


@_garbled_answers_fail_the_line
def write_values(master, station, address, value_type, values):
    if value_type == "coil":
        for i, value in enumerate(values):
            master.set_coil(station, address.at(i), value)
        return
    name = address.name
    single = len(values) == 1
    if value_type == "word":
        if single:
            master.set_coil_uint16(station, name, values[0])
        else:
            master.set_multi_coil_uint16(station, name, values)
        return
    one, many = {
        "uint16": (master.set_uint16, master.set_multi_uint16),
        "int16": (master.set_int16, master.set_multi_int16),
        "uint32": (master.set_uint32, master.set_multi_uint32),
        "int32": (master.set_int32, master.set_multi_int32),
    }[value_type]
    if single:
        one(station, name, values[0])
    else:
        many(station, name, values)
