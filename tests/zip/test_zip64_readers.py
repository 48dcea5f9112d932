"""Every ZIP64 layout checked by readers that share no code with the packer.

A real archive past 4 GiB takes a minute to make and read; the same records appear on small
files when zip_tool lowers the value from which a size or offset goes to ZIP64. Each archive
is read by Python's zipfile, Info-ZIP unzip, 7-Zip and bsdtar, each checking every entry's CRC
and giving back the bytes; the archive's length must be the planned one.

ZIP_TOOL names the tool (set by ctest).
"""
import os
import shutil
import subprocess
import tempfile
import unittest
import zipfile

TOOL = os.environ.get("ZIP_TOOL", "")
UTF8_ENV = dict(os.environ, LC_ALL="C.UTF-8", LANG="C.UTF-8")

FILES = [
    ("empty.txt", b""),
    ("a.txt", b"hello"),
    ("照片/小明 的.txt", "中文内容".encode()),
    ("dir/random.bin", os.urandom(300000)),
    ("dir/last.txt", b"last"),
]

# (what, limit): each value at or above the limit goes to ZIP64.
LIMITS = [
    ("plain", 0xFFFFFFFF),
    ("everything", 0),
    ("sizes from 1 byte and every later offset", 1),
    ("the large file's size, the later offsets, the directory", 100000),
    ("the last offset and the directory's offset", 300050),
    ("the directory's offset alone", 300200),
]


@unittest.skipUnless(TOOL, "ZIP_TOOL is not set")
class Zip64Readers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="zip64-readers-")
        cls.args = []
        for name, data in FILES:
            path = os.path.join(cls.tmp, "in", name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
            cls.args += [name, path]

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def run_reader(self, argv):
        proc = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=UTF8_ENV)
        self.assertEqual(proc.returncode, 0, (argv[0], proc.stderr[-2000:]))
        return proc.stdout

    def test_every_layout_reads_back(self):
        everything = b"".join(data for _, data in FILES)
        for what, limit in LIMITS:
            with self.subTest(what):
                path = os.path.join(self.tmp, "out-%d.zip" % limit)
                out = subprocess.run([TOOL, str(limit), path] + self.args, stdout=subprocess.PIPE)
                self.assertEqual(out.returncode, 0)
                self.assertEqual(os.path.getsize(path), int(out.stdout))
                with open(path, "rb") as f:
                    raw = f.read()
                # Every lowered limit here reaches the directory's offset: ZIP64 end records.
                self.assertEqual(raw[-42:-38] == b"PK\x06\x07", limit != 0xFFFFFFFF)
                with zipfile.ZipFile(path) as z:
                    self.assertIsNone(z.testzip())
                    self.assertEqual([(i.filename, z.read(i)) for i in z.infolist()], FILES)
                self.run_reader(["unzip", "-tqq", path])
                self.assertEqual(self.run_reader(["unzip", "-p", path]), everything)
                listing = self.run_reader(["7z", "t", path])
                self.assertIn(b"Everything is Ok", listing)
                self.assertNotIn(b"WARNING", listing.upper())
                self.assertNotIn(b"Headers Error", listing)
                self.assertEqual(self.run_reader(["bsdtar", "-xOf", path]), everything)
                names = self.run_reader(["bsdtar", "-tf", path]).decode().split("\n")[:-1]
                self.assertEqual(names, [name for name, _ in FILES])


if __name__ == "__main__":
    unittest.main()
