// The chunk status reply: the first input byte is the number of chunks
// (0..255), the rest is the server's reply text. A reply that is JSON gives
// exactly one flag per chunk, and a flag is set only for a chunk index that
// appears as a number in "received_chunks"; anything else gives no flags.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/json.h"
#include "fuzz/fuzz_support.h"
#include "imaging/upload_client.h"

using halvex::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  int32_t total = data[0];
  std::string_view reply(reinterpret_cast<const char*>(data + 1), size - 1);
  std::optional<std::vector<uint8_t>> flags = halvex::chunk_status_flags(reply, total);
  halvex::Json root = halvex::json_parse(reply);
  check(flags.has_value() == (root != nullptr), "flags exactly when the reply is JSON");
  if (!flags) return 0;
  check(flags->size() == static_cast<size_t>(total), "one flag per chunk");

  const cJSON* held = halvex::json_get(root.get(), "received_chunks");
  for (size_t i = 0; i < flags->size(); i++) {
    check((*flags)[i] <= 1, "flags are 0 or 1");
    if ((*flags)[i] == 0) continue;
    bool listed = false;
    for (int k = 0; k < halvex::json_array_size(held); k++) {
      const cJSON* item = halvex::json_array_item(held, k);
      listed = listed || (halvex::json_is_number(item) &&
                          halvex::json_number_value(item) == static_cast<double>(i));
    }
    check(listed, "a set flag is listed in received_chunks");
  }
  return 0;
}
