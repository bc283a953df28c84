#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "amp/amp_status.h"
#include "core/globals.h"
#include "core/works.h"
#include "screens/artwork.h"
#include "screens/meters.h"
#include "tests/screens_pixels.h"
#include "tests/support/test_works.h"

namespace {

const Rgb3 kRed{255, 0, 0};

// A dark pixel (scale ink) within one pixel of (x, y) of a buffer.
bool darkNear(const uint8_t* buf, const FbInfo* fb, int x, int y) {
  for (int dy = -1; dy <= 1; dy++)
    for (int dx = -1; dx <= 1; dx++) {
      Rgb3 p = pixelAt(buf, fb, x + dx, y + dy);
      if (p.r + p.g + p.b < 200) return true;
    }
  return false;
}

class Meters : public ::testing::Test {
 protected:
  TestWorks tw;
  Works* w = nullptr;
  FbInfo* fb = nullptr;
  FbInfo* ref = nullptr;
  void SetUp() override {
    loadPanelFonts();
    w = tw.get();
    fb = fbCreateMemory(800, 480);
    ref = fbCreateMemory(800, 480);
    w->fb = fb;
    w->ampModel = '0';
    w->freq = 14070000;
    InitGrid();
    fattoremedia = 2;
    PeakDecrement = 1.0;
    PeakDecrementTime = 1;
    TimerPeakSec = 3000;
    peakLeft = PeakHold();
    peakRight = PeakHold();
  }
  void TearDown() override {
    fbRelease(fb);
    fbRelease(ref);
  }
  // Draws a work screen's artwork and makes it the background of fb.
  void artwork(const char* name) {
    fillBuffer(fb, fb->workBuf, 30, 30, 30);
    ASSERT_TRUE(drawWorkScreen(name, fb));
    memcpy(fb->backBuf, fb->workBuf, fb->memSize);
    fbSetBack(fb);
  }
};

}  // namespace

TEST(MeterScale, SwrToScalePosition) {
  EXPECT_FLOAT_EQ(CalcolaSWR(0.0f), 0.0f);  // no carrier
  EXPECT_FLOAT_EQ(CalcolaSWR(0.99f), 0.0f);
  EXPECT_FLOAT_EQ(CalcolaSWR(1.0f), 0.0f);
  EXPECT_FLOAT_EQ(CalcolaSWR(1.5f), 11.0f);
  EXPECT_FLOAT_EQ(CalcolaSWR(2.5f), 25.0f);
  EXPECT_FLOAT_EQ(CalcolaSWR(6.5f), 44.0f);
  EXPECT_FLOAT_EQ(CalcolaSWR(100.0f), 60.0f);
  EXPECT_FLOAT_EQ(CalcolaSWR(250.0f), 60.0f);
  EXPECT_FLOAT_EQ(CalcolaSWR(NAN), 0.0f);
}

TEST(MeterScale, NeedleAnglesAndTips) {
  EXPECT_NEAR(NeedleAngle(0, 60), 0.24 * 3.141692653, 1e-6);
  EXPECT_NEAR(NeedleAngle(60, 60), -0.24 * 3.141692653, 1e-6);
  EXPECT_NEAR(NeedleAngle(30, 60), 0.0, 1e-6);
  int x, y;
  NeedleTip(210, 260, NeedleAngle(30, 60), &x, &y);
  // 260 - 200 + 15, less the rounding of the quarter-turn constant
  EXPECT_EQ(x, 209);
  EXPECT_EQ(y, 74);
  NeedleTip(210, 260, NeedleAngle(0, 60), &x, &y);
  EXPECT_LT(x, 210);  // zero points up and to the left
  EXPECT_LT(y, 260);
  int x2, y2;
  NeedleTip(210, 260, NeedleAngle(60, 60), &x2, &y2);
  EXPECT_GT(x2, 210);
  EXPECT_EQ(y2, y);  // the scale is symmetric
}

TEST(MeterScale, PowerTexts) {
  TestWorks tw;
  char buf[32];
  FormatPower(tw.get(), 12.34f, buf, sizeof buf);
  EXPECT_STREQ(buf, "12.3W");
  FormatPower(tw.get(), 0.0f, buf, sizeof buf);
  EXPECT_STREQ(buf, "0.0W");
  tw->PowerUnits = 1;
  FormatPower(tw.get(), 0.0f, buf, sizeof buf);
  EXPECT_STREQ(buf, "---dBm");
  FormatPower(tw.get(), 1.0f, buf, sizeof buf);
  EXPECT_STREQ(buf, "30.0dBm");
  FormatPower(tw.get(), 0.0005f, buf, sizeof buf);  // below 1 mW
  EXPECT_STREQ(buf, "---dBm");
  FormatPower(tw.get(), -1.0f, buf, sizeof buf);  // a bad reading is no number
  EXPECT_STREQ(buf, "---dBm");
  EXPECT_NEAR(ConvertW_to_dBm(100.0), 50.0, 1e-9);
}

TEST(MeterScale, FrequencyTexts) {
  char buf[32];
  FormatFreq(999, buf, sizeof buf);
  EXPECT_STREQ(buf, "999Hz");
  FormatFreq(1000, buf, sizeof buf);
  EXPECT_STREQ(buf, "1.000kHz");
  FormatFreq(14070000, buf, sizeof buf);
  EXPECT_STREQ(buf, "14.070MHz");
  FormatFreq(999999, buf, sizeof buf);
  EXPECT_STREQ(buf, "999.999kHz");
  FormatFreq(0, buf, sizeof buf);
  EXPECT_STREQ(buf, "");
}

TEST(PeakHold, HoldDecayThenRunningAverage) {
  TimerPeakSec = 3000;
  fattoremedia = 2;
  PeakDecrement = 1.0;
  PeakDecrementTime = 1;
  PeakHold& p = peakLeft;
  p = PeakHold();
  CalcolaPwrPeak(50.0f);
  EXPECT_FLOAT_EQ(p.value, 50.0f);
  EXPECT_EQ(p.holdMs, 3000);
  CalcolaPwrPeak(10.0f);  // lower while held: no change
  EXPECT_FLOAT_EQ(p.value, 50.0f);
  // During the hold it drops by PeakDecrement every PeakDecrementTime + 1 cycles.
  PeakDecay(p, 10);  // counter 0 -> 1
  EXPECT_FLOAT_EQ(p.value, 50.0f);
  PeakDecay(p, 10);  // counter reached 1: decrement
  EXPECT_FLOAT_EQ(p.value, 49.0f);
  PeakDecay(p, 10);
  PeakDecay(p, 10);
  EXPECT_FLOAT_EQ(p.value, 48.0f);
  EXPECT_EQ(p.holdMs, 2960);
  // A higher value replaces it at once and restarts the hold.
  CalcolaPwrPeak(55.0f);
  EXPECT_FLOAT_EQ(p.value, 55.0f);
  EXPECT_EQ(p.holdMs, 3000);
  PeakDecay(p, 3000);
  EXPECT_LE(p.holdMs, 0);
  float v = p.value;
  PeakDecay(p, 10);  // hold over: no more decay
  EXPECT_FLOAT_EQ(p.value, v);
  CalcolaPwrPeak(10.0f);  // running average (2 x held + new) / 3
  EXPECT_FLOAT_EQ(p.value, (2 * v + 10.0f) / 3);
  // Decay never goes below zero.
  PeakHold q;
  q.value = 0.5f;
  q.holdMs = 100;
  q.decCount = 1;
  PeakDecay(q, 1);
  EXPECT_FLOAT_EQ(q.value, 0.0f);
  // The right channel is separate.
  peakRight = PeakHold();
  CalcolaPwrPeak2(7.0f);
  EXPECT_FLOAT_EQ(peakRight.value, 7.0f);
  EXPECT_FLOAT_EQ(peakLeft.value, (2 * v + 10.0f) / 3);
}

TEST(Plot, PointsAreClampedToThePlot) {
  InitGrid();
  EXPECT_EQ(r_x, 43);
  EXPECT_EQ(r_y, 17);
  EXPECT_EQ(bound_right, 758);
  EXPECT_EQ(b_bottom, 230);
  int x, y;
  CalculatePoint(0, -110.0f, &x, &y);  // the bottom level
  EXPECT_EQ(x, 70);
  EXPECT_EQ(y, 230);
  CalculatePoint(854, -10.0f, &x, &y);  // the top level at the right end
  EXPECT_EQ(x, 758);
  EXPECT_EQ(y, 60);
  CalculatePoint(427, -60.0f, &x, &y);
  EXPECT_EQ(x, 414);
  EXPECT_EQ(y, 145);
  CalculatePoint(10, 40.0f, &x, &y);
  EXPECT_EQ(y, 60);  // above the top line: on it
  CalculatePoint(10, -300.0f, &x, &y);
  EXPECT_EQ(y, 230);  // below the bottom line: on it
  CalculatePoint(10, 1e30f, &x, &y);
  EXPECT_EQ(y, 60);
  CalculatePoint(10, NAN, &x, &y);
  EXPECT_EQ(y, 230);
}

TEST_F(Meters, SwrNeedleLandsOnScalePositionEleven) {
  artwork("img3");
  w->ViewIdx = 2;
  w->SWR = 1.5f;
  w->FWD = 20.0f;
  PublishAmpStatus(w);
  DrawMeters(w);
  // The tick for SWR 1.5 sits on the needle's line, just past its tip.
  int tx, ty;
  NeedleTip(kRightPivotX, kRightPivotY, NeedleAngle(11, 60), &tx, &ty);
  EXPECT_EQ(workPixel(fb, tx, ty), kRed);
  int kx, ky;
  ScalePoint(kRightPivotX, kRightPivotY, 11, 60, kTickGap + kTickMajor / 2, &kx, &ky);
  EXPECT_TRUE(darkNear(fb->backBuf, fb, kx, ky)) << "no tick at position 11";
  // Position 11 lies between the ticks of 1.4 and 1.6: none there, and the
  // face shows on either side along the scale.
  int ax, ay;
  ScalePoint(kRightPivotX, kRightPivotY, 10.4f, 60, kTickGap + kTickMajor - 2, &ax, &ay);
  Rgb3 face = pixelAt(fb->backBuf, fb, ax, ay);
  EXPECT_GT(face.r + face.g + face.b, 500);
  // The needle is red from the pivot to the tip, and nowhere near position 20.
  int px, py;
  NeedleTip(kRightPivotX, kRightPivotY, NeedleAngle(20, 60), &px, &py);
  EXPECT_FALSE(workPixel(fb, px, py) == kRed);
  EXPECT_FLOAT_EQ(angleRight, NeedleAngle(11, 60));
}

TEST_F(Meters, ScalesMatchTheNeedlesOnEveryWorkScreen) {
  struct Case {
    const char* name;
    int leftFull;
  } cases[] = {{"img1", 60}, {"img1b", 120}, {"img3", 60}, {"img3b", 120}};
  for (const Case& c : cases) {
    artwork(c.name);
    for (int v = 0; v <= c.leftFull; v += (c.leftFull == 60 ? 10 : 20)) {
      int kx, ky;
      ScalePoint(kLeftPivotX, kLeftPivotY, static_cast<float>(v), c.leftFull, kTickGap + 6, &kx, &ky);
      EXPECT_TRUE(darkNear(fb->backBuf, fb, kx, ky)) << c.name << " forward tick " << v;
    }
  }
  artwork("img1");
  for (int v = 0; v <= 60; v += 10) {
    int kx, ky;
    ScalePoint(kRightPivotX, kRightPivotY, static_cast<float>(v), 60, kTickGap + 6, &kx, &ky);
    EXPECT_TRUE(darkNear(fb->backBuf, fb, kx, ky)) << "right tick " << v;
  }
  EXPECT_FALSE(drawWorkScreen("nothing", fb));
}

TEST_F(Meters, ForwardNeedleCapsAndViewTexts) {
  artwork("img1b");
  w->ampModel = '1';
  w->ViewIdx = 1;
  w->FWD = 150.0f;  // above the 120 W scale
  w->pwrRefl = 3.0f;
  PublishAmpStatus(w);
  DrawMeters(w);
  int tx, ty;
  NeedleTip(kLeftPivotX, kLeftPivotY, NeedleAngle(120, 120), &tx, &ty);
  EXPECT_EQ(workPixel(fb, tx, ty), kRed);
  EXPECT_EQ(number_ofStep_meter_FWD, 120);
  // Needles first, texts over them; the text shows the uncapped value.
  memcpy(ref->workBuf, fb->backBuf, fb->memSize);
  DrawNeedle(ref, kLeftPivotX, kLeftPivotY, NeedleAngle(120, 120), 255, 0, 0);
  DrawNeedle(ref, kRightPivotX, kRightPivotY, NeedleAngle(3, 60), 255, 0, 0);
  putString(8, 535, 160, "REFLECTED", 0, 0, 0, ref, 0, 0, 0, 0);
  putString(8, 565, 180, "3.0W", 0, 0, 0, ref, 0, 0, 0, 0);
  putString(8, 155, 160, "FORWARD", 0, 0, 0, ref, 0, 0, 0, 0);
  putString(8, 180, 180, "150.0W", 0, 0, 0, ref, 0, 0, 0, 0);
  EXPECT_EQ(regionDiff(fb, ref, 6, 64, 794, 274), 0);
}

TEST_F(Meters, PeakNeedleIsBlackAndHolds) {
  artwork("img1");
  w->ViewIdx = 3;
  w->EnablePwrPeak = 1;
  w->FWD = 10.0f;
  w->pwrPeak = 40.0f;
  w->pwrIn = 2.0f;
  PublishAmpStatus(w);
  DrawMeters(w);
  int tx, ty;
  NeedleTip(kLeftPivotX, kLeftPivotY, NeedleAngle(40, 60), &tx, &ty);
  EXPECT_EQ(workPixel(fb, tx, ty), (Rgb3{0, 0, 0}));
  NeedleTip(kLeftPivotX, kLeftPivotY, NeedleAngle(10, 60), &tx, &ty);
  EXPECT_EQ(workPixel(fb, tx, ty), kRed);
  EXPECT_FLOAT_EQ(peakRight.value, 2.0f);
  fbSetBack(fb);
  w->pwrPeak = 5.0f;  // lower: the peak needle stays up while held
  PublishAmpStatus(w);
  DrawMeters(w);
  NeedleTip(kLeftPivotX, kLeftPivotY, NeedleAngle(40, 60), &tx, &ty);
  EXPECT_EQ(workPixel(fb, tx, ty), (Rgb3{0, 0, 0}));
}

TEST_F(Meters, FrequencyReadOuts) {
  struct Case {
    long f;
    const char* text;
  } cases[] = {{999, "999Hz"}, {1000, "1.000kHz"}, {14070000, "14.070MHz"}};
  for (const Case& c : cases) {
    for (int view : {1, 4}) {
      fillBuffer(fb, fb->workBuf, 200, 200, 200);
      fillBuffer(ref, ref->workBuf, 200, 200, 200);
      w->freq = c.f;
      w->ViewIdx = view;
      DrawFreq(w);
      if (view == 4)
        putString(4, 339, 52, c.text, 250, 150, 0, ref, 0, 0, 0, 0);
      else
        putString(4, 339, 52, c.text, 0, 0, 0, ref, 0, 0, 0, 0);
      EXPECT_EQ(regionDiff(fb, ref, 300, 20, 560, 64), 0) << c.text << " view " << view;
      EXPECT_GT(regionCount(fb, 300, 20, 560, 64, [](const Rgb3& p) { return !(p == Rgb3{200, 200, 200}); }), 30);
    }
  }
  fillBuffer(fb, fb->workBuf, 200, 200, 200);
  w->freq = 0;
  DrawFreq(w);
  EXPECT_EQ(regionCount(fb, 0, 0, 800, 480, [](const Rgb3& p) { return !(p == Rgb3{200, 200, 200}); }), 0);
}

TEST_F(Meters, SpectrumGridAndTrace) {
  artwork("m5a");
  w->ViewIdx = 4;
  w->SpectrumSpan = 160000;
  w->OffsetPlot = 0;
  for (int i = 0; i < kSpectrumPoints; i++) w->spectrumLevels[i] = -60.0f;  // mid-plot
  w->spectrumLevels[400] = 20.0f;  // one spike off the top
  DrawGrid(w);
  const Rgb3 grey{120, 120, 120}, trace{250, 0, 150};
  // Grid lines: horizontal at 60 + 17 i, vertical at 70 + 43 i.
  EXPECT_EQ(workPixel(fb, 100, 60 + 17 * 3), grey);
  EXPECT_EQ(workPixel(fb, 70 + 43 * 5, 100), grey);
  EXPECT_EQ(workPixel(fb, 758, 200), grey);
  // The flat trace lies on y 145 away from the spike; the spike is cut at the top line.
  EXPECT_EQ(workPixel(fb, 100, 145), trace);
  EXPECT_EQ(workPixel(fb, 700, 145), trace);
  int sx, sy;
  CalculatePoint(400, 20.0f, &sx, &sy);
  EXPECT_EQ(sy, 60);
  EXPECT_EQ(workPixel(fb, sx, 60), trace);
  EXPECT_EQ(regionCount(fb, 0, 0, 800, 59, [&](const Rgb3& p) { return p == trace; }), 0);
  // The middle kHz label, against a fresh draw on the same background.
  memcpy(ref->workBuf, fb->backBuf, fb->memSize);
  putString(6, 70 + 43 * 8, 243, "0", 120, 180, 180, ref, 0, 0, 0, 0);
  EXPECT_EQ(regionDiff(fb, ref, 70 + 43 * 8 - 2, 232, 70 + 43 * 8 + 12, 246), 0);

  // The 80 kHz view uses the middle half of the levels.
  artwork("m5a");
  SelectPlotView(w, 5);
  w->ViewIdx = 5;
  EXPECT_EQ(divX, 8);
  EXPECT_EQ(xRangeEnd, 427);
  EXPECT_EQ(w->SpectrumSpan, 80000);
  for (int i = 0; i < kSpectrumPoints; i++) w->spectrumLevels[i] = (i < 213 || i > 639) ? -10.0f : -110.0f;
  DrawGrid(w);
  EXPECT_EQ(r_x, 86);
  EXPECT_EQ(workPixel(fb, 300, 230), trace);  // all on the bottom line
  EXPECT_EQ(regionCount(fb, 71, 61, 757, 229, [&](const Rgb3& p) { return p == trace; }), 0);
  SelectPlotView(w, 4);
}

TEST_F(Meters, SpectrumWithoutRadioRecordLiesOnTheFloor) {
  artwork("m5a");
  w->ViewIdx = 4;
  w->SpectrumSpan = 160000;
  w->serMut = nullptr;  // no radio record to copy from
  DrawGrid(w);
  const Rgb3 trace{250, 0, 150};
  EXPECT_EQ(workPixel(fb, 300, 230), trace);
  EXPECT_EQ(regionCount(fb, 0, 0, 800, 229, [&](const Rgb3& p) { return p == trace; }), 0);
}
