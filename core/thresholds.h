// The amplifier's protection thresholds as the shared record holds them:
// the set in force (SoglieTS), the band's own set (tsBandSet), the table
// row it came from (SoglieRowIdx) and the packed copy the link sends
// (tsWire). They change together, under tsMut. The choice of a set by
// frequency is the recall's (tuner/recall.h).
#pragma once
#include <climits>
#include <cstdint>

struct Works;

// Input power, forward power, reflected power, current (raw units).
constexpr int kDefaultThresholds[4] = {4095, 4095, 1500, 3700};
// SoglieRowIdx once the defaults went out: not negative (no resend) and
// never a row index.
constexpr int kThresholdsDefaultsRow = INT_MAX;

// Under tsMut: publishes v as the set in force (and, with band, as the
// band's set from rowIdx) and its packed copy.
void publishThresholdsLocked(Works* w, const int v[4], int rowIdx, bool band);
// The defaults, with no row: the next frequency check sends the band's own
// set again.
void ResetSoglieTS(Works* w);
// The four thresholds of a packed tsWire value.
void UnpackSoglieTS(uint64_t packed, int out[4]);
