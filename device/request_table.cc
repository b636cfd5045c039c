#include "device/request_table.h"

#include <algorithm>

namespace tarnlink {

RequestTable::RequestTable(Clock::duration rest) : rest_(rest) {}

RequestTable::Entry RequestTable::Enter(const std::shared_ptr<DevRequestResponse>& exchange,
                                        Clock::time_point deadline) {
  MutexLock lock(mu_);
  Waiter me;
  auto mine = waiters_.end();  // set once this request queues
  for (;;) {
    const Clock::time_point now = Clock::now();
    WakeRested(now);
    const bool first = mine == waiters_.end() ? waiters_.empty() : mine == waiters_.begin();
    if (first && free_count_ > 0 && TakeFree(exchange)) {
      if (mine == waiters_.end()) return Entry::kAtOnce;
      waiters_.erase(mine);
      WakeFirstWaiter();  // there may be more free keys
      return Entry::kAfterWait;
    }
    if (now >= deadline) {
      if (mine != waiters_.end()) {
        waiters_.erase(mine);
        if (first) WakeFirstWaiter();
      }
      return Entry::kRefused;
    }
    if (mine == waiters_.end()) mine = waiters_.insert(waiters_.end(), &me);
    // The first waiter wakes when the next resting key comes free; the others
    // when they come first, or at their deadline.
    Clock::time_point until = deadline;
    if (mine == waiters_.begin() && !resting_.empty()) until = std::min(until, resting_.front().until);
    me.wake.wait_until(lock.native(), until);
  }
}

void RequestTable::Leave(const std::shared_ptr<DevRequestResponse>& exchange, bool sent) {
  MutexLock lock(mu_);
  const uint16_t key = Key(exchange->sequence, exchange->message_id);
  if (state_[key] != KeyState::kPending || pending_[key] != exchange) return;  // cleared meanwhile
  pending_[key].reset();
  if (sent) {
    ToRest(key, Clock::now());
  } else {
    state_[key] = KeyState::kFree;
    ++free_count_;
  }
  WakeFirstWaiter();
}

std::shared_ptr<DevRequestResponse> RequestTable::Find(uint8_t sequence, uint8_t message_id) {
  MutexLock lock(mu_);
  const uint16_t key = Key(sequence, message_id);
  if (state_[key] != KeyState::kPending) return nullptr;
  return pending_[key];
}

void RequestTable::Clear() {
  MutexLock lock(mu_);
  const Clock::time_point now = Clock::now();
  for (uint16_t key = 0; key < kKeys; ++key) {
    if (state_[key] != KeyState::kPending) continue;
    pending_[key].reset();
    ToRest(key, now);
  }
  WakeFirstWaiter();
}

void RequestTable::WakeRested(Clock::time_point now) {
  while (!resting_.empty() && resting_.front().until <= now) {
    state_[resting_.front().key] = KeyState::kFree;
    ++free_count_;
    resting_.pop_front();
  }
}

// Keys are handed out in a fixed cycle through all 2048, sequence and
// message id advancing together (the first request gets sequence 1, message
// id 1); past every 256th the sequence steps once more, so the cycle reaches
// every pairing. A key that is not free is passed over. Called only when one
// is free.
bool RequestTable::TakeFree(const std::shared_ptr<DevRequestResponse>& exchange) {
  for (size_t step = 0; step < kKeys; ++step) {
    counter_ = (counter_ + 1) % kKeys;
    const uint8_t message_id = static_cast<uint8_t>(counter_ & 0xFFu);
    const uint8_t sequence = static_cast<uint8_t>((counter_ + (counter_ >> 8)) & 7u);
    const uint16_t key = Key(sequence, message_id);
    if (state_[key] != KeyState::kFree) continue;
    state_[key] = KeyState::kPending;
    pending_[key] = exchange;
    --free_count_;
    exchange->sequence = sequence;
    exchange->message_id = message_id;
    exchange->request.message_id = message_id;
    return true;
  }
  return false;
}

void RequestTable::ToRest(uint16_t key, Clock::time_point now) {
  state_[key] = KeyState::kResting;
  resting_.push_back({key, now + rest_});
}

void RequestTable::WakeFirstWaiter() {
  if (!waiters_.empty()) waiters_.front()->wake.notify_one();
}

}  // namespace tarnlink
