#!/usr/bin/env python3
"""Replays every example exchange of docs/api.md against one sandboxed
server, in document order, and fails on any byte that differs. The block
format is described in the document's section "Examples"."""

import re
import socket
import sys
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from harness import Sandbox, Server, Sim, WebSocket, WebSocketClosed  # noqa: E402

API_DOC = Path(__file__).resolve().parent.parent / "docs/api.md"

BLOCK = re.compile(r"^```(http|ws)-exchange\n(.*?)^```$", re.M | re.S)
ESCAPES = {"r": b"\r", "n": b"\n", "t": b"\t", "\\": b"\\"}
ESCAPE = re.compile(rb"\\(x[0-9A-Fa-f]{2}|[rnt\\])")
OPEN = b"{...}"  # at the end of a response: the connection stays open


def unescape(text):
    """Escapes to bytes; a backslash before any other character stands for itself."""
    return ESCAPE.sub(lambda m: bytes([int(m[1][1:], 16)]) if m[1][:1] == b"x"
                      else ESCAPES[m[1].decode()], text.encode("utf-8"))


def pattern(expected):
    """Regex for expected bytes in which {*} stands for any bytes."""
    return re.compile(b".*?".join(re.escape(part) for part in expected.split(b"{*}")), re.S)


def with_length(request):
    head, sep, body = request.partition(b"\r\n\r\n")
    return head.replace(b"{content-length}", str(len(body)).encode()) + sep + body


class ApiExamplesTest(unittest.TestCase):
    def setUp(self):
        self.sandbox = Sandbox()
        self.addCleanup(self.sandbox.cleanup)
        self.addCleanup(Sim(self.sandbox).start().stop)
        server = Server(self.sandbox).start()
        self.addCleanup(server.stop)
        server.wait_ready([self.sandbox.http_port])
        ports = {"{http_port}": self.sandbox.http_port, "{https_port}": self.sandbox.https_port}
        self.fill = lambda text: re.sub(r"\{https?_port\}", lambda m: str(ports[m[0]]), text)

    def http(self, block):
        lines = block.splitlines()
        cut = lines.index("--")
        request = with_length(unescape(self.fill("".join(lines[:cut]))))
        expected = unescape(self.fill("".join(lines[cut + 1:])))
        stays_open = expected.endswith(OPEN)
        want, got = pattern(expected[:-len(OPEN)] if stays_open else expected), b""
        deadline = time.monotonic() + 10
        with socket.create_connection(("127.0.0.1", self.sandbox.http_port)) as sock:
            sock.sendall(request)
            while not (stays_open and want.match(got)) and time.monotonic() < deadline:
                sock.settimeout(max(0.01, deadline - time.monotonic()))
                try:
                    chunk = sock.recv(65536)
                except (TimeoutError, ConnectionResetError):
                    break
                if not chunk:
                    break
                got += chunk
        matched = want.match(got) if stays_open else want.fullmatch(got)
        self.assertTrue(matched, f"expected {expected!r}\ngot      {got!r}")

    def ws(self, block):
        with WebSocket.connect(self.sandbox.http_port) as client:
            for line in block.splitlines():
                direction, _, text = line.partition(" ")
                data = unescape(self.fill(text))
                if direction == ">":
                    client.send_text(data)
                    continue
                try:
                    got = client.recv_message()[1]
                except WebSocketClosed as closed:
                    got = (f"(closed {closed.code})" if closed.code else "(closed)").encode()
                self.assertEqual(got, data)

    def test_every_example_of_the_api_document(self):
        blocks = BLOCK.findall(API_DOC.read_text(encoding="utf-8"))
        self.assertGreater(len(blocks), 20)
        for number, (kind, block) in enumerate(blocks, 1):
            with self.subTest(example=number, first_line=block.split("\n", 1)[0]):
                (self.http if kind == "http" else self.ws)(block)


if __name__ == "__main__":
    unittest.main()
