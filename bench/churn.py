#!/usr/bin/env python3
"""Load and churn against one sandboxed server, bounded in time.

    python3 bench/churn.py [--minutes N | --short] [--clients 200] [--rate 200]
                           [--sim-restarts K] [--keep]

200 WebSocket clients connect, log in, send commands and close in a loop;
a few observer clients stay logged in for the whole run; the simulator
sends numbered texts (a `burst` of RATE per second, tagged per burst) and
HTTP clients hit every route. With --sim-restarts K the control service is
killed and started again K times, evenly spread over the run, and the gap
from its restart to the first relayed text is measured.

At the end it checks, and prints with its figures: the server never ended;
every client saw the numbered texts of each burst without a gap, in order,
for as long as it was logged in (observers: all of them); the online count
in the log equals the clients still logged in, then 0; resident memory,
open descriptors and threads are back near their level before the run.
Exit status 0 when every check holds. The server holds at most 40
WebSockets (of CivetWeb's 50 workers) and answers further upgrades 503 at
once; a refused churner tries again shortly: the refusals and connect
waits are reported. A measurement tool: no test runs it; --short runs
one minute. Standard library only; all traffic to 127.0.0.1."""

import argparse
import json
import os
import random
import re
import socket
import statistics
import subprocess
import sys
import threading
import time
import traceback
from collections import Counter, defaultdict

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from harness import (  # noqa: E402
    multipart_body,
    Sandbox, Server, Sim, WebSocket, WebSocketClosed, WebSocketHandshakeError, build_request,
    http_raw, stop_all)

LOGIN_REPLY = b'{"type":"result","comName":"","command":"","result":1}'
CREDENTIALS = ["admin admin123", "operator operator123"]
TICK = re.compile(rb'^\{"comName":"ALL","command":"(sq\d+) (\d+)"')
ONLINE = re.compile(rb"Rezudezi : Online num \[(-?\d+)\]")
BOUNDARY = "----ktChurn7MA4YWxkTrZu0gW"
CONNECT_TIMEOUT = 60.0   # a connect may wait in CivetWeb's queue this long
IO_TIMEOUT = 30.0


def proc_figures(pid):
    """(VmRSS kB, open descriptors, threads) of a running process."""
    rss = threads = 0
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
            elif line.startswith("Threads:"):
                threads = int(line.split()[1])
    fds = len(os.listdir(f"/proc/{pid}/fd"))
    return rss, fds, threads


def multipart(fields):
    """fields: (name, file name or None for a plain value, content)."""
    return multipart_body(fields, BOUNDARY)


def form(fields):
    return ({"Content-Type": "multipart/form-data; boundary=" + BOUNDARY}, multipart(fields))


class Ticks:
    """Numbered texts one connection saw, per burst tag; checks that each
    tag's numbers run on without a gap, repeat or reordering."""

    def __init__(self):
        self.last = {}
        self.first = {}
        self.faults = []
        self.count = 0

    def feed(self, payload):
        m = TICK.match(payload)
        if not m:
            return
        tag, n = m.group(1).decode(), int(m.group(2))
        self.count += 1
        last = self.last.get(tag)
        if last is None:
            self.first[tag] = n
        elif n != last + 1:
            self.faults.append(f"{tag}: {n} after {last}")
        self.last[tag] = n


class Run:
    def __init__(self, args):
        self.args = args
        self.deadline = None
        self.stop = threading.Event()
        self.lock = threading.Lock()
        self.errors = []
        self.stats = Counter()
        self.connect_waits = []
        self.open_now = 0
        self.open_max = 0
        self.tick_faults = []
        self.http = Counter()
        self.http_bad = Counter()
        self.gaps = []
        self.tag = "sq0"

    def error(self, text):
        with self.lock:
            if len(self.errors) < 200:
                self.errors.append(text)
            self.stats["errors"] += 1

    # -- WebSocket clients -------------------------------------------------------

    def login(self, ws, ticks, credential):
        ws.send_text(json.dumps({"type": "login", "command": credential}))
        end = time.monotonic() + IO_TIMEOUT
        while True:
            _, payload = ws.recv_message(max(0.01, end - time.monotonic()))
            if payload == LOGIN_REPLY:
                return
            ticks.feed(payload)

    def churner(self, index):
        rnd = random.Random(index)
        cycle = 0
        while not self.stop.is_set():
            cycle += 1
            started = time.monotonic()
            try:
                ws = WebSocket.connect(self.port, timeout=CONNECT_TIMEOUT)
            except WebSocketHandshakeError as exc:
                if not exc.response_head.startswith(b"HTTP/1.1 503 "):
                    self.error(f"churner {index}: connect: {exc!r}")
                self.stats["refused"] += 1
                time.sleep(rnd.uniform(0.1, 0.5))
                continue
            except (OSError, TimeoutError) as exc:
                self.error(f"churner {index}: connect: {exc!r}")
                time.sleep(0.5)
                continue
            ticks = Ticks()
            try:
                with self.lock:
                    self.connect_waits.append(time.monotonic() - started)
                    self.open_now += 1
                    self.open_max = max(self.open_max, self.open_now)
                self.login(ws, ticks, CREDENTIALS[index % 2])
                self.stats["logins"] += 1
                for n in range(rnd.randint(1, 3)):
                    command = rnd.choice([f"echo c{index}-{cycle}-{n}", "status", "list"])
                    ws.send_text(json.dumps({"type": "command", "command": command}))
                    self.stats["commands"] += 1
                dwell_end = time.monotonic() + rnd.uniform(0.2, 1.5)
                while time.monotonic() < dwell_end:
                    try:
                        _, payload = ws.recv_message(dwell_end - time.monotonic())
                    except TimeoutError:
                        break
                    ticks.feed(payload)
            except (OSError, TimeoutError, WebSocketClosed) as exc:
                self.error(f"churner {index} cycle {cycle}: {exc!r}")
            finally:
                ws.close(timeout=2.0)
                with self.lock:
                    self.open_now -= 1
                    self.stats["cycles"] += 1
                    self.stats["texts"] += ticks.count
                    self.tick_faults += [f"churner {index}: {f}" for f in ticks.faults]

    def observer(self, ws, ticks):
        while not self.observers_done.is_set():
            try:
                _, payload = ws.recv_message(1.0)
            except TimeoutError:
                continue
            except (OSError, WebSocketClosed) as exc:
                self.error(f"observer: {exc!r}")
                return
            if payload.startswith(b'{"comName":"ALL","command":"probe '):
                self.probe_seen.set()
            ticks.feed(payload)

    # -- HTTP clients ----------------------------------------------------------------

    def routes(self):
        zone = form([("zonepw", "zone.pw", b"alice:secret\n"), ("pagecustom", "p", b"page")])
        upgrade = form([("ktcmd", "k.bin", b"#!/bin/sh\nexit 0\n")])
        custom = form([("title", None, b"Controller"), ("banner", "b.jpg", b"\xff\xd8x")])
        update = form([("file", "fw.bin", b"firmware")])
        scene = form([("scene", "s.hoi", b"<not a scene/>")])
        return [
            ("GET", "/custom$", None, b"", False), ("GET", "/login", None, b"", False),
            ("GET", "/getUpgrade", None, b"", False), ("GET", "/get_custom_info", None, b"", False),
            ("GET", "/downloadCustom", None, b"", False),
            ("GET", "/api/v1/zones/info", None, b"", False),
            ("POST", "/api/v1/zones/passwd", zone[0], zone[1], False),
            ("GET", "/api/v1/zones/passwd", None, b"", False),
            ("GET", "/api/v1/action?cmdtype=control&cmdstr=verifypasswd&username=alice"
                    "&passwd=secret", None, b"", False),
            ("GET", "/api/v1/zones/page", None, b"", False),
            ("GET", "/api/v1/upload/public_tx_preview", None, b"", False),
            ("GET", "/stream", None, b"", True), ("GET", "/scene", None, b"", False),
            ("POST", "/update_device", update[0], update[1], False),
            ("GET", "/getTxRxList", None, b"", False),
            ("POST", "/scene_upload", scene[0], scene[1], False),
            ("GET", "/marlo$", None, b"", False),
            ("POST", "/marlo$", None, b'{"note":"churn"}', False),
            ("POST", "/log$", None, b"churn says hello", False),
            ("GET", "/log$", None, b"", True),
            ("POST", "/upgrade", upgrade[0], upgrade[1], False),
            ("POST", "/custom_upload$", custom[0], custom[1], False),
            ("GET", "/custom_restore", None, b"", False),
        ]

    def hit(self, route):
        """One request; True when it got its kind of answer."""
        method, path, headers, body, partial = route
        if partial:
            # Endless or large answers: take the head, then leave.
            with socket.create_connection(("127.0.0.1", self.port),
                                          timeout=CONNECT_TIMEOUT) as s:
                s.sendall(build_request(method, path, headers, body, self.port))
                return s.recv(4096).startswith(b"HTTP/1.1 200")
        data = http_raw(self.port, build_request(method, path, headers, body, self.port),
                        timeout=CONNECT_TIMEOUT)
        # The restore answers nothing by design; the rest answer a status.
        return data.startswith(b"HTTP/1.1 ") or path == "/custom_restore"

    def http_client(self, index):
        routes = self.routes()
        i = index
        while not self.stop.is_set():
            route = routes[i % len(routes)]
            i += 1
            try:
                ok = self.hit(route)
                with self.lock:
                    self.http[route[1]] += 1
                    if not ok:
                        self.http_bad[route[1]] += 1
            except (OSError, TimeoutError) as exc:
                self.error(f"http {route[1]}: {exc!r}")

    # -- control service restarts ----------------------------------------------------

    def start_burst(self, tag, seconds):
        count = max(1, int(seconds * self.args.rate))
        self.observer_ws[0].send_text(json.dumps(
            {"type": "command", "command": f"burst {count} {self.args.rate} {tag}"}))

    def restarter(self, times, duration):
        for r in range(1, times + 1):
            at = self.t0 + duration * r / (times + 1)
            if self.stop.wait(max(0.0, at - time.monotonic())):
                return
            self.sim.kill()
            self.sim.start()
            restarted = time.monotonic()
            self.probe_seen.clear()
            # Ask until an answer is relayed: the link dials again by itself.
            for attempt in range(200):
                self.observer_ws[0].send_text(json.dumps(
                    {"type": "command", "command": f"echo probe {r}-{attempt}"}))
                if self.probe_seen.wait(0.05):
                    break
            if not self.probe_seen.is_set():
                self.error(f"restart {r}: relay never resumed")
                continue
            self.gaps.append(time.monotonic() - restarted)
            self.tag = f"sq{r}"
            self.start_burst(self.tag, max(1.0, self.deadline - time.monotonic()))

    # -- the run -----------------------------------------------------------------------

    def main(self):
        args = self.args
        duration = 60.0 if args.short else args.minutes * 60.0
        sandbox = Sandbox()
        sim = self.sim = Sim(sandbox)
        server = Server(sandbox)
        self.port = sandbox.http_port
        failures = []
        try:
            sim.start()
            server.start().wait_ready([self.port])
            sim.wait_for_connections(1)
            (sandbox.zone_dir / "zone.pw").write_bytes(b"alice:secret\n")
            # Warm-up: every route and a few sessions once, so that what is
            # set up on first use is in the baseline.
            for route in self.routes():
                self.hit(route)
            for _ in range(5):
                with WebSocket.connect(self.port) as ws:
                    self.login(ws, Ticks(), CREDENTIALS[0])
            time.sleep(3)
            before = proc_figures(server.pid)
            self.http.clear()
            self.http_bad.clear()
            self.stats.clear()
            self.errors.clear()
            self.stop.clear()

            # Observers stay logged in for the whole run.
            self.observers_done = threading.Event()
            self.probe_seen = threading.Event()
            self.observer_ws, observer_ticks, threads = [], [], []
            for i in range(args.observers):
                ws = WebSocket.connect(self.port)
                t = Ticks()
                self.login(ws, t, CREDENTIALS[0])
                self.observer_ws.append(ws)
                observer_ticks.append(t)
            observers = [threading.Thread(target=self.observer, args=(ws, t))
                         for ws, t in zip(self.observer_ws, observer_ticks)]
            for t in observers:
                t.start()

            self.t0 = time.monotonic()
            self.deadline = self.t0 + duration
            self.start_burst(self.tag, duration)
            threads = [threading.Thread(target=self.churner, args=(i,))
                       for i in range(args.clients)]
            threads += [threading.Thread(target=self.http_client, args=(i * 7,))
                        for i in range(args.http)]
            if args.sim_restarts:
                threads.append(threading.Thread(target=self.restarter,
                                                args=(args.sim_restarts, duration)))
            for t in threads:
                t.start()
            samples = []
            while time.monotonic() < self.deadline:
                time.sleep(min(10.0, max(0.0, self.deadline - time.monotonic())))
                if not server.running():
                    break
                samples.append(proc_figures(server.pid))
                print(f"[{time.monotonic() - self.t0:5.0f}s] rss {samples[-1][0]} kB, "
                      f"fds {samples[-1][1]}, threads {samples[-1][2]}, "
                      f"cycles {self.stats['cycles']}, open {self.open_now}", flush=True)
            self.stop.set()
            for t in threads:
                t.join(CONNECT_TIMEOUT + IO_TIMEOUT)
            hung = [t for t in threads if t.is_alive()]
            if hung:
                failures.append(f"{len(hung)} client threads did not finish")
            # The last burst ends with the run; let its tail arrive.
            time.sleep(3)
            self.observers_done.set()
            for t in observers:
                t.join(10)

            if not server.running():
                failures.append(f"server ended: {server.returncode}")
            # Online count with only the observers logged in, then none.
            time.sleep(2)
            counts = ONLINE.findall(subprocess.run(
                ["grep", "-a", "Online num", str(sandbox.log_file)],
                capture_output=True).stdout)
            online_with_observers = int(counts[-1]) if counts else None
            for ws in self.observer_ws:
                ws.close()
            time.sleep(3)
            counts = ONLINE.findall(subprocess.run(
                ["grep", "-a", "Online num", str(sandbox.log_file)],
                capture_output=True).stdout)
            online_after = int(counts[-1]) if counts else None
            if online_with_observers != args.observers:
                failures.append(f"online count {online_with_observers} with "
                                f"{args.observers} observers logged in")
            if online_after != 0:
                failures.append(f"online count {online_after} after every client left")

            # Every observer saw every burst text, in order.
            for i, t in enumerate(observer_ticks):
                for tag, last in t.last.items():
                    if t.first[tag] != 1:
                        failures.append(f"observer {i}: {tag} began at {t.first[tag]}")
                if t.faults:
                    failures.append(f"observer {i}: {t.faults[:5]}")
            if self.tick_faults:
                failures.append(f"{len(self.tick_faults)} churner gaps: {self.tick_faults[:5]}")
            if self.errors:
                failures.append(f"{self.stats['errors']} client errors, first: "
                                f"{self.errors[:5]}")
            if self.http_bad:
                failures.append(f"bad HTTP answers: {dict(self.http_bad)}")

            time.sleep(3)
            after = proc_figures(server.pid) if server.running() else (0, 0, 0)
            rss_limit = before[0] * 1.25 + 4096
            if after[0] > rss_limit or after[1] > before[1] + 2 or after[2] != before[2]:
                failures.append(f"resources not back: before {before}, after {after}")

            waits = sorted(self.connect_waits) or [0.0]
            peak = max(samples) if samples else before
            print("\n== churn figures ==")
            print(f"duration {duration:.0f} s, clients {args.clients} + {args.observers} "
                  f"observers, {args.http} HTTP clients, burst {args.rate}/s")
            print(f"cycles {self.stats['cycles']}, logins {self.stats['logins']}, commands "
                  f"{self.stats['commands']}, numbered texts seen by churners "
                  f"{self.stats['texts']}")
            for i, t in enumerate(observer_ticks):
                print(f"observer {i}: {t.count} numbered texts, tags {dict(t.last)}")
            print(f"WebSockets open at once: max {self.open_max}; upgrades refused (503) "
                  f"{self.stats['refused']}")
            print(f"connect wait (s): median {statistics.median(waits):.3f}, "
                  f"p95 {waits[int(len(waits) * 0.95) - 1 if len(waits) > 1 else 0]:.3f}, "
                  f"max {waits[-1]:.3f}")
            print(f"HTTP requests: {sum(self.http.values())} over {len(self.http)} routes")
            if self.gaps:
                print("control service restarts: gap to first relayed text (s): " +
                      " ".join(f"{g:.2f}" for g in self.gaps))
            print(f"online count: {online_with_observers} with observers, {online_after} after")
            print(f"VmRSS kB / fds / threads: before {before}, peak sample "
                  f"{tuple(max(s[k] for s in samples) for k in range(3)) if samples else peak}, "
                  f"after {after}")
            log_size = sandbox.log_file.stat().st_size
            print(f"log file: {log_size / 1e6:.0f} MB")
        except Exception:  # noqa: BLE001 - a broken run is a failed run
            failures.append(traceback.format_exc())
        finally:
            self.stop.set()
            statuses = stop_all([server, sim])
            if statuses[0] not in (0, None):
                failures.append(f"server stop status {statuses[0]}")
            if args.keep:
                print(f"sandbox kept: {sandbox.root}")
            else:
                sandbox.cleanup()
        print("\nRESULT: " + ("PASS" if not failures else "FAIL"))
        for f in failures:
            print("  - " + f)
        return 0 if not failures else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--minutes", type=float, default=10.0)
    parser.add_argument("--short", action="store_true", help="one minute")
    parser.add_argument("--clients", type=int, default=200)
    parser.add_argument("--observers", type=int, default=4)
    parser.add_argument("--http", type=int, default=4)
    parser.add_argument("--rate", type=int, default=200)
    parser.add_argument("--sim-restarts", type=int, default=0)
    parser.add_argument("--keep", action="store_true", help="keep the sandbox")
    args = parser.parse_args()
    if args.keep:
        os.environ["KT_KEEP_SANDBOX"] = "1"
    return Run(args).main()


if __name__ == "__main__":
    sys.exit(main())
