// The frame record of the drawing primitives: display/ only.
//
// Between fbFrameBegin and fbFrameEnd every primitive drawing into the
// work buffer is recorded (operation, arguments, colour, text). When the
// previous frame was recorded too and nothing under it changed (the
// background, the fonts), the calls are only recorded, not drawn; at the
// end of the frame they are compared, position by position, with the
// previous frame's. Tiles touched by a call that differs (in either frame)
// or by a write the record does not describe are restored from the
// background and every call of the frame over them is drawn again, clipped
// to them; every other tile already holds the same calls drawn over the
// same background, so it is neither restored, drawn nor copied.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "display/fb.h"

enum class FbOpKind : uint8_t { HLine, Line, Box, Text, Poly };

struct FbOp {
  FbOpKind kind = FbOpKind::HLine;
  // Arguments in call order, colours included; unused ones stay 0.
  // HLine: x0 y x1 r g b. Line, Box: x0 y0 x1 y1 r g b.
  // Text: font x y r g b mirror rotate flip. Poly: n - - - r g b.
  int v[9] = {};
  // Text: its bytes; Poly: its points (x, y as 4-byte ints); in the
  // frame's pool.
  uint32_t textAt = 0, textLen = 0;
  FbRect rect;  // every pixel the call may touch (a line: its end points' box)
};

struct FbFrames {
  std::vector<FbOp> cur, prev;
  std::string curText, prevText;
  bool recording = false;  // inside fbFrameBegin .. fbFrameEnd
  bool deferred = false;   // calls recorded, drawing left to the end
  bool prevValid = false;  // work buffer = background + prev, but for stray
  unsigned generation = 0;
  // Work-buffer tiles written by anything the record does not describe.
  FbDamage stray;
  FbDamage redraw;  // scratch: tiles redrawn at the end of a frame
};

// The faces or glyph rendering changed: the same text call may draw other
// pixels, so no frame is kept from before.
void fbDrawingChanged();

// Before anything writes a buffer other than through a recorded call
// (toBack: the background; else the work buffer, which it may also read):
// a deferred frame is drawn up to here first. Then report the pixels with
// fbDamageSpan. Under drawMutex().
void fbDirectWrite(FbInfo* fb, int toBack);

// Draws op into the work buffer, or records it in a frame. text: the
// string of a Text op, the points of a Poly. Under drawMutex().
void fbDraw(FbInfo* fb, FbOp& op, const char* text);

// text.cpp: a Text op into buf (the work or background buffer), only over
// the tiles of clip when given; with buf null only measures. Sets *box to
// the pixels it touches (empty when none).
void fbTextRun(FbInfo* fb, const FbOp& op, const char* text, uint8_t* buf, const FbDamage* clip,
               FbRect* box);

// The rectangle of pixels x0..x1, y0..y1 (inclusive, any order, possibly
// off the screen) as the primitives touch them: a column off the row lands
// on another row, so such a span is whole rows between its first and last
// byte. Empty when nothing lands on the screen.
FbRect fbSpanRect(const FbInfo* fb, long long x0, long long y0, long long x1, long long y1);

// True when the pixel at byte offset o (row, col as placed) may be written
// under clip (null: no clip).
inline bool fbClipOk(const FbInfo* fb, const FbDamage* clip, long long row, long long col,
                     long long o) {
  if (clip == nullptr || clip->full) return true;
  if (col < 0 || col >= fb->xSize || row < 0 || row >= fb->ySize) {
    row = o / fb->lineSize;
    col = (o % fb->lineSize) / fb->pixelSize;
  }
  return clip->tile[(size_t)(row / FbDamage::kTileH) * clip->tilesX + col / FbDamage::kTileW] != 0;
}
