#include "tools/serve/socketcand_protocol.h"

#include <array>

namespace tarnlink::serve::socketcand {
namespace {

constexpr size_t kMaxWords = 80;  // fdsend/filter: 5 + 64 bytes, and a margin
constexpr char kHex[] = "0123456789ABCDEF";

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Whitespace-separated words; false when there are more than kMaxWords.
bool Split(std::string_view text, std::array<std::string_view, kMaxWords>* words, size_t* count) {
  size_t n = 0;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && IsSpace(text[i])) ++i;
    if (i == text.size()) break;
    size_t j = i;
    while (j < text.size() && !IsSpace(text[j])) ++j;
    if (n == kMaxWords) return false;
    (*words)[n++] = text.substr(i, j - i);
    i = j;
  }
  *count = n;
  return true;
}

bool HexDigit(char c, uint32_t* v) {
  if (c >= '0' && c <= '9') {
    *v = static_cast<uint32_t>(c - '0');
  } else if (c >= 'a' && c <= 'f') {
    *v = static_cast<uint32_t>(c - 'a' + 10);
  } else if (c >= 'A' && c <= 'F') {
    *v = static_cast<uint32_t>(c - 'A' + 10);
  } else {
    return false;
  }
  return true;
}

bool ParseHexNumber(std::string_view text, size_t max_digits, uint32_t* out) {
  if (text.empty() || text.size() > max_digits) return false;
  uint32_t v = 0;
  for (char c : text) {
    uint32_t d = 0;
    if (!HexDigit(c, &d)) return false;
    v = v << 4 | d;
  }
  *out = v;
  return true;
}

bool ParseDecimal(std::string_view text, uint64_t max, uint64_t* out) {
  if (text.empty() || text.size() > 19) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > max) return false;
  *out = v;
  return true;
}

// LEN and the bytes after it. LEN is hex as python-can writes it; a
// decimal reading is taken where only it matches the byte count (the two
// agree up to 9). The count must match: a short or long list is refused,
// never padded into a frame the client did not mean.
bool ParseBytes(const std::string_view* words, size_t count, uint8_t max_len, uint8_t* data, uint8_t* len) {
  if (count == 0) return false;
  const size_t given = count - 1;
  uint32_t hex_len = 0;
  uint64_t dec_len = 0;
  const bool hex_ok = ParseHexNumber(words[0], 2, &hex_len) && hex_len == given;
  const bool dec_ok = ParseDecimal(words[0], 64, &dec_len) && dec_len == given;
  if ((!hex_ok && !dec_ok) || given > max_len) return false;
  for (size_t i = 0; i < given; ++i) {
    uint32_t b = 0;
    if (!ParseHexNumber(words[1 + i], 2, &b)) return false;
    data[i] = static_cast<uint8_t>(b);
  }
  *len = static_cast<uint8_t>(given);
  return true;
}

bool ParseInterval(std::string_view secs, std::string_view usecs, uint64_t* out) {
  uint64_t s = 0;
  uint64_t us = 0;
  if (!ParseDecimal(secs, 86400ull * 365, &s) || !ParseDecimal(usecs, 999999999ull, &us)) return false;
  *out = s * 1000000 + us;
  return true;
}

void AppendHex(uint32_t v, int digits, std::string* out) {
  for (int i = digits - 1; i >= 0; --i) out->push_back(kHex[(v >> (4 * i)) & 0xF]);
}

void AppendDecimal(uint64_t v, int min_digits, std::string* out) {
  char buf[24];
  int n = 0;
  do {
    buf[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  while (n < min_digits) buf[n++] = '0';
  while (n > 0) out->push_back(buf[--n]);
}

void AppendId(const Frame& f, std::string* out) {
  if (f.extended()) {
    AppendHex(f.identifier(), 8, out);
  } else {
    AppendHex(f.identifier() & 0x7FF, 3, out);
  }
}

void AppendTime(uint64_t epoch_us, std::string* out) {
  AppendDecimal(epoch_us / 1000000, 1, out);
  out->push_back('.');
  AppendDecimal(epoch_us % 1000000, 6, out);
}

}  // namespace

Scan NextToken(std::string_view bytes, std::string_view* token, size_t* consumed) {
  size_t i = 0;
  while (i < bytes.size() && IsSpace(bytes[i])) ++i;
  *consumed = i;
  if (i == bytes.size()) return Scan::kNeedMore;
  if (bytes[i] != '<') {
    // Up to the next '<', where a command may begin again.
    const size_t next = bytes.find('<', i);
    *consumed = next == std::string_view::npos ? bytes.size() : next;
    return Scan::kGarbage;
  }
  for (size_t j = i + 1; j < bytes.size(); ++j) {
    if (j - i >= kMaxToken) return Scan::kOverlong;
    if (bytes[j] == '>') {
      *token = bytes.substr(i + 1, j - i - 1);
      *consumed = j + 1;
      return Scan::kToken;
    }
    if (bytes[j] == '<') {  // a token cut short by another one
      *consumed = j;
      return Scan::kGarbage;
    }
  }
  return bytes.size() - i >= kMaxToken ? Scan::kOverlong : Scan::kNeedMore;
}

bool ParseId(std::string_view text, uint32_t* id_word) {
  uint32_t v = 0;
  if (!ParseHexNumber(text, 8, &v) || v > VELA_ID_MASK) return false;
  *id_word = text.size() == 8 || v > 0x7FF ? (v | VELA_ID_EFF_FLAG) : v;
  return true;
}

Parse ParseCommand(std::string_view token, Command* out) {
  std::array<std::string_view, kMaxWords> w;
  size_t n = 0;
  if (!Split(token, &w, &n)) return Parse::kInvalid;
  if (n == 0) return Parse::kUnknown;
  Command c;
  const std::string_view verb = w[0];
  auto simple = [&](Verb v) {
    c.verb = v;
    return n == 1 ? Parse::kOk : Parse::kInvalid;
  };
  Parse result = Parse::kInvalid;
  if (verb == "open") {
    c.verb = Verb::kOpen;
    if (n == 2 && w[1].size() <= kMaxBusName) {
      c.bus = w[1];
      result = Parse::kOk;
    }
  } else if (verb == "rawmode") {
    result = simple(Verb::kRawMode);
  } else if (verb == "bcmmode") {
    result = simple(Verb::kBcmMode);
  } else if (verb == "controlmode") {
    result = simple(Verb::kControlMode);
  } else if (verb == "isotpmode") {
    result = simple(Verb::kIsoTpMode);
  } else if (verb == "echo") {
    result = simple(Verb::kEcho);
  } else if (verb == "send" || verb == "update") {
    c.verb = verb == "send" ? Verb::kSend : Verb::kUpdate;
    if (n >= 3 && ParseId(w[1], &c.frame.id) && ParseBytes(&w[2], n - 2, cli::kCanMaxLen, c.frame.data, &c.frame.len)) {
      result = Parse::kOk;
    }
  } else if (verb == "sendrtr") {
    c.verb = Verb::kSend;
    uint32_t dlc = 0;
    if (n == 3 && ParseId(w[1], &c.frame.id) && ParseHexNumber(w[2], 1, &dlc) && dlc <= cli::kCanMaxLen) {
      c.frame.id |= VELA_ID_RTR_FLAG;
      c.frame.len = static_cast<uint8_t>(dlc);
      result = Parse::kOk;
    }
  } else if (verb == "fdsend") {
    c.verb = Verb::kSend;
    uint32_t flags = 0;
    if (n >= 4 && ParseId(w[1], &c.frame.id) && ParseHexNumber(w[2], 2, &flags) && (flags & ~VELA_FD_BRS) == 0 &&
        ParseBytes(&w[3], n - 3, cli::kCanFdMaxLen, c.frame.data, &c.frame.len)) {
      c.frame.fd = true;
      c.frame.fd_flags = static_cast<uint8_t>(flags);
      // Between the valid lengths a controller pads with zeros.
      c.frame.len = cli::FdLengthRoundUp(c.frame.len);
      result = Parse::kOk;
    }
  } else if (verb == "add") {
    c.verb = Verb::kAdd;
    if (n >= 5 && ParseInterval(w[1], w[2], &c.interval_us) && c.interval_us > 0 && ParseId(w[3], &c.frame.id) &&
        ParseBytes(&w[4], n - 4, cli::kCanMaxLen, c.frame.data, &c.frame.len)) {
      result = Parse::kOk;
    }
  } else if (verb == "delete" || verb == "unsubscribe") {
    c.verb = verb == "delete" ? Verb::kDelete : Verb::kUnsubscribe;
    if (n == 2 && ParseId(w[1], &c.id)) result = Parse::kOk;
  } else if (verb == "subscribe") {
    c.verb = Verb::kSubscribe;
    if (n == 4 && ParseInterval(w[1], w[2], &c.interval_us) && ParseId(w[3], &c.id)) result = Parse::kOk;
  } else if (verb == "filter") {
    c.verb = Verb::kFilter;
    if (n >= 5 && ParseInterval(w[1], w[2], &c.interval_us) && ParseId(w[3], &c.id) &&
        ParseBytes(&w[4], n - 4, cli::kCanFdMaxLen, c.frame.data, &c.frame.len)) {
      result = Parse::kOk;
    }
  } else if (verb == "statistics") {
    c.verb = Verb::kStatistics;
    uint64_t ms = 0;
    if (n == 2 && ParseDecimal(w[1], 86400000, &ms)) {
      c.ms = static_cast<uint32_t>(ms);
      result = Parse::kOk;
    }
  } else {
    return Parse::kUnknown;
  }
  if (result == Parse::kOk) *out = c;
  return result;
}

void AppendFrame(const Frame& f, uint64_t epoch_us, std::string* out) {
  if (f.error()) {
    out->append(" < error ");
    AppendHex(f.identifier() & 0x1FFFFFFF, 3, out);
    out->push_back(' ');
    AppendTime(epoch_us, out);
    out->append(" >");
    return;
  }
  if (f.remote()) {
    out->append(" < rtr ");
    AppendId(f, out);
    out->push_back(' ');
    AppendTime(epoch_us, out);
    out->push_back(' ');
    AppendDecimal(f.len, 1, out);
    out->append(" >");
    return;
  }
  out->append(f.fd ? " < fdframe " : " < frame ");
  AppendId(f, out);
  out->push_back(' ');
  if (f.fd) {
    AppendHex(f.fd_flags & (VELA_FD_BRS | VELA_FD_ESI), 2, out);
    out->push_back(' ');
  }
  AppendTime(epoch_us, out);
  out->push_back(' ');
  for (uint8_t i = 0; i < f.len && i < cli::kCanFdMaxLen; ++i) {
    out->push_back(kHex[f.data[i] >> 4]);
    out->push_back(kHex[f.data[i] & 0xF]);
  }
  out->append(" >");
}

void AppendStat(uint64_t rx_bytes, uint64_t rx_frames, uint64_t tx_bytes, uint64_t tx_frames, std::string* out) {
  out->append(" < stat ");
  AppendDecimal(rx_bytes, 1, out);
  out->push_back(' ');
  AppendDecimal(rx_frames, 1, out);
  out->push_back(' ');
  AppendDecimal(tx_bytes, 1, out);
  out->push_back(' ');
  AppendDecimal(tx_frames, 1, out);
  out->append(" >");
}

}  // namespace tarnlink::serve::socketcand
