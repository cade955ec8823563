"""read, write and watch."""

import datetime
import re
import sys
import time

import b4k_mew

from .addresses import (_words_per_value, Address, check_run, CONTACTS_PER_COMMAND, format_value, parse_integer,
                        parse_seconds, parse_value, read_contacts, read_values, TYPES, write_contacts, write_values)
from .errors import (_usage_error, check_range, CliError, describe_line_error, MAX_FRAME_WORDS, MAX_STATION, one_line,
                     option, station_name, steady_failure, TIMEOUT_TEXT)
from .line import _ended_normally, _print, opened
from .web import add_web_names, WEB_HELP, web_names
from .options import _Formatter, _seconds, _SECONDS_RANGE, _type_option, ADDRESSES_HELP, master_settings


def _target(text, args, count=1, split=False):
    address = Address(text)
    value_type = args.type or address.default_type
    address.check_type(value_type)
    check_run(address, value_type, count, split)
    return address, value_type


def _contacts(texts, args, verb, what):
    """The addresses of ``texts``, each a single contact, as the forms that
    name several contacts take them."""
    if args.type not in (None, "coil"):
        raise _usage_error("%s are contacts: --type %s does not fit them" % (what, args.type))
    addresses = [Address(text) for text in texts]
    for address in addresses:
        if address.form != "contact":
            raise _usage_error("%s must all be contacts like R0010; %s is a %s (%s it on its own)"
                               % (what, address.text, address.form, verb))
    return addresses


def cmd_read(args):
    if len(args.addresses) > 1:
        return _read_contacts(args)
    # A master that splits its reads takes runs longer than one frame.
    address, value_type = _target(args.addresses[0], args, args.count, split=args.max_read_words is not None)
    step = _words_per_value(value_type)
    with opened(b4k_mew.MewMaster, args, **master_settings(args)) as master:
        values = read_values(master, args.station, address, value_type, args.count)
    for i, value in enumerate(values):
        _print("%s = %s" % (address.at(i * step), format_value(value, value_type, args.hex)))
    return 0


def _read_contacts(args):
    if args.count != 1:
        raise _usage_error("--count goes with one address; several addresses are read one value each")
    addresses = _contacts(args.addresses, args, "read", "several addresses")
    with opened(b4k_mew.MewMaster, args, **master_settings(args)) as master:
        states = read_contacts(master, args.station, addresses)
    for address, state in zip(addresses, states):
        _print("%s = %s" % (address.name, format_value(state, "coil")))
    return 0


def _write_pairs(items, args):
    pairs = []
    for text in items:
        name, sep, state = text.partition("=")
        if not sep:
            raise _usage_error("expected CONTACT=STATE like Y0000=on, not %r (pairs and ADDRESS VALUE... "
                               "do not mix)" % text)
        pairs.append((name, state))
    addresses = _contacts([name for name, _ in pairs], args, "write", "CONTACT=STATE pairs")
    return [(address, parse_value(state, "coil")) for address, (_, state) in zip(addresses, pairs)]


def cmd_write(args):
    items = [args.address, *args.values]
    if any("=" in text for text in items):
        pairs = _write_pairs(items, args)
        with opened(b4k_mew.MewMaster, args, **master_settings(args)) as master:
            write_contacts(master, args.station, pairs)
        _print("ok")
        return 0
    if not args.values:
        raise _usage_error("expected ADDRESS VALUE... (e.g. DT100 5) or CONTACT=STATE... (e.g. Y0000=on)")
    address, value_type = _target(args.address, args, len(args.values))
    values = [parse_value(text, value_type) for text in args.values]
    with opened(b4k_mew.MewMaster, args, **master_settings(args)) as master:
        write_values(master, args.station, address, value_type, values)
    _print("ok")
    return 0


def _timestamp(when=None):
    """"14:02:11.204": now, or ``when`` (seconds since the epoch)."""
    moment = datetime.datetime.now() if when is None else datetime.datetime.fromtimestamp(when)
    return moment.strftime("%H:%M:%S.%f")[:-3]


_STATION_PREFIX = re.compile(r"[0-9]+")


def _watch_target(text, args):
    """One watched point, [STATION:]ADDRESS[:TYPE] ("1:DT200:int32",
    "2:R0010", "DT100"): (station or None for --station's, address, type,
    name). The name is what the output and the page call it: the address,
    after its station when one is given."""
    parts = text.split(":")
    station = value_type = None
    if len(parts) > 1 and _STATION_PREFIX.fullmatch(parts[0].strip()):
        station = check_range(parse_integer(parts[0]), parts[0], 0, MAX_STATION)
        parts = parts[1:]
    if len(parts) > 1 and parts[-1].strip().lower() in TYPES:
        value_type = parts.pop().strip().lower()
    if len(parts) != 1:
        raise _usage_error("not a point to watch: %r ([STATION:]ADDRESS[:TYPE], e.g. 1:DT200:int32 or 2:R0010)"
                           % text)
    address = Address(parts[0])
    value_type = value_type or args.type or address.default_type
    address.check_type(value_type)
    check_run(address, value_type, 1)
    return station, address, value_type, address.name if station is None else "%d:%s" % (station, address.name)


def cmd_watch(args):
    targets = [_watch_target(text, args) for text in args.addresses]
    if args.count < 0:
        raise _usage_error("--count must not be negative")
    if args.web is not None:
        return _watch_web(args, targets)
    if args.trend is not None:
        raise _usage_error("--trend goes with --web")
    if args.labels is not None:
        raise _usage_error("--labels goes with --web")
    web_names(args)
    settings = master_settings(args)
    last = [None] * len(targets)
    failing = [None] * len(targets)
    polls = 0
    with opened(b4k_mew.MewMaster, args, **settings) as master:
        start = time.monotonic()
        try:
            while True:
                all_read = True
                for i, (station, address, value_type, name) in enumerate(targets):
                    station = args.station if station is None else station
                    try:
                        value = read_values(master, station, address, value_type, 1)[0]
                    except OSError as error:
                        all_read = False
                        message = one_line(steady_failure(describe_line_error(
                            error, station, args.timeout, args.decimal_stations)))
                        # A station that stays silent, or a unit that stays
                        # away, is reported once, not at every poll.
                        if failing[i] != message:
                            _print("%s %s: %s" % (_timestamp(), name, message), stream=sys.stderr)
                        failing[i] = message
                        continue
                    failing[i] = None
                    # Compared as shown: a NaN in a float register equals no
                    # value, itself neither, and would be a change at every poll.
                    shown = format_value(value, value_type, args.hex)
                    if last[i] is None:
                        _print("%s %s = %s" % (_timestamp(), name, shown))
                    elif last[i] != shown:
                        _print("%s %s %s -> %s" % (_timestamp(), name, last[i], shown))
                    last[i] = shown
                polls += 1
                if args.count and polls >= args.count:
                    return 0 if all_read else 1
                # Polls keep to a fixed grid; a slow line skips ahead instead
                # of firing a burst of late polls.
                delay = start + polls * args.interval - time.monotonic()
                if delay < 0:
                    start = time.monotonic() - polls * args.interval
                    delay = 0
                time.sleep(delay)
        except KeyboardInterrupt:
            if _ended_normally():
                return 0
            raise


def _poller_point(address, value_type):
    """The poller's address and type for a watched address."""
    if address.form == "contact":
        return address.name, "bool"
    if address.form == "word":
        return address.name, "uint16"
    if address.form == "register":
        return address.name, value_type
    raise _usage_error("--web watches registers DT, LD, FL, S, words of contacts and contacts; %s is the value of "
                       "a timer or counter" % address.name)


_DEVICE_CODE = re.compile(r"code\(hex\): ([0-9A-Fa-f]{2})")
_ERROR_CLASS = re.compile(r"^[A-Za-z]*Error: ")


def _poller_failure(text, station, args):
    """A poller's error text in the words the command line uses for it:
    "station 5: no answer within 0.3 s (time-out)", "station 2: error
    response, code 61 (data error (area or range))"."""
    text = steady_failure(_ERROR_CLASS.sub("", text, count=1))
    code = _DEVICE_CODE.search(text)
    if text == TIMEOUT_TEXT:
        reason = "no answer within %g s (time-out)" % args.timeout
    elif code:
        meaning = b4k_mew.device_error_meaning(code.group(1).upper())
        reason = "error response, code %s" % code.group(1).upper() + (" (%s)" % meaning if meaning else "")
    else:
        reason = text
    return "station %s: %s" % (station_name(station, args.decimal_stations), reason)


def _labels(path, points):
    """{name: (label, unit)} from a TOML file of points as the bridge's
    configuration has them ([[point]] or [[line.point]]: station, address,
    name, unit); points not watched are left out. One line and status 2 for
    a file that cannot be read or a point that is not right."""
    from .._compat import tomllib

    try:
        with open(path, "rb") as file:
            document = tomllib.load(file)
    except OSError as error:
        raise CliError("cannot read --labels %s: %s" % (path, error.strerror or error), 2) from None
    except tomllib.TOMLDecodeError as error:
        raise CliError("--labels %s: %s" % (path, error), 2) from None
    entries = list(document.get("point", []))
    for line in document.get("line", []):
        entries += line.get("point", []) if isinstance(line, dict) else []
    watched = {(entry[0], entry[1].name): name for name, entry in points.items()}
    labels = {}
    for number, entry in enumerate(entries, 1):
        try:
            if not isinstance(entry, dict):
                raise ValueError("not a table")
            station = entry.get("station", 1)
            label, unit = entry.get("name", ""), entry.get("unit", "")
            if isinstance(station, bool) or not isinstance(station, int) or not isinstance(entry.get("address"), str) \
                    or not isinstance(label, str) or not isinstance(unit, str):
                raise ValueError("station is a number; address, name and unit are text")
            address = Address(entry["address"])
        except (ValueError, CliError) as error:
            raise CliError("--labels %s: point %d: %s" % (path, number, error), 2) from None
        name = watched.get((station, address.name))
        if name is not None:
            labels[name] = (label, unit)
    return labels


def _watch_web(args, targets):
    """watch on the poller, with its page: neighbouring addresses share a
    command, and a station that stays silent is tried again less and less
    often."""
    from ..web import WatchView
    from ..web.watch_view import DEFAULT_WINDOW
    from .web import parse_web, serve

    address = parse_web(args.web)
    names = web_names(args)
    settings = master_settings(args)
    points = {}
    for station, target, value_type, name in targets:
        station = args.station if station is None else station
        if name in points or any((station, target.name) == (p[0], p[1].name) for p in points.values()):
            raise _usage_error("%s is given twice" % name)
        points[name] = (station, target, value_type, _poller_point(target, value_type))
    labels = _labels(args.labels, points) if args.labels is not None else {}

    def describe(name, value):
        return format_value(value, points[name][2], args.hex)

    def describe_error(name, text):
        return _poller_failure(text, points[name][0], args)

    def changed(changes):
        view.record(changes)
        for name, value, when in changes:
            shown = describe(name, value)
            if name in last:
                _print("%s %s %s -> %s" % (_timestamp(when), name, last[name], shown))
            else:
                _print("%s %s = %s" % (_timestamp(when), name, shown))
            last[name] = shown

    def report_errors():
        """Prints each point's new error, once, as the plain watch does;
        whether any point has one."""
        any_error = False
        for name, reading in poller.snapshot().items():
            if reading.error and failing.get(name) != reading.error:
                _print("%s %s: %s" % (_timestamp(), name, one_line(describe_error(name, reading.error))),
                       stream=sys.stderr)
            failing[name] = reading.error
            any_error = any_error or bool(reading.error)
        return any_error

    stations = sorted({entry[0] for entry in points.values()})
    title = "watch %s, station%s %s" % (args.port, "" if len(stations) == 1 else "s",
                                        ", ".join(station_name(s, args.decimal_stations) for s in stations))
    last, failing = {}, {}
    with opened(b4k_mew.MewMaster, args, **settings) as master:
        poller = b4k_mew.Poller(master, on_change=changed)
        view = WatchView(poller, describe, {name: entry[2] for name, entry in points.items()},
                         args.trend or DEFAULT_WINDOW, title=title, labels=labels, describe_error=describe_error)
        for name, (station, _, _, (poller_address, poller_type)) in points.items():
            poller.add(station, poller_address, poller_type, period=args.interval, name=name)
        try:
            server = serve(view, address, names)
        except BaseException:
            poller.close()
            raise
        try:
            _print("web view on %s" % server.url)
            poller.start()
            while not (args.count and poller.cycles >= args.count):
                time.sleep(min(0.1, args.interval))
                report_errors()
            return 1 if report_errors() else 0
        except KeyboardInterrupt:
            if _ended_normally():
                # What the page already showed is not left unsaid.
                report_errors()
                return 0
            raise
        finally:
            poller.close()
            server.close()


READ_EPILOG = ADDRESSES_HELP + """
examples:
  b4k-mew read --port /dev/ttyUSB0 DT100
  b4k-mew read --port /dev/ttyUSB0 --station 2 DT100 --count 4 --type int16
  b4k-mew read --port COM3 DT200 --type uint32 --count 2
  b4k-mew read --port /dev/ttyUSB0 DT300 --type float32
  b4k-mew read --port /dev/ttyUSB0 R0010 --count 16
  b4k-mew read --port /dev/ttyUSB0 X0000 Y001A R0010      (several contacts)
  b4k-mew read --port /dev/ttyUSB0 SV0 --count 4            (timer set values)
  b4k-mew read --port /dev/ttyUSB0 --baudrate 19200 --parity O WX0
  b4k-mew read --port /dev/ttyUSB0 --decimal-stations --station EE DT0
  b4k-mew read --port /dev/ttyUSB0 --frame-limit 118 DT0 --count 100
  b4k-mew read --port /dev/ttyUSB0 --max-read-words 24 DT0 --count 100
  b4k-mew read --port tcp://192.168.1.5:9094 DT100     (through an Ethernet unit)

Prints one line per value, "DT100 = 4660"; the address steps by one
register (two for 32-bit types), one contact or one word per value. The
values must end by the last address, and registers and words must fit one
frame, at most %d words, unless --max-read-words splits the read.
Several addresses must all be contacts: up to %d go in one command, and
each prints a line of its own.
""" % (MAX_FRAME_WORDS, CONTACTS_PER_COMMAND)

WRITE_EPILOG = ADDRESSES_HELP + """
examples:
  b4k-mew write --port /dev/ttyUSB0 DT100 4660
  b4k-mew write --port /dev/ttyUSB0 DT100 1 2 3 0x10      (DT100..DT103)
  b4k-mew write --port /dev/ttyUSB0 DT100 -5 --type int16
  b4k-mew write --port /dev/ttyUSB0 DT200 100000 --type uint32
  b4k-mew write --port /dev/ttyUSB0 DT300 1.5 -0.25 --type float32
  b4k-mew write --port /dev/ttyUSB0 --station 3 R0010 on
  b4k-mew write --port /dev/ttyUSB0 Y0000=on R0010=off   (several contacts)
  b4k-mew write --port /dev/ttyUSB0 WY0 0x00FF
  b4k-mew write --port /dev/ttyUSB0 SV0 100                 (timer 0 set value)
  b4k-mew write --port tcp://192.168.1.5:9094 DT100 7     (through an Ethernet unit)

Values are decimal, 0x... hexadecimal or 0b... binary, float32 ones a
decimal like 1.5 or 2e-3 (not nan or inf); contacts take 1/0, on/off or
true/false. Several values go to consecutive addresses in one command (one
command per contact). CONTACT=STATE pairs set contacts anywhere, up to %d
in one command. Prints "ok".
""" % CONTACTS_PER_COMMAND

WATCH_EPILOG = """\
examples:
  b4k-mew watch --port /dev/ttyUSB0 DT100
  b4k-mew watch --port /dev/ttyUSB0 --station 2 WX0 R0010 DT5 --interval 0.2
  b4k-mew watch --port /dev/ttyUSB0 DT100 --count 10
  b4k-mew watch --port /dev/ttyUSB0 DT300 DT302 --type float32
  b4k-mew watch --port tcp://192.168.1.5:9094 DT100
  b4k-mew watch --port /dev/ttyUSB0 DT100 WX0 --interval 0.2 --web 8081 --trend 600
  b4k-mew watch --port /dev/ttyUSB0 1:DT200:int32 2:R0010 2:DT5 --web 8081 --labels points.toml

An address may name its station and its type: [STATION:]ADDRESS[:TYPE]
(1:DT200:int32); without them --station and --type (or the address's
default) hold. A point with a station is called STATION:ADDRESS.

Prints each address's first value, then a line whenever one changes:
  14:02:11.204 DT100 = 7
  14:02:13.706 DT100 7 -> 8
Runs until Ctrl-C (exit 130), kill (exit 0) or --count polls. A read that fails is reported
on stderr once and polling goes on; with --count the exit status is 1 when
the last poll could not read every address. Over TCP a lost connection is
such a failure too: the next polls connect again, after a pause that grows
from 0.5 s to 8 s while the unit stays away, and a unit that refuses is
reported once, not at every poll.

--web serves a live page (http://127.0.0.1:PORT/ unless another host is
given; on a network address it answers to IP addresses and --web-name only,
and asks for the token the printed address carries) with every address's
value (greyed, with its age, while its station fails or the page has lost
the server), the times of its last change and read, its error, and a trend
of the last --trend seconds (default 300): a chart with a time axis for
numbers, an on/off timeline for contacts, broken where the station failed;
the pointer shows the value at its time. --labels FILE names the points and
gives their units, from a TOML file of [[point]] tables (station, address,
name, unit) or a bridge configuration.
With --web the poller reads the addresses (registers DT, LD, FL, contacts and
contact words): neighbouring ones share a command, and a station that stays
silent is tried again less and less often, up to every 30 s.
"""


def add_commands(commands, serial_parent, master_parent):
    """Adds read, write and watch."""
    read = commands.add_parser(
        "read", parents=[serial_parent, master_parent], formatter_class=_Formatter, epilog=READ_EPILOG,
        help="read registers, contacts or words", description="Read values from a station.")
    read.add_argument("addresses", metavar="ADDRESS", nargs="+",
                      help="first address, e.g. DT100, R0010, WX0, SV0; or several contacts, e.g. X0000 Y001A")
    read.add_argument("--count", type=option(parse_integer), default=1,
                      help="number of values from one address (default 1)")
    _type_option(read)
    read.add_argument("--hex", action="store_true", help="print register values in hexadecimal")
    read.set_defaults(handler=cmd_read)

    write = commands.add_parser(
        "write", parents=[serial_parent, master_parent], formatter_class=_Formatter, epilog=WRITE_EPILOG,
        help="write registers, contacts or words", description="Write values to a station.")
    # Pairs take both places: "Y0000=on R0010=off" is an ADDRESS and a VALUE
    # to the parser, and cmd_write tells the forms apart.
    write.add_argument("address", metavar="ADDRESS",
                       help="first address, e.g. DT100, R0010, WY0, SV0; or a CONTACT=STATE pair, e.g. Y0000=on")
    write.add_argument("values", metavar="VALUE", nargs="*",
                       help="values for consecutive addresses; or more CONTACT=STATE pairs")
    _type_option(write)
    write.set_defaults(handler=cmd_write)

    watch = commands.add_parser(
        "watch", parents=[serial_parent, master_parent], formatter_class=_Formatter, epilog=WATCH_EPILOG,
        help="poll addresses and print every change", description="Poll addresses and print their changes.")
    watch.add_argument("addresses", metavar="ADDRESS", nargs="+", help="addresses to watch")
    watch.add_argument("--interval", type=_seconds, default=1.0,
                       help="seconds between polls, %s (default 1.0)" % _SECONDS_RANGE)
    watch.add_argument("--count", type=option(parse_integer), default=0,
                       help="stop after this many polls (default: never)")
    _type_option(watch)
    watch.add_argument("--hex", action="store_true", help="print register values in hexadecimal")
    watch.add_argument("--web", metavar="[HOST:]PORT", help=WEB_HELP + "; polls through the poller")
    watch.add_argument("--trend", type=option(parse_seconds, 1, 86400), metavar="SECONDS",
                       help="span of the web page's trend charts, 1 to 86400 (default 300)")
    add_web_names(watch)
    watch.add_argument("--labels", metavar="FILE",
                       help="labels and units for the web page from a TOML file of points (station, address, "
                       "name, unit), as [[point]] or the bridge's [[line.point]]")
    watch.set_defaults(handler=cmd_watch)
