#!/usr/bin/env python3
"""Hostile request fields against every place where a request reaches a
shell command, a file path or a fixed-size buffer: customization values,
the system password fields, the WebSocket login, command and service
query, upload file names, the zone check's query fields and the bodies of
/log$ and /marlo$.

Every hostile value that could start a program tries to create a file in a
canary folder outside every folder the server writes. After each group of
cases: the canary folder is still empty, no path appeared or vanished
outside what the route legitimately writes, and the server still gives its
normal answers. Run with `python3 tests/injection_test.py` (KT_BUILD_DIR
selects the build folder)."""

import json
import os
import re
import shutil
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import (  # noqa: E402
    JSON_HEAD, OK_RSP, OP_TEXT, ServerTestCase, WebSocket, build_request, http_raw, multipart_body)

PWD_OK = b"HTTP/1.1 200 OK\r\nServer: Apache-Coyote/1.1\r\nContent-Length: 0\r\n\r\n"
PWD_FAIL = b"HTTP/1.1 401 Unauthorized\r\nServer: Apache-Coyote/1.1\r\nContent-Length: 0\r\n\r\n"
LOGIN_REPLY = b'{"type":"result","comName":"","command":"","result":1}'
BOUNDARY = "----ktInjection7MA4YWxkTrZu0gW"
INITIAL_PASSWORD = b"ubuntu123"
# Every name a hostile value tries to create carries this word, so a file it
# made anywhere on the host can be found.
TOKEN = "ktinjcanary"


def hostile_values(canary):
    """(label, bytes): each one that could run a command tries to create
    canary/<TOKEN>-<label>."""
    def touch(label):
        return f"touch {canary}/{TOKEN}-{label}"
    return [
        ("substitution", f"$({touch('substitution')})".encode()),
        ("backticks", f"`{touch('backticks')}`".encode()),
        ("semicolon", f"x; {touch('semicolon')}".encode()),
        ("pipe", f"x | {touch('pipe')}".encode()),
        ("and", f"x && {touch('and')}".encode()),
        ("single-quote", f"x' ; {touch('single-quote')} ; echo '".encode()),
        ("double-quote", f'x" ; {touch("double-quote")} ; echo "'.encode()),
        ("backslash-quote", f"x\\' ; {touch('backslash-quote')} ; \\".encode()),
        ("newline", f"x\n{touch('newline')}\nx".encode()),
        ("glob", b"* ?* [a-z]* /*"),
        ("dot-dot", f"../../../../../../../..{canary}/{TOKEN}-dot-dot".encode()),
        ("long", b"A" * 10000),
        ("nul", f"a\0b; {touch('nul')}".encode()),
        ("invalid-utf-8", b"\xff\xfe\xc3\x28 \xed\xa0\x80 \xc0\xaf"),
    ]


def json_string(value):
    """value as a JSON string literal, its bytes kept (invalid UTF-8 too):
    only what JSON requires is escaped."""
    out = b'"'
    for b in value:
        if b in (0x22, 0x5C):
            out += b"\\" + bytes([b])
        elif b < 0x20:
            out += b"\\u%04x" % b
        else:
            out += bytes([b])
    return out + b'"'


def ws_frame(kind, command):
    return b'{"type":"' + kind + b'","command":' + json_string(command) + b"}"


def query_escape(value):
    """Bytes that cannot stand in a request line (blank, controls, "%",
    "&", "#" and bytes above 127) percent-escaped, the rest as sent."""
    out = b""
    for b in value:
        if b <= 0x20 or b >= 0x7F or b in b"%&#":
            out += b"%%%02X" % b
        else:
            out += bytes([b])
    return out


# Paths a route legitimately creates or removes, relative to the parent of
# the sandbox (sandbox folder name replaced by "S"). Content changes of
# existing files are not looked at here.
ALLOWED_CHANGES = [re.compile(p) for p in (
    r"S/reboot\.log",
    r"S/ktwebserver\.\d+\.std(out|err)",
    r"S/home/ubuntu/update/[^/]+",                      # update: directly inside only
    r"S/home/ubuntu/upgradepkg/(web|ktcmd)\.bin",
    r"S/home/ubuntu/zone/zone\.(json|pw|page)",
    r"S/home/ubuntu/apache-tomcat-7\.0\.42/webapps/ROOT/publictx\.jpg",
    r"S/home/ubuntu/apache-tomcat-7\.0\.42/webapps/ROOT/tempweb\.txt",
    r"S/home/ubuntu/apache-tomcat-7\.0\.42/webapps/ROOT/civetweb/temp\.txt",
    r"S/home/ubuntu/apache-tomcat-7\.0\.42/webapps/ROOT/customization/"
    r"(banner\.jpg|customversion)",
    r"S/home/ubuntu/apache-tomcat-7\.0\.42/webapps/ROOT/WEB-INF/classes/"
    r"(SystemConfigtemp\.hoi|project\.json|marloinfo\.json|userdevice\.properties)",
    r"S/etc/shadow\.new\.\d+",
)]


def tree(top):
    """Every path below top, relative to it."""
    paths = set()
    for folder, dirs, files in os.walk(top):
        for name in dirs + files:
            paths.add(os.path.relpath(os.path.join(folder, name), top))
    return paths


class InjectionCase(ServerTestCase):
    """One server in a sandbox inside a fresh parent folder, which also
    holds the canary folder: a command that ran, or a file written through
    "../", shows in that parent."""

    @classmethod
    def setUpClass(cls):
        cls.parent = Path(tempfile.mkdtemp(prefix="kt-injection-"))
        cls.addClassCleanup(shutil.rmtree, cls.parent, True)
        saved = tempfile.tempdir
        tempfile.tempdir = str(cls.parent)
        try:
            cls.rig = cls.start_class_runs({"main": ((), None)})["main"]
        finally:
            tempfile.tempdir = saved
        cls.rig.server.wait_ready([cls.rig.sandbox.http_port])
        cls.rig.sim.wait_for_connections(1)
        cls.sb = cls.rig.sandbox
        cls.port = cls.sb.http_port
        cls.canary = cls.parent / "canary"
        cls.canary.mkdir()
        cls.values = hostile_values(cls.canary)
        cls.sandbox_name = cls.sb.root.name
        zone = cls.sb.zone_dir
        zone.mkdir(parents=True, exist_ok=True)
        (zone / "zone.pw").write_bytes(b"alice:secret\n")

    def setUp(self):
        self.before = self.snapshot()
        self.mark = self.rig.server.log_mark()

    def tearDown(self):
        # Every test ends with the three proofs, also for its last case.
        self.assert_contained()

    # -- the three proofs ------------------------------------------------------

    def snapshot(self):
        return {p.replace(self.sandbox_name, "S", 1) if p.startswith(self.sandbox_name) else p
                for p in tree(self.parent)}

    def assert_contained(self, label=""):
        ran = sorted(os.listdir(self.canary))
        self.assertEqual(ran, [], f"{label}: a hostile value ran a command")
        # Nothing with the canary word anywhere near either: "../" climbs
        # from the sandbox to the parent, to /tmp and to /.
        strays = [p for top in ("/", "/tmp", "/root") for p in os.listdir(top) if TOKEN in p]
        self.assertEqual(strays, [], f"{label}: a hostile file name escaped")
        after = self.snapshot()
        changed = sorted((after - self.before) | (self.before - after))
        unexpected = [p for p in changed if not any(r.fullmatch(p) for r in ALLOWED_CHANGES)]
        self.assertEqual(unexpected, [], f"{label}: paths outside the route's own files")
        self.assertTrue(self.rig.server.running(), self.rig.server.describe())
        # The follow-up request gets its normal answer.
        self.assertEqual(self.raw("GET", "/getUpgrade"), OK_RSP,
                         f"{label}\n{self.rig.server.describe()}")

    # -- requests --------------------------------------------------------------

    def raw(self, method, target, body=b"", headers=None, timeout=10):
        if isinstance(target, str):
            target = target.encode()
        request = build_request(method, "TARGET", headers, body, self.port)
        request = request.replace(b"TARGET", target, 1)
        try:
            return http_raw(self.port, request, timeout=timeout)
        except (TimeoutError, ConnectionResetError) as exc:
            return repr(exc).encode()

    def post_form(self, path, fields):
        return self.raw("POST", path, multipart_body(fields, BOUNDARY),
                        {"Content-Type": "multipart/form-data; boundary=" + BOUNDARY})

    def cases(self):
        for label, value in self.values:
            with self.subTest(value=label):
                yield label, value
                self.assert_contained(label)


class CustomizationValueTest(InjectionCase):
    """Title, login title, language and device-name setting reach sed as one
    quoted word: no command runs, the properties files keep one entry per
    key, and a value is stored byte for byte or refused whole."""

    FIELDS = [
        ("title", "customization/custom.properties", b"webTitle"),
        ("login_title", "WEB-INF/classes/custom_en_US.properties", b"login_title"),
        ("language", "customization/custom.properties", b"language"),
        ("truename_replacement", "WEB-INF/classes/userdevice.properties",
         b"TRUENAME_REPLACEMENT"),
    ]

    def keys_of(self, path):
        return [line.split(b"=", 1)[0] for line in path.read_bytes().splitlines()]

    def test_values_are_stored_intact_or_refused_and_run_nothing(self):
        for field, rel, key in self.FIELDS:
            path = self.sb.webroot / rel
            keys = self.keys_of(path)
            for label, value in self.cases():
                with self.subTest(field=field):
                    raw = self.post_form("/custom_upload$", [(field, None, value)])
                    self.assertEqual(raw, JSON_HEAD + b'{"result":"0"}', label)
                    # No entry added, split or lost.
                    self.assertEqual(self.keys_of(path), keys, label)
                    stored = [line.split(b"=", 1)[1] for line in path.read_bytes().splitlines()
                              if line.startswith(key + b"=")]
                    refused = b"\n" in value or b"\0" in value or len(value) > 900
                    if not refused:
                        self.assertEqual(stored, [value], (label, path.read_bytes()))

    def test_the_info_document_stays_json_after_hostile_titles(self):
        for label, value in self.cases():
            self.post_form("/custom_upload$", [("title", None, value),
                                               ("login_title", None, value)])
            raw = self.raw("GET", "/get_custom_info")
            self.assertTrue(raw.startswith(JSON_HEAD), label)
            doc = json.loads(raw[len(JSON_HEAD):].decode("utf-8", "replace"))
            self.assertEqual(sorted(doc), ["language", "login_title", "web_title"])


class PasswordTest(InjectionCase):
    """The three password fields reach the password script as single
    arguments: a hostile old password is just a wrong one, a hostile new one
    is either refused by the script or stored exactly as typed."""

    def setUp(self):
        super().setUp()
        shadow = self.sb.root / "etc/shadow"
        saved = shadow.read_bytes()
        self.addCleanup(shadow.write_bytes, saved)

    def change(self, old, new, repeat=None):
        raw = self.post_form("/custom_upload$", [
            ("sys_oldPwd", None, old), ("sys_newPwd", None, new),
            ("sys_repeatPwd", None, new if repeat is None else repeat)])
        self.assertTrue(raw.startswith(JSON_HEAD), raw[:200])
        return raw[len(JSON_HEAD):]

    def test_a_hostile_old_password_is_only_wrong(self):
        for label, value in self.cases():
            answer = self.change(value, b"newpass1")
            # Too long or holding a NUL: refused before the script; else wrong.
            expected = b"3" if len(value) >= 100 or b"\0" in value else b"2"
            self.assertEqual(answer, b'{"result":"' + expected + b'"}', label)

    def test_a_hostile_new_password_is_refused_or_stored_exactly(self):
        for label, value in self.cases():
            answer = self.change(INITIAL_PASSWORD, value)
            printable = all(0x20 <= b < 0x7F for b in value) and b":" not in value
            if printable and len(value) < 100:
                self.assertEqual(answer, b'{"result":"0"}', label)
                # The exact text typed is now the password: it changes back.
                self.assertEqual(self.change(value, INITIAL_PASSWORD), b'{"result":"0"}', label)
            else:
                self.assertEqual(answer, b'{"result":"3"}', label)


class WebSocketTest(InjectionCase):
    """Credential text, command texts and the service query's parameter."""

    def open_logged_in(self):
        ws = WebSocket.connect(self.port)
        self.addCleanup(ws.close)
        ws.send_text('{"type":"login","command":"admin admin123"}')
        self.assertEqual(ws.recv_message(), (OP_TEXT, LOGIN_REPLY))
        return ws

    def test_a_hostile_credential_logs_nobody_in_and_keeps_the_connection(self):
        for label, value in self.cases():
            ws = WebSocket.connect(self.port)
            try:
                ws.send_frame(OP_TEXT, ws_frame(b"login", value))
                ws.send_frame(OP_TEXT, ws_frame(b"login", b"admin " + value))
                ws.expect_silence(0.2)
                ws.send_text('{"type":"login","command":"admin admin123"}')
                self.assertEqual(ws.recv_message(), (OP_TEXT, LOGIN_REPLY), label)
            finally:
                ws.close()

    def test_the_service_query_parameter_reaches_the_script_as_one_word(self):
        ws = self.open_logged_in()
        for label, value in self.cases():
            ws.send_frame(OP_TEXT, ws_frame(b"private",
                                            b"config get service capability " + value))
            opcode, payload = ws.recv_message()
            doc = json.loads(payload.decode("utf-8", "replace"))
            self.assertEqual((doc["type"], doc["comName"]), ("private", "ALL"), label)
        # The parameter a script knows still gets its value.
        ws.send_text('{"type":"private","command":"config get service capability service_http"}')
        doc = json.loads(ws.recv_message()[1])
        self.assertEqual(doc["command"],
                         f"config get service capability service_http {self.port}\n")

    def test_hostile_commands_are_relayed_and_run_nothing(self):
        ws = self.open_logged_in()
        for label, value in self.cases():
            ws.send_frame(OP_TEXT, ws_frame(b"command", value))
            ws.send_text('{"type":"command","command":"echo after"}')
            # The control service's answer to "echo after" comes after the
            # answer (if any) to the hostile text: the relay goes on.
            seen = []
            for _ in range(5):
                seen.append(ws.recv_message()[1])
                if seen[-1].startswith(b'{"comName":"ALL","command":"after"'):
                    break
            else:
                self.fail(f"{label}: relay stopped; got {seen!r}")


class UploadFileNameTest(InjectionCase):
    """Client file names never choose a path outside the route's folder: the
    fixed-name routes store under their own names, the device update under
    the last component of the client's name, inside the update folder."""

    def names(self):
        for label, value in self.cases():
            # The hostile value as the whole name and as a path ending in
            # it, raw and percent-escaped (the form parser decodes names).
            yield label, [value, b"dir/" + value, value + b"/x", query_escape(value),
                          b"..%2F..%2F..%2F" + query_escape(value)]

    def test_zone_fields(self):
        for label, names in self.names():
            for name in names:
                self.post_form("/api/v1/zones/passwd", [("zonepw", name, b"alice:secret\n"),
                                                        ("zoneinfo", name, b"{}")])
            self.assertEqual(
                self.raw("GET", "/api/v1/action?cmdtype=control&cmdstr=verifypasswd"
                                "&username=alice&passwd=secret"), PWD_OK, label)

    def test_device_update(self):
        update = self.sb.root / "home/ubuntu/update"
        for label, names in self.names():
            for name in names:
                self.post_form("/update_device", [("file", name, b"payload")])
                for entry in update.iterdir():
                    self.assertTrue(entry.is_file(), f"{label}: {entry}")

    def test_scene_upload(self):
        classes = self.sb.classes
        for label, names in self.names():
            for name in names:
                raw = self.post_form("/scene_upload", [("scene", name, b"<not a scene/>")])
                self.assertFalse(raw.startswith(OK_RSP), f"{label}: {raw[:100]!r}")
                self.assertFalse((classes / "SystemConfigtemp.hoi").exists(), label)

    def test_upgrade(self):
        ran = self.parent / "upgrade-ran"
        stored = self.sb.root / "home/ubuntu/upgradepkg/ktcmd.bin"
        package = b"#!/bin/sh\necho ran >> " + str(ran).encode() + b"\n"
        for label, names in self.names():
            for name in names:
                raw = self.post_form("/upgrade", [("ktcmd", name, package)])
                # A name the form reader cannot decode skips the field; a
                # package that was stored under its fixed name has run.
                if raw == OK_RSP and stored.exists():
                    self.assertTrue(ran.exists(), label)
                ran.unlink(missing_ok=True)

    def test_customization_images(self):
        for label, names in self.names():
            for name in names:
                raw = self.post_form("/custom_upload$", [("banner", name, b"\xff\xd8image")])
                self.assertEqual(raw, JSON_HEAD + b'{"result":"0"}', label)


class QueryAndBodyTest(InjectionCase):
    """The zone check's query fields, and the bodies of /log$ and /marlo$."""

    def check(self, query):
        return self.raw("GET", b"/api/v1/action?" + query)

    def test_hostile_user_names_and_passwords_only_fail_the_check(self):
        for label, value in self.cases():
            v = query_escape(value)
            for query in (b"cmdtype=control&cmdstr=verifypasswd&username=" + v + b"&passwd=x",
                          b"cmdtype=control&cmdstr=verifypasswd&username=alice&passwd=" + v,
                          b"cmdtype=" + v + b"&cmdstr=verifypasswd&username=a&passwd=b"):
                raw = self.check(query)
                # A listed pair is never made up from a hostile value; a
                # field too long for its buffer makes the query malformed.
                self.assertNotEqual(raw, PWD_OK, label)
        self.assertEqual(self.check(b"cmdtype=control&cmdstr=verifypasswd"
                                    b"&username=alice&passwd=secret"), PWD_OK)

    def test_log_bodies_become_one_log_line(self):
        for label, value in self.cases():
            mark = self.rig.server.log_mark()
            self.assertEqual(self.raw("POST", "/log$", value), OK_RSP, label)
            lines = [line for line in self.rig.server.log(mark).splitlines()
                     if "Marlo : " in line]
            self.assertEqual(len(lines), 1, label)

    def test_marlo_documents_are_stored_and_returned_as_one_string(self):
        for label, value in self.cases():
            self.assertEqual(self.raw("POST", "/marlo$", value), OK_RSP, label)
            raw = self.raw("GET", "/marlo$")
            self.assertTrue(raw.startswith(JSON_HEAD), label)
            doc = json.loads(raw[len(JSON_HEAD):].decode("utf-8", "replace"))
            self.assertEqual(sorted(doc), ["admininfo", "deviceinfo", "marloinfo"], label)
            stored = (self.sb.classes / "marloinfo.json").read_bytes()
            self.assertEqual(stored, value.split(b"\0")[0][:3071], label)


class LogTest(InjectionCase):
    """The log is served to anyone (/log$): it holds no password, and what a
    client sends is escaped so one request writes whole lines of its own."""

    MARK = "FORGED-ktlog"

    def zone_check(self, name, password):
        return self.raw("GET", b"/api/v1/action?cmdtype=control&cmdstr=verifypasswd&username="
                        + name + b"&passwd=" + password)

    def ws_send(self, *frames, login=None):
        ws = WebSocket.connect(self.port)
        try:
            if login:
                ws.send_text('{"type":"login","command":"%s"}' % login)
                self.assertEqual(ws.recv_message(), (OP_TEXT, LOGIN_REPLY))
            for frame in frames:
                ws.send_frame(OP_TEXT, frame)
            ws.send_text('{"type":"private","command":"other"}')
            ws.expect_silence(0.2)
        finally:
            ws.close()

    def log_after(self, mark, action):
        action()
        return self.rig.server.log(mark).encode("utf-8", "surrogateescape")

    def test_no_password_reaches_the_log(self):
        rows = [
            ("zone check, listed", lambda: self.zone_check(b"alice", b"secret"), [b"secret"]),
            ("zone check, not listed", lambda: self.zone_check(b"alice", b"Wr0ng-4711"),
             [b"secret", b"Wr0ng-4711"]),
            ("password change", lambda: self.post_form("/custom_upload$", [
                ("sys_oldPwd", None, b"Old-4711"), ("sys_newPwd", None, b"New-4712"),
                ("sys_repeatPwd", None, b"New-4712")]), [b"Old-4711", b"New-4712"]),
            ("status document", lambda: self.raw("GET", "/marlo$"), [b"admin123"]),
            ("websocket login", lambda: self.ws_send(login="admin admin123"), [b"admin123"]),
        ]
        for label, action, passwords in rows:
            with self.subTest(label):
                log = self.log_after(self.rig.server.log_mark(), action)
                leaks = [line for line in log.splitlines()
                         if any(p in line for p in passwords)]
                self.assertEqual(leaks, [])

    def test_request_data_never_starts_a_log_line(self):
        mark = self.MARK.encode()
        rows = [
            ("zone name, line feed", lambda: self.zone_check(b"a%0A" + mark, b"x")),
            ("zone name, carriage return", lambda: self.zone_check(b"a%0D" + mark, b"x")),
            ("websocket members", lambda: self.ws_send(
                b'{"type":"x\\n' + mark + b'","command":"y\\r' + mark
                + b'","result":"\\n' + mark + b'","comName":"\\r\\n' + mark + b'"}')),
            ("websocket login", lambda: self.ws_send(
                b'{"type":"login","command":"a\\n' + mark + b' b"}')),
            ("websocket frame", lambda: self.ws_send(b'{"type":"x"}\n' + mark,
                                                     b'{"type":"x"}\r' + mark)),
            ("form value and file name", lambda: self.post_form("/custom_upload$", [
                ("title", None, b"t\r\n" + mark), ("sys_newPwd", None, b"p\n" + mark),
                ("banner", b"b%0A" + mark + b".jpg", b"img")])),
        ]
        for label, action in rows:
            with self.subTest(label):
                log = self.log_after(self.rig.server.log_mark(), action)
                self.assertEqual([line for line in log.splitlines() if line.startswith(mark)], [])


if __name__ == "__main__":
    unittest.main()
