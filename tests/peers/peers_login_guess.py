"""Guesses passwords through python3's smtplib or poplib and reports what
the server answered, one line per phase.

    peers_login_guess.py smtp HOST PORT USER RIGHT GUESSES [VICTIM]
    peers_login_guess.py pop3 HOST PORT USER RIGHT GUESSES

smtp: one connection tries GUESSES wrong passwords with AUTH PLAIN and
prints "GUESSES <code> ...", then the right one ("RIGHT <code>"). With
VICTIM the wrong passwords are VICTIM's, and after every fourth one USER
logs on with the right one (shown as "USER=<code>" among the codes).
pop3: GUESSES connections at once each try one wrong password with
USER/PASS and print "GUESSES <reply> | ..." (replies sorted), then one
more tries the right one ("RIGHT <reply>").
Then it waits for a line on standard input (the test moves the clock on)
and tries the right password once more: "AFTER <code or reply>".
"""
import poplib
import smtplib
import sys
import threading


def smtp_try(s, user, password):
    s.user, s.password = user, password
    try:
        return str(s.auth("PLAIN", s.auth_plain)[0])
    except smtplib.SMTPAuthenticationError as e:
        return str(e.smtp_code)
    except smtplib.SMTPResponseException as e:
        return str(e.smtp_code)


def pop_try(host, port, user, password):
    box = poplib.POP3(host, port, timeout=30)
    try:
        box.user(user)
        return box.pass_(password).decode("latin-1")
    except poplib.error_proto as e:
        return e.args[0].decode("latin-1")
    finally:
        try:
            box.quit()
        except Exception:  # noqa: BLE001 - the server may have closed already
            pass


def main():
    kind, host, port, user, right, guesses = sys.argv[1:7]
    victim = sys.argv[7] if len(sys.argv) > 7 else None
    port, guesses = int(port), int(guesses)
    if kind == "smtp":
        s = smtplib.SMTP(host, port, timeout=30)
        s.ehlo()
        codes = []
        for i in range(guesses):
            codes.append(smtp_try(s, victim or user, "guess%d" % i))
            if victim and i % 4 == 3:
                codes.append(user + "=" + smtp_try(s, user, right))
        print("GUESSES " + " ".join(codes), flush=True)
        print("RIGHT " + smtp_try(s, user, right), flush=True)
        sys.stdin.readline()
        print("AFTER " + smtp_try(s, user, right), flush=True)
        s.quit()
        return
    replies = []
    lock = threading.Lock()

    def one(i):
        r = pop_try(host, port, user, "guess%d" % i)
        with lock:
            replies.append(r)

    threads = [threading.Thread(target=one, args=(i,)) for i in range(guesses)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print("GUESSES " + " | ".join(sorted(replies)), flush=True)
    print("RIGHT " + pop_try(host, port, user, right), flush=True)
    sys.stdin.readline()
    print("AFTER " + pop_try(host, port, user, right), flush=True)


if __name__ == "__main__":
    main()
