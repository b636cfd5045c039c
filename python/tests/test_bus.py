"""TarnlinkBus through python-can against `tarnlink sim`."""
import os
import signal
import socket
import subprocess
import threading
import time

import can
import pytest

import tarnlink
from tarnlink.interface import GatewayCyclicTask
from conftest import LIBDIR, python, recv_all

KINDS = [
    can.Message(arbitration_id=0x123, data=b"\xde\xad\xbe\xef", is_extended_id=False),
    can.Message(arbitration_id=0x7FF, data=b"", is_extended_id=False),
    can.Message(arbitration_id=0x1ABCDEF0, data=bytes(range(8)), is_extended_id=True),
    can.Message(arbitration_id=0x0F0, is_remote_frame=True, dlc=6, is_extended_id=False),
    can.Message(arbitration_id=0x18DAF100, is_remote_frame=True, dlc=0, is_extended_id=True),
    can.Message(arbitration_id=0x200, data=bytes(range(64)), is_fd=True, is_extended_id=False),
    can.Message(arbitration_id=0x1234567, data=bytes(range(20)), is_fd=True, bitrate_switch=True,
                is_extended_id=True),
]


def same_frame(sent: can.Message, got: can.Message, channel: int = 0) -> None:
    assert (got.arbitration_id, got.is_extended_id, got.is_remote_frame, got.is_fd,
            got.bitrate_switch, got.channel, got.is_error_frame) == \
        (sent.arbitration_id, sent.is_extended_id, sent.is_remote_frame, sent.is_fd,
         sent.bitrate_switch, channel, False)
    assert got.dlc == sent.dlc
    assert bytes(got.data) == (b"" if sent.is_remote_frame else bytes(sent.data))


def test_every_frame_kind_comes_back_through_the_echo(open_bus):
    bus = open_bus(channel=0)
    assert bus.channel_info.startswith("tarnlink TCP 127.0.0.1:")
    for sent in KINDS:
        bus.send(sent, timeout=1)
        got = bus.recv(2)
        assert got is not None, sent
        same_frame(sent, got)
        assert abs(got.timestamp - time.time()) < 5
    # Lengths between the CAN FD sizes are padded up, with zeros.
    bus.send(can.Message(arbitration_id=0x300, data=b"\x11" * 10, is_fd=True, is_extended_id=False))
    got = bus.recv(2)
    assert got.dlc == 12 and bytes(got.data) == b"\x11" * 10 + b"\0\0"
    assert bus.recv(0) is None


def test_several_channels_send_by_msg_channel(open_bus):
    bus = open_bus(channel="0,1")
    # One device, one connection: a second bus of it takes other channels only.
    with pytest.raises(can.CanInitializationError, match="already in use"):
        open_bus(channel=1)
    for ch in (1, 0, 1):
        bus.send(can.Message(arbitration_id=0x100 + ch, data=b"\1", is_extended_id=False, channel=ch))
        got = bus.recv(2)
        assert (got.channel, got.arbitration_id) == (ch, 0x100 + ch)
    with pytest.raises(can.CanOperationError):
        bus.send(can.Message(arbitration_id=1, channel=5, is_extended_id=False))


def test_frames_the_driver_cannot_send_raise(open_bus):
    bus = open_bus(channel=0, fd=False)
    bad = [
        can.Message(arbitration_id=1, is_error_frame=True),
        can.Message(arbitration_id=1, data=bytes(9), is_extended_id=False),
        can.Message(arbitration_id=0x800, data=b"", is_extended_id=False),
        can.Message(arbitration_id=1, data=bytes(8), is_fd=True, is_extended_id=False),
    ]
    for m in bad:
        with pytest.raises(can.CanOperationError):
            bus.send(m)


def test_arrival_order_across_the_can_and_can_fd_queues(open_bus):
    bus = open_bus(channel=[0, 1])
    sent = []
    for i in range(300):
        m = can.Message(arbitration_id=0x100, data=i.to_bytes(2, "big"), is_extended_id=False,
                        channel=(i // 3) % 2, is_fd=i % 2 == 1)
        bus.send(m)
        sent.append(i)
    got = recv_all(bus, len(sent))
    assert [int.from_bytes(m.data[:2], "big") for m in got] == sent
    assert all(a.timestamp <= b.timestamp for a, b in zip(got, got[1:]))


def test_filters_pass_only_what_matches(open_bus):
    bus = open_bus(channel=0, can_filters=[{"can_id": 0x100, "can_mask": 0x7F0, "extended": False},
                                           {"can_id": 0x18DA0000, "can_mask": 0x1FFF0000}])
    ids = [(0x105, False), (0x205, False), (0x105, True), (0x18DAF100, True), (0x10F, False)]
    for aid, ext in ids:
        bus.send(can.Message(arbitration_id=aid, is_extended_id=ext, data=b"\1"))
    got = recv_all(bus, 3)
    want = [(0x105, False), (0x18DAF100, True), (0x10F, False)]
    assert [(m.arbitration_id, m.is_extended_id) for m in got] == want
    assert bus.recv(0.1) is None
    bus.set_filters(None)
    bus.send(can.Message(arbitration_id=0x205, is_extended_id=False))
    assert bus.recv(2).arbitration_id == 0x205


def test_error_frames_and_state(sim, open_bus):
    bus = open_bus(channel=0)
    assert bus.state == can.BusState.ACTIVE
    bus._device.info()  # a round trip: the simulator has seen the connection
    sim.command("error 0 passive")
    sim.command("error 0 stuff")
    sim.command("error 0 busoff")
    got = recv_all(bus, 3)
    assert all(m.is_error_frame and m.channel == 0 and m.dlc == 8 for m in got)
    # SocketCAN error classes, as `tarnlink dump` shows them.
    assert [m.arbitration_id for m in got] == [0x004, 0x008 | 0x080, 0x040]
    assert got[0].data[1] == 0x30
    assert got[1].data[2] & 0x07 == 0x04
    assert bus.state == can.BusState.ERROR


def test_gateway_timestamps_keep_their_spacing(start_sim, open_bus):
    s = start_sim("--listen", "0", "--gen", "500", "--gen-channel", "0")
    bus = open_bus(channel=0, port=s.port, timestamps="gateway")
    got = recv_all(bus, 20)
    assert len(got) == 20 and abs(got[0].timestamp - time.time()) < 5
    assert all(a.timestamp <= b.timestamp for a, b in zip(got, got[1:]))
    # Three frames of one batch, stamped 0.5 ms and 2.5 ms apart (in us).
    q = bus._queues[0]
    for i, stamp in enumerate((10**12, 10**12 + 500, 10**12 + 3000)):
        q.buffer[i].id = 0x100 + i
        q.buffer[i].timestamp = stamp
    q.msgs.clear()
    q.keys.clear()
    bus._decode(q, 3, time.time())
    t = [m.timestamp for m in q.msgs]
    assert t[1] - t[0] == pytest.approx(0.0005, abs=1e-6)
    assert t[2] - t[1] == pytest.approx(0.0025, abs=1e-6)
    q.msgs.clear()
    q.keys.clear()


def test_asc_and_blf_written_and_read_back(open_bus, tmp_path):
    bus = open_bus(channel=0)
    for m in KINDS:
        bus.send(m)
    got = recv_all(bus, len(KINDS))
    assert len(got) == len(KINDS)
    for name, writer in (("t.asc", can.ASCWriter), ("t.blf", can.BLFWriter)):
        path = tmp_path / name
        w = writer(str(path))
        for m in got:
            w.on_message_received(m)
        w.stop()
        back = [m for m in can.LogReader(str(path)) if not m.is_error_frame]
        assert len(back) == len(KINDS), name
        for sent, read in zip(KINDS, back):
            same_frame(sent, read, channel=read.channel)
        spacing = [m.timestamp - got[0].timestamp for m in got]
        assert [m.timestamp - back[0].timestamp for m in back] == pytest.approx(spacing, abs=1e-4)


def test_can_logger_writes_a_file(start_sim, tmp_path):
    s = start_sim("--listen", "0", "--gen", "200", "--gen-channel", "0")
    out = tmp_path / "trace.asc"
    p = subprocess.Popen([python(), "-m", "can.logger", "-i", "tarnlink", "-c", "0", "--host=127.0.0.1",
                          "--port=%d" % s.port, "--library=%s" % LIBDIR, "-f", str(out)],
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=dict(os.environ))
    try:
        end = time.monotonic() + 20
        while time.monotonic() < end and p.poll() is None:
            if out.exists() and out.read_text().count(" Rx ") >= 20:
                break
            time.sleep(0.1)
    finally:
        p.send_signal(signal.SIGINT)
        _, err = p.communicate(timeout=10)
    text = out.read_text()
    assert text.count(" Rx ") >= 20, err.decode(errors="replace")


def test_send_periodic_runs_on_the_gateway(open_bus):
    bus = open_bus(channel=0, timestamps="gateway")
    msg = can.Message(arbitration_id=0x3A0, data=b"\xaa\x55", is_extended_id=False)
    task = bus.send_periodic(msg, 0.02)
    assert isinstance(task, GatewayCyclicTask)
    got = recv_all(bus, 15)
    assert len(got) == 15 and all(bytes(m.data) == b"\xaa\x55" for m in got)
    gaps = sorted(b.timestamp - a.timestamp for a, b in zip(got, got[1:]))
    assert 0.01 < gaps[len(gaps) // 2] < 0.06
    task.modify_data(can.Message(arbitration_id=0x3A0, data=b"\x01\x02", is_extended_id=False))
    deadline = time.monotonic() + 2
    while bytes(bus.recv(1).data) != b"\x01\x02":
        assert time.monotonic() < deadline
    task.stop()
    bus._device.info()  # a round trip: the gateway has taken the stop
    while bus.recv(0.05) is not None:
        pass
    assert bus.recv(0.3) is None
    # A duration is left to python-can's own thread.
    limited = bus.send_periodic(msg, 0.01, duration=0.05)
    assert not isinstance(limited, GatewayCyclicTask)
    limited.stop()
    limited.thread.join(5)  # no send from its thread after the bus is gone


def test_shutdown_ends_a_recv_waiting_in_another_thread(open_bus):
    bus = open_bus(channel=0)
    ended = []

    def wait() -> None:
        try:
            bus.recv()
        except can.CanOperationError:
            ended.append(True)

    t = threading.Thread(target=wait)
    t.start()
    time.sleep(0.05)
    bus.shutdown()
    t.join(5)
    assert not t.is_alive() and ended
    bus.shutdown()  # twice is fine


def test_a_bus_that_cannot_connect_says_why():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]  # bound, not listening: the connection is refused
        with pytest.raises(can.CanInitializationError, match="127.0.0.1:%d" % port):
            can.Bus(interface="tarnlink", channel=0, host="127.0.0.1", port=port, library=str(LIBDIR))


def test_server_mode_and_client_list(start_sim):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    with can.Bus(interface="tarnlink", channel=0, server=True, local_port=port, library=str(LIBDIR),
                 index=1) as bus:
        start_sim("--connect", "127.0.0.1:%d" % port, "--echo")
        dev = bus._device
        deadline = time.monotonic() + 10
        while not dev.clients():
            assert time.monotonic() < deadline
            time.sleep(0.02)
        assert dev.clients()[0].ip == "127.0.0.1"
        bus.send(can.Message(arbitration_id=0x42, data=b"\x42", is_extended_id=False), timeout=2)
        assert bus.recv(2).arbitration_id == 0x42


def test_library_not_found_lists_the_paths_tried(monkeypatch):
    monkeypatch.setenv("TARNLINK_LIB", "/nowhere/env/libtarnlink_tcp.so")
    # A library loaded earlier answers to its soname: ask for another one.
    monkeypatch.setattr(tarnlink.library, "SONAME_MAJOR", 99)
    with pytest.raises(tarnlink.LibraryNotFound) as e:
        tarnlink.load_library(library="/nowhere/arg/libtarnlink_tcp.so")
    for path in ("/nowhere/arg/", "/nowhere/env/", "libtarnlink_tcp.so.99"):
        assert path in str(e.value)


def test_device_layer_information_and_queries(start_sim):
    s = start_sim("--listen", "0", "--model", "LINK-2 sim", "--serial", "SN1234")
    with tarnlink.Device.open(port=s.port, library=str(LIBDIR), index=2) as dev:
        dev.start(0)
        info = dev.info()
        assert (info.model, info.serial, info.channel_count) == ("LINK-2 sim", "SN1234", 2)
        assert isinstance(dev.query(1), str)


def test_recv_keeps_up_with_a_gateway_at_full_speed(start_sim, open_bus):
    # A read pass is bounded: a gateway faster than the reader cannot hold
    # recv (and its memory) in one pass for ever.
    s = start_sim("--listen", "0", "--gen", "0", "--gen-channel", "0")
    bus = open_bus(channel=0, port=s.port)
    assert len(recv_all(bus, 20000, timeout=20)) == 20000


def test_udp_bus(start_sim):
    s = start_sim("--udp", "0", "--echo")
    with can.Bus(interface="tarnlink", channel="ch1", udp=True, host="127.0.0.1", port=s.port,
                 library=str(LIBDIR)) as bus:
        assert bus.channel_info == "tarnlink UDP 127.0.0.1:%d ch1" % s.port
        sent = can.Message(arbitration_id=0x1F0, data=bytes(range(12)), is_fd=True, is_extended_id=False,
                           channel=1)
        bus.send(sent)
        same_frame(sent, bus.recv(2), channel=1)


def test_two_buses_share_one_device(open_bus):
    a = open_bus(channel=0)
    b = open_bus(channel=1)
    a.shutdown()  # the connection stays for b
    b.send(can.Message(arbitration_id=0x11, data=b"\1", is_extended_id=False), timeout=1)
    assert b.recv(2).arbitration_id == 0x11


def test_send_periodic_leaves_other_programs_entries_alone(sim, open_bus):
    from conftest import TOOL

    def tool(*args: str) -> str:
        return subprocess.run([str(TOOL), "autosend", *args, "--port", str(sim.port)], check=True,
                              capture_output=True, text=True, timeout=20).stdout

    tool("add", "-p", "500", "3A0#AA55")  # index 0, held by the gateway for another program
    bus = open_bus(channel=0)
    task = bus.send_periodic(can.Message(arbitration_id=0x100, data=b"\1", is_extended_id=False), 0.1)
    assert task.index == 1
    bus.shutdown()
    assert "#0" in tool("list") and "#1" not in tool("list")
