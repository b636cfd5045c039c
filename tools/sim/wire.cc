#include "tools/sim/wire.h"

#include <algorithm>

namespace tarnlink::sim {
namespace {

void Put8(std::vector<uint8_t>& out, uint8_t v) { out.push_back(v); }
void Put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
  Put16(out, static_cast<uint16_t>(v >> 16));
  Put16(out, static_cast<uint16_t>(v));
}
void Put64(std::vector<uint8_t>& out, uint64_t v) {
  Put32(out, static_cast<uint32_t>(v >> 32));
  Put32(out, static_cast<uint32_t>(v));
}
uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t Get32(const uint8_t* p) { return (uint32_t{Get16(p)} << 16) | Get16(p + 2); }
uint64_t Get64(const uint8_t* p) { return (uint64_t{Get32(p)} << 32) | Get32(p + 4); }

// The record size a header's length must be a multiple of; 0 = any length.
size_t RecordRule(uint8_t type) {
  switch (type) {
    case kTypeCan:
    case kTypeChannelReport:
      return kWireCanSize;
    case kTypeCanFd:
      return kWireCanFdSize;
    case kTypeAutoSend:
      return kWireAutoSendSize;
    default:
      return 0;
  }
}

}  // namespace

uint8_t WireChecksum(const uint8_t* p, size_t n) {
  uint8_t x = 0;
  for (size_t i = 0; i < n; ++i) x ^= p[i];
  return x;
}

std::vector<uint8_t> FramePacket(uint8_t type, uint8_t flags, const uint8_t* payload, size_t n) {
  std::vector<uint8_t> out;
  out.reserve(kWireHeaderSize + n + 1);
  Put8(out, kWireStart);
  Put8(out, type);
  Put8(out, flags);
  Put8(out, 0);
  Put16(out, static_cast<uint16_t>(n));
  if (n > 0) out.insert(out.end(), payload, payload + n);
  out.push_back(WireChecksum(out.data(), out.size()));
  return out;
}

void PutFrame(std::vector<uint8_t>& out, const WireFrame& f, bool fd_size) {
  Put64(out, f.timestamp);
  Put32(out, f.id);
  Put16(out, f.flags);
  Put8(out, f.channel);
  Put8(out, f.len);
  out.insert(out.end(), f.data, f.data + (fd_size ? 64 : 8));
}

WireFrame GetFrame(const uint8_t* p, bool fd_size) {
  WireFrame f;
  f.timestamp = Get64(p);
  f.id = Get32(p + 8);
  f.flags = Get16(p + 12);
  f.channel = p[14];
  f.len = p[15];
  std::copy(p + 16, p + 16 + (fd_size ? 64 : 8), f.data);
  return f;
}

WireAutoSendEntry GetAutoSendEntry(const uint8_t* p) {
  WireAutoSendEntry e;
  e.index = p[0];
  e.enable = p[1];
  e.period = Get16(p + 2);
  e.count = Get16(p + 4);
  e.reserved = Get16(p + 6);
  e.frame = GetFrame(p + 8, true);
  return e;
}

void PutAutoSendEntry(std::vector<uint8_t>& out, const WireAutoSendEntry& e) {
  Put8(out, e.index);
  Put8(out, e.enable);
  Put16(out, e.period);
  Put16(out, e.count);
  Put16(out, e.reserved);
  PutFrame(out, e.frame, true);
}

void PutGps(std::vector<uint8_t>& out, const WireGps& g) {
  Put64(out, g.time_word);
  for (uint32_t f : g.fields) Put32(out, f);
}

void PutReport(std::vector<uint8_t>& out, const WireChannelReport& r) {
  Put64(out, r.value0);
  Put64(out, r.value1);
  Put8(out, r.channel);
  Put8(out, r.byte17);
  Put16(out, r.value16);
  Put32(out, r.value32);
}

std::vector<std::vector<uint8_t>> DataPackets(const std::vector<WireFrame>& frames, bool fd) {
  const size_t per_packet = fd ? kCanFdPerPacket : kCanPerPacket;
  std::vector<std::vector<uint8_t>> packets;
  std::vector<uint8_t> payload;
  for (size_t first = 0; first < frames.size(); first += per_packet) {
    payload.clear();
    const size_t last = std::min(frames.size(), first + per_packet);
    for (size_t i = first; i < last; ++i) PutFrame(payload, frames[i], fd);
    packets.push_back(FramePacket(fd ? kTypeCanFd : kTypeCan, 0, payload));
  }
  return packets;
}

std::vector<uint8_t> CommandPacket(bool answer, uint8_t sequence, uint8_t message_id, uint8_t code,
                                   const std::vector<uint8_t>& body) {
  std::vector<uint8_t> payload;
  payload.reserve(body.size() + 2);
  payload.push_back(message_id);
  payload.push_back(code);
  payload.insert(payload.end(), body.begin(), body.end());
  const uint8_t flags = static_cast<uint8_t>(((sequence & 7u) << 1) | (answer ? 1u : 0u));
  return FramePacket(kTypeCommand, flags, payload);
}

void WireParser::Append(const uint8_t* p, size_t n) { buf_.insert(buf_.end(), p, p + n); }

bool WireParser::Next(std::vector<uint8_t>* packet) {
  while (true) {
    while (!buf_.empty() && buf_.front() != kWireStart) {
      buf_.pop_front();
      ++skipped_;
    }
    if (buf_.size() < kWireHeaderSize + 1) return false;
    const uint8_t type = buf_[1];
    const size_t n = (size_t{buf_[4]} << 8) | buf_[5];
    const size_t rule = RecordRule(type);
    bool good = rule == 0 || n % rule == 0;
    if (good) {
      const size_t total = kWireHeaderSize + n + 1;
      if (buf_.size() < total) return false;  // a plausible header waits for the rest
      uint8_t x = 0;
      for (size_t i = 0; i + 1 < total; ++i) x ^= buf_[i];
      good = x == buf_[total - 1];
      if (good) {
        packet->assign(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(total));
        buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(total));
        return true;
      }
    }
    // Only the rejected start byte goes: a packet may begin inside it.
    buf_.pop_front();
    ++skipped_;
  }
}

std::vector<uint8_t> TextBody(const std::string& text) {
  std::vector<uint8_t> body(text.begin(), text.end());
  body.push_back(0);
  return body;
}

}  // namespace tarnlink::sim
