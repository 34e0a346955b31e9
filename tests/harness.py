"""Integration test harness: a sandbox device tree on free ports, the
control-service simulator, the server (DEVICE_ROOT = the sandbox), HTTP and
WebSocket clients that keep the exact bytes, and a unittest base that removes
all it started. Standard library only; every wait has a deadline."""

import atexit, base64, collections, hashlib, os, re, shlex, shutil, signal  # noqa: E401
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


def build_dir():
    return Path(os.environ.get("KT_BUILD_DIR") or REPO / "build").resolve()


def binary(name):
    if os.access(build_dir() / name, os.X_OK):
        return build_dir() / name
    raise RuntimeError(f"{build_dir() / name} is missing; build first (or set KT_BUILD_DIR)")


def program_argv(exe, args=(), argv0=None):
    """(argv, executable) for Popen: a cross build runs its programs through
    $KT_RUN_WRAPPER (qemu, whose -0 keeps a chosen argv[0])."""
    wrapper = shlex.split(os.environ.get("KT_RUN_WRAPPER", ""))
    if not wrapper:
        return [argv0 or str(exe)] + list(args), str(exe)
    return wrapper + (["-0", argv0] if argv0 else []) + [str(exe)] + list(args), None


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


def port_open(port, host=LOCALHOST):
    try:
        socket.create_connection((host, port), timeout=0.5).close()
        return True
    except OSError:
        return False


def multipart_body(parts, boundary):
    """parts: (field name, file name or None, content), as str or bytes."""
    def b(value):
        return value.encode() if isinstance(value, str) else value
    body = b""
    for name, filename, content in parts:
        body += b"--" + b(boundary) + b'\r\nContent-Disposition: form-data; name="' + b(name) + b'"'
        if filename is not None:
            body += b'; filename="' + b(filename) + b'"\r\nContent-Type: application/octet-stream'
        body += b"\r\n\r\n" + b(content) + b"\r\n"
    return body + b"--" + b(boundary) + b"--\r\n"


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

    def log_text(self):
        return self.log_file.read_text(errors="replace") if self.log_file.exists() else ""


class _Process:
    """A program of the build, its output in files of the sandbox."""
    proc, runs = None, 0
    pid = property(lambda self: self.proc.pid)
    returncode = property(lambda self: None if self.proc is None else self.proc.poll())

    def running(self):
        return self.proc is not None and self.returncode is None

    def stop(self, sig=signal.SIGTERM, timeout=STOP_TIMEOUT):
        """sig, a bounded wait, SIGKILL as a last resort; the exit status."""
        return _terminate(self.proc, sig, timeout)

    def kill(self):  # as a crash would
        return self.stop(signal.SIGKILL)

    def _run(self, exe, args, argv0=None, **kwargs):
        self.runs += 1
        self.stdout_path, self.stderr_path = (self.sandbox.root / f"{exe}.{self.runs}.{stream}"
                                              for stream in ("stdout", "stderr"))
        argv, exe = program_argv(binary(exe), args, argv0)
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.proc = _spawn(argv, executable=exe, stdin=subprocess.DEVNULL, stdout=out,
                               stderr=err, **kwargs)
        return self

    def stdout(self):
        return self.stdout_path.read_bytes() if self.proc else b""

    def stderr(self):
        return self.stderr_path.read_bytes() if self.proc else b""


def unix_socket_states(path):
    """(listening, connected count) of a Unix socket, from /proc/net/unix: a
    probe connection would count as a connection."""
    listening, connected = False, 0
    with open("/proc/net/unix") as f:
        for fields in (line.split(None, 7) for line in list(f)[1:]):
            if len(fields) == 8 and fields[7].rstrip("\n") == str(path):
                accepting = int(fields[3], 16) & 0x10000  # __SO_ACCEPTCON
                listening |= bool(accepting)
                connected += not accepting and int(fields[5], 16) == 3  # SS_CONNECTED
    return listening, connected


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
        """The requests received, oldest first. Bytes: a carriage return in a
        command is data, not a line end; the last line may be unfinished."""
        raw = self.journal_path.read_bytes() if self.journal_path.exists() else b""
        unescape = {"\\": "\\", "n": "\n", "t": "\t"}
        return [JournalEntry(int(sn), int(conn), int(sent),
                             re.sub(r"\\([\\nt])", lambda m: unescape[m[1]], data))
                for sn, conn, sent, data in (line.split("\t", 3) for line in raw.decode(
                    "utf-8", "surrogateescape").split("\n")[:-1])]


class Server(_Process):
    """build/ktwebserver run in the sandbox root, where the library's
    relative "error.log" would land."""

    def __init__(self, sandbox, args=(), env=None, argv0=None):
        self.sandbox, self.args, self.argv0 = sandbox, [str(a) for a in args], argv0
        self.cwd, self.start_mark = sandbox.root, 0
        # The developer's own shell must not redirect the link elsewhere.
        self.env = {k: v for k, v in os.environ.items() if k != "DEVLINK_SOCKET"}
        self.env.update(DEVICE_ROOT=str(sandbox.root), **(env or {}))

    def start(self):
        self.start_mark = self.log_mark()
        return self._run("ktwebserver", self.args, self.argv0, cwd=self.cwd, env=self.env)

    def wait_exit(self, timeout=START_TIMEOUT):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"still running after {timeout}s\n{self.describe()}") from None

    def log(self, since=0):
        """The log file from position `since` (a log_mark()) on. The one
        "log-writer" thread sleeps only with nothing left to write: once it
        is seen asleep throughout 5 ms, every line logged before is out."""
        try:
            stat = next(t / "stat" for t in Path(f"/proc/{self.pid}/task").iterdir()
                        if (t / "comm").read_text().strip() == "log-writer")
            deadline, asleep_since = time.monotonic() + 2, None
            while (now := time.monotonic()) < deadline and now - (asleep_since or now) < 0.005:
                asleep = stat.read_text().rsplit(")", 1)[1].split()[0] == "S"
                asleep_since = (asleep_since or now) if asleep else None
                time.sleep(0.001)
        except (OSError, StopIteration, AttributeError):
            pass  # not started, ended, or no writer yet: nothing is pending
        return self.sandbox.log_text()[since:]

    def log_mark(self):
        return len(self.log())

    def describe(self, tail=6000):
        """What the server said, for failure messages."""
        return "\n".join(f"--- {name}:\n{text[-tail:]}" for name, text in (
            ("exit status", str(self.returncode)), ("log", self.log()),
            ("stdout", self.stdout().decode(errors="replace")),
            ("stderr", self.stderr().decode(errors="replace"))))

    def wait_for_port(self, port, timeout=START_TIMEOUT):
        if wait_until(lambda: port_open(port) or (not self.running() and "ended"),
                      timeout) is not True:
            raise AssertionError(f"port {port} never opened\n{self.describe()}")

    def wait_ready(self, ports, timeout=START_TIMEOUT):
        """Ports open and the port list logged (the routes follow at once)."""
        for port in ports:
            self.wait_for_port(port, timeout)
        if not wait_until(lambda: "listening ports:" in self.log(self.start_mark) or
                          not self.running(), timeout) or not self.running():
            raise AssertionError(f"the port list was never logged\n{self.describe()}")
        return self


def stop_all(processes, sig=signal.SIGTERM, timeout=STOP_TIMEOUT):
    """One signal round, then the waits: the library's stop delay is paid once."""
    for p in processes:
        if p.running():
            p.proc.send_signal(sig)
    return [p.stop(sig, timeout) for p in processes]


def client_tls_context(minimum=None, maximum=None, ciphers=None):
    """Accepts the sandbox's self-signed certificate; versions: ssl.TLSVersion."""
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname, ctx.verify_mode = False, ssl.CERT_NONE
    ctx.minimum_version = minimum or ctx.minimum_version
    ctx.maximum_version = maximum or ctx.maximum_version
    ctx.set_ciphers(ciphers or "DEFAULT")
    return ctx


def connect(port, tls=False, tls_context=None, timeout=IO_TIMEOUT, source=None):
    """source: the client's own address on the loopback network."""
    sock = socket.create_connection((LOCALHOST, port), timeout, (source, 0) if source else None)
    try:
        return (tls_context or client_tls_context()).wrap_socket(sock) if tls or tls_context \
            else sock
    except BaseException:
        sock.close()
        raise


def tls_handshake(port, **context_args):
    """(protocol version, cipher name); raises when the server refuses."""
    with connect(port, tls_context=client_tls_context(**context_args)) as sock:
        return sock.version(), sock.cipher()[0]


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


def http_raw(port, request, tls=False, tls_context=None, timeout=IO_TIMEOUT):
    """Sends the request bytes as they stand; every byte until the close."""
    with connect(port, tls, tls_context, timeout) as sock:
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
        self.head, sep, rest = raw.partition(b"\r\n\r\n")
        if not sep:
            raise ValueError(f"no end of headers in {raw[:200]!r}")
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
    return Response(http_raw(port, build_request("GET", path, headers, port=port), tls=tls,
                             timeout=timeout))


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
        ws.sock, ws._buf = connect(port, tls, timeout=timeout, source=source), bytearray()
        try:
            headers = {"Host": f"{LOCALHOST}:{port}", "Upgrade": "websocket",
                       "Connection": "Upgrade", "Sec-WebSocket-Version": "13",
                       "Sec-WebSocket-Key": key.decode(), **(headers or {})}
            ws.sock.sendall(f"GET {path} HTTP/1.1\r\n".encode() + "".join(
                f"{n}: {v}\r\n" for n, v in headers.items()).encode("latin-1") + b"\r\n")
            deadline = time.monotonic() + timeout
            while b"\r\n\r\n" not in ws._buf:
                ws._fill(deadline, WebSocketHandshakeError(bytes(ws._buf)))
            head, _, rest = bytes(ws._buf).partition(b"\r\n\r\n")
            accept = base64.b64encode(hashlib.sha1(key + b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11")
                                      .digest())
            if not head.startswith(b"HTTP/1.1 101") or accept not in head:
                raise WebSocketHandshakeError(head)
            ws._buf = bytearray(rest)
            return ws
        except BaseException:
            ws.sock.close()
            raise

    def send_frame(self, opcode, payload, fin=True, mask=True):
        payload = payload.encode() if isinstance(payload, str) else payload
        first, n, bit = (0x80 if fin else 0) | opcode, len(payload), 0x80 if mask else 0
        header = (struct.pack("!BB", first, bit | n) if n < 126 else
                  struct.pack("!BBH", first, bit | 126, n) if n < 65536 else
                  struct.pack("!BBQ", first, bit | 127, n))
        key = os.urandom(4) if mask else b""
        self.sock.sendall(header + key + (bytes(b ^ key[i % 4] for i, b in enumerate(payload))
                                          if mask else payload))

    def send_text(self, text):
        self.send_frame(OP_TEXT, text)

    def _fill(self, deadline, closed=None):
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

    def _take(self, n, deadline):
        while len(self._buf) < n:
            self._fill(deadline)
        data = bytes(self._buf[:n])
        del self._buf[:n]
        return data

    def recv_message(self, timeout=IO_TIMEOUT):
        """(opcode, payload) of the next data message, fragments joined,
        pings answered; a close frame raises WebSocketClosed."""
        deadline, opcode, parts = time.monotonic() + timeout, None, []
        while True:
            b0, b1 = self._take(2, deadline)
            length = b1 & 0x7F
            if length >= 126:
                length = int.from_bytes(self._take(2 if length == 126 else 8, deadline), "big")
            key = self._take(4, deadline) if b1 & 0x80 else None
            payload = self._take(length, deadline)
            payload = bytes(b ^ key[i % 4] for i, b in enumerate(payload)) if key else payload
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
        try:
            message = self.recv_message(timeout)
        except TimeoutError:
            return
        raise AssertionError(f"unexpected message {message!r}")

    def wait_closed(self, timeout=IO_TIMEOUT):
        """True when the server ends the connection within timeout."""
        deadline = time.monotonic() + timeout
        try:
            while True:
                self.recv_message(max(0.0, deadline - time.monotonic()))
        except WebSocketClosed:
            return True
        except TimeoutError:
            return False

    def close(self, code=1000, timeout=1.0):
        try:
            self.send_frame(OP_CLOSE, struct.pack("!H", code))
            self.wait_closed(timeout)
        except OSError:
            pass
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


Run = collections.namedtuple("Run", "sandbox sim server")


class ServerTestCase(unittest.TestCase):
    """Owns the sandboxes, simulators and servers of a test and removes them
    when it ends, whatever its outcome."""

    def make_sandbox(self, **ports):
        sandbox = Sandbox(**ports)
        self.addCleanup(sandbox.cleanup)
        return sandbox

    def start_sim(self, sandbox, **kwargs):
        sim = Sim(sandbox, **kwargs).start()
        self.addCleanup(sim.stop)
        return sim

    def start_server(self, sandbox, *args, env=None, argv0=None):
        server = Server(sandbox, args, env=env, argv0=argv0).start()
        self.addCleanup(server.stop)
        return server

    def start_ready_server(self, sandbox, *args, ports=None, env=None):
        return self.start_server(sandbox, *args, env=env).wait_ready(ports or [sandbox.http_port])

    def run_to_exit(self, sandbox, *args, env=None, argv0=None, timeout=START_TIMEOUT):
        server = self.start_server(sandbox, *args, env=env, argv0=argv0)
        server.wait_exit(timeout)
        return server

    @classmethod
    def start_class_runs(cls, setups):
        """For setUpClass: name -> (args, prepare(sandbox) or None). A sandbox,
        simulator and server per entry, side by side, stopped at class end;
        name -> Run. Waiting for readiness is the caller's."""
        processes, sandboxes, runs = [], [], {}

        def cleanup():
            stop_all(processes)
            for sandbox in sandboxes:
                sandbox.cleanup()
        cls.addClassCleanup(cleanup)
        for name, (args, prepare) in setups.items():
            sandboxes.append(Sandbox())
            if prepare is not None:
                prepare(sandboxes[-1])
            runs[name] = Run(sandboxes[-1], Sim(sandboxes[-1]).start(),
                             Server(sandboxes[-1], args).start())
            processes[:0], processes[len(processes):] = [runs[name].server], [runs[name].sim]
        return runs


BOUNDARY = "----kt7MA4YWxkTrZu0gW"
FORM = {"Content-Type": "multipart/form-data; boundary=" + BOUNDARY}


class DeviceCase(ServerTestCase):
    """One sandbox, simulator and server for the whole class, which may get
    its own command line and server.properties. What a test changes of the
    `restored` folders of the device tree is put back after it."""
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
