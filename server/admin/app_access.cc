// Who may see the operator's pages and the files folder: the login and
// logout pages, the session of a request and its CSRF token, the password
// throttle the login and pairing pages share, and the job tokens of the
// files folder.
//
// The login form is guarded against login CSRF (a page elsewhere signing
// the operator's browser in to another account) by a token that is both in
// the form and in a SameSite=Strict cookie: a form posted from another
// site carries neither the cookie nor the value.

#include <optional>
#include <string>

#include "core/json.h"
#include "core/log.h"
#include "server/admin/app.h"
#include "server/admin/app_replies.h"
#include "server/http/files.h"
#include "server/admin/sessions.h"
#include "server/http/upload_form.h"
#include "server/http/web.h"

namespace halvex::server {
namespace {

// How long a loaded login form can be sent.
constexpr int kLoginFormSeconds = 60 * 60;

// A cookie only this server's pages over HTTPS ever see. max_age < 0 makes
// it last as long as the browser keeps it; 0 deletes it.
std::string cookie_header(std::string_view name, const std::string& value, int max_age) {
  std::string out = std::string(name) + "=" + value + "; Path=/; Secure; HttpOnly; SameSite=Strict";
  if (max_age >= 0) out += "; Max-Age=" + std::to_string(max_age);
  return out;
}

std::string request_cookie(const HttpRequest& req, std::string_view name) {
  return std::string(cookie_value(req.cookie, name).value_or(""));
}

// What new_secret() makes: 64 lower-case hex digits.
bool is_secret(std::string_view text) {
  if (text.size() != 64) return false;
  for (char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

std::string login_form(const std::string& token, const std::string& username,
                       const std::string& message) {
  std::string out;
  if (!message.empty()) out += "<p class=\"err\">" + html_escape(message) + "</p>\n";
  out +=
      "<form method=\"post\" action=\"/login\">\n"
      "<input type=\"hidden\" name=\"login_token\" value=\"" +
      html_escape(token) +
      "\">\n"
      "<p><label>User name <input name=\"username\" autocomplete=\"username\" required value=\"" +
      html_escape(username) +
      "\"></label></p>\n"
      "<p><label>Password <input name=\"password\" type=\"password\" "
      "autocomplete=\"current-password\" "
      "required></label></p>\n"
      "<p><button type=\"submit\">Log in</button></p>\n</form>";
  return out;
}

// The throttle's key of a user name. A form may carry a name of a
// megabyte, and the throttle keeps its keys for a while: a name longer than
// any user's is cut to one byte over, which still names no user.
std::string user_key(const std::string& username) {
  return "user:" + username.substr(0, kMaxUserName + 1);
}

}  // namespace

HttpResponse forbidden_form() {
  return html(403, "Forbidden",
              "<p>This form has expired or was not sent from this server's page. "
              "<a href=\"/console/\">Load the page again</a>.</p>");
}

HttpResponse see_other(const std::string& target) {
  HttpResponse r =
      html(303, "See other", "<p><a href=\"" + html_escape(target) + "\">Continue</a></p>");
  r.location = target;
  return r;
}

int64_t App::password_attempt(const std::string& username, const std::string& peer,
                              int64_t* delay_ms) {
  return throttle_.begin({user_key(username), "addr:" + peer}, steady_ms(), delay_ms);
}

void App::password_ok(const std::string& username, const std::string& peer) {
  throttle_.success(user_key(username));
  throttle_.refund("addr:" + peer);
}

std::optional<OperatorSession> App::session_of(const HttpRequest& req) {
  std::optional<std::string_view> id = cookie_value(req.cookie, kSessionCookie);
  if (!id) return std::nullopt;
  return sessions_.find(*id);
}

std::optional<OperatorSession> App::session_for_post(const HttpRequest& req, const Params& form) {
  std::optional<OperatorSession> s = session_of(req);
  if (!s || !same_secret(param(form, "csrf").value_or(""), s->csrf)) return std::nullopt;
  return s;
}

HttpResponse App::login_page(const HttpRequest& req) {
  if (req.method == "GET" || req.method == "HEAD") {
    if (session_of(req)) return see_other("/console/");
    std::string token = request_cookie(req, kLoginCookie);
    if (!is_secret(token)) token = new_secret();  // a form in another tab keeps working
    HttpResponse r = html(200, "Operator login", login_form(token, "", ""));
    r.set_cookies.push_back(cookie_header(kLoginCookie, token, kLoginFormSeconds));
    return r;
  }
  if (req.method != "POST") return html(405, "Method not allowed", "<p>Use the form.</p>");
  std::optional<Params> form = parse_form(req.body);
  if (!form) return html(400, "Bad request", "<p>The form could not be read.</p>");
  std::string token = request_cookie(req, kLoginCookie);
  if (!same_secret(param(*form, "login_token").value_or(""), token)) return forbidden_form();
  std::string username = param(*form, "username").value_or("");
  std::string password = param(*form, "password").value_or("");
  int64_t delay = 0;
  if (int64_t wait = password_attempt(username, req.peer, &delay)) return too_many(wait);

  std::optional<User> user = login(username, password);
  if (!user) {
    log_msg(LOG_WARN, "web: wrong password on the login page from %s", req.peer.c_str());
    HttpResponse r =
        html(401, "Operator login", login_form(token, username, "Wrong user name or password."));
    r.delay_ms = delay;
    return r;
  }
  password_ok(username, req.peer);
  // Never carry on a session id the browser had before: a planted one
  // would give its planter the new login.
  if (std::optional<std::string_view> old = cookie_value(req.cookie, kSessionCookie))
    sessions_.end(*old);
  OperatorSession s = sessions_.create(user->id, user->name);
  log_msg(LOG_INFO, "web: %s logged in from %s", user->name.c_str(), req.peer.c_str());
  HttpResponse r = see_other("/console/");
  r.set_cookies.push_back(cookie_header(kSessionCookie, s.id, -1));
  r.set_cookies.push_back(cookie_header(kLoginCookie, "", 0));
  return r;
}

HttpResponse App::logout(const HttpRequest& req) {
  if (req.method != "POST")
    return html(405, "Method not allowed", "<p>Use the Log out button.</p>");
  std::optional<OperatorSession> s = session_for_post(req, parse_form(req.body).value_or(Params{}));
  if (!s) return forbidden_form();
  sessions_.end(s->id);
  log_msg(LOG_INFO, "web: %s logged out", s->username.c_str());
  HttpResponse r = see_other("/login");
  r.set_cookies.push_back(cookie_header(kSessionCookie, "", 0));
  return r;
}

std::optional<HttpResponse> App::check_files(std::string_view target, std::string_view cookie) {
  std::optional<std::string_view> id = cookie_value(cookie, kSessionCookie);
  if (id && sessions_.find(*id)) return std::nullopt;
  auto [path, query] = split_target(target);
  std::optional<Params> q = parse_form(query);
  std::string token = q ? param(*q, "token").value_or("") : "";
  std::optional<std::string> name =
      files_is_target(path) ? url_decode(path.substr(kFilesPrefix.size()), false) : std::nullopt;
  // The grant is found by the token's hash: no comparison of the token itself.
  if (!token.empty() && name && hub_.store().file_granted(secret_hash(token), *name, hub_.now()))
    return std::nullopt;
  HttpResponse r;
  r.status = 403;
  r.content_type = "text/plain; charset=utf-8";
  r.body = "Forbidden: this file needs its job's token or an operator login\n";
  return r;
}

HttpResponse App::add_file_token(const HttpRequest& req) {
  if (req.method != "POST") return json_error(405, "use POST");
  Json body = json_parse(req.body);
  if (!json_is_object(body.get())) return json_error(400, "body: not a JSON object");
  std::string machine = json_get_string(body.get(), "machine_id");
  if (!valid_machine_id(machine)) return json_error(400, "machine_id: missing or malformed");
  const cJSON* files = json_get(body.get(), "files");
  int count = json_array_size(files);
  if (!json_is_array(files) || count < 1 || count > kMaxFilesPerToken)
    return json_error(400,
                      "files: expected 1 to " + std::to_string(kMaxFilesPerToken) + " file names");
  std::vector<std::string> names;
  for (int i = 0; i < count; i++) {
    const cJSON* item = json_array_item(files, i);
    if (!json_is_string(item) || !files_valid_name(json_string_value(item)))
      return json_error(400, "files: item " + std::to_string(i) + " is not a file name");
    names.push_back(json_string_value(item));
  }
  std::string token = new_secret();
  int64_t now = hub_.now();
  if (!hub_.store().add_file_grant(secret_hash(token), machine, names, now,
                                   now + kFileTokenSeconds))
    return json_error(500, "file token: the database refused the change");
  Json out = json_object();
  json_add_string(out.get(), "token", token);
  json_add_number(out.get(), "expires", static_cast<double>(now + kFileTokenSeconds));
  return json_reply(200, out.get());
}

}  // namespace halvex::server
