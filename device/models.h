// The model table: every device type the libraries know, with its channel
// count and name. Read by the device core, the tool and its driver loader.
#ifndef TARNLINK_DEVICE_MODELS_H_
#define TARNLINK_DEVICE_MODELS_H_

#include <cstdint>

#include "tarnlink/tarnlink.h"

namespace tarnlink {

struct ModelInfo {
  uint32_t type;
  uint32_t channels;
  const char* name;
};

inline constexpr ModelInfo kModels[] = {
    {VELA_TYPE_LINK_2CH_TCP, 2, "TARNLINK-2CH-TCP"}, {VELA_TYPE_LINK_2CH_UDP, 2, "TARNLINK-2CH-UDP"},
    {VELA_TYPE_AIR_1CH_TCP, 1, "TARNAIR-1CH-TCP"},   {VELA_TYPE_AIR_1CH_UDP, 1, "TARNAIR-1CH-UDP"},
    {VELA_TYPE_LINK_4CH_TCP, 4, "TARNLINK-4CH-TCP"}, {VELA_TYPE_LINK_4CH_UDP, 4, "TARNLINK-4CH-UDP"},
};

// Types outside the table open too, as this.
inline constexpr ModelInfo kUnknownModel = {0, 2, "TARNLINK"};

// The table's default types of each library.
inline constexpr uint32_t kDefaultTcpType = VELA_TYPE_LINK_2CH_TCP;
inline constexpr uint32_t kDefaultUdpType = VELA_TYPE_LINK_2CH_UDP;

// The entry of a type; nullptr outside the table.
constexpr const ModelInfo* FindModel(uint32_t type) {
  for (const ModelInfo& m : kModels) {
    if (m.type == type) return &m;
  }
  return nullptr;
}

constexpr uint32_t ChannelsOfType(uint32_t type) {
  const ModelInfo* model = FindModel(type);
  return model != nullptr ? model->channels : kUnknownModel.channels;
}

}  // namespace tarnlink

#endif  // TARNLINK_DEVICE_MODELS_H_
