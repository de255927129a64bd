// The one request each platform's http_get_stream is made of, for the
// redirect loop both share (http_follow.cc). Internal to platform/.

#pragma once

#include <string>

#include "platform/http.h"

namespace halvex {

// One GET of a streamed request. When `follow` is set and the reply is a
// redirect, returns false with *redirect set to its target and nothing
// handed to the callbacks; any other failure leaves *redirect empty.
bool http_get_once(const std::string& url, const std::string& user_agent,
                   const HttpTimeouts& timeouts, const HttpStreamCallbacks& callbacks, bool follow,
                   std::string* redirect, std::string* error);

}  // namespace halvex
