// The server URL parser. Whatever it accepts must be usable as a connection
// target: a known scheme, a host of 1..255 bytes without '/', a port in
// 1..65535 (the scheme's default when none is given) and a path that starts
// with '/' and is the rest of the input.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "link/ws_client.h"

using halvex::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view url(reinterpret_cast<const char*>(data), size);
  std::optional<halvex::WsUrl> parsed = halvex::ws_parse_url(url);
  if (!parsed) return 0;

  bool wss = url.substr(0, 6) == "wss://";
  check(wss || url.substr(0, 5) == "ws://", "scheme is ws or wss");
  check(parsed->secure == wss, "secure matches the scheme");
  check(!parsed->host.empty() && parsed->host.size() <= 255, "host is 1..255 bytes");
  check(parsed->host.find('/') == std::string::npos, "host holds no '/'");
  check(parsed->port >= 1, "port is at least 1");
  check(!parsed->path.empty() && parsed->path[0] == '/', "path starts with '/'");

  std::string_view rest = url.substr(wss ? 6 : 5);
  size_t slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  check(slash == std::string_view::npos ? parsed->path == "/" : parsed->path == rest.substr(slash),
        "path is the rest of the URL");
  check(authority.substr(0, parsed->host.size()) == parsed->host, "host opens the authority");
  if (authority.size() == parsed->host.size()) {
    check(parsed->port == (wss ? 443 : 80), "default port when none is given");
  }
  return 0;
}
