#!/usr/bin/python3
"""A real SMTP server for the mail tests: aiosmtpd on ADDR:PORT, keeping
every message it accepts in SPOOL as N.eml (the bytes received) and N.env
(envelope sender, then one recipient a line; written last).

    smtp_server.py ADDR PORT SPOOL [USER PASSWORD]

With USER and PASSWORD the server offers AUTH LOGIN without TLS and wants
that account. SPOOL/ready appears once it listens; SIGTERM ends it."""
import logging
import os
import signal
import sys
import threading

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

# Mail lines longer than the RFC's 1000 bytes are taken, as common servers do.
SMTP.line_length_limit = 16384


class Spool:
    def __init__(self, folder):
        self.folder = folder
        self.count = 0
        self.lock = threading.Lock()

    async def handle_DATA(self, server, session, envelope):
        with self.lock:
            n = self.count
            self.count += 1
        base = os.path.join(self.folder, "%03d" % n)
        with open(base + ".eml", "wb") as f:
            f.write(envelope.original_content)
        with open(base + ".tmp", "w") as f:
            f.write(envelope.mail_from + "\n")
            for r in envelope.rcpt_tos:
                f.write(r + "\n")
        os.rename(base + ".tmp", base + ".env")
        return "250 OK"


def main():
    logging.basicConfig(level=logging.ERROR)
    addr, port, spool = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    kwargs = {}
    if len(sys.argv) > 5:
        user, password = sys.argv[4].encode(), sys.argv[5].encode()

        def check(server, session, envelope, mechanism, data):
            ok = (mechanism == "LOGIN" and isinstance(data, LoginPassword)
                  and data.login == user and data.password == password)
            return AuthResult(success=ok, handled=False)

        kwargs = dict(authenticator=check, auth_required=True, auth_require_tls=False)
    ctl = Controller(Spool(spool), hostname=addr, port=port, decode_data=False, **kwargs)
    ctl.start()
    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *a: done.set())
    open(os.path.join(spool, "ready"), "w").close()
    done.wait()
    ctl.stop()


if __name__ == "__main__":
    main()
