"""Add-ins in the running program: the counting add-in built with the tests,
named by a rule for local mail, sees three messages that python's smtplib
sends and poplib reads back. One host process holds it for the run, so it
counts 1, 2, 3; the server process never maps it."""

import os
import poplib
import re
import shutil
import smtplib
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from peers_smtp import BIN, SmtpProgram  # noqa: E402

ADDIN = os.environ.get("TW_COUNTING_ADDIN", "")

RULES = ("[Rules]\nName1=count local mail\nActive1=1\nUser1=All Users\nPOP1=yes\nInternal1=yes\nSpam1=no\n"
         "Addin11=Counter\nParams11=count\n")


@unittest.skipUnless(BIN and ADDIN, "TARNWICK_BIN and TW_COUNTING_ADDIN name the program and the add-in")
class AddinHostPeers(unittest.TestCase):
    def setUp(self):
        self.program = SmtpProgram(extra_ini=RULES)
        os.makedirs(self.program.path("Addins"), exist_ok=True)
        shutil.copy(ADDIN, self.program.path("Addins", "counting_addin.so"))
        self.program.start()

    def tearDown(self):
        self.program.stop()

    def test_one_host_keeps_the_count_across_messages(self):
        for n in range(3):
            with smtplib.SMTP("127.0.0.1", self.program.smtp_port, timeout=20) as s:
                s.sendmail("alice@office.example", ["bob@office.example"],
                           b"Message-ID: <count%d@pc>\r\nSubject: number %d\r\n\r\nhello\r\n" % (n, n))
        self.program.wait_for(lambda: len(self.program.files("in")) == 3, what="three delivered messages")

        pop = poplib.POP3("127.0.0.1", self.program.pop_port, timeout=20)
        try:
            pop.user("bob")
            pop.pass_("BobPW")
            counts = {}
            for i in range(1, len(pop.list()[1]) + 1):
                lines = pop.retr(i)[1]
                subject = [l for l in lines if l.startswith(b"Subject: ")][0]
                found = re.fullmatch(rb"X-Count: (\d+) pid=(\d+)", lines[0])
                self.assertIsNotNone(found, lines[0])
                counts[subject] = (int(found.group(1)), int(found.group(2)))
            pop.quit()
        finally:
            pop.close()
        by_order = [counts[b"Subject: number %d" % n] for n in range(3)]
        self.assertEqual([c for c, _ in by_order], [1, 2, 3])
        hosts = {pid for _, pid in by_order}
        self.assertEqual(len(hosts), 1, by_order)
        host = hosts.pop()
        self.assertNotEqual(host, self.program.proc.pid)
        with open("/proc/%d/maps" % self.program.proc.pid) as f:
            self.assertNotIn("counting_addin", f.read())
        with open("/proc/%d/maps" % host) as f:
            self.assertIn("counting_addin", f.read())


if __name__ == "__main__":
    unittest.main()
