#include "display/fb.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/fb.h>
#include <new>
#include <utility>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "core/works.h"
#include "platform/log.h"
#include "platform/paths.h"

namespace {

// Size of the panel the screens are laid out for; also the virtual screen
// used when "/dev/fb0" is a plain file or missing altogether.
constexpr int kPanelX = 800;
constexpr int kPanelY = 480;
constexpr unsigned kPanelBytes = kPanelX * kPanelY * 4;

uint8_t* target(FbInfo* fb, int toBack) { return toBack ? fb->backBuf : fb->workBuf; }

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

// Copies the regions of both sets (each run once where they overlap).
void copyRegions2(const FbInfo* fb, uint8_t* dst, const uint8_t* src, const FbDamage& a,
                  FbDamage& b) {
  if (a.full || b.full) {
    memcpy(dst, src, fb->memSize);
    return;
  }
  b.addAll(a);
  copyRegions(fb, dst, src, b);
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
  fb->workDamage.reset(fb->xSize, fb->ySize);
  fb->screenDamage.reset(fb->xSize, fb->ySize);
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

void fbBackChanged(FbInfo* fb) {
  if (fb == nullptr) return;
  std::lock_guard<std::recursive_mutex> lk(drawMutex());
  fb->backChanged = true;
}

void fbFullFrame(FbInfo* fb) { fbBackChanged(fb); }

void fbSetDamageTracking(FbInfo* fb, bool on) {
  if (fb == nullptr) return;
  std::lock_guard<std::recursive_mutex> lk(drawMutex());
  fb->damageTracking = on;
  fb->backChanged = true;
}

void fbDamageSpan(FbInfo* fb, int toBack, long long x0, long long y0, long long x1,
                  long long y1) {
  if (fb == nullptr) return;
  if (toBack) {
    fbBackChanged(fb);
    return;
  }
  if (x1 < x0) std::swap(x0, x1);
  if (y1 < y0) std::swap(y0, y1);
  FbRect r;
  if (x0 >= 0 && x1 < fb->xSize) {
    // Rows off the screen are dropped by the primitives.
    if (y1 < 0 || y0 >= fb->ySize) return;
    r.x0 = (int)x0;
    r.x1 = (int)x1 + 1;
    r.y0 = y0 < 0 ? 0 : (int)y0;
    r.y1 = y1 >= fb->ySize ? fb->ySize : (int)y1 + 1;
  } else {
    // A column off the row lands on another row: the primitives clip by
    // byte offset, so take whole rows between the first and last byte.
    const long long ls = fb->lineSize, ps = fb->pixelSize;
    long long oMin = y0 * ls + x0 * ps;
    long long oMax = y1 * ls + x1 * ps + ps - 1;
    if (oMin < 0) oMin = 0;
    if (oMax > (long long)fb->memSize - 1) oMax = (long long)fb->memSize - 1;
    if (oMin > oMax || ls == 0) return;
    r.x0 = 0;
    r.x1 = fb->xSize;
    r.y0 = (int)(oMin / ls);
    long long last = oMax / ls;
    r.y1 = last >= fb->ySize ? fb->ySize : (int)last + 1;
  }
  std::lock_guard<std::recursive_mutex> lk(drawMutex());
  fb->workDamage.add(r);
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
  delete fb;
}

void fbRealize(FbInfo* fb) {
  if (fb == nullptr) return;
  std::lock_guard<std::recursive_mutex> lk(drawMutex());
  fb->realizeCount++;
  if (!tracking(fb) || (fb->realizeCount & 255u) == 0) fb->screenDamage.setFull();
  // What was restored since the last copy, and what was drawn since the
  // last restore (drawn before an earlier copy too, at worst: copied twice).
  copyRegions2(fb, fb->fbMem, fb->workBuf, fb->workDamage, fb->screenDamage);
  fb->screenDamage.clear();
}

void fbSetBack(FbInfo* fb) {
  if (fb == nullptr) return;
  std::lock_guard<std::recursive_mutex> lk(drawMutex());
  if (!tracking(fb) || fb->backChanged) {
    // The whole picture is new: restore all of it and show all of it.
    fb->workDamage.setFull();
    fb->backChanged = false;
    fb->wholeRestores++;
  }
  copyRegions(fb, fb->workBuf, fb->backBuf, fb->workDamage);
  fb->screenDamage.addAll(fb->workDamage);
  fb->workDamage.clear();
}

// Kept to the screen: a stray coordinate must not write outside the buffer.
void DrawHorizontalLine(int x0, int y, int x1, uint8_t red, uint8_t green, uint8_t blue,
                        FbInfo* fb, int toBack) {
  if (fb == nullptr || !packable(fb)) return;
  if (y < 0 || y >= fb->ySize) return;
  if (x0 < 0) x0 = 0;
  if (x1 > fb->xSize) x1 = fb->xSize;
  if (x1 <= x0) return;
  fbDamageSpan(fb, toBack, x0, y, x1 - 1, y);
  uint8_t* buf = target(fb, toBack);
  const unsigned ps = fb->pixelSize;
  uint8_t px[4];
  packPixel(px, ps, red, green, blue);
  size_t o = (size_t)y * fb->lineSize + (size_t)x0 * ps;
  size_t end = o + (size_t)(x1 - x0) * ps;
  // 5- and 15-bit depths hold fewer bytes than rows x lineSize.
  if (o >= fb->memSize) return;
  if (end > fb->memSize) end = o + (fb->memSize - o) / ps * ps;
  if (ps == 4) {
    uint32_t v;
    memcpy(&v, px, 4);
    for (; o < end; o += 4) memcpy(buf + o, &v, 4);
  } else {
    for (; o < end; o += ps) memcpy(buf + o, px, ps);
  }
}

void DrawLine(int x0, int y0, int x1, int y1, uint8_t red, uint8_t green, uint8_t blue,
              FbInfo* fb, int toBack) {
  if (fb == nullptr || !packable(fb)) return;
  if (x0 == x1 && y0 == y1) return;
  // The path never leaves the box of its end points.
  fbDamageSpan(fb, toBack, x0, y0, x1, y1);
  uint8_t* buf = target(fb, toBack);
  const long long ps = fb->pixelSize;
  const long long limit = (long long)fb->memSize - ps;
  auto plot = [&](int x, int y, bool steep) {
    long long o = (long long)y * fb->lineSize + (long long)x * ps;
    if (steep ? o <= 0 : o < 0) return;
    if (o >= limit) return;
    packPixel(buf + o, fb->pixelSize, red, green, blue);
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
      plot(x, y, true);
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
      plot(x, y, false);
      while (err >= 0) {
        y += sy;
        err -= 2 * adx;
      }
      x += sx;
      err += 2 * ady;
    }
  }
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
  int xa = x0 < x1 ? x0 : x1, xb = x0 < x1 ? x1 : x0;
  int ya = y0 < y1 ? y0 : y1, yb = y0 < y1 ? y1 : y0;
  // Kept to the screen like DrawHorizontalLine: a stray box must not write
  // outside the buffer.
  if (xa < 0) xa = 0;
  if (ya < 0) ya = 0;
  if (xb > fb->xSize) xb = fb->xSize;
  if (yb > fb->ySize) yb = fb->ySize;
  if (xb <= xa || yb <= ya) return;
  // The 4-byte form reaches into the next pixel on a 2-byte display.
  fbDamageSpan(fb, toBack, xa, ya, fb->pixelSize < 4 ? xb : xb - 1, yb - 1);
  uint8_t* buf = target(fb, toBack);
  for (int y = ya; y < yb; y++) {
    for (int x = xa; x < xb; x++) {
      size_t o = (size_t)y * fb->lineSize + (size_t)x * fb->pixelSize;
      if (o + 4 > fb->memSize) continue;  // 4-byte form on a narrower display
      packPixel(buf + o, 4, red, green, blue);
    }
  }
}

void FillRow(int x, int y, uint8_t red, uint8_t green, uint8_t blue, FbInfo* fb,
             uint8_t skipRed, uint8_t skipGreen, uint8_t skipBlue) {
  if (fb == nullptr || !packable(fb)) return;
  // Kept to the screen: the column must lie on it, and a start below the
  // bottom row starts at the bottom row.
  if (x < 0 || x >= fb->xSize) return;
  if (y >= fb->ySize) y = fb->ySize - 1;
  if (y < 1) return;
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
