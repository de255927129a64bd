// The transport under the WebSocket client: one WebSocket connection over TCP
// or TLS. It knows nothing about events, heartbeats or reconnects; the
// client in link/ws_client builds those on top.
//
// Threads: connect() and read() are called by the connection thread only.
// write_text() and close() may be called from any thread, but never two at
// once (the caller serialises them with its own lock); they may run while a
// read() is blocked. All socket I/O happens on one internal I/O thread owned
// by the transport.

#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace halvex {

struct WsEndpoint {
  bool secure = true;
  std::string host;
  uint16_t port = 443;
  std::string path = "/";
  std::string user_agent;
};

// The step of the opening handshake that failed, so the client can name it.
enum class WsConnectStep {
  kOk,
  kOpen,     // setting up the session (TLS context, trust store)
  kResolve,  // resolving the host name
  kSend,     // TCP connect, TLS handshake and certificate check, request
  kReceive,  // reading the upgrade response
  kUpgrade,  // the server answered but refused the upgrade
};

struct WsConnectResult {
  WsConnectStep step = WsConnectStep::kOk;
  unsigned long code = 0;  // system or library error number
  std::string cause;       // readable cause, e.g. "certificate verify failed"
};

enum class WsReadKind {
  kFragment,  // part of a message; more follows
  kMessage,   // the last part of a message (or a whole one)
  kClose,     // the peer sent a close frame
  kError,     // the connection failed, or close() was called
};

struct WsReadResult {
  WsReadKind kind = WsReadKind::kError;
  size_t bytes = 0;        // bytes stored for kFragment / kMessage
  bool binary = false;     // the message is binary rather than text
  unsigned long code = 0;  // for kError
};

class WsTransport {
 public:
  virtual ~WsTransport() = default;

  // Opens the connection and completes the upgrade. Gives up after about
  // 10 s per step.
  virtual WsConnectResult connect(const WsEndpoint& endpoint) = 0;

  // Blocks until the next piece of a message arrives, storing at most `cap`
  // bytes at `buf`. A message longer than `cap` comes in several pieces.
  virtual WsReadResult read(char* buf, size_t cap) = 0;

  // Sends one whole text message. A slow link is not a dead one: the write
  // fails only when the socket has accepted no byte of it for the write
  // stall limit (WsTransportLimits), however long the whole message takes.
  // On failure *code is set and the connection is dropped.
  virtual bool write_text(const char* data, size_t len, unsigned long* code) = 0;

  // Sends a close frame with status 1000 (if the link is up) and shuts the
  // connection; a blocked read() returns kError. Safe to call more than once.
  virtual void close() = 0;
};

struct WsTransportLimits {
  // How long a write may go without the socket accepting a single byte
  // before it fails. The product keeps the default; tests shorten it.
  std::chrono::milliseconds write_stall = std::chrono::seconds(10);
};

// The real transport (Beast over Asio and OpenSSL on Linux, asynchronous
// WinHTTP on Windows). TLS connections
// verify the peer's chain against the anchors of platform/tls.h, and its
// name against endpoint.host; SNI carries the host name.
std::unique_ptr<WsTransport> ws_transport_create(const WsTransportLimits& limits = {});

}  // namespace halvex
