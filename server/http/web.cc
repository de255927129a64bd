#include "server/http/web.h"

#include <ctime>

namespace halvex::server {
namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_alnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

}  // namespace

std::optional<std::string> url_decode(std::string_view text, bool plus_is_space) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); i++) {
    char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size()) return std::nullopt;
      int hi = hex_value(text[i + 1]);
      int lo = hex_value(text[i + 2]);
      if (hi < 0 || lo < 0) return std::nullopt;
      c = static_cast<char>(hi * 16 + lo);
      i += 2;
    } else if (c == '+' && plus_is_space) {
      c = ' ';
    }
    if (c == '\0') return std::nullopt;
    out.push_back(c);
  }
  return out;
}

std::optional<Params> parse_form(std::string_view body) {
  Params out;
  while (!body.empty()) {
    size_t amp = body.find('&');
    std::string_view piece = body.substr(0, amp);
    body = amp == std::string_view::npos ? std::string_view() : body.substr(amp + 1);
    if (piece.empty()) continue;
    size_t eq = piece.find('=');
    std::optional<std::string> name = url_decode(piece.substr(0, eq));
    std::optional<std::string> value =
        url_decode(eq == std::string_view::npos ? std::string_view() : piece.substr(eq + 1));
    if (!name || !value) return std::nullopt;
    out.emplace_back(std::move(*name), std::move(*value));
  }
  return out;
}

std::optional<std::string> param(const Params& params, std::string_view name) {
  for (const auto& [k, v] : params)
    if (k == name) return v;
  return std::nullopt;
}

std::pair<std::string_view, std::string_view> split_target(std::string_view target) {
  size_t q = target.find('?');
  if (q == std::string_view::npos) return {target, {}};
  return {target.substr(0, q), target.substr(q + 1)};
}

std::optional<std::string_view> cookie_value(std::string_view header, std::string_view name) {
  while (!header.empty()) {
    size_t semi = header.find(';');
    std::string_view piece = header.substr(0, semi);
    header = semi == std::string_view::npos ? std::string_view() : header.substr(semi + 1);
    while (!piece.empty() && piece.front() == ' ') piece.remove_prefix(1);
    size_t eq = piece.find('=');
    if (eq != std::string_view::npos && piece.substr(0, eq) == name) return piece.substr(eq + 1);
  }
  return std::nullopt;
}

std::string html_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

std::string url_encode(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : text) {
    if (is_alnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out.push_back(c);
    } else {
      auto b = static_cast<unsigned char>(c);
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
  }
  return out;
}

bool valid_pair_code(std::string_view code) {
  static constexpr std::string_view kAlphabet = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
  if (code.size() != 6) return false;
  for (char c : code)
    if (kAlphabet.find(c) == std::string_view::npos) return false;
  return true;
}

bool valid_machine_id(std::string_view id) {
  if (id.empty() || id.size() > 64) return false;
  for (char c : id)
    if (!is_alnum(c) && c != '_' && c != '-') return false;
  return true;
}

bool valid_event_name(std::string_view name) {
  if (name.empty() || name.size() > 47) return false;
  for (char c : name)
    if (!is_alnum(c) && c != '_') return false;
  return true;
}

std::optional<std::pair<std::string, uint16_t>> parse_host_port(std::string_view text) {
  size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  std::string_view host = text.substr(0, colon);
  std::string_view port = text.substr(colon + 1);
  if (host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') return std::nullopt;
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string_view::npos) {
    return std::nullopt;  // a bare IPv6 address needs brackets
  }
  if (port.empty() || port.size() > 5) return std::nullopt;
  unsigned value = 0;
  for (char c : port) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > 65535) return std::nullopt;
  return std::make_pair(std::string(host), static_cast<uint16_t>(value));
}

std::string format_utc(long long unix_seconds) {
  if (unix_seconds == 0) return "never";
  time_t t = static_cast<time_t>(unix_seconds);
  struct tm tm_utc;
  if (gmtime_r(&t, &tm_utc) == nullptr) return "?";
  char buf[40];
  strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm_utc);
  return buf;
}

}  // namespace halvex::server
