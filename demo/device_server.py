#!/usr/bin/python3
"""The simulated device's web server for the demo and the end-to-end tests.

Serves the pages in www/, offers a file download with a Content-Disposition
header, accepts file uploads and remembers what it received, and answers
/status with the values the simulated device is currently sending.

    device_server.py --bind 10.9.0.1 --port 80 --www demo/www --uploads DIR
"""
import argparse
import cgi
import json
import os
import sys
import time
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer


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
            form = cgi.FieldStorage(fp=self.rfile, headers=self.headers,
                                    environ={"REQUEST_METHOD": "POST",
                                             "CONTENT_TYPE": self.headers.get("Content-Type", "")})
            saved = []
            if "file" in form:
                items = form["file"] if isinstance(form["file"], list) else [form["file"]]
                for item in items:
                    if not item.filename:
                        continue
                    name = os.path.basename(item.filename.replace("\\", "/")) or "upload.bin"
                    data = item.file.read()
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
