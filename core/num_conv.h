// Numbers read from the operator's files are held to their field's range
// before any conversion: a float or long outside the target type would
// otherwise convert with undefined behaviour, and the garbage would go out
// in a command.
#pragma once
#include <cmath>
#include <cstdint>
#include <cstdlib>

// v truncated towards zero and held to lo..hi; NaN gives lo.
inline int clampToInt(double v, int lo, int hi) {
  if (!(v >= lo)) return lo;  // NaN too
  if (v >= hi) return hi;
  return static_cast<int>(v);
}

inline long clampToLong(long long v, long lo, long hi) { return v < lo ? lo : (v > hi ? hi : static_cast<long>(v)); }

// strtol of text held to lo..hi (0 when there is no number, clamped too).
inline int parseIntClamped(const char* text, int lo, int hi) {
  long long v = strtoll(text, nullptr, 10);
  return static_cast<int>(clampToLong(v, lo, hi));
}

// strtoul of a frequency (base prefixes allowed) held to 0..UINT32_MAX; a
// negative text is 0.
inline uint32_t parseFreqClamped(const char* text) {
  while (*text == ' ' || *text == '\t') ++text;
  if (*text == '-') return 0;
  unsigned long long v = strtoull(text, nullptr, 0);
  return v > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(v);
}
