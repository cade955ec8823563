"""The b4k-mew command on hostile input: every failure ends in one line on
stderr with its exit status, never a traceback."""

import os
import queue
import signal
import threading

import pytest

import b4k_mew
import serial

from b4k_mew_tools import VirtualLine, cli
from b4k_mew_tools.cli import scan as cli_scan
from test_cli import SCRIPT, rack, run, running  # noqa: F401 (fixtures)


class Peer:
    """The far end of a virtual line: every command it gets goes to
    ``commands`` and to ``answer``, whose frames it sends back. Silent
    unless told otherwise."""

    def __init__(self):
        self.line = VirtualLine()
        self.port = self.line.port_b
        self.answer = lambda command: []
        self.commands = queue.Queue()
        self._end = serial.Serial(self.line.port_a, timeout=0.05)
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self):
        pending = b""
        while not self._stop.is_set():
            pending += self._end.read(64)
            while b"\r" in pending:
                frame, pending = pending.split(b"\r", 1)
                command = frame.decode("latin-1")
                self.commands.put(command)
                for answer in self.answer(command):
                    self._end.write(answer.encode("latin-1"))

    def close(self):
        self._stop.set()
        self._thread.join(5)
        self._end.close()
        self.line.close()


@pytest.fixture
def peer():
    peer = Peer()
    yield peer
    peer.close()


def response(command, body):
    return b4k_mew.MewStatic.append_tail(command[:command.index("#")] + body)


def station_1_after_noise(command):
    """Station 1 reads 0x1234 from every register, each answer after a frame
    of no known type, which the library reports as it drops it."""
    if not command.startswith("%01#RD"):
        return []
    count = int(command[12:17]) - int(command[7:12]) + 1
    return ["%01\r", response(command, "$RD" + "3412" * count)]


def assert_one_error_line(err, fragment):
    assert err.startswith("b4k-mew: error: ") and err.count("\n") == 1, err
    assert fragment in err


@pytest.mark.parametrize("args, fragment", [
    (["read", "--station", "99999999999999999999999", "DT0"], "--station"),
    (["read", "--station", "0x1_0000_0000_0000_0000", "DT0"], "--station"),
    (["read", "DT99999999999999999999"], "DT99999 is the last register"),
    (["read", "R99999999999999999999"], "R999F is the last contact"),
    (["write", "WX9999999999999999999999", "1"], "WX9999 is the last word"),
    (["simulate", "--device", "99999999999999999999:xy"], "out of range"),
    (["simulate", "--device", "1:xy:DT99999999999999999999=1"], "the last register"),
    (["scan", "--slave-station", "0"], "--slave-station"),
    (["read", "--timeout", "nan", "DT0"], "--timeout"),
    (["scan", "--timeout", "inf"], "--timeout"),
    (["write", "--timeout", "1e308", "DT0", "1"], "--timeout"),
    (["watch", "--interval", "1e308", "DT0"], "--interval"),
    (["watch", "--interval=-inf", "DT0"], "--interval"),
    (["simulate", "--device", "1:xy", "--duration", "nan"], "--duration"),
    (["simulate", "--device", "1:xy", "--duration", "1e308"], "--duration"),
    (["read", "DT99990", "--count", "20"], "goes past DT99999"),
    (["read", "X999F", "--count", "2"], "goes past X999F"),
    (["write", "DT99999", "1", "--type", "uint32"], "goes past DT99999"),
    (["watch", "DT99999", "--type", "int32"], "goes past DT99999"),
    (["read", "DT0", "--count", "20000"], "one frame"),
    (["read", "DT0", "--count", "9000", "--type", "int32"], "one frame"),
    (["read", "DT\uff11\uff10\uff10"], "not an address"),
    (["read", "R\uff10\uff10\uff11\uff10"], "not an address"),
    (["read", "DT\u0661\u0660\u0660"], "not an address"),
    (["write", "DT0", "\uff11\uff12"], "not a number"),
    (["read", "DT0", "--count", "\u0663"], "not a number"),
    (["read", "--station", "\uff12", "DT0"], "not a number"),
    (["read", "--baudrate", "0", "DT0"], "--baudrate"),
    (["read", "--baudrate", "99999999999999999999", "DT0"], "--baudrate"),
    (["read", "--bytesize", "\uff18", "DT0"], "--bytesize"),
])
def test_bad_arguments_are_refused_before_the_line_is_used(peer, args, fragment):
    # The port opens, so only the check itself can end the command with 2.
    status, out, err = run(args[0], "--port", peer.port, *args[1:])
    assert (status, out) == (2, "")
    assert_one_error_line(err, fragment)
    assert peer.commands.empty()


@pytest.mark.parametrize("address, body, fragment", [
    ("DT0", "$RDZZZZ", "unreadable answer"),
    ("R0010", "$RC", "unreadable answer"),
    ("DT0", "$RD\x1b[2J\n\t" + "7" * 500, "RD\\x1b[2J\\n\\t777"),
], ids=["not hexadecimal", "cut short", "long, with control characters"])
def test_a_garbled_answer_is_one_readable_line(peer, address, body, fragment):
    peer.answer = lambda command: [response(command, body)]
    status, out, err = run("read", "--port", peer.port, address)
    assert (status, out) == (1, "")
    assert_one_error_line(err, fragment)
    assert len(err) <= cli.ERROR_LINE_LIMIT + 1 and err[:-1].isprintable()


def test_a_port_name_is_shown_escaped(capsys):
    assert cli.main(["read", "--port", "/dev/b4k-mew\x00\n", "DT0"]) == 2
    out, err = capsys.readouterr()
    assert out == ""
    assert_one_error_line(err, "cannot open port /dev/b4k-mew\\x00\\n: ")


@pytest.mark.parametrize("args, results", [
    (["read", "DT0", "--count", "2"], ["DT0 = 4660", "DT1 = 4660"]),
    (["scan", "--quiet"], ["station  kind     firmware  inputs  outputs", "      1  unknown  0x1234    -       -",
                           "1 device: 0 xy, 0 axis, 0 ad, 1 unknown; stopped at station 2: "
                           "no answer within 0.3 s (time-out)"]),
])
def test_library_messages_stay_out_of_the_results(peer, capsys, args, results):
    peer.answer = station_1_after_noise
    assert cli.main([*args, "--port", peer.port, "--timeout", "0.3"]) == 0
    out, err = capsys.readouterr()
    assert out.splitlines() == results
    assert "MewBase: Unknown frame type" in err


def _raise_interrupt(*args, **kwargs):
    raise KeyboardInterrupt


def _progress_interrupted_at_station_2(stream):
    def show(station):
        if station == 2:
            raise KeyboardInterrupt
    return show, lambda: None


@pytest.mark.parametrize("target, name, replacement, args", [
    (b4k_mew, "MewSerial", _raise_interrupt, ["read", "--station", "5", "DT100"]),
    (b4k_mew, "MewMaster", _raise_interrupt, ["read", "--station", "5", "DT100"]),
    (cli_scan, "_progress_printer", _progress_interrupted_at_station_2, ["scan", "--timeout", "0.3"]),
])
def test_ctrl_c_while_opening_or_scanning(rack, monkeypatch, capsys, target, name, replacement, args):
    monkeypatch.setattr(target, name, replacement)
    assert cli.main([args[0], "--port", rack.port, *args[1:]]) == 130
    # A scan cut short prints no table that could pass for the rack.
    assert capsys.readouterr() == ("", "b4k-mew: interrupted\n")


@pytest.mark.parametrize("args, signum, status", [
    (["read", "DT0"], signal.SIGINT, 130),
    (["write", "DT0", "1"], signal.SIGTERM, 130),
    (["scan", "--quiet"], signal.SIGINT, 130),
    (["scan", "--quiet"], signal.SIGTERM, 130),
    # kill is how a service manager ends watch, even in the middle of a poll.
    (["watch", "DT0"], signal.SIGINT, 130),
    (["watch", "DT0"], signal.SIGTERM, 0),
])
def test_a_signal_ends_a_command_waiting_for_an_answer(peer, running, args, signum, status):
    command = running([SCRIPT, args[0], "--port", peer.port, "--timeout", "30", *args[1:]])
    peer.commands.get(timeout=20)  # sent: the command now waits for its answer
    os.kill(command.proc.pid, signum)
    got, out, err = command.finish()
    assert (got, out, err) == (status, "", "b4k-mew: interrupted\n" if status else "")
