"""The server under load and against large bodies: 2,000 simultaneous connections (idle, slow
and busy, each from an address of its own) while a phone keeps working, JSON and form bodies
too large to read whole, and the peak memory of parsing JSON bodies at the limit. Linux builds
only, not under wine: the server's threads and memory are read from /proc."""

import json
import os
import resource
import selectors
import socket
import sys
import threading
import time
import unittest
import uuid

from harness import EXE, UNDER_WINE, Server

IDLE = 1500
SLOW = 400
STREAMING = 100
HEAD_TIMEOUT = 30
STREAM_BYTES = 1 << 30  # announced, never all sent
MIB = 1 << 20


def status_kib(pid, field):
    """A memory figure of /proc/<pid>/status (VmRSS, VmHWM, VmSize) in KiB."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def thread_count(pid):
    return len(os.listdir("/proc/%d/task" % pid))


def sanitizer(exe):
    """"asan" or "tsan" when the executable carries that sanitizer's runtime, else ""."""
    if not exe or not os.path.exists(exe):
        return ""
    with open(exe, "rb") as f:
        data = f.read()
    return "tsan" if b"__tsan_init" in data else "asan" if b"__asan_init" in data else ""


SANITIZER = sanitizer(EXE)


def raise_file_limit(wanted):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard != resource.RLIM_INFINITY and hard < wanted:
        return False
    if soft == resource.RLIM_INFINITY or soft >= wanted:
        return True
    resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, hard))
    return True


_sources = iter(range(1, 1 << 20))


def connect(port):
    """A connection from an address of its own in 127/8 (all of it is this machine on Linux),
    as every real client has its own address: one address may hold only 64 connections."""
    n = next(_sources)
    source = "127.%d.%d.%d" % (1 + n // 62500, n // 250 % 250, 1 + n % 250)
    s = socket.create_connection(("127.0.0.1", port), timeout=30, source_address=(source, 0))
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def read_answer(sock):
    """Everything the server sends until it closes."""
    chunks = []
    while True:
        chunk = sock.recv(65536)
        if not chunk:
            return b"".join(chunks)
        chunks.append(chunk)


def status_of(answer):
    return int(answer.split(b" ", 2)[1]) if answer.startswith(b"HTTP/1.0 ") else 0


def multipart(files):
    boundary = "----skiffbox" + uuid.uuid4().hex
    body = bytearray()
    for name, data in files:
        body += ("--%s\r\nContent-Disposition: form-data; name=\"files\"; filename=\"%s\"\r\n"
                 "Content-Type: application/octet-stream\r\n\r\n" % (boundary, name)).encode()
        body += data + b"\r\n"
    body += ("--%s--\r\n" % boundary).encode()
    return bytes(body), "multipart/form-data; boundary=" + boundary


@unittest.skipIf(UNDER_WINE or not sys.platform.startswith("linux"), "reads /proc of a native server")
@unittest.skipIf(SANITIZER == "tsan", "this build starts about 60 threads a second, too few to hold "
                 "2,000 connections inside the head time-out")
class Flood(unittest.TestCase):
    def setUp(self):
        if not raise_file_limit(IDLE + SLOW + STREAMING + 512):
            self.skipTest("the file limit is too low for the flood")
        self.server = Server()
        self.server.__enter__()
        self.addCleanup(self.server.__exit__, None, None, None)
        self.pid = self.server.proc.pid
        self.sockets = []
        self.addCleanup(self.close_all)

    def close_all(self):
        for s in self.sockets:
            s.close()

    def phone_works(self, tag):
        """A phone's upload, text and listings; each answer must come promptly."""
        start = time.monotonic()
        data = os.urandom(200000)
        body, content_type = multipart([(tag + ".bin", data)])
        status, _, answer = self.server.request(
            "POST", "/api/upload", {"Content-Type": content_type, "X-Device-Name": "phone"},
            body, timeout=10)
        self.assertEqual(status, 200, answer)
        with open(os.path.join(self.server.inbox, tag + ".bin"), "rb") as f:
            self.assertEqual(f.read(), data)
        status, _, answer = self.server.request("POST", "/api/text",
                                                {"Content-Type": "application/json"},
                                                json.dumps({"text": tag}).encode(), timeout=10)
        self.assertEqual((status, answer), (200, b'{"ok": true}'))
        status, _, answer = self.server.request("GET", "/api/files", timeout=10)
        self.assertEqual(status, 200)
        self.assertIn(tag + ".bin", [f["name"] for f in json.loads(answer)["files"]])
        status, _, answer = self.server.request("GET", "/api/texts", timeout=10)
        self.assertIn(tag, [t["text"] for t in json.loads(answer)["texts"]])
        return time.monotonic() - start

    def open_idle(self):
        idle = []
        for _ in range(IDLE):
            s = connect(self.server.port)
            idle.append((s, time.monotonic()))
            self.sockets.append(s)
        return idle

    def open_slow(self):
        """Half send a listing request's head, half a text's body, one byte at a time."""
        slow = []
        for i in range(SLOW):
            s = connect(self.server.port)
            self.sockets.append(s)
            if i % 2:
                head, rest = b"GET /api/files HTTP/1.0\r\n", b"X-Slow: %d\r\n\r\n" % i
            else:
                text = json.dumps({"text": "slow %d" % i}).encode()
                head = (b"POST /api/text HTTP/1.0\r\nContent-Type: application/json\r\n"
                        b"Content-Length: %d\r\n\r\n" % len(text))
                rest = text
            s.sendall(head + rest[:1])
            slow.append([s, rest[1:]])
        return slow

    def open_streaming(self):
        """Bodies to a path that answers at once and drains what follows."""
        streaming = []
        for _ in range(STREAMING):
            s = connect(self.server.port)
            self.sockets.append(s)
            s.sendall(b"POST /api/nothing HTTP/1.0\r\nContent-Length: %d\r\n\r\n" % STREAM_BYTES)
            streaming.append(s)
        return streaming

    def feed(self, streaming, stop, failures):
        """Keeps the bodies flowing until stop, then ends them early."""
        piece = b"x" * 8192
        try:
            while not stop.wait(0.2):
                for s in streaming:
                    s.sendall(piece)
            for s in streaming:
                s.shutdown(socket.SHUT_WR)
        except OSError as e:
            failures.append("streaming: %r" % e)

    def busy(self, stop, failures, counts):
        paths = ["/api/files", "/api/texts", "/", "/api/info"]
        i = 0
        while not stop.is_set():
            try:
                status, _, _ = self.server.request("GET", paths[i % len(paths)], timeout=20)
                if status != 200:
                    failures.append("busy: %d" % status)
                counts[0] += 1
            except OSError as e:
                failures.append("busy: %r" % e)
            i += 1

    def wait_idle_closed(self, idle):
        """Seconds from connecting to the server's close, for every idle connection."""
        selector = selectors.DefaultSelector()
        for s, opened in idle:
            s.setblocking(False)
            selector.register(s, selectors.EVENT_READ, opened)
        lived = []
        deadline = time.monotonic() + HEAD_TIMEOUT + 30
        while len(lived) < len(idle) and time.monotonic() < deadline:
            for key, _ in selector.select(timeout=1):
                try:
                    data = key.fileobj.recv(1)
                except ConnectionResetError:
                    data = b"reset"
                self.assertEqual(data, b"", "an idle connection got an answer")
                lived.append(time.monotonic() - key.data)
                selector.unregister(key.fileobj)
        selector.close()
        return lived

    # A connection thread parks for 10 s after its last connection before it ends, and the
    # idle connections all reach their time-out together: their threads end together after
    # that, which takes a sanitizer build several seconds more.
    def settle(self, threads_before, timeout=40):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and thread_count(self.pid) > threads_before:
            time.sleep(0.1)
        return thread_count(self.pid)

    def test_two_thousand_connections_mixed(self):
        self.phone_works("warm-up")
        time.sleep(0.5)  # the warm-up's connection threads end after their answers
        threads_idle = thread_count(self.pid)
        rss_idle = status_kib(self.pid, "VmRSS")

        failures = []
        stop = threading.Event()
        streaming = self.open_streaming()
        feeder = threading.Thread(target=self.feed, args=(streaming, stop, failures))
        feeder.start()
        idle = self.open_idle()
        slow = self.open_slow()  # last: their heads must be done within the head time-out
        counts = [0]
        workers = [threading.Thread(target=self.busy, args=(stop, failures, counts))
                   for _ in range(4)]
        for w in workers:
            w.start()

        # Every connection has a thread once the server has accepted them all (sanitizer builds
        # start threads slowly).
        wanted = threads_idle + IDLE + SLOW + STREAMING
        deadline = time.monotonic() + 20
        while thread_count(self.pid) < wanted and time.monotonic() < deadline:
            time.sleep(0.1)
        threads_during = thread_count(self.pid)
        self.assertGreaterEqual(threads_during, wanted)
        phone_seconds = self.phone_works("during-flood")
        rss_during = status_kib(self.pid, "VmRSS")
        vm_during = status_kib(self.pid, "VmSize")

        # The slow ones finish and are all answered.
        while any(rest for _, rest in slow):
            for entry in slow:
                if entry[1]:
                    entry[0].sendall(entry[1][:1])
                    entry[1] = entry[1][1:]
            time.sleep(0.2)
        for i, (s, _) in enumerate(slow):
            self.assertEqual(status_of(read_answer(s)), 200, "slow connection %d" % i)

        stop.set()
        feeder.join()
        for w in workers:
            w.join()
        for s in streaming:
            self.assertEqual(status_of(read_answer(s)), 404)
        self.assertEqual(failures, [])
        self.assertGreater(counts[0], 0)

        lived = self.wait_idle_closed(idle)
        self.assertEqual(len(lived), IDLE, "idle connections left open")
        self.assertGreaterEqual(min(lived), HEAD_TIMEOUT - 1)
        self.assertLess(max(lived), HEAD_TIMEOUT + 25)

        threads_after = self.settle(threads_idle)
        rss_after = status_kib(self.pid, "VmRSS")
        sys.stderr.write(
            "\nload: %d connections; threads idle %d, during %d, after %d; "
            "RSS idle %d KiB, during %d KiB, after %d KiB; VmSize during %d KiB; "
            "phone %.2f s; %d busy requests; idle closed after %.1f-%.1f s\n"
            % (IDLE + SLOW + STREAMING, threads_idle, threads_during, threads_after, rss_idle,
               rss_during, rss_after, vm_during, phone_seconds, counts[0], min(lived),
               max(lived)))
        self.assertLess(phone_seconds, 10)
        self.assertLessEqual(threads_after, threads_idle)
        if not SANITIZER:  # a sanitizer's quarantine and shadow keep what the server frees
            self.assertLess(rss_after, rss_idle + 8 * 1024)
        self.phone_works("after-flood")


@unittest.skipIf(UNDER_WINE or not sys.platform.startswith("linux"), "reads /proc of a native server")
class OversizedBodies(unittest.TestCase):
    """Bodies above the limits are never held: the answer is the one for a missing body, the
    bytes are drained, and the server's peak memory does not move."""

    def setUp(self):
        self.server = Server()
        self.server.__enter__()
        self.addCleanup(self.server.__exit__, None, None, None)
        self.pid = self.server.proc.pid

    def post_padded(self, path, content_type, make, length):
        """Posts the body make(padding) grown to exactly length bytes."""
        body = make(b"")
        body = make(b"x" * (length - len(body)))
        self.assertEqual(len(body), length)
        return self.server.request("POST", path, {"Content-Type": content_type}, body)

    def peak_growth_kib(self, send):
        before = status_kib(self.pid, "VmHWM")
        result = send()
        return result, status_kib(self.pid, "VmHWM") - before

    def test_json_body_over_16_mib(self):
        limit = 16 * MIB

        def text_body(tag):
            return lambda pad: b'{"text": "%s", "pad": "%s"}' % (tag, pad)

        (status, _, answer), growth = self.peak_growth_kib(
            lambda: self.post_padded("/api/text", "application/json", text_body(b"too-big"),
                                     limit + 1))
        self.assertEqual((status, json.loads(answer)), (400, {"error": "内容为空"}))
        self.assertLess(growth, 4 * 1024)
        # A body at the limit is read whole (and moves the peak): the limit is where it says.
        (status, _, answer), growth = self.peak_growth_kib(
            lambda: self.post_padded("/api/text", "application/json", text_body(b"at-limit"),
                                     limit))
        self.assertEqual((status, answer), (200, b'{"ok": true}'))
        self.assertGreater(growth, limit // 1024)
        texts = [t["text"] for t in json.loads(self.server.request("GET", "/api/texts")[2])["texts"]]
        self.assertEqual(texts, ["at-limit"])

    def test_zip_form_over_64_mib(self):
        limit = 64 * MIB
        with open(os.path.join(self.server.inbox, "a.txt"), "wb") as f:
            f.write(b"hello")

        def form(pad):
            return b"name=a.txt&pad=" + pad

        (status, _, answer), growth = self.peak_growth_kib(
            lambda: self.post_padded("/zip", "application/x-www-form-urlencoded", form,
                                     limit + 1))
        self.assertEqual((status, json.loads(answer)), (400, {"error": "没有选择文件"}))
        self.assertLess(growth, 4 * 1024)
        status, headers, answer = self.post_padded("/zip", "application/x-www-form-urlencoded",
                                                   form, limit)
        self.assertEqual(status, 200)
        self.assertEqual(headers["content-type"], "application/zip")
        self.assertIn(b"a.txt", answer)


def filled(opening, piece, closing, size):
    """opening, pieces joined by commas, closing, padded with spaces to exactly size bytes."""
    count = (size - len(opening) - len(closing) + 1) // (len(piece) + 1)
    body = opening + b",".join([piece] * count) + closing
    return body + b" " * (size - len(body))


@unittest.skipIf(UNDER_WINE or not sys.platform.startswith("linux"), "reads /proc of a native server")
@unittest.skipIf(SANITIZER, "the sanitizers' allocators add their own memory to every block")
class JsonBodyPeakMemory(unittest.TestCase):
    """Parsing a JSON body at the limit raises the server's peak memory by a few times the body
    at most, however many tiny values it packs (the tree once cost about 60 times the body)."""

    BODIES = [
        ("zeros", filled(b"[", b"0", b"]", 16 * MIB)),
        ("keys and empty arrays", filled(b"{", b'"k":[]', b"}", 16 * MIB)),
        ("one string", filled(b'{"path":"', b"x" * 1023, b'"}', 16 * MIB).replace(b",", b"y")),
    ]

    def test_peak_memory_stays_within_a_few_times_the_body(self):
        not_found = (404, json.dumps({"error": "文件不存在"}, ensure_ascii=False).encode())
        for name, body in self.BODIES:
            with self.subTest(name), Server() as server:
                # The first request settles what any request costs (its thread, buffers).
                self.assertEqual(server.request("POST", "/api/stat", body=b'{"path": "x"}')[0], 404)
                before = status_kib(server.proc.pid, "VmHWM")
                self.assertEqual(server.request("POST", "/api/stat", body=body)[0::2], not_found)
                growth = status_kib(server.proc.pid, "VmHWM") - before
                self.assertLess(growth, 4 * len(body) // 1024, "%s: +%d KiB" % (name, growth))
                self.assertEqual(server.request("POST", "/api/stat", body=b'{"path": "x"}')[0], 404)


if __name__ == "__main__":
    unittest.main()
