"""`tarnlink serve --mqtt` against programs nobody here wrote: mosquitto as
the broker, mosquitto_sub and paho as subscribers, python-can's log reader
and tshark reading what a subscriber wrote."""
import json
import os
import shutil
import socket
import subprocess
import time
from collections import defaultdict

import can
import pytest

from conftest import TOOL, WAIT, Broker, Serve, Sim, wait_until


def need(*programs: str) -> None:
    missing = [p for p in programs if shutil.which(p) is None]
    if missing:
        why = "not installed: " + ", ".join(missing) + " (scripts/deps.sh installs them)"
        if os.environ.get("CI") == "true":
            pytest.fail(why)
        pytest.skip(why)


def batches(sub, pattern: str):
    """JSON batches by (gateway, channel), in arrival order."""
    out = defaultdict(list)
    for m in sub.on(pattern):
        b = json.loads(m.payload)
        out[(b["gateway"], b["channel"])].append(b)
    return out


def publish(sub, topic: str, payload: str) -> None:
    sub.client.publish(topic, payload, qos=1).wait_for_publish()


def test_two_gateways_reach_subscribers_in_both_payloads_and_tx_reaches_the_gateway(procs, subscribe):
    need("mosquitto", "mosquitto_sub", "tshark")
    broker = Broker(procs)
    sim = Sim(procs, 2, "--echo", "--gen", "200")
    sub = subscribe(broker.port, "#")
    log = procs.folder / "sub.log"
    with open(log, "w") as out:
        mosq = subprocess.Popen(["mosquitto_sub", "-p", str(broker.port), "-N", "-t", "c/alpha/ch0/rx", "-C", "10"],
                                stdout=out)
    procs.running.append(mosq)
    gateways = {"alpha": sim.ports[0], "beta": sim.ports[1]}
    Serve(procs, broker.port, gateways, "--mqtt-prefix", "c")
    Serve(procs, broker.port, gateways, "--mqtt-prefix", "j", "--mqtt-format", "json")

    # Both gateways, both channels, under their names, in both payloads.
    for prefix in ("c", "j"):
        for name in gateways:
            for ch in (0, 1):
                wait_until(lambda: sub.on("%s/%s/ch%d/rx" % (prefix, name, ch)), what="%s/%s/ch%d" % (prefix, name, ch))
            wait_until(lambda: [m for m in sub.on("%s/%s/status" % (prefix, name)) if m.payload == b"online"])

    # The candump lines of mosquitto_sub's output are a log python-can and tshark read.
    assert mosq.wait(WAIT) == 0
    messages = list(can.CanutilsLogReader(str(log)))
    lines = [x for x in log.read_text().splitlines() if x]
    assert len(messages) == len(lines) >= 10
    assert all(m.channel == "ch0" and m.dlc == 8 and 0x100 <= m.arbitration_id <= 0x1FF for m in messages)
    tshark = subprocess.run(["tshark", "-r", str(log), "-T", "fields", "-e", "can.id"], capture_output=True,
                            text=True, timeout=60, env=dict(os.environ, HOME=str(procs.folder)))
    assert tshark.returncode == 0, tshark.stderr
    assert [int(x) for x in tshark.stdout.split()] == [m.arbitration_id for m in messages]
    # ... and tarnlink play, which sends it to the second gateway.
    play = subprocess.run([str(TOOL), "play", "--port", str(sim.ports[1]), "-t", "-I", str(log)],
                          capture_output=True, text=True, timeout=60)
    assert play.returncode == 0, play.stderr

    # json: the batch numbers run from 0 without a gap on every channel.
    by_channel = batches(sub, "j/+/+/rx")
    assert set(by_channel) == {(n, c) for n in gateways for c in (0, 1)}
    for key, bs in by_channel.items():
        assert [b["seq"] for b in bs] == list(range(len(bs))), key
        assert all(b["version"] == 1 and b["dropped"] == 0 for b in bs)
        assert all(f["flags"] == [] and len(f["data"]) == 16 for b in bs for f in b["frames"])

    # A malformed message sends nothing, not even its good first line, and is reported.
    publish(sub, "c/alpha/ch0/tx", "7E2#11\nnot a frame")
    wait_until(lambda: sub.on("c/alpha/errors"), what="the error report")
    report = json.loads(sub.on("c/alpha/errors")[0].payload)
    assert report["topic"] == "c/alpha/ch0/tx" and "line 2" in report["error"]
    # Frames in either payload reach the gateway, which echoes them back.
    publish(sub, "c/alpha/ch0/tx", "(1700000000.000001) ch0 7E0#1122\n")
    publish(sub, "j/beta/ch1/tx", json.dumps({"frames": [{"id": 0x18DAF1, "flags": ["ext", "fd", "brs"],
                                                          "data": "00112233445566778899AABB"}]}))
    wait_until(lambda: any(b"7E0#1122" in m.payload for m in sub.on("c/alpha/ch0/rx")), what="the echo of 7E0")
    wait_until(lambda: any(b"0018DAF1##1" in m.payload for m in sub.on("c/beta/ch1/rx")), what="the echo on beta")
    assert sim.frames_in() == [1, 1 + len(messages)]


def test_broker_restart_loses_nothing_below_the_buffer(procs, subscribe):
    need("mosquitto")
    # The broker keeps the subscriber's session over its restart, so that
    # every gap a subscriber could see is the bridge's.
    broker = Broker(procs, "allow_anonymous true\npersistence true\npersistence_location %s/\n"
                           "max_queued_messages 0\n" % procs.folder)
    sim = Sim(procs, 1, "--gen", "400")
    sub = subscribe(broker.port, "r/#", qos=1, client_id="tarnlink-restart-test", clean=False)
    serve = Serve(procs, broker.port, {"gw": sim.ports[0]}, "--mqtt-prefix", "r", "--mqtt-format", "json",
                  "--mqtt-qos", "1")
    wait_until(lambda: len(batches(sub, "r/gw/+/rx")[("gw", 0)]) >= 10, what="batches before the restart")
    broker.stop()
    wait_until(lambda: "lost the broker" in serve.log(), what="serve to see the broker go")
    before = max(b["seq"] for b in batches(sub, "r/gw/+/rx")[("gw", 0)])
    time.sleep(1.5)  # the outage: frames keep coming and wait in the buffer
    broker.start()
    wait_until(lambda: max(b["seq"] for b in batches(sub, "r/gw/+/rx")[("gw", 0)]) > before + 150,
               timeout=20, what="the buffered batches after the restart")
    for ch in (0, 1):
        bs = batches(sub, "r/gw/+/rx")[("gw", ch)]
        seqs = sorted({b["seq"] for b in bs})  # QoS 1: a batch may come twice, none may be missing
        assert seqs == list(range(seqs[-1] + 1)), "gap on ch%d" % ch
        assert all(b["dropped"] == 0 for b in bs)
    assert serve.stop() == 0


def test_login_refused_exits_1_and_read_only_sends_nothing(procs, subscribe):
    need("mosquitto", "mosquitto_passwd")
    passwords = procs.folder / "passwords"
    subprocess.run(["mosquitto_passwd", "-c", "-b", str(passwords), "bench", "s3cret"], check=True)
    broker = Broker(procs, "allow_anonymous false\npassword_file %s\n" % passwords)
    sim = Sim(procs, 1, "--echo")

    bad = Serve(procs, broker.port, {"gw": sim.ports[0]},
                env={"TARNLINK_MQTT_USER": "bench", "TARNLINK_MQTT_PASSWORD": "wrong"})
    assert bad.proc.wait(WAIT) == 1
    assert "the broker refused the login: " in bad.log()

    login = procs.folder / "login"
    login.write_text("bench:s3cret\n")
    login.chmod(0o600)
    sub = subscribe(broker.port, "#", auth=("bench", "s3cret"))
    Serve(procs, broker.port, {"gw": sim.ports[0]}, "--mqtt-auth", str(login), "--mqtt-prefix", "ro", "--read-only")
    Serve(procs, broker.port, {"gw": sim.ports[0]}, "--mqtt-auth", str(login), "--mqtt-prefix", "rw")
    for prefix in ("ro", "rw"):
        wait_until(lambda: [m for m in sub.on(prefix + "/gw/status") if m.payload == b"online"], what=prefix)
    publish(sub, "ro/gw/ch0/tx", "123#11")
    # The frame for the writable one passes the broker after the refused one.
    publish(sub, "rw/gw/ch0/tx", "456#22")
    wait_until(lambda: any(b"456#22" in m.payload for m in sub.on("rw/gw/ch0/rx")), what="the echo of 456")
    assert sim.frames_in() == [1]
    assert not any(b"123#11" in m.payload for m in sub.on("+/gw/ch0/rx"))


def test_tls_with_a_certificate_of_the_test(procs, subscribe):
    need("mosquitto", "openssl")
    key, cert = procs.folder / "key.pem", procs.folder / "cert.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-nodes", "-keyout", str(key), "-out", str(cert), "-days", "1", "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=IP:127.0.0.1"], check=True, capture_output=True)
    broker = Broker(procs, "allow_anonymous true\ncertfile %s\nkeyfile %s\n" % (cert, key))
    sim = Sim(procs, 1, "--gen", "100")
    sub = subscribe(broker.port, "#", tls_ca=str(cert))
    serve = Serve(procs, broker.port, {"gw": sim.ports[0]}, "--mqtt-cafile", str(cert),
                  url="mqtts://127.0.0.1:%d" % broker.port)
    wait_until(lambda: sub.on("tarnlink/gw/ch0/rx"), what="frames over TLS")
    assert serve.stop() == 0
    wait_until(lambda: sub.on("tarnlink/gw/status") and sub.on("tarnlink/gw/status")[-1].payload == b"offline",
               what="offline at the end")


def test_paho_sees_the_will_when_serve_dies(procs, subscribe):
    need("mosquitto")
    broker = Broker(procs)
    sim = Sim(procs, 1)
    sub = subscribe(broker.port, "tarnlink/+/status")
    serve = Serve(procs, broker.port, {"gw": sim.ports[0]}, "--mqtt-stats", "0")
    wait_until(lambda: [m for m in sub.on("tarnlink/gw/status") if m.payload == b"online"])
    procs.end(serve.proc, 9)
    wait_until(lambda: sub.on("tarnlink/gw/status")[-1].payload == b"offline", timeout=WAIT * 2,
               what="the last will")
    late = subscribe(broker.port, "tarnlink/gw/status")
    wait_until(lambda: late.on("tarnlink/gw/status"), what="the retained status")
    assert late.on("tarnlink/gw/status")[0].payload == b"offline" and late.on("tarnlink/gw/status")[0].retain


def test_a_gateway_that_is_down_is_reported_and_holds_nobody_up(procs, subscribe):
    need("mosquitto")
    broker = Broker(procs)
    sim = Sim(procs, 1, "--gen", "100")
    sub = subscribe(broker.port, "tarnlink/#")
    with socket.socket() as s:  # a port with nobody behind it
        s.bind(("127.0.0.1", 0))
        dead = s.getsockname()[1]
    serve = Serve(procs, broker.port, {"down": dead, "up": sim.ports[0]})
    wait_until(lambda: sub.on("tarnlink/up/ch1/rx"), what="the reachable gateway's frames")
    wait_until(lambda: [m for m in sub.on("tarnlink/down/status") if m.payload == b"offline"], what="down reported")
    assert "gateway 'down' at 127.0.0.1:%d over TCP unreachable" % dead in serve.log()
    assert not sub.on("tarnlink/down/+/rx")
