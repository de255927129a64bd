// Self-update: "do_update" checks the installer's URL against the trust
// rule and the requested version against the agent's own, then a worker
// thread fetches the installer into a private temporary folder, checks its
// size, starts the hand-over script (platform/update_script.h) that waits
// for this process to end, runs the installer silently and removes the
// installer, itself and the folder, reports "restarting", closes the WebSocket and ends the process
// with exit code 0. Every failure is answered with "update_status" "error"
// and the agent runs on.
//
// Threads: the handler runs on the connection thread and starts at most
// one worker at a time (detached; it owns its update_request). The worker
// ends the whole process when it succeeds.

#pragma once

#include <string>
#include <string_view>

#include "core/json.h"
#include "transfer/fetch.h"

namespace halvex {

// The record handed from the handler to the worker: version and filename
// cut to 31 and 127 bytes; download_url checked by the trust rule and
// rebuilt from its parts (a URL of more than 511 bytes is refused with
// "Update URL too long", never cut).
struct update_request {
  std::string version;
  std::string download_url;
  std::string filename;
};

// Installers below this size are refused.
constexpr uint64_t kMinInstallerBytes = 1000000;

// Registers "do_update". `base_url` gives the server's origin for the
// trust rule; `stop_reconnecting` is called once the hand-over has started,
// before the WebSocket is closed, so that the closing link does not bring
// the reconnect sequence back to the server in the agent's last moments.
void update_register_handlers(ServerBaseUrlFn base_url, void (*stop_reconnecting)());

// The trust rule against the registered server origin (see
// transfer_url_trusted).
bool is_trusted_update_url(std::string_view url);

// What "do_update" does, with its collaborators given: checks `request`,
// answers a refusal through `send`, or starts update_worker on a detached
// thread.
void update_handle_request(const cJSON* request, const std::string& server_base_url,
                           const EventSink& send);

}  // namespace halvex
