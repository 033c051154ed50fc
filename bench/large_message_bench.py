#!/usr/bin/env python3
"""Memory of a very large message: one message of SIZE_MB megabytes (1000 by
default) goes in through the SMTP server to a local mailbox and is read back
whole over POP3; prints the time of each step and the program's peak
resident memory (VmHWM), which must not grow with the message.

    TARNWICK_BIN=build/tarnwick python3 bench/large_message_bench.py [SIZE_MB] [--bare]

Use a Release build: a sanitizer build adds its own shadow memory. The
message goes the whole road of a delivery with the default settings: the
incoming attachment check is on, and a footer is set, so the footer is put
in at the end of DATA. --bare switches both off, to measure the mail
transport's own road alone.
"""

import os
import socket
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "peers"))
from peers_smtp import SmtpProgram  # noqa: E402


def peak_rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def reply(f):
    line = f.readline()
    while line[3:4] == b"-":
        line = f.readline()
    return line


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    bare = "--bare" in sys.argv[1:]
    size_mb = int(args[0]) if args else 1000
    if not os.environ.get("TARNWICK_BIN"):
        sys.exit("set TARNWICK_BIN to the built program")
    program = SmtpProgram(extra_ini="[Virus]\nCheckIn=0\n" if bare else "")
    if not bare:
        with open(os.path.join(program.home, "footer.dat"), "wb") as f:
            f.write(b"-- \r\nThe office, by mail\r\n")
    program.start()
    try:
        pid = program.proc.pid
        idle_kb = peak_rss_kb(pid)
        line = b"x" * 998 + b"\r\n"
        block = line * 1024  # 1 MB
        s = socket.create_connection(("127.0.0.1", program.smtp_port), timeout=600)
        f = s.makefile("rb")
        reply(f)
        for cmd in (b"HELO bench", b"MAIL FROM:<carol@far.example>", b"RCPT TO:<alice@office.example>", b"DATA"):
            s.sendall(cmd + b"\r\n")
            reply(f)
        start = time.monotonic()
        s.sendall(b"Subject: large\r\n\r\n")
        for _ in range(size_mb):
            s.sendall(block)
        s.sendall(b".\r\n")
        sent_at = time.monotonic()
        answer = reply(f)
        stored_at = time.monotonic()
        s.sendall(b"QUIT\r\n")
        s.close()
        if not answer.startswith(b"250"):
            sys.exit("not stored: %r" % answer)

        p = socket.create_connection(("127.0.0.1", program.pop_port), timeout=600)
        pf = p.makefile("rb")
        pf.readline()
        for cmd in (b"USER alice", b"PASS alicepw", b"RETR 1"):
            p.sendall(cmd + b"\r\n")
            pf.readline()
        got = 0
        footed = False
        while True:
            l = pf.readline()
            if l == b".\r\n" or not l:
                break
            got += len(l)
            footed = footed or l == b"The office, by mail\r\n"
        read_at = time.monotonic()
        p.sendall(b"QUIT\r\n")
        p.close()
        print("filters:            %s" % ("attachment check and footer off" if bare
                                          else "attachment check on, footer set"))
        print("message:            %d MB (%d bytes read back%s)" % (size_mb, got, ", footer in" if footed else ""))
        print("sending:            %.1f s" % (sent_at - start))
        print("end of data to 250: %.2f s" % (stored_at - sent_at))
        print("POP3 RETR:          %.1f s" % (read_at - stored_at))
        print("peak RSS idle:      %d kB" % idle_kb)
        print("peak RSS:           %d kB" % peak_rss_kb(pid))
    finally:
        program.stop()


if __name__ == "__main__":
    main()
