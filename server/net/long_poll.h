// Holding an HTTP answer back: a long-poll that waits for a machine's next
// event (the App answered with `wait_machine`), or a throttled answer (a
// wrong password, `delay_ms`). Either ends at its deadline, at once when
// the Hub wakes it, or when shutdown cuts it short; then `done` runs and
// the connection answers.
//
// Threads: every call, and `done`, on the connection's strand. The Hub's
// wake-up comes from any thread and is posted to that strand; it reaches
// the LongPoll only while `owner` (the session that holds it) lives. One
// wait at a time.

#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "server/net/listener.h"

namespace halvex::server::net {

class LongPoll {
 public:
  explicit LongPoll(const asio::any_io_executor& strand) : strand_(strand), timer_(strand) {}

  // Waits up to `seconds` for an event of `machine`; `done` then runs,
  // after the Hub has forgotten the wait. `done` must hold `owner`, which
  // keeps this LongPoll alive until `done` has run.
  void wait_for_event(Hub& hub, const std::string& machine, int seconds, std::weak_ptr<void> owner,
                      std::function<void()> done);
  // Waits `ms`, then runs `done`, which must keep this LongPoll alive.
  void hold(int64_t ms, std::function<void()> done);
  // Ends the wait now (shutdown): `done` runs at once.
  void cut_short() { timer_.cancel(); }
  bool waiting() const { return waiting_; }

 private:
  asio::any_io_executor strand_;
  asio::steady_timer timer_;
  uint64_t ticket_ = 0;
  bool waiting_ = false;
};

}  // namespace halvex::server::net
