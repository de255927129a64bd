// Keeping the agent connected and linked: pairing with a user account
// through the browser, the reconnect sequence after a lost connection, and
// the watchdog that starts a new sequence every 15 s while the agent should
// be connected and isn't.
//
// Threads: pairing, reconnect and watchdog run on threads of their own
// (started here, detached); the two handlers run on the connection thread.
// The shared flags are atomics; `reconnecting` is tested and set in one step,
// so at most one reconnect sequence runs at a time.

#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/json.h"
#include "service/server_address.h"

namespace halvex {

constexpr size_t kPairCodeLength = 6;

// The pairing code for six random bytes: each character from the low five
// bits of its byte, so all 32 letters of the alphabet come up equally often.
std::string pair_code_from_bytes(const unsigned char (&bytes)[kPairCodeLength]);

// Whether a lost connection should be re-established on its own.
void set_should_reconnect(bool value);
bool should_reconnect();

// Starts a connection thread running ws_run(service_url()) as a new run
// (closing the current connection at once) and returns the run's number.
uint64_t start_connection_thread();

// Starts the pairing sequence on its own thread (Login with Browser).
void start_pairing();

// Starts the watchdog thread (once, at start-up).
void start_watchdog();

// How far pairing has come, for a caller that started it and waits: each
// count only grows. `page` and `code` are those of the latest pairing that
// sent its request (empty before). Any thread.
struct PairingProgress {
  uint64_t started = 0;    // pairing sequences begun
  uint64_t requested = 0;  // of those, the ones that sent their request
  uint64_t failed = 0;     // of those, the ones that ended without a link
  uint64_t linked = 0;     // "pair_success" received
  std::string page, code;
};
PairingProgress pairing_progress();

// Handlers: "pair_success" and the "_disconnected" slot.
void on_pair_success(const cJSON* data);
void on_link_lost(const cJSON* data);

}  // namespace halvex
