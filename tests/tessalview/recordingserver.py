#!/usr/bin/env python3
"""A web server for the kiosk's tests that tells what reached it.

    recordingserver.py [--tls CERT KEY] [--host 127.0.0.1] [--port 0]

Prints "PORT <n>" once it listens, then one JSON line per request (method,
path, Authorization, Host), flushed at once, so a test reads on its
standard output what each request carried. Every path answers 200 with a
small page; "/status/<n>" answers with status n (a 401 challenges for Basic
credentials). With --tls it speaks HTTPS only, with the given certificate
and key; a client that refuses the certificate ends its handshake and no
request is recorded.
"""
import argparse
import http.server
import json
import ssl
import sys


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    args = parser.parse_args()

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *a):
            pass

        def do_GET(self):
            print(json.dumps({"method": self.command, "path": self.path,
                              "auth": self.headers.get("Authorization"),
                              "host": self.headers.get("Host")}), flush=True)
            status = 200
            if self.path.startswith("/status/"):
                status = int(self.path.split("/")[2])
            body = b"<html><body>recorded</body></html>"
            self.send_response(status)
            if status == 401:
                self.send_header("WWW-Authenticate", 'Basic realm="device"')
            self.send_header("Content-Type", "text/html")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

    server = http.server.ThreadingHTTPServer((args.host, args.port), Handler)
    server.daemon_threads = True
    if args.tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.tls[0], args.tls[1])
        server.socket = context.wrap_socket(server.socket, server_side=True)
    print("PORT %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    sys.exit(main())
