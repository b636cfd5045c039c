#include "tools/cli/frame_text.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace tarnlink::cli {
namespace {

constexpr uint8_t kFdLengths[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Fail(std::string* error, const std::string& reason) {
  if (error != nullptr) *error = reason;
  return false;
}

// Hex pairs with optional single '.' separators between bytes.
bool ParseData(std::string_view text, uint8_t max_len, Frame* out, std::string* error) {
  size_t i = 0;
  uint8_t n = 0;
  while (i < text.size()) {
    if (text[i] == '.') {
      if (i == 0 || i + 1 == text.size() || text[i + 1] == '.') return Fail(error, "misplaced '.' in the data");
      ++i;
      continue;
    }
    const int hi = HexValue(text[i]);
    if (hi < 0) return Fail(error, Quoted(text.substr(i, 1)) + " is not a hex digit");
    if (i + 1 >= text.size() || text[i + 1] == '.') return Fail(error, "data bytes need two hex digits each");
    const int lo = HexValue(text[i + 1]);
    if (lo < 0) return Fail(error, Quoted(text.substr(i + 1, 1)) + " is not a hex digit");
    if (n == max_len) {
      return Fail(
          error, max_len == kCanMaxLen ? "more than 8 data bytes (CAN FD frames use '##')" : "more than 64 data bytes");
    }
    out->data[n++] = static_cast<uint8_t>(hi << 4 | lo);
    i += 2;
  }
  out->len = n;
  return true;
}

void AppendHex(std::string* s, uint32_t value, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof(buf), "%0*" PRIX32, digits, value);
  s->append(buf);
}

void AppendId(std::string* s, const Frame& f) {
  if (f.error()) {
    AppendHex(s, f.id & (VELA_ID_MASK | VELA_ID_ERR_FLAG), 8);
  } else if (f.extended()) {
    AppendHex(s, f.identifier(), 8);
  } else {
    AppendHex(s, f.id & 0x7FFu, 3);
  }
}

uint8_t PrintedLength(const Frame& f) {
  const uint8_t max = f.fd ? kCanFdMaxLen : kCanMaxLen;
  return f.len > max ? max : f.len;
}

}  // namespace

bool operator==(const Frame& a, const Frame& b) {
  return a.id == b.id && a.len == b.len && a.fd == b.fd && a.fd_flags == b.fd_flags &&
         std::memcmp(a.data, b.data, sizeof(a.data)) == 0;
}

bool ParseHex(std::string_view text, uint64_t max, uint64_t* out) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
  if (text.empty() || text.size() > 16) return false;
  uint64_t v = 0;
  for (char c : text) {
    const int d = HexValue(c);
    if (d < 0) return false;
    v = v << 4 | static_cast<uint64_t>(d);
  }
  if (v > max) return false;
  *out = v;
  return true;
}

uint8_t FdLengthRoundUp(uint8_t len) {
  for (uint8_t valid : kFdLengths) {
    if (valid >= len) return valid;
  }
  return kCanFdMaxLen;
}

bool ParseFrame(std::string_view text, Frame* out, std::string* error) {
  Frame f;
  const size_t hash = text.find('#');
  if (hash == std::string_view::npos) return Fail(error, "expected <id>#<data>");
  const std::string_view id_text = text.substr(0, hash);
  if (id_text.size() != 3 && id_text.size() != 8) {
    return Fail(error, "the identifier has 3 hex digits (standard) or 8 (extended)");
  }
  uint32_t id = 0;
  for (char c : id_text) {
    const int v = HexValue(c);
    if (v < 0) return Fail(error, Quoted(std::string_view(&c, 1)) + " is not a hex digit");
    id = id << 4 | static_cast<uint32_t>(v);
  }
  if (id_text.size() == 3) {
    if (id > 0x7FF) return Fail(error, "a standard identifier is at most 7FF");
    f.id = id;
  } else if ((id & VELA_ID_ERR_FLAG) != 0) {
    // candump's spelling of an error frame: the flag and the error classes.
    if ((id & ~(VELA_ID_MASK | VELA_ID_ERR_FLAG)) != 0) return Fail(error, "bad error frame identifier");
    f.id = id;
  } else {
    if (id > VELA_ID_MASK) return Fail(error, "an extended identifier is at most 1FFFFFFF");
    f.id = id | VELA_ID_EFF_FLAG;
  }

  std::string_view rest = text.substr(hash + 1);
  if (!rest.empty() && rest[0] == '#') {
    if (f.error()) return Fail(error, "an error frame is not a CAN FD frame");
    rest.remove_prefix(1);
    if (rest.empty()) return Fail(error, "a CAN FD frame needs its flags digit after '##'");
    const int flags = HexValue(rest[0]);
    if (flags < 0) return Fail(error, "the CAN FD flags digit must be hex");
    if ((flags & ~(VELA_FD_BRS | VELA_FD_ESI)) != 0) return Fail(error, "CAN FD flags are 1 (BRS) and 2 (ESI)");
    f.fd = true;
    f.fd_flags = static_cast<uint8_t>(flags);
    if (!ParseData(rest.substr(1), kCanFdMaxLen, &f, error)) return false;
    f.len = FdLengthRoundUp(f.len);
  } else if (!rest.empty() && (rest[0] == 'R' || rest[0] == 'r')) {
    if (f.error()) return Fail(error, "an error frame is not a remote frame");
    f.id |= VELA_ID_RTR_FLAG;
    if (rest.size() > 2) return Fail(error, "a remote frame takes at most one length digit after 'R'");
    if (rest.size() == 2) {
      const int len = HexValue(rest[1]);
      if (len < 0 || len > kCanMaxLen) return Fail(error, "a remote frame's length is 0-8");
      f.len = static_cast<uint8_t>(len);
    }
  } else if (!ParseData(rest, kCanMaxLen, &f, error)) {
    return false;
  }
  *out = f;
  return true;
}

std::string LogText(const Frame& f) {
  std::string s;
  AppendId(&s, f);
  s += '#';
  if (f.fd) {
    s += '#';
    AppendHex(&s, f.fd_flags & 0x0Fu, 1);
  } else if (f.remote()) {
    s += 'R';
    if (f.len > 0 && f.len <= kCanMaxLen) AppendHex(&s, f.len, 1);
    return s;
  }
  const uint8_t n = PrintedLength(f);
  for (uint8_t i = 0; i < n; ++i) AppendHex(&s, f.data[i], 2);
  return s;
}

std::string ChannelName(uint32_t channel) { return "ch" + std::to_string(channel); }

std::string Quoted(std::string_view text, size_t max) {
  std::string s = "'";
  for (size_t i = 0; i < text.size() && i < max; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      s += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof(hex), "\\x%02X", c);
      s += hex;
    }
  }
  if (text.size() <= max) return s + "'";
  return s + "...' (" + std::to_string(text.size()) + " bytes)";
}

namespace {

// "# ch0 " or " ch0  ": what precedes an event of a channel.
std::string EventHead(uint32_t channel, bool log, int name_width) {
  char buf[48];
  if (log) {
    std::snprintf(buf, sizeof(buf), "# %s ", ChannelName(channel).c_str());
  } else {
    std::snprintf(buf, sizeof(buf), " %*s  ", name_width, ChannelName(channel).c_str());
  }
  return buf;
}

}  // namespace

std::string MarkerLine(uint32_t channel, uint64_t stamp, bool log, int name_width) {
  return EventHead(channel, log, name_width) + "marker " + std::to_string(stamp);
}

std::string GpsLine(const VELA_GPS& fix, bool log, int name_width) {
  char buf[64];
  // A fix belongs to the device, not to a channel: "gps" stands in the channel column.
  std::snprintf(buf, sizeof(buf), " %*s  ", name_width, "gps");
  std::string s = log ? "# gps " : buf;
  auto value = [&](const char* name, uint32_t valid_bit, const char* format, double v) {
    s += ' ';
    s += name;
    if ((fix.valid & valid_bit) == 0) {
      s += " -";
      return;
    }
    std::snprintf(buf, sizeof(buf), format, v);
    s += buf;
  };
  if ((fix.valid & 0x01u) != 0) {
    std::snprintf(buf, sizeof(buf), "%04u-%02u-%02u %02u:%02u:%02u", fix.year, fix.month, fix.day, fix.hour, fix.minute,
                  fix.second);
    s += buf;
  } else {
    s += '-';
  }
  // One validity bit covers the position, so latitude and longitude share it.
  value("lat", 0x02u, " %.6f", fix.latitude);
  value("lon", 0x02u, " %.6f", fix.longitude);
  value("alt", 0x10u, " %.1f", fix.altitude);
  value("speed", 0x04u, " %.1f", fix.speed);
  value("course", 0x08u, " %.2f", fix.course);
  return s;
}

std::string ReportLine(uint32_t channel, const VELA_CHANNEL_REPORT& r, bool log, int name_width) {
  char buf[160];
  std::snprintf(buf, sizeof(buf), "report value0 %" PRIu64 " value1 %" PRIu64 " byte17 %u value16 %u value32 %" PRIu32,
                r.value0, r.value1, static_cast<unsigned>(r.byte17), static_cast<unsigned>(r.value16), r.value32);
  return EventHead(channel, log, name_width) + buf;
}

std::string LogLine(const Frame& f, uint32_t channel, uint64_t seconds, uint32_t micros) {
  char stamp[48];
  std::snprintf(stamp, sizeof(stamp), "(%010" PRIu64 ".%06" PRIu32 ") ", seconds, micros);
  return stamp + ChannelName(channel) + ' ' + LogText(f);
}

bool ParseLogLine(std::string_view line, LogEntry* out, std::string* error) {
  // "(" seconds "." microseconds ")" blanks name blanks frame [blanks ...]
  auto skip_blanks = [&line] {
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
  };
  auto token = [&line] {
    size_t n = 0;
    while (n < line.size() && line[n] != ' ' && line[n] != '\t' && line[n] != '\r' && line[n] != '\n') ++n;
    const std::string_view t = line.substr(0, n);
    line.remove_prefix(n);
    return t;
  };
  skip_blanks();
  const size_t close = line.find(')');
  if (line.empty() || line.front() != '(' || close == std::string_view::npos) {
    return Fail(error, "not a candump -L line: no (seconds.microseconds) time stamp");
  }
  const std::string_view stamp = line.substr(1, close - 1);
  const size_t dot = stamp.find('.');
  LogEntry e;
  uint64_t v = 0;
  if (dot == std::string_view::npos || dot == 0 || dot > 19 || stamp.size() - dot - 1 != 6) {
    return Fail(error, "time stamp " + Quoted(stamp) + " is not seconds.microseconds");
  }
  for (char c : stamp.substr(0, dot)) {
    if (c < '0' || c > '9') return Fail(error, "time stamp " + Quoted(stamp) + " is not seconds.microseconds");
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  e.seconds = v;
  v = 0;
  for (char c : stamp.substr(dot + 1)) {
    if (c < '0' || c > '9') return Fail(error, "time stamp " + Quoted(stamp) + " is not seconds.microseconds");
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  e.micros = static_cast<uint32_t>(v);
  line.remove_prefix(close + 1);
  skip_blanks();
  e.name = std::string(token());
  skip_blanks();
  const std::string_view frame = token();
  if (e.name.empty() || frame.empty()) return Fail(error, "an interface name and a frame follow the time stamp");
  if (!ParseFrame(frame, &e.frame, error)) return false;
  // A log records frames as they were on the bus: a CAN FD frame of a length
  // no controller sends is damage, not something to pad (tshark refuses it too).
  if (e.frame.fd) {
    size_t digits = 0;
    for (char c : frame.substr(frame.find("##") + 3)) digits += c != '.';
    const size_t bytes = digits / 2;
    if (bytes > kCanFdMaxLen || FdLengthRoundUp(static_cast<uint8_t>(bytes)) != bytes) {
      return Fail(error, std::to_string(bytes) + " data bytes is not a CAN FD length");
    }
  }
  // After the frame only candump's direction flag may follow.
  skip_blanks();
  const std::string_view flag = token();
  skip_blanks();
  const bool flag_ok = flag.empty() || flag == "R" || flag == "T";
  if (!flag_ok || !(line.empty() || line.front() == '\r' || line.front() == '\n')) {
    return Fail(error, "unexpected text after the frame");
  }
  *out = e;
  return true;
}

std::string ColumnsLine(const Frame& f, uint32_t channel, int name_width) {
  char buf[32];
  std::snprintf(buf, sizeof(buf), " %*s  ", name_width, ChannelName(channel).c_str());
  std::string s = buf;
  AppendId(&s, f);
  const uint8_t n = PrintedLength(f);
  if (f.fd) {
    std::snprintf(buf, sizeof(buf), "  [%02u]  ", static_cast<unsigned>(n));
  } else {
    std::snprintf(buf, sizeof(buf), "   [%u]  ", static_cast<unsigned>(n));
  }
  s += buf;
  if (f.remote() && !f.fd) {
    s += "remote request";
    return s;
  }
  for (uint8_t i = 0; i < n; ++i) {
    if (i > 0) s += ' ';
    AppendHex(&s, f.data[i], 2);
  }
  if (f.error()) s += "   " + DescribeErrorFrame(f);
  return s;
}

namespace {

template <typename Record>
Frame FromRecord(const Record& r) {
  Frame f;
  f.id = r.id;
  f.len = r.len;
  std::memcpy(f.data, r.data, sizeof(r.data));
  return f;
}

template <typename Record>
Frame FromFdRecord(const Record& r, uint8_t flags) {
  Frame f = FromRecord(r);
  f.fd = true;
  f.fd_flags = r.flags & flags;
  return f;
}

}  // namespace

Frame FromReceive(const VELA_CAN_RECEIVE& r) { return FromRecord(r); }
Frame FromReceive(const VELA_CANFD_RECEIVE& r) { return FromFdRecord(r, VELA_FD_BRS | VELA_FD_ESI); }
Frame FromTransmit(const VELA_CAN_TRANSMIT& t) { return FromRecord(t); }
Frame FromTransmit(const VELA_CANFD_TRANSMIT& t) { return FromFdRecord(t, VELA_FD_BRS); }

VELA_CAN_TRANSMIT ToTransmit(const Frame& f) {
  VELA_CAN_TRANSMIT t{};
  t.id = f.id & ~VELA_ID_ERR_FLAG;
  t.len = f.len > kCanMaxLen ? kCanMaxLen : f.len;
  std::memcpy(t.data, f.data, sizeof(t.data));
  return t;
}

VELA_CANFD_TRANSMIT ToTransmitFd(const Frame& f) {
  VELA_CANFD_TRANSMIT t{};
  t.id = f.id & ~(VELA_ID_ERR_FLAG | VELA_ID_RTR_FLAG);
  t.len = f.len > kCanFdMaxLen ? kCanFdMaxLen : f.len;
  t.flags = f.fd_flags & VELA_FD_BRS;  // ESI is the receiver's observation, never sent
  std::memcpy(t.data, f.data, sizeof(t.data));
  return t;
}

bool ErrorInfoToFrame(const VELA_CHANNEL_ERR_INFO& info, Frame* out) {
  if (info.error_code == 0) return false;
  Frame f;
  f.id = VELA_ID_ERR_FLAG;
  f.len = kCanMaxLen;
  switch (info.error_code) {
    case VELA_ERR_OVERFLOW:
      f.id |= kErrClassController;
      f.data[1] = kErrCtrlRxOverflow;
      break;
    case VELA_ERR_WARNING:
      f.id |= kErrClassController;
      f.data[1] = kErrCtrlRxWarning | kErrCtrlTxWarning;
      break;
    case VELA_ERR_PASSIVE:
      f.id |= kErrClassController;
      f.data[1] = kErrCtrlRxPassive | kErrCtrlTxPassive;
      break;
    case VELA_ERR_BUS_OFF:
      f.id |= kErrClassBusOff;
      break;
    case VELA_ERR_BUS: {
      // Detail byte 0 is an error-code-capture value: bits 7-6 the kind,
      // bit 5 set for a receive error, bits 4-0 the frame segment, whose
      // numbering SocketCAN's protocol-error locations share.
      const uint8_t ecc = info.detail[0];
      f.id |= kErrClassProtocol | kErrClassBusError;
      switch (ecc & 0xC0) {
        case 0x00:
          f.data[2] = kErrProtBit;
          break;
        case 0x40:
          f.data[2] = kErrProtForm;
          break;
        case 0x80:
          f.data[2] = kErrProtStuff;
          break;
        default:
          break;
      }
      if ((ecc & 0x20) == 0) f.data[2] |= kErrProtTx;
      f.data[3] = ecc & 0x1F;
      break;
    }
    default:
      // The gateway's own code, outside SocketCAN's classes: no class bit,
      // the code in byte 0.
      f.data[0] = static_cast<uint8_t>(info.error_code);
      break;
  }
  // The raw detail bytes in the controller-specific bytes 5-7.
  f.data[5] = info.detail[0];
  f.data[6] = info.detail[1];
  f.data[7] = info.detail[2];
  *out = f;
  return true;
}

std::string DescribeErrorFrame(const Frame& f) {
  const uint32_t cls = f.identifier();
  std::string s = "ERRORFRAME";
  if ((cls & kErrClassController) != 0) {
    if ((f.data[1] & kErrCtrlRxOverflow) != 0) s += " rx-overflow";
    if ((f.data[1] & (kErrCtrlRxWarning | kErrCtrlTxWarning)) != 0) s += " error-warning";
    if ((f.data[1] & (kErrCtrlRxPassive | kErrCtrlTxPassive)) != 0) s += " error-passive";
  }
  if ((cls & kErrClassProtocol) != 0) {
    s += " bus-error{";
    switch (f.data[2] & 0x07) {
      case kErrProtBit:
        s += "bit";
        break;
      case kErrProtForm:
        s += "form";
        break;
      case kErrProtStuff:
        s += "stuff";
        break;
      default:
        s += "other";
        break;
    }
    s += (f.data[2] & kErrProtTx) != 0 ? ",tx" : ",rx";
    char loc[16];
    std::snprintf(loc, sizeof(loc), ",loc=%02X}", f.data[3]);
    s += loc;
  }
  if ((cls & kErrClassBusOff) != 0) s += " bus-off";
  if (cls == 0) {
    char code[32];
    std::snprintf(code, sizeof(code), " gateway-code=%02X", f.data[0]);
    s += code;
  }
  return s;
}

}  // namespace tarnlink::cli
