"""Sessions that end with their text: SESSIONS clients (400 by default),
16 at a time, each sending one message with EHLO, AUTH PLAIN, MAIL, RCPT
and DATA in one write each, then the text with its "." and QUIT in one
write, closing at once; four busy processes keep the machine loaded
meanwhile. Then the program is left alone for WAIT seconds (320 by
default: past the five minutes of a session's idle timer) and must still
be running and take a message. Prints the thread warnings it printed.

  TARNWICK_BIN=build/tarnwick python3 bench/smtp_pipelined_quit_bench.py [SESSIONS] [WAIT]

The program runs on a temporary home that is removed afterwards; the
exit status is 0 when it passed."""

import os
import smtplib
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "peers"))
import pop3_server_test  # noqa: E402

from peers_output import thread_warnings  # noqa: E402
from peers_smtp import DOMAIN, SmtpProgram, busy_cores, pipelined_quit_load  # noqa: E402


def stored(program):
    return len([n for n in program.files("in") if n.startswith("bob_")])


SESSIONS = int(sys.argv[1]) if len(sys.argv) > 1 else 400
WAIT = int(sys.argv[2]) if len(sys.argv) > 2 else 320


def main():
    if not pop3_server_test.BIN:
        sys.exit("set TARNWICK_BIN to the built program")
    program = SmtpProgram().start()
    ok = False
    try:
        start = time.monotonic()
        with busy_cores():
            pipelined_quit_load(program.smtp_port, SESSIONS)
            program.wait_for(lambda: stored(program) >= SESSIONS, timeout=300, what="every message stored")
        print("binary: %s" % pop3_server_test.BIN)
        print("%d sessions stored in %.1f s" % (SESSIONS, time.monotonic() - start))
        end = time.monotonic() + WAIT
        while time.monotonic() < end and program.proc.poll() is None:
            time.sleep(1)
        alive = program.proc.poll() is None
        print("running %d s later: %s" % (WAIT, "yes" if alive else "no, exit status %s" % program.proc.returncode))
        served = False
        if alive:
            with smtplib.SMTP("127.0.0.1", program.smtp_port, timeout=30) as s:
                s.login("alice", "alicepw")
                s.sendmail("alice@" + DOMAIN, ["bob@" + DOMAIN], b"Subject: still there\r\n\r\nbody\r\n")
            program.wait_for(lambda: stored(program) > SESSIONS, timeout=60, what="the last message stored")
            served = True
        print("takes a message: %s" % ("yes" if served else "no"))
        warnings = thread_warnings(program.stderr())
        print("thread warnings: %d" % len(warnings))
        for line in warnings[:5]:
            print("  " + line)
        ok = alive and served and not warnings
    finally:
        if ok:
            program.stop()
        else:
            # The home stays: its logs tell what happened.
            if program.proc.poll() is None:
                program.proc.kill()
                program.proc.wait()
            program.err.close()
            print("home kept: %s" % program.home)
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
