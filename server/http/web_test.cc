#include "server/http/web.h"

#include <gtest/gtest.h>

namespace halvex::server {
namespace {

TEST(WebTest, UrlDecode) {
  struct Case {
    const char* in;
    bool plus;
    std::optional<std::string> out;
  } cases[] = {
      {"", true, ""},
      {"abc", true, "abc"},
      {"a+b", true, "a b"},
      {"a+b", false, "a+b"},
      {"%41%62%2b", true, "Ab+"},
      {"%e2%80%94", true, "\u2014"},
      {"%", true, std::nullopt},
      {"%4", true, std::nullopt},
      {"%4g", true, std::nullopt},
      {"%zz", true, std::nullopt},
      {"x%00y", true, std::nullopt},
      {"100%", true, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(url_decode(c.in, c.plus), c.out) << c.in;
}

TEST(WebTest, ParseForm) {
  std::optional<Params> p = parse_form("code=ABC234&username=al+ice&password=p%26w%3D1&&flag");
  ASSERT_TRUE(p);
  EXPECT_EQ(
      *p,
      (Params{{"code", "ABC234"}, {"username", "al ice"}, {"password", "p&w=1"}, {"flag", ""}}));
  EXPECT_EQ(param(*p, "password"), "p&w=1");
  EXPECT_EQ(param(*p, "missing"), std::nullopt);
  EXPECT_EQ(parse_form(""), Params{});
  EXPECT_FALSE(parse_form("a=1&b=%G0"));
  EXPECT_FALSE(parse_form("a%=1"));
  // The first of repeated names wins.
  EXPECT_EQ(param(*parse_form("a=1&a=2"), "a"), "1");
}

TEST(WebTest, SplitTarget) {
  EXPECT_EQ(split_target("/"), std::make_pair(std::string_view("/"), std::string_view()));
  EXPECT_EQ(split_target("/link_service?code=X"),
            std::make_pair(std::string_view("/link_service"), std::string_view("code=X")));
  EXPECT_EQ(split_target("/a?"), std::make_pair(std::string_view("/a"), std::string_view()));
  EXPECT_EQ(split_target("/a?b?c"),
            std::make_pair(std::string_view("/a"), std::string_view("b?c")));
}

TEST(WebTest, HtmlEscape) {
  EXPECT_EQ(html_escape(""), "");
  EXPECT_EQ(html_escape("plain \u2014 text"), "plain \u2014 text");
  EXPECT_EQ(html_escape("<script>alert('x')</script>"),
            "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;");
  EXPECT_EQ(html_escape("\"a\" & b"), "&quot;a&quot; &amp; b");
  EXPECT_EQ(html_escape("&amp;"), "&amp;amp;");
}

TEST(WebTest, UrlEncodeRoundTrips) {
  for (const std::string& s :
       std::vector<std::string>{"", "abc-._~", "a b&c=d/é", "%41", std::string("\x01\xff", 2)}) {
    std::string enc = url_encode(s);
    EXPECT_EQ(enc.find_first_not_of(
                  "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~%"),
              std::string::npos)
        << enc;
    EXPECT_EQ(url_decode(enc, false), s);
  }
}

TEST(WebTest, Validators) {
  struct {
    const char* code;
    bool ok;
  } codes[] = {{"ABC234", true},  {"ZZZZZZ", true},  {"ABC23", false},  {"ABC2345", false},
               {"ABCDEI", false}, {"ABCDE0", false}, {"ABCDE1", false}, {"abc234", false},
               {"ABCDO2", false}, {"", false}};
  for (auto& c : codes) EXPECT_EQ(valid_pair_code(c.code), c.ok) << c.code;

  EXPECT_TRUE(valid_machine_id("0123456789ab"));
  EXPECT_TRUE(valid_machine_id(std::string(64, 'a')));
  EXPECT_FALSE(valid_machine_id(std::string(65, 'a')));
  EXPECT_FALSE(valid_machine_id(""));
  EXPECT_FALSE(valid_machine_id("a/b"));
  EXPECT_FALSE(valid_machine_id("a b"));

  EXPECT_TRUE(valid_event_name("list_disks"));
  EXPECT_TRUE(valid_event_name(std::string(47, 'e')));
  EXPECT_FALSE(valid_event_name(std::string(48, 'e')));
  EXPECT_FALSE(valid_event_name(""));
  EXPECT_FALSE(valid_event_name("a-b"));
}

TEST(WebTest, ParseHostPort) {
  using HP = std::optional<std::pair<std::string, uint16_t>>;
  struct {
    const char* in;
    HP out;
  } cases[] = {
      {"127.0.0.1:8443", HP({"127.0.0.1", 8443})},
      {"127.0.0.1:0", HP({"127.0.0.1", 0})},
      {"[::1]:65535", HP({"::1", 65535})},
      {"localhost:1", HP({"localhost", 1})},
      {"::1:80", std::nullopt},
      {"127.0.0.1", std::nullopt},
      {"127.0.0.1:", std::nullopt},
      {":80", std::nullopt},
      {"127.0.0.1:65536", std::nullopt},
      {"127.0.0.1:8a", std::nullopt},
      {"[]:80", std::nullopt},
      {"[::1:80", std::nullopt},
  };
  for (auto& c : cases) EXPECT_EQ(parse_host_port(c.in), c.out) << c.in;
}

TEST(WebTest, FormatUtc) {
  EXPECT_EQ(format_utc(0), "never");
  EXPECT_EQ(format_utc(1700000000), "2023-11-14 22:13:20 UTC");
}

}  // namespace
}  // namespace halvex::server
