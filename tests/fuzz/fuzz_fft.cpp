// The spectrum transform fftLine / fftCalc on any sample buffer: a count
// (odd, short, long) and floats taken round from the input, raw or (bit 1
// of the first byte) picked from the awkward ones: NaN, infinities, the
// largest, denormals. The line must have its length and levels within
// 0..242, and be the same from the process's state (tables kept across
// changes of the byte) as from tables built afresh for that size.
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "core/setup_record.h"
#include "core/works.h"
#include "radio/zel_link.h"
#include "radio/zel_usb.h"
#include "tests/fuzz/support/fuzz_station.h"

namespace {

const float kAwkward[16] = {0.0f,
                            -0.0f,
                            std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            FLT_MAX,
                            -FLT_MAX,
                            FLT_MIN,
                            std::numeric_limits<float>::denorm_min(),
                            -std::numeric_limits<float>::denorm_min(),
                            1.0f,
                            -1.0f,
                            1e-30f,
                            1e30f,
                            0.001f,
                            -3.0e38f};

int g_lines = 0;

void countLine(const char* type, const uint8_t*, int) { g_lines += strcmp(type, "SP") == 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Works* w = fuzzWorks();
  fuzzSettle(w);
  if (size < 4) return 0;
  static bool tapped = false;
  if (!tapped) {
    setRadioFrameTap(countLine);
    tapped = true;
  }
  const char m = static_cast<char>(data[0]);
  const bool awkward = (data[1] & 1) != 0;
  const int count = (data[2] << 8) | data[3];
  const uint8_t* src = data + 4;
  const size_t n = size - 4;
  std::vector<float> x(static_cast<size_t>(count));
  for (size_t i = 0; i < x.size() && n > 0; i++) {
    if (awkward) {
      x[i] = kAwkward[src[i % n] & 15];
    } else if (n >= 4) {
      memcpy(&x[i], src + (4 * i) % (n - n % 4), 4);
    }
  }
  const int want = m == '0' ? 854 : 1706;
  const int points = m == '0' ? 2048 : 4096;
  const int len = fftLine(w->zelFft, x.data(), count, m);
  if (count < 2 * points) {
    if (len != -1) fuzzFail("a line from too few samples", std::to_string(count));
  } else {
    if (len != want) fuzzFail("line length", std::to_string(len));
    for (int i = 0; i < len; i++)
      if (w->zelFft.fftoutdec[static_cast<size_t>(i)] > 242) fuzzFail("level above 50 dB", std::to_string(i));
    // Fresh tables for the same size, asked by the plain byte of that size.
    FftState fresh;
    if (fftLine(fresh, x.data(), count, m == '0' ? '0' : '1') != len ||
        memcmp(fresh.fftoutdec.data(), w->zelFft.fftoutdec.data(), static_cast<size_t>(len)) != 0)
      fuzzFail("kept tables give another line than fresh ones", std::string(1, m));
  }
  // fftCalc as the reader calls it: the line goes to a connected peer.
  w->setup->Enable1600 = m;
  w->remoteConnected = (data[1] & 2) ? 1 : 0;
  const int before = g_lines;
  fftCalc(x.data(), count, w);
  const int sent = g_lines - before;
  if (sent != ((count >= 2 * points && w->remoteConnected.load() == 1) ? 1 : 0))
    fuzzFail("lines sent", std::to_string(sent));
  w->remoteConnected = 0;
  return 0;
}
