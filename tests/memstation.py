"""A full-duplex station with memory behind its handlers: data registers
(area D) and contact words (area R), for tests that check every value read
against what the device holds."""
import re
import threading

import b4k_mew

REGISTER = re.compile(r"D(\d{5})")
COIL = re.compile(r"R(\d{3})([0-9A-F])")
COIL_WORD = re.compile(r"R(\d{4})")
MAX_COUNT = 64


def _match(pattern, name):
    m = pattern.fullmatch(name)
    if m is None:
        # A name the master never sends: better no answer than an answer
        # about some other register.
        raise ValueError("unexpected name %r" % name)
    return m


def _count(count):
    if not 1 <= count <= MAX_COUNT:
        raise ValueError("unexpected count %r" % count)
    return count


class MemoryStation(b4k_mew.MewFullDuplex):
    """Registers D0, D1, ... and contact words R0, R1, ... (16 contacts
    each), all 0 until written. `registers` and `coil_words` map numbers to
    words; guard them with `lock` when other threads run. Handlers refuse,
    by raising, any name or count a master does not send."""

    def __init__(self, *args, registers=None, coil_words=None, **kwargs):
        self.lock = threading.Lock()
        self.registers = dict(registers or {})
        self.coil_words = dict(coil_words or {})
        super().__init__(*args, **kwargs)

    def register_values(self, start, count):
        with self.lock:
            return [self.registers.get(start + i, 0) for i in range(count)]

    def coil_word_values(self, start, count):
        with self.lock:
            return [self.coil_words.get(start + i, 0) for i in range(count)]

    def on_get_multi_uint16(self, name, count):
        start = int(_match(REGISTER, name).group(1))
        return self.register_values(start, _count(count))

    def on_set_multi_uint16(self, name, values):
        start = int(_match(REGISTER, name).group(1))
        _count(len(values))
        with self.lock:
            self.registers.update((start + i, v) for i, v in enumerate(values))

    def on_get_multi_coil_uint16(self, name, count):
        start = int(_match(COIL_WORD, name).group(1))
        return self.coil_word_values(start, _count(count))

    def on_set_multi_coil_uint16(self, name, values):
        start = int(_match(COIL_WORD, name).group(1))
        _count(len(values))
        with self.lock:
            self.coil_words.update((start + i, v) for i, v in enumerate(values))

    def on_get_coil(self, name):
        m = _match(COIL, name)
        word, bit = int(m.group(1)), int(m.group(2), 16)
        with self.lock:
            return bool(self.coil_words.get(word, 0) >> bit & 1)

    def on_set_coil(self, name, value):
        m = _match(COIL, name)
        word, bit = int(m.group(1)), int(m.group(2), 16)
        with self.lock:
            old = self.coil_words.get(word, 0)
            self.coil_words[word] = old | 1 << bit if value else old & ~(1 << bit)
