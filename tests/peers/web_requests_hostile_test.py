#!/usr/bin/python3
"""The web server against requests a hostile page or a curious user makes
with a logged-in browser: every parameter that changes something is
refused when the browser says the request comes from another site, a
browser's cookie of one kind of login is no failed login of the other, and
no page hands the cookie back."""
import os
import sys
import time
import unittest
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "web"))
import webpeer  # noqa: E402

BOB = "u=bob&p=bobpw"
ADMIN = "u=admin&p=S3cret"
FOREIGN = {"Origin": "http://evil.example", "Sec-Fetch-Site": "cross-site"}
REFUSED = b"Request refused - it came from a page of another site."


def spam(subject):
    return ("From: Eve <eve@example.com>\r\nTo: bob@office.lan\r\nSubject: %s\r\n\r\nbuy\r\n.\r\n"
            % subject)


class WebServer(unittest.TestCase):
    def start(self):
        srv = webpeer.Server({"bob": "bobpw"}, admin=("admin", "S3cret")).start()

        def stop():
            out = srv.stop()
            if b"Sanitizer" in out or b"runtime error:" in out:
                raise AssertionError("sanitizer report:\n" + out.decode("latin-1"))

        self.addCleanup(stop)
        return srv


class CrossSite(WebServer):
    def test_every_changing_parameter_is_refused_from_another_site(self):
        srv = self.start()
        srv.write_message("Spam1", "bob_s1.dat", spam("one"))
        srv.write_message("Spam2", "bob_s2.dat", spam("two"))
        srv.write_message("in", "bob_m1.dat", spam("kept"))
        cases = [
            ("/spamlist?Spam0=Spam1%5Cbob_s1&Spam1=Spam2%5Cbob_s2", None),
            ("/spamlist?spam1=Spam2%5Cbob_s2", None),
            ("/spamlist?DeleteFile=Spam1%5Cbob_s1", None),
            ("/spamlist?SaveFile=Spam1%5Cbob_s1", None),
            ("/webmaillist?inputtype=delete&DelCount=0&Del0=bob_m1", BOB),
            ("/webmaillist?SaveFile=bob_m1", BOB),
            ("/webmaillist?dir=settings&fullname=Mallory", BOB),
            ("/settings?btndel=1&users_name=bob", ADMIN),
            ("/settings?btnpw=1&users_name=bob&users_pw=x", ADMIN),
            ("/settings?btnnewld=1&ld_email=x@far.example&ld_username=bob", ADMIN),
            ("/send", None),
        ]
        for path, cookie in cases:
            with self.subTest(path):
                _, _, body = srv.get(path, cookie=cookie, headers=FOREIGN)
                self.assertIn(REFUSED, body)
        for folder, name in (("Spam1", "bob_s1.dat"), ("Spam2", "bob_s2.dat"), ("in", "bob_m1.dat")):
            self.assertTrue(os.path.exists(srv.path(folder, name)), name)
        self.assertFalse(os.path.exists(srv.path("Deleted", "bob_s1.dat")))

    def test_the_ticked_form_works_from_the_programs_own_page(self):
        srv = self.start()
        srv.write_message("Spam1", "bob_s1.dat", spam("one"))
        srv.write_message("Spam2", "bob_s2.dat", spam("two"))
        own = {"Referer": srv.url("/spamlist"), "Sec-Fetch-Site": "same-origin"}
        _, _, body = srv.get("/spamlist?Spam0=Spam1%5Cbob_s1&Spam1=Spam2%5Cbob_s2", headers=own)
        self.assertNotIn(REFUSED, body)
        self.assertFalse(os.path.exists(srv.path("Spam1", "bob_s1.dat")))
        self.assertFalse(os.path.exists(srv.path("Spam2", "bob_s2.dat")))
        self.assertTrue(os.path.exists(srv.path("Deleted", "bob_s1.dat")))


class CookiesOfTheOtherLogin(WebServer):
    """The status page links both logins; a browser holds one cookie."""

    def assert_not_braked(self, srv, path, fields, then):
        start = time.monotonic()
        _, _, body = srv.post_form(path, fields)
        self.assertLess(time.monotonic() - start, 2, "answered late: counted as guessing")
        self.assertNotIn(b'name="loginform"', body, "refused: counted as guessing")
        self.assertIn(then, body)

    def test_web_mail_cookie_on_the_administration_pages(self):
        srv = self.start()
        for _ in range(6):
            _, _, body = srv.get("/settings", cookie=BOB)
            self.assertIn(b'name="loginform"', body)
        self.assert_not_braked(srv, "/webmail", {"user": "bob", "password": "bobpw"}, b"FRAMESET")
        self.assert_not_braked(srv, "/settings", {"user": "admin", "password": "S3cret"}, b"users_name")

    def test_administrator_cookie_on_web_mail_pages(self):
        srv = self.start()
        for path in ("/webmail", "/webmaillist", "/address", "/attach", "/webmail", "/webmaillist"):
            _, _, body = srv.get(path, cookie=ADMIN)
            self.assertIn(b'name="loginform"', body)
        self.assert_not_braked(srv, "/settings", {"user": "admin", "password": "S3cret"}, b"users_name")

    def test_cookie_without_a_password_guesses_nothing(self):
        srv = self.start()
        for _ in range(6):
            srv.get("/webmaillist", cookie="u=bob&p=")
        self.assert_not_braked(srv, "/webmail", {"user": "bob", "password": "bobpw"}, b"FRAMESET")

    def test_wrong_passwords_still_count(self):
        srv = self.start()
        for i in range(5):
            srv.get("/settings", cookie="u=admin&p=guess%d" % i)
        start = time.monotonic()
        _, _, body = srv.post_form("/settings", {"user": "admin", "password": "S3cret"})
        self.assertIn(b'name="loginform"', body)
        self.assertGreaterEqual(time.monotonic() - start, 2)


class EchoedRequest(WebServer):
    def test_couldnt_send_page_leaves_out_credentials(self):
        srv = self.start()
        boundary = "b0undary"
        form = ("--%s\r\nContent-Disposition: form-data; name=\"emailfrom\"\r\n\r\nbob\r\n"
                "--%s\r\nContent-Disposition: form-data; name=\"emailto\"\r\n\r\nout@far.example\r\n"
                "--%s\r\nContent-Disposition: form-data; name=\"Send\"\r\n\r\nSend\r\n--%s--\r\n"
                % (boundary, boundary, boundary, boundary)).encode()
        head = ("POST /compose HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: %s\r\n"
                "Authorization: Basic Ym9iOmJvYnB3\r\ncOOkie :\r\n extra=bobpw\r\n"
                "X-Kept: visible\r\nContent-Type: multipart/form-data; boundary=%s\r\n"
                "Content-Length: %d\r\n\r\n" % (BOB, boundary, len(form))).encode()
        response = srv.raw([head + form])
        _, body = webpeer.body_of(response)
        self.assertIn(b"Couldn't send email", body)
        self.assertIn(b"X-Kept: visible", body, "the rest of the request is echoed")
        self.assertIn(b"out@far.example", body, "and the start of the body")
        for secret in (b"bobpw", b"Ym9iOmJvYnB3", b"Cookie", b"Authorization"):
            self.assertNotIn(secret, body.replace(b"cOOkie", b"Cookie"))


if __name__ == "__main__":
    if not webpeer.BIN or not os.access(webpeer.BIN, os.X_OK):
        print("TARNWICK_BIN does not name the program", file=sys.stderr)
        sys.exit(1)
    unittest.main(verbosity=2)
