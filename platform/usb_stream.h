// The companion radio's USB sample interface: device search, vendor
// control requests and a ring of bulk transfers. The spectrum reader sees
// libusb only through this interface, so tests give it a device of their
// own (descriptors, control replies, completed transfers).
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

struct UsbDevInfo {
  int descErr = 0;  // 0, or the error reading the device descriptor
  uint16_t vendor = 0, product = 0;
};

// Completion of bulk transfer `index`: status as libusb numbers it (0
// completed, 1 error, 2 timed out, 3 cancelled, 4 stall, 5 no device,
// 6 overflow), the received bytes.
using UsbBulkDone = std::function<void(int index, int status, const uint8_t* data, int length)>;

class UsbRadioPort {
 public:
  virtual ~UsbRadioPort() = default;
  virtual int init() = 0;  // 0 or an error code
  // The devices on the bus, in list order; < 0 when the bus cannot be listed.
  virtual int listDevices(std::vector<UsbDevInfo>& out) = 0;
  virtual void freeList() = 0;
  virtual int open(int index) = 0;
  virtual int kernelDriverActive(int iface) = 0;  // 1 active
  virtual int detachKernelDriver(int iface) = 0;
  virtual int claimInterface(int iface) = 0;
  // Vendor device-to-host request (type 0xC0, no time-out): bytes or < 0.
  virtual int controlIn(uint8_t request, uint16_t value, uint16_t index, uint8_t* data, uint16_t length) = 0;
  // count transfers of length bytes each, completing into done.
  virtual int allocTransfers(int count, int length, UsbBulkDone done) = 0;
  virtual int submit(int i, uint8_t endpoint, int timeoutMs) = 0;
  virtual int resubmit(int i) = 0;
  // Runs completions for up to timeoutMs; 0 or an error code.
  virtual int handleEvents(int timeoutMs) = 0;
  // Cancels what is in flight, frees the transfers, closes the device.
  virtual void close() = 0;
};

// The libusb port; tests put a factory of their own.
std::unique_ptr<UsbRadioPort> usbRadioPortNew();
using UsbRadioFactory = std::unique_ptr<UsbRadioPort> (*)();
void setUsbRadioFactory(UsbRadioFactory f);  // nullptr restores libusb
std::unique_ptr<UsbRadioPort> usbRadioPortMake();
