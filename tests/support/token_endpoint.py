#!/usr/bin/python3
"""OAuth 2.0 token endpoint for the tests, on Python's http.server.

Listens on 127.0.0.1 at a free port (HTTPS with the given certificate, or plain HTTP with --plain),
writes that port to DIR/port once it accepts connections, and for every request:
- appends one JSON line to DIR/requests: {"method", "path", "content_type", "form": {name: value}};
- answers with the first entry of DIR/answers.json, a list of {"status", "body", "delay"}; the entry
  is removed unless it is the last one, which answers every later request. "delay" (seconds) is
  waited before the answer, to play a slow endpoint.
With --jwt-key PEM (a public key) a JWT bearer grant's assertion is checked: the record gets "jwt":
{"header", "claims", "signature_valid"} (the signature checked with the openssl command), and an
assertion whose signature fails is refused with 400 invalid_grant whatever is scripted.
Runs until it is terminated or its standard input reaches its end (the test process is gone).
"""
import argparse
import json
import os
import base64
import signal
import ssl
import subprocess
import tempfile
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

LOCK = threading.Lock()


def write_file(path, data):
    with open(path + ".tmp", "wb") as f:
        f.write(data)
    os.replace(path + ".tmp", path)


def next_answer(directory):
    path = os.path.join(directory, "answers.json")
    with LOCK:
        try:
            with open(path, "rb") as f:
                answers = json.load(f)
        except (OSError, ValueError):
            answers = []
        if not answers:
            return {"status": 500, "body": '{"error":"no_answer_scripted"}', "delay": 0}
        if len(answers) > 1:
            write_file(path, json.dumps(answers[1:]).encode())
        return answers[0]


def b64url(text):
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


def check_assertion(assertion, public_key):
    parts = assertion.split(".")
    if len(parts) != 3:
        return {"header": None, "claims": None, "signature_valid": False}
    with tempfile.TemporaryDirectory() as scratch:
        data, signature = os.path.join(scratch, "data"), os.path.join(scratch, "signature")
        write_file(data, (parts[0] + "." + parts[1]).encode())
        write_file(signature, b64url(parts[2]))
        valid = subprocess.run(["openssl", "dgst", "-sha256", "-verify", public_key, "-signature", signature, data],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0
    return {"header": json.loads(b64url(parts[0])), "claims": json.loads(b64url(parts[1])), "signature_valid": valid}


def make_handler(directory, public_key):
    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

        def do_POST(self):
            length = int(self.headers.get("Content-Length") or 0)
            raw = self.rfile.read(length).decode("latin-1")
            form = dict(urllib.parse.parse_qsl(raw, keep_blank_values=True))
            record = {"method": "POST", "path": self.path,
                      "content_type": self.headers.get("Content-Type", ""), "form": form}
            if public_key and "assertion" in form:
                record["jwt"] = check_assertion(form["assertion"], public_key)
            with LOCK:
                with open(os.path.join(directory, "requests"), "a") as f:
                    f.write(json.dumps(record) + "\n")
            answer = next_answer(directory)
            if "jwt" in record and not record["jwt"]["signature_valid"]:
                answer = {"status": 400, "body": '{"error":"invalid_grant","error_description":"Invalid JWT Signature."}'}
            if answer.get("delay"):
                time.sleep(answer["delay"])
            body = answer.get("body", "").encode("latin-1")
            try:
                self.send_response(answer.get("status", 200))
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)
            except OSError:
                pass  # the client gave up waiting

    return Handler


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    parser.add_argument("--jwt-key")
    args = parser.parse_args()

    server = ThreadingHTTPServer(("127.0.0.1", 0), make_handler(args.dir, args.jwt_key))
    server.daemon_threads = True
    if args.tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.tls[0], args.tls[1])
        server.socket = context.wrap_socket(server.socket, server_side=True)
    write_file(os.path.join(args.dir, "port"), str(server.server_address[1]).encode())

    threading.Thread(target=server.serve_forever, daemon=True).start()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    while os.read(sys.stdin.fileno(), 4096):
        pass


if __name__ == "__main__":
    main()
