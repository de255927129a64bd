// The USB side of the drone link: the libusb 0.1 library, loaded at run time
// (once loaded with every entry point it stays for the life of the process),
// the search and probe of the devices of one vendor, and bulk transfers on
// the device found.
//
// Threads: usb_connect_duml runs on the connection attempt's thread, one at
// a time. A UsbClaim may be read on one thread and written on another, and
// its last owner, on any thread, releases and closes it.

#pragma once

#include <cstdint>
#include <memory>

namespace halvex {

// An open device with one claimed interface. Releasing the interface and
// closing the device happen when the last shared owner lets go.
struct UsbClaim;
using UsbClaimPtr = std::shared_ptr<UsbClaim>;

struct UsbLink {
  UsbClaimPtr handle;
  int32_t interface = -1;
  uint8_t ep_out = 0;
  uint8_t ep_in = 0;
};

// Loads the library if needed, opens the devices of `vendor_id` (except
// the product ids 0x001D to 0x001F), claims the first free interface of
// each in the order 4, 1, 0, 2, 3, 5, 6, 7, and probes them, the most
// preferred interface first, with one byte 0x55. True with *out set when a
// device answered with a 0x55 among its bytes; every other device is
// released and closed. False with nothing left open otherwise. A probe
// waits `probe_timeout_ms` for the answer.
bool usb_connect_duml(uint16_t vendor_id, int probe_timeout_ms, UsbLink* out);

// One bulk transfer of at most `len` bytes; the library's result (bytes
// moved, or a negative code).
int usb_link_read(UsbClaim& claim, uint8_t ep, uint8_t* buf, int len, int timeout_ms);
int usb_link_write(UsbClaim& claim, uint8_t ep, const uint8_t* data, int len, int timeout_ms);

// True for a read result that means "nothing came in time": 0, and the
// time-out codes of the Windows (-116) and Linux (-110) builds.
bool usb_read_is_idle(int result);

}  // namespace halvex
