// The multipart writer: one description of a body, counted then copied.

#include "net/multipart.h"

#include <atomic>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/clock.h"

namespace halvex {

void MultipartWriter::put(std::string_view text) {
  put_bytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

void MultipartWriter::put_bytes(const uint8_t* data, uint64_t length) {
  switch (mode_) {
    case Mode::kCount:
      if (__builtin_add_overflow(size_, length, &size_)) overflow_ = true;
      return;
    case Mode::kCopy:
      if (length != 0) std::memcpy(at_, data, static_cast<size_t>(length));
      at_ += length;
      return;
    case Mode::kText:
      text_.append(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
      return;
  }
}

// For every value below 10^15 this is also the text cJSON prints for the
// same number; above that cJSON would switch to an exponent.
void MultipartWriter::put_number(uint64_t value) {
  char digits[24];
  auto result = std::to_chars(digits, digits + sizeof digits, value);
  put(std::string_view(digits, static_cast<size_t>(result.ptr - digits)));
}

void MultipartWriter::field_begin(std::string_view name) {
  put("--");
  put(boundary_);
  put("\r\nContent-Disposition: form-data; name=\"");
  put(name);
  put("\"\r\n\r\n");
}

void MultipartWriter::field_end() { put("\r\n"); }

void MultipartWriter::text_field(std::string_view name, std::string_view value) {
  field_begin(name);
  put(value);
  field_end();
}

void MultipartWriter::file_begin(std::string_view name, std::string_view file_name,
                                 std::string_view content_type) {
  put("--");
  put(boundary_);
  put("\r\nContent-Disposition: form-data; name=\"");
  put(name);
  put("\"; filename=\"");
  put(file_name);
  put("\"\r\nContent-Type: ");
  put(content_type);
  put("\r\n\r\n");
}

void MultipartWriter::finish() {
  put("\r\n--");
  put(boundary_);
  put("--\r\n");
}

std::string multipart_boundary_from(std::string_view prefix, const GuidFields* guid) {
  GuidFields fields;
  if (guid != nullptr) {
    fields = *guid;
  } else {
    // The boundary needs to be new for each body and unlikely inside it,
    // not secret: the clock keeps runs of the process apart, the count
    // keeps bodies of one run apart.
    static std::atomic<uint32_t> count{0};
    fields.first = static_cast<uint32_t>(clock_now_ms());
    fields.second = static_cast<uint16_t>(count.fetch_add(1));
  }
  char text[24];
  std::snprintf(text, sizeof text, "%08" PRIx32 "%04" PRIx32, fields.first,
                uint32_t{fields.second});
  return std::string(prefix) + text;
}

std::string multipart_boundary(std::string_view prefix) {
  GuidFields guid;
  return multipart_boundary_from(prefix, guid_fields(&guid) ? &guid : nullptr);
}

std::string multipart_content_type(std::string_view boundary) {
  return "multipart/form-data; boundary=" + std::string(boundary);
}

std::optional<uint64_t> multipart_size(std::string_view boundary, const MultipartWrite& write) {
  MultipartWriter counter(MultipartWriter::Mode::kCount, boundary);
  write(counter);
  if (counter.overflow_) return std::nullopt;
  return counter.size_;
}

std::string multipart_text(std::string_view boundary, const MultipartWrite& write) {
  MultipartWriter writer(MultipartWriter::Mode::kText, boundary);
  write(writer);
  return std::move(writer.text_);
}

bool multipart_build(std::string_view boundary, uint64_t max_size, const MultipartWrite& write,
                     MultipartBody* body, std::string* error) {
  body->data.reset();
  body->size = 0;
  std::optional<uint64_t> size = multipart_size(boundary, write);
  if (!size) {
    *error = "Upload body too large: its size overflows 64 bits";
    return false;
  }
  if (*size > max_size || *size > SIZE_MAX) {
    char text[96];
    std::snprintf(text, sizeof text, "Upload body too large: %" PRIu64 " bytes", *size);
    *error = text;
    return false;
  }
  std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[static_cast<size_t>(*size)]);
  if (!data) {
    *error = "Out of memory for the upload body";
    return false;
  }
  MultipartWriter copier(MultipartWriter::Mode::kCopy, boundary);
  copier.at_ = data.get();
  write(copier);
  body->data = std::move(data);
  body->size = *size;
  return true;
}

}  // namespace halvex
