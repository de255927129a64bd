#include <gtest/gtest.h>

#include "link/ws_client.h"

namespace halvex {
namespace {

TEST(WsUrlTest, ParsesSchemesHostsPortsAndPaths) {
  struct Case {
    const char* url;
    bool secure;
    const char* host;
    uint16_t port;
    const char* path;
  };
  const Case cases[] = {
      {"wss://example.com/ws", true, "example.com", 443, "/ws"},
      {"ws://example.com:8080", false, "example.com", 8080, "/"},
      {"wss://localhost:8443/ws", true, "localhost", 8443, "/ws"},
      {"wss://h/a:b/c", true, "h", 443, "/a:b/c"},  // ':' after the first '/' is path
      {"ws://h:81x/p", false, "h", 81, "/p"},       // digits up to the first other character
      {"wss://[::1]:8443/ws", true, "[::1]", 8443, "/ws"},
      {"wss://[::1]/ws", true, "[::1]", 443, "/ws"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    std::optional<WsUrl> u = ws_parse_url(c.url);
    ASSERT_TRUE(u.has_value());
    EXPECT_EQ(u->secure, c.secure);
    EXPECT_EQ(u->host, c.host);
    EXPECT_EQ(u->port, c.port);
    EXPECT_EQ(u->path, c.path);
  }
}

TEST(WsUrlTest, RejectsWhatCannotBeConnectedTo) {
  std::string long_host = "wss://" + std::string(256, 'h') + "/ws";
  const std::string bad_urls[] = {"https://h/ws", "WSS://h/ws",    "wss:/h",    "wss://",
                                  "wss:///ws",    "ws://:80/",     "ws://h:0/", "ws://h:65536/",
                                  "ws://h:x/",    "wss://[::1/ws", long_host};
  for (const std::string& bad : bad_urls) EXPECT_FALSE(ws_parse_url(bad).has_value()) << bad;
  EXPECT_TRUE(ws_parse_url("wss://" + std::string(255, 'h') + "/ws").has_value());
}

}  // namespace
}  // namespace halvex
