// Base64: the decoder is strict and the encoder its inverse.
//  - Any text the decoder accepts re-encodes to a text of the same length
//    that differs from it at most in the last character before the padding
//    (the unused low bits there), and that text decodes to the same bytes.
//  - Any bytes encode to a text that decodes back to exactly those bytes.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/codec.h"
#include "fuzz/fuzz_support.h"

using halvex::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);

  std::optional<halvex::Bytes> decoded = halvex::base64_decode(text);
  if (decoded) {
    size_t pad = 0;
    while (pad < text.size() && text[text.size() - 1 - pad] == '=') pad++;
    check(text.size() % 4 == 0 && pad <= 2, "accepted text is whole quads, at most two '='");
    check(decoded->size() == text.size() / 4 * 3 - pad, "decoded length matches the text");

    std::string again = halvex::base64_encode(decoded->data(), decoded->size());
    check(again.size() == text.size(), "re-encoding has the input's length");
    size_t last_data = text.size() - pad;  // one past the last data character
    for (size_t i = 0; i < again.size(); i++) {
      if (pad > 0 && i + 1 == last_data) continue;  // its unused low bits may differ
      check(again[i] == text[i], "re-encoding equals the input");
    }
    std::optional<halvex::Bytes> round = halvex::base64_decode(again);
    check(round && *round == *decoded, "re-encoding decodes to the same bytes");
  }

  std::string encoded = halvex::base64_encode(data, size);
  check(encoded.size() == (size + 2) / 3 * 4, "encoded length is 4 * ceil(n / 3)");
  std::optional<halvex::Bytes> back = halvex::base64_decode(encoded);
  check(back && back->size() == size &&
            std::string_view(reinterpret_cast<const char*>(back->data()), back->size()) == text,
        "encoded bytes decode to themselves");
  return 0;
}
