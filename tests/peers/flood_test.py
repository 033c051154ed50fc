"""One client or provider must not stop the program for the others: while a
client floods SMTP with pipelined commands it never reads the replies to,
and while a provider sends a UIDL listing of two million lines, new POP3 and
SMTP clients are greeted at once. Out of file descriptors, the program
waits instead of spinning and greets the waiting clients once descriptors
free up."""

import os
import resource
import socket
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pop3_server_test import BIN, write_pop  # noqa: E402
from peers_smtp import SmtpProgram  # noqa: E402

GREETING_LIMIT = 0.1


def greeting_time(port):
    start = time.monotonic()
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    try:
        s.recv(100)
        return time.monotonic() - start
    finally:
        s.close()


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class ListingProvider:
    """A POP3 provider whose UIDL listing has `count` lines; it closes the
    connection at the next command."""

    def __init__(self, count):
        self.count = count
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(1)
        self.port = self.sock.getsockname()[1]
        self.listing_started = threading.Event()
        self.listing_done = threading.Event()
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        try:
            conn, _ = self.sock.accept()
        except OSError:
            return
        f = conn.makefile("rb")
        conn.sendall(b"+OK ready\r\n")
        try:
            for reply in (b"+OK\r\n", b"+OK\r\n", b"+OK %d %d\r\n" % (self.count, self.count * 100)):
                f.readline()
                conn.sendall(reply)
            f.readline()  # LIST, refused: the listing is UIDL's
            conn.sendall(b"-ERR\r\n")
            f.readline()  # UIDL
            conn.sendall(b"+OK\r\n")
            self.listing_started.set()
            batch = 20000
            for start in range(1, self.count + 1, batch):
                conn.sendall(b"".join(b"%d uid-%08d\r\n" % (n, n)
                                      for n in range(start, min(start + batch, self.count + 1))))
            conn.sendall(b".\r\n")
            self.listing_done.set()
            f.readline()
        except OSError:
            pass
        finally:
            self.listing_done.set()
            conn.close()

    def stop(self):
        self.sock.close()


class Flood(unittest.TestCase):
    def assert_greeted_quickly(self, program, while_running, rounds=20):
        times = []
        while while_running() and len(times) < rounds:
            times.append(greeting_time(program.smtp_port))
            times.append(greeting_time(program.pop_port))
            time.sleep(0.05)
        self.assertGreaterEqual(len(times), 6, "the flood ended before it could be measured")
        # A frozen loop holds every greeting for seconds. On a busy machine a
        # single greeting may wait for a core now and then, so the limit
        # holds for nine in ten, and none may take ten times as long.
        times.sort()
        self.assertLess(times[len(times) * 9 // 10 - 1], GREETING_LIMIT, times)
        self.assertLess(times[-1], 10 * GREETING_LIMIT, times)

    def test_pipelined_commands_without_reading(self):
        program = SmtpProgram().start()
        try:
            flooder = socket.create_connection(("127.0.0.1", program.smtp_port), timeout=30)
            flooder.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            data = b"NOOP\r\n" * (5 * 1024 * 1024 // 6)
            sent = {"n": 0}

            def flood():
                view = memoryview(data)
                try:
                    while sent["n"] < len(data):
                        sent["n"] += flooder.send(view[sent["n"]:sent["n"] + 65536])
                except OSError:
                    pass

            t = threading.Thread(target=flood, daemon=True)
            t.start()
            time.sleep(0.5)
            self.assert_greeted_quickly(program, lambda: True)
            # The flooder is held back: far from all of it has been taken.
            self.assertLess(sent["n"], len(data))
            # Reading the replies lets it go on.
            flooder.settimeout(0.5)
            got = b""
            end = time.time() + 30
            while time.time() < end and got.count(b"250 OK\r\n") <= 10000:
                try:
                    got += flooder.recv(1 << 20)
                except socket.timeout:
                    pass
            self.assertGreater(got.count(b"250 OK\r\n"), 10000)
            flooder.close()
        finally:
            program.stop()

    def test_long_uidl_listing(self):
        provider = ListingProvider(2000000)
        program = SmtpProgram()
        ini = program.path("tarnwick.ini")
        with open(ini) as f:
            text = f.read()
        with open(ini, "w") as f:
            f.write(text.replace("OnStartup=0", "OnStartup=1")
                        .replace("[POP]\n", "[POP]\nbig_port=%d\n" % provider.port, 1))
        write_pop(program.home, [("big", "127.0.0.1", "u", "p", True, False, 0, "alice")])
        program.start()
        try:
            self.assertTrue(provider.listing_started.wait(60), "the collection never asked for the listing")
            self.assert_greeted_quickly(program, lambda: not provider.listing_done.is_set())
            self.assertTrue(provider.listing_done.wait(120))
        finally:
            program.stop()
            provider.stop()

    def test_out_of_descriptors(self):
        # UBSan's check of dynamic types reads /proc/self/maps when it meets a
        # type for the first time; out of descriptors that read fails and the
        # check ends the process. So this runs against builds without it
        # (TARNWICK_BIN=build/tarnwick python3 tests/peers/flood_test.py).
        imports = subprocess.run(["nm", "-D", "--undefined-only", BIN], capture_output=True).stdout
        if b"__ubsan_handle_dynamic_type_cache_miss" in imports:
            self.skipTest("the sanitizer cannot run out of descriptors")
        program = SmtpProgram()
        limit = 128

        def low_limit():
            resource.setrlimit(resource.RLIMIT_NOFILE, (limit, limit))

        # The same start as Program.start, with a low descriptor limit.
        env = dict(os.environ)
        runtime = os.path.join(program.home, "run")
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        env.update(TARNWICK_HOME=program.home, TARNWICK_BIND_ADDRESS="127.0.0.1", XDG_RUNTIME_DIR=runtime,
                   QT_QPA_PLATFORM="offscreen", ASAN_OPTIONS="detect_leaks=0")
        program.err = open(program.stderr_path, "wb")
        program.proc = subprocess.Popen([BIN], env=env, stdout=subprocess.DEVNULL, stderr=program.err,
                                        preexec_fn=low_limit)
        try:
            program.wait_port(program.pop_port)
            program.wait_port(program.smtp_port)
            clients = []
            for _ in range(limit + 40):
                s = socket.create_connection(("127.0.0.1", program.smtp_port), timeout=10)
                s.settimeout(0.5)
                clients.append(s)

            def greeted(s):
                try:
                    return s.recv(100).startswith(b"220")
                except socket.timeout:
                    return False
                except ConnectionResetError:
                    # Taken from the queue when no descriptor was left to
                    # serve it: dropped, not waiting.
                    return None

            answers = [(s, greeted(s)) for s in clients]
            waiting = [s for s, a in answers if a is False]
            self.assertTrue(waiting, "every client got a descriptor")
            # Out of descriptors, the program waits rather than spins.
            before = cpu_seconds(program.proc.pid)
            time.sleep(2)
            self.assertLess(cpu_seconds(program.proc.pid) - before, 0.8)
            for s in clients[:60]:
                if s not in waiting:
                    s.close()
            # Freed descriptors serve clients again: those that waited (or,
            # when one came while none was left to set it up, drop it) and
            # then new ones.
            for s in waiting:
                s.settimeout(10)
                greeted(s)
            for _ in range(5):
                s = socket.create_connection(("127.0.0.1", program.smtp_port), timeout=10)
                clients.append(s)
                self.assertTrue(greeted(s))
            for s in clients:
                s.close()
            self.assertIn(b"Out of file descriptors", program.read("smtpsvr.log"))
        finally:
            program.stop()


if __name__ == "__main__":
    if not BIN:
        print("TARNWICK_BIN not set")
        sys.exit(1)
    unittest.main(verbosity=2)
