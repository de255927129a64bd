#include "server/uploads/image_files.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include "platform/files.h"
#include "platform/rw_file.h"
#include "server/uploads/hximg_decode.h"

namespace halvex::server {
namespace {

namespace fs = std::filesystem;

constexpr size_t kCopyPiece = 1 << 20;
// Everything under the data folder that agents sent is the operator's only.
constexpr unsigned kFileMode = 0600;

std::string numbered(const char* prefix, int64_t n) {
  char text[32];
  std::snprintf(text, sizeof text, "%s%06lld", prefix, static_cast<long long>(n));
  return text;
}

std::string image_path(const std::string& folder) { return folder + "/image.img"; }
std::string data_path(const std::string& folder, int64_t part) {
  return folder + "/" + numbered("part", part) + ".data";
}
std::string flags_path(const std::string& folder, int64_t part) {
  return folder + "/" + numbered("part", part) + ".chunks";
}
// Where a server from before kept a part assembled, and each chunk.
std::string old_part_path(const std::string& folder, int64_t part) {
  return folder + "/" + numbered("part", part) + ".img";
}
std::string old_chunk_folder(const std::string& folder, int64_t part) {
  return folder + "/" + numbered("part", part);
}

uint64_t part_offset(int64_t part, uint64_t part_size) {
  return static_cast<uint64_t>(part - 1) * part_size;
}

void remove_quietly(const std::string& path) {
  std::error_code ec;
  fs::remove(path, ec);
}

// A held chunk's flag: held as sent in the part file, or held as its
// decoded bytes, placed in the image. 0: not held.
constexpr char kInPartFile = 1, kInImage = 2;

// The decoded blocks of one part, at their place in the image.
class ImageOutput : public HximgOutput {
 public:
  ImageOutput(RwFile& image, uint64_t base) : image_(image), base_(base) {}
  bool write(uint64_t offset, const uint8_t* data, size_t length, std::string* error) override {
    if (!image_.write_at(base_ + offset, data, length, error)) return false;
    image_.start_writeback(base_ + offset, length);
    return true;
  }
  bool zero(uint64_t offset, uint64_t length, std::string* error) override {
    return image_.zero(base_ + offset, length, error);
  }

 private:
  RwFile& image_;
  const uint64_t base_;
};

bool length_matches(int64_t part, uint64_t length, const PartLayout& layout, std::string* error) {
  if (length == layout.original_size) return true;
  *error = "part " + std::to_string(part) + ": decodes to " + std::to_string(length) +
           " bytes, original_size says " + std::to_string(layout.original_size);
  return false;
}

std::string read_flags(const std::string& folder, int64_t part, int64_t total_chunks) {
  std::string flags;
  if (total_chunks < 1 ||
      !file_read_all(flags_path(folder, part), static_cast<uint64_t>(total_chunks) + 8, &flags))
    flags.clear();
  return flags;
}

// The length of the part as sent, once its last chunk's length is
// recorded: full chunks and the last one.
std::optional<uint64_t> sent_length(const std::string& flags, int64_t part,
                                    const PartLayout& layout, std::string* error) {
  const uint64_t n = static_cast<uint64_t>(layout.total_chunks);
  if (flags.size() != n + 8) {
    *error = "part " + std::to_string(part) + ": the length of its last chunk is not recorded";
    return std::nullopt;
  }
  uint64_t last = 0;
  for (int i = 7; i >= 0; i--)
    last = last << 8 | static_cast<uint8_t>(flags[n + static_cast<size_t>(i)]);
  return (n - 1) * kChunkSize + last;
}

// The layout of an hximg part from the head of its first chunk, held in
// its part file `data`. `whole`, when known, is the part's length as sent,
// which the data area must then fill exactly.
std::optional<HximgLayout> read_layout(RwFile& data, const PartLayout& layout, uint64_t whole,
                                       std::string* error) {
  // Header and table of the longest part: 32 + 12 bytes per MiB.
  const uint64_t longest = 32 + 12 * (layout.max_length / 1048576 + 1);
  std::vector<uint8_t> head(static_cast<size_t>(std::min(longest, kChunkSize)));
  std::optional<size_t> n = data.read_at(0, head.data(), head.size(), error);
  if (!n) return std::nullopt;
  return hximg_read_layout(head.data(), *n, layout.max_length, error, whole);
}

// Places chunk `index` of an hximg part straight into the image when the
// part's first chunk is held and the chunk decodes by it. False when it
// must be kept as sent: the first chunk is missing, or something is wrong
// that the part's check refuses once the part is whole.
bool place_chunk(const std::string& folder, int64_t part, int64_t index, std::string_view bytes,
                 const PartLayout& layout) {
  if (index == 0) return false;
  const std::string flags = read_flags(folder, part, layout.total_chunks);
  if (flags.empty() || flags[0] != kInPartFile) return false;
  std::string ignored;
  std::unique_ptr<RwFile> data = RwFile::open(data_path(folder, part), kFileMode, &ignored);
  std::optional<HximgLayout> l = data ? read_layout(*data, layout, 0, &ignored) : std::nullopt;
  std::unique_ptr<RwFile> image =
      l ? RwFile::open(image_path(folder), kFileMode, &ignored) : nullptr;
  if (!image) return false;
  ImageOutput out(*image, part_offset(part, layout.max_length));
  return hximg_place(*l, static_cast<uint64_t>(index) * kChunkSize,
                     reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), out, &ignored);
}

// Completes an hximg part: places the chunks still held as sent, and
// makes the zero blocks holes. The part's length, as decoded.
std::optional<uint64_t> decode_part(const std::string& folder, int64_t part,
                                    const PartLayout& layout, std::string* error) {
  const std::string flags = read_flags(folder, part, layout.total_chunks);
  std::optional<uint64_t> whole = sent_length(flags, part, layout, error);
  std::unique_ptr<RwFile> data =
      whole ? RwFile::open(data_path(folder, part), kFileMode, error) : nullptr;
  std::optional<HximgLayout> l = data ? read_layout(*data, layout, *whole, error) : std::nullopt;
  std::unique_ptr<RwFile> image = l ? RwFile::open(image_path(folder), kFileMode, error) : nullptr;
  if (!image || !length_matches(part, l->length, layout, error)) return std::nullopt;
  ImageOutput out(*image, part_offset(part, layout.max_length));
  std::vector<uint8_t> chunk;
  for (int64_t c = 0; c < layout.total_chunks; c++) {
    if (flags[static_cast<size_t>(c)] != kInPartFile) continue;
    const uint64_t at = static_cast<uint64_t>(c) * kChunkSize;
    chunk.resize(static_cast<size_t>(std::min(kChunkSize, *whole - at)));
    std::optional<size_t> n = data->read_at(at, chunk.data(), chunk.size(), error);
    if (!n) return std::nullopt;
    if (*n != chunk.size()) {
      *error = "part " + std::to_string(part) + ": its chunks are unreadable";
      return std::nullopt;
    }
    if (!hximg_place(*l, at, chunk.data(), chunk.size(), out, error)) return std::nullopt;
  }
  if (!hximg_zero_blocks(*l, out, error)) return std::nullopt;
  return l->length;
}

bool copy_into(const std::string& from, RwFile& to, uint64_t offset, std::string* error) {
  std::ifstream in(from, std::ios::binary);
  std::string piece(kCopyPiece, '\0');
  while (in) {
    in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
    size_t n = static_cast<size_t>(in.gcount());
    if (n > 0 && !to.write_at(offset, piece.data(), n, error)) return false;
    offset += n;
  }
  if (in.bad()) *error = "read " + from + ": failed";
  return !in.bad();
}

}  // namespace

std::string image_folder(const std::string& images_root, int64_t id) {
  return images_root + "/" + std::to_string(id);
}

bool image_write_chunk(const std::string& folder, int64_t part, int64_t index,
                       std::string_view bytes, const PartLayout& layout, std::string* error) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) {
    *error = "create " + folder + ": " + ec.message();
    return false;
  }
  const uint64_t at = static_cast<uint64_t>(index) * kChunkSize;
  if (!layout.hximg && at + bytes.size() > layout.max_length) {
    *error = "part " + std::to_string(part) + ": chunk " + std::to_string(index) + " ends at " +
             std::to_string(at + bytes.size()) + ", over the part size of " +
             std::to_string(layout.max_length);
    return false;
  }
  char held = kInImage;
  if (layout.hximg && !place_chunk(folder, part, index, bytes, layout)) {
    std::unique_ptr<RwFile> data = RwFile::open(data_path(folder, part), kFileMode, error);
    if (!data || !data->write_at(at, bytes.data(), bytes.size(), error)) return false;
    held = kInPartFile;
  } else if (!layout.hximg) {
    std::unique_ptr<RwFile> image = RwFile::open(image_path(folder), kFileMode, error);
    const uint64_t offset = part_offset(part, layout.max_length) + at;
    if (!image || !image->write_at(offset, bytes.data(), bytes.size(), error)) return false;
    image->start_writeback(offset, bytes.size());
  }
  std::unique_ptr<RwFile> flags = RwFile::open(flags_path(folder, part), kFileMode, error);
  if (!flags) return false;
  const uint64_t n = static_cast<uint64_t>(layout.total_chunks);
  if (static_cast<uint64_t>(index) + 1 == n) {
    unsigned char length[8];
    for (int i = 0; i < 8; i++) length[i] = static_cast<unsigned char>(bytes.size() >> (8 * i));
    if (!flags->write_at(n, length, sizeof length, error)) return false;
  }
  return flags->write_at(static_cast<uint64_t>(index), &held, 1, error);
}

std::vector<int64_t> image_chunks(const std::string& folder, int64_t part, int64_t total_chunks) {
  std::vector<int64_t> out;
  const std::string flags = read_flags(folder, part, total_chunks);
  for (size_t c = 0; c < flags.size() && c < static_cast<size_t>(total_chunks); c++)
    if (flags[c] == kInPartFile || flags[c] == kInImage) out.push_back(static_cast<int64_t>(c));
  return out;
}

void image_drop_chunks(const std::string& folder, int64_t part) {
  // The flags first: data without flags is never counted.
  remove_quietly(flags_path(folder, part));
  remove_quietly(data_path(folder, part));
  std::error_code ec;
  fs::remove_all(old_chunk_folder(folder, part), ec);
}

std::optional<uint64_t> image_assemble_part(const std::string& folder, int64_t part,
                                            const PartLayout& layout, std::string* error) {
  std::optional<uint64_t> length =
      layout.hximg
          ? decode_part(folder, part, layout, error)
          : sent_length(read_flags(folder, part, layout.total_chunks), part, layout, error);
  // The part is reported complete only once its bytes are on the disk.
  std::unique_ptr<RwFile> image =
      length ? RwFile::open(image_path(folder), kFileMode, error) : nullptr;
  if (length && (!image || !image->sync(error))) length.reset();
  return length;
}

std::string image_file_path(const std::string& folder) { return image_path(folder); }

bool image_seal_part(const std::string& folder, int64_t part, const PartLayout& layout,
                     std::string* error) {
  // An hximg part's chunks lie in the part file, or placed in the image.
  std::unique_ptr<RwFile> data =
      layout.hximg ? RwFile::open(data_path(folder, part), kFileMode, error) : nullptr;
  std::unique_ptr<RwFile> image = RwFile::open(image_path(folder), kFileMode, error);
  std::unique_ptr<RwFile> flags =
      image ? RwFile::open(flags_path(folder, part), kFileMode, error) : nullptr;
  return flags && (!layout.hximg || (data && data->sync(error))) && image->sync(error) &&
         flags->sync(error);
}

bool image_check_part(const std::string& folder, int64_t part, const PartLayout& layout,
                      std::string* error) {
  if (!layout.hximg) return true;
  std::optional<uint64_t> whole =
      sent_length(read_flags(folder, part, layout.total_chunks), part, layout, error);
  std::unique_ptr<RwFile> data =
      whole ? RwFile::open(data_path(folder, part), kFileMode, error) : nullptr;
  std::optional<HximgLayout> l = data ? read_layout(*data, layout, *whole, error) : std::nullopt;
  return l && length_matches(part, l->length, layout, error);
}

bool image_take_in_old_part(const std::string& folder, int64_t part, uint64_t part_size,
                            std::string* error) {
  const std::string old = old_part_path(folder, part);
  if (!file_exists(old)) return true;
  std::unique_ptr<RwFile> image = RwFile::open(image_path(folder), kFileMode, error);
  if (!image || !copy_into(old, *image, part_offset(part, part_size), error) || !image->sync(error))
    return false;
  remove_quietly(old);
  return true;
}

std::optional<ImageFile> image_finish(const std::string& folder, int64_t total_parts,
                                      uint64_t part_size, uint64_t last_length,
                                      std::string* error) {
  ImageFile out;
  out.path = image_path(folder);
  out.bytes = part_offset(total_parts, part_size) + last_length;
  std::unique_ptr<RwFile> image = RwFile::open(out.path, kFileMode, error);
  if (!image || !image->resize(out.bytes, error) || !image->sync(error)) return std::nullopt;
  return out;
}

}  // namespace halvex::server
