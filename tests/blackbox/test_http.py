"""The HTTP core over raw sockets: reading heads, bare and JSON errors, drains, time-outs,
parallel connections."""

import concurrent.futures
import re
import socket
import struct
import threading
import time
import unittest

import harness
from harness import Server

DATE = rb"[A-Z][a-z]{2}, \d{2} [A-Z][a-z]{2} \d{4} \d{2}:\d{2}:\d{2} GMT"
NO_PAGE = '{"error": "没有这个页面"}'.encode()
NO_INTERFACE = '{"error": "没有这个接口"}'.encode()
# Every answer with a body may be framed only by the server's own page.
FRAMING = b"X-Frame-Options: SAMEORIGIN\r\nContent-Security-Policy: frame-ancestors 'self'\r\n"


def json_error_response(status_line, body):
    """The exact bytes of a JSON error answer, with the Date line as a pattern."""
    return re.compile(
        re.escape(status_line + b"\r\nServer: Skiffbox/1.0.0 \r\nDate: ") + DATE
        + re.escape(b"\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: %d\r\n"
                    b"Cache-Control: no-store\r\n" % len(body) + FRAMING + b"\r\n" + body)
        + rb"\Z")


BARE_400 = re.compile(rb"HTTP/1\.0 400 Bad Request\r\nServer: Skiffbox/1\.0\.0 \r\nDate: " + DATE
                      + rb"\r\nContent-Length: 0\r\n\r\n\Z")
NOT_FOUND = json_error_response(b"HTTP/1.0 404 Not Found", NO_PAGE)
NO_SUCH_INTERFACE = json_error_response(b"HTTP/1.0 404 Not Found", NO_INTERFACE)


def read_until_close(sock):
    """Everything the server sends until it closes; a reset ends the reading too."""
    chunks = []
    try:
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                break
            chunks.append(chunk)
    except ConnectionResetError:
        pass
    return b"".join(chunks)


class Requests(harness.OneServerTest):
    def test_head_sent_one_byte_at_a_time(self):
        request = b"GET /nothing?x=1 HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"
        with self.server.connect() as s:
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            for i in range(len(request)):
                s.sendall(request[i:i + 1])
                time.sleep(0.005)
            self.assertRegex(read_until_close(s), NOT_FOUND)

    def test_request_after_a_silent_start_is_answered(self):
        # A browser may open a connection ahead of need and speak seconds later: before, while
        # and after the server's system holds silent connections back, the request is answered.
        def silent_then_speaks(delay):
            with self.server.connect() as s:
                time.sleep(delay)
                s.sendall(b"GET /nothing HTTP/1.0\r\n\r\n")
                return read_until_close(s)

        delays = [0, 0.5, 1.5, 4]
        with concurrent.futures.ThreadPoolExecutor(len(delays)) as pool:
            for delay, answer in zip(delays, pool.map(silent_then_speaks, delays)):
                with self.subTest(delay=delay):
                    self.assertRegex(answer, NOT_FOUND)

    def test_body_arriving_with_the_head(self):
        body = b'{"text": "hello"}'
        request = b"POST /api/nothing HTTP/1.0\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body)
        self.assertRegex(self.server.raw(request), NO_SUCH_INTERFACE)

    def test_head_without_blank_line_is_closed_unanswered(self):
        self.assertEqual(self.server.raw(b"GET / HTTP/1.0\r\nX-Long: " + b"a" * 70000), b"")

    def test_malformed_request_lines_get_the_bare_400(self):
        for line in (b"GET /\r\n\r\n", b"\r\n\r\n", b"GET\r\nHost: x\r\n\r\n", b"  \t \r\n\r\n",
                     b"GET / \r\n\r\n"):
            with self.subTest(line=line):
                self.assertRegex(self.server.raw(line), BARE_400)

    def test_unknown_and_lower_case_methods_get_501(self):
        expected = re.compile(
            rb"HTTP/1\.0 501 Unsupported method\r\nServer: Skiffbox/1\.0\.0 \r\nDate: " + DATE
            + rb"\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: 0\r\n"
            rb"Cache-Control: no-store\r\n" + re.escape(FRAMING) + rb"\r\n\Z")
        for method in (b"get", b"PUT", b"OPTIONS"):
            with self.subTest(method=method):
                self.assertRegex(self.server.raw(method + b" / HTTP/1.0\r\n\r\n"), expected)

    def test_unknown_paths_get_json_errors(self):
        self.assertRegex(self.server.raw(b"GET /nothing HTTP/1.0\r\n\r\n"), NOT_FOUND)
        self.assertRegex(self.server.raw(b"POST /nothing HTTP/1.0\r\n\r\n"), NO_SUCH_INTERFACE)

    def test_unread_post_body_is_drained_before_close(self):
        # The answer comes before the body is read; without the drain the close would reset
        # the connection while the client is still sending and the answer could be lost.
        body = b"x" * (10 * 1024 * 1024)
        with self.server.connect(timeout=60) as s:
            s.sendall(b"POST /api/nothing HTTP/1.0\r\nContent-Length: %d\r\n\r\n" % len(body))
            time.sleep(0.2)
            s.sendall(body)
            self.assertRegex(read_until_close(s), NO_SUCH_INTERFACE)

    def test_clients_that_vanish_do_not_end_the_server(self):
        for _ in range(20):
            s = self.server.connect()
            s.sendall(b"GET / HTTP/1.0\r\n\r\n")
            # Close with a reset while the page is on its way.
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            s.close()
        status, _, body = self.server.request("GET", "/favicon.ico")
        self.assertEqual((status, body), (204, b""))

    def test_many_connections_served_in_parallel(self):
        # Every client holds its connection open until all are connected, so the answers can
        # only come from connections served side by side.
        count = 60
        socks = [self.server.connect(timeout=60) for _ in range(count)]
        for s in socks:
            s.sendall(b"GET /nothing HTTP/1.0\r\n")
        answers = [None] * count

        def finish(i):
            socks[i].sendall(b"\r\n")
            answers[i] = read_until_close(socks[i])

        threads = [threading.Thread(target=finish, args=(i,)) for i in range(count)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        for s in socks:
            s.close()
        for answer in answers:
            self.assertRegex(answer, NOT_FOUND)


class PerAddressCap(unittest.TestCase):
    def test_one_address_holds_at_most_64_connections(self):
        """The 65th connection from one address is refused at once while another address is
        still served, and a freed connection makes room again."""
        with Server() as srv:
            # Each held connection has begun its head, so it is taken (and holds its share)
            # at once and in order, before the crowded one.
            held = [srv.connect(timeout=60) for _ in range(64)]
            for s in held:
                s.sendall(b"GET /nothing HTTP/1.0\r\n")
            try:
                with srv.connect() as crowded:
                    crowded.sendall(b"GET /nothing HTTP/1.0\r\n\r\n")
                    answer = read_until_close(crowded)
                self.assertRegex(answer, json_error_response(
                    b"HTTP/1.0 503 Service Unavailable",
                    '{"error": "同一地址的连接太多，请稍后再试"}'.encode()))
                with socket.create_connection(("127.0.0.1", srv.port), timeout=30,
                                              source_address=("127.0.0.2", 0)) as other:
                    other.sendall(b"GET /nothing HTTP/1.0\r\n\r\n")
                    self.assertRegex(read_until_close(other), NOT_FOUND)
                held.pop().close()
                deadline = time.time() + 20
                while True:
                    with srv.connect() as again:
                        again.sendall(b"GET /nothing HTTP/1.0\r\n\r\n")
                        answer = read_until_close(again)
                    if not answer.startswith(b"HTTP/1.0 503 ") or time.time() > deadline:
                        break
                    time.sleep(0.1)  # the freed connection's thread is still ending
                self.assertRegex(answer, NOT_FOUND)
            finally:
                for s in held:
                    s.close()


class HeadTimeOut(unittest.TestCase):
    def test_silent_client_is_closed_after_30_seconds(self):
        with Server() as srv:
            with srv.connect(timeout=90) as silent, srv.connect(timeout=90) as partial:
                partial.sendall(b"GET / HTTP/1.0\r\nHost: x\r\n")
                start = time.time()
                self.assertEqual(read_until_close(silent), b"")
                self.assertEqual(read_until_close(partial), b"")
                waited = time.time() - start
            self.assertGreater(waited, 25)
            self.assertLess(waited, 60)
            # The server goes on serving.
            self.assertEqual(srv.request("GET", "/favicon.ico")[0], 204)



class BodyBudget(unittest.TestCase):
    """Bodies read whole share one memory budget: large ones beyond their share are answered 503
    at once, unread, while the page's small ones are still served."""

    BUSY = '{"error": "服务器正忙，请稍后再试"}'.encode()
    JSON_LIMIT = 16 * 1024 * 1024

    @staticmethod
    def begin_body(server, length, first_bytes):
        sock = server.connect()
        sock.sendall(b"POST /api/stat HTTP/1.0\r\nContent-Type: application/json\r\n"
                     b"Content-Length: %d\r\n\r\n" % length + first_bytes)
        return sock

    def whole_body(self, server, body):
        with self.begin_body(server, len(body), body) as sock:
            sock.shutdown(socket.SHUT_WR)
            return read_until_close(sock)

    def test_large_bodies_beyond_their_share_get_503_while_small_ones_pass(self):
        with Server() as server:
            # Three bodies at the JSON limit, announced and begun, hold the large bodies' share.
            holders = [self.begin_body(server, self.JSON_LIMIT, b"[0") for _ in range(3)]
            time.sleep(3 if harness.UNDER_WINE else 0.5)
            with self.begin_body(server, self.JSON_LIMIT, b"[0") as sock:
                sock.shutdown(socket.SHUT_WR)
                answer = read_until_close(sock)
            self.assertTrue(answer.startswith(b"HTTP/1.0 503 "), answer[:100])
            self.assertTrue(answer.endswith(b"\r\n\r\n" + self.BUSY), answer[-200:])
            self.assertEqual(server.request("POST", "/api/stat", body=b'{"path": "x"}')[0], 404)
            self.assertEqual(server.request("POST", "/api/text", body=b'{"text": "hi"}')[0], 200)

            # A holder that goes away gives its share back.
            holders.pop().close()
            large = b'{"path": "x"}' + b" " * (2 * 1024 * 1024)
            deadline = time.time() + 30
            answer = self.whole_body(server, large)
            while answer.startswith(b"HTTP/1.0 503 ") and time.time() < deadline:
                time.sleep(0.2)
                answer = self.whole_body(server, large)
            self.assertTrue(answer.startswith(b"HTTP/1.0 404 "), answer[:100])
            for sock in holders:
                sock.close()

if __name__ == "__main__":
    unittest.main()
