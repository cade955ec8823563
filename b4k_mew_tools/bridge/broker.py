"""How the bridge reaches its broker: the settings of [broker] (address,
MQTT 3.1.1 or 5, session, account, TLS), checked before anything connects,
and the exit statuses of what the broker can refuse (connection.py uses them).

The password is read from the config, a file or an environment variable,
kept in a Secret and never put in a message, a log line or a repr."""

import os

# Exit statuses of `b4k-mew bridge` for what a start can meet (2 is a bad config).
UNREACHABLE = 1  # the broker or a line cannot be reached
REFUSED = 3  # the broker refused the account, the certificate, or a topic

PROTOCOLS = {"3.1.1": 4, "5": 5}


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
