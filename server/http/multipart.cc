#include "server/http/multipart.h"

#include <cstring>
#include <utility>

#include "core/util.h"

namespace halvex::server {
namespace {

using Param = std::pair<std::string, std::string>;  // lower-case name, value

bool is_tchar(unsigned char c) {
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  return std::strchr("!#$%&'*+-.^_`|~", c) != nullptr && c != '\0';
}

// Characters a boundary may hold (RFC 2046 bchars); never CR or LF, which
// is what lets the body scan restart a failed match at the current byte.
bool is_bchar(unsigned char c) {
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  return std::strchr("'()+_,-./:=? ", c) != nullptr && c != '\0';
}

// Field-value text: visible bytes, spaces and tabs, and any byte of a UTF-8
// sequence; no other control byte.
bool is_value_byte(unsigned char c) { return c == '\t' || (c >= 0x20 && c != 0x7F); }

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string to_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = lower(c);
  return out;
}

bool iequals(std::string_view a, std::string_view b) { return ascii_equals_ignoring_case(a, b); }

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

size_t token_length(std::string_view s) {
  size_t n = 0;
  while (n < s.size() && is_tchar(static_cast<unsigned char>(s[n]))) n++;
  return n;
}

// A parameter value at the start of *s: a token, or a quoted string whose
// content runs to the next double quote (form bodies do not escape inside
// quotes; a backslash is an ordinary character).
std::optional<std::string> take_value(std::string_view* s) {
  if (!s->empty() && s->front() == '"') {
    size_t end = s->find('"', 1);
    if (end == std::string_view::npos) return std::nullopt;
    std::string value(s->substr(1, end - 1));
    s->remove_prefix(end + 1);
    return value;
  }
  size_t n = token_length(*s);
  if (n == 0) return std::nullopt;
  std::string value(s->substr(0, n));
  s->remove_prefix(n);
  return value;
}

// `; name=value` pairs after a media type or disposition type.
std::optional<std::vector<Param>> parse_params(std::string_view s) {
  std::vector<Param> out;
  s = trim(s);
  while (!s.empty()) {
    if (s.front() != ';') return std::nullopt;
    s = trim(s.substr(1));
    size_t n = token_length(s);
    if (n == 0 || n >= s.size() || s[n] != '=') return std::nullopt;
    std::string name = to_lower(s.substr(0, n));
    s.remove_prefix(n + 1);
    std::optional<std::string> value = take_value(&s);
    if (!value) return std::nullopt;
    out.emplace_back(std::move(name), std::move(*value));
    s = trim(s);
  }
  return out;
}

// The value of parameter `name`; false when it occurs more than once.
bool unique_param(const std::vector<Param>& params, std::string_view name,
                  const std::string** out) {
  *out = nullptr;
  for (const Param& p : params) {
    if (p.first != name) continue;
    if (*out) return false;
    *out = &p.second;
  }
  return true;
}

bool valid_boundary(std::string_view b) {
  if (b.empty() || b.size() > 70 || b.back() == ' ') return false;
  for (char c : b)
    if (!is_bchar(static_cast<unsigned char>(c))) return false;
  return true;
}

std::optional<MultipartPart> parse_disposition(std::string_view value, std::string* error) {
  size_t n = token_length(value);
  if (!iequals(value.substr(0, n), "form-data")) {
    *error = "multipart: Content-Disposition is not form-data";
    return std::nullopt;
  }
  std::optional<std::vector<Param>> params = parse_params(value.substr(n));
  const std::string* name = nullptr;
  const std::string* filename = nullptr;
  if (!params || !unique_param(*params, "name", &name) ||
      !unique_param(*params, "filename", &filename)) {
    *error = "multipart: malformed Content-Disposition";
    return std::nullopt;
  }
  if (!name || name->empty()) {
    *error = "multipart: part without a name";
    return std::nullopt;
  }
  MultipartPart part;
  part.name = *name;
  if (filename) {
    part.has_filename = true;
    part.filename = *filename;
  }
  return part;
}

// The header block of one part, without its final blank line: lines of
// "Name: value" separated by CRLF.
std::optional<MultipartPart> parse_headers(std::string_view block, std::string* error) {
  std::optional<MultipartPart> part;
  bool have_type = false;
  std::string type;
  while (!block.empty()) {
    size_t eol = block.find("\r\n");
    std::string_view line = block.substr(0, eol);
    block = eol == std::string_view::npos ? std::string_view() : block.substr(eol + 2);
    size_t n = token_length(line);
    if (n == 0 || n >= line.size() || line[n] != ':') {
      *error = "multipart: malformed header line";
      return std::nullopt;
    }
    std::string_view value = trim(line.substr(n + 1));
    for (char c : value) {
      if (!is_value_byte(static_cast<unsigned char>(c))) {
        *error = "multipart: control character in a header";
        return std::nullopt;
      }
    }
    std::string name = to_lower(line.substr(0, n));
    if (name == "content-disposition") {
      if (part) {
        *error = "multipart: Content-Disposition given twice";
        return std::nullopt;
      }
      part = parse_disposition(value, error);
      if (!part) return std::nullopt;
    } else if (name == "content-type") {
      if (have_type) {
        *error = "multipart: Content-Type given twice";
        return std::nullopt;
      }
      have_type = true;
      type = std::string(value);
    }
  }
  if (!part) {
    *error = "multipart: part without Content-Disposition";
    return std::nullopt;
  }
  part->content_type = std::move(type);
  return part;
}

}  // namespace

std::optional<std::string> multipart_boundary(std::string_view content_type, std::string* error) {
  size_t slash = token_length(content_type);
  size_t n = slash < content_type.size() && content_type[slash] == '/'
                 ? slash + 1 + token_length(content_type.substr(slash + 1))
                 : slash;
  if (!iequals(content_type.substr(0, n), "multipart/form-data")) {
    *error = "Content-Type: not multipart/form-data";
    return std::nullopt;
  }
  std::optional<std::vector<Param>> params = parse_params(content_type.substr(n));
  const std::string* boundary = nullptr;
  if (!params || !unique_param(*params, "boundary", &boundary)) {
    *error = "Content-Type: malformed parameters";
    return std::nullopt;
  }
  if (!boundary || !valid_boundary(*boundary)) {
    *error = "Content-Type: missing or invalid boundary";
    return std::nullopt;
  }
  return *boundary;
}

MultipartParser::MultipartParser(std::string boundary, MultipartLimits limits)
    : delimiter_("\r\n--" + boundary), limits_(limits) {
  // The body starts with the delimiter minus its CRLF: count that as matched.
  matched_ = 2;
}

bool MultipartParser::fail(const std::string& text) {
  state_ = State::kFailed;
  error_ = text;
  return false;
}

// Scans part-body bytes for the delimiter; returns how many bytes it took
// (all of them, or up to and including a complete delimiter). A partial
// match can only begin at CR, and the delimiter holds no CR after its
// first byte, so a mismatch restarts the search at the mismatching byte.
size_t MultipartParser::scan_body(const uint8_t* data, size_t size) {
  size_t i = 0;
  while (i < size) {
    if (matched_ == 0) {
      const void* cr = std::memchr(data + i, '\r', size - i);
      if (!cr) return size;
      i = static_cast<size_t>(static_cast<const uint8_t*>(cr) - data) + 1;
      matched_ = 1;
      continue;
    }
    if (data[i] != static_cast<uint8_t>(delimiter_[matched_])) {
      matched_ = 0;
      continue;
    }
    i++;
    if (++matched_ == delimiter_.size()) return i;
  }
  return size;
}

bool MultipartParser::delimiter_end(uint8_t c) {
  pending_.push_back(static_cast<char>(c));
  if (pending_.size() < 2) return true;
  if (pending_ == "--") {
    state_ = State::kClosing;
  } else if (pending_ == "\r\n") {
    if (parts_.size() >= limits_.max_parts)
      return fail("multipart: more than " + std::to_string(limits_.max_parts) + " parts");
    state_ = State::kHeaders;
  } else {
    return fail("multipart: boundary followed by neither CRLF nor \"--\"");
  }
  pending_.clear();
  return true;
}

bool MultipartParser::header_byte(uint8_t c) {
  pending_.push_back(static_cast<char>(c));
  if (pending_.size() > limits_.max_header_bytes)
    return fail("multipart: part headers over " + std::to_string(limits_.max_header_bytes) +
                " bytes");
  if (pending_ == "\r\n") return fail("multipart: part without Content-Disposition");
  if (pending_.size() < 4 || pending_.compare(pending_.size() - 4, 4, "\r\n\r\n") != 0) return true;
  // A stray CR or LF inside a line is a control byte in a name or value,
  // which parse_headers rejects.
  std::string_view block(pending_.data(), pending_.size() - 4);
  std::string error;
  std::optional<MultipartPart> part = parse_headers(block, &error);
  if (!part) return fail(error);
  part->offset = pos_ + 1;
  parts_.push_back(std::move(*part));
  pending_.clear();
  state_ = State::kBody;
  return true;
}

bool MultipartParser::closing_byte(uint8_t c) {
  pending_.push_back(static_cast<char>(c));
  if (pending_.size() > 2 || pending_ != std::string("\r\n").substr(0, pending_.size()))
    return fail("multipart: data after the closing boundary");
  if (pending_.size() == 2) state_ = State::kDone;
  return true;
}

bool MultipartParser::feed(const uint8_t* data, size_t size) {
  size_t i = 0;
  while (i < size) {
    switch (state_) {
      case State::kFailed:
        return false;
      case State::kDone:
        return fail("multipart: data after the closing boundary");
      case State::kStart:
        // Nothing may come before the first boundary.
        if (data[i] != static_cast<uint8_t>(delimiter_[matched_]))
          return fail("multipart: body does not start with the boundary");
        i++;
        pos_++;
        if (++matched_ == delimiter_.size()) {
          matched_ = 0;
          state_ = State::kAfterDelimiter;
        }
        break;
      case State::kBody: {
        size_t n = scan_body(data + i, size - i);
        i += n;
        pos_ += n;
        if (matched_ == delimiter_.size()) {
          MultipartPart& part = parts_.back();
          part.size = pos_ - delimiter_.size() - part.offset;
          matched_ = 0;
          state_ = State::kAfterDelimiter;
        }
        break;
      }
      case State::kAfterDelimiter:
        if (!delimiter_end(data[i])) return false;
        i++;
        pos_++;
        break;
      case State::kHeaders:
        if (!header_byte(data[i])) return false;
        i++;
        pos_++;
        break;
      case State::kClosing:
        if (!closing_byte(data[i])) return false;
        i++;
        pos_++;
        break;
    }
  }
  return state_ != State::kFailed;
}

bool MultipartParser::finish() {
  if (state_ == State::kFailed) return false;
  // The closing delimiter's final CRLF is optional.
  if (state_ == State::kDone || (state_ == State::kClosing && pending_.empty())) {
    state_ = State::kDone;
    return true;
  }
  if (state_ == State::kStart) return fail("multipart: body does not start with the boundary");
  return fail("multipart: body ends before the closing boundary");
}

std::optional<std::vector<MultipartPart>> multipart_parse(std::string_view body,
                                                          std::string_view content_type,
                                                          std::string* error,
                                                          MultipartLimits limits) {
  std::optional<std::string> boundary = multipart_boundary(content_type, error);
  if (!boundary) return std::nullopt;
  MultipartParser parser(std::move(*boundary), limits);
  if (!parser.feed(body) || !parser.finish()) {
    *error = parser.error();
    return std::nullopt;
  }
  return parser.parts();
}

const MultipartPart* multipart_find(const std::vector<MultipartPart>& parts,
                                    std::string_view name) {
  for (const MultipartPart& p : parts)
    if (p.name == name) return &p;
  return nullptr;
}

}  // namespace halvex::server
