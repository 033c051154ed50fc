#!/usr/bin/env python3
"""POP3 server throughput: N concurrent clients, each logging in to its own
mailbox, retrieving and deleting M messages of 10 KB, then quitting.
Prints messages per second.

    TARNWICK_BIN=build/tarnwick python3 bench/pop3_bench.py [N] [M]
"""

import os
import sys
import threading
import time
import poplib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "peers"))
from pop3_server_test import Program, message  # noqa: E402


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 8
    m = int(sys.argv[2]) if len(sys.argv) > 2 else 200
    if not os.environ.get("TARNWICK_BIN"):
        sys.exit("set TARNWICK_BIN to the built program")
    users = [("user%d" % i, "pw%d" % i) for i in range(n)]
    program = Program(users=users)
    body = [(b"%05d " % i) + b"x" * 94 for i in range(100)]  # 100 lines of 100 bytes + CRLF
    try:
        for name, _ in users:
            for k in range(m):
                program.store(name, "%09d" % k, message("bench %d" % k, body))
        program.start()
        errors = []

        def client(name, password):
            try:
                p = poplib.POP3("127.0.0.1", program.pop_port, timeout=60)
                p.user(name)
                p.pass_(password)
                count = p.stat()[0]
                for i in range(1, count + 1):
                    p.retr(i)
                    p.dele(i)
                p.quit()
                if count != m:
                    errors.append("%s saw %d messages" % (name, count))
            except Exception as e:  # noqa: BLE001
                errors.append("%s: %r" % (name, e))

        threads = [threading.Thread(target=client, args=u) for u in users]
        start = time.monotonic()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        elapsed = time.monotonic() - start
        left = len([f for f in os.listdir(program.inbox()) if f.endswith(".dat")])
        if errors or left:
            sys.exit("errors: %s; %d messages left" % (errors, left))
        total = n * m
        size = len(body) * 102
        print("%d clients x %d messages of %d bytes: %.2f s, %.0f messages/s, %.1f MB/s"
              % (n, m, size, elapsed, total / elapsed, total * size / elapsed / 1e6))
    finally:
        program.stop()


if __name__ == "__main__":
    main()
