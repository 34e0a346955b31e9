#!/usr/bin/env python3
"""Upgrade, customization, system password, export, restore, static pages; the sandbox's
reboot only records."""

import os, re, shutil, subprocess, sys, unittest  # noqa: E401
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (  # noqa: E402
    BOUNDARY, ERROR_RSP, JSON_HEAD, OK_RSP, DeviceCase, Response, Sandbox, download, multipart_body)

URLENCODED = {"Content-Type": "application/x-www-form-urlencoded"}


def result(letter):
    return JSON_HEAD + b'{"result":"%s"}' % letter


class MaintenanceTest(DeviceCase):
    restored = ("etc", "usr", Sandbox.TOMCAT + "/webapps")

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        root = cls.root = cls.sb.root
        cls.webroot, cls.classes, cls.canary = cls.sb.webroot, cls.sb.classes, root / "canary"
        cls.custom, cls.bin = cls.webroot / "customization", root / "usr/local/bin"
        cls.ran, cls.pkgdir = root / "ran.log", root / "home/ubuntu/upgradepkg"

    def setUp(self):
        super().setUp()
        self.reboots_before = self.reboots()
        self.ran.unlink(missing_ok=True)

    def reboots(self):
        return self.sb.reboot_log.exists() and len(self.sb.reboot_log.read_text().splitlines())

    def assert_outcome(self, reboots, ran=None):
        """Since setUp: reboots, packages run, no command out of a request value; still serves."""
        got = (self.ran.read_text().split() if self.ran.exists() else [],
               self.reboots() - self.reboots_before, self.canary.exists(),
               self.request("GET", "/getUpgrade"))
        self.assertEqual(got, (got[0] if ran is None else ran, reboots, False, OK_RSP))

    def test_upgrade_answers_then_runs_the_command_package_first_and_reboots_only_on_success(self):
        def pkg(name, padding=0):
            return f"#!/bin/sh\necho {name} >> {self.ran}\n".encode() + b"#" * padding
        big = [("ktcmd", "k", pkg("ktcmd")), ("web", "w", pkg("web", 5000))]
        size = len(multipart_body(big, BOUNDARY))
        rows = [  # (fields or (body, headers), body bytes sent, packages run; None: the 500 answer)
            ([("Web", "../../w", pkg("web")), ("KTCMD", "/k", pkg("ktcmd"))], None,
             ["ktcmd", "web"]),
            ([("ktcmd", "k", pkg("ktcmd")), ("x", "f", b"x"), ("web", "w", pkg("web"))], None,
             ["ktcmd"]), ([("web", "", b""), ("ktcmd", "", b"")], None, []),
            # A huge chunk size once overflowed the form reader's counter.
            ((b"7fffffffffffffff\r\nweb=1", {**URLENCODED, "Transfer-Encoding": "chunked"}), None,
             None), ((b"", None), None, None), (big, size - 4, None)]
        if os.geteuid() == 0 and shutil.which("mount"):  # a package the disk cannot hold
            rows.append(([big[0], ("web", "w", pkg("web", 2 << 20))], "full disk", None))
        for fields, cut, ran in rows:
            with self.subTest(row=rows.index((fields, cut, ran))):
                self.setUp()
                if cut == "full disk":
                    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs",
                                    str(self.pkgdir)], check=True)
                    self.addCleanup(subprocess.run, ["umount", str(self.pkgdir)], check=True)
                (self.pkgdir / "ktcmd.bin").write_bytes(pkg("old"))  # an earlier one never runs
                answer = (self.request("POST", "/upgrade", *fields) if isinstance(fields, tuple)
                          else self.form("/upgrade", fields, None if cut == "full disk" else cut))
                self.assertEqual((answer, sorted(os.listdir(self.pkgdir))),
                                 (ERROR_RSP if ran is None else OK_RSP,
                                  sorted(f"{p}.bin" for p in ran or [])))
                if ran:  # the client has its answer before the device goes down
                    log = self.server.log(self.mark)
                    self.assertLess(log.index("send ok rsp"), log.index("finish"))
                self.assert_outcome(0 if ran is None else 1, ran or [])

    def test_customization_and_password_change_store_values_and_files_whole_or_not_at_all(self):
        P, L = self.custom / "custom.properties", self.classes / "custom_en_US.properties"
        D, banner = self.classes / "userdevice.properties", self.custom / "banner.jpg"
        icon, version = self.webroot / "favicon.ico", self.custom / "customversion"
        S, A = self.bin / "changepasswd.sh", self.root / "pwd-args"  # the script, its arguments
        touch = f"touch {self.canary}"
        v = f"a'b\"c/d&e\\f\\n $({touch}) `{touch}`; {touch} | %s \u00e9"
        old = "webTitle=Old\nlanguage=en\n"
        image = bytes(range(256)) * 40 + b"\r\n--" + BOUNDARY[:-1].encode()

        def pwd(*p):  # old, new and, unless given, the new one repeated
            return [(f"sys_{k}Pwd", None, x) for k, x in zip(("old", "new", "repeat"), p + p[-1:])]

        def enc(data):
            return data.encode() if isinstance(data, str) else data

        def rec(letter):  # a password script that records its arguments and prints the letter
            return f"#!/bin/sh\nprintf '%s\\0' \"$@\" > {A}\nprintf '%s' '{letter}'\n"
        fit, odd, never = "p" * 99, f"o'ld $({touch}) \\ `id` *; {touch}", ({S: rec(0)}, {A: None})
        rows = [  # (form fields or URL-encoded body, files before, after, reply letter, bytes sent)
            # Only whole lines with the key change, byte for byte; a title leaves no last line end.
            ([(name, None, v) for name in ("title", "login_title", "language",
                                            "truename_replacement")],
             {P: "language=en\nwebTitle=Old\nlanguages=k\n", D: "TRUENAME_REPLACEMENT=0\n",
              L: "login_title=Old\nlogin_title_x=k\n"},
             {P: f"language={v}\nwebTitle={v}\nlanguages=k", D: f"TRUENAME_REPLACEMENT={v}",
              L: f"login_title={v}\nlogin_title_x=k\n"}),
            ([("title", None, "a\r\nlanguage=xx"), ("language", None, "b\nc")], {P: old}, {P: old}),
            ([("language", None, "x" * 20000), ("title", None, "Short")], {P: old},
             {P: "webTitle=Short\nlanguage=en"}),
            ([("language", None, "fr"), ("colour", None, "red"), ("title", None, "no")], {P: old},
             {P: "webTitle=Old\nlanguage=fr\n"}),
            # The form reader once looped for good on a raw zero byte, also past its first
            # read, and on a body ending in a cut escape ("%", "%X").
            (b"title=abc\0def", {P: old}, {P: old}),
            (b"title=" + b"x" * 70000 + b"=a\0b", {P: old}, {P: old}),
            (b"title=a%%", {P: old}, {P: old}),
            (b"title=" + b"x" * 9000 + b"%4", {P: old}, {P: old}),
            ([("truename_replacement", None, "1")], {D: None}, {D: "TRUENAME_REPLACEMENT=1"}),
            ([("BANNER", "C:\\x\\b.jpg", image), ("loginUp", "", b""), ("ipadlogo", None, b"no"),
              ("icon", "../my.ico", b"\0ICON"), ("version", None, "v2.1")], {},
             {banner: image, icon: b"\0ICON", version: b"v2.1",
              self.custom / "logoforipad.png": None}),
            ([("banner", "f", os.urandom(6000))], {banner: b"old"}, {banner: b"old"}, b"0", 3000),
            # Passwords reach the script as single arguments; only the letter 0 reboots.
            (pwd("Wr0ng-4711", "abc"), {}, {}, b"2"),
            (pwd(odd, odd), {S: rec(0)}, {A: f"ubuntu\0{odd}\0{odd}\0"}),
            (pwd(fit, fit), {S: rec(0)}, {A: f"ubuntu\0{fit}\0{fit}\0"}),
            # Incomplete, mismatched or too long (100 bytes, or in pieces): the script never runs.
            (pwd("old", "n1", "n2"), *never), (pwd("", "n"), *never),
            (pwd("q" * 100, "b"), *never, b"3"), (pwd("a", "q" * 9000), *never, b"3"),
            # Its letter goes back as it is, kept JSON; no script is the unknown mistake 4.
            (pwd("a", "b"), {S: rec('"x')}, {}, b'\\"'), (pwd("a", "b"), {S: None}, {}, b"4")]
        for fields, before, after, letter, cut in (r + (b"0", None)[len(r) - 3:] for r in rows):
            urlencoded = isinstance(fields, bytes)
            with self.subTest(fields=fields[:20] if urlencoded else [f[2][:20] for f in fields],
                              cut=cut):
                self.setUp()
                A.unlink(missing_ok=True)
                for p, data in before.items():  # the scripts among them run
                    p.unlink() if data is None else (p.write_bytes(enc(data)), p.chmod(0o755))
                self.assertEqual(self.request("POST", "/custom_upload", fields, URLENCODED)
                                 if urlencoded else self.form("/custom_upload", fields, cut),
                                 result(letter))
                self.assertEqual({p: p.read_bytes() if p.exists() else None for p in after},
                                 {p: enc(d) for p, d in after.items()})
                self.assertEqual([n for d in (self.custom, self.webroot, self.classes)
                                  for n in os.listdir(d) if n.startswith(".")], [])  # no temporary
                self.assertNotIn("Wr0ng-4711", self.server.log(self.mark))  # the log is public
                self.assert_outcome(int(letter == b"0"))
        # Saves side by side keep every other line and one posted value each.
        self.setUp()
        P.write_text("language=keep\nwebTitle=Old\nother=keep\n")
        saves = [[(key, None, f"{key[0]}{i}")] for key in ("title", "language") for i in range(4)]
        with ThreadPoolExecutor(len(saves)) as pool:
            replies = list(pool.map(lambda save: self.form("/custom_upload", save), saves))
        self.assertEqual(replies, [result(b"0")] * len(saves))
        self.assertRegex(P.read_text(), r"\Alanguage=l[0-3]\nwebTitle=t[0-3]\nother=keep\Z")
        self.assert_outcome(len(saves))

    def test_export_sends_the_package_the_script_lists_or_500(self):
        script, listed = self.bin / "export_custom.sh", self.root / "tmp/custompath/custom.txt"
        raw, fds = self.request("GET", "/downloadCustom"), self.root / "fds"
        package = Path(listed.read_text().strip().split("=", 1)[1])
        self.assertEqual(raw, download(package.name, package.read_bytes()).replace(
            b"access-control-allow-origin: *\r\n", b""))
        # A stale list, one naming no package, or no script: no 200 head that promises one.
        for text in (f"ls -l /proc/self/fd > {fds}\n", f"echo no-equals-sign > {listed}\n", None):
            with self.subTest(script=text):
                listed.write_text(f"custompath={package}\n")
                script.unlink(missing_ok=True)
                text is None or (script.write_text("#!/bin/sh\n" + text), script.chmod(0o755))
                self.assertEqual(self.request("GET", "/downloadCustom"), ERROR_RSP)
        # A device script holds no descriptor of the server (log, sockets, connection).
        self.assertEqual([fd for fd, target in re.findall(r" (\d+) -> (.*)", fds.read_text())
                          if int(fd) > 2 and not target.startswith("/proc/")], [])

    def test_restore_puts_back_factory_copies_removes_extras_and_reboots(self):
        copies = [("customization/bannerBackup.jpg", "customization/banner.jpg"),
                  ("../../../../../etc/shadow-", "../../../../../etc/shadow")] + [
            (f"{name}.bak", name) for name in ("favicon.ico", "customization/custom.properties",
                                               "WEB-INF/classes/custom_en_US.properties")]
        extras = [self.classes / "userdevice.properties"] + [
            self.custom / n for n in ("customversion", "logoforipad.png", "logoforwindows.png")]
        (self.bin / "clearcustom.sh").unlink()  # without its clean-up script the restore goes on
        for path in extras + [self.webroot / c for _, c in copies]:
            path.write_bytes(b"customized")
        self.assertEqual(self.request("POST", "/custom_restore"), b"")
        self.assertEqual([(self.webroot / c).read_bytes() for _, c in copies],
                         [(self.webroot / b).read_bytes() for b, _ in copies])
        self.assertEqual([p for p in extras if p.exists()], [])
        self.assert_outcome(1)

    def test_static_files_never_served(self):
        secret = "/WEB-INF/classes/server.properties"
        rows = [("PROPFIND", "/", 405), ("PUT", "/index.html", 405),
                # The library once read past its copy of an escaped directory name.
                ("GET", "/%63ivetweb", b"HTTP/1.1 301 Moved Permanently\r\nLocation: /civetweb/"
                                       b"\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")] + [
            ("GET", target, 404) for target in (
                "/" + secret, "/%57EB-INF/classes/server.properties", "/customization/.." + secret,
                "/WEB-INF./classes/server.properties", "/webrun/server.pem",
                "/webrun//%73erver.pem")]
        for method, target, answer in rows:
            with self.subTest(method=method, target=target):
                raw = self.request(method, target)
                self.assertEqual(Response(raw).status if isinstance(answer, int) else raw, answer)
                self.assertNotRegex(raw, b"adminPassWord|PRIVATE KEY")


if __name__ == "__main__":
    unittest.main()
