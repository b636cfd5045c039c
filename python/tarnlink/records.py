"""The records and constants of tarnlink.h as ctypes types.

The layouts are checked against the C compiler's by the tests; keep the field
order and types exactly as in the header.
"""
import ctypes
from ctypes import c_char, c_float, c_int32, c_uint8, c_uint16, c_uint32, c_uint64

# Device types (the model table).
TYPE_LINK_2CH_TCP = 0x30
TYPE_LINK_2CH_UDP = 0x31
TYPE_AIR_1CH_TCP = 0x32
TYPE_AIR_1CH_UDP = 0x33
TYPE_LINK_4CH_TCP = 0x34
TYPE_LINK_4CH_UDP = 0x35
CHANNELS_OF_TYPE = {
    TYPE_LINK_2CH_TCP: 2, TYPE_LINK_2CH_UDP: 2, TYPE_AIR_1CH_TCP: 1,
    TYPE_AIR_1CH_UDP: 1, TYPE_LINK_4CH_TCP: 4, TYPE_LINK_4CH_UDP: 4,
}

# Identifier word.
ID_MASK = 0x1FFFFFFF
ID_ERR_FLAG = 0x20000000
ID_RTR_FLAG = 0x40000000
ID_EFF_FLAG = 0x80000000

FD_BRS = 0x01
FD_ESI = 0x02
TX_FLAG_BYTE5 = 0x80

QUEUE_CAN = 0
QUEUE_CANFD = 1

ERR_OVERFLOW = 0x01
ERR_WARNING = 0x02
ERR_BUS = 0x04
ERR_PASSIVE = 0x10
ERR_BUS_OFF = 0x20

# Reference keys.
REF_REMOTE_ADDR = 0
REF_REMOTE_PORT = 1
REF_LOCAL_PORT = 2
REF_WORK_MODE = 4
REF_CLIENT_COUNT = 5
REF_CLIENT_INFO = 6
REF_CLIENT_REMOVE = 7
REF_MCAST_LOOP = 10
REF_AUTOSEND_ONE = 11
REF_AUTOSEND_ONE_FD = 12
REF_AUTOSEND_ADD = 21
REF_AUTOSEND_ADD_FD = 22
REF_AUTOSEND_SEND = 23
REF_AUTOSEND_CLEAR = 24
REF_NOTICE = 25
REF_TX_OPTION = 26
REF_MARKERS = 27
REF_CHANNEL_REPORT = 28
REF_SIZE_REMAIN = 29
REF_CHANNEL_ACTION = 30
REF_AUTOSEND_COUNT = 31
REF_AUTOSEND_LIST = 32
REF_AUTOSEND_COUNT_FD = 33
REF_AUTOSEND_LIST_FD = 34
REF_DEVICE_QUERY_1 = 35
REF_DEVICE_QUERY_2 = 36
REF_DEVICE_QUERY_3 = 37
REF_DEVICE_QUERY_4 = 38
REF_GPS_COUNT = 39
REF_GPS_READ = 40
# This library's extensions.
REF_STATS = 0x1000
REF_WAIT = 0x1001

# Queues of a VELA_WAIT.
WAIT_CAN = 0x1
WAIT_CANFD = 0x2
WAIT_ERRORS = 0x4


class VELA_CAN_TRANSMIT(ctypes.Structure):
    _fields_ = [("id", c_uint32), ("len", c_uint8), ("flags", c_uint8),
                ("stamp", c_uint16), ("data", c_uint8 * 8),
                ("transmit_type", c_uint32)]


class VELA_CANFD_TRANSMIT(ctypes.Structure):
    _fields_ = [("id", c_uint32), ("len", c_uint8), ("flags", c_uint8),
                ("stamp", c_uint16), ("data", c_uint8 * 64),
                ("transmit_type", c_uint32)]


class VELA_CAN_RECEIVE(ctypes.Structure):
    _fields_ = [("id", c_uint32), ("len", c_uint8), ("reserved", c_uint8 * 3),
                ("data", c_uint8 * 8), ("timestamp", c_uint64)]


class VELA_CANFD_RECEIVE(ctypes.Structure):
    _fields_ = [("id", c_uint32), ("len", c_uint8), ("flags", c_uint8),
                ("reserved", c_uint8 * 2), ("data", c_uint8 * 64),
                ("timestamp", c_uint64)]


class VELA_CAN_AUTOSEND(ctypes.Structure):
    _fields_ = [("enable", c_uint16), ("index", c_uint16), ("period", c_uint32),
                ("frame", VELA_CAN_TRANSMIT)]


class VELA_CANFD_AUTOSEND(ctypes.Structure):
    _fields_ = [("enable", c_uint16), ("index", c_uint16), ("period", c_uint32),
                ("frame", VELA_CANFD_TRANSMIT)]


class VELA_CHANNEL_STATUS(ctypes.Structure):
    _fields_ = [("reserved0", c_uint8 * 6), ("err_detail1", c_uint8),
                ("err_detail2", c_uint8), ("reserved1", c_uint8 * 4)]


class VELA_CHANNEL_ERR_INFO(ctypes.Structure):
    _fields_ = [("error_code", c_uint32), ("detail", c_uint8 * 3),
                ("reserved", c_uint8)]


class VELA_DEVICE_INFO(ctypes.Structure):
    _fields_ = [("hw_version", c_uint16), ("fw_version", c_uint16),
                ("driver_version", c_uint16), ("interface_version", c_uint16),
                ("irq", c_uint16), ("channel_count", c_uint8),
                ("serial", c_char * 20), ("model", c_char * 40),
                ("reserved", c_uint8 * 9)]


class VELA_GPS(ctypes.Structure):
    _fields_ = [("valid", c_uint32), ("year", c_uint16), ("month", c_uint16),
                ("day", c_uint16), ("hour", c_uint16), ("minute", c_uint16),
                ("second", c_uint16), ("latitude", c_float),
                ("longitude", c_float), ("speed", c_float), ("course", c_float),
                ("altitude", c_float), ("reserved", c_uint32)]


class VELA_CLIENT(ctypes.Structure):
    _fields_ = [("index", c_int32), ("port", c_uint32), ("socket", c_uint32),
                ("ip", c_char * 32)]


class VELA_MARKER_READ(ctypes.Structure):
    _fields_ = [("stamps", ctypes.POINTER(c_uint64)), ("count", c_uint32),
                ("wait_ms", c_int32)]


class VELA_GPS_READ(ctypes.Structure):
    _fields_ = [("records", ctypes.POINTER(VELA_GPS)), ("capacity", c_uint32),
                ("count", c_uint32), ("wait_ms", c_int32)]


class VELA_TEXT_READ(ctypes.Structure):
    _fields_ = [("text", ctypes.POINTER(c_char)), ("size", c_uint32),
                ("needed", c_uint32)]


class VELA_CHANNEL_REPORT(ctypes.Structure):
    _fields_ = [("value0", c_uint64), ("value1", c_uint64), ("channel", c_uint8),
                ("byte17", c_uint8), ("value16", c_uint16), ("value32", c_uint32)]


class VELA_NOTICE(ctypes.Structure):
    _fields_ = [("low", c_uint32), ("high", c_uint32)]


class VELA_WAIT(ctypes.Structure):
    _fields_ = [("channels", c_uint32), ("queues", c_uint32), ("wait_ms", c_int32),
                ("ready_can", c_uint32), ("ready_canfd", c_uint32), ("ready_errors", c_uint32)]


# Every record of the header, for the layout test and for documentation.
RECORDS = (
    VELA_CAN_TRANSMIT, VELA_CANFD_TRANSMIT, VELA_CAN_RECEIVE, VELA_CANFD_RECEIVE,
    VELA_CAN_AUTOSEND, VELA_CANFD_AUTOSEND, VELA_CHANNEL_STATUS,
    VELA_CHANNEL_ERR_INFO, VELA_DEVICE_INFO, VELA_GPS, VELA_CLIENT,
    VELA_MARKER_READ, VELA_GPS_READ, VELA_TEXT_READ, VELA_CHANNEL_REPORT,
    VELA_NOTICE, VELA_WAIT,
)
