"""Tests of the serial channel, the link base (MewBase) and the master query
(MewMasterBase): on pseudo-terminals and on an in-process line (linkpair)."""
import contextlib
import gc
import os
import queue
import select
import subprocess
import sys
import threading
import time
import tty

import pytest
import serial

import b4k_mew
from b4k_mew import MewBase, MewMasterBase, MewSerial
from b4k_mew import MewStatic as M
import linkpair
from conftest import Output, child_env
from linkpair import Device, wait_until

CMD = M.append_tail("%01#RCSX0000")
RESPONSE = M.append_tail("%01$RC1")
NO_RESPONSE = "Error: device no response."
INVALID = "Error: device response format invalid."
ALL_BYTES = bytes(b for b in range(256) if b != 13) + b"\r"


def wrong_check_code(body):
    good = M.append_tail(body)
    return body + ("00" if good[-3:-1] != "00" else "11") + "\r"


@pytest.fixture
def out(capsys):
    return Output(capsys, lf_only=True)


@pytest.fixture
def rig():
    """Closes whatever a test registers, last first, also when it fails."""
    with contextlib.ExitStack() as stack:
        yield stack


def station(rig, cls=MewBase, end=None, start=True, **kwargs):
    """A station on an in-process line; returns it and the device end."""
    if end is None:
        end, _ = linkpair.pair()
    st = rig.enter_context(contextlib.closing(cls(end, **kwargs)))
    if start:
        st.start()
    return st, getattr(end, "peer", None)


def master(rig, answer, query_timeout=0.5, start=True, cls=MewMasterBase):
    """A master whose device answers every frame with answer(frame)."""
    end, dev = linkpair.pair()
    device = rig.enter_context(Device(dev, answer))
    return station(rig, cls, end, start, query_timeout=query_timeout)[0], device


@pytest.fixture
def pty_line():
    """(device fd, port name) of a raw pseudo-terminal. Ask for it before
    `rig`, so that the stations on it are closed before it is."""
    dev, port = os.openpty()
    tty.setraw(port)
    yield dev, os.ttyname(port)
    os.close(dev)
    os.close(port)


def open_serial(rig, name, **kwargs):
    return rig.enter_context(contextlib.closing(MewSerial(port=name, **kwargs)))


def pty_read(fd, count, timeout):
    data = b""
    deadline = time.monotonic() + timeout
    while len(data) < count and select.select([fd], [], [], max(0, deadline - time.monotonic()))[0]:
        data += os.read(fd, count - len(data))
    return data


def write_in_thread(fd, data):
    """Writes on a thread: a pseudo-terminal takes only some KiB unread."""
    def run():
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view):]
    t = threading.Thread(target=run, daemon=True)
    t.start()
    return t


# --- MewSerial on a pseudo-terminal -----------------------------------------

@pytest.mark.parametrize("kwargs, least", [({}, 0.08), ({"timeout": 0.3}, 0.25)])
def test_serial_no_traffic_is_no_response(pty_line, rig, kwargs, least):
    ch = open_serial(rig, pty_line[1], **kwargs)
    assert ch._serial.timeout == kwargs.get("timeout", 0.1)
    begin = time.monotonic()
    with pytest.raises(OSError, match="^%s$" % NO_RESPONSE):
        ch.receive_frame()
    assert time.monotonic() - begin >= least
    assert ch.read() == ""


@pytest.mark.parametrize("steps", [
    pytest.param([(b"\r", "\r")], id="lone CR"),
    pytest.param([(RESPONSE.encode() + CMD.encode(), RESPONSE), (b"", CMD)], id="back to back"),
    pytest.param([(b"%01$RC", INVALID), (RESPONSE.encode(), RESPONSE)], id="broken off"),
    pytest.param([(b"\xb0\r", "\u00b0\r"), (ALL_BYTES, ALL_BYTES.decode("latin-1"))], id="latin-1"),
])
def test_serial_receive_frame(pty_line, rig, steps):
    dev, name = pty_line
    ch = open_serial(rig, name)
    for data, expected in steps + [(b"", NO_RESPONSE)]:
        if data:
            os.write(dev, data)
        if expected in (INVALID, NO_RESPONSE):
            with pytest.raises(OSError, match="^%s$" % expected):
                ch.receive_frame()
        else:
            assert ch.receive_frame() == expected


@pytest.mark.parametrize("text, wire", [("\u00b0", b"\xc2\xb0"), (CMD, CMD.encode())])
def test_serial_send_encodes_utf8(pty_line, rig, text, wire):
    dev, name = pty_line
    ch = open_serial(rig, name)
    ch.send_frame(text)
    assert pty_read(dev, len(wire) + 1, 0.5) == wire
    with pytest.raises(TypeError):
        ch.send_frame(wire)
    assert pty_read(dev, 1, 0.2) == b""


def test_serial_read_sizes_in_waiting_and_flush(pty_line, rig):
    dev, name = pty_line
    ch = open_serial(rig, name)
    os.write(dev, b"abcdef")
    assert wait_until(lambda: ch.in_waiting == 6)
    assert (ch.read(), ch.in_waiting, ch.read(3), ch.read(10), ch.read()) == ("a", 5, "bcd", "ef", "")
    os.write(dev, b"ghijkl")
    assert wait_until(lambda: ch.in_waiting == 6)
    assert ch.read() == "g"  # the rest may sit in a read-ahead: flushing must drop it too
    ch.flush_input()
    ch.flush_output()
    assert (ch.in_waiting, ch.read()) == (0, "")


def test_serial_close_twice_then_not_open(pty_line, rig):
    ch = open_serial(rig, pty_line[1])
    ch.close()
    ch.close()
    for op in (ch.read, ch.receive_frame, lambda: ch.send_frame(CMD), ch.flush_input):
        with pytest.raises(serial.PortNotOpenError):
            op()


def test_serial_close_wakes_blocked_reader(pty_line, rig):
    ch = open_serial(rig, pty_line[1], timeout=None)
    caught = []

    def reader():
        try:
            ch.receive_frame()
        except Exception as e:
            caught.append(e)
    t = threading.Thread(target=reader, daemon=True)
    t.start()
    time.sleep(0.1)
    ch.close()
    t.join(5)
    assert not t.is_alive() and len(caught) == 1 and isinstance(caught[0], serial.PortNotOpenError)


def test_serial_overlong_run_is_noise(pty_line, rig):
    dev, name = pty_line
    ch = open_serial(rig, name, timeout=0.5)
    writer = write_in_thread(dev, b"A" * 70000)
    with pytest.raises(OSError, match="^%s$" % INVALID):
        ch.receive_frame()
    writer.join(5)
    # The frame was given up at the limit, before the end of the run.
    rest = ch.read(70000)
    assert 0 < len(rest) <= 70000 - 64 * 1024 and set(rest) == {"A"}
    os.write(dev, RESPONSE.encode())
    assert ch.receive_frame() == RESPONSE


def test_station_survives_overlong_run(pty_line, rig, out):
    dev, name = pty_line
    st, _ = station(rig, end=MewSerial(port=name), start=False)
    q = b4k_mew.Listener()
    st._feedback_listeners.append(q)
    st.start()
    writer = write_in_thread(dev, b"A" * 70000)
    assert out.wait(1)[0] == "IOError from MewFullDuplex: " + INVALID
    writer.join(5)
    got = None
    for _ in range(10):  # a frame glued to the end of the noise does not count
        os.write(dev, RESPONSE.encode())
        with contextlib.suppress(queue.Empty):
            got = q.get(timeout=1)
            if got == RESPONSE:
                break
    assert got == RESPONSE
    assert set(out.lines()) == {"IOError from MewFullDuplex: " + INVALID}


# --- MewSerial constructor and port names -----------------------------------

@pytest.fixture
def fake_serial(monkeypatch):
    """Replaces serial.Serial with a recorder that opens nothing; returns the
    list of the objects made."""
    made = []

    class FakeSerial:
        def __init__(self, *args, **kwargs):
            self.args, self.kwargs, self.timeout = args, kwargs, kwargs.get("timeout")
            self.incoming, self.written, self.calls = bytearray(), bytearray(), []
            made.append(self)

        def read(self, size=1):
            data = bytes(self.incoming[:size])
            del self.incoming[:size]
            return data

        def write(self, data):
            self.written += data
            return len(data)

        in_waiting = property(lambda self: len(self.incoming))
        flushInput = lambda self: (self.calls.append("flushInput"), self.incoming.clear())
        flushOutput = lambda self: self.calls.append("flushOutput")
        close = lambda self: self.calls.append("close")

    monkeypatch.setattr(serial, "Serial", FakeSerial)
    return made


@pytest.mark.parametrize("kwargs, expected", [
    ({"port": "X"}, {"port": "X", "timeout": 0.1}),
    ({"port": "X", "timeout": None}, {"port": "X", "timeout": None}),
    ({"port": "X", "timeout": 0}, {"port": "X", "timeout": 0}),
    ({"port": "X", "timeout": 7}, {"port": "X", "timeout": 7}),
    ({"port": "X", "baudrate": 19200, "bytesize": 7, "parity": "E", "timeout": 2.5},
     {"port": "X", "baudrate": 19200, "bytesize": 7, "parity": "E", "timeout": 2.5}),
])
def test_serial_keywords_reach_serial_unchanged(fake_serial, kwargs, expected):
    with pytest.raises(TypeError):
        MewSerial(kwargs["port"])
    assert fake_serial == []
    ch = MewSerial(**kwargs)
    try:
        [fake] = fake_serial
        assert fake.args == () and fake.kwargs == expected and ch._serial is fake
        assert type(fake.kwargs["timeout"]) is type(expected["timeout"])
    finally:
        ch.close()


def test_serial_talks_through_foreign_serial_object(fake_serial):
    ch = MewSerial(port="X")
    [fake] = fake_serial
    fake.incoming += RESPONSE.encode() + b"\xb0"
    assert ch.in_waiting == len(RESPONSE) + 1
    assert (ch.receive_frame(), ch.read(5)) == (RESPONSE, "\u00b0")
    with pytest.raises(OSError, match="^%s$" % NO_RESPONSE):
        ch.receive_frame()
    ch.send_frame("\u00b0" + CMD)
    assert bytes(fake.written) == b"\xc2\xb0" + CMD.encode()
    fake.incoming += b"junk"
    ch.flush_input()
    ch.flush_output()
    assert ch.read() == ""
    ch.close()
    assert fake.calls == ["flushInput", "flushOutput", "close"]


@pytest.mark.parametrize("make", [lambda name: MewSerial(port=name), MewBase])
def test_pyserial_errors_propagate(make):
    with pytest.raises(serial.SerialException, match="ttyB4kNoSuchPort"):
        make("/dev/ttyB4kNoSuchPort")


@pytest.mark.parametrize("name", ["COM3", "com7", "/dev/ttyUSB0", "/DEV/TTYS1"])
@pytest.mark.parametrize("cls, extra", [(MewBase, {}), (MewMasterBase, {"query_timeout": 0.3})])
def test_port_names_open_a_serial_channel(fake_serial, name, cls, extra):
    st = cls(name, baudrate=9600, **extra)
    try:
        [fake] = fake_serial
        assert fake.kwargs == {"port": name, "baudrate": 9600, "timeout": 0.1}
        assert type(st._channel) is MewSerial and st._channel._serial is fake
        assert not extra or st._query_timeout == 0.3
    finally:
        st.close()
    assert fake.calls == ["close"]


@pytest.mark.parametrize("name", ["/dev/serial0", "tty1"])
def test_unknown_port_names(fake_serial, name):
    with pytest.raises(ValueError, match="^Unknown device name: %s$" % name):
        MewBase(name, baudrate=9600)
    assert fake_serial == []


def test_channel_object_ignores_keywords(fake_serial):
    end, _ = linkpair.pair()
    for st in (MewBase(end, baudrate=9600, port="COM1"), MewMasterBase(channel=end, baudrate=1)):
        assert st._channel is end
        st.close()
    assert fake_serial == [] and end.close_count == 2


# --- Channel is abstract ----------------------------------------------------

CHANNEL_METHODS = {
    "read": lambda self, size=1: "",
    "receive_frame": lambda self: "\r",
    "send_frame": lambda self, data: None,
    "in_waiting": property(lambda self: 0),
}


@pytest.mark.parametrize("missing", sorted(CHANNEL_METHODS))
def test_channel_is_abstract(missing):
    with pytest.raises(TypeError, match="abstract"):
        b4k_mew.Channel()
    cls = type("Partial", (b4k_mew.Channel,), {k: v for k, v in CHANNEL_METHODS.items() if k != missing})
    with pytest.raises(TypeError, match="^Can't instantiate abstract class Partial with abstract method %s$" % missing):
        cls()


def test_complete_channel_defaults_do_nothing():
    ch = type("Complete", (b4k_mew.Channel,), dict(CHANNEL_METHODS))()
    assert (ch.close(), ch.flush_input(), ch.flush_output(), ch.in_waiting) == (None, None, None, 0)
    st = MewBase(ch)
    st.start()
    st.close()
    assert not st._receiver_thread.is_alive()


# --- Receiver routing -------------------------------------------------------

@pytest.mark.parametrize("body, to", [
    ("%01$RC1", "_feedback_listeners"), ("%01!42", "_feedback_listeners"), ("%01#RCSX0000", "_query_listeners"),
])
def test_frames_reach_every_listener_of_their_list(rig, out, body, to):
    st, dev = station(rig)
    queues = {}
    for attr in ("_feedback_listeners", "_query_listeners"):
        queues[attr] = [queue.Queue(), b4k_mew.Listener()]
        for q in queues[attr]:
            getattr(st, attr).append(q)
    frame = M.append_tail(body)
    dev.send_frame(frame)
    assert [q.get(timeout=2) for q in queues.pop(to)] == [frame, frame]
    # One dispatch fills its whole list at once: the other list got nothing.
    assert all(q.empty() for qs in queues.values() for q in qs)
    assert out.lines() == []


@pytest.mark.parametrize("frame, line", [
    (CMD, "MewBase: No query listener. Drop frame."),
    ("%01?RC00\r", "MewBase: Unknown frame type: \r"),
    ("garbage\r", "MewBase: Unknown frame type: \r"),
])
def test_frames_nobody_takes(rig, out, frame, line):
    st, dev = station(rig)
    dev.send_frame(RESPONSE)  # no query pending: dropped without a word
    dev.send_frame(frame)
    assert out.wait(1) == [line]
    q = queue.Queue()
    st._feedback_listeners.append(q)
    dev.send_frame(RESPONSE)
    assert q.get(timeout=2) == RESPONSE
    assert out.lines() == [line]


@pytest.mark.parametrize("kind", ["pair", "pty"])
def test_frame_without_cr_is_reported(pty_line, rig, out, kind):
    if kind == "pty":
        st, _ = station(rig, end=MewSerial(port=pty_line[1]))
        send = lambda data: os.write(pty_line[0], data.encode())
    else:
        st, dev = station(rig)
        send = dev.send_frame
    q = b4k_mew.Listener()
    st._feedback_listeners.append(q)
    send("%01$RC")
    assert out.wait(1) == ["IOError from MewFullDuplex: " + INVALID]
    send(RESPONSE)
    assert q.get(timeout=2) == RESPONSE
    assert out.lines() == ["IOError from MewFullDuplex: " + INVALID]


class ClippedEnd(linkpair.End):
    """Hands frames on without their CR, so that classifying them can fail."""

    def receive_frame(self):
        return super().receive_frame()[:-1]


@pytest.mark.parametrize("case", ["put raises", "classify raises"])
def test_unhandled_errors_are_printed_and_ignored(rig, out, case):
    end, far = ClippedEnd(), linkpair.End()
    end.peer, far.peer = far, end
    st, dev = station(rig, end=end if case == "classify raises" else None)
    bad = None

    class Bad:
        def put(self, frame):
            raise RuntimeError("boom")
    if case == "put raises":
        bad = Bad()
        st._feedback_listeners.append(bad)
        dev.send_frame(RESPONSE)
        expected = "Ignore unhandled exception: boom"
    else:
        dev.send_frame("noise\r")
        expected = "Ignore unhandled exception: string index out of range"
    assert out.wait(1) == [expected]
    if bad:
        st._feedback_listeners.remove(bad)
    q = queue.Queue()
    st._feedback_listeners.append(q)
    dev.send_frame(RESPONSE)
    assert q.get(timeout=2).rstrip("\r") == RESPONSE.rstrip("\r")
    assert out.lines() == [expected]


@pytest.mark.parametrize("error", [RuntimeError("unplugged"), OSError("unplugged")])
def test_failing_read_ends_receiver(rig, out, error):
    st, dev = station(rig)
    thread = st._receiver_thread
    st._channel.fail_read = error
    thread.join(5)
    assert not thread.is_alive()
    lines = out.wait(1)
    assert len(lines) == 1 and "unplugged" in lines[0]
    assert st._stop_flag is False
    st.start()  # still counts as running
    assert st._receiver_thread is thread and st._channel.flush_count == 1
    st.stop()
    assert st._stop_flag is True
    st._channel.fail_read = None
    st.start()
    assert st._receiver_thread is not thread and st._receiver_thread.is_alive()
    q = queue.Queue()
    st._feedback_listeners.append(q)
    dev.send_frame(RESPONSE)
    assert q.get(timeout=2) == RESPONSE
    assert len(out.lines()) == 1


# --- Listener lists and the listener lock -----------------------------------

@pytest.mark.parametrize("attr, other", [
    ("_feedback_listeners", "_query_listeners"), ("_query_listeners", "_feedback_listeners"),
])
@pytest.mark.parametrize("make", [queue.Queue, b4k_mew.Listener])
def test_listener_lists_are_live(rig, attr, other, make):
    st, _ = station(rig, start=False)
    lst = getattr(st, attr)
    assert lst == [] and len(lst) == 0 and not lst
    q, q2 = make(), make()
    lst.append(q)
    getattr(st, attr).append(q2)
    assert len(lst) == 2 and q in lst and q2 in getattr(st, attr)
    assert lst == [q, q2] and list(lst)[0] is q and lst[1] is q2
    assert lst[0] is q and lst[-1] is q2 and [type(x) for x in lst[:]] == [type(q)] * 2
    assert getattr(st, other) == [] and q not in getattr(st, other)
    lst.remove(q)
    assert lst == [q2] and q not in lst
    with pytest.raises(ValueError):
        lst.remove(q)


def test_listener_lock(rig):
    st, dev = station(rig)
    lock = st._listener_lock
    entered, go_on = threading.Event(), threading.Event()

    class Slow:
        def put(self, frame):
            entered.set()
            go_on.wait(5)
    slow, q = Slow(), b4k_mew.Listener()
    with lock:
        st._feedback_listeners.append(slow)  # the lists can change under it
        st._feedback_listeners.append(q)
        dev.send_frame(RESPONSE)
        assert not entered.wait(0.3)  # nothing is delivered while it is held
        seen = []
        t = threading.Thread(target=lambda: seen.append((lock.acquire(False), lock.acquire(timeout=0.05))))
        t.start()
        t.join(5)
        assert seen == [(False, False)]
    assert entered.wait(5)
    try:  # the receiver holds it for the whole dispatch of a frame
        got = lock.acquire(timeout=0.2)
        if got:
            lock.release()
    finally:
        go_on.set()
    assert got is False and q.get(timeout=2) == RESPONSE
    assert lock.acquire() is True
    st._feedback_listeners.remove(slow)
    lock.release()
    assert not lock.locked() and st._feedback_listeners == [q]
    with pytest.raises(RuntimeError):
        lock.release()


# --- MewMasterBase.query ----------------------------------------------------

@pytest.mark.parametrize("cmd, response, error, message", [
    (CMD, None, OSError, "MewMasterBase: device response timeout."),
    (CMD, "X01$RC1**\r", OSError, "Error: device response format invalid: begin with: X"),
    (CMD, "X01$R**\r", OSError, "Error: device response format invalid: begin with: X"),
    (CMD, "XZZ$RC1**\r", ValueError, "ZZ"),  # the station is read first
    (CMD, "%01$R**\r", OSError, "Error: device response format invalid: length too small: 8"),
    (CMD, M.append_tail("%02$RC1"), OSError, "Error: station not match: expected 1, got 2"),
    # A wrong check code is refused before the station is compared.
    (CMD, wrong_check_code("%02$RC1"), OSError, "Error: device response check code invalid."),
    (CMD, wrong_check_code("%01$RC1"), OSError, "Error: device response check code invalid."),
    (CMD, "%01$RC1ZZ\r", OSError, "Error: device response check code invalid."),
    (CMD, "%01$RC1*5\r", OSError, "Error: device response check code invalid."),
    (CMD, M.append_tail("%02!42"), OSError, "Error: station not match: expected 1, got 2"),
    (M.append_tail("%1A#RCSX0000"), M.append_tail("%1B$RC1"), OSError, "Error: station not match: expected 26, got 27"),
    (CMD, M.append_tail("%01!42"), OSError, "MEW communication error code(hex): 42"),
])
def test_query_failures(rig, cmd, response, error, message):
    m, device = master(rig, lambda frame: response)
    begin = time.monotonic()
    with pytest.raises(error) as info:
        m.query(cmd)
    assert str(info.value) == message if error is OSError else message in str(info.value)
    assert response is not None or time.monotonic() - begin >= 0.4
    assert device.received == [cmd]
    assert m._feedback_listeners == [] and not m._query_lock.locked()


def test_query_send_failure_removes_listener(rig):
    m, _ = master(rig, lambda frame: RESPONSE)
    m._channel.fail_send = OSError("line down")
    with pytest.raises(OSError, match="^line down$"):
        m.query(CMD)
    assert m._feedback_listeners == [] and not m._query_lock.locked()
    m._channel.fail_send = None
    assert m.query(CMD) == "RC1"


def test_error_response_does_not_wait(rig):
    m, _ = master(rig, lambda frame: M.append_tail("%01!42"), query_timeout=30)
    begin = time.monotonic()
    with pytest.raises(OSError, match=r"^MEW communication error code\(hex\): 42$"):
        m.query(CMD)
    assert time.monotonic() - begin < 15


@pytest.mark.parametrize("cmd, response, result", [
    (CMD, RESPONSE, "RC1"),
    (CMD[:-1], RESPONSE, "RC1"),  # the CR is added
    (CMD, M.append_tail("%01$RC"), "RC"),
    (CMD, "%01$RC1**\r", "RC1"),
    (M.append_tail("%100#RDD0010000100"), M.append_tail("%100$RD3412"), "RD3412"),
])
def test_query_results(rig, cmd, response, result):
    m, device = master(rig, lambda frame: response)
    assert m._query_timeout == 0.5
    assert m.query(cmd) == result
    assert device.received == [cmd if cmd.endswith("\r") else cmd + "\r"]
    assert m._feedback_listeners == []


def test_query_timeout_default_and_unstarted_master(rig):
    assert MewMasterBase(linkpair.pair()[0])._query_timeout == 1
    m, device = master(rig, lambda frame: RESPONSE, query_timeout=0.2, start=False)
    for _ in range(2):
        with pytest.raises(OSError, match="^MewMasterBase: device response timeout.$"):
            m.query(CMD)
    assert device.received == [CMD, CMD]


def test_concurrent_queries_get_their_own_responses(rig):
    def answer(frame):
        st = M.parse_station(frame)
        return M.append_tail("%%%02X$RD%02X00" % (st, st))
    m, _ = master(rig, answer, query_timeout=2)
    results = {st: [] for st in range(1, 5)}

    def worker(st):
        for _ in range(5):
            results[st].append(m.query(M.fill_read_data_area_message(st, "DT100", 1)))
    threads = [threading.Thread(target=worker, args=(st,), daemon=True) for st in results]
    for t in threads:
        t.start()
    for t in threads:
        t.join(20)
    assert not any(t.is_alive() for t in threads)
    assert results == {st: ["RD%02X00" % st] * 5 for st in results}
    assert m._feedback_listeners == []


# --- Lifecycle --------------------------------------------------------------

def test_start_stop_idempotent_and_restart(rig):
    st, dev = station(rig, start=False)
    assert st._receiver_thread is None and st._stop_flag is True
    dev.send_frame(RESPONSE)
    assert wait_until(lambda: st._channel.in_waiting)
    q = queue.Queue()
    st._feedback_listeners.append(q)
    st.start()
    first = st._receiver_thread
    assert isinstance(first, threading.Thread) and not first.daemon and first.is_alive()
    assert st._stop_flag is False and st._channel.flush_count == 1
    st.start()
    assert st._receiver_thread is first and st._channel.flush_count == 1
    st.stop()
    st.stop()
    assert not first.is_alive() and st._stop_flag is True
    st.start()
    assert st._receiver_thread is not first and st._receiver_thread.is_alive()
    dev.send_frame(M.append_tail("%02$RC1"))
    # What came before start was flushed.
    assert q.get(timeout=2) == M.append_tail("%02$RC1")
    assert q.empty()
    # Closing one that never ran closes its channel at once.
    idle, _ = station(rig, start=False)
    idle.close()
    assert idle._channel.closed and idle._channel.close_count == 1 and idle._receiver_thread is None


def test_subclass_overrides_are_called(rig):
    calls = []

    class Traced(MewMasterBase):
        def start(self):
            calls.append("start")
            super().start()

        def stop(self):
            calls.append("stop")
            super().stop()

        def _send(self, data):
            calls.append(data)
            super()._send(data)
    m, _ = master(rig, lambda frame: RESPONSE, start=False, cls=Traced)
    assert calls == []
    m.start()
    assert m.query(CMD) == "RC1"
    thread = m._receiver_thread
    m.close()
    assert calls == ["start", CMD, "stop"]
    assert not thread.is_alive() and m._channel.closed


def test_station_dropped_while_running_keeps_running(out):
    end, dev = linkpair.pair()
    st = MewBase(end)
    q = b4k_mew.Listener()
    st._feedback_listeners.append(q)
    st.start()
    thread = st._receiver_thread
    del st
    gc.collect()
    assert thread.is_alive()
    dev.send_frame(RESPONSE)
    assert q.get(timeout=2) == RESPONSE
    end.close()  # its reads now fail, which ends the receiver
    thread.join(5)
    assert not thread.is_alive()
    gc.collect()
    assert len(out.wait(1)) == 1


SCRIPTS = {
    "closed stations": """
m = b4k_mew.MewMasterBase(b4k_mew.MewSerial(port=name), query_timeout=0.2)
b = b4k_mew.MewBase(b4k_mew.MewSerial(port=name))
m.start(); b.start()
try:
    m.query("%01#RCSX0000**\\r")
except OSError as e:
    print(e)
m.close(); b.close()
""",
    "serial left open": """
ch = b4k_mew.MewSerial(port=name)
st = b4k_mew.MewMasterBase(b4k_mew.MewSerial(port=name))
""",
}


@pytest.mark.parametrize("script", sorted(SCRIPTS))
def test_script_exits_promptly(script):
    code = ("import os, tty, b4k_mew\ndev, port = os.openpty(); tty.setraw(port); name = os.ttyname(port)\n"
            + SCRIPTS[script] + "print('done')\n")
    run = subprocess.run([sys.executable, "-c", code], env=child_env(), capture_output=True, text=True, timeout=30)
    assert (run.returncode, run.stderr) == (0, "")
    assert run.stdout.endswith("done\n")
