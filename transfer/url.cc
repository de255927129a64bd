#include "transfer/url.h"

#include <cstdint>

namespace halvex {

namespace {

constexpr size_t kMaxHost = 255;

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alnum(char c) { return is_digit(c) || (lower(c) >= 'a' && lower(c) <= 'z'); }
bool is_hex(char c) { return is_digit(c) || (lower(c) >= 'a' && lower(c) <= 'f'); }
bool is_blank_or_control(unsigned char c) { return c <= 0x20 || c == 0x7F; }

bool valid_name_host(std::string_view host) {
  if (host.empty() || host.size() > kMaxHost) return false;
  for (char c : host)
    if (!is_alnum(c) && c != '.' && c != '-' && c != '_') return false;
  return true;
}

// "[...]" with hex digits, ':' and '.' inside; no zone index.
bool valid_ipv6_host(std::string_view host) {
  if (host.size() < 4 || host.size() > kMaxHost || host.front() != '[' || host.back() != ']')
    return false;
  std::string_view inner = host.substr(1, host.size() - 2);
  if (inner.find(':') == std::string_view::npos) return false;
  for (char c : inner)
    if (!is_hex(c) && c != ':' && c != '.') return false;
  return true;
}

bool valid_port(std::string_view port) {
  if (port.empty() || port.size() > 5) return false;
  uint32_t value = 0;
  for (char c : port) {
    if (!is_digit(c)) return false;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  return value >= 1 && value <= 65535;
}

// Splits "host[:port]" (authority without user information).
bool split_authority(std::string_view authority, TransferUrl* url) {
  std::string_view host = authority, port;
  bool bracketed = !authority.empty() && authority.front() == '[';
  size_t host_end = bracketed ? authority.find(']') : authority.find(':');
  if (bracketed && host_end == std::string_view::npos) return false;
  if (bracketed) host_end++;
  if (host_end != std::string_view::npos && host_end < authority.size()) {
    if (authority[host_end] != ':') return false;
    host = authority.substr(0, host_end);
    port = authority.substr(host_end + 1);
    if (!valid_port(port)) return false;
  }
  if (bracketed ? !valid_ipv6_host(host) : !valid_name_host(host)) return false;
  url->host = std::string(host);
  url->port = std::string(port);
  return true;
}

// Path and query as they will be sent: "/" when empty, "/?q" for "?q";
// bytes of 0x80 and above percent-encoded.
bool make_rest(std::string_view rest, std::string* out) {
  static constexpr char kHexDigits[] = "0123456789ABCDEF";
  size_t hash = rest.find('#');
  if (hash != std::string_view::npos) rest = rest.substr(0, hash);
  out->assign(rest.empty() || rest.front() != '/' ? "/" : "");
  for (char c : rest) {
    auto b = static_cast<unsigned char>(c);
    if (is_blank_or_control(b)) return false;
    if (b >= 0x80) {
      *out += '%';
      *out += kHexDigits[b >> 4];
      *out += kHexDigits[b & 15];
    } else {
      *out += c;
    }
  }
  return true;
}

// One decimal component of a dotted quad: 1 to 3 digits, no leading zero.
bool quad_part(std::string_view part, int* value) {
  if (part.empty() || part.size() > 3 || (part.size() > 1 && part[0] == '0')) return false;
  int v = 0;
  for (char c : part) {
    if (!is_digit(c)) return false;
    v = v * 10 + (c - '0');
  }
  if (v > 255) return false;
  *value = v;
  return true;
}

}  // namespace

std::optional<TransferUrl> transfer_parse_url(std::string_view text) {
  size_t sep = text.find("://");
  if (sep == std::string_view::npos) return std::nullopt;
  TransferUrl url;
  std::string_view scheme = text.substr(0, sep);
  if (equal_ignoring_case(scheme, "https"))
    url.scheme = "https";
  else if (equal_ignoring_case(scheme, "http"))
    url.scheme = "http";
  else
    return std::nullopt;

  std::string_view after = text.substr(sep + 3);
  size_t end = after.find_first_of("/?#");
  std::string_view authority = after.substr(0, end);
  // '@' would make what precedes it user information and what follows the
  // real host; such URLs are refused rather than split.
  if (authority.find('@') != std::string_view::npos) return std::nullopt;
  if (!split_authority(authority, &url)) return std::nullopt;
  std::string_view rest = end == std::string_view::npos ? std::string_view() : after.substr(end);
  if (!make_rest(rest, &url.rest)) return std::nullopt;
  return url;
}

std::string transfer_url_text(const TransferUrl& url) {
  return url.scheme + "://" + url.host + (url.port.empty() ? "" : ":" + url.port) + url.rest;
}

bool transfer_is_private_ipv4(std::string_view host) {
  int parts[4];
  for (int i = 0; i < 4; i++) {
    size_t dot = host.find('.');
    if ((i < 3) != (dot != std::string_view::npos)) return false;
    if (!quad_part(host.substr(0, dot), &parts[i])) return false;
    host = i < 3 ? host.substr(dot + 1) : std::string_view();
  }
  int a = parts[0], b = parts[1];
  return a == 10 || a == 127 || (a == 192 && b == 168) || (a == 172 && b >= 16 && b <= 31);
}

bool transfer_url_trusted(const TransferUrl& url, std::string_view server_base_url) {
  std::optional<TransferUrl> server = transfer_parse_url(server_base_url);
  if (server && url.scheme == "https" && equal_ignoring_case(url.host, server->host)) return true;
  return transfer_is_private_ipv4(url.host);
}

std::optional<std::string> transfer_redirect_target(std::string_view from, std::string_view target,
                                                    std::string_view server_base_url) {
  std::optional<TransferUrl> origin = transfer_parse_url(from);
  std::optional<TransferUrl> next = transfer_parse_url(target);
  if (!origin || !next || !transfer_url_trusted(*next, server_base_url)) return std::nullopt;
  if (origin->scheme == "https" && next->scheme != "https") return std::nullopt;
  return transfer_url_text(*next);
}

}  // namespace halvex
