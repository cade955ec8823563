"""One exchange against the C floor: b4k_mew's master, slave, poller and asyncio master against plain C.

What it measures is in the README. The callgrind counts are a long run less
a short one, so that start-up cancels out (its cost moves by some 100,000
instructions from one run to the next: the long run is 5,000 exchanges
longer, so that this stays within a few instructions per exchange); times
depend on the machine's load (the share other processes took is printed).
--quick skips callgrind.
"""

import asyncio
import contextlib
import functools
import operator
import os
import re
import resource
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import b4k_mew

import common

HERE = os.path.dirname(os.path.abspath(__file__))

TARGET_INSTRUCTIONS = 4.0      # library over C, per query and per answer
TARGET_CPU_US = 10.0           # CPU of the master's process per query
TARGET_PTY, TARGET_SOCKET = 1.15, 1.6  # library round trip over the C client's
TARGET_POLLER_US = 1.2         # CPU per point per cycle
TARGET_SEEN_MS = 1.0           # a change seen by a Python reader, p50
CONCURRENCY = (1, 8, 64)
BAUDRATE, STATION, REGISTER, VALUE = 115200, 1, "DT100", 0x1234  # the C client's read
CALLGRIND = ("valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null")
POINTS_PER_STATION, STATIONS = 125, 8

def responder(peer, fd, wrap=(), changing=False):
    """The C responder on `fd`; `changing`: the first word of a read counts its answers."""
    return subprocess.Popen([*wrap, peer, "respond", str(fd), *(["changing"] if changing else [])], pass_fds=(fd,),
                            stderr=subprocess.PIPE)

def c_client(peer, fd, count, wrap=()):
    """(elapsed, cpu) seconds of the C client's `count` reads, and its stderr."""
    done = subprocess.run([*wrap, peer, "query", str(fd), str(count)], pass_fds=(fd,), capture_output=True,
                          text=True, check=True)
    elapsed, cpu = done.stdout.split()
    return float(elapsed), float(cpu), done.stderr

def stop_responder(proc, fd):
    os.write(fd, common.PEER_STOP)
    return proc.communicate(timeout=60)[1].decode(errors="replace")

@contextlib.contextmanager
def pty(peer=None, changing=False):
    """(master fd, slave fd), with a C responder on the master side if `peer`, all closed after."""
    master_fd, slave_fd = common.open_raw_pty()
    try:
        resp = responder(peer, master_fd, changing=changing) if peer else None
        try:
            yield master_fd, slave_fd
        finally:
            if resp:
                stop_responder(resp, slave_fd)
    finally:
        os.close(master_fd)
        os.close(slave_fd)

def collected(stderr):
    found = re.findall(r"Collected\s*:\s*(\d+)", stderr)
    if not found:
        raise RuntimeError("callgrind printed no count:\n" + stderr[-2000:])
    return int(found[-1])

def library_master_client(port, count):
    """Helper run under callgrind: `count` reads of a MewMaster on `port`."""
    master = b4k_mew.MewMaster(b4k_mew.MewSerial(port=port, baudrate=BAUDRATE), query_timeout=30)
    read = master.get_uint16
    for _ in range(int(count)):
        read(STATION, REGISTER)
    master.close()

def library_slave(port):
    """Helper run under callgrind: a MewFullDuplex answering on `port` until stdin ends."""
    slave = b4k_mew.MewFullDuplex(b4k_mew.MewSerial(port=port, baudrate=BAUDRATE), slave_station=1)
    print("ready", flush=True)
    sys.stdin.read()
    slave.close()

def under_callgrind(*args):
    return [*CALLGRIND, sys.executable, os.path.abspath(__file__), *args]

def count_master(peer, library, count):
    with pty(peer) as (_, slave_fd):
        if not library:
            return collected(c_client(peer, slave_fd, count, CALLGRIND)[2])
        return collected(subprocess.run(under_callgrind("--master_client", os.ttyname(slave_fd), str(count)),
                                        capture_output=True, text=True, check=True).stderr)

def count_slave(peer, library, count):
    with pty() as (master_fd, slave_fd):
        if not library:
            proc = responder(peer, slave_fd, CALLGRIND)
            c_client(peer, master_fd, count)
            return collected(stop_responder(proc, master_fd))
        proc = subprocess.Popen(under_callgrind("--slave", os.ttyname(slave_fd)), stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        if proc.stdout.readline().strip() != "ready":
            raise RuntimeError("the slave did not start: " + proc.communicate()[1][-2000:])
        c_client(peer, master_fd, count)
        return collected(proc.communicate(timeout=120)[1])

def instructions(peer, short, long):
    """{role: (library, C)} instructions per exchange; every run counts its own
    instructions alone, so they run at once, valgrind being slow."""
    runs = [(role, count, library, n) for role, count in (("query", count_master), ("answer", count_slave))
            for library in (True, False) for n in (short, long)]
    with ThreadPoolExecutor(len(runs)) as pool:
        got = dict(zip([(r[0], r[2], r[3]) for r in runs], pool.map(lambda r: r[1](peer, r[2], r[3]), runs)))
    return {role: [(got[role, library, long] - got[role, library, short]) / (long - short) for library in (True, False)]
            for role in ("query", "answer")}

class SocketSerial(__import__("serial").serialposix.Serial):
    """A serial port on one end of a socket pair ("fd:N"), so that MewSerial moves bytes on it as on a pty."""

    def open(self):
        self.fd = int(self.port[3:])
        self.pipe_abort_read_r = self.pipe_abort_read_w = None
        self.pipe_abort_write_r = self.pipe_abort_write_w = None
        self.is_open = True

    def _reconfigure_port(self, force_update=False):
        pass

    def reset_input_buffer(self):
        pass

    def close(self):
        self.is_open = False

def library_on(kind, fd):
    if kind == "pty":
        return b4k_mew.MewMaster(b4k_mew.MewSerial(port=os.ttyname(fd), baudrate=BAUDRATE))
    import serial
    plain, serial.Serial = serial.Serial, SocketSerial
    try:
        return b4k_mew.MewMaster(b4k_mew.MewSerial(port="fd:%d" % fd))
    finally:
        serial.Serial = plain

def library_round(master, count):
    read = master.get_uint16
    before, begin = resource.getrusage(resource.RUSAGE_SELF), time.perf_counter()
    for _ in range(count):
        if read(STATION, REGISTER) != VALUE:
            raise AssertionError("a read other than %#x" % VALUE)
    elapsed, after = time.perf_counter() - begin, resource.getrusage(resource.RUSAGE_SELF)
    return elapsed, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)

def round_trips(peer, kind, rounds, count):
    """{side: [(elapsed, cpu)] of each round of `count` queries}, the sides taking turns."""
    with contextlib.ExitStack() as stack:
        ours = {}
        for label in ("library", "C"):
            if kind == "pty":
                theirs, ours[label] = common.open_raw_pty()
                stack.callback(os.close, ours[label])
            else:
                ours[label], theirs = (s.detach() for s in socket.socketpair())
            stack.callback(os.close, theirs)
            stack.callback(stop_responder, responder(peer, theirs), ours[label])
        master = library_on(kind, ours["library"])
        stack.callback(master.close)
        library_round(master, count // 10 + 1)
        c_client(peer, ours["C"], count // 10 + 1)
        samples = {"library": [], "C": []}
        for _ in range(rounds):
            samples["library"].append(library_round(master, count))
            samples["C"].append(c_client(peer, ours["C"], count)[:2])
    return samples

@contextlib.contextmanager
def poller_on(peer, changing=False):
    with pty(peer, changing) as (_, slave_fd):
        master = b4k_mew.MewMaster(b4k_mew.MewSerial(port=os.ttyname(slave_fd), baudrate=BAUDRATE))
        poller = b4k_mew.Poller(master)
        try:
            for station in range(1, STATIONS + 1):
                for register in range(POINTS_PER_STATION):
                    poller.add(station, "DT%d" % (100 + register), period=0.0005)
            poller.start()
            yield poller
        finally:
            poller.close()
            master.close()

def poller_cpu(peer, seconds):
    """(CPU seconds of this process per point and cycle, cycles), cycles back to back."""
    with poller_on(peer) as poller:
        time.sleep(seconds / 4)
        cycles, cpu = poller.cycles, time.process_time()
        time.sleep(seconds)
        cycles, cpu = poller.cycles - cycles, time.process_time() - cpu
    return cpu / max(cycles, 1) / (STATIONS * POINTS_PER_STATION), cycles

def poller_seen(peer, seconds):
    """Milliseconds from a cycle's read of a changing value to a Python thread
    looping on Poller.get seeing it, while another Python thread spins."""
    delays, stop = [], threading.Event()
    with poller_on(peer, changing=True) as poller:
        def read():
            get, last = poller.get, None
            while not stop.is_set():
                result = get("1:DT100")
                if result.time != last and result.time is not None:
                    seen = time.time()
                    if last is not None:
                        delays.append(1e3 * (seen - result.time))
                    last = result.time

        reader = threading.Thread(target=read)
        try:
            with common.Spinner():
                reader.start()
                time.sleep(seconds)
                stop.set()
                reader.join()
        finally:
            stop.set()
    return sorted(delays)

def blocking_threads(name, reads, concurrency):
    master = b4k_mew.MewMaster(b4k_mew.MewSerial(port=name, baudrate=BAUDRATE))
    try:
        def work():
            for _ in range(reads // concurrency):
                master.get_uint16(1, "DT100")

        threads = [threading.Thread(target=work) for _ in range(concurrency)]
        cpu, begin = time.process_time(), time.perf_counter()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        return time.perf_counter() - begin, time.process_time() - cpu
    finally:
        master.close()

def asyncio_tasks(name, reads, concurrency):
    async def main():
        master = b4k_mew.AsyncMewMaster(b4k_mew.MewSerial(port=name, baudrate=BAUDRATE))
        try:
            await master.get_uint16(1, "DT100")

            async def work():
                for _ in range(reads // concurrency):
                    await master.get_uint16(1, "DT100")

            cpu, begin = time.process_time(), time.perf_counter()
            await asyncio.gather(*[work() for _ in range(concurrency)])
            return time.perf_counter() - begin, time.process_time() - cpu
        finally:
            master.close()

    return asyncio.run(main())

def plain_asyncio(name, reads):
    """The ceiling of any asyncio master that reads one register at a time:
    the loop writes the C client's command and reads the answer itself when
    the line is readable, with no protocol work at all."""
    command = b"%01#RDD0010000100"
    command += b"%02X\r" % functools.reduce(operator.xor, command)

    async def main():
        fd = os.open(name, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        loop, state = asyncio.get_running_loop(), {"answer": None, "got": b""}

        def readable():
            state["got"] += os.read(fd, 256)
            if state["got"].endswith(b"\r"):
                state["got"] = b""
                state["answer"].set_result(None)

        async def read():
            state["answer"] = loop.create_future()
            os.write(fd, command)
            await state["answer"]

        loop.add_reader(fd, readable)
        try:
            await read()
            cpu, begin = time.process_time(), time.perf_counter()
            for _ in range(reads):
                await read()
            return time.perf_counter() - begin, time.process_time() - cpu
        finally:
            loop.remove_reader(fd)
            os.close(fd)

    return asyncio.run(main())

def asyncio_against_threads(peer, rounds, reads):
    rows = []
    with pty(peer) as (_, slave_fd):
        name = os.ttyname(slave_fd)
        for concurrency in CONCURRENCY:
            best = {"asyncio": [], "threads": []}
            if concurrency == 1:
                best["plain"] = []
            for _ in range(rounds):
                best["threads"].append(blocking_threads(name, reads, concurrency))
                best["asyncio"].append(asyncio_tasks(name, reads, concurrency))
                if concurrency == 1:
                    best["plain"].append(plain_asyncio(name, reads))
            row = {"concurrency": concurrency}
            for label, got in best.items():
                row[label + "_reads_per_s"] = max(reads // concurrency * concurrency / e for e, _ in got)
                row[label + "_cpu_us_per_read"] = 1e6 * statistics.median(c for _, c in got) / reads
            row["ratio"] = row["asyncio_reads_per_s"] / row["threads_reads_per_s"]
            if "plain" in best:
                row["plain_ratio"] = row["plain_reads_per_s"] / row["threads_reads_per_s"]
            rows.append(row)
    return rows

def main(argv=None):
    bench = common.Bench("exchange", __doc__, (1, 100, 0.2, 128), (5, 5000, 2.0, 4096), argv=argv,
                         quick_help="no callgrind, about a hundred exchanges of each kind")
    (rounds, count, seconds, reads), report = bench.settings, {}
    cc = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if cc is None:
        bench.say("no C compiler: nothing to compare with")
        return bench.finish()
    with tempfile.TemporaryDirectory() as tmp:
        peer = os.path.join(tmp, "exchange_peer")
        subprocess.run([cc, "-O2", "-o", peer, os.path.join(HERE, "exchange_peer.c")], check=True)
        load = common.OtherLoad()
        if not bench.opts.quick and shutil.which("valgrind"):
            load.start()
            figures = instructions(peer, 200, 5200)
            report["instructions"] = {role: {"library": lib, "C": c} for role, (lib, c) in figures.items()}
            bench.table([{"role": role, "library": lib, "C": c, "ratio": lib / c} for role, (lib, c) in
                         figures.items()], "role=instructions per", ("library", "b4k_mew", "%.0f"), ("C", "C", "%.0f"),
                        "ratio", note="callgrind; the master's process per query, the slave's per answer")
            for role, (lib, c) in figures.items():
                bench.target("instructions_" + role, "instructions per %s <= %.0fx C" % (role, TARGET_INSTRUCTIONS),
                             lib / c, TARGET_INSTRUCTIONS, at_most=True, detail="%.2fx")
        else:
            bench.say("callgrind: skipped (%s)", "--quick" if bench.opts.quick else "valgrind not installed")
        rows = []
        for kind in ("pty", "socket pair"):
            load.start()
            samples = round_trips(peer, kind, rounds, count)
            lib, c = (min(e for e, _ in samples[side]) / count for side in ("library", "C"))
            cpu, c_cpu = (statistics.median(u for _, u in samples[side]) / count for side in ("library", "C"))
            rows.append({"link": kind, "library_us": 1e6 * lib, "c_us": 1e6 * c, "ratio": lib / c,
                         "library_cpu_us": 1e6 * cpu, "c_cpu_us": 1e6 * c_cpu, "other_load": load.stop()})
            rows[-1]["other_pc"] = 100 * (rows[-1]["other_load"] or 0)
        report["round_trips"] = rows
        bench.table(rows, "link=round trip", "library_us=b4k_mew us", "c_us=C us", "ratio", "library_cpu_us=CPU us",
                    "c_cpu_us=C CPU us", ("other_pc", "other load %", "%.0f"), note="best of %d rounds of %d "
                    "queries, alternated; CPU: the querying process's, median round" % (rounds, count))
        for r, goal, key in ((rows[0], TARGET_PTY, "pty"), (rows[1], TARGET_SOCKET, "socket_pair")):
            bench.target(key, "%s round trip <= %.2fx C" % (r["link"], goal), r["ratio"], goal, at_most=True,
                         detail="%.2fx")
        bench.target("cpu_per_query", "CPU per query <= %.0f us" % TARGET_CPU_US, rows[0]["library_cpu_us"],
                     TARGET_CPU_US, at_most=True, detail="%.1f us")
        load.start()
        per_point, cycles = poller_cpu(peer, seconds)
        delays = poller_seen(peer, seconds)
        other = load.stop()
        p50, p90 = (common.percentile(delays, q) if delays else float("nan") for q in (0.5, 0.9))
        report["poller"] = {"cpu_us_per_point_cycle": 1e6 * per_point, "cycles": cycles, "seen_ms_p50": p50,
                            "seen_ms_p90": p90 if delays else None, "changes_seen": len(delays), "other_load": other}
        bench.say("poller: %.2f us CPU per point per cycle (%d cycles of %d points); a change seen after %.2f ms p50, "
                  "%.2f ms p90 (%d changes, a Python thread spinning); other load %.0f%%", 1e6 * per_point, cycles,
                  STATIONS * POINTS_PER_STATION, p50, p90 if delays else 0, len(delays), 100 * (other or 0))
        bench.target("poller_cpu", "poller CPU per point <= %g" % TARGET_POLLER_US, 1e6 * per_point, TARGET_POLLER_US,
                     at_most=True)
        bench.target("poller_seen", "change seen p50 (ms) <= %g" % TARGET_SEEN_MS, p50, TARGET_SEEN_MS, at_most=True)
        load.start()
        rows = asyncio_against_threads(peer, rounds, reads)
        report["asyncio"] = {"rows": rows, "other_load": load.stop()}
        bench.table(rows, "concurrency=concurrent", "asyncio_reads_per_s=asyncio/s", "threads_reads_per_s=threads/s",
                    "ratio", "asyncio_cpu_us_per_read=asyncio CPU us", "threads_cpu_us_per_read=threads CPU us",
                    "plain_ratio=plain loop / threads", note="get_uint16 over a pty from a C responder, best of %d "
                    "rounds of %d reads; plain loop: asyncio writing the command and reading the answer itself with no "
                    "protocol work, the ceiling at one read at a time; other load %.0f%%"
                    % (rounds, reads, 100 * (report["asyncio"]["other_load"] or 0)))
        bench.target("asyncio", "asyncio >= threads at %s" % "/".join(map(str, CONCURRENCY)),
                     min(r["ratio"] for r in rows), 1.0, detail="lowest %.2f")
    return bench.finish(**report)

if __name__ == "__main__":
    common.run(main, master_client=library_master_client, slave=library_slave)
