#!/usr/bin/env python3
"""Benchmarks of ktwebserver side by side with its peers (scripts/bench.sh).

Every server runs in a sandbox device tree (tests/harness.py) on free ports
of 127.0.0.1; every load is bounded in count and time. Each figure is the
median of RUNS runs; ours and the peer's are taken in the same run, one
right after the other, so their ratio holds even on a busy machine.

Environment: KT_BUILD_DIR (release build with -DKT_BENCH=ON), KT_BENCH_RUNS
(default 3), KT_BENCH_ONLY (comma list of items 1-6 to run), KT_BENCH_OUT
(file for the table, default stdout only), KT_BENCH_README=1 (replace the
table in README.md's Performance section; whole runs only).
"""

import os
import re
import shlex
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
sys.path.insert(0, str(REPO / "tests"))
import harness  # noqa: E402
from harness import LOCALHOST, Sandbox, Server, Sim, WebSocket, http_get, http_raw  # noqa: E402

BUILD = harness.build_dir()
RUNS = int(os.environ.get("KT_BENCH_RUNS", "3"))
ONLY = set(filter(None, os.environ.get("KT_BENCH_ONLY", "").split(",")))
WRK_SECONDS = int(os.environ.get("KT_BENCH_WRK_SECONDS", "5"))
WRK_CONNECTIONS = 10   # below the 50 workers, so every connection is served
SHELL_REQUESTS = 60
GROW_MB = 200
RELAY_CLIENTS = [1, 10, 50, 100, 500]
RELAY_RATE, RELAY_TEXTS = 1000, 2000
RELAY_RATES = ("100,200,500,1000,2000,3000,5000,7000,10000,15000,20000,30000,50000,70000,100000,"
               "150000,200000,300000,400000,500000,700000,1000000")
RELAY_BURST_SECONDS = 0.5
RELAY_QUIET_CLIENTS = (10,)
RELAY_P99_TARGET_MS = {50: 2, 100: 5}
USER5 = ("operator5", "operator5pw")

rows = []  # (item, what, ours, peer name, peer, unit, ratio, target text, met)


def log(msg):
    print(f"[bench {time.strftime('%H:%M:%S')}] {msg}", file=sys.stderr, flush=True)


def med(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def add(item, what, ours, peer_name, peer, unit, target="", met=None, ratio=None):
    if ratio is None and ours is not None and peer not in (None, 0):
        ratio = ours / peer
    rows.append((item, what, ours, peer_name, peer, unit, ratio, target, met))


# ---------------------------------------------------------------------------
# Processes
# ---------------------------------------------------------------------------

class Stack:
    """A sandbox with the simulator and ktwebserver, plain or grown."""

    def __init__(self, prepare=None, env=None, quiet=False):
        self.sandbox = Sandbox()
        props = self.sandbox.server_properties
        # Six filled credential slots: a login of the last user reads all twelve.
        text = "adminName=admin\nadminPassWord=admin123\n"
        for i in range(1, 5):
            text += f"userName{i}=operator{i}\nuserPassWord{i}=operator{i}pw\n"
        text += f"userName5={USER5[0]}\nuserPassWord5={USER5[1]}\n"
        props.write_text(text)
        (self.sandbox.classes / "device.properties").write_text("".join(f"tx{i}=192.168.1.{i}\n" for i in range(1, 9)) +
                      "".join(f"rx{i}=192.168.2.{i}\n" for i in range(1, 9)))
        if prepare:
            prepare(self.sandbox)
        if quiet:
            # Only warnings and errors in the log: what the INFO lines cost.
            conf = self.sandbox.log_config
            conf.write_text(conf.read_text().replace("rootCategory=DEBUG", "rootCategory=WARN"))
        self.sim = Sim(self.sandbox).start()
        self.server = Server(self.sandbox, ["-m", "http"], env=env).start()
        if quiet:
            # The readiness line is an INFO line; the port, then a moment for
            # the routes.
            self.server.wait_for_port(self.sandbox.http_port)
            time.sleep(0.5)
        else:
            self.server.wait_ready([self.sandbox.http_port])
        self.port = self.sandbox.http_port

    @property
    def pid(self):
        return self.server.pid

    def stop(self):
        harness.stop_all([self.server, self.sim])
        self.sandbox.cleanup()


def start(argv, ready=None, **kw):
    proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, **kw)
    if ready is not None and not harness.wait_until(lambda: harness.port_open(ready), 10):
        proc.kill()
        raise RuntimeError(f"{argv[0]} did not listen on {ready}")
    return proc


def stop(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def proc_status(pid, field):
    """An integer field of /proc/PID/status ("VmRSS" in KB, "Threads")."""
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return None


def rss_kb(pid):
    return proc_status(pid, "VmRSS")


# ---------------------------------------------------------------------------
# 1. Fixed HTTP routes (wrk)
# ---------------------------------------------------------------------------

def wrk(port, path):
    out = subprocess.run(["wrk", "-t1", f"-c{WRK_CONNECTIONS}", f"-d{WRK_SECONDS}s", "--latency",
                          "--timeout", "2s", f"http://{LOCALHOST}:{port}{path}"],
                         capture_output=True, text=True, timeout=WRK_SECONDS + 30).stdout
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    m = re.search(r"^\s+99%\s+([\d.]+)(us|ms|s)\b", out, re.M)
    p99 = float(m.group(1)) * {"us": 1e-3, "ms": 1.0, "s": 1e3}[m.group(2)]
    errors = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    if errors:
        log(f"wrk {path}: {errors.group(1)} non-2xx answers")
    return rps, p99


NGINX_CONF = """
user root;
worker_processes auto;
pid {prefix}/nginx.pid;
error_log {prefix}/error.log;
events {{ worker_connections 1024; }}
http {{
  include /etc/nginx/mime.types;
  access_log off;
  sendfile on;
  keepalive_timeout {keepalive};
  client_body_temp_path {prefix}/body;
  proxy_temp_path {prefix}/proxy;
  fastcgi_temp_path {prefix}/fastcgi;
  uwsgi_temp_path {prefix}/uwsgi;
  scgi_temp_path {prefix}/scgi;
  server {{ listen 127.0.0.1:{port}; root {root}; }}
}}
"""


def start_nginx(root, keepalive):
    prefix = Path(tempfile.mkdtemp(prefix="kt-bench-nginx-"))
    port = harness.free_port()
    conf = prefix / "nginx.conf"
    conf.write_text(NGINX_CONF.format(prefix=prefix, port=port, root=root, keepalive=keepalive))
    proc = start(["nginx", "-c", str(conf), "-p", str(prefix), "-g", "daemon off;"], ready=port)
    return proc, port, prefix


def bench_fixed_routes():
    log("1. fixed routes")
    stack = Stack()
    tmp = Path(tempfile.mkdtemp(prefix="kt-bench-answers-"))
    try:
        webroot = stack.sandbox.webroot
        answers = []
        for path in ("/getUpgrade", "/getTxRxList"):
            raw = http_raw(stack.port, f"GET {path} HTTP/1.1\r\nHost: {LOCALHOST}\r\n\r\n")
            (tmp / path.strip("/")).write_bytes(raw)
            answers.append(f"{path}={tmp / path.strip('/')}")
        cw_port = harness.free_port()
        cw = start([str(BUILD / "cw-minimal"), str(webroot), str(cw_port)] + answers,
                   ready=cw_port, cwd=tmp)
        nginx, ng_port, ng_prefix = start_nginx(webroot, 65)
        nginx_close, ngc_port, ngc_prefix = start_nginx(webroot, 0)
        samples = {}
        try:
            for run in range(RUNS):
                for path in ("/getUpgrade", "/getTxRxList", "/index.html"):
                    samples.setdefault(("ours", path), []).append(wrk(stack.port, path))
                    samples.setdefault(("cw", path), []).append(wrk(cw_port, path))
                samples.setdefault(("nginx", "/index.html"), []).append(wrk(ng_port, "/index.html"))
                samples.setdefault(("nginx-close", "/index.html"), []).append(
                    wrk(ngc_port, "/index.html"))
                log(f"   run {run + 1}/{RUNS} done")
        finally:
            for p in (cw, nginx, nginx_close):
                stop(p)
            shutil.rmtree(ng_prefix, ignore_errors=True)
            shutil.rmtree(ngc_prefix, ignore_errors=True)

        def fig(key, i):
            return med([s[i] for s in samples[key]])
        for path in ("/getUpgrade", "/getTxRxList", "/index.html"):
            ours, cw_rps = fig(("ours", path), 0), fig(("cw", path), 0)
            add(1, f"{path} req/s", ours, "minimal CivetWeb", cw_rps, "req/s",
                ">= 0.9", ours / cw_rps >= 0.9)
            add(1, f"{path} p99", fig(("ours", path), 1), "minimal CivetWeb",
                fig(("cw", path), 1), "ms", "")
        ours = fig(("ours", "/index.html"), 0)
        for key, name in (("nginx", "nginx (keep-alive)"), ("nginx-close", "nginx (no keep-alive)")):
            peer = fig((key, "/index.html"), 0)
            add(1, "/index.html req/s", ours, name, peer, "req/s", ">= 0.5", ours / peer >= 0.5)
            add(1, "/index.html p99", fig(("ours", "/index.html"), 1), name, fig((key, "/index.html"), 1),
                "ms", "")
    finally:
        stack.stop()
        shutil.rmtree(tmp, ignore_errors=True)


# ---------------------------------------------------------------------------
# 2. Shell-backed routes
# ---------------------------------------------------------------------------

def timed(fn, count):
    """Median milliseconds of count calls of fn."""
    times = []
    for _ in range(count):
        t = time.perf_counter()
        fn()
        times.append((time.perf_counter() - t) * 1e3)
    return statistics.median(times)


def shell_loop_ms(commands, count):
    """Milliseconds per round of the commands run bare from a shell loop, each
    through sh -c with its output collected, as the server runs them."""
    body = "; ".join(f"x=$(sh -c {shlex.quote(c)})" for c in commands)
    script = f"for i in $(seq {count}); do {body}; done"
    t = time.perf_counter()
    subprocess.run(["bash", "-c", script], check=True, timeout=120)
    return (time.perf_counter() - t) * 1e3 / count


def awk(key, path):
    program = shlex.quote("/^" + re.sub(r"([\\/.*\[\]^$+?(){}|])", r"\\\1", key) + "/ {print $2}")
    return f"awk -F= {program} {shlex.quote(str(path))}"


def login_ms(port, count):
    ws = WebSocket.connect(port)
    try:
        frame = '{"type":"login","command":"%s %s"}' % USER5

        def once():
            ws.send_text(frame)
            reply = ws.recv_text(timeout=5)
            assert reply.startswith('{"type":"result"'), reply
        return timed(once, count)
    finally:
        ws.close()


def bench_shell_routes():
    log("2. shell-backed routes")
    env = {"LD_PRELOAD": str(BUILD / "libktbench-growmem.so"), "KT_BENCH_GROW_MB": str(GROW_MB)}
    grown = Stack(env=env)
    plain = Stack()
    try:
        rss = rss_kb(grown.pid)
        workers = proc_status(grown.pid, "Threads")
        log(f"   grown server: RSS {rss / 1024:.0f} MB, {workers} threads")
        sb = grown.sandbox
        props = sb.server_properties
        custom = sb.webroot / "customization/custom.properties"
        custom_en = sb.classes / "custom_en_US.properties"
        service = sb.webroot / "civetweb/getServiceParam.sh"
        marlo_cmds = [awk("adminName", props), awk("adminPassWord", props),
                      f"{shlex.quote(str(service))} service_http",
                      f"{shlex.quote(str(service))} service_https"]
        custom_cmds = [awk("webTitle", custom), awk("language=", custom), awk("login_title=", custom_en)]
        login_cmds = []
        for name, pwd in [("adminName", "adminPassWord")] + [
                (f"userName{i}", f"userPassWord{i}") for i in range(1, 6)]:
            login_cmds += [awk(name, props), awk(pwd, props)]
        figures = {}
        for run in range(RUNS):
            for key, fn in (
                    ("marlo", lambda: http_get(grown.port, "/marlo")),
                    ("marlo-plain", lambda: http_get(plain.port, "/marlo")),
                    ("custom", lambda: http_get(grown.port, "/get_custom_info"))):
                figures.setdefault(key, []).append(timed(fn, SHELL_REQUESTS))
            figures.setdefault("login", []).append(login_ms(grown.port, SHELL_REQUESTS // 2))
            figures.setdefault("marlo-limit", []).append(shell_loop_ms(marlo_cmds, SHELL_REQUESTS))
            figures.setdefault("custom-limit", []).append(shell_loop_ms(custom_cmds, SHELL_REQUESTS))
            figures.setdefault("login-limit", []).append(shell_loop_ms(login_cmds, SHELL_REQUESTS // 2))
            log(f"   run {run + 1}/{RUNS} done")
        note = f"server RSS {rss / 1024:.0f} MB, {workers} threads"
        # The properties are read in-process now; the limit stays the shell
        # loop of the commands those reads replaced.
        for key, what in (("marlo", "/marlo GET (2 scripts, 2 reads; were 4 commands)"),
                          ("custom", "/get_custom_info (3 reads; were 3 commands)")):
            ours, limit = med(figures[key]), med(figures[key + "-limit"])
            add(2, what + f" [{note}]", ours, "same commands, shell loop", limit, "ms",
                "<= 1.3", ours / limit <= 1.3)
        ours, limit = med(figures["login"]), med(figures["login-limit"])
        add(2, f"WebSocket login, last slot (1 read; were 12 commands) [{note}]", ours,
            "the 12 commands, shell loop", limit, "ms", "<= 5 ms", ours <= 5)
        grown_ms, plain_ms = med(figures["marlo"]), med(figures["marlo-plain"])
        add(2, f"/marlo GET with {GROW_MB} MB grown vs not grown", grown_ms,
            f"server at {rss_kb(plain.pid) / 1024:.0f} MB", plain_ms, "ms", "flat (<= 1.1)",
            grown_ms / plain_ms <= 1.1)
    finally:
        grown.stop()
        plain.stop()


# ---------------------------------------------------------------------------
# 3. Relay
# ---------------------------------------------------------------------------

def relay_tool(port, socket_path, clients, mode, *args, timeout=90):
    argv = [str(BUILD / "ktbench-relay"), str(port), str(socket_path), str(clients), "admin",
            "admin123", mode] + [str(a) for a in args]
    out = subprocess.run(argv, capture_output=True, text=True, timeout=timeout).stdout
    return dict(re.findall(r"(\w+)=([\w./]+)", out))


def start_node_relay(sandbox):
    port = harness.free_port()
    proc = start(["node", str(HERE / "node-relay/relay.js"), str(port), str(sandbox.socket),
                  str(sandbox.server_properties)], ready=port)
    return proc, port


def bench_relay():
    log("3. relay")
    stack = Stack()
    # The same server with its INFO lines off in the logging configuration:
    # not a figure of its own, the measure of what the per-client broadcast
    # line costs.
    quiet = Stack(quiet=True)
    node_sandbox = Sandbox()
    node_sim = Sim(node_sandbox).start()
    node, node_port = start_node_relay(node_sandbox)
    try:
        figs = {}
        for run in range(RUNS):
            for n in RELAY_CLIENTS:
                for name, port, sock in (("ours", stack.port, stack.sandbox.socket),
                                         ("quiet", quiet.port, quiet.sandbox.socket),
                                         ("node", node_port, node_sandbox.socket)):
                    if name == "quiet" and n not in RELAY_QUIET_CLIENTS:
                        continue
                    lat = relay_tool(port, sock, n, "latency", RELAY_RATE, RELAY_TEXTS)
                    time.sleep(0.5)  # closed clients release their workers
                    rate = relay_tool(port, sock, n, "rate", RELAY_RATES, RELAY_BURST_SECONDS)
                    time.sleep(0.5)
                    figs.setdefault((name, n), []).append((lat, rate))
                    log(f"   {name} {n} clients: {lat} {rate}")
            log(f"   run {run + 1}/{RUNS} done")

        def fig(name, n, part, key):
            vals = []
            for sample in figs[(name, n)]:
                value = sample[part].get(key)
                vals.append(float(value) if value is not None else None)
            return med(vals)
        for n in RELAY_CLIENTS:
            held = fig("ours", n, 0, "held")
            label = f"{n} clients" + (f" (ours holds {held:.0f})" if held and held < n else "")
            p50, p99 = fig("ours", n, 0, "p50_us"), fig("ours", n, 0, "p99_us")
            lost = fig("ours", n, 0, "lost")
            add(3, f"{label}: p50 at {RELAY_RATE}/s", p50 / 1e3 if p50 else None, "Node.js ws relay",
                (fig("node", n, 0, "p50_us") or 0) / 1e3, "ms")
            target, met = "", None
            if n in RELAY_P99_TARGET_MS:
                bound = RELAY_P99_TARGET_MS[n]
                target, met = f"< {bound} ms", p99 is not None and p99 < bound * 1000 and not lost
            add(3, f"{label}: p99 at {RELAY_RATE}/s (lost {lost or 0:.0f})",
                p99 / 1e3 if p99 else None, "Node.js ws relay",
                (fig("node", n, 0, "p99_us") or 0) / 1e3, "ms", target, met)
            ours_rate, node_rate = fig("ours", n, 1, "max_rate"), fig("node", n, 1, "max_rate")
            add(3, f"{label}: highest rate without loss", ours_rate, "Node.js ws relay", node_rate,
                "texts/s", ">= 2", bool(ours_rate and node_rate and ours_rate >= 2 * node_rate))
            if n not in RELAY_QUIET_CLIENTS:
                continue
            quiet_p99 = fig("quiet", n, 0, "p99_us")
            add(3, f"{label}: p99 at {RELAY_RATE}/s, INFO lines off (cause)",
                quiet_p99 / 1e3 if quiet_p99 else None, "Node.js ws relay",
                (fig("node", n, 0, "p99_us") or 0) / 1e3, "ms")
            add(3, f"{label}: highest rate, INFO lines off (cause)", fig("quiet", n, 1, "max_rate"),
                "Node.js ws relay", node_rate, "texts/s")
    finally:
        stop(node)
        node_sim.stop()
        node_sandbox.cleanup()
        quiet.stop()
        stack.stop()


# ---------------------------------------------------------------------------
# 4. Uploads
# ---------------------------------------------------------------------------

def make_payload(path, mb):
    # A package that the upgrade runs must end at once: a shell script that
    # exits, padded to size.
    with open(path, "wb") as f:
        f.write(b"#!/bin/sh\nexit 0\n")
        block = b"\0" * (1 << 20)
        for _ in range(mb):
            f.write(block)


def curl_seconds(port, path, args, max_time):
    """Seconds curl takes for one request (its own time_total: process
    start-up not counted, and a client whose cost stays small beside the
    request's size); the answer must be 200."""
    out = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code} %{time_total}",
                          "--max-time", str(max_time)] + args + [f"http://{LOCALHOST}:{port}{path}"],
                         capture_output=True, text=True, timeout=max_time + 30).stdout.split()
    if out[0] != "200":
        raise RuntimeError(f"{path} answered {out[0]}")
    return float(out[1])


def curl_get_ms(port, path):
    return curl_seconds(port, path, [], 30) * 1e3


def curl_upload(port, path, field, payload):
    # No "Expect: 100-continue": browsers do not send it, and the library
    # answers it only for PUT, so curl would first wait its 1 s timeout.
    return curl_seconds(port, path, ["-H", "Expect:", "-F", f"{field}=@{payload}"], 120)


def dd_seconds(payload, target):
    t = time.perf_counter()
    subprocess.run(["dd", f"if={payload}", f"of={target}", "bs=1M", "conv=fsync"], check=True,
                   capture_output=True, timeout=120)
    elapsed = time.perf_counter() - t
    os.unlink(target)
    return elapsed


def sample_rss(pid, stop_event, peaks):
    while not stop_event.is_set():
        try:
            peaks.append(rss_kb(pid))
        except OSError:
            return
        time.sleep(0.01)


def bench_uploads():
    log("4. uploads (and 6. memory during uploads)")
    stack = Stack()
    tmp = Path(tempfile.mkdtemp(prefix="kt-bench-upload-", dir=stack.sandbox.root))
    sink = None
    try:
        big, small = tmp / "web.bin", tmp / "dev.bin"
        make_payload(big, 200)
        make_payload(small, 50)
        size_big, size_small = big.stat().st_size, small.stat().st_size
        figs = {}
        idle = rss_kb(stack.pid)
        sink_port = harness.free_port()
        sink = subprocess.Popen([sys.executable, str(Path(__file__).parent / "upload_sink.py"),
                                 str(sink_port), str(stack.sandbox.root / "home/ubuntu/sink.bin")],
                                stdout=subprocess.PIPE, text=True)
        assert sink.stdout.readline().strip() == "ready"
        for run in range(RUNS):
            for key, route, field, payload, size in (
                    ("upgrade", "/upgrade", "web", big, size_big),
                    ("update", "/update_device", "file", small, size_small)):
                peaks = []
                done = threading.Event()
                sampler = threading.Thread(target=sample_rss, args=(stack.pid, done, peaks))
                sampler.start()
                seconds = curl_upload(stack.port, route, field, payload)
                done.set()
                sampler.join()
                figs.setdefault(key, []).append(size / seconds / 1e6)
                figs.setdefault(key + "-rss", []).append(max(peaks) - idle)
                figs.setdefault(key + "-peak", []).append(max(peaks))
                limit = dd_seconds(payload, stack.sandbox.root / "home/ubuntu/dd.bin")
                figs.setdefault(key + "-dd", []).append(size / limit / 1e6)
                bare = curl_upload(sink_port, route, field, payload)
                figs.setdefault(key + "-sink", []).append(size / bare / 1e6)
                time.sleep(1.5)  # the upgrade's worker sleeps a second before its reboot
            log(f"   run {run + 1}/{RUNS} done")
        for key, what in (("upgrade", "firmware upload 200 MB"), ("update", "device update 50 MB")):
            ours, limit = med(figs[key]), med(figs[key + "-dd"])
            add(4, what, ours, "dd to the same disk", limit, "MB/s", ">= 0.8", ours / limit >= 0.8)
            add(4, what + " (cause: the socket)", ours, "bare socket sink, same curl", med(figs[key + "-sink"]),
                "MB/s", "")
        add(4, "RSS peak during 200 MB upload", med(figs["upgrade-peak"]), "idle before",
            idle, "KB", "")
        grow_big, grow_small = med(figs["upgrade-rss"]), med(figs["update-rss"])
        add(4, "RSS growth during 200 MB upload vs 50 MB", grow_big, "during 50 MB upload",
            grow_small, "KB", "no growth with size", grow_big <= grow_small + 512)
    finally:
        if sink is not None:
            sink.kill()
            sink.wait()
        stack.stop()


# ---------------------------------------------------------------------------
# 5. Linear in the file
# ---------------------------------------------------------------------------

def bench_linear():
    log("5. zone check and TX/RX list against long files")
    stack = Stack()
    try:
        sb = stack.sandbox
        zone_pw = sb.zone_dir / "zone.pw"
        devices = sb.classes / "device.properties"
        figs = {}
        for run in range(RUNS):
            for lines in (10000, 20000):
                zone_pw.write_text("".join(f"user{i}:pass{i}\n" for i in range(lines)))
                last = lines - 1
                url = (f"/api/v1/action?cmdtype=control&cmdstr=verifypasswd&username=user{last}"
                       f"&passwd=pass{last}")
                assert http_get(stack.port, url).status == 200
                figs.setdefault(("zone", lines), []).append(
                    statistics.median(curl_get_ms(stack.port, url) for _ in range(11)))
                devices.write_text("".join(f"rx{i}=192.168.{i // 250}.{i % 250}\n"
                                           for i in range(lines)))
                figs.setdefault(("txrx", lines), []).append(
                    statistics.median(curl_get_ms(stack.port, "/getTxRxList") for _ in range(11)))
            log(f"   run {run + 1}/{RUNS} done")
        for key, what in (("zone", "zone check, last of N lines"), ("txrx", "TX/RX list of N lines")):
            t10, t20 = med(figs[(key, 10000)]), med(figs[(key, 20000)])
            add(5, f"{what}: 20,000 vs 10,000 lines", t20, "10,000 lines", t10, "ms",
                "~2 (linear)", t20 / t10 <= 2.3)
    finally:
        stack.stop()


# ---------------------------------------------------------------------------
# 6. Memory
# ---------------------------------------------------------------------------

def file_kb(path):
    return Path(path).stat().st_size / 1024


def stripped_kb(path):
    tmp = tempfile.mktemp(prefix="kt-bench-strip-")
    subprocess.run(["strip", "-o", tmp, str(path)], check=True)
    size = file_kb(tmp)
    os.unlink(tmp)
    return size


def bench_memory():
    log("6. memory")
    figs = {}
    for run in range(RUNS):
        stack = Stack()
        node_sandbox = Sandbox()
        node_sim = Sim(node_sandbox).start()
        node, node_port = start_node_relay(node_sandbox)
        cw_port = harness.free_port()
        cw = start([str(BUILD / "cw-minimal"), str(stack.sandbox.webroot), str(cw_port)], ready=cw_port,
                   cwd=stack.sandbox.root)
        try:
            time.sleep(1)
            # A few requests first: idle means started and used, not untouched.
            for _ in range(5):
                http_get(stack.port, "/getUpgrade")
                http_get(cw_port, "/getUpgrade")
            idle = rss_kb(stack.pid)
            figs.setdefault("idle", []).append(idle)
            figs.setdefault("cw-idle", []).append(rss_kb(cw.pid))
            node_idle = rss_kb(node.pid)
            figs.setdefault("node-idle", []).append(node_idle)
            for name, port, sock, pid, base, n in (
                    ("ours", stack.port, stack.sandbox.socket, stack.pid, idle, 100),
                    # The relay's garbage collector moves its size by more
                    # than 100 clients take: 500 of them show the slope.
                    ("node", node_port, node_sandbox.socket, node.pid, node_idle, 500)):
                holder = subprocess.Popen(
                    [str(BUILD / "ktbench-relay"), str(port), str(sock), str(n), "admin", "admin123",
                     "hold", "4"], stdout=subprocess.PIPE, text=True)
                line = holder.stdout.readline()
                held = int(re.search(r"held=(\d+)", line).group(1))
                time.sleep(1)
                per_client = (rss_kb(pid) - base) / held
                figs.setdefault(name + "-per-client", []).append(per_client)
                figs.setdefault(name + "-held", []).append(held)
                holder.wait(20)
        finally:
            stop(cw)
            stop(node)
            node_sim.stop()
            node_sandbox.cleanup()
            stack.stop()
        log(f"   run {run + 1}/{RUNS} done")
    idle = med(figs["idle"])
    add(6, "RSS idle", idle, "minimal CivetWeb", med(figs["cw-idle"]), "KB", "< 10 MB",
        idle < 10 * 1024)
    add(6, "RSS idle", idle, "Node.js ws relay", med(figs["node-idle"]), "KB", "")
    held = med(figs["ours-held"])
    per = med(figs["ours-per-client"])
    add(6, f"RSS per logged-in client (100 asked, {held:.0f} held)", per,
        f"Node.js ws relay ({med(figs['node-held']):.0f} held)", med(figs["node-per-client"]), "KB",
        "< 50 KB", per < 50)
    server = BUILD / "ktwebserver"
    add(6, "binary size (stripped)", stripped_kb(server), "minimal CivetWeb", stripped_kb(BUILD / "cw-minimal"),
        "KB", "")
    add(6, "libDevLink.so (stripped)", stripped_kb(BUILD / "libDevLink.so"), "", None, "KB", "")
    def libs_kb(binary):
        out = subprocess.run(["ldd", str(binary)], capture_output=True, text=True).stdout
        return sum(file_kb(os.path.realpath(m.group(1))) for m in re.finditer(r"=> (/\S+)", out))
    add(6, "shared libraries loaded (ldd, on disk)", libs_kb(server), "minimal CivetWeb",
        libs_kb(BUILD / "cw-minimal"), "KB", "")
    add(6, "binary size (stripped)", stripped_kb(server), "nginx (Debian)",
        file_kb(shutil.which("nginx")), "KB", "")


# ---------------------------------------------------------------------------

def fmt(value, unit):
    if value is None:
        return "n/a"
    if unit in ("req/s", "texts/s", "KB") or value >= 1000:
        return f"{value:,.0f}"
    if value >= 100:
        return f"{value:.0f}"
    if value >= 10:
        return f"{value:.1f}"
    return f"{value:.2f}"


def table():
    lines = ["| # | figure | ours | peer | peer's | ratio | target | met |",
             "|---|---|---|---|---|---|---|---|"]
    for item, what, ours, peer_name, peer, unit, ratio, target, met in rows:
        lines.append(f"| {item} | {what} | {fmt(ours, unit)} {unit} | {peer_name} | "
                     f"{fmt(peer, unit) + ' ' + unit if peer is not None else '-'} | "
                     f"{f'{ratio:.2f}' if ratio is not None else '-'} | {target} | "
                     f"{'' if met is None else ('yes' if met else 'NO')} |")
    return "\n".join(lines)


def merged_table(old, head):
    """The README's table with the rows of the items run now replaced (in
    the place of their old rows) and the others kept with their old
    machine line."""
    old_lines = old.strip().splitlines()
    old_heads = [line for line in old_lines if not line.startswith("|") and line.strip()]
    ours = table().splitlines()
    new_rows = {}
    for line in ours[2:]:
        new_rows.setdefault(line.split("|")[1].strip(), []).append(line)
    rows_out, placed = [], set()
    for line in old_lines:
        if not line.startswith("| ") or line.startswith("| #"):
            continue
        item = line.split("|")[1].strip()
        if item in ONLY:
            if item not in placed:
                rows_out += new_rows.get(item, [])
                placed.add(item)
        else:
            rows_out.append(line)
    for item, lines in new_rows.items():
        if item not in placed:
            rows_out += lines
    kept = ", ".join(sorted({line.split("|")[1].strip() for line in rows_out} - ONLY))
    heads = [f"Items {', '.join(sorted(ONLY))}: {head}"]
    for h in old_heads:
        if not h.startswith("Items "):
            heads.append(f"Items {kept}: {h}")
        elif not set(h[len("Items "):].split(":")[0].split(", ")) <= ONLY:
            heads.append(h)
    return "\n".join(heads) + "\n\n" + "\n".join(ours[:2] + rows_out) + "\n"


def main():
    load_before = os.getloadavg()
    busy = subprocess.run(["pgrep", "-f", "fuzz|churn"], capture_output=True, text=True).stdout.split()
    t0 = time.time()
    for key, fn in (("1", bench_fixed_routes), ("2", bench_shell_routes), ("3", bench_relay),
                    ("4", bench_uploads), ("5", bench_linear), ("6", bench_memory)):
        if not ONLY or key in ONLY:
            fn()
    load_after = os.getloadavg()
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                if line.startswith("model name")), "?")
    head = (f"Machine: {os.cpu_count()} CPUs, {cpu}; load average {load_before[0]:.2f} before, "
            f"{load_after[0]:.2f} after; fuzz/churn processes at start: {len(busy)}; "
            f"medians of {RUNS} runs; {time.time() - t0:.0f} s; {time.strftime('%Y-%m-%d %H:%M')}")
    text = head + "\n\n" + table() + "\n"
    print(text)
    out = os.environ.get("KT_BENCH_OUT")
    if out:
        Path(out).write_text(text)
    if os.environ.get("KT_BENCH_README") == "1":
        readme = REPO / "README.md"
        begin, end = "<!-- bench table: begin -->", "<!-- bench table: end -->"
        doc = readme.read_text()
        if begin in doc and end in doc:
            before, rest = doc.split(begin, 1)
            old, after = rest.split(end, 1)
            if ONLY:
                text = merged_table(old, head)
            readme.write_text(before + begin + "\n" + text + end + after)


if __name__ == "__main__":
    main()
