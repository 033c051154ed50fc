"""A fault in a worker thread with EmailBugs off, on a display: the dialog
waits for a person, and its countdown continues the program after a minute.
The reporting bound must not end the server meanwhile: 75 s later it still
answers SMTP, and a stop signal then ends it within 10 s. (Long: it waits
out the countdown; it is a test of its own so that it runs beside the others.)"""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pop3_server_test  # noqa: E402
from orderly_exit_test import fault_pooled_worker, smtp_answers  # noqa: E402
from peers_exit import Display, ExitProgram  # noqa: E402


class DialogWait(unittest.TestCase):
    def faulted_worker(self):
        """Starts the program under a display with the crash dialog on and
        faults one of its pooled threads; returns the program and its pid
        and the thread's id."""
        display = Display(tray=False)
        self.addCleanup(display.stop)
        program = ExitProgram(email_bugs=False, display=display)
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


if __name__ == "__main__":
    if not pop3_server_test.BIN:
        print("TARNWICK_BIN not set")
        sys.exit(1)
    unittest.main(verbosity=2)
