// Serial ports: which ones are present, and raw 8N1 byte I/O on one with the
// read and write time-outs the drone link needs.
//
// Here the ports are the terminal devices named ttyUSB* and ttyACM* in a
// port folder (normally /dev; tests pass a folder of their own). A port is
// opened exclusively and set raw at the requested rate; every wait is kept
// with poll, so no call blocks longer than the time-out it is given. On
// Windows the ports are SetupAPI's COM port interfaces ("COM3"), the folder
// is the device namespace \\.\, and the port's own time-outs keep the waits.
//
// Threads: the functions keep no state. One thread may read a port while
// another writes it; closing a port while another thread uses it is the
// caller's business to prevent (share ownership of the SerialPtr).

#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace halvex {

struct SerialPort;
struct SerialPortCloser {
  void operator()(SerialPort* port) const;
};
// An open port; letting go of it gives up exclusive use and closes it.
using SerialPtr = std::unique_ptr<SerialPort, SerialPortCloser>;

// The folder whose ttyUSB* and ttyACM* entries are the ports ("/dev").
std::string serial_default_port_dir();

// The names of the present ports in `dir` (character devices, symbolic
// links followed) in byte order, for example {"ttyACM0", "ttyUSB0"}. False
// with *error set when the folder can't be read; true with an empty list
// when it holds no port.
bool serial_list_ports(const std::string& dir, std::vector<std::string>* names, std::string* error);

// Opens the terminal at `path` for reading and writing without making it
// the controlling terminal, takes exclusive use of it, and sets it raw:
// 8 data bits, no parity, one stop bit, modem lines ignored, no flow
// control, `baud` both ways. Null with *error set when the path can't be
// opened, is not a terminal, or the rate is not one the system offers.
SerialPtr serial_open(const std::string& path, uint32_t baud, std::string* error);

// Reads up to `len` bytes. Waits at most `total_ms` in all for the first
// byte; once bytes have come, returns when `len` are in, when `total_ms` has
// passed, or when no further byte came for `interval_ms`. Returns the count
// read, 0 when nothing came in time (an idle read), or -1 when the port
// failed or hung up (the device went away).
long serial_read(SerialPort& port, uint8_t* buf, size_t len, uint32_t interval_ms,
                 uint32_t total_ms);

// Writes `len` bytes, waiting at most `timeout_ms` for the port to take
// them. Returns how many were written (fewer than `len` after a time-out),
// or -1 when the port failed before taking any.
long serial_write(SerialPort& port, const uint8_t* data, size_t len, uint32_t timeout_ms);

}  // namespace halvex
