#include "disk/json_array.h"

namespace halvex {

JsonArrayStrings json_array_strings(const cJSON* item) {
  JsonArrayStrings out;
  if (!json_is_array(item)) return out;
  out.is_array = true;
  out.count = static_cast<size_t>(json_array_size(item));
  for (int i = 0; i < json_array_size(item); i++) {
    const cJSON* element = json_array_item(item, i);
    out.texts.push_back(json_print(element));
    if (json_is_string(element)) out.strings.push_back(json_string_value(element));
  }
  return out;
}

}  // namespace halvex
