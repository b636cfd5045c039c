// Frames as text: cansend's frame syntax in, candump's formats out, and the
// conversions between the driver's records and one neutral frame type.
#ifndef TARNLINK_TOOLS_CLI_FRAME_TEXT_H_
#define TARNLINK_TOOLS_CLI_FRAME_TEXT_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "tarnlink/tarnlink.h"

namespace tarnlink::cli {

constexpr uint8_t kCanMaxLen = 8;
constexpr uint8_t kCanFdMaxLen = 64;

// SocketCAN error classes (bits of an error frame's identifier) and the data
// bytes that detail them, as candump and the tools reading its logs know them.
constexpr uint32_t kErrClassController = 0x004;
constexpr uint32_t kErrClassProtocol = 0x008;
constexpr uint32_t kErrClassBusOff = 0x040;
constexpr uint32_t kErrClassBusError = 0x080;
constexpr uint8_t kErrCtrlRxOverflow = 0x01;
constexpr uint8_t kErrCtrlRxWarning = 0x04;
constexpr uint8_t kErrCtrlTxWarning = 0x08;
constexpr uint8_t kErrCtrlRxPassive = 0x10;
constexpr uint8_t kErrCtrlTxPassive = 0x20;
constexpr uint8_t kErrProtBit = 0x01;
constexpr uint8_t kErrProtForm = 0x02;
constexpr uint8_t kErrProtStuff = 0x04;
constexpr uint8_t kErrProtTx = 0x80;

struct Frame {
  uint32_t id = 0;  // identifier word: identifier in bits 0-28, VELA_ID_* flags above
  uint8_t len = 0;
  bool fd = false;
  uint8_t fd_flags = 0;  // VELA_FD_BRS, VELA_FD_ESI (FD frames only)
  uint8_t data[kCanFdMaxLen] = {};

  bool extended() const { return (id & VELA_ID_EFF_FLAG) != 0; }
  bool remote() const { return (id & VELA_ID_RTR_FLAG) != 0; }
  bool error() const { return (id & VELA_ID_ERR_FLAG) != 0; }
  uint32_t identifier() const { return id & VELA_ID_MASK; }
};

bool operator==(const Frame& a, const Frame& b);
inline bool operator!=(const Frame& a, const Frame& b) { return !(a == b); }

// cansend syntax:
//   <id>#<data>         classic frame, data as hex pairs (up to 8), optional '.' between bytes
//   <id>#R[<len>]       remote frame, length 0-8
//   <id>##<flags><data> CAN FD frame, flags one hex digit (1 = BRS, 2 = ESI), up to 64 bytes
// <id> is 3 hex digits (standard, at most 7FF) or 8 (extended); an 8-digit
// identifier with the error flag 20000000 makes an error frame. An FD length
// between the valid FD lengths is padded with zeros to the next one, as a
// CAN FD controller does. On failure `error` gets a short reason.
bool ParseFrame(std::string_view text, Frame* out, std::string* error);

// Hex digits, with or without 0x, up to max.
bool ParseHex(std::string_view text, uint64_t max, uint64_t* out);

// The next valid CAN FD data length at or above len (len <= 64).
uint8_t FdLengthRoundUp(uint8_t len);

// candump -L frame text: "123#DEADBEEF", "12345678#", "123#R4", "123##1AABB", "20000004#...".
std::string LogText(const Frame& frame);
// A whole candump -L line: "(1700000000.000123) ch0 123#DEADBEEF".
std::string LogLine(const Frame& frame, uint32_t channel, uint64_t seconds, uint32_t micros);
// A candump -L line read back: time stamp, interface name and frame. Names
// are kept as written ("ch0", "can1"); anything after the frame (candump's
// direction flags) is ignored. False, with a reason, on anything else.
struct LogEntry {
  uint64_t seconds = 0;
  uint32_t micros = 0;
  std::string name;
  Frame frame;
};
bool ParseLogLine(std::string_view line, LogEntry* out, std::string* error);
// candump's default columns: " ch0  123   [4]  DE AD BE EF". The channel name
// is right-aligned to name_width characters, as candump aligns interface names.
std::string ColumnsLine(const Frame& frame, uint32_t channel, int name_width = 3);
// "ch0", "ch12".
std::string ChannelName(uint32_t channel);
// Text from a file or a peer for a message: in quotes, bytes outside
// printable ASCII as \xNN, and at most max bytes of it, with the length of
// the whole when that was longer: 'abc...' (65532 bytes).
std::string Quoted(std::string_view text, size_t max = 40);

// Gateway events that are not frames, one line each without its newline.
// log = true gives a comment line, which readers of candump logs pass over
// ("# ch0 marker 123456"); false a plain line in the style of the columns
// (" ch0  marker 123456"). A GPS value the fix marks invalid prints as "-".
std::string MarkerLine(uint32_t channel, uint64_t stamp, bool log, int name_width = 3);
std::string GpsLine(const VELA_GPS& fix, bool log, int name_width = 3);
std::string ReportLine(uint32_t channel, const VELA_CHANNEL_REPORT& report, bool log, int name_width = 3);

// Driver records to and from frames.
Frame FromReceive(const VELA_CAN_RECEIVE& record);
Frame FromReceive(const VELA_CANFD_RECEIVE& record);
Frame FromTransmit(const VELA_CAN_TRANSMIT& record);
Frame FromTransmit(const VELA_CANFD_TRANSMIT& record);
VELA_CAN_TRANSMIT ToTransmit(const Frame& frame);
VELA_CANFD_TRANSMIT ToTransmitFd(const Frame& frame);

// The driver's error information as a SocketCAN-style error frame, so logs
// carry it the way candump logs carry controller errors. Error code 0 (no
// information) gives false.
bool ErrorInfoToFrame(const VELA_CHANNEL_ERR_INFO& info, Frame* out);
// Human-readable meaning of an error frame made by ErrorInfoToFrame.
std::string DescribeErrorFrame(const Frame& frame);

}  // namespace tarnlink::cli

#endif  // TARNLINK_TOOLS_CLI_FRAME_TEXT_H_
