#!/usr/bin/env python3
"""Start-up of ktwebserver, end to end: command line, web configuration,
logging configuration, device link, listening ports per mode, TLS, and the
orderly stop. Every server runs in a sandbox device tree (DEVICE_ROOT) on
free ports; run with `python3 tests/startup_test.py` (KT_BUILD_DIR selects
the build folder)."""

import json
import os
import re
import signal
import socket
import ssl
import sys
import unittest
import uuid

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import (  # noqa: E402
    Response, ServerTestCase, WebSocket, WebSocketHandshakeError, build_request, http_get,
    http_raw, http_request, occupy_port, port_open, tls_handshake, wait_until)

USAGE = ("{0} [options]\n"
         "default: [{0} -x ./ktwebserver.xml -m http]\n"
         "\t-h --help\t\tshow this help\n"
         "\t-x --xml\t\tset xml file path\n"
         "\t-m --mode\t\tstart with http or https\n")

WEBCONF_DEVICE_PATH = "/home/ubuntu/apache-tomcat-7.0.42/webapps/ROOT/webrun/webconf.xml"
CONFIG_KEYS = ["webroot", "weblog", "webcert", "webhttpport", "webhttpsport"]

# The suites the device's clients were built against; nothing else is offered.
LISTED_CIPHERS = ["ECDHE-RSA-AES256-GCM-SHA384", "DES-CBC3-SHA", "AES128-SHA",
                  "AES128-GCM-SHA256"]

# Layout of the sandbox's logging configuration: "%d [%p] %m%n". Every
# message of ours ends with the source location, relative to the project
# whatever the build folder. A message may hold line feeds of its own.
LOG_STAMP = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} "
LOG_ENTRY = re.compile(LOG_STAMP + r"\[(ERROR|WARN|INFO)\] (.*) --\[(src/\w+\.cpp):\d+\]\n",
                       re.S)


def log_entries(text):
    """(priority, message, source) of every log entry; an entry of another
    shape makes the test fail, as every entry must carry its location."""
    entries = []
    for chunk in re.split(r"^(?=" + LOG_STAMP + ")", text, flags=re.M):
        if not chunk:
            continue
        m = LOG_ENTRY.fullmatch(chunk)
        if m is None:
            raise AssertionError(f"log entry without the source suffix: {chunk!r}")
        entries.append((m.group(1), m.group(2), m.group(3)))
    return entries


def messages(text, priority=None):
    return [msg for prio, msg, _ in log_entries(text) if priority in (None, prio)]


def browse_lines(text):
    return [msg for msg in messages(text, "INFO")
            if msg.startswith("Rezudezi : You can Browse files at ")]


def ready_line(mode):
    return f"webserver : ready to start with {mode}\n".encode()


def remove_certificate(sandbox):
    sandbox.cert.unlink()


class CommandLineTest(ServerTestCase):
    """Options h, x, j, m; the usage text ends the process before anything
    else happens."""

    def assert_usage_exit(self, server, program):
        self.assertEqual(server.returncode, 255, server.describe())
        self.assertEqual(server.stdout(), USAGE.format(program).encode())

    def test_help_prints_the_usage_text_naming_the_program_as_invoked(self):
        sandbox = self.make_sandbox()
        # Help after valid options still stops before the ready line.
        for args in (["-h"], ["--help"], ["-m", "https", "-x", "a.xml", "-h"]):
            with self.subTest(args=args):
                server = self.run_to_exit(sandbox, *args, argv0="/opt/dev/bin/ktweb")
                self.assert_usage_exit(server, "/opt/dev/bin/ktweb")
                self.assertEqual(server.stderr(), b"")

    def test_bad_or_incomplete_option_prints_the_usage_text(self):
        sandbox = self.make_sandbox()
        for args in (["-z"], ["--bogus"], ["-m"], ["--mode"], ["-x"], ["--json"],
                     ["--help=yes"]):
            with self.subTest(args=args):
                server = self.run_to_exit(sandbox, *args, argv0="ktweb")
                self.assert_usage_exit(server, "ktweb")

    def test_usage_exit_reads_no_configuration(self):
        # The configuration store creates a missing file when it opens it, so
        # a file that stays missing proves that it was never opened.
        sandbox = self.make_sandbox()
        sandbox.webconf.unlink()
        for args in (["-h"], ["-q"]):
            with self.subTest(args=args):
                server = self.run_to_exit(sandbox, *args, argv0="kt")
                self.assert_usage_exit(server, "kt")
                self.assertFalse(sandbox.webconf.exists(), "configuration file was opened")
                self.assertFalse(sandbox.log_file.exists(), "logging was configured")


class ModeSelectionTest(ServerTestCase):
    """The mode text decides the listening-ports text: exact "http" and
    "https" name their modes, every other text serves both ports side by
    side. Checked on the configuration log lines of a start without the
    device link, which ends right after logging them."""

    def test_mode_text_selects_the_listening_ports(self):
        sandbox = self.make_sandbox()
        h, s = sandbox.http_port, sandbox.https_port
        cases = [
            ([], "http", f"{h}"),
            (["-m", "http"], "http", f"{h}"),
            (["--mode", "https"], "https", f"{h}r,{s}s"),
            (["--mode=https"], "https", f"{h}r,{s}s"),
            (["-m", "http", "-m", "s"], "https", f"{h}r,{s}s"),
            (["-m", "ht", "--mode", "tp", "-m", "s"], "https", f"{h}r,{s}s"),
            (["-m", "HTTPS"], "HTTPS", f"{h},{s}s"),
            (["-m", "both"], "both", f"{h},{s}s"),
            (["-m", "https "], "https ", f"{h},{s}s"),
            # An empty argument leaves the field empty, so the default applies.
            (["-m", ""], "http", f"{h}"),
            (["-x", "/nowhere/other.xml", "-j", "other.json", "stray"], "http", f"{h}"),
        ]
        for args, mode, ports in cases:
            with self.subTest(args=args):
                server = self.run_to_exit(sandbox, *args)
                self.assertTrue(server.stdout().startswith(ready_line(mode)), server.describe())
                self.assertIn(f"Rezudezi : web_port : {ports}", messages(server.log(), "INFO"))
                sandbox.log_file.unlink(missing_ok=True)


class ConfigurationFileTest(ServerTestCase):
    """The web configuration file: five required keys, read from the fixed
    device path whatever option x says."""

    def assert_config_failure(self, server, sandbox, key):
        self.assertEqual(server.returncode, 255, server.describe())
        self.assertEqual(server.stdout(), ready_line("http") + f"read Error : {key}!!!\n".encode()
                         + f"error! : web can't get config from "
                           f"{sandbox.path(WEBCONF_DEVICE_PATH)}".encode())
        self.assertFalse(sandbox.log_file.exists(), "logging was configured")

    def test_each_missing_key_is_reported_by_name(self):
        sandbox = self.make_sandbox()
        full = sandbox.webconf_params()
        for key in CONFIG_KEYS:
            with self.subTest(key=key):
                sandbox.webconf_write([(k, v) for k, v in full if k != key])
                self.assert_config_failure(self.run_to_exit(sandbox), sandbox, key)

    def test_missing_file_is_created_empty_and_fails_on_the_first_key(self):
        sandbox = self.make_sandbox()
        sandbox.webconf.unlink()
        self.assert_config_failure(self.run_to_exit(sandbox), sandbox, "webroot")
        self.assertEqual(sandbox.webconf.read_bytes(), b"")

    def test_malformed_file_reads_as_empty(self):
        sandbox = self.make_sandbox()
        sandbox.webconf.write_text('<CONFIGURATION><webconfig><PARAM NAME="webroot">/x'
                                   '</webconfig>')
        self.assert_config_failure(self.run_to_exit(sandbox), sandbox, "webroot")

    def test_keys_in_another_section_do_not_count(self):
        sandbox = self.make_sandbox()
        sandbox.webconf_write(sandbox.webconf_params(), section="otherconfig")
        self.assert_config_failure(self.run_to_exit(sandbox), sandbox, "webroot")

    def test_option_x_does_not_change_the_file_read(self):
        sandbox = self.make_sandbox()
        other = sandbox.root / "other.xml"
        other.write_text(sandbox.webconf.read_text().replace(str(sandbox.http_port), "1"))
        sandbox.webconf_remove("webhttpsport")
        server = self.run_to_exit(sandbox, "-x", str(other))
        self.assert_config_failure(server, sandbox, "webhttpsport")

    def test_configuration_is_logged_in_ten_lines_in_field_order(self):
        sandbox = self.make_sandbox()
        server = self.run_to_exit(sandbox, "-m", "https")  # no device link: ends after it
        entries = log_entries(server.log())
        expected = [
            "Rezudezi : auth_mode : ",
            f"Rezudezi : web_rootpath : {sandbox.webroot}",
            f"Rezudezi : web_port : {sandbox.http_port}r,{sandbox.https_port}s",
            f"Rezudezi : web_cermpath : {sandbox.cert}",
            f"Rezudezi : log_confpath : {sandbox.log_config}",
            "Rezudezi : ldap_URI : ",
            "Rezudezi : ldap_BaseDN : ",
            "Rezudezi : ldap_BindDN : ",
            "Rezudezi : ldap_Attr : ",
            "Rezudezi : ldap_CaPem : ",
        ]
        self.assertEqual(entries[:10], [("INFO", m, "src/user_case.cpp") for m in expected])


class LoggingConfigurationTest(ServerTestCase):
    """A logging configuration that cannot be used stops the start with a
    message on standard error, before the device link or any port opens."""

    BROKEN = {
        "missing": None,
        "unknown appender type": "log4cpp.rootCategory=INFO, A\n"
                                 "log4cpp.appender.A=org.apache.log4cpp.NoSuchAppender\n",
        "appender not defined": "log4cpp.rootCategory=INFO, A\n",
        "no root category": "just some text\n",
    }

    def test_unusable_logging_configuration_stops_with_status_255(self):
        sandbox = self.make_sandbox()
        sim = self.start_sim(sandbox)
        for number, (name, text) in enumerate(self.BROKEN.items()):
            with self.subTest(case=name):
                path = sandbox.root / f"broken-{number}.properties"
                if text is not None:
                    path.write_text(text)
                sandbox.webconf_set("weblog", str(path))
                server = self.run_to_exit(sandbox)
                self.assertEqual(server.returncode, 255, server.describe())
                self.assertEqual(server.stdout(), ready_line("http"))
                self.assertIn(str(path).encode(), server.stderr())
                self.assertFalse(sandbox.log_file.exists())
        self.assertTrue(sim.running())


class DeviceLinkTest(ServerTestCase):
    """The device link opens before the server starts and outlives restarts
    of the control service."""

    def test_link_down_at_start_stops_before_any_port_opens(self):
        sandbox = self.make_sandbox()
        server = self.start_server(sandbox, "-m", "https")  # no simulator
        seen_open = []

        def ended():
            if port_open(sandbox.http_port) or port_open(sandbox.https_port):
                seen_open.append(True)
            return server.returncode is not None
        wait_until(ended, 10)
        self.assertEqual(server.wait_exit(), 255, server.describe())
        self.assertEqual(seen_open, [], "a port opened")
        entries = log_entries(server.log())
        self.assertEqual(entries[-1], ("ERROR", "IP task init failed!!!", "src/main.cpp"))
        self.assertEqual(len(entries), 11, "only the configuration lines come before it")

    def test_link_survives_restarts_of_the_control_service(self):
        sandbox = self.make_sandbox()
        sim = self.start_sim(sandbox)
        server = self.start_ready_server(sandbox)
        self.assertTrue(sim.wait_for_connections(1))

        for how in ("stop", "kill"):
            with self.subTest(service_ends_by=how):
                if how == "stop":
                    sim.stop()
                else:
                    sim.kill()
                # A command while the service is away is lost, not fatal.
                send_command_through_link(sandbox, "echo while away", await_answer=False)
                self.assertEqual(http_get(sandbox.http_port, "/index.html").status, 200)
                sim.start()
                self.assertTrue(sim.wait_for_connections(1, timeout=10),
                                "the link did not reconnect")
                self.assert_link_carries_commands(sandbox, sim)
                self.assertTrue(server.running(), server.describe())

        self.assertEqual(messages(server.log(), "ERROR"), [])

    def assert_link_carries_commands(self, sandbox, sim):
        """Sends a command through the server and checks that the control
        service receives it. Without the WebSocket relay there is no way to
        make the server send, and the connection alone is checked."""
        marker = f"echo link-check {uuid.uuid4().hex}"
        if not send_command_through_link(sandbox, marker):
            self.assertEqual(sim.connections(), 1)
            return
        entry = sim.wait_for_journal(lambda e: e.data == marker)
        self.assertIsNotNone(entry, f"{marker!r} never reached the control service")


def send_command_through_link(sandbox, text, await_answer=True):
    """Logs in on the WebSocket relay as the sandbox's administrator and
    sends text as a device command; with await_answer, waits for the
    service's answer to come back. False when the server does not accept
    WebSocket connections."""
    try:
        ws = WebSocket.connect(sandbox.http_port)
    except WebSocketHandshakeError:
        return False
    with ws:
        ws.send_text(json.dumps({"type": "login", "command": "admin admin123"}))
        ws.recv_text()
        ws.send_text(json.dumps({"type": "command", "command": text}))
        if await_answer:
            ws.recv_text()
    # Leaving the block closes with a handshake: the server answers the close
    # only after it has handled the command before it.
    return True


class ListeningPortsTest(ServerTestCase):
    """Each mode's listening ports, the port list in the log, the redirect of
    mode https, and the web root served as static files."""

    @classmethod
    def setUpClass(cls):
        cls.runs = cls.start_class_runs({
            "http": ([], None),
            "https": (["-m", "https"], None),
            "both": (["--mode", "both"], None),
            "both, no certificate": (["-m", "both"], remove_certificate),
        })
        for name, run in cls.runs.items():
            ports = [run.sandbox.http_port]
            if name in ("https", "both"):
                ports.append(run.sandbox.https_port)
            run.server.wait_ready(ports)

    def assert_port_list(self, run, expected):
        self.assertIn(f"Rezudezi : {len(expected)} listening ports:", messages(run.server.log()))
        self.assertEqual(browse_lines(run.server.log()),
                         [f"Rezudezi : You can Browse files at {url}" for url in expected])

    def assert_serves_index(self, run, port, tls=False):
        index = http_get(port, "/index.html", tls=tls)
        self.assertEqual(index.status, 200)
        self.assertEqual(index.body, (run.sandbox.webroot / "index.html").read_bytes())

    def test_http_mode_listens_on_the_http_port_only(self):
        run = self.runs["http"]
        self.assert_port_list(run, [f"http://127.0.0.1:{run.sandbox.http_port}"])
        self.assertFalse(port_open(run.sandbox.https_port))
        self.assertTrue(run.server.stdout().startswith(ready_line("http")))

    def test_https_mode_redirects_the_http_port_to_the_https_port(self):
        run = self.runs["https"]
        h, s = run.sandbox.http_port, run.sandbox.https_port
        self.assert_port_list(run, [f"http://127.0.0.1:{h}", f"https://127.0.0.1:{s}"])
        self.assertTrue(run.server.stdout().startswith(ready_line("https")))
        moved = http_get(h, "/index.html?lang=en")
        self.assertIn(moved.status, (301, 302, 303, 307, 308), moved.raw)
        self.assertEqual(moved.header("Location"), f"https://127.0.0.1:{s}/index.html?lang=en")
        self.assertEqual(moved.body, b"")
        self.assert_serves_index(run, s, tls=True)

    def test_other_mode_texts_serve_both_ports_without_redirect(self):
        run = self.runs["both"]
        h, s = run.sandbox.http_port, run.sandbox.https_port
        self.assert_port_list(run, [f"http://127.0.0.1:{h}", f"https://127.0.0.1:{s}"])
        self.assert_serves_index(run, h)
        self.assert_serves_index(run, s, tls=True)

    def test_other_mode_without_certificate_serves_plain_http_only(self):
        run = self.runs["both, no certificate"]
        self.assert_port_list(run, [f"http://127.0.0.1:{run.sandbox.http_port}"])
        self.assertFalse(port_open(run.sandbox.https_port))
        self.assert_serves_index(run, run.sandbox.http_port)

    def test_tls_key_exchange_is_set_up_only_with_a_tls_port(self):
        ecdh = ("INFO", "Rezudezi : ECDH ciphers initialized", "src/webserver.cpp")
        for name, run in self.runs.items():
            with self.subTest(run=name):
                with_tls = name in ("https", "both")
                entries = log_entries(run.server.log())
                self.assertEqual(entries.count(ecdh), 1 if with_tls else 0)
                self.assertEqual(sum("ECDH" in msg for _, msg, _ in entries),
                                 1 if with_tls else 0)

    def test_web_root_files_are_served_as_they_are(self):
        run = self.runs["http"]
        self.assert_serves_index(run, run.sandbox.http_port)
        custom = http_get(run.sandbox.http_port, "/custom.html")
        self.assertEqual(custom.body, (run.sandbox.webroot / "custom.html").read_bytes())
        self.assertEqual(http_get(run.sandbox.http_port, "/no-such-page.html").status, 404)

    def test_credentials_and_the_private_key_are_never_served(self):
        run = self.runs["http"]
        webroot = run.sandbox.webroot
        # Links a careless copy could leave in the web root.
        (webroot / "linked").symlink_to(webroot / "WEB-INF/classes")
        (webroot / "cert.pem").symlink_to(run.sandbox.cert)
        self.addCleanup((webroot / "linked").unlink)
        self.addCleanup((webroot / "cert.pem").unlink)
        # The server library decodes and normalises a URI before it looks
        # for the file; every spelling must meet the same refusal.
        for method, target in [
                ("GET", "/WEB-INF/classes/server.properties"),
                ("GET", "//WEB-INF/classes/server.properties"),
                ("GET", "/./WEB-INF/classes/server.properties"),
                ("GET", "/%57EB-INF/classes/server.properties"),
                ("GET", "/WEB-INF%2fclasses%2fserver.properties"),
                ("GET", "/customization/../WEB-INF/classes/server.properties"),
                ("GET", "/WEB-INF./classes/server.properties"),
                ("GET", "/WEB-INF\\classes\\server.properties"),
                ("HEAD", "/WEB-INF/classes/server.properties"),
                ("GET", "/WEB-INF/"),
                ("GET", "/linked/server.properties"),
                ("GET", "/webrun/server.pem"),
                ("GET", "/webrun//%73erver.pem"),
                ("GET", "/cert.pem")]:
            with self.subTest(method=method, target=target):
                raw = http_raw(run.sandbox.http_port, f"{method} {target} HTTP/1.1\r\n"
                               "Host: 127.0.0.1\r\nConnection: close\r\n\r\n")
                self.assertTrue(raw.startswith(b"HTTP/1.1 404 "), raw[:300])
                self.assertNotIn(b"adminPassWord", raw)
                self.assertNotIn(b"PRIVATE KEY", raw)
        # Ordinary files beside them are served as before.
        self.assertEqual(http_get(run.sandbox.http_port, "/webrun/webconf.xml").body,
                         run.sandbox.webconf.read_bytes())

    def test_static_files_answer_no_webdav_and_stay_unchanged(self):
        run = self.runs["http"]
        def tree():
            return {p: p.read_bytes() if p.is_file() else None
                    for p in run.sandbox.webroot.rglob("*")}
        before = tree()
        move = {"Destination": f"http://127.0.0.1:{run.sandbox.http_port}/moved.html"}
        for method, target, headers in [
                ("PROPFIND", "/", {"Depth": "1"}), ("PROPFIND", "/index.html", {}),
                ("PROPPATCH", "/index.html", {}), ("MKCOL", "/newdir", {}),
                ("PUT", "/index.html", {}), ("PUT", "/new.html", {}),
                ("DELETE", "/index.html", {}), ("LOCK", "/index.html", {}),
                ("UNLOCK", "/index.html", {"Lock-Token": "<x>"}),
                ("COPY", "/index.html", move), ("MOVE", "/index.html", move)]:
            with self.subTest(method=method, target=target):
                answer = Response(http_raw(run.sandbox.http_port, build_request(
                    method, target, headers, b"<x/>", run.sandbox.http_port)))
                # 405; the library itself answers 400 to methods it does
                # not know (COPY, MOVE).
                self.assertIn(answer.status, (400, 405), answer.raw[:300])
                self.assertNotIn(b"index.html", answer.body)
        self.assertEqual(tree(), before)
        self.assertEqual(http_request(run.sandbox.http_port, "HEAD", "/index.html").status, 200)

    def test_started_commands_inherit_only_the_standard_streams(self):
        run = self.runs["both"]
        script = run.sandbox.webroot / "civetweb/getServiceParam.sh"
        listing = run.sandbox.root / "inherited-fds"
        original = script.read_bytes()
        self.addCleanup(script.write_bytes, original)
        script.write_text(f"#!/bin/sh\nls -l /proc/self/fd > {listing}\n")
        # Open at that moment: the log, both listening sockets, a WebSocket
        # and the request's own connection.
        with WebSocket.connect(run.sandbox.http_port):
            self.assertEqual(http_get(run.sandbox.http_port, "/marlo$").status, 200)
        fds = re.findall(r" (\d+) -> (.*)", listing.read_text())
        # Besides 0, 1 and 2 only the listing's own look at the folder.
        self.assertEqual([(fd, target) for fd, target in fds
                          if int(fd) > 2 and not re.fullmatch(r"/proc/\d+/fd", target)], [])

    def test_server_library_errors_never_reach_an_error_log_file(self):
        # The server library's messages go to standard output; its
        # "error.log" (relative to the working directory) is never written.
        run = self.runs["https"]
        printed = len(run.server.stdout())
        # A connection to the TLS port that ends before the handshake is an
        # error the library reports.
        socket.create_connection(("127.0.0.1", run.sandbox.https_port), timeout=2).close()
        wait_until(lambda: len(run.server.stdout()) > printed, 2)
        self.assertFalse((run.server.cwd / "error.log").exists())


class TlsTest(ServerTestCase):
    """The TLS port speaks TLS 1.2 with the listed cipher suites only."""

    @classmethod
    def setUpClass(cls):
        cls.tls_run = cls.start_class_runs({"https": (["-m", "https"], None)})["https"]
        cls.port = cls.tls_run.sandbox.https_port
        cls.tls_run.server.wait_ready([cls.tls_run.sandbox.http_port, cls.port])

    def test_default_client_gets_tls12_with_a_listed_suite(self):
        version, cipher = tls_handshake(self.port)
        self.assertEqual(version, "TLSv1.2")
        self.assertIn(cipher, LISTED_CIPHERS)

    def test_each_listed_suite_is_accepted(self):
        for cipher in LISTED_CIPHERS:
            with self.subTest(cipher=cipher):
                try:
                    ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT).set_ciphers(cipher)
                except ssl.SSLError:
                    self.skipTest(f"this client cannot offer {cipher}")
                self.assertEqual(
                    tls_handshake(self.port, maximum=ssl.TLSVersion.TLSv1_2, ciphers=cipher),
                    ("TLSv1.2", cipher))

    def test_suites_outside_the_list_are_refused(self):
        for cipher in ("ECDHE-RSA-AES128-GCM-SHA256", "ECDHE-RSA-CHACHA20-POLY1305",
                       "DHE-RSA-AES256-GCM-SHA384", "AES256-SHA256"):
            with self.subTest(cipher=cipher):
                with self.assertRaises(ssl.SSLError):
                    tls_handshake(self.port, maximum=ssl.TLSVersion.TLSv1_2, ciphers=cipher)

    def test_tls13_only_clients_are_refused_and_the_server_serves_on(self):
        for _ in range(3):
            with self.assertRaises((ssl.SSLError, ConnectionError)):
                tls_handshake(self.port, minimum=ssl.TLSVersion.TLSv1_3)
        self.assertEqual(http_get(self.port, "/index.html", tls=True).status, 200)
        self.assertTrue(self.tls_run.server.running())


class ServerStartFailureTest(ServerTestCase):
    """The server library cannot start: status 1 after the ERROR line."""

    def assert_start_failed(self, server):
        self.assertEqual(server.returncode, 1, server.describe())
        entries = log_entries(server.log())
        self.assertEqual(entries[-1], ("ERROR", "error: Cannot start CivetWeb - mg_start failed.",
                                       "src/main.cpp"))
        self.assertFalse(any("listening ports" in msg for _, msg, _ in entries))
        self.assertFalse((server.cwd / "error.log").exists())

    def test_port_in_use_fails_with_status_1(self):
        sandbox = self.make_sandbox()
        self.start_sim(sandbox)
        for args, port in (([], sandbox.http_port), (["-m", "https"], sandbox.https_port)):
            with self.subTest(args=args):
                blocker = occupy_port(port)
                self.addCleanup(blocker.close)
                server = self.run_to_exit(sandbox, *args)
                blocker.close()
                self.assert_start_failed(server)
                sandbox.log_file.unlink()

    def test_https_mode_without_certificate_fails_with_status_1(self):
        sandbox = self.make_sandbox()
        self.start_sim(sandbox)
        remove_certificate(sandbox)
        server = self.run_to_exit(sandbox, "-m", "https")
        self.assert_start_failed(server)


class StopTest(ServerTestCase):
    """SIGTERM and SIGINT run the orderly shutdown: status 0, ports closed,
    device link closed."""

    def test_stop_signal_ends_the_process_in_order(self):
        sandbox = self.make_sandbox()
        sim = self.start_sim(sandbox)
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=sig.name):
                server = self.start_ready_server(sandbox, "-m", "https",
                                                 ports=[sandbox.http_port, sandbox.https_port])
                self.assertTrue(sim.wait_for_connections(1))
                self.assertEqual(server.stop(sig, timeout=5), 0, server.describe())
                self.assertFalse(port_open(sandbox.http_port) or port_open(sandbox.https_port))
                self.assertTrue(sim.wait_for_connections(0, timeout=2),
                                "the device link stayed open")
                sandbox.log_file.unlink()


if __name__ == "__main__":
    unittest.main()
