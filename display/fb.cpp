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

// Spans this close are joined: copying a few pixels twice over is cheaper
// than another short run.
constexpr int kJoinGap = 16;

// Copies the regions of d from src to dst (same layout), row run by row run.
void copyRegions(const FbInfo* fb, uint8_t* dst, const uint8_t* src, const FbDamage& d) {
  if (d.full) {
    memcpy(dst, src, fb->memSize);
    return;
  }
  const size_t ps = fb->pixelSize, ls = fb->lineSize, mem = fb->memSize;
  for (int y = d.rowMin; y <= d.rowMax; y++) {
    const FbDamage::Span* sp = &d.span[(size_t)y * FbDamage::kSpansPerRow];
    for (int i = 0; i < d.count[y]; i++) {
      size_t o = (size_t)y * ls + (size_t)sp[i].x0 * ps;
      size_t len = (size_t)(sp[i].x1 - sp[i].x0) * ps;
      // 5- and 15-bit depths hold fewer bytes than rows x lineSize.
      if (o >= mem) continue;
      memcpy(dst + o, src + o, o + len > mem ? mem - o : len);
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
  fb->workDamage.reset(fb->ySize);
  fb->screenDamage.reset(fb->ySize);
  fb->backChanged = true;
  return true;
}

// Damage is kept only for a record sized by allocBuffers; any other
// record is restored and copied whole.
bool tracking(const FbInfo* fb) {
  return fb->damageTracking && fb->workDamage.count.size() == (size_t)fb->ySize &&
         fb->screenDamage.count.size() == (size_t)fb->ySize;
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

void FbDamage::reset(int rows) {
  count.assign(rows > 0 ? (size_t)rows : 0, 0);
  span.assign(count.size() * kSpansPerRow, Span{0, 0});
  rowMin = 0;
  rowMax = -1;
  full = false;
}

void FbDamage::clear() {
  for (int y = rowMin; y <= rowMax; y++) count[y] = 0;
  rowMin = 0;
  rowMax = -1;
  full = false;
}

namespace {

void addSpan(FbDamage& d, int y, int x0, int x1) {
  FbDamage::Span* sp = &d.span[(size_t)y * FbDamage::kSpansPerRow];
  int n = d.count[y];
  for (int i = 0; i < n; i++)
    if (sp[i].x0 <= x0 && x1 <= sp[i].x1) return;  // already in
  // Join every span the new one overlaps or nearly touches; the grown
  // span may then reach others.
  for (int i = 0; i < n;) {
    if (sp[i].x0 <= x1 + kJoinGap && x0 <= sp[i].x1 + kJoinGap) {
      if (sp[i].x0 < x0) x0 = sp[i].x0;
      if (sp[i].x1 > x1) x1 = sp[i].x1;
      sp[i] = sp[--n];
      i = 0;
    } else {
      i++;
    }
  }
  while (n == FbDamage::kSpansPerRow) {
    // No room: join the nearest span.
    int best = 0, bestGap = -1;
    for (int i = 0; i < n; i++) {
      int gap = sp[i].x0 > x1 ? sp[i].x0 - x1 : x0 - sp[i].x1;
      if (bestGap < 0 || gap < bestGap) {
        bestGap = gap;
        best = i;
      }
    }
    if (sp[best].x0 < x0) x0 = sp[best].x0;
    if (sp[best].x1 > x1) x1 = sp[best].x1;
    sp[best] = sp[--n];
  }
  sp[n++] = FbDamage::Span{x0, x1};
  d.count[y] = (uint8_t)n;
  if (d.rowMax < d.rowMin) {
    d.rowMin = d.rowMax = y;
  } else {
    if (y < d.rowMin) d.rowMin = y;
    if (y > d.rowMax) d.rowMax = y;
  }
}

}  // namespace

void FbDamage::add(const FbRect& r) {
  if (full || r.x1 <= r.x0 || r.y1 <= r.y0) return;
  const int rows = (int)count.size();
  for (int y = r.y0 < 0 ? 0 : r.y0; y < r.y1 && y < rows; y++) addSpan(*this, y, r.x0, r.x1);
}

void FbDamage::addAll(const FbDamage& d) {
  if (full) return;
  if (d.full) {
    setFull();
    return;
  }
  for (int y = d.rowMin; y <= d.rowMax; y++) {
    const Span* sp = &d.span[(size_t)y * kSpansPerRow];
    for (int i = 0; i < d.count[y]; i++) addSpan(*this, y, sp[i].x0, sp[i].x1);
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
  fb->screenDamage.add(r);
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
  copyRegions(fb, fb->fbMem, fb->workBuf, fb->screenDamage);
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
