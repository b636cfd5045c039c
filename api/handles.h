// Device and channel handles: plain 32-bit values, nothing allocated.
#ifndef TARNLINK_API_HANDLES_H_
#define TARNLINK_API_HANDLES_H_

#include <cstdint>

namespace tarnlink {

constexpr uint32_t MakeDeviceHandle(uint32_t type, uint32_t index) { return (type << 16) | ((index & 0xFFu) << 8); }
constexpr uint32_t MakeChannelHandle(uint32_t handle, uint32_t channel) {
  return (handle & ~0xFFu) | (channel & 0xFFu);
}
constexpr uint32_t HandleType(uint32_t handle) { return handle >> 16; }
constexpr uint32_t HandleIndex(uint32_t handle) { return (handle >> 8) & 0xFFu; }
constexpr uint32_t HandleChannel(uint32_t handle) { return handle & 0xFFu; }

}  // namespace tarnlink

#endif  // TARNLINK_API_HANDLES_H_
