#!/usr/bin/env python3
"""The process: command line, modes and ports, TLS, failed starts, the stop."""

import os, re, signal, socket, sys, unittest  # noqa: E401

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import ServerTestCase, http_get, port_open  # noqa: E402

USAGE = ("{0} [options]\ndefault: [{0} -x ./ktwebserver.xml -m http]\n"
         "\t-h --help\t\tshow this help\n\t-x --xml\t\tset xml file path\n"
         "\t-m --mode\t\tstart with http or https\n")


class CommandLineTest(ServerTestCase):
    def test_help_a_bad_option_a_missing_key_or_an_unusable_log_setup_end_with_255(self):
        sandbox = self.make_sandbox()
        self.start_sim(sandbox)
        conf, text = sandbox.webconf, sandbox.webconf.read_text()
        (broken := sandbox.root / "broken.properties").write_text("log4cpp.rootCategory=INFO, A\n")
        usage, ready = USAGE.format("/opt/bin/kt"), "webserver : ready to start with https\n"
        # The usage comes before the configuration: the store would create it when opened.
        rows = [(args, None, usage, "") for args in (["-h"], ["--help"], ["-m", "https", "-h"],
                                                      ["-z"], ["-m"], ["--json"], ["--help=yes"])]
        for args, conf_text, stdout, stderr in rows + [
                (["-m", "https"], re.sub(r'<PARAM NAME="webhttpsport".*', "", text), ready +
                 f"read Error : webhttpsport!!!\nerror! : web can't get config from {conf}", ""),
                (["-m", "https"], text.replace(str(sandbox.log_config), str(broken)), ready,
                 str(broken))]:
            with self.subTest(args=args, stdout=stdout[-60:]):
                conf.unlink(missing_ok=True) if conf_text is None else conf.write_text(conf_text)
                (server := self.start_server(sandbox, *args, argv0="/opt/bin/kt")).wait_exit()
                self.assertEqual((server.returncode, server.stdout()), (255, stdout.encode()))
                self.assertTrue(stderr.encode() in server.stderr() and not
                                sandbox.log_file.exists() and conf.exists() == bool(conf_text))

    def test_the_mode_text_selects_the_ports_and_a_missing_link_stops_before_them(self):
        sandbox = self.make_sandbox()
        h, s = sandbox.http_port, sandbox.https_port
        for args, mode, ports in [([], "http", f"{h}"), (["--mode=https"], "https", f"{h}r,{s}s"),
                (["-m", "http", "-m", "s"], "https", f"{h}r,{s}s"), (["-m", ""], "http", f"{h}"),
                (["-m", "HTTPS"], "HTTPS", f"{h},{s}s"),
                (["-x", "/nowhere.xml", "-m", "both", "x"], "both", f"{h},{s}s")]:
            with self.subTest(args=args):  # no simulator: the start ends after the configuration
                sandbox.log_file.unlink(missing_ok=True)
                (server := self.start_server(sandbox, *args)).wait_exit()
                self.assertRegex(server.stdout(), f"^webserver : ready to start with {mode}\n"
                                 .encode())
                self.assertRegex(server.log(), rf"Rezudezi : web_port : {ports} --[\s\S]*"
                                 r"\[ERROR\] IP task init failed!!! --\S*\n\Z")
                self.assertFalse(server.returncode != 255 or port_open(h) or port_open(s))


class PortsTest(ServerTestCase):
    @classmethod
    def setUpClass(cls):
        cls.runs = cls.start_class_runs({"http": ([], None), "https": (["-m", "https"], None),
                                         "both": (["-m", "both"], None), "both, no certificate":
                                         (["-m", "both"], lambda sandbox: sandbox.cert.unlink())})

    def test_each_mode_listens_on_its_ports(self):
        for name, run in self.runs.items():
            with self.subTest(mode=name):
                tls = name in ("https", "both")
                h, s = run.sandbox.http_port, run.sandbox.https_port
                log = run.server.wait_ready([h] + [s] * tls).log()
                self.assertEqual(re.findall(r"You can Browse files at (\S+) --", log),
                                 [f"http://127.0.0.1:{h}"] + [f"https://127.0.0.1:{s}"] * tls)
                self.assertEqual((log.count("ECDH ciphers initialized"), port_open(s)), (tls, tls))
                self.assertEqual(tls and http_get(s, "/index.html", tls=True).status, tls and 200)
                index = http_get(h, "/index.html?lang=en")  # mode https only redirects it
                self.assertEqual((index.status, index.header("Location"), index.body), (
                    308, f"https://127.0.0.1:{s}/index.html?lang=en", b"") if name == "https" else
                    (200, None, (run.sandbox.webroot / "index.html").read_bytes()))


class StartStopTest(ServerTestCase):
    def test_a_start_that_fails_ends_with_1_and_a_stop_signal_with_0(self):
        sandbox = self.make_sandbox()
        sim, cert, ports = self.start_sim(sandbox), sandbox.cert.read_bytes(), \
            [sandbox.http_port, sandbox.https_port]
        blocker = socket.create_server(("", sandbox.https_port))
        for fix in (lambda: blocker.close() or sandbox.cert.unlink(),  # a port taken, no key
                    lambda: sandbox.cert.write_bytes(cert)):
            server = self.start_server(sandbox, "-m", "https")
            self.assertEqual(server.wait_exit(), 1, server.describe())
            self.assertIn("[ERROR] error: Cannot start CivetWeb - mg_start failed.", server.log())
            fix()
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=sig.name):
                server = self.start_server(sandbox, "-m", "https").wait_ready(ports)
                self.assertTrue(sim.wait_for_connections(1))
                self.assertEqual(server.stop(sig), 0, server.describe())
                self.assertFalse(any(map(port_open, ports)))
                self.assertTrue(sim.wait_for_connections(0, timeout=2), "the link stayed open")
        self.assertFalse((sandbox.root / "error.log").exists())  # its messages go to stdout


if __name__ == "__main__":
    unittest.main()
