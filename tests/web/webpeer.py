"""Shared set-up of the web server's end-to-end tests: a private program
directory with users and settings, the program started on it with the web
server on a free loopback port, and plain HTTP helpers (urllib and raw
sockets) that never follow redirects or keep connections."""
import base64
import hashlib
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request
import warnings

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "peers"))
from peers_output import thread_warnings  # noqa: E402
from peers_ports import free_port  # noqa: E402

BIN = os.environ.get("TARNWICK_BIN", "")
BINARY_DIR = os.environ.get("TW_BINARY_DIR", "")


def encipher(plain):
    """The stored-password scheme of [Remote] Login/PW: Blowfish keyed by the
    SHA-1 of the pass phrase, 8-bit cipher feedback from the encrypted zero
    block, Base64 text."""
    if not plain:
        return ""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        from cryptography.hazmat.primitives.ciphers import Cipher, modes
        try:
            from cryptography.hazmat.decrepit.ciphers.algorithms import Blowfish
        except ImportError:
            from cryptography.hazmat.primitives.ciphers.algorithms import Blowfish
        enc = Cipher(Blowfish(hashlib.sha1(b"tremvoxa").digest()), modes.ECB()).encryptor()
    cv = enc.update(bytes(8))
    out = bytearray()
    for byte in plain.encode("latin-1"):
        o = byte ^ enc.update(cv)[0]
        cv = cv[1:] + bytes([o])
        out.append(o)
    return base64.b64encode(bytes(out)).decode()




def adduser_bin():
    return os.path.join(os.path.dirname(BIN), "tarnwick-adduser")


class Server:
    """The program on a fresh home. users: {name: password}."""

    def __init__(self, users, admin=None, remote_extra="", ini_extra=""):
        self.root = tempfile.mkdtemp(prefix="tw_web_")
        self.home = os.path.join(self.root, "home")
        self.outside = os.path.join(self.root, "outside")
        os.makedirs(self.home)
        os.makedirs(self.outside)
        runtime = os.path.join(self.root, "runtime")
        os.mkdir(runtime, 0o700)
        self.port = free_port()
        remote = "[Remote]\nEnabled=1\nPort=%d\n" % self.port
        if admin:
            remote += "Login=%s\nPW=%s\n" % (encipher(admin[0]), encipher(admin[1]))
        remote += remote_extra
        self.smtp_port, self.pop_port = free_port(), free_port()
        with open(os.path.join(self.home, "tarnwick.ini"), "w") as f:
            f.write("[SMTP]\nLocalPort=%d\n[POP]\nLocalPort=%d\n%s%s" % (self.smtp_port, self.pop_port, remote, ini_extra))
        for name, password in users.items():
            subprocess.run([adduser_bin(), self.home, name, password], check=True)
        self.env = dict(os.environ)
        self.env.update({
            "TARNWICK_HOME": self.home,
            "TARNWICK_BIND_ADDRESS": "127.0.0.1",
            "HOME": self.outside,
            "XDG_RUNTIME_DIR": runtime,
            "XDG_CONFIG_HOME": os.path.join(self.outside, "config"),
            "XDG_CACHE_HOME": os.path.join(self.outside, "cache"),
            "TMPDIR": os.path.join(self.outside, "tmp"),
            "QT_QPA_PLATFORM": "offscreen",
        })
        self.env.pop("DISPLAY", None)
        self.proc = None

    def start(self):
        self.proc = subprocess.Popen([BIN], cwd=self.outside, env=self.env,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        end = time.monotonic() + 30
        while time.monotonic() < end:
            if self.proc.poll() is not None:
                raise RuntimeError("program ended: %r" % self.proc.stdout.read())
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.5).close()
                return self
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("web server did not open")

    def stop(self):
        out = b""
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                out, _ = self.proc.communicate(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                out, _ = self.proc.communicate()
        shutil.rmtree(self.root, ignore_errors=True)
        if thread_warnings(out):
            raise AssertionError("thread warnings:\n" + "\n".join(thread_warnings(out)[:5]))
        return out

    def path(self, *parts):
        return os.path.join(self.home, *parts)

    def write_message(self, folder, name, text, mtime=None):
        os.makedirs(self.path(folder), exist_ok=True)
        p = self.path(folder, name)
        with open(p, "wb") as f:
            f.write(text.encode("latin-1") if isinstance(text, str) else text)
        if mtime is not None:
            os.utime(p, (mtime, mtime))
        return p

    # --- HTTP ---------------------------------------------------------------

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def get(self, path, cookie=None, headers=None):
        """(status, headers, body bytes)"""
        req = urllib.request.Request(self.url(path), headers=dict(headers or {}))
        if cookie:
            req.add_header("Cookie", cookie)
        with urllib.request.urlopen(req, timeout=15) as r:
            return r.status, r.headers, r.read()

    def post_form(self, path, fields, cookie=None):
        data = urllib.parse.urlencode(fields).encode()
        req = urllib.request.Request(self.url(path), data=data)
        if cookie:
            req.add_header("Cookie", cookie)
        with urllib.request.urlopen(req, timeout=15) as r:
            return r.status, r.headers, r.read()

    def post_multipart(self, path, fields, files=(), cookie=None, timeout=15):
        """fields: [(name, value)], files: [(field, filename, bytes)]"""
        boundary = "----twtestboundary7MA4YWxkTrZu0gW"
        body = b""
        for name, value in fields:
            body += ("--%s\r\nContent-Disposition: form-data; name=\"%s\"\r\n\r\n" % (boundary, name)).encode()
            body += (value.encode("latin-1") if isinstance(value, str) else value) + b"\r\n"
        for field, filename, data in files:
            body += ("--%s\r\nContent-Disposition: form-data; name=\"%s\"; filename=\"%s\"\r\n"
                     "Content-Type: application/octet-stream\r\n\r\n" % (boundary, field, filename)).encode()
            body += data + b"\r\n"
        body += ("--%s--\r\n" % boundary).encode()
        req = urllib.request.Request(self.url(path), data=body)
        req.add_header("Content-Type", "multipart/form-data; boundary=" + boundary)
        if cookie:
            req.add_header("Cookie", cookie)
        with urllib.request.urlopen(req, timeout=timeout) as r:
            return r.status, r.headers, r.read()

    def raw(self, chunks, pause=0.0, timeout=15):
        """Sends the chunks over one connection (pausing between them) and
        returns everything the server sent until it closed."""
        s = socket.create_connection(("127.0.0.1", self.port), timeout=timeout)
        try:
            for i, c in enumerate(chunks):
                if i and pause:
                    time.sleep(pause)
                s.sendall(c)
            data = b""
            while True:
                try:
                    got = s.recv(65536)
                except ConnectionResetError:
                    break
                if not got:
                    break
                data += got
            return data
        finally:
            s.close()


def body_of(response):
    head, _, body = response.partition(b"\r\n\r\n")
    return head, body
