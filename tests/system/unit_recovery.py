#!/usr/bin/python3
"""The unit recovering from its own faults without anybody's help.

One whole unit (as in unit_e2e.py) serves live values to a Modbus master.
Then, in turn: plinthd is killed with SIGKILL and started again as its
service manager would, the private system bus is stopped and started again
(plinthd must leave by itself with a failure status, and is started again),
and the kiosk is killed with SIGKILL and started again. Each time the master
must read live values again within 3 frames of the restart, and the first
two faults must not need a kiosk restart.

    unit_recovery.py --build BUILD_DIR
"""
import argparse
import os
import socket
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import unitenv  # noqa: E402
from unitenv import Unit  # noqa: E402

ARGS = None
# A frame every 0.3 s, as in the other unit test; after the third frame of
# a recovery no further frame is sent, so the value can only come from those.
FRAME_GAP = 0.3


class UnitRecovery(unittest.TestCase):
    """One unit, faults in sequence: each step starts from live values."""

    @classmethod
    def setUpClass(cls):
        # A generous watchdog: a daemon restart must not detach the device.
        cls.unit = Unit(ARGS.build, udp_timeout=30, keep=ARGS.keep)
        cls.unit.start()
        cls.status = 100

    @classmethod
    def tearDownClass(cls):
        cls.unit.stop()

    def frame(self, status):
        return self.unit.frame("--devinfo", "1,2,1,3,4,120,0x00C0FFEE,en", "--gpio", "1,0,0,0",
                               "--item", "1,1,0,4,u16:%d" % status)

    def read_status(self):
        try:
            return self.unit.read_registers(1, 1)[0]
        except OSError:
            return None

    def next_status(self):
        UnitRecovery.status += 1
        return UnitRecovery.status

    def assert_live_within_three_frames(self, what):
        """Sends three frames with new values and nothing more: the last one's
        value must become readable."""
        sent = []
        for _ in range(3):
            sent.append(self.next_status())
            self.unit.send(self.frame(sent[-1]))
            time.sleep(FRAME_GAP)
        self.unit.wait_for(lambda: self.read_status() == sent[-1], 15,
                           "%s: status register = %d (last of frames %s)" % (what, sent[-1], sent))

    def assert_live(self):
        value = self.next_status()
        self.unit.send(self.frame(value))
        self.unit.wait_for(lambda: self.read_status() == value, 15, "status register = %d" % value)

    def update_log_lines(self, text):
        return self.unit.kiosk_output().count(text)

    # Methods run in name order; each builds on the previous state.
    def test_1_frames_flow_and_a_master_reads_live_values(self):
        u = self.unit
        # Port 502 opens while the kiosk is still in its start script, before
        # it listens for frames: send until it attaches.
        u.wait_for(lambda: (u.send(self.frame(self.next_status())) or
                            "First frame, try to connect to the web server at 10.9.0.1"
                            in u.kiosk_output()), 20, "first contact")
        for _ in range(3):
            self.assert_live()
        self.assertEqual(len(u.plinthd_pids()), 1)

    def test_2_daemon_killed_and_restarted_serves_again_without_the_kiosk(self):
        u = self.unit
        self.assert_live()
        kiosk_pid = u.kiosk.pid
        (pid,) = u.plinthd_pids()
        os.kill(pid, 9)
        # A dying process drops its memory (and with it the environment that
        # tells it is ours) before it closes its sockets: gone means both.
        u.wait_for(lambda: not u.plinthd_pids() and not u.modbus_port_open(), 10,
                   "plinthd gone and port 502 closed")
        # Frames go on while the daemon is away; the kiosk must not mind.
        for _ in range(3):
            u.send(self.frame(self.next_status()))
            time.sleep(FRAME_GAP)
        self.assertIsNone(u.kiosk.poll())

        u.start_plinthd()
        self.assert_live_within_three_frames("after the daemon restart")
        self.assertIsNone(u.kiosk.poll(), "the kiosk must still run")
        self.assertEqual(u.kiosk.pid, kiosk_pid)
        self.assertEqual(len(u.plinthd_pids()), 1)

    def test_3_bus_restart_daemon_leaves_and_serves_again_when_restarted(self):
        u = self.unit
        self.assert_live()
        kiosk_pid = u.kiosk.pid
        (pid,) = u.plinthd_pids()
        ours = [p for p in u.procs if p.pid == pid]
        if not ours:
            # The daemon was started by the kiosk's script (step 2 did not
            # run, or did not restart it): its exit status would be the
            # script's to see. One started here takes its place, as the
            # service manager would start it.
            os.kill(pid, 9)
            u.wait_for(lambda: not u.plinthd_pids() and not u.modbus_port_open(), 10,
                       "the kiosk's plinthd gone")
            ours = [u.start_plinthd()]
            self.assert_live_within_three_frames("after the daemon was replaced")
            (pid,) = u.plinthd_pids()
        self.assertEqual(ours[0].pid, pid)

        u.stop_bus()
        # The daemon notices, leaves by itself and fails (so it is restarted).
        u.wait_for(lambda: pid not in u.plinthd_pids() and not u.modbus_port_open(), 10,
                   "plinthd leaving after the bus went away")
        self.assertEqual(ours[0].wait(timeout=5), 1, "plinthd's exit status without a bus")
        self.assertFalse(u.modbus_port_open())
        for _ in range(2):
            u.send(self.frame(self.next_status()))
            time.sleep(FRAME_GAP)
        self.assertIsNone(u.kiosk.poll())

        u.start_bus()
        u.start_plinthd()
        self.assert_live_within_three_frames("after the bus restart")
        self.assertIsNone(u.kiosk.poll(), "the kiosk must still run")
        self.assertEqual(u.kiosk.pid, kiosk_pid)

    def test_4_kiosk_killed_and_restarted_serves_again_after_its_start_up(self):
        u = self.unit
        self.assert_live()
        (old_daemon,) = u.plinthd_pids()
        u.kiosk.kill()
        u.kiosk.wait(timeout=10)
        # The daemon outlives the kiosk and still serves the last values.
        self.assertEqual(self.read_status(), UnitRecovery.status)

        first_contacts = u.kiosk_output().count("First frame, try to connect")
        u.start_kiosk()
        # Its start-up replaces the daemon (stop script, then start script).
        fresh = lambda pids: len(pids) == 1 and pids[0] != old_daemon
        try:
            u.wait_for(lambda: fresh(u.plinthd_pids()) and u.modbus_port_open(), 60,
                       "the old plinthd gone and a fresh one serving port 502")
        except AssertionError as e:
            raise AssertionError("%s (old %d, now %s, kiosk exit status %s); kiosk log ends:\n%s\n"
                                 "the kiosk:\n%s" % (
                e, old_daemon, u.plinthd_pids(), u.kiosk.poll(), u.kiosk_output()[-3000:],
                u.describe_process(u.kiosk.pid)))
        # The start-up ends with the device attached again.
        u.wait_for(lambda: (u.send(self.frame(self.next_status())) or
                            u.kiosk_output().count("First frame, try to connect") > first_contacts),
                   30, "the restarted kiosk attaching the device")
        self.assertIsNone(u.kiosk.poll())
        self.assert_live_within_three_frames("after the kiosk restart")

if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--keep", action="store_true", help="keep the work directory")
    ARGS, rest = parser.parse_known_args()
    unitenv.ensure_private_netns(sys.argv)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
