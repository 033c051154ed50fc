"""A fault in a worker thread with EmailBugs off, on a display: the dialog
waits for a person, and its countdown continues the program after a minute.
The reporting bound must not end the server meanwhile: 75 s later it still
answers SMTP, and a stop signal then ends it within 10 s. A fault of the
main thread meanwhile gives the dialog up and ends the program. (Long: it
waits out the countdown; it is a test of its own so that it runs beside the
others.)"""

import os
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pop3_server_test  # noqa: E402
from orderly_exit_test import fault_pooled_worker, smtp_answers, tgkill  # noqa: E402
from peers_exit import Display, ExitProgram  # noqa: E402


def wait_for_dialog(display, timeout=60):
    """True once the crash dialog is on the display: a window whose title
    is the program's name."""
    title = '"%s": ("' % os.path.splitext(os.path.basename(pop3_server_test.BIN))[0]
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        tree = subprocess.run(["xwininfo", "-root", "-tree", "-display", display.name], capture_output=True,
                              text=True).stdout
        if title in tree:
            return True
        time.sleep(0.5)
    return False


class DialogWait(unittest.TestCase):
    def faulted_worker(self, email_bugs=False):
        """Starts the program under a display with the crash dialog on (or
        the report mailed) and faults one of its pooled threads; returns the
        program and its pid and the thread's id."""
        display = Display(tray=False)
        self.addCleanup(display.stop)
        program = ExitProgram(email_bugs=email_bugs, display=display)
        self.addCleanup(program.cleanup)
        program.start()
        pid, tid = fault_pooled_worker(self, program)
        return program, pid, tid

    def test_dialog_does_not_end_a_healthy_server(self):
        program, _, _ = self.faulted_worker()
        end = time.monotonic() + 75
        while time.monotonic() < end:
            self.assertIsNone(program.proc.poll(), program.stderr())
            time.sleep(1)
        self.assertTrue(smtp_answers(program.smtp_port))
        self.assertNotIn("did not finish in time", program.stderr())
        code, seconds = program.terminate(10)
        self.assertEqual(code, 0, program.stderr())

    def test_stop_while_the_dialog_is_open(self):
        program, pid, tid = self.faulted_worker()
        # The report is built and the dialog up well before then (the
        # faulting thread waits for the dialog to end).
        time.sleep(5)
        self.assertTrue(os.path.exists("/proc/%d/task/%d" % (pid, tid)))
        code, seconds = program.terminate(10)
        self.assertEqual(code, 0, program.stderr())

    def test_main_thread_fault_while_the_worker_is_reported(self):
        # The dialog needs the main thread, which waits in its fault handler
        # for the exception thread: the dialog is given up, and both reports
        # are saved. With the worker's report mailed, the main thread's is.
        for email_bugs, sig in ((False, signal.SIGABRT), (True, signal.SIGSEGV)):
            with self.subTest(email_bugs=email_bugs):
                program, pid, _ = self.faulted_worker(email_bugs)
                if email_bugs:
                    program.wait_for(lambda: any(n.endswith(".txt") for n in program.files("out")), timeout=60,
                                     what="the mailed report")
                else:
                    self.assertTrue(wait_for_dialog(program.display), "no dialog: " + program.stderr())
                time.sleep(1)
                tgkill(pid, pid, sig)
                try:
                    code = program.proc.wait(40)
                except subprocess.TimeoutExpired:
                    self.fail("still running 40 s after the main thread's fault: " + program.stderr())
                self.assertEqual(code, 1, program.stderr())
                self.assertIn(b"exception class   : %s\r\n" % sig.name.encode(), program.read("bugreport.txt"))
                # One line per saved report (the file keeps the newest that fit).
                saved = "crash report saved to " + program.path("bugreport.txt")
                self.assertEqual(program.stderr().count(saved), 1 if email_bugs else 2, program.stderr())


if __name__ == "__main__":
    if not pop3_server_test.BIN:
        print("TARNWICK_BIN not set")
        sys.exit(1)
    unittest.main(verbosity=2)
