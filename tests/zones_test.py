#!/usr/bin/env python3
"""The zone API end to end: the four zone document routes (uploads decided
by the form field names, downloads in 2000-byte chunks, the one
"private updatezonejson" notice to the control service) and the zone
password check of /api/v1/action, byte for byte on the wire. Run with
`python3 tests/zones_test.py` (KT_BUILD_DIR selects the build folder)."""

import os
import re
import shutil
import socket
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import (  # noqa: E402
    multipart_body, ServerTestCase, WebSocket, build_request, connect, http_raw,
    send_cut, wait_until)

# Answers of the zone routes, exactly as the front-end's pages get them.
UPLOAD_OK = b"HTTP/1.1 200 OK\r\nServer: Apache-Coyote/1.1\r\nContent-Length: 0\r\n\r\n"
PWD_OK = UPLOAD_OK
PWD_FAIL = b"HTTP/1.1 401 Unauthorized\r\nServer: Apache-Coyote/1.1\r\nContent-Length: 0\r\n\r\n"
NOT_FOUND = (b"HTTP/1.1 500 Internal Server Error\r\nServer: Apache-Coyote/1.1\r\n"
             b"Content-Length: 0\r\nConnection: close\r\n\r\n")
BAD_QUERY = (b"HTTP/1.1 500 Internal Server Error\r\nServer: Apache-Coyote/1.1\r\n"
             b"access-control-allow-origin: *\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")


def download_head(name):
    return ("HTTP/1.1 200 OK\r\nServer: Apache-Coyote/1.1\r\naccess-control-allow-origin: *\r\n"
            f'Content-Disposition: attachment;filename="{name}"\r\n'
            "Content-Type: application/octet-stream\r\nTransfer-Encoding: chunked\r\n\r\n"
            ).encode()


def chunked(data, block=2000):
    out = b""
    for i in range(0, len(data), block):
        piece = data[i:i + block]
        out += b"%x\r\n" % len(piece) + piece + b"\r\n"
    return out + b"0\r\n\r\n"


BOUNDARY = "----ktZoneForm7MA4YWxkTrZu0gW"


class ZoneCase(ServerTestCase):
    rig = None

    @classmethod
    def setUpClass(cls):
        runs = cls.start_class_runs({"main": ((), None)})
        cls.rig = runs["main"]
        cls.rig.server.wait_ready([cls.rig.sandbox.http_port])
        cls.rig.sim.wait_for_connections(1)
        sandbox = cls.rig.sandbox
        cls.zone = sandbox.zone_dir
        cls.publictx = sandbox.webroot / "publictx.jpg"
        cls.port = sandbox.http_port

    def setUp(self):
        # Every test starts from an empty zone folder.
        shutil.rmtree(self.zone, ignore_errors=True)
        self.zone.mkdir(parents=True)
        self.publictx.unlink(missing_ok=True)

    def request(self, method, path, headers=None, body=b"", timeout=5):
        return http_raw(self.port, build_request(method, path, headers, body, self.port),
                        timeout=timeout)

    def upload(self, path, fields, method="POST"):
        headers = {"Content-Type": f"multipart/form-data; boundary={BOUNDARY}"}
        return self.request(method, path, headers, multipart_body(fields, BOUNDARY))

    def log_mark(self):
        return self.rig.server.log_mark()

    def log(self, since):
        return self.rig.server.log(since)


class ZoneDownloadTest(ZoneCase):
    """Downloads are chunked attachments of at most 2000 bytes a chunk; a
    missing file is the 500 file-not-found answer."""

    ROUTES = [("/api/v1/zones/info", "zone.json"), ("/api/v1/zones/page", "zone.page"),
              ("/api/v1/zones/passwd", "zone.pw"),
              # The preview route hands out the password list, not the picture.
              ("/api/v1/upload/public_tx_preview", "zone.pw")]

    def test_each_route_sends_its_file_split_into_2000_byte_chunks(self):
        for size in (0, 1, 1999, 2000, 2001, 4001):
            for route, name in self.ROUTES:
                with self.subTest(route=route, size=size):
                    data = bytes((i * 7 + size) % 256 for i in range(size))
                    (self.zone / name).write_bytes(data)
                    raw = self.request("GET", route)
                    self.assertEqual(raw, download_head(name) + chunked(data))

    def test_the_preview_picture_is_never_sent_by_the_preview_route(self):
        self.publictx.write_bytes(b"\xff\xd8picture")
        self.assertEqual(self.request("GET", "/api/v1/upload/public_tx_preview"), NOT_FOUND)

    def test_a_missing_file_answers_500_file_not_found(self):
        for route, name in self.ROUTES:
            with self.subTest(route=route):
                mark = self.log_mark()
                self.assertEqual(self.request("GET", route), NOT_FOUND)
                self.assertIn(f"WARING file [{self.zone / name}]! not exist", self.log(mark))

    def test_a_download_without_the_zone_folder_creates_nothing(self):
        shutil.rmtree(self.zone)
        for route, _ in self.ROUTES:
            with self.subTest(route=route):
                self.assertEqual(self.request("GET", route), NOT_FOUND)
                self.assertFalse(self.zone.exists(), "a download created the zone folder")


class ZoneUploadTest(ZoneCase):
    """The field names, in any letter case, decide which files are written,
    whatever the route; a zone description stored by a request notifies the
    control service once, before the 200 answer."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # A logged-in client whose commands mark points in the device link's
        # traffic: the link is one ordered stream, so everything the server
        # sent before a marker is journaled before it.
        cls.marker_ws = WebSocket.connect(cls.port)
        cls.addClassCleanup(cls.marker_ws.close)
        cls.marker_ws.send_text('{"type":"login","command":"admin admin123"}')
        cls.marker_ws.recv_message()
        cls.markers = 0

    def notices_since(self, start):
        """Notices journaled from entry `start` up to a fresh marker; returns
        (notices, index after the marker)."""
        type(self).markers += 1
        marker = f"echo zone-marker-{self.markers}"
        self.marker_ws.send_text('{"type":"command","command":"%s"}' % marker)
        self.marker_ws.recv_message()  # its echo, so nothing piles up
        entries = wait_until(
            lambda: (lambda j: j if any(e.data == marker for e in j) else None)(
                self.rig.sim.journal()), 5)
        self.assertIsNotNone(entries, "marker never journaled")
        end = next(i for i, e in enumerate(entries) if e.data == marker)
        notices = [e for e in entries[start:end] if e.data.startswith("private ")]
        return notices, end + 1

    def journal_start(self):
        return self.notices_since(len(self.rig.sim.journal()))[1]

    def assert_one_notice(self, start):
        notices, _ = self.notices_since(start)
        self.assertEqual(len(notices), 1, notices)
        notice = notices[0]
        self.assertEqual(notice.data, f"private updatezonejson {self.zone}/zone.json")
        self.assertEqual(notice.sn, 30001)
        # One reading of the clock serves both times.
        self.assertEqual(notice.conn_time, notice.send_time)
        self.assertGreater(notice.conn_time, 0)

    def assert_no_notice(self, start):
        notices, _ = self.notices_since(start)
        self.assertEqual(notices, [])

    def zone_files(self):
        return sorted(p.name for p in self.zone.iterdir())

    def test_each_field_stores_its_file_byte_for_byte_with_names_in_any_case(self):
        json_data = b'{"zones":[1,2]}\r\n\x00\xff\n--' + BOUNDARY.encode()[:-1] + b"\r\n"
        pw_data = b"bob:pw2\r\nalice:x\n"
        page_data = bytes(range(256)) * 20
        picture = b"\xff\xd8\xff\xe0" + os.urandom(3000)
        start = self.journal_start()
        raw = self.upload("/api/v1/zones/passwd", [
            ("ZoneInfo", "z.json", json_data), ("ZONEPW", "z.pw", pw_data),
            ("PageCustom", "page.txt", page_data), ("Public_TX_Preview", "p.jpg", picture)])
        self.assertEqual(raw, UPLOAD_OK)
        self.assertEqual((self.zone / "zone.json").read_bytes(), json_data)
        self.assertEqual((self.zone / "zone.pw").read_bytes(), pw_data)
        self.assertEqual((self.zone / "zone.page").read_bytes(), page_data)
        self.assertEqual(self.publictx.read_bytes(), picture)
        self.assert_one_notice(start)

    def test_the_field_not_the_route_decides(self):
        cases = [("/api/v1/zones/page", "zoneinfo", "zone.json"),
                 ("/api/v1/zones/info", "pagecustom", "zone.page"),
                 ("/api/v1/upload/public_tx_preview", "zonepw", "zone.pw"),
                 ("/api/v1/zones/info", "zonepw", "zone.pw")]
        for route, field, stored in cases:
            with self.subTest(route=route, field=field):
                self.setUp()
                start = self.journal_start()
                self.assertEqual(self.upload(route, [(field, "f", b"content")]), UPLOAD_OK)
                self.assertEqual(self.zone_files(), [stored])
                self.assertEqual((self.zone / stored).read_bytes(), b"content")
                if field == "zoneinfo":
                    self.assert_one_notice(start)
                else:
                    self.assert_no_notice(start)

    def test_an_unknown_first_field_stores_nothing_and_still_answers_200(self):
        start = self.journal_start()
        raw = self.upload("/api/v1/zones/info", [("zone", "a", b"x"), ("zoneinfo", "b", b"y"),
                                                  ("zonepw", "c", b"z")])
        # This 200 has no access-control header, unlike the generic one.
        self.assertEqual(raw, UPLOAD_OK)
        self.assertEqual(self.zone_files(), [])
        self.assert_no_notice(start)

    def test_an_unknown_field_stops_the_form_but_keeps_what_came_before(self):
        start = self.journal_start()
        raw = self.upload("/api/v1/zones/passwd", [
            ("zoneinfo", "a.json", b"first"), ("zonepass", "b", b"x"), ("zonepw", "c", b"z")])
        self.assertEqual(raw, UPLOAD_OK)
        self.assertEqual(self.zone_files(), ["zone.json"])
        self.assert_one_notice(start)

    def test_two_descriptions_in_one_form_keep_the_last_and_notify_once(self):
        start = self.journal_start()
        raw = self.upload("/api/v1/zones/info", [
            ("zoneinfo", "1.json", b"the first, longer description"),
            ("zonepw", "p", b"u:p\n"), ("ZONEINFO", "2.json", b"second")])
        self.assertEqual(raw, UPLOAD_OK)
        self.assertEqual((self.zone / "zone.json").read_bytes(), b"second")
        self.assertEqual((self.zone / "zone.pw").read_bytes(), b"u:p\n")
        self.assert_one_notice(start)

    def test_known_fields_without_a_file_name_are_skipped(self):
        start = self.journal_start()
        raw = self.upload("/api/v1/zones/passwd", [
            ("zoneinfo", None, b"plain value"), ("zonepw", "", b"empty file name"),
            ("pagecustom", "page", b"page")])
        self.assertEqual(raw, UPLOAD_OK)
        self.assertEqual(self.zone_files(), ["zone.page"])
        self.assert_no_notice(start)

    def test_an_empty_file_is_stored_empty(self):
        (self.zone / "zone.pw").write_bytes(b"old:list\n")
        self.assertEqual(self.upload("/api/v1/zones/passwd", [("zonepw", "p", b"")]), UPLOAD_OK)
        self.assertEqual((self.zone / "zone.pw").read_bytes(), b"")

    def test_an_upload_creates_a_missing_zone_folder(self):
        shutil.rmtree(self.zone)
        start = self.journal_start()
        self.assertEqual(self.upload("/api/v1/zones/page", [("zoneinfo", "z", b"{}")]),
                         UPLOAD_OK)
        self.assertEqual((self.zone / "zone.json").read_bytes(), b"{}")
        self.assert_one_notice(start)

    def test_other_methods_upload_on_the_passwd_and_preview_routes(self):
        for method in ("PUT", "DELETE", "PATCH"):
            for route in ("/api/v1/zones/passwd", "/api/v1/upload/public_tx_preview"):
                with self.subTest(method=method, route=route):
                    self.setUp()
                    data = f"{method}:{route}\n".encode()
                    self.assertEqual(self.upload(route, [("zonepw", "p", data)], method),
                                     UPLOAD_OK)
                    self.assertEqual((self.zone / "zone.pw").read_bytes(), data)

    def test_other_methods_on_info_and_page_log_an_error_and_send_nothing(self):
        for route, line in (("/api/v1/zones/info", "zone json error"),
                            ("/api/v1/zones/page", "zone page error")):
            for method in ("PUT", "DELETE", "OPTIONS"):
                with self.subTest(route=route, method=method):
                    start = self.journal_start()
                    mark = self.log_mark()
                    raw = self.upload(route, [("zoneinfo", "z", b"{}"), ("zonepw", "p", b"a:b")],
                                      method)
                    self.assertEqual(raw, b"")
                    self.assertEqual(self.zone_files(), [])
                    self.assertIn(f"[ERROR] {line} --[", self.log(mark))
                    self.assert_no_notice(start)

    def test_an_upload_that_breaks_off_or_is_refused_keeps_the_old_file_and_no_temporary(self):
        headers = {"Content-Type": f"multipart/form-data; boundary={BOUNDARY}"}
        for field, target in (("zoneinfo", self.zone / "zone.json"),
                              ("zonepw", self.zone / "zone.pw"),
                              ("pagecustom", self.zone / "zone.page"),
                              ("public_tx_preview", self.publictx)):
            form = multipart_body([(field, "f", os.urandom(5000))], BOUNDARY)
            # (body as announced, bytes of it sent)
            for case, body, sent in (("half the body", form, len(form) // 2),
                                     ("all but the form's end", form, len(form) - 4),
                                     ("bytes after the form's end", form + b"x", len(form) + 1)):
                with self.subTest(field=field, case=case):
                    old = b"old " + field.encode() + b"\n"
                    target.write_bytes(old)
                    before = sorted(os.listdir(target.parent))
                    start = self.journal_start()
                    request = build_request("POST", "/api/v1/zones/passwd", headers, body,
                                            self.port)
                    self.assertEqual(send_cut(self.port, request, len(request) - len(body) + sent),
                                     b"")
                    self.assertEqual(target.read_bytes(), old)
                    self.assertEqual(sorted(os.listdir(target.parent)), before)
                    self.assert_no_notice(start)

    def test_a_body_that_is_no_form_answers_nothing_and_notifies_nothing(self):
        start = self.journal_start()
        mark = self.log_mark()
        raw = self.request("POST", "/api/v1/zones/info", {"Content-Type": "text/plain"},
                           b"zoneinfo=hello")
        self.assertEqual(raw, b"")
        self.assertRegex(self.log(mark), r"\[ERROR\] ret : -\d+ --\[")
        self.assertEqual(self.zone_files(), [])
        self.assert_no_notice(start)


class ZoneActionTest(ZoneCase):
    """/api/v1/action answers whether username:passwd is a line of zone.pw
    before the first empty line: 200, 401, 500 for a malformed request, and
    nothing at all for a well-formed one that asks for no check."""

    LIST = b"alice:pw1\nbob:pw2\n"

    def setUp(self):
        super().setUp()
        (self.zone / "zone.pw").write_bytes(self.LIST)

    def check(self, query, path="/api/v1/action"):
        return self.request("GET", path + query)

    def verify(self, username, passwd):
        return self.check(f"?cmdtype=control&cmdstr=verifypasswd&username={username}"
                          f"&passwd={passwd}")

    def assert_silent(self, query, method="GET"):
        """No byte of an answer: the connection closes empty, or stays open
        silent for a short while."""
        with connect(self.port, timeout=2) as sock:
            sock.sendall(build_request(method, "/api/v1/action" + query, port=self.port))
            sock.settimeout(1.5)
            try:
                data = sock.recv(4096)
            except (socket.timeout, ConnectionResetError):
                data = b""
        self.assertEqual(data, b"")

    def test_a_listed_pair_matches_whatever_the_line_ends(self):
        lists = {
            "line feeds": b"alice:pw1\nbob:pw2\ncarol:pw3\n",
            "carriage returns and line feeds": b"alice:pw1\r\nbob:pw2\r\ncarol:pw3\r\n",
            "no final line end": b"alice:pw1\nbob:pw2\ncarol:pw3",
            "no final carriage return and line feed": b"alice:pw1\r\nbob:pw2\r\ncarol:pw3",
        }
        for name, content in lists.items():
            with self.subTest(list=name):
                (self.zone / "zone.pw").write_bytes(content)
                for user, pw in (("alice", "pw1"), ("bob", "pw2"), ("carol", "pw3")):
                    self.assertEqual(self.verify(user, pw), PWD_OK, (user, pw))
                for user, pw in (("carol", "pw"), ("caro", "pw3"), ("carol", "pw3%0D"),
                                 ("dave", "pw3"), ("bob", "pw1")):
                    self.assertEqual(self.verify(user, pw), PWD_FAIL, (user, pw))

    def test_entries_are_compared_as_raw_bytes(self):
        (self.zone / "zone.pw").write_bytes(b"Bob:pw2\n bob:pw2\nbob:Pw2\ndan :pw4\n"
                                            b"a+b:c+d\ncarl:pw2:extra\n")
        for user, pw in (("bob", "pw2"), ("Bob", "Pw2"), ("dan", "pw4"), ("carl", "pw2")):
            self.assertEqual(self.verify(user, pw), PWD_FAIL, (user, pw))
        for user, pw in (("Bob", "pw2"), ("bob", "Pw2"), ("%20bob", "pw2"), ("dan%20", "pw4"),
                         # "+" is no blank in either field.
                         ("a+b", "c+d"),
                         # The whole line is the entry: a colon may sit in the password.
                         ("carl", "pw2:extra")):
            self.assertEqual(self.verify(user, pw), PWD_OK, (user, pw))

    def test_an_empty_line_ends_the_list_and_an_empty_list_matches_nothing(self):
        for content in (b"alice:pw1\n\nbob:pw2\n", b"alice:pw1\r\n\r\nbob:pw2\r\n",
                        b"\nbob:pw2\n", b""):
            with self.subTest(content=content):
                (self.zone / "zone.pw").write_bytes(content)
                self.assertEqual(self.verify("bob", "pw2"), PWD_FAIL)
        (self.zone / "zone.pw").write_bytes(b"alice:pw1\n\nbob:pw2\n")
        self.assertEqual(self.verify("alice", "pw1"), PWD_OK)

    def test_the_name_is_percent_decoded_the_password_used_as_sent(self):
        (self.zone / "zone.pw").write_bytes("张:secret\nx y:pw\ndave:p@ss\nerin:p%40ss\n"
                                            "frank:a=b==c\n".encode())
        for user, pw, expected in (
                ("%E5%BC%A0", "secret", PWD_OK), ("x%20y", "pw", PWD_OK),
                # Only A to F count as hex letters: lower case decodes to other bytes.
                ("%e5%bc%a0", "secret", PWD_FAIL),
                ("dave", "p%40ss", PWD_FAIL), ("erin", "p%40ss", PWD_OK),
                # The password keeps everything after the first equals sign.
                ("frank", "a=b==c", PWD_OK), ("frank", "a", PWD_FAIL)):
            self.assertEqual(self.verify(user, pw), expected, (user, pw))

    def test_fields_may_come_in_any_order_and_a_fifth_is_ignored(self):
        base = "?cmdtype=control&cmdstr=verifypasswd&username=bob"
        cases = [
            ("?passwd=pw2&username=bob&cmdstr=verifypasswd&cmdtype=control", PWD_OK),
            (base + "&passwd=pw2&x=1", PWD_OK),
            (base + "&passwd=pw2&garbage", PWD_OK),
            (base + "&passwd=pw2&passwd=pw1", PWD_OK),
            (base + "&passwd=pw1&passwd=pw2", PWD_FAIL),
        ]
        for query, expected in cases:
            with self.subTest(query=query):
                self.assertEqual(self.check(query), expected)

    def test_a_malformed_query_answers_500(self):
        cases = [
            "?cmdtype=control&cmd=verifypasswd&username=bob&passwd=pw2",
            "?Cmdtype=control&cmdstr=verifypasswd&username=bob&passwd=pw2",
            "?cmdtype=control&cmdstr=verifypasswd&username&passwd=pw2",
            "?cmdtype=control&cmdstr=verifypasswd&username=bob&=pw2",
            "?x=1&cmdtype=control&cmdstr=verifypasswd&username=bob&passwd=pw2",
            "?cmdtype=control&cmdstr=verifypasswd&&username=bob&passwd=pw2",
            "?",
            "",
        ]
        for query in cases:
            with self.subTest(query=query):
                self.assertEqual(self.check(query), BAD_QUERY)

    def test_a_field_of_2048_bytes_answers_500_one_of_2047_is_read(self):
        pw = "p" * (2047 - len("passwd="))
        (self.zone / "zone.pw").write_bytes(f"bob:{pw}\n".encode())
        self.assertEqual(self.verify("bob", pw), PWD_OK)
        self.assertEqual(self.verify("bob", pw + "p"), BAD_QUERY)
        self.assertEqual(self.verify("bob" + "b" * 3000, "pw2"), BAD_QUERY)

    def test_well_formed_queries_that_ask_for_no_check_get_no_answer(self):
        for query in (
                # The second field stands in for fields 3 and 4: no name, no password.
                "?cmdtype=control&cmdstr=verifypasswd",
                # Three fields: the third stands in for the fourth, the
                # command stays empty; a repeated key leaves another one empty.
                "?cmdtype=control&username=bob&passwd=pw2",
                "?cmdtype=control&cmdstr=verifypasswd&username=eve&username=bob",
                "?cmdtype=control&cmdstr=other&username=bob&passwd=pw2",
                "?cmdtype=Control&cmdstr=verifypasswd&username=bob&passwd=pw2",
                "?cmdtype=control&cmdstr=verifypasswd&username=&passwd=pw2",
                "?cmdtype=control&cmdstr=verifypasswd&username=bob&passwd="):
            with self.subTest(query=query):
                self.assert_silent(query)

    def test_a_post_gets_no_answer_and_one_error_line(self):
        mark = self.log_mark()
        self.assert_silent("?cmdtype=control&cmdstr=verifypasswd&username=bob&passwd=pw2",
                           method="POST")
        self.assertEqual(self.log(mark).count("[ERROR] check zone pwd is not GET --["), 1)

    def test_without_the_list_every_check_answers_file_not_found(self):
        (self.zone / "zone.pw").unlink()
        for query in ("?cmdtype=control&cmdstr=verifypasswd&username=bob&passwd=pw2",
                      "?cmd=bad", "?cmdtype=control&cmdstr=verifypasswd"):
            with self.subTest(query=query):
                self.assertEqual(self.check(query), NOT_FOUND)
        shutil.rmtree(self.zone)
        self.assertEqual(self.verify("bob", "pw2"), NOT_FOUND)
        self.assertFalse(self.zone.exists())

    def test_checks_run_side_by_side(self):
        import concurrent.futures
        names = [f"user{i}" for i in range(300)]
        (self.zone / "zone.pw").write_bytes(
            "".join(f"{n}:pw-{n}\n" for n in names).encode())
        queries = [(n, f"pw-{n}", PWD_OK) for n in names[::30]]
        queries += [(n, "wrong", PWD_FAIL) for n in names[5::60]]
        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            answers = list(pool.map(lambda q: (self.verify(q[0], q[1]), q[2]), queries * 2))
        for got, expected in answers:
            self.assertEqual(got, expected)


if __name__ == "__main__":
    unittest.main()
