// Framebuffer and drawing primitives. Colours are red, green, blue bytes.
//
// Three buffers of identical layout: the screen (device memory), the work
// buffer where every frame is composed, and the background buffer holding
// the current PNG picture. A frame is fbSetBack, drawing, fbRealize.
// Pixel (x, y) starts at byte y * lineSize + x * pixelSize.
#pragma once
#include <cstdint>
#include <mutex>
struct Works;

struct FbInfo {
  int xSize = 0;
  int ySize = 0;
  unsigned int memSize = 0;
  unsigned int lineSize = 0;
  unsigned int pixelSize = 0;
  uint8_t* fbMem = nullptr;
  uint8_t* workBuf = nullptr;
  uint8_t* backBuf = nullptr;
  bool mapped = false;  // fbMem is a mapping (else heap memory)
};

// Opens and maps "/dev/fb0" and allocates the two off-screen buffers.
// A regular file of at least 800 x 480 x 4 bytes in place of the device is
// mapped as a virtual 800 x 480, 32-bit screen. Returns null on failure.
FbInfo* fbInit();
// fbInit, or when there is no usable display an 800 x 480 x 32 screen in
// memory, so the controller keeps running with a dead panel. Never null.
FbInfo* fbInitOrMemory();
// A screen held wholly in memory (4-byte pixels, all buffers zeroed).
FbInfo* fbCreateMemory(int xSize, int ySize);
// Frees a record from fbInit or fbCreateMemory (tools and tests only).
void fbRelease(FbInfo* fb);
// Bytes per pixel for a bits-per-pixel depth; 0 for an unknown depth.
unsigned int fbPixelSize(unsigned int bitsPerPixel);

// Work buffer -> screen.
void fbRealize(FbInfo* fb);
// Background buffer -> work buffer.
void fbSetBack(FbInfo* fb);

// The drawing threads (main, timer, GPIO) compose frames in the same work
// buffer and share the fonts' glyph slots. Text, picture loading and the
// buffer copies take this lock themselves; hold it around a whole frame
// (fbSetBack ... fbRealize) to keep frames from interleaving. Recursive, so
// the routines called while holding it may take it again.
std::recursive_mutex& drawMutex();

// Every primitive draws into the work buffer when toBack is 0, else into
// the background buffer.

// Pixels x0 <= x < x1 on row y (nothing when x1 <= x0).
void DrawHorizontalLine(int x0, int y, int x1, uint8_t red, uint8_t green, uint8_t blue,
                        FbInfo* fb, int toBack);
// Bresenham line, both end points included; identical end points draw
// nothing. Points are clipped by byte offset: a point past the right edge
// lands at the start of the next row, points outside the buffer are dropped.
void DrawLine(int x0, int y0, int x1, int y1, uint8_t red, uint8_t green, uint8_t blue,
              FbInfo* fb, int toBack);
// Arc of whole degrees startDeg..endDeg (0 points right, counter-clockwise),
// joined point to point with DrawLine.
void DrawArc(int cx, int cy, int radius, int startDeg, int endDeg, uint8_t red, uint8_t green,
             uint8_t blue, FbInfo* fb, int toBack);
// Rectangle outline in the work buffer of w->fb.
void DrawRect(Works* w, int x0, int y0, int x1, int y1, uint8_t red, uint8_t green,
              uint8_t blue);
// Filled box min(x0,x1) <= x < max(x0,x1), min(y0,y1) <= y < max(y0,y1),
// in 4-byte pixel form.
void FillBox(int x0, int y0, int x1, int y1, uint8_t red, uint8_t green, uint8_t blue,
             FbInfo* fb, int toBack);
// Paints the work buffer's column x upward from row y to row 1, leaving
// pixels of the skip colour alone, and stops at the first white pixel.
void FillRow(int x, int y, uint8_t red, uint8_t green, uint8_t blue, FbInfo* fb,
             uint8_t skipRed, uint8_t skipGreen, uint8_t skipBlue);
