// Reference keys: connection settings and the properties behind them.
#include <algorithm>
#include <cstring>

#include "device/device.h"

namespace tarnlink {
namespace {

enum : uint32_t {
  kKeyRemoteAddr = 0,
  kKeyRemotePort = 1,
  kKeyLocalPort = 2,
  kKeyWorkMode = 4,
  kKeyClientCount = 5,
  kKeyClientInfo = 6,
  kKeyClientRemove = 7,
  kKeyMcastLoop = 10,
  kKeyAutoSendOne = 11,
  kKeyAutoSendOneFd = 12,
  kKeyAutoSendAdd = 21,
  kKeyAutoSendAddFd = 22,
  kKeyAutoSendSend = 23,
  kKeyAutoSendClear = 24,
  kKeyNotice = 25,
  kKeyTxOption = 26,
  kKeyMarkers = 27,
  kKeyChannelReport = 28,
  kKeySizeRemain = 29,
  kKeyChannelAction = 30,
  kKeyAutoSendCount = 31,
  kKeyAutoSendList = 32,
  kKeyAutoSendCountFd = 33,
  kKeyAutoSendListFd = 34,
  kKeyQuery1 = 35,
  kKeyQuery4 = 38,
  kKeyGpsCount = 39,
  kKeyGpsRead = 40,
  kKeyStats = VELA_REF_STATS,
};

template <typename T>
T Read(const void* value) {
  T v;
  std::memcpy(&v, value, sizeof v);
  return v;
}

template <typename T>
void Write(void* value, T v) {
  std::memcpy(value, &v, sizeof v);
}

}  // namespace

bool Device::GetReference(uint32_t channel, uint32_t key, void* value) {
  // Device-level keys that need a value, and the channel keys (all need one).
  switch (key) {
    case kKeyRemoteAddr:
    case kKeyRemotePort:
    case kKeyLocalPort:
    case kKeyWorkMode:
    case kKeyMcastLoop:
    case kKeyClientCount:
    case kKeyClientInfo:
    case kKeyGpsCount:
    case kKeyGpsRead:
    case kKeyStats:
      if (value == nullptr) return false;
      break;
    case kKeyMarkers:
    case kKeyChannelReport:
    case kKeySizeRemain:
    case kKeyAutoSendCount:
    case kKeyAutoSendList:
    case kKeyAutoSendCountFd:
    case kKeyAutoSendListFd:
      if (!valid_channel(channel) || value == nullptr) return false;
      break;
    default:
      if (key >= kKeyQuery1 && key <= kKeyQuery4) {
        if (value == nullptr) return false;
        break;
      }
      return false;
  }

  switch (key) {
    case kKeyRemoteAddr: {
      char* out = static_cast<char*>(value);
      std::memcpy(out, remote_address_.c_str(), remote_address_.size() + 1);
      return true;
    }
    case kKeyRemotePort:
      Write<uint32_t>(value, remote_port_);
      return true;
    case kKeyLocalPort:
      Write<uint32_t>(value, local_port_);
      return true;
    case kKeyWorkMode:
      Write<uint32_t>(value, work_mode_);
      return true;
    case kKeyMcastLoop:
      Write<uint32_t>(value, multicast_loopback_);
      return true;
    case kKeyClientCount: {
      std::shared_ptr<IService> service = transport();
      auto* clients = dynamic_cast<IClientList*>(service.get());
      Write<uint32_t>(value, clients != nullptr ? clients->ClientCount() : 0u);
      return true;
    }
    case kKeyClientInfo: {
      std::shared_ptr<IService> service = transport();
      auto* clients = dynamic_cast<IClientList*>(service.get());
      if (clients == nullptr) return false;
      auto* record = static_cast<VELA_CLIENT*>(value);
      const int32_t index = record->index;
      SocketEndpoint endpoint;
      if (index < 0 || !clients->ClientAt(static_cast<uint32_t>(index), &endpoint)) return false;
      record->socket = static_cast<uint32_t>(endpoint.sock);
      record->port = endpoint.port;
      // The record has 32 bytes for the text: never more, always terminated.
      std::memset(record->ip, 0, sizeof record->ip);
      std::memcpy(record->ip, endpoint.ip, strnlen(endpoint.ip, sizeof record->ip - 1));
      return true;
    }
    case kKeyMarkers: {
      auto* record = static_cast<VELA_MARKER_READ*>(value);
      record->count = ReadMarkers(channel, record->stamps, record->count, record->wait_ms);
      return true;
    }
    case kKeyChannelReport:
      return ReadChannelReport(channel, static_cast<VELA_CHANNEL_REPORT*>(value));
    case kKeySizeRemain: {
      CommandMessage answer;
      if (!SimpleCommand(CommandCode::kSizeRemainQuery, SizeRemainQueryBody(static_cast<int>(channel)), &answer)) {
        return false;
      }
      uint32_t remain = 0;
      if (!ReadSizeRemainAnswer(answer.body, &remain)) return false;
      Write<uint32_t>(value, remain);
      return true;
    }
    case kKeyAutoSendCount:
      return AutoSendCount(channel, false, static_cast<uint32_t*>(value));
    case kKeyAutoSendCountFd:
      return AutoSendCount(channel, true, static_cast<uint32_t*>(value));
    case kKeyAutoSendList:
      return CopyAutoSendEntries(channel, false, value);
    case kKeyAutoSendListFd:
      return CopyAutoSendEntries(channel, true, value);
    case kKeyGpsCount:
      Write<uint32_t>(value, GpsQueueSize());
      return true;
    case kKeyGpsRead: {
      auto* record = static_cast<VELA_GPS_READ*>(value);
      record->count = ReadGps(record->records, record->capacity, record->wait_ms);
      return true;
    }
    case kKeyStats:
      return ReadStats(static_cast<VELA_STATS*>(value));
    default:
      return DeviceQuery(key - kKeyQuery1 + 1, static_cast<VELA_TEXT_READ*>(value));
  }
}

bool Device::SetReference(uint32_t channel, uint32_t key, const void* value) {
  switch (key) {
    case kKeyRemoteAddr: {
      if (value == nullptr) return false;
      const char* text = static_cast<const char*>(value);
      // Key 0 is read back into a 32-byte buffer and the transports hold at
      // most 31 characters: a longer text is refused, the old one kept.
      const size_t len = strnlen(text, kMaxHostText + 1);
      if (len > kMaxHostText) return false;
      remote_address_.assign(text, len);
      return true;
    }
    case kKeyRemotePort:
      if (value == nullptr) return false;
      remote_port_ = Read<uint16_t>(value);
      return true;
    case kKeyLocalPort:
      if (value == nullptr) return false;
      local_port_ = Read<uint16_t>(value);
      return true;
    case kKeyWorkMode:
      if (value == nullptr) return false;
      work_mode_ = Read<uint32_t>(value);
      return true;
    case kKeyMcastLoop:
      if (value == nullptr) return false;
      multicast_loopback_ = Read<uint32_t>(value);
      return true;
    case kKeyClientRemove: {
      if (value == nullptr) return false;
      if (work_mode_ != 1) return false;
      std::shared_ptr<IService> service = transport();
      auto* clients = dynamic_cast<IClientList*>(service.get());
      if (clients == nullptr) return false;
      const auto* record = static_cast<const VELA_CLIENT*>(value);
      return clients->RemoveClient(static_cast<int>(record->socket));
    }
    case kKeyNotice: {
      if (value == nullptr) return false;
      const auto* notice = static_cast<const VELA_NOTICE*>(value);
      return SendNotice((uint64_t{notice->high} << 32) | notice->low);
    }
    case kKeyChannelAction: {
      // The one channel key that accepts any channel: out of range is true.
      if (!valid_channel(channel)) return true;
      CommandMessage answer;
      return SimpleCommand(CommandCode::kChannelAction, ChannelActionBody(static_cast<int>(channel)), &answer);
    }
    case kKeyAutoSendSend:
      return valid_channel(channel) && SendAutoSendList(channel);
    case kKeyAutoSendClear:
      return valid_channel(channel) && StopAutoSendList(channel);
    case kKeyAutoSendOne:
    case kKeyAutoSendOneFd:
    case kKeyAutoSendAdd:
    case kKeyAutoSendAddFd:
    case kKeyTxOption:
      if (!valid_channel(channel) || value == nullptr) return false;
      break;
    default:
      return false;
  }
  switch (key) {
    case kKeyAutoSendOne: {
      const auto object = Read<VELA_CAN_AUTOSEND>(value);
      return SendAutoSendEntry(channel, &object);
    }
    case kKeyAutoSendOneFd: {
      const auto object = Read<VELA_CANFD_AUTOSEND>(value);
      return SendAutoSendEntry(channel, &object);
    }
    case kKeyAutoSendAdd: {
      const auto object = Read<VELA_CAN_AUTOSEND>(value);
      return AddAutoSendEntry(channel, &object);
    }
    case kKeyAutoSendAddFd: {
      const auto object = Read<VELA_CANFD_AUTOSEND>(value);
      return AddAutoSendEntry(channel, &object);
    }
    default: {
      const auto flag = Read<uint32_t>(value);
      return SetTransmitOption(channel, &flag);
    }
  }
}

bool Device::SendNotice(uint64_t value) { return SendPacket(EncodeNotice(value)); }

bool Device::ReadChannelReport(uint32_t channel, VELA_CHANNEL_REPORT* out) {
  std::lock_guard<std::mutex> lock(slots_mu_);
  ChannelReportSlot& slot = reports_[channel];
  if (!slot.fresh) return false;
  *out = slot.record;
  slot.fresh = false;
  return true;
}

bool Device::DeviceQuery(uint32_t type, VELA_TEXT_READ* record) {
  if (record->text == nullptr && record->size != 0) return false;
  CommandMessage answer;
  if (!SimpleCommand(CommandCode::kDeviceQuery, DeviceQueryBody(static_cast<int>(type)), &answer)) return false;
  const std::string text = AnswerText(answer.body);
  const size_t needed = text.size() + 1;
  record->needed = static_cast<uint32_t>(needed);
  if (record->size != 0) std::memcpy(record->text, text.c_str(), std::min<size_t>(needed, record->size));
  return true;
}

}  // namespace tarnlink
