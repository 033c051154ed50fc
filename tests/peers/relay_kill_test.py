"""The relay killed (SIGKILL) at random moments of its runs, 50 times, with
a provider (aiosmtpd) that refuses one recipient of some messages. After
the last restart every message has reached each of its good recipients,
and each kill has sent at most the one message then in flight twice."""

import collections
import os
import random
import signal
import smtplib
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from peers_smtp import Smarthost, SmtpProgram  # noqa: E402

KILLS = 50
PER_ROUND = 6


class RelayKills(unittest.TestCase):
    def test_kills_lose_nothing_and_duplicate_only_the_message_in_flight(self):
        host = Smarthost(mechanisms="LOGIN", refused="no@far.example")
        program = SmtpProgram(extra_smtp="Wait=2\nHost=127.0.0.1\nPort=%d\nStandard=0\nAuth=1\nLogin=relay\n"
                                         "Pass=relaypw\n" % host.port)
        rng = random.Random(29)
        want = {}  # subject -> good recipients
        try:
            out = program.path("out")
            os.makedirs(out, exist_ok=True)
            body = b"0123456789" * 7 + b"\r\n"

            def queue(first, count):
                # Written while the program is down, as its queue would be.
                with open(program.path("ports.dat"), "ab") as ports:
                    for n in range(first, first + count):
                        qid = "kill%04d" % n
                        with open(os.path.join(out, qid + ".txt"), "wb") as f:
                            f.write(b"Subject: %s\r\n\r\n" % qid.encode() + body * 400 + b".\r\n")
                        rcpts = [b"<a@far.example>", b"<b@far.example>"] + ([b"<no@far.example>"] if n % 4 == 1 else [])
                        ports.write(b"[%s]\r\nrcpt=%d\r\n" % (qid.encode(), len(rcpts)) +
                                    b"".join(b"To%d=%s\r\n" % (i + 1, r) for i, r in enumerate(rcpts)) +
                                    b"From=<alice@office.example>\r\n")
                        want[qid] = {"a@far.example", "b@far.example"}

            def trigger(n):
                # A message through the SMTP server starts a send-only cycle.
                subject = "go%02d" % n
                want[subject] = {"c@far.example"}
                with smtplib.SMTP("127.0.0.1", program.smtp_port, timeout=30) as s:
                    s.sendmail("alice@office.example", ["c@far.example"], "Subject: %s\r\n\r\ngo\r\n" % subject)

            midRun = 0
            for k in range(KILLS):
                queue(k * PER_ROUND, PER_ROUND)
                program.start(wait_for_pop=False)
                before = len(host.messages())
                trigger(k)
                time.sleep(rng.uniform(0.05, 0.3))
                program.proc.send_signal(signal.SIGKILL)
                program.proc.wait()
                program.err.close()
                if before < len(host.messages()) and any(n.endswith(".txt") for n in os.listdir(out)):
                    midRun += 1

            program.start(wait_for_pop=False)
            trigger(KILLS)

            def got():
                seen = collections.Counter()
                for meta, data in host.messages():
                    subject = data.split(b"\r\n", 1)[0].split(b": ", 1)[-1].decode()
                    for r in meta["rcpt_tos"]:
                        seen[(subject, r)] += 1
                return seen

            def done():
                seen = got()
                return all(seen[(s, r)] for s, rs in want.items() for r in rs)
            program.wait_for(done, timeout=300, what="every message at each good recipient")
            seen = got()
            # A message sent again counts once however many of its
            # recipients got it again: one send per kill at most.
            again = collections.Counter()
            for (s, r), n in seen.items():
                again[s] = max(again[s], n - 1)
            self.assertLessEqual(sum(again.values()), KILLS, sorted(s for s in again if again[s]))
            self.assertNotIn("no@far.example", {r for (_, r) in seen})
            print("kills %d (%d in the middle of a run), sends again %d" % (KILLS, midRun, sum(again.values())))
            self.assertGreater(midRun, KILLS // 4, "kills must hit running relays")
        finally:
            program.stop()
            host.stop()


if __name__ == "__main__":
    unittest.main()
