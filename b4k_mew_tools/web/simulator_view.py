"""The simulator's live view: every station's contacts as lamps, chosen
registers as a table, the last frames exchanged, and the changes a user
makes from the page (inputs, register values, a silent station, an error
code), checked as the command line checks them."""

import time

from ..cli.addresses import Address, check_run, parse_integer, parse_value
from ..cli.errors import CliError
from .server import EntryLog, Refused

CONTACT_LETTERS = ("X", "Y", "R", "L")
REGISTER_AREAS = ("DT", "LD", "FL", "S", "SV", "EV")
#: Shown unless other ranges are asked for: two words of each contact area
#: and the first sixteen data registers.
DEFAULT_CONTACTS = tuple((letter, 0, 2) for letter in CONTACT_LETTERS)
DEFAULT_REGISTERS = (("DT", 0, 16),)
#: Frames sent to the pages at most at each refresh: the newest.
FRAMES_PER_REFRESH = 200
#: Frames a page that opens is sent at once (it keeps more as they come).
FRAMES_KEPT = 2000
#: The log is brought up to date at most this often, in seconds: while a
#: master polls it changes all the time, and redrawing it at every state
#: would cost the browsers (often on the simulator's machine) for nothing a
#: reader could follow.
FRAMES_REFRESH = 1.0
#: How the page shows and reads register values.
FORMATS = {"uint16": "uint16", "int16": "int16", "hex": "uint16"}
#: Device error codes a station can be told to answer with; 0 is none.
LARGEST_ERROR_CODE = 99


def _merge(ranges, areas):
    """Ranges of one area that overlap or touch, as one: (area, start,
    count), in the order of ``areas``, then by address."""
    merged: list[tuple[str, int, int]] = []
    for area, start, count in sorted(ranges, key=lambda r: (areas.index(r[0]), r[1], r[2])):
        last = merged[-1] if merged else None
        if last and last[0] == area and start <= last[1] + last[2]:
            merged[-1] = (area, last[1], max(last[2], start + count - last[1]))
        else:
            merged.append((area, start, count))
    return merged


def _integer(request, key):
    value = request.get(key)
    if isinstance(value, bool) or not isinstance(value, int):
        raise Refused("%s must be a whole number" % key)
    return value


def _typed(request, key, kind, refusal):
    """``request[key]`` when it is a ``kind``; Refused(refusal) otherwise."""
    value = request.get(key)
    if not isinstance(value, kind):
        raise Refused(refusal)
    return value


def _one_of(value, choices, what):
    if value not in choices:
        raise Refused("%s must be one of %s" % (what, ", ".join(choices)))
    return value


class SimulatorView:
    """What the simulator page shows and the changes it may make.

    ``contacts`` are (letter, first word, words) for the lamps, letter one of
    X, Y, R, L; ``registers`` are (area, first, count) for the tables, area
    one of DT, LD, FL, S, SV, EV. Ranges of one area are merged."""

    page = "simulator.html"
    actions = ("contact", "register", "silent", "error_code")

    def __init__(self, simulator, contacts=DEFAULT_CONTACTS, registers=DEFAULT_REGISTERS, title="simulator"):
        for letter, _, _ in contacts:
            if letter not in CONTACT_LETTERS:
                raise ValueError("contact area %r is not one of %s" % (letter, ", ".join(CONTACT_LETTERS)))
        for area, _, _ in registers:
            if area not in REGISTER_AREAS:
                raise ValueError("register area %r is not one of %s" % (area, ", ".join(REGISTER_AREAS)))
        self._simulator = simulator
        self.contacts = _merge(contacts, CONTACT_LETTERS)
        self.registers = _merge(registers, REGISTER_AREAS)
        self.title = title
        self._frames = EntryLog(FRAMES_KEPT)
        self._last_seq = 0
        self._frames_read = -FRAMES_REFRESH
        simulator.log_frames(FRAMES_PER_REFRESH)

    # --- the state ---

    def _station(self, device):
        return {
            "station": device.station,
            "kind": device.kind,
            "silent": device.silent,
            "error_code": device.error_code,
            "writes": device.writes,
            "contacts": [{"area": letter, "start": start, "words": device.read_words(letter, start, count)}
                         for letter, start, count in self.contacts],
            "registers": [{"area": area, "start": start, "values": device.read_registers(area, start, count)}
                          for area, start, count in self.registers],
        }

    def snapshot(self):
        now = time.monotonic()
        if now - self._frames_read >= FRAMES_REFRESH:
            self._frames_read = now
            for frame in self._simulator.frames(self._last_seq)[-FRAMES_PER_REFRESH:]:
                self._frames.add({"seq": frame.seq, "time": frame.time, "station": frame.station,
                                  "command": frame.command, "answer": frame.answer})
                self._last_seq = frame.seq
        devices = dict(self._simulator.devices)
        return {"title": self.title, "stations": [self._station(devices[station]) for station in sorted(devices)]}

    # --- the frames, streamed to each page from where it is ---

    @property
    def log_mark(self):
        return self._frames.mark

    def log_since(self, seen):
        return self._frames.since(seen)[:2]

    # --- changes from the page ---

    def _device(self, request):
        station = _integer(request, "station")
        try:
            return self._simulator.devices[station]
        except KeyError:
            raise Refused("there is no station %d" % station) from None

    def act(self, action, request):
        handler = {"contact": self._set_contact, "register": self._set_register,
                   "silent": self._set_silent, "error_code": self._set_error_code}.get(action)
        if handler is None:
            raise Refused("no such change: %s" % action)  # the server answers 404 before
        try:
            return handler(self._device(request), request)
        except CliError as error:
            raise Refused(str(error)) from None

    def _set_contact(self, device, request):
        letter = _one_of(request.get("area"), CONTACT_LETTERS, "contact area")
        point = _integer(request, "point")
        value = _typed(request, "value", bool, "a contact is on (true) or off (false)")
        name = "%s%03d%X" % (letter, point // 16, point % 16) if point >= 0 else "%s%d" % (letter, point)
        # The command line's checks: what `b4k-mew write` refuses, the page does too.
        Address(name)
        try:
            device.set_contact(letter, point, value)
        except ValueError as error:
            raise Refused("%s: %s" % (name, error)) from None
        return "station %d: %s = %d" % (device.station, name, value)

    def _set_register(self, device, request):
        area = _one_of(request.get("area"), REGISTER_AREAS, "register area")
        index = _integer(request, "index")
        text = _typed(request, "text", str, "a register value is typed as text")
        shown_as = _one_of(request.get("format", "uint16"), tuple(FORMATS), "format")
        name = "%s%d" % (area, index)
        check_run(Address(name), "uint16", 1)
        if shown_as == "hex" and not text.strip().lower().startswith(("0x", "-")):
            # Shown in hexadecimal, typed in hexadecimal: "ff" is 255.
            text = "0x" + text.strip()
        try:
            value = parse_value(text, FORMATS[shown_as])
            device.write_registers(area, index, [value & 0xFFFF])
        except (CliError, ValueError) as error:
            raise Refused("%s: %s" % (name, error)) from None
        return "station %d: %s = %s" % (device.station, name, "0x%04X" % value if shown_as == "hex" else value)

    def _set_silent(self, device, request):
        value = _typed(request, "value", bool, "silent is true or false")
        device.silent = value
        return "station %d %s" % (device.station, "is silent" if value else "answers again")

    def _set_error_code(self, device, request):
        text = _typed(request, "text", str, "an error code is typed as text")
        code = parse_integer(text) if text.strip() else 0
        if not 0 <= code <= LARGEST_ERROR_CODE:
            raise Refused("error code %s is out of range (0, none, to %d)" % (text.strip(), LARGEST_ERROR_CODE))
        device.error_code = code
        if code:
            return "station %d answers every command with error %02d" % (device.station, code)
        return "station %d answers normally" % device.station
