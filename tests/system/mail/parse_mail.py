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
    put("from_name", str(email.header.make_header(email.header.decode_header(name))))
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
    date = msg.get("Date", "")
    put("date", date)
    try:
        when = email.utils.parsedate_to_datetime(date)
        put("date_epoch", "%d" % when.timestamp() if when.tzinfo else "no zone")
    except (TypeError, ValueError):
        put("date_epoch", "")
    put("message_id", msg.get("Message-ID", ""))
    put("mime_version", msg.get("MIME-Version", ""))
    put("cte", msg.get("Content-Transfer-Encoding", ""))
    # What travelled: line lengths without CR LF, line ends that are not
    # CR LF, header bytes above 127 and encoded words longer than 75.
    put("max_line", str(max(len(l) for l in raw.split(b"\r\n"))))
    put("bare_line_ends", str(len(re.findall(rb"\r(?!\n)|(?<!\r)\n", raw))))
    head = raw.split(b"\r\n\r\n", 1)[0]
    put("header_8bit", "1" if re.search(rb"[\x80-\xff]", head) else "0")
    put("max_header_line", str(max(len(l) for l in head.split(b"\r\n"))))
    put("max_word", str(max([len(w) for w in re.findall(rb"=\?[^?\s]+\?[BbQq]\?[^?\s]*\?=", head)]
                            or [0])))
    sys.stdout.buffer.write(b"".join(out))


if __name__ == "__main__":
    main()
