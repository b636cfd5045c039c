// What the fault-injection tests share: an independent encoder for the few
// packets a gateway sends, frames that carry a sequence number, a gateway's
// answers to command requests, and a packet cutter for what the driver sends.
#ifndef TARNLINK_TESTS_RELIABILITY_PEER_H_
#define TARNLINK_TESTS_RELIABILITY_PEER_H_

#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "tarnlink/tarnlink.h"
#include "tests/support/eventually.h"
#include "tests/support/loopback.h"
#include "tests/support/process.h"

namespace tarnlink::test {

using Bytes = std::vector<uint8_t>;

// ---- Wire bytes, written out here rather than taken from the driver --------

inline void PutBe(Bytes& b, uint64_t v, int width) {
  for (int i = width - 1; i >= 0; --i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// 55, type, flags, 0, N big-endian, payload, XOR of everything before.
inline Bytes Packet(uint8_t type, uint8_t flags, const Bytes& payload) {
  Bytes p = {0x55, type, flags, 0};
  PutBe(p, payload.size(), 2);
  p.insert(p.end(), payload.begin(), payload.end());
  uint8_t x = 0;
  for (uint8_t c : p) x ^= c;
  p.push_back(x);
  return p;
}

// A CAN data record: time stamp, identifier, flags, channel, length, 8 bytes.
// The sequence number rides in the time stamp and the first four data bytes,
// so a frame joined from two sources cannot pass for a genuine one.
inline Bytes CanRecord(uint8_t channel, uint64_t sequence, uint16_t flags = 0) {
  Bytes r;
  PutBe(r, sequence, 8);
  PutBe(r, 0x100u + (sequence & 0x3FFu), 4);
  PutBe(r, flags, 2);
  r.push_back(channel);
  r.push_back(8);
  PutBe(r, sequence & 0xFFFFFFFFu, 4);
  PutBe(r, ~sequence & 0xFFFFFFFFu, 4);
  return r;
}

// CAN FD record (FD flag set, 64 data bytes), sequence as above.
inline Bytes CanFdRecord(uint8_t channel, uint64_t sequence) {
  Bytes r;
  PutBe(r, sequence, 8);
  PutBe(r, 0x200u + (sequence & 0x3FFu), 4);
  PutBe(r, 0x0010, 2);
  r.push_back(channel);
  r.push_back(64);
  for (int i = 0; i < 16; ++i) PutBe(r, (sequence + static_cast<uint64_t>(i)) & 0xFFFFFFFFu, 4);
  return r;
}

// CanData packets of up to 60 records for sequences [first, first + count).
inline Bytes CanPackets(uint8_t channel, uint64_t first, uint64_t count, uint64_t per_packet = 60) {
  Bytes out;
  for (uint64_t done = 0; done < count;) {
    const uint64_t n = std::min(per_packet, count - done);
    Bytes payload;
    for (uint64_t i = 0; i < n; ++i) {
      const Bytes r = CanRecord(channel, first + done + i);
      payload.insert(payload.end(), r.begin(), r.end());
    }
    const Bytes p = Packet(0x00, 0, payload);
    out.insert(out.end(), p.begin(), p.end());
    done += n;
  }
  return out;
}

// True when a received record is exactly the frame of that sequence number.
inline bool IsFrame(const VELA_CAN_RECEIVE& r, uint64_t sequence) {
  const uint32_t lo = static_cast<uint32_t>(sequence);
  const uint32_t hi = ~lo;
  const uint8_t expect[8] = {static_cast<uint8_t>(lo >> 24), static_cast<uint8_t>(lo >> 16),
                             static_cast<uint8_t>(lo >> 8),  static_cast<uint8_t>(lo),
                             static_cast<uint8_t>(hi >> 24), static_cast<uint8_t>(hi >> 16),
                             static_cast<uint8_t>(hi >> 8),  static_cast<uint8_t>(hi)};
  return r.timestamp == sequence && r.id == 0x100u + (sequence & 0x3FFu) && r.len == 8 &&
         std::memcmp(r.data, expect, 8) == 0;
}

// The request's (sequence, message id) from a Command packet, or false.
inline bool ParseRequest(const Bytes& p, uint8_t* sequence, uint8_t* message_id, uint8_t* code) {
  if (p.size() < 9 || p[1] != 0x50 || (p[2] & 1) != 0) return false;
  *sequence = static_cast<uint8_t>((p[2] >> 1) & 7);
  *message_id = p[6];
  *code = p[7];
  return true;
}

// The answer a gateway gives: answer flag, same sequence and id, result 1.
inline Bytes AnswerTo(uint8_t sequence, uint8_t message_id, const char* json) {
  Bytes payload = {message_id, 1};
  payload.insert(payload.end(), json, json + std::strlen(json) + 1);
  return Packet(0x50, static_cast<uint8_t>(1u | (sequence << 1)), payload);
}

constexpr const char* kDeviceInfoJson =
    "{\r\n\"Model\":\"RELIABILITY\",\r\n\"FirmwareVersion\":\"V1.00\",\r\n\"HardwareVersion\":\"V1.00\",\r\n"
    "\"SN\":\"42\"\r\n}";

// Cuts whole packets out of a byte stream (valid checksums only).
class PacketCutter {
 public:
  void Append(const uint8_t* p, size_t n) { buf_.insert(buf_.end(), p, p + n); }
  bool Next(Bytes* out) {
    for (;;) {
      size_t i = 0;
      while (i < buf_.size() && buf_[i] != 0x55) ++i;
      buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(i));
      if (buf_.size() < 7) return false;
      const size_t total = ((size_t{buf_[4]} << 8) | buf_[5]) + 7;
      if (buf_.size() < total) return false;
      uint8_t x = 0;
      for (size_t k = 0; k + 1 < total; ++k) x ^= buf_[k];
      if (x == buf_[total - 1]) {
        out->assign(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(total));
        buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(total));
        return true;
      }
      buf_.erase(buf_.begin());
    }
  }

 private:
  Bytes buf_;
};

// ---- Connections ------------------------------------------------------------

// Closes with a TCP reset instead of an orderly FIN.
inline void ResetClose(Fd& fd) {
  if (!fd.valid()) return;
  linger hard{1, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  fd.Reset();
}

}  // namespace tarnlink::test

#endif  // TARNLINK_TESTS_RELIABILITY_PEER_H_
