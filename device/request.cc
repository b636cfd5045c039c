// Pairs command answers with the requests that caused them.
#include <chrono>

#include "device/device.h"

namespace tarnlink {
namespace {

uint32_t PendingKey(uint8_t sequence, uint8_t message_id) { return ((uint32_t{sequence} << 8) & 0x7FFu) | message_id; }

}  // namespace

bool Device::SendRequest(CommandMessage& request, CommandMessage* answer) {
  auto exchange = std::make_shared<DevRequestResponse>();
  uint32_t key = 0;
  {
    // Advancing both counters and entering the exchange is one step, so two
    // concurrent requests never share a key.
    MutexLock lock(pending_mu_);
    sequence_ = static_cast<uint8_t>((sequence_ + 1) % 8);
    message_id_ = static_cast<uint8_t>(message_id_ + 1);
    request.message_id = message_id_;
    exchange->sequence = sequence_;
    exchange->message_id = message_id_;
    exchange->request = request;
    key = PendingKey(exchange->sequence, exchange->message_id);
    pending_[key] = exchange;
  }
  const Packet packet = EncodeRequest(request, exchange->sequence);

  auto remove_entry = [&] {
    MutexLock lock(pending_mu_);
    auto it = pending_.find(key);
    if (it != pending_.end() && it->second == exchange) pending_.erase(it);
  };
  if (!SendPacket(packet)) {
    remove_entry();
    return false;
  }
  Count(requests_sent_);

  bool answered = false;
  {
    DevRequestResponse& ex = *exchange;
    MutexLock lock(ex.mu);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestTimeoutMs);
    while (!ex.answered) {
      if (ex.wake.wait_until(lock.native(), deadline) == std::cv_status::timeout) break;
    }
    answered = ex.answered;
    if (answered && answer != nullptr) *answer = std::move(ex.answer);
  }
  remove_entry();
  Count(answered ? requests_answered_ : requests_timed_out_);
  return answered;
}

void Device::CompleteRequest(uint8_t sequence, CommandMessage&& answer) {
  std::shared_ptr<DevRequestResponse> exchange;
  {
    MutexLock lock(pending_mu_);
    auto it = pending_.find(PendingKey(sequence, answer.message_id));
    if (it == pending_.end()) {  // late, foreign or a duplicate
      Count(late_answers_);
      return;
    }
    exchange = it->second;
  }
  {
    DevRequestResponse& ex = *exchange;
    MutexLock lock(ex.mu);
    if (ex.answered) {
      Count(late_answers_);
      return;
    }
    ex.answer = std::move(answer);
    ex.answered = true;
  }
  exchange->wake.notify_all();
}

bool Device::SimpleCommand(CommandCode code, std::vector<uint8_t> body, CommandMessage* answer) {
  CommandMessage request;
  request.code = static_cast<uint8_t>(code);
  request.body = std::move(body);
  if (!SendRequest(request, answer)) return false;
  return answer->code != 0;
}

}  // namespace tarnlink
