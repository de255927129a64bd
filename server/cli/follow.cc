#include "server/cli/follow.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "server/admin/app.h"
#include "server/hub/hub.h"
#include "server/http/web.h"

namespace halvex::server {
namespace {

using Clock = std::chrono::steady_clock;

std::string events_target(const std::string& machine, long long after, int wait) {
  return "/api/events?machine_id=" + url_encode(machine) + "&after=" + std::to_string(after) +
         "&wait=" + std::to_string(wait);
}

// The first of a page's events, or null when it has none.
const cJSON* first_event(const Json& page) {
  const cJSON* events = json_get(page.get(), "events");
  return json_is_array(events) ? json_first(events) : nullptr;
}

// One page of the machine's events after *after, waiting up to `wait`
// seconds for one; moves *after past them.
Json events_page(const AdminApi& api, const std::string& machine, long long* after, int wait,
                 std::string* error) {
  Json r = admin_call(api, "GET", events_target(machine, *after, wait), nullptr, wait + 15, error);
  for (const cJSON* e = first_event(r); e != nullptr; e = json_next(e))
    *after = std::max(*after, static_cast<long long>(json_get_number(e, "seq")));
  return r;
}

// The sequence number of the machine's last stored event (0 for none):
// an "after" past every event lists none, only last_seq.
std::optional<long long> last_seq(const AdminApi& api, const std::string& machine,
                                  std::string* error) {
  long long after = INT64_MAX;
  Json r = events_page(api, machine, &after, 0, error);
  if (!r) return std::nullopt;
  return static_cast<long long>(json_get_number(r.get(), "last_seq"));
}

// The state of one follow: when the command gives up.
struct Watch {
  const Follow& f;
  Clock::time_point start = Clock::now(), quiet_since = start, give_up{};
  bool offline = false;  // the machine's link ended and the job has not shown life since

  // The nearest time at which a limit is reached, if any.
  std::optional<Clock::time_point> next_limit() const {
    std::optional<Clock::time_point> next;
    auto nearer = [&](Clock::time_point t) { next = next ? std::min(*next, t) : t; };
    if (offline) nearer(give_up);
    if (f.quiet_limit > 0) nearer(quiet_since + std::chrono::seconds(f.quiet_limit));
    if (f.total_limit > 0) nearer(start + std::chrono::seconds(f.total_limit));
    return next;
  }

  int poll_seconds() const {
    std::optional<Clock::time_point> next = next_limit();
    if (!next) return kMaxLongPollSeconds;
    auto left = std::chrono::ceil<std::chrono::seconds>(*next - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, kMaxLongPollSeconds));
  }

  void went_offline() {
    if (offline) return;
    offline = true;
    give_up = Clock::now() + std::chrono::seconds(f.offline_grace);
    std::fprintf(stderr, "%s: %s went offline; waiting up to %d s for it to come back and finish\n",
                 f.context.c_str(), f.machine.c_str(), f.offline_grace);
  }

  void saw_life() {
    quiet_since = Clock::now();
    offline = false;  // the job (or the machine, back again) carries on
  }

  // Why the command gives up now, or "" to go on.
  std::string reason() const {
    auto now = Clock::now();
    if (offline && now >= give_up) return "machine " + f.machine + " went offline during the job";
    if (f.quiet_limit > 0 && now - quiet_since >= std::chrono::seconds(f.quiet_limit))
      return "no event from " + f.machine + " for " + std::to_string(f.quiet_limit) + " s";
    if (f.total_limit > 0 && now - start >= std::chrono::seconds(f.total_limit))
      return "no answer from " + f.machine + " in " + std::to_string(f.total_limit) + " s";
    return "";
  }
};

}  // namespace

bool follow_read_flags(const Flags& flags, Follow* follow, std::string* error) {
  if (std::optional<std::string> t = flags.value("--timeout")) {
    std::optional<long long> n = flags_whole_number(*t, 1, 86400LL * 365);
    if (!n) {
      *error = "--timeout: not a number of seconds";
      return false;
    }
    follow->quiet_limit = static_cast<int>(*n);
  }
  if (std::optional<std::string> g = flags.value("--offline-grace")) {
    std::optional<long long> n = flags_whole_number(*g, 1, 86400);
    if (!n) {
      *error = "--offline-grace: not a number of seconds";
      return false;
    }
    follow->offline_grace = static_cast<int>(*n);
  }
  return true;
}

int follow_events(const AdminApi& api, const Follow& f, const std::string& event, Json d,
                  const Judge& judge) {
  std::string error;
  std::optional<long long> after = last_seq(api, f.machine, &error);
  if (!after) return cli_fail(f.context + ": " + error);
  if (!admin_send(api, f.machine, event, std::move(d), &error))
    return cli_fail(f.context + ": " + error);
  if (f.announce)
    std::fprintf(stderr, "%s: sent %s to %s\n", f.context.c_str(), event.c_str(),
                 f.machine.c_str());

  Watch watch{f};
  for (;;) {
    Json r = events_page(api, f.machine, &*after, watch.poll_seconds(), &error);
    if (!r) return cli_fail(f.context + ": " + error);
    for (const cJSON* e = first_event(r); e != nullptr; e = json_next(e)) {
      FollowEvent fe{json_get_string(e, "e"), json_get(e, "d"), e};
      if (fe.name == kMachineOfflineEvent) {
        watch.went_offline();
        continue;
      }
      watch.saw_life();
      if (std::optional<int> rc = judge(fe)) return *rc;
    }
    std::string why = watch.reason();
    if (!why.empty()) return cli_fail(f.context + ": " + why);
  }
}

bool list_events(const AdminApi& api, const std::string& machine, long long after, bool wait,
                 const std::function<void(const cJSON* event)>& each, std::string* error) {
  for (;;) {
    Json r = events_page(api, machine, &after, wait ? kMaxLongPollSeconds : 0, error);
    if (!r) return false;
    for (const cJSON* e = first_event(r); e != nullptr; e = json_next(e)) each(e);
    std::fflush(stdout);
    if (!wait && !json_get_bool(r.get(), "more")) return true;
  }
}

}  // namespace halvex::server
