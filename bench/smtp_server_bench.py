"""SMTP server throughput: N concurrent clients on loopback, each sending M
messages of 10 KB on its own connection, every message to one local and one
external recipient (a mailbox copy and a queue record each). Prints messages
per second and the 50th/99th percentile time from the end of DATA to "250".

  /usr/bin/python3 bench/smtp_server_bench.py [N] [M] [path/to/tarnwick]

The program runs on a temporary home that is removed afterwards."""

import asyncio
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "peers"))
import pop3_server_test  # noqa: E402
from peers_smtp import SmtpProgram  # noqa: E402

N = int(sys.argv[1]) if len(sys.argv) > 1 else 8
M = int(sys.argv[2]) if len(sys.argv) > 2 else 50
if len(sys.argv) > 3:
    pop3_server_test.BIN = sys.argv[3]
elif not pop3_server_test.BIN:
    here = os.path.dirname(os.path.abspath(__file__))
    for d in ("build",):
        p = os.path.join(here, "..", d, "tarnwick")
        if os.path.exists(p):
            pop3_server_test.BIN = p
            break
import peers_smtp  # noqa: E402
peers_smtp.BIN = pop3_server_test.BIN


def message(client, n):
    head = ("Message-ID: <b%dm%d@bench.example>\r\nFrom: alice@office.example\r\nTo: bob@office.example\r\n"
            "Subject: bench %d/%d\r\n\r\n" % (client, n, client, n)).encode()
    line = b"0123456789" * 7 + b"\r\n"
    body = line * ((10 * 1024 - len(head)) // len(line))
    return head + body + b".\r\n"


async def reply(reader):
    while True:
        line = await reader.readline()
        if not line:
            raise ConnectionError("closed")
        if len(line) < 4 or line[3:4] != b"-":
            return line


async def client(port, c, latencies):
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    await reply(reader)
    for n in range(M):
        for cmd in (b"MAIL FROM:<alice@office.example>\r\n", b"RCPT TO:<bob@office.example>\r\n",
                    b"RCPT TO:<zed@far.example>\r\n", b"DATA\r\n"):
            writer.write(cmd)
            r = await reply(reader)
            assert r[:1] in (b"2", b"3"), r
        writer.write(message(c, n))
        t0 = time.perf_counter()
        await writer.drain()
        r = await reply(reader)
        latencies.append(time.perf_counter() - t0)
        assert r == b"250 Load and clear\r\n", r
    writer.write(b"QUIT\r\n")
    await reply(reader)
    writer.close()


async def run(port):
    latencies = []
    start = time.perf_counter()
    await asyncio.gather(*(client(port, c, latencies) for c in range(N)))
    return time.perf_counter() - start, sorted(latencies)


def main():
    program = SmtpProgram().start()
    try:
        elapsed, lat = asyncio.run(run(program.smtp_port))
        total = N * M
        pct = lambda p: lat[min(len(lat) - 1, int(p / 100.0 * len(lat)))] * 1000  # noqa: E731
        print("binary: %s" % pop3_server_test.BIN)
        print("%d clients x %d messages of 10 KB: %d messages in %.2f s = %.1f messages/s" %
              (N, M, total, elapsed, total / elapsed))
        print("end of DATA to 250: p50 %.2f ms, p99 %.2f ms" % (pct(50), pct(99)))
        print("stored: %d mailbox copies, %d queued" % (len(program.files("in")), len(program.files("out"))))
    finally:
        program.stop()


if __name__ == "__main__":
    main()
