"""Notices, driven by python3 smtplib. Internal mail only (Wait=3): a
message to a local user and to outside recipients goes back to its local
sender as a returned-mail notice, and every local copy is kept beside it,
whoever among the recipients is the sender. The relay's tenth failed
attempt leaves a failure notice. A notice of a message that is not a single
plain text part reads in python3's email package as a mail of its own."""

import email
import email.policy
import os
import smtplib
import sys
import unittest
from email.message import EmailMessage

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from peers_smtp import ProgramCase, Smarthost, SmtpProgram, stored_form  # noqa: E402


def encoded_originals():
    """(name, message bytes): a base64 text and a multipart/alternative."""
    b64 = EmailMessage()
    b64["Message-ID"] = "<b64@office.example>"
    b64["From"] = "alice@office.example"
    b64["Subject"] = "Figures in base64"
    b64.set_content("Gr\u00fc\u00dfe aus dem B\u00fcro\n" * 20, charset="utf-8", cte="base64")
    alt = EmailMessage()
    alt["Message-ID"] = "<alt@office.example>"
    alt["From"] = "alice@office.example"
    alt["Subject"] = "Figures in two forms"
    alt.set_content("plain figures\n.\n")
    alt.add_alternative("<html><body><p>html figures</p></body></html>\n", subtype="html")
    return [(name, m.as_bytes(policy=email.policy.SMTP)) for name, m in (("base64", b64), ("multipart", alt))]


def leaves(message):
    return [(p.get_content_type(), p.get_payload(decode=True)) for p in message.walk() if not p.is_multipart()]


def check_enclosing_notice(test, stored, original, explanation):
    """stored: the notice file; it must parse without defects, explain
    first and carry the original whole under an id of its own."""
    test.assertTrue(stored.endswith(b"\r\n.\r\n"))
    test.assertIn(stored_form(original)[:-3], stored, "the original, whole")
    notice = email.message_from_bytes(stored[:-3].replace(b"\r\n..", b"\r\n."), policy=email.policy.default)
    defects = [d for p in notice.walk() for d in list(p.defects) +
               [d for v in p.values() for d in getattr(v, "defects", ())]]
    test.assertEqual(defects, [])
    test.assertEqual(notice.get_content_type(), "multipart/mixed")
    first, second = notice.iter_parts()
    test.assertEqual(first.get_content_type(), "text/plain")
    test.assertIn(explanation, first.get_content())
    test.assertEqual(second.get_content_type(), "message/rfc822")
    sent = email.message_from_bytes(original, policy=email.policy.default)
    carried = second.get_content()
    test.assertEqual(carried["Message-ID"], sent["Message-ID"])
    test.assertEqual(leaves(carried), leaves(sent))
    test.assertNotEqual(notice["Message-ID"], sent["Message-ID"])
    test.assertIn("@", notice["Message-ID"])


class ReturnedMail(ProgramCase):
    smtp_settings = "Wait=3\n"

    def setUp(self):
        self.clear_mail()

    def mailbox(self, user):
        return {n: self.program.read("in", n) for n in self.program.files("in") if n.startswith(user + "_")}

    def test_local_copies_and_the_notice_all_reach_their_mailboxes(self):
        cases = [
            # (name, recipients, mailbox -> (plain copies, notices))
            ("sender among the recipients", ["alice@office.example", "far@outside.example"],
             {"alice": (1, 1)}),
            ("sender and another user", ["bob@office.example", "alice@office.example", "far@outside.example",
                                         "other@outside.example"],
             {"alice": (1, 1), "bob": (1, 0)}),
            ("sender only gets the notice", ["far@outside.example"], {"alice": (0, 1)}),
        ]
        for n, (name, rcpts, want) in enumerate(cases):
            with self.subTest(name):
                self.setUp()
                subject = "Plans %d" % n
                text = "Subject: %s\r\nMessage-ID: <ret%d@office.example>\r\n\r\nsee you\r\n" % (subject, n)
                with smtplib.SMTP("127.0.0.1", self.program.smtp_port, timeout=30) as c:
                    refused = c.sendmail("alice@office.example", rcpts, text)
                self.assertEqual(refused, {})
                # The 250 came after every file was on disk.
                for user, (plain, notices) in want.items():
                    box = self.mailbox(user)
                    marked = [t for t in box.values() if b"Subject: ### Returned ### - " + subject.encode() in t]
                    self.assertEqual(len(marked), notices, (user, sorted(box)))
                    self.assertEqual(len(box) - len(marked), plain, (user, sorted(box)))
                    for t in box.values():
                        self.assertIn(b"see you\r\n", t)
                self.assertEqual(self.program.files("out"), [])
                # No queue record: only the sessions' sections, named by port.
                self.assertEqual([s for s in self.program.ports() if not s.isdigit()], [])

    def test_encoded_and_multipart_messages_come_back_readable(self):
        for name, original in encoded_originals():
            with self.subTest(name):
                self.setUp()
                with smtplib.SMTP("127.0.0.1", self.program.smtp_port, timeout=30) as c:
                    self.assertEqual(c.sendmail("alice@office.example", ["far@outside.example"], original), {})
                (notice,) = self.mailbox("alice").values()
                check_enclosing_notice(self, notice, original, "only set up to send internal mail")


class FailureNotices(unittest.TestCase):
    """Messages queued with nine failed attempts behind them, refused once
    more by the provider: the tenth attempt's notice reaches the sender."""

    def test_encoded_and_multipart_messages_fail_readable(self):
        host = Smarthost(mechanisms="LOGIN", refused="far@outside.example")
        program = SmtpProgram(extra_smtp="Wait=2\nHost=127.0.0.1\nPort=%d\nStandard=0\nAuth=1\nLogin=relay\n"
                                         "Pass=relaypw\n" % host.port)
        try:
            os.makedirs(program.path("out"), exist_ok=True)
            originals = dict(encoded_originals())
            with open(program.path("ports.dat"), "wb") as ports:
                for name, original in originals.items():
                    with open(program.path("out", name + ".txt"), "wb") as f:
                        f.write(stored_form(original))
                    ports.write(b"[%s]\r\nGoes=9\r\nrcpt=1\r\nTo1=<far@outside.example>\r\n"
                                b"From=<alice@office.example>\r\n" % name.encode())
            program.start()
            # A message through the SMTP server starts a send-only cycle.
            with smtplib.SMTP("127.0.0.1", program.smtp_port, timeout=30) as c:
                c.sendmail("alice@office.example", ["c@far.example"], "Subject: go\r\n\r\ngo\r\n")

            def notices():
                return [program.read("in", n) for n in program.files("in") if n.startswith("alice_")]
            program.wait_for(lambda: len(notices()) == 2, timeout=60, what="two failure notices")
            for notice in notices():
                name = "base64" if b"<b64@office.example>" in notice else "multipart"
                with self.subTest(name):
                    check_enclosing_notice(self, notice, originals[name], "after 10 attempts")
        finally:
            program.stop()
            host.stop()


if __name__ == "__main__":
    unittest.main()
