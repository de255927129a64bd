// How many bytes of upload bodies the server holds in memory at once. An
// upload body is read into memory in one piece when its declared length
// fits what is left of the budget. Otherwise a scan upload is spooled to a
// file and any other goes through the HTTP parser, which holds only the
// bytes that arrived. The one-piece read is about twice as fast as either,
// but a few agents must not be able to make the server hold gigabytes.
//
// Threads: any; take() and release are atomic. A BodyLease belongs to the
// connection that reads the body and gives its bytes back when it is
// released or destroyed, so a connection that dies mid-body returns them.

#pragma once

#include <atomic>
#include <cstdint>

namespace halvex::server::net {

class BodyBudget {
 public:
  explicit BodyBudget(uint64_t limit) : limit_(limit) {}
  BodyBudget(const BodyBudget&) = delete;
  BodyBudget& operator=(const BodyBudget&) = delete;

  // Reserves `bytes`; false, with nothing reserved, when they do not fit
  // in what is left.
  bool take(uint64_t bytes);
  void give_back(uint64_t bytes) { held_.fetch_sub(bytes); }
  uint64_t held() const { return held_.load(); }

 private:
  const uint64_t limit_;
  std::atomic<uint64_t> held_{0};
};

// Bytes reserved from a BodyBudget until released or destroyed.
class BodyLease {
 public:
  BodyLease() = default;
  ~BodyLease() { release(); }
  BodyLease(const BodyLease&) = delete;
  BodyLease& operator=(const BodyLease&) = delete;

  // Releases what is held, then reserves `bytes` of `budget`; false, with
  // nothing held, when they do not fit.
  bool take(BodyBudget& budget, uint64_t bytes);
  void release();
  bool held() const { return budget_ != nullptr; }

 private:
  BodyBudget* budget_ = nullptr;
  uint64_t bytes_ = 0;
};

}  // namespace halvex::server::net
