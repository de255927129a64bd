#include "server/cli_drone.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>

#include "core/codec.h"
#include "core/json.h"
#include "server/app.h"
#include "server/net.h"
#include "server/term_text.h"
#include "server/web.h"

namespace halvex::server {
namespace {

using Clock = std::chrono::steady_clock;

// How long each subcommand waits for the agent. A serial search tries
// every port at three rates, about 13 s a port.
constexpr std::chrono::seconds kConnectWait{300};
constexpr std::chrono::seconds kShortWait{20};

constexpr const char* kDroneUsage =
    "usage: recovery-server drone MACHINE (connect [--usb-vid N] [--probe-hex H] | disconnect | status | tx HEX |\n"
    "                                      rx [--after N] [--follow]) [--data DIR]\n";

struct DroneOptions {
  std::string data = "recovery-data";
  std::vector<std::string> words;  // "drone", MACHINE, subcommand, arguments
  std::optional<long> usb_vid;
  std::optional<std::string> probe_hex;
  long long after = 0;
  bool follow = false;
};

int fail(const std::string& text) {
  std::fprintf(stderr, "recovery-server: %s\n", terminal_safe(text).c_str());
  return 1;
}

int usage(const std::string& text) {
  std::fprintf(stderr, "recovery-server: %s\n%s", text.c_str(), kDroneUsage);
  return 2;
}

bool parse_number(const std::string& text, long long max, long long* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(text.c_str(), &end, 0);
  if (*end != '\0' || errno != 0 || v < 0 || v > max) return false;
  *out = v;
  return true;
}

std::optional<DroneOptions> parse(const std::vector<std::string>& args, std::string* error) {
  DroneOptions o;
  for (size_t i = 0; i < args.size(); i++) {
    const std::string& a = args[i];
    bool takes_value = a == "--data" || a == "--usb-vid" || a == "--probe-hex" || a == "--after";
    if (takes_value && i + 1 >= args.size()) {
      *error = a + ": needs a value";
      return std::nullopt;
    }
    long long n = 0;
    if (a == "--data") {
      o.data = args[++i];
    } else if (a == "--usb-vid") {
      if (!parse_number(args[++i], 0xFFFF, &n)) {
        *error = "--usb-vid " + args[i] + ": not a vendor id (0 to 65535, 0x.. for hex)";
        return std::nullopt;
      }
      o.usb_vid = static_cast<long>(n);
    } else if (a == "--probe-hex") {
      o.probe_hex = args[++i];
    } else if (a == "--after") {
      if (!parse_number(args[++i], INT64_MAX, &o.after)) {
        *error = "--after: not a sequence number";
        return std::nullopt;
      }
    } else if (a == "--follow") {
      o.follow = true;
    } else if (a.size() > 1 && a[0] == '-') {
      *error = a + ": unknown option";
      return std::nullopt;
    } else {
      o.words.push_back(a);
    }
  }
  return o;
}

std::string trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s;
}

std::optional<std::string> read_file(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "read " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The admin API of the server running on the data folder.
class AdminApi {
 public:
  bool open(const std::string& data, std::string* error) {
    std::optional<std::string> listen = read_file(data + "/listen", error);
    if (!listen) {
      *error += " (is the server running?)";
      return false;
    }
    std::optional<std::string> token = read_file(data + "/admin.token", error);
    if (!token) return false;
    std::optional<std::pair<std::string, uint16_t>> where = parse_host_port(trim(*listen));
    if (!where) {
      *error = data + "/listen: not ADDR:PORT";
      return false;
    }
    base_.host = where->first == "0.0.0.0" ? "127.0.0.1" : where->first == "::" ? "::1" : where->first;
    base_.port = where->second;
    base_.ca_file = data + "/ca.pem";
    base_.authorization = "Bearer " + trim(*token);
    return true;
  }

  Json call(const std::string& method, const std::string& target, const std::string& body, int timeout,
            std::string* error) const {
    ClientRequest rq = base_;
    rq.method = method;
    rq.target = target;
    rq.body = body;
    rq.timeout_seconds = timeout;
    if (!body.empty()) rq.content_type = "application/json";
    std::optional<ClientReply> reply = https_request(rq, error);
    if (!reply) return nullptr;
    Json parsed = json_parse(reply->body);
    if (reply->status != 200) {
      std::string text = json_get_string(parsed.get(), "error");
      *error = text.empty() ? "server answered " + std::to_string(reply->status) : text;
      return nullptr;
    }
    if (!parsed) *error = "the server's answer is not JSON";
    return parsed;
  }

  // Stored events of `machine` after `after`; with `wait_seconds`, the
  // server holds the request until one comes.
  Json events(const std::string& machine, long long after, int wait_seconds, std::string* error) const {
    std::string target = "/api/events?machine_id=" + url_encode(machine) + "&after=" + std::to_string(after);
    if (wait_seconds > 0) target += "&wait=" + std::to_string(wait_seconds);
    return call("GET", target, "", wait_seconds + 15, error);
  }

  bool send(const std::string& machine, const std::string& event, Json d, std::string* error) const {
    Json body = json_object();
    json_add_string(body.get(), "machine_id", machine);
    json_add_string(body.get(), "e", event);
    json_add_item(body.get(), "d", std::move(d));
    return call("POST", "/api/send", json_print(body.get()), 30, error) != nullptr;
  }

 private:
  ClientRequest base_;
};

long long seq_of(const cJSON* event) { return static_cast<long long>(json_get_number(event, "seq")); }

// The sequence number of the machine's newest stored event (0 for none).
std::optional<long long> newest_seq(const AdminApi& api, const std::string& machine, std::string* error) {
  long long after = 0;
  for (;;) {
    Json r = api.events(machine, after, 0, error);
    if (!r) return std::nullopt;
    const cJSON* list = json_get(r.get(), "events");
    int n = json_array_size(list);
    if (n == 0) return after;
    after = std::max(after, seq_of(json_array_item(list, n - 1)));
  }
}

// Follows the machine's events after `after`, printing the drone link's
// ones, until `done` says the answer is complete (returns its verdict) or
// `wait` passes (nullopt, *error says so).
template <class Done>
std::optional<bool> follow_until(const AdminApi& api, const std::string& machine, long long after,
                                 std::chrono::seconds wait, Done done, std::string* error) {
  Clock::time_point deadline = Clock::now() + wait;
  while (Clock::now() < deadline) {
    auto left = std::chrono::duration_cast<std::chrono::seconds>(deadline - Clock::now()).count();
    int poll = static_cast<int>(std::clamp<long long>(left, 1, kMaxLongPollSeconds));
    Json r = api.events(machine, after, poll, error);
    if (!r) return std::nullopt;
    const cJSON* list = json_get(r.get(), "events");
    for (int i = 0; i < json_array_size(list); i++) {
      const cJSON* e = json_array_item(list, i);
      after = std::max(after, seq_of(e));
      std::string name = json_get_string(e, "e");
      if (name.rfind("dji_", 0) != 0 || name == "dji_rx") continue;
      std::printf("%s\n", json_print(e).c_str());
      std::fflush(stdout);
      std::optional<bool> verdict = done(name, json_get(e, "d"));
      if (verdict) return verdict;
    }
  }
  *error = "no answer from " + machine + " in " + std::to_string(wait.count()) + " s";
  return std::nullopt;
}

bool is_result(const std::string& name, const cJSON* d, const char* operation) {
  return name == "dji_operation_result" && json_get_string(d, "operation") == operation;
}

int run_exchange(const AdminApi& api, const DroneOptions& o, const std::string& event, Json request,
                 std::chrono::seconds wait,
                 const std::function<std::optional<bool>(const std::string&, const cJSON*)>& done) {
  const std::string& machine = o.words[1];
  const std::string& sub = o.words[2];
  std::string error;
  std::optional<long long> start = newest_seq(api, machine, &error);
  if (!start) return fail("drone " + sub + ": " + error);
  if (!api.send(machine, event, std::move(request), &error)) return fail("drone " + sub + ": " + error);
  std::optional<bool> verdict = follow_until(api, machine, *start, wait, done, &error);
  if (!verdict) return fail("drone " + sub + ": " + error);
  return *verdict ? 0 : 1;
}

int cmd_connect(const AdminApi& api, const DroneOptions& o) {
  Json d = json_object();
  if (o.usb_vid) json_add_number(d.get(), "usb_vid", static_cast<double>(*o.usb_vid));
  if (o.probe_hex) json_add_string(d.get(), "probe_hex", *o.probe_hex);
  bool connected = false;
  // A connect ends with its result; a successful one goes on until
  // "dji_ready" (or a disconnect that overtook it).
  return run_exchange(api, o, "dji_connect_device", std::move(d), kConnectWait,
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

int cmd_rx(const AdminApi& api, const DroneOptions& o) {
  std::string error;
  long long after = o.after;
  do {
    Json r = api.events(o.words[1], after, o.follow ? kMaxLongPollSeconds : 0, &error);
    if (!r) return fail("drone rx: " + error);
    const cJSON* list = json_get(r.get(), "events");
    int n = json_array_size(list);
    for (int i = 0; i < n; i++) {
      const cJSON* e = json_array_item(list, i);
      after = std::max(after, seq_of(e));
      if (json_get_string(e, "e") == "dji_rx") std::printf("%s\n", json_print(e).c_str());
    }
    std::fflush(stdout);
    if (!o.follow && n == 0) break;
  } while (true);
  return 0;
}

int dispatch(const AdminApi& api, const DroneOptions& o) {
  const std::string& sub = o.words[2];
  size_t extra = o.words.size() - 3;
  if (sub == "connect" && extra == 0) return cmd_connect(api, o);
  if (sub == "disconnect" && extra == 0)
    return run_exchange(api, o, "dji_disconnect_device", json_object(), kShortWait,
                        [](const std::string& name, const cJSON* e) -> std::optional<bool> {
                          if (is_result(name, e, "disconnect")) return json_get_bool(e, "success");
                          return std::nullopt;
                        });
  if (sub == "status" && extra == 0)
    return run_exchange(api, o, "dji_get_status", json_object(), kShortWait,
                        [](const std::string& name, const cJSON*) -> std::optional<bool> {
                          if (name == "dji_device_info") return true;
                          return std::nullopt;
                        });
  if (sub == "tx" && extra == 1) {
    std::optional<Bytes> bytes = hex_decode(o.words[3]);
    if (!bytes || bytes->empty()) return usage("drone tx: " + o.words[3] + ": not hex bytes");
    Json d = json_object();
    json_add_string(d.get(), "raw_hex", o.words[3]);
    std::string error;
    if (!api.send(o.words[1], "dji_tx", std::move(d), &error)) return fail("drone tx: " + error);
    std::printf("{\"sent\":true,\"bytes\":%zu}\n", bytes->size());
    return 0;
  }
  if (sub == "rx" && extra == 0) return cmd_rx(api, o);
  return usage("drone " + sub + ": unknown subcommand or wrong arguments");
}

}  // namespace

bool cli_is_drone(const std::vector<std::string>& args) {
  for (size_t i = 0; i < args.size(); i++) {
    const std::string& a = args[i];
    if (a == "--data" || a == "--host" || a == "--listen" || a == "--user" || a == "--after" || a == "--usb-vid" ||
        a == "--probe-hex") {
      i++;
      continue;
    }
    if (a.size() > 1 && a[0] == '-') continue;
    return a == "drone";
  }
  return false;
}

int cli_drone(const std::vector<std::string>& args) {
  std::string error;
  std::optional<DroneOptions> o = parse(args, &error);
  if (!o) return usage(error);
  if (o->words.size() < 3) return usage("drone: expected MACHINE and a subcommand");
  if (!valid_machine_id(o->words[1])) return usage("drone " + o->words[1] + ": not a machine id");
  AdminApi api;
  if (!api.open(o->data, &error)) return fail("drone: " + error);
  return dispatch(api, *o);
}

}  // namespace halvex::server
