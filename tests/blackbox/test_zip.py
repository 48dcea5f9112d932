"""ZIP downloads of a selection: every archive is checked by independent readers (Python's
zipfile, Info-ZIP unzip and 7-Zip), names come out as UTF-8, the limits and messages hold, and
no temporary "skf" file outlives its download."""

import glob
import http.client
import json
import os
import shutil
import subprocess
import tempfile
import time
import unittest
import urllib.parse
import zipfile

import harness
from harness import Server

ZIP_MAX_BYTES = 4294901760
UTF8_ENV = dict(os.environ, LC_ALL="C.UTF-8", LANG="C.UTF-8")

MSG_NOTHING = "没有选择文件"
MSG_TOO_MANY = "一次最多 20000 个文件"
MSG_EMPTY_FOLDER = "选中的文件夹是空的，空文件夹装不进 zip"
MSG_NOT_FOUND = "文件不存在"
MSG_TOO_LARGE = "选中的文件加起来超过 4GB，ZIP 格式装不下，请分几次下载"


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
    """Runs the three independent readers over the archive (the two programs meanwhile in the
    background); returns zipfile's entry list."""
    unzip = subprocess.Popen(["unzip", "-tqq", path], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             env=UTF8_ENV)
    sevenzip = subprocess.Popen(["7z", "t", path], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                env=UTF8_ENV)
    with zipfile.ZipFile(path) as z:
        test_case.assertIsNone(z.testzip())
        infos = z.infolist()
    out = unzip.communicate()[0]
    test_case.assertEqual(unzip.returncode, 0, out)
    out = sevenzip.communicate()[0]
    test_case.assertEqual(sevenzip.returncode, 0, out)
    test_case.assertIn(b"Everything is Ok", out)
    return infos


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
        self.temp_before = self.skf_files()

    def skf_files(self):
        """The server's temporary ZIP files now present."""
        if harness.UNDER_WINE:
            prefix = os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine"))
            folders = glob.glob(os.path.join(prefix, "drive_c/users/*/Temp")) + glob.glob(
                os.path.join(prefix, "drive_c/users/*/AppData/Local/Temp"))
        else:
            folders = [os.path.join(self.tmp, "server-tmp")]
        found = set()
        for folder in folders:
            found.update(os.path.join(folder, n) for n in os.listdir(folder) if n.startswith("skf"))
        return found

    def assert_no_temp_left(self, timeout=15):
        deadline = time.time() + timeout
        while self.skf_files() - self.temp_before and time.time() < deadline:
            time.sleep(0.1)
        self.assertEqual(self.skf_files() - self.temp_before, set())

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
        self.assert_no_temp_left()

    def test_folders_names_order_dates_and_deduplication(self):
        files = {
            "photos/a.jpg": b"A" * 1000,
            "photos/sub/b.jpg": os.urandom(700000),  # larger than one copy buffer
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
        self.assert_no_temp_left()

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
        self.assert_no_temp_left()

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
        self.assert_no_temp_left()

    def test_aborted_download_leaves_no_temporary_file(self):
        write(os.path.join(self.inbox, "big.bin"), os.urandom(1 << 20) * 48)
        with self.server.connect() as s:
            body = form("big.bin")
            s.sendall(b"POST /zip HTTP/1.0\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
            got = s.recv(65536)
            self.assertTrue(got.startswith(b"HTTP/1.0 200 OK\r\n"), got[:100])
        # The server notices at its next send and deletes the archive.
        self.assert_no_temp_left(timeout=60)
        # And it goes on serving.
        status, _, data = self.post(form("big.bin"))
        self.assertEqual(status, 200)
        self.assertEqual(len(data), 48 * (1 << 20) + 30 + 46 + 2 * 7 + 22)
        self.assert_no_temp_left()


class FourGigabytes(ZipBase):
    def test_the_whole_archive_must_fit_32_bit_offsets(self):
        # File bytes one over the limit.
        sparse(os.path.join(self.inbox, "over.bin"), ZIP_MAX_BYTES + 1)
        self.assert_error(form("over.bin"), 400, MSG_TOO_LARGE)
        os.remove(os.path.join(self.inbox, "over.bin"))
        # File bytes exactly at the limit in 1,000 files: their headers push the archive past
        # 4 GiB (1,000 * (76 + 2 * 20) + 22 > 65,535), so it is refused before anything is written.
        folder = os.path.join(self.inbox, "parts")
        each = ZIP_MAX_BYTES // 1000
        for i in range(1000):
            sparse(os.path.join(folder, "part-%04d.bin" % i), each + (ZIP_MAX_BYTES % 1000 if i == 0 else 0))
        self.assert_error(form("parts"), 400, MSG_TOO_LARGE)
        self.assert_no_temp_left()

    @unittest.skipIf(harness.UNDER_WINE, "4 GiB through wine's file layer takes too long")
    @unittest.skipIf(harness.SANITIZER, "the native build packs the 4 GiB; smaller archives cover the code here")
    def test_a_selection_of_exactly_the_limit_is_packed(self):
        sparse(os.path.join(self.inbox, "4g.bin"), ZIP_MAX_BYTES)
        path, headers = self.download(form("4g.bin"), "4g.zip")
        try:
            self.assertEqual(int(headers["content-length"]), ZIP_MAX_BYTES + 76 + 2 * 6 + 22)
            infos = verify(path, self)
            self.assertEqual([(i.filename, i.file_size) for i in infos], [("4g.bin", ZIP_MAX_BYTES)])
            self.assert_no_temp_left()
        finally:
            os.remove(path)


if __name__ == "__main__":
    unittest.main()
