// A shared, immutable record: object and reference count in one node,
// behind a pointer of 8 bytes, the nodes coming from a pool of the device.
#ifndef TARNLINK_DEVICE_SHARED_RECORD_H_
#define TARNLINK_DEVICE_SHARED_RECORD_H_

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define TARNLINK_POOL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TARNLINK_POOL_ASAN 1
#endif
#endif
#if defined(TARNLINK_POOL_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace tarnlink {

template <typename T>
class RecordPool;

// One pool node: the record, or the link of the free list while unused.
template <typename T>
struct RecordNode {
  std::atomic<uint32_t> refs{0};
  RecordPool<T>* pool = nullptr;
  union {
    RecordNode* next;
    alignas(T) unsigned char storage[sizeof(T)];
  };

  RecordNode() : next(nullptr) {}
  const T& value() const { return *std::launder(reinterpret_cast<const T*>(storage)); }
};

// Nodes for the records of one kind. A record is made on the receive thread
// and nearly always released on the thread that drains its queue. Through
// the heap, that pair cost more than decoding the record: the allocator's
// per-thread cache never refills from another thread's frees, so nearly
// every allocation took the arena's lock. Here a release is one
// compare-and-swap onto a shared stack, and the taking thread swaps the
// whole stack out when its own list runs dry (push-only and take-all, so no
// ABA). Memory goes back to the system by Trim and when the pool goes; the
// pool must outlive every record made from it.
template <typename T>
class RecordPool {
 public:
  using Node = RecordNode<T>;
  static_assert(std::is_trivially_destructible_v<T>, "records are dropped without a destructor");

  RecordPool() = default;
  RecordPool(const RecordPool&) = delete;
  RecordPool& operator=(const RecordPool&) = delete;

  // One taking thread at a time (the device's receive thread).
  Node* Take() {
    if (free_ == nullptr) free_ = returned_.exchange(nullptr, std::memory_order_acquire);
    if (free_ == nullptr) Grow();
    Node* node = free_;
    free_ = node->next;
    Unpoison(node);
    return node;
  }

  // Any thread.
  void Give(Node* node) noexcept {
    Poison(node);
    Node* head = returned_.load(std::memory_order_relaxed);
    do {
      node->next = head;
    } while (!returned_.compare_exchange_weak(head, node, std::memory_order_release, std::memory_order_relaxed));
  }

  // Nodes obtained from the system and not yet given back; any thread.
  size_t capacity() const { return slab_count_.load(std::memory_order_relaxed) * kSlabNodes; }

  // Gives back to the system every slab beyond the first keep_slabs whose
  // nodes are all free, records still held elsewhere keeping theirs. On the
  // taking thread (or while it is held off). O(free nodes), for after a
  // large fill has drained, not for the hot path. Result: slabs given back.
  size_t Trim(size_t keep_slabs) {
    if (slabs_.size() <= keep_slabs) return 0;
    std::vector<Node*> free_nodes;
    for (Node* list : {free_, returned_.exchange(nullptr, std::memory_order_acquire)}) {
      for (Node* n = list; n != nullptr; n = n->next) {
        free_nodes.push_back(n);
      }
    }
    free_ = nullptr;
    // Slab of each free node by address: slabs sorted by their first node.
    std::vector<std::pair<uintptr_t, size_t>> bases;
    bases.reserve(slabs_.size());
    for (size_t i = 0; i < slabs_.size(); ++i) bases.emplace_back(reinterpret_cast<uintptr_t>(slabs_[i].get()), i);
    std::sort(bases.begin(), bases.end());
    const auto slab_of = [&bases](const Node* n) {
      const auto key = std::make_pair(reinterpret_cast<uintptr_t>(n), ~size_t{0});
      return std::prev(std::upper_bound(bases.begin(), bases.end(), key))->second;
    };
    std::vector<size_t> free_count(slabs_.size(), 0);
    for (const Node* n : free_nodes) ++free_count[slab_of(n)];
    // Wholly free slabs beyond a reserve of keep_slabs go.
    std::vector<bool> drop(slabs_.size(), false);
    size_t reserve = 0;
    for (size_t i = 0; i < slabs_.size(); ++i) {
      if (free_count[i] != kSlabNodes) continue;
      drop[i] = reserve >= keep_slabs;
      if (!drop[i]) ++reserve;
    }
    for (Node* n : free_nodes) {
      if (drop[slab_of(n)]) continue;
      n->next = free_;
      Poison(n);
      free_ = n;
    }
    size_t dropped = 0;
    std::vector<std::unique_ptr<Node[]>> remaining;
    for (size_t i = 0; i < slabs_.size(); ++i) {
      if (drop[i]) {
        ++dropped;
      } else {
        remaining.push_back(std::move(slabs_[i]));
      }
    }
    slabs_.swap(remaining);
    slab_count_.store(slabs_.size(), std::memory_order_relaxed);
    return dropped;
  }

 private:
  static constexpr size_t kSlabNodes = 1024;

  // Under AddressSanitizer a record used after its release is reported, as
  // the heap would have it; the free-list link stays reachable.
  static void Poison(Node* node) noexcept {
#if defined(TARNLINK_POOL_ASAN)
    if constexpr (sizeof(T) > sizeof(Node*)) {
      ASAN_POISON_MEMORY_REGION(node->storage + sizeof(Node*), sizeof(T) - sizeof(Node*));
    }
#else
    (void)node;
#endif
  }
  static void Unpoison(Node* node) noexcept {
#if defined(TARNLINK_POOL_ASAN)
    ASAN_UNPOISON_MEMORY_REGION(node->storage, sizeof(T));
#else
    (void)node;
#endif
  }

  void Grow() {
    auto slab = std::make_unique<Node[]>(kSlabNodes);
    for (size_t i = 0; i < kSlabNodes; ++i) {
      slab[i].pool = this;
      slab[i].next = i + 1 < kSlabNodes ? &slab[i + 1] : nullptr;
    }
    free_ = &slab[0];
    slabs_.push_back(std::move(slab));
    slab_count_.store(slabs_.size(), std::memory_order_relaxed);
  }

  std::atomic<Node*> returned_{nullptr};
  Node* free_ = nullptr;                        // the taking thread's own
  std::vector<std::unique_ptr<Node[]>> slabs_;  // the taking thread's own
  std::atomic<size_t> slab_count_{0};           // slabs_.size(), for any thread
};

// Ownership is as with std::shared_ptr: every copy is a reference, the last
// one to go returns the node to its pool, and one object is not to be written
// by two threads at once. A CAN frame costs 48 bytes in a queue (a 40-byte
// node and the pointer), a CAN FD frame 104.
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

  // On the pool's taking thread.
  static SharedRecord Make(RecordPool<T>& pool, const T& value) {
    return MakeWith(pool, [&] { return value; });
  }
  // The record is what make() returns, built in the node itself.
  template <typename Make>
  static SharedRecord MakeWith(RecordPool<T>& pool, Make&& make) {
    RecordNode<T>* node = pool.Take();
    ::new (static_cast<void*>(node->storage)) T(make());
    node->refs.store(1, std::memory_order_relaxed);
    return SharedRecord(node);
  }

  void reset() noexcept {
    RecordNode<T>* node = std::exchange(node_, nullptr);
    if (node == nullptr) return;
    // A sole owner needs no read-modify-write: nobody else can add a
    // reference to a record that only this one holds.
    if (node->refs.load(std::memory_order_acquire) == 1 || node->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      node->pool->Give(node);
    }
  }

  const T& operator*() const { return node_->value(); }
  const T* operator->() const { return &node_->value(); }
  const T* get() const { return node_ != nullptr ? &node_->value() : nullptr; }
  explicit operator bool() const { return node_ != nullptr; }

 private:
  explicit SharedRecord(RecordNode<T>* node) : node_(node) {}

  RecordNode<T>* node_ = nullptr;
};

}  // namespace tarnlink

#endif  // TARNLINK_DEVICE_SHARED_RECORD_H_
