"""Downloads under /f/: ranges, HEAD, dispositions, the safety headers, refused paths, large
and sparse files."""

import os
import re
import tempfile
import unittest
import urllib.parse

import harness
from harness import Server

DATE = rb"[A-Z][a-z]{2}, \d{2} [A-Z][a-z]{2} \d{4} \d{2}:\d{2}:\d{2} GMT"
DATA = bytes((i * 7 + i // 251) % 256 for i in range(1000))
PHOTO_NAME = "照片 1.jpg"


def split_response(raw):
    """(status line, [(name, value)] in order, body) of a raw response."""
    head, _, body = raw.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    headers = [tuple(line.split(": ", 1)) for line in lines[1:]]
    return lines[0], headers, body


def get(server, path, headers=(), method="GET"):
    request = "%s %s HTTP/1.0\r\n" % (method, path) + "".join("%s: %s\r\n" % h for h in headers)
    return split_response(server.raw((request + "\r\n").encode()))


class Downloads(harness.OneServerTest):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        inbox = cls.server.inbox
        os.makedirs(os.path.join(inbox, "folder", "sub"), exist_ok=True)
        files = {
            "data.bin": DATA,
            PHOTO_NAME: b"\xff\xd8 not really a jpeg",
            "empty.txt": b"",
            "page.html": b"<script>alert(1)</script>",
            "doc.pdf": b"%PDF-1.4",
            "pack.zip": b"PK",
            os.path.join("folder", "sub", "deep.txt"): b"deep",
        }
        for name, data in files.items():
            with open(os.path.join(inbox, name), "wb") as f:
                f.write(data)

    def test_range_table_of_a_thousand_byte_file(self):
        cases = [
            (None, 200, 0, 999), ("bytes=0-", 206, 0, 999), ("bytes=100-199", 206, 100, 199),
            ("bytes=900-5000", 206, 900, 999), ("bytes=-300", 206, 700, 999),
            ("bytes=-5000", 206, 0, 999), ("bytes=500", 206, 500, 999), ("bytes=-", 206, 0, 999),
            ("bytes=", 206, 0, 999), ("bytes=0-99,200-299", 206, 0, 99),
            ("bytes=abc-", 200, 0, 999), ("bytes=5-x", 200, 0, 999), ("bytes=-x", 200, 0, 999),
            ("items=0-10", 200, 0, 999), ("Bytes=0-10", 200, 0, 999),
        ]
        for value, status, start, end in cases:
            with self.subTest(range=value):
                headers = [("Range", value)] if value is not None else []
                line, fields, body = get(self.server, "/f/data.bin", headers)
                fields = dict(fields)
                self.assertEqual(line, "HTTP/1.0 %d %s" % (status, "OK" if status == 200 else "Partial Content"))
                self.assertEqual(fields["Content-Length"], str(end - start + 1))
                self.assertEqual(body, DATA[start:end + 1])
                if status == 206:
                    self.assertEqual(fields["Content-Range"], "bytes %d-%d/1000" % (start, end))
                else:
                    self.assertNotIn("Content-Range", fields)

    def test_unsatisfiable_ranges_get_the_bare_416(self):
        for path, value, size in (("/f/data.bin", "bytes=1000-", 1000), ("/f/data.bin", "bytes=200-100", 1000),
                                  ("/f/data.bin", "bytes=-0", 1000), ("/f/empty.txt", "bytes=0-", 0),
                                  ("/f/empty.txt", "bytes=abc-", 0)):
            for method in ("GET", "HEAD"):
                with self.subTest(path=path, range=value, method=method):
                    raw = self.server.raw(("%s %s HTTP/1.0\r\nRange: %s\r\n\r\n" % (method, path, value)).encode())
                    self.assertRegex(raw, re.compile(
                        rb"HTTP/1\.0 416 Requested Range Not Satisfiable\r\nServer: Skiffbox/1\.0\.0 \r\n"
                        rb"Date: " + DATE + rb"\r\nContent-Range: bytes \*/%d\r\nContent-Length: 0\r\n\r\n\Z" % size))

    def test_head_layout_and_safety_headers(self):
        line, fields, body = get(self.server, "/f/data.bin", [("Range", "bytes=10-19")])
        self.assertEqual(line, "HTTP/1.0 206 Partial Content")
        self.assertEqual([name for name, _ in fields],
                         ["Server", "Date", "Content-Type", "Content-Length", "Content-Disposition",
                          "Accept-Ranges", "Cache-Control", "Content-Range", "X-Content-Type-Options",
                          "Content-Security-Policy"])
        fields = dict(fields)
        self.assertEqual(fields["Server"], "Skiffbox/1.0.0 ")
        self.assertEqual(fields["Content-Type"], "application/octet-stream")
        self.assertEqual(fields["Content-Disposition"],
                         "attachment; filename=\"data.bin\"; filename*=UTF-8''data.bin")
        self.assertEqual(fields["Accept-Ranges"], "bytes")
        self.assertEqual(fields["Cache-Control"], "no-store")
        self.assertEqual(fields["X-Content-Type-Options"], "nosniff")
        self.assertEqual(fields["Content-Security-Policy"], "sandbox")
        self.assertEqual(body, DATA[10:20])

        _, html, _ = get(self.server, "/f/page.html")
        self.assertIn(("Content-Security-Policy", "sandbox"), html)
        self.assertEqual(dict(html)["Content-Type"], "text/html")
        _, pdf, _ = get(self.server, "/f/doc.pdf")
        self.assertIn(("X-Content-Type-Options", "nosniff"), pdf)
        self.assertNotIn("Content-Security-Policy", dict(pdf))

    def test_head_is_the_get_head_without_body(self):
        for headers in ([], [("Range", "bytes=5-9")]):
            with self.subTest(headers=headers):
                get_line, get_fields, _ = get(self.server, "/f/data.bin", headers)
                head_line, head_fields, head_body = get(self.server, "/f/data.bin", headers, "HEAD")
                self.assertEqual(head_line, get_line)
                strip_date = lambda fields: [f for f in fields if f[0] != "Date"]
                self.assertEqual(strip_date(head_fields), strip_date(get_fields))
                self.assertEqual(head_body, b"")

    def test_inline_or_attachment(self):
        photo = "/f/" + urllib.parse.quote(PHOTO_NAME)
        cases = [(photo, "inline"), (photo + "?dl=1", "attachment"), (photo + "?dl=0", "inline"),
                 (photo + "?dl=true", "inline"), ("/f/pack.zip", "attachment"),
                 ("/f/pack.zip?dl=0", "attachment"), ("/f/doc.pdf", "inline")]
        for path, kind in cases:
            with self.subTest(path=path):
                _, fields, _ = get(self.server, path)
                self.assertTrue(dict(fields)["Content-Disposition"].startswith(kind + ";"))
        _, fields, body = get(self.server, photo)
        self.assertEqual(dict(fields)["Content-Disposition"],
                         "inline; filename=\" 1.jpg\"; filename*=UTF-8''%E7%85%A7%E7%89%87%201.jpg")
        self.assertEqual(dict(fields)["Content-Type"], "image/jpeg")
        self.assertEqual(body, b"\xff\xd8 not really a jpeg")

    def test_empty_file_and_nested_path(self):
        line, fields, body = get(self.server, "/f/empty.txt")
        self.assertEqual((line, dict(fields)["Content-Length"], body), ("HTTP/1.0 200 OK", "0", b""))
        for path in ("/f/folder/sub/deep.txt", "/f/folder%2Fsub%2Fdeep.txt", "/f/folder\\sub\\deep.txt",
                     "/f//folder/sub/deep.txt/"):
            with self.subTest(path=path):
                self.assertEqual(get(self.server, path)[2], b"deep")

    def test_refused_and_missing_paths(self):
        not_found = '{"error": "文件不存在"}'.encode()
        for path in ("/f/", "/f/missing.txt", "/f/folder", "/f/folder/sub", "/f/../data.bin",
                     "/f/folder/../data.bin", "/f/.skiffbox", "/f/folder//sub/deep.txt",
                     "/f/data.bin%00.txt", "/f/C:/Windows/win.ini"):
            with self.subTest(path=path):
                line, fields, body = get(self.server, path)
                self.assertEqual(line, "HTTP/1.0 404 Not Found")
                self.assertEqual(body, not_found)
                self.assertEqual(dict(fields)["Content-Type"], "application/json; charset=utf-8")

    @unittest.skipIf(harness.UNDER_WINE, "wine shows a Unix link as a plain file")
    def test_links_are_not_followed(self):
        outside = tempfile.NamedTemporaryFile(delete=False)
        try:
            outside.write(b"secret")
            outside.close()
            os.symlink(outside.name, os.path.join(self.server.inbox, "link.txt"))
            self.assertEqual(get(self.server, "/f/link.txt")[0], "HTTP/1.0 404 Not Found")
        finally:
            os.unlink(outside.name)

    def test_large_file_whole_while_another_request_is_served(self):
        big = bytes(range(256)) * (24 * 1024 * 4 + 3)  # about 24 MiB, not a multiple of any chunk
        with open(os.path.join(self.server.inbox, "big.bin"), "wb") as f:
            f.write(big)
        with self.server.connect(timeout=60) as slow:
            slow.sendall(b"GET /f/big.bin HTTP/1.0\r\n\r\n")
            first = slow.recv(1000)
            # The slow download holds its thread; others are served meanwhile.
            self.assertEqual(get(self.server, "/f/data.bin")[2], DATA)
            chunks = [first]
            while True:
                chunk = slow.recv(1 << 20)
                if not chunk:
                    break
                chunks.append(chunk)
        line, fields, body = split_response(b"".join(chunks))
        self.assertEqual(line, "HTTP/1.0 200 OK")
        self.assertEqual(dict(fields)["Content-Length"], str(len(big)))
        self.assertTrue(body == big)

    def test_range_beyond_four_gib_of_a_sparse_file(self):
        path = os.path.join(self.server.inbox, "sparse.bin")
        size = 5 * 1024 ** 3
        marker_at = 4 * 1024 ** 3 + 100
        try:
            with open(path, "wb") as f:
                f.seek(marker_at)
                f.write(b"0123456789")
                f.truncate(size)
        except OSError as e:
            self.skipTest("no room for a sparse file: %s" % e)
        try:
            line, fields, body = get(self.server, "/f/sparse.bin",
                                     [("Range", "bytes=%d-%d" % (marker_at, marker_at + 9))])
            self.assertEqual(line, "HTTP/1.0 206 Partial Content")
            self.assertEqual(dict(fields)["Content-Range"],
                             "bytes %d-%d/%d" % (marker_at, marker_at + 9, size))
            self.assertEqual(body, b"0123456789")
            _, fields, _ = get(self.server, "/f/sparse.bin", method="HEAD")
            self.assertEqual(dict(fields)["Content-Length"], str(size))
        finally:
            os.unlink(path)


if __name__ == "__main__":
    unittest.main()
