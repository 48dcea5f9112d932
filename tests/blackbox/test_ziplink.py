"""Download addresses of a selection: "/api/zip-link" checks a selection as "/zip" does and
hands out "/zip?id=...", which serves the archive by GET as often as it is asked for, packed
afresh each time, until it expires; with an access code only the session that made it gets
it."""

import json
import os
import re
import shutil
import tempfile
import time
import unittest
import zipfile

import harness
from harness import Server
from test_access import logged_in, request
from test_zip import form, verify, write

HEX32 = re.compile(r"^[0-9a-f]{32}$")
FORM = {"Content-Type": "application/x-www-form-urlencoded"}
GONE = "下载地址已过期，请回到页面重新点下载"


def make_link(srv, body, cookie=None):
    """(status, parsed answer) of asking for an address of the form body."""
    status, _, data = request(srv, "POST", "/api/zip-link", cookie=cookie, body=body, headers=FORM)
    return status, json.loads(data)


class Links(harness.OneServerTest):
    def setUp(self):
        self.inbox = self.server.inbox
        for name in os.listdir(self.inbox):
            if not name.startswith("."):
                path = os.path.join(self.inbox, name)
                shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)
        self.tmp = tempfile.mkdtemp(prefix="ziplink-")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def link(self, body):
        status, answer = make_link(self.server, body)
        self.assertEqual(status, 200, answer)
        self.assertEqual(set(answer), {"id", "url"})
        self.assertRegex(answer["id"], HEX32)
        self.assertEqual(answer["url"], "/zip?id=" + answer["id"])
        return answer["url"]

    def get(self, path, headers=None, method="GET"):
        return request(self.server, method, path, headers=headers)

    def entries(self, data):
        path = os.path.join(self.tmp, "got.zip")
        write(path, data)
        infos = verify(path, self)
        with zipfile.ZipFile(path) as z:
            return {i.filename: z.read(i) for i in infos}

    def test_an_address_serves_the_same_archive_as_the_post_again_and_again(self):
        big = os.urandom(1500000)  # more than the stream's buffer: read in pieces
        write(os.path.join(self.inbox, "a.txt"), b"alpha")
        write(os.path.join(self.inbox, "照片/大.jpg"), big)
        write(os.path.join(self.inbox, "照片/sub/b.txt"), b"b")
        body = form("a.txt", "照片")
        url = self.link(body)

        first = self.get(url)
        second = self.get(url)
        posted = request(self.server, "POST", "/zip", body=body, headers=FORM)
        for status, headers, data in (first, second, posted):
            self.assertEqual(status, 200, data[:200])
            self.assertEqual(headers["content-type"], "application/zip")
            self.assertEqual(int(headers["content-length"]), len(data))
            self.assertRegex(headers["content-disposition"], r"^attachment; filename=")
            self.assertNotIn("accept-ranges", headers)
        self.assertEqual(first[2], second[2])
        self.assertEqual(first[2], posted[2])
        self.assertEqual(self.entries(second[2]),
                         {"a.txt": b"alpha", "照片/sub/b.txt": b"b", "照片/大.jpg": big})

        status, headers, data = self.get(url, method="HEAD")
        self.assertEqual((status, headers["content-length"], data), (200, first[1]["content-length"], b""))
        # Ranges are not served: the whole archive comes, so a resuming client starts over.
        status, headers, data = self.get(url, headers={"Range": "bytes=0-9"})
        self.assertEqual((status, data), (200, first[2]))

        # Each fetch packs the selection as it is now.
        write(os.path.join(self.inbox, "a.txt"), b"changed")
        write(os.path.join(self.inbox, "照片/new.txt"), b"new")
        os.remove(os.path.join(self.inbox, "照片/大.jpg"))
        status, _, data = self.get(url)
        self.assertEqual(status, 200)
        self.assertEqual(self.entries(data),
                         {"a.txt": b"changed", "照片/new.txt": b"new", "照片/sub/b.txt": b"b"})
        shutil.rmtree(os.path.join(self.inbox, "照片"))
        os.remove(os.path.join(self.inbox, "a.txt"))
        status, _, data = self.get(url)
        self.assertEqual((status, json.loads(data)), (404, {"error": "文件不存在"}))

    def test_a_selection_is_refused_as_the_post_refuses_it(self):
        os.makedirs(os.path.join(self.inbox, "empty/inner"))
        write(os.path.join(self.inbox, "a.txt"), b"a")
        bodies = [b"", b"name=", b"file=a.txt", form("empty"), form("missing.txt"),
                  form("../a.txt", ".skiffbox"), form(*["n%d" % i for i in range(20001)])]
        for body in bodies:
            with self.subTest(body=body[:40]):
                posted = request(self.server, "POST", "/zip", body=body, headers=FORM)
                status, headers, data = request(self.server, "POST", "/api/zip-link", body=body,
                                                headers=FORM)
                self.assertGreaterEqual(status, 400)
                self.assertEqual((status, headers["content-type"], data),
                                 (posted[0], posted[1]["content-type"], posted[2]))
        raw = self.server.raw(b"POST /api/zip-link HTTP/1.0\r\n\r\n")
        self.assertTrue(raw.startswith(b"HTTP/1.0 400 "), raw[:100])
        self.assertIn(json.dumps({"error": "没有选择文件"}, ensure_ascii=False).encode(), raw)
        # Another site's page cannot make one.
        status, _, data = request(self.server, "POST", "/api/zip-link", body=form("a.txt"),
                                  headers=dict(FORM, Origin="http://evil.example"))
        self.assertEqual((status, json.loads(data)), (403, {"error": "跨站请求被拒绝"}))

    def test_unknown_addresses_are_gone(self):
        write(os.path.join(self.inbox, "a.txt"), b"a")
        real = self.link(form("a.txt"))[len("/zip?id="):]
        for query in ("", "?id=", "?id=" + "0" * 32, "?id=" + real.upper(), "?id=" + real + "0",
                      "?id=" + real[:-1], "?id=../a.txt", "?x=" + real):
            with self.subTest(query=query):
                status, headers, data = self.get("/zip" + query)
                self.assertEqual((status, headers["content-type"]), (404, "application/json; charset=utf-8"))
                self.assertEqual(json.loads(data), {"error": GONE})
        self.assertEqual(self.get("/zip?id=" + "1" * 32, method="HEAD")[0], 404)
        self.assertEqual(self.get("/zip?id=" + real)[0], 200)
        # The form post to "/zip" stays a form post, whatever its query.
        status, _, data = request(self.server, "POST", "/zip?id=" + real, body=b"", headers=FORM)
        self.assertEqual((status, json.loads(data)), (400, {"error": "没有选择文件"}))


class Expiry(unittest.TestCase):
    def test_an_address_expires(self):
        with Server(env={"SKIFFBOX_TEST_ZIP_LINK_SECONDS": "5"}) as srv:
            write(os.path.join(srv.inbox, "a.txt"), b"a")
            made = time.monotonic()
            status, answer = make_link(srv, form("a.txt"))
            self.assertEqual(status, 200)
            self.assertEqual(request(srv, "GET", answer["url"])[0], 200)
            time.sleep(max(0.0, made + 5.3 - time.monotonic()))
            status, _, data = request(srv, "GET", answer["url"])
            self.assertEqual((status, json.loads(data)), (404, {"error": GONE}))


class WithAccessCode(unittest.TestCase):
    def test_only_the_session_that_made_an_address_gets_it(self):
        with Server(["--pin", "4321"]) as srv:
            write(os.path.join(srv.inbox, "a.txt"), b"a")
            mine = logged_in(srv, "4321")
            other = logged_in(srv, "4321")
            self.assertEqual(make_link(srv, form("a.txt"))[0], 401)
            status, answer = make_link(srv, form("a.txt"), cookie=mine)
            self.assertEqual(status, 200)
            url = answer["url"]
            self.assertEqual(request(srv, "GET", url)[0], 401)
            status, _, data = request(srv, "GET", url, cookie=other)
            self.assertEqual((status, json.loads(data)), (404, {"error": GONE}))
            for _ in range(2):
                status, headers, data = request(srv, "GET", url, cookie=mine)
                self.assertEqual((status, headers["content-type"]), (200, "application/zip"))
                self.assertEqual(len(data), int(headers["content-length"]))


if __name__ == "__main__":
    unittest.main()
