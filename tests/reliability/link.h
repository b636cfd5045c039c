// The gateway end of a raw TCP connection for the fault-injection tests, and
// the device fixture they share with the end-to-end tests.
#ifndef TARNLINK_TESTS_RELIABILITY_LINK_H_
#define TARNLINK_TESTS_RELIABILITY_LINK_H_

#include <memory>
#include <string>
#include <vector>

#include "tests/reliability/peer.h"
#include "tests/support/device_link.h"
#include "tests/support/library.h"
#include "tests/support/loopback.h"

namespace tarnlink::test {

// Starts channels 0 .. n-1 of the device as TCP client of `gateway`; the
// connection the gateway accepted, invalid on any failure.
inline Fd ConnectDevice(TcpListener& gateway, DeviceLink& device, uint32_t channels) {
  if (!gateway.ok() || !device.SetRemote(gateway.port()) || !device.StartChannels(channels)) return Fd();
  return gateway.Accept(3000);
}

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
