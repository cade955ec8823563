"""The device simulator: answers from C++ against the Python-queue simulator, idle and with a busy Python thread.

Each simulator answers register reads on a pty in its own process. A long
read: 500 registers at a frame limit of 118 (19 frames) by MewMaster from
Simulator(plc=True), against the same in plain Python, over a relayed line.
"""

import os
import queue
import threading

import b4k_mew

import common

TARGET_BUSY_OVER_IDLE = 0.5  # library answers per second, busy over idle
BAUDRATE = 115200
COMMAND = b4k_mew.MewStatic.append_tail("%01#RDD0010000100").encode("ascii")
RESPONSE = b4k_mew.MewStatic.append_tail("%01$RD3412").encode("ascii")  # DT100 = 0x1234
FRAME_LIMIT, LONG_READ = 118, 500
EXPECTED = [common.register_word(r) for r in range(LONG_READ)]

class BaselineDevice(b4k_mew.MewSlaveBase):
    """One station's registers in dicts (contacts read as zeros); safe from any thread."""

    def __init__(self, station):
        super().__init__(station)
        self._lock = threading.Lock()
        self._registers = {area: {} for area in "DLFS"}
        self.writes = 0

    def read_registers(self, area, start, count):
        with self._lock:
            regs = self._registers[area[0]]
            return [regs.get(start + i, 0) for i in range(count)]

    def write_registers(self, area, start, values):
        with self._lock:
            regs = self._registers[area[0]]
            for i, value in enumerate(values):
                regs[start + i] = value & 0xFFFF

    def on_get_multi_uint16(self, name, count):
        return self.read_registers(name[0], int(name[1:]), max(count, 0))

    def on_set_multi_uint16(self, name, values):
        self.write_registers(name[0], int(name[1:]), values)
        self.writes += 1

    def on_get_coil(self, name):
        return False

    def on_set_coil(self, name, value):
        pass

    def on_get_multi_coil_uint16(self, name, count):
        return [0] * max(count, 0)

    def on_set_multi_coil_uint16(self, name, values):
        pass

class BaselineSimulator(b4k_mew.MewBase):
    """Answers for every device added to it from a Python worker thread fed by a Python queue."""

    def __init__(self, channel, **serial_settings):
        super().__init__(channel, **serial_settings)
        self.devices, self._worker, self._queue, self._running = {}, None, None, threading.Event()

    def add_device(self, station):
        self.devices[station] = BaselineDevice(station)
        return self.devices[station]

    def start(self):
        super().start()
        if self._worker is not None:
            return
        self._queue = queue.Queue()
        with self._listener_lock:
            self._query_listeners.append(self._queue)
        self._running.set()
        self._worker = threading.Thread(target=self._serve, name="Simulator", daemon=True)
        self._worker.start()

    def stop(self):
        if self._worker is not None:
            self._running.clear()
            self._worker.join()
            self._worker = None
            with self._listener_lock:
                self._query_listeners.remove(self._queue)
        super().stop()

    def _serve(self):
        while self._running.is_set():
            try:
                frame = self._queue.get(timeout=0.1)
            except queue.Empty:
                continue
            try:
                device = self.devices.get(b4k_mew.MewStatic.parse_station(frame))
            except ValueError:
                continue
            if device is None:
                continue
            try:
                answer = device._process_request(frame)
                if answer:
                    self._send(answer)
            except Exception as error:
                print("Simulator: %s" % error, flush=True)

def count_streams():
    """Wraps the live server's event-stream handler; returns the function that counts the streams open."""
    from b4k_mew_tools.web import server as web_server
    lock, open_streams, events = threading.Lock(), [0], web_server._Handler._events

    def counted(handler):
        with lock:
            open_streams[0] += 1
        try:
            return events(handler)
        finally:
            with lock:
                open_streams[0] -= 1

    web_server._Handler._events = counted
    return lambda: open_streams[0]

def serve_child(kind, cpu, web, port):
    """The helper (bench_web's too): the simulator of `kind` on `port`, on CPU
    `cpu` ("-": any), with its live server if `web` is "web". Says "ready URL"
    ("-": no server), then answers each line: "busy" starts a spinning
    thread, "idle" stops it, "streams" counts the event streams open."""
    if cpu != "-":
        os.sched_setaffinity(0, {int(cpu)})  # before any thread starts: they all inherit it
    channel = b4k_mew.MewSerial(port=port, baudrate=BAUDRATE)
    server, streams, spinner = None, (lambda: 0), []
    if kind == "library":
        from b4k_mew_tools import Simulator
        sim = Simulator(channel)
    else:
        sim = BaselineSimulator(channel)
    try:
        sim.add_device(1).write_registers("DT", 100, [0x1234])
        sim.start()
        if kind == "library" and web == "web":
            from b4k_mew_tools.web import LiveServer, SimulatorView
            streams = count_streams()
            server = LiveServer(SimulatorView(sim), "127.0.0.1", 0)

        def answer(line):
            if line == "streams":
                return streams()
            if line == "busy" and not spinner:
                spinner.append(common.Spinner().start())
            elif line == "idle" and spinner:
                spinner.pop().stop()
            return "ok"

        common.serve_lines("ready %s" % (server.url if server else "-"), answer)
    finally:
        while spinner:
            spinner.pop().stop()
        if server is not None:
            server.close()
        sim.close()

class SimulatorProcess(common.PtyChild):
    """A simulator in a helper process on a pty's slave side; the loop here uses the master side."""

    def __init__(self, kind, cpu=None, web=False):
        super().__init__("--serve", kind, "-" if cpu is None else str(cpu), "web" if web else "-")
        self.kind, self.load = kind, "idle"
        word, _, url = self.first.partition(" ")
        if word != "ready":
            self.close()
            raise RuntimeError("%s simulator: did not start" % kind)
        self.url = None if url == "-" else url

    def answers(self, seconds):
        """Register reads one at a time for about `seconds`: (latencies, time taken)."""
        return common.time_each(common.exchange, (self.master_fd, COMMAND), RESPONSE, seconds)

class AnswerSide:
    def __init__(self, process, load):
        self.process, self.load, self.label = process, load, "%s %s" % (process.kind, load)

    def run(self, seconds):
        if self.process.load != self.load:
            self.process.ask(self.load)
            self.process.load = self.load
        return self.process.answers(seconds)

class LongReadSide:
    def __init__(self, label):
        self.label, self.relay, self.sim, self.master = label, common.Relay(), None, None
        try:
            if label == "library":
                from b4k_mew_tools import Simulator
                self.sim = Simulator(b4k_mew.MewSerial(port=self.relay.port_a, baudrate=BAUDRATE),
                                     frame_limit=FRAME_LIMIT, plc=True)
                self.sim.add_device(1).write_registers("DT", 0, EXPECTED)
                self.master = b4k_mew.MewMaster(b4k_mew.MewSerial(port=self.relay.port_b, baudrate=BAUDRATE),
                                                frame_limit=FRAME_LIMIT, query_timeout=2.0)
            else:
                self.sim = common.PlainSlave(1, self.relay.port_a, BAUDRATE, FRAME_LIMIT)
                self.sim.registers.update(enumerate(EXPECTED))
                self.master = common.PlainMaster(self.relay.port_b, BAUDRATE, 2.0)
            self.sim.start()
        except BaseException:
            self.close()
            raise

    def run(self, seconds):
        return common.time_each(self.master.get_multi_uint16, (1, "DT0", LONG_READ), EXPECTED, seconds)

    def close(self):
        for part in (self.master, self.sim):
            if part is not None:
                part.close()
        self.relay.close()

def long_read_frames():
    """Both simulators cut the same answer into the same frames: how many."""
    plain = common.PlainSlave(1, None, BAUDRATE, FRAME_LIMIT)
    plain.registers.update(enumerate(EXPECTED))
    device = b4k_mew._SimDevice(1)
    device.write_registers("DT", 0, EXPECTED)
    command = common.append_tail("%01#RDD00000" + "%05d" % (LONG_READ - 1))
    wanted = common.cut_frames(device._process_request(command), FRAME_LIMIT)
    got = [plain._process_request(command)]
    while got[-1].endswith("&" + common.TAIL):
        got.append(plain._process_request(common.continuation_request(got[-1])))
    assert got == wanted, "the plain simulator cuts its answer otherwise than the codec"
    return len(wanted)

def main(argv=None):
    bench = common.Bench("simulator", __doc__, (3, 0.4, 0.2), (5, 2.0, 0.5), argv=argv)
    rounds, seconds, warmup = bench.settings
    with common.opened(SimulatorProcess, [("library",), ("baseline",)]) as processes:
        sides = [AnswerSide(p, load) for load in ("idle", "busy") for p in processes]
        samples = common.measure_sides(sides, rounds, seconds, warmup)
    answers = [dict(simulator=side.process.kind, load=side.load, **common.rate_figures(samples[side.label],
                                                                                         "answers")) for side in sides]
    frames = long_read_frames()
    with common.opened(LongReadSide, [("library",), ("baseline",)]) as sides:
        samples = common.measure_sides(sides, rounds, seconds, warmup)
    long_reads = [dict(pair=side.label, **common.rate_figures(samples[side.label], "words", LONG_READ, "reads"))
                  for side in sides]
    for row in long_reads:
        row["median_ms"] = row["median_us"] / 1e3
    rate = {(r["simulator"], r["load"]): r["answers_per_s"] for r in answers}
    busy_over_idle = {kind: rate[kind, "busy"] / rate[kind, "idle"] for kind in ("library", "baseline")}
    over_baseline = {load: rate["library", load] / rate["baseline", load] for load in ("idle", "busy")}
    long_ratio = long_reads[0]["words_per_s"] / long_reads[1]["words_per_s"]
    bench.table(answers, "simulator", "load", "answers", "answers_per_s=answers/s", "median_us=median us",
                title="Answers to a register read, one at a time:", note="answers/s: best of %d rounds of %.1f s; "
                "busy: a plain-Python thread spins in the simulator's process" % (rounds, seconds))
    bench.say("library / baseline: idle %.2f, busy %.2f", over_baseline["idle"], over_baseline["busy"])
    bench.say("busy / idle: library %.2f, baseline %.3f", busy_over_idle["library"], busy_over_idle["baseline"])
    bench.table(long_reads, "pair", "reads", "words_per_s=words/s", "median_ms=median ms", title="A read of %d "
                "registers at frame limit %d (%d frames), master and simulator in one process:"
                % (LONG_READ, FRAME_LIMIT, frames))
    bench.say("library / baseline: %.2f", long_ratio)
    bench.target("busy_over_idle", "library busy / idle >= %.1f" % TARGET_BUSY_OVER_IDLE, busy_over_idle["library"],
                 TARGET_BUSY_OVER_IDLE)
    return bench.finish(rounds=rounds, seconds_per_round=seconds, command=COMMAND.decode(), answers=answers,
                        library_over_baseline=over_baseline, busy_over_idle=busy_over_idle,
                        long_read={"words": LONG_READ, "frame_limit": FRAME_LIMIT, "frames": frames,
                                   "pairs": long_reads, "library_over_baseline": long_ratio})

if __name__ == "__main__":
    common.run(main, serve=serve_child)
