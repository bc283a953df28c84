// Serial ports: the only code that opens and configures tty devices.
#pragma once
#include <cstddef>
#include <string>
#include <sys/types.h>

// Opens a serial port named by its system path (resolved under
// ZELPYX_ROOT), raw 8-bit, no flow control, non-blocking reads (VMIN 0,
// VTIME 0). baud is a plain number (9600, 115200 ...); twoStopBits selects
// 8N2. Returns the descriptor or -1 with errno set.
int serialOpen(const std::string& absPath, int baud, bool twoStopBits = false);

// Bytes waiting to be read (FIONREAD); -1 when the ioctl fails.
int serialAvailable(int fd);

// Writes all of buf, retrying partial writes, but gives up after
// maxStalls consecutive writes that made no progress (1 ms apart), so a
// dead port never spins forever. Returns bytes written, or -1.
ssize_t serialWriteAll(int fd, const void* buf, size_t len, int maxStalls = 100);

// Puts an already open descriptor (a pseudo-terminal end in tests and the
// simulator) into raw mode.
int serialMakeRaw(int fd);

// True when the port can no longer be used: the other end hung up, the
// device reports an error, or the descriptor is no longer valid (a USB
// adapter unplugged or reset, the far end of a pseudo-terminal closed).
bool serialPortDead(int fd);

// True while the system path (resolved under ZELPYX_ROOT, links followed)
// still names the device fd is open on; false when it vanished or now
// names another device (an adapter re-plugged at the same path).
bool serialSameDevice(int fd, const std::string& absPath);
