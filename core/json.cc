#include "core/json.h"

#include <cjson/cJSON.h>

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "core/util.h"

namespace halvex {

void JsonDeleter::operator()(cJSON* item) const { cJSON_Delete(item); }

Json json_parse(std::string_view text) {
  return Json(cJSON_ParseWithLength(text.data(), text.size()));
}

Json json_object() { return Json(cJSON_CreateObject()); }
Json json_number(double value) { return Json(cJSON_CreateNumber(value)); }
Json json_array() { return Json(cJSON_CreateArray()); }

Json json_duplicate(const cJSON* item) {
  if (item == nullptr) return nullptr;
  return Json(cJSON_Duplicate(item, 1));
}

std::string json_print(const cJSON* item) {
  if (item == nullptr) return "";
  char* text = cJSON_PrintUnformatted(item);
  if (text == nullptr) return "";
  // cJSON escapes control characters but copies bytes >= 0x80 as they are,
  // and a string may hold any bytes (a file name, a server's reply). The
  // repair touches only those bytes, so the JSON stays the same JSON, and
  // it costs one scan when there is nothing to repair.
  std::string out = utf8_sanitize(text);
  cJSON_free(text);
  return out;
}

const cJSON* json_get(const cJSON* object, const char* name) {
  if (object == nullptr) return nullptr;
  return cJSON_GetObjectItem(object, name);
}

bool json_has(const cJSON* object, const char* name) { return json_get(object, name) != nullptr; }

bool json_is_string(const cJSON* item) {
  return cJSON_IsString(item) && item->valuestring != nullptr;
}
bool json_is_number(const cJSON* item) { return cJSON_IsNumber(item); }
bool json_is_object(const cJSON* item) { return cJSON_IsObject(item); }
bool json_is_array(const cJSON* item) { return cJSON_IsArray(item); }

int json_array_size(const cJSON* array) {
  return cJSON_IsArray(array) ? cJSON_GetArraySize(array) : 0;
}

const cJSON* json_array_item(const cJSON* array, int index) {
  return cJSON_IsArray(array) ? cJSON_GetArrayItem(array, index) : nullptr;
}

int json_member_count(const cJSON* object) {
  return cJSON_IsObject(object) ? cJSON_GetArraySize(object) : 0;
}

const cJSON* json_member_at(const cJSON* object, int index) {
  return cJSON_IsObject(object) ? cJSON_GetArrayItem(object, index) : nullptr;
}

const cJSON* json_first(const cJSON* container) {
  return cJSON_IsArray(container) || cJSON_IsObject(container) ? container->child : nullptr;
}

const cJSON* json_next(const cJSON* item) { return item != nullptr ? item->next : nullptr; }

std::string json_member_name(const cJSON* member) {
  return member != nullptr && member->string != nullptr ? member->string : "";
}

double json_number_value(const cJSON* item, double fallback) {
  return cJSON_IsNumber(item) ? item->valuedouble : fallback;
}

std::string json_get_string(const cJSON* object, const char* name, const std::string& fallback) {
  const cJSON* item = json_get(object, name);
  return json_is_string(item) ? std::string(item->valuestring) : fallback;
}

double json_get_number(const cJSON* object, const char* name, double fallback) {
  const cJSON* item = json_get(object, name);
  return cJSON_IsNumber(item) ? item->valuedouble : fallback;
}

int32_t json_get_int32(const cJSON* object, const char* name, int32_t fallback) {
  const cJSON* item = json_get(object, name);
  if (!cJSON_IsNumber(item)) return fallback;
  double v = item->valuedouble;
  if (std::isnan(v)) return 0;
  if (v >= INT32_MAX) return INT32_MAX;
  if (v <= INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

uint64_t json_get_u64(const cJSON* object, const char* name) {
  double v = json_get_number(object, name, 0);
  if (!(v > 0)) return 0;
  if (v >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<uint64_t>(v);
}

bool json_get_bool(const cJSON* object, const char* name, bool fallback) {
  const cJSON* item = json_get(object, name);
  return cJSON_IsBool(item) ? cJSON_IsTrue(item) : fallback;
}

std::string json_string_value(const cJSON* item) {
  return json_is_string(item) ? std::string(item->valuestring) : "";
}

void json_add_string(cJSON* object, const char* name, std::string_view value) {
  cJSON_AddItemToObject(object, name, cJSON_CreateString(std::string(value).c_str()));
}

void json_add_number(cJSON* object, const char* name, double value) {
  cJSON_AddItemToObject(object, name, cJSON_CreateNumber(value));
}

void json_add_bool(cJSON* object, const char* name, bool value) {
  cJSON_AddItemToObject(object, name, cJSON_CreateBool(value));
}

void json_add_item(cJSON* object, const char* name, Json value) {
  if (value) cJSON_AddItemToObject(object, name, value.release());
}

void json_append(cJSON* array, Json value) {
  if (value) cJSON_AddItemToArray(array, value.release());
}

void json_add_raw(cJSON* object, const char* name, std::string text) {
  cJSON_AddItemToObject(object, name, cJSON_CreateRaw(text.c_str()));
}

namespace {

// The escape cJSON prints for a quote, a backslash or a control character.
void write_escape(std::string* out, unsigned char c) {
  *out += '\\';
  switch (c) {
    case '"':
      *out += '"';
      break;
    case '\\':
      *out += '\\';
      break;
    case '\b':
      *out += 'b';
      break;
    case '\f':
      *out += 'f';
      break;
    case '\n':
      *out += 'n';
      break;
    case '\r':
      *out += 'r';
      break;
    case '\t':
      *out += 't';
      break;
    default: {
      char hex[8];
      std::snprintf(hex, sizeof hex, "u%04x", c);
      *out += hex;
    }
  }
}

}  // namespace

void json_write_string(std::string* out, std::string_view value) {
  value = value.substr(0, value.find('\0'));
  *out += '"';
  while (!value.empty()) {
    unsigned char u = static_cast<unsigned char>(value[0]);
    size_t n = 1;
    if (u >= 0x80) {
      n = utf8_char_length(value);
      if (n == 0) {
        *out += "\xEF\xBF\xBD";  // U+FFFD, as json_print repairs it
        n = 1;
      } else {
        out->append(value.substr(0, n));
      }
    } else if (u > 31 && u != '"' && u != '\\') {
      *out += static_cast<char>(u);
    } else {
      write_escape(out, u);
    }
    value.remove_prefix(n);
  }
  *out += '"';
}

// cJSON's rule: integers that fit an int as "%d", otherwise the shortest of
// 15 or 17 significant digits that reads back as the same value.
void json_write_number(std::string* out, double value) {
  char text[32];
  int as_int = value >= INT_MAX                        ? INT_MAX
               : value <= static_cast<double>(INT_MIN) ? INT_MIN
                                                       : static_cast<int>(value);
  if (std::isnan(value) || std::isinf(value)) {
    std::snprintf(text, sizeof text, "null");
  } else if (value == static_cast<double>(as_int)) {
    std::snprintf(text, sizeof text, "%d", as_int);
  } else {
    std::snprintf(text, sizeof text, "%1.15g", value);
    double back = std::strtod(text, nullptr);
    double largest = std::max(std::fabs(back), std::fabs(value));
    if (!(std::fabs(back - value) <= largest * DBL_EPSILON))
      std::snprintf(text, sizeof text, "%1.17g", value);
  }
  *out += text;
}

void json_merge(cJSON* target, const cJSON* update) {
  for (const cJSON* member = update != nullptr ? update->child : nullptr; member != nullptr;
       member = member->next) {
    if (member->string == nullptr) continue;
    // Every member of that name goes, whatever its letter case: lookups
    // ignore case, so a leftover variant would shadow the new value.
    while (cJSON_GetObjectItem(target, member->string) != nullptr)
      cJSON_DeleteItemFromObject(target, member->string);
    cJSON_AddItemToObject(target, member->string, cJSON_Duplicate(member, 1));
  }
}

}  // namespace halvex
