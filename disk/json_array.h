// A JSON array's elements in the forms disk/ needs: each printed, and the
// string elements decoded. Internal to disk/.

#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "core/json.h"

namespace halvex {

struct JsonArrayStrings {
  bool is_array = false;
  size_t count = 0;                  // all elements, of any type
  std::vector<std::string> texts;    // every element, printed unformatted
  std::vector<std::string> strings;  // the string elements, in order
};

// The elements of `item` when it is an array; is_array false otherwise.
JsonArrayStrings json_array_strings(const cJSON* item);

}  // namespace halvex
