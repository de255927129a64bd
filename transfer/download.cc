#include "transfer/download.h"

#include <atomic>
#include <memory>
#include <optional>

#include "core/log.h"
#include "core/thread.h"
#include "link/proto.h"
#include "platform/dirs.h"
#include "transfer/download_testing.h"
#include "transfer/names.h"

namespace halvex {

namespace {

constexpr unsigned kFileMode = 0666;  // the umask decides, as for any new file
constexpr int kMaxNumber = 998;       // "name (1)" ... "name (998)"
constexpr size_t kMaxUrlBytes = 1023;

std::atomic<bool> g_download_cancelled{false};
ServerBaseUrlFn g_base_url = nullptr;

void on_start_download_job(const cJSON* data) {
  g_download_cancelled = false;
  auto request = std::make_shared<Json>(json_duplicate(data));
  std::string base = g_base_url != nullptr ? g_base_url() : "";
  // A job that fails for want of memory or of a thread ends with its error.
  thread_start(
      "download", [request, base] { download_job(request->get(), base, send_event); },
      [](const std::string& error) {
        Json d = json_object();
        json_add_string(d.get(), "error", error);
        send_event("download_error", std::move(d));
      });
}

void on_cancel_download(const cJSON*) { g_download_cancelled = true; }

void send_invalid_folder(const EventSink& send) {
  Json d = json_object();
  json_add_string(d.get(), "error", "Invalid folder");
  send("download_error", std::move(d));
}

void send_item_event(const EventSink& send, int index, int total, const std::string& name,
                     bool cancelled) {
  Json d = json_object();
  if (cancelled) json_add_bool(d.get(), "cancelled", true);
  json_add_number(d.get(), "current", index);
  json_add_number(d.get(), "total", total);
  if (!cancelled) {
    json_add_string(d.get(), "filename", name);
    json_add_string(d.get(), "phase", "error");
  }
  send("download_progress", std::move(d));
}

void send_progress(const EventSink& send, int index, int total, const std::string& name,
                   uint64_t received, uint64_t size) {
  double file_fraction = size > 0 ? static_cast<double>(received) / static_cast<double>(size) : 0.0;
  Json d = json_object();
  json_add_number(d.get(), "current", index);
  json_add_number(d.get(), "total", total);
  json_add_string(d.get(), "filename", name);
  json_add_string(d.get(), "phase", "downloading");
  json_add_number(d.get(), "file_progress", file_fraction * 100);
  json_add_number(d.get(), "bytes_downloaded", static_cast<double>(received));
  json_add_number(d.get(), "file_size", static_cast<double>(size));
  json_add_number(d.get(), "progress", ((index - 1) + file_fraction) / total * 100);
  send("download_progress", std::move(d));
}

// Creates the file for `name` in `folder`, or the first free numbered
// alternative. Creation is exclusive, so a name taken meanwhile (or a link
// planted there) moves the numbering on instead of being overwritten. False
// when every number is taken or the folder refuses the file, with *error
// saying which.
bool claim_file(const std::string& folder, const std::string& name, NewFile* file,
                std::string* error) {
  for (int n = 0; n <= kMaxNumber; n++) {
    std::optional<std::string> candidate =
        n == 0 ? std::optional<std::string>(name) : download_numbered_name(name, n);
    if (!candidate) {
      *error = "no numbered name fits";
      return false;
    }
    switch (file->create(folder + "/" + *candidate, kFileMode, error)) {
      case NewFileStatus::kCreated:
        return true;
      case NewFileStatus::kExists:
        continue;
      case NewFileStatus::kFailed:
        return false;
    }
  }
  *error = "every numbered name is taken";
  return false;
}

// Makes the item's URL and claims its file; false with *error when either
// fails, before any request.
bool prepare_item(const cJSON* url_item, const std::string& base, const std::string& folder,
                  const std::string& name, std::string* url, NewFile* file, std::string* error) {
  // An item without a string "url" (or one whose URL would not fit) makes
  // no request: the base URL alone would fetch something else.
  if (!json_is_string(url_item)) {
    *error = "no \"url\" text in the item";
    return false;
  }
  *url = base + json_string_value(url_item);
  if (url->size() > kMaxUrlBytes) {
    *error = "URL longer than " + std::to_string(kMaxUrlBytes) + " bytes";
    return false;
  }
  return claim_file(folder, name, file, error);
}

// One "files" item. Returns true when it was downloaded.
// `server` is the agent's own server, which redirects are checked against.
bool download_item(const cJSON* item, const std::string& folder, const std::string& base,
                   const std::string& server, int index, int total, const std::string& name,
                   const EventSink& send) {
  std::string url, error;
  NewFile file;
  bool ok = prepare_item(json_get(item, "url"), base, folder, name, &url, &file, &error);
  if (ok) {
    log_msg(LOG_INFO, "download: %s -> %s", name.c_str(), folder.c_str());
    ok = download_file(url, server, &file, index, total, name, send, &error);
  }
  if (!ok) {
    log_msg(LOG_ERROR, "download: failed for %s", name.c_str());
    log_msg(LOG_INFO, "download: cause: %s", error.c_str());
    send_item_event(send, index, total, name, false);
  }
  return ok;
}

Json summary_entry(const cJSON* item, const std::string& name) {
  Json entry = json_object();
  const cJSON* type = json_get(item, "type");
  if (json_is_string(type)) json_add_string(entry.get(), "type", json_string_value(type));
  if (json_is_number(json_get(item, "id")))
    json_add_number(entry.get(), "id", json_get_int32(item, "id"));
  json_add_string(entry.get(), "filename", name);
  return entry;
}

}  // namespace

void download_register_handlers(ServerBaseUrlFn base_url) {
  g_base_url = base_url;
  register_handler("start_download_job", on_start_download_job);
  register_handler("cancel_download", on_cancel_download);
}

void download_clear_cancel_for_testing() { g_download_cancelled = false; }

void download_job(const cJSON* request, const std::string& default_base_url,
                  const EventSink& send) {
  std::string folder = json_get_string(request, "folder");
  // Any existing path passes, as the server may name a file system root.
  if (folder.empty() || path_kind(folder) == PathKind::kMissing) {
    send_invalid_folder(send);
    return;
  }
  const cJSON* server_url = json_get(request, "server_url");
  std::string base = json_is_string(server_url) ? json_string_value(server_url) : default_base_url;
  const cJSON* files = json_get(request, "files");
  int total = json_array_size(files);
  Json downloaded = json_array();
  int index = 0;
  for (const cJSON* item = json_is_array(files) ? json_first(files) : nullptr; item != nullptr;
       item = json_next(item)) {
    index++;
    if (g_download_cancelled) {
      send_item_event(send, index, total, "", true);
      break;
    }
    const cJSON* filename = json_get(item, "filename");
    std::string given = json_string_value(filename);
    std::string name = download_name(
        json_is_string(filename) ? std::optional<std::string_view>(given) : std::nullopt, index);
    if (download_item(item, folder, base, default_base_url, index, total, name, send))
      json_append(downloaded.get(), summary_entry(item, name));
  }
  Json d = json_object();
  json_add_item(d.get(), "downloaded", std::move(downloaded));
  json_add_number(d.get(), "total", total);
  json_add_string(d.get(), "folder", folder);
  send("download_complete", std::move(d));
}

bool download_file(const std::string& url, const std::string& server_base_url, NewFile* file,
                   int index, int total, const std::string& name, const EventSink& send,
                   std::string* error) {
  FetchHooks hooks;
  hooks.cancelled = [] { return g_download_cancelled.load(); };
  hooks.written = [&](uint64_t received, uint64_t size) {
    send_progress(send, index, total, name, received, size);
  };
  hooks.max_redirects = kDownloadMaxRedirects;
  hooks.server_base_url = server_base_url;
  return transfer_fetch(url, HttpTimeouts{}, kDownloadBufferBytes, file, hooks, error);
}

}  // namespace halvex
