#!/usr/bin/env python3
"""Preview stream, scene document and upload, device update, TX/RX list,
status document, log route, and the methods each route takes."""

import json, os, re, socket, struct, sys, time, unittest  # noqa: E401
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (  # noqa: E402
    BOUNDARY, ERROR_RSP, FORM, JSON_HEAD, OK_RSP, WORKERS, DeviceCase, Response, build_request,
    Sandbox, connect, download, multipart_body, recv_all, wait_until)

UPDATE_OK = OK_RSP.replace(b"access-control-allow-origin: *\r\n", b"")
STREAM_HEAD = (b"HTTP/1.1 200 OK\r\nServer: Apache-Coyote/1.1\r\nconnection: close\r\n"
               b"Content-Type: multipart/x-mixed-replace; boundary=--w00t\r\n\r\n")


def frame(picture):
    return b"--w00t\r\nContent-Type: image/jpeg\r\nContent-Length: %d\r\n\r\n%s\r\n" % (
        len(picture), picture)


def txrx(body):
    return b"HTTP/1.1 200 OK\r\nServer: Apache-Coyote/1.1\r\nContent-Length: %d\r\n\r\n%s\r\n" % (
        len(body), body)


class SceneStatusTest(DeviceCase):
    restored = (Sandbox.TOMCAT + "/webapps",)
    classes = property(lambda self: self.sb.classes)

    def test_the_stream_sends_the_picture_once_a_second_until_the_client_leaves(self):
        picture = self.sb.webroot / "customization/previewImage.jpg"
        first, second = b"\xff\xd8first" + bytes(range(256)) * 3, b"\xff\xd8second" * 700
        picture.write_bytes(first)
        a, b = connect(self.port), connect(self.port)  # a POST streams like a GET
        a.sendall(build_request("GET", "/stream", port=self.port))
        b.sendall(build_request("POST", "/stream", body=b"x", port=self.port))
        data = b""
        while len(data) < len(STREAM_HEAD + frame(first) * 2):
            data += a.recv(65536)
        self.assertEqual(data, STREAM_HEAD + frame(first) * 2)  # and no third one yet: the pause
        picture.with_name("new.jpg").write_bytes(second)  # replaced whole, as the device does
        os.replace(picture.with_name("new.jpg"), picture)
        while frame(second) not in data and data.count(b"--w00t") < 6:
            data += a.recv(65536)
        self.assertIn(frame(second), data)
        a.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        a.close()
        counts = r"connections currently requesting stream : \[(-?\d+)\]"
        wait_until(lambda: re.findall(counts, self.server.log(self.mark)), 10)  # a's leave noticed
        picture.unlink()  # the other stream ends at its next frame, logged before it closes
        with b:
            self.assertTrue(recv_all(b, 10).startswith(STREAM_HEAD))
        self.assertEqual(re.findall(counts, self.server.log(self.mark)), ["1", "0"])
        picture.write_bytes(b"")  # clients leaving an empty picture's stream free their workers
        for _ in range(WORKERS + 5):
            with connect(self.port) as c:
                c.sendall(build_request("GET", "/stream", port=self.port))
                self.assertEqual(c.recv(len(STREAM_HEAD), socket.MSG_WAITALL), STREAM_HEAD)

    def test_a_scene_upload_is_converted_noted_and_announced_only_on_success(self):
        script = self.sb.webroot / "civetweb/xml2json/Demo/xml2JSON.sh"
        props, temp = self.sb.server_properties, self.classes / "SystemConfigtemp.hoi"
        project, real = self.classes / "project.json", script.read_text()
        # A stand-in adds the document it got to the project, waits, and prints its answer.
        stand_in = '#!/bin/sh\necho "$1 $(cat "$1")" >> "$2"\nsleep 0.3\nprintf "{}"\n'
        xml = b'<?xml version="1.0"?>\n<S v="&quot;3"><R t="1"/><R t="2"/><N>a <![CDATA[& b]]></N>'
        converted = b'{"S":{"N":{"#text":"a & b"},"R":[{"t":"1"},{"t":"2"}],"v":"\\"3"}}\n'
        one, bad = [("s", "a", b"<a/>")], [("s", "s.hoi", b"<a><b></a>")]
        rows = [  # (script's answer, or the device's converter, or none; form; answer)
            ("1 ok", [("one", "C:/x/1.hoi", b"1st"), ("note", None, b"v"), ("two", "2", b"2nd")],
             OK_RSP), (" 1", one, ERROR_RSP), ("", one, ERROR_RSP), ("<no script>", one, ERROR_RSP),
            (real, [("s", "s.hoi", xml + b"</S>\n")], OK_RSP), (real, bad, ERROR_RSP)]
        for answer, fields, reply in rows:
            with self.subTest(answer=answer[:20], fields=[f[0] for f in fields]):
                props.write_text("adminName=admin\nuserSceneNote=my scene\nuserSceneNoteX=other\n")
                project.write_bytes(b"{}\n")
                script.write_text(real if answer == real else stand_in.format(answer))
                script.chmod(0o755) if answer != "<no script>" else script.unlink()
                before = len(self.rig.sim.journal())
                self.assertEqual(self.form("/scene_upload", fields), reply)
                ok, doc = reply == OK_RSP, [f[2] for f in fields if f[1]][-1]  # the last file wins
                self.assertEqual(props.read_text(), "adminName=admin\n" + (
                    "userSceneNote=null\n" * 2 if ok else
                    "userSceneNote=my scene\nuserSceneNoteX=other\n"))
                self.assertEqual(project.read_bytes(), b"{}\n%s %s\n" % (bytes(temp), doc)
                                 if answer not in (real, "<no script>") else
                                 converted if ok else b"{}\n")
                self.assertFalse(temp.exists())
                time.sleep(0.2)  # a notice would be journaled by now
                self.assertEqual([(e.data, e.sn) for e in self.rig.sim.journal()[before:]],
                                 [(f"private updateprojectjson {project}", 30001)] * ok)
        # Side by side, each upload converts its own document; one that breaks off, none.
        project.write_bytes(b"")
        script.write_text(stand_in.format("1"))
        with ThreadPoolExecutor(3) as pool:
            got = list(pool.map(lambda t: self.form("/scene_upload", [("s", "s", t)],
                                                    99 if t == b"C" * 999 else None),
                                (b"AAAA", b"BBBB", b"C" * 999)))
        self.assertEqual((got, sorted(c.split()[-1] for c in project.read_text().splitlines()),
                          temp.exists()), ([OK_RSP, OK_RSP, b""], ["AAAA", "BBBB"], False))

    def test_device_update_keeps_exactly_the_files_of_the_last_complete_upload(self):
        update = self.sb.root / "home/ubuntu/update"

        def stored():
            return ({p.name: p.read_bytes() for p in update.iterdir()},
                    sorted(os.listdir(update.parent)))
        # The body comes in pieces: line ends, dashes, the boundary's start around 64 KiB edges.
        big = bytearray(bytes(range(256)) * 1200)
        for edge in range(1 << 16, len(big), 1 << 16):
            for at, mark in zip((-11, -4, -1, 0, 2, 9), (b"\r", b"\r\n", b"\r\n-", b"\r\n--",
                                                         b"\r\n------kt", b"\r\r\n--\r")):
                big[edge + at:edge + at + len(mark)] = mark
        home, big = stored()[1], bytes(big) + b"\r\n--"
        rows = [  # (form, files stored); names that leave no file name are skipped
            ([("fw", "C:/temp/fw.bin", b"\0fw\xff"), ("h", ".hidden", b"H"), ("big", "big", big)],
             {"fw.bin": b"\0fw\xff", ".hidden": b"H", "big": big}),
            ([("a", "..", b"up"), ("b", ".", b"."), ("c", "dir/", b"no"), ("d", "x/..", b"up"),
              ("e", "Gerät ü.bin", b"OK")], {"Gerät ü.bin": b"OK"}),
            ([("note", None, b"value")], {})]
        for fields, files in rows:
            with self.subTest(fields=[f[1] for f in fields]):
                (update / "subdir").mkdir(exist_ok=True)
                self.assertEqual((self.form("/update_device", fields), stored()),
                                 (UPDATE_OK, (files, home)))
        # One that breaks off or is refused leaves the folder as it was.
        self.form("/update_device", [("a", "a.bin", b"A")])
        self.assertEqual((self.form("/update_device", [("n", "new.bin", b"N" * 9000)], 8999),
                          self.request("GET", "/update_device"), stored()),
                         (b"", b"", ({"a.bin": b"A"}, home)))
        # A stalled sender holds up nobody; side by side, one request's files fill the folder.
        slow = [("a", "slow-a", b"A" * 3000), ("b", "slow-b", b"B" * 3000)]
        req = build_request("POST", "/update_device", FORM, multipart_body(slow, BOUNDARY),
                            self.port)
        forms = [[(f"f{k}", f"r{i}-{k}", bytes([i]) * 1000 * (k + 1)) for k in range(3)]
                 for i in range(6)]
        with connect(self.port) as sock, ThreadPoolExecutor(6) as pool:
            sock.sendall(req[:-1000])
            self.assertEqual(list(pool.map(lambda f: self.form("/update_device", f), forms)),
                             [UPDATE_OK] * 6)
            self.assertIn(stored()[0], [{n: d for _, n, d in f} for f in forms])
            sock.sendall(req[-1000:])
            self.assertEqual(recv_all(sock), UPDATE_OK)
        self.assertEqual(stored()[0], {n: d for _, n, d in slow})

    def test_the_txrx_list_joins_every_value_after_one_blank(self):
        props = self.classes / "device.properties"
        rows = [(b"# devices\r\ntx1=Camera\r\n\r\ntx2=Desk # spare\nlonely\nrx1=a=b\n#tx3=gone",
                 b'{"list":" Camera Desk   a=b"}'),
                (b"# only a comment\n\n", b'{"list":""}'), (None, b'{"list":""}')]
        for content, body in rows:
            with self.subTest(content=content):
                props.unlink(missing_ok=True)
                content is None or props.write_bytes(content)
                self.assertEqual(self.request("GET", "/getTxRxList"), txrx(body))

    def test_the_status_document_and_the_log_route(self):
        doc, props = self.classes / "marloinfo.json", self.sb.server_properties
        props.write_text("adminName=boss\nadminPassWord=pa=ss\nuserName1=op\nuserPassWord1=op123\n")

        def status(marlo=None, http=str(self.port), https=str(self.sb.https_port)):
            body = {"admininfo": {"adminname": "boss", "adminpwd": "pa"},  # cut at a further "="
                    "deviceinfo": {"http": http, "https": https, "onlinenum": 0}}
            body.update({} if marlo is None else {"marloinfo": marlo})
            return JSON_HEAD + json.dumps(body, separators=(",", ":")).encode() + b"\n"
        self.assertEqual(self.request("GET", "/marlo"), status())
        self.assertNotIn(":[pa", self.server.log(self.mark))  # the log is served to anyone
        stored = '{"tablets":[1,2],"name":"A\\\\B"}\n\0x'
        rows = [  # (body, body bytes sent, answer, document stored): a cut body keeps the old one
            (stored, None, OK_RSP, stored[:-2]), ("", None, OK_RSP, ""),
            ("a" * 5000, None, OK_RSP, "a" * 3071), ("d" * 100, 50, ERROR_RSP, "a" * 3071)]
        for body, cut, answer, kept in rows:
            with self.subTest(body=body[:40], cut=cut):
                self.assertEqual(self.request("POST", "/marlo", body.encode(), cut=cut), answer)
                self.assertEqual((doc.read_text(), self.request("GET", "/marlo")),
                                 (kept, status(kept)))
        self.assertEqual([n for n in os.listdir(self.classes) if n.startswith(".")], [])
        (self.sb.webroot / "civetweb/getServiceParam.sh").unlink()  # no service script: no ports
        self.assertEqual(self.request("GET", "/marlo"), status("a" * 3071, "", ""))
        # The log is served whole; a client's line becomes one escaped line of its first 1023 bytes.
        raw = Response(self.request("GET", "/log")).body
        self.assertTrue(self.sb.log_file.read_bytes().startswith(raw))
        for body, line in ((b"A" * 1022 + b"BC", "A" * 1022 + "B"),
                           (b"x\n2024-01-01 [ERROR] forged\r\tend\\ \x01",
                            "x\\n2024-01-01 [ERROR] forged\\r\\tend\\\\ \\x01")):
            self.setUp()
            self.assertEqual(self.request("POST", "/log", body), OK_RSP)
            self.assertEqual(re.findall(r"^\S+ \S+ \[INFO\] Marlo : (.*) --\[",
                                        self.server.log(self.mark), re.M), [line])

    def test_each_method_gets_the_answer_of_its_route(self):
        (self.classes / "device.properties").write_bytes(b"tx1=Camera\n")
        (self.classes / "SystemConfig.hoi").write_bytes(b"<S/>\n")
        listed, refused = txrx(b'{"list":" Camera"}'), r"\[ERROR\] Http Method Error --"
        scene = r"\[INFO\] Rezudezi : /scene is not GET --"
        rows = [  # (method, path, answer, the one log line it adds); a path's prefix counts
            ("GET", "/scene", download("SystemConfig.hoi", b"<S/>\n"), None),
            ("PUT", "/getTxRxList", listed, None), ("DELETE", "/getTxRxList/x", listed, None),
            ("POST", "/scene", b"", scene), ("HEAD", "/sceneX", b"", scene),
            ("OPTIONS", "/marlo", ERROR_RSP, refused), ("PATCH", "/log", ERROR_RSP, refused)]
        for method, path, answer, line in rows:
            with self.subTest(method=method, path=path):
                self.setUp()
                self.assertEqual(self.request(method, path, b"x" * (method == "PUT")), answer)
                line and self.assertEqual(len(re.findall(line, self.server.log(self.mark))), 1)


if __name__ == "__main__":
    unittest.main()
