// The USB transfer completion cb_in on a run of completions: any index,
// status and length over the 32768-byte buffer of a transfer, with the
// radio's calibration offsets, the spectrum source, the divide countdown
// and the line size taken from the input; the lines it computes are
// checked as a peer would receive them.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/setup_record.h"
#include "core/works.h"
#include "radio/zel_link.h"
#include "radio/zel_usb.h"
#include "tests/fuzz/support/fuzz_station.h"

namespace {

// Header: flags, Divide, and the three offsets as the radio sends them.
constexpr size_t kHeader = 2 + 12;

int g_lines = 0;
char g_mode = '1';

void checkLine(const char* type, const uint8_t* line, int length) {
  if (strcmp(type, "SP") != 0) return;
  g_lines++;
  const int want = g_mode == '0' ? 854 : 1706;
  if (length != want) fuzzFail("spectrum line length", std::to_string(length));
  for (int i = 0; i < length; i++)
    if (line[i] > 242) fuzzFail("spectrum level above 50 dB", std::to_string(line[i]));
}

float offset(const uint8_t* p) {
  float f;
  memcpy(&f, p, 4);
  // As the reader stores it: a value that is no number reads as 0.
  return std::isfinite(f) ? f : 0.0f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Works* w = fuzzWorks();
  fuzzSettle(w);
  if (size < kHeader) return 0;
  static bool tapped = false;
  if (!tapped) {
    setRadioFrameTap(checkLine);
    tapped = true;
  }
  const uint8_t flags = data[0];
  setRunByte(w->setup->spectrumSource, (flags & 1) ? '1' : '0');
  g_mode = (flags & 2) ? '0' : ((flags & 4) ? '1' : '7');
  w->setup->Enable1600 = g_mode;
  w->remoteConnected = (flags & 8) ? 1 : 0;
  const int32_t lp = (flags & 16) ? 1 : 0;
  {
    std::lock_guard<std::mutex> lk(*w->serMut);
    w->zelParam->Lp = lp;
  }
  w->Divide = static_cast<int8_t>(data[1]);
  ZelUsbState st;
  for (auto& f : st.fbuf) f.assign(kZelUsbSamples, 0.0f);
  st.globalOffset = offset(data + 2);
  st.lpOffset = offset(data + 6);
  st.attOffset = offset(data + 10);
  st.divide = (flags & 32) ? 1 : 3;

  // Each completion: index, status (signed bytes), a byte of the resubmit
  // result and the length's sign, a two-byte length, then up to that many
  // bytes into a transfer buffer.
  std::vector<uint8_t> buf(kZelUsbTransferBytes);
  size_t pos = kHeader;
  while (pos + 5 <= size) {
    const int index = static_cast<int8_t>(data[pos]);
    const int status = static_cast<int8_t>(data[pos + 1]);
    const int resubmitResult = data[pos + 2] & 1 ? -1 : 0;
    int length = (data[pos + 3] << 8) | data[pos + 4];
    if (data[pos + 2] & 2) length = -length;
    pos += 5;
    size_t take = length > 0 ? static_cast<size_t>(length) : 0;
    if (take > buf.size()) take = buf.size();
    if (take > size - pos) take = size - pos;
    std::fill(buf.begin(), buf.end(), 0);
    memcpy(buf.data(), data + pos, take);
    pos += take;
    const bool stopBefore = st.stop;
    int calls = 0;
    cb_in(w, st, index, status, buf.data(), length, [&](int i) {
      calls++;
      if (i != index) fuzzFail("resubmitted another transfer", std::to_string(i) + " for " + std::to_string(index));
      if (i < 0 || i >= kZelUsbTransfers) fuzzFail("resubmitted a transfer that does not exist", std::to_string(i));
      return resubmitResult;
    });
    if (stopBefore && calls != 0) fuzzFail("resubmitted after the stream stopped", "");
    if (st.err_counter >= 11 && calls != 0) fuzzFail("resubmitted past eleven failures", "");
    if (status == 0 && index >= 0 && index < kZelUsbTransfers && st.err_counter != 0)
      fuzzFail("a completed transfer left the failure count", std::to_string(st.err_counter));
  }
  w->remoteConnected = 0;
  return 0;
}
