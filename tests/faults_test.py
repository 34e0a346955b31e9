#!/usr/bin/env python3
"""Faults around the server: device scripts missing or failing, the control
service killed and restarted, a device root that fills up during an
upgrade. Each case checks the documented answer and that the server keeps serving.
Measurements (gaps, waits) are printed, never asserted as timings. Run with
`python3 tests/faults_test.py` (KT_BUILD_DIR selects the build folder); the
full-disk case needs root (a tmpfs mount) and is skipped otherwise."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import (  # noqa: E402
    ERROR_RSP, JSON_HEAD, OK_RSP, multipart_body,
    OP_TEXT, WORKERS, ServerTestCase, WebSocket, build_request, connect, http_raw, wait_until)

LOGIN = '{"type":"login","command":"admin admin123"}'
LOGIN_REPLY = b'{"type":"result","comName":"","command":"","result":1}'
BOUNDARY = "----ktFaults7MA4YWxkTrZu0gW"


def envelope(text, kind="command"):
    return json.dumps({"comName": "ALL", "command": text, "result": 0, "type": kind},
                      separators=(",", ":")).encode() + b"\n"


def report(text):
    print(f"[measure] {text}", file=sys.stderr, flush=True)


class FaultCase(ServerTestCase):
    def request(self, sandbox, method, path, body=b"", headers=None, timeout=10):
        return http_raw(sandbox.http_port,
                        build_request(method, path, headers, body, sandbox.http_port),
                        timeout=timeout)

    def post_form(self, sandbox, path, fields, timeout=10):
        return self.request(sandbox, "POST", path, multipart_body(fields, BOUNDARY),
                            {"Content-Type": "multipart/form-data; boundary=" + BOUNDARY},
                            timeout)

    def logged_in(self, port):
        ws = WebSocket.connect(port)
        self.addCleanup(ws.close)
        ws.send_text(LOGIN)
        self.assertEqual(ws.recv_message(), (OP_TEXT, LOGIN_REPLY))
        return ws


class DeviceScriptTest(FaultCase):
    """Every device script missing, or failing (non-zero exit, no output,
    or junk): each route gives its documented answer and the server goes
    on serving."""

    @classmethod
    def setUpClass(cls):
        cls.rig = cls.start_class_runs({"main": ((), None)})["main"]
        cls.rig.server.wait_ready([cls.rig.sandbox.http_port])
        cls.rig.sim.wait_for_connections(1)
        sb = cls.rig.sandbox
        cls.sb = sb
        cls.scripts = {
            "changepasswd.sh": sb.root / "usr/local/bin/changepasswd.sh",
            "export_custom.sh": sb.root / "usr/local/bin/export_custom.sh",
            "clearcustom.sh": sb.root / "usr/local/bin/clearcustom.sh",
            "getServiceParam.sh": sb.webroot / "civetweb/getServiceParam.sh",
            "xml2JSON.sh": sb.webroot / "civetweb/xml2json/Demo/xml2JSON.sh",
        }

    # Ways a script can fail; None removes it.
    FAILURES = {
        "missing": None,
        "exit 1, silent": "#!/bin/sh\nexit 1\n",
        "errors only": "#!/bin/sh\necho 'broken: no such device' >&2\nexit 2\n",
        "not executable": "",
    }

    def failing(self, name):
        """Yields once per kind of failure with the script broken that way,
        putting it back afterwards."""
        path = self.scripts[name]
        original = path.read_bytes()
        try:
            for kind, text in self.FAILURES.items():
                with self.subTest(script=name, failure=kind):
                    path.unlink(missing_ok=True)
                    if kind == "not executable":
                        path.write_bytes(original)
                        path.chmod(0o644)
                    elif text is not None:
                        path.write_text(text)
                        path.chmod(0o755)
                    yield kind
                    self.assertTrue(self.rig.server.running(), self.rig.server.describe())
                    self.assertEqual(self.request(self.sb, "GET", "/getUpgrade"), OK_RSP)
        finally:
            path.write_bytes(original)
            path.chmod(0o755)

    def reboots(self):
        try:
            return len(self.sb.reboot_log.read_text().splitlines())
        except FileNotFoundError:
            return 0

    def test_password_change_without_its_script_reports_a_mistake_and_keeps_running(self):
        for _ in self.failing("changepasswd.sh"):
            before = self.reboots()
            raw = self.post_form(self.sb, "/custom_upload$", [
                ("sys_oldPwd", None, b"ubuntu123"), ("sys_newPwd", None, b"n3wpass"),
                ("sys_repeatPwd", None, b"n3wpass")])
            # No letter from the script: unknown mistake, and no reboot.
            self.assertEqual(raw, JSON_HEAD + b'{"result":"4"}')
            self.assertEqual(self.reboots(), before)

    def test_export_without_its_script_answers_500(self):
        for _ in self.failing("export_custom.sh"):
            self.assertEqual(self.request(self.sb, "GET", "/downloadCustom"), ERROR_RSP)

    def test_restore_without_its_clean_up_script_still_restores_and_reboots(self):
        banner = self.sb.webroot / "customization/banner.jpg"
        backup = self.sb.webroot / "customization/bannerBackup.jpg"
        for _ in self.failing("clearcustom.sh"):
            before = self.reboots()
            banner.write_bytes(b"customized")
            self.assertEqual(self.request(self.sb, "GET", "/custom_restore"), b"")
            self.assertEqual(banner.read_bytes(), backup.read_bytes())
            self.assertEqual(self.reboots(), before + 1)

    def test_service_parameters_without_their_script_are_empty(self):
        ws = self.logged_in(self.sb.http_port)
        query = "config get service capability service_http"
        for _ in self.failing("getServiceParam.sh"):
            ws.send_text(json.dumps({"type": "private", "command": query}))
            self.assertEqual(ws.recv_message(), (OP_TEXT, envelope(query + " ", "private")))
            raw = self.request(self.sb, "GET", "/marlo$")
            self.assertTrue(raw.startswith(JSON_HEAD), raw[:200])
            doc = json.loads(raw[len(JSON_HEAD):])
            self.assertEqual({k: doc["deviceinfo"][k] for k in ("http", "https")},
                             {"http": "", "https": ""})

    def test_scene_upload_without_its_converter_answers_500_and_cleans_up(self):
        props = self.sb.server_properties.read_bytes()
        for _ in self.failing("xml2JSON.sh"):
            raw = self.post_form(self.sb, "/scene_upload", [("scene", "s.hoi", b"<scene/>")])
            self.assertEqual(raw, ERROR_RSP)
            self.assertFalse((self.sb.classes / "SystemConfigtemp.hoi").exists())
            self.assertEqual(self.sb.server_properties.read_bytes(), props)


def urlencoded(path, body, chunked=False):
    """A URL-encoded form post; chunked sends body as it stands, chunk
    size lines included."""
    headers = [("Content-Type", "application/x-www-form-urlencoded")]
    if chunked:
        return build_request("POST", path, headers + [("Transfer-Encoding", "chunked")]) + body
    return build_request("POST", path, headers, body)


class HostileRequestTest(FaultCase):
    """Requests that hung a worker for good or read past a buffer in the
    HTTP library: a raw zero byte in a URL-encoded form (it must come as
    %00), a chunk size that overflows the body counter, a directory named
    with a percent escape. Each gets the route's answer within a bound and
    the server goes on serving."""

    NUL = b"=abc\x00def"
    # (case, request, every byte the server writes before it closes)
    CASES = [
        ("upgrade, skipped field", urlencoded("/upgrade", b"web" + NUL), ERROR_RSP),
        ("customization, value", urlencoded("/custom_upload", b"title" + NUL),
         JSON_HEAD + b'{"result":"0"}'),
        ("customization, stored value", urlencoded("/custom_upload", b"version" + NUL),
         JSON_HEAD + b'{"result":"0"}'),
        ("customization, zero byte past the first read",
         urlencoded("/custom_upload", b"title=" + b"x" * 70000 + NUL), JSON_HEAD + b'{"result":"0"}'),
        ("zone password list", urlencoded("/api/v1/zones/passwd", b"zonepw" + NUL), b""),
        ("zone description", urlencoded("/api/v1/zones/info", b"zoneinfo" + NUL), b""),
        ("zone page", urlencoded("/api/v1/zones/page", b"pagecustom" + NUL), b""),
        ("public preview", urlencoded("/api/v1/upload/public_tx_preview",
                                      b"public_tx_preview" + NUL), b""),
        ("device update", urlencoded("/update_device", b"file" + NUL), b""),
        ("scene upload", urlencoded("/scene_upload", b"scene" + NUL), b""),
        ("chunk of 2^63-1 bytes", urlencoded("/upgrade", b"7fffffffffffffff\r\nweb=1", True),
         ERROR_RSP),
        ("directory with an escaped letter", build_request("GET", "/%63ivetweb"),
         b"HTTP/1.1 301 Moved Permanently\r\nLocation: /civetweb/\r\n"
         b"Content-Length: 0\r\nConnection: close\r\n\r\n"),
    ]

    def test_each_gets_its_answer_and_the_server_serves_on(self):
        sb = self.make_sandbox()
        self.start_sim(sb)
        server = self.start_ready_server(sb)
        for case, req, answer in self.CASES:
            with self.subTest(case):
                raw = http_raw(sb.http_port, req, timeout=5)
                self.assertEqual(raw, answer)
                self.assertEqual(self.request(sb, "GET", "/getUpgrade"), OK_RSP,
                                 server.describe())
        self.assertTrue(server.running(), server.describe())


class ControlServiceRestartTest(FaultCase):
    """The control service killed and started again, ten times: the relay
    resumes each time on the same client connection and the server never
    ends. The gap (simulator listening again until the first relayed
    answer) is printed."""

    def test_relay_resumes_after_each_restart(self):
        sb = self.make_sandbox()
        sim = self.start_sim(sb)
        server = self.start_ready_server(sb)
        sim.wait_for_connections(1)
        ws = self.logged_in(sb.http_port)
        gaps = []
        for round_ in range(10):
            sim.kill()
            sim.start()
            started = time.monotonic()
            answer = envelope(f"back {round_}")
            got = None
            # Ask every 50 ms until an answer comes back: commands sent while
            # the link is down are lost, which is the documented behaviour.
            for _ in range(200):
                ws.send_text(json.dumps({"type": "command", "command": f"echo back {round_}"}))
                try:
                    while True:
                        _, got = ws.recv_message(0.05)
                        if got == answer:
                            break
                except TimeoutError:
                    pass
                if got == answer:
                    break
            self.assertEqual(got, answer, server.describe())
            gaps.append(time.monotonic() - started)
            # Drain the duplicates of the asks still in flight.
            try:
                while True:
                    ws.recv_message(0.2)
            except TimeoutError:
                pass
        self.assertTrue(server.running(), server.describe())
        report("control service restarts: gap to first relayed text (s): " +
               " ".join(f"{g:.2f}" for g in gaps) + f"; max {max(gaps):.2f}")


@unittest.skipUnless(os.geteuid() == 0 and shutil.which("mount"), "needs root for tmpfs")
class FullDiskTest(FaultCase):
    """The device root is a 2 MiB tmpfs: an upgrade whose package does not
    fit gets the error answer, runs nothing and does not reboot; once the
    space is back an upgrade works again."""

    def setUp(self):
        self.sb = self.make_sandbox()
        self.outside = Path(tempfile.mkdtemp(prefix="kt-fulldisk-"))
        self.addCleanup(shutil.rmtree, self.outside, True)
        saved = self.outside / "tree"
        shutil.copytree(self.sb.root, saved, symlinks=True)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", str(self.sb.root)],
                       check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", str(self.sb.root)], check=False)
        subprocess.run(["cp", "-a", f"{saved}/.", str(self.sb.root)], check=True)
        # The marks of a run and a reboot live off the full disk.
        self.ran = self.outside / "ran.log"
        self.rebooted = self.outside / "reboot.log"
        reboot = self.sb.root / "sbin/reboot"
        reboot.write_text(f"#!/bin/sh\necho reboot >> {self.rebooted}\n")
        self.start_sim(self.sb)
        self.server = self.start_ready_server(self.sb)
        self.pkgdir = self.sb.root / "home/ubuntu/upgradepkg"

    def package(self, name, size=0):
        return (f"#!/bin/sh\necho {name} >> {self.ran}\nexit 0\n".encode() +
                b"#" * size + b"\n")

    def free_bytes(self):
        st = os.statvfs(self.sb.root)
        return st.f_bavail * st.f_frsize

    def test_a_package_that_does_not_fit_is_refused_and_nothing_runs(self):
        for order in (["ktcmd", "web"], ["web", "ktcmd"]):
            with self.subTest(big_one_last=order[1]):
                fields = [(order[0], "small.bin", self.package(order[0])),
                          (order[1], "big.bin", self.package(order[1], 3 * 1024 * 1024))]
                raw = self.post_form(self.sb, "/upgrade", fields, timeout=30)
                self.assertEqual(raw, ERROR_RSP, self.server.describe())
                self.assertFalse(self.ran.exists(), "a package of a failed upgrade ran")
                self.assertFalse(self.rebooted.exists(), "a failed upgrade rebooted")
                self.assertEqual(sorted(os.listdir(self.pkgdir)), [])
                self.assertTrue(self.server.running(), self.server.describe())
        report(f"full disk: {self.free_bytes()} bytes free after the refused upgrades")
        # Space is back (the parser removed the cut file): upgrades work.
        raw = self.post_form(self.sb, "/upgrade", [("ktcmd", "k.bin", self.package("ktcmd")),
                                                   ("web", "w.bin", self.package("web"))])
        self.assertEqual(raw, OK_RSP)
        self.assertEqual(self.ran.read_text().split(), ["ktcmd", "web"])
        self.assertEqual(self.rebooted.read_text().split(), ["reboot"])


if __name__ == "__main__":
    unittest.main()
