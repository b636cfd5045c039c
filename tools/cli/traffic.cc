#include "tools/cli/traffic.h"

#include <algorithm>
#include <cstdio>
#include <thread>

namespace tarnlink::cli {
namespace {

constexpr uint32_t kReceiveBatch = 512;

}  // namespace

FrameReader::FrameReader(const Session& session)
    : session_(session), order_(2 * session.channels().size()), can_(kReceiveBatch), fd_(kReceiveBatch) {}

// Every queue is read until it comes back short: a pass that stopped at a
// count could not tell its ArrivalOrder what it had not seen.
void FrameReader::ReadPass() {
  const Driver& d = session_.driver();
  // One reception time per pass: every frame of it was waiting by then.
  const auto now = std::chrono::system_clock::now();
  size_t q = 0;
  for (uint32_t ch : session_.channels()) {
    const uint32_t h = session_.handle(ch);
    for (int kind = 0; kind < 2; ++kind, ++q) {
      for (;;) {
        const uint32_t n =
            kind == 0 ? d.Receive(h, can_.data(), kReceiveBatch, 0) : d.ReceiveFD(h, fd_.data(), kReceiveBatch, 0);
        for (uint32_t i = 0; i < n; ++i) {
          if (kind == 0) {
            order_.Add(q, {ch, FromReceive(can_[i]), can_[i].timestamp, now});
          } else {
            order_.Add(q, {ch, FromReceive(fd_[i]), fd_[i].timestamp, now});
          }
        }
        if (n < kReceiveBatch) break;
      }
    }
  }
}

size_t FrameReader::Poll(std::vector<Received>* out) {
  ReadPass();
  return order_.EndPass(out);
}

size_t DrainErrors(const Session& session, uint32_t channel, std::vector<Received>* out) {
  size_t n = 0;
  // Bounded, so a gateway flooding errors cannot hold the caller here.
  for (int i = 0; i < 256; ++i) {
    VELA_CHANNEL_ERR_INFO info{};
    if (session.driver().ReadChannelErrInfo(session.handle(channel), &info) != 1) break;
    Received r;
    if (!ErrorInfoToFrame(info, &r.frame)) break;
    r.channel = channel;
    r.host_time = std::chrono::system_clock::now();
    out->push_back(r);
    ++n;
  }
  return n;
}

size_t SendFrames(const Session& session, uint32_t channel, const std::vector<Frame>& frames) {
  const Driver& d = session.driver();
  const uint32_t h = session.handle(channel);
  size_t sent = 0;
  size_t i = 0;
  while (i < frames.size()) {
    size_t j = i;
    while (j < frames.size() && frames[j].fd == frames[i].fd) ++j;
    const uint32_t count = static_cast<uint32_t>(j - i);
    uint32_t accepted;
    if (frames[i].fd) {
      std::vector<VELA_CANFD_TRANSMIT> records;
      records.reserve(count);
      for (size_t k = i; k < j; ++k) records.push_back(ToTransmitFd(frames[k]));
      accepted = d.TransmitFD(h, records.data(), count);
    } else {
      std::vector<VELA_CAN_TRANSMIT> records;
      records.reserve(count);
      for (size_t k = i; k < j; ++k) records.push_back(ToTransmit(frames[k]));
      accepted = d.Transmit(h, records.data(), count);
    }
    sent += accepted;
    if (accepted < count) break;
    i = j;
  }
  return sent;
}

bool SyncWithGateway(const Session& session) {
  VELA_DEVICE_INFO info{};
  return session.driver().GetDeviceInf(session.device(), &info) == 1;
}

bool SleepUntilOrStop(std::chrono::steady_clock::time_point t) {
  constexpr auto kSlice = std::chrono::milliseconds(50);
  while (!StopRequested()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= t) return true;
    std::this_thread::sleep_until(t - now > kSlice ? now + kSlice : t);
  }
  return false;
}

void SplitTime(std::chrono::system_clock::time_point t, uint64_t* seconds, uint32_t* micros) {
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
  *seconds = static_cast<uint64_t>(us / 1000000);
  *micros = static_cast<uint32_t>(us % 1000000);
}

std::string VersionText(uint16_t version) {
  char buf[16];
  std::snprintf(buf, sizeof(buf), "V%X.%02X", version >> 8, version & 0xFFu);
  return buf;
}

}  // namespace tarnlink::cli
