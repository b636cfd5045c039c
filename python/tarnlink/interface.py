"""python-can interface plugin: ``can.Bus(interface="tarnlink", ...)``."""
import ctypes
import inspect
import logging
import math
import socket
import struct
import threading
import time
from bisect import bisect_right
from collections import deque
from itertools import accumulate
from operator import le as _le
from typing import Any, Deque, Dict, List, Optional, Sequence, Tuple, Union

import can
from can import BusState, Message
from can.broadcastmanager import (CyclicSendTaskABC, ModifiableCyclicTaskABC,
                                  RestartableCyclicTaskABC)

from . import records as r
from .device import Channel, Device, TarnlinkError

log = logging.getLogger("can.tarnlink")
_recv_log = logging.getLogger("can.bus")  # where BusABC.recv logs what it hands out
_RECV_LOG_LEVEL = getattr(can.BusABC, "RECV_LOGGING_LEVEL", 9)

# What BusABC.send_periodic passes after (msgs, period, duration), by name, as
# the loaded python-can passes it: nothing (4.1), modifier_callback (4.3),
# autostart and modifier_callback (4.5).
_PERIODIC_EXTRA = [name for name in inspect.signature(can.BusABC._send_periodic_internal).parameters][4:]
_CanProtocol = getattr(can, "CanProtocol", None)  # 4.3 and later

CAN_BATCH = 512
CANFD_BATCH = 128
BATCHES_PER_PASS = 4
ERROR_POLL_S = 0.02
IDLE_SLEEP_MIN_S = 0.00005
IDLE_SLEEP_MAX_S = 0.001
WAIT_SLICE_MS = 500  # an idle recv looks at the bus's own state this often
AUTOSEND_SLOTS = 32
CANFD_SIZES = (0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64)

_CAN_RECORD = struct.Struct("<IB3x8sQ")
_FD_RECORD = struct.Struct("<IBB2x64sQ")
_string_at = ctypes.string_at

# SocketCAN error classes and their detail bits, as `tarnlink dump` prints them.
ERR_CLASS_CONTROLLER = 0x004
ERR_CLASS_PROTOCOL = 0x008
ERR_CLASS_BUSOFF = 0x040
ERR_CLASS_BUSERROR = 0x080
ERR_CTRL_RX_OVERFLOW = 0x01
ERR_CTRL_WARNING = 0x04 | 0x08
ERR_CTRL_PASSIVE = 0x10 | 0x20
ERR_PROT_BIT = 0x01
ERR_PROT_FORM = 0x02
ERR_PROT_STUFF = 0x04
ERR_PROT_TX = 0x80


def error_frame(info: r.VELA_CHANNEL_ERR_INFO) -> Tuple[int, bytes]:
    """The SocketCAN error class and the 8 data bytes of an error information."""
    cls = 0
    data = bytearray(8)
    code = info.error_code
    if code == r.ERR_OVERFLOW:
        cls, data[1] = ERR_CLASS_CONTROLLER, ERR_CTRL_RX_OVERFLOW
    elif code == r.ERR_WARNING:
        cls, data[1] = ERR_CLASS_CONTROLLER, ERR_CTRL_WARNING
    elif code == r.ERR_PASSIVE:
        cls, data[1] = ERR_CLASS_CONTROLLER, ERR_CTRL_PASSIVE
    elif code == r.ERR_BUS_OFF:
        cls = ERR_CLASS_BUSOFF
    elif code == r.ERR_BUS:
        # Detail 0 is an error-code capture: bits 7-6 the kind, bit 5 set for
        # a receive error, bits 4-0 the frame segment (SocketCAN's numbering).
        ecc = info.detail[0]
        cls = ERR_CLASS_PROTOCOL | ERR_CLASS_BUSERROR
        data[2] = {0x00: ERR_PROT_BIT, 0x40: ERR_PROT_FORM, 0x80: ERR_PROT_STUFF}.get(ecc & 0xC0, 0)
        if not ecc & 0x20:
            data[2] |= ERR_PROT_TX
        data[3] = ecc & 0x1F
    else:
        data[0] = code & 0xFF  # the gateway's own code: no class bit
    data[5:8] = bytes(info.detail)
    return cls, bytes(data)


def parse_channels(channel: Any, count: int) -> List[int]:
    """0, "ch0", "0,1", [0, 1] -> channel numbers, checked against the device."""
    if channel is None or channel == "":
        items: List[Any] = [0]
    elif isinstance(channel, (list, tuple)):
        items = list(channel)
    elif isinstance(channel, str):
        items = [c for c in channel.replace(";", ",").split(",") if c.strip()]
    else:
        items = [channel]
    out = []
    for c in items:
        text = str(c).strip().lower()
        if text.startswith("ch"):
            text = text[2:]
        try:
            n = int(text, 0)
        except ValueError:
            raise can.CanInitializationError("channel '%s' is not a channel number" % c) from None
        if not 0 <= n < count:
            raise can.CanInitializationError("channel %d: the device has channels 0-%d" % (n, count - 1))
        if n not in out:
            out.append(n)
    return out


def _fd_length(n: int) -> int:
    for size in CANFD_SIZES:
        if size >= n:
            return size
    raise can.CanOperationError("%d data bytes do not fit a CAN FD frame" % n)


# Messages are made by filling their slots: half the time of the
# constructor, which matters at hundreds of thousands of frames per second.
# Only where the slots are the ones known here; else the constructor.
_new = object.__new__
_FAST = set(Message.__slots__) - {"__weakref__"} == {
    "timestamp", "arbitration_id", "is_extended_id", "is_remote_frame", "is_error_frame", "channel", "dlc",
    "data", "is_fd", "is_rx", "bitrate_switch", "error_state_indicator"}


def _can_messages(recs: List[Tuple[int, int, bytes, int]], ch: int, now: float,
                  offset: Optional[float]) -> List[Message]:
    if not _FAST:
        return [Message(now if offset is None else ts * 1e-6 + offset, w & 0x1FFFFFFF, w >= 0x80000000,
                        (w & 0x40000000) != 0, (w & 0x20000000) != 0, ch, ln, d[:ln])
                for w, ln, d, ts in recs]
    out = []
    append = out.append
    for w, ln, d, ts in recs:
        m = _new(Message)
        m.timestamp = now if offset is None else ts * 1e-6 + offset
        m.arbitration_id = w & 0x1FFFFFFF
        m.is_extended_id = w >= 0x80000000
        m.is_remote_frame = rtr = (w & 0x40000000) != 0
        m.is_error_frame = (w & 0x20000000) != 0
        m.channel = ch
        m.dlc = ln
        m.data = bytearray() if rtr else bytearray(d[:ln])
        m.is_fd = False
        m.is_rx = True
        m.bitrate_switch = False
        m.error_state_indicator = False
        append(m)
    return out


def _fd_messages(recs: List[Tuple[int, int, int, bytes, int]], ch: int, now: float,
                 offset: Optional[float]) -> List[Message]:
    if not _FAST:
        return [Message(now if offset is None else ts * 1e-6 + offset, w & 0x1FFFFFFF, w >= 0x80000000, False,
                        (w & 0x20000000) != 0, ch, ln, d[:ln], True, True, (fl & 1) != 0, (fl & 2) != 0)
                for w, ln, fl, d, ts in recs]
    out = []
    append = out.append
    for w, ln, fl, d, ts in recs:
        m = _new(Message)
        m.timestamp = now if offset is None else ts * 1e-6 + offset
        m.arbitration_id = w & 0x1FFFFFFF
        m.is_extended_id = w >= 0x80000000
        m.is_remote_frame = False
        m.is_error_frame = (w & 0x20000000) != 0
        m.channel = ch
        m.dlc = ln
        m.data = bytearray(d[:ln])
        m.is_fd = True
        m.is_rx = True
        m.bitrate_switch = (fl & 1) != 0
        m.error_state_indicator = (fl & 2) != 0
        append(m)
    return out


class _Queue:
    """One driver queue (CAN or CAN FD of a channel) and the frames read from
    it that wait for their turn."""

    __slots__ = ("channel", "fd", "handle", "buffer", "capacity", "msgs", "keys")

    def __init__(self, channel: int, fd: bool, handle: int) -> None:
        self.channel = channel
        self.fd = fd
        self.handle = handle
        self.capacity = CANFD_BATCH if fd else CAN_BATCH
        self.buffer = ((r.VELA_CANFD_RECEIVE if fd else r.VELA_CAN_RECEIVE) * self.capacity)()
        self.msgs: List[Message] = []
        # The gateway stamps, made non-decreasing within the queue so that
        # queue order is kept whatever the stamps do.
        self.keys: List[int] = []


class TarnlinkBus(can.BusABC):
    """A channel (or several channels of one device) of a tarnlink gateway."""

    def __init__(self, channel: Any = 0, can_filters: Optional[can.typechecking.CanFilters] = None,
                 host: str = "127.0.0.1", port: int = 8000, udp: bool = False,
                 server: bool = False, local_port: int = 0, device_type: Optional[int] = None,
                 index: int = 0, fd: bool = True, library: Optional[str] = None,
                 timestamps: str = "host", receive_own_messages: bool = False, **kwargs: Any) -> None:
        for k, v in kwargs.items():
            log.debug("tarnlink: ignoring %s=%r (the gateway holds its own bus configuration)", k, v)
        udp, server, fd = _flag(udp), _flag(server), _flag(fd)
        own = _flag(receive_own_messages)
        try:  # keyword values from can.logger and ~/.can arrive as text
            port, local_port, index = int(port), int(local_port), int(index)
            if isinstance(device_type, str):
                device_type = int(device_type, 0)
        except ValueError as e:
            raise can.CanInitializationError("tarnlink: %s" % e) from None
        if timestamps not in ("host", "gateway"):
            raise can.CanInitializationError("timestamps must be 'host' or 'gateway', not %r" % timestamps)
        self._device: Optional[Device] = None
        self._closed = True
        self._is_shutdown = True  # until it is open: nothing for python-can to warn about
        self._started: List[int] = []
        try:
            self._device = Device.open(host, port, udp, server, local_port, device_type, index, library)
        except (OSError, TarnlinkError) as e:
            raise can.CanInitializationError(str(e)) from e
        dev = self._device
        try:
            self.channels = parse_channels(channel, dev.channel_count)
            for ch in self.channels:
                dev.start(ch, exclusive=True)
                self._started.append(ch)
        except TarnlinkError as e:
            where = ("listening on port %d" % local_port if server
                     else "%s %s:%d" % ("UDP" if udp else "TCP", host, port))
            self._release()
            raise can.CanInitializationError("cannot open the bus (%s): %s" % (where, e)) from e
        except can.CanInitializationError:
            self._release()
            raise
        self._closed = False
        self._lib = dev.lib
        self._fd = fd
        self._gateway_time = timestamps == "gateway"
        self._offset: Optional[float] = None
        self._queues = [_Queue(ch, kind, dev.channel_handle(ch)) for ch in self.channels for kind in (False, True)]
        self._ready: Deque[Message] = deque()
        self._read_lock = threading.Lock()
        self._send_lock = threading.Lock()
        self._filters: Optional[List[Tuple[int, int, Optional[bool]]]] = None
        self._any_before = False
        self._max_before = 0
        self._last_host = 0.0
        self._next_error_poll = 0.0
        self._states: Dict[int, BusState] = {}
        self._tx_can = r.VELA_CAN_TRANSMIT()
        self._tx_fd = r.VELA_CANFD_TRANSMIT()
        self._tx_can_p = ctypes.addressof(self._tx_can)
        self._tx_fd_p = ctypes.addressof(self._tx_fd)
        self._own = own
        self._gateway_silent = False  # no answer to a round trip that confirms a stop
        self._wait_mask = sum(1 << ch for ch in self.channels)
        # One wait on every queue of the bus (VELA_REF_WAIT); a library
        # without the key leaves the bus to nap between looks.
        self._can_wait = self._wait_queues(0) is not None
        kind = "UDP" if udp else "TCP"
        peer = ("server :%d" % local_port) if server else "%s:%d" % (host, port)
        self.channel_info = "tarnlink %s %s %s" % (kind, peer, ",".join("ch%d" % c for c in self.channels))
        # How to reach the gateway with `tarnlink`, for the warnings of shutdown.
        self._tool_args = ("--udp " if udp else "") + (
            "--server --local-port %d" % local_port if server else "--host %s --port %d" % (host, port))
        if dev.index:
            self._tool_args += " --index %d" % dev.index
        super().__init__(channel=self.channels[0] if len(self.channels) == 1 else self.channels,
                         can_filters=can_filters, **kwargs)
        if _CanProtocol is not None:
            self._can_protocol = _CanProtocol.CAN_FD if fd else _CanProtocol.CAN_20
        self._is_shutdown = False

    # ---- shutting down ------------------------------------------------------
    def _release(self) -> None:
        dev = self._device
        if dev is None:
            return
        for ch in self._started:
            dev.stop(ch)
        self._started = []
        dev.close()

    def shutdown(self) -> None:
        """Stops periodic tasks, resets the channels, leaves the device. Safe twice.

        Periodic frames run by the gateway go on until they are stopped: an
        entry whose stop the gateway does not confirm is logged as a warning
        with the `tarnlink autosend stop` command that stops it."""
        if self._closed:
            return
        try:
            super().shutdown()  # periodic tasks first: their entries are disabled on the gateway
        finally:
            self._closed = True
            self._end_waits()  # a recv waiting in another thread looks again, and ends
            self._release()

    def fileno(self) -> int:
        raise NotImplementedError("the tarnlink driver has no file descriptor to wait on")

    # ---- receiving -----------------------------------------------------------
    def _apply_filters(self, filters: Optional[can.typechecking.CanFilters]) -> None:
        if not filters:
            self._filters = None
            return
        self._filters = [(f["can_id"], f["can_mask"], f.get("extended")) for f in filters]

    def _keep(self, msgs: List[Message]) -> List[Message]:
        out = []
        for m in msgs:
            aid = m.arbitration_id
            ext = m.is_extended_id
            for can_id, mask, want_ext in self._filters or ():
                if (want_ext is None or want_ext == ext) and (aid ^ can_id) & mask == 0:
                    out.append(m)
                    break
        return out

    def recv(self, timeout: Optional[float] = None) -> Optional[Message]:
        # A message already read goes out at once: its filters are applied,
        # and BusABC.recv's loop would cost more than everything else here.
        ready = self._ready
        if ready:
            try:
                msg = ready.popleft()
            except IndexError:  # another thread took the last one
                pass
            else:
                if _recv_log.isEnabledFor(_RECV_LOG_LEVEL):
                    _recv_log.log(_RECV_LOG_LEVEL, "Received: %s", msg)
                return msg
        return super().recv(timeout)

    def _recv_internal(self, timeout: Optional[float]) -> Tuple[Optional[Message], bool]:
        ready = self._ready
        if ready:
            try:
                return ready.popleft(), True
            except IndexError:  # another thread took the last one
                pass
        if self._closed:
            raise can.CanOperationError("the bus is shut down")
        deadline = None if timeout is None else time.monotonic() + timeout
        nap = IDLE_SLEEP_MIN_S
        while True:
            with self._read_lock:
                if not ready:
                    # A pass that read frames may hold them for their order;
                    # the pass after it, right away, hands them out.
                    while self._read_pass() and not ready:
                        pass
                if ready:
                    return ready.popleft(), True
            if self._closed:
                raise can.CanOperationError("the bus is shut down")
            left = None
            if deadline is not None:
                left = deadline - time.monotonic()
                if left <= 0:
                    return None, True
            if self._can_wait:
                # Every queue of the bus in one wait: no cost while idle.
                ms = WAIT_SLICE_MS if left is None else min(WAIT_SLICE_MS, max(1, math.ceil(left * 1000)))
                w = self._wait_queues(ms)
                if w is None:
                    time.sleep(min(IDLE_SLEEP_MAX_S, left or IDLE_SLEEP_MAX_S))
                elif w.ready_errors:
                    self._next_error_poll = 0.0
                continue
            # An older library: short naps while traffic is likely, longer
            # ones once it is idle.
            time.sleep(min(nap, left) if left is not None else nap)
            nap = min(nap * 2, IDLE_SLEEP_MAX_S)

    def _wait_queues(self, ms: int) -> Optional[r.VELA_WAIT]:
        """Waits at most `ms` for a queue of the bus to hold something; None
        when the library refused (no such key, or the device is closed)."""
        dev = self._device
        w = r.VELA_WAIT(self._wait_mask, r.WAIT_CAN | r.WAIT_CANFD | r.WAIT_ERRORS, ms)
        if dev is None or self._lib.VELA_GetReference(dev.type, dev.index, 0, r.REF_WAIT, ctypes.byref(w)) != 1:
            return None
        return w

    def _end_waits(self) -> None:
        dev = self._device
        if dev is not None and self._can_wait:
            self._lib.VELA_SetReference(dev.type, dev.index, 0, r.REF_WAIT, None)

    def _read_pass(self) -> bool:
        """Reads every queue until it comes back short (or for four batches),
        then hands out what no unread frame can precede (the order of
        `tarnlink dump`). True when it read frames."""
        now = time.time()
        read_any = False
        lib = self._lib
        limit = None
        for q in self._queues:
            recv = lib.VELA_ReceiveFD if q.fd else lib.VELA_Receive
            for _ in range(BATCHES_PER_PASS):
                n = recv(q.handle, q.buffer, q.capacity, 0)
                if n == 0:
                    break
                read_any = True
                self._decode(q, n, now)
                if n < q.capacity:
                    break
            else:
                # Left unread so that a gateway faster than we are cannot
                # keep one pass going for ever. What stays in the queue is
                # stamped no earlier than what was read from it: frames up
                # to that stamp can still go out.
                last = q.keys[-1]
                limit = last if limit is None else min(limit, last)
        tick = time.monotonic()
        if tick >= self._next_error_poll:
            self._next_error_poll = tick + ERROR_POLL_S
            self._poll_errors(now)
        # Frames read before this pass were in their queues when it began,
        # so whatever arrived before them has been read by now.
        bound = self._max_before
        if read_any:
            top = max((q.keys[-1] for q in self._queues if q.keys), default=0)
            had_before = self._any_before
            self._max_before = max(self._max_before, top) if had_before else top
            self._any_before = True
            if had_before:
                self._emit(bound if limit is None else min(bound, limit), now)
        else:
            self._emit(None, now)
        return read_any

    def _decode(self, q: _Queue, n: int, now: float) -> None:
        offset = None
        if self._gateway_time:
            offset = self._offset
            if offset is None:
                offset = self._offset = now - q.buffer[0].timestamp * 1e-6
        if q.fd:
            recs = list(_FD_RECORD.iter_unpack(_string_at(q.buffer, n * 80)))
            msgs = _fd_messages(recs, q.channel, now, offset)
            stamps = [x[4] for x in recs]
        else:
            recs = list(_CAN_RECORD.iter_unpack(_string_at(q.buffer, n * 24)))
            msgs = _can_messages(recs, q.channel, now, offset)
            stamps = [x[3] for x in recs]
        keys = q.keys
        if keys and stamps[0] < keys[-1] or not all(map(_le, stamps, stamps[1:])):
            # Rare: stamps that run backwards keep their place in the queue.
            stamps = list(accumulate(stamps, max, initial=keys[-1] if keys else 0))[1:]
        q.msgs.extend(msgs)
        keys.extend(stamps)

    def _emit(self, bound: Optional[int], now: float) -> None:
        """Moves to the ready queue, oldest stamp first, every held frame
        stamped no later than `bound` (all of them for None)."""
        parts = []
        for q in self._queues:
            if not q.keys:
                continue
            cut = len(q.keys) if bound is None else bisect_right(q.keys, bound)
            if cut == 0:
                continue
            if cut == len(q.keys):
                parts.append((q.keys, q.msgs))
                q.keys, q.msgs = [], []
            else:
                parts.append((q.keys[:cut], q.msgs[:cut]))
                del q.keys[:cut], q.msgs[:cut]
        if not parts:
            return
        if len(parts) == 1:
            out = parts[0][1]
        else:
            # A stable sort of the queues' runs, concatenated in queue order:
            # equal stamps go in queue order.
            keys: List[int] = []
            msgs: List[Message] = []
            for k, m in parts:
                keys.extend(k)
                msgs.extend(m)
            order = sorted(range(len(keys)), key=keys.__getitem__)
            out = [msgs[i] for i in order]
            if not self._gateway_time:
                last = self._last_host
                for m in out:  # host times never run backwards
                    if m.timestamp < last:
                        m.timestamp = last
                    else:
                        last = m.timestamp
        if not self._gateway_time:
            self._last_host = out[-1].timestamp
        if self._filters is not None:
            out = self._keep(out)
        self._ready.extend(out)

    def _poll_errors(self, now: float) -> None:
        lib = self._lib
        info = r.VELA_CHANNEL_ERR_INFO()
        ref = ctypes.byref(info)
        frames = []
        for ch in self.channels:
            h = self._device.channel_handle(ch) if self._device else 0
            for _ in range(256):  # bounded: a flood of errors cannot hold us here
                if lib.VELA_ReadChannelErrInfo(h, ref) != 1 or info.error_code == 0:
                    break
                cls, data = error_frame(info)
                frames.append(Message(now, cls, False, False, True, ch, 8, data, False, True, False, False))
                state = {r.ERR_BUS_OFF: BusState.ERROR, r.ERR_PASSIVE: BusState.PASSIVE,
                         r.ERR_WARNING: BusState.ACTIVE}.get(info.error_code)
                if state is not None:
                    self._states[ch] = state
                info.error_code = 0
        if frames:
            if self._filters is not None:
                frames = self._keep(frames)
            self._ready.extend(frames)

    @property
    def state(self) -> BusState:
        """The worst state the error information of the channels told so far."""
        if not self._closed:
            with self._read_lock:
                self._poll_errors(time.time())
        states = self._states.values()
        if BusState.ERROR in states:
            return BusState.ERROR
        if BusState.PASSIVE in states:
            return BusState.PASSIVE
        return BusState.ACTIVE

    @state.setter
    def state(self, new_state: BusState) -> None:
        raise NotImplementedError("the gateway holds its own bus configuration")

    # ---- sending ---------------------------------------------------------------
    def _channel_of(self, msg: Message) -> int:
        c = msg.channel
        if c is None:
            return self.channels[0]
        if isinstance(c, int) and c in self.channels:
            return c
        try:
            n = parse_channels(c, 256)[0]
        except can.CanInitializationError:
            n = -1
        if n not in self.channels:
            raise can.CanOperationError("message channel %r is not a channel of this bus %s"
                                        % (c, self.channels))
        return n

    def _fill_record(self, msg: Message, rec: Any) -> int:
        """Fills a transmit record from a message; returns its data length."""
        if msg.is_error_frame:
            raise can.CanOperationError("error frames cannot be sent")
        ident = msg.arbitration_id
        limit = 0x1FFFFFFF if msg.is_extended_id else 0x7FF
        if not 0 <= ident <= limit:
            raise can.CanOperationError("identifier 0x%X does not fit a %s identifier"
                                        % (ident, "29-bit" if msg.is_extended_id else "11-bit"))
        if msg.is_extended_id:
            ident |= r.ID_EFF_FLAG
        data = msg.data or b""
        if msg.is_fd:
            if not self._fd:
                raise can.CanOperationError("CAN FD frame on a bus opened with fd=False")
            if msg.is_remote_frame:
                raise can.CanOperationError("CAN FD has no remote frames")
            n = len(data)
            length = _fd_length(n)
            rec.flags = r.FD_BRS if msg.bitrate_switch else 0
            ctypes.memset(rec.data, 0, 64)
        else:
            if msg.is_remote_frame:
                ident |= r.ID_RTR_FLAG
                n = 0
                length = msg.dlc
                if not 0 <= length <= 8:
                    raise can.CanOperationError("remote frame DLC %d is not 0-8" % length)
            else:
                n = length = len(data)
                if n > 8:
                    raise can.CanOperationError("%d data bytes do not fit a classic CAN frame" % n)
            ctypes.memset(rec.data, 0, 8)
        rec.id = ident
        rec.len = length
        if n:
            ctypes.memmove(rec.data, bytes(data), n)
        return length

    def send(self, msg: Message, timeout: Optional[float] = None) -> None:
        if self._closed:
            raise can.CanOperationError("the bus is shut down")
        ch = self._channel_of(msg)
        if not self._own:
            self._send(msg, ch, timeout)
            return
        # Our own frame takes its place among the received ones: after what
        # arrived before it was sent, stamped with the time it was sent.
        with self._read_lock:
            for _ in range(BATCHES_PER_PASS):
                if not self._read_pass():
                    break
            self._emit(None, time.time())
            sent = time.time()
            length = self._send(msg, ch, timeout)
            own = _own_message(msg, ch, length, max(sent, self._last_host))
            if self._filters is None or self._keep([own]):
                self._ready.append(own)
        self._end_waits()

    def _send(self, msg: Message, ch: int, timeout: Optional[float]) -> int:
        handle = self._device.channel_handle(ch) if self._device else 0
        deadline = None if not timeout else time.monotonic() + timeout
        with self._send_lock:
            if msg.is_fd:
                length = self._fill_record(msg, self._tx_fd)
                fn, rec = self._lib.VELA_TransmitFD, self._tx_fd_p
            else:
                length = self._fill_record(msg, self._tx_can)
                fn, rec = self._lib.VELA_Transmit, self._tx_can_p
            nap = IDLE_SLEEP_MIN_S
            while fn(handle, rec, 1) != 1:
                # Refused: not connected (yet), or the link is failing. Within
                # a timeout, try again, as a reconnection may be under way.
                if deadline is None or time.monotonic() >= deadline or self._closed:
                    raise can.CanOperationError("the driver refused the frame on ch%d "
                                                "(not connected to the gateway?)" % ch)
                time.sleep(nap)
                nap = min(nap * 2, 0.01)
        return length

    # ---- periodic sends on the gateway ------------------------------------------
    def _send_periodic_internal(self, msgs: Union[Sequence[Message], Message], period: float,
                                duration: Optional[float] = None, *args: Any, **kwargs: Any) -> CyclicSendTaskABC:
        # After duration, what the loaded python-can passes, positionally or
        # by name: autostart (4.5), modifier_callback (4.3).
        if len(args) > len(_PERIODIC_EXTRA):
            raise TypeError("_send_periodic_internal: %d arguments too many" % (len(args) - len(_PERIODIC_EXTRA)))
        options = dict(zip(_PERIODIC_EXTRA, args))
        for k, v in kwargs.items():
            if k in options:
                raise TypeError("_send_periodic_internal: %s given twice" % k)
            options[k] = v
        if isinstance(msgs, Message):
            msgs = [msgs]
        period_ms = round(period * 1000)
        # The gateway runs one frame per entry, in whole ms, for ever,
        # unchanged: a duration, several frames or a modifier need python-can's
        # own thread, which sends each frame through this bus.
        if duration is None and len(msgs) == 1 and 1 <= period_ms <= 0xFFFF and not self._closed \
                and options.get("modifier_callback") is None:
            ch = self._channel_of(msgs[0])
            index = self._take_slot(ch)
            if index is not None:
                try:
                    return GatewayCyclicTask(self, ch, index, msgs, period, options.get("autostart", True))
                except can.CanOperationError:
                    self._give_slot(ch, index)
                    raise
        return super()._send_periodic_internal(msgs, period, duration, **options)

    def _take_slot(self, ch: int) -> Optional[int]:
        """A free timed-send index of the channel: neither taken in this
        process nor running on the gateway (another program's)."""
        dev = self._device
        if dev is None:
            return None
        running = set()
        entries = Channel(dev, ch).autosend_list()
        for e in entries or ():
            running.add(e.index)
        with dev._lock:
            taken = dev.autosend_taken.setdefault(ch, set())
            for i in range(AUTOSEND_SLOTS):
                if i not in taken and i not in running:
                    taken.add(i)
                    return i
        return None

    def _give_slot(self, ch: int, index: int) -> None:
        dev = self._device
        if dev is not None:
            with dev._lock:
                dev.autosend_taken.get(ch, set()).discard(index)

    def _gateway_confirms(self) -> bool:
        """A round trip to the gateway: it answers after it has taken every
        packet sent before (one TCP stream), so a disabled entry has stopped
        (over UDP it shows that the link works).
        The list read-back (keys 31-34) would not do: the driver serves it
        from a copy up to 1.5 s old. Once the gateway failed to answer, it is
        not asked again: each try waits for the request's time-out."""
        dev = self._device
        if dev is None or self._gateway_silent:
            return False
        try:
            dev.info()
            return True
        except TarnlinkError:
            self._gateway_silent = True
            return False

    def _set_entry(self, ch: int, index: int, msg: Message, period_ms: int, enable: bool) -> None:
        dev = self._device
        if dev is None or self._closed:
            raise can.CanOperationError("the bus is shut down")
        with self._send_lock:
            if msg.is_fd:
                entry: Any = r.VELA_CANFD_AUTOSEND()
                key = r.REF_AUTOSEND_ADD_FD
            else:
                entry = r.VELA_CAN_AUTOSEND()
                key = r.REF_AUTOSEND_ADD
            self._fill_record(msg, entry.frame)
            entry.enable = 1 if enable else 0
            entry.index = index
            entry.period = period_ms
            if not dev.set_reference(ch, key, entry) or not dev.set_reference(ch, r.REF_AUTOSEND_SEND):
                raise can.CanOperationError("the driver refused timed entry %d on ch%d" % (index, ch))

    @staticmethod
    def _detect_available_configs() -> List[Dict[str, Any]]:
        """The simulator on 127.0.0.1:8000, when something answers there."""
        try:
            with socket.create_connection(("127.0.0.1", 8000), timeout=0.2):
                pass
        except OSError:
            return []
        return [{"interface": "tarnlink", "channel": 0, "host": "127.0.0.1", "port": 8000}]


def _own_message(msg: Message, ch: int, length: int, stamp: float) -> Message:
    """The frame as this bus put it on the wire, as `recv` hands it back."""
    data = b"" if msg.is_remote_frame else bytes(msg.data or b"")
    if msg.is_fd:
        data += bytes(length - len(data))  # padded up to a CAN FD size, as sent
    return Message(timestamp=stamp, arbitration_id=msg.arbitration_id, is_extended_id=msg.is_extended_id,
                   is_remote_frame=msg.is_remote_frame, channel=ch, dlc=length, data=data, is_fd=msg.is_fd,
                   is_rx=False, bitrate_switch=msg.is_fd and msg.bitrate_switch)


def _flag(v: Any) -> bool:
    """Keyword values from can.logger arrive as text."""
    if isinstance(v, str):
        return v.strip().lower() in ("1", "true", "yes", "on")
    return bool(v)


class GatewayCyclicTask(ModifiableCyclicTaskABC, RestartableCyclicTaskABC):
    """A periodic frame run by the gateway from one of its timed-send entries."""

    def __init__(self, bus: TarnlinkBus, channel: int, index: int, messages: Sequence[Message],
                 period: float, autostart: bool = True) -> None:
        super().__init__(messages, period)
        self.bus = bus
        self.channel = channel
        self.index: Optional[int] = index
        self.period_ms = round(period * 1000)
        self._running = False
        if autostart:
            self.start()
        else:
            self.bus._give_slot(channel, index)
            self.index = None

    def start(self) -> None:
        if self._running:
            return
        if self.index is None:
            self.index = self.bus._take_slot(self.channel)
            if self.index is None:
                raise can.CanOperationError("no free timed entry on ch%d" % self.channel)
        self.bus._set_entry(self.channel, self.index, self.messages[0], self.period_ms, True)
        self._running = True

    def stop(self) -> None:
        """Disables the entry on the gateway, confirms that with a round trip,
        and gives its index back. An entry whose stop the gateway does not
        confirm may run on: that is logged as a warning, with the command that
        stops it."""
        if not self._running:
            return
        self._running = False
        index, self.index = self.index, None
        try:
            try:
                self.bus._set_entry(self.channel, index, self.messages[0], self.period_ms, False)
                confirmed = self.bus._gateway_confirms()
            except can.CanOperationError:
                confirmed = False
            if not confirmed:
                m = self.messages[0]
                log.warning("tarnlink: the gateway did not confirm the stop of periodic frame 0x%X every %d ms "
                            "(timed entry %d on ch%d): it may run on the gateway until stopped with "
                            "`tarnlink autosend stop -c %d -i %d %s`", m.arbitration_id, self.period_ms, index,
                            self.channel, self.channel, index, self.bus._tool_args)
        finally:
            self.bus._give_slot(self.channel, index)

    def modify_data(self, messages: Union[Sequence[Message], Message]) -> None:
        super().modify_data(messages)
        if self._running:
            self.bus._set_entry(self.channel, self.index, self.messages[0], self.period_ms, True)
