#!/usr/bin/python3
# poplib-fetch.py: the Python side of POPTagBench: fetches a whole POP3 mailbox with poplib
# and keeps one record per message with sqlite3, timing each run and its database calls.
"""Fetches every message of a POP3 mailbox into a new SQLite database, RUNS times.

  poplib-fetch.py --port N --user NAME --password WORD --folder DIR --runs RUNS
                  --synchronous LEVEL [--no-database]

Each run opens a new database file in DIR (write-ahead log, PRAGMA synchronous=LEVEL) with
a table laid out like the host's message databases, logs in to 127.0.0.1:N, asks UIDL and
LIST, and for each message RETR; the message is split into its header and text as the
qelPOP tag splits it, and stored with one INSERT of its unique ID and one UPDATE of its
fields, each committed; then QUIT. --no-database does the same work without the database.

Prints "modes JOURNAL SYNCHRONOUS" (read back with PRAGMA from the first run's database),
then per run "run SECONDS DATABASE_SECONDS MESSAGES": the whole run (from opening the
database to QUIT's answer) and the part spent in sqlite3 calls. Ends with status 1 and the
reason on standard error when a run fails.
"""
import argparse
import os
import poplib
import sqlite3
import sys
import time

# The fields of the host's message databases, in the order the tag adds them.
FIELDS = ["Header", "Message", "Read", "Unique ID", "To", "From", "From Name", "From Email", "Date", "Subject",
          "Size", "Return-Path", "Received", "X-Sender", "Message-ID", "Mime-Version", "Content-Type", "Status",
          "AttachmentFileNames"]
# The header lines whose values the tag copies into fields of the same name.
COPIED = ["To", "Date", "Return-Path", "Received", "X-Sender", "Message-ID", "Mime-Version", "Content-Type",
          "Status", "Subject"]
MESSAGE_LIMIT = 51200  # the longest message text a record keeps


def quoted(name):
    return '"' + name.replace('"', '""') + '"'


def header_value(lines, name):
    """The value of the first header line named name, as the tag reads it: the name, optional
    blanks, ":", then the value without its leading blanks."""
    wanted = name.lower()
    for line in lines:
        if line[:len(name)].lower() != wanted:
            continue
        rest = line[len(name):].lstrip(" \t")
        if rest.startswith(":"):
            return rest[1:].lstrip(" \t\r\n")
    return ""


def record_of(status, lines):
    """The fields of one retrieved message (lines as poplib gives them, dots taken off)."""
    text_lines = [line.decode("latin-1") for line in lines]
    try:
        blank = text_lines.index("")
    except ValueError:
        blank = len(text_lines)
    header_lines = text_lines[:blank]
    text = "".join("\r\n" + line for line in text_lines[blank + 1:]) + ("\r\n" if blank < len(text_lines) else "")
    text = text[:MESSAGE_LIMIT]
    values = {"Header": status.decode("latin-1") + "\r\n" + "\r\n".join(header_lines), "Read": 0,
              "Message": text, "Size": str(len(text))}
    for name in COPIED:
        values[name] = header_value(header_lines, name)
    sender = header_value(header_lines, "From")
    values["From"] = sender
    if "<" in sender:
        name, _, address = sender.partition("<")
        values["From Name"] = name.strip()
        values["From Email"] = address.strip().rstrip(">").strip()
    else:
        values["From Email"] = sender
    return values


class Timed:
    """Runs sqlite3 calls and adds up the time they take."""

    def __init__(self):
        self.seconds = 0.0

    def __call__(self, call, *arguments):
        start = time.perf_counter()
        try:
            return call(*arguments)
        finally:
            self.seconds += time.perf_counter() - start


def open_database(path, synchronous, timed):
    database = timed(sqlite3.connect, path)
    timed(database.execute, "PRAGMA journal_mode=WAL")
    timed(database.execute, "PRAGMA synchronous=%d" % synchronous)
    columns = ", ".join(quoted(field) for field in FIELDS)
    timed(database.execute, "CREATE TABLE messages (QELIDFIELD INTEGER PRIMARY KEY AUTOINCREMENT, %s)" % columns)
    timed(database.execute, 'CREATE UNIQUE INDEX unique_id ON messages ("Unique ID")')
    timed(database.commit)
    return database


def journal_mode(path):
    """The journal mode kept in the database file, read back on a new connection."""
    database = sqlite3.connect(path)
    try:
        return database.execute("PRAGMA journal_mode").fetchone()[0]
    finally:
        database.close()


def run(options, number):
    """One fetch: its seconds, its database seconds, the messages stored (counted in the
    database afterwards, untimed), the database file and its synchronous level read back."""
    timed = Timed()
    path = os.path.join(options.folder, "python-%d-%d.sqlite" % (os.getpid(), number))
    start = time.perf_counter()
    database = None
    synchronous = None
    if not options.no_database:
        database = open_database(path, options.synchronous, timed)
        synchronous = timed(database.execute, "PRAGMA synchronous").fetchone()[0]
        assignments = ", ".join(quoted(field) + " = ?" for field in FIELDS if field != "Unique ID")
        update = 'UPDATE messages SET %s WHERE QELIDFIELD = ?' % assignments
    mailbox = poplib.POP3("127.0.0.1", options.port, timeout=60)
    mailbox.user(options.user)
    mailbox.pass_(options.password)
    _, listing, _ = mailbox.uidl()
    mailbox.list()
    stored = 0
    for entry in listing:
        number_text, identifier = entry.decode("ascii").split()
        status, lines, _ = mailbox.retr(int(number_text))
        values = record_of(status, lines)
        if database is not None:
            cursor = timed(database.execute, 'INSERT INTO messages ("Unique ID") VALUES (?)', (identifier,))
            timed(database.commit)
            row = cursor.lastrowid
            timed(database.execute, update,
                  [values.get(field, "") for field in FIELDS if field != "Unique ID"] + [row])
            timed(database.commit)
        stored += 1
    mailbox.quit()
    elapsed = time.perf_counter() - start
    if database is not None:
        stored = database.execute('SELECT COUNT(*) FROM messages WHERE length("Message") > 0').fetchone()[0]
        database.close()
    return elapsed, timed.seconds, stored, path, synchronous


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--folder", required=True)
    parser.add_argument("--runs", type=int, required=True)
    parser.add_argument("--synchronous", type=int, required=True)
    parser.add_argument("--no-database", action="store_true")
    options = parser.parse_args()
    try:
        for number in range(options.runs):
            elapsed, database_seconds, stored, path, synchronous = run(options, number)
            if number == 0:
                if options.no_database:
                    print("modes none none", flush=True)
                else:
                    print("modes %s %d" % (journal_mode(path), synchronous), flush=True)
            print("run %.6f %.6f %d" % (elapsed, database_seconds, stored), flush=True)
            for suffix in ("", "-wal", "-shm"):
                if os.path.exists(path + suffix):
                    os.unlink(path + suffix)
        return 0
    except (OSError, poplib.error_proto, sqlite3.Error, ValueError) as problem:
        print("poplib-fetch.py: %s" % problem, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
