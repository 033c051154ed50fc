#!/usr/bin/env python3
"""Side-by-side throughput: Tarnwick against the programs a user would pick
instead, in one run on 127.0.0.1, printed as ratios.

  smtp    SMTP acceptance, S sessions in parallel, one message of 10 KB per
          connection (as mail clients and smtp-source send), each to one
          local and one external recipient. Peer: a private Postfix (queue on
          disk, its default fsync; the local recipient goes to a maildir, the
          external domain to the discard transport).
  queued  The same load against Tarnwick with Q messages already queued,
          against the empty-queue figure; start-up time with Q queued.
  pop3    POP3 USER/PASS/STAT, RETR+DELE of every message, QUIT: U users of
          M messages each in parallel, then the same users one session at a
          time. Peer: a private Dovecot (maildir).
  relay   Tarnwick relaying its queue to Postfix's smtp-sink with 100, 1,000
          and 10,000 messages queued: messages per second from the first
          message out to the last (or to the end of --relay-time). A queue
          sent in under --relay-min-time is refilled and sent again, up to
          --relay-rounds runs, and the figure is their total; the spread of
          the rounds is printed under it.

Memory: idle RSS of each program before each load and its peak under it (for
the multi-process peers, summed over the process tree, with PSS beside it
because plain RSS counts shared pages once per process).

  /usr/bin/python3 bench/side_by_side_bench.py [--only smtp,queued,pop3,relay]
        [--scale 0.1] [--bin build/tarnwick] [--perf DIR | --strace DIR]

Run as root with a Release build (cmake -DCMAKE_BUILD_TYPE=Release). Every
program it starts it stops again, also on Ctrl+C; all files live in one
temporary folder (under $TMPDIR) that is removed at the end. --scale 0.1
makes a quick run of well under a minute. --perf/--strace record Tarnwick
under each load (perf record, strace -c -w -f) into DIR.

The SMTP load's own messages stay queued (each has an external recipient),
so the "empty" queue ends a run holding S x M messages."""

import argparse
import asyncio
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "peers"))

DOMAIN = "office.example"
SENDER = b"alice@" + DOMAIN.encode()
LOCAL_RCPT = b"bob@" + DOMAIN.encode()
EXTERNAL_RCPT = b"zed@far.example"
POSTFIX_LIBEXEC = "/usr/lib/postfix/sbin"


def log(text):
    print(text, file=sys.stderr, flush=True)


# --- messages ----------------------------------------------------------------

def smtp_message(tag, size):
    """DATA text of about size bytes, end marker included. The first
    angle-bracketed text is unique: Tarnwick names the queue file after it."""
    head = (b"Message-ID: <%s@bench.example>\r\nDate: Mon, 7 Dec 2026 10:00:00 +0000\r\n"
            b"From: %s\r\nTo: %s, %s\r\nSubject: bench %s\r\n\r\n"
            % (tag.encode(), SENDER, LOCAL_RCPT, EXTERNAL_RCPT, tag.encode()))
    line = b"0123456789" * 7 + b"\r\n"
    body = line * max(1, (size - len(head) - 3) // len(line))
    return head + body + b".\r\n"


def pop_message(n, size):
    """A stored message as CRLF lines without the end marker."""
    return smtp_message("pop%d" % n, size)[:-3]


# --- load workers (separate processes, so the client is not the limit) --------

async def smtp_reply(reader, code):
    while True:
        line = await reader.readline()
        if not line:
            raise ConnectionError("connection closed while waiting for %s" % code)
        if len(line) < 4 or line[3:4] != b"-":
            if not line.startswith(code):
                raise AssertionError("expected %s, got %r" % (code, line))
            return line


async def smtp_session(port, messages, per_connection, latencies):
    for first in range(0, len(messages), per_connection):
        reader, writer = await asyncio.open_connection("127.0.0.1", port, limit=1 << 20)
        await smtp_reply(reader, b"220")
        writer.write(b"EHLO bench.example\r\n")
        await smtp_reply(reader, b"250")
        for data in messages[first:first + per_connection]:
            for cmd, code in ((b"MAIL FROM:<%s>\r\n" % SENDER, b"250"), (b"RCPT TO:<%s>\r\n" % LOCAL_RCPT, b"250"),
                              (b"RCPT TO:<%s>\r\n" % EXTERNAL_RCPT, b"250"), (b"DATA\r\n", b"354")):
                writer.write(cmd)
                await smtp_reply(reader, code)
            t0 = time.monotonic()
            writer.write(data)
            await smtp_reply(reader, b"250")
            latencies.append(time.monotonic() - t0)
        writer.write(b"QUIT\r\n")
        await smtp_reply(reader, b"221")
        writer.close()


async def pop_ok(reader):
    line = await reader.readline()
    if not line.startswith(b"+OK"):
        raise AssertionError("expected +OK, got %r" % line)
    return line


async def pop_session(port, user, password, latencies):
    reader, writer = await asyncio.open_connection("127.0.0.1", port, limit=1 << 22)
    await pop_ok(reader)
    writer.write(b"USER %s\r\n" % user.encode())
    await pop_ok(reader)
    writer.write(b"PASS %s\r\n" % password.encode())
    await pop_ok(reader)
    writer.write(b"STAT\r\n")
    count = int((await pop_ok(reader)).split()[1])
    for i in range(1, count + 1):
        t0 = time.monotonic()
        writer.write(b"RETR %d\r\n" % i)
        data = await reader.readuntil(b"\r\n.\r\n")
        latencies.append(time.monotonic() - t0)
        if not data.startswith(b"+OK"):
            raise AssertionError("RETR %d: %r" % (i, data[:80]))
        writer.write(b"DELE %d\r\n" % i)
        await pop_ok(reader)
    writer.write(b"QUIT\r\n")
    await pop_ok(reader)
    writer.close()
    return count


def worker_main(job):
    """One load process: builds its messages, says "ready", waits for "go",
    runs its sessions and prints one JSON line."""
    latencies = []
    if job["kind"] == "smtp":
        sessions = [[smtp_message("%ss%dm%d" % (job["tag"], s, n), job["size"]) for n in range(job["messages"])]
                    for s in job["sessions"]]
        jobs = lambda: [smtp_session(job["port"], m, job["per_connection"], latencies) for m in sessions]  # noqa: E731
    else:
        jobs = lambda: [pop_session(job["port"], u, p, latencies) for u, p in job["users"]]  # noqa: E731
    print("ready", flush=True)
    if sys.stdin.readline().strip() != "go":
        return

    async def run():
        if job.get("sequential"):
            return [await job for job in jobs()]
        return await asyncio.gather(*jobs())
    try:
        results = asyncio.run(run())
        count = sum(r for r in results if isinstance(r, int)) if job["kind"] == "pop3" else len(latencies)
        print(json.dumps({"end": time.monotonic(), "count": count, "latencies": latencies}), flush=True)
    except Exception as e:  # noqa: BLE001 - reported to the parent, which stops the run
        print(json.dumps({"error": repr(e)}), flush=True)
        sys.exit(1)


# --- processes and memory ------------------------------------------------------

class Run:
    """Everything started in this run, stopped in reverse order at the end."""

    def __init__(self):
        self.stack = []

    def add(self, stop):
        self.stack.append(stop)
        return stop

    def remove(self, stop):
        if stop in self.stack:
            self.stack.remove(stop)
            stop()

    def close(self):
        while self.stack:
            stop = self.stack.pop()
            try:
                stop()
            except Exception as e:  # noqa: BLE001 - keep stopping the rest
                log("while stopping: %r" % e)


def stop_process(proc, sig=signal.SIGTERM, timeout=15, group=False):
    """Stops one child we started; with group, also what is left of the
    process group it leads (daemons that fork their workers). The child is
    reaped only at the end, so neither its id nor its group's can have gone
    to another process meanwhile."""
    if proc.returncode is not None:
        return
    os.kill(proc.pid, sig)
    deadline = time.monotonic() + timeout
    while os.waitid(os.P_PID, proc.pid, os.WEXITED | os.WNOHANG | os.WNOWAIT) is None:
        if time.monotonic() > deadline:
            os.kill(proc.pid, signal.SIGKILL)
            break
        time.sleep(0.02)
    if group:
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
    proc.wait()


def spawn(run, argv, group=False, **kw):
    # A session of its own: Ctrl+C reaches only this script, which then stops
    # everything in order; master daemons kill their own process group.
    proc = subprocess.Popen(argv, start_new_session=True, **kw)
    proc.bench_stop = run.add(lambda: stop_process(proc, group=group))
    return proc


def proc_tree(root):
    out, todo = [], [root]
    while todo:
        pid = todo.pop()
        out.append(pid)
        try:
            for task in os.listdir("/proc/%d/task" % pid):
                with open("/proc/%d/task/%s/children" % (pid, task)) as f:
                    todo.extend(int(c) for c in f.read().split())
        except OSError:
            pass
    return out


def memory_kb(pids):
    """(RSS, PSS) in kB summed over pids."""
    rss = pss = 0
    for pid in pids:
        try:
            with open("/proc/%d/smaps_rollup" % pid) as f:
                for line in f:
                    if line.startswith("Rss:"):
                        rss += int(line.split()[1])
                    elif line.startswith("Pss:"):
                        pss += int(line.split()[1])
        except OSError:
            pass
    return rss, pss


class PeakSampler(threading.Thread):
    def __init__(self, root, tree):
        super().__init__(daemon=True)
        self.root, self.tree = root, tree
        self.peak = (0, 0)
        self.halt = threading.Event()

    def sample(self):
        rss, pss = memory_kb(proc_tree(self.root) if self.tree else [self.root])
        self.peak = (max(self.peak[0], rss), max(self.peak[1], pss))

    def run(self):
        while not self.halt.is_set():
            self.sample()
            self.halt.wait(0.05)

    def finish(self):
        self.halt.set()
        self.join()
        self.sample()
        return self.peak


class QueueWatch(threading.Thread):
    """Follows the *.txt files of a folder through the kernel's change notes
    (inotify) and notes the moment each one leaves. Listing out/ every few
    milliseconds instead would hold the folder's lock against the relay's own
    renames and unlinks (with 10,000 names a listing takes milliseconds) and
    would see a leaving message only to the nearest poll."""

    IN_MOVED_FROM, IN_MOVED_TO, IN_CREATE, IN_DELETE = 0x40, 0x80, 0x100, 0x200
    IN_Q_OVERFLOW = 0x4000

    def __init__(self, folder, suffix=".txt"):
        super().__init__(daemon=True)
        import ctypes
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        mask = self.IN_MOVED_FROM | self.IN_MOVED_TO | self.IN_CREATE | self.IN_DELETE
        if self.libc.inotify_add_watch(self.fd, folder.encode(), mask) < 0:
            os.close(self.fd)
            raise OSError(ctypes.get_errno(), "inotify_add_watch " + folder)
        self.folder, self.suffix = folder, suffix
        self.lock = threading.Lock()
        self.changed = threading.Condition(self.lock)
        self.names = {e.name for e in os.scandir(folder) if e.name.endswith(suffix)}
        self.gone = []  # monotonic time of every *.txt that left, in order
        self.overflowed = False
        self.halt = False

    def left(self):
        with self.lock:
            return len(self.names)

    def wait_count(self, count, deadline):
        """Waits until at least count *.txt are known (notes of files just
        written may still be on their way)."""
        with self.lock:
            while len(self.names) < count and time.monotonic() < deadline:
                self.changed.wait(0.1)
            return len(self.names)

    def wait_empty(self, deadline):
        """True once no *.txt is left, False at the deadline."""
        with self.lock:
            while self.names and not self.overflowed:
                rest = deadline - time.monotonic()
                if rest <= 0:
                    return False
                self.changed.wait(min(rest, 0.5))
            if self.overflowed:
                raise RuntimeError("inotify queue overflowed while watching " + self.folder)
            return True

    def run(self):
        import select
        import struct
        while not self.halt:
            ready, _, _ = select.select([self.fd], [], [], 0.1)
            if not ready:
                continue
            try:
                data = os.read(self.fd, 1 << 16)
            except BlockingIOError:
                continue
            now = time.monotonic()
            with self.lock:
                pos = 0
                while pos + 16 <= len(data):
                    _, mask, _, length = struct.unpack_from("iIII", data, pos)
                    name = data[pos + 16:pos + 16 + length].rstrip(b"\0").decode(errors="replace")
                    pos += 16 + length
                    if mask & self.IN_Q_OVERFLOW:
                        self.overflowed = True
                    if not name.endswith(self.suffix):
                        continue
                    if mask & (self.IN_MOVED_TO | self.IN_CREATE):
                        self.names.add(name)
                    elif name in self.names:
                        self.names.discard(name)
                        self.gone.append(now)
                self.changed.notify_all()

    def stop(self):
        self.halt = True
        self.join()
        os.close(self.fd)


def free_port():
    from pop3_server_test import free_port as fp
    return fp()


def wait_greeting(proc, port, timeout=120):
    """Seconds from now until the port answers with its greeting; returns
    (accepted, greeted, open socket)."""
    t0 = time.monotonic()
    while True:
        if proc.poll() is not None:
            raise RuntimeError("program ended during start-up")
        if time.monotonic() - t0 > timeout:
            raise RuntimeError("port %d never answered" % port)
        try:
            s = socket.create_connection(("127.0.0.1", port), timeout=1)
        except OSError:
            time.sleep(0.005)
            continue
        accepted = time.monotonic()
        s.settimeout(timeout)
        if not s.recv(512):
            s.close()
            continue
        return accepted - t0, time.monotonic() - t0, s


# --- the programs -----------------------------------------------------------------

class Tarnwick:
    def __init__(self, run, binary, root, users, extra_smtp="Wait=1\n"):
        from pop3_server_test import write_links, write_pop, write_table, write_users
        self.run, self.binary = run, binary
        self.home = tempfile.mkdtemp(prefix="tarnwick-", dir=root)
        self.smtp_port, self.pop_port = free_port(), free_port()
        for d in ("in", "out"):
            os.makedirs(os.path.join(self.home, d))
        with open(os.path.join(self.home, "tarnwick.ini"), "w") as f:
            f.write("[POP]\nLocalPort=%d\n[SMTP]\nLocalPort=%d\n%s"
                    "[General]\nConfirmExit=0\nStartMin=0\n[Connect]\nRegular=0\nOnStartup=0\n[Remote]\nEnabled=0\n"
                    % (self.pop_port, self.smtp_port, extra_smtp))
        write_users(self.home, users)
        write_pop(self.home)
        write_links(self.home)
        write_table(os.path.join(self.home, "domain.dat"), [("Domain", "String", 64)], [("ixDomain", "Domain")],
                    [[DOMAIN]])
        self.proc = None

    def path(self, *parts):
        return os.path.join(self.home, *parts)

    def queue(self, count, size, batch=0):
        """count messages in out/ with their queue records, as the SMTP
        server leaves them: one external recipient each. A later batch adds
        to ports.dat (replaced whole, as Tarnwick writes it, so that it sees
        a new file and never half of one); call it only while no relay run
        is on."""
        ports_path = self.path("ports.dat")
        try:
            with open(ports_path, "rb") as f:
                records = f.read()
        except FileNotFoundError:
            records = b""
        if records and not records.endswith(b"\r\n"):
            records += b"\r\n"
        for n in range(count):
            qid = "queued%02d%06d" % (batch, n) if batch else "queued%06d" % n
            with open(self.path("out", qid + ".txt"), "wb") as f:
                f.write(smtp_message(qid, size))
            records += (b"[%s]\r\nrcpt=1\r\nTo1=<%s>\r\nFrom=<%s>\r\nUser=alice\r\n"
                        % (qid.encode(), EXTERNAL_RCPT, SENDER))
        with open(ports_path + ".bench", "wb") as f:
            f.write(records)
        os.rename(ports_path + ".bench", ports_path)

    def store(self, user, count, size):
        for n in range(count):
            with open(self.path("in", "%s_%09d.dat" % (user, n)), "wb") as f:
                f.write(pop_message(n, size) + b".\r\n")

    def start(self, keep_probe=False):
        """Starts the program; returns seconds to the SMTP greeting (and,
        with keep_probe, the probe's connection, still open: its end starts
        a relay run when mail is queued)."""
        runtime = self.path("run")
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        env = dict(os.environ, TARNWICK_HOME=self.home, TARNWICK_BIND_ADDRESS="127.0.0.1",
                   XDG_RUNTIME_DIR=runtime, QT_QPA_PLATFORM="offscreen")
        self.err = open(self.path("stderr.txt"), "wb")
        self.proc = spawn(self.run, [self.binary], env=env, stdout=subprocess.DEVNULL, stderr=self.err)
        accepted, greeted, s = wait_greeting(self.proc, self.smtp_port)
        if keep_probe:
            return accepted, greeted, s
        # The probe leaves politely, as a client would.
        s.sendall(b"QUIT\r\n")
        s.close()
        return accepted, greeted

    def files(self, folder, suffix):
        with os.scandir(self.path(folder)) as it:
            return sum(1 for e in it if e.name.endswith(suffix))

    def stop(self):
        self.run.remove(self.proc.bench_stop)
        self.err.close()


class Postfix:
    """A private Postfix: own config, queue and mail folders under root,
    listening on 127.0.0.1 only; far.example goes to the discard transport,
    office.example to maildirs."""

    def __init__(self, run, root):
        self.run = run
        self.dir = d = os.path.join(root, "postfix")
        self.port = free_port()
        for sub in ("etc", "spool", "data", "vmail"):
            os.makedirs(os.path.join(d, sub))
        shutil.chown(os.path.join(d, "data"), "postfix")
        shutil.chown(os.path.join(d, "vmail"), 65534, 65534)
        with open(os.path.join(d, "etc", "main.cf"), "w") as f:
            f.write("""compatibility_level = 3.6
queue_directory = {d}/spool
data_directory = {d}/data
command_directory = /usr/sbin
daemon_directory = {libexec}
meta_directory = /etc/postfix
shlib_directory = /usr/lib/postfix
mail_owner = postfix
setgid_group = postdrop
maillog_file_prefixes = {d}
maillog_file = {d}/postfix.log
myhostname = bench.localdomain
mydomain = localdomain
mydestination =
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
smtpd_peername_lookup = no
alias_maps =
alias_database =
local_recipient_maps =
biff = no
virtual_mailbox_domains = {domain}
virtual_mailbox_base = {d}/vmail
virtual_mailbox_maps = texthash:{d}/etc/vmailbox
virtual_uid_maps = static:65534
virtual_gid_maps = static:65534
transport_maps = texthash:{d}/etc/transport
""".format(d=d, libexec=POSTFIX_LIBEXEC, domain=DOMAIN))
        with open(os.path.join(d, "etc", "vmailbox"), "w") as f:
            f.write("alice@%s alice/\nbob@%s bob/\n" % (DOMAIN, DOMAIN))
        with open(os.path.join(d, "etc", "transport"), "w") as f:
            f.write("far.example discard:\n")
        with open(os.path.join(d, "etc", "master.cf"), "w") as f:
            f.write("""127.0.0.1:{port} inet n - n - - smtpd
pickup    unix n - n 60 1 pickup
cleanup   unix n - n - 0 cleanup
qmgr      unix n - n 300 1 qmgr
rewrite   unix - - n - - trivial-rewrite
bounce    unix - - n - 0 bounce
defer     unix - - n - 0 bounce
trace     unix - - n - 0 bounce
verify    unix - - n - 1 verify
flush     unix n - n 1000? 0 flush
proxymap  unix - - n - - proxymap
showq     unix n - n - - showq
error     unix - - n - - error
retry     unix - - n - - error
discard   unix - - n - - discard
virtual   unix - n n - - virtual
anvil     unix - - n - 1 anvil
scache    unix - - n - 1 scache
postlog   unix-dgram n - n - 1 postlogd
""".format(port=self.port))

    def start(self):
        etc = os.path.join(self.dir, "etc")
        # Creates the queue folders with Postfix's own owners and modes.
        check = subprocess.run(["postfix", "-c", etc, "check"], capture_output=True, text=True)
        if check.returncode != 0:
            raise RuntimeError("postfix check failed: %s %s" % (check.stderr, self.logtail()))
        self.proc = spawn(self.run, [os.path.join(POSTFIX_LIBEXEC, "master"), "-d", "-c", etc], group=True,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        _, greeted, s = wait_greeting(self.proc, self.port)
        s.sendall(b"QUIT\r\n")
        s.close()
        return greeted

    def logtail(self):
        try:
            with open(os.path.join(self.dir, "postfix.log")) as f:
                return f.read()[-2000:]
        except OSError:
            return ""

    def queued(self):
        n = 0
        for q in ("incoming", "active", "deferred", "hold"):
            for _, _, files in os.walk(os.path.join(self.dir, "spool", q)):
                n += len(files)
        return n

    def delivered(self, user):
        total = 0
        for sub in ("new", "cur"):
            p = os.path.join(self.dir, "vmail", user, sub)
            total += len(os.listdir(p)) if os.path.isdir(p) else 0
        return total


class Dovecot:
    """A private Dovecot POP3 server (the recipe of the peer tests)."""

    def __init__(self, run, root, users):
        self.run = run
        self.dir = d = os.path.join(root, "dovecot")
        self.port = free_port()
        self.users = users
        for sub in ("run", "state", "mail"):
            os.makedirs(os.path.join(d, sub))
        with open(os.path.join(d, "users"), "w") as f:
            for u, p in users:
                f.write("%s:{PLAIN}%s:65534:65534::%s/mail/%s\n" % (u, p, d, u))
        with open(os.path.join(d, "dovecot.conf"), "w") as f:
            f.write("""base_dir = {d}/run
state_dir = {d}/state
log_path = {d}/dovecot.log
protocols = pop3
listen = 127.0.0.1
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain login
mail_location = maildir:{d}/mail/%u
pop3_uidl_format = %f
passdb {{
  driver = passwd-file
  args = scheme=PLAIN username_format=%u {d}/users
}}
userdb {{
  driver = passwd-file
  args = username_format=%u {d}/users
}}
service pop3-login {{
  inet_listener pop3 {{
    address = 127.0.0.1
    port = {port}
  }}
  inet_listener pop3s {{
    port = 0
  }}
}}
""".format(d=d, port=self.port))

    def store(self, user, count, size):
        box = os.path.join(self.dir, "mail", user)
        for sub in ("cur", "new", "tmp"):
            os.makedirs(os.path.join(box, sub), exist_ok=True)
        for n in range(count):
            name = "%d.M%dP1.bench" % (1796600000 + n, n)
            tmp = os.path.join(box, "tmp", name)
            with open(tmp, "wb") as f:
                f.write(pop_message(n, size).replace(b"\r\n", b"\n"))
            os.rename(tmp, os.path.join(box, "new", name))
        for dirpath, dirnames, filenames in os.walk(box):
            for name in dirnames + filenames:
                os.chown(os.path.join(dirpath, name), 65534, 65534)
        os.chown(box, 65534, 65534)

    def left(self, user):
        box = os.path.join(self.dir, "mail", user)
        return sum(len(os.listdir(os.path.join(box, s))) for s in ("cur", "new"))

    def start(self):
        self.proc = spawn(self.run, ["dovecot", "-F", "-c", os.path.join(self.dir, "dovecot.conf")], group=True,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        _, greeted, s = wait_greeting(self.proc, self.port)
        s.sendall(b"QUIT\r\n")
        s.close()
        return greeted


# --- one load against one program ---------------------------------------------

class Result:
    def __init__(self, count, elapsed, latencies, idle, peak):
        self.count, self.elapsed = count, elapsed
        self.rate = count / elapsed if elapsed > 0 else 0.0
        lat = sorted(latencies)
        pick = lambda p: lat[min(len(lat) - 1, int(p * len(lat)))] * 1000 if lat else 0.0  # noqa: E731
        self.p50, self.p99 = pick(0.50), pick(0.99)
        self.idle, self.peak = idle, peak


class Profiler:
    """perf record or strace -c -f on Tarnwick for the length of one load."""

    def __init__(self, run, args, name, pid):
        self.run, self.procs, self.stops = run, [], []
        if args.perf:
            self.procs.append(subprocess.Popen(
                ["perf", "record", "-q", "--call-graph", "dwarf,16384", "-F", "250", "-p", str(pid),
                 "-o", os.path.join(args.perf, name + ".perf.data")],
                start_new_session=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        if args.strace:
            self.procs.append(subprocess.Popen(
                ["strace", "-c", "-w", "-f", "-p", str(pid), "-o", os.path.join(args.strace, name + ".strace.txt")],
                start_new_session=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        for p in self.procs:
            self.stops.append(run.add(lambda p=p: stop_process(p, signal.SIGINT, 60)))
        if self.procs:
            time.sleep(1.0)  # both need a moment to attach

    def stop(self):
        for s in self.stops:
            self.run.remove(s)


def drive(run, args, kind, port, units, root_pid, tree, tarnwick, name, extra, clients=None):
    """Runs one load: units are SMTP session numbers or POP3 (user, password)
    pairs, spread over worker processes. Returns a Result."""
    n_workers = max(1, min(clients or args.clients, len(units)))
    workers = []
    for w in range(n_workers):
        job = dict(kind=kind, port=port, **extra)
        part = units[w::n_workers]
        if kind == "smtp":
            job["sessions"] = part
        else:
            job["users"] = part
        p = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--worker", json.dumps(job)],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, start_new_session=True)
        p.bench_stop = run.add(lambda p=p: stop_process(p, signal.SIGKILL))
        workers.append(p)
    for p in workers:
        if p.stdout.readline().strip() != "ready":
            raise RuntimeError("a load worker did not start")
    idle = memory_kb(proc_tree(root_pid) if tree else [root_pid])
    if tarnwick:
        with open("/proc/%d/clear_refs" % root_pid, "w") as f:
            f.write("5")  # resets the peak RSS the kernel keeps
    profiler = Profiler(run, args, name, root_pid) if tarnwick else None
    sampler = PeakSampler(root_pid, tree)
    sampler.start()
    t_go = time.monotonic()
    for p in workers:
        p.stdin.write("go\n")
        p.stdin.flush()
    results = []
    for p in workers:
        line = p.stdout.readline()
        p.wait()
        run.remove(p.bench_stop)
        r = json.loads(line) if line else {"error": "worker ended without a result"}
        if "error" in r:
            raise RuntimeError("%s load against port %d: %s" % (kind, port, r["error"]))
        results.append(r)
    elapsed = max(r["end"] for r in results) - t_go
    peak = sampler.finish()
    if tarnwick:
        with open("/proc/%d/status" % root_pid) as f:
            hwm = [int(line.split()[1]) for line in f if line.startswith("VmHWM:")]
        peak = (max(peak[0], hwm[0] if hwm else 0), peak[1])
    if profiler:
        profiler.stop()
    latencies = [x for r in results for x in r["latencies"]]
    return Result(sum(r["count"] for r in results), elapsed, latencies, idle, peak)


def smtp_load(run, args, port, pid, tree, tarnwick, name):
    sessions = list(range(args.sessions))
    idle = memory_kb(proc_tree(pid) if tree else [pid])
    common = dict(size=args.size, per_connection=args.per_connection)
    # One untimed message per session first: Postfix forks its smtpd and
    # cleanup processes on demand, and neither side should pay start-up here.
    drive(run, args, "smtp", port, sessions, pid, tree, False, name + "-warmup",
          dict(common, messages=1, tag=name + "w"))
    result = drive(run, args, "smtp", port, sessions, pid, tree, tarnwick, name,
                   dict(common, messages=args.messages, tag=name))
    result.idle = idle
    return result


# --- phases ----------------------------------------------------------------------------

class Report:
    def __init__(self):
        self.rows, self.memory, self.notes = [], [], []

    def ratio(self, load, peer_name, peer, ours, target):
        ratio = ours.rate / peer.rate if peer.rate else float("nan")
        self.rows.append((load, peer_name, peer, ours, ratio, target))
        log("  %s: %s %.1f/s, Tarnwick %.1f/s, ratio %.2f" % (load, peer_name, peer.rate, ours.rate, ratio))

    def mem(self, load, program, idle, peak):
        self.memory.append((load, program, idle, peak))

    def note(self, text):
        self.notes.append(text)
        log("  " + text)

    def print(self, args):
        out = sys.stdout
        print("\nTarnwick side by side (%s; %d KB messages, %d load processes)" %
              (args.bin, args.size // 1024, args.clients), file=out)
        print("%-48s %-16s %10s %10s %7s %8s   %s" %
              ("load", "against", "peer/s", "Tarnwick/s", "ratio", "target", "p50/p99 ms peer | Tarnwick"), file=out)
        for load, peer_name, peer, ours, ratio, target in self.rows:
            print("%-48s %-16s %10.1f %10.1f %7.2f %8s   %.1f/%.1f | %.1f/%.1f" %
                  (load, peer_name, peer.rate, ours.rate, ratio, target, peer.p50, peer.p99, ours.p50, ours.p99),
                  file=out)
        if self.notes:
            print("", file=out)
            for n in self.notes:
                print(n, file=out)
        if self.memory:
            print("\n%-48s %-9s %9s %9s %9s %9s" %
                  ("memory (MB)", "program", "idle RSS", "peak RSS", "idle PSS", "peak PSS"), file=out)
            for load, program, idle, peak in self.memory:
                print("%-48s %-9s %9.1f %9.1f %9.1f %9.1f" %
                      (load, program, idle[0] / 1024, peak[0] / 1024, idle[1] / 1024, peak[1] / 1024), file=out)
            print("(peers: summed over their process tree; PSS shares each shared page among its users)", file=out)


def smtp_label(args, queued=0):
    what = "SMTP %d x %d, %d KB, local+external" % (args.sessions, args.messages, args.size // 1024)
    return what + (", %d queued" % queued if queued else "")


def phase_smtp(run, args, root, report, state):
    log("smtp: starting Postfix and Tarnwick")
    postfix = Postfix(run, root)
    postfix.start()
    tw = Tarnwick(run, args.bin, root, [("alice", "alicepw"), ("bob", "BobPW")])
    tw.start()
    pf = smtp_load(run, args, postfix.port, postfix.proc.pid, True, False, "smtp-postfix")
    t0 = time.monotonic()
    expected = args.sessions * (args.messages + 1)
    while postfix.queued() and time.monotonic() - t0 < 300:
        time.sleep(0.05)
    drained = time.monotonic() - t0
    ours = smtp_load(run, args, tw.smtp_port, tw.proc.pid, False, True, "smtp-tarnwick")
    report.ratio(smtp_label(args), "Postfix", pf, ours, ">= 1.0")
    got = postfix.delivered("bob")
    report.note("Postfix delivered its %d local copies %.2f s after the last 250 (%d in the maildir, %d still queued)"
                % (expected, drained, got, postfix.queued()))
    mailbox, queued = tw.files("in", ".dat"), tw.files("out", ".txt")
    if mailbox != expected or queued != expected:
        report.note("WARNING: Tarnwick holds %d mailbox copies and %d queued of %d messages" % (mailbox, queued, expected))
    report.mem(smtp_label(args), "Postfix", pf.idle, pf.peak)
    report.mem(smtp_label(args), "Tarnwick", ours.idle, ours.peak)
    state["smtp-empty"] = ours
    tw.stop()
    run.remove(postfix.proc.bench_stop)


def phase_queued(run, args, root, report, state):
    q = args.queued
    empty = Tarnwick(run, args.bin, root, [("alice", "alicepw"), ("bob", "BobPW")])
    start_empty = empty.start()
    if "smtp-empty" not in state:
        log("queued: Tarnwick with an empty queue")
        state["smtp-empty"] = smtp_load(run, args, empty.smtp_port, empty.proc.pid, False, True, "smtp-tarnwick")
    empty.stop()
    log("queued: Tarnwick with %d queued" % q)
    tw = Tarnwick(run, args.bin, root, [("alice", "alicepw"), ("bob", "BobPW")])
    tw.queue(q, args.size)
    accepted, greeted = tw.start()
    ours = smtp_load(run, args, tw.smtp_port, tw.proc.pid, False, True, "smtp-queued")
    report.ratio(smtp_label(args, q), "Tarnwick, empty", state["smtp-empty"], ours, ">= 0.8")
    report.note("start-up to the SMTP greeting: %.3f s empty, %.3f s with %d queued (port accepting after %.3f s);"
                " target < 0.5 s" % (start_empty[1], greeted, q, accepted))
    report.mem(smtp_label(args, q), "Tarnwick", ours.idle, ours.peak)
    tw.stop()


def phase_pop3(run, args, root, report, state):
    users = [("user%d" % i, "pw%d" % i) for i in range(args.pop_users)]
    log("pop3: seeding %d x %d messages for Dovecot and Tarnwick" % (len(users), args.pop_messages))
    dovecot = Dovecot(run, root, users)
    tw = Tarnwick(run, args.bin, root, users)
    for u, _ in users:
        dovecot.store(u, args.pop_messages, args.size)
        tw.store(u, args.pop_messages, args.size)
    dovecot.start()
    tw.start()
    for label, sequential in (("POP3 RETR+DELE %d users x %d" % (len(users), args.pop_messages), False),
                              ("POP3 RETR+DELE the same, 1 session at a time", True)):
        if sequential:
            for u, _ in users:
                dovecot.store(u, args.pop_messages, args.size)
                tw.store(u, args.pop_messages, args.size)
        # One load process runs the sessions one after another.
        extra, clients = ({"sequential": True}, 1) if sequential else ({}, None)
        dc = drive(run, args, "pop3", dovecot.port, users, dovecot.proc.pid, True, False, "pop3-dovecot", extra,
                   clients)
        ours = drive(run, args, "pop3", tw.pop_port, users, tw.proc.pid, False, True,
                     "pop3-tarnwick" + ("-1" if sequential else ""), extra, clients)
        report.ratio(label, "Dovecot", dc, ours, ">= 1.0")
        expected = len(users) * args.pop_messages
        if dc.count != expected or ours.count != expected:
            report.note("WARNING: %s: Dovecot served %d, Tarnwick %d of %d" % (label, dc.count, ours.count, expected))
        left_dc = sum(dovecot.left(u) for u, _ in users)
        left_tw = tw.files("in", ".dat")
        if left_dc or left_tw:
            report.note("WARNING: %s: messages left after QUIT: Dovecot %d, Tarnwick %d" % (label, left_dc, left_tw))
        report.mem(label, "Dovecot", dc.idle, dc.peak)
        report.mem(label, "Tarnwick", ours.idle, ours.peak)
    tw.stop()
    run.remove(dovecot.proc.bench_stop)


def relay_run_over(tw, log_before, deadline):
    """Waits for the end of the relay run started after smtp.log looked like
    log_before (log_state): the log changed and ends with the run's closing
    "Disconnected" (offsets mean nothing: a run may trim the log), then
    ports.dat left alone for a moment (the run writes its marks at its very
    end)."""
    while True:
        if tw.proc.poll() is not None:
            raise RuntimeError("Tarnwick ended during the relay run")
        if log_state(tw) != log_before:
            try:
                with open(tw.path("smtp.log"), "rb") as f:
                    f.seek(0, os.SEEK_END)
                    f.seek(max(0, f.tell() - 64))
                    if f.read().endswith(b"\r\nDisconnected\r\n"):
                        break
            except FileNotFoundError:
                pass
        if time.monotonic() > deadline:
            raise RuntimeError("the relay run did not end")
        time.sleep(0.01)
    ident = None
    while True:
        try:
            st = os.stat(tw.path("ports.dat"))
            now = (st.st_ino, st.st_size, st.st_mtime_ns)
        except FileNotFoundError:
            now = None
        if now == ident:
            return
        ident = now
        time.sleep(0.1)


def cpu_seconds(pid):
    """User and system time of the process so far, all its threads."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def log_state(tw):
    try:
        st = os.stat(tw.path("smtp.log"))
        return st.st_ino, st.st_size, st.st_mtime_ns
    except FileNotFoundError:
        return None


def phase_relay(run, args, root, report, state):
    sink_port = free_port()
    sink = spawn(run, ["smtp-sink", "-u", "nobody", "-a", "127.0.0.1:%d" % sink_port, "256"],
                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 10
    while True:
        try:
            socket.create_connection(("127.0.0.1", sink_port), timeout=1).close()
            break
        except OSError:
            if sink.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("smtp-sink did not start")
            time.sleep(0.02)
    rates = []
    for depth in args.relay_queues:
        log("relay: %d queued" % depth)
        tw = Tarnwick(run, args.bin, root, [("alice", "alicepw"), ("bob", "BobPW")],
                      extra_smtp="Wait=2\nHost=127.0.0.1\nPort=%d\nStandard=0\nAuth=0\n" % sink_port)
        tw.queue(depth, args.size)
        watch = QueueWatch(tw.path("out"))
        watch.start()
        stop_watch = run.add(watch.stop)
        # The end of an SMTP connection with mail queued starts a send-only
        # run; the start-up probe stays open until everything is watching.
        _, greeted, probe = tw.start(keep_probe=True)
        idle = memory_kb([tw.proc.pid])
        with open("/proc/%d/clear_refs" % tw.proc.pid, "w") as f:
            f.write("5")
        profiler = Profiler(run, args, "relay-%d" % depth, tw.proc.pid)
        sampler = PeakSampler(tw.proc.pid, False)
        sampler.start()
        # A queue that is quickly sent goes again, refilled, until the
        # figure rests on enough time: one short run is mostly its start.
        rounds = []  # (messages out, first out - trigger, last out - first out, trigger to last out)
        sent = total = 0
        cpu_start = cpu_seconds(tw.proc.pid)
        while True:
            if rounds:
                tw.queue(depth, args.size, batch=len(rounds))
                if watch.wait_count(depth, time.monotonic() + 10) < depth:
                    raise RuntimeError("the refilled queue was not seen")
                probe = socket.create_connection(("127.0.0.1", tw.smtp_port), timeout=60)
                if not probe.recv(512).startswith(b"220"):
                    raise RuntimeError("no greeting for the relay trigger")
            log_before = log_state(tw)
            with watch.lock:
                seen = len(watch.gone)
                queued = len(watch.names)
            t_trigger = time.monotonic()
            probe.sendall(b"QUIT\r\n")
            probe.close()
            emptied = watch.wait_empty(t_trigger + args.relay_time)
            t_end = time.monotonic()
            with watch.lock:
                gone = watch.gone[seen:]
            total += queued
            sent += len(gone)
            if not gone:
                raise RuntimeError("the relay sent nothing in %.0f s" % args.relay_time)
            rounds.append((len(gone), gone[0] - t_trigger, gone[-1] - gone[0],
                           (gone[-1] if emptied else t_end) - t_trigger))
            if not emptied:
                break
            relay_run_over(tw, log_before, time.monotonic() + 60)
            if len(rounds) >= args.relay_rounds or sum(r[2] for r in rounds) >= args.relay_min_time:
                break
        cpu = cpu_seconds(tw.proc.pid) - cpu_start
        peak = sampler.finish()
        with open("/proc/%d/status" % tw.proc.pid) as f:
            hwm = [int(line.split()[1]) for line in f if line.startswith("VmHWM:")]
        peak = (max(peak[0], hwm[0] if hwm else 0), peak[1])
        profiler.stop()
        run.remove(stop_watch)
        # From the first message out to the last, summed over the rounds:
        # the rate at this depth, without the wait for each run to begin.
        spans = sum(r[2] for r in rounds)
        rate = sum(r[0] - 1 for r in rounds) / spans if spans > 0 else 0.0
        rates.append(rate)
        report.note("relay to smtp-sink, %5d queued: %7.1f msg/s (%d of %d sent in %.1f s; first after %.2f s;"
                    " start-up %.3f s)" % (depth, rate, sent, total, sum(r[3] for r in rounds),
                                           sum(r[1] for r in rounds) / len(rounds), greeted))
        per_round = sorted((r[0] - 1) / r[2] for r in rounds if r[2] > 0) or [0.0]
        report.note("    %d round(s) of %d: msg/s per round min %.1f, median %.1f, max %.1f; first out after "
                    "%.3f-%.3f s; Tarnwick CPU %.2f ms per message" %
                    (len(rounds), depth, per_round[0], per_round[len(per_round) // 2], per_round[-1],
                     min(r[1] for r in rounds), max(r[1] for r in rounds), 1000.0 * cpu / max(1, sent)))
        report.mem("relay, %d queued" % depth, "Tarnwick", idle, peak)
        tw.stop()
    if len(rates) > 1 and min(rates) > 0:
        report.note("relay flatness: slowest/fastest = %.2f (target >= 0.8)" % (min(rates) / max(rates)))
    run.remove(sink.bench_stop)


PHASES = {"smtp": phase_smtp, "queued": phase_queued, "pop3": phase_pop3, "relay": phase_relay}


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--worker":
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        worker_main(json.loads(sys.argv[2]))
        return
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--only", default=",".join(PHASES), help="phases to run (default: %(default)s)")
    ap.add_argument("--scale", type=float, default=1.0,
                    help="multiplies every message count and queue depth (0.1: a quick run)")
    ap.add_argument("--bin", default=os.environ.get("TARNWICK_BIN") or os.path.join(ROOT, "build", "tarnwick"),
                    help="the program (default: $TARNWICK_BIN or build/tarnwick)")
    ap.add_argument("--sessions", type=int, default=20, help="parallel SMTP sessions (default 20)")
    ap.add_argument("--messages", type=int, default=100, help="SMTP messages per session (default 100)")
    ap.add_argument("--per-connection", type=int, default=1, help="SMTP messages per connection (default 1)")
    ap.add_argument("--size", type=int, default=10 * 1024, help="message size in bytes (default 10 KB)")
    ap.add_argument("--queued", type=int, default=10000, help="queue depth of the queued phase (default 10000)")
    ap.add_argument("--pop-users", type=int, default=20, help="parallel POP3 users (default 20)")
    ap.add_argument("--pop-messages", type=int, default=200, help="messages per POP3 user (default 200)")
    ap.add_argument("--relay-queues", default="100,1000,10000", help="queue depths of the relay phase")
    ap.add_argument("--relay-time", type=float, default=60.0,
                    help="seconds a relay run is watched at most (default 60, times --scale)")
    ap.add_argument("--relay-rounds", type=int, default=20,
                    help="at most this many runs per queue depth, the queue refilled between them (default 20)")
    ap.add_argument("--relay-min-time", type=float, default=2.0,
                    help="seconds of relaying after which no further round starts (default 2)")
    ap.add_argument("--clients", type=int, default=4, help="load-generating processes (default 4)")
    ap.add_argument("--perf", metavar="DIR", help="perf record Tarnwick under each load into DIR")
    ap.add_argument("--strace", metavar="DIR", help="strace -c -w -f (wall-clock time per system call) of Tarnwick under each load into DIR")
    args = ap.parse_args()
    phases = [p.strip() for p in args.only.split(",") if p.strip()]
    unknown = [p for p in phases if p not in PHASES]
    if unknown:
        ap.error("unknown phase(s): %s" % ", ".join(unknown))
    if os.geteuid() != 0:
        ap.error("run as root: the private Postfix and Dovecot switch to their own users")
    if not os.access(args.bin, os.X_OK):
        ap.error("no program at %s (build it: cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release "
                 "-DTARNWICK_TESTS=OFF && cmake --build build)" % args.bin)
    args.bin = os.path.abspath(args.bin)
    scaled = lambda n: max(1, int(round(n * args.scale)))  # noqa: E731
    args.messages, args.queued, args.pop_messages = scaled(args.messages), scaled(args.queued), \
        scaled(args.pop_messages)
    args.relay_queues = [scaled(int(x)) for x in args.relay_queues.split(",") if x.strip()]
    args.relay_time = max(5.0, args.relay_time * min(1.0, args.scale))
    for d in (args.perf, args.strace):
        if d:
            os.makedirs(d, exist_ok=True)

    def terminate(signum, frame):
        raise KeyboardInterrupt
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, terminate)

    root = tempfile.mkdtemp(prefix="tw-side-by-side-")
    os.chmod(root, 0o755)  # the peers' mail users must reach their folders
    run = Run()
    report = Report()
    state = {}
    ok = False
    try:
        for p in phases:
            PHASES[p](run, args, root, report, state)
        ok = True
    except KeyboardInterrupt:
        log("interrupted: stopping everything")
    finally:
        run.close()
        shutil.rmtree(root, ignore_errors=True)
    report.print(args)
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
