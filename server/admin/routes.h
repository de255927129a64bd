// The route table of the server's HTTP side: each route is a path (exact,
// or a prefix), what its caller must prove, and its handler. App::handle
// finds the first route that matches, checks the caller, and runs the
// handler; a path no route matches is answered 404.
//
// Callers and their proof:
//   kOpen    : nobody is checked here (pairing, login, agents' uploads with
//              their own tokens); the handler decides.
//   kSession : an operator session (the login page's cookie). A GET page
//              without one is sent to the login page, an API answer is
//              401; a request that changes something must carry the
//              session's CSRF token (X-CSRF-Token header).
//   kAdmin   : the admin token (Authorization: Bearer), or an operator
//              session with the same CSRF rule, so the console's pages use
//              the admin API as the command line does.
//
// Pure data and one pure lookup; any thread.

#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "server/admin/app.h"
#include "server/admin/sessions.h"

namespace halvex::server {

enum class RouteAuth { kOpen, kSession, kAdmin };

// What a handler is given: the request, its path and query, and the
// operator session when the caller proved one.
struct RouteCall {
  const HttpRequest& req;
  std::string_view path;
  std::string_view query;
  std::optional<OperatorSession> session;
};

struct Route {
  std::string_view path;
  bool prefix = false;
  RouteAuth auth = RouteAuth::kOpen;
  HttpResponse (App::*handler)(const RouteCall&) = nullptr;
};

// The first route of `table` whose path is `path` (or, for a prefix route,
// starts it); nullptr when none.
const Route* route_find(std::span<const Route> table, std::string_view path);

// Whether a request of `method` changes something, so that a session
// caller must send the CSRF token with it.
bool route_changes_state(std::string_view method);

}  // namespace halvex::server
