#include "server/cli_transfer.h"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>

#include "core/json.h"
#include "platform/files.h"
#include "server/admin_client.h"
#include "server/app.h"
#include "server/files.h"
#include "server/net.h"
#include "server/term_text.h"
#include "server/web.h"

namespace halvex::server {
namespace {

namespace fs = std::filesystem;

constexpr int kOutcomeSeconds = 600;  // how long the outcome is awaited
constexpr int kCallSeconds = 30;

// Options that take a value: ours and those of the other commands, so that
// the command word is found wherever the options stand.
constexpr const char* kValueOptions[] = {"--data", "--folder", "--installer", "--version", "--base-url",
                                         "--host", "--listen", "--user",      "--after"};

struct Options {
  std::string command;
  std::vector<std::string> positional;
  std::string data = "recovery-data";
  std::string folder, installer, version, base_url;
  bool has_folder = false, has_installer = false, has_version = false, force = false;
};

// The admin API of the running server.
struct Api {
  AdminApi admin;
  std::string origin;  // "https://ADDR:PORT" as this machine reaches it
};

// What a followed event means for the command.
enum class Outcome { kGoOn, kSuccess, kFailure };

int fail(const std::string& text) {
  std::fprintf(stderr, "recovery-server: %s\n", terminal_safe(text).c_str());
  return 1;
}

int usage(const std::string& text) {
  std::fprintf(stderr,
               "recovery-server: %s\n"
               "usage: recovery-server download MACHINE --folder DIR FILE... [--base-url URL] [--data DIR]\n"
               "       recovery-server update MACHINE --installer PATH --version V [--force] [--base-url URL] "
               "[--data DIR]\n",
               text.c_str());
  return 2;
}

bool takes_value(const std::string& arg) {
  for (const char* o : kValueOptions)
    if (arg == o) return true;
  return false;
}

std::optional<Options> parse(const std::vector<std::string>& args, std::string* error) {
  Options o;
  for (size_t i = 0; i < args.size(); i++) {
    const std::string& a = args[i];
    if (takes_value(a)) {
      if (i + 1 >= args.size()) {
        *error = a + ": needs a value";
        return std::nullopt;
      }
      const std::string& v = args[++i];
      if (a == "--data") o.data = v;
      else if (a == "--folder") o.folder = v, o.has_folder = true;
      else if (a == "--installer") o.installer = v, o.has_installer = true;
      else if (a == "--version") o.version = v, o.has_version = true;
      else if (a == "--base-url") o.base_url = v;
      else {
        *error = a + ": not an option of " + (o.command.empty() ? "this command" : o.command);
        return std::nullopt;
      }
    } else if (a == "--force") {
      o.force = true;
    } else if (a.size() > 1 && a[0] == '-') {
      *error = a + ": unknown option";
      return std::nullopt;
    } else if (o.command.empty()) {
      o.command = a;
    } else {
      o.positional.push_back(a);
    }
  }
  while (!o.base_url.empty() && o.base_url.back() == '/') o.base_url.pop_back();
  return o;
}


std::optional<Api> api_for(const std::string& data, std::string* error) {
  std::optional<AdminApi> admin = admin_api_open(data, error);
  if (!admin) return std::nullopt;
  Api api;
  api.admin = std::move(*admin);
  const std::string& host = api.admin.address;
  std::string url_host = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  api.origin = "https://" + url_host + ":" + std::to_string(api.admin.port);
  return api;
}


// Copies `source` into the files folder under its own name, replacing an
// earlier copy in one step (a download of the old copy keeps reading it).
// Returns the name, or nullopt with *error.
std::optional<std::string> stage_file(const std::string& data, const std::string& source, std::string* error) {
  std::string name = fs::path(source).filename().string();
  if (!files_valid_name(name)) {
    *error = source + ": not a file name";
    return std::nullopt;
  }
  std::string dir = data + "/files";
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    *error = "create " + dir + ": " + std::strerror(errno);
    return std::nullopt;
  }
  if (!file_copy_atomic(source, dir + "/" + name, 0644, error)) {
    *error = "copy " + source + " to " + dir + ": " + *error;
    return std::nullopt;
  }
  return name;
}

// A token that lets the machine's job fetch `names` from the files folder.
std::optional<std::string> file_token(const Api& api, const std::string& machine,
                                      const std::vector<std::string>& names, std::string* error) {
  std::string text = "{\"machine_id\":";
  json_write_string(&text, machine);
  text += ",\"files\":[";
  for (size_t i = 0; i < names.size(); i++) {
    if (i > 0) text += ",";
    json_write_string(&text, names[i]);
  }
  text += "]}";
  Json body = json_parse(text);
  Json r = admin_call(api.admin, "POST", "/api/file_tokens", body.get(), kCallSeconds, error);
  if (!r) return std::nullopt;
  std::string token = json_get_string(r.get(), "token");
  if (token.empty()) {
    *error = "file token: the server's answer has none";
    return std::nullopt;
  }
  return token;
}

// The URL path of a staged file, with the job's token.
std::string file_url(const std::string& name, const std::string& token) {
  return std::string(kFilesPrefix) + url_encode(name) + "?token=" + url_encode(token);
}

std::string events_target(const std::string& machine, long long after, int wait) {
  return "/api/events?machine_id=" + url_encode(machine) + "&after=" + std::to_string(after) +
         (wait > 0 ? "&wait=" + std::to_string(wait) : "");
}

// The sequence number of the machine's last stored event (0 for none).
std::optional<long long> last_seq(const Api& api, const std::string& machine, std::string* error) {
  long long after = 0;
  for (;;) {
    Json r = admin_call(api.admin, "GET", events_target(machine, after, 0), nullptr, kCallSeconds, error);
    if (!r) return std::nullopt;
    const cJSON* events = json_get(r.get(), "events");
    if (json_array_size(events) == 0) return after;
    for (int i = 0; i < json_array_size(events); i++)
      after = std::max(after, static_cast<long long>(json_get_number(json_array_item(events, i), "seq")));
  }
}

// Sends the event, then prints the machine's events that `judge` does not
// ignore until one decides the outcome. Returns the exit status.
int send_and_follow(const Api& api, const std::string& machine, const std::string& event, Json d,
                    const std::function<std::optional<Outcome>(const std::string& e, const cJSON* d)>& judge) {
  std::string error;
  std::optional<long long> after = last_seq(api, machine, &error);
  if (!after) return fail(event + ": " + error);
  Json body = json_object();
  json_add_string(body.get(), "machine_id", machine);
  json_add_string(body.get(), "e", event);
  json_add_item(body.get(), "d", std::move(d));
  if (!admin_call(api.admin, "POST", "/api/send", body.get(), kCallSeconds, &error)) return fail(event + ": " + error);

  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kOutcomeSeconds);
  while (std::chrono::steady_clock::now() < deadline) {
    Json r = admin_call(api.admin, "GET", events_target(machine, *after, kMaxLongPollSeconds), nullptr, kMaxLongPollSeconds + 15,
                  &error);
    if (!r) return fail(event + ": " + error);
    const cJSON* events = json_get(r.get(), "events");
    for (int i = 0; i < json_array_size(events); i++) {
      const cJSON* e = json_array_item(events, i);
      *after = std::max(*after, static_cast<long long>(json_get_number(e, "seq")));
      std::optional<Outcome> o = judge(json_get_string(e, "e"), json_get(e, "d"));
      if (!o) continue;
      std::printf("%s\n", json_print(e).c_str());
      std::fflush(stdout);
      if (*o != Outcome::kGoOn) return *o == Outcome::kSuccess ? 0 : 1;
    }
  }
  return fail(event + ": no outcome within " + std::to_string(kOutcomeSeconds) + " s");
}

int cmd_download(const Options& o, const Api& api) {
  if (o.positional.size() < 2 || !o.has_folder || o.folder.empty())
    return usage("download: expected `download MACHINE --folder DIR FILE...`");
  const std::string& machine = o.positional[0];
  if (!valid_machine_id(machine)) return usage("download: " + machine + ": not a machine id");
  std::vector<std::string> names;
  std::string error;
  for (size_t i = 1; i < o.positional.size(); i++) {
    std::optional<std::string> name = stage_file(o.data, o.positional[i], &error);
    if (!name) return fail("download: " + error);
    names.push_back(*name);
  }
  std::optional<std::string> token = file_token(api, machine, names, &error);
  if (!token) return fail("download: " + error);
  Json files = json_array();
  for (const std::string& name : names) {
    Json item = json_object();
    json_add_string(item.get(), "url", file_url(name, *token));
    json_add_string(item.get(), "filename", name);
    json_append(files.get(), std::move(item));
  }
  Json d = json_object();
  json_add_string(d.get(), "folder", o.folder);
  if (!o.base_url.empty()) json_add_string(d.get(), "server_url", o.base_url);
  json_add_item(d.get(), "files", std::move(files));
  return send_and_follow(api, machine, "start_download_job", std::move(d),
                         [](const std::string& e, const cJSON* d) -> std::optional<Outcome> {
                           if (e == "download_progress") return Outcome::kGoOn;
                           if (e == "download_error") return Outcome::kFailure;
                           if (e != "download_complete") return std::nullopt;
                           bool all = json_array_size(json_get(d, "downloaded")) == json_get_number(d, "total");
                           return all ? Outcome::kSuccess : Outcome::kFailure;
                         });
}

int cmd_update(const Options& o, const Api& api) {
  if (o.positional.size() != 1 || !o.has_installer || !o.has_version)
    return usage("update: expected `update MACHINE --installer PATH --version V [--force]`");
  const std::string& machine = o.positional[0];
  if (!valid_machine_id(machine)) return usage("update: " + machine + ": not a machine id");
  std::string error;
  std::optional<std::string> name = stage_file(o.data, o.installer, &error);
  if (!name) return fail("update: " + error);
  std::optional<std::string> token = file_token(api, machine, {*name}, &error);
  if (!token) return fail("update: " + error);
  std::string origin = o.base_url.empty() ? api.origin : o.base_url;
  Json d = json_object();
  json_add_string(d.get(), "download_url", origin + file_url(*name, *token));
  json_add_string(d.get(), "version", o.version);
  json_add_string(d.get(), "filename", *name);
  if (o.force) json_add_bool(d.get(), "force", true);
  return send_and_follow(api, machine, "do_update", std::move(d),
                         [](const std::string& e, const cJSON* d) -> std::optional<Outcome> {
                           if (e != "update_status") return std::nullopt;
                           std::string status = json_get_string(d, "status");
                           if (status == "error") return Outcome::kFailure;
                           if (status == "up_to_date" || status == "restarting") return Outcome::kSuccess;
                           return Outcome::kGoOn;
                         });
}

}  // namespace

bool cli_is_transfer_command(const std::vector<std::string>& args) {
  for (size_t i = 0; i < args.size(); i++) {
    if (takes_value(args[i])) {
      i++;
      continue;
    }
    if (args[i].size() > 1 && args[i][0] == '-') continue;
    return args[i] == "download" || args[i] == "update";
  }
  return false;
}

int cli_transfer_main(const std::vector<std::string>& args) {
  std::string error;
  std::optional<Options> o = parse(args, &error);
  if (!o) return usage(error);
  std::optional<Api> api = api_for(o->data, &error);
  if (!api) return fail(o->command + ": " + error);
  return o->command == "download" ? cmd_download(*o, *api) : cmd_update(*o, *api);
}

}  // namespace halvex::server
