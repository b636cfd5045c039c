// The exported C interface: decode the handle, find the device, call one
// operation, return. Nothing throws across this boundary.
#include <exception>

#include "api/device_manager.h"
#include "api/handles.h"
#include "platform/platform.h"
#include "tarnlink/tarnlink.h"

namespace tarnlink {
namespace {

__attribute__((constructor)) void OnLibraryLoad() { DisableThreadNotifications(); }

std::shared_ptr<Device> Find(uint32_t type, uint32_t index) {
  DeviceManager* registry = DeviceManager::Instance();
  return registry != nullptr ? registry->FindDevice(type, index) : nullptr;
}

// Runs op on the device behind a handle; 0 for handle 0, a closed device or
// an exception (allocation or thread creation failing).
template <typename Op>
uint32_t WithDevice(uint32_t handle, Op&& op) noexcept {
  if (handle == 0) return 0;
  try {
    std::shared_ptr<Device> device = Find(HandleType(handle), HandleIndex(handle));
    if (!device) return 0;
    return static_cast<uint32_t>(op(*device, HandleChannel(handle)));
  } catch (...) {
    return 0;
  }
}

}  // namespace
}  // namespace tarnlink

using tarnlink::Device;
using tarnlink::WithDevice;

extern "C" {

TARNLINK_EXPORT uint32_t TARNLINK_CALL VELA_OpenDevice(uint32_t type, uint32_t index, uint32_t reserved) {
  // A handle carries 8 bits of index and must not be 0: refuse what it could
  // not reach again.
  if (index > 0xFF) return 0;
  const uint32_t handle = tarnlink::MakeDeviceHandle(type, index);
  if (handle == 0) return 0;
  try {
    tarnlink::DeviceManager* registry = tarnlink::DeviceManager::Instance();
    if (registry == nullptr || !registry->OpenDevice(type, index, reserved)) return 0;
    return handle;
  } catch (...) {
    return 0;
  }
}

TARNLINK_EXPORT uint32_t TARNLINK_CALL VELA_CloseDevice(uint32_t handle) {
  if (handle == 0) return 0;
  try {
    tarnlink::DeviceManager* registry = tarnlink::DeviceManager::Instance();
    return registry != nullptr && registry->CloseDevice(tarnlink::HandleType(handle), tarnlink::HandleIndex(handle))
               ? 1
               : 0;
  } catch (...) {
    return 0;
  }
}

TARNLINK_EXPORT uint32_t TARNLINK_CALL VELA_GetDeviceInf(uint32_t handle, VELA_DEVICE_INFO* info) {
  return WithDevice(handle, [&](Device& d, uint32_t) { return d.GetDeviceInf(info); });
}

TARNLINK_EXPORT uint32_t TARNLINK_CALL VELA_InitCAN(uint32_t handle, uint32_t channel, const void* /*config*/) {
  return WithDevice(handle, [&](Device&, uint32_t) { return tarnlink::MakeChannelHandle(handle, channel); });
}

TARNLINK_EXPORT uint32_t TARNLINK_CALL VELA_StartCAN(uint32_t handle) {
  return WithDevice(handle, [](Device& d, uint32_t ch) { return d.StartCAN(ch); });
}

TARNLINK_EXPORT uint32_t TARNLINK_CALL VELA_ResetCAN(uint32_t handle) {
  return WithDevice(handle, [](Device& d, uint32_t ch) { return d.ResetCAN(ch); });
}

TARNLINK_EXPORT uint32_t TARNLINK_CALL VELA_ClearBuffer(uint32_t handle) {
  return WithDevice(handle, [](Device& d, uint32_t ch) {
    d.ClearBuffer(ch);
    return true;
  });
}

TARNLINK_EXPORT uint32_t TARNLINK_CALL VELA_ReadChannelErrInfo(uint32_t handle, VELA_CHANNEL_ERR_INFO* info) {
  return WithDevice(handle, [&](Device& d, uint32_t ch) { return d.ReadChannelErrInfo(ch, info); });
}

TARNLINK_EXPORT uint32_t TARNLINK_CALL VELA_ReadChannelStatus(uint32_t handle, VELA_CHANNEL_STATUS* status) {
  return WithDevice(handle, [&](Device& d, uint32_t ch) { return d.ReadChannelStatus(ch, status); });
}

TARNLINK_EXPORT uint32_t TARNLINK_CALL VELA_Transmit(uint32_t handle, const VELA_CAN_TRANSMIT* frames, uint32_t count) {
  return WithDevice(handle, [&](Device& d, uint32_t ch) { return d.Transmit(ch, frames, count); });
}

TARNLINK_EXPORT uint32_t TARNLINK_CALL VELA_Receive(uint32_t handle, VELA_CAN_RECEIVE* frames, uint32_t capacity,
                                                    int32_t wait_ms) {
  return WithDevice(handle, [&](Device& d, uint32_t ch) { return d.Receive(ch, frames, capacity, wait_ms); });
}

TARNLINK_EXPORT uint32_t TARNLINK_CALL VELA_TransmitFD(uint32_t handle, const VELA_CANFD_TRANSMIT* frames,
                                                       uint32_t count) {
  return WithDevice(handle, [&](Device& d, uint32_t ch) { return d.TransmitFD(ch, frames, count); });
}

TARNLINK_EXPORT uint32_t TARNLINK_CALL VELA_ReceiveFD(uint32_t handle, VELA_CANFD_RECEIVE* frames, uint32_t capacity,
                                                      int32_t wait_ms) {
  return WithDevice(handle, [&](Device& d, uint32_t ch) { return d.ReceiveFD(ch, frames, capacity, wait_ms); });
}

TARNLINK_EXPORT uint32_t TARNLINK_CALL GetIProperty(uint32_t /*unused*/) { return 0; }

// One body, two export names. The alias names the symbol, which 32-bit
// Windows decorates with the argument bytes of __stdcall.
#if defined(_WIN32) && !defined(_WIN64)
#define TARNLINK_GET_I_PROPERTY_SYMBOL "GetIProperty@4"
#else
#define TARNLINK_GET_I_PROPERTY_SYMBOL "GetIProperty"
#endif
#if defined(__clang__)
TARNLINK_EXPORT uint32_t TARNLINK_CALL ReleaseIProperty(uint32_t)
    __attribute__((alias(TARNLINK_GET_I_PROPERTY_SYMBOL)));
#else
// g++ wants the alias to carry its target's nothrow; clang takes it for a
// noexcept that the header's declaration lacks.
TARNLINK_EXPORT uint32_t TARNLINK_CALL ReleaseIProperty(uint32_t)
    __attribute__((alias(TARNLINK_GET_I_PROPERTY_SYMBOL), nothrow));
#endif

TARNLINK_EXPORT uint32_t TARNLINK_CALL VELA_GetReference(uint32_t type, uint32_t index, uint32_t channel, uint32_t key,
                                                         void* value) {
  try {
    std::shared_ptr<Device> device = tarnlink::Find(type, index);
    return device && device->GetReference(channel, key, value) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

TARNLINK_EXPORT uint32_t TARNLINK_CALL VELA_SetReference(uint32_t type, uint32_t index, uint32_t channel, uint32_t key,
                                                         const void* value) {
  try {
    std::shared_ptr<Device> device = tarnlink::Find(type, index);
    return device && device->SetReference(channel, key, value) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

TARNLINK_EXPORT uint32_t TARNLINK_CALL VELA_GetReceiveNum(uint32_t handle, uint32_t selector) {
  return WithDevice(handle, [&](Device& d, uint32_t ch) { return d.GetReceiveNum(ch, selector); });
}

}  // extern "C"
