// USB search for the drone link through the libusb 0.1 interface.

#include "drone/dji_usb.h"

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/log.h"
#include "drone/dji.h"
#include "platform/dynlib.h"
#include "platform/usb01.h"

namespace halvex {

namespace {

// The entry points, resolved once; never freed once complete, since claims
// on any thread call through them until the process ends.
struct UsbApi {
  Usb01InitFn init = nullptr;
  Usb01FindBussesFn find_busses = nullptr;
  Usb01FindDevicesFn find_devices = nullptr;
  Usb01GetBussesFn get_busses = nullptr;
  Usb01OpenFn open = nullptr;
  Usb01CloseFn close = nullptr;
  Usb01SetConfigurationFn set_configuration = nullptr;
  Usb01ClaimInterfaceFn claim_interface = nullptr;
  Usb01ReleaseInterfaceFn release_interface = nullptr;
  Usb01BulkWriteFn bulk_write = nullptr;
  Usb01BulkReadFn bulk_read = nullptr;
};

constexpr int kInterfaceOrder[] = {4, 1, 0, 2, 3, 5, 6, 7};
constexpr int kUnrankedInterface = 99;
constexpr size_t kMaxCandidates = 32;
constexpr uint16_t kSkippedProductFirst = 0x001D;
constexpr uint16_t kSkippedProductLast = 0x001F;
constexpr uint8_t kDumlStart = 0x55;
constexpr uint8_t kInEndpointOffset = 0x81;
constexpr int kProbeWriteTimeoutMs = 2000;
constexpr int kProbeReadBytes = 512;
constexpr int kWindowsTimedOut = -116;

struct Library {
  std::mutex mu;  // one load at a time
  DynLibPtr lib;
  const UsbApi* api = nullptr;
};

// Leaked on purpose: detached threads may still close claims while static
// objects are destroyed at exit.
Library& library() {
  static Library* l = new Library;
  return *l;
}

template <class Fn>
bool resolve(DynLib& lib, const char* name, Fn* out) {
  void* symbol = dynlib_symbol(lib, name);
  if (!symbol) return false;
  *out = reinterpret_cast<Fn>(symbol);
  return true;
}

bool resolve_all(DynLib& lib, UsbApi* api) {
  return resolve(lib, "usb_init", &api->init) &&
         resolve(lib, "usb_find_busses", &api->find_busses) &&
         resolve(lib, "usb_find_devices", &api->find_devices) &&
         resolve(lib, "usb_get_busses", &api->get_busses) && resolve(lib, "usb_open", &api->open) &&
         resolve(lib, "usb_close", &api->close) &&
         resolve(lib, "usb_set_configuration", &api->set_configuration) &&
         resolve(lib, "usb_claim_interface", &api->claim_interface) &&
         resolve(lib, "usb_release_interface", &api->release_interface) &&
         resolve(lib, "usb_bulk_write", &api->bulk_write) &&
         resolve(lib, "usb_bulk_read", &api->bulk_read);
}

// The library, loaded on first use. A library without every entry point is
// let go at once, so the next attempt loads it afresh.
const UsbApi* load_library() {
  Library& l = library();
  std::lock_guard<std::mutex> lock(l.mu);
  if (l.api) return l.api;
  std::string error;
  DynLibPtr lib = dynlib_open_beside_exe(kUsb01LocalFile, &error);
  if (!lib) lib = dynlib_open_system(kUsb01SystemName, &error);
  if (!lib) {
    log_msg(LOG_WARN, "dji: libusb0.dll not found");
    return nullptr;
  }
  auto* api = new UsbApi;
  if (!resolve_all(*lib, api)) {
    delete api;
    return nullptr;
  }
  api->init();
  log_msg(LOG_INFO, "dji: libusb0.dll loaded");
  l.lib = std::move(lib);
  l.api = api;
  return api;
}

int interface_rank(int n) {
  for (int i = 0; i < static_cast<int>(std::size(kInterfaceOrder)); i++)
    if (kInterfaceOrder[i] == n) return i;
  return kUnrankedInterface;
}

struct Candidate {
  Usb01Handle* handle;
  int32_t interface;
  uint16_t product_id;
};

void release_and_close(const UsbApi& api, const Candidate& c) {
  api.release_interface(c.handle, c.interface);
  api.close(c.handle);
}

// The first interface that can be claimed, in order of preference; -1 when
// none.
int32_t claim_first(const UsbApi& api, Usb01Handle* handle) {
  for (int n : kInterfaceOrder)
    if (api.claim_interface(handle, n) >= 0) return n;
  return -1;
}

// Opens every device of the vendor and claims one interface of each.
std::vector<Candidate> open_candidates(const UsbApi& api, uint16_t vendor_id) {
  std::vector<Candidate> table;
  for (Usb01Bus* bus = api.get_busses(); bus; bus = bus->next) {
    for (Usb01Device* dev = bus->devices; dev; dev = dev->next) {
      uint16_t product = dev->descriptor.idProduct;
      if (dev->descriptor.idVendor != vendor_id) continue;
      if (product >= kSkippedProductFirst && product <= kSkippedProductLast) continue;
      Usb01Handle* handle = api.open(dev);
      if (!handle) continue;
      api.set_configuration(handle, 1);
      int32_t n = claim_first(api, handle);
      if (n < 0) {
        api.close(handle);
        continue;
      }
      std::string name(dev->filename, strnlen(dev->filename, sizeof dev->filename));
      dji_log("  opened %s intf=%d", name.c_str(), n);
      Candidate c{handle, n, product};
      if (table.size() >= kMaxCandidates) {
        release_and_close(api, c);
        continue;
      }
      table.push_back(c);
    }
  }
  return table;
}

// An exchange sort by interface rank. It is not stable: entries of equal
// rank may change places, which decides which of two such devices is
// probed first.
void order_by_rank(std::vector<Candidate>* table) {
  for (size_t i = 0; i + 1 < table->size(); i++)
    for (size_t j = i + 1; j < table->size(); j++)
      if (interface_rank((*table)[i].interface) > interface_rank((*table)[j].interface))
        std::swap((*table)[i], (*table)[j]);
}

bool has_duml_start(const char* bytes, int n) {
  return n > 0 && std::memchr(bytes, kDumlStart, static_cast<size_t>(n)) != nullptr;
}

bool probe(const UsbApi& api, const Candidate& c, int timeout_ms) {
  uint8_t out = static_cast<uint8_t>(c.interface);
  uint8_t in = static_cast<uint8_t>(c.interface + kInEndpointOffset);
  const char ping = static_cast<char>(kDumlStart);
  int written = api.bulk_write(c.handle, out, &ping, 1, kProbeWriteTimeoutMs);
  if (written < 0) {
    dji_log("  intf %d: write failed (%d)", c.interface, written);
    return false;
  }
  char reply[kProbeReadBytes];
  int got = api.bulk_read(c.handle, in, reply, kProbeReadBytes, timeout_ms);
  if (has_duml_start(reply, got)) return true;
  dji_log("  intf %d: no DUML (read=%d)", c.interface, got);
  return false;
}

}  // namespace

struct UsbClaim {
  const UsbApi* api;
  Usb01Handle* handle;
  int32_t interface;
  UsbClaim(const UsbApi* a, Usb01Handle* h, int32_t n) : api(a), handle(h), interface(n) {}
  UsbClaim(const UsbClaim&) = delete;
  UsbClaim& operator=(const UsbClaim&) = delete;
  ~UsbClaim() {
    if (interface >= 0) api->release_interface(handle, interface);
    api->close(handle);
  }
};

bool usb_connect_duml(uint16_t vendor_id, int probe_timeout_ms, UsbLink* out) {
  const UsbApi* api = load_library();
  if (!api) return false;
  api->find_busses();
  api->find_devices();
  std::vector<Candidate> table = open_candidates(*api, vendor_id);
  dji_log("USB: %d handle(s) opened, probing for DUML...", static_cast<int>(table.size()));
  order_by_rank(&table);
  size_t winner = table.size();
  for (size_t i = 0; i < table.size() && winner == table.size(); i++)
    if (probe(*api, table[i], probe_timeout_ms)) winner = i;
  if (winner == table.size()) {
    for (const Candidate& c : table) release_and_close(*api, c);
    dji_log("No DUML response on any USB interface");
    return false;
  }
  const Candidate& c = table[winner];
  out->handle = UsbClaimPtr(new UsbClaim{api, c.handle, c.interface});
  out->interface = c.interface;
  out->ep_out = static_cast<uint8_t>(c.interface);
  out->ep_in = static_cast<uint8_t>(c.interface + kInEndpointOffset);
  dji_log("Connected USB PID=0x%04X intf %d OUT=0x%02X IN=0x%02X (DUML OK)", c.product_id,
          c.interface, out->ep_out, out->ep_in);
  for (size_t i = 0; i < table.size(); i++)
    if (i != winner) release_and_close(*api, table[i]);
  return true;
}

int usb_link_read(UsbClaim& claim, uint8_t ep, uint8_t* buf, int len, int timeout_ms) {
  return claim.api->bulk_read(claim.handle, ep, reinterpret_cast<char*>(buf), len, timeout_ms);
}

int usb_link_write(UsbClaim& claim, uint8_t ep, const uint8_t* data, int len, int timeout_ms) {
  return claim.api->bulk_write(claim.handle, ep, reinterpret_cast<const char*>(data), len,
                               timeout_ms);
}

bool usb_read_is_idle(int result) {
  return result == 0 || result == kWindowsTimedOut || result == kUsb01TimedOut;
}

}  // namespace halvex
