// The agent's control socket: how `halvex-servicectl` gives the tray's
// commands to an agent that runs as a service, with no console. A Unix
// socket "control.sock" in the agent's data folder (0700; the socket 0600);
// a peer whose user id differs from the agent's is refused.
//
// The exchange: the client sends one command line ("login", "dashboard",
// "disconnect", "exit" or "status", at most kControlLineBytes bytes before
// its newline); the agent answers with lines of text and ends with "ok" or
// with "error: <why>", then closes. "status" answers "status: ...",
// "tooltip: ..." and "linked: yes|no"; "login" answers "url: ..." and
// "code: ..." once pairing has sent its request, then "linked: ..." when
// the link is made, or an error when pairing fails. Menu commands run on the
// main thread through tray_post_command().
//
// Threads: control_start() runs once at start-up and starts an accept
// thread; each connection gets a thread of its own (at most a few at once).

#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace halvex {

constexpr size_t kControlLineBytes = 64;

enum class ControlCommand { kLogin, kDashboard, kDisconnect, kExit, kStatus };

// The command a line names (without its newline; a trailing '\r' is
// allowed); nullopt for anything else.
std::optional<ControlCommand> control_parse(std::string_view line);

enum class ControlLine { kMore, kLine, kTooLong };

// Takes the first line out of `pending` (bytes read so far): kLine with
// *line set, kMore while no newline has come within the limit, kTooLong
// once kControlLineBytes bytes have come without one.
ControlLine control_take_line(std::string* pending, std::string* line);

// "<data_dir>/control.sock".
std::string control_socket_path(const std::string& data_dir);

// Listens on the control socket and serves it on a thread of its own.
// False and *error when the socket can't be had; the agent runs on without.
bool control_start(const std::string& data_dir, std::string* error);

}  // namespace halvex
