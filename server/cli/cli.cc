#include "server/cli/cli.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <thread>

#include "core/codec.h"
#include "core/json.h"
#include "core/log.h"
#include "server/cli/admin_client.h"
#include "server/admin/app.h"
#include "server/cli/follow.h"
#include "server/cli/drone.h"
#include "server/cli/jobs.h"
#include "server/cli/thumbnails.h"
#include "server/cli/transfer.h"
#include "server/hub/hub.h"
#include "server/net/net.h"
#include "server/net/pki.h"
#include "server/store/store.h"
#include "server/http/upload_form.h"
#include "server/uploads/uploads.h"
#include "server/cli/term_text.h"
#include "server/http/web.h"

namespace halvex::server {
namespace {

constexpr const char* kUsage =
    "usage: recovery-server COMMAND [--data DIR] ...\n"
    "  init [--host NAME]...              make the data folder: CA, certificate, admin token, "
    "database\n"
    "  serve [--listen ADDR:PORT] [--max-connections N] [--max-per-address N]\n"
    "                                     serve HTTPS and WebSocket (default 127.0.0.1:8443); caps "
    "on open\n"
    "                                     connections in all and per client address (default 4000, "
    "500)\n"
    "        [--event-quota-mb N]         event payloads kept per machine (default 1024 MiB); past "
    "it the\n"
    "                                     oldest large reports are dropped first\n"
    "        [--max-pair-codes N]         pairing codes waiting at once per client address "
    "(default 256)\n"
    "        [--body-memory-mb N]         upload bodies read into memory at once (default 128 "
    "MiB);\n"
    "                                     past it scan uploads wait on disk\n"
    "  user add NAME                      add a user; the password is read from standard input\n"
    "  machines                           list machines (JSON lines)\n"
    "  send MACHINE EVENT [JSON]          send an event to an online machine\n"
    "  events MACHINE [--after N] [--follow] [--human]  print stored events (JSON lines; --human: "
    "one\n"
    "                                     line each, the machine's text with control characters "
    "escaped)\n"
    "  approve CODE --user NAME [--rekey] link the machine waiting with CODE to NAME; --rekey "
    "replaces\n"
    "                                     the key of a machine id paired before and lifts a "
    "revocation\n"
    "  revoke MACHINE                     withdraw a machine's key\n"
    "  download MACHINE --folder DIR FILE...  serve FILEs and have the machine fetch them into "
    "DIR\n"
    "  update MACHINE --installer PATH --version V [--force]  serve an installer and update the "
    "machine\n"
    "  image MACHINE (--disk N | --file PATH) [--part-size-mb M] [--start-part P --start-offset-gb "
    "G]\n"
    "                                     image a disk or file of the machine (JSON line at the "
    "end)\n"
    "  scan MACHINE (--disk N | --path P) [--chunk-size B] [--config JSON]  scan a disk for media\n"
    "  thumbnails MACHINE --path P (--videos JSON | --scan N)  render and store thumbnails of "
    "videos\n"
    "  drone MACHINE (connect [--usb-vid N] [--probe-hex H] | disconnect | status | tx HEX | rx "
    "[--follow])\n"
    "                                     drive the machine's drone link (JSON lines)\n"
    "image, scan, thumbnails, download and update take --timeout S (give up after S s without an "
    "event) and\n"
    "--offline-grace S (how long a machine that dropped its link may take to go on with the job; "
    "30 s).\n"
    "Every command takes --data DIR (default ./recovery-data).\n";

// Event payloads kept per machine unless `serve --event-quota-mb` says
// otherwise: room for a few dozen full directory trees.
constexpr uint64_t kDefaultEventQuotaMb = 1024;

struct Paths {
  std::string dir, ca_cert, ca_key, server_cert, server_key, token, db, listen;
  explicit Paths(const std::string& d)
      : dir(d),
        ca_cert(d + "/ca.pem"),
        ca_key(d + "/ca.key"),
        server_cert(d + "/server.pem"),
        server_key(d + "/server.key"),
        token(d + "/admin.token"),
        db(d + "/server.db"),
        listen(d + "/listen") {}
};

int usage(const std::string& text) { return cli_usage(kUsage, text); }

// ---- init ----

bool write_new_file(const std::string& path, const std::string& text, mode_t mode,
                    std::string* error) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) {
    *error = "create " + path + ": " + std::strerror(errno);
    return false;
  }
  ssize_t n = ::write(fd, text.data(), text.size());
  int saved = errno;
  ::close(fd);
  if (n != static_cast<ssize_t>(text.size())) {
    *error = "write " + path + ": " + std::strerror(saved);
    return false;
  }
  return true;
}

int cmd_init(const Flags& f) {
  if (f.words.size() != 1) return usage("init: takes no argument");
  Paths p(f.data());
  namespace fs = std::filesystem;
  std::error_code ec;
  for (const std::string& f : {p.ca_cert, p.ca_key, p.server_cert, p.server_key, p.token, p.db}) {
    if (fs::exists(f, ec))
      return cli_fail("init " + p.dir + ": already initialised (" + f + " exists)");
  }
  if (!fs::exists(p.dir, ec)) {
    fs::path parent = fs::path(p.dir).parent_path();
    if (!parent.empty()) fs::create_directories(parent, ec);
    if (::mkdir(p.dir.c_str(), 0700) != 0)
      return cli_fail("create " + p.dir + ": " + std::strerror(errno));
  }
  if (::chmod(p.dir.c_str(), 0700) != 0)
    return cli_fail("protect " + p.dir + ": " + std::strerror(errno));

  std::vector<std::string> names = {"localhost", "127.0.0.1", "::1"};
  for (const std::string& h : f.values("--host")) {
    if (h.empty()) return usage("--host: empty name");
    names.push_back(h);
  }
  std::string error;
  PkiFiles files{p.ca_cert, p.ca_key, p.server_cert, p.server_key};
  if (!make_pki(files, names, &error)) return cli_fail(error);
  uint8_t raw[32];
  randombytes_buf(raw, sizeof raw);
  if (!write_new_file(p.token, hex_encode(raw, sizeof raw) + "\n", 0600, &error))
    return cli_fail(error);
  sodium_memzero(raw, sizeof raw);
  if (!Store::open(p.db, &error)) return cli_fail(error);
  ::chmod(p.db.c_str(), 0600);
  std::printf("initialised %s; clients trust %s\n", p.dir.c_str(), p.ca_cert.c_str());
  return 0;
}

// ---- serve ----

// The value of option `name` as a whole number from 1 to max; nullopt when
// it is not given, or (*error says so) not such a number.
std::optional<uint64_t> positive(const Flags& f, const char* name, uint64_t max,
                                 std::string* error) {
  std::optional<std::string> text = f.value(name);
  if (!text) return std::nullopt;
  std::optional<uint64_t> n = parse_decimal(*text, max);
  if (!n || *n == 0) *error = std::string(name) + " " + *text + ": expected a positive number";
  return n;
}

int cmd_serve(const Flags& f) {
  if (f.words.size() != 1) return usage("serve: takes no argument");
  Paths p(f.data());
  std::string error;
  std::optional<std::string> token = read_trimmed(p.token, &error);
  if (!token) return cli_fail(error + " (run init first)");
  std::string listen = f.value_or("--listen", "127.0.0.1:8443");
  std::optional<std::pair<std::string, uint16_t>> where = parse_host_port(listen);
  if (!where) return usage("--listen " + listen + ": expected ADDR:PORT");
  if (where->first == "localhost") where->first = "127.0.0.1";
  ServeOptions so;
  for (auto [name, out] : {std::pair{"--max-connections", &so.max_connections},
                           std::pair{"--max-per-address", &so.max_per_address}}) {
    std::optional<uint64_t> n = positive(f, name, 1000000, &error);
    if (!error.empty()) return usage(error);
    if (n) *out = static_cast<int>(*n);
  }
  std::optional<uint64_t> quota_mb = positive(f, "--event-quota-mb", 1u << 24, &error);
  if (!error.empty()) return usage(error);
  std::optional<uint64_t> pair_codes = positive(f, "--max-pair-codes", 1000000, &error);
  if (!error.empty()) return usage(error);
  std::optional<uint64_t> body_mb = positive(f, "--body-memory-mb", 1u << 20, &error);
  if (!error.empty()) return usage(error);
  if (body_mb) so.body_memory = *body_mb << 20;
  std::unique_ptr<Store> store = Store::open(p.db, &error);
  if (!store) return cli_fail(error);
  store->set_event_quota(quota_mb.value_or(kDefaultEventQuotaMb) << 20);
  Hub hub(*store);
  if (pair_codes) hub.set_pair_code_cap(static_cast<int>(*pair_codes));
  Uploads uploads(*store, p.dir);
  hub.set_report_hook([&uploads](const std::string& machine, const std::string& name,
                                 const cJSON* d) { uploads.on_report(machine, name, d); });
  App app(hub, *token, &uploads);
  so.cert_file = p.server_cert;
  so.key_file = p.server_key;
  so.host = where->first;
  so.port = where->second;
  so.listen_file = p.listen;
  so.files_dir = p.dir + "/files";
  so.spool_dir = p.dir + "/spool";
  so.threads = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 2u, 8u));
  if (!serve(so, app, hub, &error)) return cli_fail(error);
  return 0;
}

// ---- user add ----

int cmd_user(const Flags& f) {
  if (f.words.size() != 3 || f.words[1] != "add") return usage("user: expected `user add NAME`");
  const std::string& name = f.words[2];
  if (name.empty() || name.size() > kMaxUserName)
    return usage("user add: the name must have 1 to " + std::to_string(kMaxUserName) +
                 " characters");
  std::string password;
  std::getline(std::cin, password);
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (password.empty()) return cli_fail("user add " + name + ": empty password on standard input");
  if (sodium_init() < 0) return cli_fail("user add: crypto library failed to start");
  std::string hash = hash_password(password);
  sodium_memzero(password.data(), password.size());
  if (hash.empty())
    return cli_fail("user add " + name + ": password hashing failed (out of memory)");
  std::string error;
  std::unique_ptr<Store> store = Store::open(Paths(f.data()).db, &error);
  if (!store) return cli_fail(error);
  if (!store->add_user(name, hash, &error)) return cli_fail(error);
  std::optional<User> user = store->find_user(name);
  Json out = json_object();
  json_add_string(out.get(), "user", name);
  json_add_number(out.get(), "user_id", user ? static_cast<double>(user->id) : 0);
  std::printf("%s\n", json_print(out.get()).c_str());
  return 0;
}

// ---- admin client ----

// Opens the admin API and runs `body` with it; a failure to open is
// reported as "COMMAND: cause".
int with_admin(const Flags& f, int (*body)(const Flags&, const AdminApi&)) {
  std::string error;
  std::optional<AdminApi> api = admin_api_open(f.data(), &error);
  if (!api) return cli_fail(f.words[0] + ": " + error);
  return body(f, *api);
}

// Runs one API call and prints its reply as one JSON line; errors read
// "WHAT: cause".
int call_and_print(const AdminApi& api, const std::string& method, const std::string& target,
                   const cJSON* body, const std::string& what) {
  std::string error;
  Json r = admin_call(api, method, target, body, 30, &error);
  if (!r) return cli_fail(what + ": " + error);
  std::printf("%s\n", json_print(r.get()).c_str());
  return 0;
}

// One event for a person: "SEQ NAME key=value ...", string values as the
// machine sent them, others as compact JSON, all of it terminal-safe.
std::string human_event(const cJSON* e) {
  std::string line = std::to_string(static_cast<long long>(json_get_number(e, "seq"))) + " " +
                     json_get_string(e, "e");
  const cJSON* d = json_get(e, "d");
  for (const cJSON* m = json_is_object(d) ? json_first(d) : nullptr; m != nullptr;
       m = json_next(m)) {
    line += " " + json_member_name(m) + "=" +
            (json_is_string(m) ? json_string_value(m) : json_print(m));
  }
  return terminal_safe(line);
}

int cmd_machines(const Flags& f) {
  if (f.words.size() != 1) return usage("machines: takes no argument");
  return with_admin(f, [](const Flags&, const AdminApi& api) {
    std::string error;
    Json r = admin_call(api, "GET", "/api/machines", nullptr, 30, &error);
    if (!r) return cli_fail("machines: " + error);
    const cJSON* array = json_get(r.get(), "machines");
    for (const cJSON* m = json_is_array(array) ? json_first(array) : nullptr; m != nullptr;
         m = json_next(m))
      std::printf("%s\n", json_print(m).c_str());
    return 0;
  });
}

int cmd_send(const Flags& f) {
  if (f.words.size() < 3 || f.words.size() > 4)
    return usage("send: expected `send MACHINE EVENT [JSON]`");
  if (f.words.size() == 4 && !json_parse(f.words[3])) return usage("send: the payload is not JSON");
  return with_admin(f, [](const Flags& f, const AdminApi& api) {
    std::string error;
    Json r = admin_send(api, f.words[1], f.words[2],
                        f.words.size() == 4 ? json_parse(f.words[3]) : json_object(), &error);
    if (!r) return cli_fail("send: " + error);
    std::printf("%s\n", json_print(r.get()).c_str());
    return 0;
  });
}

int cmd_events(const Flags& f) {
  if (f.words.size() != 2) return usage("events: expected `events MACHINE [--after N] [--follow]`");
  if (!flags_whole_number(f.value_or("--after", "0"), 0, INT64_MAX))
    return usage("--after: not a sequence number");
  return with_admin(f, [](const Flags& f, const AdminApi& api) {
    std::string error;
    bool human = f.has("--human");
    auto print = [human](const cJSON* e) {
      std::printf("%s\n", human ? human_event(e).c_str() : json_print(e).c_str());
    };
    long long after = *flags_whole_number(f.value_or("--after", "0"), 0, INT64_MAX);
    return list_events(api, f.words[1], after, f.has("--follow"), print, &error)
               ? 0
               : cli_fail("events: " + error);
  });
}

int cmd_approve(const Flags& f) {
  std::string user = f.value_or("--user", "");
  if (f.words.size() != 2 || user.empty())
    return usage("approve: expected `approve CODE --user NAME`");
  return with_admin(f, [](const Flags& f, const AdminApi& api) {
    Json body = json_object();
    json_add_string(body.get(), "code", f.words[1]);
    json_add_string(body.get(), "user", f.value_or("--user", ""));
    if (f.has("--rekey")) json_add_bool(body.get(), "rekey", true);
    return call_and_print(api, "POST", "/api/approve", body.get(), "approve " + f.words[1]);
  });
}

int cmd_revoke(const Flags& f) {
  if (f.words.size() != 2) return usage("revoke: expected `revoke MACHINE`");
  return with_admin(f, [](const Flags& f, const AdminApi& api) {
    Json body = json_object();
    json_add_string(body.get(), "machine_id", f.words[1]);
    return call_and_print(api, "POST", "/api/revoke", body.get(), "revoke " + f.words[1]);
  });
}

constexpr Flag kInitFlags[] = {{"--host", FlagKind::kList}};
constexpr Flag kServeFlags[] = {
    {"--listen", FlagKind::kValue},          {"--max-connections", FlagKind::kValue},
    {"--max-per-address", FlagKind::kValue}, {"--event-quota-mb", FlagKind::kValue},
    {"--max-pair-codes", FlagKind::kValue},  {"--body-memory-mb", FlagKind::kValue},
};
constexpr Flag kEventsFlags[] = {
    {"--after", FlagKind::kValue}, {"--follow", FlagKind::kSwitch}, {"--human", FlagKind::kSwitch}};
constexpr Flag kApproveFlags[] = {{"--user", FlagKind::kValue}, {"--rekey", FlagKind::kSwitch}};

const CliCommand kInit{"init", kInitFlags, kUsage, cmd_init};
const CliCommand kServe{"serve", kServeFlags, kUsage, cmd_serve};
const CliCommand kUser{"user", {}, kUsage, cmd_user};
const CliCommand kMachines{"machines", {}, kUsage, cmd_machines};
const CliCommand kSend{"send", {}, kUsage, cmd_send};
const CliCommand kEvents{"events", kEventsFlags, kUsage, cmd_events};
const CliCommand kApprove{"approve", kApproveFlags, kUsage, cmd_approve};
const CliCommand kRevoke{"revoke", {}, kUsage, cmd_revoke};

const CliCommand* const kCommands[] = {
    &kInit,
    &kServe,
    &kUser,
    &kMachines,
    &kSend,
    &kEvents,
    &kApprove,
    &kRevoke,
    &kImageCommand,
    &kScanCommand,
    &kThumbnailsCommand,
    &kDownloadCommand,
    &kUpdateCommand,
    &kDroneCommand,
};

}  // namespace

int cli_main(const std::vector<std::string>& args) {
  std::string word = cli_command_word(args, kCommands);
  if (word.empty() || word == "help") return usage("no command given");
  for (const CliCommand* c : kCommands) {
    if (c->name != word) continue;
    std::string error;
    std::optional<Flags> f = flags_parse(args, c->flags, &error);
    if (!f) return cli_usage(c->usage, error);
    return c->run(*f);
  }
  return usage(word + ": unknown command");
}

}  // namespace halvex::server
