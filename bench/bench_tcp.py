"""Over TCP on the loopback: MewMaster("tcp://...") against a plain-Python socket master, and the gateway's cost per query.

    PYTHONPATH=build /usr/bin/python3 bench/bench_tcp.py [--quick] [--json PATH]

Every master reads DT100 of station 1 from a b4k_mew_tools.Simulator in this
process that answers TCP clients only (from C++ threads). Round trips:
"library" is MewMaster("tcp://...").get_uint16, "baseline" the same read in
plain Python on a socket (check code built and verified, recv up to CR).
The gateway: a library master reads through b4k_mew.Gateway, whose line
master reaches the simulator over TCP too, against the same relay in plain
Python (a thread per client, one command at a time on the line's socket);
the figure is the median latency a gateway adds over the direct master.
Best round of each for rates; no target, figures to watch.
"""

import contextlib
import os
import socket
import socketserver
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

class PlainGateway(socketserver.ThreadingTCPServer):
    """Clients' commands put one at a time on a socket to the line, a thread
    per client: socketserver's way."""

    daemon_threads = True

    def __init__(self, line_port):
        super().__init__(("127.0.0.1", 0), self.Client)
        self.port = self.server_address[1]
        self.line = socket.create_connection(("127.0.0.1", line_port), timeout=QUERY_TIMEOUT)
        self.line.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.line_pending, self.line_lock = b"", threading.Lock()
        self.serving = threading.Thread(target=self.serve_forever, name="PlainGateway")
        self.serving.start()

    class Client(socketserver.BaseRequestHandler):
        def handle(self):
            client, gateway, pending = self.request, self.server, b""
            client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            try:
                while True:
                    frame, pending = receive_frame(client, pending)
                    with gateway.line_lock:
                        gateway.line.sendall(frame.encode("ascii"))
                        answer, gateway.line_pending = receive_frame(gateway.line, gateway.line_pending)
                    client.sendall(answer.encode("ascii"))
            except OSError:  # the client went
                return

    def close(self):
        self.shutdown()
        self.server_close()
        self.serving.join(5)
        self.line.close()

# --- The sides ----------------------------------------------------------------------------

class Side:
    """A master reading DT100 with what it reaches the simulator through,
    closed after it: make(stack) returns the master and puts the parts'
    closing on the stack."""

    def __init__(self, label, make):
        self.label = label
        with contextlib.ExitStack() as stack:
            self.master = make(stack)
            stack.callback(self.master.close)
            self._parts = stack.pop_all()

    def run(self, seconds):
        return common.time_each(self.master.get_uint16, (STATION, REGISTER), VALUE, seconds)

    def close(self):
        self._parts.close()


def library_master(port):
    return b4k_mew.MewMaster("tcp://127.0.0.1:%d" % port, query_timeout=QUERY_TIMEOUT)


def through(make_gateway, sim_port):
    def make(stack):
        gateway = make_gateway(stack, sim_port)
        stack.callback(gateway.close)
        return library_master(gateway.port)
    return make


def library_gateway(stack, sim_port):
    line = b4k_mew.MewMasterBase("tcp://127.0.0.1:%d" % sim_port, query_timeout=QUERY_TIMEOUT)
    stack.callback(line.close)
    line.start()
    return b4k_mew.Gateway(line, "127.0.0.1", 0)


def open_sides(sim_port):
    return common.opened(Side, [
        ("library", lambda stack: library_master(sim_port)),
        ("baseline", lambda stack: PlainSocketMaster(sim_port)),
        ("library via Gateway", through(library_gateway, sim_port)),
        ("library via plain gateway", through(lambda stack, port: PlainGateway(port), sim_port)),
    ])


def measure(sides, rounds, seconds, warmup):
    samples = common.measure_sides(sides, rounds, seconds, warmup)
    return {side.label: common.rate_figures(samples[side.label], "round_trips", count="round_trips")
            for side in sides}

# --- Main ---------------------------------------------------------------------------------

def main(argv=None):
    opts, (rounds, seconds, warmup) = common.options(argv, __doc__, (2, 0.3, 0.1), (5, 1.5, 0.5))

    with Simulator(None) as sim:
        sim.add_device(STATION).write_registers("D", 100, [VALUE])
        sim.start()
        server = sim.listen("127.0.0.1", 0)
        with open_sides(server.port) as sides:
            figures = measure(sides, rounds, seconds, warmup)

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

    # No targets, figures only: a master that waits on its own socket in the
    # caller's thread is the simplest path there is, and the library's
    # receiver thread, which the full-duplex stations need, costs a
    # hand-over per answer that no target should hide.
    return common.finish(opts, "tcp", rounds=rounds, seconds_per_round=seconds, sides=figures,
                         library_over_baseline=ratio, gateway_added_median_us=added,
                         plain_over_library_gateway_added=gateway_ratio, targets={})

if __name__ == "__main__":
    common.run(main)
