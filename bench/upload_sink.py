#!/usr/bin/env python3
"""The limit of an upload over a loopback socket: a bare HTTP sink that
writes each request's body, as it arrives, to one file with 1 MiB receives
and writes, syncs it (as the firmware route does) and answers 200. No form
parsing, no library: what is left is curl's send, the kernel's copies and
the disk.
    upload_sink.py PORT FILE     prints "ready" once listening
"""
import os
import socket
import sys

BLOCK = 1 << 20
ANSWER = b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"


def serve_one(conn, path):
    head = b""
    while b"\r\n\r\n" not in head:
        chunk = conn.recv(65536)
        if not chunk:
            return
        head += chunk
    head, body = head.split(b"\r\n\r\n", 1)
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value)
    buf = bytearray(BLOCK)
    view = memoryview(buf)
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        os.write(fd, body)
        got = len(body)
        while got < length:
            n = conn.recv_into(buf, min(BLOCK, length - got))
            if n == 0:
                break
            os.write(fd, view[:n])
            got += n
        os.fsync(fd)
    finally:
        os.close(fd)
        os.unlink(path)
    conn.sendall(ANSWER)


def main():
    port, path = int(sys.argv[1]), sys.argv[2]
    server = socket.create_server(("127.0.0.1", port))
    print("ready", flush=True)
    while True:
        conn, _ = server.accept()
        with conn:
            serve_one(conn, path)


if __name__ == "__main__":
    main()
