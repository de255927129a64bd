// Text helpers of the server's web side, free of any network code: request
// targets, query strings and form bodies (application/x-www-form-urlencoded),
// HTML escaping, and a few checks on what clients send.
//
// Pure functions; any thread.

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace halvex::server {

using Params = std::vector<std::pair<std::string, std::string>>;

// Decodes %XX escapes, and "+" as a space when `plus_is_space` (forms and
// query strings). A "%" not followed by two hex digits gives nullopt, as does
// a decoded NUL byte.
std::optional<std::string> url_decode(std::string_view text, bool plus_is_space = true);

// "a=1&b=x+y" into pairs, in order. Empty pieces ("a=1&&b=2") are skipped; a
// piece without "=" has an empty value. Any undecodable piece makes the whole
// body invalid (nullopt).
std::optional<Params> parse_form(std::string_view body);

// The first value of `name`, or nullopt.
std::optional<std::string> param(const Params& params, std::string_view name);

// Splits a request target into its path and query ("/a?b=1" gives "/a" and
// "b=1"); the query is empty when there is no "?".
std::pair<std::string_view, std::string_view> split_target(std::string_view target);

// The value of cookie `name` in a Cookie header ("a=1; b=2"), or nullopt.
// The first of several with the name wins.
std::optional<std::string_view> cookie_value(std::string_view header, std::string_view name);

// Escapes & < > " ' so the text can stand in element content and in quoted
// attribute values.
std::string html_escape(std::string_view text);

// Percent-encodes everything but unreserved characters (RFC 3986).
std::string url_encode(std::string_view text);

// The agent's pairing code: exactly 6 characters of
// "ABCDEFGHJKLMNPQRSTUVWXYZ23456789".
bool valid_pair_code(std::string_view code);

// Machine ids: 1 to 64 characters of [0-9A-Za-z_-].
bool valid_machine_id(std::string_view id);

// Event names: 1 to 47 characters of [0-9A-Za-z_].
bool valid_event_name(std::string_view name);

// "ADDR:PORT" or "[IPV6]:PORT" (port 0..65535) into address and port;
// nullopt when malformed. The address is not checked further.
std::optional<std::pair<std::string, uint16_t>> parse_host_port(std::string_view text);

// Unix seconds as "2025-01-31 14:05:09 UTC"; "never" for 0.
std::string format_utc(long long unix_seconds);

}  // namespace halvex::server
