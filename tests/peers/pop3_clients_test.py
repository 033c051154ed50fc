"""POP3 server with independent clients: curl, fetchmail, and a message that
goes in through the SMTP server (python3 smtplib) and out through POP3."""

import os
import shutil
import smtplib
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import poplib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
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
        work = tempfile.mkdtemp(prefix="tw-fetchmail-")
        try:
            out = os.path.join(work, "mbox")
            mda = os.path.join(work, "mda.sh")
            with open(mda, "w") as f:
                f.write("#!/bin/sh\n{ cat; printf '\\n==END==\\n'; } >> '%s'\n" % out)
            os.chmod(mda, 0o755)
            rc = os.path.join(work, "fetchmailrc")
            with open(rc, "w") as f:
                f.write('poll 127.0.0.1 service %d protocol pop3 uidl auth password timeout 15\n'
                        '  user "alice" there with password "alicepw" is "root" here\n'
                        '  keep\n  sslproto \'\'\n  mda "%s"\n' % (self.program.pop_port, mda))
            os.chmod(rc, 0o600)
            env = dict(os.environ, FETCHMAILHOME=work, HOME=work)
            cmd = ["fetchmail", "-f", rc, "--pidfile", os.path.join(work, "pid"), "--nosyslog"]
            if os.geteuid() == 0:
                # fetchmail warns when run as root; run it as nobody.
                os.chown(work, 65534, 65534)
                for p in (rc, mda):
                    os.chown(p, 65534, 65534)
                cmd = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] + cmd
            r = subprocess.run(cmd, capture_output=True, env=env, timeout=120)
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
            self.assertNotIn(b"warning", (r.stdout + r.stderr).lower(), r.stdout + r.stderr)
            with open(out, "rb") as f:
                delivered = f.read().split(b"\n==END==\n")
            self.assertEqual(len(delivered), 3, delivered)
            for got, want in zip(delivered, (m1, m2)):
                # fetchmail hands LF lines to the MDA and adds its own
                # Received/Delivered-To lines on top.
                self.assertTrue(got.endswith(want.replace(b"\r\n", b"\n").split(b"\n", 1)[1]), got)
            # A second run finds nothing new (uidl, keep).
            r = subprocess.run(cmd, capture_output=True, env=env, timeout=120)
            self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        finally:
            shutil.rmtree(work, ignore_errors=True)

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
