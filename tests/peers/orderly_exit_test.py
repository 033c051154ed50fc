"""Orderly exits of the running program: a stop signal ends it with exit code
0 within seconds and nothing from the allocator or the sanitizers, what the
relay had batched in memory reaches ports.dat, a fault it survived does not
hold the exit, a fault that stops the main thread leaves a saved report, and
a display that goes away ends the program. A few stops of each kind run
here; bench/exit_stress.py runs hundreds."""

import collections
import ctypes
import os
import signal
import smtplib
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pop3_server_test  # noqa: E402
from peers_exit import RELAY_SMTP, Display, ExitProgram, Smarthost, one_stop, queue_outside  # noqa: E402

SYS_TGKILL = 234  # x86-64


def pooled_thread(pid, timeout=15):
    """A thread of the program's own pool (they come and go with work)."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        for tid in sorted(int(t) for t in os.listdir("/proc/%d/task" % pid)):
            try:
                with open("/proc/%d/task/%d/comm" % (pid, tid)) as f:
                    if tid != pid and f.read().strip() == "Thread (pooled)":
                        return tid
            except OSError:
                pass
        time.sleep(0.1)
    return None


def tgkill(pid, tid, sig):
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.syscall(SYS_TGKILL, pid, tid, sig) != 0:
        raise OSError(ctypes.get_errno(), "tgkill")


def fault_pooled_worker(test, program):
    """Faults one pooled thread of the started program with SIGSEGV and
    returns its pid and the thread's id; skips the test when no pool
    thread shows up."""
    pid = program.proc.pid
    tid = pooled_thread(pid)
    if tid is None:
        test.skipTest("no pooled worker thread to fault")
    tgkill(pid, tid, signal.SIGSEGV)
    return pid, tid


def smtp_answers(port):
    with smtplib.SMTP("127.0.0.1", port, timeout=20) as s:
        return s.noop()[0] == 250


class StopSignal(unittest.TestCase):
    def test_stops_exit_cleanly_in_time(self):
        for mode in ("idle", "sendrecv", "upload"):
            with self.subTest(mode=mode):
                for _ in range(2):
                    ok, text = one_stop(mode)
                    self.assertTrue(ok, text)

    def test_stops_under_a_display_exit_cleanly_in_time(self):
        display = Display(tray=True)
        try:
            for _ in range(2):
                ok, text = one_stop("idle", display)
                self.assertTrue(ok, text)
        finally:
            display.stop()

    def test_stop_with_the_tray_on_the_desktop_bus_reports_no_leak(self):
        # A desktop panel's tray is reached over the session bus; what the
        # bus libraries keep for the process's life is no leak of ours.
        display = Display(tray=True, bus=True)
        try:
            ok, text = one_stop("idle", display, leaks=True)
            self.assertTrue(ok, text)
        finally:
            display.stop()

    def test_stop_during_a_relay_run_keeps_its_marks(self):
        # A run over many queued messages is cut by SIGTERM: the marks of
        # those already sent are flushed at the stop, so the next run sends
        # none of them again (only the one in flight may go twice).
        smarthost = Smarthost()
        program = ExitProgram(extra_smtp=RELAY_SMTP % smarthost.port)
        try:
            program.start()
            queue_outside(program, 60)
            program.wait_for(lambda: len(smarthost.messages()) >= 10, timeout=60, what="the relay run")
            code, seconds = program.terminate(10)
            self.assertEqual(code, 0, program.stderr())
            first = len(smarthost.messages())
            self.assertLess(first, 60, "the run ended before the stop; nothing was tested")
            # No record is left of a message that went (its file is gone).
            files = [n.lower() for n in program.files("out")]
            left = [s for s in program.ports() if not any(n.startswith(s.lower() + ".") for n in files)]
            self.assertEqual(left, [])

            program.start()
            queue_outside(program, 1, tag="trigger")
            program.wait_for(lambda: program.files("out") == [] and program.ports() == {}, timeout=60,
                             what="the queue to drain")
            ids = collections.Counter()
            for meta, data in smarthost.messages():
                for line in data.split(b"\r\n"):
                    if line.lower().startswith(b"message-id:"):
                        ids[line.split(b":", 1)[1].strip()] += 1
            self.assertEqual(len(ids), 61)
            twice = [i for i, n in ids.items() if n > 1]
            self.assertLessEqual(len(twice), 1, "sent again after the stop: %r" % twice)
            code, _ = program.terminate(10)
            self.assertEqual(code, 0)
        finally:
            program.cleanup()
            smarthost.stop()

    def test_stop_while_the_final_dot_awaits_its_reply_sends_once(self):
        # The provider stores the message and takes its time to say so; the
        # stop comes in between. The exit waits for that reply, so the next
        # start does not send the message again.
        smarthost = Smarthost(reply_delay=1)
        program = ExitProgram(extra_smtp=RELAY_SMTP % smarthost.port)
        try:
            program.start()
            queue_outside(program, 1)
            program.wait_for(lambda: smarthost.messages(), timeout=60, what="the message at the smarthost")
            code, _ = program.terminate(10)
            self.assertEqual(code, 0, program.stderr())

            program.start()
            queue_outside(program, 1, tag="trigger")
            program.wait_for(lambda: program.files("out") == [] and program.ports() == {}, timeout=60,
                             what="the queue to drain")
            ids = [line.split(b":", 1)[1].strip() for _, data in smarthost.messages()
                   for line in data.split(b"\r\n") if line.lower().startswith(b"message-id:")]
            self.assertEqual(sorted(ids), [b"<m0@office.example>", b"<trigger0@office.example>"])
            code, _ = program.terminate(10)
            self.assertEqual(code, 0)
        finally:
            program.cleanup()
            smarthost.stop()

    def test_display_going_away_ends_the_program(self):
        # The X server stops (a log-out, an X crash): the program ends by
        # itself and leaves its ports and its instance lock to the next start.
        display = Display(tray=False)
        self.addCleanup(display.stop)
        program = ExitProgram(display=display)
        self.addCleanup(program.cleanup)
        program.start()
        program.send_local()
        display.stop()
        try:
            program.proc.wait(15)
        except subprocess.TimeoutExpired:
            self.fail("still running 15 s after the display went away: " + program.stderr())
        program.err.close()
        program.display = None
        program.start()
        self.assertTrue(smtp_answers(program.smtp_port))
        code, _ = program.terminate(10)
        self.assertEqual(code, 0, program.stderr())


class FaultsAndExit(unittest.TestCase):
    def test_worker_fault_survived_then_stop_in_time(self):
        program = ExitProgram()
        try:
            program.start()
            fault_pooled_worker(self, program)
            program.wait_for(lambda: any(n.endswith(".txt") for n in program.files("out")), timeout=60,
                             what="the mailed report")
            name = next(n for n in program.files("out") if n.endswith(".txt"))
            self.assertIn(b"Signal SIGSEGV sent by process %d." % os.getpid(), program.read("out", name))
            self.assertTrue(smtp_answers(program.smtp_port))
            code, seconds = program.terminate(10)
            self.assertEqual(code, 0, program.stderr())
            self.assertLess(seconds, 10)
        finally:
            program.cleanup()

    def test_fault_of_the_held_main_thread_is_saved(self):
        # The main thread, held in its own fault, leaves the probe of the
        # report unanswered; it is asked nothing more, so the program ends
        # as soon as the report is saved, not a probe's time later.
        program = ExitProgram()
        try:
            program.start()
            # Idle: the main thread waits in its event loop, in no event.
            time.sleep(1)
            os.kill(program.proc.pid, signal.SIGSEGV)
            end = time.monotonic() + 120
            while program.proc.poll() is None and time.monotonic() < end:
                if "crash report saved to" in program.stderr():
                    break
                time.sleep(0.05)
            saved = time.monotonic()
            code = program.proc.wait(max(1, end - saved))
            self.assertEqual(code, 1)
            self.assertLess(time.monotonic() - saved, 1, "the report was saved, the exit came later")
            path = program.path("bugreport.txt")
            self.assertTrue(os.path.exists(path), "%s %s" % (program.files("out"), program.stderr()))
            report = program.read("bugreport.txt")
            for label in (b"date/time         : ", b"computer name     : ", b"exception class   : SIGSEGV\r\n",
                          b"exception message : Signal SIGSEGV sent by process %d.\r\n" % os.getpid(),
                          b"\r\nmain thread:\r\n"):
                self.assertIn(label, report)
            self.assertIn("crash report saved to " + path, program.stderr())
        finally:
            program.cleanup()


if __name__ == "__main__":
    if not pop3_server_test.BIN:
        print("TARNWICK_BIN not set")
        sys.exit(1)
    unittest.main(verbosity=2)
