// The one type a run of bytes travels in between the layers: from a socket's
// receive to the parser, and from an encoder to a socket's send.
#ifndef TARNLINK_PLATFORM_BYTE_SPAN_H_
#define TARNLINK_PLATFORM_BYTE_SPAN_H_

#include <cstddef>
#include <cstdint>
#include <utility>

namespace tarnlink {

// Bytes owned by someone else, valid for as long as they say. Checked once,
// where it is made: a null pointer has no bytes, so that every reader may
// index data[0, size) without looking again.
class ByteSpan {
 public:
  constexpr ByteSpan() = default;
  constexpr ByteSpan(const uint8_t* data, size_t size) : data_(size != 0 ? data : nullptr), size_(data ? size : 0) {}
  // A socket's buffer or a text.
  ByteSpan(const char* data, size_t size) : ByteSpan(reinterpret_cast<const uint8_t*>(data), size) {}
  // Anything holding contiguous bytes (a packet, a string).
  template <typename Bytes, typename = decltype(std::declval<const Bytes&>().data())>
  ByteSpan(const Bytes& bytes)  // NOLINT(google-explicit-constructor): a view of it
      : ByteSpan(bytes.data(), bytes.size()) {}

  // What a receive call returned into buffer: n bytes, none when n <= 0.
  static ByteSpan Received(const char* buffer, long n) {
    return n > 0 ? ByteSpan(buffer, static_cast<size_t>(n)) : ByteSpan();
  }

  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const uint8_t* begin() const { return data_; }
  const uint8_t* end() const { return data_ + size_; }
  uint8_t operator[](size_t i) const { return data_[i]; }
  // For the socket calls, which take chars.
  const char* chars() const { return reinterpret_cast<const char*>(data_); }
  // The bytes from offset on, at most count of them; empty past the end.
  ByteSpan Sub(size_t offset, size_t count = SIZE_MAX) const {
    if (offset >= size_) return ByteSpan();
    const size_t left = size_ - offset;
    return ByteSpan(data_ + offset, count < left ? count : left);
  }

 private:
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace tarnlink

#endif  // TARNLINK_PLATFORM_BYTE_SPAN_H_
