"""Start after a crash: partial receipts and temp files of interrupted writes
are removed (and logged), queued mail stays, a damaged uidl.dat is set aside
as uidl.dat.bad and the user is told; a damaged users.dat keeps the users
before the damage, and the set-up tool leaves it alone."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import poplib
import smtplib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from peers_smtp import BIN, SmtpProgram  # noqa: E402
from pop3_server_test import write_users  # noqa: E402


def write_cut_users(home):
    """users.dat of twenty users cut inside the 18th record, as a crash may
    leave it: 17 records whole. Returns the users and the bytes written."""
    users = [("user%02d" % n, "pw%02d" % n) for n in range(1, 21)]
    path = os.path.join(home, "users.dat")
    write_users(home, users[:17])
    with open(path, "rb") as f:
        seventeen = f.read()
    write_users(home, users)
    with open(path, "rb") as f:
        whole = f.read()
    # Without the record list's end byte, the 17-user file is where the 18th record starts.
    cut = whole[:len(seventeen) - 1 + 6]
    with open(path, "wb") as f:
        f.write(cut)
    return users, cut


class RestartLeftovers(unittest.TestCase):
    def test_leftovers_go_messages_stay(self):
        program = SmtpProgram(extra_ini="[General]\nLogging1=1\n")
        leftovers = ["out/pc1123456789.txo", "out/~tw4242-17.tmp", "out/q1.txt.new", "out/q1.txt.new.tmp123",
                     "in/alice_100000001.dat.new", "in/~tw4242-18.tmp", "uidl.dat.tmp4242", "users.$$$"]
        kept = ["out/q1.txt", "in/alice_100000001.dat"]
        os.makedirs(program.path("out"), exist_ok=True)
        for name in leftovers + kept:
            with open(program.path(name), "wb") as f:
                f.write(b"Subject: x\r\n\r\nbody\r\n.\r\n")
        with open(program.path("ports.dat"), "w") as f:
            f.write("[pc1123456789]\nrcpt=1\nTo1=<a@far.example>\n[q1]\nrcpt=1\nTo1=<b@far.example>\n")
        with open(program.path("uidl.dat"), "wb") as f:
            f.write(b"\0" * 300)
        program.start()
        try:
            # The SMTP server greets once its window has set up, clean-up included.
            smtplib.SMTP("127.0.0.1", program.smtp_port, timeout=15).quit()
            for name in leftovers:
                self.assertFalse(os.path.exists(program.path(name)), name)
            for name in kept:
                self.assertTrue(os.path.exists(program.path(name)), name)
            # The stale record goes right after the server opens its port.
            program.wait_for(lambda: "pc1123456789" not in program.ports(), what="the stale queue record to go")
            ports = program.ports()
            self.assertIn("q1", ports)
            log = program.read("smtpsvr.log")
            self.assertIn(b"Removed out/pc1123456789.txo, left over from an interrupted run", log)
            self.assertIn(b"Removed uidl.dat.tmp4242, left over from an interrupted run", log)
            # The damaged record is kept aside, and the user hears of it.
            with open(program.path("uidl.dat.bad"), "rb") as f:
                self.assertEqual(f.read(), b"\0" * 300)
            self.assertIn("renamed to uidl.dat.bad", program.stderr())
            # The mailbox is served as before.
            p = poplib.POP3("127.0.0.1", program.pop_port, timeout=15)
            p.user("alice")
            p.pass_("alicepw")
            self.assertEqual(p.stat()[0], 1)
            p.quit()
        finally:
            program.stop()

    def test_a_rename_cut_short_is_completed_before_a_login(self):
        """A rename record left by a crash (alice to zed, one message moved):
        the next start moves the rest, re-points the tables and logs it
        before the POP3 server takes a login."""
        program = SmtpProgram(aliases=[("info@office.example", "alice")])
        os.makedirs(program.path("in"), exist_ok=True)
        for name in ("in/alice_100000001.dat", "in/zed_100000002.dat"):
            with open(program.path(name), "wb") as f:
                f.write(b"Subject: " + name.encode() + b"\r\n\r\nbody\r\n.\r\n")
        with open(program.path("rename.pending"), "w") as f:
            f.write("tarnwick user rename 1\nalice\nzed\n")
        program.start()
        try:
            p = poplib.POP3("127.0.0.1", program.pop_port, timeout=15)
            p.user("zed")
            p.pass_("alicepw")
            self.assertEqual(p.stat()[0], 2)
            p.quit()
            self.assertEqual(program.files("in"), ["zed_100000001.dat", "zed_100000002.dat"])
            self.assertFalse(os.path.exists(program.path("rename.pending")))
            # A table string is its length byte and its bytes.
            self.assertNotIn(b"\x05alice", program.read("users.dat"))
            self.assertNotIn(b"\x05alice", program.read("link.dat"))
            self.assertIn(b"\x03zed", program.read("link.dat"))
            self.assertIn(b"User alice renamed to zed at start-up: 1 message files moved", program.read("connect.log"))
        finally:
            program.stop()

    def test_a_rename_onto_a_taken_name_moves_nothing(self):
        """A record alice to bob while bob is another user (a message sent to
        both lies in each mailbox with the same stamp and bytes): nothing
        moves, each keeps her own mail and password, the record stays, and
        the program says why and serves as before."""
        program = SmtpProgram()
        both = b"Subject: to both\r\n\r\nbody\r\n.\r\n"
        mail = {"in/alice_100000001.dat": both, "in/bob_100000001.dat": both,
                "in/alice_100000002.dat": b"Subject: alice only\r\n\r\nbody\r\n.\r\n"}
        for name, data in mail.items():
            with open(program.path(name), "wb") as f:
                f.write(data)
        with open(program.path("rename.pending"), "w") as f:
            f.write("tarnwick user rename 1\nalice\nbob\n")
        users = program.read("users.dat")
        program.start()
        try:
            for user, password, count in (("alice", "alicepw", 2), ("bob", "BobPW", 1)):
                p = poplib.POP3("127.0.0.1", program.pop_port, timeout=15)
                p.user(user)
                p.pass_(password)
                self.assertEqual(p.stat()[0], count, user)
                p.quit()
            self.assertEqual(program.files("in"), sorted(n[3:] for n in mail))
            self.assertEqual(program.read("users.dat"), users)
            self.assertTrue(os.path.exists(program.path("rename.pending")))
            said = "The rename of user alice to bob could not be completed: another user already has the name bob"
            self.assertIn(said, program.stderr())
            self.assertIn(said.encode(), program.read("connect.log"))
        finally:
            program.stop()

    def test_a_damaged_users_file_keeps_the_users_before_the_damage(self):
        program = SmtpProgram()
        users, cut = write_cut_users(program.home)
        program.start()
        try:
            for name, password in users[:17]:
                p = poplib.POP3("127.0.0.1", program.pop_port, timeout=15)
                p.user(name)
                p.pass_(password)
                p.quit()
            with open(program.path("users.dat.bad"), "rb") as f:
                self.assertEqual(f.read(), cut)
            self.assertIn("users.dat could not be read whole", program.stderr())
            self.assertIn("17 records before the damage were kept", program.stderr())
        finally:
            program.stop()

    def test_the_set_up_tool_leaves_a_damaged_users_file_alone(self):
        home = tempfile.mkdtemp(prefix="tw-adduser-home-")
        cwd = tempfile.mkdtemp(prefix="tw-adduser-cwd-")
        try:
            _, cut = write_cut_users(home)
            tool = os.path.join(os.path.dirname(BIN), "tarnwick-adduser")
            done = subprocess.run([tool, home, "newbie", "pw"], cwd=cwd, capture_output=True, timeout=60)
            self.assertNotEqual(done.returncode, 0)
            self.assertIn(b"users.dat could not be read", done.stderr)
            with open(os.path.join(home, "users.dat"), "rb") as f:
                self.assertEqual(f.read(), cut)
            self.assertEqual(os.listdir(home), ["users.dat"])
            self.assertEqual(os.listdir(cwd), [], "written outside the home")
        finally:
            shutil.rmtree(home, ignore_errors=True)
            shutil.rmtree(cwd, ignore_errors=True)


if __name__ == "__main__":
    if not BIN:
        print("TARNWICK_BIN not set")
        sys.exit(1)
    unittest.main(verbosity=2)
