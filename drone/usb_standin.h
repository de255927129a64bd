// A stand-in for the libusb 0.1 library, for tests only: a shared library
// with the library's entry points over scripted devices, built as
// the library's file name (libusb0.so, libusb0.dll) beside a test executable so that the drone link
// loads it through its ordinary path. Tests reach its controls (below) by loading the same file,
// which gives them the same copy.
//
// The devices sit on one bus. Device i is named "%03d" (its file name). A
// device answers the probe byte 0x55 written to endpoint n, where n is its
// claimed interface, with a DUML frame readable on endpoint n + 0x81 only;
// other bytes written are kept for the test. Reads take scripted results in
// order; with none queued a read waits for its time-out and returns the
// device's idle result (the build's time-out result unless set).
//
// Every entry point is thread-safe. Calls on a closed handle and a close
// while a transfer runs on the handle are counted as misuse.

#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/dynlib.h"
#include "platform/usb01.h"

extern "C" {

struct StandinDevice {
  uint16_t vendor_id;
  uint16_t product_id;
  uint32_t claimable;  // bit n set: interface n can be claimed
  int answers;         // non-zero: answers the probe byte
  int write_result;    // 0: writes succeed; otherwise every write returns this
};

// Replaces the devices (count < 0: no bus at all) and clears the call log,
// queued reads, written bytes and the misuse count.
void standin_setup(const StandinDevice* devices, int count);
// Queues a read result for device `dev`: `result` > 0 returns `bytes`
// (`result` of them), anything else is returned as it is. The read sleeps
// `delay_ms` before it returns.
void standin_push_read(int dev, int result, const uint8_t* bytes, int delay_ms);
// The result of a read that found nothing queued in its time-out.
void standin_set_idle_result(int dev, int result);
// The calls so far, one line each: "open 001", "claim 001 4 -16",
// "release 001 4", "close 001", "write 001 ep=0x04 len=1" (reads are too
// many to log). Copies at most cap - 1 characters and a NUL; returns the
// full length.
int standin_calls(char* out, int cap);
// Bytes written to device `dev` other than the probe byte.
int standin_written(int dev, uint8_t* out, int cap);
int standin_misuse();
// Transfers running now on any handle.
int standin_busy();
// Read results still queued for device `dev`.
int standin_queued(int dev);
}

namespace halvex::testing {

// The stand-in's controls, resolved from the copy beside the executable,
// which is the copy the agent loads.
struct Standin {
  halvex::DynLibPtr lib;
  decltype(&standin_setup) setup = nullptr;
  decltype(&standin_push_read) push_read = nullptr;
  decltype(&standin_set_idle_result) set_idle_result = nullptr;
  decltype(&standin_calls) calls_raw = nullptr;
  decltype(&standin_written) written_raw = nullptr;
  decltype(&standin_misuse) misuse = nullptr;
  decltype(&standin_busy) busy = nullptr;
  decltype(&standin_queued) queued = nullptr;

  template <class Fn>
  void resolve(const char* name, Fn* out) {
    *out = reinterpret_cast<Fn>(halvex::dynlib_symbol(*lib, name));
  }

  bool load() {
    std::string error;
    lib = halvex::dynlib_open_beside_exe(halvex::kUsb01LocalFile, &error);
    if (!lib) return false;
    resolve("standin_setup", &setup);
    resolve("standin_push_read", &push_read);
    resolve("standin_set_idle_result", &set_idle_result);
    resolve("standin_calls", &calls_raw);
    resolve("standin_written", &written_raw);
    resolve("standin_misuse", &misuse);
    resolve("standin_busy", &busy);
    resolve("standin_queued", &queued);
    return setup && push_read && set_idle_result && calls_raw && written_raw && misuse && busy &&
           queued;
  }
  std::string calls() const {
    std::string out(static_cast<size_t>(calls_raw(nullptr, 0)) + 1, '\0');
    out.resize(static_cast<size_t>(calls_raw(out.data(), static_cast<int>(out.size()))));
    return out;
  }
  // The call lines that start with `prefix`.
  std::vector<std::string> calls_with(const std::string& prefix) const {
    std::vector<std::string> out;
    std::string all = calls();
    size_t start = 0;
    for (size_t nl; (nl = all.find('\n', start)) != std::string::npos; start = nl + 1)
      if (all.compare(start, prefix.size(), prefix) == 0)
        out.push_back(all.substr(start, nl - start));
    return out;
  }
  std::string written(int dev) const {
    std::string out(65536, '\0');
    out.resize(
        static_cast<size_t>(written_raw(dev, reinterpret_cast<uint8_t*>(out.data()), 65536)));
    return out;
  }
};

}  // namespace halvex::testing
