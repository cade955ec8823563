"""Over TCP on the loopback: MewMaster("tcp://...") against a plain-Python socket master, and the gateway's cost per query.

Run from the repository root after building:

    PYTHONPATH=build /usr/bin/python3 bench/bench_tcp.py [--quick] [--json PATH]

Every master here reads one register (DT100 of station 1) from a
b4k_mew_tools.Simulator that has no serial line and answers TCP clients
only (Simulator(None).listen), in this process; the simulator answers from
C++ threads and takes no share of the interpreter.

Round trips. "library" is b4k_mew.MewMaster("tcp://127.0.0.1:PORT") calling
get_uint16; "baseline" is the same read written in plain Python on a
socket: the command built with a check code, sendall, a blocking recv loop
up to the CR, the check code verified and the word decoded. Both connect
once and read back to back.

The gateway. A library master reads the same register through
b4k_mew.Gateway, whose line master (a MewMasterBase) reaches the simulator
over TCP as well (not over a pseudo-terminal, so that the hop the gateway
adds is the only difference from the direct master). The baseline gateway
is the same relay in plain Python: a thread per client reading frames up to
CR, a lock that puts one command at a time on a socket to the simulator,
the answer read up to CR and sent back. The figure is the median latency a
gateway adds to a query over the direct master's.

The sides alternate round by round, so that a change of machine load hits
them all alike; round trips per second are the best round of each, the
latencies the median and 99th percentile of every query timed. There is no
target: these are figures to watch. It always exits 0 once they are
printed.
"""

import contextlib
import os
import socket
import statistics
import sys
import threading

import b4k_mew
from b4k_mew_tools import Simulator

# The benchmarks run as scripts; the insert lets them be imported as well.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
from common import FEEDBACK, TAIL, crc_is_ok, fill_read_data_area_message, parse_uint16  # noqa: E402

STATION = 1
REGISTER = "DT100"
VALUE = 0x1234
QUERY_TIMEOUT = 2.0


# --- The baseline: a master in plain Python on a socket -------------------------------

def receive_frame(sock, pending):
    """One frame up to and including CR, and what came after it; recv blocks
    until the rest arrives."""
    while TAIL.encode() not in pending:
        chunk = sock.recv(4096)
        if not chunk:
            raise ConnectionError("closed by the peer")
        pending += chunk
    end = pending.index(b"\r") + 1
    return pending[:end].decode("ascii"), pending[end:]


class PlainSocketMaster:
    """A register read the way a Python developer writes it on a socket."""

    def __init__(self, port):
        self._sock = socket.create_connection(("127.0.0.1", port), timeout=QUERY_TIMEOUT)
        self._sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self._pending = b""

    def get_uint16(self, station, name):
        self._sock.sendall(fill_read_data_area_message(station, name, 1).encode("ascii"))
        frame, self._pending = receive_frame(self._sock, self._pending)
        if not crc_is_ok(frame):
            raise OSError("check code invalid: %r" % frame)
        body = frame.index(FEEDBACK + "RD") + 3
        return parse_uint16(frame[body:body + 4])

    def close(self):
        self._sock.close()


# --- The baseline gateway: the same relay in plain Python --------------------------------

class PlainGateway:
    """Clients' commands put one at a time on a socket to the line."""

    def __init__(self, line_port):
        self._line = socket.create_connection(("127.0.0.1", line_port), timeout=QUERY_TIMEOUT)
        self._line.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self._line_pending = b""
        self._line_lock = threading.Lock()
        self._server = socket.create_server(("127.0.0.1", 0))
        self.port = self._server.getsockname()[1]
        self._clients = []
        self._threads = []
        self._accepting = threading.Thread(target=self._accept, name="PlainGateway accept")
        self._accepting.start()

    def _accept(self):
        while True:
            try:
                client, _ = self._server.accept()
            except OSError:  # closed
                return
            client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self._clients.append(client)
            thread = threading.Thread(target=self._serve, args=(client,), name="PlainGateway client")
            self._threads.append(thread)
            thread.start()

    def _serve(self, client):
        pending = b""
        try:
            while True:
                frame, pending = receive_frame(client, pending)
                with self._line_lock:
                    self._line.sendall(frame.encode("ascii"))
                    answer, self._line_pending = receive_frame(self._line, self._line_pending)
                client.sendall(answer.encode("ascii"))
        except OSError:  # the client went, or the gateway closes
            return

    def close(self):
        # A listening socket that is closed does not wake its accept() on
        # Linux; shutting it down does.
        with contextlib.suppress(OSError):
            self._server.shutdown(socket.SHUT_RDWR)
        self._server.close()
        self._accepting.join(5)
        for client in self._clients:
            with contextlib.suppress(OSError):
                client.shutdown(socket.SHUT_RDWR)
            client.close()
        for thread in self._threads:
            thread.join(5)
        self._line.close()


# --- The sides ----------------------------------------------------------------------------

class Side:
    def __init__(self, label, master, *parts):
        self.label = label
        self.master = master
        self._parts = parts  # closed after the master, in order

    def run(self, seconds):
        return common.time_each(self.master.get_uint16, (STATION, REGISTER), VALUE, seconds)

    def close(self):
        self.master.close()
        for part in self._parts:
            part.close()


def library_master(port):
    return b4k_mew.MewMaster("tcp://127.0.0.1:%d" % port, query_timeout=QUERY_TIMEOUT)


def library_gateway_side(sim_port):
    line = b4k_mew.MewMasterBase("tcp://127.0.0.1:%d" % sim_port, query_timeout=QUERY_TIMEOUT)
    line.start()
    try:
        gateway = b4k_mew.Gateway(line, "127.0.0.1", 0)
    except BaseException:
        line.close()
        raise
    try:
        return Side("library via Gateway", library_master(gateway.port), gateway, line)
    except BaseException:
        gateway.close()
        line.close()
        raise


def plain_gateway_side(sim_port):
    gateway = PlainGateway(sim_port)
    try:
        return Side("library via plain gateway", library_master(gateway.port), gateway)
    except BaseException:
        gateway.close()
        raise


def open_sides(sim_port):
    makers = [
        lambda: Side("library", library_master(sim_port)),
        lambda: Side("baseline", PlainSocketMaster(sim_port)),
        lambda: library_gateway_side(sim_port),
        lambda: plain_gateway_side(sim_port),
    ]
    return common.open_sides(lambda make: make(), [(make,) for make in makers])


def measure(sides, rounds, seconds, warmup):
    for side in sides:
        side.run(warmup)
    samples = common.alternate(sides, rounds, lambda side: side.run(seconds))
    figures = {}
    for side in sides:
        latencies = sorted(t for got, _ in samples[side.label] for t in got)
        rates = [len(got) / elapsed for got, elapsed in samples[side.label]]
        figures[side.label] = {"round_trips": len(latencies), "round_trips_per_s": max(rates),
                               "round_trips_per_s_rounds": rates,
                               "median_us": statistics.median(latencies) * 1e6,
                               "p99_us": common.percentile(latencies, 0.99) * 1e6,
                               "latency_histogram": common.latency_histogram(latencies)}
    return figures


# --- Main ---------------------------------------------------------------------------------

def main(argv=None):
    opts = common.argument_parser(__doc__, "fewer and shorter rounds").parse_args(argv)
    rounds, seconds, warmup = (2, 0.3, 0.1) if opts.quick else (5, 1.5, 0.5)

    with Simulator(None) as sim:
        sim.add_device(STATION).write_registers("D", 100, [VALUE])
        sim.start()
        server = sim.listen("127.0.0.1", 0)
        sides = open_sides(server.port)
        try:
            figures = measure(sides, rounds, seconds, warmup)
        finally:
            common.close_sides(sides)

    lib, base = figures["library"], figures["baseline"]
    ratio = lib["round_trips_per_s"] / base["round_trips_per_s"]
    added = {label: figures[label]["median_us"] - lib["median_us"]
             for label in ("library via Gateway", "library via plain gateway")}
    gateway_ratio = added["library via plain gateway"] / added["library via Gateway"] \
        if added["library via Gateway"] > 0 else float("inf")

    print("A register read over TCP on the loopback, one at a time, simulator in this process:")
    common.print_table([("master", "-26s"), ("round trips", "12d"), ("round trips/s", "14.0f"),
                        ("median us", "10.1f"), ("p99 us", "9.1f")],
                       [(label, f["round_trips"], f["round_trips_per_s"], f["median_us"], f["p99_us"])
                        for label, f in figures.items()])
    print("(round trips/s: best of %d rounds of %.1f s per side, alternating)" % (rounds, seconds))
    print("library / baseline, round trips/s: %.2f (median latency: %.2f)"
          % (ratio, base["median_us"] / lib["median_us"]))
    print("added by a gateway to the median (its line master talks TCP to the simulator):")
    print("  Gateway %.1f us, plain-Python gateway %.1f us, plain / Gateway %.2f"
          % (added["library via Gateway"], added["library via plain gateway"], gateway_ratio))

    if opts.json:
        common.write_json(opts.json, {
            "benchmark": "tcp",
            "quick": opts.quick,
            "rounds": rounds,
            "seconds_per_round": seconds,
            **common.machine_facts(),
            "sides": figures,
            "library_over_baseline": ratio,
            "gateway_added_median_us": added,
            "plain_over_library_gateway_added": gateway_ratio,
            # Figures only: a master that waits on its own socket in the
            # caller's thread is the simplest path there is, and the library's
            # receiver thread, which the full-duplex stations need, costs a
            # hand-over per answer that no target should hide.
            "targets": {},
        })
    return 0


if __name__ == "__main__":
    sys.exit(main())
