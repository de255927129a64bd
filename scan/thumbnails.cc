#include "scan/thumbnails.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>

#include "core/log.h"
#include "core/thread.h"
#include "core/util.h"
#include "disk/disk_path.h"
#include "link/proto.h"
#include "net/http_post.h"
#include "net/multipart.h"
#include "platform/block_file.h"
#include "platform/clock.h"
#include "platform/dirs.h"
#include "platform/files.h"
#include "platform/new_file.h"
#include "platform/program_search.h"
#include "platform/spawn.h"
#include "platform/system.h"
#include "platform/temp_dir.h"
#include "scan/thumbnails_testing.h"

namespace halvex {

namespace {

// Set at registration, before the first connection; null in tests that have
// no server.
ServerBaseUrlFn g_base_url = nullptr;

// The base URL of requests that name none of their own.
std::string fallback_base_url() { return g_base_url != nullptr ? g_base_url() : ""; }

// Layout A copies at most this much beyond the moov box's own size: 5 MiB
// of media data and 1 KiB for the boxes before it.
constexpr uint64_t kLayoutAExtra = 5243904;
constexpr uint64_t kHeadCap = 4096;      // layout B: ftyp box up to the mdat header
constexpr uint64_t kMdatHeader = 16;     // room for a 64-bit mdat size
constexpr uint64_t kMediaCap = 5242880;  // layout B: first 5 MiB of media data
constexpr uint64_t kMinJpegBytes = 501;  // anything smaller is not a real frame
constexpr uint64_t kMaxJpegBytes = 5242880;
constexpr uint32_t kRunMs = 15000;
constexpr uint32_t kAfterKillMs = 5000;
constexpr size_t kCopyBufferBytes = 1048576;
constexpr size_t kUploadUrlBytes = 512;  // URLs are kept to 511 characters
constexpr size_t kProgressEvery = 10;
constexpr unsigned kTempFileMode = 0600;

// The ffmpeg found by an earlier run, shared by every run. Never freed:
// detached runs may still search while the process ends.
struct FfmpegState {
  std::mutex mu;
  std::string path;               // "" when none is remembered
  bool needs_root_owner = false;  // found where others may have put it
  std::vector<ProgramPlace> system_places = program_system_places("ffmpeg");
};

FfmpegState& ffmpeg_state() {
  static FfmpegState* state = new FfmpegState;
  return *state;
}

// ---- finding ffmpeg ----

// A program beside the executable or on PATH sits where someone other than
// the administrator may have put it: a privileged agent runs it only when
// root owns it, and the folders it lies in, and nobody else can change
// them. It is opened once per run and every video's ffmpeg is started from
// that descriptor, so a link swapped after the check changes nothing.
std::optional<ProgramFile> find_ffmpeg() {
  FfmpegState& s = ffmpeg_state();
  std::lock_guard<std::mutex> lock(s.mu);
  const bool elevated = system_is_elevated();
  if (!s.path.empty())
    if (std::optional<ProgramFile> remembered =
            program_open(s.path, elevated && s.needs_root_owner))
      return remembered;

  struct Candidate {
    std::string path;
    bool needs_root_owner;
  };
  std::vector<Candidate> candidates;
  std::string dir = exe_dir();
  if (!dir.empty()) candidates.push_back({dirs_join_path(dir, program_file_name("ffmpeg")), true});
  for (std::string& p : program_search_path("ffmpeg")) candidates.push_back({std::move(p), true});
  for (const ProgramPlace& p : s.system_places) candidates.push_back({p.path, !p.admin_only});
  for (Candidate& c : candidates) {
    std::optional<ProgramFile> program = program_open(c.path, elevated && c.needs_root_owner);
    if (!program) continue;
    s.path = std::move(c.path);
    s.needs_root_owner = c.needs_root_owner;
    return program;
  }
  s.path.clear();
  return std::nullopt;
}

// ---- assembling the source file ----

// Copies one piece through the bounded buffer. The copy stops, keeping what
// it wrote, at the first read that fails or finds the end of the source.
// False only when writing fails.
bool copy_piece(BlockFile& disk, const ThumbPiece& piece, uint8_t* buffer, NewFile& out) {
  uint64_t offset = piece.offset;
  uint64_t left = piece.length;
  std::string error;
  while (left > 0) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(left, kCopyBufferBytes));
    int64_t n = disk.read_at(offset, buffer, want);
    if (n <= 0) return true;
    if (!out.write(buffer, static_cast<size_t>(n), &error)) return false;
    offset += static_cast<uint64_t>(n);
    left -= static_cast<uint64_t>(n);
  }
  return true;
}

// Without a buffer nothing is copied: ffmpeg then fails on the empty file.
bool assemble(BlockFile& disk, const ThumbVideo& video, uint8_t* buffer, NewFile& out) {
  if (!buffer) return true;
  for (const ThumbPiece& piece : thumb_pieces(video))
    if (!copy_piece(disk, piece, buffer, out)) return false;
  return true;
}

// ---- ffmpeg and the upload ----

// True when ffmpeg ran to its end with exit code 0. One that overruns its
// time is killed; if even the kill is not seen in time, a background reaper
// takes it over.
bool run_ffmpeg(const ProgramFile& ffmpeg, const std::string& mp4, const std::string& jpg) {
  SpawnedProcess process;
  std::string error;
  if (!spawn_program(ffmpeg,
                     {ffmpeg.path(), "-y", "-ss", "0", "-i", mp4, "-frames:v", "1", "-q:v", "5",
                      "-vf", "scale=320:-2", jpg},
                     SpawnOptions{}, &process, &error))
    return false;
  if (std::optional<int> status = spawn_wait_for(&process, clock_scaled_ms(kRunMs)))
    return *status == 0;
  spawn_kill(&process);
  if (!spawn_wait_for(&process, clock_scaled_ms(kAfterKillMs))) spawn_detach(&process);
  return false;
}

// The JPEG ffmpeg left, when it is more than 500 bytes and at most 5 MiB.
bool read_jpeg(const std::string& jpg, std::string* jpeg) {
  std::optional<uint64_t> size = file_size(jpg);
  return size && *size >= kMinJpegBytes && file_read_all(jpg, kMaxJpegBytes, jpeg) &&
         !jpeg->empty();
}

// One attempt; a failed upload is not reported.
bool upload(const ThumbRequest& r, const ThumbVideo& video, const std::string& jpeg) {
  const std::string boundary = multipart_boundary("----ThumbBoundary");
  auto write = [&](MultipartWriter& w) {
    w.text_field("scan_id", r.scan_id.value_or(""));
    w.text_field("video_id", video.video_id);
    w.text_field("video_index", std::to_string(video.video_index));
    w.file_begin("thumbnail", "thumb.jpg", "image/jpeg");
    w.put(jpeg);
    w.finish();
  };
  MultipartBody body;
  std::string error;
  return multipart_build(boundary, kMultipartNoLimit, write, &body, &error) &&
         http_post(r.upload_url, body.data.get(), body.size, multipart_content_type(boundary),
                   &error) != nullptr;
}

// ---- the run ----

enum class VideoOutcome {
  kNoSourceFile,  // the temporary MP4 could not be created: no progress either
  kNoThumbnail,
  kUploaded,
};

// The video's temporary files live in the run's private folder, named by
// its position, and are gone when this returns.
VideoOutcome render_video(const ThumbRequest& r, size_t i, const ProgramFile& ffmpeg,
                          BlockFile& disk, uint8_t* buffer, const std::string& folder) {
  const std::string stem = folder + "/hxs_thumb_" + std::to_string(i);
  const std::string mp4 = stem + ".mp4";
  const std::string jpg = stem + ".jpg";
  NewFile source;
  std::string error;
  if (source.create(mp4, kTempFileMode, &error) != NewFileStatus::kCreated)
    return VideoOutcome::kNoSourceFile;
  const bool written = assemble(disk, r.videos[i], buffer, source) && source.close(&error);
  VideoOutcome outcome = VideoOutcome::kNoThumbnail;
  std::string jpeg;
  if (written && run_ffmpeg(ffmpeg, mp4, jpg) && read_jpeg(jpg, &jpeg) &&
      upload(r, r.videos[i], jpeg))
    outcome = VideoOutcome::kUploaded;
  source.discard();
  file_remove(jpg);
  return outcome;
}

// The payload of every thumbnail event: "scan_id" first, when the request
// had one.
Json thumb_event(const ThumbRequest& r) {
  Json event = json_object();
  if (r.scan_id) json_add_string(event.get(), "scan_id", *r.scan_id);
  return event;
}

void send_progress(const ThumbRequest& r, size_t current, int generated) {
  Json event = thumb_event(r);
  json_add_number(event.get(), "current", static_cast<double>(current));
  json_add_number(event.get(), "total", static_cast<double>(r.videos.size()));
  json_add_number(event.get(), "generated", generated);
  send_event("thumbnail_progress", std::move(event));
}

void send_complete(const ThumbRequest& r, int generated, const char* error) {
  Json event = thumb_event(r);
  json_add_number(event.get(), "generated", generated);
  if (error) json_add_string(event.get(), "error", error);
  send_event("thumbnails_complete", std::move(event));
}

// Renders every video in a private folder of this run's own, so that runs
// at once never share a file and nothing can be planted at the names.
int render_all(const ThumbRequest& r, const ProgramFile& ffmpeg, BlockFile& disk) {
  std::string error;
  std::optional<std::string> folder = temp_dir_create("hxs_thumb", &error);
  if (!folder) {
    log_msg(LOG_WARN, "thumb: %s", error.c_str());
    return 0;
  }
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kCopyBufferBytes]);
  int generated = 0;
  for (size_t i = 0; i < r.videos.size(); i++) {
    VideoOutcome outcome = render_video(r, i, ffmpeg, disk, buffer.get(), *folder);
    if (outcome == VideoOutcome::kNoSourceFile) continue;
    if (outcome == VideoOutcome::kUploaded) generated++;
    if ((i + 1) % kProgressEvery == 0) send_progress(r, i + 1, generated);
  }
  temp_dir_remove(*folder);
  return generated;
}

void run_thumbnails(const ThumbRequest& r) {
  const int count = static_cast<int>(r.videos.size());
  if (count == 0) {
    send_complete(r, 0, nullptr);
    return;
  }
  // A cut URL would send the thumbnails somewhere else, or with another token.
  if (r.upload_url.size() >= kUploadUrlBytes) {
    log_msg(LOG_ERROR, "thumb: upload URL of %zu characters is too long", r.upload_url.size());
    send_complete(r, 0, "Upload URL too long");
    return;
  }
  std::optional<ProgramFile> ffmpeg = find_ffmpeg();
  if (!ffmpeg) {
    log_msg(LOG_WARN, "thumb: ffmpeg not found");
    send_complete(r, 0, "ffmpeg not found");
    return;
  }
  std::optional<std::string> device =
      r.source.empty() ? std::nullopt : disk_resolve_device(r.source);
  std::unique_ptr<BlockFile> disk = device ? BlockFile::open(*device, false) : nullptr;
  if (!disk) {
    send_complete(r, 0, "Cannot open disk");
    return;
  }
  int generated = render_all(r, *ffmpeg, *disk);
  disk.reset();
  log_msg(LOG_INFO, "thumb: generated %d/%d", generated, count);
  send_complete(r, generated, nullptr);
}

// A run that fails for want of memory or of a thread still ends with
// "thumbnails_complete", carrying the error.
void on_generate_thumbnails(const cJSON* d) {
  auto request = std::make_shared<const ThumbRequest>(thumb_read_request(d, fallback_base_url()));
  thread_start(
      "thumb", [request] { run_thumbnails(*request); },
      [request](const std::string& error) { send_complete(*request, 0, error.c_str()); });
}

}  // namespace

void thumb_register_handlers(ServerBaseUrlFn base_url) {
  g_base_url = base_url;
  register_handler("generate_thumbnails", on_generate_thumbnails);
}

ThumbRequest thumb_read_request(const cJSON* d, const std::string& default_base) {
  ThumbRequest r;
  if (json_is_string(json_get(d, "scan_id"))) r.scan_id = json_get_string(d, "scan_id");
  r.source = json_get_string(d, "disk_path");
  const cJSON* images = json_get(d, "image_paths");
  if (r.source.empty() && json_is_array(images))
    r.source = json_string_value(json_array_item(images, 0));
  std::string base = request_base_url(d, default_base);
  r.upload_url = base + "/api/remote/video_thumbnail?token=" + json_get_string(d, "upload_token");
  const cJSON* videos = json_get(d, "videos");
  r.videos.reserve(static_cast<size_t>(json_array_size(videos)));
  for (const cJSON* v = json_is_array(videos) ? json_first(videos) : nullptr; v != nullptr;
       v = json_next(v)) {
    ThumbVideo video;
    video.video_id = json_get_string(v, "video_id");
    video.video_index = json_get_int32(v, "video_index", static_cast<int>(r.videos.size()) + 1);
    video.ftyp_offset = json_get_u64(v, "ftyp_offset");
    video.moov_offset = json_get_u64(v, "moov_offset");
    video.moov_size =
        static_cast<uint32_t>(json_get_u64(v, "moov_size"));  // the box's 32-bit size field
    video.mdat_offset = json_get_u64(v, "mdat_offset");
    video.video_data_size = json_get_u64(v, "video_data_size");
    r.videos.push_back(std::move(video));
  }
  return r;
}

std::vector<ThumbPiece> thumb_pieces(const ThumbVideo& v) {
  std::vector<ThumbPiece> pieces;
  if (v.mdat_offset == 0 || v.ftyp_offset == v.moov_offset) return pieces;
  auto add = [&pieces](uint64_t offset, uint64_t length) {
    length = std::min(length, UINT64_MAX - offset);
    if (length > 0) pieces.push_back({offset, length});
  };
  if (v.ftyp_offset < v.moov_offset) {
    // Both branches are the lesser of (moov end - ftyp) and moov_size +
    // kLayoutAExtra, without a sum that could overflow.
    uint64_t span = v.moov_offset - v.ftyp_offset;
    add(v.ftyp_offset, span > kLayoutAExtra ? v.moov_size + kLayoutAExtra : span + v.moov_size);
    return pieces;
  }
  // An mdat header before the ftyp box wraps the difference: the cap holds.
  add(v.ftyp_offset, std::min(v.mdat_offset - v.ftyp_offset, kHeadCap));
  add(v.mdat_offset, kMdatHeader);
  // Media data said to be longer than everything before the moov box can't
  // end there: that piece is left out.
  if (v.video_data_size <= v.moov_offset)
    add(v.moov_offset - v.video_data_size, std::min(v.video_data_size, kMediaCap));
  add(v.moov_offset, v.moov_size);
  return pieces;
}

void thumb_set_system_ffmpeg_for_testing(const std::vector<std::string>& paths) {
  FfmpegState& s = ffmpeg_state();
  std::lock_guard<std::mutex> lock(s.mu);
  s.system_places.clear();
  for (const std::string& p : paths) s.system_places.push_back({p, true});
}

void thumb_forget_ffmpeg_for_testing() {
  FfmpegState& s = ffmpeg_state();
  std::lock_guard<std::mutex> lock(s.mu);
  s.path.clear();
}

}  // namespace halvex
