// The agent's one link to the server: a WebSocket (normally over TLS) that
// delivers whole messages to a callback, sends text for any thread, and
// keeps itself alive with a heartbeat every 20 s. It knows nothing of
// events; reconnecting is the caller's business (one ws_run per connection).
//
// Threads: ws_run runs on a connection thread of the caller's and calls both
// callbacks on that thread. ws_send_text, ws_close and ws_is_connected may be
// called from any thread, including from inside the callbacks. Each run keeps
// its own connection record: the teardown, heartbeat and connected flag of a
// run concern only the connection that run opened, never a later one.

#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace halvex {

// Called with one complete message (text or binary), NUL-terminated after
// `len` bytes. The text is valid only during the call.
using WsMessageCallback = void (*)(const char* text, size_t len);
// Called with true once a connection is up, with false once it has ended.
using WsStateCallback = void (*)(bool connected);

// Largest message delivered; longer ones are dropped whole with one WARN.
constexpr size_t kWsMaxMessage = 65535;

struct WsUrl {
  bool secure = true;
  std::string host;
  uint16_t port = 443;
  std::string path = "/";
};

// "wss://host[:port][/path]" or "ws://...". nullopt for another scheme, an
// empty host or one over 255 characters, or a port outside 1..65535.
std::optional<WsUrl> ws_parse_url(std::string_view url);

// Stores the callbacks. Call once, before the first ws_run.
void ws_init(WsMessageCallback on_message, WsStateCallback on_state);

// Hands out the number of a new run and closes the current connection. From
// here on only the run with this number may bring a connection up: a run
// numbered earlier whose thread gets going late returns without connecting.
// Call it where the run is decided, before starting its thread.
uint64_t ws_new_run();

// Connects to `url` and runs the receive loop on the calling thread until
// the connection ends, then tears it down and returns. A new run closes a
// connection that is still open from an earlier run. `run` comes from
// ws_new_run(); without it the run takes a new number when it starts.
void ws_run(const std::string& url, uint64_t run);
void ws_run(const std::string& url);

// Sends one text message on the current connection. False without a log line
// when there is no established connection; false after a WARN line when the
// send fails.
bool ws_send_text(const char* text, size_t len);

// Ends the current connection: sends a close (status 1000) and shuts it. Its
// run then tears down without logging a receive error.
void ws_close();

bool ws_is_connected();

// True while the connection of run `run` is the current one and up. A caller
// that started a run waits on this, not on ws_is_connected(): an older
// connection coming up in the meantime is not the one it asked for.
bool ws_run_is_connected(uint64_t run);

// For the state callback with false: true when the run that just ended had
// been replaced by a newer run (its end is not the end of the live link).
// False anywhere else.
bool ws_run_was_replaced();

// ws_close at process end, then waits (at most about 3 s) until the closed
// run has torn down and reported its end.
void ws_shutdown();

}  // namespace halvex
