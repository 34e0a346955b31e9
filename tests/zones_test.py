#!/usr/bin/env python3
"""Zone documents and the zone password check, byte for byte on the wire."""

import os, sys, time, unittest  # noqa: E401
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (  # noqa: E402
    BOUNDARY, ERROR_RSP as BAD, FORM, OK_RSP, DeviceCase, download, multipart_body, wait_until)

# The zone routes' own answers carry no access-control header.
OK = OK_RSP.replace(b"access-control-allow-origin: *\r\n", b"")
FAIL = OK.replace(b"200 OK", b"401 Unauthorized")
NOT_FOUND = BAD.replace(b"access-control-allow-origin: *\r\n", b"")
ACTION = "/api/v1/action?cmdtype=control&cmdstr=verifypasswd&username=%s&passwd=%s"


class ZoneTest(DeviceCase):
    def setUp(self):
        super().setUp()
        self.zone, self.publictx = self.sb.zone_dir, self.sb.webroot / "publictx.jpg"
        [f.unlink() for f in [*self.zone.iterdir(), self.publictx] if f.exists()]

    def test_downloads_come_in_2000_byte_chunks_and_a_missing_file_is_500(self):
        self.publictx.write_bytes(b"\xff\xd8picture")  # never sent by the preview route
        for route, name in (("zones/info", "zone.json"), ("zones/page", "zone.page"),
                            ("zones/passwd", "zone.pw"), ("upload/public_tx_preview", "zone.pw")):
            for data in (None, b"", os.urandom(1999), os.urandom(2000), os.urandom(4001)):
                with self.subTest(route=route, size=None if data is None else len(data)):
                    (self.zone / name).unlink(missing_ok=True)
                    data is None or (self.zone / name).write_bytes(data)
                    self.assertEqual(self.request("GET", "/api/v1/" + route),
                                     NOT_FOUND if data is None else download(name, data))

    def test_the_field_not_the_route_or_file_name_decides_what_is_stored(self):
        odd = b'{"z":1}\r\n--' + BOUNDARY[:-1].encode()

        def notices():
            return [e for e in self.rig.sim.journal() if e.data.startswith("private ")]
        rows = [  # (route, method, fields, answer, files stored); one notice per zone.json
            ("/api/v1/zones/passwd", "POST", [("ZoneInfo", "../../z.json", odd),
             ("ZONEPW", "/etc/passwd", b"b:p\n"), ("PageCustom", "p", bytes(3000)),
             ("Public_TX_Preview", "C:\\x\\p.jpg", b"jpg")], OK, {"zone.json": odd,
             "zone.pw": b"b:p\n", "zone.page": bytes(3000), "publictx.jpg": b"jpg"}),
            # An unknown field ends the form; what came before it stays.
            ("/api/v1/zones/passwd", "POST", [("zoneinfo", "a", b"1st"), ("zonepass", "b", b"x"),
                                              ("zonepw", "c", b"z")], OK, {"zone.json": b"1st"}),
            ("/api/v1/zones/info", "POST", [("zoneinfo", "1", b"the first, longer"),
                                            ("ZONEINFO", "2", b"2nd")], OK, {"zone.json": b"2nd"}),
            ("/api/v1/upload/public_tx_preview", "PUT", [("zonepw", "p", b"")], OK,
             {"zone.pw": b""}),
            ("/api/v1/zones/info", "DELETE", [("zoneinfo", "z", b"{}")], b"", {}),
            # One that breaks off just before its end stores nothing, tells nobody.
            ("/api/v1/zones/info", "POST", [("zoneinfo", "z", os.urandom(5000))], b"", {}, -4)]
        before = len(notices())
        for route, method, fields, answer, stored, *cut in rows:
            with self.subTest(route=route, method=method, fields=[f[0] for f in fields], cut=cut):
                self.setUp()
                body = multipart_body(fields, BOUNDARY)
                self.assertEqual(self.request(method, route, body, FORM,
                                              cut[0] % len(body) if cut else None), answer)
                files = [*self.zone.iterdir(), self.publictx]  # no temporary either
                self.assertEqual({p.name: p.read_bytes() for p in files if p.exists()}, stored)
        wait_until(lambda: len(notices()) >= before + 3, 5)
        time.sleep(0.3)  # a further one would have come by now
        self.assertEqual([(e.data, e.sn, e.conn_time - e.send_time) for e in notices()[before:]],
                         [(f"private updatezonejson {self.zone}/zone.json", 30001, 0)] * 3)

    def test_the_password_check_answers_from_the_list_also_side_by_side(self):
        p = "p" * (2047 - len("passwd="))
        # CR LF and LF line ends; the first empty line ends the list.
        listed = (f"alice:pw1\r\nBob:pw2\n bob:x\na+b:c+d\ncarl:p:x\nerin:p%40ss\n\u5f20:s\n"
                  f"f:a=b\nbob:{p}\n\nzed:z\n")
        (self.zone / "zone.pw").write_bytes(listed.encode())
        rows = [(("alice", "pw1"), OK), (("alice", "pw1%0D"), FAIL), (("alic", "pw1"), FAIL),
                (("alice", "pw"), FAIL), (("zed", "z"), FAIL), (("alice", "pw2"), FAIL),
                # Raw bytes: case, blanks, "+" and colons all count.
                (("bob", "pw2"), FAIL), (("%20bob", "x"), OK), (("a+b", "c+d"), OK),
                (("carl", "p:x"), OK), (("f", "a=b"), OK), (("Bob", "pw1&passwd=pw2"), FAIL),
                # The name is percent-decoded (upper-case hex only), the password not.
                (("%E5%BC%A0", "s"), OK), (("%e5%bc%a0", "s"), FAIL), (("erin", "p%40ss"), OK),
                (("Bob%0AFORGED", "pw2"), FAIL),
                # A field of 2047 bytes is read, one of 2048 makes the query malformed.
                (("bob", p), OK), (("bob", p + "p"), BAD), (("", "x"), b"")]  # no name: no answer
        queries = [(ACTION % names, answer) for names, answer in rows] + [
            ("/api/v1/action?passwd=pw2&username=Bob&cmdstr=verifypasswd&cmdtype=control", OK),
            ("/api/v1/action?cmdtype=control&cmd=verifypasswd&username=bob&passwd=x", BAD),
            ("/api/v1/action?cmdtype=control&cmdstr=verifypasswd&username&passwd=x", BAD),
            ("/api/v1/action", BAD), ("/api/v1/action?cmdtype=control&cmdstr=verifypasswd", b"")]

        def ask(query, answer, method="GET"):  # no answer is awaited for a second only
            return query[:99], self.request(method, query, timeout=1 if answer == b"" else 10)
        with ThreadPoolExecutor(8) as pool:
            self.assertEqual(list(pool.map(lambda q: ask(*q), queries * 2)),
                             [(q[:99], a) for q, a in queries * 2])
        # The log is served to anyone: no password in it, no line a request started.
        self.assertNotRegex(self.rig.server.log(), r"(?m)pw1|p%40ss|c\+d|^FORGED")
        for content, method, answer in ((b"alice:pw1\r\nbob:pw2", "GET", OK), (b"", "GET", FAIL),
                                        (b"bob:pw2\n", "POST", b""), (None, "GET", NOT_FOUND)):
            with self.subTest(content=content, method=method):
                (self.zone / "zone.pw").unlink(missing_ok=True)
                content is None or (self.zone / "zone.pw").write_bytes(content)
                self.assertEqual(ask(ACTION % ("bob", "pw2"), answer, method)[1], answer)


if __name__ == "__main__":
    unittest.main()
