"""Waits that listen to the user: a station is ready when start() returns,
Ctrl-C ends any wait of the library in the main thread, close() from another
thread ends a waiting query, and a forked child can drop its copy of a
station without touching the parent's. Signals come from this process
(os.kill) to a child interpreter, as a user's terminal would send them."""
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest
import serial

import b4k_mew
from b4k_mew import MewStatic as M

from conftest import child_env
from linkpair import Device, pair, wait_until

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WAIT = 5.0
LIMIT = 60  # a child still running after this long is hung


@pytest.fixture(autouse=True)
def _no_thread_left(no_thread_left):
    yield


def run_child(code):
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=child_env())


# --- Ready when start() returns ---------------------------------------------------------

def test_worker_queue_is_registered_when_start_returns():
    a, _ = pair()
    station = b4k_mew.MewFullDuplex(a)
    demo = b4k_mew.RandomMewSlaveDemo(1, pair()[0])
    demo.start()
    try:
        assert len(station._query_listeners) == 1 and len(demo._query_listeners) == 1
    finally:
        station.close()
        demo.close()
    assert len(station._query_listeners) == 0 and len(demo._query_listeners) == 0


def test_command_right_after_construction_is_answered():
    for _ in range(20):
        a, b = pair(0.02)
        b.send_frame(M.append_tail("%01#RCSX0000"))  # already waiting when the station starts
        station = b4k_mew.MewFullDuplex(a)
        try:
            b.send_frame(M.append_tail("%01#RCSX0001"))
            assert b.next_frame(WAIT) == M.append_tail("%01$RC0")
        finally:
            station.close()


# --- Ctrl-C ------------------------------------------------------------------------------

SILENT_MASTER = """
    import sys, threading, b4k_mew
    from linkpair import Device, pair
    a, b = pair(0.02)
    device = Device(b, lambda command: print("waiting", flush=True)).__enter__()
    master = {cls}(a, query_timeout={timeout})
    done = threading.Event()
    def cleanup():
        done.set()
        master.close()
        device.__exit__(None, None, None)
"""

WAITS = {
    "query, no time limit": (SILENT_MASTER.format(cls="b4k_mew.MewMaster", timeout="None"),
                             "master.get_uint16(1, 'DT0')"),
    "query, infinite time-out": (SILENT_MASTER.format(cls="b4k_mew.MewMaster", timeout="float('inf')"),
                                 "master.get_uint16(1, 'DT0')"),
    "query, huge time-out": (SILENT_MASTER.format(cls="b4k_mew.MewMaster", timeout="1e300"),
                             "master.get_uint16(1, 'DT0')"),
    "scan through a Python override": (SILENT_MASTER.format(cls="Manager", timeout="None").replace(
        "master =", """class Manager(b4k_mew.InstManager):
        def get_uint16(self, station, name):
            return super().get_uint16(station, name)
    master ="""), "master.initialize_inst_list()"),
    "query lock held by another thread": (SILENT_MASTER.format(cls="b4k_mew.MewMaster", timeout="None") + """
    held = threading.Event()
    def hold():
        with master._query_lock:
            held.set()
            done.wait()
    threading.Thread(target=hold).start()
    held.wait()
    print("waiting", flush=True)
""", "master.get_uint16(1, 'DT0')"),
    # The second query reads the line itself: the receiver steps aside after the first answer.
    "query reading its own answer": ("""
    import os, threading, tty, b4k_mew
    controller, device = os.openpty()
    tty.setraw(controller)
    master = b4k_mew.MewMaster(b4k_mew.MewSerial(port=os.ttyname(device)), query_timeout=None)
    def answer_once():
        command = b""
        while not command.endswith(b"\\r"):
            command += os.read(controller, 64)
        os.write(controller, b4k_mew.MewStatic.append_tail("%01$RD0000").encode())
    threading.Thread(target=answer_once, daemon=True).start()
    cleanup = master.close
    print("waiting", flush=True)
""", "master.get_uint16(1, 'DT0'), master.get_uint16(1, 'DT0')"),
    "listener get": ("""
    import b4k_mew
    queue = b4k_mew.Listener()
    cleanup = lambda: None
    print("waiting", flush=True)
""", "queue.get()"),
    "serial read without time-out": ("""
    import os, b4k_mew
    controller, device = os.openpty()
    port = b4k_mew.MewSerial(port=os.ttyname(device), timeout=None)
    cleanup = port.close
    print("waiting", flush=True)
""", "port.read(1)"),
}


@pytest.mark.parametrize("case", list(WAITS))
def test_ctrl_c_ends_every_wait(case):
    setup, wait = WAITS[case]
    child = run_child(setup + """
    try:
        {wait}
        print("returned")
    except KeyboardInterrupt:
        if "master" in globals():
            print("registered", len(master._feedback_listeners), master._query_lock.locked())
        print("interrupted")
    finally:
        cleanup()
    """.replace("{wait}", wait))
    try:
        assert child.stdout.readline() == "waiting\n"
        time.sleep(0.3)  # into the wait, most likely; before it, Python raises all the same
        os.kill(child.pid, signal.SIGINT)
        out, err = child.communicate(timeout=LIMIT)
    finally:
        child.kill()
    assert out.endswith("interrupted\n"), (out, err)
    if "registered" in out and "lock held" not in case:
        assert "registered 0 False" in out  # nothing of the query stays behind
    assert child.returncode == 0, err


# --- close() from another thread ---------------------------------------------------------------

def test_close_wakes_a_waiting_query():
    a, b = pair(0.02)
    with Device(b, lambda command: None) as device:
        master = b4k_mew.MewMaster(a, query_timeout=None)
        errors = []

        def query():
            try:
                master.get_uint16(1, "DT0")
            except Exception as error:
                errors.append(error)

        thread = threading.Thread(target=query)
        thread.start()
        assert wait_until(lambda: device.received, WAIT)
        master.close()
        thread.join(WAIT)
        assert not thread.is_alive()
    assert len(errors) == 1 and isinstance(errors[0], serial.PortNotOpenError), errors


# --- fork() ------------------------------------------------------------------------------------------

def test_forked_child_leaves_the_parents_station_alone():
    child = run_child("""
    import os, sys, time, b4k_mew
    from b4k_mew_tools import Simulator, VirtualLine
    with VirtualLine() as line:
        sim = Simulator(b4k_mew.MewSerial(port=line.port_a))
        sim.add_device(2, kind="plc")
        sim.start()
        station = b4k_mew.MewFullDuplex(b4k_mew.MewSerial(port=line.port_b), query_timeout=2)
        station.set_uint16(2, "DT0", 7)
        pid = os.fork()
        if pid == 0:
            try:
                station.get_uint16(2, "DT0")
                code = 3
            except OSError as error:
                code = 0 if "fork()" in str(error) else 4
            station.close()
            del station
            os._exit(code)
        for _ in range(200):
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                break
            time.sleep(0.05)
        else:
            os.kill(pid, 9)
            print("child hung")
        print("child", os.waitstatus_to_exitcode(status) if done else None)
        print("parent reads", station.get_uint16(2, "DT0"))
        station.close()
        sim.close()
    """)
    try:
        out, err = child.communicate(timeout=LIMIT)
    finally:
        child.kill()
    assert out == "child 0\nparent reads 7\n", (out, err)
