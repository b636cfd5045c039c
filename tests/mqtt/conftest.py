"""Fixtures of the MQTT bridge tests: a mosquitto broker, the simulator and
`tarnlink serve` as processes on 127.0.0.1, paho as a subscriber.

Every process is ended by its id and every folder removed when the test
ends, passed or failed. TARNLINK_BUILD_DIR names the build folder (default
build/ of the repository)."""
import os
import re
import signal
import socket
import subprocess
import tempfile
import threading
import time
from pathlib import Path
from typing import Callable, Dict, List, Optional

import paho.mqtt.client as mqtt
import pytest

REPO = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("TARNLINK_BUILD_DIR", REPO / "build"))
TOOL = BUILD / "tools" / "cli" / "tarnlink"
WAIT = 10.0


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(cond: Callable[[], bool], timeout: float = WAIT, what: str = "condition") -> None:
    end = time.monotonic() + timeout
    while not cond():
        if time.monotonic() > end:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.02)


class Procs:
    """Processes of one test, ended by their ids at its end."""

    def __init__(self, folder: Path) -> None:
        self.folder = folder
        self.running: List[subprocess.Popen] = []

    def start(self, args: List[str], name: str, **kw) -> subprocess.Popen:
        out = open(self.folder / (name + ".out"), "w")
        p = subprocess.Popen(args, stdout=out, stderr=subprocess.STDOUT, **kw)
        out.close()
        p.log = self.folder / (name + ".out")
        self.running.append(p)
        return p

    def end(self, p: subprocess.Popen, sig: int = signal.SIGTERM) -> Optional[int]:
        if p.poll() is None:
            os.kill(p.pid, sig)
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                os.kill(p.pid, signal.SIGKILL)
                p.wait()
        if p.stdin:
            p.stdin.close()
        return p.returncode

    def end_all(self) -> None:
        for p in reversed(self.running):
            self.end(p)


class Broker:
    """mosquitto on 127.0.0.1 with a configuration of the test's."""

    def __init__(self, procs: Procs, extra: str = "", port: int = 0) -> None:
        self.procs = procs
        self.port = port or free_port()
        self.conf = procs.folder / ("mosquitto-%d.conf" % self.port)
        # As root, mosquitto would become the user "mosquitto", who cannot read the test's folder.
        user = "user root\n" if os.geteuid() == 0 else ""
        self.conf.write_text("%slistener %d 127.0.0.1\n%s\n" % (user, self.port, extra or "allow_anonymous true"))
        self.start()

    def start(self) -> None:
        self.proc = self.procs.start(["mosquitto", "-c", str(self.conf)], "mosquitto-%d" % self.port)

        def accepting() -> bool:
            assert self.proc.poll() is None, self.proc.log.read_text()
            with socket.socket() as s:
                return s.connect_ex(("127.0.0.1", self.port)) == 0
        wait_until(accepting, what="mosquitto on port %d" % self.port)

    def stop(self) -> None:
        self.procs.end(self.proc)


class Sim:
    """`tarnlink sim --count N`: N gateways, input lines to all of them."""

    def __init__(self, procs: Procs, count: int, *args: str) -> None:
        self.proc = procs.start([str(TOOL), "sim", "--listen", "0", "--count", str(count), *args], "sim",
                                stdin=subprocess.PIPE, text=True)
        wait_until(lambda: len(self.lines("listening on")) == count, what="the simulator")
        self.ports = [int(re.search(r"127\.0\.0\.1:(\d+)", m).group(1)) for m in self.lines("listening on")]

    def lines(self, word: str) -> List[str]:
        return [x for x in self.proc.log.read_text().splitlines() if word in x]

    def command(self, line: str) -> None:
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def frames_in(self) -> List[int]:
        """Frames each gateway received from its drivers, asked for now."""
        before = len(self.lines("sim: frames in"))
        self.command("stats")
        wait_until(lambda: len(self.lines("sim: frames in")) >= before + len(self.ports), what="sim stats")
        last = self.lines("sim: frames in")[before:before + len(self.ports)]
        return [int(re.search(r"frames in (\d+)", x).group(1)) for x in last]


class Subscriber:
    """paho on the broker: every message kept, in arrival order."""

    def __init__(self, port: int, topic: str, qos: int = 0, client_id: str = "", clean: bool = True,
                 tls_ca: str = "", auth=None) -> None:
        self.messages: List[mqtt.MQTTMessage] = []
        self.lock = threading.Lock()
        self.subscribed = threading.Event()
        self.client = mqtt.Client(client_id=client_id, clean_session=clean)
        if tls_ca:
            self.client.tls_set(ca_certs=tls_ca)
        if auth:
            self.client.username_pw_set(*auth)
        self.client.reconnect_delay_set(min_delay=1, max_delay=1)
        self.client.on_connect = lambda c, u, f, rc: c.subscribe(topic, qos)
        self.client.on_subscribe = lambda c, u, mid, q: self.subscribed.set()
        self.client.on_message = self._keep
        self.client.connect("127.0.0.1", port)
        self.client.loop_start()
        assert self.subscribed.wait(WAIT), "paho did not subscribe"

    def _keep(self, client, userdata, msg) -> None:
        with self.lock:
            self.messages.append(msg)

    def on(self, pattern: str) -> List[mqtt.MQTTMessage]:
        with self.lock:
            return [m for m in self.messages if mqtt.topic_matches_sub(pattern, m.topic)]

    def close(self) -> None:
        self.client.loop_stop()
        self.client.disconnect()


class Serve:
    def __init__(self, procs: Procs, broker_port: int, gateways: Dict[str, int], *args: str,
                 env: Optional[Dict[str, str]] = None, url: str = "") -> None:
        cmd = [str(TOOL), "serve", "--mqtt", url or "mqtt://127.0.0.1:%d" % broker_port]
        for name, port in gateways.items():
            cmd += ["--gateway", "%s=tcp://127.0.0.1:%d" % (name, port)]
        full_env = dict(os.environ)
        full_env.update(env or {})
        self.procs = procs
        self.proc = procs.start(cmd + list(args), "serve-%d" % len(procs.running), env=full_env)

    def log(self) -> str:
        return self.proc.log.read_text()

    def stop(self) -> Optional[int]:
        return self.procs.end(self.proc)


@pytest.fixture
def procs():
    with tempfile.TemporaryDirectory(prefix="tarnlink-mqtt-") as folder:
        p = Procs(Path(folder))
        subs: List[Subscriber] = []
        p.subscribers = subs
        try:
            yield p
        finally:
            for s in subs:
                s.close()
            p.end_all()


@pytest.fixture
def subscribe(procs):
    def make(*args, **kw) -> Subscriber:
        s = Subscriber(*args, **kw)
        procs.subscribers.append(s)
        return s
    return make
