#!/usr/bin/env python3
"""The web engines on the demo's device page, in one run.

For QtWebKit, for QtWebEngine 5 (as built, and with each small-device option
of the engine) and, given --qt6, for QtWebEngine 6 (as built and in the
engine's low-end device mode) this starts the whole kiosk under Xvfb in a
private network namespace, attaches it to the demo device
(demo/device_server.py serving demo/www, its page reloading itself every
10 s) and prints:

  - start to the device's page shown (process start to the end of its load);
  - total PSS and summed RSS of the kiosk's process tree, and the process
    count, once the page is shown and again after MINUTES of reloads;
  - for each QtWebEngine, the Qt and Chromium versions it carries, and with
    --qt6 where the PSS sits: per kind of process (the kiosk itself, zygote,
    renderer, GPU, each utility), split into anonymous, file-backed and shared
    memory, what files its resident pages hold, and the command line and
    threads of each process.

Every figure is taken with one kiosk alone (two kiosks side by side would
share Qt's libraries and each show less PSS than it has). The starts take
turns, one of each variant per round (A, B, C, A, B, C, ...), so that other
work on a shared machine weighs on all of them alike; medians are shown. A
PSS taken while another program on the same Qt ran is marked and, where
there are others, left out of the median: such a program takes its share of
the library pages both map, and the kiosk's PSS reads that much lower while
it runs. Beside the kernel's PSS each figure has the tree's PSS "alone": its
pages (found by frame in /proc/PID/pagemap) split only among its own
processes, what the kiosk would count with no other program mapping the
same files; it does not move with what else runs, and it is the figure the
QtWebEngine 6 / 5 PSS target is judged by. The long part runs the engines as
built one after the other, so the whole run takes about MINUTES times the
number of engines plus a few minutes. Targets on this kind of machine:
QtWebEngine's PSS and start at most twice QtWebKit's; QtWebEngine 6's PSS and
start at most 1.2 times QtWebEngine 5's.

    bench/kiosk_engines.py --webengine build --webkit build-webkit [--qt6 build-qt6]
                           [--minutes 10] [--runs 3] [--shots DIR]

tupsend is taken from the first of the build directories that has it. Needs
root (the namespace gives the device port 80) and Xvfb. Exits 1 when a figure
could not be taken (a start that never showed the device's page, a kiosk
that ended during the long part).

bench/kiosk_privilege.py starts the kiosk with the helpers below.
"""
import argparse
import array
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
# With --qt6: QtWebEngine 6, as built and in the engine's low-end device mode.
QT6_VARIANTS = [
    ("QtWebEngine 6", "qt6", ""),
    ("QtWebEngine 6 low-end", "qt6", "--enable-low-end-device-mode"),
]
# The variants that also run for MINUTES.
LONG = ("QtWebKit", "QtWebEngine", "QtWebEngine 6")
# QtWebEngine 6 against QtWebEngine 5: PSS and start at most this.
QT6_TARGET = 1.2
# In a line of /proc/PID/maps of a program that shares Qt's pages with the kiosk.
QT_LIBRARIES = {"webkit": "/libQt5", "webengine": "/libQt5", "qt6": "/libQt6"}
# Of /proc/PID/smaps_rollup, in the order of a breakdown's row.
ROLLUP_FIELDS = ("Pss", "Pss_Anon", "Pss_File", "Pss_Shmem", "Rss")
# A mapping of /proc/PID/smaps: start, end and resident kB.
VMA_RSS = re.compile(r"^([0-9a-f]+)-([0-9a-f]+) .*\n(?:(?![0-9a-f]+-).*\n)*?Rss:\s+(\d+)", re.M)
PAGE_KB = os.sysconf("SC_PAGE_SIZE") // 1024
PFN_MASK = (1 << 55) - 1


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


def others_holding(pids, library):
    """How many processes outside `pids` map a file whose path has `library`
    in it. On a shared machine another Qt program takes its share of the
    pages of Qt's libraries that both use (of QtWebEngine's, when it is on
    the engine too), and the kiosk's PSS reads that much lower."""
    n = 0
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) in pids:
            continue
        try:
            with open("/proc/%s/maps" % entry) as f:
                if library in f.read():
                    n += 1
        except OSError:
            continue
    return n


def thread_names(pid):
    """The distinct names of the threads of a process."""
    names = set()
    try:
        for t in os.listdir("/proc/%d/task" % pid):
            with open("/proc/%d/task/%s/comm" % (pid, t)) as f:
                names.add(f.read().strip())
    except OSError:
        pass
    return sorted(names)


def command_line(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return f.read().decode(errors="replace").rstrip("\0").split("\0")
    except OSError:
        return None


def process_kind(pid):
    """(kind, command line) of a process of the kiosk's tree: the kind is
    "kiosk" for the kiosk itself (the engine's browser process, which runs
    the GPU and network service as threads in QtWebEngine), else the engine's
    --type, a utility's with the last part of its sub-type. A zygote's child
    keeps the zygote's command line: it is a renderer when it runs a
    renderer's compositor thread."""
    args = command_line(pid)
    if args is None:
        return None, []
    kind, sub = "kiosk", ""
    for a in args[1:]:
        if a.startswith("--type="):
            kind = a[len("--type="):]
        elif a.startswith("--utility-sub-type="):
            sub = a[len("--utility-sub-type="):]
    if sub:
        kind += " " + sub.rsplit(".", 1)[-1]
    if kind == "zygote":
        try:
            with open("/proc/%d/stat" % pid) as f:
                ppid = int(f.read().rsplit(")", 1)[1].split()[1])
        except OSError:
            ppid = 0
        if "--type=zygote" in (command_line(ppid) or []):
            kind = "renderer" if "Compositor" in thread_names(pid) else "zygote's child"
        elif "--no-zygote-sandbox" in args:
            kind = "zygote, unsandboxed"
    return kind, args


def mapped_pages(pid):
    """[(path, [frame numbers])]: for each mapping of `pid` with resident
    pages, the file it maps ("" for none) and the physical frames of its
    present pages (bit 63 of /proc/PID/pagemap, frame in bits 0-54). Empty
    when the process is gone or its pagemap cannot be read."""
    try:
        with open("/proc/%d/smaps" % pid) as f:
            text = f.read()
        pagemap = open("/proc/%d/pagemap" % pid, "rb")
    except OSError:
        return []
    found = []
    with pagemap:
        for m in VMA_RSS.finditer(text):
            if m.group(3) == "0":
                continue
            fields = text[m.start():text.index("\n", m.start())].split(None, 5)
            first = int(m.group(1), 16) // (PAGE_KB * 1024)
            end = int(m.group(2), 16) // (PAGE_KB * 1024)
            pagemap.seek(first * 8)
            entries = array.array("Q")
            try:
                entries.frombytes(pagemap.read((end - first) * 8))
            except (OSError, ValueError):
                continue
            found.append((fields[5].strip() if len(fields) > 5 else "",
                          [e & PFN_MASK for e in entries if e >> 63]))
    return found


def alone_pss(pids):
    """{pid: kB}: each process's PSS as if only the processes in `pids`
    mapped its pages, counted from the physical pages each maps
    (/proc/PID/pagemap, root only). The kernel's PSS also splits a page with
    any other program that maps it: on a shared machine another program on
    the same Qt takes a share of the kiosk's library pages, and the kiosk's
    PSS reads low by that much, as long as that program runs."""
    counts, pages = {}, {}
    for p in pids:
        got = []
        for _, frames in mapped_pages(p):
            got.extend(frames)
        pages[p] = got
        for pfn in got:
            counts[pfn] = counts.get(pfn, 0) + 1
    return {p: sum(PAGE_KB / counts[pfn] for pfn in got) for p, got in pages.items()}


def resident_by_file(pids):
    """{file: kB} of the pages the processes in `pids` have resident, each
    physical page counted once, by the base name of the file mapped (a
    library's relocated data with it); "[anonymous]" for heap, stacks and
    unnamed mappings, "[shared memory]" for memfd, /dev/shm and SysV."""
    files = {}
    for p in pids:
        for path, frames in mapped_pages(p):
            if path.startswith(("/memfd:", "/dev/shm/", "/SYSV")):
                name = "[shared memory]"
            elif not path or path in ("[heap]", "[stack]") or path.startswith("[anon"):
                name = "[anonymous]"
            else:
                name = os.path.basename(path.replace(" (deleted)", ""))
            files.setdefault(name, set()).update(frames)
    return {name: len(frames) * PAGE_KB for name, frames in files.items()}


def print_files(old, new, count=16):
    """Prints the files with most resident pages in two trees, QtWebEngine 5
    (`old`) and 6 (`new`), a library of each Qt on one row."""
    def qtless(name):
        return re.sub(r"^libQt[56]", "libQt?", re.sub(r"\.so[\d.]*$", ".so", name))
    rows = {}
    for i, files in enumerate((old, new)):
        for name, kb in files.items():
            rows.setdefault(qtless(name), [0, 0])[i] += kb
    print("  %-34s %9s %9s %9s" % ("file (each page once)", "5 MB", "6 MB", "6 - 5"))
    for name, (a, b) in sorted(rows.items(), key=lambda r: -max(r[1]))[:count]:
        print("  %-34s %9.1f %9.1f %+9.1f" % (name[:34], a / 1024.0, b / 1024.0, (b - a) / 1024.0))
    a, b = sum(r[0] for r in rows.values()), sum(r[1] for r in rows.values())
    print("  %-34s %9.1f %9.1f %+9.1f" % ("all files and memory", a / 1024.0, b / 1024.0,
                                         (b - a) / 1024.0))


def breakdown(pid):
    """The kiosk's process tree by kind of process: {kind: [processes, PSS,
    of it anonymous, file-backed and shared memory, RSS, PSS alone]}, in kB
    (see alone_pss)."""
    kinds = {}
    pids = tree(pid)
    alone = alone_pss(pids)
    for p in pids:
        try:
            with open("/proc/%d/smaps_rollup" % p) as f:
                text = f.read()
        except OSError:
            continue
        kind, _ = process_kind(p)
        if kind is None:
            continue
        row = kinds.setdefault(kind, [0] * 7)
        row[0] += 1
        for i, field in enumerate(ROLLUP_FIELDS):
            m = re.search(r"^%s:\s+(\d+)" % field, text, re.M)
            row[i + 1] += int(m.group(1)) if m else 0
        row[6] += int(alone.get(p, 0))
    return kinds


def totals(kinds):
    """(PSS kB, RSS kB, processes, PSS alone kB) of a breakdown."""
    return (sum(r[1] for r in kinds.values()), sum(r[5] for r in kinds.values()),
            sum(r[0] for r in kinds.values()), sum(r[6] for r in kinds.values()))


def engine_versions(binary):
    """'Qt library version, Chromium version' of the QtWebEngine a kiosk
    binary is linked with, or None for one without QtWebEngine."""
    out = subprocess.run(["ldd", binary], capture_output=True, text=True).stdout
    m = re.search(r"=> (\S*libQt\dWebEngineCore\.so\S*)", out)
    if not m:
        return None
    real = os.path.realpath(m.group(1))
    qt = re.search(r"\.so\.([\d.]+)$", real)
    # Chromium's own version string, the one its user agent is built from.
    with open(real, "rb") as f:
        found = sorted({v.decode() for v in re.findall(
            rb"(?<![\d.])(\d{2,3}\.0\.\d{4}\.\d{1,3})(?![\d.])", f.read())})
    # QtWebEngine 6 names two: Chromium's, then that of the Chromium release
    # whose security fixes it carries.
    found.sort(key=lambda v: [int(x) for x in v.split(".")])
    return "%s %s, Chromium %s%s" % (
        os.path.basename(real).split(".so")[0], qt.group(1) if qt else "?",
        found[0] if found else "not found",
        " (security fixes to %s)" % found[-1] if len(found) > 1 else "")


def command_lines(pid):
    """The command line of each process of the kiosk's tree, one a line,
    by kind; very long arguments are cut."""
    lines = []
    for p in sorted(tree(pid)):
        kind, args = process_kind(p)
        if kind is None:
            continue
        shown = [os.path.basename(args[0])] + [a if len(a) <= 160 else a[:160] + "..."
                                               for a in args[1:]]
        lines.append("    %-22s %s" % (kind, " ".join(shown)))
        lines.append("    %-22s threads: %s" % ("", ", ".join(thread_names(p))))
    return lines


def print_breakdowns(labelled):
    """Prints the breakdowns in `labelled` ((label, kinds) pairs) side by
    side, one row per kind of process."""
    order = []
    for _, kinds in labelled:
        for kind in sorted(kinds, key=lambda k: (k != "kiosk", k)):
            if kind not in order:
                order.append(kind)
    print("  %-20s" % "process" + "".join(" | %-34s" % label for label, _ in labelled))
    print("  %-20s" % "" + " | n   PSS alone  anon  file shmem" * len(labelled))
    for kind in order + ["total"]:
        cells = []
        for _, kinds in labelled:
            if kind == "total":
                r = [sum(x[i] for x in kinds.values()) for i in range(7)]
            else:
                r = kinds.get(kind)
            cells.append(" | %-34s" % ("" if r is None else "%d %5.0f %5.0f %5.0f %5.0f %5.0f" % (
                r[0], r[1] / 1024.0, r[6] / 1024.0, r[2] / 1024.0, r[3] / 1024.0,
                r[4] / 1024.0)))
        print("  %-20s" % kind + "".join(cells))


def ratio_line(label, new, old, target):
    ratio = new / old
    return "%s %.2fx (%s %.1fx)" % (label, ratio, "within" if ratio <= target else "OVER", target)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--webengine", required=True, help="build directory with QtWebEngine 5")
    parser.add_argument("--webkit", required=True, help="build directory with QtWebKit")
    parser.add_argument("--qt6", help="build directory with QtWebEngine 6 (TESSAL_QT=6)")
    parser.add_argument("--minutes", type=float, default=10.0)
    parser.add_argument("--runs", type=int, default=3, help="starts per variant, median shown")
    parser.add_argument("--shots", help="directory for a picture of each engine's device page")
    args = parser.parse_args()
    if not private_network():
        return 77
    builds = {"webkit": args.webkit, "webengine": args.webengine, "qt6": args.qt6}
    variants = VARIANTS + (QT6_VARIANTS if args.qt6 else [])
    binaries = {}
    for name, engine, _ in variants:
        binaries[engine] = os.path.join(builds[engine], "src/tessalview/tessalview")
        if not os.access(binaries[engine], os.X_OK):
            print("no kiosk at %s" % binaries[engine])
            return 1
    tupsend = next((t for t in (os.path.join(b, "src/tupsend/tupsend")
                                for b in (args.webengine, args.webkit, args.qt6) if b)
                    if os.access(t, os.X_OK)), None)
    if not tupsend:
        print("no tupsend in any of the build directories"
              " (cmake --build DIR --target tupsend)")
        return 1
    print("Engines:")
    for engine in ("webkit", "webengine", "qt6"):
        if engine in binaries:
            print("  %-10s %s: %s" % (engine, binaries[engine],
                                      engine_versions(binaries[engine]) or "QtWebKit"))
    work = tempfile.mkdtemp(prefix="kiosk-engines-")
    helpers = []
    missing = []  # figures that could not be taken: the run fails
    # Per variant, per start: (start s, breakdown, other processes on its Qt)
    results = {name: [] for name, _, _ in variants}
    try:
        helpers.append(demo_device(work))
        port = 9900
        # The variants take turns, one start each per round, so that what
        # else runs on the machine weighs on all of them alike.
        for run in range(args.runs):
            for name, engine, flags in variants:
                proc, display = xvfb(work, port)
                k = Kiosk(name, binaries[engine], flags, port, work, display)
                port += 1
                k.start()
                attach(k, tupsend)
                shown = k.shown_after() if k.wait("[PAGE] Page 'http://127.0.0.1/", 60) else None
                if shown is None:
                    print("  %s, start %d: the device page was not shown; its log ends:\n%s"
                          % (name, run + 1, "\n".join(k.log().splitlines()[-10:])))
                else:
                    time.sleep(2)
                    kinds = breakdown(k.proc.pid)
                    others = others_holding(set(tree(k.proc.pid)), QT_LIBRARIES[engine])
                    results[name].append((shown, kinds, others))
                    if args.shots and run == 0:
                        os.makedirs(args.shots, exist_ok=True)
                        subprocess.run(["/usr/bin/import", "-display", display, "-window", "root",
                                        os.path.join(args.shots, "device-page-%s.png"
                                                     % name.replace(" ", "-"))],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                k.stop()
                proc.terminate()
                proc.wait()

        starts, mem = {}, {}
        print("\nStart to the device's page shown, median of %d starts (each alone, the"
              " variants in turn):" % args.runs)
        for name, _, _ in variants:
            rows = results[name]
            if len(rows) < args.runs:
                missing.append("%s: the device page was shown in %d of %d starts"
                               % (name, len(rows), args.runs))
            if not rows:
                print("  %-28s never shown" % name)
                continue
            starts[name] = statistics.median(r[0] for r in rows)
            print("  %-28s %.3f s  (%s)" % (name, starts[name],
                                            " ".join("%.3f" % r[0] for r in rows)))

        print("\nMemory of the kiosk's process tree 2 s after the page was shown (medians;"
              " alone: PSS\nas if no program outside the tree mapped its pages):")
        print("  %-28s %8s %8s %8s %5s   %s" % ("variant", "PSS kB", "alone kB", "RSS kB", "procs",
                                             "PSS each | alone each"))
        marked = False
        for name, _, _ in variants:
            rows = results[name]
            if not rows:
                continue
            figures = [totals(r[1]) for r in rows]
            # A PSS taken while another program held the same Qt reads low;
            # the median is of the others when there are some.
            clean = [f[0] for f, r in zip(figures, rows) if not r[2]]
            mem[name] = (statistics.median(clean or [f[0] for f in figures]),
                         statistics.median(f[1] for f in figures),
                         statistics.median(f[2] for f in figures),
                         statistics.median(f[3] for f in figures))
            marked = marked or any(r[2] for r in rows)
            print("  %-28s %8d %8d %8d %5d   %s | %s" % (
                name, mem[name][0], mem[name][3], mem[name][1], mem[name][2],
                " ".join("%d%s" % (f[0], "*" if r[2] else "") for f, r in zip(figures, rows)),
                " ".join("%d" % f[3] for f in figures)))
        if marked:
            print("  * taken while another program using the same Qt ran on this machine: it\n"
                  "    takes its share of the library pages both map, and PSS reads low; the\n"
                  "    PSS median leaves these out where the variant has other figures (the\n"
                  "    alone figures do not depend on other programs)")

        if "QtWebKit" in mem and "QtWebKit" in starts:
            print("\nQtWebEngine against QtWebKit (targets: PSS <= 2x, start <= 2x):")
            for name, engine, _ in variants[1:]:
                if name in mem and name in starts:
                    print("  %-28s PSS %.2fx (alone %.2fx), start %.2fx" % (
                        name, mem[name][0] / mem["QtWebKit"][0],
                        mem[name][3] / mem["QtWebKit"][3], starts[name] / starts["QtWebKit"]))
        if args.qt6:
            print("\nQtWebEngine 6 against QtWebEngine 5 (targets: PSS <= %.1fx, start <= %.1fx;"
                  " PSS judged alone):" % (QT6_TARGET, QT6_TARGET))
            for new, old in (("QtWebEngine 6", "QtWebEngine"),
                             ("QtWebEngine 6 low-end", "QtWebEngine low-end")):
                if new in mem and old in mem and new in starts and old in starts:
                    print("  %-21s %s, %s, PSS %.2fx, RSS %.2fx" % (
                        new.replace("QtWebEngine ", "") + " / " + old.replace("QtWebEngine", "5"),
                        ratio_line("PSS alone", mem[new][3], mem[old][3], QT6_TARGET),
                        ratio_line("start", starts[new], starts[old], QT6_TARGET),
                        mem[new][0] / mem[old][0], mem[new][1] / mem[old][1]))
            # Where the PSS sits: the start with the median PSS of each.
            labelled = []
            for name in ("QtWebEngine", "QtWebEngine 6"):
                rows = results.get(name)
                if rows:
                    rows = sorted(rows, key=lambda r: totals(r[1])[3])
                    labelled.append((name, rows[len(rows) // 2][1]))
            if labelled:
                print("\nWhere the PSS sits 2 s after the page was shown (the start with the"
                      " median PSS),\nby process, in MB (anon + file + shmem = PSS):")
                print_breakdowns(labelled)

        # The long run: the engines as built, one after the other, each
        # alone. Side by side each would take a share of the other's Qt
        # libraries into its PSS (QtWebKit's went from 102 to 75 MB so).
        rows = []
        files = {}
        for name, engine, flags in [v for v in variants if v[0] in LONG]:
            proc, display = xvfb(work, port)
            helpers.append(proc)
            k = Kiosk(name, binaries[engine], flags, port, work, display)
            port += 1
            k.start()
            attach(k, tupsend)
            shown = k.wait("[PAGE] Page 'http://127.0.0.1/", 60)
            time.sleep(2)
            first = breakdown(k.proc.pid)
            first_others = others_holding(set(tree(k.proc.pid)), QT_LIBRARIES[engine])
            if engine != "webkit":
                print("\nThe processes of %s once the page was shown, before the long part:"
                      % name)
                print("\n".join(command_lines(k.proc.pid)), flush=True)
            end = time.time() + args.minutes * 60
            while time.time() < end and k.proc.poll() is None:
                time.sleep(5)
            # Another program on the same Qt takes a share of the kiosk's
            # pages while it runs: a while more (at most a minute) for a moment
            # without.
            others = 0
            for _ in range(int(min(60, args.minutes * 60) / 2)):
                if k.proc.poll() is not None:
                    break
                others = others_holding(set(tree(k.proc.pid)), QT_LIBRARIES[engine])
                if not others:
                    break
                time.sleep(2)
            alive = k.proc.poll() is None
            last = breakdown(k.proc.pid) if alive else {}
            if alive and engine != "webkit":
                files[name] = resident_by_file(tree(k.proc.pid))
            rows.append((name, first, last, k.loads(), alive, others, first_others))
            if not alive or not shown:
                missing.append("%s: no figures from the long part (the kiosk %s)"
                               % (name, "exited" if not alive else "showed no page"))
            k.stop()
            proc.terminate()
            proc.wait()
        ends = [(r[0], r[2]) for r in rows if r[0] != "QtWebKit" and r[4]]
        if args.qt6 and ends:
            print("\nWhere the PSS sits after the long part, by process, in MB (anon + file +"
                  " shmem = PSS):")
            print_breakdowns(ends)
            if "QtWebEngine" in files and "QtWebEngine 6" in files:
                print("\nWhat the pages of each QtWebEngine tree hold after the long part:")
                print_files(files["QtWebEngine"], files["QtWebEngine 6"])
        print("\nAfter %.1f min of the page reloading itself every 10 s (each alone):"
              % args.minutes)
        print("  %-22s %8s %8s %8s %5s | %8s %8s %8s %5s %5s" % (
            "variant", "PSS kB", "alone kB", "RSS kB", "procs", "PSS kB", "alone kB", "RSS kB",
            "procs", "loads"))
        print("  %-22s %32s | %s" % ("", "(page shown)", "(at the end)"))
        end_of = {}
        for name, first, last, loads, alive, others, first_others in rows:
            end_of[name] = totals(last) if alive else None
            f, l = totals(first), end_of[name] or (0, 0, 0, 0)
            print("  %-22s %7d%s %8d %8d %5d | %7d%s %8d %8d %5d %5d%s" % (
                name, f[0], "*" if first_others else " ", f[3], f[1], f[2], l[0],
                "*" if alive and others else " ", l[3], l[1], l[2], loads,
                "  (exited)" if not alive else ""))
        if any(r[6] or (r[4] and r[5]) for r in rows):
            print("  * taken while another program using the same Qt ran on this machine: PSS"
                  " reads low\n    (not so the alone figures)")
        if end_of.get("QtWebKit") and end_of.get("QtWebEngine"):
            print("  QtWebEngine against QtWebKit at the end: PSS %.2fx (alone %.2fx), RSS %.2fx"
                  " (target: PSS <= 2x)" % (end_of["QtWebEngine"][0] / end_of["QtWebKit"][0],
                                            end_of["QtWebEngine"][3] / end_of["QtWebKit"][3],
                                            end_of["QtWebEngine"][1] / end_of["QtWebKit"][1]))
        if end_of.get("QtWebEngine 6") and end_of.get("QtWebEngine"):
            new, old = end_of["QtWebEngine 6"], end_of["QtWebEngine"]
            print("  QtWebEngine 6 against QtWebEngine 5 at the end: %s, PSS %.2fx, RSS %.2fx" % (
                ratio_line("PSS alone", new[3], old[3], QT6_TARGET), new[0] / old[0],
                new[1] / old[1]))
    finally:
        for h in helpers:
            h.terminate()
        shutil.rmtree(work, ignore_errors=True)
    for line in missing:
        print("FAILED: " + line)
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
