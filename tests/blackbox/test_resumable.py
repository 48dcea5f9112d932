"""Resumable uploads at /api/uploads (tus 1.0.0 with creation, expiration and termination),
driven by hand over HTTP so that connections can be cut anywhere: the protocol's answers,
bytes kept across cut requests and restarts, expiry, two phones at once, dropped folders, and
the same stored names as the multipart upload for the same inputs."""

import base64
import hashlib
import json
import os
import shutil
import socket
import threading
import time
import unittest

import harness
from clients import INTERRUPTED, snapshot, upload
from harness import Server

TUS = {"Tus-Resumable": "1.0.0"}
PATCH_TYPE = "application/offset+octet-stream"


def metadata(**values):
    return ",".join("%s %s" % (k, base64.b64encode(v.encode()).decode()) for k, v in values.items())


def create(server, length, headers=None, **meta):
    h = dict(TUS, **{"Upload-Length": str(length), "Upload-Metadata": metadata(**meta)})
    h.update(headers or {})
    return server.request("POST", "/api/uploads", headers=h)


def new_upload(server, length, **meta):
    """Creates an upload; returns its path ("/api/uploads/<id>")."""
    status, headers, body = create(server, length, **meta)
    if status != 201:
        raise AssertionError("creation failed: %d %r" % (status, body))
    return headers["location"]


def head(server, location):
    return server.request("HEAD", location, headers=TUS)


def wait_recorded(server, location, expected, timeout=20):
    """Waits until the upload's record counts `expected` bytes: requests end without waiting
    for the disk, and the record follows within about a second."""
    record = os.path.join(server.inbox, ".skiffbox", "uploads", location.rsplit("/", 1)[1] + ".json")
    deadline = time.time() + timeout
    while time.time() < deadline:
        try:
            with open(record, encoding="utf-8") as f:
                if json.load(f)["offset"] == expected:
                    return True
        except (OSError, ValueError):
            pass  # replaced in this moment
        time.sleep(0.05)
    return False


def offset_of(server, location):
    status, headers, _ = head(server, location)
    assert status == 200, status
    return int(headers["upload-offset"])


def patch(server, location, offset, data, content_type=PATCH_TYPE):
    h = dict(TUS, **{"Upload-Offset": str(offset), "Content-Type": content_type})
    return server.request("PATCH", location, headers=h, body=data)


def send_all(server, location, data, chunk=1 << 20):
    offset = offset_of(server, location)
    while offset < len(data):
        status, headers, body = patch(server, location, offset, data[offset:offset + chunk])
        assert status == 204, (status, body)
        offset = int(headers["upload-offset"])
    return offset


def cut_patch(server, location, offset, total_length, sent):
    """A PATCH announcing total_length bytes whose connection is closed after `sent` of them."""
    head_text = ("PATCH %s HTTP/1.1\r\nHost: 127.0.0.1\r\nTus-Resumable: 1.0.0\r\n"
                 "Upload-Offset: %d\r\nContent-Type: %s\r\nContent-Length: %d\r\n\r\n"
                 % (location, offset, PATCH_TYPE, total_length))
    with server.connect() as s:
        s.sendall(head_text.encode() + sent)
        s.shutdown(socket.SHUT_WR)
        try:
            s.recv(65536)
        except OSError:
            pass


def wait_offset(server, location, expected, timeout=20):
    """HEAD until the offset is `expected` (the cut request ends on its own thread)."""
    deadline = time.time() + timeout
    while True:
        got = offset_of(server, location)
        if got == expected or time.time() > deadline:
            return got
        time.sleep(0.05)


def part_files(server):
    folder = os.path.join(server.inbox, ".skiffbox", "uploads")
    if not os.path.isdir(folder):
        return []
    return sorted(n for n in os.listdir(folder) if n.endswith(".part"))


def visible(root):
    """The inbox's tree without the state folder, as {relative path: bytes or None}."""
    out = {}
    for rel, entry in snapshot(root).items():
        if rel.startswith(".skiffbox"):
            continue
        out[rel.replace(os.sep, "/")] = entry[1] if entry[0] == "file" else None
    return out


def sha(data):
    return hashlib.sha256(data).hexdigest()


class ProtocolTest(harness.OneServerTest):
    """What every answer says, on one server."""

    def test_options_announces_the_protocol(self):
        status, headers, _ = self.server.request("OPTIONS", "/api/uploads")
        self.assertEqual(status, 204)
        self.assertEqual(headers["tus-version"], "1.0.0")
        self.assertEqual(headers["tus-extension"], "creation,expiration,termination")
        self.assertEqual(headers["tus-max-size"], str(1 << 40))
        self.assertNotIn("tus-resumable", headers)

    def test_creation_head_patch_and_termination(self):
        data = os.urandom(300000)
        status, headers, _ = create(self.server, len(data), filename="proto.bin")
        self.assertEqual(status, 201)
        self.assertEqual(headers["tus-resumable"], "1.0.0")
        location = headers["location"]
        self.assertRegex(location, r"^/api/uploads/[0-9a-f]{32}$")
        self.assertIn("GMT", headers["upload-expires"])
        status, headers, body = head(self.server, location)
        self.assertEqual((status, body), (200, b""))
        self.assertEqual(headers["upload-offset"], "0")
        self.assertEqual(headers["upload-length"], str(len(data)))
        self.assertEqual(headers["cache-control"], "no-store")
        self.assertEqual(headers["upload-metadata"], metadata(filename="proto.bin"))

        status, headers, _ = patch(self.server, location, 0, data[:100000])
        self.assertEqual(status, 204)
        self.assertEqual(headers["upload-offset"], "100000")
        self.assertIn("GMT", headers["upload-expires"])
        self.assertEqual(headers["tus-resumable"], "1.0.0")

        status, _, _ = self.server.request("DELETE", location, headers=TUS)
        self.assertEqual(status, 204)
        self.assertEqual(head(self.server, location)[0], 404)
        self.assertEqual(patch(self.server, location, 100000, data[100000:])[0], 404)
        self.assertFalse(os.path.exists(os.path.join(self.server.inbox, "proto.bin")))

    def test_refusals(self):
        location = new_upload(self.server, 1000, filename="refused.bin")
        cases = [
            # (what, status, request)
            ("no version", 412, lambda: self.server.request("HEAD", location)),
            ("another version", 412, lambda: self.server.request(
                "HEAD", location, headers={"Tus-Resumable": "0.2.2"})),
            ("wrong type", 415, lambda: patch(self.server, location, 0, b"x", "application/octet-stream")),
            ("wrong offset", 409, lambda: patch(self.server, location, 5, b"x")),
            ("past the length", 400, lambda: patch(self.server, location, 0, b"x" * 1001)),
            ("too large", 413, lambda: create(self.server, (1 << 40) + 1, filename="big.bin")),
            ("no file name", 400, lambda: create(self.server, 10, group="g")),
            ("no length", 400, lambda: self.server.request("POST", "/api/uploads", headers=dict(
                TUS, **{"Upload-Metadata": metadata(filename="x")}))),
            ("bad base64", 400, lambda: create(self.server, 10, headers={"Upload-Metadata": "filename @@@"})),
            ("missing folder", 404, lambda: create(self.server, 10, filename="x", dir="nowhere")),
            ("hidden folder", 404, lambda: create(self.server, 10, filename="x", dir=".skiffbox")),
            ("unknown id", 404, lambda: head(self.server, "/api/uploads/" + "0" * 32)),
            ("not an id", 404, lambda: head(self.server, "/api/uploads/../files")),
        ]
        for what, expected, send in cases:
            with self.subTest(what):
                status, headers, body = send()
                self.assertEqual(status, expected, body)
                self.assertEqual(headers.get("tus-resumable"), "1.0.0")
                if expected == 412:
                    self.assertEqual(headers["tus-version"], "1.0.0")
        status, headers, body = patch(self.server, location, 5, b"x")
        self.assertEqual(headers["upload-offset"], "0")
        self.assertEqual(offset_of(self.server, location), 0)

    def test_other_paths_keep_their_methods(self):
        for method in ("PATCH", "DELETE", "OPTIONS"):
            with self.subTest(method):
                self.assertEqual(self.server.request(method, "/api/files")[0], 501)
        answer = self.server.raw(b"HEAD / HTTP/1.0\r\n\r\n")
        self.assertTrue(answer.startswith(b"HTTP/1.0 200"), answer[:100])
        self.assertIn(b"<html", answer.lower())
        self.assertEqual(self.server.request("GET", "/api/uploads")[0], 404)
        self.assertEqual(self.server.request("PUT", "/api/uploads")[0], 501)

    def test_empty_file_completes_at_creation(self):
        status, headers, _ = create(self.server, 0, filename="empty-at-once.txt")
        self.assertEqual(status, 201)
        self.assertEqual(headers["upload-offset"], "0")
        path = os.path.join(self.server.inbox, "empty-at-once.txt")
        self.assertTrue(os.path.isfile(path))
        self.assertEqual(os.path.getsize(path), 0)
        status, headers, _ = head(self.server, headers["location"])
        self.assertEqual((status, headers["upload-offset"], headers["upload-length"]), (200, "0", "0"))

    def test_foreign_origin_is_refused(self):
        location = new_upload(self.server, 10, filename="origin.bin")
        h = dict(TUS, **{"Upload-Offset": "0", "Content-Type": PATCH_TYPE,
                         "Origin": "http://evil.example"})
        self.assertEqual(self.server.request("PATCH", location, headers=h, body=b"x")[0], 403)


class ResumeTest(unittest.TestCase):
    def test_cut_mid_patch_keeps_every_byte_that_arrived(self):
        data = os.urandom(3 * 1024 * 1024 + 17)
        with Server() as server:
            location = new_upload(server, len(data), filename="cut.bin")
            sent = 1234567
            cut_patch(server, location, 0, len(data), data[:sent])
            self.assertEqual(wait_offset(server, location, sent), sent)
            # What HEAD reports is what the data file holds.
            part = os.path.join(server.inbox, ".skiffbox", "uploads", part_files(server)[0])
            self.assertEqual(os.path.getsize(part), sent)
            self.assertEqual(send_all(server, location, data), len(data))
            with open(os.path.join(server.inbox, "cut.bin"), "rb") as f:
                self.assertEqual(sha(f.read()), sha(data))
            self.assertEqual(part_files(server), [])

    def test_a_new_request_takes_over_from_one_left_hanging(self):
        """A phone that lost its Wi-Fi leaves its request hanging on the server; the request it
        sends once it is back goes on at once instead of waiting out the old one's time-out."""
        data = os.urandom(1000000)
        with Server() as server:
            location = new_upload(server, len(data), filename="hanging.bin")
            head_text = ("PATCH %s HTTP/1.1\r\nHost: 127.0.0.1\r\nTus-Resumable: 1.0.0\r\n"
                         "Upload-Offset: 0\r\nContent-Type: %s\r\nContent-Length: %d\r\n\r\n"
                         % (location, PATCH_TYPE, len(data)))
            with server.connect() as hanging:
                hanging.sendall(head_text.encode() + data[:400000])
                time.sleep(0.5)
                started = time.time()
                status, headers, _ = patch(server, location, 0, data)
                self.assertEqual((status, headers.get("upload-offset")), (409, "400000"))
                self.assertLess(time.time() - started, 4)
                self.assertEqual(patch(server, location, 400000, data[400000:])[0], 204)
            with open(os.path.join(server.inbox, "hanging.bin"), "rb") as f:
                self.assertEqual(sha(f.read()), sha(data))

    def test_restart_between_chunks(self):
        data = os.urandom(2 * 1024 * 1024 + 5)
        with Server() as server:
            location = new_upload(server, len(data), filename="restart.bin", device="phone")
            self.assertEqual(patch(server, location, 0, data[:1000000])[0], 204)
            self.assertTrue(wait_recorded(server, location, 1000000))
            server.restart()
            self.assertEqual(offset_of(server, location), 1000000)
            self.assertEqual(send_all(server, location, data), len(data))
            with open(os.path.join(server.inbox, "restart.bin"), "rb") as f:
                self.assertEqual(sha(f.read()), sha(data))
            self.assertTrue(server.wait_output("收到 1 个文件"))
            with open(os.path.join(server.inbox, ".skiffbox", "files.json"), encoding="utf-8") as f:
                self.assertEqual(json.load(f)["restart.bin"]["from"], "phone")

    def test_restart_cuts_unrecorded_bytes(self):
        """Bytes past the recorded offset (a power cut before the record) are cut at start-up,
        so a client is never told of bytes that may not be there."""
        data = os.urandom(500000)
        with Server() as server:
            location = new_upload(server, len(data), filename="power.bin")
            self.assertEqual(patch(server, location, 0, data[:200000])[0], 204)
            self.assertTrue(wait_recorded(server, location, 200000))
            part = os.path.join(server.inbox, ".skiffbox", "uploads", part_files(server)[0])
            server.kill()
            with open(part, "ab") as f:
                f.write(b"garbage that no record counts")
            server.restart()
            self.assertEqual(offset_of(server, location), 200000)
            self.assertEqual(os.path.getsize(part), 200000)
            send_all(server, location, data)
            with open(os.path.join(server.inbox, "power.bin"), "rb") as f:
                self.assertEqual(f.read(), data)

    def test_expired_uploads_are_removed_at_start(self):
        with Server() as server:
            stale = new_upload(server, 1000, filename="stale.bin")
            fresh = new_upload(server, 1000, filename="fresh.bin")
            self.assertEqual(patch(server, stale, 0, b"x" * 10)[0], 204)
            server.kill()
            uploads = os.path.join(server.inbox, ".skiffbox", "uploads")
            record = os.path.join(uploads, stale.rsplit("/", 1)[1] + ".json")
            with open(record, encoding="utf-8") as f:
                doc = json.load(f)
            doc["touched"] = int(time.time()) - 24 * 3600 - 5
            with open(record, "w", encoding="utf-8") as f:
                json.dump(doc, f)
            server.restart()
            self.assertEqual(head(server, stale)[0], 404)
            self.assertEqual(offset_of(server, fresh), 0)
            self.assertEqual(part_files(server), [fresh.rsplit("/", 1)[1] + ".part"])

    def test_clear_drops_unfinished_uploads(self):
        with Server() as server:
            location = new_upload(server, 1000, filename="cleared.bin")
            status, _, _ = server.request("POST", "/api/clear", headers={"Content-Type": "application/json"}, body=b"{}")
            self.assertEqual(status, 200)
            self.assertEqual(head(server, location)[0], 404)
            self.assertEqual(part_files(server), [])


class PlacementTest(unittest.TestCase):
    def test_two_phones_upload_the_same_names_at_once(self):
        files = {"a.txt": os.urandom(700000), "photos/1.jpg": os.urandom(500000),
                 "photos/2.jpg": os.urandom(300000)}
        with Server() as server:
            results = {}

            def phone(name):
                group = "drop-1"  # the same group id on both phones: scoped by device
                for rel, data in files.items():
                    location = new_upload(server, len(data), filename=rel, group=group, device=name)
                    send_all(server, location, data, chunk=100000)
                results[name] = True

            threads = [threading.Thread(target=phone, args=(n,)) for n in ("phone A", "phone B")]
            for t in threads:
                t.start()
            for t in threads:
                t.join(120)
            self.assertEqual(len(results), 2)
            tree = visible(server.inbox)
            self.assertEqual(sorted(k for k in tree if tree[k] is not None),
                             ["a(1).txt", "a.txt", "photos(1)/1.jpg", "photos(1)/2.jpg",
                              "photos/1.jpg", "photos/2.jpg"])
            for folder in ("photos", "photos(1)"):
                self.assertEqual(tree[folder + "/1.jpg"], files["photos/1.jpg"])
            self.assertEqual({tree["a.txt"], tree["a(1).txt"]}, {files["a.txt"]})
            deadline = time.time() + 20
            while time.time() < deadline and server.output().count("收到 3 个文件") < 2:
                time.sleep(0.1)
            self.assertEqual(server.output().count("收到 3 个文件"), 2, server.output())
            with open(os.path.join(server.inbox, ".skiffbox", "files.json"), encoding="utf-8") as f:
                senders = json.load(f)
            # Each phone's folder holds only its own files.
            for folder in ("photos", "photos(1)"):
                self.assertEqual(senders[folder + "/1.jpg"]["from"], senders[folder + "/2.jpg"]["from"])

    def test_dropped_folder_lands_under_one_renamed_folder_across_a_restart(self):
        drop = [("照片/1.jpg", os.urandom(1000)), ("照片/sub/2.jpg", os.urandom(2000)),
                ("照片/3.jpg", os.urandom(3000))]
        with Server() as server:
            os.makedirs(os.path.join(server.inbox, "照片"))
            locations = [new_upload(server, len(d), filename=n, group="g1", device="pad")
                         for n, d in drop]
            send_all(server, locations[0], drop[0][1])
            server.restart()
            # With the original folder gone a fresh choice would be "照片"; the group keeps its
            # own choice.
            shutil.rmtree(os.path.join(server.inbox, "照片"))
            for location, (_, data) in zip(locations[1:], drop[1:]):
                send_all(server, location, data)
            tree = visible(server.inbox)
            self.assertEqual({k: v for k, v in tree.items() if v is not None},
                             {"照片(1)/1.jpg": drop[0][1], "照片(1)/sub/2.jpg": drop[1][1],
                              "照片(1)/3.jpg": drop[2][1]})
            # One line for the files the restarted server finished.
            self.assertTrue(server.wait_output("收到 2 个文件"), server.output())
            time.sleep(3)
            self.assertEqual(server.output().count("收到"), 1, server.output())

    def test_target_folder_deleted_meanwhile_is_made_again(self):
        with Server() as server:
            os.makedirs(os.path.join(server.inbox, "trip", "day1"))
            location = new_upload(server, 5, filename="x.bin", dir="trip/day1")
            shutil.rmtree(os.path.join(server.inbox, "trip"))
            send_all(server, location, b"12345")
            with open(os.path.join(server.inbox, "trip", "day1", "x.bin"), "rb") as f:
                self.assertEqual(f.read(), b"12345")


# Inputs for both upload paths: what the target folder holds first, then the file names one
# drop sends (a group for the resumable path, one request for the multipart path).
NAME_TABLE = [
    ("loose name taken twice", ["a.txt", "a(1).txt"], ["a.txt"]),
    ("double extension", ["a.tar.gz"], ["a.tar.gz"]),
    ("climbing name", [], ["../../evil.txt"]),
    ("forbidden characters", [], ["a/<b>/c?.txt"]),
    ("device name", [], ["con.txt", "LPT9.log"]),
    ("shell-active name", [], ["desktop.ini", "x.url"]),
    ("folder taken", ["photos/old.jpg"], ["photos/x/1.jpg", "photos/2.jpg"]),
    ("hidden piece", [], ["trip/.hidden/a.txt"]),
    ("name of spaces", [], ["  .  "]),
]


class SameNamesAsMultipartTest(unittest.TestCase):
    def test_table(self):
        with Server() as multi, Server() as resumable:
            for case, existing, names in NAME_TABLE:
                with self.subTest(case):
                    folder = "case-%d" % NAME_TABLE.index((case, existing, names))
                    for server in (multi, resumable):
                        os.makedirs(os.path.join(server.inbox, folder))
                        for rel in existing:
                            path = os.path.join(server.inbox, folder, rel)
                            os.makedirs(os.path.dirname(path), exist_ok=True)
                            with open(path, "wb") as f:
                                f.write(b"old")
                    files = [(n, ("data of %s" % n).encode()) for n in names]
                    upload(multi, files, folder=folder)
                    for n, data in files:
                        status, headers, body = create(resumable, len(data), filename=n, dir=folder,
                                                       group="table-%s" % folder)
                        if status == 201:
                            send_all(resumable, headers["location"], data)
                    self.assertEqual(visible(os.path.join(resumable.inbox, folder)),
                                     visible(os.path.join(multi.inbox, folder)))


if __name__ == "__main__":
    unittest.main()
