#!/usr/bin/python3
"""The web server against hostile or awkward requests: names that try to
leave their folder, markup in messages, one user reaching another's mail,
oversized requests, requests split across many reads, header injection,
and the administration pages with their login."""
import os
import re
import socket
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "web"))
import webpeer  # noqa: E402
from pop3_server_test import write_users  # noqa: E402

BOB = "u=bob&p=bobpw"
ALICE = "u=alice&p=alicepw"


class Safety(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.srv = webpeer.Server({"bob": "bobpw", "alice": "alicepw"}, admin=("admin", "S3cret")).start()
        # A secret beside the program directory that no request may reach.
        with open(os.path.join(cls.srv.root, "secret.dat"), "w") as f:
            f.write("Subject: top secret\r\n\r\nTOPSECRET\r\n")
        cls.srv.write_message("in", "alice_a1.dat",
                              "From: <b>Mallory</b> <m@x.example>\r\nTo: alice@office.lan\r\n"
                              "Subject: <script>alert('x')</script> \xe9t\xe9\r\n\r\nALICEONLY\r\n.\r\n")

    @classmethod
    def tearDownClass(cls):
        out = cls.srv.stop()
        if b"Sanitizer" in out or b"runtime error:" in out:
            raise AssertionError("sanitizer report:\n" + out.decode("latin-1"))

    def test_path_traversal_attempts_read_and_delete_nothing(self):
        cases = [
            ("/showmail?dir=..&email=secret", None),
            ("/showmail?dir=in&email=../../secret", BOB),
            ("/showmail?dir=in%2F..%2F..&email=secret", BOB),
            ("/x.txt?AttachFile=../../secret&Dir=in", BOB),
            ("/x.txt?AttachFile=secret&Dir=..", BOB),
            ("/log?file=../secret.dat&user=admin&password=S3cret", None),
            ("/log?file=users.dat&user=admin&password=S3cret", None),
            ("/compose?dir=in&replyfile=../../secret", BOB),
        ]
        for path, cookie in cases:
            with self.subTest(path=path):
                _, _, body = self.srv.get(path, cookie=cookie)
                self.assertNotIn(b"TOPSECRET", body)
                self.assertNotIn(b"top secret", body)
        # Deleting and moving by name stays inside the user's own files.
        for fields in ({"inputtype": "delete", "delcount": "1", "del1": "../../secret"},
                       {"inputtype": "delete", "delcount": "1", "del1": "alice_a1"}):
            self.srv.post_form("/webmaillist?dir=in", fields, cookie=BOB)
        self.srv.get("/webmaillist?savefile=alice_a1&dir=in", cookie=BOB)
        self.srv.get("/spamlist?DeleteFile=..%5C..%5Csecret")
        self.srv.get("/spamlist?DeleteFile=in%5Calice_a1")
        self.assertTrue(os.path.exists(os.path.join(self.srv.root, "secret.dat")))
        self.assertTrue(os.path.exists(self.srv.path("in", "alice_a1.dat")))
        # An uploaded file name cannot leave the user's attachment folder.
        self.srv.post_multipart("/compose", [("emailfrom", "b"), ("addfile", "add")],
                                files=[("atchfile", "../../../evil.txt", b"EVIL")], cookie=BOB)
        self.assertFalse(os.path.exists(os.path.join(self.srv.root, "evil.txt")))
        self.assertFalse(os.path.exists(self.srv.path("evil.txt")))
        self.assertEqual(os.listdir(self.srv.path("attach", "bob")), ["evil.txt"])

    def test_other_users_mail_needs_their_login(self):
        _, _, body = self.srv.get("/showmail?dir=in&email=alice_a1", cookie=BOB)
        self.assertNotIn(b"ALICEONLY", body)
        _, _, body = self.srv.get("/showmail?dir=in&email=alice_a1")
        self.assertNotIn(b"ALICEONLY", body)
        _, _, body = self.srv.get("/showmail?dir=in&email=alice_a1", cookie=ALICE)
        self.assertIn(b"ALICEONLY", body)

    def test_markup_in_a_message_is_escaped(self):
        _, _, body = self.srv.get("/webmaillist", cookie=ALICE)
        self.assertNotIn(b"<script>alert", body)
        self.assertNotIn(b"<b>Mallory", body)
        self.assertIn(b"&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;", body)
        self.assertIn(b"&#233;t&#233;", body)

    def test_html_mail_is_shown_sandboxed(self):
        self.srv.write_message("in", "alice_h1.dat",
                               "From: m@x.example\r\nSubject: h\r\nContent-Type: text/html\r\n\r\n"
                               "<html><body><script>document.cookie</script>hi</body></html>\r\n.\r\n")
        _, headers, body = self.srv.get("/showmail?dir=in&email=alice_h1", cookie=ALICE)
        self.assertTrue(headers["Content-Type"].startswith("text/html"))
        self.assertEqual(headers["Content-Security-Policy"],
                         "sandbox; default-src 'none'; img-src data: cid:; style-src 'unsafe-inline'")

    def test_cookie_cannot_inject_headers(self):
        _, headers, _ = self.srv.get("/webmail?user=x%0d%0aSet-Cookie:%20evil=1&password=y")
        self.assertEqual(headers.get_all("Set-Cookie"), ["u=x%0D%0ASet-Cookie:%20evil=1&p=y; HttpOnly; SameSite=Strict"])

    def test_request_split_across_reads_is_joined(self):
        body = b"user=bob&password=bobpw"
        req = (b"POST /webmaillist HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: %d\r\n\r\n" % len(body)) + body
        chunks = [req[i:i + 7] for i in range(0, len(req), 7)]
        got = self.srv.raw(chunks, pause=0.01)
        self.assertIn(b"Webmail for bob - Inbox", got)
        # A POST without Content-Length is answered with what arrived.
        got = self.srv.raw([b"POST /webmaillist HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", body], pause=0.05)
        self.assertIn(b"Webmail for bob - Inbox", got)

    def test_oversized_request_is_refused_and_server_goes_on(self):
        # A declared body beyond the limit is refused at once, with a page.
        got = self.srv.raw([b"POST /compose HTTP/1.1\r\nContent-Length: 999999999\r\n\r\nxx"])
        self.assertIn(b"Couldn't send email - it is larger than 16 MB.", got)
        # A header block that never ends is refused once it is too long.
        s = socket.create_connection(("127.0.0.1", self.srv.port), timeout=15)
        try:
            for _ in range(80):
                s.sendall(b"X-Filler: " + b"a" * 1000 + b"\r\n")
        except OSError:
            pass
        s.settimeout(15)
        try:
            self.assertNotIn(b"200 OK", s.recv(100))
        except OSError:
            pass
        s.close()
        _, _, body = self.srv.get("/")
        self.assertIn(b"Send/Recv now", body)

    def test_admin_login_users_and_distribution_list(self):
        # Wrong login: the administration login form.
        _, _, body = self.srv.post_form("/settings", {"user": "admin", "password": "s3cret"})
        self.assertIn(b'action="/settings"', body)
        self.assertIn(b'name="loginform"', body)
        admin = "u=admin&p=S3cret"
        _, _, body = self.srv.get("/settings", cookie=admin)
        self.assertIn(b"User list", body)
        self.assertIn(b"Local distribution list", body)
        # Add a user, then the same name again only changes the password.
        self.srv.post_form("/settings", {"users_name": "carol", "users_pw": "one", "BtnPW": "Add New User"},
                           cookie=admin)
        _, _, body = self.srv.post_form("/settings", {"users_name": "carol", "users_pw": "two",
                                                      "BtnPW": "Change Password"}, cookie=admin)
        self.assertEqual(body.count(b'name="users_name" value="carol"'), 1)
        self.assertIn(b'bgcolor="#99CCCCC"><TD>carol', body)
        _, _, body = self.srv.get("/webmaillist", cookie="u=carol&p=two")
        self.assertIn(b"Webmail for carol", body)
        # Unsafe names are not added.
        _, _, body = self.srv.post_form("/settings", {"users_name": "../x", "users_pw": "p", "BtnPW": "Add"},
                                        cookie=admin)
        self.assertNotIn(b"../x", body)
        self.assertIn(b"Illegal characters (only letters and digits please) in User name.", body)
        # A distribution-list entry, then deleting the user takes it along.
        _, _, body = self.srv.post_form("/settings", {"ld_email": "c@office.lan", "ld_username": "carol",
                                                      "BtnNewLD": "Add New Entry"}, cookie=admin)
        self.assertIn(b'name="ld_email" value="c@office.lan"', body)
        _, _, body = self.srv.post_form("/settings", {"users_name": "carol", "BtnDel": "Delete User"}, cookie=admin)
        self.assertNotIn(b"carol", body)
        self.assertNotIn(b"c@office.lan", body)
        # Logs: plain text, only the five log files.
        _, headers, body = self.srv.get("/log?file=pop.log", cookie=admin)
        self.assertTrue(headers["Content-Type"].startswith("text/plain"))

    def test_a_user_name_in_another_case_is_the_same_user(self):
        # users.dat as an older installation has it: its name index compares
        # with case. Adding ALICE3 changes alice3's password, one row stays;
        # Delete finds the user the same way.
        srv = webpeer.Server({}, admin=("admin", "S3cret"))
        write_users(srv.home, [("alice3", "old"), ("bob", "bobpw")])
        srv.start()
        try:
            admin = "u=admin&p=S3cret"
            _, _, body = srv.post_form("/settings", {"users_name": "ALICE3", "users_pw": "new",
                                                     "BtnPW": "Add New User"}, cookie=admin)
            self.assertEqual(re.findall(rb'name="users_name" value="([^"]*)"', body), [b"alice3", b"bob"])
            with open(srv.path("users.dat"), "rb") as f:
                self.assertNotIn(b"ALICE3", f.read())
            _, _, body = srv.get("/webmaillist", cookie="u=alice3&p=new")
            self.assertIn(b"Webmail for alice3", body)
            _, _, body = srv.post_form("/settings", {"users_name": "BOB", "BtnDel": "Delete User"}, cookie=admin)
            self.assertEqual(re.findall(rb'name="users_name" value="([^"]*)"', body), [b"alice3"])
        finally:
            srv.stop()

    def test_a_pending_renames_names_are_not_added(self):
        # A rename left to the next start (dora to erin) still has mail under
        # both names: neither the page nor the set-up tool adds either.
        record = self.srv.path("rename.pending")
        with open(record, "w") as f:
            f.write("tarnwick user rename 1\ndora\nerin\n")
        try:
            _, _, body = self.srv.post_form("/settings", {"users_name": "erin", "users_pw": "p",
                                                          "BtnPW": "Add New User"}, cookie="u=admin&p=S3cret")
            self.assertIn(b"User erin cannot be added: the rename of user dora to erin is not complete yet", body)
            self.assertNotIn(b'name="users_name" value="erin"', body)
            tool = subprocess.run([webpeer.adduser_bin(), self.srv.home, "Dora", "p"], capture_output=True, text=True)
            self.assertEqual(tool.returncode, 1)
            self.assertIn("User Dora cannot be added: the rename of user dora to erin", tool.stderr)
            with open(self.srv.path("users.dat"), "rb") as f:
                self.assertNotIn(b"Dora", f.read())
        finally:
            os.unlink(record)

    def test_admin_pages_unavailable_without_admin_login(self):
        srv = webpeer.Server({"bob": "bobpw"}).start()
        try:
            _, _, body = srv.get("/settings?user=&password=")
            self.assertTrue(body.startswith(b"Settings not available on browser"))
        finally:
            srv.stop()


if __name__ == "__main__":
    if not webpeer.BIN or not os.access(webpeer.BIN, os.X_OK):
        print("TARNWICK_BIN does not name the program", file=sys.stderr)
        sys.exit(1)
    unittest.main(verbosity=2)
