// Bounded soak: a simulated 4-channel gateway streams CAN frames with
// sequence numbers at a fixed rate to the TCP library (client mode) while
// four application threads drain the channels. Reports loss, reordering,
// damaged frames and resident memory; exits non-zero on any loss, reordering
// or damage, or when resident memory keeps growing after the first minute.
//   reliability_soak [--seconds 600] [--rate 118000] [--report 10]
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/reliability/peer.h"
#include "tests/support/library.h"
#include "tests/support/loopback.h"

namespace tarnlink::test {
namespace {

constexpr uint32_t kType = VELA_TYPE_LINK_4CH_TCP;
constexpr uint32_t kChannels = 4;
constexpr uint64_t kPerPacket = 60;

struct Options {
  int seconds = 600;
  double rate = 118000;
  int report = 10;
};

struct ChannelCheck {
  std::atomic<uint64_t> received{0};
  std::atomic<uint64_t> lost{0};
  std::atomic<uint64_t> reordered{0};
  std::atomic<uint64_t> damaged{0};
  uint64_t next = 0;  // reader thread only
};

int Run(const Options& opt) {
  TcpListener gateway;
  if (!gateway.ok()) return 2;
  Library lib(TARNLINK_TCP_LIB);
  const uint32_t h = lib.OpenDevice(kType, 0, 0);
  lib.SetReference(kType, 0, 0, VELA_REF_REMOTE_ADDR, "127.0.0.1");
  lib.SetU32(kType, 0, VELA_REF_REMOTE_PORT, gateway.port());
  for (uint32_t c = 0; c < kChannels; ++c) {
    if (lib.StartCAN(h | c) != 1) {
      std::fprintf(stderr, "start failed\n");
      return 2;
    }
  }
  Fd conn = gateway.Accept(5000);
  if (!conn.valid()) return 2;

  std::atomic<bool> stop_sending{false};
  std::atomic<bool> stop_reading{false};
  std::atomic<uint64_t> sent{0};
  std::atomic<bool> send_failed{false};
  const auto start = Clock::now();

  // The gateway: full packets, channels in turn, paced to the rate.
  std::thread sender([&] {
    uint64_t seq[kChannels] = {};
    uint32_t channel = 0;
    while (!stop_sending.load()) {
      const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
      const auto due = static_cast<uint64_t>(elapsed * opt.rate);
      Bytes block;
      while (sent.load() + kPerPacket <= due) {
        const Bytes p = CanPackets(static_cast<uint8_t>(channel), seq[channel], kPerPacket);
        block.insert(block.end(), p.begin(), p.end());
        seq[channel] += kPerPacket;
        channel = (channel + 1) % kChannels;
        sent += kPerPacket;
      }
      if (!block.empty() && !SendAll(conn.get(), block.data(), block.size())) {
        send_failed = true;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });

  std::vector<ChannelCheck> checks(kChannels);
  std::vector<std::thread> readers;
  for (uint32_t c = 0; c < kChannels; ++c) {
    readers.emplace_back([&, c] {
      std::vector<VELA_CAN_RECEIVE> buf(4096);
      ChannelCheck& check = checks[c];
      while (!stop_reading.load()) {
        const uint32_t n = lib.Receive(h | c, buf.data(), static_cast<uint32_t>(buf.size()), 10);
        for (uint32_t i = 0; i < n; ++i) {
          const uint64_t s = buf[i].timestamp;
          if (!IsFrame(buf[i], s)) {
            ++check.damaged;
          } else if (s > check.next) {
            check.lost += s - check.next;
            check.next = s + 1;
          } else if (s < check.next) {
            ++check.reordered;
          } else {
            ++check.next;
          }
        }
        check.received += n;
      }
    });
  }

  auto received = [&] {
    uint64_t r = 0;
    for (const ChannelCheck& c : checks) r += c.received.load();
    return r;
  };
  size_t rss_at_minute = 0;
  size_t rss_peak_after_minute = 0;
  std::printf("soak: %d s at %.0f frames/s over %u channels\n", opt.seconds, opt.rate, kChannels);
  for (int t = 1; t <= opt.seconds && !send_failed.load(); ++t) {
    std::this_thread::sleep_until(start + std::chrono::seconds(t));
    const size_t rss = ResidentKiB();
    if (t == std::min(60, opt.seconds)) rss_at_minute = rss;
    if (t > 60) rss_peak_after_minute = std::max(rss_peak_after_minute, rss);
    if (t % opt.report == 0) {
      uint32_t depth = 0;
      for (uint32_t c = 0; c < kChannels; ++c) depth += lib.GetReceiveNum(h | c, VELA_QUEUE_CAN);
      std::printf("t=%4d s  sent %10" PRIu64 "  received %10" PRIu64 "  queued %6u  rss %7zu KiB\n", t, sent.load(),
                  received(), depth, rss);
      std::fflush(stdout);
    }
  }
  stop_sending = true;
  sender.join();
  // Whatever is still in flight drains within a few seconds.
  const auto drain_start = Clock::now();
  while (received() < sent.load() && MsSince(drain_start) < 10000) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  stop_reading = true;
  for (auto& r : readers) r.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

  uint64_t lost = 0;
  uint64_t reordered = 0;
  uint64_t damaged = 0;
  for (const ChannelCheck& c : checks) {
    lost += c.lost.load();
    reordered += c.reordered.load();
    damaged += c.damaged.load();
  }
  // Frames never read are lost too.
  const uint64_t missing = sent.load() - std::min(sent.load(), received());
  lib.CloseDevice(h);

  const bool memory_flat = opt.seconds <= 60 || rss_peak_after_minute <= rss_at_minute + 16 * 1024;
  std::printf("soak result: %.0f s, sent %" PRIu64 " frames (%.0f/s), received %" PRIu64 ", lost %" PRIu64
              ", missing at end %" PRIu64 ", reordered %" PRIu64 ", damaged %" PRIu64
              ", rss at 60 s %zu KiB, peak after %zu KiB%s\n",
              seconds, sent.load(), static_cast<double>(sent.load()) / seconds, received(), lost, missing, reordered,
              damaged, rss_at_minute, rss_peak_after_minute, send_failed.load() ? ", SEND FAILED" : "");
  const bool ok = !send_failed.load() && lost == 0 && missing == 0 && reordered == 0 && damaged == 0 && memory_flat;
  std::printf("soak %s\n", ok ? "PASSED" : "FAILED");
  return ok ? 0 : 1;
}

}  // namespace
}  // namespace tarnlink::test

int main(int argc, char** argv) {
  tarnlink::test::Options opt;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--seconds") {
      opt.seconds = std::atoi(argv[i + 1]);
    } else if (arg == "--rate") {
      opt.rate = std::atof(argv[i + 1]);
    } else if (arg == "--report") {
      opt.report = std::max(1, std::atoi(argv[i + 1]));
    } else {
      std::fprintf(stderr, "usage: %s [--seconds N] [--rate FRAMES_PER_S] [--report N]\n", argv[0]);
      return 2;
    }
  }
  return tarnlink::test::Run(opt);
}
