"""Processes that stop: a script that leaves stations, servers, pollers or
asyncio masters open ends cleanly on Ctrl-C while the interpreter waits for
them at exit; long-running commands end promptly on a signal whichever
thread takes it; Ctrl-C while the command loads exits 130 quietly; every
station and channel is a context manager."""
import ctypes
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

import b4k_mew

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(b4k_mew.__file__), ROOT]))

LEFT_OPEN = r"""
import signal, sys, threading
import b4k_mew
from b4k_mew_tools.simulator import Simulator
kind = sys.argv[1]
if sys.argv[2] == "raise":
    signal.signal(signal.SIGTERM, lambda *a: sys.exit(3))
if kind == "plain":
    threading.Thread(target=threading.Event().wait).start()
else:
    sim = Simulator(None); sim.add_device(1); server = sim.listen("127.0.0.1", 0); sim.start()
    url = "tcp://127.0.0.1:%d" % server.port
    if kind == "Gateway":
        gateway = b4k_mew.Gateway(b4k_mew.MewMasterBase(url), "127.0.0.1", 0)
    elif kind == "SlaveServer":
        other = b4k_mew.SlaveServer(b4k_mew.RandomMewSlaveDemo(1, url), "127.0.0.1", 0)
    elif kind == "AsyncMewMaster":
        from b4k_mew_tools.aio import AsyncMewMaster
        master = AsyncMewMaster(url)
    elif kind == "Poller":
        poller = b4k_mew.Poller(b4k_mew.MewMaster(url)); poller.add(1, "DT0", period=0.05); poller.start()
    elif kind == "RandomMewSlaveDemo":
        demo = b4k_mew.RandomMewSlaveDemo(1, url); demo.start()
    elif kind != "Simulator":
        station = getattr(b4k_mew, kind)(url)
print("ready", flush=True)
"""

KINDS = ["Simulator", "Gateway", "SlaveServer", "AsyncMewMaster", "Poller", "MewMaster", "MewFullDuplex",
         "RandomMewSlaveDemo", "InstManager"]


def signalled_at_exit(kind, signum, handler="default"):
    p = subprocess.Popen([sys.executable, "-c", LEFT_OPEN, kind, handler], env=ENV, text=True,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert p.stdout.readline() == "ready\n"
    time.sleep(0.3)  # the interpreter waits at exit now
    p.send_signal(signum)
    try:
        out, err = p.communicate(timeout=20)
    except subprocess.TimeoutExpired:
        p.kill()
        out, err = p.communicate()
    return p.returncode, err


@pytest.mark.parametrize("kind", KINDS)
def test_ctrl_c_while_the_interpreter_waits_at_exit_stops_everything(kind):
    usual = signalled_at_exit("plain", signal.SIGINT)[0]
    assert usual == 0
    status, err = signalled_at_exit(kind, signal.SIGINT)
    assert (status, "terminate called" in err, "Fatal" in err) == (usual, False, False), err


@pytest.mark.parametrize("kind", ["Gateway", "AsyncMewMaster", "Poller"])
def test_sigterm_at_exit_ends_as_usual(kind):
    assert signalled_at_exit(kind, signal.SIGTERM) == (-signal.SIGTERM, "")
    status, err = signalled_at_exit(kind, signal.SIGTERM, "raise")
    assert (status, "terminate called" in err) == (signalled_at_exit("plain", signal.SIGTERM, "raise")[0], False)


def other_thread_kill(pid, signum):
    """Sends ``signum`` to a thread of ``pid`` that is not its main thread,
    as the system may do with a signal for the process."""
    libc = ctypes.CDLL(None, use_errno=True)
    tasks = [int(t) for t in os.listdir("/proc/%d/task" % pid) if int(t) != pid]
    assert tasks, "the command runs no other thread"
    assert libc.syscall(234, pid, tasks[-1], signum) == 0  # tgkill on x86-64


COMMANDS = [
    ["simulate", "--listen", "0", "--device", "1:plc"],
    ["simulate", "--listen", "0", "--device", "1:plc", "--web", "0"],
    ["gateway", "--serial", "{pty}", "--listen", "0"],
]


@pytest.mark.skipif(os.uname().machine != "x86_64", reason="tgkill's number is x86-64's")
@pytest.mark.parametrize("command", COMMANDS, ids=lambda c: " ".join(c[:1] + c[-2:]))
@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT])
def test_a_long_running_command_ends_at_once_whichever_thread_takes_the_signal(command, signum):
    master, slave = os.openpty()
    try:
        args = [a.format(pty=os.ttyname(slave)) for a in command]
        p = subprocess.Popen([sys.executable, os.path.join(ROOT, "b4k-mew"), *args], env=ENV, text=True,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            while "running until Ctrl-C" not in p.stdout.readline():
                assert p.poll() is None, p.stderr.read()
            other_thread_kill(p.pid, signum)
            p.communicate(timeout=3)  # it slept for an hour between looks
        finally:
            p.kill()
            p.wait()
        assert p.returncode == (0 if signum == signal.SIGTERM else 130)
    finally:
        os.close(master)
        os.close(slave)


def loading_the_extension(p):
    """Waits until the process maps the extension module: the command has
    begun loading. A SIGINT before that lands in the interpreter's own
    start-up, whose imports (site's) end in a fatal error the command never
    sees."""
    module = os.path.basename(b4k_mew.__file__)
    deadline = time.monotonic() + 20
    while p.poll() is None and time.monotonic() < deadline:
        try:
            with open("/proc/%d/maps" % p.pid) as maps:
                if module in maps.read():
                    return
        except OSError:  # it ended meanwhile
            return
        time.sleep(0.001)


def test_ctrl_c_while_the_command_loads_exits_130_without_a_traceback():
    for delay in (0, 0.02, 0.05, 0.1):
        p = subprocess.Popen([sys.executable, os.path.join(ROOT, "b4k-mew"), "scan", "--help"], env=ENV,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        loading_the_extension(p)
        time.sleep(delay)
        p.send_signal(signal.SIGINT)
        out, err = p.communicate(timeout=20)
        # Once the interpreter has put the default handler back at its
        # exit, SIGINT ends it as a signal.
        assert p.returncode in (0, 130, -signal.SIGINT) and "Traceback" not in err, err


def test_every_station_and_channel_is_a_context_manager(no_thread_left):
    master, slave = os.openpty()
    try:
        name = os.ttyname(slave)
        for make in (b4k_mew.MewMaster, b4k_mew.MewMasterBase, b4k_mew.MewFullDuplex, b4k_mew.InstManager,
                     lambda port: b4k_mew.RandomMewSlaveDemo(1, port)):
            with b4k_mew.MewSerial(port=name) as channel, make(channel) as station:
                station.start()
                assert threading.active_count() > 1
            with pytest.raises(OSError):
                channel.read()  # closed with the station
    finally:
        os.close(master)
        os.close(slave)
