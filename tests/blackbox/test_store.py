"""Inbox storage over HTTP: the folder listing with its usage summary, delete, clear and stat
with their console lines, and the shared texts."""

import json
import os
import threading
import time
import unittest

import harness
from harness import Server

NATIVE = not harness.UNDER_WINE
JSON_TYPE = "application/json; charset=utf-8"
GIB5 = 5368709120


def write(path, data=b"x", mtime=None):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())
    if mtime is not None:
        os.utime(path, (mtime, mtime))


def sparse(path, size):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.truncate(size)


def post_json(server, path, obj=None, headers=None, raw=None):
    body = raw if raw is not None else json.dumps(obj if obj is not None else {}).encode()
    hdrs = {"Content-Type": "application/json"}
    hdrs.update(headers or {})
    return server.request("POST", path, headers=hdrs, body=body)


def usage_suffix(files, size):
    text = "  ·  现在 %d 个文件，%.1f MB" % (files, size / 1048576.0)
    if size >= GIB5:
        text += "   [!!] 已经超过 5 GB，不用的文件记得在网页上删掉"
    return text


class StoreCase(unittest.TestCase):
    def setUp(self):
        self.server = Server()
        self.inbox = self.server.inbox
        self.state = os.path.join(self.inbox, ".skiffbox")
        os.makedirs(self.state, exist_ok=True)

    def start(self):
        self.server.__enter__()
        self.addCleanup(self.server.__exit__, None, None, None)
        return self.server

    def path(self, *parts):
        return os.path.join(self.inbox, *parts)

    def listing(self, query=""):
        status, headers, body = self.server.request("GET", "/api/files" + query)
        self.assertEqual(status, 200, body)
        self.assertEqual(headers["content-type"], JSON_TYPE)
        return json.loads(body)

    def assert_error(self, answer, status, message):
        self.assertEqual(answer[0], status, answer[2])
        self.assertEqual(answer[2], json.dumps({"error": message}, ensure_ascii=False).encode())

    def write_records(self, records):
        write(os.path.join(self.state, "files.json"), json.dumps(records, ensure_ascii=False))

    def read_records(self):
        with open(os.path.join(self.state, "files.json"), "rb") as f:
            return json.loads(f.read())


class ListingTest(StoreCase):
    def test_order_members_and_dir_forms(self):
        write(self.path("b", "x.txt"))
        write(self.path("A", "y.txt"))
        write(self.path("old.txt"), "old", mtime=1600000000)
        write(self.path("new.txt"), "newer", mtime=1700000000.25)
        write(self.path("photos", "trip", "a b中.JPG"), "12345", mtime=1650000000)
        self.write_records({"photos/trip/a b中.JPG": {"from": "小米", "time": 1.0}})
        s = self.start()

        top = self.listing()
        self.assertEqual([e["name"] for e in top["files"]], ["A", "b", "photos", "new.txt", "old.txt"])
        self.assertEqual(top["dir"], "")
        folder = top["files"][0]
        self.assertEqual(list(folder), ["name", "size", "mtime", "from", "mime", "kind", "url"])
        self.assertEqual((folder["size"], folder["from"], folder["mime"], folder["kind"], folder["url"]),
                         (0, "", "", "dir", ""))
        new = top["files"][3]
        self.assertEqual((new["size"], new["mtime"], new["from"], new["mime"], new["kind"], new["url"]),
                         (5, 1700000000.25, "本机", "text/plain", "text", "/f/new.txt"))

        # The whole answer is one line with six decimals for every time.
        status, _, raw = s.request("GET", "/api/files")
        self.assertNotIn(b"\n", raw)
        self.assertIn(b'"mtime": 1700000000.250000, ', raw)
        self.assertTrue(raw.endswith(b', "warn": false}}'), raw[-60:])

        for query in ["", "?dir=", "?dir=%2F", "?x=1&dir=", "?dir=%2F%2F%5C"]:
            self.assertEqual(self.listing(query)["dir"], "", query)
        for query in ["?dir=photos%5Ctrip", "?dir=photos/trip/", "?dir=+photos+/+trip"]:
            trip = self.listing(query)
            self.assertEqual(trip["dir"], "photos/trip", query)
            self.assertEqual(trip["files"][0]["from"], "小米")
            self.assertEqual(trip["files"][0]["url"], "/f/photos/trip/a%20b%E4%B8%AD.JPG")
            self.assertEqual((trip["files"][0]["mime"], trip["files"][0]["kind"]), ("image/jpeg", "image"))

        # HEAD answers like GET, body included.
        status, headers, body = s.request("HEAD", "/api/files?dir=photos")
        self.assertEqual(status, 200)
        self.assertEqual(int(headers["content-length"]), len(s.request("GET", "/api/files?dir=photos")[2]))

    def test_missing_folders_and_hidden_names(self):
        write(self.path("file.txt"))
        write(self.path(".secret"))
        write(self.path("photos", ".x"))
        write(self.path("photos", "seen.txt"))
        s = self.start()
        names = [e["name"] for e in self.listing()["files"]]
        self.assertEqual(names, ["photos", "file.txt"])
        self.assertEqual([e["name"] for e in self.listing("?dir=photos")["files"]], ["seen.txt"])
        for query in ["?dir=.skiffbox", "?dir=..%2Fx", "?dir=file.txt", "?dir=missing",
                      "?dir=photos%2F.x", "?dir=photos//x", "?dir=.secret"]:
            self.assert_error(s.request("GET", "/api/files" + query), 404, "文件夹不存在")
        for target in ["/f/.skiffbox/files.json", "/f/.secret", "/f/photos/.x"]:
            self.assertEqual(s.request("GET", target)[0], 404, target)
        self.assert_error(post_json(s, "/api/stat", {"path": ".skiffbox"}), 404, "文件不存在")
        self.assert_error(post_json(s, "/api/delete", {"path": ".secret"}), 404, "文件不存在")
        self.assertTrue(os.path.exists(self.path(".secret")))

    def test_inbox_deleted_by_hand_comes_back(self):
        s = self.start()
        import shutil
        shutil.rmtree(self.inbox)
        self.assertEqual(self.listing()["files"], [])
        self.assertTrue(os.path.isdir(self.state))

    @unittest.skipUnless(NATIVE, "wine shows a Unix link as what it points to")
    def test_links_not_listed(self):
        write(self.path("target", "inner.txt"))
        write(self.path("plain.txt"))
        os.symlink(self.path("target"), self.path("folderlink"))
        os.symlink(self.path("plain.txt"), self.path("filelink"))
        s = self.start()
        self.assertEqual([e["name"] for e in self.listing()["files"]], ["target", "plain.txt"])
        self.assert_error(s.request("GET", "/api/files?dir=folderlink"), 404, "文件夹不存在")
        self.assert_error(post_json(s, "/api/stat", {"path": "folderlink"}), 404, "文件不存在")
        self.assert_error(post_json(s, "/api/stat", {"path": "filelink"}), 404, "文件不存在")

    @unittest.skipUnless(NATIVE, "enumeration order of the host file system is only known natively")
    def test_equal_times_keep_enumeration_order(self):
        names = ["f%02d.txt" % i for i in range(30)]
        for name in names:
            write(self.path(name), mtime=1650000000)
        self.start()
        listed = [e["name"] for e in self.listing()["files"]]
        self.assertEqual(listed, [n for n in os.listdir(self.inbox) if n in names])

    def test_usage_and_warn_at_five_gib(self):
        sparse(self.path("big.bin"), GIB5 - 1)
        write(self.path("one.txt"), "1")
        s = self.start()
        usage = self.listing()["usage"]
        self.assertEqual(usage, {"count": 2, "size": GIB5, "warn": True})
        self.assertEqual(post_json(s, "/api/delete", {"path": "one.txt"})[0], 200)
        self.assertEqual(self.listing()["usage"], {"count": 1, "size": GIB5 - 1, "warn": False})
        self.assertTrue(s.wait_output("  删除 one.txt" + usage_suffix(1, GIB5 - 1) + "\n"))

        # Copied in by hand: not seen until the next change through the server.
        write(self.path("hand.txt"), "12")
        self.assertEqual(self.listing()["usage"]["count"], 1)
        write(self.path("gone.txt"))
        self.assertEqual(post_json(s, "/api/delete", {"path": "gone.txt"})[0], 200)
        self.assertEqual(self.listing()["usage"], {"count": 2, "size": GIB5 + 1, "warn": True})
        self.assertTrue(s.wait_output("  删除 gone.txt" + usage_suffix(2, GIB5 + 1) + "\n"))


class DeleteClearStatTest(StoreCase):
    def test_delete_file_and_folder(self):
        write(self.path("photos", "a.jpg"), "a" * 1048576)
        write(self.path("photos", "b.jpg"))
        write(self.path("photos", "sub", "c.jpg"))
        write(self.path("photos2", "c.jpg"), "c" * 524288)
        write(self.path("keep.txt"), "k" * 1048576)
        self.write_records({"photos/a.jpg": {"from": "p", "time": 1.0},
                            "photos/b.jpg": {"from": "p", "time": 1.0},
                            "photos/sub/c.jpg": {"from": "p", "time": 1.0},
                            "photos2/c.jpg": {"from": "p", "time": 1.0}})
        s = self.start()

        status, headers, body = post_json(s, "/api/delete", {"path": " photos / a.jpg"})
        self.assertEqual((status, body), (200, b'{"ok": true}'))
        self.assertEqual(headers["content-type"], JSON_TYPE)
        self.assertFalse(os.path.exists(self.path("photos", "a.jpg")))
        self.assertNotIn("photos/a.jpg", self.read_records())
        self.assertTrue(s.wait_output("  删除 photos/a.jpg" + usage_suffix(4, 1572866) + "\n"))

        status, _, body = post_json(s, "/api/delete", {"path": "photos/"})
        self.assertEqual((status, body), (200, b'{"ok": true, "removed": 4}'))
        self.assertFalse(os.path.exists(self.path("photos")))
        self.assertEqual(list(self.read_records()), ["photos2/c.jpg"])
        self.assertTrue(s.wait_output("  删除文件夹 photos（4 项）" + usage_suffix(2, 1572864) + "\n"))

    def test_path_and_name_members(self):
        for name in ["a.txt", "b.txt", "c.txt", "d.txt"]:
            write(self.path(name))
        s = self.start()
        self.assertEqual(post_json(s, "/api/delete", {"name": "a.txt"})[0], 200)
        self.assertEqual(post_json(s, "/api/delete", {"path": "b.txt", "name": "c.txt"})[0], 200)
        self.assertEqual(post_json(s, "/api/delete", {"path": 7, "name": "d.txt"})[0], 200)
        self.assertEqual(sorted(os.listdir(self.inbox)), [".skiffbox", "c.txt"])
        self.assertEqual(post_json(s, "/api/stat", {"name": "c.txt"})[2],
                         b'{"files": 1, "dirs": 0, "size": 1}')

    def test_refused_and_missing_paths(self):
        write(self.path("a.txt"))
        s = self.start()
        for body in [{"path": ""}, {"path": "/"}, {"path": ".skiffbox"}, {"path": "missing.txt"},
                     {"path": "../a.txt"}, {}, None]:
            raw = b"not json" if body is None else None
            self.assert_error(post_json(s, "/api/delete", body, raw=raw), 404, "文件不存在")
            self.assert_error(post_json(s, "/api/stat", body, raw=raw), 404, "文件不存在")
        self.assertTrue(os.path.exists(self.path("a.txt")))
        self.assertTrue(os.path.isdir(self.state))
        time.sleep(0.2)
        self.assertNotIn("删除", s.output())

    def test_read_only_file(self):
        write(self.path("ro.txt"))
        os.chmod(self.path("ro.txt"), 0o444)
        s = self.start()
        self.assertEqual(post_json(s, "/api/delete", {"path": "ro.txt"})[:3:2], (200, b'{"ok": true}'))
        self.assertFalse(os.path.exists(self.path("ro.txt")))

    def test_stat(self):
        write(self.path("ten.bin"), "0123456789")
        write(self.path("dir", "three"), "abc")
        write(self.path("dir", "four"), "abcd")
        write(self.path("dir", ".hidden"), "hidden bytes")
        os.makedirs(self.path("dir", "empty"))
        s = self.start()
        status, headers, body = post_json(s, "/api/stat", {"path": "ten.bin"})
        self.assertEqual((status, body), (200, b'{"files": 1, "dirs": 0, "size": 10}'))
        self.assertEqual(post_json(s, "/api/stat", {"path": "dir"})[2],
                         b'{"files": 2, "dirs": 1, "size": 7}')
        self.assert_error(post_json(s, "/api/stat", {"path": "/"}), 404, "文件不存在")

    def test_clear(self):
        write(self.path("a.txt"), "a")
        write(self.path("b.txt"), "b")
        write(self.path("folder", "c.txt"), "c")
        write(self.path(".dotfile"), "stays")
        write(os.path.join(self.state, "texts.json"), '[{"id": "1", "text": "t", "from": "f", "time": 1.0}]')
        self.write_records({"a.txt": {"from": "p", "time": 1.0}})
        s = self.start()
        status, _, body = s.request("POST", "/api/clear", body=b"ignored")
        self.assertEqual((status, body), (200, b'{"ok": true, "removed": 4}'))
        self.assertEqual(sorted(os.listdir(self.inbox)), [".dotfile", ".skiffbox"])
        with open(os.path.join(self.state, "files.json"), "rb") as f:
            self.assertEqual(f.read(), b"{}")
        with open(os.path.join(self.state, "texts.json"), "rb") as f:
            self.assertIn(b'"text": "t"', f.read())
        self.assertTrue(s.wait_output("  清空收件箱（4 项）" + usage_suffix(0, 0) + "\n"))
        self.assertEqual(s.request("POST", "/api/clear")[2], b'{"ok": true, "removed": 0}')

    @unittest.skipUnless(NATIVE, "wine shows a Unix link as what it points to")
    def test_links_deleted_never_followed(self):
        write(self.path("target", "inner.txt"))
        write(self.path("plain.txt"))
        os.symlink(self.path("target"), self.path("folderlink"))
        os.symlink(self.path("plain.txt"), self.path("filelink"))
        s = self.start()
        for link in ["folderlink", "filelink"]:
            status, _, body = post_json(s, "/api/delete", {"path": link})
            self.assertEqual((status, body), (200, b'{"ok": true, "removed": 1}'), link)
            self.assertFalse(os.path.lexists(self.path(link)))
        self.assertTrue(os.path.exists(self.path("target", "inner.txt")))
        self.assertTrue(os.path.exists(self.path("plain.txt")))


class TextsTest(StoreCase):
    def texts(self):
        status, headers, body = self.server.request("GET", "/api/texts")
        self.assertEqual(status, 200)
        self.assertEqual(headers["content-type"], JSON_TYPE)
        return json.loads(body)["texts"]

    def stored(self):
        with open(os.path.join(self.state, "texts.json"), "rb") as f:
            return f.read()

    def test_trim_devices_and_empty_texts(self):
        s = self.start()
        self.assertEqual(self.texts(), [])
        status, _, body = post_json(s, "/api/text", {"text": "  hello  ", "from": "小米"})
        self.assertEqual((status, body), (200, b'{"ok": true}'))
        self.assertEqual(post_json(s, "/api/text", {"text": "with header", "from": ""},
                                   headers={"X-Device-Name": "Pad"})[0], 200)
        self.assertEqual(post_json(s, "/api/text", {"text": "header only"},
                                   headers={"X-Device-Name": "%E5%B0%8F%E6%98%8E%20"})[0], 200)
        self.assertEqual(post_json(s, "/api/text", {"text": "nobody"})[0], 200)
        for body in [{"text": " \u3000\t "}, {"from": "x"}, {"text": 5}]:
            self.assert_error(post_json(s, "/api/text", body), 400, "内容为空")
        self.assert_error(post_json(s, "/api/text", raw=b"{broken"), 400, "内容为空")

        texts = self.texts()
        self.assertEqual([(t["text"], t["from"]) for t in texts],
                         [("nobody", "未知设备"), ("header only", "小明"),
                          ("with header", "未知设备"), ("hello", "小米")])
        for item in texts:
            self.assertEqual(list(item), ["id", "text", "from", "time"])
            self.assertRegex(item["id"], r"^\d{17}$")
        # The file is the same one-line text that the list shows.
        status, _, raw = s.request("GET", "/api/texts")
        self.assertEqual(raw, b'{"texts": ' + self.stored() + b"}")

    def test_from_trimmed_and_cut_to_40_characters_as_sent(self):
        s = self.start()
        cases = [
            ("  " + "名" * 39 + "😀" * 2 + " \t", "名" * 39 + "😀"),
            ("%E5%B0%8F%E6%98%8E 100%", "%E5%B0%8F%E6%98%8E 100%"),  # never percent-decoded
            (" \u3000 ", "未知设备"),
            ("x" * 4000000, "x" * 40),
        ]
        for sent, _ in cases:
            self.assertEqual(post_json(s, "/api/text", {"text": "t", "from": sent},
                                       headers={"X-Device-Name": "Pad"})[0], 200)
        self.assertEqual([t["from"] for t in self.texts()], [want for _, want in reversed(cases)])
        self.assertLess(len(self.stored()), 2000)

    def test_long_text_cut_to_20000_characters(self):
        s = self.start()
        self.assertEqual(post_json(s, "/api/text", {"text": "中" * 20001})[0], 200)
        text = self.texts()[0]["text"]
        self.assertEqual(len(text), 20000)
        self.assertEqual(len(text.encode()), 60000)

    def test_hundred_newest_kept(self):
        s = self.start()
        for i in range(101):
            self.assertEqual(post_json(s, "/api/text", {"text": "t%d" % i})[0], 200)
        listed = [t["text"] for t in self.texts()]
        self.assertEqual(listed, ["t%d" % i for i in range(100, 0, -1)])
        self.assertEqual([t["text"] for t in json.loads(self.stored())], listed)

    def test_expiry_delete_and_clear(self):
        now = time.time()
        old = {"id": "1", "text": "four days", "from": "a", "time": now - 4 * 86400}
        fresh = {"id": "2", "text": "fresh", "from": "b", "time": now - 60}
        timeless = {"id": "3", "text": "no time", "from": "c"}
        write(os.path.join(self.state, "texts.json"), json.dumps([old, fresh, timeless]))
        s = self.start()
        self.assertEqual([t["text"] for t in self.texts()], ["fresh"])
        self.assertIn(b"four days", self.stored())  # a read writes nothing

        self.assertEqual(post_json(s, "/api/text/delete", {"id": "nope"})[2], b'{"ok": true}')
        stored = json.loads(self.stored())
        self.assertEqual([t["text"] for t in stored], ["fresh"])
        self.assertAlmostEqual(stored[0]["time"], fresh["time"], places=5)

        self.assertEqual(post_json(s, "/api/text/delete", {"id": "2"})[2], b'{"ok": true}')
        self.assertEqual(self.stored(), b"[]")
        self.assertEqual(post_json(s, "/api/text", {"text": "again"})[0], 200)
        s.request("POST", "/api/clear")
        self.assertIn(b"again", self.stored())
        status, _, body = s.request("POST", "/api/text/clear")
        self.assertEqual((status, body), (200, b'{"ok": true}'))
        self.assertEqual(self.stored(), b"[]")

    def test_concurrent_posts_all_kept(self):
        s = self.start()
        count = 24
        barrier = threading.Barrier(count)
        results = []

        def post(i):
            barrier.wait()
            results.append(post_json(s, "/api/text", {"text": "c%d" % i})[0])

        threads = [threading.Thread(target=post, args=(i,)) for i in range(count)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(results, [200] * count)
        self.assertEqual(sorted(t["text"] for t in self.texts()), sorted("c%d" % i for i in range(count)))
        self.assertEqual(len(json.loads(self.stored())), count)


if __name__ == "__main__":
    unittest.main()
