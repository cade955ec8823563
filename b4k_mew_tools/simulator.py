"""A device simulator: one line, several stations, each with real memory.

Every station is a ``Device``: its memory (contacts, registers, timer
values, status) lives in C++ and the commands of a master are answered from
it without Python, by the worker thread of one ``Simulator`` that owns the
line and hands each command to the device it addresses. A station can
present itself as a remote I/O module: its "S0" register holds the type
code, "S1" the firmware word, "WX0" the inputs (set them with
``set_inputs``) and "WY0" the outputs, which follow the writes of a master.

    with Simulator("/dev/ttyUSB1") as sim:
        sim.add_device(1, kind="xy")
        sim.add_device(2, kind="plc")
        sim.start()
        ...

``Simulator(channel, plc=True)`` answers as controllers do: the commands of
full controllers as well (several contacts at once, the status, timer and
counter values) and a device error for what cannot be served (40 check
code, 41 format, 42 unknown command, 43 a command during a multi-frame
answer, 61 an area or range the device does not have: contact words go to
999). ``frame_limit=118`` or ``2048`` cuts long answers into frames as
controllers do and accepts the "<" header; ``decimal_stations=True`` numbers
the stations in decimal (0 to 99), with "EE" for the first device.

Python runs only where it is asked to: ``device.on_write`` and
``device.on_read``, when set, are called as ``hook(area, start, values)``
after each write or read of a master. ``area`` is "X", "Y", "R" or "L" for
single contacts (``start`` the point number, word * 16 + bit, ``values``
0 or 1), "WX", "WY", "WR", "WL" for contact words, "DT", "LD", "FL", "S" for
registers and "SV", "EV" for timer and counter values.

A device can fail on purpose, from any thread, for the very next command:
``device.silent = True`` answers nothing (masters time out), and
``device.error_code = 61`` (1 to 99; 0 again for none) answers every
command addressed to it with that device error; silence wins. Either way
the memory stays readable and writable. ``sim.log_frames(100)`` keeps the
last 100 frames the devices exchanged, on the line and with TCP clients:
``sim.frames(after=seq)`` gives those numbered after ``seq`` as
``SimFrame(seq, time, station, command, answer)``, frames without their CR,
``answer`` "" when the device sent nothing.
"""

import collections
import collections.abc
import struct
import time
import weakref

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

#: The longest frames a simulator can be told to answer in, CR included.
FRAME_LIMITS = (118, 2048)

#: The most frames a simulator's log can keep.
MAX_LOGGED_FRAMES = 100000

#: One command a device received and the frame it sent back for it: ``seq``
#: counts from 1 and never repeats for the simulator's life, ``time`` is
#: seconds since the epoch, ``station`` the device's.
SimFrame = collections.namedtuple("SimFrame", "seq time station command answer")

_STATUS_FIELDS = ("cpu_type", "version", "capacity", "mode", "link", "error_flags", "self_diagnosis")


def _check_hook(hook):
    if hook is not None and not callable(hook):
        raise TypeError("a hook must be callable or None, not %s" % type(hook).__name__)


class Device(b4k_mew._SimDevice):
    """The memory of one station: contacts X, Y, R, L (16 to a word),
    registers DT, LD, FL, S, timer and counter values SV, EV, and the status
    a controller reports. Safe to use from any thread.

    Memory methods (inherited): ``read_words(area, start, count)`` and
    ``write_words`` for contact words of X, Y, R, L; ``read_registers(area,
    start, count)`` and ``write_registers`` for DT (or D), LD (L), FL (F),
    S, SV and EV; ``get_contact(area, point)`` and ``set_contact(area,
    point, value)`` with point = word * 16 + bit; ``writes``, the write
    commands served. Properties ``silent`` and ``error_code`` make the
    device fail as a whole (see the module's description)."""

    def __init__(self, station, kind="plc", firmware=0x0100, type_code=None):
        if kind not in KINDS:
            raise ValueError("unknown device kind %r (one of %s)" % (kind, ", ".join(KINDS)))
        super().__init__(station)
        self.kind = kind
        self._on_write = None
        self._on_read = None
        code = type_code if type_code is not None else KINDS[kind]
        if code is not None:
            self.write_registers("S", 0, [code & 0xFFFF, firmware & 0xFFFF])

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

    # 32-bit floats, as controllers keep them: two registers, low word first.
    def read_float(self, area, start):
        """The IEEE 754 single in registers ``start`` and ``start + 1``."""
        low, high = self.read_registers(area, start, 2)
        return struct.unpack("<f", struct.pack("<HH", low, high))[0]

    def write_float(self, area, start, value):
        """Stores ``value`` as a single in registers ``start`` and ``start + 1``
        (rounded to the nearest single; OverflowError beyond its range)."""
        low, high = struct.unpack("<HH", struct.pack("<f", value))
        self.write_registers(area, start, [low, high])

    # The controller's status, as RT reports it.
    @property
    def status(self):
        """A ``b4k_mew.PlcStatus`` (cpu_type, version, capacity, mode, run,
        link, error_flags, self_diagnosis)."""
        cpu_type, version, capacity, mode, link, error_flags, self_diagnosis = self._status()
        return b4k_mew.PlcStatus(cpu_type, version, capacity, mode, bool(mode & 1), link, error_flags,
                                 self_diagnosis)

    def set_status(self, **fields):
        """Changes fields of the status: cpu_type, version, capacity, mode
        (bit 0: RUN), link, error_flags, self_diagnosis; ``run=True/False``
        sets or clears the RUN bit of the mode."""
        current = dict(zip(_STATUS_FIELDS, self._status()))
        run = fields.pop("run", None)
        unknown = sorted(set(fields) - set(_STATUS_FIELDS))
        if unknown:
            raise TypeError("unknown status field%s: %s" % ("s" if len(unknown) > 1 else "", ", ".join(unknown)))
        current.update(fields)
        if run is not None:
            current["mode"] = current["mode"] | 1 if run else current["mode"] & ~1
        self._set_status(*(current[name] for name in _STATUS_FIELDS))

    # Hooks: Python called only when set.
    @property
    def on_write(self):
        """``hook(area, start, values)`` called after each write of a master,
        or None (see the module's description)."""
        return self._on_write

    @on_write.setter
    def on_write(self, hook):
        _check_hook(hook)
        self._on_write = hook
        self._watch_writes(hook is not None)

    @property
    def on_read(self):
        """``hook(area, start, values)`` called after each read of a master
        with the values read, or None."""
        return self._on_read

    @on_read.setter
    def on_read(self, hook):
        _check_hook(hook)
        self._on_read = hook
        self._watch_reads(hook is not None)


class _Devices(collections.abc.MutableMapping):  # type: ignore[type-arg]
    """A simulator's devices by station: what is put in is served."""

    def __init__(self, simulator):
        self._simulator = weakref.ref(simulator)
        self._devices = {}

    def _line(self):
        simulator = self._simulator()
        if simulator is None:
            raise ReferenceError("the simulator is gone")
        return simulator

    def __getitem__(self, station):
        return self._devices[station]

    def __setitem__(self, station, device):
        if not isinstance(device, b4k_mew._SimDevice):
            raise TypeError("a simulator serves Device objects, not %s" % type(device).__name__)
        if device.station != station:
            raise ValueError("device of station %d put at station %r" % (device.station, station))
        self._line()._add_device(device)
        self._devices[station] = device

    def __delitem__(self, station):
        del self._devices[station]
        self._line()._remove_device(station)

    def __iter__(self):
        return iter(self._devices)

    def __len__(self):
        return len(self._devices)

    def __repr__(self):
        return repr(self._devices)


class _NoLine(b4k_mew.Channel):
    """A line on which nothing ever arrives and everything sent is lost."""

    def read(self, size=1):
        time.sleep(0.1)
        return ""

    def receive_frame(self):
        return ""

    def send_frame(self, data):
        pass

    @property
    def in_waiting(self):
        return 0


class Simulator(b4k_mew._Simulator):
    """Answers, on one line, for every device added to it.

    ``channel`` is a port name or a channel object, as for every station;
    keyword arguments are serial settings. Commands for a station that has
    no device go unanswered, as on a real line. ``frame_limit`` (None, 118
    or 2048), ``decimal_stations`` and ``plc`` say how every device answers
    (see the module's description). ``devices`` maps stations to their
    ``Device``; a device put into it is served at once."""

    def __init__(self, channel, frame_limit=None, decimal_stations=False, plc=False, **serial_settings):
        if frame_limit is not None and (isinstance(frame_limit, bool) or frame_limit not in FRAME_LIMITS):
            raise ValueError("frame_limit must be None, 118 or 2048, not %r" % (frame_limit,))
        # None: no line of its own, for a simulator that only serves TCP clients.
        super().__init__(_NoLine() if channel is None else channel, **serial_settings)
        self._servers = []
        self.frame_limit = frame_limit
        self.decimal_stations = bool(decimal_stations)
        self.plc = bool(plc)
        self._configure(frame_limit or 0, self.decimal_stations, self.plc)
        self.devices = _Devices(self)

    def listen(self, host="127.0.0.1", port=9094):
        """Also answers TCP clients on ``host``:``port`` (port 0: a free
        one), each on its own connection; returns the ``b4k_mew.SlaveServer``,
        closed with the simulator. OSError when the address cannot be had."""
        server = b4k_mew.SlaveServer(self, host, port)
        self._servers.append(server)
        return server

    def log_frames(self, capacity=100):
        """Keeps the last ``capacity`` frames exchanged from now on (those
        already kept too, up to the new capacity); 0 stops and empties."""
        if isinstance(capacity, bool) or not 0 <= capacity <= MAX_LOGGED_FRAMES:
            raise ValueError("a frame log keeps 0 to %d frames, not %r" % (MAX_LOGGED_FRAMES, capacity))
        self._log_frames(capacity)

    def frames(self, after=0):
        """The ``SimFrame`` entries logged with ``seq`` above ``after``,
        oldest first: pass the last ``seq`` seen to get only what is new."""
        return [SimFrame(*entry) for entry in self._frames(after)]

    def serve_web(self, host="127.0.0.1", port=8080, names=(), token=None, **view):
        """Serves the live page of the simulator on ``host``:``port`` (port 0:
        a free one) and returns the ``b4k_mew_tools.web.LiveServer``, closed
        with the simulator; ``names`` and ``token`` go to the server (host
        names and token of a network bind), ``view`` to ``SimulatorView``
        (contacts, registers). OSError when the address cannot be had."""
        from .web import LiveServer, SimulatorView

        server = LiveServer(SimulatorView(self, **view), host, port, names=names, token=token)
        self._servers.append(server)
        return server

    def close(self):
        while self._servers:
            self._servers.pop().close()
        super().close()

    def add_device(self, station, kind="plc", firmware=0x0100, type_code=None):
        """Adds a device at ``station`` and returns it."""
        device = Device(station, kind=kind, firmware=firmware, type_code=type_code)
        self.devices[station] = device
        return device

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
