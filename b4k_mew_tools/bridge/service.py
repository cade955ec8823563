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

import b4k_mew

from .broker import import_paho
from .connection import Connection
from .lines import Line
from .publishing import JsonPublisher, reply_of
from .status import station_state
from .writes import LineWriter

log = logging.getLogger("b4k_mew.bridge")
SCAN_EVERY = 0.1  # seconds between scans of the points' qualities and the stations' states


class Bridge:
    """Publishes the points of ``config`` (a Config) to its broker and takes
    writes back, answering each; start() connects (OSError when a line
    cannot be reached; BrokerError, an OSError with an exit status, when the
    broker cannot be reached or refuses the bridge), close() ends everything."""

    def __init__(self, config, reconnect_delay=(1, 30)):
        import_paho()
        self.config = config
        self._reconnect_delay = reconnect_delay
        self._lines, self._writers, self._threads = [], {}, []
        self._set_topics = {}  # PREFIX/LINE/STATION/POINT/set -> (line name, point)
        self._point_state = {}  # point key -> (value, quality)
        self._station_state = {}  # (line, station) -> (status, kind)
        self._lock = threading.Lock()
        self._close_lock = threading.Lock()
        self._changes = queue.Queue()
        self._stop = threading.Event()
        self.connection = None  # the broker's Connection, while started
        self._next_scan = 0.0
        self._scan = True  # this cycle scans every point's quality and the stations' states
        self._marker = None  # while set, the broker is still delivering what it held for a persistent session
        self.connected = threading.Event()
        self.failed = threading.Event()
        self.failure = None  # why the bridge failed, once failed is set
        prefix, client_id = config.prefix, config.client_id
        self.availability_topic = "%s/$bridge/%s" % (prefix, client_id)
        self.error_topic = self.availability_topic + "/error"
        self.probe_topic = self.availability_topic + "/probe"
        for line in config.lines:
            for point in line.points:
                self._set_topics["%s/%s/set" % (prefix, point.key)] = (line.name, point)
        if config.publish.mode == "sparkplug":
            from .sparkplug_node import SparkplugPublisher
            self.publisher = SparkplugPublisher(self, config.publish)
        else:
            self.publisher = JsonPublisher(self, config.publish)

    # --- life ---

    def start(self):
        try:
            for line_config in self.config.lines:
                line = Line(line_config, self._changed)
                self._lines.append(line)
                writer = LineWriter(line, self._written)
                self._writers[line_config.name] = writer
                self._threads.append(self._thread("bridge-write-%s" % line_config.name, writer.run))
            self.connection = Connection(self.config.broker, self, will=self.publisher.will,
                                         reconnect_delay=self._reconnect_delay)
            probe = self.publisher.probe() if hasattr(self.publisher, "probe") else \
                (self.probe_topic, "%s %.6f" % (self.config.client_id, time.time()))
            marker = [(self.probe_topic, 1)] if self.config.publish.mode == "json" else []
            self.connection.start(self.publisher.subscriptions() + marker, probe=probe)
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
            connection = self.connection
            if connection is not None:
                if connection.connected.is_set():
                    try:
                        info = self.publisher.closing()
                        if info is not None:
                            info.wait_for_publish(2)
                    except (RuntimeError, ValueError, TypeError):
                        pass
                connection.close()
                self.connection = None
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

    # --- MQTT (called on paho's thread by the Connection, which catches) ---

    def on_connected(self, session_present):
        if session_present and self.config.publish.mode == "json":
            # The broker kept this session and delivers first what it held for
            # it: writes sent while the bridge was away, refused until this
            # marker comes back behind them.
            self._marker = ("%s %.6f" % (self.config.client_id, time.time())).encode()
            self.connection.publish(self.probe_topic, self._marker, qos=1)
        else:
            self._marker = None
        self.publisher.connected(session_present)
        self.connected.set()
        if self.connection.started:  # the first time, the command says so once the start is complete
            log.info("connected to the broker %s again", self.config.broker.address)

    def on_lost(self):
        self.connected.clear()
        if hasattr(self.publisher, "lost"):
            self.publisher.lost()
        connection = self.connection
        if not self._stop.is_set() and connection is not None and connection.started:
            log.warning("lost the broker %s, connecting again", self.config.broker.address)

    def refuse(self, topic, payload, reason, reply=None, code=None):
        """Reports a write not applied: on the error topic, in the log, and
        to ``reply`` (a Reply or None) with the device's ``code`` and meaning."""
        log.warning("write refused on %.200s: %s", topic, reason)
        message = json.dumps({"topic": topic[:1000], "payload": payload[:200], "error": reason, "time": time.time()})
        connection = self.connection
        if connection is not None:
            connection.publish(self.error_topic, message, qos=1, retain=False)
        if reply is not None:
            fields = {"error": reason}
            if code is not None:
                fields.update(code=code, meaning=b4k_mew.device_error_meaning(code))
            self.publisher.answer(reply, reply.document(False, **fields))

    def on_message(self, message):
        topic, data = message.topic, message.payload
        if topic == self.probe_topic:
            if data == self._marker:
                self._marker = None
            return
        if self.config.publish.mode == "sparkplug":
            self.publisher.command(message)
            return
        if not data:
            return  # an empty message clears a retained one: nothing to write, nothing to answer
        try:
            payload = data.decode("utf-8")
        except UnicodeDecodeError:
            return self.refuse(topic, repr(data[:200]), "payload is not UTF-8 text", reply_of(message, None))
        reply = reply_of(message, payload)
        if message.retain:  # a command kept by the broker may be long out of date: never act on it
            return self.refuse(topic, payload, "a retained /set is never applied: publish writes without retain "
                                               "(and clear this one with an empty retained message)", reply)
        if self._marker is not None:
            return self.refuse(topic, payload, "held by the broker while the bridge was away: not applied late",
                               reply)
        line_name, point = self._set_topics.get(topic, (None, None))
        if point is None:
            return self.refuse(topic, payload, "unknown point", reply)
        self.submit_write(point, payload, reply, topic, payload)

    def submit_write(self, point, payload, reply, topic, shown):
        """Checks a write of ``payload`` (text) to ``point`` and queues it;
        ``reply`` (or None) is answered when it is done or refused."""
        if not point.writable:
            return self.refuse(topic, shown, "point is read-only", reply)
        try:
            raw = point.raw_of(payload)
        except ValueError as error:
            return self.refuse(topic, shown, str(error), reply)
        writer = self._writers.get(point.line)
        refused = "the bridge is closing" if writer is None else writer.submit(point, raw, topic, shown, reply)
        if refused:
            self.refuse(topic, shown, refused, reply)

    def _written(self, write, error, code):
        """On the writer's thread: the answer, with the value read back."""
        try:
            if error is not None:
                return self.refuse(write.topic, write.payload, error, write.reply, code)
            point = write.point
            log.info("wrote %s %d %s = %r", point.line, point.station, point.address, write.raw)
            line = next(l for l in self._lines if l.config.name == point.line)
            try:
                value, when = line.read(point), time.time()
            except OSError as read_error:  # written, but what it holds now is not known
                if write.reply is not None:
                    self.publisher.answer(write.reply, write.reply.document(True, value=None,
                                                                            read_error=str(read_error)))
                return
            self._publish_point(point, value, when, "good")
            if write.reply is not None:
                self.publisher.answer(write.reply, write.reply.document(True, value=value))
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
        self.publisher.point(point, value, when, quality)

    def _watch(self):
        """Publishes the changes, and the qualities and station states the
        poller's snapshots show; fails the bridge if paho's thread ended."""
        while not self._stop.is_set():
            try:
                batch = list(self._changes.get(timeout=SCAN_EVERY))
            except queue.Empty:
                batch = []
            for _ in range(1000):  # all that came meanwhile, published in one cycle
                try:
                    batch.extend(self._changes.get_nowait())
                except queue.Empty:
                    break
            if self._stop.is_set():
                return
            connection = self.connection
            if connection is not None and not connection.alive():
                raise RuntimeError("the MQTT network thread ended")
            # Qualities and station states come from a scan of every point: at
            # most every SCAN_EVERY, not at every batch of changes, whose rate
            # grows with the points.
            now = time.monotonic()
            self._scan = now >= self._next_scan
            if self._scan:
                self._next_scan = now + SCAN_EVERY
            for line in list(self._lines):
                self._watch_line(line, batch)
            self.publisher.flush()

    def _watch_line(self, line, batch):
        for change in batch:
            point = line.by_poll_name.get(change.name)
            if point is not None:
                self._publish_point(point, point.scaled(change.value), change.time, "good")
        if not self._scan:
            return
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
        self.publisher.station(line_name, station, status, detail)
