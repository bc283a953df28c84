// USB queries of the companion radio's readiness check: the bus listing
// through libusb, and the "lsusb" command line for the audio codec.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// 1 when a device with this vendor and product is on the bus, 0 when none
// is, -1 when the bus cannot be listed or a descriptor cannot be read.
int usbDevicePresent(uint16_t vendor, uint16_t product);

// Runs an "lsusb" pipeline and returns its output lines (without "\n"),
// or -1 when the pipe could not be opened.
int usbListLines(const std::string& cmd, std::vector<std::string>& lines);
