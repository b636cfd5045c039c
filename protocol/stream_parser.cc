#include "protocol/stream_parser.h"

#include <cstring>

namespace tarnlink {

PacketSlot SlotOfType(uint8_t type) {
  switch (static_cast<PacketType>(type)) {
    case PacketType::kCanData:
      return PacketSlot::kCanData;
    case PacketType::kCanFdData:
      return PacketSlot::kCanFdData;
    case PacketType::kAutoSendEntries:
      return PacketSlot::kAutoSendEntries;
    case PacketType::kChannelReport:
      return PacketSlot::kChannelReport;
    case PacketType::kDeviceText:
      return PacketSlot::kDeviceText;
    case PacketType::kGpsData:
      return PacketSlot::kGpsData;
    case PacketType::kCommand:
      return PacketSlot::kCommand;
    case PacketType::kNotice:
      return PacketSlot::kNotice;
    case PacketType::kNoticeAck:
      return PacketSlot::kNoticeAck;
  }
  return PacketSlot::kOther;
}

void StreamParser::AppendBytes(ByteSpan bytes) {
  if (bytes.empty()) return;
  const size_t n = bytes.size();
  if (counters_ != nullptr) StreamCounters::Add(counters_->bytes_received, n);
  // Move the unconsumed tail to the front once the consumed prefix is at
  // least as long as it. Every byte moved is paid for by a consumed byte, so
  // appending stays O(len) amortised, and the buffer never holds more than
  // twice the unconsumed bytes plus this chunk.
  if (head_ > 0 && head_ >= buf_.size() - head_) {
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
    // Rebuilt from the new head_ on demand; paid for like the move.
    xor_.clear();
  }
  buf_.insert(buf_.end(), bytes.begin(), bytes.end());
}

size_t StreamParser::NextPacket() {
  const uint8_t* base = buf_.data();
  const size_t end = buf_.size();
  // A loop, not recursion: a long run of rejected start bytes must not grow
  // the stack. Each turn either returns or advances head_.
  for (;;) {
    if (head_ < end) {
      const void* start = std::memchr(base + head_, kStartByte, end - head_);
      const size_t from = head_;
      head_ = start == nullptr ? end : static_cast<size_t>(static_cast<const uint8_t*>(start) - base);
      CountSkipped(head_ - from);
    }
    const size_t avail = end - head_;
    if (avail < kMinPacketSize) return 0;
    const uint8_t* p = base + head_;
    if (HeaderIsValid(p, avail)) {
      const size_t total = size_t{LoadBe16(p + 4)} + kMinPacketSize;
      // A header that looks right waits for its whole packet, however long.
      if (avail < total) return 0;
      if (ChecksumMatches(total)) {
        if (rescanning_ && (clean_run_ += total) >= kMaxPacketSize) {
          rescanning_ = false;
          std::vector<uint8_t>().swap(xor_);
        }
        if (counters_ != nullptr) StreamCounters::Add(counters_->packets[static_cast<size_t>(SlotOfType(p[1]))], 1);
        return total;
      }
      clean_run_ = 0;
      if (counters_ != nullptr) StreamCounters::Add(counters_->bad_checksums, 1);
    }
    // Drop only the rejected start byte: a genuine packet may begin inside
    // the bytes it claimed.
    ++head_;
    CountSkipped(1);
  }
}

bool StreamParser::ChecksumMatches(size_t total) {
  const uint8_t* p = buf_.data() + head_;
  if (!rescanning_) {
    if (PacketChecksum(p, total - 1) == p[total - 1]) return true;
    rescanning_ = true;
    return false;
  }
  // The packet checks out when the XOR of all its bytes, checksum included,
  // is zero: equal prefix values at both ends.
  if (xor_.empty()) {
    xor_from_ = head_;
    xor_.push_back(0);
  }
  const size_t begin = head_ - xor_from_;
  const size_t end = begin + total;
  if (xor_.size() <= end) {
    size_t i = xor_.size();
    xor_.resize(end + 1);
    const uint8_t* bytes = buf_.data() + xor_from_;
    uint8_t x = xor_[i - 1];
    for (; i <= end; ++i) {
      x ^= bytes[i - 1];
      xor_[i] = x;
    }
  }
  return xor_[begin] == xor_[end];
}

size_t StreamParser::ExtractPackets(std::vector<PacketView>& out) {
  out.clear();
  while (const size_t size = NextPacket()) {
    out.push_back(PacketView{buf_.data() + head_, size});
    head_ += size;
  }
  return out.size();
}

void StreamParser::Reset() {
  buf_.clear();
  head_ = 0;
  rescanning_ = false;
  clean_run_ = 0;
  xor_from_ = 0;
  std::vector<uint8_t>().swap(xor_);
}

size_t PeerParsers::Feed(std::string_view peer, ByteSpan bytes, std::vector<PacketView>& out) {
  ++uses_;
  auto it = held_.find(peer);
  if (it == held_.end()) {
    // The common case, a chunk of whole packets, holds nothing afterwards.
    scratch_.Reset();
    scratch_.AppendBytes(bytes);
    const size_t n = scratch_.ExtractPackets(out);
    if (scratch_.Buffered() == 0) return n;
    if (limit_ != 0 && held_.size() >= limit_) {
      auto quietest = held_.begin();
      for (auto h = held_.begin(); h != held_.end(); ++h) {
        if (h->second.last_use < quietest->second.last_use) quietest = h;
      }
      held_.erase(quietest);
    }
    // The views stay valid: the buffer moves with its storage.
    State& held = held_[std::string(peer)];
    held.parser = std::move(scratch_);
    held.last_use = uses_;
    scratch_ = StreamParser{counters_};
    return n;
  }
  StreamParser& parser = it->second.parser;
  parser.AppendBytes(bytes);
  const size_t n = parser.ExtractPackets(out);
  it->second.last_use = uses_;
  if (parser.Buffered() == 0) {
    // Nothing pending: the state goes, its storage (which the views point
    // into) becomes the scratch parser's.
    std::swap(scratch_, parser);
    held_.erase(it);
  }
  return n;
}

void PeerParsers::End(std::string_view peer) {
  const auto it = held_.find(peer);
  if (it != held_.end()) held_.erase(it);
}

void PeerParsers::Clear() {
  held_.clear();
  scratch_ = StreamParser{counters_};
}

}  // namespace tarnlink
