#!/usr/bin/env python3
"""Scene, stream, device and status routes end to end: the preview stream,
scene download, scene upload with its conversion and notification, device
update uploads, the TX/RX list, the companion application's status document
and the log route. Every server runs in a sandbox device tree (DEVICE_ROOT)
on free ports; run with `python3 tests/scene_status_test.py` (KT_BUILD_DIR
selects the build folder)."""

import json
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import uuid

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import (  # noqa: E402
    ERROR_RSP, IO_TIMEOUT, JSON_HEAD, OK_RSP, WORKERS, Response, ServerTestCase, WebSocket, binary,
    build_request, connect, http_raw, multipart_body, program_argv, recv_all, send_cut, wait_until)

UPDATE_RSP = b"HTTP/1.1 200 OK\r\nServer: Apache-Coyote/1.1\r\nContent-Length: 0\r\n\r\n"
STREAM_HEAD = (b"HTTP/1.1 200 OK\r\nServer: Apache-Coyote/1.1\r\nconnection: close\r\n"
               b"Content-Type: multipart/x-mixed-replace; boundary=--w00t\r\n\r\n")


def download_head(name):
    return (b"HTTP/1.1 200 OK\r\nServer: Apache-Coyote/1.1\r\naccess-control-allow-origin: *\r\n"
            b"Content-Disposition: attachment;filename=\"" + name.encode() + b"\"\r\n"
            b"Content-Type: application/octet-stream\r\nTransfer-Encoding: chunked\r\n\r\n")


def txrx_response(body):
    return (b"HTTP/1.1 200 OK\r\nServer: Apache-Coyote/1.1\r\nContent-Length: "
            + str(len(body)).encode() + b"\r\n\r\n" + body + b"\r\n")


def multipart(parts):
    """parts: (field name, file name or None, content bytes). Returns the
    headers and the body of a multipart/form-data request."""
    boundary = "----kt" + uuid.uuid4().hex
    return ({"Content-Type": f"multipart/form-data; boundary={boundary}"},
            multipart_body(parts, boundary))


def request(port, method, path, headers=None, body=b""):
    """Every byte the server writes until it closes the connection."""
    return http_raw(port, build_request(method, path, headers, body, port))


def upload(port, path, parts):
    headers, body = multipart(parts)
    return request(port, "POST", path, headers, body)


def cut_requests(path, parts):
    """(case, request, bytes sent) of uploads that break off or are refused."""
    headers, body = multipart(parts)
    full = build_request("POST", path, headers, body)
    head = len(full) - len(body)
    return [("half the body", full, head + len(body) // 2),
            ("all but the form's end", full, len(full) - 4),
            ("a GET without query", build_request("GET", path), None)]


def tree(folder):
    """Every path under folder, hidden ones too."""
    return sorted(str(p.relative_to(folder)) for p in folder.rglob("*"))


def log_lines(text, pattern):
    """Log messages (location suffix cut) matching the regex pattern."""
    return [m.group(1) for m in re.finditer(
        r"^\S+ \S+ \[\w+\] (" + pattern + r") --\[src/\w+\.cpp:\d+\]$", text, re.M)]


class SharedServer(ServerTestCase):
    """One sandbox, simulator and HTTP server for the tests of a class; each
    test prepares the files it relies on."""

    @classmethod
    def setUpClass(cls):
        cls.run_ = cls.start_class_runs({"main": ((), None)})["main"]
        cls.run_.server.wait_ready([cls.run_.sandbox.http_port])
        cls.sandbox = cls.run_.sandbox
        cls.server = cls.run_.server
        cls.sim = cls.run_.sim
        cls.port = cls.sandbox.http_port

    def setUp(self):
        self.mark = self.server.log_mark()

    def log(self):
        return self.server.log(self.mark)

    def wait_log(self, pattern, timeout=IO_TIMEOUT):
        return self.server.wait_for_log(pattern, timeout, since=self.mark)


# ---------------------------------------------------------------------------
# Preview stream
# ---------------------------------------------------------------------------

class StreamReader:
    """Reads the multipart JPEG stream of one connection."""

    def __init__(self, port, method="GET"):
        self.sock = connect(port)
        self.sock.sendall(build_request(method, "/stream", body=b"x" if method == "POST" else b"",
                                        port=port))
        self.buf = b""

    def _need(self, n):
        deadline = time.monotonic() + IO_TIMEOUT
        while len(self.buf) < n:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError(f"stream stalled with {self.buf[:120]!r}")
            self.sock.settimeout(remaining)
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError(f"stream closed with {self.buf[:120]!r}")
            self.buf += chunk

    def _take_until(self, marker):
        deadline = time.monotonic() + IO_TIMEOUT
        while marker not in self.buf:
            if time.monotonic() >= deadline:
                raise TimeoutError(f"no {marker!r} in {self.buf[:120]!r}")
            self._need(len(self.buf) + 1)
        head, _, self.buf = self.buf.partition(marker)
        return head + marker

    def head(self):
        return self._take_until(b"\r\n\r\n")

    def frame(self):
        """(frame head bytes, picture bytes); checks the trailing CRLF."""
        head = self._take_until(b"\r\n\r\n")
        m = re.fullmatch(rb"--w00t\r\nContent-Type: image/jpeg\r\nContent-Length: (\d+)\r\n\r\n",
                         head)
        if m is None:
            raise AssertionError(f"bad frame head {head!r}")
        size = int(m.group(1))
        self._need(size + 2)
        picture, tail, self.buf = self.buf[:size], self.buf[size:size + 2], self.buf[size + 2:]
        if tail != b"\r\n":
            raise AssertionError(f"frame not followed by CRLF: {tail!r}")
        return head, picture

    def leave(self):
        # A reset rather than an orderly close: the server's next write fails
        # at once instead of one frame later.
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sock.close()


class StreamTest(SharedServer):
    COUNT_LINE = r"Rezudezi : The number of connections currently requesting stream : \[(-?\d+)\]"

    def setUp(self):
        super().setUp()
        self.picture = self.sandbox.webroot / "customization/previewImage.jpg"
        self.first = b"\xff\xd8first picture" + bytes(range(256)) * 3 + b"\xff\xd9"
        self.picture.write_bytes(self.first)

    def counts(self):
        return [int(c) for c in re.findall(self.COUNT_LINE, self.log())]

    def wait_counts(self, n):
        wait_until(lambda: len(self.counts()) >= n, IO_TIMEOUT * 2)
        return self.counts()

    def test_each_leaving_client_logs_the_streams_still_running(self):
        # The second client asks by POST, which streams like a GET.
        a, b = StreamReader(self.port), StreamReader(self.port, "POST")
        for client in (a, b):
            self.assertEqual(client.head(), STREAM_HEAD)
            self.assertEqual(client.frame()[1], self.first)
        a.leave()
        self.assertEqual(self.wait_counts(1), [1])
        b.frame()  # the other stream goes on
        b.leave()
        self.assertEqual(self.wait_counts(2), [1, 0])

    def test_a_replaced_picture_arrives_in_a_following_frame_with_its_own_length(self):
        client = StreamReader(self.port)
        try:
            client.head()
            self.assertEqual(client.frame()[1], self.first)
            second = b"\xff\xd8second" * 700 + b"\xff\xd9"
            tmp = self.picture.with_name("previewImage.tmp")
            tmp.write_bytes(second)
            os.replace(tmp, self.picture)
            for _ in range(5):
                head, picture = client.frame()
                if picture != self.first:
                    break
            self.assertEqual(picture, second)
            self.assertIn(f"Content-Length: {len(second)}\r\n".encode(), head)
        finally:
            client.leave()
        self.assertEqual(self.wait_counts(1), [0])

    def test_missing_picture_gives_the_head_only_and_ends_the_stream(self):
        self.picture.unlink()
        self.assertEqual(request(self.port, "GET", "/stream"), STREAM_HEAD)
        self.assertEqual(self.wait_counts(1), [0])

    def test_clients_leaving_an_empty_picture_free_their_workers(self):
        # Frame head and line end are then a frame's only writes: they alone
        # can tell that the client has gone.
        self.picture.write_bytes(b"")
        clients = WORKERS + 5
        for _ in range(clients):
            client = StreamReader(self.port)
            self.assertEqual(client.head(), STREAM_HEAD)
            client.sock.close()
        self.assertEqual(len(self.wait_counts(clients)), clients)
        self.assertEqual(request(self.port, "GET", "/getUpgrade"), OK_RSP)

    def test_picture_deleted_during_the_stream_ends_it_at_the_next_frame(self):
        client = StreamReader(self.port)
        try:
            client.head()
            client.frame()
            self.picture.unlink()
            with self.assertRaises(EOFError):
                for _ in range(5):
                    client.frame()
        finally:
            client.sock.close()
        self.assertEqual(self.wait_counts(1), [0])


# ---------------------------------------------------------------------------
# Scene document download
# ---------------------------------------------------------------------------

class SceneDownloadTest(SharedServer):

    def setUp(self):
        super().setUp()
        self.doc = self.sandbox.classes / "SystemConfig.hoi"

    def test_get_downloads_the_scene_document_as_an_attachment(self):
        content = b"<SystemConfig>" + b"x" * 4500 + b"</SystemConfig>\n"
        self.doc.write_bytes(content)
        raw = request(self.port, "GET", "/scene")
        self.assertTrue(raw.startswith(download_head("SystemConfig.hoi")), raw[:300])
        self.assertEqual(Response(raw).body, content)

    def test_other_methods_get_no_answer_and_one_info_line(self):
        self.doc.write_bytes(b"<SystemConfig/>")
        for method in ("HEAD", "POST"):
            with self.subTest(method=method):
                mark = self.server.log_mark()
                self.assertEqual(request(self.port, method, "/scene"), b"")
                lines = re.findall(r"\[(\w+)\] Rezudezi : /scene is not GET --",
                                   self.server.log(mark))
                self.assertEqual(lines, ["INFO"])

    def test_missing_document_sends_the_head_without_any_chunk(self):
        if self.doc.exists():
            self.doc.unlink()
        self.assertEqual(request(self.port, "GET", "/scene"), download_head("SystemConfig.hoi"))
        self.assertTrue(re.search(r"\[ERROR\] open file error --", self.log()))


# ---------------------------------------------------------------------------
# Scene upload and conversion
# ---------------------------------------------------------------------------

# Stand-in script: records what it was given and prints the prepared answer.
RECORDING_SCRIPT = """#!/bin/sh
dir=$(dirname "$0")
{{ printf 'args %s %s\\n' "$1" "$2"; if [ -f "$1" ]; then printf 'doc '; cat "$1"; echo; else echo 'doc missing'; fi; }} >> "$dir/calls.txt"
{sleep}
printf '%s' "$(cat "$dir/answer.txt")"
"""

SCENE_XML = b"""<?xml version="1.0" encoding="UTF-8"?>
<SystemConfig version="3">
  <Scene id="1" name="Meeting &quot;A&quot;">
    <Route tx="tx1" rx="rx1"/>
    <Route tx="tx2" rx="rx2"/>
    <Note>first <![CDATA[& second]]></Note>
  </Scene>
  <Scene id="2"/>
</SystemConfig>
"""

SCENE_JSON = (b'{"SystemConfig":{"Scene":[{"Note":{"#text":"first & second"},'
              b'"Route":[{"rx":"rx1","tx":"tx1"},{"rx":"rx2","tx":"tx2"}],"id":"1",'
              b'"name":"Meeting \\"A\\""},{"id":"2"}],"version":"3"}}\n')


class SceneUploadTest(SharedServer):

    def setUp(self):
        super().setUp()
        self.demo = self.sandbox.webroot / "civetweb/xml2json/Demo"
        self.script = self.demo / "xml2JSON.sh"
        self.real_script = self.script.read_bytes()
        self.addCleanup(self.script.write_bytes, self.real_script)
        self.calls = self.demo / "calls.txt"
        self.calls.unlink(missing_ok=True)
        self.temp = self.sandbox.classes / "SystemConfigtemp.hoi"
        self.project = self.sandbox.classes / "project.json"
        self.props = self.sandbox.server_properties
        self.reset_properties()

    def reset_properties(self):
        self.props.write_text("adminName=admin\nadminPassWord=admin123\n"
                              "userSceneNote=my scene\nuserSceneNoteX=other\n")

    def use_stand_in(self, answer, sleep=""):
        self.script.write_text(RECORDING_SCRIPT.format(sleep=sleep))
        (self.demo / "answer.txt").write_bytes(answer)

    def notifications(self):
        return [e for e in self.sim.journal() if e.data.startswith("private updateprojectjson")]

    def test_script_output_starting_with_1_is_success(self):
        for answer in (b"1", b"1\n", b"1 ok"):
            with self.subTest(answer=answer):
                self.reset_properties()
                self.use_stand_in(answer)
                before = len(self.notifications())
                raw = upload(self.port, "/scene_upload", [("scene", "a.hoi", b"<a/>")])
                self.assertEqual(raw, OK_RSP)
                self.assertEqual(self.props.read_text(),
                                 "adminName=admin\nadminPassWord=admin123\n"
                                 "userSceneNote=null\nuserSceneNote=null\n")
                self.assertTrue(wait_until(lambda: len(self.notifications()) > before,
                                           IO_TIMEOUT))
                note = self.notifications()[-1]
                self.assertEqual(note.data,
                                 f"private updateprojectjson {self.sandbox.classes}/project.json")
                self.assertEqual(note.sn, 30001)
                self.assertFalse(self.temp.exists())

    def test_other_script_output_is_failure_and_changes_nothing(self):
        for answer in (b" 1", b"0", b"0 broken document", b""):
            with self.subTest(answer=answer):
                self.use_stand_in(answer)
                before = len(self.notifications())
                raw = upload(self.port, "/scene_upload", [("scene", "a.hoi", b"<a/>")])
                self.assertEqual(raw, ERROR_RSP)
                self.assertIn("userSceneNote=my scene\n", self.props.read_text())
                self.assertFalse(self.temp.exists())
                time.sleep(0.2)  # a notification would have reached the journal by now
                self.assertEqual(len(self.notifications()), before)

    def test_the_script_gets_the_temporary_and_the_project_document(self):
        self.use_stand_in(b"1")
        upload(self.port, "/scene_upload", [("whatever_name", "C:/x/y.hoi", b"<doc>1</doc>")])
        self.assertEqual(self.calls.read_text(),
                         f"args {self.temp} {self.project}\ndoc <doc>1</doc>\n")
        self.assertTrue(re.search(r"Rezudezi : xml to json path\*{8} : \[.*xml2JSON\.sh",
                                  self.log()))
        self.assertIn("Rezudezi : xml to json tool result : [1]", self.log())

    def test_of_two_files_the_second_is_converted(self):
        self.use_stand_in(b"1")
        raw = upload(self.port, "/scene_upload",
                     [("one", "1.hoi", b"first"), ("note", None, b"plain value"),
                      ("two", "2.hoi", b"second")])
        self.assertEqual(raw, OK_RSP)
        self.assertIn("doc second\n", self.calls.read_text())

    def test_form_without_file_converts_a_missing_document(self):
        self.use_stand_in(b"0 no document")
        raw = upload(self.port, "/scene_upload", [("note", None, b"value")])
        self.assertEqual(raw, ERROR_RSP)
        self.assertIn("doc missing\n", self.calls.read_text())

    def test_get_without_query_fails_silently_before_the_conversion(self):
        self.use_stand_in(b"1")
        self.assertEqual(request(self.port, "GET", "/scene_upload"), b"")
        self.assertTrue(re.search(r"\[ERROR\] ret : -\d+ --", self.log()))
        self.assertFalse(self.calls.exists())
        self.assertIn("userSceneNote=my scene\n", self.props.read_text())

    def test_the_device_script_converts_a_real_scene_document(self):
        self.project.unlink(missing_ok=True)
        raw = upload(self.port, "/scene_upload", [("scene", "SystemConfig.hoi", SCENE_XML)])
        self.assertEqual(raw, OK_RSP)
        self.assertEqual(self.project.read_bytes(), SCENE_JSON)
        self.assertFalse(self.temp.exists())

    def test_the_device_script_reports_a_broken_document(self):
        self.project.write_bytes(b"{}\n")
        raw = upload(self.port, "/scene_upload", [("scene", "s.hoi", b"<a><b></a>")])
        self.assertEqual(raw, ERROR_RSP)
        self.assertRegex(self.log(), r"xml to json tool result : \[0 \S")
        self.assertEqual(self.project.read_bytes(), b"{}\n")  # left as it was
        self.assertIn("userSceneNote=my scene\n", self.props.read_text())

    def test_an_upload_that_breaks_off_converts_nothing_and_leaves_no_file(self):
        self.use_stand_in(b"1")
        before = tree(self.sandbox.classes)
        for case, req, sent in cut_requests("/scene_upload", [("scene", "s.hoi", b"<a/>" * 999)]):
            with self.subTest(case=case):
                self.assertEqual(send_cut(self.port, req, sent or len(req)), b"")
                self.assertFalse(self.calls.exists())
                self.assertEqual(tree(self.sandbox.classes), before)

    def test_a_stalled_upload_holds_up_no_other(self):
        self.use_stand_in(b"1")
        headers, body = multipart([("scene", "s.hoi", b"SLOW")])
        req = build_request("POST", "/scene_upload", headers, body, self.port)
        with connect(self.port) as slow:
            slow.sendall(req[:-10])
            self.assertEqual(upload(self.port, "/scene_upload", [("scene", "f.hoi", b"FAST")]),
                             OK_RSP)
            slow.sendall(req[-10:])
            self.assertEqual(recv_all(slow), OK_RSP)
        self.assertEqual(re.findall(r"^doc (.*)$", self.calls.read_text(), re.M),
                         ["FAST", "SLOW"])

    def test_simultaneous_uploads_each_convert_their_own_document(self):
        # The script waits before reading: an upload arriving meanwhile must
        # neither replace nor delete the document being converted.
        self.use_stand_in(b"1", sleep="sleep 0.5")
        results = {}

        def send(tag):
            results[tag] = upload(self.port, "/scene_upload", [("scene", "s.hoi", tag)])
        threads = [threading.Thread(target=send, args=(tag,)) for tag in (b"AAAA", b"BBBB")]
        for t in threads:
            t.start()
        for t in threads:
            t.join(IO_TIMEOUT * 2)
        self.assertEqual(results, {b"AAAA": OK_RSP, b"BBBB": OK_RSP})
        docs = sorted(re.findall(r"^doc (.*)$", self.calls.read_text(), re.M))
        self.assertEqual(docs, ["AAAA", "BBBB"])


class ConverterTest(unittest.TestCase):
    """The converter program behind the device script, on its own."""

    def setUp(self):
        self.tool = binary("xml2json")
        self.dir = tempfile.mkdtemp(prefix="kt-xml2json-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)

    def convert(self, xml):
        src, dst = os.path.join(self.dir, "in.hoi"), os.path.join(self.dir, "out.json")
        with open(src, "wb") as f:
            f.write(xml)
        argv, exe = program_argv(self.tool, [src, dst])
        out = subprocess.run(argv, executable=exe, capture_output=True, timeout=10).stdout
        if not os.path.exists(dst):
            return out, None
        with open(dst, "rb") as f:
            return out, f.read()

    def test_elements_attributes_and_text_become_members(self):
        out, data = self.convert(SCENE_XML)
        self.assertEqual(out, b"1\n")
        self.assertEqual(data, SCENE_JSON)

    def test_an_attribute_and_a_child_of_one_name_share_an_array(self):
        out, data = self.convert(b'<r n="attr"><n k="v"/><t>\n\t</t><u>a\\"\x01</u></r>')
        self.assertEqual(out, b"1\n")
        self.assertEqual(data, b'{"r":{"n":["attr",{"k":"v"}],"t":{},'
                               b'"u":{"#text":"a\\\\\\"\\u0001"}}}\n')

    def test_failures_print_0_and_a_reason_and_write_nothing(self):
        for xml in (b"", b"<a><b></a>", b"not xml", b"<a>" * 300 + b"</a>" * 300):
            with self.subTest(xml=xml[:20]):
                out, data = self.convert(xml)
                self.assertRegex(out, rb"^0 \S")
                self.assertIsNone(data)
        self.assertEqual(os.listdir(self.dir), ["in.hoi"])


# ---------------------------------------------------------------------------
# Device update and TX/RX list
# ---------------------------------------------------------------------------

class DeviceUpdateTest(SharedServer):

    def setUp(self):
        super().setUp()
        self.update = self.sandbox.root / "home/ubuntu/update"

    def stored(self):
        return {p.name: p.read_bytes() for p in self.update.iterdir()}

    def test_a_client_path_is_stored_under_its_last_component(self):
        raw = upload(self.port, "/update_device",
                     [("fw", "C:/temp/fw.bin", b"\x00firmware\xff"), ("tool", "tool.bin", b"T")])
        self.assertEqual(raw, UPDATE_RSP)
        self.assertEqual(self.stored(), {"fw.bin": b"\x00firmware\xff", "tool.bin": b"T"})
        self.assertIn(f"Rezudezi : field_stored path {self.update}/fw.bin  file_size  10",
                      self.log())

    def test_large_files_with_near_boundaries_are_stored_byte_for_byte(self):
        # The reader takes the body in pieces; line ends, dashes and the
        # boundary's first bytes sit on and around every 64 KiB edge.
        near = [b"\r", b"\r\n", b"\r\n-", b"\r\n--", b"\r\n------kt", b"\r\r\n--\r"]
        big = bytearray(bytes(range(256)) * 1200)
        for edge in range(1 << 16, len(big), 1 << 16):
            for shift, mark in zip((-11, -4, -1, 0, 2, 9), near):
                big[edge + shift:edge + shift + len(mark)] = mark
        big += b"\r\n--"
        raw = upload(self.port, "/update_device",
                     [("big", "big.bin", bytes(big)), ("tail", "tail.bin", b"\r\n--tail")])
        self.assertEqual(raw, UPDATE_RSP)
        self.assertEqual(self.stored(), {"big.bin": bytes(big), "tail.bin": b"\r\n--tail"})

    def test_each_upload_keeps_only_its_own_files(self):
        upload(self.port, "/update_device",
               [("a", "a.bin", b"A"), ("h", ".hidden", b"H"), ("d", "d.bin", b"D")])
        (self.update / "subdir").mkdir()
        raw = upload(self.port, "/update_device", [("b", "b.bin", b"B")])
        self.assertEqual(raw, UPDATE_RSP)
        self.assertEqual(self.stored(), {"b.bin": b"B"})
        # A form without files leaves the folder empty.
        raw = upload(self.port, "/update_device", [("note", None, b"value")])
        self.assertEqual(raw, UPDATE_RSP)
        self.assertEqual(self.stored(), {})

    def test_names_that_leave_no_file_name_are_skipped(self):
        parent = self.update.parent
        before = sorted(p.name for p in parent.iterdir())
        raw = upload(self.port, "/update_device",
                     [("a", "..", b"up"), ("b", ".", b"here"), ("c", "dir/", b"none"),
                      ("d", "x/..", b"up2"), ("e", "ok.bin", b"OK"), ("f", None, b"value")])
        self.assertEqual(raw, UPDATE_RSP)
        self.assertEqual(self.stored(), {"ok.bin": b"OK"})
        self.assertEqual(sorted(p.name for p in parent.iterdir()), before)

    def test_an_upload_that_breaks_off_or_is_refused_leaves_the_folder_as_it_was(self):
        upload(self.port, "/update_device", [("a", "a.bin", b"A")])
        home = self.update.parent
        before = tree(home)
        for case, req, sent in cut_requests("/update_device", [("n", "new.bin", b"N" * 9000)]):
            with self.subTest(case=case):
                self.mark = self.server.log_mark()
                self.assertEqual(send_cut(self.port, req, sent or len(req)), b"")
                self.assertEqual(self.stored(), {"a.bin": b"A"})
                self.assertEqual(tree(home), before)
                self.assertTrue(re.search(r"\[ERROR\] ret : -\d+ --", self.log()))

    def test_a_stalled_upload_holds_up_no_other_and_the_last_to_end_fills_the_folder(self):
        slow_files = [("a", "slow-a.bin", b"A" * 3000), ("b", "slow-b.bin", b"B" * 3000)]
        headers, body = multipart(slow_files)
        req = build_request("POST", "/update_device", headers, body, self.port)
        with connect(self.port) as slow:
            # slow-a.bin arrives whole, slow-b.bin in part; then the sender stalls.
            slow.sendall(req[:-1000])
            time.sleep(0.3)  # lets the server take in what was sent
            self.assertEqual(upload(self.port, "/update_device", [("f", "fast.bin", b"F")]),
                             UPDATE_RSP)
            self.assertEqual(self.stored(), {"fast.bin": b"F"})
            slow.sendall(req[-1000:])
            self.assertEqual(recv_all(slow), UPDATE_RSP)
        self.assertEqual(self.stored(), {name: data for _, name, data in slow_files})

    def test_simultaneous_uploads_leave_exactly_one_requests_files(self):
        import concurrent.futures
        forms = [[(f"f{k}", f"r{i}-{k}.bin", bytes([i]) * 1000 * (k + 1)) for k in range(3)]
                 for i in range(6)]
        for _ in range(3):
            with concurrent.futures.ThreadPoolExecutor(len(forms)) as pool:
                answers = list(pool.map(lambda f: upload(self.port, "/update_device", f), forms))
            self.assertEqual(answers, [UPDATE_RSP] * len(forms))
            self.assertIn(self.stored(), [{name: data for _, name, data in f} for f in forms])


class TxRxListTest(SharedServer):

    def setUp(self):
        super().setUp()
        self.props = self.sandbox.classes / "device.properties"

    def list_raw(self, content):
        if content is None:
            self.props.unlink(missing_ok=True)
        else:
            self.props.write_bytes(content)
        return request(self.port, "GET", "/getTxRxList")

    def test_two_entries_give_the_25_byte_body(self):
        raw = self.list_raw(b"tx1=Camera\nrx1=Screen\n")
        self.assertEqual(raw, txrx_response(b'{"list":" Camera Screen"}'))
        self.assertIn('[ERROR] get device list : [{"list":" Camera Screen"}]', self.log())

    def test_comments_line_ends_and_lines_without_equals(self):
        raw = self.list_raw(b"# devices\r\ntx1=Camera\r\n\r\ntx2=Desk # spare\nlonely\n"
                            b"rx1=a=b\n#tx3=gone")
        self.assertEqual(raw, txrx_response(b'{"list":" Camera Desk   a=b"}'))

    def test_missing_and_empty_files_give_the_11_byte_body(self):
        for content in (None, b"", b"# only a comment\n\n"):
            with self.subTest(content=content):
                self.assertEqual(self.list_raw(content), txrx_response(b'{"list":""}'))

    def test_values_are_escaped_so_the_list_stays_json(self):
        raw = self.list_raw(b'a=say "hi"\nb=C:\\dir\nc=tab\there\nd=caf\xc3\xa9\n')
        body = b'{"list":" say \\"hi\\" C:\\\\dir tab\\there caf\xc3\xa9"}'
        self.assertEqual(raw, txrx_response(body))
        self.assertEqual(json.loads(body)["list"], ' say "hi" C:\\dir tab\there café')


# ---------------------------------------------------------------------------
# Companion application: status document and log
# ---------------------------------------------------------------------------

class MarloTest(SharedServer):

    def setUp(self):
        super().setUp()
        self.doc = self.sandbox.classes / "marloinfo.json"
        self.doc.unlink(missing_ok=True)
        self.sandbox.server_properties.write_text(
            "adminName=admin\nadminPassWord=admin123\nuserName1=operator\n"
            "userPassWord1=operator123\n")

    def get(self):
        raw = request(self.port, "GET", "/marlo")
        self.assertTrue(raw.startswith(JSON_HEAD), raw[:300])
        return raw[len(JSON_HEAD):]

    def expected(self, marlo=None, name="admin", pwd="admin123", online=0):
        doc = {"admininfo": {"adminname": name, "adminpwd": pwd},
               "deviceinfo": {"http": str(self.sandbox.http_port),
                              "https": str(self.sandbox.https_port), "onlinenum": online}}
        if marlo is not None:
            doc["marloinfo"] = marlo
        return (json.dumps(doc, separators=(",", ":"), ensure_ascii=False) + "\n").encode()

    def test_without_document_exactly_admin_and_device_info(self):
        body = self.get()
        self.assertEqual(body, self.expected())
        self.assertTrue(body.startswith(b'{"admininfo":{"adminname":"admin","adminpwd":"admin123"}'
                                        b',"deviceinfo":{"http":"'))
        # The log shows the answer with the administrator's password masked.
        logged = body.decode().replace('"adminpwd":"admin123"', '"adminpwd":"******"')
        self.assertIn("Rezudezi : Marlo Get Info : [" + logged, self.log())
        self.assertNotIn("admin123", self.log())

    def test_a_stored_json_document_comes_back_as_one_escaped_string(self):
        stored = '{"tablets":[1,2],"name":"A\\\\B"}\n'
        self.assertEqual(request(self.port, "POST", "/marlo", body=stored), OK_RSP)
        self.assertEqual(self.doc.read_text(), stored)
        body = self.get()
        self.assertEqual(body, self.expected(marlo=stored))
        self.assertIn(b'"marloinfo":"{\\"tablets\\":[1,2],\\"name\\":\\"A\\\\\\\\B\\"}\\n"}', body)

    def test_empty_post_leaves_an_empty_document(self):
        self.doc.write_text("old")
        self.assertEqual(request(self.port, "POST", "/marlo"), OK_RSP)
        self.assertEqual(self.doc.read_bytes(), b"")
        self.assertEqual(self.get(), self.expected(marlo=""))

    def test_a_long_post_keeps_its_first_3071_bytes(self):
        body = bytes(ord("a") + i % 26 for i in range(5000))
        self.assertEqual(request(self.port, "POST", "/marlo", body=body), OK_RSP)
        self.assertEqual(self.doc.read_bytes(), body[:3071])

    def test_a_body_shorter_than_announced_keeps_the_old_document(self):
        self.doc.write_text("old document")
        before = tree(self.doc.parent)
        for announced, sent in ((100, 50), (5000, 4000), (1, 0)):
            with self.subTest(announced=announced, sent=sent):
                req = build_request("POST", "/marlo", {"Content-Length": str(announced)},
                                    b"d" * sent, self.port)
                self.assertEqual(send_cut(self.port, req, len(req)), ERROR_RSP)
                self.assertEqual(self.doc.read_bytes(), b"old document")
                self.assertEqual(tree(self.doc.parent), before)

    def test_password_cut_at_a_further_equals_sign_and_missing_lines_empty(self):
        for text, name, pwd in (("adminName=boss\nadminPassWord=pa=ss\n", "boss", "pa"),
                                ("userName1=operator\n", "", "")):
            with self.subTest(text=text):
                self.sandbox.server_properties.write_text(text)
                self.assertEqual(self.get(), self.expected(name=name, pwd=pwd))

    def test_online_count_follows_websocket_logins(self):
        clients = []
        try:
            for _ in range(2):
                ws = WebSocket.connect(self.port)
                clients.append(ws)
                ws.send_text('{"type":"login","command":"admin admin123"}')
                ws.recv_text()
            self.assertEqual(self.get(), self.expected(online=2))
            clients.pop().close()
            self.assertTrue(wait_until(lambda: self.get() == self.expected(online=1), IO_TIMEOUT))
        finally:
            for ws in clients:
                ws.close()
        self.assertTrue(wait_until(lambda: self.get() == self.expected(online=0), IO_TIMEOUT))

    def test_other_methods_answer_500_with_one_error_line(self):
        for method, path, body in (("PUT", "/marlo", b""), ("DELETE", "/marlo", b""),
                                   ("PUT", "/log", b"x")):
            with self.subTest(method=method, path=path):
                mark = self.server.log_mark()
                self.assertEqual(request(self.port, method, path, body=body), ERROR_RSP)
                self.assertEqual(len(re.findall(r"^\S+ \S+ \[ERROR\] Http Method Error "
                                                r"--\[src/\w+\.cpp:\d+\]$",
                                                self.server.log(mark), re.M)), 1)


class LogRouteTest(SharedServer):

    def test_get_downloads_the_log_as_app_log(self):
        raw = request(self.port, "GET", "/log")
        self.assertTrue(raw.startswith(download_head("app.log")), raw[:300])
        body = Response(raw).body
        self.assertGreater(len(body), 0)
        self.assertTrue(self.sandbox.log_file.read_bytes().startswith(body))

    def test_a_long_post_logs_its_first_1023_bytes_on_one_line(self):
        body = bytes(ord("A") + i % 26 for i in range(5000))
        self.assertEqual(request(self.port, "POST", "/log", body=body), OK_RSP)
        self.assertEqual(log_lines(self.log(), r"Marlo : .*"),
                         ["Marlo : " + body[:1023].decode()])

    def test_line_breaks_in_a_post_cannot_forge_log_entries(self):
        body = b"first\n2024-01-01 00:00:00,000 [ERROR] forged\r\tend\\ \x01"
        self.assertEqual(request(self.port, "POST", "/log", body=body), OK_RSP)
        self.assertEqual(log_lines(self.log(), r"Marlo : .*"),
                         ["Marlo : first\\n2024-01-01 00:00:00,000 [ERROR] forged\\r\\tend\\\\ \\x01"])
        self.assertNotIn("\n2024-01-01 00:00:00,000 [ERROR] forged", self.log())


class RouteTableTest(SharedServer):

    def test_every_row_of_the_route_table_is_registered(self):
        self.assertNotIn("ADD URI handler error", self.server.log(self.server.start_mark))

    def test_each_method_gets_the_answer_of_its_route(self):
        (self.sandbox.classes / "device.properties").write_bytes(b"tx1=Camera\n")
        listed = txrx_response(b'{"list":" Camera"}')
        scene_refused = r"\[INFO\] Rezudezi : /scene is not GET --"
        method_refused = r"\[ERROR\] Http Method Error --"
        # (method, path, body, answer, log lines the request adds)
        rows = (
            # Routes that take every method answer each one alike.
            ("PUT", "/getTxRxList", b"", listed, None),
            ("DELETE", "/getTxRxList", b"", listed, None),
            ("OPTIONS", "/getUpgrade", b"", OK_RSP, None),
            # A path that only begins with a pattern gets that route's rows.
            ("GET", "/getTxRxList/x", b"", listed, None),
            ("HEAD", "/sceneX", b"", b"", scene_refused),
            ("PUT", "/scene/x", b"", b"", scene_refused),
            # The last row of a route is its refusal.
            ("OPTIONS", "/marlo", b"", ERROR_RSP, method_refused),
            ("PATCH", "/log", b"", ERROR_RSP, method_refused),
            ("POST", "/log", b"a line", OK_RSP, r"\[INFO\] Marlo : a line --"),
        )
        for method, path, body, answer, line in rows:
            with self.subTest(method=method, path=path):
                mark = self.server.log_mark()
                self.assertEqual(request(self.port, method, path, body=body), answer)
                if line is not None:
                    self.assertEqual(len(re.findall(line, self.server.log(mark))), 1)


if __name__ == "__main__":
    unittest.main()
