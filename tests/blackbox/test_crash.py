"""Crash safety of the state files: the server is killed with SIGKILL at random moments while
clients keep it rewriting files.json (uploads and deletions) and texts.json (posts and
deletions). After every kill both files parse, and each holds the old or the new content:
everything that was answered as done is there, and nothing is there that was never sent."""

import json
import os
import random
import shutil
import tempfile
import threading
import time
import unittest

import harness
from clients import post_json, upload
from harness import Server

ROUNDS = 16
MAX_TEXTS_PER_ROUND = 80  # stays below the 100 that the store keeps


class Ledger:
    """What the clients asked for and what the server confirmed, across all rounds."""

    def __init__(self):
        self.lock = threading.Lock()
        self.texts_sent = set()
        self.texts_done = set()    # confirmed in this round (the store is cleared per round)
        self.texts_deleted = set()
        self.texts_deleting = set()
        self.files_sent = {}       # file name -> bytes, for every upload started
        self.files_done = {}       # relative path -> bytes, confirmed stored
        self.files_deleted = set()  # relative paths whose deletion was confirmed
        self.files_deleting = set()


def text_client(server, ledger, stop, tag):
    count = 0
    while not stop.is_set() and count < MAX_TEXTS_PER_ROUND // 2:
        text = "%s-%d-%s" % (tag, count, "x" * random.randint(0, 3000))
        count += 1
        with ledger.lock:
            ledger.texts_sent.add(text)
        try:
            status, body = post_json(server, "/api/text", {"text": text, "from": tag}, timeout=10)
        except OSError:
            return
        if status == 200 and body == {"ok": True}:
            with ledger.lock:
                ledger.texts_done.add(text)
        if random.random() < 0.2:
            try:
                _, listing = server.request("GET", "/api/texts", timeout=10)[0:3:2]
                items = json.loads(listing)["texts"]
                if items:
                    victim = random.choice(items)
                    with ledger.lock:
                        ledger.texts_deleting.add(victim["text"])
                    status, body = post_json(server, "/api/text/delete", {"id": victim["id"]}, timeout=10)
                    if status == 200:
                        with ledger.lock:
                            ledger.texts_deleted.add(victim["text"])
            except (OSError, ValueError):
                return


def upload_client(server, ledger, stop, tag):
    count = 0
    while not stop.is_set():
        files = []
        for i in range(random.randint(1, 3)):
            name = "%s-%d-%d.bin" % (tag, count, i)
            data = os.urandom(random.randint(0, 40000))
            files.append((name, data))
        count += 1
        with ledger.lock:
            for name, data in files:
                ledger.files_sent[name] = data
        try:
            status, body = upload(server, files, device=tag, timeout=10)
        except OSError:
            return
        if status != 200:
            continue
        sent = dict(files)
        with ledger.lock:
            for item in body["files"]:
                ledger.files_done[item["name"]] = sent[item["name"]]
        if random.random() < 0.4:
            victim = body["files"][0]["name"]
            with ledger.lock:
                ledger.files_deleting.add(victim)
            try:
                status, _ = post_json(server, "/api/delete", {"path": victim}, timeout=10)
            except OSError:
                return
            if status == 200:
                with ledger.lock:
                    ledger.files_deleted.add(victim)


@unittest.skipIf(harness.UNDER_WINE, "SIGKILL of the process is a native test")
class KillTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="skf-crash-")
        self.addCleanup(shutil.rmtree, self.root, True)
        self.inbox = os.path.join(self.root, "inbox")
        self.state = os.path.join(self.inbox, ".skiffbox")

    def load(self, name):
        """The state file parsed, or None when it does not exist yet; a file that exists must
        parse."""
        path = os.path.join(self.state, name)
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            data = f.read()
        try:
            return json.loads(data)
        except ValueError:
            self.fail("%s does not parse after a kill (%d bytes): %r" % (name, len(data), data[-200:]))

    def test_state_files_survive_kills(self):
        ledger = Ledger()
        rng = random.Random()
        confirmed_texts = 0
        for round_no in range(ROUNDS):
            with Server(inbox=self.inbox) as server:
                self.assertEqual(post_json(server, "/api/text/clear")[0], 200)
                with ledger.lock:
                    ledger.texts_sent.clear()
                    ledger.texts_done.clear()
                    ledger.texts_deleted.clear()
                    ledger.texts_deleting.clear()
                stop = threading.Event()
                clients = [threading.Thread(target=text_client, args=(server, ledger, stop, "t%d%s" % (round_no, c)))
                           for c in "ab"]
                clients += [threading.Thread(target=upload_client, args=(server, ledger, stop, "u%d%s" % (round_no, c)))
                            for c in "ab"]
                for client in clients:
                    client.start()
                time.sleep(rng.uniform(0.05, 0.8))
                server.kill()
                stop.set()
                for client in clients:
                    client.join(timeout=30)
            self.check(ledger)
            confirmed_texts += len(ledger.texts_done)
        # The kills must have hit a server that was working, not one that had not started.
        self.assertGreater(confirmed_texts, ROUNDS)
        self.assertGreater(len(ledger.files_done), ROUNDS)
        # A last start: the server comes up on what the kills left and keeps working.
        with Server(inbox=self.inbox) as server:
            self.assertEqual(post_json(server, "/api/text", {"text": "after"}), (200, {"ok": True}))
            status, _, body = server.request("GET", "/api/texts")
            self.assertEqual(json.loads(body)["texts"][0]["text"], "after")
            self.assertEqual(server.request("GET", "/api/files")[0], 200)

    def check(self, ledger):
        texts = self.load("texts.json")
        if texts is not None:
            self.assertIsInstance(texts, list)
            stored = {item["text"] for item in texts}
            self.assertLessEqual(stored, ledger.texts_sent, "a text that was never sent")
            missing = ledger.texts_done - ledger.texts_deleting - stored
            self.assertFalse(missing, "confirmed texts lost")
            self.assertFalse(ledger.texts_deleted & stored, "a confirmed deletion came back")
        elif ledger.texts_done:
            self.fail("texts.json missing after confirmed posts")

        records = self.load("files.json")
        if records is None:
            self.assertFalse(ledger.files_done, "files.json missing after confirmed uploads")
            return
        self.assertIsInstance(records, dict)
        for key, record in records.items():
            self.assertIn(key, ledger.files_sent, "a record of a file that was never sent")
            self.assertIsInstance(record.get("from"), str, key)
            self.assertIsInstance(record.get("time"), float, key)
        for rel, data in ledger.files_done.items():
            if rel in ledger.files_deleted:
                self.assertNotIn(rel, records, "a confirmed deletion came back")
                continue
            if rel not in ledger.files_deleting:
                self.assertIn(rel, records, "a confirmed upload lost its record")
                with open(os.path.join(self.inbox, rel), "rb") as f:
                    self.assertEqual(f.read(), data, rel)


if __name__ == "__main__":
    unittest.main()
