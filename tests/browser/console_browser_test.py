#!/usr/bin/python3
"""The operator console in headless Chromium, run by ctest (label browser).

    console_browser_test.py --server RECOVERY_SERVER --host SERVICE_HOST --work DIR --shots DIR

One real server and one agent (the test host) serve every step, in order:
the pages refuse a caller without a session, a POST without the CSRF token
is refused, the operator logs in and sees the machine come online without
a reload, browses a folder, images a 32 MiB file (the bar reaches 100 %,
the SHA-256 is the source's, the image downloads whole and by Range),
scans a FAT32 card made by mkfs.vfat and mcopy holding JPEGs and an MP4
made by ffmpeg (the gallery shows the pictures, and the clip's thumbnail
once the agent rendered it), reads one machine's and every machine's events,
looks at the pages in a phone-sized window, and sees the machine go
offline when the agent stops, pushed, as it came online. A failing step saves a
screenshot and the page's source under --shots.
"""

import argparse
import hashlib
import http.client
import json
import os
import re
import signal
import ssl
import subprocess
import sys
import time
import traceback

from selenium import webdriver
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

MIB = 1048576
PAGES = ["/console/", "/console/machine?id=x", "/console/jobs?id=x", "/console/gallery?scan=1", "/console/events?id=x",
         "/", "/console/static/console.js", "/console/api/session", "/console/api/machines/stream",
         "/console/api/events", "/console/api/scans/1/videos"]


class Failed(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failed(what)


def read(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return ""


def wait_for(what, probe, timeout=30):
    deadline = time.monotonic() + timeout
    while True:
        try:
            value = probe()
        except StaleElementReferenceException:
            value = None  # the page replaced what the probe was reading: not there yet
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failed(f"timed out after {timeout} s waiting for {what}")
        time.sleep(0.1)


class Run:
    def __init__(self, args):
        self.args = args
        self.work = os.path.abspath(args.work)
        self.srv = os.path.join(self.work, "server")
        self.agent_data = os.path.join(self.work, "agent")
        self.files = os.path.join(self.work, "files")
        os.makedirs(self.files)
        self.server = self.agent = self.browser = None
        self.port = self.machine = ""

    # ---- server, agent, browser ----

    def server_ok(self, *args, stdin=""):
        p = subprocess.run([self.args.server, *args, "--data", self.srv], input=stdin, capture_output=True, text=True,
                           timeout=60)
        check(p.returncode == 0, f"recovery-server {' '.join(args)}: exit {p.returncode}\n{p.stdout}{p.stderr}")
        return p.stdout

    def start(self):
        self.server_ok("init")
        self.server_ok("user", "add", "demo", stdin="demo-password\n")
        self.server = subprocess.Popen([self.args.server, "serve", "--data", self.srv, "--listen", "127.0.0.1:0"],
                                       stdin=subprocess.DEVNULL, stdout=open(self.work + "/server.out", "w"),
                                       stderr=subprocess.STDOUT)
        listen = wait_for("the server's port", lambda: ":" in read(self.srv + "/listen") and read(self.srv + "/listen"))
        self.port = listen.strip().rsplit(":", 1)[1]
        self.base = "https://localhost:" + self.port
        options = webdriver.ChromeOptions()
        options.binary_location = self.args.chromium
        for a in ["--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--ignore-certificate-errors",
                  "--window-size=1280,900", "--disable-gpu"]:
            options.add_argument(a)
        self.browser = webdriver.Chrome(service=Service(self.args.chromedriver), options=options)
        self.browser.set_script_timeout(30)

    def start_agent(self):
        self.agent = subprocess.Popen(
            [self.args.host, "--host", "localhost:" + self.port, "--ca", self.srv + "/ca.pem", "--data", self.agent_data,
             "--instance", f"halvex-browser-{os.getpid()}", "--time-scale", "10"],
            stdin=subprocess.PIPE, stdout=open(self.work + "/agent.out", "w"), stderr=subprocess.STDOUT, text=True)
        wait_for("the agent's log", lambda: "ws:" in read(self.agent_data + "/service.log") or
                 "auth:" in read(self.agent_data + "/service.log"), 20)
        self.agent.stdin.write("login\n")
        self.agent.stdin.flush()
        m = wait_for("the pairing code", lambda: re.search(r"pair: opening https://localhost:\d+/link_service\?code=([A-HJ-NP-Z2-9]{6})\n",
                                                           read(self.agent_data + "/service.log")), 20)
        self.server_ok("approve", m.group(1), "--user", "demo")
        m = wait_for("the machine id", lambda: re.search(r'"machine_id":"([0-9a-f]{12})"',
                                                         read(self.agent_data + "/halvex_service.conf")), 20)
        self.machine = m.group(1)

    def stop(self):
        if self.browser:
            self.browser.quit()
        for p in (self.agent, self.server):
            if p and p.poll() is None:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(10)
                except subprocess.TimeoutExpired:
                    p.kill()

    # ---- helpers ----

    def request(self, method, target, cookie="", headers=None, body=None):
        """A request outside the browser: (status, headers, body)."""
        c = http.client.HTTPSConnection("localhost", int(self.port), context=ssl._create_unverified_context(), timeout=30)
        h = dict(headers or {})
        if cookie:
            h["Cookie"] = cookie
        c.request(method, target, body=body, headers=h)
        r = c.getresponse()
        data = r.read()
        c.close()
        return r.status, dict(r.getheaders()), data

    def session_cookie(self):
        c = self.browser.get_cookie("__Host-halvex_session")
        check(c is not None, "no session cookie in the browser")
        return "__Host-halvex_session=" + c["value"]

    def host_name(self):
        _, _, body = self.request("GET", "/api/machines", self.session_cookie())
        return next(m["hostname"] or m["machine_id"] for m in json.loads(body)["machines"] if m["machine_id"] == self.machine)

    def go(self, path):
        self.browser.get(self.base + path)

    def find(self, css, timeout=30):
        return wait_for(f"'{css}' on {self.browser.current_url}",
                        lambda: self.browser.find_elements(By.CSS_SELECTOR, css), timeout)[0]

    def text_of(self, css):
        els = self.browser.find_elements(By.CSS_SELECTOR, css)
        return els[0].text if els else ""

    def fetch(self, method, path, headers):
        """A fetch() from the page: its status."""
        return self.browser.execute_async_script(
            "const done = arguments[arguments.length - 1];"
            "fetch(arguments[0], {method: arguments[1], headers: arguments[2], body: '{}', credentials: 'same-origin'})"
            ".then(r => done(r.status), e => done(String(e)));", path, method, headers)

    # ---- the steps ----

    def refuses_without_session(self):
        for page in PAGES:
            status, headers, _ = self.request("GET", page)
            if page.startswith("/console/api/"):
                check(status == 401, f"GET {page} without a session: {status}")
            else:
                check(status == 303 and headers.get("Location") == "/login", f"GET {page} without a session: {status}")
        status, _, _ = self.request("POST", "/api/send", body="{}", headers={"Content-Type": "application/json"})
        check(status == 401, f"POST /api/send without a session: {status}")

    def login_and_machine_online(self):
        self.go("/console/")
        check(self.browser.current_url.endswith("/login"), "the console did not send us to the login page")
        self.browser.find_element(By.NAME, "username").send_keys("demo")
        self.browser.find_element(By.NAME, "password").send_keys("demo-password")
        self.browser.find_element(By.CSS_SELECTOR, "button[type=submit]").click()
        wait_for("the login", lambda: not self.browser.current_url.endswith("/login"))
        self.go("/console/")
        self.find("#machines")
        # The agent pairs while the page is open: its row appears, online,
        # without a reload.
        marker = self.browser.execute_script("window.notReloaded = 1; return window.notReloaded;")
        self.start_agent()
        self.find(f"tr[data-machine='{self.machine}'][data-state='online']", 20)
        check(self.browser.execute_script("return window.notReloaded;") == marker, "the page was reloaded")
        # It was pushed, on the stream the page opened: the page never asked
        # for the list, and no stream has ended (a request shows here once it ends).
        asked = self.browser.execute_script("return performance.getEntriesByType('resource').map(e => e.name)"
                                            ".filter(n => /\\/api\\/machines(\\/stream)?$/.test(n));")
        check(not asked, f"the machine list was polled, or its stream ended: {asked}")
        cookie = self.session_cookie()
        status, headers, _ = self.request("GET", "/", cookie)
        check(status == 303 and headers.get("Location") == "/console/", f"GET / with a session: {status} {headers}")
        for page in PAGES[:5]:
            status, headers, body = self.request("GET", page, cookie)
            check(status == 200, f"GET {page} with a session: {status}")
            check("script-src 'self'" in headers.get("Content-Security-Policy", "") and
                  "unsafe-inline" not in headers["Content-Security-Policy"], f"CSP of {page}: {headers}")

    def csrf_refused(self):
        self.go("/console/")
        self.find("#machines")
        body = {"Content-Type": "application/json"}
        check(self.fetch("POST", "/api/send", body) == 403, "POST /api/send without the CSRF token was not refused")
        check(self.fetch("POST", "/api/send", {**body, "X-CSRF-Token": "0" * 64}) == 403,
              "POST /api/send with a wrong CSRF token was not refused")
        status, _, _ = self.request("POST", "/logout", self.session_cookie(), body="csrf=",
                                    headers={"Content-Type": "application/x-www-form-urlencoded"})
        check(status == 403, f"logout without the CSRF token: {status}")
        status, _, _ = self.request("POST", "/console/", self.session_cookie())
        check(status == 403, f"POST to a page without the CSRF token: {status}")

    def browse(self, folder):
        self.go(f"/console/machine?id={self.machine}")
        self.find("#disks table, #disks p")
        path = self.find("#path")
        path.clear()
        path.send_keys(folder)
        self.browser.find_element(By.CSS_SELECTOR, "#browse button").click()
        wait_for(f"the listing of {folder}", lambda: self.browser.find_elements(By.CSS_SELECTOR, "#listing tr[data-file]"))
        check(folder.rstrip("/").split("/")[-1] in self.text_of("#crumbs"), "breadcrumbs: " + self.text_of("#crumbs"))

    def imaging(self):
        data = os.urandom(32 * MIB)
        with open(self.files + "/sample.bin", "wb") as f:
            f.write(data)
        self.browse(self.files)
        row = self.find("#listing tr[data-file='sample.bin']")
        check("32.0 MB" in row.text, "the file's size in the listing: " + row.text)
        Select(self.find("#part-size")).select_by_value("10")
        row.find_element(By.CSS_SELECTOR, "button.image-file").click()
        wait_for("the jobs page", lambda: "/console/jobs" in self.browser.current_url)
        wait_for("the bar at 100 %", lambda: self.browser.execute_script(
            "const b = document.getElementById('image-bar'); return b && b.value >= 100;"), 90)
        progress = self.text_of("#image-progress")
        check("part 4 of 4" in progress and "unreadable bytes 0 B" in progress, "progress text: " + progress)
        digest = hashlib.sha256(data).hexdigest()
        wait_for("the image's SHA-256 on the page", lambda: digest in self.text_of("#images"), 30)
        image = self.find("#images tr[data-status='complete']").get_attribute("data-image")
        link = self.browser.find_element(By.CSS_SELECTOR, f"#images tr[data-image='{image}'] a")
        target = "/" + link.get_attribute("href").split("/", 3)[3]
        cookie = self.session_cookie()
        status, headers, body = self.request("GET", target, cookie)
        check(status == 200 and hashlib.sha256(body).hexdigest() == digest, f"the download: {status}")
        status, headers, body = self.request("GET", target, cookie, {"Range": "bytes=1000000-"})
        check(status == 206 and body == data[1000000:] and
              headers.get("Content-Range") == f"bytes 1000000-{len(data) - 1}/{len(data)}",
              f"the resumed download: {status} {headers}")
        status, headers, _ = self.request("GET", target, cookie, {"Range": f"bytes={len(data)}-"})
        check(status == 416 and headers.get("Content-Range") == f"bytes */{len(data)}", f"a range past the end: {status}")

    def make_card(self):
        src = os.path.join(self.work, "card")
        os.makedirs(src + "/DCIM/100CAM")
        for i, size in enumerate(["320x240", "640x480"]):
            subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", f"testsrc=size={size}:rate=1", "-frames:v", "1",
                            f"{src}/DCIM/100CAM/IMG{i}.JPG"], check=True)
        clip = f"{src}/DCIM/100CAM/CLIP.MP4"
        subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc=duration=2:size=160x120:rate=25",
                        "-pix_fmt", "yuv420p", clip], check=True)
        # The scan looks for moov boxes at sector starts, as a camera's
        # files have them: a free box after the mdat moves it to one.
        with open(clip, "rb") as f:
            mp4 = f.read()
        moov = mp4.rfind(b"moov") - 4
        pad = 512 - moov % 512 if moov % 512 else 0
        pad += 512 if 0 < pad < 8 else 0
        with open(clip, "wb") as f:
            f.write(mp4[:moov] + (pad.to_bytes(4, "big") + b"free" + bytes(pad - 8) if pad else b"") + mp4[moov:])
        card = os.path.join(self.files, "card.img")
        with open(card, "wb") as f:
            f.truncate(34 * MIB)
        subprocess.run(["mkfs.vfat", "-F", "32", "-S", "512", "-s", "1", "-n", "HALVEXCARD", card], check=True,
                       stdout=subprocess.DEVNULL)
        subprocess.run(["mcopy", "-s", "-i", card, src + "/DCIM", "::/"], check=True,
                       env={**os.environ, "MTOOLS_SKIP_CHECK": "1"})

    def scan_and_gallery(self):
        self.make_card()
        self.browse(self.files)
        Select(self.find("#chunk-size")).select_by_value("16")
        self.find("#listing tr[data-file='card.img'] button.scan-file").click()
        wait_for("the jobs page", lambda: "/console/jobs" in self.browser.current_url)
        box = self.find(".job[data-finished='true']", 60)
        wait_for("the scan's hits", lambda: "JPEG" in box.text, 20)
        check("chunks 3 of 3" in box.text, "scan progress: " + box.text)
        wait_for("the directory tree", lambda: box.find_elements(By.CSS_SELECTOR, "details summary"), 20)
        box.find_element(By.XPATH, ".//summary[text()='DCIM/']").click()
        check("100CAM/" in box.text, "the tree after opening DCIM: " + box.text)
        box.find_element(By.LINK_TEXT, "Gallery").click()
        wait_for("the gallery's pictures", lambda: self.browser.find_elements(By.CSS_SELECTOR, "#pictures img"))
        widths = wait_for("the pictures to load", lambda: self.browser.execute_script(
            "const w = [...document.querySelectorAll('#pictures img')].map(i => i.complete ? i.naturalWidth : -1);"
            "return w.every(x => x >= 0) && w;"))
        check(320 in widths and 640 in widths, f"the pictures' widths: {widths}")
        check("JPEG at" in self.text_of("#pictures figcaption"), "caption: " + self.text_of("#pictures figcaption"))
        # The clip's thumbnail, rendered by the agent's ffmpeg into this scan.
        check(self.find("#video-source").get_attribute("value").endswith("card.img"), "the scan's path is not offered")
        self.find("#render-videos").click()
        widths = wait_for("the video thumbnail", lambda: self.browser.execute_script(
            "const i = document.querySelector('#thumbnails img'); return i && i.complete && [i.naturalWidth];"), 30)
        check(widths == [320], f"the thumbnail's width: {widths}")

    def events(self):
        self.go(f"/console/events?id={self.machine}")
        self.find("table tbody tr")
        Select(self.find("select[name=type]")).select_by_value("directory_list")
        self.browser.find_element(By.ID, "filter").click()
        wait_for("the filtered events", lambda: "type=directory_list" in self.browser.current_url)
        # The page fetches the filtered rows after its address changed: until
        # then it shows none, or the unfiltered ones.
        def cells(n):
            # One script reads the whole column: between two WebDriver calls
            # the page may replace its rows, and Chrome does not always call
            # a replaced node stale.
            return self.browser.execute_script(
                "return [...document.querySelectorAll(arguments[0])].map(td => td.innerText.trim());",
                f"table tbody tr td:nth-child({n})")

        def column(n):
            return set(cells(n))
        wait_for("only directory_list rows", lambda: column(3) == {"directory_list"})
        check(all(t.endswith(" UTC") for t in column(2)), f"the events' times: {column(2)}")
        # Every machine's events, newest first, with time and machine.
        self.go("/console/events")
        self.find("table tbody tr")
        check(column(3) == {self.host_name()}, f"the machines: {column(3)}")
        seqs = [int(t) for t in cells(1)]
        check(0 < len(seqs) <= 50 and seqs == sorted(seqs, reverse=True), f"the newest, newest first: {seqs}")
        Select(self.find("select[name=type]")).select_by_value("thumbnails_complete")
        self.browser.find_element(By.ID, "filter").click()
        wait_for("only thumbnails_complete rows", lambda: column(4) == {"thumbnails_complete"})

    def narrow(self):
        self.browser.set_window_size(390, 844)
        for page in ["/console/", f"/console/machine?id={self.machine}", f"/console/jobs?id={self.machine}",
                     "/console/gallery?scan=1", f"/console/events?id={self.machine}"]:
            self.go(page)
            self.find("main h1")
            time.sleep(0.3)
            wide = self.browser.execute_script("return document.documentElement.scrollWidth - window.innerWidth;")
            check(wide <= 1, f"{page} is {wide} px wider than a phone's window")
        self.browser.set_window_size(1280, 900)

    def machine_offline(self):
        self.go("/console/")
        self.find(f"tr[data-machine='{self.machine}'][data-state='online']")
        self.agent.send_signal(signal.SIGTERM)
        self.agent.wait(10)
        self.find(f"tr[data-machine='{self.machine}'][data-state='offline']", 10)

    def shot(self, name):
        os.makedirs(self.args.shots, exist_ok=True)
        try:
            self.browser.save_screenshot(os.path.join(self.args.shots, name + ".png"))
            with open(os.path.join(self.args.shots, name + ".html"), "w") as f:
                f.write(self.browser.page_source)
        except Exception as e:  # the browser itself may be what failed
            print(f"  (no screenshot: {e})")


def main():
    ap = argparse.ArgumentParser()
    for a in ["--server", "--host", "--work", "--shots", "--chromium", "--chromedriver"]:
        ap.add_argument(a, required=True)
    args = ap.parse_args()
    subprocess.run(["rm", "-rf", args.work], check=True)
    os.makedirs(args.work)
    run = Run(args)
    failed = []
    started = time.monotonic()
    try:
        run.start()
        for step in [run.refuses_without_session, run.login_and_machine_online, run.csrf_refused, run.imaging,
                     run.scan_and_gallery, run.events, run.narrow, run.machine_offline]:
            t = time.monotonic()
            try:
                step()
                print(f"ok   {step.__name__} ({time.monotonic() - t:.1f} s)", flush=True)
            except Exception:
                print(f"FAIL {step.__name__}\n{traceback.format_exc()}", flush=True)
                run.shot(step.__name__)
                failed.append(step.__name__)
                if step.__name__ == "login_and_machine_online":
                    break  # nothing after it can work
    finally:
        run.stop()
    print(f"{len(failed)} failed, {time.monotonic() - started:.1f} s")
    if failed:
        print("server log:\n" + read(run.work + "/server.out")[-3000:])
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
