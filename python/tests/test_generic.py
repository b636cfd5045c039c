"""What python-can expects of every interface, on a simulator wired like a
bench (`tarnlink sim --bus --wire 0-1`): two buses on cabled channels see
each other's frames and never their own, a third bus on another connection
hands back its own frames when asked to."""
import logging
import subprocess
import threading
import time

import can
import pytest

from tarnlink.interface import _PERIODIC_EXTRA, GatewayCyclicTask
from conftest import LIBDIR, TOOL, recv_all

FRAMES = [
    can.Message(arbitration_id=0x123, data=b"\x01\x02\x03\x04\x05\x06\x07\x08", is_extended_id=False),
    can.Message(arbitration_id=0x1ABCDEF0, data=b"\xff", is_extended_id=True),
    can.Message(arbitration_id=0x7FF, data=b"", is_extended_id=False),
    can.Message(arbitration_id=0x0F0, is_remote_frame=True, dlc=4, is_extended_id=False),
    can.Message(arbitration_id=0x18DAF100, is_remote_frame=True, dlc=8, is_extended_id=True),
    can.Message(arbitration_id=0x200, data=bytes(range(64)), is_fd=True, bitrate_switch=True,
                is_extended_id=False),
    can.Message(arbitration_id=0x1234567, data=bytes(range(100, 148)), is_fd=True, bitrate_switch=True,
                is_extended_id=True),
    can.Message(arbitration_id=0x300, data=b"\xaa\xbb\xcc", is_fd=True, is_extended_id=False),
]


def fields(m: can.Message) -> tuple:
    data = b"" if m.is_remote_frame else bytes(m.data)
    return (m.arbitration_id, m.is_extended_id, m.is_remote_frame, m.is_error_frame, m.is_fd,
            m.bitrate_switch, m.dlc, data)


def msg(aid: int, data: bytes = b"\x01", **kw) -> can.Message:
    return can.Message(arbitration_id=aid, data=data, is_extended_id=False, **kw)


@pytest.mark.parametrize("stamps", ["host", "gateway"])
def test_wired_buses_exchange_every_kind_of_frame_intact(open_bench_bus, stamps):
    a = open_bench_bus(channel=0, timestamps=stamps)
    b = open_bench_bus(channel=1, timestamps=stamps)
    got = []
    for sender, receiver, channel in ((a, b, 1), (b, a, 0)):
        for sent in FRAMES:
            sender.send(sent, timeout=1)
            m = receiver.recv(2)
            assert m is not None, sent
            now = time.time()
            assert fields(m) == fields(sent) and m.channel == channel and m.is_rx
            assert abs(m.timestamp - now) < 0.1
            got.append(m)
    # The sender hears nothing of its own frames.
    assert a.recv(0.05) is None and b.recv(0) is None
    # Stamps with sub-second resolution: fractions, and distinct values.
    assert any(m.timestamp % 1 for m in got) and len({m.timestamp for m in got}) > len(got) // 2


def test_a_thousand_frames_from_a_hundred_threads_all_arrive(open_bench_bus):
    a = open_bench_bus(channel=0)
    b = open_bench_bus(channel=1)
    errors = []

    def send(t: int) -> None:
        try:
            for i in range(10):
                a.send(msg(0x100 + t, bytes([i]), is_fd=t % 2 == 1), timeout=5)
        except can.CanError as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=send, args=(t,)) for t in range(100)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert not errors
    got = recv_all(b, 1000, timeout=30)
    assert len(got) == 1000 and b.recv(0.05) is None
    per_thread = {}
    for m in got:
        per_thread.setdefault(m.arbitration_id - 0x100, []).append(m.data[0])
    # Every frame, once, each thread's in the order it sent them.
    assert per_thread == {t: list(range(10)) for t in range(100)}


def test_filters_on_a_wired_bus(open_bench_bus):
    a = open_bench_bus(channel=0)
    b = open_bench_bus(channel=1, can_filters=[{"can_id": 0x100, "can_mask": 0x7F0, "extended": False},
                                               {"can_id": 0x18DA0000, "can_mask": 0x1FFF0000}])
    sent = [(0x105, False), (0x205, False), (0x105, True), (0x18DAF100, True), (0x10F, False),
            (0x18DB0000, True)]
    for aid, ext in sent:
        a.send(can.Message(arbitration_id=aid, is_extended_id=ext, data=b"\1"))
    got = recv_all(b, 3)
    want = [(0x105, False), (0x18DAF100, True), (0x10F, False)]
    assert [(m.arbitration_id, m.is_extended_id) for m in got] == want
    assert b.recv(0.1) is None


def test_shutdown_twice_and_a_shut_bus_refuses(open_bench_bus):
    a = open_bench_bus(channel=0)
    a.shutdown()
    a.shutdown()
    with pytest.raises(can.CanOperationError):
        a.send(msg(0x1))
    with pytest.raises(can.CanOperationError):
        a.recv(0)


def test_receive_own_messages_on_a_third_bus(open_bench_bus):
    a = open_bench_bus(channel=0)
    b = open_bench_bus(channel=1)
    # Another connection, on channel 0 as well: another node of a's bus.
    c = open_bench_bus(channel=0, index=1, receive_own_messages=True)
    lib, handle = c._lib, c._device.channel_handle(0)

    before = time.time()
    c.send(msg(0x3C, b"\x03\x0c"))
    own = c.recv(1)
    assert fields(own) == fields(msg(0x3C, b"\x03\x0c")) and not own.is_rx and own.channel == 0
    assert before <= own.timestamp <= time.time()
    for other, channel in ((a, 0), (b, 1)):
        m = other.recv(2)
        assert (m.arbitration_id, m.channel, m.is_rx) == (0x3C, channel, True)

    # In order with what arrived before it was sent; frames from the others are rx.
    a.send(msg(0xA1))
    deadline = time.monotonic() + 5
    while lib.VELA_GetReceiveNum(handle, 0) == 0:  # a's frame has reached c's driver
        assert time.monotonic() < deadline
        time.sleep(0.001)
    c.send(msg(0xC2, is_fd=True, bitrate_switch=True))
    got = recv_all(c, 2)
    assert [(m.arbitration_id, m.is_rx) for m in got] == [(0xA1, True), (0xC2, False)]
    assert got[1].is_fd and got[1].bitrate_switch and got[0].timestamp <= got[1].timestamp
    # A recv waiting in another thread gets the bus's own frame at once.
    waiting = []
    t = threading.Thread(target=lambda: waiting.append(c.recv(5)))
    t.start()
    c.send(msg(0xC3))
    t.join(5)
    assert waiting and waiting[0].arbitration_id == 0xC3
    # Without the option (a's default), never its own.
    assert a.recv(0.1).arbitration_id == 0xC2 and a.recv(0.1).arbitration_id == 0xC3
    assert a.recv(0.1) is None


def test_periodic_sends_stop_at_their_duration(open_bench_bus):
    a = open_bench_bus(channel=0)
    b = open_bench_bus(channel=1)
    task = a.send_periodic(msg(0x4D), 0.01, duration=0.15)
    assert not isinstance(task, GatewayCyclicTask)  # a duration is python-can's own thread's
    got = []
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        m = b.recv(0.5)
        if m is None:
            break  # half a second of silence: the task has ended
        got.append(m)
    assert 2 <= len(got) < 100 and time.monotonic() < deadline
    assert a.recv(0) is None


def test_send_periodic_with_every_argument_the_loaded_python_can_passes(open_bench_bus, caplog):
    a = open_bench_bus(channel=0)
    b = open_bench_bus(channel=1)
    # The gateway runs it: heard on the wired channel, not by the sender.
    task = a.send_periodic(msg(0x5E, b"\x5e"), 0.02)
    assert isinstance(task, GatewayCyclicTask)
    assert len(recv_all(b, 3)) == 3
    with caplog.at_level(logging.WARNING, logger="can.tarnlink"):
        task.stop()
    assert not caplog.records
    while b.recv(0.1) is not None:
        pass
    assert a.recv(0) is None

    if "modifier_callback" in _PERIODIC_EXTRA:  # 4.3 and later
        def count_up(m: can.Message) -> None:
            m.data[0] = (m.data[0] + 1) & 0xFF

        task = a.send_periodic(msg(0x6F, b"\x00"), 0.01, modifier_callback=count_up)
        assert not isinstance(task, GatewayCyclicTask)  # the gateway cannot run the callback
        seen = [m.data[0] for m in recv_all(b, 5)]
        task.stop()
        assert len(seen) == 5 and seen == sorted(seen) and seen[0] >= 1
        while b.recv(0.1) is not None:
            pass

    if "autostart" in _PERIODIC_EXTRA:  # 4.5 and later
        for duration in (None, 5.0):  # on the gateway, and in python-can's thread
            task = a.send_periodic(msg(0x70), 0.01, duration=duration, autostart=False)
            assert b.recv(0.2) is None
            task.start()
            assert b.recv(2).arbitration_id == 0x70
            task.stop()
            while b.recv(0.1) is not None:
                pass

    if hasattr(can, "CanProtocol"):  # 4.3 and later
        assert a.protocol == can.CanProtocol.CAN_FD
        assert open_bench_bus(channel=1, index=1, fd=False).protocol == can.CanProtocol.CAN_20


def test_shutdown_warns_of_periodic_frames_it_could_not_stop(start_sim, relay, caplog):
    sim = start_sim("--listen", "0", "--bus")
    link = relay(sim.port)

    def tool(*args: str) -> str:
        return subprocess.run([str(TOOL), "autosend", *args, "--port", str(sim.port)], check=True,
                              capture_output=True, text=True, timeout=20).stdout

    bus = can.Bus(interface="tarnlink", channel=0, host="127.0.0.1", port=link.port, library=str(LIBDIR))
    try:
        bus.send_periodic(msg(0x3A0, b"\xaa"), 0.05)
        assert "#0" in tool("list")
        link.silent.set()  # the link dies without a word
        with caplog.at_level(logging.WARNING, logger="can.tarnlink"):
            bus.shutdown()
    finally:
        bus.shutdown()
    warnings = [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]
    assert len(warnings) == 1
    command = "tarnlink autosend stop -c 0 -i 0 --host 127.0.0.1 --port %d" % link.port
    assert "0x3A0" in warnings[0] and command in warnings[0]
    # Still running on the gateway; the command named stops it.
    assert "#0" in tool("list")
    tool("stop", "-c", "0", "-i", "0")
    assert "#0" not in tool("list")
