// Helpers of the upload handlers: JSON replies, strict decimal numbers, and
// the fields of a multipart form read from a request body in memory or in
// a spool file.
//
// Pure functions apart from reading the spool file; any thread.

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/admin/app.h"
#include "server/http/request_body.h"

struct cJSON;

namespace halvex::server {

struct Form {
  RequestBody body;
  std::vector<MultipartPart> parts;
};

// Longest image or scan source text ("disk:0", "file:/path/to/file").
constexpr size_t kMaxSource = 1024;

// A fresh upload token: 32 random bytes in hex.
std::string new_upload_token();

// Longest text field read into memory.
constexpr uint64_t kMaxTextField = 1024;

// Parses the request's form; a field name given twice makes it malformed.
bool read_form(const HttpRequest& req, const MultipartLimits& limits, Form* form,
               std::string* error);

// A text field of at most kMaxTextField bytes. An absent field is "" unless
// `required`, which makes it an error ("NAME: missing").
bool form_text(const Form& form, const char* name, bool required, std::string* out,
               std::string* error);

// A required field holding a decimal number of at most `max`.
bool form_number(const Form& form, const char* name, uint64_t max, std::optional<uint64_t>* out,
                 std::string* error);

// Plain decimal digits (1 to 20 of them, no sign or space) whose value is
// at most `max`; nullopt otherwise.
std::optional<uint64_t> parse_decimal(std::string_view text, uint64_t max);

HttpResponse json_reply(int status, const cJSON* body);
HttpResponse json_error(int status, const std::string& error);  // {"error": error}

}  // namespace halvex::server
