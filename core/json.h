// JSON through cJSON, wrapped once. Json owns a parsed or built tree; the
// getters read members the way the protocol expects: a missing member or one
// of the wrong type gives the default. Member names are matched without
// regard to case, as cJSON_GetObjectItem does.
//
// cJSON's header stays out of every other header: handlers and payloads pass
// `const cJSON*` (an opaque item) and build objects with the helpers below.

#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

struct cJSON;

namespace halvex {

struct JsonDeleter {
  void operator()(cJSON* item) const;
};
using Json = std::unique_ptr<cJSON, JsonDeleter>;

Json json_parse(std::string_view text);  // null when not JSON
Json json_object();
Json json_number(double value);  // a lone number item, e.g. for json_append
Json json_array();
Json json_duplicate(const cJSON* item);  // deep copy; null for null
// Unformatted; "" for null. The text is always valid UTF-8: a byte in a
// string or member name that does not start a well-formed character prints
// as U+FFFD (see utf8_sanitize), since JSON text must be UTF-8 and the server
// drops a link that sends anything else.
std::string json_print(const cJSON* item);

// Member lookup (case-insensitive). Null when absent or `object` is null.
const cJSON* json_get(const cJSON* object, const char* name);
bool json_has(const cJSON* object, const char* name);

bool json_is_string(const cJSON* item);
bool json_is_number(const cJSON* item);
bool json_is_object(const cJSON* item);
bool json_is_array(const cJSON* item);

// Elements of an array: its size (0 unless an array) and the element at
// `index` (null when out of range).
int json_array_size(const cJSON* array);
const cJSON* json_array_item(const cJSON* array, int index);

// Members of an object in document order: their count (0 unless an object),
// the member at `index` (null when out of range) and a member's name.
int json_member_count(const cJSON* object);
const cJSON* json_member_at(const cJSON* object, int index);
std::string json_member_name(const cJSON* member);

// A walk over the elements of an array or the members of an object, in
// order: the first (null when there is none, or for any other item) and the
// one after `item` (null at the end). A list from outside is walked this
// way: fetching its items by index starts each fetch at the list's head,
// which costs the square of its length.
//   for (const cJSON* e = json_first(list); e != nullptr; e = json_next(e))
const cJSON* json_first(const cJSON* container);
const cJSON* json_next(const cJSON* item);

// The value of a number item; `fallback` for anything else.
double json_number_value(const cJSON* item, double fallback = 0);

// Member values with defaults for absent or mistyped members.
std::string json_get_string(const cJSON* object, const char* name,
                            const std::string& fallback = "");
double json_get_number(const cJSON* object, const char* name, double fallback = 0);
// A number member's integer value, clamped to 32 bits (NaN gives 0).
int32_t json_get_int32(const cJSON* object, const char* name, int32_t fallback = 0);
// A number member as an unsigned 64-bit value: absent, mistyped, negative or
// NaN gives 0, anything beyond the range the largest value.
uint64_t json_get_u64(const cJSON* object, const char* name);
bool json_get_bool(const cJSON* object, const char* name, bool fallback = false);

// The value of a string item ("" unless it is a string).
std::string json_string_value(const cJSON* item);

// Builders: append a member to `object` (or an element to an array for
// json_append). json_add_item takes ownership of `value`.
void json_add_string(cJSON* object, const char* name, std::string_view value);
void json_add_number(cJSON* object, const char* name, double value);
void json_add_bool(cJSON* object, const char* name, bool value);
void json_add_item(cJSON* object, const char* name, Json value);
void json_append(cJSON* array, Json value);
// Adds `text`, which must already be one JSON value, as it stands: printing
// copies it into the output unchanged. For large values built as text.
void json_add_raw(cJSON* object, const char* name, std::string text);

// Append a value's JSON text to `out` exactly as json_print writes it, for
// output built as text: strings end at a NUL, escape the quote, the
// backslash and control characters, keep well-formed UTF-8 as it is and
// write U+FFFD for each byte that starts no character (see utf8_sanitize).
void json_write_string(std::string* out, std::string_view value);
void json_write_number(std::string* out, double value);

// Replaces members of `target` with deep copies of the members of `update`,
// in update's order: each replaced member (in any letter case) is removed and
// the new one appended at the end.
void json_merge(cJSON* target, const cJSON* update);

}  // namespace halvex
