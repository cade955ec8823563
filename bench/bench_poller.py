"""The poller: 1,000 points on 8 stations read by b4k_mew.Poller against a plain-Python loop of single reads.

A Simulator plays the stations to one MewMaster over a relay that delivers
each chunk after the time it takes at --baud. Idle: commands and time per
cycle. With a CPU-bound Python thread: a cached read, and the age of the last
point a cycle reads, the poller at 1.5 idle cycles, the baseline flat out.
"""

import collections
import math
import os
import random
import select
import statistics
import struct
import sys
import threading
import time

import b4k_mew

import common

STATIONS, BAUD = range(1, 9), 115200
# Commands 10 times fewer than points; a cached read under 2 us (median); the age's
# p99 within one period and one round trip (an idle cycle's time over its commands).
TARGET_FEWER_COMMANDS, TARGET_VALUE_US = 10.0, 2.0
SINGLE_READ = {  # the typed read of one point, as a Python program reads each type
    "uint16": lambda m, s, a: m.get_coil_uint16(s, a) if a.startswith("W") else m.get_uint16(s, a),
    "int16": lambda m, s, a: m.get_int16(s, a), "uint32": lambda m, s, a: m.get_uint32(s, a),
    "int32": lambda m, s, a: m.get_int32(s, a), "float32": lambda m, s, a: m.get_float32(s, a),
    "bool": lambda m, s, a: m.get_coil(s, a),
}

def layout():
    """125 points a station: (station, address, type)."""
    return [point for s in STATIONS for point in (
        [(s, "DT%d" % i, "uint16") for i in range(60)] + [(s, "DT%d" % i, "int16") for i in range(70, 85)]
        + [(s, "DT%d" % i, "uint32") for i in range(100, 130, 2)] + [(s, "LD%d" % i, "int32") for i in range(0, 20, 2)]
        + [(s, "FL%d" % i, "float32") for i in range(0, 20, 2)]
        + [(s, "X%03d%X" % (i // 16, i % 16), "bool") for i in range(0, 30, 3)]
        + [(s, "WY%d" % i, "uint16") for i in range(5)])]

def fill(sim, rng):
    for device in (sim.devices[s] for s in STATIONS):
        device.write_registers("DT", 0, [rng.randrange(65536) for _ in range(130)])
        device.write_registers("LD", 0, [rng.randrange(65536) for _ in range(20)])
        for i in range(0, 20, 2):
            device.write_float("FL", i, rng.uniform(-1000, 1000))
        device.write_words("X", 0, [rng.randrange(65536) for _ in range(2)])
        device.write_words("Y", 0, [rng.randrange(65536) for _ in range(5)])

class BaselineLoop:
    """The plain-Python poll: every point read on its own, in a loop on a thread; values and times in a dict."""

    def __init__(self, master, points):
        self.master, self.points, self.cache, self.loops, self.loop_times = master, points, {}, 0, []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="baseline poll")

    def run_once(self):
        cache, master = self.cache, self.master
        for station, address, kind in self.points:
            cache[(station, address)] = (SINGLE_READ[kind](master, station, address), time.time())

    def _run(self):
        while not self._stop.is_set():
            t0 = time.perf_counter()
            self.run_once()
            self.loop_times.append(time.perf_counter() - t0)
            self.loops += 1

    def start(self):
        self._thread.start()

    def stop(self):
        self._stop.set()
        self._thread.join()

def sample_ages(read_time, seconds, rng):
    """Ages of a value (now minus read_time()) at random moments over `seconds`."""
    ages, end = [], time.monotonic() + seconds
    while time.monotonic() < end:
        time.sleep(rng.uniform(0.001, 0.02))
        t = read_time()
        if t is not None:
            ages.append(time.time() - t)
    return ages

def time_value_reads(poller, name, calls):
    """Latencies of single Poller.value calls, seconds."""
    clock, value, latencies = time.perf_counter, poller.value, []
    append = latencies.append
    for _ in range(calls):
        t0 = clock()
        value(name)
        append(clock() - t0)
    return latencies

def check_agreement(poller, sim, points):
    """The poller's cache holds what the devices hold, point by point."""
    for station, address, kind in points:
        device, got = sim.devices[station], poller.value("%d:%s" % (station, address))
        if kind == "bool":
            want = device.get_contact(address[0], int(address[1:4]) * 16 + int(address[4], 16))
        elif address.startswith("W"):
            want = device.read_words(address[1], int(address[2:]), 1)[0]
        elif kind == "float32":
            want = device.read_float(address[:2], int(address[2:]))
        else:
            words = device.read_registers(address[:2], int(address[2:]), 2)
            want = {"uint16": words[0], "int16": struct.unpack("<h", struct.pack("<H", words[0]))[0],
                    "uint32": words[0] | words[1] << 16,
                    "int32": struct.unpack("<i", struct.pack("<HH", *words))[0]}[kind]
        if got != want:
            raise AssertionError("%d:%s holds %r, the device %r" % (station, address, got, want))

def line_child(baud):
    """The helper: relays between two ptys, each chunk delivered once the line would have carried it."""
    char_time = 10.0 / int(baud) if int(baud) else 0.0
    masters, ports = [], []
    for _ in range(2):
        master, slave = common.open_raw_pty()
        masters.append(master)
        ports.append(os.ttyname(slave))
    print(*ports, flush=True)
    peer = {masters[0]: masters[1], masters[1]: masters[0]}
    pending = {m: collections.deque() for m in masters}  # (when, bytes) to write to m
    free_at, stdin = {m: 0.0 for m in masters}, sys.stdin.fileno()
    while True:
        now = time.monotonic()
        for m in masters:
            while pending[m] and pending[m][0][0] <= now:
                os.write(m, pending[m].popleft()[1])
        due = [q[0][0] for q in pending.values() if q]
        ready, _, _ = select.select(masters + [stdin], [], [], max(0.0, min(due) - time.monotonic()) if due else None)
        if stdin in ready and not os.read(stdin, 1):
            return
        for m in masters:
            if m in ready:
                data, to = os.read(m, 4096), peer[m]
                free_at[to] = max(time.monotonic(), free_at[to]) + len(data) * char_time
                pending[to].append((free_at[to], data))

def wait_cycles(poller, count):
    while poller.cycles < count:
        time.sleep(0.005)

def age_figures(ages):
    s = sorted(ages)
    return {"median": statistics.median(s), "p99": common.percentile(s, 0.99), "max": s[-1]}

def main(argv=None):
    bench = common.Bench("poller", __doc__, (3, 3, 20000, 1), (6, 6, 200000, 2), (("--baud",), dict(
        type=int, default=BAUD, help="the line's speed (0: no delay; default %d)" % BAUD)),
        argv=argv, quick_help="shorter measurements")
    (idle_cycles, busy_periods, value_calls, baseline_loops), baud = bench.settings, bench.opts.baud
    rng, points = random.Random(1), layout()
    watched = "%d:%s" % points[-1][:2]  # the last point of the last station: read last in a cycle

    from b4k_mew_tools import Simulator
    line = common.Relay("--line", str(baud))
    with Simulator(b4k_mew.MewSerial(port=line.port_a), plc=True) as sim:
        for s in STATIONS:
            sim.add_device(s)
        fill(sim, rng)
        sim.start()
        master = b4k_mew.MewMaster(b4k_mew.MewSerial(port=line.port_b), query_timeout=2.0)
        try:
            with b4k_mew.Poller(master) as poller:  # idle: commands and cycle time
                for s, a, kind in points:
                    poller.add(s, a, kind, period=0.0001)
                commands = poller.commands_per_cycle
                poller.start()
                wait_cycles(poller, 3)
                check_agreement(poller, sim, points)
                first, t0 = poller.cycles, time.perf_counter()
                wait_cycles(poller, first + idle_cycles)
                cycle_s = (time.perf_counter() - t0) / (poller.cycles - first)
            round_trip_s, period = cycle_s / commands, max(0.1, math.ceil(cycle_s * 15) / 10)
            with b4k_mew.Poller(master) as poller:  # with a busy Python thread: cached reads and ages
                for s, a, kind in points:
                    poller.add(s, a, kind, period=period)
                poller.start()
                wait_cycles(poller, 2)
                with common.Spinner():
                    value_latencies = time_value_reads(poller, watched, value_calls)
                    first, t0 = poller.cycles, time.perf_counter()
                    ages = sample_ages(lambda: poller.get(watched).time, busy_periods * period, rng)
                    busy_cycle_s = (time.perf_counter() - t0) / max(1, poller.cycles - first)
                check_agreement(poller, sim, points)
            base = BaselineLoop(master, points)  # its idle loop fills its cache just before the busy loops
            t0 = time.perf_counter()
            base.run_once()
            base_cycle_s = time.perf_counter() - t0
            with common.Spinner():
                base.start()
                base_ages = []
                while base.loops < baseline_loops or not base_ages:  # whole loops sampled, however long
                    base_ages += sample_ages(lambda: base.cache[points[-1][:2]][1], 0.5, rng)
                base.stop()
                base_busy_cycle_s = statistics.median(base.loop_times)
        finally:
            master.close()
    line.close()

    value_latencies.sort()
    value_us = statistics.median(value_latencies) * 1e6
    value_p99_us = common.percentile(value_latencies, 0.99) * 1e6
    age, base_age, age_bound = age_figures(ages), age_figures(base_ages), period + round_trip_s
    fewer = len(points) / commands
    bench.table([{"side": "poller", "commands": commands, "cycle_ms": cycle_s * 1e3},
                 {"side": "baseline", "commands": len(points), "cycle_ms": base_cycle_s * 1e3}], "side",
                "commands=commands/cycle", "cycle_ms=cycle ms", title="Idle: %d points on %d stations, one master and "
                "a simulator on a serial line at %s" % (len(points), len(STATIONS), "%d baud" % baud if baud else
                                                        "no delay"))
    bench.say("baseline / poller: commands %.1f, cycle time %.1f (a poller's command: %.2f ms)", fewer,
              base_cycle_s / cycle_s, round_trip_s * 1e3)
    bench.say("With a CPU-bound Python thread (switch interval %.0f ms):", sys.getswitchinterval() * 1e3)
    bench.say("Poller.value: median %.2f us, p99 %.2f us (%d calls)", value_us, value_p99_us, len(value_latencies))
    bench.table([dict(side=side, period=p, cycle=c * 1e3, samples=n, **{k: v * 1e3 for k, v in a.items()})
                 for side, p, c, a, n in (("poller", "%.0f" % (period * 1e3), busy_cycle_s, age, len(ages)),
                                          ("baseline", "-", base_busy_cycle_s, base_age, len(base_ages)))],
                "side", "period=period ms", "cycle=cycle ms", "median=age median ms", "p99=age p99 ms",
                "max=age max ms", "samples", note="age: now minus the read time of %s, the last point a cycle reads, "
                "at random moments" % watched)
    bench.say("baseline / poller: age median %.1f, age max %.1f", base_age["median"] / age["median"],
              base_age["max"] / age["max"])
    bench.target("fewer_commands", "commands >= %.0fx fewer than points" % TARGET_FEWER_COMMANDS, fewer,
                 TARGET_FEWER_COMMANDS, detail="%.1fx")
    bench.target("value_us", "cached read < %.0f us" % TARGET_VALUE_US, value_us, TARGET_VALUE_US, at_most=True,
                 detail="%.2f us")
    bench.target("age_s", "age p99 <= period + round trip (%.2f ms)" % (age_bound * 1e3), age["p99"], age_bound,
                 at_most=True, detail="p99 %.2f ms, max %.2f ms" % (age["p99"] * 1e3, age["max"] * 1e3))
    return bench.finish(
        points=len(points), stations=len(STATIONS), baud=baud,
        idle={"commands_per_cycle": commands, "cycle_s": cycle_s, "round_trip_s": round_trip_s,
              "baseline_commands_per_cycle": len(points), "baseline_cycle_s": base_cycle_s},
        busy={"period_s": period, "value_median_us": value_us, "value_p99_us": value_p99_us,
              "age_s": age, "baseline_age_s": base_age, "baseline_cycle_s": base_busy_cycle_s},
        ratios={"commands": fewer, "cycle_time": base_cycle_s / cycle_s,
                "age_median": base_age["median"] / age["median"], "age_max": base_age["max"] / age["max"]})

if __name__ == "__main__":
    common.run(main, line=line_child)
