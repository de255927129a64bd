// The low-level SHA-256 calls are the ones whose state is a plain struct
// that can be saved; EVP keeps it opaque. They use the same CPU routines.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "server/uploads/image_hash.h"

#include <openssl/sha.h>

#include <cstring>
#include <type_traits>

#include "core/codec.h"
#include "platform/files.h"
#include "platform/rw_file.h"

namespace halvex::server {
namespace {

static_assert(sizeof(SHA256_CTX) <= 128 && std::is_trivially_copyable_v<SHA256_CTX>);

constexpr char kMagic[8] = {'H', 'X', 'S', 'H', 'A', '2', '5', '6'};
constexpr size_t kPiece = 1 << 20;
constexpr unsigned kFileMode = 0600;

std::string progress_path(const std::string& folder) { return folder + "/image.sha256"; }

SHA256_CTX* ctx(unsigned char* bytes) { return reinterpret_cast<SHA256_CTX*>(bytes); }

}  // namespace

ImageDigest::ImageDigest() {
  std::memset(ctx_, 0, sizeof ctx_);
  SHA256_Init(ctx(ctx_));
}

void ImageDigest::update(const void* data, size_t length) {
  SHA256_Update(ctx(ctx_), data, length);
}

std::string ImageDigest::hex() const {
  ImageDigest copy = *this;
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256_Final(digest, ctx(copy.ctx_));
  return hex_encode(digest, sizeof digest);
}

std::string ImageDigest::state() const {
  return std::string(reinterpret_cast<const char*>(ctx_), sizeof(SHA256_CTX));
}

bool ImageDigest::set_state(const std::string& bytes) {
  if (bytes.size() != sizeof(SHA256_CTX)) return false;
  SHA256_CTX c;
  std::memcpy(&c, bytes.data(), sizeof c);
  if (c.num >= SHA256_CBLOCK || c.md_len != SHA256_DIGEST_LENGTH) return false;
  std::memcpy(ctx_, &c, sizeof c);
  return true;
}

void HashOrder::done(int64_t part, uint64_t length) {
  if (part >= next_) ready_.emplace(part, length);
}

std::optional<std::pair<int64_t, uint64_t>> HashOrder::take() {
  if (taken_ || ready_.empty() || ready_.begin()->first != next_) return std::nullopt;
  taken_ = true;
  return *ready_.begin();
}

void HashOrder::hashed() {
  if (!taken_) return;
  taken_ = false;
  ready_.erase(next_);
  next_++;
}

bool digest_file_range(RwFile& file, uint64_t offset, uint64_t length, ImageDigest& digest,
                       std::string* error) {
  std::string piece(kPiece, '\0');
  for (uint64_t done = 0; done < length;) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(kPiece, length - done));
    std::optional<size_t> n = file.read_at(offset + done, piece.data(), want, error);
    if (!n) return false;
    if (*n < want) std::memset(piece.data() + *n, 0, want - *n);  // past the end: a hole
    digest.update(piece.data(), want);
    done += want;
  }
  return true;
}

std::pair<int64_t, ImageDigest> hash_progress_load(const std::string& folder) {
  std::string bytes;
  ImageDigest digest;
  const size_t size = sizeof kMagic + 8 + sizeof(SHA256_CTX);
  if (!file_read_all(progress_path(folder), size, &bytes) || bytes.size() != size ||
      std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0)
    return {1, ImageDigest()};
  uint64_t next = 0;
  for (int i = 7; i >= 0; i--)
    next = next << 8 | static_cast<uint8_t>(bytes[sizeof kMagic + static_cast<size_t>(i)]);
  if (next < 1 || next > INT32_MAX || !digest.set_state(bytes.substr(sizeof kMagic + 8)))
    return {1, ImageDigest()};
  return {static_cast<int64_t>(next), digest};
}

bool hash_progress_save(const std::string& folder, int64_t next, const ImageDigest& digest,
                        std::string* error) {
  std::string bytes(kMagic, sizeof kMagic);
  for (int i = 0; i < 8; i++)
    bytes.push_back(static_cast<char>(static_cast<uint64_t>(next) >> (8 * i)));
  bytes += digest.state();
  return file_write_atomic(progress_path(folder), bytes, kFileMode, error);
}

void hash_progress_drop(const std::string& folder) { file_remove(progress_path(folder)); }

}  // namespace halvex::server
