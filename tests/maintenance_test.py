#!/usr/bin/env python3
"""Maintenance API end to end: firmware upgrade, web customization with the
system password change, export and restore, and the static pages. Each
class runs one server in a sandbox device tree; reboot there only records
the call in reboot.log. Run with `python3 tests/maintenance_test.py`
(KT_BUILD_DIR selects the build folder)."""

import os
import re
import stat
import subprocess
import sys
import threading
import time
import unittest
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import ERROR_RSP, JSON_HEAD, OK_RSP, multipart_body, ServerTestCase, build_request, http_raw, send_cut, Response  # noqa: E402

BOUNDARY = b"----kt7MA4YWxkTrZu0gW"
INITIAL_PASSWORD = "ubuntu123"


def write_script(path, text):
    path.write_text("#!/bin/sh\n" + text)
    path.chmod(0o755)


class MaintenanceCase(ServerTestCase):
    @classmethod
    def setUpClass(cls):
        cls.rig = cls.start_class_runs({"main": ((), None)})["main"]
        cls.rig.server.wait_ready([cls.rig.sandbox.http_port])
        sb = cls.rig.sandbox
        cls.root = sb.root
        cls.webroot = sb.webroot
        cls.custom = sb.webroot / "customization"
        cls.classes = sb.classes
        cls.bin = sb.root / "usr/local/bin"
        cls.pkgdir = sb.root / "home/ubuntu/upgradepkg"

    def setUp(self):
        self.mark = self.rig.server.log_mark()
        self.reboots_before = self.reboots()
        self.canary = self.root / "canary"

    def reboots(self):
        try:
            return len(self.rig.sandbox.reboot_log.read_text().splitlines())
        except FileNotFoundError:
            return 0

    def assertRebooted(self, times=1):
        self.assertEqual(self.reboots() - self.reboots_before, times, self.log())

    def log(self):
        return self.rig.server.log(self.mark)

    def raw(self, method, path, body=b"", headers=None):
        headers = dict(headers or {})
        return http_raw(self.rig.sandbox.http_port,
                        build_request(method, path, headers, body, self.rig.sandbox.http_port))

    def post_form(self, path, parts):
        return self.raw("POST", path, multipart_body(parts, BOUNDARY),
                        {"Content-Type": "multipart/form-data; boundary=" + BOUNDARY.decode()})

    def cut_form(self, path, parts, cut):
        """Posts the form of parts but sends only cut(body) bytes of its body
        (the length announced is the whole body's); the server's answer."""
        body = multipart_body(parts, BOUNDARY)
        request = build_request("POST", path, {
            "Content-Type": "multipart/form-data; boundary=" + BOUNDARY.decode()}, body,
            self.rig.sandbox.http_port)
        return send_cut(self.rig.sandbox.http_port, request, len(request) - len(body) + cut(body))

    def keep_file(self, path):
        """Puts path back as it is now when the test ends."""
        data = path.read_bytes() if path.exists() else None
        mode = path.stat().st_mode if path.exists() else None

        def restore():
            if data is None:
                path.unlink(missing_ok=True)
            else:
                path.write_bytes(data)
                path.chmod(stat.S_IMODE(mode))
        self.addCleanup(restore)


# ---------------------------------------------------------------------------
# Firmware upgrade
# ---------------------------------------------------------------------------

class UpgradeTest(MaintenanceCase):
    """Packages are stored, made executable and run, command package first;
    the client has its OK before they run; the device then reboots."""

    def package(self, name):
        ran = self.root / "ran.log"
        return (b"#!/bin/sh\necho " + name.encode() + b" >> " + str(ran).encode() + b"\n")

    def ran(self):
        try:
            return (self.root / "ran.log").read_text().split()
        except FileNotFoundError:
            return []

    def setUp(self):
        super().setUp()
        (self.root / "ran.log").unlink(missing_ok=True)

    def test_both_packages_run_command_package_first_and_old_packages_go(self):
        stale = self.pkgdir / "stale.bin"
        stale.write_bytes(b"#!/bin/sh\n")
        # Field names match in any case.
        raw = self.post_form("/upgrade", [("Web", "w.bin", self.package("web")),
                                          ("KTCMD", "k.bin", self.package("ktcmd"))])
        self.assertEqual(raw, OK_RSP)
        self.assertEqual(self.ran(), ["ktcmd", "web"])
        self.assertFalse(stale.exists())
        for name in ("web.bin", "ktcmd.bin"):
            self.assertTrue(os.access(self.pkgdir / name, os.X_OK))
        log = self.log()
        self.assertLess(log.index("Rezudezi : send ok rsp"), log.index("ktcmd.bin finish"))
        self.assertLess(log.index("web.bin finish"), log.index("Rezudezi : REBOOT"))
        self.assertRegex(log, r"field_stored path \S+/web.bin  file_size  \d+  time \[-?\d+\]ms")
        self.assertRebooted()

    def test_only_the_web_package_warns_for_the_command_package_and_reboots(self):
        raw = self.post_form("/upgrade", [("web", "web.bin", self.package("web"))])
        self.assertEqual(raw, OK_RSP)
        self.assertEqual(self.ran(), ["web"])
        self.assertIn(f"[WARN] WARING file [{self.pkgdir}/ktcmd.bin]! not exist", self.log())
        self.assertNotIn("ktcmd.bin finish", self.log())
        self.assertRebooted()

    def test_unexpected_field_stops_reception_but_earlier_package_runs(self):
        raw = self.post_form("/upgrade", [("ktcmd", "k", self.package("ktcmd")),
                                          ("firmware", "f", b"x"),
                                          ("web", "w", self.package("web"))])
        self.assertEqual(raw, OK_RSP)
        self.assertEqual(self.ran(), ["ktcmd"])
        self.assertFalse((self.pkgdir / "web.bin").exists())
        self.assertRebooted()

    def test_empty_file_inputs_run_nothing_and_still_reboot(self):
        raw = self.post_form("/upgrade", [("web", "", b""), ("ktcmd", "", b"")])
        self.assertEqual(raw, OK_RSP)
        self.assertEqual(self.ran(), [])
        self.assertRebooted()

    def test_post_without_body_is_500_and_the_device_keeps_running(self):
        (self.pkgdir / "ktcmd.bin").write_bytes(self.package("ktcmd"))
        self.assertEqual(self.raw("POST", "/upgrade"), ERROR_RSP)
        self.assertIn("[ERROR] ret : -1", self.log())
        self.assertEqual(self.ran(), [])
        self.assertFalse((self.pkgdir / "ktcmd.bin").exists())
        self.assertRebooted(0)

    def test_half_an_upgrade_never_runs_and_leaves_no_file_behind(self):
        parts = [("ktcmd", "k.bin", self.package("ktcmd")),
                 ("web", "w.bin", self.package("web") + b"#" * 5000)]
        for case, cut in (("cut in the second package", lambda body: len(body) - 2000),
                          ("all but the form's end", lambda body: len(body) - 4)):
            with self.subTest(case=case):
                self.mark = self.rig.server.log_mark()
                self.assertEqual(self.cut_form("/upgrade", parts, cut), ERROR_RSP)
                self.assertIn("[ERROR] ret : -1", self.log())
                self.assertEqual(self.ran(), [])
                self.assertEqual(os.listdir(self.pkgdir), [])
                self.assertRebooted(0)

    def test_get_upgrade_answers_ok_to_get_and_post_and_does_nothing_else(self):
        self.assertEqual(self.raw("GET", "/getUpgrade?x=1"), OK_RSP)
        self.assertEqual(self.raw("POST", "/getUpgrade", b"web=1"), OK_RSP)
        self.assertRebooted(0)


# ---------------------------------------------------------------------------
# Customization
# ---------------------------------------------------------------------------

class CustomizationTest(MaintenanceCase):
    """Titles, language, images and version of the customization form."""

    def setUp(self):
        super().setUp()
        for path in (self.custom / "custom.properties", self.classes / "custom_en_US.properties",
                     self.classes / "userdevice.properties", self.webroot / "favicon.ico",
                     self.custom / "banner.jpg", self.custom / "loginUp.jpg",
                     self.custom / "customversion"):
            self.keep_file(path)
        self.props = self.custom / "custom.properties"
        self.login_props = self.classes / "custom_en_US.properties"
        self.device_props = self.classes / "userdevice.properties"

    def upload(self, parts):
        raw = self.post_form("/custom_upload", parts)
        self.assertTrue(raw.startswith(JSON_HEAD), raw)
        return raw[len(JSON_HEAD):]

    def custom_info(self):
        raw = self.raw("GET", "/get_custom_info")
        self.assertTrue(raw.startswith(JSON_HEAD), raw)
        return raw[len(JSON_HEAD):]

    def test_custom_info_members_in_name_order_and_values_cut_at_equals(self):
        self.props.write_text("webTitle=My=Title\nlanguage=zh\n")
        self.login_props.write_text("login_title=Hello \"you\"\n")
        self.assertEqual(self.custom_info(),
                         b'{"language":"zh","login_title":"Hello \\"you\\"","web_title":"My"}\n')

    def test_custom_info_with_missing_files_gives_empty_strings(self):
        self.props.unlink()
        self.login_props.unlink()
        self.assertEqual(self.custom_info(),
                         b'{"language":"","login_title":"","web_title":""}\n')

    def test_title_upload_leaves_the_file_without_final_line_feed(self):
        self.props.write_text("language=en\nwebTitle=Old\n")
        self.assertEqual(self.upload([("title", None, "New Title")]), b'{"result":"0"}')
        self.assertEqual(self.props.read_bytes(), b"language=en\nwebTitle=New Title")
        self.assertRebooted()

    def test_title_upload_without_webtitle_line_leaves_the_file_alone(self):
        self.props.write_text("language=en")
        self.upload([("title", None, "New")])
        self.assertEqual(self.props.read_bytes(), b"language=en")
        self.assertIn(b'"web_title":""', self.custom_info())

    def test_language_and_login_title_replace_only_their_lines(self):
        self.props.write_text("webTitle=T\nlanguage=en\nlanguages=keep\n")
        self.login_props.write_text("login_title=Old\nlogin_title_x=keep\n")
        self.upload([("language", None, "de"), ("login_title", None, "Willkommen")])
        self.assertEqual(self.props.read_text(), "webTitle=T\nlanguage=de\nlanguages=keep\n")
        self.assertEqual(self.login_props.read_text(), "login_title=Willkommen\nlogin_title_x=keep\n")

    def test_shell_and_sed_characters_reach_every_property_unchanged(self):
        value = (f"a'b\"c/d&e\\f\\n $(touch {self.canary}) `touch {self.canary}`;"
                 f" touch {self.canary} | x %s \u00e9")
        self.props.write_text("language=en\nwebTitle=Old\n")
        self.login_props.write_text("login_title=Old\n")
        self.device_props.write_text("TRUENAME_REPLACEMENT=false\n")
        self.assertEqual(self.upload([("title", None, value), ("login_title", None, value),
                                      ("language", None, value),
                                      ("truename_replacement", None, value)]),
                         b'{"result":"0"}')
        self.assertFalse(self.canary.exists())
        # The title is stored last but language shares the file: both lines.
        self.assertEqual(self.props.read_text(), f"language={value}\nwebTitle={value}")
        self.assertEqual(self.login_props.read_text(), f"login_title={value}\n")
        self.assertEqual(self.device_props.read_text(), f"TRUENAME_REPLACEMENT={value}")

    def test_value_with_line_break_is_refused(self):
        self.props.write_text("webTitle=Old\nlanguage=en\n")
        self.upload([("title", None, "a\r\nlanguage=xx"), ("language", None, "b\nc")])
        self.assertEqual(self.props.read_text(), "webTitle=Old\nlanguage=en\n")
        self.assertIn("property value refused: it holds a line break", self.log())

    def test_concurrent_saves_keep_every_other_line_and_one_posted_value_each(self):
        self.props.write_text("language=keep\nwebTitle=Old\nother=keep\n")
        saves = [("title", f"T{i}") for i in range(4)] + [("language", f"L{i}") for i in range(4)]
        replies = [None] * len(saves)

        def save(i):
            replies[i] = self.post_form("/custom_upload", [(saves[i][0], None, saves[i][1])])
        threads = [threading.Thread(target=save, args=(i,)) for i in range(len(saves))]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(30)
        self.assertEqual(replies, [JSON_HEAD + b'{"result":"0"}'] * len(saves))
        self.assertRegex(self.props.read_text(),
                         r"\Alanguage=L[0-3]\nwebTitle=T[0-3]\nother=keep\Z")
        self.assertRebooted(len(saves))

    def test_truename_recreates_the_deleted_file_from_its_factory_copy(self):
        self.device_props.unlink()
        self.upload([("truename_replacement", None, "true")])
        self.assertEqual(self.device_props.read_text(), "TRUENAME_REPLACEMENT=true")

    def test_icon_goes_to_the_web_root_and_version_is_stored_without_a_file(self):
        self.upload([("icon", "my.ico", b"\x00\x01ICON"), ("version", None, "v2.1 custom")])
        self.assertEqual((self.webroot / "favicon.ico").read_bytes(), b"\x00\x01ICON")
        self.assertFalse((self.custom / "favicon.ico").exists())
        self.assertEqual((self.custom / "customversion").read_bytes(), b"v2.1 custom")
        self.upload([("version", "v.txt", "v3")])
        self.assertEqual((self.custom / "customversion").read_bytes(), b"v3")

    def test_images_only_answer_0_and_reboot_empty_inputs_store_nothing(self):
        before = (self.custom / "loginUp.jpg").read_bytes()
        image = bytes(range(256)) * 40 + b"\r\n--" + BOUNDARY[:-1]
        reply = self.upload([("BANNER", "C:\\x\\b.jpg", image), ("loginUp", "", b""),
                             ("ipadlogo", None, b"no file name")])
        self.assertEqual(reply, b'{"result":"0"}')
        self.assertEqual((self.custom / "banner.jpg").read_bytes(), image)
        self.assertEqual((self.custom / "loginUp.jpg").read_bytes(), before)
        self.assertFalse((self.custom / "logoforipad.png").exists())
        self.assertRebooted()

    def test_unexpected_field_stops_reception_earlier_values_stay(self):
        self.props.write_text("webTitle=Old\nlanguage=en\n")
        self.upload([("language", None, "fr"), ("colour", None, "red"),
                     ("title", None, "never")])
        self.assertEqual(self.props.read_text(), "webTitle=Old\nlanguage=fr\n")

    def test_a_file_whose_upload_breaks_off_keeps_its_old_bytes_and_no_temporary(self):
        for field, target in (("banner", self.custom / "banner.jpg"),
                              ("icon", self.webroot / "favicon.ico"),
                              ("version", self.custom / "customversion")):
            with self.subTest(field=field):
                target.write_bytes(b"old " + field.encode())
                before = sorted(os.listdir(target.parent))
                self.cut_form("/custom_upload", [(field, "f", os.urandom(6000))],
                              lambda body: len(body) // 2)
                self.assertEqual(target.read_bytes(), b"old " + field.encode())
                self.assertEqual(sorted(os.listdir(target.parent)), before)

    def test_value_larger_than_the_parser_buffer_is_refused_whole(self):
        self.props.write_text("webTitle=Old\nlanguage=en\n")
        self.upload([("language", None, "x" * 20000), ("title", None, "Short")])
        self.assertEqual(self.props.read_text(), "webTitle=Short\nlanguage=en")


# ---------------------------------------------------------------------------
# System password
# ---------------------------------------------------------------------------

class PasswordTest(MaintenanceCase):
    """The password triple of the customization form and the letter of the
    password script."""

    def setUp(self):
        super().setUp()
        self.script = self.bin / "changepasswd.sh"
        self.shadow = self.root / "etc/shadow"
        self.keep_file(self.script)
        self.keep_file(self.shadow)
        self.args_file = self.root / "pwd-args"
        self.args_file.unlink(missing_ok=True)

    def record_args(self, answer="0"):
        """Replaces the script by one that records its arguments."""
        write_script(self.script, f"printf '%s\\0' \"$@\" > {self.args_file}\n"
                                  f"printf '%s' '{answer}'\n")

    def recorded(self):
        if not self.args_file.exists():
            return None
        return self.args_file.read_bytes().split(b"\0")[:-1]

    def change(self, old, new, repeat):
        raw = self.post_form("/custom_upload", [("sys_oldPwd", None, old),
                                                ("sys_newPwd", None, new),
                                                ("sys_repeatPwd", None, repeat)])
        self.assertTrue(raw.startswith(JSON_HEAD), raw)
        return raw[len(JSON_HEAD):]

    def shadow_matches(self, password):
        entry = [line for line in self.shadow.read_text().splitlines()
                 if line.startswith("ubuntu:")][0]
        stored = entry.split(":")[1]
        salt = stored.split("$")[2]
        made = subprocess.run(["openssl", "passwd", "-6", "-salt", salt, "-stdin"],
                              input=password + "\n", capture_output=True, text=True,
                              check=True, timeout=10).stdout.strip()
        return made == stored

    def test_matching_change_stores_the_new_hash_answers_0_and_reboots(self):
        new = "n3w pass'\"$HOME"
        self.assertTrue(self.shadow_matches(INITIAL_PASSWORD))
        self.assertEqual(self.change(INITIAL_PASSWORD, new, new), b'{"result":"0"}')
        self.assertTrue(self.shadow_matches(new))
        self.assertIn("Rezudezi : Successfully modified", self.log())
        # The served log keeps the step but neither password.
        log = self.log()
        self.assertIn("Rezudezi : oldpwd : [******]  newpwd : [******]  repeatPwd : [******]", log)
        self.assertNotIn(INITIAL_PASSWORD, log)
        self.assertNotIn(new, log)
        self.assertRebooted()

    def test_wrong_old_password_answers_2_without_reboot(self):
        self.assertEqual(self.change("wrong", "abc", "abc"), b'{"result":"2"}')
        self.assertTrue(self.shadow_matches(INITIAL_PASSWORD))
        self.assertIn("Rezudezi : The original password is wrong", self.log())
        self.assertRebooted(0)

    def test_incomplete_or_mismatched_triple_does_not_run_the_script(self):
        self.record_args()
        cases = [("old", "new1", "new2"), ("old", "", ""), ("", "new", "new"),
                 ("old", "new", "")]
        for old, new, repeat in cases:
            with self.subTest(old=old, new=new, repeat=repeat):
                self.assertEqual(self.change(old, new, repeat), b'{"result":"0"}')
                self.assertIsNone(self.recorded())
        raw = self.post_form("/custom_upload", [("sys_oldPwd", None, "old")])
        self.assertEqual(raw, JSON_HEAD + b'{"result":"0"}')
        self.assertIsNone(self.recorded())
        self.assertIn("One member is empty,or The two passwords are inconsistent", self.log())
        self.assertRebooted(len(cases) + 1)

    def test_passwords_reach_the_script_each_as_one_argument(self):
        self.record_args()
        old = f"o'ld $(touch {self.canary}) \\ \"q\""
        new = f"; touch {self.canary} & `id` *"
        self.assertEqual(self.change(old, new, new), b'{"result":"0"}')
        self.assertEqual(self.recorded(), [b"ubuntu", old.encode(), new.encode()])
        self.assertFalse(self.canary.exists())

    def test_99_bytes_fit_a_slot_100_bytes_answer_3_and_never_run(self):
        self.record_args()
        fit = "p" * 99
        self.change(fit, fit, fit)
        self.assertEqual(self.recorded(), [b"ubuntu", fit.encode(), fit.encode()])
        self.args_file.unlink()
        # The last case arrives from the parser in pieces.
        for triple in (["q" * 100, "b", "b"], ["a", "q" * 100, "b"], ["a", "b", "q" * 100],
                       ["a", "q" * 9000, "q" * 9000]):
            with self.subTest(lengths=[len(t) for t in triple]):
                self.reboots_before = self.reboots()
                self.assertEqual(self.change(*triple), b'{"result":"3"}')
                self.assertIsNone(self.recorded())
                self.assertRebooted(0)

    def test_the_script_holds_no_descriptor_of_the_server(self):
        # Open at that moment: the log file, the listening sockets, this
        # request's connection. What the script starts sees the standard
        # streams only (and ls its own handle on the listed folder).
        listing = self.root / "fds"
        self.addCleanup(listing.unlink, missing_ok=True)
        write_script(self.script, f"ls -l /proc/self/fd > {listing}\nprintf 1\n")
        self.assertEqual(self.change("a", "b", "b"), b'{"result":"1"}')
        fds = dict(re.findall(r" (\d+) -> (.*)", listing.read_text()))
        others = {fd: target for fd, target in fds.items()
                  if int(fd) > 2 and not target.startswith("/proc/")}
        self.assertEqual(others, {}, fds)
        self.assertEqual(sorted(fds)[:3], ["0", "1", "2"], fds)

    def test_other_script_answers_are_sent_as_json_without_reboot(self):
        # An unknown letter goes back unchanged (one that would break the
        # reply stays JSON); no letter at all is the unknown mistake 4.
        for answer, reply, line in (("x-ray", b'{"result":"x"}', "Rezudezi : Unknown parameter"),
                                    ('"', b'{"result":"\\""}', "Rezudezi : Unknown parameter"),
                                    ("", b'{"result":"4"}', "Rezudezi : unknown mistake"),
                                    ("\n", b'{"result":"4"}', "Rezudezi : unknown mistake")):
            with self.subTest(answer=answer):
                self.record_args(answer)
                self.reboots_before = self.reboots()
                self.mark = self.rig.server.log_mark()
                self.assertEqual(self.change("a", "b", "b"), reply)
                self.assertIn(line, self.log())
                self.assertRebooted(0)


# ---------------------------------------------------------------------------
# Export, restore and static pages
# ---------------------------------------------------------------------------

class ExportRestoreTest(MaintenanceCase):
    FACTORY = [("customization/bannerBackup.jpg", "customization/banner.jpg"),
               ("customization/loginUpBackup.jpg", "customization/loginUp.jpg"),
               ("customization/loginDownBackup.jpg", "customization/loginDown.jpg"),
               ("customization/previewImageBackup.jpg", "customization/previewImage.jpg"),
               ("customization/custom.properties.bak", "customization/custom.properties"),
               ("WEB-INF/classes/custom_en_US.properties.bak",
                "WEB-INF/classes/custom_en_US.properties"),
               ("favicon.ico.bak", "favicon.ico")]

    def test_download_sends_the_exported_package_under_its_name(self):
        (self.custom / "customversion").write_text("v9")
        self.addCleanup((self.custom / "customversion").unlink, missing_ok=True)
        raw = self.raw("GET", "/downloadCustom")
        listed = (self.root / "tmp/custompath/custom.txt").read_text().strip()
        package = listed.split("=", 1)[1]
        name = os.path.basename(package)
        head = ("HTTP/1.1 200 OK\r\nServer: Apache-Coyote/1.1\r\nContent-Disposition: "
                f"attachment;filename=\"{name}\"\r\nContent-Type: application/octet-stream\r\n"
                "Transfer-Encoding: chunked\r\n\r\n").encode()
        self.assertEqual(raw[:len(head)], head)
        self.assertEqual(Response(raw).body, Path(package).read_bytes())
        listing = subprocess.run(["tar", "tzf", package], capture_output=True, text=True,
                                 check=True, timeout=10).stdout.split()
        self.assertIn("customization/customversion", listing)
        self.assertIn("WEB-INF/classes/custom_en_US.properties", listing)

    def test_missing_or_stale_export_list_is_500(self):
        script = self.bin / "export_custom.sh"
        self.keep_file(script)
        listed = self.root / "tmp/custompath/custom.txt"
        listed.write_text(f"custompath={self.root}/tmp/custompath/old.tar.gz\n")
        write_script(script, "exit 0\n")
        self.assertEqual(self.raw("GET", "/downloadCustom"), ERROR_RSP)
        # A list naming no package: no 200 head that promises one.
        write_script(script, f"echo no-equals-sign > {listed}\n")
        self.assertEqual(self.raw("GET", "/downloadCustom"), ERROR_RSP)

    def test_restore_puts_back_factory_copies_removes_extras_and_reboots(self):
        for _, current in self.FACTORY:
            self.keep_file(self.webroot / current)
            (self.webroot / current).write_bytes(b"customized")
        extras = [self.custom / n for n in ("customversion", "logoforipad.png",
                                             "logoforwindows.png")]
        for path in extras:
            path.write_bytes(b"extra")
        device_props = self.classes / "userdevice.properties"
        self.keep_file(device_props)
        shadow = self.root / "etc/shadow"
        self.keep_file(shadow)
        shadow.write_text("ubuntu:changed:19700:0:99999:7:::\n")
        exported = self.root / "tmp/custompath/custom_1.tar.gz"
        exported.write_bytes(b"old export")

        self.assertEqual(self.raw("POST", "/custom_restore"), b"")

        for backup, current in self.FACTORY:
            self.assertEqual((self.webroot / current).read_bytes(),
                             (self.webroot / backup).read_bytes(), current)
        for path in extras:
            self.assertFalse(path.exists(), path)
        self.assertFalse(device_props.exists())
        self.assertEqual(shadow.read_bytes(), (self.root / "etc/shadow-").read_bytes())
        self.assertFalse(exported.exists())
        self.assertRebooted()

    def test_static_pages_whatever_the_method_and_query(self):
        for method, path, page in (("GET", "/login?lang=en&x=1", "index.html"),
                                   ("POST", "/custom", "custom.html")):
            with self.subTest(path=path):
                data = (self.webroot / page).read_bytes()
                head = ("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\n"
                        f"Content-Length: {len(data)}\r\nAccept-Ranges: bytes\r\n\r\n").encode()
                self.assertEqual(self.raw(method, path, b"a=b"), head + data + b"\r\n")

    def test_files_dated_after_january_2038_are_served(self):
        # A 32-bit time_t cannot hold such a date: stat() fails on the device
        # and the file would be "missing".
        later = time.mktime((2040, 1, 1, 0, 0, 0, 0, 0, -1))
        for path, page in (("/login", "index.html"), ("/favicon.ico", "favicon.ico")):
            with self.subTest(path=path):
                file = self.webroot / page
                before = file.stat()
                self.addCleanup(os.utime, file, ns=(before.st_atime_ns, before.st_mtime_ns))
                os.utime(file, (later, later))
                data = file.read_bytes()
                response = Response(self.raw("GET", path))
                self.assertEqual((response.status, response.body[:len(data)]), (200, data))

    def test_missing_start_page_gives_no_bytes_and_no_fallback(self):
        index = self.webroot / "index.html"
        self.keep_file(index)
        index.unlink()
        self.assertEqual(self.raw("GET", "/login"), b"")
        self.assertRegex(self.log(), r"Rezudezi : \S+/index.html size is -1")


if __name__ == "__main__":
    unittest.main()
