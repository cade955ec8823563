"""The package as installed: one version everywhere, stubs that type
checkers find, and the port names a station opens."""

import os
import re
import subprocess
import sys

import pytest
import serial

import b4k_mew
import b4k_mew_tools
from b4k_mew_tools import Simulator, VirtualLine
from conftest import B4K_MEW, INSTALLED, ROOT, child_env


def test_one_version_everywhere():
    pyproject = open(os.path.join(ROOT, "pyproject.toml")).read()
    version = re.search(r'^version = "([^"]+)"$', pyproject, re.M).group(1)
    done = subprocess.run([B4K_MEW, "--version"], capture_output=True, text=True, timeout=60, env=child_env())
    assert (done.returncode, done.stdout) == (0, "b4k-mew %s\n" % version)
    assert b4k_mew.__version__ == b4k_mew_tools.__version__ == version
    assert re.search(r"^## %s " % re.escape(version), open(os.path.join(ROOT, "CHANGELOG.md")).read(), re.M)
    assert open(os.path.join(ROOT, "LICENSE")).readline().strip() == "MIT License"
    assert 'license = { text = "MIT" }' in pyproject


@pytest.mark.skipif(not INSTALLED, reason="checks the installed package's stubs")
def test_type_checkers_find_the_installed_stubs(tmp_path):
    pytest.importorskip("mypy")
    (tmp_path / "use.py").write_text(
        "import b4k_mew\nfrom b4k_mew_tools import VirtualLine\n"
        "reveal_type(b4k_mew.MewMaster('x').get_uint16(1, 'DT0'))\nreveal_type(VirtualLine().port_a)\n")
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "use.py"],
                          capture_output=True, text=True, timeout=300, cwd=tmp_path)
    assert done.returncode == 0, done.stdout
    revealed = re.findall(r'Revealed type is "(?:builtins\.)?([^"]+)"', done.stdout)
    assert revealed == ["int", "str"], done.stdout


@pytest.fixture
def line():
    """A simulated controller on one end of a virtual line; the other end's
    name, and a link to it as udev would make one."""
    with VirtualLine() as line:
        sim = Simulator(b4k_mew.MewSerial(port=line.port_a))
        sim.add_device(1, kind="plc").write_registers("D", 100, [4660])
        sim.start()
        link = os.path.join(os.path.dirname(os.path.abspath(__file__)), ".mew-port-link-%d" % os.getpid())
        os.symlink(line.port_b, link)
        try:
            yield line.port_b, link
        finally:
            os.unlink(link)
            sim.close()


@pytest.mark.parametrize("form, native", [
    ("{pts}", True),                     # a pseudo-terminal, not /dev/tty*
    ("{link}", True),                    # a link to the device
    ("spy://{pts}?file=/dev/null", False),  # the serial library's URL, its own Python object
])
def test_a_station_opens_device_paths_and_port_urls(line, form, native):
    pts, link = line
    master = b4k_mew.MewMaster(form.format(pts=pts, link=link), query_timeout=2.0)
    try:
        assert master.get_uint16(1, "DT100") == 4660
        assert (type(master._channel._serial) is serial.Serial) == native
    finally:
        master.close()


def test_a_full_duplex_station_on_a_loop_url_answers_itself():
    # loop:// has no descriptor: every byte goes through the Python object.
    class Answering(b4k_mew.MewFullDuplex):
        def on_get_multi_uint16(self, name, count):
            return [int(name[1:])] * count

    station = Answering("loop://", query_timeout=2.0, slave_station=1)
    try:
        assert station.get_multi_uint16(1, "DT42", 2) == [42, 42]
    finally:
        station.close()


@pytest.mark.parametrize("name", ["/etc/hostname", "nowhere", "foo://bar", "/dev/serial/by-id/none-such"])
def test_other_names_stay_unknown(name):
    with pytest.raises(ValueError, match="^Unknown device name: %s$" % re.escape(name)):
        b4k_mew.MewMaster(name)
