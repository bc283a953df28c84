// Amplifier replies: the receive framing, the check characters, the
// decoding of every reply type in whatever state the link waits in, and
// the station status text built from what was decoded.
#include <cstdint>
#include <cstring>

#include "amp/cmd_queue.h"
#include "amp/linear.h"
#include "app/spine.h"
#include "core/works.h"
#include "remote/remote_dispatch.h"
#include "tests/fuzz/support/fuzz_station.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Works* w = fuzzWorks();
  fuzzSettle(w);
  // A status reply may step an autotune run, as on the station.
  InstallStationHooks(w);
  if (size < 1) return 0;
  // The state the link is in when the bytes arrive (a command number
  // waiting for its reply, or one of the link's own states).
  LinearState st;
  st.status = data[0] % 48;
  LinRx& rx = st.rx;
  for (size_t i = 1; i < size; i++) {
    const char c = static_cast<char>(data[i]);
    if (c == ';' && rx.count >= 2) {
      // A frame that fails its check is not decoded by the link; decode
      // its text here as well so that every reply type is reached
      // without forged check characters.
      LinRx copy = rx;
      LinRxByte(&copy, c);
      if (!LinFrameCheckOk(copy.buf, copy.count)) DecodeCatCmd(w, &st, copy.buf + 2, copy.count - 2);
    }
    LinWaitStep(w, &st, 1, 1, c);
  }
  char status[64];
  memset(status, 0x55, sizeof status);
  CreaBufferDiStato(w, status);
  const size_t n = strnlen(status, sizeof status);
  if (n != 52) fuzzFail("station status text is not 52 characters", std::string(status, n));
  return 0;
}
