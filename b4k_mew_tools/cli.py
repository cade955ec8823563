"""The ``b4k-mew`` command: read, write, watch and scan the stations on a
serial line, simulate a rack of devices, or run a demonstration that needs
no hardware.

    b4k-mew read  --port /dev/ttyUSB0 DT100 --count 4
    b4k-mew write --port /dev/ttyUSB0 --station 2 R0010 on
    b4k-mew scan  --port /dev/ttyUSB0
    b4k-mew watch --port /dev/ttyUSB0 DT100 WX0 --interval 0.5
    b4k-mew simulate --port /dev/ttyUSB1 --device 1:xy --device 2:plc
    b4k-mew demo

Exit status: 0 on success, 1 when the line fails (a time-out, an error
response), 2 for bad arguments or a port that cannot be opened, 130 when
interrupted.
"""

import argparse
import contextlib
import datetime
import functools
import math
import os
import re
import signal
import sys
import threading
import time

import serial

import b4k_mew

from .simulator import KINDS, Device, Simulator
from .virtual_line import VirtualLine

PROG = "b4k-mew"

# The library reports these two failures with fixed texts; a user is better
# served by words that name the station and the cure.
TIMEOUT_TEXT = "MewMasterBase: device response timeout."
ERROR_CODE_RE = re.compile(r"^MEW communication error code\(hex\): (.*)$")

TYPES = ("uint16", "int16", "uint32", "int32", "coil", "word")
KIND_NAMES = {
    b4k_mew.INST_TYPE_UNKNOWN: "unknown",
    b4k_mew.INST_TYPE_XY: "xy",
    b4k_mew.INST_TYPE_Axis: "axis",
    b4k_mew.INST_TYPE_AD: "ad",
}
# A manager must have a slave station number of its own; one that no device
# on an ordinary line uses keeps it from answering in a device's place.
DEFAULT_SLAVE_STATION = 255
# The library writes a station in hexadecimal, with more than two digits when
# it needs them, up to the largest number it holds.
MAX_STATION = (1 << 63) - 1
# Far above any serial adapter, and well inside the C int that the serial
# library hands to the driver.
MAX_BAUDRATE = 100_000_000
# No answer, poll or simulation is worth waiting more than a day for.
MAX_SECONDS = 24 * 3600
# The library drops a received frame longer than 64 KiB as line noise; at four
# hexadecimal digits a word this leaves room for a header with the longest
# station, the command and the check code.
MAX_FRAME_WORDS = (64 * 1024 - 64) // 4
# An error line quotes what came from the line or the user, which may be a
# whole frame.
ERROR_LINE_LIMIT = 200


class CliError(Exception):
    """A failure to report as one line on stderr, with an exit status."""

    def __init__(self, message, status):
        super().__init__(message)
        self.status = status


def _usage_error(message):
    return CliError(message, 2)


def one_line(text, limit=ERROR_LINE_LIMIT):
    """``text`` fit for one line of a terminal or a log: characters that are
    not printable escaped as repr shows them, and cut to ``limit``."""
    text = "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)
    return text if len(text) <= limit else text[:limit - 3] + "..."


def check_range(value, text, low, high, above=False):
    """``value`` (parsed from ``text``), refused outside ``low`` to ``high``,
    or at ``low`` when it must be ``above`` it. NaN is outside every range."""
    if (low < value if above else low <= value) and value <= high:
        return value
    bounds = ("above %s, up to %s" if above else "%s to %s") % (low, high)
    raise _usage_error("%s is out of range (%s)" % (text.strip(), bounds))


def option(parse, low=None, high=None, above=False):
    """An argparse type: ``parse`` the text, then ``check_range`` it when
    ``low`` is given."""

    def convert(text):
        try:
            value = parse(text)
            return value if low is None else check_range(value, text, low, high, above)
        except CliError as error:
            raise argparse.ArgumentTypeError(str(error)) from None

    return convert


# ---------------------------------------------------------------------------
# Addresses and values


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


def line_failure(error, query_timeout):
    """What went wrong on the line, in a user's words, without the station."""
    text = str(error)
    if text == TIMEOUT_TEXT:
        return "no answer within %g s (time-out)" % query_timeout
    match = ERROR_CODE_RE.match(text)
    if match:
        return "error response, code %s" % match.group(1)
    return text


def describe_line_error(error, station, query_timeout):
    return "station %d: %s" % (station, line_failure(error, query_timeout))


# ---------------------------------------------------------------------------
# The port and the stations


_PARITIES = {"N": serial.PARITY_NONE, "E": serial.PARITY_EVEN, "O": serial.PARITY_ODD}
_STOPBITS = {"1": serial.STOPBITS_ONE, "1.5": serial.STOPBITS_ONE_POINT_FIVE, "2": serial.STOPBITS_TWO}


def serial_settings(args):
    return {
        "baudrate": args.baudrate,
        "bytesize": args.bytesize,
        "parity": _PARITIES[args.parity],
        "stopbits": _STOPBITS[args.stopbits],
    }


def describe_settings(args):
    return "%d baud, %d%s%s" % (args.baudrate, args.bytesize, args.parity, args.stopbits)


def open_channel(args):
    """The serial channel, or a CliError with status 2.

    Stations take a port name only in the "/dev/tty*" and "COM*" forms, so
    the channel is opened here, which works for every name the serial
    library knows (pseudo-terminals, by-id links)."""
    try:
        return b4k_mew.MewSerial(port=args.port, **serial_settings(args))
    except serial.SerialException as error:
        reason = os.strerror(error.errno) if isinstance(error.errno, int) else str(error)
        raise CliError("cannot open port %s: %s" % (args.port, reason), 2) from None
    except (ValueError, OSError) as error:
        raise CliError("cannot open port %s: %s" % (args.port, error), 2) from None


@contextlib.contextmanager
def opened(station_class, args, **keywords):
    """A station of ``station_class`` on the port of ``args``, closed on the
    way out whatever happens: its threads would otherwise keep the process
    alive."""
    channel = open_channel(args)
    try:
        station = station_class(channel, **keywords)
    except BaseException:
        channel.close()
        raise
    try:
        yield station
    finally:
        station.close()


# Set once Ctrl-C or ``kill`` has asked a command to stop: the library ends a
# scan quietly at any error of a callback, the KeyboardInterrupt as well.
_stop_requested = threading.Event()
# The signal that asked, when one did: SIGTERM is how a service manager ends
# the long-running commands (watch, simulate), and that is a normal end.
_stop_signal = None


def _ended_normally():
    """For watch and simulate, which run until stopped: True when the stop
    was a plain ``kill``; Ctrl-C is an interruption like in every command."""
    return _stop_signal == signal.SIGTERM


@contextlib.contextmanager
def _stop_signals():
    """Lets ``kill`` end a command as Ctrl-C does, so that the stations are
    closed and the port released, and notes that either came; the previous
    handlers come back afterwards, for callers of ``main`` inside a larger
    program."""

    def interrupt(signum, frame):
        global _stop_signal
        _stop_signal = signum
        _stop_requested.set()
        raise KeyboardInterrupt

    global _stop_signal
    _stop_signal = None
    _stop_requested.clear()
    previous = {}
    try:
        for signum in (signal.SIGINT, signal.SIGTERM):
            previous[signum] = signal.signal(signum, interrupt)
    except ValueError:  # only the main thread may set handlers
        pass
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


# The standard output of the running command: the library writes its own
# messages to sys.stdout, which goes to stderr meanwhile (see main).
_results = None


def _print(*parts, stream=None):
    print(*parts, file=stream or _results or sys.stdout, flush=True)


# ---------------------------------------------------------------------------
# read, write, watch


def _target(text, args, count=1):
    address = Address(text)
    value_type = args.type or address.default_type
    address.check_type(value_type)
    check_run(address, value_type, count)
    return address, value_type


def cmd_read(args):
    address, value_type = _target(args.address, args, args.count)
    step = _words_per_value(value_type)
    with opened(b4k_mew.MewMaster, args, query_timeout=args.timeout) as master:
        values = read_values(master, args.station, address, value_type, args.count)
    for i, value in enumerate(values):
        _print("%s = %s" % (address.at(i * step), format_value(value, value_type, args.hex)))
    return 0


def cmd_write(args):
    address, value_type = _target(args.address, args, len(args.values))
    values = [parse_value(text, value_type) for text in args.values]
    with opened(b4k_mew.MewMaster, args, query_timeout=args.timeout) as master:
        write_values(master, args.station, address, value_type, values)
    _print("ok")
    return 0


def _timestamp():
    return datetime.datetime.now().strftime("%H:%M:%S.%f")[:-3]


def cmd_watch(args):
    targets = [_target(text, args) for text in args.addresses]
    if args.count < 0:
        raise _usage_error("--count must not be negative")
    last = [None] * len(targets)
    failing = [None] * len(targets)
    polls = 0
    with opened(b4k_mew.MewMaster, args, query_timeout=args.timeout) as master:
        start = time.monotonic()
        try:
            while True:
                all_read = True
                for i, (address, value_type) in enumerate(targets):
                    try:
                        value = read_values(master, args.station, address, value_type, 1)[0]
                    except OSError as error:
                        all_read = False
                        message = one_line(describe_line_error(error, args.station, args.timeout))
                        # A station that stays silent is reported once, not at
                        # every poll.
                        if failing[i] != message:
                            _print("%s %s: %s" % (_timestamp(), address.name, message), stream=sys.stderr)
                        failing[i] = message
                        continue
                    failing[i] = None
                    shown = format_value(value, value_type, args.hex)
                    if last[i] is None:
                        _print("%s %s = %s" % (_timestamp(), address.name, shown))
                    elif last[i] != value:
                        old = format_value(last[i], value_type, args.hex)
                        _print("%s %s %s -> %s" % (_timestamp(), address.name, old, shown))
                    last[i] = value
                polls += 1
                if args.count and polls >= args.count:
                    return 0 if all_read else 1
                # Polls keep to a fixed grid; a slow line skips ahead instead
                # of firing a burst of late polls.
                delay = start + polls * args.interval - time.monotonic()
                if delay < 0:
                    start = time.monotonic() - polls * args.interval
                    delay = 0
                time.sleep(delay)
        except KeyboardInterrupt:
            if _ended_normally():
                return 0
            raise


# ---------------------------------------------------------------------------
# scan


class ScanningManager(b4k_mew.InstManager):
    """An instrument manager that reports each station as its scan reaches
    it. The scan reads every station's type through the manager's own
    ``get_uint16``, so overriding it sees the scan's progress."""

    def __init__(self, *args, progress=None, **kwargs):
        super().__init__(*args, **kwargs)
        self.progress = progress
        self.last_error = None
        self.interrupted = False

    def get_uint16(self, station, name):
        try:
            if name == "S0" and self.progress is not None:
                self.progress(station)
            return super().get_uint16(station, name)
        except KeyboardInterrupt:
            # The scan ends quietly at any error; remember that this one was
            # the user's, to stop there.
            self.interrupted = True
            raise
        except Exception as error:
            self.last_error = (station, error)
            raise


def run_scan(manager):
    manager.initialize_inst_list()
    # Even an interruption that met no override of ours stops the scan: the
    # list it made is not the rack.
    if manager.interrupted or _stop_requested.is_set():
        raise KeyboardInterrupt


def scan_rows(manager):
    """One row per instrument: station, kind, firmware, inputs, outputs."""
    rows = []
    for inst in manager._all_list:
        kind = KIND_NAMES.get(inst.inst_type, str(inst.inst_type))
        if inst.inst_type == b4k_mew.INST_TYPE_XY:
            inputs, outputs = "0x%04X" % inst.get_wx(), "0x%04X" % inst.get_wy()
        else:
            inputs = outputs = "-"
        rows.append((str(inst.station), kind, "0x%04X" % inst.firmware_version, inputs, outputs))
    return rows


def format_table(header, rows):
    widths = [max(len(str(cell)) for cell in column) for column in zip(header, *rows)]
    lines = []
    for row in [header] + rows:
        cells = [str(cell).rjust(w) if i == 0 else str(cell).ljust(w) for i, (cell, w) in enumerate(zip(row, widths))]
        lines.append("  ".join(cells).rstrip())
    return lines


def scan_summary(manager, query_timeout):
    counts = [("xy", manager.xy_count), ("axis", manager.axis_count), ("ad", manager.ad_count)]
    unknown = manager.inst_count - sum(n for _, n in counts)
    counts.append(("unknown", unknown))
    found = "%d device%s" % (manager.inst_count, "" if manager.inst_count == 1 else "s")
    detail = ", ".join("%d %s" % (n, kind) for kind, n in counts)
    line = "%s: %s" % (found, detail)
    if manager.last_error is not None:
        station, error = manager.last_error
        line += "; stopped at station %d: %s" % (station, one_line(line_failure(error, query_timeout)))
    return line


def print_scan(manager, query_timeout):
    rows = scan_rows(manager)
    if rows:
        for line in format_table(("station", "kind", "firmware", "inputs", "outputs"), rows):
            _print(line)
    _print(scan_summary(manager, query_timeout))


def _progress_printer(stream):
    # On a terminal the progress line is rewritten in place; in a log or a
    # pipe each station gets a line of its own.
    if stream.isatty():
        def show(station):
            stream.write("\rscanning station %d ..." % station)
            stream.flush()

        def done():
            stream.write("\r\033[K")
            stream.flush()
    else:
        def show(station):
            _print("scanning station %d ..." % station, stream=stream)

        def done():
            pass
    return show, done


def cmd_scan(args):
    show, done = _progress_printer(sys.stderr) if not args.quiet else (None, lambda: None)
    with opened(
        ScanningManager, args, query_timeout=args.timeout, slave_station=args.slave_station, progress=show
    ) as manager:
        try:
            run_scan(manager)
        finally:
            done()
        print_scan(manager, args.timeout)
    return 0


# ---------------------------------------------------------------------------
# simulate


class LoggingDevice(Device):
    """A simulated device that prints each command it serves, with the
    names as the frames carry them (D00100 is DT100, X0000 the word WX0)."""

    def _log(self, text):
        _print("%s station %d: %s" % (_timestamp(), self.station, text))

    def on_get_coil(self, name):
        value = super().on_get_coil(name)
        self._log("read %s = %d" % (name, value))
        return value

    def on_set_coil(self, name, value):
        super().on_set_coil(name, value)
        self._log("write %s = %d" % (name, bool(value)))

    def on_get_multi_coil_uint16(self, name, count):
        values = super().on_get_multi_coil_uint16(name, count)
        self._log("read %s x%d = %s" % (name, count, " ".join("0x%04X" % v for v in values)))
        return values

    def on_set_multi_coil_uint16(self, name, values):
        super().on_set_multi_coil_uint16(name, values)
        self._log("write %s = %s" % (name, " ".join("0x%04X" % v for v in values)))

    def on_get_multi_uint16(self, name, count):
        values = super().on_get_multi_uint16(name, count)
        self._log("read %s x%d = %s" % (name, count, " ".join(str(v) for v in values)))
        return values

    def on_set_multi_uint16(self, name, values):
        super().on_set_multi_uint16(name, values)
        self._log("write %s = %s" % (name, " ".join(str(v) for v in values)))


class DeviceOption:
    """One ``--device STATION:KIND[:firmware=N][:inputs=N][:type=N][:ADDRESS=N...]``
    of ``simulate``."""

    def __init__(self, text):
        try:
            self._parse(text)
        except CliError as error:
            raise _usage_error("--device %r: %s" % (text, error)) from None

    def _parse(self, text):
        parts = text.split(":")
        if len(parts) < 2:
            raise _usage_error("expected STATION:KIND, e.g. 1:xy")
        self.station = parse_integer(parts[0])
        if self.station < 1:
            raise _usage_error("station numbers start at 1")
        check_range(self.station, parts[0], 1, MAX_STATION)
        self.kind = parts[1].strip().lower()
        if self.kind not in KINDS:
            raise _usage_error("unknown kind %r (one of %s)" % (parts[1], ", ".join(KINDS)))
        self.firmware = 0x0100
        self.inputs = None
        self.type_code = None
        self.presets = []
        for setting in parts[2:]:
            key, sep, value = setting.partition("=")
            if not sep:
                raise _usage_error("%r is not KEY=VALUE" % setting)
            key = key.strip().lower()
            number = parse_integer(value)
            if not 0 <= number <= 0xFFFF:
                raise _usage_error("%s is not a 16-bit word" % value)
            if key == "firmware":
                self.firmware = number
            elif key == "inputs":
                self.inputs = number
            elif key == "type":
                self.type_code = number
            else:
                address = Address(key)
                if address.form == "contact":
                    raise _usage_error("preset whole words (WR1=0x0001), not contacts")
                self.presets.append((address, number))

    def add_to(self, simulator, device_class):
        device = device_class(self.station, kind=self.kind, firmware=self.firmware, type_code=self.type_code)
        simulator.devices[self.station] = device
        if self.inputs is not None:
            device.set_inputs(self.inputs)
        for address, number in self.presets:
            if address.form == "word":
                device.write_words(address.letter, address.number, [number])
            else:
                device.write_registers(address.letter, address.number, [number])
        return device

    def describe(self, device):
        details = []
        # A plain PLC has no type register; it shows up as "unknown" in a scan.
        if device.kind != "plc" or self.type_code is not None:
            details.append("type %d, firmware 0x%04X" % (device.read_registers("S", 0, 1)[0], self.firmware))
        if self.inputs is not None:
            details.append("inputs 0x%04X" % self.inputs)
        details += ["%s=%d" % (address.name, number) for address, number in self.presets]
        return ("station %-3d %-7s %s" % (self.station, self.kind, ", ".join(details))).rstrip()


def cmd_simulate(args):
    options = [DeviceOption(text) for text in args.device]
    stations = [entry.station for entry in options]
    duplicates = sorted({s for s in stations if stations.count(s) > 1})
    if duplicates:
        raise _usage_error("station %s given more than once" % ", ".join(map(str, duplicates)))
    device_class = LoggingDevice if args.verbose else Device
    with opened(Simulator, args) as simulator:
        devices = [(entry, entry.add_to(simulator, device_class)) for entry in options]
        simulator.start()
        # A stop request may come as soon as anything is printed: the whole
        # run, announcements included, ends quietly on it.
        try:
            _print("simulating %d device%s on %s (%s):" % (len(options), "" if len(options) == 1 else "s", args.port,
                                                       describe_settings(args)))
            for entry, device in sorted(devices, key=lambda pair: pair[0].station):
                _print("  " + entry.describe(device))
            if args.duration is None:
                _print("running until Ctrl-C")
            else:
                _print("running for %g s (Ctrl-C stops earlier)" % args.duration)
            if args.duration is None:
                while True:
                    time.sleep(3600)
            else:
                time.sleep(args.duration)
        except KeyboardInterrupt:
            interrupted = not _ended_normally()
        else:
            interrupted = False
        writes = sum(device.writes for _, device in devices)
    _print("stopped (%d write%s served)" % (writes, "" if writes == 1 else "s"))
    if interrupted:
        raise KeyboardInterrupt
    return 0


# ---------------------------------------------------------------------------
# demo


def cmd_demo(args):
    rack = [(1, "xy"), (2, "xy"), (3, "axis"), (4, "ad"), (5, "plc")]
    query_timeout = 0.2
    say = _print
    with contextlib.ExitStack() as stack:
        line = stack.enter_context(VirtualLine())
        say("b4k-mew demo: a simulated rack on a virtual serial line")
        say("  devices on %s, master on %s" % (line.port_a, line.port_b))
        say("")

        simulator = stack.enter_context(Simulator(b4k_mew.MewSerial(port=line.port_a)))
        for station, kind in rack:
            simulator.add_device(station, kind, firmware=0x0102)
        simulator.devices[1].set_inputs(0x00A5)
        plc = simulator.devices[5]
        plc.write_registers("D", 0, [100, 200, 300])
        simulator.start()
        say("== the simulated rack")
        for station, kind in rack:
            say("  station %d: %s" % (station, kind))
        say("  station 1 inputs 0x00A5; station 5 registers DT0..DT2 = 100 200 300")
        say("  (station 5 has no type register, so a scan reports it as unknown)")
        say("")

        say("== scan with InstManager.initialize_inst_list()")
        manager = ScanningManager(
            b4k_mew.MewSerial(port=line.port_b),
            query_timeout=query_timeout,
            slave_station=DEFAULT_SLAVE_STATION,
            progress=lambda station: say("  scanning station %d ..." % station),
        )
        stack.callback(manager.close)
        run_scan(manager)
        for text in format_table(("station", "kind", "firmware", "inputs", "outputs"), scan_rows(manager)):
            say("  " + text)
        say("  " + scan_summary(manager, query_timeout))
        say("")

        say("== registers of station 5 with MewMaster calls")
        master = manager  # the manager is a full MewMaster as well
        say("  get_multi_uint16(5, 'DT0', 3)     = %s" % master.get_multi_uint16(5, "DT0", 3))
        master.set_uint16(5, "DT100", 4660)
        say("  set_uint16(5, 'DT100', 4660)      -> get_uint16 = %d" % master.get_uint16(5, "DT100"))
        master.set_int16(5, "DT101", -1234)
        say("  set_int16(5, 'DT101', -1234)      -> get_int16 = %d" % master.get_int16(5, "DT101"))
        master.set_uint32(5, "DT102", 305419896)
        say("  set_uint32(5, 'DT102', 305419896) -> get_uint32 = %d" % master.get_uint32(5, "DT102"))
        master.set_int32(5, "DT104", -2)
        say("  set_int32(5, 'DT104', -2)         -> get_int32 = %d" % master.get_int32(5, "DT104"))
        words = master.get_multi_uint16(5, "DT100", 6)
        say("  the same six registers as words: %s" % " ".join("0x%04X" % w for w in words))
        master.set_coil(5, "R0010", True)
        say("  set_coil(5, 'R0010', True)        -> get_coil = %s" % master.get_coil(5, "R0010"))
        say("  get_coil_uint16(5, 'WR1')         = 0x%04X (R0010 is bit 0 of word WR1)"
            % master.get_coil_uint16(5, "WR1"))
        master.set_coil_uint16(5, "WR2", 0x8001)
        say("  set_coil_uint16(5, 'WR2', 0x8001) -> get_coil(5, 'R002F') = %s" % master.get_coil(5, "R002F"))
        say("  the simulator holds DT100 = %d and WR1 = 0x%04X"
            % (plc.read_registers("DT", 100, 1)[0], plc.read_words("R", 1, 1)[0]))
        say("")

        say("== outputs through the flat lists")
        out1, out2 = simulator.devices[1], simulator.devices[2]
        manager.y[3] = True
        say("  mgr.y[3] = True      -> station 1 outputs 0x%04X" % out1.outputs)
        manager.y[17] = True
        say("  mgr.y[17] = True     -> station 2 outputs 0x%04X (point 1 of the second XY device)" % out2.outputs)
        manager.wy[1] = 0x00F0
        say("  mgr.wy[1] = 0x00F0   -> station 2 outputs 0x%04X" % out2.outputs)
        writes = out1.writes
        manager.y[3] = True
        sent = out1.writes - writes
        say("  mgr.y[3] = True again: %d frame%s sent (the copy already shows it on)"
            % (sent, "" if sent == 1 else "s"))
        say("  mgr.y[3] = %s, mgr.wy[0] = 0x%04X, mgr.wy[1] = 0x%04X" % (manager.y[3], manager.wy[0], manager.wy[1]))
        say("")

        say("== inputs: the device changes, the manager is told")
        xy = manager._xy_list[0]
        out1.set_inputs(0x005A)
        say("  simulator: station 1 inputs 0x00A5 -> 0x005A")
        say("  mgr.wx[0] = 0x%04X (the copy, until it is updated)" % manager.wx[0])
        word = manager.get_coil_uint16(1, "WX0")
        new, old = xy.on_update_wx(word)
        say("  get_coil_uint16(1, 'WX0') = 0x%04X; on_update_wx -> new 0x%04X, old 0x%04X" % (word, new, old))
        say("  mgr.wx[0] = 0x%04X; mgr.x[0..7] = %s"
            % (manager.wx[0], " ".join(str(int(manager.x[i])) for i in range(8))))
        say("")
    say("demo finished")
    return 0


# ---------------------------------------------------------------------------
# The parser


class _Formatter(argparse.RawDescriptionHelpFormatter):
    pass


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        # One line, as every other error; the usage is a --help away.
        raise CliError("%s; see %s --help" % (message, self.prog), 2)


_seconds = option(parse_seconds, 0, MAX_SECONDS, above=True)
_SECONDS_RANGE = "above 0, up to %d" % MAX_SECONDS


def _serial_parent():
    parent = argparse.ArgumentParser(add_help=False)
    group = parent.add_argument_group("serial line")
    group.add_argument("--port", required=True, help="serial port, e.g. /dev/ttyUSB0, /dev/pts/3 or COM3")
    group.add_argument("--baudrate", type=option(parse_integer, 1, MAX_BAUDRATE), default=9600,
                       help="bits per second, 1 to %d (default 9600)" % MAX_BAUDRATE)
    group.add_argument("--bytesize", type=option(parse_integer), choices=(5, 6, 7, 8), default=8,
                       help="data bits (default 8)")
    group.add_argument("--parity", type=str.upper, choices=tuple(_PARITIES), default="N",
                       help="N, E or O (default N)")
    group.add_argument("--stopbits", choices=tuple(_STOPBITS), default="1", help="1, 1.5 or 2 (default 1)")
    return parent


def _master_parent():
    parent = argparse.ArgumentParser(add_help=False)
    group = parent.add_argument_group("master")
    group.add_argument("--station", type=option(parse_integer, 0, MAX_STATION), default=1,
                       help="station to talk to, 0 to %d (default 1)" % MAX_STATION)
    group.add_argument("--timeout", type=_seconds, default=1.0,
                       help="seconds to wait for each answer, %s (default 1.0)" % _SECONDS_RANGE)
    return parent


def _type_option(parser):
    parser.add_argument("--type", choices=TYPES, help=(
        "how to read the address: coil (one contact), word (16 contacts), or a register as "
        "uint16, int16, uint32, int32 (default: coil for X/Y/R/L contacts, word for W... words, "
        "uint16 for registers)"))


ADDRESSES_HELP = """\
addresses:
  registers   DT100, D100, LD5, FL0, S0    (uint16, int16, uint32, int32;
                                            numbers 0 to 99999)
  contacts    X0000, Y0010, R001F, L5      (coil: three decimal word digits
                                            and one hexadecimal bit digit,
                                            X0000 to X999F)
  words       WX0, WY1, WR10, WL0          (word: 16 contacts, bit 0 first;
                                            numbers 0 to 9999)
"""

READ_EPILOG = ADDRESSES_HELP + """
examples:
  b4k-mew read --port /dev/ttyUSB0 DT100
  b4k-mew read --port /dev/ttyUSB0 --station 2 DT100 --count 4 --type int16
  b4k-mew read --port COM3 DT200 --type uint32 --count 2
  b4k-mew read --port /dev/ttyUSB0 R0010 --count 16
  b4k-mew read --port /dev/ttyUSB0 --baudrate 19200 --parity O WX0

Prints one line per value, "DT100 = 4660"; the address steps by one
register (two for 32-bit types), one contact or one word per value. The
values must end by the last address, and registers and words must fit one
frame: at most %d words.
""" % MAX_FRAME_WORDS

WRITE_EPILOG = ADDRESSES_HELP + """
examples:
  b4k-mew write --port /dev/ttyUSB0 DT100 4660
  b4k-mew write --port /dev/ttyUSB0 DT100 1 2 3 0x10      (DT100..DT103)
  b4k-mew write --port /dev/ttyUSB0 DT100 -5 --type int16
  b4k-mew write --port /dev/ttyUSB0 DT200 100000 --type uint32
  b4k-mew write --port /dev/ttyUSB0 --station 3 R0010 on
  b4k-mew write --port /dev/ttyUSB0 WY0 0x00FF

Values are decimal, 0x... hexadecimal or 0b... binary; contacts take
1/0, on/off or true/false. Several values go to consecutive addresses in
one command (one command per contact). Prints "ok".
"""

WATCH_EPILOG = """\
examples:
  b4k-mew watch --port /dev/ttyUSB0 DT100
  b4k-mew watch --port /dev/ttyUSB0 --station 2 WX0 R0010 DT5 --interval 0.2
  b4k-mew watch --port /dev/ttyUSB0 DT100 --count 10

Prints each address's first value, then a line whenever one changes:
  14:02:11.204 DT100 = 7
  14:02:13.706 DT100 7 -> 8
Runs until Ctrl-C (exit 130), kill (exit 0) or --count polls. A read that fails is reported
on stderr once and polling goes on; with --count the exit status is 1 when
the last poll could not read every address.
"""

SCAN_EPILOG = """\
examples:
  b4k-mew scan --port /dev/ttyUSB0
  b4k-mew scan --port /dev/ttyUSB0 --timeout 0.3 > rack.txt

Asks stations 1, 2, 3, ... for their type ("S0") until one does not answer,
and prints one row per device: station, kind (xy, axis, ad, unknown),
firmware word, and for XY devices the input and output words. The scan
ends at the first station that does not answer, which costs one --timeout.
Progress lines go to stderr.
"""

SIMULATE_EPILOG = """\
examples:
  b4k-mew simulate --port /dev/ttyUSB1 --device 1:xy --device 2:axis --device 3:ad --device 4:plc
  b4k-mew simulate --port /dev/ttyUSB1 --device 1:xy:firmware=0x0102:inputs=0x00A5
  b4k-mew simulate --port /dev/ttyUSB1 --device 5:plc:DT100=4660:WR1=0x0001 --verbose

A device is STATION:KIND with KIND one of xy, axis, ad, plc, unknown, and
options firmware=N (the "S1" word), inputs=N (the "WX0" word of an xy
device), type=N (report another type code in "S0"), or ADDRESS=N to preset
a register or a contact word. Every device has its own registers and
contacts; writes from a master are kept. Runs until Ctrl-C (exit 130), kill
(exit 0), or for --duration seconds.
"""

DEMO_EPILOG = """\
example:
  b4k-mew demo

Makes a virtual serial line, simulates a rack on one end (two XY modules, an
axis, an analogue module and a PLC station) and drives it from the other end
with InstManager and MewMaster calls, printing what happens. Needs no
hardware and finishes in a few seconds.
"""

MAIN_EPILOG = """\
examples:
  b4k-mew read --port /dev/ttyUSB0 DT100 --count 4
  b4k-mew write --port /dev/ttyUSB0 --station 2 R0010 on
  b4k-mew scan --port /dev/ttyUSB0
  b4k-mew watch --port /dev/ttyUSB0 WX0 DT100
  b4k-mew simulate --port /dev/ttyUSB1 --device 1:xy --device 2:plc
  b4k-mew demo

"b4k-mew COMMAND --help" tells more about each command. Exit status: 0 ok,
1 the line failed (time-out, error response), 2 bad arguments or a port that
cannot be opened, 130 interrupted.
"""


def build_parser():
    parser = _Parser(
        prog=PROG,
        description="Talk MEWTOCOL-COM to the stations on a serial line.",
        epilog=MAIN_EPILOG,
        formatter_class=_Formatter,
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True
    serial_parent, master_parent = _serial_parent(), _master_parent()

    read = commands.add_parser(
        "read", parents=[serial_parent, master_parent], formatter_class=_Formatter, epilog=READ_EPILOG,
        help="read registers, contacts or words", description="Read values from a station.")
    read.add_argument("address", metavar="ADDRESS", help="first address, e.g. DT100, R0010, WX0")
    read.add_argument("--count", type=option(parse_integer), default=1, help="number of values (default 1)")
    _type_option(read)
    read.add_argument("--hex", action="store_true", help="print register values in hexadecimal")
    read.set_defaults(handler=cmd_read)

    write = commands.add_parser(
        "write", parents=[serial_parent, master_parent], formatter_class=_Formatter, epilog=WRITE_EPILOG,
        help="write registers, contacts or words", description="Write values to a station.")
    write.add_argument("address", metavar="ADDRESS", help="first address, e.g. DT100, R0010, WY0")
    write.add_argument("values", metavar="VALUE", nargs="+", help="values for consecutive addresses")
    _type_option(write)
    write.set_defaults(handler=cmd_write)

    watch = commands.add_parser(
        "watch", parents=[serial_parent, master_parent], formatter_class=_Formatter, epilog=WATCH_EPILOG,
        help="poll addresses and print every change", description="Poll addresses and print their changes.")
    watch.add_argument("addresses", metavar="ADDRESS", nargs="+", help="addresses to watch")
    watch.add_argument("--interval", type=_seconds, default=1.0,
                       help="seconds between polls, %s (default 1.0)" % _SECONDS_RANGE)
    watch.add_argument("--count", type=option(parse_integer), default=0,
                       help="stop after this many polls (default: never)")
    _type_option(watch)
    watch.add_argument("--hex", action="store_true", help="print register values in hexadecimal")
    watch.set_defaults(handler=cmd_watch)

    scan = commands.add_parser(
        "scan", parents=[serial_parent], formatter_class=_Formatter, epilog=SCAN_EPILOG,
        help="find the remote I/O devices on the line", description="Scan stations 1, 2, 3, ... for devices.")
    scan.add_argument("--timeout", type=_seconds, default=1.0,
                      help="seconds to wait for each answer, %s (default 1.0)" % _SECONDS_RANGE)
    scan.add_argument("--slave-station", type=option(parse_integer, 1, MAX_STATION), default=DEFAULT_SLAVE_STATION,
                      help="the scanner's own station number, which it answers to, 1 to %d (default %d)"
                      % (MAX_STATION, DEFAULT_SLAVE_STATION))
    scan.add_argument("--quiet", "-q", action="store_true", help="no progress lines")
    scan.set_defaults(handler=cmd_scan)

    simulate = commands.add_parser(
        "simulate", parents=[serial_parent], formatter_class=_Formatter, epilog=SIMULATE_EPILOG,
        help="answer as a rack of simulated devices", description="Simulate devices on a serial port.")
    simulate.add_argument("--device", action="append", required=True, metavar="STATION:KIND[:KEY=VALUE...]",
                          help="a device to simulate; repeat for more")
    simulate.add_argument("--duration", type=option(parse_seconds, 0, MAX_SECONDS),
                          help="stop after this many seconds, 0 to %d (default: Ctrl-C)" % MAX_SECONDS)
    simulate.add_argument("--verbose", "-v", action="store_true", help="print every command served")
    simulate.set_defaults(handler=cmd_simulate)

    demo = commands.add_parser(
        "demo", formatter_class=_Formatter, epilog=DEMO_EPILOG,
        help="a demonstration on a virtual line, no hardware needed",
        description="Run a demonstration against simulated devices.")
    demo.set_defaults(handler=cmd_demo)
    return parser


def main(argv=None):
    """Runs the command line ``argv`` (default: the process's) and returns
    the exit status."""
    global _results
    args = None
    try:
        with _stop_signals():
            try:
                args = build_parser().parse_args(argv)
            except SystemExit as done:  # --help
                return done.code if isinstance(done.code, int) else (0 if done.code is None else 2)
            _results = sys.stdout
            try:
                # The library writes what it drops or ignores to sys.stdout;
                # it must not mix with the results, which a script may parse.
                with contextlib.redirect_stdout(sys.stderr):
                    return args.handler(args)
            finally:
                _results = None
    except KeyboardInterrupt:
        message, status = "interrupted", 130
    except CliError as error:
        message, status = "error: %s" % error, error.status
    except BrokenPipeError:
        # The reader went away ("b4k-mew watch ... | head"): nothing more can
        # be said, and Python must not complain again when it flushes stdout
        # at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except OSError as error:
        station = getattr(args, "station", None)
        if station is None:
            message = str(error)
        else:
            message = describe_line_error(error, station, args.timeout)
        message, status = "error: %s" % message, 1
    if _stop_requested.is_set():
        # Whatever failed once a stop was asked for failed because of it.
        message, status = "interrupted", 130
    _print(one_line("%s: %s" % (PROG, message)), stream=sys.stderr)
    return status


if __name__ == "__main__":
    sys.exit(main())
