// HTTP(S) on libcurl's easy interface.
//
// Each thread keeps one easy handle for its whole life (reset between
// requests, never freed until the thread ends): libcurl keeps its connection
// cache in the handle, so this is what lets a thread's next chunk upload
// reuse the connection of the previous one.

#include "platform/http.h"

#include <curl/curl.h>
#include <openssl/ssl.h>

#include <strings.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>

#include "platform/http_follow.h"
#include "platform/posix/tls_openssl.h"

namespace halvex {
namespace {

using Clock = std::chrono::steady_clock;

const char* const kNoCloseNotify =
    "receive failed (18): connection closed without TLS close_notify";

// curl_global_init is not safe to race with itself or with the first
// curl_easy_init on older builds, so it runs once, before any handle. It is
// never undone: handles of detached threads may live until the process ends.
bool global_init() {
  static std::once_flag once;
  static CURLcode result = CURLE_FAILED_INIT;
  std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
  return result == CURLE_OK;
}

struct EasyDeleter {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;

struct UrlDeleter {
  void operator()(CURLU* u) const { curl_url_cleanup(u); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlDeleter>;

struct SlistDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
using Slist = std::unique_ptr<curl_slist, SlistDeleter>;

// The calling thread's handle. `busy` is set while a request runs on it, so
// a request started from inside a stream callback does not reset the
// handle under the transfer in progress.
struct ThreadHandle {
  EasyHandle handle;
  bool busy = false;
};
thread_local ThreadHandle t_handle;

// Lends a handle, reset to defaults, for one request: the thread's own one,
// or a one-off handle when the thread's is in use. Declare it after what the
// request's options point to, so that it is given back first.
class Lease {
 public:
  Lease() {
    if (!global_init()) return;
    if (t_handle.busy) {
      own_.reset(curl_easy_init());
      h_ = own_.get();
      return;
    }
    if (t_handle.handle) {
      curl_easy_reset(t_handle.handle.get());  // keeps the connection cache
    } else {
      t_handle.handle.reset(curl_easy_init());
    }
    h_ = t_handle.handle.get();
    if (h_ != nullptr) t_handle.busy = lent_ = true;
  }
  // Resetting here rather than only before the next request leaves no
  // pointer into this request's buffers and callbacks in the kept handle.
  ~Lease() {
    if (!lent_) return;
    curl_easy_reset(h_);
    t_handle.busy = false;
  }
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;

  CURL* get() const { return h_; }

 private:
  CURL* h_ = nullptr;
  EasyHandle own_;
  bool lent_ = false;
};

// Parses `url` the way the transfer will use it; null unless it names an
// http or https scheme and a host. libcurl would read "https:///x" as host
// "x"; here an authority must follow the "//".
UrlHandle parse_url(const std::string& url) {
  if (url.find('\0') != std::string::npos) return nullptr;
  size_t slashes = url.find("://");
  if (slashes == std::string::npos || url.compare(slashes + 3, 1, "/") == 0) return nullptr;
  UrlHandle u(curl_url());
  if (!u || curl_url_set(u.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return nullptr;
  auto part = [&](CURLUPart which) {
    char* text = nullptr;
    std::string value;
    if (curl_url_get(u.get(), which, &text, 0) == CURLUE_OK && text != nullptr) value = text;
    curl_free(text);
    return value;
  };
  std::string scheme = part(CURLUPART_SCHEME);
  if ((scheme != "http" && scheme != "https") || part(CURLUPART_HOST).empty()) return nullptr;
  return u;
}

// libcurl (7.88) reads a TLS connection that ends without close_notify as
// one that ended cleanly. Where only the end of the connection marks the
// end of the body, a cut transfer would then pass as complete, so the alert
// is watched here and required for such bodies (see cut_short()). OpenSSL's
// callback knows only the SSL object: the transfer in progress on this
// thread names the one it watches and where to record the alert. Handles,
// and so their connections, never leave their thread.
thread_local const SSL* t_watched_tls = nullptr;
thread_local bool* t_close_notify = nullptr;

void on_tls_info(const SSL* ssl, int where, int ret) {
  if ((where & SSL_CB_READ_ALERT) == SSL_CB_READ_ALERT && (ret & 0xff) == SSL3_AD_CLOSE_NOTIFY &&
      ssl == t_watched_tls && t_close_notify != nullptr) {
    *t_close_notify = true;
  }
}

// What one transfer's callbacks share.
struct Transfer {
  CURL* h = nullptr;
  long send_ms = 0;
  long receive_ms = 0;
  curl_off_t upload_size = 0;

  // Stall clocks; they start when the connection is ready (the connect
  // limit covers the time before).
  bool connected = false;
  bool sent = false;  // the whole request has gone out
  Clock::time_point last_send;
  Clock::time_point last_receive;
  curl_off_t ul_seen = 0;
  curl_off_t dl_seen = 0;
  HttpFailure stalled = HttpFailure::kNone;

  // Body sink: either a capped string or the stream callbacks.
  std::string* body = nullptr;
  uint64_t cap = 0;
  bool capped = false;
  const HttpStreamCallbacks* stream = nullptr;
  bool started = false;  // on_start has run
  bool aborted = false;  // a stream callback asked to stop
  bool follow = false;   // redirects are followed (by the caller)
  std::string redirect;  // the target of a redirect reply, when following
  std::string location;  // the Location header of the reply, as sent
  int64_t received = 0;

  // The final reply's framing, known once its headers are in.
  long status = 0;
  int64_t content_length = -1;
  bool chunked = false;
  bool tls = false;
  bool close_notify = false;  // the server ended TLS properly
  std::string trust_error;    // why the anchors could not be loaded
};

// Every new TLS connection gets the anchors the WebSocket link uses; what
// libcurl would load itself (its own CA bundle, which ignores
// SSL_CERT_FILE) is switched off in set_common().
CURLcode on_ssl_ctx(CURL*, void* ssl_ctx, void* clientp) {
  auto* ctx = static_cast<SSL_CTX*>(ssl_ctx);
  if (!tls_apply_trust(ctx, &static_cast<Transfer*>(clientp)->trust_error))
    return CURLE_SSL_CACERT_BADFILE;
  SSL_CTX_set_info_callback(ctx, on_tls_info);
  return CURLE_OK;
}

bool starts_with_nocase(const char* data, size_t n, const char* prefix) {
  size_t len = std::strlen(prefix);
  return n >= len && strncasecmp(data, prefix, len) == 0;
}

// Points the TLS alert watch at `t` for the life of this object, and back
// at whatever it watched before (a request from inside a stream callback
// nests in the outer one).
class TlsWatch {
 public:
  explicit TlsWatch(Transfer* t) : tls_(t_watched_tls), sink_(t_close_notify) {
    t_watched_tls = nullptr;
    t_close_notify = &t->close_notify;
  }
  ~TlsWatch() {
    t_watched_tls = tls_;
    t_close_notify = sink_;
  }
  TlsWatch(const TlsWatch&) = delete;
  TlsWatch& operator=(const TlsWatch&) = delete;

 private:
  const SSL* tls_;
  bool* sink_;
};

// Notes the framing of the final reply and which TLS connection carries it.
void on_final_headers(Transfer* t) {
  curl_easy_getinfo(t->h, CURLINFO_RESPONSE_CODE, &t->status);
  curl_off_t length = -1;
  if (curl_easy_getinfo(t->h, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK) length = -1;
  t->content_length = length;
  curl_tlssessioninfo* info = nullptr;
  if (curl_easy_getinfo(t->h, CURLINFO_TLS_SSL_PTR, &info) == CURLE_OK && info != nullptr &&
      info->backend == CURLSSLBACKEND_OPENSSL && info->internals != nullptr) {
    t->tls = true;
    t_watched_tls = static_cast<const SSL*>(info->internals);
  }
}

// A body that only the end of the connection delimits (no Content-Length,
// not chunked) is whole only if the server closed TLS with close_notify.
bool cut_short(const Transfer& t) {
  if (!t.tls || t.content_length >= 0 || t.chunked) return false;
  if (t.status < 200 || t.status == 204 || t.status == 304) return false;  // never a body
  return !t.close_notify;
}

int on_prereq(void* clientp, char*, char*, int, int) {
  auto* t = static_cast<Transfer*>(clientp);
  t->connected = true;
  t->last_send = t->last_receive = Clock::now();
  return CURL_PREREQFUNC_OK;
}

// Stall detection. libcurl's LOW_SPEED_LIMIT/TIME cannot express these
// limits: it averages both directions together in whole seconds and runs
// from the start of the transfer, so it could not tell a stalled upload from
// a server that is still working on its reply. libcurl calls this at least
// once a second, also while nothing moves, which bounds the overshoot.
int on_progress(void* clientp, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) {
  auto* t = static_cast<Transfer*>(clientp);
  if (!t->connected) return 0;
  Clock::time_point now = Clock::now();
  if (ulnow != t->ul_seen) {
    t->ul_seen = ulnow;
    t->last_send = now;
  }
  if (dlnow != t->dl_seen) {
    t->dl_seen = dlnow;
    t->last_receive = now;
  }
  auto elapsed_ms = [&](Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(now - since).count();
  };
  if (!t->sent && ulnow < t->upload_size) {
    if (t->send_ms > 0 && elapsed_ms(t->last_send) > t->send_ms) {
      t->stalled = HttpFailure::kSend;
      return 1;
    }
    return 0;
  }
  if (!t->sent) {
    t->sent = true;
    t->last_receive = now;  // waiting for the reply starts now
  }
  if (t->receive_ms > 0 && elapsed_ms(t->last_receive) > t->receive_ms) {
    t->stalled = HttpFailure::kReceive;
    return 1;
  }
  return 0;
}

// A Location made absolute against the URL that was requested; "" when
// it cannot be read.
std::string resolve_location(CURL* h, const std::string& location) {
  char* current = nullptr;
  if (curl_easy_getinfo(h, CURLINFO_EFFECTIVE_URL, &current) != CURLE_OK || current == nullptr)
    return "";
  UrlHandle u(curl_url());
  char* text = nullptr;
  if (!u || curl_url_set(u.get(), CURLUPART_URL, current, 0) != CURLUE_OK ||
      curl_url_set(u.get(), CURLUPART_URL, location.c_str(), 0) != CURLUE_OK ||
      curl_url_get(u.get(), CURLUPART_URL, &text, 0) != CURLUE_OK || text == nullptr) {
    return "";
  }
  std::string absolute = text;
  curl_free(text);
  return absolute;
}

bool is_redirect(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Header lines. The empty line ends a header block; the first block with a
// final status (1xx blocks come before it) is the reply's, and starts a
// stream.
size_t on_header(char* data, size_t size, size_t count, void* userdata) {
  auto* t = static_cast<Transfer*>(userdata);
  size_t n = size * count;
  t->last_receive = Clock::now();
  if (starts_with_nocase(data, n, "transfer-encoding:") &&
      std::string_view(data, n).find("chunked") != std::string_view::npos) {
    t->chunked = true;
  }
  if (starts_with_nocase(data, n, "location:")) {
    std::string_view value(data + 9, n - 9);
    size_t first = value.find_first_not_of(" \t");
    size_t last = value.find_last_not_of(" \t\r\n");
    t->location =
        first == std::string_view::npos ? "" : std::string(value.substr(first, last - first + 1));
  }
  bool end_of_block = (n == 2 && data[0] == '\r' && data[1] == '\n') || (n == 1 && data[0] == '\n');
  if (!end_of_block || t->started) return n;
  long status = 0;
  curl_easy_getinfo(t->h, CURLINFO_RESPONSE_CODE, &status);
  if (status < 200) {
    t->chunked = false;
    return n;
  }
  if (t->follow && is_redirect(status) && !t->location.empty()) {
    t->redirect = resolve_location(t->h, t->location);
    if (!t->redirect.empty()) return 0;  // its body is of no use; ends the transfer here
  }
  t->started = true;
  on_final_headers(t);
  if (t->stream != nullptr && t->stream->on_start &&
      !t->stream->on_start(t->status, t->content_length)) {
    t->aborted = true;
    return 0;  // ends the transfer with CURLE_WRITE_ERROR
  }
  return n;
}

size_t on_body(char* data, size_t size, size_t count, void* userdata) {
  auto* t = static_cast<Transfer*>(userdata);
  size_t n = size * count;
  t->received += static_cast<int64_t>(n);
  if (t->stream != nullptr) {
    if (t->stream->on_data && !t->stream->on_data(reinterpret_cast<const uint8_t*>(data), n)) {
      t->aborted = true;
      return 0;
    }
    return n;
  }
  uint64_t room = t->cap - std::min<uint64_t>(t->cap, t->body->size());
  if (n <= room) {
    t->body->append(data, n);
    return n;
  }
  // Reading on to the end of an oversized reply would cost time and bytes
  // for nothing; the transfer stops here and the connection is dropped.
  t->body->append(data, static_cast<size_t>(room));
  t->capped = true;
  return 0;
}

// Applies `value` unless an earlier option failed; keeps the first failure.
template <class T>
void set(CURL* h, CURLoption option, T value, CURLcode* rc) {
  if (*rc == CURLE_OK) *rc = curl_easy_setopt(h, option, value);
}

// The options every request shares.
CURLcode set_common(Transfer* t, CURLU* url, const std::string& user_agent,
                    const HttpTimeouts& timeouts, curl_slist* headers, char* error_buf) {
  CURL* h = t->h;
  CURLcode rc = CURLE_OK;
  set(h, CURLOPT_ERRORBUFFER, error_buf, &rc);
  set(h, CURLOPT_CURLU, url, &rc);
  set(h, CURLOPT_PROTOCOLS_STR, "http,https", &rc);
  set(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https", &rc);
  set(h, CURLOPT_FOLLOWLOCATION, 0L, &rc);
  set(h, CURLOPT_SSL_VERIFYPEER, 1L, &rc);
  set(h, CURLOPT_SSL_VERIFYHOST, 2L, &rc);
  set(h, CURLOPT_SSL_CTX_FUNCTION, on_ssl_ctx, &rc);
  set(h, CURLOPT_SSL_CTX_DATA, static_cast<void*>(t), &rc);
  set(h, CURLOPT_CAINFO, static_cast<const char*>(nullptr), &rc);
  set(h, CURLOPT_CAPATH, static_cast<const char*>(nullptr), &rc);
  // HTTP/1.1, as the upload endpoints expect; it also keeps each thread to
  // one connection per server.
  set(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1), &rc);
  set(h, CURLOPT_USERAGENT, user_agent.c_str(), &rc);
  set(h, CURLOPT_NOSIGNAL, 1L, &rc);  // no SIGALRM for DNS time-outs in a threaded program
  long connect_ms = timeouts.resolve_ms > 0 && timeouts.connect_ms > 0
                        ? timeouts.resolve_ms + timeouts.connect_ms
                        : 0;
  set(h, CURLOPT_CONNECTTIMEOUT_MS, connect_ms, &rc);
  set(h, CURLOPT_HTTPHEADER, headers, &rc);
  set(h, CURLOPT_PREREQFUNCTION, on_prereq, &rc);
  set(h, CURLOPT_PREREQDATA, t, &rc);
  set(h, CURLOPT_NOPROGRESS, 0L, &rc);
  set(h, CURLOPT_XFERINFOFUNCTION, on_progress, &rc);
  set(h, CURLOPT_XFERINFODATA, t, &rc);
  set(h, CURLOPT_HEADERFUNCTION, on_header, &rc);
  set(h, CURLOPT_HEADERDATA, t, &rc);
  set(h, CURLOPT_WRITEFUNCTION, on_body, &rc);
  set(h, CURLOPT_WRITEDATA, t, &rc);
  t->send_ms = timeouts.send_ms;
  t->receive_ms = timeouts.receive_ms;
  return rc;
}

// Headers: libcurl's own "Expect: 100-continue" on large bodies would
// cost a round trip per chunk (or a second's wait with servers that ignore
// it), so it is switched off; the Content-Type is ours or none at all.
Slist make_headers(const std::string& content_type) {
  curl_slist* list = curl_slist_append(nullptr, "Expect:");
  if (list == nullptr) return nullptr;
  std::string line = content_type.empty() ? "Content-Type:" : "Content-Type: " + content_type;
  curl_slist* more = curl_slist_append(list, line.c_str());
  if (more == nullptr) {
    curl_slist_free_all(list);
    return nullptr;
  }
  return Slist(more);
}

// Which stage a libcurl failure belongs to: anything once a status line was
// read, or that only a reply can cause, is the receive side.
HttpFailure stage_of(const Transfer& t, CURLcode rc, long status) {
  if (t.stalled != HttpFailure::kNone) return t.stalled;
  if (status != 0) return HttpFailure::kReceive;
  switch (rc) {
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_UNSUPPORTED_PROTOCOL:  // e.g. an HTTP/0.9 reply
      return HttpFailure::kReceive;
    default:
      return t.sent ? HttpFailure::kReceive : HttpFailure::kSend;
  }
}

std::string failure_text(const Transfer& t, HttpFailure stage, CURLcode rc, const char* error_buf) {
  std::string name = stage == HttpFailure::kSend ? "send" : "receive";
  if (t.stalled != HttpFailure::kNone) {
    long limit = stage == HttpFailure::kSend ? t.send_ms : t.receive_ms;
    return name + " failed (" + std::to_string(CURLE_OPERATION_TIMEDOUT) + "): nothing " +
           (stage == HttpFailure::kSend ? "sent" : "received") + " for " + std::to_string(limit) +
           " ms";
  }
  const char* cause = !t.trust_error.empty() ? t.trust_error.c_str()
                      : error_buf[0] != '\0' ? error_buf
                                             : curl_easy_strerror(rc);
  return name + " failed (" + std::to_string(static_cast<int>(rc)) + "): " + cause;
}

void fail(HttpReply* reply, HttpFailure stage, int code, std::string text, std::string* error) {
  reply->failure = stage;
  reply->failure_code = code;
  if (error != nullptr) *error = std::move(text);
}

}  // namespace

bool http_request(const std::string& method, const std::string& url, const std::string& user_agent,
                  const void* body, uint64_t body_length, const std::string& content_type,
                  const HttpTimeouts& timeouts, uint64_t max_reply_bytes, HttpReply* reply,
                  std::string* error) {
  *reply = HttpReply{};
  UrlHandle parsed = parse_url(url);
  if (!parsed) {
    fail(reply, HttpFailure::kUrl, 0, "Invalid URL", error);
    return false;
  }
  bool post = method == "POST";
  if (!post && method != "GET") {
    fail(reply, HttpFailure::kUrl, 0, "unsupported method: " + method, error);
    return false;
  }
  Slist headers = make_headers(post ? content_type : "");
  Transfer t;
  char error_buf[CURL_ERROR_SIZE] = "";
  Lease lease;
  if (lease.get() == nullptr || !headers) {
    fail(reply, HttpFailure::kSend, CURLE_FAILED_INIT, "send failed (2): no libcurl handle", error);
    return false;
  }
  t.h = lease.get();
  t.body = &reply->body;
  t.cap = max_reply_bytes;
  CURLcode rc = set_common(&t, parsed.get(), user_agent, timeouts, headers.get(), error_buf);
  if (post) {
    t.upload_size = static_cast<curl_off_t>(body_length);
    set(t.h, CURLOPT_POST, 1L, &rc);
    set(t.h, CURLOPT_POSTFIELDSIZE_LARGE, t.upload_size, &rc);
    set(t.h, CURLOPT_POSTFIELDS, body != nullptr ? static_cast<const char*>(body) : "", &rc);
  }
  if (rc == CURLE_OK) {
    TlsWatch watch(&t);
    rc = curl_easy_perform(t.h);
  }
  curl_easy_getinfo(t.h, CURLINFO_RESPONSE_CODE, &reply->status);
  if (rc == CURLE_WRITE_ERROR && t.capped) return true;
  if (rc == CURLE_OK && !cut_short(t)) return true;
  if (rc == CURLE_OK) {
    fail(reply, HttpFailure::kReceive, CURLE_PARTIAL_FILE, kNoCloseNotify, error);
    return false;
  }

  HttpFailure stage = stage_of(t, rc, reply->status);
  int code = t.stalled != HttpFailure::kNone ? CURLE_OPERATION_TIMEDOUT : rc;
  fail(reply, stage, code, failure_text(t, stage, rc, error_buf), error);
  return false;
}

bool http_get_once(const std::string& url, const std::string& user_agent,
                   const HttpTimeouts& timeouts, const HttpStreamCallbacks& callbacks, bool follow,
                   std::string* redirect, std::string* error) {
  auto set_error = [&](std::string text) {
    if (error != nullptr) *error = std::move(text);
    return false;
  };
  UrlHandle parsed = parse_url(url);
  if (!parsed) return set_error("Invalid URL");
  Slist headers = make_headers("");
  Transfer t;
  char error_buf[CURL_ERROR_SIZE] = "";
  Lease lease;
  if (lease.get() == nullptr || !headers) return set_error("send failed (2): no libcurl handle");
  t.h = lease.get();
  t.stream = &callbacks;
  t.follow = follow;
  CURLcode rc = set_common(&t, parsed.get(), user_agent, timeouts, headers.get(), error_buf);
  if (rc == CURLE_OK) {
    TlsWatch watch(&t);
    rc = curl_easy_perform(t.h);
  }
  if (!t.redirect.empty()) {
    *redirect = t.redirect;
    return false;
  }
  if (t.aborted) return set_error("aborted");
  if (rc != CURLE_OK) {
    long status = 0;
    curl_easy_getinfo(t.h, CURLINFO_RESPONSE_CODE, &status);
    return set_error(failure_text(t, stage_of(t, rc, status), rc, error_buf));
  }
  // libcurl reports a short body itself (CURLE_PARTIAL_FILE); this guards
  // the promise to callers should that ever change.
  if (!t.started) return set_error("receive failed (52): no reply");
  if (cut_short(t)) return set_error(kNoCloseNotify);
  if (t.content_length >= 0 && t.received != t.content_length) {
    return set_error("receive failed (" + std::to_string(CURLE_PARTIAL_FILE) +
                     "): body shorter than Content-Length");
  }
  return true;
}

}  // namespace halvex
