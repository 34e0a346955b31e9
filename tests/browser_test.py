#!/usr/bin/env python3
"""The sandbox pages in Debian's headless Chromium (over DevTools): what a real
browser sends (WebSocket handshake and extensions, TLS choice) and accepts (it
fails a WebSocket on a text frame that is not UTF-8)."""

import itertools, json, os, shutil, subprocess as sp, sys, tempfile, time, unittest  # noqa
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import OP_TEXT, ServerTestCase, WebSocket, _spawn, _terminate, wait_until  # noqa

CHROMIUM = shutil.which("chromium")
ACTION_TIMEOUT = 15.0  # well under a second on an idle machine; bounds for a loaded one


class Chromium:
    """One headless Chromium with one page (a flat DevTools session)."""

    def __init__(self, workdir):
        profile, self.ids, self.session, self.ws = Path(workdir) / "profile", None, None, None
        self.proc = _spawn([CHROMIUM, "--headless=new", "--no-sandbox", "--disable-gpu",
                            "--ignore-certificate-errors", "--remote-debugging-port=0",
                            f"--user-data-dir={profile}", "--no-first-run", "--disable-extensions",
                            "--disable-background-networking", "about:blank"],
                           stdin=sp.DEVNULL, stdout=sp.DEVNULL, stderr=sp.DEVNULL)
        active = profile / "DevToolsActivePort"
        if not wait_until(lambda: active.exists() and len(active.read_text().split()) == 2, 30):
            self.close()
            raise RuntimeError("chromium did not open its DevTools port")
        port, path = active.read_text().split()
        self.ws, self.ids = WebSocket.connect(int(port), path, timeout=10), itertools.count(1)
        page = next(t for t in self.call("Target.getTargets")["targetInfos"] if t["type"] == "page")
        self.session = self.call("Target.attachToTarget", targetId=page["targetId"],
                                 flatten=True)["sessionId"]

    def close(self):
        self.ws and self.ws.sock.close()
        _terminate(self.proc, 15, 5)

    def call(self, method, **params):
        ident, session = next(self.ids), {"sessionId": self.session} if self.session else {}
        self.ws.send_text(json.dumps({"id": ident, "method": method, "params": params, **session}))
        deadline = time.monotonic() + ACTION_TIMEOUT
        while (reply := json.loads(self.ws.recv_text(deadline - time.monotonic()))).get("id") \
                != ident:
            pass  # an event
        if "error" in reply:
            raise RuntimeError(f"{method}: {reply['error']}")
        return reply["result"]

    def evaluate(self, expression):
        """Its value; None when it threw or the page is between two documents."""
        try:
            result = self.call("Runtime.evaluate", expression=expression, returnByValue=True)
        except RuntimeError:
            return None
        return None if "exceptionDetails" in result else result["result"].get("value")

    def wait_for(self, expression, what):
        """Until the expression is truthy; fails after ACTION_TIMEOUT."""
        if not wait_until(lambda: self.evaluate(expression), ACTION_TIMEOUT, 0.1):
            raise AssertionError(f"page never showed {what}: "
                                 f"{self.evaluate('document.body.innerText')!r}")

    def goto(self, url):
        self.call("Page.navigate", url=url)
        self.wait_for(f"location.href === {json.dumps(url)} && document.readyState === 'complete'",
                      url)

    def act(self, selector, text=None):
        """Types text into, or else clicks the element."""
        element = f"document.querySelector({json.dumps(selector)})"
        if text is not None:
            self.evaluate(f"(e => {{ e.value = ''; e.focus(); }})({element})")
            self.call("Input.insertText", text=text)
        else:
            self.evaluate(f"{element}.click()")


class BrowserTest(ServerTestCase):
    @classmethod
    def setUpClass(cls):
        if CHROMIUM is None:
            raise RuntimeError("chromium is missing: scripts/install-deps.sh installs it")
        cls.runs = cls.start_class_runs({mode: (["-m", mode], None) for mode in ("http", "https")})
        for mode, run in cls.runs.items():
            run.server.wait_ready([getattr(run.sandbox, mode + "_port")])
        cls.work = Path(tempfile.mkdtemp(prefix="kt-browser-"))
        cls.addClassCleanup(shutil.rmtree, cls.work, ignore_errors=True)
        cls.browser = Chromium(cls.work)
        cls.addClassCleanup(cls.browser.close)

    def lines_with(self, text):
        return (f"[...document.querySelectorAll('#log div')].some(d => d.textContent.includes("
                f"{json.dumps(text)}))")

    def test_relay_in_both_schemes_keeps_text_intact_and_survives_invalid_utf8(self):
        b, text = self.browser, 'Grüße "✓" 😀 ünïcödé'
        for scheme, run in self.runs.items():
            with self.subTest(scheme=scheme):
                port = getattr(run.sandbox, scheme + "_port")
                b.goto(f"{scheme}://127.0.0.1:{port}/")
                b.act("#pwd", "admin123")
                b.act("#login")
                b.wait_for("document.getElementById('state').textContent === 'logged in'", "login")
                b.act("#cmd", "echo " + text)
                b.act("#send")
                b.wait_for(self.lines_with(json.dumps(text, ensure_ascii=False)[1:-1]), "the echo")
                # Bytes that are no UTF-8 come back from the device as they went; the
                # browser must still get valid UTF-8, or it fails the whole connection.
                with WebSocket.connect(port, tls=scheme == "https") as ws:
                    ws.send_text('{"type":"login","command":"admin admin123"}')
                    ws.recv_message()
                    ws.send_frame(OP_TEXT, b'{"type":"command","command":"echo bad \xff\xc3( end"}')
                # Shown at all: the browser kept the connection.
                b.wait_for(self.lines_with("bad \ufffd"), "the broadcast")


if __name__ == "__main__":
    unittest.main(verbosity=2)
