// The service keyboard's input-event device.
#pragma once
#include <string>
#include <sys/types.h>

// The first match of the rooted "/dev/input/by-id/*-event-kbd", or "".
std::string inputFindKeyboard();
// Opens an event device read-only and non-blocking (a FIFO standing in for
// the device then opens without a writer). Returns the descriptor, or -1
// with errno set.
int inputOpen(const std::string& path);
// Exclusive grab, so the keys no longer reach the console. 0, or the errno
// (a FIFO or a file refuses it).
int inputGrab(int fd);
// Waits up to timeoutMs for bytes and reads at most cap of them. Returns
// the count, 0 when nothing came (a file or FIFO at its end included), or
// -1 with errno set.
ssize_t inputRead(int fd, void* buf, size_t cap, int timeoutMs);
void inputClose(int fd);
