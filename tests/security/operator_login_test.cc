// The operator's pages and the files folder of the real recovery-server,
// attacked over real TLS: without a session the dashboard shows nothing and
// the files folder serves nothing; the login sets a cookie a script or
// another site cannot use; forms without the session's CSRF token change
// nothing; logout really ends the session; a file opens only with its own
// job's token; and no path leaves the files folder.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "server/admin/console.h"
#include "tests/security/linked_agent.h"

namespace halvex {
namespace {

constexpr const char* kMachine = "0b5e55ed0001";
constexpr const char* kSecret = "TOP-SECRET-FILE-CONTENT";

using Reply = server::ClientReply;

// The reply's Set-Cookie for `name`, whole, and as "NAME=VALUE"; "" when
// it sets none.
std::string set_cookie_of(const Reply& r, const std::string& name) {
  for (const auto& [header, value] : r.headers)
    if (header == "Set-Cookie" && value.rfind(name + "=", 0) == 0) return value;
  return "";
}

std::string cookie_pair(const Reply& r, const std::string& name) {
  std::string c = set_cookie_of(r, name);
  return c.substr(0, c.find(';'));
}

// The last value of header `name` in the reply, "" when it has none.
std::string header_of(const Reply& r, const std::string& name) {
  std::string value;
  for (const auto& [header, v] : r.headers)
    if (header == name) value = v;
  return value;
}

// The value of hidden field `name` in a page.
std::string hidden(const std::string& page, const std::string& name) {
  std::string key = "name=\"" + name + "\" value=\"";
  size_t at = page.find(key);
  if (at == std::string::npos) return "";
  at += key.size();
  return page.substr(at, page.find('"', at) - at);
}

class OperatorLoginTest : public testing::ServerTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(serve());
    namespace fs = std::filesystem;
    fs::create_directories(server_.data() + "/files");
    std::ofstream(server_.data() + "/files/secret.bin") << kSecret;
    std::ofstream(server_.data() + "/files/other.bin") << kSecret;
    fs::create_symlink("../server.db", server_.data() + "/files/db-link");
    // A paired machine, so the dashboard has something to give away.
    ASSERT_TRUE(testing::link_agent(server_, agent_, "LGNTST", "alice"));
  }
  void TearDown() override { agent_.close(); }

  Reply call(const std::string& method, const std::string& target, const std::string& cookie = "",
             const std::string& body = "",
             std::vector<std::pair<std::string, std::string>> headers = {}) {
    server::ClientRequest rq =
        method == "POST" ? server_.form_post(target, body) : server_.request(target);
    rq.method = method;
    rq.cookie = cookie;
    rq.headers = std::move(headers);
    std::string error;
    std::optional<server::ClientReply> r = server::https_request(rq, &error);
    return r ? *r : Reply{-1, "", error};
  }

  // The session cookie ("NAME=VALUE") of a fresh login of alice through
  // the login form.
  std::string session() {
    Reply form = call("GET", "/login");
    Reply r = call(
        "POST", "/login", cookie_pair(form, "__Host-halvex_login"),
        "login_token=" + hidden(form.body, "login_token") + "&username=alice&password=pw-alice");
    EXPECT_EQ(r.status, 303) << r.body;
    return cookie_pair(r, "__Host-halvex_session");
  }

  testing::AgentClient agent_{kMachine};
};

TEST_F(OperatorLoginTest, NothingWithoutASession) {
  const std::string forged = "__Host-halvex_session=" + std::string(64, 'a');
  struct Row {
    const char* method;
    std::string target, cookie;
    int status;
  } rows[] = {
      {"GET", "/", "", 303},
      {"HEAD", "/", "", 303},
      {"GET", "/", forged, 303},
      {"GET", "/", "__Host-halvex_login=" + std::string(64, 'a'), 303},
      {"POST", "/", "", 403},
      {"POST", "/logout", "", 403},
      {"POST", "/logout", forged, 403},
      {"GET", "/files/secret.bin", "", 403},
      {"HEAD", "/files/secret.bin", "", 403},
      {"GET", "/files/secret.bin", forged, 403},
      {"GET", "/files/secret.bin?token=", "", 403},
      {"GET", "/files/secret.bin?token=" + std::string(64, '0'), "", 403},
      {"GET", "/files/../server.db", "", 403},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.method) + " " + row.target + " " + row.cookie);
    Reply r = call(row.method, row.target, row.cookie, "csrf=x");
    EXPECT_EQ(r.status, row.status) << r.body;
    if (row.status == 303) {
      EXPECT_EQ(header_of(r, "Location"), "/login");
    }
    EXPECT_EQ(r.body.find(kMachine), std::string::npos);
    EXPECT_EQ(r.body.find(kSecret), std::string::npos);
    EXPECT_EQ(cookie_pair(r, "__Host-halvex_session"), "");
  }
}

TEST_F(OperatorLoginTest, LoginCookieCsrfAndLogout) {
  // The form and its login token.
  Reply form = call("GET", "/login");
  ASSERT_EQ(form.status, 200);
  const std::string token = hidden(form.body, "login_token");
  const std::string login_cookie = cookie_pair(form, "__Host-halvex_login");
  ASSERT_EQ(token.size(), 64u);
  ASSERT_EQ(login_cookie, "__Host-halvex_login=" + token);

  // Login CSRF: the form without its cookie, the cookie without the form's
  // value, and a wrong password all make no session.
  struct Row {
    std::string cookie, body;
    int status;
  } rows[] = {
      {"", "login_token=" + token + "&username=alice&password=pw-alice", 403},
      {login_cookie, "username=alice&password=pw-alice", 403},
      {login_cookie, "login_token=" + std::string(64, 'b') + "&username=alice&password=pw-alice",
       403},
      {login_cookie, "login_token=" + token + "&username=alice&password=wrong", 401},
      {login_cookie, "login_token=" + token + "&username=nobody&password=pw-alice", 401},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.cookie + " " + row.body);
    Reply r = call("POST", "/login", row.cookie, row.body);
    EXPECT_EQ(r.status, row.status) << r.body;
    EXPECT_EQ(cookie_pair(r, "__Host-halvex_session"), "");
  }

  // The right password: a session cookie scripts and other sites cannot use.
  Reply in = call("POST", "/login", login_cookie,
                  "login_token=" + token + "&username=alice&password=pw-alice");
  ASSERT_EQ(in.status, 303) << in.body;
  EXPECT_EQ(header_of(in, "Location"), "/console/");
  std::string set = set_cookie_of(in, "__Host-halvex_session");
  for (const char* attr : {"; HttpOnly", "; Secure", "; SameSite=Strict", "; Path=/"})
    EXPECT_NE(set.find(attr), std::string::npos) << attr << " missing in " << set;
  const std::string cookie = cookie_pair(in, "__Host-halvex_session");
  ASSERT_EQ(cookie.size(), std::string("__Host-halvex_session=").size() + 64);

  Reply root = call("GET", "/", cookie);
  EXPECT_EQ(root.status, 303);
  EXPECT_EQ(header_of(root, "Location"), "/console/");
  EXPECT_NE(call("GET", "/api/machines", cookie).body.find(kMachine), std::string::npos);
  Reply who = call("GET", "/console/api/session", cookie);
  ASSERT_EQ(who.status, 200);
  EXPECT_EQ(json_get_string(json_parse(who.body).get(), "user"), "alice");
  const std::string csrf = json_get_string(json_parse(who.body).get(), "csrf");
  ASSERT_EQ(csrf.size(), 64u);
  Reply file = call("GET", "/files/secret.bin", cookie);
  EXPECT_EQ(file.status, 200);
  EXPECT_EQ(file.body, kSecret);

  // Forms of the session without its token, or with another, change nothing.
  std::string wrong = csrf;
  wrong[0] = wrong[0] == 'a' ? 'b' : 'a';
  for (const std::string& body :
       {std::string(""), std::string("csrf="), "csrf=" + wrong, "csrf=" + csrf + "0"}) {
    EXPECT_EQ(call("POST", "/logout", cookie, body).status, 403) << body;
    EXPECT_EQ(call("POST", "/", cookie, body).status, 403) << body;
  }
  EXPECT_EQ(call("GET", "/console/", cookie).status, 200);

  // Logout ends the session on the server: the old cookie opens nothing.
  Reply out = call("POST", "/logout", cookie, "csrf=" + csrf);
  EXPECT_EQ(out.status, 303);
  EXPECT_EQ(header_of(out, "Location"), "/login");
  EXPECT_NE(set_cookie_of(out, "__Host-halvex_session").find("Max-Age=0"), std::string::npos);
  Reply after = call("GET", "/console/", cookie);
  EXPECT_EQ(after.status, 303);
  EXPECT_EQ(after.body.find(kMachine), std::string::npos);
  EXPECT_EQ(call("GET", "/files/secret.bin", cookie).status, 403);
  EXPECT_EQ(call("POST", "/logout", cookie, "csrf=" + csrf).status, 403);
}

TEST_F(OperatorLoginTest, FilesOpenWithTheirJobsTokenOnly) {
  const std::string token = server_.file_token({"secret.bin"});
  ASSERT_EQ(token.size(), 64u) << server_.last_output();
  std::string near = token;
  near.back() = near.back() == '0' ? '1' : '0';
  struct Row {
    std::string target;
    int status;
  } rows[] = {
      {"/files/secret.bin?token=" + token, 200},
      {"/files/secret%2Ebin?token=" + token, 200},
      {"/files/secret.bin?token=" + near, 403},
      {"/files/secret.bin?token=" + token.substr(0, 63), 403},
      {"/files/secret.bin?token=" + token + "0", 403},
      {"/files/other.bin?token=" + token, 403},  // another job's file
      {"/files/x/../secret.bin?token=" + token, 403},
      {"/files/secret.bin?tok=" + token, 403},
  };
  for (const Row& row : rows) {
    Reply r = call("GET", row.target);
    EXPECT_EQ(r.status, row.status) << row.target << ": " << r.body;
    EXPECT_EQ(r.body.find(kSecret) != std::string::npos, row.status == 200) << row.target;
  }
  EXPECT_EQ(call("POST", "/files/secret.bin?token=" + token).status, 405);

  // One range is served as a part, so a download resumes; several ranges
  // get the whole file. Every other Range header is console_test's
  // RangeTest table, on the same code.
  const std::string all = kSecret;  // 23 bytes
  struct Part {
    const char* range;
    int status;
    std::string body;  // for 206 and 200
    const char* content_range;
  } parts[] = {
      {"bytes=4-9", 206, "SECRET", "bytes 4-9/23"},
      {"bytes=-7", 206, "CONTENT", "bytes 16-22/23"},
      {"bytes=23-", 416, "", "bytes */23"},
      {"bytes=0-1,4-5", 200, all, ""},
  };
  for (const Part& p : parts) {
    Reply r = call("GET", "/files/secret.bin?token=" + token, "", "", {{"Range", p.range}});
    EXPECT_EQ(r.status, p.status) << p.range;
    if (p.status != 416) {
      EXPECT_EQ(r.body, p.body) << p.range;
    }
    EXPECT_EQ(header_of(r, "Content-Range"), p.content_range) << p.range;
  }

  // Even an operator's session leaves the folder by no path.
  const std::string cookie = session();
  for (const char* target :
       {"/files/../server.db", "/files/%2e%2e/server.db", "/files/%2E%2E%2Fserver.db",
        "/files//etc/passwd", "/files/%2Fetc%2Fpasswd", "/files/db-link",
        "/files/sub/../../server.db", "/files/..%5cserver.db"}) {
    Reply r = call("GET", target, cookie);
    EXPECT_EQ(r.status, 404) << target << ": " << r.body;
    EXPECT_EQ(r.body.find("SQLite"), std::string::npos) << target;
  }
}

// Every reply, a served file or a refused WebSocket handshake as much as a
// page, keeps browsers from caching it, guessing its type, framing it or
// running what it holds.
TEST_F(OperatorLoginTest, EveryReplyCarriesTheSafetyHeaders) {
  const std::string cookie = session();
  struct Row {
    const char* method;
    std::string target, cookie;
    int status;
    bool upgrade = false;
  } rows[] = {
      {"GET", "/login", "", 200},
      {"GET", "/", cookie, 303},
      {"GET", "/console/", cookie, 200},
      {"GET", "/console/api/events", cookie, 200},
      {"GET", "/files/secret.bin", cookie, 200},
      {"HEAD", "/files/secret.bin", cookie, 200},
      {"GET", "/files/secret.bin", "", 403},
      {"GET", "/files/missing.bin", cookie, 404},
      {"POST", "/files/secret.bin", cookie, 405},
      {"GET", "/ws", "", 400, true},  // a WebSocket upgrade without its key
  };
  for (const Row& row : rows) {
    std::vector<std::pair<std::string, std::string>> upgrade;
    if (row.upgrade) upgrade = {{"Connection", "Upgrade"}, {"Upgrade", "websocket"}};
    Reply r = call(row.method, row.target, row.cookie, "", upgrade);
    ASSERT_EQ(r.status, row.status) << row.method << " " << row.target << ": " << r.body;
    EXPECT_EQ(header_of(r, "Cache-Control"), "no-store") << row.method << " " << row.target;
    EXPECT_EQ(header_of(r, "X-Content-Type-Options"), "nosniff") << row.method << " " << row.target;
    EXPECT_EQ(header_of(r, "X-Frame-Options"), "DENY") << row.method << " " << row.target;
    // The console's pages run its own script; every other reply runs none.
    const bool console = row.target.rfind("/console/", 0) == 0;
    EXPECT_EQ(header_of(r, "Content-Security-Policy"),
              console ? std::string(server::kConsoleCsp)
                      : "default-src 'none'; style-src 'unsafe-inline'; form-action 'self'")
        << row.method << " " << row.target;
  }
}

}  // namespace
}  // namespace halvex
