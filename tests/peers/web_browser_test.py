#!/usr/bin/python3
"""The web mail list and the spam list in headless Chromium: a real HTML
parser and script engine see the pages, and markup planted in a message's
headers stays text."""
import os
import re
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "web"))
import webpeer  # noqa: E402

CHROMIUM = "/usr/bin/chromium"
PLANT = "<img src=x onerror=\"document.body.setAttribute('data-pwned','1')\">"


@unittest.skipUnless(os.access(CHROMIUM, os.X_OK), "chromium is not installed")
class Browser(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.srv = webpeer.Server({"bob": "bobpw"}).start()
        for folder, name in (("in", "bob_x1.dat"), ("Spam1", "bob_x2.dat")):
            cls.srv.write_message(folder, name,
                                  "From: %s <m@x.example>\r\nTo: bob@office.lan\r\nSubject: Hi %s\r\n\r\nbody\r\n.\r\n"
                                  % (PLANT, PLANT))

    @classmethod
    def tearDownClass(cls):
        out = cls.srv.stop()
        if b"Sanitizer" in out or b"runtime error:" in out:
            raise AssertionError("sanitizer report:\n" + out.decode("latin-1"))

    def dom(self, path):
        profile = tempfile.mkdtemp(dir=self.srv.root)
        env = dict(self.srv.env)
        env["TMPDIR"] = tempfile.mkdtemp(dir=self.srv.root)
        run = subprocess.run(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--disable-default-apps", "--disable-extensions", "--user-data-dir=" + profile,
             "--window-size=1280,800", "--virtual-time-budget=3000", "--dump-dom", self.srv.url(path)],
            env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=120)
        return run.stdout.decode("utf-8", "replace")

    def test_planted_markup_stays_text(self):
        for path, heading in (("/webmaillist?user=bob&password=bobpw", "Webmail for bob - Inbox"),
                              ("/spamlist", "Spam list:")):
            with self.subTest(path=path):
                dom = self.dom(path)
                self.assertIn(heading, dom)
                self.assertIn("Hi &lt;img src=x", dom)
                self.assertNotIn("<img", dom.lower())
                self.assertIsNone(re.search(r"<body[^>]*data-pwned", dom), "the planted handler ran")


if __name__ == "__main__":
    if not webpeer.BIN or not os.access(webpeer.BIN, os.X_OK):
        print("TARNWICK_BIN does not name the program", file=sys.stderr)
        sys.exit(1)
    unittest.main(verbosity=2)
