// A shared, immutable record: object and reference count in one allocation,
// behind a pointer of 8 bytes.
#ifndef TARNLINK_DEVICE_SHARED_RECORD_H_
#define TARNLINK_DEVICE_SHARED_RECORD_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

namespace tarnlink {

// The frame queues hold up to a million records each. A std::shared_ptr costs
// 16 bytes in the queue and a 16-byte control block, which puts a queued CAN
// FD frame at 128 bytes and more; this costs 8 and 8, so a CAN frame takes 56
// bytes (a 48-byte heap block and the pointer) and a CAN FD frame 104.
// Ownership is as with std::shared_ptr: every copy is a reference, the last
// one to go frees the record, and one object is not to be written by two
// threads at once.
template <typename T>
class SharedRecord {
 public:
  SharedRecord() = default;
  SharedRecord(const SharedRecord& other) noexcept : node_(other.node_) {
    if (node_ != nullptr) node_->refs.fetch_add(1, std::memory_order_relaxed);
  }
  SharedRecord(SharedRecord&& other) noexcept : node_(std::exchange(other.node_, nullptr)) {}
  SharedRecord& operator=(SharedRecord other) noexcept {
    std::swap(node_, other.node_);
    return *this;
  }
  ~SharedRecord() { reset(); }

  template <typename... Args>
  static SharedRecord Make(Args&&... args) {
    return SharedRecord(std::make_unique<Node>(std::forward<Args>(args)...).release());
  }

  void reset() noexcept {
    Node* node = std::exchange(node_, nullptr);
    if (node == nullptr) return;
    // A sole owner needs no read-modify-write: nobody else can add a
    // reference to a record that only this one holds.
    if (node->refs.load(std::memory_order_acquire) == 1 || node->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      std::unique_ptr<Node> last(node);
    }
  }

  const T& operator*() const { return node_->value; }
  const T* operator->() const { return &node_->value; }
  const T* get() const { return node_ != nullptr ? &node_->value : nullptr; }
  explicit operator bool() const { return node_ != nullptr; }

 private:
  struct Node {
    template <typename... Args>
    explicit Node(Args&&... args) : value(std::forward<Args>(args)...) {}
    std::atomic<uint32_t> refs{1};
    const T value;
  };

  explicit SharedRecord(Node* node) : node_(node) {}

  Node* node_ = nullptr;
};

}  // namespace tarnlink

#endif  // TARNLINK_DEVICE_SHARED_RECORD_H_
