"""What bodies read whole may cost: the server's peak memory (the resident-set high-water mark
the OS keeps for the process) while it parses the largest JSON bodies, and the shared budget
that answers 503 while other bodies hold it."""

import json
import os
import socket
import time
import unittest

import harness
from harness import Server

MIB = 1024 * 1024
JSON_BODY_MAX = 16 * MIB
BUSY = json.dumps({"error": "服务器正忙，请稍后再试"}, ensure_ascii=False).encode()
NOT_FOUND = json.dumps({"error": "文件不存在"}, ensure_ascii=False).encode()


def status_kib(pid, field):
    """A "VmHWM"-style line of /proc/<pid>/status, in KiB."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise AssertionError("no %s in /proc/%d/status" % (field, pid))


def filled(opening, piece, closing, size):
    """opening + piece repeated + closing, exactly size bytes long (pieces joined by commas)."""
    count = (size - len(opening) - len(closing) + 1) // (len(piece) + 1)
    body = opening + b",".join([piece] * count) + closing
    return body + b" " * (size - len(body))


def send_head(sock, length, first_bytes=b""):
    sock.sendall(b"POST /api/stat HTTP/1.0\r\nContent-Type: application/json\r\n"
                 b"Content-Length: %d\r\n\r\n" % length + first_bytes)


def read_answer(sock):
    """Everything the server sends until it closes."""
    chunks = []
    while True:
        chunk = sock.recv(65536)
        if not chunk:
            return b"".join(chunks)
        chunks.append(chunk)


@unittest.skipIf(harness.UNDER_WINE or harness.SANITIZER or not os.path.exists("/proc/self/status"),
                 "reads the high-water mark of a native process from /proc; the sanitizers "
                 "add their own memory")
class JsonBodyPeakMemory(unittest.TestCase):
    # Bodies at the JSON limit that cost the most per byte: tiny values, values with keys,
    # and one long string. The tree once cost about 60 times the body.
    BODIES = [
        ("zeros", filled(b"[", b"0", b"]", JSON_BODY_MAX)),
        ("keys and empty arrays", filled(b"{", b'"k":[]', b"}", JSON_BODY_MAX)),
        ("one string", filled(b'{"path":"', b"x" * 1023, b'"}', JSON_BODY_MAX).replace(b",", b"y")),
    ]

    def test_peak_memory_stays_within_a_few_times_the_body(self):
        for name, body in self.BODIES:
            with self.subTest(name), Server() as server:
                # The first request settles what any request costs (threads, buffers).
                self.assertEqual(server.request("POST", "/api/stat", body=b'{"path": "x"}')[0], 404)
                before = status_kib(server.proc.pid, "VmHWM")
                status, _, answer = server.request("POST", "/api/stat", body=body)
                self.assertEqual((status, answer), (404, NOT_FOUND))
                grown = (status_kib(server.proc.pid, "VmHWM") - before) * 1024
                self.assertLess(grown, 4 * len(body), "%s: peak grew %.1f MiB" % (name, grown / MIB))
                self.assertEqual(server.request("POST", "/api/stat", body=b'{"path": "x"}')[0], 404)


class BodyBudget(unittest.TestCase):
    def test_large_bodies_over_the_budget_get_503_while_small_ones_pass(self):
        settle = 3 if harness.UNDER_WINE else 0.5
        with Server() as server:
            # Three bodies at the JSON limit, announced and begun, hold what large bodies may
            # take together.
            holders = [server.connect() for _ in range(3)]
            for sock in holders:
                send_head(sock, JSON_BODY_MAX, b"[0")
            time.sleep(settle)
            with server.connect() as sock:
                send_head(sock, JSON_BODY_MAX, b"[0")
                sock.shutdown(socket.SHUT_WR)
                answer = read_answer(sock)
            self.assertTrue(answer.startswith(b"HTTP/1.0 503 "), answer[:100])
            self.assertTrue(answer.endswith(b"\r\n\r\n" + BUSY), answer[-200:])
            # The page's small bodies are still served.
            self.assertEqual(server.request("POST", "/api/stat", body=b'{"path": "x"}')[:3:2],
                             (404, NOT_FOUND))
            self.assertEqual(server.request("POST", "/api/text", body=b'{"text": "hi"}')[0], 200)

            # A holder that goes away gives its share back.
            holders.pop().close()
            deadline = time.time() + 30
            while True:
                with server.connect() as sock:
                    body = b'{"path": "x"}' + b" " * (2 * MIB)
                    send_head(sock, len(body), body)
                    sock.shutdown(socket.SHUT_WR)
                    answer = read_answer(sock)
                if not answer.startswith(b"HTTP/1.0 503 ") or time.time() > deadline:
                    break
                time.sleep(0.2)
            self.assertTrue(answer.startswith(b"HTTP/1.0 404 "), answer[:100])
            for sock in holders:
                sock.close()


if __name__ == "__main__":
    unittest.main()
