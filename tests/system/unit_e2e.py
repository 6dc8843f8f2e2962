#!/usr/bin/python3
"""The road of one frame through the whole unit.

tupsend builds frames with DevInfo, GpioState and Core items; a running
tessalview attaches to the sender, loads the device's /index.html, sets the
LEDs in the fake sysfs tree, and the Core values become register words that a
Modbus TCP master reads from plinthd. A master's write produces the `data`
signal on the bus. When the device falls silent the kiosk shows the error
page and fast-blinks the LEDs; then a second device can attach.

    unit_e2e.py --build BUILD_DIR [--shots DIR]
"""
import argparse
import os
import struct
import subprocess
import socket
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import unitenv  # noqa: E402
from unitenv import DEVICE_A, DEVICE_B, Unit  # noqa: E402

ARGS = None


def words_to_float(hi, lo):
    return struct.unpack(">f", struct.pack(">HH", hi, lo))[0]


def pixel(path, x, y):
    out = subprocess.check_output(["/usr/bin/convert", path, "-format",
                                   "%%[pixel:p{%d,%d}]" % (x, y), "info:"], text=True)
    return out.strip()


class RoadOfOneFrame(unittest.TestCase):
    """One unit, one scenario: each step builds on the previous one."""

    @classmethod
    def setUpClass(cls):
        cls.unit = Unit(ARGS.build, udp_timeout=3, keep=ARGS.keep)
        cls.unit.start()

    @classmethod
    def tearDownClass(cls):
        cls.unit.stop()

    def device_frame(self, voltage, power, status, gpio="1,3,0,0", device=DEVICE_A):
        return self.unit.frame(
            "--devinfo", "1,2,1,3,4,120,0x00C0FFEE,en", "--gpio", gpio,
            "--item", "1,1,0,4,u16:%d" % status,
            "--item", "2,1,0,8,float:%s" % voltage,
            "--item", "2,3,0,7,s32:%d" % power, device=device)

    def keep_sending(self, seconds, **kw):
        end = time.time() + seconds
        while time.time() < end:
            self.unit.send(self.device_frame(**kw), kw.get("device", DEVICE_A))
            time.sleep(0.3)

    def test_road_of_one_frame(self):
        u = self.unit

        def web_log(tag):
            with open(os.path.join(u.work, "device-web-%s.log" % tag)) as f:
                return f.read()

        # -- first contact: attach, page load, LEDs, registers -------------------
        u.send(self.device_frame(231.5, 1234, 7))
        u.wait_for(lambda: "First frame, try to connect to the web server at 10.9.0.1"
                   in u.kiosk_output(), 10, "first contact")
        u.wait_for(lambda: '"GET /index.html HTTP/1.1" 200' in web_log("a"), 20,
                   "the kiosk loading http://10.9.0.1/index.html")
        self.assertIn("Tessal TessalView/2.0 WebKit", web_log("a"))

        self.keep_sending(1.0, voltage=231.5, power=1234, status=7)
        self.assertEqual(u.gpio("green"), "1")
        self.assertEqual(u.gpio("red"), "0")
        yellow = set()
        for _ in range(12):
            yellow.add(u.gpio("yellow"))
            time.sleep(0.1)
        self.assertEqual(yellow, {"0", "1"}, "yellow LED (code 3) must blink fast")

        # Status table at 0: alarm, status, uptime (2), gap, power (2).
        u.wait_for(lambda: u.read_registers(1, 1) == [7], 10, "status register = 7")
        hi, lo = u.read_registers(5, 2)
        self.assertEqual(struct.unpack(">i", struct.pack(">HH", hi, lo))[0], 1234)
        # Measurements table at 100: voltage L1 as a float, high word first.
        v = u.read_registers(100, 2)
        self.assertAlmostEqual(words_to_float(*v), 231.5, places=3)

        # A new value reaches the master.
        self.keep_sending(0.7, voltage=229.25, power=-40, status=8)
        u.wait_for(lambda: u.read_registers(1, 1) == [8], 10, "status register = 8")
        self.assertAlmostEqual(words_to_float(*u.read_registers(100, 2)), 229.25, places=3)
        hi, lo = u.read_registers(5, 2)
        self.assertEqual(struct.unpack(">i", struct.pack(">HH", hi, lo))[0], -40)

        shot = os.path.join(ARGS.shots, "unit-device-page.png")
        time.sleep(1.0)
        u.screenshot(shot)
        # The device page's header colour fills the top left corner.
        self.assertIn(pixel(shot, 10, 10), ("srgb(11,34,51)", "rgb(11,34,51)"))

        # -- a master's write produces the data signal ---------------------------
        monitor = subprocess.Popen(
            ["dbus-monitor", "--system",
             "type='signal',interface='vox.tessal.modbusserver',member='data'"],
            env=u.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        lines = []
        reader = threading.Thread(target=lambda: lines.extend(iter(monitor.stdout.readline, "")),
                                  daemon=True)
        reader.start()
        try:
            time.sleep(1.0)
            with socket.create_connection(("127.0.0.1", 502), timeout=2) as s:
                # Write single register 1 (the status word) = 4242, unit 1.
                s.sendall(struct.pack(">HHHBBHH", 9, 0, 6, 1, 6, 1, 4242))
                reply = u._recv(s, 12)
            self.assertEqual(reply[7], 6, "write single register answered")
            u.wait_for(lambda: any("member=data" in line for line in lines), 10, "data signal")
            # The status register is read-only for masters: the write is undone
            # and the signal carries the controller's value.
            u.wait_for(lambda: '"address":1,"values":[8]' in "".join("".join(lines).split()), 5,
                       "data signal for address 1 with the controller's value 8")
        finally:
            monitor.terminate()
            monitor.wait()
            monitor.stdout.close()

        # -- silence: error page, LEDs blink fast, device unregistered ------------
        time.sleep(u.udp_timeout + 1.5)
        out = u.kiosk_output()
        self.assertIn("No packet received within the 3s window, unregister 10.9.0.1", out)
        leds = {name: set() for name in ("green", "yellow", "red")}
        for _ in range(12):
            for name in leds:
                leds[name].add(u.gpio(name))
            time.sleep(0.1)
        for name, seen in leds.items():
            self.assertEqual(seen, {"0", "1"}, "%s LED must blink fast after silence" % name)
        shot = os.path.join(ARGS.shots, "unit-error-page.png")
        time.sleep(1.0)
        u.screenshot(shot)
        self.assertNotIn(pixel(shot, 10, 10), ("srgb(11,34,51)", "rgb(11,34,51)"),
                         "the error page replaces the device page")

        # -- a second device attaches after the watchdog -------------------------
        self.keep_sending(1.0, voltage=100.0, power=5, status=9, device=DEVICE_B)
        u.wait_for(lambda: "First frame, try to connect to the web server at 10.9.0.2"
                   in u.kiosk_output(), 10, "second device attached")
        u.wait_for(lambda: '"GET /index.html HTTP/1.1" 200' in web_log("b"), 20,
                   "the kiosk loading http://10.9.0.2/index.html")
        u.wait_for(lambda: u.read_registers(1, 1) == [9], 10, "status register = 9")
        # While attached to B, frames from A are dropped.
        u.send(self.device_frame(1.0, 1, 1, device=DEVICE_A))
        u.wait_for(lambda: "Packet received from an unknown sender (10.9.0.1" in u.kiosk_output(),
                   5, "frame of the first device refused")
        self.assertEqual(u.read_registers(1, 1), [9])


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--shots", default=None)
    parser.add_argument("--keep", action="store_true", help="keep the work directory")
    ARGS, rest = parser.parse_known_args()
    unitenv.ensure_private_netns(sys.argv)
    if ARGS.shots is None:
        ARGS.shots = os.path.join(os.path.abspath(ARGS.build), "tests", "system")
    os.makedirs(ARGS.shots, exist_ok=True)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
