// The control socket is the Linux service's way in for the tray's commands
// (tray_ui_wants_control_socket() is false here: the notification icon
// takes them). These calls exist so the portable control module links; each
// one fails.

#include "platform/local_socket.h"

namespace halvex {

namespace {

constexpr const char* kNone = "no control socket on Windows (the tray icon takes the commands)";

std::optional<int> fail(std::string* error) {
  if (error != nullptr) *error = kNone;
  return std::nullopt;
}

}  // namespace

std::optional<int> local_listen(const std::string&, std::string* error) { return fail(error); }
std::optional<int> local_accept(int, uint32_t*, std::string* error) { return fail(error); }
std::optional<int> local_connect(const std::string&, std::string* error) { return fail(error); }
int local_read(int, char*, size_t, int) { return -1; }
bool local_write(int, const std::string&) { return false; }
void local_close(int) {}
uint32_t local_user_id() { return 0; }

}  // namespace halvex
