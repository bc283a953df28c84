// FT-817 CAT poll for radios other than the companion radio: the binary
// five-byte "read frequency and mode" command, answered with the frequency
// in BCD and the mode byte.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

struct Works;

// Everything the poll keeps between its steps: the thread makes one, a
// test a fresh one. The state and the count are atomics so that a test
// can watch a running thread's poll.
struct CatSerialPoll {
  std::atomic<int> status{3};      // 3 send, 2 receive, 1 decode
  std::atomic<int> emptyPolls{0};  // empty polls since the last command
  int lastCommandSent = 0;         // command awaiting its answer (3) or 0
  uint8_t buf[5] = {};
  int n = 0;
};

// Thread body; runs while catSerRun is '1'.
void CatSerial(Works* w);
// The same on a given poll record.
void RunCatSerial(Works* w, CatSerialPoll* p);

// Writes all bytes (bounded on a dead port) and restarts the time-out count.
ssize_t writeSerialCatPort(int fd, const void* data, size_t length, CatSerialPoll& p);

// Decodes a five-byte answer when the read command is pending, then waits
// 20 ms and clears lastCommandSent.
void DecodeCatSerialCmd(Works* w, CatSerialPoll& p, const uint8_t* answer, int count);
// The decoding alone: frequency (when all eight digits are decimal) and
// mode of a five-byte answer into catSerFreq and catSerMode.
void DecodeFt817Answer(Works* w, const uint8_t* answer, int count);

// 1 when either half of the byte is not a decimal digit.
int VerifyByteFreq(uint8_t b);

// One round of the 3 -> 2 -> 1 cycle.
void catSerialStep(Works* w, CatSerialPoll& p);
