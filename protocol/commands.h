// Command messages, their JSON bodies, notices and the emulated answers.
#ifndef TARNLINK_PROTOCOL_COMMANDS_H_
#define TARNLINK_PROTOCOL_COMMANDS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/packet.h"
#include "protocol/records.h"

namespace tarnlink {

enum class CommandCode : uint8_t {
  kDeviceInfo = 1,
  kDeviceQuery = 2,
  kAutoSendRead = 3,
  kSizeRemainQuery = 4,
  kChannelAction = 5,
};

// Payload of a Command packet; `code` is the result byte in an answer.
struct CommandMessage {
  uint8_t message_id = 0;
  uint8_t code = 0;
  std::vector<uint8_t> body;
};

constexpr uint8_t kAnswerFlag = 0x01;

Packet EncodeRequest(const CommandMessage& message, uint8_t sequence);
Packet EncodeAnswer(const CommandMessage& message, uint8_t sequence);

// Splits a Command packet; false for another type or when N < 2.
bool ParseCommandPacket(PacketView packet, uint8_t* sequence, bool* is_answer, CommandMessage* message);

// Request bodies, printed from the fixed format strings with their zero byte.
std::vector<uint8_t> DeviceQueryBody(int type);
std::vector<uint8_t> AutoSendReadBody(int channel, int offset, int num);
std::vector<uint8_t> SizeRemainQueryBody(int channel);
std::vector<uint8_t> ChannelActionBody(int channel);

// The fixed answer a device gives to a request (result byte 1).
CommandMessage EmulatedDeviceAnswers(const CommandMessage& request);

// 55 80 00 00 00 08, value big-endian, checksum.
Packet EncodeNotice(uint64_t value);
// 55 81 flags 00 00 00 checksum.
Packet EncodeNoticeAck(uint8_t flags);

// Answer readers. The body is read as text up to its first zero byte.
std::string AnswerText(const std::vector<uint8_t>& body);

struct DeviceInfoAnswer {
  std::string model;
  std::string firmware;
  std::string hardware;
  std::string serial;
};
// False when the text is not JSON; missing or non-string members read empty.
bool ReadDeviceInfoAnswer(const std::vector<uint8_t>& body, DeviceInfoAnswer* out);
// False when the text is not JSON; "Remain" missing or not a number reads 0.
bool ReadSizeRemainAnswer(const std::vector<uint8_t>& body, uint32_t* remain);
// Appends the entries Msg<offset> .. Msg<offset+num-1>, stopping at the first
// missing one; returns how many were appended (0 when not JSON).
uint32_t ReadAutoSendAnswer(const std::vector<uint8_t>& body, uint8_t channel, uint32_t offset, uint32_t num,
                            std::vector<AutoSendEntry>& out);

// Number -> integer by truncation toward zero (0 for non-finite values).
int64_t TruncateJsonNumber(double value);

}  // namespace tarnlink

#endif  // TARNLINK_PROTOCOL_COMMANDS_H_
