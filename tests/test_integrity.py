"""Data integrity against hostile input and a misbehaving line: an error
raised by a Python object is never taken as a value, a late answer is never
the answer to another command, a word is four hexadecimal digits, a name
cannot carry a second frame, and what the library prints cannot forge a
line. Each case here was a fault once."""
import os
import select
import threading
import tty

import pytest

import b4k_mew
from conftest import WAIT
from b4k_mew import MewStatic as M

from linkpair import Device, pair, wait_until



@pytest.fixture(autouse=True)
def _no_thread_left(no_thread_left):
    yield


class Lie:
    """A value whose truth test raises."""

    def __bool__(self):
        raise ZeroDivisionError("no truth here")


@pytest.fixture
def line():
    """(station end, device end, device) with a device that answers nothing
    until a test sets `device.answer`; everything is closed afterwards."""
    made = []

    def make(station_class=b4k_mew.MewMaster, answer=lambda command: None, **kwargs):
        station_end, device_end = pair(timeout=0.02)
        device = Device(device_end, answer).__enter__()
        station = station_class(station_end, **kwargs)
        made.append((station, device))
        return station, device

    yield make
    for station, device in made:
        device.end.close()
        station.close()
        device.__exit__(None, None, None)


@pytest.fixture
def serial_line():
    """A station's serial channel on a pseudo-terminal, so bytes move in C++
    as on a real port, and the descriptor of the device's side."""
    made = []

    def make():
        device, station = os.openpty()
        tty.setraw(device)
        tty.setraw(station)
        port = b4k_mew.MewSerial(port=os.ttyname(station))
        made.append((port, device, station))
        return port, device

    yield make
    for port, device, station in made:
        port.close()
        os.close(device)
        os.close(station)


def written(fd, timeout=0.3):
    """What arrived on the device side within a short wait: a frame that
    should not come would be there by then."""
    data = b""
    while select.select([fd], [], [], timeout)[0]:
        data += os.read(fd, 4096)
    return data


def ack(code):
    return lambda command: M.append_tail(command[:3] + "$" + code)


# --- Errors of Python objects are errors, not False --------------------------------

def test_raising_truth_is_not_written(serial_line):
    port, device = serial_line()
    master = b4k_mew.MewMaster(port, query_timeout=0.2)
    try:
        with pytest.raises(ZeroDivisionError):
            master.set_coil(1, "Y10", Lie())
        assert written(device) == b""
        with pytest.raises(OSError, match="timeout"):  # not a SystemError left over
            master.set_coil(1, "Y10", True)
        assert written(device) == M.fill_write_single_point_of_contact_message(1, "Y10", True).encode()
    finally:
        master.close()


def test_raising_truth_from_a_handler_is_not_answered(serial_line, out):
    class Station(b4k_mew.MewFullDuplex):
        def on_get_coil(self, name):
            return Lie()

    port, device = serial_line()
    station = Station(port, slave_station=1)
    try:
        os.write(device, M.append_tail("%01#RCSX0000").encode())
        out.wait_for("Ignore unhandled exception: no truth here")
        assert written(device) == b""
    finally:
        station.close()


def test_raising_truth_in_an_output_view(line):
    def device(command):
        return M.append_tail("%01$RD0100") if "#RD" in command else M.append_tail(
            command[:3] + ("$RC0000" if "#RCC" in command else "$WC"))

    manager, dev = line(b4k_mew.InstManager, answer=device, query_timeout=0.5)
    xy = b4k_mew.InstXY(manager, 1)
    sent = len(dev.received)
    for assign in (lambda: xy.set_y(3, Lie()), lambda: xy.get_y16_object().__setitem__(3, Lie())):
        with pytest.raises(ZeroDivisionError):
            assign()
    assert len(dev.received) == sent and xy.get_wy() == 0


@pytest.mark.parametrize("result, message", [
    (None, "read() must return str or bytes, not NoneType"), ([], "read() must return str or bytes, not list")])
def test_channel_returning_no_text_is_a_type_error(result, message, out):
    class Channel(b4k_mew.Channel):
        def read(self, size=1):
            return result

        def receive_frame(self):
            return "\r"

        def send_frame(self, data):
            pass

        in_waiting = 0

    station = b4k_mew.MewBase(Channel())
    station.start()
    out.wait_for("MewBase: Receiver thread ended by TypeError: " + message)
    station.close()


def test_query_override_must_return_text(line):
    class Master(b4k_mew.MewMaster):
        def query(self, command):
            return None

    master, _ = line(Master)
    with pytest.raises(TypeError, match=r"^query\(\) must return str, not NoneType$"):
        master.get_uint16(1, "DT0")


def test_query_timeout_of_a_wrong_type_is_a_type_error(line):
    with pytest.raises(TypeError):
        line(query_timeout="1")
    master, _ = line()
    with pytest.raises(TypeError):
        master._query_timeout = [1]


# --- Responses and the commands they answer -------------------------------------------

def test_late_answers_never_pass_for_another_read(line, out):
    # Every read is answered 1.3 time-outs late, with the number of the
    # register asked for: a value returned as success must be that number.
    timeout = 0.1
    master, device = line(query_timeout=timeout)
    pending = []

    def late(command):
        register = int(command[7:12])
        timer = threading.Timer(1.3 * timeout, device.end.send_frame,
                                [M.append_tail("%01$RD" + M.fill_uint16("", register))])
        pending.append(timer)
        timer.start()

    device.answer = late
    results = []
    for register in range(100, 110):
        try:
            results.append((register, master.get_uint16(1, "DT%d" % register)))
        except OSError as error:
            assert str(error) == "MewMasterBase: device response timeout."
    for timer in pending:
        timer.join()
    assert all(register == value for register, value in results), results
    assert "MewMasterBase: Drop late response:" in "\n".join(out.lines())


def test_after_a_time_out_the_next_read_gets_its_own_answer(line, out):
    timeout = 0.2
    master, device = line(query_timeout=timeout)
    answers = iter([None, "%01$RD0100", "%01$RD0200"])

    def answer(command):
        body = next(answers)
        if body is None:  # the first answer comes after the time-out
            threading.Timer(1.2 * timeout, device.end.send_frame, [M.append_tail("%01$RDFFFF")]).start()
            return None
        return M.append_tail(body)

    device.answer = answer
    with pytest.raises(OSError, match="timeout"):
        master.get_uint16(1, "DT0")
    assert master.get_uint16(1, "DT1") == 1
    assert master.get_uint16(1, "DT2") == 2
    out.wait_for("MewMasterBase: Drop late response: %01$RDFFFF16")


# Groups that int() would read once their bytes are swapped ("-1FF").
@pytest.mark.parametrize("response", ["RDFF-1", "RDFF+1", "RD12 3", "RD_FFF"])
def test_signed_or_blank_word_group_is_no_word(line, response):
    master, _ = line(answer=lambda command: M.append_tail("%01$" + response), query_timeout=0.5)
    with pytest.raises(OSError, match="^Invalid feedback format: %s$" % response.replace("+", r"\+")):
        master.get_uint16(1, "DT0")


@pytest.mark.parametrize("values", [[65536], [-1], [1, 70000]])
def test_handler_value_outside_a_word_is_not_sent(line, out, values):
    class Station(b4k_mew.MewFullDuplex):
        def on_get_multi_uint16(self, name, count):
            return values

    station, device = line(Station)
    device.end.send_frame(M.append_tail("%01#RDD0000000000"))
    out.wait_for("Ignore unhandled exception: word value out of range 0..65535: %d"
                 % next(v for v in values if not 0 <= v <= 65535))
    assert device.received == []


def test_signed_word_group_in_a_write_command_is_refused(line, out):
    seen = []

    class Station(b4k_mew.MewFullDuplex):
        def on_set_multi_uint16(self, name, values):
            seen.append(values)

    station, device = line(Station)
    device.end.send_frame(M.append_tail("%01#WDD0000000000FF-1"))
    out.wait_for("Ignore unhandled exception: invalid data word: 'FF-1'")
    assert seen == []


# --- Names cannot carry a frame ----------------------------------------------------------

@pytest.mark.parametrize("name", ["Y1\r%02#WCSY00011**", "Y1\n", "DT1%", "DT<1", "D#1", "D$1", "R!0", "R&0",
                                  "DT\x001", "X\x7f", "DT１", "Y°"])
def test_names_outside_the_line_alphabet_are_refused(line, name):
    master, device = line(answer=ack("WC"), query_timeout=0.3)
    operation = (lambda: master.set_coil(1, name, True)) if name[0] in "XYR" else (
        lambda: master.set_uint16(1, name, 1))
    with pytest.raises(ValueError, match="^character not allowed in a name: "):
        operation()
    with pytest.raises(ValueError):
        M.fill_read_word_unit_of_contact_message(1, "WX0", "WX" + name[-1:] + "\r")
    assert device.received == []


# --- What the library prints ---------------------------------------------------------------

def test_printed_frames_cannot_forge_lines(line, out):
    station, device = line(b4k_mew.MewFullDuplex)
    device.end.peer.deliver(b"%01#RCS\nMewBase: forged\x1b[2J\x9b\r")
    out.wait_for("Invalid MEW frame: %01#RCS\\nMewBase: forged\\x1b[2J\\x9b")
    assert "MewBase: forged" not in out.lines()


@pytest.mark.parametrize("noise", ["\x00", "\n", "\xff\xfe", "XY"])
def test_noise_before_a_header_costs_no_frame(line, noise, out):
    station, device = line(b4k_mew.MewFullDuplex)
    device.end.peer.deliver(noise.encode("latin-1") + M.append_tail("%01#RCSX0000").encode())
    assert wait_until(lambda: device.received == [M.append_tail("%01$RC0")], WAIT), device.received
    assert not [l for l in out.lines() if "ValueError" in l or "invalid literal" in l]


# --- Listener lists are lists ------------------------------------------------------------------

def test_listener_lists_behave_as_lists(line):
    station, _ = line(b4k_mew.MewBase)
    listeners = station._feedback_listeners
    a, b, c = b4k_mew.Listener(), b4k_mew.Listener(), b4k_mew.Listener()
    listeners.extend([a, b])
    listeners.insert(0, c)
    assert listeners == [c, a, b] and listeners[1:] == [a, b] and listeners.count(a) == 1
    assert listeners.copy() == [c, a, b] and repr(listeners) == repr([c, a, b])
    assert listeners.pop() is b and listeners != [c, a, b] and listeners < [c, a, b]
    listeners.reverse()
    assert list(listeners) == [a, c] and listeners + [b] == [a, c, b]
    del listeners[0]
    station._feedback_listeners += [b]
    assert station._feedback_listeners is not None and list(station._feedback_listeners) == [c, b]
    listeners[0:1] = [a]
    assert list(listeners) == [a, b]
    # A response reaches exactly the listeners registered now.
    station.start()
    station._channel.peer.send_frame(M.append_tail("%01$RC1"))
    assert a.get(timeout=WAIT) == M.append_tail("%01$RC1") and b.get(timeout=WAIT) == M.append_tail("%01$RC1")
    listeners.clear()
    assert len(listeners) == 0 and not listeners and c.empty()


def test_huge_output_index_is_reported_as_given(line):
    manager, _ = line(b4k_mew.InstManager, answer=lambda c: M.append_tail(
        "%01$RD0100" if "#RD" in c else "%01$RC0000"), query_timeout=0.5)
    xy = b4k_mew.InstXY(manager, 1)
    with pytest.raises(ValueError, match=r"^output point index out of range 0..15: %d$" % 2 ** 70):
        xy.set_y(2 ** 70, True)


def test_error_response_carries_its_code(line):
    master, _ = line(answer=lambda command: M.append_tail("%01!6A"), query_timeout=0.5)
    with pytest.raises(b4k_mew.DeviceError) as info:
        master.get_uint16(1, "DT0")
    assert isinstance(info.value, OSError) and info.value.code == "6A"
    assert str(info.value) == "MEW communication error code(hex): 6A"
