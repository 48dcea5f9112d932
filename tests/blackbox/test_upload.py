"""Uploads: folder trees and numbered copies, errors, interrupted and concurrent uploads,
a full disk."""

import json
import os
import socket
import subprocess
import tempfile
import threading
import time
import unittest

import harness
from harness import Server

BOUNDARY = "----skfBoundaryQ7MA4YWxkTrZu0gW"
INTERRUPTED = "传输中断，文件没有传完，请重试"


def multipart(parts, boundary=BOUNDARY):
    """parts: (file name as str or raw bytes, or None for a plain field; content bytes)."""
    out = bytearray()
    for name, content in parts:
        out += b"--" + boundary.encode() + b"\r\n"
        if name is None:
            out += b'Content-Disposition: form-data; name="note"\r\n\r\n'
        else:
            raw = name if isinstance(name, bytes) else name.encode("utf-8")
            out += b'Content-Disposition: form-data; name="file"; filename="' + raw + b'"\r\n'
            out += b"Content-Type: application/octet-stream\r\n\r\n"
        out += content + b"\r\n"
    out += b"--" + boundary.encode() + b"--\r\n"
    return bytes(out)


def upload(srv, parts, query="", device=None):
    headers = {"Content-Type": "multipart/form-data; boundary=" + BOUNDARY}
    if device is not None:
        headers["X-Device-Name"] = device
    status, _, body = srv.request("POST", "/api/upload" + query, headers, multipart(parts))
    return status, json.loads(body.decode("utf-8"))


def tree(root):
    """Every file and folder under root except the hidden state folder, as relative paths
    ('/' separated; folders end with '/'), mapped to the file's bytes or None. A file that the
    server deletes while the walk runs is left out, as a later walk would not find it."""
    found = {}
    for folder, dirs, files in os.walk(root):
        rel = os.path.relpath(folder, root).replace(os.sep, "/")
        prefix = "" if rel == "." else rel + "/"
        dirs[:] = [d for d in dirs if not (prefix == "" and d == ".skiffbox")]
        for d in dirs:
            found[prefix + d + "/"] = None
        for f in files:
            try:
                with open(os.path.join(folder, f), "rb") as fh:
                    found[prefix + f] = fh.read()
            except FileNotFoundError:
                pass
    return found


def wait_for(condition, timeout=15):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return condition()


class Trees(unittest.TestCase):
    def test_folder_tree_then_numbered_copy_loose_files_and_the_console_line(self):
        with Server() as srv:
            parts = [("photos/x/1.jpg", b"one"), ("photos/2.jpg", b"two!"), ("photos/x/y/3.jpg", b"")]
            status, answer = upload(srv, parts, device="%E5%B0%8F%E6%98%8E")
            self.assertEqual(status, 200, answer)
            self.assertEqual(answer, {"ok": True, "files": [
                {"name": "photos/x/1.jpg", "size": 3}, {"name": "photos/2.jpg", "size": 4},
                {"name": "photos/x/y/3.jpg", "size": 0}]})
            self.assertTrue(srv.wait_output("  收到 3 个文件  ·  现在 3 个文件，0.0 MB\n"), srv.output())

            status, answer = upload(srv, parts)
            self.assertEqual([f["name"] for f in answer["files"]],
                             ["photos(1)/x/1.jpg", "photos(1)/2.jpg", "photos(1)/x/y/3.jpg"])
            for _ in range(3):
                upload(srv, [("a.txt", b"a")], query="?dir=photos")
            status, answer = upload(srv, [("a.txt", b"a")], query="?dir=photos")
            self.assertEqual(answer["files"], [{"name": "photos/a(3).txt", "size": 1}])
            self.assertEqual(tree(srv.inbox), {
                "photos/": None, "photos/x/": None, "photos/x/y/": None, "photos(1)/": None,
                "photos(1)/x/": None, "photos(1)/x/y/": None,
                "photos/x/1.jpg": b"one", "photos/2.jpg": b"two!", "photos/x/y/3.jpg": b"",
                "photos(1)/x/1.jpg": b"one", "photos(1)/2.jpg": b"two!", "photos(1)/x/y/3.jpg": b"",
                "photos/a.txt": b"a", "photos/a(1).txt": b"a", "photos/a(2).txt": b"a",
                "photos/a(3).txt": b"a"})
            with open(os.path.join(srv.inbox, ".skiffbox", "files.json"), encoding="utf-8") as fh:
                records = json.load(fh)
            self.assertEqual(records["photos/x/1.jpg"]["from"], "小明")
            self.assertEqual(records["photos(1)/2.jpg"]["from"], "未知设备")

    def test_names_are_made_safe_and_gbk_names_arrive_as_utf8(self):
        with Server() as srv:
            status, answer = upload(srv, [("../../evil.txt", b"e"), ("\\a\\.\\b<1>.txt", b"b"),
                                          ("\xd6\xd0\xce\xc4.txt".encode("latin-1"), b"g"),
                                          ("CON.txt", b"c")])
            self.assertEqual(status, 200, answer)
            self.assertEqual([f["name"] for f in answer["files"]],
                             ["evil.txt", "a/b_1_.txt", "中文.txt", "_CON.txt"])
            self.assertEqual(set(tree(srv.inbox)), {"evil.txt", "a/", "a/b_1_.txt", "中文.txt", "_CON.txt"})

    def test_names_explorer_acts_on_are_stored_with_txt_after_them(self):
        # Explorer would open these (and may contact another machine) merely by showing the
        # folder; every build stores them under a name it only displays.
        sent = ["x.scf", "desktop.ini", "d/Desktop.INI", "a.LNK", "b.url", "c.library-ms",
                "e.searchConnector-ms", "x.scf", "f.url.txt"]
        stored = ["x.scf.txt", "desktop.ini.txt", "d/Desktop.INI.txt", "a.LNK.txt", "b.url.txt",
                  "c.library-ms.txt", "e.searchConnector-ms.txt", "x.scf(1).txt", "f.url.txt"]
        with Server() as srv:
            status, answer = upload(srv, [(name, b"[x]") for name in sent])
            self.assertEqual(status, 200, answer)
            self.assertEqual([f["name"] for f in answer["files"]], stored)
            self.assertEqual(set(tree(srv.inbox)), set(stored) | {"d/"})

    def test_a_part_whose_path_could_not_be_reached_again_is_skipped_without_folders(self):
        deep = "/".join(["d%02d%s" % (i, "x" * 90) for i in range(12)]) + "/f.txt"
        with Server() as srv:
            status, answer = upload(srv, [(deep, b"deep")])
            self.assertEqual((status, answer), (400, {"error": "没有收到文件"}))
            status, answer = upload(srv, [(deep, b"deep"), ("ok.txt", b"ok")])
            self.assertEqual(answer["files"], [{"name": "ok.txt", "size": 2}])
            self.assertEqual(tree(srv.inbox), {"ok.txt": b"ok"})


class Errors(unittest.TestCase):
    def test_answers(self):
        ctype = {"Content-Type": "multipart/form-data; boundary=" + BOUNDARY}
        good = multipart([("a.txt", b"a")])
        with Server() as srv:
            os.mkdir(os.path.join(srv.inbox, "trip"))
            rows = [
                ("/api/upload", {"Content-Length": "0"}, b"", 400, "空请求体"),
                ("/api/upload?dir=..%2Fx", ctype, good, 404, "文件夹不存在"),
                ("/api/upload?dir=.skiffbox", ctype, good, 404, "文件夹不存在"),
                ("/api/upload?dir=nowhere", ctype, good, 404, "文件夹不存在"),
                ("/api/upload", {"Content-Type": "multipart/form-data"}, good, 400,
                 "解析上传失败：不是 multipart/form-data 请求"),
                ("/api/upload", {}, good, 400, "解析上传失败：不是 multipart/form-data 请求"),
                ("/api/upload", ctype, multipart([(None, b"just a field")]), 400, "没有收到文件"),
                ("/api/upload", ctype, good[:-10], 400, INTERRUPTED),
            ]
            for path, headers, body, status, message in rows:
                if message == INTERRUPTED:
                    got = _short_body(srv, body)
                else:
                    got = srv.request("POST", path, headers, body)
                self.assertEqual(got[0], status, (path, got))
                self.assertEqual(json.loads(got[2].decode("utf-8")), {"error": message}, path)
            self.assertEqual(tree(srv.inbox), {"trip/": None})
            status, answer = upload(srv, [("a.txt", b"a")], query="?dir=trip")
            self.assertEqual(answer["files"], [{"name": "trip/a.txt", "size": 1}])


def _short_body(srv, body):
    """Sends a body shorter than its Content-Length, then half-closes: the upload is cut."""
    head = ("POST /api/upload HTTP/1.0\r\nContent-Type: multipart/form-data; boundary=%s\r\n"
            "Content-Length: %d\r\n\r\n" % (BOUNDARY, len(body) + 1000)).encode()
    with srv.connect() as s:
        s.sendall(head + body)
        s.shutdown(socket.SHUT_WR)
        return _read_answer(s)


def _read_answer(s):
    data = b""
    while True:
        chunk = s.recv(65536)
        if not chunk:
            break
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    return int(head.split(b" ")[1]), head, body


class Interrupted(unittest.TestCase):
    def test_client_gone_mid_second_file_leaves_nothing(self):
        first = os.urandom(300000)
        body = multipart([("trip/day1/a.bin", first), ("trip/day2/b.bin", os.urandom(3000000))])
        cut = body.index(b"b.bin") + 200000
        head = ("POST /api/upload HTTP/1.0\r\nContent-Type: multipart/form-data; boundary=%s\r\n"
                "Content-Length: %d\r\n\r\n" % (BOUNDARY, len(body))).encode()
        with Server() as srv:
            os.mkdir(os.path.join(srv.inbox, "trip"))  # taken: the upload makes trip(1)
            with srv.connect() as s:
                s.sendall(head + body[:cut])
                self.assertTrue(wait_for(lambda: os.path.exists(
                    os.path.join(srv.inbox, "trip(1)", "day2", "b.bin"))))
                s.shutdown(socket.SHUT_WR)
                status, _, answer = _read_answer(s)
            self.assertEqual((status, json.loads(answer.decode("utf-8"))), (400, {"error": INTERRUPTED}))
            self.assertEqual(tree(srv.inbox), {"trip/": None})

            with srv.connect() as s:  # this time the client just goes away
                s.sendall(head + body[:cut])
                self.assertTrue(wait_for(lambda: os.path.exists(
                    os.path.join(srv.inbox, "trip(1)", "day2", "b.bin"))))
            self.assertTrue(wait_for(lambda: tree(srv.inbox) == {"trip/": None}), tree(srv.inbox).keys())
            self.assertNotIn("收到", srv.output())


class Concurrent(unittest.TestCase):
    def test_same_names_at_the_same_moment_each_keep_their_bytes(self):
        count = 6
        results = [None] * count
        with Server() as srv:
            def one(i):
                content = ("request %d " % i).encode() * 20000
                results[i] = (content, upload(srv, [("a.txt", content), ("tree/f.txt", content)]))
            threads = [threading.Thread(target=one, args=(i,)) for i in range(count)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(120)
            names = set()
            on_disk = tree(srv.inbox)
            for content, (status, answer) in results:
                self.assertEqual(status, 200, answer)
                for f in answer["files"]:
                    self.assertEqual(on_disk[f["name"]], content, f["name"])
                    names.add(f["name"])
            expected = {"a.txt", "tree/f.txt"}
            expected |= {"a(%d).txt" % i for i in range(1, count)}
            expected |= {"tree(%d)/f.txt" % i for i in range(1, count)}
            self.assertEqual(names, expected)


@unittest.skipUnless(hasattr(os, "geteuid") and os.geteuid() == 0, "mounting a tmpfs needs root")
class DiskFull(unittest.TestCase):
    def test_full_disk_answers_interrupted_and_keeps_earlier_files(self):
        mount_point = tempfile.mkdtemp(prefix="skf-full-")
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", mount_point],
                          stderr=subprocess.DEVNULL).returncode != 0:
            os.rmdir(mount_point)
            self.skipTest("cannot mount a tmpfs here")
        try:
            with Server(inbox=mount_point) as srv:
                status, _ = upload(srv, [("kept.txt", b"kept")])
                self.assertEqual(status, 200)
                big = os.urandom(6 * 1024 * 1024)
                for parts in ([("big.bin", big)], [("small.bin", b"s" * 1000), ("dir/big.bin", big)]):
                    status, answer = upload(srv, parts)
                    self.assertEqual((status, answer), (400, {"error": INTERRUPTED}))
                    self.assertEqual(tree(mount_point), {"kept.txt": b"kept"})
        finally:
            subprocess.run(["umount", mount_point])
            os.rmdir(mount_point)


if __name__ == "__main__":
    unittest.main()
