// http_get_stream on every platform: the redirect loop around the
// platform's single request.

#include "platform/http_follow.h"

#include <optional>

namespace halvex {

bool http_get_stream(const std::string& url, const std::string& user_agent,
                     const HttpTimeouts& timeouts, const HttpStreamCallbacks& callbacks,
                     std::string* error) {
  bool follow = callbacks.max_redirects > 0;
  std::string current = url;
  for (int hops = 0;; hops++) {
    std::string target;
    if (http_get_once(current, user_agent, timeouts, callbacks, follow, &target, error))
      return true;
    if (target.empty()) return false;
    if (hops == callbacks.max_redirects) {
      if (error != nullptr) *error = "too many redirects";
      return false;
    }
    std::optional<std::string> next;
    if (callbacks.on_redirect) next = callbacks.on_redirect(current, target);
    if (!next) {
      if (error != nullptr) *error = "redirect to " + target + " refused";
      return false;
    }
    current = *next;
  }
}

}  // namespace halvex
