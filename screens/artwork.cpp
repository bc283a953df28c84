#include "screens/artwork.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "display/fb.h"
#include "display/text.h"
#include "screens/meters.h"

namespace {

const int kLabelFont = 6;
struct Rgb {
  uint8_t r, g, b;
};
const Rgb kFace = {236, 232, 218};
const Rgb kFaceShade = {222, 216, 198};
const Rgb kInk = {40, 40, 40};
const Rgb kRim = {90, 90, 96};
const Rgb kRed = {200, 30, 20};
const Rgb kGrey = {120, 130, 150};

void line(FbInfo* fb, int x0, int y0, int x1, int y1, Rgb c) { DrawLine(x0, y0, x1, y1, c.r, c.g, c.b, fb, 0); }
void box(FbInfo* fb, int x0, int y0, int x1, int y1, Rgb c) { FillBox(x0, y0, x1, y1, c.r, c.g, c.b, fb, 0); }
void frame(FbInfo* fb, int x0, int y0, int x1, int y1, Rgb c) {
  line(fb, x0, y0, x1, y0, c);
  line(fb, x0, y1, x1, y1, c);
  line(fb, x0, y0, x0, y1, c);
  line(fb, x1, y0, x1, y1, c);
}
void text(FbInfo* fb, int font, int x, int y, const char* s, Rgb c) {
  putString(font, x, y, s, c.r, c.g, c.b, fb, 0, 0, 0, 0);
}

// Unit vector from the pivot towards the needle tip for value v.
void needleDir(int px, int py, float v, int n, double* ux, double* uy, int* tx, int* ty) {
  NeedleTip(px, py, NeedleAngle(v, n), tx, ty);
  double dx = *tx - px, dy = *ty - py;
  double len = std::sqrt(dx * dx + dy * dy);
  *ux = dx / len;
  *uy = dy / len;
}

void tick(FbInfo* fb, int px, int py, float v, int n, double len, Rgb c) {
  int x0, y0, x1, y1;
  ScalePoint(px, py, v, n, kTickGap, &x0, &y0);
  ScalePoint(px, py, v, n, kTickGap + len, &x1, &y1);
  line(fb, x0, y0, x1, y1, c);
}

// A label centred on the needle's line past the major tick.
void label(FbInfo* fb, int px, int py, float v, int n, const char* s) {
  int cx, cy;
  ScalePoint(px, py, v, n, kTickGap + kTickMajor + 12, &cx, &cy);
  int w = getStringSpace(kLabelFont, s);
  text(fb, kLabelFont, cx - w / 2, cy + 5, s, kInk);
}

// The scale's base line: a polyline through the tick feet.
void baseLine(FbInfo* fb, int px, int py, float from, float to, int n, double beyond, Rgb c) {
  int steps = static_cast<int>((to - from) * 4);
  if (steps < 1) steps = 1;
  int lx = 0, ly = 0;
  for (int i = 0; i <= steps; i++) {
    float v = from + (to - from) * i / steps;
    int x, y;
    ScalePoint(px, py, v, n, beyond, &x, &y);
    if (i > 0) line(fb, lx, ly, x, y, c);
    lx = x;
    ly = y;
  }
}

void hub(FbInfo* fb, int px, int py) {
  for (int r = 1; r <= 9; r++) DrawArc(px, py, r, 0, 360, kRim.r, kRim.g, kRim.b, fb, 0);
  DrawArc(px, py, 10, 0, 360, kInk.r, kInk.g, kInk.b, fb, 0);
}

void powerScale(FbInfo* fb, int px, int py, int full, const char* unit) {
  int labelStep = full > 60 ? 20 : 10;
  int minorStep = full > 60 ? 10 : 5;
  int microStep = full > 60 ? 2 : 1;
  baseLine(fb, px, py, 0, full, full, kTickGap, kInk);
  // Upper sixth of the scale in red: near full power.
  for (int d = 0; d < 3; d++) baseLine(fb, px, py, full * 5.0f / 6, full, full, kTickGap + kTickMajor - d, kRed);
  for (int v = 0; v <= full; v += microStep) {
    double len = v % labelStep == 0 ? kTickMajor : v % minorStep == 0 ? kTickMinor : 4.0;
    tick(fb, px, py, static_cast<float>(v), full, len, kInk);
  }
  char buf[16];
  for (int v = 0; v <= full; v += labelStep) {
    snprintf(buf, sizeof buf, "%d", v);
    label(fb, px, py, static_cast<float>(v), full, buf);
  }
  int w = getStringSpace(kLabelFont, unit);
  text(fb, kLabelFont, px - w / 2, py - 120, unit, kGrey);
}

void swrScale(FbInfo* fb, int px, int py) {
  const int n = 60;
  baseLine(fb, px, py, 0, n, n, kTickGap, kInk);
  // From SWR 3 up the match is poor: red.
  for (int d = 0; d < 3; d++) baseLine(fb, px, py, CalcolaSWR(3.0f), n, n, kTickGap + kTickMajor - d, kRed);
  // Minor ticks between the listed pairs.
  static const float kMinor[] = {1.1f, 1.2f, 1.3f, 1.4f, 1.6f, 1.7f, 1.8f, 1.9f, 2.5f};
  for (float s : kMinor) tick(fb, px, py, CalcolaSWR(s), n, 4.0, kInk);
  for (int i = 0; i < kConvSwrPairs; i++) tick(fb, px, py, CONV_SWR[i][1], n, kTickMajor, kInk);
  static const char* kLabels[] = {"1", "1.5", "2", "3", "4", "5", nullptr, nullptr, nullptr, nullptr, "10", "\xE2\x88\x9E"};
  for (int i = 0; i < kConvSwrPairs; i++)
    if (kLabels[i] != nullptr) label(fb, px, py, CONV_SWR[i][1], n, kLabels[i]);
  int w = getStringSpace(kLabelFont, "SWR");
  text(fb, kLabelFont, px - w / 2, py - 120, "SWR", kGrey);
}

void topBar(FbInfo* fb, const char* title) {
  box(fb, 0, 0, 800, 24, Rgb{14, 16, 22});
  line(fb, 0, 24, 799, 24, Rgb{60, 66, 80});
  text(fb, kLabelFont, 12, 17, "ZEL PYX", Rgb{250, 150, 0});
  text(fb, kLabelFont, 84, 17, title, kGrey);
}

void meterScreen(FbInfo* fb, bool fwd120, bool swr) {
  topBar(fb, swr ? "FORWARD  \xC2\xB7  SWR" : "FORWARD  \xC2\xB7  REFLECTED / INPUT");
  // One light face for both meters; the read-outs are drawn in black on it.
  box(fb, 6, 28, 794, 274, kFace);
  frame(fb, 6, 28, 793, 273, kRim);
  frame(fb, 8, 30, 791, 271, kFaceShade);
  // Frequency window.
  box(fb, 330, 31, 488, 59, kFaceShade);
  frame(fb, 330, 31, 487, 58, kRim);
  // Boxes for the captions and values under each scale.
  for (int cx : {kLeftPivotX, kRightPivotX}) {
    box(fb, cx - 75, 142, cx + 75, 188, kFaceShade);
    frame(fb, cx - 75, 142, cx + 74, 187, Rgb{200, 194, 176});
  }
  powerScale(fb, kLeftPivotX, kLeftPivotY, fwd120 ? 120 : 60, "W");
  if (swr)
    swrScale(fb, kRightPivotX, kRightPivotY);
  else
    powerScale(fb, kRightPivotX, kRightPivotY, 60, "W");
  hub(fb, kLeftPivotX, kLeftPivotY);
  hub(fb, kRightPivotX, kRightPivotY);
}

void spectrumScreen(FbInfo* fb) {
  topBar(fb, "SPECTRUM");
  InitGrid();
  // Dark trace area inside the grid, a frame just outside it (clear of
  // the level labels on the left and the kHz labels underneath).
  box(fb, bound_left - 1, b_top - 2, bound_right + 3, b_bottom + 2, Rgb{8, 10, 16});
  line(fb, bound_left - 1, b_top - 3, bound_right + 3, b_top - 3, Rgb{70, 80, 100});
  line(fb, bound_left - 1, b_bottom + 2, bound_right + 3, b_bottom + 2, Rgb{70, 80, 100});
  line(fb, bound_right + 3, b_top - 3, bound_right + 3, b_bottom + 2, Rgb{70, 80, 100});
  // Frequency window behind the orange read-out.
  int fx = (bound_right - bound_left) / 2 + bound_left - 75;
  box(fb, fx - 9, 30, fx + 149, 55, Rgb{20, 24, 34});
  frame(fb, fx - 9, 30, fx + 148, 54, Rgb{70, 80, 100});
  text(fb, kLabelFont, bound_right - 24, b_bottom + 13 + 16, "kHz", kGrey);
}

}  // namespace

void ScalePoint(int px, int py, float v, int n, double beyond, int* x, int* y) {
  double ux, uy;
  int tx, ty;
  needleDir(px, py, v, n, &ux, &uy, &tx, &ty);
  *x = static_cast<int>(std::lround(tx + ux * beyond));
  *y = static_cast<int>(std::lround(ty + uy * beyond));
}

bool drawWorkScreen(const char* name, FbInfo* fb) {
  if (fb == nullptr || name == nullptr) return false;
  if (strcmp(name, "img1") == 0) {
    meterScreen(fb, false, false);
  } else if (strcmp(name, "img1b") == 0) {
    meterScreen(fb, true, false);
  } else if (strcmp(name, "img3") == 0) {
    meterScreen(fb, false, true);
  } else if (strcmp(name, "img3b") == 0) {
    meterScreen(fb, true, true);
  } else if (strcmp(name, "m5a") == 0) {
    spectrumScreen(fb);
  } else {
    return false;
  }
  return true;
}
