"""Tests of AsyncMewMaster, the asyncio master on the C++ engine.

Against a scripted device on an in-process line, every operation sends the
frame the blocking master sends and returns its result, and what the
blocking master refuses is refused before anything is queued. Against the
simulator, over a serial pseudo-terminal and over TCP alike: calls made
together are served one at a time in the order they were made; a call
cancelled while queued is never sent; one cancelled on the line, or whose
``asyncio.wait_for`` ran out, keeps its answer, late or not, from the call
after it; close fails what is queued; a dropped master ends its worker and
leaves no descriptor open.

A device answer is held back by a read hook of the simulator that waits on
an event, so that each of these cases comes about in the same order on
every run, whatever the machine's speed.
"""
import asyncio
import contextlib
import gc
import inspect
import os
import threading

import pytest

import b4k_mew
from b4k_mew import MewStatic
from b4k_mew_tools import Simulator, VirtualLine
from b4k_mew_tools.aio import AsyncMewMaster
from conftest import WAIT
from linkpair import wait_until
from test_master import (NAMED, NAMED_IDS, OPERATION_IDS, OPERATIONS, REFUSED, TIMEOUT_MESSAGE, Rig, frame,
                         nothing_sent)

CLOSED_QUEUED = "AsyncMewMaster: closed before the command was sent"
PORT_CLOSED = "Attempting to use a port that is not open"


def run(coroutine):
    """Runs a test's coroutine in an event loop of its own, bounded in time."""
    return asyncio.run(asyncio.wait_for(coroutine, 60))


async def until(condition, timeout=WAIT):
    """Lets the loop run until condition() holds; fails the test otherwise."""
    deadline = asyncio.get_running_loop().time() + timeout
    while not condition():
        assert asyncio.get_running_loop().time() < deadline, "condition not met in time"
        await asyncio.sleep(0.002)


def word(n):
    """The value the simulated device holds in DT<n>: different in every register."""
    return (n * 40503 + 4660) & 0xFFFF


def open_fds():
    """Descriptors open in this process, once whatever earlier tests left
    for the collector is gone."""
    gc.collect()
    return len(os.listdir("/proc/self/fd"))


# --- Against a scripted device: the blocking master's cases ------------------------

@pytest.fixture
def rig(no_thread_left):
    """Masters (AsyncMewMaster unless cls= says otherwise) on lines to
    scripted devices, as test_master makes them."""
    r = Rig()
    try:
        yield lambda reply=None, cls=AsyncMewMaster, **kwargs: r(reply, cls=cls, **kwargs)
    finally:
        r.close()


def test_every_operation_is_a_coroutine_with_the_blocking_signature():
    blocking = {n for n in dir(b4k_mew.MewMaster) if n.startswith(("get_", "set_"))} | {"query"}
    mine = {n for n in dir(AsyncMewMaster) if n.startswith(("get_", "set_"))} | {"query"}
    assert mine == blocking and len(mine) == len(OPERATIONS) + 1
    for name in mine:
        method = getattr(AsyncMewMaster, name)
        assert inspect.iscoroutinefunction(method), name
        assert method.__doc__ and not method.__doc__.startswith(name + "(")
    assert list(inspect.signature(AsyncMewMaster.set_multi_uint16).parameters) == ["self", "station", "name",
                                                                                   "values"]


def test_the_module_names_the_class():
    assert b4k_mew.AsyncMewMaster is AsyncMewMaster
    from b4k_mew import AsyncMewMaster as imported
    assert imported is AsyncMewMaster
    with pytest.raises(AttributeError, match="has no attribute 'NoSuchThing'"):
        b4k_mew.NoSuchThing


@pytest.mark.parametrize("method, args, command, response, result", OPERATIONS, ids=OPERATION_IDS)
def test_operation_frame_and_result(rig, method, args, command, response, result):
    master, device = rig(response)
    got = run(getattr(master, method)(*args))
    assert got == result
    assert type(got) is type(result)
    assert device.received == [frame(command)]


@pytest.mark.parametrize("method, args, command, response, result", NAMED, ids=NAMED_IDS)
def test_operation_by_keyword(rig, method, args, command, response, result):
    names = ("station", "name", "value" if method.startswith("set_") else "count")
    if method.startswith("set_multi_"):
        names = ("station", "name", "values")
    master, device = rig(response)
    assert run(getattr(master, method)(**dict(zip(names, args)))) == result
    assert device.received == [frame(command)]


def test_query(rig):
    master, device = rig("%01$RD3412")
    assert run(master.query(frame("%01#RDD0010000100"))) == "RD3412"
    assert run(master.query("%01#RDD0010000100")) == "RD3412"  # the CR is added
    assert device.received == [frame("%01#RDD0010000100"), "%01#RDD0010000100\r"]


@pytest.mark.parametrize("error, method, args", REFUSED,
                         ids=["%s-%s-%r" % (e.__name__, m, a[1:]) for e, m, a in REFUSED])
def test_refused_before_anything_is_queued(rig, error, method, args):
    master, device = rig("%01$RD" + "0000" * 8)

    async def call():
        coroutine = getattr(master, method)(*args)
        with pytest.raises(error):
            await coroutine
        assert master.pending == 0 and master._core.completed == 0

    run(call())
    assert nothing_sent(device)


@pytest.mark.parametrize("error, method, args", [
    (TypeError, "get_uint16", (1, 5)),
    (TypeError, "get_uint16", (1, b"DT100")),
    (ValueError, "get_uint16", ("1", "DT100")),
    (TypeError, "get_uint16", (None, "DT100")),
    (TypeError, "get_uint16", (1,)),
    (TypeError, "get_coils", (1, ["X0", 5])),
    (ValueError, "set_coils", (1, [("Y0", True, 1)])),
    (TypeError, "set_uint16", (1, "DT100", 1.5)),
    (TypeError, "set_multi_uint16", (1, "DT100", 7)),
    (TypeError, "set_float32", (1, "DT100", "x")),
    (OverflowError, "get_multi_uint16", (1, "DT100", 2 ** 64)),
    (TypeError, "query", (5,)),
], ids=lambda v: v.__name__ if isinstance(v, type) else repr(v))
def test_wrong_arguments_are_refused_as_by_the_blocking_master(rig, error, method, args):
    blocking, blocking_device = rig("%01$RD0000", cls=b4k_mew.MewMaster)
    with pytest.raises(error):
        getattr(blocking, method)(*args)
    master, device = rig("%01$RD0000")
    with pytest.raises(error):
        run(getattr(master, method)(*args))
    assert nothing_sent(device) and nothing_sent(blocking_device)


@pytest.mark.parametrize("method, args, command, response, result", OPERATIONS, ids=OPERATION_IDS)
def test_error_response(rig, method, args, command, response, result):
    master, device = rig("%01!42", query_timeout=5)
    with pytest.raises(b4k_mew.DeviceError) as info:
        run(getattr(master, method)(*args))
    assert str(info.value) == "MEW communication error code(hex): 42"
    assert info.value.code == "42"
    assert device.received == [frame(command)]


def test_timeout_then_the_next_call(rig):
    master, device = rig(None, query_timeout=0.2)

    async def calls():
        with pytest.raises(OSError, match="^" + TIMEOUT_MESSAGE + "$"):
            await master.set_coil(1, "Y10", True)
        device.answer = lambda command: MewStatic.append_tail("%01$RD3412")
        return await master.get_uint16(1, "DT100")

    assert run(calls()) == 4660


def test_a_failing_python_channel_fails_the_call_only(rig):
    master, device = rig("%01$RD3412")
    master.master._channel.fail_send = KeyError("from the channel")

    async def calls():
        with pytest.raises(KeyError, match="from the channel"):
            await master.get_uint16(1, "DT100")
        master.master._channel.fail_send = None
        return await master.get_uint16(1, "DT100")

    assert run(calls()) == 4660


# --- Against the simulator, over a serial line and over TCP --------------------------

class Hold:
    """Holds back the device's answers to reads of DT<register> until
    release(): the simulator calls its read hook before it answers."""

    def __init__(self, device, register):
        self._register = register
        self._entered = threading.Event()
        self._released = threading.Event()
        device.on_read = self._hook

    def _hook(self, area, start, values):
        if area == "DT" and start == self._register:
            self._entered.set()
            self._released.wait(WAIT)

    async def entered(self):
        await until(self._entered.is_set)

    def release(self):
        self._released.set()


class Plc:
    """A simulator with device 1, and masters that reach it."""

    def __init__(self, stack, transport):
        self._stack = stack
        self.transport = transport
        if transport == "serial":
            line = stack.enter_context(VirtualLine())
            self.sim = stack.enter_context(Simulator(b4k_mew.MewSerial(port=line.port_a)))
            self._target = lambda: b4k_mew.MewSerial(port=line.port_b)
        else:
            self.sim = stack.enter_context(Simulator(None))
            port = self.sim.listen("127.0.0.1", 0).port
            self._target = lambda: "tcp://127.0.0.1:%d" % port
        self.device = self.sim.add_device(1)
        self.device.write_registers("DT", 0, [word(n) for n in range(100)])
        self.writes = []
        self.device.on_write = lambda area, start, values: self.writes.append((area, start, list(values)))
        self.sim.start()

    def hold(self, register):
        hold = Hold(self.device, register)
        self._stack.callback(hold.release)  # also when the test failed
        return hold

    def master(self, query_timeout=WAIT, **kwargs):
        master = AsyncMewMaster(self._target(), query_timeout=query_timeout, **kwargs)
        self._stack.callback(master.close)
        return master


@pytest.fixture(params=["serial", "tcp"])
def plc(request, no_thread_left):
    with contextlib.ExitStack() as stack:
        yield Plc(stack, request.param)


def test_calls_made_together_are_served_in_the_order_made(plc):
    async def main():
        master = plc.master()
        calls = []
        for i in range(60):
            calls.append(master.set_uint16(1, "DT50", i))
            calls.append(master.get_uint16(1, "DT50"))
        calls.append(master.get_multi_uint16(1, "DT0", 100))
        results = await asyncio.gather(*calls)
        assert results[1:-1:2] == list(range(60))
        assert results[-1] == [59 if n == 50 else word(n) for n in range(100)]

    run(main())
    assert plc.writes == [("DT", 50, [i]) for i in range(60)]


def test_a_call_cancelled_while_queued_is_never_sent(plc):
    async def main():
        master = plc.master()
        hold = plc.hold(0)
        first = asyncio.create_task(master.get_uint16(1, "DT0"))
        await hold.entered()
        cancelled = asyncio.create_task(master.set_uint16(1, "DT60", 99))
        last = asyncio.create_task(master.get_uint16(1, "DT1"))
        await until(lambda: master.pending == 2)
        cancelled.cancel()
        with pytest.raises(asyncio.CancelledError):
            await cancelled
        assert master.pending == 1
        hold.release()
        assert await first == word(0)
        assert await last == word(1)

    run(main())
    assert plc.writes == []
    assert plc.device.read_registers("DT", 60, 1) == [word(60)]


def test_a_call_cancelled_on_the_line_keeps_its_answer_from_the_next(plc):
    async def main():
        master = plc.master()
        hold = plc.hold(0)
        first = asyncio.create_task(master.get_uint16(1, "DT0"))
        await hold.entered()
        first.cancel()
        with pytest.raises(asyncio.CancelledError):
            await first
        # The master is free for the next call, which waits for the line.
        second = asyncio.create_task(master.get_uint16(1, "DT1"))
        await until(lambda: master.pending == 1)
        hold.release()
        assert await second == word(1)
        assert await master.get_uint16(1, "DT2") == word(2)

    run(main())


def test_wait_for_running_out_drops_the_answer_that_comes_after(plc):
    async def main():
        master = plc.master()
        hold = plc.hold(0)
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(master.get_uint16(1, "DT0"), 0.05)
        second = asyncio.create_task(master.get_uint16(1, "DT1"))
        await until(lambda: master.pending == 1)
        hold.release()
        assert await second == word(1)

    run(main())


def test_wait_for_running_out_and_the_master_giving_up_drops_the_late_answer(plc, out):
    async def main():
        master = plc.master(query_timeout=0.8)
        hold = plc.hold(0)
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(master.get_uint16(1, "DT0"), 0.05)
        second = asyncio.create_task(master.get_uint16(1, "DT1"))
        # The first call has timed out on the line. On a serial line the
        # second waits for that call's answer before it sends its own
        # command; over TCP the first call dropped its connection, and the
        # second sends on a new one, which its answer comes back on.
        await until(lambda: master._core.completed == 1 and len(master.master._feedback_listeners) == 1)
        hold.release()
        assert await second == word(1)

    run(main())
    late = MewStatic.append_tail("%%01$RD%02X%02X" % (word(0) & 255, word(0) >> 8))
    if plc.transport == "serial":
        out.wait_for("MewMasterBase: Drop late response: " + late.rstrip("\r"))
    else:
        assert not [line for line in out.lines() if "Drop late response" in line]


def test_close_fails_the_queued_calls_and_the_one_on_the_line(plc):
    async def main():
        master = plc.master()
        hold = plc.hold(0)
        first = asyncio.create_task(master.get_uint16(1, "DT0"))
        await hold.entered()
        queued = [asyncio.create_task(master.set_uint16(1, "DT%d" % n, 1)) for n in (70, 71, 72)]
        await until(lambda: master.pending == 3)
        master.close()
        assert master.closed and master.pending == 0
        results = await asyncio.gather(first, *queued, return_exceptions=True)
        assert [type(r) for r in results] == [OSError] * 4
        assert str(results[0]) == PORT_CLOSED
        assert [str(r) for r in results[1:]] == [CLOSED_QUEUED] * 3
        with pytest.raises(OSError, match="^AsyncMewMaster: closed$"):
            await master.get_uint16(1, "DT0")
        master.close()
        hold.release()

    run(main())
    assert plc.writes == []


def test_close_from_another_thread_reaches_the_loop(plc):
    async def main():
        master = plc.master()
        hold = plc.hold(0)
        first = asyncio.create_task(master.get_uint16(1, "DT0"))
        await hold.entered()
        queued = asyncio.create_task(master.get_uint16(1, "DT1"))
        await until(lambda: master.pending == 1)
        closer = threading.Thread(target=master.close)
        closer.start()
        results = await asyncio.gather(first, queued, return_exceptions=True)
        closer.join(WAIT)
        assert [str(r) for r in results] == [PORT_CLOSED, CLOSED_QUEUED]
        hold.release()

    run(main())


def test_async_with_closes(plc):
    async def main():
        async with plc.master() as master:
            assert await master.get_uint16(1, "DT9") == word(9)
        assert master.closed
        with pytest.raises(OSError):
            await master.get_uint16(1, "DT9")

    run(main())


def test_a_dropped_master_ends_its_worker_and_leaves_nothing_open(plc):
    before = open_fds()

    async def main():
        master = AsyncMewMaster(plc._target(), query_timeout=WAIT)
        assert await master.get_uint16(1, "DT3") == word(3)
        workers = [t for t in threading.enumerate() if t.name == "AsyncMewMaster._worker"]
        assert len(workers) == 1
        del master
        gc.collect()
        assert not workers[0].is_alive()

    run(main())
    assert wait_until(lambda: open_fds() == before, WAIT), (before, open_fds())


def test_one_master_in_one_loop_after_another(plc):
    master = plc.master()
    before = None
    for n in range(5):
        assert run(master.get_uint16(1, "DT%d" % n)) == word(n)
        # The sink of a loop that has closed goes when the next loop comes.
        before = before or open_fds()
        assert open_fds() == before
    master.close()


def test_one_master_from_loops_in_two_threads(plc):
    master = plc.master()
    results, errors = {}, []

    def work(first):
        async def reads():
            return [await master.get_uint16(1, "DT%d" % n) for n in range(first, first + 30)]
        try:
            results[first] = run(reads())
        except Exception as error:  # reported below
            errors.append(error)

    threads = [threading.Thread(target=work, args=(first,)) for first in (0, 50)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert errors == [] and not any(t.is_alive() for t in threads)
    assert results == {first: [word(n) for n in range(first, first + 30)] for first in (0, 50)}


def test_line_settings_are_the_masters(plc):
    async def main():
        master = plc.master(max_read_words=8)
        assert master.max_read_words == 8 and master.frame_limit == 0 and not master.decimal_stations
        reads = []
        plc.device.on_read = lambda area, start, values: reads.append((start, len(values)))
        # One call of four commands: nothing else comes between them.
        both = await asyncio.gather(master.get_multi_uint16(1, "DT0", 30), master.get_uint16(1, "DT99"))
        assert both == [[word(n) for n in range(30)], word(99)]
        assert reads == [(0, 8), (8, 8), (16, 8), (24, 6), (99, 1)]
        master.max_read_words = None
        assert master.max_read_words == 0
        master.query_timeout = 0.25
        assert master.master._query_timeout == 0.25

    run(main())


def test_bad_construction_is_the_blocking_masters(no_thread_left):
    with pytest.raises(TypeError):
        AsyncMewMaster("tcp://127.0.0.1:1", no_such_setting=1)
    with pytest.raises(ValueError):
        AsyncMewMaster("tcp://127.0.0.1:1", frame_limit=100)
    with pytest.raises(OSError):
        AsyncMewMaster("/dev/ttyUSB99")
    with pytest.raises(TypeError, match="a MewMaster is required"):
        b4k_mew._AsyncCore(object())
