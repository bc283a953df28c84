// Device helpers of the radio links: opening a serial port with the step
// that failed, reading descriptors, listing device nodes. (serialClose is
// in platform/amp_port.h.)
#pragma once
#include <cstddef>
#include <string>
#include <sys/types.h>
#include <vector>

enum class PortOpenStage { Ok, Open, Configure };

// Like serialOpen, but tells whether the device could not be opened or
// could not be configured (not a terminal, settings refused). Returns the
// descriptor or -1 with errno set and *failedAt filled in.
int serialOpenStaged(const std::string& absPath, int baud, bool twoStopBits,
                     PortOpenStage* failedAt);

// read(2) on a port descriptor.
ssize_t serialRead(int fd, void* buf, size_t n);

// Discards whatever waits to be read.
void serialDrainInput(int fd);

// Device nodes matching a pattern such as "/dev/MIRKCAT*" (resolved under
// ZELPYX_ROOT), returned as system paths in sorted order.
std::vector<std::string> globDevices(const std::string& absPattern);
