#include "core/codec.h"

namespace halvex {

namespace {

const char kHexDigits[] = "0123456789abcdef";
const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int b64_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string hex_encode(const uint8_t* data, size_t len) {
  std::string out(len * 2, '\0');
  for (size_t i = 0; i < len; i++) {
    out[2 * i] = kHexDigits[data[i] >> 4];
    out[2 * i + 1] = kHexDigits[data[i] & 15];
  }
  return out;
}

std::optional<Bytes> hex_decode(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  Bytes out(text.size() / 2);
  for (size_t i = 0; i < out.size(); i++) {
    int hi = hex_value(text[2 * i]), lo = hex_value(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  return out;
}

std::string base64_encode(const uint8_t* data, size_t len) {
  std::string out;
  out.reserve((len + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= len; i += 3) {
    uint32_t v = uint32_t{data[i]} << 16 | uint32_t{data[i + 1]} << 8 | data[i + 2];
    out += kB64[v >> 18];
    out += kB64[v >> 12 & 63];
    out += kB64[v >> 6 & 63];
    out += kB64[v & 63];
  }
  if (len - i == 1) {
    uint32_t v = uint32_t{data[i]} << 16;
    out += kB64[v >> 18];
    out += kB64[v >> 12 & 63];
    out += "==";
  } else if (len - i == 2) {
    uint32_t v = uint32_t{data[i]} << 16 | uint32_t{data[i + 1]} << 8;
    out += kB64[v >> 18];
    out += kB64[v >> 12 & 63];
    out += kB64[v >> 6 & 63];
    out += '=';
  }
  return out;
}

std::optional<Bytes> base64_decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  size_t pad = 0;
  if (!text.empty() && text.back() == '=') pad = (text[text.size() - 2] == '=') ? 2 : 1;
  Bytes out;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    bool last = i + 4 == text.size();
    uint32_t v = 0;
    for (size_t j = 0; j < 4; j++) {
      char c = text[i + j];
      int d;
      if (c == '=' && last && j >= 4 - pad) {
        d = 0;
      } else {
        d = b64_value(c);
        if (d < 0) return std::nullopt;
      }
      v = v << 6 | static_cast<uint32_t>(d);
    }
    out.push_back(static_cast<uint8_t>(v >> 16));
    if (!(last && pad == 2)) out.push_back(static_cast<uint8_t>(v >> 8 & 255));
    if (!(last && pad >= 1)) out.push_back(static_cast<uint8_t>(v & 255));
  }
  return out;
}

}  // namespace halvex
