// One TLS connection serving HTTP requests until it upgrades or ends: the
// request reader. It reads each request's head first, so the path decides
// how large a body may follow and whether it may be spooled to a file (an
// upload whose declared length does not fit the memory budget for bodies,
// body_budget.h) or is held in memory; asks the App to refuse a bad upload
// before its body is read; serves /files/ itself; upgrades "/ws" to a
// WebSocket session; and runs everything else through App::handle on the
// worker threads, holding the answer back when the App asks for a long-poll
// or a delay. Replies go out through the responder (http_responder.h).
//
// Threads: http_start() is called by the listener on the connection's
// strand; the session's handlers all run there, except App::handle, which
// runs on the Server's worker pool and posts its answer back. Shutdown
// reaches the session through the closer it registers in
// Server::http_closers (posted to the strand). The session owns its stream
// and LiveToken and lives while an operation holds it.

#pragma once

#include <string>

#include "server/net/listener.h"

namespace halvex::server::net {

// Starts the TLS handshake of an accepted connection from `address`.
void http_start(Server* server, tcp::socket&& socket, std::string address);

}  // namespace halvex::server::net
