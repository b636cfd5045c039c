// The Gateway's lifecycle and the functions that hand on to its parts.
#include "tools/sim/gateway.h"

#include "tools/sim/parts.h"

namespace tarnlink::sim {

Gateway::Gateway(GatewayConfig config) : impl_(std::make_unique<Impl>(std::move(config))) {}

Gateway::~Gateway() { Stop(); }

bool Gateway::Start() {
  Impl& s = *impl_;
  Stop();
  s.recorder.SetRunning(false);
  s.ctx.epoch.store(Clock::now());
  if (!s.link.Start()) return false;
  s.recorder.SetRunning(true);
  s.model.StartTimer();
  const GatewayConfig& c = s.ctx.cfg;
  s.ctx.log(Format("gateway started: %s, %u channel(s), port %u",
                   c.mode == LinkMode::kTcpListen    ? "TCP listening"
                   : c.mode == LinkMode::kTcpConnect ? "TCP connecting"
                                                     : "UDP",
                   c.channels, static_cast<unsigned>(s.link.LocalPort())));
  s.recorder.Bump();
  return true;
}

void Gateway::Stop() {
  Impl& s = *impl_;
  s.traffic.StopAll();
  const bool was_running = s.recorder.running();
  // The link first: a timed send of the model after this fails at once.
  s.link.Stop();
  s.model.StopTimer();
  s.recorder.SetRunning(false);
  if (was_running) s.ctx.log("gateway stopped; " + Summary());
}

bool Gateway::running() const { return impl_->recorder.running(); }
uint16_t Gateway::LocalPort() const { return impl_->link.LocalPort(); }
void Gateway::SetRemote(const std::string& address, uint16_t port) { impl_->link.SetRemote(address, port); }
size_t Gateway::ConnectionCount() const { return impl_->link.ConnectionCount(); }

bool Gateway::WaitConnections(size_t n, std::chrono::milliseconds timeout) const {
  return WaitUntil([&] { return ConnectionCount() >= n; }, timeout);
}

void Gateway::DropConnections() { impl_->link.DropConnections(); }
void Gateway::SetReconnect(bool on) { impl_->link.SetReconnect(on); }

uint32_t Gateway::channels() const { return impl_->ctx.cfg.channels; }
void Gateway::SetIdentity(const DeviceIdentity& identity) { impl_->model.SetIdentity(identity); }
void Gateway::SetQueryText(int type, const std::string& text) { impl_->model.SetQueryText(type, text); }
void Gateway::SetSizeRemain(int64_t size, int64_t remain) { impl_->model.SetSizeRemain(size, remain); }
void Gateway::SetChannelActionResult(uint8_t result) { impl_->model.SetChannelActionResult(result); }
void Gateway::SetEcho(uint8_t channel, bool on) { impl_->model.SetEcho(channel, on); }
void Gateway::ScriptAnswer(uint8_t code, const AnswerScript& script) { impl_->model.ScriptAnswer(code, script); }
void Gateway::ClearScripts() { impl_->model.ClearScripts(); }

std::vector<WireAutoSendEntry> Gateway::AutoSendTable(uint8_t channel) const {
  return impl_->model.AutoSendTable(channel);
}

void Gateway::SetAutoSendTable(uint8_t channel, const std::vector<WireAutoSendEntry>& entries) {
  impl_->model.SetAutoSendTable(channel, entries);
}

uint64_t Gateway::AutoSendTransmissions(uint8_t channel, uint8_t index) const {
  return impl_->model.AutoSendTransmissions(channel, index);
}

uint64_t Gateway::NowMicros() const { return impl_->ctx.NowMicros(); }

void Gateway::StartTraffic(const TrafficSpec& plan) { impl_->traffic.Start(plan); }
uint64_t Gateway::StopTraffic(uint8_t channel) { return impl_->traffic.Stop(channel); }
void Gateway::StopAllTraffic() { impl_->traffic.StopAll(); }
uint64_t Gateway::TrafficSent(uint8_t channel) const { return impl_->traffic.Sent(channel); }

bool Gateway::WaitTrafficDone(uint8_t channel, std::chrono::milliseconds timeout) const {
  return WaitUntil([&] { return impl_->traffic.Done(channel); }, timeout);
}

std::vector<HostPacket> Gateway::Packets() const { return impl_->recorder.Packets(); }
std::vector<HostPacket> Gateway::Packets(uint8_t type) const { return impl_->recorder.Packets(type); }
size_t Gateway::PacketCount(uint8_t type) const { return impl_->recorder.PacketCount(type); }
size_t Gateway::PacketCount() const { return impl_->recorder.PacketCount(); }

bool Gateway::WaitForPackets(uint8_t type, size_t count, std::chrono::milliseconds timeout) const {
  return impl_->recorder.WaitForPackets(type, count, timeout);
}

bool Gateway::WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) const {
  return impl_->recorder.WaitUntil(pred, timeout);
}

std::vector<HostFrame> Gateway::FramesFromHost() const { return impl_->recorder.FramesFromHost(); }
std::vector<uint64_t> Gateway::NoticesFromHost() const { return impl_->recorder.NoticesFromHost(); }
void Gateway::ClearRecord() { impl_->recorder.Clear(); }

GatewayCounters Gateway::Counters() const { return impl_->ctx.counters.Load(); }
void Gateway::ResetCounters() { impl_->ctx.counters.Reset(); }

std::string Gateway::Summary() const {
  const GatewayCounters c = Counters();
  std::string s = Format(
      "frames in %llu, frames out %llu, packets in %llu, out %llu, commands answered %llu, notices acked %llu, "
      "timed frames %llu, skipped bytes %llu",
      static_cast<unsigned long long>(c.frames_in), static_cast<unsigned long long>(c.frames_out),
      static_cast<unsigned long long>(c.packets_in), static_cast<unsigned long long>(c.packets_out),
      static_cast<unsigned long long>(c.commands_answered), static_cast<unsigned long long>(c.notices_acked),
      static_cast<unsigned long long>(c.autosend_frames), static_cast<unsigned long long>(c.bad_bytes));
  if (c.frames_dropped != 0) {
    s += Format(", frames dropped for peers not reading %llu", static_cast<unsigned long long>(c.frames_dropped));
  }
  return s;
}

void Gateway::SetLog(LogSink sink) { impl_->ctx.log.Set(std::move(sink)); }

}  // namespace tarnlink::sim
