"""A user's desktop for new-mail alert tests: listens on 127.0.0.1 and
prints every text it receives.

    peers_pop_alert_listener.py [--port N] [--hold-first]

Prints "PORT <n>" once listening, then "MSG <hex of the bytes>" for each
connection once the sender has closed it. With --hold-first the first
connection is accepted and then never read nor closed, like a desktop that
hangs. Ends when its standard input closes or it is terminated.
"""
import socket
import sys
import threading


def serve(conn, hold):
    if hold:
        threading.Event().wait()
        return
    conn.settimeout(20)
    data = b""
    try:
        while True:
            chunk = conn.recv(4096)
            if not chunk:
                break
            data += chunk
    except OSError:
        pass
    conn.close()
    print("MSG " + data.hex(), flush=True)


def main():
    port = 0
    hold_first = "--hold-first" in sys.argv
    if "--port" in sys.argv:
        port = int(sys.argv[sys.argv.index("--port") + 1])
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(16)
    print("PORT %d" % listener.getsockname()[1], flush=True)
    threading.Thread(target=lambda: (sys.stdin.read(), os_exit()), daemon=True).start()
    first = True
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn, hold_first and first), daemon=True).start()
        first = False


def os_exit():
    import os
    os._exit(0)


if __name__ == "__main__":
    main()
