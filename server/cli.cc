#include "server/cli.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
#include <thread>
#include <tuple>

#include "core/codec.h"
#include "core/json.h"
#include "core/log.h"
#include "server/app.h"
#include "server/cli_drone.h"
#include "server/cli_jobs.h"
#include "server/cli_thumbnails.h"
#include "server/cli_transfer.h"
#include "server/hub.h"
#include "server/net.h"
#include "server/pki.h"
#include "server/store.h"
#include "server/upload_form.h"
#include "server/uploads.h"
#include "server/term_text.h"
#include "server/web.h"

namespace halvex::server {
namespace {

constexpr const char* kUsage =
    "usage: recovery-server COMMAND [--data DIR] ...\n"
    "  init [--host NAME]...              make the data folder: CA, certificate, admin token, database\n"
    "  serve [--listen ADDR:PORT] [--max-connections N] [--max-per-address N]\n"
    "                                     serve HTTPS and WebSocket (default 127.0.0.1:8443); caps on open\n"
    "                                     connections in all and per client address (default 4000, 500)\n"
    "        [--event-quota-mb N]         event payloads kept per machine (default 1024 MiB); past it the\n"
    "                                     oldest large reports are dropped first\n"
    "        [--max-pair-codes N]         pairing codes waiting at once per client address (default 256)\n"
    "  user add NAME                      add a user; the password is read from standard input\n"
    "  machines                           list machines (JSON lines)\n"
    "  send MACHINE EVENT [JSON]          send an event to an online machine\n"
    "  events MACHINE [--after N] [--follow] [--human]  print stored events (JSON lines; --human: one\n"
    "                                     line each, the machine's text with control characters escaped)\n"
    "  approve CODE --user NAME [--rekey] link the machine waiting with CODE to NAME; --rekey replaces\n"
    "                                     the key of a machine id paired before and lifts a revocation\n"
    "  revoke MACHINE                     withdraw a machine's key\n"
    "  download MACHINE --folder DIR FILE...  serve FILEs and have the machine fetch them into DIR\n"
    "  update MACHINE --installer PATH --version V [--force]  serve an installer and update the machine\n"
    "  image MACHINE (--disk N | --file PATH) [--part-size-mb M] [--start-part P --start-offset-gb G]\n"
    "                                     image a disk or file of the machine (JSON line at the end)\n"
    "  scan MACHINE (--disk N | --path P) [--chunk-size B] [--config JSON]  scan a disk for media\n"
    "  thumbnails MACHINE --path P --videos JSON  render and store thumbnails of videos on a disk\n"
    "  drone MACHINE (connect [--usb-vid N] [--probe-hex H] | disconnect | status | tx HEX | rx [--follow])\n"
    "                                     drive the machine's drone link (JSON lines)\n"
    "Every command takes --data DIR (default ./recovery-data).\n";

struct Options {
  std::string command;
  std::vector<std::string> positional;
  std::string data = "recovery-data";
  std::vector<std::string> hosts;
  std::string listen = "127.0.0.1:8443";
  std::string user;
  std::string after = "0";
  bool follow = false;
  bool human = false;
  bool rekey = false;
  std::string max_connections, max_per_address;
  std::string event_quota_mb;
  std::string max_pair_codes;
};

// Event payloads kept per machine unless `serve --event-quota-mb` says
// otherwise: room for a few dozen full directory trees.
constexpr uint64_t kDefaultEventQuotaMb = 1024;

struct Paths {
  std::string dir, ca_cert, ca_key, server_cert, server_key, token, db, listen;
  explicit Paths(const std::string& d)
      : dir(d), ca_cert(d + "/ca.pem"), ca_key(d + "/ca.key"), server_cert(d + "/server.pem"),
        server_key(d + "/server.key"), token(d + "/admin.token"), db(d + "/server.db"), listen(d + "/listen") {}
};

int fail(const std::string& text) {
  std::fprintf(stderr, "recovery-server: %s\n", terminal_safe(text).c_str());
  return 1;
}

int usage(const std::string& text) {
  std::fprintf(stderr, "recovery-server: %s\n%s", text.c_str(), kUsage);
  return 2;
}

// Parses options anywhere on the line; everything else is positional.
std::optional<Options> parse(const std::vector<std::string>& args, std::string* error) {
  Options o;
  for (size_t i = 0; i < args.size(); i++) {
    const std::string& a = args[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= args.size()) {
        *error = a + ": needs a value";
        return false;
      }
      *out = args[++i];
      return true;
    };
    std::string host;
    if (a == "--data") {
      if (!value(&o.data)) return std::nullopt;
    } else if (a == "--host") {
      if (!value(&host)) return std::nullopt;
      o.hosts.push_back(host);
    } else if (a == "--listen") {
      if (!value(&o.listen)) return std::nullopt;
    } else if (a == "--user") {
      if (!value(&o.user)) return std::nullopt;
    } else if (a == "--after") {
      if (!value(&o.after)) return std::nullopt;
    } else if (a == "--follow") {
      o.follow = true;
    } else if (a == "--human") {
      o.human = true;
    } else if (a == "--max-connections") {
      if (!value(&o.max_connections)) return std::nullopt;
    } else if (a == "--max-per-address") {
      if (!value(&o.max_per_address)) return std::nullopt;
    } else if (a == "--event-quota-mb") {
      if (!value(&o.event_quota_mb)) return std::nullopt;
    } else if (a == "--max-pair-codes") {
      if (!value(&o.max_pair_codes)) return std::nullopt;
    } else if (a == "--rekey") {
      o.rekey = true;
    } else if (a.size() > 1 && a[0] == '-' && a != "-") {
      *error = a + ": unknown option";
      return std::nullopt;
    } else if (o.command.empty()) {
      o.command = a;
    } else {
      o.positional.push_back(a);
    }
  }
  return o;
}

std::optional<std::string> read_file(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "read " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s;
}

// ---- init ----

bool write_new_file(const std::string& path, const std::string& text, mode_t mode, std::string* error) {
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

int cmd_init(const Options& o) {
  Paths p(o.data);
  namespace fs = std::filesystem;
  std::error_code ec;
  for (const std::string& f : {p.ca_cert, p.ca_key, p.server_cert, p.server_key, p.token, p.db}) {
    if (fs::exists(f, ec)) return fail("init " + p.dir + ": already initialised (" + f + " exists)");
  }
  if (!fs::exists(p.dir, ec)) {
    fs::path parent = fs::path(p.dir).parent_path();
    if (!parent.empty()) fs::create_directories(parent, ec);
    if (::mkdir(p.dir.c_str(), 0700) != 0) return fail("create " + p.dir + ": " + std::strerror(errno));
  }
  if (::chmod(p.dir.c_str(), 0700) != 0) return fail("protect " + p.dir + ": " + std::strerror(errno));

  std::vector<std::string> names = {"localhost", "127.0.0.1", "::1"};
  for (const std::string& h : o.hosts) {
    if (h.empty()) return usage("--host: empty name");
    names.push_back(h);
  }
  std::string error;
  PkiFiles files{p.ca_cert, p.ca_key, p.server_cert, p.server_key};
  if (!make_pki(files, names, &error)) return fail(error);
  uint8_t raw[32];
  randombytes_buf(raw, sizeof raw);
  if (!write_new_file(p.token, hex_encode(raw, sizeof raw) + "\n", 0600, &error)) return fail(error);
  sodium_memzero(raw, sizeof raw);
  if (!Store::open(p.db, &error)) return fail(error);
  ::chmod(p.db.c_str(), 0600);
  std::printf("initialised %s; clients trust %s\n", p.dir.c_str(), p.ca_cert.c_str());
  return 0;
}

// ---- serve ----

int cmd_serve(const Options& o) {
  Paths p(o.data);
  std::string error;
  std::optional<std::string> token = read_file(p.token, &error);
  if (!token) return fail(error + " (run init first)");
  std::optional<std::pair<std::string, uint16_t>> where = parse_host_port(o.listen);
  if (!where) return usage("--listen " + o.listen + ": expected ADDR:PORT");
  if (where->first == "localhost") where->first = "127.0.0.1";
  ServeOptions so;
  for (auto [text, out, name] : {std::tuple{&o.max_connections, &so.max_connections, "--max-connections"},
                                 std::tuple{&o.max_per_address, &so.max_per_address, "--max-per-address"}}) {
    if (text->empty()) continue;
    std::optional<uint64_t> n = parse_decimal(*text, 1000000);
    if (!n || *n == 0) return usage(std::string(name) + " " + *text + ": expected a positive number");
    *out = static_cast<int>(*n);
  }
  uint64_t quota_mb = kDefaultEventQuotaMb;
  if (!o.event_quota_mb.empty()) {
    std::optional<uint64_t> n = parse_decimal(o.event_quota_mb, 1u << 24);
    if (!n || *n == 0) return usage("--event-quota-mb " + o.event_quota_mb + ": expected a positive number");
    quota_mb = *n;
  }
  std::unique_ptr<Store> store = Store::open(p.db, &error);
  if (!store) return fail(error);
  store->set_event_quota(quota_mb << 20);
  Hub hub(*store);
  if (!o.max_pair_codes.empty()) {
    std::optional<uint64_t> n = parse_decimal(o.max_pair_codes, 1000000);
    if (!n || *n == 0) return usage("--max-pair-codes " + o.max_pair_codes + ": expected a positive number");
    hub.set_pair_code_cap(static_cast<int>(*n));
  }
  Uploads uploads(*store, p.dir);
  hub.set_report_hook([&uploads](const std::string& machine, const std::string& name, const cJSON* d) {
    uploads.on_report(machine, name, d);
  });
  App app(hub, trim(*token), &uploads);
  so.cert_file = p.server_cert;
  so.key_file = p.server_key;
  so.host = where->first;
  so.port = where->second;
  so.listen_file = p.listen;
  so.files_dir = p.dir + "/files";
  so.spool_dir = p.dir + "/spool";
  so.threads = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 2u, 8u));
  if (!serve(so, app, hub, &error)) return fail(error);
  return 0;
}

// ---- user add ----

int cmd_user(const Options& o) {
  if (o.positional.size() != 2 || o.positional[0] != "add") return usage("user: expected `user add NAME`");
  const std::string& name = o.positional[1];
  if (name.empty() || name.size() > 63) return usage("user add: the name must have 1 to 63 characters");
  std::string password;
  std::getline(std::cin, password);
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (password.empty()) return fail("user add " + name + ": empty password on standard input");
  if (sodium_init() < 0) return fail("user add: crypto library failed to start");
  std::string hash = hash_password(password);
  sodium_memzero(password.data(), password.size());
  if (hash.empty()) return fail("user add " + name + ": password hashing failed (out of memory)");
  std::string error;
  std::unique_ptr<Store> store = Store::open(Paths(o.data).db, &error);
  if (!store) return fail(error);
  if (!store->add_user(name, hash, &error)) return fail(error);
  std::optional<User> user = store->find_user(name);
  Json out = json_object();
  json_add_string(out.get(), "user", name);
  json_add_number(out.get(), "user_id", user ? static_cast<double>(user->id) : 0);
  std::printf("%s\n", json_print(out.get()).c_str());
  return 0;
}

// ---- admin client ----

struct Admin {
  ClientRequest base;
};

std::optional<Admin> admin_for(const Options& o, std::string* error) {
  Paths p(o.data);
  std::optional<std::string> listen = read_file(p.listen, error);
  if (!listen) {
    *error += " (is the server running?)";
    return std::nullopt;
  }
  std::optional<std::string> token = read_file(p.token, error);
  if (!token) return std::nullopt;
  std::optional<std::pair<std::string, uint16_t>> where = parse_host_port(trim(*listen));
  if (!where) {
    *error = p.listen + ": not ADDR:PORT";
    return std::nullopt;
  }
  Admin a;
  a.base.host = where->first == "0.0.0.0" ? "127.0.0.1" : where->first == "::" ? "::1" : where->first;
  a.base.port = where->second;
  a.base.ca_file = p.ca_cert;
  a.base.authorization = "Bearer " + trim(*token);
  return a;
}

// Runs one API call; on success returns the parsed JSON reply.
Json call(const Admin& a, const std::string& method, const std::string& target, const std::string& body,
          const std::string& what, std::string* error, int timeout = 30) {
  ClientRequest rq = a.base;
  rq.method = method;
  rq.target = target;
  rq.body = body;
  rq.timeout_seconds = timeout;
  if (!body.empty()) rq.content_type = "application/json";
  std::optional<ClientReply> reply = https_request(rq, error);
  if (!reply) {
    *error = what + ": " + *error;
    return nullptr;
  }
  Json parsed = json_parse(reply->body);
  if (reply->status != 200) {
    std::string text = json_get_string(parsed.get(), "error");
    *error = what + ": " + (text.empty() ? "server answered " + std::to_string(reply->status) : text);
    return nullptr;
  }
  if (!parsed) *error = what + ": the server's answer is not JSON";
  return parsed;
}

int print_array(const cJSON* reply, const char* member) {
  const cJSON* array = json_get(reply, member);
  for (int i = 0; i < json_array_size(array); i++) std::printf("%s\n", json_print(json_array_item(array, i)).c_str());
  std::fflush(stdout);
  return 0;
}

// One event for a person: "SEQ NAME key=value ...", string values as the
// machine sent them, others as compact JSON, all of it terminal-safe.
std::string human_event(const cJSON* e) {
  std::string line = std::to_string(static_cast<long long>(json_get_number(e, "seq"))) + " " +
                     json_get_string(e, "e");
  const cJSON* d = json_get(e, "d");
  for (int i = 0; i < json_member_count(d); i++) {
    const cJSON* m = json_member_at(d, i);
    line += " " + json_member_name(m) + "=" + (json_is_string(m) ? json_string_value(m) : json_print(m));
  }
  return terminal_safe(line);
}

// Prints every stored event of `machine` after `*after` (and, following,
// those yet to come), page by page; moves *after past them.
bool print_events(const Admin& admin, const Options& o, const std::string& machine, long long* after,
                  std::string* error) {
  for (;;) {
    std::string target = "/api/events?machine_id=" + url_encode(machine) + "&after=" + std::to_string(*after) +
                         (o.follow ? "&wait=" + std::to_string(kMaxLongPollSeconds) : "");
    Json r = call(admin, "GET", target, "", "events", error, kMaxLongPollSeconds + 15);
    if (!r) return false;
    const cJSON* events = json_get(r.get(), "events");
    for (int i = 0; i < json_array_size(events); i++) {
      const cJSON* e = json_array_item(events, i);
      std::printf("%s\n", o.human ? human_event(e).c_str() : json_print(e).c_str());
      *after = std::max<long long>(*after, static_cast<long long>(json_get_number(e, "seq")));
    }
    std::fflush(stdout);
    if (!o.follow && !json_get_bool(r.get(), "more")) return true;
  }
}

int cmd_client(const Options& o) {
  std::string error;
  std::optional<Admin> admin = admin_for(o, &error);
  if (!admin) return fail(o.command + ": " + error);
  const auto& pos = o.positional;

  if (o.command == "machines") {
    if (!pos.empty()) return usage("machines: takes no argument");
    Json r = call(*admin, "GET", "/api/machines", "", "machines", &error);
    return r ? print_array(r.get(), "machines") : fail(error);
  }

  if (o.command == "send") {
    if (pos.size() < 2 || pos.size() > 3) return usage("send: expected `send MACHINE EVENT [JSON]`");
    Json d = pos.size() == 3 ? json_parse(pos[2]) : json_object();
    if (!d) return usage("send: the payload is not JSON");
    Json body = json_object();
    json_add_string(body.get(), "machine_id", pos[0]);
    json_add_string(body.get(), "e", pos[1]);
    json_add_item(body.get(), "d", std::move(d));
    Json r = call(*admin, "POST", "/api/send", json_print(body.get()), "send", &error);
    if (!r) return fail(error);
    std::printf("%s\n", json_print(r.get()).c_str());
    return 0;
  }

  if (o.command == "events") {
    if (pos.size() != 1) return usage("events: expected `events MACHINE [--after N] [--follow]`");
    char* end = nullptr;
    errno = 0;
    long long after = std::strtoll(o.after.c_str(), &end, 10);
    if (o.after.empty() || *end != '\0' || errno != 0 || after < 0) return usage("--after: not a sequence number");
    return print_events(*admin, o, pos[0], &after, &error) ? 0 : fail(error);
  }

  if (o.command == "approve") {
    if (pos.size() != 1 || o.user.empty()) return usage("approve: expected `approve CODE --user NAME`");
    Json body = json_object();
    json_add_string(body.get(), "code", pos[0]);
    json_add_string(body.get(), "user", o.user);
    if (o.rekey) json_add_bool(body.get(), "rekey", true);
    Json r = call(*admin, "POST", "/api/approve", json_print(body.get()), "approve " + pos[0], &error);
    if (!r) return fail(error);
    std::printf("%s\n", json_print(r.get()).c_str());
    return 0;
  }

  if (o.command == "revoke") {
    if (pos.size() != 1) return usage("revoke: expected `revoke MACHINE`");
    Json body = json_object();
    json_add_string(body.get(), "machine_id", pos[0]);
    Json r = call(*admin, "POST", "/api/revoke", json_print(body.get()), "revoke " + pos[0], &error);
    if (!r) return fail(error);
    std::printf("%s\n", json_print(r.get()).c_str());
    return 0;
  }
  return usage(o.command + ": unknown command");  // cli_main lets only the above through
}

}  // namespace

int cli_main(const std::vector<std::string>& args) {
  if (cli_is_transfer_command(args)) return cli_transfer_main(args);
  if (cli_is_job_command(args)) return cli_job_main(args);
  if (cli_is_drone(args)) return cli_drone(args);
  if (cli_is_thumbnails_command(args)) return cli_thumbnails_main(args);
  std::string error;
  std::optional<Options> o = parse(args, &error);
  if (!o) return usage(error);
  if (o->command.empty() || o->command == "help") return usage("no command given");
  if (o->command == "init") return o->positional.empty() ? cmd_init(*o) : usage("init: takes no argument");
  if (o->command == "serve") return o->positional.empty() ? cmd_serve(*o) : usage("serve: takes no argument");
  if (o->command == "user") return cmd_user(*o);
  for (const char* c : {"machines", "send", "events", "approve", "revoke"})
    if (o->command == c) return cmd_client(*o);
  return usage(o->command + ": unknown command");
}

}  // namespace halvex::server
