#include "server/net/long_poll.h"

#include <boost/asio/post.hpp>

#include <utility>

namespace halvex::server::net {

void LongPoll::wait_for_event(Hub& hub, const std::string& machine, int seconds,
                              std::weak_ptr<void> owner, std::function<void()> done) {
  waiting_ = true;
  ticket_ = hub.add_waiter(machine, [this, owner = std::move(owner), ex = strand_] {
    asio::post(ex, [this, owner] {
      if (auto alive = owner.lock()) timer_.cancel();
    });
  });
  timer_.expires_after(std::chrono::seconds(seconds));
  timer_.async_wait([this, &hub, done = std::move(done)](const error_code&) {
    waiting_ = false;
    hub.cancel_waiter(ticket_);
    done();
  });
}

void LongPoll::hold(int64_t ms, std::function<void()> done) {
  waiting_ = true;
  timer_.expires_after(std::chrono::milliseconds(ms));
  timer_.async_wait([this, done = std::move(done)](const error_code&) {
    waiting_ = false;
    done();
  });
}

}  // namespace halvex::server::net
