"""The poller end to end against the simulator, on a serial line and over
TCP: cached values follow the devices' memory while it changes, a silent
station backs off instead of stalling the others, changes reach a callback
and asyncio iterators, the master stays usable, and the poller starts,
stops, closes and goes away from any thread without hanging anything.

Waits are bounded generously and counted in cycles, not seconds: a cycle
that began after a change reads it, so two cycles after a change the cache
must hold it."""
import asyncio
import contextlib
import gc
import math
import random
import struct
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import b4k_mew
from b4k_mew_tools import Simulator, VirtualLine
from conftest import WAIT, wait_until

PERIOD = 0.05
STATIONS = (1, 2, 3)
SILENT = 9  # a station with no device


@pytest.fixture(autouse=True)
def _no_thread_left(no_thread_left):
    yield


# --- Rigs: three devices behind a serial line or a TCP port --------------------------------

@contextlib.contextmanager
def serial_rig(master_class=b4k_mew.MewMaster, query_timeout=0.5):
    with contextlib.ExitStack() as stack:
        line = stack.enter_context(VirtualLine())
        sim = stack.enter_context(Simulator(b4k_mew.MewSerial(port=line.port_a), plc=True))
        for station in STATIONS:
            sim.add_device(station)
        sim.start()
        master = master_class(b4k_mew.MewSerial(port=line.port_b), query_timeout=query_timeout)
        stack.callback(master.close)
        yield sim, master


@contextlib.contextmanager
def tcp_rig(master_class=b4k_mew.MewMaster, query_timeout=0.5):
    with contextlib.ExitStack() as stack:
        sim = stack.enter_context(Simulator(None, plc=True))
        server = sim.listen("127.0.0.1", 0)
        for station in STATIONS:
            sim.add_device(station)
        master = master_class("tcp://127.0.0.1:%d" % server.port, query_timeout=query_timeout)
        stack.callback(master.close)
        yield sim, master


RIGS = {"serial": serial_rig, "tcp": tcp_rig}


@pytest.fixture(params=sorted(RIGS))
def rig(request):
    with RIGS[request.param]() as pair:
        yield pair


def wait_cycles(poller, count, timeout=30.0):
    """Until `count` more cycles have run; the cycle count reached."""
    target = poller.cycles + count
    assert wait_until(lambda: poller.cycles >= target, timeout), "the poller stopped cycling"
    return poller.cycles


# --- Points of every kind and what the device holds for them -------------------------------

def layout():
    """About 67 points a station, 200 in all: registers of every type in
    neighbouring runs with small gaps, contacts and contact words."""
    points = []
    for station in STATIONS:
        for i in range(20):
            points.append((station, "DT%d" % i, "uint16"))
        for i in range(10):
            points.append((station, "DT%d" % (22 + 2 * i), "int16"))  # a gap of one word between
        for i in range(8):
            points.append((station, "DT%d" % (100 + 2 * i), "uint32"))
        for i in range(8):
            points.append((station, "LD%d" % (2 * i), "int32"))
        for i in range(8):
            points.append((station, "FL%d" % (10 + 2 * i), "float32"))
        for bit in (0, 3, 7, 15):
            points.append((station, "X001%X" % bit, "bool"))
        for bit in (1, 10):
            points.append((station, "R010%X" % bit, "bool"))
        for word in (0, 1, 5):
            points.append((station, "WY%d" % word, "uint16"))
        for i in range(4 if station != 3 else 3):
            points.append((station, "DT%d" % (500 + 40 * i), "uint16"))  # far apart: a command each
    return points


def expected(sim, station, address, kind):
    device = sim.devices[station]
    if kind == "bool":
        word, bit = int(address[1:-1] or "0"), int(address[-1], 16)
        return device.get_contact(address[0], word * 16 + bit)
    if address.startswith("W"):
        return device.read_words(address[1], int(address[2:]), 1)[0]
    area, start = address[:2], int(address[2:])
    if kind == "float32":
        return device.read_float(area, start)
    words = device.read_registers(area, start, 2 if kind in ("uint32", "int32") else 1)
    if kind == "int16":
        return struct.unpack("<h", struct.pack("<H", words[0]))[0]
    if kind == "uint32":
        return words[0] | words[1] << 16
    if kind == "int32":
        return struct.unpack("<i", struct.pack("<HH", *words))[0]
    return words[0]


def scramble(sim, rng):
    """New values everywhere the layout reads, and in the gaps between."""
    for station in STATIONS:
        device = sim.devices[station]
        device.write_registers("DT", 0, [rng.randrange(65536) for _ in range(120)])
        device.write_registers("DT", 500, [rng.randrange(65536) for _ in range(130)])
        device.write_registers("LD", 0, [rng.randrange(65536) for _ in range(16)])
        for i in range(8):
            device.write_float("FL", 10 + 2 * i, rng.uniform(-1e6, 1e6))
        device.write_words("X", 1, [rng.randrange(65536)])
        device.write_words("R", 10, [rng.randrange(65536)])
        device.write_words("Y", 0, [rng.randrange(65536) for _ in range(6)])


def mismatches(poller, sim, points):
    return [(name, poller.value(name), expected(sim, *point))
            for name, point in points.items() if poller.value(name) != expected(sim, *point)]


# --- The cache follows the devices ---------------------------------------------------------

def test_two_hundred_points_follow_the_simulator(rig):
    sim, master = rig
    rng = random.Random(7)
    with b4k_mew.Poller(master) as poller:
        points = {poller.add(station, address, kind, period=PERIOD): (station, address, kind)
                  for station, address, kind in layout()}
        assert len(points) == len(poller) == 200
        # Per station: DT0..19 with the int16 up to DT26 (27 words), the
        # others to DT40, DT100..115, the far registers one each, LD0..15,
        # FL10..25, WX1, WR10 and WY0..5: 12, 12 and 11 commands for 200 points.
        assert poller.commands_per_cycle == 35
        scramble(sim, rng)
        poller.start()
        wait_cycles(poller, 2)
        for _ in range(5):
            scramble(sim, rng)
            wait_cycles(poller, 2)
            assert mismatches(poller, sim, points) == []
        snapshot = poller.snapshot()
        assert list(snapshot) == list(points)
        assert all(r.error is None and r.time >= r.changed > 0 for r in snapshot.values())


def test_points_added_and_removed_while_running(rig):
    sim, master = rig
    with b4k_mew.Poller(master) as poller:
        poller.add(1, "DT0", period=PERIOD)
        poller.start()
        sim.devices[2].write_registers("DT", 300, [4321, 1234])
        name = poller.add(2, "DT300", "uint32", period=PERIOD, name="counter")
        assert name == "counter" and poller.value("counter") is None
        assert wait_until(lambda: poller.value("counter") == 1234 << 16 | 4321, WAIT)
        poller.remove("counter")
        assert "counter" not in poller
        with pytest.raises(KeyError):
            poller.value("counter")
        with pytest.raises(KeyError):
            poller.remove("counter")
        assert poller.commands_per_cycle == 1


def test_the_masters_read_limit_and_the_pollers_own(rig):
    _, master = rig
    poller = b4k_mew.Poller(master, max_words=10, max_gap=0)
    for i in range(0, 40, 2):
        poller.add(1, "DT%d" % i)
    assert poller.commands_per_cycle == 20  # no gap allowed: every other register alone
    poller = b4k_mew.Poller(master, max_words=10, max_gap=1)
    for i in range(0, 40, 2):
        poller.add(1, "DT%d" % i)
    assert poller.commands_per_cycle == 4  # DT0..9, DT10..19, ...
    master.max_read_words = 4
    assert poller.commands_per_cycle == 10


# --- A station that stops answering ---------------------------------------------------------

class CountingMaster(b4k_mew.MewMaster):
    """Remembers the station of every read the poller makes."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.reads = []

    def get_multi_uint16(self, station, name, count):
        self.reads.append(station)
        return super().get_multi_uint16(station, name, count)


@pytest.mark.parametrize("make_rig", [serial_rig, tcp_rig], ids=["serial", "tcp"])
def test_a_silent_station_costs_one_time_out_per_back_off_step(make_rig):
    # A healthy station answers within the time-out even on a loaded machine.
    with make_rig(CountingMaster, query_timeout=0.3) as (sim, master):
        with b4k_mew.Poller(master) as poller:
            for station in (1, 2, SILENT):
                for i in range(3):
                    poller.add(station, "DT%d" % (100 * i), period=0.02)
            assert poller.commands_per_cycle == 9
            sim.devices[2].write_registers("DT", 200, [77])
            poller.start()
            cycles = wait_cycles(poller, 60)
            poller.stop()
            reads = list(master.reads)
        silent = reads.count(SILENT)
        # The healthy stations were read in every cycle, three commands each;
        # the silent one got one command per back-off step, and the steps
        # double: a handful, where a poller without back-off would have
        # spent a time-out in every one of the cycles.
        assert reads.count(1) >= 3 * (cycles - 1) and reads.count(2) >= 3 * (cycles - 1)
        assert 2 <= silent <= math.log2(cycles) + 4
        assert poller.value("2:DT200") == 77 and poller.get("2:DT200").error is None
        error = poller.get("%d:DT0" % SILENT).error
        assert "timeout" in error and poller.value("%d:DT0" % SILENT) is None


@pytest.mark.parametrize("make_rig", [serial_rig, tcp_rig], ids=["serial", "tcp"])
def test_a_station_that_goes_silent_keeps_its_values_with_an_error_and_comes_back(make_rig):
    with make_rig(query_timeout=0.1) as (sim, master), b4k_mew.Poller(master, max_backoff=0.2) as poller:
        poller.add(1, "DT0", period=PERIOD)
        poller.add(3, "DT5", "int16", period=PERIOD)
        poller.add(3, "FL0", "float32", period=PERIOD)
        device = sim.devices[3]
        device.write_registers("DT", 5, [0xFFFE])
        device.write_float("FL", 0, 2.5)
        poller.start()
        assert wait_until(lambda: poller.value("3:DT5") == -2 and poller.value("3:FL0") == 2.5, WAIT)
        del sim.devices[3]
        assert wait_until(lambda: poller.get("3:FL0").error is not None, WAIT)
        sim.devices[1].write_registers("DT", 0, [11])
        wait_cycles(poller, 3)
        assert poller.value("3:DT5") == -2 and poller.value("3:FL0") == 2.5
        assert poller.get("3:DT5").error is not None
        healthy = poller.get("1:DT0")
        assert healthy.value == 11 and healthy.error is None
        device.write_registers("DT", 5, [3])
        sim.devices[3] = device
        assert wait_until(lambda: poller.value("3:DT5") == 3 and poller.get("3:DT5").error is None, WAIT)


# --- Changes: the callback and the asynchronous iterator ------------------------------------

def test_the_callback_gets_one_list_of_changes_per_cycle(rig):
    sim, master = rig
    batches = []
    with b4k_mew.Poller(master, on_change=batches.append) as poller:
        for i in range(5):
            poller.add(1, "DT%d" % i, period=PERIOD)
        poller.add(1, "R0000", period=PERIOD)
        poller.start()
        assert wait_until(lambda: batches, WAIT)
        first = batches[0]
        assert [c.name for c in first] == ["1:DT0", "1:DT1", "1:DT2", "1:DT3", "1:DT4", "1:R0000"]
        assert all(isinstance(c, tuple) and len(c) == 3 and c.value in (0, False) for c in first)
        # Changed while stopped, so that one cycle sees them all.
        poller.stop()
        count = len(batches)
        sim.devices[1].write_registers("DT", 1, [10, 20, 30])
        sim.devices[1].set_contact("R", 0, True)
        poller.start()
        assert wait_until(lambda: len(batches) > count, WAIT)
        wait_cycles(poller, 2)
        changed = batches[count:]
        assert len(changed) == 1  # one cycle, one call
        (dt1, dt2, dt3, r), = changed
        assert (r.name, r.value) == ("1:R0000", True)
        assert [(c.name, c.value) for c in (dt1, dt2, dt3)] == [("1:DT1", 10), ("1:DT2", 20), ("1:DT3", 30)]
        assert dt1.time == poller.get("1:DT1").changed


def test_a_callback_attached_while_polling_gets_the_changes_after_it(rig):
    # Cycles nobody listens to skip the interpreter: the callback attached
    # later must still be reached.
    sim, master = rig
    batches = []
    with b4k_mew.Poller(master) as poller:
        poller.add(1, "DT7", period=PERIOD)
        poller.start()
        wait_cycles(poller, 2)
        poller.on_change = batches.append
        sim.devices[1].write_registers("DT", 7, [77])
        assert wait_until(lambda: batches, WAIT)
        assert [(c.name, c.value) for c in batches[0]] == [("1:DT7", 77)]
        assert poller.get("1:DT7").value == 77


def test_a_callback_that_raises_is_reported_and_polling_goes_on(rig, out):
    sim, master = rig

    def fail(changes):
        raise RuntimeError("callback broke with %d changes" % len(changes))

    with b4k_mew.Poller(master, on_change=fail) as poller:
        poller.add(1, "DT0", period=PERIOD)
        poller.start()
        out.wait_for("Ignore unhandled exception: callback broke with 1 changes")
        sim.devices[1].write_registers("DT", 0, [5])
        assert wait_until(lambda: poller.value("1:DT0") == 5, WAIT)
        with pytest.raises(TypeError):
            poller.on_change = 5
        poller.on_change = None


def test_changes_come_to_async_for_and_end_when_the_poller_closes(rig):
    sim, master = rig
    poller = b4k_mew.Poller(master)
    poller.add(1, "DT0", period=PERIOD)
    poller.add(2, "X0001", period=PERIOD)

    async def consume():
        seen = []
        stream = poller.changes()
        other = poller.changes()  # a second consumer on the same loop
        poller.start()
        async for change in stream:
            seen.append((change.name, change.value))
            if ("1:DT0", 42) in seen and ("2:X0001", True) in seen:
                break
            if len(seen) == 2:  # the first values are in: now change them
                sim.devices[1].write_registers("DT", 0, [42])
                sim.devices[2].set_contact("X", 1, True)
        # Closing the poller, from another thread, ends the other stream.
        closing = asyncio.get_running_loop().run_in_executor(None, poller.close)
        rest = [change async for change in other]
        await closing
        return seen, rest

    seen, rest = asyncio.run(asyncio.wait_for(consume(), 30))
    assert seen[:2] == [("1:DT0", 0), ("2:X0001", False)] or seen[:2] == [("2:X0001", False), ("1:DT0", 0)]
    assert ("1:DT0", 42) in seen and ("2:X0001", True) in seen
    assert ("1:DT0", 42) in [(c.name, c.value) for c in rest]

    async def after_close():
        return [change async for change in poller.changes()]

    assert asyncio.run(asyncio.wait_for(after_close(), 10)) == []
    with pytest.raises(RuntimeError):
        poller.changes()  # outside a coroutine: no loop to feed


# --- The master while polling ----------------------------------------------------------------

def test_the_master_answers_ordinary_queries_while_polling(rig):
    sim, master = rig
    with b4k_mew.Poller(master) as poller:
        for station in STATIONS:
            for i in range(60):
                poller.add(station, "DT%d" % i, period=0.01)
        poller.start()
        wait_cycles(poller, 1)
        before = poller.cycles
        for n in range(100):
            master.set_uint16(2, "DT1000", n)
            assert master.get_uint16(2, "DT1000") == n
        assert master.get_multi_uint16(3, "DT0", 60) == sim.devices[3].read_registers("DT", 0, 60)
        wait_cycles(poller, 2)
        assert poller.cycles > before + 1
        assert all(r.error is None for r in poller.snapshot().values())


# --- Start, stop, close and the poller's end ------------------------------------------------

def test_start_stop_and_close_from_other_threads_and_from_the_callback(rig):
    _, master = rig
    poller = b4k_mew.Poller(master)
    for i in range(20):
        poller.add(1, "DT%d" % (i * 30), period=0.005)
    errors = []

    def toggle(seed):
        rng = random.Random(seed)
        try:
            for _ in range(30):
                rng.choice((poller.start, poller.stop))()
        except Exception as error:  # reported below with the others
            errors.append(error)

    threads = [threading.Thread(target=toggle, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not any(t.is_alive() for t in threads) and errors == []
    poller.stop()
    assert not poller.running

    # Stopped, then closed, from inside its own callback.
    calls = []

    def stop_myself(changes):
        calls.append(len(changes))
        poller.stop()

    poller.on_change = stop_myself
    master.set_uint16(1, "DT0", 5)  # a change for the first cycle to report
    poller.start()
    assert wait_until(lambda: calls and not poller.running, WAIT)
    count = poller.cycles
    time.sleep(0.05)
    assert poller.cycles == count and len(calls) == 1
    master.set_uint16(1, "DT0", 9)
    poller.on_change = lambda changes: poller.close()
    poller.start()
    assert wait_until(lambda: poller.closed and not poller.running, WAIT)
    with pytest.raises(ValueError, match="closed"):
        poller.start()
    poller.close()  # again: nothing


def test_a_poller_dropped_while_running_stops_its_thread(rig):
    _, master = rig
    for _ in range(3):
        poller = b4k_mew.Poller(master, on_change=lambda changes: None)
        for i in range(50):
            poller.add(2, "DT%d" % (i * 10), period=0.001)
        poller.start()
        assert wait_until(lambda: poller.cycles >= 2, WAIT)  # noqa: F821 (called before the del)
        del poller
        gc.collect()
    assert wait_until(lambda: not [t for t in threading.enumerate() if t.name == "Poller"], WAIT)
    assert master.get_uint16(2, "DT0") == 0  # the master is still fine


def test_a_poller_left_running_does_not_hold_up_the_interpreters_exit():
    script = textwrap.dedent("""
        import b4k_mew
        from b4k_mew_tools import Simulator
        sim = Simulator(None)
        server = sim.listen("127.0.0.1", 0)
        sim.add_device(1)
        master = b4k_mew.MewMaster("tcp://127.0.0.1:%d" % server.port, query_timeout=0.5)
        poller = b4k_mew.Poller(master, on_change=lambda changes: None)
        poller.add(1, "DT0", period=0.01)
        poller.add(5, "DT0", period=0.01)  # silent
        poller.start()
        while poller.cycles < 3:
            pass
        print("polling", flush=True)
        master.close()  # under the running poller, which is left running
        sim.close()
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60,
                          env=dict(__import__("os").environ, PYTHONPATH=":".join(sys.path)))
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[0] == "polling"


# --- Bad input ---------------------------------------------------------------------------------

def test_bad_points_are_refused_before_anything_is_added(rig):
    _, master = rig
    poller = b4k_mew.Poller(master)
    poller.add(1, "DT0")
    for args, kwargs in [((1, "DT1", "double"), {}), ((1, "XX1"), {}), ((1, "DT1", "bool"), {}),
                         ((1, "X0001", "uint16"), {}), ((1, "DT99999", "uint32"), {}),
                         ((1, "DT1"), {"period": 0}), ((1, "DT1"), {"period": -1.0}),
                         ((1, "DT1"), {"period": float("nan")}), ((1, "DT0"), {})]:
        with pytest.raises(ValueError):
            poller.add(*args, **kwargs)
    with pytest.raises(TypeError):
        poller.add(1, "DT1", period="soon")
    with pytest.raises(TypeError):
        poller.add(1, "DT1", 16)
    # A station is refused as the master refuses it.
    for station in ("1", None, 1.5):
        with pytest.raises(Exception) as by_master:
            master.get_uint16(station, "DT0")
        with pytest.raises(by_master.type):
            poller.add(station, "DT1")
    master.decimal_stations = True
    with pytest.raises(ValueError):
        poller.add(100, "DT1")
    assert list(poller.snapshot()) == ["1:DT0"] and poller.commands_per_cycle == 1
    assert poller.get("1:DT0") == (None, None, None, None)
    with pytest.raises(TypeError):
        b4k_mew.Poller(object())
    with pytest.raises(ValueError):
        b4k_mew.Poller(master, max_words=1)
    with pytest.raises(ValueError):
        b4k_mew.Poller(master, max_gap=-1)
    with pytest.raises(TypeError):
        b4k_mew.Poller(master, on_change=3)
