// The exported functions of the TCP library with arbitrary handles, channels,
// keys, counts and records taken from the input. Every output buffer sits
// between guard bytes; nothing may be written outside the caller's records.
// No call may wait on the network: the remote address is always empty (a
// client start fails at once), a server listens only on a port the system
// picks, and every wait time is at most 10 ms.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "tarnlink/tarnlink.h"

namespace {

using tarnlink::fuzz::Guarded;
using tarnlink::fuzz::Input;

// Devices this input opened, closed when it ends.
std::vector<uint32_t> g_opened;

int32_t BoundedWait(Input& in) { return static_cast<int32_t>(in.Byte() % 11); }

uint32_t PickType(Input& in) {
  constexpr uint32_t kTypes[] = {0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x77, 0};
  const uint8_t b = in.Byte();
  return (b & 0x80) != 0 ? in.U32() : kTypes[b & 7];
}

uint32_t PickIndex(Input& in) {
  const uint8_t b = in.Byte();
  return (b & 0x80) != 0 ? in.U32() : b & 3;
}

// Mostly handles of the few devices in play, sometimes anything at all.
uint32_t PickHandle(Input& in) {
  const uint8_t b = in.Byte();
  if ((b & 0xC0) == 0xC0) return in.U32();
  const uint32_t type = PickType(in);
  return (type << 16) | ((PickIndex(in) & 0xFF) << 8) | (b & 0x3F);
}

// Sets a reference key, keeping the connection settings off the network.
void SetKey(Input& in, uint32_t type, uint32_t index, uint32_t channel) {
  uint32_t key = in.Byte();
  if (key > 45) key = in.U32();
  const bool null_value = (in.Byte() & 0x0F) == 0;
  switch (key) {
    case VELA_REF_REMOTE_ADDR: {
      // Only the empty text, or a text too long to be taken (refused).
      char text[48];
      std::memset(text, (in.Byte() & 1) != 0 ? '7' : 0, sizeof text - 1);
      text[sizeof text - 1] = 0;
      VELA_SetReference(type, index, channel, key, null_value ? nullptr : text);
      return;
    }
    case VELA_REF_LOCAL_PORT: {
      const uint32_t zero = 0;  // a server binds only a port the system picks
      VELA_SetReference(type, index, channel, key, null_value ? nullptr : &zero);
      return;
    }
    default:
      break;
  }
  Guarded value(96, &in);
  VELA_SetReference(type, index, channel, key, null_value ? nullptr : value.data());
  value.Check();
}

void GetKey(Input& in, uint32_t type, uint32_t index, uint32_t channel) {
  uint32_t key = in.Byte();
  if (key > 45) key = in.U32();
  const bool null_value = (in.Byte() & 0x0F) == 0;
  const uint32_t capacity = in.Byte() % 40;
  switch (key) {
    case VELA_REF_MARKERS: {
      Guarded stamps(capacity * sizeof(uint64_t), &in);
      VELA_MARKER_READ record{(in.Byte() & 7) != 0 ? reinterpret_cast<uint64_t*>(stamps.data()) : nullptr, capacity,
                              BoundedWait(in)};
      if (VELA_GetReference(type, index, channel, key, null_value ? nullptr : &record) == 1) {
        CHECK(record.count <= capacity);
      }
      stamps.Check();
      return;
    }
    case VELA_REF_GPS_READ: {
      Guarded records(capacity * sizeof(VELA_GPS), &in);
      VELA_GPS_READ record{(in.Byte() & 7) != 0 ? reinterpret_cast<VELA_GPS*>(records.data()) : nullptr, capacity, 0,
                           BoundedWait(in)};
      if (VELA_GetReference(type, index, channel, key, null_value ? nullptr : &record) == 1) {
        CHECK(record.count <= capacity);
      }
      records.Check();
      return;
    }
    case VELA_REF_DEVICE_QUERY_1:
    case VELA_REF_DEVICE_QUERY_2:
    case VELA_REF_DEVICE_QUERY_3:
    case VELA_REF_DEVICE_QUERY_4: {
      Guarded text(capacity, &in);
      VELA_TEXT_READ record{(in.Byte() & 7) != 0 ? reinterpret_cast<char*>(text.data()) : nullptr, capacity, 0};
      VELA_GetReference(type, index, channel, key, null_value ? nullptr : &record);
      text.Check();
      return;
    }
    case VELA_REF_AUTOSEND_LIST:
    case VELA_REF_AUTOSEND_LIST_FD: {
      // Sized by the count key, as the caller is told to.
      uint32_t count = 0;
      VELA_GetReference(type, index, channel, key - 1, &count);
      CHECK(count <= 32);
      Guarded list(count * sizeof(VELA_CANFD_AUTOSEND), &in);
      VELA_GetReference(type, index, channel, key, null_value ? nullptr : list.data());
      list.Check();
      return;
    }
    case VELA_REF_STATS: {
      // The record of whatever size the caller says it has, as it is told to.
      const uint32_t bytes = in.Byte() % (sizeof(VELA_STATS) + 8);
      Guarded record(bytes < 4 ? 4 : bytes, &in);
      std::memcpy(record.data(), &bytes, sizeof bytes);
      if (VELA_GetReference(type, index, channel, key, null_value ? nullptr : record.data()) == 1) {
        uint32_t filled = 0;
        std::memcpy(&filled, record.data(), sizeof filled);
        CHECK(filled <= bytes && filled <= sizeof(VELA_STATS));
      }
      record.Check();
      return;
    }
    default:
      break;
  }
  // Every other key writes at most one record: a client record (44 bytes),
  // the address text (32), a channel report (24) or a u32.
  Guarded value(sizeof(VELA_CLIENT), &in);
  VELA_GetReference(type, index, channel, key, null_value ? nullptr : value.data());
  value.Check();
}

void OneCall(Input& in) {
  const uint8_t op = in.Byte();
  switch (op % 20) {
    case 0: {
      // The initial local port (low 16 bits) stays 0: see SetKey.
      const uint32_t handle = VELA_OpenDevice(PickType(in), PickIndex(in), in.U32() & 0xFFFF0000u);
      if (handle != 0) g_opened.push_back(handle);
      break;
    }
    case 1:
      VELA_CloseDevice(PickHandle(in));
      break;
    case 2: {
      const uint32_t handle = PickHandle(in);
      // Server mode (port 0) or a client with the empty address.
      const uint32_t mode = in.Byte() & 1;
      VELA_SetReference(handle >> 16, (handle >> 8) & 0xFF, 0, VELA_REF_WORK_MODE, &mode);
      VELA_StartCAN(handle);
      break;
    }
    case 3:
      VELA_ResetCAN(PickHandle(in));
      break;
    case 4:
      VELA_InitCAN(PickHandle(in), in.U32(), nullptr);
      break;
    case 5:
      VELA_ClearBuffer(PickHandle(in));
      break;
    case 6: {
      Guarded info(sizeof(VELA_CHANNEL_ERR_INFO), &in);
      VELA_ReadChannelErrInfo(PickHandle(in),
                              (op & 0x20) != 0 ? nullptr : reinterpret_cast<VELA_CHANNEL_ERR_INFO*>(info.data()));
      info.Check();
      break;
    }
    case 7: {
      Guarded status(sizeof(VELA_CHANNEL_STATUS), &in);
      VELA_ReadChannelStatus(PickHandle(in),
                             (op & 0x20) != 0 ? nullptr : reinterpret_cast<VELA_CHANNEL_STATUS*>(status.data()));
      status.Check();
      break;
    }
    case 8: {
      const uint32_t count = in.Byte() % 130;
      Guarded frames(count * sizeof(VELA_CAN_TRANSMIT), &in);
      const uint32_t sent = VELA_Transmit(
          PickHandle(in), (op & 0x20) != 0 ? nullptr : reinterpret_cast<VELA_CAN_TRANSMIT*>(frames.data()), count);
      CHECK(sent <= count);
      frames.Check();
      break;
    }
    case 9: {
      const uint32_t count = in.Byte() % 40;
      Guarded frames(count * sizeof(VELA_CANFD_TRANSMIT), &in);
      const uint32_t sent = VELA_TransmitFD(
          PickHandle(in), (op & 0x20) != 0 ? nullptr : reinterpret_cast<VELA_CANFD_TRANSMIT*>(frames.data()), count);
      CHECK(sent <= count);
      frames.Check();
      break;
    }
    case 10: {
      const uint32_t capacity = in.Byte() % 70;
      Guarded frames(capacity * sizeof(VELA_CAN_RECEIVE), &in);
      const uint32_t n =
          VELA_Receive(PickHandle(in), (op & 0x20) != 0 ? nullptr : reinterpret_cast<VELA_CAN_RECEIVE*>(frames.data()),
                       capacity, BoundedWait(in));
      CHECK(n <= capacity);
      frames.Check();
      break;
    }
    case 11: {
      const uint32_t capacity = in.Byte() % 70;
      Guarded frames(capacity * sizeof(VELA_CANFD_RECEIVE), &in);
      const uint32_t n = VELA_ReceiveFD(
          PickHandle(in), (op & 0x20) != 0 ? nullptr : reinterpret_cast<VELA_CANFD_RECEIVE*>(frames.data()), capacity,
          BoundedWait(in));
      CHECK(n <= capacity);
      frames.Check();
      break;
    }
    case 12: {
      Guarded info(sizeof(VELA_DEVICE_INFO), &in);
      VELA_GetDeviceInf(PickHandle(in), (op & 0x20) != 0 ? nullptr : reinterpret_cast<VELA_DEVICE_INFO*>(info.data()));
      info.Check();
      break;
    }
    case 13:
      CHECK(GetIProperty(in.U32()) == 0);
      CHECK(ReleaseIProperty(in.U32()) == 0);
      break;
    case 14:
      VELA_GetReceiveNum(PickHandle(in), in.U32());
      break;
    case 15:
    case 16: {
      const uint32_t type = PickType(in);
      const uint32_t index = PickIndex(in);
      const uint32_t channel = (in.Byte() & 0x80) != 0 ? in.U32() : in.Byte() % 6;
      SetKey(in, type, index, channel);
      break;
    }
    default: {
      const uint32_t type = PickType(in);
      const uint32_t index = PickIndex(in);
      const uint32_t channel = (in.Byte() & 0x80) != 0 ? in.U32() : in.Byte() % 6;
      GetKey(in, type, index, channel);
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  for (int calls = 0; calls < 64 && !in.empty(); ++calls) OneCall(in);
  // Every input starts from an empty registry: close whatever it opened.
  for (uint32_t handle : g_opened) VELA_CloseDevice(handle);
  g_opened.clear();
  return 0;
}
