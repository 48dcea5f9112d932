"""ZIP downloads of a selection: every archive is checked by independent readers (Python's
zipfile, Info-ZIP unzip, 7-Zip and bsdtar), names come out as UTF-8, the announced length is
the length sent, archives past 4 GiB use ZIP64, a file that changes while it is sent cuts the
download short, the limits and messages hold, and nothing appears in the temporary folder."""

import glob
import http.client
import io
import json
import os
import shutil
import socket
import subprocess
import tempfile
import time
import unittest
import urllib.parse
import zipfile

import harness
from harness import Server

GIB = 1 << 30
MIB = 1 << 20
UTF8_ENV = dict(os.environ, LC_ALL="C.UTF-8", LANG="C.UTF-8")

MSG_NOTHING = "没有选择文件"
MSG_TOO_MANY = "一次最多 20000 个文件"
MSG_EMPTY_FOLDER = "选中的文件夹是空的，空文件夹装不进 zip"
MSG_NOT_FOUND = "文件不存在"


def form(*names):
    return "&".join("name=" + urllib.parse.quote_plus(n) for n in names).encode()


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def sparse(path, size):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.truncate(size)


def verify(path, test_case):
    """Runs the four independent readers over the archive, each checking every entry's CRC
    (the three programs meanwhile in the background); returns zipfile's entry list."""
    programs = {
        "unzip": ["unzip", "-tqq", path],
        "7z": ["7z", "t", path],
        "bsdtar": ["bsdtar", "-xOf", path],  # every entry's bytes read and checked, then dropped
    }
    running = {name: subprocess.Popen(argv, stdout=subprocess.DEVNULL if name == "bsdtar" else subprocess.PIPE,
                                      stderr=subprocess.PIPE if name == "bsdtar" else subprocess.STDOUT,
                                      env=UTF8_ENV)
               for name, argv in programs.items()}
    with zipfile.ZipFile(path) as z:
        test_case.assertIsNone(z.testzip())
        infos = z.infolist()
    for name, proc in running.items():
        out, err = proc.communicate()
        test_case.assertEqual(proc.returncode, 0, (name, out, err))
        if name == "7z":
            test_case.assertIn(b"Everything is Ok", out)
    return infos


def expected_length(entries):
    """The plain (no ZIP64) length of an archive of (name, size) entries."""
    return sum(76 + 2 * len(n.encode()) + size for n, size in entries) + 22


def local_time_candidates():
    now = time.time()
    return {time.strftime("%Y%m%d-%H%M", time.localtime(t)) for t in (now - 60, now, now + 60)}


class ZipBase(unittest.TestCase):
    """One server for the class, with its own temporary folder where the platform allows."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="zip-blackbox-")
        cls.old_tmpdir = os.environ.get("TMPDIR")
        os.environ["TMPDIR"] = os.path.join(cls.tmp, "server-tmp")
        os.makedirs(os.environ["TMPDIR"])
        cls.server = Server()
        cls.server.start()
        if cls.old_tmpdir is None:
            del os.environ["TMPDIR"]
        else:
            os.environ["TMPDIR"] = cls.old_tmpdir

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__(None, None, None)
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        self.inbox = self.server.inbox
        for name in os.listdir(self.inbox):
            if not name.startswith("."):
                path = os.path.join(self.inbox, name)
                shutil.rmtree(path) if os.path.isdir(path) and not os.path.islink(path) else os.remove(path)
        self.temp_before = self.temp_files()

    def temp_files(self):
        """Everything now in the server's temporary folder."""
        if harness.UNDER_WINE:
            prefix = os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine"))
            folders = glob.glob(os.path.join(prefix, "drive_c/users/*/Temp")) + glob.glob(
                os.path.join(prefix, "drive_c/users/*/AppData/Local/Temp"))
        else:
            folders = [os.path.join(self.tmp, "server-tmp")]
        found = set()
        for folder in folders:
            found.update(os.path.join(folder, n) for n in os.listdir(folder))
        return found

    def assert_temp_untouched(self):
        """Nothing of an archive is ever written: no file appeared in the temporary folder."""
        self.assertEqual(self.temp_files() - self.temp_before, set())

    def post(self, body):
        return self.server.request("POST", "/zip", {"Content-Type": "application/x-www-form-urlencoded"}, body)

    def assert_error(self, body, status, message):
        got_status, headers, data = self.post(body)
        self.assertEqual(got_status, status, data[:200])
        self.assertEqual(headers["content-type"], "application/json; charset=utf-8")
        self.assertEqual(json.loads(data), {"error": message})

    def download(self, body, name="out.zip"):
        """Posts the selection and stores the archive in a file; returns (path, headers). Runs
        of zero bytes become holes, so archives of sparse files cost no disk space here."""
        conn = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=600)
        path = os.path.join(self.tmp, name)
        try:
            conn.request("POST", "/zip", body=body,
                         headers={"Content-Type": "application/x-www-form-urlencoded"})
            resp = conn.getresponse()
            headers = {k.lower(): v for k, v in resp.getheaders()}
            zeros = bytes(1 << 20)
            with open(path, "wb") as f:
                while True:
                    chunk = resp.read(1 << 20)
                    if not chunk:
                        break
                    if chunk == zeros[:len(chunk)]:
                        f.seek(len(chunk), os.SEEK_CUR)
                    else:
                        f.write(chunk)
                f.truncate()
        finally:
            conn.close()
        if resp.status != 200:
            with open(path, "rb") as f:
                self.fail("%d %r" % (resp.status, f.read(300)))
        self.assertEqual(os.path.getsize(path), int(headers["content-length"]))
        return path, headers


class Archives(ZipBase):
    def test_one_file_of_hello_is_113_bytes(self):
        write(os.path.join(self.inbox, "a.txt"), b"hello")
        status, headers, data = self.post(b"name=a.txt")
        self.assertEqual(status, 200)
        self.assertEqual(headers["content-type"], "application/zip")
        self.assertEqual(headers["content-length"], "113")
        self.assertEqual(len(data), 113)
        self.assertEqual(data[14:18], bytes.fromhex("86a61036"))
        self.assertEqual(headers["cache-control"], "no-store")
        stamps = local_time_candidates()
        self.assertTrue(any(headers["content-disposition"] ==
                            "attachment; filename=\"-%s.zip\"; filename*=UTF-8''%s" %
                            (s, urllib.parse.quote("收件箱-%s.zip" % s)) for s in stamps),
                        headers["content-disposition"])
        path = os.path.join(self.tmp, "hello.zip")
        write(path, data)
        infos = verify(path, self)
        self.assertEqual([i.filename for i in infos], ["a.txt"])
        self.assert_temp_untouched()

    def test_folders_names_order_dates_and_deduplication(self):
        files = {
            "photos/a.jpg": b"A" * 1000,
            "photos/sub/b.jpg": os.urandom(1500000),  # larger than the stream's buffer: read twice
            "photos/a b.jpg": b"",
            "photos/.hidden": b"secret",
            "照片/小明 的.txt": "中文内容".encode(),
            "notes.txt": b"n",
        }
        for rel, data in files.items():
            write(os.path.join(self.inbox, rel), data)
        os.makedirs(os.path.join(self.inbox, "photos/empty"))
        dated = os.path.join(self.inbox, "notes.txt")
        when = time.mktime((2024, 3, 15, 15, 30, 47, 0, 0, -1))
        os.utime(dated, (when, when))
        old = os.path.join(self.inbox, "photos/a.jpg")
        os.utime(old, (time.mktime((1975, 6, 1, 12, 0, 0, 0, 0, -1)),) * 2)

        body = form("notes.txt", "photos", "photos/a.jpg", "照片", "missing.txt", "notes.txt") + b"&dl=1"
        path, headers = self.download(body)
        infos = verify(path, self)
        self.assertEqual([i.filename for i in infos],
                         ["notes.txt", "photos/a b.jpg", "photos/a.jpg", "photos/sub/b.jpg", "照片/小明 的.txt"])
        with zipfile.ZipFile(path) as z:
            for info in infos:
                self.assertEqual(z.read(info), files[info.filename])
                self.assertEqual(info.compress_type, zipfile.ZIP_STORED)
                self.assertEqual(info.flag_bits, 0x0800)
        by_name = {i.filename: i for i in infos}
        self.assertEqual(by_name["notes.txt"].date_time, (2024, 3, 15, 15, 30, 46))
        self.assertEqual(by_name["photos/a.jpg"].date_time, (1980, 1, 1, 0, 0, 0))

        # The names reach the disk as UTF-8 through both unpackers.
        for tool in (["unzip", "-q", path, "-d"], ["7z", "x", "-y", path, "-o"]):
            out = os.path.join(self.tmp, "unpacked-" + tool[0])
            target = tool[:-1] + [tool[-1] + out] if tool[0] == "7z" else tool + [out]
            subprocess.run(target, check=True, capture_output=True, env=UTF8_ENV)
            with open(os.path.join(out, "照片", "小明 的.txt"), "rb") as f:
                self.assertEqual(f.read(), files["照片/小明 的.txt"])
            self.assertFalse(os.path.exists(os.path.join(out, "photos", ".hidden")))
            self.assertFalse(os.path.exists(os.path.join(out, "photos", "empty")))
        self.assert_temp_untouched()

    def test_errors(self):
        os.makedirs(os.path.join(self.inbox, "empty/inner"))
        write(os.path.join(self.inbox, "a.txt"), b"a")
        cases = [
            (b"", 400, MSG_NOTHING),
            (b"name=", 400, MSG_NOTHING),
            (b"name=&file=a.txt&na%6De=a.txt", 400, MSG_NOTHING),
            (form("empty"), 400, MSG_EMPTY_FOLDER),
            (form("missing.txt", "empty"), 400, MSG_EMPTY_FOLDER),
            (form("missing.txt"), 404, MSG_NOT_FOUND),
            (form("../a.txt", "/", ".skiffbox", "a.txt:x"), 404, MSG_NOT_FOUND),
        ]
        for body, status, message in cases:
            with self.subTest(body=body):
                self.assert_error(body, status, message)
        # No body at all, not even a Content-Length.
        raw = self.server.raw(b"POST /zip HTTP/1.0\r\n\r\n")
        self.assertTrue(raw.startswith(b"HTTP/1.0 400 Bad Request\r\n"), raw[:100])
        self.assertIn(json.dumps({"error": MSG_NOTHING}, ensure_ascii=False).encode(), raw)
        self.assert_temp_untouched()

    def test_twenty_thousand_files(self):
        folder = os.path.join(self.inbox, "many")
        os.makedirs(folder)
        for i in range(20000):
            open(os.path.join(folder, "%05d.txt" % i), "wb").close()
        write(os.path.join(self.inbox, "x.txt"), b"x")
        # Exactly the limit is packed.
        path, _ = self.download(form("many"))
        infos = verify(path, self)
        self.assertEqual(len(infos), 20000)
        self.assertEqual(infos[-1].filename, "many/19999.txt")
        # One more file, in the folder or as a second name, is too many.
        self.assert_error(form("many", "x.txt"), 400, MSG_TOO_MANY)
        self.assert_error(form("x.txt", "many"), 400, MSG_TOO_MANY)
        open(os.path.join(folder, "20000.txt"), "wb").close()
        self.assert_error(form("many"), 400, MSG_TOO_MANY)
        # 20,001 names answer before anything is resolved: they need not exist.
        self.assert_error(form(*["n%d" % i for i in range(20001)]), 400, MSG_TOO_MANY)
        self.assert_temp_untouched()

    def test_only_empty_files(self):
        write(os.path.join(self.inbox, "e1"), b"")
        write(os.path.join(self.inbox, "空/e2.txt"), b"")
        path, headers = self.download(form("e1", "空"))
        self.assertEqual(int(headers["content-length"]), expected_length([("e1", 0), ("空/e2.txt", 0)]))
        infos = verify(path, self)
        self.assertEqual([(i.filename, i.file_size) for i in infos], [("e1", 0), ("空/e2.txt", 0)])
        self.assert_temp_untouched()


class Streaming(ZipBase):
    BIG = 64 * MIB

    def write_big(self, rel):
        """A file of BIG bytes, no two MiB alike."""
        block = os.urandom(MIB)
        with open(os.path.join(self.inbox, rel), "wb") as f:
            for i in range(self.BIG // MIB):
                f.write(block[i:] + block[:i])

    def start(self, body, rcvbuf=64 * 1024):
        """Sends the request on a socket with a small receive buffer (so the server soon waits
        for the reader); returns the socket and the response head's bytes."""
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        s.settimeout(60)
        s.connect(("127.0.0.1", self.server.port))
        s.sendall(b"POST /zip HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                  b"Content-Length: %d\r\n\r\n" % len(body) + body)
        got = b""
        while b"\r\n\r\n" not in got:
            chunk = s.recv(65536)
            self.assertTrue(chunk, got)
            got += chunk
        head, rest = got.split(b"\r\n\r\n", 1)
        return s, head.decode("latin-1"), rest

    @staticmethod
    def content_length(head):
        for line in head.split("\r\n"):
            if line.lower().startswith("content-length:"):
                return int(line.split(":", 1)[1])
        return None

    @staticmethod
    def read_rest(s, have, at_least=None):
        """Reads until at_least bytes are there (or, without it, until the server ends the
        connection); returns the bytes and whether the connection ended."""
        data = bytearray(have)
        while at_least is None or len(data) < at_least:
            try:
                chunk = s.recv(1 << 20)
            except ConnectionResetError:
                return bytes(data), True
            if not chunk:
                return bytes(data), True
            data += chunk
        return bytes(data), False

    def test_length_is_announced_first_and_nothing_is_written(self):
        self.write_big("big.bin")
        write(os.path.join(self.inbox, "a.txt"), b"a")
        s, head, rest = self.start(form("big.bin", "a.txt"))
        with s:
            self.assertTrue(head.startswith("HTTP/1.0 200 OK\r\n"), head)
            length = self.content_length(head)
            self.assertEqual(length, expected_length([("big.bin", self.BIG), ("a.txt", 1)]))
            # The first entry's header arrives while the rest is still to be sent, and no copy
            # of the archive sits in the temporary folder meanwhile.
            data, ended = self.read_rest(s, rest, at_least=30 + 7)
            self.assertFalse(ended)
            self.assertEqual(data[:4], b"PK\x03\x04")
            self.assertEqual(data[30:37], b"big.bin")
            self.assert_temp_untouched()
            data, ended = self.read_rest(s, data)
        self.assertTrue(ended)
        self.assertEqual(len(data), length)
        with zipfile.ZipFile(io.BytesIO(data)) as z:
            self.assertIsNone(z.testzip())
            self.assertEqual(z.read("a.txt"), b"a")
        self.assert_temp_untouched()

    def test_a_client_that_goes_away_stops_the_stream(self):
        self.write_big("big.bin")
        s, head, _ = self.start(form("big.bin"))
        self.assertTrue(head.startswith("HTTP/1.0 200 OK\r\n"), head)
        s.close()
        # The server notices at its next send and goes on serving.
        status, headers, data = self.post(form("big.bin"))
        self.assertEqual(status, 200)
        self.assertEqual(len(data), int(headers["content-length"]))
        self.assertEqual(len(data), expected_length([("big.bin", self.BIG)]))
        self.assert_temp_untouched()

    def test_a_file_changed_while_sent_cuts_the_download_short(self):
        big = os.path.join(self.inbox, "big.bin")
        after = os.path.join(self.inbox, "after.txt")

        def overwrite():
            with open(big, "r+b") as f:
                f.seek(48 * MIB)
                f.write(b"changed")

        def grow():
            with open(big, "ab") as f:
                f.write(b"more")

        def shrink():
            os.truncate(big, 40 * MIB)

        def remove_next():
            os.remove(after)

        for change in (overwrite, grow, shrink, remove_next):
            with self.subTest(change=change.__name__):
                self.write_big("big.bin")
                write(after, b"after")
                s, head, rest = self.start(form("big.bin", "after.txt"))
                with s:
                    self.assertTrue(head.startswith("HTTP/1.0 200 OK\r\n"), head)
                    length = self.content_length(head)
                    # The local header goes out once big.bin's CRC is known; the server then
                    # waits for this reader long before it reaches the 48th MiB again.
                    data, ended = self.read_rest(s, rest, at_least=30 + 7)
                    self.assertFalse(ended)
                    change()
                    data, ended = self.read_rest(s, data)
                self.assertTrue(ended)
                self.assertLess(len(data), length)
                self.assertFalse(zipfile.is_zipfile(io.BytesIO(data)))
                self.assertNotIn(b"PK\x05\x06", data[-(64 * 1024):])
        status, _, _ = self.post(form("big.bin"))
        self.assertEqual(status, 200)
        self.assert_temp_untouched()


@unittest.skipIf(harness.SANITIZER, "the native build streams the gigabytes; small archives cover the code here")
class Zip64(ZipBase):
    """Archives past 4 GiB, of sparse files: ZIP64 records where a value no longer fits. About
    a minute for both, natively and under wine alike."""

    def check(self, body, expected, small):
        """Downloads and verifies; expected: [(name, size)] in order; small: {name: bytes}."""
        path, headers = self.download(body, "big.zip")
        try:
            infos = verify(path, self)
            self.assertEqual([(i.filename, i.file_size) for i in infos], expected)
            with zipfile.ZipFile(path) as z:
                for name, data in small.items():
                    self.assertEqual(z.read(name), data)
            self.assert_temp_untouched()
            return int(headers["content-length"])
        finally:
            os.remove(path)

    def test_a_selection_over_4_gib(self):
        # No entry needs ZIP64 sizes; the later local headers and the directory lie past 4 GiB.
        small = {"videos/a.txt": b"first", "videos/z-视频说明.txt": "最后一个".encode()}
        for name, data in small.items():
            write(os.path.join(self.inbox, name), data)
        parts = ["videos/part-%d.mp4" % i for i in range(3)]
        for name in parts:
            sparse(os.path.join(self.inbox, name), 3 * GIB // 2)
        expected = [("videos/a.txt", 5)] + [(n, 3 * GIB // 2) for n in parts] + \
            [("videos/z-视频说明.txt", len(small["videos/z-视频说明.txt"]))]
        length = self.check(form("videos"), expected, small)
        # Only the local header past 4 GiB (the last) gets a ZIP64 offset (12 bytes), and the
        # end gains the ZIP64 end record and its locator (76).
        self.assertEqual(length, expected_length(expected) + 12 + 76)

    def test_one_file_over_4_gib(self):
        subtitle = b"1\n00:00:01 --> 00:00:02\n"
        sparse(os.path.join(self.inbox, "film.mkv"), 4 * GIB + MIB)
        write(os.path.join(self.inbox, "字幕.srt"), subtitle)
        expected = [("film.mkv", 4 * GIB + MIB), ("字幕.srt", len(subtitle))]
        length = self.check(form("film.mkv", "字幕.srt"), expected, {"字幕.srt": subtitle})
        # Both sizes in the local (20) and central (20) ZIP64 fields, the subtitle's offset
        # (12), and the ZIP64 end record and locator (76).
        self.assertEqual(length, expected_length(expected) + 20 + 20 + 12 + 76)


if __name__ == "__main__":
    unittest.main()
