"""Stations that serve TCP clients on the loopback: every client on its own
connection, answers to the client that asked, and a misbehaving client
costs only its own connection."""
import contextlib
import socket
import threading

import pytest

import b4k_mew
from b4k_mew import MewStatic as M


class Registers(b4k_mew.MewSlaveBase):
    """Registers that hold their own numbers until written."""

    def __init__(self, station=1):
        super().__init__(station)
        self.memory = {}

    def on_get_coil(self, name):
        return False

    def on_set_coil(self, name, value):
        pass

    def on_get_multi_coil_uint16(self, name, count):
        return [0] * count

    def on_set_multi_coil_uint16(self, name, values):
        pass

    def on_get_multi_uint16(self, name, count):
        start = int(name[1:])
        return [self.memory.get(start + i, (start + i) & 0xFFFF) for i in range(count)]

    def on_set_multi_uint16(self, name, values):
        start = int(name[1:])
        self.memory.update((start + i, v) for i, v in enumerate(values))


def raw_client(port):
    s = socket.create_connection(("127.0.0.1", port), timeout=5)
    return contextlib.closing(s)


def read_frame(s):
    data = b""
    while not data.endswith(b"\r"):
        chunk = s.recv(1)
        if not chunk:
            return data.decode("latin-1")
        data += chunk
    return data.decode("latin-1")


def test_masters_over_tcp_read_and_write_through_a_slave_server(no_thread_left):
    slave = Registers()
    slave.frame_limit = 118
    with b4k_mew.SlaveServer(slave, "127.0.0.1", 0) as server:
        masters = [b4k_mew.MewMaster("tcp://127.0.0.1:%d" % server.port, frame_limit=118) for _ in range(4)]
        errors = []

        def work(i, master):
            try:
                for n in range(50):
                    master.set_multi_uint16(1, "DT%d" % (i * 1000), [n, i])
                    assert master.get_multi_uint16(1, "DT%d" % (i * 1000), 2) == [n, i]
                start = 5000 + i * 100
                assert master.get_multi_uint16(1, "DT%d" % start, 60) == list(range(start, start + 60))
            except Exception as error:  # reported below, with the client's number
                errors.append((i, error))
            finally:
                master.close()

        threads = [threading.Thread(target=work, args=(i, m)) for i, m in enumerate(masters)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        assert errors == []


def test_bad_clients_cost_only_their_connection(no_thread_left):
    with b4k_mew.SlaveServer(Registers(), "127.0.0.1", 0) as server, \
            raw_client(server.port) as silent, raw_client(server.port) as flood, raw_client(server.port) as good:
        silent.sendall(b"%01#RDD001")  # half a frame, then nothing
        flood.sendall(b"%" * 100_000)  # no CR
        assert read_frame(flood) == ""  # the server closed it
        garbage = raw_client(server.port)
        with garbage as g:
            g.sendall(b"\x00\xff garbage\r%01#RDD0000000000**\r")
            assert read_frame(g) == M.append_tail("%01$RD0000")
        good.sendall(M.fill_read_data_area_message(1, "DT7", 1).encode())
        assert read_frame(good) == M.append_tail("%01$RD0700")


def test_a_server_refuses_what_it_cannot_serve():
    with pytest.raises(TypeError):
        b4k_mew.SlaveServer(object(), "127.0.0.1", 0)
    with pytest.raises(ValueError):
        b4k_mew.SlaveServer(Registers(), "127.0.0.1", 70000)
    with b4k_mew.SlaveServer(Registers(), "127.0.0.1", 0) as server:
        with pytest.raises(OSError, match="cannot listen on 127.0.0.1:%d" % server.port):
            b4k_mew.SlaveServer(Registers(), "127.0.0.1", server.port)
