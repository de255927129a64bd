#include "link/proto.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/json.h"

namespace halvex {
namespace {

// Handlers are plain functions; they record what reached them here.
std::vector<std::string> g_calls;

void record(const char* tag, const cJSON* data) {
  g_calls.push_back(std::string(tag) + ":" + (data == nullptr ? "null" : json_print(data)));
}
void on_a(const cJSON* d) { record("a", d); }
void on_b(const cJSON* d) { record("b", d); }
void on_up(const cJSON* d) { record("up", d); }
void on_down(const cJSON* d) { record("down", d); }

class ProtoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_calls.clear();
    proto_init();
  }
  // Delivers a message and returns what was logged.
  std::string receive(const std::string& text) {
    ::testing::internal::CaptureStderr();
    proto_on_message(text.c_str(), text.size());
    return ::testing::internal::GetCapturedStderr();
  }
};

TEST_F(ProtoTest, DispatchRules) {
  register_handler("list_disks", on_a);
  register_handler("list_disks", on_b);  // never reached: first match wins
  register_handler("other", on_b);

  EXPECT_EQ(receive(R"({"e":"list_disks"})"), "");
  EXPECT_EQ(receive(R"({"e":"list_disks","d":{"x":1}})"), "");
  EXPECT_EQ(receive(R"({"E":"other","D":[1,"s"]})"), "");  // member names ignore case
  EXPECT_EQ(receive(R"({"e":"LIST_DISKS","d":{}})"), "");  // event names don't
  EXPECT_EQ(receive(R"({"e":"other","d":5})"), "");
  EXPECT_EQ(g_calls, (std::vector<std::string>{"a:null", "a:{\"x\":1}", "b:[1,\"s\"]", "b:5"}));
}

TEST_F(ProtoTest, MalformedMessagesAreDroppedQuietlyButInvalidJsonIsLogged) {
  register_handler("x", on_a);
  for (const char* quiet : {R"({"e":3,"d":{}})", R"({"d":{}})", "[1,2]", "7", R"({"e":null})",
                            R"({"e":"_connected"})", R"({"e":"unknown"})"}) {
    EXPECT_EQ(receive(quiet), "") << quiet;
  }
  for (const char* bad : {"", "not json", "{\"e\":\"x\"", "{'e':'x'}"}) {
    std::string log = receive(bad);
    EXPECT_NE(log.find("WARN ] proto: invalid JSON"), std::string::npos) << bad;
  }
  EXPECT_TRUE(g_calls.empty());
}

TEST_F(ProtoTest, TableHoldsSixtyFourNamesOfFortySevenCharacters) {
  std::string long_name(60, 'n');
  register_handler(long_name.c_str(), on_a);
  for (int i = 1; i < kMaxHandlers; i++) register_handler(("h" + std::to_string(i)).c_str(), on_b);
  ::testing::internal::CaptureStderr();
  register_handler("h64", on_a);  // the 65th
  std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("ERROR] proto: too many handlers (max 64)"), std::string::npos) << log;

  receive(R"({"e":"h64"})");
  EXPECT_TRUE(g_calls.empty());
  receive("{\"e\":\"" + long_name + "\"}");
  EXPECT_TRUE(g_calls.empty());
  receive("{\"e\":\"" + long_name.substr(0, 47) + "\"}");
  receive(R"({"e":"h63"})");
  EXPECT_EQ(g_calls, (std::vector<std::string>{"a:null", "b:null"}));
}

TEST_F(ProtoTest, ConnectionSlotsTakeNoTableRowAndLastRegistrationWins) {
  register_handler("_connected", on_a);
  register_handler("_connected", on_up);
  register_handler("_disconnected", on_down);
  for (int i = 0; i < kMaxHandlers; i++) register_handler(("h" + std::to_string(i)).c_str(), on_b);

  ::testing::internal::CaptureStderr();
  proto_on_state(true);
  proto_on_state(false);
  std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(g_calls, (std::vector<std::string>{"up:null", "down:null"}));
  EXPECT_NE(log.find("INFO ] proto: connected"), std::string::npos);
  EXPECT_NE(log.find("INFO ] proto: disconnected"), std::string::npos);
  EXPECT_EQ(log.find("too many"), std::string::npos);  // slots don't count
}

// Which base URL a request's uploads go to.
TEST(JsonRequestTest, BaseUrlChoice) {
  struct Case {
    const char* request;
    const char* expect;
  };
  const Case cases[] = {
      {R"({"direct_url":"https://d","server_url":"https://s"})", "https://d"},
      {R"({"direct_url":7,"server_url":"https://s"})", "https://s"},
      {R"({"direct_url":"","server_url":"https://s"})", ""},  // an empty string still counts
      {R"({"server_url":null})", "https://default"},
      {"[]", "https://default"},
  };
  for (const Case& c : cases) {
    Json d = json_parse(c.request);
    EXPECT_EQ(request_base_url(d.get(), "https://default"), c.expect) << c.request;
  }
}

}  // namespace
}  // namespace halvex
