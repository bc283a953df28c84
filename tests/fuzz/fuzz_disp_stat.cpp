// A text from the peer in "ST": the remote commands on the station and
// the station status text on the operator unit.
#include <cstdint>
#include <algorithm>
#include <cstring>

#include <string>

#include "core/works.h"
#include "remote/remote_dispatch.h"
#include "tests/fuzz/support/fuzz_station.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Works* w = fuzzWorks();
  fuzzSettle(w);
  rebootDelayMs = 0;
  const size_t n = std::min(size, sizeof w->remoteCmd - 1);
  memcpy(w->remoteCmd, data, n);
  w->remoteCmd[n] = '\0';
  dispStat(w);
  StationStatus s;
  if (decodeStationStatus(reinterpret_cast<const char*>(data), static_cast<int>(size), &s)) {
    if (s.bank < 0 || s.bank > 99 || s.antenna < 0 || s.antenna > 9 || s.lastError < -1 || s.lastError > 254)
      fuzzFail("station status field out of range", std::string(reinterpret_cast<const char*>(data), 44));
    applyStationStatus(w, s);
  }
  return 0;
}
