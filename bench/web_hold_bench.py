#!/usr/bin/env python3
"""How long the web server holds the event loop that the mail servers share:
for each hostile or large request (escaped values, a form of a thousand
ticked names, a body of line ends, a compose upload and send with a large
attachment), the worst POP3 and SMTP round trip measured while it is
handled, and the time the request took. Prints one line per request.

    TARNWICK_BIN=build/tarnwick python3 bench/web_hold_bench.py [MB]
"""

import os
import poplib
import smtplib
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "web"))
import webpeer  # noqa: E402

BOB = "u=bob&p=bobpw"


def worst_round_trip(srv, stop):
    worst = 0.0
    while not stop.is_set():
        start = time.monotonic()
        pop = poplib.POP3("127.0.0.1", srv.pop_port, timeout=60)
        pop.user("bob")
        pop.pass_("bobpw")
        pop.stat()
        pop.quit()
        worst = max(worst, time.monotonic() - start)
        start = time.monotonic()
        smtp = smtplib.SMTP("127.0.0.1", srv.smtp_port, timeout=60)
        smtp.ehlo("bench")
        smtp.quit()
        worst = max(worst, time.monotonic() - start)
        time.sleep(0.01)
    return worst


def measure(srv, name, action):
    stop = threading.Event()
    result = {}
    prober = threading.Thread(target=lambda: result.setdefault("worst", worst_round_trip(srv, stop)))
    prober.start()
    start = time.monotonic()
    action()
    took = time.monotonic() - start
    stop.set()
    prober.join()
    print("%-32s request %7.3f s   worst mail round trip %6.1f ms" % (name, took, result["worst"] * 1000))


def main():
    mb = int(sys.argv[1]) if len(sys.argv) > 1 else 15
    if not os.environ.get("TARNWICK_BIN"):
        sys.exit("set TARNWICK_BIN to the built program")
    srv = webpeer.Server({"bob": "bobpw", "alice": "alicepw"}).start()
    try:
        def post(path, body, extra=b""):
            srv.raw([b"POST %s HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: %s\r\n%sContent-Length: %d\r\n\r\n"
                     % (path.encode(), BOB.encode(), extra, len(body)), body], timeout=600)

        escapes = b"AttachFile=" + b"%41" * (mb * 1024 * 1024 // 3)
        form = (b"inputtype=delete&delcount=1000&" + b"&".join(b"del%d=bob_x%d" % (i, i) for i in range(1001))
                + b"&pad=" + b"x" * (mb * 1024 * 1024))
        measure(srv, "%d MB of escapes" % mb, lambda: post("/webmaillist", escapes))
        measure(srv, "%d MB form, 1001 names" % mb, lambda: post("/webmaillist", form))
        measure(srv, "%d MB of line ends" % mb, lambda: post("/address", b"\n" * (mb * 1024 * 1024)))
        data = os.urandom(mb * 1024 * 1024)
        srv.get("/compose", cookie=BOB)
        measure(srv, "%d MB attachment upload" % mb, lambda: srv.post_multipart(
            "/compose", [("emailfrom", "Bob <bob@office.lan>"), ("addfile", "add")],
            files=[("atchfile", "big.bin", data)], cookie=BOB))
        measure(srv, "%d MB message sent" % mb, lambda: srv.post_multipart(
            "/compose", [("emailfrom", "Bob <bob@office.lan>"), ("emailto", "alice, far@away.example"),
                         ("emailsubj", "big"), ("emailbody", "see")], cookie=BOB))
    finally:
        srv.stop()


if __name__ == "__main__":
    main()
