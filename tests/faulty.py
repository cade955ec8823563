"""A damaged serial line for tests: a channel that wraps another one and,
under a seeded random policy, damages the frames it sends on their way out.

`FaultyChannel` is a b4k_mew.Channel around a linkpair end or a MewSerial.
Reading goes straight through to the wrapped channel; every frame handed to
`send_frame` goes through a `FaultPolicy` first, which may

- drop one byte, duplicate one byte, or change one byte: flip one of its
  bits or replace it with another (a CR, a byte of 0x80 or more, or any
  other value),
- split the frame into pieces written with short pauses between them (short
  against the read time-out, so the frame still arrives whole),
- add noise: a burst of random bytes (CRs and bytes of 0x80 or more among
  them) before or after the frame, or one byte inside it,
- stall: stop in the middle of the frame for longer than the read time-out,
  so the receiver gives the frame up and later reads its tail as a frame of
  its own.

Bytes leave as they are: a byte of 0x80 or more is written as that one byte,
not as its UTF-8 form.

A frame is damaged in at most one byte. The check code is an exclusive-or of
the bytes, so one changed, missing, extra or foreign byte always changes it,
while two faults in one frame can cancel each other (the same bit flipped in
two bytes), and so can a NUL byte added anywhere. Those are limits of the
protocol's check code, not of the library; the noise inside a frame is
therefore never NUL (NUL still comes between frames). One more limit stays
in: a CR added or made inside a frame cuts it short, and one time in 256 the
part before the CR ends in what happens to be its own check code.
"""
import collections
import random
import threading
import time

import b4k_mew

KINDS = ("drop", "duplicate", "corrupt", "split", "noise", "stall")

CR = 0x0D


class FaultPolicy:
    """Decides, frame by frame, whether and how to damage it.

    `kinds`: the kinds of damage to choose from (a subset of KINDS);
    `rate`: the share of frames damaged, rounded to tenths; `seed`: makes the choices
    repeatable for a given order of frames. In seconds: `split_gap` bounds
    the pause between the pieces of a split frame, `stall` is the range of a
    stall's length, `quiet` that of the pause after noise on a quiet line
    (long enough for the receiver to give the noise up, short enough not to
    hold the frame back for long). `counts` tells how often each kind was
    applied.
    """

    def __init__(self, kinds, seed, rate=0.5, split_gap=0.02, stall=(0.25, 0.35), quiet=(0.15, 0.2)):
        unknown = set(kinds) - set(KINDS)
        if unknown:
            raise ValueError("unknown kinds of damage: %s" % sorted(unknown))
        self.kinds = tuple(kinds)
        self.rate = rate
        self.split_gap = split_gap
        self.stall = stall
        self.quiet = quiet
        self.active = True
        self.counts = collections.Counter()
        self._rng = random.Random(seed)
        self._deck = []
        self._lock = threading.Lock()

    def plan(self, frame):
        """The pieces to write for `frame` (bytes): a list of (pause before
        the piece in seconds, bytes)."""
        with self._lock:
            if not self.active or not self.kinds or not self._draw():
                return [(0.0, bytes(frame))]
            kind = self._rng.choice(self.kinds)
            self.counts[kind] += 1
            return getattr(self, "_" + kind)(bytearray(frame))

    def _draw(self):
        # Dealt from shuffled decks of ten, so that a short run still gets
        # its share of damage, at random places.
        if not self._deck:
            damaged = round(self.rate * 10)
            self._deck = [True] * damaged + [False] * (10 - damaged)
            self._rng.shuffle(self._deck)
        return self._deck.pop()

    # A wide spread of byte values: CRs, the upper half, and everything else.
    def _noise_byte(self, nul=True):
        r = self._rng.random()
        if r < 0.2:
            return CR
        if r < 0.6:
            return self._rng.randrange(0x80, 0x100)
        return self._rng.randrange(0 if nul else 1, 0x80)

    def _drop(self, f):
        del f[self._rng.randrange(len(f))]
        return [(0.0, bytes(f))]

    def _duplicate(self, f):
        i = self._rng.randrange(len(f))
        f.insert(i, f[i])
        return [(0.0, bytes(f))]

    def _corrupt(self, f):
        i = self._rng.randrange(len(f))
        if self._rng.random() < 0.5:
            # One flipped bit often turns a digit into another digit: damage
            # that only the check code can tell.
            f[i] ^= 1 << self._rng.randrange(8)
        else:
            old = f[i]
            while f[i] == old:
                f[i] = self._noise_byte()
        return [(0.0, bytes(f))]

    def _split(self, f):
        if len(f) < 2:
            return [(0.0, bytes(f))]
        n = self._rng.randint(2, min(6, len(f)))
        cuts = sorted(self._rng.sample(range(1, len(f)), n - 1))
        bounds = [0] + cuts + [len(f)]
        return [(self._rng.uniform(0, self.split_gap), bytes(f[a:b])) for a, b in zip(bounds, bounds[1:])]

    def _noise(self, f):
        where = self._rng.choice(("before", "after", "inside"))
        if where == "inside":
            f.insert(self._rng.randrange(1, len(f) + 1), self._noise_byte(nul=False))
            return [(0.0, bytes(f))]
        burst = bytes(self._noise_byte() for _ in range(self._rng.randint(1, 8)))
        if where == "after":
            return [(0.0, bytes(f) + burst)]
        # Noise on a quiet line is thrown away by the receiver's time-out
        # before the frame comes; noise right in front of it spoils it.
        pause = self._rng.choice((0.0, self._rng.uniform(*self.quiet)))
        return [(0.0, burst), (pause, bytes(f))]

    def _stall(self, f):
        if len(f) < 2:
            return [(0.0, bytes(f))]
        cut = self._rng.randrange(1, len(f))
        return [(0.0, bytes(f[:cut])), (self._rng.uniform(*self.stall), bytes(f[cut:]))]


def _raw_writer(inner):
    """How to put bytes on the line under `inner` without re-encoding them."""
    peer = getattr(inner, "peer", None)
    if peer is not None:  # a linkpair end

        def write(data):
            if inner.closed:
                raise OSError("Attempting to use a port that is not open")
            peer.deliver(data)

        return write
    serial = getattr(inner, "_serial", None)
    if serial is not None:  # a MewSerial
        return serial.write
    return lambda data: inner.send_frame(data.decode("latin-1"))


class FaultyChannel(b4k_mew.Channel):
    """`inner` with every frame sent through `policy` (None: no damage).

    `send_frame` blocks for the pauses of its plan, as a slow line would
    hold its writer; `frames` counts the frames sent; `wait_idle` waits until
    no send is in progress."""

    def __init__(self, inner, policy=None):
        super().__init__()
        self.inner = inner
        self.policy = policy
        self.frames = 0
        self._write = _raw_writer(inner)
        self._sending = 0
        self._idle = threading.Condition()

    def read(self, size=1):
        return self.inner.read(size)

    def receive_frame(self):
        return self.inner.receive_frame()

    def send_frame(self, data):
        if not isinstance(data, str):
            raise TypeError("send_frame() needs str, not %s" % type(data).__name__)
        raw = data.encode("utf-8")
        with self._idle:
            self._sending += 1
            self.frames += 1
        try:
            pieces = self.policy.plan(raw) if self.policy is not None else [(0.0, raw)]
            for pause, chunk in pieces:
                if pause > 0:
                    time.sleep(pause)
                if chunk:
                    self._write(chunk)
        finally:
            with self._idle:
                self._sending -= 1
                self._idle.notify_all()

    @property
    def in_waiting(self):
        return self.inner.in_waiting

    def flush_input(self):
        self.inner.flush_input()

    def flush_output(self):
        self.inner.flush_output()

    def close(self):
        self.inner.close()

    def wait_idle(self, timeout):
        """True once no send is in progress, False if one still is after
        `timeout` seconds."""
        with self._idle:
            return self._idle.wait_for(lambda: self._sending == 0, timeout)
