"""Headless Chromium driven over its DevTools protocol, with nothing but the
standard library: the browser is started with a private profile and a
debugging port on 127.0.0.1, and one page is driven through a small
WebSocket client (navigate, evaluate script, screenshot)."""
import base64
import json
import os
import socket
import struct
import subprocess
import time
import urllib.request

CHROMIUM = "/usr/bin/chromium"


class Browser:
    def __init__(self, workdir, env=None):
        self.profile = os.path.join(workdir, "chromium-profile")
        os.makedirs(self.profile, exist_ok=True)
        env = dict(env or os.environ)
        env["TMPDIR"] = workdir
        self.proc = subprocess.Popen(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--disable-default-apps", "--disable-extensions", "--user-data-dir=" + self.profile,
             "--remote-debugging-address=127.0.0.1", "--remote-debugging-port=0",
             "--window-size=1280,800", "about:blank"],
            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        port_file = os.path.join(self.profile, "DevToolsActivePort")
        end = time.monotonic() + 60
        while not (os.path.exists(port_file) and open(port_file).read().count("\n") >= 1):
            if time.monotonic() > end or self.proc.poll() is not None:
                raise RuntimeError("chromium did not start")
            time.sleep(0.1)
        port = int(open(port_file).read().split("\n")[0])
        pages = []
        while not pages:
            with urllib.request.urlopen("http://127.0.0.1:%d/json/list" % port, timeout=10) as r:
                pages = [p for p in json.load(r) if p.get("type") == "page"]
            if not pages:
                time.sleep(0.1)
        url = pages[0]["webSocketDebuggerUrl"]
        self.sock = self._connect(url)
        self.next_id = 0

    def close(self):
        try:
            self.sock.close()
        finally:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    # --- WebSocket (RFC 6455), client side ----------------------------------

    @staticmethod
    def _connect(url):
        rest = url.split("://", 1)[1]
        hostport, path = rest.split("/", 1)
        host, port = hostport.split(":")
        s = socket.create_connection((host, int(port)), timeout=60)
        key = base64.b64encode(os.urandom(16)).decode()
        s.sendall(("GET /%s HTTP/1.1\r\nHost: %s\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                   "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n" % (path, hostport, key)).encode())
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = s.recv(1)
            if not chunk:
                raise RuntimeError("websocket handshake failed")
            head += chunk
        if b" 101 " not in head.split(b"\r\n")[0]:
            raise RuntimeError("websocket refused: %r" % head)
        return s

    def _send(self, text):
        payload = text.encode()
        header = bytearray([0x81])
        n = len(payload)
        if n < 126:
            header.append(0x80 | n)
        elif n < 65536:
            header.append(0x80 | 126)
            header += struct.pack(">H", n)
        else:
            header.append(0x80 | 127)
            header += struct.pack(">Q", n)
        mask = os.urandom(4)
        header += mask
        self.sock.sendall(bytes(header) + bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))

    def _exact(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise RuntimeError("websocket closed")
            data += chunk
        return data

    def _receive(self):
        message = b""
        while True:
            b0, b1 = self._exact(2)
            n = b1 & 0x7F
            if n == 126:
                n = struct.unpack(">H", self._exact(2))[0]
            elif n == 127:
                n = struct.unpack(">Q", self._exact(8))[0]
            payload = self._exact(n)
            opcode = b0 & 0x0F
            if opcode == 0x8:
                raise RuntimeError("websocket closed by the browser")
            if opcode in (0x9, 0xA):
                continue
            message += payload
            if b0 & 0x80:
                return json.loads(message.decode())

    # --- DevTools ----------------------------------------------------------------

    def call(self, method, **params):
        self.next_id += 1
        my_id = self.next_id
        self._send(json.dumps({"id": my_id, "method": method, "params": params}))
        while True:
            msg = self._receive()
            if msg.get("id") == my_id:
                if "error" in msg:
                    raise RuntimeError("%s: %s" % (method, msg["error"]))
                return msg.get("result", {})

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in result:
            raise RuntimeError("script failed: %s" % result["exceptionDetails"])
        return result["result"].get("value")

    def wait_for(self, expression, timeout=15):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            try:
                if self.evaluate(expression):
                    return True
            except RuntimeError:
                pass
            time.sleep(0.1)
        return False

    def navigate(self, url, settle=0.5):
        self.call("Page.navigate", url=url)
        time.sleep(0.2)
        self.wait_for("document.readyState == 'complete'")
        time.sleep(settle)

    def screenshot(self, path):
        data = self.call("Page.captureScreenshot", format="png")["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))
