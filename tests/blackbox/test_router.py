"""The endpoint catalogue: paths, methods, the page, "/api/info", "/favicon.ico"."""

import json
import unittest

from harness import Server

PAGE_TYPE = "text/html; charset=utf-8"


class Catalogue(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.srv = Server().__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.srv.__exit__(None, None, None)

    def error(self, method, path, body=None):
        status, headers, data = self.srv.request(method, path, body=body)
        self.assertEqual(headers["content-type"], "application/json; charset=utf-8")
        return status, json.loads(data)["error"]

    def test_unknown_paths(self):
        for path in ("/foo", "/f", "/api/files/", "/API/info", "/index.htm"):
            self.assertEqual(self.error("GET", path), (404, "没有这个页面"), path)
        self.assertEqual(self.error("POST", "/api/nothing", b"x" * 10_000_000), (404, "没有这个接口"))
        self.assertEqual(self.error("POST", "/api/info"), (404, "没有这个接口"))

    def test_cross_site_posts_are_refused_and_drained(self):
        host = "127.0.0.1:%d" % self.srv.port
        for origin in ("http://evil.example", "null", "http://127.0.0.1:1"):
            status, headers, data = self.srv.request(
                "POST", "/api/clear", headers={"Origin": origin, "Host": host}, body=b"x" * 3_000_000)
            self.assertEqual((status, json.loads(data)), (403, {"error": "跨站请求被拒绝"}), origin)
        status, _, _ = self.srv.request("POST", "/api/nothing", headers={"Origin": "http://" + host, "Host": host})
        self.assertEqual(status, 404)
        reply = self.srv.raw(b"POST /api/clear HTTP/1.0\r\nOrigin: http://evil\r\nHost: " + host.encode() +
                             b"\r\nContent-Length: 0\r\n\r\n")
        self.assertTrue(reply.startswith(b"HTTP/1.0 403 Forbidden\r\n"), reply[:40])

    def test_other_methods_get_501(self):
        for method in ("get", "PUT", "DELETE", "OPTIONS"):
            reply = self.srv.raw(("%s / HTTP/1.0\r\n\r\n" % method).encode())
            self.assertTrue(reply.startswith(b"HTTP/1.0 501 Unsupported method\r\n"), reply[:60])
            self.assertIn(b"Content-Type: text/html; charset=utf-8\r\nContent-Length: 0\r\n", reply)

    def test_page_get_and_head_with_query(self):
        status, headers, page = self.srv.request("GET", "/index.html?x=1")
        self.assertEqual((status, headers["content-type"]), (200, PAGE_TYPE))
        self.assertEqual(int(headers["content-length"]), len(page))
        reply = self.srv.raw(b"HEAD / HTTP/1.0\r\n\r\n")
        self.assertTrue(reply.endswith(page), "HEAD on the page sends the body too")

    def test_favicon_is_empty(self):
        status, headers, data = self.srv.request("GET", "/favicon.ico")
        self.assertEqual((status, headers["content-type"], headers["content-length"], data),
                         (204, "image/x-icon", "0", b""))

    def test_info_through_an_encoded_path(self):
        status, _, data = self.srv.request("GET", "/api%2Finfo")
        info = json.loads(data)
        self.assertEqual(status, 200)
        self.assertEqual(list(info), ["name", "version", "port", "ips", "ip", "base", "inbox", "host", "tree"])
        self.assertEqual((info["name"], info["version"], info["port"], info["tree"]),
                         ("舟匣", "1.0.0", self.srv.port, True))
        self.assertEqual(info["ip"], info["ips"][0] if info["ips"] else "127.0.0.1")
        self.assertEqual(info["base"], "http://%s:%d" % (info["ip"], self.srv.port))
        self.assertNotIn("127.0.0.1", info["ips"])


class InfoWithOverride(unittest.TestCase):
    def test_override_comes_first(self):
        with Server(extra_args=["--ip", "10.1.2.3"]) as srv:
            info = json.loads(srv.request("GET", "/api/info")[2])
            self.assertEqual(info["ips"][0], "10.1.2.3")
            self.assertEqual(info["ips"].count("10.1.2.3"), 1)
            self.assertEqual((info["ip"], info["base"]), ("10.1.2.3", "http://10.1.2.3:%d" % srv.port))
            self.assertIn("  手机打开 :  http://10.1.2.3:%d      ← 手机连同一个 WiFi\n" % srv.port, srv.output())


if __name__ == "__main__":
    unittest.main()
