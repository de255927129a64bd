// The SHA-256 of an image, fed part by part in part order while the parts
// come in, so finishing an image reads nothing again. Parts completed out of
// order wait in a HashOrder until every part before them is hashed.
//
// How far hashing got is kept beside the image ("image.sha256": the next
// part to hash and the digest's inner state), replaced whole by a rename
// after each part, so a server killed at any moment goes on from the last
// part it recorded; parts hashed again from the image give the same state.
//
// Threads: a HashOrder or ImageDigest is used under its owner's lock, or by
// one thread at a time.

#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace halvex {
class RwFile;
}

namespace halvex::server {

// A running SHA-256 whose state can be saved and taken up again.
class ImageDigest {
 public:
  ImageDigest();
  void update(const void* data, size_t length);
  std::string hex() const;  // of what was fed so far; the state goes on
  std::string state() const;
  bool set_state(const std::string& bytes);  // false (unchanged) if malformed

 private:
  alignas(8) unsigned char ctx_[128];
};

// Which completed parts may be hashed next: part numbers from 1, each
// handed out once, and only when all before it were hashed.
class HashOrder {
 public:
  explicit HashOrder(int64_t next = 1) : next_(next) {}
  // Part `part` of `length` bytes is in the image for good.
  void done(int64_t part, uint64_t length);
  // The next part and its length, when it is done and not handed out yet.
  std::optional<std::pair<int64_t, uint64_t>> take();
  // The part take() handed out is hashed.
  void hashed();
  // The part take() handed out could not be hashed: take() hands it out
  // again.
  void put_back() { taken_ = false; }
  int64_t next() const { return next_; }
  size_t waiting() const { return ready_.size(); }

 private:
  int64_t next_;
  bool taken_ = false;
  std::map<int64_t, uint64_t> ready_;  // part -> length
};

// Feeds `length` bytes of `file` from `offset` into `digest`; bytes past the
// file's end count as zeros (a part ending in a hole).
bool digest_file_range(RwFile& file, uint64_t offset, uint64_t length, ImageDigest& digest,
                       std::string* error);

// The saved progress in `folder`: next part and digest, or a fresh start
// when there is none (or it is unreadable).
std::pair<int64_t, ImageDigest> hash_progress_load(const std::string& folder);
bool hash_progress_save(const std::string& folder, int64_t next, const ImageDigest& digest,
                        std::string* error);
void hash_progress_drop(const std::string& folder);

}  // namespace halvex::server
