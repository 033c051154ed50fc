"""SMTP server end to end with independent clients on 127.0.0.1: python3
smtplib (AUTH PLAIN and LOGIN), curl and swaks. Every stored copy must hold
the message exactly as it went over the wire."""

import os
import re
import shutil
import smtplib
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from email.message import EmailMessage

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from peers_smtp import BIN, ProgramCase, SmtpProgram, stored_form  # noqa: E402


class RecordingSMTP(smtplib.SMTP):
    """smtplib as it is, keeping every block it sends."""

    def __init__(self, *a, **kw):
        self.sent = []
        super().__init__(*a, **kw)

    def send(self, s):
        self.sent.append(s if isinstance(s, bytes) else s.encode("ascii"))
        super().send(s)

    def data_payload(self):
        """The bytes sent after the last DATA command."""
        i = max(n for n, s in enumerate(self.sent) if s.lower() == b"data\r\n")
        return b"".join(self.sent[i + 1:])


def raw(port):
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    f = s.makefile("rb")
    assert f.readline() == b"220 hello\r\n"
    return s, f


class SmtpServerPeers(ProgramCase):
    smtp_settings = "ServerAuth=1\n"

    def setUp(self):
        self.clear_mail()
        p = self.program.path("ports.dat")
        if os.path.exists(p):
            os.remove(p)

    def queued(self):
        self.program.wait_for(lambda: any(n.endswith(".txt") for n in self.program.files("out")),
                              what="a queued message")
        names = [n for n in self.program.files("out") if n.endswith(".txt")]
        self.assertEqual(len(names), 1, self.program.files("out"))
        return names[0][:-4]

    def test_smtplib_plain_login_attachment_to_local_and_external(self):
        msg = EmailMessage()
        msg["Message-ID"] = "<att1@pc.office.example>"
        msg["From"] = "alice@office.example"
        msg["To"] = "bob@office.example, carol@far.example"
        msg["Subject"] = "Figures"
        msg.set_content("See attached.\n.\n..and a dotted line\n")
        msg.add_attachment(bytes(range(256)) * 40, maintype="application", subtype="octet-stream",
                           filename="figures.bin")
        with RecordingSMTP("127.0.0.1", self.program.smtp_port, timeout=20) as s:
            s.ehlo()
            self.assertEqual(s.esmtp_features.get("auth", "").split(), ["PLAIN", "LOGIN"])
            code, _ = s.login("alice", "alicepw")
            self.assertEqual(code, 235)
            self.assertTrue(any(b.startswith(b"AUTH PLAIN ") for b in s.sent), "PLAIN with initial response")
            self.assertEqual(s.send_message(msg), {})
            wire = s.data_payload()
        self.assertTrue(wire.endswith(b"\r\n.\r\n"))
        id_ = self.queued()
        self.assertTrue(id_.startswith("att1pcofficeexample"), id_)
        self.assertEqual(self.program.read("out", id_ + ".txt"), wire)
        self.assertEqual(self.program.files("in"), ["bob_%s.dat" % id_])
        self.assertEqual(self.program.read("in", "bob_%s.dat" % id_), wire)
        record = self.program.ports()[id_]
        self.assertEqual((record["rcpt"], record["to1"], record["from"], record["user"]),
                         ("1", "<carol@far.example>", "<alice@office.example>", "alice"))

    def test_auth_login_with_and_without_initial_response(self):
        for initial in (False, True):
            with RecordingSMTP("127.0.0.1", self.program.smtp_port, timeout=20) as s:
                s.ehlo()
                s.user, s.password = "bob", "bobpw"
                code, _ = s.auth("LOGIN", s.auth_login, initial_response_ok=initial)
                self.assertEqual(code, 235)
                first = [b for b in s.sent if b.startswith(b"AUTH")][0]
                self.assertEqual(first.strip() != b"AUTH LOGIN", initial)
                body = b"Message-ID: <l%d@x>\r\nSubject: login\r\n\r\nhello\r\n" % initial
                self.assertEqual(s.sendmail("bob@office.example", ["outside@far.example"], body), {})
        self.program.wait_for(lambda: len(self.program.files("out")) == 2, what="two queued messages")
        records = self.program.ports()
        self.assertEqual(sorted(r["user"] for r in records.values()), ["bob", "bob"])

    def test_relay_without_auth_is_refused(self):
        with smtplib.SMTP("127.0.0.1", self.program.smtp_port, timeout=20) as s:
            with self.assertRaises(smtplib.SMTPRecipientsRefused) as cm:
                s.sendmail("x@far.example", ["y@far.example"], b"Subject: no\r\n\r\nno\r\n")
            self.assertEqual(cm.exception.recipients["y@far.example"], (501, b"Not Authenticated"))
            # A local recipient needs no log-on.
            self.assertEqual(s.sendmail("x@far.example", ["alice@office.example"],
                                        b"Message-ID: <in1@x>\r\n\r\nin\r\n"), {})
        self.program.wait_for(lambda: self.program.files("in") != [], what="the local copy")
        self.assertEqual(self.program.files("out"), [])
        self.assertEqual(self.program.ports(), {})

    def test_curl_plain_without_initial_response(self):
        message = b"Message-ID: <curl1@x>\r\nFrom: alice@office.example\r\nSubject: curl\r\n\r\nvia curl\r\n"
        with tempfile.NamedTemporaryFile(suffix=".eml", delete=False) as f:
            f.write(message)
        try:
            r = subprocess.run(["curl", "-s", "-S", "--max-time", "20",
                                "smtp://127.0.0.1:%d" % self.program.smtp_port,
                                "--mail-from", "alice@office.example", "--mail-rcpt", "dave@far.example",
                                "--user", "alice:alicepw", "--login-options", "AUTH=PLAIN",
                                "--upload-file", f.name], capture_output=True, timeout=60)
        finally:
            os.remove(f.name)
        self.assertEqual(r.returncode, 0, r.stderr)
        id_ = self.queued()
        self.assertEqual(self.program.read("out", id_ + ".txt"), stored_form(message))
        with open(self.program.path("smtpsvr.log"), "rb") as f:
            log = f.read()
        self.assertIn(b">> AUTH PLAIN\r\n<< 334 \r\n", log, "the credentials came after a 334 prompt")
        self.assertNotIn(b"alicepw", log)

    def test_swaks_lone_dot_lines(self):
        body = "first\n.\n..\n. not alone\nlast"
        r = subprocess.run(["swaks", "-s", "127.0.0.1:%d" % self.program.smtp_port, "-f", "bob@office.example",
                            "-t", "alice@office.example", "--header", "Message-ID: <swaks1@x>",
                            "--body", body, "-a", "LOGIN", "-au", "bob", "-ap", "bobpw"],
                           capture_output=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.program.wait_for(lambda: self.program.files("in") != [], what="the local copy")
        (name,) = self.program.files("in")
        stored = self.program.read("in", name)
        self.assertIn(b"\r\n\r\nfirst\r\n..\r\n...\r\n.. not alone\r\nlast\r\n", stored)
        self.assertTrue(stored.endswith(b"\r\n.\r\n"), stored)

    def test_ehlo_ends_a_transaction(self):
        with smtplib.SMTP("127.0.0.1", self.program.smtp_port, timeout=20) as s:
            self.assertEqual(s.mail("x@far.example")[0], 250)
            self.assertEqual(s.rcpt("bob@office.example")[0], 250)
            for greeting in (s.ehlo, s.helo):
                self.assertEqual(greeting("pc")[0], 250)
                self.assertEqual(s.mail("alice@office.example"), (250, b"Sender OK"))
            self.assertEqual(s.rcpt("bob@office.example")[0], 250)
            self.assertEqual(s.data(b"Message-ID: <ehlo1@x>\r\n\r\nagain\r\n")[0], 250)
        self.program.wait_for(lambda: self.program.files("in") != [], what="the local copy")
        (name,) = self.program.files("in")
        self.assertTrue(name.startswith("bob_ehlo1"), name)

    def test_interleaved_clients_and_a_client_that_drops_mid_data(self):
        a, fa = raw(self.program.smtp_port)
        b, fb = raw(self.program.smtp_port)
        c, fc = raw(self.program.smtp_port)
        for s, f in ((a, fa), (b, fb), (c, fc)):
            s.sendall(b"MAIL FROM:<bob@office.example>\r\n")
            self.assertEqual(f.readline(), b"250 Sender OK\r\n")
            s.sendall(b"RCPT TO:<alice@office.example>\r\n")
            self.assertEqual(f.readline(), b"250 Recipient OK\r\n")
            s.sendall(b"RCPT TO:<zed@far.example>\r\n")
            self.assertEqual(f.readline(), b"250 Recipient OK\r\n")
            s.sendall(b"DATA\r\n")
            self.assertEqual(f.readline(), b"354 Off you go then\r\n")
        ma = b"Message-ID: <ia@x>\r\n\r\n" + b"A" * 3000 + b"\r\n.\r\n"
        mb = b"Message-ID: <ib@x>\r\n\r\n" + b"B" * 3000 + b"\r\n.\r\n"
        a.sendall(ma[:1500])
        b.sendall(mb[:10])
        c.sendall(b"Message-ID: <ic@x>\r\n\r\nhalf of it\r\n")
        time.sleep(0.2)
        b.sendall(mb[10:])
        self.assertEqual(fb.readline(), b"250 Load and clear\r\n")
        fc.close()
        c.close()
        a.sendall(ma[1500:])
        self.assertEqual(fa.readline(), b"250 Load and clear\r\n")
        for s in (a, b):
            s.sendall(b"QUIT\r\n")
        self.assertEqual(fa.readline(), b"221 See ya later\r\n")
        self.program.wait_for(lambda: not any(n.endswith(".txo") for n in self.program.files("out")),
                              what="the dropped message to go")
        outs = self.program.files("out")
        self.assertEqual(len(outs), 2, outs)
        self.assertTrue(all(n.endswith(".txt") for n in outs))
        self.assertEqual(sorted(self.program.read("out", n) for n in outs), [ma, mb])
        self.assertEqual(sorted(self.program.ports()), sorted(n[:-4] for n in outs))
        self.assertFalse(any(n.startswith("alice_ic") for n in self.program.files("in")))
        for f, s in ((fa, a), (fb, b)):
            f.close()
            s.close()


class SyncBeforeReply(unittest.TestCase):
    """The message is on disk before the client hears 250: watched with
    strace attached to every thread of the program, as the file work runs
    on worker threads and the reply goes out from the main one."""

    def test_fsync_before_250(self):
        if not shutil.which("strace"):
            self.skipTest("strace is not installed")
        program = SmtpProgram().start()
        trace = os.path.join(program.home, "strace.txt")
        tracer = subprocess.Popen(["strace", "-f", "-y", "-s", "64", "-o", trace, "-p", str(program.proc.pid),
                                   "-e", "trace=fsync,fdatasync,rename,renameat,renameat2,link,linkat,write,"
                                   "sendto,sendmsg,writev"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        try:
            if b"attached" not in tracer.stderr.readline():
                self.skipTest("strace cannot attach here")
            with smtplib.SMTP("127.0.0.1", program.smtp_port, timeout=20) as s:
                s.sendmail("x@far.example", ["alice@office.example", "y@far.example"],
                           b"Message-ID: <sync1@x>\r\n\r\nbody\r\n")
            time.sleep(0.5)
        finally:
            tracer.terminate()
            tracer.wait(10)
            tracer.stderr.close()
        try:
            with open(trace) as f:
                # Each line starts with its thread's id; a call that another
                # thread interrupted shows its arguments on its first line.
                lines = [re.sub(r"^\d+\s+", "", l) for l in f.read().splitlines()]
        finally:
            program.stop()
        reply = next(i for i, l in enumerate(lines) if "250 Load and clear" in l)
        before = lines[:reply]

        def last(pred, what):
            hits = [i for i, l in enumerate(before) if pred(l)]
            self.assertTrue(hits, "no %s before the reply:\n%s" % (what, "\n".join(before[-40:])))
            return hits[-1]

        data = last(lambda l: l.startswith("fsync(") and ".txo>" in l, "fsync of the received file")
        queued = last(lambda l: "rename" in l and ".txo" in l and ".txt" in l, "rename to .txt")
        out_dir = last(lambda l: l.startswith("fsync(") and l.split(">")[0].endswith("/out"), "fsync of out/")
        copy = last(lambda l: ("rename" in l or "link" in l) and "/in/alice_sync1" in l, "mailbox copy")
        in_dir = last(lambda l: l.startswith("fsync(") and l.split(">")[0].endswith("/in"), "fsync of in/")
        self.assertLess(data, queued)
        self.assertLess(queued, out_dir)
        self.assertLess(copy, in_dir)


if __name__ == "__main__":
    if not BIN:
        print("TARNWICK_BIN not set")
        sys.exit(1)
    unittest.main(verbosity=2)
