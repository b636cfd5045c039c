/*
 * tarnlink: host-side driver for CAN / CAN FD to Ethernet gateways.
 *
 * One C interface, two libraries: link libtarnlink_tcp (TCP client or server)
 * or libtarnlink_udp (UDP unicast or multicast). Both export the same
 * functions and keep their own set of open devices.
 *
 * Conventions:
 *  - Every function returns 0 for failure and a handle, 1 or a count for
 *    success. There are no error codes and no messages; a device that is not
 *    open, a zero handle and any failure look the same.
 *  - Every pointer may be NULL: a call that needs it then returns 0 and writes
 *    nothing. Output records and arrays belong to the caller; the library
 *    never keeps a pointer to them.
 *  - Handles: a device handle is (type << 16) | ((index & 0xFF) << 8); a
 *    channel handle is the device handle with the channel number in its low
 *    byte. VELA_InitCAN forms it for you.
 *  - Wait times are in ms: 0 = do not wait, > 0 = wait at most about that
 *    long (in 10 ms steps), < 0 = wait until data arrives or the device is
 *    closed.
 *  - Frame records use the SocketCAN layout: the identifier word holds the
 *    identifier in bits 0-28 and the VELA_ID_* flags in bits 29-31.
 *  - Any function may be called from any thread. Start, reset and close of
 *    one device, and its connection settings, are not to be raced against
 *    each other; a timed-send list is to be used from one thread at a time.
 *  - Records are little-endian host records; pointer fields are native.
 */
#ifndef TARNLINK_TARNLINK_H_
#define TARNLINK_TARNLINK_H_

#include <stddef.h>
#include <stdint.h>

/* TARNLINK_EXPORT marks a library export, TARNLINK_CALL its calling
 * convention: on Windows __stdcall (the convention of system libraries) and
 * dllimport, or dllexport while the DLLs themselves are built; on Linux the
 * convention is the platform's only one. The 32-bit DLLs export through
 * their .def file alone: dllexport would add the decorated names
 * ("VELA_OpenDevice@12") beside the plain ones. */
#if defined(_WIN32)
#define TARNLINK_CALL __stdcall
#if defined(TARNLINK_BUILDING_DLL) && defined(_WIN64)
#define TARNLINK_EXPORT __declspec(dllexport)
#elif defined(TARNLINK_BUILDING_DLL)
#define TARNLINK_EXPORT
#else
#define TARNLINK_EXPORT __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define TARNLINK_CALL
#define TARNLINK_EXPORT __attribute__((visibility("default")))
#else
#define TARNLINK_CALL
#define TARNLINK_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Device types (the model table) ------------------------------------ */
#define VELA_TYPE_LINK_2CH_TCP 0x30u /* 2 channels */
#define VELA_TYPE_LINK_2CH_UDP 0x31u /* 2 channels */
#define VELA_TYPE_AIR_1CH_TCP 0x32u  /* 1 channel */
#define VELA_TYPE_AIR_1CH_UDP 0x33u  /* 1 channel */
#define VELA_TYPE_LINK_4CH_TCP 0x34u /* 4 channels */
#define VELA_TYPE_LINK_4CH_UDP 0x35u /* 4 channels */
/* Any other type opens too, with 2 channels. */

/* ---- Identifier word (first u32 of every frame record) ----------------- */
#define VELA_ID_MASK 0x1FFFFFFFu     /* identifier, bits 0-28 */
#define VELA_ID_ERR_FLAG 0x20000000u /* error frame (received only) */
#define VELA_ID_RTR_FLAG 0x40000000u /* remote frame */
#define VELA_ID_EFF_FLAG 0x80000000u /* extended (29-bit) identifier */

/* CAN FD flags byte of the FD records. */
#define VELA_FD_BRS 0x01u /* bit-rate switch */
#define VELA_FD_ESI 0x02u /* error-state indicator (received only) */
/* Byte 5 of a transmit record: bit 7 is carried to the gateway as is. */
#define VELA_TX_FLAG_BYTE5 0x80u

/* Queue selector of VELA_GetReceiveNum (only the low byte is compared). */
#define VELA_QUEUE_CAN 0u
#define VELA_QUEUE_CANFD 1u

/* Error codes of VELA_CHANNEL_ERR_INFO.error_code. */
#define VELA_ERR_OVERFLOW 0x01u
#define VELA_ERR_WARNING 0x02u
#define VELA_ERR_BUS 0x04u
#define VELA_ERR_PASSIVE 0x10u
#define VELA_ERR_BUS_OFF 0x20u

/* ---- Reference keys of VELA_GetReference / VELA_SetReference ----------- */
/* Each key in full (level, value, exchange, failures): docs/reference_keys.md. */
/* Connection settings (device level; take effect at the next first start). */
/* Key 0 takes the strict dotted form only ("192.0.2.10"): short forms
 * ("127.1"), leading zeros ("010.0.0.1", which some parsers read as octal)
 * and hexadecimal parts make the next first VELA_StartCAN fail. */
#define VELA_REF_REMOTE_ADDR 0u /* char[32]: dotted IPv4 text, at most 31 characters */
#define VELA_REF_REMOTE_PORT 1u /* u32, low 16 bits used */
#define VELA_REF_LOCAL_PORT 2u  /* u32, low 16 bits used */
#define VELA_REF_WORK_MODE 4u   /* u32: 1 = TCP server, else TCP client (TCP library) */
#define VELA_REF_MCAST_LOOP 10u /* u32: IP_MULTICAST_LOOP value (UDP library) */
/* TCP server client list (work mode 1). */
#define VELA_REF_CLIENT_COUNT 5u  /* get, u32 */
#define VELA_REF_CLIENT_INFO 6u   /* get, VELA_CLIENT */
#define VELA_REF_CLIENT_REMOVE 7u /* set, VELA_CLIENT (socket field) */
/* Timed send (channel keys). */
#define VELA_REF_AUTOSEND_ONE 11u    /* set, VELA_CAN_AUTOSEND: send one entry now */
#define VELA_REF_AUTOSEND_ONE_FD 12u /* set, VELA_CANFD_AUTOSEND */
#define VELA_REF_AUTOSEND_ADD 21u    /* set, VELA_CAN_AUTOSEND: add to the host list */
#define VELA_REF_AUTOSEND_ADD_FD 22u /* set, VELA_CANFD_AUTOSEND */
#define VELA_REF_AUTOSEND_SEND 23u   /* set, no value: send the host list */
#define VELA_REF_AUTOSEND_CLEAR 24u  /* set, no value: disable, send, empty the list */
#define VELA_REF_NOTICE 25u          /* set, VELA_NOTICE (device level) */
#define VELA_REF_TX_OPTION 26u       /* set, u32: per-channel transmit option flag */
#define VELA_REF_MARKERS 27u         /* get, VELA_MARKER_READ */
#define VELA_REF_CHANNEL_REPORT 28u  /* get, VELA_CHANNEL_REPORT: fresh report, once */
#define VELA_REF_SIZE_REMAIN 29u     /* get, u32: the gateway's "Remain" */
#define VELA_REF_CHANNEL_ACTION 30u  /* set, no value */
#define VELA_REF_AUTOSEND_COUNT 31u  /* get, u32: enabled CAN entries on the gateway */
/* Keys 32 and 34 write at most the count keys 31 and 33 last returned (on
 * any thread), however the gateway's list changed since: read the count,
 * then the list, from one thread at a time. */
#define VELA_REF_AUTOSEND_LIST 32u     /* get, VELA_CAN_AUTOSEND[count of key 31] */
#define VELA_REF_AUTOSEND_COUNT_FD 33u /* get, u32: enabled CAN FD entries */
#define VELA_REF_AUTOSEND_LIST_FD 34u  /* get, VELA_CANFD_AUTOSEND[count of key 33] */
#define VELA_REF_DEVICE_QUERY_1 35u    /* get, VELA_TEXT_READ; 36, 37, 38 ask types 2-4 */
#define VELA_REF_DEVICE_QUERY_2 36u
#define VELA_REF_DEVICE_QUERY_3 37u
#define VELA_REF_DEVICE_QUERY_4 38u
#define VELA_REF_GPS_COUNT 39u /* get, u32: records waiting in the GPS queue */
#define VELA_REF_GPS_READ 40u  /* get, VELA_GPS_READ */
/* This library's extension, outside the table above. */
#define VELA_REF_STATS 0x1000u /* get, VELA_STATS (device level) */
#define VELA_REF_WAIT 0x1001u  /* get, VELA_WAIT: wait on several queues; set, no value: end those waits */

/* ---- Frame records ------------------------------------------------------ */
typedef struct tagVELA_CAN_TRANSMIT {
  uint32_t id;    /* identifier word (VELA_ID_ERR_FLAG ignored) */
  uint8_t len;    /* data length, sent unchanged */
  uint8_t flags;  /* only VELA_TX_FLAG_BYTE5 is used */
  uint16_t stamp; /* 16-bit value carried in the record's time stamp */
  uint8_t data[8];
  uint32_t transmit_type; /* bits 0-1 used */
} VELA_CAN_TRANSMIT;

typedef struct tagVELA_CANFD_TRANSMIT {
  uint32_t id;
  uint8_t len;
  uint8_t flags; /* VELA_FD_BRS and VELA_TX_FLAG_BYTE5 used */
  uint16_t stamp;
  uint8_t data[64];
  uint32_t transmit_type;
} VELA_CANFD_TRANSMIT;

typedef struct tagVELA_CAN_RECEIVE {
  uint32_t id; /* identifier word with VELA_ID_* flags */
  uint8_t len;
  uint8_t reserved[3];
  uint8_t data[8];
  uint64_t timestamp; /* the gateway's time stamp, unchanged */
} VELA_CAN_RECEIVE;

typedef struct tagVELA_CANFD_RECEIVE {
  uint32_t id;
  uint8_t len;
  uint8_t flags; /* VELA_FD_BRS, VELA_FD_ESI */
  uint8_t reserved[2];
  uint8_t data[64];
  uint64_t timestamp;
} VELA_CANFD_RECEIVE;

/* Timed-send objects (keys 11, 12, 21, 22, 32, 34). */
typedef struct tagVELA_CAN_AUTOSEND {
  uint16_t enable; /* 0 = off */
  uint16_t index;  /* 0-31 */
  uint32_t period; /* low 16 bits reach the gateway */
  VELA_CAN_TRANSMIT frame;
} VELA_CAN_AUTOSEND;

typedef struct tagVELA_CANFD_AUTOSEND {
  uint16_t enable;
  uint16_t index;
  uint32_t period;
  VELA_CANFD_TRANSMIT frame;
} VELA_CANFD_AUTOSEND;

/* ---- Status and information records ------------------------------------- */
typedef struct tagVELA_CHANNEL_STATUS {
  uint8_t reserved0[6];
  uint8_t err_detail1; /* detail byte 1 of the last error frame */
  uint8_t err_detail2; /* detail byte 2 of the last error frame */
  uint8_t reserved1[4];
} VELA_CHANNEL_STATUS;

typedef struct tagVELA_CHANNEL_ERR_INFO {
  uint32_t error_code; /* VELA_ERR_* or the gateway's own code */
  uint8_t detail[3];
  uint8_t reserved;
} VELA_CHANNEL_ERR_INFO;

typedef struct tagVELA_DEVICE_INFO {
  uint16_t hw_version; /* 0xMMNN from "Vmm.nn" */
  uint16_t fw_version;
  uint16_t driver_version;    /* 0x0100 */
  uint16_t interface_version; /* 0x0100 */
  uint16_t irq;               /* 0 */
  uint8_t channel_count;
  char serial[20]; /* not terminated when 20 characters long */
  char model[40];  /* not terminated when 40 characters long */
  uint8_t reserved[9];
} VELA_DEVICE_INFO;

typedef struct tagVELA_GPS {
  uint32_t valid;                                  /* bit 0 time, 1 latitude, 2 speed, 3 course, 4 altitude */
  uint16_t year, month, day, hour, minute, second; /* UTC */
  float latitude;                                  /* degrees, negative = south */
  float longitude;                                 /* degrees, negative = west */
  float speed;
  float course;
  float altitude;
  uint32_t reserved;
} VELA_GPS;

/* ---- Argument records of reference keys --------------------------------- */
typedef struct tagVELA_CLIENT {
  int32_t index;   /* in (key 6) */
  uint32_t port;   /* out (key 6) */
  uint32_t socket; /* out (key 6), in (key 7) */
  char ip[32];     /* out (key 6), zero-terminated */
} VELA_CLIENT;

typedef struct tagVELA_MARKER_READ {
  uint64_t* stamps; /* out: time stamps */
  uint32_t count;   /* in: capacity; out: number stored */
  int32_t wait_ms;
} VELA_MARKER_READ;

typedef struct tagVELA_GPS_READ {
  VELA_GPS* records; /* out */
  uint32_t capacity;
  uint32_t count; /* out */
  int32_t wait_ms;
} VELA_GPS_READ;

typedef struct tagVELA_TEXT_READ {
  char* text;      /* out: the answer text, terminated only if it fits */
  uint32_t size;   /* size of text in bytes */
  uint32_t needed; /* out: answer length + 1 */
} VELA_TEXT_READ;

typedef struct tagVELA_CHANNEL_REPORT {
  uint64_t value0;
  uint64_t value1;
  uint8_t channel;
  uint8_t byte17;
  uint16_t value16;
  uint32_t value32;
} VELA_CHANNEL_REPORT;

typedef struct tagVELA_NOTICE {
  uint32_t low;  /* low half of the 64-bit value */
  uint32_t high; /* high half */
} VELA_NOTICE;

/* Counters of key VELA_REF_STATS, all counted since the device was opened
 * (take differences for rates). Set `size` to sizeof(VELA_STATS) before the
 * call; the library fills at most that many bytes and sets `size` to the
 * number it filled, so an older caller with a shorter record keeps working
 * when the record grows at its end; a size below 4 gives 0. Reading the
 * counters takes no lock and sends nothing. */
#define VELA_STATS_CHANNELS 4u
typedef struct tagVELA_CHANNEL_STATS {
  uint64_t frames_can;      /* CAN frames queued for VELA_Receive */
  uint64_t frames_canfd;    /* CAN FD frames queued for VELA_ReceiveFD */
  uint64_t error_frames;    /* error frames (queued as error information) */
  uint64_t dropped_can;     /* dropped at the queue limit: the oldest CAN frame */
  uint64_t dropped_canfd;   /* ... CAN FD frame */
  uint64_t dropped_errors;  /* ... error information */
  uint64_t dropped_markers; /* ... marker */
} VELA_CHANNEL_STATS;

typedef struct tagVELA_STATS {
  uint32_t size;     /* in: size of the caller's record; out: bytes filled */
  uint32_t channels; /* out: the device's channel count (entries used below) */
  /* Valid packets received, by type. */
  uint64_t packets_can;
  uint64_t packets_canfd;
  uint64_t packets_autosend;
  uint64_t packets_report;
  uint64_t packets_text;
  uint64_t packets_gps;
  uint64_t packets_command;
  uint64_t packets_notice;
  uint64_t packets_notice_ack;
  uint64_t packets_other;
  uint64_t bytes_received;    /* every byte the transport handed on */
  uint64_t bytes_skipped;     /* bytes skipped while resynchronising */
  uint64_t bad_checksums;     /* whole packets whose checksum failed */
  uint64_t datagrams_foreign; /* UDP: ignored, from a sender other than the gateway */
  uint64_t datagrams_own;     /* UDP: ignored, our own datagrams looped back */
  uint64_t connections_made;  /* TCP: connects, reconnects and accepted gateways */
  uint64_t connections_lost;  /* TCP: connections that ended without a reset */
  uint64_t send_failures;     /* blocks not sent: no link, or a broken one */
  uint64_t send_timeouts;     /* blocks cut short by the send time limit */
  uint64_t requests_sent;     /* command requests handed to the network */
  uint64_t requests_answered;
  uint64_t requests_timed_out;
  uint64_t late_answers;     /* answers that matched no waiting request */
  uint64_t dropped_gps;      /* GPS records dropped at the queue limit */
  uint64_t last_frame_time;  /* host time of the last received frame, us since 1970 UTC; 0 = none */
  uint64_t last_frame_stamp; /* that frame's gateway time stamp */
  VELA_CHANNEL_STATS channel[VELA_STATS_CHANNELS];
  /* Requests and their keys. A key (packet sequence and message id, 2048 of
   * them) is not reused while its request waits, nor for 1.5 s after it
   * ended, so that a late answer is dropped (late_answers) instead of taken
   * for a newer request's. */
  uint64_t requests_delayed; /* waited for a free key, then were sent */
  uint64_t requests_refused; /* failed, not sent: no key came free in their 1.5 s */
} VELA_STATS;

/* Key VELA_REF_WAIT (device level): one wait on several queues of a device,
 * where VELA_Receive waits on one. Get waits until a chosen queue of a
 * chosen channel holds something, `wait_ms` passes (0 = look only, > 0 = at
 * most that many ms, not rounded to 10 ms steps, < 0 = no limit), a set of
 * the key ends it, or the device closes. It returns 1 with the ready masks
 * filled (all zero: time out or ended by a set), 0 for a closed device, no
 * channel or queue chosen, or a channel the device does not have. It takes
 * nothing from the queues. Set (value ignored, may be NULL) ends every wait
 * of the device at once, e.g. when the caller queued a frame of its own. */
#define VELA_WAIT_CAN 0x1u    /* the CAN queue of VELA_Receive */
#define VELA_WAIT_CANFD 0x2u  /* the CAN FD queue of VELA_ReceiveFD */
#define VELA_WAIT_ERRORS 0x4u /* the error information of VELA_ReadChannelErrInfo */
typedef struct tagVELA_WAIT {
  uint32_t channels;     /* in: bit n chooses channel n */
  uint32_t queues;       /* in: VELA_WAIT_* */
  int32_t wait_ms;       /* in */
  uint32_t ready_can;    /* out: chosen channels whose CAN queue holds frames */
  uint32_t ready_canfd;  /* out: ... whose CAN FD queue holds frames */
  uint32_t ready_errors; /* out: ... with error information waiting */
} VELA_WAIT;

/* ---- Functions ----------------------------------------------------------- */
/* Opens (or finds) a device; `reserved` low 16 bits = initial local port.
 * Returns the device handle; 0 when index > 255 or the handle would be 0. */
TARNLINK_EXPORT uint32_t TARNLINK_CALL VELA_OpenDevice(uint32_t type, uint32_t index, uint32_t reserved);
/* 1 when an open device was closed (its threads stopped), else 0. */
TARNLINK_EXPORT uint32_t TARNLINK_CALL VELA_CloseDevice(uint32_t handle);
/* 1 and `info` filled from the gateway's answer; 0 on time-out or failure. */
TARNLINK_EXPORT uint32_t TARNLINK_CALL VELA_GetDeviceInf(uint32_t handle, VELA_DEVICE_INFO* info);
/* The channel handle; 0 when the device is not open. `config` is not read. */
TARNLINK_EXPORT uint32_t TARNLINK_CALL VELA_InitCAN(uint32_t handle, uint32_t channel, const void* config);
/* 1 when the channel is started; the first start connects, listens or binds. */
TARNLINK_EXPORT uint32_t TARNLINK_CALL VELA_StartCAN(uint32_t channel_handle);
/* 1 when the channel is stopped; the last one closes the connection.
 * 0 for a bad channel or a device that was never started. */
TARNLINK_EXPORT uint32_t TARNLINK_CALL VELA_ResetCAN(uint32_t channel_handle);
/* 1 when the device is open (the channel's queues are emptied). */
TARNLINK_EXPORT uint32_t TARNLINK_CALL VELA_ClearBuffer(uint32_t channel_handle);
/* 1 and the oldest error information (all zero when none); 0 on bad input. */
TARNLINK_EXPORT uint32_t TARNLINK_CALL VELA_ReadChannelErrInfo(uint32_t channel_handle, VELA_CHANNEL_ERR_INFO* info);
/* 1 and the channel status; 0 on bad input. */
TARNLINK_EXPORT uint32_t TARNLINK_CALL VELA_ReadChannelStatus(uint32_t channel_handle, VELA_CHANNEL_STATUS* status);
/* Number of frames handed to the network (60 per packet); 0 on failure. */
TARNLINK_EXPORT uint32_t TARNLINK_CALL VELA_Transmit(uint32_t channel_handle, const VELA_CAN_TRANSMIT* frames,
                                                     uint32_t count);
/* Number of frames stored in `frames` (the rest of it zeroed); 0 on failure. */
TARNLINK_EXPORT uint32_t TARNLINK_CALL VELA_Receive(uint32_t channel_handle, VELA_CAN_RECEIVE* frames,
                                                    uint32_t capacity, int32_t wait_ms);
/* Number of frames handed to the network (18 per packet); 0 on failure. */
TARNLINK_EXPORT uint32_t TARNLINK_CALL VELA_TransmitFD(uint32_t channel_handle, const VELA_CANFD_TRANSMIT* frames,
                                                       uint32_t count);
/* Number of CAN FD frames stored in `frames`; 0 on failure. */
TARNLINK_EXPORT uint32_t TARNLINK_CALL VELA_ReceiveFD(uint32_t channel_handle, VELA_CANFD_RECEIVE* frames,
                                                      uint32_t capacity, int32_t wait_ms);
/* Not supported: always 0. */
TARNLINK_EXPORT uint32_t TARNLINK_CALL GetIProperty(uint32_t unused);
TARNLINK_EXPORT uint32_t TARNLINK_CALL ReleaseIProperty(uint32_t unused);
/* 1 when the key was read into `value`; 0 for a closed device, bad channel,
 * NULL value, unknown key or failed gateway exchange. */
TARNLINK_EXPORT uint32_t TARNLINK_CALL VELA_GetReference(uint32_t type, uint32_t index, uint32_t channel, uint32_t key,
                                                         void* value);
/* 1 when the key was applied; 0 as for VELA_GetReference. */
TARNLINK_EXPORT uint32_t TARNLINK_CALL VELA_SetReference(uint32_t type, uint32_t index, uint32_t channel, uint32_t key,
                                                         const void* value);
/* Frames waiting in the channel's CAN (selector 0) or CAN FD (1) queue. */
TARNLINK_EXPORT uint32_t TARNLINK_CALL VELA_GetReceiveNum(uint32_t channel_handle, uint32_t selector);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* ---- Layout checks ------------------------------------------------------- */
#if defined(__cplusplus)
#define TARNLINK_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#define TARNLINK_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif
TARNLINK_STATIC_ASSERT(sizeof(VELA_CAN_TRANSMIT) == 20, "CAN transmit record is 20 bytes");
TARNLINK_STATIC_ASSERT(sizeof(VELA_CANFD_TRANSMIT) == 76, "CAN FD transmit record is 76 bytes");
TARNLINK_STATIC_ASSERT(sizeof(VELA_CAN_RECEIVE) == 24, "CAN receive record is 24 bytes");
TARNLINK_STATIC_ASSERT(offsetof(VELA_CAN_RECEIVE, timestamp) == 16, "CAN receive time stamp at 16");
TARNLINK_STATIC_ASSERT(sizeof(VELA_CANFD_RECEIVE) == 80, "CAN FD receive record is 80 bytes");
TARNLINK_STATIC_ASSERT(offsetof(VELA_CANFD_RECEIVE, timestamp) == 72, "CAN FD receive time stamp at 72");
TARNLINK_STATIC_ASSERT(sizeof(VELA_CAN_AUTOSEND) == 28, "CAN auto-send object is 28 bytes");
TARNLINK_STATIC_ASSERT(sizeof(VELA_CANFD_AUTOSEND) == 84, "CAN FD auto-send object is 84 bytes");
TARNLINK_STATIC_ASSERT(sizeof(VELA_CHANNEL_STATUS) == 12, "channel status is 12 bytes");
TARNLINK_STATIC_ASSERT(sizeof(VELA_CHANNEL_ERR_INFO) == 8, "error information is 8 bytes");
TARNLINK_STATIC_ASSERT(sizeof(VELA_DEVICE_INFO) == 80, "device information is 80 bytes");
TARNLINK_STATIC_ASSERT(offsetof(VELA_DEVICE_INFO, serial) == 11, "serial number at 11");
TARNLINK_STATIC_ASSERT(offsetof(VELA_DEVICE_INFO, model) == 31, "model at 31");
TARNLINK_STATIC_ASSERT(sizeof(VELA_GPS) == 40, "GPS record is 40 bytes");
TARNLINK_STATIC_ASSERT(offsetof(VELA_GPS, latitude) == 16, "latitude at 16");
TARNLINK_STATIC_ASSERT(sizeof(VELA_CLIENT) == 44, "client record is 44 bytes");
TARNLINK_STATIC_ASSERT(offsetof(VELA_CLIENT, ip) == 12, "client address at 12");
TARNLINK_STATIC_ASSERT(sizeof(VELA_CHANNEL_REPORT) == 24, "channel report is 24 bytes");
TARNLINK_STATIC_ASSERT(offsetof(VELA_CHANNEL_REPORT, value32) == 20, "channel report u32 at 20");
TARNLINK_STATIC_ASSERT(sizeof(VELA_NOTICE) == 8, "notice value is 8 bytes");
TARNLINK_STATIC_ASSERT(sizeof(VELA_CHANNEL_STATS) == 56, "channel statistics are 56 bytes");
TARNLINK_STATIC_ASSERT(offsetof(VELA_STATS, size) == 0, "statistics start with their size");
TARNLINK_STATIC_ASSERT(offsetof(VELA_STATS, packets_can) == 8, "packet counts at 8");
TARNLINK_STATIC_ASSERT(offsetof(VELA_STATS, bytes_received) == 88, "byte counts at 88");
TARNLINK_STATIC_ASSERT(offsetof(VELA_STATS, requests_sent) == 160, "request counts at 160");
TARNLINK_STATIC_ASSERT(offsetof(VELA_STATS, last_frame_time) == 200, "last frame time at 200");
TARNLINK_STATIC_ASSERT(offsetof(VELA_STATS, channel) == 216, "channel statistics at 216");
TARNLINK_STATIC_ASSERT(sizeof(VELA_STATS) == 456, "statistics are 456 bytes");
TARNLINK_STATIC_ASSERT(sizeof(VELA_WAIT) == 24, "wait record is 24 bytes");
TARNLINK_STATIC_ASSERT(offsetof(VELA_MARKER_READ, count) == sizeof(void*), "marker count after the pointer");
TARNLINK_STATIC_ASSERT(offsetof(VELA_MARKER_READ, wait_ms) == sizeof(void*) + 4, "marker wait after count");
TARNLINK_STATIC_ASSERT(offsetof(VELA_GPS_READ, capacity) == sizeof(void*), "GPS capacity after the pointer");
TARNLINK_STATIC_ASSERT(offsetof(VELA_GPS_READ, wait_ms) == sizeof(void*) + 8, "GPS wait after count");
TARNLINK_STATIC_ASSERT(offsetof(VELA_TEXT_READ, size) == sizeof(void*), "text size after the pointer");
TARNLINK_STATIC_ASSERT(offsetof(VELA_TEXT_READ, needed) == sizeof(void*) + 4, "text needed after size");
#undef TARNLINK_STATIC_ASSERT

#endif /* TARNLINK_TARNLINK_H_ */
