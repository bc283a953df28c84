// Companion radio data port: the message reader (headers, length digits,
// resynchronisation on bytes that are no header) over a pipe in place of
// the port, then the parameter block decoder and the spectrum store on
// the raw input, as "PA" and "SP" frames from a peer reach them.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/setup_record.h"
#include "core/works.h"
#include "radio/zel_link.h"
#include "tests/fuzz/support/fuzz_station.h"

namespace {
// Whatever header the input ends in, this many bytes complete it and its
// longest body (4 length digits, subtype, 1999 bytes); 0xFF is no header.
constexpr size_t kTail = 5 + 1999;
constexpr size_t kMaxInput = 60000;  // input and tail fit in one pipe
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Works* w = fuzzWorks();
  fuzzSettle(w);
  if (size > kMaxInput) return -1;
  setRunByte(w->setup->zelRun, '1');
  int fds[2];
  if (pipe(fds) != 0) fuzzFail("pipe", "");
  std::vector<uint8_t> bytes(data, data + size);
  bytes.insert(bytes.end(), kTail, 0xFF);
  if (write(fds[1], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) fuzzFail("pipe write", "");
  close(fds[1]);
  w->serFD = fds[0];
  ZelReader r;
  // Stops when the pipe is empty between messages, so the reader never
  // waits for bytes that will not come.
  for (;;) {
    int avail = 0;
    if (r.state == 0 && (ioctl(fds[0], FIONREAD, &avail) != 0 || avail <= 0)) break;
    zelReaderStep(w, r);
  }
  w->serFD = -1;
  close(fds[0]);

  storeParameters(w, static_cast<int>(size), data);
  storeFFT(w, static_cast<int>(size), data);
  ZelParam p;
  getParameters(w, &p);
  float levels[1100];
  getSpectrumLevels(w, levels);
  if (size >= 4) decodeLengthDigits(data);
  if (size >= 12) {
    int32_t v[3];
    memcpy(v, data, sizeof v);
    const int k = spectrumStartIndex(v[0], v[1], v[2]);
    if (k < 0 || k > 1023) fuzzFail("spectrum start index out of range", std::to_string(k));
  }
  return 0;
}
