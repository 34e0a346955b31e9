#!/usr/bin/env python3
"""Measures what one WebSocket client that stops reading costs everybody
else: how late the other clients' texts arrive, how long a new connect and
login take, and whether texts are lost, while the simulator sends a burst.

    python3 bench/stall_probe.py [--seconds 40] [--rate 100] [--readers 3]

The stalled client logs in, shrinks its receive buffer and never reads
again. A broadcast only appends to each client's outbox; the stalled one
fills its own until it is 1 MiB or 5 s behind and is closed. Prints the
figures; exit status 0 unless the server ended. Standard library only; all
traffic to 127.0.0.1. Not part of ctest (the relay suite asserts a shorter
run of the same case)."""

import argparse
import json
import os
import re
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from harness import Sandbox, Server, Sim, WebSocket, stop_all  # noqa: E402

LOGIN = '{"type":"login","command":"admin admin123"}'
LOGIN_REPLY = b'{"type":"result","comName":"","command":"","result":1}'
TICK = re.compile(rb' st (\d+)"')


def logged_in(port, timeout=60):
    ws = WebSocket.connect(port, timeout=timeout)
    ws.send_text(LOGIN)
    while ws.recv_message(timeout)[1] != LOGIN_REPLY:
        pass
    return ws


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=40)
    parser.add_argument("--rate", type=int, default=100)
    parser.add_argument("--readers", type=int, default=3)
    args = parser.parse_args()
    sandbox = Sandbox()
    sim, server = Sim(sandbox), Server(sandbox)
    try:
        sim.start()
        server.start().wait_ready([sandbox.http_port])
        sim.wait_for_connections(1)
        port = sandbox.http_port
        readers = [logged_in(port) for _ in range(args.readers)]
        stalled = logged_in(port)
        stalled.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        arrivals = [dict() for _ in readers]
        done = threading.Event()

        def read(i, ws):
            while not done.is_set():
                try:
                    _, payload = ws.recv_message(1.0)
                except TimeoutError:
                    continue
                except Exception:  # noqa: BLE001 - the run's end closes it
                    return
                m = TICK.search(payload)
                if m:
                    arrivals[i][int(m.group(1))] = time.monotonic()

        threads = [threading.Thread(target=read, args=(i, ws)) for i, ws in enumerate(readers)]
        for t in threads:
            t.start()
        count = int(args.seconds * args.rate)
        # A long text fills the stalled client's buffers within seconds.
        pad = "x" * 3000
        t0 = time.monotonic()
        readers[0].send_text(json.dumps(
            {"type": "command", "command": f"burst {count} {args.rate} {pad} st"}))
        connects = []
        while time.monotonic() < t0 + args.seconds:
            started = time.monotonic()
            try:
                probe = logged_in(port, timeout=30)
                connects.append((started - t0, time.monotonic() - started))
                probe.close(timeout=0.5)
            except Exception as exc:  # noqa: BLE001 - reported as a figure
                connects.append((started - t0, f"failed: {exc!r}"))
            time.sleep(1.0)
        time.sleep(12)
        done.set()
        for t in threads:
            t.join(5)
        delays = []
        for n, at in arrivals[0].items():
            delays.append((n, at - (t0 + n / args.rate)))
        delays.sort()
        received = [len(a) for a in arrivals]
        worst = max(delays, key=lambda d: d[1]) if delays else (0, 0)
        print(f"burst: {count} texts at {args.rate}/s; received by the readers: {received}")
        missing = sorted(set(range(1, count + 1)) - set(arrivals[0]))
        if missing:
            print(f"lost: {len(missing)} texts, first {missing[0]}, last {missing[-1]}")
        print(f"worst lateness of a reader's text: {worst[1]:.2f} s (text {worst[0]})")
        for second in range(0, int(args.seconds) + 1, 5):
            window = [d for n, d in delays if second <= n / args.rate < second + 5]
            if window:
                print(f"  texts sent {second:3d}-{second + 5:3d} s: lateness max {max(window):.2f} s")
        print("connect + login while stalled (start s, took s):")
        for started, took in connects:
            print(f"  {started:6.1f}  {took if isinstance(took, str) else f'{took:.2f}'}")
        log = server.log()
        print(f"link to the control service dropped and dialled again: "
              f"{sim.connections()} connected now; server running: {server.running()}")
        print(f"broadcast writes logged: {log.count('ALL send')}")
        for line in log.splitlines():
            if "fell behind" in line:
                print(f"stalled client closed: {line}")
        stalled.sock.close()
        for ws in readers:
            ws.close()
        return 0 if server.running() else 1
    finally:
        stop_all([server, sim])
        sandbox.cleanup()


if __name__ == "__main__":
    sys.exit(main())
