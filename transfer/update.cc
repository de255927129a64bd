#include "transfer/update.h"

#include <atomic>
#include <optional>

#include "core/log.h"
#include "core/thread.h"
#include "core/util.h"
#include "core/version.h"
#include "link/proto.h"
#include "link/ws_client.h"
#include "platform/clock.h"
#include "platform/dirs.h"
#include "platform/files.h"
#include "platform/new_file.h"
#include "platform/process.h"
#include "platform/temp_dir.h"
#include "platform/update_script.h"
#include "transfer/names.h"
#include "transfer/update_testing.h"
#include "transfer/url.h"

namespace halvex {

namespace {

// Field sizes of update_request (text is cut to one byte less).
constexpr size_t kVersionBytes = 32;
constexpr size_t kUrlBytes = 512;
constexpr size_t kFilenameBytes = 128;

constexpr size_t kFetchBufferBytes = 65536;
constexpr uint32_t kCloseSettleMs = 500;
constexpr unsigned kExecutableMode = 0700;
constexpr const char* kTempPrefix = "halvex-update";

std::atomic<bool> g_update_running{false};
ServerBaseUrlFn g_base_url = nullptr;
void (*g_stop_reconnecting)() = nullptr;
std::string g_shell;  // "": the system's; written only by the test hook, before any request

void send_status(const EventSink& send, const char* status, const char* member,
                 const std::string& value) {
  Json d = json_object();
  json_add_string(d.get(), "status", status);
  json_add_string(d.get(), member, value);
  send("update_status", std::move(d));
}

void send_error(const EventSink& send, const char* message) {
  send_status(send, "error", "message", message);
}

// Ends a failed worker: the agent runs on and may take the next request.
void fail_worker(const EventSink& send, const char* message) {
  g_update_running = false;
  send_error(send, message);
}

HttpTimeouts fetch_timeouts() {
  HttpTimeouts t;
  t.resolve_ms = 30000;
  t.connect_ms = 30000;
  t.send_ms = 120000;
  t.receive_ms = 120000;
  return t;
}

// Writes the script into `folder` and starts it on its own, so that it
// outlives this process.
bool start_hand_over(const std::string& folder, const std::string& installer, std::string* error) {
  std::string script = dirs_join_path(folder, update_script_name());
  std::string text = update_script_text(process_current_id(), installer, script, folder);
  NewFile file;
  NewFileStatus created = file.create(script, kExecutableMode, error);
  if (created == NewFileStatus::kExists) *error = "create " + script + ": exists";
  if (created != NewFileStatus::kCreated) return false;
  if (!file.write(text.data(), text.size(), error) || !file.close(error)) {
    file.discard();
    return false;
  }
  if (!update_script_start(script, g_shell, error)) {
    file.discard();
    return false;
  }
  return true;
}

// Fetches the installer into a fresh private folder. Returns the folder
// and sets *installer; nullopt (nothing left behind) and *error on failure.
// Redirects are not followed: the installer comes from the URL checked.
std::optional<std::string> fetch_installer(const update_request& request, std::string* installer,
                                           std::string* error) {
  std::optional<std::string> folder = temp_dir_create(kTempPrefix, error);
  if (!folder) return std::nullopt;
  *installer = dirs_join_path(*folder, update_installer_name(request.filename));
  NewFile file;
  if (file.create(*installer, kExecutableMode, error) != NewFileStatus::kCreated ||
      !transfer_fetch(request.download_url, fetch_timeouts(), kFetchBufferBytes, &file,
                      FetchHooks{}, error)) {
    temp_dir_remove(*folder);
    return std::nullopt;
  }
  return folder;
}

// Runs on its own thread; ends the process when the hand-over has started.
void update_worker(const update_request& request, const EventSink& send) {
  log_msg(LOG_INFO, "update: downloading v%s from %s", request.version.c_str(),
          request.download_url.c_str());
  send_status(send, "downloading", "version", request.version);

  std::string installer, error;
  std::optional<std::string> folder = fetch_installer(request, &installer, &error);
  if (!folder) {
    log_msg(LOG_ERROR, "update: download failed");
    log_msg(LOG_INFO, "update: cause: %s", error.c_str());
    fail_worker(send, "Download failed");
    return;
  }
  std::optional<uint64_t> size = file_size(installer);
  if (!size || *size < kMinInstallerBytes) {
    log_msg(LOG_ERROR, "update: downloaded file too small");
    file_remove(installer);
    temp_dir_remove(*folder);
    fail_worker(send, "Downloaded file too small");
    return;
  }
  log_msg(LOG_INFO, "update: downloaded %lu bytes, installing...",
          static_cast<unsigned long>(*size));

  // The script must be running before "restarting" goes out: after that
  // message there is no way back.
  if (!start_hand_over(*folder, installer, &error)) {
    log_msg(LOG_ERROR, "update: hand-over failed: %s", error.c_str());
    file_remove(installer);
    temp_dir_remove(*folder);
    fail_worker(send, "Update hand-over failed");
    return;
  }
  send_status(send, "restarting", "version", request.version);
  sleep_ms(kCloseSettleMs);
  if (g_stop_reconnecting != nullptr) g_stop_reconnecting();
  ws_close();
  sleep_ms(kCloseSettleMs);
  process_exit(0);
}

void on_do_update(const cJSON* data) {
  update_handle_request(data, g_base_url != nullptr ? g_base_url() : "", send_event);
}

}  // namespace

void update_register_handlers(ServerBaseUrlFn base_url, void (*stop_reconnecting)()) {
  g_base_url = base_url;
  g_stop_reconnecting = stop_reconnecting;
  register_handler("do_update", on_do_update);
}

bool is_trusted_update_url(std::string_view url) {
  std::optional<TransferUrl> parsed = transfer_parse_url(url);
  return parsed && transfer_url_trusted(*parsed, g_base_url != nullptr ? g_base_url() : "");
}

void update_handle_request(const cJSON* request, const std::string& server_base_url,
                           const EventSink& send) {
  std::string url_text = json_get_string(request, "download_url");
  if (url_text.empty()) {
    send_error(send, "No download URL provided");
    return;
  }
  // A URL that does not fit its field is refused whole: cut, it would name
  // another file, perhaps on another host.
  if (url_text.size() >= kUrlBytes) {
    log_msg(LOG_ERROR, "update: URL too long (%zu bytes)", url_text.size());
    send_error(send, "Update URL too long");
    return;
  }
  // The URL is parsed once; the worker gets it rebuilt from the checked
  // parts.
  std::optional<TransferUrl> url = transfer_parse_url(url_text);
  if (!url || !transfer_url_trusted(*url, server_base_url)) {
    log_msg(LOG_ERROR, "update: URL rejected: %s", url_text.c_str());
    send_error(send, "Update URL not from trusted server");
    return;
  }
  const cJSON* version = json_get(request, "version");
  if (!json_get_bool(request, "force") && json_is_string(version) &&
      json_string_value(version) == SERVICE_VERSION) {
    send_status(send, "up_to_date", "version", SERVICE_VERSION);
    return;
  }
  if (g_update_running.exchange(true)) {
    log_msg(LOG_WARN, "update: already in progress");
    send_error(send, "Update already in progress");
    return;
  }
  update_request record;
  record.version = text_cut(json_string_value(version), kVersionBytes);
  record.download_url = transfer_url_text(*url);
  const cJSON* filename = json_get(request, "filename");
  record.filename = json_is_string(filename) ? text_cut(json_string_value(filename), kFilenameBytes)
                                             : std::string("Halvex_Service_Setup.exe");
  // A worker that fails for want of memory or of a thread ends like any
  // failed worker, so that a later request is not refused forever.
  thread_start(
      "update", [record = std::move(record), send] { update_worker(record, send); },
      [send](const std::string& error) { fail_worker(send, error.c_str()); });
}

void update_set_shell_for_testing(const std::string& path) { g_shell = path; }

}  // namespace halvex
