"""`tarnlink serve` under load: frames/s from the simulator at full speed to
1, 10 and 50 raw-mode socketcand clients, the server's CPU per frame, and the
latency it adds over `tarnlink dump`.

    /usr/bin/python3 bench/serve_bench.py [--build DIR] [--seconds S]

Clients are raw sockets drained with select; a frame is counted by its '<'
(no other byte of a frame message is one)."""
import argparse
import os
import re
import select
import signal
import socket
import subprocess
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
TICK = os.sysconf("SC_CLK_TCK")


def start(tool, args, pattern):
    p = subprocess.Popen([str(tool), *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, text=True)
    m = re.search(pattern, p.stdout.readline())
    if m is None:
        stop(p)
        raise RuntimeError("%s did not start" % args[0])
    return p, int(m.group(1))


def stop(p):
    if p.poll() is None:
        p.send_signal(signal.SIGTERM)
        try:
            p.wait(5)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def connect(port, bus="ch0"):
    s = socket.create_connection(("127.0.0.1", port))
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
    for send, expect in ((None, b"< hi >"), ("< open %s >" % bus, b"< ok >"), ("< rawmode >", b"< ok >")):
        if send:
            s.sendall(send.encode())
        got = s.recv(len(expect))
        if got != expect:
            raise RuntimeError("handshake: %r" % got)
    return s


def report(serve):
    """SIGUSR1, then (frames the driver received on ch0, frames dropped for clients)."""
    serve.send_signal(signal.SIGUSR1)
    received = dropped = 0
    clients = None
    while clients is None or clients > 0:
        line = serve.stdout.readline()
        m = re.match(r"serve: ch0: frames CAN ([\d,]+)", line)
        if m:
            received = int(m.group(1).replace(",", ""))
        m = re.match(r"serve: (\d+) clients connected", line)
        if m:
            clients = int(m.group(1))
        m = re.search(r"dropped ([\d,]+),", line)
        if m and line.startswith("serve: client"):
            dropped += int(m.group(1).replace(",", ""))
            clients -= 1
    return received, dropped


def fan_out(tool, serve, clients, seconds):
    serve_port, serve_pid = serve.port, serve.pid
    socks = [connect(serve_port) for _ in range(clients)]
    counts = {s: 0 for s in socks}
    time.sleep(0.3)  # past the frames held after the mode switch
    for s in socks:  # drain what arrived during the set-up
        s.setblocking(False)
        try:
            while s.recv(1 << 20):
                pass
        except BlockingIOError:
            pass
    received0, dropped0 = report(serve)
    cpu0, own0, t0 = cpu_seconds(serve_pid), time.process_time(), time.monotonic()
    while time.monotonic() - t0 < seconds:
        ready, _, _ = select.select(socks, [], [], 0.1)
        for s in ready:
            data = s.recv(1 << 20)
            counts[s] += data.count(b"<")
    elapsed = time.monotonic() - t0
    cpu, own = cpu_seconds(serve_pid) - cpu0, time.process_time() - own0
    received, dropped = report(serve)
    for s in socks:
        s.close()
    total = sum(counts.values())
    return {
        "clients": clients,
        "driver": (received - received0) / elapsed,
        "dropped": (dropped - dropped0) / max(received - received0, 1) / clients,
        "per_client": min(counts.values()) / elapsed,
        "total": total / elapsed,
        "cpu_us_per_frame": cpu * 1e6 / max(total, 1),
        "server_cpu": cpu / elapsed,
        "reader_cpu": own / elapsed,
    }


def percentiles(values):
    values = sorted(values)
    return values[len(values) // 2] * 1e6, values[int(len(values) * 0.99)] * 1e6


def serve_latency(serve_port, seconds):
    s = connect(serve_port)
    lat, buf = [], b""
    t0 = time.monotonic()
    while time.monotonic() - t0 < seconds:
        ready, _, _ = select.select([s], [], [], 0.1)
        if not ready:
            continue
        data = s.recv(65536)
        now = time.time()
        buf += data
        *whole, buf = buf.split(b">")
        for m in whole:
            parts = m.split()
            if len(parts) >= 4 and parts[1] == b"frame":
                lat.append(now - float(parts[3]))
    s.close()
    return percentiles(lat[100:])


def dump_latency(tool, gateway_port, seconds):
    p = subprocess.Popen([str(tool), "dump", "-L", "-q", "--port", str(gateway_port), "--duration", str(seconds)],
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, bufsize=0)
    lat, buf = [], b""
    while True:
        data = p.stdout.read1(65536) if hasattr(p.stdout, "read1") else os.read(p.stdout.fileno(), 65536)
        if not data:
            break
        now = time.time()
        buf += data
        *whole, buf = buf.split(b"\n")
        for line in whole:
            if line.startswith(b"("):
                lat.append(now - float(line[1:line.index(b")")]))
    p.wait()
    return percentiles(lat[100:])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=str(REPO / "build"))
    ap.add_argument("--seconds", type=float, default=4)
    a = ap.parse_args()
    tool = Path(a.build) / "tools" / "cli" / "tarnlink"

    print("fan-out: the simulator generating 8-byte CAN frames on ch0 as fast as it can")
    print("clients  driver frames/s  frames/s each  frames/s total  dropped  server CPU/frame  server CPU  reader CPU")
    sim, port = start(tool, ["sim", "--listen", "0", "--channels", "1", "--gen", "0"], r":(\d+)")
    serve, serve_port = start(tool, ["serve", "--port", str(port), "--listen", "127.0.0.1:0", "--no-beacon", "-q",
                                     "--max-clients", "64"], r"127\.0\.0\.1:(\d+)")
    serve.port = serve_port
    try:
        for n in (1, 10, 50):
            r = fan_out(tool, serve, n, a.seconds)
            print("%7d  %15.0f  %13.0f  %14.0f  %6.1f%%  %13.2f us  %9.0f%%  %9.0f%%" % (
                n, r["driver"], r["per_client"], r["total"], 100 * r["dropped"], r["cpu_us_per_frame"],
                100 * r["server_cpu"], 100 * r["reader_cpu"]))
    finally:
        stop(serve)
        stop(sim)

    print("latency at 1,000 frames/s, from the driver's hand-over to the reader (us)")
    sim, port = start(tool, ["sim", "--listen", "0", "--channels", "1", "--gen", "1000"], r":(\d+)")
    try:
        d50, d99 = dump_latency(tool, port, a.seconds)
        serve, serve_port = start(tool, ["serve", "--port", str(port), "--listen", "127.0.0.1:0", "--no-beacon", "-q"],
                                  r"127\.0\.0\.1:(\d+)")
        try:
            s50, s99 = serve_latency(serve_port, a.seconds)
        finally:
            stop(serve)
    finally:
        stop(sim)
    print("tarnlink dump -L  p50 %8.0f  p99 %8.0f" % (d50, d99))
    print("tarnlink serve    p50 %8.0f  p99 %8.0f" % (s50, s99))
    print("added             p50 %8.0f  p99 %8.0f" % (s50 - d50, s99 - d99))


if __name__ == "__main__":
    main()
