"""The MQTT bridge end to end: a mosquitto of its own on the loopback, a
simulator over TCP as the line, the bridge in-process and a paho
subscriber watching what it publishes and sending writes."""
import contextlib
import itertools
import json
import os
import socket
import subprocess
import sys
import threading
import time

import pytest

mqtt = pytest.importorskip("paho.mqtt.client")

import b4k_mew  # noqa: E402
from b4k_mew_tools import Device, Simulator, VirtualLine  # noqa: E402
from b4k_mew_tools.bridge import Bridge, parse_config  # noqa: E402
from conftest import WAIT, child_env, wait_until  # noqa: E402

MOSQUITTO = "/usr/sbin/mosquitto"
pytestmark = pytest.mark.skipif(not os.path.exists(MOSQUITTO), reason="mosquitto is not installed")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Mosquitto:
    """A mosquitto of its own on the loopback; stop() and start() again on the same port."""

    def __init__(self, directory):
        self.port = free_port()
        self.conf = directory / "mosquitto.conf"
        self.conf.write_text("listener %d 127.0.0.1\nallow_anonymous true\npersistence false\n" % self.port)
        self.process = None

    def up(self):
        with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", self.port), 0.2):
            return True
        return False

    def start(self):
        self.process = subprocess.Popen([MOSQUITTO, "-c", str(self.conf)], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        assert wait_until(self.up, WAIT), "mosquitto did not start"

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.kill()
            self.process.wait(WAIT)
        self.process = None


@pytest.fixture
def mosquitto(tmp_path):
    server = Mosquitto(tmp_path)
    try:
        server.start()
        yield server
    finally:
        server.stop()


@pytest.fixture
def broker(mosquitto):
    return mosquitto.port


class Watcher:
    """A subscriber to PREFIX/#: the last payload of every topic, and every error message."""

    ids = itertools.count()

    def __init__(self, port):
        self.last, self.errors, self.history, self.lock = {}, [], [], threading.Lock()
        # One id each: a second client with the same id would throw the first off the broker.
        client_id = "watcher-%d-%d" % (os.getpid(), next(self.ids))
        version = getattr(mqtt, "CallbackAPIVersion", None)  # paho 2.x asks which callbacks
        self.client = mqtt.Client(version.VERSION2, client_id=client_id) if version else mqtt.Client(client_id=client_id)
        self.client.reconnect_delay_set(0.1, 0.5)
        self.client.on_message = self._message
        # Its arguments after the client differ between the two callback APIs.
        self.client.on_connect = lambda c, *_: c.subscribe("plant/#", qos=1)
        self.client.connect("127.0.0.1", port, 30)
        self.client.loop_start()

    def _message(self, client, userdata, message):
        with self.lock:
            text = message.payload.decode()
            self.last[message.topic] = text
            self.history.append((message.topic, text))
            if message.topic.endswith("/error"):
                self.errors.append(json.loads(text))

    def value(self, topic):
        with self.lock:
            text = self.last.get(topic)
        return None if text is None else json.loads(text)

    def wait_value(self, topic, value):
        ok = wait_until(lambda: (self.value(topic) or {}).get("value") == value, WAIT)
        assert ok, "%s never became %r: %r" % (topic, value, self.value(topic))

    def publish(self, topic, payload, retain=False):
        self.client.publish(topic, payload, qos=1, retain=retain).wait_for_publish()

    def close(self):
        self.client.disconnect()
        self.client.loop_stop()


def config(broker_port, line_port, client_id="bridge-test"):
    return parse_config({
        "broker": {"port": broker_port, "client_id": client_id, "keepalive": 5},
        "line": [{"name": "line1", "port": "tcp://127.0.0.1:%d" % line_port, "query_timeout": 0.3,
                  "write_timeout": 8, "point": [
            {"station": 1, "name": "counter", "address": "DT100", "period": 0.05, "unit": "pcs"},
            {"station": 1, "name": "setpoint", "address": "DT101", "type": "int16", "period": 0.05,
             "scale": 0.1, "writable": True},
            {"station": 1, "name": "pump", "address": "R0010", "period": 0.05, "writable": True},
            {"station": 1, "name": "total", "address": "DT110", "type": "uint32", "period": 0.05,
             "writable": True},
            {"station": 7, "name": "lost", "address": "DT0", "period": 0.05},
            {"station": 7, "name": "spare", "address": "DT1", "period": 0.05, "writable": True},
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
    # Not a JSON number: never a value for a controller.
    ("plant/line1/1/total/set", "true", "not a number"),
    ("plant/line1/1/total/set", "on", "not a number"),
    ("plant/line1/1/total/set", "1_0", "not a number"),
    ("plant/line1/1/total/set", "\u0661\u0662", "not a number"),
    ("plant/line1/1/total/set", '{"value": "7"}', "not a number"),
    ("plant/line1/1/setpoint/set", "21.55", "not an integer"),
    ("plant/line1/1/pump/set", "on", "not a number"),
    # Topics the bridge cannot read must not stop it: the good write behind is done.
    ("plant/line1/\u00b2/setpoint/set", "1", "unknown point"),
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
    # The hook runs just after the memory changes: wait for both. Writes to a
    # station are applied in the order sent, so a bad one would come first.
    assert wait_until(lambda: writes and device.read_registers("D", 110, 2) == [12, 0], WAIT)
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
                bridge.connection.client.reconnect_delay_set(3, 3)
                bridge.connection.client.socket().shutdown(socket.SHUT_RDWR)
                assert wait_until(lambda: watcher.last.get("plant/$bridge/killed") == "offline", WAIT)
                # It comes back and says so, with its retained state again.
                assert wait_until(lambda: watcher.last.get("plant/$bridge/killed") == "online", 30)
            finally:
                bridge.close()
        finally:
            watcher.close()


# --- End to end: two lines, four stations, a hundred points ------------------------------

KINDS = ("uint16", "int16", "uint32", "int32", "float32", "bool", "word")
PERIOD = 0.2


def plant_point(station, k):
    """The config entry of point k of ``station`` and the value its simulator holds at first."""
    kind, base = KINDS[k % len(KINDS)], station * 100 + k
    entry = {"station": station, "name": "p%02d" % k, "period": PERIOD, "writable": True}
    if kind == "bool":
        entry.update(address="R%d%X" % (10 + k // 16, k % 16), type="bool")
        return entry, k % 3 == 0
    if kind == "word":
        entry.update(address="WR%d" % (50 + k), type="uint16")
        return entry, base + 1
    entry.update(address="DT%d" % (1000 + 4 * k), type=kind)
    if kind == "int16":
        entry["scale"] = 0.1
    return entry, {"uint16": base, "int16": -base, "uint32": 70000 + base, "int32": -70000 - base,
                   "float32": base + 0.5}[kind]


def put(device, entry, value):
    """Stores the published ``value`` of the point ``entry`` in the simulated ``device``."""
    address, kind = entry["address"], entry["type"]
    if kind == "bool":
        word, bit = int(address[1:-1]), int(address[-1], 16)
        device.set_contact("R", word * 16 + bit, value)
    elif address.startswith("WR"):
        device.write_words("R", int(address[2:]), [value])
    elif kind == "float32":
        device.write_float("D", int(address[2:]), value)
    else:
        raw = round(value / entry.get("scale", 1)) & 0xFFFFFFFF
        device.write_registers("D", int(address[2:]), [raw & 0xFFFF, raw >> 16][:2 if "32" in kind else 1])


def published(value, entry):
    return round(value, 9) if isinstance(value, float) or "scale" in entry else value


@pytest.fixture
def plant(mosquitto):
    """Stations 1 and 2 on a serial line (a VirtualLine), 3 and 4 over TCP, 25 points each."""
    with contextlib.ExitStack() as stack:
        line = stack.enter_context(VirtualLine())
        serial_sim = stack.enter_context(Simulator(b4k_mew.MewSerial(port=line.port_a, baudrate=115200)))
        tcp_sim = stack.enter_context(Simulator(None))
        server = tcp_sim.listen("127.0.0.1", 0)
        sims, points, lines = {}, {}, []
        for name, port, sim, stations in (("serial", line.port_b, serial_sim, (1, 2)),
                                          ("tcp", "tcp://127.0.0.1:%d" % server.port, tcp_sim, (3, 4))):
            entries = []
            for station in stations:
                device = sim.add_device(station)
                sims[station] = (sim, device)
                for k in range(25):
                    entry, value = plant_point(station, k)
                    put(device, entry, value)
                    entries.append(entry)
                    points["plant/%s/%d/%s" % (name, station, entry["name"])] = (entry, published(value, entry))
            table = {"name": name, "port": port, "query_timeout": 0.2, "point": entries}
            if name == "serial":
                table["baudrate"] = 115200
            lines.append(table)
        serial_sim.start()
        watcher = Watcher(mosquitto.port)
        stack.callback(watcher.close)
        bridge = Bridge(parse_config({"broker": {"port": mosquitto.port, "client_id": "plant", "keepalive": 5},
                                      "line": lines}), reconnect_delay=(0.2, 1))
        bridge.start()
        stack.callback(bridge.close)
        yield sims, points, watcher, bridge


def all_published(watcher, points):
    """The topics whose payload is not (yet) the expected good value."""
    return [t for t, (_, v) in points.items() if (watcher.value(t) or {}).get("value") != v
            or watcher.value(t)["quality"] != "good"]


def test_end_to_end_two_lines_four_stations(plant, mosquitto):
    sims, points, watcher, bridge = plant
    assert len(points) == 100
    # Every point on its topic, with its value; every station online.
    assert wait_until(lambda: not all_published(watcher, points), 3 * WAIT), all_published(watcher, points)[:5]
    statuses = {"plant/%s/%d/$status" % (("serial", "tcp")[s > 2], s): "online" for s in sims}
    assert wait_until(lambda: all(watcher.last.get(t) == v for t, v in statuses.items()), WAIT)
    assert watcher.last.get("plant/$bridge/plant") == "online"

    def change(topic, value):
        entry, _ = points[topic]
        put(sims[entry["station"]][1], entry, value)
        points[topic] = (entry, published(value, entry))

    # A change in a controller is published, on both lines, within a bounded time.
    for topic, value in (("plant/serial/1/p00", 4242), ("plant/tcp/4/p05", False), ("plant/tcp/3/p04", -7.25),
                         ("plant/serial/2/p01", -12.3)):
        change(topic, value)
        watcher.wait_value(topic, points[topic][1])

    # A write through /set changes the controller and comes back on the value topic.
    for topic, payload, value in (("plant/serial/2/p03", "-123456", -123456), ("plant/tcp/3/p06", "65535", 65535),
                                  ("plant/tcp/4/p01", "-3276.8", -3276.8), ("plant/serial/1/p12", "true", True)):
        entry, _ = points[topic]
        watcher.publish(topic + "/set", payload)
        points[topic] = (entry, value)
        watcher.wait_value(topic, value)
        scratch = Device(0)
        put(scratch, entry, value)
        device = sims[entry["station"]][1]
        if entry["type"] == "bool":
            assert device.get_contact("R", int(entry["address"][1:-1]) * 16 + int(entry["address"][-1], 16))
        elif entry["address"].startswith("WR"):
            assert device.read_words("R", int(entry["address"][2:]), 1) == [value]
        else:
            words = 2 if "32" in entry["type"] else 1
            start = int(entry["address"][2:])
            assert device.read_registers("D", start, words) == scratch.read_registers("D", start, words)
    assert watcher.errors == []

    # A station that goes silent is reported, the others go on; back, it is online again.
    for station, line in ((2, "serial"), (4, "tcp")):
        sim, device = sims[station]
        del sim.devices[station]
        assert wait_until(lambda: watcher.last.get("plant/%s/%d/$status" % (line, station)) == "timeout", WAIT)
        assert wait_until(lambda: all(watcher.value("plant/%s/%d/p%02d" % (line, station, k))["quality"] == "bad"
                                      for k in range(25)), WAIT)
        other = station - 1
        assert watcher.last.get("plant/%s/%d/$status" % (line, other)) == "online"
        change("plant/%s/%d/p00" % (line, other), 999)  # still served while its neighbour is silent
        watcher.wait_value("plant/%s/%d/p00" % (line, other), 999)
        sim.devices[station] = device
        assert wait_until(lambda: watcher.last.get("plant/%s/%d/$status" % (line, station)) == "online", WAIT)
        assert wait_until(lambda: not all_published(watcher, points), WAIT), all_published(watcher, points)[:5]

    # The broker dies and comes back on the same port: a change made while it was
    # away and one made after are both published, and the retained state is back.
    mosquitto.stop()
    assert wait_until(lambda: not bridge.connected.is_set(), WAIT)
    change("plant/serial/1/p00", 1111)
    change("plant/tcp/3/p00", 3333)
    time.sleep(2 * PERIOD)  # read while the broker is away
    mosquitto.start()
    assert wait_until(bridge.connected.is_set, 3 * WAIT), "the bridge did not reconnect"
    change("plant/serial/2/p07", 2222)
    change("plant/tcp/4/p02", 4444)
    late = Watcher(mosquitto.port)
    try:
        assert wait_until(lambda: not all_published(late, points), 3 * WAIT), all_published(late, points)[:5]
        assert wait_until(lambda: all(late.last.get(t) == v for t, v in statuses.items()), WAIT)
        assert late.last.get("plant/$bridge/plant") == "online"
    finally:
        late.close()
    assert wait_until(lambda: not all_published(watcher, points), WAIT), all_published(watcher, points)[:5]


# --- The command -----------------------------------------------------------------------

def run_cli(*args, timeout=30):
    env = child_env()
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
    # Found before anything connects, naming the point and the key.
    ("[[line]]\nname='a'\nport='tcp://h:1'\n[[line.point]]\nstation=1\nname='p'\naddress='DT99999'\n"
     "type='uint32'\n", "point[0] 'p': address"),
    ("[[line]]\nname='a'\nport='tcp://h:1'\n[[line.point]]\nstation=1\nname=\"p\\u0000\"\naddress='DT1'\n",
     "point[0] 'p\\x00': name"),
    ("[[line]]\nname='a'\nport='tcp://h:1'\n[[line.point]]\nstation=1\nname='%s'\naddress='DT1'\n" % ("n" * 70000),
     "name: its topic would"),
    ("[[line]]\nname=\"a\\u0007\"\nport='tcp://h:1'\n", "line[0].name"),
    ("[[line]]\nname='a'\nport='tcp://h:1'\n[[line.point]]\nstation=1\nname='p'\naddress='DX100'\n",
     "address: not an address: 'DX100'"),
], ids=lambda v: v[:60])
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
        env = child_env()
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


# --- Faults: ghost writes, dying threads, queues behind a silent station, status ------

def test_a_retained_set_is_refused_never_written(broker):
    with Simulator(None) as sim:
        server = sim.listen("127.0.0.1", 0)
        device = sim.add_device(1)
        writes = []
        device.on_write = lambda *args: writes.append(args)
        watcher = Watcher(broker)
        watcher.publish("plant/line1/1/total/set", "55", retain=True)  # an old command the broker keeps
        try:
            with Bridge(config(broker, server.port)):
                assert wait_until(lambda: watcher.errors, WAIT), "no error message"
                assert watcher.errors[0]["topic"] == "plant/line1/1/total/set"
                assert "retained" in watcher.errors[0]["error"]
                watcher.wait_value("plant/line1/1/total", 0)
            assert writes == [] and device.read_registers("D", 110, 2) == [0, 0]
        finally:
            watcher.publish("plant/line1/1/total/set", "", retain=True)
            watcher.close()


def test_a_silent_station_holds_up_only_its_own_writes(rig):
    device, watcher, bridge = rig  # write_timeout 8 s: more than a write behind one to a silent station
    watcher.wait_value("plant/line1/1/total", 0)
    for n in range(40):
        watcher.publish("plant/line1/7/spare/set", str(n))
    watcher.publish("plant/line1/1/total/set", "66")
    assert wait_until(lambda: device.read_registers("D", 110, 2) == [66, 0], WAIT)
    # Applied after at most a write or two to the silent station, not after all 40.
    assert len(watcher.errors) < 5, watcher.errors[:5]
    # Every write to the silent one ends refused; those waiting too long without trying.
    assert wait_until(lambda: len(watcher.errors) == 40, 3 * WAIT), len(watcher.errors)
    reasons = [e["error"] for e in watcher.errors]
    assert all(e["topic"] == "plant/line1/7/spare/set" for e in watcher.errors)
    assert any("not written within" in r for r in reasons), reasons[:3]


def test_a_thread_that_dies_fails_the_whole_bridge(rig, monkeypatch):
    device, watcher, bridge = rig
    assert wait_until(lambda: watcher.last.get("plant/$bridge/bridge-test") == "online", WAIT)

    def broken(*args):
        raise RuntimeError("broken")
    monkeypatch.setattr(bridge, "_watch_line", broken)
    assert bridge.failed.wait(WAIT) and "broken" in bridge.failure
    # Not half alive: it says so and lets go of everything.
    assert wait_until(lambda: watcher.last.get("plant/$bridge/bridge-test") == "offline", WAIT)


def test_status_keeps_its_texts_and_changes_once_while_the_line_is_down(broker):
    sim = Simulator(None)
    server = sim.listen("127.0.0.1", 0)
    sim.add_device(1)
    watcher = Watcher(broker)
    text = config(broker, server.port)
    text.lines[0].points = text.lines[0].points[:1]
    try:
        with Bridge(text, reconnect_delay=(0.2, 1)):
            topic = "plant/line1/1/$status"
            assert wait_until(lambda: watcher.last.get(topic) == "online", WAIT)
            sim.close()
            assert wait_until(lambda: watcher.last.get(topic) == "timeout", WAIT)
            time.sleep(4)  # the line tries again and again
            statuses = [p for t, p in watcher.history if t == topic]
            assert statuses == ["online", "timeout"], statuses
            detail = json.loads(watcher.last[topic + "/detail"])
            assert detail["status"] == "timeout" and detail["detail"], detail
    finally:
        watcher.close()
        sim.close()


def test_an_ipv6_line_is_accepted():
    text = {"line": [{"name": "a", "port": "tcp://[::1]:9094", "point": [{"station": 1, "name": "p",
                                                                       "address": "DT1"}]}]}
    assert parse_config(text).lines[0].port == "tcp://[::1]:9094"
