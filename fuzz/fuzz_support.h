// What the fuzz targets share: a check that aborts (so libFuzzer reports
// it), the input read as a stream of values, and caller buffers between
// guard bytes.
#ifndef TARNLINK_FUZZ_FUZZ_SUPPORT_H_
#define TARNLINK_FUZZ_FUZZ_SUPPORT_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#define CHECK(cond) \
  do {              \
    if (!(cond)) {  \
      std::abort(); \
    }               \
  } while (false)

namespace tarnlink::fuzz {

// Values taken from the front of the input; zeros once it is used up.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
  bool empty() const { return p_ >= end_; }
  uint8_t Byte() { return empty() ? 0 : *p_++; }
  uint16_t U16() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
  uint32_t U32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t{Byte()} << (8 * i);
    return v;
  }
  // Fills n bytes.
  void Fill(void* out, size_t n) {
    auto* o = static_cast<uint8_t*>(out);
    for (size_t i = 0; i < n; ++i) o[i] = Byte();
  }
  // Up to max bytes, fewer at the end of the input.
  const uint8_t* Take(size_t max, size_t* got) {
    *got = std::min(max, static_cast<size_t>(end_ - p_));
    const uint8_t* at = p_;
    p_ += *got;
    return at;
  }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

// A caller's buffer of `bytes` (filled from the input when one is given),
// with guard bytes on both sides that nothing may write.
class Guarded {
 public:
  explicit Guarded(size_t bytes, Input* fill = nullptr) : bytes_(bytes), storage_(bytes + 2 * kGuardBytes, kGuard) {
    if (fill != nullptr) fill->Fill(data(), bytes);
  }
  uint8_t* data() { return storage_.data() + kGuardBytes; }
  size_t size() const { return bytes_; }
  void Check() const {
    for (size_t i = 0; i < kGuardBytes; ++i) {
      CHECK(storage_[i] == kGuard);
      CHECK(storage_[kGuardBytes + bytes_ + i] == kGuard);
    }
  }

 private:
  static constexpr uint8_t kGuard = 0x5A;
  static constexpr size_t kGuardBytes = 32;
  size_t bytes_;
  std::vector<uint8_t> storage_;
};

}  // namespace tarnlink::fuzz

#endif  // TARNLINK_FUZZ_FUZZ_SUPPORT_H_
