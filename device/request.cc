// Pairs command answers with the requests that caused them.
#include <chrono>

#include "device/device.h"

namespace tarnlink {

bool Device::SendRequest(CommandMessage& request, CommandMessage* answer) {
  // Nothing can be sent: fail at once rather than wait for a key.
  if (!transport()) return false;
  // One time-out covers the wait for a key and the wait for the answer.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestTimeoutMs);
  auto exchange = std::make_shared<DevRequestResponse>();
  exchange->request = request;
  switch (requests_.Enter(exchange, deadline)) {
    case RequestTable::Entry::kRefused:
      Count(requests_refused_);
      return false;
    case RequestTable::Entry::kAfterWait:
      Count(requests_delayed_);
      break;
    case RequestTable::Entry::kAtOnce:
      break;
  }
  request.message_id = exchange->message_id;
  const Packet packet = EncodeRequest(request, exchange->sequence);
  if (!SendPacket(packet)) {
    requests_.Leave(exchange, false);
    return false;
  }
  Count(requests_sent_);

  bool answered = false;
  {
    DevRequestResponse& ex = *exchange;
    MutexLock lock(ex.mu);
    while (!ex.answered) {
      if (ex.wake.wait_until(lock.native(), deadline) == std::cv_status::timeout) break;
    }
    answered = ex.answered;
    if (answered && answer != nullptr) *answer = std::move(ex.answer);
  }
  requests_.Leave(exchange, true);
  Count(answered ? requests_answered_ : requests_timed_out_);
  return answered;
}

void Device::CompleteRequest(uint8_t sequence, CommandMessage&& answer) {
  std::shared_ptr<DevRequestResponse> exchange = requests_.Find(sequence, answer.message_id);
  if (!exchange) {  // late, foreign or a duplicate
    Count(late_answers_);
    return;
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
