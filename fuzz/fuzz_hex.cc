// Hexadecimal: the decoder accepts exactly the even-length texts of hex
// digits, and what it accepts encodes back to the input in lower case. Any
// bytes encode to a text that decodes back to them.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/codec.h"
#include "fuzz/fuzz_support.h"

using halvex::fuzz::check;

namespace {

bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

char to_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);

  bool valid = size % 2 == 0;
  for (char c : text) valid = valid && is_hex_digit(c);

  std::optional<halvex::Bytes> decoded = halvex::hex_decode(text);
  check(decoded.has_value() == valid, "accepts exactly even-length hex digits");
  if (decoded) {
    check(decoded->size() == size / 2, "one byte per two digits");
    std::string lower(text);
    for (char& c : lower) c = to_lower(c);
    check(halvex::hex_encode(decoded->data(), decoded->size()) == lower,
          "re-encoding is the lower-cased input");
  }

  std::string encoded = halvex::hex_encode(data, size);
  check(encoded.size() == 2 * size, "two digits per byte");
  std::optional<halvex::Bytes> back = halvex::hex_decode(encoded);
  check(back && back->size() == size &&
            std::string_view(reinterpret_cast<const char*>(back->data()), back->size()) == text,
        "encoded bytes decode to themselves");
  return 0;
}
