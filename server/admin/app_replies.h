// Replies the App's source files (app.cc, app_access.cc) share: the HTML
// page frame, redirects, and the answer to a throttled password (JSON
// answers are upload_form.h's).
// Internal to the App; pure functions, any thread.

#pragma once

#include <cstdint>
#include <string>

#include "server/admin/app.h"

namespace halvex::server {

// A whole HTML page.
std::string page(const std::string& title, const std::string& body);
HttpResponse html(int status, const std::string& title, const std::string& body);
// 429 with Retry-After, for a password check that must wait `wait_ms`.
HttpResponse too_many(int64_t wait_ms);
// 403 for a form without its session's CSRF token (or login token).
HttpResponse forbidden_form();
// 303 to `target`, for a page that needs a login and after a form.
HttpResponse see_other(const std::string& target);
// Milliseconds of the steady clock, for the Throttle.
int64_t steady_ms();

}  // namespace halvex::server
