#!/usr/bin/env python3
"""Across the system boundary, on 127.0.0.1.

1. The Windows tarnlink.exe dump, under Wine and through the Windows DLL,
   receives what the Linux tarnlink send sends through the Linux tarnlink
   sim.
2. The Windows tarnlink.exe sim, under Wine, serves the Linux tool: what the
   Linux send transmits comes back to the Linux dump.

    cross_system.py LINUX_TOOL WINDOWS_TOOL WINE
"""
import os
import re
import subprocess
import sys
import threading
import time
from typing import List, Optional

SENT = ["123#DEADBEEF", "12345678#11.22.33", "7FF#R", "456##1AABBCCDD"]
ECHOED = ["ch1 123#DEADBEEF", "ch1 12345678#112233", "ch1 7FF#R",
          "ch1 456##1AABBCCDD"]


class Proc:
    """A process whose output is collected by a thread as it comes. Every one
    is listed, so that main ends those still running, also on failure."""

    started: List["Proc"] = []

    def __init__(self, args: List[str]) -> None:
        self.args = args
        self.p = subprocess.Popen(args, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, text=True)
        Proc.started.append(self)
        self.out = ""
        self.lock = threading.Lock()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self) -> None:
        assert self.p.stdout is not None
        for line in self.p.stdout:
            with self.lock:
                self.out += line

    def text(self) -> str:
        with self.lock:
            return self.out

    def wait_for(self, pattern: str, seconds: float) -> Optional[re.Match]:
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            m = re.search(pattern, self.text())
            if m:
                return m
            if self.p.poll() is not None:
                self.reader.join(1)
                return re.search(pattern, self.text())
            time.sleep(0.05)
        return None

    def finish(self, seconds: float) -> Optional[int]:
        try:
            code = self.p.wait(seconds)
        except subprocess.TimeoutExpired:
            self.p.kill()
            self.p.wait()
            code = None
        self.reader.join(2)
        return code


def frames(text: str) -> List[str]:
    """The frames of candump -L lines, without their time stamps."""
    return re.findall(r"^\(\d+\.\d+\) (ch\d+ \S+)$", text, re.M)


def check(name: str, ok: bool, detail: str) -> bool:
    print(f"{'ok' if ok else 'FAILED'}: {name}")
    if not ok:
        print(detail)
    return ok


def port_of(sim: Proc) -> str:
    m = sim.wait_for(r"listening on 127\.0\.0\.1:(\d+)", 30)
    return m.group(1) if m else ""


def run(linux: str, windows: List[str]) -> bool:
    good = True
    # 1. Linux simulator and sender, Windows dump.
    sim = Proc([linux, "sim", "--listen", "0", "--echo", "-v"])
    port = port_of(sim)
    dump = Proc(windows + ["dump", "-L", "--port", port, "-n",
                           str(len(SENT)), "-c", "1"])
    connected = sim.wait_for(r"sim: connected", 60) is not None
    send = subprocess.run([linux, "send", "-c", "1", "--port", port] + SENT,
                          capture_output=True, text=True, timeout=30)
    code = dump.finish(30)
    sim.p.send_signal(2)
    sim.finish(10)
    good &= check("tarnlink.exe dump hears the Linux send via tarnlink sim",
                  connected and send.returncode == 0 and code == 0
                  and frames(dump.text()) == ECHOED,
                  f"send: {send.stderr}\ndump ({code}):\n{dump.text()}\n"
                  f"sim:\n{sim.text()}")
    # 2. Windows simulator, Linux dump and sender.
    sim = Proc(windows + ["sim", "--listen", "0", "--echo", "-v",
                          "--duration", "60"])
    port = port_of(sim)
    dump = Proc([linux, "dump", "-L", "--port", port, "-n", str(len(SENT)),
                 "-c", "1"])
    connected = sim.wait_for(r"sim: connected", 30) is not None
    send = subprocess.run([linux, "send", "-c", "1", "--port", port] + SENT,
                          capture_output=True, text=True, timeout=30)
    code = dump.finish(30)
    # SIGINT reaches the Windows program as Ctrl-C, through its console
    # control handler: it stops and prints its summary.
    sim.p.send_signal(2)
    stopped = sim.finish(15)
    good &= check("tarnlink.exe sim stops on Ctrl-C with its summary",
                  stopped == 0 and "tarnlink sim: frames in" in sim.text(),
                  f"sim ({stopped}):\n{sim.text()}")
    good &= check("tarnlink.exe sim serves the Linux dump and send",
                  connected and send.returncode == 0 and code == 0
                  and frames(dump.text()) == ECHOED,
                  f"send: {send.stderr}\ndump ({code}):\n{dump.text()}\n"
                  f"sim:\n{sim.text()}")
    return bool(good)


def main() -> int:
    if len(sys.argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    linux, exe, wine = sys.argv[1:]
    os.environ.setdefault("WINEDEBUG", "-all")
    try:
        return 0 if run(linux, [wine, exe]) else 1
    finally:
        for proc in Proc.started:
            if proc.p.poll() is None:
                proc.p.kill()
                proc.p.wait()


if __name__ == "__main__":
    sys.exit(main())
