"""Several clients at once for a bounded time: uploading folder trees and loose files,
downloading, deleting, clearing, listing, zipping, and posting, deleting and clearing texts.
Run against the build under test (also the AddressSanitizer and ThreadSanitizer builds, whose
reports on standard error fail the test). Every file that an answer said was stored exists
with its exact bytes until something deleted it; files.json and texts.json always parse and
agree with what happened.

Clearing runs at the same time as everything else, so a file whose upload overlapped a clear
may or may not survive it; such files are only held to their bytes. Everything else is held
exactly."""

import http.client
import io
import json
import os
import random
import re
import sys
import threading
import time
import traceback
import unittest
import urllib.parse
import zipfile

import harness
from clients import post_json, upload, zip_names
from harness import Server

DURATION = float(os.environ.get("SKF_STRESS_SECONDS", "25"))
TIMEOUT = 120
SANITIZER_MARKS = ("ERROR: AddressSanitizer", "runtime error:", "WARNING: ThreadSanitizer",
                   "ERROR: LeakSanitizer")
TEXT_CLEAR_AT = 80  # texts confirmed since the last text clear; the store keeps 100


def sent_name(rel, sent):
    """The sent name of a stored file whose folder may have been numbered: a clear that removes
    an upload's new folder under its first file fails that part, which takes the folder back;
    the folder's next part is numbered on from the request's last number for the name, so the
    rest of the tree goes to a numbered folder."""
    top, slash, rest = rel.partition("/")
    plain = re.sub(r"\(\d+\)$", "", top)
    return plain + slash + rest if slash and plain + slash + rest in sent else rel


class FileRec:
    def __init__(self, rel, data, device, epoch, clear_seen, top):
        self.rel = rel
        self.data = data
        self.device = device
        self.epoch = epoch          # clears started before the upload began
        self.clear_seen = clear_seen  # a clear ran while the upload began
        self.top = top              # the top-level entry the file lies in
        self.state = "stored"       # stored, deleting, deleted, cleared
        self.done_at = 0.0


class TextRec:
    def __init__(self, text, device, epoch, clear_seen):
        self.text = text
        self.device = device
        self.epoch = epoch
        self.clear_seen = clear_seen
        self.state = "stored"       # stored, deleting, deleted, cleared


class Model:
    """What the clients did and what the server confirmed."""

    def __init__(self):
        self.lock = threading.Lock()
        self.errors = []
        self.files = {}             # rel -> FileRec, confirmed
        self.sent = set()           # every file path sent
        self.clear_epoch = 0
        self.clears_active = 0
        self.texts = {}             # text -> TextRec, confirmed
        self.texts_sent = set()
        self.text_epoch = 0
        self.text_clears_active = 0
        self.texts_since_clear = 0
        self.counts = {}

    def count(self, what):
        with self.lock:
            self.counts[what] = self.counts.get(what, 0) + 1

    def fail(self, message):
        with self.lock:
            self.errors.append(message)

    def strict(self, rec):
        """True when nothing but the clients' own deletions can have touched the file."""
        return (rec.state == "stored" and rec.epoch == self.clear_epoch and not rec.clear_seen
                and self.clears_active == 0)

    def text_strict(self, rec):
        return (rec.state == "stored" and rec.epoch == self.text_epoch and not rec.clear_seen
                and self.text_clears_active == 0)


class Clients:
    def __init__(self, server, model, deadline):
        self.server = server
        self.model = model
        self.deadline = deadline

    def running(self):
        return time.monotonic() < self.deadline and not self.model.errors

    def loop(self, name, step):
        rng = random.Random()
        try:
            while self.running():
                step(rng)
        except Exception:  # anything unexpected ends the run with its trace
            self.model.fail("%s: %s" % (name, traceback.format_exc()))

    # ---- files ---------------------------------------------------------------------------

    def upload_step(self, rng, tag, counter=[0]):
        m = self.model
        with m.lock:
            counter[0] += 1
            n = counter[0]
        if rng.random() < 0.6:
            top = "%s-%d" % (tag, n)
            files = []
            for i in range(rng.randint(1, 6)):
                sub = rng.choice(["", "sub/", "sub/deep/", "照片/"])
                files.append(("%s/%sf%d.bin" % (top, sub, i), os.urandom(rng.choice([0, 10, 3000, 70000, 200000]))))
        else:
            files = [("%s-%d-%d.bin" % (tag, n, i), os.urandom(rng.randint(0, 60000))) for i in range(rng.randint(1, 3))]
        device = "dev-" + tag
        with m.lock:
            epoch, clear_seen = m.clear_epoch, m.clears_active > 0
            m.sent.update(name for name, _ in files)
        status, body = upload(self.server, files, device=device, timeout=TIMEOUT)
        with m.lock:
            overlapped = clear_seen or m.clears_active > 0 or m.clear_epoch != epoch
        if status != 200:
            if not overlapped:
                m.fail("upload of %s answered %r %r" % ([f for f, _ in files], status, body))
            return
        m.count("uploads")
        sent = dict(files)
        names = [item["name"] for item in body["files"]]
        if not overlapped and sorted(names) != sorted(sent):
            m.fail("upload stored %r for %r" % (names, sorted(sent)))
        with m.lock:
            for item in body["files"]:
                rel = item["name"]
                sent_rel = sent_name(rel, sent) if overlapped else rel
                if sent_rel not in sent or item["size"] != len(sent[sent_rel]):
                    m.errors.append("upload answered %r" % item)
                    continue
                m.sent.add(rel)
                rec = FileRec(rel, sent[sent_rel], device, epoch, clear_seen, rel.split("/")[0])
                rec.done_at = time.monotonic()
                m.files[rel] = rec

    def pick(self, rng, state="stored"):
        with self.model.lock:
            recs = [r for r in self.model.files.values() if r.state == state]
        return rng.choice(recs) if recs else None

    def download_step(self, rng):
        m = self.model
        rec = self.pick(rng)
        if not rec:
            time.sleep(0.05)
            return
        with m.lock:
            strict = m.strict(rec)
        try:
            status, _, body = self.server.request("GET", "/f/" + urllib.parse.quote(rec.rel), timeout=TIMEOUT)
        except OSError:
            status, body = None, b""
        with m.lock:
            strict = strict and m.strict(rec)
        if status == 200 and body != rec.data:
            m.fail("download of %s gave %d bytes, not its %d" % (rec.rel, len(body), len(rec.data)))
        elif strict and status != 200:
            m.fail("download of stored %s answered %r" % (rec.rel, status))
        m.count("downloads")

    def delete_step(self, rng):
        m = self.model
        time.sleep(rng.uniform(0, 0.1))
        rec = self.pick(rng)
        if not rec:
            return
        whole_top = "/" in rec.rel and rng.random() < 0.5
        target = rec.top if whole_top else rec.rel
        with m.lock:
            victims = [r for r in m.files.values() if r.state == "stored"
                       and (r.rel == target or r.rel.startswith(target + "/"))]
            strict = all(m.strict(r) for r in victims) and bool(victims)
            epoch = m.clear_epoch
            for r in victims:
                r.state = "deleting"
        status, body = post_json(self.server, "/api/delete", {"path": target}, timeout=TIMEOUT)
        with m.lock:
            for r in victims:
                r.state = "deleted"
            # A clear that began while the delete ran may have taken the folder's contents
            # first: the delete then finds less, or nothing, and says so.
            strict = strict and m.clear_epoch == epoch and m.clears_active == 0
        expected = {"ok": True} if not whole_top else None
        if status == 200:
            m.count("deletes")
            if expected and body != expected:
                m.fail("delete of %s answered %r" % (target, body))
            if whole_top and (body.get("ok") is not True or (strict and body.get("removed", 0) < 1)):
                m.fail("delete of folder %s answered %r" % (target, body))
        elif strict:
            m.fail("delete of %s answered %r %r" % (target, status, body))

    def clear_step(self, rng):
        m = self.model
        time.sleep(rng.uniform(1.5, 4.0))
        if not self.running():
            return
        with m.lock:
            m.clear_epoch += 1
            m.clears_active += 1
            started = time.monotonic()
        try:
            status, body = post_json(self.server, "/api/clear", timeout=TIMEOUT)
        finally:
            with m.lock:
                m.clears_active -= 1
                # Whatever was confirmed before the clear began is gone now.
                for r in m.files.values():
                    if r.state == "stored" and r.done_at < started:
                        r.state = "cleared"
        if status != 200 or body.get("ok") is not True or not isinstance(body.get("removed"), int):
            m.fail("clear answered %r %r" % (status, body))
        m.count("clears")

    def list_step(self, rng):
        m = self.model
        rec = self.pick(rng)
        folder = ""
        if rec and "/" in rec.rel:
            folder = rec.rel.rsplit("/", 1)[0]
        status, _, body = self.server.request("GET", "/api/files?dir=" + urllib.parse.quote(folder), timeout=TIMEOUT)
        if status == 200:
            listing = json.loads(body)
            for entry in listing["files"]:
                if entry["kind"] != "dir" and entry["name"].endswith(".bin"):
                    rel = (folder + "/" if folder else "") + entry["name"]
                    if rel not in m.sent:
                        m.fail("listing shows %s, never sent" % rel)
            m.count("listings")
        elif status != 404 or (rec and m.strict(rec)):
            m.fail("listing of %r answered %r %r" % (folder, status, body[:200]))
        if rec and rng.random() < 0.3:
            status, body = post_json(self.server, "/api/stat", {"path": rec.top}, timeout=TIMEOUT)
            if status == 200 and not {"files", "dirs", "size"} <= set(body):
                m.fail("stat answered %r" % body)

    def zip_step(self, rng):
        m = self.model
        time.sleep(rng.uniform(0, 0.2))
        recs = [self.pick(rng) for _ in range(rng.randint(1, 3))]
        recs = [r for r in recs if r]
        if not recs:
            return
        names = [r.top if rng.random() < 0.5 else r.rel for r in recs]

        def all_strict():
            with m.lock:
                return all(m.strict(r) for r in m.files.values()
                           if any(r.rel == n or r.rel.startswith(n + "/") for n in names))

        strict = all_strict()
        try:
            status, headers, body = zip_names(self.server, names, timeout=TIMEOUT)
        except (OSError, http.client.HTTPException):
            # The archive is streamed: a file deleted or replaced while it is sent cuts the
            # download short, after the head.
            status, body = None, b""
        strict = strict and all_strict()
        if status != 200:
            if strict:
                m.fail("zip of %r answered %r %r" % (names, status, body[:200]))
            return
        archive = zipfile.ZipFile(io.BytesIO(body))
        if archive.testzip() is not None:
            m.fail("zip of %r is corrupt" % names)
        for info in archive.infolist():
            rec = m.files.get(info.filename)
            if rec is None:
                m.fail("zip of %r holds %s, never confirmed" % (names, info.filename))
            elif archive.read(info) != rec.data:
                m.fail("zip entry %s has wrong bytes" % info.filename)
        m.count("zips")

    def state_step(self, rng):
        """The state files on disk always parse, as any reader (the listing) sees them."""
        time.sleep(0.02)
        for name, kind in (("files.json", dict), ("texts.json", list)):
            path = os.path.join(self.server.inbox, ".skiffbox", name)
            try:
                with open(path, "rb") as f:
                    data = f.read()
            except FileNotFoundError:
                continue
            try:
                value = json.loads(data)
            except ValueError:
                self.model.fail("%s does not parse: %r" % (name, data[-200:]))
                return
            if not isinstance(value, kind):
                self.model.fail("%s is a %s" % (name, type(value)))

    # ---- texts ---------------------------------------------------------------------------

    def text_step(self, rng, tag, counter=[0]):
        m = self.model
        time.sleep(rng.uniform(0.005, 0.05))
        with m.lock:
            counter[0] += 1
            n = counter[0]
            must_clear = m.texts_since_clear >= TEXT_CLEAR_AT
        if must_clear or rng.random() < 0.01:
            self.text_clear()
            return
        if rng.random() < 0.1:
            self.text_delete(rng)
            return
        if rng.random() < 0.1:
            self.text_check()
            return
        text = "%s-%d%s" % (tag, n, rng.choice(["", " 中文" * rng.randint(1, 500), " x" * rng.randint(1, 3000)]))
        device = "dev-" + tag
        with m.lock:
            epoch, clear_seen = m.text_epoch, m.text_clears_active > 0
            m.texts_sent.add(text)
            m.texts_since_clear += 1
        status, body = post_json(self.server, "/api/text", {"text": text, "from": device}, timeout=TIMEOUT)
        if (status, body) != (200, {"ok": True}):
            m.fail("text post answered %r %r" % (status, body))
            return
        with m.lock:
            m.texts[text] = TextRec(text, device, epoch, clear_seen)
        m.count("texts")

    def text_clear(self):
        m = self.model
        with m.lock:
            m.text_epoch += 1
            m.text_clears_active += 1
            m.texts_since_clear = 0
            before = [r for r in m.texts.values() if r.state == "stored"]
        try:
            status, body = post_json(self.server, "/api/text/clear", timeout=TIMEOUT)
        finally:
            with m.lock:
                m.text_clears_active -= 1
                for r in before:
                    r.state = "cleared"
        if (status, body) != (200, {"ok": True}):
            m.fail("text clear answered %r %r" % (status, body))

    def text_delete(self, rng):
        m = self.model
        status, _, body = self.server.request("GET", "/api/texts", timeout=TIMEOUT)
        items = json.loads(body)["texts"]
        with m.lock:
            mine = [i for i in items if i["text"] in m.texts and m.texts[i["text"]].state == "stored"]
            if not mine:
                return
            victim = rng.choice(mine)
            m.texts[victim["text"]].state = "deleting"
        status, body = post_json(self.server, "/api/text/delete", {"id": victim["id"]}, timeout=TIMEOUT)
        with m.lock:
            m.texts[victim["text"]].state = "deleted"
        if (status, body) != (200, {"ok": True}):
            m.fail("text delete answered %r %r" % (status, body))

    def text_check(self):
        m = self.model
        with m.lock:
            strict = [r for r in m.texts.values() if m.text_strict(r)]
        status, _, body = self.server.request("GET", "/api/texts", timeout=TIMEOUT)
        items = json.loads(body)["texts"]
        listed = {i["text"]: i for i in items}
        with m.lock:
            for text, item in listed.items():
                if text not in m.texts_sent:
                    m.errors.append("texts list %r, never sent" % text[:40])
                elif text in m.texts and item["from"] != m.texts[text].device:
                    m.errors.append("text %r from %r" % (text[:40], item["from"]))
            for r in strict:
                if m.text_strict(r) and r.text not in listed:
                    m.errors.append("confirmed text %r not listed" % r.text[:40])


@unittest.skipIf(harness.UNDER_WINE, "runs against the native and sanitizer builds")
class StressTest(unittest.TestCase):
    def test_many_clients_at_once(self):
        model = Model()
        with Server(capture_stderr=True) as server:
            clients = Clients(server, model, time.monotonic() + DURATION)
            steps = [
                ("upload-a", lambda rng: clients.upload_step(rng, "a")),
                ("upload-b", lambda rng: clients.upload_step(rng, "b")),
                ("upload-c", lambda rng: clients.upload_step(rng, "c")),
                ("download", clients.download_step),
                ("download2", clients.download_step),
                ("delete", clients.delete_step),
                ("clear", clients.clear_step),
                ("list", clients.list_step),
                ("zip", clients.zip_step),
                ("state", clients.state_step),
                ("text-a", lambda rng: clients.text_step(rng, "ta")),
                ("text-b", lambda rng: clients.text_step(rng, "tb")),
            ]
            threads = [threading.Thread(target=clients.loop, args=step) for step in steps]
            for t in threads:
                t.start()
            for t in threads:
                t.join(timeout=DURATION + 4 * TIMEOUT)
            self.assertFalse(any(t.is_alive() for t in threads), "a client hangs")
            self.assertIsNone(server.proc.poll(), "the server ended:\n" + server.stderr()[-3000:])
            self.assertFalse(model.errors, "\n".join(model.errors[:5]))

            self.check_files(server, model)
            self.check_texts(server, model)
            code = server.interrupt()
            self.assertEqual(code, 0)
            errors = server.stderr()
            for mark in SANITIZER_MARKS:
                self.assertNotIn(mark, errors, errors[-6000:])
        # The run did real work of every kind.
        print("\nstress: %r" % sorted(model.counts.items()), file=sys.stderr)
        for what in ("uploads", "downloads", "deletes", "clears", "listings", "zips", "texts"):
            self.assertGreater(model.counts.get(what, 0), 0, (what, model.counts))

    def test_download_while_the_file_changes(self):
        """A download answers from the file it opened: while the PC replaces or deletes the
        file, each answer is a whole old or new file or a 404, never a head without its body
        or one file's length with another's bytes."""
        versions = [b"a" * 10, b"b" * 20000]
        with Server() as server:
            path = os.path.join(server.inbox, "changing.txt")
            stop = threading.Event()

            def change():
                n = 0
                while not stop.is_set():
                    n += 1
                    if n % 5 == 0:
                        try:
                            os.remove(path)
                        except FileNotFoundError:
                            pass
                        continue
                    temp = path + ".new"
                    with open(temp, "wb") as f:
                        f.write(versions[n % 2])
                    os.replace(temp, path)

            changer = threading.Thread(target=change)
            changer.start()
            answers = {}
            try:
                deadline = time.monotonic() + 4
                while time.monotonic() < deadline:
                    try:
                        status, _, body = server.request("GET", "/f/changing.txt")
                    except http.client.HTTPException as e:
                        self.fail("a head without its body: %r" % e)
                    if status == 200:
                        self.assertIn(body, versions, "%d bytes: %r" % (len(body), body[:20]))
                    else:
                        self.assertEqual(status, 404)
                    answers[status] = answers.get(status, 0) + 1
            finally:
                stop.set()
                changer.join()
            self.assertGreater(answers.get(200, 0), 0, answers)

    def check_files(self, server, model):
        inbox = server.inbox
        on_disk = {}
        for folder, dirs, files in os.walk(inbox):
            dirs[:] = [d for d in dirs if not d.startswith(".")]
            for name in files:
                path = os.path.join(folder, name)
                with open(path, "rb") as f:
                    on_disk[os.path.relpath(path, inbox).replace(os.sep, "/")] = f.read()
        with open(os.path.join(inbox, ".skiffbox", "files.json"), "rb") as f:
            records = json.loads(f.read())
        self.assertIsInstance(records, dict)
        for rel, data in on_disk.items():
            rec = model.files.get(rel)
            self.assertIsNotNone(rec, "%s on disk, never confirmed" % rel)
            self.assertEqual(data, rec.data, rel)
        for rel, rec in model.files.items():
            if model.strict(rec):
                self.assertIn(rel, on_disk, "confirmed %s is gone" % rel)
                self.assertEqual(records.get(rel, {}).get("from"), rec.device, rel)
            elif rec.state in ("deleted", "cleared"):
                self.assertNotIn(rel, on_disk, "%s %s is still there" % (rec.state, rel))
                self.assertNotIn(rel, records, "%s %s kept its record" % (rec.state, rel))
        for key, record in records.items():
            self.assertIn(key, model.sent, "record of %s, never sent" % key)
            self.assertIsInstance(record.get("time"), float, key)
            rec = model.files.get(key)
            if rec and model.strict(rec):
                self.assertIn(key, on_disk)

    def check_texts(self, server, model):
        with open(os.path.join(server.inbox, ".skiffbox", "texts.json"), "rb") as f:
            stored = json.loads(f.read())
        listed = json.loads(server.request("GET", "/api/texts")[2])["texts"]
        self.assertEqual(stored, listed)
        texts = {item["text"] for item in stored}
        self.assertLessEqual(texts, model.texts_sent)
        for text, rec in model.texts.items():
            if model.text_strict(rec):
                self.assertIn(text, texts, "confirmed text lost")
            elif rec.state in ("deleted", "cleared"):
                self.assertNotIn(text, texts, "%s text came back" % rec.state)


if __name__ == "__main__":
    unittest.main()
