// Video thumbnails: on "generate_thumbnails" the server names candidate
// videos by where their pieces lie on a disk (the ftyp box, the moov box,
// the mdat header, the media data). For each one the service copies those
// pieces into a temporary MP4 file, has an outside ffmpeg extract the first
// frame as a JPEG 320 pixels wide, and uploads the JPEG. It reports
// "thumbnail_progress" after every tenth video and "thumbnails_complete"
// once at the end of every run.
//
// Threads: the handler runs on the connection thread; it reads the request
// into a ThumbRequest and hands it to a detached thread of its own, which
// owns it, the open disk, the copy buffer and the run's private temporary
// folder. Runs are not serialised: several may go on at once. The only
// state they share is the remembered ffmpeg path, under a lock.

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/json.h"
#include "link/proto.h"

namespace halvex {

// Registers "generate_thumbnails". A request without its own upload URL
// goes to `base_url()` (null: "").
void thumb_register_handlers(ServerBaseUrlFn base_url);

// One element of "videos", with its defaults applied. Offsets are absolute
// byte offsets in the disk or image.
struct ThumbVideo {
  std::string video_id;
  int32_t video_index = 0;  // default: position in the list + 1
  uint64_t ftyp_offset = 0;
  uint64_t moov_offset = 0;
  uint32_t moov_size = 0;
  uint64_t mdat_offset = 0;  // 0: not located; nothing is assembled
  uint64_t video_data_size = 0;
};

struct ThumbRequest {
  std::optional<std::string> scan_id;  // absent: events carry none
  // "disk_path" when it is a non-empty string, else the first element of
  // "image_paths" when that is a string; "" names nothing.
  std::string source;
  // "<base>/api/remote/video_thumbnail?token=<upload_token>"; base is
  // "direct_url", else "server_url", else `default_base`. Kept whole: a run
  // whose URL is over 511 characters is refused ("Upload URL too long").
  std::string upload_url;
  std::vector<ThumbVideo> videos;
};

// Reads the request `d` (any JSON value or null); never fails. Negative
// offsets read as 0, offsets beyond 64 bits as the largest value.
ThumbRequest thumb_read_request(const cJSON* d, const std::string& default_base);

// One positioned read of the source, copied to the assembled file.
struct ThumbPiece {
  uint64_t offset = 0;
  uint64_t length = 0;
  friend bool operator==(const ThumbPiece&, const ThumbPiece&) = default;
};

// The pieces that rebuild the start of `video`'s file, in file order:
//   moov after ftyp (layout A): one piece from the ftyp box through the end
//     of the moov box, at most moov_size + 5243904 bytes;
//   moov before ftyp (layout B): the ftyp box and what follows it up to the
//     mdat header (at most 4096 bytes), the 16-byte mdat header, the first
//     5 MiB of the media data that ends where the moov box begins, the moov
//     box;
//   mdat not located, or ftyp and moov at one offset: none.
// Sizes are 64-bit; no piece reaches past the largest offset.
std::vector<ThumbPiece> thumb_pieces(const ThumbVideo& video);

}  // namespace halvex
