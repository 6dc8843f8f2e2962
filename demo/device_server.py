#!/usr/bin/python3
"""The simulated device's web server for the demo and the end-to-end tests.

Serves the pages in www/, offers a file download with a Content-Disposition
header, accepts file uploads and remembers what it received, and answers
/status with the values the simulated device is currently sending.

    device_server.py --bind 10.9.0.1 --port 80 --www demo/www --uploads DIR
"""
import argparse
import json
import os
import sys
import time
from email.parser import BytesParser
from email.policy import HTTP
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer


def uploaded_files(content_type, body, field):
    """(file name, bytes) of each file sent in a multipart/form-data body
    under the form field `field` (the email package's MIME parser: the cgi
    module is gone from Python 3.13)."""
    head = ("Content-Type: %s\r\nMIME-Version: 1.0\r\n\r\n" % content_type).encode()
    message = BytesParser(policy=HTTP).parsebytes(head + body)
    if not message.is_multipart():
        return
    for part in message.iter_parts():
        if part.get_param("name", header="content-disposition") != field:
            continue
        yield part.get_filename(), part.get_payload(decode=True) or b""


def make_handler(www, uploads, status_file):
    class Handler(SimpleHTTPRequestHandler):
        server_version = "KxPDevice/1.0"

        def __init__(self, *args, **kwargs):
            super().__init__(*args, directory=www, **kwargs)

        def log_message(self, fmt, *args):
            agent = self.headers.get("User-Agent", "-") if getattr(self, "headers", None) else "-"
            sys.stderr.write("device-web: %s %s [%s]\n" % (self.address_string(), fmt % args, agent))
            sys.stderr.flush()

        def do_GET(self):
            if self.path.startswith("/files/report.csv"):
                body = self._report().encode()
                self.send_response(200)
                self.send_header("Content-Type", "text/csv")
                self.send_header("Content-Disposition", 'attachment; filename="report.csv"')
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)
                return
            if self.path.startswith("/status"):
                body = b"{}"
                if status_file and os.path.exists(status_file):
                    with open(status_file, "rb") as f:
                        body = f.read()
                self.send_response(200)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)
                return
            super().do_GET()

        def do_POST(self):
            if not self.path.startswith("/upload"):
                self.send_error(404)
                return
            length = int(self.headers.get("Content-Length") or 0)
            payload = self.rfile.read(length)
            saved = []
            for filename, data in uploaded_files(self.headers.get("Content-Type", ""), payload, "file"):
                if not filename:
                    continue
                name = os.path.basename(filename.replace("\\", "/")) or "upload.bin"
                os.makedirs(uploads, exist_ok=True)
                with open(os.path.join(uploads, name), "wb") as f:
                    f.write(data)
                saved.append("%s (%d bytes)" % (name, len(data)))
                sys.stderr.write("device-web: received upload %s, %d bytes\n" % (name, len(data)))
            body = ("<html><body><h1>Upload</h1><p>Received: %s</p>"
                    "<p><a href=\"/index.html\">Back</a></p></body></html>"
                    % (", ".join(saved) or "nothing")).encode()
            self.send_response(200)
            self.send_header("Content-Type", "text/html")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def _report(self):
            lines = ["time;value"]
            now = int(time.time())
            for i in range(10):
                lines.append("%d;%d" % (now - 60 * (10 - i), 20 + i))
            return "\n".join(lines) + "\n"

    return Handler


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bind", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=80)
    parser.add_argument("--www", default=os.path.join(os.path.dirname(__file__), "www"))
    parser.add_argument("--uploads", default="/tmp/device-uploads")
    parser.add_argument("--status-file", default="")
    args = parser.parse_args()
    server = ThreadingHTTPServer((args.bind, args.port),
                                 make_handler(args.www, args.uploads, args.status_file))
    sys.stderr.write("device-web: serving %s on %s:%d\n" % (args.www, args.bind, args.port))
    sys.stderr.flush()
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
