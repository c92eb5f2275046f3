#!/usr/bin/python3
# https-server.py: an HTTPS file server for the tests (Python's ThreadingHTTPServer). It serves
# a folder over TLS on an address (--listen HOST:PORT) or on a socket inherited from the parent
# (--fd N, already bound and listening), prints "ready HOST:PORT" once it serves, and runs
# until SIGTERM or SIGINT.
#
#   --folder DIR          the folder served (GET and HEAD; a folder without index.html is listed)
#   --cert CERT --key KEY the certificate (PEM, the chain after it) and its key
#   --redirect PATH=URL   answers 302 with "Location: URL" for that path (the query is ignored);
#                         repeatable
#
# Each accepted connection gets its TLS handshake in its own worker thread, so a client that
# stalls its handshake holds no one else up; a handshake or request that stays idle for
# IDLE_SECONDS ends that connection. Every answer has a Content-Length. Requests and failed
# handshakes are logged on standard error.
import argparse
import functools
import http.server
import signal
import socket
import ssl
import sys
import threading
import urllib.parse

IDLE_SECONDS = 10


class Handler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = IDLE_SECONDS

    def __init__(self, *args, redirects, **kwargs):
        self.redirects = redirects
        super().__init__(*args, **kwargs)

    def redirected(self):
        target = self.redirects.get(urllib.parse.urlsplit(self.path).path)
        if target is None:
            return False
        self.send_response(302)
        self.send_header("Location", target)
        self.send_header("Content-Length", "0")
        self.end_headers()
        return True

    def do_GET(self):
        if not self.redirected():
            super().do_GET()

    def do_HEAD(self):
        if not self.redirected():
            super().do_HEAD()


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, listener, handler, context):
        super().__init__(listener.getsockname()[:2], handler, bind_and_activate=False)
        self.socket.close()
        self.socket = listener
        self.context = context

    def finish_request(self, request, client_address):
        # Runs in the connection's own thread: the handshake happens here, not in accept().
        request.settimeout(IDLE_SECONDS)
        try:
            secured = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError) as problem:
            sys.stderr.write("%s:%d handshake failed: %s\n" % (client_address[0], client_address[1], problem))
            return
        try:
            super().finish_request(secured, client_address)
        finally:
            secured.close()


def main():
    parser = argparse.ArgumentParser()
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--listen", help="HOST:PORT")
    where.add_argument("--fd", type=int, help="an inherited listening socket")
    parser.add_argument("--folder", required=True)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--redirect", action="append", default=[], metavar="PATH=URL")
    options = parser.parse_args()

    redirects = {}
    for entry in options.redirect:
        path, equals, url = entry.partition("=")
        if not equals or not path.startswith("/") or not url:
            parser.error("--redirect wants PATH=URL with PATH beginning with '/': %r" % entry)
        redirects[path] = url
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(options.cert, options.key)

    if options.fd is not None:
        listener = socket.socket(fileno=options.fd)
    else:
        host, _, port = options.listen.rpartition(":")
        listener = socket.create_server((host, int(port)), backlog=64)
    handler = functools.partial(Handler, redirects=redirects, directory=options.folder)
    server = Server(listener, handler, context)

    # serve_forever() ends when shutdown() is called from another thread.
    def stop(number, frame):
        threading.Thread(target=server.shutdown).start()

    for number in (signal.SIGTERM, signal.SIGINT):
        signal.signal(number, stop)
    host, port = listener.getsockname()[:2]
    print("ready %s:%d" % (host, port), flush=True)
    server.serve_forever()
    server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
