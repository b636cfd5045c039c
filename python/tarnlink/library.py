"""Finding and loading libtarnlink_tcp / libtarnlink_udp."""
import ctypes
import os
import threading
from ctypes import POINTER, c_int32, c_uint32, c_void_p
from typing import Dict, List, Optional

from . import records as r

SONAME_MAJOR = 1
_lock = threading.Lock()
_loaded: Dict[str, "Library"] = {}


class LibraryNotFound(OSError):
    """No tarnlink library could be loaded; the message lists every path tried."""


def _file_name(udp: bool) -> str:
    return "libtarnlink_%s.so" % ("udp" if udp else "tcp")


def _candidates(udp: bool, library: Optional[str]) -> List[str]:
    """Where to look, in order: the argument, TARNLINK_LIB, the soname.

    The first two may name the library itself or a folder holding both."""
    out = []
    for given in (library, os.environ.get("TARNLINK_LIB")):
        if not given:
            continue
        if os.path.isdir(given):
            out.append(os.path.join(given, _file_name(udp)))
        else:
            out.append(given)
    out.append("%s.%d" % (_file_name(udp), SONAME_MAJOR))
    return out


class Library:
    """One loaded library with the prototypes of its exports.

    A library keeps its own set of open devices, so each path is loaded once
    per process and shared."""

    def __init__(self, path: str, cdll: ctypes.CDLL, udp: bool) -> None:
        self.path = path
        self.udp = udp
        self.cdll = cdll
        u32 = c_uint32
        protos = {
            "VELA_OpenDevice": (u32, u32, u32),
            "VELA_CloseDevice": (u32,),
            "VELA_GetDeviceInf": (u32, POINTER(r.VELA_DEVICE_INFO)),
            "VELA_InitCAN": (u32, u32, c_void_p),
            "VELA_StartCAN": (u32,),
            "VELA_ResetCAN": (u32,),
            "VELA_ClearBuffer": (u32,),
            "VELA_ReadChannelErrInfo": (u32, POINTER(r.VELA_CHANNEL_ERR_INFO)),
            "VELA_ReadChannelStatus": (u32, POINTER(r.VELA_CHANNEL_STATUS)),
            # Frame arrays are passed as raw addresses: no per-call conversion.
            "VELA_Transmit": (u32, c_void_p, u32),
            "VELA_Receive": (u32, c_void_p, u32, c_int32),
            "VELA_TransmitFD": (u32, c_void_p, u32),
            "VELA_ReceiveFD": (u32, c_void_p, u32, c_int32),
            "VELA_GetReference": (u32, u32, u32, u32, c_void_p),
            "VELA_SetReference": (u32, u32, u32, u32, c_void_p),
            "VELA_GetReceiveNum": (u32, u32),
        }
        for name, args in protos.items():
            fn = getattr(cdll, name)
            fn.argtypes = args
            fn.restype = u32
            setattr(self, name, fn)


def load_library(udp: bool = False, library: Optional[str] = None) -> Library:
    """The TCP (or UDP) library: from `library`, then TARNLINK_LIB, then the
    installed one by its soname."""
    tried = []
    for path in _candidates(udp, library):
        with _lock:
            if path in _loaded:
                return _loaded[path]
            try:
                cdll = ctypes.CDLL(path)
            except OSError as e:
                tried.append("%s (%s)" % (path, e))
                continue
            lib = Library(path, cdll, udp)
            _loaded[path] = lib
            return lib
    raise LibraryNotFound("cannot load the tarnlink %s library; tried: %s"
                          % ("UDP" if udp else "TCP", "; ".join(tried)))
