"""A crash in the running program, end to end: a fault in one of its worker
threads is reported, the report is mailed through the program's own SMTP
server and lies queued in out/, and the program goes on serving."""

import ctypes
import os
import poplib
import signal
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from peers_smtp import BIN, SmtpProgram  # noqa: E402

SYS_TGKILL = 234  # x86-64


def tgkill(pid, tid, sig):
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.syscall(SYS_TGKILL, pid, tid, sig) != 0:
        raise OSError(ctypes.get_errno(), "tgkill")


def worker_thread(pid):
    """A thread of the program's own pool, never the main thread."""
    for tid in sorted(int(t) for t in os.listdir("/proc/%d/task" % pid)):
        with open("/proc/%d/task/%d/comm" % (pid, tid)) as f:
            if tid != pid and f.read().strip() == "Thread (pooled)":
                return tid
    return None


class CrashMail(unittest.TestCase):
    def test_fault_in_a_worker_is_mailed_through_our_own_server(self):
        program = SmtpProgram().start()
        try:
            pid = program.proc.pid
            tid = worker_thread(pid)
            if tid is None:
                self.skipTest("the program has no pooled worker thread to fault")
            tgkill(pid, tid, signal.SIGSEGV)

            def report_queued():
                for name in program.files("out"):
                    if name.endswith(".txt") and b"exception class   : SIGSEGV" in program.read("out", name):
                        return True
                return False

            program.wait_for(report_queued, timeout=60, what="the crash report in the outbox")
            name = next(n for n in program.files("out") if n.endswith(".txt"))
            text = program.read("out", name)
            self.assertIn(b"To: <bugs@velmarsh.example>", text)
            self.assertIn(b"Subject: =?UTF-8?Q?tarnwick=20error=20report?=", text)
            self.assertIn(b"\r\nThread (pooled) ($%x):\r\n" % tid, text)
            self.assertIn(b"\r\nmain thread:\r\n", text)
            self.assertTrue(text.endswith(b"\r\n.\r\n"))

            # The faulting worker ended; the program serves on.
            self.assertIsNone(program.proc.poll())
            p = poplib.POP3("127.0.0.1", program.pop_port, timeout=15)
            p.user("alice")
            p.pass_("alicepw")
            p.quit()
        finally:
            program.stop()


if __name__ == "__main__":
    if not BIN:
        print("TARNWICK_BIN not set")
        sys.exit(1)
    unittest.main(verbosity=2)
