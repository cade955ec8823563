"""The port and the stations on it, the stop signals, and where results go."""

import contextlib
import os
import re
import signal
import sys
import threading
import time
from typing import TextIO

import serial

import b4k_mew

from .errors import CliError

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


# The forms of a TCP address that stations take as their port.
TCP_SCHEMES = ("tcp://", "socket://")
# Where a listening command binds when the user names only a port: a
# simulator or a gateway open to the whole network is something to ask for
# (0.0.0.0), not to get by leaving a host out.
DEFAULT_LISTEN_HOST = "127.0.0.1"
_PORT_DIGITS = re.compile(r"[0-9]+")


def is_tcp_url(name):
    return name.lower().startswith(TCP_SCHEMES)


def _split_host_port(rest):
    """``rest`` ("host:port", "[v6]:port") as (host, port text), or the
    reason it is neither."""
    if rest.startswith("["):
        close = rest.find("]")
        if close < 0:
            raise ValueError("unclosed '['")
        host, after = rest[1:close], rest[close + 1:]
        if not after.startswith(":"):
            raise ValueError("no port")
        return host, after[1:]
    host, sep, port = rest.rpartition(":")
    if not sep:
        raise ValueError("no port")
    if ":" in host:
        raise ValueError("an IPv6 address goes in brackets")
    return host, port


def _port_number(text, low):
    # ASCII digits only: int() would take "٩٠٩٤" and " 9094 " as well.
    if not text:
        raise ValueError("no port")
    if not _PORT_DIGITS.fullmatch(text):
        raise ValueError("port is not a number")
    significant = text.lstrip("0") or "0"
    # The length first: int() refuses thousands of digits.
    number = int(significant) if len(significant) <= 5 else 100000
    if not low <= number <= 65535:
        raise ValueError("port must be %d..65535" % low)
    return number


def _bad_host(host):
    return any(c.isspace() or c in "/?@" for c in host)


def parse_tcp_url(name):
    """(host, port) of "tcp://host:port" or "socket://host:port", by the
    rules the stations apply to such a port name; a CliError with status 2
    otherwise, before anything is connected."""
    rest = name[name.index("://") + 3:]
    try:
        host, port = _split_host_port(rest)
        if not host:
            raise ValueError("no host")
        if _bad_host(host):
            raise ValueError("bad host name")
        return host, _port_number(port, 1)
    except ValueError as error:
        raise CliError("invalid TCP address %r: %s (expected tcp://host:port)" % (name, error), 2) from None


def parse_listen(text):
    """Where to listen, as (host, port), from "tcp://HOST:PORT",
    "HOST:PORT", ":PORT" or "PORT": the host defaults to the loopback, and
    port 0 takes a free one."""
    rest = text.strip()
    for scheme in TCP_SCHEMES:
        if rest.lower().startswith(scheme):
            rest = rest[len(scheme):]
            break
    else:
        if "://" in rest:
            raise CliError("invalid listening address %r: only tcp:// (expected tcp://HOST:PORT)" % text, 2)
    try:
        host, port = _split_host_port(rest) if (":" in rest or rest.startswith("[")) else ("", rest)
        if _bad_host(host):
            raise ValueError("bad host name")
        return host or DEFAULT_LISTEN_HOST, _port_number(port, 0)
    except ValueError as error:
        raise CliError("invalid listening address %r: %s (expected tcp://HOST:PORT)" % (text, error), 2) from None


def tcp_url(host, port):
    return "tcp://%s:%d" % ("[%s]" % host if ":" in host else host, port)


def describe_port(args):
    """The port for a start line: a TCP address as given, a serial port with
    its settings, which mean nothing to a TCP connection."""
    if is_tcp_url(args.port):
        return args.port
    return "%s (%s)" % (args.port, describe_settings(args))


def open_channel(args):
    """The channel of ``args.port``, or a CliError with status 2.

    Stations take a port name only in the "/dev/tty*", "COM*" and TCP
    forms, so the channel is opened here, which works for every name the
    serial library knows (pseudo-terminals, by-id links). A TCP address is
    connected at once: a unit that refuses or cannot be reached is a port
    that cannot be opened, before any command is made."""
    if is_tcp_url(args.port):
        host, port = parse_tcp_url(args.port)
        try:
            return b4k_mew.MewTcp(host, port)
        except (ValueError, OSError) as error:
            # Already "cannot connect to HOST:PORT: reason".
            raise CliError(str(error), 2) from None
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
    if _messages is not None and isinstance(channel, b4k_mew.MewTcp):
        # The query that was waiting reports a lost connection in the
        # command's own words; the library's line about it would make the
        # one error line two.
        _messages.drop_losses = True
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


# How often a command that runs until stopped looks for a stop request. A
# signal that another thread takes only sets a flag for the main thread,
# which sees it when it next runs: the main thread must not sleep longer.
_STOP_SLICE = 0.1


def run_until_stopped(duration=None, until=None):
    """The main loop of a command that runs until Ctrl-C or ``kill`` (or
    for ``duration`` seconds, or until the event ``until`` is set): returns
    when the time is up or the event set, raises KeyboardInterrupt at a stop
    request, within a tenth of a second of the signal whichever thread the
    system gave it to."""
    deadline = None if duration is None else time.monotonic() + duration
    while True:
        left = _STOP_SLICE if deadline is None else min(_STOP_SLICE, deadline - time.monotonic())
        if left <= 0:
            return
        if until is None:
            time.sleep(left)
        elif until.wait(left):
            return


# The standard output of the running command: the library writes its own
# messages to sys.stdout, which goes to stderr meanwhile (see main).
_results: "TextIO | None" = None

# The library's receiver says so when a TCP connection goes.
_LOSS = re.compile(r"MewBase: connection to .* lost: ")


class LibraryMessages:
    """Where the library's messages go while a command runs: ``stream``
    (stderr), without its notes of lost connections once ``drop_losses``
    is set. The library writes each message whole, in one call."""

    def __init__(self, stream):
        self._stream = stream
        self.drop_losses = False

    def write(self, text):
        if self.drop_losses and _LOSS.match(text):
            return len(text)
        return self._stream.write(text)

    def flush(self):
        self._stream.flush()

    def __getattr__(self, name):
        return getattr(self._stream, name)


# The LibraryMessages of the running command, or None.
_messages: "LibraryMessages | None" = None


def _print(*parts, stream=None):
    print(*parts, file=stream or _results or sys.stdout, flush=True)
