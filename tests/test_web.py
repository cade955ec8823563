"""The live views: the simulator's page and the watch page in a real headless
browser, and the server's answers to what a page, or anything else, sends."""

import http.client
import json
import os
import shutil
import signal
import socket
import time
import types
import urllib.error
import urllib.request

import pytest

import b4k_mew
from b4k_mew_tools import Simulator
from b4k_mew_tools.web import WatchView
from conftest import WAIT
from test_cli import SCRIPT, run, running  # noqa: F401 (fixture)
from test_cli_tcp import assert_one_error_line

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import Select, WebDriverWait
except ImportError:
    webdriver = None

CHROMEDRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"
needs_browser = pytest.mark.skipif(webdriver is None or not os.path.exists(CHROMEDRIVER),
                                   reason="needs chromium, chromium-driver and python3-selenium")
# Where the tests' browser keeps its pictures of the pages: the README shows
# those in docs/ (MEW_SCREENSHOTS=docs).
SHOTS = os.environ.get("MEW_SCREENSHOTS")


@pytest.fixture(scope="module")
def browsers():
    """Opens headless browsers, closed at the end of the module."""
    opened = []

    def open_browser(url=None):
        options = webdriver.ChromeOptions()
        for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                         "--window-size=1300,1250"):
            options.add_argument(argument)
        # Not under the sanitizers' preloaded runtime the tests may run with.
        env = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
        browser = webdriver.Chrome(service=Service(CHROMEDRIVER, env=env), options=options)
        opened.append(browser)
        if url:
            browser.get(url)
        return browser

    yield open_browser
    for browser in opened:
        browser.quit()


def screenshot(browser, name, tmp_path):
    browser.save_screenshot(os.path.join(SHOTS or str(tmp_path), name))


def until(browser, condition, timeout=WAIT):
    return WebDriverWait(browser, timeout, poll_frequency=0.02).until(lambda _: condition())


def retype(field, text):
    """Types ``text`` over what a field holds, then Enter."""
    field.click()
    field.send_keys(Keys.CONTROL, "a")
    field.send_keys(Keys.BACKSPACE, text, Keys.ENTER)


def value_of(browser, element_id):
    return browser.find_element(By.ID, element_id).get_attribute("value")


@pytest.fixture
def rack():
    """Two stations on a simulator reached over TCP, its page, and a master."""
    sim = Simulator(None, plc=True)
    plc, io = sim.add_device(1), sim.add_device(2, kind="xy")
    plc.write_registers("DT", 3, [1234])
    plc.write_registers("LD", 1, [0xBEEF])
    io.set_inputs(0x00A5)
    tcp = sim.listen("127.0.0.1", 0)
    sim.start()
    web = sim.serve_web(port=0, registers=[("DT", 0, 16), ("LD", 0, 4)])
    master = b4k_mew.MewMaster("tcp://127.0.0.1:%d" % tcp.port, query_timeout=0.3)
    yield types.SimpleNamespace(sim=sim, plc=plc, io=io, web=web, master=master)
    master.close()
    web.close()
    sim.close()


def post(server, action, request, **headers):
    """(status, reply) of a change posted as a page posts it."""
    body = request if isinstance(request, bytes) else json.dumps(request).encode()
    headers = {"Content-Type": "application/json", **headers}
    try:
        with urllib.request.urlopen(urllib.request.Request(server.url + "api/" + action, body, headers),
                                    timeout=WAIT) as reply:
            return reply.status, json.load(reply)
    except urllib.error.HTTPError as error:
        return error.code, json.load(error)


# --- In the browser ----------------------------------------------------------------------------

@needs_browser
def test_the_simulator_page_shows_the_stations_and_drives_them(rack, browsers, tmp_path):
    page = browsers(rack.web.url)
    until(page, lambda: value_of(page, "reg-1-DT-3") == "1234")
    lamps = [page.find_element(By.ID, "lamp-2-X-%d" % bit).get_attribute("aria-pressed") for bit in range(8)]
    assert lamps == ["true", "false", "true", "false", "false", "true", "false", "true"]  # 0xA5
    formats = Select(page.find_element(By.ID, "format"))
    formats.select_by_value("hex")
    until(page, lambda: value_of(page, "reg-1-LD-1") == "0xBEEF")
    formats.select_by_value("uint16")

    # A master's write is on the page within a second (the best of three
    # tries, so that one stall of a busy machine is no failure).
    delays = []
    for value in (42, 43, 44):
        rack.master.set_uint16(1, "DT5", value)
        started = time.monotonic()
        until(page, lambda: value_of(page, "reg-1-DT-5") == str(value))
        delays.append(time.monotonic() - started)
    assert min(delays) < 1.0, delays

    # An input switched on the page is what the master reads.
    for state in (True, False):
        page.find_element(By.ID, "lamp-1-X-0").click()
        until(page, lambda: rack.master.get_coil(1, "X0000") == state)

    # A value the register cannot hold is refused on the page, and reaches no station.
    writes = rack.plc.writes
    cell = page.find_element(By.ID, "reg-1-DT-6")
    for bad, why in (("70000", "DT6: 70000 is out of range for uint16 (0 to 65535)"), ("1.5", "not a number")):
        retype(cell, bad)
        message = page.find_element(By.ID, "message")
        until(page, lambda: "refused" in message.get_attribute("class") and why in message.text)
        assert "refused" in cell.get_attribute("class")
    assert rack.master.get_uint16(1, "DT6") == 0 and rack.plc.writes == writes
    retype(cell, "0x10")
    until(page, lambda: rack.master.get_uint16(1, "DT6") == 16)

    # A station made silent, then answering with an error code, from the page.
    page.find_element(By.ID, "silent-1").click()
    until(page, lambda: rack.plc.silent)
    with pytest.raises(OSError, match="timeout"):
        rack.master.get_uint16(1, "DT0")
    page.find_element(By.ID, "silent-1").click()
    code = page.find_element(By.ID, "error-1")
    for typed, expected in (("100", "error code 100 is out of range"), ("61", "station 1 answers every command")):
        retype(code, typed)
        until(page, lambda: expected in page.find_element(By.ID, "message").text)
    with pytest.raises(b4k_mew.DeviceError) as raised:
        rack.master.get_uint16(1, "DT0")
    assert raised.value.code == "61"
    until(page, lambda: "answers error 61" in page.find_element(By.ID, "about-1").text)
    retype(code, "")
    until(page, lambda: rack.plc.error_code == 0 and not rack.plc.silent)

    # The log of frames lists what the master sent and what came back.
    rack.master.get_uint16(1, "DT3")
    until(page, lambda: "%01#RDD0000300003" in page.find_element(By.ID, "frames").text)
    assert "(no answer)" in page.find_element(By.ID, "frames").text  # from the silent station


@needs_browser
def test_the_page_goes_on_when_browsers_come_and_go(rack, browsers):
    pages = [browsers(rack.web.url) for _ in range(3)]
    for page in pages:
        until(page, lambda: value_of(page, "reg-1-DT-3") == "1234")
    # One leaves with its window, one stops reading its stream: neither
    # holds the others up.
    pages.pop().quit()
    stalled = socket.create_connection((rack.web.host, rack.web.port))
    stalled.sendall(b"GET /events HTTP/1.1\r\nHost: x\r\n\r\n")
    for value in range(1, 40):
        rack.master.set_uint16(1, "DT7", value)
    for page in pages:
        until(page, lambda: value_of(page, "reg-1-DT-7") == "39")
    stalled.close()
    pages[0].refresh()  # a page that comes back is served afresh
    until(pages[0], lambda: value_of(pages[0], "reg-1-DT-7") == "39")


@needs_browser
def test_the_watch_page_shows_changes_errors_and_trends(running, browsers, tmp_path):
    with Simulator(None) as sim:
        device = sim.add_device(1)
        device.write_registers("DT", 100, [7])
        tcp = sim.listen("127.0.0.1", 0)
        sim.start()
        watch = running([SCRIPT, "watch", "--port", "tcp://127.0.0.1:%d" % tcp.port, "--timeout", "0.2",
                         "DT100", "WX0", "X0003", "--interval", "0.1", "--web", "0", "--trend", "3"])
        url = watch.wait_for("web view on").split()[-1]
        page = browsers(url)
        until(page, lambda: page.find_element(By.ID, "value-0").text == "7")
        for value in (9, 12, 4):
            time.sleep(0.3)  # steps apart on the chart
            device.write_registers("DT", 100, [value])
        device.set_contact("X", 3, True)
        until(page, lambda: page.find_element(By.ID, "value-0").text == "4")
        until(page, lambda: page.find_element(By.ID, "value-2").text == "1")
        until(page, lambda: int(page.find_element(By.ID, "trend-0").get_attribute("data-samples")) >= 4)
        assert page.find_element(By.ID, "trend-2").get_attribute("aria-label") == "trend of X0003"  # a timeline
        assert page.find_element(By.ID, "changed-0").text
        device.silent = True
        until(page, lambda: page.find_element(By.ID, "error-0").text == "station 1: no answer within 0.2 s (time-out)")
        watch.proc.send_signal(signal.SIGTERM)
        status, out, err = watch.finish()
    assert status == 0
    changes = [line.split(" ", 1)[1] for line in out.splitlines()[1:]]
    assert changes[:3] == ["DT100 = 7", "WX0 = 0x0000", "X0003 = 0"]
    assert "DT100 12 -> 4" in changes and "X0003 0 -> 1" in changes
    assert err.count("DT100:") == 1 and "DT100: station 1: no answer within 0.2 s (time-out)" in err  # once


SIZES = [pytest.param((1400, 900), id="wide"), pytest.param((390, 844), id="phone")]

# Contrast of two CSS colours (rgb(...)), as WCAG counts it.
CONTRAST = """
const lum = (c) => { const [r, g, b] = c.match(/[0-9.]+/g).slice(0, 3).map((v) => { v /= 255;
  return v <= 0.03928 ? v / 12.92 : ((v + 0.055) / 1.055) ** 2.4; }); return 0.2126 * r + 0.7152 * g + 0.0722 * b; };
const ratio = (a, b) => { const [x, y] = [lum(a), lum(b)].sort((p, q) => q - p); return (x + 0.05) / (y + 0.05); };
"""


def focused_id(page):
    return page.switch_to.active_element.get_attribute("id")


@needs_browser
@pytest.mark.parametrize("size", SIZES)
def test_simulator_page_edits_keyboard_layout_and_staleness(rack, browsers, size, tmp_path):
    page = browsers()
    page.set_window_size(*size)
    page.get(rack.web.url)
    until(page, lambda: value_of(page, "reg-1-DT-3") == "1234")
    cell = page.find_element(By.ID, "reg-1-DT-5")

    # An edit sticks: read back and shown with no other traffic, after leaving the cell too.
    retype(cell, "4321")
    until(page, lambda: rack.plc.read_registers("DT", 5, 1) == [4321])
    page.find_element(By.ID, "reg-1-DT-6").click()
    time.sleep(0.5)  # several push intervals
    assert value_of(page, "reg-1-DT-5") == "4321"
    # Hex shown, hex typed: "ff" is 255.
    Select(page.find_element(By.ID, "format")).select_by_value("hex")
    retype(page.find_element(By.ID, "reg-1-DT-6"), "ff")
    until(page, lambda: rack.plc.read_registers("DT", 6, 1) == [255] and value_of(page, "reg-1-DT-6") == "0x00FF")
    Select(page.find_element(By.ID, "format")).select_by_value("uint16")
    # Esc takes an edit back; a refused cell clears once it shows the station's value.
    cell = page.find_element(By.ID, "reg-1-DT-7")
    cell.click()
    cell.send_keys(Keys.CONTROL, "a")
    cell.send_keys("999", Keys.ESCAPE, Keys.TAB)
    retype(cell, "70000")
    until(page, lambda: "refused" in cell.get_attribute("class"))
    cell.send_keys(Keys.ESCAPE)
    until(page, lambda: "refused" not in cell.get_attribute("class") and value_of(page, "reg-1-DT-7") == "0")
    assert rack.plc.read_registers("DT", 7, 1) == [0]

    # One Tab stop per grid, arrows move in it; lamps carry their bit and state.
    for grid in page.find_elements(By.CSS_SELECTOR, "[role=grid]"):
        assert len(grid.find_elements(By.CSS_SELECTOR, "[tabindex='0']")) == 1
    page.find_element(By.ID, "reg-1-DT-0").click()
    page.switch_to.active_element.send_keys(Keys.ARROW_RIGHT)
    page.switch_to.active_element.send_keys(Keys.ARROW_DOWN)
    columns = 4 if size[0] < 600 else 8
    assert focused_id(page) == "reg-1-DT-%d" % (1 + columns)
    lamp = page.find_element(By.ID, "lamp-1-Y-0")
    lamp.click()
    until(page, lambda: lamp.get_attribute("aria-pressed") == "true")
    page.switch_to.active_element.send_keys(Keys.ARROW_RIGHT)
    assert focused_id(page) == "lamp-1-Y-1"
    page.switch_to.active_element.send_keys(Keys.SPACE)
    until(page, lambda: rack.master.get_coil(1, "Y0001"))
    assert [lamp.text, lamp.get_attribute("aria-label")] == ["0", "Y0000"]
    assert page.find_element(By.ID, "lamp-1-Y-10").text == "A"
    # States stand apart by at least 3:1, from the card and from each other.
    on_fill, off_fill, off_ring, card = page.execute_script(CONTRAST + """
        const style = (id) => getComputedStyle(document.getElementById(id));
        return [style("lamp-1-Y-0").backgroundColor, style("lamp-1-Y-2").backgroundColor,
                style("lamp-1-Y-2").borderTopColor, style("station-1").backgroundColor];""")
    ratios = page.execute_script(
        CONTRAST + "return [ratio(arguments[0], arguments[1]), ratio(arguments[2], arguments[3])]",
        on_fill, off_fill, off_ring, card)
    assert min(ratios) >= 3, ratios

    # Any screen: no sideways scrolling, lamps to tap, a table as wide as its range.
    assert page.find_elements(By.CSS_SELECTOR, "meta[name=viewport]")
    assert page.execute_script("return document.documentElement.scrollWidth") <= size[0]
    assert lamp.size["width"] >= 24 and lamp.size["height"] >= 24
    ld_table = page.find_element(By.ID, "reg-1-LD-0").find_element(By.XPATH, "ancestor::table")
    assert len(ld_table.find_elements(By.CSS_SELECTOR, "thead th")) == 1 + 4
    if size[0] > 600:
        cards = [page.find_element(By.ID, "station-%d" % s).location for s in (1, 2)]
        assert cards[0]["y"] == cards[1]["y"]  # side by side
    page.execute_script("window.scrollTo(0, 0)")
    screenshot(page, "web-simulator-%d.png" % size[0], tmp_path)

    # The frame log: kept long, coloured faults, a station filter, a pause.
    rack.plc.silent = True
    with pytest.raises(OSError):
        rack.master.get_uint16(1, "DT0")
    rack.plc.silent = False
    rack.master.set_multi_uint16(1, "DT10", list(range(60)))  # a long frame
    rack.master.get_coil(2, "X0000")
    long_frame = "//tbody[@id='frames']//td[starts-with(text(), '%01#WDD00010')]/.."
    until(page, lambda: page.find_elements(By.CSS_SELECTOR, "#frames tr.silence") and
          page.find_elements(By.XPATH, long_frame))
    row = page.find_element(By.XPATH, long_frame)
    command, answer = row.find_elements(By.TAG_NAME, "td")[2:4]
    assert command.location["x"] + command.size["width"] <= answer.location["x"] + 1  # no overlap
    Select(page.find_element(By.ID, "frames-station")).select_by_value("2")
    until(page, lambda: {td.text for td in page.find_elements(By.CSS_SELECTOR, "#frames td:nth-child(2)")} == {"2"})
    Select(page.find_element(By.ID, "frames-station")).select_by_value("")
    page.find_element(By.ID, "frames-pause").click()
    shown = len(page.find_elements(By.CSS_SELECTOR, "#frames tr"))
    for _ in range(5):
        rack.master.get_uint16(1, "DT0")
    time.sleep(1.5)  # past the log's refresh
    assert len(page.find_elements(By.CSS_SELECTOR, "#frames tr")) == shown
    page.find_element(By.ID, "frames-pause").click()
    until(page, lambda: len(page.find_elements(By.CSS_SELECTOR, "#frames tr")) == shown + 5)

    # The server stops: a banner says so and the values grey; another run on
    # the same port: live again, its own frames only, no banner left.
    port = rack.web.port
    rack.web.close()
    banner = page.find_element(By.ID, "banner")
    until(page, lambda: banner.is_displayed() and "stopped answering" in banner.text)
    assert "stale" in page.find_element(By.TAG_NAME, "body").get_attribute("class")
    retype(page.find_element(By.ID, "reg-1-DT-9"), "5")
    until(page, lambda: "cannot be reached" in page.find_element(By.ID, "message").text)
    with Simulator(None) as again:  # a simulator started again: its frames count from 1
        again.add_device(1).write_registers("DT", 3, [77])
        again.serve_web(port=port)
        again.start()
        master = b4k_mew.MewMaster("tcp://127.0.0.1:%d" % again.listen("127.0.0.1", 0).port, query_timeout=0.3)
        until(page, lambda: page.find_element(By.ID, "link").text == "live", timeout=3 * WAIT)
        assert not banner.is_displayed() and page.find_element(By.ID, "message").text == ""
        until(page, lambda: value_of(page, "reg-1-DT-3") == "77")
        master.get_uint16(1, "DT3")
        until(page, lambda: "%01#RDD0000300003" in page.find_element(By.ID, "frames").text)
        assert "WDD00010" not in page.find_element(By.ID, "frames").text  # the last run's
        master.close()


@needs_browser
@pytest.mark.parametrize("size", SIZES)
def test_watch_page_of_several_stations_shows_staleness_and_outages(running, browsers, size, tmp_path):
    labels = tmp_path / "points.toml"
    labels.write_text('[[line]]\nname = "l"\n[[line.point]]\nstation = 1\naddress = "DT200"\n'
                      'name = "flow"\nunit = "l/min"\n')
    with Simulator(None, plc=True) as sim:
        one, two = sim.add_device(1), sim.add_device(2)
        one.write_registers("DT", 200, [70000 & 0xFFFF, 70000 >> 16])
        tcp = sim.listen("127.0.0.1", 0)
        sim.start()
        line = "tcp://127.0.0.1:%d" % tcp.port
        watch = running([SCRIPT, "watch", "--port", line, "--timeout", "0.2", "1:DT200:int32", "2:R0010", "2:DT5",
                         "--interval", "0.1", "--web", "0", "--trend", "30", "--labels", str(labels)])
        page = browsers()
        page.set_window_size(*size)
        page.get(watch.wait_for("web view on").split()[-1])
        text = lambda element_id: page.find_element(By.ID, element_id).text  # noqa: E731
        until(page, lambda: text("value-0") == "70000 l/min")
        assert text("title") == "b4k-mew watch %s, stations 1, 2" % line
        assert text("point-0").startswith("flow\n1:DT200 · int32")
        for state in (True, False, True):
            two.set_contact("R", 16, state)
            time.sleep(0.3)
        until(page, lambda: int(page.find_element(By.ID, "trend-1").get_attribute("data-samples")) >= 3)
        # Hover: the time under the pointer and the value then.
        chart = page.find_element(By.ID, "trend-0")
        ActionChains(page).move_to_element_with_offset(chart, chart.size["width"] // 2 - 8, 0).perform()
        until(page, lambda: text("hover-0").endswith(" 70000 l/min"))

        # A silent station: its values grey with their age, its trends break.
        two.silent = True
        until(page, lambda: text("error-1") == "station 2: no answer within 0.2 s (time-out)")
        assert "stale" in page.find_element(By.ID, "value-2").get_attribute("class")
        until(page, lambda: text("age-2").endswith(" s old"))
        assert "stale" not in page.find_element(By.ID, "value-0").get_attribute("class")
        two.silent = False
        gaps = page.find_element(By.ID, "trend-2")
        until(page, lambda: text("error-1") == "" and gaps.get_attribute("data-gaps") == "1")
        one.error_code = 61
        until(page, lambda: text("error-0") == "station 1: error response, code 61 (data error (area or range))")
        one.error_code = 0

        # Any screen; side by side where there is room.
        assert page.execute_script("return document.documentElement.scrollWidth") <= size[0]
        cards = [page.find_element(By.ID, "point-%d" % i).location["y"] for i in (0, 1)]
        assert (cards[0] == cards[1]) == (size[0] > 600)
        until(page, lambda: text("error-0") == "")
        screenshot(page, "web-watch-%d.png" % size[0], tmp_path)

        # The server stops: a banner, every value greyed.
        watch.proc.send_signal(signal.SIGTERM)
        assert watch.finish()[0] == 0
        until(page, lambda: "stopped answering" in text("banner"))
        assert "stale" in page.find_element(By.TAG_NAME, "body").get_attribute("class")


def test_the_watch_stream_sends_each_sample_once():
    readings = {}
    poller = types.SimpleNamespace(snapshot=lambda: dict(readings))
    view = WatchView(poller, window=60)
    view.record([("DT0", 1, 1000.0), ("DT0", 2, 1001.0)])
    from b4k_mew_tools.web import LiveServer
    with LiveServer(view, interval=0.05) as server:
        stream = http.client.HTTPConnection("127.0.0.1", server.port, timeout=WAIT)
        stream.request("GET", "/events")
        events = stream.getresponse()

        def next_log():
            while events.readline() != b"event: log\n":
                pass
            return json.loads(events.readline()[len(b"data: "):])

        assert next_log() == {"reset": True, "samples": [["DT0", 1000.0, 1.0], ["DT0", 1001.0, 2.0]]}
        view.record([("DT0", 3, 1002.0)])
        assert next_log() == {"samples": [["DT0", 1002.0, 3.0]]}
        # A failing point breaks its trend; read again, it joins.
        readings["DT0"] = types.SimpleNamespace(value=3, time=1003.0, changed=1002.0, error="OSError: x")
        assert next_log()["samples"][0][2] is None
        readings["DT0"] = types.SimpleNamespace(value=3, time=1004.0, changed=1002.0, error=None)
        assert next_log() == {"samples": [["DT0", 1004.0, 3.0]]}
        stream.close()


# --- The server, without a browser ----------------------------------------------------------------

def test_changes_that_cannot_be_made_are_refused_and_change_nothing(rack):
    refused = [
        ("contact", {"station": 9, "area": "X", "point": 0, "value": True}, "there is no station 9"),
        ("contact", {"station": True, "area": "X", "point": 0, "value": True}, "station must be a whole number"),
        ("contact", {"station": 1, "area": "DT", "point": 0, "value": True}, "contact area must be one of"),
        ("contact", {"station": 1, "area": "X", "point": 160000, "value": True}, "X10000"),
        ("contact", {"station": 1, "area": "X", "point": 1, "value": 1}, "on (true) or off (false)"),
        ("register", {"station": 1, "area": "DT", "index": 0, "text": "-1"}, "out of range for uint16"),
        ("register", {"station": 1, "area": "DT", "index": 0, "text": "-32769", "format": "int16"}, "int16"),
        ("register", {"station": 1, "area": "DT", "index": 100000, "text": "1"}, "DT100000"),
        ("register", {"station": 1, "area": "XX", "index": 0, "text": "1"}, "register area must be one of"),
        ("register", {"station": 1, "area": "DT", "index": 0, "text": 5}, "typed as text"),
        ("register", {"station": 1, "area": "DT", "index": 0, "text": "1", "format": "bcd"}, "format must be"),
        ("error_code", {"station": 1, "text": "x"}, "not a number: 'x'"),
        ("error_code", {"station": 1, "text": "-1"}, "out of range"),
        ("silent", {"station": 1, "value": "yes"}, "silent is true or false"),
        ("contact", b"{not json", "Expecting property name"),
        ("contact", b"[1, 2]", "a change is a JSON object"),
        # What `b4k-mew write` refuses, the page refuses in its words; nothing answers 500.
        ("contact", {"station": 1, "area": "Y", "point": 99999, "value": True}, "Y999F is the last contact"),
        ("register", {"station": 1, "area": "DT", "index": 10 ** 400, "text": "1"}, "address out of range"),
        ("register", {"station": 1, "area": "DT", "index": -1, "text": "1"}, "not an address"),
        ("register", b"[" * 2000 + b"]" * 2000, "nested"),
    ]
    before = rack.plc.read_registers("DT", 0, 16), rack.plc.read_words("X", 0, 2)
    for action, request, why in refused:
        status, reply = post(rack.web, action, request)
        assert status == 400 and why in reply["error"], (action, request, reply)
    assert (rack.plc.read_registers("DT", 0, 16), rack.plc.read_words("X", 0, 2)) == before
    assert not rack.plc.silent and rack.plc.error_code == 0
    assert post(rack.web, "register", b"x" * 5000)[0] == 413
    # What another site's page could make a browser send.
    change = {"station": 1, "area": "X", "point": 0, "value": True}
    assert post(rack.web, "contact", change, **{"Content-Type": "text/plain"})[0] == 415
    assert post(rack.web, "contact", change, Origin="http://evil.example") == \
        (403, {"error": "changes come from the view's own page only"})
    assert post(rack.web, "contact", change, Host="evil.example:%d" % rack.web.port)[0] == 403
    assert not rack.plc.get_contact("X", 0)
    assert post(rack.web, "register", {"station": 1, "area": "DT", "index": 0, "text": "-2", "format": "int16"}) \
        == (200, {"ok": True, "message": "station 1: DT0 = -2"})
    assert rack.master.get_uint16(1, "DT0") == 0xFFFE
    with pytest.raises(urllib.error.HTTPError, match="404"):
        urllib.request.urlopen(rack.web.url + "../setup.py", timeout=WAIT)


def request(server, method, path, body=None, port=None, **headers):
    """(status, headers, body) of any request, with any Host, over real HTTP."""
    connection = http.client.HTTPConnection("127.0.0.1", port or server.port, timeout=WAIT)
    try:
        connection.putrequest(method, path, skip_host="Host" in headers)
        for name, value in headers.items():
            connection.putheader(name.replace("_", "-"), value)
        if body is not None:
            connection.putheader("Content-Length", str(len(body)))
        connection.endheaders(body)
        reply = connection.getresponse()
        return reply.status, reply.headers, reply.read() if path != "/events" or reply.status != 200 else b""
    finally:
        connection.close()


def test_paths_and_methods_answer_404_and_405_and_no_page_is_framed(rack):
    watch = WatchView(types.SimpleNamespace(snapshot=dict))
    from b4k_mew_tools.web import LiveServer
    with LiveServer(watch) as watch_server:
        json_type = {"Content-Type": "application/json"}
        for server, method, path, status, allow in [
            (rack.web, "GET", "/", 200, None), (rack.web, "GET", "/state", 200, None),
            (rack.web, "GET", "/events", 200, None), (rack.web, "GET", "/nothing", 404, None),
            (rack.web, "POST", "/api/reboot", 404, None), (rack.web, "POST", "/nothing", 404, None),
            (rack.web, "POST", "/state", 405, "GET, HEAD"), (rack.web, "PUT", "/api/contact", 405, "POST"),
            (rack.web, "GET", "/api/contact", 405, "POST"), (rack.web, "DELETE", "/", 405, "GET, HEAD"),
            (rack.web, "POST", "/api/contact", 400, None),
            (watch_server, "POST", "/api/contact", 404, None), (watch_server, "POST", "/x", 404, None),
            (watch_server, "OPTIONS", "/state", 405, "GET, HEAD"), (watch_server, "GET", "/", 200, None),
        ]:
            got, headers, _ = request(server, method, path, b"{}" if method == "POST" else None,
                                      **(json_type if method == "POST" else {}))
            assert (got, headers["Allow"]) == (status, allow), (method, path, got)
            # Another site may frame none of them (a click in the frame would switch a contact).
            assert headers["X-Frame-Options"] == "DENY", (method, path)
            assert headers["Content-Security-Policy"] == "frame-ancestors 'none'", (method, path)


def test_a_network_bind_answers_to_its_own_names_and_with_the_token_only():
    with Simulator(None) as sim:
        device = sim.add_device(1)
        web = sim.serve_web("0.0.0.0", 0, names=["plant-pc"])
        token = web.url.split("?token=")[1]
        assert web.url == "http://0.0.0.0:%d/?token=%s" % (web.port, token) and len(token) >= 16
        port = web.port
        for host, path, cookie, status in [
            ("evil.example:%d" % port, "/state?token=" + token, "", 403),  # DNS rebinding
            ("127.0.0.1:%d" % port, "/state", "", 403),  # no token
            ("127.0.0.1:%d" % port, "/state?token=x" + token, "", 403),
            ("127.0.0.1:%d" % port, "/state?token=" + token, "", 200),
            ("plant-pc:%d" % port, "/state?token=" + token, "", 200),
            ("localhost:%d" % port, "/state?token=" + token, "", 200),
            ("[::1]:%d" % port, "/state?token=" + token, "", 200),
            ("10.1.2.3:%d" % port, "/state", "b4k_mew_token_%d=%s" % (port, token), 200),
            ("10.1.2.3:%d" % port, "/state", "b4k_mew_token_%d=%s" % (port, token[:-1]), 403),
        ]:
            got = request(web, "GET", path, Host=host, Cookie=cookie)[0]
            assert got == status, (host, path, cookie)
            for origin in ("http://" + host, "http://evil.example"):
                before = device.read_registers("DT", 0, 1)[0]
                change = json.dumps({"station": 1, "area": "DT", "index": 0, "text": str(before + 1)}).encode()
                got = request(web, "POST", path.replace("/state", "/api/register"), change, Host=host, Origin=origin,
                              Content_Type="application/json", Cookie=cookie)[0]
                allowed = status == 200 and "evil" not in origin
                assert (got, device.read_registers("DT", 0, 1)[0]) == \
                    ((200, before + 1) if allowed else (403, before)), (host, origin)
        # The page, opened with the token, keeps it for its own requests only.
        status, headers, _ = request(web, "GET", "/?token=" + token, Host="127.0.0.1:%d" % port)
        assert headers["Set-Cookie"] == "b4k_mew_token_%d=%s; Path=/; HttpOnly; SameSite=Strict" % (port, token)
        # Bound to one address, another name of it is refused.
        web = sim.serve_web("127.0.0.1", 0, token="")
        assert request(web, "GET", "/state", Host="127.0.0.2:%d" % web.port)[0] == 403


def test_the_state_follows_the_station_and_streams_end_on_close(rack, no_thread_left):
    rack.master.set_multi_uint16(1, "DT8", [5, 6])

    def state():
        return json.load(urllib.request.urlopen(rack.web.url + "state", timeout=WAIT))

    deadline = time.monotonic() + WAIT
    while state()["stations"][0]["writes"] != 1 and time.monotonic() < deadline:
        time.sleep(0.05)
    station = state()["stations"][0]
    assert station["registers"][0]["values"][8:10] == [5, 6] and station["writes"] == 1
    assert [block["area"] for block in station["contacts"]] == ["X", "Y", "R", "L"]
    stream = http.client.HTTPConnection(rack.web.host, rack.web.port, timeout=WAIT)
    stream.request("GET", "/events")
    events = stream.getresponse()
    assert events.getheader("Content-Type") == "text/event-stream"
    assert json.loads(events.readline()[len(b"data: "):])["stations"][0]["station"] == 1
    # The frames come as a log of their own, each once.
    while events.readline() != b"event: log\n":
        pass
    frames = json.loads(events.readline()[len(b"data: "):])
    assert frames[-1]["command"].startswith("%01#WDD00008") and len({f["seq"] for f in frames}) == len(frames)
    rack.web.close()  # ends the open stream, and every thread of the server
    assert events.read() == b"\n"
    stream.close()


def test_trends_keep_the_window_and_thin_out_close_samples():
    class FakePoller:
        def snapshot(self):
            return {}

    view = WatchView(FakePoller(), window=60)
    view.record([("DT0", 1, 1000.0), ("DT0", 3, 1001.0), ("DT0", 3, 1002.0),
                 ("DT0", 4, 1100.0), ("DT0", 5, 1170.0), ("DT0", 6, 1170.02), ("DT0", 7, 1170.04),
                 ("X1", True, 1000.0)])
    # One sample before the window; of a burst, the first and the last.
    assert list(view._trends["DT0"]) == [(1100.0, 4.0), (1170.0, 5.0), (1170.04, 7.0)]
    assert list(view._trends["X1"]) == [(1000.0, 1.0)]  # a contact's timeline


# --- The command line ----------------------------------------------------------------------------

def test_simulate_web_shows_the_ranges_asked_for(running):
    sim = running([SCRIPT, "simulate", "--listen", "0", "--device", "1:plc:SV2=5:WR3=1", "--web", ":0",
                   "--web-show", "LD10:4", "--web-show", "DT4:20"])
    url = sim.wait_for("web view on").split()[-1]
    assert url.startswith("http://127.0.0.1:")
    state = json.load(urllib.request.urlopen(url + "state", timeout=WAIT))
    station = state["stations"][0]
    assert [(b["area"], b["start"], len(b["values"])) for b in station["registers"]] == \
        [("DT", 0, 24), ("LD", 10, 4), ("SV", 2, 1)]
    assert station["registers"][2]["values"] == [5]
    assert [(b["area"], b["start"], len(b["words"])) for b in station["contacts"]] == \
        [("X", 0, 2), ("Y", 0, 2), ("R", 0, 2), ("R", 3, 1), ("L", 0, 2)]
    sim.proc.send_signal(signal.SIGTERM)
    assert sim.finish()[0] == 0


@pytest.mark.parametrize("args, expected", [
    (["simulate", "--listen", "0", "--device", "1:plc", "--web-show", "DT0"], "--web-show goes with --web"),
    (["simulate", "--listen", "0", "--device", "1:plc", "--web", "0", "--web-show", "R10"], "not a contact"),
    (["simulate", "--listen", "0", "--device", "1:plc", "--web", "0", "--web-show", "DT99999:2"], "goes past"),
    (["simulate", "--listen", "0", "--device", "1:plc", "--web", "ws://h:1"], "only http://"),
    (["simulate", "--listen", "0", "--device", "1:plc", "--web", "host:port"], "port is not a number"),
    (["watch", "--port", "tcp://127.0.0.1:1", "SV0", "--web", "0"], "--web watches registers DT, LD, FL"),
    (["watch", "--port", "tcp://127.0.0.1:1", "DT0", "DT0", "--web", "0"], "DT0 is given twice"),
    (["watch", "--port", "tcp://127.0.0.1:1", "DT0", "--trend", "5"], "--trend goes with --web"),
    (["watch", "--port", "tcp://127.0.0.1:1", "DT0", "--web-name", "pc"], "--web-name goes with --web"),
    (["simulate", "--listen", "0", "--device", "1:plc", "--web", "0", "--web-name", "a:b"], "a host name like"),
    (["watch", "--port", "tcp://127.0.0.1:1", "1:DT0:int33"], "not a point to watch: '1:DT0:int33'"),
    (["watch", "--port", "tcp://127.0.0.1:1", "1:X0:int32"], "--type int32 does not fit X0"),
    (["watch", "--port", "tcp://127.0.0.1:1", "DT0", "1:DT0", "--web", "0"], "1:DT0 is given twice"),
    (["watch", "--port", "tcp://127.0.0.1:1", "DT0", "--labels", "x.toml"], "--labels goes with --web"),
    (["watch", "--port", "tcp://127.0.0.1:1", "DT0", "--web", "0", "--labels", "/no/such.toml"],
     "cannot read --labels"),
])
def test_bad_web_options_are_one_line_and_status_2(args, expected):
    status, out, err = run(*args)
    assert status == 2 and out == "" and expected in err and err.count("\n") == 1, err


def test_watch_takes_a_station_and_a_type_per_address():
    with Simulator(None) as sim:
        sim.add_device(1).write_registers("DT", 0, [7, 1])
        sim.add_device(2).write_registers("DT", 0, [0xFFFF])
        tcp = sim.listen("127.0.0.1", 0)
        sim.start()
        status, out, err = run("watch", "--port", "tcp://127.0.0.1:%d" % tcp.port, "1:DT0:int32", "2:DT0:int16",
                               "DT1", "--count", "1")
    assert status == 0, err
    assert [line.split(" ", 1)[1] for line in out.splitlines()] == ["1:DT0 = 65543", "2:DT0 = -1", "DT1 = 1"]


def test_a_web_address_in_use_is_one_line_and_status_2():
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        status, out, err = run("simulate", "--listen", "0", "--device", "1:plc", "--web", port)
    assert status == 2
    assert_one_error_line(err, "cannot serve the web view on 127.0.0.1:%d: Address already in use" % port)
