#!/usr/bin/env python3
"""The QtWebEngine kiosk as root against the kiosk as a plain user, in one run.

As root the kiosk turns the engine's sandbox off; as any other user the
sandbox stays on: every render process in user and pid namespaces other than
the kiosk's and under a seccomp filter. This starts the whole kiosk under
Xvfb in a private network namespace against the demo device (as
bench/kiosk_engines.py does, whose helpers it uses) RUNS times each way, the
two ways alternating:

  - root: as the unit starts it today;
  - user: as USER (default nobody) through `setpriv --reuid --regid
    --clear-groups --no-new-privs`, its TESSAL_ROOT tree and XDG_RUNTIME_DIR
    its own;

each with a new, empty HOME. It prints per way the median start to the
device's page shown, the median total PSS and summed RSS of the kiosk's
process tree 2 s after that, and its process count; then user against root.
Target: at most 1.1x in start and in PSS. A start takes about 3 s with its
Xvfb, so --runs 5 takes about half a minute.

    bench/kiosk_privilege.py [--build build] [--runs 5] [--user nobody]

PSS is the kiosk's share of the pages it maps: another Qt program running on
the same machine at the time (a test, another kiosk) takes its share of the
pages of Qt's libraries that both use, QtWebEngine's too when it is on the
engine, and the kiosk's PSS reads lower. Such a figure is marked, and left
out of the PSS medians when each way has unmarked ones.

Every start is checked for the way it claims to be: as root the log says the
sandbox is off and no render process is under a seccomp filter; as the user
the kiosk runs with the user's uids and every render process is in seccomp
filter mode and in user and pid namespaces other than the kiosk's. A start
that fails the check ends the run at once with exit status 1 and no figures.
A start that never showed the device's page makes it exit 1 too, after the
figures of the others. Exits 77, having said why, when not root or when the
user cannot create user and pid namespaces here (the sandbox could not come
up).
"""
import argparse
import os
import pwd
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from kiosk_engines import (SOURCE, Kiosk, attach, demo_device, memory, others_holding,
                           private_network, tree, xvfb)

TARGET = 1.1
SANDBOX_OFF_LINE = "Running as root: the web engine's sandbox is turned off"
PAGE_SHOWN = "[PAGE] Page 'http://127.0.0.1/"
QT_LIBRARIES = "/libQt5"  # in a line of /proc/PID/maps


def status_field(pid, name):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(name + ":"):
                return line.split(":", 1)[1].strip()
    return None


def threads(pid):
    names = set()
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/comm" % (pid, task)) as f:
                names.add(f.read().strip())
        except OSError:
            continue
    return names


def renderers(pid):
    """(pid, seccomp mode, user namespace, pid namespace) of each render
    process under `pid`.

    The engine forks its render processes from its zygote, and in QtWebEngine
    5.15 they keep the zygote's command line (--type=zygote) rather than
    showing --type=renderer; what marks one is the renderer's compositor
    thread, "Compositor", which neither the zygote nor the sandbox's init
    process has."""
    found = []
    for p in tree(pid):
        try:
            with open("/proc/%d/cmdline" % p, "rb") as f:
                argv = f.read().split(b"\0")
            if not argv[0].endswith(b"QtWebEngineProcess"):
                continue
            if b"--type=renderer" not in argv and "Compositor" not in threads(p):
                continue
            found.append((p, status_field(p, "Seccomp"), os.readlink("/proc/%d/ns/user" % p),
                          os.readlink("/proc/%d/ns/pid" % p)))
        except OSError:
            continue
    return found


def check(k, way, uid):
    """What is wrong with the running kiosk `k` for a start the way `way`
    (root or user) as `uid`, or None when it is what it claims to be."""
    pid = k.proc.pid
    kiosk_uids = status_field(pid, "Uid")
    if kiosk_uids is None or set(kiosk_uids.split()) != {str(uid)}:
        return "the kiosk runs with uids %s, not %d" % (kiosk_uids, uid)
    found = renderers(pid)
    if not found:
        return "no render process under the kiosk"
    own_user_ns = os.readlink("/proc/%d/ns/user" % pid)
    own_pid_ns = os.readlink("/proc/%d/ns/pid" % pid)
    said_off = SANDBOX_OFF_LINE in k.log()
    if way == "root":
        if not said_off:
            return "the log does not say '%s'" % SANDBOX_OFF_LINE
        if any(r[1] == "2" for r in found):
            return "a render process is under a seccomp filter: %s" % found
        return None
    if said_off:
        return "the log says '%s'" % SANDBOX_OFF_LINE
    for p, seccomp, user_ns, pid_ns in found:
        if seccomp != "2":
            return "render process %d: Seccomp %s, not 2 (filter)" % (p, seccomp)
        if user_ns == own_user_ns:
            return "render process %d is in the kiosk's user namespace %s" % (p, user_ns)
        if pid_ns == own_pid_ns:
            return "render process %d is in the kiosk's pid namespace %s" % (p, pid_ns)
    return None


def give(path, uid, gid):
    """Makes the tree at `path` the user's."""
    for top, dirs, files in os.walk(path):
        os.chown(top, uid, gid)
        for name in files:
            os.chown(os.path.join(top, name), uid, gid)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build", help="build directory with QtWebEngine")
    parser.add_argument("--runs", type=int, default=5, help="starts per way, median shown")
    parser.add_argument("--user", default="nobody", help="the user of the sandboxed kiosk")
    args = parser.parse_args()
    if not private_network():
        return 77
    build = os.path.abspath(args.build)
    binary = os.path.join(build, "src/tessalview/tessalview")
    tupsend = os.path.join(build, "src/tupsend/tupsend")
    try:
        with open(os.path.join(build, "CMakeCache.txt")) as f:
            engine_line = [l for l in f if l.startswith("TESSAL_WEB_ENGINE:")]
    except OSError:
        engine_line = []
    if not engine_line or engine_line[0].strip().split("=", 1)[1] != "webengine":
        print("%s is not a kiosk build with QtWebEngine" % build)
        return 1
    try:
        user = pwd.getpwnam(args.user)
    except KeyError:
        print("no user %s here" % args.user)
        return 1
    uid, gid = user.pw_uid, user.pw_gid
    if uid == 0:
        print("--user must not be root")
        return 1
    # setpriv without privileges, through as-user.sh: the build is reached
    # even below a folder closed to others (a checkout below /root).
    setpriv = [os.path.join(SOURCE, "tests", "tessalview", "as-user.sh"), "%d:%d" % (uid, gid),
               os.path.dirname(os.path.abspath(binary)), SOURCE, "--"]
    if subprocess.run(setpriv + ["test", "-x", binary]).returncode != 0:
        print("%s cannot run %s" % (args.user, binary))
        return 1
    if subprocess.run(setpriv + ["unshare", "--user", "--pid", "--fork", "true"],
                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode != 0:
        print("left out: %s cannot create user and pid namespaces here, which the engine's "
              "sandbox needs" % args.user)
        return 77

    work = tempfile.mkdtemp(prefix="kiosk-privilege-")
    # The user's kiosk reaches its own tree through here, and no further.
    os.chmod(work, 0o711)
    helpers = []
    missing = []
    wrong = None
    ways = ("root", "user")
    # (start s, PSS kB, RSS kB, processes, other processes on Qt's libraries)
    results = {way: [] for way in ways}
    try:
        helpers.append(demo_device(work))
        port = 9900
        for run in range(args.runs):
            for way in ways:
                proc, display = xvfb(work, port)
                k = Kiosk(way, binary, "", port, work, display)
                port += 1
                # Both ways get a new, empty home, so that only the user and the
                # sandbox differ (root's own holds caches the user's would not).
                home = os.path.join(k.root, "home")
                os.makedirs(home)
                if way == "user":
                    give(k.root, uid, gid)
                    k.start(setpriv, {"HOME": home, "USER": args.user, "LOGNAME": args.user})
                else:
                    k.start((), {"HOME": home})
                try:
                    attach(k, tupsend)
                    shown = k.shown_after() if k.wait(PAGE_SHOWN, 60) else None
                    if shown is None:
                        missing.append("%s, start %d: the device page was not shown; its log ends:"
                                       "\n%s" % (way, run + 1,
                                                 "\n".join(k.log().splitlines()[-10:])))
                        continue
                    time.sleep(2)
                    figures = memory(k.proc.pid)
                    others = others_holding(set(tree(k.proc.pid)), QT_LIBRARIES)
                    wrong = check(k, way, 0 if way == "root" else uid)
                    if wrong:
                        wrong = "%s, start %d: %s; the kiosk's log ends:\n%s" % (
                            way, run + 1, wrong, "\n".join(k.log().splitlines()[-10:]))
                        break
                    results[way].append((shown,) + figures + (others,))
                finally:
                    k.stop()
                    proc.terminate()
                    proc.wait()
            if wrong:
                break
    finally:
        for h in helpers:
            h.terminate()
            h.wait()
        shutil.rmtree(work, ignore_errors=True)
    if wrong:
        print("FAILED: " + wrong)
        return 1

    print("QtWebEngine kiosk as root (sandbox off) and as %s (sandbox on), %d starts each,"
          " alternating;" % (args.user, args.runs))
    print("start to the device's page shown, memory of the process tree 2 s later (medians):")
    print("  %-22s %9s %10s %10s %6s" % ("way", "start s", "PSS kB", "RSS kB", "procs"))
    # A marked PSS reads low by as much as the other program took, which
    # comes and goes: PSS medians are of the unmarked figures when each way
    # has some.
    clean = all(any(not r[4] for r in results[way]) for way in ways)
    medians = {}
    shared = 0
    for way in ways:
        rows = results[way]
        if not rows:
            print("  %-22s %s" % (way, "never shown"))
            continue
        medians[way] = [statistics.median(r[i] for r in rows) for i in range(4)]
        if clean:
            medians[way][1] = statistics.median(r[1] for r in rows if not r[4])
        name = "root" if way == "root" else args.user + " (sandbox)"
        print("  %-22s %9.3f %10d %10d %6s" % (
            name, medians[way][0], medians[way][1], medians[way][2],
            "/".join(sorted({str(r[3]) for r in rows}))))
        print("  %-22s %s" % ("", "starts: " + " ".join("%.3f" % r[0] for r in rows)))
        print("  %-22s %s" % ("", "PSS:    " + " ".join(
            "%d%s" % (r[1], "*" if r[4] else "") for r in rows)))
        shared += sum(1 for r in rows if r[4])
    if shared:
        print("  * taken while another Qt program ran on this machine, which takes its\n"
              "    share of the pages of Qt's libraries (and the engine's) that both use:\n"
              "    PSS may read low; %s" % ("the PSS medians leave these out" if clean else
                                          "one way has no other: the PSS medians are of all"))
    if len(medians) == 2:
        print("%s against root (target: at most %.1fx):" % (args.user, TARGET))
        for label, i in (("start", 0), ("PSS", 1), ("RSS", 2)):
            ratio = medians["user"][i] / medians["root"][i]
            verdict = ("within %.1fx" % TARGET if ratio <= TARGET else "over %.1fx" % TARGET) \
                if label != "RSS" else "(no target)"
            print("  %-6s %.2fx %s" % (label, ratio, verdict))
    for line in missing:
        print("FAILED: " + line)
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
