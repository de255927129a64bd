#include "server/cli/drone.h"

#include <cstdint>
#include <cstdio>
#include <optional>

#include "core/codec.h"
#include "core/json.h"
#include "server/cli/admin_client.h"
#include "server/cli/follow.h"
#include "server/http/web.h"

namespace halvex::server {
namespace {

// How long each subcommand waits for the agent. A serial search tries
// every port at three rates, about 13 s a port.
constexpr int kConnectSeconds = 300;
constexpr int kShortSeconds = 20;

constexpr const char* kUsage =
    "usage: recovery-server drone MACHINE (connect [--usb-vid N] [--probe-hex H] | disconnect | "
    "status | tx HEX |\n"
    "                                      rx [--after N] [--follow]) [--data DIR]\n";

constexpr Flag kFlags[] = {
    {"--usb-vid", FlagKind::kValue},
    {"--probe-hex", FlagKind::kValue},
    {"--after", FlagKind::kValue},
    {"--follow", FlagKind::kSwitch},
};

int usage(const std::string& text) { return cli_usage(kUsage, text); }

struct Drone {
  AdminApi api;
  std::string machine, sub;       // MACHINE and the subcommand
  std::vector<std::string> args;  // the subcommand's arguments
  std::optional<long long> usb_vid;
  long long after = 0;
};

// What ends an exchange: nullopt to go on, else whether it succeeded.
using Done = std::function<std::optional<bool>(const std::string& name, const cJSON* d)>;

bool is_result(const std::string& name, const cJSON* d, const char* operation) {
  return name == "dji_operation_result" && json_get_string(d, "operation") == operation;
}

// Sends `event` and prints the drone link's events that follow (but the
// received bytes, which are for rx) until `done` decides.
int exchange(const Drone& o, const std::string& event, Json request, int wait_seconds,
             const Done& done) {
  Follow follow{.context = "drone " + o.sub, .machine = o.machine, .total_limit = wait_seconds};
  return follow_events(o.api, follow, event, std::move(request),
                       [&done](const FollowEvent& ev) -> std::optional<int> {
                         if (ev.name.rfind("dji_", 0) != 0 || ev.name == "dji_rx")
                           return std::nullopt;
                         std::printf("%s\n", json_print(ev.stored).c_str());
                         std::fflush(stdout);
                         std::optional<bool> verdict = done(ev.name, ev.d);
                         if (!verdict) return std::nullopt;
                         return *verdict ? 0 : 1;
                       });
}

int cmd_connect(const Drone& o, const Flags& f) {
  Json d = json_object();
  if (o.usb_vid) json_add_number(d.get(), "usb_vid", static_cast<double>(*o.usb_vid));
  if (std::optional<std::string> probe = f.value("--probe-hex"))
    json_add_string(d.get(), "probe_hex", *probe);
  bool connected = false;
  // A connect ends with its result; a successful one goes on until
  // "dji_ready" (or a disconnect that overtook it).
  return exchange(o, "dji_connect_device", std::move(d), kConnectSeconds,
                  [&](const std::string& name, const cJSON* e) -> std::optional<bool> {
                    if (is_result(name, e, "connect")) {
                      connected = json_get_bool(e, "success");
                      if (!connected) return false;
                    }
                    if (connected && name == "dji_ready") return true;
                    if (is_result(name, e, "disconnect")) return false;
                    return std::nullopt;
                  });
}

int cmd_tx(const Drone& o) {
  const std::string& hex = o.args[0];
  std::optional<Bytes> bytes = hex_decode(hex);
  if (!bytes || bytes->empty()) return usage("drone tx: " + hex + ": not hex bytes");
  Json d = json_object();
  json_add_string(d.get(), "raw_hex", hex);
  std::string error;
  if (!admin_send(o.api, o.machine, "dji_tx", std::move(d), &error))
    return cli_fail("drone tx: " + error);
  std::printf("{\"sent\":true,\"bytes\":%zu}\n", bytes->size());
  return 0;
}

int cmd_rx(const Drone& o, bool follow) {
  std::string error;
  bool ok = list_events(
      o.api, o.machine, o.after, follow,
      [](const cJSON* e) {
        if (json_get_string(e, "e") == "dji_rx") std::printf("%s\n", json_print(e).c_str());
      },
      &error);
  return ok ? 0 : cli_fail("drone rx: " + error);
}

int dispatch(const Drone& o, const Flags& f) {
  const std::string& sub = o.sub;
  size_t extra = o.args.size();
  if (sub == "connect" && extra == 0) return cmd_connect(o, f);
  if (sub == "disconnect" && extra == 0)
    return exchange(o, "dji_disconnect_device", json_object(), kShortSeconds,
                    [](const std::string& name, const cJSON* e) -> std::optional<bool> {
                      if (is_result(name, e, "disconnect")) return json_get_bool(e, "success");
                      return std::nullopt;
                    });
  if (sub == "status" && extra == 0)
    return exchange(o, "dji_get_status", json_object(), kShortSeconds,
                    [](const std::string& name, const cJSON*) -> std::optional<bool> {
                      if (name == "dji_device_info") return true;
                      return std::nullopt;
                    });
  if (sub == "tx" && extra == 1) return cmd_tx(o);
  if (sub == "rx" && extra == 0) return cmd_rx(o, f.has("--follow"));
  return usage("drone " + sub + ": unknown subcommand or wrong arguments");
}

int cmd_drone(const Flags& f) {
  Drone o;
  if (std::optional<std::string> vid = f.value("--usb-vid")) {
    o.usb_vid = flags_whole_number(*vid, 0, 0xFFFF, 0);
    if (!o.usb_vid)
      return usage("--usb-vid " + *vid + ": not a vendor id (0 to 65535, 0x.. for hex)");
  }
  if (std::optional<std::string> after = f.value("--after")) {
    std::optional<long long> n = flags_whole_number(*after, 0, INT64_MAX, 0);
    if (!n) return usage("--after: not a sequence number");
    o.after = *n;
  }
  if (f.words.size() < 3) return usage("drone: expected MACHINE and a subcommand");
  o.machine = f.words[1];
  o.sub = f.words[2];
  o.args.assign(f.words.begin() + 3, f.words.end());
  if (!valid_machine_id(o.machine)) return usage("drone " + o.machine + ": not a machine id");
  std::string error;
  std::optional<AdminApi> api = admin_api_open(f.data(), &error);
  if (!api) return cli_fail("drone: " + error);
  o.api = std::move(*api);
  return dispatch(o, f);
}

}  // namespace

const CliCommand kDroneCommand{"drone", kFlags, kUsage, cmd_drone};

}  // namespace halvex::server
