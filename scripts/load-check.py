#!/usr/bin/python3
# load-check.py: runs velquor-host under a fixed load with hostile clients beside it and checks
# that no message is lost: contact-form mail against aiosmtpd, inbox views against Dovecot.
"""Load check of velquor-host: nothing lost, no error response, other clients still served.

  load-check.py --host BINARY --module LIBRARY [--seconds 20] [--drain 30] [--report FILE]

Starts, each private to a temporary folder: velquor-host (port 0) on a small site of four
kinds of pages, the distribution's aiosmtpd (scripts/smtp-server.py) refusing the recipient
refused@example.org with 550, and a private Dovecot (scripts/pop3-server.py) whose mailbox a
thread fills with 10 messages a second. Then, for --seconds, at fixed rates:

  static page        100/s  hey -c 10 -q 10
  include page        30/s  hey -c 6 -q 5    (qelIncludeHTTP of a file of this host)
  contact-form post   10/s  this script, every post a unique token, one in five refused
  inbox view           2/s  this script (each view's count of fetched messages is read)

hey cannot vary a body per request nor show the body it got, and the posts (for their token
and the error box) and the views (for their count) need both, so those two kinds come from
this script's own fixed-rate clients. Beside the load, hostile clients, each from an address
of its own (127.0.0.x): a header block that never ends, a body that trickles, a post over
the body limit (413), 1,000 idle connections, and a flood of connections, 64 more than the
host's descriptor limit (--nofile, 384); these two open 200 connections a second. A probe client must be served within 2 s throughout.

After the load, at most --drain seconds for the mail to settle, then the host is stopped
and the figures are checked:
  A = posts answered 200 without an error box, D = distinct tokens in the SMTP server's
  Maildir, F = distinct tokens in failed-mail records with a complete spool file;
  Lost = A - D - F = 0, tokens found twice = 0, orphan spool files = 0;
  distinct "Unique ID"s stored = messages dropped, none twice, = the sum of the views' counts;
  no non-2xx answer, no transport error, the host ends normally (no crash, no sanitizer
  report).
Prints the figures (and writes them as JSON to --report); exit status 0 when every check
holds, 1 otherwise, 2 when the run could not be set up.
"""
import argparse
import http.client
import importlib.util
import json
import os
import queue
import re
import resource
import secrets
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REFUSED = "refused@example.org"
ACCEPTED = "office@example.org"
TOKEN = re.compile(rb"(?:post|pop)-[0-9a-f]{20}")
ERROR_BOX = b'class="velquor-error"'
PROBE_LIMIT = 2.0            # seconds within which the probe must be served
START_WAIT = 120.0           # for each server to come up (the host under ASan is slow)
STOP_WAIT = 120.0            # for the host's orderly end (it waits for delivery jobs)
IDLE_CONNECTIONS = 1000
IDLE_ADDRESSES = 20          # 50 connections each: under the host's limit per address
# The idle connections and the flood open this many a second: about what velquor-host built
# with AddressSanitizer takes easily on this loaded 2-core machine (a thread per connection,
# ~2.3 ms each, so 1,000 at once keep a new client waiting over 2 s).
HOSTILE_RATE = 200.0
PAGE_TIMEOUT = 30.0          # for one answer of the load clients


class SetupError(Exception):
    pass


def load_pop3_launcher():
    spec = importlib.util.spec_from_file_location("pop3_server", os.path.join(SOURCE, "scripts", "pop3-server.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def write(path, text, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as file:
        file.write(text)
    os.chmod(path, mode)


def make_site(site, smtp_port, pop3_port):
    write(os.path.join(site, "static.html"),
          "<!DOCTYPE html><html><head><title>Static</title></head><body><h1>A page without tags</h1>"
          + "<p>Filler text of a plain page.</p>" * 40 + "</body></html>\n")
    write(os.path.join(site, "news.txt"), "News of the day: the load check runs.\n" * 20)
    write(os.path.join(site, "include.html"),
          "<!DOCTYPE html><html><body><pre><qelIncludeHTTP url=\"/news.txt\"></pre></body></html>\n")
    write(os.path.join(site, "mail", "contact-send.html"),
          "<!DOCTYPE html><html><body><h1>Thank you, {{form:name}}</h1>\n"
          "<qelSendMail mailServer=\"127.0.0.1:%d\" from=\"website@example.org\" to=\"{{form:to}}\"\n"
          "  replyTo=\"{{form:email}}\" subject=\"Message {{form:token}}\">\n"
          "Token: {{form:token}}\n\n{{form:message}}\n</qelSendMail>\n"
          "<p>queued {{form:token}}</p></body></html>\n" % smtp_port)
    write(os.path.join(site, "mail", "inbox.html"),
          "<!DOCTYPE html><html><body>\n"
          "<qelPOP mailServer=\"127.0.0.1:%d\" username=\"demo\" password=\"demo\" databaseName=\"Inbox\"\n"
          "  resultVariableName=\"inbox\" deleteMessagesOnServer=\"true\">\n"
          "<p>fetched <strong>{{var:inbox_ResultCount}}</strong></p></body></html>\n" % pop3_port)


def wait_for_line(path, pattern, process, limit):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        try:
            with open(path, "rb") as file:
                found = re.search(pattern, file.read())
            if found:
                return found
        except FileNotFoundError:
            pass
        if process.poll() is not None:
            break
        time.sleep(0.05)
    with open(path, "rb") as file:
        raise SetupError("no %r from %s:\n%s" % (pattern, process.args[0], file.read().decode(errors="replace")))


def percentiles(values):
    if not values:
        return {}
    ordered = sorted(values)
    pick = lambda share: ordered[min(len(ordered) - 1, int(share * len(ordered)))]
    return {"p50": round(pick(0.50), 4), "p90": round(pick(0.90), 4), "p99": round(pick(0.99), 4),
            "max": round(ordered[-1], 4)}


def connect(port, source, timeout):
    connection = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    connection.settimeout(timeout)
    try:
        connection.bind((source, 0))
        connection.connect(("127.0.0.1", port))
    except OSError:
        connection.close()
        raise
    return connection


def read_answer(connection, limit):
    """Reads one HTTP answer from a raw socket: (status, body) or (None, reason)."""
    connection.settimeout(limit)
    data = b""
    try:
        while b"\r\n\r\n" not in data:
            chunk = connection.recv(65536)
            if not chunk:
                return None, "closed"
            data += chunk
        head, _, body = data.partition(b"\r\n\r\n")
        length = re.search(rb"(?im)^content-length:\s*(\d+)", head)
        while length and len(body) < int(length.group(1)):
            chunk = connection.recv(65536)
            if not chunk:
                break
            body += chunk
        return int(head.split(b" ", 2)[1]), body
    except OSError as error:
        return None, str(error)


class RateClient:
    """Sends requests at a fixed rate from worker threads; records every outcome."""

    def __init__(self, name, port, rate, workers, make_request, seconds):
        self.name, self.port, self.rate, self.seconds = name, port, rate, seconds
        self.make_request = make_request
        self.jobs = queue.Queue()
        self.results = []
        self.lock = threading.Lock()
        self.threads = [threading.Thread(target=self.work, daemon=True) for _ in range(workers)]

    def start(self):
        for thread in self.threads:
            thread.start()
        self.ticker = threading.Thread(target=self.tick, daemon=True)
        self.ticker.start()

    def tick(self):
        begin = time.monotonic()
        count = int(self.rate * self.seconds)
        for number in range(count):
            delay = begin + number / self.rate - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            self.jobs.put(number)
        for _ in self.threads:
            self.jobs.put(None)

    def work(self):
        while True:
            number = self.jobs.get()
            if number is None:
                return
            method, target, body, note = self.make_request(number)
            started = time.monotonic()
            outcome = {"note": note, "status": None, "body": b"", "error": None}
            connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=PAGE_TIMEOUT)
            try:
                headers = {"Connection": "close"}
                if body is not None:
                    headers["Content-Type"] = "application/x-www-form-urlencoded"
                connection.request(method, target, body=body, headers=headers)
                answer = connection.getresponse()
                outcome["status"], outcome["body"] = answer.status, answer.read()
            except (OSError, http.client.HTTPException) as error:
                outcome["error"] = "%s: %s" % (type(error).__name__, error)
            finally:
                connection.close()
            outcome["latency"] = time.monotonic() - started
            with self.lock:
                self.results.append(outcome)

    def join(self, limit):
        deadline = time.monotonic() + limit
        self.ticker.join(max(0.0, deadline - time.monotonic()))
        for thread in self.threads:
            thread.join(max(0.0, deadline - time.monotonic()))
        return not any(thread.is_alive() for thread in self.threads)


def run_hey(name, url, workers, per_worker, seconds, folder):
    output = open(os.path.join(folder, "hey-%s.txt" % name), "wb")
    process = subprocess.Popen(["hey", "-z", "%ds" % seconds, "-c", str(workers), "-q", str(per_worker),
                                "-t", str(int(PAGE_TIMEOUT)), url], stdout=output, stderr=subprocess.STDOUT)
    return process, output


def parse_hey(path):
    with open(path, encoding="utf-8", errors="replace") as file:
        text = file.read()
    statuses = {int(code): int(count) for code, count in re.findall(r"\[(\d{3})\]\s+(\d+) responses", text)}
    errors = sum(int(count) for count in re.findall(r"(?m)^\s+\[(\d+)\]\s+(?!\d+ responses)\S", text))
    shares = {"p%s" % share: float(value) for share, value in re.findall(r"(\d+)% in ([0-9.]+) secs", text)}
    latency = {key: shares[key] for key in ("p50", "p90", "p99") if key in shares}
    slowest = re.search(r"Slowest:\s+([0-9.]+) secs", text)
    if slowest:
        latency["max"] = float(slowest.group(1))
    return {"statuses": statuses, "errors": errors, "latency": latency,
            "answered": sum(statuses.values()), "non2xx": sum(c for s, c in statuses.items() if s // 100 != 2)}


class Hostiles:
    """The hostile clients and the probe, each on a thread of its own."""

    def __init__(self, port, seconds, flood_limit):
        # The phases: the endless header block from 0.5 s (cut at its 10 s deadline), the
        # idle connections from 11 s, the flood from 16.5 s, all over by 19.5 s.
        self.port, self.seconds, self.flood_limit = port, seconds, flood_limit
        self.began = time.monotonic()
        self.stop = threading.Event()
        self.lock = threading.Lock()
        self.findings = {}
        self.probe_latencies = []
        self.probe_times = []
        self.probe_failures = []
        self.threads = [threading.Thread(target=target, daemon=True) for target in
                        (self.probe, self.endless_header, self.trickled_body, self.oversized_post,
                         self.idle_then_flood)]

    def note(self, key, value):
        with self.lock:
            self.findings[key] = value

    def at(self, offset):
        """Waits until `offset` seconds into the load (or the stop)."""
        self.stop.wait(max(0.0, self.began + offset - time.monotonic()))

    def start(self):
        for thread in self.threads:
            thread.start()

    def join(self, limit):
        self.stop.set()
        deadline = time.monotonic() + limit
        for thread in self.threads:
            thread.join(max(0.0, deadline - time.monotonic()))
        return not any(thread.is_alive() for thread in self.threads)

    def probe(self):
        # A fresh connection every 0.2 s from an address of its own; each must be served in 2 s.
        while not self.stop.is_set():
            started = time.monotonic()
            try:
                connection = connect(self.port, "127.0.0.5", PROBE_LIMIT + 5)
                connection.sendall(b"GET /static.html HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
                status, body = read_answer(connection, PROBE_LIMIT + 5)
                connection.close()
            except OSError as error:
                status, body = None, str(error)
            latency = time.monotonic() - started
            with self.lock:
                self.probe_latencies.append(latency)
                self.probe_times.append((started - self.began, latency))
                if status != 200 or latency > PROBE_LIMIT:
                    self.probe_failures.append({"at": round(started - self.began, 2), "status": status,
                                                "latency": round(latency, 3),
                                                "reason": body if isinstance(body, str) else ""})
            self.stop.wait(0.2)

    def endless_header(self):
        # A header block that never ends: a header line every 0.5 s. The host must cut it
        # when its deadline for the header block passes.
        self.at(0.5)
        started = time.monotonic()
        try:
            connection = connect(self.port, "127.0.0.2", 5)
            connection.sendall(b"GET /static.html HTTP/1.1\r\nHost: 127.0.0.1\r\n")
            connection.settimeout(0.5)
            closed = None
            number = 0
            while not self.stop.is_set() and closed is None:
                try:
                    if connection.recv(4096) == b"":
                        closed = time.monotonic() - started
                except socket.timeout:
                    number += 1
                    connection.sendall(b"X-Slow-%d: %d\r\n" % (number, number))
                except OSError:
                    closed = time.monotonic() - started
            connection.close()
            self.note("endless_header_cut_after", None if closed is None else round(closed, 2))
        except OSError as error:
            self.note("endless_header_cut_after", "error: %s" % error)

    def trickled_body(self):
        # A body of a byte every 0.25 s for most of the run, then the answer it gets.
        self.at(0.5)
        length = max(8, int((self.seconds - 3) * 4))
        body = (b"note=" + b"t" * length)[:length]
        try:
            connection = connect(self.port, "127.0.0.3", 5)
            connection.sendall(b"POST /static.html HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                               b"Content-Type: application/x-www-form-urlencoded\r\n"
                               b"Content-Length: %d\r\n\r\n" % length)
            for index in range(length):
                connection.sendall(body[index:index + 1])
                time.sleep(0.25)  # the trickle's own pace, not a synchronisation
            status, _ = read_answer(connection, 30)
            connection.close()
            self.note("trickled_body_status", status)
        except OSError as error:
            self.note("trickled_body_status", "error: %s" % error)

    def oversized_post(self):
        # A post announcing a body over the 32 MB limit: 413 at once, before the body.
        self.at(1.0)
        try:
            connection = connect(self.port, "127.0.0.4", 5)
            connection.sendall(b"POST /mail/contact-send.html HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                               b"Content-Type: application/x-www-form-urlencoded\r\n"
                               b"Content-Length: %d\r\n\r\n" % (33 << 20))
            connection.sendall(b"x" * 65536)
            status, _ = read_answer(connection, 20)
            connection.close()
            self.note("oversized_post_status", status)
        except OSError as error:
            self.note("oversized_post_status", "error: %s" % error)

    def idle_then_flood(self):
        # 1,000 connections that never send a byte, from 20 addresses, held 0.5 s. Then a
        # flood of connections from further addresses, past the host's descriptor limit
        # (or until one fails), held 0.5 s; then all are closed and the host must serve at once.
        self.at(11)  # after the endless header block has met the host's 10 s deadline
        idle = []
        try:
            for number in range(IDLE_CONNECTIONS):
                self.at(11 + number / HOSTILE_RATE)
                if self.stop.is_set():
                    break
                source = "127.0.0.%d" % (10 + number % IDLE_ADDRESSES)
                try:
                    idle.append(connect(self.port, source, 5))
                except OSError as error:
                    self.note("idle_connect_error", str(error))
                    break
            self.note("idle_opened", len(idle))
            self.stop.wait(0.5)
        finally:
            for connection in idle:
                connection.close()
        self.at(16.5)
        flood = []
        refused = None
        try:
            while len(flood) < self.flood_limit and not self.stop.is_set():
                self.at(16.5 + len(flood) / HOSTILE_RATE)
                source = "127.0.%d.%d" % (1 + len(flood) // 50 // 200, 100 + len(flood) // 50 % 100)
                try:
                    flood.append(connect(self.port, source, 2))
                except OSError as error:
                    refused = str(error)
                    break
            self.note("flood_opened", len(flood))
            self.note("flood_stopped_by", refused or "its own limit")
            self.stop.wait(0.5)
        finally:
            for connection in flood:
                connection.close()
        # Served again once they are gone.
        started = time.monotonic()
        served = None
        while time.monotonic() - started < 10 and served is None:
            try:
                connection = connect(self.port, "127.0.0.6", 5)
                connection.sendall(b"GET /static.html HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
                status, _ = read_answer(connection, 5)
                connection.close()
                if status == 200:
                    served = time.monotonic() - started
            except OSError:
                pass
        self.note("served_after_flood_within", None if served is None else round(served, 3))


def pop_message(token, number):
    return ("From: Dropper <dropper@example.org>\r\nTo: demo@example.org\r\nSubject: Drop %d\r\n"
            "Message-ID: <%s@load.test>\r\n\r\nToken %s\r\n" % (number, token, token))


def drop_messages(launcher, folder, seconds, rate, stop, dropped, scratch):
    begin = time.monotonic()
    for number in range(int(seconds * rate)):
        delay = begin + number / rate - time.monotonic()
        if delay > 0 and stop.wait(delay):
            return
        token = "pop-" + secrets.token_hex(10)
        path = os.path.join(scratch, "drop.eml")
        with open(path, "w", encoding="ascii") as file:
            file.write(pop_message(token, number))
        launcher.deliver(folder, "demo", path)
        dropped.append(token)


def tokens_in_folder(folder):
    counts = {}
    for sub in ("new", "cur"):
        path = os.path.join(folder, sub)
        for name in os.listdir(path) if os.path.isdir(path) else []:
            with open(os.path.join(path, name), "rb") as file:
                for token in set(TOKEN.findall(file.read())):
                    counts[token.decode()] = counts.get(token.decode(), 0) + 1
    return counts


def spool_complete(path):
    try:
        with open(path, "rb") as file:
            text = file.read()
    except OSError:
        return False
    return text.endswith(b"\r\n.\r\n") or text == b".\r\n"


def count_stored(data):
    """The failed-mail records and the inbox records, read from the host's database."""
    database = sqlite3.connect("file:%s?mode=ro" % os.path.join(data, "velquor.sqlite"), uri=True)
    tables = {name for (name,) in database.execute("SELECT tableName FROM velquor_databases")}
    failed, inbox = [], []
    if "db:__QELDB__SendMail_Log__" in tables:
        failed = database.execute('SELECT "Message ID", "Subject" FROM "db:__QELDB__SendMail_Log__"').fetchall()
    if "db:Inbox" in tables:
        inbox = database.execute('SELECT "Unique ID", "Message" FROM "db:Inbox"').fetchall()
    database.close()
    return failed, inbox


def resident_kb(pid):
    try:
        with open("/proc/%d/status" % pid) as file:
            return int(re.search(r"VmRSS:\s+(\d+)", file.read()).group(1))
    except (OSError, AttributeError):
        return None


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host", required=True, help="the velquor-host binary")
    parser.add_argument("--module", required=True, help="libvelquor.so")
    parser.add_argument("--seconds", type=int, default=20)
    parser.add_argument("--drain", type=float, default=30.0)
    parser.add_argument("--nofile", type=int, default=384, help="the host's descriptor limit")
    parser.add_argument("--report", help="a file for the figures as JSON")
    parser.add_argument("--keep", action="store_true", help="keep the temporary folder")
    options = parser.parse_args()
    options.host, options.module = os.path.abspath(options.host), os.path.abspath(options.module)
    if options.seconds < 20:
        parser.error("--seconds must be at least 20 (the hostile clients' phases)")
    # The idle connections and the flood need descriptors on this side too.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))

    folder = tempfile.mkdtemp(prefix="velquor-load-")
    os.chmod(folder, 0o755)
    processes = []
    figures = {"seconds": options.seconds, "rates": {"static": 100, "include": 30, "contact": 10, "inbox": 2,
                                                     "pop_drops": 10}}
    problems = []
    try:
        status = run(options, folder, processes, figures, problems)
    except SetupError as error:
        print("load-check: cannot set up: %s" % error, file=sys.stderr)
        status = 2
    finally:
        for process in reversed(processes):
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(30)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        if not options.keep and status == 0:
            shutil.rmtree(folder, ignore_errors=True)
        else:
            print("load-check: files kept in %s" % folder)
    if options.report:
        with open(options.report, "w") as file:
            json.dump(figures, file, indent=2, sort_keys=True)
    return status


def run(options, folder, processes, figures, problems):
    if shutil.which("hey") is None:
        raise SetupError("hey is not installed (apt-get install hey; scripts/setup.sh does it)")
    site, data = os.path.join(folder, "site"), os.path.join(folder, "data")
    smtp_maildir, pop3_folder = os.path.join(folder, "smtp-mail"), os.path.join(folder, "dovecot")
    os.makedirs(data, mode=0o700)
    launcher = load_pop3_launcher()

    # The SMTP server on a socket bound here (port 0, read back, never released).
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(128)
    smtp_port = listener.getsockname()[1]
    smtp_log = os.path.join(folder, "smtp-server.log")
    smtp = subprocess.Popen(["/usr/bin/python3", os.path.join(SOURCE, "scripts", "smtp-server.py"),
                             "--fd", str(listener.fileno()), "--maildir", smtp_maildir, "--reject-rcpt", REFUSED],
                            pass_fds=[listener.fileno()], stdout=open(smtp_log, "wb"), stderr=subprocess.STDOUT)
    processes.append(smtp)
    listener.close()
    wait_for_line(smtp_log, rb"ready", smtp, START_WAIT)

    pop3_log = os.path.join(folder, "pop3-server.log")
    pop3 = subprocess.Popen(["/usr/bin/python3", os.path.join(SOURCE, "scripts", "pop3-server.py"), "serve",
                             "--folder", pop3_folder, "--port", "0", "--user", "demo:demo"],
                            stdout=open(pop3_log, "wb"), stderr=subprocess.STDOUT)
    processes.append(pop3)
    pop3_port = int(wait_for_line(pop3_log, rb"ready [0-9.]+:(\d+)", pop3, START_WAIT).group(1))

    make_site(site, smtp_port, pop3_port)
    host_log = os.path.join(folder, "host-output.log")

    def limit_descriptors():
        resource.setrlimit(resource.RLIMIT_NOFILE, (options.nofile, options.nofile))

    host = subprocess.Popen([options.host, "--site", site, "--data", data, "--listen", "127.0.0.1:0",
                             "--module", options.module], stdout=open(host_log, "wb"), stderr=subprocess.STDOUT,
                            preexec_fn=limit_descriptors)
    processes.append(host)
    port = int(wait_for_line(host_log, rb"listening on http://127\.0\.0\.1:(\d+)/", host, START_WAIT).group(1))
    base = "http://127.0.0.1:%d" % port

    # Warm up: one request of each kind, so that the first seconds measure the load.
    for target in ("/static.html", "/include.html", "/mail/inbox.html"):
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=START_WAIT)
        connection.request("GET", target)
        answer = connection.getresponse()
        answer.read()
        connection.close()
        if answer.status != 200:
            raise SetupError("%s answered %d before the load" % (target, answer.status))

    seconds = options.seconds
    posts = {}

    def contact(number):
        token = "post-" + secrets.token_hex(10)
        to = REFUSED if number % 5 == 4 else ACCEPTED
        posts[number] = token
        body = "name=Load+%d&email=visitor%%40example.org&to=%s&token=%s&message=Hello+from+the+load+check" % (
            number, to.replace("@", "%40"), token)
        return "POST", "/mail/contact-send.html", body, token

    def inbox(number):
        return "GET", "/mail/inbox.html", None, None

    stop_drops = threading.Event()
    dropped = []
    scratch = os.path.join(folder, "scratch")
    os.makedirs(scratch)
    dropper = threading.Thread(target=drop_messages, daemon=True,
                               args=(launcher, pop3_folder, seconds, 10, stop_drops, dropped, scratch))
    heys = [run_hey("static", base + "/static.html", 10, 10, seconds, folder),
            run_hey("include", base + "/include.html", 6, 5, seconds, folder)]
    contacts = RateClient("contact", port, 10, 8, contact, seconds)
    views = RateClient("inbox", port, 2, 3, inbox, seconds)
    hostiles = Hostiles(port, seconds, options.nofile + 64)
    began = time.monotonic()
    for part in (dropper, contacts, views, hostiles):
        part.start()

    time.sleep(min(10, seconds / 2))  # the load's own schedule
    figures["rss_kb_after_10s"] = resident_kb(host.pid)

    for process, output in heys:
        try:
            process.wait(seconds + 60)
        except subprocess.TimeoutExpired:
            process.kill()
            problems.append("hey did not end")
        output.close()
    contacts.join(seconds + 2 * PAGE_TIMEOUT)
    views.join(seconds + 2 * PAGE_TIMEOUT)
    dropper.join(seconds + 30)
    stop_drops.set()
    hostiles.join(60)
    load_end = time.monotonic()
    figures["load_seconds"] = round(load_end - began, 2)

    # The drain: every accepted post delivered or spooled, and a last view fetches what the
    # dropper left after the last one.
    accepted = [r for r in contacts.results if r["status"] == 200 and ERROR_BOX not in r["body"]]
    drain_deadline = load_end + options.drain
    final_views = []
    settled = False
    while time.monotonic() < drain_deadline:
        delivered = tokens_in_folder(os.path.join(smtp_maildir))
        spooled = [name for name in os.listdir(os.path.join(data, "FM"))
                   if name.lower().startswith("msg")] if os.path.isdir(os.path.join(data, "FM")) else []
        if len(delivered) + len(spooled) >= len(accepted):
            settled = True
            break
        time.sleep(0.1)
    stored_so_far = sum(view_count(r) or 0 for r in views.results)
    while time.monotonic() < drain_deadline and stored_so_far + sum(final_views) < len(dropped):
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=PAGE_TIMEOUT)
        connection.request("GET", "/mail/inbox.html")
        answer = connection.getresponse()
        result = {"status": answer.status, "body": answer.read(), "error": None}
        connection.close()
        if answer.status != 200 or view_count(result) is None:
            problems.append("the final inbox view answered %d" % answer.status)
            break
        final_views.append(view_count(result))
    figures["drain_seconds"] = round(time.monotonic() - load_end, 2)
    figures["drained"] = settled
    figures["rss_kb_after_drain"] = resident_kb(host.pid)
    if figures["rss_kb_after_10s"] and figures["rss_kb_after_drain"]:
        figures["rss_growth_percent"] = round(
            100.0 * (figures["rss_kb_after_drain"] - figures["rss_kb_after_10s"]) / figures["rss_kb_after_10s"], 1)

    # The host's orderly end: delivery jobs finish, status posts are answered.
    host.send_signal(signal.SIGTERM)
    try:
        code = host.wait(STOP_WAIT)
    except subprocess.TimeoutExpired:
        host.kill()
        code = "did not stop within %d s" % STOP_WAIT
    figures["host_exit"] = code
    with open(host_log, "rb") as file:
        output = file.read()
    sanitizer = re.search(rb"(AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer|runtime error:)", output)
    log_size = sum(os.path.getsize(os.path.join(data, name)) for name in os.listdir(data)
                   if name.startswith("velquor.log"))
    figures["log_bytes"] = log_size
    # An include that fails leaves its page 200 with nothing in its place: the log tells.
    log_lines = []
    for name in sorted(os.listdir(data)):
        if name.startswith("velquor.log"):
            with open(os.path.join(data, name), "rb") as file:
                log_lines += file.read().splitlines()
    include_failures = [line for line in log_lines if b" qelIncludeHTTP: " in line]
    figures["log_lines"] = len(log_lines)
    figures["include_failures"] = len(include_failures)

    # Counting.
    failed, inbox_records = count_stored(data)
    delivered = tokens_in_folder(smtp_maildir)
    spool_folder = os.path.join(data, "FM")
    spool_files = {name for name in os.listdir(spool_folder)} if os.path.isdir(spool_folder) else set()
    failed_tokens = {}
    incomplete = []
    for message_id, subject in failed:
        found = TOKEN.search((subject or "").encode())
        if not found:
            problems.append("a failed-mail record without a token: %r" % subject)
            continue
        if not spool_complete(os.path.join(spool_folder, "msg%s" % message_id)):
            incomplete.append(message_id)
            continue
        token = found.group(0).decode()
        failed_tokens[token] = failed_tokens.get(token, 0) + 1
    referenced = {"msg%s" % message_id for message_id, _ in failed}
    orphans = sorted(name for name in spool_files if name not in referenced)
    answered_tokens = {r["note"] for r in accepted}
    delivered_posts = {t: c for t, c in delivered.items() if t.startswith("post-")}
    twice = sorted([t for t, c in delivered_posts.items() if c > 1] + [t for t, c in failed_tokens.items() if c > 1]
                   + [t for t in delivered_posts if t in failed_tokens])
    A, D, F = len(accepted), len(delivered_posts), len(failed_tokens)
    unknown = sorted((set(delivered_posts) | set(failed_tokens)) - answered_tokens)
    missing = sorted(answered_tokens - set(delivered_posts) - set(failed_tokens))
    figures["mail"] = {"posts": len(contacts.results), "A": A, "D": D, "F": F, "lost": A - D - F,
                       "missing_tokens": missing[:10], "unknown_tokens": unknown[:10], "twice": len(twice),
                       "incomplete_spool_records": len(incomplete), "orphan_spool_files": len(orphans),
                       "error_boxes": sum(1 for r in contacts.results if r["status"] == 200 and
                                          ERROR_BOX in r["body"])}
    uids = [uid for uid, _ in inbox_records]
    stored_tokens = [m.group(0).decode() for _, text in inbox_records
                     for m in [TOKEN.search((text or "").encode())] if m]
    view_total = sum(view_count(r) or 0 for r in views.results) + sum(final_views)
    figures["pop"] = {"dropped": len(dropped), "unique_ids": len(set(uids)), "records": len(uids),
                      "uid_twice": len(uids) - len(set(uids)),
                      "tokens_stored": len(set(stored_tokens)), "tokens_twice": len(stored_tokens) - len(set(stored_tokens)),
                      "views": len(views.results) + len(final_views), "view_total": view_total,
                      "tokens_not_dropped": len(set(stored_tokens) - set(dropped))}

    clients = {}
    for name, (process, _) in zip(("static", "include"), heys):
        clients[name] = parse_hey(os.path.join(folder, "hey-%s.txt" % name))
    for name, client in (("contact", contacts), ("inbox", views)):
        results = client.results
        clients[name] = {"answered": sum(1 for r in results if r["status"] is not None),
                         "non2xx": sum(1 for r in results if r["status"] is not None and r["status"] // 100 != 2),
                         "errors": sum(1 for r in results if r["error"]),
                         "latency": percentiles([r["latency"] for r in results])}
        if name == "inbox":
            clients[name]["unreadable_counts"] = sum(1 for r in results if r["status"] == 200 and
                                                     view_count(r) is None)
    for client in clients.values():
        client["rate"] = round(client["answered"] / seconds, 1)
    figures["clients"] = clients
    figures["hostile"] = dict(hostiles.findings)
    slowest = sorted(hostiles.probe_times, key=lambda item: -item[1])[:3]
    figures["probe"] = {"requests": len(hostiles.probe_latencies), "latency": percentiles(hostiles.probe_latencies),
                        "slowest": [{"at": round(at, 2), "latency": round(latency, 3)} for at, latency in slowest],
                        "failures": hostiles.probe_failures[:10], "failure_count": len(hostiles.probe_failures)}

    # The checks.
    mail, pop, hostile = figures["mail"], figures["pop"], figures["hostile"]
    check = lambda holds, text: holds or problems.append(text)
    check(settled, "the mail did not settle within the drain")
    check(mail["lost"] == 0 and not missing, "mail lost: A - D - F = %d, %d tokens missing" % (mail["lost"], len(missing)))
    check(mail["twice"] == 0, "%d tokens found twice" % mail["twice"])
    check(not unknown, "%d tokens that no answered post carried" % len(unknown))
    check(mail["orphan_spool_files"] == 0, "orphan spool files: %s" % orphans[:5])
    check(mail["incomplete_spool_records"] == 0, "failed-mail records without a complete spool file: %s" % incomplete[:5])
    check(mail["error_boxes"] == 0, "%d posts answered with an error box" % mail["error_boxes"])
    check(A == len(contacts.results), "%d posts of %d answered 200" % (A, len(contacts.results)))
    check(pop["unique_ids"] == pop["dropped"], "POP: %d unique IDs stored, %d dropped" % (pop["unique_ids"], pop["dropped"]))
    check(pop["uid_twice"] == 0 and pop["tokens_twice"] == 0, "POP: messages stored twice")
    check(pop["tokens_stored"] == pop["dropped"] and pop["tokens_not_dropped"] == 0, "POP: stored tokens differ from the dropped ones")
    check(pop["view_total"] == pop["unique_ids"], "POP: the views counted %d, %d stored" % (pop["view_total"], pop["unique_ids"]))
    for name, client in clients.items():
        check(client["non2xx"] == 0 and client["errors"] == 0,
              "%s: %d non-2xx answers, %d errors" % (name, client["non2xx"], client["errors"]))
        check(client.get("unreadable_counts", 0) == 0, "%s: views without a count" % name)
        check(client["answered"] > 0, "%s: nothing answered" % name)
    check(not include_failures, "%d includes failed, such as: %s" % (
        len(include_failures), include_failures[0].decode(errors="replace") if include_failures else ""))
    check(figures["probe"]["failure_count"] == 0, "the probe was not served within %g s: %s" % (
        PROBE_LIMIT, figures["probe"]["failures"][:3]))
    check(isinstance(hostile.get("endless_header_cut_after"), float) and
          9.5 <= hostile["endless_header_cut_after"] <= 16,
          "the endless header block was not cut: %r" % hostile.get("endless_header_cut_after"))
    check(hostile.get("trickled_body_status") == 200, "the trickled body got %r" % hostile.get("trickled_body_status"))
    check(hostile.get("oversized_post_status") == 413, "the oversized post got %r" % hostile.get("oversized_post_status"))
    check(hostile.get("idle_opened") == IDLE_CONNECTIONS, "only %r idle connections opened" % hostile.get("idle_opened"))
    check(hostile.get("served_after_flood_within") is not None, "not served after the descriptor flood")
    check(code == 0, "the host ended with %r" % code)
    check(sanitizer is None, "the host's output has a sanitizer report")
    figures["problems"] = problems

    print(json.dumps({k: v for k, v in figures.items() if k != "problems"}, indent=2, sort_keys=True))
    for problem in problems:
        print("load-check: FAILED: %s" % problem)
    if not problems:
        print("load-check: passed: A %d = D %d + F %d, lost 0; POP %d dropped = %d stored = %d counted"
              % (A, D, F, pop["dropped"], pop["unique_ids"], pop["view_total"]))
    return 1 if problems else 0


def view_count(result):
    if result.get("status") != 200:
        return None
    found = re.search(rb"fetched <strong>(\d+)</strong>", result.get("body") or b"")
    return int(found.group(1)) if found else None


if __name__ == "__main__":
    sys.exit(main())
