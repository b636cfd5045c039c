"""Fixtures: the built libraries and `tarnlink sim` on 127.0.0.1.

TARNLINK_BUILD_DIR names the CMake build folder (default: build/ of the
repository). The package under test is the installed one (scripts/test.sh
installs it into a temporary folder on PYTHONPATH), so that python-can finds
the plugin through its entry point as a user's installation does."""
import os
import re
import select
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Callable, Iterator, List

import can
import pytest

REPO = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("TARNLINK_BUILD_DIR", REPO / "build"))
TOOL = BUILD / "tools" / "cli" / "tarnlink"
LIBDIR = BUILD / "api"


def pytest_report_header(config) -> str:
    version = os.environ.get("TARNLINK_PYTHON_CAN", can.__version__)
    return "python-can %s, imported from %s" % (version, os.path.dirname(can.__file__))


class Sim:
    """One simulator process; `command` types a line on its input."""

    def __init__(self, args: List[str]) -> None:
        self.proc = subprocess.Popen([str(TOOL), "sim", *args], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        line = self.proc.stdout.readline()
        m = re.search(r"127\.0\.0\.1:(\d+)", line)
        if m is None:
            self.stop()
            raise RuntimeError("tarnlink sim did not start: %r" % line)
        self.port = int(m.group(1))

    def command(self, line: str) -> None:
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def stop(self) -> None:
        if self.proc.poll() is None:
            try:
                self.command("quit")
                self.proc.wait(5)
            except (OSError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()
        for f in (self.proc.stdin, self.proc.stdout):
            if f:
                f.close()


@pytest.fixture
def start_sim() -> Iterator:
    sims: List[Sim] = []

    def start(*args: str) -> Sim:
        s = Sim(list(args))
        sims.append(s)
        return s

    yield start
    for s in sims:
        s.stop()


@pytest.fixture
def sim(start_sim) -> Sim:
    """A 2-channel gateway that echoes what it is sent."""
    return start_sim("--listen", "0", "--echo")


def _bus_opener(port: int) -> Iterator[Callable[..., can.BusABC]]:
    buses: List[can.BusABC] = []

    def open_(**kwargs) -> can.BusABC:
        kwargs.setdefault("port", port)
        kwargs.setdefault("library", str(LIBDIR))
        b = can.Bus(interface="tarnlink", host="127.0.0.1", **kwargs)
        buses.append(b)
        return b

    yield open_
    for b in buses:
        b.shutdown()


@pytest.fixture
def open_bus(sim) -> Iterator:
    yield from _bus_opener(sim.port)


@pytest.fixture
def bench(start_sim) -> Sim:
    """A 2-channel gateway wired like a bench: a driver never gets its own
    frame back, and channels 0 and 1 are cabled together."""
    return start_sim("--listen", "0", "--bus", "--wire", "0-1")


@pytest.fixture
def open_bench_bus(bench) -> Iterator:
    yield from _bus_opener(bench.port)


class Relay:
    """A TCP relay between the driver and the gateway that can go silent:
    it then swallows what either side sends and closes nothing, as a link
    whose far end was unplugged."""

    def __init__(self, port: int) -> None:
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.silent = threading.Event()
        self._stop = threading.Event()
        self._socks: List[socket.socket] = [self.listener]
        self._thread = threading.Thread(target=self._run, args=(port,), daemon=True)
        self._thread.start()

    def _run(self, port: int) -> None:
        peers = {}
        while not self._stop.is_set():
            readable, _, _ = select.select(self._socks, [], [], 0.05)
            for s in readable:
                if s is self.listener:
                    down, _ = s.accept()
                    up = socket.create_connection(("127.0.0.1", port), timeout=5)
                    peers[down], peers[up] = up, down
                    self._socks += [down, up]
                    continue
                data = s.recv(65536)
                if not data:
                    for end in (s, peers.pop(s)):
                        peers.pop(end, None)
                        self._socks.remove(end)
                        end.close()
                elif not self.silent.is_set():
                    peers[s].sendall(data)

    def close(self) -> None:
        self._stop.set()
        self._thread.join(5)
        for s in self._socks:
            s.close()


@pytest.fixture
def relay() -> Iterator[Callable[[int], Relay]]:
    relays: List[Relay] = []

    def make(port: int) -> Relay:
        r = Relay(port)
        relays.append(r)
        return r

    yield make
    for r in relays:
        r.close()


def recv_all(bus: can.BusABC, count: int, timeout: float = 5.0) -> List[can.Message]:
    """`count` messages, or fewer when `timeout` passes first."""
    out = []
    end = time.monotonic() + timeout
    while len(out) < count:
        m = bus.recv(max(0.0, end - time.monotonic()))
        if m is None:
            break
        out.append(m)
    return out


def python() -> str:
    return sys.executable


def under_ci() -> bool:
    return os.environ.get("CI", "") in ("true", "1")


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    """Under CI=true a test that cannot run here (a skip) fails with its reason:
    CI never passes what it did not run. A case that does not apply belongs out
    of the parametrisation, not in a skip."""
    outcome = yield
    report = outcome.get_result()
    if report.skipped and under_ci() and not hasattr(report, "wasxfail"):
        reason = report.longrepr[2] if isinstance(report.longrepr, tuple) else str(report.longrepr)
        report.outcome = "failed"
        report.longrepr = "cannot run here (a failure under CI): %s" % reason
