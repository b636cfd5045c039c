// tarnlink demo: a short guided session. Without --host it plays the gateway
// itself (the simulator, in this process, on loopback) and drives it through
// the driver library exactly as an application would.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/cli/commands.h"
#include "tools/cli/driver.h"
#include "tools/cli/traffic.h"
#include "tools/sim/gateway.h"
#include "transport/socket.h"

namespace tarnlink::cli {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr char kUsage[] =
    "Usage: tarnlink demo [options]\n"
    "\n"
    "A ten-second session: starts the gateway simulator on loopback (unless --host\n"
    "names a real gateway), opens the device through the driver library, shows the\n"
    "device information, sends frames and shows them coming back, shows generated\n"
    "traffic in candump -L format, and ends with a summary: frames each way, lost\n"
    "frames and the round-trip latency of echoed frames.\n"
    "With --udp or --server the simulator and the driver use that link instead.\n"
    "\n"
    "Options:\n"
    "  --traffic S   seconds of traffic to show (default 3)\n"
    "  --rtt N       frames for the round-trip measurement (default 1000)\n";

enum : int { kOptTraffic = 4000, kOptRtt };

constexpr uint32_t kRttId = 0x7E0;
constexpr uint32_t kTimedId = 0x3A0;
constexpr uint32_t kTimedPeriodMs = 500;
constexpr uint64_t kBurstFrames = 20000;
constexpr uint64_t kPacedRate = 20000;  // frames/s over UDP

std::string Ms(double ms) {
  char buf[32];
  std::snprintf(buf, sizeof(buf), ms < 10 ? "%.2f ms" : "%.1f ms", ms);
  return buf;
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t i = std::min(v.size() - 1, static_cast<size_t>(std::floor(p * static_cast<double>(v.size()))));
  return v[i];
}

Frame MakeFrame(const char* text) {
  Frame f;
  std::string error;
  ParseFrame(text, &f, &error);
  return f;
}

std::string FieldText(const char* p, size_t n) {
  size_t len = 0;
  while (len < n && p[len] != '\0') ++len;
  return std::string(p, len);
}

class Demo {
 public:
  Demo(ConnectOptions connect, double traffic_s, uint32_t rtt_frames)
      : connect_(std::move(connect)), traffic_s_(traffic_s), rtt_frames_(rtt_frames) {}

  int Run() {
    const bool simulated = !connect_.host_given;
    std::printf("tarnlink demo: %s\n\n",
                simulated ? "a short session with the built-in gateway simulator" : "a short session with the gateway");
    if (simulated && !StartSimulator()) return kExitFailure;
    driver_ = Driver::Load(connect_);
    if (!driver_) return kExitFailure;
    const auto t0 = Clock::now();
    session_ = Session::Open(*driver_, connect_, {});
    if (!session_) return kExitFailure;
    reader_ = std::make_unique<FrameReader>(*session_);
    std::printf("  driver      %s\n", driver_->path().c_str());
    std::printf("  device      type 0x%02X index %u, %s, %u channels, ready in %s\n\n", session_->type(),
                session_->index(), connect_.Describe().c_str(), session_->channel_count(),
                Ms(std::chrono::duration<double, std::milli>(Clock::now() - t0).count()).c_str());
    ShowDeviceInfo();
    if (!StopRequested()) FramesOutAndBack();
    if (!StopRequested() && echoes_work_) RoundTrip();
    if (!StopRequested()) Traffic();
    if (!StopRequested() && gateway_) Throughput();
    Summary();
    reader_.reset();
    session_.reset();
    if (gateway_) gateway_->Stop();
    return kExitOk;
  }

 private:
  bool StartSimulator() {
    sim::GatewayConfig c;
    c.channels = ChannelsOfType(connect_.device_type());
    c.echo = true;
    c.record_limit = 0;  // the demo reads only the counters
    c.frame_record_limit = 0;
    c.autosend_read_all_slots = true;
    c.bind_address = "127.0.0.1";
    connect_.host = "127.0.0.1";
    std::string link;
    if (connect_.server) {
      if (!connect_.local_port) connect_.local_port = FreePort();
      c.mode = sim::LinkMode::kTcpConnect;
      c.remote_address = "127.0.0.1";
      c.remote_port = *connect_.local_port;
      c.reconnect_ms = 100;
    } else if (connect_.udp) {
      c.mode = sim::LinkMode::kUdp;
      c.remote_port = 0;  // answers whoever spoke last: the driver
    } else {
      c.mode = sim::LinkMode::kTcpListen;
    }
    gateway_ = std::make_unique<sim::Gateway>(c);
    if (!gateway_->Start()) {
      std::fprintf(stderr, "tarnlink: the simulator could not open its socket on 127.0.0.1\n");
      return false;
    }
    if (connect_.server) {
      link = "connects to the driver on 127.0.0.1:" + std::to_string(c.remote_port);
    } else {
      connect_.port = gateway_->LocalPort();
      link = std::string(connect_.udp ? "UDP on" : "listening on") + " 127.0.0.1:" + std::to_string(connect_.port);
    }
    std::printf("  simulator   %s, %u channels, echo on\n", link.c_str(), c.channels);
    return true;
  }

  void ShowDeviceInfo() {
    std::printf("Device information\n");
    VELA_DEVICE_INFO info{};
    if (driver_->GetDeviceInf(session_->device(), &info) != 1) {
      std::printf("  (the gateway did not answer)\n\n");
      return;
    }
    std::printf("  model       %s\n", FieldText(info.model, sizeof(info.model)).c_str());
    std::printf("  serial      %s\n", FieldText(info.serial, sizeof(info.serial)).c_str());
    std::printf("  firmware    %s   hardware %s   driver %s\n", VersionText(info.fw_version).c_str(),
                VersionText(info.hw_version).c_str(), VersionText(info.driver_version).c_str());
    std::printf("  channels    %u\n\n", info.channel_count);
  }

  // Waits up to `wait` for `frame` to come back on `channel`, counting
  // whatever else arrives meanwhile.
  std::optional<Received> Expect(uint32_t channel, const Frame& frame, milliseconds wait, uint64_t* others) {
    const auto deadline = Clock::now() + wait;
    std::vector<Received> got;
    while (Clock::now() < deadline && !StopRequested()) {
      got.clear();
      reader_->Drain(&got);
      std::optional<Received> hit;
      for (const Received& r : got) {
        ++received_;
        if (!hit && r.channel == channel && r.frame == frame) {
          hit = r;
        } else {
          ++*others;
        }
      }
      if (hit) return hit;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return std::nullopt;
  }

  void FramesOutAndBack() {
    std::printf("Frames out and back (VELA_Transmit; the gateway echoes each frame)\n");
    std::vector<std::pair<uint32_t, Frame>> show = {
        {0, MakeFrame("123#DEADBEEF")},
        {0, MakeFrame("18DAF110#0211223344556677")},
        {0, MakeFrame("7DF#R2")},
    };
    if (session_->channel_count() > 1) {
      show.push_back({1, MakeFrame("456##1000102030405060708090A0B0C0D0E0F")});
      show.push_back({1, MakeFrame("1A5#")});
    } else {
      show.push_back({0, MakeFrame("456##1000102030405060708090A0B0C0D0E0F")});
    }
    size_t echoed = 0;
    for (const auto& [ch, f] : show) {
      const auto t = Clock::now();
      if (SendFrames(*session_, ch, {f}) != 1) {
        std::printf("  the driver refused the frame (connection lost?)\n");
        break;
      }
      ++sent_;
      std::printf("  sent     %s\n", ColumnsLine(f, ch).c_str());
      uint64_t others = 0;
      const std::optional<Received> back = Expect(ch, f, milliseconds(gateway_ ? 1000 : 300), &others);
      if (back) {
        const double rtt = std::chrono::duration<double, std::milli>(Clock::now() - t).count();
        ++echoed;
        ++echoes_;
        std::printf("  back     %-52s %s\n", ColumnsLine(back->frame, back->channel).c_str(), Ms(rtt).c_str());
      } else {
        std::printf("  back     (no echo within %s%s)\n", gateway_ ? "1 s" : "300 ms",
                    others > 0 ? ", other traffic arrived" : "");
      }
    }
    echoes_work_ = echoed > 0;
    // The simulator echoes every frame, so a missing one is lost; a real
    // gateway may echo none, and then nothing can be said.
    if (gateway_ || echoes_work_) lost_ += show.size() - echoed;
    if (!echoes_work_ && gateway_ == nullptr) {
      std::printf(
          "  A gateway returns sent frames only when its channel echoes them or a second node\n"
          "  on the bus answers; the round-trip measurement is skipped.\n");
    }
    std::printf("\n");
  }

  void RoundTrip() {
    std::printf("Round trip: %u frames on ch0, one every millisecond, matched by sequence number\n", rtt_frames_);
    std::vector<Clock::time_point> sent_at(rtt_frames_);
    std::vector<bool> back(rtt_frames_, false);
    rtt_ms_.clear();
    uint32_t next = 0;
    uint32_t returned = 0;
    auto next_due = Clock::now();
    auto last_send = Clock::now();
    std::vector<Received> got;
    while (!StopRequested()) {
      const auto now = Clock::now();
      if (next < rtt_frames_ && now >= next_due) {
        Frame f;
        f.id = kRttId;
        f.len = 8;
        for (int i = 0; i < 4; ++i) f.data[i] = static_cast<uint8_t>(next >> (24 - 8 * i));
        f.data[4] = 0xA5;
        sent_at[next] = Clock::now();
        if (SendFrames(*session_, 0, {f}) != 1) break;
        ++sent_;
        ++next;
        last_send = now;
        next_due += milliseconds(1);
      }
      got.clear();
      reader_->Drain(&got);
      const auto arrived = Clock::now();
      for (const Received& r : got) {
        ++received_;
        if (r.channel != 0 || r.frame.id != kRttId || r.frame.len != 8) continue;
        const uint32_t seq = static_cast<uint32_t>(r.frame.data[0]) << 24 | r.frame.data[1] << 16 |
                             r.frame.data[2] << 8 | r.frame.data[3];
        if (seq >= next || back[seq]) continue;
        back[seq] = true;
        ++returned;
        ++echoes_;
        rtt_ms_.push_back(std::chrono::duration<double, std::milli>(arrived - sent_at[seq]).count());
      }
      if (next == rtt_frames_ && (returned == rtt_frames_ || now - last_send > milliseconds(1000))) break;
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    lost_ += next - returned;
    std::printf("  %u sent, %u came back, %u lost; p50 %s, p99 %s, max %s\n\n", next, returned, next - returned,
                Ms(Percentile(rtt_ms_, 0.50)).c_str(), Ms(Percentile(rtt_ms_, 0.99)).c_str(),
                Ms(rtt_ms_.empty() ? 0 : *std::max_element(rtt_ms_.begin(), rtt_ms_.end())).c_str());
  }

  void Traffic() {
    const uint32_t fd_channel = session_->channel_count() > 1 ? 1 : 0;
    bool timed = false;
    if (gateway_) {
      sim::TrafficSpec a;
      a.channel = 0;
      a.frames_per_second = 8;
      a.id_first = 0x100;
      a.id_last = 0x107;
      a.len_min = 1;
      a.len_max = 8;
      gateway_->StartTraffic(a);
      sim::TrafficSpec b;
      b.channel = static_cast<uint8_t>(fd_channel);
      b.frames_per_second = 3;
      b.fd = true;
      b.brs = true;
      b.extended = true;
      b.id_first = 0x18FEF100;
      b.id_last = 0x18FEF103;
      b.len_min = 12;
      b.len_max = 12;
      b.fd_valid_lengths = true;
      gateway_->StartTraffic(b);
      // A timed entry: held by the gateway and sent by it every 500 ms.
      VELA_CAN_AUTOSEND e{};
      e.enable = 1;
      e.index = 0;
      e.period = kTimedPeriodMs;
      e.frame = ToTransmit(MakeFrame("3A0#AA55000000000001"));
      timed = driver_->SetReference(session_->type(), session_->index(), 0, VELA_REF_AUTOSEND_ADD, &e) == 1 &&
              driver_->SetReference(session_->type(), session_->index(), 0, VELA_REF_AUTOSEND_SEND, nullptr) == 1;
      std::printf(
          "Traffic, candump -L format (%.0f s): the simulator generates 8 frames/s on ch0 and 3 CAN FD\n"
          "frames/s on ch%u; a timed entry (3A0, every %u ms) runs on the gateway\n",
          traffic_s_, fd_channel, kTimedPeriodMs);
    } else {
      std::printf("Traffic on the bus, candump -L format (%.0f s)\n", traffic_s_);
    }
    const auto end =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(traffic_s_));
    std::vector<Received> got;
    uint64_t shown = 0;
    uint64_t frames = 0;
    uint64_t timed_seen = 0;
    constexpr uint64_t kMaxShown = 200;
    auto take = [&] {
      got.clear();
      for (uint32_t ch : session_->channels()) DrainErrors(*session_, ch, &got);
      reader_->Drain(&got);
      for (const Received& r : got) {
        ++received_;
        ++frames;
        if (r.frame.identifier() == kTimedId && r.channel == 0) ++timed_seen;
        if (shown++ < kMaxShown) {
          uint64_t sec = 0;
          uint32_t us = 0;
          SplitTime(r.host_time, &sec, &us);
          std::printf("%s\n", LogLine(r.frame, r.channel, sec, us).c_str());
        }
      }
      std::fflush(stdout);
    };
    while (Clock::now() < end && !StopRequested()) {
      take();
      std::this_thread::sleep_for(milliseconds(2));
    }
    uint64_t generated[2] = {0, 0};
    if (gateway_) {
      generated[0] = gateway_->StopTraffic(0);
      generated[1] = fd_channel != 0 ? gateway_->StopTraffic(static_cast<uint8_t>(fd_channel)) : 0;
      if (timed) driver_->SetReference(session_->type(), session_->index(), 0, VELA_REF_AUTOSEND_CLEAR, nullptr);
      // The answer comes after every frame the gateway sent before it: the
      // last ones are in the queues once it is here.
      SyncWithGateway(*session_);
      take();
    }
    if (shown > kMaxShown) std::printf("... and %llu more\n", static_cast<unsigned long long>(shown - kMaxShown));
    std::printf("  %llu frames in %.0f s", static_cast<unsigned long long>(frames), traffic_s_);
    if (gateway_) {
      std::printf(" (generated %llu + %llu, timed entry %llu)", static_cast<unsigned long long>(generated[0]),
                  static_cast<unsigned long long>(generated[1]), static_cast<unsigned long long>(timed_seen));
    }
    std::printf("\n\n");
  }

  // Both directions: a gateway burst with numbered time stamps (so loss and
  // order show), then a host burst echoed back. Over TCP as fast as the link
  // goes; over UDP paced, since datagrams beyond the socket buffers are
  // dropped rather than held back.
  void Throughput() {
    const bool paced = connect_.udp;
    std::printf("Throughput on loopback%s\n", paced ? " (UDP, paced at 20000 frames/s)" : "");
    // Whatever traffic was still in flight goes first.
    std::this_thread::sleep_for(milliseconds(50));
    std::vector<Received> got;
    reader_->Drain(&got);
    received_ += got.size();

    constexpr uint64_t kFirstStamp = uint64_t{1} << 40;  // far above the gateway clock
    const uint64_t base = paced ? 0 : kFirstStamp;
    const auto started = Clock::now();
    std::thread burst;
    if (paced) {
      sim::TrafficSpec t;
      t.channel = 0;
      t.frames_per_second = kPacedRate;
      t.total = kBurstFrames;
      t.id_first = 0x200;
      t.id_last = 0x27F;
      t.sequence_stamps = true;
      gateway_->StartTraffic(t);
    } else {
      burst = std::thread([this] { gateway_->Burst(0, kBurstFrames, kFirstStamp, 0x200); });
    }
    uint64_t n = 0;
    uint64_t out_of_order = 0;
    uint64_t expect = base;
    Clock::time_point last = started;
    const auto deadline = Clock::now() + milliseconds(5000);
    while (n < kBurstFrames && Clock::now() < deadline && !StopRequested()) {
      got.clear();
      reader_->Drain(&got);
      if (got.empty()) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        continue;
      }
      last = Clock::now();
      for (const Received& r : got) {
        ++received_;
        if (r.channel != 0 || r.gateway_stamp < base) continue;
        if (r.gateway_stamp < expect) ++out_of_order;  // a gap is loss, counted below
        expect = std::max(expect, r.gateway_stamp + 1);
        ++n;
      }
    }
    if (burst.joinable()) burst.join();
    if (paced) gateway_->StopTraffic(0);
    const double down_s = std::chrono::duration<double>(last - started).count();
    lost_ += kBurstFrames - std::min(n, kBurstFrames);
    std::printf("  gateway to host  %llu frames in %.3f s, %.0f frames/s, %llu lost, %s\n",
                static_cast<unsigned long long>(n), down_s, down_s > 0 ? static_cast<double>(n) / down_s : 0.0,
                static_cast<unsigned long long>(kBurstFrames - std::min(n, kBurstFrames)),
                out_of_order == 0 ? "in order" : "OUT OF ORDER");

    // Host to gateway: batches of 60 per call; the echoes come back meanwhile.
    const uint64_t in_before = gateway_->Counters().frames_in;
    std::vector<Frame> batch(60);
    uint64_t up = 0;
    uint64_t back = 0;
    const auto t0 = Clock::now();
    while (up < kBurstFrames && !StopRequested()) {
      batch.resize(std::min<uint64_t>(60, kBurstFrames - up));
      for (size_t i = 0; i < batch.size(); ++i) {
        batch[i].id = 0x300 + static_cast<uint32_t>(i);
        batch[i].len = 8;
        for (int k = 0; k < 8; ++k) batch[i].data[k] = static_cast<uint8_t>((up + i) >> (8 * k));
      }
      const size_t accepted = SendFrames(*session_, 0, batch);
      up += accepted;
      if (accepted < batch.size()) break;
      got.clear();
      back += reader_->Drain(&got);
      if (paced) std::this_thread::sleep_until(t0 + std::chrono::microseconds(up * 1000000 / kPacedRate));
    }
    gateway_->WaitUntil([&] { return gateway_->Counters().frames_in - in_before >= up; }, milliseconds(5000));
    const double up_s = std::chrono::duration<double>(Clock::now() - t0).count();
    const uint64_t arrived = gateway_->Counters().frames_in - in_before;
    const auto deadline2 = Clock::now() + milliseconds(3000);
    while (back < up && Clock::now() < deadline2) {
      got.clear();
      const size_t k = reader_->Drain(&got);
      back += k;
      if (k == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    sent_ += up;
    received_ += back;
    echoes_ += back;
    // A frame that never arrived is also never echoed: the echoes count both.
    lost_ += up - std::min(up, back);
    std::printf("  host to gateway  %llu frames in %.3f s, %.0f frames/s, %llu arrived, %llu echoed back\n\n",
                static_cast<unsigned long long>(up), up_s, up_s > 0 ? static_cast<double>(up) / up_s : 0.0,
                static_cast<unsigned long long>(arrived), static_cast<unsigned long long>(back));
  }

  void Summary() {
    std::printf("Summary\n");
    std::printf("  frames sent       %llu\n", static_cast<unsigned long long>(sent_));
    std::printf("  frames received   %llu (%llu of them echoes of ours)\n", static_cast<unsigned long long>(received_),
                static_cast<unsigned long long>(echoes_));
    if (gateway_ || echoes_work_) {
      std::printf("  lost              %llu\n", static_cast<unsigned long long>(lost_));
    } else {
      std::printf("  lost              unknown (nothing we sent came back)\n");
    }
    if (!rtt_ms_.empty()) {
      std::printf("  round trip        p50 %s, p99 %s over %zu echoed frames\n", Ms(Percentile(rtt_ms_, 0.50)).c_str(),
                  Ms(Percentile(rtt_ms_, 0.99)).c_str(), rtt_ms_.size());
    }
    if (gateway_) std::printf("  simulator         %s\n", gateway_->Summary().c_str());
    std::printf(
        "\nNext: 'tarnlink sim --gen 5' in one terminal and 'tarnlink dump -L' in another; type\n"
        "'frame 0 123#DEADBEEF' or 'error 0 busoff' into the simulator. 'tarnlink --help' lists every command.\n");
  }

  ConnectOptions connect_;
  const double traffic_s_;
  const uint32_t rtt_frames_;
  std::unique_ptr<sim::Gateway> gateway_;  // outlives the session: declared before it
  std::unique_ptr<Driver> driver_;
  std::unique_ptr<Session> session_;
  std::unique_ptr<FrameReader> reader_;  // one for the run: its buffers are reused
  bool echoes_work_ = false;
  uint64_t sent_ = 0;
  uint64_t received_ = 0;
  uint64_t echoes_ = 0;
  uint64_t lost_ = 0;
  std::vector<double> rtt_ms_;
};

}  // namespace

int RunDemo(int argc, char** argv) {
  CommandDef def;
  def.name = "demo";
  def.usage = kUsage;
  def.long_options = {{"traffic", required_argument, nullptr, kOptTraffic},
                      {"rtt", required_argument, nullptr, kOptRtt}};
  ConnectOptions connect;
  double traffic_s = 3;
  uint32_t rtt = 1000;
  const std::vector<std::string> rest =
      ParseCommandLine(def, argc, argv, &connect, [&](int code, const char* arg, std::string* error) {
        uint64_t v = 0;
        if (code == kOptTraffic) {
          if (ParseDouble(arg, 0, 600, &traffic_s)) return true;
          *error = std::string("--traffic: '") + arg + "' is not a time in seconds (0-600)";
          return false;
        }
        if (code == kOptRtt) {
          if (ParseUnsigned(arg, 100000, &v)) {
            rtt = static_cast<uint32_t>(v);
            return true;
          }
          *error = std::string("--rtt: '") + arg + "' is not a frame count";
          return false;
        }
        return false;
      });
  if (!rest.empty()) UsageError("demo", "unexpected argument '" + rest[0] + "'");
  InstallStopSignals();
  // Line by line even into a pipe, so the session reads as it happens.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  Demo demo(connect, traffic_s, rtt);
  return demo.Run();
}

}  // namespace tarnlink::cli
