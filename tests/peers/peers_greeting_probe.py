"""Measures how long the program's servers take to greet, over and over.

    peers_greeting_probe.py SMTP_PORT POP3_PORT

Connects to 127.0.0.1 on each port in turn and reads the greeting line.
Prints "READY" once started, then one line per try:
"P <server> <start> <end>" (seconds of the monotonic clock, which the
test shares) or "F <server> <why>". Ends when its standard input closes.
"""
import os
import socket
import sys
import threading
import time


def greet(port):
    start = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
        data = b""
        while b"\n" not in data:
            chunk = s.recv(512)
            if not chunk:
                raise OSError("closed before the greeting")
            data += chunk
        end = time.monotonic()
        s.sendall(b"QUIT\r\n")
    return start, end


def main():
    ports = {"smtp": int(sys.argv[1]), "pop3": int(sys.argv[2])}
    threading.Thread(target=lambda: (sys.stdin.read(), os._exit(0)), daemon=True).start()
    print("READY", flush=True)
    while True:
        for name, port in ports.items():
            try:
                start, end = greet(port)
                print("P %s %.6f %.6f" % (name, start, end), flush=True)
            except OSError as e:
                print("F %s %s" % (name, e), flush=True)
            time.sleep(0.003)


if __name__ == "__main__":
    main()
