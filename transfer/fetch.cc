#include "transfer/fetch.h"

#include <algorithm>
#include <vector>

#include "core/version.h"
#include "transfer/url.h"

namespace halvex {

namespace {

// One transfer's state between the HTTP callbacks.
struct Receiver {
  NewFile* file;
  const FetchHooks* hooks;
  size_t buffer_bytes;
  std::vector<uint8_t> buffer;
  uint64_t received = 0;
  uint64_t content_length = 0;
  std::string failure;  // the first cause, when a callback stopped the transfer

  bool flush() {
    if (buffer.empty()) return true;
    if (!file->write(buffer.data(), buffer.size(), &failure)) return false;
    received += buffer.size();
    buffer.clear();
    if (hooks->written) hooks->written(received, content_length);
    return true;
  }

  bool on_start(long status, int64_t length) {
    // Anything but 2xx is an error page (or a redirect that is not
    // followed); its body must never pass for the file.
    if (status < 200 || status > 299) {
      failure = "HTTP status " + std::to_string(status);
      return false;
    }
    content_length = length > 0 ? static_cast<uint64_t>(length) : 0;
    return true;
  }

  bool on_data(const uint8_t* data, size_t length) {
    if (hooks->cancelled && hooks->cancelled()) {
      failure = "cancelled";
      return false;
    }
    while (length > 0) {
      size_t take = std::min(length, buffer_bytes - buffer.size());
      buffer.insert(buffer.end(), data, data + take);
      data += take;
      length -= take;
      if (buffer.size() == buffer_bytes && !flush()) return false;
    }
    return true;
  }
};

}  // namespace

bool transfer_fetch(const std::string& url, const HttpTimeouts& timeouts, size_t buffer_bytes,
                    NewFile* file, const FetchHooks& hooks, std::string* error) {
  Receiver r{file, &hooks, std::max<size_t>(buffer_bytes, 1), {}, 0, 0, {}};
  r.buffer.reserve(r.buffer_bytes);
  HttpStreamCallbacks callbacks;
  callbacks.on_start = [&r](long status, int64_t length) { return r.on_start(status, length); };
  callbacks.on_data = [&r](const uint8_t* data, size_t length) { return r.on_data(data, length); };
  callbacks.max_redirects = hooks.max_redirects;
  callbacks.on_redirect = [&hooks](const std::string& from, const std::string& target) {
    return transfer_redirect_target(from, target, hooks.server_base_url);
  };
  std::string http_error;
  bool ok = http_get_stream(url, kUserAgent, timeouts, callbacks, &http_error) && r.flush() &&
            file->close(&r.failure);
  if (!ok) {
    *error = !r.failure.empty() ? r.failure : http_error;
    file->discard();
  }
  return ok;
}

}  // namespace halvex
