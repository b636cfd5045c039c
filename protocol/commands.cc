#include "protocol/commands.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

#include <cjson/cJSON.h>

namespace tarnlink {

namespace {

constexpr uint8_t kSequenceMask = 0x07;
// Room for the body once the id and code bytes share the 16-bit length.
constexpr size_t kMaxCommandBody = 0xFFFF - 2;
// Every fixed text, printed with any int, fits in this.
constexpr size_t kTextBufferSize = 200;

struct JsonDeleter {
  void operator()(cJSON* json) const { cJSON_Delete(json); }
};
using JsonPtr = std::unique_ptr<cJSON, JsonDeleter>;

// Parses the answer text; the copy in a std::string guarantees cJSON a
// terminator even when the body carries none.
JsonPtr ParseAnswer(const std::vector<uint8_t>& body) {
  const std::string text = AnswerText(body);
  return JsonPtr(cJSON_Parse(text.c_str()));
}

// Body bytes of a printed text, its terminating zero included.
template <typename... Args>
std::vector<uint8_t> PrintBody(const char* format, Args... args) {
  char text[kTextBufferSize];
  const int n = std::snprintf(text, sizeof(text), format, args...);
  const size_t len = n < 0 ? 0 : std::min(static_cast<size_t>(n), sizeof(text) - 1);
  return std::vector<uint8_t>(text, text + len + 1);
}

std::vector<uint8_t> TextBody(const char* text) { return std::vector<uint8_t>(text, text + std::strlen(text) + 1); }

Packet EncodeCommand(const CommandMessage& message, uint8_t flags) {
  const size_t body = std::min(message.body.size(), kMaxCommandBody);
  Packet p(kHeaderSize + 2 + body + 1);
  p[0] = kStartByte;
  p[1] = static_cast<uint8_t>(PacketType::kCommand);
  p[2] = flags;
  p[3] = 0;
  StoreBe16(p.data() + 4, static_cast<uint16_t>(body + 2));
  p[6] = message.message_id;
  p[7] = message.code;
  if (body > 0) std::memcpy(p.data() + 8, message.body.data(), body);
  p.back() = PacketChecksum(p.data(), p.size() - 1);
  return p;
}

// A JSON member as an integer: truncated, 0 when missing or not a number.
int64_t NumberMember(const cJSON* object, const char* key) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, key);
  return cJSON_IsNumber(item) ? TruncateJsonNumber(item->valuedouble) : 0;
}

std::string StringMember(const cJSON* object, const char* key) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, key);
  return cJSON_IsString(item) && item->valuestring != nullptr ? std::string(item->valuestring) : std::string();
}

// Narrowing keeps the low bits, as the fields are cut to their width.
template <typename T>
T Narrow(int64_t v) {
  return static_cast<T>(static_cast<uint64_t>(v));
}

AutoSendEntry ReadAutoSendMember(const cJSON* member, uint32_t index, uint8_t channel) {
  AutoSendEntry e{};
  e.index = static_cast<uint8_t>(index);
  e.enable = Narrow<uint8_t>(NumberMember(member, "Enable"));
  e.period = Narrow<uint16_t>(NumberMember(member, "Period"));
  e.count = Narrow<uint16_t>(NumberMember(member, "Cnt"));
  e.frame.id = Narrow<uint32_t>(NumberMember(member, "MsgID"));
  e.frame.flags = Narrow<uint16_t>(NumberMember(member, "MsgFlag"));
  e.frame.channel = channel;
  const cJSON* data = cJSON_GetObjectItemCaseSensitive(member, "MsgData");
  if (cJSON_IsArray(data)) {
    size_t k = 0;
    for (const cJSON* el = data->child; el != nullptr && k < sizeof(e.frame.data); el = el->next, ++k) {
      e.frame.data[k] = cJSON_IsNumber(el) ? Narrow<uint8_t>(TruncateJsonNumber(el->valuedouble)) : 0;
    }
    e.frame.len = static_cast<uint8_t>(k);
  }
  return e;
}

}  // namespace

Packet EncodeRequest(const CommandMessage& message, uint8_t sequence) {
  return EncodeCommand(message, static_cast<uint8_t>((sequence & kSequenceMask) << 1));
}

Packet EncodeAnswer(const CommandMessage& message, uint8_t sequence) {
  return EncodeCommand(message, static_cast<uint8_t>(((sequence & kSequenceMask) << 1) | kAnswerFlag));
}

bool ParseCommandPacket(PacketView packet, uint8_t* sequence, bool* is_answer, CommandMessage* message) {
  if (PacketTypeOf(packet) != static_cast<uint8_t>(PacketType::kCommand)) return false;
  const ByteSpan payload = PayloadOf(packet);
  if (payload.size() < 2) return false;
  const uint8_t flags = PacketFlagsOf(packet);
  if (sequence != nullptr) *sequence = (flags >> 1) & kSequenceMask;
  if (is_answer != nullptr) *is_answer = (flags & kAnswerFlag) != 0;
  if (message != nullptr) {
    message->message_id = payload[0];
    message->code = payload[1];
    message->body.assign(payload.begin() + 2, payload.end());
  }
  return true;
}

std::vector<uint8_t> DeviceQueryBody(int type) { return PrintBody("{\r\n\"Type\":%d\r\n}", type); }

std::vector<uint8_t> AutoSendReadBody(int channel, int offset, int num) {
  return PrintBody("{\r\n\"Chn\":%d,\r\n\"Offset\":%d,\r\n\"Num\":%d\r\n}", channel, offset, num);
}

std::vector<uint8_t> SizeRemainQueryBody(int channel) { return PrintBody("{\r\n\"Chn\":%d\r\n}", channel); }

std::vector<uint8_t> ChannelActionBody(int channel) { return PrintBody("{\r\n\"Chn\":%d\r\n}", channel); }

CommandMessage EmulatedDeviceAnswers(const CommandMessage& request) {
  CommandMessage answer;
  answer.message_id = request.message_id;
  answer.code = 1;
  switch (static_cast<CommandCode>(request.code)) {
    case CommandCode::kDeviceInfo:
      answer.body = TextBody(
          "{\r\n\"Model\":\"Emulator Device\",\r\n\"Firmware\":\"V1.00.00\",\r\n\"Hardware\":\"V1.00.00\",\r\n"
          "\"SN\":\"1234567890\"\r\n}");
      break;
    case CommandCode::kDeviceQuery:
      answer.body = TextBody("{\r\n\r\n}");
      break;
    case CommandCode::kSizeRemainQuery:
      answer.body = PrintBody("{\r\n\"Size\":%d,\r\n\"Remain\":%d\r\n}", 1, 1);
      break;
    default:
      break;
  }
  return answer;
}

Packet EncodeNotice(uint64_t value) {
  Packet p{kStartByte, static_cast<uint8_t>(PacketType::kNotice), 0, 0, 0, 8};
  p.resize(kHeaderSize + 8);
  StoreBe64(p.data() + kHeaderSize, value);
  AppendChecksum(p);
  return p;
}

Packet EncodeNoticeAck(uint8_t flags) {
  Packet p{kStartByte, static_cast<uint8_t>(PacketType::kNoticeAck), flags, 0, 0, 0};
  AppendChecksum(p);
  return p;
}

std::string AnswerText(const std::vector<uint8_t>& body) {
  const auto end = std::find(body.begin(), body.end(), uint8_t{0});
  return std::string(body.begin(), end);
}

bool ReadDeviceInfoAnswer(const std::vector<uint8_t>& body, DeviceInfoAnswer* out) {
  const JsonPtr json = ParseAnswer(body);
  if (json == nullptr) return false;
  if (out != nullptr) {
    out->model = StringMember(json.get(), "Model");
    out->firmware = StringMember(json.get(), "Firmware");
    out->hardware = StringMember(json.get(), "Hardware");
    out->serial = StringMember(json.get(), "SN");
  }
  return true;
}

bool ReadSizeRemainAnswer(const std::vector<uint8_t>& body, uint32_t* remain) {
  const JsonPtr json = ParseAnswer(body);
  if (json == nullptr) return false;
  if (remain != nullptr) *remain = Narrow<uint32_t>(NumberMember(json.get(), "Remain"));
  return true;
}

uint32_t ReadAutoSendAnswer(const std::vector<uint8_t>& body, uint8_t channel, uint32_t offset, uint32_t num,
                            std::vector<AutoSendEntry>& out) {
  const JsonPtr json = ParseAnswer(body);
  if (json == nullptr) return 0;
  uint32_t found = 0;
  char name[16];
  // Indexes count in 64 bits so that offset + num cannot wrap.
  for (uint64_t i = offset; i < uint64_t{offset} + num; ++i) {
    std::snprintf(name, sizeof(name), "Msg%llu", static_cast<unsigned long long>(i));
    const cJSON* member = cJSON_GetObjectItemCaseSensitive(json.get(), name);
    if (member == nullptr) break;
    out.push_back(ReadAutoSendMember(member, static_cast<uint32_t>(i), channel));
    ++found;
  }
  return found;
}

int64_t TruncateJsonNumber(double value) {
  // Converting a double outside the int64 range is undefined, so those
  // saturate; 2^63 itself is out of range, -2^63 is not.
  constexpr double kTwo63 = 9223372036854775808.0;
  if (!std::isfinite(value)) return 0;
  if (value >= kTwo63) return std::numeric_limits<int64_t>::max();
  if (value < -kTwo63) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(value);
}

}  // namespace tarnlink
