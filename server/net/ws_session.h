// The agents' WebSocket: a connection the HTTP session upgraded at "/ws".
// It registers with the Hub, hands it every whole text message, enforces
// the pre-authentication limits (kAuthDeadline, kMaxPreAuthMessage) and the
// agent message limit, and writes what the Hub sends, one message at a time,
// then a close frame when the Hub or shutdown closes it. A client that lets
// more than kMaxWsQueued messages or kMaxWsBytes (push_queue.h) pile up
// unread is dropped.
//
// Threads: ws_start() is called on the connection's strand; everything the
// session does runs there. The Hub reaches it only through its
// ConnectionSink, which posts to that strand, so the Hub never waits on the
// network. The session owns the stream and the LiveToken; it lives while an
// I/O operation or a timer holds it.

#pragma once

#include <memory>

#include "server/net/listener.h"

namespace halvex::server::net {

// Upgrades `stream` with the request `req` (already read, path "/ws").
void ws_start(Server* server, Stream&& stream, std::unique_ptr<LiveToken> live,
              http::request<http::string_body> req);

}  // namespace halvex::server::net
