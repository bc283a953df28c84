// FT-817 CAT poll for radios other than the companion radio: the binary
// five-byte "read frequency and mode" command, answered with the frequency
// in BCD and the mode byte.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

struct Works;

extern std::atomic<int> catProcessStatus;  // 3 send, 2 receive, 1 decode
extern std::atomic<int> lastCommandSent;   // command awaiting its answer (3) or 0
extern std::atomic<int> counterimeoutCAT;  // empty polls since the last command

// Thread body; runs while catSerRun is '1'.
void CatSerial(Works* w);

// Writes all bytes (bounded on a dead port) and restarts the time-out count.
ssize_t writeSerialCatPort(int fd, const void* data, size_t length);

// Decodes a five-byte answer when the read command is pending, then waits
// 20 ms and clears lastCommandSent.
// The decoding alone: frequency (when all eight digits are decimal) and
// mode of a five-byte answer into catSerFreq and catSerMode.
void DecodeFt817Answer(Works* w, const uint8_t* answer, int count);
void DecodeCatSerialCmd(Works* w, const uint8_t* answer, int count);

// 1 when either half of the byte is not a decimal digit.
int VerifyByteFreq(uint8_t b);

// Poll state of the thread.
struct CatSerialPoll {
  uint8_t buf[5] = {};
  int n = 0;
};
// One round of the 3 -> 2 -> 1 cycle.
void catSerialStep(Works* w, CatSerialPoll& p);
