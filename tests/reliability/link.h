// One device of a loaded library, set up the way a fault-injection test
// needs it: as TCP client of a gateway socket of ours (optionally through the
// fault proxy), as TCP server, or over UDP. Closes the device at the end.
#ifndef TARNLINK_TESTS_RELIABILITY_LINK_H_
#define TARNLINK_TESTS_RELIABILITY_LINK_H_

#include <memory>
#include <string>
#include <vector>

#include "tests/reliability/peer.h"
#include "tests/support/library.h"
#include "tests/support/loopback.h"

namespace tarnlink::test {

class DeviceUnderTest {
 public:
  DeviceUnderTest(const char* library, uint32_t type, uint32_t index)
      : lib_(std::make_unique<Library>(library)), type_(type), index_(index) {
    handle_ = lib_->OpenDevice(type, index, 0);
  }
  ~DeviceUnderTest() { Close(); }
  DeviceUnderTest(const DeviceUnderTest&) = delete;
  DeviceUnderTest& operator=(const DeviceUnderTest&) = delete;

  Library& lib() { return *lib_; }
  uint32_t handle() const { return handle_; }
  uint32_t ch(uint32_t channel) const { return handle_ | channel; }
  uint32_t Close() {
    const uint32_t r = handle_ != 0 ? lib_->CloseDevice(handle_) : 0;
    handle_ = 0;
    return r;
  }

  bool SetRemote(uint16_t port) {
    return lib_->SetReference(type_, index_, 0, VELA_REF_REMOTE_ADDR, "127.0.0.1") == 1 &&
           lib_->SetU32(type_, index_, VELA_REF_REMOTE_PORT, port);
  }
  bool SetU32(uint32_t key, uint32_t value) { return lib_->SetU32(type_, index_, key, value); }
  uint32_t GetU32(uint32_t key) { return lib_->GetU32(type_, index_, key); }
  uint32_t Get(uint32_t channel, uint32_t key, void* value) {
    return lib_->GetReference(type_, index_, channel, key, value);
  }
  uint32_t Set(uint32_t channel, uint32_t key, const void* value) {
    return lib_->SetReference(type_, index_, channel, key, value);
  }

  // Starts channels 0 .. n-1.
  bool StartChannels(uint32_t n) {
    for (uint32_t c = 0; c < n; ++c) {
      if (lib_->StartCAN(ch(c)) != 1) return false;
    }
    return true;
  }

  // Server mode on a port that was free a moment ago; retried if taken.
  bool StartServer(uint32_t channels, uint16_t* port) {
    SetU32(VELA_REF_WORK_MODE, 1);
    for (int attempt = 0; attempt < 5; ++attempt) {
      *port = FreePort();
      SetU32(VELA_REF_LOCAL_PORT, *port);
      if (StartChannels(channels)) return true;
    }
    return false;
  }

  // Drains a channel's CAN queue without waiting.
  std::vector<VELA_CAN_RECEIVE> Drain(uint32_t channel) {
    std::vector<VELA_CAN_RECEIVE> out;
    std::vector<VELA_CAN_RECEIVE> buf(4096);
    uint32_t n;
    while ((n = lib_->Receive(ch(channel), buf.data(), static_cast<uint32_t>(buf.size()), 0)) > 0) {
      out.insert(out.end(), buf.begin(), buf.begin() + n);
    }
    return out;
  }

  // Reads until `want` frames came or timeout_ms passed.
  std::vector<VELA_CAN_RECEIVE> Collect(uint32_t channel, size_t want, int timeout_ms) {
    std::vector<VELA_CAN_RECEIVE> out;
    std::vector<VELA_CAN_RECEIVE> buf(4096);
    const auto start = Clock::now();
    while (out.size() < want && MsSince(start) < timeout_ms) {
      const uint32_t n = lib_->Receive(ch(channel), buf.data(), static_cast<uint32_t>(buf.size()), 20);
      out.insert(out.end(), buf.begin(), buf.begin() + n);
    }
    return out;
  }

 private:
  std::unique_ptr<Library> lib_;
  uint32_t type_;
  uint32_t index_;
  uint32_t handle_ = 0;
};

// The gateway end of a TCP connection: sends bytes, and answers nothing by
// itself. Barrier() sends a command request behind everything sent so far and
// waits for the driver's answer, which the driver gives only after it has
// dispatched every earlier byte of the stream.
class GatewayConnection {
 public:
  GatewayConnection() = default;
  explicit GatewayConnection(Fd fd) : fd_(std::move(fd)) {}
  bool valid() const { return fd_.valid(); }
  Fd& fd() { return fd_; }
  bool Send(const Bytes& b) { return SendAll(fd_.get(), b.data(), b.size()); }

  static Bytes Request(uint8_t sequence, uint8_t message_id) {
    // An unknown code: the driver's answer is its emulated empty one.
    return Packet(0x50, static_cast<uint8_t>(sequence << 1), {message_id, 0x7E, '{', '}', 0});
  }

  // Sends `before`, then a request, in one write; true once its answer came.
  bool Barrier(const Bytes& before = {}, int timeout_ms = 5000) {
    const uint8_t id = ++message_id_;
    Bytes out = before;
    const Bytes req = Request(5, id);
    out.insert(out.end(), req.begin(), req.end());
    if (!Send(out)) return false;
    return AwaitAnswer(id, timeout_ms);
  }

  // Sends a request followed by `after` in one write; true once answered.
  bool RequestThen(const Bytes& after, int timeout_ms = 5000) {
    const uint8_t id = ++message_id_;
    Bytes out = Request(5, id);
    out.insert(out.end(), after.begin(), after.end());
    if (!Send(out)) return false;
    return AwaitAnswer(id, timeout_ms);
  }

  // Reads packets until the answer to message_id arrives; requests the driver
  // sends meanwhile are answered as a gateway would.
  bool AwaitAnswer(uint8_t message_id, int timeout_ms) {
    const auto start = Clock::now();
    uint8_t buf[4096];
    Bytes packet;
    while (MsSince(start) < timeout_ms) {
      while (cutter_.Next(&packet)) {
        if (packet[1] == 0x50 && (packet[2] & 1) != 0 && packet.size() > 7 && packet[6] == message_id) return true;
      }
      if (!WaitReadable(fd_.get(), 20)) continue;
      const ssize_t got = ::recv(fd_.get(), buf, sizeof buf, 0);
      if (got <= 0) return false;
      cutter_.Append(buf, static_cast<size_t>(got));
    }
    return false;
  }

 private:
  Fd fd_;
  PacketCutter cutter_;
  uint8_t message_id_ = 0;
};

}  // namespace tarnlink::test

#endif  // TARNLINK_TESTS_RELIABILITY_LINK_H_
