#!/usr/bin/python3
"""Soak run of the whole unit: what a long day does to memory, descriptors and values.

Runs a whole unit (private system bus, tessalview under Xvfb starting plinthd
through the shipped scripts, a simulated device) in a private network
namespace, with bench/soak.map (50 Core items: a frame counter and 49 values,
plus a set-point register in a "rw" table). For MINUTES minutes:

- the device sends 10 frames a second: DevInfo, a GpioState that changes
  every second and the 50 Core items, all derived from the frame number;
- 20 Modbus TCP masters each read the 51 live registers twice a second and
  check that every answer is one frame's consistent picture; one more master
  writes the set-point register once a second (all 21 in this one process);
- the device page reloads itself every 10 s, and once a minute it starts a
  download of report.csv, which is confirmed in the dialog (Return key sent
  through the X test extension) and must arrive on the drive.

Every minute it records the RSS and descriptor count of tessalview and
plinthd, the frames sent, dropped by the kernel (receive buffer) and by the
kiosk, the Modbus answers and errors, the downloads, and whether the frame
counter register reaches the latest counter sent. It prints a table and a
verdict against the targets: RSS growth under 2 MB and no descriptor growth
after minute 5 (a run shorter than 6 minutes, a smoke test, reports the
growth from minute 1 without judging it), no valid frame dropped, no Modbus
error, the last value always equal, every download on the drive.

    sudo bench/soak.sh MINUTES [BUILD_DIR]
"""
import argparse
import ctypes
import json
import os
import re
import socket
import struct
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "system"))
import unitenv  # noqa: E402
from unitenv import BROADCAST, DEVICE_A, Unit  # noqa: E402

FRAME_RATE = 10
MASTERS = 20
POLLS_PER_SECOND = 2
LIVE_WORDS = 51          # counter (2 words) + 49 values
SETPOINT_ADDRESS = 100
RSS_GROWTH_LIMIT_KB = 2048
LAST_VALUE_WAIT = 2.0    # the latest counter sent must be readable within this (s)
LATE_WAIT = 10.0         # a late one is still waited for this long, for the record
COUNTER_MARK = 0x5A5A0001
VALUE_MARK = 0xA000


# --------------------------------------------------------------------- frames
def crc16(data):
    """The TUP checksum: CRC-16/0x1021, init 0, bits fed low first, result reflected."""
    reg = 0
    for byte in data:
        for b in range(8):
            top = reg & 0x8000
            reg = ((reg << 1) | ((byte >> b) & 1)) & 0xFFFF
            if top:
                reg ^= 0x1021
    for _ in range(16):
        top = reg & 0x8000
        reg = (reg << 1) & 0xFFFF
        if top:
            reg ^= 0x1021
    out = 0
    for b in range(16):
        if reg & (1 << b):
            out |= 1 << (15 - b)
    return out


def value_of(counter, index):
    """The value item `index` (0..48) carries in frame `counter`."""
    return (counter * 31 + index * 1000) & 0xFFFF


def gpio_of(counter):
    """LED and buzzer codes: a new pattern every second."""
    step = (counter // FRAME_RATE) % 4
    return bytes([1 + step % 3, step, (step + 2) % 4, 0])


class FrameMaker:
    """Builds frames from one tupsend template, patching numbers in place.

    The template carries marker values; their byte offsets are found once,
    and the checksum of the template is recomputed here and compared with
    tupsend's, so a patched frame is exactly what tupsend would have built.
    """

    def __init__(self, build):
        args = [os.path.join(build, "src/tupsend/tupsend"), "--output", "-", "--format", "raw",
                "--seqno", "1", "--timestamp", "1",
                "--devinfo", "1,2,1,3,4,120,0x00C0FFEE,en", "--gpio", "1,2,3,0",
                "--item", "1,1,0,6,u32:%d" % COUNTER_MARK]
        for i in range(49):
            args += ["--item", "1,2,%d,4,u16:%d" % (i, VALUE_MARK + i)]
        self.template = bytearray(subprocess.check_output(args))
        t = self.template
        if crc16(t[:-2]) != struct.unpack_from("<H", t, len(t) - 2)[0]:
            raise SystemExit("soak: checksum of the tupsend template not reproduced")
        self.counter_at = self._find(struct.pack("<I", COUNTER_MARK))
        self.value_at = [self._find(struct.pack("<H", VALUE_MARK + i)) for i in range(49)]
        self.gpio_at = self._find(b"\x20\x00\x08\x00\x01\x02\x03\x00") + 4

    def _find(self, pattern):
        at = self.template.find(pattern)
        if at < 0 or self.template.find(pattern, at + 1) >= 0:
            raise SystemExit("soak: marker %s not found once in the template" % pattern.hex())
        return at

    def frame(self, counter):
        f = bytearray(self.template)
        struct.pack_into("<I", f, 8, counter)                  # seqno
        struct.pack_into("<I", f, 12, int(time.time()) or 1)   # timestamp
        f[self.gpio_at:self.gpio_at + 4] = gpio_of(counter)
        struct.pack_into("<I", f, self.counter_at, counter)
        for i, at in enumerate(self.value_at):
            struct.pack_into("<H", f, at, value_of(counter, i))
        struct.pack_into("<H", f, len(f) - 2, crc16(f[:-2]))
        return bytes(f)


# --------------------------------------------------------------------- Modbus
class Counters:
    def __init__(self):
        self.lock = threading.Lock()
        self.answers = 0
        self.errors = 0
        self.inconsistent = 0
        self.writes = 0
        self.write_readback = None
        self.last_error = ""

    def add(self, **kw):
        with self.lock:
            for k, v in kw.items():
                setattr(self, k, getattr(self, k) + v)

    def error(self, text):
        with self.lock:
            self.errors += 1
            self.last_error = text


class Master(threading.Thread):
    """One Modbus TCP master on its own connection (a thread of this process)."""

    def __init__(self, index, counters, stop, writer=False):
        super().__init__(daemon=True)
        self.index = index
        self.counters = counters
        self.stop = stop
        self.writer = writer
        self.tid = 0
        self.sock = None

    def _request(self, pdu):
        self.tid = (self.tid + 1) & 0xFFFF
        self.sock.sendall(struct.pack(">HHHB", self.tid, 0, len(pdu) + 1, 1) + pdu)
        head = Unit._recv(self.sock, 7)
        tid, proto, length, unit = struct.unpack(">HHHB", head)
        body = Unit._recv(self.sock, length - 1)
        if tid != self.tid or proto != 0 or unit != 1:
            raise IOError("answer header tid %d proto %d unit %d" % (tid, proto, unit))
        if body[0] & 0x80:
            raise IOError("exception %d to function %d" % (body[1], body[0] & 0x7F))
        return body

    def _read(self, address, count):
        body = self._request(struct.pack(">BHH", 3, address, count))
        if body[0] != 3 or body[1] != 2 * count:
            raise IOError("malformed read answer")
        return struct.unpack(">%dH" % count, body[2:2 + 2 * count])

    def _check_picture(self, words):
        counter = (words[0] << 16) | words[1]
        if counter == 0:
            return  # nothing received yet: the map defaults
        for i in range(49):
            if words[2 + i] != value_of(counter, i):
                self.counters.add(inconsistent=1)
                return

    def run(self):
        period = 1.0 / POLLS_PER_SECOND if not self.writer else 1.0
        next_at = time.monotonic() + self.index * period / (MASTERS + 1)
        value = 0
        while not self.stop.is_set():
            try:
                if self.sock is None:
                    self.sock = socket.create_connection(("127.0.0.1", 502), timeout=3)
                if self.writer:
                    value = (value + 1) & 0xFFFF
                    body = self._request(struct.pack(">BHH", 6, SETPOINT_ADDRESS, value))
                    if body[:5] != struct.pack(">BHH", 6, SETPOINT_ADDRESS, value):
                        raise IOError("write answer is not an echo")
                    readback = self._read(SETPOINT_ADDRESS, 1)[0]
                    with self.counters.lock:
                        self.counters.write_readback = readback
                    self.counters.add(answers=2, writes=1)
                else:
                    self._check_picture(self._read(0, LIVE_WORDS))
                    self.counters.add(answers=1)
            except (OSError, IOError, struct.error) as e:
                self.counters.error("master %d: %s" % (self.index, e))
                if self.sock is not None:
                    self.sock.close()
                    self.sock = None
                self.stop.wait(1.0)
            next_at += period
            delay = next_at - time.monotonic()
            if delay > 0:
                self.stop.wait(delay)
            else:
                next_at = time.monotonic()
        if self.sock is not None:
            self.sock.close()


def read_counter(sock):
    sock.sendall(struct.pack(">HHHBBHH", 1, 0, 6, 1, 3, 0, 2))
    head = Unit._recv(sock, 9)
    if head[7] != 3:
        raise IOError("exception %d" % head[8])
    hi, lo = struct.unpack(">HH", Unit._recv(sock, 4))
    return (hi << 16) | lo


class Checker:
    """The last-value checker's own Modbus connection, kept open for the whole
    run so that the daemon's descriptor count does not depend on when it is
    sampled."""

    def __init__(self):
        self.sock = None

    def counter(self):
        try:
            if self.sock is None:
                self.sock = socket.create_connection(("127.0.0.1", 502), timeout=2)
            return read_counter(self.sock)
        except OSError:
            if self.sock is not None:
                self.sock.close()
                self.sock = None
            raise


# --------------------------------------------------------------------- probes
def proc_figures(pid):
    """(RSS in kB, open descriptors) of a process, or (None, None)."""
    try:
        with open("/proc/%d/status" % pid) as f:
            rss = int(re.search(r"^VmRSS:\s+(\d+)", f.read(), re.M).group(1))
        return rss, len(os.listdir("/proc/%d/fd" % pid))
    except (OSError, AttributeError):
        return None, None


def own_plinthd(unit):
    pids = unit.plinthd_pids()
    return pids[0] if pids else None


def udp_counters():
    """This namespace's UDP counters (the unit's only UDP traffic is the frames)."""
    with open("/proc/net/snmp") as f:
        lines = [l.split() for l in f if l.startswith("Udp:")]
    return dict(zip(lines[0][1:], (int(v) for v in lines[1][1:])))


def press_return(display):
    """Return key into the X server, as a person confirming the dialog would."""
    x11 = ctypes.CDLL("libX11.so.6")
    xtst = ctypes.CDLL("libXtst.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
    x11.XFlush.argtypes = [ctypes.c_void_p]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    xtst.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]
    dpy = x11.XOpenDisplay(display.encode())
    if not dpy:
        return False
    code = x11.XKeysymToKeycode(dpy, 0xFF0D)
    xtst.XTestFakeKeyEvent(dpy, code, 1, 0)
    xtst.XTestFakeKeyEvent(dpy, code, 0, 0)
    x11.XFlush(dpy)
    x11.XCloseDisplay(dpy)
    return True


class LogTail:
    """Counts lines of a growing log file matching patterns."""

    def __init__(self, path):
        self.path = path
        self.offset = 0
        self.rest = b""

    def new_lines(self):
        with open(self.path, "rb") as f:
            f.seek(self.offset)
            data = f.read()
        self.offset += len(data)
        data = self.rest + data
        lines = data.split(b"\n")
        self.rest = lines.pop()
        return [l.decode(errors="replace") for l in lines]


# --------------------------------------------------------------------- the run
class Soak:
    def __init__(self, args):
        self.args = args
        self.unit = Unit(args.build, udp_timeout=3, keep=args.keep,
                         modbus_map=os.path.join(HERE, "soak.map"),
                         www=os.path.join(HERE, "soak-www"),
                         # every master and the writer keep their connection:
                         # a unit that admits fewer would close the idlest
                         modbus_clients=MASTERS + 1 + 4)
        self.frames = FrameMaker(os.path.abspath(args.build))
        self.counter = 0
        self.sent = 0
        self.stop = threading.Event()
        self.counters = Counters()
        self.kiosk_drops = 0
        self.drop_lines = []
        self.downloads_asked = 0
        self.downloads_done = 0
        self.downloads_failed = 0
        self.download_note = ""
        self.rows = []
        self.checker = Checker()

    def set_status(self, download):
        path = self.unit.status_file("a")
        with open(path + ".new", "w") as f:
            json.dump({"frame": self.counter, "download": download}, f)
        os.replace(path + ".new", path)

    def send_frame(self, sock):
        self.counter += 1
        sock.sendto(self.frames.frame(self.counter), (BROADCAST, 9876))
        self.sent += 1

    def frames_until(self, sock, deadline, next_at):
        """Sends frames at the frame rate until the deadline; returns the next slot."""
        while True:
            now = time.monotonic()
            if next_at > deadline:
                return next_at
            if next_at > now:
                time.sleep(min(next_at, deadline) - now)
                continue
            self.send_frame(sock)
            self.after_frame()
            next_at += 1.0 / FRAME_RATE
            if next_at < time.monotonic() - 1.0:
                next_at = time.monotonic()  # a stall: no burst afterwards

    def after_frame(self):
        for line in self.kiosk_log.new_lines():
            if "Drop frame" in line or "unknown sender" in line:
                self.kiosk_drops += 1
                if len(self.drop_lines) < 5:
                    self.drop_lines.append(line.strip())
            elif "Download request for" in line:
                self.download_state = "asked"
                self.download_seen_at = time.monotonic()
            elif "Download complete" in line:
                self.downloads_done += 1
                self.download_state = None
            elif ("Download failed" in line or "Download refused" in line or
                  "Download canceled" in line or "Download stalled" in line):
                self.downloads_failed += 1
                self.download_note = line.strip()
                self.download_state = None
        # The download: ask the page, confirm the dialog once it is open.
        if self.download_state == "asked" and time.monotonic() - self.download_seen_at > 1.0:
            self.set_status(0)
            press_return(self.unit.display)
            self.download_state = "confirmed"
        elif self.download_state == "want" and time.monotonic() - self.download_want_at > 20:
            self.downloads_failed += 1
            self.download_note = "the page did not start the download within 20 s"
            self.set_status(0)
            self.download_state = None

    def ask_download(self):
        if self.download_state is not None:
            self.downloads_failed += 1
            self.download_note = "previous download still %s" % self.download_state
        self.downloads_asked += 1
        self.download_state = "want"
        self.download_want_at = time.monotonic()
        self.set_status(self.downloads_asked)

    def last_value_check(self, sock):
        """Sends one more frame and waits for its counter in the register.

        Equal means readable within LAST_VALUE_WAIT s. Past that the frames
        stop (as the check itself does not advance the counter) and the wait
        goes on up to LATE_WAIT s, only to tell a late value from a lost one
        in the table; either fails the check."""
        self.send_frame(sock)
        t0 = time.monotonic()
        while time.monotonic() - t0 < LATE_WAIT:
            try:
                if self.checker.counter() == self.counter:
                    elapsed = time.monotonic() - t0
                    return elapsed <= LAST_VALUE_WAIT, elapsed
            except OSError:
                pass
            time.sleep(0.01)
        return False, None

    def sample(self, minute, sock):
        equal, latency = self.last_value_check(sock)
        self.page_loads += sum('"GET /index.html' in l for l in self.web_log.new_lines())
        udp = udp_counters()
        tv = proc_figures(self.unit.kiosk.pid)
        pd_pid = own_plinthd(self.unit)
        pd = proc_figures(pd_pid) if pd_pid else (None, None)
        with self.counters.lock:
            c = dict(answers=self.counters.answers, errors=self.counters.errors,
                     inconsistent=self.counters.inconsistent, writes=self.counters.writes,
                     readback=self.counters.write_readback)
        row = dict(minute=minute, tv_rss=tv[0], tv_fd=tv[1], pd_pid=pd_pid, pd_rss=pd[0],
                   pd_fd=pd[1], sent=self.sent, rcvbuf=udp.get("RcvbufErrors", 0) - self.udp0.get("RcvbufErrors", 0),
                   inerr=udp.get("InErrors", 0) - self.udp0.get("InErrors", 0),
                   received=udp.get("InDatagrams", 0) - self.udp0.get("InDatagrams", 0),
                   kiosk_drops=self.kiosk_drops, equal=equal, latency=latency,
                   pages=self.page_loads, dl_ok=self.downloads_done, dl_fail=self.downloads_failed,
                   load=open("/proc/loadavg").read().split()[0], **c)
        self.rows.append(row)
        self.print_row(row)

    HEADER = ("min  tv RSS kB tv fd  pd RSS kB pd fd  frames sent  kern drop  kiosk drop"
              "  mb answers mb err  incons  pages  dl ok/fail  last=sent (ms)  load")

    @staticmethod
    def print_row(r):
        fmt = lambda v: "-" if v is None else str(v)
        latency = "never" if r["latency"] is None else "%.0f" % (r["latency"] * 1000)
        print("%3d  %9s %5s  %9s %5s  %11d  %9d  %10d  %10d %6d  %6d  %5d  %5d/%-4d  %-5s %6s    %s" % (
            r["minute"], fmt(r["tv_rss"]), fmt(r["tv_fd"]), fmt(r["pd_rss"]), fmt(r["pd_fd"]),
            r["sent"], r["rcvbuf"] + r["inerr"], r["kiosk_drops"], r["answers"], r["errors"],
            r["inconsistent"], r["pages"], r["dl_ok"], r["dl_fail"], "yes" if r["equal"] else "NO",
            latency, r["load"]), flush=True)

    def verdict(self):
        rows = self.rows
        # Growth is judged after minute 5; a shorter run (a smoke test) only
        # reports it, since a fresh kiosk is still warming its caches.
        judge_growth = self.args.minutes >= 6
        base_minute = 5 if judge_growth else 1
        base = next(r for r in rows if r["minute"] == base_minute)
        last = rows[-1]
        failures = []

        def growth(key):
            if base[key] is None or last[key] is None:
                return None
            return last[key] - base[key]

        print()
        print("figures from minute %d to minute %d:" % (base_minute, last["minute"]))
        for name, rss, fd in (("tessalview", "tv_rss", "tv_fd"), ("plinthd", "pd_rss", "pd_fd")):
            g_rss, g_fd = growth(rss), growth(fd)
            print("  %-10s RSS %s -> %s kB (growth %s kB), descriptors %s -> %s (growth %s)" % (
                name, base[rss], last[rss], g_rss, base[fd], last[fd], g_fd))
            if g_rss is None or g_fd is None:
                failures.append("%s not measured" % name)
            elif judge_growth and g_rss >= RSS_GROWTH_LIMIT_KB:
                failures.append("%s RSS growth %s kB (limit < %d)" % (name, g_rss, RSS_GROWTH_LIMIT_KB))
            elif judge_growth and g_fd > 0:
                failures.append("%s descriptor growth %s (limit 0)" % (name, g_fd))
        if not judge_growth:
            print("  (growth not judged: the run is shorter than 6 minutes)")
        pids = {r["pd_pid"] for r in rows}
        if len(pids) != 1:
            failures.append("plinthd changed or vanished during the run: pids %s" % sorted(map(str, pids)))
        dropped = last["rcvbuf"] + last["inerr"] + last["kiosk_drops"]
        print("  frames: %d sent, %d received by the kiosk's socket, %d dropped (%d receive "
              "buffer, %d UDP errors, %d refused by the kiosk)" % (
                  last["sent"], last["received"], dropped, last["rcvbuf"], last["inerr"],
                  last["kiosk_drops"]))
        for line in self.drop_lines:
            print("    kiosk: %s" % line)
        if dropped:
            failures.append("%d valid frames dropped" % dropped)
        if last["received"] != last["sent"]:
            failures.append("%d frames sent but %d received" % (last["sent"], last["received"]))
        print("  Modbus: %d answers, %d errors, %d inconsistent pictures, %d writes "
              "(set-point reads back %s)" % (last["answers"], last["errors"], last["inconsistent"],
                                             last["writes"], last["readback"]))
        if self.counters.last_error:
            print("    last error: %s" % self.counters.last_error)
        if last["errors"]:
            failures.append("%d Modbus errors" % last["errors"])
        if last["inconsistent"]:
            failures.append("%d answers mixing two frames" % last["inconsistent"])
        unequal = [r["minute"] for r in rows if not r["equal"]]
        print("  last value = latest sent within %.0f s: %s" % (
            LAST_VALUE_WAIT, "every minute" if not unequal else "NOT at minutes %s (%s)" % (
                unequal, ", ".join("never" if r["latency"] is None else "after %.1f s" % r["latency"]
                                   for r in rows if not r["equal"]))))
        if unequal:
            failures.append("last value differs at minutes %s" % unequal)
        on_drive = len([n for n in os.listdir(os.path.join(self.unit.work, "usbmnt"))
                        if n.startswith("report")])
        print("  downloads: %d asked, %d complete, %d failed, %d files on the drive%s" % (
            self.downloads_asked, self.downloads_done, self.downloads_failed, on_drive,
            (" (" + self.download_note + ")") if self.download_note else ""))
        if self.downloads_done != self.downloads_asked or self.downloads_failed or \
                on_drive != self.downloads_done:
            failures.append("downloads: %d asked, %d complete, %d failed, %d on the drive" % (
                self.downloads_asked, self.downloads_done, self.downloads_failed, on_drive))
        print("  device page loads: %d (one every 10 s expected: about %d)" % (
            last["pages"], last["minute"] * 6))
        if last["pages"] < last["minute"] * 4:
            failures.append("the device page loaded only %d times" % last["pages"])
        print("  load average (1, 5, 15 min) at the end: %s" % " ".join(
            open("/proc/loadavg").read().split()[:3]))
        print()
        if failures:
            print("VERDICT: FAIL")
            for f in failures:
                print("  - " + f)
            return 1
        print("VERDICT: PASS (%sno frame dropped, no Modbus error, last value always equal, "
              "every download done)" % ("RSS growth < 2 MB, no descriptor growth, "
                                        if judge_growth else ""))
        return 0

    def run(self):
        unit = self.unit
        unit.start()
        self.kiosk_log = LogTail(os.path.join(unit.work, "tessalview.log"))
        self.web_log = LogTail(os.path.join(unit.work, "device-web-a.log"))
        self.page_loads = 0
        self.download_state = None
        self.set_status(0)
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        sock.bind((DEVICE_A, 0))
        self.udp0 = udp_counters()
        # Attach and wait for the first values before the clock starts.
        next_at = time.monotonic()
        t0 = time.monotonic()
        while True:
            next_at = self.frames_until(sock, time.monotonic() + 0.5, next_at)
            try:
                if self.checker.counter() > 0:
                    break
            except OSError:
                pass
            if time.monotonic() - t0 > 60:
                raise SystemExit("soak: no live value within 60 s of the first frame")
        masters = [Master(i, self.counters, self.stop) for i in range(MASTERS)]
        masters.append(Master(MASTERS, self.counters, self.stop, writer=True))
        for m in masters:
            m.start()
        print("soak: %d minutes, %d frames/s, %d masters + 1 writer, kiosk pid %d, plinthd pid %s, "
              "work dir %s" % (self.args.minutes, FRAME_RATE, MASTERS, unit.kiosk.pid,
                                own_plinthd(unit), unit.work), flush=True)
        print(self.HEADER, flush=True)
        start = time.monotonic()
        for minute in range(1, self.args.minutes + 1):
            # The download is asked early in each minute so that it is done by its end.
            next_at = self.frames_until(sock, start + (minute - 1) * 60 + 5, next_at)
            self.ask_download()
            next_at = self.frames_until(sock, start + minute * 60, next_at)
            self.sample(minute, sock)
        self.stop.set()
        for m in masters:
            m.join(timeout=5)
        sock.close()
        return self.verdict()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--minutes", type=int, required=True)
    parser.add_argument("--keep", action="store_true", help="keep the work directory")
    args = parser.parse_args()
    if args.minutes < 1:
        raise SystemExit("soak: MINUTES must be at least 1")
    unitenv.ensure_private_netns(sys.argv)
    soak = Soak(args)
    rc = 1
    try:
        rc = soak.run()
    finally:
        soak.stop.set()
        soak.unit.stop()
    sys.exit(rc)


if __name__ == "__main__":
    main()
