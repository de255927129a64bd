#include "server/http/upload_form.h"

#include <set>

#include "core/json.h"
#include "server/admin/sessions.h"

namespace halvex::server {

std::string new_upload_token() { return new_secret(); }

bool read_form(const HttpRequest& req, const MultipartLimits& limits, Form* form,
               std::string* error) {
  form->body = RequestBody{req.body, req.body_file};
  std::optional<std::vector<MultipartPart>> parts =
      body_parts(form->body, req.content_type, limits, error);
  if (!parts) return false;
  std::set<std::string> seen;
  for (const MultipartPart& p : *parts) {
    if (!seen.insert(p.name).second) {
      *error = p.name + ": given twice";
      return false;
    }
  }
  form->parts = std::move(*parts);
  return true;
}

bool form_text(const Form& form, const char* name, bool required, std::string* out,
               std::string* error) {
  const MultipartPart* part = multipart_find(form.parts, name);
  if (!part) {
    if (required) *error = std::string(name) + ": missing";
    out->clear();
    return !required;
  }
  std::optional<std::string> text = body_read(form.body, *part, kMaxTextField, error);
  if (!text) return false;
  *out = std::move(*text);
  return true;
}

bool form_number(const Form& form, const char* name, uint64_t max, std::optional<uint64_t>* out,
                 std::string* error) {
  std::string text;
  if (!form_text(form, name, true, &text, error)) return false;
  *out = parse_decimal(text, max);
  if (!*out) *error = std::string(name) + ": not a number up to " + std::to_string(max);
  return out->has_value();
}

std::optional<uint64_t> parse_decimal(std::string_view text, uint64_t max) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (v > (UINT64_MAX - digit) / 10) return std::nullopt;
    v = v * 10 + digit;
  }
  if (v > max) return std::nullopt;
  return v;
}

HttpResponse json_reply(int status, const cJSON* body) {
  HttpResponse r;
  r.status = status;
  r.content_type = "application/json";
  r.body = json_print(body) + "\n";
  return r;
}

HttpResponse json_error(int status, const std::string& error) {
  Json body = json_object();
  json_add_string(body.get(), "error", error);
  return json_reply(status, body.get());
}

}  // namespace halvex::server
