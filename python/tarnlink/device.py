"""A Pythonic layer over the exported functions: devices and channels."""
import ctypes
import threading
from dataclasses import dataclass
from typing import Dict, List, Optional, Sequence, Tuple

from . import records as r
from .library import Library, load_library


class TarnlinkError(Exception):
    """A call the library answered with 0 (it reports no reason)."""


@dataclass
class DeviceInfo:
    hw_version: int
    fw_version: int
    driver_version: int
    interface_version: int
    channel_count: int
    serial: str
    model: str


@dataclass
class ClientInfo:
    index: int
    ip: str
    port: int
    socket: int


@dataclass
class Settings:
    """What a device is opened with; a second opener must ask the same."""
    host: str = "127.0.0.1"
    port: int = 8000
    server: bool = False
    local_port: int = 0


def _text(raw: bytes) -> str:
    return raw.split(b"\0", 1)[0].decode("latin-1")


def version_text(v: int) -> str:
    return "V%X.%02X" % (v >> 8, v & 0xFF)


def default_type(udp: bool) -> int:
    return r.TYPE_LINK_2CH_UDP if udp else r.TYPE_LINK_2CH_TCP


# Devices open in this process, per library, type and index. The library
# itself knows one device per type and index, and the last ResetCAN or the
# CloseDevice of one user would end the others' connection: users share one
# Device and the last one to leave closes it.
_registry_lock = threading.Lock()
_registry: Dict[Tuple[str, int, int], "Device"] = {}


class Device:
    """An open device of one library. Use `Device.open`, which shares it."""

    def __init__(self, lib: Library, type_: int, index: int, settings: Settings,
                 handle: int) -> None:
        self.lib = lib
        self.type = type_
        self.index = index
        self.settings = settings
        self.handle = handle
        self.channel_count = r.CHANNELS_OF_TYPE.get(type_, 2)
        self._users = 0
        self._started: Dict[int, int] = {}   # channel -> owners
        self._lock = threading.Lock()
        # Timed-send indexes taken in this process, per channel.
        self.autosend_taken: Dict[int, set] = {}
        self.closed = False

    # ---- opening and closing --------------------------------------------
    @classmethod
    def open(cls, host: str = "127.0.0.1", port: int = 8000, udp: bool = False,
             server: bool = False, local_port: int = 0, device_type: Optional[int] = None,
             index: int = 0, library: Optional[str] = None) -> "Device":
        lib = load_library(udp, library)
        type_ = default_type(udp) if device_type is None else int(device_type)
        settings = Settings(host, int(port), bool(server), int(local_port))
        key = (lib.path, type_, int(index))
        with _registry_lock:
            dev = _registry.get(key)
            if dev is not None:
                if dev.settings != settings:
                    raise TarnlinkError(
                        "device type 0x%X index %d is already open in this process with "
                        "other settings (%s); use another index" % (type_, index, dev.settings))
                dev._users += 1
                return dev
            handle = lib.VELA_OpenDevice(type_, int(index), settings.local_port & 0xFFFF)
            if handle == 0:
                raise TarnlinkError("VELA_OpenDevice(0x%X, %d) failed" % (type_, index))
            dev = cls(lib, type_, int(index), settings, handle)
            try:
                dev._configure(udp)
            except TarnlinkError:
                lib.VELA_CloseDevice(handle)
                raise
            dev._users = 1
            _registry[key] = dev
            return dev

    def _configure(self, udp: bool) -> None:
        s = self.settings
        addr = ctypes.create_string_buffer(s.host.encode("ascii", "replace"), 32)
        if len(s.host) > 31:
            raise TarnlinkError("address '%s' is longer than 31 characters" % s.host)
        if not self.set_u32(0, r.REF_REMOTE_PORT, s.port) or \
                not self.set_reference(0, r.REF_REMOTE_ADDR, addr):
            raise TarnlinkError("the library refused the address %s:%d" % (s.host, s.port))
        if s.local_port:
            self.set_u32(0, r.REF_LOCAL_PORT, s.local_port)
        if not udp:
            self.set_u32(0, r.REF_WORK_MODE, 1 if s.server else 0)

    def close(self) -> None:
        """Leaves the device; the last user closes it. Safe twice."""
        with _registry_lock:
            if self.closed:
                return
            self._users -= 1
            if self._users > 0:
                return
            self.closed = True
            _registry.pop((self.lib.path, self.type, self.index), None)
        self.lib.VELA_CloseDevice(self.handle)

    def __enter__(self) -> "Device":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # ---- channels -------------------------------------------------------
    def channel_handle(self, channel: int) -> int:
        return self.handle | (channel & 0xFF)

    def start(self, channel: int, exclusive: bool = False) -> "Channel":
        """Starts a channel (the first start connects, listens or binds).

        Readers of one channel take frames from the same queues, each getting
        some of them: `exclusive` refuses a channel another user started."""
        if not 0 <= channel < self.channel_count:
            raise TarnlinkError("channel %d: the device has channels 0-%d"
                                % (channel, self.channel_count - 1))
        with self._lock:
            if exclusive and self._started.get(channel, 0) > 0:
                raise TarnlinkError("channel %d is already in use in this process (its frames would be "
                                    "shared out between the readers)" % channel)
            if self._started.get(channel, 0) == 0:
                h = self.lib.VELA_InitCAN(self.handle, channel, None)
                if h == 0 or self.lib.VELA_StartCAN(h) != 1:
                    raise TarnlinkError("VELA_StartCAN failed on channel %d" % channel)
            self._started[channel] = self._started.get(channel, 0) + 1
        return Channel(self, channel)

    def stop(self, channel: int) -> None:
        with self._lock:
            n = self._started.get(channel, 0)
            if n == 0:
                return
            self._started[channel] = n - 1
            if n == 1:
                self.lib.VELA_ResetCAN(self.channel_handle(channel))

    # ---- reference keys ---------------------------------------------------
    def get_reference(self, channel: int, key: int, value: object) -> bool:
        return self.lib.VELA_GetReference(self.type, self.index, channel, key,
                                          ctypes.byref(value)) == 1

    def set_reference(self, channel: int, key: int, value: object = None) -> bool:
        ref = ctypes.byref(value) if value is not None else None
        return self.lib.VELA_SetReference(self.type, self.index, channel, key, ref) == 1

    def get_u32(self, channel: int, key: int) -> Optional[int]:
        v = ctypes.c_uint32()
        return v.value if self.get_reference(channel, key, v) else None

    def set_u32(self, channel: int, key: int, value: int) -> bool:
        return self.set_reference(channel, key, ctypes.c_uint32(value))

    def info(self) -> DeviceInfo:
        """The gateway's device information (asks the gateway)."""
        i = r.VELA_DEVICE_INFO()
        if self.lib.VELA_GetDeviceInf(self.handle, ctypes.byref(i)) != 1:
            raise TarnlinkError("the gateway did not answer the device information request")
        return DeviceInfo(i.hw_version, i.fw_version, i.driver_version, i.interface_version,
                          i.channel_count, _text(bytes(i.serial)), _text(bytes(i.model)))

    def query(self, n: int = 1) -> str:
        """The answer text of device query 1-4 (keys 35-38)."""
        if not 1 <= n <= 4:
            raise ValueError("device queries are 1-4")
        size = 256
        for _ in range(3):
            buf = ctypes.create_string_buffer(size)
            read = r.VELA_TEXT_READ(ctypes.cast(buf, ctypes.POINTER(ctypes.c_char)), size, 0)
            if not self.get_reference(0, r.REF_DEVICE_QUERY_1 + n - 1, read):
                break
            if read.needed <= size:
                return _text(buf.raw)
            size = read.needed  # longer than the buffer: ask again with room
        raise TarnlinkError("the gateway did not answer device query %d" % n)

    def clients(self) -> List[ClientInfo]:
        """The gateways connected to us in TCP server mode."""
        count = self.get_u32(0, r.REF_CLIENT_COUNT) or 0
        out = []
        for i in range(count):
            c = r.VELA_CLIENT(index=i)
            if self.get_reference(0, r.REF_CLIENT_INFO, c):
                out.append(ClientInfo(i, _text(bytes(c.ip)), c.port, c.socket))
        return out

    def remove_client(self, socket: int) -> bool:
        return self.set_reference(0, r.REF_CLIENT_REMOVE, r.VELA_CLIENT(socket=socket))


class Channel:
    """One started channel of a device."""

    def __init__(self, device: Device, channel: int) -> None:
        self.device = device
        self.number = channel
        self.handle = device.channel_handle(channel)
        self._lib = device.lib

    def stop(self) -> None:
        self.device.stop(self.number)

    def transmit(self, frames: Sequence[r.VELA_CAN_TRANSMIT]) -> int:
        arr = (r.VELA_CAN_TRANSMIT * len(frames))(*frames)
        return self._lib.VELA_Transmit(self.handle, arr, len(frames))

    def transmit_fd(self, frames: Sequence[r.VELA_CANFD_TRANSMIT]) -> int:
        arr = (r.VELA_CANFD_TRANSMIT * len(frames))(*frames)
        return self._lib.VELA_TransmitFD(self.handle, arr, len(frames))

    def receive(self, capacity: int = 256, wait_ms: int = 0) -> List[r.VELA_CAN_RECEIVE]:
        arr = (r.VELA_CAN_RECEIVE * capacity)()
        n = self._lib.VELA_Receive(self.handle, arr, capacity, wait_ms)
        return list(arr[:n])

    def receive_fd(self, capacity: int = 64, wait_ms: int = 0) -> List[r.VELA_CANFD_RECEIVE]:
        arr = (r.VELA_CANFD_RECEIVE * capacity)()
        n = self._lib.VELA_ReceiveFD(self.handle, arr, capacity, wait_ms)
        return list(arr[:n])

    def pending(self, fd: bool = False) -> int:
        return self._lib.VELA_GetReceiveNum(self.handle, r.QUEUE_CANFD if fd else r.QUEUE_CAN)

    def clear(self) -> bool:
        return self._lib.VELA_ClearBuffer(self.handle) == 1

    def error_info(self) -> Optional[r.VELA_CHANNEL_ERR_INFO]:
        """The oldest error information, taken from its queue; None when none."""
        info = r.VELA_CHANNEL_ERR_INFO()
        if self._lib.VELA_ReadChannelErrInfo(self.handle, ctypes.byref(info)) != 1 \
                or info.error_code == 0:
            return None
        return info

    def status(self) -> r.VELA_CHANNEL_STATUS:
        st = r.VELA_CHANNEL_STATUS()
        self._lib.VELA_ReadChannelStatus(self.handle, ctypes.byref(st))
        return st

    # ---- timed sends (held and sent by the gateway) -----------------------
    def autosend_add(self, entry: object) -> bool:
        """Puts an entry (VELA_CAN_AUTOSEND or VELA_CANFD_AUTOSEND) in the
        driver's list of this channel; `autosend_send` sends the list."""
        key = r.REF_AUTOSEND_ADD_FD if isinstance(entry, r.VELA_CANFD_AUTOSEND) else r.REF_AUTOSEND_ADD
        return self.device.set_reference(self.number, key, entry)

    def autosend_send(self) -> bool:
        return self.device.set_reference(self.number, r.REF_AUTOSEND_SEND)

    def autosend_clear(self) -> bool:
        """Disables the entries of the driver's list, sends them, empties it."""
        return self.device.set_reference(self.number, r.REF_AUTOSEND_CLEAR)

    def autosend_list(self) -> Optional[List[object]]:
        """The enabled entries the gateway holds (CAN, then CAN FD); None
        when it did not answer."""
        out: List[object] = []
        for count_key, list_key, rec in ((r.REF_AUTOSEND_COUNT, r.REF_AUTOSEND_LIST, r.VELA_CAN_AUTOSEND),
                                         (r.REF_AUTOSEND_COUNT_FD, r.REF_AUTOSEND_LIST_FD,
                                          r.VELA_CANFD_AUTOSEND)):
            n = self.device.get_u32(self.number, count_key)
            if n is None:
                return None
            if n:
                arr = (rec * n)()
                if not self.device.get_reference(self.number, list_key, arr):
                    return None
                out.extend(arr)
        return out
