#!/usr/bin/env python3
"""Firmware upgrade, customization, system password, export and restore, and
the static pages, in a sandbox whose reboot only records the call."""

import os, re, shutil, subprocess, sys, threading, time, unittest  # noqa: E401

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (  # noqa: E402
    ERROR_RSP, JSON_HEAD, OK_RSP, Response, ServerTestCase, build_request, http_raw, multipart_body,
    send_cut)

BOUNDARY = "----kt7MA4YWxkTrZu0gW"
FORM = {"Content-Type": "multipart/form-data; boundary=" + BOUNDARY}
URLENCODED = {"Content-Type": "application/x-www-form-urlencoded"}


def result(letter):
    return JSON_HEAD + b'{"result":"%s"}' % letter


class MaintenanceTest(ServerTestCase):
    @classmethod
    def setUpClass(cls):
        cls.rig = cls.start_class_runs({"main": ((), None)})["main"]
        cls.rig.server.wait_ready([cls.rig.sandbox.http_port])
        sb = cls.rig.sandbox
        cls.root, cls.webroot, cls.custom, cls.classes = sb.root, sb.webroot, sb.webroot / "customization", sb.classes
        cls.bin, cls.pkgdir = sb.root / "usr/local/bin", sb.root / "home/ubuntu/upgradepkg"
        cls.canary, cls.ran_log = sb.root / "canary", sb.root / "ran.log"

    def setUp(self):
        self.mark, self.reboots_before = self.rig.server.log_mark(), self.reboots()
        self.ran_log.unlink(missing_ok=True)

    def reboots(self):
        log = self.rig.sandbox.reboot_log
        return len(log.read_text().splitlines()) if log.exists() else 0

    def assert_outcome(self, reboots, ran=None):
        """Reboots and packages run since setUp; the server still serves and
        ran no command out of a request value."""
        got = (self.ran_log.read_text().split() if self.ran_log.exists() else [],
               self.reboots() - self.reboots_before, self.request("GET", "/getUpgrade"), self.canary.exists())
        self.assertEqual(got, (got[0] if ran is None else ran, reboots, OK_RSP, False))

    def request(self, method, path, body=b"", headers=None, cut=None):
        """The answer to the request; with cut, only that many body bytes go."""
        port = self.rig.sandbox.http_port
        req = build_request(method, path, headers, body, port)
        return http_raw(port, req) if cut is None else send_cut(port, req, len(req) - len(body) + cut)

    def form(self, path, parts, cut=None):
        return self.request("POST", path, multipart_body(parts, BOUNDARY), FORM, cut)

    def keep(self, *paths):
        """Puts each file back as it is now when the test ends."""
        for path in paths:
            saved = (path.read_bytes(), path.stat().st_mode) if path.exists() else None
            self.addCleanup(lambda p=path, s=saved: p.unlink(missing_ok=True) if s is None else (
                p.write_bytes(s[0]), p.chmod(s[1] & 0o7777)))

    def script(self, path, text):
        """Replaces a device script by text (None: removes it)."""
        path.unlink(missing_ok=True)
        text is None or (path.write_text("#!/bin/sh\n" + text), path.chmod(0o755))

    def test_upgrade_answers_then_runs_the_command_package_first_and_reboots_only_on_success(self):
        def pkg(name, padding=0):
            return f"#!/bin/sh\necho {name} >> {self.ran_log}\n".encode() + b"#" * padding
        big = [("ktcmd", "k", pkg("ktcmd")), ("web", "w", pkg("web", 5000))]
        size = len(multipart_body(big, BOUNDARY))
        chunked = dict(URLENCODED, **{"Transfer-Encoding": "chunked"})
        rows = [  # (request, answer, packages run); client file names never choose the path
            (lambda: self.form("/upgrade", [("Web", "../../w", pkg("web")), ("KTCMD", "/k", pkg("ktcmd"))]),
             OK_RSP, ["ktcmd", "web"]),
            (lambda: self.form("/upgrade", [("web", "w", pkg("web"))]), OK_RSP, ["web"]),
            # An unexpected field ends the form; the package before it runs.
            (lambda: self.form("/upgrade", [("ktcmd", "k", pkg("ktcmd")), ("x", "f", b"x"), ("web", "w", pkg("web"))]),
             OK_RSP, ["ktcmd"]),
            (lambda: self.form("/upgrade", [("web", "", b""), ("ktcmd", "", b"")]), OK_RSP, []),
            (lambda: self.request("POST", "/upgrade"), ERROR_RSP, None),
            (lambda: self.form("/upgrade", big, size - 2000), ERROR_RSP, None),
            (lambda: self.form("/upgrade", big, size - 4), ERROR_RSP, None),
            # The form reader once looped for good on a raw zero byte, and a
            # chunk size beyond the body counter overflowed it.
            (lambda: self.request("POST", "/upgrade", b"web=a\0b", URLENCODED), ERROR_RSP, None),
            (lambda: self.request("POST", "/upgrade", b"7fffffffffffffff\r\nweb=1", chunked), ERROR_RSP, None)]
        if os.geteuid() == 0 and shutil.which("mount"):  # a package the disk cannot hold
            rows.append((lambda: self.on_a_full_disk(lambda: self.form("/upgrade", big[:1] + [
                ("web", "w", pkg("web", 2 << 20))])), ERROR_RSP, None))
        for send, answer, ran in rows:
            with self.subTest(row=rows.index((send, answer, ran))):
                self.setUp()
                (self.pkgdir / "ktcmd.bin").write_bytes(pkg("old"))  # earlier packages never run again
                self.assertEqual(send(), answer)
                self.assertEqual(sorted(os.listdir(self.pkgdir)), sorted(f"{p}.bin" for p in ran or []))
                log = self.rig.server.log(self.mark)
                if ran:  # the client has its answer before the device goes down
                    self.assertLess(log.index("send ok rsp"), log.index("finish"))
                self.assert_outcome(0 if ran is None else 1, ran or [])

    def on_a_full_disk(self, send):
        (self.pkgdir / "ktcmd.bin").unlink()  # hidden by the mount otherwise
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(self.pkgdir)], check=True)
        try:
            return send()
        finally:
            subprocess.run(["umount", str(self.pkgdir)], check=True)

    def test_customization_stores_values_and_files_whole_or_not_at_all(self):
        P, L = self.custom / "custom.properties", self.classes / "custom_en_US.properties"
        D, banner, icon, version = (self.classes / "userdevice.properties", self.custom / "banner.jpg",
                                    self.webroot / "favicon.ico", self.custom / "customversion")
        self.keep(P, L, D, banner, icon, version, self.custom / "logoforipad.png")
        v = f"a'b\"c/d&e\\f\\n $(touch {self.canary}) `touch {self.canary}`; touch {self.canary} | %s \u00e9"
        old, image = "webTitle=Old\nlanguage=en\n", bytes(range(256)) * 40 + b"\r\n--" + BOUNDARY[:-1].encode()
        rows = [  # (form fields or URL-encoded body, files before, files after, body bytes sent)
            ([("title", None, "New")], {P: "language=en\nwebTitle=Old\n"}, {P: "language=en\nwebTitle=New"}, None),
            ([("title", None, "New")], {P: "language=en"}, {P: "language=en"}, None),
            ([("language", None, "de"), ("login_title", None, "Hi")],
             {P: "webTitle=T\nlanguage=en\nlanguages=k\n", L: "login_title=Old\nlogin_title_x=k\n"},
             {P: "webTitle=T\nlanguage=de\nlanguages=k\n", L: "login_title=Hi\nlogin_title_x=k\n"}, None),
            ([("title", None, v), ("login_title", None, v), ("language", None, v), ("truename_replacement", None, v)],
             {P: "language=en\nwebTitle=Old\n", L: "login_title=Old\n", D: "TRUENAME_REPLACEMENT=0\n"},
             {P: f"language={v}\nwebTitle={v}", L: f"login_title={v}\n", D: f"TRUENAME_REPLACEMENT={v}"}, None),
            ([("title", None, "a\r\nlanguage=xx"), ("language", None, "b\nc")], {P: old}, {P: old}, None),
            ([("language", None, "x" * 20000), ("title", None, "Short")], {P: old}, {P: "webTitle=Short\nlanguage=en"}, None),
            ([("language", None, "fr"), ("colour", None, "red"), ("title", None, "no")], {P: old},
             {P: "webTitle=Old\nlanguage=fr\n"}, None),
            ([("truename_replacement", None, "1")], {D: None}, {D: "TRUENAME_REPLACEMENT=1"}, None),
            # The form reader once looped for good on a raw zero byte, also past its first read.
            (b"title=abc\0def", {P: old}, {P: old}, None), (b"title=" + b"x" * 70000 + b"=a\0b", {P: old}, {P: old}, None),
            ([("BANNER", "C:\\x\\b.jpg", image), ("loginUp", "", b""), ("ipadlogo", None, b"no name"),
              ("icon", "../my.ico", b"\0ICON"), ("version", None, "v2.1")], {},
             {banner: image, icon: b"\0ICON", version: b"v2.1", self.custom / "logoforipad.png": None}, None)] + [
            ([(f, "f", os.urandom(6000))], {p: b"old"}, {p: b"old"}, 3000) for f, p in
            (("banner", banner), ("icon", icon), ("version", version))]
        for fields, before, after, cut in rows:
            with self.subTest(fields=fields[:20] if isinstance(fields, bytes) else [f[0] for f in fields], cut=cut):
                self.setUp()
                for path, data in before.items():
                    path.unlink(missing_ok=True) if data is None else path.write_bytes(
                        data.encode() if isinstance(data, str) else data)
                answer = (self.request("POST", "/custom_upload", fields, URLENCODED) if isinstance(fields, bytes)
                          else self.form("/custom_upload", fields, cut))
                self.assertEqual(answer, result(b"0"))
                self.assertEqual({p: p.read_bytes() if p.exists() else None for p in after},
                                 {p: d.encode() if isinstance(d, str) else d for p, d in after.items()})
                # No temporary is left behind.
                self.assertEqual([n for d in (self.custom, self.webroot, self.classes) for n in os.listdir(d)
                                  if n.startswith(".")], [])
                self.assert_outcome(1)
        # Saves side by side keep every other line and one posted value each.
        self.setUp()
        P.write_text("language=keep\nwebTitle=Old\nother=keep\n")
        saves, replies = [("title", f"T{i}") for i in range(4)] + [("language", f"L{i}") for i in range(4)], []
        threads = [threading.Thread(target=lambda s=s: replies.append(self.form("/custom_upload", [
            (s[0], None, s[1])]))) for s in saves]
        [t.start() for t in threads] and [t.join(30) for t in threads]
        self.assertEqual(replies, [result(b"0")] * len(saves))
        self.assertRegex(P.read_text(), r"\Alanguage=L[0-3]\nwebTitle=T[0-3]\nother=keep\Z")
        self.assert_outcome(len(saves))

    def test_password_change_gives_the_script_each_password_as_one_argument(self):
        script, args = self.bin / "changepasswd.sh", self.root / "pwd-args"
        self.keep(script, self.root / "etc/shadow")
        rec = f"printf '%s\\0' \"$@\" > {args}\nprintf '%s' '{{}}'\n"
        odd, fit = f"o'ld $(touch {self.canary}) \\ `id` *; touch {self.canary}", "p" * 99
        rows = [  # (old, new, repeat, script (None: the device's), reply, arguments given, reboots)
            ("ubuntu123", "n3w pass'\"$HOME", "n3w pass'\"$HOME", None, b"0", None, 1),
            ("Wr0ng-4711", "abc", "abc", None, b"2", None, 0),
            (odd, odd, odd, rec.format(0), b"0", ["ubuntu", odd, odd], 1), (fit, fit, fit, rec.format(0), b"0", ["ubuntu", fit, fit], 1),
            # Incomplete or mismatched: the script never runs, the device reboots all the same.
            ("old", "n1", "n2", rec.format(0), b"0", [], 1), ("", "n", "n", rec.format(0), b"0", [], 1),
            ("q" * 100, "b", "b", rec.format(0), b"3", [], 0), ("a", "q" * 9000, "q" * 9000, rec.format(0), b"3", [], 0),
            # Its letter goes back as it is, kept JSON; none at all is the unknown mistake 4.
            ("a", "b", "b", rec.format("x-ray"), b"x", None, 0), ("a", "b", "b", rec.format('"'), b'\\"', None, 0),
            ("a", "b", "b", rec.format(""), b"4", None, 0), ("a", "b", "b", "exit 1\n", b"4", None, 0),
            ("a", "b", "b", "", b"4", None, 0)]
        for old, new, repeat, text, reply, argv, reboots in rows:
            with self.subTest(old=old[:20], new=new[:20], script=text):
                self.setUp()
                args.unlink(missing_ok=True)
                text is None or self.script(script, text or None)
                self.assertEqual(self.form("/custom_upload", [
                    ("sys_oldPwd", None, old), ("sys_newPwd", None, new), ("sys_repeatPwd", None, repeat)]), result(reply))
                if argv is not None:
                    self.assertEqual(args.read_bytes().split(b"\0")[:-1] if args.exists() else [], [a.encode() for a in argv])
                self.assertNotIn("Wr0ng-4711", self.rig.server.log(self.mark))  # the log is served to anyone
                self.assert_outcome(reboots)

    def test_export_sends_the_package_the_script_lists_or_500(self):
        script, listed, fds = self.bin / "export_custom.sh", self.root / "tmp/custompath/custom.txt", self.root / "fds"
        self.keep(script)
        raw = self.request("GET", "/downloadCustom")
        package = listed.read_text().strip().split("=", 1)[1]
        head = ("HTTP/1.1 200 OK\r\nServer: Apache-Coyote/1.1\r\nContent-Disposition: attachment;filename="
                f'"{os.path.basename(package)}"\r\nContent-Type: application/octet-stream\r\n'
                "Transfer-Encoding: chunked\r\n\r\n").encode()
        with open(package, "rb") as f:
            self.assertEqual((raw[:len(head)], Response(raw).body), (head, f.read()))
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
                  ("customization/custom.properties.bak", "customization/custom.properties"),
                  ("WEB-INF/classes/custom_en_US.properties.bak", "WEB-INF/classes/custom_en_US.properties"),
                  ("favicon.ico.bak", "favicon.ico"), ("../../../../../etc/shadow-", "../../../../../etc/shadow")]
        extras = [self.custom / n for n in ("customversion", "logoforipad.png", "logoforwindows.png")] + [
            self.classes / "userdevice.properties"]
        self.keep(self.bin / "clearcustom.sh", *extras, *(self.webroot / c for _, c in copies))
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
        index, favicon = self.webroot / "index.html", self.webroot / "favicon.ico"
        self.keep(index, favicon)
        later = time.mktime((2040, 1, 1, 0, 0, 0, 0, 0, -1))  # beyond a 32-bit time_t
        [os.utime(f, (later, later)) for f in (index, favicon)]
        page = b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\nContent-Length: %d\r\n" \
               b"Accept-Ranges: bytes\r\n\r\n%s\r\n"
        rows = [("GET", "/login?lang=en", page % (index.stat().st_size, index.read_bytes())),
                ("POST", "/custom", page % ((self.webroot / "custom.html").stat().st_size,
                                            (self.webroot / "custom.html").read_bytes())),
                ("GET", "/favicon.ico", 200), ("HEAD", "/index.html", 200), ("PUT", "/index.html", 405),
                ("DELETE", "/index.html", 405), ("PROPFIND", "/", 405),
                # The library once read past its copy of an escaped directory name.
                ("GET", "/%63ivetweb", b"HTTP/1.1 301 Moved Permanently\r\nLocation: /civetweb/\r\n"
                                       b"Content-Length: 0\r\nConnection: close\r\n\r\n")] + [
            ("GET", target, 404) for target in (
                "/WEB-INF/classes/server.properties", "//WEB-INF/classes/server.properties",
                "/%57EB-INF/classes/server.properties", "/customization/../WEB-INF/classes/server.properties",
                "/WEB-INF./classes/server.properties", "/webrun/server.pem", "/webrun//%73erver.pem")]
        for method, target, answer in rows:
            with self.subTest(method=method, target=target):
                raw = self.request(method, target, b"a=b" if method == "POST" else b"")
                if isinstance(answer, int):
                    self.assertEqual(Response(raw).status, answer, raw[:200])
                    self.assertNotRegex(raw, b"adminPassWord|PRIVATE KEY")
                else:
                    self.assertEqual(raw, answer)
        index.unlink()  # a missing start page: no bytes and no fallback
        self.assertEqual(self.request("GET", "/login"), b"")


if __name__ == "__main__":
    unittest.main()
