#!/usr/bin/python3
"""SMTP sink for the transport tests, built on Debian's python3-aiosmtpd.

Listens on 127.0.0.1 at a free port, writes that port to DIR/port once it accepts connections,
and stores every message it accepts in DIR/msg-N/: mail_from, rcpt_tos (one per line), data
(the message text as received, dot-stuffing undone), tls and auth ("1" or "0"), and mechanism (of
the session's AUTH). Every AUTH command adds a line "MECHANISM ok" or "MECHANISM refused" to
DIR/auth_attempts.
AUTH: --mechanisms chooses what is offered among LOGIN, PLAIN (user and password of --auth-login)
and XOAUTH2 (the user of --auth-login with the bearer token of --xoauth2-token; a refusal sends
the 334 challenge with the error as JSON, expects an empty line, then refuses with 535).
With --implicit-tls the port speaks TLS from the first byte (AUTH is then offered at once).
Runs until it is terminated or its standard input reaches its end (the test process is gone).
"""
import argparse
import asyncio
import base64
import logging
import os
import signal
import ssl
import sys

from aiosmtpd.smtp import MISSING, SMTP, AuthResult, LoginPassword

# RFC 4954: an AUTH command line may be up to 12288 octets; a real bearer token needs it.
AUTH_LINE_LIMIT = 12288


def write_file(path, data):
    with open(path + ".tmp", "wb") as f:
        f.write(data)
    os.replace(path + ".tmp", path)


def note_attempt(directory, mechanism, ok):
    with open(os.path.join(directory, "auth_attempts"), "a") as f:
        f.write("%s %s\n" % (mechanism, "ok" if ok else "refused"))


class CaptureSMTP(SMTP):
    line_length_limit = AUTH_LINE_LIMIT + 2

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.command_size_limits["AUTH"] = AUTH_LINE_LIMIT


class CaptureHandler:
    def __init__(self, directory, user=None, token=None):
        self.directory = directory
        self.count = 0
        self.user = user
        self.token = token

    async def auth_XOAUTH2(self, server, args):
        if len(args) == 2:
            blob = args[1].encode("ascii")
        else:
            blob = await server.challenge_auth("", encode_to_b64=False)
            if blob is MISSING:
                return AuthResult(success=False, handled=True)
        try:
            text = base64.b64decode(blob, validate=True)
        except ValueError:
            text = b""
        expected = b"user=%s\x01auth=Bearer %s\x01\x01" % (
            (self.user or "").encode("latin-1"), (self.token or "").encode("latin-1"))
        ok = self.token is not None and text == expected
        note_attempt(self.directory, "XOAUTH2", ok)
        if ok:
            return AuthResult(success=True, auth_data="XOAUTH2")
        error = b'{"status":"401","schemes":"bearer","scope":"https://mail.test/"}'
        answer = await server.challenge_auth(error)
        if answer is MISSING or answer != b"":
            return AuthResult(success=False, handled=True)
        return AuthResult(success=False, handled=False, message="535 5.7.8 Username and Password not accepted")

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        folder = os.path.join(self.directory, "msg-%d.tmp" % self.count)
        os.makedirs(folder)
        write_file(os.path.join(folder, "mail_from"), (envelope.mail_from or "").encode("latin-1"))
        write_file(os.path.join(folder, "rcpt_tos"),
                   "".join(r + "\n" for r in envelope.rcpt_tos).encode("latin-1"))
        write_file(os.path.join(folder, "data"), envelope.original_content or b"")
        tls = session.ssl is not None or server.transport.get_extra_info("ssl_object") is not None
        write_file(os.path.join(folder, "tls"), b"1" if tls else b"0")
        write_file(os.path.join(folder, "auth"), b"1" if session.authenticated else b"0")
        mechanism = session.auth_data if isinstance(session.auth_data, str) else ""
        write_file(os.path.join(folder, "mechanism"), mechanism.encode())
        os.replace(folder, os.path.join(self.directory, "msg-%d" % self.count))
        return "250 2.0.0 Stored"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)
    parser.add_argument("--auth-login", help="USER:PASSWORD; AUTH is then required")
    parser.add_argument("--starttls", nargs=2, metavar=("CERT", "KEY"), help="STARTTLS required")
    parser.add_argument("--mechanisms", default="LOGIN PLAIN", help="the AUTH mechanisms offered")
    parser.add_argument("--xoauth2-token", help="the bearer token XOAUTH2 accepts")
    parser.add_argument("--implicit-tls", nargs=2, metavar=("CERT", "KEY"), help="TLS from the first byte")
    args = parser.parse_args()
    logging.getLogger("mail.log").setLevel(logging.ERROR)  # its advice on AUTH without TLS is noise here

    tls_context = None
    if args.starttls:
        tls_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls_context.load_cert_chain(args.starttls[0], args.starttls[1])

    implicit_context = None
    if args.implicit_tls:
        implicit_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        implicit_context.load_cert_chain(args.implicit_tls[0], args.implicit_tls[1])

    authenticator = None
    user = None
    if args.auth_login:
        user, _, password = args.auth_login.partition(":")

        def authenticator(server, session, envelope, mechanism, auth_data):
            ok = (isinstance(auth_data, LoginPassword)
                  and auth_data.login == user.encode("latin-1")
                  and auth_data.password == password.encode("latin-1"))
            note_attempt(args.dir, mechanism, ok)
            return AuthResult(success=ok, handled=False, auth_data=mechanism if ok else None)

    offered = set(args.mechanisms.split())
    excluded = [m for m in ("LOGIN", "PLAIN", "XOAUTH2") if m not in offered]
    handler = CaptureHandler(args.dir, user, args.xoauth2_token)

    def factory():
        return CaptureSMTP(handler, hostname="capture.test", decode_data=False,
                           enable_SMTPUTF8=False, tls_context=tls_context,
                           require_starttls=tls_context is not None,
                           authenticator=authenticator, auth_required=authenticator is not None,
                           auth_require_tls=tls_context is not None and implicit_context is None,
                           auth_exclude_mechanism=excluded)

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    server = loop.run_until_complete(loop.create_server(factory, "127.0.0.1", 0, ssl=implicit_context))
    port = server.sockets[0].getsockname()[1]
    write_file(os.path.join(args.dir, "port"), str(port).encode())

    loop.add_signal_handler(signal.SIGTERM, loop.stop)
    loop.add_reader(sys.stdin.fileno(), lambda: loop.stop() if not os.read(sys.stdin.fileno(), 4096) else None)
    loop.run_forever()
    server.close()


if __name__ == "__main__":
    main()
