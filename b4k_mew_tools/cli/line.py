"""The port and the stations on it, the stop signals, and where results go."""

import contextlib
import os
import signal
import sys
import threading

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
