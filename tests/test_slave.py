"""Tests of the slave side: request processing (MewSlaveBase), the
full-duplex station (MewFullDuplex), the demonstration slave
(RandomMewSlaveDemo) and a slave station assembled in Python from MewBase
and MewSlaveBase.

The line is an in-process pair of channels (tests/linkpair.py); one test
uses a pseudo-terminal and the serial channel instead. Nothing here asserts
how long anything takes: waits only have generous upper bounds, so a slow
machine makes a test slower, never wrong.
"""
import os
import queue
import random
import select
import threading
import tty

import pytest

import b4k_mew
from conftest import WAIT, Output
from b4k_mew import MewStatic as M

import linkpair
from linkpair import wait_until

TEST_LIMIT = 120.0  # a test still running after this long is taken as hung


def frame(body):
    """A complete frame: the body, its check code and CR."""
    return M.append_tail(body)


@pytest.fixture(autouse=True)
def _no_thread_left(no_thread_left):
    yield


def answer(end, command, timeout=WAIT):
    """Sends a command from the device end and returns the frame that comes back."""
    end.send_frame(command)
    return end.next_frame(timeout)


def serving(station):
    """Waits until the station's worker has registered its queue: the worker
    does that on its own thread once started, and a command that arrives
    before has no listener to go to."""
    assert wait_until(lambda: len(station._query_listeners) == 1, WAIT), "worker queue not registered"
    return station


def start(station):
    station.start()
    return serving(station)


def worker_queue(station):
    """The one queue in the station's query listeners. Holding it keeps its
    Python object alive, so an identity test against it is meaningful."""
    listeners = list(station._query_listeners)
    assert len(listeners) == 1
    return listeners[0]


def assert_silent(end, timeout=0.3):
    """Nothing comes back on this end. A short wait suffices: an answer that
    should not come would be on its way within it."""
    with pytest.raises(OSError, match="no response"):
        end.next_frame(timeout)


# --- Request processing: MewSlaveBase -----------------------------------------

HANDLERS = ["on_get_coil", "on_set_coil", "on_get_multi_coil_uint16", "on_set_multi_coil_uint16",
            "on_get_multi_uint16", "on_set_multi_uint16"]


class Recorder(b4k_mew.MewSlaveBase):
    """Records every handler call; read handlers return what the test set."""

    def __init__(self, station=1):
        super().__init__(station)
        self.calls = []
        self.coil = True
        self.words = [258, 0, 255]
        self.invalid = []

    def on_get_coil(self, name):
        self.calls.append(("on_get_coil", name))
        return self.coil

    def on_set_coil(self, name, value):
        self.calls.append(("on_set_coil", name, value))

    def on_get_multi_coil_uint16(self, name, count):
        self.calls.append(("on_get_multi_coil_uint16", name, count))
        return self.words

    def on_set_multi_coil_uint16(self, name, values):
        self.calls.append(("on_set_multi_coil_uint16", name, values))

    def on_get_multi_uint16(self, name, count):
        self.calls.append(("on_get_multi_uint16", name, count))
        return self.words

    def on_set_multi_uint16(self, name, values):
        self.calls.append(("on_set_multi_uint16", name, values))


@pytest.mark.parametrize("missing", HANDLERS)
def test_subclass_missing_a_handler_cannot_be_instantiated(missing):
    body = {name: (lambda self, *a: None) for name in HANDLERS if name != missing}
    Incomplete = type("Incomplete", (b4k_mew.MewSlaveBase,), body)
    with pytest.raises(TypeError, match=r"Can't instantiate abstract class Incomplete with abstract method.*%s"
                       % missing):
        Incomplete(1)


def test_base_itself_and_a_bare_subclass_cannot_be_instantiated():
    with pytest.raises(TypeError, match="abstract"):
        b4k_mew.MewSlaveBase(1)

    class Bare(b4k_mew.MewSlaveBase):
        pass

    with pytest.raises(TypeError) as e:
        Bare(1)
    for name in HANDLERS:
        assert name in str(e.value)


def test_complete_subclass_and_its_station():
    s = Recorder(7)
    assert s.station == 7 and s._station == 7
    with pytest.raises(AttributeError):
        s.station = 8


# (command body, handler result, expected handler call, expected response body)
REQUESTS = [
    pytest.param("%01#RCSR0010", True, ("on_get_coil", "R0010"), "%01$RC1", id="RCS-true"),
    pytest.param("%01#RCSX001F", False, ("on_get_coil", "X001F"), "%01$RC0", id="RCS-false"),
    pytest.param("%01#RCSR0010", 2, ("on_get_coil", "R0010"), "%01$RC1", id="RCS-truthy"),
    pytest.param("%01#WCSR00101", None, ("on_set_coil", "R0010", True), "%01$WC", id="WCS-1"),
    pytest.param("%01#WCSR00100", None, ("on_set_coil", "R0010", False), "%01$WC", id="WCS-0"),
    pytest.param("%01#WCSY0012A", None, ("on_set_coil", "Y0012", True), "%01$WC", id="WCS-other-char"),
    pytest.param("%01#RCCX00000010", [1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11],
                 ("on_get_multi_coil_uint16", "X0000", 11),
                 "%01$RC" + "".join("%02X00" % v for v in range(1, 12)), id="RCC-11"),
    pytest.param("%01#RCCY00100012", [0x1234, 0, 0xFFFF], ("on_get_multi_coil_uint16", "Y0010", 3),
                 "%01$RC34120000FFFF", id="RCC-3"),
    pytest.param("%01#WCCY00100011010002FF", None, ("on_set_multi_coil_uint16", "Y0010", [1, 0xFF02]),
                 "%01$WC", id="WCC-2"),
    pytest.param("%01#WCCR00000000abcd", None, ("on_set_multi_coil_uint16", "R0000", [0xCDAB]), "%01$WC",
                 id="WCC-lower-case-data"),
    pytest.param("%01#RDD0010000102", [258, 0, 255], ("on_get_multi_uint16", "D00100", 3),
                 "%01$RD02010000FF00", id="RD-3"),
    pytest.param("%01#RDL0000000000", [0xABCD], ("on_get_multi_uint16", "L00000", 1), "%01$RDCDAB", id="RD-1"),
    pytest.param("%01#WDD00100001010201FF00", None, ("on_set_multi_uint16", "D00100", [258, 255]), "%01$WD",
                 id="WD-2"),
    pytest.param("%01#WDD0000000000FFFF", None, ("on_set_multi_uint16", "D00000", [65535]), "%01$WD",
                 id="WD-1"),
    # Ranges whose end lies before the start: the count as computed, down
    # to zero or below; write handlers get an empty list.
    pytest.param("%01#RDD0010000099", [], ("on_get_multi_uint16", "D00100", 0), "%01$RD", id="RD-count-0"),
    pytest.param("%01#RDD0010000050", [], ("on_get_multi_uint16", "D00100", -49), "%01$RD", id="RD-count-neg"),
    pytest.param("%01#RCCX00050003", [], ("on_get_multi_coil_uint16", "X0005", -1), "%01$RC",
                 id="RCC-count-neg"),
    pytest.param("%01#WDD0010000099", None, ("on_set_multi_uint16", "D00100", []), "%01$WD", id="WD-count-0"),
    pytest.param("%01#WCCY00100009", None, ("on_set_multi_coil_uint16", "Y0010", []), "%01$WC",
                 id="WCC-count-0"),
    # The response carries one group per returned value, however many.
    pytest.param("%01#RDD0010000102", [7], ("on_get_multi_uint16", "D00100", 3), "%01$RD0700",
                 id="RD-fewer-values"),
    pytest.param("%01#RDD0010000100", (1, 2), ("on_get_multi_uint16", "D00100", 1), "%01$RD01000200",
                 id="RD-more-values-tuple"),
    # The station field is echoed as received, also above two digits.
    pytest.param("%001#RCSR0010", True, ("on_get_coil", "R0010"), "%001$RC1", id="station-leading-zeros"),
]


@pytest.mark.parametrize("body,result,call,response", REQUESTS)
def test_process_request(body, result, call, response, out):
    s = Recorder(1)
    if call[0] == "on_get_coil":
        s.coil = result
    elif result is not None:
        s.words = result
    assert s._process_request(frame(body)) == frame(response)
    assert s.calls == [call]
    for got, want in zip(s.calls[0], call):
        assert type(got) is type(want)
    assert out.lines() == []


def test_process_request_known_check_codes():
    # Written out, so the responses do not rest on the codec alone.
    s = Recorder(1)
    assert s._process_request("%01#RCSY00101D\r") == "%01$RC120\r"
    assert s._process_request("%01#RDD001000010257\r") == "%01$RD02010000FF0015\r"
    assert Recorder(2)._process_request("%02#RCSX00001E\r") == "%02$RC123\r"


def test_station_above_255():
    s = Recorder(0x100)
    assert s._process_request(frame("%100#RCSR0010")) == frame("%100$RC1")


@pytest.mark.parametrize("body", ["%01#XYZ", "%01#RCP0000", "%01#RC", "%01#rcsR0000", "%01#WC"])
def test_unknown_command_is_answered_with_error_03(body, out):
    s = Recorder(1)
    assert s._process_request(frame(body)) == frame("%01!03")
    assert s.calls == []
    assert out.lines() == []


def test_unknown_command_known_check_code():
    assert Recorder(1)._process_request(frame("%01#XYZ")) == "%01!0306\r"


@pytest.mark.parametrize("body", ["%02#RCSR0010", "%02#WCSR00101", "%02#RCCX00000010", "%02#WCCY001000110100",
                                  "%02#RDD0010000102", "%02#WDD00100001010201FF00", "%02#XYZ", "%00#RCSR0010",
                                  "%0101#RCSR0010"])
def test_frame_for_another_station_is_ignored(body, out):
    s = Recorder(1)
    assert s._process_request(frame(body)) == ""
    assert s.calls == []
    assert out.lines() == ["Ignore other target frame."]


INVALID = [
    pytest.param("%01#RCSR001022\r", id="wrong-check-code"),
    pytest.param("%01#RCSR0010*1\r", id="one-star"),
    pytest.param(frame("%01#R"), id="8-characters"),
    pytest.param(frame("%01#"), id="7-characters"),
    pytest.param("", id="empty"),
    pytest.param(frame("X01#RCSR0010"), id="wrong-header"),
    pytest.param(frame(" %01#RCSR0010"), id="blank-before-header"),
    pytest.param("%01#RCSR0010ZZ\r", id="check-code-not-hex"),
]


@pytest.mark.parametrize("command", INVALID)
def test_invalid_frame_is_reported_and_not_answered(command, out):
    s = Recorder(1)
    assert s._process_request(command) == ""
    assert s.calls == []
    assert out.lines() == ["Invalid MEW frame: %s" % command.rstrip("\r")]
    assert out.text == "Invalid MEW frame: %s\n" % command


@pytest.mark.parametrize("command", ["%01#RCSY0010**\r", "%01#RCSY00101d\r", "%01#RCSY00101D\r"])
def test_check_code_stars_and_lower_case_are_accepted(command):
    assert Recorder(1)._process_request(command) == frame("%01$RC1")


def test_nine_characters_pass_the_frame_check(out):
    s = Recorder(1)
    assert s._process_request(frame("%01#XY")) == frame("%01!03")
    assert out.lines() == []


@pytest.mark.parametrize("command", [c.values[0] for c in INVALID])
def test_process_invalid_frame_can_be_replaced(command, out):
    class Quiet(Recorder):
        def process_invalid_frame(self, frame):
            self.invalid.append(frame)

    s = Quiet(1)
    assert s._process_request(command) == ""
    assert s.invalid == [command]
    assert out.lines() == []


def test_process_invalid_frame_default_and_through_super(out):
    class Loud(Recorder):
        def process_invalid_frame(self, frame):
            self.invalid.append(frame)
            super().process_invalid_frame(frame)

    s = Loud(1)
    s.process_invalid_frame("abc")
    assert out.lines() == ["Invalid MEW frame: abc"]
    out.clear()
    assert s._process_request("%01#RCSR001000\r") == ""
    assert s.invalid == ["abc", "%01#RCSR001000\r"]
    out.lines()
    assert out.text == "Invalid MEW frame: %01#RCSR001000\r\n"


class Boom(Exception):
    pass


@pytest.mark.parametrize("handler,body", [
    ("on_get_coil", "%01#RCSR0010"),
    ("on_set_coil", "%01#WCSR00101"),
    ("on_get_multi_coil_uint16", "%01#RCCX00000001"),
    ("on_set_multi_coil_uint16", "%01#WCCX000000000100"),
    ("on_get_multi_uint16", "%01#RDD0010000101"),
    ("on_set_multi_uint16", "%01#WDD00100001000100"),
])
def test_handler_error_propagates(handler, body):
    def fail(self, *args):
        raise Boom("from %s" % handler)

    Failing = type("Failing", (Recorder,), {handler: fail})
    with pytest.raises(Boom, match="from %s" % handler):
        Failing(1)._process_request(frame(body))


@pytest.mark.parametrize("body,error", [
    ("%01#WDD0010000101020", IndexError),  # fewer data groups than the range
    ("%01#WCCY001000110100", IndexError),
    ("%01#RDD00100AB101", ValueError),  # end register not decimal
    ("%01#RCCX0000ABCD", ValueError),  # end word not decimal
    ("%01#WCSR0", IndexError),  # ends before its value character
    ("%ZZ#RCSR0010", ValueError),  # station field not hexadecimal
    ("%#RCSR00101", ValueError),  # no station digits at all
])
def test_unreadable_fields_raise(body, error):
    s = Recorder(1)
    with pytest.raises(error):
        s._process_request(frame(body))
    assert [c for c in s.calls if c[0].startswith("on_set")] == []


@pytest.mark.parametrize("command", [None, b"%01#RCSY00101D\r", 1])
def test_command_must_be_text(command):
    with pytest.raises(TypeError):
        Recorder(1)._process_request(command)


def test_read_handler_result_of_wrong_type_raises():
    s = Recorder(1)
    s.words = None
    with pytest.raises(TypeError):
        s._process_request(frame("%01#RDD0010000100"))


# --- The full-duplex station ---------------------------------------------------

@pytest.fixture
def line():
    """A line: (station end, device end)."""
    a, b = linkpair.pair()
    yield a, b
    a.close()
    b.close()


@pytest.fixture
def duplex(line):
    stations = []

    def make(cls=b4k_mew.MewFullDuplex, **kwargs):
        s = cls(line[0], **kwargs)
        stations.append(s)
        return serving(s)

    yield make
    for s in stations:
        s.close()


def test_default_slave_station_is_1(duplex, line, out):
    fd = duplex()
    assert fd.station == 1 and fd._station == 1
    assert answer(line[1], frame("%01#RCSR0010")) == frame("%01$RC0")
    line[1].send_frame(frame("%02#RCSR0010"))
    out.wait_for("Ignore other target frame.")
    assert_silent(line[1])


@pytest.mark.parametrize("number", [1, 2, 0x2A, 0x100])
def test_slave_station_keyword(duplex, line, number, out):
    fd = duplex(slave_station=number)
    assert fd.station == number
    head = "%%%02X" % number
    assert answer(line[1], frame(head + "#RDD0000000000")) == frame(head + "$RD0000")
    other = "%%%02X" % (number + 1)
    line[1].send_frame(frame(other + "#RDD0000000000"))
    out.wait_for("Ignore other target frame.")
    assert_silent(line[1])


def test_slave_station_keyword_with_query_timeout_and_positional_channel(line):
    fd = b4k_mew.MewFullDuplex(line[0], query_timeout=0.5, slave_station=3)
    try:
        serving(fd)
        assert fd.station == 3
        assert fd._query_timeout == 0.5
        assert answer(line[1], frame("%03#RCSR0010")) == frame("%03$RC0")
    finally:
        fd.close()


@pytest.mark.parametrize("number", [0, -1])
def test_slave_station_below_1_fails_before_anything_starts(line, number):
    before = threading.enumerate()
    with pytest.raises(AssertionError) as e:
        b4k_mew.MewFullDuplex(line[0], slave_station=number)
    assert str(e.value) == ""
    assert threading.enumerate() == before
    # Nothing touched the channel: no start discarded its input.
    assert line[0].flush_count == 0 and line[0].close_count == 0


def test_slave_station_below_1_fails_before_the_port_is_opened():
    # The port does not exist: opening it would fail with another error.
    before = threading.enumerate()
    with pytest.raises(AssertionError):
        b4k_mew.MewFullDuplex("/dev/ttyNoSuchPort", slave_station=0)
    assert threading.enumerate() == before


def test_running_when_constructed(duplex):
    fd = duplex()
    assert fd._stop_flag is False and fd._slave_stop_flag is False
    assert fd._receiver_thread.is_alive() and fd._slave_thread.is_alive()
    assert not fd._receiver_thread.daemon and not fd._slave_thread.daemon
    assert len(fd._query_listeners) == 1


# (command body, response body) with the default handlers
DEFAULT_ANSWERS = [
    ("%01#RCSR0010", "%01$RC0"),
    ("%01#RCCX00000002", "%01$RC000000000000"),
    ("%01#RDD0010000102", "%01$RD000000000000"),
    ("%01#RDD0010000100", "%01$RD0000"),
    ("%01#RDD0010000099", "%01$RD"),
    ("%01#WCSR00101", "%01$WC"),
    ("%01#WCCY00100011010002FF", "%01$WC"),
    ("%01#WDD00100001010201FF00", "%01$WD"),
    ("%01#XYZ", "%01!03"),
]


def test_default_handlers_answer_zeros_and_accept_writes(duplex, line):
    duplex()
    for body, response in DEFAULT_ANSWERS:
        assert answer(line[1], frame(body)) == frame(response), body
    # Nothing was stored by the writes.
    assert answer(line[1], frame("%01#RDD0010000101")) == frame("%01$RD00000000")
    assert answer(line[1], frame("%01#RCSR0010")) == frame("%01$RC0")


def test_default_handlers_called_directly(duplex):
    fd = duplex()
    assert fd.on_get_coil("R0010") is False
    assert fd.on_get_multi_coil_uint16("X0000", 3) == [0, 0, 0]
    assert fd.on_get_multi_uint16("D00100", 2) == [0, 0]
    assert fd.on_get_multi_uint16("D00100", 0) == []
    assert fd.on_get_multi_uint16("D00100", -2) == []
    assert fd.on_set_coil("R0010", True) is None
    assert fd.on_set_multi_coil_uint16("Y0010", [1]) is None
    assert fd.on_set_multi_uint16("D00100", [1, 2]) is None


class Registers(b4k_mew.MewFullDuplex):
    """A full-duplex station that keeps its contacts and registers."""

    def __init__(self, *args, **kwargs):
        self.coils = {}
        self.regs = {}
        self.threads = set()
        super().__init__(*args, **kwargs)

    def _note(self):
        self.threads.add(threading.current_thread())

    def on_get_coil(self, name):
        self._note()
        return self.coils.get(name, False)

    def on_set_coil(self, name, value):
        self._note()
        self.coils[name] = value

    def on_get_multi_coil_uint16(self, name, count):
        self._note()
        return [0x5555] * count

    def on_set_multi_coil_uint16(self, name, values):
        self._note()
        self.coils[name] = values

    def on_get_multi_uint16(self, name, count):
        self._note()
        start = int(name[1:])
        return [self.regs.get(start + i, 0) for i in range(count)]

    def on_set_multi_uint16(self, name, values):
        self._note()
        start = int(name[1:])
        for i, v in enumerate(values):
            self.regs[start + i] = v


def test_subclass_handlers_are_called_by_the_worker(duplex, line):
    fd = duplex(Registers, slave_station=5)
    dev = line[1]
    assert answer(dev, frame("%05#WDD00100001010201FF00")) == frame("%05$WD")
    assert fd.regs == {100: 258, 101: 255}
    assert answer(dev, frame("%05#RDD0009900102")) == frame("%05$RD0000" + "0201FF00" + "0000")
    assert answer(dev, frame("%05#WCSR00101")) == frame("%05$WC")
    assert answer(dev, frame("%05#RCSR0010")) == frame("%05$RC1")
    assert answer(dev, frame("%05#RCCX00000001")) == frame("%05$RC55555555")
    assert answer(dev, frame("%05#WCCY00100010FFFF")) == frame("%05$WC")
    assert fd.coils == {"R0010": True, "Y0010": [65535]}
    assert fd.threads == {fd._slave_thread}


def test_subclass_answers_a_master(duplex, line):
    fd = duplex(Registers)
    master = b4k_mew.MewMaster(line[1], query_timeout=WAIT)
    try:
        master.set_multi_uint16(1, "DT10", [1, 2, 0xFFFF])
        assert master.get_multi_uint16(1, "DT10", 3) == [1, 2, 0xFFFF]
        master.set_coil(1, "Y0003", True)
        assert master.get_coil(1, "Y0003") is True
        assert master.get_coil(1, "Y0004") is False
    finally:
        master.close()
    assert fd.regs == {10: 1, 11: 2, 12: 0xFFFF}


def test_subclass_calling_default_handlers_through_super(duplex, line):
    class Partial(b4k_mew.MewFullDuplex):
        def on_get_multi_uint16(self, name, count):
            return super().on_get_multi_uint16(name, count) + [0x1234]

    duplex(Partial)
    assert answer(line[1], frame("%01#RDD0000000001")) == frame("%01$RD000000003412")


def test_subclass_request_processing_hooks_are_used_by_the_worker(duplex, line, out):
    class Hooked(b4k_mew.MewFullDuplex):
        def __init__(self, *args, **kwargs):
            self.requests = []
            self.invalid = []
            super().__init__(*args, **kwargs)

        def _process_request(self, command):
            self.requests.append(command)
            return super()._process_request(command)

        def process_invalid_frame(self, frame):
            self.invalid.append(frame)

    fd = duplex(Hooked)
    assert answer(line[1], frame("%01#RCSR0010")) == frame("%01$RC0")
    line[1].send_frame("%01#RCSR001000\r")
    assert wait_until(lambda: fd.invalid == ["%01#RCSR001000\r"], WAIT)
    assert fd.requests == [frame("%01#RCSR0010"), "%01#RCSR001000\r"]
    out.lines()
    assert "Invalid MEW frame" not in out.text


def test_invalid_and_foreign_frames_are_reported_by_the_worker(duplex, line, out):
    duplex()
    dev = line[1]
    dev.send_frame("%01#RCSR001000\r")
    out.wait_for("Invalid MEW frame: %01#RCSR001000")
    dev.send_frame(frame("%02#RCSR0010"))
    out.wait_for("Ignore other target frame.")
    # Neither was answered: the next answer is the one to the next command.
    assert answer(dev, frame("%01#RDD0000000000")) == frame("%01$RD0000")


def test_start_is_idempotent(duplex):
    fd = duplex()
    receiver, worker = fd._receiver_thread, fd._slave_thread
    listeners = list(fd._query_listeners)
    threads = set(threading.enumerate())
    fd.start()
    fd.start()
    assert fd._receiver_thread is receiver and fd._slave_thread is worker
    assert list(fd._query_listeners) == listeners
    assert set(threading.enumerate()) == threads


def test_stop_is_idempotent_and_unregisters_the_queue(duplex, line):
    fd = duplex()
    receiver, worker = fd._receiver_thread, fd._slave_thread
    fd.stop()
    assert not receiver.is_alive() and not worker.is_alive()
    assert fd._stop_flag is True and fd._slave_stop_flag is True
    assert len(fd._query_listeners) == 0 and list(fd._query_listeners) == []
    fd.stop()  # a stopped station: returns at once, changes nothing
    assert fd._slave_thread is worker
    line[1].send_frame(frame("%01#RCSR0010"))
    assert_silent(line[1])


def test_restart_answers_from_a_new_queue(duplex, line):
    fd = duplex()
    old_queue = worker_queue(fd)
    old_worker, old_receiver = fd._slave_thread, fd._receiver_thread
    assert answer(line[1], frame("%01#RCSR0010")) == frame("%01$RC0")
    fd.stop()
    # Sent while stopped: never answered, not even after the restart.
    line[1].send_frame(frame("%01#WCSR00101"))
    start(fd)
    assert fd._slave_thread is not old_worker and fd._receiver_thread is not old_receiver
    assert fd._slave_thread.is_alive() and not old_worker.is_alive()
    assert len(fd._query_listeners) == 1
    assert worker_queue(fd) is not old_queue
    assert answer(line[1], frame("%01#RDD0000000000")) == frame("%01$RD0000")
    assert_silent(line[1])
    fd.stop()
    start(fd)
    assert answer(line[1], frame("%01#RCSR0010")) == frame("%01$RC0")


def test_close_stops_both_threads(line):
    fd = b4k_mew.MewFullDuplex(line[0])
    receiver, worker = fd._receiver_thread, fd._slave_thread
    fd.close()
    assert not receiver.is_alive() and not worker.is_alive()
    assert len(fd._query_listeners) == 0
    assert line[0].close_count == 1


@pytest.mark.parametrize("error,message", [
    (RuntimeError("boom"), "boom"),
    (ValueError("bad value"), "bad value"),
    (OSError("line gone"), "line gone"),
])
def test_handler_error_is_reported_and_the_worker_goes_on(duplex, line, out, error, message):
    class Failing(b4k_mew.MewFullDuplex):
        def on_get_coil(self, name):
            raise error

    fd = duplex(Failing)
    worker = fd._slave_thread
    line[1].send_frame(frame("%01#RCSR0010"))
    out.wait_for("Ignore unhandled exception: %s" % message)
    assert answer(line[1], frame("%01#RDD0000000000")) == frame("%01$RD0000")
    assert fd._slave_thread is worker and worker.is_alive()
    assert len(fd._query_listeners) == 1
    assert out.lines().count("Ignore unhandled exception: %s" % message) == 1


@pytest.mark.parametrize("body", ["%01#WDD0010000101020", "%01#WCSR0", "%01#RDD00100AB101"])
def test_unreadable_command_is_reported_and_the_worker_goes_on(duplex, line, out, body):
    duplex()
    line[1].send_frame(frame(body))
    assert wait_until(lambda: any(l.startswith("Ignore unhandled exception: ") for l in out.lines()), WAIT)
    assert answer(line[1], frame("%01#RCSR0010")) == frame("%01$RC0")


def test_send_error_is_reported_and_the_worker_goes_on(duplex, line, out):
    fd = duplex()
    line[0].fail_send = OSError("write failed")
    line[1].send_frame(frame("%01#RCSR0010"))
    out.wait_for("Ignore unhandled exception: write failed")
    line[0].fail_send = None
    assert answer(line[1], frame("%01#RCSR0010")) == frame("%01$RC0")
    assert fd._slave_thread.is_alive()


def test_master_query_while_the_worker_answers(line):
    """Both directions on one line at once: station A's worker is busy with
    a command of B while A's master asks B a question."""
    entered, release = threading.Event(), threading.Event()

    class Slow(b4k_mew.MewFullDuplex):
        def on_get_multi_uint16(self, name, count):
            entered.set()
            release.wait(WAIT)
            return [0x1111] * count

    class Other(b4k_mew.MewFullDuplex):
        def on_get_multi_uint16(self, name, count):
            return [0x2222] * count

    a = Slow(line[0], slave_station=1, query_timeout=WAIT)
    b = Other(line[1], slave_station=2, query_timeout=WAIT)
    try:
        serving(a)
        serving(b)
        result = {}
        asker = threading.Thread(target=lambda: result.update(b=b.get_uint16(1, "DT0")), daemon=True)
        asker.start()
        assert entered.wait(WAIT)
        # A's worker is inside its handler; A's master still gets its answer.
        assert a.get_uint16(2, "DT7") == 0x2222
        assert not release.is_set()
        release.set()
        asker.join(WAIT)
        assert not asker.is_alive()
        assert result == {"b": 0x1111}
    finally:
        release.set()
        a.close()
        b.close()


def test_over_a_pseudo_terminal():
    """The serial channel on a real (pseudo) terminal; the test writes and
    reads the other side raw. A pty's name (/dev/pts/N) is not a port name a
    station accepts, so the channel is built here."""
    master_fd, slave_fd = os.openpty()
    tty.setraw(master_fd)
    tty.setraw(slave_fd)
    fd = None
    try:
        fd = b4k_mew.MewFullDuplex(b4k_mew.MewSerial(port=os.ttyname(slave_fd)), slave_station=1)
        serving(fd)
        os.write(master_fd, frame("%01#RDD0010000102").encode())
        got = b""
        while not got.endswith(b"\r"):
            ready, _, _ = select.select([master_fd], [], [], WAIT)
            assert ready, "no answer, got %r" % got
            got += os.read(master_fd, 256)
        assert got.decode() == frame("%01$RD000000000000")
    finally:
        if fd is not None:
            fd.close()
        os.close(master_fd)
        os.close(slave_fd)


# --- Answered on the thread that reads the command, or by the worker ---------------

class PtyEnd:
    """The device's end of a raw pseudo-terminal; the station's serial
    channel on the other is one the core reads and writes itself."""

    def __init__(self):
        self.fd, self.station_fd = os.openpty()
        for fd in (self.fd, self.station_fd):
            tty.setraw(fd)
        self.channel = lambda: b4k_mew.MewSerial(port=os.ttyname(self.station_fd))
        self.send_frame = lambda data: os.write(self.fd, data.encode())

    def next_frame(self, timeout=2.0):
        got = b""
        while not got.endswith(b"\r"):
            if not select.select([self.fd], [], [], timeout)[0]:
                raise OSError("Error: device no response.")
            got += os.read(self.fd, 1)
        return got.decode("latin-1")

    def close(self):
        os.close(self.fd)
        os.close(self.station_fd)


class HandlerInPython(b4k_mew.MewFullDuplex):
    calls = 0

    def on_get_multi_uint16(self, name, count):
        self.calls += 1
        return super().on_get_multi_uint16(name, count)


class SendInPython(b4k_mew.MewFullDuplex):
    calls = 0

    def _send(self, data):
        self.calls += 1
        super()._send(data)


# (frame limit, command, silent): one frame each, then long answers asked
# for frame by frame and a command breaking into one (error 43).
SCRIPT = [(0, c, False) for c in ("%01#RCSR0010", "%01#WCSR00101", "%01#RCCX00000001", "%01#RDD0010000102",
                                  "%01#WCCY00000001FFFF0000", "%01#WDD00100001010201FF00", "%01#XYZ")] + [
    (0, "%02#RCSR0010", True), (0, "%01#RCSR001000\r", True), (118, "%01#RDD0000000059", False),
    (118, "%01**&\r", False), (118, "%01**&\r", False), (118, "%01#RDD0000000059", False),
    (118, "%01#RCSR0010", False), (118, "%01**&\r", True)]


def test_the_reading_thread_and_the_worker_give_the_same_answers(capsys):
    """A handler, _send or channel in Python keeps the worker (and is
    called); the answers and printed lines are the same bytes either way."""
    out = Output(capsys, lf_only=True)  # a printed frame holds its CR
    got = []
    for cls, python_channel in ((b4k_mew.MewFullDuplex, False), (HandlerInPython, False), (SendInPython, False),
                                (b4k_mew.MewFullDuplex, True)):
        station_end, end = linkpair.pair() if python_channel else (None, PtyEnd())
        station = cls(station_end or end.channel())
        try:
            assert station._answers_on_reader is (cls is b4k_mew.MewFullDuplex and not python_channel)
            serving(station)
            answers = []
            for limit, command, silent in SCRIPT:
                station.frame_limit = limit
                end.send_frame(command if command.endswith("\r") else frame(command))
                answers.append(assert_silent(end) if silent else end.next_frame(WAIT))
            got.append((answers, out.lines()))
            assert getattr(station, "calls", "none in Python")  # an override was called
            out.clear()
        finally:
            station.close()
            end.close()
    assert got[1:] == got[:1] * 3
    answers, lines = got[0]
    assert answers[:7] == [frame(a) for a in ("%01$RC0", "%01$WC", "%01$RC00000000", "%01$RD000000000000",
                                              "%01$WC", "%01$WD", "%01!03")]
    assert answers[10][:3] == "%01" and answers[13] == frame("%01!43")
    assert lines[:2] == ["Ignore other target frame.", "Invalid MEW frame: %01#RCSR001000\r"]


def test_a_python_handler_that_queries_the_line_is_answered_by_the_worker():
    """The thread that reads the line must stay free to bring such a
    handler the answer it waits for."""
    class Relaying(b4k_mew.MewFullDuplex):
        def on_get_multi_uint16(self, name, count):
            return [self.get_uint16(2, "DT0")] * count

    end = PtyEnd()
    with Relaying(end.channel(), query_timeout=WAIT) as station:
        serving(station)
        end.send_frame(frame("%01#RDD0010000101"))
        assert end.next_frame(WAIT) == M.fill_read_data_area_message(2, "DT0", 1)
        end.send_frame(frame("%02$RD3412"))
        assert end.next_frame(WAIT) == frame("%01$RD34123412")
    end.close()


def test_stops_while_the_reading_thread_answers_do_not_hang(out):
    """Commands keep coming while the stations stop and start: stop() may
    find the reader inside an answer (the demonstration's draws take the GIL)."""
    ends = [PtyEnd(), PtyEnd()]
    stations = [b4k_mew.RandomMewSlaveDemo(1, ends[0].channel()), b4k_mew.MewFullDuplex(ends[1].channel())]
    flooding = threading.Event()

    def flood(end):
        while not flooding.is_set():
            end.send_frame(frame("%01#RDD0000000099") + frame("%01#WCSR00101"))
            while select.select([end.fd], [], [], 0.001)[0]:
                os.read(end.fd, 4096)

    floods = [threading.Thread(target=flood, args=(end,)) for end in ends]
    for t in floods + stations:
        t.start()
    try:
        for s in stations * 5:
            stopping = threading.Thread(target=s.stop)
            stopping.start()
            stopping.join(WAIT)
            assert not stopping.is_alive(), "stop() hangs"
            s.start()
        out.wait_for("Slave: Contact R0010 is set to True")
    finally:
        flooding.set()
        for s in stations:
            s.close()
        for t in floods:
            t.join(WAIT)
        for end in ends:
            end.close()


# --- The demonstration slave -----------------------------------------------------

@pytest.fixture
def demo(line):
    made = []

    def make(station=1):
        d = b4k_mew.RandomMewSlaveDemo(station, line[0])
        made.append(d)
        return d

    yield make
    for d in made:
        d.close()


def test_demo_starts_nothing_until_start(demo, line):
    before = set(threading.enumerate())
    d = demo()
    assert set(threading.enumerate()) == before
    assert d._slave_thread is None and d._receiver_thread is None
    assert d._slave_stop_flag is True and d._stop_flag is True
    assert d.station == 1 and d._station == 1
    assert len(d._query_listeners) == 0
    line[1].send_frame(frame("%01#RCSR0010"))
    assert_silent(line[1])


def test_demo_constructor_with_keywords_for_a_channel_object(line):
    d = b4k_mew.RandomMewSlaveDemo(4, line[0], baudrate=9600)
    try:
        assert d.station == 4
    finally:
        d.close()


def test_demo_stop_without_start(demo, line):
    d = demo()
    stopper = threading.Thread(target=d.stop, daemon=True)
    stopper.start()
    stopper.join(WAIT)
    assert not stopper.is_alive()
    assert d._slave_thread is None and d._slave_stop_flag is True
    d.close()
    assert line[0].close_count == 1


def test_demo_answers_reads_with_values_in_range(demo, line):
    d = demo()
    start(d)
    dev = line[1]
    for body, head, count in [("%01#RDD0010000102", "%01$RD", 3), ("%01#RCCX00000003", "%01$RC", 4),
                              ("%01#RDD0000000000", "%01$RD", 1)]:
        got = answer(dev, frame(body))
        assert M.crc_is_ok(got) and got.startswith(head) and got.endswith("\r")
        data = got[len(head):-3]
        assert len(data) == 4 * count
        values = [M.parse_uint16(data[i:i + 4]) for i in range(0, len(data), 4)]
        assert all(0 <= v <= 65535 for v in values)
    assert answer(dev, frame("%01#RDD0010000099")) == frame("%01$RD")


def test_demo_coil_reads_give_both_values(demo, line):
    d = demo()
    start(d)
    random.seed(1)
    seen = {answer(line[1], frame("%01#RCSR0010")) for _ in range(64)}
    assert seen == {frame("%01$RC0"), frame("%01$RC1")}


def test_demo_handlers_called_directly():
    a, b = linkpair.pair()
    d = b4k_mew.RandomMewSlaveDemo(1, a)
    try:
        assert d.on_get_coil("R0") in (True, False)
        assert d.on_get_multi_coil_uint16("X0000", 0) == []
        assert d.on_get_multi_coil_uint16("X0000", -3) == []
        values = d.on_get_multi_uint16("D00000", 50)
        assert len(values) == 50 and all(0 <= v <= 65535 for v in values)
    finally:
        d.close()


@pytest.mark.parametrize("seed", [0, 12345])
def test_demo_answers_are_reproducible_with_random_seed(demo, line, seed):
    d = demo()
    start(d)
    command = frame("%01#RDD0010000107")
    runs = []
    for _ in range(2):
        random.seed(seed)
        runs.append((answer(line[1], command), answer(line[1], frame("%01#RCCX00000003")),
                     [answer(line[1], frame("%01#RCSR0010")) for _ in range(8)]))
    assert runs[0] == runs[1]
    random.seed(seed + 1)
    assert answer(line[1], command) != runs[0][0]


@pytest.mark.parametrize("body,printed,response", [
    ("%01#WCSR00101", "Slave: Contact R0010 is set to True", "%01$WC"),
    ("%01#WCSY001F0", "Slave: Contact Y001F is set to False", "%01$WC"),
    ("%01#WDD00100001010201FF00", "Slave: Registers D00100 wrote to [258, 255]", "%01$WD"),
    ("%01#WDD0010000099", "Slave: Registers D00100 wrote to []", "%01$WD"),
    ("%01#WCCY00100012010002000300", "Slave: Contact Crow Y0010 wrote to [1, 2, 3]", "%01$WC"),
    ("%01#WCCR00000000FFFF", "Slave: Contact Crow R0000 wrote to [65535]", "%01$WC"),
])
def test_demo_prints_writes(demo, line, out, body, printed, response):
    d = demo()
    start(d)
    assert answer(line[1], frame(body)) == frame(response)
    out.wait_for(printed)
    assert out.lines() == [printed]


def test_demo_ignores_other_stations_and_invalid_frames(demo, line, out):
    d = demo(3)
    start(d)
    line[1].send_frame(frame("%01#RCSR0010"))
    out.wait_for("Ignore other target frame.")
    line[1].send_frame("%03#RCSR001000\r")
    out.wait_for("Invalid MEW frame: %03#RCSR001000")
    assert answer(line[1], frame("%03#WCSR00101")) == frame("%03$WC")


def test_demo_start_twice_makes_one_worker(demo):
    d = demo()
    before = set(threading.enumerate())
    start(d)
    worker, receiver = d._slave_thread, d._receiver_thread
    start(d)
    assert d._slave_thread is worker and d._receiver_thread is receiver
    assert set(threading.enumerate()) - before == {worker, receiver}
    assert len(d._query_listeners) == 1


def test_demo_restart(demo, line):
    d = demo()
    start(d)
    old_worker, old_queue = d._slave_thread, worker_queue(d)
    assert answer(line[1], frame("%01#WCSR00101")) == frame("%01$WC")
    d.stop()
    assert not old_worker.is_alive() and d._slave_stop_flag is True and d._stop_flag is True
    assert len(d._query_listeners) == 0
    d.stop()
    line[1].send_frame(frame("%01#RCSR0010"))
    assert_silent(line[1])
    start(d)
    assert d._slave_thread is not old_worker and d._slave_thread.is_alive()
    assert worker_queue(d) is not old_queue
    assert answer(line[1], frame("%01#WDD0000000000FFFF")) == frame("%01$WD")
    assert_silent(line[1])


def test_demo_error_is_reported_and_the_worker_goes_on(line, out):
    class Failing(b4k_mew.RandomMewSlaveDemo):
        def on_set_multi_uint16(self, name, values):
            raise RuntimeError("cannot write %s" % name)

    d = Failing(1, line[0])
    try:
        start(d)
        line[1].send_frame(frame("%01#WDD0010000100FFFF"))
        out.wait_for("Ignore unhandled exception: cannot write D00100")
        line[1].send_frame(frame("%01#WCSR0"))
        assert wait_until(lambda: sum(l.startswith("Ignore unhandled exception: ") for l in out.lines()) == 2, WAIT)
        assert answer(line[1], frame("%01#WCSR00100")) == frame("%01$WC")
        assert d._slave_thread.is_alive() and len(d._query_listeners) == 1
    finally:
        d.close()
    assert len(d._query_listeners) == 0


def test_demo_subclass_handlers(line):
    class Fixed(b4k_mew.RandomMewSlaveDemo):
        def on_get_multi_uint16(self, name, count):
            return list(range(count))

    d = Fixed(1, line[0])
    try:
        start(d)
        assert answer(line[1], frame("%01#RDD0000000002")) == frame("%01$RD000001000200")
    finally:
        d.close()


# --- A slave station assembled in Python -------------------------------------------

class PySlave(b4k_mew.MewBase, b4k_mew.MewSlaveBase):
    """Built the way the demonstration slave is: both bases initialised, a
    worker thread of its own beside the receiver, a queue.Queue as its
    query listener."""

    def __init__(self, station, channel, **kwargs):
        b4k_mew.MewBase.__init__(self, channel, **kwargs)
        b4k_mew.MewSlaveBase.__init__(self, station)
        self._worker = None
        self._worker_stop = threading.Event()
        self.regs = {}
        self.coils = {}
        self.queues = []

    def start(self):
        b4k_mew.MewBase.start(self)
        if self._worker is None:
            self._worker_stop.clear()
            self._worker = threading.Thread(target=self._serve, name="PySlave worker")
            self._worker.start()

    def stop(self):
        if self._worker is not None:
            self._worker_stop.set()
            self._worker.join(WAIT)
            assert not self._worker.is_alive(), "worker did not end"
            self._worker = None
        b4k_mew.MewBase.stop(self)

    def _serve(self):
        q = queue.Queue()
        self.queues.append(q)
        with self._listener_lock:
            self._query_listeners.append(q)
        try:
            while not self._worker_stop.is_set():
                try:
                    command = q.get(timeout=0.05)
                except queue.Empty:
                    continue
                response = self._process_request(command)
                if response:
                    self._send(response)
        finally:
            with self._listener_lock:
                self._query_listeners.remove(q)

    def on_get_coil(self, name):
        return self.coils.get(name, False)

    def on_set_coil(self, name, value):
        self.coils[name] = value

    def on_get_multi_coil_uint16(self, name, count):
        return [self.coils.get((name, i), 0) for i in range(count)]

    def on_set_multi_coil_uint16(self, name, values):
        for i, v in enumerate(values):
            self.coils[(name, i)] = v

    def on_get_multi_uint16(self, name, count):
        start = int(name[1:])
        return [self.regs.get(start + i, 0) for i in range(count)]

    def on_set_multi_uint16(self, name, values):
        start = int(name[1:])
        for i, v in enumerate(values):
            self.regs[start + i] = v


def test_python_slave_station_answers_a_master(line):
    s = PySlave(3, line[0])
    assert s.station == 3 and s._station == 3
    start(s)
    master = b4k_mew.MewMaster(line[1], query_timeout=WAIT)
    try:
        assert list(s._query_listeners) == s.queues
        master.set_multi_uint16(3, "DT100", [7, 8, 0xBEEF])
        assert master.get_multi_uint16(3, "DT100", 3) == [7, 8, 0xBEEF]
        assert master.get_int32(3, "DT101") == (0xBEEF << 16 | 8) - (1 << 32)
        master.set_coil(3, "Y0001", True)
        assert master.get_coil(3, "Y0001") is True
        master.set_multi_coil_uint16(3, "WY0", [0x1234, 0x5678])
        assert master.get_multi_coil_uint16(3, "WY0", 2) == [0x1234, 0x5678]
        master._query_timeout = 0.3
        with pytest.raises(OSError, match="timeout"):
            master.get_uint16(4, "DT0")  # another station: nobody answers
    finally:
        master.close()
        s.close()
    assert len(s._query_listeners) == 0
    assert s.regs == {100: 7, 101: 8, 102: 0xBEEF}


def test_python_slave_station_restarts(line, out):
    s = PySlave(1, line[0])
    try:
        start(s)
        start(s)
        assert len(s._query_listeners) == 1
        assert answer(line[1], frame("%01#WDD0000500005ABCD")) == frame("%01$WD")
        s.stop()
        assert len(s._query_listeners) == 0
        start(s)
        assert len(s.queues) == 2 and list(s._query_listeners) == [s.queues[1]]
        assert answer(line[1], frame("%01#RDD0000500005")) == frame("%01$RDABCD")
        line[1].send_frame(frame("%02#RDD0000500005"))
        out.wait_for("Ignore other target frame.")
    finally:
        s.close()
