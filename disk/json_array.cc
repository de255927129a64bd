#include "disk/json_array.h"

namespace halvex {

JsonArrayStrings json_array_strings(const cJSON* item) {
  JsonArrayStrings out;
  if (!json_is_array(item)) return out;
  out.is_array = true;
  for (const cJSON* element = json_first(item); element != nullptr; element = json_next(element)) {
    out.count++;
    out.texts.push_back(json_print(element));
    if (json_is_string(element)) out.strings.push_back(json_string_value(element));
  }
  return out;
}

}  // namespace halvex
