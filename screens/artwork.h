// Artwork of the work screens (meter scales and spectrum frame), drawn
// with the panel's own primitives into fb's work buffer by the build-time
// screen tool. Returns false for a name it does not draw.
#pragma once
struct FbInfo;
bool drawWorkScreen(const char* name, FbInfo* fb);

// The point `beyond` pixels past the tip of the needle that shows value v
// on a scale of n steps, along the needle's own line: where the scales put
// their ticks, so that a needle points exactly at its tick.
void ScalePoint(int px, int py, float v, int n, double beyond, int* x, int* y);
// Scale ticks start this far past the needle tip.
constexpr double kTickGap = 3.0;
constexpr double kTickMajor = 12.0;
constexpr double kTickMinor = 7.0;
