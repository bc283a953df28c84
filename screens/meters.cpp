#include "screens/meters.h"

#include <cmath>
#include <cstdio>

#include "amp/amp_status.h"
#include "core/globals.h"
#include "core/works.h"
#include "display/fb.h"
#include "display/text.h"
#include "radio/zel_link.h"

int SchermoWidth, SchermoHeight, divX, divY;
int borderLeft, borderRight, borderTop, borderBottom;
int xRangeStart, xRangeEnd, LabelBorder;
int RefLevel, RefPos, PointDiv;
int r_x, r_y, bound_left, bound_right, b_top, b_bottom;

const float CONV_SWR[kConvSwrPairs][2] = {
    {1.0f, 0}, {1.5f, 11}, {2, 20}, {3, 30}, {4, 36}, {5, 40},
    {6, 43},   {7, 45},    {8, 47}, {9, 48}, {10, 50}, {100, 60},
};

PeakHold peakLeft, peakRight;
float angleFWD, angleRight, anglePeakFWD, anglePeakRight;

namespace {
const double kPi = 3.141692653;          // the meter artwork is laid out with this value
const double kQuarter = 1.5708463265;
const int kNeedleLen = 200;
const int kNeedleOffset = 15;
}  // namespace

float NeedleAngle(float v, int n) {
  if (n <= 0) n = 1;
  double th = (0.24 - v * 0.48 / n) * kPi;
  return static_cast<float>(th);
}

void NeedleTip(int px, int py, float theta, int* x, int* y) {
  double t = theta;
  *x = static_cast<int>(px - kNeedleLen * std::sin(t) + kNeedleOffset * std::cos(t + kQuarter));
  *y = static_cast<int>(py - kNeedleLen * std::cos(t) + kNeedleOffset * std::sin(t + kQuarter));
}

void DrawNeedle(FbInfo* fb, int px, int py, float theta, int red, int green, int blue) {
  int x, y;
  NeedleTip(px, py, theta, &x, &y);
  for (int d = -1; d <= 1; d++)
    DrawLine(px + d, py, x, y, static_cast<uint8_t>(red), static_cast<uint8_t>(green),
             static_cast<uint8_t>(blue), fb, 0);
}

float CalcolaSWR(float swr) {
  if (!(swr >= CONV_SWR[0][0])) return 0;  // below 1.0, and no reading at all
  for (int i = 1; i < kConvSwrPairs; i++) {
    if (CONV_SWR[i][0] > swr) {
      float s0 = CONV_SWR[i - 1][0], p0 = CONV_SWR[i - 1][1];
      float s1 = CONV_SWR[i][0], p1 = CONV_SWR[i][1];
      return p0 + (p1 - p0) * (swr - s0) / (s1 - s0);
    }
  }
  return CONV_SWR[kConvSwrPairs - 1][1];
}

double ConvertW_to_dBm(double watts) { return 10.0 * std::log10(watts * 1000.0); }

void FormatPower(Works* w, float watts, char* out, size_t size) {
  if (w->PowerUnits == 0) {
    snprintf(out, size, "%02.01fW", watts);
    return;
  }
  double dbm = ConvertW_to_dBm(watts);
  // No power (log of 0) or a reading below 1 mW has no place on this scale.
  if (!(dbm >= 0))
    snprintf(out, size, "---dBm");
  else
    snprintf(out, size, "%02.01fdBm", dbm);
}

static void peakFeed(PeakHold& ch, float x) {
  if (x > ch.value) {
    ch.holdMs = TimerPeakSec;
    ch.value = x;
  } else if (ch.holdMs <= 0) {
    ch.value = (fattoremedia * ch.value + x) / (fattoremedia + 1);
  }
}

void CalcolaPwrPeak(float x) { peakFeed(peakLeft, x); }
void CalcolaPwrPeak2(float x) { peakFeed(peakRight, x); }

void PeakDecay(PeakHold& ch, int elapsedMs) {
  if (ch.holdMs <= 0) return;
  ch.holdMs -= elapsedMs;
  if (ch.decCount >= PeakDecrementTime) {
    ch.value = static_cast<float>(ch.value - PeakDecrement);
    if (ch.value < 0) ch.value = 0;
    ch.decCount = 0;
  } else {
    ch.decCount++;
  }
}

static float capAt(float v, float cap) {
  if (!(v >= 0)) return 0;  // negative or NaN readings rest at zero
  return v > cap ? cap : v;
}

static void text8(FbInfo* fb, int x, int y, const char* s) { putString(8, x, y, s, 0, 0, 0, fb, 0, 0, 0, 0); }

void DrawMeters(Works* w) {
  FbInfo* fb = w->fb;
  if (fb == nullptr) return;
  bool m120 = w->ampModel == '1';
  number_ofStep_meter_FWD = m120 ? 120 : 60;
  const AmpSnapshot a = GetAmpStatus(w);

  // Left meter: forward power.
  float fwd = capAt(a.FWD, m120 ? 120.0f : 60.0f);
  if (w->EnablePwrPeak) {
    CalcolaPwrPeak(a.pwrPeak);
    // The held peak may exceed the scale; its needle stops at full scale.
    anglePeakFWD = NeedleAngle(capAt(peakLeft.value, static_cast<float>(number_ofStep_meter_FWD)),
                               number_ofStep_meter_FWD);
    DrawNeedle(fb, kLeftPivotX, kLeftPivotY, anglePeakFWD, 0, 0, 0);
  }
  angleFWD = NeedleAngle(fwd, number_ofStep_meter_FWD);
  DrawNeedle(fb, kLeftPivotX, kLeftPivotY, angleFWD, 255, 0, 0);

  // Right meter by view.
  char buf[32];
  float right = 0;
  int steps = 0;
  switch (w->ViewIdx) {
    case 1:
      right = capAt(a.pwrRefl, 60.0f);
      steps = number_ofStep_meter_REFL;
      text8(fb, 535, 160, "REFLECTED");
      FormatPower(w, a.pwrRefl, buf, sizeof buf);
      text8(fb, 565, 180, buf);
      break;
    case 2: {
      float swr = a.SWR;
      if (!(swr >= 0)) swr = 0;
      if (swr > 100) swr = 100;
      right = CalcolaSWR(swr);
      steps = number_ofStep_meter_SWR;
      text8(fb, 570, 160, "SWR");
      snprintf(buf, sizeof buf, "%02.01f", swr);
      text8(fb, 580, 180, buf);
      break;
    }
    case 3:
      right = capAt(a.pwrIn, 60.0f);
      steps = number_ofStep_meter_PW;
      text8(fb, 560, 160, "PRWIN");
      FormatPower(w, a.pwrIn, buf, sizeof buf);
      text8(fb, 570, 180, buf);
      break;
    default:
      break;
  }
  if (steps > 0) {
    if (w->EnablePwrPeak) {
      CalcolaPwrPeak2(right);
      anglePeakRight = NeedleAngle(capAt(peakRight.value, static_cast<float>(steps)), steps);
      DrawNeedle(fb, kRightPivotX, kRightPivotY, anglePeakRight, 0, 0, 0);
    }
    angleRight = NeedleAngle(right, steps);
    DrawNeedle(fb, kRightPivotX, kRightPivotY, angleRight, 255, 0, 0);
  }

  DrawFreq(w);
  text8(fb, 155, 160, "FORWARD");
  FormatPower(w, a.FWD, buf, sizeof buf);
  text8(fb, 180, 180, buf);
}

static void recomputeBounds() {
  int dx = divX > 0 ? divX : 1;
  int dy = divY > 0 ? divY : 1;
  r_x = (SchermoWidth - borderLeft - borderRight) / dx;
  r_y = (SchermoHeight - borderTop - borderBottom) / dy;
  bound_left = borderLeft;
  bound_right = divX * r_x + borderLeft;
  b_top = borderTop;
  b_bottom = divY * r_y + borderTop;
}

void InitGrid() {
  SchermoWidth = 800;
  SchermoHeight = 280;
  divX = 16;
  divY = 10;
  borderLeft = 70;
  borderRight = 40;
  borderTop = 60;
  borderBottom = 50;
  xRangeStart = 0;
  xRangeEnd = 854;
  LabelBorder = 4;
  RefLevel = -110;
  RefPos = 0;
  PointDiv = 10;
  recomputeBounds();
}

void SelectPlotView(Works* w, int view) {
  if (view == 5) {
    divX = 8;
    xRangeEnd = 427;
    w->SpectrumSpan = 80000;
  } else {
    divX = 16;
    xRangeEnd = 854;
    w->SpectrumSpan = 160000;
  }
}

static double plotBottom() { return RefLevel - static_cast<double>(PointDiv) * RefPos; }
static double plotTop() { return plotBottom() + static_cast<double>(PointDiv) * divY; }

void CalculatePoint(int i, float level, int* x, int* y) {
  double span = xRangeEnd - xRangeStart;
  if (span == 0) span = 1;
  *x = static_cast<int>(bound_left + (i - xRangeStart) / span * (bound_right - borderLeft));
  double bottom = plotBottom(), top = plotTop();
  double range = top - bottom;
  if (range == 0) range = 1;
  double yy = b_bottom - (level - bottom) / range * (b_bottom - borderTop);
  // Clamp before converting: a wild level must not overflow the int.
  if (!(yy >= borderTop)) yy = std::isnan(yy) ? b_bottom : borderTop;
  if (yy > b_bottom) yy = b_bottom;
  *y = static_cast<int>(yy);
}

void DrawGrid(Works* w) {
  FbInfo* fb = w->fb;
  if (fb == nullptr) return;
  recomputeBounds();
  int bottom = static_cast<int>(plotBottom());
  int top = bottom + PointDiv * divY;
  char buf[32];

  putString(8, borderLeft - 35, borderTop - r_y, "dBm", 120, 180, 180, fb, 0, 0, 0, 0);
  for (int i = 0; i <= divY; i++) {
    int y = b_top + i * r_y;
    DrawLine(bound_left, y, bound_right, y, 120, 120, 120, fb, 0);
    snprintf(buf, sizeof buf, "%d", top - i * PointDiv);
    putString(6, bound_left - 35, y, buf, 120, 180, 180, fb, 0, 0, 0, 0);
  }
  long span = w->SpectrumSpan;
  for (int i = 0; i <= divX; i++) {
    int x = bound_left + i * r_x;
    DrawLine(x, b_top, x, b_bottom, 120, 120, 120, fb, 0);
    long k = i * 10L - span / 2000;
    int lx = x;
    if (k > 0) {
      snprintf(buf, sizeof buf, "+%ld", k);
      lx = x - 10;
    } else if (k == 0) {
      snprintf(buf, sizeof buf, "%ld", k);
    } else {
      snprintf(buf, sizeof buf, "%ld", k);
      lx = x - 10;
    }
    putString(6, lx, b_bottom + 13, buf, 120, 180, 180, fb, 0, 0, 0, 0);
  }

  // Without a radio record the copy leaves the array alone: plot the floor.
  float levels[kSpectrumPoints];
  for (float& l : levels) l = -192.0f;
  getSpectrumLevels(w, levels);
  int base = w->ViewIdx == 5 ? 213 : 0;
  float off = static_cast<float>(w->OffsetPlot);
  // The trace as one polyline: point i joined to point i + 1.
  int px[kSpectrumPoints], py[kSpectrumPoints];
  int n = 0;
  for (int i = 0; i <= xRangeEnd - 1 && n < kSpectrumPoints; i++) {
    int a = base + i;
    if (a < 0 || a >= kSpectrumPoints) break;
    CalculatePoint(i, levels[a] + off, &px[n], &py[n]);
    n++;
  }
  DrawPolyline(px, py, n, 250, 0, 150, fb, 0);
  DrawFreq(w);
}

void FormatFreq(long hz, char* out, size_t size) {
  if (hz == 0) {
    out[0] = '\0';
    return;
  }
  float f = static_cast<float>(hz);
  if (f < 1000)
    snprintf(out, size, "%.00fHz", f);
  else if (f < 1000000)
    snprintf(out, size, "%.03fkHz", f / 1000);
  else
    snprintf(out, size, "%.03fMHz", f / 1000000);
}

void DrawFreq(Works* w) {
  long f = w->freq;
  if (f == 0 || w->fb == nullptr) return;
  char buf[32];
  FormatFreq(f, buf, sizeof buf);
  int x = (bound_right - bound_left) / 2 + bound_left - 75;
  int y = b_top - r_y / 2;
  if (w->ViewIdx > 3)
    putString(4, x, y, buf, 250, 150, 0, w->fb, 0, 0, 0, 0);
  else
    putString(4, x, y, buf, 0, 0, 0, w->fb, 0, 0, 0, 0);
}
