"""The Bridge: the lines, the MQTT session and the threads between them.

No input from the broker or the config may end one of its threads: every
callback catches and reports. A thread that ends anyway fails the whole
bridge (``failed`` is set, ``failure`` says why, and it closes itself), so
that the process can end with an error and be restarted, never half alive."""

import json
import logging
import queue
import threading
import time

from .lines import Line
from .session import Session, import_paho
from .status import station_state
from .writes import LineWriter

log = logging.getLogger("b4k_mew.bridge")


class Bridge:
    """Publishes the points of ``config`` (a Config) to its broker and takes
    writes back; start() connects (OSError when a line or the broker cannot
    be reached), close() ends everything."""

    def __init__(self, config, reconnect_delay=(1, 30)):
        import_paho()
        self.config = config
        self._reconnect_delay = reconnect_delay
        self._lines, self._writers, self._threads = [], {}, []
        self._set_topics = {}  # PREFIX/LINE/STATION/POINT/set -> (line name, point)
        self._published = {}  # topic -> payload of the retained state
        self._point_state = {}  # point key -> (value, quality)
        self._station_state = {}  # (line, station) -> (status, kind)
        self._lock = threading.Lock()
        self._close_lock = threading.Lock()
        self._changes = queue.Queue()
        self._stop = threading.Event()
        self._session = None
        self._client = None  # paho's client, while started
        self.connected = threading.Event()
        self.failed = threading.Event()
        self.failure = None  # why the bridge failed, once failed is set
        prefix, client_id = config.prefix, config.client_id
        self.availability_topic = "%s/$bridge/%s" % (prefix, client_id)
        self.error_topic = self.availability_topic + "/error"
        for line in config.lines:
            for point in line.points:
                self._set_topics["%s/%s/set" % (prefix, point.key)] = (line.name, point)

    # --- life ---

    def start(self):
        try:
            for line_config in self.config.lines:
                line = Line(line_config, self._changed)
                self._lines.append(line)
                writer = LineWriter(line, self._written)
                self._writers[line_config.name] = writer
                self._threads.append(self._thread("bridge-write-%s" % line_config.name, writer.run))
            self._session = Session(self.config, self.availability_topic, self._reconnect_delay,
                                    self._on_connected, self._on_lost, self._on_message)
            self._client = self._session.client
            self._session.connect()
            self._threads.append(self._thread("bridge-monitor", self._watch))
            for thread in self._threads:
                thread.start()
            for line in self._lines:
                line.poller.start()
        except BaseException:
            self.close()
            raise

    def close(self):
        with self._close_lock:
            self._stop.set()
            for writer in self._writers.values():
                writer.close()
            for line in self._lines:
                line.poller.close()
            for thread in self._threads:
                if thread is not threading.current_thread() and thread.is_alive():
                    thread.join(5)
            if self._session is not None:
                self._session.close((self.availability_topic, "offline"))
                self._session = None
            for line in self._lines:
                line.master.close()
            self._lines, self._writers, self._threads = [], {}, []

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.close()

    def _thread(self, name, body):
        """A thread whose end by an exception fails the bridge."""
        def run():
            try:
                body()
            except BaseException as error:
                self._fail("%s: %s: %s" % (name, type(error).__name__, error))
        return threading.Thread(target=run, name=name, daemon=True)

    def _fail(self, reason):
        if self._stop.is_set():
            return
        log.critical("the bridge stops: %s", reason)
        self.failure = reason
        self.failed.set()
        threading.Thread(target=self.close, name="bridge-close", daemon=True).start()

    # --- MQTT ---

    def _on_connected(self):
        client = self._session
        for line in self.config.lines:
            client.subscribe("%s/%s/+/+/set" % (self.config.prefix, line.name))
        client.publish(self.availability_topic, "online", retain=True)
        with self._lock:
            state = list(self._published.items())
        for topic, payload in state:  # after a reconnect the broker may have lost them
            client.publish(topic, payload, retain=True)
        self.connected.set()
        log.info("connected to the broker %s:%d", self.config.host, self.config.port)

    def _on_lost(self, reason):
        self.connected.clear()
        if reason is not None and not self._stop.is_set():
            log.warning("lost the broker (%s), connecting again", reason)

    def _publish_retained(self, topic, payload):
        with self._lock:
            self._published[topic] = payload
        session = self._session
        if session is not None:
            session.publish(topic, payload, retain=True)

    def _reject(self, topic, payload, reason):
        log.warning("write refused on %.200s: %s", topic, reason)
        message = json.dumps({"topic": topic[:1000], "payload": payload[:200], "error": reason, "time": time.time()})
        session = self._session
        if session is not None:
            session.publish(self.error_topic, message, retain=False)

    def _on_message(self, topic, data, retained):
        try:
            payload = data.decode("utf-8")
        except UnicodeDecodeError:
            return self._reject(topic, repr(data[:200]), "payload is not UTF-8 text")
        if retained:  # a command kept by the broker may be long out of date: never act on it
            return self._reject(topic, payload, "a retained /set is never applied: publish writes without retain "
                                                "(and clear this one with an empty retained message)")
        if not data:
            return  # an empty message clears a retained one: nothing to write
        line_name, point = self._set_topics.get(topic, (None, None))
        if point is None:
            return self._reject(topic, payload, "unknown point")
        if not point.writable:
            return self._reject(topic, payload, "point is read-only")
        try:
            raw = point.raw_of(payload)
        except ValueError as error:
            return self._reject(topic, payload, str(error))
        writer = self._writers.get(line_name)
        refused = "the bridge is closing" if writer is None else writer.submit(point, raw, topic, payload)
        if refused:
            self._reject(topic, payload, refused)

    def _written(self, write, error):
        try:
            if error is not None:
                return self._reject(write.topic, write.payload, error)
            point = write.point
            log.info("wrote %s %d %s = %r", point.line, point.station, point.address, write.raw)
            self._publish_point(point, point.scaled(write.raw), time.time(), "good")
        except Exception:
            log.exception("error reporting a write on %.200s", write.topic)

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
        poller's snapshots show; fails the bridge if paho's thread ended."""
        while not self._stop.is_set():
            try:
                batch = self._changes.get(timeout=0.1)
            except queue.Empty:
                batch = ()
            if self._stop.is_set():
                return
            session = self._session
            if session is not None and not session.alive():
                raise RuntimeError("the MQTT network thread ended")
            for line in list(self._lines):
                self._watch_line(line, batch)

    def _watch_line(self, line, batch):
        for change in batch:
            point = line.by_poll_name.get(change.name)
            if point is not None:
                self._publish_point(point, point.scaled(change.value), change.time, "good")
        try:
            snapshot = line.poller.snapshot()
        except Exception:  # closed under us
            return
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
                self._publish_point(point, point.scaled(result.value), result.time or time.time(), quality)
        for station, station_errors in errors.items():
            self._publish_station(line.config.name, station, *station_state(station_errors))

    def _publish_station(self, line_name, station, status, kind, detail):
        """$status and its detail, on a change of state only (not on every retry)."""
        key = (line_name, station)
        if self._station_state.get(key) == (status, kind):
            return
        self._station_state[key] = (status, kind)
        if status != "online":
            log.warning("%s station %d: %s (%s)", line_name, station, status, detail)
        topic = "%s/%s/%d/$status" % (self.config.prefix, line_name, station)
        self._publish_retained(topic + "/detail", json.dumps({"status": status, "detail": detail,
                                                             "time": round(time.time(), 3)}))
        self._publish_retained(topic, status)
