"""Stations over TCP: "tcp://host:port" and "socket://host:port" port names
and the MewTcp channel, against a small Ethernet unit played by a Python
socket server on 127.0.0.1.

The unit hands every command frame it reads to the test's `answer`, which
replies, stays silent, or breaks the connection, so that each test decides
what the far end does and when.
"""
import re
import socket
import threading
import time

import pytest

import b4k_mew
from b4k_mew import MewStatic

from conftest import WAIT, Output

READ_DT0 = MewStatic.append_tail("%01#RDD0000000000")


def reply(value):
    """The response to reading DT0 with the value `value` (one word)."""
    return MewStatic.append_tail("%%01$RD%02X%02X" % (value & 0xFF, value >> 8))


class Unit:
    """An Ethernet unit on a free port of 127.0.0.1. `answer(unit, index,
    command, conn)` runs for every command frame read on the index-th
    connection and may send on any connection."""

    def __init__(self, answer=None):
        self.answer = answer or (lambda unit, index, command, conn: conn.sendall(reply(1).encode()))
        self._server = socket.create_server(("127.0.0.1", 0))
        self._server.settimeout(0.05)
        self.port = self._server.getsockname()[1]
        self.connections = []
        self.commands = []  # (connection index, frame) in the order read
        self.errors = []
        self._stop = threading.Event()
        self._threads = [threading.Thread(target=self._accept, name="unit-accept")]
        self._threads[0].start()

    @property
    def url(self):
        return "tcp://127.0.0.1:%d" % self.port

    def _accept(self):
        while not self._stop.is_set():
            try:
                conn, _ = self._server.accept()
            except OSError:  # time-out, or closed by stop()
                continue
            conn.settimeout(0.05)
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self.connections.append(conn)
            t = threading.Thread(target=self._serve, args=(len(self.connections) - 1, conn), name="unit-conn")
            self._threads.append(t)
            t.start()

    def _serve(self, index, conn):
        buf = b""
        while not self._stop.is_set():
            try:
                data = conn.recv(4096)
            except socket.timeout:
                continue
            except OSError:
                return
            if not data:
                return
            buf += data
            while b"\r" in buf:
                command, buf = buf.split(b"\r", 1)
                command = command.decode("latin-1") + "\r"
                self.commands.append((index, command))
                try:
                    self.answer(self, index, command, conn)
                except Exception as e:  # the test sees it instead of a hang
                    self.errors.append(e)

    def stop(self):
        """Stops listening and closes every connection."""
        self._stop.set()
        self._server.close()
        for t in list(self._threads):
            t.join(WAIT)
        for conn in self.connections:
            conn.close()


@pytest.fixture
def units(no_thread_left):
    made = []

    def make(answer=None):
        unit = Unit(answer)
        made.append(unit)
        return unit

    yield make
    for unit in made:
        unit.stop()
    assert not [e for unit in made for e in unit.errors]


@pytest.fixture
def stations():
    made = []

    def make(*args, **kwargs):
        station = b4k_mew.MewMaster(*args, **kwargs)
        made.append(station)
        return station

    yield make
    for station in made:
        station.close()


def free_port():
    """A port nobody listens on."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# ---- Queries over a connection ------------------------------------------------

@pytest.mark.parametrize("scheme", ["tcp", "socket", "TCP"])
def test_a_station_queries_over_tcp(units, stations, scheme):
    unit = units()
    master = stations("%s://127.0.0.1:%d" % (scheme, unit.port))
    assert isinstance(master._channel, b4k_mew.MewTcp)
    assert master.get_uint16(1, "DT0") == 1
    assert unit.commands == [(0, READ_DT0)]


def test_replies_are_reassembled_however_the_stream_splits_them(units, stations, capsys):
    out = Output(capsys, lf_only=True)  # the printed frame ends in its CR

    def answer(unit, index, command, conn):
        if len(unit.commands) == 1:
            for byte in reply(0x1234).encode():  # one segment per byte
                conn.sendall(bytes([byte]))
                time.sleep(0.001)
        else:  # another command's response and this one's in one segment
            conn.sendall((MewStatic.append_tail("%01$RC1") + reply(0x0BCD)).encode())

    unit = units(answer)
    master = stations(unit.url, timeout=2.0)
    assert master.get_uint16(1, "DT0") == 0x1234
    assert master.get_uint16(1, "DT0") == 0x0BCD
    out.wait_for("MewMasterBase: Drop response to another command: " + MewStatic.append_tail("%01$RC1"))
    assert [i for i, _ in unit.commands] == [0, 0]  # one connection throughout


def test_a_drop_while_a_query_waits_fails_it_at_once_and_the_next_query_connects_again(units, stations, out):
    stale_sent = threading.Event()

    def answer(unit, index, command, conn):
        if index == 0:
            # The start of a response, then the unit closes its side.
            conn.sendall(reply(1)[:8].encode())
            conn.shutdown(socket.SHUT_WR)
        else:
            # The whole old response, now on the old connection, before
            # the new one's: the master must take only the new one.
            try:
                unit.connections[0].sendall(reply(1).encode())
            except OSError:
                pass
            stale_sent.set()
            conn.sendall(reply(2).encode())

    unit = units(answer)
    master = stations(unit.url, query_timeout=30)
    lost = "connection to 127.0.0.1:%d lost: closed by the peer" % unit.port
    start = time.monotonic()
    with pytest.raises(b4k_mew.ConnectionLost, match=re.escape(lost)) as raised:
        master.get_uint16(1, "DT0")
    assert time.monotonic() - start < 15  # not the query's 30 s
    assert isinstance(raised.value, OSError)
    out.wait_for("MewBase: " + lost)

    assert master.get_uint16(1, "DT0") == 2
    assert stale_sent.is_set()
    assert master.get_uint16(1, "DT0") == 2  # nothing of the old one came later
    assert [i for i, _ in unit.commands] == [0, 1, 1]


def test_a_unit_that_went_away_is_not_hammered(units, stations, out):
    unit = units()
    port = unit.port
    master = stations(unit.url, query_timeout=30)
    assert master.get_uint16(1, "DT0") == 1
    unit.stop()
    out.wait_for("MewBase: connection to 127.0.0.1:%d lost: closed by the peer" % port)
    refused = "[Errno 111] Connection refused"
    with pytest.raises(OSError, match=re.escape("cannot connect to 127.0.0.1:%d: %s" % (port, refused))):
        master.get_uint16(1, "DT0")
    # The next query comes within the pause (0.5 s, then 1 s, 2 s on a
    # machine so slow that it missed the first) and fails without trying.
    for _ in range(3):
        start = time.monotonic()
        with pytest.raises(OSError) as raised:
            master.get_uint16(1, "DT0")
        if str(raised.value).startswith("not connected"):
            break
    assert time.monotonic() - start < 15  # no attempt, no time-out
    pattern = r"not connected to 127\.0\.0\.1:%d \(next attempt in \d\.\d s\): %s" % (port, re.escape(refused))
    assert re.fullmatch(pattern, str(raised.value)), str(raised.value)
    assert not master._channel.connected


# ---- Opening -----------------------------------------------------------------

def test_a_refused_port_fails_at_construction(no_thread_left):
    port = free_port()
    message = "cannot connect to 127.0.0.1:%d: [Errno 111] Connection refused" % port
    with pytest.raises(OSError, match="^" + re.escape(message) + "$"):
        b4k_mew.MewMaster("tcp://127.0.0.1:%d" % port)
    with pytest.raises(OSError, match="^" + re.escape(message) + "$"):
        b4k_mew.MewTcp("127.0.0.1", port)


@pytest.mark.parametrize("url, why", [
    ("tcp://host", "no port"),
    ("tcp://:x", "no host"),
    ("tcp://:9094", "no host"),
    ("tcp://127.0.0.1:", "no port"),
    ("tcp://127.0.0.1:0", "port must be 1..65535"),
    ("tcp://127.0.0.1:65536", "port must be 1..65535"),
    ("tcp://127.0.0.1:9x", "port is not a number"),
    ("socket://::1:9094", "an IPv6 address goes in brackets"),
    ("socket://[::1:9094", "unclosed '['"),
])
def test_bad_addresses_are_refused_before_connecting(url, why):
    with pytest.raises(ValueError) as raised:
        b4k_mew.MewMaster(url)
    assert str(raised.value) == "invalid TCP address '%s': %s (expected tcp://host:port)" % (url, why)


def test_bad_keywords_are_refused_before_connecting(units):
    unit = units()
    with pytest.raises(ValueError, match="^timeout must be a non-negative number or None$"):
        b4k_mew.MewMaster(unit.url, timeout=-1)
    with pytest.raises(ValueError, match="^connect_timeout must be a non-negative number or None$"):
        b4k_mew.MewMaster(unit.url, connect_timeout=float("nan"))
    with pytest.raises(TypeError, match="not 'baudrate'"):
        b4k_mew.MewMaster(unit.url, baudrate=9600)
    with pytest.raises(ValueError, match="^TCP port must be 1..65535, not 0$"):
        b4k_mew.MewTcp("127.0.0.1", 0)
    time.sleep(0.1)  # a connection made by mistake would be accepted by now
    assert unit.connections == []


@pytest.mark.parametrize("name", ["tcp:/127.0.0.1:9094", "udp://127.0.0.1:9094", "127.0.0.1:9094"])
def test_other_names_are_still_unknown_devices(name):
    with pytest.raises(ValueError, match="^Unknown device name: " + re.escape(name) + "$"):
        b4k_mew.MewMaster(name)


# ---- MewTcp as a channel object ----------------------------------------------

def test_mewtcp_is_a_channel_a_station_uses_natively(units, stations):
    unit = units()
    with b4k_mew.MewTcp("127.0.0.1", unit.port, timeout=0.5, connect_timeout=None) as channel:
        assert (channel.host, channel.port, channel.timeout, channel.connect_timeout) == \
            ("127.0.0.1", unit.port, 0.5, None)
        assert channel.connected and channel.is_open
        assert repr(channel) == "MewTcp('127.0.0.1:%d', connected)" % unit.port
        master = stations(channel)
        assert master._channel is channel
        assert master.get_uint16(1, "DT0") == 1
        master.stop()
        channel.send_frame(READ_DT0)
        assert channel.receive_frame() == reply(1)
        assert channel.read() == ""
    assert not channel.is_open
    with pytest.raises(OSError, match="not open"):
        channel.send_frame(READ_DT0)
