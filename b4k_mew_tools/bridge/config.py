"""The bridge's configuration: the TOML file checked whole before anything
connects, every mistake a ConfigError whose one line names the point and key."""

import math
import re
import socket

import b4k_mew

from .broker import CONNECTION_KEYS, BrokerSettings, SettingsError, parse_security
from .points import TYPES, Point
from .publishing import PublishSettings, parse_publish

_TYPES_OF = {"contact": ("bool",), "word": ("uint16", "int16"), "register": TYPES[1:]}
# A topic level: no separator or wildcard, no white space, no control
# character or non-character (brokers drop a client that sends one).
_LEVEL = re.compile(r"[^/+#\s\x00-\x1f\x7f-\x9f\ufdd0-\ufdef\ufffe\uffff]+")
_TCP_PORT = re.compile(r"(?i)(tcp|socket)://(\[[0-9a-f:.]+\]|[^:/\[\]\s]+):([0-9]{1,5})")
MAX_TOPIC = 65535  # bytes of UTF-8 in an MQTT topic
_WIDTH = {"bool": 1, "uint16": 1, "int16": 1, "uint32": 2, "int32": 2, "float32": 2}
_SERIAL_KEYS = {"baudrate": int, "bytesize": int, "parity": str, "stopbits": (int, float)}
_POINT_KEYS = ("station", "name", "address", "type", "period", "scale", "unit", "writable", "qos")
_LINE_KEYS = ("name", "port", "frame_limit", "decimal_stations", "query_timeout", "write_timeout", "point")


class ConfigError(ValueError):
    """A configuration that cannot run; its text names the key."""


class LineConfig:
    def __init__(self, name, port, serial, frame_limit, decimal_stations, query_timeout, points,
                 write_timeout=None):
        self.name, self.port, self.serial = name, port, serial
        self.frame_limit, self.decimal_stations, self.query_timeout = frame_limit, decimal_stations, query_timeout
        self.points = points
        # A write not applied within this many seconds is refused, never applied late.
        self.write_timeout = write_timeout if write_timeout is not None else 10 * query_timeout


class Config:
    def __init__(self, host, port, prefix, client_id, keepalive, lines, broker=None, publish=None):
        self.host, self.port, self.prefix, self.client_id, self.keepalive = host, port, prefix, client_id, keepalive
        self.lines = lines
        # How to reach the broker (account, TLS, protocol) and how to publish.
        self.broker = broker or BrokerSettings(host, port, client_id, keepalive, 4, True, None, None, None)
        self.publish = publish or PublishSettings()


def check_address(text, kind):
    """The address ``text`` in upper case and the types it can hold, with
    ``kind`` (a type or None) fitting inside its area; ValueError saying why
    not, in the words every tool of the library uses."""
    parsed = b4k_mew.parse_address(text)
    if parsed.form == "timer":
        raise ValueError("%s is the value of a timer or counter, which the bridge does not poll" % parsed.name)
    allowed = _TYPES_OF[parsed.form]
    if kind in allowed and parsed.word + _WIDTH[kind] - 1 > parsed.last:
        raise ValueError("a %s at %s ends beyond %s, the last of its area" % (kind, parsed.name, parsed.last_name))
    return text.strip().upper(), allowed


def _shown(value):
    # Short enough that the reason after it survives the one-line cut of
    # the command's error line, whatever the config's path.
    text = repr(value)
    return text if len(text) <= 40 else text[:37] + "..."


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
        raise ConfigError("%s%s: %s is not %s" % (where, key, _shown(value), what or _kind_name(kinds)))
    return value


def _tuple(kinds):
    return kinds if isinstance(kinds, tuple) else (kinds,)


def _kind_name(kinds):
    names = {str: "a string", int: "an integer", float: "a number", bool: "true or false",
             list: "a list", dict: "a table"}
    return " or ".join(names.get(k, k.__name__) for k in _tuple(kinds))


def _segment(value):
    return bool(_LEVEL.fullmatch(value)) and not value.startswith("$")


def _unknown(table, known, where):
    for key in table:
        if key not in known:
            raise ConfigError("%s%s: unknown key" % (where, _shown(key)[1:-1]))


def _topic_bytes(*levels):
    return len("/".join(levels).encode("utf-8", "surrogatepass"))


_NAME = "a name without /, +, #, spaces, control characters or a leading $"


def _parse_point(entry, where, line_name, prefix, decimal, keys):
    _unknown(entry, _POINT_KEYS, where)
    station = _get(entry, "station", where, int, required=True,
                   check=lambda v: 0 <= v <= (99 if decimal else 255) and v != 0xFF,
                   what="a station number 0..%d" % (99 if decimal else 254))
    name = _get(entry, "name", where, str, required=True, check=_segment, what=_NAME)
    size = _topic_bytes(prefix, line_name, str(station), name, "set")
    if size > MAX_TOPIC:
        raise ConfigError("%sname: its topic would be %d bytes, more than MQTT's %d" % (where, size, MAX_TOPIC))
    if (station, name) in keys:
        raise ConfigError("%sname: %s is used twice on station %d" % (where, _shown(name), station))
    keys.add((station, name))
    text = _get(entry, "address", where, str, required=True)
    kind = _get(entry, "type", where, str, None, check=lambda v: v in TYPES, what="one of " + ", ".join(TYPES))
    try:
        address, allowed = check_address(text, kind)
    except ValueError as error:
        raise ConfigError("%saddress: %s" % (where, error)) from None
    kind = kind or allowed[0]
    if kind not in allowed:
        raise ConfigError("%stype: %s does not fit %s (%s)" % (where, kind, address, ", ".join(allowed)))
    period = _get(entry, "period", where, (int, float), 1.0, check=lambda v: 0.01 <= v <= 86400,
                  what="seconds 0.01..86400")
    scale = _get(entry, "scale", where, (int, float), None, check=lambda v: v != 0 and math.isfinite(v),
                 what="a non-zero number")
    if scale is not None and kind == "bool":
        raise ConfigError("%sscale: a bool point has no scale" % where)
    unit = _get(entry, "unit", where, str, None)
    writable = _get(entry, "writable", where, bool, False)
    if writable and address.startswith(("X", "WX")):
        raise ConfigError("%swritable: %s is an input, which cannot be written" % (where, address))
    qos = _get(entry, "qos", where, int, None, check=lambda v: v in (0, 1, 2), what="0, 1 or 2")
    return Point(line_name, station, name, address, kind, float(period), scale, unit, writable, qos)


def _parse_line(table, index, prefix, line_names):
    where = "line[%d]." % index
    if not isinstance(table, dict):
        raise ConfigError("line[%d]: not a table" % index)
    _unknown(table, _LINE_KEYS + tuple(_SERIAL_KEYS), where)
    name = _get(table, "name", where, str, required=True, check=_segment, what=_NAME)
    if name in line_names:
        raise ConfigError("%sname: %s is used twice" % (where, _shown(name)))
    line_names.add(name)
    where = "line %s: " % _shown(name)
    port = _get(table, "port", where, str, required=True, check=bool, what="a serial port or tcp://host:port")
    is_tcp = port.lower().startswith(("tcp://", "socket://"))
    if is_tcp:
        match = _TCP_PORT.fullmatch(port)
        if not match or not 1 <= int(match.group(3)) <= 65535:
            raise ConfigError("%sport: %s is not tcp://host:port or tcp://[v6 address]:port" % (where, _shown(port)))
    serial = {}
    for key, kinds in _SERIAL_KEYS.items():
        if key in table:
            if is_tcp:
                raise ConfigError("%s%s: a TCP line has no %s" % (where, key, key))
            serial[key] = _get(table, key, where, kinds)
    if "parity" in serial and serial["parity"] not in ("N", "E", "O", "M", "S"):
        raise ConfigError("%sparity: %s is not N, E, O, M or S" % (where, _shown(serial["parity"])))
    frame_limit = _get(table, "frame_limit", where, int, None, check=lambda v: v in (0, 118, 2048),
                       what="0, 118 or 2048")
    decimal = _get(table, "decimal_stations", where, bool, False)
    query_timeout = _get(table, "query_timeout", where, (int, float), 0.5, check=lambda v: 0.01 <= v <= 60,
                         what="seconds 0.01..60")
    write_timeout = _get(table, "write_timeout", where, (int, float), None, check=lambda v: 0.01 <= v <= 3600,
                         what="seconds 0.01..3600")
    point_tables = _get(table, "point", where, list, required=True, check=bool,
                        what="a non-empty list of [[line.point]]")
    points, keys = [], set()
    for number, entry in enumerate(point_tables):
        if not isinstance(entry, dict):
            raise ConfigError("%spoint[%d]: not a table" % (where, number))
        label = "point[%d]" % number
        if isinstance(entry.get("name"), str):
            label += " " + _shown(entry["name"])
        points.append(_parse_point(entry, "%s%s: " % (where, label), name, prefix, decimal, keys))
    return LineConfig(name, port, serial, frame_limit, decimal, float(query_timeout), points,
                      None if write_timeout is None else float(write_timeout))


def parse_config(document):
    """A Config from the parsed TOML ``document``; ConfigError naming the key."""
    _unknown(document, ("broker", "publish", "line"), "")
    broker = _get(document, "broker", "", dict, default={})
    _unknown(broker, ("prefix",) + CONNECTION_KEYS, "broker.")
    host = _get(broker, "host", "broker.", str, "127.0.0.1", check=bool, what="a host name")
    broker_port = _get(broker, "port", "broker.", int, 1883, check=lambda v: 1 <= v <= 65535, what="a port 1..65535")
    prefix = _get(broker, "prefix", "broker.", str, "plant", check=lambda v: all(map(_segment, v.split("/"))),
                  what="a topic prefix without +, #, control characters or empty levels")
    client_id = _get(broker, "client_id", "broker.", str, "b4k-mew-bridge-%s" % socket.gethostname(),
                     check=lambda v: _segment(v) and _topic_bytes(prefix, "$bridge", v, "error") <= MAX_TOPIC,
                     what="a client id without /, +, #, spaces or control characters")
    keepalive = _get(broker, "keepalive", "broker.", int, 30, check=lambda v: 5 <= v <= 3600,
                     what="seconds 5..3600")
    try:
        settings = parse_security(broker, host, broker_port, client_id, keepalive)
    except SettingsError as error:
        raise ConfigError(str(error)) from None
    publish = parse_publish(_get(document, "publish", "", dict, default={}), prefix, client_id, ConfigError)
    line_tables = _get(document, "line", "", list, required=True, check=bool, what="a non-empty list of [[line]]")
    line_names = set()
    lines = [_parse_line(table, index, prefix, line_names) for index, table in enumerate(line_tables)]
    return Config(host, broker_port, prefix, client_id, keepalive, lines, settings, publish)


def load_config(path):
    """The Config in the TOML file ``path``; ConfigError (with the line
    where tomllib gives it), OSError when it cannot be read."""
    from .._compat import tomllib
    with open(path, "rb") as file:
        try:
            document = tomllib.load(file)
        except tomllib.TOMLDecodeError as error:
            raise ConfigError(str(error)) from None
    return parse_config(document)
