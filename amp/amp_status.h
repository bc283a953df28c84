// The amplifier's state as the Linear thread decoded it, published as one
// snapshot: the decoder writes its own fields of the record, then copies
// them here under a lock; every other thread reads a whole copy, never
// the decoder's fields while they change.
#pragma once
#include <cstdint>

struct Works;

struct AmpSnapshot {
  uint8_t ampStatus[3] = {};  // status bytes A, B, C
  uint16_t rawIn = 0, rawFwd = 0, rawRefl = 0;
  float pwrIn = 0, FWD = 0, pwrRefl = 0, pwrPeak = 0;  // W
  float SWR = 0;
  float paCurrentRaw = 0;
  float tempBoard = 0, tempHeatsink = 0;
  int freqMeasured = 0;
  char ampVersion[20] = {};
  char ampEeprom0[32] = {};
  char ampEeprom1[32] = {};
  uint32_t replies = 0;  // status replies decoded so far
};

// Copies the decoder's fields into the snapshot (the Linear thread after
// each reply; the operator unit's link thread after a station status).
void PublishAmpStatus(Works* w);
// A copy of the last published snapshot.
AmpSnapshot GetAmpStatus(Works* w);
