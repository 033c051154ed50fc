"""A provider's SMTP server that requires AUTH, for the relay tests.

Run with /usr/bin/python3 (it needs Debian's aiosmtpd):
  peers_smtp_smarthost.py DIR USER PASSWORD MECHANISMS [REFUSED [DELAY]]
MECHANISMS is a comma list of LOGIN, PLAIN and CRAM-MD5 to offer; REFUSED a
comma list of recipient addresses answered "550" at RCPT; DELAY the seconds
it waits, with each message stored, before it answers the final dot. It binds
127.0.0.1 on a free port, prints "PORT <n>" when it listens, and stores each
message as DIR/<n>.eml (the data as received, dot-stuffing undone) and then
DIR/<n>.json (envelope, authenticated user), the JSON last so a reader that
sees it finds the whole message. Stops on SIGTERM."""

import asyncio
import hashlib
import hmac
import json
import os
import secrets
import signal
import sys

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword, auth_mechanism

DIR, USER, PASSWORD, MECHS = sys.argv[1], sys.argv[2].encode(), sys.argv[3].encode(), sys.argv[4].split(",")
REFUSED = set(a.lower() for a in sys.argv[5].split(",")) if len(sys.argv) > 5 and sys.argv[5] else set()
DELAY = float(sys.argv[6]) if len(sys.argv) > 6 and sys.argv[6] else 0.0
ALL = {"LOGIN", "PLAIN", "CRAM-MD5"}


class Handler:
    def __init__(self):
        self.count = 0

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.lower() in REFUSED:
            return "550 5.1.1 no such user"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = os.path.join(DIR, "%04d" % self.count)
        with open(base + ".eml.tmp", "wb") as f:
            f.write(envelope.original_content or envelope.content)
        os.rename(base + ".eml.tmp", base + ".eml")
        meta = {"mail_from": envelope.mail_from, "rcpt_tos": envelope.rcpt_tos,
                "user": session.auth_data.login.decode() if isinstance(session.auth_data, LoginPassword)
                else str(session.auth_data)}
        with open(base + ".json.tmp", "w") as f:
            json.dump(meta, f)
        os.rename(base + ".json.tmp", base + ".json")
        if DELAY:
            await asyncio.sleep(DELAY)
        return "250 OK queued"


def authenticator(server, session, envelope, mechanism, auth_data):
    ok = isinstance(auth_data, LoginPassword) and auth_data.login == USER and auth_data.password == PASSWORD
    return AuthResult(success=ok, auth_data=auth_data if ok else None)


class Server(SMTP):
    @auth_mechanism("CRAM-MD5")
    async def auth_CRAM_MD5(self, server, args):
        challenge = ("<%s@smarthost>" % secrets.token_hex(8)).encode()
        answer = await self.challenge_auth(challenge)
        if not isinstance(answer, bytes) or b" " not in answer:
            return AuthResult(success=False, handled=False)
        login, digest = answer.rsplit(b" ", 1)
        expected = hmac.new(PASSWORD, challenge, hashlib.md5).hexdigest().encode()
        ok = login == USER and hmac.compare_digest(digest, expected)
        return AuthResult(success=ok, auth_data=LoginPassword(login, b"") if ok else None)


async def main():
    handler = Handler()
    loop = asyncio.get_running_loop()
    server = await loop.create_server(
        lambda: Server(handler, auth_required=True, auth_require_tls=False, authenticator=authenticator,
                       auth_exclude_mechanism=sorted(ALL - set(MECHS))),
        "127.0.0.1", 0)
    print("PORT %d" % server.sockets[0].getsockname()[1], flush=True)
    stop = asyncio.Event()
    loop.add_signal_handler(signal.SIGTERM, stop.set)
    await stop.wait()
    server.close()


asyncio.run(main())
