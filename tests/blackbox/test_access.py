"""The access code: every endpoint with no, a wrong and a valid session; the login and its
limits; the login token of the start-up addresses; two servers side by side."""

import http.client
import json
import os
import re
import unittest

from clients import multipart, snapshot
from harness import Server, run_exe
from test_qr import CAN_DECODE, decode

JSON_TYPE = "application/json; charset=utf-8"
NEED_DIGITS = "请输入访问码（纯数字，电脑上的窗口里能看到）"
NEED_LETTERS = "请输入访问码（字母或数字，不分大小写，电脑上的窗口里能看到）"
WRONG = "访问码不对，请再试一次"
HEX32 = re.compile(r"^[0-9a-f]{32}$")


def request(srv, method, path, cookie=None, body=None, headers=None, source=None):
    """One request to srv, from the loopback address source (default 127.0.0.1), with the
    Cookie header given; returns (status, headers with lower-case names, body)."""
    conn = http.client.HTTPConnection("127.0.0.1", srv.port, timeout=60,
                                      source_address=(source, 0) if source else None)
    try:
        sent = dict(headers or {})
        if cookie is not None:
            sent["Cookie"] = cookie
        conn.request(method, path, body=body, headers=sent)
        resp = conn.getresponse()
        return resp.status, {k.lower(): v for k, v in resp.getheaders()}, resp.read()
    finally:
        conn.close()


def login(srv, pin, source=None):
    return request(srv, "POST", "/api/login", body=json.dumps({"pin": pin}).encode(),
                   headers={"Content-Type": "application/json"}, source=source)


def session_of(set_cookie):
    """(name, value) of a Set-Cookie header value."""
    pair = set_cookie.split(";", 1)[0]
    name, value = pair.split("=", 1)
    return name, value


def logged_in(srv, pin):
    status, headers, _ = login(srv, pin)
    assert status == 200, status
    name, value = session_of(headers["set-cookie"])
    return "%s=%s" % (name, value)


def login_token(srv):
    """The token of the banner's local address ("http://127.0.0.1:PORT/?k=TOKEN")."""
    found = re.search(r"本机打开 :  http://127\.0\.0\.1:%d/\?k=([0-9a-f]+)\n" % srv.port, srv.output())
    return found.group(1) if found else None


def error_of(body):
    return json.loads(body)["error"]


class EndpointsNeedASession(unittest.TestCase):
    """Each endpoint asked without a session, with wrong ones and with a valid one."""

    def setUp(self):
        self.srv = Server(["--pin", "4321"]).__enter__()
        self.addCleanup(self.srv.__exit__, None, None, None)
        with open(os.path.join(self.srv.inbox, "a.txt"), "wb") as f:
            f.write(b"alpha")
        status, _, _ = request(self.srv, "POST", "/api/text", cookie=logged_in(self.srv, "4321"),
                               body=json.dumps({"text": "kept"}).encode())
        self.assertEqual(status, 200)

    def cases(self):
        """(method, path, body, headers, status with a valid session), in an order in which the
        later ones do not spoil the earlier ones."""
        upload_type, upload_body = multipart([("b.txt", b"bravo")])
        form = {"Content-Type": "application/x-www-form-urlencoded"}
        as_json = {"Content-Type": "application/json"}
        return [
            ("GET", "/api/info", None, {}, 200),
            ("GET", "/api/files", None, {}, 200),
            ("HEAD", "/api/texts", None, {}, 200),
            ("GET", "/qr.svg?data=x", None, {}, 200),
            ("GET", "/f/a.txt", None, {}, 200),
            ("HEAD", "/f/a.txt", None, {}, 200),
            ("GET", "/f/a.txt?dl=1", None, {"Range": "bytes=0-1"}, 206),
            ("GET", "/nothing", None, {}, 404),
            ("GET", "/api%2Ffiles", None, {}, 200),
            ("POST", "/api/stat", b'{"path": "a.txt"}', as_json, 200),
            ("POST", "/zip", b"name=a.txt", form, 200),
            ("POST", "/api/zip-link", b"name=a.txt", form, 200),
            ("GET", "/zip?id=" + "0" * 32, None, {}, 404),
            ("POST", "/api/upload", upload_body, {"Content-Type": upload_type}, 200),
            ("POST", "/api/text", b'{"text": "new"}', as_json, 200),
            ("POST", "/api/text/delete", b'{"id": "x"}', as_json, 200),
            ("POST", "/api/nothing", b"x" * 100000, {}, 404),
            ("PUT", "/api/files", b"", {}, 501),
            ("POST", "/", b"", {}, 404),
            ("POST", "/api/delete", b'{"path": "a.txt"}', as_json, 200),
            ("POST", "/api/text/clear", None, {}, 200),
            ("POST", "/api/clear", None, {}, 200),
        ]

    def test_table(self):
        srv = self.srv
        good = logged_in(srv, "4321")
        name, value = good.split("=", 1)
        other_port = "skiffbox_%d=%s" % (srv.port + 1, value)
        wrong_sessions = [None, name + "=" + "0" * 32, name + "=4321", other_port,
                          name + "=" + login_token(srv), name + "=" + value.upper(),
                          name + "=" + value[:-1]]
        before = snapshot(srv.inbox)
        for method, path, body, headers, _ in self.cases():
            for cookie in wrong_sessions:
                status, got, data = request(srv, method, path, cookie=cookie, body=body,
                                            headers=headers)
                self.assertEqual((status, got.get("content-type")), (401, JSON_TYPE),
                                 (method, path, cookie))
                if method != "HEAD":
                    self.assertEqual(error_of(data), NEED_DIGITS)
                self.assertNotIn("set-cookie", got)
        self.assertEqual(snapshot(srv.inbox), before, "nothing changed without a session")

        for method, path, body, headers, expected in self.cases():
            status, _, _ = request(srv, method, path, cookie=good, body=body, headers=headers)
            self.assertEqual(status, expected, (method, path))
        self.assertEqual(os.listdir(srv.inbox), [".skiffbox"], "the valid session cleared the inbox")

    def test_the_page_its_icon_and_the_login_need_none(self):
        srv = self.srv
        for method, path, expected in (("GET", "/", 200), ("HEAD", "/index.html", 200),
                                       ("GET", "/index.html?k=nope", 200),
                                       ("GET", "/favicon.ico", 204)):
            status, headers, _ = request(srv, method, path)
            self.assertEqual(status, expected, path)
            self.assertNotIn("set-cookie", headers, path)
        self.assertEqual(login(srv, "1111")[0], 401)

    def test_host_and_origin_are_checked_first(self):
        srv = self.srv
        status, _, _ = request(srv, "GET", "/api/info", headers={"Host": "evil.example"})
        self.assertEqual(status, 403)
        status, _, data = request(srv, "POST", "/api/login", body=b'{"pin": "4321"}',
                                  headers={"Origin": "http://evil.example"})
        self.assertEqual((status, error_of(data)), (403, "跨站请求被拒绝"))
        # The refusal's address to open is the plain one: a page of that other site could
        # read it, so it must not hold the login token.
        status, _, data = request(srv, "GET", "/", headers={"Host": "evil.example"})
        self.assertEqual(status, 403)
        self.assertNotIn(login_token(srv), data.decode())


class Login(unittest.TestCase):
    def test_a_code_outside_the_rule_is_a_usage_error(self):
        for code in ("123", "1234567890123", "12 34", "码123"):
            self.assertEqual(run_exe(["--no-open", "--pin", code]),
                             (2, "访问码要 4~12 位字母或数字：%s（用 --help 看用法）\n" % code), code)

    def test_right_code_in_any_case_gives_a_fresh_session_cookie(self):
        with Server(["--pin", "AbC123"]) as srv:
            self.assertIn("访问码   :  AbC123", srv.output())
            status, headers, data = login(srv, "1111")
            self.assertEqual((status, error_of(data)), (401, WRONG))
            self.assertEqual(error_of(request(srv, "GET", "/api/files")[2]), NEED_LETTERS)
            ids = set()
            for typed in ("abc123", "ABC123", "AbC123"):
                status, headers, data = login(srv, typed)
                self.assertEqual((status, json.loads(data)), (200, {"ok": True}), typed)
                cookie = headers["set-cookie"]
                name, value = session_of(cookie)
                self.assertEqual(name, "skiffbox_%d" % srv.port)
                self.assertRegex(value, HEX32)
                attributes = [a.strip() for a in cookie.split(";")[1:]]
                self.assertEqual(sorted(attributes), ["HttpOnly", "Path=/", "SameSite=Strict"])
                ids.add(value)
                self.assertEqual(request(srv, "GET", "/api/info", cookie=name + "=" + value)[0], 200)
            self.assertEqual(len(ids), 3)
            for body in (b'{"pin": 4321}', b"{}", b"not json", b'{"pin": "' + b"1" * 2000 + b'"}'):
                status, _, data = request(srv, "POST", "/api/login", body=body)
                self.assertEqual((status, error_of(data)), (401, WRONG), body[:20])

    def test_without_a_code_nothing_changes(self):
        with Server() as srv:
            self.assertNotIn("访问码", srv.output())
            self.assertNotIn("?k=", srv.output())
            status, _, data = login(srv, "1234")
            self.assertEqual((status, error_of(data)), (404, "没有这个接口"))
            status, headers, _ = request(srv, "GET", "/?k=" + "0" * 32)
            self.assertEqual(status, 200)
            self.assertNotIn("set-cookie", headers)
            self.assertNotIn("token", json.loads(request(srv, "GET", "/api/info")[2]))


class Limits(unittest.TestCase):
    def limited(self, answer):
        status, headers, data = answer
        self.assertEqual(status, 429)
        wait = int(headers["retry-after"])
        self.assertEqual(error_of(data), "试错太多次了，请 %d 秒后再试" % wait)
        return wait

    def test_five_wrong_codes_bar_the_address_even_for_the_right_code(self):
        with Server(["--pin", "2468"]) as srv:
            for _ in range(5):
                self.assertEqual(login(srv, "0000", source="127.0.0.2")[0], 401)
            wait = self.limited(login(srv, "2468", source="127.0.0.2"))
            self.assertTrue(50 <= wait <= 60, wait)
            self.assertEqual(login(srv, "2468", source="127.0.0.3")[0], 200)
            # A session already held still works from the barred address.
            cookie = logged_in(srv, "2468")
            self.assertEqual(request(srv, "GET", "/api/files", cookie=cookie, source="127.0.0.2")[0], 200)

    def test_all_addresses_together_are_limited_too(self):
        with Server(["--pin", "2468"]) as srv:
            cookie = logged_in(srv, "2468")
            # Six addresses with five wrong codes each: the thirtieth bars every address.
            for n in range(2, 8):
                for _ in range(5):
                    self.assertEqual(login(srv, "0000", source="127.0.0.%d" % n)[0], 401)
            self.limited(login(srv, "2468", source="127.0.0.60"))
            self.limited(login(srv, "2468"))
            # Sessions held and the login address still get in.
            self.assertEqual(request(srv, "GET", "/api/texts", cookie=cookie)[0], 200)
            status, headers, _ = request(srv, "GET", "/?k=" + login_token(srv))
            self.assertEqual(status, 200)
            self.assertIn("set-cookie", headers)


class LoginToken(unittest.TestCase):
    def test_the_token_logs_in_and_dies_with_the_run(self):
        srv = Server(["--pin", "8642"])
        with srv:
            token = login_token(srv)
            self.assertRegex(token, HEX32)
            self.assertNotIn("8642", token)
            self.assertIn("访问码   :  8642", srv.output())
            for path in ("/?k=" + token, "/index.html?x=1&k=" + token):
                status, headers, page = request(srv, "GET", path)
                self.assertEqual(status, 200)
                self.assertIn(b'id="loginForm"', page)
                name, value = session_of(headers["set-cookie"])
                cookie = name + "=" + value
                self.assertEqual(request(srv, "GET", "/api/files", cookie=cookie)[0], 200)
            for wrong in ("?k=" + token.upper(), "?k=" + token[:-1], "?key=" + token, "?k="):
                self.assertNotIn("set-cookie", request(srv, "GET", "/" + wrong)[1], wrong)

            info = json.loads(request(srv, "GET", "/api/info", cookie=cookie)[2])
            self.assertEqual(info["token"], token)
            if CAN_DECODE:
                svg = request(srv, "GET", "/qr.svg", cookie=cookie)[2]
                self.assertEqual(decode(svg), ("%s/?k=%s" % (info["base"], token)).encode())
            port = srv.port
        # Started again (on the same port when the system has let it go): a new token, and
        # the old one and the old session, under the new server's cookie name, get nowhere.
        with Server(["--pin", "8642"], port=port) as again:
            new_token = login_token(again)
            self.assertRegex(new_token, HEX32)
            self.assertNotEqual(new_token, token)
            self.assertNotIn("set-cookie", request(again, "GET", "/?k=" + token)[1])
            old = "skiffbox_%d=%s" % (again.port, value)
            self.assertEqual(request(again, "GET", "/api/files", cookie=old)[0], 401)
            self.assertIn("set-cookie", request(again, "GET", "/?k=" + new_token)[1])


class TwoServers(unittest.TestCase):
    def test_sessions_of_two_ports_stay_apart(self):
        with Server(["--pin", "1357"]) as first, Server(["--pin", "1357"]) as second:
            self.assertNotEqual(first.port, second.port)
            a = logged_in(first, "1357")
            b = logged_in(second, "1357")
            self.assertNotEqual(a.split("=")[0], b.split("=")[0])
            # A browser sends both cookies to both ports: each server finds its own.
            both = a + "; " + b
            for srv in (first, second):
                self.assertEqual(request(srv, "GET", "/api/files", cookie=both)[0], 200)
            self.assertEqual(request(second, "GET", "/api/files", cookie=a)[0], 401)
            self.assertEqual(request(first, "GET", "/api/files", cookie=b)[0], 401)
            # One server's session under the other's name is still no session there.
            renamed = b.split("=")[0] + "=" + a.split("=")[1]
            self.assertEqual(request(second, "GET", "/api/files", cookie=renamed)[0], 401)


if __name__ == "__main__":
    unittest.main()
