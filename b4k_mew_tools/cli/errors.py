"""What the command refuses and how it says so: its limits, its one-line
errors, and the words for what failed on the line."""

import argparse
import re

import b4k_mew

PROG = "b4k-mew"

# The library reports a time-out with a fixed text, and a device's refusal
# as a DeviceError; a user is better served by words that name the station
# and the cure.
TIMEOUT_TEXT = "MewMasterBase: device response timeout."

# The library writes a station in hexadecimal, with more than two digits when
# it needs them, up to the largest number it holds.
MAX_STATION = (1 << 63) - 1
# Controllers that number their stations in decimal have 0 to 99, and "EE",
# whichever station is at the other end of a 1:1 link.
MAX_DECIMAL_STATION = 99
STATION_EE = getattr(b4k_mew, "STATION_EE", 0xEE)
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


def line_failure(error, query_timeout):
    """What went wrong on the line, in a user's words, without the station."""
    text = str(error)
    if text == TIMEOUT_TEXT:
        return "no answer within %g s (time-out)" % query_timeout
    if isinstance(error, b4k_mew.DeviceError):
        meaning = getattr(error, "meaning", None)
        return "error response, code %s" % error.code + (" (%s)" % meaning if meaning else "")
    return text


# While a TCP unit stays away, the channel fails a query without trying
# during its back-off pause, with the seconds left; the reason stays the
# one its last attempt met.
_BACKING_OFF = re.compile(r"not connected to (.*) \(next attempt in [0-9.]+ s\): ")


def steady_failure(text):
    """``text`` without what changes from one failed query to the next for
    the same cause: a unit that refuses for a minute is one failure, not one
    per countdown of the back-off."""
    return _BACKING_OFF.sub(r"cannot connect to \1: ", text, count=1)


def station_name(station, decimal=False):
    """``station`` as the user wrote it: "EE" stands for itself where the
    stations are numbered in decimal."""
    return "EE" if decimal and station == STATION_EE else str(station)


def describe_line_error(error, station, query_timeout, decimal=False):
    return "station %s: %s" % (station_name(station, decimal), line_failure(error, query_timeout))
