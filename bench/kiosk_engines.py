#!/usr/bin/env python3
"""Both web engines on the demo's device page, in one run.

For QtWebKit and for QtWebEngine (as built, and with each small-device option
of the engine) this starts the whole kiosk under Xvfb in a private network
namespace, attaches it to the demo device (demo/device_server.py serving
demo/www, its page reloading itself every 10 s) and prints:

  - start to the device's page shown (process start to the end of its load);
  - total PSS and summed RSS of the kiosk's process tree, and the process
    count, once the page is shown and again after MINUTES of reloads.

Every figure is taken with one kiosk alone (two kiosks side by side would
share Qt's libraries and each show less PSS than it has); the long part runs
the two engines one after the other, so the whole run takes about twice
MINUTES plus a minute. Targets on this kind of machine: QtWebEngine's PSS
at most twice QtWebKit's, and its start at most twice QtWebKit's.

    bench/kiosk_engines.py --webengine build --webkit build-webkit [--minutes 10]
                           [--runs 3] [--shots DIR]

Needs root (the namespace gives the device port 80) and Xvfb. Exits 1 when
a figure could not be taken (a start that never showed the device's page, a
kiosk that ended during the long part).

bench/kiosk_privilege.py starts the kiosk with the helpers below.
"""
import argparse
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)

# name, engine, extra Chromium flags
VARIANTS = [
    ("QtWebKit", "webkit", ""),
    ("QtWebEngine", "webengine", ""),
    ("QtWebEngine low-end", "webengine", "--enable-low-end-device-mode"),
    ("QtWebEngine single process", "webengine", "--single-process"),
    ("QtWebEngine V8 heap 32 MB", "webengine", "--js-flags=--max-old-space-size=32"),
]


def tree(pid):
    """The pids of `pid` and all its descendants."""
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                ppid = int(f.read().rsplit(")", 1)[1].split()[1])
        except OSError:
            continue
        children.setdefault(ppid, []).append(int(entry))
    found, todo = [], [pid]
    while todo:
        p = todo.pop()
        found.append(p)
        todo.extend(children.get(p, []))
    return found


def memory(pid):
    """(PSS kB, RSS kB, processes) of the process tree under `pid`."""
    pss = rss = n = 0
    for p in tree(pid):
        try:
            with open("/proc/%d/smaps_rollup" % p) as f:
                text = f.read()
        except OSError:
            continue
        pss += int(re.search(r"^Pss:\s+(\d+)", text, re.M).group(1))
        rss += int(re.search(r"^Rss:\s+(\d+)", text, re.M).group(1))
        n += 1
    return pss, rss, n


class Kiosk:
    def __init__(self, name, binary, flags, port, work, display):
        self.name, self.binary, self.flags, self.port = name, binary, flags, port
        self.root = os.path.join(work, "root-%d" % port)
        for d in ("usr/local/etc", "sys/class/graphics/fb0", "xdg",
                  "sys/devices/platform/pwm-backlight.0/backlight/pwm-backlight.0"):
            os.makedirs(os.path.join(self.root, d), exist_ok=True)
        os.chmod(os.path.join(self.root, "xdg"), 0o700)
        # Whether the engine's sandbox can run is the kernel's own answer.
        os.symlink("/proc", os.path.join(self.root, "proc"))
        with open(os.path.join(self.root, "usr/local/etc/tessal-view.ini"), "w") as f:
            f.write("[WebCache]\nPath=%s/cache\n[Files]\nScriptDir=%s/bin\nTmpCfgDir=%s/etc\n"
                    "[ModbusServer]\nModbusMap=%s/none.map\n[Network]\nUdpBindAddress=127.0.0.1\n"
                    "UdpPort=%d\nUdpTimeout=3600\n[UI]\nScreenSaverInterval=3600000\n"
                    % (self.root, self.root, self.root, self.root, port))
        self.log_path = os.path.join(self.root, "kiosk.log")
        self.display = display

    def start(self, prefix=(), env=None):
        """Starts the kiosk, through the command `prefix` (one that ends by
        executing the kiosk, so that the process is the kiosk's) with `env`
        added to its environment."""
        full = dict(os.environ, TESSAL_ROOT=self.root, DISPLAY=self.display,
                    XDG_RUNTIME_DIR=os.path.join(self.root, "xdg"))
        full.pop("QT_QPA_PLATFORM", None)
        full.pop("QTWEBENGINE_CHROMIUM_FLAGS", None)
        if self.flags:
            full["QTWEBENGINE_CHROMIUM_FLAGS"] = self.flags
        full.update(env or {})
        self.t0 = time.time()
        self.proc = subprocess.Popen(list(prefix) + [self.binary, "-v"], env=full,
                                     stdout=open(self.log_path, "w"), stderr=subprocess.STDOUT)

    def log(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def wait(self, text, timeout):
        end = time.time() + timeout
        while time.time() < end:
            if text in self.log():
                return True
            if self.proc.poll() is not None:
                return False
            time.sleep(0.02)
        return False

    def shown_after(self):
        """Seconds from process start to the first device page loaded."""
        # An event line: "<category>: yyyy-MM-dd hh:mm:ss.zzz - text".
        m = re.search(r"^(?:[\w.]+: )?(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}) - "
                      r"\[PAGE\] Page 'http://127\.0\.0\.1/", self.log(), re.M)
        if not m:
            return None
        shown = time.mktime(time.strptime(m.group(1)[:19], "%Y-%m-%d %H:%M:%S")) + \
            int(m.group(1)[20:]) / 1000.0
        return shown - self.t0

    def loads(self):
        return len(re.findall(r"\[PAGE\] Page 'http://127\.0\.0\.1/", self.log()))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def private_network():
    """Runs this script again, as root, in a network namespace of its own
    (the demo device there takes port 80 on a loopback no one else sees) and
    brings that loopback up. False, having said why, when not root; when
    root it returns only in the namespace."""
    if os.environ.get("KIOSK_BENCH_NETNS") != "1":
        if os.geteuid() != 0:
            print("needs root (private network namespace, port 80)")
            return False
        os.execvpe("unshare", ["unshare", "--net", sys.executable, os.path.abspath(sys.argv[0])] +
                   sys.argv[1:], dict(os.environ, KIOSK_BENCH_NETNS="1"))
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    return True


def demo_device(work):
    """Starts the demo device on 127.0.0.1:80, serving a copy of demo/www
    under `work` whose page reloads itself every 10 s, as a live-value page
    does. Returns its process."""
    www = os.path.join(work, "www")
    shutil.copytree(os.path.join(SOURCE, "demo/www"), www)
    with open(os.path.join(www, "index.html")) as f:
        page = f.read()
    page = page.replace("<head>", '<head>\n<meta http-equiv="refresh" content="10">', 1)
    with open(os.path.join(www, "index.html"), "w") as f:
        f.write(page)
    proc = subprocess.Popen(
        ["/usr/bin/python3", os.path.join(SOURCE, "demo/device_server.py"), "--bind",
         "127.0.0.1", "--port", "80", "--www", www, "--uploads", os.path.join(work, "up")],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(1)
    return proc


def attach(k, tupsend):
    """Sends the kiosk `k` the frame that names the demo device, once its
    window is shown."""
    k.wait("Main window shown", 30)
    subprocess.run([tupsend, "-H", "127.0.0.1", "-p", str(k.port), "--devinfo",
                    "1,1,0,2,0,1,1,en"], stdout=subprocess.DEVNULL, check=True)


def xvfb(work, n):
    path = os.path.join(work, "display-%d" % n)
    fd = os.open(path, os.O_WRONLY | os.O_CREAT)
    proc = subprocess.Popen(["Xvfb", "-displayfd", str(fd), "-screen", "0", "800x480x24",
                             "-nolisten", "tcp"], pass_fds=(fd,), stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    os.close(fd)
    for _ in range(100):
        if os.path.getsize(path) > 0:
            break
        time.sleep(0.1)
    with open(path) as f:
        return proc, ":" + f.read().split()[0]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--webengine", required=True, help="build directory with QtWebEngine")
    parser.add_argument("--webkit", required=True, help="build directory with QtWebKit")
    parser.add_argument("--minutes", type=float, default=10.0)
    parser.add_argument("--runs", type=int, default=3, help="starts per variant, median shown")
    parser.add_argument("--shots", help="directory for a picture of each engine's device page")
    args = parser.parse_args()
    if not private_network():
        return 77
    work = tempfile.mkdtemp(prefix="kiosk-engines-")
    helpers = []
    missing = []  # figures that could not be taken: the run fails
    try:
        helpers.append(demo_device(work))
        builds = {"webkit": args.webkit, "webengine": args.webengine}
        tupsend = os.path.join(args.webengine, "src/tupsend/tupsend")

        print("Start to the device's page shown, median of %d starts (each alone):" % args.runs)
        starts = {}
        alone = {}
        port = 9900
        for name, engine, flags in VARIANTS:
            binary = os.path.join(builds[engine], "src/tessalview/tessalview")
            times = []
            for _ in range(args.runs):
                proc, display = xvfb(work, port)
                k = Kiosk(name, binary, flags, port, work, display)
                port += 1
                k.start()
                attach(k, tupsend)
                shown = k.shown_after() if k.wait("[PAGE] Page 'http://127.0.0.1/", 60) else None
                if shown is None:
                    print("  %s: the device page was not shown; its log ends:\n%s"
                          % (name, "\n".join(k.log().splitlines()[-10:])))
                else:
                    times.append(shown)
                    time.sleep(2)
                    alone[name] = memory(k.proc.pid)
                    if args.shots:
                        os.makedirs(args.shots, exist_ok=True)
                        subprocess.run(["/usr/bin/import", "-display", display, "-window", "root",
                                        os.path.join(args.shots, "device-page-%s.png"
                                                     % name.replace(" ", "-"))],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                k.stop()
                proc.terminate()
                proc.wait()
            starts[name] = statistics.median(times) if times else None
            if len(times) < args.runs:
                missing.append("%s: the device page was shown in %d of %d starts"
                               % (name, len(times), args.runs))
            print("  %-28s %s  (%s)" % (name, "%.3f s" % starts[name] if times else "never shown",
                                          " ".join("%.3f" % t for t in times)))

        print("\nMemory of the kiosk's process tree 2 s after the page was shown (each alone):")
        print("  %-28s %10s %10s %5s" % ("variant", "PSS kB", "RSS kB", "procs"))
        for name, _, _ in VARIANTS:
            if name in alone:
                print("  %-28s %10d %10d %5d" % ((name,) + alone[name]))
        base = alone.get("QtWebKit", (0,))[0]
        if base and starts.get("QtWebKit"):
            print("\nQtWebEngine against QtWebKit (targets: PSS <= 2x, start <= 2x):")
            for name, engine, _ in VARIANTS[1:]:
                if name in alone and starts.get(name):
                    print("  %-28s PSS %.2fx, start %.2fx" % (
                        name, alone[name][0] / base, starts[name] / starts["QtWebKit"]))

        # The long run: the two engines as built, one after the other, each
        # alone. Side by side each would take a share of the other's Qt
        # libraries into its PSS (QtWebKit's went from 102 to 75 MB so).
        print("\nAfter %.1f min of the page reloading itself every 10 s (each alone):"
              % args.minutes)
        rows = []
        for name, engine, flags in VARIANTS[:2]:
            binary = os.path.join(builds[engine], "src/tessalview/tessalview")
            proc, display = xvfb(work, port)
            helpers.append(proc)
            k = Kiosk(name, binary, flags, port, work, display)
            port += 1
            k.start()
            attach(k, tupsend)
            shown = k.wait("[PAGE] Page 'http://127.0.0.1/", 60)
            time.sleep(2)
            first = memory(k.proc.pid)
            end = time.time() + args.minutes * 60
            while time.time() < end and k.proc.poll() is None:
                time.sleep(5)
            alive = k.proc.poll() is None
            last = memory(k.proc.pid) if alive else (0, 0, 0)
            rows.append((name, first, last, k.loads(), alive))
            if not alive or not shown:
                missing.append("%s: no figures from the long part (the kiosk %s)"
                               % (name, "exited" if not alive else "showed no page"))
            k.stop()
            proc.terminate()
            proc.wait()
        print("  %-28s %10s %10s %5s | %10s %10s %5s %6s" % (
            "variant", "PSS kB", "RSS kB", "procs", "PSS kB", "RSS kB", "procs", "loads"))
        print("  %-28s %28s | %s" % ("", "(page shown)", "(at the end)"))
        for name, first, last, loads, alive in rows:
            print("  %-28s %10d %10d %5d | %10d %10d %5d %6d%s" % (
                (name,) + first + last + (loads, "" if alive else "  (exited)")))
        if len(rows) == 2 and rows[0][2][0] and rows[1][2][0]:
            print("  QtWebEngine against QtWebKit at the end: PSS %.2fx, RSS %.2fx (target: PSS <= 2x)"
                  % (rows[1][2][0] / rows[0][2][0], rows[1][2][1] / rows[0][2][1]))
    finally:
        for h in helpers:
            h.terminate()
        shutil.rmtree(work, ignore_errors=True)
    for line in missing:
        print("FAILED: " + line)
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
