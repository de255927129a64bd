// The answers a push stream (push_stream.h) holds for its client: not yet
// written, the front one being written. A client that does not read must
// not make the server hold more than kMaxPushQueued answers or
// kMaxPushBytes for it, so push() refuses the answer that would pass
// either limit, and the stream then drops the client.
//
// Not thread-safe: a stream uses its queue on its strand only.

#pragma once

#include <cstddef>
#include <deque>
#include <string>

namespace halvex::server::net {

constexpr size_t kMaxPushQueued = 8;
constexpr size_t kMaxPushBytes = 8u << 20;

class PushQueue {
 public:
  // Appends `text`; false (and nothing appended) past a limit.
  bool push(std::string text) {
    if (items_.size() >= kMaxPushQueued || text.size() > kMaxPushBytes - bytes_) return false;
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
  size_t size() const { return items_.size(); }
  size_t bytes() const { return bytes_; }

 private:
  std::deque<std::string> items_;
  size_t bytes_ = 0;
};

}  // namespace halvex::server::net
