#!/usr/bin/python3
"""Start-up and shut-down of the program on an empty program directory:
the folder tree, one copy per home, and a clean end on SIGTERM."""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from peers_ports import free_port  # noqa: E402

BIN = os.environ.get("TARNWICK_BIN", "")
FOLDERS = ["Addins", "in", "out", "Spam1", "Spam2", "Deleted", "WebDeleted", "WebSent", "WebSaved"]




def snapshot(root):
    found = set()
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            found.add(os.path.relpath(os.path.join(dirpath, name), root))
    return found


class Startup(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="tw_startup_")
        self.home = os.path.join(self.root, "home")
        self.outside = os.path.join(self.root, "outside")
        os.mkdir(self.home)
        os.mkdir(self.outside)
        # Everything the program could write to besides its home points
        # into `outside`, which must stay empty.
        self.env = dict(os.environ)
        self.env.update({
            "TARNWICK_HOME": self.home,
            "HOME": self.outside,
            "XDG_CONFIG_HOME": os.path.join(self.outside, "config"),
            "XDG_CACHE_HOME": os.path.join(self.outside, "cache"),
            "XDG_DATA_HOME": os.path.join(self.outside, "data"),
            "TMPDIR": os.path.join(self.outside, "tmp"),
            "QT_QPA_PLATFORM": "offscreen",
            # Its servers listen on the loopback address only.
            "TARNWICK_BIND_ADDRESS": "127.0.0.1",
        })
        # No desktop session: the program keeps Qt's runtime files at home.
        self.env.pop("XDG_RUNTIME_DIR", None)
        self.env.pop("DISPLAY", None)
        self.env.pop("WAYLAND_DISPLAY", None)
        self.procs = []

    def tearDown(self):
        for p in self.procs:
            if p.poll() is None:
                p.kill()
                p.wait()
        shutil.rmtree(self.root, ignore_errors=True)

    def start(self):
        p = subprocess.Popen([BIN], cwd=self.outside, env=self.env,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.procs.append(p)
        return p

    def wait_for_folders(self, p, limit=20.0):
        end = time.monotonic() + limit
        while time.monotonic() < end:
            if all(os.path.isdir(os.path.join(self.home, f)) for f in FOLDERS):
                return True
            if p.poll() is not None:
                return False
            time.sleep(0.05)
        return False

    def test_folders_single_instance_and_sigterm(self):
        first = self.start()
        self.assertTrue(self.wait_for_folders(first),
                        "folders missing; output: %r" % (first.stdout.read() if first.poll() is not None else b""))
        time.sleep(0.3)
        self.assertIsNone(first.poll(), "the program ended by itself")

        second = self.start()
        out, _ = second.communicate(timeout=30)
        self.assertNotEqual(second.returncode, 0)
        self.assertIn(b"Application is running already.", out)
        self.assertIsNone(first.poll(), "the second start stopped the first")

        first.send_signal(signal.SIGTERM)
        out, _ = first.communicate(timeout=30)
        self.assertEqual(first.returncode, 0, out)

        self.assertEqual(snapshot(self.outside), set(), "written outside the program directory")
        self.assertNotIn(b"XDG_RUNTIME_DIR not set", out)
        for f in FOLDERS:
            self.assertTrue(os.path.isdir(os.path.join(self.home, f)), f)

    def test_cycle_on_startup(self):
        with open(os.path.join(self.home, "tarnwick.ini"), "w") as f:
            f.write("[Connect]\nOnStartup=1\n[POP]\nLocalPort=%d\n[SMTP]\nLocalPort=%d\n"
                    % (free_port(), free_port()))
        p = self.start()
        log = os.path.join(self.home, "connect.log")
        end = time.monotonic() + 20
        text = b""
        while time.monotonic() < end and p.poll() is None:
            if os.path.exists(log):
                with open(log, "rb") as f:
                    text = f.read()
                if b"Using DSL/LAN connection...\r\n" in text:
                    break
            time.sleep(0.1)
        # The settings file above is readable by all: the program says first
        # that it took that away.
        self.assertRegex(text, rb"^(Access of other users taken away from [^\r\n]*\r\n)?"
                               rb"\d\d:\d\d: Starting connection\r\nUsing DSL/LAN connection\.\.\.\r\n")
        self.assertIsNone(p.poll(), "the program ended during its cycle")
        p.send_signal(signal.SIGTERM)
        p.communicate(timeout=30)
        self.assertEqual(p.returncode, 0)

    def test_fresh_home_relay_run_and_exit_log_no_failure(self):
        with open(os.path.join(self.home, "tarnwick.ini"), "w") as f:
            f.write("[Connect]\nOnStartup=1\n[General]\nLogging2=1\n[POP]\nLocalPort=%d\n[SMTP]\nLocalPort=%d\n"
                    % (free_port(), free_port()))
        p = self.start()
        log = os.path.join(self.home, "smtp.log")
        end = time.monotonic() + 30
        while time.monotonic() < end and p.poll() is None:
            if os.path.exists(log):
                with open(log, "rb") as f:
                    if b"no mail to deliver" in f.read():
                        break
            time.sleep(0.1)
        p.send_signal(signal.SIGTERM)
        out, _ = p.communicate(timeout=30)
        self.assertEqual(p.returncode, 0, out)
        logs = b""
        for name in ("smtp.log", "smtpsvr.log"):
            if os.path.exists(os.path.join(self.home, name)):
                with open(os.path.join(self.home, name), "rb") as f:
                    logs += f.read()
        self.assertIn(b"no mail to deliver", logs)
        self.assertNotIn(b"Could not write ports.dat", logs)

    def test_loose_files_are_reported_in_one_line(self):
        os.makedirs(os.path.join(self.home, "in"))
        for n in range(40):
            with open(os.path.join(self.home, "in", "bob_%d.dat" % n), "wb") as f:
                f.write(b"Subject: %d\r\n\r\nbody\r\n.\r\n" % n)
            os.chmod(os.path.join(self.home, "in", "bob_%d.dat" % n), 0o644)
        os.chmod(os.path.join(self.home, "in"), 0o755)
        p = self.start()
        self.assertTrue(self.wait_for_folders(p))
        p.send_signal(signal.SIGTERM)
        out, _ = p.communicate(timeout=30)
        self.assertEqual(p.returncode, 0, out)
        lines = [l for l in out.splitlines() if b"Access of other users taken away" in l]
        self.assertEqual(lines, [b"tarnwick: Access of other users taken away from 41 files and folders: in (41)"])

    def test_sigint_during_startup_still_ends_cleanly(self):
        p = self.start()
        self.assertTrue(self.wait_for_folders(p))
        p.send_signal(signal.SIGINT)
        p.communicate(timeout=30)
        self.assertEqual(p.returncode, 0)


if __name__ == "__main__":
    if not BIN or not os.access(BIN, os.X_OK):
        print("TARNWICK_BIN does not name the program", file=sys.stderr)
        sys.exit(1)
    unittest.main(verbosity=2)
