#!/usr/bin/python3
"""A unit pinned to its device hears no one else.

The unit is pinned to DEVICE_A ([Network] DeviceAddress). DEVICE_B, a second
address on the same segment, sends frames with a correct checksum and the
next sequence number: before the first contact, while A is attached and
after A's silence window. Each time they are dropped with the unknown-sender
line, and the LEDs (the fake sysfs files), the Modbus registers (read by a
Modbus TCP master from plinthd) and the page (the device web servers' request
logs) do not change.

    unit_pinned.py --build BUILD_DIR
"""
import argparse
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import unitenv  # noqa: E402
from unitenv import DEVICE_A, DEVICE_B, Unit  # noqa: E402

ARGS = None
STRANGER = "Packet received from an unknown sender (10.9.0.2, attended 10.9.0.1)"


class PinnedDevice(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.unit = Unit(ARGS.build, udp_timeout=2, keep=ARGS.keep, device_address=DEVICE_A)
        cls.unit.start()

    @classmethod
    def tearDownClass(cls):
        cls.unit.stop()

    def frame(self, status, gpio, device, seqno):
        return self.unit.frame("--gpio", gpio, "--item", "1,1,0,4,u16:%d" % status,
                               seqno=seqno, device=device)

    def web_log(self, tag):
        with open(os.path.join(self.unit.work, "device-web-%s.log" % tag)) as f:
            return f.read()

    def leds(self, seconds=1.2):
        """The values each output took over a while (a blinking one takes both)."""
        seen = {name: set() for name in ("green", "yellow", "red", "buzzer")}
        end = time.time() + seconds
        while time.time() < end:
            for name in seen:
                seen[name].add(self.unit.gpio(name))
            time.sleep(0.05)
        return seen

    def stranger_sends(self, first_seqno, count=4):
        """B's frames: red and buzzer on, status 66; each is dropped."""
        u = self.unit
        before = u.kiosk_output().count(STRANGER)
        for n in range(count):
            u.send(self.frame(66, "0,0,1,1", DEVICE_B, first_seqno + n), DEVICE_B)
            time.sleep(0.1)
        u.wait_for(lambda: u.kiosk_output().count(STRANGER) >= before + count, 5,
                   "%d frames of %s dropped" % (count, DEVICE_B))

    def test_only_the_pinned_device_is_heard(self):
        u = self.unit
        u.wait_for(lambda: "Device pinned to 10.9.0.1" in u.kiosk_output(), 10, "the pin logged")
        status_before = u.read_registers(1, 1)

        # -- before the first contact ------------------------------------------
        self.stranger_sends(1)
        out = u.kiosk_output()
        self.assertNotIn("First frame", out)
        self.assertEqual(u.read_registers(1, 1), status_before)
        seen = self.leds()
        # Start-up pattern: the three LEDs blink slowly, the buzzer is off.
        self.assertEqual(seen["buzzer"], {"0"})
        self.assertEqual(seen["red"], {"0", "1"})

        # -- the pinned device attaches ----------------------------------------
        for n in range(1, 4):
            u.send(self.frame(7, "1,0,0,0", DEVICE_A, n), DEVICE_A)
            time.sleep(0.1)
        u.wait_for(lambda: "First frame, try to connect to the web server at 10.9.0.1"
                   in u.kiosk_output(), 10, "first contact of the pinned device")
        u.wait_for(lambda: u.read_registers(1, 1) == [7], 10, "status register = 7")
        u.wait_for(lambda: '"GET /index.html HTTP/1.1" 200' in self.web_log("a"), 20,
                   "the kiosk loading http://10.9.0.1/index.html")

        # -- while attached: B with A's next sequence numbers ------------------
        self.stranger_sends(4)
        self.assertEqual(u.read_registers(1, 1), [7])
        seen = self.leds(0.6)
        self.assertEqual((seen["green"], seen["red"], seen["buzzer"]), ({"1"}, {"0"}, {"0"}))

        # -- after the silence window ------------------------------------------
        u.wait_for(lambda: "No packet received within the 2s window, unregister 10.9.0.1"
                   in u.kiosk_output(), 10, "the pinned device detached")
        self.stranger_sends(1)
        self.stranger_sends(5)
        out = u.kiosk_output()
        self.assertEqual(out.count("First frame"), 1)
        self.assertEqual(u.read_registers(1, 1), [7])
        seen = self.leds()
        # Lost link: the three LEDs blink fast; B's buzzer never sounded.
        self.assertEqual(seen["buzzer"], {"0"})
        self.assertEqual(seen["red"], {"0", "1"})
        # B's web server never saw the kiosk.
        self.assertNotIn("GET ", self.web_log("b"))


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--keep", action="store_true", help="keep the work directory")
    ARGS, rest = parser.parse_known_args()
    unitenv.ensure_private_netns(sys.argv)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
