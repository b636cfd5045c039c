"""tarnlink: the host-side driver of tarnlink CAN / CAN FD gateways, from Python.

`Device` and `Channel` wrap the C library's exported functions (ctypes, no
compiled extension); `tarnlink.interface.TarnlinkBus` is the python-can
interface, registered as ``interface="tarnlink"``.
"""
from .device import Channel, ClientInfo, Device, DeviceInfo, TarnlinkError, version_text
from .library import Library, LibraryNotFound, load_library

__version__ = "1.0.0"
__all__ = ["Channel", "ClientInfo", "Device", "DeviceInfo", "Library", "LibraryNotFound",
           "TarnlinkError", "load_library", "version_text"]
