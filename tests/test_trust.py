"""Trust in what a master returns and in how long it takes: no answer is
ever taken for another command's, however a peer misbehaves; no read goes
on without end; input that cannot be sent is refused before anything is.

The peers below hold register n's own number n in DTn, and the master reads
a different register each time, so an answer to an earlier command shows
as a wrong value. Each case here was a fault once."""
import os
import select
import socket
import threading
import time
import tty

import pytest

import b4k_mew
import linkpair
from b4k_mew import MewStatic as M

TIMEOUT = 0.2


def register_of(command):
    """n of a read of DTn ("%01#RDD0000500005..")."""
    return int(command[7:12])


def answer(n):
    return M.append_tail("%01$RD" + M.fill_uint16("", n))


def frames_in(buffer):
    """The whole frames at the start of `buffer` and what is left of it."""
    *frames, rest = buffer.split(b"\r")
    return [f.decode("latin-1") + "\r" for f in frames], rest


class Peer:
    """A device that answers reads of DTn with n, over TCP (`url`) or on a
    pseudo-terminal (`port`). `pause()` makes it hold its answers, as a
    device that hangs; `resume()` sends every answer held in one burst, as
    it does when it comes back. `close_after_answer`: over TCP, it closes
    each connection once it has answered on it."""

    def __init__(self, tcp, close_after_answer=False):
        self.close_after_answer = close_after_answer
        self.held = []  # (writer, frame) while paused
        self.paused = False
        self.resumed_at = None
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._threads = []
        if tcp:
            self._server = socket.create_server(("127.0.0.1", 0))
            self._server.settimeout(0.05)
            self.url = "tcp://127.0.0.1:%d" % self._server.getsockname()[1]
            self._spawn(self._accept)
        else:
            self._device, station = os.openpty()
            tty.setraw(self._device)
            tty.setraw(station)
            self.port = os.ttyname(station)
            self._station = station
            self._spawn(self._serve, lambda: select.select([self._device], [], [], 0.05)[0],
                        lambda: os.read(self._device, 4096), lambda data: os.write(self._device, data), None)

    def _spawn(self, target, *args):
        t = threading.Thread(target=target, args=args, daemon=True)
        self._threads.append(t)
        t.start()

    def _accept(self):
        while not self._stop.is_set():
            try:
                conn, _ = self._server.accept()
            except OSError:
                continue
            conn.settimeout(0.05)

            def recv(conn=conn):
                try:
                    return conn.recv(4096)
                except socket.timeout:
                    return None

            self._spawn(self._serve, lambda: True, recv, conn.sendall, conn)

    def _serve(self, ready, read, write, conn):
        buffer = b""
        while not self._stop.is_set():
            if not ready():
                continue
            try:
                data = read()
            except OSError:
                return
            if data is None:
                continue
            if not data:
                return
            commands, buffer = frames_in(buffer + data)
            for command in commands:
                frame = answer(register_of(command)).encode()
                with self._lock:
                    if self.paused:
                        self.held.append((write, frame))
                        continue
                try:
                    write(frame)
                except OSError:
                    return
                if conn is not None and self.close_after_answer:
                    conn.close()
                    return

    def pause(self):
        with self._lock:
            self.paused = True

    def resume(self):
        with self._lock:
            held, self.held, self.paused = self.held, [], False
            bursts = {}
            for write, frame in held:
                bursts[write] = bursts.get(write, b"") + frame
            for write, burst in bursts.items():
                try:
                    write(burst)
                except OSError:
                    pass  # a connection the master dropped
            self.resumed_at = time.monotonic()

    def close(self):
        self._stop.set()
        for t in self._threads:
            t.join(2)
        if hasattr(self, "_server"):
            self._server.close()
        else:
            os.close(self._device)
            os.close(self._station)


def reads(master, count, during=None):
    """Reads DT0, DT1, ... `count` times; `during(i)` runs before read i.
    Returns the wrong values (register, value) and (start, succeeded) of
    every read."""
    wrong, results = [], []
    for i in range(count):
        if during:
            during(i)
        register = i % 1000
        start = time.monotonic()
        try:
            value = master.get_uint16(1, "DT%d" % register)
        except OSError:
            results.append((start, False))
            continue
        if value != register:
            wrong.append((register, value))
        results.append((start, True))
    return wrong, results


def master_for(peer, **kwargs):
    if hasattr(peer, "url"):
        return b4k_mew.MewMaster(peer.url, **kwargs)
    return b4k_mew.MewMaster(b4k_mew.MewSerial(port=peer.port), **kwargs)


# --- Values: no answer taken for another command's ---------------------------------

def test_a_peer_that_closes_after_each_answer_never_lends_one_to_the_next_read(capsys):
    peer = Peer(tcp=True, close_after_answer=True)
    master = b4k_mew.MewMaster(peer.url, query_timeout=TIMEOUT)
    try:
        wrong, results = reads(master, 2000)
    finally:
        master.close()
        peer.close()
    capsys.readouterr()
    assert wrong == [] and sum(ok for _, ok in results) > 500


@pytest.mark.parametrize("tcp", [True, False], ids=["tcp", "serial"])
def test_a_peer_that_hangs_and_then_answers_in_a_burst(tcp, capsys):
    # The peer hangs for five time-outs while the master goes on reading;
    # then it answers every command it held at once.
    peer = Peer(tcp=tcp)
    master = master_for(peer, query_timeout=TIMEOUT)

    def during(i):
        if i == 300:
            peer.pause()
            threading.Timer(5 * TIMEOUT, peer.resume).start()

    try:
        wrong, results = reads(master, 2000, during)
    finally:
        master.close()
        peer.close()
    capsys.readouterr()
    assert wrong == []
    assert peer.resumed_at is not None
    # Reads succeed again at once: within the two reads that began after
    # the peer came back, two time-outs at most.
    after = [ok for start, ok in results if start >= peer.resumed_at]
    assert len(after) > 100 and all(after[2:]), after[:10]


# --- Reads: none without end ----------------------------------------------------------

def continued(frame):
    """`frame` (with check code and CR) asking for more: "&" before its CR."""
    return frame[:-1] + "&\r"


@pytest.fixture
def device():
    """A master on one end of an in-process line and a device on the other
    that answers with `device.answer` (settable)."""
    made = []

    def make(answer, **kwargs):
        station_end, device_end = linkpair.pair(timeout=0.02)
        dev = linkpair.Device(device_end, answer).__enter__()
        master = b4k_mew.MewMaster(station_end, **kwargs)
        made.append((master, dev))
        return master, dev

    yield make
    for master, dev in made:
        dev.__exit__(None, None, None)
        dev.end.close()
        master.close()


def ended(call, limit=10.0):
    """Runs `call` in a thread; its error (None when it returned) and how
    long it took. A call still running after `limit` seconds fails the test."""
    result = {}

    def run():
        start = time.monotonic()
        try:
            call()
            result["error"] = None
        except Exception as e:  # what the call ended with is what is asserted
            result["error"] = e
        result["took"] = time.monotonic() - start

    t = threading.Thread(target=run, daemon=True)
    t.start()
    t.join(limit)
    assert not t.is_alive(), "the read did not end"
    return result["error"], result["took"]


@pytest.mark.parametrize("data, pause, count, error, message", [
    # Every frame carries a word: more data than the words asked.
    ("3412", 0, 1, OSError, "Error: device response format invalid: length too large: 8"),
    # Frames without data: more frames than the data asked can fill.
    ("", 0, 2, OSError, "Error: device response format invalid: too many frames: 3"),
    # Slow frames of a long read, each within the time-out: every frame but
    # the last is full (100 characters at least), so these are too many
    # long before the read's time would run out.
    ("34", 0.1, 100, OSError, "Error: device response format invalid: too many frames: 7"),
])
def test_a_device_that_never_stops_sending_frames_ends_the_read(device, capsys, data, pause, count, error,
                                                                message):
    # Before, such a read went on for as long as the device sent frames.
    def answer(command):
        time.sleep(pause)
        if "#" in command:
            return continued(M.append_tail("%01$RD3412"))
        return continued(M.append_tail("%01" + data))

    master, dev = device(answer, query_timeout=1.0)
    got, _ = ended(lambda: master.get_multi_uint16(1, "DT0", count))
    capsys.readouterr()
    assert type(got) is error and str(got) == message
    assert len(dev.received) < 10


# --- Input refused before anything is sent, and what a time-out says --------------------

@pytest.mark.parametrize("call", [
    lambda m: m.get_uint16(-1, "DT0"),
    lambda m: m.set_uint16(-5, "DT0", 1),
    lambda m: m.get_coil(-1, "X0"),
    lambda m: m.get_uint16(1, ""),
    lambda m: m.get_coil(1, ""),
    lambda m: m.set_coil(1, "", True),
    lambda m: m.get_multi_uint32(1, "", 2),
    lambda m: m.get_coils(1, ["X0", ""]),
    lambda m: m.set_multi_uint16(1, "", [1, 2]),
])
def test_a_negative_station_or_an_empty_name_is_refused_before_sending(device, call):
    master, dev = device(lambda command: None, query_timeout=0.1)
    with pytest.raises(ValueError):
        call(master)
    time.sleep(0.05)
    assert dev.received == []


def test_stations_above_255_are_still_sent(device):
    master, dev = device(lambda command: M.append_tail(command[:command.index("#")] + "$RD0100"))
    assert master.get_uint16(300, "DT0") == 1
    assert dev.received[0].startswith("%12C#RD")


@pytest.mark.parametrize("url", ["tcp://127.0.0.1\x00evil:{port}", "tcp://127.0.0.1\n:{port}",
                                 "tcp://127.0.0.1:{port}\x00", "socket://\x7f127.0.0.1:{port}"])
def test_control_characters_in_an_address_are_refused_before_connecting(url):
    with socket.create_server(("127.0.0.1", 0)) as server:
        server.settimeout(0.2)
        port = server.getsockname()[1]
        with pytest.raises(ValueError, match="control character"):
            b4k_mew.MewMaster(url.format(port=port))
        with pytest.raises(ValueError, match="control character"):
            b4k_mew.MewTcp("127.0.0.1\x00evil", port)
        with pytest.raises(socket.timeout):
            server.accept()


@pytest.mark.parametrize("station, decimal", [(5, False), (300, False), (23, True)])
def test_a_time_out_is_a_timeout_error_naming_the_station(device, station, decimal):
    master, _ = device(lambda command: None, query_timeout=0.05, decimal_stations=decimal)
    with pytest.raises(OSError) as info:
        master.get_uint16(station, "DT0")
    assert type(info.value) is TimeoutError and isinstance(info.value, IOError)
    assert str(info.value) == "MewMasterBase: device response timeout." and info.value.station == station


# --- Waits: close at once, a query within its time-out ------------------------------------

def test_close_does_not_wait_for_the_read_time_out():
    peer = Peer(tcp=False)
    try:
        master = b4k_mew.MewMaster(b4k_mew.MewSerial(port=peer.port, timeout=3.0))
        time.sleep(0.2)  # the receiver waits in its read now
        start = time.monotonic()
        master.close()
        assert time.monotonic() - start < 1.5
    finally:
        peer.close()


def test_a_reconnection_that_gets_no_reply_keeps_to_the_query_time_out(capsys):
    # A unit whose queue of connections is full drops the next attempt
    # unanswered: the master's attempt to connect again waits for nothing.
    with socket.socket() as server:
        server.bind(("127.0.0.1", 0))
        server.listen(0)
        port = server.getsockname()[1]
        master = b4k_mew.MewMaster("tcp://127.0.0.1:%d" % port, query_timeout=0.3)
        try:
            first, _ = server.accept()
            blocker = socket.socket()
            blocker.setblocking(False)
            blocker.connect_ex(("127.0.0.1", port))  # fills the queue
            first.close()  # the master connects again at its next query
            linkpair.wait_until(lambda: not master._channel.connected)
            error, took = ended(lambda: master.get_uint16(1, "DT0"))
            assert "cannot connect" in str(error) and took < 1.5
            # A station made with an address keeps to it as well.
            error, took = ended(lambda: b4k_mew.MewMaster("tcp://127.0.0.1:%d" % port, query_timeout=0.3))
            assert "cannot connect" in str(error) and took < 1.5
            blocker.close()
        finally:
            master.close()
    capsys.readouterr()
