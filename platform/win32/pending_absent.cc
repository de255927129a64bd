// LINK-ONLY PLACEHOLDER. DELETE THIS FILE (and halvex_pending_absent in
// platform/win32/CMakeLists.txt) WHEN THE REAL WINDOWS FILES LAND.
//
// The Windows parts of these platform headers are being written on other
// branches: disks.h, dirs.h, serial.h,
// dynlib.h, spawn.h and program_search.h. Until they land, halvex-service
// links against this file so that the program, its resources, its tray and
// its installer can be built and tested. Every function here fails at once
// with "not available in this build", so the agent starts, shows its tray
// and reports each such request as failed; nothing pretends to succeed.

#include <windows.h>

#include "platform/dirs.h"
#include "platform/disks.h"
#include "platform/dynlib.h"
#include "platform/program_search.h"
#include "platform/serial.h"
#include "platform/spawn.h"

namespace halvex {
namespace {

constexpr const char* kAbsent = "not available in this build";

void fail(std::string* error, const char* what) {
  if (error != nullptr) *error = std::string(what) + ": " + kAbsent;
}

}  // namespace

// disks.h
bool disks_list_physical(const DeviceRoots&, std::vector<PhysicalDisk>* out, std::string* error) {
  if (out != nullptr) out->clear();
  fail(error, "disks");
  return false;
}
std::optional<std::string> disks_device_path(const DeviceRoots&, int) { return std::nullopt; }
uint64_t disks_device_size(const std::string&) { return 0; }
std::vector<MountedVolume> disks_list_volumes(const DeviceRoots&) { return {}; }

// dirs.h: every folder reads as missing.
DirReader::DirReader(const std::string&, bool want_sizes) : error_(DirError::kOther), want_sizes_(want_sizes) {}
DirReader::~DirReader() = default;
bool DirReader::next(DirEntry*) { return false; }
PathKind path_kind(const std::string&) { return PathKind::kMissing; }
std::string dirs_user_home() { return ""; }

// serial.h: no ports.
void SerialPortCloser::operator()(SerialPort*) const {}
std::string serial_default_port_dir() { return ""; }
bool serial_list_ports(const std::string&, std::vector<std::string>* names, std::string* error) {
  if (names != nullptr) names->clear();
  fail(error, "serial");
  return false;
}
SerialPtr serial_open(const std::string&, uint32_t, std::string* error) {
  fail(error, "serial");
  return nullptr;
}
long serial_read(SerialPort&, uint8_t*, size_t, uint32_t, uint32_t) { return -1; }
long serial_write(SerialPort&, const uint8_t*, size_t, uint32_t) { return -1; }

// dynlib.h: no library loads (the agent works without libusb0).
void DynLibCloser::operator()(DynLib*) const {}
DynLibPtr dynlib_open_beside_exe(const std::string&, std::string* error) {
  fail(error, "dynlib");
  return nullptr;
}
DynLibPtr dynlib_open_system(const std::string&, std::string* error) {
  fail(error, "dynlib");
  return nullptr;
}
void* dynlib_symbol(DynLib&, const char*) { return nullptr; }

// program_search.h and spawn.h: no program is found or started.
ProgramFile::~ProgramFile() = default;
ProgramFile::ProgramFile(ProgramFile&& other) noexcept : fd_(other.fd_), path_(std::move(other.path_)) {
  other.fd_ = -1;
}
ProgramFile& ProgramFile::operator=(ProgramFile&& other) noexcept {
  fd_ = other.fd_;
  path_ = std::move(other.path_);
  other.fd_ = -1;
  return *this;
}
bool program_is_executable(const std::string&) { return false; }
std::vector<std::string> program_search_path(const std::string&) { return {}; }
std::optional<ProgramFile> program_open(const std::string&, bool) { return std::nullopt; }

bool spawn_process(const std::vector<std::string>&, const SpawnOptions&, SpawnedProcess*, std::string* error) {
  fail(error, "spawn");
  return false;
}
bool spawn_program(const ProgramFile&, const std::vector<std::string>&, const SpawnOptions&, SpawnedProcess*,
                   std::string* error) {
  fail(error, "spawn");
  return false;
}
std::optional<int> spawn_wait_for(SpawnedProcess*, uint32_t) { return std::nullopt; }
bool spawn_kill(SpawnedProcess*) { return false; }
void spawn_detach(SpawnedProcess*) {}

}  // namespace halvex
