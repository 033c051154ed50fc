#!/usr/bin/python3
"""Web mail end to end over HTTP against the real program: login and the
cookie, the message list and a message, an attachment downloaded byte for
byte, sending to a local user and outside addresses, the address book, the
status and spam pages."""
import base64
import configparser
import email
import email.policy
import html
import os
import re
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "web"))
import webpeer  # noqa: E402

BOB = "u=bob&p=bobpw"
ALICE = "u=alice&p=alicepw"
CAROL = "u=carol&p=carolpw"
ATTRS = "; HttpOnly; SameSite=Strict"


def message(subject, body="Hello", sender="Eve <eve@example.com>", to="bob@office.lan", extra=""):
    return ("From: %s\r\nTo: %s\r\nSubject: %s\r\n%s\r\n%s\r\n.\r\n" % (sender, to, subject, extra, body))


class WebMail(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.srv = webpeer.Server({"bob": "bobpw", "alice": "alicepw", "carol": "carolpw"}).start()

    @classmethod
    def tearDownClass(cls):
        out = cls.srv.stop()
        if b"Sanitizer" in out or b"runtime error:" in out:
            raise AssertionError("sanitizer report:\n" + out.decode("latin-1"))

    def test_login_page_and_cookie(self):
        # Wrong password: the login page, and the cookie still holds what was typed.
        status, headers, body = self.srv.post_form("/webmail", {"user": "bob", "password": "nope"})
        self.assertEqual(status, 200)
        self.assertIn(b'name="loginform"', body)
        self.assertIn(b'value="bob"', body)
        self.assertEqual(headers["Set-Cookie"], "u=bob&p=nope" + ATTRS)
        # Right password (any letter case): the frameset and a cookie that logs in again.
        status, headers, body = self.srv.post_form("/webmail", {"user": "bob", "password": "BOBPW"})
        self.assertIn(b'src="/webmaillist"', body)
        self.assertEqual(headers["Set-Cookie"], "u=bob&p=BOBPW" + ATTRS)
        _, _, body = self.srv.get("/WebMailList", cookie=headers["Set-Cookie"].split(";")[0])
        self.assertIn(b"Webmail for bob - Inbox", body)
        # Log out: an empty user name in the request line wins over the
        # cookie, and the new cookie keeps no password.
        _, headers, body = self.srv.get("/webmail?u=", cookie=BOB)
        self.assertIn(b'name="loginform"', body)
        self.assertEqual(headers["Set-Cookie"], "u=&p=" + ATTRS)

    def test_list_read_and_paging(self):
        # Carol's mailbox holds only these.
        base = 1700000000
        for i in range(11):
            self.srv.write_message("in", "carol_p%02d.dat" % i, message("Paged %02d" % i), mtime=base + i * 60)
        _, _, body = self.srv.get("/webmaillist?dir=in", cookie=CAROL)
        text = body.decode("latin-1")
        self.assertIn("Showing 1 - 10 of 11", text)
        self.assertIn("startfrom=11", text)
        self.assertIn("Paged 10", text)
        self.assertNotIn("Paged 00", text)
        _, _, body = self.srv.get("/webmaillist?dir=in&StartFrom=11", cookie=CAROL)
        self.assertIn(b"Paged 00", body)
        self.assertNotIn(b"Paged 01", body)
        # Reading one message: its plain body as text/plain.
        _, headers, body = self.srv.get("/showmail?dir=in&email=carol_p03", cookie=CAROL)
        self.assertTrue(headers["Content-Type"].startswith("text/plain"))
        self.assertIn(b"Hello", body)
        for i in range(11):
            os.remove(self.srv.path("in", "carol_p%02d.dat" % i))

    def test_send_local_and_external_then_attachment_byte_exact(self):
        data = os.urandom(7000) + b"\r\n.\r\n" + bytes(range(256))
        # A fresh compose page empties the attachment folder.
        self.srv.get("/compose", cookie=BOB)
        _, _, body = self.srv.post_multipart(
            "/compose", [("emailfrom", "Bob <bob@office.lan>"), ("emailto", "alice"), ("emailcc", ""),
                         ("emailsubj", "With file"), ("emailbody", "see attached"), ("addfile", "add")],
            files=[("atchfile", "report.bin", data)], cookie=BOB)
        self.assertIn(b'name="delete1" value="report.bin"', body)
        _, _, body = self.srv.post_multipart(
            "/compose", [("emailfrom", "Bob <bob@office.lan>"), ("emailto", "alice"),
                         ("emailcc", "x@far.example, <y@far.example>"), ("emailsubj", "With file"),
                         ("emailbody", "see attached\r\n.leading dot"), ("Send", "Send")], cookie=BOB)
        self.assertIn(b"Message sent", body)
        self.assertEqual(os.listdir(self.srv.path("attach", "bob")), [])

        inbox = [f for f in os.listdir(self.srv.path("in")) if f.startswith("alice_")]
        self.assertEqual(len(inbox), 1)
        msg_id = inbox[0][len("alice_"):-len(".dat")]
        out = os.listdir(self.srv.path("out"))
        self.assertEqual(out, [msg_id + ".txt"])
        self.assertIn("bob_%s.dat" % msg_id, os.listdir(self.srv.path("WebSent")))
        ports = configparser.ConfigParser()
        ports.optionxform = str
        ports.read(self.srv.path("ports.dat"))
        rec = ports[msg_id]
        self.assertEqual((rec["rcpt"], rec["To1"], rec["To2"], rec["From"], rec["User"]),
                         ("2", "<x@far.example>", "<y@far.example>", "<bob@office.lan>", "bob"))
        with open(self.srv.path("out", msg_id + ".txt"), "rb") as f:
            stored = f.read()
        self.assertTrue(stored.endswith(b"\r\n.\r\n"))
        self.assertIn(b"\r\n..leading dot\r\n", stored)

        # Alice lists it with its attachment and downloads it byte for byte.
        _, _, body = self.srv.get("/webmaillist", cookie=ALICE)
        link = re.search(rb'href="(/report\.bin\?AttachFile=[^"]+)"', body)
        self.assertIsNotNone(link, body)
        _, headers, got = self.srv.get(link.group(1).decode().replace("&amp;", "&"), cookie=ALICE)
        self.assertEqual(got, data)
        # Bob cannot fetch Alice's copy by naming it.
        _, _, got = self.srv.get("/report.bin?AttachFile=alice_%s&Dir=in" % msg_id, cookie=BOB)
        self.assertNotEqual(got, data)

    def test_attachment_with_a_long_escaped_name(self):
        name = "quarterly report for the finance department final v2.txt"
        data = b"figures\r\n" * 100
        self.srv.get("/compose", cookie=ALICE)
        self.srv.post_multipart("/compose", [("emailfrom", "a"), ("addfile", "add")],
                                files=[("atchfile", name, data)], cookie=ALICE)
        _, _, body = self.srv.post_multipart("/compose", [("emailfrom", "a"), ("emailto", "bob"),
                                                          ("emailsubj", "Figures"), ("emailbody", "x"),
                                                          ("Send", "Send")],
                                             cookie=ALICE)
        self.assertIn(b"Message sent", body)
        _, _, body = self.srv.get("/webmaillist", cookie=BOB)
        link = re.search(rb'href="(/quarterly%20report[^"]+)"', body)
        self.assertIsNotNone(link, body)
        _, _, got = self.srv.get(link.group(1).decode().replace("&amp;", "&"), cookie=BOB)
        self.assertEqual(got, data)

    def test_no_recipient_is_refused_and_nothing_written(self):
        before = sorted(os.listdir(self.srv.path("out")))
        _, _, body = self.srv.post_multipart(
            "/compose", [("emailfrom", "bob"), ("emailto", " , "), ("emailsubj", "x"), ("emailbody", "y"),
                         ("Send", "Send")],
            cookie=BOB)
        self.assertIn(b"Couldn't send email - you must have at least one valid recipient.", body)
        self.assertIn(b"Request (Post length ", body)
        _, _, body = self.srv.post_multipart(
            "/compose", [("emailfrom", "bob"), ("emailto", "out@far.example"), ("emailsubj", "x"), ("emailbody", "y"),
                         ("Send", "Send")],
            cookie=BOB)
        self.assertIn(b"Couldn't send email - you must have a valid from address.", body)
        self.assertEqual(sorted(os.listdir(self.srv.path("out"))), before)

    def test_only_the_send_button_sends(self):
        # A whole form without the button that sends (nor add or delete):
        # the form comes back as typed and nothing is sent.
        before = {d: sorted(os.listdir(self.srv.path(d))) for d in ("in", "out", "WebSent")}
        _, _, body = self.srv.post_multipart(
            "/compose", [("emailfrom", "bob"), ("emailto", "alice"), ("emailsubj", "Not pressed"),
                         ("emailbody", "draft")], cookie=BOB)
        self.assertNotIn(b"Message sent", body)
        self.assertIn(b'name="emailsubj" size="60" value="Not pressed"', body)
        self.assertEqual({d: sorted(os.listdir(self.srv.path(d))) for d in before}, before)

    def test_local_only_mail_needs_no_from_address(self):
        _, _, body = self.srv.post_multipart(
            "/compose", [("emailfrom", "just bob"), ("emailto", "alice, ALICE"), ("emailsubj", "RE: lunch"),
                         ("emailbody", "ok"), ("Send", "Send")], cookie=BOB)
        self.assertIn(b"Message sent", body)
        copies = []
        for f in os.listdir(self.srv.path("in")):
            with open(self.srv.path("in", f), "rb") as fh:
                if b"RE: lunch" in fh.read():
                    copies.append(f)
        self.assertEqual(len(copies), 1, "one copy per mailbox however often it is named")
        with open(self.srv.path("in", copies[0]), "rb") as fh:
            # The typed name stays; the address is the user's own (which
            # one is WebMailSender's matter).
            self.assertRegex(fh.read(), rb"\r\nFrom: just bob <bob(\.[a-z]+)?@[a-z.]+>\r\n")
        # Replying keeps a subject that already starts with "re:" in any case.
        _, _, body = self.srv.get("/compose?dir=in&replyfile=" + copies[0][:-4], cookie=ALICE)
        self.assertIn(b'value="RE: lunch"', body)
        self.assertIn(b"&gt;ok", body)
        os.remove(self.srv.path("in", copies[0]))

    def test_delete_save_restore_and_settings_pane(self):
        self.srv.write_message("in", "bob_m1.dat", message("Keep me"))
        self.srv.write_message("in", "bob_m2.dat", message("Drop me"))
        self.srv.get("/webmaillist?savefile=bob_m1&dir=in", cookie=BOB)
        self.assertTrue(os.path.exists(self.srv.path("WebSaved", "bob_m1.dat")))
        self.srv.post_form("/webmaillist?dir=in", {"inputtype": "delete", "delcount": "1", "del1": "bob_m2"},
                           cookie=BOB)
        self.assertFalse(os.path.exists(self.srv.path("in", "bob_m2.dat")))
        self.assertTrue(os.path.exists(self.srv.path("WebDeleted", "bob_m2.dat")))
        self.srv.get("/webmaillist?restorefile=bob_m2&dir=webdeleted", cookie=BOB)
        self.assertTrue(os.path.exists(self.srv.path("in", "bob_m2.dat")))
        _, _, body = self.srv.get("/webmaillist?dir=settings&fullname=Bob+Smith&replyaddress=bob%40office.lan",
                                  cookie=BOB)
        self.assertIn(b"Your settings have been updated.", body)
        _, _, body = self.srv.get("/compose?dir=in&replyfile=bob_m2", cookie=BOB)
        self.assertIn(b'value="Bob Smith &lt;bob@office.lan&gt;"', body)
        self.assertIn(b'value="Re: Drop me"', body)
        for f in ("in/bob_m2.dat", "WebSaved/bob_m1.dat"):
            os.remove(self.srv.path(*f.split("/")))

    def test_characters_beyond_the_pages_charset_arrive(self):
        import email
        import email.policy
        subject = "\u6771\u4eac Gr\u00fc\u00dfe"
        body = "Sch\u00f6ne Gr\u00fc\u00dfe aus \u6771\u4eac"
        cases = [
            ("utf-8 form", subject.encode("utf-8"), body.encode("utf-8")),
            # An older form: windows-1252 bytes, the rest as numeric references.
            ("references", "&#26481;&#20140; Gr\u00fc\u00dfe".encode("cp1252"),
             "Sch\u00f6ne Gr\u00fc\u00dfe aus &#26481;&#20140;".encode("cp1252")),
        ]
        for name, subj, text in cases:
            with self.subTest(name):
                _, _, page = self.srv.post_multipart(
                    "/compose", [("emailfrom", "J\u00fcrgen <bob@office.lan>".encode("utf-8")),
                                 ("emailto", "carol"), ("emailsubj", subj), ("emailbody", text), ("Send", "Send")],
                    cookie=BOB)
                self.assertIn(b"Message sent", page)
                files = [f for f in os.listdir(self.srv.path("in")) if f.startswith("carol_")]
                self.assertEqual(len(files), 1)
                with open(self.srv.path("in", files[0]), "rb") as f:
                    raw = f.read()
                os.remove(self.srv.path("in", files[0]))
                self.assertTrue(all(b < 128 for line in raw.split(b"\r\n\r\n")[0].split(b"\r\n") for b in line),
                                "header text goes out as encoded words")
                msg = email.message_from_bytes(raw, policy=email.policy.default)
                self.assertEqual(msg["Subject"], subject)
                self.assertEqual(msg["From"].addresses[0].display_name, "J\u00fcrgen")
                self.assertIn(body, msg.get_content())
        # The message pane labels a UTF-8 body so.
        self.srv.write_message("in", "carol_u1.dat", ("From: a@b.example\r\nSubject: s\r\nContent-Type: text/plain; "
                                                      "charset=UTF-8\r\n\r\n" + body + "\r\n.\r\n").encode("utf-8"))
        _, headers, shown = self.srv.get("/showmail?dir=in&email=carol_u1", cookie=CAROL)
        self.assertEqual(headers["Content-Type"], "text/plain; charset=UTF-8")
        self.assertEqual(shown.decode("utf-8").strip(), body)
        self.srv.write_message("in", "carol_l1.dat", "From: a@b.example\r\nSubject: s\r\n\r\nSch\xf6ne\r\n.\r\n")
        _, headers, shown = self.srv.get("/showmail?dir=in&email=carol_l1", cookie=CAROL)
        self.assertEqual(headers["Content-Type"], "text/plain; charset=ISO-8859-1")
        for f in ("carol_u1.dat", "carol_l1.dat"):
            os.remove(self.srv.path("in", f))

    def test_a_message_over_16_mb_is_sent(self):
        import email
        import email.policy
        data = os.urandom(42 * 1024 * 1024)
        self.srv.get("/compose", cookie=ALICE)
        _, _, page = self.srv.post_multipart("/compose", [("emailfrom", "Alice <alice@office.lan>"), ("addfile", "add")],
                                             files=[("atchfile", "big.bin", data)], cookie=ALICE,
                                             timeout=90)
        self.assertIn(b'value="big.bin"', page)
        _, _, page = self.srv.post_multipart(
            "/compose", [("emailfrom", "Alice <alice@office.lan>"), ("emailto", "carol, far@away.example"),
                         ("emailsubj", "Big"), ("emailbody", "attached"), ("Send", "Send")], cookie=ALICE, timeout=90)
        self.assertIn(b"Message sent", page)
        files = [f for f in os.listdir(self.srv.path("in")) if f.startswith("carol_")]
        self.assertEqual(len(files), 1)
        msg_id = files[0][len("carol_"):-4]
        for path in (self.srv.path("in", files[0]), self.srv.path("out", msg_id + ".txt"),
                     self.srv.path("WebSent", "alice_%s.dat" % msg_id)):
            with open(path, "rb") as f:
                raw = f.read()
            self.assertTrue(raw.endswith(b"\r\n.\r\n"))
            msg = email.message_from_bytes(raw[:-3], policy=email.policy.default)
            parts = list(msg.iter_attachments())
            self.assertEqual([p.get_filename() for p in parts], ["big.bin"])
            self.assertEqual(parts[0].get_content(), data)
            self.assertIn("attached", msg.get_body(("plain",)).get_content())
        os.remove(self.srv.path("in", files[0]))
        os.remove(self.srv.path("out", msg_id + ".txt"))

    def test_address_book_upload_replaces_entries(self):
        csv = b'Name,E-mail\r\n"Smith, Ann",ann@far.example\r\nJoe,joe@far.example\r\nno address here\r\n'
        _, _, body = self.srv.post_multipart("/address?to=1", [], files=[("uploaded_file", "a.csv", csv)],
                                             cookie=BOB)
        # The book is read from the lower-cased request, as it always was.
        self.assertIn(b"smith, ann &lt;ann@far.example&gt;", body)
        self.assertIn(b"joe &lt;joe@far.example&gt;", body)
        _, _, body = self.srv.post_multipart("/address?to=1", [], files=[("uploaded_file", "b.csv", b"Kim,kim@x.example\r\n")],
                                             cookie=BOB)
        self.assertIn(b"kim@x.example", body)
        self.assertNotIn(b"ann@far.example", body)
        # Alice's book is her own.
        _, _, body = self.srv.get("/address?cc=1", cookie=ALICE)
        self.assertNotIn(b"kim@x.example", body)
        self.assertIn(b"EMailForm.emailcc", body)

    def test_status_and_spam_pages(self):
        _, headers, body = self.srv.get("/anything/else")
        self.assertEqual(headers["Set-Cookie"], "u=&p=" + ATTRS)
        self.assertIn(b"Msgs to send: ", body)
        # Send/Recv from the browser answers with the status page once the
        # cycle has had its moment (whether or not the page offers the button).
        _, headers, body = self.srv.get("/send")
        self.assertIn(b"Msgs to send: ", body)
        self.assertEqual(headers["Set-Cookie"], "u=&p=" + ATTRS)
        self.srv.write_message("Spam1", "bob_s1.dat", message("Cheap pills", sender="Spammer <sp@junk.example>"))
        self.srv.write_message("Spam2", "bob_s2.dat", message("Cheaper pills", sender="sp2@junk.example"))
        _, _, body = self.srv.get("/spam")
        self.assertIn(b'src="/spamlist"', body)
        _, _, body = self.srv.get("/spamlist")
        self.assertIn(b"Delete both", body)
        self.assertIn(b"Cheap pills", body)
        self.assertIn(b'name="Spam0"', body)
        _, _, body = self.srv.get("/showmail?dir=Spam1&email=bob_s1")
        self.assertIn(b"Hello", body)
        self.srv.get("/spamlist?DeleteFile=Spam1%5Cbob_s1")
        self.assertFalse(os.path.exists(self.srv.path("Spam1", "bob_s1.dat")))
        self.assertTrue(os.path.exists(self.srv.path("Deleted", "bob_s1.dat")))
        # The ticked form deletes only held spam, whatever it names.
        self.srv.write_message("in", "bob_keep.dat", message("Mine"))
        self.srv.post_form("/spamlist", {"Spam0": "Spam2\\bob_s2", "Spam1": "in\\bob_keep"})
        self.assertFalse(os.path.exists(self.srv.path("Spam2", "bob_s2.dat")))
        self.assertTrue(os.path.exists(self.srv.path("in", "bob_keep.dat")))
        _, _, body = self.srv.get("/spamlist")
        self.assertIn(b"No spam messages to display", body)
        os.remove(self.srv.path("in", "bob_keep.dat"))
        # Save: the held message goes into the recipient's inbox.
        self.srv.write_message("Spam1", "bob_s3.dat", message("Not spam at all", sender="friend@good.example"))
        self.srv.get("/spamlist?SaveFile=Spam1%5Cbob_s3&FromAdd=friend@good.example")
        self.assertFalse(os.path.exists(self.srv.path("Spam1", "bob_s3.dat")))
        self.assertTrue(os.path.exists(self.srv.path("in", "bob_s3.dat")))
        os.remove(self.srv.path("in", "bob_s3.dat"))


def parsed(path):
    """The stored message as python's email parser reads it."""
    with open(path, "rb") as f:
        raw = f.read()
    assert raw.endswith(b"\r\n.\r\n")
    msg = email.message_from_bytes(raw[:-3].replace(b"\r\n..", b"\r\n."), policy=email.policy.default)
    assert not msg.defects, msg.defects
    return msg


class WebMailSender(unittest.TestCase):
    """What a new user's first web mail carries: a From a reply can reach, a
    Date with its zone, the program in X-Mailer."""

    @classmethod
    def setUpClass(cls):
        cls.srv = webpeer.Server({"bob": "bobpw", "alice": "alicepw", "carol": "carolpw"})
        subprocess.run([webpeer.adduser_bin(), cls.srv.home, "--domain", "firma.example"], check=True)
        subprocess.run([webpeer.adduser_bin(), cls.srv.home, "--domain", "zweig.example"], check=True)
        with open(cls.srv.path("websets.dat"), "w") as f:
            f.write("[alice]\nName=Alice A.\nEmail=alice.reply@elsewhere.example\n")
        cls.srv.start()

    @classmethod
    def tearDownClass(cls):
        out = cls.srv.stop()
        if b"Sanitizer" in out or b"runtime error:" in out:
            raise AssertionError("sanitizer report:\n" + out.decode("latin-1"))

    def prefilled_from(self, cookie):
        _, _, body = self.srv.get("/compose", cookie=cookie)
        found = re.search(rb'name="emailfrom" size="60" value="([^"]*)"', body)
        self.assertIsNotNone(found, body)
        return html.unescape(found.group(1).decode())

    def sent_file(self, user, subject, folder="WebSent"):
        for name in os.listdir(self.srv.path(folder)):
            if name.startswith(user + "_"):
                if parsed(self.srv.path(folder, name))["Subject"] == subject:
                    return self.srv.path(folder, name)
        self.fail("no copy of %s in %s for %s" % (subject, folder, user))

    def sent_copy(self, user, subject):
        return parsed(self.sent_file(user, subject))

    def test_semicolon_list_reaches_everyone_and_a_stranger_is_named(self):
        to = "Kunde M\u00fcller <kunde2@outside.example>; alice@firma.example"
        _, _, body = self.srv.post_multipart(
            "/compose", [("emailfrom", "Bob <bob@firma.example>"), ("emailto", to.encode()), ("emailcc", "carol"),
                         ("emailsubj", "Semicolons"), ("emailbody", "Hallo"), ("Send", "Send")], cookie=BOB)
        self.assertIn(b"Message sent", body)
        msg = self.sent_copy("bob", "Semicolons")
        self.assertEqual([a.addr_spec for a in msg["To"].addresses], ["kunde2@outside.example", "alice@firma.example"])
        self.assertEqual(msg["To"].addresses[0].display_name, "Kunde M\u00fcller")
        ids = {}
        for user in ("alice", "carol"):
            ids[user] = [f[len(user) + 1:-4] for f in os.listdir(self.srv.path("in"))
                         if f.startswith(user + "_") and parsed(self.srv.path("in", f))["Subject"] == "Semicolons"]
        self.assertEqual(len(ids["alice"]), 1)
        self.assertEqual(ids["carol"], ids["alice"])
        ports = configparser.ConfigParser(interpolation=None)
        ports.optionxform = str
        ports.read(self.srv.path("ports.dat"))
        self.assertEqual(dict(ports[ids["alice"][0]]).get("To1"), "<kunde2@outside.example>")
        self.assertEqual(ports[ids["alice"][0]]["rcpt"], "1")

        # A name that is no user: nothing goes, the page names it and keeps the form.
        before = {d: sorted(os.listdir(self.srv.path(d))) for d in ("in", "out", "WebSent")}
        _, _, body = self.srv.post_multipart(
            "/compose", [("emailfrom", "Bob <bob@firma.example>"), ("emailto", "alice@firma.example; stranger"),
                         ("emailcc", "carol"), ("emailsubj", "Not this"), ("emailbody", "kept text"),
                         ("Send", "Send")], cookie=BOB)
        self.assertNotIn(b"Message sent", body)
        self.assertIn(b"neither an address nor a local user: stranger", body)
        self.assertIn(b'name="emailto" size="60" value="alice@firma.example; stranger"', body)
        self.assertIn(b"kept text", body)
        self.assertEqual({d: sorted(os.listdir(self.srv.path(d))) for d in before}, before)

    def test_a_reply_goes_to_the_address_not_the_quoted_name(self):
        self.srv.write_message("in", "bob_r1.dat", message(
            "Hi", sender='"<img src=x onerror=alert(11)>" <evil@outside.example>'))
        _, _, body = self.srv.get("/compose?dir=in&replyfile=bob_r1", cookie=BOB)
        found = re.search(rb'name="emailto" size="60" value="([^"]*)"', body)
        self.assertEqual(html.unescape(found.group(1).decode()),
                         '"<img src=x onerror=alert(11)>" <evil@outside.example>')
        os.remove(self.srv.path("in", "bob_r1.dat"))

    def test_compose_form_offers_an_address(self):
        # The reply address of the web mail settings first, else the user
        # at the first local domain.
        self.assertEqual(self.prefilled_from(ALICE), "Alice A. <alice.reply@elsewhere.example>")
        self.assertEqual(self.prefilled_from(BOB), "bob <bob@firma.example>")

    def test_a_long_subject_beyond_ascii_is_folded_and_reads_back(self):
        subject = ("Gr\u00fc\u00dfe aus M\u00fcnchen und \u6771\u4eac \u2013 " * 30)[:600]
        _, _, body = self.srv.post_multipart(
            "/compose", [("emailfrom", "Bob <bob@firma.example>"), ("emailto", "carol"),
                         ("emailsubj", subject.encode()), ("emailbody", "long subject"), ("Send", "Send")],
            cookie=BOB)
        self.assertIn(b"Message sent", body)
        self.assertEqual(str(self.sent_copy("bob", subject)["Subject"]), subject)
        for folder, user in (("in", "carol"), ("WebSent", "bob")):
            for name in os.listdir(self.srv.path(folder)):
                if name.startswith(user + "_"):
                    with open(self.srv.path(folder, name), "rb") as f:
                        longest = max(len(line) for line in f.read().split(b"\r\n"))
                    self.assertLessEqual(longest, 998, "%s/%s" % (folder, name))

    def test_a_long_typed_line_stays_within_998_octets_and_reads_back(self):
        # A paragraph typed without line breaks, and its reply that quotes it.
        para = ("=Gr\u00fc\u00dfe, a paragraph typed on and on. " * 40)[:1500] + " "
        lines = [para, ".a dot", "end"]

        def check(path, expected):
            with open(path, "rb") as f:
                raw = f.read()
            self.assertLessEqual(max(len(line) for line in raw.split(b"\r\n")), 998, path)
            # The stored end marker follows an empty line, as it always did.
            self.assertEqual(parsed(path).get_content().splitlines(), expected + [""], path)

        for user, cookie, to, subject, body in (("bob", BOB, "carol", "Long line", lines),
                                                ("carol", CAROL, "bob", "Re: Long line", None)):
            if body is None:
                _, _, page = self.srv.get("/compose?dir=in&replyfile=" +
                                          os.path.basename(self.sent_file("carol", "Long line", "in"))[:-4],
                                          cookie=CAROL)
                body = html.unescape(re.search(rb"<TEXTAREA[^>]*>(.*?)</TEXTAREA>", page, re.S)
                                     .group(1).decode()).rstrip("\r").split("\r")
                self.assertIn(">" + para, body)
            _, _, page = self.srv.post_multipart(
                "/compose", [("emailfrom", "%s <%s@firma.example>" % (user, user)), ("emailto", to),
                             ("emailsubj", subject), ("emailbody", "\r\n".join(body).encode()), ("Send", "Send")],
                cookie=cookie)
            self.assertIn(b"Message sent", page)
            check(self.sent_file(to, subject, "in"), body)
            check(self.sent_file(user, subject), body)

        # Text without such a line goes as it always did: 8 bit, byte for byte.
        text = ["x" * 998, ".a dot", "end"]
        _, _, page = self.srv.post_multipart(
            "/compose", [("emailfrom", "Bob <bob@firma.example>"), ("emailto", "carol"), ("emailsubj", "Short lines"),
                         ("emailbody", "\r\n".join(text)), ("Send", "Send")], cookie=BOB)
        self.assertIn(b"Message sent", page)
        with open(self.sent_file("bob", "Short lines"), "rb") as f:
            head, body = f.read().split(b"\r\n\r\n", 1)
        self.assertIn(b"\r\nContent-Type: text/plain; charset=ISO-8859-1\r\nContent-Transfer-Encoding: 8Bit\r\n",
                      head + b"\r\n")
        self.assertEqual(body, b"x" * 998 + b"\r\n..a dot\r\nend\r\n\r\n.\r\n")

    def test_an_attachment_name_beyond_ascii_is_encoded(self):
        name = "Pr\u00fcfbericht M\u00e4rz \u6771\u4eac.txt"
        self.srv.get("/compose", cookie=CAROL)
        self.srv.post_multipart("/compose", [("emailfrom", "Carol <carol@firma.example>"), ("addfile", "add")],
                                files=[("atchfile", name, b"figures\r\n")], cookie=CAROL)
        _, _, body = self.srv.post_multipart(
            "/compose", [("emailfrom", "Carol <carol@firma.example>"), ("emailto", "bob"),
                         ("emailsubj", "Named file"), ("emailbody", "attached"), ("Send", "Send")], cookie=CAROL)
        self.assertIn(b"Message sent", body)
        parts = list(self.sent_copy("carol", "Named file").iter_attachments())
        self.assertEqual([p.get_filename() for p in parts], [name])
        for header, raw in parts[0].raw_items():
            self.assertTrue(raw.isascii(), "%s: %r" % (header, raw))
        self.assertEqual(parts[0]["Content-Disposition"].defects, ())
        self.assertEqual(parts[0]["Content-Type"].params["name"], name, "name= for older readers")

    def test_sent_mail_reads_back_with_address_zone_and_mailer(self):
        sender = self.prefilled_from(BOB)
        for typed, to, subject in ((sender, "carol, far@away.example", "First mail"),
                                   ("bob <>", "carol", "Empty address"),
                                   ("", "carol", "No sender typed")):
            _, _, body = self.srv.post_multipart(
                "/compose", [("emailfrom", typed), ("emailto", to), ("emailsubj", subject), ("emailbody", "Hi"),
                             ("Send", "Send")],
                cookie=BOB)
            self.assertIn(b"Message sent", body)
            msg = self.sent_copy("bob", subject)
            self.assertEqual(msg["From"].addresses[0].addr_spec, "bob@firma.example", subject)
            self.assertEqual(msg["From"].addresses[0].display_name, "bob", subject)
            self.assertIsNotNone(msg["Date"].datetime.tzinfo, "%s: %s" % (subject, msg["Date"]))
            self.assertTrue(str(msg["X-Mailer"]).startswith("Tarnwick"), msg["X-Mailer"])
        # Outside mail still needs an address typed by the user.
        _, _, body = self.srv.post_multipart(
            "/compose", [("emailfrom", "bob <>"), ("emailto", "far@away.example"), ("emailsubj", "x"),
                         ("emailbody", "y"), ("Send", "Send")], cookie=BOB)
        self.assertIn(b"you must have a valid from address", body)


if __name__ == "__main__":
    if not webpeer.BIN or not os.access(webpeer.BIN, os.X_OK):
        print("TARNWICK_BIN does not name the program", file=sys.stderr)
        sys.exit(1)
    unittest.main(verbosity=2)
