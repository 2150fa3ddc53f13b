#!/usr/bin/python3
"""The station's page in a real browser (Debian's chromium, headless, through chromedriver).

    screen_in_browser.py FEED [--screenshot PNG]
    screen_in_browser.py --station IAPFLASH UPDATE_FILE [--screenshot PNG]

FEED is the screen_feed program: it serves the page and publishes the event and record lines
this script writes to it, as a station does. The page must show the slots, follow the runs as
they go, show every text a device or a file brought as text (a failure line holding an <img
onerror> runs nothing), and connect again by itself when the station restarts. With
--station, the real `iapflash station --http` over the simulated bus serves the page (and the
screenshot is of it, once a board has passed and one has failed).
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from page_wait import free_port, wait_until_listening  # noqa: E402

WAIT_S = 15  # a bound for a page that fails the test, not a pace

HOSTILE = '<img src=x onerror="window.hostileRan=1;document.title=\'ran\'">'


class Feed:
    """A screen_feed process: the page's server, fed a line at a time."""

    def __init__(self, program, address="0"):
        self.process = subprocess.Popen([program, address], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True, encoding="utf-8")
        self.url = self.process.stdout.readline().strip()
        if not self.url.startswith("http://127.0.0.1:"):
            raise SystemExit("screen_feed printed no URL: %r" % self.url)
        self.port = int(self.url.rstrip("/").rsplit(":", 1)[1])
        self.elapsed = 0.0

    def send(self, kind, obj):
        self.process.stdin.write(kind + " " + json.dumps(obj, ensure_ascii=False) + "\n")

    def event(self, event, **fields):
        self.elapsed += 0.1
        obj = {"event": event, "elapsed": round(self.elapsed, 3)}
        obj.update(fields)
        self.send("event", obj)

    def sync(self):
        """Returns once every line so far has been published."""
        self.process.stdin.write("sync\n")
        self.process.stdin.flush()
        if self.process.stdout.readline().strip() != "synced":
            raise SystemExit("screen_feed did not answer")
        return time.monotonic()

    def stop(self):
        self.process.stdin.close()
        self.process.wait(timeout=WAIT_S)


def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    profile = tempfile.mkdtemp(prefix="screen-browser-")
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update",
                 "--disable-sync", "--disable-dev-shm-usage", "--window-size=1600,1200",
                 "--user-data-dir=" + profile):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(shutil.which("chromedriver") or
                                              "/usr/bin/chromedriver"), options=options)
    return driver, profile


def wait_for(driver, what, check):
    """Waits until check() is true; returns the seconds it took."""
    started = time.monotonic()
    try:
        WebDriverWait(driver, WAIT_S, poll_frequency=0.02).until(lambda d: check())
    except Exception:
        raise AssertionError("the page never showed " + what + "; it shows:\n" +
                             driver.find_element(By.TAG_NAME, "body").text)
    return time.monotonic() - started


def card(driver, position):
    cards = driver.find_elements(By.CSS_SELECTOR, '.slot[data-position="%d"]' % position)
    return cards[0] if cards else None


def card_text(driver, position, part):
    c = card(driver, position)
    return c.find_element(By.CLASS_NAME, part).text if c else None


def card_has(driver, position, cls):
    c = card(driver, position)
    return c is not None and cls in c.get_attribute("class").split()


def station(feed, ports, image="samples/demo_app.bin"):
    feed.event("station_started", watch="ports", image={"path": image, "length": 2048,
                                                        "checksum": 291667}, count=None)
    for position, port in enumerate(ports):
        feed.event("slot", position=position, port=port, location=port)


def run(feed, position, port, board, serial, success=True, message=None, step=None):
    feed.event("board_arrived", position=position, port=port, board=board, serial=serial,
               iap=False)
    feed.event("step_started", position=position, port=port, step=4, name="program")
    for done in (0, 1024, 2048):
        feed.event("progress", position=position, port=port, **{"pass": "program"}, done=done,
                   total=2048)
    feed.event("result", position=position, port=port, success=success,
               failed_step=5 if step else None, failed_step_name=step,
               layer="device" if step else None, message=message, seconds=1.4)


def main():
    program = sys.argv[1]
    screenshot = sys.argv[sys.argv.index("--screenshot") + 1] if "--screenshot" in sys.argv else None
    feed = Feed(program)
    driver, profile = browser()
    latencies = []
    try:
        ports = ["/dev/ttyACM0", "/dev/ttyACM1", "rfc2217://bench-7:4001", HOSTILE]
        station(feed, ports)
        feed.sync()
        driver.get(feed.url)
        wait_for(driver, "four slots", lambda: all(card(driver, p) for p in range(4)))
        assert card_text(driver, 0, "state") == "EMPTY", card_text(driver, 0, "state")
        assert driver.find_element(By.ID, "connection").text == "LIVE"

        # A board arrives and is flashed: the page follows each step as it is published.
        feed.event("board_arrived", position=0, port=ports[0], board=1, serial="SN-0001", iap=False)
        sent = feed.sync()
        wait_for(driver, "BOARD IN", lambda: card_text(driver, 0, "state") == "BOARD IN")
        latencies.append(time.monotonic() - sent)
        feed.event("step_started", position=0, port=ports[0], step=4, name="program")
        feed.event("progress", position=0, port=ports[0], **{"pass": "program"}, done=1024, total=2048)
        sent = feed.sync()
        wait_for(driver, "FLASHING at 50 %", lambda: card_has(driver, 0, "flashing") and
                 "50 %" in card_text(driver, 0, "step"))
        latencies.append(time.monotonic() - sent)
        assert card_text(driver, 0, "state") == "FLASHING"
        assert "SN-0001" in card_text(driver, 0, "serial")
        width = driver.execute_script(
            "return document.querySelector('.slot[data-position=\"0\"] .fill').style.width")
        assert width == "25%", width  # half of the program pass: a quarter of the bar
        feed.event("result", position=0, port=ports[0], success=True, failed_step=None,
                   failed_step_name=None, layer=None, message=None, seconds=1.2)
        feed.event("tallies", passed=1, failed=0, interrupted=0, in_progress=0, boards_per_hour=120)
        feed.send("record", {"time": "2026-12-10T18:00:00Z", "slot": 0, "port": ports[0],
                             "serial": "SN-0001", "result": "success", "seconds": 1.2})
        sent = feed.sync()
        wait_for(driver, "PASSED and the tallies", lambda: card_has(driver, 0, "passed") and
                 driver.find_element(By.ID, "passed").text == "1")
        latencies.append(time.monotonic() - sent)
        assert driver.find_element(By.ID, "boards_per_hour").text == "120"
        wait_for(driver, "the record", lambda: "SN-0001" in driver.find_element(By.ID, "records").text)
        assert "PASSED" in driver.find_element(By.ID, "records").text

        # A device whose texts hold markup: shown as the characters they are, run never.
        run(feed, 3, HOSTILE, board=2, serial=HOSTILE, success=False,
            message="[0x0400]" + HOSTILE, step="verify")
        feed.send("record", {"slot": 3, "port": HOSTILE, "serial": HOSTILE, "result": "failure",
                             "message": HOSTILE})
        feed.sync()
        wait_for(driver, "FAILED with the failure line", lambda: card_has(driver, 3, "failed"))
        assert card_text(driver, 3, "name") == HOSTILE, card_text(driver, 3, "name")
        assert HOSTILE in card_text(driver, 3, "failure"), card_text(driver, 3, "failure")
        assert HOSTILE in card_text(driver, 3, "serial")
        wait_for(driver, "the hostile record", lambda: HOSTILE in
                 driver.find_element(By.ID, "records").text)
        assert driver.find_elements(By.TAG_NAME, "img") == [], "markup became an element"
        assert driver.execute_script("return window.hostileRan") is None, "the page ran a device's text"
        assert driver.title != "ran"

        # A board pulled: the slot is empty again, its last result stays.
        feed.event("board_left", position=0, port=ports[0], board=1, during_run=False)
        feed.sync()
        wait_for(driver, "EMPTY after the board left", lambda: card_text(driver, 0, "state") == "EMPTY")
        assert "PASSED" in card_text(driver, 0, "last")

        # The station restarts on the same port: the page connects again by itself and draws
        # the new station from nothing.
        port = feed.port
        feed.stop()
        wait_for(driver, "the lost connection", lambda: driver.find_element(By.ID, "connection").text != "LIVE")
        feed = Feed(program, "127.0.0.1:%d" % port)
        station(feed, ["COM7", "COM8"], image="C:\\fw\\second.bin")
        feed.sync()
        wait_for(driver, "the restarted station", lambda: "second.bin" in
                 driver.find_element(By.ID, "image").text and card(driver, 3) is None and
                 driver.find_element(By.ID, "connection").text == "LIVE")
        assert card_text(driver, 0, "name") == "COM7"
        assert driver.find_element(By.ID, "records").text == ""

        if screenshot:
            demo(feed)
            feed.sync()
            wait_for(driver, "the demo station", lambda: card(driver, 7) is not None and
                     card_has(driver, 7, "empty"))
            time.sleep(0.5)  # let the last frame paint before the picture
            driver.save_screenshot(screenshot)
        print("page updated %.3f s, %.3f s, %.3f s after the events were published" %
              tuple(latencies))
        print("1 passed, 0 failed")
    finally:
        driver.quit()
        shutil.rmtree(profile, ignore_errors=True)
        if feed.process.poll() is None:
            feed.stop()


def demo(feed):
    """Eight slots of a busy station, for the README's picture."""
    ports = ["/dev/ttyACM%d" % i for i in range(8)]
    station(feed, ports, image="firmware/pump-controller-2.4.1.bin")
    for i in range(8):
        feed.event("slot", position=i, port=ports[i], location="1-1.%d:1.0" % (i + 1))
    n = 0
    for i in (0, 1, 2, 3):
        n += 1
        run(feed, i, ports[i], n, "PC24%05d" % (1200 + n))
    n += 1
    run(feed, 4, ports[4], n, "PC24%05d" % (1200 + n), success=False,
        message="[0x0C00]检验(0x0A).", step="verify")
    for i in (0, 1):
        feed.event("board_left", position=i, port=ports[i], board=i + 1, during_run=False)
        n += 1
        feed.event("board_arrived", position=i, port=ports[i], board=n, serial="PC24%05d" % (1200 + n), iap=False)
        feed.event("step_started", position=i, port=ports[i], step=4 + i, name=["program", "verify"][i])
        feed.event("progress", position=i, port=ports[i], **{"pass": ["program", "verify"][i]},
                   done=[1536, 512][i], total=2048)
    n += 1
    feed.event("board_arrived", position=5, port=ports[5], board=n, serial=None, iap=True)
    feed.event("step_started", position=5, port=ports[5], step=2, name="open_link")
    feed.event("tallies", passed=4, failed=1, interrupted=0, in_progress=3, boards_per_hour=212)
    for k, (slot, result) in enumerate([(0, "passed"), (1, "passed"), (2, "passed"), (3, "passed"),
                                        (4, "failed")]):
        feed.send("record", {"time": "2026-12-10T18:%02d:%02dZ" % (10 + k, 7 * k), "slot": slot,
                             "port": ports[slot], "serial": "PC24%05d" % (1201 + k),
                             "result": "success" if result == "passed" else "failure",
                             "failed_step_name": "verify" if result == "failed" else None,
                             "message": "[0x0C00]检验(0x0A)." if result == "failed" else None,
                             "seconds": 1.4})


def station_main(iapflash, sample, screenshot):
    """The real station over the simulated bus, its page watched as boards are flashed."""
    port = free_port()
    station = subprocess.Popen([iapflash, "station", sample, "--simulate=station", "--http",
                                str(port)], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    driver, profile = browser()
    try:
        url = "http://127.0.0.1:%d/" % port
        wait_until_listening(port, station, WAIT_S)
        driver.get(url)
        wait_for(driver, "a slot", lambda: card(driver, 0) is not None)
        wait_for(driver, "a board flashed", lambda: int(driver.find_element(By.ID, "passed").text) > 0)
        wait_for(driver, "a board failed", lambda: int(driver.find_element(By.ID, "failed").text) > 0)
        wait_for(driver, "the records", lambda: "PASSED" in driver.find_element(By.ID, "records").text)
        states = {c.find_element(By.CLASS_NAME, "state").text
                  for c in driver.find_elements(By.CLASS_NAME, "slot")}
        assert states <= {"EMPTY", "BOARD IN", "FLASHING", "PASSED", "FAILED", "INTERRUPTED"}, states
        assert driver.find_element(By.ID, "connection").text == "LIVE"
        if screenshot:
            driver.set_window_size(1600, 1000)
            driver.save_screenshot(screenshot)
    finally:
        driver.quit()
        shutil.rmtree(profile, ignore_errors=True)
        station.terminate()
        station.wait(timeout=WAIT_S)
    # Ended by SIGTERM as a station is, with nothing on stderr but that (a sanitizer's report).
    said = station.stderr.read().decode("utf-8", "replace")
    assert station.returncode == 143, (station.returncode, said)
    assert said == "iapflash: the station was interrupted by SIGTERM\n", said
    print("1 passed, 0 failed")


if __name__ == "__main__":
    if sys.argv[1] == "--station":
        station_main(sys.argv[2], sys.argv[3], sys.argv[sys.argv.index("--screenshot") + 1]
                     if "--screenshot" in sys.argv else None)
    else:
        main()
