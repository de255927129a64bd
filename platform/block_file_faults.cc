// The test fault table of BlockFile, shared by every platform's BlockFile.

#include "platform/block_file_faults.h"

#include <mutex>
#include <vector>

#include "platform/block_file_testing.h"

namespace halvex {

namespace {

std::mutex fault_mu;
std::vector<BlockFault> fault_table;  // guarded by fault_mu

// Decimal digits only, as a value that fits in 62 bits.
bool parse_number(const std::string& text, long long* value) {
  if (text.empty() || text.size() > 18) return false;
  *value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    *value = *value * 10 + (c - '0');
  }
  return true;
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

}  // namespace

// Applies the fault table to a read of [offset, offset + *length) of
// `path` the way a disk fails: damage covers whole sectors; a read that
// starts in a bad sector fails with the fault's error (a counted fault uses
// one up); a read that reaches one later is cut short before it, so the
// caller learns where the damage is.
int block_fault_injected(const std::string& path, uint64_t sector, uint64_t offset,
                         size_t* length) {
  std::lock_guard<std::mutex> lock(fault_mu);
  for (BlockFault& f : fault_table) {
    if (!f.path.empty() && f.path != path) continue;
    if (f.times == 0 || f.length == 0) continue;
    uint64_t bad_start = f.offset / sector * sector;
    uint64_t bad_end = (f.offset + f.length + sector - 1) / sector * sector;
    if (offset >= bad_end || bad_start >= offset + *length) continue;
    if (bad_start > offset) {
      *length = static_cast<size_t>(bad_start - offset);
      continue;
    }
    if (f.times > 0) f.times--;
    return f.error_number;
  }
  return 0;
}

bool block_faults_set(const std::string& path) {
  std::lock_guard<std::mutex> lock(fault_mu);
  for (const BlockFault& f : fault_table) {
    if ((f.path.empty() || f.path == path) && f.times != 0 && f.length != 0) return true;
  }
  return false;
}

void block_file_testing_set_faults(const std::vector<BlockFault>& faults) {
  std::lock_guard<std::mutex> lock(fault_mu);
  fault_table = faults;
}

bool block_file_testing_parse(const std::string& text, std::vector<BlockFault>* faults) {
  std::vector<BlockFault> out;
  for (const std::string& item : split(text, ',')) {
    std::vector<std::string> fields = split(item, ':');
    if (fields.size() < 2 || fields.size() > 4) return false;
    long long v[4] = {0, 0, 5, -1};
    for (size_t i = 0; i < fields.size(); i++) {
      if (!parse_number(fields[i], &v[i])) return false;
    }
    if (v[1] == 0 || v[2] == 0 || v[2] > 4095 || v[3] > 1000000 || v[3] == 0) return false;
    out.push_back({"", static_cast<uint64_t>(v[0]), static_cast<uint64_t>(v[1]),
                   static_cast<int>(v[2]), fields.size() == 4 ? static_cast<int>(v[3]) : -1});
  }
  *faults = std::move(out);
  return true;
}

}  // namespace halvex
