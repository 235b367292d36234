#!/usr/bin/env python3
"""A stand-in VPN gateway for the end-to-end test: TLS on 127.0.0.1 with the given certificate.

It answers openfortivpn's login request (POST /remote/logincheck) with 401, so a client that got
past certificate validation ends with an authentication error, and records each login's form
body on stderr as "login BODY". It prints "ready PORT" once it listens, and stops by itself
after 60 seconds or 50 requests, whichever comes first.

Usage: gateway.py CERT_PEM KEY_PEM
"""
import http.server
import ssl
import sys
import time

LIFETIME_SECONDS = 60
MAX_REQUESTS = 50


class Gateway(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(min(length, 65536)).decode("utf-8", "replace")
        if self.path == "/remote/logincheck":
            sys.stderr.write("login %s\n" % body)
            sys.stderr.flush()
        self.reply(401)

    def do_GET(self):
        self.reply(404)

    def reply(self, status):
        self.send_response(status)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, format, *args):
        pass  # only the login lines go to stderr


def main():
    cert, key = sys.argv[1], sys.argv[2]
    server = http.server.HTTPServer(("127.0.0.1", 0), Gateway)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    print("ready %d" % server.server_address[1], flush=True)
    deadline = time.monotonic() + LIFETIME_SECONDS
    for _ in range(MAX_REQUESTS):
        left = deadline - time.monotonic()
        if left <= 0:
            break
        server.timeout = left
        server.handle_request()


if __name__ == "__main__":
    main()
