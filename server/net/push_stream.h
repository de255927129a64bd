// Server push to a browser (text/event-stream): once the App answers a
// request with a push (HttpResponse::push), the HTTP session hands its
// connection here. The stream sends that first answer, then a fresh
// answer of the same request each time the Hub says the machine list
// changed, and every kPushRefresh anyway (so a session that ended, ends
// the stream, and "last seen" moves). The answers are the App's: every one
// passes the same session check as the request that opened the stream.
//
// A client that does not read cannot make the server hold more than
// kMaxPushQueued answers (or kMaxPushBytes) for it: past that it is
// dropped (push_queue.h). Writes are asynchronous and time-limited like any reply, so no
// I/O thread ever waits on it; the App runs on the worker pool, one call
// at a time per stream (changes that come meanwhile are folded into one).
//
// Threads: push_start() on the connection's strand; everything after on
// that strand, except App::handle on the workers. Shutdown ends the stream
// through Server::http_closers and through the Hub's waiters.

#pragma once

#include <cstddef>
#include <memory>

#include "server/admin/app.h"
#include "server/net/push_queue.h"
#include "server/net/listener.h"

namespace halvex::server::net {

constexpr std::chrono::seconds kPushRefresh{20};

// Takes over `stream` (whose request `req` the App answered with `first`, a
// push) and streams until the client goes, is dropped, or the server stops.
void push_start(Server* server, Stream&& stream, std::unique_ptr<LiveToken> live, HttpRequest req,
                HttpResponse first, unsigned version);

}  // namespace halvex::server::net
