#include "tools/cli/pcapng.h"

#include <algorithm>
#include <cstring>

namespace tarnlink::cli {
namespace {

constexpr uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr uint32_t kInterfaceDescription = 1;
constexpr uint32_t kSimplePacket = 3;
constexpr uint32_t kEnhancedPacket = 6;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr uint16_t kOptEnd = 0;
constexpr uint16_t kOptIfName = 2;
constexpr uint16_t kOptIfTsresol = 9;
constexpr uint16_t kOptShbUserAppl = 4;
constexpr uint32_t kPcapMicros = 0xA1B2C3D4;
constexpr uint32_t kPcapNanos = 0xA1B23C4D;

void Put16(std::string* out, uint16_t v) {
  const char b[2] = {static_cast<char>(v), static_cast<char>(v >> 8)};
  out->append(b, 2);
}
void Put32(std::string* out, uint32_t v) {
  Put16(out, static_cast<uint16_t>(v));
  Put16(out, static_cast<uint16_t>(v >> 16));
}
void Pad4(std::string* out) { out->append((4 - out->size() % 4) % 4, '\0'); }

void PutOption(std::string* body, uint16_t code, std::string_view value) {
  Put16(body, code);
  Put16(body, static_cast<uint16_t>(value.size()));
  body->append(value.data(), value.size());
  Pad4(body);
}

// type, total length, body (a multiple of 4), total length.
void PutBlock(std::string* out, uint32_t type, const std::string& body) {
  const auto total = static_cast<uint32_t>(12 + body.size());
  Put32(out, type);
  Put32(out, total);
  out->append(body);
  Put32(out, total);
}

// Reads integers of one byte order out of a bounded span.
class Reader {
 public:
  Reader(std::string_view bytes, bool swap) : p_(reinterpret_cast<const uint8_t*>(bytes.data())), swap_(swap) {}
  uint16_t U16(size_t at) const {
    const uint16_t le = static_cast<uint16_t>(p_[at] | (p_[at + 1] << 8));
    return swap_ ? static_cast<uint16_t>((le >> 8) | (le << 8)) : le;
  }
  uint32_t U32(size_t at) const {
    const uint32_t lo = U16(at);
    const uint32_t hi = U16(at + 2);
    return swap_ ? (lo << 16) | hi : (hi << 16) | lo;
  }

 private:
  const uint8_t* p_;
  bool swap_;
};

uint32_t LoadLe32(std::string_view b, size_t at) { return Reader(b, false).U32(at); }

struct Interface {
  uint16_t link_type = 0;
  std::string name;
  uint64_t units_per_second = 1000000;
};

uint64_t ToMicros(uint64_t ticks, uint64_t units_per_second) {
  if (units_per_second == 1000000) return ticks;
  if (units_per_second > 1000000) return ticks / (units_per_second / 1000000);
  return ticks * (1000000 / units_per_second);
}

bool AddRecord(const Interface& iface, uint32_t number, const uint8_t* data, size_t n, uint64_t micros,
               std::vector<CaptureRecord>* out, std::string* error) {
  if (iface.link_type != kLinkTypeSocketCan) return true;
  CaptureRecord r;
  if (!ParseSocketCanRecord(data, n, &r.frame)) {
    *error = "packet " + std::to_string(out->size() + 1) + " is not a CAN or CAN FD record";
    return false;
  }
  r.name = iface.name.empty() ? "ch" + std::to_string(number) : iface.name;
  r.micros = micros;
  out->push_back(std::move(r));
  return true;
}

bool ReadPcap(std::string_view b, std::vector<CaptureRecord>* out, std::string* error) {
  if (b.size() < 24) {
    *error = "truncated pcap header";
    return false;
  }
  const uint32_t magic = LoadLe32(b, 0);
  const bool swap = magic != kPcapMicros && magic != kPcapNanos;
  const Reader r(b, swap);
  const bool nanos = r.U32(0) == kPcapNanos;
  Interface iface;
  iface.link_type = static_cast<uint16_t>(r.U32(20) & 0xFFFF);
  iface.units_per_second = nanos ? 1000000000 : 1000000;
  if (iface.link_type != kLinkTypeSocketCan) {
    *error = "link type " + std::to_string(iface.link_type) + ", not 227 (CAN_SOCKETCAN)";
    return false;
  }
  size_t at = 24;
  while (at < b.size()) {
    if (b.size() - at < 16) {
      *error = "truncated packet header";
      return false;
    }
    const uint64_t sec = r.U32(at);
    const uint64_t frac = r.U32(at + 4);
    const uint32_t caplen = r.U32(at + 8);
    if (caplen > b.size() - at - 16) {
      *error = "truncated packet";
      return false;
    }
    const uint64_t micros = sec * 1000000 + (nanos ? frac / 1000 : frac);
    if (!AddRecord(iface, 0, reinterpret_cast<const uint8_t*>(b.data() + at + 16), caplen, micros, out, error)) {
      return false;
    }
    at += 16 + size_t{caplen};
  }
  return true;
}

void ReadInterfaceOptions(const Reader& r, std::string_view b, size_t at, size_t end, Interface* iface) {
  while (end - at >= 4) {
    const uint16_t code = r.U16(at);
    const uint16_t len = r.U16(at + 2);
    at += 4;
    if (code == kOptEnd || len > end - at) return;
    if (code == kOptIfName) {
      iface->name.assign(b.data() + at, strnlen(b.data() + at, len));
    } else if (code == kOptIfTsresol && len >= 1) {
      const auto v = static_cast<uint8_t>(b[at]);
      const unsigned exponent = v & 0x7Fu;
      uint64_t units = 1;
      // Past 10^19 or 2^63 the unit is below any clock we could convert.
      for (unsigned i = 0; i < exponent && i < ((v & 0x80u) ? 63u : 19u); ++i) units *= (v & 0x80u) ? 2 : 10;
      iface->units_per_second = units;
    }
    at += (size_t{len} + 3) & ~size_t{3};
  }
}

bool ReadPcapng(std::string_view b, std::vector<CaptureRecord>* out, std::string* error) {
  std::vector<Interface> interfaces;
  bool swap = false;
  bool any227 = false;
  size_t at = 0;
  while (at < b.size()) {
    if (b.size() - at < 12) {
      *error = "truncated block";
      return false;
    }
    uint32_t type = LoadLe32(b, at);
    if (type == kSectionHeader) {
      // The byte order of everything up to the next section header.
      const uint32_t magic = LoadLe32(b, at + 8);
      if (magic != kByteOrderMagic && Reader(b, true).U32(at + 8) != kByteOrderMagic) {
        *error = "bad section header";
        return false;
      }
      swap = magic != kByteOrderMagic;
      interfaces.clear();
    }
    const Reader r(b, swap);
    type = r.U32(at);
    const uint32_t total = r.U32(at + 4);
    if (total < 12 || total % 4 != 0 || total > b.size() - at || r.U32(at + total - 4) != total) {
      *error = "damaged block at byte " + std::to_string(at);
      return false;
    }
    const size_t body = at + 8;
    const size_t end = at + total - 4;
    if (type == kInterfaceDescription && end - body >= 8) {
      Interface iface;
      iface.link_type = r.U16(body);
      ReadInterfaceOptions(r, b, body + 8, end, &iface);
      any227 = any227 || iface.link_type == kLinkTypeSocketCan;
      interfaces.push_back(iface);
    } else if (type == kEnhancedPacket && end - body >= 20) {
      const uint32_t number = r.U32(body);
      const uint64_t ticks = (uint64_t{r.U32(body + 4)} << 32) | r.U32(body + 8);
      const uint32_t caplen = r.U32(body + 12);
      if (number >= interfaces.size() || caplen > end - body - 20) {
        *error = "damaged packet block at byte " + std::to_string(at);
        return false;
      }
      const Interface& iface = interfaces[number];
      if (!AddRecord(iface, number, reinterpret_cast<const uint8_t*>(b.data() + body + 20), caplen,
                     ToMicros(ticks, iface.units_per_second), out, error)) {
        return false;
      }
    } else if (type == kSimplePacket && end - body >= 4 && !interfaces.empty()) {
      const size_t caplen = std::min<size_t>(r.U32(body), end - body - 4);
      if (!AddRecord(interfaces[0], 0, reinterpret_cast<const uint8_t*>(b.data() + body + 4), caplen, 0, out, error)) {
        return false;
      }
    }
    at += total;
  }
  if (!any227) {
    *error = "no interface of link type 227 (CAN_SOCKETCAN)";
    return false;
  }
  return true;
}

}  // namespace

void AppendSocketCanRecord(const Frame& frame, std::string* out) {
  uint8_t r[kSocketCanFdSize] = {};
  r[0] = static_cast<uint8_t>(frame.id >> 24);
  r[1] = static_cast<uint8_t>(frame.id >> 16);
  r[2] = static_cast<uint8_t>(frame.id >> 8);
  r[3] = static_cast<uint8_t>(frame.id);
  const uint8_t max = frame.fd ? kCanFdMaxLen : kCanMaxLen;
  r[4] = std::min(frame.len, max);
  if (frame.fd) r[5] = static_cast<uint8_t>(kSocketCanFdf | (frame.fd_flags & (VELA_FD_BRS | VELA_FD_ESI)));
  // A remote frame carries a length but no data.
  if (!frame.remote()) std::memcpy(r + 8, frame.data, r[4]);
  out->append(reinterpret_cast<const char*>(r), frame.fd ? kSocketCanFdSize : kSocketCanClassicSize);
}

bool ParseSocketCanRecord(const uint8_t* p, size_t n, Frame* out) {
  if (p == nullptr || n < 8) return false;
  Frame f;
  f.id = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
  f.len = p[4];
  // A 72-byte record is CAN FD even without FDF: older writers left it out.
  f.fd = (p[5] & kSocketCanFdf) != 0 || n == kSocketCanFdSize;
  if (f.fd) {
    if (f.remote() || f.error() || f.len > kCanFdMaxLen || f.len != FdLengthRoundUp(f.len)) return false;
    f.fd_flags = p[5] & (VELA_FD_BRS | VELA_FD_ESI);
  } else if (f.len > kCanMaxLen) {
    return false;
  }
  const size_t data = f.remote() ? 0 : f.len;
  if (n < 8 + data) return false;
  std::memcpy(f.data, p + 8, data);
  *out = f;
  return true;
}

void PcapngWriter::AppendHeader(std::string* out) const {
  std::string shb;
  Put32(&shb, kByteOrderMagic);
  Put16(&shb, 1);
  Put16(&shb, 0);
  Put32(&shb, 0xFFFFFFFF);  // section length unknown: written as a stream
  Put32(&shb, 0xFFFFFFFF);
  PutOption(&shb, kOptShbUserAppl, "tarnlink");
  Put32(&shb, kOptEnd);
  PutBlock(out, kSectionHeader, shb);
  for (uint32_t channel : channels_) {
    std::string idb;
    Put16(&idb, kLinkTypeSocketCan);
    Put16(&idb, 0);
    Put32(&idb, static_cast<uint32_t>(kSocketCanFdSize));
    PutOption(&idb, kOptIfName, ChannelName(channel));
    PutOption(&idb, kOptIfTsresol, std::string(1, '\x06'));  // 10^-6 s
    Put32(&idb, kOptEnd);
    PutBlock(out, kInterfaceDescription, idb);
  }
}

void PcapngWriter::AppendFrame(uint32_t channel, const Frame& frame, uint64_t micros, std::string* out) const {
  const auto it = std::find(channels_.begin(), channels_.end(), channel);
  if (it == channels_.end()) return;
  std::string record;
  AppendSocketCanRecord(frame, &record);
  std::string epb;
  Put32(&epb, static_cast<uint32_t>(it - channels_.begin()));
  Put32(&epb, static_cast<uint32_t>(micros >> 32));
  Put32(&epb, static_cast<uint32_t>(micros));
  Put32(&epb, static_cast<uint32_t>(record.size()));
  Put32(&epb, static_cast<uint32_t>(record.size()));
  epb += record;  // 16 or 72 bytes: already a multiple of 4
  PutBlock(out, kEnhancedPacket, epb);
}

bool LooksLikeCapture(std::string_view b) {
  if (b.size() < 4) return false;
  const uint32_t m = LoadLe32(b, 0);
  const uint32_t s = Reader(b, true).U32(0);
  return m == kSectionHeader || m == kPcapMicros || m == kPcapNanos || s == kPcapMicros || s == kPcapNanos;
}

bool ReadCapture(std::string_view bytes, std::vector<CaptureRecord>* out, std::string* error) {
  out->clear();
  if (!LooksLikeCapture(bytes)) {
    *error = "not a pcap or pcapng file";
    return false;
  }
  if (LoadLe32(bytes, 0) == kSectionHeader) return ReadPcapng(bytes, out, error);
  return ReadPcap(bytes, out, error);
}

}  // namespace tarnlink::cli
