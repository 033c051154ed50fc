"""fetchmail as a mail client: one rcfile in a folder of its own, polling a
POP3 server with uidl and keep, each message handed to an MDA script that
appends it to one file behind an end line."""

import os
import shutil
import subprocess
import tempfile


class Fetchmail:
    def __init__(self, pop_port, user, password):
        self.work = tempfile.mkdtemp(prefix="tw-fetchmail-")
        self.out = os.path.join(self.work, "mbox")
        mda = os.path.join(self.work, "mda.sh")
        with open(mda, "w") as f:
            f.write("#!/bin/sh\n{ cat; printf '\\n==END==\\n'; } >> '%s'\n" % self.out)
        os.chmod(mda, 0o755)
        rc = os.path.join(self.work, "fetchmailrc")
        with open(rc, "w") as f:
            f.write('poll 127.0.0.1 service %d protocol pop3 uidl auth password timeout 15\n'
                    '  user "%s" there with password "%s" is "root" here\n'
                    '  keep\n  sslproto \'\'\n  mda "%s"\n' % (pop_port, user, password, mda))
        os.chmod(rc, 0o600)
        self.env = dict(os.environ, FETCHMAILHOME=self.work, HOME=self.work)
        self.cmd = ["fetchmail", "-f", rc, "--pidfile", os.path.join(self.work, "pid"), "--nosyslog"]
        if os.geteuid() == 0:
            # fetchmail warns when run as root; run it as nobody.
            os.chown(self.work, 65534, 65534)
            for path in (rc, mda):
                os.chown(path, 65534, 65534)
            self.cmd = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] + self.cmd

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        shutil.rmtree(self.work, ignore_errors=True)

    def poll(self):
        """One run: its exit code (0 mail fetched, 1 none new) and its output."""
        r = subprocess.run(self.cmd, capture_output=True, env=self.env, timeout=120)
        return r.returncode, r.stdout + r.stderr

    def delivered(self):
        """What the MDA got, split at the end lines (LF line ends)."""
        with open(self.out, "rb") as f:
            return f.read().split(b"\n==END==\n")
