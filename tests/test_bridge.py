"""The MQTT bridge end to end: a mosquitto of its own on the loopback, a
simulator over TCP as the line, the bridge in-process and a paho
subscriber watching what it publishes and sending writes."""
import contextlib
import json
import os
import socket
import subprocess
import sys
import threading

import pytest

mqtt = pytest.importorskip("paho.mqtt.client")

from b4k_mew_tools import Simulator  # noqa: E402
from b4k_mew_tools.bridge import Bridge, parse_config  # noqa: E402
from conftest import WAIT, wait_until  # noqa: E402

MOSQUITTO = "/usr/sbin/mosquitto"
pytestmark = pytest.mark.skipif(not os.path.exists(MOSQUITTO), reason="mosquitto is not installed")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def broker(tmp_path):
    port = free_port()
    conf = tmp_path / "mosquitto.conf"
    conf.write_text("listener %d 127.0.0.1\nallow_anonymous true\npersistence false\n" % port)
    process = subprocess.Popen([MOSQUITTO, "-c", str(conf)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        def up():
            with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", port), 0.2):
                return True
        assert wait_until(up, WAIT), "mosquitto did not start"
        yield port
    finally:
        process.terminate()
        process.wait(WAIT)


class Watcher:
    """A subscriber to PREFIX/#: the last payload of every topic, and every error message."""

    def __init__(self, port):
        self.last, self.errors, self.lock = {}, [], threading.Lock()
        self.client = mqtt.Client(client_id="watcher-%d" % os.getpid())
        self.client.on_message = self._message
        self.client.on_connect = lambda c, u, f, rc: c.subscribe("plant/#", qos=1)
        self.client.connect("127.0.0.1", port, 30)
        self.client.loop_start()

    def _message(self, client, userdata, message):
        with self.lock:
            text = message.payload.decode()
            self.last[message.topic] = text
            if message.topic.endswith("/error"):
                self.errors.append(json.loads(text))

    def value(self, topic):
        with self.lock:
            text = self.last.get(topic)
        return None if text is None else json.loads(text)

    def wait_value(self, topic, value):
        ok = wait_until(lambda: (self.value(topic) or {}).get("value") == value, WAIT)
        assert ok, "%s never became %r: %r" % (topic, value, self.value(topic))

    def publish(self, topic, payload):
        self.client.publish(topic, payload, qos=1).wait_for_publish()

    def close(self):
        self.client.disconnect()
        self.client.loop_stop()


def config(broker_port, line_port, client_id="bridge-test"):
    return parse_config({
        "broker": {"port": broker_port, "client_id": client_id, "keepalive": 5},
        "line": [{"name": "line1", "port": "tcp://127.0.0.1:%d" % line_port, "query_timeout": 0.3, "point": [
            {"station": 1, "name": "counter", "address": "DT100", "period": 0.05, "unit": "pcs"},
            {"station": 1, "name": "setpoint", "address": "DT101", "type": "int16", "period": 0.05,
             "scale": 0.1, "writable": True},
            {"station": 1, "name": "pump", "address": "R0010", "period": 0.05, "writable": True},
            {"station": 1, "name": "total", "address": "DT110", "type": "uint32", "period": 0.05,
             "writable": True},
            {"station": 7, "name": "lost", "address": "DT0", "period": 0.05},
        ]}],
    })


@pytest.fixture
def rig(broker):
    with contextlib.ExitStack() as stack:
        sim = stack.enter_context(Simulator(None))
        server = sim.listen("127.0.0.1", 0)
        device = sim.add_device(1)
        device.write_registers("D", 100, [5, 0xFFEC])  # setpoint -20 raw = -2.0
        watcher = Watcher(broker)
        stack.callback(watcher.close)
        bridge = Bridge(config(broker, server.port))
        bridge.start()
        stack.callback(bridge.close)
        yield device, watcher, bridge


# --- Publishing ------------------------------------------------------------------------

def test_values_status_and_availability_are_published_retained(rig, broker):
    device, watcher, bridge = rig
    watcher.wait_value("plant/line1/1/counter", 5)
    watcher.wait_value("plant/line1/1/setpoint", -2.0)
    watcher.wait_value("plant/line1/1/pump", False)
    payload = watcher.value("plant/line1/1/counter")
    assert payload["quality"] == "good" and payload["unit"] == "pcs" and payload["time"] > 1e9
    assert "unit" not in watcher.value("plant/line1/1/pump")
    assert wait_until(lambda: watcher.last.get("plant/$bridge/bridge-test") == "online", WAIT)
    assert wait_until(lambda: watcher.last.get("plant/line1/1/$status") == "online", WAIT)
    # A station that does not answer: timeout, bad quality, and the others go on.
    assert wait_until(lambda: watcher.last.get("plant/line1/7/$status") == "timeout", WAIT)
    assert watcher.value("plant/line1/7/lost")["quality"] == "bad"
    # A change in the controller is published.
    device.write_registers("D", 100, [6])
    watcher.wait_value("plant/line1/1/counter", 6)
    # Retained: a newcomer gets the state at once.
    late = Watcher(broker)
    try:
        late.wait_value("plant/line1/1/counter", 6)
        assert wait_until(lambda: late.last.get("plant/line1/7/$status") == "timeout", WAIT)
    finally:
        late.close()


# --- Writes ----------------------------------------------------------------------------

def test_writes_reach_the_controller_and_are_published(rig):
    device, watcher, bridge = rig
    watcher.wait_value("plant/line1/1/setpoint", -2.0)
    watcher.publish("plant/line1/1/setpoint/set", "21.5")
    assert wait_until(lambda: device.read_registers("D", 101, 1) == [215], WAIT)
    watcher.wait_value("plant/line1/1/setpoint", 21.5)
    watcher.publish("plant/line1/1/pump/set", "true")
    watcher.wait_value("plant/line1/1/pump", True)
    watcher.publish("plant/line1/1/total/set", json.dumps({"value": 70000}))
    assert wait_until(lambda: device.read_registers("D", 110, 2) == [70000 & 0xFFFF, 70000 >> 16], WAIT)
    watcher.wait_value("plant/line1/1/total", 70000)
    watcher.publish("plant/line1/1/setpoint/set", "-3")  # negative through the scale
    assert wait_until(lambda: device.read_registers("D", 101, 1) == [0x10000 - 30], WAIT)
    assert watcher.errors == []


@pytest.mark.parametrize("topic, payload, reason", [
    ("plant/line1/1/counter/set", "9", "read-only"),
    ("plant/line1/1/total/set", "-1", "out of the range"),
    ("plant/line1/1/total/set", "4294967296", "out of the range"),
    ("plant/line1/1/setpoint/set", "3276.8", "out of the range"),
    ("plant/line1/1/total/set", "abc", "not a number"),
    ("plant/line1/1/total/set", "nan", "not a finite"),
    ("plant/line1/1/total/set", "1.5", "not an integer"),
    ("plant/line1/1/total/set", "{\"val\": 3}", "JSON"),
    ("plant/line1/1/pump/set", "2", "not true"),
    ("plant/line1/1/nothing/set", "1", "unknown point"),
    ("plant/line1/9/counter/set", "1", "unknown point"),
])
def test_bad_writes_never_reach_the_controller(rig, topic, payload, reason):
    device, watcher, bridge = rig
    watcher.wait_value("plant/line1/1/total", 0)
    writes = []
    device.on_write = lambda *args: writes.append(args)
    watcher.publish(topic, payload)
    assert wait_until(lambda: watcher.errors, WAIT), "no error message"
    (error,) = watcher.errors
    assert error["topic"] == topic and reason in error["error"], error
    # A good write behind it is done, and the bad one was not.
    watcher.publish("plant/line1/1/total/set", "12")
    assert wait_until(lambda: device.read_registers("D", 110, 2) == [12, 0], WAIT)
    assert len(writes) == 1
    assert device.read_registers("D", 100, 2) == [5, 0xFFEC] and watcher.value("plant/line1/1/pump")["value"] is False


# --- Availability ----------------------------------------------------------------------

def test_availability_offline_on_close_and_as_the_will(broker):
    with Simulator(None) as sim:
        server = sim.listen("127.0.0.1", 0)
        sim.add_device(1)
        watcher = Watcher(broker)
        try:
            bridge = Bridge(config(broker, server.port, "clean"))
            bridge.start()
            assert wait_until(lambda: watcher.last.get("plant/$bridge/clean") == "online", WAIT)
            bridge.close()
            assert wait_until(lambda: watcher.last.get("plant/$bridge/clean") == "offline", WAIT)
            # Killed: the socket drops without a goodbye, the broker sends the will.
            bridge = Bridge(config(broker, server.port, "killed"))
            bridge.start()
            try:
                assert wait_until(lambda: watcher.last.get("plant/$bridge/killed") == "online", WAIT)
                bridge._client.reconnect_delay_set(3, 3)
                bridge._client.socket().shutdown(socket.SHUT_RDWR)
                assert wait_until(lambda: watcher.last.get("plant/$bridge/killed") == "offline", WAIT)
                # It comes back and says so, with its retained state again.
                assert wait_until(lambda: watcher.last.get("plant/$bridge/killed") == "online", 30)
            finally:
                bridge.close()
        finally:
            watcher.close()


# --- The command -----------------------------------------------------------------------

def run_cli(*args, timeout=30):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in ("build", ".", os.environ.get("PYTHONPATH")) if p))
    return subprocess.run([sys.executable, "-m", "b4k_mew_tools", "bridge", *args], capture_output=True,
                          text=True, timeout=timeout, env=env,
                          cwd=os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


@pytest.mark.parametrize("text, expected", [
    ("[broker\nport = 1", "line 1"),
    ("[broker]\nport = 'x'\n[[line]]\nname='a'\nport='tcp://h:1'\n", "broker.port"),
    ("[[line]]\nname='a'\nport='tcp://h:1'\n[[line.point]]\nstation=1\nname='p'\naddress='DT1'\ntype='int8'\n",
     "type"),
    ("[[line]]\nname='a'\nport='tcp://h:1'\n[[line.point]]\nstation=1\nname='p'\naddress='QQ'\n", "address"),
    ("[[line]]\nname='a/b'\nport='tcp://h:1'\n", "name"),
    ("[[line]]\nname='a'\nport='tcp://h:1'\n[[line.point]]\nstation=1\nname='p'\naddress='X0'\nwritable=true\n",
     "writable"),
    ("[[line]]\nname='a'\nport='tcp://h:1'\n[[line.point]]\nstation=1\nname='p'\naddress='DT1'\nspeed=1\n",
     "speed: unknown key"),
])
def test_bad_config_is_one_line_and_status_2(tmp_path, text, expected):
    path = tmp_path / "bad.toml"
    path.write_text(text)
    result = run_cli(str(path))
    assert result.returncode == 2, result
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and expected in lines[0] and "Traceback" not in result.stderr, result.stderr


def test_unreachable_broker_or_line_is_status_1(tmp_path, broker):
    with Simulator(None) as sim:
        server = sim.listen("127.0.0.1", 0)
        for broker_port, line_port, expected in ((free_port(), server.port, "broker"),
                                                 (broker, free_port(), "connect")):
            path = tmp_path / "c.toml"
            path.write_text("[broker]\nport=%d\n[[line]]\nname='a'\nport='tcp://127.0.0.1:%d'\n"
                            "[[line.point]]\nstation=1\nname='p'\naddress='DT1'\n" % (broker_port, line_port))
            result = run_cli(str(path))
            assert result.returncode == 1 and expected in result.stderr, result
            assert len(result.stderr.splitlines()) == 1


def test_the_command_runs_until_terminated(tmp_path, broker):
    with Simulator(None) as sim:
        server = sim.listen("127.0.0.1", 0)
        sim.add_device(1).write_registers("D", 100, [41])
        path = tmp_path / "c.toml"
        path.write_text("[broker]\nport=%d\nclient_id='cli'\n[[line]]\nname='a'\nport='tcp://127.0.0.1:%d'\n"
                        "[[line.point]]\nstation=1\nname='p'\naddress='DT100'\nperiod=0.05\n"
                        % (broker, server.port))
        watcher = Watcher(broker)
        env = dict(os.environ, PYTHONPATH="build:.")
        process = subprocess.Popen([sys.executable, "-m", "b4k_mew_tools", "bridge", str(path)],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
                                   cwd=os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        try:
            watcher.wait_value("plant/a/1/p", 41)
            process.terminate()
            out, err = process.communicate(timeout=WAIT * 2)
            assert process.returncode == 0 and "stopped" in out and "Traceback" not in err, (out, err)
            assert wait_until(lambda: watcher.last.get("plant/$bridge/cli") == "offline", WAIT)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
            watcher.close()
