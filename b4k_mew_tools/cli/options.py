"""What every command shares of the parser: its formatter, the options of
the line and of the master, and the numbers they take."""

import argparse
import re

from .addresses import TYPES, parse_integer, parse_seconds
from .errors import (MAX_BAUDRATE, MAX_DECIMAL_STATION, MAX_FRAME_WORDS, MAX_SECONDS, MAX_STATION, STATION_EE,
                     CliError, _usage_error, option)
from .line import _PARITIES, _STOPBITS

FRAME_LIMITS = (118, 2048)

class _Formatter(argparse.RawDescriptionHelpFormatter):
    pass


# What argparse takes for a negative number, and so for a value rather than
# an option: its own pattern knows only "-5" and "-0.5", and would refuse
# "-2.5e-3", "-0x10" and "-inf" as unknown options instead of letting the
# value's own check judge them.
_NEGATIVE_VALUE = re.compile(
    r"^-([0-9_]+\.?[0-9_]*|\.[0-9_]+)(e[-+]?[0-9_]+)?$"  # -5, -0.5, -.5, -2.5e-3
    r"|^-0[xb][0-9a-f_]+$"  # -0x10, -0b1
    r"|^-(inf|infinity|nan)$",
    re.IGNORECASE,
)


class _Parser(argparse.ArgumentParser):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self._negative_number_matcher = _NEGATIVE_VALUE

    def error(self, message):
        # One line, as every other error; the usage is a --help away.
        raise CliError("%s; see %s --help" % (message, self.prog), 2)


_seconds = option(parse_seconds, 0, MAX_SECONDS, above=True)
_SECONDS_RANGE = "above 0, up to %d" % MAX_SECONDS


PORT_HELP = ("serial port, e.g. /dev/ttyUSB0, /dev/pts/3 or COM3, or the TCP address of an Ethernet unit or "
             "serial-to-Ethernet converter, tcp://HOST:PORT (the serial options then do not apply)")


def _serial_parent(name="--port", required=True, port_help=PORT_HELP):
    """The port and its serial settings; the port is ``args.port`` whatever
    the option is called."""
    parent = argparse.ArgumentParser(add_help=False)
    group = parent.add_argument_group("line")
    group.add_argument(name, dest="port", metavar="PORT", required=required, help=port_help)
    group.add_argument("--baudrate", type=option(parse_integer, 1, MAX_BAUDRATE), default=9600,
                       help="bits per second, 1 to %d (default 9600)" % MAX_BAUDRATE)
    group.add_argument("--bytesize", type=option(parse_integer), choices=(5, 6, 7, 8), default=8,
                       help="data bits (default 8)")
    group.add_argument("--parity", type=str.upper, choices=tuple(_PARITIES), default="N",
                       help="N, E or O (default N)")
    group.add_argument("--stopbits", choices=tuple(_STOPBITS), default="1", help="1, 1.5 or 2 (default 1)")
    return parent


_station_number = option(parse_integer, 0, MAX_STATION)


def _station(text):
    # "EE" is kept as text: only with --decimal-stations, known once every
    # option is parsed, is it a station (see master_settings).
    return "EE" if text.strip().upper() == "EE" else _station_number(text)


def add_line_format_options(group):
    """The options for controllers whose frames are shorter, whose reads
    are smaller, or whose stations are numbered in decimal."""
    group.add_argument("--frame-limit", type=option(parse_integer), choices=FRAME_LIMITS,
                       help="longest frame the stations take, CR included: 118 (\"%%\" header) or 2048 "
                       "(\"<\" header); a longer write goes as several commands (default: no limit)")
    group.add_argument("--max-read-words", type=option(parse_integer, 1, MAX_FRAME_WORDS), metavar="N",
                       help="read at most N words per command, several commands for more "
                       "(default: one command per read)")
    group.add_argument("--decimal-stations", action="store_true",
                       help="stations numbered in decimal, 0 to %d, or EE for the station at the other end "
                       "of a 1:1 link" % MAX_DECIMAL_STATION)


def _master_parent():
    parent = argparse.ArgumentParser(add_help=False)
    group = parent.add_argument_group("master")
    group.add_argument("--station", type=_station, default=1,
                       help="station to talk to, 0 to %d (default 1); with --decimal-stations 0 to %d or EE"
                       % (MAX_STATION, MAX_DECIMAL_STATION))
    group.add_argument("--timeout", type=_seconds, default=1.0,
                       help="seconds to wait for each answer, %s (default 1.0)" % _SECONDS_RANGE)
    add_line_format_options(group)
    return parent


def line_format(args):
    """The station keywords of the line-format options that were given:
    a master made without them behaves as it always has."""
    keywords = {}
    if args.frame_limit is not None:
        keywords["frame_limit"] = args.frame_limit
    if args.max_read_words is not None:
        keywords["max_read_words"] = args.max_read_words
    if args.decimal_stations:
        keywords["decimal_stations"] = True
    return keywords


def master_settings(args):
    """The keywords of the master for ``args``, once ``--station`` is known
    to fit the numbering (``args.station`` is then the number to pass); a
    usage error otherwise, before the port is opened."""
    if args.station == "EE":
        if not args.decimal_stations:
            raise _usage_error("--station EE needs --decimal-stations")
        args.station = STATION_EE
    elif args.decimal_stations and args.station > MAX_DECIMAL_STATION:
        raise _usage_error("--station %d is out of range with --decimal-stations (0 to %d, or EE)"
                           % (args.station, MAX_DECIMAL_STATION))
    return dict(line_format(args), query_timeout=args.timeout)


def _type_option(parser):
    parser.add_argument("--type", choices=TYPES, help=(
        "how to read the address: coil (one contact), word (16 contacts), or a register as "
        "uint16, int16, uint32, int32, float32 (default: coil for X/Y/R/L contacts, word for W... "
        "words, uint16 for registers and timer values)"))


ADDRESSES_HELP = """\
addresses:
  registers   DT100, D100, LD5, FL0, S0    (uint16, int16, uint32, int32,
                                            float32; numbers 0 to 99999)
  contacts    X0000, Y0010, R001F, L5      (coil: three decimal word digits
                                            and one hexadecimal bit digit,
                                            X0000 to X999F)
  words       WX0, WY1, WR10, WL0          (word: 16 contacts, bit 0 first;
                                            numbers 0 to 9999)
  timers      SV0, EV12                    (uint16, int16: the set value
                                            and the elapsed value of timer
                                            or counter 0 to 9999)
"""
