// What every connection of the server shares, for the files of server/net/
// only: the time limits, the Server (TLS context, I/O context, App and Hub,
// connection caps, the closers shutdown runs) and the LiveToken that counts
// a connection while it is open.
//
// Threads: the listener (listener.cc) accepts on the I/O threads and hands
// each connection to an HttpSession; `mu` guards the counts, the caps and
// `http_closers`, and is taken last (no other lock is taken under it, apart
// from the log's). `stopping` is read from any thread. The Server lives on
// serve()'s stack and outlives every session: serve() joins the I/O and
// worker threads before it returns.

#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <string>

#include "server/admin/app.h"
#include "server/hub/hub.h"
#include "server/net/net.h"
#include "server/net/beast.h"
#include "server/net/body_budget.h"

namespace halvex::server::net {

constexpr std::chrono::seconds kHandshakeTimeout{10};
constexpr std::chrono::seconds kRequestTimeout{30};
// Threads that run the App: each password check holds 64 MiB while it runs.
constexpr int kWorkers = 4;

// Everything connections share.
struct Server {
  App& app;
  Hub& hub;

  // Open HTTP connections, so shutdown can end them (WebSockets are closed
  // through the Hub). Above ioc, so they outlive it: handlers still queued
  // when the server stops are destroyed with ioc, and the sessions they
  // hold unregister here as they go.
  std::mutex mu;
  std::condition_variable cv;
  std::list<std::function<void()>> http_closers;
  int live_sockets = 0;
  std::map<std::string, int> per_address;  // live connections by client address
  int max_connections = kDefaultMaxConnections;
  int max_per_address = kDefaultMaxPerAddress;
  int64_t cap_logged_at = 0;  // steady seconds of the last "connection cap" line

  ssl::context tls{ssl::context::tls_server};  // outlives the sessions too

  asio::io_context ioc;
  tcp::acceptor acceptor{ioc};
  std::atomic<bool> stopping{false};
  std::string files_dir;             // see ServeOptions
  std::string spool_dir;             // see ServeOptions
  std::atomic<uint64_t> spooled{0};  // names spool files
  BodyBudget bodies_in_memory;       // large upload bodies read into memory

  // The accept loop, paused while the process is out of descriptors.
  asio::steady_timer accept_pause{ioc};
  bool accept_failing = false;  // logged once until an accept succeeds

  // Runs App::handle, which may block; last, so it is joined (and its
  // sessions released) before anything above goes.
  asio::thread_pool workers{kWorkers};

  Server(App& a, Hub& h, uint64_t body_memory) : app(a), hub(h), bodies_in_memory(body_memory) {}
};

// Counts a live connection for shutdown and for the caps. Passed from the
// HTTP session to the WebSocket session when a connection upgrades.
struct LiveToken {
  LiveToken(Server* s, std::string addr);
  ~LiveToken();
  Server* server;
  std::string address;
};

}  // namespace halvex::server::net
