#!/usr/bin/env python3
"""Replays every example exchange of docs/api.md against one sandboxed
server, in document order, and fails on any byte that differs. The block
format is described in the document's section "Examples"."""

import os, re, sys, time, unittest  # noqa: E401

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import REPO, DeviceCase, WebSocket, WebSocketClosed, connect, recv_all  # noqa

BLOCK = re.compile(r"^```(http|ws)-exchange\n(.*?)^```$", re.M | re.S)
ESCAPES = {"r": b"\r", "n": b"\n", "t": b"\t", "\\": b"\\"}
ESCAPE = re.compile(rb"\\(x[0-9A-Fa-f]{2}|[rnt\\])")
OPEN = b"{...}"  # at the end of a response: the connection stays open


class ApiExamplesTest(DeviceCase):
    def bytes_of(self, text):
        """Ports filled in, escapes to bytes (a backslash before any other character stays)."""
        ports = {"{http_port}": self.port, "{https_port}": self.sb.https_port}
        text = re.sub(r"\{https?_port\}", lambda m: str(ports[m[0]]), text)
        return ESCAPE.sub(lambda m: bytes([int(m[1][1:], 16)]) if m[1][:1] == b"x"
                          else ESCAPES[m[1].decode()], text.encode("utf-8"))

    def http(self, block):
        request, _, expected = (self.bytes_of("".join(part.splitlines()))
                                for part in block.partition("\n--\n"))
        head, sep, body = request.partition(b"\r\n\r\n")
        request = head.replace(b"{content-length}", str(len(body)).encode()) + sep + body
        stays_open = expected.endswith(OPEN)
        parts = (expected[:-len(OPEN)] if stays_open else expected).split(b"{*}")
        want = re.compile(b".*?".join(map(re.escape, parts)), re.S)  # {*}: any bytes
        with connect(self.port, timeout=10) as sock:
            sock.sendall(request)
            got, deadline = b"" if stays_open else recv_all(sock, 10), time.monotonic() + 10
            while stays_open and not want.match(got) and time.monotonic() < deadline:
                got += sock.recv(65536)  # after a close, nothing more comes until the deadline
        matched = want.match(got) if stays_open else want.fullmatch(got)
        self.assertTrue(matched, f"expected {expected!r}\ngot      {got!r}")

    def ws(self, block):
        with WebSocket.connect(self.port) as client:
            for direction, _, text in (line.partition(" ") for line in block.splitlines()):
                if direction == ">":
                    client.send_text(self.bytes_of(text))
                    continue
                try:
                    got = client.recv_message()[1]
                except WebSocketClosed as closed:
                    got = (f"(closed {closed.code})" if closed.code else "(closed)").encode()
                self.assertEqual(got, self.bytes_of(text))

    def test_every_example_of_the_api_document(self):
        blocks = BLOCK.findall((REPO / "docs/api.md").read_text(encoding="utf-8"))
        self.assertGreater(len(blocks), 20)
        for number, (kind, block) in enumerate(blocks, 1):
            with self.subTest(example=number, first_line=block.split("\n", 1)[0]):
                (self.http if kind == "http" else self.ws)(block)


if __name__ == "__main__":
    unittest.main()
