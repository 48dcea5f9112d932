"""State files that cannot be used: one that is there but cannot be read (here a folder of its
name, the same to the server as a file another program holds) is left alone, and one that is
read but holds no document of the right kind is kept aside under a name with the time. Nothing
is overwritten, and the uploads' files are stored either way."""

import json
import os
import unittest

from clients import error_body, post_json, upload
from harness import Server


class StateFiles(unittest.TestCase):
    def setUp(self):
        self.server = Server()
        self.server.__enter__()
        self.addCleanup(self.server.__exit__, None, None, None)
        self.state = os.path.join(self.server.inbox, ".skiffbox")

    def test_unreadable_sender_store_keeps_the_files_and_says_why(self):
        os.makedirs(os.path.join(self.state, "files.json", "inside"))
        status, answer = upload(self.server, [("a.txt", b"abc"), ("d/b.txt", b"de")], device="phone")
        self.assertEqual(status, 200, answer)
        self.assertEqual([f["name"] for f in answer["files"]], ["a.txt", "d/b.txt"])
        with open(os.path.join(self.server.inbox, "d", "b.txt"), "rb") as f:
            self.assertEqual(f.read(), b"de")
        self.assertTrue(self.server.wait_output("files.json 读不出来"), self.server.output())
        self.assertTrue(os.path.isdir(os.path.join(self.state, "files.json", "inside")))
        status, _, body = self.server.request("GET", "/api/files")
        self.assertEqual(status, 200)
        self.assertEqual(sorted(f["name"] for f in json.loads(body)["files"]), ["a.txt", "d"])

    def test_invalid_stores_are_kept_aside_and_started_afresh(self):
        os.makedirs(self.state, exist_ok=True)
        for name, bad in (("files.json", b"[\"not an object\"]"), ("texts.json", b"{\"not\": ")):
            with open(os.path.join(self.state, name), "wb") as f:
                f.write(bad)
        status, _ = upload(self.server, [("a.txt", b"abc")], device="phone")
        self.assertEqual(status, 200)
        status, _ = post_json(self.server, "/api/text", {"text": "hello"})
        self.assertEqual(status, 200)
        names = os.listdir(self.state)
        for name, bad in (("files.json", b"[\"not an object\"]"), ("texts.json", b"{\"not\": ")):
            aside = [n for n in names if n.startswith(name + ".bad-")]
            self.assertEqual(len(aside), 1, names)
            with open(os.path.join(self.state, aside[0]), "rb") as f:
                self.assertEqual(f.read(), bad)
        with open(os.path.join(self.state, "files.json"), "rb") as f:
            self.assertEqual(json.loads(f.read())["a.txt"]["from"], "phone")
        with open(os.path.join(self.state, "texts.json"), "rb") as f:
            self.assertEqual([t["text"] for t in json.loads(f.read())], ["hello"])
        self.assertIn("内容损坏", self.server.output())

    def test_unreadable_texts_store_refuses_changes_with_500(self):
        os.makedirs(os.path.join(self.state, "texts.json"))
        status, _, body = self.server.request("POST", "/api/text", body=json.dumps({"text": "hi"}).encode(),
                                              headers={"Content-Type": "application/json"})
        self.assertEqual(status, 500)
        self.assertEqual(body, error_body("文字记录文件 texts.json 读不出来，这条文字没有保存，请稍后再试"))
        status, _, body = self.server.request("POST", "/api/text/delete", body=b"{\"id\": \"1\"}",
                                              headers={"Content-Type": "application/json"})
        self.assertEqual(status, 500)
        self.assertEqual(body, error_body("文字记录文件 texts.json 读不出来，没能删除，请稍后再试"))
        status, _, body = self.server.request("GET", "/api/texts")
        self.assertEqual((status, json.loads(body)), (200, {"texts": []}))
        self.assertTrue(os.path.isdir(os.path.join(self.state, "texts.json")))


if __name__ == "__main__":
    unittest.main()
