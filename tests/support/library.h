// Loads one of the two shared libraries privately, so a test can drive
// either (or both side by side) through the exported functions only.
#ifndef TARNLINK_TESTS_SUPPORT_LIBRARY_H_
#define TARNLINK_TESTS_SUPPORT_LIBRARY_H_

#include <stdexcept>
#include <string>

#include "tarnlink/tarnlink.h"
#include "tools/common/driver_api.h"

namespace tarnlink::test {

class Library : public DriverApi {
 public:
  explicit Library(const std::string& path) : DriverApi(path) {
    if (!ok()) throw std::runtime_error(error());
  }

  // Convenience wrappers for the u32 settings keys.
  bool SetU32(uint32_t type, uint32_t index, uint32_t key, uint32_t value, uint32_t channel = 0) const {
    return SetReference(type, index, channel, key, &value) == 1;
  }
  uint32_t GetU32(uint32_t type, uint32_t index, uint32_t key, uint32_t channel = 0) const {
    uint32_t v = 0xDEADBEEF;
    return GetReference(type, index, channel, key, &v) == 1 ? v : 0xDEADBEEF;
  }
};

}  // namespace tarnlink::test

#endif  // TARNLINK_TESTS_SUPPORT_LIBRARY_H_
