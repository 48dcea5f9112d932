"""The endpoint catalogue: paths, methods, the page, "/api/info", "/favicon.ico"."""

import json
import os
import socket
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
        reply = self.srv.raw(b"POST /api/clear HTTP/1.0\r\nOrigin: http://evil\r\nHost: " + host.encode() +
                             b"\r\nContent-Length: 0\r\n\r\n")
        self.assertTrue(reply.startswith(b"HTTP/1.0 403 Forbidden\r\n"), reply[:40])

    def test_page_and_error_answers_may_be_framed_only_by_the_page(self):
        for method, path, status in (("GET", "/", 200), ("GET", "/nothing", 404),
                                     ("POST", "/api/nothing", 404)):
            got, headers, _ = self.srv.request(method, path)
            self.assertEqual(got, status, path)
            self.assertEqual(headers["x-frame-options"], "SAMEORIGIN", path)
            self.assertEqual(headers["content-security-policy"], "frame-ancestors 'self'", path)

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


class FrontDoor(unittest.TestCase):
    """Only names no other site can own get in: a page that points a name of its own at this
    PC (DNS rebinding) must not read or change the inbox, whatever it sends."""

    IP = "skiffbox-pc.lan"  # the "--ip" value, whatever its text

    def request(self, srv, method, host, origin):
        """One raw request; a GET or HEAD asks for a file, a POST posts a text. Returns
        (status, head lines, JSON body or None)."""
        path, body = ("/api/text", b'{"text": "x"}') if method == "POST" else ("/f/a.txt", b"")
        lines = ["%s %s HTTP/1.0" % (method, path), "Content-Length: %d" % len(body)]
        if host is not None:
            lines.append("Host: " + host)
        if origin is not None:
            lines.append("Origin: " + origin)
        reply = srv.raw(("\r\n".join(lines) + "\r\n\r\n").encode() + body)
        head, _, data = reply.partition(b"\r\n\r\n")
        head_lines = head.decode("latin-1").split("\r\n")
        status = int(head_lines[0].split(" ")[1])
        try:
            answer = json.loads(data) if data else None
        except ValueError:
            answer = None
        return status, head_lines, answer

    def test_hosts_and_origins(self):
        with Server(extra_args=["--ip", self.IP]) as srv:
            with open(os.path.join(srv.inbox, "a.txt"), "wb") as f:
                f.write(b"secret")
            p = srv.port
            own = "127.0.0.1:%d" % p
            this_pc = socket.gethostname().split(".")[0]
            refused_host = {"error": "只能用本机地址访问，请打开 http://%s:%d" % (self.IP, p)}
            cross_site = {"error": "跨站请求被拒绝"}
            served_get, served_post, not_here = 200, 200, 501
            cases = [
                # method, Host, Origin, status, error
                ("GET", None, None, served_get, None),  # plain HTTP/1.0 tools send no Host
                ("GET", own, None, served_get, None),
                ("HEAD", "LOCALHOST.:%d" % p, None, served_get, None),
                ("GET", "127.0.0.1", None, served_get, None),
                ("GET", "[::1]:%d" % p, None, served_get, None),
                ("GET", "%s:%d" % (self.IP.upper(), p), None, served_get, None),
                ("GET", "%s.local:%d" % (this_pc, p), None, served_get, None),
                ("GET", own, "http://evil.example", served_get, None),  # reading is no change
                # The two requests of a rebinding page, and names that resolve to this PC.
                ("GET", "evil.example:%d" % p, None, 403, refused_host),
                ("POST", "evil.example:%d" % p, "http://evil.example:%d" % p, 403, refused_host),
                ("HEAD", "evil.example", None, 403, refused_host),
                ("GET", "127.0.0.1.nip.io:%d" % p, None, 403, refused_host),
                ("GET", "localhost.evil.example:%d" % p, None, 403, refused_host),
                ("GET", "127.0.0.1:%d" % (p + 1), None, 403, refused_host),
                ("PUT", "evil.example:%d" % p, None, 403, refused_host),
                # Changes need a page of this server, or no Origin at all.
                ("POST", own, None, served_post, None),
                ("POST", own, "http://127.0.0.1:%d" % p, served_post, None),
                ("POST", own, "http://localhost:%d" % p, served_post, None),
                ("POST", own, "http://%s:%d" % (self.IP, p), served_post, None),
                ("POST", own, "http://evil.example:%d" % p, 403, cross_site),
                ("POST", own, "http://127.0.0.1", 403, cross_site),
                ("POST", own, "null", 403, cross_site),
                ("DELETE", own, "http://evil.example", 403, cross_site),
                ("PUT", own, None, not_here, None),
            ]
            for method, host, origin, status, error in cases:
                with self.subTest(method=method, host=host, origin=origin):
                    got, head, answer = self.request(srv, method, host, origin)
                    self.assertEqual(got, status)
                    if error:
                        self.assertEqual(answer, error)
                    self.assertFalse([line for line in head if line.lower().startswith("access-control-")])
            # Only the served posts stored their text.
            texts = json.loads(srv.request("GET", "/api/texts")[2])["texts"]
            served_posts = sum(1 for m, _, _, s, _ in cases if m == "POST" and s == served_post)
            self.assertEqual(len(texts), served_posts)


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
