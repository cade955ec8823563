"""A device simulator: one line, several stations, each with real memory.

Every station is a slave of this library (a ``b4k_mew.MewSlaveBase``) whose
handlers read and write its own contacts and registers; one ``b4k_mew.MewBase``
owns the line and hands each command to the station it addresses. A station
can present itself as a remote I/O module: its "S0" register holds the type
code, "S1" the firmware word, "WX0" the inputs (set them with ``set_inputs``)
and "WY0" the outputs, which follow the writes of a master.

    with Simulator("/dev/ttyUSB1") as sim:
        sim.add_device(1, kind="xy")
        sim.add_device(2, kind="plc")
        sim.start()
        ...
"""

import queue
import threading

import b4k_mew

#: Kinds of device by name: the type code its "S0" register reports.
KINDS = {
    "unknown": b4k_mew.INST_TYPE_UNKNOWN,
    "xy": b4k_mew.INST_TYPE_XY,
    "axis": b4k_mew.INST_TYPE_Axis,
    "ad": b4k_mew.INST_TYPE_AD,
    "plc": None,
}

CONTACT_AREAS = "XYRL"
REGISTER_AREAS = "DLFS"  # DT, LD, FL and the system registers S


class Device(b4k_mew.MewSlaveBase):
    """The memory of one station: contacts X, Y, R, L (16 to a word) and
    registers DT, LD, FL, S. Safe to use from any thread."""

    def __init__(self, station, kind="plc", firmware=0x0100, type_code=None):
        super().__init__(station)
        if kind not in KINDS:
            raise ValueError("unknown device kind %r (one of %s)" % (kind, ", ".join(KINDS)))
        self.kind = kind
        self._lock = threading.Lock()
        self._contacts = {area: {} for area in CONTACT_AREAS}
        self._registers = {area: {} for area in REGISTER_AREAS}
        code = type_code if type_code is not None else KINDS[kind]
        if code is not None:
            self._registers["S"][0] = code & 0xFFFF
            self._registers["S"][1] = firmware & 0xFFFF
        self.writes = 0

    # Memory, as a test or a bench sets and inspects it.
    def read_words(self, area, start, count):
        """``count`` words of contact area X, Y, R or L from word ``start``."""
        with self._lock:
            words = self._contacts[area]
            return [words.get(start + i, 0) for i in range(count)]

    def write_words(self, area, start, values):
        with self._lock:
            words = self._contacts[area]
            for i, value in enumerate(values):
                words[start + i] = value & 0xFFFF

    def read_registers(self, area, start, count):
        """``count`` registers of area D (DT), L (LD), F (FL) or S from ``start``."""
        with self._lock:
            regs = self._registers[area[0]]
            return [regs.get(start + i, 0) for i in range(count)]

    def write_registers(self, area, start, values):
        with self._lock:
            regs = self._registers[area[0]]
            for i, value in enumerate(values):
                regs[start + i] = value & 0xFFFF

    def get_contact(self, area, point):
        word, bit = divmod(point, 16)
        return bool(self.read_words(area, word, 1)[0] >> bit & 1)

    def set_contact(self, area, point, value):
        word, bit = divmod(point, 16)
        with self._lock:
            words = self._contacts[area]
            current = words.get(word, 0)
            words[word] = current | 1 << bit if value else current & ~(1 << bit)

    def set_inputs(self, word):
        """The module's input word "WX0"."""
        self.write_words("X", 0, [word])

    @property
    def inputs(self):
        return self.read_words("X", 0, 1)[0]

    @property
    def outputs(self):
        """The module's output word "WY0", as the masters wrote it."""
        return self.read_words("Y", 0, 1)[0]

    # The slave handlers: names come from the frame ("R0010", "X0000", "D00100").
    @staticmethod
    def _point(name):
        return int(name[1:4]) * 16 + int(name[4], 16)

    def on_get_coil(self, name):
        return self.get_contact(name[0], self._point(name))

    def on_set_coil(self, name, value):
        self.set_contact(name[0], self._point(name), value)
        self.writes += 1

    def on_get_multi_coil_uint16(self, name, count):
        return self.read_words(name[0], int(name[1:]), max(count, 0))

    def on_set_multi_coil_uint16(self, name, values):
        self.write_words(name[0], int(name[1:]), values)
        self.writes += 1

    def on_get_multi_uint16(self, name, count):
        return self.read_registers(name[0], int(name[1:]), max(count, 0))

    def on_set_multi_uint16(self, name, values):
        self.write_registers(name[0], int(name[1:]), values)
        self.writes += 1


class Simulator(b4k_mew.MewBase):
    """Answers, on one line, for every device added to it.

    ``channel`` is a port name or a channel object, as for every station;
    keyword arguments are serial settings. Commands for a station that has
    no device go unanswered, as on a real line."""

    def __init__(self, channel, **serial_settings):
        super().__init__(channel, **serial_settings)
        self.devices = {}
        self._worker = None
        self._queue = None
        self._running = threading.Event()

    def add_device(self, station, kind="plc", firmware=0x0100, type_code=None):
        """Adds a device at ``station`` and returns it."""
        device = Device(station, kind=kind, firmware=firmware, type_code=type_code)
        self.devices[station] = device
        return device

    def start(self):
        super().start()
        if self._worker is not None:
            return
        self._queue = queue.Queue()
        with self._listener_lock:
            self._query_listeners.append(self._queue)
        self._running.set()
        self._worker = threading.Thread(target=self._serve, name="Simulator", daemon=True)
        self._worker.start()

    def stop(self):
        if self._worker is not None:
            self._running.clear()
            self._worker.join()
            self._worker = None
            with self._listener_lock:
                self._query_listeners.remove(self._queue)
        super().stop()

    def _serve(self):
        while self._running.is_set():
            try:
                frame = self._queue.get(timeout=0.1)
            except queue.Empty:
                continue
            try:
                station = b4k_mew.MewStatic.parse_station(frame)
            except ValueError:
                continue
            device = self.devices.get(station)
            if device is None:
                continue
            try:
                answer = device._process_request(frame)
                if answer:
                    self._send(answer)
            except Exception as error:  # a bad frame must not end the simulator
                print("Simulator: %s" % error, flush=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
