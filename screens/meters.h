// Needle meters, peak hold and the spectrum plot of the main screen.
#pragma once
#include <cstddef>
struct Works;
struct FbInfo;

// Plot geometry (InitGrid sets the defaults; the parameter pages change
// RefLevel, RefPos and PointDiv, the view choice divX and xRangeEnd).
extern int SchermoWidth, SchermoHeight, divX, divY;
extern int borderLeft, borderRight, borderTop, borderBottom;
extern int xRangeStart, xRangeEnd, LabelBorder;
extern int RefLevel, RefPos, PointDiv;
extern int r_x, r_y, bound_left, bound_right, b_top, b_bottom;

// SWR -> scale position pairs of the SWR meter.
constexpr int kConvSwrPairs = 12;
extern const float CONV_SWR[kConvSwrPairs][2];

// One peak-hold channel: hold time left (ms), held value, decay counter.
struct PeakHold {
  int holdMs = 0;
  float value = 0;
  int decCount = 0;
};
extern PeakHold peakLeft, peakRight;
// Needle angles (radians) as last drawn: value and peak needles.
extern float angleFWD, angleRight, anglePeakFWD, anglePeakRight;

// Needle pivots.
constexpr int kLeftPivotX = 210, kLeftPivotY = 260;
constexpr int kRightPivotX = 590, kRightPivotY = 260;

// Angle of the needle for value v on a scale of n steps.
float NeedleAngle(float v, int n);
// End point of a needle at angle theta from its pivot.
void NeedleTip(int px, int py, float theta, int* x, int* y);
// A 3-pixel needle from the pivot to its end point.
void DrawNeedle(FbInfo* fb, int px, int py, float theta, int red, int green, int blue);

// SWR (1..100) to a position on the 60-step SWR scale.
float CalcolaSWR(float swr);
double ConvertW_to_dBm(double watts);
// Power as shown under a meter: "%02.01fW", or in dBm with PowerUnits.
void FormatPower(Works* w, float watts, char* out, size_t size);

// Peak hold of the left (forward) and right meters.
void CalcolaPwrPeak(float x);
void CalcolaPwrPeak2(float x);
// Once per timer cycle, with the processor time the cycle took.
void PeakDecay(PeakHold& ch, int elapsedMs);

// Both meters for views 0..3.
void DrawMeters(Works* w);

void InitGrid();
// Spectrum views 4 (160 kHz) and 5 (80 kHz): plot width, right end and span.
void SelectPlotView(Works* w, int view);
// Screen position of plot point i at level dB; y clamped to the plot.
void CalculatePoint(int i, float level, int* x, int* y);
void DrawGrid(Works* w);

// Frequency read-out text ("999Hz", "1.000kHz", "14.070MHz"); "" for 0.
void FormatFreq(long hz, char* out, size_t size);
void DrawFreq(Works* w);
