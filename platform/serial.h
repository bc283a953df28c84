// Serial ports: the one module that opens, configures, reads, writes and
// closes tty devices, for every link.
#pragma once
#include <cstddef>
#include <string>
#include <sys/types.h>

enum class PortOpenStage { Ok, Open, Configure };

// Opens a serial port named by its system path (resolved under
// ZELPYX_ROOT), raw 8-bit, no flow control, modem lines ignored, hang-up
// on close, non-blocking reads (VMIN 0, VTIME 0); pending input and output
// are discarded. baud is a plain number (9600, 115200 ...); twoStopBits
// selects 8N2. Returns the descriptor, or -1 with errno set and *failedAt
// telling whether the device could not be opened or could not be
// configured (not a terminal, settings refused).
int serialOpenStaged(const std::string& absPath, int baud, bool twoStopBits, PortOpenStage* failedAt);
// The same without the stage.
int serialOpen(const std::string& absPath, int baud, bool twoStopBits = false);
// Closes a port descriptor (ignores -1).
void serialClose(int fd);

// Bytes waiting to be read (FIONREAD); -1 when the ioctl fails.
int serialAvailable(int fd);
// read(2) on a port descriptor.
ssize_t serialRead(int fd, void* buf, size_t n);
// Reads one byte; returns what read() returned (1 on success, -1 for fd -1).
int serialReadByte(int fd, char* c);
// Discards whatever waits to be read.
void serialDrainInput(int fd);

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
