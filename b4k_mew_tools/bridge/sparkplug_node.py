"""The bridge as a Sparkplug B edge node: the bridge is the node, each
station a device named LINE-STATION, each point a metric named as in the
config, with an alias.

NBIRTH on every connection (its bdSeq the one of the NDEATH will set for
that connection), a DBIRTH when a station first answers (all its metrics
with name, alias, type, value and time), DDATA with a station's changes at
the end of each cycle, DDEATH when it stops answering and a new DBIRTH when
it is back; NDEATH before a clean close. DCMD writes go through the same
checks and write queue as /set; NCMD "Node Control/Rebirth" sends every
birth again."""

import json
import logging
import threading

from . import sparkplug as sp

log = logging.getLogger("b4k_mew.bridge")

_TYPES = {"bool": sp.DataType.Boolean, "uint16": sp.DataType.UInt16, "int16": sp.DataType.Int16,
          "uint32": sp.DataType.UInt32, "int32": sp.DataType.Int32, "float32": sp.DataType.Float}


def datatype(point):
    """A scaled point's values are decimals: Double."""
    return sp.DataType.Double if point.scale is not None else _TYPES[point.type]


def device_id(line, station):
    return "%s-%d" % (line, station)


class SparkplugPublisher:
    def __init__(self, bridge, settings):
        self.bridge, self.settings = bridge, settings
        self.node = sp.EdgeNode(settings.group, settings.node)
        self._points = {}  # (device, metric name) -> point
        alias = 0
        for line in bridge.config.lines:
            stations = {}
            for point in line.points:
                stations.setdefault(point.station, []).append(point)
            for station, points in stations.items():
                device = device_id(line.name, station)
                metrics = []
                for point in points:
                    alias += 1
                    properties = {"engUnit": point.unit} if point.unit is not None else None
                    metrics.append(sp.MetricDef(point.name, alias, datatype(point), properties))
                    self._points[device, point.name] = point
                self.node.add_device(device, metrics)
        # One lock numbers and hands to paho every message of the node, so
        # that their seq reaches the broker in order.
        self._lock = threading.RLock()
        self._latest = {}  # (device, name) -> (value, ms)
        self._pending = {}  # device -> [(name, value, ms)] since the last DDATA
        self._online = set()  # stations that answer
        self._born = set()  # devices whose DBIRTH this session has seen
        self._session = False  # NBIRTH published on this connection
        self.will = (self.node.topic("NDEATH"), self.node.death(), 1, False)

    def subscriptions(self):
        return [(self.node.topic("NCMD"), 1), (self.node.topic("DCMD") + "/+", 1)]

    def probe(self):
        """The NBIRTH comes back to the bridge: a broker that drops it shows so."""
        return (self.node.topic("NBIRTH"), None)

    def _publish(self, topic, payload, qos=0):
        connection = self.bridge.connection
        if connection is not None:
            return connection.publish(topic, payload, qos=qos, retain=False)

    def connected(self, session_present):
        with self._lock:
            self._session = True
            self._born.clear()
            self._publish(self.node.topic("NBIRTH"), self.node.node_birth())
            for device in self.node.devices:
                if device in self._online:
                    self._birth(device)

    def lost(self):
        """A new connection is a new session: a new bdSeq, in the will too."""
        with self._lock:
            self._session = False
            self.node.next_session()
            self.will = (self.node.topic("NDEATH"), self.node.death(), 1, False)
            if self.bridge.connection is not None:
                self.bridge.connection.set_will(*self.will)

    def closing(self):
        with self._lock:
            self._session = False
            return self._publish(self.node.topic("NDEATH"), self.node.death(), qos=1)

    def _birth(self, device):
        self._pending.pop(device, None)
        values = {name: self._latest[key] for key in self._latest if key[0] == device for name in (key[1],)}
        self._publish(self.node.topic("DBIRTH", device), self.node.device_birth(device, values))
        self._born.add(device)

    def point(self, point, value, when, quality):
        device = device_id(point.line, point.station)
        entry = (value if quality == "good" else None, int(when * 1000))
        with self._lock:
            self._latest[device, point.name] = entry
            if device in self._born:
                self._pending.setdefault(device, []).append((point.name,) + entry)

    def station(self, line, station, status, detail=None):
        device = device_id(line, station)
        with self._lock:
            if status == "online":
                self._online.add(device)
                if self._session and device not in self._born:
                    self._birth(device)
            else:
                self._online.discard(device)
                if device in self._born:
                    self._flush(device)
                    self._publish(self.node.topic("DDEATH", device), self.node.device_death(device))
                    self._born.discard(device)

    def _flush(self, device):
        changes = self._pending.pop(device, None)
        if changes:
            self._publish(self.node.topic("DDATA", device), self.node.device_data(device, changes))

    def flush(self):
        with self._lock:
            for device in list(self._pending):
                self._flush(device)

    # --- commands ---

    def command(self, message):
        """Applies an NCMD or DCMD ``message``; True when it was one."""
        ncmd, dcmd = self.node.topic("NCMD"), self.node.topic("DCMD") + "/"
        if message.topic == ncmd:
            device = None
        elif message.topic.startswith(dcmd):
            device = message.topic[len(dcmd):]
            if device not in self.node.devices:
                self.bridge.refuse(message.topic, "", "unknown device %r" % device[:100])
                return True
        else:
            return False
        try:
            writes = self.node.command(message.payload, device)
        except ValueError as error:
            self.bridge.refuse(message.topic, repr(message.payload[:100]), str(error))
            return True
        for target, value in writes:
            if target == sp.REBIRTH and device is None:
                if value is True:
                    log.info("rebirth asked for by %s", message.topic)
                    self.connected(False)
                continue
            name = target.name if isinstance(target, sp.MetricDef) else target
            text = "%s = %r" % (name, value)
            if isinstance(value, ValueError) or device is None:
                self.bridge.refuse(message.topic, text, str(value) if isinstance(value, ValueError)
                                   else "unknown metric")
                continue
            point = self._points[device, target.name]
            self.bridge.submit_write(point, json.dumps(value), None, message.topic, text)
        return True
