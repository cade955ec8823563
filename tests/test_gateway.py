"""TCP masters sharing one serial line through the gateway: every answer
reaches the client that asked and none is lost, long answers come frame by
frame, and a client that goes away, a silent device or a client sending
garbage costs nobody else anything."""
import contextlib
import socket
import threading

import pytest

import b4k_mew
from b4k_mew import MewStatic as M
from b4k_mew_tools import Simulator, VirtualLine
from conftest import WAIT, wait_until


class RecordingLine(b4k_mew.MewMasterBase):
    """The gateway's master of the line, keeping every frame it puts there."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.sent = []

    def _send(self, data):
        self.sent.append(data)
        super()._send(data)


@pytest.fixture
def gateway(no_thread_left):
    """A gateway on the loopback whose serial line reaches a simulator in
    PLC mode that cuts its answers into frames of 118 characters."""
    with contextlib.ExitStack() as stack:
        line = stack.enter_context(VirtualLine())
        sim = stack.enter_context(Simulator(b4k_mew.MewSerial(port=line.port_a), plc=True, frame_limit=118))
        sim.add_device(1).write_registers("D", 0, list(range(1000)))
        sim.start()
        master = RecordingLine(b4k_mew.MewSerial(port=line.port_b), query_timeout=0.3)
        stack.callback(master.close)
        master.start()
        relay = stack.enter_context(b4k_mew.Gateway(master, "127.0.0.1", 0))
        yield relay


def client(relay, query_timeout=2, **kwargs):
    return contextlib.closing(b4k_mew.MewMaster("tcp://127.0.0.1:%d" % relay.port, query_timeout=query_timeout,
                                                **kwargs))


def test_four_clients_each_get_their_own_answers(gateway):
    # Nothing here is silent: time-outs long enough for a loaded machine,
    # where the line's short one may pass before the answer is through.
    gateway.line._query_timeout = 2
    errors = []

    def work(i):
        try:
            with client(gateway, query_timeout=10) as master:
                for n in range(500):  # a write and a read each: 1,000 queries
                    value = (i << 12) | n
                    master.set_uint16(1, "DT%d" % (2000 + i), value)
                    got = master.get_uint16(1, "DT%d" % (2000 + i))
                    if got != value:
                        errors.append((i, n, got))
        except Exception as error:  # reported with its client below
            errors.append((i, error))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert errors == [] and not any(t.is_alive() for t in threads)


def test_long_answers_pass_frame_by_frame(gateway):
    with client(gateway, frame_limit=118) as a, client(gateway) as b:
        assert a.get_multi_uint16(1, "DT0", 500) == list(range(500))
        # The line saw one command and the requests for its 18 further frames.
        assert b.get_multi_uint16(1, "DT100", 30) == list(range(100, 130))


def test_a_client_that_leaves_or_a_silent_device_costs_only_its_own_answer(gateway):
    with socket.create_connection(("127.0.0.1", gateway.port), timeout=5) as leaving:
        # Station 9 has no device: the line is busy until its time-out.
        leaving.sendall(M.fill_read_data_area_message(9, "DT0", 1).encode())
    with client(gateway) as other:
        assert wait_until(lambda: gateway.connections >= 1, WAIT)
        assert other.get_uint16(1, "DT7") == 7


def test_garbage_never_reaches_the_line(gateway, out):
    with socket.create_connection(("127.0.0.1", gateway.port), timeout=5) as bad:
        bad.sendall(b"\x00garbage\r" + M.fill_read_data_area_message(1, "DT7", 1).encode() + b"%01#RDD0000000000FF\r")
        bad.settimeout(5)
        reply = b""
        while not reply.endswith(b"\r"):
            reply += bad.recv(1)
        assert reply.decode() == M.append_tail("%01$RD0700")
        # The frame with the wrong check code comes after the answer (and
        # would go with the connection if it closed first).
        out.wait_for("Gateway: Drop what is no command: %01#RDD0000000000FF")
    assert out.lines() == ["Gateway: Drop what is no command: \\x00garbage",
                           "Gateway: Drop what is no command: %01#RDD0000000000FF"]
    # Neither the garbage nor the frame with a wrong check code went out.
    assert gateway.line.sent == [M.fill_read_data_area_message(1, "DT7", 1)]


def test_a_gateway_needs_a_master_and_a_free_address(gateway):
    with pytest.raises(TypeError):
        b4k_mew.Gateway(object(), "127.0.0.1", 0)
    with pytest.raises(OSError, match="cannot listen on 127.0.0.1:%d" % gateway.port):
        b4k_mew.Gateway(gateway.line, "127.0.0.1", gateway.port)
