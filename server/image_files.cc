#include "server/image_files.h"

#include <openssl/evp.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include "core/codec.h"
#include "platform/files.h"
#include "platform/rw_file.h"
#include "server/hximg_decode.h"

namespace halvex::server {
namespace {

namespace fs = std::filesystem;

constexpr size_t kCopyPiece = 1 << 20;

std::atomic<uint64_t> g_temp_counter{0};

std::string numbered(const char* prefix, int64_t n) {
  char text[32];
  std::snprintf(text, sizeof text, "%s%06lld", prefix, static_cast<long long>(n));
  return text;
}

std::string part_path(const std::string& folder, int64_t part) {
  return folder + "/" + numbered("part", part) + ".img";
}
// Where a server from before kept each chunk as a file.
std::string old_chunk_folder(const std::string& folder, int64_t part) {
  return folder + "/" + numbered("part", part);
}

// A fresh name beside `path` for writing before the rename.
std::string temp_beside(const std::string& path) {
  return path + ".tmp" + std::to_string(g_temp_counter.fetch_add(1));
}

void remove_quietly(const std::string& path) {
  std::error_code ec;
  fs::remove(path, ec);
}

bool rename_into_place(const std::string& from, const std::string& to, std::string* error) {
  std::error_code ec;
  fs::rename(from, to, ec);
  if (!ec) return true;
  remove_quietly(from);
  *error = "rename " + to + ": " + ec.message();
  return false;
}

struct DigestFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

// Chunk data and flags of a part: 0600, like everything under the data
// folder that agents sent.
constexpr unsigned kFileMode = 0600;

std::string data_path(const std::string& folder, int64_t part) {
  return folder + "/" + numbered("part", part) + ".data";
}
std::string flags_path(const std::string& folder, int64_t part) {
  return folder + "/" + numbered("part", part) + ".chunks";
}

// Every chunk but the last is full, so a data file shorter than that lacks
// chunks whatever the flags say (a file lost under the server's feet).
bool check_data_size(const std::string& path, int64_t part, int64_t total_chunks, std::string* error) {
  std::optional<uint64_t> size = file_size(path);
  if (size && *size >= static_cast<uint64_t>(total_chunks - 1) * kChunkSize) return true;
  *error = "part " + std::to_string(part) + ": chunks missing";
  return false;
}

std::optional<uint64_t> decode_part(const std::string& from, const std::string& to, int64_t part,
                                    const PartLayout& layout, std::string* error) {
  std::error_code ec;
  uint64_t size = fs::file_size(from, ec);
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  if (ec || !in || !out) {
    *error = "part " + std::to_string(part) + ": cannot open its files";
    return std::nullopt;
  }
  std::optional<uint64_t> length = hximg_decode_stream(in, size, layout.max_length, out, error);
  out.flush();
  if (length && !out) {
    *error = "write " + to + ": failed";
    return std::nullopt;
  }
  if (length && *length != layout.original_size) {
    *error = "part " + std::to_string(part) + ": decodes to " + std::to_string(*length) +
             " bytes, original_size says " + std::to_string(layout.original_size);
    return std::nullopt;
  }
  return length;
}

}  // namespace

std::string image_folder(const std::string& images_root, int64_t id) { return images_root + "/" + std::to_string(id); }

bool image_write_chunk(const std::string& folder, int64_t part, int64_t index, std::string_view bytes,
                       std::string* error) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) {
    *error = "create " + folder + ": " + ec.message();
    return false;
  }
  std::unique_ptr<RwFile> data = RwFile::open(data_path(folder, part), kFileMode, error);
  if (!data || !data->write_at(static_cast<uint64_t>(index) * kChunkSize, bytes.data(), bytes.size(), error))
    return false;
  std::unique_ptr<RwFile> flags = RwFile::open(flags_path(folder, part), kFileMode, error);
  const char held = 1;
  return flags && flags->write_at(static_cast<uint64_t>(index), &held, 1, error);
}

std::vector<int64_t> image_chunks(const std::string& folder, int64_t part, int64_t total_chunks) {
  std::vector<int64_t> out;
  std::string flags;
  if (total_chunks < 1 || !file_read_all(flags_path(folder, part), static_cast<uint64_t>(total_chunks), &flags))
    return out;
  for (size_t c = 0; c < flags.size(); c++)
    if (flags[c] == 1) out.push_back(static_cast<int64_t>(c));
  return out;
}

void image_drop_chunks(const std::string& folder, int64_t part) {
  // The flags first: data without flags is never counted.
  remove_quietly(flags_path(folder, part));
  remove_quietly(data_path(folder, part));
  std::error_code ec;
  fs::remove_all(old_chunk_folder(folder, part), ec);
}

std::optional<uint64_t> image_assemble_part(const std::string& folder, int64_t part, const PartLayout& layout,
                                            std::string* error) {
  const std::string final_path = part_path(folder, part);
  const std::string joined = data_path(folder, part);
  std::optional<uint64_t> length;
  if (check_data_size(joined, part, layout.total_chunks, error)) {
    if (layout.hximg) {
      const std::string decoded = temp_beside(final_path);
      length = decode_part(joined, decoded, part, layout, error);
      if (length && !rename_into_place(decoded, final_path, error)) length.reset();
      remove_quietly(decoded);
    } else {
      std::error_code ec;
      uint64_t size = fs::file_size(joined, ec);
      if (ec) {
        *error = "part " + std::to_string(part) + ": " + ec.message();
      } else if (size > layout.max_length) {
        *error = "part " + std::to_string(part) + ": " + std::to_string(size) + " bytes, over the part size of " +
                 std::to_string(layout.max_length);
      } else if (rename_into_place(joined, final_path, error)) {
        length = size;
      }
    }
  }
  remove_quietly(joined);
  image_drop_chunks(folder, part);
  return length;
}

std::optional<ImageFile> image_assemble(const std::string& folder, int64_t total_parts, std::string* error) {
  ImageFile image;
  image.path = folder + "/image.img";
  const std::string temp = temp_beside(image.path);
  std::unique_ptr<EVP_MD_CTX, DigestFree> ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
    *error = "sha256: cannot start";
    return std::nullopt;
  }
  std::ofstream out(temp, std::ios::binary | std::ios::trunc);
  std::string piece(kCopyPiece, '\0');
  for (int64_t p = 1; p <= total_parts && out; p++) {
    std::ifstream in(part_path(folder, p), std::ios::binary);
    if (!in) {
      remove_quietly(temp);
      *error = "part " + std::to_string(p) + ": missing";
      return std::nullopt;
    }
    while (in) {
      in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
      size_t n = static_cast<size_t>(in.gcount());
      EVP_DigestUpdate(ctx.get(), piece.data(), n);
      out.write(piece.data(), static_cast<std::streamsize>(n));
      image.bytes += n;
    }
  }
  out.flush();
  if (!out) {
    remove_quietly(temp);
    *error = "write " + image.path + ": failed";
    return std::nullopt;
  }
  out.close();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_length = 0;
  EVP_DigestFinal_ex(ctx.get(), digest, &digest_length);
  image.sha256 = hex_encode(digest, digest_length);
  if (!rename_into_place(temp, image.path, error)) return std::nullopt;
  for (int64_t p = 1; p <= total_parts; p++) remove_quietly(part_path(folder, p));
  return image;
}

}  // namespace halvex::server
