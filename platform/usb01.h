// The libusb 0.1 interface as this platform's build of the library defines
// it: the bus and device records that usb_get_busses hands out, the entry
// points' types, the library's file names and its time-out result.
//
// The library is never linked: the drone link loads it at run time, so this
// header stands in for the library's own usb.h. The records are laid out as
// the library lays them out (on Linux a path field of PATH_MAX + 1 bytes,
// in libusb-win32 one of 512 bytes); only the leading members that callers
// read are named.

#pragma once

#include <cstddef>
#include <cstdint>

namespace halvex {

#ifdef _WIN32
constexpr size_t kUsb01PathMax = 512;

// The file looked for beside the executable, then the name loaded from the
// system: libusb-win32 ships as libusb0.dll under both.
constexpr const char* kUsb01LocalFile = "libusb0.dll";
constexpr const char* kUsb01SystemName = "libusb0.dll";

// usb_bulk_read's result when the time-out passed without data.
constexpr int kUsb01TimedOut = -116;
#else
constexpr size_t kUsb01PathMax = 4096 + 1;

constexpr const char* kUsb01LocalFile = "libusb0.so";
constexpr const char* kUsb01SystemName = "libusb-0.1.so.4";

// -ETIMEDOUT here; the Windows build says -116.
constexpr int kUsb01TimedOut = -110;
#endif

struct Usb01DeviceDescriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint16_t bcdUSB;
  uint8_t bDeviceClass;
  uint8_t bDeviceSubClass;
  uint8_t bDeviceProtocol;
  uint8_t bMaxPacketSize0;
  uint16_t idVendor;
  uint16_t idProduct;
  uint16_t bcdDevice;
  uint8_t iManufacturer;
  uint8_t iProduct;
  uint8_t iSerialNumber;
  uint8_t bNumConfigurations;
} __attribute__((packed));

struct Usb01Bus;

struct Usb01Device {
  Usb01Device* next;
  Usb01Device* prev;
  char filename[kUsb01PathMax];
  Usb01Bus* bus;
  Usb01DeviceDescriptor descriptor;
  void* config;
  void* dev;
  uint8_t devnum;
  unsigned char num_children;
  Usb01Device** children;
};

struct Usb01Bus {
  Usb01Bus* next;
  Usb01Bus* prev;
  char dirname[kUsb01PathMax];
  Usb01Device* devices;
  uint32_t location;
  Usb01Device* root_dev;
};

struct Usb01Handle;  // the library's usb_dev_handle

// The eleven entry points the drone link uses, by their library names.
extern "C" {
using Usb01InitFn = void (*)();
using Usb01FindBussesFn = int (*)();
using Usb01FindDevicesFn = int (*)();
using Usb01GetBussesFn = Usb01Bus* (*)();
using Usb01OpenFn = Usb01Handle* (*)(Usb01Device* device);
using Usb01CloseFn = int (*)(Usb01Handle* handle);
using Usb01SetConfigurationFn = int (*)(Usb01Handle* handle, int configuration);
using Usb01ClaimInterfaceFn = int (*)(Usb01Handle* handle, int interface);
using Usb01ReleaseInterfaceFn = int (*)(Usb01Handle* handle, int interface);
using Usb01BulkWriteFn = int (*)(Usb01Handle* handle, int ep, const char* bytes, int size,
                                 int timeout);
using Usb01BulkReadFn = int (*)(Usb01Handle* handle, int ep, char* bytes, int size, int timeout);
}

}  // namespace halvex
