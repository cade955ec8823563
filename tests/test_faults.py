"""The link on a damaged line: a master (MewMaster) against a full-duplex
station's slave worker (MewFullDuplex), with the frames of one direction
damaged by tests/faulty.py, and two full-duplex stations querying each other
over pseudo-terminals with both directions damaged.

What has to hold, whatever the damage:

- every failed operation fails with one of the errors the library
  documents (an OSError with a fixed message, or the ValueError of a field
  that cannot be read), never with anything else;
- no operation returns a wrong value: every read returns exactly what the
  device holds, and every write reported as done has been done (a failed
  write may or may not have reached the device; the last test shows how
  one in 256 write commands cut short by a CR slips a wrong value past the
  check code, which none of the seeds here happens to draw);
- once the damage stops the stations work again, without a restart;
- closing returns and leaves no thread behind.

Damage changes at most one byte of a frame (see tests/faulty.py for why),
and no frame is held back for as long as the master waits for an answer:
a master pairs a response with its command by the station number alone, so
an answer that comes after its query has given up is taken by the next query
to the same station. The operations are drawn so that no two in a row expect
answers of the same shape, which turns such a late answer into a format
error should one come all the same.

Nothing asserts how long anything takes; the time-outs below only bound the
waits.
"""
import random
import re
import threading
import time
import zlib

import pytest

import b4k_mew
from b4k_mew_tools import VirtualLine
from conftest import WAIT, threads_accounted

import linkpair
from faulty import KINDS, FaultPolicy, FaultyChannel
from linkpair import wait_until
from memstation import MemoryStation

READ_TIMEOUT = 0.1  # per-byte read time-out of every line end
QUERY_TIMEOUT = 0.5  # well above the longest hold-up of a whole frame
PAIR_QUERY_TIMEOUT = 1.0  # a station's answers also wait behind its own stalled commands
# Per direction of the damage: the share of the frames damaged, and the
# operations per case. A damaged command costs a whole time-out.
RATE = {"commands": 0.3, "responses": 0.6}
OPS = {"commands": 16, "responses": 24}
PAIR_OPS = 16
CLEAN_OPS = 8  # operations after the damage stopped, all of which must succeed
TEST_LIMIT = 60.0  # a test still running after this long is taken as hung

# Registers with values the master never writes, and registers it writes.
FIXED = {1000 + i: v for i, v in enumerate([0x1234, 0xFFFF, 0x8000, 0x7FFF, 0x0001, 0xABCD, 0x00FF, 0xFF00])}
WRITABLE = range(0, 8)
COIL_WORDS = {0: 0xA5C3, 1: 0x0000}

# (type, message pattern, short name for the figures)
ALLOWED = [
    (TimeoutError, r"MewMasterBase: device response timeout\.", "time-out"),
    (OSError, r"Error: device response format invalid: (begin with: .*|length too small: \d+)", "format"),
    (OSError, r"Error: device response check code invalid\.", "check code"),
    (OSError, r"Error: station not match: expected \d+, got \d+", "station"),
    (b4k_mew.DeviceError, r"MEW communication error code\(hex\): ..", "error response"),
    (OSError, r"Invalid feedback format: .*", "feedback"),
    (ValueError, r"invalid literal for int\(\) with base 16: .*", "ValueError"),
]


def classify(error):
    """The short name of the entry of ALLOWED that `error` matches, or None."""
    for cls, pattern, name in ALLOWED:
        if type(error) is cls and re.fullmatch(pattern, str(error), re.DOTALL):
            return name
    return None


def int16(u):
    return u - 0x10000 if u & 0x8000 else u


def int32(u):
    return u - 0x100000000 if u & 0x80000000 else u


class Workload:
    """Random master operations on `master` against station `station`,
    whose memory is `device`, each checked against that memory.

    `device` must change only through this workload's writes while it runs,
    so what it holds when an operation returns is what the operation must
    have seen. Records: `ok`, `failures` (short name -> count), `unexpected`
    (errors outside ALLOWED) and `wrong` (results that differ from the
    device)."""

    def __init__(self, master, station, device, rng):
        self.master, self.station, self.device, self.rng = master, station, device, rng
        self.ok = 0
        self.failures = {}
        self.unexpected = []
        self.wrong = []
        self._last_shape = None
        self._ops = [getattr(self, name) for name in sorted(dir(self)) if name.startswith("op_")]

    def run(self, count):
        for _ in range(count):
            while True:
                op = self.rng.choice(self._ops)
                shape, args = op(None)
                if shape != self._last_shape:
                    break
            self._last_shape = shape
            assert args is not None
            try:
                op(args)
            except AssertionError:
                raise
            except Exception as error:  # noqa: BLE001 - sorted below
                name = classify(error)
                if name is None:
                    self.unexpected.append("%s: %s: %r" % (op.__name__, type(error).__name__, str(error)))
                else:
                    self.failures[name] = self.failures.get(name, 0) + 1
            else:
                self.ok += 1
        return self

    def _expect(self, what, got, want):
        if got != want:
            self.wrong.append("%s returned %r, the device holds %r" % (what, got, want))

    def _check_write(self, what, registers, start, before, written, done):
        now = (self.device.register_values if registers else self.device.coil_word_values)(start, len(written))
        if done:
            self._expect(what + " (done)", now, written)
        elif now not in (before, written):
            self.wrong.append("%s failed and left %r (before %r, written %r)" % (what, now, before, written))

    def _fresh(self, old):
        """A word that differs from `old`, so that a write that did not
        happen shows."""
        value = self.rng.randrange(0x10000)
        return value if value != old else value ^ 0x5A5A

    def _register_range(self, count):
        start = self.rng.choice(list(FIXED) + list(WRITABLE))
        return start, count

    # Each operation, called with None, draws its arguments (never None) and
    # returns the shape of the answer it expects with them; called with the
    # arguments, it runs and checks.

    def op_read_words(self, args):
        if args is None:
            count = self.rng.choice((1, 2, 3))
            return ("words", count), self._register_range(count)
        start, count = args
        got = self.master.get_multi_uint16(self.station, "DT%d" % start, count)
        self._expect("get_multi_uint16(DT%d, %d)" % args, got, self.device.register_values(start, count))

    def op_read_int16(self, args):
        if args is None:
            return ("words", 1), self._register_range(1)
        start, _ = args
        got = self.master.get_int16(self.station, "DT%d" % start)
        self._expect("get_int16(DT%d)" % start, got, int16(self.device.register_values(start, 1)[0]))

    def op_read_int32(self, args):
        if args is None:
            return ("words", 2), self._register_range(2)
        start, _ = args
        lo, hi = self.device.register_values(start, 2)
        got = self.master.get_int32(self.station, "DT%d" % start)
        self._expect("get_int32(DT%d)" % start, got, int32(hi << 16 | lo))

    def op_read_multi_uint32(self, args):
        if args is None:
            return ("words", 4), self._register_range(4)
        start, _ = args
        w = self.device.register_values(start, 4)
        got = self.master.get_multi_uint32(self.station, "DT%d" % start, 2)
        self._expect("get_multi_uint32(DT%d, 2)" % start, got, [w[1] << 16 | w[0], w[3] << 16 | w[2]])

    def op_write_words(self, args):
        if args is None:
            return ("write",), self.rng.choice(list(WRITABLE)[:-2])
        start = args
        before = self.device.register_values(start, 2)
        values = [self._fresh(v) for v in before]
        done = False
        try:
            self.master.set_multi_uint16(self.station, "DT%d" % start, values)
            done = True
        finally:
            self._check_write("set_multi_uint16(DT%d)" % start, True, start, before, values, done)

    def op_write_int32(self, args):
        if args is None:
            return ("write",), self.rng.choice(list(WRITABLE)[:-1])
        start = args
        before = self.device.register_values(start, 2)
        words = [self._fresh(v) for v in before]
        value = int32(words[1] << 16 | words[0])
        done = False
        try:
            self.master.set_int32(self.station, "DT%d" % start, value)
            done = True
        finally:
            self._check_write("set_int32(DT%d, %d)" % (start, value), True, start, before, words, done)

    def op_read_coil(self, args):
        if args is None:
            return ("coil",), (self.rng.randrange(2), self.rng.randrange(16))
        word, bit = args
        got = self.master.get_coil(self.station, "R%03d%X" % args)
        self._expect("get_coil(R%03d%X)" % args, got, bool(self.device.coil_word_values(word, 1)[0] >> bit & 1))

    def op_write_coil(self, args):
        if args is None:
            return ("write",), self.rng.randrange(16)
        bit = args
        before = self.device.coil_word_values(1, 1)
        value = not (before[0] >> bit & 1)
        after = [before[0] ^ 1 << bit]
        done = False
        try:
            self.master.set_coil(self.station, "R001%X" % bit, value)
            done = True
        finally:
            self._check_write("set_coil(R001%X, %s)" % (bit, value), False, 1, before, after, done)

    def op_read_coil_words(self, args):
        if args is None:
            count = self.rng.choice((1, 2))
            return ("words", count), count
        count = args
        got = self.master.get_multi_coil_uint16(self.station, "WR0", count)
        self._expect("get_multi_coil_uint16(WR0, %d)" % count, got, self.device.coil_word_values(0, count))

    def op_write_coil_word(self, args):
        if args is None:
            return ("write",), 1
        word = args
        before = self.device.coil_word_values(word, 1)
        values = [self._fresh(before[0])]
        done = False
        try:
            self.master.set_coil_uint16(self.station, "WR%d" % word, values[0])
            done = True
        finally:
            self._check_write("set_coil_uint16(WR%d)" % word, False, word, before, values, done)

    def summary(self):
        parts = ["%d ok" % self.ok]
        for name, n in sorted(self.failures.items()):
            parts.append("%d %s" % (n, name))
        return ", ".join(parts)

    def assert_sound(self, what):
        assert not self.unexpected, "%s: errors outside the documented ones: %s" % (what, self.unexpected)
        assert not self.wrong, "%s: wrong results: %s" % (what, self.wrong)


def seed_of(*parts):
    """A seed that stays the same from run to run (hash() of text does not)."""
    return zlib.crc32("/".join(parts).encode())


def close_within(station, timeout=WAIT):
    """Closes `station` on a helper thread; fails when close does not return
    in time (the helper then stays, as a daemon, for the traceback dump)."""
    t = threading.Thread(target=station.close, name="close", daemon=True)
    t.start()
    t.join(timeout)
    assert not t.is_alive(), "close() did not return within %s s" % timeout


def serving(station):
    assert wait_until(lambda: len(station._query_listeners) == 1, WAIT), "slave worker did not start"
    return station


def settle(*channels):
    """Waits until no damaged frame is still being sent, then for longer
    than a receiver needs to give up what is left of one (a read time-out
    and the pause after it)."""
    for channel in channels:
        assert channel.wait_idle(WAIT), "a send did not end"
    time.sleep(3 * READ_TIMEOUT)


class Printed:
    """What the stations' threads print, gathered across readouterr(); and
    the test's own figures, shown with -s."""

    def __init__(self, capsys, shown):
        self.capsys, self.shown, self.text = capsys, shown, ""

    def read(self):
        self.text += self.capsys.readouterr().out
        return self.text

    def report(self, line):
        self.read()
        if self.shown:
            with self.capsys.disabled():
                print(line)
        else:
            print(line)


@pytest.fixture
def printed(capsys, request):
    return Printed(capsys, request.config.getoption("capture") == "no")


@pytest.fixture(autouse=True)
def every_thread_ended():
    """Here daemon threads count too: the fault paths must end them all."""
    with threads_accounted(daemons_too=True):
        yield


def check_printed(printed):
    text = printed.read()
    # A receiver or worker that ends stops the station for good; whatever
    # the line does, both must carry on.
    assert "Receiver thread ended" not in text


@pytest.mark.parametrize("direction", ["commands", "responses"])
@pytest.mark.parametrize("kind", KINDS + ("mixed",))
def test_master_against_full_duplex_on_damaged_line(kind, direction, printed):
    kinds = KINDS if kind == "mixed" else (kind,)
    policy = FaultPolicy(kinds, seed_of(kind, direction), rate=RATE[direction])
    a, b = linkpair.pair(READ_TIMEOUT)
    master_end = FaultyChannel(a, policy if direction == "commands" else None)
    device_end = FaultyChannel(b, policy if direction == "responses" else None)
    device = MemoryStation(device_end, slave_station=1, registers=FIXED, coil_words=COIL_WORDS)
    master = None
    try:
        serving(device)
        master = b4k_mew.MewMaster(master_end, query_timeout=QUERY_TIMEOUT)
        work = Workload(master, 1, device, random.Random(seed_of("ops", kind, direction)))
        work.run(OPS[direction])
        policy.active = False
        settle(master_end, device_end)
        clean = Workload(master, 1, device, random.Random(seed_of("clean", kind, direction))).run(CLEAN_OPS)
    finally:
        if master is not None:
            close_within(master)
        close_within(device)

    what = "%s on %s" % (kind, direction)
    printed.report("\n%s: %s; damaged %s of %d frames" % (
        what, work.summary(), dict(policy.counts), (master_end if direction == "commands" else device_end).frames))
    assert sum(policy.counts.values()) > 0, "no frame was damaged"
    work.assert_sound(what)
    clean.assert_sound(what + ", after the damage")
    assert clean.ok == CLEAN_OPS, "%s: the station did not recover: %s" % (what, clean.summary())
    if kind == "split":
        # Pieces come well within the read time-out: they make one frame.
        assert work.ok == OPS[direction], "%s: %s" % (what, work.summary())
    check_printed(printed)


def test_full_duplex_pair_on_damaged_pseudo_terminals(printed):
    """Two full-duplex stations, each querying the other from a thread of its
    own while answering the other's commands, on a pty pair whose both
    directions are damaged with every kind."""
    policies = [FaultPolicy(KINDS, seed_of("pair", side), rate=RATE["commands"]) for side in "ab"]
    line = VirtualLine()
    stations = []
    try:
        for port, policy, number in zip((line.port_a, line.port_b), policies, (1, 2)):
            channel = FaultyChannel(b4k_mew.MewSerial(port=port, timeout=READ_TIMEOUT), policy)
            stations.append(serving(MemoryStation(channel, slave_station=number, query_timeout=PAIR_QUERY_TIMEOUT,
                                                  registers=FIXED, coil_words=COIL_WORDS)))
        one, two = stations
        works = [Workload(one, 2, two, random.Random(seed_of("pair-ops", "1"))),
                 Workload(two, 1, one, random.Random(seed_of("pair-ops", "2")))]
        errors = []

        def drive(work):
            try:
                work.run(PAIR_OPS)
            except BaseException as e:  # reported by the test thread
                errors.append(e)

        threads = [threading.Thread(target=drive, args=(w,), name="pair-%d" % i) for i, w in enumerate(works)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(TEST_LIMIT / 2)
        assert not any(t.is_alive() for t in threads), "a querying thread hangs"
        assert not errors, errors
        for p in policies:
            p.active = False
        settle(*(s._channel for s in stations))
        cleans = [Workload(one, 2, two, random.Random(1)).run(CLEAN_OPS),
                  Workload(two, 1, one, random.Random(2)).run(CLEAN_OPS)]
    finally:
        for s in stations:
            close_within(s)
        line.close()

    for i, (work, clean, policy) in enumerate(zip(works, cleans, policies), 1):
        what = "pair, station %d querying" % i
        printed.report("\n%s: %s; damaged %s" % (what, work.summary(), dict(policy.counts)))
        assert sum(policy.counts.values()) > 0, "no frame was damaged"
        work.assert_sound(what)
        clean.assert_sound(what + ", after the damage")
        assert clean.ok == CLEAN_OPS, "%s: the station did not recover: %s" % (what, clean.summary())
    check_printed(printed)


# --- Station fields too long for 64 bits ---------------------------------------
#
# Garbage on the line can put any number of digits before a frame-type
# character. Such a field is still a station number, only never the one a
# command went to: a master reports another station, a slave ignores the
# frame, as for any other station.

TWO_TO_64 = "1" + "0" * 16


@pytest.mark.parametrize("field,decimal", [(TWO_TO_64, "18446744073709551616"),
                                           ("F" * 20, str(int("F" * 20, 16))),
                                           ("-" + TWO_TO_64, "-18446744073709551616"),
                                           ("0x_" + "a" * 17, str(int("a" * 17, 16)))])
@pytest.mark.parametrize("kind", ["$RD3412", "!42"])
def test_response_from_a_station_beyond_64_bits_is_from_another_station(field, decimal, kind):
    a, b = linkpair.pair(READ_TIMEOUT)
    master = b4k_mew.MewMaster(a, query_timeout=WAIT)
    try:
        with linkpair.Device(b, lambda frame: b4k_mew.MewStatic.append_tail("%" + field + kind)):
            with pytest.raises(OSError) as e:
                master.get_uint16(1, "DT0")
        assert str(e.value) == "Error: station not match: expected 1, got " + decimal
    finally:
        close_within(master)


def test_station_field_with_many_leading_zeros_is_the_station():
    a, b = linkpair.pair(READ_TIMEOUT)
    master = b4k_mew.MewMaster(a, query_timeout=WAIT)
    try:
        with linkpair.Device(b, lambda frame: b4k_mew.MewStatic.append_tail("%" + "0" * 40 + "1$RD3412")):
            assert master.get_uint16(1, "DT0") == 0x1234
    finally:
        close_within(master)


def test_slave_ignores_a_command_for_a_station_beyond_64_bits(printed):
    a, b = linkpair.pair(READ_TIMEOUT)
    device = MemoryStation(b, slave_station=1, registers=FIXED)
    try:
        serving(device)
        printed.read()
        a.send_frame(b4k_mew.MewStatic.append_tail("%" + TWO_TO_64 + "#RDD0100001000"))
        assert wait_until(lambda: "Ignore other target frame." in printed.read(), WAIT), printed.text
        a.send_frame(b4k_mew.MewStatic.fill_read_data_area_message(1, "DT1000", 1))
        assert a.next_frame(WAIT) == b4k_mew.MewStatic.append_tail("%01$RD3412")
    finally:
        close_within(device)
    assert "Ignore unhandled exception" not in printed.read()


# --- A frame cut short whose last two characters pass as its check code ------


def test_write_command_cut_short_by_a_cr_is_not_served(printed):
    # One CR added inside a write command cuts it in two. The first part
    # ends in two characters that were data; when they happen to be the
    # check code of what precedes them (here made so), the part passes the
    # check, and its last data group, read into the CR, is a different word.
    head = "%01#WDD0000000000"
    value = "1" + "%02X" % b4k_mew.MewStatic.calc_crc(head + "1") + "0"
    frame = b4k_mew.MewStatic.append_tail(head + value)
    cut = len(head) + 3
    damaged = frame[:cut] + "\r" + frame[cut:]
    a, b = linkpair.pair(READ_TIMEOUT)
    device = MemoryStation(b, slave_station=1)
    try:
        serving(device)
        b.deliver(damaged.encode())
        with pytest.raises(OSError, match="no response"):
            a.next_frame(3 * READ_TIMEOUT)
    finally:
        close_within(device)
    assert device.registers.get(0) in (None, b4k_mew.MewStatic.parse_uint16(value))
