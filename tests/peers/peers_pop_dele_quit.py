"""Deletes messages through python3's poplib and reports QUIT's answer.

    peers_pop_dele_quit.py HOST PORT USER PASSWORD [N ...]

Logs in, prints "UIDL <id> ..." (the mailbox as the session sees it), waits
for a line on standard input (the test readies its faults), marks each
message N with DELE, sends QUIT and prints "QUIT <reply>", or
"QUIT-ERR <reply>" when the server answered "-ERR".
"""
import poplib
import sys


def main():
    host, port, user, password = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
    box = poplib.POP3(host, port, timeout=20)
    box.user(user)
    box.pass_(password)
    ids = [line.split()[1].decode("latin-1") for line in box.uidl()[1]]
    print("UIDL " + " ".join(ids), flush=True)
    sys.stdin.readline()
    for n in sys.argv[5:]:
        box.dele(int(n))
    try:
        reply = box.quit()
        print("QUIT " + reply.decode("latin-1"), flush=True)
    except poplib.error_proto as e:
        print("QUIT-ERR " + e.args[0].decode("latin-1"), flush=True)


if __name__ == "__main__":
    main()
