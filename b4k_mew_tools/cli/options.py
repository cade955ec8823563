"""What every command shares of the parser: its formatter, the options of
the line and of the master, and the numbers they take."""

import argparse

from .addresses import TYPES, parse_integer, parse_seconds
from .errors import MAX_BAUDRATE, MAX_SECONDS, MAX_STATION, CliError, option
from .line import _PARITIES, _STOPBITS

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
