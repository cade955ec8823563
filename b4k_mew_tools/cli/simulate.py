"""simulate: a rack of devices on a port, for TCP clients, or both."""

import contextlib

from ..simulator import KINDS, Device, Simulator
from .addresses import Address, parse_integer, parse_seconds
from .errors import _usage_error, check_range, CliError, MAX_DECIMAL_STATION, MAX_SECONDS, MAX_STATION, option
from .line import (_ended_normally, _print, describe_settings, is_tcp_url, open_channel, parse_listen,
                   run_until_stopped, tcp_url)
from .options import FRAME_LIMITS, _Formatter, _serial_parent
from .readwrite import _timestamp
from .web import add_web_names, parse_shown, parse_web, serve, shown_area, WEB_HELP, web_names

def frame_name(area, number):
    """An address as the frames carry it: D00100 for DT100, X0000 for the
    word WX0, R0010 for the contact at point 16."""
    if area in ("X", "Y", "R", "L"):
        word, bit = divmod(number, 16)
        return "%s%03d%X" % (area, word, bit)
    if area.startswith("W"):
        return "%s%04d" % (area[1], number)
    if area in ("SV", "EV"):
        return "%s%04d" % (area, number)
    return "%s%05d" % (area[0], number)


class LoggingDevice(Device):
    """A simulated device that prints each read and write it serves, with the
    names as the frames carry them (D00100 is DT100, X0000 the word WX0)."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.on_read = self._log_read
        self.on_write = self._log_write

    def _log(self, text):
        _print("%s station %d: %s" % (_timestamp(), self.station, text))

    @staticmethod
    def _values(area, values):
        if area in ("X", "Y", "R", "L"):
            return " ".join("%d" % v for v in values)
        if area.startswith("W"):
            return " ".join("0x%04X" % v for v in values)
        return " ".join(str(v) for v in values)

    def _log_read(self, area, start, values):
        name = frame_name(area, start)
        if area in ("X", "Y", "R", "L"):
            self._log("read %s = %s" % (name, self._values(area, values)))
        else:
            self._log("read %s x%d = %s" % (name, len(values), self._values(area, values)))

    def _log_write(self, area, start, values):
        self._log("write %s = %s" % (frame_name(area, start), self._values(area, values)))


class DeviceOption:
    """One ``--device STATION:KIND[:firmware=N][:inputs=N][:type=N][:ADDRESS=N...]``
    of ``simulate``."""

    def __init__(self, text):
        try:
            self._parse(text)
        except CliError as error:
            raise _usage_error("--device %r: %s" % (text, error)) from None

    def _parse(self, text):
        parts = text.split(":")
        if len(parts) < 2:
            raise _usage_error("expected STATION:KIND, e.g. 1:xy")
        self.station = parse_integer(parts[0])
        if self.station < 1:
            raise _usage_error("station numbers start at 1")
        check_range(self.station, parts[0], 1, MAX_STATION)
        self.kind = parts[1].strip().lower()
        if self.kind not in KINDS:
            raise _usage_error("unknown kind %r (one of %s)" % (parts[1], ", ".join(KINDS)))
        self.firmware = 0x0100
        self.inputs = None
        self.type_code = None
        self.presets = []
        for setting in parts[2:]:
            key, sep, value = setting.partition("=")
            if not sep:
                raise _usage_error("%r is not KEY=VALUE" % setting)
            key = key.strip().lower()
            number = parse_integer(value)
            if not 0 <= number <= 0xFFFF:
                raise _usage_error("%s is not a 16-bit word" % value)
            if key == "firmware":
                self.firmware = number
            elif key == "inputs":
                self.inputs = number
            elif key == "type":
                self.type_code = number
            else:
                address = Address(key)
                if address.form == "contact":
                    raise _usage_error("preset whole words (WR1=0x0001), not contacts")
                self.presets.append((address, number))

    def add_to(self, simulator, device_class):
        device = device_class(self.station, kind=self.kind, firmware=self.firmware, type_code=self.type_code)
        simulator.devices[self.station] = device
        if self.inputs is not None:
            device.set_inputs(self.inputs)
        for address, number in self.presets:
            if address.form == "word":
                device.write_words(address.memory_area, address.number, [number])
            else:  # a register, or a timer's set or elapsed value (SV0, EV0)
                device.write_registers(address.memory_area, address.number, [number])
        return device

    def describe(self, device):
        details = []
        # A plain PLC has no type register; it shows up as "unknown" in a scan.
        if device.kind != "plc" or self.type_code is not None:
            details.append("type %d, firmware 0x%04X" % (device.read_registers("S", 0, 1)[0], self.firmware))
        if self.inputs is not None:
            details.append("inputs 0x%04X" % self.inputs)
        details += ["%s=%d" % (address.name, number) for address, number in self.presets]
        return ("station %-3d %-7s %s" % (self.station, self.kind, ", ".join(details))).rstrip()


def describe_format(args):
    """How the devices answer, when not as plain slaves: ", PLC mode, frame
    limit 118, decimal stations"."""
    parts = []
    if args.plc:
        parts.append("PLC mode")
    if args.frame_limit is not None:
        parts.append("frame limit %d" % args.frame_limit)
    if args.decimal_stations:
        parts.append("decimal stations")
    return "".join(", " + part for part in parts)


def describe_places(args, served):
    """Where the devices answer, with how they answer in the first
    parentheses: "/dev/ttyUSB1 (9600 baud, 8N1, PLC mode) and
    tcp://127.0.0.1:9094", "tcp://0.0.0.0:9094 (PLC mode)"."""
    places = [args.port] if args.port is not None else []
    places += served
    details = describe_format(args)
    if args.port is not None and not is_tcp_url(args.port):
        details = describe_settings(args) + details
    else:
        details = details[2:]
    if details:
        places[0] += " (%s)" % details
    return " and ".join(places)


def listen(simulator, addresses):
    """Serves TCP clients on every address; the addresses as they are
    served, a port asked as 0 with the one it got."""
    served = []
    for host, port in addresses:
        try:
            server = simulator.listen(host, port)
        except OSError as error:
            # "cannot listen on HOST:PORT: reason": an address that cannot be
            # had is a port that cannot be opened.
            raise CliError(str(error), 2) from None
        served.append(tcp_url(host, server.port))
    return served


def web_view(simulator, options, shown):
    """The simulator's page: two words of each contact area and DT0 to DT15,
    with the ranges of --web-show and every address a --device presets."""
    from ..web import SimulatorView
    from ..web.simulator_view import DEFAULT_CONTACTS, DEFAULT_REGISTERS

    contacts, registers = list(DEFAULT_CONTACTS), list(DEFAULT_REGISTERS)
    for kind, area, start, count in shown:
        (contacts if kind == "contacts" else registers).append((area, start, count))
    for entry in options:
        for address, _ in entry.presets:
            if address.form == "word":
                contacts.append((address.memory_area, address.number, 1))
            elif shown_area(address):
                registers.append((shown_area(address), address.number, 1))
    return SimulatorView(simulator, contacts, registers)


def cmd_simulate(args):
    if args.port is None and not args.listen:
        raise _usage_error("give --port, --listen or both: where the devices answer")
    addresses = [parse_listen(text) for text in args.listen]
    options = [DeviceOption(text) for text in args.device]
    stations = [entry.station for entry in options]
    duplicates = sorted({s for s in stations if stations.count(s) > 1})
    if duplicates:
        raise _usage_error("station %s given more than once" % ", ".join(map(str, duplicates)))
    if args.decimal_stations:
        beyond = sorted(s for s in stations if s > MAX_DECIMAL_STATION)
        if beyond:
            raise _usage_error("station %s cannot be numbered in decimal (--decimal-stations: 1 to %d)"
                               % (", ".join(map(str, beyond)), MAX_DECIMAL_STATION))
    web = parse_web(args.web) if args.web is not None else None
    shown = [parse_shown(text) for text in args.web_show]
    names = web_names(args)
    if shown and web is None:
        raise _usage_error("--web-show goes with --web")
    device_class = LoggingDevice if args.verbose else Device
    line_format = {"frame_limit": args.frame_limit, "decimal_stations": args.decimal_stations, "plc": args.plc}
    with contextlib.ExitStack() as stack:
        channel = None if args.port is None else open_channel(args)
        try:
            simulator = Simulator(channel, **line_format)
        except BaseException:
            if channel is not None:
                channel.close()
            raise
        # Its servers and worker threads would otherwise keep the process
        # alive.
        stack.callback(simulator.close)
        devices = [(entry, entry.add_to(simulator, device_class)) for entry in options]
        served = listen(simulator, addresses)
        if web is not None:
            # Closed before the simulator: a page never reads a closed one.
            web_server = serve(web_view(simulator, options, shown), web, names)
            stack.callback(web_server.close)
        simulator.start()
        # A stop request may come as soon as anything is printed: the whole
        # run, announcements included, ends quietly on it.
        try:
            _print("simulating %d device%s on %s:" % (len(options), "" if len(options) == 1 else "s",
                                                     describe_places(args, served)))
            for entry, device in sorted(devices, key=lambda pair: pair[0].station):
                _print("  " + entry.describe(device))
            if web is not None:
                _print("web view on %s" % web_server.url)
            if args.duration is None:
                _print("running until Ctrl-C")
            else:
                _print("running for %g s (Ctrl-C stops earlier)" % args.duration)
            run_until_stopped(args.duration)
        except KeyboardInterrupt:
            interrupted = not _ended_normally()
        else:
            interrupted = False
        writes = sum(device.writes for _, device in devices)
    _print("stopped (%d write%s served)" % (writes, "" if writes == 1 else "s"))
    if interrupted:
        raise KeyboardInterrupt
    return 0


SIMULATE_EPILOG = """\
examples:
  b4k-mew simulate --port /dev/ttyUSB1 --device 1:xy --device 2:axis --device 3:ad --device 4:plc
  b4k-mew simulate --port /dev/ttyUSB1 --device 1:xy:firmware=0x0102:inputs=0x00A5
  b4k-mew simulate --port /dev/ttyUSB1 --device 5:plc:DT100=4660:WR1=0x0001 --verbose
  b4k-mew simulate --port /dev/ttyUSB1 --device 12:plc:SV0=50 --plc --frame-limit 118 --decimal-stations
  b4k-mew simulate --listen 9094 --device 1:plc --plc            (TCP clients on the loopback)
  b4k-mew simulate --listen tcp://0.0.0.0:9094 --device 1:plc    (TCP clients from the network)
  b4k-mew simulate --port /dev/ttyUSB1 --listen :9094 --device 1:xy  (both at once)
  b4k-mew simulate --port /dev/ttyUSB1 --device 1:plc --web 8080 --web-show LD0:8   (a live page)

A device is STATION:KIND with KIND one of xy, axis, ad, plc, unknown, and
options firmware=N (the "S1" word), inputs=N (the "WX0" word of an xy
device), type=N (report another type code in "S0"), or ADDRESS=N to preset
a register or a contact word. Every device has its own registers and
contacts; writes from a master are kept. Runs until Ctrl-C (exit 130), kill
(exit 0), or for --duration seconds.

Without options every device answers as a plain slave: contacts (RCS, WCS,
RCC, WCC) and registers (RD, WD). --plc makes them answer as controllers:
several contacts at once (RCP, WCP), the status (RT), timer and counter set
and elapsed values (RS, WS, RK, WK; preset them with SV0=N, EV0=N), and an
error response for what they cannot serve: 40 wrong check code, 41 bad
format, 42 unknown command, 43 a command during a multi-frame answer, 61 an
area or range they do not have (contact words 0 to 999). --frame-limit cuts
long answers into frames of at most 118 ("%" header) or 2048 ("<" header)
characters, as controllers do, and takes the "<" header. With
--decimal-stations the stations are numbered in decimal, 1 to 99, and EE
addresses the first device.

--listen answers TCP clients too, each on its own connection, as an
Ethernet unit does (masters reach it with --port tcp://HOST:PORT). It takes
tcp://HOST:PORT, HOST:PORT, :PORT or PORT; without a host it listens on the
loopback (127.0.0.1) only, so 0.0.0.0 must be asked for to serve the
network. Port 0 takes a free port, which the first line shows. Give
--listen more than once for several addresses; --port is needed only for a
serial line. An address that cannot be had (in use, not of this machine)
exits with 2.

--web serves a live page, http://127.0.0.1:PORT/ unless another host is
given. On a network address it answers to IP addresses and the names of
--web-name only, and asks for a token, which the printed address carries
(?token=...) and the page keeps: open that address. It shows
every station's contacts as lamps (words 0 and 1 of X, Y, R, L), registers
DT0 to DT15, the addresses a --device presets, the ranges of --web-show
(ADDRESS:COUNT, registers or contact words), and the last frames exchanged.
A click on a lamp switches the contact, a value typed into a register is
written (checked as write checks it; a bad one is refused on the page), and
a station can be made silent or to answer every command with an error code.
"""


def add_commands(commands, serial_parent, master_parent):
    """Adds simulate."""
    # The serial line is one of two places to answer: --port is optional.
    line_parent = _serial_parent(required=False, port_help=(
        "serial port to answer on, e.g. /dev/ttyUSB1 (or tcp://HOST:PORT of a converter to connect to); "
        "needed unless --listen is given"))
    simulate = commands.add_parser(
        "simulate", parents=[line_parent], formatter_class=_Formatter, epilog=SIMULATE_EPILOG,
        help="answer as a rack of simulated devices",
        description="Simulate devices on a serial port, for TCP clients, or both.")
    simulate.add_argument("--listen", action="append", default=[], metavar="tcp://HOST:PORT",
                          help="answer TCP clients on this address too; HOST defaults to 127.0.0.1, "
                          "port 0 takes a free one; repeat for more")
    simulate.add_argument("--device", action="append", required=True, metavar="STATION:KIND[:KEY=VALUE...]",
                          help="a device to simulate; repeat for more")
    simulate.add_argument("--duration", type=option(parse_seconds, 0, MAX_SECONDS),
                          help="stop after this many seconds, 0 to %d (default: Ctrl-C)" % MAX_SECONDS)
    simulate.add_argument("--verbose", "-v", action="store_true", help="print every read and write served")
    simulate.add_argument("--plc", action="store_true",
                          help="answer as controllers: RCP, WCP, RT, RS, WS, RK, WK too, and error codes "
                          "40, 41, 42, 43, 61 for what cannot be served")
    simulate.add_argument("--frame-limit", type=option(parse_integer), choices=FRAME_LIMITS,
                          help="longest frame, CR included: 118 (\"%%\" header) or 2048 (also \"<\" "
                          "header); longer answers go in several frames (default: no limit)")
    simulate.add_argument("--decimal-stations", action="store_true",
                          help="stations numbered in decimal, 1 to %d; EE addresses the first device"
                          % MAX_DECIMAL_STATION)
    simulate.add_argument("--web", metavar="[HOST:]PORT", help=WEB_HELP)
    simulate.add_argument("--web-show", action="append", default=[], metavar="ADDRESS[:COUNT]",
                          help="also show these registers (DT100:8, LD0:4, SV0:4) or contact words (WR0:4) "
                          "on the web page; repeat for more")
    add_web_names(simulate)
    simulate.set_defaults(handler=cmd_simulate)
