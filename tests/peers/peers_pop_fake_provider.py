"""A scripted provider POP3 server for collector tests, on 127.0.0.1.

    peers_pop_fake_provider.py SCENARIO.json STATE.json

SCENARIO.json: {"users": {login: {"password": p, "messages": [[uid, text], ...],
                                  "quirks": {...}}}}
Message texts are given with CR LF line ends and without dot-stuffing.
Quirks of a mailbox (all optional):
  "split": every reply goes out a few bytes at a time, and RETR's status
           line in a packet of its own;
  "retr_err": [n, ...]  "-ERR" to RETR of these messages;
  "dele_err": [n, ...]  "-ERR" to DELE of these messages;
  "no_uidl": true       "-ERR" to UIDL;
  "silent_after": CMD   no reply to CMD or anything after it;
  "close_in_retr": n    RETR n sends half the message, then closes;
  "endless_retr": n     RETR n sends lines of text for ever, never the end;
  "trickle_retr": n     RETR n sends a 100-byte header line every 0.5 s, never the end;
  "unstuffed": true     RETR sends the text without dot-stuffing;
  "endless_uidl": true  UIDL's listing goes on for ever, never the end;
  "slow_listing": s     LIST and UIDL send a line every s seconds;
  "trickle_uidl": s     UIDL's listing goes on for ever, a line every s seconds;
  "stat_count": n       STAT claims n messages;
  "extra_after": CMD    one line "+OK extra" follows the first reply to CMD,
                        in the same write, or "extra_delay" seconds later.
The quirks apply to the first session of the mailbox only when
"first_session_only" is true. A scenario's "trickle_greeting": true sends
every connection a greeting that never ends, a byte every 0.3 s.

Messages may share a unique id; DELE removes only the message it names.
LIST gives each message's length as given.
Prints "PORT <n>" once listening. STATE.json is rewritten after every
session: {"mailboxes": {login: [uid, ...]}, "retrieved": [[login, uid], ...],
"commands": [[login, line], ...]}. Deletions count only after QUIT, as in
POP3. Ends when its standard input closes or it is terminated.
"""
import json
import os
import socket
import sys
import threading
import time

lock = threading.Lock()


def stuffed(text):
    if text == "":
        return ".\r\n"
    out = []
    for line in text.split("\r\n")[:-1] if text.endswith("\r\n") else text.split("\r\n"):
        out.append("." + line if line.startswith(".") else line)
    body = "\r\n".join(out)
    return (body + "\r\n" if out else "") + ".\r\n"


class Provider:
    def __init__(self, scenario, state_path):
        self.users = scenario["users"]
        self.trickle_greeting = scenario.get("trickle_greeting", False)
        self.state_path = state_path
        self.mailboxes = {u: [list(m) for m in d.get("messages", [])] for u, d in self.users.items()}
        self.sessions = {u: 0 for u in self.users}
        self.user_extras = set()
        self.retrieved = []
        self.commands = []
        self.save()

    def save(self):
        state = {
            "mailboxes": {u: [m[0] for m in msgs] for u, msgs in self.mailboxes.items()},
            "retrieved": self.retrieved,
            "commands": self.commands,
        }
        tmp = self.state_path + ".tmp"
        with open(tmp, "w") as f:
            json.dump(state, f)
        os.replace(tmp, self.state_path)

    def session(self, conn):
        login = None
        quirks = {}
        split = False
        silent = False
        marked = set()
        snapshot = []
        extra = {"word": None, "delay": 0, "now": False}

        def send(data):
            if silent:
                return
            if extra["now"]:
                extra["now"] = False
                data += "+OK extra\r\n"
            raw = data.encode("latin-1")
            if split:
                for i in range(0, len(raw), 3):
                    conn.sendall(raw[i:i + 3])
                    time.sleep(0.002)
            else:
                conn.sendall(raw)

        def send_listing(lines):
            if not quirks.get("slow_listing"):
                send("+OK\r\n" + "".join(lines) + ".\r\n")
                return
            send("+OK\r\n")
            for line in lines:
                time.sleep(quirks["slow_listing"])
                send(line)
            send(".\r\n")

        if self.trickle_greeting:
            try:
                conn.sendall(b"+OK ")
                while True:
                    time.sleep(0.3)
                    conn.sendall(b"x")
            except OSError:
                pass
            conn.close()
            return
        send("+OK fake provider ready\r\n")
        buf = b""
        while True:
            try:
                chunk = conn.recv(4096)
            except OSError:
                break
            if not chunk:
                break
            buf += chunk
            while b"\n" in buf:
                line, buf = buf.split(b"\n", 1)
                line = line.decode("latin-1").rstrip("\r")
                word, _, arg = line.partition(" ")
                word = word.upper()
                with lock:
                    self.commands.append([login or "", line if word != "PASS" else "PASS ****"])
                if quirks.get("silent_after") and word == quirks["silent_after"].upper():
                    silent = True
                if word == "USER":
                    login = arg
                    q = self.users.get(arg, {}).get("quirks", {})
                    if q.get("extra_after") in ("USER", "PASS") and (arg not in self.user_extras
                                                                      or not q.get("first_session_only")):
                        self.user_extras.add(arg)
                        extra["word"], extra["delay"] = q["extra_after"], q.get("extra_delay", 0)
                elif quirks.get("extra_after") and extra["word"] is None:
                    extra["word"], extra["delay"] = quirks["extra_after"].upper(), quirks.get("extra_delay", 0)
                extra["now"] = word == extra["word"] and not extra["delay"]
                if word == "USER":
                    send("+OK\r\n")
                elif word == "PASS":
                    user = self.users.get(login)
                    if not user or user.get("password") != arg:
                        send("-ERR invalid login\r\n")
                        continue
                    with lock:
                        self.sessions[login] += 1
                        first = self.sessions[login] == 1
                        snapshot = list(self.mailboxes[login])
                    q = user.get("quirks", {})
                    if first or not q.get("first_session_only"):
                        quirks = q
                    split = bool(quirks.get("split"))
                    if quirks.get("silent_after") == "PASS":
                        silent = True
                    send("+OK logged in\r\n")
                elif word == "STAT":
                    size = sum(len(stuffed(m[1])) for m in snapshot)
                    send("+OK %d %d\r\n" % (quirks.get("stat_count", len(snapshot)), size))
                elif word == "UIDL":
                    if quirks.get("no_uidl"):
                        send("-ERR no UIDL here\r\n")
                        continue
                    if quirks.get("endless_uidl") or quirks.get("trickle_uidl"):
                        # A listing that never ends: in batches as fast as
                        # it goes, or a line every trickle_uidl seconds.
                        pause = quirks.get("trickle_uidl")
                        batch = 1 if pause else 1000
                        send("+OK\r\n")
                        n = 0
                        try:
                            while True:
                                if pause:
                                    time.sleep(pause)
                                conn.sendall("".join("%d uid-%d\r\n" % (n + i, n + i) for i in range(1, batch + 1))
                                             .encode())
                                n += batch
                        except OSError:
                            pass
                        with lock:
                            self.save()
                        conn.close()
                        return
                    send_listing(["%d %s\r\n" % (i + 1, m[0]) for i, m in enumerate(snapshot)])
                elif word == "LIST":
                    send_listing(["%d %d\r\n" % (i + 1, len(m[1])) for i, m in enumerate(snapshot)])
                elif word == "RETR":
                    n = int(arg) if arg.isdigit() else 0
                    if n < 1 or n > len(snapshot) or n in quirks.get("retr_err", []):
                        send("-ERR no such message\r\n")
                        continue
                    text = stuffed(snapshot[n - 1][1])
                    if quirks.get("unstuffed"):
                        text = snapshot[n - 1][1] + ".\r\n"
                    trickle = quirks.get("trickle_retr") == n
                    if trickle or quirks.get("endless_retr") == n:
                        conn.sendall(b"+OK\r\n")
                        line = b"X-Trickle: " + b"t" * 87 + b"\r\n" if trickle else (b"X" * 998 + b"\r\n") * 64
                        try:
                            while True:
                                conn.sendall(line)
                                time.sleep(0.5 if trickle else 0)
                        except OSError:
                            pass
                        with lock:
                            self.save()
                        conn.close()
                        return
                    if quirks.get("close_in_retr") == n:
                        send("+OK\r\n" + text[: len(text) // 2])
                        conn.close()
                        return
                    with lock:
                        self.retrieved.append([login, snapshot[n - 1][0]])
                    if split:
                        send("+OK %d octets\r\n" % len(text))
                        time.sleep(0.05)
                        send(text)
                    else:
                        send("+OK %d octets\r\n" % len(text) + text)
                elif word == "DELE":
                    n = int(arg) if arg.isdigit() else 0
                    if n < 1 or n > len(snapshot) or n in quirks.get("dele_err", []):
                        send("-ERR cannot delete\r\n")
                        continue
                    marked.add(n)
                    send("+OK\r\n")
                elif word == "NOOP":
                    send("+OK\r\n")
                elif word == "QUIT":
                    with lock:
                        gone = {id(snapshot[n - 1]) for n in marked}
                        self.mailboxes[login] = [m for m in self.mailboxes[login] if id(m) not in gone]
                        self.save()
                    send("+OK bye\r\n")
                    conn.close()
                    return
                else:
                    send("-ERR unknown command\r\n")
                if word == extra["word"]:
                    extra["word"] = ""
                    if extra["delay"]:
                        time.sleep(extra["delay"])
                        send("+OK extra\r\n")
        with lock:
            self.save()
        if not silent:
            conn.close()
        else:
            time.sleep(60)


def main():
    with open(sys.argv[1]) as f:
        scenario = json.load(f)
    provider = Provider(scenario, sys.argv[2])
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    print("PORT %d" % listener.getsockname()[1], flush=True)
    threading.Thread(target=lambda: (sys.stdin.read(), os._exit(0)), daemon=True).start()
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=provider.session, args=(conn,), daemon=True).start()


if __name__ == "__main__":
    main()
