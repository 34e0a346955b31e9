#!/usr/bin/env python3
"""The WebSocket relay end to end against devctl-sim: serial numbers, login,
forwarding, the broadcast envelope, the service query, limits, a stalled
reader, the online count and restarts of the control service."""

import itertools, json, os, re, socket, struct, sys, threading, time, unittest  # noqa: E401

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (OP_BINARY, OP_TEXT, ServerTestCase, WebSocket, WebSocketClosed,  # noqa: E402
                     WebSocketHandshakeError, build_request, http_get, http_raw, wait_until)

# The one reply to a login: 54 bytes, no line end; the front-end compares it whole.
LOGIN_REPLY = b'{"type":"result","comName":"","command":"","result":1}'
ADMIN, OPERATOR = "admin admin123", "operator operator123"
ONLINE = re.compile(r"Rezudezi : Online num \[(-?\d+)\]")
LEFT = "Rezudezi : Websocket Close and Leave List"
FFFD = "\ufffd".encode()  # what a client gets for bytes that are no UTF-8
# After a failed login, later ones from the same address are slowed for a
# while: every failing client comes from an address of its own.
SOURCES = (f"127.0.0.{n}" for n in itertools.count(2))


def envelope(text, kind="command"):
    return ('{"comName":"ALL","command":"%s","result":0,"type":"%s"}\n' % (text, kind)).encode()


def frame(kind, command):
    return json.dumps({"type": kind, "command": command})


class RelayCase(ServerTestCase):
    args, properties = (), None  # per class: command line, server.properties text

    @classmethod
    def setUpClass(cls):
        def prepare(sandbox):
            if cls.properties is not None:
                sandbox.server_properties.write_bytes(cls.properties)
        cls.rig = cls.start_class_runs({"main": (cls.args, prepare)})["main"]
        cls.port, cls.server = cls.rig.sandbox.http_port, cls.rig.server
        cls.server.wait_ready([cls.port])
        cls.rig.sim.wait_for_connections(1)

    def open(self, **kwargs):
        ws = WebSocket.connect(kwargs.pop("port", self.port), **kwargs)
        self.addCleanup(ws.close)
        return ws

    def login(self, ws, credential=ADMIN):
        ws.send_text(frame("login", credential))
        self.assertEqual(ws.recv_message(), (OP_TEXT, LOGIN_REPLY))
        return ws

    def logged_in(self, credential=ADMIN, **kwargs):
        return self.login(self.open(**kwargs), credential)

    def assert_echo(self, ws, text, *others):
        ws.send_text(frame("command", "echo " + text))
        for client in (ws,) + others:
            self.assertEqual(client.recv_message(), (OP_TEXT, envelope(text)))

    def counts(self, since):
        return [int(n) for n in ONLINE.findall(self.server.log(since))]

    def wait_left(self, since, count):
        self.assertTrue(wait_until(lambda: self.server.log(since).count(LEFT) >= count, 10),
                        self.server.describe())

    def forwarded(self):
        return [e.data for e in self.rig.sim.journal()]


class SerialNumberTest(RelayCase):
    def test_numbers_count_up_from_30001_and_commands_carry_number_and_connect_time(self):
        mark = self.server.log_mark()
        before = int(time.monotonic() * 1000) - 1
        first = self.logged_in()
        after = int(time.monotonic() * 1000) + 1
        self.assert_echo(first, "one")
        http_get(self.port, "/index.html")  # plain requests take no number
        never = self.open()  # one that never logs in does
        for ws in (first, never):
            ws.close()
        self.wait_left(mark, 2)  # numbers are never reused
        third, fourth = self.open(), self.logged_in()
        for ws, text in ((self.login(third), "three"), (fourth, "four")):
            ws.send_text(frame("command", "echo " + text))
        self.assertTrue(wait_until(lambda: "echo four" in self.forwarded(), 5))
        entries = {e.data: e for e in self.rig.sim.journal()}
        one, three, four = (entries["echo " + t] for t in ("one", "three", "four"))
        self.assertEqual((one.sn, three.sn, four.sn), (30001, 30003, 30004))
        # Monotonic clock, milliseconds: connect time, then the sending time.
        self.assertTrue(before <= one.conn_time <= after and one.conn_time <= one.send_time)
        self.assertTrue(three.conn_time <= four.conn_time <= three.send_time)


class OnlineCountTest(RelayCase):
    def test_online_count_follows_logins_and_closes_of_logged_in_clients_only(self):
        mark = self.server.log_mark()
        a, b = self.logged_in(), self.logged_in(OPERATOR)
        self.login(a)  # a second login on one connection counts once
        never, refused = self.open(), self.open(source=next(SOURCES))
        refused.send_text(frame("login", "admin x"))
        for ws in (never, refused, a, b):
            ws.close()
        self.wait_left(mark, 4)
        self.logged_in().close()
        self.wait_left(mark, 5)
        self.assertEqual(self.counts(mark), [1, 2, 1, 0, 1, 0])

    def test_count_and_order_hold_while_clients_come_and_go_during_a_burst(self):
        ticks, mark = 200, self.server.log_mark()
        stable, churned, errors = [self.logged_in() for _ in range(4)], [], []

        def churn(j):
            try:
                for _ in range(10):
                    with WebSocket.connect(self.port) as ws:
                        ws.send_text(frame("login", (ADMIN, OPERATOR)[j % 2]))
                        seen = []
                        while ws.recv_message()[1] != LOGIN_REPLY:
                            pass
                        try:
                            while len(seen) < 30:
                                seen.append(ws.recv_message(0.1)[1])
                        except TimeoutError:
                            pass
                        churned.append([int(m[1]) for m in (re.match(
                            rb'{"comName":"ALL","command":"tick (\d+)"', s) for s in seen) if m])
            except Exception as exc:  # noqa: BLE001 - reported below
                errors.append(repr(exc))
        threads = [threading.Thread(target=churn, args=(j,)) for j in range(4)]
        for t in threads:
            t.start()
        stable[0].send_text(frame("command", f"burst {ticks} 200 tick"))
        done = envelope(f"ok: burst {ticks} at 200/s")
        for ws in stable:  # every tick, in order, and the burst's own answer
            got = [ws.recv_message(10)[1] for _ in range(ticks + 1)]
            self.assertEqual([m for m in got if m != done],
                             [envelope(f"tick {n}") for n in range(1, ticks + 1)])
        for t in threads:
            t.join(30)
        self.assertEqual(errors, [])
        for numbers in churned:  # a client sees the ticks of its time, in order
            self.assertEqual(numbers, list(range(numbers[0], numbers[0] + len(numbers)))
                             if numbers else [])
        for ws in stable:
            ws.close()
        self.wait_left(mark, 4 + len(churned))
        counts = self.counts(mark)
        self.assertEqual((len(counts), counts[-1], min(counts)), (2 * (4 + len(churned)), 0, 0))


class LoginTest(RelayCase):
    # No slots 1 and 2, slot 3 with Windows line ends, slot 4 without a password.
    properties = (b"adminName=admin\nadminPassWord=admin123\nuserName2=\nuserPassWord2=\n"
                  b"userName3=third\r\nuserPassWord3=pw3\r\nuserName4=four\nuserPassWord4=\n")

    def test_name_blank_password_logs_in_with_the_reply_to_that_connection_only(self):
        for credential in (ADMIN, "third pw3"):
            with self.subTest(credential=credential):
                watcher, bystander = self.logged_in(), self.open()
                self.login(self.open(), credential)
                watcher.expect_silence(0.3)
                bystander.expect_silence(0.05)

    def test_anything_else_is_not_logged_in_and_its_command_is_not_forwarded(self):
        rows = [None, "admin admin12", "admin", "", "admin  admin123", "ADMIN admin123",
                "admin ADMIN123", "admin admin123 ", " admin admin123", "admin\tadmin123",
                "adminadmin123", "third pw3\r", OPERATOR, " ", "four ", "four"]
        for n, credential in enumerate(rows):
            with self.subTest(credential=credential):
                ws = self.open(source=next(SOURCES))
                if credential is not None:
                    ws.send_text(frame("login", credential))
                ws.send_text(frame("command", f"echo refused {n}"))
                self.assertTrue(ws.wait_closed(5), "a command without login left it open")
        # Later traffic on the link proves the refused commands were not just late.
        self.assert_echo(self.logged_in(), "probe")
        self.assertEqual([t for t in self.forwarded() if "refused" in t], [])

    def test_a_failed_login_keeps_the_connection_and_slows_only_that_address(self):
        mark, ws = self.server.log_mark(), self.open(source=next(SOURCES))
        started = time.monotonic()
        for attempt in ("admin wrong", "admin wrong2", "admin wrong3", ADMIN):  # waits its turn
            ws.send_text(frame("login", attempt))
        self.assertEqual(ws.recv_message(), (OP_TEXT, LOGIN_REPLY))
        self.assertGreaterEqual(time.monotonic() - started, 0.35)
        ws.send_text(frame("login", "admin wrong4"))  # a later failure does not log out
        self.assert_echo(ws, "still in")
        log = self.server.log(mark)
        self.assertEqual(log.count("slowed to one per"), 1, log)
        self.assertNotIn("admin123", log)  # the log shows the slot, never its password
        self.assertIn("Rezudezi : verify login pwd : [admin ******]", log)

    def test_credentials_are_read_anew_for_every_login(self):
        props = self.rig.sandbox.server_properties
        self.addCleanup(props.write_bytes, props.read_bytes())
        props.write_bytes(props.read_bytes() + b"userName5=fifth\nuserPassWord5=pw5\n")
        self.logged_in("fifth pw5")

    def test_only_pages_of_the_device_itself_may_open_a_websocket(self):
        # (Host or None, Origin or None, accepted); host names compared without ports.
        rows = [(None, None, True), (None, "http://127.0.0.1:8443", True),
                ("Device.Local:80", "http://device.local", True),
                (f"[::1]:{self.port}", "http://[::1]:8443", True),
                (None, "http://evil.example", False), (None, "http://127.0.0.1.evil.example", False),
                (None, f"http://evil.example/127.0.0.1:{self.port}", False), (None, "null", False),
                (f"[::1]:{self.port}", "http://[::1]x", False)]
        for host, origin, accepted in rows:
            with self.subTest(host=host, origin=origin):
                headers = {k: v for k, v in (("Host", host), ("Origin", origin)) if v}
                try:
                    self.login(self.open(headers=headers))
                    self.assertTrue(accepted, "cross-site handshake accepted")
                except WebSocketHandshakeError as refused:
                    self.assertFalse(accepted, refused)
                    self.assertTrue(refused.response_head.startswith(b"HTTP/1.1 403 "))


class ForwardingTest(RelayCase):
    def test_the_device_answer_reaches_every_logged_in_client_and_no_other(self):
        sender, others = self.logged_in(), [self.logged_in(), self.logged_in(OPERATOR)]
        fresh, refused = self.open(), self.open(source=next(SOURCES))
        refused.send_text(frame("login", "admin nope"))
        self.assert_echo(sender, "hello", *others)
        for ws in [sender, fresh, refused] + others:
            ws.expect_silence(0.2)

    def test_texts_reach_the_device_unchanged_and_clients_escaped_in_valid_utf8(self):
        ws = self.logged_in()
        # \u escapes in upper case for control characters; DEL and UTF-8 as
        # they are; bytes that are no UTF-8 reach the device unchanged and the
        # clients as U+FFFD each.
        ws.send_frame(OP_TEXT, b'{"type":"command","command":"echo q\\"b\\\\s/\\b\\f\\n\\r\\t'
                               b'\\u0001\\u001f\\u0010\x7f\xc3\xa9\xe4\xb8\xad\xff\xfe end"}')
        self.assertEqual(ws.recv_message(), (OP_TEXT, b'{"comName":"ALL","command":"q\\"b\\\\s/'
                         b'\\b\\f\\n\\r\\t\\u0001\\u001F\\u0010\x7f\xc3\xa9\xe4\xb8\xad' + FFFD * 2
                         + b' end","result":0,"type":"command"}\n'))
        self.assertIn((b'echo q"b\\s/\b\f\n\r\t\x01\x1f\x10\x7f\xc3\xa9\xe4\xb8\xad\xff\xfe end')
                      .decode("utf-8", "surrogateescape"), self.forwarded())
        ws.send_text(frame("command", "echo"))
        self.assertEqual(ws.recv_message(), (OP_TEXT, envelope("")))

    def test_the_service_query_is_answered_to_all_logged_in_clients(self):
        a, b, asker = self.logged_in(), self.logged_in(), self.open()
        http, https, target = (f"{self.port}\\n", f"{self.rig.sandbox.https_port}\\n",
                               self.rig.sandbox.root / "injected")
        cut = "config get service capability service_http " + "x" * 300
        rows = [  # (client, query, the answer's command member)
            (asker, "CONFIG GET SERVICE CAPABILITY service_http", None, http),
            (a, "config get service capability service_https", None, https),
            (b, "Config Get Service capability service_http extra words", None, http),
            (a, "config get service capability service_ftp", None, ""),
            (a, "config get service capability", None, ""),  # the fourth word stands in
            (a, cut, cut[:299], http),  # the copy keeps 299 characters
            (a, "config get service capability " + "y" * 400, ("config get service capability "
                                                              + "y" * 400)[:299], ""),
            # The parameter reaches the script as one word, never run by a shell.
            (a, f"config get service capability service_http;touch${{IFS}}{target}", None, ""),
            (a, f"config get service capability $(touch${{IFS}}{target})", None, ""),
            (a, f"config get service capability `touch {target}`", None, ""),
            (a, "config get service capability service_http|cat", None, "")]
        for ws, query, shown, output in rows:
            with self.subTest(query=query[:60]):
                ws.send_text(frame("private", query))
                expected = envelope(f"{shown or query} {output}", "private")
                self.assertEqual(a.recv_message(), (OP_TEXT, expected))
                self.assertEqual(b.recv_message(), (OP_TEXT, expected))
        asker.expect_silence(0.2)
        self.assertFalse(target.exists())

    def test_other_private_commands_and_odd_frames_do_nothing_and_keep_the_connection(self):
        ws, start = self.logged_in(), self.server.log_mark()
        for command in ("config get service", "config get service capabilit", "",
                        " config get service capability service_http"):
            ws.send_text(frame("private", command))
        undefined = "waring !,i get no-define API tyep[%s]"
        rows = [(OP_TEXT, b"hello", undefined % ""), (OP_TEXT, b"5", undefined % ""),
                (OP_TEXT, b'["login", "admin admin123"]', undefined % ""),
                (OP_TEXT, b'{"type":5,"command":"admin admin123"}', undefined % "5"),
                (OP_TEXT, b'{"type":"LOGIN","command":"admin admin123"}', undefined % "LOGIN"),
                (OP_TEXT, b'{"type":{"login":1},"command":"admin admin123"}', undefined % ""),
                (OP_TEXT, b"", undefined % ""), (OP_TEXT, b'{"type":"login"', undefined % ""),
                (OP_BINARY, b'{"type":"command","command":"echo x"}', "Rezudezi : binary"),
                (0x9, b"pp", "Rezudezi : ping"), (0xB, b"", "Rezudezi : unknown(bh)")]
        for opcode, payload, line in rows:
            with self.subTest(payload=payload, opcode=opcode):
                fresh, mark = self.open(), self.server.log_mark()
                fresh.send_frame(opcode, payload)
                self.login(fresh)
                self.assertIn(line, self.server.log(mark))
        # Members holding arrays or objects read as empty text.
        ws.send_text('{"type":"command","command":["echo x"],"result":{}}')
        ws.send_text('{"type":"command","command":7}')
        self.assertTrue(wait_until(lambda: "7" in self.forwarded(), 5))
        self.assertEqual(self.forwarded()[-2:], ["", "7"])
        self.assertNotIn("Rezudezi : ready_sendbuf", self.server.log(start))


class LimitsTest(RelayCase):
    args = ("-m", "both")

    def test_frames_over_64_kib_close_the_connection_unread(self):
        head = '{"type":"login","command":"admin admin123","pad":"'
        padded = [(head + "x" * (size - len(head) - 2) + '"}').encode()
                  for size in (64 * 1024, 64 * 1024 + 1)]
        ws = self.open()
        ws.send_frame(OP_TEXT, padded[0])
        self.assertEqual(ws.recv_message(), (OP_TEXT, LOGIN_REPLY))
        announced = struct.pack("!BBQ", 0x81, 0x80 | 127, 1 << 30) + b"mask"  # never sent
        # Closed while the client still sends, the close frame may be lost.
        for data, code in ((padded[1], None), (announced, 1009)):
            with self.subTest(size=len(data)):
                ws = self.open()
                ws.sock.sendall(data) if data is announced else ws.send_frame(OP_TEXT, data)
                with self.assertRaises(WebSocketClosed) as closed:
                    ws.recv_message(5)
                self.assertIn(closed.exception.code, (code, 1009))

    def test_forty_websockets_at_most_leave_workers_for_the_pages_until_a_login_deadline(self):
        log = self.server.log
        self.assertTrue(wait_until(lambda: log().count("Join List") == log().count(LEFT), 10))
        upgrade = {"Upgrade": "websocket", "Connection": "Upgrade",
                   "Sec-WebSocket-Key": "k" * 70, "Sec-WebSocket-Version": "13"}
        for path, status in [("/websocket", b"500")] * 45 + [
                ("/websocketX", b"404"), ("/websocket/x", b"404"), ("/websockets", b"404")]:
            raw = http_raw(self.port, build_request("GET", path, upgrade, b"", self.port))
            self.assertTrue(raw.startswith(b"HTTP/1.1 " + status), raw[:80])
        keeper, held, refused = self.logged_in(), [], []
        for _ in range(41):  # refused upgrades above left no entry behind
            try:
                held.append(self.open())
            except WebSocketHandshakeError as exc:
                refused.append(exc.response_head.split(b"\r\n")[0])
        started = time.monotonic()
        self.assertEqual((len(held), set(refused)), (39, {b"HTTP/1.1 503 Service Unavailable"}))
        for path in ("/index.html", "/getUpgrade", "/getTxRxList"):
            self.assertTrue(http_raw(self.port, build_request("GET", path, port=self.port),
                                     timeout=2).startswith(b"HTTP/1.1 200 OK"), path)
        for ws in held:  # 30 s without a login: closed; the logged-in client stays
            self.assertTrue(ws.wait_closed(max(0.1, started + 40 - time.monotonic())))
        self.assert_echo(keeper, "still here")

    def test_a_client_that_stops_reading_delays_no_one_else(self):
        rate, seconds, mark = 200, 12, self.server.log_mark()
        readers, stalled = [self.logged_in() for _ in range(2)], self.logged_in()
        stalled.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        arrivals, logins = [[] for _ in readers], []

        def read(i, ws):
            deadline = time.monotonic() + seconds + 15
            while len(arrivals[i]) < rate * seconds and time.monotonic() < deadline:
                if m := re.search(rb" st (\d+)\"", ws.recv_message(deadline - time.monotonic())[1]):
                    arrivals[i].append((int(m[1]), time.monotonic()))
        threads = [threading.Thread(target=read, args=x) for x in enumerate(readers)]
        for t in threads:
            t.start()
        # 3 KB texts fill the stalled client's socket buffers within seconds.
        readers[0].send_text(frame("command", f"burst {rate * seconds} {rate} {'x' * 3000} st"))
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            started = time.monotonic()
            with WebSocket.connect(self.port) as probe:
                probe.send_text(frame("login", ADMIN))
                while probe.recv_message(5)[1] != LOGIN_REPLY:
                    pass
            logins.append(time.monotonic() - started)
            time.sleep(1)
        for t in threads:
            t.join(seconds + 20)
        for got in arrivals:
            self.assertEqual([n for n, _ in got], list(range(1, rate * seconds + 1)))
            self.assertLess(max(at - (got[0][1] + (n - 1) / rate) for n, at in got), 1.0)
        self.assertLess(max(logins), 2.0, logins)
        self.assertEqual(self.server.log(mark).count("fell behind"), 1)  # closed, once

    def test_over_tls_broadcasts_and_client_texts_flow_at_once(self):
        port, ticks = self.rig.sandbox.https_port, 300
        clients = [self.logged_in(port=port, tls=True) for _ in range(3)]
        clients[0].send_text(frame("command", f"burst {ticks} 1000 tls"))
        for i, ws in enumerate(clients):
            for k in range(40):
                ws.send_text(frame("command", f"echo c{i}-{k}"))
        for ws in clients:
            got = [ws.recv_message()[1] for _ in range(ticks + 1 + 120)]
            self.assertEqual([m for m in got if b'"tls ' in m],
                             [envelope(f"tls {n}") for n in range(1, ticks + 1)])
            self.assertEqual({m for m in got if b'"command":"c' in m},
                             {envelope(f"c{i}-{k}") for i in range(3) for k in range(40)})

    def test_the_relay_resumes_on_the_same_connection_after_the_service_restarts(self):
        ws, sim = self.logged_in(), self.rig.sim
        for how in (sim.stop, sim.kill):
            with self.subTest(service_ends_by=how.__name__):
                how()
                ws.send_text(frame("command", "echo lost"))  # lost while away, not fatal
                sim.start()
                self.assertTrue(sim.wait_for_connections(1), "the link did not reconnect")
                ws.send_text(frame("command", f"echo back after {how.__name__}"))
                back = envelope(f"back after {how.__name__}")
                self.assertTrue(wait_until(lambda: ws.recv_message()[1] == back, 5))
        self.assertTrue(self.server.running())


if __name__ == "__main__":
    unittest.main()
