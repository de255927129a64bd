// The libusb 0.1 stand-in for tests (see usb_standin.h). Built once with
// every entry point and once without usb_bulk_read.

#include "drone/usb_standin.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/usb01.h"

using halvex::Usb01Bus;
using halvex::Usb01Device;
using halvex::Usb01Handle;

struct Usb01Handle_ {
  int dev = -1;
  int claimed = -1;
  bool closed = false;
  int busy = 0;
};

namespace {

constexpr uint8_t kDumlFrame[] = {0x55, 0x0d, 0x04, 0x33, 0x2a, 0x1f, 0x01,
                                  0x00, 0x40, 0x00, 0x01, 0x59, 0xd2};
constexpr int kBusy = -16;  // what a claimed interface answers

struct Item {
  int result;
  std::vector<uint8_t> bytes;
  int delay_ms;
};

struct Device {
  StandinDevice spec;
  Usb01Device record{};
  std::deque<Item> reads;
  std::vector<uint8_t> written;
  int idle_result = halvex::kUsb01TimedOut;
};

struct World {
  std::mutex mu;
  std::condition_variable cv;
  bool has_bus = true;
  Usb01Bus bus{};
  std::vector<std::unique_ptr<Device>> devices;
  std::string calls;
  int misuse = 0;
  int busy = 0;
  // Handles are never freed, so a late call on a closed one is seen, not
  // undefined.
  std::vector<std::unique_ptr<Usb01Handle_>> handles;
};

World& world() {
  static World* w = new World;
  return *w;
}

std::string name_of(int dev) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%03d", dev);
  return buf;
}

Usb01Handle_* real(Usb01Handle* h) { return reinterpret_cast<Usb01Handle_*>(h); }

// Counts a call on a closed handle. REQUIRES: the lock.
bool usable(World& w, Usb01Handle_* h) {
  if (h->closed || h->dev < 0 || h->dev >= static_cast<int>(w.devices.size())) {
    w.misuse++;
    return false;
  }
  return true;
}

}  // namespace

extern "C" {

void standin_setup(const StandinDevice* devices, int count) {
  World& w = world();
  std::lock_guard<std::mutex> lock(w.mu);
  w.devices.clear();
  w.calls.clear();
  w.misuse = 0;
  w.has_bus = count >= 0;
  w.bus = Usb01Bus{};
  Usb01Device* prev = nullptr;
  for (int i = 0; i < count; i++) {
    auto d = std::make_unique<Device>();
    d->spec = devices[i];
    std::snprintf(d->record.filename, sizeof d->record.filename, "%s", name_of(i).c_str());
    d->record.descriptor.idVendor = devices[i].vendor_id;
    d->record.descriptor.idProduct = devices[i].product_id;
    d->record.bus = &w.bus;
    d->record.prev = prev;
    if (prev)
      prev->next = &d->record;
    else
      w.bus.devices = &d->record;
    prev = &d->record;
    w.devices.push_back(std::move(d));
  }
}

void standin_push_read(int dev, int result, const uint8_t* bytes, int delay_ms) {
  World& w = world();
  std::lock_guard<std::mutex> lock(w.mu);
  Item item{result, {}, delay_ms};
  if (result > 0) item.bytes.assign(bytes, bytes + result);
  w.devices.at(static_cast<size_t>(dev))->reads.push_back(std::move(item));
  w.cv.notify_all();
}

void standin_set_idle_result(int dev, int result) {
  World& w = world();
  std::lock_guard<std::mutex> lock(w.mu);
  w.devices.at(static_cast<size_t>(dev))->idle_result = result;
}

int standin_calls(char* out, int cap) {
  World& w = world();
  std::lock_guard<std::mutex> lock(w.mu);
  if (out && cap > 0) {
    size_t n = std::min(w.calls.size(), static_cast<size_t>(cap - 1));
    std::memcpy(out, w.calls.data(), n);
    out[n] = '\0';
  }
  return static_cast<int>(w.calls.size());
}

int standin_written(int dev, uint8_t* out, int cap) {
  World& w = world();
  std::lock_guard<std::mutex> lock(w.mu);
  const std::vector<uint8_t>& bytes = w.devices.at(static_cast<size_t>(dev))->written;
  size_t n = std::min(bytes.size(), static_cast<size_t>(cap));
  std::memcpy(out, bytes.data(), n);
  return static_cast<int>(n);
}

int standin_misuse() {
  World& w = world();
  std::lock_guard<std::mutex> lock(w.mu);
  return w.misuse;
}

int standin_busy() {
  World& w = world();
  std::lock_guard<std::mutex> lock(w.mu);
  return w.busy;
}

int standin_queued(int dev) {
  World& w = world();
  std::lock_guard<std::mutex> lock(w.mu);
  return static_cast<int>(w.devices.at(static_cast<size_t>(dev))->reads.size());
}

// ---- the library's entry points ----

void usb_init() {
  World& w = world();
  std::lock_guard<std::mutex> lock(w.mu);
  w.calls += "init\n";
}

int usb_find_busses() { return 1; }
int usb_find_devices() { return 1; }

Usb01Bus* usb_get_busses() {
  World& w = world();
  std::lock_guard<std::mutex> lock(w.mu);
  return w.has_bus ? &w.bus : nullptr;
}

Usb01Handle* usb_open(Usb01Device* device) {
  World& w = world();
  std::lock_guard<std::mutex> lock(w.mu);
  for (size_t i = 0; i < w.devices.size(); i++) {
    if (&w.devices[i]->record != device) continue;
    w.calls += "open " + name_of(static_cast<int>(i)) + "\n";
    w.handles.push_back(std::make_unique<Usb01Handle_>());
    w.handles.back()->dev = static_cast<int>(i);
    return reinterpret_cast<Usb01Handle*>(w.handles.back().get());
  }
  return nullptr;
}

int usb_close(Usb01Handle* handle) {
  World& w = world();
  std::lock_guard<std::mutex> lock(w.mu);
  Usb01Handle_* h = real(handle);
  if (!usable(w, h)) return -9;
  if (h->busy > 0) w.misuse++;  // closed under a running transfer
  h->closed = true;
  w.calls += "close " + name_of(h->dev) + "\n";
  return 0;
}

int usb_set_configuration(Usb01Handle* handle, int) {
  World& w = world();
  std::lock_guard<std::mutex> lock(w.mu);
  return usable(w, real(handle)) ? 0 : -9;
}

int usb_claim_interface(Usb01Handle* handle, int interface) {
  World& w = world();
  std::lock_guard<std::mutex> lock(w.mu);
  Usb01Handle_* h = real(handle);
  if (!usable(w, h)) return -9;
  bool free = interface >= 0 && interface < 32 &&
              (w.devices[static_cast<size_t>(h->dev)]->spec.claimable >> interface) & 1;
  int result = free ? 0 : kBusy;
  if (free) h->claimed = interface;
  w.calls += "claim " + name_of(h->dev) + " " + std::to_string(interface) + " " +
             std::to_string(result) + "\n";
  return result;
}

int usb_release_interface(Usb01Handle* handle, int interface) {
  World& w = world();
  std::lock_guard<std::mutex> lock(w.mu);
  Usb01Handle_* h = real(handle);
  if (!usable(w, h)) return -9;
  w.calls += "release " + name_of(h->dev) + " " + std::to_string(interface) + "\n";
  return 0;
}

int usb_bulk_write(Usb01Handle* handle, int ep, const char* bytes, int size, int) {
  World& w = world();
  std::lock_guard<std::mutex> lock(w.mu);
  Usb01Handle_* h = real(handle);
  if (!usable(w, h)) return -9;
  Device& d = *w.devices[static_cast<size_t>(h->dev)];
  char line[64];
  std::snprintf(line, sizeof line, "write %s ep=0x%02x len=%d\n", name_of(h->dev).c_str(), ep,
                size);
  w.calls += line;
  if (d.spec.write_result != 0) return d.spec.write_result;
  bool probe = size == 1 && static_cast<uint8_t>(bytes[0]) == 0x55;
  if (probe && d.spec.answers && ep == h->claimed) {
    d.reads.push_back(
        {static_cast<int>(sizeof kDumlFrame), {std::begin(kDumlFrame), std::end(kDumlFrame)}, 0});
    w.cv.notify_all();
  } else if (!probe) {
    d.written.insert(d.written.end(), bytes, bytes + size);
  }
  return size;
}

#ifndef STANDIN_WITHOUT_BULK_READ
// Scripted results are read on the claimed interface's IN endpoint only;
// any other endpoint sees nothing but time-outs.
int usb_bulk_read(Usb01Handle* handle, int ep, char* bytes, int size, int timeout) {
  World& w = world();
  std::unique_lock<std::mutex> lock(w.mu);
  Usb01Handle_* h = real(handle);
  if (!usable(w, h)) return -9;
  h->busy++;
  w.busy++;
  Device& d = *w.devices[static_cast<size_t>(h->dev)];
  bool right_ep = h->claimed >= 0 && ep == ((h->claimed + 0x81) & 0xff);
  bool ready = w.cv.wait_for(lock, std::chrono::milliseconds(timeout),
                             [&] { return right_ep && !d.reads.empty(); });
  int result = d.idle_result;
  if (ready) {
    Item item = std::move(d.reads.front());
    d.reads.pop_front();
    if (item.delay_ms > 0) {
      lock.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(item.delay_ms));
      lock.lock();
    }
    result = item.result;
    if (result > 0) {
      result = std::min(result, size);
      std::memcpy(bytes, item.bytes.data(), static_cast<size_t>(result));
    }
  }
  h->busy--;
  w.busy--;
  return result;
}
#endif

}  // extern "C"
