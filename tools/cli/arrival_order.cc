#include "tools/cli/arrival_order.h"

#include <algorithm>

namespace tarnlink::cli {

void ArrivalOrder::Add(size_t q, const Received& r) {
  if (q >= queues_.size()) queues_.resize(q + 1);
  queues_[q].push_back(r);
  ++held_;
  max_in_pass_ = pass_read_ ? std::max(max_in_pass_, r.gateway_stamp) : r.gateway_stamp;
  pass_read_ = true;
}

size_t ArrivalOrder::EndPass(std::vector<Received>* out) {
  // A frame read in an earlier pass was in its queue before this pass began,
  // so whatever arrived before it has been read by now, in this pass at the
  // latest; so has whatever arrived before a frame stamped no later.
  const bool all = !pass_read_;
  const bool any = any_before_;
  const uint64_t bound = max_before_;
  FoldPass();
  if (!all && !any) return 0;
  return Emit(all, bound, out);
}

size_t ArrivalOrder::Flush(std::vector<Received>* out) {
  FoldPass();
  return Emit(true, 0, out);
}

void ArrivalOrder::FoldPass() {
  if (!pass_read_) return;
  max_before_ = any_before_ ? std::max(max_before_, max_in_pass_) : max_in_pass_;
  any_before_ = true;
  pass_read_ = false;
}

size_t ArrivalOrder::Emit(bool all, uint64_t bound, std::vector<Received>* out) {
  size_t n = 0;
  for (;;) {
    size_t best = queues_.size();
    for (size_t q = 0; q < queues_.size(); ++q) {
      if (queues_[q].empty()) continue;
      if (best == queues_.size() || queues_[q].front().gateway_stamp < queues_[best].front().gateway_stamp) best = q;
    }
    if (best == queues_.size()) break;
    Received r = queues_[best].front();
    if (!all && r.gateway_stamp > bound) break;
    queues_[best].pop_front();
    --held_;
    r.host_time = std::max(r.host_time, last_host_);
    last_host_ = r.host_time;
    out->push_back(r);
    ++n;
  }
  return n;
}

}  // namespace tarnlink::cli
