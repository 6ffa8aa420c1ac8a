#!/usr/bin/python3
"""Parses one received message with Python's email package and prints its
facts as NUL-separated name, value pairs (values are bytes as they come).

    parse_mail.py N.eml"""
import base64
import email
import email.header
import email.utils
import re
import sys


def main():
    raw = open(sys.argv[1], "rb").read()
    msg = email.message_from_bytes(raw)
    out = []

    def put(name, value):
        if isinstance(value, str):
            value = value.encode("utf-8", "surrogateescape")
        out.append(name.encode() + b"\0" + value + b"\0")

    name, addr = email.utils.parseaddr(msg.get("From", ""))
    put("from_name", name)
    put("from_addr", addr)
    put("to", msg.get("To", ""))
    put("headers", ",".join(msg.keys()))
    raw_subject = msg.get("Subject")
    put("has_subject", "1" if raw_subject is not None else "0")
    subject = str(email.header.make_header(email.header.decode_header(raw_subject or "")))
    put("subject", subject)
    # Every encoded word must decode on its own.
    words = re.findall(r"=\?([^?]+)\?B\?([^?]*)\?=", raw_subject or "")
    parts = []
    for charset, text in words:
        parts.append(base64.b64decode(text).decode(charset))
    put("subject_words", str(len(words)))
    put("subject_by_word", "".join(parts))
    put("content_type", msg.get("Content-Type", ""))
    charset = msg.get_content_charset() or "us-ascii"
    payload = msg.get_payload(decode=True) or b""
    put("body_raw", payload)
    try:
        put("body", payload.decode(charset))
    except (UnicodeDecodeError, LookupError) as e:
        put("body", "DECODE ERROR: " + str(e))
    put("defects", str(len(msg.defects)))
    sys.stdout.buffer.write(b"".join(out))


if __name__ == "__main__":
    main()
