#!/usr/bin/env python3
"""The WebSocket relay end to end against devctl-sim: login, forwarding, the envelope,
the service query, limits, slow readers, the online count, service restarts, the log."""

import contextlib, itertools, json, os, re, select, signal, socket, struct, sys, time  # noqa
import unittest
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (  # noqa: E402
    OP_BINARY, OP_TEXT, DeviceCase, ServerTestCase, WebSocket, WebSocketClosed,
    WebSocketHandshakeError, build_request, http_get, http_raw, wait_until)

# The one reply to a login: 54 bytes, no line end; the front-end compares it whole.
LOGIN_REPLY = b'{"type":"result","comName":"","command":"","result":1}'
ADMIN, OPERATOR = "admin admin123", "operator operator123"
LEFT = "Rezudezi : Websocket Close and Leave List"
# A failed login slows later ones from its address: each failing client has its own.
SOURCES = (f"127.0.0.{n}" for n in itertools.count(2))
# What of a log line varies between runs: its time, connection addresses, the source location.
LOG_VARIES = ((r"(?m)^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} ", ""), (r"0x[0-9a-f]+", "0xP"),
              (r"(?m) --\[src/\w+\.cpp:\d+\]$", " --[src]"))
# The sending worker's line races the broadcast of the answer: its place varies.
SENT_LINE = "[INFO] Rezudezi : send to IP : err = 0 --[src]\n"
BROADCAST = re.escape("[INFO] Rezudezi : ALL send ==> ready to send data to web ,data [")
LOG_QUEUE_LINES = 4096  # lines the server may hold before they are on disk


def envelope(text, kind="command"):
    return ('{"comName":"ALL","command":"%s","result":0,"type":"%s"}\n' % (text, kind)).encode()


def frame(kind, command):
    return json.dumps({"type": kind, "command": command})


class RelayCase:
    """Clients of the relay on self.port, closed when the test ends."""

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

    def wait_left(self, since, count):
        self.assertTrue(wait_until(lambda: self.server.log(since).count(LEFT) >= count, 10))

    def counts(self, since):
        return [int(n) for n in re.findall(r"Online num \[(-?\d+)\]", self.server.log(since))]

    def forwarded(self):
        return [e.data for e in self.rig.sim.journal()]


class SessionTest(RelayCase, DeviceCase):
    def test_numbers_from_30001_connect_times_and_the_online_count(self):
        mark, before = self.server.log_mark(), int(time.monotonic() * 1000) - 1
        self.logged_in().close()
        http_get(self.port, "/index.html")  # plain requests take no number
        (refused := self.open(source=next(SOURCES))).send_text(frame("login", "admin x"))
        for ws in (refused, self.open()):  # clients that never log in take one too
            ws.close()
        self.wait_left(mark, 3)  # numbers are never reused
        third, fourth = self.open(), self.logged_in(OPERATOR)
        self.login(self.login(third))  # a second login on one connection counts once
        for ws, text in ((third, "three"), (fourth, "four")):
            ws.send_text(frame("command", "echo " + text))
        self.assertTrue(wait_until(lambda: "echo four" in self.forwarded(), 5))
        three, four = ({e.data: e for e in self.rig.sim.journal()}["echo " + text]
                       for text in ("three", "four"))
        self.assertEqual((three.sn, four.sn), (30004, 30005))
        # Monotonic clock, milliseconds: each connect time, then the sending time.
        now = int(time.monotonic() * 1000) + 1
        self.assertTrue(before <= three.conn_time <= four.conn_time <= three.send_time <= now)
        for ws in (third, fourth):
            ws.close()
        self.wait_left(mark, 5)
        self.assertEqual(self.counts(mark), [1, 0, 1, 2, 1, 0])


class OnlineCountTest(RelayCase, DeviceCase):
    args = ("-m", "both")

    def test_a_burst_and_client_texts_reach_each_client_in_order_while_others_come_and_go(self):
        mark, https = self.server.log_mark(), self.rig.sandbox.https_port
        stable = [self.logged_in(port=p, tls=t) for p, t in ((self.port, False), (https, True)) * 2]

        def churn(credential):
            for _ in range(10):
                with WebSocket.connect(self.port) as ws:
                    ws.send_text(frame("login", credential))
                    while ws.recv_message()[1] != LOGIN_REPLY:
                        pass
        with ThreadPoolExecutor(4) as pool:
            churners = [pool.submit(churn, credential) for credential in (ADMIN, OPERATOR) * 2]
            stable[0].send_text(frame("command", "burst 200 200 tick"))
            for i, ws in enumerate(stable):  # over TLS too: one writer per connection
                for k in range(20):
                    ws.send_text(frame("command", f"echo c{i}-{k}"))
            for ws in stable:  # every tick in order, every text, the burst's own answer
                got = [ws.recv_message(10)[1] for _ in range(200 + 80 + 1)]
                self.assertEqual([m for m in got if b'"tick ' in m],
                                 [envelope(f"tick {n}") for n in range(1, 201)])
                self.assertEqual({m for m in got if b'"command":"c' in m},
                                 {envelope(f"c{i}-{k}") for i in range(4) for k in range(20)})
            for churner in churners:
                churner.result(30)
        for ws in stable:
            ws.close()
        self.wait_left(mark, 44)
        counts = self.counts(mark)  # one raise per login, one fall per close
        self.assertEqual((len(counts), counts[-1], min(counts), max(counts) <= 8), (88, 0, 0, True))


class LoginTest(RelayCase, DeviceCase):
    # No slots 1 and 2, slot 3 with Windows line ends, slot 4 without a password.
    properties = (b"adminName=admin\nadminPassWord=admin123\nuserName2=\nuserPassWord2=\n"
                  b"userName3=third\r\nuserPassWord3=pw3\r\nuserName4=four\nuserPassWord4=\n")

    def test_only_name_blank_password_of_a_slot_logs_in_and_only_that_client_hears(self):
        # The slots are read anew for every login: the pages edit them.
        props, watcher = self.rig.sandbox.server_properties, self.logged_in()
        self.addCleanup(props.write_bytes, props.read_bytes())
        props.write_bytes(props.read_bytes() + b"userName5=fifth\nuserPassWord5=pw5\n")
        for n, credential in enumerate([
                ADMIN, "third pw3", "fifth pw5",
                None, "admin admin12", "admin", "", "admin  admin123", "ADMIN admin123",
                "admin ADMIN123", "admin admin123 ", " admin admin123", "admin\tadmin123",
                "adminadmin123", "third pw3\r", OPERATOR, " ", "four ", "four"]):
            with self.subTest(credential=credential):
                ws = self.open(source=next(SOURCES))
                if n < 3:
                    self.login(ws, credential)
                    continue
                logins = [frame("login", credential)] if credential is not None else []
                for text in logins + [frame("command", f"echo refused {n}")]:
                    ws.send_text(text)
                self.assertTrue(ws.wait_closed(5), "a command without login left it open")
        watcher.expect_silence(0.1)
        self.assert_echo(self.logged_in(), "probe")  # the refused ones were not just late
        self.assertEqual([t for t in self.forwarded() if "refused" in t], [])

    def test_after_a_failed_login_the_address_waits_its_turn_and_stays_connected(self):
        mark, ws = self.server.log_mark(), self.open(source=next(SOURCES))
        started = time.monotonic()
        for attempt in ("admin wrong", "admin wrong2", "admin wrong3", ADMIN):  # one per 200 ms
            ws.send_text(frame("login", attempt))
        self.assertEqual(ws.recv_message(), (OP_TEXT, LOGIN_REPLY))
        self.assertGreaterEqual(time.monotonic() - started, 0.35)
        ws.send_text(frame("login", "admin wrong4"))  # a later failure does not log out
        self.assert_echo(ws, "still in")
        self.assertEqual(self.server.log(mark).count("slowed to one per"), 1)


class ForwardingTest(RelayCase, DeviceCase):
    def test_texts_reach_the_device_unchanged_and_clients_escaped_in_valid_utf8(self):
        ws = self.logged_in()
        # Control characters as \u and upper-case hex, DEL and UTF-8 as they are; bytes
        # that are no UTF-8 reach the device unchanged and the clients as U+FFFD each.
        ws.send_frame(OP_TEXT, b'{"type":"command","command":"echo q\\"b\\\\s/\\b\\f\\n\\r\\t'
                               b'\\u0001\\u001f\\u0010\x7f\xc3\xa9\xe4\xb8\xad\xff\xfe end"}')
        self.assertEqual(ws.recv_message()[1], b'{"comName":"ALL","command":"q\\"b\\\\s/\\b\\f\\n'
                         b'\\r\\t\\u0001\\u001F\\u0010\x7f\xc3\xa9\xe4\xb8\xad' + "\ufffd\ufffd"
                         .encode() + b' end","result":0,"type":"command"}\n')
        self.assertIn((b'echo q"b\\s/\b\f\n\r\t\x01\x1f\x10\x7f\xc3\xa9\xe4\xb8\xad\xff\xfe end')
                      .decode("utf-8", "surrogateescape"), self.forwarded())
        ws.send_text(frame("command", "echo"))
        self.assertEqual(ws.recv_message()[1], envelope(""))

    def test_the_service_query_is_answered_to_all_logged_in_clients_and_no_other(self):
        a, b, asker, refused = self.logged_in(), self.logged_in(OPERATOR), self.open(), \
            self.open(source=next(SOURCES))
        refused.send_text(frame("login", "admin nope"))
        http, target = f"{self.port}\\n", self.rig.sandbox.root / "injected"
        query, long = "config get service capability ", "service_http " + "x" * 300
        for ws, words, output in [  # the answer: the query (299 characters kept), the output
                (asker, "CONFIG GET SERVICE CAPABILITY service_http", http),
                (a, query + "service_https", f"{self.rig.sandbox.https_port}\\n"),
                (b, "Config Get Service capability service_http extra words", http),
                (a, query + "service_ftp", ""), (a, query.strip(), ""), (a, query + long, http),
                (a, query + "y" * 400, ""),  # too long for the script command: not run
                # The parameter reaches the script as one word, never a shell.
                (a, query + f"service_http;touch${{IFS}}{target}", ""),
                (a, query + f"$(touch${{IFS}}{target})", ""), (a, query + "service_http|cat", "")]:
            with self.subTest(query=words[:60]):
                ws.send_text(frame("private", words))
                for client in (a, b):
                    self.assertEqual(client.recv_message()[1],
                                     envelope(f"{words[:299]} {output}", "private"))
        for ws in (asker, refused, a, b):
            ws.expect_silence(0.1)
        self.assertFalse(target.exists())

    def test_other_private_commands_and_odd_frames_do_nothing_and_keep_the_connection(self):
        ws, start = self.logged_in(), self.server.log_mark()
        for command in ("config get service capabilit", "", " config get service capability x"):
            ws.send_text(frame("private", command))
        for opcode, payload, line in [  # none logs in, whatever its command
                (OP_TEXT, b'["login", "admin admin123"]', "[]"),
                (OP_TEXT, b'{"type":"LOGIN","command":"admin admin123"}', "[LOGIN]"),
                # Request data never starts a log line of its own.
                (OP_TEXT, b'{"type":"x\\nFORGED","comName":"\\r\\nFORGED"}', "[x\\nFORGED]"),
                (0x9, b"pp", "Rezudezi : ping"), (0xB, b"", "Rezudezi : unknown(bh)")]:
            with self.subTest(payload=payload, opcode=opcode):
                fresh, mark = self.open(), self.server.log_mark()
                fresh.send_frame(opcode, payload)
                self.login(fresh)
                self.assertIn(line if ":" in line else "no-define API tyep" + line,
                              self.server.log(mark))
        # Numbers read as their text, arrays and objects as empty.
        ws.send_text('{"type":"command","command":["echo x"],"result":{}}')
        ws.send_text('{"type":"command","command":7}')
        self.assertTrue(wait_until(lambda: self.forwarded()[-2:] == ["", "7"], 5))
        log = self.server.log(start)
        self.assertEqual((log.count("ready_sendbuf"), log.count("\nFORGED")), (0, 0))


class LimitsTest(RelayCase, DeviceCase):
    args = ("-m", "both")

    def test_a_frame_announcing_1_gib_closes_the_connection_unread(self):
        # Judged from the header: a body that never comes is never waited for.
        (ws := self.open()).sock.sendall(struct.pack("!BBQ", 0x81, 0x80 | 127, 1 << 30) + b"mask")
        with self.assertRaises(WebSocketClosed) as closed:
            ws.recv_message(5)
        self.assertEqual(closed.exception.code, 1009)

    def test_forty_websockets_at_most_leave_workers_for_the_pages_until_a_login_deadline(self):
        log = self.server.log
        self.assertTrue(wait_until(lambda: log().count("Join List") == log().count(LEFT), 10))
        upgrade = {"Upgrade": "websocket", "Connection": "Upgrade", "Sec-WebSocket-Version": "13"}
        key, bad = ({"Sec-WebSocket-Key": k} for k in ("dGhlIHNhbXBsZSBub25jZQ==", "k" * 70))
        # Only the device's own pages may open one, whatever their port.
        for path, headers, status in [("/websocket", bad, b"500")] * 45 + [
                (path, key, b"404") for path in ("/websocketX", "/websocket/x")] + [
                ("/websocket", {**key, "Origin": origin}, b"403") for origin in (
                    "http://127.0.0.1.evil.org", "null", f"http://x.org/127.0.0.1:{self.port}")]:
            raw = http_raw(self.port, build_request("GET", path, upgrade | headers, b"", self.port))
            self.assertTrue(raw.startswith(b"HTTP/1.1 " + status), raw[:80])
        keeper, held, refused = self.logged_in(), [], []
        for _ in range(41):  # the refused upgrades above left no entry behind
            try:
                held.append(self.open(headers={"Origin": "https://127.0.0.1:8443"}))
            except WebSocketHandshakeError as exc:
                refused.append(exc.response_head.split(b"\r\n")[0])
        started = time.monotonic()
        self.assertEqual((len(held), set(refused)), (39, {b"HTTP/1.1 503 Service Unavailable"}))
        page = http_raw(self.port, build_request("GET", "/getTxRxList", port=self.port), timeout=2)
        self.assertTrue(page.startswith(b"HTTP/1.1 200 OK"))
        for ws in held:  # 30 s without a login: closed; the logged-in client stays
            self.assertTrue(ws.wait_closed(max(0.1, started + 40 - time.monotonic())))
        self.assert_echo(keeper, "still here")

    @staticmethod
    def burst_texts(ws, text, count, timeout):
        """(text, arrival) of the burst's texts, in the order they came."""
        got, deadline = [], time.monotonic() + timeout
        while len(got) < count and time.monotonic() < deadline:
            if f" {text} ".encode() in (m := ws.recv_message(deadline - time.monotonic())[1]):
                got.append((m, time.monotonic()))
        return got

    def test_a_client_that_stops_reading_delays_no_one_else_and_a_pause_loses_nothing(self):
        count, rate, mark, text = 2400, 200, self.server.log_mark(), "x" * 3000
        readers, stalled = [self.logged_in() for _ in range(3)], self.logged_in()
        for ws, size in ((stalled, 4096), (readers[2], 16384)):
            ws.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, size)

        def read(ws, pause):  # the last pauses for 600 KB: more than the sockets take
            time.sleep(pause)
            ws.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)  # then catches up
            return self.burst_texts(ws, "st", count, count / rate + 15)
        with ThreadPoolExecutor(3) as pool:
            results = [pool.submit(read, ws, pause) for ws, pause in zip(readers, (0, 0, 1))]
            # 3 KB texts fill the stalled client's socket buffers within seconds.
            readers[0].send_text(frame("command", f"burst {count} {rate} {text} st"))
            time.sleep(count / rate - 2)
            started = time.monotonic()
            self.logged_in()
            self.assertLess(time.monotonic() - started, 2.0)  # a login meanwhile: at once
        for got in (r.result() for r in results):  # every text in order, none 1 s late
            self.assertEqual([m for m, _ in got],
                             [envelope(f"{text} st {n}") for n in range(1, count + 1)])
            self.assertLess(max(at - (got[0][1] + n / rate) for n, (_, at) in enumerate(got)), 1)
        self.assertEqual(self.server.log(mark).count("fell behind"), 1)  # closed, once

    def test_the_relay_resumes_on_the_same_connection_after_the_service_restarts(self):
        ws, sim = self.logged_in(), self.rig.sim
        for n, end in enumerate((sim.stop, sim.kill)):
            with self.subTest(service_ends_by=end.__name__):
                end()
                ws.send_text(frame("command", "echo lost"))  # lost while away, not fatal
                sim.start()
                self.assertTrue(sim.wait_for_connections(1), "the link did not reconnect")
                ws.send_text(frame("command", f"echo back {n}"))
                back = envelope(f"back {n}")
                self.assertTrue(wait_until(lambda: ws.recv_message()[1] == back, 5))
        self.assertTrue(self.server.running())


class LogTest(RelayCase, ServerTestCase):
    """Operators and support read these lines: text, order and form are kept; a SIGTERM
    loses none of them, a SIGKILL at most those still queued."""
    def start(self, edit=lambda sandbox, conf: conf):
        sandbox = self.make_sandbox()
        (sandbox.classes / "device.properties").write_text("tx1=192.168.1.1\nrx1=192.168.2.1\n")
        sandbox.log_config.write_text(edit(sandbox, sandbox.log_config.read_text()))
        sim, self.port = self.start_sim(sandbox), sandbox.http_port
        self.server = self.start_server(sandbox).wait_ready([sandbox.http_port])
        sim.wait_for_connections(1)
        return self.server, self.server.log_mark()

    def test_a_fixed_exchange_writes_the_same_lines_in_the_same_order(self):
        server, mark = self.start()
        a, b = self.logged_in(), self.logged_in(OPERATOR)
        for text in ("hello", "bye"):
            self.assert_echo(a, text, b)
            a.send_frame(OP_BINARY, b"x")
        # The frames are logged by the connection's worker, the list by another thread.
        self.assertTrue(wait_until(lambda: server.log(mark).count("Rezudezi : binary") == 2, 5))
        http_get(self.port, "/getTxRxList")
        for n, ws in enumerate((a, b), 1):
            ws.close()
            self.assertTrue(wait_until(lambda: server.log(mark).count("Client dropped") == n, 5))
        self.assertEqual(server.stop(), 0)
        log = server.log(mark)
        for pattern, replacement in LOG_VARIES:
            log = re.sub(pattern, replacement, log)
        golden = Path(__file__).with_name("data") / "fixed_exchange.log"
        self.assertEqual((log.count(SENT_LINE), log.replace(SENT_LINE, "")),
                         (2, golden.read_text()))

    def test_a_console_with_a_pattern_of_its_own_prints_every_line_in_that_form(self):
        # Lines are formatted once per pattern, not once for all appenders.
        for pattern, form in (("%d [%p] %m%n", r"\g<0>"), ("<%p> %m%n", r"<\1> ")):
            with self.subTest(pattern=pattern):
                server, _ = self.start(lambda sandbox, conf: re.sub(
                    r"(?<=CONSOLE\.layout\.ConversionPattern=).*", lambda _: pattern, conf))
                self.assert_echo(self.logged_in(), "hello")
                self.assertEqual(server.stop(), 0)
                text = server.log()
                self.assertRegex(text, r"(?m)^\d{4}-\d\d-\d\d \S+ " + BROADCAST)
                self.assertIn(re.sub(r"(?m)^\S+ \S+ \[(\w+)\] ", form, text),
                              server.stdout().decode())

    def test_a_stop_in_the_middle_of_a_burst_keeps_the_lines_logged_before_it(self):
        # A second appender writes into a pipe read only once the signal is sent: the
        # relay waits for the log (no line is dropped) and the stop finds lines queued.
        def slow_appender(sandbox, conf):
            os.mkfifo(sandbox.root / "slow")
            self.reader = os.open(sandbox.root / "slow", os.O_RDONLY | os.O_NONBLOCK)
            self.addCleanup(os.close, self.reader)
            return conf.replace("FILE, CONSOLE", "FILE, CONSOLE, SLOW") + "".join(
                f"log4cpp.appender.SLOW{key}\n" for key in ("=org.apache.log4cpp.FileAppender",
                f".fileName={sandbox.root}/slow", ".layout=org.apache.log4cpp.BasicLayout"))
        for sig, may_lose in ((signal.SIGTERM, 0), (signal.SIGKILL, LOG_QUEUE_LINES)):
            with self.subTest(signal=sig.name):
                server, came = self.start(slow_appender)[0], {}  # text number -> when
                (ws := self.logged_in()).send_text(frame("command", "burst 20000 10000 t"))
                with contextlib.suppress(TimeoutError):  # until the relay waits for the log
                    while True:
                        if n := re.search(rb'"t (\d+)"', ws.recv_message(1.0)[1]):
                            came[int(n[1])] = time.time()
                self.assertLess(len(came), 10000)
                os.kill(server.pid, sig)
                deadline = time.monotonic() + 10
                while server.running() and time.monotonic() < deadline:
                    select.select([self.reader], [], [], 0.05)[0] and os.read(self.reader, 1 << 16)
                server.wait_exit(1)
                line = r"(?m)^(\S+ \S+) " + BROADCAST + r'\{"comName":"ALL","command":"t (\d+)"'
                found = re.findall(line, server.log())
                numbers, stamps = [int(n) for _, n in found], [t for t, _ in found]
                self.assertEqual(numbers, list(range(1, len(numbers) + 1)))
                # Each line has its own time: that of its text's broadcast, to a moment.
                for n, t in zip(numbers, stamps):
                    at = time.mktime(time.strptime(t[:19], "%Y-%m-%d %H:%M:%S")) + int(t[20:]) / 1e3
                    self.assertLess(abs(at - came.get(n, at)), 0.2, (n, t))
                self.assertGreaterEqual(len(numbers), len(came) - may_lose)


if __name__ == "__main__":
    unittest.main()
