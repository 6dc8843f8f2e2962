#!/usr/bin/env python3
"""The on-screen keyboard's cost: the kiosk with it against without, in one run.

For each build given, this starts the whole kiosk under Xvfb in a private
network namespace (as bench/kiosk_engines.py does, whose helpers it uses),
RUNS times with `[UI] VirtualKeyboard=false` and RUNS times with it true, the
two ways alternating, on the demo device's settings form, and prints per way:

  - start to the device's page shown (process start to the end of its load);
  - total PSS of the kiosk's process tree 2 s after the page was shown;
  - with the keyboard, PSS again after the panel was shown once (a click on
    the form's first field through the X server's test extension, then the
    panel's "On-screen keyboard up" line in the kiosk's log).

Targets: start at most 1.1x, PSS at most +25 MB (the keyboard's QML and the
panel are made once the first page has been shown, so the start waits for
neither, while the PSS taken 2 s after the page holds them).

    bench/kiosk_keyboard.py BUILD [BUILD...] [--runs 5]

Needs root (the namespace gives the device port 80), Xvfb and libXtst. Exits
1 when a figure could not be taken.
"""
import argparse
import ctypes
import ctypes.util
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from kiosk_engines import SOURCE, Kiosk, attach, demo_device, memory, private_network, xvfb

PAGE_SHOWN = "[PAGE] Page 'http://127.0.0.1/"
KEYBOARD_UP = "On-screen keyboard up"
START_TARGET = 1.1
PSS_TARGET_KB = 25 * 1024
# The settings form's first field on an 800 x 480 screen.
FIELD = (400, 94)


def click(display, x, y):
    """A click at (x, y) on `display`, through the XTEST extension."""
    x11 = ctypes.CDLL(ctypes.util.find_library("X11"))
    xtst = ctypes.CDLL(ctypes.util.find_library("Xtst"))
    x11.XOpenDisplay.restype = ctypes.c_void_p
    dpy = x11.XOpenDisplay(display.encode())
    if not dpy:
        return False
    dpy = ctypes.c_void_p(dpy)
    xtst.XTestFakeMotionEvent(dpy, -1, x, y, 0)
    x11.XFlush(dpy)
    time.sleep(0.1)
    xtst.XTestFakeButtonEvent(dpy, 1, True, 0)
    x11.XFlush(dpy)
    time.sleep(0.05)
    xtst.XTestFakeButtonEvent(dpy, 1, False, 0)
    x11.XFlush(dpy)
    x11.XCloseDisplay(dpy)
    return True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("builds", nargs="+", help="build directories (either engine)")
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    if not private_network():
        return 77
    work = tempfile.mkdtemp(prefix="kiosk-keyboard-")
    helpers = []
    missing = []
    try:
        # The device's start page is the settings form here.
        www = demo_device(work)
        helpers.append(www)
        shutil.copy(os.path.join(SOURCE, "demo/www/settings.html"),
                    os.path.join(work, "www/index.html"))
        port = 9950
        for build in args.builds:
            binary = os.path.join(build, "src/tessalview/tessalview")
            tupsend = os.path.join(build, "src/tupsend/tupsend")
            figures = {False: [], True: []}
            after_shown = []
            engine = "?"
            with open(os.path.join(build, "CMakeCache.txt")) as f:
                for line in f:
                    if line.startswith("TESSAL_WEB_ENGINE:"):
                        engine = line.split("=", 1)[1].strip()
            for run in range(args.runs):
                for keyboard in (False, True):
                    proc, display = xvfb(work, port)
                    k = Kiosk("keyboard" if keyboard else "none", binary, "", port, work, display)
                    port += 1
                    with open(os.path.join(k.root, "usr/local/etc/tessal-view.ini"), "a") as f:
                        f.write("VirtualKeyboard=%s\n" % ("true" if keyboard else "false"))
                    k.start()
                    attach(k, tupsend)
                    if k.wait(PAGE_SHOWN, 60):
                        shown = k.shown_after()
                        time.sleep(2)
                        figures[keyboard].append((shown, memory(k.proc.pid)[0]))
                        if keyboard:
                            click(display, *FIELD)
                            if k.wait(KEYBOARD_UP, 10):
                                time.sleep(2)
                                after_shown.append(memory(k.proc.pid)[0])
                            else:
                                missing.append("%s: the panel never came up" % build)
                    else:
                        missing.append("%s: the device page was not shown" % build)
                    k.stop()
                    proc.terminate()
                    proc.wait()
            print("%s (%s), median of %d starts each, alternating:" % (build, engine, args.runs))
            med = {}
            for keyboard in (False, True):
                rows = figures[keyboard]
                if not rows:
                    continue
                med[keyboard] = (statistics.median(r[0] for r in rows),
                                 statistics.median(r[1] for r in rows))
                print("  keyboard %-3s start %.3f s (%s)  PSS %d kB" % (
                    "on" if keyboard else "off", med[keyboard][0],
                    " ".join("%.3f" % r[0] for r in rows), med[keyboard][1]))
            if after_shown:
                print("  keyboard on, after the panel was shown once: PSS %d kB"
                      % statistics.median(after_shown))
            if False in med and True in med:
                ratio = med[True][0] / med[False][0]
                extra = med[True][1] - med[False][1]
                extra_shown = (statistics.median(after_shown) - med[False][1]
                               if after_shown else None)
                print("  on against off: start %.2fx (target <= %.1fx), PSS %+d kB%s "
                      "(target <= +%d kB)" % (
                          ratio, START_TARGET, extra,
                          ", %+d kB after the panel was shown" % extra_shown
                          if extra_shown is not None else "", PSS_TARGET_KB))
    finally:
        for h in helpers:
            h.terminate()
        shutil.rmtree(work, ignore_errors=True)
    for line in missing:
        print("FAILED: " + line)
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
