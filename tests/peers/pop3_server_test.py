"""POP3 server end to end: the program on a temporary home, real clients
(python3 poplib and plain sockets) on 127.0.0.1.

The helpers here are shared with the other pop3_* peer tests."""

import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import poplib
from peers_output import thread_warnings  # noqa: E402
from peers_ports import free_port  # noqa: E402

BIN = os.environ.get("TARNWICK_BIN", "")


# --- table files -----------------------------------------------------------

def _str(s):
    b = s.encode("latin-1")
    if len(b) <= 255:
        return b"\x06" + bytes([len(b)]) + b
    return b"\x0c" + struct.pack("<i", len(b)) + b


def _int(v):
    if -128 <= v <= 127:
        return b"\x02" + struct.pack("<b", v)
    if -32768 <= v <= 32767:
        return b"\x03" + struct.pack("<h", v)
    return b"\x04" + struct.pack("<i", v)


def _bool(v):
    return b"\x09" if v else b"\x08"


def write_table(path, fields, indexes, rows):
    """fields: [(name, type, size)]; indexes: [(name, fields)]; rows: lists
    of values (str, int or bool; None for no value)."""
    out = bytearray(b"TPF0") + _int(249)
    out += b"\x01"
    for name, typ, size in fields:
        out += _str(name) + _str(typ) + _int(size) + _str(name) + _str("") + _int(size or 10)
        out += _bool(False) + _bool(False)
    out += b"\x00\x01"
    for name, flds in indexes:
        out += _str(name) + _str(flds) + _str(name) + _bool(False) * 4
    out += b"\x00\x01"
    for row in rows:
        out += b"\x01" + _int(0)
        for (name, typ, size), value in zip(fields, row):
            if value is None:
                out += _bool(True)
                continue
            out += _bool(False)
            if typ == "Boolean":
                out += _bool(value)
            elif typ == "Integer":
                out += _int(value)
            else:
                out += _str(str(value))
        out += b"\x00"
    out += b"\x00"
    with open(path, "wb") as f:
        f.write(bytes(out))


def write_users(home, users):
    write_table(os.path.join(home, "users.dat"),
                [("Name", "String", 64), ("Password", "String", 64)],
                [("ixName", "Name")], [[n, p] for n, p in users])


def write_pop(home, accounts=()):
    write_table(os.path.join(home, "pop.dat"),
                [("Name", "String", 64), ("Host", "String", 64), ("Login", "String", 64),
                 ("Password", "String", 64), ("Include", "Boolean", 0), ("Leave", "Boolean", 0),
                 ("Leavedays", "Integer", 0), ("Default", "String", 64)],
                [("ixName", "Name")], [list(a) for a in accounts])


def write_links(home):
    write_table(os.path.join(home, "link.dat"),
                [("Email", "String", 64), ("User", "String", 64)], [("ixName", "Email")], [])


# --- the program -------------------------------------------------------------



class Program:
    """The program on a temporary home with POP3 (and SMTP) on free ports."""

    def __init__(self, users=(("alice", "alicepw"), ("bob", "BobPW")), pop_port=None, extra_ini=""):
        self.home = tempfile.mkdtemp(prefix="tw-pop3-")
        self.pop_port = pop_port or free_port()
        self.smtp_port = free_port()
        os.makedirs(os.path.join(self.home, "in"))
        with open(os.path.join(self.home, "tarnwick.ini"), "w") as f:
            f.write("[POP]\nLocalPort=%d\n[SMTP]\nLocalPort=%d\nWait=1\n"
                    "[General]\nLogging2=1\nConfirmExit=0\nStartMin=0\n"
                    "[Connect]\nRegular=0\nOnStartup=0\n[Remote]\nEnabled=0\n%s"
                    % (self.pop_port, self.smtp_port, extra_ini))
        write_users(self.home, users)
        write_pop(self.home)
        write_links(self.home)
        self.proc = None
        self.stderr_path = os.path.join(self.home, "stderr.txt")

    def start(self, wait_for_pop=True):
        env = dict(os.environ)
        runtime = os.path.join(self.home, "run")
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        env.update(TARNWICK_HOME=self.home, TARNWICK_BIND_ADDRESS="127.0.0.1", XDG_RUNTIME_DIR=runtime,
                   QT_QPA_PLATFORM="offscreen", ASAN_OPTIONS="detect_leaks=0")
        self.err = open(self.stderr_path, "wb")
        self.proc = subprocess.Popen([BIN], env=env, stdout=subprocess.DEVNULL, stderr=self.err)
        if wait_for_pop:
            self.wait_port(self.pop_port)
        return self

    def wait_port(self, port, timeout=60):
        end = time.time() + timeout
        while time.time() < end:
            if self.proc.poll() is not None:
                raise AssertionError("program ended: %s" % self.stderr())
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return True
            except OSError:
                time.sleep(0.1)
        raise AssertionError("port %d never opened" % port)

    def stderr(self):
        with open(self.stderr_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        report = ""
        if self.proc:
            self.err.close()
            text = self.stderr()
            if "AddressSanitizer" in text or "runtime error:" in text:
                report = "sanitizer report:\n" + text[-4000:]
            elif thread_warnings(text):
                report = "thread warnings:\n" + "\n".join(thread_warnings(text)[:5])
        shutil.rmtree(self.home, ignore_errors=True)
        if report:
            raise AssertionError(report)

    def inbox(self):
        return os.path.join(self.home, "in")

    def store(self, user, stamp, message_bytes):
        """Stores a message as the SMTP server would: CRLF lines, dot-stuffed,
        followed by the end marker."""
        lines = message_bytes.split(b"\r\n")
        if lines and lines[-1] == b"":
            lines.pop()
        stuffed = [b"." + l if l.startswith(b".") else l for l in lines]
        data = b"\r\n".join(stuffed) + b"\r\n.\r\n"
        path = os.path.join(self.inbox(), "%s_%s.dat" % (user, stamp))
        with open(path, "wb") as f:
            f.write(data)
        return path


def message(subject, body_lines):
    head = [b"From: someone@office.lan", b"To: alice@office.lan", b"Subject: " + subject.encode()]
    return b"\r\n".join(head + [b""] + body_lines) + b"\r\n"


class Raw:
    """A plain socket client for what poplib cannot do."""

    def __init__(self, port):
        self.s = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.buf = b""
        self.greeting = self.line()

    def send(self, data):
        self.s.sendall(data)

    def line(self):
        while b"\r\n" not in self.buf:
            chunk = self.s.recv(65536)
            if not chunk:
                raise EOFError(self.buf)
            self.buf += chunk
        line, self.buf = self.buf.split(b"\r\n", 1)
        return line

    def cmd(self, text):
        self.send(text.encode() + b"\r\n")
        return self.line()

    def multiline(self):
        lines = []
        while True:
            l = self.line()
            if l == b".":
                return lines
            lines.append(l)

    def closed(self, timeout=10):
        self.s.settimeout(timeout)
        try:
            while True:
                chunk = self.s.recv(65536)
                if not chunk:
                    return True
                self.buf += chunk
        except socket.timeout:
            return False

    def close(self):
        self.s.close()


# --- tests -------------------------------------------------------------------

class Pop3ServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.program = Program().start()

    @classmethod
    def tearDownClass(cls):
        cls.program.stop()

    def setUp(self):
        for name in os.listdir(self.program.inbox()):
            os.remove(os.path.join(self.program.inbox(), name))

    def pop(self, user="alice", password="alicepw"):
        p = poplib.POP3("127.0.0.1", self.program.pop_port, timeout=15)
        p.user(user)
        p.pass_(password)
        return p

    def test_poplib_session(self):
        m1 = message("first", [b"hello", b".starts with a dot", b"..two dots", b"end"])
        m2 = message("second", [b"x" * 900 for _ in range(20)])
        p1 = self.program.store("alice", "100000001", m1)
        self.program.store("alice", "100000002", m2)
        self.program.store("alice_x", "100000003", message("not alice's", [b"no"]))
        self.program.store("bob", "100000004", message("bob's", [b"no"]))
        p = self.pop()
        sizes = [os.path.getsize(p1), os.path.getsize(os.path.join(self.program.inbox(), "alice_100000002.dat"))]
        self.assertEqual(p.stat(), (2, sum(sizes)))
        resp, listing, _ = p.list()
        self.assertEqual(listing, [b"1 %d" % sizes[0], b"2 %d" % sizes[1]])
        self.assertEqual(p.list(2), b"+OK 2 %d" % sizes[1])
        resp, uidls, _ = p.uidl()
        self.assertEqual(uidls, [b"1 100000001", b"2 100000002"])
        self.assertEqual(p.uidl(1), b"+OK 1 100000001")
        resp, top, _ = p.top(1, 0)
        self.assertEqual(top, m1.split(b"\r\n\r\n")[0].split(b"\r\n") + [b""])
        resp, top2, _ = p.top(1, 2)
        self.assertEqual(top2[-2:], [b"hello", b".starts with a dot"])
        resp, top_all, _ = p.top(1, 100)
        self.assertEqual(top_all[-1], b"end", "TOP stops at the end of the message")
        for n, m in ((1, m1), (2, m2)):
            resp, lines, octets = p.retr(n)
            self.assertEqual(b"\r\n".join(lines) + b"\r\n", m)
        self.assertTrue(p.dele(1).startswith(b"+OK"))
        self.assertEqual(p.stat()[0], 2, "a marked message stays counted until QUIT")
        p.quit()
        self.assertFalse(os.path.exists(p1))
        p = self.pop()
        self.assertEqual(p.stat()[0], 1)
        p.quit()

    def test_dele_then_drop_keeps_the_message(self):
        path = self.program.store("alice", "200000001", message("keep", [b"body"]))
        p = self.pop()
        p.dele(1)
        p.sock.close()
        time.sleep(0.5)
        self.assertTrue(os.path.exists(path))
        p = self.pop()
        self.assertEqual(p.stat()[0], 1)
        p.dele(1)
        p.quit()
        self.assertFalse(os.path.exists(path))

    def test_rset_unmarks(self):
        path = self.program.store("alice", "210000001", message("keep", [b"body"]))
        p = self.pop()
        p.dele(1)
        p.rset()
        p.quit()
        self.assertTrue(os.path.exists(path))

    def test_two_clients_on_two_mailboxes_at_once(self):
        a = self.program.store("alice", "300000001", message("for alice", [b"a"]))
        b = self.program.store("bob", "300000002", message("for bob", [b"b"]))
        ra, rb = Raw(self.program.pop_port), Raw(self.program.pop_port)
        # Interleave half lines of both connections.
        ra.send(b"USER al")
        rb.send(b"USER b")
        ra.send(b"ice\r\n")
        rb.send(b"ob\r\n")
        self.assertEqual(ra.line(), b"+OK")
        self.assertEqual(rb.line(), b"+OK")
        self.assertEqual(rb.cmd("PASS bobpw"), b"+OK", "passwords compare without case")
        self.assertEqual(ra.cmd("PASS alicepw"), b"+OK")
        self.assertEqual(ra.cmd("UIDL 1"), b"+OK 1 300000001")
        self.assertEqual(rb.cmd("UIDL 1"), b"+OK 1 300000002")
        self.assertEqual(ra.cmd("DELE 1"), b"+OK")
        self.assertEqual(rb.cmd("QUIT"), b"+OK")
        self.assertTrue(os.path.exists(a), "bob's QUIT applies no mark of alice's session")
        self.assertTrue(os.path.exists(b))
        self.assertEqual(ra.cmd("QUIT"), b"+OK")
        self.assertTrue(ra.closed())
        self.assertFalse(os.path.exists(a))
        ra.close()
        rb.close()

    def test_command_in_two_chunks_and_pipelined_commands(self):
        self.program.store("alice", "400000001", message("one", [b"x"]))
        r = Raw(self.program.pop_port)
        self.assertEqual(r.greeting, b"+OK")
        r.send(b"US")
        time.sleep(0.3)
        r.send(b"ER alice\r\n")
        self.assertEqual(r.line(), b"+OK")
        r.send(b"PASS alicepw\r\nSTAT\r\nNOOP\r\nLIST\r\n")
        self.assertEqual(r.line(), b"+OK")
        self.assertTrue(r.line().startswith(b"+OK 1 "))
        self.assertEqual(r.line(), b"+OK")
        self.assertEqual(r.line(), b"+OK Listing:")
        self.assertEqual(len(r.multiline()), 1)
        r.send(b"QUIT\r\n")
        self.assertEqual(r.line(), b"+OK")
        r.close()

    def test_error_replies(self):
        self.program.store("alice", "500000001", message("one", [b"x"]))
        r = Raw(self.program.pop_port)
        self.assertEqual(r.cmd("STAT"), b"+OK 0 0")
        self.assertEqual(r.cmd("RETR 1"), b"-ERR no such message")
        self.assertEqual(r.cmd("TOP 1 0"), b"-ERR no such message")
        self.assertEqual(r.cmd("LIST"), b"+OK Listing:")
        self.assertEqual(r.multiline(), [])
        self.assertEqual(r.cmd("XYZZY Some Arg"), b"-ERR unknown params: xyzzy, Some Arg")
        self.assertEqual(r.cmd("USER alice"), b"+OK")
        self.assertEqual(r.cmd("PASS alicepw"), b"+OK")
        for bad in ("RETR 0", "RETR 2", "RETR x", "RETR", "LIST 2", "LIST 0", "UIDL 9", "TOP 2 0", "DELE 2",
                    "DELE one", "DELE 0"):
            self.assertEqual(r.cmd(bad), b"-ERR no such message", bad)
        self.assertEqual(r.cmd("USER bob"), b"-ERR", "no second user on a logged-in session")
        self.assertEqual(r.cmd("STAT").split()[1], b"1")
        self.assertEqual(r.cmd("QUIT"), b"+OK")
        self.assertTrue(os.path.exists(os.path.join(self.program.inbox(), "alice_500000001.dat")))
        r.close()

    def test_quit_before_login_answers_and_closes(self):
        r = Raw(self.program.pop_port)
        self.assertEqual(r.cmd("QUIT"), b"+OK")
        self.assertTrue(r.closed())
        r.close()

    def test_wrong_passwords(self):
        self.program.store("alice", "600000001", message("one", [b"x"]))
        r = Raw(self.program.pop_port)
        r.cmd("USER alice")
        start = time.time()
        self.assertEqual(r.cmd("PASS wrong"), b"-ERR")
        self.assertGreaterEqual(time.time() - start, 0.5, "a failed PASS is answered late")
        self.assertEqual(r.cmd("STAT"), b"+OK 0 0")
        self.assertEqual(r.cmd("PASS wrong"), b"-ERR")
        self.assertEqual(r.cmd("PASS wrong"), b"-ERR")
        self.assertTrue(r.closed(), "the third failure ends the connection")
        r.close()

    def test_mailbox_is_a_snapshot_taken_at_login(self):
        self.program.store("alice", "700000002", message("two", [b"x"]))
        p = self.pop()
        self.program.store("alice", "700000001", message("one, arriving late", [b"x"]))
        self.assertEqual(p.stat()[0], 1)
        self.assertEqual(p.uidl(1), b"+OK 1 700000002")
        p.quit()
        p = self.pop()
        self.assertEqual(p.stat()[0], 2)
        p.quit()

    def test_unique_ids_that_clients_cannot_take_are_hashed(self):
        long_stamp = "x" * 80
        self.program.store("alice", long_stamp, message("long", [b"x"]))
        self.program.store("alice", "a b", message("blank", [b"x"]))
        p = self.pop()
        resp, uidls, _ = p.uidl()
        ids = [u.split()[1] for u in uidls]
        self.assertEqual(len(ids), 2)
        for uid in ids:
            self.assertTrue(1 <= len(uid) <= 70 and all(0x21 <= c <= 0x7e for c in uid), uid)
        p.quit()
        p = self.pop()
        self.assertEqual([u.split()[1] for u in p.uidl()[1]], ids, "ids are stable")
        p.quit()

    def test_client_address_recorded_after_login(self):
        p = self.pop("alice", "ALICEPW")
        p.quit()
        # Addresses reach the file in batches, within a second or so.
        deadline = time.monotonic() + 5
        while True:
            with open(os.path.join(self.program.home, "tarnwick.ini")) as f:
                ini = f.read()
            if "alice=127.0.0.1" in ini or time.monotonic() > deadline:
                break
            time.sleep(0.1)
        self.assertIn("alice=127.0.0.1", ini)

    def test_log_masks_passwords(self):
        p = self.pop()
        p.quit()
        with open(os.path.join(self.program.home, "popsvr.log"), "rb") as f:
            log = f.read()
        self.assertIn(b">> pass ######", log)
        self.assertNotIn(b"alicepw", log)


class Pop3PortInUseTest(unittest.TestCase):
    def test_program_runs_on_without_pop3(self):
        blocker = socket.socket()
        blocker.bind(("127.0.0.1", 0))
        blocker.listen(1)
        port = blocker.getsockname()[1]
        program = Program(pop_port=port)
        try:
            program.start(wait_for_pop=False)
            deadline = time.time() + 60
            text = "There is already an application or service using port %d, necessary for the POP server." % port
            while time.time() < deadline and text not in program.stderr():
                self.assertIsNone(program.proc.poll(), program.stderr())
                time.sleep(0.2)
            self.assertIn(text, program.stderr())
            time.sleep(1)
            self.assertIsNone(program.proc.poll(), "the program runs on")
        finally:
            program.stop()
            blocker.close()


if __name__ == "__main__":
    if not BIN:
        print("TARNWICK_BIN not set")
        sys.exit(1)
    unittest.main(verbosity=2)
