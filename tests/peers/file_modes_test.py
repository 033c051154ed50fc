#!/usr/bin/python3
"""The program's files are its owner's alone: whatever the umask it runs
under, everything it creates in its home (settings, tables, logs, queue,
mailboxes, folders) is 0600 or 0700, and at start it takes other users'
access away from the settings, tables and mail a looser home left open,
saying what it changed."""
import os
import poplib
import smtplib
import stat
import sys
import unittest
from email.message import EmailMessage

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from peers_smtp import SmtpProgram  # noqa: E402

# Made by the test, not by the program.
OWN = {"stderr.txt", "run"}


class FileModes(unittest.TestCase):
    def run_program(self, mask):
        old = os.umask(mask)
        try:
            program = SmtpProgram()
            # A home of an earlier version: readable, even writable, by all.
            loose = {"tarnwick.ini": 0o644, "users.dat": 0o644, "pop.dat": 0o666, "in": 0o755}
            old_mail = program.store("bob", "1", b"Subject: old\r\n\r\nold mail\r\n")
            loose[os.path.relpath(old_mail, program.home)] = 0o644
            for name, mode in loose.items():
                os.chmod(os.path.join(program.home, name), mode)
            program.start()
        finally:
            os.umask(old)
        self.addCleanup(program.stop)
        return program, loose

    def modes(self, program):
        found = {}
        for dirpath, dirnames, filenames in os.walk(program.home):
            rel = os.path.relpath(dirpath, program.home)
            dirnames[:] = [d for d in dirnames if not (rel == "." and d in OWN)]
            for name in dirnames + filenames:
                if rel == "." and name in OWN:
                    continue
                path = os.path.join(dirpath, name)
                found[os.path.relpath(path, program.home)] = stat.S_IMODE(os.lstat(path).st_mode)
        return found

    def test_created_private_and_loose_ones_tightened(self):
        for mask in (0o022, 0o000):
            with self.subTest(umask=oct(mask)):
                program, loose = self.run_program(mask)
                msg = EmailMessage()
                msg["Message-ID"] = "<modes@pc.office.example>"
                msg["From"] = "alice@office.example"
                msg["To"] = "bob@office.example, carol@far.example"
                msg["Subject"] = "private"
                msg.set_content("for bob only\n")
                with smtplib.SMTP("127.0.0.1", program.smtp_port, timeout=20) as s:
                    s.login("alice", "alicepw")
                    self.assertEqual(s.send_message(msg), {})
                program.wait_for(lambda: len(program.files("in")) == 2, what="bob's new mail")
                pop = poplib.POP3("127.0.0.1", program.pop_port, timeout=20)
                pop.user("bob")
                pop.pass_("BobPW")
                self.assertEqual(pop.stat()[0], 2)
                pop.dele(1)
                pop.quit()
                program.wait_for(lambda: len(program.files("in")) == 1, what="the deletion")

                found = self.modes(program)
                for want in ("tarnwick.ini", "users.dat", "in", "out", "Spam1", "Deleted"):
                    self.assertIn(want, found)
                self.assertTrue(any(n.startswith("out" + os.sep) for n in found), found)
                self.assertTrue(any(n.endswith(".log") for n in found), found)
                for name, mode in sorted(found.items()):
                    path = os.path.join(program.home, name)
                    want = 0o700 if os.path.isdir(path) else 0o600
                    self.assertEqual(mode, want, "%s is %o" % (name, mode))

                # One line for the whole home, naming its top-level entries.
                said = [l for l in program.stderr().splitlines() if "Access of other users taken away" in l]
                self.assertEqual(len(said), 1, said)
                named = said[0].split(": ", 2)[-1].split(", ")
                for name in loose:
                    top = name.split(os.sep)[0]
                    self.assertTrue(any(n == top or n.startswith(top + " (") for n in named), said)


if __name__ == "__main__":
    unittest.main()
