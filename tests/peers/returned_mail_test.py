"""Internal mail only (Wait=3), driven by python3 smtplib: a message to a
local user and to outside recipients goes back to its local sender as a
returned-mail notice, and every local copy is kept beside it, whoever
among the recipients is the sender."""

import os
import smtplib
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from peers_smtp import ProgramCase  # noqa: E402


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


if __name__ == "__main__":
    unittest.main()
