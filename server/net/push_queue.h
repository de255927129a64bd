// The messages a connection holds for its client: not yet written, the
// front one being written. A client that does not read must not make the
// server hold more than a few messages or bytes for it, so push() refuses
// the message that would pass either limit, and the connection then drops
// the client. A push stream (push_stream.h) holds kMaxPushQueued answers
// or kMaxPushBytes; an agent's WebSocket (ws_session.h) kMaxWsQueued
// messages or kMaxWsBytes.
//
// Not thread-safe: a connection uses its queue on its strand only.

#pragma once

#include <cstddef>
#include <deque>
#include <string>

namespace halvex::server::net {

constexpr size_t kMaxPushQueued = 8;
constexpr size_t kMaxPushBytes = 8u << 20;
// An agent reads its link all the time; the operator's commands come one
// request at a time, and the replies to its own messages are small.
constexpr size_t kMaxWsQueued = 1024;
constexpr size_t kMaxWsBytes = 16u << 20;

class PushQueue {
 public:
  explicit PushQueue(size_t max_items = kMaxPushQueued, size_t max_bytes = kMaxPushBytes)
      : max_items_(max_items), max_bytes_(max_bytes) {}

  // Appends `text`; false (and nothing appended) past a limit.
  bool push(std::string text) {
    if (items_.size() >= max_items_ || text.size() > max_bytes_ - bytes_) return false;
    bytes_ += text.size();
    items_.push_back(std::move(text));
    return true;
  }
  bool empty() const { return items_.empty(); }
  // REQUIRES: !empty(). The front stays put until pop(): a write points into it.
  const std::string& front() const { return items_.front(); }
  void pop() {
    bytes_ -= items_.front().size();
    items_.pop_front();
  }
  void clear() {
    items_.clear();
    bytes_ = 0;
  }
  size_t size() const { return items_.size(); }
  size_t bytes() const { return bytes_; }

 private:
  const size_t max_items_, max_bytes_;
  std::deque<std::string> items_;
  size_t bytes_ = 0;
};

}  // namespace halvex::server::net
