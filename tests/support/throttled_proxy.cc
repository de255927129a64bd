#include "tests/support/throttled_proxy.h"

#include <algorithm>
#include <atomic>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace halvex::testing {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;
using Clock = std::chrono::steady_clock;

// Each step forwards at most this much time's worth of bytes, so the rate
// holds at a fine grain rather than in bursts.
constexpr auto kSlice = std::chrono::milliseconds(10);
// The proxy's socket receive buffers. Small, so a client's writes feel the
// rate (and a pause) after little buffering.
constexpr int kReceiveBuffer = 64 * 1024;
// How far a pump may catch up after waking late (timers on a busy machine).
constexpr auto kBurst = std::chrono::milliseconds(200);
// How often a paused pump looks again.
constexpr auto kPausePoll = std::chrono::milliseconds(20);

// One proxied connection. Its two pumps share it; it closes both sockets when
// the last of them lets go.
struct Link {
  explicit Link(asio::io_context& ioc) : client(ioc), upstream(ioc) {}
  tcp::socket client;
  tcp::socket upstream;

  void cut() {
    error_code ignored;
    client.close(ignored);
    upstream.close(ignored);
  }
};

// Forwards one direction of a link at the set rate.
class Pump : public std::enable_shared_from_this<Pump> {
 public:
  Pump(std::shared_ptr<Link> link, bool to_upstream, size_t rate, const std::atomic<bool>* paused)
      : link_(std::move(link)),
        from_(to_upstream ? link_->client : link_->upstream),
        to_(to_upstream ? link_->upstream : link_->client),
        timer_(from_.get_executor()),
        rate_(rate),
        paused_(paused),
        buf_(std::max<size_t>(1, rate * kSlice.count() / 1000)) {}

  void begin() { read(); }

 private:
  void read() {
    if (paused_ != nullptr && paused_->load()) {
      wait_until(Clock::now() + kPausePoll);
      return;
    }
    from_.async_read_some(asio::buffer(buf_), [self = shared_from_this()](error_code e, size_t n) {
      self->forward(e, n);
    });
  }

  void forward(error_code e, size_t n) {
    if (e) {
      // The sender finished: pass the end on, so the other side sees it.
      error_code ignored;
      if (e == asio::error::eof)
        to_.shutdown(tcp::socket::shutdown_send, ignored);
      else
        link_->cut();
      return;
    }
    asio::async_write(to_, asio::buffer(buf_.data(), n),
                      [self = shared_from_this()](error_code we, size_t sent) {
                        if (we) {
                          self->link_->cut();
                          return;
                        }
                        self->sent(sent);
                      });
  }

  // Paces the next read: n bytes at the rate take n/rate after the previous
  // read's slot. A pump that woke late may catch up by at most kBurst; idle
  // time earns no more credit than that, so a quiet link never floods.
  void sent(size_t n) {
    next_ = std::max(next_, Clock::now() - kBurst) +
            std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(static_cast<double>(n) / static_cast<double>(rate_)));
    wait_until(next_);
  }

  void wait_until(Clock::time_point when) {
    timer_.expires_at(when);
    timer_.async_wait([self = shared_from_this()](error_code e) {
      if (!e && self->from_.is_open() && self->to_.is_open()) self->read();
    });
  }

  std::shared_ptr<Link> link_;
  tcp::socket& from_;
  tcp::socket& to_;
  asio::steady_timer timer_;
  size_t rate_;
  const std::atomic<bool>* paused_;  // null: never paused
  std::vector<char> buf_;
  Clock::time_point next_;  // earliest time of the next read
};

}  // namespace

struct ThrottledProxy::Impl {
  Impl(uint16_t up, size_t r, std::chrono::seconds life)
      : upstream_port(up), rate(r), lifetime(life), acceptor(ioc), lifetime_timer(ioc) {}

  // I/O thread from here on.
  void accept() {
    acceptor.async_accept([this](error_code e, tcp::socket socket) {
      if (e) return;  // closed by shutdown()
      auto link = std::make_shared<Link>(ioc);
      link->client = std::move(socket);
      links.push_back(link);
      connect_upstream(link);
      accept();
    });
  }

  void connect_upstream(const std::shared_ptr<Link>& link) {
    error_code e;
    link->upstream.open(tcp::v4(), e);
    if (!e) link->upstream.set_option(asio::socket_base::receive_buffer_size(kReceiveBuffer), e);
    if (e) {
      link->cut();
      return;
    }
    tcp::endpoint to(asio::ip::address_v4::loopback(), upstream_port);
    link->upstream.async_connect(to, [this, link](error_code ce) {
      if (ce || stopping) {
        link->cut();
        return;
      }
      std::make_shared<Pump>(link, true, rate, &paused)->begin();
      std::make_shared<Pump>(link, false, rate, nullptr)->begin();
    });
  }

  void shutdown() {
    stopping = true;
    error_code ignored;
    acceptor.close(ignored);
    lifetime_timer.cancel();
    for (auto& weak : links)
      if (auto link = weak.lock()) link->cut();
    links.clear();
  }

  uint16_t upstream_port;
  size_t rate;
  std::chrono::seconds lifetime;
  asio::io_context ioc;
  tcp::acceptor acceptor;
  asio::steady_timer lifetime_timer;
  std::vector<std::weak_ptr<Link>> links;  // I/O thread only
  bool stopping = false;                   // I/O thread only
  std::atomic<bool> paused{false};
  std::atomic<uint16_t> port{0};
  std::mutex mu;  // guards started and io_thread against concurrent stop()
  bool started = false;
  std::thread io_thread;
};

ThrottledProxy::ThrottledProxy(uint16_t upstream_port, size_t bytes_per_second,
                               std::chrono::seconds lifetime)
    : impl_(std::make_unique<Impl>(upstream_port, bytes_per_second, lifetime)) {}

ThrottledProxy::~ThrottledProxy() { stop(); }

bool ThrottledProxy::start(std::string* error) {
  Impl& p = *impl_;
  tcp::endpoint at(asio::ip::address_v4::loopback(), 0);
  error_code e;
  std::string step = "open";
  p.acceptor.open(at.protocol(), e);
  if (!e) {
    // Set before listen, so accepted sockets inherit it (and its window scale).
    step = "receive buffer";
    p.acceptor.set_option(asio::socket_base::receive_buffer_size(kReceiveBuffer), e);
  }
  if (!e) {
    step = "bind";
    p.acceptor.bind(at, e);
  }
  if (!e) {
    step = "listen";
    p.acceptor.listen(asio::socket_base::max_listen_connections, e);
  }
  if (e) {
    if (error != nullptr) *error = "proxy " + step + ": " + e.message();
    error_code ignored;
    p.acceptor.close(ignored);
    return false;
  }
  p.port = p.acceptor.local_endpoint().port();
  p.accept();
  p.lifetime_timer.expires_after(p.lifetime);
  p.lifetime_timer.async_wait([&p](error_code te) {
    if (!te) p.shutdown();
  });
  std::lock_guard<std::mutex> lock(p.mu);
  p.started = true;
  p.io_thread = std::thread([&p] { p.ioc.run(); });
  return true;
}

uint16_t ThrottledProxy::port() const { return impl_->port; }

void ThrottledProxy::pause_upstream() { impl_->paused = true; }

void ThrottledProxy::resume_upstream() { impl_->paused = false; }

void ThrottledProxy::stop() {
  Impl& p = *impl_;
  std::lock_guard<std::mutex> lock(p.mu);
  if (!p.started || !p.io_thread.joinable()) return;
  asio::post(p.ioc, [&p] { p.shutdown(); });
  // Pumps wake from their pacing timers within a slice and find their
  // sockets closed; then run() has nothing left and returns.
  p.io_thread.join();
}

}  // namespace halvex::testing
