#!/usr/bin/python3
# A local SMTP server (aiosmtpd, the distribution's) that keeps every accepted message in a
# Maildir: for the run command, the tests and the benchmarks. It listens on an address
# (--listen HOST:PORT) or on a socket inherited from the parent (--fd N, already bound
# and listening), prints "ready" once it serves, and runs until it is stopped.
# --reject-rcpt ADDRESS answers 550 to that recipient; --reject-data answers 554 to
# every message text; --size 0 accepts messages of any size (the default is 32 MiB).
#
# Encryption and authentication (each off unless given):
#   --starttls CERT KEY   offers STARTTLS with that certificate (PEM) and key, and requires it
#                         before AUTH and MAIL (530 until then)
#   --tls CERT KEY        implicit TLS from the first byte, as on port 465
#   --auth USER:PASSWORD  offers AUTH PLAIN and LOGIN and requires a login before MAIL (530);
#                         a wrong password gets 535. Repeatable. With --starttls, AUTH is
#                         offered only once TLS runs; with neither TLS option, in plain text.
#   --auth-only MECHANISM offers only that mechanism (PLAIN or LOGIN)
#   --command-log FILE    appends every command line received, in order, one a line:
#                         "ADDRESS:PORT LINE" with the peer's address; the arguments of AUTH
#                         are written as "********", and message text and the answers to
#                         AUTH's challenges are never written.
import argparse
import asyncio
import logging
import os
import signal
import socket
import ssl
import sys
import warnings

from aiosmtpd.handlers import Mailbox
from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

MECHANISMS = ("PLAIN", "LOGIN")


class Handler(Mailbox):
    def __init__(self, maildir, reject_rcpt, reject_data):
        super().__init__(maildir)
        self.reject_rcpt = set(address.lower() for address in reject_rcpt)
        self.reject_data = reject_data

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.lower() in self.reject_rcpt:
            return "550 no such mailbox"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if self.reject_data:
            return "554 refused by the test server"
        return await super().handle_DATA(server, session, envelope)


class CommandLog(logging.Handler):
    """Writes the command lines that aiosmtpd's session logger reports ("PEER >> LINE", the
    line already masked after AUTH's mechanism) to a file, flushed line by line, so that the
    file holds each command before its answer goes out."""

    def __init__(self, path):
        super().__init__(logging.INFO)
        self.file = open(path, "a", encoding="ascii", errors="backslashreplace")

    def emit(self, record):
        if record.levelno != logging.INFO or record.msg != "%r >> %r" or len(record.args) != 2:
            return
        peer, line = record.args
        where = "%s:%s" % (peer[0], peer[1]) if isinstance(peer, tuple) and len(peer) >= 2 else str(peer)
        text = line.decode("ascii", errors="backslashreplace") if isinstance(line, bytes) else str(line)
        self.file.write("%s %s\n" % (where, text))
        self.file.flush()


class QuietNotices(logging.Filter):
    """Drops the notices aiosmtpd prints for every successful login and, over implicit TLS,
    for every connection."""

    NOTICES = ("Session.login_data is deprecated", "auth_required == True but auth_require_tls == False")

    def __init__(self, implicit_tls):
        super().__init__()
        self.notices = self.NOTICES if implicit_tls else self.NOTICES[:1]

    def filter(self, record):
        return not any(str(record.msg).startswith(notice) for notice in self.notices)


def tls_context(certificate, key):
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(certificate, key)
    return context


def authenticator(accounts):
    def check(server, session, envelope, mechanism, auth_data):
        known = isinstance(auth_data, LoginPassword) and accounts.get(auth_data.login) == auth_data.password
        return AuthResult(success=known, handled=False)
    return check


def parse_accounts(parser, entries):
    accounts = {}
    for entry in entries:
        user, colon, password = entry.partition(":")
        if not colon or not user or not password:
            parser.error("--auth wants USER:PASSWORD: %r" % entry)
        accounts[user.encode()] = password.encode()
    return accounts


def main():
    parser = argparse.ArgumentParser()
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--listen", help="HOST:PORT")
    where.add_argument("--fd", type=int, help="an inherited listening socket")
    parser.add_argument("--maildir", required=True)
    parser.add_argument("--reject-rcpt", action="append", default=[])
    parser.add_argument("--reject-data", action="store_true")
    parser.add_argument("--size", type=int, default=32 * 1024 * 1024)
    encryption = parser.add_mutually_exclusive_group()
    encryption.add_argument("--starttls", nargs=2, metavar=("CERT", "KEY"))
    encryption.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    parser.add_argument("--auth", action="append", default=[], metavar="USER:PASSWORD")
    parser.add_argument("--auth-only", choices=MECHANISMS, metavar="MECHANISM")
    parser.add_argument("--command-log", metavar="FILE")
    options = parser.parse_args()
    accounts = parse_accounts(parser, options.auth)
    if options.auth_only and not accounts:
        parser.error("--auth-only goes with --auth")
    starttls = tls_context(*options.starttls) if options.starttls else None
    implicit = tls_context(*options.tls) if options.tls else None
    session_log = logging.getLogger("mail.log")
    session_log.addFilter(QuietNotices(implicit is not None))
    if implicit is not None:
        # AUTH over implicit TLS is not AUTH in plain text, whatever aiosmtpd fears.
        warnings.filterwarnings("ignore", message="Requiring AUTH while not requiring TLS")
    if options.command_log:
        session_log.setLevel(logging.INFO)
        session_log.addHandler(CommandLog(options.command_log))

    for folder in ("tmp", "new", "cur"):
        os.makedirs(os.path.join(options.maildir, folder), exist_ok=True)
    handler = Handler(options.maildir, options.reject_rcpt, options.reject_data)
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)

    security = {}
    if starttls is not None:
        security = dict(tls_context=starttls, require_starttls=True)
    if accounts:
        # Over implicit TLS aiosmtpd sees no STARTTLS, so "AUTH only inside TLS" would hide AUTH.
        security.update(authenticator=authenticator(accounts), auth_required=True,
                        auth_require_tls=starttls is not None,
                        auth_exclude_mechanism=[m for m in MECHANISMS if options.auth_only not in (None, m)])

    def factory():
        return SMTP(handler, data_size_limit=options.size or None, hostname="smtp.test", loop=loop, **security)

    if options.fd is not None:
        listener = socket.socket(fileno=options.fd)
        server = loop.run_until_complete(loop.create_server(factory, sock=listener, ssl=implicit))
    else:
        host, _, port = options.listen.rpartition(":")
        server = loop.run_until_complete(loop.create_server(factory, host=host, port=int(port), ssl=implicit))
    for number in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(number, loop.stop)
    print("ready", flush=True)
    try:
        loop.run_forever()
    finally:
        server.close()
        loop.run_until_complete(server.wait_closed())
        loop.close()


if __name__ == "__main__":
    sys.exit(main())
