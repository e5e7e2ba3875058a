#!/usr/bin/python3
"""SMTP sink for the transport tests, built on Debian's python3-aiosmtpd.

Listens on 127.0.0.1 at a free port, writes that port to DIR/port once it accepts connections,
and stores every message it accepts in DIR/msg-N/: mail_from, rcpt_tos (one per line), data
(the message text as received, dot-stuffing undone), tls and auth ("1" or "0").
Runs until it is terminated or its standard input reaches its end (the test process is gone).
"""
import argparse
import asyncio
import logging
import os
import signal
import ssl
import sys

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


def write_file(path, data):
    with open(path + ".tmp", "wb") as f:
        f.write(data)
    os.replace(path + ".tmp", path)


class CaptureHandler:
    def __init__(self, directory):
        self.directory = directory
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        folder = os.path.join(self.directory, "msg-%d.tmp" % self.count)
        os.makedirs(folder)
        write_file(os.path.join(folder, "mail_from"), (envelope.mail_from or "").encode("latin-1"))
        write_file(os.path.join(folder, "rcpt_tos"),
                   "".join(r + "\n" for r in envelope.rcpt_tos).encode("latin-1"))
        write_file(os.path.join(folder, "data"), envelope.original_content or b"")
        write_file(os.path.join(folder, "tls"), b"1" if session.ssl is not None else b"0")
        write_file(os.path.join(folder, "auth"), b"1" if session.authenticated else b"0")
        os.replace(folder, os.path.join(self.directory, "msg-%d" % self.count))
        return "250 2.0.0 Stored"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)
    parser.add_argument("--auth-login", help="USER:PASSWORD; AUTH is then required")
    parser.add_argument("--starttls", nargs=2, metavar=("CERT", "KEY"), help="STARTTLS required")
    args = parser.parse_args()
    logging.getLogger("mail.log").setLevel(logging.ERROR)  # its advice on AUTH without TLS is noise here

    tls_context = None
    if args.starttls:
        tls_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls_context.load_cert_chain(args.starttls[0], args.starttls[1])

    authenticator = None
    if args.auth_login:
        user, _, password = args.auth_login.partition(":")

        def authenticator(server, session, envelope, mechanism, auth_data):
            ok = (mechanism == "LOGIN" and isinstance(auth_data, LoginPassword)
                  and auth_data.login == user.encode("latin-1")
                  and auth_data.password == password.encode("latin-1"))
            return AuthResult(success=ok, handled=False)

    handler = CaptureHandler(args.dir)

    def factory():
        return SMTP(handler, hostname="capture.test", decode_data=False,
                    enable_SMTPUTF8=False, tls_context=tls_context,
                    require_starttls=tls_context is not None,
                    authenticator=authenticator, auth_required=authenticator is not None,
                    auth_require_tls=tls_context is not None)

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    server = loop.run_until_complete(loop.create_server(factory, "127.0.0.1", 0))
    port = server.sockets[0].getsockname()[1]
    write_file(os.path.join(args.dir, "port"), str(port).encode())

    loop.add_signal_handler(signal.SIGTERM, loop.stop)
    loop.add_reader(sys.stdin.fileno(), lambda: loop.stop() if not os.read(sys.stdin.fileno(), 4096) else None)
    loop.run_forever()
    server.close()


if __name__ == "__main__":
    main()
