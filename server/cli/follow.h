// Following a machine's stored events through the admin API, once for
// every command that asks a machine for something and waits for the
// answer (image, scan, thumbnails, download, update, drone), and for the
// commands that list events (events, drone rx).
//
// follow_events sends the request, then hands each later event of the
// machine to the command's judge until the judge decides. It starts after
// the last event stored before the request, so nothing of an earlier job
// is taken for this one. When the machine's link ends during the job
// ("machine_offline"), the job has the grace period to show life again
// (any later event); otherwise the command says the machine went offline
// and fails: an agent that reconnects has lost the job, and its last event
// may never come.
//
// Runs on the main thread; the judge runs on it too, between polls.

#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>

#include "core/json.h"
#include "server/cli/admin_client.h"
#include "server/cli/flags.h"

namespace halvex::server {

// How long a job may stay silent after its machine's link ended, unless
// --offline-grace says otherwise: the agent may come back and finish.
constexpr int kDefaultOfflineGraceSeconds = 30;

struct FollowEvent {
  std::string name;     // "e"
  const cJSON* d;       // "d"
  const cJSON* stored;  // the whole stored event: {"seq", "e", "d", ...}
};

// What an event means for the command: nullopt to go on, else its exit
// status (the judge prints what it has to say first).
using Judge = std::function<std::optional<int>(const FollowEvent& event)>;

struct Follow {
  std::string context;  // the start of every error text: "scan", "drone connect"
  std::string machine;
  int quiet_limit = 0;  // seconds without any event before giving up; 0: never
  int total_limit = 0;  // seconds in all before giving up; 0: never
  int offline_grace = kDefaultOfflineGraceSeconds;
  bool announce = false;  // say on standard error that the request went out
};

// Reads --timeout S into quiet_limit and --offline-grace S into
// offline_grace (options every job command's table lists). On a bad value
// returns false with *error (a usage error).
bool follow_read_flags(const Flags& flags, Follow* follow, std::string* error);

// Sends the machine `event` with `d`, then judges its events until a
// verdict. Returns the exit status: the verdict, or 1 after printing why
// the command gave up (admin API failure, machine offline past the grace,
// a limit reached).
int follow_events(const AdminApi& api, const Follow& follow, const std::string& event, Json d,
                  const Judge& judge);

// Hands `each` every stored event of `machine` after `after`, page by
// page; with `wait`, goes on for ever, waiting for new ones. Returns false
// with *error when the admin API fails.
bool list_events(const AdminApi& api, const std::string& machine, long long after, bool wait,
                 const std::function<void(const cJSON* event)>& each, std::string* error);

}  // namespace halvex::server
