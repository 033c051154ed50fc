#!/usr/bin/python3
"""Web mail in headless Chromium against pages of another origin: a plain
HTTP server on 127.0.0.2 serves the attacking pages and logs what it is
asked for. A logged-in user's browser must not send mail, change settings
or add users for that page; a message's HTML fetches nothing from outside;
UTF-8 mail reads right; and clicking a subject in the list opens its row.
The same actions from the program's own pages still work."""
import http.server
import os
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "web"))
import cdp  # noqa: E402
import webpeer  # noqa: E402


class Attacker:
    """http.server on 127.0.0.2 serving files of a folder, remembering every
    path asked for."""

    def __init__(self, folder):
        self.paths = []
        attacker = self

        class Handler(http.server.SimpleHTTPRequestHandler):
            def __init__(self, *a, **kw):
                super().__init__(*a, directory=folder, **kw)

            def do_GET(self):
                attacker.paths.append(self.path)
                super().do_GET()

            def log_message(self, *a):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.2", 0), Handler)
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def url(self, path):
        return "http://127.0.0.2:%d%s" % (self.port, path)

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()


UTF8_MAIL = ("From: =?UTF-8?Q?J=C3=BCrgen?= <j@example.com>\r\nTo: bob@office.lan\r\n"
             "Subject: =?UTF-8?Q?Gr=C3=BC=C3=9Fe?=\r\nMIME-Version: 1.0\r\n"
             "Content-Type: text/plain; charset=UTF-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n"
             "Sch\u00f6ne Gr\u00fc\u00dfe aus \u6771\u4eac\r\n.\r\n").encode("utf-8")


@unittest.skipUnless(os.access(cdp.CHROMIUM, os.X_OK), "chromium is not installed")
class Origins(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.srv = webpeer.Server({"bob": "bobpw", "alice": "alicepw"}, admin=("admin", "S3cret")).start()
        cls.pages = tempfile.mkdtemp(dir=cls.srv.root)
        cls.attacker = Attacker(cls.pages)
        target = "http://127.0.0.1:%d" % cls.srv.port
        cls.write_page("post.html",
                       "<html><body><form id=f method=post enctype='multipart/form-data' action='%s/compose'>"
                       "<input name=emailfrom value='bob@office.lan'><input name=emailto value='alice'>"
                       "<input name=emailsubj value='forged'><input name=emailbody value='x'>"
                       "<input type=hidden name=Send value=Send></form>"
                       "<script>document.getElementById('f').submit()</script></body></html>" % target)
        cls.write_page("get.html", "<html><body><script>location='%s/webmaillist?dir=settings&fullname=Pwned"
                                   "&replyaddress=evil%%40x.example'</script></body></html>" % target)
        cls.write_page("admin.html", "<html><body><script>location='%s/settings?users_name=mallory"
                                     "&users_pw=x&BtnPW=1'</script></body></html>" % target)
        cls.write_page("pixel.png", "")
        cls.srv.write_message("in", "bob_utf8.dat", UTF8_MAIL, mtime=1700000100)
        cls.srv.write_message("in", "bob_plain.dat",
                              "From: Ann <ann@example.com>\r\nTo: bob@office.lan\r\nSubject: Lunch\r\n\r\nNoon?\r\n.\r\n",
                              mtime=1700000000)
        cls.srv.write_message("in", "bob_html.dat",
                              ("From: News <n@example.com>\r\nTo: bob@office.lan\r\nSubject: Offer\r\nMIME-Version: 1.0\r\n"
                               "Content-Type: text/html\r\n\r\n<html><body>Look<img src=\"%s\"></body></html>\r\n.\r\n"
                               % cls.attacker.url("/pixel.png?who=bob")), mtime=1699999000)
        cls.browser = cdp.Browser(tempfile.mkdtemp(dir=cls.srv.root), env=cls.srv.env)

    @classmethod
    def tearDownClass(cls):
        cls.browser.close()
        cls.attacker.stop()
        out = cls.srv.stop()
        if b"Sanitizer" in out or b"runtime error:" in out:
            raise AssertionError("sanitizer report:\n" + out.decode("latin-1"))

    @classmethod
    def write_page(cls, name, text):
        with open(os.path.join(cls.pages, name), "w") as f:
            f.write(text)

    def login(self, path):
        self.browser.navigate(self.srv.url(path))

    def test_pages_of_another_site_act_for_nobody(self):
        self.login("/webmail?user=bob&password=bobpw")
        self.assertEqual(self.browser.evaluate("document.cookie"), "", "scripts must not see the login")
        self.browser.navigate(self.attacker.url("/post.html"), settle=1.5)
        self.browser.navigate(self.attacker.url("/get.html"), settle=1.5)
        self.assertEqual([f for f in os.listdir(self.srv.path("in")) if f.startswith("alice_")], [])
        self.assertEqual(os.listdir(self.srv.path("WebSent")), [])
        websets = self.srv.path("websets.dat")
        self.assertFalse(os.path.exists(websets) and b"Pwned" in open(websets, "rb").read())
        self.login("/settings?user=admin&password=S3cret")
        self.browser.navigate(self.attacker.url("/admin.html"), settle=1.5)
        with open(self.srv.path("users.dat"), "rb") as f:
            self.assertNotIn(b"mallory", f.read())
        # The program's own pages still do all of that.
        self.login("/webmail?user=bob&password=bobpw")
        self.browser.navigate(self.srv.url("/webmaillist?dir=settings"))
        self.browser.evaluate("document.forms[1].fullname.value = 'Bob Smith'; document.forms[1].submit(); true")
        time.sleep(1)
        self.assertIn(b"Bob Smith", open(websets, "rb").read())

    def test_message_html_fetches_nothing_from_outside(self):
        self.login("/webmail?user=bob&password=bobpw")
        self.browser.navigate(self.srv.url("/showmail?dir=in&email=bob_html"), settle=1.5)
        self.assertIn("Look", self.browser.evaluate("document.body ? document.body.innerText : ''"))
        self.assertFalse([p for p in self.attacker.paths if p.startswith("/pixel.png")], self.attacker.paths)

    def test_utf8_mail_reads_right(self):
        self.login("/webmail?user=bob&password=bobpw")
        self.browser.navigate(self.srv.url("/showmail?dir=in&email=bob_utf8"))
        self.assertIn("Sch\u00f6ne Gr\u00fc\u00dfe aus \u6771\u4eac", self.browser.evaluate("document.body.innerText"))

    def test_clicking_a_subject_opens_its_row(self):
        self.login("/webmail?user=bob&password=bobpw")
        b = self.browser
        self.assertTrue(b.wait_for("frames[0] && frames[0].document.querySelectorAll('a[href^=\"/showmail\"]').length == 3"))
        rows = "Array.from(frames[0].document.querySelectorAll('a[href^=\"/showmail\"]')).map(a => a.closest('tr'))"
        detail_shown = "(r => r.nextElementSibling.style.display != 'none')"
        cells_shown = "(r => Array.from(r.cells).every(c => c.offsetParent !== null))"
        b.evaluate("frames[0].document.querySelectorAll('a[href^=\"/showmail\"]')[0].click(); true")
        time.sleep(0.5)
        self.assertEqual(b.evaluate("%s.map(%s)" % (rows, detail_shown)), [True, False, False])
        self.assertTrue(b.wait_for("frames[1].document.body && frames[1].document.body.innerText.indexOf('aus') >= 0"))
        b.evaluate("frames[0].document.querySelectorAll('a[href^=\"/showmail\"]')[1].click(); true")
        time.sleep(0.5)
        self.assertEqual(b.evaluate("%s.map(%s)" % (rows, detail_shown)), [False, True, False])
        self.assertEqual(b.evaluate("%s.map(%s)" % (rows, cells_shown)), [True, True, True],
                         "a cell of a row was hidden")
        self.assertEqual(b.evaluate("%s[1].style.backgroundColor" % rows), "rgb(188, 240, 188)")


if __name__ == "__main__":
    if not webpeer.BIN or not os.access(webpeer.BIN, os.X_OK):
        print("TARNWICK_BIN does not name the program", file=sys.stderr)
        sys.exit(1)
    unittest.main(verbosity=2)
