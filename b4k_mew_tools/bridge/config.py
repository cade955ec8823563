"""The MQTT bridge: publishes what the controllers on some lines hold to an
MQTT broker and takes writes back.

Topics (``PREFIX`` is [broker] prefix, ``CLIENT`` its client_id):

  PREFIX/LINE/STATION/POINT        {"value": V, "time": T, "quality": "good"|"bad"[, "unit": U]}
                                    retained, published when the value or its quality changes
  PREFIX/LINE/STATION/POINT/set    written by consumers: 12, 1.5, true, false or {"value": V}
  PREFIX/LINE/STATION/$status      "online", "timeout" or "error CODE MEANING", retained
  PREFIX/$bridge/CLIENT            "online", retained; "offline" (the will, or a clean close)
  PREFIX/$bridge/CLIENT/error      {"topic": ..., "payload": ..., "error": ...}, not retained

The payload of a point is stable: consumers may rely on its four keys.
paho-mqtt is imported by Bridge only, so the rest of the package works
without it."""

import json
import logging
import math
import queue
import re
import socket
import threading
import time

import b4k_mew

log = logging.getLogger("b4k_mew.bridge")

TYPES = ("bool", "uint16", "int16", "uint32", "int32", "float32")
RANGES = {
    "uint16": (0, 0xFFFF), "int16": (-0x8000, 0x7FFF),
    "uint32": (0, 0xFFFFFFFF), "int32": (-0x80000000, 0x7FFFFFFF),
}
FLOAT32_MAX = 3.4028234663852886e38
_CONTACT = re.compile(r"[XYRL][0-9]{0,3}[0-9A-F]")
_WORD = re.compile(r"W[XYRL][0-9]{1,4}")
_REGISTER = re.compile(r"(DT|LD|FL|D|L|F)[0-9]{1,5}")
_SEGMENT = re.compile(r"[^/+#\s]+")
_SERIAL_KEYS = {"baudrate": int, "bytesize": int, "parity": str, "stopbits": (int, float)}


class ConfigError(ValueError):
    """A configuration that cannot run; its text names the key."""


class Point:
    def __init__(self, line, station, name, address, type, period, scale, unit, writable):
        self.line, self.station, self.name, self.address = line, station, name, address
        self.type, self.period, self.scale, self.unit, self.writable = type, period, scale, unit, writable
        self.key = "%s/%d/%s" % (line, station, name)  # the topic without the prefix

    def scaled(self, raw):
        if raw is None or self.scale is None or self.type == "bool":
            return raw
        value = raw * self.scale
        return round(value, 9) if isinstance(value, float) else value

    def raw_of(self, text):
        """The value to write for the payload ``text``; ValueError saying why not."""
        text = text.strip()
        value = text
        if text.startswith("{"):
            try:
                document = json.loads(text)
            except ValueError:
                raise ValueError("not valid JSON") from None
            if not isinstance(document, dict) or "value" not in document:
                raise ValueError('JSON without a "value"')
            value = document["value"]
        if isinstance(value, str):
            lowered = value.strip().lower()
            if lowered in ("true", "false", "on", "off"):
                value = lowered in ("true", "on")
            else:
                try:
                    value = int(lowered, 10)
                except ValueError:
                    try:
                        value = float(lowered)
                    except ValueError:
                        raise ValueError("not a number: %r" % text[:40]) from None
        if self.type == "bool":
            if isinstance(value, bool) or value in (0, 1):
                return bool(value)
            raise ValueError("not true, false, 1 or 0: %r" % text[:40])
        if isinstance(value, bool):
            value = int(value)
        if not isinstance(value, (int, float)):
            raise ValueError("not a number: %r" % text[:40])
        if isinstance(value, float) and not math.isfinite(value):
            raise ValueError("not a finite number: %r" % text[:40])
        if self.scale is not None:
            value = value / self.scale
        if self.type == "float32":
            if abs(value) > FLOAT32_MAX:
                raise ValueError("%s is out of the range of float32" % text[:40])
            return float(value)
        if isinstance(value, float):
            if self.scale is None and not value.is_integer():
                raise ValueError("%s is not an integer" % text[:40])
            value = int(round(value))
        low, high = RANGES[self.type]
        if not low <= value <= high:
            raise ValueError("%s is out of the range of %s (%d..%d)" % (text[:40], self.type, low, high))
        return value


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


def station_status(errors):
    """The $status text of a station from its points' last errors."""
    errors = [e for e in errors if e]
    if not errors:
        return "online"
    for error in errors:
        if "timeout" in error.lower():
            return "timeout"
    match = re.search(r"code\(hex\):\s*([0-9A-Fa-f]{2})", errors[0])
    if match:
        code = match.group(1).upper()
        return "error %s %s" % (code, b4k_mew.device_error_meaning(code))
    return "error " + errors[0].split(": ", 1)[-1]


class _Line:
    """A line at run time: its master, poller and write worker."""

    def __init__(self, config, bridge):
        self.config = config
        self.points = {(p.station, p.name): p for p in config.points}
        self.by_poll_name = {p.key: p for p in config.points}
        port = config.port
        if port.lower().startswith(("tcp://", "socket://")):
            self.master = b4k_mew.MewMaster(port, query_timeout=config.query_timeout)
        else:
            self.master = b4k_mew.MewMaster(b4k_mew.MewSerial(port=port, **config.serial),
                                            query_timeout=config.query_timeout)
        try:
            if config.frame_limit is not None:
                self.master.frame_limit = config.frame_limit
            self.master.decimal_stations = config.decimal_stations
            self.poller = b4k_mew.Poller(self.master, on_change=bridge._changed)
            for point in config.points:
                self.poller.add(point.station, point.address, point.type, point.period, point.key)
        except BaseException:
            self.master.close()
            raise
        self.writes = queue.Queue()
        self.worker = threading.Thread(target=bridge._write_worker, args=(self,),
                                       name="bridge-write-%s" % config.name, daemon=True)

    def write(self, point, raw):
        station, address, master = point.station, point.address, self.master
        if point.type == "bool":
            master.set_coil(station, address, raw)
        elif address.startswith("W"):
            master.set_coil_uint16(station, address, raw & 0xFFFF)
        else:
            getattr(master, "set_" + point.type)(station, address, raw)


class Bridge:
    """Publishes the points of ``config`` (a Config) to its broker and takes
    writes back; start() connects (OSError when a line or the broker cannot
    be reached), close() ends everything."""

    def __init__(self, config, reconnect_delay=(1, 30)):
        try:
            import paho.mqtt.client as mqtt
        except ImportError:
            raise ImportError("the MQTT bridge needs paho-mqtt: install python3-paho-mqtt") from None
        self._mqtt = mqtt
        self.config = config
        self._reconnect_delay = reconnect_delay
        self._lines = []
        self._published = {}  # topic -> payload of the retained state
        self._point_state = {}  # point key -> (value, quality)
        self._station_state = {}  # (line, station) -> status
        self._lock = threading.Lock()
        self._changes = queue.Queue()
        self._stop = threading.Event()
        self._monitor = None
        self._client = None
        self.connected = threading.Event()
        prefix, client_id = config.prefix, config.client_id
        self.availability_topic = "%s/$bridge/%s" % (prefix, client_id)
        self.error_topic = self.availability_topic + "/error"

    # --- life ---

    def start(self):
        try:
            for line_config in self.config.lines:
                self._lines.append(_Line(line_config, self))
            client = self._mqtt.Client(client_id=self.config.client_id, clean_session=True)
            client.will_set(self.availability_topic, "offline", qos=1, retain=True)
            client.reconnect_delay_set(*self._reconnect_delay)
            client.on_connect = self._on_connect
            client.on_disconnect = self._on_disconnect
            client.on_message = self._on_message
            self._client = client
            try:
                client.connect(self.config.host, self.config.port, self.config.keepalive)
            except (OSError, ValueError) as error:
                raise OSError("cannot connect to the broker %s:%d: %s"
                              % (self.config.host, self.config.port, getattr(error, "strerror", None) or error)) \
                    from None
            client.loop_start()
            self._monitor = threading.Thread(target=self._watch, name="bridge-monitor", daemon=True)
            self._monitor.start()
            for line in self._lines:
                line.worker.start()
                line.poller.start()
        except BaseException:
            self.close()
            raise

    def close(self):
        self._stop.set()
        for line in self._lines:
            line.poller.close()
            if line.worker.is_alive():
                line.writes.put(None)
                line.worker.join(5)
        if self._monitor is not None:
            self._monitor.join(5)
        client = self._client
        if client is not None:
            if self.connected.is_set():
                info = client.publish(self.availability_topic, "offline", qos=1, retain=True)
                try:
                    info.wait_for_publish(2)
                except (RuntimeError, ValueError):
                    pass
            client.disconnect()
            client.loop_stop()
            self._client = None
        for line in self._lines:
            line.master.close()
        self._lines = []

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.close()

    # --- MQTT ---

    def _on_connect(self, client, userdata, flags, rc):
        if rc != 0:
            log.warning("broker refused the connection: %s", self._mqtt.connack_string(rc))
            return
        for line in self._lines:
            client.subscribe("%s/%s/+/+/set" % (self.config.prefix, line.config.name), qos=1)
        client.publish(self.availability_topic, "online", qos=1, retain=True)
        with self._lock:
            state = list(self._published.items())
        for topic, payload in state:  # after a reconnect the broker may have lost them
            client.publish(topic, payload, qos=1, retain=True)
        self.connected.set()
        log.info("connected to the broker %s:%d", self.config.host, self.config.port)

    def _on_disconnect(self, client, userdata, rc):
        self.connected.clear()
        if rc != 0 and not self._stop.is_set():
            log.warning("lost the broker (%s), connecting again", self._mqtt.error_string(rc))

    def _publish_retained(self, topic, payload):
        with self._lock:
            self._published[topic] = payload
        if self._client is not None:
            self._client.publish(topic, payload, qos=1, retain=True)

    def _reject(self, topic, payload, reason):
        log.warning("write refused on %s: %s", topic, reason)
        message = json.dumps({"topic": topic, "payload": payload[:200], "error": reason, "time": time.time()})
        if self._client is not None:
            self._client.publish(self.error_topic, message, qos=1, retain=False)

    def _on_message(self, client, userdata, message):
        topic = message.topic
        try:
            payload = message.payload.decode("utf-8")
        except UnicodeDecodeError:
            payload = repr(message.payload[:200])
            return self._reject(topic, payload, "payload is not UTF-8 text")
        parts = topic[len(self.config.prefix) + 1:].split("/")
        line = next((l for l in self._lines if l.config.name == parts[0]), None)
        point = None
        if line is not None and len(parts) == 4 and parts[1].isdigit():
            point = line.points.get((int(parts[1]), parts[2]))
        if point is None:
            return self._reject(topic, payload, "unknown point")
        if not point.writable:
            return self._reject(topic, payload, "point is read-only")
        try:
            raw = point.raw_of(payload)
        except ValueError as error:
            return self._reject(topic, payload, str(error))
        line.writes.put((point, raw, topic, payload))

    def _write_worker(self, line):
        while True:
            item = line.writes.get()
            if item is None:
                return
            point, raw, topic, payload = item
            try:
                line.write(point, raw)
            except OSError as error:
                self._reject(topic, payload, "write failed: %s" % error)
                continue
            log.info("wrote %s %s = %r", line.config.name, point.address, raw)
            self._publish_point(point, point.scaled(raw), time.time(), "good")

    # --- state ---

    def _changed(self, changes):
        self._changes.put(changes)

    def _publish_point(self, point, value, when, quality):
        with self._lock:
            if self._point_state.get(point.key) == (value, quality):
                return
            self._point_state[point.key] = (value, quality)
        document = {"value": value, "time": round(when, 3), "quality": quality}
        if point.unit is not None:
            document["unit"] = point.unit
        self._publish_retained("%s/%s" % (self.config.prefix, point.key), json.dumps(document))

    def _watch(self):
        """Publishes the changes, and the qualities and station states the
        poller's snapshots show."""
        while not self._stop.is_set():
            try:
                batch = self._changes.get(timeout=0.1)
            except queue.Empty:
                batch = ()
            for line in list(self._lines):
                for change in batch:
                    point = line.by_poll_name.get(change.name)
                    if point is not None:
                        self._publish_point(point, point.scaled(change.value), change.time, "good")
                try:
                    snapshot = line.poller.snapshot()
                except Exception:  # closed under us
                    continue
                errors = {}
                for point in line.config.points:
                    result = snapshot.get(point.key)
                    if result is None or (result.time is None and result.error is None):
                        continue  # not read yet
                    errors.setdefault(point.station, []).append(result.error)
                    quality = "good" if result.error is None and result.value is not None else "bad"
                    with self._lock:
                        known = self._point_state.get(point.key)
                    if known is None or known[1] != quality:
                        self._publish_point(point, point.scaled(result.value),
                                            result.time or time.time(), quality)
                for station, station_errors in errors.items():
                    status = station_status(station_errors)
                    key = (line.config.name, station)
                    if self._station_state.get(key) != status:
                        self._station_state[key] = status
                        if status != "online":
                            log.warning("%s station %d: %s", line.config.name, station, status)
                        self._publish_retained("%s/%s/%d/$status" % (self.config.prefix, line.config.name, station),
                                               status)
