"""One exchange against the C floor: b4k_mew's master, slave, poller and asyncio master against plain C.

Run from the repository root after building:

    PYTHONPATH=build:. /usr/bin/python3 bench/bench_exchange.py [--quick] [--json PATH]

The benchmark compiles bench/exchange_peer.c (with cc) into a plain C client
(one write and one read per query) and a plain C responder (one read and one
write per answer), and measures:

  instructions  valgrind's callgrind counts the instructions of the master's
                process per query (b4k_mew.MewMaster.get_uint16 in a Python
                loop, receiver thread included, against the C client's same
                read: command built, answer checked and decoded) and of
                the slave's process per answer (b4k_mew.MewFullDuplex against
                the C responder), each over a raw pty with the C program on
                the other end. Counted as the difference between a long and
                a short run, so that starting the interpreter cancels out.
  round trips   queries back to back over a raw pty, and over a socket pair,
                to a C responder in a child process: the library master in
                this process against the C client, rounds alternated; with
                the CPU time of the querying process per query.
  poller        a b4k_mew.Poller reading 1,000 registers on 8 stations back
                to back from a C responder: CPU of this process per point and
                cycle; then, with a responder whose values change on every
                answer and a Python thread spinning, how long after a cycle
                read a value a Python thread looping on Poller.get sees it.
  asyncio       b4k_mew.AsyncMewMaster with 1, 8 and 64 tasks reading at once
                against one blocking b4k_mew.MewMaster shared by 1, 8 and 64
                threads, rounds alternated: reads per second and CPU per read.

The callgrind counts do not depend on the machine's load; every time does,
so the share of the CPUs other processes kept busy is printed beside the
figures. --quick (what CI runs) skips callgrind and runs about a hundred
exchanges of each kind. It is a benchmark, not a test: it always exits 0
once the figures are printed, whether the targets are met or not.
"""

import asyncio
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

import b4k_mew

# The benchmarks run as scripts; the insert lets them be imported as well.
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import common  # noqa: E402

TARGET_INSTRUCTIONS = 4.0      # library over C, per query and per answer
TARGET_CPU_US = 10.0           # CPU of the master's process per query
TARGET_PTY = 1.15              # library round trip over the C client's, pty
TARGET_SOCKET = 1.6            # the same over a socket pair
TARGET_POLLER_US = 1.2         # CPU per point per cycle
TARGET_SEEN_MS = 1.0           # a change seen by a Python reader, p50
CONCURRENCY = (1, 8, 64)

BAUDRATE = 115200
# What the C client does in a query: station 1's DT100, built, sent, checked, decoded.
STATION, REGISTER, VALUE = 1, "DT100", 0x1234


# --- The C programs -------------------------------------------------------------

def build_peer(directory):
    """Compiles exchange_peer.c; the program's path, or None without a C compiler."""
    cc = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if cc is None:
        return None
    exe = os.path.join(directory, "exchange_peer")
    subprocess.run([cc, "-O2", "-o", exe, os.path.join(HERE, "exchange_peer.c")], check=True)
    return exe


def responder(peer, fd, wrap=(), changing=False):
    """The C responder on `fd`; `changing`: the first word of every read it
    answers counts its answers."""
    return subprocess.Popen([*wrap, peer, "respond", str(fd), *(["changing"] if changing else [])], pass_fds=(fd,),
                            stderr=subprocess.PIPE)


def c_client(peer, fd, count, wrap=()):
    """The C client's (elapsed, cpu) seconds for `count` reads, and its stderr."""
    done = subprocess.run([*wrap, peer, "query", str(fd), str(count)], pass_fds=(fd,),
                          capture_output=True, text=True, check=True)
    elapsed, cpu = done.stdout.split()
    return float(elapsed), float(cpu), done.stderr


def stop_responder(proc, fd):
    os.write(fd, common.PEER_STOP)
    _, err = proc.communicate(timeout=60)
    return err.decode(errors="replace")


# --- Instructions ---------------------------------------------------------------------

CALLGRIND = ("valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null")


def collected(stderr):
    found = re.findall(r"Collected\s*:\s*(\d+)", stderr)
    if not found:
        raise RuntimeError("callgrind printed no count:\n" + stderr[-2000:])
    return int(found[-1])


def library_master_client(port, count):
    """Run under callgrind: `count` reads of a MewMaster on `port`."""
    master = b4k_mew.MewMaster(b4k_mew.MewSerial(port=port, baudrate=BAUDRATE), query_timeout=30)
    read = master.get_uint16
    for _ in range(count):
        read(STATION, REGISTER)
    master.close()


def library_slave(port):
    """Run under callgrind: a MewFullDuplex answering on `port` until stdin ends."""
    slave = b4k_mew.MewFullDuplex(b4k_mew.MewSerial(port=port, baudrate=BAUDRATE), slave_station=1)
    print("ready", flush=True)
    sys.stdin.read()
    slave.close()


def python_under_callgrind(*args):
    # The helpers run through common.run: "--master_client PORT N", "--slave PORT".
    return [*CALLGRIND, sys.executable, os.path.abspath(__file__), *args]


def count_master(peer, library, count):
    master_fd, slave_fd = common.open_raw_pty()
    try:
        resp = responder(peer, master_fd)
        try:
            if library:
                done = subprocess.run(python_under_callgrind("--master_client", os.ttyname(slave_fd), str(count)),
                                      capture_output=True, text=True, check=True)
                err = done.stderr
            else:
                err = c_client(peer, slave_fd, count, CALLGRIND)[2]
        finally:
            stop_responder(resp, slave_fd)
    finally:
        os.close(master_fd)
        os.close(slave_fd)
    return collected(err)


def count_slave(peer, library, count):
    master_fd, slave_fd = common.open_raw_pty()
    try:
        if library:
            proc = subprocess.Popen(python_under_callgrind("--slave", os.ttyname(slave_fd)), stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            if proc.stdout.readline().strip() != "ready":
                raise RuntimeError("the slave did not start: " + proc.communicate()[1][-2000:])
            c_client(peer, master_fd, count)
            _, err = proc.communicate(timeout=120)
        else:
            proc = responder(peer, slave_fd, CALLGRIND)
            c_client(peer, master_fd, count)
            err = stop_responder(proc, master_fd)
    finally:
        os.close(master_fd)
        os.close(slave_fd)
    return collected(err)


def instructions(peer, short, long):
    """Instructions per exchange, (library, C), for the master's and the slave's side."""
    # Every run counts its own instructions alone, whatever runs beside it:
    # they run at once, valgrind being slow.
    from concurrent.futures import ThreadPoolExecutor
    runs = [(role, count, library, n) for role, count in (("query", count_master), ("answer", count_slave))
            for library in (True, False) for n in (short, long)]
    with ThreadPoolExecutor(len(runs)) as pool:
        counted = list(pool.map(lambda run: run[1](peer, run[2], run[3]), runs))
    got = {(role, library, n): c for (role, _, library, n), c in zip(runs, counted)}
    return {role: [(got[role, library, long] - got[role, library, short]) / (long - short) for library in (True, False)]
            for role in ("query", "answer")}


# --- Round trips ---------------------------------------------------------------------------

class SocketSerial(__import__("serial").serialposix.Serial):
    """A serial port object on one end of a socket pair, so that MewSerial
    moves its bytes on the descriptor as on a pty (the port is "fd:N")."""

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


def library_on(kind, fd, name):
    if kind == "pty":
        channel = b4k_mew.MewSerial(port=name, baudrate=BAUDRATE)
    else:
        import serial
        plain, serial.Serial = serial.Serial, SocketSerial
        try:
            channel = b4k_mew.MewSerial(port="fd:%d" % fd)
        finally:
            serial.Serial = plain
    return b4k_mew.MewMaster(channel)


def open_link(kind):
    """(our end's descriptor, its name, the peer's descriptor)."""
    if kind == "pty":
        master_fd, slave_fd = common.open_raw_pty()
        return slave_fd, os.ttyname(slave_fd), master_fd
    ours, theirs = socket.socketpair()
    return ours.detach(), None, theirs.detach()


def library_round(master, count):
    read = master.get_uint16
    before = resource.getrusage(resource.RUSAGE_SELF)
    begin = time.perf_counter()
    for _ in range(count):
        if read(STATION, REGISTER) != VALUE:
            raise AssertionError("a read other than %#x" % VALUE)
    elapsed = time.perf_counter() - begin
    after = resource.getrusage(resource.RUSAGE_SELF)
    return elapsed, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def round_trips(peer, kind, rounds, count):
    """Per side, [(elapsed, cpu)] of each round of `count` queries; the sides take turns."""
    links = {label: open_link(kind) for label in ("library", "C")}
    responders = [responder(peer, theirs) for _, _, theirs in links.values()]
    ours, name, _ = links["library"]
    master = library_on(kind, ours, name)
    try:
        library_round(master, count // 10 + 1)
        c_client(peer, links["C"][0], count // 10 + 1)
        samples = {"library": [], "C": []}
        for _ in range(rounds):
            samples["library"].append(library_round(master, count))
            samples["C"].append(c_client(peer, links["C"][0], count)[:2])
    finally:
        master.close()
        for (ours, _, theirs), proc in zip(links.values(), responders):
            stop_responder(proc, ours)
            os.close(theirs)
            if kind == "pty":
                os.close(ours)
    return samples


# --- The poller ------------------------------------------------------------------------------

POINTS_PER_STATION = 125
STATIONS = 8


def make_poller(name):
    master = b4k_mew.MewMaster(b4k_mew.MewSerial(port=name, baudrate=BAUDRATE))
    poller = b4k_mew.Poller(master)
    for station in range(1, STATIONS + 1):
        for register in range(POINTS_PER_STATION):
            poller.add(station, "DT%d" % (100 + register), period=0.0005)
    return master, poller


def poller_cpu(peer, seconds):
    """CPU seconds of this process per point and cycle, cycles back to back."""
    master_fd, slave_fd = common.open_raw_pty()
    resp = responder(peer, master_fd)
    master, poller = make_poller(os.ttyname(slave_fd))
    try:
        poller.start()
        time.sleep(seconds / 4)
        cycles, cpu = poller.cycles, time.process_time()
        time.sleep(seconds)
        cycles, cpu = poller.cycles - cycles, time.process_time() - cpu
    finally:
        poller.close()
        master.close()
        stop_responder(resp, slave_fd)
        os.close(master_fd)
        os.close(slave_fd)
    return cpu / max(cycles, 1) / (STATIONS * POINTS_PER_STATION), cycles


def poller_seen(peer, seconds):
    """Milliseconds from a cycle's read of a changing value to a Python thread
    looping on Poller.get seeing it, while another Python thread spins."""
    master_fd, slave_fd = common.open_raw_pty()
    resp = responder(peer, master_fd, changing=True)
    master, poller = make_poller(os.ttyname(slave_fd))
    watched = "1:DT100"
    delays, stop = [], threading.Event()

    def read():
        get, last = poller.get, None
        while not stop.is_set():
            result = get(watched)
            if result.time != last and result.time is not None:
                seen = time.time()
                if last is not None:
                    delays.append(1e3 * (seen - result.time))
                last = result.time

    reader, spinner = threading.Thread(target=read), common.Spinner()
    try:
        poller.start()
        with spinner:
            reader.start()
            time.sleep(seconds)
            stop.set()
            reader.join()
    finally:
        stop.set()
        poller.close()
        master.close()
        stop_responder(resp, slave_fd)
        os.close(master_fd)
        os.close(slave_fd)
    return sorted(delays)


# --- Asyncio against threads -------------------------------------------------------------------

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


def asyncio_against_threads(peer, rounds, reads):
    master_fd, slave_fd = common.open_raw_pty()
    resp = responder(peer, master_fd)
    name = os.ttyname(slave_fd)
    rows = []
    try:
        for concurrency in CONCURRENCY:
            best = {"asyncio": [], "threads": []}
            for _ in range(rounds):
                best["threads"].append(blocking_threads(name, reads, concurrency))
                best["asyncio"].append(asyncio_tasks(name, reads, concurrency))
            row = {"concurrency": concurrency}
            for label, got in best.items():
                row[label + "_reads_per_s"] = max(reads // concurrency * concurrency / e for e, _ in got)
                row[label + "_cpu_us_per_read"] = 1e6 * statistics.median(c for _, c in got) / reads
            rows.append(row)
    finally:
        stop_responder(resp, slave_fd)
        os.close(master_fd)
        os.close(slave_fd)
    return rows


# --- Main --------------------------------------------------------------------------------------

def main(argv=None):
    opts, (rounds, count, seconds, reads) = common.options(
        argv, __doc__, (1, 100, 0.2, 128), (5, 5000, 2.0, 4096),
        quick_help="no callgrind, about a hundred exchanges of each kind")
    report = {"targets": {}}
    with tempfile.TemporaryDirectory() as tmp:
        peer = build_peer(tmp)
        if peer is None:
            print("no C compiler: nothing to compare with")
            return common.finish(opts, "exchange", **report)

        load = common.OtherLoad()
        if not opts.quick and shutil.which("valgrind"):
            load.start()
            figures = instructions(peer, 200, 1200)
            report["instructions"] = {role: {"library": lib, "C": c} for role, (lib, c) in figures.items()}
            common.print_table([("instructions per", "-16s"), ("b4k_mew", "10.0f"), ("C", "8.0f"), ("ratio", "7.2f")],
                               [(role, lib, c, lib / c) for role, (lib, c) in figures.items()])
            print("(callgrind; the master's process per query, the slave's per answer)\n")
            for role, (lib, c) in figures.items():
                entry = common.target(lib / c, TARGET_INSTRUCTIONS, at_most=True)
                report["targets"]["instructions_" + role] = entry
                common.print_target("instructions per %s <= %.0fx C" % (role, TARGET_INSTRUCTIONS), entry,
                                    "%.2fx" % (lib / c))
            print()
        else:
            print("callgrind: skipped (%s)\n" % ("--quick" if opts.quick else "valgrind not installed"))

        rows = []
        for kind in ("pty", "socket pair"):
            load.start()
            samples = round_trips(peer, kind, rounds, count)
            other = load.stop()
            lib = min(e for e, _ in samples["library"]) / count
            c = min(e for e, _ in samples["C"]) / count
            cpu = statistics.median(u for _, u in samples["library"]) / count
            c_cpu = statistics.median(u for _, u in samples["C"]) / count
            rows.append({"link": kind, "library_us": 1e6 * lib, "c_us": 1e6 * c, "ratio": lib / c,
                         "library_cpu_us": 1e6 * cpu, "c_cpu_us": 1e6 * c_cpu, "other_load": other})
        report["round_trips"] = rows
        common.print_table([("round trip", "-12s"), ("b4k_mew us", "11.1f"), ("C us", "7.1f"), ("ratio", "6.2f"),
                            ("CPU us", "7.1f"), ("C CPU us", "9.1f"), ("other load %", "12.0f")],
                           [(r["link"], r["library_us"], r["c_us"], r["ratio"], r["library_cpu_us"], r["c_cpu_us"],
                             100 * (r["other_load"] or 0)) for r in rows])
        print("(best of %d rounds of %d queries, alternated; CPU: the querying process's, median round)\n"
              % (rounds, count))
        for r, goal, key in ((rows[0], TARGET_PTY, "pty"), (rows[1], TARGET_SOCKET, "socket_pair")):
            entry = common.target(r["ratio"], goal, at_most=True)
            report["targets"][key] = entry
            common.print_target("%s round trip <= %.2fx C" % (r["link"], goal), entry, "%.2fx" % r["ratio"])
        entry = common.target(rows[0]["library_cpu_us"], TARGET_CPU_US, at_most=True)
        report["targets"]["cpu_per_query"] = entry
        common.print_target("CPU per query <= %.0f us" % TARGET_CPU_US, entry, "%.1f us" % rows[0]["library_cpu_us"])
        print()

        load.start()
        per_point, cycles = poller_cpu(peer, seconds)
        delays = poller_seen(peer, seconds)
        other = load.stop()
        p50 = common.percentile(delays, 0.5) if delays else float("nan")
        report["poller"] = {"cpu_us_per_point_cycle": 1e6 * per_point, "cycles": cycles, "seen_ms_p50": p50,
                            "seen_ms_p90": common.percentile(delays, 0.9) if delays else None,
                            "changes_seen": len(delays), "other_load": other}
        print("poller: %.2f us CPU per point per cycle (%d cycles of %d points); a change seen after %.2f ms p50, "
              "%.2f ms p90 (%d changes, a Python thread spinning); other load %.0f%%"
              % (1e6 * per_point, cycles, STATIONS * POINTS_PER_STATION, p50, report["poller"]["seen_ms_p90"] or 0,
                 len(delays), 100 * (other or 0)))
        for key, value, goal, what in (("poller_cpu", 1e6 * per_point, TARGET_POLLER_US, "poller CPU per point"),
                                       ("poller_seen", p50, TARGET_SEEN_MS, "change seen p50 (ms)")):
            entry = common.target(value, goal, at_most=True)
            report["targets"][key] = entry
            common.print_target("%s <= %g" % (what, goal), entry, "%.2f" % value)
        print()

        load.start()
        rows = asyncio_against_threads(peer, rounds, reads)
        other = load.stop()
        report["asyncio"] = {"rows": rows, "other_load": other}
        common.print_table([("concurrent", "10d"), ("asyncio/s", "10.0f"), ("threads/s", "10.0f"), ("ratio", "6.2f"),
                            ("asyncio CPU us", "15.1f"), ("threads CPU us", "15.1f")],
                           [(r["concurrency"], r["asyncio_reads_per_s"], r["threads_reads_per_s"],
                             r["asyncio_reads_per_s"] / r["threads_reads_per_s"], r["asyncio_cpu_us_per_read"],
                             r["threads_cpu_us_per_read"]) for r in rows])
        print("(get_uint16 over a pty from a C responder, best of %d rounds of %d reads; other load %.0f%%)"
              % (rounds, reads, 100 * (other or 0)))
        worst = min(r["asyncio_reads_per_s"] / r["threads_reads_per_s"] for r in rows)
        entry = common.target(worst, 1.0)
        report["targets"]["asyncio"] = entry
        common.print_target("asyncio >= threads at %s" % "/".join(map(str, CONCURRENCY)), entry, "lowest %.2f" % worst)

    return common.finish(opts, "exchange", **report)


if __name__ == "__main__":
    common.run(main, master_client=lambda port, count: library_master_client(port, int(count)),
               slave=library_slave)
