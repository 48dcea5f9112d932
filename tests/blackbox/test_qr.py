"""The QR image endpoint "/qr.svg": what it encodes, its sizes, headers and errors."""

import json
import os
import re
import shutil
import subprocess
import tempfile
import unittest
import urllib.parse

from harness import Server

# The lines after the cache lines: only the server's own page may frame an answer.
FRAMING = [b"X-Frame-Options: SAMEORIGIN", b"Content-Security-Policy: frame-ancestors 'self'"]

CAN_DECODE = bool(shutil.which("rsvg-convert") and shutil.which("zbarimg"))


def decode(svg):
    """The bytes a QR reader finds in the image (rendered by rsvg-convert, read by zbarimg)."""
    with tempfile.TemporaryDirectory() as folder:
        svg_path, png_path = os.path.join(folder, "q.svg"), os.path.join(folder, "q.png")
        with open(svg_path, "wb") as f:
            f.write(svg)
        subprocess.run(["rsvg-convert", svg_path, "-o", png_path], check=True, timeout=30)
        done = subprocess.run(["zbarimg", "--raw", "-q", "-Sbinary", png_path],
                              capture_output=True, timeout=30)
        return done.stdout if done.returncode == 0 else None


def width_of(svg):
    match = re.match(rb'<svg xmlns="http://www.w3.org/2000/svg" width="(\d+)" height="(\d+)" '
                     rb'viewBox="0 0 (\d+) (\d+)" shape-rendering="crispEdges">', svg)
    if not match or len(set(match.groups())) != 1:
        return None
    return int(match.group(1))


def head_lines(response):
    return response.split(b"\r\n\r\n", 1)[0].split(b"\r\n")


class QrEndpoint(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server(extra_args=["--ip", "192.168.1.5"])
        cls.server.start()

    @classmethod
    def tearDownClass(cls):
        cls.server.kill()

    def get(self, query=""):
        return self.server.request("GET", "/qr.svg" + query)

    def test_image_of_the_given_text_with_its_headers(self):
        status, headers, body = self.get("?data=a+b%21")
        self.assertEqual(status, 200)
        self.assertEqual(headers["content-type"], "image/svg+xml; charset=utf-8")
        self.assertEqual(int(headers["content-length"]), len(body))
        self.assertEqual(width_of(body), 232)
        self.assertTrue(body.endswith(b'"/></svg>'))
        if CAN_DECODE:
            self.assertEqual(decode(body), b"a b!")
        # The image's own Cache-Control follows the standard one, and HEAD gets the body too.
        for method in (b"GET", b"HEAD"):
            raw = self.server.raw(method + b" /qr.svg?data=x HTTP/1.0\r\n\r\n")
            lines = head_lines(raw)
            self.assertEqual(lines[0], b"HTTP/1.0 200 OK")
            self.assertEqual(lines[5:], [b"Cache-Control: no-store",
                                         b"Cache-Control: public, max-age=300"] + FRAMING)
            self.assertTrue(raw.endswith(b'"/></svg>'))

    def test_without_data_the_base_url_is_encoded(self):
        expected = ("http://192.168.1.5:%d" % self.server.port).encode()
        for query in ("", "?data=", "?other=1"):
            status, _, body = self.get(query)
            self.assertEqual(status, 200, query)
            self.assertEqual(width_of(body), 264, query)  # 23 to 25 bytes: version 2
            if CAN_DECODE:
                self.assertEqual(decode(body), expected, query)
        # An empty value is passed over for a later non-empty one.
        status, _, body = self.get("?data=&data=second")
        self.assertEqual((status, width_of(body)), (200, 232))
        if CAN_DECODE:
            self.assertEqual(decode(body), b"second")

    def test_size_follows_the_text_and_too_long_is_an_error(self):
        for length, width in ((14, 232), (15, 264), (180, 488), (181, 520), (213, 520)):
            status, _, body = self.get("?data=" + "x" * length)
            self.assertEqual((status, width_of(body)), (200, width), length)
        chinese = "二" * 71  # 213 bytes of UTF-8
        status, _, body = self.get("?data=" + urllib.parse.quote(chinese))
        self.assertEqual((status, width_of(body)), (200, 520))
        if CAN_DECODE:
            self.assertEqual(decode(body), chinese.encode())

        raw = self.server.raw(b"GET /qr.svg?data=" + b"x" * 214 + b" HTTP/1.0\r\n\r\n")
        lines = head_lines(raw)
        self.assertEqual(lines[0], b"HTTP/1.0 500 Internal Server Error")
        self.assertEqual(lines[3], b"Content-Type: application/json; charset=utf-8")
        self.assertEqual(lines[5:], [b"Cache-Control: no-store"] + FRAMING)  # no extra header
        body = raw.split(b"\r\n\r\n", 1)[1]
        self.assertEqual(json.loads(body), {"error": "内容太长，二维码放不下"})


class QrDefaultAddress(unittest.TestCase):
    def test_without_override_the_first_lan_address_or_loopback(self):
        with Server() as server:
            status, _, body = server.request("GET", "/qr.svg")
            self.assertEqual(status, 200)
            if not CAN_DECODE:
                return
            text = decode(body).decode()
            match = re.fullmatch(r"http://([0-9.]+):(\d+)", text)
            self.assertIsNotNone(match, text)
            self.assertEqual(int(match.group(2)), server.port)
            host = match.group(1)
            private = re.match(r"(192\.168\.|10\.|172\.(1[6-9]|2\d|3[01])\.)", host)
            self.assertTrue(host == "127.0.0.1" or private, host)


if __name__ == "__main__":
    unittest.main()
