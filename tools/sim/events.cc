// Event injection: the frames, records and packets a test or the simulator's
// input puts on the link, and requests to the driver. No state of its own.
#include <algorithm>
#include <cmath>
#include <thread>

#include "tools/sim/gateway.h"
#include "tools/sim/parts.h"

namespace tarnlink::sim {

WireFrame Gateway::MakeFrame(uint8_t channel, uint32_t id, const std::vector<uint8_t>& data, bool fd) const {
  WireFrame f;
  f.timestamp = NowMicros();
  f.id = id & 0x1FFFFFFFu;
  f.channel = channel;
  const size_t n = std::min<size_t>(data.size(), fd ? 64 : 8);
  f.len = static_cast<uint8_t>(n);
  std::copy(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n), f.data);
  if (fd) f.flags |= kWireFd;
  return f;
}

bool Gateway::SendCanFrames(const std::vector<WireFrame>& frames) { return impl_->link.SendFrames(frames, false); }

bool Gateway::SendCanFdFrames(const std::vector<WireFrame>& frames) { return impl_->link.SendFrames(frames, true); }

bool Gateway::SendErrorFrame(uint8_t channel, uint8_t b0, uint8_t d1, uint8_t detail1, uint8_t detail2, uint8_t len,
                             bool in_fd_packet) {
  WireFrame f;
  f.timestamp = NowMicros();
  f.flags = kWireError;
  f.channel = channel;
  f.len = len;
  f.data[0] = b0;
  f.data[1] = d1;
  f.data[3] = detail1;
  f.data[4] = detail2;
  impl_->ctx.log(Format("error frame ch%u: %02X %02X, details %02X %02X", channel, b0, d1, detail1, detail2));
  return impl_->link.SendFrames({f}, in_fd_packet);
}

bool Gateway::SendMarker(uint8_t channel, uint64_t timestamp, bool in_fd_packet) {
  WireFrame f;
  f.timestamp = timestamp;
  f.flags = kWireMarker;
  f.channel = channel;
  return impl_->link.SendFrames({f}, in_fd_packet);
}

bool Gateway::SendGps(const std::vector<GpsFix>& fixes) {
  std::vector<WireGps> records;
  for (const GpsFix& fix : fixes) {
    WireGps g;
    g.time_word = (fix.utc_seconds & 0x00FFFFFFFFFFFFFFull) | (fix.time_valid ? 1ull << 63 : 0);
    auto coordinate = [](double degrees, bool valid) {
      const uint32_t magnitude = static_cast<uint32_t>(std::llround(std::fabs(degrees) * 1e6)) & 0x0FFFFFFFu;
      return magnitude | (degrees < 0 ? 1u << 30 : 0u) | (valid ? 1u << 31 : 0u);
    };
    g.fields[0] = coordinate(fix.longitude, false);
    g.fields[1] = coordinate(fix.latitude, fix.position_valid);
    g.fields[2] = (static_cast<uint32_t>(std::llround(fix.speed * 10)) & 0xFFFFu) | (fix.speed_valid ? 1u << 31 : 0u);
    g.fields[3] =
        (static_cast<uint32_t>(std::llround(fix.course * 1e6)) & 0x7FFFFFFFu) | (fix.course_valid ? 1u << 31 : 0u);
    g.fields[4] =
        (static_cast<uint32_t>(std::llround(fix.altitude + 1000)) & 0xFFFFu) | (fix.altitude_valid ? 1u << 31 : 0u);
    records.push_back(g);
  }
  return SendGpsRecords(records);
}

bool Gateway::SendGpsRecords(const std::vector<WireGps>& records) {
  std::vector<uint8_t> payload;
  for (const WireGps& g : records) PutGps(payload, g);
  return SendPacket(kTypeGps, 0, payload);
}

bool Gateway::SendChannelReport(const WireChannelReport& report) {
  std::vector<uint8_t> payload;
  PutReport(payload, report);
  return SendPacket(kTypeChannelReport, 0, payload);
}

bool Gateway::SendDeviceText(uint8_t slot, const std::string& text) {
  return SendPacket(kTypeDeviceText, slot, std::vector<uint8_t>(text.begin(), text.end()));
}

bool Gateway::SendNotice(uint64_t value, uint8_t flags) {
  std::vector<uint8_t> payload;
  for (int i = 7; i >= 0; --i) payload.push_back(static_cast<uint8_t>(value >> (8 * i)));
  return SendPacket(kTypeNotice, flags, payload);
}

std::optional<HostPacket> Gateway::RequestFromHost(uint8_t code, const std::vector<uint8_t>& body, uint8_t sequence,
                                                   uint8_t message_id, std::chrono::milliseconds timeout) {
  Impl& s = *impl_;
  Recorder::Awaited waiting;
  waiting.sequence = static_cast<uint8_t>(sequence & 7u);
  waiting.message_id = message_id;
  s.recorder.Await(&waiting);
  const bool sent = s.link.Deliver(CommandPacket(false, sequence, message_id, code, body), -1, true, 0);
  return s.recorder.TakeAnswer(&waiting, timeout, sent);
}

bool Gateway::SendPacket(uint8_t type, uint8_t flags, const std::vector<uint8_t>& payload) {
  return impl_->link.Deliver(FramePacket(type, flags, payload), -1, true, 0);
}

bool Gateway::SendRaw(const std::vector<uint8_t>& bytes) { return impl_->link.Deliver(bytes, -1, true, 0); }

bool Gateway::SendInChunks(const std::vector<uint8_t>& bytes, const std::vector<size_t>& sizes,
                           std::chrono::milliseconds gap) {
  size_t offset = 0;
  for (size_t i = 0; i <= sizes.size() && offset < bytes.size(); ++i) {
    const size_t n = i < sizes.size() ? std::min(sizes[i], bytes.size() - offset) : bytes.size() - offset;
    if (n == 0) continue;
    if (offset > 0 && gap.count() > 0) std::this_thread::sleep_for(gap);  // pacing, not synchronisation
    if (!impl_->link.Deliver(std::vector<uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                                                  bytes.begin() + static_cast<std::ptrdiff_t>(offset + n)),
                             -1, true, 0)) {
      return false;
    }
    offset += n;
  }
  return true;
}

bool Gateway::Burst(uint8_t channel, uint64_t count, uint64_t first_stamp, uint32_t base_id, bool fd) {
  const size_t per_packet = fd ? kCanFdPerPacket : kCanPerPacket;
  const size_t record = fd ? kWireCanFdSize : kWireCanSize;
  std::vector<uint8_t> payload;
  payload.reserve(per_packet * record);
  for (uint64_t done = 0; done < count;) {
    const uint64_t n = std::min<uint64_t>(per_packet, count - done);
    payload.clear();
    for (uint64_t i = 0; i < n; ++i) {
      WireFrame f;
      const uint64_t k = done + i;
      f.timestamp = first_stamp + k;
      f.id = static_cast<uint32_t>((base_id + k) & 0x7FFu);
      f.channel = channel;
      f.len = 8;
      f.flags = fd ? kWireFd : 0;
      for (int b = 0; b < 8; ++b) f.data[b] = static_cast<uint8_t>(k >> (8 * b));
      PutFrame(payload, f, fd);
    }
    if (!impl_->link.Deliver(FramePacket(fd ? kTypeCanFd : kTypeCan, 0, payload), -1, true, n)) return false;
    done += n;
  }
  return true;
}

}  // namespace tarnlink::sim
