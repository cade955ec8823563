"""The b4k-mew command over TCP, run as a user runs it: read, write, status,
scan and watch with --port tcp://..., simulate --listen and gateway as
processes, against simulators and hand-made units on the loopback; and the
failures of an address, each one line on stderr with its exit status."""

import contextlib
import re
import signal
import socket
import subprocess
import threading
import types

import pytest

import b4k_mew
from b4k_mew_tools import Simulator, VirtualLine
from b4k_mew_tools.cli import line as cli_line
from b4k_mew_tools.cli.errors import CliError
from test_cli import LIMIT, SCRIPT, _env, run, running  # noqa: F401 (fixture)

STARTED_ON = re.compile(r"tcp://127\.0\.0\.1:([0-9]+)")


def free_port():
    """A port nobody listens on (right after the call, on the loopback)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def assert_one_error_line(err, expected):
    assert err == "b4k-mew: error: %s\n" % expected


def port_of(start_line):
    """The port that a start line says the command listens on."""
    match = STARTED_ON.search(start_line)
    assert match, start_line
    return int(match.group(1))


@pytest.fixture(scope="module")
def unit():
    """A controller behind an Ethernet unit: a simulator in PLC mode that
    answers TCP clients only."""
    sim = Simulator(None, plc=True)
    plc = sim.add_device(5)
    plc.write_registers("D", 100, [4660, 0xFFFF])
    plc.write_words("R", 1, [0x0002])
    sim.add_device(1, kind="xy", firmware=0x0102).set_inputs(0x00A5)
    sim.start()
    port = sim.listen("127.0.0.1", 0).port
    yield types.SimpleNamespace(plc=plc, port=port, url="tcp://127.0.0.1:%d" % port)
    sim.close()


class OneShotUnit:
    """A unit that answers ``answers`` commands with DT0 = ``value``, then
    closes the connection and stops listening: it went away. ``again(value)``
    brings it back on the same port."""

    def __init__(self, answers, value=1):
        self._server = socket.create_server(("127.0.0.1", 0))
        self.port = self._server.getsockname()[1]
        self.url = "tcp://127.0.0.1:%d" % self.port
        self._threads = []
        self._serve_in_thread(self._server, answers, value)

    def _serve_in_thread(self, server, answers, value):
        thread = threading.Thread(target=self._serve, args=(server, answers, value), daemon=True)
        thread.start()
        self._threads.append(thread)

    def _serve(self, server, answers, value):
        try:
            client, _ = server.accept()
        except OSError:
            return
        with client:
            pending = b""
            for _ in range(answers):
                while b"\r" not in pending:
                    chunk = client.recv(256)
                    if not chunk:
                        return
                    pending += chunk
                frame, pending = pending.split(b"\r", 1)
                head = frame.decode("latin-1").split("#")[0]
                words = "%02X%02X" % (value & 0xFF, value >> 8)
                client.sendall(b4k_mew.MewStatic.append_tail(head + "$RD" + words).encode())
            # Gone: no more answers, and no listener left to come back to.
            server.close()
            client.recv(256)

    def again(self, value):
        self._server = socket.create_server(("127.0.0.1", self.port))  # SO_REUSEADDR: no wait
        self._serve_in_thread(self._server, 1000, value)

    def close(self):
        # Closing a listening socket does not wake its accept(); shutting it
        # down does.
        with contextlib.suppress(OSError):
            self._server.shutdown(socket.SHUT_RDWR)
        self._server.close()
        for thread in self._threads:
            thread.join(5)


@pytest.fixture
def one_shot():
    units = []

    def make(answers, value=1):
        units.append(OneShotUnit(answers, value))
        return units[-1]

    yield make
    for made in units:
        made.close()


# ---------------------------------------------------------------------------
# read, write, status, scan and watch through --port tcp://


@pytest.mark.parametrize("scheme", ["tcp", "socket", "TCP"])
def test_write_then_read_over_tcp(unit, scheme):
    url = "%s://127.0.0.1:%d" % (scheme, unit.port)
    status, out, err = run("write", "--port", url, "--station", 5, "DT200", 7, -2, "--type", "int16")
    assert (status, out, err) == (0, "ok\n", "")
    assert unit.plc.read_registers("D", 200, 2) == [7, 0xFFFE]
    # The serial options mean nothing to a TCP port.
    status, out, err = run("read", "--port", url, "--station", 5, "DT200", "--count", 2, "--type", "int16",
                           "--baudrate", 300, "--parity", "E")
    assert (status, out, err) == (0, "DT200 = 7\nDT201 = -2\n", "")


def test_contacts_status_and_scan_over_tcp(unit):
    status, out, err = run("write", "--port", unit.url, "--station", 5, "Y0000=on", "R0010=on")
    assert (status, out, err) == (0, "ok\n", "")
    assert unit.plc.read_words("R", 1, 1) == [0x0003]
    status, out, _ = run("read", "--port", unit.url, "--station", 5, "Y0000", "R0010", "R0011", "R0012")
    assert (status, out.splitlines()) == (0, ["Y0000 = 1", "R0010 = 1", "R0011 = 1", "R0012 = 0"])

    status, out, _ = run("status", "--port", unit.url, "--station", 5)
    assert status == 0 and "mode: RUN (flags 0x01)" in out.splitlines()

    status, out, err = run("scan", "--port", unit.url, "--timeout", 0.3, "--quiet")
    assert (status, err) == (0, "")
    assert out.splitlines()[1].split() == ["1", "xy", "0x0102", "0x00A5", "0x0000"]
    assert out.splitlines()[-1].startswith("1 device: 1 xy")


# ---------------------------------------------------------------------------
# A connection that fails: refused, dropped, gone for a while


def test_a_refused_address_is_one_line_and_status_2():
    port = free_port()
    for command in (["read", "DT0"], ["write", "DT0", "1"], ["status"], ["scan"], ["watch", "DT0"]):
        status, out, err = run(command[0], "--port", "tcp://127.0.0.1:%d" % port, *command[1:])
        assert (status, out) == (2, ""), command
        assert_one_error_line(err, "cannot connect to 127.0.0.1:%d: [Errno 111] Connection refused" % port)


@pytest.mark.parametrize("url, why", [
    ("tcp://127.0.0.1", "no port"),
    ("tcp://:9094", "no host"),
    ("tcp://127.0.0.1:0", "port must be 1..65535"),
    ("tcp://127.0.0.1:65536", "port must be 1..65535"),
    ("tcp://127.0.0.1:00000000000000000009094x", "port is not a number"),
    ("socket://::1:9094", "an IPv6 address goes in brackets"),
    ("socket://[::1:9094", "unclosed '['"),
    ("tcp://a b:9094", "bad host name"),
])
def test_a_bad_tcp_address_is_refused_as_the_library_refuses_it(url, why):
    # The command checks the address itself, before anything is connected;
    # what it says must be what a station says of the same name.
    with pytest.raises(ValueError) as raised:
        b4k_mew.MewMaster(url)
    assert why in str(raised.value)
    status, out, err = run("read", "--port", url, "DT0")
    assert (status, out) == (2, "")
    assert_one_error_line(err, str(raised.value))


def test_a_connection_lost_during_a_read_is_one_line_and_status_1(one_shot):
    gone = one_shot(answers=0)
    status, out, err = run("read", "--port", gone.url, "DT0", "--timeout", 5)
    assert (status, out) == (1, "")
    # The library's own note of the loss is not a second line.
    assert re.fullmatch(r"b4k-mew: error: station 1: connection to 127\.0\.0\.1:%d lost: .+\n" % gone.port, err), err


def test_watch_reports_a_unit_gone_once_and_goes_on_when_it_is_back(one_shot, running):
    unit = one_shot(answers=1, value=1)
    watch = running([SCRIPT, "watch", "--port", unit.url, "DT0", "--interval", "0.05", "--timeout", "2"])
    watch.wait_for("DT0 = 1")
    refused = "cannot connect to 127.0.0.1:%d: [Errno 111] Connection refused" % unit.port
    # Every poll meanwhile fails, first at once, then during the back-off
    # without trying, with the seconds left: all the same failure.
    errors = []
    while refused not in "".join(errors):
        errors.append(watch.proc.stderr.readline())
        assert errors[-1], "watch ended: %r" % errors
    unit.again(value=2)
    watch.wait_for("DT0 1 -> 2")
    watch.proc.send_signal(signal.SIGTERM)
    status, _, rest = watch.finish()
    assert status == 0
    lines = "".join(errors + [rest]).splitlines()
    assert len(lines) == 2, lines
    assert re.fullmatch(r"\S+ DT0: station 1: connection to 127\.0\.0\.1:%d lost: .+" % unit.port, lines[0])
    assert lines[1].split(" ", 1)[1] == "DT0: station 1: " + refused


# ---------------------------------------------------------------------------
# simulate --listen


def test_simulate_listens_on_the_loopback_when_given_only_a_port(running):
    sim = running([SCRIPT, "simulate", "--listen", "0", "--device", "2:plc:DT100=4660", "--plc"])
    start = sim.wait_for("simulating")
    assert re.fullmatch(r"simulating 1 device on tcp://127\.0\.0\.1:[0-9]+ \(PLC mode\):\n", start), start
    url = "tcp://127.0.0.1:%d" % port_of(start)
    sim.wait_for("running until Ctrl-C")
    assert run("write", "--port", url, "--station", 2, "DT101", 5) == (0, "ok\n", "")
    assert run("read", "--port", url, "--station", 2, "DT100", "--count", 2) == (0, "DT100 = 4660\nDT101 = 5\n", "")
    status, out, err = run("status", "--port", url, "--station", 2)
    assert (status, err) == (0, "") and "mode: RUN (flags 0x01)" in out
    sim.proc.send_signal(signal.SIGTERM)
    status, out, err = sim.finish()
    assert (status, err) == (0, "")
    assert out.splitlines()[-1] == "stopped (1 write served)"


@pytest.mark.parametrize("form", ["tcp://127.0.0.1:%d", ":%d"])
def test_simulate_binds_where_it_is_told(running, form):
    port = free_port()
    sim = running([SCRIPT, "simulate", "--listen", form % port, "--device", "1:plc"])
    assert port_of(sim.wait_for("simulating")) == port
    sim.wait_for("running")
    assert run("read", "--port", "tcp://127.0.0.1:%d" % port, "DT0") == (0, "DT0 = 0\n", "")
    sim.proc.send_signal(signal.SIGINT)
    assert sim.finish()[::2] == (130, "b4k-mew: interrupted\n")


def test_simulate_answers_on_its_serial_port_and_over_tcp_at_once(running):
    with VirtualLine() as line:
        sim = running([SCRIPT, "simulate", "--port", line.port_a, "--listen", "0", "--listen", "127.0.0.1:0",
                       "--device", "3:plc", "--frame-limit", "118"])
        start = sim.wait_for("simulating")
        ports = [int(p) for p in STARTED_ON.findall(start)]
        assert start.startswith("simulating 1 device on %s (9600 baud, 8N1, frame limit 118) and tcp://"
                                % line.port_a), start
        assert len(ports) == 2 and ports[0] != ports[1]
        sim.wait_for("running")
        # Written over the serial line, read over each TCP address: one rack.
        values = [str(v) for v in range(60)]
        assert run("write", "--port", line.port_b, "--station", 3, "DT0", *values) == (0, "ok\n", "")
        for port in ports:
            status, out, err = run("read", "--port", "tcp://127.0.0.1:%d" % port, "--station", 3, "DT0",
                                   "--count", 60, "--frame-limit", 118)
            assert (status, err) == (0, "")
            assert out.splitlines() == ["DT%d = %d" % (i, i) for i in range(60)]
        sim.proc.send_signal(signal.SIGTERM)
        status, out, err = sim.finish()
    assert (status, err) == (0, "")


@pytest.mark.parametrize("listen, fragment", [
    ("tcp://127.0.0.1:70000", "invalid listening address 'tcp://127.0.0.1:70000': port must be 0..65535"),
    ("udp://127.0.0.1:9094", "invalid listening address 'udp://127.0.0.1:9094': only tcp://"),
    ("tcp://127.0.0.1:", "invalid listening address 'tcp://127.0.0.1:': no port"),
    ("nine", "invalid listening address 'nine': port is not a number"),
    ("::1:9094", "invalid listening address '::1:9094': an IPv6 address goes in brackets"),
])
def test_simulate_refuses_a_bad_listening_address(listen, fragment):
    status, out, err = run("simulate", "--listen", listen, "--device", "1:plc")
    assert (status, out) == (2, "")
    assert err.startswith("b4k-mew: error: " + fragment) and err.count("\n") == 1, err


def test_simulate_needs_a_port_or_an_address():
    status, out, err = run("simulate", "--device", "1:plc")
    assert (status, out) == (2, "")
    assert_one_error_line(err, "give --port, --listen or both: where the devices answer")


def test_an_address_in_use_is_one_line_and_status_2():
    with socket.create_server(("127.0.0.1", 0)) as held:
        port = held.getsockname()[1]
        in_use = "cannot listen on 127.0.0.1:%d: [Errno 98] Address already in use" % port
        status, out, err = run("simulate", "--listen", port, "--device", "1:plc")
        assert (status, out) == (2, "")
        assert_one_error_line(err, in_use)
        with VirtualLine() as line:
            status, out, err = run("gateway", "--serial", line.port_b, "--listen", port)
        assert (status, out) == (2, "")
        assert_one_error_line(err, in_use)


# ---------------------------------------------------------------------------
# gateway


@pytest.fixture
def shared_line():
    """A serial line with a controller on it, in PLC mode with frames of at
    most 118 characters; ``port`` is the free end, for the gateway."""
    with contextlib.ExitStack() as stack:
        line = stack.enter_context(VirtualLine())
        sim = stack.enter_context(Simulator(b4k_mew.MewSerial(port=line.port_a), plc=True, frame_limit=118))
        sim.add_device(1).write_registers("D", 0, list(range(1000)))
        sim.start()
        yield types.SimpleNamespace(port=line.port_b, plc=sim.devices[1])


def start_gateway(running, port, *options):
    gateway = running([SCRIPT, "gateway", "--serial", port, "--listen", "0", *options])
    start = gateway.wait_for("gateway:")
    gateway.wait_for("running until Ctrl-C")
    return gateway, start, "tcp://127.0.0.1:%d" % port_of(start)


def test_gateway_relays_for_two_clients_at_once(shared_line, running):
    gateway, start, url = start_gateway(running, shared_line.port, "--timeout", "0.5")
    assert start == "gateway: TCP masters on %s share %s (9600 baud, 8N1), 0.5 s time-out per command\n" \
        % (url, shared_line.port)

    # Two commands at once, each a process of its own with its connection.
    writers = [subprocess.Popen([SCRIPT, "write", "--port", url, "DT%d" % (2000 + 100 * i),
                                 *map(str, range(i, i + 30))],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=_env())
               for i in range(2)]
    for writer in writers:
        assert writer.communicate(timeout=LIMIT) == ("ok\n", "")
    for i in range(2):
        assert shared_line.plc.read_registers("D", 2000 + 100 * i, 30) == list(range(i, i + 30))

    # Two masters asking over and over, every answer to the one that asked;
    # one of them reads answers long enough to come in several frames.
    failures = []

    def client(i):
        master = b4k_mew.MewMaster(url, query_timeout=5)
        try:
            for n in range(40):
                master.set_multi_uint16(1, "DT%d" % (3000 + 10 * i), [n, i])
                assert master.get_multi_uint16(1, "DT%d" % (3000 + 10 * i), 2) == [n, i]
                if i == 1 and n % 10 == 0:
                    assert master.get_multi_uint16(1, "DT0", 200) == list(range(200))
        except Exception as error:  # reported below, with the client's number
            failures.append((i, error))
        finally:
            master.close()

    threads = [threading.Thread(target=client, args=(i,)) for i in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(LIMIT)
    assert failures == []

    gateway.proc.send_signal(signal.SIGTERM)
    status, out, err = gateway.finish()
    assert (status, err) == (0, "")
    assert out.splitlines()[-1] == "stopped"


def test_a_command_the_line_does_not_answer_costs_the_gateway_nothing(shared_line, running):
    gateway, _, url = start_gateway(running, shared_line.port, "--timeout", "0.2")
    status, out, err = run("read", "--port", url, "--station", 7, "DT0", "--timeout", 1)
    assert (status, out) == (1, "")
    assert_one_error_line(err, "station 7: no answer within 1 s (time-out)")
    assert run("read", "--port", url, "DT999") == (0, "DT999 = 999\n", "")
    gateway.proc.send_signal(signal.SIGINT)
    status, _, err = gateway.finish()
    assert status == 130
    # The gateway says what became of the unanswered command, then stops.
    assert err.splitlines()[-1] == "b4k-mew: interrupted"
    assert "Gateway: MewMasterBase: device response timeout." in err.splitlines()


def test_gateway_refuses_a_serial_port_that_cannot_be_opened():
    status, out, err = run("gateway", "--serial", "/dev/nonexistent-b4k", "--listen", "0")
    assert (status, out) == (2, "")
    assert_one_error_line(err, "cannot open port /dev/nonexistent-b4k: No such file or directory")


# ---------------------------------------------------------------------------
# The forms of an address, in-process


@pytest.mark.parametrize("text, expected", [
    ("9094", ("127.0.0.1", 9094)),
    (":9094", ("127.0.0.1", 9094)),
    ("tcp://:0", ("127.0.0.1", 0)),
    ("TCP://0.0.0.0:9094", ("0.0.0.0", 9094)),
    ("socket://localhost:1", ("localhost", 1)),
    ("[::1]:9094", ("::1", 9094)),
    ("tcp://[::]:009094", ("::", 9094)),
])
def test_listening_addresses(text, expected):
    assert cli_line.parse_listen(text) == expected
    assert cli_line.tcp_url(*expected).endswith(":%d" % expected[1])


@pytest.mark.parametrize("text", ["", "tcp://", "65536", "-1", "１２", "host", "[::1]9094", "tcp://a/b:1",
                                  "9" * 5000])
def test_bad_listening_addresses(text):
    with pytest.raises(CliError) as raised:
        cli_line.parse_listen(text)
    assert raised.value.status == 2
    assert str(raised.value).startswith("invalid listening address")


def test_trace_shows_every_frame_on_stderr_only():
    with Simulator(None) as sim:
        sim.add_device(1).write_registers("D", 100, [7])
        sim.start()
        server = sim.listen("127.0.0.1", 0)
        status, out, err = run("-v", "read", "--port", "tcp://127.0.0.1:%d" % server.port, "DT100")
    assert (status, out) == (0, "DT100 = 7\n")
    port = "tcp://127.0.0.1:%d" % server.port
    command = b4k_mew.MewStatic.fill_read_data_area_message(1, "DT100", 1)
    assert any(line.endswith(" tx %s %r" % (port, command)) for line in err.splitlines()), err
    assert any(line.endswith(" rx %s %r" % (port, "%01$RD070011\r")) for line in err.splitlines()), err
