// A TLS WebSocket server on 127.0.0.1 for client tests and benchmarks. It
// accepts any request target, records what clients send, and lets the test
// send text, binary, fragmented and close frames or cut a connection.
//
// Threads: the server runs all socket I/O on one internal I/O thread started
// by start(). Every public method may be called from any thread, including
// from on_message on the I/O thread: sends and closes are handed to the I/O
// thread and queued per connection (at most one write in flight per stream),
// so they return at once and never wait for the network. The wait_* methods
// block the calling thread; never call them from on_message.
//
// Beast, Asio and OpenSSL stay in the .cc file (pimpl), since they dominate
// compile time.

#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace halvex::testing {

class WsTestServer {
 public:
  struct Message {
    int conn;          // connection number, see wait_for_connections()
    bool binary;       // false for a text message
    std::string data;  // the whole message, fragments joined
  };

  // cert_path/key_path: PEM server certificate and key (for example from
  // make_test_pki()). Nothing is read until start().
  WsTestServer(std::string cert_path, std::string key_path);
  ~WsTestServer();  // stop()

  WsTestServer(const WsTestServer&) = delete;
  WsTestServer& operator=(const WsTestServer&) = delete;

  // Loads the certificate and key, listens on 127.0.0.1 on an ephemeral port
  // and starts the I/O thread. On failure returns false, sets *error (when not
  // null) to "context: cause" and leaves nothing running.
  // REQUIRES: start() was not called before.
  bool start(std::string* error);

  // The listening port; 0 before a successful start().
  uint16_t port() const;

  // Sends a close frame (1000) on every connection, waits up to a second for
  // the clients to answer, cuts whatever is left, and joins the I/O thread.
  // Safe to call more than once and without start(). Must not be called from
  // on_message.
  void stop();

  // Connections are numbered 1, 2, ... in the order their WebSocket upgrade
  // completed; a failed TLS handshake or upgrade takes no number. A client
  // may see its handshake succeed a moment before the server has numbered
  // the connection: wait here before sending to a connection just made.
  // Returns true once at least n connections have completed an upgrade in
  // total (open or not), false when the timeout passed first.
  bool wait_for_connections(int n, std::chrono::milliseconds timeout);

  // How many upgraded connections are open now.
  int open_connections() const;

  // Returns true once connection `conn` has been numbered and is gone (closed
  // by either side, or cut), false when the timeout passed first.
  bool wait_for_disconnect(int conn, std::chrono::milliseconds timeout);

  // Every text and binary message received from clients, in arrival order.
  std::vector<Message> messages() const;

  // Waits until at least n messages have arrived in total or the timeout
  // passed, then returns a copy of all of them (check the size).
  std::vector<Message> wait_for_messages(size_t n, std::chrono::milliseconds timeout);

  // The send functions, close() and drop() act on connection `conn`; 0 means
  // the newest open connection. Each returns false when there is no such open
  // connection, and true once the frame is queued (not yet sent). Frames to
  // one connection go out in call order.
  bool send_text(const std::string& data, int conn = 0);
  bool send_binary(const std::string& data, int conn = 0);

  // Sends one message as frames of at most frame_size bytes: the first frame
  // carries the opcode, the rest are continuations, only the last has FIN.
  // REQUIRES: frame_size > 0.
  bool send_fragmented(const std::string& data, size_t frame_size, bool binary = false,
                       int conn = 0);

  // Sends a close frame with `code` and starts the closing handshake; later
  // sends to that connection are dropped.
  bool close(int conn = 0, uint16_t code = 1000);

  // Cuts the TCP connection without a close frame or TLS close_notify.
  void drop(int conn = 0);

  // Optional, set before start(): called on the I/O thread for every text or
  // binary message received, after it has been recorded. It may call the send
  // functions, close() and drop(), but none of the wait_* methods or stop().
  std::function<void(WsTestServer&, int conn, const std::string& data)> on_message;

  // The request target and User-Agent header of the latest upgrade request
  // (empty before the first one).
  std::string last_target() const;
  std::string last_user_agent() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace halvex::testing
