// Framebuffer and drawing primitives. Colours are red, green, blue bytes.
//
// Three buffers of identical layout: the screen (device memory), the work
// buffer where every frame is composed, and the background buffer holding
// the current PNG picture. A frame is fbSetBack, drawing, fbRealize, or
// for the timer's frames fbFrameBegin, drawing, fbFrameEnd.
// Pixel (x, y) starts at byte y * lineSize + x * pixelSize.
#pragma once
#include <cstdint>
#include <mutex>
#include <vector>
struct Works;

// Pixels x0 <= x < x1, y0 <= y < y1.
struct FbRect {
  int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
};

// A set of screen regions as tiles of 8 x 4 pixels, or the whole screen.
// Adding a region marks its tiles (a few byte stores, however many
// regions a frame draws); a copy moves each run of marked tiles row by
// row.
struct FbDamage {
  static constexpr int kTileW = 8, kTileH = 4;
  int tilesX = 0, tilesY = 0;
  std::vector<uint8_t> tile;    // tilesX per tile row; 1 = marked
  int rowMin = 0, rowMax = -1;  // tile rows that may hold marks
  bool full = false;
  void reset(int xSize, int ySize);  // sized for the screen, empty
  void clear();
  void setFull() {
    clear();
    full = true;
  }
  bool empty() const { return !full && rowMax < rowMin; }
  // Adds a rectangle already kept to the screen.
  void add(const FbRect& r);
  void addAll(const FbDamage& d);
  // Tile rows ty0..ty1 may now hold marks (after marking tiles directly).
  void noteRows(int ty0, int ty1);
  // Whether any, or every, tile of a rectangle kept to the screen is marked.
  bool intersects(const FbRect& r) const;
  bool covers(const FbRect& r) const;
};

struct FbFrames;

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
  // Damage record, kept by the drawing primitives under drawMutex():
  // workDamage is where the work buffer may differ from the background,
  // screenDamage where the screen may differ from the work buffer (what
  // was restored or drawn since the last copy); a copy moves that. A
  // changed background (backChanged) makes the next restore and copy whole.
  FbDamage workDamage;
  FbDamage screenDamage;
  // The calls of the last frame and of this one (display/fb_record.h);
  // null for a record not made by fbInit or fbCreateMemory.
  FbFrames* frames = nullptr;
  bool backChanged = true;
  bool damageTracking = true;  // false: every restore and copy is whole
  unsigned realizeCount = 0;
  unsigned wholeRestores = 0;  // restores of the whole screen so far
  unsigned keptFrames = 0;     // frames drawn over the last one's calls
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

// Work buffer -> screen: only what was restored or drawn since the last
// copy (all of it after a background change or fbFullFrame, and every
// 256th copy, so that anything else that wrote to the display is painted
// over within seconds).
void fbRealize(FbInfo* fb);
// Background buffer -> work buffer: only where the work buffer differs
// from it, or all of it after a background change or fbFullFrame.
void fbSetBack(FbInfo* fb);

// A frame of the panel, under drawMutex(): fbFrameBegin restores like
// fbSetBack, fbFrameEnd copies like fbRealize. In between, drawing that
// repeats the previous frame's calls over unchanged tiles is kept from that
// frame instead of being restored and drawn again; what reaches the screen
// is byte for byte what fbSetBack, the drawing and fbRealize would show.
// The drawing may be done only at fbFrameEnd: code outside display/ does
// not read the work buffer in between (inside display/, whatever reads or
// writes a buffer directly has the frame drawn up to there first).
void fbFrameBegin(FbInfo* fb);
void fbFrameEnd(FbInfo* fb);

// The one call for "the background changed": whatever writes the
// background buffer other than through the primitives below (a picture
// received from the peer, a test) calls it after writing, under
// drawMutex(). The primitives, getPng into the background and putString
// with toBack call it themselves. The next restore and copy are whole.
void fbBackChanged(FbInfo* fb);
// A view, page or overlay switch: the next restore and copy are whole.
void fbFullFrame(FbInfo* fb);
// Records that the rows and columns given were written directly, not by a
// primitive (x0 <= x <= x1, y0 <= y <= y1, any order, may lie off the
// screen; a column off the row lands on the next or previous row, which
// this accounts for). For the drawing code of display/ only, after
// fbDirectWrite (display/fb_record.h).
void fbDamageSpan(FbInfo* fb, int toBack, long long x0, long long y0, long long x1,
                  long long y1);
// Damage tracking on (default) or off: off, every fbSetBack and fbRealize
// copies the whole screen. Tests compare the two; the result on screen is
// byte for byte the same.
void fbSetDamageTracking(FbInfo* fb, bool on);

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
// DrawLine from each of n points to the next, in order (one call, one
// record in a frame, for a trace of hundreds of segments).
void DrawPolyline(const int* xs, const int* ys, int n, uint8_t red, uint8_t green, uint8_t blue,
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
