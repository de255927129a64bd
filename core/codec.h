// Byte codecs used on the wire: lowercase hexadecimal and standard Base64
// (RFC 4648, with padding). Decoders are strict and never return partial
// results.

#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace halvex {

using Bytes = std::vector<uint8_t>;

// Two lowercase digits per byte, high nibble first.
std::string hex_encode(const uint8_t* data, size_t len);

// Digits 0-9, a-f, A-F, two per byte. Odd length or any other character:
// nullopt. The empty text gives zero bytes.
std::optional<Bytes> hex_decode(std::string_view text);

// 4 * ceil(len / 3) characters with "=" padding.
std::string base64_encode(const uint8_t* data, size_t len);

// Accepts only a length that is a multiple of 4, the standard alphabet, and
// at most two "=" at the very end; anything else gives nullopt.
std::optional<Bytes> base64_decode(std::string_view text);

}  // namespace halvex
