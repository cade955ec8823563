"""The parser of the whole command, and main."""

import contextlib
import logging
import os
import sys
from typing import Sequence

from .. import __version__
from . import bridge, demo, gateway, line, readwrite, scan, simulate, status
from .errors import CliError, describe_line_error, one_line, PROG
from .line import _print, _stop_requested, _stop_signals
from .options import _Formatter, _master_parent, _Parser, _serial_parent

MAIN_EPILOG = """\
examples:
  b4k-mew read --port /dev/ttyUSB0 DT100 --count 4
  b4k-mew read --port /dev/ttyUSB0 DT300 --type float32
  b4k-mew read --port /dev/ttyUSB0 X0000 Y001A R0010
  b4k-mew write --port /dev/ttyUSB0 --station 2 R0010 on
  b4k-mew write --port /dev/ttyUSB0 Y0000=on R0010=off
  b4k-mew status --port /dev/ttyUSB0 --decimal-stations --station EE
  b4k-mew scan --port /dev/ttyUSB0
  b4k-mew watch --port /dev/ttyUSB0 WX0 DT100
  b4k-mew simulate --port /dev/ttyUSB1 --device 1:xy --device 2:plc
  b4k-mew read --port tcp://192.168.1.5:9094 DT100       (through an Ethernet unit)
  b4k-mew simulate --listen 9094 --device 1:plc           (TCP clients on the loopback)
  b4k-mew gateway --serial /dev/ttyUSB0 --listen tcp://0.0.0.0:9094
  b4k-mew demo
  b4k-mew -v read --port /dev/ttyUSB0 DT100              (every frame on stderr)

--port takes a serial port or tcp://HOST:PORT, the address of an Ethernet
unit or a serial-to-Ethernet converter (the frames are the same; a lost
connection fails the command with status 1).

Controllers with short frames, small reads or stations numbered in decimal
take --frame-limit, --max-read-words and --decimal-stations on every command
that talks to them. "b4k-mew COMMAND --help" tells more about each command.
Exit status: 0 ok, 1 the line failed (time-out, error response, lost
connection), 2 bad arguments or a port or address that cannot be opened
(refused, unreachable, in use), 130 interrupted.
"""


def build_parser():
    parser = _Parser(
        prog=PROG,
        description="Talk MEWTOCOL-COM to the stations on a serial line, directly or over TCP.",
        epilog=MAIN_EPILOG,
        formatter_class=_Formatter,
    )
    parser.add_argument("--version", action="version", version="%s %s" % (PROG, __version__),
                        help="print the version and exit")
    parser.add_argument("-v", "--trace", action="store_true",
                        help="log every frame sent and received, and the library's troubles, to stderr")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True
    serial_parent, master_parent = _serial_parent(), _master_parent()
    for command in (readwrite, status, scan, simulate, gateway, bridge, demo):
        command.add_commands(commands, serial_parent, master_parent)
    return parser


@contextlib.contextmanager
def _tracing(on):
    """The library's log on stderr for the run of one command: every frame
    and every trouble. Results stay alone on stdout."""
    if not on:
        yield
        return
    log = logging.getLogger("b4k_mew")
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(asctime)s %(name)s %(message)s"))
    saved = log.level, log.propagate
    log.addHandler(handler)
    log.setLevel(logging.DEBUG)
    log.propagate = False
    try:
        yield
    finally:
        log.removeHandler(handler)
        log.setLevel(saved[0])
        log.propagate = saved[1]


def main(argv: "Sequence[str] | None" = None) -> int:
    """Runs the command line ``argv`` (default: the process's) and returns
    the exit status."""
    args = None
    try:
        with _stop_signals():
            try:
                args = build_parser().parse_args(argv)
            except SystemExit as done:  # --help
                return done.code if isinstance(done.code, int) else (0 if done.code is None else 2)
            line._results = sys.stdout
            line._messages = line.LibraryMessages(sys.stderr)
            try:
                # The library writes what it drops or ignores to sys.stdout;
                # it must not mix with the results, which a script may parse.
                with contextlib.redirect_stdout(line._messages), _tracing(args.trace):
                    status: int = args.handler(args)
                    return status
            finally:
                line._results = line._messages = None
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
            assert args is not None  # a station comes from the arguments
            message = describe_line_error(error, station, args.timeout, getattr(args, "decimal_stations", False))
        message, status = "error: %s" % message, 1
    if _stop_requested.is_set():
        # Whatever failed once a stop was asked for failed because of it.
        message, status = "interrupted", 130
    _print(one_line("%s: %s" % (PROG, message)), stream=sys.stderr)
    return status


if __name__ == "__main__":
    sys.exit(main())
