#include "tools/serve/payload.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <memory>

#include <cjson/cJSON.h>

namespace tarnlink::serve {
namespace {

using cli::Frame;

struct JsonDeleter {
  void operator()(cJSON* j) const { cJSON_Delete(j); }
};
using JsonPtr = std::unique_ptr<cJSON, JsonDeleter>;

struct TextDeleter {
  void operator()(char* p) const { cJSON_free(p); }
};

bool Fail(std::string* error, const std::string& why) {
  if (error != nullptr) *error = why;
  return false;
}

uint64_t MicrosSinceEpoch(std::chrono::system_clock::time_point t) {
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
  return us > 0 ? static_cast<uint64_t>(us) : 0;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Checks that hold for frames of either payload.
bool CheckTxFrame(const Frame& f, std::string* error) {
  if (f.error()) return Fail(error, "error frames are not sent");
  return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool DecodeCandump(std::string_view payload, std::vector<Frame>* out, std::string* error) {
  size_t line_no = 0;
  while (!payload.empty()) {
    ++line_no;
    const size_t nl = payload.find('\n');
    const std::string_view raw = payload.substr(0, nl);
    payload.remove_prefix(nl == std::string_view::npos ? payload.size() : nl + 1);
    const std::string_view line = Trim(raw);
    if (line.empty() || line.front() == '#') continue;  // blank lines and the log's comment lines
    for (char c : line) {
      if (static_cast<unsigned char>(c) < 0x20 && c != '\t') {
        return Fail(error, "line " + std::to_string(line_no) + ": a control character");
      }
    }
    Frame f;
    std::string why;
    bool ok;
    if (line.front() == '(') {
      cli::LogEntry e;
      ok = cli::ParseLogLine(line, &e, &why);
      f = e.frame;
    } else {
      // A bare frame in cansend syntax, as `tarnlink send` takes it.
      ok = line.find_first_of(" \t") == std::string_view::npos && cli::ParseFrame(line, &f, &why);
      if (!ok && why.empty()) why = "not a candump -L line nor a frame like 123#DEADBEEF";
    }
    if (ok) ok = CheckTxFrame(f, &why);
    if (!ok) return Fail(error, "line " + std::to_string(line_no) + ": " + why);
    if (out->size() >= kMaxTxFrames) return Fail(error, "more than " + std::to_string(kMaxTxFrames) + " frames");
    out->push_back(f);
  }
  return true;
}

bool JsonFrame(const cJSON* item, Frame* out, std::string* error) {
  if (!cJSON_IsObject(item)) return Fail(error, "not an object");
  const cJSON* id = cJSON_GetObjectItemCaseSensitive(item, "id");
  if (!cJSON_IsNumber(id) || !std::isfinite(id->valuedouble) || id->valuedouble < 0 || id->valuedouble > VELA_ID_MASK ||
      id->valuedouble != std::floor(id->valuedouble)) {
    return Fail(error, "\"id\" is not an identifier (a number 0-0x1FFFFFFF)");
  }
  Frame f;
  f.id = static_cast<uint32_t>(id->valuedouble);
  bool ext = false, rtr = false, brs = false, esi = false;
  const cJSON* flags = cJSON_GetObjectItemCaseSensitive(item, "flags");
  if (flags != nullptr) {
    if (!cJSON_IsArray(flags)) return Fail(error, "\"flags\" is not an array");
    const cJSON* flag = nullptr;
    cJSON_ArrayForEach(flag, flags) {
      const std::string name = cJSON_IsString(flag) ? flag->valuestring : "";
      if (name == "ext") {
        ext = true;
      } else if (name == "rtr") {
        rtr = true;
      } else if (name == "fd") {
        f.fd = true;
      } else if (name == "brs") {
        brs = true;
      } else if (name == "esi") {
        esi = true;
      } else if (name == "err") {
        return Fail(error, "error frames are not sent");
      } else {
        return Fail(error, "unknown flag (ext, rtr, fd, brs, esi)");
      }
    }
  }
  if (!ext && f.id > 0x7FF) return Fail(error, "a standard identifier is at most 0x7FF (\"ext\" for extended)");
  if ((brs || esi) && !f.fd) return Fail(error, "\"brs\" and \"esi\" belong to CAN FD frames");
  if (rtr && f.fd) return Fail(error, "CAN FD has no remote frames");
  if (ext) f.id |= VELA_ID_EFF_FLAG;
  if (rtr) f.id |= VELA_ID_RTR_FLAG;
  if (brs) f.fd_flags |= VELA_FD_BRS;
  if (esi) f.fd_flags |= VELA_FD_ESI;
  const cJSON* data = cJSON_GetObjectItemCaseSensitive(item, "data");
  const std::string_view hex = data == nullptr ? std::string_view() : (cJSON_IsString(data) ? data->valuestring : "?");
  if (hex.size() % 2 != 0) return Fail(error, "\"data\" is not hex pairs");
  const size_t n = hex.size() / 2;
  const size_t max = f.fd ? cli::kCanFdMaxLen : cli::kCanMaxLen;
  if (n > max) return Fail(error, std::to_string(n) + " data bytes (at most " + std::to_string(max) + ")");
  if (f.fd && cli::FdLengthRoundUp(static_cast<uint8_t>(n)) != n) {
    return Fail(error, std::to_string(n) + " data bytes is not a CAN FD length");
  }
  if (rtr && n != 0) return Fail(error, "a remote frame carries no data (\"len\" gives its length)");
  for (size_t i = 0; i < n; ++i) {
    const int hi = HexValue(hex[2 * i]);
    const int lo = HexValue(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return Fail(error, "\"data\" is not hex pairs");
    f.data[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  f.len = static_cast<uint8_t>(n);
  const cJSON* len = cJSON_GetObjectItemCaseSensitive(item, "len");
  if (len != nullptr) {
    if (!cJSON_IsNumber(len) || len->valuedouble < 0 || len->valuedouble > 8 ||
        len->valuedouble != std::floor(len->valuedouble)) {
      return Fail(error, "\"len\" is not a length 0-8");
    }
    const auto l = static_cast<uint8_t>(len->valuedouble);
    if (!rtr && l != n) return Fail(error, "\"len\" differs from the data's length");
    f.len = l;
  }
  *out = f;
  return true;
}

bool DecodeJson(std::string_view payload, std::vector<Frame>* out, std::string* error) {
  const JsonPtr root(cJSON_ParseWithLength(payload.data(), payload.size()));
  if (!root) return Fail(error, "not valid JSON");
  if (!cJSON_IsObject(root.get())) return Fail(error, "not a JSON object");
  const cJSON* version = cJSON_GetObjectItemCaseSensitive(root.get(), "version");
  if (version != nullptr && (!cJSON_IsNumber(version) || version->valuedouble != kPayloadVersion)) {
    return Fail(error, "payload version " + std::to_string(kPayloadVersion) + " only");
  }
  const cJSON* frames = cJSON_GetObjectItemCaseSensitive(root.get(), "frames");
  if (!cJSON_IsArray(frames)) return Fail(error, "no \"frames\" array");
  size_t i = 0;
  const cJSON* item = nullptr;
  cJSON_ArrayForEach(item, frames) {
    if (i >= kMaxTxFrames) return Fail(error, "more than " + std::to_string(kMaxTxFrames) + " frames");
    Frame f;
    std::string why;
    if (!JsonFrame(item, &f, &why)) return Fail(error, "frame " + std::to_string(i) + ": " + why);
    out->push_back(f);
    ++i;
  }
  return true;
}

}  // namespace

bool ParsePayloadFormat(std::string_view text, PayloadFormat* out) {
  if (text == "candump") {
    *out = PayloadFormat::kCandump;
  } else if (text == "json") {
    *out = PayloadFormat::kJson;
  } else {
    return false;
  }
  return true;
}

std::string EncodeCandump(const RxBatch& batch) {
  std::string s;
  s.reserve(batch.count * 40);
  for (size_t i = 0; i < batch.count; ++i) {
    const cli::Received& r = batch.frames[i];
    const uint64_t us = MicrosSinceEpoch(r.host_time);
    s += cli::LogLine(r.frame, r.channel, us / 1000000, static_cast<uint32_t>(us % 1000000));
    s += '\n';
  }
  return s;
}

std::string EncodeJson(const RxBatch& batch) {
  // Written by hand: one object per batch at up to 200 frames, on the hot path
  // of every gateway; cJSON's tree would cost an allocation per field.
  std::string s;
  s.reserve(96 + batch.count * 80);
  s += "{\"version\":" + std::to_string(kPayloadVersion) + ",\"gateway\":\"";
  for (char c : batch.gateway) {
    // Names are checked to [A-Za-z0-9_.-]; escape anyway so the object stays JSON.
    if (c == '"' || c == '\\') s += '\\';
    s += c;
  }
  char buf[160];
  std::snprintf(buf, sizeof(buf), "\",\"channel\":%" PRIu32 ",\"seq\":%" PRIu64 ",\"dropped\":%" PRIu64 ",\"frames\":[",
                batch.channel, batch.seq, batch.dropped);
  s += buf;
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (size_t i = 0; i < batch.count; ++i) {
    const cli::Received& r = batch.frames[i];
    const Frame& f = r.frame;
    std::snprintf(buf, sizeof(buf), "%s{\"t\":%" PRIu64 ",\"stamp\":%" PRIu64 ",\"id\":%" PRIu32 ",\"flags\":[",
                  i == 0 ? "" : ",", MicrosSinceEpoch(r.host_time), r.gateway_stamp, f.identifier());
    s += buf;
    bool first = true;
    auto flag = [&](bool on, const char* name) {
      if (!on) return;
      if (!first) s += ',';
      s += '"';
      s += name;
      s += '"';
      first = false;
    };
    flag(f.extended(), "ext");
    flag(f.remote(), "rtr");
    flag(f.fd, "fd");
    flag(f.fd && (f.fd_flags & VELA_FD_BRS) != 0, "brs");
    flag(f.fd && (f.fd_flags & VELA_FD_ESI) != 0, "esi");
    flag(f.error(), "err");
    s += "],\"data\":\"";
    const uint8_t n = f.remote() ? 0 : f.len;
    for (uint8_t k = 0; k < n && k < cli::kCanFdMaxLen; ++k) {
      s += kHex[f.data[k] >> 4];
      s += kHex[f.data[k] & 0x0F];
    }
    s += '"';
    if (f.remote()) s += ",\"len\":" + std::to_string(f.len);
    s += '}';
  }
  s += "]}";
  return s;
}

std::string Encode(PayloadFormat format, const RxBatch& batch) {
  return format == PayloadFormat::kJson ? EncodeJson(batch) : EncodeCandump(batch);
}

bool DecodeTx(std::string_view payload, std::vector<Frame>* out, std::string* error) {
  out->clear();
  if (payload.size() > kMaxTxPayload) {
    return Fail(error, "message of " + std::to_string(payload.size()) + " bytes (at most " +
                           std::to_string(kMaxTxPayload) + ")");
  }
  const std::string_view body = Trim(payload);
  if (body.empty()) return Fail(error, "empty message");
  std::vector<Frame> frames;
  const bool ok = body.front() == '{' ? DecodeJson(body, &frames, error) : DecodeCandump(body, &frames, error);
  if (!ok) return false;
  if (frames.empty()) return Fail(error, "no frame in the message");
  *out = std::move(frames);
  return true;
}

}  // namespace tarnlink::serve
