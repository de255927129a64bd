#include "server/cli/transfer.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>

#include "core/json.h"
#include "platform/files.h"
#include "server/cli/admin_client.h"
#include "server/cli/follow.h"
#include "server/http/files.h"
#include "server/http/web.h"

namespace halvex::server {
namespace {

namespace fs = std::filesystem;

constexpr int kOutcomeSeconds = 600;  // how long the outcome is awaited
constexpr int kCallSeconds = 30;

constexpr const char* kUsage =
    "usage: recovery-server download MACHINE --folder DIR FILE... [--base-url URL] [--timeout S]\n"
    "           [--offline-grace S] [--data DIR]\n"
    "       recovery-server update MACHINE --installer PATH --version V [--force] [--base-url "
    "URL]\n"
    "           [--timeout S] [--offline-grace S] [--data DIR]\n";

constexpr Flag kDownloadFlags[] = {
    {"--folder", FlagKind::kValue},
    {"--base-url", FlagKind::kValue},
    {"--timeout", FlagKind::kValue},
    {"--offline-grace", FlagKind::kValue},
};

constexpr Flag kUpdateFlags[] = {
    {"--installer", FlagKind::kValue}, {"--version", FlagKind::kValue},
    {"--force", FlagKind::kSwitch},    {"--base-url", FlagKind::kValue},
    {"--timeout", FlagKind::kValue},   {"--offline-grace", FlagKind::kValue},
};

int usage(const std::string& text) { return cli_usage(kUsage, text); }

// What a followed event means for the command.
enum class Outcome { kGoOn, kSuccess, kFailure };
using Verdict = std::optional<Outcome>(const std::string& e, const cJSON* d);

// Copies `source` into the files folder under its own name, replacing an
// earlier copy in one step (a download of the old copy keeps reading it).
// Returns the name, or nullopt with *error.
std::optional<std::string> stage_file(const std::string& data, const std::string& source,
                                      std::string* error) {
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
std::optional<std::string> file_token(const AdminApi& api, const std::string& machine,
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
  Json r = admin_call(api, "POST", "/api/file_tokens", body.get(), kCallSeconds, error);
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

// Reads MACHINE, the follow options and the admin API. Returns nullopt
// after printing why (*rc the exit status).
std::optional<AdminApi> open_transfer(const Flags& f, Follow* follow, int* rc) {
  const std::string& command = f.words[0];
  follow->context = command;
  follow->machine = f.words[1];
  follow->total_limit = kOutcomeSeconds;
  std::string error;
  if (!valid_machine_id(follow->machine)) {
    *rc = usage(command + ": " + follow->machine + ": not a machine id");
    return std::nullopt;
  }
  if (!follow_read_flags(f, follow, &error)) {
    *rc = usage(error);
    return std::nullopt;
  }
  std::optional<AdminApi> api = admin_api_open(f.data(), &error);
  if (!api) *rc = cli_fail(command + ": " + error);
  return api;
}

// Sends the event, then prints the machine's events that `verdict` does
// not ignore as JSON lines until one decides the outcome.
int run_transfer(const AdminApi& api, const Follow& follow, const std::string& event, Json d,
                 Verdict* verdict) {
  return follow_events(api, follow, event, std::move(d),
                       [verdict](const FollowEvent& ev) -> std::optional<int> {
                         std::optional<Outcome> o = verdict(ev.name, ev.d);
                         if (!o) return std::nullopt;
                         std::printf("%s\n", json_print(ev.stored).c_str());
                         std::fflush(stdout);
                         if (*o == Outcome::kGoOn) return std::nullopt;
                         return *o == Outcome::kSuccess ? 0 : 1;
                       });
}

int cmd_download(const Flags& f) {
  std::optional<std::string> folder = f.value("--folder");
  if (f.words.size() < 3 || !folder || folder->empty())
    return usage("download: expected `download MACHINE --folder DIR FILE...`");
  Follow follow;
  int rc = 0;
  std::optional<AdminApi> api = open_transfer(f, &follow, &rc);
  if (!api) return rc;
  std::vector<std::string> names;
  std::string error;
  for (size_t i = 2; i < f.words.size(); i++) {
    std::optional<std::string> name = stage_file(f.data(), f.words[i], &error);
    if (!name) return cli_fail("download: " + error);
    names.push_back(*name);
  }
  std::optional<std::string> token = file_token(*api, follow.machine, names, &error);
  if (!token) return cli_fail("download: " + error);
  Json files = json_array();
  for (const std::string& name : names) {
    Json item = json_object();
    json_add_string(item.get(), "url", file_url(name, *token));
    json_add_string(item.get(), "filename", name);
    json_append(files.get(), std::move(item));
  }
  Json d = json_object();
  json_add_string(d.get(), "folder", *folder);
  // Without --base-url the agent downloads from the server it is linked to.
  std::string base_url = f.value_or("--base-url", "");
  if (!base_url.empty()) json_add_string(d.get(), "server_url", admin_agent_origin(*api, base_url));
  json_add_item(d.get(), "files", std::move(files));
  return run_transfer(*api, follow, "start_download_job", std::move(d),
                      [](const std::string& e, const cJSON* d) -> std::optional<Outcome> {
                        if (e == "download_progress") return Outcome::kGoOn;
                        if (e == "download_error") return Outcome::kFailure;
                        if (e != "download_complete") return std::nullopt;
                        bool all = json_array_size(json_get(d, "downloaded")) ==
                                   json_get_number(d, "total");
                        return all ? Outcome::kSuccess : Outcome::kFailure;
                      });
}

int cmd_update(const Flags& f) {
  std::optional<std::string> installer = f.value("--installer"), version = f.value("--version");
  if (f.words.size() != 2 || !installer || !version)
    return usage("update: expected `update MACHINE --installer PATH --version V [--force]`");
  Follow follow;
  int rc = 0;
  std::optional<AdminApi> api = open_transfer(f, &follow, &rc);
  if (!api) return rc;
  std::string error;
  std::optional<std::string> name = stage_file(f.data(), *installer, &error);
  if (!name) return cli_fail("update: " + error);
  std::optional<std::string> token = file_token(*api, follow.machine, {*name}, &error);
  if (!token) return cli_fail("update: " + error);
  Json d = json_object();
  // By default the URL names the listening address itself.
  std::string origin = admin_agent_origin(*api, f.value_or("--base-url", ""), false);
  json_add_string(d.get(), "download_url", origin + file_url(*name, *token));
  json_add_string(d.get(), "version", *version);
  json_add_string(d.get(), "filename", *name);
  if (f.has("--force")) json_add_bool(d.get(), "force", true);
  return run_transfer(*api, follow, "do_update", std::move(d),
                      [](const std::string& e, const cJSON* d) -> std::optional<Outcome> {
                        if (e != "update_status") return std::nullopt;
                        std::string status = json_get_string(d, "status");
                        if (status == "error") return Outcome::kFailure;
                        if (status == "up_to_date" || status == "restarting")
                          return Outcome::kSuccess;
                        return Outcome::kGoOn;
                      });
}

}  // namespace

const CliCommand kDownloadCommand{"download", kDownloadFlags, kUsage, cmd_download};
const CliCommand kUpdateCommand{"update", kUpdateFlags, kUsage, cmd_update};

}  // namespace halvex::server
