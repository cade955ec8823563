"""Over TCP on the loopback: MewMaster("tcp://...") against a plain-Python socket master, and the gateway's cost per query.

The sides and gateways are in the README; no target, figures to watch.
"""

import contextlib
import socket
import socketserver
import threading

import b4k_mew
from b4k_mew_tools import Simulator

import common

STATION, REGISTER, VALUE, QUERY_TIMEOUT = 1, "DT100", 0x1234, 2.0

def receive_frame(sock, pending):
    """One frame up to CR, and what came after it."""
    while b"\r" not in pending:
        chunk = sock.recv(4096)
        if not chunk:
            raise ConnectionError("closed by the peer")
        pending += chunk
    end = pending.index(b"\r") + 1
    return pending[:end].decode("ascii"), pending[end:]

def connect(port):
    sock = socket.create_connection(("127.0.0.1", port), timeout=QUERY_TIMEOUT)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return sock

class PlainSocketMaster:
    """A register read as a Python developer writes it on a socket."""

    def __init__(self, port):
        self._sock, self._pending = connect(port), b""

    def get_uint16(self, station, name):
        self._sock.sendall(common.fill_read_data_area_message(station, name, 1).encode("ascii"))
        frame, self._pending = receive_frame(self._sock, self._pending)
        if not common.crc_is_ok(frame):
            raise OSError("check code invalid: %r" % frame)
        body = frame.index(common.FEEDBACK + "RD") + 3
        return common.parse_uint16(frame[body:body + 4])

    def close(self):
        self._sock.close()

class PlainGateway(socketserver.ThreadingTCPServer):
    """socketserver's way: a thread per client, its commands one at a time on a socket to the line."""

    daemon_threads = True

    def __init__(self, line_port):
        super().__init__(("127.0.0.1", 0), self.Client)
        self.port = self.server_address[1]
        self.line, self.line_pending, self.line_lock = connect(line_port), b"", threading.Lock()
        self.serving = threading.Thread(target=self.serve_forever, name="PlainGateway")
        self.serving.start()

    class Client(socketserver.BaseRequestHandler):
        def handle(self):
            client, gateway, pending = self.request, self.server, b""
            client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            with contextlib.suppress(OSError):  # the client went
                while True:
                    frame, pending = receive_frame(client, pending)
                    with gateway.line_lock:
                        gateway.line.sendall(frame.encode("ascii"))
                        answer, gateway.line_pending = receive_frame(gateway.line, gateway.line_pending)
                    client.sendall(answer.encode("ascii"))

    def close(self):
        self.shutdown()
        self.server_close()
        self.serving.join(5)
        self.line.close()

class Side:
    """A master reading DT100; make(stack) returns it, the parts it reaches the simulator through on the stack."""

    def __init__(self, label, make):
        self.label = label
        with contextlib.ExitStack() as stack:
            self.master = make(stack)
            stack.callback(self.master.close)
            self.close = stack.pop_all().close

    def run(self, seconds):
        return common.time_each(self.master.get_uint16, (STATION, REGISTER), VALUE, seconds)

def library_master(port):
    return b4k_mew.MewMaster("tcp://127.0.0.1:%d" % port, query_timeout=QUERY_TIMEOUT)

def library_gateway(stack, sim_port):
    line = stack.enter_context(contextlib.closing(b4k_mew.MewMasterBase("tcp://127.0.0.1:%d" % sim_port,
                                                                        query_timeout=QUERY_TIMEOUT)))
    line.start()
    return b4k_mew.Gateway(line, "127.0.0.1", 0)

def through(make_gateway, sim_port):
    return lambda stack: library_master(stack.enter_context(contextlib.closing(make_gateway(stack, sim_port))).port)

def main(argv=None):
    bench = common.Bench("tcp", __doc__, (2, 0.3, 0.1), (5, 1.5, 0.5), argv=argv)
    rounds, seconds, warmup = bench.settings
    with Simulator(None) as sim:
        sim.add_device(STATION).write_registers("D", 100, [VALUE])
        sim.start()
        port = sim.listen("127.0.0.1", 0).port
        with common.opened(Side, [("library", lambda stack: library_master(port)),
                                  ("baseline", lambda stack: PlainSocketMaster(port)),
                                  ("library via Gateway", through(library_gateway, port)),
                                  ("library via plain gateway", through(lambda s, p: PlainGateway(p), port))]) as sides:
            samples = common.measure_sides(sides, rounds, seconds, warmup)
    figures = {side.label: common.rate_figures(samples[side.label], "round_trips") for side in sides}
    lib, base = figures["library"], figures["baseline"]
    ratio = lib["round_trips_per_s"] / base["round_trips_per_s"]
    added = {label: figures[label]["median_us"] - lib["median_us"]
             for label in ("library via Gateway", "library via plain gateway")}
    gateway_ratio = added["library via plain gateway"] / added["library via Gateway"] \
        if added["library via Gateway"] > 0 else float("inf")
    bench.table([dict(f, master=label) for label, f in figures.items()], "master", "round_trips=round trips",
                "round_trips_per_s=round trips/s", "median_us=median us", "p99_us=p99 us",
                title="A register read over TCP on the loopback, one at a time, simulator in this process:",
                note="round trips/s: best of %d rounds of %.1f s per side, alternating" % (rounds, seconds))
    bench.say("library / baseline, round trips/s: %.2f (median latency: %.2f)", ratio,
              base["median_us"] / lib["median_us"])
    bench.say("added by a gateway to the median (its line master talks TCP to the simulator):")
    bench.say("  Gateway %.1f us, plain-Python gateway %.1f us, plain / Gateway %.2f", added["library via Gateway"],
              added["library via plain gateway"], gateway_ratio)
    return bench.finish(rounds=rounds, seconds_per_round=seconds, sides=figures, library_over_baseline=ratio,
                        gateway_added_median_us=added, plain_over_library_gateway_added=gateway_ratio)

if __name__ == "__main__":
    common.run(main)
