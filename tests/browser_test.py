#!/usr/bin/env python3
"""The sandbox pages driven by Debian's Chromium, headless, as a person uses
them: what a real browser sends (its multipart bodies and file-name quoting,
its WebSocket handshake and extensions offer, its TLS choice against the
fixed cipher list) and what it accepts (it fails a WebSocket on a text frame
that is not UTF-8). Chromium is steered over its DevTools protocol with the
harness's own WebSocket client. Screenshots of the pages land in
<build>/browser-screenshots/. Run with `python3 tests/browser_test.py`."""

import base64
import itertools
import json
import os
import shutil
import socket
import struct
import subprocess
import sys
import tarfile
import tempfile
import time
import unittest
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import (REPO, Run, ServerTestCase, WebSocket, _spawn, _terminate,  # noqa: E402
                     build_dir, wait_until)

CHROMIUM = shutil.which("chromium")
# A page action and what it sets off is answered in well under a second;
# the bounds are for a loaded 2-core machine, where the syncs of a restore
# or an upgrade wait for every other writer's data to reach the disk.
ACTION_TIMEOUT = 15.0
REBOOT_TIMEOUT = 60.0
PICTURE = REPO / "scripts/assets/previewImage.jpg"


class Chromium:
    """One headless Chromium with one page, steered over the DevTools
    protocol (flat sessions on the browser's endpoint)."""

    def __init__(self, workdir):
        self.workdir = Path(workdir)
        self.downloads = self.workdir / "downloads"
        self.downloads.mkdir()
        profile = self.workdir / "profile"
        self._out = open(self.workdir / "chromium.out", "wb")
        self.proc = _spawn(
            [CHROMIUM, "--headless=new", "--no-sandbox", "--disable-gpu",
             "--ignore-certificate-errors", "--remote-debugging-port=0",
             f"--user-data-dir={profile}", "--no-first-run", "--no-default-browser-check",
             "--disable-background-networking", "--disable-extensions",
             "--password-store=basic", "--window-size=1000,900", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=self._out, stderr=subprocess.STDOUT)
        active = profile / "DevToolsActivePort"
        if not wait_until(lambda: active.exists() and len(active.read_text().split()) == 2, 30):
            self.close()
            raise RuntimeError("chromium did not open its DevTools port")
        port, path = active.read_text().split()
        self.ws = WebSocket.connect(int(port), path=path, timeout=10)
        self._ids = itertools.count(1)
        self.session = None
        self.requests = {}  # requestId -> what went out and how it ended
        targets = self.call("Target.getTargets")["targetInfos"]
        page = next(t for t in targets if t["type"] == "page")
        self.session = self.call("Target.attachToTarget", targetId=page["targetId"],
                                 flatten=True, session=False)["sessionId"]
        self.call("Browser.setDownloadBehavior", behavior="allow",
                  downloadPath=str(self.downloads), session=False)
        self.call("Network.enable")

    def close(self):
        if getattr(self, "ws", None):
            self.ws.sock.close()
        _terminate(self.proc, 15, 5)
        self._out.close()

    def call(self, method, session=True, timeout=ACTION_TIMEOUT, **params):
        ident = next(self._ids)
        message = {"id": ident, "method": method, "params": params}
        if session and self.session:
            message["sessionId"] = self.session
        self.ws.send_text(json.dumps(message))
        deadline = time.monotonic() + timeout
        while True:
            reply = json.loads(self.ws.recv_text(max(0.0, deadline - time.monotonic())))
            if reply.get("id") != ident:
                self._note(reply)
                continue
            if "error" in reply:
                raise RuntimeError(f"{method}: {reply['error']}")
            return reply["result"]

    def _note(self, event):
        """Keeps the page's requests from the Network domain's events: what
        the page really sent, and the status or network error it ended with.
        A request the browser resends by itself keeps its requestId."""
        params = event.get("params", {})
        request = self.requests.get(params.get("requestId"))
        method = event.get("method")
        if method == "Network.requestWillBeSent":
            self.requests[params["requestId"]] = {"url": params["request"]["url"],
                                                  "status": None, "ended": None}
        elif request is None:
            return
        elif request["ended"] is not None:
            return  # the browser's own error page comes under the same id
        elif method == "Network.responseReceived":
            request["status"] = params["response"]["status"]
        elif method == "Network.loadingFinished":
            request["ended"] = request["status"]
        elif method == "Network.loadingFailed":
            request["ended"] = params["errorText"]

    def outcome(self, url, timeout=ACTION_TIMEOUT):
        """How the latest request to url ended: its status once its body is
        all in (for a body that ends with the connection, once the server
        closed it), or the browser's error text."""
        def ended():
            self.call("Browser.getVersion", session=False)  # takes in the events so far
            sent = [r for r in self.requests.values() if r["url"] == url]
            return sent and sent[-1]["ended"]
        result = wait_until(ended, timeout, interval=0.1)
        if not result:
            sent = any(r["url"] == url for r in self.requests.values())
            raise AssertionError(f"{url}: " + ("sent, never ended" if sent else "never sent"))
        return result

    def evaluate(self, expression, await_promise=False):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True,
                           awaitPromise=await_promise)
        if "exceptionDetails" in result:
            raise RuntimeError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def wait_for(self, expression, timeout=ACTION_TIMEOUT, what=None):
        """Value of the expression once truthy; fails after timeout."""
        def probe():
            try:
                return self.evaluate(expression)
            except RuntimeError:
                return None  # the page is between two documents
        value = wait_until(probe, timeout, interval=0.1)
        if not value:
            raise AssertionError(f"page never showed {what or expression}; now: "
                                 f"{self.evaluate('document.body && document.body.innerText')!r}")
        return value

    def goto(self, url):
        self.call("Page.stopLoading")  # a post left without an answer
        self.call("Page.navigate", url=url)
        self.wait_for(f"location.href === {json.dumps(url)} && document.readyState === 'complete'",
                      what=url)

    def type_into(self, selector, text):
        """Clears the field and types the text as keyboard input would."""
        self.evaluate(f"(e => {{ e.value = ''; e.focus(); }})(document.querySelector({json.dumps(selector)}))")
        self.call("Input.insertText", text=text)

    def click(self, selector):
        self.evaluate(f"document.querySelector({json.dumps(selector)}).click()")

    def choose_files(self, selector, paths):
        found = self.call("Runtime.evaluate",
                          expression=f"document.querySelector({json.dumps(selector)})")
        self.call("DOM.setFileInputFiles", files=[str(p) for p in paths],
                  objectId=found["result"]["objectId"])

    def text(self, selector):
        return self.evaluate(f"document.querySelector({json.dumps(selector)}).textContent")

    def screenshot(self, name):
        size = self.call("Page.getLayoutMetrics")["cssContentSize"]
        shot = self.call("Page.captureScreenshot", format="png", captureBeyondViewport=True,
                         clip={"x": 0, "y": 0, "width": 1000,
                               "height": min(size["height"], 2400), "scale": 0.6})
        folder = build_dir() / "browser-screenshots"
        folder.mkdir(exist_ok=True)
        (folder / f"{name}.png").write_bytes(base64.b64decode(shot["data"]))


def device_link_send(socket_path, text):
    """Sends one request over a device link of its own, as the server's link
    does: what the control service answers is not read."""
    frame = struct.pack("!iqq", 1, 0, 0) + text
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(5)
        s.connect(str(socket_path))
        s.sendall(struct.pack("!I", len(frame)) + frame)
        s.recv(4096)


class BrowserTest(ServerTestCase):

    @classmethod
    def setUpClass(cls):
        if CHROMIUM is None:
            raise RuntimeError("chromium is missing: scripts/install-deps.sh installs it")
        cls.runs = cls.start_class_runs({"http": (["-m", "http"], None),
                                         "https": (["-m", "https"], None)})
        cls.runs["http"].server.wait_ready([cls.runs["http"].sandbox.http_port])
        cls.runs["https"].server.wait_ready([cls.runs["https"].sandbox.https_port])
        cls.work = Path(tempfile.mkdtemp(prefix="kt-browser-"))
        cls.addClassCleanup(shutil.rmtree, cls.work, ignore_errors=True)
        cls.browser = Chromium(cls.work)
        cls.addClassCleanup(cls.browser.close)

    def setUp(self):
        self.use(self.runs["http"])

    def use(self, run):
        self.rig = run
        self.sb = run.sandbox
        self.base = f"http://127.0.0.1:{self.sb.http_port}"

    def use_own_server(self):
        """A sandbox and server of this test alone, for page actions that
        reboot: a reboot, or a request the browser resends on its own, that
        lands after the test cannot be counted by another one."""
        sandbox = self.make_sandbox()
        self.use(Run(sandbox, self.start_sim(sandbox), self.start_ready_server(sandbox, "-m", "http")))

    def reboots(self):
        log = self.rig.sandbox.reboot_log
        return len(log.read_text().splitlines()) if log.exists() else 0

    def wait_reboots(self, count):
        self.assertTrue(wait_until(lambda: self.reboots() >= count, REBOOT_TIMEOUT),
                        self.rig.server.describe())
        self.assertEqual(self.reboots(), count)

    def local_file(self, name, content):
        path = self.work / "files" / name
        path.parent.mkdir(exist_ok=True)
        path.write_bytes(content if isinstance(content, bytes) else content.encode())
        return path

    # -- relay --------------------------------------------------------------

    def envelopes(self):
        lines = self.browser.evaluate(
            "[...document.querySelectorAll('#log div')].map(d => d.textContent)")
        return [json.loads(line[2:]) for line in lines
                if line.startswith("< {\"comName\"")]

    def test_relay_in_both_schemes_keeps_text_intact_and_survives_invalid_utf8(self):
        b = self.browser
        text = 'Grüße "✓" 😀 ünïcödé'
        for mode, scheme, port_of in (("http", "ws", lambda sb: sb.http_port),
                                      ("https", "wss", lambda sb: sb.https_port)):
            with self.subTest(mode=mode):
                run = self.runs[mode]
                web = "https" if scheme == "wss" else "http"
                b.goto(f"{web}://127.0.0.1:{port_of(run.sandbox)}/")
                b.type_into("#pwd", "admin123")
                b.click("#login")
                b.wait_for("document.getElementById('state').textContent === 'logged in'",
                           what="logged in")
                b.type_into("#cmd", "echo " + text)
                b.click("#send")
                b.wait_for("document.querySelectorAll('#log div').length >= 4", what="the echo")
                self.assertEqual(self.envelopes()[-1], {"comName": "ALL", "command": text,
                                                        "result": 0, "type": "command"})

                # The control service may send any bytes; a browser fails the
                # whole connection on a text frame that is not UTF-8.
                device_link_send(run.sandbox.socket, b"broadcast bad \xff\xc3( end")
                b.wait_for("[...document.querySelectorAll('#log div')]"
                           ".some(d => d.textContent.includes('end'))", what="the broadcast")
                carried = self.envelopes()[-1]["command"]
                self.assertTrue(carried.startswith("bad ") and carried.endswith(" end")
                                and "\ufffd" in carried, carried)
                b.type_into("#cmd", "echo still here")
                b.click("#send")
                b.wait_for("[...document.querySelectorAll('#log div')]"
                           ".some(d => d.textContent.includes('still here\"'))",
                           what="an answer after the broadcast")
                self.assertEqual(b.text("#state"), "logged in")
                b.screenshot(f"relay-{mode}")

    # -- customization and upgrade ------------------------------------------

    def current_settings(self):
        """The settings custom.html shows (and starts its fields from)."""
        return json.loads(self.browser.wait_for(
            "(t => t.startsWith('{') && t)(document.getElementById('result').textContent)",
            what="the current settings"))

    def submit_custom(self, fields, files=()):
        b = self.browser
        b.goto(self.base + "/custom.html")
        self.current_settings()
        for name, value in fields.items():
            b.type_into(f"input[name={name}]", value)
        for name, path in files:
            b.choose_files(f"input[name={name}]", [path])
        b.click("form[action='/custom_upload'] button")
        return json.loads(b.wait_for("location.pathname === '/custom_upload' && "
                                     "document.readyState === 'complete' && document.body.innerText",
                                     what="the customization answer"))

    def test_customization_password_export_and_restore_through_the_form(self):
        self.use_own_server()
        custom = self.sb.webroot / "customization"
        shadow = self.sb.root / "etc/shadow"
        title = 'Say "hi" — Grüße ✓'
        picture = self.local_file('Fähre "neu" ü.jpg', PICTURE.read_bytes())
        password = {"sys_oldPwd": "ubuntu123", "sys_newPwd": "Neu-Pass1",
                    "sys_repeatPwd": "Neu-Pass1"}
        # Rows: form fields, files, the answer's letter, reboots so far. The
        # answer ends with its connection, closed once the reboot was asked for.
        for fields, files, letter, reboots in (
                ({**password, "sys_oldPwd": "wrong"}, (), "2", 0),
                ({"title": title, **password}, (("banner", picture),), "0", 1)):
            with self.subTest(letter=letter):
                self.assertEqual(self.submit_custom(fields, files), {"result": letter})
                self.assertEqual(self.reboots(), reboots)
        self.assertEqual((custom / "banner.jpg").read_bytes(), picture.read_bytes())
        self.assertIn(f"webTitle={title}".encode(), (custom / "custom.properties").read_bytes())
        self.assertNotEqual(shadow.read_bytes(), (self.sb.root / "etc/shadow-").read_bytes())
        b = self.browser
        b.goto(self.base + "/custom.html")
        self.assertEqual(self.current_settings(),
                         {"language": "en", "login_title": "Welcome", "web_title": title})
        self.assertEqual(b.evaluate("document.querySelector('input[name=title]').value"), title)
        b.screenshot("custom")

        b.click("a[href='/downloadCustom']")
        package = wait_until(lambda: [p for p in self.browser.downloads.glob("custom_*.tar.gz")],
                             ACTION_TIMEOUT)
        self.assertTrue(package, "no export arrived")
        self.assertTrue(wait_until(lambda: tarfile.is_tarfile(package[0]), 5))
        with tarfile.open(package[0]) as tar:
            exported = tar.extractfile("customization/custom.properties").read()
        self.assertIn(f"webTitle={title}".encode(), exported)

        # A fresh page: Chromium may drop a form post made while the
        # navigation that became the download is still being wound up.
        b.goto(self.base + "/custom.html")
        b.click("form[action='/custom_restore'] button")
        # The device answers nothing before it goes down. A browser resends a
        # request that got no bytes on a connection it had opened ahead of
        # need, so one click may restore, and reboot, more than once; once
        # the browser gives up, every attempt has ended.
        self.assertEqual(b.outcome(self.base + "/custom_restore"), "net::ERR_EMPTY_RESPONSE")
        self.assertGreater(self.reboots(), 1)
        self.assertEqual((custom / "custom.properties").read_bytes(),
                         (custom / "custom.properties.bak").read_bytes())
        self.assertEqual(shadow.read_bytes(), (self.sb.root / "etc/shadow-").read_bytes())

    def test_firmware_upgrade_through_the_form_runs_both_packages(self):
        self.use_own_server()
        ran = self.sb.root / "ran"
        packages = [(field, self.local_file(name, f"#!/bin/sh\necho {field} >> {ran}\n"))
                    for field, name in (("ktcmd", "paquet spécial.bin"), ("web", 'web "v2" ü.bin'))]
        b = self.browser
        b.goto(self.base + "/custom.html")
        for field, path in packages:
            b.choose_files(f"input[name={field}]", [path])
        b.click("form[action='/upgrade'] button")
        # The answer comes before the packages run and the device goes down.
        self.assertEqual(b.outcome(self.base + "/upgrade"), 200)
        self.wait_reboots(1)
        self.assertEqual(ran.read_text(), "ktcmd\nweb\n", self.rig.server.log())

    # -- console ------------------------------------------------------------

    def answer(self, box):
        """Text of an answer box once the server's answer is in it."""
        return self.browser.wait_for(
            f"(t => t && t !== 'waiting...' && t)(document.getElementById('{box}').textContent)",
            what=f"an answer in {box}")

    def refused(self, box):
        return "refused" in self.browser.evaluate(f"document.getElementById('{box}').className")

    def test_console_every_route(self):
        b = self.browser
        zone = self.sb.zone_dir
        b.goto(self.base + "/console.html")

        docs = {"zoneinfo": ("zone.json", '{"zones":[{"name":"Süd"}]}'),
                "zonepw": ("zone.pw", "anna:pw1\nbörje:hemlig\n"),
                "pagecustom": ("zone.page", "<p>Übersicht</p>")}
        for field, (name, content) in docs.items():
            b.choose_files(f"#zone-form input[name={field}]", [self.local_file(f"ä {name}", content)])
        b.click("#zone-form button")
        self.assertTrue(self.answer("zone-upload-answer").startswith("200 OK"))
        for name, content in docs.values():
            self.assertEqual((zone / name).read_text(), content)
        b.click("button[data-show='/api/v1/zones/passwd']")
        self.assertIn("börje:hemlig", self.answer("zone-show-answer"))

        # Rows: user, password, what the box shows, refused.
        for user, pwd, shown, refused in (("börje", "hemlig", "200 OK\nlisted", False),
                                          ("anna", "wrong", "401 Unauthorized\nnot listed", True),
                                          ("", "pw1", "no answer", True)):
            with self.subTest(user=user, pwd=pwd):
                b.type_into("#zone-check input[name=username]", user)
                b.type_into("#zone-check input[name=passwd]", pwd)
                b.click("#zone-check button")
                self.assertTrue(self.answer("zone-check-answer").startswith(shown))
                self.assertEqual(self.refused("zone-check-answer"), refused)

        # Rows: scene document, what the upload box shows, what the project shows.
        for doc, shown, project in (
                ('<Scene name="Bühne"><Zone id="1">Süd</Zone></Scene>', "200 OK", '"Bühne"'),
                ("<Scene><unclosed></Scene>", "500 Internal Server Error", "")):
            with self.subTest(doc=doc):
                b.choose_files("#scene-form input", [self.local_file("Szene ü.hoi", doc)])
                b.click("#scene-form button")
                self.assertTrue(self.answer("scene-upload-answer").startswith(shown))
                if project:
                    self.assertIn(project, self.answer("scene-project"))

        update = self.local_file("Gerät ü.bin", b"\x00\x01firmware\xff")
        b.choose_files("#update-form input", [update])
        b.click("#update-form button")
        self.assertTrue(self.answer("update-answer").startswith("200 OK"))
        self.assertEqual((self.sb.root / "home/ubuntu/update/Gerät ü.bin").read_bytes(),
                         update.read_bytes())
        b.click("#txrx-load")
        self.answer("txrx-answer")
        self.assertEqual(b.evaluate("[...document.querySelectorAll('#txrx tbody td:nth-child(2)')]"
                                    ".map(td => td.textContent)"),
                         ["Camera", "Desk", "Screen", "Projector"])

        mark = self.rig.server.log_mark()
        b.click("#stream-start")
        b.wait_for("document.getElementById('stream').naturalWidth > 1", what="the preview")
        b.click("#marlo-load")
        status = self.answer("marlo-answer")
        self.assertIn('"adminname": "admin"', status)
        self.assertIn('"onlinenum": 0', status)
        b.type_into("#marlo-form input", '{"note":"Grüße"}')
        b.click("#marlo-form button")
        self.assertTrue(self.answer("marlo-store-answer").startswith("200 OK"))
        b.type_into("#log-form input", "console line ✓")
        b.click("#log-form button")
        self.assertTrue(self.answer("log-answer").startswith("200 OK"))
        b.click("#log-load")
        b.wait_for("document.getElementById('log-answer').textContent.includes('console line ✓')",
                   what="the line in the log")
        b.screenshot("console")
        # Stopping the picture lets go of the stream and its worker.
        b.click("#stream-stop")
        self.rig.server.wait_for_log(r"requesting stream : \[0\]", ACTION_TIMEOUT, since=mark)


if __name__ == "__main__":
    unittest.main(verbosity=2)
