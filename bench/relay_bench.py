"""Relay throughput: K queued messages of 10 KB (two outside recipients
each) delivered in one run to a provider's server requiring AUTH LOGIN
(aiosmtpd on loopback). Prints messages per second of the run.

  /usr/bin/python3 bench/relay_bench.py [K] [path/to/tarnwick]"""

import os
import smtplib
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "peers"))
import pop3_server_test  # noqa: E402

K = int(sys.argv[1]) if len(sys.argv) > 1 else 200
if len(sys.argv) > 2:
    pop3_server_test.BIN = sys.argv[2]
elif not pop3_server_test.BIN:
    here = os.path.dirname(os.path.abspath(__file__))
    for d in ("build",):
        p = os.path.join(here, "..", d, "tarnwick")
        if os.path.exists(p):
            pop3_server_test.BIN = p
            break
import peers_smtp  # noqa: E402
peers_smtp.BIN = pop3_server_test.BIN
from peers_smtp import Smarthost, SmtpProgram  # noqa: E402


def main():
    host = Smarthost(mechanisms="LOGIN")
    program = SmtpProgram(extra_smtp="Wait=2\nHost=127.0.0.1\nPort=%d\nStandard=0\nAuth=1\nLogin=relay\n"
                                     "Pass=relaypw\n" % host.port)
    try:
        out = program.path("out")
        os.makedirs(out, exist_ok=True)
        line = b"0123456789" * 7 + b"\r\n"
        with open(program.path("ports.dat"), "wb") as ports:
            for n in range(K):
                qid = "bench%06d" % n
                with open(os.path.join(out, qid + ".txt"), "wb") as f:
                    f.write(b"Message-ID: <%s@bench>\r\nSubject: %d\r\n\r\n" % (qid.encode(), n) + line * 140 +
                            b".\r\n")
                ports.write(b"[%s]\r\nrcpt=2\r\nTo1=<a@far.example>\r\nTo2=<b@far.example>\r\n"
                            b"From=<alice@office.example>\r\n" % qid.encode())
        program.start()
        start = time.perf_counter()
        # One more message through the SMTP server starts the send-only cycle.
        with smtplib.SMTP("127.0.0.1", program.smtp_port, timeout=20) as s:
            s.sendmail("alice@office.example", ["c@far.example"], b"Message-ID: <go@bench>\r\n\r\ngo\r\n")
        program.wait_for(lambda: not os.listdir(out), timeout=600, what="the relay run")
        elapsed = time.perf_counter() - start
        got = len(host.messages())
        print("binary: %s" % pop3_server_test.BIN)
        print("%d messages of 10 KB relayed in one run in %.2f s = %.1f messages/s (provider saw %d)" %
              (K + 1, elapsed, (K + 1) / elapsed, got))
    finally:
        program.stop()
        host.stop()


if __name__ == "__main__":
    main()
