// The one writer of multipart/form-data bodies, for every upload of the
// agent (image chunks, scan chunks, thumbnails).
//
// A body is described once, as a function that writes it into a
// MultipartWriter, and that function runs twice: once into a counter that
// measures the body (in 64 bits, watching for overflow), once into one
// allocation of exactly that size. No body is ever grown or copied, and a
// body over its limit is refused before anything is allocated. Values may be
// written straight into the body (numbers, JSON text), never held apart.
//
// Layout: each text field is "--<b>\r\nContent-Disposition: form-data;
// name=\"<name>\"\r\n\r\n<value>\r\n"; the file field's header adds
// "; filename=\"<file>\"" and a "Content-Type" line; the body closes with
// "\r\n--<b>--\r\n" after the file's bytes.
//
// Boundaries are a fixed prefix and "%08x%04x" of the first two fields of a
// fresh GUID (platform/guid.h). When the system cannot make one, the
// boundary comes from a process-wide count mixed with the clock: still new
// for every body, so no upload fails or reuses one for want of randomness.
//
// Threads: any; functions keep no state but the fallback count. A body owns
// its bytes.

#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/guid.h"

namespace halvex {

constexpr uint64_t kMultipartNoLimit = UINT64_MAX;

class MultipartWriter;

// Writes a body into the writer it is given. It must write the same bytes
// on every call.
using MultipartWrite = std::function<void(MultipartWriter&)>;

struct MultipartBody {
  std::unique_ptr<uint8_t[]> data;
  uint64_t size = 0;
};

// Where a body's pieces go: counted, copied into the body, or appended to a
// text (for tests and for values wanted on their own).
class MultipartWriter {
 public:
  // The raw pieces.
  void put(std::string_view text);
  void put_bytes(const uint8_t* data, uint64_t length);
  void put_number(uint64_t value);  // decimal

  // A whole text field.
  void text_field(std::string_view name, std::string_view value);
  // A field whose value follows with put*; field_end() closes it.
  void field_begin(std::string_view name);
  void field_end();
  // The file field's header; its bytes follow with put_bytes, then finish().
  void file_begin(std::string_view name, std::string_view file_name, std::string_view content_type);
  // The closing line after the file's bytes.
  void finish();

 private:
  // Only the functions below make writers.
  friend std::optional<uint64_t> multipart_size(std::string_view, const MultipartWrite&);
  friend std::string multipart_text(std::string_view, const MultipartWrite&);
  friend bool multipart_build(std::string_view, uint64_t, const MultipartWrite&, MultipartBody*,
                              std::string*);
  enum class Mode { kCount, kCopy, kText };
  MultipartWriter(Mode mode, std::string_view boundary) : mode_(mode), boundary_(boundary) {}

  Mode mode_;
  std::string_view boundary_;
  uint64_t size_ = 0;      // kCount
  bool overflow_ = false;  // kCount
  uint8_t* at_ = nullptr;  // kCopy
  std::string text_;       // kText
};

// "<prefix>%08x%04x" from a fresh GUID, or from the fallback (above).
std::string multipart_boundary(std::string_view prefix);

// The boundary made from `guid`, or from the fallback when it is null.
std::string multipart_boundary_from(std::string_view prefix, const GuidFields* guid);

// "multipart/form-data; boundary=<boundary>".
std::string multipart_content_type(std::string_view boundary);

// The exact size of the body `write` describes, or nullopt when it does not
// fit in 64 bits. Copies no bytes.
std::optional<uint64_t> multipart_size(std::string_view boundary, const MultipartWrite& write);

// What `write` puts, as text.
std::string multipart_text(std::string_view boundary, const MultipartWrite& write);

// Builds the body in one allocation. False, with *error set and *body left
// empty, when it would exceed `max_size` ("Upload body too large: N bytes"),
// overflows 64 bits ("Upload body too large: its size overflows 64 bits"),
// or its memory cannot be had ("Out of memory for the upload body").
bool multipart_build(std::string_view boundary, uint64_t max_size, const MultipartWrite& write,
                     MultipartBody* body, std::string* error);

}  // namespace halvex
