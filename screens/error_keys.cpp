// The error keys on the bottom row of the panel, drawn from copies of
// the error list's entries.
#include "screens/error_keys.h"

#include <mutex>

#include "amp/error_list.h"
#include "core/works.h"
#include "display/fb.h"
#include "display/text.h"

void DrawTastoErrore(Works* w, int x0, int x1, int index) {
  FbInfo* fb = w->fb;
  if (fb == nullptr) return;
  ErrDesc d;
  if (!ErrorKeyAt(w, index, &d)) return;
  uint8_t r = 250, g = 150, b = 0;  // orange
  if (d.flags & 1) {
    r = 255;
    g = 30;
    b = 0;
  }
  FillBox(x0, 370, x1, 415, r, g, b, fb, 0);
  DrawHorizontalLine(x0, 370, x1 + 1, 255, 255, 255, fb, 0);
  DrawHorizontalLine(x0, 415, x1 + 1, 255, 255, 255, fb, 0);
  DrawLine(x0, 370, x0, 415, 255, 255, 255, fb, 0);
  DrawLine(x1, 370, x1, 415, 255, 255, 255, fb, 0);
  putString(10, x0 + 4, 390, d.line1, 250, 250, 250, fb, 0, 0, 0, 0);
  putString(10, x0 + 4, 410, d.line2, 250, 250, 250, fb, 0, 0, 0, 0);
}

void DrawError(Works* w) {
  static const int kCols[6][2] = {{5, 130}, {133, 263}, {266, 396}, {399, 529}, {532, 662}, {665, 795}};
  if (w->overlay != 0) return;
  int n = ErrorCount(w);
  if (n <= 0) return;
  int first = n > 6 ? n - 6 : 0;
  std::lock_guard<std::recursive_mutex> draw(drawMutex());
  for (int i = first; i < n; i++) DrawTastoErrore(w, kCols[i - first][0], kCols[i - first][1], i);
}

