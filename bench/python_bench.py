#!/usr/bin/python3
"""Speed of the python-can plugin against `tarnlink sim`, next to python-can's
own ceiling measured in the same run.

    PYTHONPATH=DIR bench/python_bench.py [--build build] [--quick] [--only recv,idle,...]

DIR holds an installed package; without it the package is taken from
python/ of this tree. Another python-can goes first on PYTHONPATH (Debian
13's, unpacked as scripts/python_test.sh does: DIR2/usr/lib/python3/dist-packages).
Figures (--only picks some: recv, sustained, idle, roundtrip):
  ceiling      Bus.recv over a bus whose _recv_internal hands out a freshly
               built can.Message at once, no I/O (keyword arguments, as
               interfaces build them; and positional, the cheapest way).
  recv         Bus.recv while the simulator generates as fast as it can on
               channel 0 (CAN, 8 bytes), in messages/s and as a share of the
               keyword ceiling.
  sustained    a 4-channel gateway at 29,500 frames/s per channel (118,000/s,
               full CAN FD load), CAN FD 64 bytes with BRS, read through
               one bus on all four channels: frames the gateway sent against
               frames received, and overflow error frames.
  idle         process CPU while a recv waits on a two-channel bus that gets
               nothing (one wait on the bus's six queues, key VELA_REF_WAIT;
               a library without the key leaves the bus to poll).
  round trip   send then recv of one frame through the simulator's echo.
"""
import argparse
import os
import re
import statistics
import subprocess
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
if not any(Path(p, "tarnlink").is_dir() for p in sys.path if p):
    sys.path.insert(0, str(REPO / "python"))

import can  # noqa: E402
from can import Message  # noqa: E402

DATA = bytes(range(8))


class CeilingBus(can.BusABC):
    def __init__(self, positional: bool = False, **kwargs):
        self._positional = positional
        super().__init__(channel=0, **kwargs)

    def send(self, msg, timeout=None):
        pass

    def _recv_internal(self, timeout):
        if self._positional:
            return Message(time.time(), 0x123, False, False, False, 0, 8, DATA, False, True, False, False), True
        return Message(timestamp=time.time(), arbitration_id=0x123, is_extended_id=False, dlc=8, data=DATA,
                       channel=0), True


def rate(bus, seconds):
    """Messages per second of wall time, and per second of the reading
    thread's own CPU time (what the machine's other load does not change)."""
    n = 0
    recv = bus.recv
    end = time.perf_counter() + seconds
    start = time.perf_counter()
    cpu = time.thread_time()
    while True:
        for _ in range(1000):
            if recv(1.0) is not None:
                n += 1
        now = time.perf_counter()
        if now >= end:
            return n / (now - start), n / (time.thread_time() - cpu)


class Sim:
    def __init__(self, tool, args):
        self.proc = subprocess.Popen([str(tool), "sim", "--listen", "0", *args], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True)
        self.port = int(re.search(r":(\d+),", self.proc.stdout.readline()).group(1))

    def stop(self):
        """Stops it and returns the frames it sent."""
        self.proc.stdin.write("quit\n")
        self.proc.stdin.flush()
        out = self.proc.stdout.read()
        self.proc.wait()
        m = re.search(r"frames out (\d+)", out)
        return int(m.group(1)) if m else -1


def open_bus(port, lib, **kwargs):
    # The class itself: the same bus can.Bus makes, without needing the entry point.
    from tarnlink.interface import TarnlinkBus
    return TarnlinkBus(host="127.0.0.1", port=port, library=str(lib), **kwargs)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=str(REPO / "build"))
    ap.add_argument("--quick", action="store_true", help="short runs, for a smoke test")
    ap.add_argument("--sustained", type=float, default=60.0, help="seconds of the 118,000 frames/s run")
    ap.add_argument("--only", default="recv,sustained,idle,roundtrip", help="figures to make, comma-separated")
    a = ap.parse_args()
    only = set(a.only.split(","))
    build = Path(a.build)
    tool, lib = build / "tools" / "cli" / "tarnlink", build / "api"
    secs = 1.0 if a.quick else 5.0
    sustained = 5.0 if a.quick else a.sustained

    print("python-can %s (%s), Python %s" % (os.environ.get("TARNLINK_PYTHON_CAN", can.__version__),
                                             os.path.dirname(can.__file__), sys.version.split()[0]))
    if "recv" in only:
        run_recv(tool, lib, secs)
    if "sustained" in only:
        run_sustained(tool, lib, sustained)
    if "idle" in only:
        run_idle(tool, lib, 1.0 if a.quick else 5.0)
    if "roundtrip" in only:
        run_roundtrip(tool, lib, 300 if a.quick else 3000)
    return 0


def run_recv(tool, lib, secs):
    with CeilingBus() as b:
        ceiling = rate(b, secs)
    with CeilingBus(positional=True) as b:
        ceiling_pos = rate(b, secs)
    print("ceiling, keyword Message:      %9.0f messages/s, %9.0f per CPU second" % ceiling)
    print("ceiling, positional Message:   %9.0f messages/s, %9.0f per CPU second" % ceiling_pos)

    sim = Sim(tool, ["--gen", "0", "--gen-channel", "0"])
    bus = open_bus(sim.port, lib, channel=0)
    rate(bus, 0.5)  # warm up: the queue fills
    got = rate(bus, secs)
    bus.shutdown()
    sim.stop()
    print("recv, simulator at full speed: %9.0f messages/s, %9.0f per CPU second" % got)
    print("  share of the keyword ceiling: %.0f %% (wall), %.0f %% (CPU); of the positional: %.0f %%, %.0f %%"
          % (100 * got[0] / ceiling[0], 100 * got[1] / ceiling[1], 100 * got[0] / ceiling_pos[0],
             100 * got[1] / ceiling_pos[1]))


def run_sustained(tool, lib, sustained):

    sim = Sim(tool, ["--channels", "4", "--gen", "29500", "--gen-fd", "--gen-brs", "--gen-len", "64-64"])
    bus = open_bus(sim.port, lib, channel="0,1,2,3", device_type=0x34)
    n = errors = 0
    cpu0 = time.process_time()
    t0 = time.perf_counter()
    end = t0 + sustained
    while time.perf_counter() < end:
        m = bus.recv(0.1)
        if m is not None:
            if m.is_error_frame:
                errors += 1
            else:
                n += 1
    wall = time.perf_counter() - t0
    cpu = time.process_time() - cpu0
    sent = sim.stop()
    while True:
        m = bus.recv(0.5)
        if m is None:
            break
        n += 1
    bus.shutdown()
    print("sustained, 4 x 29,500 frames/s for %.0f s: gateway sent %d, received %d, lost %d, %d error frames, "
          "%.0f %% of a core" % (sustained, sent, n, sent - n, errors, 100 * cpu / wall))


def run_idle(tool, lib, secs):

    sim = Sim(tool, [])
    bus = open_bus(sim.port, lib, channel="0,1")
    bus.recv(0.2)
    cpu0, t0 = time.process_time(), time.perf_counter()
    bus.recv(secs)
    print("idle: a recv waiting %.0f s on two channels takes %.2f %% of a core"
          % (secs, 100 * (time.process_time() - cpu0) / (time.perf_counter() - t0)))
    bus.shutdown()
    sim.stop()


def run_roundtrip(tool, lib, count):

    sim = Sim(tool, ["--echo"])
    bus = open_bus(sim.port, lib, channel=0)
    msg = Message(arbitration_id=0x123, data=DATA, is_extended_id=False)
    times = []
    for i in range(count):
        t = time.perf_counter()
        bus.send(msg)
        if bus.recv(1.0) is None:
            continue
        times.append((time.perf_counter() - t) * 1e6)
    bus.shutdown()
    sim.stop()
    times.sort()
    print("echo round trip: p50 %.0f us, p99 %.0f us, max %.0f us (%d frames)"
          % (statistics.median(times), times[int(len(times) * 0.99)], times[-1], len(times)))


if __name__ == "__main__":
    os.environ.setdefault("PYTHONDONTWRITEBYTECODE", "1")
    sys.exit(main())
