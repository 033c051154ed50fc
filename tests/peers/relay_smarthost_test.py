"""Relay end to end: python3 smtplib -> the program's SMTP server -> the
outgoing queue -> the relay client -> a provider's server that requires AUTH
(aiosmtpd). The server is set to send at once (Wait=2), so a queued message
starts a send-only cycle. Local copies are read back with poplib."""

import os
import poplib
import shutil
import smtplib
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from peers_smtp import BIN, Smarthost, SmtpProgram, write_table  # noqa: E402

MESSAGES = [
    (b"Message-ID: <r1@office.example>\r\nFrom: alice@office.example\r\nTo: bob@office.example\r\n"
     b"Subject: first\r\n\r\nplain line\r\n.\r\n..two dots\r\n.leading dot\r\n\r\nlast line\r\n",
     ["bob@office.example", "x@far.example", "y@far.example"]),
    (b"Message-ID: <r2@office.example>\r\nSubject: second\r\n\r\n" + (b"z" * 900 + b"\r\n") * 40,
     ["z@far.example"]),
    (b"Message-ID: <r3@office.example>\r\nSubject: third\r\n\r\n.\r\n",
     ["x@far.example"]),
]


class RelayBase:
    MECHANISMS = "LOGIN,PLAIN"

    @classmethod
    def setUpClass(cls):
        cls.smarthost = Smarthost(mechanisms=cls.MECHANISMS)
        try:
            cls.program = SmtpProgram(extra_smtp="Wait=2\nHost=127.0.0.1\nPort=%d\nStandard=0\nAuth=1\n"
                                                 "Login=relay\nPass=relaypw\n" % cls.smarthost.port)
            cls.prepare_home()
            cls.program.start()
        except Exception:
            cls.smarthost.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        try:
            cls.program.stop()
        finally:
            cls.smarthost.stop()

    @classmethod
    def prepare_home(cls):
        pass

    def check_every_queued_message_arrives_once_as_sent(self):
        with smtplib.SMTP("127.0.0.1", self.program.smtp_port, timeout=20) as s:
            s.login("alice", "alicepw")
            for data, rcpts in MESSAGES:
                self.assertEqual(s.sendmail("alice@office.example", rcpts, data), {})
        # The session's end queues a send-only cycle.
        # The sent file goes before its queue record: wait for both.
        self.program.wait_for(lambda: len(self.smarthost.messages()) >= len(MESSAGES) and
                              self.program.files("out") == [] and self.program.ports() == {},
                              timeout=60, what="the relay run")
        got = self.smarthost.messages()
        self.assertEqual(len(got), len(MESSAGES))
        for (meta, data), (sent, rcpts) in zip(sorted(got, key=lambda m: m[1]), sorted(MESSAGES)):
            self.assertEqual(data, sent)
            self.assertEqual(meta["mail_from"], "alice@office.example")
            self.assertEqual(meta["rcpt_tos"], [r for r in rcpts if not r.endswith("@office.example")])
            self.assertEqual(meta["user"], "relay")
        self.assertEqual(self.program.ports(), {}, "queue records removed")
        with open(self.program.path("smtp.log"), "rb") as f:
            log = f.read()
        self.assertIn(b"> MAIL FROM:<alice@office.example>", log)
        self.assertNotIn(b"relaypw", log)

        # The local copy of the first message, through POP3.
        p = poplib.POP3("127.0.0.1", self.program.pop_port, timeout=15)
        p.user("bob")
        p.pass_("bobpw")
        self.assertEqual(p.stat()[0], 1)
        _, lines, _ = p.retr(1)
        p.quit()
        self.assertEqual(b"\r\n".join(lines) + b"\r\n", MESSAGES[0][0])


class RelayLoginTest(RelayBase, unittest.TestCase):
    MECHANISMS = "LOGIN,PLAIN,CRAM-MD5"

    def test_login_is_preferred(self):
        self.check_every_queued_message_arrives_once_as_sent()
        with open(self.program.path("smtp.log"), "rb") as f:
            self.assertIn(b">AUTH LOGIN", f.read())


class RelayCramMd5Test(RelayBase, unittest.TestCase):
    MECHANISMS = "CRAM-MD5"

    def test_cram_md5_only(self):
        self.check_every_queued_message_arrives_once_as_sent()
        with open(self.program.path("smtp.log"), "rb") as f:
            self.assertIn(b"> Sending MD5 info...", f.read())


class ServerFolderNameTest(RelayBase, unittest.TestCase):
    """A program directory inside a folder whose name holds "svr" (as
    /home/mailsvr/ does) still gets its client logs."""

    @classmethod
    def prepare_home(cls):
        cls.parent = tempfile.mkdtemp(prefix="tw-mailsvr-")
        home = os.path.join(cls.parent, "tarnwick")
        shutil.move(cls.program.home, home)
        cls.program.home = home
        cls.program.stderr_path = os.path.join(home, "stderr.txt")
        # Client logs on, server logs off: the switch chosen decides.
        ini = cls.program.path("tarnwick.ini")
        with open(ini) as f:
            text = f.read()
        with open(ini, "w") as f:
            f.write(text.replace("Logging2=1\n", "Logging2=0\n"))

    @classmethod
    def tearDownClass(cls):
        try:
            super().tearDownClass()
        finally:
            shutil.rmtree(cls.parent, ignore_errors=True)

    def test_client_logs_are_written(self):
        self.check_every_queued_message_arrives_once_as_sent()


class ForwardSenderTest(RelayBase, unittest.TestCase):
    """bob forwards his mail outside; a "<" in the quoted name of a From
    field is no address."""

    @classmethod
    def prepare_home(cls):
        write_table(cls.program.path("forward.dat"),
                    [("User", "String", 64), ("IsLocal", "Boolean", 0), ("ForwardTo", "String", 128),
                     ("Copy", "String", 3)], [("ixUser", "User")], [["bob", False, "far@away.example", "No"]])

    def test_envelope_sender_is_the_from_fields_address(self):
        data = (b'From: "<img src=x onerror=alert(11)>" <evil@outside.example>\r\nTo: bob@office.example\r\n'
                b"Subject: forwarded\r\n\r\nhello\r\n")
        with smtplib.SMTP("127.0.0.1", self.program.smtp_port, timeout=20) as s:
            self.assertEqual(s.sendmail("evil@outside.example", ["bob@office.example"], data), {})
        self.program.wait_for(lambda: self.smarthost.messages(), timeout=60, what="the forward")
        meta, sent = self.smarthost.messages()[0]
        self.assertEqual((meta["mail_from"], meta["rcpt_tos"]), ("evil@outside.example", ["far@away.example"]))
        self.assertIn(b"Subject: forwarded\r\n", sent)


if __name__ == "__main__":
    if not BIN:
        print("TARNWICK_BIN not set")
        sys.exit(1)
    unittest.main(verbosity=2)
