#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""The Printer Application as its users meet it: its web pages in headless Chromium (through
chromedriver's WebDriver protocol), its subcommands, a fake network printer on loopback, and the test
label read back with labelpreview and zbarimg, and on the jobs page as the printer received it.

usage: app-pages.py APP LABELPREVIEW ZBARIMG CHROMEDRIVER CHROMIUM [SCREENSHOT-FOLDER]
"""
import json, os, shutil, signal, socket, subprocess, sys, tempfile, threading, time, urllib.error, urllib.parse, urllib.request

APP, PREVIEW, ZBARIMG, DRIVER, CHROMIUM = sys.argv[1:6]
SHOTS = sys.argv[6] if len(sys.argv) > 6 else None
failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)


def wait_for(condition, seconds=10.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return condition()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) == 0


class FakePrinter:
    """A raw TCP printer that keeps what each connection sends; status queries go unanswered."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        self.jobs = []
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            connection, _ = self.listener.accept()
            data = b""
            with connection:
                while chunk := connection.recv(65536):
                    data += chunk
            if b"^XA" in data:
                self.jobs.append(data)


class Browser:
    """A headless Chromium session through chromedriver."""

    def __init__(self, folder):
        self.port = free_port()
        self.driver = subprocess.Popen([DRIVER, f"--port={self.port}"], stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
        wait_for(lambda: listening(self.port))
        options = {"binary": CHROMIUM, "args": ["--headless=new", "--no-sandbox", "--disable-gpu",
                                                 "--window-size=1000,1100", f"--user-data-dir={folder}"]}
        answer = self.call("POST", "/session", {"capabilities": {"alwaysMatch": {"goog:chromeOptions": options}}})
        self.session = "/session/" + answer["sessionId"]

    def call(self, method, path, body=None):
        data = json.dumps(body).encode() if body is not None else None
        request = urllib.request.Request(f"http://127.0.0.1:{self.port}{path}", data=data, method=method,
                                         headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=60) as response:
            return json.loads(response.read())["value"]

    def open(self, url):
        self.call("POST", self.session + "/url", {"url": url})

    def source(self):
        return self.call("GET", self.session + "/source")

    def element(self, css):
        found = self.call("POST", self.session + "/element", {"using": "css selector", "value": css})
        return self.session + "/element/" + next(iter(found.values()))

    def click(self, css):
        self.call("POST", self.element(css) + "/click", {})

    def submit(self):
        """Send the page's form and wait for the answer's banner."""
        self.click("input[type='submit']")
        return wait_for(lambda: 'class="banner"' in self.source(), 20)

    def type(self, css, text):
        element = self.element(css)
        self.call("POST", element + "/clear", {})
        self.call("POST", element + "/value", {"text": text})

    def value(self, css, name="value"):
        return self.call("GET", self.element(css) + "/property/" + name)

    def screenshot(self, name):
        if SHOTS:
            import base64
            with open(os.path.join(SHOTS, name), "wb") as f:
                f.write(base64.b64decode(self.call("GET", self.session + "/screenshot")))

    def close(self):
        try:
            self.call("DELETE", self.session)
        finally:
            self.driver.terminate()
            self.driver.wait()


def main():
    folder = tempfile.mkdtemp(prefix="app-pages-")
    env = dict(os.environ, TMPDIR=folder + "/tmp", SNAP_COMMON=folder + "/common", HOME=folder)
    for sub in ("tmp", "common", "spool"):
        os.makedirs(f"{folder}/{sub}")
    port = free_port()
    base = f"http://127.0.0.1:{port}"

    def app(*arguments, timeout=30):
        return subprocess.run([APP, *arguments], env=env, capture_output=True, text=True, timeout=timeout)

    errors = []  # the servers' standard error, where the sanitizers report

    def start_server(more=None):
        errors.append(f"{folder}/server-{len(errors)}.err")
        with open(errors[-1], "w") as err:
            return subprocess.Popen([APP, "server", "-o", f"server-port={port}", "-o", f"log-file={folder}/log",
                                     "-o", "log-level=debug", "-o", f"spool-directory={folder}/spool"],
                                    env=dict(env, **(more or {})), stdout=subprocess.DEVNULL, stderr=err)

    printer = FakePrinter()
    server = start_server()
    browser = None
    try:
        check(wait_for(lambda: listening(port) and app("printers").returncode == 0), "the server listens on its port")
        check(app("add", "-d", "Shelf", "-m", "generic-label-203dpi", "-v",
                  f"socket://127.0.0.1:{printer.port}").returncode == 0, "add a printer")

        # Commands that keep their word.
        added = app("add", "-d", "Scratch", "-m", "generic-label-300dpi", "-v", "socket://127.0.0.1:9")
        check(added.returncode == 0 and app("delete", "-d", "Scratch").returncode == 0,
              "a printer added since the start can be deleted at once")
        for bad in ("label-mode-configured=sideways", "printer-darkness-configured=500", "colour=red"):
            refused = app("modify", "-d", "Shelf", "-o", bad)
            check(refused.returncode == 1 and "Nothing changed" in refused.stderr, f"modify refuses {bad}")
        options = app("options", "-d", "Shelf").stdout
        check("label-mode-configured" in options and "now: tear-off" in options and "label-tear-offset" in options,
              "options lists the label settings with their present values")
        check("file-device-folder" in app("--help").stdout, "--help names the application's own options")
        check("generic-label-203dpi" in app("drivers").stdout and
              not [n for n in os.listdir(folder + "/tmp") if n.startswith("pappl")],
              "drivers lists the drivers and leaves no log file")

        browser = Browser(folder + "/browser")
        # The printing defaults page in label words; the label mode and tear-off adjustment saved.
        browser.open(base + "/Shelf/printing")
        page = browser.source()
        for words in ("Tear-off adjustment (mm)", "Label mode", "Rotate 180 degrees", "Mirror", "Negative image",
                      "Pause", "Direct thermal", "As set on the printer"):
            check(words in page, f"the defaults page says '{words}'")
        check("label-tear-offset:" not in page and "Print Mode" not in page, "no attribute names on the page")
        browser.screenshot("printing-defaults.png")
        browser.click("select[name='label-mode-configured'] option[value='rewind']")
        browser.type("input[name='label-tear-offset']", "1.5")
        check(browser.submit() and "Changes saved" in browser.source(), "the defaults are saved")
        browser.open(base + "/Shelf/printing")
        check(browser.value("select[name='label-mode-configured']") == "rewind", "the label mode is saved")
        check(float(browser.value("input[name='label-tear-offset']")) == 1.5, "the tear-off adjustment is in mm")
        check("now: rewind" in app("options", "-d", "Shelf").stdout, "the saved label mode reaches the printer")

        # A custom size wider than the head is refused with the reason.
        browser.open(base + "/Shelf/media")
        browser.screenshot("media.png")
        browser.click("select[name='size'] option[value='custom']")
        browser.type("input[name='width']", "127")
        browser.type("input[name='length']", "76")
        check(browser.submit() and "Not saved" in browser.source(), "a custom size wider than the head is refused")

        # Auto-Detect against a printer that does not answer: the reason as the command line gives it, and
        # the form keeps the device and the address with its port.
        browser.open(base + "/addprinter")
        browser.type("input[name='printer_name']", "Silent")
        browser.click("select#device_uri option[value='socket']")
        address = f"127.0.0.1:{printer.port}"
        browser.type("input#hostname", address)
        check(browser.submit() and "gave no readable answer to the identification query" in browser.source(),
              "Auto-Detect says why the printer was not added")
        check(browser.value("select#device_uri") == "socket" and browser.value("input#hostname") == address,
              "the add-printer form keeps the device and the address typed")

        # The test label arrives, draws and scans.
        browser.open(base + "/Shelf")
        browser.screenshot("printer.png")
        browser.click("input[value='Print Test Page']")
        check(wait_for(lambda: printer.jobs, 30), "the test label reaches the printer")
        if printer.jobs:
            shutil.rmtree(folder + "/preview", ignore_errors=True)
            subprocess.run([PREVIEW, "-d", folder + "/preview", "-"], input=printer.jobs[-1], timeout=60)
            scanned = subprocess.run([ZBARIMG, "-q", "--raw", folder + "/preview/label-0001.png"],
                                     capture_output=True, text=True, timeout=60).stdout.strip()
            check(scanned == "Shelf", f"the test label's barcode scans ('{scanned}')")
            if SHOTS:
                shutil.copy(folder + "/preview/label-0001.png", os.path.join(SHOTS, "test-label.png"))

        # The printer's jobs page shows the label as the printer got it: the image it links to is the
        # label that labelpreview draws from what the printer received.
        browser.open(base + "/Shelf/jobs")
        check(wait_for(lambda: 'src="/Shelf/label?job=' in browser.source(), 20), "the jobs page shows the job's label")
        browser.screenshot("jobs.png")
        if printer.jobs and 'src="/Shelf/label?job=' in browser.source():
            image = browser.element("div.job-labels img")
            served = urllib.request.urlopen(base + browser.call("GET", image + "/attribute/src"), timeout=10).read()
            check(served == open(folder + "/preview/label-0001.png", "rb").read(),
                  "the label's image is labelpreview's drawing of what the printer received")
            dots = int.from_bytes(served[16:20], "big")
            check(wait_for(lambda: browser.call("GET", image + "/property/naturalWidth") == dots > 0),
                  f"the browser draws the label's image at its size in dots ({dots})")

        # Copies, its icon, and no link to a page that is not there.
        jobs = len(printer.jobs)
        with open(folder + "/label.png", "wb") as f:
            f.write(open(folder + "/preview/label-0001.png", "rb").read() if printer.jobs else b"")
        check(app("submit", "-d", "Shelf", "-n", "3", folder + "/label.png").returncode == 0, "submit -n 3")
        check(wait_for(lambda: len(printer.jobs) > jobs, 30) and printer.jobs[-1].count(b"^XA") >= 3
              or b"^PQ3" in printer.jobs[-1], "submit -n 3 prints three labels")
        icon = urllib.request.urlopen(base + "/Shelf/icon-md.png", timeout=10).read()
        check(b"IHDR\x00\x00\x00\x80" in icon, "the printer's icon is the application's own")
        for _ in range(2):  # each answer as good as the first
            asked = subprocess.run(["ipptool", "-tv", f"ipp://127.0.0.1:{port}/ipp/print/Shelf",
                                    "get-printer-attributes.test"], capture_output=True, text=True)
        check(asked.returncode == 0 and "Duplicate" not in asked.stdout, "the printer's attributes pass ipptool's checks")
        check("printer-supply-info-uri" not in asked.stdout, "no printer-supply-info-uri without a supplies page")

        # The jobs pages: every printer's jobs with their states in words; Cancel, Reprint and Identify.
        check(app("add", "-d", "Away", "-m", "generic-label-203dpi", "-v",
                  f"socket://127.0.0.1:{free_port()}").returncode == 0, "add a printer that cannot be reached")
        check(app("submit", "-d", "Away", folder + "/label.png").returncode == 0, "submit to it")
        jobs = len(printer.jobs)
        check(app("submit", "-d", "Shelf", folder + "/label.png").returncode == 0 and
              wait_for(lambda: len(printer.jobs) > jobs, 30), "a label printed on the other")
        browser.open(base + "/jobs")
        check(wait_for(lambda: "Waiting: the printer cannot be reached" in browser.source(), 30),
              "the page of all jobs says why a job waits")
        page = browser.source()
        check('href="/Shelf"' in page and 'href="/Away"' in page and "Completed at " in page and
              "Started at" not in page and ".." not in page, "it lists both printers' jobs, each state in one sentence")
        browser.screenshot("jobs.png")
        browser.click("input[value='Cancel Job']")
        def cancelled():
            browser.open(base + "/jobs")
            return "Cancelled at " in browser.source()
        check(wait_for(lambda: "cancelled." in browser.source(), 20) and wait_for(cancelled, 20),
              "Cancel ends the waiting job")
        printed = printer.jobs[-1]
        jobs = len(printer.jobs)
        browser.open(base + "/Shelf/jobs")
        browser.click("input[value='Reprint']")
        check(wait_for(lambda: len(printer.jobs) > jobs, 30) and printer.jobs[-1] == printed,
              "Reprint prints the same printer data again")
        jobs = len(printer.jobs)
        browser.open(base + "/Shelf")
        browser.click("input[value='Identify Printer']")
        check(wait_for(lambda: len(printer.jobs) > jobs, 20) and b"^XG" in printer.jobs[-1] and
              "fed one blank label" in browser.source(), "Identify feeds one blank label")
        browser.open(base + "/Away")
        browser.click("input[value='Identify Printer']")
        check(wait_for(lambda: "Not identified: the printer cannot be reached" in browser.source(), 20),
              "Identify says when the printer cannot be reached")
        kept = [n for n in os.listdir(folder + "/spool") if not n.endswith(".ipp")]
        check(kept, "ended jobs' documents are kept")

        # Its port is its address; shutdown ends it, and the chosen settings come back.
        check(app("modify", "-d", "Shelf", "-o", "print-speed-default=4in").returncode == 0, "set the print speed")
        os.makedirs(folder + "/other", exist_ok=True)
        for state, says, what in ((folder + "/common", "Another server", "a second server on the state fails"),
                                  (folder + "/other", "taken", "a second server on the port fails")):
            second = subprocess.run([APP, "server", "-o", f"server-port={port}", "-o", f"log-file={folder}/log2"],
                                    env=dict(env, TMPDIR=folder + "/common", SNAP_COMMON=state),
                                    capture_output=True, text=True, timeout=20)
            check(second.returncode == 1 and says in second.stderr, what)
        started = time.monotonic()
        check(app("shutdown").returncode == 0 and time.monotonic() - started <= 5.5, "shutdown within 5 s")
        check(server.wait(timeout=5) == 0 and not listening(port), "the server is gone and its port free")
        server = start_server()
        check(wait_for(lambda: listening(port) and app("printers").returncode == 0), "the server starts again on its port")
        options = app("options", "-d", "Shelf").stdout
        check("now: 10160" in options and "now: rewind" in options, "the print speed and label mode survive")
        check(all(os.path.exists(folder + "/spool/" + n) for n in kept), "the kept documents survive the restart")

        # A stranger sees no other user's job names and owners, and can neither cancel nor reprint.
        check(app("shutdown").returncode == 0 and server.wait(timeout=10) == 0, "stop the server")
        server = start_server({"LD_PRELOAD": os.environ.get("REMOTE_PEER", ""),
                               "ASAN_OPTIONS": "verify_asan_link_order=0"})
        check(wait_for(lambda: listening(port) and app("printers").returncode == 0), "the server starts as one for strangers")
        page = urllib.request.urlopen(base + "/jobs", timeout=10).read().decode()
        check("(hidden)" in page and "Reprint" not in page and "Cancel Job" not in page and "label.png" not in page,
              "a stranger sees the jobs without their names, owners or actions")
        form = urllib.parse.urlencode({"action": "reprint-job", "job-id": "1", "printer-id": "1"}).encode()
        try:
            status = urllib.request.urlopen(urllib.request.Request(base + "/jobs", data=form,
                                                                   headers={"Origin": base}), timeout=10).status
        except urllib.error.HTTPError as refused:
            status = refused.code
        jobs = len(printer.jobs)
        check(status >= 400 and not wait_for(lambda: len(printer.jobs) > jobs, 3), "a stranger's reprint is refused")
    finally:
        if browser:
            browser.close()
        server.send_signal(signal.SIGTERM)
        server.wait(timeout=15)
        reports = [line for path in errors for line in open(path) if "Sanitizer" in line or "runtime error" in line]
        check(not reports, "the servers ran without a sanitizer report " + "".join(reports[:3]))
        if not failures:
            shutil.rmtree(folder, ignore_errors=True)
        else:
            print("kept", folder)
    return 1 if failures else 0


sys.exit(main())
