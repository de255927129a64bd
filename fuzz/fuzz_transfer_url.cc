// The transfer URL parser and the installer trust rule. Whatever the parser
// accepts must name its host without doubt: allowed host characters only,
// no user information, and a rebuilt URL that parses back to the same
// parts. Whatever the trust rule accepts must be the server's host over
// https or a private IPv4 literal.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "transfer/url.h"

using halvex::fuzz::check;

namespace {

constexpr std::string_view kServer = "https://updates.halvex.example:8443";

bool host_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-' || c == '_' || c == '[' || c == ']' || c == ':';
}

bool same_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++)
    if ((a[i] | 0x20) != (b[i] | 0x20)) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::optional<halvex::TransferUrl> url = halvex::transfer_parse_url(text);
  if (!url) return 0;

  check(url->scheme == "http" || url->scheme == "https", "scheme is http or https");
  check(!url->host.empty() && url->host.size() <= 255, "host is 1..255 bytes");
  for (char c : url->host) check(host_char(c), "host holds only name or address characters");
  for (char c : url->port) check(c >= '0' && c <= '9', "port is digits");
  check(!url->rest.empty() && url->rest[0] == '/', "path starts with '/'");
  std::string rebuilt = halvex::transfer_url_text(*url);
  for (char c : rebuilt) {
    auto b = static_cast<unsigned char>(c);
    check(b > 0x20 && b < 0x7F, "rebuilt URL is printable ASCII without blanks");
  }
  check(rebuilt.find('@') == std::string::npos || rebuilt.find('@') > rebuilt.find('/', 8),
        "no '@' before the path");
  check(rebuilt.find('#') == std::string::npos, "no fragment is sent");

  std::optional<halvex::TransferUrl> again = halvex::transfer_parse_url(rebuilt);
  check(again.has_value(), "the rebuilt URL parses");
  check(again->scheme == url->scheme && again->host == url->host && again->port == url->port &&
            again->rest == url->rest,
        "the rebuilt URL parses to the same parts");

  if (halvex::transfer_url_trusted(*url, kServer)) {
    bool private_ip = halvex::transfer_is_private_ipv4(url->host);
    check(private_ip ||
              (url->scheme == "https" && same_ignoring_case(url->host, "updates.halvex.example")),
          "trusted only for the server over https or a private address");
    if (private_ip) {
      for (char c : url->host)
        check((c >= '0' && c <= '9') || c == '.', "a private address is a dotted quad");
    }
  }
  return 0;
}
