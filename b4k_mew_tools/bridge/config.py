"""The bridge's configuration: the TOML file checked whole, every mistake a
ConfigError whose one line names the key."""

import math
import re
import socket

from .points import TYPES, Point

_CONTACT = re.compile(r"[XYRL][0-9]{0,3}[0-9A-F]")
_WORD = re.compile(r"W[XYRL][0-9]{1,4}")
_REGISTER = re.compile(r"(DT|LD|FL|D|L|F)[0-9]{1,5}")
_SEGMENT = re.compile(r"[^/+#\s]+")
_SERIAL_KEYS = {"baudrate": int, "bytesize": int, "parity": str, "stopbits": (int, float)}


class ConfigError(ValueError):
    """A configuration that cannot run; its text names the key."""


class LineConfig:
    def __init__(self, name, port, serial, frame_limit, decimal_stations, query_timeout, points):
        self.name, self.port, self.serial = name, port, serial
        self.frame_limit, self.decimal_stations, self.query_timeout = frame_limit, decimal_stations, query_timeout
        self.points = points


class Config:
    def __init__(self, host, port, prefix, client_id, keepalive, lines):
        self.host, self.port, self.prefix, self.client_id, self.keepalive = host, port, prefix, client_id, keepalive
        self.lines = lines


def _get(table, key, where, kinds, default=None, required=False, check=None, what=None):
    if key not in table:
        if required:
            raise ConfigError("%s%s: missing" % (where, key))
        return default
    value = table[key]
    ok = isinstance(value, kinds) and not (isinstance(value, bool) and bool not in _tuple(kinds))
    if ok and check is not None:
        ok = check(value)
    if not ok:
        raise ConfigError("%s%s: %r is not %s" % (where, key, value, what or _kind_name(kinds)))
    return value


def _tuple(kinds):
    return kinds if isinstance(kinds, tuple) else (kinds,)


def _kind_name(kinds):
    names = {str: "a string", int: "an integer", float: "a number", bool: "true or false",
             list: "a list", dict: "a table"}
    return " or ".join(names.get(k, k.__name__) for k in _tuple(kinds))


def _segment(value):
    return bool(_SEGMENT.fullmatch(value)) and not value.startswith("$")


def _unknown(table, known, where):
    for key in table:
        if key not in known:
            raise ConfigError("%s%s: unknown key" % (where, key))


def parse_config(document):
    """A Config from the parsed TOML ``document``; ConfigError naming the key."""
    _unknown(document, ("broker", "line"), "")
    broker = _get(document, "broker", "", dict, default={})
    _unknown(broker, ("host", "port", "prefix", "client_id", "keepalive"), "broker.")
    host = _get(broker, "host", "broker.", str, "127.0.0.1", check=bool, what="a host name")
    broker_port = _get(broker, "port", "broker.", int, 1883, check=lambda v: 1 <= v <= 65535, what="a port 1..65535")
    prefix = _get(broker, "prefix", "broker.", str, "plant", check=lambda v: all(map(_segment, v.split("/"))),
                  what="a topic prefix without +, # or empty levels")
    client_id = _get(broker, "client_id", "broker.", str, "b4k-mew-bridge-%s" % socket.gethostname(),
                     check=_segment, what="a client id without /, +, # or spaces")
    keepalive = _get(broker, "keepalive", "broker.", int, 30, check=lambda v: 5 <= v <= 3600,
                     what="seconds 5..3600")
    line_tables = _get(document, "line", "", list, required=True, check=bool, what="a non-empty list of [[line]]")
    lines, line_names = [], set()
    for index, table in enumerate(line_tables):
        where = "line[%d]." % index
        if not isinstance(table, dict):
            raise ConfigError("line[%d]: not a table" % index)
        _unknown(table, ("name", "port", "frame_limit", "decimal_stations", "query_timeout", "point")
                 + tuple(_SERIAL_KEYS), where)
        name = _get(table, "name", where, str, required=True, check=_segment,
                    what="a name without /, +, #, spaces or a leading $")
        if name in line_names:
            raise ConfigError("%sname: %r is used twice" % (where, name))
        line_names.add(name)
        where = "line %r: " % name
        port = _get(table, "port", where, str, required=True, check=bool, what="a serial port or tcp://host:port")
        is_tcp = port.lower().startswith(("tcp://", "socket://"))
        if is_tcp and not re.fullmatch(r"(?i)(tcp|socket)://[^:/]+:[0-9]{1,5}", port):
            raise ConfigError("%sport: %r is not tcp://host:port" % (where, port))
        serial = {}
        for key, kinds in _SERIAL_KEYS.items():
            if key in table:
                if is_tcp:
                    raise ConfigError("%s%s: a TCP line has no %s" % (where, key, key))
                serial[key] = _get(table, key, where, kinds)
        if "parity" in serial and serial["parity"] not in ("N", "E", "O", "M", "S"):
            raise ConfigError("%sparity: %r is not N, E, O, M or S" % (where, serial["parity"]))
        frame_limit = _get(table, "frame_limit", where, int, None, check=lambda v: v in (0, 118, 2048),
                           what="0, 118 or 2048")
        decimal = _get(table, "decimal_stations", where, bool, False)
        query_timeout = _get(table, "query_timeout", where, (int, float), 0.5, check=lambda v: 0.01 <= v <= 60,
                             what="seconds 0.01..60")
        point_tables = _get(table, "point", where, list, required=True, check=bool,
                            what="a non-empty list of [[line.point]]")
        points, keys = [], set()
        for number, entry in enumerate(point_tables):
            pwhere = "%spoint[%d]." % (where, number)
            if not isinstance(entry, dict):
                raise ConfigError("%spoint[%d]: not a table" % (where, number))
            _unknown(entry, ("station", "name", "address", "type", "period", "scale", "unit", "writable"), pwhere)
            station = _get(entry, "station", pwhere, int, required=True,
                           check=lambda v: 0 <= v <= (99 if decimal else 255) and v != 0xFF,
                           what="a station number 0..%d" % (99 if decimal else 254))
            pname = _get(entry, "name", pwhere, str, required=True, check=_segment,
                         what="a name without /, +, #, spaces or a leading $")
            if (station, pname) in keys:
                raise ConfigError("%sname: %r is used twice on station %d" % (pwhere, pname, station))
            keys.add((station, pname))
            address = _get(entry, "address", pwhere, str, required=True)
            address = address.strip().upper()
            if _CONTACT.fullmatch(address):
                allowed = ("bool",)
            elif _WORD.fullmatch(address):
                allowed = ("uint16", "int16")
            elif _REGISTER.fullmatch(address):
                allowed = TYPES[1:]
            else:
                raise ConfigError("%saddress: %r is not a contact (X0010), word (WX0) or register (DT100)"
                                  % (pwhere, entry["address"]))
            kind = _get(entry, "type", pwhere, str, allowed[0], check=lambda v: v in TYPES,
                        what="one of " + ", ".join(TYPES))
            if kind not in allowed:
                raise ConfigError("%stype: %s does not fit %s (%s)" % (pwhere, kind, address, ", ".join(allowed)))
            period = _get(entry, "period", pwhere, (int, float), 1.0, check=lambda v: 0.01 <= v <= 86400,
                          what="seconds 0.01..86400")
            scale = _get(entry, "scale", pwhere, (int, float), None, check=lambda v: v != 0 and math.isfinite(v),
                         what="a non-zero number")
            if scale is not None and kind == "bool":
                raise ConfigError("%sscale: a bool point has no scale" % pwhere)
            unit = _get(entry, "unit", pwhere, str, None)
            writable = _get(entry, "writable", pwhere, bool, False)
            if writable and address.startswith(("X", "WX")):
                raise ConfigError("%swritable: %s is an input, which cannot be written" % (pwhere, address))
            points.append(Point(name, station, pname, address, kind, float(period), scale, unit, writable))
        lines.append(LineConfig(name, port, serial, frame_limit, decimal, float(query_timeout), points))
    return Config(host, broker_port, prefix, client_id, keepalive, lines)


def load_config(path):
    """The Config in the TOML file ``path``; ConfigError (with the line
    where tomllib gives it), OSError when it cannot be read."""
    import tomllib
    with open(path, "rb") as file:
        try:
            document = tomllib.load(file)
        except tomllib.TOMLDecodeError as error:
            raise ConfigError(str(error)) from None
    return parse_config(document)
