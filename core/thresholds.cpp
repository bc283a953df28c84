#include "core/thresholds.h"

#include <mutex>

#include "core/works.h"

namespace {

uint64_t packThresholds(const int v[4]) {
  uint64_t p = 0;
  for (int i = 3; i >= 0; --i) p = (p << 16) | uint64_t(v[i] < 0 ? 0 : (v[i] > 9999 ? 9999 : v[i]));
  return p;
}

}  // namespace

void UnpackSoglieTS(uint64_t packed, int out[4]) {
  for (int i = 0; i < 4; ++i) out[i] = int((packed >> (16 * i)) & 0xFFFF);
}

void publishThresholdsLocked(Works* w, const int v[4], int rowIdx, bool band) {
  for (int i = 0; i < 4; ++i) w->SoglieTS[i] = v[i];
  if (band) {
    for (int i = 0; i < 4; ++i) w->tsBandSet[i] = v[i];
    w->SoglieRowIdx = rowIdx;
  }
  w->tsWire.store(packThresholds(v));
}

void ResetSoglieTS(Works* w) {
  std::lock_guard<std::mutex> lk(w->tsMut);
  publishThresholdsLocked(w, kDefaultThresholds, -1, true);
}
