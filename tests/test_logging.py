"""Frame tracing through the standard logging module.

Every frame a station sends or receives goes to the logger
"b4k_mew.<station class>" at DEBUG as "tx PORT 'FRAME'" / "rx PORT 'FRAME'",
and the errors it meets (time-outs, dropped frames, lost connections) at
WARNING. The C++ side looks at a flag before it builds anything; the flag
follows the loggers' levels from the next frame on. The lines printed on
stdout stay as they were.
"""
import logging
import os
import socket
import subprocess
import sys
import threading

import pytest

import b4k_mew
from b4k_mew_tools import Simulator, VirtualLine
from conftest import WAIT, Output
import linkpair

CMD = "%01#RDD0010000101**\r"
RESPONSE = "%01$RD3412**\r"
FRAMES, WARNINGS = 1, 2


@pytest.fixture(autouse=True)
def _clean(no_thread_left):
    """Every test leaves the loggers as it found them, and so the levels."""
    names = ["b4k_mew", "b4k_mew.MewMaster", "b4k_mew.MewMasterBase", "b4k_mew._Simulator"]
    before = {name: logging.getLogger(name).level for name in names}
    root_level = logging.getLogger().level
    yield
    logging.disable(logging.NOTSET)
    for name, level in before.items():
        logging.getLogger(name).setLevel(level)
    logging.getLogger().setLevel(root_level)
    assert b4k_mew._trace_levels() == b4k_mew._refresh_trace()


@pytest.fixture
def rig():
    """A started MewMaster on one end of a line and the other end, which a
    test answers from with linkpair.Device."""
    station_end, device_end = linkpair.pair()
    master = b4k_mew.MewMaster(station_end, query_timeout=WAIT)
    master.start()
    yield master, device_end
    master.close()
    device_end.close()


def answering(response=RESPONSE):
    return lambda frame: response


def traced(caplog, level=logging.DEBUG):
    """(logger, level, args) of every record of the library."""
    return [(r.name, r.levelno, r.args) for r in caplog.records if r.name.startswith("b4k_mew") and r.levelno >= level]


# --- Frames at DEBUG --------------------------------------------------------------------

class Plant(b4k_mew.MewMaster):
    pass


@pytest.mark.parametrize("cls, name, label", [(b4k_mew.MewMaster, None, "End"), (Plant, "line-7", "line-7")])
def test_a_query_logs_the_exact_frames_sent_and_received(caplog, cls, name, label):
    """A channel without a port is named by its name, else its class; a
    subclass logs as the library class it extends."""
    station_end, device_end = linkpair.pair()
    if name:
        station_end.name = name
    master = cls(station_end, query_timeout=WAIT)
    master.start()
    caplog.set_level(logging.DEBUG, logger="b4k_mew")
    try:
        with linkpair.Device(device_end, answering()):
            assert master.query(CMD) == "RD3412"
    finally:
        master.close()
    assert traced(caplog) == [
        ("b4k_mew.MewMaster", logging.DEBUG, ("tx", label, CMD)),
        ("b4k_mew.MewMaster", logging.DEBUG, ("rx", label, RESPONSE)),
    ]
    assert [r.getMessage() for r in caplog.records] == [
        "tx %s '%%01#RDD0010000101**\\r'" % label,
        "rx %s '%%01$RD3412**\\r'" % label,
    ]


def test_master_and_simulator_on_a_serial_line_log_both_sides_of_a_long_transfer(caplog):
    """Serial ports are named by their port; a response in two frames and
    the request for the second are traced on both sides, in wire order."""
    caplog.set_level(logging.DEBUG, logger="b4k_mew")
    with VirtualLine() as line:
        with Simulator(b4k_mew.MewSerial(port=line.port_b), frame_limit=118) as sim:
            sim.add_device(1).write_registers("DT", 0, list(range(30)))
            sim.start()
            # A pty is no port name a station takes: the channel is made here.
            master = b4k_mew.MewMaster(b4k_mew.MewSerial(port=line.port_a), query_timeout=WAIT)
            try:
                master.start()
                assert master.get_multi_uint16(1, "DT0", 30) == list(range(30))
            finally:
                master.close()
    got = traced(caplog)
    on_master = [args for name, _, args in got if name == "b4k_mew.MewMaster"]
    on_sim = [args for name, _, args in got if name == "b4k_mew._Simulator"]
    assert len(got) == len(on_master) + len(on_sim)
    assert [(d, port) for d, port, _ in on_master] == [("tx", line.port_a), ("rx", line.port_a),
                                                      ("tx", line.port_a), ("rx", line.port_a)]
    assert [(d, port) for d, port, _ in on_sim] == [("rx", line.port_b), ("tx", line.port_b),
                                                   ("rx", line.port_b), ("tx", line.port_b)]
    # What one side sent is exactly what the other received.
    assert [f for d, _, f in on_master if d == "tx"] == [f for d, _, f in on_sim if d == "rx"]
    assert [f for d, _, f in on_sim if d == "tx"] == [f for d, _, f in on_master if d == "rx"]
    first, second = [f for d, _, f in on_master if d == "rx"]
    assert first.startswith("%01$RD") and first.endswith("&\r") and second.endswith("\r")
    assert on_master[0][2] == "%01#RDD00000000295E\r"


def test_frames_of_queries_from_several_threads_are_all_logged(rig, caplog):
    master, device_end = rig
    caplog.set_level(logging.DEBUG, logger="b4k_mew")
    per_thread = 25
    failures = []

    def work():
        try:
            for _ in range(per_thread):
                assert master.query(CMD) == "RD3412"
        except BaseException as e:  # reported below
            failures.append(e)

    with linkpair.Device(device_end, answering()):
        threads = [threading.Thread(target=work) for _ in range(3)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert failures == []
    got = traced(caplog)
    assert got.count(("b4k_mew.MewMaster", logging.DEBUG, ("tx", "End", CMD))) == 3 * per_thread
    assert got.count(("b4k_mew.MewMaster", logging.DEBUG, ("rx", "End", RESPONSE))) == 3 * per_thread
    assert len(got) == 6 * per_thread


# --- Warnings ----------------------------------------------------------------------------

def test_at_warning_a_time_out_is_the_only_record(rig, caplog):
    master, device_end = rig
    caplog.set_level(logging.WARNING, logger="b4k_mew")
    assert b4k_mew._trace_levels() == WARNINGS
    master._query_timeout = 0.05
    with linkpair.Device(device_end, lambda frame: None) as device:
        with pytest.raises(OSError, match="device response timeout"):
            master.query(CMD)
    assert device.received == [CMD]
    assert traced(caplog, logging.DEBUG) == [
        ("b4k_mew.MewMaster", logging.WARNING, ("End", "MewMasterBase: device response timeout.")),
    ]
    assert caplog.records[0].getMessage() == "End MewMasterBase: device response timeout."


def test_dropped_frames_are_warned_and_printed_as_before(rig, caplog, capsys):
    master, device_end = rig
    out = Output(capsys, lf_only=True)  # printed frames end in their CR
    caplog.set_level(logging.DEBUG, logger="b4k_mew")
    answers = iter(["%01$WD**\r" + RESPONSE])  # first a response to another command
    with linkpair.Device(device_end, lambda frame: next(answers)):
        assert master.query(CMD) == "RD3412"
    device_end.send_frame(CMD)  # a command to a master: nobody takes it
    out.wait(2)
    assert out.lines() == ["MewMasterBase: Drop response to another command: %01$WD**\r",
                           "MewBase: No query listener. Drop frame."]
    assert linkpair.wait_until(lambda: len(traced(caplog, logging.WARNING)) == 2, WAIT)
    assert traced(caplog, logging.WARNING) == [
        ("b4k_mew.MewMaster", logging.WARNING, ("End", "MewMasterBase: Drop response to another command: %01$WD**\r")),
        ("b4k_mew.MewMaster", logging.WARNING, ("End", "MewBase: No query listener. Drop frame.")),
    ]
    # Nothing of the records reaches stdout, with the frames at DEBUG too.
    assert len([r for r in traced(caplog) if r[1] == logging.DEBUG]) == 4


def test_a_lost_tcp_connection_is_warned_with_the_address():
    records = []
    handler = logging.Handler()
    handler.emit = records.append
    logger = logging.getLogger("b4k_mew")
    logger.addHandler(handler)
    failed = []

    def ask(master):
        try:
            master.query(CMD)
        except OSError as e:
            failed.append(e)

    with socket.socket() as server:
        server.bind(("127.0.0.1", 0))
        server.listen(1)
        port = server.getsockname()[1]
        url = "tcp://127.0.0.1:%d" % port
        master = b4k_mew.MewMaster(url, query_timeout=WAIT)
        try:
            master.start()
            conn, _ = server.accept()
            with conn:
                t = threading.Thread(target=ask, args=(master,))
                t.start()
                assert conn.recv(100) == CMD.encode()
            t.join()  # the peer closed the connection: the query fails at once
        finally:
            master.close()
            logger.removeHandler(handler)
    lost = "MewBase: connection to 127.0.0.1:%d lost: closed by the peer" % port
    assert len(failed) == 1 and isinstance(failed[0], b4k_mew.ConnectionLost)
    assert [(r.levelno, r.args) for r in records] == [(logging.WARNING, (url, lost))]


# --- Levels --------------------------------------------------------------------------------

def test_level_changes_count_from_the_next_frame(rig, caplog):
    master, device_end = rig
    caplog.set_level(logging.WARNING)  # caplog's handler takes everything from here
    caplog.handler.setLevel(logging.DEBUG)
    library = logging.getLogger("b4k_mew")
    child = logging.getLogger("b4k_mew.MewMaster")
    steps = [
        (lambda: library.setLevel(logging.DEBUG), FRAMES | WARNINGS, 2),
        (lambda: library.setLevel(logging.WARNING), WARNINGS, 0),
        (lambda: child.setLevel(logging.DEBUG), FRAMES | WARNINGS, 2),  # one child alone
        (lambda: child.setLevel(logging.NOTSET), WARNINGS, 0),
        (lambda: (library.setLevel(logging.NOTSET), logging.getLogger().setLevel(logging.DEBUG)),
         FRAMES | WARNINGS, 2),  # inherited from the root
        (lambda: logging.disable(logging.CRITICAL), 0, 0),
        (lambda: logging.disable(logging.NOTSET), FRAMES | WARNINGS, 2),
        (lambda: logging.getLogger().setLevel(logging.ERROR), 0, 0),
    ]
    with linkpair.Device(device_end, answering()):
        for i, (change, levels, records) in enumerate(steps):
            change()
            assert b4k_mew._trace_levels() == levels, i
            caplog.clear()
            master.query(CMD)
            assert len(traced(caplog)) == records, i


def test_nothing_reaches_logging_while_the_level_is_off(rig, monkeypatch):
    """With the level off the C++ side does not even call the logger: no
    record is made, nothing is formatted, no lock of the interpreter taken
    for it."""
    master, device_end = rig
    calls = []
    for name in ("debug", "warning", "makeRecord"):
        original = getattr(logging.Logger, name)
        monkeypatch.setattr(logging.Logger, name,
                            lambda self, *a, _n=name, _o=original, **k: (calls.append(_n), _o(self, *a, **k))[1])
    logging.getLogger("b4k_mew").setLevel(logging.ERROR)
    assert b4k_mew._trace_levels() == 0
    with linkpair.Device(device_end, answering()):
        for _ in range(20):
            master.query(CMD)
    master._query_timeout = 0.05
    with linkpair.Device(device_end, lambda frame: None):
        with pytest.raises(OSError):
            master.query(CMD)  # a time-out, below the level too
    assert calls == []
    # The same with the level on: the patch does see the library's calls.
    logging.getLogger("b4k_mew").setLevel(logging.DEBUG)
    master._query_timeout = WAIT
    with linkpair.Device(device_end, answering()):
        master.query(CMD)
    assert calls.count("debug") == 2


def test_the_library_logger_prints_nothing_on_its_own():
    """Until the program sets up logging, warnings go nowhere: logging's last
    resort would otherwise print them on stderr. In a process of its own,
    where no test runner has set up logging."""
    assert any(isinstance(h, logging.NullHandler) for h in logging.getLogger("b4k_mew").handlers)
    script = "\n".join([
        "import b4k_mew, linkpair",
        "a, b = linkpair.pair()",
        "m = b4k_mew.MewMaster(a, query_timeout=0.05)",
        "m.start()",
        "try:",
        "    m.query(%r)" % CMD,
        "except OSError as e:",
        "    print('failed:', e)",
        "m.close()",
        "print('levels', b4k_mew._trace_levels())",
    ])
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p or "." for p in sys.path))
    done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=60,
                          cwd=os.path.dirname(os.path.abspath(__file__)))
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == "failed: MewMasterBase: device response timeout.\nlevels %d\n" % WARNINGS


# --- Handlers that fail ------------------------------------------------------------------

class Raising(logging.Filter):
    """A filter that raises: its error leaves logger.debug itself."""

    def filter(self, record):
        raise RuntimeError("handler broke")


@pytest.mark.parametrize("where", ["filter", "emit"])
def test_a_raising_handler_ends_no_thread_and_queries_go_on(rig, where, monkeypatch):
    master, device_end = rig
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    logger = logging.getLogger("b4k_mew")
    handler = logging.Handler()
    if where == "filter":
        handler.addFilter(Raising())
    else:
        handler.emit = lambda record: 1 / 0  # no handleError: leaves logger.debug itself
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    try:
        with linkpair.Device(device_end, answering()):
            for _ in range(5):
                assert master.query(CMD) == "RD3412"
        master._query_timeout = 0.05
        with linkpair.Device(device_end, lambda frame: None):
            with pytest.raises(OSError, match="timeout"):
                master.query(CMD)
        assert master._receiver_thread.is_alive()
    finally:
        logger.removeHandler(handler)
    # Each of the 5 tx, 5 rx, 1 tx and 1 warning is reported, none raised.
    assert len(unraisable) == 12
    assert {type(u.exc_value) for u in unraisable} == {RuntimeError if where == "filter" else ZeroDivisionError}
