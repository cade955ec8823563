"""TCP servers and gateways that stay fair: a client that does not read,
pipelines, ends its commands with CR LF or closes early costs only itself,
limits are options, and a closed server releases its port at once."""
import contextlib
import logging
import socket
import threading
import time

import pytest

import b4k_mew
from b4k_mew import MewStatic as M
from b4k_mew_tools.simulator import Device, Simulator, _NoLine

from test_tcp_server import Registers, read_frame


def rd(start, count=1):
    return M.fill_read_data_area_message(1, "DT%d" % start, count).encode()


def answer(start, count=1):
    data = "%01$RD" + "".join("%02X%02X" % (v & 0xFF, v >> 8) for v in range(start, start + count))
    return M.append_tail(data)


class Slow(Registers):
    """Registers that take their time, and remember what was asked."""

    def __init__(self, delay=0.3):
        super().__init__()
        self.delay = delay
        self.asked = []

    def on_get_multi_uint16(self, name, count):
        self.asked.append(name)
        time.sleep(self.delay)
        return super().on_get_multi_uint16(name, count)


@contextlib.contextmanager
def served(slave=None, **limits):
    with b4k_mew.SlaveServer(slave or Registers(), "127.0.0.1", 0, **limits) as server:
        yield server


def client(port, rcvbuf=None):
    s = socket.socket()
    if rcvbuf:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.settimeout(5)
    s.connect(("127.0.0.1", port))
    return contextlib.closing(s)


def test_a_client_that_does_not_read_costs_only_itself(no_thread_left):
    with served() as server, client(server.port, rcvbuf=1024) as slow, client(server.port) as good:
        def pump():  # far more answers than its buffers take, never read
            try:
                for _ in range(40):
                    slow.sendall(rd(0, 999) * 8)
                    time.sleep(0.01)
            except OSError:  # no longer read from, or dropped
                pass

        pumping = threading.Thread(target=pump)
        pumping.start()
        worst = 0
        for n in range(20):
            started = time.monotonic()
            good.sendall(rd(n))
            assert read_frame(good) == answer(n)
            worst = max(worst, time.monotonic() - started)
            time.sleep(0.02)
        pumping.join()
        # Each answer to the slow client once held the others up for 2 s.
        assert worst < 1.0


def test_pipelined_commands_with_noise_before_the_header_are_answered_in_order(no_thread_left):
    with served() as server, client(server.port) as c:
        # CR LF endings, a NUL in front: cut as on a serial line.
        c.sendall(b"\x00" + b"".join(rd(n)[:-1] + b"\r\n" for n in range(40)))
        assert [read_frame(c) for n in range(40)] == [answer(n) for n in range(40)]


def test_answers_of_the_server_thread_and_of_the_worker_keep_their_order(no_thread_left):
    """Device 1 is answered on the server's thread, device 2 (a Python hook)
    by the worker: pipelined answers still come in order, byte for byte as
    each device gives them, a long one frame by frame."""
    sim, reference, seen = Simulator(None, frame_limit=118), {1: Device(1), 2: Device(2)}, []
    for station, alone in reference.items():
        alone.frame_limit = 118
        for d in (sim.add_device(station), alone):
            d.write_registers("DT", 0, [(station << 12) + n for n in range(100)])
    sim.devices[2].on_read = lambda *read: seen.append(read[1])
    frames = [M.fill_read_data_area_message(2 - n % 2, "DT%d" % n, 1) for n in range(8)]
    frames[3:3] = [M.fill_read_data_area_message(1, "DT0", 60), "%01**&\r", "%01**&\r"]
    with sim, sim.listen(port=0) as server, client(server.port) as c:
        c.sendall("".join(frames).encode())
        assert [read_frame(c) for _ in frames] == [reference[int(f[1:3])]._answer(f) for f in frames]
    assert seen == [0, 2, 4, 6]


def test_limits_are_options_and_beyond_them_a_client_is_refused_and_logged(no_thread_left, caplog):
    with pytest.raises(ValueError, match="max_pipelined must be at least 1"):
        b4k_mew.SlaveServer(Registers(), "127.0.0.1", 0, max_pipelined=0)
    caplog.set_level(logging.WARNING, logger="b4k_mew")
    b4k_mew._refresh_trace()
    with served(Slow(0.02), max_connections=2, max_pipelined=3) as server, client(server.port) as a, \
            client(server.port) as b, client(server.port) as refused:
        assert refused.recv(1) == b""  # closed at once, not left to time out
        a.sendall(b"".join(rd(n) for n in range(10)))
        assert [read_frame(a) for n in range(10)] == [answer(n) for n in range(10)]
        b.sendall(rd(7))
        assert read_frame(b) == answer(7)
    assert any("refused" in r.getMessage() and "2 connections" in r.getMessage() for r in caplog.records)
    assert any("3 commands unanswered" in r.getMessage() for r in caplog.records)


def test_a_gateway_drops_the_commands_and_answers_of_a_connection_that_closed(no_thread_left):
    device = Slow()
    with b4k_mew.SlaveServer(device, "127.0.0.1", 0) as slave, \
            b4k_mew.MewMasterBase("tcp://127.0.0.1:%d" % slave.port, query_timeout=2) as line, \
            b4k_mew.Gateway(line, "127.0.0.1", 0) as gateway:
        line.start()
        for attempt in range(3):
            # A master whose time-out ran out while its commands waited in
            # the queue drops its connection and asks again on a new one.
            with client(gateway.port) as gone:
                gone.sendall(rd(100 + attempt) + rd(200) + rd(300))
                time.sleep(0.1)
            with client(gateway.port) as again:
                again.sendall(rd(attempt))
                assert read_frame(again) == answer(attempt)
        assert "D00200" not in device.asked and "D00300" not in device.asked


@pytest.mark.parametrize("kind", ["SlaveServer", "Gateway", "Simulator"])
def test_close_releases_the_port_at_once(kind, no_thread_left):
    with contextlib.ExitStack() as stack:
        if kind == "SlaveServer":
            server = b4k_mew.SlaveServer(Registers(), "127.0.0.1", 0)
        elif kind == "Gateway":
            line = stack.enter_context(b4k_mew.MewMasterBase(_NoLine()))
            server = b4k_mew.Gateway(line, "127.0.0.1", 0)
        else:
            simulator = stack.enter_context(Simulator(None))
            server = simulator.listen("127.0.0.1", 0)
        port = server.port
        (simulator.close if kind == "Simulator" else server.close)()
        with pytest.raises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", port), timeout=5)
        b4k_mew.SlaveServer(Registers(), "127.0.0.1", port).close()  # the address is free again
