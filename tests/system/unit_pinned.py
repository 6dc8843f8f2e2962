#!/usr/bin/python3
"""A unit pinned to its device hears no one else.

The unit is pinned to DEVICE_A ([Network] DeviceAddress). A stranger, a host
of its own (a second network namespace joined to the unit's segment by the
far end of its cable), sends frames with a correct checksum and the next
sequence number: before the first contact, while A is attached and after A's
silence window. Each time they are dropped with the unknown-sender line, and
the LEDs (the fake sysfs files), the Modbus registers (read by a Modbus TCP
master from plinthd) and the page (the device web servers' request logs) do
not change.

    unit_pinned.py --build BUILD_DIR
"""
import argparse
import os
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import unitenv  # noqa: E402
from unitenv import BROADCAST, DEVICE_A, Unit  # noqa: E402

ARGS = None
STRANGER_ADDRESS = "10.9.0.3"
# The silence window: long enough for the checks made while the device is
# attached, also under emulation, where the kiosk answers slowly.
SILENCE = 4
STRANGER = "Packet received from an unknown sender (%s, attended 10.9.0.1)" % STRANGER_ADDRESS
SEND = """
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
s.bind((sys.argv[1], 0))
s.sendto(sys.stdin.buffer.read(), (sys.argv[2], 9876))
"""


class StrangerHost:
    """A second network namespace that holds the far end of the unit's
    cable (dev0) with an address of its own on the segment."""

    def __init__(self):
        self.proc = subprocess.Popen(["unshare", "--net", "sleep", "infinity"])
        own = os.readlink("/proc/self/ns/net")
        end = time.time() + 5
        while os.readlink("/proc/%d/ns/net" % self.proc.pid) == own:
            if time.time() > end:
                raise RuntimeError("the stranger's namespace was not made")
            time.sleep(0.02)
        subprocess.run(["ip", "link", "set", "dev0", "netns", str(self.proc.pid)], check=True)
        self.inside(["ip", "link", "set", "lo", "up"])
        self.inside(["ip", "addr", "add", STRANGER_ADDRESS + "/24", "brd", BROADCAST,
                     "dev", "dev0"])
        self.inside(["ip", "link", "set", "dev0", "up"])

    def inside(self, cmd, **kw):
        return subprocess.run(["nsenter", "-t", str(self.proc.pid), "-n"] + cmd, check=True, **kw)

    def send(self, data):
        self.inside([sys.executable, "-c", SEND, STRANGER_ADDRESS, BROADCAST], input=data)

    def close(self):
        self.proc.kill()
        self.proc.wait()


class PinnedDevice(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.unit = Unit(ARGS.build, udp_timeout=SILENCE, keep=ARGS.keep, device_address=DEVICE_A)
        cls.unit.start()
        cls.stranger = StrangerHost()

    @classmethod
    def tearDownClass(cls):
        cls.stranger.close()
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
        """The stranger's frames: red and buzzer on, status 66, the device's
        next sequence numbers; each is dropped."""
        u = self.unit
        before = u.kiosk_output().count(STRANGER)
        for n in range(count):
            self.stranger.send(self.frame(66, "0,0,1,1", DEVICE_A, first_seqno + n))
            time.sleep(0.1)
        u.wait_for(lambda: u.kiosk_output().count(STRANGER) >= before + count, 5,
                   "%d frames of %s dropped" % (count, STRANGER_ADDRESS))

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
        # It speaks every 0.5 s while the kiosk loads its page (slowly under
        # emulation), so that it stays attached until the checks below.
        last = [0]
        quiet = threading.Event()

        def device_speaks():
            while not quiet.is_set():
                last[0] += 1
                u.send(self.frame(7, "1,0,0,0", DEVICE_A, last[0]), DEVICE_A)
                quiet.wait(0.5)

        speaker = threading.Thread(target=device_speaks)
        speaker.start()
        try:
            u.wait_for(lambda: "First frame, try to connect to the web server at 10.9.0.1"
                       in u.kiosk_output(), 10, "first contact of the pinned device")
            u.wait_for(lambda: u.read_registers(1, 1) == [7], 10, "status register = 7")
            u.wait_for(lambda: '"GET /index.html HTTP/1.1" 200' in self.web_log("a"), 30,
                       "the kiosk loading http://10.9.0.1/index.html")
        finally:
            quiet.set()
            speaker.join()

        # -- while attached: the stranger with A's next sequence numbers ---
        self.stranger_sends(last[0] + 1)
        self.assertNotIn("No packet received within", u.kiosk_output())
        self.assertEqual(u.read_registers(1, 1), [7])
        seen = self.leds(0.6)
        self.assertEqual((seen["green"], seen["red"], seen["buzzer"]), ({"1"}, {"0"}, {"0"}))

        # -- after the silence window ------------------------------------------
        detached = "No packet received within the %ds window, unregister 10.9.0.1" % SILENCE
        u.wait_for(lambda: detached in u.kiosk_output(), 10, "the pinned device detached")
        self.stranger_sends(1)
        self.stranger_sends(last[0] + 1)
        out = u.kiosk_output()
        self.assertEqual(out.count("First frame"), 1)
        self.assertEqual(u.read_registers(1, 1), [7])
        seen = self.leds()
        # Lost link: the three LEDs blink fast; the stranger's buzzer never sounded.
        self.assertEqual(seen["buzzer"], {"0"})
        self.assertEqual(seen["red"], {"0", "1"})
        # No other web server saw the kiosk.
        self.assertNotIn("GET ", self.web_log("b"))


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--keep", action="store_true", help="keep the work directory")
    ARGS, rest = parser.parse_known_args()
    unitenv.ensure_private_netns(sys.argv)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
