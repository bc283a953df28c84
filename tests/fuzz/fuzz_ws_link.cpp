// One remote connection as either unit receives it: the handshake lines
// (the station counts the client's request, the operator unit the
// station's response), then frames in every length form, masked or not,
// each handed to that role's dispatch table.
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <string>

#include "core/works.h"
#include "remote/remote_dispatch.h"
#include "remote/ws_proto.h"
#include "tests/fuzz/support/fuzz_station.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Works* w = fuzzWorks();
  fuzzSettle(w);
  if (size < 1) return 0;
  rebootDelayMs = 0;
  snprintf(w->accessKey, sizeof w->accessKey, "ZELKEY");
  const char role = (data[0] & 1) ? 'c' : 's';
  // Bit 1 skips the handshake, so frames are reached without one.
  const bool handshake = (data[0] & 2) == 0;
  // Bit 2: the operator's station proved the key (TLS), so its commands run.
  const bool proven = (data[0] & 4) != 0;
  size_t pos = 1;

  if (handshake) {
    HandshakeState hs;
    bool done = false;
    while (!done && pos < size) {
      // Lines as the link reads them: up to 1023 characters, line feed included.
      std::string line;
      while (pos < size && line.size() < 1023) {
        const char c = static_cast<char>(data[pos++]);
        line += c;
        if (c == '\n') break;
      }
      done = wsHandshakeLine(hs, line, role);
    }
    if (!done) return 0;
    if (role == 's') wsServerResponse(hs.key);
    else wsAcceptValue(hs.key);
  }

  WsRead rd = [&](uint8_t* b, int n) -> int {
    if (pos >= size) return 0;
    const size_t k = std::min(static_cast<size_t>(n), size - pos);
    memcpy(b, data + pos, k);
    pos += k;
    return static_cast<int>(k);
  };
  LinkState st(role);
  st.stationProven = proven;
  if (role == 'c') w->remoteConnected = 1;
  WsFrame f;
  while (wsReadFrame(rd, f) == 0) {
    if (f.stored < 0 || f.stored > kWsRxBuf) fuzzFail("frame stored count out of the buffer", std::to_string(f.stored));
    if (dispatchFrame(w, st, f) != 0) break;
    fuzzSettle(w);
  }
  w->remoteConnected = 0;
  return 0;
}
