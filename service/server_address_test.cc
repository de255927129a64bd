// Which base URL a request's uploads go to.

#include "service/server_address.h"

#include <gtest/gtest.h>

#include "core/json.h"

namespace halvex {
namespace {

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
