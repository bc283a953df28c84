#!/usr/bin/python3
"""The station's web page in a real browser (headless Chromium through
Selenium): the simulated station, the controller against it, and the page
opened with the token in its address. The page shows the station's
frequency and meters that follow the amplifier, a click on TUNE starts a
run on the amplifier's wire, and the page tells when the controller is
gone.

    web_browser_test.py BUILD_DIR
"""
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build-test")
# Generous: a loaded machine or a sanitizer build is slow; a healthy run
# returns as soon as the condition holds.
DEADLINE = 120.0


def wait_for(cond, what, timeout=DEADLINE, step=0.1):
    end = time.monotonic() + timeout
    last = None
    while time.monotonic() < end:
        try:
            last = cond()
            if last:
                return last
        except Exception as e:  # the page may be between two renders
            last = e
        time.sleep(step)
    raise AssertionError("timed out waiting for %s (last: %r)" % (what, last))


class Station:
    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="zelweb.")
        self.sim = subprocess.Popen([os.path.join(BUILD, "zelsim"), "--root", self.root],
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL, cwd=BUILD)
        wait_for(lambda: os.path.exists(os.path.join(self.root, "sim.ready")), "the simulated station")
        setup = os.path.join(self.root, "opt/set/setup.txt")
        with open(setup) as f:
            text = f.read()
        text = re.sub(r"AutoTuneMode: \d", "AutoTuneMode: 1", text)
        if "AutoTuneMode:" not in text:
            text += "AutoTuneMode: 1\n"
        with open(setup, "w") as f:
            f.write(text)
        with open(os.path.join(self.root, "opt/set/web.txt"), "w") as f:
            f.write("listen 127.0.0.1\nport 0\n")
        env = dict(os.environ, ZELPYX_ROOT=self.root, ZELPYX_LOG_STDERR="1")
        self.log_path = os.path.join(self.root, "zelpyx.log")
        self.log_file = open(self.log_path, "w")
        self.unit = subprocess.Popen([os.path.join(BUILD, "zelpyx")], stdin=subprocess.DEVNULL,
                                     stdout=self.log_file, stderr=subprocess.STDOUT,
                                     cwd=os.path.join(BUILD, "screens"), env=env)
        m = wait_for(lambda: re.search(r"web: http://127\.0\.0\.1:(\d+)/", self.log()), "the web server")
        self.port = int(m.group(1))
        with open(os.path.join(self.root, "opt/set/web.txt")) as f:
            self.token = re.search(r"^token ([0-9a-f]{32})$", f.read(), re.M).group(1)
        wait_for(lambda: "panel: page main" in self.log(), "the panel's main page")

    def log(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def control(self, line):
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.connect(os.path.join(self.root, "sim.sock"))
        s.sendall((line + "\n").encode())
        reply = b""
        while not reply.endswith(b"\n"):
            b = s.recv(65536)
            if not b:
                break
            reply += b
        s.close()
        return reply.decode(errors="replace").strip()

    def amp_commands(self):
        r = self.control("amp log")
        return [p for p in r[3:].split("|") if p] if r.startswith("OK") else []

    def stop_unit(self):
        if self.unit.poll() is None:
            self.unit.send_signal(signal.SIGTERM)
            try:
                self.unit.wait(90)
            except subprocess.TimeoutExpired:
                self.unit.kill()
                self.unit.wait()

    def close(self):
        self.stop_unit()
        self.log_file.close()
        self.sim.send_signal(signal.SIGTERM)
        try:
            self.sim.wait(30)
        except subprocess.TimeoutExpired:
            self.sim.kill()
            self.sim.wait()
        shutil.rmtree(self.root, ignore_errors=True)


class WebPage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.st = Station()
        opts = Options()
        for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                  "--window-size=1000,1000"):
            opts.add_argument(a)
        opts.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
        cls.drv = webdriver.Chrome(service=Service(shutil.which("chromedriver") or "/usr/bin/chromedriver"),
                                   options=opts)

    @classmethod
    def tearDownClass(cls):
        cls.drv.quit()
        cls.st.close()

    def text(self, el_id):
        return self.drv.find_element(By.ID, el_id).text

    def test_page_shows_the_station_live_and_tune_reaches_the_wire(self):
        st, d = self.st, self.drv
        st.control("amp freq 14074000")
        d.get("http://127.0.0.1:%d/#token=%s" % (st.port, st.token))
        # The token is taken from the address once and removed from it.
        wait_for(lambda: "token" not in d.current_url, "the token out of the address")
        wait_for(lambda: self.text("link") == "live", "the events socket")
        wait_for(lambda: "14.074" in self.text("freq"), "the frequency")

        # The meters follow the amplifier's forward power, and the peak is held.
        def watts():
            return float(self.text("fwd-val").split()[0])
        st.control("amp drive 30")
        wait_for(lambda: watts() > 5, "forward power on the meter")
        bar = d.find_element(By.CSS_SELECTOR, "#fwd-bar .fill")
        wait_for(lambda: float(bar.value_of_css_property("width").rstrip("px")) > 10, "the bar")
        st.control("amp drive 0")
        wait_for(lambda: watts() < 0.5, "the meter back at rest")
        self.assertGreater(float(self.text("fwd-val").split("peak ")[1].split()[0]), 5)

        # The bank keeps the tuner bypassed: ATU bypass puts it in line,
        # then TUNE starts a run on the amplifier's wire.
        if "bypass" in self.text("tuner"):
            d.find_element(By.ID, "bypass").click()
            wait_for(lambda: self.text("tuner") == "tuner tuned", "the tuner in line")
        mark = len(st.amp_commands())
        d.find_element(By.ID, "tune").click()
        wait_for(lambda: any(c.endswith("MP1;") for c in st.amp_commands()[mark:]), "the tune's first command")
        wait_for(lambda: self.text("tuner") == "tuner tuning", "the tuning chip")
        d.find_element(By.ID, "tune-stop").click()
        wait_for(lambda: self.text("tuner") != "tuner tuning", "the run ended")

        # The live panel picture arrived.
        wait_for(lambda: d.execute_script("return document.getElementById('panel').naturalWidth") == 800,
                 "the panel picture")

        # A phone: one column.
        d.set_window_size(400, 900)
        cols = wait_for(lambda: d.execute_script(
            "return getComputedStyle(document.getElementById('ui')).gridTemplateColumns").split(),
            "the layout")
        self.assertEqual(len(cols), 1, cols)
        d.set_window_size(1000, 1000)

        # The controller goes away: the page says so.
        st.stop_unit()
        wait_for(lambda: self.text("link") == "link lost", "link lost", timeout=60)
        self.assertNotIn(st.token, st.log())
        # A clean stop (a sanitizer's report would show in the status).
        self.assertEqual(st.unit.returncode, 0, st.log()[-4000:])
        self.assertNotIn("ThreadSanitizer", st.log())


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
