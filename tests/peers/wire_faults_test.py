"""Stored messages on the wire, end to end: an empty message, one without a
final CR LF and ones holding a "." beside a bare CR or LF, read back over
POP3 by poplib and fetchmail, and relayed to a strict provider that takes
only CR LF as a line end and records every transaction it sees."""

import os
import socket
import sys
import threading
import time
import unittest
import poplib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from peers_fetchmail import Fetchmail  # noqa: E402
from peers_smtp import BIN, SmtpProgram  # noqa: E402

# Bytes that would end a message early if they reached the wire as they are.
SMUGGLERS = [b"\r\n.\n", b"\r\n.\r", b"\n.\r\n", b"\r.\r\n"]
INJECTED = b"MAIL FROM:<ceo@bank.example>\r\nRCPT TO:<victim@else.example>\r\nDATA\r\nforged\r\n"


def smtp_raw(port, transactions):
    """Transactions (sender, recipient, DATA bytes exactly as given, end
    marker included) on one connection; returns the replies to the ends of
    data."""
    s = socket.create_connection(("127.0.0.1", port), timeout=20)
    f = s.makefile("rb")
    f.readline()
    s.sendall(b"HELO t\r\n")
    f.readline()
    replies = []
    for sender, rcpt, data in transactions:
        for cmd in (b"MAIL FROM:<%s>" % sender, b"RCPT TO:<%s>" % rcpt, b"DATA"):
            s.sendall(cmd + b"\r\n")
            reply = f.readline()
            assert reply[:1] in (b"2", b"3"), (cmd, reply)
        s.sendall(data)
        replies.append(f.readline())
    s.sendall(b"QUIT\r\n")
    f.readline()
    s.close()
    return replies


class StrictProvider:
    """An SMTP server that ends lines at CR LF only and records, per
    transaction, the sender, the recipients and the data as read."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(5)
        self.port = self.sock.getsockname()[1]
        self.transactions = []
        self.stopped = False
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        self.sock.settimeout(0.2)
        while not self.stopped:
            try:
                conn, _ = self.sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            threading.Thread(target=self.session, args=(conn,), daemon=True).start()

    def session(self, conn):
        buf = b""

        def line():
            nonlocal buf
            while b"\r\n" not in buf:
                chunk = conn.recv(65536)
                if not chunk:
                    raise EOFError
                buf += chunk
            l, buf = buf.split(b"\r\n", 1)
            return l

        try:
            conn.sendall(b"220 strict\r\n")
            current = None
            while True:
                l = line()
                cmd = l[:4].upper()
                if cmd in (b"HELO", b"EHLO"):
                    conn.sendall(b"250 strict\r\n")
                elif cmd == b"MAIL":
                    current = {"from": l[10:].strip(), "to": [], "data": []}
                    conn.sendall(b"250 ok\r\n")
                elif cmd == b"RCPT":
                    current["to"].append(l[8:].strip())
                    conn.sendall(b"250 ok\r\n")
                elif cmd == b"DATA":
                    conn.sendall(b"354 go\r\n")
                    while True:
                        d = line()
                        if d == b".":
                            break
                        current["data"].append(d[1:] if d.startswith(b".") else d)
                    self.transactions.append(current)
                    conn.sendall(b"250 queued\r\n")
                elif cmd == b"RSET":
                    conn.sendall(b"250 ok\r\n")
                elif cmd == b"QUIT":
                    conn.sendall(b"221 bye\r\n")
                    conn.close()
                    return
                else:
                    conn.sendall(b"500 what\r\n")
        except (EOFError, OSError):
            conn.close()

    def stop(self):
        self.stopped = True
        self.sock.close()


class WireFaults(unittest.TestCase):
    def pop(self, program):
        p = poplib.POP3("127.0.0.1", program.pop_port, timeout=15)
        p.user("alice")
        p.pass_("alicepw")
        return p

    def test_empty_and_odd_messages_read_back_by_poplib_and_fetchmail(self):
        program = SmtpProgram().start()
        try:
            # "." alone as the DATA text: the empty message.
            self.assertEqual(smtp_raw(program.smtp_port, [(b"carol@far.example", b"alice@office.example", b".\r\n")]),
                             [b"250 Load and clear\r\n"])
            program.wait_for(lambda: len(program.files("in")) == 1, what="the empty message")
            self.assertEqual(program.read("in", program.files("in")[0]), b".\r\n")
            # Stored without a final CR LF, and with a stray end marker inside.
            program.store("alice", "300000002", b"Subject: no end\r\n\r\nlast line")
            with open(program.path("in", "alice_300000003.dat"), "wb") as f:
                f.write(b"Subject: odd\r\n\r\nx\n.\r\ny\r.\r\n.\r\n")
            p = self.pop(program)
            self.assertEqual(p.stat()[0], 3)
            got = [p.retr(n)[1] for n in (1, 2, 3)]
            tops = [p.top(n, 0)[1] for n in (1, 2, 3)]
            self.assertEqual(p.noop(), b"+OK")  # the stream is still in step
            p.quit()
            self.assertEqual(got[0], [])
            self.assertEqual(got[1], [b"Subject: no end", b"", b"last line"])
            self.assertEqual(got[2], [b"Subject: odd", b"", b"x", b".", b"y", b"."])
            self.assertEqual(tops[0], [b""])
            self.assertEqual(tops[2], [b"Subject: odd", b""])

            with Fetchmail(program.pop_port, "alice", "alicepw") as fetchmail:
                code, output = fetchmail.poll()
                self.assertEqual(code, 0, output)
                self.assertNotIn(b"protocol error", output)
                delivered = fetchmail.delivered()
                self.assertEqual(len(delivered), 4, delivered)
                self.assertTrue(delivered[1].endswith(b"\nlast line\n"), delivered[1])
                # A second poll is in step as well: nothing new, no error.
                code, output = fetchmail.poll()
                self.assertEqual(code, 1, output)
        finally:
            program.stop()

    def test_no_byte_sequence_smuggles_a_transaction_through_the_relay(self):
        provider = StrictProvider()
        try:
            program = SmtpProgram(extra_smtp="Wait=2\nHost=127.0.0.1\nPort=%d\nStandard=0\n" % provider.port)
            program.start()
            try:
                mails = [(b"alice@office.example", b"dave@far.example",
                          b"Subject: %d\r\n\r\nbefore" % n + seq + INJECTED + b"\r\n.\r\n")
                         for n, seq in enumerate(SMUGGLERS)]
                # Sent on one connection: its end starts one relay run for all.
                self.assertEqual(smtp_raw(program.smtp_port, mails), [b"250 Load and clear\r\n"] * 4)
                program.wait_for(lambda: len(provider.transactions) >= 4 and program.files("out") == [],
                                 timeout=60, what="the relay run")
                time.sleep(0.5)
                self.assertEqual(len(provider.transactions), 4, provider.transactions)
                for t in provider.transactions:
                    self.assertEqual(t["from"], b"<alice@office.example>")
                    self.assertEqual(t["to"], [b"<dave@far.example>"])
                    # The injected text arrived as message text, whole.
                    self.assertIn(b"MAIL FROM:<ceo@bank.example>", t["data"])
                    self.assertIn(b"forged", t["data"])
                self.assertIn(b"sent ok", program.read("smtp.log"))
            finally:
                program.stop()
        finally:
            provider.stop()


if __name__ == "__main__":
    if not BIN:
        print("TARNWICK_BIN not set")
        sys.exit(1)
    unittest.main(verbosity=2)
