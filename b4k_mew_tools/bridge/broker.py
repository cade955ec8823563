"""The bridge's connection to its broker: the settings of [broker] (address,
MQTT 3.1.1 or 5, session, account, TLS), checked before anything connects,
and a Connection that hides the differences between paho-mqtt 1.6 and 2.x
and turns what the broker refuses into one line and an exit status.

The password is read from the config, a file or an environment variable,
kept in a Secret and never put in a message, a log line or a repr."""

import logging
import os
import ssl
import threading

log = logging.getLogger("b4k_mew.bridge")

# Exit statuses of `b4k-mew bridge` for what a start can meet (2 is a bad config).
UNREACHABLE = 1  # the broker or a line cannot be reached
REFUSED = 3  # the broker refused the account, the certificate, or a topic

PROTOCOLS = {"3.1.1": 4, "5": 5}
CONNECT_WAIT = 10.0  # seconds from connect to the broker's answer and the subscriptions' grants
PROBE_WAIT = 5.0  # seconds for the bridge's first message to come back through the broker
# A broker answers CONNECT with one of these when the account or its rights
# are wrong (MQTT 3.1.1 codes 4 and 5, MQTT 5 reason codes 0x86 and 0x87):
# trying again will not help, so a start ends with REFUSED.
_ACCOUNT_CODES = {4, 5, 0x86, 0x87, 0x8C}


def import_paho():
    try:
        import paho.mqtt.client as mqtt
    except ImportError:
        raise ImportError("the MQTT bridge needs paho-mqtt: install python3-paho-mqtt") from None
    return mqtt


class SettingsError(ValueError):
    """A [broker] setting that cannot run; its text names the key."""


class BrokerError(OSError):
    """The broker cannot be used: the text is one line, ``status`` the exit status."""

    def __init__(self, text, status):
        super().__init__(text)
        self.status = status


class Secret:
    """A password that never shows itself."""

    def __init__(self, value, source):
        self.value, self.source = value, source

    def __repr__(self):
        return "<password from %s>" % self.source

    __str__ = __repr__


class Tls:
    def __init__(self, ca_file, cert_file, key_file, check_server_name):
        self.ca_file, self.cert_file, self.key_file = ca_file, cert_file, key_file
        self.check_server_name = check_server_name


class BrokerSettings:
    def __init__(self, host, port, client_id, keepalive, protocol, clean_session, username, password, tls):
        self.host, self.port, self.client_id, self.keepalive = host, port, client_id, keepalive
        self.protocol, self.clean_session = protocol, clean_session
        self.username, self.password, self.tls = username, password, tls

    @property
    def address(self):
        return "%s:%d" % (self.host, self.port)

    def __repr__(self):
        return "BrokerSettings(%s, client_id=%r, user=%r, tls=%s)" % (self.address, self.client_id, self.username,
                                                                      self.tls is not None)


CONNECTION_KEYS = ("host", "port", "client_id", "keepalive", "protocol", "clean_session", "username", "password",
                   "password_file", "password_env", "tls")


def _readable(path, where):
    if not isinstance(path, str) or not path:
        raise SettingsError("%s: %r is not a file name" % (where, path))
    try:
        with open(path, "rb"):
            pass
    except OSError as error:
        raise SettingsError("%s: cannot read %s: %s" % (where, path, error.strerror or error)) from None
    return path


def parse_security(broker, host, port, client_id, keepalive, environ=None):
    """The BrokerSettings of the [broker] table ``broker``, whose address keys
    the caller has checked; SettingsError naming the key. Files named are
    read now, so that a missing one stops the start before it connects."""
    environ = os.environ if environ is None else environ
    protocol = broker.get("protocol", "3.1.1")
    if protocol not in PROTOCOLS:
        raise SettingsError('broker.protocol: %r is not "3.1.1" or "5"' % (protocol,))
    clean = broker.get("clean_session", True)
    if not isinstance(clean, bool):
        raise SettingsError("broker.clean_session: %r is not true or false" % (clean,))
    username = broker.get("username")
    if username is not None and (not isinstance(username, str) or not username):
        raise SettingsError("broker.username: not a user name")
    given = [key for key in ("password", "password_file", "password_env") if key in broker]
    if len(given) > 1:
        raise SettingsError("broker.%s: give one of password, password_file and password_env" % given[1])
    password = None
    if given and username is None:
        raise SettingsError("broker.%s: a password needs broker.username" % given[0])
    if given == ["password"]:
        if not isinstance(broker["password"], str):
            raise SettingsError("broker.password: not a string")
        password = Secret(broker["password"], "broker.password")
    elif given == ["password_file"]:
        path = _readable(broker["password_file"], "broker.password_file")
        with open(path, encoding="utf-8", errors="strict") as file:
            try:
                text = file.readline().rstrip("\r\n")
            except UnicodeDecodeError:
                raise SettingsError("broker.password_file: %s is not UTF-8 text" % path) from None
        password = Secret(text, path)
    elif given == ["password_env"]:
        name = broker["password_env"]
        if not isinstance(name, str) or not name:
            raise SettingsError("broker.password_env: not the name of an environment variable")
        if name not in environ:
            raise SettingsError("broker.password_env: the environment has no %s" % name)
        password = Secret(environ[name], "$" + name)
    tls = None
    if "tls" in broker:
        table = broker["tls"]
        if not isinstance(table, dict):
            raise SettingsError("broker.tls: not a table")
        for key in table:
            if key not in ("ca_file", "cert_file", "key_file", "check_server_name"):
                raise SettingsError("broker.tls.%s: unknown key" % key)
        files = {key: _readable(table[key], "broker.tls." + key) if key in table else None
                 for key in ("ca_file", "cert_file", "key_file")}
        if (files["cert_file"] is None) != (files["key_file"] is None):
            raise SettingsError("broker.tls.%s: a client certificate needs both cert_file and key_file"
                                % ("key_file" if files["key_file"] is None else "cert_file"))
        check = table.get("check_server_name", True)
        if not isinstance(check, bool):
            raise SettingsError("broker.tls.check_server_name: %r is not true or false" % (check,))
        tls = Tls(files["ca_file"], files["cert_file"], files["key_file"], check)
    return BrokerSettings(host, port, client_id, keepalive, PROTOCOLS[protocol], clean, username, password, tls)


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
