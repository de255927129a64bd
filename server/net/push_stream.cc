#include "server/net/push_stream.h"

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include <list>
#include <string>
#include <utility>

#include "core/log.h"
#include "server/net/http_responder.h"

namespace halvex::server::net {
namespace {

class PushStream : public std::enable_shared_from_this<PushStream> {
 public:
  PushStream(Server* server, Stream&& stream, std::unique_ptr<LiveToken> live, HttpRequest req)
      : server_(server),
        stream_(std::move(stream)),
        timer_(stream_.get_executor()),
        live_(std::move(live)),
        req_(std::move(req)) {
    req_.no_wait = true;
  }

  ~PushStream() { unregister(); }

  void start(HttpResponse first, unsigned version) {
    register_closer();
    // No Content-Length: the stream's end is the connection's.
    auto head = std::make_shared<http::response<http::empty_body>>(http::status::ok, version);
    set_reply_headers(*head, first.content_type);
    if (!first.csp.empty()) head->set("Content-Security-Policy", first.csp);
    head->keep_alive(false);
    auto sr = std::make_shared<http::response_serializer<http::empty_body>>(*head);
    beast::get_lowest_layer(stream_).expires_after(kRequestTimeout);
    http::async_write_header(stream_, *sr,
                             [self = shared_from_this(), head, sr](const error_code& ec, size_t) {
                               if (ec) return self->finish();
                               self->writing_ = false;
                               self->write_next();
                             });
    writing_ = true;
    queue(std::move(first.body));
    watch();
    arm_refresh();
  }

 private:
  void register_closer() {
    std::lock_guard<std::mutex> lock(server_->mu);
    auto ex = stream_.get_executor();
    closer_ = server_->http_closers.insert(server_->http_closers.end(), [w = weak_from_this(), ex] {
      asio::post(ex, [w] {
        if (auto s = w.lock()) s->finish();
      });
    });
    registered_ = true;
  }

  void unregister() {
    std::lock_guard<std::mutex> lock(server_->mu);
    if (registered_) server_->http_closers.erase(closer_);
    registered_ = false;
  }

  // The Hub wakes a waiter once; each wake-up registers the next before the
  // App looks, so no change falls between two answers.
  void watch() {
    auto ex = stream_.get_executor();
    ticket_ = server_->hub.add_waiter(kMachineListWaiter, [w = weak_from_this(), ex] {
      asio::post(ex, [w] {
        if (auto s = w.lock()) {
          if (s->gone_) return;
          s->watch();
          s->refresh();
        }
      });
    });
  }

  // The refresh timer is always armed until finish(), and holds the stream
  // alive: nothing else does while it waits for a change.
  void arm_refresh() {
    timer_.expires_after(kPushRefresh);
    timer_.async_wait([self = shared_from_this()](const error_code& ec) {
      if (ec || self->gone_) return;
      self->refresh();
      self->arm_refresh();
    });
  }

  // Asks the App for the request's answer now; one call at a time.
  void refresh() {
    if (server_->stopping) return finish();
    if (asking_) {
      again_ = true;
      return;
    }
    asking_ = true;
    asio::post(server_->workers, [self = shared_from_this()] {
      HttpResponse res = self->server_->app.handle(self->req_);
      asio::post(self->stream_.get_executor(),
                 [self, res = std::move(res)]() mutable { self->on_answer(std::move(res)); });
    });
  }

  void on_answer(HttpResponse res) {
    asking_ = false;
    if (gone_) return;
    if (!res.push || res.status != 200) return finish();  // the session ended
    queue(std::move(res.body));
    if (again_) {
      again_ = false;
      refresh();
    }
  }

  void queue(std::string text) {
    if (gone_) return;
    if (!queue_.push(std::move(text))) {
      log_msg(LOG_WARN, "server: push stream to %s dropped: it does not read",
              live_->address.c_str());
      return finish();
    }
    if (!writing_) write_next();
  }

  void write_next() {
    if (gone_ || queue_.empty()) {
      // Idle between answers: only the App's next answer ends the wait.
      if (!gone_) beast::get_lowest_layer(stream_).expires_never();
      return;
    }
    writing_ = true;
    beast::get_lowest_layer(stream_).expires_after(kRequestTimeout);
    asio::async_write(stream_, asio::buffer(queue_.front()),
                      [self = shared_from_this()](const error_code& ec, size_t) {
                        self->writing_ = false;
                        if (ec) return self->finish();
                        self->queue_.pop();
                        self->write_next();
                      });
  }

  void finish() {
    if (gone_) return;
    gone_ = true;
    server_->hub.cancel_waiter(ticket_);
    timer_.cancel();  // the queue stays: a write in flight may still point into it
    error_code ec;
    beast::get_lowest_layer(stream_).socket().shutdown(tcp::socket::shutdown_both, ec);
    beast::get_lowest_layer(stream_).close();
  }

  Server* server_;
  Stream stream_;
  asio::steady_timer timer_;
  std::unique_ptr<LiveToken> live_;
  HttpRequest req_;
  PushQueue queue_;
  uint64_t ticket_ = 0;
  bool writing_ = false;
  bool asking_ = false;  // the App is working on an answer
  bool again_ = false;   // a change came while it was
  bool gone_ = false;
  std::list<std::function<void()>>::iterator closer_;
  bool registered_ = false;
};

}  // namespace

void push_start(Server* server, Stream&& stream, std::unique_ptr<LiveToken> live, HttpRequest req,
                HttpResponse first, unsigned version) {
  std::make_shared<PushStream>(server, std::move(stream), std::move(live), std::move(req))
      ->start(std::move(first), version);
}

}  // namespace halvex::server::net
