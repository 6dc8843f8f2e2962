#!/usr/bin/env python3
"""The whole kiosk against a device whose own pages misbehave.

tessalview (Qt offscreen) runs in a private network namespace with the
device's web server on 127.0.0.1:80 (and on its port 8080, and over HTTPS
on 443 with a self-signed certificate made by openssl), a second host on
127.0.0.2:80, TUP frames from tupsend and the LED files under TESSAL_ROOT. The service
manager is played by this script: it receives READY=1 and WATCHDOG=1 on a
unix datagram socket named by NOTIFY_SOCKET and, like systemd with
WatchdogSec=, kills (SIGABRT) and restarts a kiosk whose keep-alives stop.

One group per fault: a page script that never returns, JavaScript dialogs,
a page that trickles, a page that leads to another host; whom the device's
login goes to (its origin, its own pages' requests) and the device's pinned
certificate; and what the kiosk asks of the system: the web engine's
sandbox, web storage kept off the disk.

The test runs as root (its servers, the network namespace, port 80), but
the kiosk runs as the packaged unit runs it: an unprivileged user without
capabilities, started through setpriv with no-new-privileges. The user is
one that no account and no other process has, so whatever the kiosk leaves
on the disk is known by its owner.

    kiosk_pages.py TESSALVIEW TUPSEND [GROUP...]
"""
import grp
import http.server
import os
import pwd
import resource
import select
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

DEVICE = "127.0.0.1"
FOREIGN = "127.0.0.2"
OTHER_PORT = 8080  # another port of the device's host: another origin
UDP_PORT = 9876
SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
AS_USER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "as-user.sh")
PINS = {"green": 224, "yellow": 225, "red": 228, "buzzer": 230}
LOGIN = ("admin", "pw")
CREDENTIALS = "Basic YWRtaW46cHc="  # admin:pw
AGENT = "Tessal TessalView/2.0 WebKit"


def unused_id():
    """A uid (and the same gid) that no account, group or process has."""
    taken = set()
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                taken.add(os.stat("/proc/" + entry).st_uid)
            except OSError:
                pass
    for candidate in range(64600, 64700):
        try:
            pwd.getpwuid(candidate)
            continue
        except KeyError:
            pass
        try:
            grp.getgrgid(candidate)
            continue
        except KeyError:
            pass
        if candidate not in taken:
            return candidate
    raise RuntimeError("no free uid in 64600..64699")


KIOSK_UID = None  # set in main(), before the first kiosk


def ensure_private_netns():
    if os.environ.get("KIOSK_PAGES_NETNS") == "1":
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        return
    if os.geteuid() != 0 or subprocess.run(["unshare", "--net", "true"]).returncode != 0:
        print("SKIP: needs root for a private network namespace and port 80")
        sys.exit(77)
    env = dict(os.environ, KIOSK_PAGES_NETNS="1")
    os.execvpe("unshare", ["unshare", "--net", sys.executable] + sys.argv, env)


# --------------------------------------------------------------------- web
def make_certificate(directory, name):
    """A self-signed certificate for DEVICE made by openssl (NAME.pem,
    NAME.key); returns its SHA-256 fingerprint as openssl prints it."""
    cert = os.path.join(directory, name + ".pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
                    os.path.join(directory, name + ".key"), "-out", cert, "-days", "2",
                    "-subj", "/CN=" + DEVICE, "-addext", "subjectAltName=IP:" + DEVICE],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    out = subprocess.run(["openssl", "x509", "-in", cert, "-noout", "-fingerprint", "-sha256"],
                         check=True, stdout=subprocess.PIPE, text=True).stdout.strip()
    return out.split("=", 1)[1]


class Web:
    """The device's web server and the other host: records every request
    (host, path, Authorization, User-Agent) and serves what the test says."""

    def __init__(self):
        self.lock = threading.Lock()
        self.requests = []
        self.index = b"<html><body>device</body></html>"
        self.pages = {}
        self.trickle = False
        # (host, path) -> (status, [(header, value)], body): answers other
        # than a plain page (a login challenge, a redirect).
        self.special = {}
        # (host, path) of pages that challenge a request without the login.
        self.protected = set()
        self.servers = []

    def start(self):
        web = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_GET(self):
                url = urllib.parse.urlsplit(self.path)
                record = {"t": time.monotonic(), "closed": None}
                with web.lock:
                    web.requests.append(record)
                    record.update({
                        "server": self.server.server_address[0],
                        "port": self.server.server_address[1],
                        "path": url.path,
                        "query": urllib.parse.unquote(url.query),
                        "auth": self.headers.get("Authorization"),
                        "agent": self.headers.get("User-Agent"),
                    })
                    body = web.pages.get((self.server.server_address[0], url.path))
                    if body is None and url.path == "/index.html":
                        body = web.index
                    trickle = web.trickle and url.path == "/index.html"
                    special = web.special.get(self.server.server_address + (url.path,),
                                              web.special.get((self.server.server_address[0],
                                                               url.path)))
                    if ((self.server.server_address[0], url.path) in web.protected and
                            self.headers.get("Authorization") != CREDENTIALS):
                        special = (401, [("WWW-Authenticate", 'Basic realm="K3P"')], b"who?")
                if special is not None:
                    status, headers, body = special
                    self.send_response(status)
                    for name, value in headers:
                        self.send_header(name, value)
                    self.send_header("Content-Type", "text/html")
                    self.send_header("Content-Length", str(len(body)))
                    self.end_headers()
                    try:
                        self.wfile.write(body)
                    except OSError:
                        pass
                    return
                if body is None:
                    body = b"not here"
                    self.send_response(404)
                else:
                    self.send_response(200)
                self.send_header("Content-Type",
                                 "image/png" if url.path.endswith(".png") else "text/html")
                self.send_header("Content-Length", str(len(body)))
                self.send_header("Cache-Control", "no-store")
                self.end_headers()
                try:
                    if trickle:
                        # One byte a second, for as long as the client stays;
                        # the time the client gave up is recorded.
                        for b in body:
                            self.wfile.write(bytes([b]))
                            self.wfile.flush()
                            readable, _, _ = select.select([self.connection], [], [], 1.0)
                            if readable and not self.connection.recv(1, socket.MSG_PEEK):
                                break
                        record["closed"] = time.monotonic()
                    else:
                        self.wfile.write(body)
                except OSError:
                    record["closed"] = time.monotonic()

        # The device on port 80, on another port (8080), and over HTTPS with
        # a self-signed certificate made here; the other host on port 80.
        self.certs = tempfile.mkdtemp(prefix="kiosk-pages-certs-")
        self.device_fp = make_certificate(self.certs, "device")
        self.other_fp = make_certificate(self.certs, "other")
        for host, port, tls in ((DEVICE, 80, False), (FOREIGN, 80, False),
                                (DEVICE, OTHER_PORT, False), (DEVICE, 443, True)):
            server = http.server.ThreadingHTTPServer((host, port), Handler)
            server.daemon_threads = True
            if tls:
                context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
                context.load_cert_chain(os.path.join(self.certs, "device.pem"),
                                        os.path.join(self.certs, "device.key"))
                server.socket = context.wrap_socket(server.socket, server_side=True)
            threading.Thread(target=server.serve_forever, daemon=True).start()
            self.servers.append(server)

    def stop(self):
        for s in self.servers:
            s.shutdown()
            s.server_close()
        shutil.rmtree(self.certs, ignore_errors=True)

    def find(self, **match):
        with self.lock:
            return [r for r in self.requests if all(r.get(k) == v for k, v in match.items())]


# ------------------------------------------------------------------- kiosk
class Kiosk:
    """tessalview with its own unit tree, log, LED files and notify socket,
    run as KIOSK_UID; everything it must write belongs to that user."""

    def __init__(self, binary, tupsend, ini_extra="", watchdog_usec=3000000):
        self.binary = binary
        self.tupsend = tupsend
        self.work = tempfile.mkdtemp(prefix="kiosk-pages-")
        self.root = os.path.join(self.work, "root")
        # The kiosk's home: whatever the engines write there is seen.
        self.home = os.path.join(self.work, "home")
        self.cache = os.path.join(self.work, "cache")
        self.watchdog_usec = watchdog_usec
        self.proc = None
        self.runs = 0
        self.notes = []  # (time, pid, message)
        self.notes_lock = threading.Lock()
        for d in ("usr/local/etc", "sys/class/graphics/fb0", "sys/class/gpio",
                  "sys/devices/platform/pwm-backlight.0/backlight/pwm-backlight.0",
                  "xdg", "scripts", "tmpcfg", "sys/class/net/usb0"):
            os.makedirs(os.path.join(self.root, d), exist_ok=True)
        os.makedirs(self.home)
        os.chmod(os.path.join(self.root, "xdg"), 0o700)
        # The kernel's own files, as the kiosk reads them through its path
        # seam (a group may put fakes in place of some).
        os.symlink("/proc", os.path.join(self.root, "proc"))
        for pin in PINS.values():
            g = os.path.join(self.root, "sys/class/gpio/gpio%d" % pin)
            os.makedirs(g, exist_ok=True)
            for f, v in (("value", "0"), ("direction", "in"), ("active_low", "0")):
                with open(os.path.join(g, f), "w") as fh:
                    fh.write(v)
        self.operstate("down")
        with open(os.path.join(self.root, "usr/local/etc/tessal-view.ini"), "w") as fh:
            fh.write("[WebCache]\nPath=%s\n" % self.cache)
            fh.write("[Files]\nScriptDir=%s/scripts\nTmpCfgDir=%s/tmpcfg\n" % (self.root, self.root))
            fh.write("[ModbusServer]\nModbusMap=%s/deploy/etc/modbus.map\n" % SOURCE_DIR)
            fh.write("[WebSite]\nLogin=%s\nPassword=%s\n" % LOGIN)
            fh.write("[Network]\nUdpBindAddress=%s\nUdpPort=%d\nUdpTimeout=2\n" % (DEVICE, UDP_PORT))
            fh.write(ini_extra)
        # The Modbus update script records what reaches it, with the time.
        self.updates_path = os.path.join(self.work, "updates.log")
        script = os.path.join(self.root, "scripts/mbserverupdate.sh")
        with open(script, "w") as fh:
            fh.write("#!/bin/sh\necho \"$(date +%%s.%%N) $1\" >> '%s'\n" % self.updates_path)
        os.chmod(script, 0o755)
        self.notify_path = os.path.join(self.work, "notify")
        self.notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.notify.bind(self.notify_path)
        self.notify.settimeout(0.2)
        self.give_to_kiosk(self.work)
        self.closing = False
        threading.Thread(target=self._receive_notes, daemon=True).start()
        self.log_path = os.path.join(self.work, "kiosk.log")

    @staticmethod
    def give_to_kiosk(top):
        """Hands `top` and everything below it to the kiosk's user."""
        os.lchown(top, KIOSK_UID, KIOSK_UID)
        for base, dirs, files in os.walk(top):
            for name in dirs + files:
                os.lchown(os.path.join(base, name), KIOSK_UID, KIOSK_UID)

    def _receive_notes(self):
        while not self.closing:
            try:
                data = self.notify.recv(4096)
            except socket.timeout:
                continue
            except OSError:
                return
            with self.notes_lock:
                pid = self.proc.pid if self.proc else 0
                for line in data.decode().splitlines():
                    self.notes.append((time.monotonic(), pid, line))

    def start(self):
        env = dict(os.environ, TESSAL_ROOT=self.root, QT_QPA_PLATFORM="offscreen",
                   XDG_RUNTIME_DIR=os.path.join(self.root, "xdg"), HOME=self.home,
                   NOTIFY_SOCKET=self.notify_path, WATCHDOG_USEC=str(self.watchdog_usec))
        for name in ("DISPLAY", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME"):
            env.pop(name, None)
        self.runs += 1
        with open(self.log_path, "a") as log:
            log.write("=== run %d\n" % self.runs)
        log = open(self.log_path, "a")
        # as-user.sh and setpriv exec the kiosk: the pid is the kiosk's.
        unprivileged = [AS_USER, "%d" % KIOSK_UID, os.path.dirname(self.binary), SOURCE_DIR, "--"]
        # Started in its home: whatever an engine would write to the
        # working directory lands where the test sees it.
        self.proc = subprocess.Popen(unprivileged + [self.binary, "-D", "K3P", "-R", "1.0"],
                                     env=env, cwd=self.home,
                                     stdout=log, stderr=subprocess.STDOUT,
                                     preexec_fn=lambda: resource.setrlimit(
                                         resource.RLIMIT_CORE, (0, 0)))
        log.close()
        return self.proc

    def log(self):
        with open(self.log_path, errors="replace") as fh:
            return fh.read()

    def run_log(self):
        """The log of the current run only."""
        return self.log().split("=== run %d\n" % self.runs, 1)[-1]

    def wait_log(self, text, timeout, whole=False):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if text in (self.log() if whole else self.run_log()):
                return True
            time.sleep(0.1)
        return False

    def notes_of(self, pid, message):
        with self.notes_lock:
            return [t for (t, p, m) in self.notes if p == pid and m == message]

    def operstate(self, state):
        with open(os.path.join(self.root, "sys/class/net/usb0/operstate"), "w") as fh:
            fh.write(state + "\n")

    def led(self, name):
        with open(os.path.join(self.root, "sys/class/gpio/gpio%d/value" % PINS[name])) as fh:
            return fh.read().strip()

    def updates(self):
        """(wall-clock time, JSON) of every run of the update script."""
        try:
            with open(self.updates_path) as fh:
                return [(float(l.split(" ", 1)[0]), l.split(" ", 1)[1]) for l in fh if " " in l]
        except OSError:
            return []

    def send(self, green, yellow=0, red=0, buzzer=0, extra=()):
        subprocess.run([self.tupsend, "-H", DEVICE, "-p", str(UDP_PORT), "--devinfo",
                        "1,1,0,2,0,1,12345,en", "--gpio",
                        "%d,%d,%d,%d" % (green, yellow, red, buzzer)] + list(extra),
                       check=True, stdout=subprocess.DEVNULL)

    def stop(self, sig=signal.SIGTERM, timeout=15):
        if not self.proc or self.proc.poll() is not None:
            return self.proc.returncode if self.proc else None
        self.proc.send_signal(sig)
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return None

    def close(self):
        self.stop()
        self.closing = True
        self.notify.close()
        if failures:
            print("  (work directory kept: %s)" % self.work)
        else:
            shutil.rmtree(self.work, ignore_errors=True)


class Frames:
    """Frames every 0.5 s whose green LED alternates (yellow the opposite);
    records for each frame how long until both LED files showed it."""

    def __init__(self, kiosk, period=0.5):
        self.kiosk = kiosk
        self.period = period
        self.running = True
        self.delays = []  # (send time, delay or None)
        self.values = []  # (wall-clock send time, Core value sent)
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        code = 0
        value = 1000
        while self.running:
            code ^= 1
            value += 1
            # The LEDs must show the previous frame before this one is sent:
            # LEDs left at a stale value would otherwise match every other
            # frame of the alternating pattern.
            try:
                ready = not (self.kiosk.led("green") == str(code) and
                             self.kiosk.led("yellow") == str(1 - code))
            except OSError:
                ready = False
            sent = time.monotonic()
            with self.lock:
                self.values.append((time.time(), value))
            try:
                self.kiosk.send(code, 1 - code, extra=["--item", "1,1,0,4,u16:%d" % value])
            except subprocess.CalledProcessError:
                pass
            seen = None
            while ready and time.monotonic() - sent < self.period:
                try:
                    if self.kiosk.led("green") == str(code) and \
                            self.kiosk.led("yellow") == str(1 - code):
                        seen = time.monotonic() - sent
                        break
                except OSError:
                    pass
                time.sleep(0.01)
            with self.lock:
                self.delays.append((sent, seen))
            time.sleep(max(0.0, sent + self.period - time.monotonic()))

    def stop(self):
        self.running = False
        self.thread.join()

    def core_delays(self, since_wall=0.0):
        """For each Core value sent since `since_wall`, the delay until the
        update script got it (None when it never did)."""
        updates = self.kiosk.updates()
        out = []
        with self.lock:
            values = [(t, v) for (t, v) in self.values if t >= since_wall]
        for t, v in values:
            # Register 2 (System Status) is the second word of the table at 0.
            got = [u for (u, text) in updates if '"address":0,"values":[0,%d,' % v in text]
            out.append(got[0] - t if got else None)
        return out

    def staleness(self, since=0.0):
        """Longest time in which no frame reached the LEDs, from `since`."""
        with self.lock:
            times = [s + d for (s, d) in self.delays if d is not None and s >= since]
            sends = [s for (s, d) in self.delays if s >= since]
        if not sends:
            return None
        last = sends[0]
        worst = 0.0
        for t in sorted(times):
            worst = max(worst, t - last)
            last = t
        return max(worst, (sends[-1] - last) if sends[-1] > last else 0.0)


# ------------------------------------------------------------------ checks
failures = []


def check(condition, what, kiosk=None):
    if condition:
        print("  ok   %s" % what)
        return True
    print("  FAIL %s" % what)
    failures.append(what)
    if kiosk:
        print("--- kiosk log (end) ---")
        print("\n".join(kiosk.log().splitlines()[-40:]))
    return False


BUSY_PAGE = (b"<html><body>busy<script>"
             b"setTimeout(function(){ var i = 0; while (true) { i++; } }, 300);"
             b"</script></body></html>")
GOOD_PAGE = b"<html><body>device page</body></html>"


def tiny_png():
    """A real 1 x 1 picture: an engine that cannot decode an image treats
    it as a failed resource."""
    import struct
    import zlib

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xffffffff)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 1, 1, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(b"\x00\x00\xa0\x00")) + chunk(b"IEND", b""))


PNG = tiny_png()


def group_busy_loop(tv, ts, web):
    print("busy loop: a page script that never returns")
    web.index = BUSY_PAGE
    k = Kiosk(tv, ts)
    try:
        p1 = k.start()
        check(k.wait_log("Main window shown", 20), "kiosk started", k)
        time.sleep(0.5)
        check(len(k.notes_of(p1.pid, "READY=1")) == 1, "READY=1 sent once")
        frames = Frames(k)
        check(k.wait_log("First frame", 10), "device attached", k)
        end = time.monotonic() + 10
        while time.monotonic() < end and not web.find(server=DEVICE, path="/index.html"):
            time.sleep(0.1)
        check(bool(web.find(server=DEVICE, path="/index.html")), "busy page requested")
        # Keep-alives at half the 3 s watchdog period while the window is
        # free; none once the page loops.
        hung_since = None
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            pings = k.notes_of(p1.pid, "WATCHDOG=1")
            if pings and time.monotonic() - pings[-1] > 3.0:
                hung_since = pings[-1]
                break
            time.sleep(0.1)
        check(hung_since is not None, "keep-alives stop while the page loops", k)
        # The front link lives on: frames reach the LEDs while the page
        # holds the window.
        time.sleep(3)
        stale_hung = frames.staleness(since=hung_since + 0.5)
        check(stale_hung is not None and stale_hung < 3.0,
              "frames reach the LEDs while the page loops (worst %.2f s)" % (stale_hung or -1), k)
        wall_hung = time.time() - (time.monotonic() - hung_since) + 0.5
        core = frames.core_delays(since_wall=wall_hung)[:-2]
        check(len(core) >= 4 and all(d is not None and d < 1.5 for d in core),
              "Core values reach the update script while the page loops (%s)"
              % " ".join("%.2f" % d if d is not None else "lost" for d in core), k)

        # SIGTERM still ends the kiosk, though the window never answers.
        t0 = time.monotonic()
        status = k.stop(signal.SIGTERM, timeout=20)
        took = time.monotonic() - t0
        check(status == -signal.SIGTERM, "SIGTERM ends the held kiosk (status %s, %.1f s)"
              % (status, took), k)
        check("The window does not answer, stopping without clean-up" in k.run_log(),
              "the forced stop is logged", k)

        # The watchdog harness: a kiosk whose keep-alives stop for the
        # watchdog period is killed with SIGABRT and started again; the
        # device's page still loops, so it happens again.
        restarts = 0
        p = k.start()
        window_start = time.monotonic()
        while restarts < 2 and time.monotonic() - window_start < 60:
            pings = k.notes_of(p.pid, "WATCHDOG=1")
            if pings and time.monotonic() - pings[-1] > k.watchdog_usec / 1e6:
                k.stop(signal.SIGABRT, timeout=10)
                restarts += 1
                p = k.start()
            time.sleep(0.1)
        check(restarts == 2, "the harness restarted the held kiosk twice", k)
        check(k.wait_log("Main window shown", 20), "restarted kiosk is up", k)
        starts = k.log().count("Previous run ended abnormally")
        check(starts == 3, "one 'previous run ended abnormally' line per start after a bad end "
              "(%d)" % starts, k)
        check("page http://127.0.0.1/index.html" in k.run_log(),
              "the line names the page shown last", k)
        # The device fixes its page: the next run stays alive.
        web.index = GOOD_PAGE
        k.stop(signal.SIGABRT)
        p = k.start()
        time.sleep(8)
        pings = k.notes_of(p.pid, "WATCHDOG=1")
        gaps = [b - a for a, b in zip(pings, pings[1:])]
        # Half the 3 s watchdog period asked for through WATCHDOG_USEC.
        check(len(pings) >= 4 and time.monotonic() - pings[-1] < 2.5 and
              all(1.0 < g < 2.5 for g in gaps),
              "a good page keeps the keep-alives coming every 1.5 s (%d, gaps %s)"
              % (len(pings), " ".join("%.2f" % g for g in gaps)), k)
        frames.stop()
        whole = frames.staleness()
        print("  measured: worst LED staleness while the page loops %.2f s; "
              "over the whole group incl. forced stop and %d restarts %.2f s"
              % (stale_hung or -1, restarts + 2, whole or -1))
        status = k.stop(signal.SIGTERM)
        check(status == 0, "a free kiosk stops cleanly with status 0 (%s)" % status, k)
        check(not os.path.exists(os.path.join(k.root, "run/tessalview/running")),
              "clean stop removes the run marker")
    finally:
        k.close()


DIALOG_PAGE = (b"<html><body>dialogs<script>"
               b"alert('hello from the device');"
               b"var c = confirm('really?');"
               b"var p = prompt('name?', 'x');"
               b"for (var i = 0; i < 50; i++) alert('loop ' + i);"
               b"new Image().src = '/result?confirm=' + c + '&prompt=' + p;"
               b"</script></body></html>")


def group_dialogs(tv, ts, web):
    print("dialogs: alert, confirm, prompt never block")
    web.index = DIALOG_PAGE
    web.pages[(DEVICE, "/result")] = b"ok"
    k = Kiosk(tv, ts)
    try:
        p = k.start()
        check(k.wait_log("Main window shown", 20), "kiosk started", k)
        for _ in range(8):
            k.send(1)
            time.sleep(0.5)
        check(k.wait_log("Page alert: hello from the device", 10), "alert logged with its text", k)
        check("Page confirm answered false: really?" in k.run_log(), "confirm answered false", k)
        check("Page prompt answered null: name?" in k.run_log(), "prompt answered null", k)
        check("Page alert: loop 49" in k.run_log(), "fifty alerts in a loop went by", k)
        end = time.monotonic() + 10
        while time.monotonic() < end and not web.find(path="/result"):
            time.sleep(0.1)
        results = web.find(path="/result")
        check(bool(results) and results[0]["query"] == "confirm=false&prompt=null",
              "the script saw false and null and went on (%s)"
              % (results[0]["query"] if results else None))
        # The device falls silent, the error page comes, the device returns:
        # its page is requested again without anyone touching the screen.
        before = len(web.find(server=DEVICE, path="/index.html", agent=AGENT))
        check(k.wait_log("No packet received within the 2s window", 10),
              "the device falls silent", k)
        check(k.wait_log("wv: Load error page", 3), "silence shows the error page", k)
        for _ in range(6):
            k.send(1)
            time.sleep(0.5)
        after = len(web.find(server=DEVICE, path="/index.html", agent=AGENT))
        check(after > before, "page reloaded after silence and reconnect (%d -> %d)"
              % (before, after), k)
        check(k.run_log().count("Page alert: hello from the device") >= 2,
              "the reloaded page's alert went by as well", k)
        pings = k.notes_of(p.pid, "WATCHDOG=1")
        check(pings and time.monotonic() - pings[-1] < 2.5, "keep-alives never stopped", k)
    finally:
        k.close()


def group_trickle(tv, ts, web):
    print("trickle: a page answered a byte a second")
    web.index = b"<html><body>" + b"x" * 200 + b"</body></html>"
    web.trickle = True
    k = Kiosk(tv, ts, "RetryTimeout=4\n")
    try:
        k.start()
        check(k.wait_log("Main window shown", 20), "kiosk started", k)
        frames = Frames(k, period=0.5)
        check(k.wait_log("First frame", 10), "device attached", k)
        t0 = time.monotonic()
        check(k.wait_log("' not loaded within 4 s, stopped", 12), "page stopped after 4 s", k)
        took = time.monotonic() - t0
        check(3.0 < took < 9.0, "stopped after the time-out, not before (%.1f s)" % took)
        check(k.wait_log("wv: Load error page", 3), "error page shown", k)
        # The retry probe goes out after the retry period; it too gives up on
        # a trickling answer, and the kiosk stays responsive.
        check(k.wait_log("WebView::handleRetryTimer()", 8), "retry cycle running", k)
        end = time.monotonic() + 10
        probes = []
        while time.monotonic() < end and not probes:
            probes = [r for r in web.find(server=DEVICE, path="/index.html") if r["agent"] != AGENT]
            time.sleep(0.2)
        check(len(probes) == 1, "the start page is probed", k)
        # The probe's own end: the kiosk closes its connection once the
        # retry period (4 s) has passed without the whole answer.
        end = time.monotonic() + 10
        while time.monotonic() < end and probes and probes[0]["closed"] is None:
            time.sleep(0.1)
        took = probes[0]["closed"] - probes[0]["t"] if probes and probes[0]["closed"] else -1
        check(3.0 < took < 9.0, "the trickling probe was given up after the retry period, "
              "not before (%.1f s)" % took, k)
        # Failed, not loaded: the next expiry finds the machine still probing.
        check(k.wait_log("onDefault", 10), "the trickling probe ended as failed", k)
        # The device answers normally again and re-attaches after a silence:
        # its page comes back.
        web.trickle = False
        web.index = GOOD_PAGE
        frames.stop()
        check(k.wait_log("No packet received within the 2s window", 10), "device silent", k)
        frames = Frames(k, period=0.5)
        end = time.monotonic() + 10
        while time.monotonic() < end and "First frame" not in k.run_log().split("No packet received")[-1]:
            time.sleep(0.1)
        time.sleep(3)
        tail = k.run_log().split("No packet received")[-1]
        check("First frame" in tail and "-> fail" not in tail and "not loaded within" not in tail,
              "the page loads again once the device answers", k)
        frames.stop()
    finally:
        web.trickle = False
        k.close()


def group_foreign_host(tv, ts, web):
    print("foreign host: the login stays with the device, blanking brings the device back")
    web.index = (b"<html><body>device<img src='/logo.png'><script>"
                 b"setTimeout(function(){ location = 'http://127.0.0.2/elsewhere.html'; }, 300);"
                 b"</script></body></html>")
    web.pages[(DEVICE, "/logo.png")] = PNG
    web.pages[(FOREIGN, "/elsewhere.html")] = (
        b"<html><body>elsewhere<img src='/pic.png'><script>"
        b"new Image().src = 'http://127.0.0.1/from-foreign.png';</script></body></html>")
    web.pages[(FOREIGN, "/pic.png")] = PNG
    k = Kiosk(tv, ts, "[UI]\nScreenSaverInterval=4000\n")
    try:
        t0 = time.monotonic()
        k.start()
        check(k.wait_log("Main window shown", 20), "kiosk started", k)
        frames = Frames(k, period=0.5)
        end = time.monotonic() + 15
        while time.monotonic() < end and not web.find(server=FOREIGN, path="/elsewhere.html"):
            time.sleep(0.1)
        web.index = GOOD_PAGE  # the device's page leads away only once
        # The other host's image follows its page (slowly under emulation).
        end = time.monotonic() + 10
        while time.monotonic() < end and not web.find(server=FOREIGN, path="/pic.png"):
            time.sleep(0.1)
        foreign = web.find(server=FOREIGN)
        check(len(foreign) >= 2, "the other host's page and image were loaded (%d)" % len(foreign), k)
        check(all(r["auth"] is None for r in foreign), "no Authorization header to the other host")
        device = [r for r in web.find(server=DEVICE, agent=AGENT)
                  if r["path"] != "/from-foreign.png" and r["t"] >= t0]
        check(device and all(r["auth"] == CREDENTIALS for r in device),
              "every request of the device's pages to the device carries the login (%d)"
              % len(device))
        asked = [r for r in web.find(server=DEVICE, path="/from-foreign.png") if r["t"] >= t0]
        check(asked and all(r["auth"] is None for r in asked),
              "the other host's page gets no login on its request to the device (%s)"
              % [r["auth"] for r in asked], k)
        check(k.wait_log("Screen dark on a page of another host (http://127.0.0.2/elsewhere.html)",
                         12), "screen went dark on the other host's page", k)
        t_dark = time.monotonic()
        end = time.monotonic() + 10
        back = []
        while time.monotonic() < end and not back:
            back = [r for r in web.find(server=DEVICE, path="/index.html", agent=AGENT)
                    if r["t"] >= t_dark - 1]
            time.sleep(0.1)
        check(bool(back) and back[0]["auth"] == CREDENTIALS,
              "the device's start page is loaded again, with the login", k)
        # Led away once more: the front connector's plug and unplug reloads
        # the last page, which leads to the other host again (the screen
        # stays dark, so no second blanking).
        web.index = (b"<html><body>device<script>setTimeout(function(){ "
                     b"location = 'http://127.0.0.2/elsewhere.html'; }, 300);</script></body></html>")
        before = len(web.find(server=FOREIGN, path="/elsewhere.html"))
        k.operstate("up")
        check(k.wait_log("Load front connection info page", 5), "front connector up", k)
        k.operstate("down")
        end = time.monotonic() + 10
        while time.monotonic() < end and len(web.find(server=FOREIGN, path="/elsewhere.html")) == before:
            time.sleep(0.1)
        web.index = GOOD_PAGE
        check(len(web.find(server=FOREIGN, path="/elsewhere.html")) > before,
              "on the other host again", k)
        # The device falls silent and comes back: its start page again.
        frames.stop()
        check(k.wait_log("No packet received within the 2s window", 10), "device silent", k)
        t_back = time.monotonic()
        frames = Frames(k, period=0.5)
        end = time.monotonic() + 10
        again = []
        while time.monotonic() < end and not again:
            again = [r for r in web.find(server=DEVICE, path="/index.html", agent=AGENT)
                     if r["t"] > t_back]
            time.sleep(0.1)
        check(bool(again), "a new attachment loads the device's start page", k)
        frames.stop()
    finally:
        k.close()


def proc_status(pid):
    """The fields of /proc/PID/status, by name."""
    with open("/proc/%d/status" % pid) as f:
        return dict(line.split(":", 1) for line in f.read().splitlines() if ":" in line)


def proc_children(pid):
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                if int(f.read().rsplit(")", 1)[1].split()[1]) == pid:
                    found.append(int(entry))
        except (OSError, ValueError, IndexError):
            pass
    return found


def proc_cmdline(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return f.read().split(b"\0")
    except OSError:
        return []


def renderers(pid):
    """The render processes of the kiosk `pid` (QtWebEngine). The kiosk
    starts two zygotes; the one without --no-zygote-sandbox forks the render
    processes, which keep its command line. With the sandbox on, that zygote
    is the first process of a pid namespace of its own and the one that
    forks is its child."""
    forkers = []
    for child in proc_children(pid):
        cmd = proc_cmdline(child)
        if not cmd or not cmd[0].endswith(b"QtWebEngineProcess") or \
                b"--type=zygote" not in cmd or b"--no-zygote-sandbox" in cmd:
            continue
        try:
            init_of_namespace = proc_status(child)["NSpid"].split()[-1] == "1"
        except (OSError, KeyError):
            continue
        forkers += proc_children(child) if init_of_namespace else [child]
    return [r for f in forkers for r in proc_children(f)]


# The stated bound: a page silent for 5 s is ended (probes every second),
# and the device's page is asked for again at once.
HUNG_PAGE_BOUND = 10.0


def group_busy_loop_engine(tv, ts, web):
    print("busy loop (render process): the window stays free, the page is ended and reloaded")
    web.index = BUSY_PAGE
    k = Kiosk(tv, ts)
    try:
        t_start = time.monotonic()
        p1 = k.start()
        check(k.wait_log("Main window shown", 30), "kiosk started", k)
        frames = Frames(k, period=0.25)
        check(k.wait_log("First frame", 10), "device attached", k)
        end = time.monotonic() + 15
        def asked():
            return [r for r in web.find(server=DEVICE, path="/index.html") if r["t"] >= t_start]
        while time.monotonic() < end and not asked():
            time.sleep(0.1)
        first = asked()
        check(bool(first), "busy page requested", k)
        # The script starts looping 300 ms after the page arrived.
        t_loop = first[0]["t"] + 0.3
        end = t_loop + HUNG_PAGE_BOUND + 5
        again = []
        while time.monotonic() < end and not again:
            again = [r for r in web.find(server=DEVICE, path="/index.html") if r["t"] > t_loop + 1]
            time.sleep(0.1)
        check(k.wait_log("Page not answering for", 1), "the silent page is logged once", k)
        check(bool(again) and again[0]["t"] - t_loop <= HUNG_PAGE_BOUND,
              "the device's page is asked for again within %.0f s (%.2f s)"
              % (HUNG_PAGE_BOUND, again[0]["t"] - t_loop if again else -1), k)
        # The device fixes its page: it stays.
        web.index = GOOD_PAGE
        end = time.monotonic() + HUNG_PAGE_BOUND + 5
        while time.monotonic() < end and k.log().count("Page not answering for") < 2:
            time.sleep(0.2)
        n = k.log().count("Page not answering for")
        time.sleep(HUNG_PAGE_BOUND)
        check(k.log().count("Page not answering for") == n,
              "a good page is left alone (%d endings)" % n, k)
        frames.stop()
        stale = frames.staleness()
        check(stale is not None and stale < 1.0,
              "LED updates never stale by more than 1 s (worst %.2f s)" % (stale or -1), k)
        pings = k.notes_of(p1.pid, "WATCHDOG=1")
        gaps = [b - a for a, b in zip(pings, pings[1:])]
        check(len(pings) >= 4 and all(g < 2.5 for g in gaps),
              "the window's keep-alives never stop (%d, worst gap %.2f s)"
              % (len(pings), max(gaps) if gaps else -1), k)
        print("  measured: back on the device's page %.2f s after the loop began; "
              "worst LED staleness %.2f s" % (again[0]["t"] - t_loop if again else -1, stale or -1))
        status = k.stop(signal.SIGTERM)
        check(status == 0, "the kiosk stops cleanly (%s)" % status, k)
    finally:
        k.close()


def group_render_killed(tv, ts, web):
    print("killed render process: the kiosk loads the device's page again")
    k = Kiosk(tv, ts)
    try:
        t_start = time.monotonic()
        p = k.start()
        check(k.wait_log("Main window shown", 30), "kiosk started", k)
        frames = Frames(k, period=0.5)
        end = time.monotonic() + 15
        def asked():
            return [r for r in web.find(server=DEVICE, path="/index.html") if r["t"] >= t_start]
        while time.monotonic() < end and not asked():
            time.sleep(0.1)
        check(bool(asked()), "device page requested", k)
        time.sleep(1)
        victims = renderers(p.pid)
        check(len(victims) >= 1, "a render process runs (%s)" % victims, k)
        t_kill = time.monotonic()
        for v in victims:
            os.kill(v, signal.SIGKILL)
        check(k.wait_log("Render process killed", 5), "the ended process is logged", k)
        end = time.monotonic() + 10
        again = []
        while time.monotonic() < end and not again:
            again = [r for r in web.find(server=DEVICE, path="/index.html") if r["t"] > t_kill]
            time.sleep(0.1)
        check(bool(again), "the device's page is loaded again (%.2f s)"
              % (again[0]["t"] - t_kill if again else -1), k)
        time.sleep(1)
        fresh = [r for r in renderers(p.pid) if r not in victims]
        check(fresh and p.poll() is None, "a new render process (%s), same kiosk" % fresh, k)
        frames.stop()
        status = k.stop(signal.SIGTERM)
        check(status == 0, "the kiosk stops cleanly (%s)" % status, k)
    finally:
        k.close()


def group_challenge(tv, ts, web):
    print("challenge: a device asking for another login gets one request and the error page")
    web.special[(DEVICE, "/index.html")] = (
        401, [("WWW-Authenticate", 'Basic realm="K3P"')], b"<html><body>who?</body></html>")
    k = Kiosk(tv, ts, "[Network]\nRetryTimeout=30\n")
    try:
        t_start = time.monotonic()
        k.start()
        check(k.wait_log("Main window shown", 30), "kiosk started", k)
        frames = Frames(k, period=0.5)
        check(k.wait_log("wv: Load error page", 15), "the error page is shown", k)
        time.sleep(5)
        asked = [r for r in web.find(server=DEVICE, path="/index.html") if r["t"] >= t_start]
        check(len(asked) == 1, "one request, no storm of retries (%d: %s)"
              % (len(asked), " ".join("%.2f" % (r["t"] - asked[0]["t"]) for r in asked)), k)
        check(asked and asked[0]["auth"] == CREDENTIALS, "the request carried the login", k)
        frames.stop()
    finally:
        web.special.clear()
        k.close()


def group_redirect(tv, ts, web):
    print("redirect: the login does not follow a redirect to another host")
    web.index = (b"<html><body>device<img src='/logo.png'>"
                 b"<img src='http://127.0.0.2/pic.png'><script>"
                 b"setTimeout(function(){ location = '/go.html'; }, 300);"
                 b"</script></body></html>")
    web.pages[(DEVICE, "/logo.png")] = PNG
    web.pages[(FOREIGN, "/pic.png")] = PNG
    web.pages[(FOREIGN, "/landing.html")] = b"<html><body>landed</body></html>"
    web.special[(DEVICE, "/go.html")] = (
        302, [("Location", "http://127.0.0.2/landing.html")], b"")
    k = Kiosk(tv, ts)
    try:
        t0 = time.monotonic()
        k.start()
        check(k.wait_log("Main window shown", 30), "kiosk started", k)
        frames = Frames(k, period=0.5)
        end = time.monotonic() + 15
        while time.monotonic() < end and not web.find(server=FOREIGN, path="/landing.html"):
            time.sleep(0.1)
        web.index = GOOD_PAGE
        check(bool(web.find(server=DEVICE, path="/go.html")), "the device redirected", k)
        check(bool(web.find(server=FOREIGN, path="/landing.html")),
              "the other host's page was reached", k)
        foreign = web.find(server=FOREIGN)
        check(all(r["auth"] is None for r in foreign),
              "no Authorization header to the other host (%s)"
              % [(r["path"], r["auth"]) for r in foreign], k)
        # This run's requests only: an earlier group's other host asked the
        # device for things, without the login.
        device = [r for r in web.find(server=DEVICE, agent=AGENT) if r["t"] >= t0]
        check(device and all(r["auth"] == CREDENTIALS for r in device),
              "every request to the device carries the login (%d)" % len(device), k)
        frames.stop()
    finally:
        web.special.clear()
        k.close()


# A script's request in either credentials mode: fetch where the engine has
# it, else XMLHttpRequest (withCredentials false for "omit").
GET_JS = (b"function get(u, omit) { if (window.fetch) { fetch(u, {credentials: omit ? 'omit' : "
          b"'include', mode: 'no-cors'}).catch(function(){}); return; } "
          b"var x = new XMLHttpRequest(); x.open('GET', u); x.withCredentials = !omit; "
          b"try { x.send(); } catch (e) {} }")


def group_origin(tv, ts, web):
    print("origin: the login goes only to the device's origin, on its own pages' requests")
    port = "http://%s:%d" % (DEVICE, OTHER_PORT)
    web.index = (b"<html><body>device<img src='/logo.png'><iframe src='/frame.html'></iframe>"
                 b"<script>" + GET_JS +
                 b"get('/own-fetch.txt', false); get('/own-omit.txt', true);"
                 b"get('http://127.0.0.2/omit.txt', true); get('http://127.0.0.2/include.txt', false);"
                 b"get('" + port.encode() + b"/port.txt', false);"
                 b"new Image().src = '" + port.encode() + b"/port.png';"
                 b"setTimeout(function(){ location = '/go-self.html'; }, 1500);"
                 b"</script></body></html>")
    web.pages[(DEVICE, "/logo.png")] = PNG
    web.pages[(DEVICE, "/frame.html")] = b"<html><body>frame<img src='/frame-img.png'></body></html>"
    web.pages[(DEVICE, "/frame-img.png")] = PNG
    web.pages[(DEVICE, "/port.png")] = PNG
    for path in ("/own-fetch.txt", "/own-omit.txt", "/port.txt", "/from-away-fetch.txt",
                 "/from-away-omit.txt", "/from-away-frame.html"):
        web.pages[(DEVICE, path)] = b"text"
    for path in ("/omit.txt", "/include.txt"):
        web.pages[(FOREIGN, path)] = b"text"
    web.pages[(FOREIGN, "/from-away.png")] = PNG
    web.protected.update({(DEVICE, "/own-fetch.txt"), (DEVICE, "/own-omit.txt"),
                          (DEVICE, "/from-away-fetch.txt")})
    # The device redirects to a page of its own (the login goes along), then
    # sends the page to its other port, which sends it on to the other host,
    # whose page asks the device for things.
    web.special[(DEVICE, 80, "/go-self.html")] = (302, [("Location", "/second.html")], b"")
    web.pages[(DEVICE, "/second.html")] = (
        b"<html><body>second<img src='/second.png'><script>setTimeout(function(){ "
        b"location = '/go-port.html'; }, 300);</script></body></html>")
    web.pages[(DEVICE, "/second.png")] = PNG
    web.special[(DEVICE, 80, "/go-port.html")] = (
        302, [("Location", port + "/landing.html")], b"")
    web.pages[(DEVICE, "/landing.html")] = (
        b"<html><body>landing<script>setTimeout(function(){ "
        b"location = 'http://127.0.0.2/away.html'; }, 500);</script></body></html>")
    web.pages[(FOREIGN, "/away.html")] = (
        b"<html><body>elsewhere<script>" + GET_JS +
        b"get('http://127.0.0.1/from-away-fetch.txt', false);"
        b"get('http://127.0.0.1/from-away-omit.txt', true);"
        b"new Image().src = 'http://127.0.0.1/from-away.png';"
        b"setTimeout(function(){ location = 'http://127.0.0.1/from-away-nav.html'; }, 1000);"
        b"</script><iframe src='http://127.0.0.1/from-away-frame.html'></iframe></body></html>")
    web.pages[(DEVICE, "/from-away.png")] = PNG
    web.pages[(DEVICE, "/from-away-nav.html")] = b"<html><body>sent here</body></html>"
    k = Kiosk(tv, ts)
    try:
        t0 = time.monotonic()
        k.start()
        check(k.wait_log("Main window shown", 30), "kiosk started", k)
        frames = Frames(k, period=0.5)
        end = time.monotonic() + 20
        while time.monotonic() < end and not (
                web.find(server=DEVICE, path="/from-away-frame.html") and
                web.find(server=DEVICE, path="/from-away.png") and
                web.find(server=DEVICE, path="/from-away-nav.html")):
            time.sleep(0.1)
        time.sleep(0.5)  # the other host's page's scripts
        web.index = GOOD_PAGE
        frames.stop()

        def auths(**match):
            return [r["auth"] for r in web.find(**match) if r["t"] >= t0]
        for path in ("/index.html", "/logo.png", "/frame.html", "/frame-img.png", "/go-self.html",
                     "/second.html", "/second.png"):
            got = auths(server=DEVICE, port=80, path=path)
            check(got and all(a == CREDENTIALS for a in got),
                  "the device's own %s carries the login (%s)" % (path, got), k)
        # The other host's page sends the whole window to the device: the
        # navigation is that page's, not the kiosk's.
        nav = auths(server=DEVICE, path="/from-away-nav.html")
        check(nav and all(a is None for a in nav),
              "the other host's page sending the window to the device gets no login (%s)"
              % nav, k)
        # The page's own fetch to a page that asks for the login gets it up
        # front. Neither engine tells the kiosk a request's credentials mode,
        # so one with 'omit' gets it too: it reaches only the device. (A
        # challenge answered instead would fill the engine's own login cache,
        # which then hands the login to any page's fetch in 'include' mode.)
        got = auths(server=DEVICE, port=80, path="/own-fetch.txt")
        check(got and all(a == CREDENTIALS for a in got),
              "the device's own fetch carries the login (%s)" % got, k)
        print("  note the device's own fetch to its own origin with credentials 'omit': %s"
              % auths(server=DEVICE, path="/own-omit.txt"))
        other_port = auths(server=DEVICE, port=OTHER_PORT)
        check(len(other_port) >= 3 and all(a is None for a in other_port),
              "another port of the device's host (its image, a script's fetch, a redirect "
              "there) never gets the login (%s)" % other_port, k)
        foreign = auths(server=FOREIGN)
        omit = auths(server=FOREIGN, path="/omit.txt")
        check(bool(omit) and bool(auths(server=FOREIGN, path="/away.html")) and
              all(a is None for a in foreign),
              "the other host never gets the login: a fetch with credentials 'omit' or "
              "'include', the page it was sent to (%s)" % foreign, k)
        for path in ("/from-away-fetch.txt", "/from-away-omit.txt", "/from-away.png",
                     "/from-away-frame.html"):
            got = auths(server=DEVICE, path=path)
            check(got and all(a is None for a in got),
                  "a request of the other host's page to the device (%s) gets no login (%s)"
                  % (path, got), k)
        if ENGINE == "webengine":
            # QtWebEngine carries the login along a redirect: it is refused
            # and loaded afresh. (QtWebKit's requests go through the kiosk's
            # client, which takes the header off.)
            check(k.run_log().count("Redirect to '%s/landing.html' stopped" % port) >= 1,
                  "the redirect to another port was stopped and loaded afresh", k)
    finally:
        web.special.clear()
        web.protected.clear()
        k.close()


def group_https(tv, ts, web):
    print("https: the device's self-signed certificate pinned by its fingerprint")
    web.index = (b"<html><body>device over https<img src='/logo.png'><script>"
                 b"setTimeout(function(){ location = '/file.bin'; }, 1000);</script></body></html>")
    web.pages[(DEVICE, "/logo.png")] = PNG
    refused = "Certificate of 'https://%s/index.html' refused: SHA-256 %s presented, %s expected"
    # Its fingerprint: the page, its image, the retry probe (the device
    # first answers 503, then the probe finds it back) and a download reach
    # the device over https, with the login.
    web.special[(DEVICE, 443, "/index.html")] = (503, [], b"busy")
    download = (200, [("Content-Disposition", "attachment; filename=data.bin")], b"data")
    k = Kiosk(tv, ts, "[WebSite]\nScheme=https\nRequireHttps=true\nCertificateSha256=%s\n"
              "[Network]\nRetryTimeout=2\n" % web.device_fp.lower().replace(":", ""))
    try:
        t0 = time.monotonic()
        k.start()
        check(k.wait_log("Main window shown", 30), "kiosk started", k)
        frames = Frames(k, period=0.5)
        check(k.wait_log("wv: Load error page", 15), "the device's 503 shows the error page", k)
        web.special.clear()
        web.special[(DEVICE, 443, "/file.bin")] = download
        check(k.wait_log("Download request for 'https://%s/file.bin'" % DEVICE, 20),
              "the download was fetched over https with the pin", k)
        frames.stop()
        got = [r for r in web.find(server=DEVICE, port=443) if r["t"] >= t0]
        check(bool([r for r in got if r["path"] == "/logo.png"]),
              "the retry probe found the device back and its page was shown over https", k)
        probes = [r for r in got if r["path"] == "/index.html" and r["agent"] != AGENT]
        check(bool(probes), "the retry probe went over https with the pin (%d)" % len(probes), k)
        check(got and all(r["auth"] == CREDENTIALS for r in got),
              "every request to the device over https carries the login (%s)"
              % [(r["path"], r["auth"]) for r in got], k)
        check("refused" not in k.run_log(), "no certificate refused", k)
        check(not [r for r in web.find(server=DEVICE, port=80) if r["t"] >= t0],
              "nothing went to the device over http", k)
    finally:
        web.special.clear()
        k.close()

    # Another certificate's fingerprint: the error page, both fingerprints
    # named, and the device never sees a request (so no login), neither from
    # the page nor from the probe.
    k = Kiosk(tv, ts, "[WebSite]\nScheme=https\nCertificateSha256=%s\n"
              "[Network]\nRetryTimeout=2\n" % web.other_fp)
    try:
        t0 = time.monotonic()
        k.start()
        check(k.wait_log("Main window shown", 30), "kiosk started", k)
        frames = Frames(k, period=0.5)
        check(k.wait_log("wv: Load error page", 15), "the error page is shown", k)
        line = refused % (DEVICE, web.device_fp, web.other_fp)
        check(k.wait_log("WebView::handleRetryTimer()", 10), "the retry probe ran", k)
        time.sleep(1)
        frames.stop()
        check(k.run_log().count(line) >= 2,
              "the page's and the probe's refusals name both fingerprints (%d)"
              % k.run_log().count(line), k)
        got = [r for r in web.find(server=DEVICE) if r["t"] >= t0]
        check(not got, "the device saw no request at all (%s)" % [(r["port"], r["path"]) for r in got],
              k)
    finally:
        k.close()

    # RequireHttps with an http device: the page is asked for without the
    # login, and one line says why.
    k = Kiosk(tv, ts, "[WebSite]\nRequireHttps=true\n")
    try:
        t0 = time.monotonic()
        k.start()
        check(k.wait_log("Main window shown", 30), "kiosk started", k)
        frames = Frames(k, period=0.5)
        end = time.monotonic() + 15
        while time.monotonic() < end and not web.find(server=DEVICE, port=80, path="/logo.png"):
            time.sleep(0.1)
        frames.stop()
        got = [r for r in web.find(server=DEVICE, port=80) if r["t"] >= t0]
        check(bool(got) and all(r["auth"] is None for r in got),
              "no login over http (%s)" % [(r["path"], r["auth"]) for r in got], k)
        check(k.run_log().count("Login withheld from 'http://%s:80': RequireHttps sends it over "
                                "https only" % DEVICE) == 1, "one line says why", k)
    finally:
        k.close()


def group_pinned_download(tv, ts, web):
    print("pinned download: a unit pinned to its device saves only what the device serves")
    web.index = (b"<html><body>device<script>"
                 b"setTimeout(function(){ location = 'http://127.0.0.2/foreign.bin'; }, 300);"
                 b"setTimeout(function(){ location = '/own.bin'; }, 2500);"
                 b"</script></body></html>")
    attachment = [("Content-Disposition", "attachment; filename=data.bin")]
    web.special[(FOREIGN, 80, "/foreign.bin")] = (200, attachment, b"foreign")
    web.special[(DEVICE, 80, "/own.bin")] = (200, attachment, b"own")
    k = Kiosk(tv, ts, "[Network]\nDeviceAddress=%s\n" % DEVICE)
    try:
        k.start()
        check(k.wait_log("Main window shown", 30), "kiosk started", k)
        frames = Frames(k, period=0.5)
        check(k.wait_log("Download request for 'http://%s/own.bin'" % DEVICE, 20),
              "the device's own download goes ahead", k)
        frames.stop()
        log = k.run_log()
        check("Download of 'http://%s/foreign.bin' refused: the unit is pinned to %s"
              % (FOREIGN, DEVICE) in log, "the other host's download is refused, and said", k)
        check("Download request for 'http://%s/foreign.bin'" % FOREIGN not in log,
              "the other host's file never reaches the download dialog", k)
    finally:
        web.special.clear()
        k.close()


# A page that stores what it can: localStorage (16 blocks of 0.5 MB, or
# until the engine refuses more), Web SQL (8 rows of 0.5 MB) where the
# engine has it, and IndexedDB in 1 MB blocks of random bytes (nothing to
# compress). It first reports what it finds from an earlier run, then its
# progress, through image requests to /progress.
STORAGE_IDB_MB = 64
STORAGE_PAGE = (b"""<html><body>storage<script>
function report(q) { new Image().src = '/progress?' + q + '&at=' + Date.now(); }
var MB = 1048576;
function fill(a) {
  for (var o = 0; o < a.length; o += 65536) crypto.getRandomValues(a.subarray(o, o + 65536));
  return a;
}
var foundLs = localStorage.length, ls = 0, lsErr = '';
try {
  for (var i = 0; i < 16; i++) { localStorage.setItem('k' + i, String(i %% 10).repeat(262144)); ls++; }
} catch (e) { lsErr = e.name; }
var lsBack = (localStorage.getItem('k0') || '').length;
var summary = '&ls=' + ls + '&lserr=' + lsErr + '&lsback=' + lsBack;
// Web SQL, where the engine has it: 8 rows of 0.5 MB.
if (!window.openDatabase) {
  report('sql_found=none&sql=none');
} else {
  try {
    var sql = openDatabase('tessal-sql', '1', 'test', 16 * MB);
    sql.transaction(function(tx) {
      tx.executeSql('CREATE TABLE IF NOT EXISTS b (k, v)');
      tx.executeSql('SELECT COUNT(*) AS n FROM b', [], function(tx, r) {
        report('sql_found=' + r.rows.item(0).n);
        for (var j = 0; j < 8; j++) tx.executeSql('INSERT INTO b VALUES (?, ?)', [j, 'y'.repeat(262144)]);
      });
    }, function(e) { report('sql=0&sqlerr=' + e.message); }, function() {
      sql.readTransaction(function(tx) {
        tx.executeSql('SELECT COUNT(*) AS n FROM b', [], function(tx, r) { report('sql=' + r.rows.item(0).n); });
      });
    });
  } catch (e) { report('sql_found=refused&sql=refused&sqlerr=' + e.name); }
}
if (!window.indexedDB) {
  report('found_ls=' + foundLs + '&found_idb=none');
  report('done=1&idb=none' + summary);
} else {
  var req = indexedDB.open('tessal-storage', 1);
  req.onupgradeneeded = function() { req.result.createObjectStore('blocks'); };
  req.onerror = function() { report('done=1&idb=0&idberr=open-' + req.error.name + summary); };
  req.onsuccess = function() {
    var db = req.result, n = 0;
    var count = db.transaction('blocks').objectStore('blocks').count();
    count.onsuccess = function() {
      report('found_ls=' + foundLs + '&found_idb=' + count.result);
      (function step() {
        if (n >= %d) { report('done=1&idb=' + n + '&idberr=' + summary); return; }
        var tx = db.transaction('blocks', 'readwrite');
        tx.objectStore('blocks').put(fill(new Uint8Array(MB)), 'b' + n);
        tx.oncomplete = function() { n++; if (n %% 8 == 0) report('idb=' + n); step(); };
        tx.onabort = function() {
          report('done=1&idb=' + n + '&idberr=' + (tx.error ? tx.error.name : 'abort') + summary);
        };
      })();
    };
  };
}
</script></body></html>""" % STORAGE_IDB_MB)


def kiosk_disk_bytes(kiosk):
    """Bytes on the disk in files and directories of the kiosk's user, in
    every place that user can write: its own tree and the world-writable
    directories of the root file system."""
    total = 0
    seen = set()
    for top in (kiosk.work, "/tmp", "/var/tmp", "/run/lock"):
        for base, dirs, files in os.walk(top):
            for name in dirs + files:
                try:
                    st = os.lstat(os.path.join(base, name))
                except OSError:
                    continue
                if st.st_uid == KIOSK_UID and (st.st_dev, st.st_ino) not in seen:
                    seen.add((st.st_dev, st.st_ino))
                    total += st.st_blocks * 512
    return total


def files_below(top):
    found = []
    for base, _, files in os.walk(top):
        found += [os.path.join(base, f) for f in files]
    return found


def progress(web, key, since):
    """Parsed /progress reports that carry `key`, from requests after `since`."""
    out = []
    for r in web.find(server=DEVICE, path="/progress"):
        if r["t"] >= since:
            q = dict(urllib.parse.parse_qsl(r["query"], keep_blank_values=True))
            if key in q:
                out.append(q)
    return out


def wait_progress(web, key, since, timeout):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        got = progress(web, key, since)
        if got:
            return got[-1]
        time.sleep(0.2)
    return None


STORAGE_FLOOR = 1 << 20  # what a whole run may leave on the disk


def group_storage(tv, ts, web):
    print("storage: what a page stores lives in memory for the run only")
    web.index = STORAGE_PAGE
    web.pages[(DEVICE, "/progress")] = PNG
    k = Kiosk(tv, ts)
    try:
        disk_before = kiosk_disk_bytes(k)
        free_before = os.statvfs(k.work)
        t0 = time.monotonic()
        k.start()
        check(k.wait_log("Main window shown", 30), "kiosk started", k)
        frames = Frames(k, period=0.5)
        found = wait_progress(web, "found_ls", t0, 20)
        check(found is not None and found["found_ls"] == "0" and
              found["found_idb"] in ("0", "none"),
              "a first run finds no stored data (%s)" % found, k)
        sql = wait_progress(web, "sql", t0, 30)
        if ENGINE == "webengine":
            check(sql is not None and sql["sql"] == "8", "Web SQL took its rows (%s)" % sql, k)
        else:
            # QtWebKit's offline databases are off.
            check(sql is not None and sql["sql"] == "refused" and sql["sqlerr"] == "SecurityError",
                  "Web SQL refused (%s)" % sql, k)
        done = wait_progress(web, "done", t0, 90)
        check(done is not None, "the page stored what it could (%s)" % done, k)
        done = done or {}
        # The page's storage works for the run: a page that relies on it
        # within one run keeps working.
        check(done.get("ls", "0") != "0" and done.get("lsback") == "262144",
              "localStorage holds %s blocks of 0.5 MB and reads them back (%s)"
              % (done.get("ls"), done.get("lserr") or "no error"), k)
        if ENGINE == "webengine":
            check(done.get("idb") == str(STORAGE_IDB_MB),
                  "IndexedDB took %s MB (%s)" % (done.get("idb"), done.get("idberr") or "no error"),
                  k)
        else:
            check(done.get("idb") == "none", "no IndexedDB (%s)" % done.get("idb"), k)
        frames.stop()
        status = k.stop(signal.SIGTERM)
        check(status == 0, "the kiosk stops cleanly (%s)" % status, k)
        grown = kiosk_disk_bytes(k) - disk_before
        free_after = os.statvfs(k.work)
        dropped = (free_before.f_bavail - free_after.f_bavail) * free_before.f_frsize
        check(grown < STORAGE_FLOOR,
              "the run left %.2f MB on the disk, less than %.0f MB" % (grown / 1e6, STORAGE_FLOOR / 1e6),
              k)
        # QtWebKit starts GStreamer, which keeps its plugin list in the
        # home's cache (written once, nothing of a page): not web storage.
        stored = files_below(k.cache) + [f for f in files_below(k.home)
                                         if "/.cache/gstreamer-1.0/" not in f]
        check(not stored, "nothing in the storage directory or the home directory (%d files: %s)"
              % (len(stored), " ".join(stored[:5])), k)
        print("  measured: the file system's free space changed by %.1f MB over the run "
              "(other users of the disk included)" % (-dropped / 1e6))
        # A new run starts empty.
        t1 = time.monotonic()
        k.start()
        frames = Frames(k, period=0.5)
        found = wait_progress(web, "found_ls", t1, 30)
        sql = wait_progress(web, "sql_found", t1, 30)
        check(found is not None and found["found_ls"] == "0" and
              found["found_idb"] in ("0", "none") and
              sql is not None and sql["sql_found"] in ("0", "none", "refused"),
              "the next run finds nothing of the last one (%s, %s)" % (found, sql), k)
        frames.stop()
    finally:
        k.close()


SHOWN_PAGE = (b"<html><body>device<script>"
              b"new Image().src = '/shown.png?at=' + Date.now();</script></body></html>")


def shown_page(k, web, since, timeout=20):
    """Waits until the device's page ran its script (its image request):
    a render process is up and runs the page."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if [r for r in web.find(server=DEVICE, path="/shown.png") if r["t"] >= since]:
            return True
        time.sleep(0.1)
    return False


def ns(pid, kind):
    return os.readlink("/proc/%d/ns/%s" % (pid, kind))


def user_namespaces_here(tv):
    """Whether the kiosk's user may make a user namespace here at all (the
    kernel refuses one to a process in a chroot, such as a build container)."""
    return subprocess.run([AS_USER, "%d" % KIOSK_UID, os.path.dirname(tv), "--",
                           "unshare", "--user", "true"],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0


def group_sandbox(tv, ts, web):
    print("sandbox: the kiosk runs without privileges, its pages in the engine's sandbox")
    web.index = SHOWN_PAGE
    web.pages[(DEVICE, "/shown.png")] = PNG
    k = Kiosk(tv, ts)
    try:
        t0 = time.monotonic()
        p = k.start()
        check(k.wait_log("Main window shown", 30), "kiosk started", k)
        frames = Frames(k, period=0.5)
        check(shown_page(k, web, t0), "the device's page runs", k)
        status = proc_status(p.pid)
        check(status["Uid"].split() == [str(KIOSK_UID)] * 4 and
              int(status["CapEff"].strip(), 16) == 0,
              "the kiosk runs as uid %d without capabilities (CapEff %s)"
              % (KIOSK_UID, status["CapEff"].strip()), k)
        check(status["NoNewPrivs"].strip() == "1", "the kiosk cannot gain privileges (NoNewPrivs %s)"
              % status["NoNewPrivs"].strip(), k)
        if ENGINE == "webengine":
            found = renderers(p.pid)
            check(bool(found), "a render process runs (%s)" % found, k)
            for r in found:
                st = proc_status(r)
                check(st["Seccomp"].strip() == "2",
                      "render process %d runs under a seccomp filter (Seccomp %s)"
                      % (r, st["Seccomp"].strip()), k)
                if not user_namespaces_here(tv):
                    # The kernel gives the kiosk's user no user namespace
                    # here (a chroot build container): the sandbox has its
                    # seccomp filter only.
                    print("  skip render process %d's namespaces: the kernel gives the kiosk's "
                          "user no user namespace here (unshare --user fails)" % r)
                    continue
                check(ns(r, "user") != ns(p.pid, "user") and ns(r, "pid") != ns(p.pid, "pid"),
                      "render process %d has user and pid namespaces of its own (%s %s, kiosk %s %s)"
                      % (r, ns(r, "user"), ns(r, "pid"), ns(p.pid, "user"), ns(p.pid, "pid")), k)
            check(k.run_log().count("The web engine's sandbox is on") == 1 and
                  "sandbox is turned off" not in k.run_log(),
                  "one line says the sandbox is on, none that it is off", k)
        else:
            check("sandbox" not in k.run_log(), "QtWebKit has no sandbox: no line speaks of one", k)
        frames.stop()
        check(k.stop(signal.SIGTERM) == 0, "the kiosk stops cleanly", k)
    finally:
        k.close()
    if ENGINE != "webengine":
        return

    # A kernel that offers no user namespaces (a fake of its file): the
    # sandbox is turned off, one line says why, and pages are still shown.
    k = Kiosk(tv, ts)
    try:
        fake = os.path.join(k.root, "proc")
        os.unlink(fake)
        os.makedirs(os.path.join(fake, "sys/user"))
        os.makedirs(os.path.join(fake, "sys/kernel/seccomp"))
        with open(os.path.join(fake, "sys/user/max_user_namespaces"), "w") as f:
            f.write("0\n")
        shutil.copyfile("/proc/sys/kernel/seccomp/actions_avail",
                        os.path.join(fake, "sys/kernel/seccomp/actions_avail"))
        Kiosk.give_to_kiosk(fake)
        t0 = time.monotonic()
        p = k.start()
        check(k.wait_log("Main window shown", 30), "kiosk started", k)
        frames = Frames(k, period=0.5)
        check(shown_page(k, web, t0), "the device's page runs without the sandbox", k)
        lines = [l for l in k.run_log().splitlines() if "sandbox" in l and "tessal.web" in l]
        check(len(lines) == 1 and lines[0].endswith(
            "The web engine's sandbox is turned off: user namespaces are turned off "
            "(/proc/sys/user/max_user_namespaces is 0)"), "one line names what is missing (%s)"
            % lines, k)
        found = renderers(p.pid)
        check(bool(found) and all(proc_status(r)["Seccomp"].strip() == "0" and
                                  ns(r, "user") == ns(p.pid, "user") for r in found),
              "the render process runs unsandboxed (%s)" % found, k)
        frames.stop()
        check(k.stop(signal.SIGTERM) == 0, "the kiosk stops cleanly", k)
    finally:
        k.close()


ENGINE = os.environ.get("TESSAL_WEB_ENGINE", "webkit")

GROUPS = {
    "busy": group_busy_loop_engine if ENGINE == "webengine" else group_busy_loop,
    "dialogs": group_dialogs,
    "trickle": group_trickle,
    "foreign": group_foreign_host,
    "challenge": group_challenge,
    "redirect": group_redirect,
    "origin": group_origin,
    "https": group_https,
    "pinneddownload": group_pinned_download,
    "storage": group_storage,
    "sandbox": group_sandbox,
}
if ENGINE == "webengine":
    GROUPS["renderkill"] = group_render_killed


def main():
    global KIOSK_UID
    ensure_private_netns()
    tv, ts = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    KIOSK_UID = unused_id()
    # The kiosk's user reaches the build and the source tree even below a
    # directory closed to others (a checkout below /root): as-user.sh.
    for needed in (tv, os.path.join(SOURCE_DIR, "deploy/etc/modbus.map")):
        if subprocess.run([AS_USER, "%d" % KIOSK_UID, os.path.dirname(tv), SOURCE_DIR, "--",
                           "test", "-r", needed]).returncode != 0:
            print("FAIL the kiosk's user (uid %d) cannot read %s" % (KIOSK_UID, needed))
            sys.exit(1)
    names = sys.argv[3:] or list(GROUPS)
    web = Web()
    web.start()
    try:
        for name in names:
            web.index = GOOD_PAGE
            web.pages.clear()
            GROUPS[name](tv, ts, web)
    finally:
        web.stop()
    print("%d failed" % len(failures))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
