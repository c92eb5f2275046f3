#!/usr/bin/python3
# Reads the one message of a Maildir with Python's email package and prints what the mail
# tests compare, one item a line, texts in hexadecimal:
#   date EPOCH | header NAME HEX | rcpt ADDRESS | body HEX | part HEXNAME HEXBYTES
# (an empty text is "-")
import email
import email.utils
import os
import sys


def hexed(data):
    return data.hex() or "-"


folder = os.path.join(sys.argv[1], "new")
names = sorted(os.listdir(folder))
if len(names) != 1:
    sys.exit("expected one message, found %d" % len(names))
with open(os.path.join(folder, names[0]), "rb") as source:
    message = email.message_from_binary_file(source)
print("date", int(email.utils.parsedate_to_datetime(message["Date"]).timestamp()))
for name, value in message.items():
    print("header", name, hexed(value.encode("latin-1")))
for address in (message.get("X-RcptTo") or "").split(","):
    if address.strip():
        print("rcpt", address.strip())
for part in message.walk():
    if part.is_multipart():
        continue
    payload = part.get_payload(decode=True) or b""
    filename = part.get_filename()
    if filename:
        print("part", hexed(filename.encode("latin-1")), hexed(payload))
    else:
        print("body", hexed(payload))
