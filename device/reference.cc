// Reference keys: connection settings and the properties behind them.
#include <algorithm>
#include <cstring>

#include "device/device.h"

namespace tarnlink {
namespace {

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
    case VELA_REF_REMOTE_ADDR:
    case VELA_REF_REMOTE_PORT:
    case VELA_REF_LOCAL_PORT:
    case VELA_REF_WORK_MODE:
    case VELA_REF_MCAST_LOOP:
    case VELA_REF_CLIENT_COUNT:
    case VELA_REF_CLIENT_INFO:
    case VELA_REF_GPS_COUNT:
    case VELA_REF_GPS_READ:
    case VELA_REF_STATS:
    case VELA_REF_WAIT:
      if (value == nullptr) return false;
      break;
    case VELA_REF_MARKERS:
    case VELA_REF_CHANNEL_REPORT:
    case VELA_REF_SIZE_REMAIN:
    case VELA_REF_AUTOSEND_COUNT:
    case VELA_REF_AUTOSEND_LIST:
    case VELA_REF_AUTOSEND_COUNT_FD:
    case VELA_REF_AUTOSEND_LIST_FD:
      if (!valid_channel(channel) || value == nullptr) return false;
      break;
    default:
      if (key >= VELA_REF_DEVICE_QUERY_1 && key <= VELA_REF_DEVICE_QUERY_4) {
        if (value == nullptr) return false;
        break;
      }
      return false;
  }

  switch (key) {
    case VELA_REF_REMOTE_ADDR: {
      char* out = static_cast<char*>(value);
      std::memcpy(out, remote_address_.c_str(), remote_address_.size() + 1);
      return true;
    }
    case VELA_REF_REMOTE_PORT:
      Write<uint32_t>(value, remote_port_);
      return true;
    case VELA_REF_LOCAL_PORT:
      Write<uint32_t>(value, local_port_);
      return true;
    case VELA_REF_WORK_MODE:
      Write<uint32_t>(value, work_mode_);
      return true;
    case VELA_REF_MCAST_LOOP:
      Write<uint32_t>(value, multicast_loopback_);
      return true;
    case VELA_REF_CLIENT_COUNT: {
      std::shared_ptr<IService> service = transport();
      auto* clients = dynamic_cast<IClientList*>(service.get());
      Write<uint32_t>(value, clients != nullptr ? clients->ClientCount() : 0u);
      return true;
    }
    case VELA_REF_CLIENT_INFO: {
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
    case VELA_REF_MARKERS: {
      auto* record = static_cast<VELA_MARKER_READ*>(value);
      record->count = ReadMarkers(channel, record->stamps, record->count, record->wait_ms);
      return true;
    }
    case VELA_REF_CHANNEL_REPORT:
      return ReadChannelReport(channel, static_cast<VELA_CHANNEL_REPORT*>(value));
    case VELA_REF_SIZE_REMAIN: {
      CommandMessage answer;
      if (!SimpleCommand(CommandCode::kSizeRemainQuery, SizeRemainQueryBody(static_cast<int>(channel)), &answer)) {
        return false;
      }
      uint32_t remain = 0;
      if (!ReadSizeRemainAnswer(answer.body, &remain)) return false;
      Write<uint32_t>(value, remain);
      return true;
    }
    case VELA_REF_AUTOSEND_COUNT:
      return AutoSendCount(channel, false, static_cast<uint32_t*>(value));
    case VELA_REF_AUTOSEND_COUNT_FD:
      return AutoSendCount(channel, true, static_cast<uint32_t*>(value));
    case VELA_REF_AUTOSEND_LIST:
      return CopyAutoSendEntries(channel, false, value);
    case VELA_REF_AUTOSEND_LIST_FD:
      return CopyAutoSendEntries(channel, true, value);
    case VELA_REF_GPS_COUNT:
      Write<uint32_t>(value, GpsQueueSize());
      return true;
    case VELA_REF_GPS_READ: {
      auto* record = static_cast<VELA_GPS_READ*>(value);
      record->count = ReadGps(record->records, record->capacity, record->wait_ms);
      return true;
    }
    case VELA_REF_STATS:
      return ReadStats(static_cast<VELA_STATS*>(value));
    case VELA_REF_WAIT:
      return WaitForQueues(static_cast<VELA_WAIT*>(value));
    default:
      return DeviceQuery(key - VELA_REF_DEVICE_QUERY_1 + 1, static_cast<VELA_TEXT_READ*>(value));
  }
}

bool Device::SetReference(uint32_t channel, uint32_t key, const void* value) {
  switch (key) {
    case VELA_REF_REMOTE_ADDR: {
      if (value == nullptr) return false;
      const char* text = static_cast<const char*>(value);
      // Key 0 is read back into a 32-byte buffer and the transports hold at
      // most 31 characters: a longer text is refused, the old one kept.
      const size_t len = strnlen(text, kMaxHostText + 1);
      if (len > kMaxHostText) return false;
      remote_address_.assign(text, len);
      return true;
    }
    case VELA_REF_REMOTE_PORT:
      if (value == nullptr) return false;
      remote_port_ = Read<uint16_t>(value);
      return true;
    case VELA_REF_LOCAL_PORT:
      if (value == nullptr) return false;
      local_port_ = Read<uint16_t>(value);
      return true;
    case VELA_REF_WORK_MODE:
      if (value == nullptr) return false;
      work_mode_ = Read<uint32_t>(value);
      return true;
    case VELA_REF_MCAST_LOOP:
      if (value == nullptr) return false;
      multicast_loopback_ = Read<uint32_t>(value);
      return true;
    case VELA_REF_CLIENT_REMOVE: {
      if (value == nullptr) return false;
      if (work_mode_ != 1) return false;
      std::shared_ptr<IService> service = transport();
      auto* clients = dynamic_cast<IClientList*>(service.get());
      if (clients == nullptr) return false;
      const auto* record = static_cast<const VELA_CLIENT*>(value);
      return clients->RemoveClient(static_cast<int>(record->socket));
    }
    case VELA_REF_NOTICE: {
      if (value == nullptr) return false;
      const auto* notice = static_cast<const VELA_NOTICE*>(value);
      return SendNotice((uint64_t{notice->high} << 32) | notice->low);
    }
    case VELA_REF_WAIT:
      EndQueueWaits();
      return true;
    case VELA_REF_CHANNEL_ACTION: {
      // The one channel key that accepts any channel: out of range is true.
      if (!valid_channel(channel)) return true;
      CommandMessage answer;
      return SimpleCommand(CommandCode::kChannelAction, ChannelActionBody(static_cast<int>(channel)), &answer);
    }
    case VELA_REF_AUTOSEND_SEND:
      return valid_channel(channel) && SendAutoSendList(channel);
    case VELA_REF_AUTOSEND_CLEAR:
      return valid_channel(channel) && StopAutoSendList(channel);
    case VELA_REF_AUTOSEND_ONE:
    case VELA_REF_AUTOSEND_ONE_FD:
    case VELA_REF_AUTOSEND_ADD:
    case VELA_REF_AUTOSEND_ADD_FD:
    case VELA_REF_TX_OPTION:
      if (!valid_channel(channel) || value == nullptr) return false;
      break;
    default:
      return false;
  }
  switch (key) {
    case VELA_REF_AUTOSEND_ONE: {
      const auto object = Read<VELA_CAN_AUTOSEND>(value);
      return SendAutoSendEntry(channel, &object);
    }
    case VELA_REF_AUTOSEND_ONE_FD: {
      const auto object = Read<VELA_CANFD_AUTOSEND>(value);
      return SendAutoSendEntry(channel, &object);
    }
    case VELA_REF_AUTOSEND_ADD: {
      const auto object = Read<VELA_CAN_AUTOSEND>(value);
      return AddAutoSendEntry(channel, &object);
    }
    case VELA_REF_AUTOSEND_ADD_FD: {
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
  MutexLock lock(slots_mu_);
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
