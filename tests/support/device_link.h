// The tests' one device-over-link fixture: an open device of either library
// over the TCP client, TCP server or UDP link. Start() brings up a simulated
// gateway as its peer; a test that brings its own peer (a hostile one, the
// fault proxy) points the device at it with SetRemote or StartServer.
// Everything on 127.0.0.1 with ephemeral ports and bounded waits.
#ifndef TARNLINK_TESTS_SUPPORT_DEVICE_LINK_H_
#define TARNLINK_TESTS_SUPPORT_DEVICE_LINK_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/eventually.h"
#include "tests/support/library.h"
#include "tests/support/loopback.h"
#include "tools/sim/gateway.h"

namespace tarnlink::test {

using std::chrono::milliseconds;

enum class LinkKind { kTcpClient, kTcpServer, kUdp };

struct LinkParam {
  const char* name;
  LinkKind kind;
};

inline std::string LinkName(const ::testing::TestParamInfo<LinkParam>& info) { return info.param.name; }

class DeviceLink {
 public:
  DeviceLink(LinkKind kind, uint32_t type, uint32_t index, sim::GatewayConfig gw = {})
      : DeviceLink(kind == LinkKind::kUdp ? TARNLINK_UDP_LIB : TARNLINK_TCP_LIB, kind, type, index, std::move(gw)) {}
  // A device of the given library file, for a test that brings its own peer.
  DeviceLink(const char* library, uint32_t type, uint32_t index)
      : DeviceLink(library, std::string(library) == TARNLINK_UDP_LIB ? LinkKind::kUdp : LinkKind::kTcpClient, type,
                   index, {}) {}
  ~DeviceLink() {
    Close();
    gateways_.clear();
  }
  DeviceLink(const DeviceLink&) = delete;
  DeviceLink& operator=(const DeviceLink&) = delete;

  // Starts `channels` (a bit set) and brings the gateway up; true when the link works.
  bool Start(uint32_t channels = 1) {
    if (handle_ == 0) return false;
    const std::vector<uint32_t> list = Bits(channels);
    if (list.empty()) return false;
    switch (kind_) {
      case LinkKind::kTcpClient: {
        sim::GatewayConfig c = gw_config_;
        c.mode = sim::LinkMode::kTcpListen;
        auto gw = std::make_unique<sim::Gateway>(c);
        if (!gw->Start()) return false;
        lib_->SetReference(type_, index_, 0, VELA_REF_REMOTE_ADDR, "127.0.0.1");
        lib_->SetU32(type_, index_, VELA_REF_REMOTE_PORT, gw->LocalPort());
        lib_->SetU32(type_, index_, VELA_REF_WORK_MODE, 0);
        start_time_ = Clock::now();
        if (!StartChannels(list)) return false;
        if (!gw->WaitConnections(1, milliseconds(5000))) return false;
        gateways_.push_back(std::move(gw));
        return true;
      }
      case LinkKind::kTcpServer: {
        lib_->SetU32(type_, index_, VELA_REF_WORK_MODE, 1);
        bool started = false;
        // The port was free a moment ago; another process may take it first.
        for (int attempt = 0; attempt < 5 && !started; ++attempt) {
          server_port_ = FreePort();
          lib_->SetU32(type_, index_, VELA_REF_LOCAL_PORT, server_port_);
          start_time_ = Clock::now();
          started = StartChannels(list);
        }
        if (!started) return false;
        return AddGateway() != nullptr;
      }
      case LinkKind::kUdp: {
        sim::GatewayConfig c = gw_config_;
        c.mode = sim::LinkMode::kUdp;
        auto gw = std::make_unique<sim::Gateway>(c);
        if (!gw->Start()) return false;
        bool started = false;
        for (int attempt = 0; attempt < 5 && !started; ++attempt) {
          const uint16_t port = FreePort(false);
          lib_->SetReference(type_, index_, 0, VELA_REF_REMOTE_ADDR, "127.0.0.1");
          lib_->SetU32(type_, index_, VELA_REF_REMOTE_PORT, gw->LocalPort());
          lib_->SetU32(type_, index_, VELA_REF_LOCAL_PORT, port);
          start_time_ = Clock::now();
          started = StartChannels(list);
          if (started) gw->SetRemote("127.0.0.1", port);
        }
        if (!started) return false;
        gateways_.push_back(std::move(gw));
        return true;
      }
    }
    return false;
  }

  // TCP server link: one more gateway connecting to the driver; null on failure.
  sim::Gateway* AddGateway() {
    sim::GatewayConfig c = gw_config_;
    c.mode = sim::LinkMode::kTcpConnect;
    c.remote_address = "127.0.0.1";
    c.remote_port = server_port_;
    auto gw = std::make_unique<sim::Gateway>(c);
    if (!gw->Start() || !gw->WaitConnections(1, milliseconds(5000))) return nullptr;
    const size_t want = gateways_.size() + 1;
    // The driver lists a client once its accept thread has taken it.
    if (!Eventually([&] { return ClientCount() >= want; }, 5000)) return nullptr;
    gateways_.push_back(std::move(gw));
    return gateways_.back().get();
  }

  uint32_t ClientCount() const { return lib_->GetU32(type_, index_, VELA_REF_CLIENT_COUNT); }

  Library& lib() { return *lib_; }
  sim::Gateway& gw(size_t i = 0) { return *gateways_.at(i); }
  size_t gateway_count() const { return gateways_.size(); }
  void DropGateway(size_t i) { gateways_.erase(gateways_.begin() + static_cast<std::ptrdiff_t>(i)); }
  uint32_t handle() const { return handle_; }
  uint32_t ch(uint32_t channel) const { return handle_ | channel; }
  uint32_t Close() {
    const uint32_t r = handle_ != 0 ? lib_->CloseDevice(handle_) : 0;
    handle_ = 0;
    return r;
  }
  uint32_t type() const { return type_; }
  uint32_t index() const { return index_; }
  LinkKind kind() const { return kind_; }
  Clock::time_point start_time() const { return start_time_; }
  void ForgetHandle() { handle_ = 0; }

  uint32_t Get(uint32_t channel, uint32_t key, void* value) {
    return lib_->GetReference(type_, index_, channel, key, value);
  }
  uint32_t Set(uint32_t channel, uint32_t key, const void* value) {
    return lib_->SetReference(type_, index_, channel, key, value);
  }
  bool SetU32(uint32_t key, uint32_t value) { return lib_->SetU32(type_, index_, key, value); }
  uint32_t GetU32(uint32_t key) { return lib_->GetU32(type_, index_, key); }

  // ---- For a test that brings its own peer ----

  // The device as TCP client (or UDP peer) of 127.0.0.1:port.
  bool SetRemote(uint16_t port) {
    return Set(0, VELA_REF_REMOTE_ADDR, "127.0.0.1") == 1 && SetU32(VELA_REF_REMOTE_PORT, port);
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
      *port = server_port_ = FreePort();
      SetU32(VELA_REF_LOCAL_PORT, *port);
      start_time_ = Clock::now();
      if (StartChannels(channels)) return true;
    }
    return false;
  }

  // A barrier: the gateway sends a command request behind everything it has
  // sent so far and waits for the driver's answer, which the driver gives on
  // its receive thread after dispatching every earlier packet of the stream.
  bool Sync() {
    const uint8_t id = sync_id_++;
    return gw().RequestFromHost(kSyncCode, {}, 7, id, milliseconds(5000)).has_value();
  }

  // Command requests the driver sent (answers to the gateway's own requests left out).
  size_t HostRequests(size_t gateway = 0) {
    size_t n = 0;
    for (const auto& p : gw(gateway).Packets(sim::kTypeCommand)) n += (p.flags() & 1u) == 0;
    return n;
  }

  // Drains the CAN queue of a channel without waiting.
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
  static std::vector<uint32_t> Bits(uint32_t mask) {
    std::vector<uint32_t> out;
    for (uint32_t b = 0; b < 32; ++b) {
      if (mask & (1u << b)) out.push_back(b);
    }
    return out;
  }
  DeviceLink(const char* library, LinkKind kind, uint32_t type, uint32_t index, sim::GatewayConfig gw)
      : kind_(kind), type_(type), index_(index), gw_config_(std::move(gw)), lib_(std::make_unique<Library>(library)) {
    handle_ = lib_->OpenDevice(type, index, 0);
  }
  bool StartChannels(const std::vector<uint32_t>& list) {
    for (uint32_t c : list) {
      if (lib_->StartCAN(handle_ | c) != 1) return false;
    }
    return true;
  }

  LinkKind kind_;
  uint32_t type_;
  uint32_t index_;
  sim::GatewayConfig gw_config_;
  std::unique_ptr<Library> lib_;
  uint32_t handle_ = 0;
  uint16_t server_port_ = 0;
  static constexpr uint8_t kSyncCode = 0x7E;
  uint8_t sync_id_ = 0xF0;
  Clock::time_point start_time_;
  std::vector<std::unique_ptr<sim::Gateway>> gateways_;
};

// A device of `type` over `kind` with a silent gateway (no echo) of the
// type's channel count, the channels of start_mask started.
inline std::unique_ptr<DeviceLink> StartedLink(LinkKind kind, uint32_t type = VELA_TYPE_LINK_2CH_TCP,
                                               uint32_t start_mask = 1) {
  sim::GatewayConfig c;
  c.channels = type == VELA_TYPE_LINK_4CH_TCP ? 4 : type == VELA_TYPE_AIR_1CH_TCP ? 1 : 2;
  c.echo = false;
  auto link = std::make_unique<DeviceLink>(kind, type, 0, c);
  EXPECT_NE(link->handle(), 0u);
  EXPECT_TRUE(link->Start(start_mask));
  return link;
}

}  // namespace tarnlink::test

#endif  // TARNLINK_TESTS_SUPPORT_DEVICE_LINK_H_
