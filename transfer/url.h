// URLs of transfers from outside input: parsing an http(s) URL into parts
// that leave no doubt which host a request goes to, and the rule that
// decides whether an installer URL (or a download's redirect) may be
// trusted.
//
// The parser accepts less than a browser would, on purpose: no user
// information ('@'), host names only of letters, digits, '.', '-' and '_'
// (or a bracketed IPv6 literal), a numeric port, and no blank or control
// character anywhere. What it accepts is rebuilt by transfer_url_text()
// into a URL that libcurl reads the same way, so the host checked is the
// host connected to.
//
// Pure functions; any thread.

#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace halvex {

struct TransferUrl {
  std::string scheme;  // "http" or "https", lower case
  std::string host;    // as written (letter case kept); IPv6 with brackets
  std::string port;    // decimal digits, or empty for the scheme's default
  std::string rest;    // path and query, "/" at least; fragment dropped
};

// Parses "scheme://host[:port][/path][?query][#fragment]". nullopt for any
// other scheme, user information, an empty or malformed host, a port
// outside 1..65535, or a byte below 0x21 or 0x7F anywhere. Bytes of 0x80
// and above in the path and query are percent-encoded.
std::optional<TransferUrl> transfer_parse_url(std::string_view text);

// "scheme://host[:port]rest".
std::string transfer_url_text(const TransferUrl& url);

// True for a literal dotted-quad IPv4 host ("a.b.c.d", each 0..255 in
// plain decimal without leading zeros, which resolvers would read as
// octal) in 10/8, 127/8, 172.16/12 or 192.168/16.
bool transfer_is_private_ipv4(std::string_view host);

// Whether an installer may be fetched from `url`: over https from the host
// of `server_base_url` (letter case aside, any port), or over http or https
// from a private or loopback IPv4 literal.
bool transfer_url_trusted(const TransferUrl& url, std::string_view server_base_url);

// Whether a download may follow a redirect from `from` to `target`, and if
// so the URL to request. Each hop meets the same rule as an installer URL
// (transfer_url_trusted against `server_base_url`), so a server, or
// anything in its place, cannot send a download on to another host; and a
// hop never leaves https for http. nullopt refuses the hop.
std::optional<std::string> transfer_redirect_target(std::string_view from, std::string_view target,
                                                    std::string_view server_base_url);

}  // namespace halvex
