"""The MQTT session: one paho client, with paho-mqtt 1.x or 2.x, whose
callbacks never let an error reach paho's network thread (an exception
there ends that thread, and with it every publish and write)."""

import logging

log = logging.getLogger("b4k_mew.bridge")


def import_paho():
    try:
        import paho.mqtt.client as mqtt
    except ImportError:
        raise ImportError("the MQTT bridge needs paho-mqtt: install python3-paho-mqtt") from None
    return mqtt


def _reason(mqtt, rc, strings):
    """The text of a result code: an int with paho 1.x, a ReasonCode with 2.x."""
    return strings(rc) if isinstance(rc, int) else str(rc)


class Session:
    """A client of the broker in ``config`` (a Config) that calls
    ``connected()``, ``lost(reason)`` and ``message(topic, payload, retained)``
    on paho's thread; an exception in them is logged and goes no further."""

    def __init__(self, config, will_topic, reconnect_delay, connected, lost, message):
        self._mqtt = mqtt = import_paho()
        self.config = config
        self._connected, self._lost, self._message = connected, lost, message
        version = getattr(mqtt, "CallbackAPIVersion", None)  # paho 2.x
        self._v2 = version is not None
        if self._v2:
            client = mqtt.Client(version.VERSION2, client_id=config.client_id, clean_session=True)
        else:
            client = mqtt.Client(client_id=config.client_id, clean_session=True)
        client.will_set(will_topic, "offline", qos=1, retain=True)
        client.reconnect_delay_set(*reconnect_delay)
        client.on_connect = self._on_connect
        client.on_disconnect = self._on_disconnect
        client.on_message = self._on_message
        self.client = client
        self._started = False

    def connect(self):
        """Connects and starts paho's thread; OSError when the broker cannot be reached."""
        config = self.config
        try:
            self.client.connect(config.host, config.port, config.keepalive)
        except (OSError, ValueError) as error:
            raise OSError("cannot connect to the broker %s:%d: %s"
                          % (config.host, config.port, getattr(error, "strerror", None) or error)) from None
        self.client.loop_start()
        self._started = True

    def alive(self):
        """False once paho's network thread has ended without close();
        paho offers no public way to learn it."""
        thread = getattr(self.client, "_thread", None)
        return not self._started or (thread is not None and thread.is_alive())

    def publish(self, topic, payload, retain, qos=1):
        """Queues a message; False (logged) when paho refuses it."""
        try:
            self.client.publish(topic, payload, qos=qos, retain=retain)
            return True
        except (ValueError, TypeError, OSError) as error:
            log.error("cannot publish on %.200s: %s", topic, error)
            return False

    def subscribe(self, topic):
        self.client.subscribe(topic, qos=1)

    def close(self, goodbye=None):
        """Publishes ``goodbye`` (topic, payload) when connected, then disconnects."""
        client = self.client
        if goodbye is not None and client.is_connected():
            try:
                client.publish(*goodbye, qos=1, retain=True).wait_for_publish(2)
            except (RuntimeError, ValueError, TypeError):
                pass
        client.disconnect()
        if self._started:
            client.loop_stop()
        self._started = False

    # paho 1.x: (client, userdata, flags, rc); 2.x: (..., flags, reason_code, properties)
    def _on_connect(self, client, userdata, flags, rc, properties=None):
        try:
            if rc != 0:
                log.warning("broker refused the connection: %s", _reason(self._mqtt, rc, self._mqtt.connack_string))
                return
            self._connected()
        except Exception:
            log.exception("error on connecting to the broker")

    # paho 1.x: (client, userdata, rc); 2.x: (client, userdata, flags, reason_code, properties)
    def _on_disconnect(self, client, userdata, *args):
        try:
            rc = args[1] if self._v2 else args[0]
            self._lost(None if rc == 0 else _reason(self._mqtt, rc, self._mqtt.error_string))
        except Exception:
            log.exception("error on losing the broker")

    def _on_message(self, client, userdata, message):
        try:
            self._message(message.topic, message.payload, bool(message.retain))
        except Exception:
            log.exception("error on a message on %.200s", getattr(message, "topic", "?"))
