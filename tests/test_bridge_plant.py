"""The bridge as a plant runs it, end to end against real mosquitto brokers
(tests/brokers.py) with simulators over TCP and a virtual serial line:
acknowledged writes, TLS and accounts, Sparkplug B, Home Assistant
discovery, QoS and publishing choices, and two sites' brokers linked."""
import contextlib
import json
import os
import socket
import subprocess
import sys

import pytest

mqtt = pytest.importorskip("paho.mqtt.client")
pytest.importorskip("google.protobuf")

import b4k_mew  # noqa: E402
from b4k_mew_tools import Simulator, VirtualLine  # noqa: E402
from b4k_mew_tools.bridge import sparkplug as sp  # noqa: E402
from b4k_mew_tools.bridge import Bridge, parse_config  # noqa: E402
import brokers  # noqa: E402
from brokers import Broker, Certificates, Client  # noqa: E402
from conftest import WAIT, wait_until  # noqa: E402

pytestmark = pytest.mark.skipif(not os.path.exists(brokers.MOSQUITTO), reason="mosquitto is not installed")
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
POINTS = [
    {"station": 1, "name": "counter", "address": "DT100", "period": 0.05, "unit": "pcs"},
    {"station": 1, "name": "setpoint", "address": "DT101", "type": "int16", "period": 0.05, "scale": 0.1,
     "writable": True, "unit": "degC"},
    {"station": 1, "name": "pump", "address": "R0010", "period": 0.05, "writable": True},
    {"station": 1, "name": "alarm", "address": "X0003", "period": 0.05, "qos": 2},
    {"station": 2, "name": "total", "address": "DT110", "type": "uint32", "period": 0.05, "writable": True,
     "qos": 0},
]


def document(port, line, broker=None, publish=None, points=POINTS):
    broker_table = {"port": port, "client_id": "plant-test", "keepalive": 5}
    broker_table.update(broker or {})
    table = {"broker": broker_table, "line": [{"name": "line1", "port": line, "query_timeout": 0.3,
                                               "point": points}]}
    if publish is not None:
        table["publish"] = publish
    return table


@pytest.fixture
def sim():
    with Simulator(None) as simulator:
        server = simulator.listen("127.0.0.1", 0)
        simulator.add_device(1).write_registers("D", 100, [5, 0xFFEC])
        simulator.add_device(2)
        yield simulator, "tcp://127.0.0.1:%d" % server.port


@pytest.fixture
def plain(tmp_path):
    with brokers.running(Broker(tmp_path, "plain")) as (broker,):
        yield broker


@contextlib.contextmanager
def bridged(config_document, **client):
    """A started Bridge and a Client on the same broker, both closed afterwards."""
    port = config_document["broker"]["port"]
    with contextlib.ExitStack() as stack:
        watcher = Client(port, subscribe=("plant/#", "spBv1.0/#", "homeassistant/#", "reply/#"), **client)
        stack.callback(watcher.close)
        assert watcher.subscribed.wait(WAIT)
        bridge = Bridge(parse_config(config_document), reconnect_delay=(0.2, 1))
        bridge.start()
        stack.callback(bridge.close)
        yield bridge, watcher


def answer(watcher, topic):
    found = watcher.wait_for(lambda m: m[0] == topic)
    assert found is not None, "no answer on %s" % topic
    watcher.messages.remove(found)
    return json.loads(found[1]), found[2]


# --- Acknowledged writes ----------------------------------------------------------------

def test_every_write_is_answered_with_the_value_read_back_or_the_error(plain, sim):
    simulator, line = sim
    device = simulator.devices[1]
    writes = []
    device.on_write = lambda *args: writes.append(args)
    early = Client(plain.port, subscribe=())
    early.publish("plant/line1/1/pump/set", "true", retain=True)  # a stale command, kept by the broker
    early.close()
    with bridged(document(plain.port, line)) as (bridge, watcher):
        got, _ = answer(watcher, "plant/line1/1/pump/set/result")
        assert got["ok"] is False and "retained" in got["error"] and writes == []
        watcher.publish("plant/line1/1/pump/set", b"", retain=True)  # clears it
        device.on_write = None
        result = "plant/line1/1/setpoint/set/result"
        cases = [  # payload, answer expected, registers D101 after it
            (json.dumps({"value": 21.5, "id": "a1"}), {"ok": True, "id": "a1", "value": 21.5}, 215),
            ("-3", {"ok": True, "value": -3.0}, 0x10000 - 30),
            (json.dumps({"value": "x", "id": 7}), {"ok": False, "id": 7}, 0x10000 - 30),
        ]
        for payload, expected, held in cases:
            watcher.publish("plant/line1/1/setpoint/set", payload)
            got, _ = answer(watcher, result)
            assert {k: got.get(k) for k in expected} == expected, got
            assert device.read_registers("D", 101, 1) == [held]
        # The device refuses: its code and what it means come back.
        device.error_code = 61
        watcher.publish("plant/line1/1/pump/set", json.dumps({"value": True, "id": "p"}))
        got, _ = answer(watcher, "plant/line1/1/pump/set/result")
        assert got["ok"] is False and got["id"] == "p" and got["code"] == "61", got
        assert got["meaning"] == b4k_mew.device_error_meaning("61") and got["meaning"]
        device.error_code = 0
        watcher.publish("plant/line1/1/counter/set", "9")
        assert answer(watcher, "plant/line1/1/counter/set/result")[0]["error"] == "point is read-only"


def test_mqtt5_response_topic_and_correlation_data(plain, sim):
    from paho.mqtt.packettypes import PacketTypes
    from paho.mqtt.properties import Properties
    simulator, line = sim
    with bridged(document(plain.port, line, broker={"protocol": "5"}), v5=True) as (bridge, watcher):
        properties = Properties(PacketTypes.PUBLISH)
        properties.ResponseTopic = "reply/hmi-1"
        properties.CorrelationData = b"req-42"
        watcher.publish("plant/line1/2/total/set", "70000", properties=properties)
        got, props = answer(watcher, "reply/hmi-1")
        assert got["ok"] is True and got["value"] == 70000 and props.CorrelationData == b"req-42"
        assert simulator.devices[2].read_registers("D", 110, 2) == [70000 & 0xFFFF, 70000 >> 16]
        # A response topic that is another point's /set is not obeyed: the answer is no write.
        properties.ResponseTopic = "plant/line1/1/pump/set"
        watcher.publish("plant/line1/2/total/set", "5", properties=properties)
        assert answer(watcher, "plant/line1/2/total/set/result")[0]["value"] == 5
        assert not simulator.devices[1].get_contact("R", 0x10) and not watcher.payloads(bridge.error_topic)


@pytest.mark.parametrize("protocol", ["3.1.1", "5"])
def test_a_persistent_session_never_applies_writes_held_while_away(plain, sim, protocol):
    simulator, line = sim
    config = document(plain.port, line, broker={"clean_session": False, "protocol": protocol})
    watcher = Client(plain.port)
    try:
        bridge = Bridge(parse_config(config))
        bridge.start()
        bridge.close()
        watcher.publish("plant/line1/1/pump/set", "true")  # held by the broker for the session
        with bridged(config) as (bridge, _):
            got, _ = answer(watcher, "plant/line1/1/pump/set/result")
            assert got["ok"] is False and "away" in got["error"], got
            assert not simulator.devices[1].get_contact("R", 0x10)
            watcher.publish("plant/line1/1/pump/set", "true")  # a new one is applied
            assert answer(watcher, "plant/line1/1/pump/set/result")[0]["ok"] is True
    finally:
        watcher.close()


# --- TLS and accounts -------------------------------------------------------------------

ACL = "user bridge\ntopic readwrite plant/#\ntopic readwrite spBv1.0/#\n"


@pytest.fixture
def secured(tmp_path):
    certificates = Certificates(tmp_path)
    broker = Broker(tmp_path, "tls", accounts={"bridge": "s3cret-pw"}, acl=ACL, certificates=certificates,
                    require_certificate=True)
    with brokers.running(broker):
        yield broker, certificates


def tls_table(certificates, ca="ca.crt"):
    return {"ca_file": certificates.path(ca), "cert_file": certificates.path("client.crt"),
            "key_file": certificates.path("client.key")}


def test_tls_with_an_account_connects_and_acknowledges(secured, sim, tmp_path):
    broker, certificates = secured
    simulator, line = sim
    (tmp_path / "pw").write_text("s3cret-pw\n")
    for protocol, password in (("3.1.1", {"password_file": str(tmp_path / "pw")}), ("5", {"password": "s3cret-pw"})):
        settings = dict(username="bridge", protocol=protocol, tls=tls_table(certificates), **password)
        with bridged(document(broker.port, line, broker=settings), username="bridge", password="s3cret-pw",
                     tls=certificates) as (bridge, watcher):
            assert "s3cret" not in repr(bridge.config.broker) + repr(bridge.config.broker.password)
            watcher.publish("plant/line1/1/pump/set", json.dumps({"value": True, "id": protocol}))
            got, _ = answer(watcher, "plant/line1/1/pump/set/result")
            assert (got["ok"], got["id"], got["value"]) == (True, protocol, True)


def run_bridge(path, env=None, timeout=60):
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in ("build", ".",
                                                                         os.environ.get("PYTHONPATH")) if p))
    environment.update(env or {})
    return subprocess.run([sys.executable, "-m", "b4k_mew_tools", "bridge", str(path)], capture_output=True,
                          text=True, timeout=timeout, env=environment, cwd=ROOT)


def test_what_the_broker_refuses_is_one_line_and_status_3(secured, sim, tmp_path):
    broker, certificates = secured
    simulator, line = sim
    (tmp_path / "named").mkdir()
    named = Certificates(tmp_path / "named", names="DNS:localhost")
    named_broker = Broker(tmp_path / "named", "named", certificates=named).start()
    good = {"username": "bridge", "password_env": "BRIDGE_PW", "tls": tls_table(certificates)}
    cases = [  # what changes in [broker] and [publish], the words expected
        ({}, {"password_env": "WRONG_PW"}, "refused the connection"),
        ({}, {"tls": tls_table(certificates, "other-ca.crt")}, "not trusted"),
        ({"prefix": "elsewhere"}, {}, "ACL"),
        ({"port": named_broker.port}, {"tls": {"ca_file": named.path("ca.crt")}}, "mismatch"),
        ({"port": named_broker.port, "host": "localhost"}, {"tls": {"ca_file": named.path("ca.crt")}}, None),
        ({"port": named_broker.port}, {"tls": {"ca_file": named.path("ca.crt"), "check_server_name": False}}, None),
    ]
    try:
        for extra_broker, change, words in cases:
            check_start(broker, line, tmp_path, dict(good, **extra_broker), change, words)
    finally:
        named_broker.stop()


def check_start(broker, line, tmp_path, settings, change, words):
    """Runs the command with [broker] ``settings`` changed by ``change``: it runs
    when ``words`` is None, else it ends at once with them in one line."""
    settings.update(change)
    path = tmp_path / "bridge.toml"
    path.write_text(toml(document(settings.pop("port", broker.port), line, broker=settings)))
    if words is None:  # the name check passes for a name the certificate holds: it runs
        process = subprocess.Popen([sys.executable, "-m", "b4k_mew_tools", "bridge", str(path)],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=ROOT,
                                   env=dict(os.environ, BRIDGE_PW="s3cret-pw", PYTHONPATH="build:."))
        try:
            assert "running" in process.stdout.readline() + process.stdout.readline()
        finally:
            process.terminate()
            out, err = process.communicate(timeout=WAIT * 2)
        # (130: the stop came in the moment between the printed line and the wait)
        assert process.returncode in (0, 130) and "s3cret" not in out + err, (out, err)
        return
    result = run_bridge(path, env={"BRIDGE_PW": "s3cret-pw", "WRONG_PW": "guess"})
    assert result.returncode == 3, result
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and words in lines[0] and "Traceback" not in result.stderr, result.stderr
    assert "s3cret" not in result.stdout + result.stderr and "guess" not in result.stderr


def toml(value, table=""):
    """A small TOML writer for the tests' configs."""
    scalars, tables, arrays = [], [], []
    for key, item in value.items():
        if isinstance(item, dict):
            tables.append((key, item))
        elif isinstance(item, list) and item and isinstance(item[0], dict):
            arrays.append((key, item))
        else:
            scalars.append("%s = %s" % (key, json.dumps(item)))
    text = "\n".join(scalars) + "\n"
    for key, item in tables:
        text += "[%s]\n%s" % (table + key, toml(item, table + key + "."))
    for key, items in arrays:
        for item in items:
            text += "[[%s]]\n%s" % (table + key, toml(item, table + key + "."))
    return text


# --- Sparkplug B ------------------------------------------------------------------------

class Host:
    """What a primary host makes of the node's messages, decoded with protobuf."""

    def __init__(self, watcher, group="plantA", node="plant-test"):
        self.watcher, self.base = watcher, "spBv1.0/%s/" % group
        self.node = node

    def messages(self):
        with self.watcher.lock:
            found = [(m[0][len(self.base):].split("/"), sp.decode(m[1])) for m in self.watcher.messages
                     if m[0].startswith(self.base)]
        return [(parts[0], parts[2] if len(parts) > 2 else None, payload) for parts, payload in found]

    def wait(self, kind, device=None, after=0, where=lambda payload: True):
        found = []

        def look():
            found[:] = [m for m in self.messages()[after:] if m[0] == kind and m[1] == device and where(m[2])]
            return found
        assert wait_until(look, WAIT), "no %s %s in %r" % (kind, device, [m[:2] for m in self.messages()])
        return found[0][2]

    def command(self, kind, device, metrics):
        payload = sp.Payload(timestamp=sp.now_ms())
        for fields in metrics:
            payload.metrics.add(**fields)
        topic = "%s%s/%s" % (self.base, kind, self.node) + ("/" + device if device else "")
        self.watcher.publish(topic, payload.SerializeToString())


def metric_value(payload, alias):
    (metric,) = [m for m in payload.metrics if m.alias == alias]
    return metric


def test_sparkplug_node_births_data_commands_and_death(plain, sim):
    simulator, line = sim
    publish = {"mode": "sparkplug", "sparkplug": {"group": "plantA"}}
    with bridged(document(plain.port, line, publish=publish)) as (bridge, watcher):
        host = Host(watcher)
        birth = host.wait("NBIRTH")
        assert birth.seq == 0 and [m.name for m in birth.metrics] == ["bdSeq", "Node Control/Rebirth"]
        bdseq = birth.metrics[0].long_value
        dbirth = host.wait("DBIRTH", "line1-1", where=lambda p: all(not m.is_null for m in p.metrics))
        metrics = {m.name: m for m in dbirth.metrics}
        assert {n: (m.datatype, sp.get_value(m, m.datatype)) for n, m in metrics.items()} == {
            "counter": (sp.DataType.UInt16, 5), "setpoint": (sp.DataType.Double, -2.0),
            "pump": (sp.DataType.Boolean, False), "alarm": (sp.DataType.Boolean, False)}
        assert list(metrics["setpoint"].properties.keys) == ["engUnit"] and metrics["counter"].timestamp > 1e12
        aliases = {n: m.alias for n, m in metrics.items()}
        total_alias = host.wait("DBIRTH", "line1-2").metrics[0].alias
        # A change is DDATA by alias.
        simulator.devices[1].write_registers("D", 100, [6])
        host.wait("DDATA", "line1-1", where=lambda p: any(m.alias == aliases["counter"] and m.int_value == 6
                                                          for m in p.metrics))
        # DCMD writes, by name and by alias, go through the checks; what was written comes back.
        host.command("DCMD", "line1-1", [{"name": "setpoint", "datatype": sp.DataType.Double, "double_value": 21.5}])
        host.command("DCMD", "line1-2", [{"alias": total_alias, "int_value": 70000}])
        host.wait("DDATA", "line1-1", where=lambda p: any(m.alias == aliases["setpoint"] and m.double_value == 21.5
                                                          for m in p.metrics))
        assert simulator.devices[1].read_registers("D", 101, 1) == [215]
        assert wait_until(lambda: simulator.devices[2].read_registers("D", 110, 2) == [70000 & 0xFFFF, 1], WAIT)
        host.command("DCMD", "line1-1", [{"name": "setpoint", "boolean_value": True},
                                         {"name": "counter", "int_value": 1}])
        assert wait_until(lambda: len(watcher.payloads(bridge.error_topic)) == 2, WAIT)
        errors = [json.loads(p)["error"] for p in watcher.payloads(bridge.error_topic)]
        assert "boolean_value" in errors[0] and errors[1] == "point is read-only", errors
        # A silent station dies and is born again.
        device = simulator.devices.pop(2)
        host.wait("DDEATH", "line1-2")
        mark = len(host.messages())
        simulator.devices[2] = device
        host.wait("DBIRTH", "line1-2", after=mark)
        # Rebirth on the host's command.
        mark = len(host.messages())
        host.command("NCMD", None, [{"name": "Node Control/Rebirth", "boolean_value": True}])
        assert host.wait("NBIRTH", after=mark).seq == 0
        host.wait("DBIRTH", "line1-1", after=mark)
        # Killed: the broker sends NDEATH with the session's bdSeq; the next session has the next one.
        bridge.connection.client.socket().shutdown(socket.SHUT_RDWR)
        death = host.wait("NDEATH")
        assert death.metrics[0].name == "bdSeq" and death.metrics[0].long_value == bdseq
        assert host.wait("NBIRTH", after=mark + 2, where=lambda p: p.metrics[0].long_value == bdseq + 1)
        host.wait("DBIRTH", "line1-2", after=len(host.messages()) - 3)
    # Birth before data and seq without gaps, across every message of the node but its deaths.
    seqs, born = [], set()
    for kind, device, payload in host.messages():
        if kind in ("NCMD", "DCMD") or kind == "NDEATH":
            continue
        if kind == "NBIRTH":
            born, seqs = set(), seqs + [None]
        if kind == "DBIRTH":
            born.add(device)
        if kind == "DDATA":
            assert device in born, "DDATA of %s before its DBIRTH" % device
        seqs.append(payload.seq)
    runs = " ".join("-" if s is None else str(s) for s in seqs).split("-")
    for run in runs:
        numbers = [int(n) for n in run.split()]
        assert numbers == [n % 256 for n in range(len(numbers))], seqs


# --- Discovery and the choices a plant makes --------------------------------------------

def test_discovery_makes_sensors_numbers_and_switches_that_write(plain, sim):
    simulator, line = sim
    with bridged(document(plain.port, line, publish={"discovery": {}})) as (bridge, watcher):
        configs = {}
        assert wait_until(lambda: len([m for m in watcher.messages if m[0].startswith("homeassistant/")]) == 5,
                          WAIT)
        for topic, payload, _, _, _ in watcher.messages:
            if topic.startswith("homeassistant/"):
                configs[topic.split("/")[1], json.loads(payload)["state_topic"].rsplit("/", 1)[1]] = \
                    json.loads(payload)
        assert sorted(configs) == [("binary_sensor", "alarm"), ("number", "setpoint"), ("number", "total"),
                                   ("sensor", "counter"), ("switch", "pump")]
        counter, setpoint = configs["sensor", "counter"], configs["number", "setpoint"]
        assert counter["unit_of_measurement"] == "pcs" and "command_topic" not in counter
        assert [a["topic"] for a in counter["availability"]] == ["plant/$bridge/plant-test", "plant/line1/1/$status"]
        assert (setpoint["min"], setpoint["max"], setpoint["step"]) == (-3276.8, 3276.7, 0.1)
        # What the home automation sends on the command topics is a write the bridge takes.
        switch, total = configs["switch", "pump"], configs["number", "total"]
        watcher.publish(switch["command_topic"], switch["payload_on"])
        watcher.publish(total["command_topic"], "4000")  # its command_template makes an integer
        assert wait_until(lambda: simulator.devices[1].get_contact("R", 0x10), WAIT)
        assert wait_until(lambda: simulator.devices[2].read_registers("D", 110, 1) == [4000], WAIT)
        assert total["command_template"] == "{{ value | int }}"


def test_qos_per_point_periodic_and_grouped_publishing(plain, sim):
    simulator, line = sim
    with bridged(document(plain.port, line)) as (bridge, watcher):
        for topic, qos in (("alarm", 2), ("counter", 1)):
            found = watcher.wait_for(lambda m: m[0] == "plant/line1/1/" + topic)
            assert found[4] == qos, found
        assert watcher.wait_for(lambda m: m[0] == "plant/line1/2/total")[4] == 0
    publish = {"on_change": False, "every": 0.3, "grouped": True}
    with bridged(document(plain.port, line, publish=publish)) as (bridge, watcher):
        simulator.devices[1].write_registers("D", 100, [77])
        assert wait_until(lambda: len(watcher.payloads("plant/line1/1/$points")) >= 3, WAIT)
        group = json.loads(watcher.last("plant/line1/1/$points"))
        assert sorted(group["points"]) == ["alarm", "counter", "pump", "setpoint"]
        assert group["points"]["counter"]["value"] == 77 and group["points"]["setpoint"]["value"] == -2.0


# --- Across sites: two brokers linked by mosquitto's bridging ----------------------------

def test_a_consumer_on_the_linked_broker_sees_points_and_writes_with_answers(tmp_path):
    site = Broker(tmp_path, "site")
    centre = Broker(tmp_path, "centre", link=site)  # the centre's mosquitto connects out to the site's
    with brokers.running(site, centre), VirtualLine() as wire, \
            Simulator(b4k_mew.MewSerial(port=wire.port_a, baudrate=115200)) as simulator:
        simulator.add_device(1).write_registers("D", 100, [5, 0xFFEC])
        simulator.add_device(2)
        simulator.start()
        points = [dict(p, period=0.1) for p in POINTS]
        consumer = Client(centre.port)
        try:
            assert consumer.subscribed.wait(WAIT)
            config = document(site.port, wire.port_b, points=points)
            config["line"][0]["baudrate"] = 115200
            with bridged(config):
                found = consumer.wait_for(lambda m: m[0] == "plant/line1/1/counter" and b'"value": 5' in m[1])
                assert found is not None, centre.log_text()[-1000:]
                consumer.publish("plant/line1/1/setpoint/set", json.dumps({"value": 12.5, "id": "centre-1"}))
                got, _ = answer(consumer, "plant/line1/1/setpoint/set/result")
                assert (got["ok"], got["id"], got["value"]) == (True, "centre-1", 12.5)
                assert simulator.devices[1].read_registers("D", 101, 1) == [125]
        finally:
            consumer.close()


# --- The Sparkplug B schema's bytes and the config's checks -----------------------------

@pytest.mark.parametrize("datatype, value, encoded", [
    (sp.DataType.Int16, -5, "20 02 50 fbffffff0f"),  # signed in the unsigned field, two's complement
    (sp.DataType.UInt32, 70000, "20 07 50 f0a204"),
    (sp.DataType.Int64, -1, "20 04 58 ffffffffffffffffff01"),
    (sp.DataType.Float, 1.5, "20 09 65 0000c03f"),
    (sp.DataType.Double, -2.0, "20 0a 69 00000000000000c0"),
    (sp.DataType.Boolean, True, "20 0b 70 01"),
    (sp.DataType.String, "ok", "20 0c 7a 026f6b"),
])
def test_sparkplug_payload_bytes_follow_the_published_field_numbers(datatype, value, encoded):
    payload = sp.Payload(timestamp=1, seq=255)
    metric = payload.metrics.add(name="a", alias=1, datatype=datatype)
    sp.set_value(metric, datatype, value)
    inner = bytes.fromhex("0a0161 1001 " + encoded)
    assert payload.SerializeToString() == bytes([0x08, 1, 0x12, len(inner)]) + inner + bytes.fromhex("18ff01")
    assert sp.get_value(sp.decode(payload.SerializeToString()).metrics[0], datatype) == value


@pytest.mark.parametrize("broker, publish, words", [
    ({"password": "x"}, None, "broker.password: a password needs broker.username"),
    ({"username": "u", "password_env": "B4K_NOT_SET_ANYWHERE"}, None, "broker.password_env"),
    ({"username": "u", "password": "x", "password_file": "/p"}, None, "give one of"),
    ({"tls": {"ca_file": "/nowhere/ca.crt"}}, None, "broker.tls.ca_file: cannot read"),
    ({"tls": {"cert_file": __file__}}, None, "needs both cert_file and key_file"),
    ({"protocol": "3"}, None, "broker.protocol"),
    ({}, {"mode": "sparkplug", "grouped": True}, "publish.grouped"),
    ({}, {"mode": "sparkplug", "discovery": {}}, "publish.discovery"),
    ({}, {"on_change": False}, "publish.every"),
    ({}, {"qos": 3}, "publish.qos"),
])
def test_bad_security_and_publish_settings_name_their_key(broker, publish, words):
    from b4k_mew_tools.bridge import ConfigError
    with pytest.raises(ConfigError) as error:
        parse_config(document(1883, "tcp://127.0.0.1:1", broker=broker, publish=publish))
    assert words in str(error.value)


@pytest.mark.filterwarnings("ignore:Unexpected end-group tag")  # as the module does; pytest resets filters
def test_any_bytes_as_a_command_are_writes_or_one_value_error():
    import random
    node = sp.EdgeNode("g", "n")
    node.add_device("l-1", [sp.MetricDef("a", 1, sp.DataType.Int16), sp.MetricDef("b", 2, sp.DataType.Float)])
    good = sp.Payload(timestamp=1, seq=3)
    good.metrics.add(alias=1, int_value=0xFFFFFFFB)
    good.metrics.add(name="b", float_value=1.5)
    seed = good.SerializeToString()
    rng = random.Random(27)
    for _ in range(3000):
        data = bytearray(seed)
        for _ in range(rng.randint(1, 4)):
            data[rng.randrange(len(data))] = rng.randrange(256)
        try:
            writes = node.command(bytes(data[:rng.randint(0, len(data))]), "l-1")
        except ValueError:
            continue
        for target, value in writes:
            assert isinstance(value, ValueError) or (target.name == "a" and -0x8000 <= value <= 0x7FFF) \
                or (target.name == "b" and isinstance(value, float)), (target, value)
