"""The MQTT bridge: points published per second, its CPU use, and the latency from a change to a subscriber.

    PYTHONPATH=build:. /usr/bin/python3 bench/bench_bridge.py [--quick] [--json PATH]

Needs /usr/sbin/mosquitto (run on a free loopback port) and paho-mqtt.
The plant: 16 simulated stations of 125 registers (2,000 uint16 points) in
this process, on one serial line (a VirtualLine) or behind one TCP port. A
changer thread writes new values into every register every CHANGE_EVERY
seconds (2,000 / 0.4 s = 5,000 changes/s) but the probe (station 1, DT0),
which a probe thread changes at a random moment and waits for at a paho
subscriber here. Four publishers, each a process of its own so that its CPU
time is its alone: the bridge (``python -m b4k_mew_tools bridge CONFIG``,
every point at PERIOD) in JSON mode, a message per change; in Sparkplug B
mode, a DDATA per station and cycle (the subscriber decodes each and counts
metrics); in JSON mode with grouped = true, an object per station and cycle
(the subscriber counts the values that changed); and a plain-Python loop
(below) reading each point with the blocking MewMaster and publishing what
changed with paho, the same payload, QoS 1, retained. Figures: points
published per second at the subscriber, CPU (process CPU time / wall; 1.0 is
one core), CPU per point published, and the probe's latency from its change
in the controller to the subscriber (median, p99), bounded below by the
bridge's PERIOD and by the baseline's time round all points.
"""

import contextlib
import json
import os
import random
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import b4k_mew

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import common  # noqa: E402

MOSQUITTO = "/usr/sbin/mosquitto"
STATIONS = 16
PER_STATION = 125  # 16 x 125 = 2,000 points
PERIOD = 0.05  # the bridge's polling period of every point
CHANGE_EVERY = 0.4  # the changer's period: 5,000 changes a second
PREFIX = "bench"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


# --- The baseline: a plain loop, run as `bench_bridge.py --baseline LINE BROKER_PORT` -----

def baseline_main(line, broker_port):
    import paho.mqtt.client as mqtt
    if line.startswith("tcp://"):
        master = b4k_mew.MewMaster(line, query_timeout=0.5)
    else:
        master = b4k_mew.MewMaster(b4k_mew.MewSerial(port=line), query_timeout=0.5)
    client = mqtt.Client(client_id="baseline")
    client.connect("127.0.0.1", int(broker_port), 30)
    client.loop_start()
    last = {}
    while True:
        for station in range(1, STATIONS + 1):
            for register in range(PER_STATION):
                try:
                    value = master.get_uint16(station, "DT%d" % register)
                except OSError:
                    continue
                if last.get((station, register)) != value:
                    last[station, register] = value
                    document = {"value": value, "time": round(time.time(), 3), "quality": "good"}
                    client.publish("%s/line/%d/p%03d" % (PREFIX, station, register), json.dumps(document),
                                   qos=1, retain=True)


# --- The rig ----------------------------------------------------------------------------

class Subscriber:
    def __init__(self, port, sparkplug=False, grouped=False):
        import paho.mqtt.client as mqtt
        self.count = 0
        self.arrivals = {}  # probe value -> monotonic time it arrived
        self.probe_topic = "%s/line/1/%s" % (PREFIX, "$points" if grouped else "p000")
        self.sparkplug, self.grouped, self.seen = sparkplug, grouped, {}
        if sparkplug:
            from b4k_mew_tools.bridge import sparkplug as sp
            self.decode = sp.decode
            self.probe_topic = "spBv1.0/%s/DDATA/bench-bridge/line-1" % PREFIX
        self.client = mqtt.Client(client_id="bench-subscriber")
        topic = "spBv1.0/%s/#" % PREFIX if sparkplug else PREFIX + "/#"
        self.client.on_connect = lambda c, u, f, rc: c.subscribe(topic, qos=0)
        self.client.on_message = self._message
        self.client.connect("127.0.0.1", port, 30)
        self.client.loop_start()

    def _message(self, client, userdata, message):
        now = time.monotonic()
        if self.grouped:
            if not message.topic.endswith("/$points"):
                return
            points = json.loads(message.payload)["points"]
            for name, entry in points.items():  # a point counts when its value is new
                key = (message.topic, name)
                if self.seen.get(key) != entry["value"]:
                    self.seen[key] = entry["value"]
                    self.count += 1
            if message.topic == self.probe_topic and "p000" in points:
                self.arrivals.setdefault(points["p000"]["value"], now)
            return
        if not self.sparkplug:
            self.count += 1
            if message.topic == self.probe_topic:
                value = json.loads(message.payload)["value"]
                self.arrivals.setdefault(value, now)
            return
        payload = self.decode(message.payload)
        self.count += len(payload.metrics)
        if message.topic == self.probe_topic:
            for metric in payload.metrics:
                if metric.alias == 1:  # station 1's p000, the first point declared
                    self.arrivals.setdefault(metric.int_value, now)

    def close(self):
        self.client.disconnect()
        self.client.loop_stop()


class Plant:
    """16 stations on a serial line or a TCP port, a changer and a probe."""

    def __init__(self, transport, stack):
        from b4k_mew_tools import Simulator, VirtualLine
        if transport == "serial":
            line = stack.enter_context(VirtualLine())
            self.sim = stack.enter_context(Simulator(b4k_mew.MewSerial(port=line.port_a)))
            self.line = line.port_b
        else:
            self.sim = stack.enter_context(Simulator(None))
            self.line = "tcp://127.0.0.1:%d" % self.sim.listen("127.0.0.1", 0).port
        self.devices = [self.sim.add_device(s) for s in range(1, STATIONS + 1)]
        if transport == "serial":
            self.sim.start()
        self.stop = threading.Event()
        self.probes = {}  # probe value -> monotonic time it was written
        self.probing = threading.Event()
        self.subscriber = None
        self.threads = [threading.Thread(target=self._change, daemon=True),
                        threading.Thread(target=self._probe, daemon=True)]
        for thread in self.threads:
            thread.start()
        stack.callback(self.close)

    def _change(self):
        tick = 0
        while not self.stop.wait(CHANGE_EVERY):
            tick += 1
            for index, device in enumerate(self.devices):
                values = [(tick + r) & 0xFFFF for r in range(PER_STATION)]
                if index == 0:
                    device.write_registers("D", 1, values[1:])  # DT0 of station 1 is the probe's
                else:
                    device.write_registers("D", 0, values)

    def _probe(self):
        """One change at a time: a random moment, then wait until it arrives
        (or 3 s), so that no change is overwritten before it is read."""
        value = 0
        rng = random.Random(7)
        while not self.stop.wait(rng.uniform(0.0, PERIOD)):
            if self.probing.is_set() and self.subscriber is not None:
                value += 1
                self.probes[value] = time.monotonic()
                self.devices[0].write_registers("D", 0, [value])
                deadline = time.monotonic() + 3
                while value not in self.subscriber.arrivals and time.monotonic() < deadline:
                    time.sleep(0.002)

    def close(self):
        self.stop.set()
        for thread in self.threads:
            thread.join(2)


def bridge_config(path, line, broker_port, sparkplug=False, grouped=False):
    points = []
    for station in range(1, STATIONS + 1):
        for register in range(PER_STATION):
            points.append("[[line.point]]\nstation = %d\nname = \"p%03d\"\naddress = \"DT%d\"\nperiod = %s\n"
                          % (station, register, register, PERIOD))
    text = ("[broker]\nport = %d\nprefix = \"%s\"\nclient_id = \"bench-bridge\"\n\n[[line]]\nname = \"line\"\n"
            "port = \"%s\"\nquery_timeout = 0.5\n\n%s" % (broker_port, PREFIX, line, "\n".join(points)))
    if sparkplug or grouped:
        mode = "mode = \"sparkplug\"" if sparkplug else "grouped = true"
        text = text.replace("[[line]]", "[publish]\n%s\n\n[[line]]" % mode, 1)
    with open(path, "w") as f:
        f.write(text)


def measure(side, transport, broker_port, directory, warmup, seconds):
    with contextlib.ExitStack() as stack:
        plant = Plant(transport, stack)
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in (os.path.join(ROOT, "build"), ROOT,
                                                                       os.environ.get("PYTHONPATH")) if p))
        if side != "baseline":
            config = os.path.join(directory, "bridge-%s.toml" % transport)
            bridge_config(config, plant.line, broker_port, side == "sparkplug", side == "grouped")
            command = [sys.executable, "-m", "b4k_mew_tools", "bridge", config]
        else:
            command = [sys.executable, os.path.abspath(__file__), "--baseline", plant.line, str(broker_port)]
        process = subprocess.Popen(command, cwd=ROOT, env=env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)

        def stop():
            process.terminate()
            try:
                process.wait(5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        stack.callback(stop)
        subscriber = plant.subscriber = Subscriber(broker_port, side == "sparkplug", side == "grouped")
        stack.callback(subscriber.close)
        common.wait_for(lambda: subscriber.count >= STATIONS * PER_STATION, 20)
        time.sleep(warmup)
        plant.probing.set()
        count0, cpu0, wall0 = subscriber.count, common.process_cpu_seconds(process.pid), time.monotonic()
        time.sleep(seconds)
        count1, cpu1, wall1 = subscriber.count, common.process_cpu_seconds(process.pid), time.monotonic()
        plant.probing.clear()
        time.sleep(1.5)  # the last probes arrive
        latencies = sorted(subscriber.arrivals[v] - t for v, t in plant.probes.items() if v in subscriber.arrivals)
        published, cpu = (count1 - count0) / (wall1 - wall0), (cpu1 - cpu0) / (wall1 - wall0)
        return {"side": side, "transport": transport, "published_per_s": published, "cpu": cpu,
                "cpu_us_per_point": cpu / published * 1e6 if published else float("nan"),
                "probes": len(plant.probes), "arrived": len(latencies),
                "latency_median_ms": statistics.median(latencies) * 1e3 if latencies else float("nan"),
                "latency_p99_ms": common.percentile(latencies, 0.99) * 1e3 if latencies else float("nan")}


def clear_retained(port):
    """Clears what the previous publisher left retained, so the next run's
    subscriber does not count it."""
    import paho.mqtt.client as mqtt
    client = mqtt.Client(client_id="bench-cleaner")
    topics = set()
    client.on_connect = lambda c, u, f, rc: c.subscribe(PREFIX + "/#", qos=0)
    client.on_message = lambda c, u, m: topics.add(m.topic) if m.retain else None
    client.connect("127.0.0.1", port, 30)
    client.loop_start()
    time.sleep(1.0)
    for topic in topics:
        client.publish(topic, b"", qos=0, retain=True)
    time.sleep(0.3)
    client.disconnect()
    client.loop_stop()


def main(argv=None):
    opts, (warmup, seconds) = common.options(argv, __doc__, (0.5, 2.0), (1.5, 6.0), quick_help="shorter windows")
    if not os.path.exists(MOSQUITTO):
        print("mosquitto is not installed (%s): nothing measured" % MOSQUITTO)
        return 0
    directory = tempfile.mkdtemp(prefix="bench-bridge-")
    port = common.free_port()
    conf = os.path.join(directory, "mosquitto.conf")
    with open(conf, "w") as f:
        f.write("listener %d 127.0.0.1\nallow_anonymous true\npersistence false\n" % port)
    broker = subprocess.Popen([MOSQUITTO, "-c", conf], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    rows = []
    try:
        def up():
            with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", port), 0.2):
                return True
        if not common.wait_for(up, 5):
            print("mosquitto did not start")
            return 0
        for transport in ("serial", "tcp"):
            for side in ("bridge", "sparkplug", "grouped", "baseline"):
                rows.append(measure(side, transport, port, directory, warmup, seconds))
                clear_retained(port)
    finally:
        broker.terminate()
        broker.wait(5)
        shutil.rmtree(directory, ignore_errors=True)

    print("%d points on %d stations, bridge period %.2f s, every point changed every %.2f s; window %.1f s:"
          % (STATIONS * PER_STATION, STATIONS, PERIOD, CHANGE_EVERY, seconds))
    common.print_table([("transport", "-9s"), ("side", "-9s"), ("published/s", "12.0f"), ("CPU", "6.2f"),
                        ("µs/point", "9.1f"), ("probes", "7d"), ("median ms", "10.1f"), ("p99 ms", "9.1f")],
                       [(r["transport"], r["side"], r["published_per_s"], r["cpu"], r["cpu_us_per_point"],
                         r["arrived"], r["latency_median_ms"], r["latency_p99_ms"]) for r in rows])
    print("(CPU: the publisher's process CPU time / wall; µs/point: CPU per point published; probes: changes of "
          "one point seen at the subscriber)")
    ratios = {}
    for transport in ("serial", "tcp"):
        bridge, baseline = (next(r for r in rows if r["transport"] == transport and r["side"] == s)
                            for s in ("bridge", "baseline"))
        per_cpu = [r["published_per_s"] / r["cpu"] if r["cpu"] > 0 else float("nan") for r in (bridge, baseline)]
        ratios[transport] = {
            "published_per_s": bridge["published_per_s"] / max(baseline["published_per_s"], 1e-9),
            "published_per_cpu_s": per_cpu[0] / per_cpu[1],
            "latency_median": bridge["latency_median_ms"] / baseline["latency_median_ms"],
        }
        print("%s bridge / baseline: published/s %.2f, published per CPU second %.2f, median latency %.2f"
              % (transport, ratios[transport]["published_per_s"], ratios[transport]["published_per_cpu_s"],
                 ratios[transport]["latency_median"]))
    return common.finish(opts, "bridge", seconds=seconds, points=STATIONS * PER_STATION, stations=STATIONS,
                         period=PERIOD, change_every=CHANGE_EVERY, rows=rows, bridge_over_baseline=ratios)


if __name__ == "__main__":
    common.run(main, baseline=baseline_main)
