#!/usr/bin/python3
# A local SMTP server (aiosmtpd, the distribution's) that keeps every accepted message in a
# Maildir: for the run command, the tests and the benchmarks. It listens on an address
# (--listen HOST:PORT) or on a socket inherited from the parent (--fd N, already bound
# and listening), prints "ready" once it serves, and runs until it is stopped.
# --reject-rcpt ADDRESS answers 550 to that recipient; --reject-data answers 554 to
# every message text; --size 0 accepts messages of any size (the default is 32 MiB).
import argparse
import asyncio
import os
import signal
import socket
import sys

from aiosmtpd.handlers import Mailbox
from aiosmtpd.smtp import SMTP


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


def main():
    parser = argparse.ArgumentParser()
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--listen", help="HOST:PORT")
    where.add_argument("--fd", type=int, help="an inherited listening socket")
    parser.add_argument("--maildir", required=True)
    parser.add_argument("--reject-rcpt", action="append", default=[])
    parser.add_argument("--reject-data", action="store_true")
    parser.add_argument("--size", type=int, default=32 * 1024 * 1024)
    options = parser.parse_args()

    for folder in ("tmp", "new", "cur"):
        os.makedirs(os.path.join(options.maildir, folder), exist_ok=True)
    handler = Handler(options.maildir, options.reject_rcpt, options.reject_data)
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)

    def factory():
        return SMTP(handler, data_size_limit=options.size or None, hostname="smtp.test", loop=loop)

    if options.fd is not None:
        listener = socket.socket(fileno=options.fd)
        server = loop.run_until_complete(loop.create_server(factory, sock=listener))
    else:
        host, _, port = options.listen.rpartition(":")
        server = loop.run_until_complete(loop.create_server(factory, host=host, port=int(port)))
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
