// HTTP(S) requests on WinHTTP, synchronous mode.
//
// Each thread keeps one WinHTTP session for its whole life: WinHTTP pools
// connections per session, so this is what lets a thread's next chunk
// upload reuse the connection of the previous one, while threads never
// share one.
//
// A request body goes out only after the server's certificate has been
// checked: the headers are sent first (WinHttpSendRequest with the body's
// length but none of its bytes), then the pinned CA is checked
// (tls_check_peer), then the body follows with WinHttpWriteData. It is
// written in pieces, so the send time-out bounds a stall, not the body.
//
// Limits of this side: name resolution and connect have separate WinHTTP
// time-outs (resolve_ms and connect_ms) rather than one shared one, and
// WinHTTP does not say whether TLS ended with close_notify; a body without
// Content-Length or chunking ends where the connection does.

#include "platform/http.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <vector>

#include "platform/http_follow.h"
#include "platform/win32/text.h"
#include "platform/win32/tls_winhttp.h"
#include "platform/win32/winhttp_errors.h"

namespace halvex {
namespace {

constexpr size_t kPiece = 64 * 1024;

class Internet {
 public:
  explicit Internet(HINTERNET h = nullptr) : h_(h) {}
  ~Internet() {
    if (h_ != nullptr) WinHttpCloseHandle(h_);
  }
  Internet(const Internet&) = delete;
  Internet& operator=(const Internet&) = delete;
  HINTERNET get() const { return h_; }
  void reset(HINTERNET h) {
    if (h_ != nullptr) WinHttpCloseHandle(h_);
    h_ = h;
  }

 private:
  HINTERNET h_;
};

// The calling thread's session, opened again when the user agent changes.
struct ThreadSession {
  Internet handle;
  std::wstring agent;
};
thread_local ThreadSession t_session;

HINTERNET thread_session(const std::string& user_agent) {
  std::wstring agent = win32::to_wide(user_agent);
  if (t_session.handle.get() == nullptr || t_session.agent != agent) {
    t_session.handle.reset(WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                       WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    t_session.agent = agent;
  }
  return t_session.handle.get();
}

struct Url {
  bool secure = false;
  std::wstring host;
  INTERNET_PORT port = 0;
  std::wstring target;  // path and query
};

// Splits `url`; false unless it is an http(s) URL with a host. An empty
// authority ("https:///x") is refused rather than read as host "x".
bool parse_url(const std::string& url, Url* out) {
  if (url.find('\0') != std::string::npos) return false;
  size_t slashes = url.find("://");
  if (slashes == std::string::npos || url.compare(slashes + 3, 1, "/") == 0) return false;
  std::wstring wide = win32::to_wide(url);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwSchemeLength = parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength =
      static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(wide.c_str(), static_cast<DWORD>(wide.size()), 0, &parts)) return false;
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) return false;
  if (parts.dwHostNameLength == 0) return false;
  out->secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  out->host.assign(parts.lpszHostName, parts.dwHostNameLength);
  out->port = parts.nPort;
  out->target.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
  out->target.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (out->target.empty() || out->target[0] != L'/') out->target.insert(0, L"/");
  return true;
}

std::string failure_text(HttpFailure stage, DWORD code, const std::string& cause = "") {
  return std::string(stage == HttpFailure::kSend ? "send" : "receive") + " failed (" +
         std::to_string(code) + "): " + (cause.empty() ? win32::winhttp_cause(code) : cause);
}

// One exchange up to the reply's headers.
struct Exchange {
  Internet connection;
  Internet request;
  HttpFailure failure = HttpFailure::kNone;
  DWORD code = 0;
  std::string error;

  bool fail(HttpFailure stage, DWORD c, const std::string& cause = "") {
    failure = stage;
    code = c;
    error = failure_text(stage, c, cause);
    return false;
  }
};

bool write_body(Exchange* x, const void* body, uint64_t length) {
  auto* bytes = static_cast<const char*>(body);
  uint64_t offset = 0;
  while (offset < length) {
    DWORD n = static_cast<DWORD>(std::min<uint64_t>(kPiece, length - offset));
    DWORD written = 0;
    if (!WinHttpWriteData(x->request.get(), bytes + offset, n, &written))
      return x->fail(HttpFailure::kSend, GetLastError());
    if (written == 0) return x->fail(HttpFailure::kSend, ERROR_WINHTTP_CONNECTION_ERROR);
    offset += written;
  }
  return true;
}

// Opens, sends (headers, trust check, body) and reads the reply headers.
bool start(Exchange* x, const Url& url, const wchar_t* method, const std::string& user_agent,
           const void* body, uint64_t body_length, const std::string& content_type,
           const HttpTimeouts& timeouts) {
  HINTERNET session = thread_session(user_agent);
  if (session == nullptr) return x->fail(HttpFailure::kSend, GetLastError());
  x->connection.reset(WinHttpConnect(session, url.host.c_str(), url.port, 0));
  if (x->connection.get() == nullptr) return x->fail(HttpFailure::kSend, GetLastError());
  x->request.reset(WinHttpOpenRequest(x->connection.get(), method, url.target.c_str(), nullptr,
                                      WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                      url.secure ? WINHTTP_FLAG_SECURE : 0));
  HINTERNET request = x->request.get();
  if (request == nullptr) return x->fail(HttpFailure::kSend, GetLastError());
  WinHttpSetTimeouts(request, timeouts.resolve_ms, timeouts.connect_ms, timeouts.send_ms,
                     timeouts.receive_ms);
  // Redirects are the caller's to follow, hop by hop.
  DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
  WinHttpSetOption(request, WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never);
  std::string trust_error;
  if (url.secure && !win32::tls_prepare_request(request, &trust_error))
    return x->fail(HttpFailure::kSend, ERROR_WINHTTP_SECURE_FAILURE, trust_error);
  std::wstring headers;
  if (!content_type.empty()) headers = L"Content-Type: " + win32::to_wide(content_type) + L"\r\n";
  if (body_length > MAXDWORD)
    return x->fail(HttpFailure::kSend, ERROR_INVALID_PARAMETER, "body too large");
  if (!WinHttpSendRequest(request,
                          headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                          headers.empty() ? 0 : static_cast<DWORD>(-1L), WINHTTP_NO_REQUEST_DATA, 0,
                          static_cast<DWORD>(body_length), 0)) {
    return x->fail(HttpFailure::kSend, GetLastError());
  }
  DWORD code = 0;
  if (url.secure && !win32::tls_check_peer(request, url.host, &code, &trust_error))
    return x->fail(HttpFailure::kSend, code, trust_error);
  if (!write_body(x, body, body_length)) return false;
  if (!WinHttpReceiveResponse(request, nullptr))
    return x->fail(HttpFailure::kReceive, GetLastError());
  return true;
}

long status_of(HINTERNET request) {
  DWORD status = 0, size = sizeof status;
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
    return 0;
  }
  return static_cast<long>(status);
}

// A text header of the reply; empty when absent.
std::wstring header_of(HINTERNET request, DWORD which) {
  DWORD size = 0;
  WinHttpQueryHeaders(request, which, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &size,
                      WINHTTP_NO_HEADER_INDEX);
  if (size == 0 || GetLastError() != ERROR_INSUFFICIENT_BUFFER) return L"";
  std::wstring value(size / sizeof(wchar_t), L'\0');
  if (!WinHttpQueryHeaders(request, which, WINHTTP_HEADER_NAME_BY_INDEX, value.data(), &size,
                           WINHTTP_NO_HEADER_INDEX))
    return L"";
  value.resize(size / sizeof(wchar_t));
  return value;
}

int64_t content_length_of(HINTERNET request) {
  std::wstring text = header_of(request, WINHTTP_QUERY_CONTENT_LENGTH);
  if (text.empty() || text.find_first_not_of(L"0123456789") != std::wstring::npos ||
      text.size() > 18)
    return -1;
  return std::stoll(text);
}

// Reads the body piece by piece into `sink` until it ends, the sink says
// stop (false) or a read fails (*x then says why).
template <class Sink>
bool read_body(Exchange* x, Sink sink) {
  std::vector<char> buf(kPiece);
  for (;;) {
    DWORD n = 0;
    if (!WinHttpReadData(x->request.get(), buf.data(), static_cast<DWORD>(buf.size()), &n))
      return x->fail(HttpFailure::kReceive, GetLastError());
    if (n == 0) return true;
    if (!sink(buf.data(), static_cast<size_t>(n))) return true;
  }
}

bool is_redirect(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// `location` made absolute against `base`; "" when it cannot be.
std::string resolve_location(const std::string& base, const std::string& location) {
  if (location.empty()) return "";
  if (location.find("://") != std::string::npos) return location;
  size_t scheme_end = base.find("://");
  if (scheme_end == std::string::npos) return "";
  if (location.rfind("//", 0) == 0) return base.substr(0, scheme_end + 1) + location;
  size_t path_start = base.find('/', scheme_end + 3);
  std::string origin = path_start == std::string::npos ? base : base.substr(0, path_start);
  if (location[0] == '/') return origin + location;
  std::string path = path_start == std::string::npos ? "/" : base.substr(path_start);
  path = path.substr(0, path.find_first_of("?#"));
  return origin + path.substr(0, path.rfind('/') + 1) + location;
}

}  // namespace

bool http_request(const std::string& method, const std::string& url, const std::string& user_agent,
                  const void* body, uint64_t body_length, const std::string& content_type,
                  const HttpTimeouts& timeouts, uint64_t max_reply_bytes, HttpReply* reply,
                  std::string* error) {
  *reply = HttpReply{};
  auto fail = [&](HttpFailure stage, int code, const std::string& text) {
    reply->failure = stage;
    reply->failure_code = code;
    if (error != nullptr) *error = text;
    return false;
  };
  Url parsed;
  if (!parse_url(url, &parsed)) return fail(HttpFailure::kUrl, 0, "Invalid URL");
  bool post = method == "POST";
  if (!post && method != "GET") return fail(HttpFailure::kUrl, 0, "unsupported method: " + method);
  Exchange x;
  bool sent = start(&x, parsed, post ? L"POST" : L"GET", user_agent, post ? body : nullptr,
                    post ? body_length : 0, post ? content_type : "", timeouts);
  if (x.request.get() != nullptr) reply->status = status_of(x.request.get());
  if (!sent) return fail(x.failure, static_cast<int>(x.code), x.error);
  bool capped = false;
  auto keep = [&](const char* data, size_t n) {
    uint64_t room = max_reply_bytes - std::min<uint64_t>(max_reply_bytes, reply->body.size());
    reply->body.append(data, static_cast<size_t>(std::min<uint64_t>(room, n)));
    capped = n > room;
    return !capped;  // the rest of an oversized reply is not read
  };
  if (!read_body(&x, keep)) return fail(x.failure, static_cast<int>(x.code), x.error);
  int64_t length = content_length_of(x.request.get());
  if (!capped && length >= 0 && static_cast<int64_t>(reply->body.size()) != length) {
    return fail(HttpFailure::kReceive, ERROR_WINHTTP_CONNECTION_ERROR,
                failure_text(HttpFailure::kReceive, ERROR_WINHTTP_CONNECTION_ERROR,
                             "body shorter than Content-Length"));
  }
  return true;
}

bool http_get_once(const std::string& url, const std::string& user_agent,
                   const HttpTimeouts& timeouts, const HttpStreamCallbacks& callbacks, bool follow,
                   std::string* redirect, std::string* error) {
  auto set_error = [&](std::string text) {
    if (error != nullptr) *error = std::move(text);
    return false;
  };
  Url parsed;
  if (!parse_url(url, &parsed)) return set_error("Invalid URL");
  Exchange x;
  if (!start(&x, parsed, L"GET", user_agent, nullptr, 0, "", timeouts)) return set_error(x.error);
  long status = status_of(x.request.get());
  if (follow && is_redirect(status)) {
    std::string target =
        resolve_location(url, win32::to_utf8(header_of(x.request.get(), WINHTTP_QUERY_LOCATION)));
    if (!target.empty()) {
      *redirect = target;
      return false;
    }
  }
  int64_t length = content_length_of(x.request.get());
  if (callbacks.on_start && !callbacks.on_start(status, length)) return set_error("aborted");
  bool aborted = false;
  int64_t received = 0;
  auto pass_on = [&](const char* data, size_t n) {
    received += static_cast<int64_t>(n);
    aborted = callbacks.on_data && !callbacks.on_data(reinterpret_cast<const uint8_t*>(data), n);
    return !aborted;
  };
  if (!read_body(&x, pass_on)) return set_error(x.error);
  if (aborted) return set_error("aborted");
  if (length >= 0 && received != length)
    return set_error(failure_text(HttpFailure::kReceive, ERROR_WINHTTP_CONNECTION_ERROR,
                                  "body shorter than Content-Length"));
  return true;
}

}  // namespace halvex
