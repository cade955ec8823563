"""The asyncio master: awaited reads of AsyncMewMaster against the blocking master and a plain-Python run_in_executor wrapper.

A Simulator in a helper process, over a virtual serial line and over TCP;
sides alternating: MewMaster in a loop, AsyncMewMaster awaited in turn, the
blocking read through loop.run_in_executor, and the last two with 8 tasks.
"""

import asyncio
import statistics
import time

import b4k_mew

import common

# Over both transports: awaited reads at least this multiple of the executor's rate, at most this share of its CPU.
TARGET_OVER_EXECUTOR, TARGET_CPU_SHARE = 1.3, 0.75
BAUDRATE, QUERY_TIMEOUT, REGISTER, VALUE, TASKS = 115200, 2.0, "DT100", 0x1234, 8

def serve_child(transport):
    """A simulator on a virtual serial line or on TCP: says where, serves until stdin ends."""
    from b4k_mew_tools import Simulator, VirtualLine
    line = None
    if transport == "serial":
        line = VirtualLine()
        sim, where = Simulator(b4k_mew.MewSerial(port=line.port_a, baudrate=BAUDRATE)), line.port_b
    else:
        sim = Simulator(None)
        where = "tcp://127.0.0.1:%d" % sim.listen("127.0.0.1", 0).port
    sim.add_device(1).write_registers("DT", 100, [VALUE])
    sim.start()
    common.serve_lines(where)
    sim.close()
    if line is not None:
        line.close()

def channel(where):
    """What a master is made with: a fresh serial port, or the TCP address."""
    return where if where.startswith("tcp://") else b4k_mew.MewSerial(port=where, baudrate=BAUDRATE)

def check(values):
    wrong = sum(1 for v in values if v != VALUE)
    if wrong:
        raise AssertionError("%d reads other than %#x" % (wrong, VALUE))

def run_blocking(where, reads):
    master = b4k_mew.MewMaster(channel(where), query_timeout=QUERY_TIMEOUT)
    try:
        read, values = master.get_uint16, []
        cpu, begin = time.process_time(), time.perf_counter()
        for _ in range(reads):
            values.append(read(1, REGISTER))
        elapsed, cpu = time.perf_counter() - begin, time.process_time() - cpu
    finally:
        master.close()
    check(values)
    return elapsed, cpu

async def async_reads(read, count):
    return [await read(1, REGISTER) for _ in range(count)]

async def executor_reads(read, count):
    loop = asyncio.get_running_loop()
    return [await loop.run_in_executor(None, read, 1, REGISTER) for _ in range(count)]

def run_async(where, reads, tasks, through_executor):
    async def main():
        kind, reader = (b4k_mew.MewMaster, executor_reads) if through_executor else (b4k_mew.AsyncMewMaster,
                                                                                     async_reads)
        master = kind(channel(where), query_timeout=QUERY_TIMEOUT)
        try:
            await reader(master.get_uint16, tasks)  # sets up the loop's watch, the executor's threads: not counted
            cpu, begin = time.process_time(), time.perf_counter()
            parts = await asyncio.gather(*[reader(master.get_uint16, reads // tasks) for _ in range(tasks)])
            elapsed, cpu = time.perf_counter() - begin, time.process_time() - cpu
        finally:
            master.close()
        check([v for part in parts for v in part])
        return elapsed, cpu

    return asyncio.run(main())

SIDES = [("blocking", run_blocking), ("async", lambda w, n: run_async(w, n, 1, False)),
         ("executor", lambda w, n: run_async(w, n, 1, True)),
         ("async %d tasks" % TASKS, lambda w, n: run_async(w, n, TASKS, False)),
         ("executor %d tasks" % TASKS, lambda w, n: run_async(w, n, TASKS, True))]

class Side:
    def __init__(self, where, transport, kind, run):
        self.where, self.transport, self.kind, self.run = where, transport, kind, run
        self.label = "%s %s" % (transport, kind)

def main(argv=None):
    bench = common.Bench("async", __doc__, (2, 2000, 200), (3, 10000, 1000), argv=argv,
                         quick_help="fewer reads and rounds")
    rounds, reads, warmup = bench.settings
    load, rows, ratios = common.OtherLoad().start(), [], {}
    for transport in ("serial", "tcp"):
        with common.opened(common.Child, [("--serve", transport)]) as (process,):
            sides = [Side(process.first, transport, kind, run) for kind, run in SIDES]
            samples = common.measure_sides(sides, rounds, reads, warmup, lambda side, n: side.run(side.where, n))
        for side in sides:
            rates = [reads / elapsed for elapsed, _ in samples[side.label]]
            rows.append({"transport": transport, "side": side.kind, "reads": reads, "round_trips_per_s": max(rates),
                         "round_trips_per_s_rounds": rates, "median_round_us": 1e6 / statistics.median(rates),
                         "us_each": 1e6 / max(rates),
                         "cpu_us_per_read": statistics.median(1e6 * used / reads for _, used in samples[side.label])})
        r = {row["side"]: row for row in rows[-len(SIDES):]}
        ratios[transport] = {
            "async_over_blocking": r["async"]["round_trips_per_s"] / r["blocking"]["round_trips_per_s"],
            "async_over_executor": r["async"]["round_trips_per_s"] / r["executor"]["round_trips_per_s"],
            "tasks_async_over_executor": r["async %d tasks" % TASKS]["round_trips_per_s"]
            / r["executor %d tasks" % TASKS]["round_trips_per_s"],
            "cpu_async_over_executor": r["async"]["cpu_us_per_read"] / r["executor"]["cpu_us_per_read"]}
    other_load = load.stop()
    bench.table(rows, "transport", "side", "round_trips_per_s=round trips/s", "us_each=us each",
                "cpu_us_per_read=CPU us each", title="Reads of one register against the simulator (another process), "
                "%d per round:" % reads, note="best of %d rounds, sides alternating; us each: wall time per read in "
                "the best round; CPU: of this process, all its threads, the simulator's process not counted, median "
                "round; other load on the machine during the run: %s of all CPUs" % (
                    rounds, "n/a" if other_load is None else "%.0f%%" % (other_load * 100)))
    bench.table([dict(v, transport=k) for k, v in ratios.items()], "transport",
                "async_over_blocking=async / blocking", "async_over_executor=async / executor",
                "cpu_async_over_executor=(CPU)", "tasks_async_over_executor=%d tasks: async / executor" % TASKS)
    bench.target("async_over_executor", "async / executor >= %.1f" % TARGET_OVER_EXECUTOR, min(
        r["async_over_executor"] for r in ratios.values()), TARGET_OVER_EXECUTOR, detail="lowest %.2f")
    bench.target("cpu_async_over_executor", "async CPU / executor CPU <= %.2f" % TARGET_CPU_SHARE, max(
        r["cpu_async_over_executor"] for r in ratios.values()), TARGET_CPU_SHARE, at_most=True, detail="highest %.2f")
    return bench.finish(rounds=rounds, reads_per_round=reads, other_load=other_load, rows=rows, ratios=ratios)

if __name__ == "__main__":
    common.run(main, serve=serve_child)
