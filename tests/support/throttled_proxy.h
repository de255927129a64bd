// A TCP proxy on 127.0.0.1 that forwards every connection to a loopback port
// at a set rate in each direction, so a test can put a slow uplink (or one
// whose far end stops reading) between a client and a real server. It sees
// only bytes: TLS and WebSocket pass through untouched.
//
// The proxy keeps its own receive buffers small, so the rate shows at the
// client soon instead of after megabytes of kernel buffering. It ends itself
// after `lifetime` even when the test never calls stop().
//
// Threads: one internal I/O thread started by start() and joined by stop().
// Every public method may be called from any thread.
//
// Asio stays in the .cc file.

#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace halvex::testing {

class ThrottledProxy {
 public:
  // Forwards to 127.0.0.1:upstream_port at most bytes_per_second in each
  // direction. REQUIRES: bytes_per_second > 0.
  ThrottledProxy(uint16_t upstream_port, size_t bytes_per_second,
                 std::chrono::seconds lifetime = std::chrono::seconds(120));
  ~ThrottledProxy();  // stop()

  ThrottledProxy(const ThrottledProxy&) = delete;
  ThrottledProxy& operator=(const ThrottledProxy&) = delete;

  // Listens on 127.0.0.1 on an ephemeral port and starts the I/O thread. On
  // failure returns false with *error (when not null) "context: cause".
  // REQUIRES: start() was not called before.
  bool start(std::string* error);

  // The listening port; 0 before a successful start().
  uint16_t port() const;

  // Stops reading what clients send (upstream direction) until
  // resume_upstream(): to the client the far end has stopped reading, and
  // its writes stall once the socket buffers are full.
  void pause_upstream();
  void resume_upstream();

  // Cuts every connection, stops listening and joins the I/O thread. Safe to
  // call more than once and without start().
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace halvex::testing
