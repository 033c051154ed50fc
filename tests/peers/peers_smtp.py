"""Shared pieces of the SMTP server and relay peer tests: the program on a
temporary home with local users at a local domain, and a provider's SMTP
server (aiosmtpd, peers_smtp_smarthost.py) started as a direct child."""

import base64
import concurrent.futures
import configparser
import contextlib
import glob
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pop3_server_test import BIN, Program, write_table  # noqa: E402,F401

HERE = os.path.dirname(os.path.abspath(__file__))
DOMAIN = "office.example"


class SmtpProgram(Program):
    """The program with alice and bob at office.example; extra_ini is added
    to the settings file (its [SMTP] keys go after LocalPort and Wait)."""

    def __init__(self, extra_smtp="", extra_ini="", aliases=()):
        super().__init__(extra_ini=extra_ini)
        ini = os.path.join(self.home, "tarnwick.ini")
        with open(ini) as f:
            text = f.read()
        keep = "" if "Wait=" in extra_smtp else "Wait=1\n"
        text = text.replace("Wait=1\n", keep + extra_smtp, 1)
        with open(ini, "w") as f:
            f.write(text)
        write_table(os.path.join(self.home, "domain.dat"), [("Domain", "String", 64)],
                    [("ixDomain", "Domain")], [[DOMAIN]])
        write_table(os.path.join(self.home, "link.dat"), [("Email", "String", 64), ("User", "String", 64)],
                    [("ixName", "Email")], [list(a) for a in aliases])

    def start(self, wait_for_pop=True):
        super().start(wait_for_pop)
        self.wait_port(self.smtp_port)
        return self

    def path(self, *parts):
        return os.path.join(self.home, *parts)

    def files(self, folder):
        d = self.path(folder)
        return sorted(os.listdir(d)) if os.path.isdir(d) else []

    def read(self, *parts):
        with open(self.path(*parts), "rb") as f:
            return f.read()

    def ports(self):
        """ports.dat as {section: {key: value}} (keys lower-cased)."""
        p = self.path("ports.dat")
        cp = configparser.ConfigParser(interpolation=None, strict=False)
        if os.path.exists(p):
            cp.read(p, encoding="latin-1")
        return {s: dict(cp.items(s)) for s in cp.sections()}

    def wait_for(self, cond, timeout=20, what="condition"):
        end = time.time() + timeout
        while time.time() < end:
            if self.proc.poll() is not None:
                raise AssertionError("program ended: %s" % self.stderr())
            if cond():
                return
            time.sleep(0.05)
        raise AssertionError("timed out waiting for " + what)


def stored_form(message):
    """A message as it travels in DATA and is stored: CRLF lines, dot-stuffed,
    followed by the end marker."""
    lines = message.split(b"\r\n")
    if lines and lines[-1] == b"":
        lines.pop()
    return b"\r\n".join(b"." + l if l.startswith(b".") else l for l in lines) + b"\r\n.\r\n"


def pipelined_quit_session(port, n, user="alice", password="alicepw"):
    """One message from user to bob as a pipelining client sends it: each
    step in one write, the text with its "." and QUIT in the last one, and
    the connection closed at once, before the reply to the text."""
    token = base64.b64encode(b"\0" + user.encode() + b"\0" + password.encode())
    s = socket.create_connection(("127.0.0.1", port), timeout=60)
    try:
        f = s.makefile("rb")
        steps = ((None, b"220"), (b"EHLO pc", b"250"), (b"AUTH PLAIN " + token, b"235"),
                 (b"MAIL FROM:<%s@%s>" % (user.encode(), DOMAIN.encode()), b"250"),
                 (b"RCPT TO:<bob@%s>" % DOMAIN.encode(), b"250"), (b"DATA", b"354"))
        for command, code in steps:
            if command:
                s.sendall(command + b"\r\n")
            line = f.readline()
            while line[3:4] == b"-":
                line = f.readline()
            if not line.startswith(code):
                raise AssertionError("%r answered %r" % (command, line))
        s.sendall(b"Subject: pipelined %d\r\n\r\nbody\r\n.\r\nQUIT\r\n" % n)
    finally:
        s.close()


def pipelined_quit_load(port, sessions, parallel=16):
    """sessions of pipelined_quit_session, parallel at a time."""
    with concurrent.futures.ThreadPoolExecutor(parallel) as pool:
        for done in [pool.submit(pipelined_quit_session, port, n) for n in range(sessions)]:
            done.result()


@contextlib.contextmanager
def busy_cores(count=4, limit_s=240):
    """count processes that keep a core busy each while the block runs, and
    end by themselves after limit_s whatever happens to the test."""
    spin = "import time\nend = time.monotonic() + %d\nwhile time.monotonic() < end: pass\n" % limit_s
    procs = [subprocess.Popen([sys.executable, "-c", spin]) for _ in range(count)]
    try:
        yield
    finally:
        for p in procs:
            p.kill()
            p.wait()


class ProgramCase(unittest.TestCase):
    """Tests that share one program, started with `smtp_settings` in its
    [SMTP] section, for the whole class."""

    smtp_settings = ""

    @classmethod
    def setUpClass(cls):
        cls.program = SmtpProgram(extra_smtp=cls.smtp_settings).start()

    @classmethod
    def tearDownClass(cls):
        cls.program.stop()

    def clear_mail(self):
        for folder in ("in", "out"):
            for name in self.program.files(folder):
                os.remove(self.program.path(folder, name))


class Smarthost:
    """aiosmtpd requiring AUTH with the given mechanisms, refusing the
    recipients in the comma list refused, answering each final dot
    reply_delay seconds after it stored the message."""

    def __init__(self, user="relay", password="relaypw", mechanisms="LOGIN,PLAIN", refused="", reply_delay=0):
        self.dir = tempfile.mkdtemp(prefix="tw-smarthost-")
        self.proc = subprocess.Popen(
            ["/usr/bin/python3", os.path.join(HERE, "peers_smtp_smarthost.py"), self.dir, user, password, mechanisms,
             refused, str(reply_delay)],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        line = self.proc.stdout.readline().decode()
        if not line.startswith("PORT "):
            self.stop()
            raise AssertionError("smarthost did not start: " + line + self.proc.stderr.read().decode())
        self.port = int(line.split()[1])

    def messages(self):
        """[(envelope dict, data bytes)] in arrival order."""
        out = []
        for j in sorted(glob.glob(os.path.join(self.dir, "*.json"))):
            with open(j) as f:
                meta = json.load(f)
            with open(j[:-5] + ".eml", "rb") as f:
                out.append((meta, f.read()))
        return out

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for s in (self.proc.stdout, self.proc.stderr):
            if s:
                s.close()
        shutil.rmtree(self.dir, ignore_errors=True)
