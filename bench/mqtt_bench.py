#!/usr/bin/python3
"""`tarnlink serve --mqtt`: CPU per frame with 1, 10 and 100 simulated
gateways, loss below the queue limit, and frames/s through a mosquitto
broker to a subscriber (mosquitto_sub) with QoS 0 and 1 in both payloads.

    bench/mqtt_bench.py [--build DIR] [--seconds S] [--quick]

Everything runs on 127.0.0.1 and is ended by its process id."""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "mqtt"))
import conftest  # noqa: E402
from conftest import Broker, Procs, Serve, Sim, Subscriber, wait_until  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid: int) -> float:
    fields = Path("/proc/%d/stat" % pid).read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def sim_frames_out(sim: Sim) -> int:
    sim.command("quit")
    sim.proc.wait(30)
    return sum(int(x.split("frames out ")[1].split(",")[0]) for x in sim.lines("tarnlink sim: frames in"))


def fleet(procs: Procs, gateways: int, rate: float, seconds: float) -> dict:
    """CPU of serve per frame, and frames lost, with `gateways` gateways."""
    broker = Broker(procs)
    sim = Sim(procs, gateways, "--gen", str(rate))
    stats = Subscriber(broker.port, "f/+/stats")
    serve = Serve(procs, broker.port, {"g%d" % i: p for i, p in enumerate(sim.ports)}, "--mqtt-prefix", "f",
                  "--mqtt-stats", "1")
    wait_until(lambda: len({m.topic for m in stats.on("f/+/stats")}) == gateways, timeout=60, what="all gateways")
    cpu0, t0 = cpu_seconds(serve.proc.pid), time.monotonic()
    n0 = len(stats.messages)
    time.sleep(seconds)
    cpu1, t1 = cpu_seconds(serve.proc.pid), time.monotonic()
    out = sim_frames_out(sim)
    time.sleep(2.5)  # the last batches and one more stats round

    def last():
        latest = {}
        for m in stats.on("f/+/stats"):
            latest[m.topic] = json.loads(m.payload)
        return latest
    wait_until(lambda: sum(s["bridge"]["frames_published"] for s in last().values()) >= out or
               len(stats.messages) > n0 + 6 * gateways, timeout=30)
    latest = last()
    published = sum(s["bridge"]["frames_published"] for s in latest.values())
    queue_drops = sum(c["dropped_can"] + c["dropped_canfd"] for s in latest.values()
                      for c in s["driver"]["channels"])
    stats.close()
    serve.stop()
    broker.stop()
    frames_per_s = gateways * 2 * rate
    return {"gateways": gateways, "frames_per_s": frames_per_s,
            "cpu_us_per_frame": (cpu1 - cpu0) / ((t1 - t0) * frames_per_s) * 1e6,
            "cpu_percent": (cpu1 - cpu0) / (t1 - t0) * 100,
            "sent": out, "published": published, "lost": out - published, "queue_drops": queue_drops}


def through(procs: Procs, qos: int, fmt: str, rate: float, seconds: float) -> dict:
    """Frames/s a mosquitto_sub subscriber receives from one gateway."""
    broker = Broker(procs)
    sim = Sim(procs, 1, "--gen", str(rate))
    out_file = procs.folder / ("sub-%d-%s" % (qos, fmt))
    with open(out_file, "w") as f:
        sub = subprocess.Popen(["mosquitto_sub", "-p", str(broker.port), "-q", str(qos), "-N", "-t", "t/#"],
                               stdout=f)
    procs.running.append(sub)
    serve = Serve(procs, broker.port, {"gw": sim.ports[0]}, "--mqtt-prefix", "t", "--mqtt-format", fmt,
                  "--mqtt-qos", str(qos), "--mqtt-stats", "0")

    def frames() -> int:
        text = out_file.read_bytes()
        return text.count(b"\n") if fmt == "candump" else text.count(b'"id":')
    wait_until(lambda: frames() > 0, timeout=30, what="the first frames")
    n0, t0, c0 = frames(), time.monotonic(), cpu_seconds(serve.proc.pid)
    time.sleep(seconds)
    n1, t1, c1 = frames(), time.monotonic(), cpu_seconds(serve.proc.pid)
    serve.stop()
    procs.end(sub)
    sim_frames_out(sim)
    broker.stop()
    received = (n1 - n0) / (t1 - t0)
    return {"qos": qos, "format": fmt, "offered_per_s": 2 * rate, "received_per_s": received,
            "serve_cpu_us_per_frame": (c1 - c0) / max(1, n1 - n0) * 1e6}


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default=str(Path(__file__).resolve().parents[1] / "build"))
    ap.add_argument("--seconds", type=float, default=10)
    ap.add_argument("--quick", action="store_true")
    a = ap.parse_args()
    conftest.TOOL = Path(a.build) / "tools" / "cli" / "tarnlink"
    seconds = 3 if a.quick else a.seconds
    with tempfile.TemporaryDirectory(prefix="tarnlink-mqtt-bench-") as folder:
        procs = Procs(Path(folder))
        try:
            print("fleet: 10,000 frames/s in all, spread over the gateways (2 channels each), QoS 0, candump")
            for gateways, rate in ((1, 5000), (10, 500), (100, 50)):
                r = fleet(procs, gateways, rate, seconds)
                print("  %3d gateways: serve %.2f us CPU/frame (%.0f%% of a core), sent %d, published %d, "
                      "lost %d, dropped at the queue limit %d" % (
                          gateways, r["cpu_us_per_frame"], r["cpu_percent"], r["sent"], r["published"], r["lost"],
                          r["queue_drops"]))
            print("through the broker to mosquitto_sub, one gateway, 2 channels")
            for qos in (0, 1):
                for fmt in ("candump", "json"):
                    r = through(procs, qos, fmt, 25000, seconds)
                    print("  QoS %d %-7s: offered %d/s, received %.0f frames/s, serve %.2f us CPU/frame" % (
                        qos, fmt, r["offered_per_s"], r["received_per_s"], r["serve_cpu_us_per_frame"]))
        finally:
            procs.end_all()
    return 0


if __name__ == "__main__":
    sys.exit(main())
