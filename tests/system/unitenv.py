"""A whole unit on one machine, for the end-to-end test and the latency benchmark.

Must run as root inside a private network namespace (`unshare --net`): it
creates the unit's device-side interface "eth1" (10.9.0.1/24, broadcast
10.9.0.255) with a second address 10.9.0.2 for a second device, a fake root
with sysfs files under TESSAL_ROOT, a private D-Bus system bus, an Xvfb
screen, the device web servers on port 80, and starts tessalview, which
starts plinthd through the shipped scripts. Frames are built by tupsend and
sent from a chosen device address.
"""
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BROADCAST = "10.9.0.255"
DEVICE_A = "10.9.0.1"
DEVICE_B = "10.9.0.2"
PINS = {"green": 224, "yellow": 225, "red": 228, "buzzer": 230}


def ensure_private_netns(argv):
    """Re-runs the calling script in a private network namespace (root only)."""
    if os.geteuid() != 0:
        print("SKIP: needs root for a private network namespace and port 80")
        sys.exit(77)
    if os.environ.get("TESSAL_UNIT_NETNS") != "1":
        env = dict(os.environ, TESSAL_UNIT_NETNS="1")
        os.execvpe("unshare", ["unshare", "--net", sys.executable] + argv, env)


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, **kw)


class Unit:
    def __init__(self, build_dir, udp_timeout=3, keep=False, modbus_map=None, www=None,
                 device_address="", modbus_clients=10):
        self.build = os.path.abspath(build_dir)
        self.modbus_map = modbus_map or os.path.join(SOURCE_DIR, "deploy/etc/modbus.map")
        self.www = www or os.path.join(SOURCE_DIR, "demo/www")
        self.work = tempfile.mkdtemp(prefix="tessal-unit-")
        self.root = os.path.join(self.work, "root")
        self.udp_timeout = udp_timeout
        self.device_address = device_address
        # plinthd admits this many masters and closes the idlest beyond it
        self.modbus_clients = modbus_clients
        self.keep = keep
        self.procs = []
        self.seq = {}
        self.env = dict(os.environ)
        self.bus_pid = None
        self.display = None

    # ----------------------------------------------------------------- setup
    def start(self, update_script_wrapper=False):
        self._network()
        self._fake_root()
        self._scripts(update_script_wrapper)
        self._ini()
        self._bus()
        self._screen()
        self.web_a = self._device_web(DEVICE_A, "a")
        self.web_b = self._device_web(DEVICE_B, "b")
        self.kiosk_log = open(os.path.join(self.work, "tessalview.log"), "wb")
        self.start_kiosk()

    def start_kiosk(self):
        """Starts tessalview (again, after it ended: as systemd would); it starts
        plinthd through the scripts. Returns when the daemon serves port 502."""
        self.kiosk = subprocess.Popen(
            [os.path.join(self.build, "src/tessalview/tessalview"), "-D", "K3P test", "-R", "e2e"],
            stdout=self.kiosk_log, stderr=subprocess.STDOUT, env=self.env)
        self.procs.append(self.kiosk)
        self.wait_for(lambda: self.modbus_port_open(), 30, "plinthd listening on 502")

    # ----------------------------------------------------------------- faults
    def plinthd_pids(self):
        """The plinthd processes of this unit (found by their bus address). A
        dying one is no longer listed once it has dropped its memory, which
        can be before its sockets are closed."""
        marker = ("DBUS_SYSTEM_BUS_ADDRESS=" + self.env["DBUS_SYSTEM_BUS_ADDRESS"]).encode()
        pids = []
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                with open("/proc/%s/comm" % pid) as f:
                    if f.read().strip() != "plinthd":
                        continue
                with open("/proc/%s/stat" % pid) as f:
                    if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                        continue
                with open("/proc/%s/environ" % pid, "rb") as f:
                    if marker in f.read().split(b"\0"):
                        pids.append(int(pid))
            except OSError:
                pass
        return pids

    def start_plinthd(self):
        """Starts the daemon by itself, as its service manager would after it
        ended; returns when it owns its bus name."""
        log = open(os.path.join(self.work, "plinthd-restarted.log"), "ab")
        p = subprocess.Popen([self.env["PLINTHD"]], env=self.env, stdin=subprocess.DEVNULL,
                             stdout=log, stderr=subprocess.STDOUT)
        log.close()
        self.procs.append(p)
        self.wait_for(lambda: self.daemon_on_bus(), 15, "plinthd owning its bus name")
        return p

    def daemon_on_bus(self):
        return subprocess.run([self.env["PLINTHCTL"], "wait", "--timeout", "0"], env=self.env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0

    def stop_bus(self):
        """Ends the private system bus (SIGTERM) and waits until it is gone."""
        os.kill(self.bus_pid, signal.SIGTERM)
        self.wait_for(lambda: not os.path.exists("/proc/%d" % self.bus_pid), 10, "bus gone")
        self.bus_pid = None

    def start_bus(self):
        """Starts the private system bus again at the same address."""
        sock = os.path.join(self.work, "system_bus_socket")
        if os.path.exists(sock):
            os.unlink(sock)
        self._bus()

    def _network(self):
        run(["ip", "link", "set", "lo", "up"])
        run(["ip", "link", "add", "eth1", "type", "veth", "peer", "name", "dev0"])
        run(["ip", "addr", "add", DEVICE_A + "/24", "brd", BROADCAST, "dev", "eth1"])
        run(["ip", "addr", "add", DEVICE_B + "/24", "brd", BROADCAST, "dev", "eth1"])
        run(["ip", "link", "set", "eth1", "up"])
        run(["ip", "link", "set", "dev0", "up"])

    def _fake_root(self):
        gpio = os.path.join(self.root, "sys/class/gpio")
        os.makedirs(gpio)
        open(os.path.join(gpio, "export"), "w").close()
        for pin in PINS.values():
            d = os.path.join(gpio, "gpio%d" % pin)
            os.makedirs(d)
            for name, value in (("direction", "in"), ("active_low", "0"), ("value", "0")):
                with open(os.path.join(d, name), "w") as f:
                    f.write(value)
        for path, value in (("sys/class/graphics/fb0/blank", "0"),
                            ("sys/devices/platform/pwm-backlight.0/backlight/pwm-backlight.0/bl_power", "0"),
                            ("sys/class/net/usb0/operstate", "down")):
            full = os.path.join(self.root, path)
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "w") as f:
                f.write(value)
        # The USB drive: a block device mounted on its directory with nosuid,
        # nodev and noexec, as the kiosk reads it from the mount table.
        drive = os.path.join(self.work, "usbmnt")
        os.makedirs(drive)
        os.makedirs(os.path.join(self.root, "sys/dev/block/8:1"))
        os.makedirs(os.path.join(self.root, "proc/self"))
        escaped = drive.replace("\\", "\\134").replace(" ", "\\040")
        with open(os.path.join(self.root, "proc/self/mountinfo"), "w") as f:
            f.write("40 1 8:1 / %s rw,nosuid,nodev,noexec,relatime - vfat /dev/sda1 rw\n"
                    % escaped)

    def _scripts(self, update_wrapper):
        bindir = os.path.join(self.work, "bin")
        os.makedirs(bindir)
        scripts = os.path.join(SOURCE_DIR, "scripts")
        for name in os.listdir(scripts):
            if name.endswith(".sh"):
                os.symlink(os.path.join(scripts, name), os.path.join(bindir, name))
        if update_wrapper:
            # Records how long each register update spends in the script.
            os.unlink(os.path.join(bindir, "mbserverupdate.sh"))
            wrapper = os.path.join(bindir, "mbserverupdate.sh")
            with open(wrapper, "w") as f:
                f.write("#!/bin/sh\nstart=$(date +%%s%%N)\n%s \"$@\"\nrc=$?\n"
                        "echo \"$start $(date +%%s%%N)\" >> %s\nexit $rc\n"
                        % (os.path.join(scripts, "mbserverupdate.sh"),
                           os.path.join(self.work, "update-times.txt")))
            os.chmod(wrapper, 0o755)
        self.env["PLINTHD"] = os.path.join(self.build, "src/plinthd/plinthd")
        self.env["PLINTHCTL"] = os.path.join(self.build, "src/plinthctl/plinthctl")
        self.env["MBSERVER_STATE_DIR"] = os.path.join(self.work, "run")
        self.env["USBREMOUNT_DIR"] = os.path.join(self.work, "usbmnt")
        self.env["TESSAL_ROOT"] = self.root

    def _ini(self):
        etc = os.path.join(self.root, "usr/local/etc")
        os.makedirs(etc)
        with open(os.path.join(etc, "tessal-view.ini"), "w") as f:
            f.write("""[Files]
Directory={w}/usbmnt
ScriptDir={w}/bin
TmpCfgDir={w}/etc

[ModbusServer]
ModbusMap={map}
ModbusMode=tcp
ModbusInterface=0.0.0.0:502:{clients}

[Network]
UdpInterface=eth1
UdpPort=9876
UdpTimeout={t}
FrontInterface=usb0
RetryTimeout=2
DeviceAddress={pin}

[UI]
HideCursor=false
ScreenSaverInterval=600000
ErrorImagePath={src}/deploy/share/images
""".format(w=self.work, src=SOURCE_DIR, t=self.udp_timeout, map=self.modbus_map,
           pin=self.device_address, clients=self.modbus_clients))

    def _bus(self):
        conf = os.path.join(self.work, "bus.conf")
        sock = os.path.join(self.work, "system_bus_socket")
        with open(conf, "w") as f:
            f.write("""<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=%s</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/><allow own="*"/>
    <allow send_type="method_call"/><allow send_type="signal"/>
    <allow send_type="method_return"/><allow send_type="error"/>
    <allow receive_type="method_call"/><allow receive_type="signal"/>
    <allow receive_type="method_return"/><allow receive_type="error"/>
    <allow eavesdrop="true"/>
  </policy>
</busconfig>
""" % sock)
        out = subprocess.check_output(["dbus-daemon", "--config-file=" + conf, "--fork",
                                       "--print-address=1", "--print-pid=1"], text=True)
        self.bus_pid = int(out.split()[1])
        self.env["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=" + sock

    def _screen(self):
        xdg = os.path.join(self.work, "xdg")
        os.makedirs(xdg, mode=0o700)
        self.env["XDG_RUNTIME_DIR"] = xdg
        r, w = os.pipe()
        # -noreset: by default the server starts over when its last client
        # leaves (a killed kiosk), and a client that connects meanwhile (the
        # restarted kiosk) can be accepted but never answered, leaving it
        # in XOpenDisplay for good.
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "800x480x24",
                                 "-nolisten", "tcp", "-noreset"], pass_fds=(w,),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(w)
        self.procs.append(xvfb)
        number = b""
        while not number.endswith(b"\n"):
            chunk = os.read(r, 16)
            if not chunk:
                break
            number += chunk
        os.close(r)
        self.display = ":" + number.decode().strip()
        self.env["DISPLAY"] = self.display
        self.env.pop("QT_QPA_PLATFORM", None)

    def _device_web(self, address, tag):
        with open(os.path.join(self.work, "device-web-%s.log" % tag), "wb") as log:
            p = subprocess.Popen(
                ["/usr/bin/python3", "-W", "ignore::DeprecationWarning",
                 os.path.join(SOURCE_DIR, "demo/device_server.py"),
                 "--bind", address, "--port", "80",
                 "--www", self.www,
                 "--uploads", os.path.join(self.work, "uploads-" + tag),
                 "--status-file", self.status_file(tag)],
                stdout=log, stderr=subprocess.STDOUT)
        self.procs.append(p)
        self.wait_for(lambda: self._connectable(address, 80), 10, "device web server " + address)
        return os.path.join(self.work, "device-web-%s.log" % tag)

    def status_file(self, tag):
        """What the device web server answers at /status (absent: "{}")."""
        return os.path.join(self.work, "status-%s.json" % tag)

    # ----------------------------------------------------------------- frames
    def frame(self, *options, seqno=None, device=DEVICE_A):
        if seqno is None:
            seqno = self.seq.get(device, 0) + 1
        self.seq[device] = seqno
        return subprocess.check_output(
            [os.path.join(self.build, "src/tupsend/tupsend"), "--output", "-", "--format", "raw",
             "--seqno", str(seqno)] + list(options))

    def send(self, data, device=DEVICE_A):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        s.bind((device, 0))
        s.sendto(data, (BROADCAST, 9876))
        s.close()

    # ----------------------------------------------------------------- probes
    @staticmethod
    def _connectable(host, port):
        try:
            with socket.create_connection((host, port), timeout=0.5):
                return True
        except OSError:
            return False

    def modbus_port_open(self):
        return self._connectable("127.0.0.1", 502)

    def read_registers(self, address, count):
        """Reads holding registers with a raw Modbus TCP request (function 3)."""
        with socket.create_connection(("127.0.0.1", 502), timeout=2) as s:
            s.sendall(struct.pack(">HHHBBHH", 1, 0, 6, 1, 3, address, count))
            head = self._recv(s, 9)
            if head[7] != 3:
                raise IOError("Modbus exception %d" % head[8])
            body = self._recv(s, head[8])
            return list(struct.unpack(">%dH" % count, body))

    @staticmethod
    def _recv(s, n):
        data = b""
        while len(data) < n:
            chunk = s.recv(n - len(data))
            if not chunk:
                raise IOError("connection closed")
            data += chunk
        return data

    def gpio(self, name):
        # A plain file stands for the sysfs value: the kiosk truncates and then
        # writes it, so a read in between sees it empty; read again.
        for _ in range(50):
            with open(os.path.join(self.root, "sys/class/gpio/gpio%d/value" % PINS[name])) as f:
                value = f.read().strip()
            if value:
                return value
            time.sleep(0.002)
        return value

    def kiosk_output(self):
        self.kiosk_log.flush()
        with open(os.path.join(self.work, "tessalview.log"), "rb") as f:
            return f.read().decode(errors="replace")

    def screenshot(self, path):
        run(["/usr/bin/import", "-display", self.display, "-window", "root", path])
        return path

    @staticmethod
    def describe_process(pid):
        """What a process is doing, for a failure message: its state, where it
        waits in the kernel, its children and the backtraces of its threads."""
        out = []
        for name in ("status", "wchan", "stack"):
            try:
                with open("/proc/%d/%s" % (pid, name)) as f:
                    text = f.read()
                if name == "status":
                    text = "".join(l for l in text.splitlines(True)
                                   if l.startswith(("State:", "Threads:", "SigBlk:", "SigPnd:", "ShdPnd:")))
                out.append("%s: %s" % (name, text.strip()))
            except OSError as e:
                out.append("%s: %s" % (name, e))
        for cmd in (["ps", "-o", "pid,stat,wchan:24,args", "--ppid", str(pid)],
                    ["gdb", "-batch", "-ex", "thread apply all bt", "-p", str(pid)]):
            try:
                r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                   timeout=60, text=True, errors="replace")
                out.append("$ %s\n%s" % (" ".join(cmd), r.stdout.strip()))
            except (OSError, subprocess.TimeoutExpired) as e:
                out.append("$ %s: %s" % (" ".join(cmd), e))
        return "\n".join(out)

    @staticmethod
    def wait_for(predicate, seconds, what):
        deadline = time.time() + seconds
        while time.time() < deadline:
            try:
                if predicate():
                    return
            except Exception:
                pass
            time.sleep(0.1)
        raise AssertionError("timed out after %ss waiting for %s" % (seconds, what))

    # ----------------------------------------------------------------- teardown
    def _stop_own_daemon(self):
        """Stops the plinthd of this unit only: other tests may run their own."""
        subprocess.run([os.path.join(self.work, "bin/mbserverstop.sh")], env=self.env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
        marker = ("DBUS_SYSTEM_BUS_ADDRESS=" + self.env["DBUS_SYSTEM_BUS_ADDRESS"]).encode()
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                with open("/proc/%s/environ" % pid, "rb") as f:
                    if marker in f.read().split(b"\0"):
                        os.kill(int(pid), signal.SIGKILL)
            except OSError:
                pass

    def stop(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
        for p in self.procs:
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                p.kill()
        self._stop_own_daemon()
        self.kiosk_log.close()
        if self.bus_pid:
            try:
                os.kill(self.bus_pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        if not self.keep:
            shutil.rmtree(self.work, ignore_errors=True)
