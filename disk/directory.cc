// Folder listing ("list_directories") and path checks ("validate_path").

#include <string>
#include <vector>

#include "core/log.h"
#include "core/util.h"
#include "disk/disk.h"
#include "disk/disk_text.h"
#include "disk/json_array.h"
#include "platform/dirs.h"

namespace halvex {

namespace {

// Folders the server's user never wants to browse into.
const char* const kSkippedFolders[] = {"System Volume Information", "$Recycle.Bin", "$RECYCLE.BIN",
                                       "Recovery", "Config.Msi"};

// Which files a listing shows, from the request's "include_files" member.
struct FileFilter {
  bool list_files = false;              // the member is present, whatever its type
  bool by_extension = false;            // it is an array with at least one element
  std::vector<std::string> extensions;  // its string elements, e.g. ".mp4"
};

FileFilter file_filter(const cJSON* include_files) {
  FileFilter filter;
  if (include_files == nullptr) return filter;
  filter.list_files = true;
  JsonArrayStrings array = json_array_strings(include_files);
  filter.by_extension = array.is_array && array.count > 0;
  filter.extensions = std::move(array.strings);
  return filter;
}

bool accepts(const FileFilter& filter, const std::string& name) {
  if (!filter.by_extension) return true;
  size_t dot = name.rfind('.');
  if (dot == std::string::npos) return false;
  std::string_view extension = std::string_view(name).substr(dot);
  for (const std::string& wanted : filter.extensions) {
    if (disk_equals_ignoring_case(extension, wanted)) return true;
  }
  return false;
}

bool is_skipped_folder(const std::string& name) {
  for (const char* skipped : kSkippedFolders) {
    if (disk_equals_ignoring_case(name, skipped)) return true;
  }
  return false;
}

// True when `path` holds a folder whose name doesn't begin with '.'. The
// skip list is not applied here; an unreadable folder has no children.
bool has_children(const std::string& path) {
  DirReader reader(path, false);
  for (DirEntry entry; reader.next(&entry);) {
    if (entry.is_dir && entry.name[0] != '.') return true;
  }
  return false;
}

const char* dir_error_text(DirError error) {
  switch (error) {
    case DirError::kPermissionDenied:
      return "Permission denied";
    case DirError::kNotFound:
      return "Path not found";
    default:
      return "Cannot read directory";
  }
}

Json dir_json(const std::string& name, bool children) {
  Json entry = json_object();
  json_add_string(entry.get(), "name", utf8_sanitize(name));
  json_add_bool(entry.get(), "has_children", children);
  return entry;
}

Json file_json(const DirEntry& entry) {
  Json file = json_object();
  json_add_string(file.get(), "name", utf8_sanitize(entry.name));
  json_add_number(file.get(), "size", static_cast<double>(entry.size));
  return file;
}

// "dirs", then "files" or "error"; the caller adds "path".
Json list_directory(const std::string& path, const cJSON* include_files) {
  Json reply = json_object();
  Json dirs = json_array();
  cJSON* dirs_array = dirs.get();
  json_add_item(reply.get(), "dirs", std::move(dirs));

  FileFilter filter = file_filter(include_files);
  DirReader reader(path, filter.list_files);
  if (reader.error() != DirError::kNone) {
    json_add_string(reply.get(), "error", dir_error_text(reader.error()));
    return reply;
  }
  cJSON* files_array = nullptr;
  if (filter.list_files) {
    Json files = json_array();
    files_array = files.get();
    json_add_item(reply.get(), "files", std::move(files));
  }
  for (DirEntry entry; reader.next(&entry);) {
    if (entry.name[0] == '.') continue;  // hidden by convention; also "." and ".."
    if (entry.is_dir) {
      if (is_skipped_folder(entry.name)) continue;
      json_append(dirs_array, dir_json(entry.name, has_children(dirs_join_path(path, entry.name))));
    } else if (files_array != nullptr && accepts(filter, entry.name)) {
      json_append(files_array, file_json(entry));
    }
  }
  return reply;
}

// The request's "path" when it is a string; "" otherwise.
std::string request_path(const cJSON* request) {
  const cJSON* path = json_get(request, "path");
  return json_is_string(path) ? json_string_value(path) : "";
}

}  // namespace

Json disk_list_directories_reply(const cJSON* request) {
  std::string path = request_path(request);
  if (path.empty()) {
    Json reply = json_object();
    json_add_string(reply.get(), "path", "");
    json_add_item(reply.get(), "dirs", json_array());
    json_add_string(reply.get(), "error", "Invalid path");
    return reply;
  }
  log_msg(LOG_DEBUG, "disk: listing directory: %s", path.c_str());
  Json reply = list_directory(path, json_get(request, "include_files"));
  json_add_string(reply.get(), "path", path);
  return reply;
}

Json disk_validate_path_reply(const cJSON* request) {
  std::string path = request_path(request);
  bool allow_files = json_get_bool(request, "allow_files", false);
  PathKind kind = path_kind(path);  // kMissing for ""
  Json reply = json_object();
  json_add_string(reply.get(), "path", path);
  if (kind == PathKind::kDirectory || (kind == PathKind::kOther && allow_files)) {
    json_add_bool(reply.get(), "valid", true);
    json_add_bool(reply.get(), "is_dir", kind == PathKind::kDirectory);
  } else {
    json_add_bool(reply.get(), "valid", false);
    json_add_string(reply.get(), "error", "Path does not exist");
  }
  return reply;
}

}  // namespace halvex
