// PNG backgrounds.
#pragma once
#include <cstdint>
struct Works;

// Loads "<imgName>.png" from the working directory into the background
// buffer (toBack != 0) or the work buffer (then shown at once), at
// (imgX, imgY). Only 8-bit RGBA pictures that fit the screen are taken;
// anything else is logged and leaves the buffers as they were.
// Returns 0 on success, -1 on failure.
int getPng(Works* w, int toBack);

// Writes a width x height picture held as 4-byte pixels (blue, green, red,
// unused; lineSize bytes per row) to path as an 8-bit RGBA PNG, opaque.
// Returns 0 on success, -1 on failure (no partial file is left behind).
int writePngBgrx(const char* path, const uint8_t* pixels, int width, int height,
                 unsigned lineSize);

// Writes a PNG of any libpng colour type and bit depth from tightly packed
// rows already in PNG sample order (for an RGBA picture: red, green, blue,
// alpha bytes). Returns 0 on success, -1 on failure (no partial file is
// left behind).
int writePngRows(const char* path, const uint8_t* data, int width, int height, int colorType,
                 int bitDepth);
