#!/usr/bin/python3
# pop3-server.py: a private POP3 server (the distribution's Dovecot) on loopback with its own
# configuration, users and Maildir mailboxes, for the run command, the tests and the benchmarks.
"""Runs a private Dovecot POP3 server, or drops messages into its mailboxes.

  pop3-server.py serve --folder DIR --port N --user NAME:PASSWORD [--user ...]
                       [--message NAME=FILE ...] [--listen ADDRESS] [--wait SECONDS]
                       [--tls CERT KEY [--pop3s-port N]]
  pop3-server.py deliver --folder DIR --user NAME FILE [FILE ...]

serve writes the configuration into DIR (created when missing), starts `dovecot -F` with it
and prints one line "ready ADDRESS:PORT" once the server answers with its own greeting (at
most --wait seconds, default 20; otherwise it ends with status 1 and the reason on standard
error). It then runs until SIGTERM, SIGINT or SIGHUP: stop it by its process id. Stopping
ends Dovecot and every process it started (usually 1 to 3 s, at most 20 s; this script
reaps them all), and the script ends with status 0. If this script is killed outright,
Dovecot is sent SIGTERM by the system (parent-death signal) and stops by itself.

--port 0 picks a free port: the script binds port 0, reads the port, lets it go and starts
Dovecot on it. Another program can take the port in between; Dovecot then fails to bind,
and the script picks again (at most 5 tries). With another --port, a port in use ends the
script with status 1.

--tls CERT KEY turns TLS on with that certificate (PEM, the chain after it) and key, which
Dovecot reads at start (as root, or as the user it runs as): the plain port offers STLS, and
a second listener speaks POP3S (TLS from the first byte) on --pop3s-port, picked like the
plain port when 0 (the default; both are picked together and picked again together, and
when either port is given, a port in use ends the script).
Before the "ready" line the script then prints "pop3s ADDRESS:PORT". Both listeners are
checked with the greeting before either line is printed. Logins stay allowed in plain text.

Every --user gets a Maildir, DIR/mail/NAME/Maildir, kept across runs (so are Dovecot's
unique IDs). --message NAME=FILE delivers FILE to NAME's Maildir before the start; deliver
does the same while the server runs. A delivery writes the file into Maildir/tmp/ and
renames it into Maildir/new/, readable by the server's mail processes. To deliver without
this script, do the same and give the file to the Maildir's owner.

The server: plain POP3 (TLS only with --tls), USER/PASS and AUTH PLAIN/LOGIN, passwords in
DIR/passwd; no delay after a failed login and no per-address authentication penalty, so a
wrong password costs about 0.5 s and the next good login is not held back. Its log is
DIR/dovecot.log. Its sockets are in DIR/run, or in a private temporary folder (removed at
the end) when that path is too long for a Unix socket. One server per folder at a time
(DIR/pop3-server.lock).

Run as root, Dovecot refuses to read mail as root: the mailboxes belong to nobody:nogroup
and each mail process is shut into DIR/mail (chroot), so DIR may stay private to root (as
inside velquor-host's data folder); the authentication process runs as root to read the
private DIR/passwd. Run as another user, every Dovecot process runs as that user.
"""
import argparse
import ctypes
import fcntl
import grp
import itertools
import os
import pwd
import re
import secrets
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time

DOVECOT = "/usr/sbin/dovecot"
PORT_TRIES = 5
STOP_SECONDS = 10  # for Dovecot's own shutdown, before its processes are killed
KILL_SECONDS = 5
# Unix socket paths are limited to 108 bytes; Dovecot's longest name in base_dir is 23.
BASE_DIR_LIMIT = 80
STOP_SIGNALS = {signal.SIGTERM, signal.SIGINT, signal.SIGHUP}
DELIVERIES = itertools.count(1)
USER_NAME = re.compile(r"[A-Za-z0-9_][A-Za-z0-9._-]{0,63}")

PR_SET_PDEATHSIG = 1
PR_SET_CHILD_SUBREAPER = 36


class Failure(Exception):
    pass


def prctl(option, value):
    libc = ctypes.CDLL(None, use_errno=True)
    return libc.prctl(option, ctypes.c_ulong(value), 0, 0, 0) == 0


def maildir(folder, name):
    return os.path.join(folder, "mail", name, "Maildir")


def deliver(folder, name, path):
    """Puts the file into the Maildir of name: tmp/ first, then renamed into new/."""
    box = maildir(folder, name)
    if not USER_NAME.fullmatch(name) or not os.path.isdir(os.path.join(box, "new")):
        raise Failure("no mailbox for user %s in %s" % (name, folder))
    with open(path, "rb") as source:
        content = source.read()
    owner = os.stat(box)
    while True:
        now = time.time()
        unique = "%d.M%dP%dQ%d.velquor" % (int(now), int(now * 1e6) % 1000000, os.getpid(), next(DELIVERIES))
        temporary = os.path.join(box, "tmp", unique)
        try:
            descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o600)
            break
        except FileExistsError:
            continue
    try:
        with os.fdopen(descriptor, "wb") as target:
            target.write(content)
            target.flush()
            os.fsync(target.fileno())
        os.chown(temporary, owner.st_uid, owner.st_gid)
        os.rename(temporary, os.path.join(box, "new", unique))
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def parse_users(entries):
    users = []
    for entry in entries:
        name, colon, password = entry.partition(":")
        if not colon or not USER_NAME.fullmatch(name):
            raise Failure("--user wants NAME:PASSWORD, NAME of letters, digits, '.', '_', '-': %r" % entry)
        if password == "" or any(c in password for c in ":\r\n\0"):
            raise Failure("the password of %s must be non-empty, without ':', CR, LF or NUL" % name)
        if name in (user for user, _ in users):
            raise Failure("user %s given twice" % name)
        users.append((name, password))
    if not users:
        raise Failure("give at least one --user NAME:PASSWORD")
    return users


class Layout:
    """Who owns what: as root, mail belongs to nobody and auth reads as root."""

    def __init__(self, folder):
        self.folder = folder
        self.root = os.geteuid() == 0
        if self.root:
            self.mail_uid = pwd.getpwnam("nobody").pw_uid
            self.mail_gid = grp.getgrnam("nogroup").gr_gid
        else:
            self.mail_uid = os.geteuid()
            self.mail_gid = os.getegid()

    def home(self, name):
        # As root "/./" marks the chroot: the mail process sees its home as /NAME.
        return os.path.join(self.folder, "mail", "." if self.root else "", name)

    def prepare_mailbox(self, name):
        mail = os.path.join(self.folder, "mail")
        os.makedirs(mail, exist_ok=True)
        os.chmod(mail, 0o711 if self.root else 0o700)
        box = maildir(self.folder, name)
        for sub in ("tmp", "new", "cur"):
            os.makedirs(os.path.join(box, sub), mode=0o700, exist_ok=True)
        for directory, folders, files in os.walk(os.path.join(mail, name)):
            for entry in [directory] + [os.path.join(directory, f) for f in files]:
                os.chown(entry, self.mail_uid, self.mail_gid, follow_symlinks=False)
        os.chmod(os.path.join(mail, name), 0o700)

    def configuration(self, base_dir, ports, listen, users, greeting, tls):
        lines = [
            "# Written by pop3-server.py for one private server; rewritten at each start.",
            "base_dir = " + base_dir,
            "state_dir = " + os.path.join(self.folder, "state"),
            "log_path = " + os.path.join(self.folder, "dovecot.log"),
            "protocols = pop3",
            "listen = " + listen,
        ]
        if tls is None:
            lines += ["ssl = no"]
        else:
            lines += ["ssl = yes", "ssl_cert = <" + tls[0], "ssl_key = <" + tls[1]]
        lines += [
            "disable_plaintext_auth = no",
            "auth_mechanisms = plain login",
            "auth_failure_delay = 0",
            "login_greeting = " + greeting,
            "first_valid_uid = 1",
            "first_valid_gid = 1",
            "mail_location = maildir:~/Maildir",
            "passdb {",
            "  driver = passwd-file",
            "  args = " + os.path.join(self.folder, "passwd"),
            "}",
            "userdb {",
            "  driver = passwd-file",
            "  args = " + os.path.join(self.folder, "passwd"),
            "}",
            "service pop3-login {",
            "  inet_listener pop3 {",
            "    port = %d" % ports[0],
            "  }",
        ]
        if tls is not None:
            lines += [
                "  inet_listener pop3s {",
                "    port = %d" % ports[1],
                "    ssl = yes",
                "  }",
            ]
        if not self.root:
            lines += ["  chroot ="]
        lines += [
            "}",
            # No penalty after a failed login from an address (the next good one would stall).
            "service anvil {",
            "  unix_listener anvil-auth-penalty {",
            "    mode = 0",
            "  }",
        ]
        if not self.root:
            lines += ["  chroot ="]
        lines += ["}"]
        if self.root:
            lines += [
                "default_login_user = dovenull",
                "default_internal_user = dovecot",
                "valid_chroot_dirs = " + os.path.join(self.folder, "mail"),
                "service auth {",
                "  user = root",
                "}",
            ]
        else:
            lines += [
                "default_login_user = " + pwd.getpwuid(os.geteuid()).pw_name,
                "default_internal_user = " + pwd.getpwuid(os.geteuid()).pw_name,
                "default_internal_group = " + grp.getgrgid(os.getegid()).gr_name,
            ]
        return "\n".join(lines) + "\n"

    def passwd(self, users):
        return "".join("%s:{PLAIN}%s:%d:%d::%s\n" % (name, password, self.mail_uid, self.mail_gid, self.home(name))
                       for name, password in users)


def write_private(path, text):
    descriptor = os.open(path + ".new", os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW, 0o600)
    with os.fdopen(descriptor, "w") as target:
        target.write(text)
    os.chmod(path + ".new", 0o600)
    os.rename(path + ".new", path)


def free_ports(listen, wanted):
    """Ports for the listeners: each one given, or for 0 a free one. Every probe is held until
    all are picked, so two listeners never get the same port."""
    probes = []
    try:
        for port in wanted:
            if port == 0:
                probes.append(socket.socket(socket.AF_INET, socket.SOCK_STREAM))
                probes[-1].bind((listen, 0))
                port = probes[-1].getsockname()[1]
            yield port
    finally:
        for probe in probes:
            probe.close()


def greeted(listen, port, greeting, tls=False):
    """Whether the server on that port is this one: it greets with our own text. Over TLS the
    certificate is not checked: the secret greeting alone tells that the server is ours."""
    try:
        connection = socket.create_connection((listen, port), timeout=2)
        if tls:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            context.check_hostname = False
            context.verify_mode = ssl.CERT_NONE
            try:
                connection = context.wrap_socket(connection)
            except OSError:
                connection.close()
                raise
        with connection:
            connection.settimeout(2)
            line = b""
            while not line.endswith(b"\n") and len(line) < 512:
                chunk = connection.recv(512)
                if not chunk:
                    break
                line += chunk
            if line.startswith(b"+OK " + greeting.encode()):
                connection.sendall(b"QUIT\r\n")
                return True
    except OSError:
        pass
    return False


def in_use_in_log(log, offset):
    try:
        with open(log, "rb") as text:
            text.seek(offset)
            return b"Address already in use" in text.read()
    except OSError:
        return False


def log_tail(log, offset):
    try:
        with open(log, "rb") as text:
            text.seek(offset)
            return text.read()[-2000:].decode(errors="replace").strip()
    except OSError:
        return ""


class Server:
    def __init__(self, options):
        self.folder = os.path.abspath(options.folder)
        self.listen = options.listen
        self.wait = options.wait
        self.tls = None
        if options.tls is not None:
            self.tls = tuple(os.path.abspath(path) for path in options.tls)
            for path in self.tls:
                if not os.access(path, os.R_OK):
                    raise Failure("cannot read %s (--tls CERT KEY)" % path)
        self.master = None
        self.group = None
        self.private_base = None

    def stop_requested(self):
        return bool(signal.sigpending() & STOP_SIGNALS)

    def start_master(self, configuration):
        def in_child():
            # Dovecot gets the signals this script blocked, and SIGTERM if the script dies.
            signal.pthread_sigmask(signal.SIG_UNBLOCK, STOP_SIGNALS | {signal.SIGCHLD})
            prctl(PR_SET_PDEATHSIG, signal.SIGTERM)

        return subprocess.Popen([DOVECOT, "-F", "-c", configuration], stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=sys.stderr, start_new_session=True,
                                preexec_fn=in_child)

    def run(self, options):
        users = parse_users(options.user)
        messages = []
        for entry in options.message:
            name, equals, path = entry.partition("=")
            if not equals or name not in (user for user, _ in users):
                raise Failure("--message wants NAME=FILE with NAME one of the users: %r" % entry)
            messages.append((name, path))
        if not os.access(DOVECOT, os.X_OK):
            raise Failure("%s is missing: install dovecot-core and dovecot-pop3d" % DOVECOT)

        os.makedirs(self.folder, mode=0o700, exist_ok=True)
        lock = os.fdopen(os.open(os.path.join(self.folder, "pop3-server.lock"), os.O_WRONLY | os.O_CREAT, 0o600), "w")
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            raise Failure("another pop3-server.py runs on " + self.folder)
        layout = Layout(self.folder)
        for name, _ in users:
            layout.prepare_mailbox(name)
        for name, path in messages:
            deliver(self.folder, name, path)
        write_private(os.path.join(self.folder, "passwd"), layout.passwd(users))
        os.makedirs(os.path.join(self.folder, "state"), mode=0o700, exist_ok=True)

        base_dir = os.path.join(self.folder, "run")
        if len(base_dir) > BASE_DIR_LIMIT:
            # Dovecot opens base_dir to everyone (0755): keep it inside a private folder.
            self.private_base = tempfile.mkdtemp(prefix="velquor-pop3-")
            base_dir = os.path.join(self.private_base, "run")
        configuration = os.path.join(self.folder, "dovecot.conf")
        log = os.path.join(self.folder, "dovecot.log")

        prctl(PR_SET_CHILD_SUBREAPER, 1)  # Dovecot's orphans come back here to be reaped
        signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS | {signal.SIGCHLD})
        wanted = [options.port] if self.tls is None else [options.port, options.pop3s_port]
        tries = PORT_TRIES if not any(wanted) else 1
        deadline = time.monotonic() + self.wait
        for attempt in range(tries):
            ports = list(free_ports(self.listen, wanted))
            port = ports[0]
            greeting = "velquor-pop3 " + secrets.token_hex(8)
            # A fresh base_dir: no stale sockets (anvil-auth-penalty) or pid file of an earlier run.
            if self.private_base is None:
                shutil.rmtree(base_dir, ignore_errors=True)
            os.makedirs(base_dir, mode=0o755, exist_ok=True)
            write_private(configuration, layout.configuration(base_dir, ports, self.listen, users, greeting, self.tls))
            log_start = os.path.getsize(log) if os.path.exists(log) else 0
            master = self.master = self.start_master(configuration)
            self.group = master.pid  # its own session and process group, shared by its children
            while True:
                if self.stop_requested():
                    self.stop()
                    raise Failure("stopped before the server was ready")
                if master.poll() is not None:
                    self.stop()
                    if in_use_in_log(log, log_start):
                        if attempt + 1 < tries:
                            break  # someone took the port: pick another
                        raise Failure("port %s on %s is in use" % (" or ".join(map(str, ports)), self.listen))
                    raise Failure("dovecot ended at start (status %s): %s" %
                                  (master.returncode, log_tail(log, log_start)))
                if greeted(self.listen, port, greeting) and (
                        self.tls is None or greeted(self.listen, ports[1], greeting, tls=True)):
                    if self.tls is not None:
                        print("pop3s %s:%d" % (self.listen, ports[1]), flush=True)
                    print("ready %s:%d" % (self.listen, port), flush=True)
                    return self.serve()
                if time.monotonic() > deadline:
                    self.stop()
                    raise Failure("dovecot did not answer within %g s: %s" % (self.wait, log_tail(log, log_start)))
                signal.sigtimedwait({signal.SIGCHLD}, 0.05)
        raise Failure("no free port after %d tries" % tries)

    def serve(self):
        while True:
            caught = signal.sigwaitinfo(STOP_SIGNALS | {signal.SIGCHLD})
            if caught.si_signo in STOP_SIGNALS:
                self.stop()
                return 0
            if self.master.poll() is not None:
                status = self.master.returncode
                self.stop()
                print("dovecot ended by itself (status %s); see %s" %
                      (status, os.path.join(self.folder, "dovecot.log")), file=sys.stderr)
                return 1

    def reap(self, deadline, awaited=None):
        """Reaps children (Dovecot's orphans too) until `awaited` has ended, or with None
        until none is left; False when the deadline came first."""
        while True:
            try:
                while True:
                    pid, _ = os.waitpid(-1, os.WNOHANG)
                    if pid == 0:
                        break
                    if pid == awaited:
                        return True
            except ChildProcessError:
                return True
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            signal.sigtimedwait({signal.SIGCHLD}, min(left, 0.5))

    def signal_group(self, number):
        try:
            os.killpg(self.group, number)
        except (ProcessLookupError, TypeError):
            pass

    def stop(self):
        """Dovecot's own shutdown first; then its processes that outlive the master (a mail
        process whose client is still connected, the log) get SIGTERM, and at last SIGKILL."""
        if self.master is not None and self.master.returncode is None:
            try:
                os.kill(self.master.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            self.reap(time.monotonic() + STOP_SECONDS, self.master.pid)
        self.signal_group(signal.SIGTERM)
        if not self.reap(time.monotonic() + KILL_SECONDS):
            self.signal_group(signal.SIGKILL)
            self.reap(time.monotonic() + KILL_SECONDS)
        self.master = None


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    serve = commands.add_parser("serve", help="run the server until stopped")
    serve.add_argument("--folder", required=True)
    serve.add_argument("--port", type=int, required=True, help="0 picks a free port")
    serve.add_argument("--listen", default="127.0.0.1", help="an IPv4 address")
    serve.add_argument("--user", action="append", default=[], metavar="NAME:PASSWORD")
    serve.add_argument("--message", action="append", default=[], metavar="NAME=FILE")
    serve.add_argument("--wait", type=float, default=20.0, help="seconds to wait for the server")
    serve.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"), help="STLS, and POP3S on a port of its own")
    serve.add_argument("--pop3s-port", type=int, default=0, help="with --tls; 0 picks a free port")
    put = commands.add_parser("deliver", help="drop message files into a user's Maildir")
    put.add_argument("--folder", required=True)
    put.add_argument("--user", required=True)
    put.add_argument("file", nargs="+")
    options = parser.parse_args()
    try:
        if options.command == "deliver":
            for path in options.file:
                deliver(os.path.abspath(options.folder), options.user, path)
            return 0
        if not 0 <= options.port <= 65535 or not 0 <= options.pop3s_port <= 65535:
            raise Failure("--port and --pop3s-port want 0 to 65535")
        if options.pop3s_port and options.tls is None:
            raise Failure("--pop3s-port goes with --tls")
        server = Server(options)
        try:
            return server.run(options)
        finally:
            if server.private_base is not None:
                shutil.rmtree(server.private_base, ignore_errors=True)
    except (Failure, OSError) as problem:
        print("pop3-server.py: %s" % problem, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
