"""Soak: two full-duplex stations (slave stations 1 and 2) on a pair of
pseudo-terminals query each other from four threads each, for a while.

Each thread writes fresh values into a register range of the other station
that belongs to it alone and reads them back, and reads registers that the
other station holds with fixed values; so every answer has exactly one right
value. What has to hold: not one wrong or missing answer, and the thread
count, the open file descriptors and the resident memory the same at the
end as after the warm-up.

How long: `--soak-seconds`, else $MEW_SOAK_SECONDS, else 60 s. The figures
are printed (shown with -s) and, when $MEW_SOAK_REPORT names a file, written
there as JSON. `-m 'not soak'` leaves the test out.

The line is a pty pair joined by socat when it is installed, else the
in-process VirtualLine.
"""
import contextlib
import faulthandler
import gc
import json
import os
import random
import shutil
import subprocess
import sys
import threading
import time

import pytest

import b4k_mew
from b4k_mew_tools import VirtualLine

from linkpair import wait_until
from memstation import MemoryStation

DEFAULT_SECONDS = 60.0
THREADS_PER_STATION = 4
QUERY_TIMEOUT = 2.0  # an answer later than this counts as lost
OWN_RANGE = 100  # registers per querying thread, at 100 * thread index
KNOWN_BASE, KNOWN_COUNT = 5000, 64  # registers each station holds with fixed values
MAX_RUN = 8  # registers per command at most
RSS_TOLERANCE_KB = 4096  # allocator slack after the warm-up, not growth per exchange
WAIT = 10.0  # upper bound of the waits for setting up and shutting down


def known_value(station, register):
    return (station * 0x1111 + register * 7919) & 0xFFFF


def soak_seconds(config):
    option = config.getoption("soak_seconds")
    if option is not None:
        return option
    return float(os.environ.get("MEW_SOAK_SECONDS", DEFAULT_SECONDS))


@contextlib.contextmanager
def pty_pair(tmp_path):
    """(how, port a, port b): two pseudo-terminals joined back to back."""
    socat = shutil.which("socat")
    if socat is None:
        with VirtualLine() as line:
            yield "VirtualLine", line.port_a, line.port_b
        return
    a, b = str(tmp_path / "pty-a"), str(tmp_path / "pty-b")
    proc = subprocess.Popen([socat, "-d", "-d", "pty,raw,echo=0,link=" + a, "pty,raw,echo=0,link=" + b],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        assert wait_until(lambda: os.path.exists(a) and os.path.exists(b), WAIT), "socat made no ptys"
        yield "socat", a, b
    finally:
        proc.terminate()
        try:
            proc.wait(WAIT)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(WAIT)


def rss_kb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS in /proc/self/status")


def under_address_sanitizer():
    """AddressSanitizer holds freed memory back (its quarantine, hundreds of
    megabytes) before reusing it, so resident memory grows under it anyway."""
    with open("/proc/self/maps") as f:
        return any("libasan" in line or "clang_rt.asan" in line for line in f)


def resources():
    gc.collect()
    return {
        "threads": threading.active_count(),
        "tasks": len(os.listdir("/proc/self/task")),  # native threads too
        "fds": len(os.listdir("/proc/self/fd")),
        "rss_kb": rss_kb(),
    }


class Tally:
    """What the querying threads saw; one lock for all of them."""

    def __init__(self):
        self.lock = threading.Lock()
        self.exchanges = 0
        self.mismatches = []  # the first few
        self.mismatch_count = 0
        self.lost = 0
        self.errors = []  # the first few

    def add(self, exchanges=0, mismatch=None, lost=0, error=None):
        with self.lock:
            self.exchanges += exchanges
            self.lost += lost
            if mismatch is not None:
                self.mismatch_count += 1
                if len(self.mismatches) < 20:
                    self.mismatches.append(mismatch)
            if error is not None and len(self.errors) < 20:
                self.errors.append(error)


def querier(master, peer, index, stop, tally, seed):
    """One querying thread of `master`, against station `peer`."""
    rng = random.Random(seed)
    base = OWN_RANGE * index
    serial = 0
    while not stop.is_set():
        count = rng.randint(1, MAX_RUN)
        start = base + rng.randrange(OWN_RANGE - count + 1)
        values = []
        for _ in range(count):
            serial += 1
            # Unique within the thread for 65536 values, and never the
            # register's previous value.
            values.append((serial * 40503 + index) & 0xFFFF)
        known = KNOWN_BASE + rng.randrange(KNOWN_COUNT - count + 1)
        try:
            master.set_multi_uint16(peer, "DT%d" % start, values)
            tally.add(exchanges=1)
            got = master.get_multi_uint16(peer, "DT%d" % start, count)
            tally.add(exchanges=1)
            if got != values:
                tally.add(mismatch="DT%d..: wrote %r, read %r" % (start, values, got))
            got = master.get_multi_uint16(peer, "DT%d" % known, count)
            tally.add(exchanges=1)
            want = [known_value(peer, known + i) for i in range(count)]
            if got != want:
                tally.add(mismatch="DT%d..: read %r, holds %r" % (known, got, want))
        except OSError as e:
            if str(e) == "MewMasterBase: device response timeout.":
                tally.add(lost=1)
            else:
                tally.add(error="%s: %s" % (type(e).__name__, e))
        except Exception as e:  # noqa: BLE001 - every failure is a finding
            tally.add(error="%s: %s" % (type(e).__name__, e))


def close_within(station, timeout=WAIT):
    t = threading.Thread(target=station.close, name="close", daemon=True)
    t.start()
    t.join(timeout)
    assert not t.is_alive(), "close() did not return within %s s" % timeout


@pytest.mark.soak
def test_soak_two_full_duplex_stations(request, tmp_path, capsys):
    seconds = soak_seconds(request.config)
    warm_up = min(5.0, seconds / 6)
    faulthandler.dump_traceback_later(seconds + 120, exit=True, file=sys.__stderr__)
    threads_before = set(threading.enumerate())
    fds_before = len(os.listdir("/proc/self/fd"))
    tally = Tally()
    stop = threading.Event()
    try:
        with pty_pair(tmp_path) as (how, port_a, port_b):
            stations = []
            workers = []
            try:
                for number, port in ((1, port_a), (2, port_b)):
                    known = {KNOWN_BASE + i: known_value(number, KNOWN_BASE + i) for i in range(KNOWN_COUNT)}
                    stations.append(MemoryStation(b4k_mew.MewSerial(port=port), slave_station=number,
                                                  query_timeout=QUERY_TIMEOUT, registers=known))
                assert wait_until(lambda: all(len(s._query_listeners) == 1 for s in stations), WAIT), \
                    "worker did not start"
                workers += [threading.Thread(target=querier, name="soak-%d-%d" % (peer, i),
                                             args=(master, peer, i, stop, tally, peer * 10 + i))
                            for master, peer in ((stations[0], 2), (stations[1], 1))
                            for i in range(THREADS_PER_STATION)]
                for w in workers:
                    w.start()
                time.sleep(warm_up)
                start = resources()
                start_exchanges, start_time = tally.exchanges, time.monotonic()
                time.sleep(seconds - warm_up)
                end = resources()
                end_exchanges, elapsed = tally.exchanges, time.monotonic() - start_time
            finally:
                stop.set()
                for w in workers:
                    w.join(QUERY_TIMEOUT * 2 + WAIT)
                hanging = [w.name for w in workers if w.is_alive()]
                # Popped, not iterated: a closed serial channel keeps a
                # little of itself (a wake-up pipe) until it is destroyed,
                # and a loop variable would keep the last one alive.
                while stations:
                    close_within(stations.pop())
                del workers[:]
                gc.collect()
            assert not hanging, "querying threads hang: %s" % hanging
    finally:
        faulthandler.cancel_dump_traceback_later()

    printed = capsys.readouterr().out
    measured = end_exchanges - start_exchanges
    figures = {
        "line": how,
        "seconds": seconds,
        "warm_up_seconds": warm_up,
        "exchanges": tally.exchanges,
        "exchanges_per_second": round(measured / elapsed, 1),
        "mismatches": tally.mismatch_count,
        "lost": tally.lost,
        "errors": len(tally.errors),
        "threads_start": start["threads"], "threads_end": end["threads"],
        "native_threads_start": start["tasks"], "native_threads_end": end["tasks"],
        "fds_start": start["fds"], "fds_end": end["fds"],
        "rss_kb_start": start["rss_kb"], "rss_kb_end": end["rss_kb"],
        "rss_checked": not under_address_sanitizer(),
    }
    report = "\nsoak over %s, %.0f s: %d exchanges, %.1f/s; threads %d -> %d (native %d -> %d); " \
             "fds %d -> %d; RSS %d kB -> %d kB" % (
                 how, seconds, figures["exchanges"], figures["exchanges_per_second"], start["threads"],
                 end["threads"], start["tasks"], end["tasks"], start["fds"], end["fds"], start["rss_kb"],
                 end["rss_kb"]) + ("" if figures["rss_checked"] else " (not checked under AddressSanitizer)")
    if request.config.getoption("capture") == "no":
        with capsys.disabled():
            print(report)
    else:
        print(report)
    path = os.environ.get("MEW_SOAK_REPORT")
    if path:
        with open(path, "w") as f:
            json.dump(figures, f, indent=2)

    assert not tally.mismatches, "wrong answers: %s" % tally.mismatches
    assert tally.lost == 0, "lost answers (time-outs): %d" % tally.lost
    assert not tally.errors, "failed exchanges: %s" % tally.errors
    assert tally.exchanges > 0
    # Nothing went wrong on the line, so the stations had nothing to report.
    assert printed == "", printed
    assert end["threads"] == start["threads"] and end["tasks"] == start["tasks"], figures
    assert end["fds"] == start["fds"], figures
    if figures["rss_checked"]:
        assert end["rss_kb"] - start["rss_kb"] <= RSS_TOLERANCE_KB, figures
    assert wait_until(lambda: set(threading.enumerate()) == threads_before, WAIT), "threads left: %r" % (
        set(threading.enumerate()) - threads_before)
    assert len(os.listdir("/proc/self/fd")) == fds_before, "descriptors left open"
