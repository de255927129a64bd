// The files of the images agents upload, one folder per image:
//   image.img          the image: each part lands at (part − 1) × part size;
//                      complete once the Store says so
//   part000003.data    hximg part 3 as sent, chunk k at k × kChunkSize: its
//                      first chunk, and those that came before it
//   part000003.chunks  one byte per chunk of part 3: 0 not held, 1 held in
//                      the .data file, 2 held decoded in image.img; then,
//                      once the last chunk came, its length (8 bytes, LE)
// A raw chunk is written straight into image.img. So is what an hximg
// chunk decodes to, once the part's first chunk (header and block table)
// is held; the part's check and its zero blocks wait until it is whole.
// So every byte is written once, and no part is ever held in memory. A
// chunk's flag is written after its bytes, so a chunk counted as held is
// whole, also after the server was killed; a part completed again after a
// crash gives the same bytes.
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

// Stores chunk `index` of `part`, replacing one stored before, and marks it
// held. A raw chunk must end within the part size.
bool image_write_chunk(const std::string& folder, int64_t part, int64_t index,
                       std::string_view bytes, const PartLayout& layout, std::string* error);

// The chunk indexes of `part` held, ascending; only those below
// `total_chunks` count.
std::vector<int64_t> image_chunks(const std::string& folder, int64_t part, int64_t total_chunks);

// Makes the chunks of `part` durable, its bytes and their flags: done once
// its last chunk is held when the part cannot be decoded at once (the
// server is stopping), before the part is reported whole.
bool image_seal_part(const std::string& folder, int64_t part, const PartLayout& layout,
                     std::string* error);

// Checks a whole hximg part's header and block table (raw parts pass), so a
// broken part is refused to the chunk that completed it; *error is the
// decoder's text or "part N: decodes to ...". The fill bytes are checked
// as the chunks that hold them are decoded.
bool image_check_part(const std::string& folder, int64_t part, const PartLayout& layout,
                      std::string* error);

// Forgets every chunk of `part` (also those a server from before kept as
// one file each in part000003/). What chunks put in the image stays until
// overwritten.
void image_drop_chunks(const std::string& folder, int64_t part);

// Completes `part` once every chunk is held: decodes into the image what
// an hximg part still holds as sent and makes its zero blocks holes, checks
// its length and syncs the image. Returns the part's length; on failure
// *error says why: the decoder's text ("hximg: ...") or "part N: ...".
// The chunks stay until the caller drops them, so a server killed before
// it recorded the part completes it again.
std::optional<uint64_t> image_assemble_part(const std::string& folder, int64_t part,
                                            const PartLayout& layout, std::string* error);

// The image file in `folder`.
std::string image_file_path(const std::string& folder);

// Takes in `part` if a server from before assembled it as part000003.img.
bool image_take_in_old_part(const std::string& folder, int64_t part, uint64_t part_size,
                            std::string* error);

// Finishes the image of parts 1 .. N of `part_size` bytes, the last
// `last_length`: sets the length and syncs. The path and length; the
// caller fills in the hash.
std::optional<ImageFile> image_finish(const std::string& folder, int64_t total_parts,
                                      uint64_t part_size, uint64_t last_length, std::string* error);

}  // namespace halvex::server
