#include "server/admin/app.h"

#include <gtest/gtest.h>

#include "tests/support/hub_fixture.h"

namespace halvex::server {
namespace {

using namespace halvex::server::testing;

constexpr const char* kToken = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

class AppTest : public HubFixture {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(open(hash_password("pw-alice")));
    app_ = std::make_unique<App>(*hub_, kToken);
  }

  // A machine waiting on a fresh connection with `code`.
  std::pair<Hub::ConnId, std::shared_ptr<FakeSink>> waiting(const std::string& code,
                                                            const std::string& machine,
                                                            const std::string& hostname = "box") {
    auto [id, sink] = connect();
    hub_->on_message(id, pair_request(code, machine, key_, hostname));
    return {id, sink};
  }

  HttpResponse get(const std::string& target, const std::string& auth = "",
                   const std::string& cookie = "") {
    HttpRequest rq{"GET", target, auth, "", "", false};
    rq.cookie = cookie;
    return app_->handle(rq);
  }
  HttpResponse post(const std::string& target, const std::string& body,
                    const std::string& auth = "", const std::string& cookie = "") {
    HttpRequest rq{"POST", target, auth, "application/x-www-form-urlencoded", body, false};
    rq.cookie = cookie;
    return app_->handle(rq);
  }
  static std::string bearer() { return std::string("Bearer ") + kToken; }

  // The Cookie header of a fresh login of alice, through the login form.
  std::string session_cookie() {
    HttpResponse form = get("/login");
    EXPECT_EQ(form.set_cookies.size(), 1u);
    if (form.set_cookies.empty()) return "";
    std::string login = form.set_cookies[0].substr(0, form.set_cookies[0].find(';'));
    HttpResponse in = post(
        "/login",
        "login_token=" + login.substr(login.find('=') + 1) + "&username=alice&password=pw-alice",
        "", login);
    EXPECT_EQ(in.status, 303) << in.body;
    if (in.set_cookies.empty()) return "";
    return in.set_cookies[0].substr(0, in.set_cookies[0].find(';'));
  }

  std::unique_ptr<App> app_;
  Key key_;
};

// The link page of a waiting code, and its form binding the machine.
TEST_F(AppTest, LinkPageAndFormBindTheMachine) {
  for (const char* target : {"/link_service", "/link_service?code=", "/link_service?code=ABC234",
                             "/link_service?code=%3Cb%3E", "/link_service?code=%ZZ"}) {
    HttpResponse r = get(target);
    EXPECT_EQ(r.status, 404) << target;
    EXPECT_NE(r.body.find("unknown or has expired"), std::string::npos) << target;
  }
  auto [id, sink] = waiting("ABC234", "m1", "<img src=x onerror=alert(1)>");
  HttpResponse page = get("/link_service?code=ABC234");
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("<form method=\"post\" action=\"/link_service\">"), std::string::npos);
  EXPECT_NE(page.body.find("name=\"code\" value=\"ABC234\""), std::string::npos);
  EXPECT_NE(page.body.find("type=\"password\""), std::string::npos);

  HttpResponse r = post("/link_service", "code=ABC234&username=alice&password=pw-alice");
  EXPECT_EQ(r.status, 200);
  EXPECT_NE(r.body.find("is now linked to <b>alice</b>"), std::string::npos) << r.body;
  EXPECT_EQ(r.body.find("<img"), std::string::npos);
  EXPECT_NE(r.body.find("&lt;img src=x onerror=alert(1)&gt;"), std::string::npos);
  ASSERT_EQ(sink->sent.size(), 1u);
  EXPECT_EQ(json_get_string(json_parse(sink->sent[0]).get(), "e"), "pair_success");
  EXPECT_EQ(store_->machine("m1")->username, "alice");
  // The code is used up.
  EXPECT_EQ(post("/link_service", "code=ABC234&username=alice&password=pw-alice").status, 404);
}

TEST_F(AppTest, FiveWrongPasswordsEndTheCode) {
  auto [id, sink] = waiting("ABC234", "m1");
  // Bodies that name no code or cannot be read count no failure.
  EXPECT_EQ(post("/link_service", "code=ABC234&password=%G").status, 400);
  EXPECT_EQ(post("/link_service", "username=alice&password=pw-alice").status, 404);
  EXPECT_EQ(app_->handle(HttpRequest{"PUT", "/link_service", "", "", "", false}).status, 405);
  EXPECT_EQ(store_->pending("ABC234", hub_->now())->failures, 0);
  const char* attempts[] = {
      "code=ABC234&username=alice&password=wrong",
      "code=ABC234&username=alice&password=",
      "code=ABC234&username=nobody&password=pw-alice",
      "code=ABC234&username=ALICE&password=pw-alice",
  };
  for (const char* body : attempts) {
    HttpResponse r = post("/link_service", body);
    EXPECT_EQ(r.status, 401) << body;
    EXPECT_NE(r.body.find("Wrong user name or password."), std::string::npos);
    EXPECT_NE(r.body.find("value=\"ABC234\""), std::string::npos);  // the form again
  }
  HttpResponse fifth = post("/link_service", "code=ABC234&username=alice&password=nope");
  EXPECT_EQ(fifth.status, 403);
  EXPECT_NE(fifth.body.find("no longer works"), std::string::npos);
  // Even the right password cannot use it now.
  EXPECT_EQ(post("/link_service", "code=ABC234&username=alice&password=pw-alice").status, 404);
  EXPECT_EQ(get("/link_service?code=ABC234").status, 404);
  EXPECT_TRUE(sink->sent.empty());
  EXPECT_FALSE(store_->machine("m1"));
}

// The console's view of every machine's events: newest first, with the
// time and machine of each, a page at a time, by type.
TEST_F(AppTest, EventsOfAllMachinesWithTimeAndMachine) {
  for (const char* m : {"m1", "m2"}) {
    const std::string code = std::string("ABC23") + (m[1] == '1' ? "4" : "5");
    auto [id, sink] = waiting(code, m, std::string("host-") + m);
    ASSERT_EQ(hub_->approve(code, "alice").status, ApproveStatus::kApproved);
    hub_->on_message(id, R"({"e":"job_error","d":{"error":")" + std::string(300, 'x') + R"("}})");
    hub_->on_message(id, R"({"e":"disk_list","d":{"disks":[]}})");
  }
  const std::string cookie = session_cookie();
  auto call = [&](const std::string& target) { return get(target, "", cookie); };
  HttpResponse root = call("/");
  EXPECT_EQ(root.status, 303);
  EXPECT_EQ(root.location, "/console/");
  // Each machine has pair_success, job_error, disk_list: seqs 1-3 and 4-6.
  const struct {
    std::string query;
    std::string want;  // "seq machine event" of each event, newest first
    bool more;
  } cases[] = {
      {"",
       "6 m2 disk_list,5 m2 job_error,4 m2 pair_success,3 m1 disk_list,2 m1 job_error,"
       "1 m1 pair_success,",
       false},
      {"?before=4", "3 m1 disk_list,2 m1 job_error,1 m1 pair_success,", false},
      {"?type=job_error", "5 m2 job_error,2 m1 job_error,", false},
      {"?type=job_error&before=5", "2 m1 job_error,", false},
      {"?type=nothing", "", false},
  };
  for (const auto& c : cases) {
    HttpResponse r = call("/console/api/events" + c.query);
    ASSERT_EQ(r.status, 200) << c.query;
    Json j = json_parse(r.body);
    std::string got;
    const cJSON* events = json_get(j.get(), "events");
    for (int i = 0; i < json_array_size(events); i++) {
      const cJSON* e = json_array_item(events, i);
      got += std::to_string(json_get_int32(e, "seq")) + " " + json_get_string(e, "machine_id") +
             " " + json_get_string(e, "e") + ",";
      EXPECT_EQ(json_get_number(e, "at"), hub_->now());
      EXPECT_EQ(json_get_string(e, "hostname"), "host-" + json_get_string(e, "machine_id"));
      EXPECT_LE(json_get_string(e, "d").size(), 200u);
      EXPECT_EQ(json_get_bool(e, "cut"), json_get_string(e, "e") == "job_error");
    }
    EXPECT_EQ(got, c.want) << c.query;
    EXPECT_EQ(json_get_bool(j.get(), "more"), c.more) << c.query;
    EXPECT_EQ(json_print(json_get(j.get(), "types")),
              R"(["disk_list","job_error","pair_success"])");
  }
  EXPECT_EQ(call("/console/api/events?before=x").status, 400);
  // 52 events: a full page of 50, then the 2 oldest.
  for (int i = 0; i < 46; i++) store_->add_event("m1", "e", "{}", hub_->now());
  Json page = json_parse(call("/console/api/events").body);
  EXPECT_EQ(json_array_size(json_get(page.get(), "events")), 50);
  EXPECT_TRUE(json_get_bool(page.get(), "more"));
  Json rest = json_parse(call("/console/api/events?before=3").body);
  EXPECT_EQ(json_array_size(json_get(rest.get(), "events")), 2);
  EXPECT_FALSE(json_get_bool(rest.get(), "more"));
  // The admin API's events of one machine carry their time too.
  Json one = json_parse(get("/api/events?machine_id=m1&after=0", bearer()).body);
  EXPECT_EQ(json_get_number(json_array_item(json_get(one.get(), "events"), 0), "at"), hub_->now());
}

TEST_F(AppTest, ApiNeedsTheExactToken) {
  const std::string wrong_last = std::string("Bearer ") + std::string(kToken).substr(0, 63) + "0";
  const std::string cases[] = {"",
                               "Bearer",
                               "Bearer ",
                               std::string("bearer ") + kToken,
                               std::string(kToken),
                               wrong_last,
                               bearer() + "0",
                               bearer().substr(0, bearer().size() - 1),
                               std::string("Basic ") + kToken};
  for (const std::string& auth : cases) {
    HttpResponse r = get("/api/machines", auth);
    EXPECT_EQ(r.status, 401) << auth;
    EXPECT_EQ(r.content_type, "application/json");
  }
  EXPECT_EQ(post("/api/revoke", R"({"machine_id":"m1"})", "").status, 401);
  EXPECT_EQ(get("/api/machines", bearer()).status, 200);
}

// The console's pages and its use of the admin API: a session is needed,
// and anything that changes state needs the session's CSRF token too.
TEST_F(AppTest, ConsoleNeedsASessionAndItsCsrfToken) {
  const std::string cookie = session_cookie();
  HttpResponse s = get("/console/api/session", "", cookie);
  ASSERT_EQ(s.status, 200) << s.body;
  const std::string csrf = json_get_string(json_parse(s.body).get(), "csrf");
  ASSERT_EQ(csrf.size(), 64u);
  const struct {
    const char* method;
    const char* target;
    bool with_cookie;
    const char* csrf;  // the X-CSRF-Token header; "ok" for the session's
    int status;
  } cases[] = {
      {"GET", "/console/", false, "", 303},
      {"GET", "/", false, "", 303},
      {"POST", "/", true, "", 403},
      {"POST", "/", true, "ok", 405},
      {"GET", "/console/machine?id=m1", false, "", 303},
      {"GET", "/console/static/console.js", false, "", 303},
      {"GET", "/console/api/session", false, "", 401},
      {"POST", "/console/", false, "", 403},
      {"GET", "/console/", true, "", 200},
      {"GET", "/console/gallery", true, "", 200},
      {"GET", "/console/static/console.css", true, "", 200},
      {"GET", "/console/nothing", true, "", 404},
      {"POST", "/console/api/session", true, "", 403},
      {"POST", "/console/api/session", true, "ok", 405},
      // The admin API with a session in place of the admin token.
      {"GET", "/api/machines", true, "", 200},
      {"GET", "/api/machines", false, "", 401},
      {"POST", "/api/revoke", true, "", 403},
      {"POST", "/api/revoke", true, "0", 403},
      {"POST", "/api/revoke", false, "ok", 401},
      {"POST", "/api/revoke", true, "ok", 404},  // through to the handler: no such machine
  };
  for (const auto& c : cases) {
    HttpRequest rq{c.method, c.target, "", "application/json", R"({"machine_id":"nobody"})", false};
    if (c.with_cookie) rq.cookie = cookie;
    rq.csrf = std::string(c.csrf) == "ok" ? csrf : c.csrf;
    HttpResponse r = app_->handle(rq);
    EXPECT_EQ(r.status, c.status) << c.method << " " << c.target << " " << c.csrf;
    if (std::string_view(c.target).substr(0, 9) == "/console/" && r.status == 200) {
      EXPECT_NE(r.csp.find("script-src 'self'"), std::string::npos) << c.target;
    }
  }
}

// Only the admin may have a file token made, and only for plain names in
// the files folder.
TEST_F(AppTest, FileTokensOnlyForFileNames) {
  struct Case {
    const char* method;
    std::string body, auth;
    int status;
  };
  const Case cases[] = {
      {"POST", R"({"machine_id":"m1","files":["a.bin","b c.txt"]})", bearer(), 200},
      {"POST", R"({"machine_id":"m1","files":["a.bin"]})", "", 401},
      {"GET", "", bearer(), 405},
      {"POST", R"({"files":["a.bin"]})", bearer(), 400},
      {"POST", R"({"machine_id":"m1","files":[]})", bearer(), 400},
      {"POST", R"({"machine_id":"m1","files":"a.bin"})", bearer(), 400},
      {"POST", R"({"machine_id":"m1","files":["a.bin",7]})", bearer(), 400},
      {"POST", R"({"machine_id":"m1","files":["../server.key"]})", bearer(), 400},
      {"POST", R"({"machine_id":"m1","files":["sub/a.bin"]})", bearer(), 400},
      {"POST", R"({"machine_id":"m1","files":[".."]})", bearer(), 400},
      {"POST", "[]", bearer(), 400},
  };
  for (const Case& c : cases) {
    HttpResponse r = app_->handle(
        HttpRequest{c.method, "/api/file_tokens", c.auth, "application/json", c.body, false});
    EXPECT_EQ(r.status, c.status) << c.method << " " << c.body << ": " << r.body;
  }
}

TEST_F(AppTest, ApiRoundTrip) {
  const std::string auth = bearer();
  // Approve through the API.
  auto [id, sink] = waiting("ABC234", "m1");
  EXPECT_EQ(post("/api/approve", R"({"code":"ABC234","user":"bob"})", auth).status, 404);
  EXPECT_EQ(post("/api/approve", R"({"code":"ZZZ234","user":"alice"})", auth).status, 404);
  EXPECT_EQ(post("/api/approve", "not json", auth).status, 400);
  HttpResponse a = post("/api/approve", R"({"code":"ABC234","user":"alice"})", auth);
  ASSERT_EQ(a.status, 200) << a.body;
  Json aj = json_parse(a.body);
  EXPECT_EQ(json_get_string(aj.get(), "machine_id"), "m1");
  EXPECT_TRUE(json_get_bool(aj.get(), "notified"));

  // Machines.
  Json machines = json_parse(get("/api/machines", auth).body);
  const cJSON* list = json_get(machines.get(), "machines");
  Json first = json_duplicate(list);
  std::string printed = json_print(list);
  EXPECT_NE(printed.find(R"("machine_id":"m1","hostname":"box","user":"alice")"), std::string::npos)
      << printed;
  EXPECT_NE(printed.find(R"("online":true)"), std::string::npos) << printed;

  // Send: good, unknown, malformed, offline.
  EXPECT_EQ(post("/api/send", R"({"machine_id":"m1","e":"list_disks"})", auth).status, 200);
  EXPECT_EQ(sink->sent.back(), R"({"e":"list_disks","d":{}})");
  EXPECT_EQ(post("/api/send", R"({"machine_id":"m2","e":"list_disks"})", auth).status, 404);
  EXPECT_EQ(post("/api/send", R"({"machine_id":"m1","e":"bad name"})", auth).status, 400);
  EXPECT_EQ(get("/api/send", auth).status, 405);

  // Events, then long-poll with nothing new.
  hub_->on_message(id, R"({"e":"disk_list","d":{"disks":[1]}})");
  Json ev = json_parse(get("/api/events?machine_id=m1&after=0", auth).body);
  std::string evs = json_print(json_get(ev.get(), "events"));
  EXPECT_NE(evs.find(R"("e":"pair_success")"), std::string::npos) << evs;
  EXPECT_NE(evs.find(R"("e":"disk_list","d":{"disks":[1]})"), std::string::npos) << evs;
  HttpResponse poll = get("/api/events?machine_id=m1&after=1000&wait=90", auth);
  EXPECT_EQ(poll.wait_machine, "m1");
  EXPECT_EQ(poll.wait_seconds, kMaxLongPollSeconds);
  HttpResponse again = app_->handle(
      HttpRequest{"GET", "/api/events?machine_id=m1&after=1000&wait=90", auth, "", "", true});
  EXPECT_TRUE(again.wait_machine.empty());
  // Nothing after 1000, and where the machine's events end.
  EXPECT_EQ(again.body, "{\"events\":[],\"last_seq\":2,\"more\":false}\n");
  for (const char* bad :
       {"/api/events?after=0", "/api/events?machine_id=m1&after=-1",
        "/api/events?machine_id=m1&max_bytes=0", "/api/events?machine_id=m1&max_bytes=1k",
        "/api/events?machine_id=m1&after=x", "/api/events?machine_id=m1&wait=1s"}) {
    EXPECT_EQ(get(bad, auth).status, 400) << bad;
  }

  // Revoke: closes the connection; the machine is then offline.
  EXPECT_EQ(post("/api/revoke", R"({"machine_id":"m1"})", auth).status, 200);
  EXPECT_EQ(sink->closes, 1);
  EXPECT_EQ(post("/api/send", R"({"machine_id":"m1","e":"list_disks"})", auth).status, 409);
  EXPECT_EQ(post("/api/revoke", R"({"machine_id":"m404"})", auth).status, 404);
  EXPECT_EQ(get("/api/nothing", auth).status, 404);
}

}  // namespace
}  // namespace halvex::server
