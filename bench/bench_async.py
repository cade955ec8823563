"""The asyncio master: awaited reads of AsyncMewMaster against the blocking master and a plain-Python run_in_executor wrapper.

    PYTHONPATH=build:. /usr/bin/python3 bench/bench_async.py [--quick] [--json PATH]

A Simulator (one device) runs in a helper process, reached over a virtual
serial line (relayed there too) and over TCP. Each side reads DT100 10,000
times: "blocking" (MewMaster in a loop), "async" (AsyncMewMaster, each read
awaited in turn), "executor" (the blocking read awaited through
loop.run_in_executor, the plain-Python way), and both of the last with 8
tasks reading at once. Sides alternate; the best round of each, in round
trips per second, with this process's CPU time per read. An awaited read
passes from the loop's thread to the worker and back, so on few CPUs the
blocking loop stays ahead: the targets set the asyncio master against the
asyncio way without it.
"""

import asyncio
import os
import statistics
import sys
import time

import b4k_mew

# The benchmarks run as scripts; the insert lets them be imported as well.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402

# Targets, over both transports: awaited reads one after the other at least
# this multiple of the executor wrapper's rate, at most this share of its
# CPU time per read.
TARGET_OVER_EXECUTOR = 1.3
TARGET_CPU_SHARE = 0.75

BAUDRATE = 115200
QUERY_TIMEOUT = 2.0
REGISTER = "DT100"
VALUE = 0x1234
TASKS = 8

# --- The simulator's process -----------------------------------------------------------

def serve_child(transport):
    """A simulator that answers on a virtual serial line or on TCP; says
    where a master reaches it, then serves until stdin ends."""
    from b4k_mew_tools import Simulator, VirtualLine
    line = None
    if transport == "serial":
        line = VirtualLine()
        sim = Simulator(b4k_mew.MewSerial(port=line.port_a, baudrate=BAUDRATE))
        where = line.port_b
    else:
        sim = Simulator(None)
        where = "tcp://127.0.0.1:%d" % sim.listen("127.0.0.1", 0).port
    sim.add_device(1).write_registers("DT", 100, [VALUE])
    sim.start()
    common.serve_lines(where)
    sim.close()
    if line is not None:
        line.close()


class SimulatorProcess(common.Child):
    def __init__(self, transport):
        super().__init__("--serve", transport)
        self.transport, self.where = transport, self.first

    def channel(self):
        """What a master is constructed with: a fresh serial port, or the TCP address."""
        if self.transport == "serial":
            return b4k_mew.MewSerial(port=self.where, baudrate=BAUDRATE)
        return self.where

# --- The sides -----------------------------------------------------------------------------

def check(values):
    wrong = sum(1 for v in values if v != VALUE)
    if wrong:
        raise AssertionError("%d reads other than %#x" % (wrong, VALUE))


def run_blocking(process, reads):
    master = b4k_mew.MewMaster(process.channel(), query_timeout=QUERY_TIMEOUT)
    try:
        read = master.get_uint16
        values = []
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


def run_async(process, reads, tasks, through_executor):
    async def main():
        if through_executor:
            master = b4k_mew.MewMaster(process.channel(), query_timeout=QUERY_TIMEOUT)
            reader = executor_reads
        else:
            master = b4k_mew.AsyncMewMaster(process.channel(), query_timeout=QUERY_TIMEOUT)
            reader = async_reads
        try:
            # The first call sets things up (the loop's watch, the executor's
            # threads): not part of the figure.
            await reader(master.get_uint16, tasks)
            cpu, begin = time.process_time(), time.perf_counter()
            parts = await asyncio.gather(*[reader(master.get_uint16, reads // tasks) for _ in range(tasks)])
            elapsed, cpu = time.perf_counter() - begin, time.process_time() - cpu
        finally:
            master.close()
        check([v for part in parts for v in part])
        return elapsed, cpu

    return asyncio.run(main())

SIDES = [
    ("blocking", lambda p, n: run_blocking(p, n)),
    ("async", lambda p, n: run_async(p, n, 1, False)),
    ("executor", lambda p, n: run_async(p, n, 1, True)),
    ("async %d tasks" % TASKS, lambda p, n: run_async(p, n, TASKS, False)),
    ("executor %d tasks" % TASKS, lambda p, n: run_async(p, n, TASKS, True)),
]


class Side:
    def __init__(self, process, label, run):
        self.process, self.label, self.run = process, "%s %s" % (process.transport, label), run
        self.kind = label


def measure(transport, rounds, reads, warmup):
    process = SimulatorProcess(transport)
    try:
        sides = [Side(process, label, run) for label, run in SIDES]
        samples = common.measure_sides(sides, rounds, reads, warmup, lambda side, n: side.run(side.process, n))
    finally:
        process.close()
    rows = []
    for side in sides:
        rates = [reads / elapsed for elapsed, _ in samples[side.label]]
        cpu = [1e6 * used / reads for _, used in samples[side.label]]
        rows.append({"transport": transport, "side": side.kind, "reads": reads, "round_trips_per_s": max(rates),
                     "round_trips_per_s_rounds": rates, "median_round_us": 1e6 / statistics.median(rates),
                     "cpu_us_per_read": statistics.median(cpu)})
    return rows

# --- Main ---------------------------------------------------------------------------------------

def main(argv=None):
    opts, (rounds, reads, warmup) = common.options(argv, __doc__, (2, 2000, 200), (3, 10000, 1000),
                                                   quick_help="fewer reads and rounds")

    load = common.OtherLoad()
    load.start()
    rows = measure("serial", rounds, reads, warmup) + measure("tcp", rounds, reads, warmup)
    other_load = load.stop()

    rate = {(r["transport"], r["side"]): r["round_trips_per_s"] for r in rows}
    cpu = {(r["transport"], r["side"]): r["cpu_us_per_read"] for r in rows}
    ratios = {}
    for transport in ("serial", "tcp"):
        ratios[transport] = {
            "async_over_blocking": rate[transport, "async"] / rate[transport, "blocking"],
            "async_over_executor": rate[transport, "async"] / rate[transport, "executor"],
            "tasks_async_over_executor": rate[transport, "async %d tasks" % TASKS]
            / rate[transport, "executor %d tasks" % TASKS],
            "cpu_async_over_executor": cpu[transport, "async"] / cpu[transport, "executor"],
        }
    lowest_executor = min(r["async_over_executor"] for r in ratios.values())
    highest_cpu = max(r["cpu_async_over_executor"] for r in ratios.values())
    targets = {"async_over_executor": common.target(lowest_executor, TARGET_OVER_EXECUTOR),
               "cpu_async_over_executor": common.target(highest_cpu, TARGET_CPU_SHARE, at_most=True)}

    print("Reads of one register against the simulator (another process), %d per round:" % reads)
    common.print_table([("transport", "-9s"), ("side", "-17s"), ("round trips/s", "13.0f"), ("us each", "8.1f"),
                        ("CPU us each", "11.1f")],
                       [(r["transport"], r["side"], r["round_trips_per_s"], 1e6 / r["round_trips_per_s"],
                         r["cpu_us_per_read"]) for r in rows])
    print("(best of %d rounds, sides alternating; us each: wall time per read in the best round; CPU: of this"
          % rounds)
    print(" process, all its threads, the simulator's process not counted, median round)")
    for transport, r in ratios.items():
        print("%s: async / blocking %.2f, async / executor %.2f (CPU %.2f), %d tasks: async / executor %.2f"
              % (transport, r["async_over_blocking"], r["async_over_executor"], r["cpu_async_over_executor"],
                 TASKS, r["tasks_async_over_executor"]))
    if other_load is not None:
        print("other load on the machine during the run: %.0f%% of all CPUs" % (other_load * 100))
    print()
    common.print_target("async / executor >= %.1f" % TARGET_OVER_EXECUTOR, targets["async_over_executor"],
                        "lowest %.2f" % lowest_executor)
    common.print_target("async CPU / executor CPU <= %.2f" % TARGET_CPU_SHARE, targets["cpu_async_over_executor"],
                        "highest %.2f" % highest_cpu)

    return common.finish(opts, "async", rounds=rounds, reads_per_round=reads, other_load=other_load, rows=rows,
                         ratios=ratios, targets=targets)

if __name__ == "__main__":
    common.run(main, serve=serve_child)
