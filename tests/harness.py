"""Integration test harness for ktwebserver.

Every integration test file builds on this module:

- Sandbox: a throw-away device tree (scripts/make-sandbox.sh) on free ports,
  with helpers to rewrite the web configuration.
- Sim: build/devctl-sim on the sandbox's device-link socket, with its journal.
- Server: build/ktwebserver run with DEVICE_ROOT set to the sandbox, its
  output captured to files, waits on ports and log lines, bounded stop.
- HTTP helpers that return the exact bytes on the wire, over TCP or TLS.
- WebSocket: a minimal RFC 6455 client for the relay tests.
- ServerTestCase: unittest base class that owns all of the above and
  cleans up every process and folder, also when a test fails.

Only the standard library is used. Every wait has a deadline; all network
traffic goes to 127.0.0.1.
"""

import atexit
import base64
import collections
import hashlib
import os
import re
import shlex
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import xml.etree.ElementTree as ET
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
LOCALHOST = "127.0.0.1"

# Generous bounds for a loaded CI machine; a healthy server needs a fraction.
START_TIMEOUT = 10.0
STOP_TIMEOUT = 5.0
IO_TIMEOUT = 5.0
POLL_INTERVAL = 0.02
WORKERS = 50  # CivetWeb's default num_threads, which the server keeps


def build_dir():
    """Folder holding the built binaries: $KT_BUILD_DIR, else <repo>/build."""
    return Path(os.environ.get("KT_BUILD_DIR") or REPO / "build").resolve()


def binary(name):
    path = build_dir() / name
    if not os.access(path, os.X_OK):
        raise RuntimeError(f"{path} is missing; build the project first "
                           f"(or set KT_BUILD_DIR)")
    return path


def server_binary():
    return binary("ktwebserver")


def run_wrapper():
    """The emulator that runs the build's programs: $KT_RUN_WRAPPER (a
    qemu user-mode emulator for a cross build, where the machine cannot
    start a target program by itself), else nothing."""
    return shlex.split(os.environ.get("KT_RUN_WRAPPER", ""))


def program_argv(exe, args=(), argv0=None):
    """(argv, executable) for Popen to run the build program exe with args,
    through the run wrapper when there is one. argv0 is what the program
    sees as its name (default: its path)."""
    wrapper = run_wrapper()
    if not wrapper:
        return [argv0 or str(exe)] + list(args), str(exe)
    # qemu's -0 keeps a chosen argv[0]; a wrapper script would lose it.
    return wrapper + (["-0", argv0] if argv0 else []) + [str(exe)] + list(args), None


def sim_binary():
    return binary("devctl-sim")


# ---------------------------------------------------------------------------
# Processes
# ---------------------------------------------------------------------------

_started = []  # every process the harness started, for the safety net below
_sandboxes = []  # sandbox folders not yet removed


def _spawn(argv, **kwargs):
    proc = subprocess.Popen(argv, **kwargs)
    _started.append(proc)
    return proc


@atexit.register
def _clean_leftovers():
    # Tests stop and remove what they start; this only catches a run that
    # crashed past its cleanups.
    for proc in _started:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    for sandbox in list(_sandboxes):
        sandbox.cleanup()


def _terminate(proc, sig, timeout):
    """Signals proc and waits up to timeout; SIGKILL when it does not end.
    Returns the exit status (None when it never ran)."""
    if proc is None:
        return None
    if proc.poll() is None:
        try:
            proc.send_signal(sig)
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout)
    return proc.returncode


# ---------------------------------------------------------------------------
# Waiting
# ---------------------------------------------------------------------------

def wait_until(predicate, timeout, interval=POLL_INTERVAL):
    """Polls predicate until it returns something truthy or the deadline
    passes. Returns the last result (falsy on timeout)."""
    deadline = time.monotonic() + timeout
    while True:
        result = predicate()
        if result or time.monotonic() >= deadline:
            return result
        time.sleep(interval)


_given_ports = set()


def free_port():
    """A TCP port nobody listens on right now and not handed out before in
    this run (servers of one test run side by side). The server binds all
    interfaces, so the probe does too; it sends nothing."""
    for _ in range(100):
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            s.bind(("", 0))
            port = s.getsockname()[1]
        if port not in _given_ports:
            _given_ports.add(port)
            return port
    raise RuntimeError("no free port found")


def free_ports(count):
    ports = set()
    while len(ports) < count:
        ports.add(free_port())
    return sorted(ports)


def port_open(port, host=LOCALHOST):
    try:
        with socket.create_connection((host, port), timeout=0.5):
            return True
    except OSError:
        return False


def occupy_port(port):
    """Listens on port (all interfaces), so a server start on it fails.
    Returns the socket; close it to free the port."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind(("", port))
    s.listen(1)
    return s


# ---------------------------------------------------------------------------
# Sandbox device tree
# ---------------------------------------------------------------------------

_pem_cache = None  # one self-signed key per test run: RSA key generation is slow




# Fixed answers of the server that several test files compare byte for byte.
OK_RSP = (b"HTTP/1.1 200 OK\r\nServer: Apache-Coyote/1.1\r\naccess-control-allow-origin: *\r\n"
          b"Content-Length: 0\r\n\r\n")
ERROR_RSP = (b"HTTP/1.1 500 Internal Server Error\r\nServer: Apache-Coyote/1.1\r\n"
             b"access-control-allow-origin: *\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
JSON_HEAD = (b"HTTP/1.1 200 OK\r\nCache-Control: no-cache\r\naccess-control-allow-origin: *\r\n"
             b"Connection: close\r\nContent-Type: application/json;charset=utf-8\r\n\r\n")

def multipart_body(parts, boundary):
    """Body of a multipart/form-data post. parts: (field name, file name or
    None for a plain value, content); names and content as str or bytes."""
    def as_bytes(value):
        return value.encode() if isinstance(value, str) else value
    mark = b"--" + as_bytes(boundary)
    body = b""
    for name, filename, content in parts:
        body += mark + b'\r\nContent-Disposition: form-data; name="' + as_bytes(name) + b'"'
        if filename is not None:
            body += b'; filename="' + as_bytes(filename) + b'"'
        body += b"\r\n"
        if filename is not None:
            body += b"Content-Type: application/octet-stream\r\n"
        body += b"\r\n" + as_bytes(content) + b"\r\n"
    return body + mark + b"--\r\n"


class Sandbox:
    """A device tree in a temporary folder, built by scripts/make-sandbox.sh.

    The server sees it through DEVICE_ROOT; every fixed device path resolves
    under `root`. With KT_KEEP_SANDBOX=1 in the environment the folder is
    kept for a post-mortem and its path printed on standard error.
    """

    TOMCAT = "home/ubuntu/apache-tomcat-7.0.42"

    def __init__(self, http_port=None, https_port=None):
        global _pem_cache
        if http_port is None or https_port is None:
            ports = free_ports(2)
            http_port = http_port or ports[0]
            https_port = https_port or ports[1]
        self.http_port = http_port
        self.https_port = https_port
        self.root = Path(tempfile.mkdtemp(prefix="kt-sandbox-"))
        _sandboxes.append(self)
        self.tomcat = self.root / self.TOMCAT
        self.webroot = self.tomcat / "webapps/ROOT"
        self.webrun = self.webroot / "webrun"
        self.classes = self.webroot / "WEB-INF/classes"
        self.webconf = self.webrun / "webconf.xml"
        self.log_config = self.webrun / "log4cpp.properties"
        self.cert = self.webrun / "server.pem"
        self.log_file = self.tomcat / "log_bak/webserverapp.log"
        self.server_properties = self.classes / "server.properties"
        self.zone_dir = self.root / "home/ubuntu/zone"
        self.reboot_log = self.root / "reboot.log"
        self.socket = self.root / "run/devlink.sock"

        if _pem_cache is not None:
            self.webrun.mkdir(parents=True)
            self.cert.write_bytes(_pem_cache)
        subprocess.run(["bash", str(REPO / "scripts/make-sandbox.sh"), str(self.root),
                        str(http_port), str(https_port)],
                       check=True, capture_output=True, timeout=60)
        if _pem_cache is None:
            _pem_cache = self.cert.read_bytes()

    def path(self, device_path):
        """Sandbox location of an absolute device path."""
        return self.root / str(device_path).lstrip("/")

    def cleanup(self):
        if self in _sandboxes:
            _sandboxes.remove(self)
        if os.environ.get("KT_KEEP_SANDBOX") == "1":
            print(f"sandbox kept: {self.root}", file=sys.stderr)
            return
        shutil.rmtree(self.root, ignore_errors=True)

    # -- web configuration -------------------------------------------------

    def _webconf_tree(self):
        return ET.parse(self.webconf)

    def _webconf_param(self, tree, key):
        for param in tree.getroot().iter("PARAM"):
            if param.get("NAME") == key:
                return param
        return None

    def webconf_set(self, key, value):
        """Sets key in section webconfig, adding it when absent."""
        tree = self._webconf_tree()
        param = self._webconf_param(tree, key)
        if param is None:
            section = tree.getroot().find("webconfig")
            param = ET.SubElement(section, "PARAM", {"NAME": key, "TYPE": "string"})
        param.text = value
        tree.write(self.webconf, encoding="UTF-8", xml_declaration=True)

    def webconf_remove(self, key):
        tree = self._webconf_tree()
        param = self._webconf_param(tree, key)
        if param is None:
            raise KeyError(key)
        section = tree.getroot().find("webconfig")
        section.remove(param)
        tree.write(self.webconf, encoding="UTF-8", xml_declaration=True)

    def webconf_write(self, params, section="webconfig"):
        """Replaces the whole file: params is a sequence of (key, value)."""
        lines = ['<?xml version="1.0" encoding="UTF-8"?>', "<CONFIGURATION>",
                 f"  <{section}>"]
        for key, value in params:
            param = ET.Element("PARAM", {"NAME": key, "TYPE": "string"})
            param.text = value
            lines.append("    " + ET.tostring(param, encoding="unicode"))
        lines += [f"  </{section}>", "</CONFIGURATION>", ""]
        self.webconf.write_text("\n".join(lines), encoding="utf-8")

    def webconf_params(self):
        """The (key, value) pairs of section webconfig, in file order."""
        section = self._webconf_tree().getroot().find("webconfig")
        return [(p.get("NAME"), p.text or "") for p in section.iter("PARAM")]

    def log_text(self):
        try:
            return self.log_file.read_text(errors="replace")
        except FileNotFoundError:
            return ""


# ---------------------------------------------------------------------------
# Control service simulator
# ---------------------------------------------------------------------------

JournalEntry = collections.namedtuple("JournalEntry", "sn conn_time send_time data")

_JOURNAL_ESCAPES = {"\\": "\\", "n": "\n", "t": "\t"}


def _journal_unescape(text):
    out = []
    i = 0
    while i < len(text):
        ch = text[i]
        if ch == "\\" and i + 1 < len(text) and text[i + 1] in _JOURNAL_ESCAPES:
            out.append(_JOURNAL_ESCAPES[text[i + 1]])
            i += 2
        else:
            out.append(ch)
            i += 1
    return "".join(out)


def unix_socket_entries(path):
    """(flags, state) of every socket bound to the Unix socket path, from
    /proc/net/unix. Sockets accepted on a listening socket carry its path."""
    target = str(path)
    entries = []
    with open("/proc/net/unix") as f:
        next(f)
        for line in f:
            fields = line.split(None, 7)
            if len(fields) == 8 and fields[7].rstrip("\n") == target:
                entries.append((int(fields[3], 16), int(fields[5], 16)))
    return entries


_SO_ACCEPTCON = 0x10000
_SS_CONNECTED = 3


def unix_socket_listening(path):
    return any(flags & _SO_ACCEPTCON for flags, _ in unix_socket_entries(path))


def unix_socket_connections(path):
    """Open connections accepted on the Unix socket listening at path."""
    return sum(1 for flags, state in unix_socket_entries(path)
               if not flags & _SO_ACCEPTCON and state == _SS_CONNECTED)


class Sim:
    """build/devctl-sim on the sandbox's device-link socket."""

    def __init__(self, sandbox, socket_path=None, journal=None):
        self.sandbox = sandbox
        self.socket = Path(socket_path or sandbox.socket)
        self.journal_path = Path(journal or sandbox.root / "devctl-journal.txt")
        self.proc = None
        self._out = None
        self._starts = 0

    def start(self, timeout=START_TIMEOUT):
        if self.proc is not None and self.proc.poll() is None:
            raise RuntimeError("simulator already running")
        self._starts += 1
        self._close_output()
        self._out = open(self.sandbox.root / f"devctl-sim.{self._starts}.out", "wb")
        argv, exe = program_argv(sim_binary(), ["--socket", str(self.socket), "--journal",
                                                str(self.journal_path)])
        self.proc = _spawn(
            argv, executable=exe,
            stdin=subprocess.DEVNULL, stdout=self._out, stderr=subprocess.STDOUT)
        if not wait_until(self._accepting, timeout):
            self.stop()
            raise RuntimeError(f"devctl-sim did not listen on {self.socket}")
        return self

    def _accepting(self):
        # Looked up rather than probed: a probe connection would show up in
        # connections() until the simulator notices it closed.
        if self.proc.poll() is not None:
            raise RuntimeError(f"devctl-sim exited with {self.proc.returncode}")
        return unix_socket_listening(self.socket)

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def stop(self, timeout=STOP_TIMEOUT):
        """SIGTERM, bounded wait, SIGKILL as a last resort. Returns the exit
        status (None when it never ran)."""
        rc = _terminate(self.proc, signal.SIGTERM, timeout)
        self._close_output()
        return rc

    def kill(self):
        """Ends the simulator abruptly, as a crash of the service would."""
        rc = _terminate(self.proc, signal.SIGKILL, STOP_TIMEOUT)
        self._close_output()
        return rc

    def _close_output(self):
        if self._out is not None:
            self._out.close()
            self._out = None

    def connections(self):
        """How many device links are connected to the simulator right now."""
        return unix_socket_connections(self.socket)

    def wait_for_connections(self, count, timeout=START_TIMEOUT):
        return wait_until(lambda: self.connections() == count, timeout)

    def journal(self):
        """The requests the simulator received, oldest first."""
        try:
            # Bytes, not text mode: a carriage return inside a command is
            # data, not a line end.
            raw = self.journal_path.read_bytes().decode("utf-8", "surrogateescape")
        except FileNotFoundError:
            return []
        entries = []
        for line in raw.split("\n")[:-1]:  # a line still being written has no end yet
            sn, conn_time, send_time, data = line.split("\t", 3)
            entries.append(JournalEntry(int(sn), int(conn_time), int(send_time),
                                        _journal_unescape(data)))
        return entries

    def wait_for_journal(self, predicate, timeout=IO_TIMEOUT):
        """First journal entry for which predicate holds, None on timeout."""
        def find():
            for entry in self.journal():
                if predicate(entry):
                    return entry
            return None
        return wait_until(find, timeout)


# ---------------------------------------------------------------------------
# The server under test
# ---------------------------------------------------------------------------

class Server:
    """build/ktwebserver with DEVICE_ROOT set to the sandbox.

    Runs in the sandbox root (the server library's relative "error.log"
    would land there), standard output and error go to files.
    """

    def __init__(self, sandbox, args=(), env=None, argv0=None):
        self.sandbox = sandbox
        self.args = [str(a) for a in args]
        self.argv0 = argv0
        self.env = dict(os.environ)
        # The developer's own shell must not redirect the link elsewhere.
        self.env.pop("DEVLINK_SOCKET", None)
        self.env["DEVICE_ROOT"] = str(sandbox.root)
        self.env.update(env or {})
        self.cwd = sandbox.root
        self.proc = None
        self._runs = 0
        self.start_mark = 0  # log position when this run started
        self.stdout_path = None
        self.stderr_path = None

    def start(self):
        self._runs += 1
        self.stdout_path = self.sandbox.root / f"ktwebserver.{self._runs}.stdout"
        self.stderr_path = self.sandbox.root / f"ktwebserver.{self._runs}.stderr"
        argv, exe = program_argv(server_binary(), self.args, self.argv0)
        self.start_mark = self.log_mark()
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.proc = _spawn(argv, executable=exe,
                               cwd=self.cwd, env=self.env,
                               stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        return self

    @property
    def pid(self):
        return self.proc.pid

    @property
    def returncode(self):
        return None if self.proc is None else self.proc.poll()

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def wait_exit(self, timeout=START_TIMEOUT):
        """Exit status of a server expected to end by itself."""
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(
                f"ktwebserver still running after {timeout}s\n{self.describe()}") from None

    def stop(self, sig=signal.SIGTERM, timeout=STOP_TIMEOUT):
        """Sends sig and waits; SIGKILL when it does not end in time.
        Returns the exit status."""
        return _terminate(self.proc, sig, timeout)

    # -- output ------------------------------------------------------------

    def stdout(self):
        return self.stdout_path.read_bytes() if self.stdout_path else b""

    def stderr(self):
        return self.stderr_path.read_bytes() if self.stderr_path else b""

    def log(self, since=0):
        """The log file written through the logging configuration, from
        the position `since` (a log_mark()) on."""
        self._log_written()
        return self.sandbox.log_text()[since:]

    def log_mark(self):
        """Position of the log's end, to look only at what follows."""
        self._log_written()
        return len(self.sandbox.log_text())

    def _log_written(self, timeout=2.0):
        """Waits until every line the server has logged so far is in the
        file. The server's threads queue their lines and one thread
        ("log-writer") writes them: a queued line wakes it, it gathers for
        at most half a millisecond, writes, and sleeps again only with
        nothing left to write. So once it is seen sleeping throughout 5 ms,
        every line logged before (such as the lines of a request whose
        answer the test holds) is written."""
        if not self.running():
            return
        task = Path(f"/proc/{self.pid}/task")
        try:
            writer = next((t for t in task.iterdir()
                           if (t / "comm").read_text().strip() == "log-writer"), None)
        except OSError:
            return
        if writer is None:
            return
        deadline = time.monotonic() + timeout
        asleep_since = None
        while time.monotonic() < deadline:
            try:
                state = (writer / "stat").read_text().rsplit(")", 1)[1].split()[0]
            except OSError:
                return
            now = time.monotonic()
            if state != "S":
                asleep_since = None
            elif asleep_since is None:
                asleep_since = now
            elif now - asleep_since >= 0.005:
                return
            time.sleep(0.001)

    def describe(self, tail=6000):
        """What the server said (the last `tail` characters of each
        stream), for failure messages."""
        def last(text):
            return text if len(text) <= tail else "[...]" + text[-tail:]
        return (f"--- exit status: {self.returncode}\n"
                f"--- stdout:\n{last(self.stdout().decode(errors='replace'))}\n"
                f"--- stderr:\n{last(self.stderr().decode(errors='replace'))}\n"
                f"--- log:\n{last(self.log())}")

    # -- waiting -----------------------------------------------------------

    def wait_for_log(self, pattern, timeout=START_TIMEOUT, since=0):
        """Waits until the log file (from `since` on) holds a match of the
        regex pattern (multi-line mode) and returns the match. Gives up
        early when the server has ended without writing it."""
        regex = re.compile(pattern, re.M)

        def probe():
            ended = not self.running()
            m = regex.search(self.log(since))
            return m or (ended and "ended")
        m = wait_until(probe, timeout)
        if not m or m == "ended":
            raise AssertionError(f"log never matched {pattern!r}\n{self.describe()}")
        return m

    def wait_for_port(self, port, timeout=START_TIMEOUT):
        def probe():
            if not self.running():
                return "ended"
            return port_open(port)
        result = wait_until(probe, timeout)
        if result is not True:
            raise AssertionError(f"port {port} never opened\n{self.describe()}")

    def wait_ready(self, ports, timeout=START_TIMEOUT):
        """Waits until the ports accept connections and the port list is
        logged. Route registration follows at once and logs nothing when
        every row is set, so a request may in theory still meet the
        library's own handling for a moment."""
        for port in ports:
            self.wait_for_port(port, timeout)
        self.wait_for_log(r"Rezudezi : \d+ listening ports:", timeout, since=self.start_mark)
        return self


def stop_all(processes, sig=signal.SIGTERM, timeout=STOP_TIMEOUT):
    """Stops Servers and Sims together: one signal round, then the waits,
    so the server library's stop delay is paid once rather than per server.
    Returns the exit statuses in order."""
    for p in processes:
        if p.proc is not None and p.proc.poll() is None:
            p.proc.send_signal(sig)
    return [p.stop(sig, timeout) if isinstance(p, Server) else p.stop(timeout)
            for p in processes]


# ---------------------------------------------------------------------------
# HTTP
# ---------------------------------------------------------------------------

def client_tls_context(minimum=None, maximum=None, ciphers=None):
    """A TLS client context that accepts the sandbox's self-signed
    certificate. minimum/maximum are ssl.TLSVersion values."""
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    if minimum is not None:
        ctx.minimum_version = minimum
    if maximum is not None:
        ctx.maximum_version = maximum
    if ciphers is not None:
        ctx.set_ciphers(ciphers)
    return ctx


def connect(port, tls=False, tls_context=None, timeout=IO_TIMEOUT):
    """A connected socket to 127.0.0.1:port, TLS-wrapped on request."""
    sock = socket.create_connection((LOCALHOST, port), timeout=timeout)
    if tls or tls_context is not None:
        try:
            sock = (tls_context or client_tls_context()).wrap_socket(sock)
        except BaseException:
            sock.close()
            raise
    return sock


def tls_handshake(port, **context_args):
    """Handshakes and returns (protocol version, cipher name); raises
    ssl.SSLError or OSError when the server refuses."""
    with connect(port, tls_context=client_tls_context(**context_args)) as sock:
        return sock.version(), sock.cipher()[0]


def recv_all(sock, timeout=IO_TIMEOUT, limit=64 * 1024 * 1024):
    """Reads until the peer closes; raises on timeout."""
    deadline = time.monotonic() + timeout
    chunks = []
    size = 0
    while True:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise TimeoutError(f"peer did not close within {timeout}s; got "
                               f"{b''.join(chunks)[:200]!r}")
        sock.settimeout(remaining)
        try:
            chunk = sock.recv(65536)
        except ssl.SSLZeroReturnError:
            break
        except ConnectionResetError:
            break
        if not chunk:
            break
        chunks.append(chunk)
        size += len(chunk)
        if size > limit:
            raise AssertionError(f"response larger than {limit} bytes")
    return b"".join(chunks)


def http_raw(port, request, tls=False, tls_context=None, timeout=IO_TIMEOUT):
    """Sends the request bytes as they stand and returns every byte the
    server writes until it closes the connection."""
    if isinstance(request, str):
        request = request.encode("latin-1")
    with connect(port, tls, tls_context, timeout) as sock:
        sock.sendall(request)
        return recv_all(sock, timeout)


def send_cut(port, request, length, timeout=IO_TIMEOUT):
    """A client whose upload breaks off: sends the first `length` bytes of the
    request, ends its sending side, and returns every byte the server writes
    until it closes the connection (by then the handler has returned)."""
    with connect(port, timeout=timeout) as sock:
        sock.sendall(request[:length])
        sock.shutdown(socket.SHUT_WR)
        return recv_all(sock, timeout)


def build_request(method, path, headers=None, body=b"", port=None):
    """A request with Host and Connection: close, plus the given headers
    (a dict or a list of pairs) and body (Content-Length added for a body)."""
    if isinstance(body, str):
        body = body.encode("utf-8")
    pairs = list(headers.items()) if isinstance(headers, dict) else list(headers or [])
    names = {name.lower() for name, _ in pairs}
    if "host" not in names:
        pairs.insert(0, ("Host", f"{LOCALHOST}:{port}" if port else LOCALHOST))
    if "connection" not in names:
        pairs.append(("Connection", "close"))
    if body and "content-length" not in names:
        pairs.append(("Content-Length", str(len(body))))
    head = f"{method} {path} HTTP/1.1\r\n"
    head += "".join(f"{name}: {value}\r\n" for name, value in pairs)
    return head.encode("latin-1") + b"\r\n" + body


class Response:
    """A parsed HTTP response; `raw` keeps the exact bytes."""

    def __init__(self, raw):
        self.raw = raw
        head, sep, rest = raw.partition(b"\r\n\r\n")
        if not sep:
            raise ValueError(f"no end of headers in {raw[:200]!r}")
        self.head = head
        lines = head.decode("latin-1").split("\r\n")
        self.status_line = lines[0]
        parts = self.status_line.split(" ", 2)
        self.version = parts[0]
        self.status = int(parts[1])
        self.reason = parts[2] if len(parts) > 2 else ""
        self.headers = []
        for line in lines[1:]:
            name, _, value = line.partition(":")
            self.headers.append((name, value.strip()))
        self.raw_body = rest
        if (self.header("Transfer-Encoding") or "").lower() == "chunked":
            self.body = _dechunk(rest)
        else:
            length = self.header("Content-Length")
            self.body = rest if length is None else rest[:int(length)]

    def header(self, name):
        """Value of the first header called name (any case), or None."""
        for key, value in self.headers:
            if key.lower() == name.lower():
                return value
        return None

    def __repr__(self):
        return f"<Response {self.status_line!r} {len(self.raw)} bytes>"


def _dechunk(data):
    out = b""
    while True:
        size_line, sep, data = data.partition(b"\r\n")
        if not sep:
            raise ValueError("truncated chunked body")
        size = int(size_line.split(b";")[0], 16)
        if size == 0:
            return out
        out += data[:size]
        data = data[size + 2:]


def http_request(port, method, path, headers=None, body=b"", tls=False, timeout=IO_TIMEOUT):
    raw = http_raw(port, build_request(method, path, headers, body, port), tls=tls,
                   timeout=timeout)
    return Response(raw)


def http_get(port, path, headers=None, tls=False, timeout=IO_TIMEOUT):
    return http_request(port, "GET", path, headers, tls=tls, timeout=timeout)


# ---------------------------------------------------------------------------
# WebSocket
# ---------------------------------------------------------------------------

WS_GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
OP_CONT, OP_TEXT, OP_BINARY, OP_CLOSE, OP_PING, OP_PONG = 0x0, 0x1, 0x2, 0x8, 0x9, 0xA


class WebSocketHandshakeError(Exception):
    def __init__(self, response_head):
        super().__init__(f"upgrade refused: {response_head[:300]!r}")
        self.response_head = response_head


class WebSocketClosed(Exception):
    """The server closed the connection (close frame or end of stream)."""

    def __init__(self, code=None, reason=b""):
        super().__init__(f"closed by server (code {code}, reason {reason!r})")
        self.code = code
        self.reason = reason


Frame = collections.namedtuple("Frame", "fin opcode payload")


class WebSocket:
    """A minimal client: handshake, masked frames out, frames in, close."""

    def __init__(self, sock, leftover=b""):
        self.sock = sock
        self._buf = bytearray(leftover)

    @classmethod
    def connect(cls, port, path="/websocket", tls=False, timeout=IO_TIMEOUT, headers=None):
        sock = connect(port, tls, timeout=timeout)
        try:
            key = base64.b64encode(os.urandom(16))
            headers = dict(headers or {})
            # A "Host" among the headers stands in for the default one.
            host = headers.pop("Host", f"{LOCALHOST}:{port}")
            head = (f"GET {path} HTTP/1.1\r\n"
                    f"Host: {host}\r\n"
                    "Upgrade: websocket\r\n"
                    "Connection: Upgrade\r\n"
                    f"Sec-WebSocket-Key: {key.decode()}\r\n"
                    "Sec-WebSocket-Version: 13\r\n")
            head += "".join(f"{n}: {v}\r\n" for n, v in headers.items())
            sock.sendall(head.encode("latin-1") + b"\r\n")
            data = b""
            deadline = time.monotonic() + timeout
            while b"\r\n\r\n" not in data:
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise TimeoutError(f"no handshake answer; got {data[:200]!r}")
                sock.settimeout(remaining)
                chunk = sock.recv(4096)
                if not chunk:
                    raise WebSocketHandshakeError(data)
                data += chunk
            response, _, leftover = data.partition(b"\r\n\r\n")
            lines = response.decode("latin-1").split("\r\n")
            if not lines[0].startswith("HTTP/1.1 101"):
                raise WebSocketHandshakeError(data)
            accept = base64.b64encode(hashlib.sha1(key + WS_GUID).digest()).decode()
            fields = {}
            for line in lines[1:]:
                name, _, value = line.partition(":")
                fields[name.strip().lower()] = value.strip()
            if fields.get("sec-websocket-accept") != accept:
                raise WebSocketHandshakeError(data)
            return cls(sock, leftover)
        except BaseException:
            sock.close()
            raise

    # -- sending -----------------------------------------------------------

    def send_frame(self, opcode, payload, fin=True, mask=True):
        if isinstance(payload, str):
            payload = payload.encode("utf-8")
        first = (0x80 if fin else 0) | opcode
        length = len(payload)
        mask_bit = 0x80 if mask else 0
        if length < 126:
            header = struct.pack("!BB", first, mask_bit | length)
        elif length < 65536:
            header = struct.pack("!BBH", first, mask_bit | 126, length)
        else:
            header = struct.pack("!BBQ", first, mask_bit | 127, length)
        if mask:
            key = os.urandom(4)
            payload = bytes(b ^ key[i % 4] for i, b in enumerate(payload))
            header += key
        self.sock.sendall(header + payload)

    def send_text(self, text):
        self.send_frame(OP_TEXT, text)

    # -- receiving ---------------------------------------------------------

    def _read_exact(self, n, deadline):
        while len(self._buf) < n:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError("no complete frame in time")
            self.sock.settimeout(remaining)
            try:
                chunk = self.sock.recv(65536)
            except ConnectionResetError:
                chunk = b""
            if not chunk:
                raise WebSocketClosed()
            self._buf += chunk
        data = bytes(self._buf[:n])
        del self._buf[:n]
        return data

    def recv_frame(self, timeout=IO_TIMEOUT):
        """The next frame as it arrives (no reassembly, pings not answered)."""
        deadline = time.monotonic() + timeout
        b0, b1 = self._read_exact(2, deadline)
        length = b1 & 0x7F
        if length == 126:
            (length,) = struct.unpack("!H", self._read_exact(2, deadline))
        elif length == 127:
            (length,) = struct.unpack("!Q", self._read_exact(8, deadline))
        key = self._read_exact(4, deadline) if b1 & 0x80 else None
        payload = self._read_exact(length, deadline)
        if key:
            payload = bytes(b ^ key[i % 4] for i, b in enumerate(payload))
        return Frame(bool(b0 & 0x80), b0 & 0x0F, payload)

    def recv_message(self, timeout=IO_TIMEOUT):
        """The next data message as (opcode, payload bytes), fragments
        joined; pings are answered; a close frame raises WebSocketClosed."""
        deadline = time.monotonic() + timeout
        opcode, parts = None, []
        while True:
            frame = self.recv_frame(max(0.0, deadline - time.monotonic()))
            if frame.opcode == OP_PING:
                self.send_frame(OP_PONG, frame.payload)
                continue
            if frame.opcode == OP_PONG:
                continue
            if frame.opcode == OP_CLOSE:
                code = struct.unpack("!H", frame.payload[:2])[0] if len(frame.payload) >= 2 else None
                raise WebSocketClosed(code, frame.payload[2:])
            if opcode is None:
                opcode = frame.opcode
            parts.append(frame.payload)
            if frame.fin:
                return opcode, b"".join(parts)

    def recv_text(self, timeout=IO_TIMEOUT):
        """The next text message, decoded, as exact text."""
        opcode, payload = self.recv_message(timeout)
        if opcode != OP_TEXT:
            raise AssertionError(f"expected a text frame, got opcode {opcode}: {payload!r}")
        return payload.decode("utf-8")

    def expect_silence(self, timeout):
        """Asserts that no data message arrives within timeout seconds."""
        try:
            message = self.recv_message(timeout)
        except TimeoutError:
            return
        raise AssertionError(f"unexpected message {message!r}")

    def wait_closed(self, timeout=IO_TIMEOUT):
        """True when the server ends the connection (close frame or end of
        stream) within timeout, skipping data messages."""
        deadline = time.monotonic() + timeout
        try:
            while True:
                self.recv_message(max(0.0, deadline - time.monotonic()))
        except WebSocketClosed:
            return True
        except TimeoutError:
            return False

    def close(self, code=1000, reason=b"", timeout=1.0):
        """Closing handshake (bounded), then the socket."""
        try:
            self.send_frame(OP_CLOSE, struct.pack("!H", code) + reason)
            self.wait_closed(timeout)
        except OSError:
            pass
        finally:
            self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


# ---------------------------------------------------------------------------
# unittest base
# ---------------------------------------------------------------------------

Run = collections.namedtuple("Run", "sandbox sim server")


class ServerTestCase(unittest.TestCase):
    """Owns sandboxes, simulators and servers of a test; all of them are
    stopped and removed when the test ends, whatever its outcome. On failure
    the server's output is attached to the message by `describe`."""

    def make_sandbox(self, **ports):
        sandbox = Sandbox(**ports)
        self.addCleanup(sandbox.cleanup)
        return sandbox

    def start_sim(self, sandbox, **kwargs):
        sim = Sim(sandbox, **kwargs)
        self.addCleanup(sim.stop)
        return sim.start()

    def start_server(self, sandbox, *args, env=None, argv0=None):
        """Starts the server and returns at once (no wait)."""
        server = Server(sandbox, args, env=env, argv0=argv0)
        self.addCleanup(server.stop)
        return server.start()

    def start_ready_server(self, sandbox, *args, ports=None, env=None):
        """Starts the server and waits until it serves on ports (default:
        the sandbox's HTTP port)."""
        server = self.start_server(sandbox, *args, env=env)
        return server.wait_ready(ports or [sandbox.http_port])

    @classmethod
    def start_class_runs(cls, setups):
        """For setUpClass: starts one sandbox, simulator and server per
        entry of setups, a dict name -> (args, prepare) where prepare(sandbox)
        (or None) edits the sandbox first. All servers start side by side and
        are stopped together at class end. Returns name -> Run; waiting for
        readiness is the caller's, as the ports depend on the mode."""
        processes, sandboxes = [], []

        def cleanup():
            stop_all(processes)
            for sandbox in sandboxes:
                sandbox.cleanup()
        cls.addClassCleanup(cleanup)
        runs = {}
        for name, (args, prepare) in setups.items():
            sandbox = Sandbox()
            sandboxes.append(sandbox)
            if prepare is not None:
                prepare(sandbox)
            sim = Sim(sandbox)
            processes.append(sim)
            sim.start()
            server = Server(sandbox, args)
            processes.insert(0, server)
            server.start()
            runs[name] = Run(sandbox, sim, server)
        return runs

    def run_to_exit(self, sandbox, *args, env=None, argv0=None, timeout=START_TIMEOUT):
        """Runs a server that must end by itself; returns it, ended."""
        server = self.start_server(sandbox, *args, env=env, argv0=argv0)
        server.wait_exit(timeout)
        return server
