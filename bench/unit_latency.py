#!/usr/bin/python3
"""Latency from a Core frame sent to the new value readable by a Modbus master.

Runs a whole unit (tessalview, plinthd, the shipped scripts) in a private
network namespace, sends N frames each carrying a new status value, and for
each one polls the register over one Modbus TCP connection until the value
appears. Prints the median and the 99th percentile, the time spent inside
mbserverupdate.sh (measured by a wrapper around it), and as baselines from the
same run the bare Modbus read round trip and a direct run of the update script.

    sudo bench/unit_latency.py --build build [--frames 200]
"""
import argparse
import os
import socket
import statistics
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "system"))
import unitenv  # noqa: E402
from unitenv import Unit  # noqa: E402


def percentile(values, p):
    ordered = sorted(values)
    k = min(len(ordered) - 1, max(0, int(round(p / 100.0 * len(ordered) + 0.5)) - 1))
    return ordered[k]


class Master:
    def __init__(self):
        self.sock = socket.create_connection(("127.0.0.1", 502), timeout=2)
        self.tid = 0

    def read(self, address, count=1):
        self.tid = (self.tid + 1) & 0xFFFF
        self.sock.sendall(struct.pack(">HHHBBHH", self.tid, 0, 6, 1, 3, address, count))
        head = Unit._recv(self.sock, 9)
        body = Unit._recv(self.sock, head[8])
        return list(struct.unpack(">%dH" % count, body))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--frames", type=int, default=200)
    args = parser.parse_args()
    unitenv.ensure_private_netns(sys.argv)

    unit = Unit(args.build, udp_timeout=10)
    try:
        unit.start(update_script_wrapper=True)
        # Attach first; then one frame per measurement.
        unit.send(unit.frame("--devinfo", "1,1,0,1,0,1,1,en", "--item", "1,1,0,4,u16:60000"))
        unit.wait_for(lambda: unit.read_registers(1, 1) == [60000], 30, "first value")
        times_file = os.path.join(unit.work, "update-times.txt")
        os.unlink(times_file)

        master = Master()
        reads = []
        for _ in range(50):
            t0 = time.perf_counter()
            master.read(1)
            reads.append(time.perf_counter() - t0)

        latencies = []
        for i in range(1, args.frames + 1):
            data = unit.frame("--item", "1,1,0,4,u16:%d" % i)
            t0 = time.perf_counter()
            unit.send(data)
            while master.read(1) != [i]:
                if time.perf_counter() - t0 > 10:
                    raise SystemExit("value %d never arrived" % i)
            latencies.append(time.perf_counter() - t0)

        with open(times_file) as f:
            spans = [(int(b) - int(a)) / 1e9 for a, b in (line.split() for line in f if line.strip())]

        direct = []
        env = dict(unit.env)
        doc = '{"cmd":"setconfig","data":[{"address":1,"values":[61000]}]}'
        script = os.path.join(unitenv.SOURCE_DIR, "scripts", "mbserverupdate.sh")
        for _ in range(20):
            t0 = time.perf_counter()
            subprocess.run([script, doc], env=env, check=False,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            direct.append(time.perf_counter() - t0)

        ms = lambda s: "%.2f ms" % (s * 1000)
        print("frames measured:                %d" % len(latencies))
        print("frame -> register readable:     median %s, p99 %s, max %s" % (
            ms(statistics.median(latencies)), ms(percentile(latencies, 99)), ms(max(latencies))))
        print("inside mbserverupdate.sh:       median %s over %d runs" % (
            ms(statistics.median(spans)), len(spans)))
        print("share spent in the script:      %.0f %% of the median latency" % (
            100.0 * statistics.median(spans) / statistics.median(latencies)))
        print("baseline, Modbus read alone:    median %s" % ms(statistics.median(reads)))
        print("baseline, update script alone:  median %s" % ms(statistics.median(direct)))
    finally:
        unit.stop()


if __name__ == "__main__":
    main()
