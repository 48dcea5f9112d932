"""Path attacks through every endpoint that takes a path: climbing out with "..", encoded and
double-encoded separators, backslashes, drive letters, NUL bytes, the state folder, device
names, over-long paths, and (natively; wine shows links as plain entries) links inside the
inbox that point outside it. Whatever is sent, nothing outside the inbox is read, written or
deleted, and the state folder is never reached."""

import json
import os
import re
import shutil
import stat
import subprocess
import tempfile
import unittest
import urllib.parse

import harness
from clients import error_body, multipart, parse, post_json, snapshot, upload, zip_names
from harness import Server

NATIVE = not harness.UNDER_WINE
SECRET = b"SECRET-OUTSIDE"
NO_FILE = "文件不存在"
NO_FOLDER = "文件夹不存在"
NOTHING_RECEIVED = "没有收到文件"

# Paths that must be refused wherever a client names an existing entry. {out} is the absolute
# path of the outside folder as the server sees it.
REFUSED = [
    "..", "../", "../outside/secret.txt", "..\\outside\\secret.txt",
    "dir/../../outside/secret.txt", "dir\\..\\..\\outside\\secret.txt", "/../outside/secret.txt",
    "dir/..", "dir/../a.txt", ".", "./a.txt", "dir/./b.txt", "dir//b.txt",
    ".skiffbox", ".skiffbox/texts.json", ".skiffbox/files.json", "dir/../.skiffbox/files.json",
    "\\.skiffbox\\texts.json",
    "C:/Windows/win.ini", "C:\\Windows\\win.ini", "C:a.txt", "a.txt::$DATA", "a.txt:stream",
    "{out}/secret.txt", "\\\\?\\{out}\\secret.txt", "\\\\.\\{out}\\secret.txt",
    "\\\\127.0.0.1\\c$\\secret.txt", "CON", "nul.txt", "dir/aux", "COM1", "LPT9.log",
    "x" * 161, "a/" * 600 + "a.txt", "dir/" + "y" * 5000,
]
# Paths that must come out as not found: they stay inside the inbox (the leading slash is
# dropped), or hold percent signs that are names, not encodings, once the URL is decoded.
MISSING = [
    "{abs}/secret.txt", "%2e%2e/outside/secret.txt", "%2E%2E%2Foutside%2Fsecret.txt",
    "..%5Coutside%5Csecret.txt", "%252e%252e%252foutside", "\uff0e\uff0e\uff0foutside",
    "..\u2215outside\u2215secret.txt", "\u2025/outside/secret.txt",
]
# NUL bytes: a server may cut the text at the NUL, which leaves it inside the inbox.
NUL = ["..\x00/a.txt", "dir\x00/../../outside/secret.txt", "a.txt\x00/../../outside/secret.txt",
       "\x00../outside/secret.txt"]
# Links (native only): through a link on the way, and a link as the last component.
THROUGH_LINKS = ["linkdir/secret.txt", "linkdir/sub/s2.txt", "dir/deeplink/secret.txt",
                 "dir/deeplink/sub", "sublink/s2.txt", "filelink.txt/x", "linkdir/sub"]
LINKS = ["linkdir", "filelink.txt", "dir/deeplink", "sublink"]


def url_forms(rel):
    """The forms in which a client can put a relative path into a URL."""
    forms = {urllib.parse.quote(rel, safe="/"), urllib.parse.quote(rel, safe=""),
             urllib.parse.quote(urllib.parse.quote(rel, safe=""), safe="")}
    if all(0x20 < ord(c) < 0x7F and c not in "%?#" for c in rel):
        forms.add(rel)  # as typed
    return sorted(forms)


class PathCase(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="skf-paths-")
        self.addCleanup(shutil.rmtree, self.root, True)
        self.inbox = os.path.join(self.root, "inbox")
        self.outside = os.path.join(self.root, "outside")
        self.put(self.outside, "secret.txt", SECRET)
        self.put(self.outside, "sub/s2.txt", SECRET + b"-2")
        self.put(self.inbox, "a.txt", b"inside a")
        self.put(self.inbox, "dir/b.txt", b"inside b")
        os.makedirs(os.path.join(self.inbox, "dir", "empty"))
        self.put(self.inbox, ".skiffbox/texts.json",
                 b'[{"id": "1", "text": "t", "from": "x", "time": 4102444800.000000}]')
        self.put(self.inbox, ".skiffbox/files.json",
                 b'{\n "a.txt": {\n  "from": "x",\n  "time": 1.000000\n }\n}')
        if NATIVE:
            os.symlink(self.outside, os.path.join(self.inbox, "linkdir"))
            os.symlink(os.path.join(self.outside, "secret.txt"), os.path.join(self.inbox, "filelink.txt"))
            os.symlink(self.outside, os.path.join(self.inbox, "dir", "deeplink"))
            os.symlink(os.path.join(self.outside, "sub"), os.path.join(self.inbox, "sublink"))
        self.outside_before = snapshot(self.outside)
        self.inbox_before = snapshot(self.inbox)

    def start(self, **kwargs):
        server = Server(inbox=self.inbox, **kwargs)
        server.__enter__()
        self.addCleanup(server.__exit__, None, None, None)
        self.server = server
        return server

    @staticmethod
    def put(base, rel, data):
        path = os.path.join(base, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)

    def paths(self, table):
        out = harness.host_path(self.outside)
        absolute = os.path.abspath(self.outside)
        return [p.replace("{out}", out).replace("{abs}", absolute) for p in table]

    def assert_untouched(self, inbox_too=True):
        self.assertEqual(snapshot(self.outside), self.outside_before)
        if inbox_too:
            self.assertEqual(snapshot(self.inbox), self.inbox_before)

    def assert_no_secret(self, body, what):
        self.assertNotIn(SECRET, body if isinstance(body, bytes) else json.dumps(body).encode(), what)
        self.assertNotIn(b"s2.txt", body if isinstance(body, bytes) else json.dumps(body).encode(), what)


class ReadingTest(PathCase):
    """Download, listing, stat and ZIP: refused paths are missing entries, nothing leaks."""

    def refused(self):
        table = REFUSED + MISSING + (THROUGH_LINKS + LINKS if NATIVE else [])
        return self.paths(table)

    def test_download(self):
        server = self.start()
        for rel in self.refused():
            for form in url_forms(rel):
                status, _, body = server.request("GET", "/f/" + form)
                self.assertEqual((status, body), (404, error_body(NO_FILE)), (rel, form))
        for rel in self.paths(NUL):
            status, _, body = server.request("GET", "/f/" + urllib.parse.quote(rel, safe="/"))
            self.assertIn(status, (200, 404, 400), rel)
            self.assert_no_secret(body, rel)
        # What the page asks for still works, backslashes and all.
        self.assertEqual(server.request("GET", "/f/dir%5Cb.txt")[2], b"inside b")
        self.assertEqual(server.request("GET", "/f/dir/b.txt")[2], b"inside b")
        self.assert_untouched()

    def test_listing(self):
        server = self.start()
        for rel in self.refused():
            for form in url_forms(rel):
                status, _, body = server.request("GET", "/api/files?dir=" + form)
                self.assertEqual((status, body), (404, error_body(NO_FOLDER)), (rel, form))
        for rel in self.paths(NUL):
            status, _, body = server.request("GET", "/api/files?dir=" + urllib.parse.quote(rel, safe=""))
            self.assert_no_secret(body, rel)
        # The top level never shows the state folder, and a link is not an entry.
        names = [e["name"] for e in parse(server.request("GET", "/api/files")[2])["files"]]
        self.assertEqual(sorted(names), ["a.txt", "dir"])
        self.assert_untouched()

    def test_stat(self):
        server = self.start()
        for rel in self.refused() + ["", "/", "\\"]:
            for obj in ({"path": rel}, {"name": rel}):
                status, body = post_json(server, "/api/stat", obj)
                self.assertEqual((status, body), (404, {"error": NO_FILE}), obj)
        for rel in self.paths(NUL):
            status, body = post_json(server, "/api/stat", {"path": rel})
            self.assertIn(status, (200, 404), rel)
            if status == 200:
                self.assertLessEqual(body["size"], len(b"inside a") + len(b"inside b"), rel)
        self.assertEqual(post_json(server, "/api/stat", {"path": "dir"}),
                         (200, {"files": 1, "dirs": 1, "size": 8}))
        self.assert_untouched()

    def test_zip(self):
        server = self.start()
        refused = self.refused()
        for rel in refused:
            status, _, body = zip_names(server, [rel])
            self.assertEqual((status, body), (404, error_body(NO_FILE)), rel)
        status, _, body = zip_names(server, refused + self.paths(NUL))
        self.assertIn(status, (200, 404), body[:200])
        self.assert_no_secret(body, "all at once")
        # A selection mixing good and bad names packs the good ones only.
        status, _, body = zip_names(server, refused + ["dir"])
        self.assertEqual(status, 200)
        self.assert_no_secret(body, "mixed")
        self.assertIn(b"dir/b.txt", body)
        self.assert_untouched()


class DeleteTest(PathCase):
    def test_refused_deletions_change_nothing(self):
        server = self.start()
        table = self.paths(REFUSED + MISSING) + (THROUGH_LINKS if NATIVE else []) + ["", "/", "\\", "//"]
        for rel in table:
            for obj in ({"path": rel}, {"name": rel}, {"path": 1, "name": rel}):
                status, body = post_json(server, "/api/delete", obj)
                self.assertEqual((status, body), (404, {"error": NO_FILE}), obj)
        for rel in self.paths(NUL):
            status, _ = post_json(server, "/api/delete", {"path": rel})
            self.assertEqual(snapshot(self.outside), self.outside_before, rel)
        self.assertEqual(snapshot(self.outside), self.outside_before)
        self.assertTrue(os.path.isfile(os.path.join(self.inbox, ".skiffbox", "texts.json")))
        self.assertTrue(os.path.isfile(os.path.join(self.inbox, ".skiffbox", "files.json")))

    @unittest.skipUnless(NATIVE, "wine shows links as plain entries")
    def test_deleting_a_link_removes_the_link_only(self):
        server = self.start()
        # A read-only target: the deletion's retry must not make it writable through the link.
        os.chmod(os.path.join(self.outside, "secret.txt"), 0o444)
        self.outside_before = snapshot(self.outside)
        for rel in LINKS:
            status, body = post_json(server, "/api/delete", {"path": rel})
            self.assertEqual((status, body), (200, {"ok": True, "removed": 1}), rel)
            self.assertFalse(os.path.lexists(os.path.join(self.inbox, rel)), rel)
        self.assertEqual(snapshot(self.outside), self.outside_before)
        self.assertEqual(stat.S_IMODE(os.stat(os.path.join(self.outside, "secret.txt")).st_mode), 0o444)

    @unittest.skipUnless(NATIVE, "wine shows links as plain entries")
    def test_folder_deletion_and_clear_never_enter_links(self):
        server = self.start()
        status, body = post_json(server, "/api/delete", {"path": "dir"})
        self.assertEqual(status, 200, body)
        self.assertFalse(os.path.lexists(os.path.join(self.inbox, "dir")))
        status, body = post_json(server, "/api/clear")
        self.assertEqual(status, 200, body)
        self.assertEqual(sorted(os.listdir(self.inbox)), [".skiffbox"])
        self.assertEqual(snapshot(self.outside), self.outside_before)


class UploadTest(PathCase):
    def stored(self, answer):
        """The relative paths an upload answer lists, each checked to lie inside the inbox."""
        inbox = os.path.realpath(self.inbox)
        names = [f["name"] for f in answer["files"]]
        for name in names:
            parts = name.split("/")
            self.assertNotIn("..", parts, name)
            self.assertFalse(any(p.startswith(".") or ":" in p or "\\" in p for p in parts), name)
            real = os.path.realpath(os.path.join(self.inbox, *parts))
            self.assertTrue(real.startswith(inbox + os.sep), name)
            self.assertFalse(os.path.islink(os.path.join(self.inbox, *parts)), name)
        return names

    def test_refused_target_folders(self):
        server = self.start()
        table = self.paths(REFUSED + MISSING) + (THROUGH_LINKS + LINKS if NATIVE else [])
        for rel in table + ["a.txt", "dir/b.txt"]:
            status, body = upload(server, [("evil.txt", b"EVIL")], folder=rel)
            self.assertEqual((status, body), (404, {"error": NO_FOLDER}), rel)
        for rel in self.paths(NUL):
            status, body = upload(server, [("evil.txt", b"EVIL")], folder=rel)
            if status == 200:
                self.stored(body)
        self.assertEqual(snapshot(self.outside), self.outside_before)
        self.assertEqual(snapshot(os.path.join(self.inbox, ".skiffbox"))["texts.json"],
                         self.inbox_before[os.path.join(".skiffbox", "texts.json")])

    def test_file_names_are_confined(self):
        server = self.start()
        out = harness.host_path(self.outside)
        names = [
            "../../outside/evil.txt", "..\\..\\outside\\evil.txt", "/" + self.outside + "/evil.txt",
            out + "\\evil.txt", "C:\\Windows\\evil.txt", "C:evil.txt", "\\\\?\\C:\\evil.txt",
            ".skiffbox/files.json", ".skiffbox/texts.json", "..", "../", ".", "a/../../b.txt",
            "%2e%2e%2fevil.txt", "a.txt::$DATA", "CON", "nul.txt", "dir/aux/com1.txt", "a:b|c.txt",
            "x" * 300 + ".txt", "\u202eevil.txt", "a.txt",
        ]
        if NATIVE:
            names += ["linkdir/evil.txt", "filelink.txt", "dir/deeplink/evil.txt", "sublink/s2.txt"]
        stored = []
        for i, name in enumerate(names):
            data = b"EVIL-%d" % i
            for star in (False, True):
                status, body = upload(server, [(name, data)], star=star)
                if status == 400:  # nothing usable was left of the name
                    self.assertEqual(body, {"error": NOTHING_RECEIVED}, name)
                    continue
                self.assertEqual(status, 200, (name, body))
                for rel in self.stored(body):
                    with open(os.path.join(self.inbox, *rel.split("/")), "rb") as f:
                        self.assertEqual(f.read(), data, rel)
                    stored.append(rel)
        # Encoded separators and NUL bytes in filename*: decoded, then confined all the same.
        for name in ["..%2F..%2Foutside%2Fevil.txt", "..%5C..%5Cevil.txt", "evil%00%2F..%2F..%2Fx.txt",
                     "%00", "..%00..", ".skiffbox%2Ffiles.json"]:
            head = ("--B\r\nContent-Disposition: form-data; name=\"file\"; filename*=UTF-8''%s\r\n\r\n"
                    % name).encode()
            body = head + b"EVIL\r\n--B--\r\n"
            status, _, answer = server.request("POST", "/api/upload", body=body, headers={
                "Content-Type": "multipart/form-data; boundary=B"})
            if status == 200:
                self.stored(parse(answer))
            else:
                self.assertEqual((status, answer), (400, error_body(NOTHING_RECEIVED)), name)
        # A folder tree nested too deep for a path is skipped, not written elsewhere.
        deep = "/".join(["d" * 150] * 40) + "/f.txt"
        status, body = upload(server, [(deep, b"EVIL")])
        self.assertIn(status, (200, 400), body)
        if status == 200:
            self.stored(body)
        self.assertEqual(snapshot(self.outside), self.outside_before)
        state = snapshot(os.path.join(self.inbox, ".skiffbox"))
        self.assertEqual(state["texts.json"], self.inbox_before[os.path.join(".skiffbox", "texts.json")])
        records = json.loads(state["files.json"][1])
        self.assertTrue(set(stored) <= set(records), set(stored) - set(records))
        for name in ("a.txt", "dir/b.txt"):
            with open(os.path.join(self.inbox, name), "rb") as f:
                self.assertTrue(f.read().startswith(b"inside"), name)


@unittest.skipIf(NATIVE, "short names are a Windows matter (wine makes them too)")
class ShortNameTest(PathCase):
    """Windows resolves 8.3 short names, and the short name of a hidden entry does not begin
    with '.': through it the state folder and hidden files must stay out of reach."""

    def short_names(self):
        """{long name: short name} of the inbox's top level, as the system reports them."""
        result = subprocess.run([harness.WINE, "cmd", "/c", "dir", "/x", "/a", harness.host_path(self.inbox)],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=120)
        names = {}
        for line in result.stdout.decode("utf-8", "replace").splitlines():
            match = re.search(r"\s(\S*~\S*)\s+(\S.*?)\s*$", line)
            if match:
                names[match.group(2)] = match.group(1)
        return names

    def test_hidden_entries_are_not_reached_by_their_short_names(self):
        self.put(self.inbox, ".hidden-notes.txt", SECRET)
        self.put(self.inbox, "a-rather-long-visible-name.txt", b"visible")
        self.inbox_before = snapshot(self.inbox)
        server = self.start()
        short = self.short_names()
        self.assertIn(".skiffbox", short, short)
        state, hidden = short[".skiffbox"], short[".hidden-notes.txt"]
        for rel in (state + "/texts.json", state + "/files.json", hidden):
            status, _, body = server.request("GET", "/f/" + urllib.parse.quote(rel))
            self.assertEqual((status, body), (404, error_body(NO_FILE)), rel)
            self.assertEqual(post_json(server, "/api/stat", {"path": rel}), (404, {"error": NO_FILE}), rel)
            self.assertEqual(zip_names(server, [rel])[0::2], (404, error_body(NO_FILE)), rel)
        for rel in (state, hidden):
            self.assertEqual(post_json(server, "/api/stat", {"path": rel}), (404, {"error": NO_FILE}), rel)
            self.assertEqual(post_json(server, "/api/delete", {"path": rel}), (404, {"error": NO_FILE}), rel)
            status, _, body = server.request("GET", "/api/files?dir=" + urllib.parse.quote(rel))
            self.assertEqual((status, body), (404, error_body(NO_FOLDER)), rel)
            self.assertEqual(upload(server, [("x.txt", b"x")], folder=rel), (404, {"error": NO_FOLDER}), rel)
        self.assert_untouched()


@unittest.skipUnless(NATIVE, "the fake desktop opener is a POSIX shell script")
class OpenTest(PathCase):
    """"/api/open" hands the desktop only folders inside the inbox. The desktop's opener is
    replaced by a script that records what it was asked to open, so nothing is launched."""

    def test_only_inbox_folders_are_opened(self):
        bin_dir = os.path.join(self.root, "bin")
        os.makedirs(bin_dir)
        log = os.path.join(self.root, "opened.txt")
        for opener in ("xdg-open", "open"):
            path = os.path.join(bin_dir, opener)
            with open(path, "w") as f:
                f.write("#!/bin/sh\nprintf '%%s\\n' \"$1\" >> '%s'\n" % log)
            os.chmod(path, 0o755)
        server = self.start(env={"PATH": bin_dir + os.pathsep + os.environ.get("PATH", "")})
        table = self.paths(REFUSED + MISSING) + THROUGH_LINKS + LINKS + ["a.txt", ""]
        for rel in table:
            status, body = post_json(server, "/api/open", {"path": rel})
            self.assertEqual((status, body), (200, {"ok": True}), rel)
        self.assertEqual(post_json(server, "/api/open", {"path": "dir/empty"}), (200, {"ok": True}))
        with open(log, encoding="utf-8") as f:
            opened = f.read().splitlines()
        inbox = os.path.abspath(self.inbox)
        self.assertEqual(opened[:-1], [inbox] * len(table))
        self.assertEqual(opened[-1], os.path.join(inbox, "dir", "empty"))
        self.assert_untouched()


if __name__ == "__main__":
    unittest.main()
