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
constexpr uint32_t kPcapHeaderSize = 24;
constexpr uint32_t kPcapRecordHeaderSize = 16;
constexpr uint32_t kBlockOverhead = 12;  // type, total length, total length again
constexpr uint32_t kEnhancedPacketHeader = 20;

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

// ticks of 10^-e s (or 2^-e s when the high bit of tsresol is set) as
// microseconds, exactly: rounded down, saturated. 128 bits hold ticks * 10^6.
uint64_t ToMicros(uint64_t ticks, uint8_t tsresol) {
  __extension__ using U128 = unsigned __int128;
  const unsigned e = tsresol & 0x7Fu;
  const U128 scaled = U128{ticks} * 1000000u;
  U128 micros = 0;
  if ((tsresol & 0x80u) != 0) {
    micros = e < 128 ? scaled >> e : 0;
  } else {
    U128 units = 1;
    // Past the scaled value every larger unit gives 0; 10^38 still fits.
    for (unsigned i = 0; i < e && units <= scaled; ++i) units *= 10u;
    micros = scaled / units;
  }
  return micros > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(micros);
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
  // As in a log: eleven bits hold at most 7FF, and an error frame's word is
  // its flag and its classes, nothing else.
  if (!f.extended() && !f.error() && f.identifier() > 0x7FF) return false;
  if (f.error() && (f.extended() || f.remote())) return false;
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

uint16_t CaptureReader::U16(const uint8_t* p) const {
  return swap_ ? static_cast<uint16_t>(p[0] << 8 | p[1]) : static_cast<uint16_t>(p[1] << 8 | p[0]);
}

uint32_t CaptureReader::U32(const uint8_t* p) const {
  const uint32_t lo = U16(p);
  const uint32_t hi = U16(p + 2);
  return swap_ ? (lo << 16) | hi : (hi << 16) | lo;
}

bool CaptureReader::Get(void* out, size_t n) {
  const std::streamsize got = in_.rdbuf()->sgetn(static_cast<char*>(out), static_cast<std::streamsize>(n));
  offset_ += static_cast<uint64_t>(got);
  return static_cast<size_t>(got) == n;
}

// Reads what is passed over: a forward seek could not tell a cut file.
bool CaptureReader::Skip(uint64_t n) {
  char scratch[4096];
  while (n > 0) {
    const size_t step = n < sizeof(scratch) ? static_cast<size_t>(n) : sizeof(scratch);
    if (!Get(scratch, step)) return false;
    n -= step;
  }
  return true;
}

CaptureReader::Status CaptureReader::Cut(std::string* error) const {
  *error = "cut short at byte " + std::to_string(offset_) + ", inside the block at byte " + std::to_string(block_at_);
  return Status::kCut;
}

CaptureReader::Status CaptureReader::Next(CaptureRecord* out, std::string* error) {
  if (!started_) {
    uint8_t magic[4];
    if (!Get(magic, sizeof(magic))) {
      *error = "not a pcap or pcapng file";
      return Status::kError;
    }
    const std::string_view m(reinterpret_cast<const char*>(magic), sizeof(magic));
    if (!LooksLikeCapture(m)) {
      *error = "not a pcap or pcapng file";
      return Status::kError;
    }
    started_ = true;
    pcapng_ = LoadLe32(m, 0) == kSectionHeader;
    if (!pcapng_) {
      swap_ = LoadLe32(m, 0) != kPcapMicros && LoadLe32(m, 0) != kPcapNanos;
      nanos_ = U32(magic) == kPcapNanos;
      uint8_t rest[kPcapHeaderSize - 4];
      if (!Get(rest, sizeof(rest))) return Cut(error);
      Interface iface;
      iface.link_type = static_cast<uint16_t>(U32(rest + 16) & 0xFFFF);
      iface.tsresol = nanos_ ? 9 : 6;
      if (iface.link_type != kLinkTypeSocketCan) {
        *error = "link type " + std::to_string(iface.link_type) + ", not 227 (CAN_SOCKETCAN)";
        return Status::kError;
      }
      interfaces_.push_back(iface);
      any227_ = true;
    }
  }
  return pcapng_ ? NextPcapng(out, error) : NextPcap(out, error);
}

CaptureReader::Status CaptureReader::NextPcap(CaptureRecord* out, std::string* error) {
  block_at_ = offset_;
  uint8_t h[kPcapRecordHeaderSize];
  const std::streamsize got = in_.rdbuf()->sgetn(reinterpret_cast<char*>(h), sizeof(h));
  offset_ += static_cast<uint64_t>(got);
  if (got == 0) return Status::kEnd;
  if (got != sizeof(h)) return Cut(error);
  const uint64_t sec = U32(h);
  const uint64_t frac = U32(h + 4);
  const uint32_t caplen = U32(h + 8);
  ++packets_;
  const uint64_t micros = sec * 1000000 + (nanos_ ? frac / 1000 : frac);
  return Record(interfaces_[0], 0, caplen, caplen, micros, out, error);
}

// caplen bytes of record, then body_left - caplen bytes passed over.
CaptureReader::Status CaptureReader::Record(const Interface& iface, uint32_t number, uint32_t caplen,
                                            uint32_t body_left, uint64_t micros, CaptureRecord* out,
                                            std::string* error) {
  if (iface.link_type != kLinkTypeSocketCan) return Skip(body_left) ? Status::kRecord : Cut(error);
  // Longer than a CAN FD record is no frame: refused before it is read.
  const bool fits = caplen <= sizeof(record_);
  if (fits && !Get(record_, caplen)) return Cut(error);
  if (!fits || !ParseSocketCanRecord(record_, caplen, &out->frame)) {
    *error = "packet " + std::to_string(packets_) + " is not a CAN or CAN FD record";
    return Status::kError;
  }
  if (!Skip(body_left - caplen)) return Cut(error);
  if (iface.name.empty()) {
    number_name_ = "ch" + std::to_string(number);
    out->name = number_name_;
  } else {
    out->name = iface.name;
  }
  out->micros = micros;
  return Status::kRecord;
}

CaptureReader::Status CaptureReader::ReadInterface(uint32_t body, std::string* error) {
  if (interfaces_.size() == kMaxInterfaces) {
    *error = "more than " + std::to_string(kMaxInterfaces) + " interfaces in a section";
    return Status::kError;
  }
  uint8_t h[8];
  if (body < sizeof(h)) return Skip(body) ? Status::kRecord : Cut(error);
  if (!Get(h, sizeof(h))) return Cut(error);
  body -= sizeof(h);
  Interface iface;
  iface.link_type = U16(h);
  const bool ours = iface.link_type == kLinkTypeSocketCan;
  while (body >= 4) {
    uint8_t o[4];
    if (!Get(o, sizeof(o))) return Cut(error);
    body -= 4;
    const uint16_t code = U16(o);
    const uint16_t len = U16(o + 2);
    const uint32_t padded = (uint32_t{len} + 3) & ~uint32_t{3};
    // An option past its block ends the options, as does the end option.
    if (code == kOptEnd || padded > body) break;
    body -= padded;
    uint32_t skip = padded;
    if (code == kOptIfName && ours) {
      if (name_bytes_ + len > kMaxNameBytes) {
        *error = "interface names of more than " + std::to_string(kMaxNameBytes) + " bytes in a section";
        return Status::kError;
      }
      iface.name.resize(len);
      if (!Get(iface.name.data(), len)) return Cut(error);
      iface.name.resize(strnlen(iface.name.data(), len));
      name_bytes_ += len;
      skip -= len;
    } else if (code == kOptIfTsresol && len >= 1) {
      if (!Get(&iface.tsresol, 1)) return Cut(error);
      skip -= 1;
    }
    if (!Skip(skip)) return Cut(error);
  }
  if (!Skip(body)) return Cut(error);
  any227_ = any227_ || ours;
  interfaces_.push_back(std::move(iface));
  return Status::kRecord;
}

CaptureReader::Status CaptureReader::NextPcapng(CaptureRecord* out, std::string* error) {
  for (;;) {
    block_at_ = offset_;
    uint8_t h[8] = {0x0A, 0x0D, 0x0D, 0x0A};  // the section header's type, the same in either byte order
    if (offset_ == 4) {
      // The first block's type was read as the magic.
      block_at_ = 0;
      if (!Get(h + 4, 4)) return Cut(error);
    } else {
      const std::streamsize got = in_.rdbuf()->sgetn(reinterpret_cast<char*>(h), sizeof(h));
      offset_ += static_cast<uint64_t>(got);
      if (got == 0) {
        if (any227_) return Status::kEnd;
        *error = "no interface of link type 227 (CAN_SOCKETCAN)";
        return Status::kError;
      }
      if (got != sizeof(h)) return Cut(error);
    }
    const std::string damaged = "damaged block at byte " + std::to_string(block_at_);
    uint32_t type = LoadLe32(std::string_view(reinterpret_cast<const char*>(h), 4), 0);
    uint32_t body = 0;  // bytes between the total length and its copy
    if (type == kSectionHeader) {
      // The byte order of everything up to the next section header.
      uint8_t bom[4];
      if (!Get(bom, sizeof(bom))) return Cut(error);
      swap_ = false;
      if (U32(bom) != kByteOrderMagic) {
        swap_ = true;
        if (U32(bom) != kByteOrderMagic) {
          *error = "bad section header at byte " + std::to_string(block_at_);
          return Status::kError;
        }
      }
      const uint32_t total = U32(h + 4);
      if (total < 28 || total % 4 != 0) {
        *error = damaged;
        return Status::kError;
      }
      interfaces_.clear();
      name_bytes_ = 0;
      body = total - kBlockOverhead - 4;
      if (!Skip(body)) return Cut(error);
      body = 0;
    } else {
      type = U32(h);
      const uint32_t total = U32(h + 4);
      if (total < kBlockOverhead || total % 4 != 0) {
        *error = damaged;
        return Status::kError;
      }
      body = total - kBlockOverhead;
    }
    Status status = Status::kRecord;
    bool record = false;
    if (type == kInterfaceDescription) {
      status = ReadInterface(body, error);
    } else if (type == kEnhancedPacket && body >= kEnhancedPacketHeader) {
      uint8_t e[kEnhancedPacketHeader];
      if (!Get(e, sizeof(e))) return Cut(error);
      ++packets_;
      const uint32_t number = U32(e);
      const uint64_t ticks = (uint64_t{U32(e + 4)} << 32) | U32(e + 8);
      const uint32_t caplen = U32(e + 12);
      if (number >= interfaces_.size() || caplen > body - kEnhancedPacketHeader) {
        *error = "damaged packet block at byte " + std::to_string(block_at_);
        return Status::kError;
      }
      const Interface& iface = interfaces_[number];
      record = iface.link_type == kLinkTypeSocketCan;
      status = Record(iface, number, caplen, body - kEnhancedPacketHeader, ToMicros(ticks, iface.tsresol), out, error);
    } else if (type == kSimplePacket && body >= 4 && !interfaces_.empty()) {
      uint8_t len[4];
      if (!Get(len, sizeof(len))) return Cut(error);
      ++packets_;
      const uint32_t caplen = std::min(U32(len), body - 4);
      record = interfaces_[0].link_type == kLinkTypeSocketCan;
      status = Record(interfaces_[0], 0, caplen, body - 4, 0, out, error);
    } else if (!Skip(body)) {
      return Cut(error);
    }
    if (status != Status::kRecord) return status;
    uint8_t tail[4];
    if (!Get(tail, sizeof(tail))) return Cut(error);
    if (U32(tail) != U32(h + 4)) {
      *error = damaged;
      return Status::kError;
    }
    if (record) return Status::kRecord;
  }
}

}  // namespace tarnlink::cli
