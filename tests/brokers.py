"""Real mosquitto brokers for the tests, each on a free loopback port and
stopped afterwards: plain; TLS with certificates made by openssl for the
test, accounts in a password file and an ACL; and two linked by
mosquitto's own bridging. Also a paho client that works with paho-mqtt 1.6
and 2.x alike."""
import contextlib
import itertools
import os
import socket
import ssl
import subprocess
import threading
import time

MOSQUITTO = "/usr/sbin/mosquitto"
MOSQUITTO_PASSWD = "/usr/bin/mosquitto_passwd"
OPENSSL = "/usr/bin/openssl"
START_WAIT = 10.0


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(condition, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.02)
    return bool(condition())


def _run(*args, cwd=None):
    subprocess.run(args, cwd=cwd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=30)


class Certificates:
    """A CA, a server certificate for ``names`` (127.0.0.1 and localhost) and
    a client certificate it signed, and a second CA that signed nothing of
    these (the untrusted one), as PEM files in ``directory``."""

    def __init__(self, directory, names="IP:127.0.0.1,DNS:localhost"):
        self.directory = str(directory)
        for ca in ("ca", "other-ca"):
            _run(OPENSSL, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                 "-days", "2", "-subj", "/CN=test %s" % ca, "-keyout", ca + ".key", "-out", ca + ".crt",
                 cwd=self.directory)
        with open(self.path("server.ext"), "w") as file:
            file.write("subjectAltName=%s\n" % names)
        for name, extra in (("server", ["-extfile", "server.ext"]), ("client", [])):
            _run(OPENSSL, "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                 "-subj", "/CN=%s" % name, "-keyout", name + ".key", "-out", name + ".csr", cwd=self.directory)
            _run(OPENSSL, "x509", "-req", "-in", name + ".csr", "-CA", "ca.crt", "-CAkey", "ca.key",
                 "-CAcreateserial", "-days", "2", "-out", name + ".crt", *extra, cwd=self.directory)

    def path(self, name):
        return os.path.join(self.directory, name)


class Broker:
    """A mosquitto of its own on the loopback. ``accounts`` (user ->
    password) turns anonymous access off; ``acl`` is the text of an ACL
    file; ``certificates`` adds TLS on the same port (a client certificate
    is asked for when ``require_certificate``); ``link`` (another Broker)
    bridges ``link_topics`` both ways to it. stop() and start() again keep
    the port."""

    def __init__(self, directory, name="broker", accounts=None, acl=None, certificates=None,
                 require_certificate=False, link=None, link_topics=("plant/#",)):
        self.directory, self.name = str(directory), name
        self.port = free_port()
        self.tls = certificates is not None
        lines = ["per_listener_settings false", "persistence false",
                 "listener %d 127.0.0.1" % self.port]
        if os.geteuid() == 0:
            lines.append("user root")  # else it drops to a user that cannot read the test's files
        if certificates is not None:
            lines += ["cafile " + certificates.path("ca.crt"), "certfile " + certificates.path("server.crt"),
                      "keyfile " + certificates.path("server.key"),
                      "require_certificate %s" % ("true" if require_certificate else "false")]
        if accounts:
            passwords = self._file("passwd", "")
            for user, password in accounts.items():
                _run(MOSQUITTO_PASSWD, "-b", passwords, user, password)
            lines += ["allow_anonymous false", "password_file " + passwords]
        else:
            lines.append("allow_anonymous true")
        if acl is not None:
            lines.append("acl_file " + self._file("acl", acl))
        if link is not None:
            lines += ["connection %s-to-%s" % (name, link.name), "address 127.0.0.1:%d" % link.port,
                      "cleansession true", "restart_timeout 1", "try_private true",
                      "bridge_protocol_version mqttv50"]
            lines += ["topic %s both 1" % topic for topic in link_topics]
        self.conf = self._file("conf", "\n".join(lines) + "\n")
        self.log = os.path.join(self.directory, name + ".log")
        self.process = None

    def _file(self, suffix, text):
        path = os.path.join(self.directory, "%s.%s" % (self.name, suffix))
        with open(path, "w") as file:
            file.write(text)
        return path

    def up(self):
        with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", self.port), 0.2):
            return True
        return False

    def start(self):
        with open(self.log, "ab") as log:
            self.process = subprocess.Popen([MOSQUITTO, "-c", self.conf], stdout=log, stderr=log)
        if not wait_until(lambda: self.up() or self.process.poll() is not None, START_WAIT) or not self.up():
            self.stop()
            raise RuntimeError("mosquitto %s did not start: %s" % (self.name, self.log_text()[-2000:]))
        return self

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.kill()
            self.process.wait(START_WAIT)
        self.process = None

    def log_text(self):
        with contextlib.suppress(OSError), open(self.log, errors="replace") as file:
            return file.read()
        return ""


@contextlib.contextmanager
def running(*brokers):
    """Starts ``brokers`` in order and stops them all afterwards."""
    try:
        for broker in brokers:
            broker.start()
        yield brokers
    finally:
        for broker in reversed(brokers):
            broker.stop()


# --- A client for the tests -------------------------------------------------------------

_ids = itertools.count()


class Client:
    """A paho client (1.6 or 2.x) that keeps every message it receives under
    the topics it subscribes to (QoS 2): ``messages`` is a list of (topic,
    payload bytes, properties or None, retained, qos)."""

    def __init__(self, port, subscribe=("plant/#",), username=None, password=None, tls=None, v5=False,
                 client_id=None):
        import paho.mqtt.client as mqtt
        self.mqtt = mqtt
        self.messages, self.lock = [], threading.Lock()
        self.subscribed = threading.Event()
        self.refused = None
        kwargs = {"client_id": client_id or "test-%d-%d" % (os.getpid(), next(_ids)),
                  "protocol": mqtt.MQTTv5 if v5 else mqtt.MQTTv311}
        if hasattr(mqtt, "CallbackAPIVersion"):
            self.client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2, **kwargs)
        else:
            self.client = mqtt.Client(**kwargs)
        if username is not None:
            self.client.username_pw_set(username, password)
        if tls is not None:
            self.client.tls_set(ca_certs=tls.path("ca.crt"), certfile=tls.path("client.crt"),
                                keyfile=tls.path("client.key"), cert_reqs=ssl.CERT_REQUIRED)
        self.topics = subscribe
        self.client.on_connect = self._connected
        self.client.on_subscribe = lambda *args: self.subscribed.set()
        self.client.on_message = self._message
        self.client.reconnect_delay_set(0.1, 0.5)
        self.client.connect("127.0.0.1", port, 30)
        self.client.loop_start()

    def _connected(self, client, userdata, flags, rc, properties=None):
        code = getattr(rc, "value", rc)
        if code:
            self.refused = code
            return
        for topic in self.topics:
            client.subscribe(topic, qos=2)

    def _message(self, client, userdata, message):
        properties = getattr(message, "properties", None)
        with self.lock:
            self.messages.append((message.topic, message.payload, properties, message.retain, message.qos))

    def payloads(self, topic):
        with self.lock:
            return [m[1] for m in self.messages if m[0] == topic]

    def last(self, topic):
        found = self.payloads(topic)
        return found[-1] if found else None

    def wait_for(self, match, timeout=START_WAIT):
        """The first message (topic, payload, properties, retained) that
        ``match`` accepts, waiting for it; None when none came in time."""
        found = []

        def look():
            with self.lock:
                found[:] = [m for m in self.messages if match(m)]
            return found
        wait_until(look, timeout)
        return found[0] if found else None

    def publish(self, topic, payload, qos=1, retain=False, properties=None):
        info = self.client.publish(topic, payload, qos=qos, retain=retain, properties=properties)
        info.wait_for_publish(START_WAIT)
        return info

    def close(self):
        self.client.disconnect()
        self.client.loop_stop()
