"""Every Python block of the README, run as it stands in an interpreter of
its own, against a simulated rack: MEW_PORT is one end of a virtual serial
line and MEW_TCP the same simulator over TCP."""

import os
import re
import subprocess
import sys

import pytest

import b4k_mew
from b4k_mew_tools import Simulator, VirtualLine
from conftest import ROOT, child_env

BLOCKS = re.findall(r"^```python\n(.*?)^```", open(os.path.join(ROOT, "README.md")).read(), re.S | re.M)


@pytest.fixture(scope="module")
def rack():
    """Three remote I/O modules (stations 1 to 3) and a controller (23), as
    the README's blocks expect them."""
    with VirtualLine() as line:
        sim = Simulator(b4k_mew.MewSerial(port=line.port_a), plc=True, frame_limit=118, decimal_stations=True)
        for station in (1, 2, 3):
            sim.add_device(station, kind="xy")
        sim.add_device(23, kind="plc").write_registers("D", 100, [0, 0x3FC0])  # DT100 holds 1.5
        sim.start()
        server = sim.listen("127.0.0.1", 0)
        yield {"MEW_PORT": line.port_b, "MEW_TCP": "tcp://127.0.0.1:%d" % server.port}
        sim.close()


def test_the_readme_has_its_blocks():
    assert len(BLOCKS) >= 13


@pytest.mark.parametrize("index", range(len(BLOCKS)))
def test_readme_block_runs(rack, index):
    done = subprocess.run([sys.executable, "-c", BLOCKS[index]], capture_output=True, text=True, timeout=60,
                          env=child_env(**rack), cwd=os.path.dirname(ROOT))
    assert done.returncode == 0, "block %d:\n%s\n%s" % (index, BLOCKS[index], done.stderr)
    assert "Traceback" not in done.stdout + done.stderr, done.stdout + done.stderr
