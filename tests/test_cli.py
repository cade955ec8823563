"""The b4k-mew command and the examples, run as a user runs them: as
processes on one end of a virtual serial line, with simulated devices
answering on the other end in this process."""

import os
import queue
import re
import signal
import subprocess
import sys
import threading

import pytest

import b4k_mew
import serial

from b4k_mew_tools import Simulator, VirtualLine
from conftest import B4K_MEW, ROOT, child_env

SCRIPT = B4K_MEW
EXAMPLES = os.path.join(ROOT, "examples")
PYTHON = sys.executable
# Every subprocess finishes in seconds; this only keeps a hung one from
# hanging the suite.
LIMIT = 60


def _env():
    return child_env()


def run(*args, timeout=LIMIT):
    """``b4k-mew ARGS``: (status, stdout, stderr)."""
    done = subprocess.run([SCRIPT, *map(str, args)], capture_output=True, text=True, timeout=timeout, env=_env())
    return done.returncode, done.stdout, done.stderr


def run_example(name, *args, timeout=LIMIT):
    done = subprocess.run([PYTHON, os.path.join(EXAMPLES, name), *map(str, args)], capture_output=True, text=True,
                          timeout=timeout, env=_env())
    return done.returncode, done.stdout, done.stderr


class Running:
    """A process whose output lines the test waits for while it runs."""

    def __init__(self, command):
        self.proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                     env=_env())
        self.lines = queue.Queue()
        self.out = []
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for line in self.proc.stdout:
            self.out.append(line)
            self.lines.put(line)
        self.lines.put(None)

    def wait_for(self, text, timeout=20):
        while True:
            try:
                line = self.lines.get(timeout=timeout)
            except queue.Empty:
                pytest.fail("no line with %r within %s s; output so far: %r" % (text, timeout, "".join(self.out)))
            if line is None:
                pytest.fail("process ended before printing %r: %r %r"
                            % (text, "".join(self.out), self.proc.stderr.read()))
            if text in line:
                return line

    def finish(self, timeout=LIMIT):
        """Waits for the end: (status, stdout, stderr)."""
        status = self.proc.wait(timeout=timeout)
        self._reader.join(timeout)
        return status, "".join(self.out), self.proc.stderr.read()

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=LIMIT)


@pytest.fixture
def running():
    processes = []

    def start(command):
        process = Running(command)
        processes.append(process)
        return process

    yield start
    for process in processes:
        process.kill()


class Rack:
    """A simulated rack on one end of a virtual line; ``port`` is the other
    end, for the command under test."""

    def __init__(self):
        self.line = VirtualLine()
        self.sim = Simulator(b4k_mew.MewSerial(port=self.line.port_a))
        for station, kind in [(1, "xy"), (2, "xy"), (3, "axis"), (4, "ad"), (5, "plc")]:
            self.sim.add_device(station, kind, firmware=0x0102)
        self.sim.devices[1].set_inputs(0x00A5)
        self.plc = self.sim.devices[5]
        self.plc.write_registers("D", 100, [4660, 0xFFFF, 0x5678, 0x1234])
        self.plc.write_words("R", 1, [0x0001])
        self.sim.start()
        self.port = self.line.port_b

    def reset_outputs(self):
        for station in (1, 2):
            self.sim.devices[station].write_words("Y", 0, [0])

    def close(self):
        self.sim.close()
        self.line.close()


@pytest.fixture(scope="module")
def rack():
    rack = Rack()
    yield rack
    rack.close()


@pytest.fixture
def refusing_line():
    """A line whose far end answers every command with error response 61."""
    line = VirtualLine()
    port = serial.Serial(line.port_a, timeout=0.05)
    stop = threading.Event()

    def answer():
        pending = b""
        while not stop.is_set():
            pending += port.read(64)
            while b"\r" in pending:
                frame, pending = pending.split(b"\r", 1)
                text = frame.decode("latin-1")
                if "#" in text:
                    head = text[:text.index("#")]
                    port.write(b4k_mew.MewStatic.append_tail(head + "!61").encode())

    worker = threading.Thread(target=answer, daemon=True)
    worker.start()
    yield line.port_b
    stop.set()
    worker.join(5)
    port.close()
    line.close()


# ---------------------------------------------------------------------------
# read and write


@pytest.mark.parametrize(
    "value_type, address, values, expected, stored",
    [
        ("uint16", "DT200", ["4660"], ["DT200 = 4660"], ("D", 200, [4660])),
        ("uint16", "DT210", ["1", "2", "0x10"], ["DT210 = 1", "DT211 = 2", "DT212 = 16"], ("D", 210, [1, 2, 16])),
        ("int16", "DT220", ["-1234", "7"], ["DT220 = -1234", "DT221 = 7"], ("D", 220, [64302, 7])),
        ("uint32", "DT230", ["305419896"], ["DT230 = 305419896"], ("D", 230, [0x5678, 0x1234])),
        ("int32", "DT240", ["-2", "100000"], ["DT240 = -2", "DT242 = 100000"],
         ("D", 240, [0xFFFE, 0xFFFF, 0x86A0, 0x0001])),
        ("coil", "R0031", ["on", "0", "true"], ["R0031 = 1", "R0032 = 0", "R0033 = 1"], ("R", 3, [0b1010])),
        ("word", "WR5", ["0x00FF", "0b101"], ["WR5 = 0x00FF", "WR6 = 0x0005"], ("R", 5, [0x00FF, 5])),
    ],
)
def test_write_then_read_round_trip(rack, value_type, address, values, expected, stored):
    status, out, err = run("write", "--port", rack.port, "--station", 5, address, *values, "--type", value_type)
    assert (status, out, err) == (0, "ok\n", "")
    area, start, words = stored
    if area in "XYRL":
        assert rack.plc.read_words(area, start, len(words)) == words
    else:
        assert rack.plc.read_registers(area, start, len(words)) == words

    status, out, err = run("read", "--port", rack.port, "--station", 5, address, "--count", len(values),
                           "--type", value_type)
    assert (status, err) == (0, "")
    assert out.splitlines() == expected


def test_read_takes_the_type_from_the_address(rack):
    status, out, _ = run("read", "--port", rack.port, "WX0")
    assert (status, out) == (0, "WX0 = 0x00A5\n")
    status, out, _ = run("read", "--port", rack.port, "X0", "--count", 3)
    assert (status, out.splitlines()) == (0, ["X0000 = 1", "X0001 = 0", "X0002 = 1"])
    status, out, _ = run("read", "--port", rack.port, "--station", 5, "DT101")
    assert (status, out) == (0, "DT101 = 65535\n")
    status, out, _ = run("read", "--port", rack.port, "--station", 5, "R0010")
    assert (status, out) == (0, "R0010 = 1\n")


def test_read_of_signed_and_32_bit_values_and_hex(rack):
    status, out, _ = run("read", "--port", rack.port, "--station", 5, "DT100", "--type", "int16", "--count", 2)
    assert out.splitlines() == ["DT100 = 4660", "DT101 = -1"]
    status, out, _ = run("read", "--port", rack.port, "--station", 5, "DT102", "--type", "uint32")
    assert out == "DT102 = 305419896\n"
    status, out, _ = run("read", "--port", rack.port, "--station", 5, "DT100", "--type", "int32", "--count", 2,
                         "--hex")
    assert (status, out.splitlines()) == (0, ["DT100 = 0xFFFF1234", "DT102 = 0x12345678"])


def test_contact_addresses_step_over_the_hexadecimal_bit_digit(rack):
    status, out, _ = run("write", "--port", rack.port, "--station", 5, "R008F", "1")
    assert status == 0
    status, out, _ = run("read", "--port", rack.port, "--station", 5, "R008E", "--count", 3)
    assert out.splitlines() == ["R008E = 0", "R008F = 1", "R0090 = 0"]


def test_signed_register_written_as_a_bit_pattern(rack):
    assert run("write", "--port", rack.port, "--station", 5, "DT250", "0xFFFE", "--type", "int16")[0] == 0
    assert rack.plc.read_registers("D", 250, 1) == [0xFFFE]
    assert run("read", "--port", rack.port, "--station", 5, "DT250", "--type", "int16")[1] == "DT250 = -2\n"


# ---------------------------------------------------------------------------
# scan


def test_scan_prints_the_rack_as_a_table(rack):
    rack.reset_outputs()
    status, out, err = run("scan", "--port", rack.port, "--timeout", 0.3)
    assert status == 0
    rows = [line.split() for line in out.splitlines()]
    assert rows[0] == ["station", "kind", "firmware", "inputs", "outputs"]
    assert rows[1:6] == [
        ["1", "xy", "0x0102", "0x00A5", "0x0000"],
        ["2", "xy", "0x0102", "0x0000", "0x0000"],
        ["3", "axis", "0x0102", "-", "-"],
        ["4", "ad", "0x0102", "-", "-"],
        ["5", "unknown", "0x0000", "-", "-"],
    ]
    summary = out.splitlines()[6]
    assert summary.startswith("5 devices: 2 xy, 1 axis, 1 ad, 1 unknown; stopped at station 6")
    assert "time-out" in summary
    assert err.splitlines() == ["scanning station %d ..." % n for n in range(1, 7)]


def test_scan_quiet_has_no_progress_lines(rack):
    status, out, err = run("scan", "--port", rack.port, "--timeout", 0.3, "--quiet")
    assert (status, err) == (0, "")
    assert "5 devices" in out


# ---------------------------------------------------------------------------
# watch


def test_watch_prints_changes(rack, running):
    rack.plc.write_registers("D", 300, [7])
    rack.plc.set_contact("R", 0x40, False)
    watch = running([SCRIPT, "watch", "--port", rack.port, "--station", "5", "DT300", "R0040",
                     "--interval", "0.05", "--count", "60"])
    assert watch.wait_for("DT300").split()[1:] == ["DT300", "=", "7"]
    assert watch.wait_for("R0040").split()[1:] == ["R0040", "=", "0"]
    rack.plc.write_registers("D", 300, [8])
    rack.plc.set_contact("R", 0x40, True)
    status, out, err = watch.finish()
    assert (status, err) == (0, "")
    changes = [line.split()[1:] for line in out.splitlines()[2:]]
    assert sorted(changes) == [["DT300", "7", "->", "8"], ["R0040", "0", "->", "1"]]
    assert all(re.match(r"^\d\d:\d\d:\d\d\.\d{3} ", line) for line in out.splitlines())


def test_watch_reports_a_silent_station_once_and_fails(rack):
    status, out, err = run("watch", "--port", rack.port, "--station", 9, "--timeout", 0.2, "--interval", 0.05,
                           "--count", 3, "DT0")
    assert (status, out) == (1, "")
    assert len(err.splitlines()) == 1
    assert "DT0: station 9: no answer within 0.2 s (time-out)" in err


def test_watch_ends_with_ctrl_c(rack, running):
    watch = running([SCRIPT, "watch", "--port", rack.port, "--station", "5", "DT100", "--interval", "0.1"])
    watch.wait_for("DT100 = 4660")
    watch.proc.send_signal(signal.SIGINT)
    status, _, err = watch.finish()
    assert (status, err) == (130, "b4k-mew: interrupted\n")


# ---------------------------------------------------------------------------
# simulate


def test_simulate_answers_a_master(running):
    with VirtualLine() as line:
        sim = running([SCRIPT, "simulate", "--port", line.port_a, "--device", "1:xy:firmware=0x0203:inputs=0x00A5",
                       "--device", "2:plc:DT100=4660", "--device", "3:axis", "--duration", "30"])
        sim.wait_for("running")
        master = b4k_mew.MewMaster(b4k_mew.MewSerial(port=line.port_b), query_timeout=2.0)
        try:
            assert master.get_uint16(1, "S0") == b4k_mew.INST_TYPE_XY
            assert master.get_uint16(1, "S1") == 0x0203
            assert master.get_coil_uint16(1, "WX0") == 0x00A5
            assert master.get_uint16(2, "DT100") == 4660
            assert master.get_uint16(3, "S0") == b4k_mew.INST_TYPE_Axis
            master.set_uint16(2, "DT101", 5)
            assert master.get_multi_uint16(2, "DT100", 2) == [4660, 5]
            master.set_coil_uint16(1, "WY0", 0x0003)
            assert master.get_coil_uint16(1, "WY0") == 0x0003
        finally:
            master.close()
        sim.proc.send_signal(signal.SIGINT)
        status, out, err = sim.finish()
    assert (status, err) == (130, "b4k-mew: interrupted\n")
    lines = out.splitlines()
    assert lines[0].startswith("simulating 3 devices on %s" % line.port_a)
    assert lines[1].split() == ["station", "1", "xy", "type", "1,", "firmware", "0x0203,", "inputs", "0x00A5"]
    assert lines[2].split() == ["station", "2", "plc", "DT100=4660"]
    assert lines[-1] == "stopped (2 writes served)"


def test_simulate_stops_after_its_duration_and_logs_when_verbose(running):
    with VirtualLine() as line:
        sim = running([SCRIPT, "simulate", "--port", line.port_a, "--device", "4:plc", "--duration", "1.5", "-v"])
        sim.wait_for("running for 1.5 s")
        master = b4k_mew.MewMaster(b4k_mew.MewSerial(port=line.port_b), query_timeout=2.0)
        try:
            master.set_uint16(4, "DT7", 9)
        finally:
            master.close()
        assert sim.wait_for("write").split()[1:] == ["station", "4:", "write", "D00007", "=", "9"]
        status, out, err = sim.finish()
    assert (status, err) == (0, "")
    assert out.splitlines()[-1] == "stopped (1 write served)"


def test_simulate_ends_cleanly_on_sigterm(running):
    with VirtualLine() as line:
        sim = running([SCRIPT, "simulate", "--port", line.port_a, "--device", "1:ad", "--duration", "30"])
        sim.wait_for("running")
        sim.proc.send_signal(signal.SIGTERM)
        status, out, err = sim.finish()
    assert (status, err) == (0, "")
    assert out.splitlines()[-1] == "stopped (0 writes served)"


@pytest.mark.parametrize("device, message", [
    ("1", "expected STATION:KIND"),
    ("1:robot", "unknown kind"),
    ("0:xy", "station numbers start at 1"),
    ("1:xy:colour=3", "not an address"),
    ("1:xy:firmware=0x10000", "not a 16-bit word"),
])
def test_simulate_refuses_bad_devices(device, message):
    status, out, err = run("simulate", "--port", "/dev/null", "--device", device)
    assert (status, out) == (2, "")
    assert err.startswith("b4k-mew: error: ") and message in err and len(err.splitlines()) == 1


# ---------------------------------------------------------------------------
# demo and help


def test_demo_runs_and_shows_each_part():
    status, out, err = run("demo", timeout=30)
    assert (status, err) == (0, "")
    for text in [
        "scanning station 6 ...",
        "5 devices: 2 xy, 1 axis, 1 ad, 1 unknown",
        "get_uint16 = 4660",
        "get_int16 = -1234",
        "get_uint32 = 305419896",
        "get_int32 = -2",
        "get_coil = True",
        "get_coil_uint16(5, 'WR1')         = 0x0001",
        "mgr.y[17] = True     -> station 2 outputs 0x0002",
        "mgr.wy[1] = 0x00F0   -> station 2 outputs 0x00F0",
        "on_update_wx -> new 0x005A, old 0x00A5",
        "mgr.x[0..7] = 0 1 0 1 1 0 1 0",
    ]:
        assert text in out
    assert out.splitlines()[-1] == "demo finished"


def test_demo_launcher_of_the_examples():
    done = subprocess.run([PYTHON, os.path.join(EXAMPLES, "demo.py")], capture_output=True, text=True,
                          timeout=30, env=_env(), cwd="/")
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[-1] == "demo finished"


@pytest.mark.parametrize("command", ["", "read", "write", "watch", "scan", "simulate", "demo"])
def test_help(command):
    status, out, err = run(*([command] if command else []), "--help")
    assert (status, err) == (0, "")
    assert out.startswith("usage: b4k-mew")
    assert "example" in out


def test_runs_as_a_module():
    done = subprocess.run([PYTHON, "-m", "b4k_mew_tools", "--help"], capture_output=True, text=True,
                          timeout=LIMIT, env=_env())
    assert done.returncode == 0 and "usage: b4k-mew" in done.stdout


# ---------------------------------------------------------------------------
# errors


def test_a_port_that_cannot_be_opened():
    status, out, err = run("read", "--port", "/dev/b4k-mew-no-such-port", "DT0")
    assert (status, out) == (2, "")
    assert err == "b4k-mew: error: cannot open port /dev/b4k-mew-no-such-port: No such file or directory\n"


def test_a_station_that_does_not_answer(rack):
    status, out, err = run("read", "--port", rack.port, "--station", 9, "--timeout", 0.3, "DT0")
    assert (status, out) == (1, "")
    assert err == "b4k-mew: error: station 9: no answer within 0.3 s (time-out)\n"
    status, out, err = run("write", "--port", rack.port, "--station", 9, "--timeout", 0.3, "DT0", "1")
    assert (status, out) == (1, "")
    assert "time-out" in err and len(err.splitlines()) == 1


def test_an_error_response(refusing_line):
    status, out, err = run("read", "--port", refusing_line, "--station", 2, "DT0")
    assert (status, out) == (1, "")
    assert err == "b4k-mew: error: station 2: error response, code 61 (data error (area or range))\n"
    status, out, err = run("write", "--port", refusing_line, "R0010", "on")
    assert (status, out, err) == (1, "", "b4k-mew: error: station 1: error response, code 61 (data error (area or range))\n")


@pytest.mark.parametrize("args, message", [
    (["read", "DT0", "--type", "coil"], "--type coil does not fit DT0"),
    (["read", "WX0", "--type", "int16"], "--type int16 does not fit WX0"),
    (["read", "R0010", "--type", "word"], "--type word does not fit R0010"),
    (["read", "DT0", "--count", "0"], "--count must be at least 1"),
    (["read", "#12"], "not an address"),
    (["write", "DT0", "65536"], "out of range for uint16"),
    (["write", "DT0", "-32769", "--type", "int16"], "out of range for int16"),
    (["write", "DT0", "twelve"], "not a number"),
    (["write", "R0010", "maybe"], "not a contact state"),
])
def test_bad_arguments_are_one_line_and_status_2(args, message):
    # Checked before the port is opened, so no line is needed.
    status, out, err = run(*args, "--port", "/dev/b4k-mew-no-such-port")
    assert (status, out) == (2, "")
    assert err.startswith("b4k-mew: error: ") and message in err and len(err.splitlines()) == 1


@pytest.mark.parametrize("args", [
    [],
    ["read", "--port", "/dev/null"],
    ["read", "DT0"],
    ["frobnicate"],
    ["read", "--port", "x", "DT0", "--type", "real"],
])
def test_argparse_errors_have_status_2(args):
    status, out, err = run(*args)
    assert (status, out) == (2, "")
    assert "error:" in err


# ---------------------------------------------------------------------------
# the virtual line under these tests


def test_virtual_line_keeps_what_an_unread_end_has_not_taken_and_closes():
    # More than a pseudo-terminal buffers: a relay that blocked on it would
    # stop both directions and never close.
    line = VirtualLine()
    sent = bytes(range(256)) * 400
    with serial.Serial(line.port_b, timeout=0.2, write_timeout=5) as b_end:
        b_end.write(sent)
        with serial.Serial(line.port_a, timeout=0.2, write_timeout=5) as a_end:
            a_end.write(b"answer\r")
            assert b_end.read_until(b"\r") == b"answer\r"
    closer = threading.Thread(target=line.close, daemon=True)
    closer.start()
    closer.join(10)
    assert not closer.is_alive()


# ---------------------------------------------------------------------------
# the examples


@pytest.mark.parametrize("over", ["serial", "tcp"])
def test_example_read_registers(rack, over):
    port = rack.port if over == "serial" else "tcp://127.0.0.1:%d" % rack.sim.listen("127.0.0.1", 0).port
    status, out, err = run_example("read_registers.py", port, 5)
    assert (status, err) == (0, "")
    assert out.splitlines() == [
        "DT100 = 4660",
        "DT101 = 65535",
        "DT102 = 22136",
        "DT103 = 4660",
        "DT101 as int16 = -1",
        "DT102 as uint32 = 305419896",
        "R0010 = True",
        "WR1 = 0x0001",
    ]


def test_example_read_registers_reports_a_silent_station(rack):
    status, out, _ = run_example("read_registers.py", rack.port, 9)
    assert status == 1
    assert out == "failed: MewMasterBase: device response timeout.\n"


def test_example_scan_rack(rack):
    rack.reset_outputs()
    status, out, err = run_example("scan_rack.py", rack.port)
    assert (status, err) == (0, "")
    assert out.splitlines() == [
        "devices: 5 (xy 2, axis 1, ad 1)",
        "axis at station 3, firmware 0x0102",
        "xy #0: inputs 0x00A5 outputs 0x0000",
        "xy #1: inputs 0x0000 outputs 0x0000",
        "x[0] = True",
        "outputs now: 0x0001, 0x00F0",
    ]
    assert rack.sim.devices[1].outputs == 0x0001
    assert rack.sim.devices[2].outputs == 0x00F0


@pytest.mark.parametrize("example", ["read_registers.py", "scan_rack.py", "answer_as_slave.py"])
@pytest.mark.parametrize("port", ["tcp://127.0.0.1:1", "/dev/b4k-mew-no-such-port", "nowhere"])
def test_examples_say_in_one_line_that_a_port_cannot_be_opened(example, port):
    status, out, err = run_example(example, port)
    assert (status, out) == (2, "")
    assert err.startswith("cannot open %s: " % port) and len(err.splitlines()) == 1, err


def test_example_answer_as_slave(running):
    with VirtualLine() as line:
        slave = running([PYTHON, os.path.join(EXAMPLES, "answer_as_slave.py"), line.port_a, "30"])
        slave.wait_for("answering as station 1")
        status, out, err = run("read", "--port", line.port_b, "DT0", "--count", 3)
        assert (status, out.splitlines()) == (0, ["DT0 = 11", "DT1 = 22", "DT2 = 33"])
        assert run("write", "--port", line.port_b, "DT1", "44")[0] == 0
        assert slave.wait_for("DT1 <-").strip() == "DT1 <- [44]"
        # Contacts keep the station's default handlers.
        assert run("read", "--port", line.port_b, "R0010")[1] == "R0010 = 0\n"
        slave.proc.send_signal(signal.SIGINT)
        status, out, err = slave.finish()
    assert (status, err) == (0, "")
    assert out.splitlines()[-1] == "DT0..DT2 at the end: [11, 44, 33]"


def test_example_answer_as_slave_ends_after_its_time(running):
    with VirtualLine() as line:
        slave = running([PYTHON, os.path.join(EXAMPLES, "answer_as_slave.py"), line.port_a, "0.5"])
        status, out, _ = slave.finish()
    assert status == 0
    assert out.splitlines()[-1] == "DT0..DT2 at the end: [11, 22, 33]"
