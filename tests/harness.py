"""Integration test harness: a sandbox device tree on free ports, devctl-sim, the server
(DEVICE_ROOT = the sandbox), byte-exact HTTP and WebSocket clients, a unittest base."""

import atexit, base64, collections, contextlib, hashlib, os, re, shlex, shutil, signal  # noqa: E401
import socket, ssl, struct, subprocess, sys, tempfile, time, unittest  # noqa: E401
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
LOCALHOST = "127.0.0.1"
# Generous bounds for a loaded CI machine; a healthy server needs a fraction.
START_TIMEOUT, STOP_TIMEOUT, IO_TIMEOUT = 10.0, 5.0, 5.0
WORKERS = 50  # CivetWeb's default num_threads, which the server keeps
# Fixed answers of the server that several suites compare byte for byte.
OK_RSP = (b"HTTP/1.1 200 OK\r\nServer: Apache-Coyote/1.1\r\naccess-control-allow-origin: *\r\n"
          b"Content-Length: 0\r\n\r\n")
ERROR_RSP = (b"HTTP/1.1 500 Internal Server Error\r\nServer: Apache-Coyote/1.1\r\n"
             b"access-control-allow-origin: *\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
JSON_HEAD = (b"HTTP/1.1 200 OK\r\nCache-Control: no-cache\r\naccess-control-allow-origin: *\r\n"
             b"Connection: close\r\nContent-Type: application/json;charset=utf-8\r\n\r\n")


def download(name, data):
    """A file sent as an attachment, in chunks of at most 2000 bytes."""
    chunks = b"".join(b"%x\r\n%s\r\n" % (len(data[i:i + 2000]), data[i:i + 2000])
                      for i in range(0, len(data), 2000))
    return ("HTTP/1.1 200 OK\r\nServer: Apache-Coyote/1.1\r\naccess-control-allow-origin: *\r\n"
            f'Content-Disposition: attachment;filename="{name}"\r\nContent-Type: application/'
            "octet-stream\r\nTransfer-Encoding: chunked\r\n\r\n").encode() + chunks + b"0\r\n\r\n"


def build_dir():
    return Path(os.environ.get("KT_BUILD_DIR") or REPO / "build").resolve()


_started, _sandboxes = [], []  # the safety net for a run that crashed past its cleanups


def _spawn(argv, **kwargs):
    _started.append(subprocess.Popen(argv, **kwargs))
    return _started[-1]


def _terminate(proc, sig, timeout):
    """Signals proc, waits up to timeout, then kills it; its exit status."""
    if proc is not None and proc.poll() is None:
        try:
            proc.send_signal(sig)
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout)
    return None if proc is None else proc.returncode


@atexit.register
def _clean_leftovers():
    for proc in _started:
        _terminate(proc, signal.SIGKILL, STOP_TIMEOUT)
    for sandbox in list(_sandboxes):
        sandbox.cleanup()


def wait_until(predicate, timeout, interval=0.02):
    """Polls until predicate gives something truthy; its last result."""
    deadline = time.monotonic() + timeout
    while not (result := predicate()) and time.monotonic() < deadline:
        time.sleep(interval)
    return result


_given_ports = {0}


def free_port():
    """A port nobody listens on and not handed out before in this run."""
    port = 0
    while port in _given_ports:
        with socket.socket() as s:
            s.bind(("", 0))
            port = s.getsockname()[1]
    _given_ports.add(port)
    return port


def port_open(port):
    with contextlib.suppress(OSError), socket.create_connection((LOCALHOST, port), timeout=0.5):
        return True
    return False


def multipart_body(parts, boundary):
    """parts: (field name, file name or None, content), as str or bytes."""
    b = lambda value: value.encode() if isinstance(value, str) else value  # noqa: E731
    file = b'"; filename="%s"\r\nContent-Type: application/octet-stream'
    return b"".join(b'--%s\r\nContent-Disposition: form-data; name="%s%s\r\n\r\n%s\r\n' % (
        b(boundary), b(name), b'"' if filename is None else file % b(filename), b(content))
        for name, filename, content in parts) + b"--%s--\r\n" % b(boundary)


_pem_cache = []  # one self-signed key per run: RSA key generation is slow
SANDBOX_PATHS = {  # attribute -> place in the device tree
    "tomcat": "home/ubuntu/apache-tomcat-7.0.42", "webroot": "{tomcat}/webapps/ROOT",
    "webrun": "{webroot}/webrun", "classes": "{webroot}/WEB-INF/classes",
    "webconf": "{webrun}/webconf.xml", "log_config": "{webrun}/log4cpp.properties",
    "cert": "{webrun}/server.pem", "log_file": "{tomcat}/log_bak/webserverapp.log",
    "server_properties": "{classes}/server.properties", "zone_dir": "home/ubuntu/zone",
    "reboot_log": "reboot.log", "socket": "run/devlink.sock"}


class Sandbox:
    """A device tree (scripts/make-sandbox.sh); KT_KEEP_SANDBOX=1 keeps it."""
    TOMCAT = SANDBOX_PATHS["tomcat"]

    def __init__(self, http_port=None, https_port=None):
        self.http_port, self.https_port = http_port or free_port(), https_port or free_port()
        self.root, places = Path(tempfile.mkdtemp(prefix="kt-sandbox-")), {}
        _sandboxes.append(self)
        for name, place in SANDBOX_PATHS.items():
            places[name] = place.format(**places)
            setattr(self, name, self.root / places[name])
        if _pem_cache:
            self.webrun.mkdir(parents=True)
            self.cert.write_bytes(_pem_cache[0])
        subprocess.run(["bash", REPO / "scripts/make-sandbox.sh", self.root, str(self.http_port),
                        str(self.https_port)], check=True, capture_output=True, timeout=60)
        _pem_cache[:] = [self.cert.read_bytes()]

    def cleanup(self):
        if self in _sandboxes:
            _sandboxes.remove(self)
            if os.environ.get("KT_KEEP_SANDBOX") == "1":
                print(f"sandbox kept: {self.root}", file=sys.stderr)
            else:
                shutil.rmtree(self.root, ignore_errors=True)


class _Process:
    """A program of the build, its output in files of the sandbox."""
    proc, runs = None, 0
    pid = property(lambda self: self.proc.pid)
    returncode = property(lambda self: None if self.proc is None else self.proc.poll())
    stdout = lambda self: self.stdout_path.read_bytes() if self.proc else b""  # noqa: E731
    stderr = lambda self: self.stderr_path.read_bytes() if self.proc else b""  # noqa: E731

    def running(self):
        return self.proc is not None and self.returncode is None

    def stop(self, sig=signal.SIGTERM, timeout=STOP_TIMEOUT):
        """sig, a bounded wait, SIGKILL as a last resort; the exit status."""
        return _terminate(self.proc, sig, timeout)

    def kill(self):  # as a crash would
        return self.stop(signal.SIGKILL)

    def _run(self, name, args, argv0=None, **kwargs):
        if not os.access(exe := build_dir() / name, os.X_OK):
            raise RuntimeError(f"{exe} is missing; build first (or set KT_BUILD_DIR)")
        # A cross build runs its programs through qemu, whose -0 keeps a chosen argv[0].
        wrapper, args = shlex.split(os.environ.get("KT_RUN_WRAPPER", "")), list(args)
        argv = (wrapper + ["-0", argv0] * bool(argv0) + [str(exe)] if wrapper else
                [argv0 or str(exe)]) + args
        self.runs += 1
        self.stdout_path, self.stderr_path = (self.sandbox.root / f"{name}.{self.runs}.{stream}"
                                              for stream in ("stdout", "stderr"))
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.proc = _spawn(argv, executable=None if wrapper else exe,
                               stdin=subprocess.DEVNULL, stdout=out, stderr=err, **kwargs)
        return self


def unix_socket_states(path):
    """(listening, connected count) from /proc/net/unix: a probe would count."""
    rows = [(int(f[3], 16) & 0x10000, int(f[5], 16)) for f in (  # __SO_ACCEPTCON, its state
        line.split() for line in Path("/proc/net/unix").read_text().splitlines()[1:])
        if f[7:] == [str(path)]]
    return any(a for a, _ in rows), sum(not a and state == 3 for a, state in rows)  # SS_CONNECTED


JournalEntry = collections.namedtuple("JournalEntry", "sn conn_time send_time data")


class Sim(_Process):
    """build/devctl-sim on the sandbox's device-link socket, with its journal."""

    def __init__(self, sandbox):
        self.sandbox, self.socket = sandbox, sandbox.socket
        self.journal_path = sandbox.root / "devctl-journal.txt"

    def start(self, timeout=START_TIMEOUT):
        self._run("devctl-sim", ["--socket", self.socket, "--journal", self.journal_path])
        if not wait_until(lambda: not self.running() or unix_socket_states(self.socket)[0],
                          timeout) or not self.running():
            self.stop()
            raise RuntimeError(f"devctl-sim did not listen on {self.socket}")
        return self

    def connections(self):
        return unix_socket_states(self.socket)[1]

    def wait_for_connections(self, count, timeout=START_TIMEOUT):
        return wait_until(lambda: self.connections() == count, timeout)

    def journal(self):
        """The requests received, oldest first; a carriage return in one is data."""
        raw = self.journal_path.read_bytes() if self.journal_path.exists() else b""
        unescape = {"\\": "\\", "n": "\n", "t": "\t"}
        return [JournalEntry(int(sn), int(conn), int(sent),
                             re.sub(r"\\([\\nt])", lambda m: unescape[m[1]], data))
                for sn, conn, sent, data in (line.split("\t", 3) for line in raw.decode(
                    "utf-8", "surrogateescape").split("\n")[:-1])]


class Server(_Process):
    """build/ktwebserver run in the sandbox root, where CivetWeb's "error.log" would land."""

    def __init__(self, sandbox, args=(), env=None, argv0=None):
        self.sandbox, self.args, self.argv0 = sandbox, [str(a) for a in args], argv0
        # The developer's own shell must not redirect the link elsewhere.
        self.env = {k: v for k, v in os.environ.items() if k != "DEVLINK_SOCKET"}
        self.env.update(DEVICE_ROOT=str(sandbox.root), **(env or {}))

    def start(self):
        self.start_mark = self.log_mark()
        return self._run("ktwebserver", self.args, self.argv0, cwd=self.sandbox.root, env=self.env)

    def wait_exit(self, timeout=START_TIMEOUT):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"still running after {timeout}s\n{self.describe()}") from None

    def log(self, since=0):
        """The log file from position `since` (a log_mark()) on. The one
        "log-writer" thread sleeps only with nothing left to write: once it
        is seen asleep throughout 5 ms, every line logged before is out."""
        # Not started, ended, or no writer yet: nothing is pending.
        with contextlib.suppress(OSError, StopIteration, AttributeError):
            stat = next(t / "stat" for t in Path(f"/proc/{self.pid}/task").iterdir()
                        if (t / "comm").read_text().strip() == "log-writer")
            asleep = lambda: stat.read_text().rsplit(")", 1)[1].split()[0] == "S"  # noqa: E731
            wait_until(lambda: all(asleep() and not time.sleep(0.001) for _ in range(5)), 2, 0.001)
        log = self.sandbox.log_file
        return log.read_text(errors="replace")[since:] if log.exists() else ""

    def log_mark(self):
        return len(self.log())

    def describe(self, tail=6000):
        """What the server said, for failure messages."""
        return "\n".join(f"--- {name}:\n{text[-tail:]}" for name, text in (
            ("exit status", str(self.returncode)), ("log", self.log()),
            ("stdout", self.stdout().decode(errors="replace")),
            ("stderr", self.stderr().decode(errors="replace"))))

    def wait_ready(self, ports, timeout=START_TIMEOUT, logged="listening ports:"):
        """Ports open and the port list logged (the routes follow at once)."""
        if not wait_until(lambda: not self.running() or logged in self.log(self.start_mark) and
                          all(map(port_open, ports)), timeout) or not self.running():
            raise AssertionError(f"not ready on {ports}\n{self.describe()}")
        return self

    def wait_for_port(self, port):  # for a log without INFO lines
        return self.wait_ready([port], logged="")


def stop_all(processes, sig=signal.SIGTERM, timeout=STOP_TIMEOUT):
    """One signal round, then the waits: the library's stop delay is paid once."""
    for p in processes:
        if p.running():
            p.proc.send_signal(sig)
    return [p.stop(sig, timeout) for p in processes]


def connect(port, tls=False, timeout=IO_TIMEOUT, source=None):
    """tls: the sandbox's self-signed certificate is accepted; source: the client's own
    loopback address."""
    sock = socket.create_connection((LOCALHOST, port), timeout, (source, 0) if source else None)
    try:
        return ssl._create_unverified_context().wrap_socket(sock) if tls else sock
    except BaseException:
        sock.close()
        raise


def recv_all(sock, timeout=IO_TIMEOUT):
    """Reads until the peer closes; TimeoutError at the deadline."""
    deadline, data = time.monotonic() + timeout, bytearray()
    while (remaining := deadline - time.monotonic()) > 0:
        sock.settimeout(remaining)
        try:
            chunk = sock.recv(65536)
        except (ssl.SSLZeroReturnError, ConnectionResetError):
            chunk = b""
        if not chunk:
            return bytes(data)
        data += chunk
    raise TimeoutError(f"peer did not close within {timeout}s; got {bytes(data[:200])!r}")


def http_raw(port, request, tls=False, timeout=IO_TIMEOUT):
    """Sends the request bytes as they stand; every byte until the close."""
    with connect(port, tls, timeout) as sock:
        sock.sendall(request.encode("latin-1") if isinstance(request, str) else request)
        return recv_all(sock, timeout)


def build_request(method, path, headers=None, body=b"", port=None):
    """Host and Connection: close unless given; Content-Length for a body."""
    body = body.encode() if isinstance(body, str) else body
    pairs = list(headers.items()) if isinstance(headers, dict) else list(headers or [])
    names = {name.lower() for name, _ in pairs}
    pairs[:0] = [("Host", f"{LOCALHOST}:{port}" if port else LOCALHOST)] * ("host" not in names)
    pairs += [("Connection", "close")] * ("connection" not in names)
    pairs += [("Content-Length", len(body))] * bool(body and "content-length" not in names)
    head = f"{method} {path} HTTP/1.1\r\n" + "".join(f"{n}: {v}\r\n" for n, v in pairs)
    return head.encode("latin-1") + b"\r\n" + body


class Response:
    """A parsed HTTP response; `raw` keeps the exact bytes."""

    def __init__(self, raw):
        self.raw = raw
        self.head, _, rest = raw.partition(b"\r\n\r\n")
        self.status_line, *lines = self.head.decode("latin-1").split("\r\n")
        self.status = int(self.status_line.split(" ")[1])
        self.headers = [(n, v.strip()) for n, _, v in (line.partition(":") for line in lines)]
        self.body = rest
        if (self.header("Transfer-Encoding") or "").lower() == "chunked":
            self.body = b""
            while (size := int(rest.partition(b"\r\n")[0].split(b";")[0], 16)) > 0:
                rest = rest.partition(b"\r\n")[2]
                self.body, rest = self.body + rest[:size], rest[size + 2:]
        elif self.header("Content-Length") is not None:
            self.body = rest[:int(self.header("Content-Length"))]

    def header(self, name):
        return next((v for k, v in self.headers if k.lower() == name.lower()), None)


def http_get(port, path, headers=None, tls=False, timeout=IO_TIMEOUT):
    return Response(http_raw(port, build_request("GET", path, headers, port=port), tls, timeout))


OP_TEXT, OP_BINARY, OP_CLOSE, OP_PING, OP_PONG = 0x1, 0x2, 0x8, 0x9, 0xA


class WebSocketHandshakeError(Exception):
    response_head = property(lambda self: self.args[0])  # the server's answer


class WebSocketClosed(Exception):
    code = property(lambda self: self.args[0] if self.args else None)  # of a close frame


class WebSocket:
    """A minimal RFC 6455 client: handshake, masked frames out, frames in."""

    @classmethod
    def connect(cls, port, path="/websocket", tls=False, timeout=IO_TIMEOUT, headers=None,
                source=None):
        """Upgrades; a "Host" among the headers stands in for the default one."""
        ws, key = cls(), base64.b64encode(os.urandom(16))
        ws.sock, ws._buf = connect(port, tls, timeout, source), bytearray()
        headers = {"Host": f"{LOCALHOST}:{port}", "Upgrade": "websocket",
                   "Connection": "Upgrade", "Sec-WebSocket-Version": "13",
                   "Sec-WebSocket-Key": key.decode(), **(headers or {})}
        accept = base64.b64encode(hashlib.sha1(key + b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11")
                                  .digest())
        try:
            ws.sock.sendall(build_request("GET", path, headers))
            head, deadline = b"", time.monotonic() + timeout
            while not head.endswith(b"\r\n\r\n"):
                head += ws._take(1, deadline, WebSocketHandshakeError(head))
            if not head.startswith(b"HTTP/1.1 101") or accept not in head:
                raise WebSocketHandshakeError(head[:-4])
            return ws
        except BaseException:
            ws.sock.close()
            raise

    def send_frame(self, opcode, payload):
        """One final, masked frame."""
        payload = payload.encode() if isinstance(payload, str) else payload
        n, key = len(payload), os.urandom(4)
        header = (struct.pack("!BB", 0x80 | opcode, 0x80 | n) if n < 126 else
                  struct.pack("!BBH", 0x80 | opcode, 0x80 | 126, n))  # under 64 KiB
        self.sock.sendall(header + key + bytes(b ^ key[i % 4] for i, b in enumerate(payload)))

    def send_text(self, text):
        self.send_frame(OP_TEXT, text)

    def _take(self, n, deadline, closed=None):
        while len(self._buf) < n:
            if deadline <= time.monotonic():
                raise TimeoutError(f"nothing complete in time; got {bytes(self._buf[:200])!r}")
            self.sock.settimeout(deadline - time.monotonic())
            try:
                chunk = self.sock.recv(65536)
            except ConnectionResetError:
                chunk = b""
            if not chunk:
                raise closed or WebSocketClosed()
            self._buf += chunk
        data = bytes(self._buf[:n])
        del self._buf[:n]
        return data

    def recv_message(self, timeout=IO_TIMEOUT):
        """(opcode, payload) of the next data message (servers do not mask), fragments
        joined, pings answered; a close frame raises WebSocketClosed."""
        deadline, opcode, parts = time.monotonic() + timeout, None, []
        while True:
            b0, b1 = self._take(2, deadline)
            length = b1 & 0x7F
            if length >= 126:
                length = int.from_bytes(self._take(2 if length == 126 else 8, deadline), "big")
            payload = self._take(length, deadline)
            if b0 & 0x0F == OP_PING:
                self.send_frame(OP_PONG, payload)
            elif b0 & 0x0F == OP_CLOSE:
                raise WebSocketClosed(int.from_bytes(payload[:2], "big") if payload else None)
            elif b0 & 0x0F != OP_PONG:
                opcode, parts = opcode or b0 & 0x0F, parts + [payload]
                if b0 & 0x80:
                    return opcode, b"".join(parts)

    def recv_text(self, timeout=IO_TIMEOUT):
        return self.recv_message(timeout)[1].decode("utf-8")

    def expect_silence(self, timeout):
        with contextlib.suppress(TimeoutError):
            raise AssertionError(f"unexpected message {self.recv_message(timeout)!r}")

    def wait_closed(self, timeout=IO_TIMEOUT):
        """True when the server ends the connection within timeout."""
        deadline = time.monotonic() + timeout
        try:
            while self.recv_message(max(0.0, deadline - time.monotonic())):
                pass
        except WebSocketClosed:
            return True
        except TimeoutError:
            return False

    def close(self, code=1000, timeout=1.0):
        with contextlib.suppress(OSError):
            self.send_frame(OP_CLOSE, struct.pack("!H", code))
            self.wait_closed(timeout)
        self.sock.close()

    __enter__ = lambda self: self  # noqa: E731
    __exit__ = lambda self, *exc: self.close()  # noqa: E731


Run = collections.namedtuple("Run", "sandbox sim server")


class ServerTestCase(unittest.TestCase):
    """Removes the sandboxes, simulators and servers of a test, whatever its outcome."""

    def make_sandbox(self):
        self.addCleanup((sandbox := Sandbox()).cleanup)
        return sandbox

    def start_sim(self, sandbox):
        self.addCleanup((sim := Sim(sandbox).start()).stop)
        return sim

    def start_server(self, sandbox, *args, argv0=None):
        self.addCleanup((server := Server(sandbox, args, argv0=argv0).start()).stop)
        return server

    @classmethod
    def start_class_runs(cls, setups):
        """For setUpClass: name -> (args, prepare(sandbox) or None) gives name -> Run,
        started side by side and stopped at class end; the caller waits for readiness."""
        runs = {}
        for name, (args, prepare) in setups.items():
            cls.addClassCleanup((sandbox := Sandbox()).cleanup)
            prepare and prepare(sandbox)
            runs[name] = Run(sandbox, Sim(sandbox).start(), Server(sandbox, args).start())
        # Servers first, one signal round: the library's stop delay is paid once.
        cls.addClassCleanup(stop_all, [r.server for r in runs.values()] +
                            [r.sim for r in runs.values()])
        return runs


BOUNDARY = "----kt7MA4YWxkTrZu0gW"
FORM = {"Content-Type": "multipart/form-data; boundary=" + BOUNDARY}


class DeviceCase(ServerTestCase):
    """One Run for the class, with its own command line and server.properties; what
    a test changes in the `restored` folders of the device tree is put back after it."""
    args, properties, restored = (), None, ()

    @classmethod
    def setUpClass(cls):
        prepare = cls.properties and (lambda sb: sb.server_properties.write_bytes(cls.properties))
        cls.rig = cls.start_class_runs({"main": (cls.args, prepare)})["main"]
        cls.sb, cls.port, cls.server = cls.rig.sandbox, cls.rig.sandbox.http_port, cls.rig.server
        cls.server.wait_ready([cls.port])
        cls.rig.sim.wait_for_connections(1)
        cls.saved = Path(tempfile.mkdtemp(prefix="kt-saved-"))
        cls.addClassCleanup(shutil.rmtree, cls.saved)
        for folder in cls.restored:
            shutil.copytree(cls.sb.root / folder, cls.saved / folder)

    def setUp(self):
        self.mark = self.server.log_mark()

    def tearDown(self):
        shutil.copytree(self.saved, self.sb.root, dirs_exist_ok=True)

    def request(self, method, path, body=b"", headers=None, cut=None, timeout=IO_TIMEOUT):
        """The answer, b"" when none came in time; with cut, only that many
        body bytes go, then the client's end of the connection closes."""
        req = build_request(method, path, headers, body, self.port)
        with connect(self.port, timeout=timeout) as sock:
            sock.sendall(req if cut is None else req[:len(req) - len(body) + cut])
            cut is None or sock.shutdown(socket.SHUT_WR)
            try:
                return recv_all(sock, timeout)
            except TimeoutError:
                return b""

    def form(self, path, parts, cut=None):
        return self.request("POST", path, multipart_body(parts, BOUNDARY), FORM, cut)
