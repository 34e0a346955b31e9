#!/usr/bin/env python3
"""Upgrade, customization, system password, export, restore, static pages; the sandbox's
reboot only records."""

import os, re, shutil, subprocess, sys, time, unittest  # noqa: E401
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (  # noqa: E402
    BOUNDARY, ERROR_RSP, JSON_HEAD, OK_RSP, DeviceCase, Response, Sandbox, multipart_body)

URLENCODED = {"Content-Type": "application/x-www-form-urlencoded"}


def result(letter):
    return JSON_HEAD + b'{"result":"%s"}' % letter


class MaintenanceTest(DeviceCase):
    restored = ("etc", "usr", Sandbox.TOMCAT + "/webapps")

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        root = cls.root = cls.sb.root
        cls.webroot, cls.custom, cls.classes = cls.sb.webroot, cls.sb.webroot / "customization", \
            cls.sb.classes
        cls.bin, cls.pkgdir = root / "usr/local/bin", root / "home/ubuntu/upgradepkg"
        cls.canary, cls.ran = root / "canary", root / "ran.log"

    def setUp(self):
        super().setUp()
        self.reboots_before = self.reboots()
        self.ran.unlink(missing_ok=True)

    def reboots(self):
        log = self.sb.reboot_log
        return len(log.read_text().splitlines()) if log.exists() else 0

    def assert_outcome(self, reboots, ran=None):
        """Reboots and packages run since setUp; no command ran out of a request
        value; it still serves."""
        got = (self.ran.read_text().split() if self.ran.exists() else [],
               self.reboots() - self.reboots_before, self.canary.exists(),
               self.request("GET", "/getUpgrade"))
        self.assertEqual(got, (got[0] if ran is None else ran, reboots, False, OK_RSP))

    def script(self, path, text):
        """Replaces a device script by text (None: removes it)."""
        path.unlink(missing_ok=True)
        text is None or (path.write_text("#!/bin/sh\n" + text), path.chmod(0o755))

    def test_upgrade_answers_then_runs_the_command_package_first_and_reboots_only_on_success(self):
        def pkg(name, padding=0):
            return f"#!/bin/sh\necho {name} >> {self.ran}\n".encode() + b"#" * padding
        big = [("ktcmd", "k", pkg("ktcmd")), ("web", "w", pkg("web", 5000))]
        size = len(multipart_body(big, BOUNDARY))
        chunked = {**URLENCODED, "Transfer-Encoding": "chunked"}
        rows = [  # (fields or (body, headers), body bytes sent, packages run; None: the 500 answer)
            ([("Web", "../../w", pkg("web")), ("KTCMD", "/k", pkg("ktcmd"))], None, ["ktcmd", "web"]),
            ([("web", "w", pkg("web"))], None, ["web"]),  # client file names never choose the path
            ([("ktcmd", "k", pkg("ktcmd")), ("x", "f", b"x"), ("web", "w", pkg("web"))], None,
             ["ktcmd"]), ([("web", "", b""), ("ktcmd", "", b"")], None, []),
            ((b"", None), None, None), (big, size - 2000, None), (big, size - 4, None),
            # The form reader once looped for good on a raw zero byte; a huge chunk size
            # overflowed its counter.
            ((b"web=a\0b", URLENCODED), None, None),
            ((b"7fffffffffffffff\r\nweb=1", chunked), None, None)]
        if os.geteuid() == 0 and shutil.which("mount"):  # a package the disk cannot hold
            rows.append(([big[0], ("web", "w", pkg("web", 2 << 20))], "full disk", None))
        for fields, cut, ran in rows:
            with self.subTest(row=rows.index((fields, cut, ran))):
                self.setUp()
                old = self.pkgdir / "ktcmd.bin"
                old.write_bytes(pkg("old"))  # an earlier upgrade's never runs again
                if cut == "full disk":
                    old.unlink()  # hidden by the mount otherwise
                    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs",
                                    str(self.pkgdir)], check=True)
                    self.addCleanup(subprocess.run, ["umount", str(self.pkgdir)], check=True)
                answer = (self.request("POST", "/upgrade", *fields) if isinstance(fields, tuple)
                          else self.form("/upgrade", fields, None if cut == "full disk" else cut))
                self.assertEqual((answer, sorted(os.listdir(self.pkgdir))),
                                 (ERROR_RSP if ran is None else OK_RSP,
                                  sorted(f"{p}.bin" for p in ran or [])))
                if ran:  # the client has its answer before the device goes down
                    log = self.server.log(self.mark)
                    self.assertLess(log.index("send ok rsp"), log.index("finish"))
                self.assert_outcome(0 if ran is None else 1, ran or [])

    def test_custom_info_members_in_name_order_values_cut_at_equals(self):
        files = self.custom / "custom.properties", self.classes / "custom_en_US.properties"
        files[0].write_text("webTitle=My=Title\nlanguage=zh\n")
        files[1].write_text('login_title=Hello "you"\n')
        for doc in (b'{"language":"zh","login_title":"Hello \\"you\\"","web_title":"My"}\n',
                    b'{"language":"","login_title":"","web_title":""}\n'):
            self.assertEqual(self.request("GET", "/get_custom_info"), JSON_HEAD + doc)
            [p.unlink(missing_ok=True) for p in files]

    def test_customization_and_password_change_store_values_and_files_whole_or_not_at_all(self):
        P, L = self.custom / "custom.properties", self.classes / "custom_en_US.properties"
        D, banner = self.classes / "userdevice.properties", self.custom / "banner.jpg"
        icon, version = self.webroot / "favicon.ico", self.custom / "customversion"
        S, A = self.bin / "changepasswd.sh", self.root / "pwd-args"  # the script, its arguments
        touch = f"touch {self.canary}"
        v = f"a'b\"c/d&e\\f\\n $({touch}) `{touch}`; {touch} | %s \u00e9"
        old = "webTitle=Old\nlanguage=en\n"
        image = bytes(range(256)) * 40 + b"\r\n--" + BOUNDARY[:-1].encode()

        def pwd(old, new, repeat=None):
            return [("sys_oldPwd", None, old), ("sys_newPwd", None, new),
                    ("sys_repeatPwd", None, repeat or new)]

        def rec(letter):  # a password script that records its arguments and prints the letter
            return f"#!/bin/sh\nprintf '%s\\0' \"$@\" > {A}\nprintf '%s' '{letter}'\n"
        fit, odd = "p" * 99, f"o'ld $({touch}) \\ `id` *; {touch}"
        rows = [  # (form fields or URL-encoded body, files before, after, reply letter, bytes sent)
            ([("title", None, "New")], {P: "language=en\nwebTitle=Old\n"},
             {P: "language=en\nwebTitle=New"}),
            ([("language", None, "de"), ("login_title", None, "Hi")],
             {P: "webTitle=T\nlanguage=en\nlanguages=k\n", L: "login_title=Old\nlogin_title_x=k\n"},
             {P: "webTitle=T\nlanguage=de\nlanguages=k\n", L: "login_title=Hi\nlogin_title_x=k\n"}),
            ([(name, None, v) for name in ("title", "login_title", "language",
                                            "truename_replacement")],
             {P: "language=en\nwebTitle=Old\n", L: "login_title=Old\n", D: "TRUENAME_REPLACEMENT=0\n"},
             {P: f"language={v}\nwebTitle={v}", L: f"login_title={v}\n",
              D: f"TRUENAME_REPLACEMENT={v}"}),
            ([("title", None, "a\r\nlanguage=xx"), ("language", None, "b\nc")], {P: old}, {P: old}),
            ([("language", None, "x" * 20000), ("title", None, "Short")], {P: old},
             {P: "webTitle=Short\nlanguage=en"}),
            ([("language", None, "fr"), ("colour", None, "red"), ("title", None, "no")], {P: old},
             {P: "webTitle=Old\nlanguage=fr\n"}),
            # The form reader once looped for good on a raw zero byte, also past its first read.
            (b"title=abc\0def", {P: old}, {P: old}),
            (b"title=" + b"x" * 70000 + b"=a\0b", {P: old}, {P: old}),
            ([("truename_replacement", None, "1")], {D: None}, {D: "TRUENAME_REPLACEMENT=1"}),
            ([("BANNER", "C:\\x\\b.jpg", image), ("loginUp", "", b""), ("ipadlogo", None, b"no"),
              ("icon", "../my.ico", b"\0ICON"), ("version", None, "v2.1")], {},
             {banner: image, icon: b"\0ICON", version: b"v2.1",
              self.custom / "logoforipad.png": None})] + [
            ([(f, "f", os.urandom(6000))], {p: b"old"}, {p: b"old"}, b"0", 3000) for f, p in
            (("banner", banner), ("icon", icon), ("version", version))] + [
            # Passwords reach the script as single arguments; only the letter 0 reboots.
            (pwd("ubuntu123", "n3w pass'\"$HOME"), {}, {}), (pwd("Wr0ng-4711", "abc"), {}, {}, b"2"),
            (pwd(odd, odd), {S: rec(0)}, {A: f"ubuntu\0{odd}\0{odd}\0"}),
            (pwd(fit, fit), {S: rec(0)}, {A: f"ubuntu\0{fit}\0{fit}\0"}),
            # Incomplete, mismatched or too long (100 bytes, or in pieces): the script never runs.
            (pwd("old", "n1", "n2"), {S: rec(0)}, {A: None}), (pwd("", "n"), {S: rec(0)}, {A: None}),
            (pwd("q" * 100, "b"), {S: rec(0)}, {A: None}, b"3"),
            (pwd("a", "q" * 9000), {S: rec(0)}, {A: None}, b"3"),
            # Its letter goes back as it is, kept JSON; none (or no script) is the unknown mistake 4.
            (pwd("a", "b"), {S: rec('"x')}, {}, b'\\"'), (pwd("a", "b"), {S: rec("")}, {}, b"4"),
            (pwd("a", "b"), {S: None}, {}, b"4")]
        for fields, before, after, letter, cut in (row + (b"0", None)[len(row) - 3:] for row in rows):
            urlencoded = isinstance(fields, bytes)
            with self.subTest(fields=fields[:20] if urlencoded else [f[2][:20] for f in fields],
                              cut=cut):
                self.setUp()
                A.unlink(missing_ok=True)
                for path, data in before.items():
                    path.unlink() if data is None else \
                        path.write_bytes(data.encode() if isinstance(data, str) else data)
                    data and data[:2] in ("#!", b"#!") and path.chmod(0o755)
                self.assertEqual(self.request("POST", "/custom_upload", fields, URLENCODED)
                                 if urlencoded else self.form("/custom_upload", fields, cut),
                                 result(letter))
                self.assertEqual({p: p.read_bytes() if p.exists() else None for p in after},
                                 {p: d.encode() if isinstance(d, str) else d
                                  for p, d in after.items()})
                self.assertEqual([n for d in (self.custom, self.webroot, self.classes)
                                  for n in os.listdir(d) if n.startswith(".")], [])  # no temporary
                self.assertNotIn("Wr0ng-4711", self.server.log(self.mark))  # the log is public
                self.assert_outcome(int(letter == b"0"))
        # Saves side by side keep every other line and one posted value each.
        self.setUp()
        P.write_text("language=keep\nwebTitle=Old\nother=keep\n")
        saves = [[("title", None, f"T{i}")] for i in range(4)] + [
            [("language", None, f"L{i}")] for i in range(4)]
        with ThreadPoolExecutor(len(saves)) as pool:
            replies = list(pool.map(lambda save: self.form("/custom_upload", save), saves))
        self.assertEqual(replies, [result(b"0")] * len(saves))
        self.assertRegex(P.read_text(), r"\Alanguage=L[0-3]\nwebTitle=T[0-3]\nother=keep\Z")
        self.assert_outcome(len(saves))

    def test_export_sends_the_package_the_script_lists_or_500(self):
        script, listed = self.bin / "export_custom.sh", self.root / "tmp/custompath/custom.txt"
        raw, fds = self.request("GET", "/downloadCustom"), self.root / "fds"
        package = Path(listed.read_text().strip().split("=", 1)[1])
        head = ("HTTP/1.1 200 OK\r\nServer: Apache-Coyote/1.1\r\nContent-Disposition: attachment;"
                f'filename="{package.name}"\r\nContent-Type: application/octet-stream\r\n'
                "Transfer-Encoding: chunked\r\n\r\n")
        self.assertEqual((raw[:len(head)], Response(raw).body), (head.encode(), package.read_bytes()))
        # A stale list, one naming no package, or no script: no 200 head that promises one.
        for text in (f"ls -l /proc/self/fd > {fds}\n", f"echo no-equals-sign > {listed}\n", None):
            with self.subTest(script=text):
                listed.write_text(f"custompath={package}\n")
                self.script(script, text)
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
        for present in (True, False):  # without its clean-up script the restore goes on
            with self.subTest(clearcustom=present):
                self.setUp()
                present or self.script(self.bin / "clearcustom.sh", None)
                for path in extras + [self.webroot / c for _, c in copies]:
                    path.write_bytes(b"customized")
                self.assertEqual(self.request("POST", "/custom_restore"), b"")
                self.assertEqual([(self.webroot / c).read_bytes() for _, c in copies],
                                 [(self.webroot / b).read_bytes() for b, _ in copies])
                self.assertEqual([p for p in extras if p.exists()], [])
                self.assert_outcome(1)

    def test_static_pages_and_files_never_served(self):
        later = time.mktime((2040, 1, 1, 0, 0, 0, 0, 0, -1))  # beyond a 32-bit time_t
        os.utime(self.webroot / "index.html", (later, later))
        secret = "/WEB-INF/classes/server.properties"
        rows = [("GET", "/index.html", 200), ("PUT", "/index.html", 405), ("PROPFIND", "/", 405),
                # The library once read past its copy of an escaped directory name.
                ("GET", "/%63ivetweb", b"HTTP/1.1 301 Moved Permanently\r\nLocation: /civetweb/"
                                       b"\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")] + [
            ("GET", target, 404) for target in (
                secret, "/" + secret, "/%57EB-INF/classes/server.properties",
                "/customization/.." + secret, "/WEB-INF./classes/server.properties",
                "/webrun/server.pem", "/webrun//%73erver.pem")]
        for method, target, answer in rows:
            with self.subTest(method=method, target=target):
                raw = self.request(method, target)
                if isinstance(answer, int):
                    self.assertEqual(Response(raw).status, answer, raw[:200])
                    self.assertNotRegex(raw, b"adminPassWord|PRIVATE KEY")
                else:
                    self.assertEqual(raw, answer)


if __name__ == "__main__":
    unittest.main()
