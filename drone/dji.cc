// The drone link: its state, the four handlers, the connection attempt with
// the serial search, the reader and transmit.
//
// Lifetimes. The record holds the open port or USB claim through a shared
// pointer; the reader and a write in progress hold their own copies, so a
// handle is closed only when nobody reads or writes it any more. A
// disconnect also stops the reader and waits for it (about a second at
// most) before it lets go, so normally the handle closes right there.
//
// Generations. Making or closing a link increases `generation`. A reader
// or a connection attempt remembers the generation of its link and acts on
// the record only while it is still the current one: an old reader never
// stops a newer one and never reports a newer link as lost.
//
// Order of events. Events that report the link's state are sent with the
// lock held, right after the change they report, so the server sees them
// in the order the changes happened. (The lock comes before the WebSocket
// client's lock, as everywhere.)

#include "drone/dji.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/codec.h"
#include "core/json.h"
#include "core/log.h"
#include "core/thread.h"
#include "core/util.h"
#include "drone/dji_testing.h"
#include "drone/dji_usb.h"
#include "link/auth.h"
#include "link/proto.h"
#include "platform/clock.h"
#include "platform/dirs.h"
#include "platform/serial.h"

namespace halvex {

namespace {

using std::chrono::milliseconds;
using SerialShared = std::shared_ptr<SerialPort>;

constexpr uint16_t kDefaultVendorId = 0x2CA3;
constexpr const char* kDefaultProbeHex = "550e04662a1f01004000012894cb";
constexpr size_t kProbeHexBytes = 64;
constexpr size_t kConnTypeBytes = 16;
constexpr size_t kLogTextBytes = 512;
constexpr size_t kResultBytes = 64;
constexpr uint8_t kDumlStart = 0x55;

constexpr uint32_t kBaudRates[] = {9600, 115200, 921600};

constexpr size_t kReadBytes = 512;
constexpr size_t kBatchBytes = 8192;
constexpr uint32_t kWriteTimeoutMs = 5000;
constexpr int kMaxReadErrors = 4;  // the fifth failed read in a row ends the reader
constexpr uint32_t kReadsReport = 10;
constexpr int kLoggedEmits = 3;
constexpr int kLoggedRejects = 3;
constexpr int kLoggedTransmits = 5;

constexpr milliseconds kReaderStartWait{1000};

// The link record.
struct DjiLink {
  bool connected = false;
  bool reader_running = false;  // clearing it asks the reader to stop
  std::string conn_type;        // "usb", "serial" or empty
  SerialShared serial_port;
  UsbClaimPtr usb_handle;
  int32_t usb_interface = -1;
  uint8_t ep_out = 0;
  uint8_t ep_in = 0;
  uint16_t usb_vendor_id = kDefaultVendorId;
  std::string probe_hex = kDefaultProbeHex;
  int32_t tx_count = 0;
  int32_t tx_rejects = 0;
};

struct DjiState {
  std::mutex mu;
  std::condition_variable changed;
  DjiLink link;
  uint64_t generation = 0;
  bool connecting = false;  // a connection attempt runs
  int readers = 0;          // reader threads alive, of any generation
  int threads = 0;          // attempts and readers alive
  std::string port_dir = serial_default_port_dir();
  DjiTimings timings;
};

// Leaked on purpose: detached attempts and readers may outlive the static
// objects destroyed at exit.
DjiState& state() {
  static DjiState* s = new DjiState;
  return *s;
}

using Lock = std::unique_lock<std::mutex>;

double unix_seconds() { return static_cast<double>(std::time(nullptr)); }

// Gated events go out only while the agent holds a user id.
bool gate_open() { return auth_user_id() != 0; }

uint32_t to_ms32(milliseconds d) { return static_cast<uint32_t>(d.count()); }

bool has_duml_start(const uint8_t* bytes, long n) {
  return n > 0 && std::memchr(bytes, kDumlStart, static_cast<size_t>(n)) != nullptr;
}

void send_operation_result(const char* operation, bool success, const std::string& message) {
  Json d = json_object();
  json_add_string(d.get(), "operation", operation);
  json_add_bool(d.get(), "success", success);
  json_add_string(d.get(), "message", message);
  send_event("dji_operation_result", std::move(d));
}

// "dji_device_info" with the record as it is. REQUIRES: the lock is held,
// so the report can't pass a later change.
void send_device_info_locked(const DjiLink& link) {
  if (!gate_open()) return;
  Json d = json_object();
  json_add_bool(d.get(), "connected", link.connected);
  json_add_string(d.get(), "conn_type", link.conn_type);
  send_event("dji_device_info", std::move(d));
}

void dji_send_device_info() {
  DjiState& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  send_device_info_locked(s.link);
}

// Takes the handles out of the record and resets its USB members; the
// caller lets go of them (outside the lock, after the reader stopped).
struct Handles {
  SerialShared serial;
  UsbClaimPtr usb;
};
Handles take_handles_locked(DjiLink& link) {
  Handles h{std::move(link.serial_port), std::move(link.usb_handle)};
  link.serial_port.reset();
  link.usb_handle.reset();
  link.usb_interface = -1;
  link.ep_out = 0;
  link.ep_in = 0;
  return h;
}

void thread_ended(bool reader) {
  DjiState& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  if (reader) s.readers--;
  s.threads--;
  s.changed.notify_all();
}

// ---- reader ----

struct ReaderLink {
  uint64_t generation;
  bool serial;
  SerialShared port;
  UsbClaimPtr usb;
  uint8_t ep_out, ep_in;
  DjiTimings timings;
};

bool reader_should_run(const ReaderLink& r) {
  DjiState& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.generation == r.generation && s.link.reader_running;
}

bool link_connected(uint64_t generation) {
  DjiState& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.generation == generation && s.link.connected;
}

// One read: bytes read, 0 when idle, -1 on error.
long read_once(const ReaderLink& r, uint8_t* buf) {
  if (r.serial && r.port)
    return serial_read(*r.port, buf, kReadBytes, to_ms32(r.timings.read_gap),
                       to_ms32(r.timings.read_timeout));
  if (!r.usb) return -1;
  int n = usb_link_read(*r.usb, r.ep_in, buf, static_cast<int>(kReadBytes),
                        static_cast<int>(r.timings.read_timeout.count()));
  if (n > 0) return n;
  return usb_read_is_idle(n) ? 0 : -1;
}

// Sends the batch as "dji_rx" while the gate is open; false when it was
// dropped instead.
bool send_batch(const uint8_t* batch, size_t batched) {
  if (!gate_open()) return false;
  Json d = json_object();
  json_add_string(d.get(), "raw_hex", hex_encode(batch, batched));
  json_add_number(d.get(), "ts", unix_seconds());
  send_event("dji_rx", std::move(d));
  return true;
}

// The reader found its device gone while its link is still the current
// one: the record forgets the link (the handles stay until a disconnect
// request or the next attempt) and the server is told.
void auto_disconnect(uint64_t generation) {
  DjiState& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  if (s.generation != generation || !s.link.connected) return;
  s.link.connected = false;
  s.link.conn_type.clear();
  dji_log("Auto-disconnect: device lost");
  send_device_info_locked(s.link);
  send_operation_result("disconnect", true, "Device disconnected (USB removed)");
}

void reader_loop(const ReaderLink& r) {
  DjiState& s = state();
  {
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.generation == r.generation) s.link.reader_running = true;
    s.changed.notify_all();
  }
  dji_log("Reader thread started (ep_out=0x%02X ep_in=0x%02X)", r.ep_out, r.ep_in);
  std::array<uint8_t, kReadBytes> buf;
  std::array<uint8_t, kBatchBytes> batch;
  size_t batched = 0;
  uint32_t reads = 0, total = 0;
  int errors = 0, emits = 0;
  int64_t last_emit = clock_now_ms();

  if (link_connected(r.generation)) {
    while (reader_should_run(r)) {
      reads++;
      long n = read_once(r, buf.data());
      if (n > 0) {
        size_t got = static_cast<size_t>(n);
        if (batched + got <= kBatchBytes) {
          std::memcpy(batch.data() + batched, buf.data(), got);
          batched += got;
        }
        total += static_cast<uint32_t>(got);
        errors = 0;
      } else if (n < 0) {
        if (++errors > kMaxReadErrors) {
          dji_log("Device lost (%d errors)", errors);
          break;
        }
        sleep_ms(to_ms32(r.timings.error_pause));
      }
      if (reads == kReadsReport)
        dji_log("Reader: 10 reads, %d bytes total, errcnt=%d", static_cast<int>(total), errors);
      int64_t now = clock_now_ms();
      if (batched > 0 && now - last_emit > r.timings.batch_window.count()) {
        if (send_batch(batch.data(), batched) && ++emits <= kLoggedEmits)
          dji_log("RX emit #%d: %zu bytes", emits, batched);
        last_emit = now;
        batched = 0;
      }
      if (!link_connected(r.generation)) break;
    }
    if (batched > 0) send_batch(batch.data(), batched);
  }
}

// The reader thread. However its loop ends (also for want of memory, which
// is only logged), the link is told and the reader's count goes down.
void dji_reader(ReaderLink r) {
  DjiState& s = state();
  run_guarded("dji reader", [&r] { reader_loop(r); });
  {
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.generation == r.generation) s.link.reader_running = false;
  }
  dji_log("Reader thread stopped");
  auto_disconnect(r.generation);
  r.port.reset();  // possibly the last owner: closes here
  r.usb.reset();
  thread_ended(true);
}

// ---- serial search ----

enum class SearchResult { kFound, kNoList, kNoAnswer };

// Tries one port at one rate: passive listening first, then the probe
// frame when it is usable.
SerialPtr try_port(const std::string& dir, const std::string& name, uint32_t baud,
                   const std::string& probe_hex, const DjiTimings& t) {
  std::string error;
  SerialPtr port = serial_open(dirs_join_path(dir, name), baud, &error);
  if (!port) return nullptr;
  uint8_t buf[kReadBytes];
  long n = serial_read(*port, buf, sizeof buf, to_ms32(t.search_gap), to_ms32(t.search_timeout));
  if (has_duml_start(buf, n)) {
    dji_log("Connected %s @ %d (passive DUML)", name.c_str(), static_cast<int>(baud));
    return port;
  }
  std::optional<Bytes> probe = hex_decode(probe_hex);
  if (!probe || probe->empty()) return nullptr;
  serial_write(*port, probe->data(), probe->size(), kWriteTimeoutMs);
  sleep_ms(to_ms32(t.probe_settle));
  n = serial_read(*port, buf, sizeof buf, to_ms32(t.search_gap), to_ms32(t.search_timeout));
  if (has_duml_start(buf, n)) {
    dji_log("Connected %s @ %d (probed)", name.c_str(), static_cast<int>(baud));
    return port;
  }
  return nullptr;
}

SearchResult serial_search(const std::string& dir, const std::string& probe_hex,
                           const DjiTimings& t, SerialPtr* out) {
  std::vector<std::string> names;
  std::string error;
  if (!serial_list_ports(dir, &names, &error)) return SearchResult::kNoList;
  for (const std::string& name : names) {
    for (uint32_t baud : kBaudRates) {
      *out = try_port(dir, name, baud, probe_hex, t);
      if (*out) return SearchResult::kFound;
    }
  }
  return SearchResult::kNoAnswer;
}

// ---- connection attempt ----

struct Found {
  std::string conn_type;
  SerialShared serial;
  UsbLink usb;
};

// USB first, then the serial ports. False when nothing answered (the
// failure is logged and reported here).
bool search(uint16_t vendor_id, const std::string& probe_hex, const std::string& port_dir,
            const DjiTimings& t, Found* found) {
  if (usb_connect_duml(vendor_id, static_cast<int>(t.usb_probe_timeout.count()), &found->usb)) {
    found->conn_type = "usb";
    return true;
  }
  dji_log("Scanning COM ports...");
  SerialPtr port;
  SearchResult result = serial_search(port_dir, probe_hex, t, &port);
  if (result == SearchResult::kFound) {
    found->conn_type = "serial";
    found->serial = SerialShared(port.release(), SerialPortCloser());
    return true;
  }
  if (result == SearchResult::kNoAnswer) dji_log("No DUML-capable COM ports found");
  dji_log("No DJI device found");
  send_operation_result("connect", false, "No DJI device found");
  return false;
}

// Puts the link found into the record as a new generation, starts its
// reader and waits (a second at most) until the reader runs. Nullopt, with
// the link closed again and the failure reported, when the reader cannot be
// started.
std::optional<uint64_t> install_link(Found& found) {
  DjiState& s = state();
  Lock lock(s.mu);
  uint64_t generation = ++s.generation;
  DjiLink& link = s.link;
  link.connected = true;
  link.reader_running = false;
  link.conn_type = text_cut(found.conn_type, kConnTypeBytes);
  link.serial_port = found.serial;
  link.usb_handle = found.usb.handle;
  link.usb_interface = found.usb.interface;
  link.ep_out = found.usb.ep_out;
  link.ep_in = found.usb.ep_in;
  send_device_info_locked(link);

  ReaderLink r{generation,       link.conn_type == "serial",
               link.serial_port, link.usb_handle,
               link.ep_out,      link.ep_in,
               s.timings};
  s.readers++;
  s.threads++;
  // Moved on, so that the reader alone owns the handles and lets go of them
  // before it counts itself stopped.
  if (!thread_start("dji reader", [r = std::move(r)]() mutable { dji_reader(std::move(r)); })) {
    s.readers--;
    s.threads--;
    s.generation++;
    link.connected = false;
    link.conn_type.clear();
    Handles closing = take_handles_locked(link);
    send_device_info_locked(link);
    send_operation_result("connect", false, kThreadStartError);
    return std::nullopt;
  }
  s.changed.wait_for(lock, kReaderStartWait,
                     [&] { return s.link.reader_running || s.generation != generation; });
  return generation;
}

// The rest of a successful attempt. A disconnect request may close the
// link meanwhile; then nothing more is said about it.
void report_connected(uint64_t generation) {
  DjiState& s = state();
  milliseconds ready_settle;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.generation != generation) {
      send_operation_result("connect", false, "Disconnected");
      return;
    }
    char message[kResultBytes];
    std::snprintf(message, sizeof message, "Connected via %s", s.link.conn_type.c_str());
    send_operation_result("connect", true, message);
    ready_settle = s.timings.ready_settle;
  }
  sleep_ms(to_ms32(ready_settle));
  std::lock_guard<std::mutex> lock(s.mu);
  if (s.generation != generation || !s.link.connected) return;
  dji_log("Ready for commands");
  send_device_info_locked(s.link);
  Json d = json_object();
  json_add_bool(d.get(), "connected", true);
  json_add_string(d.get(), "conn_type", s.link.conn_type);
  json_add_number(d.get(), "ts", unix_seconds());
  send_event("dji_ready", std::move(d));
}

void connect_attempt() {
  DjiState& s = state();
  dji_log("Connecting to DJI device...");
  uint16_t vendor_id;
  std::string probe_hex, port_dir;
  DjiTimings timings;
  Handles leftover;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    // An automatic disconnect leaves the lost link's handles open; a device
    // still held by them could not be opened again.
    if (!s.link.connected) leftover = take_handles_locked(s.link);
    vendor_id = s.link.usb_vendor_id;
    probe_hex = s.link.probe_hex;
    port_dir = s.port_dir;
    timings = s.timings;
  }
  leftover = Handles{};
  Found found;
  if (!search(vendor_id, probe_hex, port_dir, timings, &found)) return;
  if (std::optional<uint64_t> generation = install_link(found)) report_connected(*generation);
}

void connect_ended() {
  DjiState& s = state();
  {
    std::lock_guard<std::mutex> lock(s.mu);
    s.connecting = false;
  }
  thread_ended(false);
}

// The connection attempt's thread. An attempt that runs out of memory is
// answered like one that found nothing, with the reason.
void dji_connect_worker() {
  run_guarded("dji connect", connect_attempt,
              [](const std::string& error) { send_operation_result("connect", false, error); });
  connect_ended();
}

// ---- handlers ----

void on_connect_device(const cJSON* d) {
  DjiState& s = state();
  {
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.link.connected) {
      send_operation_result("connect", false, "Already connected");
      return;
    }
    if (s.connecting) {
      send_operation_result("connect", false, "Connection attempt in progress");
      return;
    }
    if (json_is_number(json_get(d, "usb_vid")))
      s.link.usb_vendor_id = static_cast<uint16_t>(json_get_int32(d, "usb_vid") & 0xFFFF);
    std::string probe = json_get_string(d, "probe_hex");
    if (!probe.empty()) s.link.probe_hex = text_cut(probe, kProbeHexBytes);
    s.connecting = true;
    s.threads++;
  }
  thread_start("dji connect", dji_connect_worker, [](const std::string& error) {
    connect_ended();
    send_operation_result("connect", false, error);
  });
}

void on_disconnect_device(const cJSON*) {
  DjiState& s = state();
  Handles closing;
  {
    Lock lock(s.mu);
    s.link.reader_running = false;
    s.link.connected = false;
    s.generation++;
    closing = take_handles_locked(s.link);
    s.link.conn_type.clear();
    s.changed.wait_for(lock, s.timings.reader_stop_wait, [&] { return s.readers == 0; });
  }
  closing = Handles{};  // closes them, unless a reader that did not stop still holds one
  dji_send_device_info();
  send_operation_result("disconnect", true, "Disconnected");
}

void dji_transmit(const cJSON* d) {
  DjiState& s = state();
  SerialShared port;
  UsbClaimPtr usb;
  uint8_t ep_out;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    if (!s.link.connected) {
      int32_t rejects = ++s.link.tx_rejects;
      if (rejects <= kLoggedRejects) dji_log("TX rejected: not connected");
      return;
    }
    s.link.tx_rejects = 0;
    if (s.link.conn_type == "serial") port = s.link.serial_port;
    usb = s.link.usb_handle;
    ep_out = s.link.ep_out;
  }
  std::string text = json_get_string(d, "raw_hex");
  if (text.empty()) return;
  std::optional<Bytes> bytes = hex_decode(text);
  if (!bytes || bytes->empty()) return;
  // The write runs without the lock: the reader goes on, and a disconnect
  // meanwhile leaves the handle open until this copy goes.
  bool ok = false;
  if (port) {
    ok = serial_write(*port, bytes->data(), bytes->size(), kWriteTimeoutMs) ==
         static_cast<long>(bytes->size());
  } else if (usb) {
    ok = usb_link_write(*usb, ep_out, bytes->data(), static_cast<int>(bytes->size()),
                        kWriteTimeoutMs) >= 0;
  }
  std::lock_guard<std::mutex> lock(s.mu);
  int32_t count = ++s.link.tx_count;
  if (count <= kLoggedTransmits)
    dji_log("TX #%d: %zu bytes, ok=%d", count, bytes->size(), ok ? 1 : 0);
}

}  // namespace

void dji_log(const char* format, ...) {
  char text[kLogTextBytes];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  log_msg(LOG_INFO, "dji: %s", text);
  if (!gate_open()) return;
  Json d = json_object();
  json_add_string(d.get(), "message", text);
  json_add_number(d.get(), "timestamp", unix_seconds());
  send_event("dji_log", std::move(d));
}

void dji_register_handlers(const DjiTimings& timings) {
  {
    DjiState& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    s.timings = timings;
  }
  register_handler("dji_connect_device", on_connect_device);
  register_handler("dji_disconnect_device", on_disconnect_device);
  register_handler("dji_tx", dji_transmit);
  register_handler("dji_get_status", [](const cJSON*) { dji_send_device_info(); });
}

void dji_set_port_dir_for_testing(const std::string& dir) {
  DjiState& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  s.port_dir = dir;
}

bool dji_wait_idle_for_testing(std::chrono::milliseconds timeout) {
  DjiState& s = state();
  Lock lock(s.mu);
  return s.changed.wait_for(lock, timeout, [&] { return s.threads == 0; });
}

void dji_reset_for_testing() {
  DjiState& s = state();
  Handles old;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    old = take_handles_locked(s.link);
    s.generation++;
    s.link = DjiLink{};
  }
}

}  // namespace halvex
