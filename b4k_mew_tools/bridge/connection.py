"""The bridge's connection to its broker: a paho client made from the
BrokerSettings, hiding the differences between paho-mqtt 1.6 and 2.x, and
turning what the broker refuses into one line and an exit status."""

import logging
import ssl
import threading

from .broker import REFUSED, UNREACHABLE, BrokerError, import_paho

log = logging.getLogger("b4k_mew.bridge")

CONNECT_WAIT = 10.0  # seconds from connect to the broker's answer and the subscriptions' grants
PROBE_WAIT = 5.0  # seconds for the bridge's first message to come back through the broker
# A broker answers CONNECT with one of these when the account or its rights
# are wrong (MQTT 3.1.1 codes 4 and 5, MQTT 5 reason codes 0x86 and 0x87):
# trying again will not help, so a start ends with REFUSED.
_ACCOUNT_CODES = {4, 5, 0x86, 0x87, 0x8C}


def _code(reason):
    """The number of a paho reason (an int, 1.6's ReasonCodes or 2.x's ReasonCode)."""
    return getattr(reason, "value", reason) if reason is not None else 0


class Connection:
    """A paho client connected with ``settings``; what the broker says is
    handed to ``handler``'s methods, on paho's thread:

      on_connected(session_present) after every accepted CONNECT, once the
                                   subscriptions are asked for again
      on_message(message)          every message received (a paho MQTTMessage)
      on_lost()                    the connection dropped; paho connects again

    The handler's exceptions are caught and logged: nothing the broker sends
    may end paho's thread. ``will`` is (topic, payload, qos, retain)."""

    def __init__(self, settings, handler, will=None, reconnect_delay=(1, 30)):
        self._mqtt = mqtt = import_paho()
        self.settings, self.handler = settings, handler
        self.v5 = settings.protocol == 5
        kwargs = {"client_id": settings.client_id, "protocol": settings.protocol}
        if not self.v5:
            kwargs["clean_session"] = settings.clean_session
        if hasattr(mqtt, "CallbackAPIVersion"):  # paho-mqtt 2.x
            self._v2 = True
            client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2, **kwargs)
        else:
            self._v2 = False
            client = mqtt.Client(**kwargs)
        if settings.username is not None:
            client.username_pw_set(settings.username,
                                   settings.password.value if settings.password is not None else None)
        if settings.tls is not None:
            tls = settings.tls
            try:
                client.tls_set(ca_certs=tls.ca_file, certfile=tls.cert_file, keyfile=tls.key_file,
                               cert_reqs=ssl.CERT_REQUIRED)
            except (OSError, ValueError) as error:
                raise BrokerError("broker.tls: %s" % _ssl_text(error), 2) from None
            client.tls_insecure_set(not tls.check_server_name)
        if will is not None:
            self.set_will(*will, client=client)
        client.reconnect_delay_set(*reconnect_delay)
        client.on_connect = self._on_connect
        client.on_disconnect = self._on_disconnect
        client.on_message = self._on_message
        client.on_subscribe = self._on_subscribe
        client.on_publish = self._on_publish
        self.client = client
        self.connected = threading.Event()
        self._subscriptions = []  # (topic, qos) asked for at every connect
        self._pending = {}  # subscribe mid -> topic, until granted
        self._answered = threading.Event()  # the first CONNACK, or a drop before it
        self._granted = threading.Event()
        self._probe, self._probed = None, threading.Event()
        self._first_error = None  # BrokerError of the first attempt
        self._last_refusal = None
        self._publishes = {}  # mid -> topic of QoS > 0 publishes (MQTT 5), for a refusal's message
        self._refused_topics = set()  # each reported once
        self._lock = threading.Lock()
        self._loop_started = False
        self.started = False

    def set_will(self, topic, payload, qos=1, retain=True, client=None):
        (client or self.client).will_set(topic, payload, qos=qos, retain=retain)

    # --- life ---

    def start(self, subscriptions, probe=None, timeout=CONNECT_WAIT):
        """Connects, subscribes to ``subscriptions`` ((topic, qos) each, again
        after every reconnect) and waits until the broker has accepted both.
        ``probe`` (topic, payload) is published and must come back (or, with
        a payload of None, any message on the topic the handler publishes):
        a broker whose ACL denies the bridge's topics drops what it sends
        without a word under MQTT 3.1.1, and this is how a start sees it.
        BrokerError with the exit status when it cannot or will not."""
        self._subscriptions = list(subscriptions)
        self._probe = probe
        if probe is not None:
            self._subscriptions.append((probe[0], 1))
        s = self.settings
        kwargs = {}
        if self.v5:
            from paho.mqtt.packettypes import PacketTypes
            from paho.mqtt.properties import Properties
            kwargs["clean_start"] = s.clean_session
            if not s.clean_session:
                properties = Properties(PacketTypes.CONNECT)
                properties.SessionExpiryInterval = 0xFFFFFFFF
                kwargs["properties"] = properties
        try:
            self.client.connect(s.host, s.port, s.keepalive, **kwargs)
        except ssl.SSLError as error:
            raise BrokerError("broker %s: TLS: %s" % (s.address, _ssl_text(error)), REFUSED) from None
        except (OSError, ValueError) as error:
            raise BrokerError("cannot connect to the broker %s: %s" % (s.address, getattr(error, "strerror", None)
                                                                        or error), UNREACHABLE) from None
        self.client.loop_start()
        self._loop_started = True
        if not self._answered.wait(timeout):
            self.close()
            raise BrokerError("broker %s: no answer to CONNECT within %g s" % (s.address, timeout), UNREACHABLE)
        if self._first_error is None and not self._granted.wait(timeout):
            self._first_error = BrokerError("broker %s: no answer to SUBSCRIBE within %g s" % (s.address, timeout),
                                            UNREACHABLE)
        if self._first_error is None and probe is not None:
            self.client.publish(probe[0], probe[1], qos=1, retain=False)
            if not self._probed.wait(min(timeout, PROBE_WAIT)):
                self._first_error = BrokerError("broker %s did not pass on the bridge's message on %s within %g s "
                                                "(does its ACL deny the topic?)"
                                                % (s.address, probe[0], min(timeout, PROBE_WAIT)),
                                                REFUSED)
        if self._first_error is not None:
            self.close()
            raise self._first_error
        self.started = True

    def close(self):
        try:
            self.client.disconnect()
        finally:
            self.client.loop_stop()
            self._loop_started = False

    def alive(self):
        """False once paho's network thread has ended without close();
        paho offers no public way to learn it."""
        thread = getattr(self.client, "_thread", None)
        return not self._loop_started or (thread is not None and thread.is_alive())

    def publish(self, topic, payload, qos=1, retain=False, properties=None):
        info = self.client.publish(topic, payload, qos=qos, retain=retain, properties=properties)
        if self.v5 and qos > 0 and self._v2:
            with self._lock:
                if len(self._publishes) < 100000:
                    self._publishes[info.mid] = topic
        return info

    def response_properties(self, correlation):
        """The PUBLISH properties of an MQTT 5 response carrying ``correlation`` (bytes or None)."""
        from paho.mqtt.packettypes import PacketTypes
        from paho.mqtt.properties import Properties
        properties = Properties(PacketTypes.PUBLISH)
        if correlation is not None:
            properties.CorrelationData = correlation
        return properties

    # --- paho's callbacks: every one catches, so that paho's thread lives on ---

    def _on_connect(self, client, userdata, flags, reason, properties=None):
        try:
            code = _code(reason)
            if code:
                text = self._refusal_text(reason)
                error = BrokerError("broker %s refused the connection: %s" % (self.settings.address, text),
                                    REFUSED if code in _ACCOUNT_CODES else UNREACHABLE)
                if not self._answered.is_set():
                    self._first_error = error
                    self._answered.set()
                elif text != self._last_refusal:
                    log.error("%s; trying again", error)
                self._last_refusal = text
                return
            self._last_refusal = None
            with self._lock:
                self._pending.clear()
            for topic, qos in self._subscriptions:
                result, mid = client.subscribe(topic, qos=qos)
                with self._lock:
                    self._pending[mid] = topic
            if not self._subscriptions:
                self._granted.set()
            present = flags.get("session present") if isinstance(flags, dict) else getattr(flags, "session_present",
                                                                                            False)
            self.connected.set()
            self._answered.set()
            self.handler.on_connected(bool(present))
        except Exception:
            log.exception("error in the bridge's connect handler")

    def _refusal_text(self, reason):
        if isinstance(reason, int):
            return self._mqtt.connack_string(reason)
        return str(reason)

    def _on_disconnect(self, client, userdata, *args):
        try:
            self.connected.clear()
            if not self._answered.is_set():
                self._first_error = BrokerError("broker %s closed the connection before answering (a TLS client "
                                                "certificate or the protocol refused?)" % self.settings.address,
                                                REFUSED if self.settings.tls is not None else UNREACHABLE)
                self._answered.set()
            self.handler.on_lost()
        except Exception:
            log.exception("error in the bridge's disconnect handler")

    def _on_subscribe(self, client, userdata, mid, granted, *rest):
        try:
            with self._lock:
                topic = self._pending.pop(mid, None)
                done = not self._pending
            refused = [g for g in granted if _code(g) >= 0x80]
            if refused and topic is not None:
                error = BrokerError("broker %s refused the subscription to %s: %s"
                                    % (self.settings.address, topic, self._refusal_text(refused[0])
                                       if not isinstance(refused[0], int) else "not authorized"), REFUSED)
                if not self._granted.is_set() and self._first_error is None:
                    self._first_error = error
                else:
                    log.error("%s", error)
            if done:
                self._granted.set()
        except Exception:
            log.exception("error in the bridge's subscribe handler")

    def _on_publish(self, client, userdata, mid, reason=None, properties=None):
        # paho 2.x passes MQTT 5's PUBACK reason: a topic the ACL denies is
        # reported, once per topic. (MQTT 3.1.1 has no way to say so.)
        try:
            with self._lock:
                topic = self._publishes.pop(mid, None)
            if reason is not None and _code(reason) >= 0x80 and topic is not None \
                    and topic not in self._refused_topics and len(self._refused_topics) < 1000:
                self._refused_topics.add(topic)
                log.error("broker %s refused a publish to %s: %s", self.settings.address, topic, reason)
        except Exception:
            log.exception("error in the bridge's publish handler")

    def _on_message(self, client, userdata, message):
        try:
            if self._probe is not None and message.topic == self._probe[0]:
                if self._probe[1] is None or message.payload == self._probe[1].encode():
                    self._probed.set()
                    return
            self.handler.on_message(message)
        except Exception:
            log.exception("error handling a message on %r", getattr(message, "topic", "?")[:200])


def _ssl_text(error):
    text = getattr(error, "verify_message", None) or getattr(error, "reason", None) or str(error)
    if isinstance(error, ssl.SSLCertVerificationError):
        return "the broker's certificate is not trusted: %s" % text
    return str(text)
