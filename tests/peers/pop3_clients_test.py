"""POP3 server with independent clients: curl, fetchmail, and a message that
goes in through the SMTP server (python3 smtplib) and out through POP3."""

import os
import smtplib
import socket
import subprocess
import sys
import time
import unittest
import poplib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from peers_fetchmail import Fetchmail  # noqa: E402
from pop3_server_test import BIN, Program, message  # noqa: E402


class Pop3ClientsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.program = Program(extra_ini="[SMTP]\nServerAuth=0\n").start()

    @classmethod
    def tearDownClass(cls):
        cls.program.stop()

    def setUp(self):
        for name in os.listdir(self.program.inbox()):
            os.remove(os.path.join(self.program.inbox(), name))

    def curl(self, *args):
        cmd = ["curl", "-s", "-S", "--max-time", "20", "--user", "alice:alicepw"] + list(args)
        return subprocess.run(cmd, capture_output=True, timeout=60)

    def test_curl_list_retrieve_uidl(self):
        m1 = message("curl one", [b"first", b".dotted"])
        p1 = self.program.store("alice", "110000001", m1)
        self.program.store("alice", "110000002", message("curl two", [b"second"]))
        url = "pop3://127.0.0.1:%d/" % self.program.pop_port
        r = self.curl(url)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, b"1 %d\r\n2 %d\r\n" % (os.path.getsize(p1),
                         os.path.getsize(os.path.join(self.program.inbox(), "alice_110000002.dat"))))
        r = self.curl(url + "1")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, m1)
        r = self.curl(url, "-X", "UIDL")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, b"1 110000001\r\n2 110000002\r\n")
        r = self.curl(url + "9")
        self.assertNotEqual(r.returncode, 0, "no such message is an error")

    def test_fetchmail_single_run(self):
        m1 = message("fetch one", [b"line", b".dot line", b"last"])
        m2 = message("fetch two", [b"y" * 500])
        self.program.store("alice", "120000001", m1)
        self.program.store("alice", "120000002", m2)
        with Fetchmail(self.program.pop_port, "alice", "alicepw") as fetchmail:
            code, output = fetchmail.poll()
            self.assertEqual(code, 0, output)
            self.assertNotIn(b"warning", output.lower(), output)
            delivered = fetchmail.delivered()
            self.assertEqual(len(delivered), 3, delivered)
            for got, want in zip(delivered, (m1, m2)):
                # fetchmail hands LF lines to the MDA and adds its own
                # Received/Delivered-To lines on top.
                self.assertTrue(got.endswith(want.replace(b"\r\n", b"\n").split(b"\n", 1)[1]), got)
            # A second run finds nothing new (uidl, keep).
            code, output = fetchmail.poll()
            self.assertEqual(code, 1, output)

    def test_smtp_in_pop3_out_is_byte_identical(self):
        # A program of its own whose users sit at a local domain, so that the
        # SMTP server delivers to alice's mailbox.
        from peers_smtp import SmtpProgram
        program = SmtpProgram().start()
        try:
            body = (b"From: carol@far.example\r\nTo: alice@office.example\r\nSubject: round trip\r\n"
                    b"Message-ID: <rt1@far.example>\r\n\r\n"
                    b"first line\r\n.a line that starts with a dot\r\n..two\r\n.\r\nlast\r\n")
            with smtplib.SMTP("127.0.0.1", program.smtp_port, timeout=20) as s:
                s.sendmail("carol@far.example", ["alice@office.example"], body)
            p = poplib.POP3("127.0.0.1", program.pop_port, timeout=15)
            p.user("alice")
            p.pass_("alicepw")
            deadline = time.time() + 10
            while p.stat()[0] == 0 and time.time() < deadline:
                p.quit()
                time.sleep(0.2)
                p = poplib.POP3("127.0.0.1", program.pop_port, timeout=15)
                p.user("alice")
                p.pass_("alicepw")
            resp, lines, _ = p.retr(1)
            p.quit()
            self.assertEqual(b"\r\n".join(lines) + b"\r\n", body)
        finally:
            program.stop()

if __name__ == "__main__":
    if not BIN:
        print("TARNWICK_BIN not set")
        sys.exit(1)
    unittest.main(verbosity=2)
