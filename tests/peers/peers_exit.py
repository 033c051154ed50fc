"""Stopping the program as its users do, for the exit tests and the exit
stress script: the program with SMTP, POP3 and web mail on free ports, on a
temporary home, offscreen or on a private X server (Xvfb, with a window
manager and a tray host when they are installed), and one stop: SIGTERM,
then the exit code, the time it took and what the allocator or the
sanitizers said."""

import http.client
import os
import shutil
import signal
import smtplib
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pop3_server_test  # noqa: E402
from peers_smtp import Smarthost, SmtpProgram  # noqa: E402,F401
from peers_output import THREAD_WARNINGS  # noqa: E402
from pop3_server_test import free_port  # noqa: E402

# What must never appear on stderr at a stop.
BAD_OUTPUT = ("AddressSanitizer", "LeakSanitizer", "runtime error:", "malloc", "free():", "corrupted",
              "did not end in time", "did not finish in time") + THREAD_WARNINGS

ALICE_COOKIE = "u=alice&p=alicepw"


class Display:
    """A private X server; with tray=True also a window manager and a tray
    host, each when installed (openbox, trayer); with bus=True a private
    session bus whose tray is a desktop panel's status-notifier watcher."""

    def __init__(self, tray=True, bus=False):
        self.procs = []
        read, write = os.pipe()
        self.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-nolisten", "tcp", "-screen", "0",
                                      "1024x768x24"], pass_fds=(write,), stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        os.close(write)
        number = b""
        end = time.monotonic() + 30
        while not number.endswith(b"\n") and time.monotonic() < end:
            chunk = os.read(read, 16)
            if not chunk:
                break
            number += chunk
        os.close(read)
        if not number.strip():
            self.stop()
            raise AssertionError("Xvfb did not start")
        self.name = ":" + number.decode().strip()
        self.env = dict(os.environ, DISPLAY=self.name)
        self.tray = False
        if tray and shutil.which("openbox") and shutil.which("trayer"):
            self.procs.append(subprocess.Popen(["openbox", "--sm-disable"], env=self.env, stdout=subprocess.DEVNULL,
                                               stderr=subprocess.DEVNULL))
            self.procs.append(subprocess.Popen(["trayer", "--edge", "top", "--SetDockType", "true"], env=self.env,
                                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
            self.tray = True
            time.sleep(0.5)
        if bus:
            self.start_bus()

    def start_bus(self):
        read, write = os.pipe()
        self.procs.append(subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--nopidfile",
                                            "--print-address=%d" % write], pass_fds=(write,),
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        os.close(write)
        with os.fdopen(read, "rb") as f:
            address = f.readline().decode().strip()
        if not address:
            self.stop()
            raise AssertionError("dbus-daemon did not start")
        self.env["DBUS_SESSION_BUS_ADDRESS"] = address
        watcher = subprocess.Popen(["/usr/bin/python3", os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                                     "peers_tray_watcher.py")],
                                   env=self.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.procs.append(watcher)
        if watcher.stdout.readline().strip() != b"ready":
            self.stop()
            raise AssertionError("the tray watcher did not start")

    def stop(self):
        for p in reversed(self.procs + [self.xvfb]):
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(10)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()


class ExitProgram(SmtpProgram):
    """The program with web mail on; EmailBugs off shows the crash dialog
    instead of mailing the report."""

    def __init__(self, extra_smtp="", email_bugs=True, display=None, leaks=False):
        super().__init__(extra_smtp=extra_smtp)
        self.web_port = free_port()
        self.display = display
        self.leaks = leaks
        ini = self.path("tarnwick.ini")
        with open(ini) as f:
            text = f.read()
        text = text.replace("[Remote]\nEnabled=0\n", "[Remote]\nEnabled=1\nPort=%d\n" % self.web_port, 1)
        if not email_bugs:
            text = text.replace("[General]\n", "[General]\nEmailBugs=0\n", 1)
        with open(ini, "w") as f:
            f.write(text)
        self.runs = 0

    def start(self, wait_for_pop=True):
        env = dict(os.environ)
        runtime = os.path.join(self.home, "run")
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        env.update(TARNWICK_HOME=self.home, TARNWICK_BIND_ADDRESS="127.0.0.1", XDG_RUNTIME_DIR=runtime,
                   ASAN_OPTIONS="detect_leaks=%d" % self.leaks)
        if self.display is None:
            env["QT_QPA_PLATFORM"] = "offscreen"
            env.pop("DISPLAY", None)
        else:
            env["QT_QPA_PLATFORM"] = "xcb"
            env["DISPLAY"] = self.display.name
            if "DBUS_SESSION_BUS_ADDRESS" in self.display.env:
                env["DBUS_SESSION_BUS_ADDRESS"] = self.display.env["DBUS_SESSION_BUS_ADDRESS"]
        self.runs += 1
        self.stderr_path = os.path.join(self.home, "stderr%d.txt" % self.runs)
        self.err = open(self.stderr_path, "wb")
        self.proc = subprocess.Popen([pop3_server_test.BIN], env=env, stdout=subprocess.DEVNULL, stderr=self.err)
        self.wait_port(self.pop_port)
        self.wait_port(self.smtp_port)
        self.wait_port(self.web_port)
        return self

    def send_local(self, count=1):
        with smtplib.SMTP("127.0.0.1", self.smtp_port, timeout=30) as s:
            s.login("alice", "alicepw")
            for i in range(count):
                s.sendmail("alice@office.example", ["bob@office.example"],
                           b"Subject: stop %d\r\n\r\nbody\r\n" % i)

    def web_get(self, path, cookie=None):
        c = http.client.HTTPConnection("127.0.0.1", self.web_port, timeout=30)
        try:
            c.request("GET", path, headers={"Cookie": cookie} if cookie else {})
            r = c.getresponse()
            r.read()
            return r.status
        finally:
            c.close()

    def terminate(self, limit=10):
        """SIGTERM; (exit code or None when it had to be killed, seconds)."""
        start = time.monotonic()
        self.proc.send_signal(signal.SIGTERM)
        try:
            code = self.proc.wait(limit)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            code = None
        self.err.close()
        return code, time.monotonic() - start

    def problems(self):
        text = self.stderr()
        return [line for line in text.splitlines() if any(b in line for b in BAD_OUTPUT)]

    def cleanup(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        if self.proc and not self.err.closed:
            self.err.close()
        shutil.rmtree(self.home, ignore_errors=True)


def upload_in_background(port, size=40 << 20):
    """A web upload of `size` bytes streamed to the program; returns the
    thread (it ends when the connection does)."""

    def run():
        try:
            s = socket.create_connection(("127.0.0.1", port), timeout=30)
            s.sendall(b"POST /compose HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: " + ALICE_COOKIE.encode() +
                      b"\r\nContent-Type: multipart/form-data; boundary=XyZ\r\nContent-Length: %d\r\n\r\n" % size)
            chunk = b"--XyZ\r\nContent-Disposition: form-data; name=\"file\"; filename=\"a.bin\"\r\n\r\n"
            chunk += b"x" * (65536 - len(chunk))
            sent = 0
            while sent < size:
                s.sendall(chunk)
                sent += len(chunk)
            s.close()
        except OSError:
            pass  # the program went away mid-upload

    t = threading.Thread(target=run, daemon=True)
    t.start()
    return t


RELAY_SMTP = "Wait=2\nHost=127.0.0.1\nPort=%d\nStandard=0\nAuth=1\nLogin=relay\nPass=relaypw\n"


def queue_outside(program, count, tag="m"):
    with smtplib.SMTP("127.0.0.1", program.smtp_port, timeout=30) as s:
        s.login("alice", "alicepw")
        for i in range(count):
            s.sendmail("alice@office.example", ["x@far.example"],
                       b"Message-ID: <%s%d@office.example>\r\nSubject: out %d\r\n\r\nbody\r\n" % (tag.encode(), i, i))


def one_stop(mode="idle", display=None, leaks=False):
    """One run: start, one message, the web mail list with and without a
    cookie, a second, SIGTERM (in mode "sendrecv" during a relay run, in
    mode "upload" during a 40 MB web upload). leaks: the leak checker is on
    (a report makes the exit code 1). Returns (ok, text)."""
    smarthost = Smarthost() if mode == "sendrecv" else None
    program = ExitProgram(extra_smtp=RELAY_SMTP % smarthost.port if smarthost else "", display=display,
                          leaks=leaks)
    try:
        program.start()
        program.send_local()
        program.web_get("/webmaillist")
        program.web_get("/webmaillist", cookie=ALICE_COOKIE)
        if mode == "sendrecv":
            queue_outside(program, 30)
            end = time.monotonic() + 30
            while not smarthost.messages() and time.monotonic() < end:
                time.sleep(0.02)
        elif mode == "upload":
            upload_in_background(program.web_port)
            time.sleep(1)
        else:
            time.sleep(1)
        code, seconds = program.terminate(10)
        bad = program.problems()
        ok = code == 0 and not bad
        return ok, "exit %s after %.1f s%s" % (code, seconds, ("; " + " | ".join(bad[:3])) if bad else "")
    finally:
        program.cleanup()
        if smarthost:
            smarthost.stop()
