#!/usr/bin/python3
"""The SMTP and POP3 servers against clients that pipeline far ahead of the
replies and against a sender that borrows a local address's standing: the
program on a temporary home, python3 smtplib and plain sockets on
127.0.0.1."""
import os
import smtplib
import socket
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from peers_output import thread_warnings  # noqa: E402
from peers_smtp import BIN, ProgramCase, busy_cores, pipelined_quit_load  # noqa: E402


def read_replies(sock, count, deadline_s, final=None):
    """Reads until `count` reply lines (or a line starting with `final`)
    have come, the connection ends or the deadline passes; the lines."""
    sock.settimeout(1)
    data = b""
    end = time.monotonic() + deadline_s
    while time.monotonic() < end:
        if data.count(b"\r\n") >= count:
            break
        if final and (b"\r\n" + final) in data:
            break
        try:
            chunk = sock.recv(65536)
        except socket.timeout:
            continue
        if not chunk:
            break
        data += chunk
    return data.split(b"\r\n")[:-1]


def pipelined(port, greeting, head, lines, expected, deadline_s=60):
    """Sends the head lines one by one, then every line of `lines` in one
    write from a thread while reading; returns the replies to `lines`."""
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    try:
        f = s.makefile("rb")
        assert f.readline().startswith(greeting)
        for line in head:
            s.sendall(line + b"\r\n")
            f.readline()
        writer = threading.Thread(target=lambda: s.sendall(b"".join(l + b"\r\n" for l in lines)))
        writer.start()
        replies = read_replies(s, expected, deadline_s)
        writer.join(30)
        return replies
    finally:
        s.close()


class Pipelining(ProgramCase):
    def test_smtp_answers_every_pipelined_recipient_without_more_input(self):
        # About 150 KB in one write: the line that straddles a read must not
        # leave the rest unread until the client sends again.
        n = 5000
        rcpts = [b"RCPT TO:<bob-%05d@office.example>" % i for i in range(n)]
        replies = pipelined(self.program.smtp_port, b"220", [b"HELO pc", b"MAIL FROM:<x@far.example>"],
                            rcpts, n)
        self.assertEqual(len(replies), n, replies[-3:])
        self.assertTrue(all(r.startswith((b"250 ", b"452 ", b"501 ")) for r in replies), set(replies))

    def test_pop3_answers_every_pipelined_command_without_more_input(self):
        # Lines long enough that one read holds far fewer than the limit of
        # queued commands, and many reads are needed.
        n = 3000
        noops = [b"NOOP " + b"%05d" % i + b"x" * 90 for i in range(n)]
        replies = pipelined(self.program.pop_port, b"+OK", [b"USER alice", b"PASS alicepw"], noops, n)
        self.assertEqual(len(replies), n, replies[-3:])
        self.assertEqual(set(replies), {b"+OK"})

    def test_sessions_that_quit_with_their_text_leave_no_thread_warning(self):
        # Each session is over before its message is on disk: what it held
        # must still be let go on the server's own thread, on a busy machine
        # as well.
        sessions = 320
        stored = lambda: len([n for n in self.program.files("in") if n.startswith("bob_")])  # noqa: E731
        before = stored()
        with busy_cores():
            pipelined_quit_load(self.program.smtp_port, sessions)
            self.program.wait_for(lambda: stored() >= before + sessions, timeout=180, what="every message stored")
        with smtplib.SMTP("127.0.0.1", self.program.smtp_port, timeout=30) as s:
            self.assertEqual(s.noop()[0], 250)
        self.assertEqual(thread_warnings(self.program.stderr()), [])


class LocalSenderStanding(ProgramCase):
    """With "Use SMTP Authentication" on, a local sender may relay; the
    standing, the sender and the recipients belong to that transaction
    only."""

    smtp_settings = "ServerAuth=1\n"

    def test_standing_ends_with_rset_and_with_its_message(self):
        cases = [
            ("after RSET", lambda s: s.rset()),
            ("after a message", lambda s: s.data(b"Subject: one\r\n\r\nfrom alice\r\n")),
        ]
        for name, end in cases:
            with self.subTest(name), smtplib.SMTP("127.0.0.1", self.program.smtp_port, timeout=20) as s:
                s.ehlo()
                self.assertEqual(s.mail("alice@office.example")[0], 250)
                self.assertEqual(s.rcpt("far@far.example")[0], 250, "a local sender relays")
                self.assertEqual(end(s)[0], 250)
                self.assertEqual(s.mail("ceo@bank.example")[0], 250)
                self.assertEqual(s.rcpt("victim@far.example"), (501, b"Not Authenticated"))
                self.assertEqual(s.rcpt("bob@office.example")[0], 250, "local recipients as ever")
        self.clear_mail()

    def test_envelope_does_not_outlive_its_transaction(self):
        """A second MAIL inside a transaction, and RCPT or DATA after RSET or
        after a message, are refused: nothing goes out under a sender that
        did not name its recipients, nor to recipients of an ended one."""
        cases = [
            ("nested MAIL", [("MAIL FROM:<alice@office.example>", 250), ("RCPT TO:<victim1@far.example>", 250),
                             ("MAIL FROM:<spam@evil.example>", 503), ("DATA", 354)]),
            ("RSET", [("MAIL FROM:<alice@office.example>", 250), ("RCPT TO:<victim2@far.example>", 250),
                      ("RSET", 250), ("RCPT TO:<bob@office.example>", 503), ("DATA", 503)]),
            ("after a message", [("MAIL FROM:<alice@office.example>", 250), ("RCPT TO:<bob@office.example>", 250),
                                 ("DATA", 354), ("RCPT TO:<victim3@far.example>", 503), ("DATA", 503)]),
        ]
        self.clear_mail()
        for name, steps in cases:
            with self.subTest(name), smtplib.SMTP("127.0.0.1", self.program.smtp_port, timeout=20) as s:
                s.ehlo()
                for line, code in steps:
                    got = s.docmd(line)
                    self.assertEqual(got[0], code, (line, got))
                    if code == 354:
                        s.send(b"Subject: x\r\n\r\nbody\r\n.\r\n")
                        self.assertEqual(s.getreply()[0], 250)
        # The one message with outside recipients went as alice's, to hers.
        queued = [r for id_, r in self.program.ports().items() if id_ + ".txt" in self.program.files("out")]
        self.assertEqual([(r["from"], r["to1"]) for r in queued], [("<alice@office.example>", "<victim1@far.example>")])
        self.clear_mail()

    def test_logged_on_session_keeps_its_standing_across_rset(self):
        with smtplib.SMTP("127.0.0.1", self.program.smtp_port, timeout=20) as s:
            s.ehlo()
            s.login("bob", "BobPW")
            s.mail("bob@office.example")
            s.rset()
            self.assertEqual(s.mail("someone@far.example")[0], 250)
            self.assertEqual(s.rcpt("victim@far.example")[0], 250)

    def test_refused_relay_is_not_queued(self):
        with smtplib.SMTP("127.0.0.1", self.program.smtp_port, timeout=20) as s:
            s.ehlo()
            s.mail("alice@office.example")
            s.rset()
            with self.assertRaises(smtplib.SMTPRecipientsRefused):
                s.sendmail("ceo@bank.example", ["victim@far.example"], b"Subject: pay\r\n\r\nnow\r\n")
        time.sleep(0.5)
        self.assertEqual([n for n in self.program.files("out") if n.endswith(".txt")], [])


if __name__ == "__main__":
    if not BIN or not os.access(BIN, os.X_OK):
        print("TARNWICK_BIN does not name the program", file=sys.stderr)
        sys.exit(1)
    unittest.main(verbosity=2)
