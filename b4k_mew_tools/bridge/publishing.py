"""How the bridge puts its points on the broker: the [publish] settings, the
JSON topics (one retained message per point, or one per station and
cycle), Sparkplug B (a node per bridge, a device per station), and the
answers to writes.

A publisher is told of every change of a point's value or quality
(point()), of a station's status (station()), of each cycle's end (flush(),
where grouped payloads and periodic republishing go out) and of every new
connection (connected()); it publishes through the bridge's Connection."""

import json
import logging
import threading
import time

from . import discovery

log = logging.getLogger("b4k_mew.bridge")

MODES = ("json", "sparkplug")
PUBLISH_KEYS = ("mode", "qos", "on_change", "every", "grouped", "sparkplug", "discovery")


class PublishSettings:
    def __init__(self, mode="json", qos=1, on_change=True, every=0.0, grouped=False, group=None, node=None,
                 discovery_prefix=None):
        self.mode, self.qos, self.on_change, self.every, self.grouped = mode, qos, on_change, every, grouped
        self.group, self.node, self.discovery_prefix = group, node, discovery_prefix


def parse_publish(table, prefix, client_id, error):
    """The PublishSettings of the [publish] table; ``error`` makes the
    exception naming the key."""
    if not isinstance(table, dict):
        raise error("publish: not a table")
    for key in table:
        if key not in PUBLISH_KEYS:
            raise error("publish.%s: unknown key" % key)
    mode = table.get("mode", "json")
    if mode not in MODES:
        raise error('publish.mode: %r is not "json" or "sparkplug"' % (mode,))
    qos = table.get("qos", 1)
    if qos not in (0, 1, 2) or isinstance(qos, bool):
        raise error("publish.qos: %r is not 0, 1 or 2" % (qos,))
    on_change = table.get("on_change", True)
    if not isinstance(on_change, bool):
        raise error("publish.on_change: %r is not true or false" % (on_change,))
    every = table.get("every", 0)
    if isinstance(every, bool) or not isinstance(every, (int, float)) or not (every == 0 or 0.1 <= every <= 86400):
        raise error("publish.every: %r is not 0 or seconds 0.1..86400" % (every,))
    if not on_change and not every:
        raise error("publish.every: with on_change = false, give the seconds between publications")
    grouped = table.get("grouped", False)
    if not isinstance(grouped, bool):
        raise error("publish.grouped: %r is not true or false" % (grouped,))
    group = node = discovery_prefix = None
    if mode == "sparkplug":
        try:
            import google.protobuf  # noqa: F401
        except ImportError:
            raise error("publish.mode: Sparkplug B needs protobuf: install python3-protobuf") from None
        sparkplug = table.get("sparkplug", {})
        if not isinstance(sparkplug, dict):
            raise error("publish.sparkplug: not a table")
        for key in sparkplug:
            if key not in ("group", "node"):
                raise error("publish.sparkplug.%s: unknown key" % key)
        group, node = sparkplug.get("group", prefix.replace("/", "_")), sparkplug.get("node", client_id)
        for key, value in (("group", group), ("node", node)):
            if not isinstance(value, str) or not value or any(c in value for c in "/+#"):
                raise error("publish.sparkplug.%s: %r is not an id without /, + or #" % (key, value))
        if grouped:
            raise error("publish.grouped: Sparkplug B groups a station's changes in one DDATA already")
        if every or not on_change:
            raise error("publish.%s: Sparkplug B publishes on change (a host asks for everything with a rebirth)"
                        % ("every" if every else "on_change"))
    elif "sparkplug" in table:
        raise error('publish.sparkplug: needs mode = "sparkplug"')
    if "discovery" in table:
        if mode != "json":
            raise error('publish.discovery: needs mode = "json"')
        if grouped:
            raise error("publish.discovery: needs a topic per point (grouped = false)")
        found = table["discovery"]
        if not isinstance(found, dict) or any(k != "prefix" for k in found):
            raise error("publish.discovery: a table with at most a prefix")
        discovery_prefix = found.get("prefix", "homeassistant")
        if not isinstance(discovery_prefix, str) or not discovery_prefix or any(c in discovery_prefix for c in "+#"):
            raise error("publish.discovery.prefix: %r is not a topic prefix" % (discovery_prefix,))
    return PublishSettings(mode, qos, on_change, float(every), grouped, group, node, discovery_prefix)


def point_qos(point, settings):
    return settings.qos if point.qos is None else point.qos


class JsonPublisher:
    """PREFIX/LINE/STATION/POINT, retained {"value", "time", "quality"[, "unit"]};
    grouped: PREFIX/LINE/STATION/$points, retained {"time", "points": {name:
    {"value", "time", "quality"}}} once per cycle for a station that changed."""

    def __init__(self, bridge, settings):
        self.bridge, self.settings = bridge, settings
        self.prefix = bridge.config.prefix
        self._lock = threading.Lock()
        self._retained = {}  # topic -> (payload, qos): what a new connection publishes again
        self._latest = {}  # point key -> (point, document)
        self._dirty = set()  # (line, station) whose group changed this cycle
        self._next_every = time.monotonic() + settings.every if settings.every else None
        self.will = (bridge.availability_topic, "offline", 1, True)

    def subscriptions(self):
        return [("%s/%s/+/+/set" % (self.prefix, line.name), 1) for line in self.bridge.config.lines]

    def _publish(self, topic, payload, qos, retain=True):
        if retain:
            with self._lock:
                self._retained[topic] = (payload, qos)
        connection = self.bridge.connection
        if connection is not None:
            connection.publish(topic, payload, qos=qos, retain=retain)

    def connected(self, session_present):
        connection = self.bridge.connection
        connection.publish(self.bridge.availability_topic, "online", qos=1, retain=True)
        if self.settings.discovery_prefix is not None:
            points = [p for line in self.bridge.config.lines for p in line.points]
            for topic, payload in discovery.messages(points, self.prefix, self.bridge.config.client_id,
                                                     self.bridge.availability_topic,
                                                     self.settings.discovery_prefix):
                connection.publish(topic, payload, qos=1, retain=True)
        with self._lock:
            state = list(self._retained.items())
        for topic, (payload, qos) in state:  # after a reconnect the broker may have lost them
            connection.publish(topic, payload, qos=qos, retain=True)

    def closing(self):
        connection = self.bridge.connection
        return connection.publish(self.bridge.availability_topic, "offline", qos=1, retain=True)

    def point(self, point, value, when, quality):
        document = {"value": value, "time": round(when, 3), "quality": quality}
        if point.unit is not None:
            document["unit"] = point.unit
        with self._lock:
            self._latest[point.key] = (point, document)
            if self.settings.grouped:
                self._dirty.add((point.line, point.station))
        if self.settings.on_change and not self.settings.grouped:
            self._publish("%s/%s" % (self.prefix, point.key), json.dumps(document), point_qos(point, self.settings))

    def station(self, line, station, status, detail=None):
        topic = "%s/%s/%d/$status" % (self.prefix, line, station)
        self._publish(topic + "/detail", json.dumps({"status": status, "detail": detail,
                                                     "time": round(time.time(), 3)}), 1)
        self._publish(topic, status, 1)

    def flush(self):
        everything = False
        if self._next_every is not None and time.monotonic() >= self._next_every:
            self._next_every = time.monotonic() + self.settings.every
            everything = True
        if self.settings.grouped:
            with self._lock:
                if everything:
                    self._dirty = {(p.line, p.station) for p, _ in self._latest.values()}
                dirty, self._dirty = self._dirty, set()
                groups = {}
                for point, document in self._latest.values():
                    if (point.line, point.station) in dirty:
                        entry = {k: v for k, v in document.items() if k != "unit"}
                        groups.setdefault((point.line, point.station), {})[point.name] = entry
            if (self.settings.on_change and dirty) or everything:
                for (line, station), points in groups.items():
                    payload = json.dumps({"time": round(time.time(), 3), "points": points})
                    self._publish("%s/%s/%d/$points" % (self.prefix, line, station), payload, self.settings.qos)
        elif everything:
            with self._lock:
                latest = list(self._latest.values())
            for point, document in latest:
                self._publish("%s/%s" % (self.prefix, point.key), json.dumps(document), point_qos(point, self.settings))

    # --- writes ---

    def answer(self, reply, document):
        connection = self.bridge.connection
        if connection is None or reply is None:
            return
        properties = None
        if reply.correlation is not None or reply.v5:
            properties = connection.response_properties(reply.correlation) if connection.v5 else None
        connection.publish(reply.topic, json.dumps(document), qos=1, retain=False, properties=properties)


class Reply:
    """Where the answer to one write goes: the request's MQTT 5 response topic
    and correlation data when it gave them, else ``<point>/set/result``; and
    the ``id`` of its JSON, echoed."""

    def __init__(self, topic, correlation=None, request_id=None, v5=False):
        self.topic, self.correlation, self.request_id, self.v5 = topic, correlation, request_id, v5

    def document(self, ok, **fields):
        document = {"ok": ok}
        if self.request_id is not None:
            document["id"] = self.request_id
        document.update(fields)
        document["time"] = round(time.time(), 3)
        return document


def reply_of(message, payload_text):
    """The Reply for a /set ``message`` whose payload is ``payload_text``."""
    properties = getattr(message, "properties", None)
    response = getattr(properties, "ResponseTopic", None) if properties is not None else None
    correlation = getattr(properties, "CorrelationData", None) if properties is not None else None
    request_id = None
    text = (payload_text or "").strip()
    if text.startswith("{"):
        try:
            document = json.loads(text)
        except ValueError:
            document = None
        if isinstance(document, dict) and isinstance(document.get("id"), (str, int, float)) \
                and not isinstance(document.get("id"), bool):
            request_id = document["id"]
            if isinstance(request_id, str):
                request_id = request_id[:200]
    # An answer on a /set topic would be a write itself, to whatever point
    # the requester named: such a response topic gets the default instead.
    if response and "+" not in response and "#" not in response and not response.endswith("/set"):
        return Reply(response, correlation, request_id, v5=True)
    return Reply(message.topic + "/result", None, request_id)
