"""A full disk: the inbox lives on a small tmpfs. Uploads that do not fit answer 400 "传输中断，
文件没有传完，请重试" and leave nothing behind; state files that cannot be rewritten keep their
last good content; once space is free again everything works. Skipped where mounting is not
permitted."""

import json
import os
import shutil
import subprocess
import tempfile
import unittest

import harness
from clients import INTERRUPTED, post_json, snapshot, upload
from harness import Server
from test_resumable import create, new_upload, offset_of, part_files, patch, send_all

SIZE = 2 * 1024 * 1024


def try_mount(folder):
    """Mounts a tmpfs of SIZE bytes on folder; False when that is not permitted here."""
    if not shutil.which("mount") or os.geteuid() != 0:
        return False
    result = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d,mode=0700" % SIZE, "tmpfs", folder],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return result.returncode == 0


def free_bytes(folder):
    st = os.statvfs(folder)
    return st.f_bavail * st.f_frsize


class DiskFullTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="skf-full-")
        self.addCleanup(shutil.rmtree, self.root, True)
        self.mnt = os.path.join(self.root, "mnt")
        os.makedirs(self.mnt)
        if not try_mount(self.mnt):
            self.skipTest("cannot mount a tmpfs here")
        self.addCleanup(subprocess.run, ["umount", "-l", self.mnt])
        self.inbox = os.path.join(self.mnt, "inbox")
        self.state = os.path.join(self.inbox, ".skiffbox")
        self.server = Server(inbox=self.inbox)
        self.server.__enter__()
        self.addCleanup(self.server.__exit__, None, None, None)

    def visible(self):
        """The inbox without its state folder."""
        return {k: v for k, v in snapshot(self.inbox).items() if not k.startswith(".skiffbox")}

    def state_files(self):
        out = {}
        for name in ("files.json", "texts.json"):
            with open(os.path.join(self.state, name), "rb") as f:
                out[name] = f.read()
            json.loads(out[name])  # always a whole document
        return out

    def test_uploads_that_do_not_fit_leave_nothing(self):
        server = self.server
        self.assertEqual(upload(server, [("kept.txt", b"kept")], device="phone")[0], 200)
        self.assertEqual(post_json(server, "/api/text", {"text": "kept text"}), (200, {"ok": True}))
        before, state = self.visible(), self.state_files()

        big = os.urandom(SIZE + 512 * 1024)
        cases = [
            [("big.bin", big)],
            [("tree/a.bin", os.urandom(300000)), ("tree/sub/b.bin", os.urandom(300000)), ("tree/sub/big.bin", big)],
            [("one.bin", os.urandom(1000)), ("two.bin", big)],
        ]
        for files in cases:
            status, body = upload(server, files, device="phone")
            self.assertEqual((status, body), (400, {"error": INTERRUPTED}), [n for n, _ in files])
            self.assertEqual(self.visible(), before)
            self.assertEqual(self.state_files(), state)
        # The space came back: nothing of the failed uploads holds on to it.
        self.assertGreater(free_bytes(self.mnt), SIZE - 256 * 1024)

    def test_state_files_keep_their_last_good_content(self):
        server = self.server
        # Enough records that files.json takes several pages of the file system.
        records = {"old/%04d.bin" % i: {"from": "pc", "time": 1700000000.0 + i} for i in range(300)}
        with open(os.path.join(self.state, "files.json"), "w") as f:
            json.dump(records, f)
        first = "first " + "长" * 5000  # several pages, like files.json
        self.assertEqual(post_json(server, "/api/text", {"text": first}), (200, {"ok": True}))
        self.assertEqual(upload(server, [("a.txt", b"a")], device="phone")[0], 200)
        state = self.state_files()
        self.assertIn("a.txt", json.loads(state["files.json"]))

        # Fill the disk to the last page: a small file still fits, no rewritten state file does.
        filler = os.path.join(self.mnt, "filler")
        with open(filler, "wb") as f:
            f.write(b"\0" * (free_bytes(self.mnt) - 4096))
        self.assertLessEqual(free_bytes(self.mnt), 4096)

        self.assertEqual(post_json(server, "/api/text", {"text": "lost"}), (200, {"ok": True}))
        status, body = upload(server, [("b.txt", b"b")], device="phone")
        self.assertIn(status, (200, 400), body)
        self.assertEqual(post_json(server, "/api/delete", {"path": "a.txt"}), (200, {"ok": True}))
        self.assertEqual(self.state_files(), state)
        texts = json.loads(server.request("GET", "/api/texts")[2])["texts"]
        self.assertEqual([t["text"] for t in texts], [first])
        self.assertEqual([n for n in os.listdir(self.state) if n.endswith(".tmp")], [])

        # With room again the next changes are stored.
        os.remove(filler)
        self.assertEqual(post_json(server, "/api/text", {"text": "second"}), (200, {"ok": True}))
        self.assertEqual(upload(server, [("c.txt", b"c")], device="phone")[0], 200)
        after = self.state_files()
        self.assertIn("c.txt", json.loads(after["files.json"]))
        self.assertEqual([t["text"] for t in json.loads(after["texts.json"])], ["second", first])

    def test_resumable_uploads_that_do_not_fit(self):
        server = self.server
        # Refused at creation when the disk is too small for the whole file.
        status, _, body = create(server, SIZE + 1, filename="huge.bin")
        self.assertEqual((status, json.loads(body)), (400, {"error": INTERRUPTED}))
        # Accepted while it fits, then the disk fills: what was written stays and is counted.
        data = os.urandom(SIZE // 2)
        location = new_upload(server, len(data), filename="half.bin")
        filler = os.path.join(self.mnt, "filler")
        with open(filler, "wb") as f:
            f.write(b"\0" * (free_bytes(self.mnt) - 256 * 1024))
        status, _, body = patch(server, location, 0, data)
        self.assertEqual((status, json.loads(body)), (400, {"error": INTERRUPTED}))
        offset = offset_of(server, location)
        self.assertLess(offset, len(data))
        part = os.path.join(self.state, "uploads", part_files(server)[0])
        self.assertEqual(os.path.getsize(part), offset)
        os.remove(filler)
        self.assertEqual(send_all(server, location, data), len(data))
        with open(os.path.join(self.inbox, "half.bin"), "rb") as f:
            self.assertEqual(f.read(), data)


if __name__ == "__main__":
    unittest.main()
