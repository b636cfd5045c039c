#include "tools/sim/context.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <utility>

namespace tarnlink::sim {
namespace {

GatewayConfig Clamped(GatewayConfig config) {
  config.channels = std::clamp<uint32_t>(config.channels, 1, kMaxChannels);
  return config;
}

}  // namespace

std::string Format(const char* fmt, ...) {
  char buf[512];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, args);
  va_end(args);
  return buf;
}

const char* TypeName(uint8_t type) {
  switch (type) {
    case kTypeCan:
      return "CanData";
    case kTypeCanFd:
      return "CanFdData";
    case kTypeAutoSend:
      return "AutoSendEntries";
    case kTypeChannelReport:
      return "ChannelReport";
    case kTypeDeviceText:
      return "DeviceText";
    case kTypeGps:
      return "GpsData";
    case kTypeCommand:
      return "Command";
    case kTypeNotice:
      return "Notice";
    case kTypeNoticeAck:
      return "NoticeAck";
    default:
      return "unknown";
  }
}

void Logger::Set(Gateway::LogSink sink) {
  std::lock_guard<std::mutex> lock(mu_);
  sink_ = std::move(sink);
}

void Logger::operator()(const std::string& line) const {
  Gateway::LogSink sink;
  {
    std::lock_guard<std::mutex> lock(mu_);
    sink = sink_;
  }
  if (sink) sink(line);
}

bool Logger::enabled() const {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<bool>(sink_);
}

GatewayCounters AtomicCounters::Load() const {
  GatewayCounters c;
  c.frames_in = frames_in.load();
  c.frames_out = frames_out.load();
  c.frames_dropped = frames_dropped.load();
  c.packets_in = packets_in.load();
  c.packets_out = packets_out.load();
  c.bad_bytes = bad_bytes.load();
  c.commands_answered = commands_answered.load();
  c.notices_acked = notices_acked.load();
  c.autosend_frames = autosend_frames.load();
  c.connections = connections.load();
  return c;
}

void AtomicCounters::Reset() {
  for (auto* v : {&frames_in, &frames_out, &frames_dropped, &packets_in, &packets_out, &bad_bytes, &commands_answered,
                  &notices_acked, &autosend_frames, &connections}) {
    v->store(0);
  }
}

Context::Context(GatewayConfig config) : cfg(Clamped(std::move(config))) {}

}  // namespace tarnlink::sim
