"""Fetches one message from a POP3 server exactly as sent.

    peers_pop_raw_retr.py HOST PORT USER PASSWORD N

Prints "RAW <hex>" with the bytes of RETR N's reply after its status line,
up to and including the terminating ".", CR, LF; exits 1 on any "-ERR".
"""
import socket
import sys


def main():
    host, port, user, password, n = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4], sys.argv[5]
    conn = socket.create_connection((host, port), timeout=20)
    buf = b""

    def line():
        nonlocal buf
        while b"\r\n" not in buf:
            chunk = conn.recv(65536)
            if not chunk:
                sys.exit("connection closed")
            buf += chunk
        first, buf = buf.split(b"\r\n", 1)
        if first.startswith(b"-ERR"):
            print("ERR " + first.decode("latin-1"), flush=True)
            sys.exit(1)
        return first

    line()
    for command in ("USER " + user, "PASS " + password, "RETR " + n):
        conn.sendall(command.encode("latin-1") + b"\r\n")
        line()
    while not (buf.startswith(b".\r\n") or b"\r\n.\r\n" in buf):
        chunk = conn.recv(65536)
        if not chunk:
            sys.exit("connection closed in RETR")
        buf += chunk
    end = 3 if buf.startswith(b".\r\n") else buf.index(b"\r\n.\r\n") + 5
    print("RAW " + buf[:end].hex(), flush=True)
    conn.sendall(b"QUIT\r\n")
    conn.close()


if __name__ == "__main__":
    main()
