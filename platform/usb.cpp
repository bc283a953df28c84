#include "platform/usb.h"

#include <libusb-1.0/libusb.h>

#include "platform/paths.h"

int usbDevicePresent(uint16_t vendor, uint16_t product) {
  libusb_context* ctx = nullptr;
  if (libusb_init(&ctx) != 0) return -1;
#if LIBUSB_API_VERSION >= 0x01000106
  libusb_set_option(ctx, LIBUSB_OPTION_LOG_LEVEL, 3);
#else
  libusb_set_debug(ctx, 3);
#endif
  libusb_device** list = nullptr;
  ssize_t n = libusb_get_device_list(ctx, &list);
  int result = n < 0 ? -1 : 0;
  for (ssize_t i = 0; i < n; i++) {
    libusb_device_descriptor d;
    if (libusb_get_device_descriptor(list[i], &d) != 0) {
      result = -1;
      break;
    }
    if (d.idVendor == vendor && d.idProduct == product) {
      result = 1;
      break;
    }
  }
  if (n >= 0) libusb_free_device_list(list, 1);
  libusb_exit(ctx);
  return result;
}

int usbListLines(const std::string& cmd, std::vector<std::string>& lines) {
  lines.clear();
  std::string out;
  if (runCommandOutput(cmd, out) < 0) return -1;
  size_t pos = 0;
  while (pos < out.size()) {
    size_t nl = out.find('\n', pos);
    if (nl == std::string::npos) nl = out.size();
    lines.push_back(out.substr(pos, nl - pos));
    pos = nl + 1;
  }
  return 0;
}
