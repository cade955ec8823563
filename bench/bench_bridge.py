"""The MQTT bridge: points published per second, its CPU use, and the latency from a change to a subscriber.

The plant, modes and baseline are in the README; needs /usr/sbin/mosquitto and paho-mqtt.
"""

import contextlib
import json
import os
import random
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import b4k_mew

import common

MOSQUITTO = "/usr/sbin/mosquitto"
STATIONS, PER_STATION = 16, 125
PERIOD, CHANGE_EVERY, PREFIX = 0.05, 0.4, "bench"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

def baseline_main(line, broker_port):
    """The plain loop, run as `bench_bridge.py --baseline LINE BROKER_PORT`."""
    import paho.mqtt.client as mqtt
    master = b4k_mew.MewMaster(line if line.startswith("tcp://") else b4k_mew.MewSerial(port=line),
                               query_timeout=0.5)
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

class Subscriber:
    def __init__(self, port, mode):
        import paho.mqtt.client as mqtt
        self.count, self.arrivals, self.mode, self.seen = 0, {}, mode, {}  # arrivals: probe value -> time
        self.probe_topic = "%s/line/1/%s" % (PREFIX, "$points" if mode == "grouped" else "p000")
        if mode == "sparkplug":
            from b4k_mew_tools.bridge import sparkplug
            self.decode = sparkplug.decode
            self.probe_topic = "spBv1.0/%s/DDATA/bench-bridge/line-1" % PREFIX
        self.client = mqtt.Client(client_id="bench-subscriber")
        topic = "spBv1.0/%s/#" % PREFIX if mode == "sparkplug" else PREFIX + "/#"
        self.client.on_connect = lambda c, u, f, rc: c.subscribe(topic, qos=0)
        self.client.on_message = self._message
        self.client.connect("127.0.0.1", port, 30)
        self.client.loop_start()

    def _message(self, client, userdata, message):
        now, probe = time.monotonic(), message.topic == self.probe_topic
        if self.mode == "grouped":
            if not message.topic.endswith("/$points"):
                return
            points = json.loads(message.payload)["points"]
            for name, entry in points.items():  # a point counts when its value is new
                if self.seen.get((message.topic, name)) != entry["value"]:
                    self.seen[message.topic, name] = entry["value"]
                    self.count += 1
            if probe and "p000" in points:
                self.arrivals.setdefault(points["p000"]["value"], now)
        elif self.mode == "sparkplug":
            payload = self.decode(message.payload)
            self.count += len(payload.metrics)
            for metric in payload.metrics if probe else ():
                if metric.alias == 1:  # station 1's p000, the first point declared
                    self.arrivals.setdefault(metric.int_value, now)
        else:
            self.count += 1
            if probe:
                self.arrivals.setdefault(json.loads(message.payload)["value"], now)

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
        self.stop, self.probing, self.probes, self.subscriber = threading.Event(), threading.Event(), {}, None
        self.threads = [threading.Thread(target=f, daemon=True) for f in (self._change, self._probe)]
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
        """A change at a random moment, then a wait until it arrives (or 3 s): none overwritten unread."""
        value, rng = 0, random.Random(7)
        while not self.stop.wait(rng.uniform(0.0, PERIOD)):
            if self.probing.is_set() and self.subscriber is not None:
                value += 1
                self.probes[value] = time.monotonic()  # probe value -> time it was written
                self.devices[0].write_registers("D", 0, [value])
                common.wait_for(lambda: value in self.subscriber.arrivals, 3, 0.002)

    def close(self):
        self.stop.set()
        for thread in self.threads:
            thread.join(2)

def bridge_config(path, line, broker_port, mode):
    points = ["[[line.point]]\nstation = %d\nname = \"p%03d\"\naddress = \"DT%d\"\nperiod = %s\n"
              % (station, register, register, PERIOD)
              for station in range(1, STATIONS + 1) for register in range(PER_STATION)]
    publish = {"sparkplug": "[publish]\nmode = \"sparkplug\"\n\n", "grouped": "[publish]\ngrouped = true\n\n"}
    with open(path, "w") as f:
        f.write("[broker]\nport = %d\nprefix = \"%s\"\nclient_id = \"bench-bridge\"\n\n%s[[line]]\nname = \"line\"\n"
                "port = \"%s\"\nquery_timeout = 0.5\n\n%s" % (broker_port, PREFIX, publish.get(mode, ""), line,
                                                             "\n".join(points)))

def measure(side, transport, broker_port, directory, warmup, seconds):
    with contextlib.ExitStack() as stack:
        plant = Plant(transport, stack)
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in (os.path.join(ROOT, "build"), ROOT,
                                                                       os.environ.get("PYTHONPATH")) if p))
        if side != "baseline":
            config = os.path.join(directory, "bridge-%s.toml" % transport)
            bridge_config(config, plant.line, broker_port, side)
            command = [sys.executable, "-m", "b4k_mew_tools", "bridge", config]
        else:
            command = [sys.executable, os.path.abspath(__file__), "--baseline", plant.line, str(broker_port)]
        process = subprocess.Popen(command, cwd=ROOT, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        stack.callback(common.stop_process, process)
        subscriber = plant.subscriber = Subscriber(broker_port, side)
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
    """Clears what the last publisher left retained, so the next run's subscriber does not count it."""
    import paho.mqtt.client as mqtt
    client, topics = mqtt.Client(client_id="bench-cleaner"), set()
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
    bench = common.Bench("bridge", __doc__, (0.5, 2.0), (1.5, 6.0), argv=argv, quick_help="shorter windows")
    warmup, seconds = bench.settings
    if not os.path.exists(MOSQUITTO):
        bench.say("mosquitto is not installed (%s): nothing measured", MOSQUITTO)
        return bench.finish()
    rows = []
    with tempfile.TemporaryDirectory(prefix="bench-bridge-") as directory:
        port = common.free_port()
        conf = os.path.join(directory, "mosquitto.conf")
        with open(conf, "w") as f:
            f.write("listener %d 127.0.0.1\nallow_anonymous true\npersistence false\n" % port)
        broker = subprocess.Popen([MOSQUITTO, "-c", conf], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            def up():
                with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", port), 0.2):
                    return True
            if not common.wait_for(up, 5):
                bench.say("mosquitto did not start")
                return bench.finish()
            for transport in ("serial", "tcp"):
                for side in ("bridge", "sparkplug", "grouped", "baseline"):
                    rows.append(measure(side, transport, port, directory, warmup, seconds))
                    clear_retained(port)
        finally:
            common.stop_process(broker)
    bench.table(rows, "transport", "side", "published_per_s=published/s", "cpu=CPU", "cpu_us_per_point=µs/point",
                "arrived=probes", "latency_median_ms=median ms", "latency_p99_ms=p99 ms",
                title="%d points on %d stations, bridge period %.2f s, every point changed every %.2f s; window %.1f "
                "s:" % (STATIONS * PER_STATION, STATIONS, PERIOD, CHANGE_EVERY, seconds), note="CPU: the publisher's "
                "process CPU time / wall; µs/point: CPU per point published; probes: changes of one point seen at "
                "the subscriber")
    ratios = {}
    for transport in ("serial", "tcp"):
        bridge, baseline = (next(r for r in rows if r["transport"] == transport and r["side"] == s)
                            for s in ("bridge", "baseline"))
        per_cpu = [r["published_per_s"] / r["cpu"] if r["cpu"] > 0 else float("nan") for r in (bridge, baseline)]
        ratios[transport] = {"transport": transport, "published_per_cpu_s": per_cpu[0] / per_cpu[1],
                             "published_per_s": bridge["published_per_s"] / max(baseline["published_per_s"], 1e-9),
                             "latency_median": bridge["latency_median_ms"] / baseline["latency_median_ms"]}
    bench.table(list(ratios.values()), "transport", "published_per_s=published/s",
                "published_per_cpu_s=published per CPU second", "latency_median=median latency",
                title="bridge / baseline:")
    return bench.finish(seconds=seconds, points=STATIONS * PER_STATION, stations=STATIONS, period=PERIOD,
                        change_every=CHANGE_EVERY, rows=rows, bridge_over_baseline=ratios)

if __name__ == "__main__":
    common.run(main, baseline=baseline_main)
