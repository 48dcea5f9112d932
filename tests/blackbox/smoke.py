"""A short run of the executable: it starts, answers "/api/info" on many connections at once
(each served by a thread of its own), and reads a file past 4 GiB. What the 32-bit Windows
build runs under wine, where thread stacks, the connection cap and 64-bit file offsets all
have to fit a 32-bit process.

    python3 smoke.py [-v]    exits with SKIPPED when the machine cannot run the exe at all
"""

import errno
import json
import os
import subprocess
import sys
import unittest
from concurrent.futures import ThreadPoolExecutor

import harness
from harness import Server

# The exit code ctest is told to report as skipped.
SKIPPED = 77

CONCURRENT = 48  # below the 64 connections one client address may hold


class Smoke(harness.OneServerTest):
    def test_info_answers_on_many_connections_at_once(self):
        status, _, body = self.server.request("GET", "/api/info")
        self.assertEqual(status, 200)
        info = json.loads(body)
        self.assertEqual((info["name"], info["version"], info["port"]),
                         ("舟匣", os.environ["SKIFFBOX_VERSION"], self.server.port))
        with ThreadPoolExecutor(CONCURRENT) as pool:
            answers = list(pool.map(lambda _: self.server.request("GET", "/api/info"),
                                    range(CONCURRENT)))
        self.assertEqual([a[0] for a in answers], [200] * CONCURRENT)
        self.assertTrue(all(json.loads(a[2]) == info for a in answers))

    def test_range_past_four_gib_of_a_sparse_file(self):
        path = os.path.join(self.server.inbox, "big.bin")
        size = 5 * 1024 ** 3
        marker_at = 4 * 1024 ** 3 + 7
        try:
            with open(path, "wb") as f:
                f.seek(marker_at)
                f.write(b"marker")
                f.truncate(size)
        except OSError as e:
            self.skipTest("no room for a sparse file: %s" % e)
        try:
            status, headers, body = self.server.request(
                "GET", "/f/big.bin", headers={"Range": "bytes=%d-%d" % (marker_at, marker_at + 5)})
            self.assertEqual((status, body), (206, b"marker"))
            self.assertEqual(headers["content-range"],
                             "bytes %d-%d/%d" % (marker_at, marker_at + 5, size))
            listing = json.loads(self.server.request("GET", "/api/files")[2])
            self.assertIn(size, [entry.get("size") for entry in listing["files"]])
        finally:
            os.unlink(path)


def machine_runs_the_loader():
    """False when the kernel refuses to run the wine loader at all, as one without 32-bit
    support refuses wine32's."""
    if not harness.UNDER_WINE:
        return True
    try:
        subprocess.run([harness.WINE, "--version"], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
    except OSError as e:
        if e.errno == errno.ENOEXEC:
            return False
        raise
    return True


if __name__ == "__main__":
    if not machine_runs_the_loader():
        print("skipped: this kernel cannot run %s (no 32-bit support)" % harness.WINE)
        sys.exit(SKIPPED)
    unittest.main()
