"""The b4k-mew command with controllers: float registers, several contacts
in one command, the status, timers and counters, and the options of their
frames. The far end answers only the exact frames a case names, so a frame
that the command gets wrong costs a time-out and fails the case."""

import struct

import pytest

import b4k_mew

from b4k_mew_tools import Simulator, VirtualLine
from test_cli import run
from test_cli_errors import assert_one_error_line, peer, response  # noqa: F401 (fixture)


def words(*values):
    """Data fields of 16-bit words as the line carries them, low byte first."""
    return "".join("%02X%02X" % (v & 0xFF, v >> 8 & 0xFF) for v in values)


def float_words(value):
    bits = struct.unpack("<I", struct.pack("<f", value))[0]
    return words(bits & 0xFFFF, bits >> 16)


def answering(peer, answers):
    """``peer`` answers each command of ``answers`` (its frame without the
    check code) with that body, and nothing else."""

    def answer(command):
        body = answers.get(command[:-2])
        return [] if body is None else [response(command, body)]

    peer.answer = answer


@pytest.fixture(scope="module")
def controller():
    """A simulated controller, station 12 of a line that numbers stations in
    decimal and cuts answers into frames of 118 characters; ``port`` is the
    other end."""
    line = VirtualLine()
    sim = Simulator(b4k_mew.MewSerial(port=line.port_a), frame_limit=118, decimal_stations=True, plc=True)
    device = sim.add_device(12)
    sim.start()
    device.port = line.port_b
    yield device
    sim.close()
    line.close()


CONTROLLER = ["--frame-limit", "118", "--decimal-stations", "--station", "12"]


@pytest.mark.parametrize("write, read, expected, stored", [
    (["DT300", "1.5", "-0.1", "--type", "float32"], ["DT300", "--count", "2", "--type", "float32"],
     ["DT300 = 1.5", "DT302 = -0.1"], ("DT", 300, [0x0000, 0x3FC0, 0xCCCD, 0xBDCC])),
    (["Y0000=on", "R0011=on", "R0010=off"], ["Y0000", "R0010", "R0011"], ["Y0000 = 1", "R0010 = 0", "R0011 = 1"],
     ("R", 1, [0x0002])),
    (["SV2", "100", "200"], ["SV2", "--count", "2"], ["SV2 = 100", "SV3 = 200"], ("SV", 2, [100, 200])),
], ids=["float32", "contacts", "timers"])
def test_round_trip_with_a_controller(controller, write, read, expected, stored):
    status, out, err = run("write", "--port", controller.port, *CONTROLLER, *write)
    assert (status, out, err) == (0, "ok\n", "")
    area, start, values = stored
    assert (controller.read_words if area in "XYRL" else controller.read_registers)(area, start, len(values)) == values
    status, out, err = run("read", "--port", controller.port, *CONTROLLER, *read)
    assert (status, err) == (0, "")
    assert out.splitlines() == expected


@pytest.mark.parametrize("options", [[], ["--max-read-words", "7"]])
def test_a_read_longer_than_a_frame_of_the_controller(controller, options):
    controller.write_registers("DT", 1000, list(range(500, 560)))
    status, out, err = run("read", "--port", controller.port, *CONTROLLER, *options, "DT1000", "--count", "60")
    assert (status, err) == (0, "")
    assert out.splitlines() == ["DT%d = %d" % (1000 + i, 500 + i) for i in range(60)]


def test_status_of_the_controller_at_the_other_end_of_a_1_to_1_link(controller):
    controller.set_status(cpu_type=0x20, version=0x25, capacity=32, mode=0, error_flags=0, self_diagnosis=0)
    controller.set_status(run=True)
    status, out, err = run("status", "--port", controller.port, *CONTROLLER[:-1], "EE")
    assert (status, err) == (0, "")
    assert out.splitlines()[:4] == ["cpu type: 0x20", "version: 0x25", "capacity: 32K", "mode: RUN (flags 0x01)"]


# Each case: the command line, the frames it must send (without their check
# codes) with the answers, and what it must print.
EXCHANGES = [
    (["read", "DT100", "--type", "float32"], {"%01#RDD0010000101": "$RD" + float_words(1.5)}, ["DT100 = 1.5"]),
    (["read", "DT100", "--type", "float32", "--count", "2"],
     {"%01#RDD0010000103": "$RD" + float_words(0.1) + float_words(-2.5e-20)}, ["DT100 = 0.1", "DT102 = -2.5e-20"]),
    (["read", "DT100", "--type", "float32", "--hex"], {"%01#RDD0010000101": "$RD" + float_words(1.5)},
     ["DT100 = 0x3FC00000"]),
    (["write", "DT100", "1.5", "--type", "float32"], {"%01#WDD0010000101" + float_words(1.5): "$WD"}, ["ok"]),
    (["read", "X0000", "Y001A", "r10"], {"%01#RCP3X0000Y001AR0010": "$RC101"},
     ["X0000 = 1", "Y001A = 0", "R0010 = 1"]),
    # Nine contacts take two commands, eight and one.
    (["read", *("R%04X" % n for n in range(9))],
     {"%01#RCP8" + "".join("R%04X" % n for n in range(8)): "$RC10000001", "%01#RCP1R0008": "$RC1"},
     ["R%04X = %d" % (n, n in (0, 7, 8)) for n in range(9)]),
    (["write", "Y0000=on", "R0010=0"], {"%01#WCP2Y00001R00100": "$WC"}, ["ok"]),
    (["read", "SV0", "--count", "2"], {"%01#RS00000001": "$RS" + words(100, 200)}, ["SV0 = 100", "SV1 = 200"]),
    (["read", "EV7", "--type", "int16"], {"%01#RK00070007": "$RK" + words(0xFFFE)}, ["EV7 = -2"]),
    (["write", "EV3", "5", "6"], {"%01#WK00030004" + words(5, 6): "$WK"}, ["ok"]),
    (["status"], {"%01#RT": "$RT" + "2025320100" + "04" + words(26)},
     ["cpu type: 0x20", "version: 0x25", "capacity: 32K", "mode: RUN (flags 0x01)", "link: 0x00",
      "error flags: 0x04", "self-diagnosis: 26"]),
    (["status", "--decimal-stations", "--station", "ee"], {"%EE#RT": "$RT" + "2025100000000000"},
     ["cpu type: 0x20", "version: 0x25", "capacity: 10K", "mode: PROG (flags 0x00)", "link: 0x00",
      "error flags: 0x00", "self-diagnosis: 0"]),
    (["read", "--frame-limit", "2048", "DT100"], {"<01#RDD0010000100": "$RD" + words(7)}, ["DT100 = 7"]),
    # Longer than one frame carries, once the master splits its reads.
    (["read", "--max-read-words", "10000", "DT0", "--count", "20000"],
     {"%01#RDD0000009999": "$RD" + words(1) * 10000, "%01#RDD1000019999": "$RD" + words(2) * 10000},
     ["DT0 = 1", "DT9999 = 1", "DT10000 = 2", "DT19999 = 2"]),
]


@pytest.mark.parametrize("args, answers, expected", EXCHANGES, ids=[" ".join(case[0]) for case in EXCHANGES])
def test_frames_and_results(peer, args, answers, expected):
    answering(peer, answers)
    status, out, err = run(args[0], "--port", peer.port, "--timeout", "2", *args[1:])
    assert (status, err) == (0, "")
    lines = out.splitlines()
    if len(lines) > len(expected):  # a long run: its ends and the seam are enough
        lines = [line for line in lines if line in expected]
    assert lines == expected
    assert peer.commands.qsize() == len(answers)


def test_watch_shows_a_float_register_that_stays_nan_once(peer):
    answering(peer, {"%01#RDD0010000101": "$RD" + words(0x0000, 0x7FC0)})
    status, out, err = run("watch", "--port", peer.port, "DT100", "--type", "float32", "--count", "3",
                           "--interval", "0.01")
    assert (status, err) == (0, "")
    assert [line.split(" ", 1)[1] for line in out.splitlines()] == ["DT100 = nan"]


@pytest.mark.parametrize("code", ["42", "61"])
def test_an_error_response_says_what_the_code_means(peer, code):
    peer.answer = lambda command: [response(command, "!" + code)]
    status, out, err = run("write", "--port", peer.port, "Y0000=on", "Y0001=off")
    assert (status, out) == (1, "")
    meaning = b4k_mew.device_error_meaning(code)
    assert meaning != b4k_mew.device_error_meaning("99")
    assert err == "b4k-mew: error: station 1: error response, code %s (%s)\n" % (code, meaning)


@pytest.mark.parametrize("args, fragment", [
    (["write", "DT0", "abc", "--type", "float32"], "not a number: 'abc'"),
    (["write", "DT0", "nan", "--type", "float32"], "not a finite number: 'nan'"),
    (["write", "DT0", "1", "-inf", "--type", "float32"], "not a finite number: '-inf'"),
    (["write", "DT0", "1e39", "--type", "float32"], "out of range for float32"),
    (["read", "R0010", "--type", "float32"], "--type float32 does not fit R0010"),
    (["write", "SV0", "1.5", "--type", "float32"], "--type float32 does not fit SV0"),
    (["read", "EV10000"], "EV9999 is the last timer"),
    (["read", "X0000", "DT100"], "DT100 is a register"),
    (["read", "X0000", "Y0000", "--count", "2"], "--count goes with one address"),
    (["read", "X0000", "Y0000", "--type", "word"], "--type word does not fit"),
    (["write", "Y0000=on", "DT5"], "expected CONTACT=STATE"),
    (["write", "DT5", "1", "Y0000=on"], "expected CONTACT=STATE"),
    (["write", "Y0000=maybe"], "not a contact state"),
    (["write", "DT5"], "expected ADDRESS VALUE"),
    (["read", "--station", "EE", "DT0"], "--station EE needs --decimal-stations"),
    (["status", "--decimal-stations", "--station", "100"], "--station 100 is out of range"),
    (["read", "--frame-limit", "100", "DT0"], "--frame-limit"),
    (["scan", "--max-read-words", "0"], "--max-read-words"),
])
def test_bad_arguments_send_nothing(peer, args, fragment):
    status, out, err = run(args[0], "--port", peer.port, *args[1:])
    assert (status, out) == (2, "")
    assert_one_error_line(err, fragment)
    assert peer.commands.empty()


@pytest.mark.parametrize("command", ["read", "write", "watch", "status", "scan"])
def test_every_command_that_talks_to_stations_takes_the_line_options(command):
    status, out, err = run(command, "--help")
    assert (status, err) == (0, "")
    assert all(option in out for option in ("--frame-limit", "--max-read-words", "--decimal-stations"))
