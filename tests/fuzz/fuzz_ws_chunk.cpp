// Chunk collection: a run of chunk headers and data (as many as the input
// holds, each at most 526 bytes) into a buffer of a screen's size, then the
// complete message shown as a screen (raw pixels or a JPEG image).
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/works.h"
#include "display/fb.h"
#include "remote/remote_dispatch.h"
#include "remote/ws_proto.h"
#include "tests/fuzz/support/fuzz_station.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Works* w = fuzzWorks();
  fuzzSettle(w);
  std::vector<uint8_t> buf(w->fb->memSize, 0);
  size_t pos = 0;
  while (pos + 2 <= size) {
    // Each chunk: a two-byte length (at most 520: header and 512 bytes), then that many bytes.
    size_t len = ((static_cast<size_t>(data[pos]) << 8) | data[pos + 1]) % 521;
    pos += 2;
    if (len > size - pos) len = size - pos;
    std::vector<uint8_t> chunk(data + pos, data + pos + len);
    pos += len;
    uint32_t total = 0;
    const int r = wsCollectChunk(buf.data(), buf.size(), chunk.data(), static_cast<int>(chunk.size()), &total);
    if (r == 1 && total <= buf.size()) showRemoteScreen(w, buf.data(), total);
  }
  return 0;
}
