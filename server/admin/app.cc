#include "server/admin/app.h"

#include <sodium.h>

#include <charconv>
#include <chrono>

#include "core/json.h"
#include "core/log.h"
#include "core/util.h"
#include "server/admin/routes.h"
#include "server/admin/app_replies.h"
#include "server/http/upload_form.h"
#include "server/uploads/uploads.h"
#include "server/http/web.h"

namespace halvex::server {

std::string page(const std::string& title, const std::string& body) {
  return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"><title>" +
         html_escape(title) +
         "</title><style>body{font-family:sans-serif;margin:2em;max-width:60em}"
         "table{border-collapse:collapse}td,th{border:1px solid #ccc;padding:.3em "
         ".6em;text-align:left}"
         ".on{color:#080}.off{color:#888}.err{color:#b00}code{word-break:break-all}</style></"
         "head><body><h1>" +
         html_escape(title) + "</h1>\n" + body + "\n</body></html>\n";
}

HttpResponse html(int status, const std::string& title, const std::string& body) {
  HttpResponse r;
  r.status = status;
  r.body = page(title, body);
  return r;
}

namespace {

std::optional<int64_t> to_int(std::string_view text) {
  int64_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return v;
}

Json machine_json(const Machine& m, bool online) {
  Json o = json_object();
  json_add_string(o.get(), "machine_id", m.machine_id);
  json_add_string(o.get(), "hostname", m.hostname);
  json_add_string(o.get(), "user", m.username);
  json_add_number(o.get(), "user_id", static_cast<double>(m.user_id));
  json_add_bool(o.get(), "online", online);
  json_add_number(o.get(), "last_seen", static_cast<double>(m.last_seen));
  json_add_bool(o.get(), "revoked", m.revoked);
  json_add_string(o.get(), "platform", m.platform);
  json_add_string(o.get(), "version", m.version);
  return o;
}

// {"events": [{"seq", "at", "e", "d"}...], "last_seq": N, "more": B}, written out directly: the
// stored payloads are JSON the hub printed, so they go in as they are,
// neither parsed nor copied into a tree (a page may hold 64 MiB).
std::string events_reply(const std::vector<StoredEvent>& events, int64_t last_seq, bool more) {
  size_t total = 64;
  for (const StoredEvent& e : events) total += e.data.size() + e.name.size() + 48;
  std::string out;
  out.reserve(total);
  out += "{\"events\":[";
  for (size_t i = 0; i < events.size(); i++) {
    const StoredEvent& e = events[i];
    out += i ? ",{\"seq\":" : "{\"seq\":";
    out += std::to_string(e.seq) + ",\"at\":" + std::to_string(e.at) + ",\"e\":";
    json_write_string(&out, e.name);
    out += ",\"d\":";
    out += e.data.empty() ? "{}" : e.data;
    out += "}";
  }
  out += "],\"last_seq\":" + std::to_string(last_seq) + ",\"more\":" + (more ? "true" : "false") +
         "}\n";
  return out;
}

std::string link_form(const std::string& code, const std::string& message) {
  std::string out;
  if (!message.empty()) out += "<p class=\"err\">" + html_escape(message) + "</p>\n";
  out += "<p>Sign in to link the machine waiting with code <b>" + html_escape(code) +
         "</b> to your account.</p>\n"
         "<form method=\"post\" action=\"/link_service\">\n"
         "<input type=\"hidden\" name=\"code\" value=\"" +
         html_escape(code) +
         "\">\n"
         "<p><label>User name <input name=\"username\" autocomplete=\"username\" "
         "required></label></p>\n"
         "<p><label>Password <input name=\"password\" type=\"password\" "
         "autocomplete=\"current-password\" "
         "required></label></p>\n"
         "<p><button type=\"submit\">Link machine</button></p>\n</form>";
  return out;
}

// Shown instead of the form when the code's machine id is paired already
// and the machine has not proved its key: a user's password must not be
// enough to take over somebody's machine.
HttpResponse rekey_page(const std::string& code, const std::string& machine_id) {
  return html(409, "Operator approval needed",
              "<p>The machine <code>" + html_escape(machine_id) +
                  "</code> is already linked (or its key was withdrawn), and this pairing request "
                  "did not prove "
                  "its stored key. Only the server's operator can link it with a new key, with "
                  "<code>recovery-server "
                  "approve " +
                  html_escape(code) + " --user NAME --rekey</code>.</p>");
}

}  // namespace

int64_t steady_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

HttpResponse too_many(int64_t wait_ms) {
  int seconds = static_cast<int>((wait_ms + 999) / 1000);
  HttpResponse r = html(429, "Too many attempts",
                        "<p>Too many wrong attempts from here or for this user. Try again in " +
                            std::to_string(seconds) + " s.</p>");
  r.retry_after = seconds;
  return r;
}

namespace {

HttpResponse unknown_code() {
  return html(404, "Pairing code not found",
              "<p>This pairing code is unknown or has expired. Start the pairing again from the "
              "Halvex Service on your machine to get a new one.</p>");
}

}  // namespace

bool App::authorized(const HttpRequest& req) const {
  static constexpr std::string_view kBearer = "Bearer ";
  std::string_view h = req.authorization;
  if (admin_token_.empty() || h.substr(0, kBearer.size()) != kBearer) return false;
  std::string_view token = h.substr(kBearer.size());
  if (token.size() != admin_token_.size()) return false;
  return sodium_memcmp(token.data(), admin_token_.data(), token.size()) == 0;
}

std::optional<HttpResponse> App::check_head(std::string_view method, std::string_view target) {
  auto [path, query] = split_target(target);
  if (uploads_ && Uploads::is_upload_path(path)) return uploads_->check_head(method, path, query);
  return std::nullopt;
}

std::optional<User> App::login(const std::string& username, const std::string& password) {
  std::call_once(dummy_once_, [this] {
    uint8_t raw[16];
    randombytes_buf(raw, sizeof raw);
    dummy_hash_ = hash_password(std::string(reinterpret_cast<const char*>(raw), sizeof raw));
  });
  std::optional<User> user = hub_.store().find_user(username);
  // An unknown name costs the same hashing as a known one, so the answer's
  // timing does not tell which names exist.
  bool ok = check_password(user ? user->password_hash : dummy_hash_, password);
  if (!user || !ok) return std::nullopt;
  return user;
}

// The routes, in the order they are tried. A friend of App, so the table
// can name its private handlers.
struct AppRoutes {
  static constexpr RouteAuth kOpen = RouteAuth::kOpen, kSession = RouteAuth::kSession,
                             kAdmin = RouteAuth::kAdmin;
  static constexpr Route kTable[] = {
      {"/upload_chunk", false, kOpen, &App::upload},
      {"/upload_chunk_status", false, kOpen, &App::upload},
      {"/api/remote/scanned_chunk", false, kOpen, &App::upload},
      {"/api/remote/video_thumbnail", false, kOpen, &App::upload},
      {"/api/machines", false, kAdmin, &App::api_machines},
      {"/api/events", false, kAdmin, &App::api_events},
      {"/api/send", false, kAdmin, &App::api_post},
      {"/api/approve", false, kAdmin, &App::api_post},
      {"/api/revoke", false, kAdmin, &App::api_post},
      {"/api/file_tokens", false, kAdmin, &App::file_tokens},
      {"/api/images", true, kAdmin, &App::api_uploads},
      {"/api/scans", true, kAdmin, &App::api_uploads},
      {"/api/", true, kAdmin, &App::api_unknown},
      {"/link_service", false, kOpen, &App::link_route},
      {"/login", false, kOpen, &App::login_route},
      {"/logout", false, kOpen, &App::logout_route},
      {"/", false, kSession, &App::root},
      {"/console/", true, kSession, &App::console},
  };
};

HttpResponse App::handle(const HttpRequest& req) {
  auto [path, query] = split_target(req.target);
  const Route* route = route_find(AppRoutes::kTable, path);
  if (!route) return html(404, "Not found", "<p>There is nothing here.</p>");
  RouteCall call{req, path, query, std::nullopt};
  const bool changes = route_changes_state(req.method);
  if (route->auth == RouteAuth::kAdmin && !authorized(req)) {
    call.session = session_of(req);
    if (!call.session) return json_error(401, "admin token missing or wrong");
    if (changes && !same_secret(req.csrf, call.session->csrf))
      return json_error(403, "csrf token missing or wrong");
  }
  if (route->auth == RouteAuth::kSession) {
    call.session = session_of(req);
    const bool api = path.find("/api/") != std::string_view::npos;
    if (!call.session) {
      if (api) return json_error(401, "operator login needed");
      return changes ? forbidden_form() : see_other("/login");
    }
    if (changes && !same_secret(req.csrf, call.session->csrf)) {
      return api ? json_error(403, "csrf token missing or wrong") : forbidden_form();
    }
  }
  return (this->*route->handler)(call);
}

HttpResponse App::upload(const RouteCall& c) {
  if (!uploads_) return html(404, "Not found", "<p>There is nothing here.</p>");
  return uploads_->handle_upload(c.req, c.path, c.query);
}

HttpResponse App::link_route(const RouteCall& c) { return link_page(c.req, c.query); }
HttpResponse App::login_route(const RouteCall& c) { return login_page(c.req); }
HttpResponse App::logout_route(const RouteCall& c) { return logout(c.req); }
HttpResponse App::file_tokens(const RouteCall& c) { return add_file_token(c.req); }

// The console is the operator's start page. The route asks for a session,
// so a caller without one is sent to the login page.
HttpResponse App::root(const RouteCall& c) {
  if (c.req.method == "GET" || c.req.method == "HEAD") return see_other("/console/");
  return html(405, "Method not allowed", "<p>Use GET.</p>");
}

HttpResponse App::link_page(const HttpRequest& req, std::string_view query) {
  Store& store = hub_.store();
  if (req.method == "GET" || req.method == "HEAD") {
    std::optional<Params> q = parse_form(query);
    std::string code = q ? param(*q, "code").value_or("") : "";
    // Looking codes up is limited per address, so the page cannot be used to
    // find codes that wait.
    const std::string key = "codes:" + req.peer;
    if (int64_t wait = throttle_.wait_ms(key, steady_ms())) return too_many(wait);
    std::optional<PendingPair> pending = store.pending(code, hub_.now());
    if (!pending) {
      HttpResponse r = unknown_code();
      r.delay_ms = throttle_.failure(key, steady_ms());
      return r;
    }
    if (hub_.needs_rekey(code)) return rekey_page(code, pending->machine_id);
    return html(200, "Link your machine", link_form(code, ""));
  }
  if (req.method != "POST") return html(405, "Method not allowed", "<p>Use the form.</p>");
  std::optional<Params> form = parse_form(req.body);
  if (!form) return html(400, "Bad request", "<p>The form could not be read.</p>");
  std::string code = param(*form, "code").value_or("");
  std::string username = param(*form, "username").value_or("");
  std::string password = param(*form, "password").value_or("");
  std::optional<PendingPair> pending = store.pending(code, hub_.now());
  if (!pending) {
    HttpResponse r = unknown_code();
    r.delay_ms = throttle_.failure("codes:" + req.peer, steady_ms());
    return r;
  }
  int64_t delay = 0;
  if (int64_t wait = password_attempt(username, req.peer, &delay)) return too_many(wait);

  std::optional<User> user = login(username, password);
  if (!user) {
    int failures = store.add_pending_failure(code);
    log_msg(LOG_WARN, "pair: wrong password for code %s (%d of %d)", code.c_str(), failures,
            kMaxPairFailures);
    HttpResponse r;
    if (failures == 0) {
      r = unknown_code();
    } else if (failures >= kMaxPairFailures) {
      store.delete_pending(code);
      r = html(
          403, "Pairing code ended",
          "<p>Too many wrong passwords: this pairing code no longer works. Start the pairing again "
          "from the Halvex Service on your machine.</p>");
    } else {
      r = html(401, "Link your machine", link_form(code, "Wrong user name or password."));
    }
    r.delay_ms = delay;
    return r;
  }
  password_ok(username, req.peer);
  ApproveResult a = hub_.approve(code, user->name);
  if (a.status == ApproveStatus::kNeedsRekey) return rekey_page(code, a.machine_id);
  if (a.status != ApproveStatus::kApproved) return unknown_code();
  return html(200, "Machine linked",
              "<p>The machine <b>" + html_escape(pending->hostname) + "</b> (<code>" +
                  html_escape(a.machine_id) + "</code>) is now linked to <b>" +
                  html_escape(a.username) +
                  "</b>. You can close this page.</p><p><a href=\"/console/\">Console</a></p>");
}

HttpResponse App::api_uploads(const RouteCall& c) {
  if (uploads_) {
    if (std::optional<HttpResponse> r = uploads_->handle_admin(c.req, c.path, c.query))
      return std::move(*r);
  }
  return api_unknown(c);
}

HttpResponse App::api_unknown(const RouteCall& c) {
  if (c.req.method != "POST") return json_error(404, "no such API");
  Json body = json_parse(c.req.body);
  if (!json_is_object(body.get())) return json_error(400, "body: not a JSON object");
  return json_error(404, "no such API");
}

Json App::machines_json() {
  std::set<std::string> online = hub_.online();
  Json list = json_array();
  for (const Machine& m : hub_.store().machines())
    json_append(list.get(), machine_json(m, online.count(m.machine_id) > 0));
  Json body = json_object();
  json_add_item(body.get(), "machines", std::move(list));
  return body;
}

HttpResponse App::api_machines(const RouteCall& c) {
  if (c.req.method != "GET") return json_error(405, "use GET");
  return json_reply(200, machines_json().get());
}

HttpResponse App::api_events(const RouteCall& c) {
  const HttpRequest& req = c.req;
  if (req.method != "GET") return json_error(405, "use GET");
  Store& store = hub_.store();
  std::optional<Params> q = parse_form(c.query);
  if (!q) return json_error(400, "query: malformed");
  std::string machine = param(*q, "machine_id").value_or("");
  std::optional<int64_t> after = to_int(param(*q, "after").value_or("0"));
  std::optional<int64_t> wait = to_int(param(*q, "wait").value_or("0"));
  std::optional<int64_t> budget =
      to_int(param(*q, "max_bytes").value_or(std::to_string(kDefaultEventPageBytes)));
  if (!valid_machine_id(machine)) return json_error(400, "machine_id: missing or malformed");
  if (!after || *after < 0) return json_error(400, "after: not a sequence number");
  if (!wait || *wait < 0) return json_error(400, "wait: not a number of seconds");
  if (!budget || *budget < 1) return json_error(400, "max_bytes: not a number of bytes");
  bool more = false;
  std::vector<StoredEvent> events =
      store.events_after(machine, *after, kMaxEventsPerReply,
                         std::min(static_cast<uint64_t>(*budget), kMaxEventPageBytes), &more);
  if (events.empty() && *wait > 0 && !req.no_wait) {
    HttpResponse r;
    r.wait_machine = machine;
    r.wait_seconds = static_cast<int>(std::min<int64_t>(*wait, kMaxLongPollSeconds));
    return r;
  }
  // last_seq lets a client start following after everything stored so
  // far; more says a next page (after the last event here) is waiting.
  HttpResponse r;
  r.content_type = "application/json";
  r.body = events_reply(events, store.last_event_seq(machine), more);
  return r;
}

HttpResponse App::api_post(const RouteCall& c) {
  if (c.req.method != "POST") return json_error(405, "use POST");
  Json body = json_parse(c.req.body);
  if (!json_is_object(body.get())) return json_error(400, "body: not a JSON object");
  const std::string_view path = c.path;

  if (path == "/api/send") {
    std::string machine = json_get_string(body.get(), "machine_id");
    std::string event = json_get_string(body.get(), "e");
    if (!valid_machine_id(machine)) return json_error(400, "machine_id: missing or malformed");
    if (!valid_event_name(event)) return json_error(400, "e: missing or not an event name");
    switch (hub_.send(machine, event, json_get(body.get(), "d"))) {
      case SendStatus::kSent: {
        Json out = json_object();
        json_add_bool(out.get(), "sent", true);
        return json_reply(200, out.get());
      }
      case SendStatus::kOffline:
        return json_error(409, "machine " + machine + ": offline");
      case SendStatus::kUnknownMachine:
        return json_error(404, "machine " + machine + ": unknown");
    }
  }

  if (path == "/api/approve") {
    std::string code = json_get_string(body.get(), "code");
    std::string user = json_get_string(body.get(), "user");
    bool rekey = json_get_bool(body.get(), "rekey");
    ApproveResult a = hub_.approve(code, user, rekey);
    switch (a.status) {
      case ApproveStatus::kApproved: {
        Json out = json_object();
        json_add_string(out.get(), "machine_id", a.machine_id);
        json_add_string(out.get(), "user", a.username);
        json_add_number(out.get(), "user_id", static_cast<double>(a.user_id));
        json_add_bool(out.get(), "notified", a.notified);
        return json_reply(200, out.get());
      }
      case ApproveStatus::kUnknownCode:
        return json_error(404, "code " + code + ": unknown or expired");
      case ApproveStatus::kUnknownUser:
        return json_error(404, "user " + user + ": unknown");
      case ApproveStatus::kStoreFailed:
        return json_error(500, "approve: the database refused the change");
      case ApproveStatus::kNeedsRekey:
        return json_error(
            409, "machine " + a.machine_id +
                     ": already paired (or revoked) and the request did not prove its key; "
                     "approve with --rekey to replace its key");
    }
  }

  // /api/revoke
  std::string machine = json_get_string(body.get(), "machine_id");
  if (!hub_.revoke(machine)) return json_error(404, "machine " + machine + ": unknown");
  Json out = json_object();
  json_add_string(out.get(), "machine_id", machine);
  json_add_bool(out.get(), "revoked", true);
  return json_reply(200, out.get());
}

}  // namespace halvex::server
