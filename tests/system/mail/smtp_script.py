#!/usr/bin/python3
"""A scripted SMTP peer for odd dialogues on ADDR:PORT.

    smtp_script.py ADDR PORT SCRIPT LOG

SCRIPT holds one reply a line: the first is the greeting, each further one
answers one line the client sends (the whole mail text after a 354 reply
counts as one). "\\n" in a reply separates its lines; "-" sends nothing.
A reply ending in "|close" closes the connection after it. A reply starting
with "~" is said after a pause, and LOG gets "<client open>" or "<client
closed>" for whether the client still waited for it. When the script is
used up, nothing more is said. Every line received is appended to LOG.
LOG.ready appears once it listens; SIGTERM ends it."""
import socket
import sys
import time


def main():
    addr, port, script, log = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
    with open(script) as f:
        replies = [l.rstrip("\n") for l in f]
    srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind((addr, port))
    srv.listen(4)
    open(log + ".ready", "w").close()
    while True:
        conn, _ = srv.accept()
        try:
            serve(conn, replies, log)
        except OSError:
            pass  # the client went away


def say(conn, reply, out=None):
    """Sends the reply; False when the connection is to end."""
    close = reply.endswith("|close")
    if close:
        reply = reply[: -len("|close")]
    if reply.startswith("~"):
        reply = reply[1:]
        time.sleep(0.3)
        try:
            gone = conn.recv(1, socket.MSG_PEEK | socket.MSG_DONTWAIT) == b""
        except BlockingIOError:
            gone = False
        except ConnectionResetError:
            gone = True
        if out:
            out.write(b"<client closed>\n" if gone else b"<client open>\n")
    if reply not in ("-", ""):
        conn.sendall("".join(l + "\r\n" for l in reply.split("\\n")).encode())
    return not close


def serve(conn, replies, log):
    step = 0

    def next_reply():
        nonlocal step
        r = replies[step] if step < len(replies) else "-"
        step += 1
        return r

    data = False
    buf = b""
    with conn, open(log, "ab", buffering=0) as out:
        if not say(conn, next_reply(), out):
            return
        while True:
            chunk = conn.recv(4096)
            if not chunk:
                return
            buf += chunk
            while b"\r\n" in buf:
                line, buf = buf.split(b"\r\n", 1)
                out.write(line + b"\n")
                if data:
                    if line != b".":
                        continue
                    data = False
                r = next_reply()
                if not say(conn, r, out):
                    return
                if line.upper() == b"DATA" and r.startswith("354"):
                    data = True


if __name__ == "__main__":
    main()
