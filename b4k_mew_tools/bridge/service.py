"""The Bridge: the lines, the MQTT session and the threads between them."""

import json
import logging
import queue
import threading
import time

from .lines import Line
from .status import station_status

log = logging.getLogger("b4k_mew.bridge")


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
                self._lines.append(Line(line_config, self))
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
