// The outstanding command requests of one device and the numbering of their
// keys: which answer belongs to which request.
#ifndef TARNLINK_DEVICE_REQUEST_TABLE_H_
#define TARNLINK_DEVICE_REQUEST_TABLE_H_

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>

#include "platform/thread_annotations.h"
#include "protocol/commands.h"

namespace tarnlink {

// One outstanding command exchange, shared by the waiter and the table.
struct DevRequestResponse {
  uint8_t sequence = 0;
  uint8_t message_id = 0;
  CommandMessage request;
  Mutex mu;
  std::condition_variable wake;
  bool answered GUARDED_BY(mu) = false;
  CommandMessage answer GUARDED_BY(mu);
};

// An answer names its request by key: the packet sequence (3 bits) and the
// message id (8 bits), 2048 keys. A key is handed out only when no request
// holds it and none has held it for a rest time (a request time-out): an
// answer that comes late, or twice (a multicast group, several gateways of
// one server), then finds no request instead of a newer one with its key.
//
// Invariant (under mu_): every key is in exactly one state. kFree keys number
// free_count_. A kPending key's slot holds its exchange; no other slot holds
// an exchange. A kResting key is in resting_ exactly once, and resting_ is in
// order of the time its keys come free.
class RequestTable {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr size_t kKeys = 2048;

  enum class Entry { kAtOnce, kAfterWait, kRefused };

  explicit RequestTable(Clock::duration rest);
  RequestTable(const RequestTable&) = delete;
  RequestTable& operator=(const RequestTable&) = delete;

  // Gives the exchange the next free key (its sequence and message id) and
  // enters it as pending. When no key is free it waits, in turn with other
  // waiters, until one is or the deadline passes (kRefused: not entered).
  Entry Enter(const std::shared_ptr<DevRequestResponse>& exchange, Clock::time_point deadline) EXCLUDES(mu_);
  // The exchange's request ended. Its key rests when the request was sent,
  // and is free at once when it was not (no answer can come).
  void Leave(const std::shared_ptr<DevRequestResponse>& exchange, bool sent) EXCLUDES(mu_);
  // The pending exchange an answer names; empty for a late, duplicate or
  // foreign answer.
  std::shared_ptr<DevRequestResponse> Find(uint8_t sequence, uint8_t message_id) EXCLUDES(mu_);
  // Every pending request leaves the table (its waiter runs into its own
  // time-out); the keys rest, as an answer to them may still come.
  void Clear() EXCLUDES(mu_);

 private:
  enum class KeyState : uint8_t { kFree, kPending, kResting };
  struct Resting {
    uint16_t key;
    Clock::time_point until;
  };
  // A request waiting for a key; lives on its own stack.
  struct Waiter {
    std::condition_variable wake;
  };

  static uint16_t Key(uint8_t sequence, uint8_t message_id) {
    return static_cast<uint16_t>(((sequence & 7u) << 8) | message_id);
  }
  void WakeRested(Clock::time_point now) REQUIRES(mu_);
  bool TakeFree(const std::shared_ptr<DevRequestResponse>& exchange) REQUIRES(mu_);
  void ToRest(uint16_t key, Clock::time_point now) REQUIRES(mu_);
  void WakeFirstWaiter() REQUIRES(mu_);

  const Clock::duration rest_;
  Mutex mu_;
  std::array<KeyState, kKeys> state_ GUARDED_BY(mu_){};
  std::array<std::shared_ptr<DevRequestResponse>, kKeys> pending_ GUARDED_BY(mu_);
  std::deque<Resting> resting_ GUARDED_BY(mu_);
  size_t free_count_ GUARDED_BY(mu_) = kKeys;
  // Position in the order keys are handed out; see TakeFree.
  uint32_t counter_ GUARDED_BY(mu_) = 0;
  // Waiters for a key, first come first served.
  std::list<Waiter*> waiters_ GUARDED_BY(mu_);
};

}  // namespace tarnlink

#endif  // TARNLINK_DEVICE_REQUEST_TABLE_H_
