#include "display/fb.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/fb.h>
#include <new>
#include <utility>
#include <vector>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "core/works.h"
#include "display/fb_record.h"
#include "platform/log.h"
#include "platform/paths.h"

namespace {

// Size of the panel the screens are laid out for; also the virtual screen
// used when "/dev/fb0" is a plain file or missing altogether.
constexpr int kPanelX = 800;
constexpr int kPanelY = 480;
constexpr unsigned kPanelBytes = kPanelX * kPanelY * 4;

// Copies the regions of d from src to dst (same layout), row run by row run.
void copyRegions(const FbInfo* fb, uint8_t* dst, const uint8_t* src, const FbDamage& d) {
  if (d.full) {
    memcpy(dst, src, fb->memSize);
    return;
  }
  const size_t ps = fb->pixelSize, ls = fb->lineSize, mem = fb->memSize;
  for (int ty = d.rowMin; ty <= d.rowMax; ty++) {
    const uint8_t* t = &d.tile[(size_t)ty * d.tilesX];
    for (int a = 0; a < d.tilesX;) {
      if (!t[a]) {
        a++;
        continue;
      }
      int b = a + 1;
      while (b < d.tilesX && t[b]) b++;
      int x0 = a * FbDamage::kTileW, x1 = b * FbDamage::kTileW;
      if (x1 > fb->xSize) x1 = fb->xSize;
      const size_t len = (size_t)(x1 - x0) * ps;
      int y1 = (ty + 1) * FbDamage::kTileH;
      if (y1 > fb->ySize) y1 = fb->ySize;
      for (int y = ty * FbDamage::kTileH; y < y1; y++) {
        size_t o = (size_t)y * ls + (size_t)x0 * ps;
        // 5- and 15-bit depths hold fewer bytes than rows x lineSize.
        if (o >= mem) break;
        memcpy(dst + o, src + o, o + len > mem ? mem - o : len);
      }
      a = b;
    }
  }
}

// Stores one pixel in the display's own form; pixel sizes 1 and 3 have no
// packing and are left alone.
inline void packPixel(uint8_t* p, unsigned pixelSize, uint8_t r, uint8_t g, uint8_t b) {
  if (pixelSize == 4) {
    p[0] = b;
    p[1] = g;
    p[2] = r;
    p[3] = 0;
  } else if (pixelSize == 2) {
    p[0] = (uint8_t)((((g >> 2) & 7) << 5) | (b >> 3));
    p[1] = (uint8_t)((r & 0xF8) | (g >> 5));
  }
}

inline bool packable(const FbInfo* fb) { return fb->pixelSize == 2 || fb->pixelSize == 4; }

// Allocates the two off-screen buffers; false when memory is short.
bool allocBuffers(FbInfo* fb) {
  fb->workBuf = static_cast<uint8_t*>(calloc(fb->memSize, 1));
  fb->backBuf = static_cast<uint8_t*>(calloc(fb->memSize, 1));
  if (fb->workBuf == nullptr || fb->backBuf == nullptr) {
    free(fb->workBuf);
    free(fb->backBuf);
    fb->workBuf = fb->backBuf = nullptr;
    return false;
  }
  fb->frames = new (std::nothrow) FbFrames();
  if (fb->frames == nullptr) {
    free(fb->workBuf);
    free(fb->backBuf);
    fb->workBuf = fb->backBuf = nullptr;
    return false;
  }
  fb->workDamage.reset(fb->xSize, fb->ySize);
  fb->screenDamage.reset(fb->xSize, fb->ySize);
  fb->frames->stray.reset(fb->xSize, fb->ySize);
  fb->frames->redraw.reset(fb->xSize, fb->ySize);
  // Nothing is known of the screen yet: the first restore and copy are whole.
  fb->screenDamage.setFull();
  fb->backChanged = true;
  return true;
}

// Damage is kept only for a record sized by allocBuffers; any other
// record is restored and copied whole.
bool tracking(const FbInfo* fb) {
  return fb->damageTracking && !fb->workDamage.tile.empty() &&
         fb->workDamage.tilesX == fb->screenDamage.tilesX &&
         fb->workDamage.tilesY == fb->screenDamage.tilesY;
}

// Frames are recorded for the 4-byte screens whose rows are whole (the
// panel, screens in memory): their primitives can be clipped to tiles
// pixel by pixel.
bool recordable(const FbInfo* fb) {
  return tracking(fb) && fb->frames != nullptr && fb->pixelSize == 4 &&
         fb->lineSize == (unsigned)fb->xSize * 4 && fb->memSize == fb->lineSize * (unsigned)fb->ySize &&
         fb->frames->stray.tilesX == fb->workDamage.tilesX &&
         fb->frames->stray.tilesY == fb->workDamage.tilesY;
}

unsigned g_drawGeneration = 0;

// The console-cursor hide sequence goes to the text console under the panel.
std::string cursorOffCommand() {
  std::string tty = rootPath("/dev/tty0");
  std::string quoted;
  bool plain = true;
  for (char c : tty)
    if (!(isalnum((unsigned char)c) || c == '/' || c == '.' || c == '_' || c == '-')) plain = false;
  quoted = plain ? tty : shellQuote(tty);
  return std::string("/bin/echo -e -n '\033[?25l' >") + quoted;
}

}  // namespace

void FbDamage::reset(int xSize, int ySize) {
  tilesX = xSize > 0 ? (xSize + kTileW - 1) / kTileW : 0;
  tilesY = ySize > 0 ? (ySize + kTileH - 1) / kTileH : 0;
  tile.assign((size_t)tilesX * tilesY, 0);
  rowMin = 0;
  rowMax = -1;
  full = false;
}

void FbDamage::clear() {
  if (rowMax >= rowMin)
    memset(&tile[(size_t)rowMin * tilesX], 0, (size_t)(rowMax - rowMin + 1) * tilesX);
  rowMin = 0;
  rowMax = -1;
  full = false;
}

void FbDamage::add(const FbRect& r) {
  if (full || r.x1 <= r.x0 || r.y1 <= r.y0 || tilesX == 0) return;
  int tx0 = r.x0 / kTileW, tx1 = (r.x1 - 1) / kTileW;
  int ty0 = r.y0 / kTileH, ty1 = (r.y1 - 1) / kTileH;
  if (tx0 < 0) tx0 = 0;
  if (ty0 < 0) ty0 = 0;
  if (tx1 >= tilesX) tx1 = tilesX - 1;
  if (ty1 >= tilesY) ty1 = tilesY - 1;
  if (tx1 < tx0 || ty1 < ty0) return;
  for (int ty = ty0; ty <= ty1; ty++) memset(&tile[(size_t)ty * tilesX + tx0], 1, (size_t)(tx1 - tx0 + 1));
  if (rowMax < rowMin) {
    rowMin = ty0;
    rowMax = ty1;
  } else {
    if (ty0 < rowMin) rowMin = ty0;
    if (ty1 > rowMax) rowMax = ty1;
  }
}

void FbDamage::addAll(const FbDamage& d) {
  if (full) return;
  if (d.full) {
    setFull();
    return;
  }
  if (d.tilesX != tilesX || d.tilesY != tilesY) {
    setFull();
    return;
  }
  for (int ty = d.rowMin; ty <= d.rowMax; ty++) {
    const uint8_t* src = &d.tile[(size_t)ty * tilesX];
    uint8_t* dst = &tile[(size_t)ty * tilesX];
    for (int i = 0; i < tilesX; i++) dst[i] |= src[i];
  }
  if (d.rowMax >= d.rowMin) {
    if (rowMax < rowMin) {
      rowMin = d.rowMin;
      rowMax = d.rowMax;
    } else {
      if (d.rowMin < rowMin) rowMin = d.rowMin;
      if (d.rowMax > rowMax) rowMax = d.rowMax;
    }
  }
}


void FbDamage::noteRows(int ty0, int ty1) {
  if (rowMax < rowMin) {
    rowMin = ty0;
    rowMax = ty1;
  } else {
    if (ty0 < rowMin) rowMin = ty0;
    if (ty1 > rowMax) rowMax = ty1;
  }
}

bool FbDamage::intersects(const FbRect& r) const {
  if (full) return true;
  if (r.x1 <= r.x0 || r.y1 <= r.y0 || tilesX == 0) return false;
  int ty0 = r.y0 / kTileH, ty1 = (r.y1 - 1) / kTileH;
  if (ty0 < rowMin) ty0 = rowMin;
  if (ty1 > rowMax) ty1 = rowMax;
  const int tx0 = r.x0 / kTileW, n = (r.x1 - 1) / kTileW - tx0 + 1;
  for (int ty = ty0; ty <= ty1; ty++) {
    const uint8_t* t = &tile[(size_t)ty * tilesX + tx0];
    for (int i = 0; i < n; i++)
      if (t[i]) return true;
  }
  return false;
}

bool FbDamage::covers(const FbRect& r) const {
  if (full) return true;
  if (r.x1 <= r.x0 || r.y1 <= r.y0 || tilesX == 0) return true;
  const int ty0 = r.y0 / kTileH, ty1 = (r.y1 - 1) / kTileH;
  if (ty0 < rowMin || ty1 > rowMax) return false;
  const int tx0 = r.x0 / kTileW, n = (r.x1 - 1) / kTileW - tx0 + 1;
  for (int ty = ty0; ty <= ty1; ty++) {
    const uint8_t* t = &tile[(size_t)ty * tilesX + tx0];
    for (int i = 0; i < n; i++)
      if (!t[i]) return false;
  }
  return true;
}

FbRect fbSpanRect(const FbInfo* fb, long long x0, long long y0, long long x1, long long y1) {
  FbRect r;
  if (fb == nullptr) return r;
  if (x1 < x0) std::swap(x0, x1);
  if (y1 < y0) std::swap(y0, y1);
  if (x0 >= 0 && x1 < fb->xSize) {
    // Rows off the screen are dropped by the primitives.
    if (y1 < 0 || y0 >= fb->ySize) return r;
    r.x0 = (int)x0;
    r.x1 = (int)x1 + 1;
    r.y0 = y0 < 0 ? 0 : (int)y0;
    r.y1 = y1 >= fb->ySize ? fb->ySize : (int)y1 + 1;
    return r;
  }
  // A column off the row lands on another row: the primitives clip by
  // byte offset, so take whole rows between the first and last byte.
  const long long ls = fb->lineSize, ps = fb->pixelSize;
  long long oMin = y0 * ls + x0 * ps;
  long long oMax = y1 * ls + x1 * ps + ps - 1;
  if (oMin < 0) oMin = 0;
  if (oMax > (long long)fb->memSize - 1) oMax = (long long)fb->memSize - 1;
  if (oMin > oMax || ls == 0) return r;
  r.x0 = 0;
  r.x1 = fb->xSize;
  r.y0 = (int)(oMin / ls);
  long long last = oMax / ls;
  r.y1 = last >= fb->ySize ? fb->ySize : (int)last + 1;
  if (r.y0 >= r.y1) r = FbRect();
  return r;
}

namespace {

// Every pixel a line plots: plot(row, col, byte offset), in Bresenham
// order, both end points included. Points are clipped by byte offset: a
// point past the right edge lands at the start of the next row, points
// outside the buffer are dropped.
template <class Plot>
void walkLine(const FbInfo* fb, int x0, int y0, int x1, int y1, Plot&& plot) {
  const long long ps = fb->pixelSize;
  const long long limit = (long long)fb->memSize - ps;
  auto at = [&](int x, int y, bool steep) {
    long long o = (long long)y * fb->lineSize + (long long)x * ps;
    if (steep ? o <= 0 : o < 0) return;
    if (o >= limit) return;
    plot((long long)y, (long long)x, o);
  };
  long long dx = (long long)x1 - x0, dy = (long long)y1 - y0;
  int sx = dx >= 1 ? 1 : -1;
  int sy = dy >= 1 ? 1 : -1;
  long long adx = dx < 0 ? -dx : dx;
  long long ady = dy < 0 ? -dy : dy;
  int x = x0, y = y0;
  if (adx < ady) {
    long long err = 2 * adx - ady;
    for (long long n = 0; n <= ady; n++) {
      at(x, y, true);
      while (err >= 0) {
        x += sx;
        err -= 2 * ady;
      }
      y += sy;
      err += 2 * adx;
    }
  } else {
    long long err = 2 * ady - adx;
    for (long long n = 0; n <= adx; n++) {
      at(x, y, false);
      while (err >= 0) {
        y += sy;
        err -= 2 * adx;
      }
      x += sx;
      err += 2 * ady;
    }
  }
}

// A polyline's points: x, y pairs of 4-byte ints in its data.
inline void polyPoint(const char* data, int i, int* x, int* y) {
  int32_t p[2];
  memcpy(p, data + (size_t)i * 8, 8);
  *x = p[0];
  *y = p[1];
}

// Marks the tiles op touches in each set given (null ones skipped). A
// line marks the tiles its pixels fall in (a needle's box would be two
// hundred pixels square), anything else its rectangle.
void markOp(const FbInfo* fb, const FbOp& op, const char* data, FbDamage* a, FbDamage* b = nullptr,
            FbDamage* c = nullptr) {
  if (op.rect.x1 <= op.rect.x0 || op.rect.y1 <= op.rect.y0) return;
  FbDamage* sets[3] = {a, b, c};
  int n = 0;
  for (FbDamage* d : sets)
    if (d != nullptr && !d->full && d->tilesX > 0) sets[n++] = d;
  if (op.kind != FbOpKind::Line && op.kind != FbOpKind::Poly) {
    for (int i = 0; i < n; i++) sets[i]->add(op.rect);
    return;
  }
  if (n == 0) return;
  const int W = FbDamage::kTileW, H = FbDamage::kTileH;
  const int tilesX = sets[0]->tilesX;
  int tyMin = 1 << 30, tyMax = -1;
  auto plot = [&](long long row, long long col, long long o) {
    if (col < 0 || col >= fb->xSize || row < 0 || row >= fb->ySize) {
      row = o / fb->lineSize;
      col = (o % fb->lineSize) / fb->pixelSize;
    }
    const int ty = (int)(row / H);
    const size_t at = (size_t)ty * tilesX + (size_t)(col / W);
    for (int i = 0; i < n; i++) sets[i]->tile[at] = 1;
    if (ty < tyMin) tyMin = ty;
    if (ty > tyMax) tyMax = ty;
  };
  if (op.kind == FbOpKind::Line) {
    walkLine(fb, op.v[0], op.v[1], op.v[2], op.v[3], plot);
  } else {
    for (int i = 0; i + 1 < op.v[0]; i++) {
      int x0, y0, x1, y1;
      polyPoint(data, i, &x0, &y0);
      polyPoint(data, i + 1, &x1, &y1);
      if (x0 == x1 && y0 == y1) continue;
      const FbRect r = fbSpanRect(fb, x0, y0, x1, y1);
      if (r.x1 <= r.x0) continue;
      const int tx0 = r.x0 / W, tx1 = (r.x1 - 1) / W, ty0 = r.y0 / H, ty1 = (r.y1 - 1) / H;
      if (tx1 - tx0 > 1 && ty1 - ty0 > 1) {
        walkLine(fb, x0, y0, x1, y1, plot);
        continue;
      }
      // A trace's segment is one or two tiles across: its box is hardly
      // more than its pixels, and far fewer stores.
      for (int ty = ty0; ty <= ty1; ty++)
        for (int tx = tx0; tx <= tx1; tx++)
          for (int k = 0; k < n; k++) sets[k]->tile[(size_t)ty * tilesX + tx] = 1;
      if (ty0 < tyMin) tyMin = ty0;
      if (ty1 > tyMax) tyMax = ty1;
    }
  }
  if (tyMax < 0) return;
  for (int i = 0; i < n; i++) sets[i]->noteRows(tyMin, tyMax);
}

// Rectangles of the simple ops, as their pixel loops clip them.
FbRect hlineRect(const FbInfo* fb, const FbOp& op) {
  int x0 = op.v[0], y = op.v[1], x1 = op.v[2];
  if (y < 0 || y >= fb->ySize) return FbRect();
  if (x0 < 0) x0 = 0;
  if (x1 > fb->xSize) x1 = fb->xSize;
  if (x1 <= x0) return FbRect();
  return fbSpanRect(fb, x0, y, x1 - 1, y);
}

// Box corners normalised and kept to the screen; false when empty.
bool boxBounds(const FbInfo* fb, const FbOp& op, int* xa, int* ya, int* xb, int* yb) {
  const int x0 = op.v[0], y0 = op.v[1], x1 = op.v[2], y1 = op.v[3];
  *xa = x0 < x1 ? x0 : x1;
  *xb = x0 < x1 ? x1 : x0;
  *ya = y0 < y1 ? y0 : y1;
  *yb = y0 < y1 ? y1 : y0;
  if (*xa < 0) *xa = 0;
  if (*ya < 0) *ya = 0;
  if (*xb > fb->xSize) *xb = fb->xSize;
  if (*yb > fb->ySize) *yb = fb->ySize;
  return *xb > *xa && *yb > *ya;
}

FbRect boxRect(const FbInfo* fb, const FbOp& op) {
  int xa, ya, xb, yb;
  if (!boxBounds(fb, op, &xa, &ya, &xb, &yb)) return FbRect();
  // The 4-byte form reaches into the next pixel on a 2-byte display.
  return fbSpanRect(fb, xa, ya, fb->pixelSize < 4 ? xb : xb - 1, yb - 1);
}

FbRect polyRect(const FbInfo* fb, const FbOp& op, const char* data) {
  FbRect u;
  for (int i = 0; i + 1 < op.v[0]; i++) {
    int x0, y0, x1, y1;
    polyPoint(data, i, &x0, &y0);
    polyPoint(data, i + 1, &x1, &y1);
    if (x0 == x1 && y0 == y1) continue;
    FbRect r = fbSpanRect(fb, x0, y0, x1, y1);
    if (r.x1 <= r.x0) continue;
    if (u.x1 <= u.x0) {
      u = r;
      continue;
    }
    if (r.x0 < u.x0) u.x0 = r.x0;
    if (r.y0 < u.y0) u.y0 = r.y0;
    if (r.x1 > u.x1) u.x1 = r.x1;
    if (r.y1 > u.y1) u.y1 = r.y1;
  }
  return u;
}

// Runs op into buf, only over the tiles of clip when given; sets op.rect.
void execOp(FbInfo* fb, FbOp& op, const char* text, uint8_t* buf, const FbDamage* clip) {
  const unsigned ps = fb->pixelSize;
  switch (op.kind) {
    case FbOpKind::HLine: {
      op.rect = hlineRect(fb, op);
      if (op.rect.x1 <= op.rect.x0) return;
      const int y = op.v[1];
      int x = op.rect.x0;
      uint8_t px[4];
      packPixel(px, ps, (uint8_t)op.v[3], (uint8_t)op.v[4], (uint8_t)op.v[5]);
      size_t o = (size_t)y * fb->lineSize + (size_t)x * ps;
      size_t end = o + (size_t)(op.rect.x1 - x) * ps;
      // 5- and 15-bit depths hold fewer bytes than rows x lineSize.
      if (o >= fb->memSize) return;
      if (end > fb->memSize) end = o + (fb->memSize - o) / ps * ps;
      if (clip != nullptr) {
        for (; o < end; o += ps, x++)
          if (fbClipOk(fb, clip, y, x, (long long)o)) memcpy(buf + o, px, ps);
      } else if (ps == 4) {
        uint32_t v;
        memcpy(&v, px, 4);
        for (; o < end; o += 4) memcpy(buf + o, &v, 4);
      } else {
        for (; o < end; o += ps) memcpy(buf + o, px, ps);
      }
      return;
    }
    case FbOpKind::Line: {
      op.rect = fbSpanRect(fb, op.v[0], op.v[1], op.v[2], op.v[3]);
      const uint8_t r = (uint8_t)op.v[4], g = (uint8_t)op.v[5], b = (uint8_t)op.v[6];
      walkLine(fb, op.v[0], op.v[1], op.v[2], op.v[3], [&](long long row, long long col, long long o) {
        if (fbClipOk(fb, clip, row, col, o)) packPixel(buf + o, ps, r, g, b);
      });
      return;
    }
    case FbOpKind::Poly: {
      op.rect = polyRect(fb, op, text);
      const uint8_t r = (uint8_t)op.v[4], g = (uint8_t)op.v[5], b = (uint8_t)op.v[6];
      auto plot = [&](long long row, long long col, long long o) {
        if (fbClipOk(fb, clip, row, col, o)) packPixel(buf + o, ps, r, g, b);
      };
      auto plotFree = [&](long long, long long, long long o) { packPixel(buf + o, ps, r, g, b); };
      for (int i = 0; i + 1 < op.v[0]; i++) {
        int x0, y0, x1, y1;
        polyPoint(text, i, &x0, &y0);
        polyPoint(text, i + 1, &x1, &y1);
        if (x0 == x1 && y0 == y1) continue;
        // Segments wholly on redrawn tiles need no test pixel by pixel.
        if (clip != nullptr && !clip->covers(fbSpanRect(fb, x0, y0, x1, y1)))
          walkLine(fb, x0, y0, x1, y1, plot);
        else
          walkLine(fb, x0, y0, x1, y1, plotFree);
      }
      return;
    }
    case FbOpKind::Box: {
      op.rect = boxRect(fb, op);
      int xa, ya, xb, yb;
      if (!boxBounds(fb, op, &xa, &ya, &xb, &yb)) return;
      const uint8_t r = (uint8_t)op.v[4], g = (uint8_t)op.v[5], b = (uint8_t)op.v[6];
      for (int y = ya; y < yb; y++) {
        for (int x = xa; x < xb; x++) {
          size_t o = (size_t)y * fb->lineSize + (size_t)x * ps;
          if (o + 4 > fb->memSize) continue;  // 4-byte form on a narrower display
          if (clip != nullptr && !fbClipOk(fb, clip, y, x, (long long)o)) continue;
          packPixel(buf + o, 4, r, g, b);
        }
      }
      return;
    }
    case FbOpKind::Text:
      fbTextRun(fb, op, text, buf, clip, &op.rect);
      return;
  }
}

// Sets op.rect without drawing.
void measureOp(FbInfo* fb, FbOp& op, const char* text) {
  switch (op.kind) {
    case FbOpKind::HLine: op.rect = hlineRect(fb, op); return;
    case FbOpKind::Line: op.rect = fbSpanRect(fb, op.v[0], op.v[1], op.v[2], op.v[3]); return;
    case FbOpKind::Poly: op.rect = polyRect(fb, op, text); return;
    case FbOpKind::Box: op.rect = boxRect(fb, op); return;
    case FbOpKind::Text: fbTextRun(fb, op, text, nullptr, nullptr, &op.rect); return;
  }
}

bool sameOp(const FbOp& a, const std::string& aText, const FbOp& b, const std::string& bText) {
  if (a.kind != b.kind || memcmp(a.v, b.v, sizeof a.v) != 0 || a.textLen != b.textLen) return false;
  return a.textLen == 0 || memcmp(aText.data() + a.textAt, bText.data() + b.textAt, a.textLen) == 0;
}

// A deferred frame drawn: the tiles where it and the previous frame differ
// (or that a write outside the record touched) restored and drawn again.
void resolve(FbInfo* fb) {
  FbFrames& f = *fb->frames;
  if (!f.deferred) return;
  f.deferred = false;
  FbDamage& redo = f.redraw;
  redo.clear();
  redo.addAll(f.stray);
  f.stray.clear();
  const size_t nc = f.cur.size(), np = f.prev.size();
  for (size_t k = 0; k < nc || k < np; k++) {
    FbOp* c = k < nc ? &f.cur[k] : nullptr;
    const FbOp* p = k < np ? &f.prev[k] : nullptr;
    if (c != nullptr && p != nullptr && sameOp(*c, f.curText, *p, f.prevText)) {
      c->rect = p->rect;
      continue;
    }
    if (p != nullptr) markOp(fb, *p, f.prevText.data() + p->textAt, &redo);
    if (c != nullptr) {
      measureOp(fb, *c, f.curText.data() + c->textAt);
      markOp(fb, *c, f.curText.data() + c->textAt, &redo);
    }
  }
  if (!redo.empty()) {
    copyRegions(fb, fb->workBuf, fb->backBuf, redo);
    for (FbOp& c : f.cur)
      if (redo.intersects(c.rect))
        execOp(fb, c, f.curText.data() + c.textAt, fb->workBuf, redo.covers(c.rect) ? nullptr : &redo);
    fb->screenDamage.addAll(redo);
  }
  // Where the work buffer differs from the background: under this frame,
  // which lies under the last one or under what was redrawn.
  fb->workDamage.addAll(redo);
}

// Background -> work buffer over what differs (all of it after a change).
void restore(FbInfo* fb) {
  if (!tracking(fb) || fb->backChanged) {
    // The whole picture is new: restore all of it and show all of it.
    fb->workDamage.setFull();
    fb->backChanged = false;
    fb->wholeRestores++;
  }
  copyRegions(fb, fb->workBuf, fb->backBuf, fb->workDamage);
  fb->screenDamage.addAll(fb->workDamage);
  fb->workDamage.clear();
  if (fb->frames != nullptr) fb->frames->stray.clear();
}

}  // namespace

void fbDrawingChanged() {
  std::lock_guard<std::recursive_mutex> lk(drawMutex());
  g_drawGeneration++;
}

void fbDirectWrite(FbInfo* fb, int /*toBack*/) {
  if (fb == nullptr || fb->frames == nullptr) return;
  std::lock_guard<std::recursive_mutex> lk(drawMutex());
  if (fb->frames->deferred) resolve(fb);
}

void fbDraw(FbInfo* fb, FbOp& op, const char* text) {
  FbFrames* f = fb->frames;
  const bool rec = f != nullptr && f->recording;
  if (rec) {
    op.textAt = (uint32_t)f->curText.size();
    if (op.textLen > 0) f->curText.append(text, op.textLen);
    f->cur.push_back(op);
    if (f->deferred) return;
  }
  execOp(fb, op, text, fb->workBuf, nullptr);
  if (rec) f->cur.back().rect = op.rect;
  // Drawn outside a frame: not described by the record.
  markOp(fb, op, text, &fb->workDamage, &fb->screenDamage, (!rec && f != nullptr) ? &f->stray : nullptr);
}

void fbFrameBegin(FbInfo* fb) {
  if (fb == nullptr) return;
  std::lock_guard<std::recursive_mutex> lk(drawMutex());
  FbFrames* f = fb->frames;
  if (f == nullptr || !recordable(fb)) {
    if (f != nullptr) {
      f->recording = f->deferred = f->prevValid = false;
    }
    restore(fb);
    return;
  }
  // A frame begun again before its end has drawn part of itself already.
  if (f->recording && !f->deferred) f->prevValid = false;
  f->cur.clear();
  f->curText.clear();
  f->recording = true;
  f->deferred = f->prevValid && !fb->backChanged && f->generation == g_drawGeneration;
  if (f->deferred)
    fb->keptFrames++;
  else
    restore(fb);
  f->generation = g_drawGeneration;
}

void fbFrameEnd(FbInfo* fb) {
  if (fb == nullptr) return;
  std::lock_guard<std::recursive_mutex> lk(drawMutex());
  FbFrames* f = fb->frames;
  if (f != nullptr && f->recording) {
    if (f->deferred) resolve(fb);
    f->recording = false;
    std::swap(f->cur, f->prev);
    std::swap(f->curText, f->prevText);
    // Faces loaded during the frame: its calls may not draw the same again.
    f->prevValid = recordable(fb) && f->generation == g_drawGeneration;
  }
  fbRealize(fb);
}

void fbBackChanged(FbInfo* fb) {
  if (fb == nullptr) return;
  std::lock_guard<std::recursive_mutex> lk(drawMutex());
  fb->backChanged = true;
}

void fbFullFrame(FbInfo* fb) { fbBackChanged(fb); }

void fbSetDamageTracking(FbInfo* fb, bool on) {
  if (fb == nullptr) return;
  std::lock_guard<std::recursive_mutex> lk(drawMutex());
  if (fb->frames != nullptr && fb->frames->deferred) resolve(fb);
  fb->damageTracking = on;
  fb->backChanged = true;
  if (fb->frames != nullptr) fb->frames->prevValid = false;
}

void fbDamageSpan(FbInfo* fb, int toBack, long long x0, long long y0, long long x1,
                  long long y1) {
  if (fb == nullptr) return;
  std::lock_guard<std::recursive_mutex> lk(drawMutex());
  if (toBack) {
    fbBackChanged(fb);
    return;
  }
  FbRect r = fbSpanRect(fb, x0, y0, x1, y1);
  fb->workDamage.add(r);
  fb->screenDamage.add(r);
  if (fb->frames != nullptr) fb->frames->stray.add(r);
}

std::recursive_mutex& drawMutex() {
  static std::recursive_mutex m;
  return m;
}

unsigned int fbPixelSize(unsigned int bpp) {
  switch (bpp) {
    case 4: case 8: return 1;
    case 5: case 15: case 16: return 2;
    case 24: return 3;
    case 32: return 4;
    default: return 0;
  }
}

FbInfo* fbInit() {
  runCommand(cursorOffCommand());

  FbInfo* fb = new (std::nothrow) FbInfo();
  if (fb == nullptr) {
    zlog(LOG_ERR, "Unable to allocate framebuffer structure");
    return nullptr;
  }
  int fd = open(rootPath("/dev/fb0").c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    zlog(LOG_ERR, "Unable to read framebuffer device: /dev/fb0\n");
    delete fb;
    return nullptr;
  }

  unsigned xres, yres, bpp;
  struct stat sb;
  if (fstat(fd, &sb) == 0 && S_ISREG(sb.st_mode) && sb.st_size >= (off_t)kPanelBytes) {
    // A screen file stands in for the panel (development and tests).
    xres = kPanelX;
    yres = kPanelY;
    bpp = 32;
  } else {
    struct fb_var_screeninfo var;
    memset(&var, 0, sizeof var);
    if (ioctl(fd, FBIOGET_VSCREENINFO, &var) != 0) {
      zlog(LOG_ERR, "Unable to read screen info.\n");
      zlog(LOG_ERR, "Do you have read+write privilages to /dev/fb0?\n");
      close(fd);
      delete fb;
      return nullptr;
    }
    var.xoffset = 0;
    var.yoffset = 0;
    if (ioctl(fd, FBIOPUT_VSCREENINFO, &var) != 0) {
      zlog(LOG_ERR, "Unable to change screen data\n");
      zlog(LOG_ERR, "Do you have write privilages to /dev/fb0?\n");
      zlog(LOG_ERR, "Does your video card support double buffering?\n");
      close(fd);
      delete fb;
      return nullptr;
    }
    xres = var.xres;
    yres = var.yres;
    bpp = var.bits_per_pixel;
  }

  unsigned pixelSize = fbPixelSize(bpp);
  if (pixelSize == 0) {
    zlog(LOG_ERR, "Unknown pixel format");
    close(fd);
    delete fb;
    return nullptr;
  }
  zlog(LOG_INFO, "Pixel size =%d", (int)pixelSize);

  fb->xSize = (int)xres;
  fb->ySize = (int)yres;
  fb->pixelSize = pixelSize;
  fb->lineSize = xres * pixelSize;
  fb->memSize = (unsigned)(((unsigned long long)xres * yres * bpp) >> 3);
  void* mem = fb->memSize == 0 ? MAP_FAILED
                               : mmap(nullptr, fb->memSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (mem == MAP_FAILED) {
    zlog(LOG_ERR, "Unable to map shared memory\n");
    zlog(LOG_ERR, "Make sure, that you have compiled shared memory support into your kernel.\n");
    close(fd);
    delete fb;
    return nullptr;
  }
  close(fd);  // the mapping stays valid
  fb->fbMem = static_cast<uint8_t*>(mem);
  fb->mapped = true;

  if (!allocBuffers(fb)) {
    zlog(LOG_ERR, "Unable to allocate framebuffer structure");
    munmap(mem, fb->memSize);
    delete fb;
    return nullptr;
  }
  zlog(LOG_INFO, "Screen Size x: %d, y: %d, Pixel Size %d Line size: %d, Mem size: %d\n",
       fb->xSize, fb->ySize, (int)fb->pixelSize, (int)fb->lineSize, (int)fb->memSize);
  return fb;
}

FbInfo* fbCreateMemory(int xSize, int ySize) {
  if (xSize <= 0 || ySize <= 0) return nullptr;
  FbInfo* fb = new (std::nothrow) FbInfo();
  if (fb == nullptr) return nullptr;
  fb->xSize = xSize;
  fb->ySize = ySize;
  fb->pixelSize = 4;
  fb->lineSize = (unsigned)xSize * 4;
  fb->memSize = fb->lineSize * (unsigned)ySize;
  fb->fbMem = static_cast<uint8_t*>(calloc(fb->memSize, 1));
  if (fb->fbMem == nullptr || !allocBuffers(fb)) {
    free(fb->fbMem);
    delete fb;
    return nullptr;
  }
  return fb;
}

FbInfo* fbInitOrMemory() {
  FbInfo* fb = fbInit();
  if (fb != nullptr) return fb;
  zlog(LOG_ERR, "No usable display: drawing to a %dx%d screen in memory", kPanelX, kPanelY);
  fb = fbCreateMemory(kPanelX, kPanelY);
  if (fb == nullptr) abort();  // no memory for one screen: nothing can run
  return fb;
}

void fbRelease(FbInfo* fb) {
  if (fb == nullptr) return;
  if (fb->mapped)
    munmap(fb->fbMem, fb->memSize);
  else
    free(fb->fbMem);
  free(fb->workBuf);
  free(fb->backBuf);
  delete fb->frames;
  delete fb;
}


void fbRealize(FbInfo* fb) {
  if (fb == nullptr) return;
  std::lock_guard<std::recursive_mutex> lk(drawMutex());
  if (fb->frames != nullptr && fb->frames->deferred) resolve(fb);
  fb->realizeCount++;
  if (!tracking(fb) || (fb->realizeCount & 255u) == 0) fb->screenDamage.setFull();
  // Whatever was restored or drawn since the last copy.
  copyRegions(fb, fb->fbMem, fb->workBuf, fb->screenDamage);
  fb->screenDamage.clear();
}

void fbSetBack(FbInfo* fb) {
  if (fb == nullptr) return;
  std::lock_guard<std::recursive_mutex> lk(drawMutex());
  FbFrames* f = fb->frames;
  if (f != nullptr && f->recording) {
    // A restore inside a frame wipes what the frame drew so far.
    f->cur.clear();
    f->curText.clear();
    if (f->deferred && !fb->backChanged) return;  // nothing of it was drawn yet
    f->deferred = false;
  } else if (f != nullptr) {
    f->prevValid = false;  // the work buffer no longer holds the last frame
  }
  restore(fb);
}

// Every primitive below is kept to the buffer: a stray coordinate must not
// write outside it. Into the background a primitive draws at once (the
// frame is drawn up to there first) and marks the background changed.

namespace {

void drawOp(FbInfo* fb, FbOp& op, int toBack) {
  std::lock_guard<std::recursive_mutex> lk(drawMutex());
  if (!toBack) {
    fbDraw(fb, op, nullptr);
    return;
  }
  fbDirectWrite(fb, 1);
  execOp(fb, op, nullptr, fb->backBuf, nullptr);
  if (op.rect.x1 > op.rect.x0) fbBackChanged(fb);
}

}  // namespace

void DrawHorizontalLine(int x0, int y, int x1, uint8_t red, uint8_t green, uint8_t blue,
                        FbInfo* fb, int toBack) {
  if (fb == nullptr || !packable(fb)) return;
  FbOp op;
  op.kind = FbOpKind::HLine;
  op.v[0] = x0;
  op.v[1] = y;
  op.v[2] = x1;
  op.v[3] = red;
  op.v[4] = green;
  op.v[5] = blue;
  drawOp(fb, op, toBack);
}

void DrawLine(int x0, int y0, int x1, int y1, uint8_t red, uint8_t green, uint8_t blue,
              FbInfo* fb, int toBack) {
  if (fb == nullptr || !packable(fb)) return;
  if (x0 == x1 && y0 == y1) return;
  FbOp op;
  op.kind = FbOpKind::Line;
  op.v[0] = x0;
  op.v[1] = y0;
  op.v[2] = x1;
  op.v[3] = y1;
  op.v[4] = red;
  op.v[5] = green;
  op.v[6] = blue;
  drawOp(fb, op, toBack);
}

void DrawPolyline(const int* xs, const int* ys, int n, uint8_t red, uint8_t green, uint8_t blue,
                  FbInfo* fb, int toBack) {
  if (fb == nullptr || !packable(fb) || xs == nullptr || ys == nullptr || n < 2) return;
  std::vector<int32_t> pts((size_t)n * 2);
  for (int i = 0; i < n; i++) {
    pts[(size_t)i * 2] = xs[i];
    pts[(size_t)i * 2 + 1] = ys[i];
  }
  const char* data = reinterpret_cast<const char*>(pts.data());
  FbOp op;
  op.kind = FbOpKind::Poly;
  op.v[0] = n;
  op.v[4] = red;
  op.v[5] = green;
  op.v[6] = blue;
  op.textLen = (uint32_t)(pts.size() * sizeof(int32_t));
  std::lock_guard<std::recursive_mutex> lk(drawMutex());
  if (!toBack) {
    fbDraw(fb, op, data);
    return;
  }
  fbDirectWrite(fb, 1);
  execOp(fb, op, data, fb->backBuf, nullptr);
  if (op.rect.x1 > op.rect.x0) fbBackChanged(fb);
}

void DrawArc(int cx, int cy, int radius, int startDeg, int endDeg, uint8_t red, uint8_t green,
             uint8_t blue, FbInfo* fb, int toBack) {
  if (fb == nullptr) return;
  const float r = (float)radius;
  int px = 0, py = 0;
  for (int d = startDeg; d <= endDeg; d++) {
    double a = d * M_PI / 180.0;
    int x = (int)(cx + 0.5 + r * cos(a));
    int y = (int)(cy + 0.5 - r * sin(a));
    if (px == 0) px = x;
    if (py == 0) py = y;
    DrawLine(px, py, x, y, red, green, blue, fb, toBack);
    px = x;
    py = y;
  }
}

void DrawRect(Works* w, int x0, int y0, int x1, int y1, uint8_t red, uint8_t green,
              uint8_t blue) {
  if (w == nullptr || w->fb == nullptr) return;
  DrawLine(x0, y0, x0, y1, red, green, blue, w->fb, 0);
  DrawLine(x1, y0, x1, y1, red, green, blue, w->fb, 0);
  DrawHorizontalLine(x0, y0, x1, red, green, blue, w->fb, 0);
  DrawHorizontalLine(x0, y1, x1, red, green, blue, w->fb, 0);
}

void FillBox(int x0, int y0, int x1, int y1, uint8_t red, uint8_t green, uint8_t blue,
             FbInfo* fb, int toBack) {
  if (fb == nullptr) return;
  FbOp op;
  op.kind = FbOpKind::Box;
  op.v[0] = x0;
  op.v[1] = y0;
  op.v[2] = x1;
  op.v[3] = y1;
  op.v[4] = red;
  op.v[5] = green;
  op.v[6] = blue;
  drawOp(fb, op, toBack);
}

void FillRow(int x, int y, uint8_t red, uint8_t green, uint8_t blue, FbInfo* fb,
             uint8_t skipRed, uint8_t skipGreen, uint8_t skipBlue) {
  if (fb == nullptr || !packable(fb)) return;
  // Kept to the screen: the column must lie on it, and a start below the
  // bottom row starts at the bottom row.
  if (x < 0 || x >= fb->xSize) return;
  if (y >= fb->ySize) y = fb->ySize - 1;
  if (y < 1) return;
  std::lock_guard<std::recursive_mutex> lk(drawMutex());
  // It reads the work buffer: the frame so far must be in it.
  fbDirectWrite(fb, 0);
  fbDamageSpan(fb, 0, x, 1, x, y);
  const unsigned ps = fb->pixelSize;
  // Colours compare on their colour bytes; the fourth byte of a 4-byte
  // pixel carries none.
  const unsigned cmpBytes = ps == 4 ? 3 : ps;
  uint8_t skip[4], white[4];
  packPixel(skip, ps, skipRed, skipGreen, skipBlue);
  packPixel(white, ps, 255, 255, 255);
  for (int row = y; row >= 1; row--) {
    size_t o = (size_t)row * fb->lineSize + (size_t)x * ps;
    if (o + ps > fb->memSize) continue;  // 5- and 15-bit depths: short buffer
    uint8_t* p = fb->workBuf + o;
    if (memcmp(p, white, cmpBytes) == 0) break;
    if (memcmp(p, skip, cmpBytes) != 0) packPixel(p, ps, red, green, blue);
  }
}
