// Windows serial ports: the COM port interfaces from SetupAPI with their
// "PortName" registry values, and synchronous I/O on \\.\COMn with the DCB
// set to 8N1 and the wait limits kept by the port's own time-outs.
//
// A synchronous handle serves one I/O call at a time: a write waits for a
// read in progress (at most its read time-out) to finish.

#include "platform/serial.h"

#include <windows.h>
#include <setupapi.h>

#include <algorithm>
#include <mutex>

#include "platform/dirs.h"
#include "platform/win32/serial_testing.h"
#include "platform/win32/text.h"

namespace halvex {

struct SerialPort {
  HANDLE handle = INVALID_HANDLE_VALUE;
  // SetCommTimeouts sets the read and the write limits together; the
  // reading and the writing thread each change their half under the lock.
  std::mutex mu;
  COMMTIMEOUTS timeouts{};
};

namespace {

// {86E0D1E0-8089-11D0-9CE4-08003E301F73}: the COM port interface class.
const GUID kComPortInterface = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
constexpr DWORD kPortNameBytes = 32;

std::mutex g_test_ports_mu;
std::vector<std::string> g_test_ports;

// The "PortName" of one device, or "" when it has none or it isn't COMn.
std::string port_name(HDEVINFO list, SP_DEVINFO_DATA* device) {
  HKEY key = ::SetupDiOpenDevRegKey(list, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (key == INVALID_HANDLE_VALUE) return "";
  wchar_t name[kPortNameBytes / sizeof(wchar_t) + 1] = L"";
  DWORD size = kPortNameBytes;
  DWORD type = 0;
  LONG r =
      ::RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
  ::RegCloseKey(key);
  if (r != ERROR_SUCCESS || type != REG_SZ) return "";
  std::string text = win32::to_utf8(name);
  return text.rfind("COM", 0) == 0 ? text : "";
}

bool apply_timeouts(SerialPort& port) {
  return ::SetCommTimeouts(port.handle, &port.timeouts) != 0;
}

}  // namespace

void serial_set_ports_for_testing(const std::vector<std::string>& names) {
  std::lock_guard<std::mutex> lock(g_test_ports_mu);
  g_test_ports = names;
}

void SerialPortCloser::operator()(SerialPort* port) const {
  if (!port) return;
  ::CloseHandle(port->handle);
  delete port;
}

// The device namespace: "\\.\" (two backslashes, a dot, a backslash).
std::string serial_default_port_dir() { return "\\\\.\\"; }

bool serial_list_ports(const std::string& /*dir*/, std::vector<std::string>* names,
                       std::string* error) {
  names->clear();
  {
    std::lock_guard<std::mutex> lock(g_test_ports_mu);
    if (!g_test_ports.empty()) {
      *names = g_test_ports;
      return true;
    }
  }
  HDEVINFO list = ::SetupDiGetClassDevsW(&kComPortInterface, nullptr, nullptr,
                                         DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (list == INVALID_HANDLE_VALUE) {
    *error = "list ports: " + win32::error_text(::GetLastError());
    return false;
  }
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD i = 0; ::SetupDiEnumDeviceInfo(list, i, &device); i++) {
    std::string name = port_name(list, &device);
    if (!name.empty()) names->push_back(name);
  }
  ::SetupDiDestroyDeviceInfoList(list);
  std::sort(names->begin(), names->end());
  return true;
}

SerialPtr serial_open(const std::string& path, uint32_t baud, std::string* error) {
  HANDLE h = ::CreateFileW(win32::to_wide_path(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                           nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *error = "open " + path + ": " + win32::error_text(::GetLastError());
    return nullptr;
  }
  SerialPtr port(new SerialPort);
  port->handle = h;
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!::GetCommState(h, &dcb)) {
    *error = "open " + path + ": not a serial port: " + win32::error_text(::GetLastError());
    return nullptr;
  }
  // Only the rate and the frame change; the rest stays as the driver has it.
  dcb.BaudRate = baud;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  if (!::SetCommState(h, &dcb)) {
    *error = "set up " + path + " at " + std::to_string(baud) + ": " +
             win32::error_text(::GetLastError());
    return nullptr;
  }
  return port;
}

long serial_read(SerialPort& port, uint8_t* buf, size_t len, uint32_t interval_ms,
                 uint32_t total_ms) {
  {
    std::lock_guard<std::mutex> lock(port.mu);
    port.timeouts.ReadIntervalTimeout = interval_ms;
    port.timeouts.ReadTotalTimeoutMultiplier = 0;
    port.timeouts.ReadTotalTimeoutConstant = total_ms;
    if (!apply_timeouts(port)) return -1;
  }
  DWORD got = 0;
  DWORD want = len > MAXDWORD ? MAXDWORD : static_cast<DWORD>(len);
  if (!::ReadFile(port.handle, buf, want, &got, nullptr)) return -1;
  return static_cast<long>(got);
}

long serial_write(SerialPort& port, const uint8_t* data, size_t len, uint32_t timeout_ms) {
  {
    std::lock_guard<std::mutex> lock(port.mu);
    port.timeouts.WriteTotalTimeoutMultiplier = 0;
    port.timeouts.WriteTotalTimeoutConstant = timeout_ms;
    if (!apply_timeouts(port)) return -1;
  }
  DWORD done = 0;
  DWORD want = len > MAXDWORD ? MAXDWORD : static_cast<DWORD>(len);
  if (!::WriteFile(port.handle, data, want, &done, nullptr) && done == 0) return -1;
  return static_cast<long>(done);
}

}  // namespace halvex
