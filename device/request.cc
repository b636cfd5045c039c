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
    std::lock_guard<std::mutex> lock(pending_mu_);
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
    std::lock_guard<std::mutex> lock(pending_mu_);
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
    std::unique_lock<std::mutex> lock(exchange->mu);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestTimeoutMs);
    answered = exchange->wake.wait_until(lock, deadline, [&] { return exchange->answered; });
    if (answered && answer != nullptr) *answer = std::move(exchange->answer);
  }
  remove_entry();
  Count(answered ? requests_answered_ : requests_timed_out_);
  return answered;
}

void Device::CompleteRequest(uint8_t sequence, CommandMessage&& answer) {
  std::shared_ptr<DevRequestResponse> exchange;
  {
    std::lock_guard<std::mutex> lock(pending_mu_);
    auto it = pending_.find(PendingKey(sequence, answer.message_id));
    if (it == pending_.end()) {  // late, foreign or a duplicate
      Count(late_answers_);
      return;
    }
    exchange = it->second;
  }
  {
    std::lock_guard<std::mutex> lock(exchange->mu);
    if (exchange->answered) {
      Count(late_answers_);
      return;
    }
    exchange->answer = std::move(answer);
    exchange->answered = true;
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
