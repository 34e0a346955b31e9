#!/usr/bin/env python3
"""The WebSocket relay end to end: serial numbers, login against the
credential slots of server.properties, forwarding of commands to the
control service (devctl-sim), the broadcast envelope, the service-parameter
query, frames that must not disturb a connection, and the online count
under many clients. Run with `python3 tests/relay_test.py` (KT_BUILD_DIR
selects the build folder)."""

import json
import os
import re
import signal
import socket
import struct
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import (  # noqa: E402
    OP_BINARY, OP_TEXT, Run, ServerTestCase, WebSocket, WebSocketClosed, WebSocketHandshakeError,
    build_request, http_get, http_raw, multipart_body, wait_until)

# The one reply a successful login gets: 54 bytes, no line end. Clients of
# the device compare it as a whole.
LOGIN_REPLY = b'{"type":"result","comName":"","command":"","result":1}'
ADMIN = "admin admin123"
OPERATOR = "operator operator123"

ONLINE_LINE = re.compile(r"Rezudezi : Online num \[(-?\d+)\]")
DROPPED_LINE = "Rezudezi : Client dropped from the set of webserver connections"
JOIN_LINE = "Rezudezi : Websocket Connect and Join List"
LEAVE_LINE = "Rezudezi : Websocket Close and Leave List"
RECEIVED_LINE = "Rezudezi : data recv from web is "
MAX_FRAME = 64 * 1024
SILENCE = 0.4  # how long "nothing arrives" is watched
REPLACEMENT = "\ufffd".encode()  # what a client gets for bytes that are no UTF-8


def envelope(text, kind="command"):
    """The broadcast envelope for a text that needs no escaping."""
    return ('{"comName":"ALL","command":"%s","result":0,"type":"%s"}\n'
            % (text, kind)).encode()


def frame(kind, command=None, **members):
    doc = {"type": kind}
    if command is not None:
        doc["command"] = command
    doc.update(members)
    return json.dumps(doc)


def ready_servers(runs):
    for run in runs.values():
        run.server.wait_ready([run.sandbox.http_port])
        run.sim.wait_for_connections(1)


class RelayCase(ServerTestCase):
    """Clients opened by a test are closed when it ends."""

    rig = None

    def open(self, run=None):
        ws = WebSocket.connect((run or self.rig).sandbox.http_port)
        self.addCleanup(ws.close)
        return ws

    def login(self, ws, credential=ADMIN):
        ws.send_text(frame("login", credential))
        self.assertEqual(ws.recv_message(), (OP_TEXT, LOGIN_REPLY))
        return ws

    def logged_in(self, run=None, credential=ADMIN):
        return self.login(self.open(run), credential)

    def echo(self, ws, text):
        ws.send_text(frame("command", "echo " + text))

    def online_counts(self, since, run=None):
        log = (run or self.rig).server.log(since)
        return [int(n) for n in ONLINE_LINE.findall(log)]

    def wait_dropped(self, since, count, run=None):
        server = (run or self.rig).server
        ok = wait_until(lambda: server.log(since).count(DROPPED_LINE) >= count, 5)
        self.assertTrue(ok, f"{count} closes never logged\n{server.describe()}")

    def wait_registry_empty(self, run=None):
        """Every connection that joined the registry has left it."""
        server = (run or self.rig).server
        ok = wait_until(lambda: server.log().count(JOIN_LINE) == server.log().count(LEAVE_LINE), 10)
        self.assertTrue(ok, f"registry entries left over\n{server.describe()}")

    def journal_entry(self, data, run=None):
        sim = (run or self.rig).sim
        entry = wait_until(
            lambda: next((e for e in sim.journal() if e.data == data), None), 5)
        self.assertIsNotNone(entry, f"{data!r} never reached the control service")
        return entry


class SerialNumberTest(RelayCase):
    """Connections are numbered from 30001 in connect order, never reused;
    a command carries its connection's number and connect time."""

    @classmethod
    def setUpClass(cls):
        runs = cls.start_class_runs({"main": ((), None)})
        ready_servers(runs)
        cls.rig = runs["main"]

    def connect_timed(self):
        before = time.monotonic()
        ws = self.open()
        after = time.monotonic()
        return ws, int(before * 1000) - 1, int(after * 1000) + 1

    def test_numbers_count_up_across_closes_and_commands_carry_number_and_connect_time(self):
        port = self.rig.sandbox.http_port
        mark = self.rig.server.log_mark()

        first, lo, hi = self.connect_timed()
        self.login(first)
        self.echo(first, "from-first")
        entry = self.journal_entry("echo from-first")
        self.assertEqual(entry.sn, 30001)
        # Both times come from the monotonic clock in milliseconds.
        self.assertTrue(lo <= entry.conn_time <= hi, (lo, entry, hi))
        self.assertLessEqual(entry.conn_time, entry.send_time)
        self.assertLessEqual(entry.send_time, int(time.monotonic() * 1000) + 1)
        self.assertEqual(first.recv_message(), (OP_TEXT, envelope("from-first")))
        first.close()
        self.wait_dropped(mark, 1)

        # Plain HTTP requests take no number; a client that never logs in does.
        http_get(port, "/index.html")
        never = self.open()
        never.close()
        self.wait_dropped(mark, 2)

        third, lo, hi = self.connect_timed()
        fourth = self.open()
        self.login(fourth)
        self.login(third)
        self.echo(fourth, "from-fourth")
        self.echo(third, "from-third-a")
        time.sleep(0.01)
        self.echo(third, "from-third-b")
        a = self.journal_entry("echo from-third-a")
        b = self.journal_entry("echo from-third-b")
        d = self.journal_entry("echo from-fourth")
        self.assertEqual((a.sn, b.sn, d.sn), (30003, 30003, 30004))
        self.assertTrue(lo <= a.conn_time <= hi, (lo, a, hi))
        self.assertEqual(a.conn_time, b.conn_time)
        self.assertLessEqual(a.send_time, b.send_time)
        self.assertLessEqual(a.conn_time, d.conn_time)


class LoginTest(RelayCase):
    """The credential text is name, one blank, password, compared byte for
    byte with the slots of server.properties; only a match is answered."""

    @classmethod
    def setUpClass(cls):
        def slot3_only(sandbox):
            # Administrator and slots 1 and 5 absent, slot 2 present but
            # empty: their expected text would be a single blank. Slot 4 has
            # a name and an empty password.
            sandbox.server_properties.write_text(
                "webTitle=device\nuserName2=\nuserPassWord2=\nuserName3=third\n"
                "userPassWord3=pw3\nuserName4=four\nuserPassWord4=\n")
        runs = cls.start_class_runs({"main": ((), None), "slot3": ((), slot3_only),
                                     "throttle": ((), None)})
        ready_servers(runs)
        cls.rig = runs["main"]
        cls.slot3 = runs["slot3"]
        cls.throttle = runs["throttle"]

    def assert_not_logged_in(self, ws, run=None):
        """A command from a connection that is not logged in closes it and
        never reaches the control service."""
        marker = f"echo not-forwarded-{time.monotonic_ns()}"
        ws.send_text(frame("command", marker))
        self.assertTrue(ws.wait_closed(5), "connection still open after a command")
        # Later traffic of the same link proves the marker was not just late.
        run = run or self.rig
        probe = self.logged_in(run, "third pw3" if run is self.slot3 else ADMIN)
        self.echo(probe, "probe-after-refusal")
        self.assertEqual(probe.recv_message(), (OP_TEXT, envelope("probe-after-refusal")))
        texts = [e.data for e in run.sim.journal()]
        self.assertNotIn(marker, texts)

    def test_administrator_and_user_slot_log_in_with_the_exact_reply_to_that_connection_only(self):
        for credential in (ADMIN, OPERATOR):
            with self.subTest(credential=credential):
                watcher = self.logged_in()
                bystander = self.open()
                ws = self.open()
                mark = self.rig.server.log_mark()
                ws.send_text(frame("login", credential))
                opcode, payload = ws.recv_message()
                self.assertEqual((opcode, len(payload)), (OP_TEXT, 54))
                self.assertEqual(payload, LOGIN_REPLY)
                watcher.expect_silence(SILENCE)
                bystander.expect_silence(0.05)
                self.assertEqual(len(self.online_counts(mark)), 1)

    def test_a_second_login_on_one_connection_is_answered_again_and_counts_once(self):
        ws = self.logged_in()
        mark = self.rig.server.log_mark()
        self.login(ws)
        self.login(ws, OPERATOR)
        self.assertIn("Rezudezi : send sucess", self.rig.server.log(mark))
        self.assertEqual(self.online_counts(mark), [])

    def test_failed_logins_send_nothing_and_keep_the_connection_open_for_a_retry(self):
        failures = [
            "admin admin12",          # wrong password
            "admin  admin123",        # two blanks
            "ADMIN admin123",         # other case of the name
            "admin ADMIN123",         # other case of the password
            "admin admin123 ",        # trailing blank
            " admin admin123",        # leading blank
            "adminadmin123",
            "admin",
            "operator admin123",      # password of another slot
            "admin\tadmin123",
            "",
        ]
        ws = self.open()
        mark = self.rig.server.log_mark()
        for credential in failures:
            ws.send_text(frame("login", credential))
        ws.send_text(frame("login", "admin"))  # without a command member at all
        # Frames of one connection are handled in order: the first thing to
        # arrive must be the answer to the good login sent last.
        self.login(ws)
        log = self.rig.server.log(mark)
        self.assertEqual(log.count("Rezudezi : auth failed"), len(failures) + 1)
        self.assertEqual(log.count("Rezudezi : auth sucess"), 1)

    def test_a_failed_login_after_a_good_one_does_not_log_out(self):
        ws = self.logged_in()
        ws.send_text(frame("login", "admin wrong"))
        self.echo(ws, "still-in")
        self.assertEqual(ws.recv_message(), (OP_TEXT, envelope("still-in")))

    def test_user_slot_3_works_without_slots_1_and_2(self):
        ws = self.logged_in(self.slot3, "third pw3")
        self.echo(ws, "slot3")
        self.assertEqual(ws.recv_message(), (OP_TEXT, envelope("slot3")))
        # The administrator of the other sandbox is not known here.
        other = self.open(self.slot3)
        other.send_text(frame("login", ADMIN))
        self.assert_not_logged_in(other, self.slot3)

    def test_absent_or_empty_slots_do_not_let_a_single_blank_log_in(self):
        for credential in (" ", "", "  ", "four ", "four"):
            with self.subTest(credential=credential):
                ws = self.open(self.slot3)
                mark = self.slot3.server.log_mark()
                ws.send_text(frame("login", credential))
                ws.expect_silence(SILENCE)
                self.assertNotIn("auth sucess", self.slot3.server.log(mark))
                self.assert_not_logged_in(ws, self.slot3)

    def test_only_pages_of_the_device_itself_may_open_a_websocket(self):
        port = self.rig.sandbox.http_port
        # (Host, Origin or None, accepted): host names compared without ports.
        rows = [
            (None, None, True),                                  # native client
            (None, "http://127.0.0.1:8443", True),               # another port
            (None, "https://127.0.0.1", True),
            ("Device.Local:80", "http://device.local", True),
            (f"[::1]:{port}", "http://[::1]:8443", True),
            (None, "http://evil.example", False),
            (None, "http://127.0.0.1.evil.example", False),
            (None, f"http://evil.example/127.0.0.1:{port}", False),
            (None, "null", False),                               # sandboxed page
            (f"[::1]:{port}", "http://[::2]", False),
            (f"[::1]:{port}", "http://[::1]x", False),
        ]
        for host, origin, accepted in rows:
            with self.subTest(host=host, origin=origin):
                headers = {"Host": host} if host else {}
                if origin is not None:
                    headers["Origin"] = origin
                mark = self.rig.server.log_mark()
                try:
                    ws = WebSocket.connect(port, headers=headers)
                except WebSocketHandshakeError as refused:
                    self.assertFalse(accepted, refused)
                    self.assertTrue(refused.response_head.startswith(b"HTTP/1.1 403 "),
                                    refused.response_head)
                    # Never registered, so never counted or looked for at close.
                    self.assertNotIn("Join List", self.rig.server.log(mark))
                    continue
                self.addCleanup(ws.close)
                self.assertTrue(accepted, "cross-site handshake accepted")
                self.login(ws)

    def test_after_a_failure_logins_from_the_address_wait_their_turn_but_none_is_refused(self):
        run = self.throttle
        ws = self.open(run)
        mark = run.server.log_mark()
        ws.send_text(frame("login", "admin wrong"))
        started = time.monotonic()
        for i in range(20):
            ws.send_text(frame("login", f"admin wrong{i}"))
        ws.send_text(frame("login", ADMIN))
        self.assertEqual(ws.recv_message(timeout=20), (OP_TEXT, LOGIN_REPLY))
        self.assertGreaterEqual(time.monotonic() - started, 3.0)
        log = run.server.log(mark)
        self.assertEqual(log.count("Rezudezi : auth failed"), 21)
        self.assertEqual(log.count("[WARN] login attempts from 127.0.0.1"), 1, log)
        # The log shows which slot was tried, never its password.
        self.assertIn("Rezudezi : verify login pwd : [admin ******]", log)
        self.assertNotIn("verify login pwd : [admin admin123]", log)

    def test_credentials_are_read_anew_for_every_login(self):
        # The store is edited by the customization pages while the server
        # runs; no restart is needed for a new user.
        props = self.slot3.sandbox.server_properties
        original = props.read_text()
        self.addCleanup(props.write_text, original)
        props.write_text(original + "userName5=fifth\r\nuserPassWord5=pw5\r\n")
        self.logged_in(self.slot3, "fifth pw5")


class ForwardingTest(RelayCase):
    """Commands go to the control service only from logged-in connections;
    every text of the service reaches every logged-in client in the
    envelope; the service-parameter query is answered the same way."""

    @classmethod
    def setUpClass(cls):
        runs = cls.start_class_runs({"main": ((), None)})
        ready_servers(runs)
        cls.rig = runs["main"]

    def test_a_command_before_login_closes_the_connection_and_is_not_forwarded(self):
        ws = self.open()
        mark = self.rig.server.log_mark()
        ws.send_text(frame("command", "echo too-early"))
        self.assertTrue(ws.wait_closed(5))
        self.wait_dropped(mark, 1)
        log = self.rig.server.log(mark)
        self.assertIn("Rezudezi : This websocket without verify,so closeed", log)
        self.assertEqual(self.online_counts(mark), [])
        probe = self.logged_in()
        self.echo(probe, "after-too-early")
        self.assertEqual(probe.recv_message(), (OP_TEXT, envelope("after-too-early")))
        self.assertNotIn("echo too-early", [e.data for e in self.rig.sim.journal()])

    def test_the_device_answer_reaches_every_logged_in_client_and_no_other(self):
        sender = self.logged_in()
        others = [self.logged_in(), self.logged_in(credential=OPERATOR)]
        fresh = self.open()
        refused = self.open()
        refused.send_text(frame("login", "admin nope"))
        self.echo(sender, "hello")
        expected = (OP_TEXT, b'{"comName":"ALL","command":"hello","result":0,"type":"command"}\n')
        # Nothing but the device's own answer comes back to the sender.
        self.assertEqual(sender.recv_message(), expected)
        for ws in others:
            self.assertEqual(ws.recv_message(), expected)
        for ws in [sender] + others + [fresh, refused]:
            ws.expect_silence(SILENCE / 4)
        self.assertEqual(self.journal_entry("echo hello").data, "echo hello")

    def test_the_command_text_reaches_the_device_unchanged(self):
        ws = self.logged_in()
        text = 'echo  two  blanks\tand "quotes" {"type":"login"} é'
        ws.send_text(frame("command", text))
        self.journal_entry(text)

    def test_envelope_escapes_json_specials_and_sends_only_valid_utf8(self):
        ws = self.logged_in()
        # Sent as raw frame bytes: \u escapes for the control characters;
        # DEL and UTF-8 stay as they are, two bytes that are no UTF-8 reach
        # the device unchanged and the clients as U+FFFD each.
        raw = (b'{"type":"command","command":"echo q\\"b\\\\s/'
               b'\\b\\f\\n\\r\\t\\u0001\\u001f\\u0010\x7f\xc3\xa9\xe4\xb8\xad\xff\xfe end"}')
        ws.send_frame(OP_TEXT, raw)
        expected = (b'{"comName":"ALL","command":"q\\"b\\\\s/'
                    b'\\b\\f\\n\\r\\t\\u0001\\u001F\\u0010\x7f\xc3\xa9\xe4\xb8\xad'
                    + REPLACEMENT * 2 + b' end","result":0,"type":"command"}\n')
        self.assertEqual(ws.recv_message(), (OP_TEXT, expected))
        device_text = (b'echo q"b\\s/\b\f\n\r\t\x01\x1f\x10\x7f\xc3\xa9\xe4\xb8\xad\xff\xfe end'
                       .decode("utf-8", "surrogateescape"))
        self.journal_entry(device_text)

    def test_a_service_query_that_is_no_utf8_is_answered_in_valid_utf8(self):
        ws = self.logged_in()
        port = self.rig.sandbox.http_port
        query = b"config get service capability service_http "
        # C0 AF: an overlong slash; ED A0 80: a surrogate; then valid UTF-8.
        ws.send_frame(OP_TEXT, b'{"type":"private","command":"' + query +
                      b'\xc0\xaf|\xed\xa0\x80|\xf0\x9f\x98\x80"}')
        answer = (query + REPLACEMENT * 2 + b"|" + REPLACEMENT * 3 + b"|\xf0\x9f\x98\x80 "
                  + f"{port}\\n".encode())
        self.assertEqual(ws.recv_message(),
                         (OP_TEXT, b'{"comName":"ALL","command":"' + answer +
                          b'","result":0,"type":"private"}\n'))

    def test_an_empty_device_text_gives_an_empty_command_member(self):
        ws = self.logged_in()
        ws.send_text(frame("command", "echo"))
        self.assertEqual(ws.recv_message(), (OP_TEXT, envelope("")))

    def test_the_service_query_in_any_case_is_answered_to_all_logged_in_clients(self):
        sandbox = self.rig.sandbox
        a, b = self.logged_in(), self.logged_in()
        asker = self.open()  # not logged in: may ask, but is not answered
        cases = [
            (asker, "CONFIG GET SERVICE CAPABILITY service_http",
             f"{sandbox.http_port}\\n"),
            (a, "config get service capability service_https", f"{sandbox.https_port}\\n"),
            (b, "Config Get Service capability service_http extra words",
             f"{sandbox.http_port}\\n"),
            # The script knows no such parameter and prints nothing.
            (a, "config get service capability service_ftp", ""),
            # Four words only: the fourth stands in for the parameter.
            (a, "config get service capability", ""),
        ]
        for ws, query, output in cases:
            with self.subTest(query=query):
                ws.send_text(frame("private", query))
                expected = (OP_TEXT, envelope(f"{query} {output}", "private"))
                self.assertEqual(a.recv_message(), expected)
                self.assertEqual(b.recv_message(), expected)
        asker.expect_silence(SILENCE)

    def test_the_query_parameter_reaches_the_script_as_one_word_never_run_by_the_shell(self):
        ws = self.logged_in()
        target = self.rig.sandbox.root / "injected"
        for param in (f"service_http;touch${{IFS}}{target}",
                      f"$(touch${{IFS}}{target})", f"`touch${{IFS}}{target}`",
                      "service_http|cat", "'service_http'", "service_http&&true"):
            with self.subTest(param=param):
                query = "config get service capability " + param
                ws.send_text(frame("private", query))
                expected = ('{"comName":"ALL","command":%s,"result":0,"type":"private"}\n'
                            % json.dumps(query + " ")).encode()
                self.assertEqual(ws.recv_message(), (OP_TEXT, expected))
        self.assertFalse(target.exists())

    def test_long_queries_are_cut_and_an_oversized_parameter_is_refused(self):
        ws = self.logged_in()
        port = self.rig.sandbox.http_port
        # The query copy keeps 299 characters; the parameter still is
        # the fifth word.
        query = "config get service capability service_http " + "x" * 300
        ws.send_text(frame("private", query))
        self.assertEqual(ws.recv_message(),
                         (OP_TEXT, envelope(f"{query[:299]} {port}\\n", "private")))
        # A parameter that does not fit the script command runs nothing.
        query = "config get service capability " + "y" * 400
        ws.send_text(frame("private", query))
        self.assertEqual(ws.recv_message(), (OP_TEXT, envelope(f"{query[:299]} ", "private")))
        self.echo(ws, "alive")
        self.assertEqual(ws.recv_message(), (OP_TEXT, envelope("alive")))

    def test_other_private_commands_do_nothing(self):
        ws = self.logged_in()
        mark = self.rig.server.log_mark()
        for command in ("config get service", "get service capability service_http",
                        "config get service capabilit", "", "echo hello",
                        " config get service capability service_http"):
            ws.send_text(frame("private", command))
        ws.send_text(frame("private", "config get service capability service_http"))
        port = self.rig.sandbox.http_port
        self.assertEqual(
            ws.recv_message(),
            (OP_TEXT, envelope(f"config get service capability service_http {port}\\n",
                               "private")))
        self.assertEqual(self.rig.server.log(mark).count("Rezudezi : ready_sendbuf"), 1)


class FrameRobustnessTest(RelayCase):
    """No frame a client sends ends its connection or the process, except a
    command before login; after any of them the same connection logs in."""

    @classmethod
    def setUpClass(cls):
        runs = cls.start_class_runs({"main": ((), None)})
        ready_servers(runs)
        cls.rig = runs["main"]

    def assert_connection_kept(self, ws):
        ws.send_text(frame("login", ADMIN))
        # Frame level: neither a pong nor anything else comes first.
        first = ws.recv_frame()
        self.assertEqual((first.fin, first.opcode, first.payload), (True, OP_TEXT, LOGIN_REPLY))
        self.assertTrue(self.rig.server.running(), self.rig.server.describe())

    def test_odd_frames_keep_the_connection(self):
        def untyped(logged_type):
            return f"waring !,i get no-define API tyep{logged_type}"
        cases = [
            ("not json", OP_TEXT, b"hello", untyped("[]")),
            ("json array", OP_TEXT, b'["login", "admin admin123"]', untyped("[]")),
            ("number", OP_TEXT, b"5", untyped("[]")),
            ("numeric type", OP_TEXT, b'{"type":5,"command":"admin admin123"}', untyped("[5]")),
            ("type in capitals", OP_TEXT, b'{"type":"LOGIN","command":"admin admin123"}',
             untyped("[LOGIN]")),
            ("type as array", OP_TEXT, b'{"type":["login"],"command":"admin admin123"}',
             untyped("[]")),
            ("type as object", OP_TEXT, b'{"type":{"login":1},"command":"admin admin123"}',
             untyped("[]")),
            ("empty object", OP_TEXT, b"{}", untyped("[]")),
            ("zero length", OP_TEXT, b"", untyped("[]")),
            ("truncated", OP_TEXT, b'{"type":"login","command":"admin admin123"', untyped("[]")),
            # Binary, ping, pong and unknown opcodes are ignored.
            ("binary", OP_BINARY, b'{"type":"command","command":"echo x"}', "Rezudezi : binary"),
            ("ping", 0x9, b"pp", "Rezudezi : ping"),
            ("pong", 0xA, b"", "Rezudezi : pong"),
            ("opcode 11", 0xB, b"", "Rezudezi : unknown(bh)"),
        ]
        for name, opcode, payload, line in cases:
            with self.subTest(case=name):
                ws = self.open()
                mark = self.rig.server.log_mark()
                ws.send_frame(opcode, payload)
                self.assert_connection_kept(ws)
                self.assertIn(line, self.rig.server.log(mark))

    def test_the_log_keeps_a_bounded_escaped_text_and_masks_a_login_password(self):
        ws = self.open()
        mark = self.rig.server.log_mark()
        ws.send_text(frame("login", "admin wrong-secret"))
        ws.send_text("forged\nline " + "y" * 5000)
        ws.send_text(frame("login", "nameless-secret"))
        self.login(ws)
        lines = [line for line in self.rig.server.log(mark).splitlines() if RECEIVED_LINE in line]
        self.assertEqual(len(lines), 4, lines)
        length = len(frame("login", "admin wrong-secret"))
        self.assertIn(f'{{"command":"admin ******","type":"login"}}\tlen is {length}', lines[0])
        self.assertIn("forged\\nline yyy", lines[1])
        self.assertIn("\tlen is 5012", lines[1])
        self.assertLess(len(lines[1]), 1024 + 200)
        self.assertIn('{"command":"******","type":"login"}', lines[2])
        self.assertNotIn("secret", "\n".join(lines))
        self.assertNotIn("admin123", "\n".join(lines))

    def test_members_holding_arrays_or_objects_read_as_empty(self):
        ws = self.open()
        ws.send_text('{"type":"login","command":"admin admin123","result":[1],'
                     '"comName":{"a":[2]}}')
        self.assertEqual(ws.recv_message(), (OP_TEXT, LOGIN_REPLY))
        ws.send_text('{"type":"command","command":["echo x"],"result":{}}')
        ws.send_text('{"type":"command","command":7}')
        self.journal_entry("7")
        self.assertEqual([e.data for e in self.rig.sim.journal()], ["", "7"])


class IsolationTest(RelayCase):
    """What one client does costs only its own connection: a client that
    stops reading, upgrades that never log in, frames over the limit,
    refused handshakes and other paths leave every other client and the
    pages served in time."""

    @classmethod
    def setUpClass(cls):
        runs = cls.start_class_runs({"main": (("-m", "both"), None)})
        for run in runs.values():
            run.server.wait_ready([run.sandbox.http_port, run.sandbox.https_port])
            run.sim.wait_for_connections(1)
        cls.rig = runs["main"]

    def page(self, path, timeout=2):
        port = self.rig.sandbox.http_port
        return http_raw(port, build_request("GET", path, None, b"", port), timeout=timeout)

    def test_a_client_that_stops_reading_delays_no_one_else(self):
        rate, seconds = 200, 20
        count = rate * seconds
        port = self.rig.sandbox.http_port
        mark = self.rig.server.log_mark()
        readers = [self.logged_in() for _ in range(2)]
        stalled = self.logged_in()
        stalled.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        tick = re.compile(rb" st (\d+)\"")
        arrivals = [[] for _ in readers]

        def read(i, ws):
            deadline = time.monotonic() + seconds + 15
            while len(arrivals[i]) < count and time.monotonic() < deadline:
                try:
                    _, payload = ws.recv_message(1.0)
                except TimeoutError:
                    continue
                m = tick.search(payload)
                if m:
                    arrivals[i].append((int(m.group(1)), time.monotonic()))

        threads = [threading.Thread(target=read, args=(i, ws)) for i, ws in enumerate(readers)]
        for t in threads:
            t.start()
        # 3 KB texts fill the stalled client's socket buffers within seconds.
        readers[0].send_text(frame("command", f"burst {count} {rate} {'x' * 3000} st"))
        logins, uploads = [], []
        form = [("zonepw", "p", b"zone:list\n")]
        headers = {"Content-Type": "multipart/form-data; boundary=kt-stall"}
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            started = time.monotonic()
            with WebSocket.connect(port, timeout=5) as probe:
                probe.send_text(frame("login", ADMIN))
                while probe.recv_message(5)[1] != LOGIN_REPLY:
                    pass
            logins.append(time.monotonic() - started)
            started = time.monotonic()
            raw = http_raw(port, build_request("POST", "/api/v1/zones/passwd", headers,
                                               multipart_body(form, "kt-stall"), port), timeout=5)
            uploads.append((raw.split(b"\r\n")[0], round(time.monotonic() - started, 2)))
            time.sleep(1.5)
        for t in threads:
            t.join(seconds + 20)
        for i, got in enumerate(arrivals):
            with self.subTest(reader=i):
                self.assertEqual([n for n, _ in got], list(range(1, count + 1)))
                first = got[0][1]
                late = max(at - (first + (n - 1) / rate) for n, at in got)
                self.assertLess(late, 1.0)
        self.assertLess(max(logins), 2.0, logins)
        self.assertEqual({status for status, _ in uploads}, {b"HTTP/1.1 200 OK"})
        self.assertLess(max(took for _, took in uploads), 2.0, uploads)
        # The stalled client is closed, once, and leaves the online count.
        log = self.rig.server.log(mark)
        self.assertEqual(log.count("fell behind"), 1)
        for ws in readers:
            ws.close()
        stalled.sock.close()
        self.wait_registry_empty()
        self.assertEqual(self.online_counts(mark)[-1], 0)

    def test_a_client_that_pauses_reading_gets_every_text_whole_and_in_order(self):
        # Texts larger than a paused reader's socket takes: the server writes
        # part of a frame now and the rest later, ahead of the texts that
        # came meanwhile, and within the outbox bound nothing is dropped.
        count, payload = 16, "y" * 40000
        watcher = self.logged_in()
        paused = self.logged_in()
        paused.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16384)
        watcher.send_text(frame("command", f"burst {count} 50 {payload} pz"))
        expected = [envelope(f"{payload} pz {n}") for n in range(1, count + 1)]
        for name, ws, pause in (("reading", watcher, 0), ("paused", paused, 1.5)):
            with self.subTest(client=name):
                time.sleep(pause)
                resumed, got = time.monotonic(), []
                while len(got) < count:
                    message = ws.recv_message(5)[1]
                    if b" pz " in message:
                        got.append(message)
                self.assertEqual(got, expected)
                # All of it was sent or queued during the pause.
                if pause:
                    self.assertLess(time.monotonic() - resumed, 2.0)
        self.echo(paused, "after-pause")
        while paused.recv_message(5)[1] != envelope("after-pause"):
            pass

    def test_idle_upgrades_leave_workers_for_the_pages_and_are_closed_without_login(self):
        self.wait_registry_empty()
        keeper = self.logged_in()
        held, refused = [], []
        for _ in range(59):
            try:
                held.append(self.open())
            except WebSocketHandshakeError as exc:
                refused.append(exc.response_head.split(b"\r\n")[0])
        started = time.monotonic()
        self.assertEqual(len(held), 39)
        self.assertEqual(set(refused), {b"HTTP/1.1 503 Service Unavailable"})
        for path in ("/index.html", "/getUpgrade", "/getTxRxList"):
            with self.subTest(path=path):
                self.assertTrue(self.page(path).startswith(b"HTTP/1.1 200 OK"))
        # Thirty seconds without a login: closed; the logged-in client stays.
        for ws in held:
            self.assertTrue(ws.wait_closed(max(0.1, started + 40 - time.monotonic())))
        self.echo(keeper, "still-here")
        self.assertEqual(keeper.recv_message(), (OP_TEXT, envelope("still-here")))
        self.logged_in()

    def test_frames_over_the_limit_close_the_connection_unread(self):
        head = '{"type":"login","command":"admin admin123","pad":"'

        def padded_login(size):
            return (head + "x" * (size - len(head) - 2) + '"}').encode()

        ws = self.open()
        ws.send_frame(OP_TEXT, padded_login(MAX_FRAME))
        self.assertEqual(ws.recv_message(), (OP_TEXT, LOGIN_REPLY))
        # A header announcing 1 GiB and nothing after it: the payload is
        # never waited for.
        announced = struct.pack("!BBQ", 0x81, 0x80 | 127, 1 << 30) + b"mask"
        cases = [("one byte over", padded_login(MAX_FRAME + 1), None),
                 ("announced only", announced, 1009)]
        for name, data, code in cases:
            with self.subTest(case=name):
                ws = self.open()
                mark = self.rig.server.log_mark()
                ws.sock.sendall(data) if code else ws.send_frame(OP_TEXT, data)
                with self.assertRaises(WebSocketClosed) as closed:
                    ws.recv_message(5)
                if code:
                    self.assertEqual(closed.exception.code, code)
                self.assertNotIn(RECEIVED_LINE, self.rig.server.log(mark))
        self.logged_in()

    def test_refused_handshakes_leave_no_registry_entry(self):
        self.wait_registry_empty()
        port = self.rig.sandbox.http_port
        upgrade = {"Upgrade": "websocket", "Connection": "Upgrade",
                   "Sec-WebSocket-Key": "k" * 70, "Sec-WebSocket-Version": "13"}
        # More than the connection limit: stale entries would refuse the next.
        for _ in range(45):
            raw = http_raw(port, build_request("GET", "/websocket", upgrade, b"", port))
            self.assertTrue(raw.startswith(b"HTTP/1.1 500 "), raw[:80])
        self.wait_registry_empty()
        ws = self.logged_in()
        self.echo(ws, "after-refusals")
        self.assertEqual(ws.recv_message(), (OP_TEXT, envelope("after-refusals")))

    def test_only_the_exact_path_upgrades(self):
        port = self.rig.sandbox.http_port
        for path in ("/websocketX", "/websocket/x", "/websocket/", "/websockets"):
            with self.subTest(path=path):
                with self.assertRaises(WebSocketHandshakeError) as refused:
                    WebSocket.connect(port, path)
                self.assertTrue(refused.exception.response_head.startswith(b"HTTP/1.1 404 "))
        self.logged_in()

    def test_over_tls_broadcasts_and_client_texts_flow_at_once(self):
        port, ticks, echoes = self.rig.sandbox.https_port, 300, 40
        clients = []
        for _ in range(3):
            ws = WebSocket.connect(port, tls=True)
            self.addCleanup(ws.close)
            clients.append(self.login(ws))
        clients[0].send_text(frame("command", f"burst {ticks} 1000 tls"))
        for i, ws in enumerate(clients):
            for k in range(echoes):
                self.echo(ws, f"c{i}-{k}")
        expected_echoes = {envelope(f"c{i}-{k}") for i in range(3) for k in range(echoes)}
        for i, ws in enumerate(clients):
            with self.subTest(client=i):
                got = [ws.recv_message()[1] for _ in range(ticks + 1 + 3 * echoes)]
                self.assertEqual([m for m in got if b'"tls ' in m],
                                 [envelope(f"tls {n}") for n in range(1, ticks + 1)])
                self.assertEqual({m for m in got if b'"command":"c' in m}, expected_echoes)


class OnlineCountTest(RelayCase):
    """The online count follows logins and closes of logged-in connections,
    never goes below 0, and stays right under many clients while the
    control service sends a burst of texts."""

    @classmethod
    def setUpClass(cls):
        runs = cls.start_class_runs({"main": ((), None)})
        ready_servers(runs)
        cls.rig = runs["main"]

    def test_count_through_logins_repeat_logins_and_closes(self):
        mark = self.rig.server.log_mark()
        a = self.logged_in()
        b = self.logged_in(credential=OPERATOR)
        self.login(a)
        self.assertEqual(self.online_counts(mark), [1, 2])
        never = self.open()
        refused = self.open()
        refused.send_text(frame("login", "admin x"))
        never.close()
        refused.close()
        self.wait_dropped(mark, 2)
        self.assertEqual(self.online_counts(mark), [1, 2])
        a.close()
        self.wait_dropped(mark, 3)
        self.assertEqual(self.online_counts(mark), [1, 2, 1])
        b.close()
        self.wait_dropped(mark, 4)
        c = self.logged_in()
        c.close()
        self.wait_dropped(mark, 5)
        self.assertEqual(self.online_counts(mark), [1, 2, 1, 0, 1, 0])

    def test_count_ends_at_zero_after_many_clients_came_and_went_during_a_burst(self):
        stable_n, churn_n, cycles, ticks = 10, 8, 40, 200
        mark = self.rig.server.log_mark()
        port = self.rig.sandbox.http_port
        stable = [self.logged_in() for _ in range(stable_n)]
        self.assertEqual(self.online_counts(mark)[-1], stable_n)

        errors = []
        received = [[] for _ in stable]
        burst_over = threading.Event()
        churn_ticks = []

        def read_stable(i, ws):
            try:
                deadline = time.monotonic() + 30
                while time.monotonic() < deadline:
                    opcode, payload = ws.recv_message(deadline - time.monotonic())
                    received[i].append(payload)
                    if payload == envelope(f"tick {ticks}"):
                        return
            except Exception as exc:  # noqa: BLE001 - reported below
                errors.append(f"stable {i}: {exc!r}")

        def churn(j):
            try:
                for _ in range(cycles):
                    if burst_over.is_set():
                        return
                    with WebSocket.connect(port) as ws:
                        ws.send_text(frame("login", ADMIN if j % 2 else OPERATOR))
                        seen = []
                        deadline = time.monotonic() + 10
                        while True:
                            _, payload = ws.recv_message(deadline - time.monotonic())
                            if payload == LOGIN_REPLY:
                                break
                            seen.append(payload)
                        end = time.monotonic() + 0.15
                        try:
                            while time.monotonic() < end:
                                _, payload = ws.recv_message(end - time.monotonic())
                                seen.append(payload)
                        except TimeoutError:
                            pass
                        churn_ticks.append(seen)
            except Exception as exc:  # noqa: BLE001 - reported below
                errors.append(f"churn {j}: {exc!r}")

        readers = [threading.Thread(target=read_stable, args=(i, ws))
                   for i, ws in enumerate(stable)]
        churners = [threading.Thread(target=churn, args=(j,)) for j in range(churn_n)]
        for t in readers + churners:
            t.start()
        stable[0].send_text(frame("command", f"burst {ticks} 100 tick"))
        for t in readers:
            t.join(40)
        burst_over.set()
        for t in churners:
            t.join(40)
        self.assertFalse(any(t.is_alive() for t in readers + churners), "client threads hung")
        self.assertEqual(errors, [])

        expected = [envelope(f"tick {n}") for n in range(1, ticks + 1)]
        for i, messages in enumerate(received):
            with self.subTest(stable=i):
                got = [m for m in messages if m.startswith(b'{"comName":"ALL","command":"tick ')]
                self.assertEqual(got, expected)
                self.assertEqual([m for m in messages if m not in expected],
                                 [envelope(f"ok: burst {ticks} at 100/s")])
        # Clients came and went while the texts flowed.
        self.assertTrue(any(b"tick" in m for seen in churn_ticks for m in seen))
        for seen in churn_ticks:
            numbers = [int(m[len(b'{"comName":"ALL","command":"tick '):].split(b'"')[0])
                       for m in seen if m.startswith(b'{"comName":"ALL","command":"tick ')]
            # A client sees the ticks of the time it was logged in, in order.
            self.assertEqual(numbers, list(range(numbers[0], numbers[0] + len(numbers)))
                             if numbers else [])

        for ws in stable:
            ws.close()
        connections = stable_n + len(churn_ticks)
        self.wait_dropped(mark, connections)
        counts = self.online_counts(mark)
        self.assertEqual(counts[-1], 0, counts)
        self.assertGreaterEqual(min(counts), 0)
        self.assertLessEqual(max(counts), stable_n + churn_n)
        # One raise per login and one fall per close of a logged-in client.
        self.assertEqual(len(counts), 2 * connections)


# What of a log line varies between runs: the layout's timestamp, connection
# addresses, and the source location at its end.
LOG_TIMESTAMP = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} ", re.M)
LOG_ADDRESS = re.compile(r"0x[0-9a-f]+")
LOG_SOURCE = re.compile(r" --\[src/[A-Za-z_0-9]+\.cpp:\d+\]$", re.M)
# Every line the server writes for one fixed exchange: two clients log in,
# one sends two commands and a binary frame, the device answers both to
# both, the TX/RX list is asked for, both close. Operators and support read
# these lines; they keep their text and their order.
FIXED_EXCHANGE_LOG = """\
[INFO] Rezudezi : Websocket Connect and Join List : [0xP] --[src]
[INFO] Rezudezi : Websocket client accepted --[src]
[INFO] Rezudezi : data recv from web is {"command":"admin ******","type":"login"}\tlen is 46 --[src]
[INFO] Rezudezi : parse websocket data,get : [login] [admin ******] [] [] --[src]
[INFO] Rezudezi : verify login pwd : [admin ******] --[src]
[INFO] Rezudezi : auth sucess --[src]
[INFO] Rezudezi : Online num [1] --[src]
[INFO] Rezudezi : set sucess --[src]
[INFO] Rezudezi : signal send ==> ready to send data to web , data len :  54 --[src]
[INFO] Rezudezi : send sucess --[src]
[INFO] Rezudezi : Websocket Connect and Join List : [0xP] --[src]
[INFO] Rezudezi : Websocket client accepted --[src]
[INFO] Rezudezi : data recv from web is {"command":"operator ******","type":"login"}\tlen is 52 --[src]
[INFO] Rezudezi : parse websocket data,get : [login] [operator ******] [] [] --[src]
[INFO] Rezudezi : verify login pwd : [admin ******] --[src]
[INFO] Rezudezi : verify login pwd : [operator ******] --[src]
[INFO] Rezudezi : auth sucess --[src]
[INFO] Rezudezi : Online num [2] --[src]
[INFO] Rezudezi : set sucess --[src]
[INFO] Rezudezi : signal send ==> ready to send data to web , data len :  54 --[src]
[INFO] Rezudezi : send sucess --[src]
[INFO] Rezudezi : data recv from web is {"type": "command", "command": "echo hello"}\tlen is 44 --[src]
[INFO] Rezudezi : parse websocket data,get : [command] [echo hello] [] [] --[src]
[INFO] Rezudezi : ALL send ==> ready to send data to web ,data [{"comName":"ALL","command":"hello","result":0,"type":"command"}
] data len :  64 --[src]
[INFO] Rezudezi : ALL send ==> ready to send data to web ,data [{"comName":"ALL","command":"hello","result":0,"type":"command"}
] data len :  64 --[src]
[INFO] Rezudezi : binary --[src]
[INFO] Rezudezi : data recv from web is {"type": "command", "command": "echo bye"}\tlen is 42 --[src]
[INFO] Rezudezi : parse websocket data,get : [command] [echo bye] [] [] --[src]
[INFO] Rezudezi : ALL send ==> ready to send data to web ,data [{"comName":"ALL","command":"bye","result":0,"type":"command"}
] data len :  62 --[src]
[INFO] Rezudezi : ALL send ==> ready to send data to web ,data [{"comName":"ALL","command":"bye","result":0,"type":"command"}
] data len :  62 --[src]
[INFO] Rezudezi : binary --[src]
[WARN] file not exist 3 line --[src]
[ERROR] get device list : [{"list":" 192.168.1.1 192.168.2.1"}] --[src]
[INFO] Rezudezi : close --[src]
[INFO] Rezudezi : Websocket Close and Leave List : [0xP] --[src]
[INFO] Rezudezi : Online num [1] --[src]
[INFO] Rezudezi : Client dropped from the set of webserver connections,and delet --[src]
[INFO] Rezudezi : close --[src]
[INFO] Rezudezi : Websocket Close and Leave List : [0xP] --[src]
[INFO] Rezudezi : Online num [0] --[src]
[INFO] Rezudezi : Client dropped from the set of webserver connections,and delet --[src]
"""
# Written by the sending worker once the command is out, while the answer
# may already be broadcast on the link's thread: its place is a race.
SENT_LINE = "[INFO] Rezudezi : send to IP : err = 0 --[src]\n"
BROADCAST_LINE = "Rezudezi : ALL send ==> ready to send data to web ,data [{"
LOG_QUEUE_LINES = 4096  # lines the server may hold before they are on disk


class LogTest(RelayCase):
    """The log keeps every line in order; a stop by SIGTERM loses none, a
    SIGKILL at most the lines still waiting for the disk."""

    def normalized(self, text):
        self.assertEqual(len(LOG_SOURCE.findall(text)), len(LOG_TIMESTAMP.findall(text)), text)
        text = LOG_SOURCE.sub(" --[src]", LOG_TIMESTAMP.sub("", text))
        return LOG_ADDRESS.sub("0xP", text)

    def start_run(self):
        sandbox = self.make_sandbox()
        (sandbox.classes / "device.properties").write_text("tx1=192.168.1.1\nrx1=192.168.2.1\n")
        sim = self.start_sim(sandbox)
        server = self.start_ready_server(sandbox)
        sim.wait_for_connections(1)
        return sandbox, sim, server

    def test_a_fixed_exchange_writes_the_same_lines_in_the_same_order(self):
        sandbox, _, server = self.start_run()
        mark = server.log_mark()
        run = Run(sandbox, None, server)
        a = self.logged_in(run)
        b = self.logged_in(run, OPERATOR)
        for text in ("hello", "bye"):
            self.echo(a, text)
            for ws in (a, b):
                self.assertEqual(ws.recv_message(), (OP_TEXT, envelope(text)))
            a.send_frame(OP_BINARY, b"x")
        # The binary frames are logged by the connection's worker, the request
        # by another thread: the fixed order needs the frames' lines first.
        self.assertTrue(wait_until(lambda: server.log(mark).count("Rezudezi : binary") == 2, 5))
        self.assertEqual(http_get(sandbox.http_port, "/getTxRxList").status, 200)
        a.close()
        self.wait_dropped(mark, 1, run)
        b.close()
        self.wait_dropped(mark, 2, run)
        self.assertEqual(server.stop(), 0)
        log = self.normalized(server.log(mark))
        self.assertEqual(log.count(SENT_LINE), 2)
        self.assertEqual(log.replace(SENT_LINE, ""), FIXED_EXCHANGE_LOG)

    def test_the_console_prints_every_line_with_its_own_pattern(self):
        # The writer formats a line once for appenders with the same pattern;
        # a console with another pattern must still get its own.
        same = r"\g<0>"
        for pattern, console_form in (("%d [%p] %m%n", same), ("<%p> %m%n", r"<\1> ")):
            with self.subTest(pattern=pattern):
                sandbox = self.make_sandbox()
                conf = sandbox.log_config
                conf.write_text(re.sub(r"(CONSOLE\.layout\.ConversionPattern=).*",
                                       lambda m: m.group(1) + pattern, conf.read_text()))
                sim = self.start_sim(sandbox)
                server = self.start_ready_server(sandbox)
                sim.wait_for_connections(1)
                ws = self.logged_in(Run(sandbox, None, server))
                for text in ("hello", "bye"):
                    self.echo(ws, text)
                    ws.recv_message()
                self.assertEqual(server.stop(), 0)
                file_text = server.log()
                self.assertRegex(file_text, r"(?m)^\d{4}-\d\d-\d\d \S+ \[INFO\] " +
                                 re.escape(BROADCAST_LINE))
                expected = re.sub(r"^\S+ \S+ \[(\w+)\] ", console_form, file_text, flags=re.M)
                self.assertIn(expected, server.stdout().decode())

    def test_a_stop_in_the_middle_of_a_burst_keeps_the_lines_logged_before_it(self):
        # A second log appender writes into a pipe that is not read: once the
        # pipe is full the log cannot keep up, the relay waits for it (no line
        # is dropped), and the stop comes while lines are queued. After a
        # SIGTERM every line logged is written once the pipe is read again;
        # a SIGKILL loses at most the lines still queued.
        texts, rate = 20000, 10000
        for sig, may_lose in ((signal.SIGTERM, 0), (signal.SIGKILL, LOG_QUEUE_LINES)):
            with self.subTest(signal=sig.name):
                sandbox = self.make_sandbox()
                pipe = sandbox.root / "slow-log"
                os.mkfifo(pipe)
                reader = os.open(pipe, os.O_RDONLY | os.O_NONBLOCK)
                self.addCleanup(os.close, reader)
                conf = sandbox.log_config
                conf.write_text(conf.read_text().replace("FILE, CONSOLE", "FILE, CONSOLE, SLOW") +
                                f"log4cpp.appender.SLOW=org.apache.log4cpp.FileAppender\n"
                                f"log4cpp.appender.SLOW.fileName={pipe}\n"
                                "log4cpp.appender.SLOW.layout=org.apache.log4cpp.BasicLayout\n")
                sim = self.start_sim(sandbox)
                server = self.start_ready_server(sandbox)
                sim.wait_for_connections(1)
                ws = self.logged_in(Run(sandbox, None, server))
                ws.send_text(frame("command", f"burst {texts} {rate} t"))
                received = 0
                try:
                    while True:
                        if ws.recv_message(1.0)[1].startswith(b'{"comName":"ALL","command":"t '):
                            received += 1
                except TimeoutError:
                    pass  # the relay waits for the log
                self.assertLess(received, texts // 2)
                os.kill(server.pid, sig)
                ended = threading.Event()

                def read_pipe():
                    while not ended.is_set():
                        try:
                            os.read(reader, 1 << 16)
                        except BlockingIOError:
                            time.sleep(0.01)
                threading.Thread(target=read_pipe, daemon=True).start()
                try:
                    server.wait_exit(10)
                finally:
                    ended.set()
                # Each line is logged before its text goes to the client.
                numbers = [int(n) for n in re.findall(
                    r"^\S+ \S+ \[INFO\] " + re.escape(BROADCAST_LINE) +
                    r'"comName":"ALL","command":"t (\d+)"', server.log(), re.M)]
                self.assertEqual(numbers, list(range(1, len(numbers) + 1)))
                self.assertGreaterEqual(len(numbers), received - may_lose)


if __name__ == "__main__":
    unittest.main()
