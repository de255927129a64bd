// The files of the images agents upload, one folder per image:
//   part000003.data          part 3 as sent (raw or hximg): chunk k is
//                            written at k × kChunkSize as it arrives
//   part000003.chunks        one byte per chunk of part 3: 1 once held
//   part000003.img           part 3 assembled and decoded
//   image.img                the finished image: every part in order
// A chunk's byte in .chunks is written after its data, so a chunk counted
// as held is whole, also after the server was killed. Assembled parts and
// the image are written under a temporary name and renamed into place.
// Parts and the image are assembled by streaming from file to file; no
// part is ever held in memory.
//
// Threads: these functions keep no state; callers serialise the work on
// one image (Uploads holds a lock per image).

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace halvex::server {

// Bytes of one chunk of an image part; only a part's last chunk is shorter.
constexpr uint64_t kChunkSize = 4 * 1024 * 1024;

// How the chunks of one part are to be put together.
struct PartLayout {
  int64_t total_chunks = 0;
  bool hximg = false;          // the chunks hold the part hximg-encoded
  uint64_t original_size = 0;  // the decoded length announced with hximg
  uint64_t max_length = 0;     // the image's part size: no part is longer
};

struct ImageFile {
  std::string path;
  uint64_t bytes = 0;
  std::string sha256;  // lower-case hex
};

// The folder of image `id` under `images_root`.
std::string image_folder(const std::string& images_root, int64_t id);

// Stores chunk `index` of `part`, replacing one stored before, and marks
// it held.
bool image_write_chunk(const std::string& folder, int64_t part, int64_t index, std::string_view bytes,
                       std::string* error);

// The chunk indexes of `part` held, ascending; only those below
// `total_chunks` count.
std::vector<int64_t> image_chunks(const std::string& folder, int64_t part, int64_t total_chunks);

// Deletes every chunk of `part` (also those a server from before kept as
// one file each in part000003/).
void image_drop_chunks(const std::string& folder, int64_t part);

// Puts chunks 0 .. total_chunks - 1 of `part` together, decodes them when
// they are hximg, checks the length, and stores the part; then deletes the
// chunks. Returns the part's length. On failure nothing of the part is
// left (neither the part nor its chunks) and *error says why: the decoder's
// text ("hximg: ...") or "part N: ...".
std::optional<uint64_t> image_assemble_part(const std::string& folder, int64_t part, const PartLayout& layout,
                                            std::string* error);

// Writes the image from parts 1 .. total_parts with its SHA-256, then
// deletes the parts. On failure the parts stay and *error says why.
std::optional<ImageFile> image_assemble(const std::string& folder, int64_t total_parts, std::string* error);

}  // namespace halvex::server
