// Pixel helpers for the picture tests of the panel screens: a virtual
// 800 x 480 x 4 screen with the panel's fonts, and region comparisons.
#pragma once
#include <cstdint>
#include <cstring>
#include <functional>

#include "display/fb.h"
#include "display/text.h"

struct Rgb3 {
  int r, g, b;
  bool operator==(const Rgb3& o) const { return r == o.r && g == o.g && b == o.b; }
};

inline Rgb3 pixelAt(const uint8_t* buf, const FbInfo* fb, int x, int y) {
  const uint8_t* p = buf + y * fb->lineSize + x * fb->pixelSize;
  return Rgb3{p[2], p[1], p[0]};
}
inline Rgb3 workPixel(const FbInfo* fb, int x, int y) { return pixelAt(fb->workBuf, fb, x, y); }

inline void fillBuffer(FbInfo* fb, uint8_t* buf, int r, int g, int b) {
  for (unsigned i = 0; i + 3 < fb->memSize; i += 4) {
    buf[i] = static_cast<uint8_t>(b);
    buf[i + 1] = static_cast<uint8_t>(g);
    buf[i + 2] = static_cast<uint8_t>(r);
    buf[i + 3] = 0;
  }
}

// Number of pixels in [x0,x1) x [y0,y1) where the two work buffers differ.
inline int regionDiff(const FbInfo* a, const FbInfo* b, int x0, int y0, int x1, int y1) {
  int n = 0;
  for (int y = y0; y < y1; y++)
    for (int x = x0; x < x1; x++)
      if (!(workPixel(a, x, y) == workPixel(b, x, y))) n++;
  return n;
}

// Pixels of the region that satisfy pred.
inline int regionCount(const FbInfo* fb, int x0, int y0, int x1, int y1,
                       const std::function<bool(const Rgb3&)>& pred) {
  int n = 0;
  for (int y = y0; y < y1; y++)
    for (int x = x0; x < x1; x++)
      if (pred(workPixel(fb, x, y))) n++;
  return n;
}

// Fonts are loaded once per test program.
inline void loadPanelFonts() {
  static bool loaded = false;
  if (!loaded) {
    LoadFontTable();
    loaded = true;
  }
}
