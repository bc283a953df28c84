#include <cmath>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>
#include <syslog.h>
#include <unistd.h>

#include "display/fb.h"
#include "display/fb_record.h"
#include "display/text_fonts.h"
#include "platform/log.h"
#include "platform/paths.h"

FT_Library library = nullptr;
FT_Face face[kFontCount] = {};
FT_GlyphSlot slot[kFontCount] = {};
int fontSize[kFontCount] = {};

namespace {

// The panel's own faces are not always installed; the same faces ship with
// the distribution's ParaType package.
const char* fontFallback(const char* file) {
  if (strcmp(file, "/opt/fonts/PTS55F_W.ttf") == 0)
    return "/usr/share/fonts/truetype/paratype/PTS55F.ttf";
  if (strcmp(file, "/opt/fonts/PTS75F_W.ttf") == 0)
    return "/usr/share/fonts/truetype/paratype/PTS75F.ttf";
  return nullptr;
}

std::string resolveFont(const char* file) {
  std::string p = fontPath(file);
  if (access(p.c_str(), R_OK) == 0) return p;
  const char* alt = fontFallback(file);
  if (alt == nullptr) return p;
  std::string q = fontPath(alt);
  if (access(q.c_str(), R_OK) != 0) return p;
  zlog(LOG_INFO, "Font %s missing, using %s", file, q.c_str());
  return q;
}

struct FontTableEntry {
  int number;
  const char* file;
  int height;
};

// Font 3 is not used by any screen and stays empty.
const FontTableEntry kFontTable[] = {
    {0, "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf", 24},
    {1, "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 22},
    {2, "/opt/fonts/PTS55F_W.ttf", 22},
    {4, "/opt/fonts/PTS75F_W.ttf", 24},
    {5, "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 8},
    {6, "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 14},
    {7, "/usr/share/fonts/truetype/dejavu/DejaVuSans-Oblique.ttf", 24},
    {8, "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 20},
    {9, "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 30},
    {10, "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 18},
    {11, "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf", 21},
};

inline bool isCont(unsigned char b) { return b >= 0x80 && b <= 0xBF; }

// Coverage of bitmap byte (row, col); mono bitmaps count as full coverage.
inline unsigned coverage(const FT_Bitmap& bm, unsigned row, unsigned col) {
  if (bm.pixel_mode == FT_PIXEL_MODE_MONO)
    return (bm.buffer[row * bm.pitch + (col >> 3)] & (0x80 >> (col & 7))) ? 255 : 0;
  return bm.buffer[row * bm.pitch + col];
}

// Columns to walk: the whole pitch of a grey bitmap, the width of a mono one.
inline unsigned bitmapCols(const FT_Bitmap& bm) {
  if (bm.pitch <= 0 || bm.buffer == nullptr) return 0;
  if (bm.pixel_mode == FT_PIXEL_MODE_GRAY) return (unsigned)bm.pitch;
  if (bm.pixel_mode == FT_PIXEL_MODE_MONO) return bm.width;
  return 0;
}

// Coverage blend into one 4-byte pixel; the coverage is ANDed with the
// colour byte, which is how the panel's text has always looked.
inline void blendPixel(uint8_t* p, unsigned a, int red, int green, int blue) {
  if (a == 0) {  // no coverage: the colour bytes stay as they are
    p[3] = 0;
    return;
  }
  p[0] = (uint8_t)(((255 - a) * p[0]) / 255 + (a & (unsigned)blue));
  p[1] = (uint8_t)(((255 - a) * p[1]) / 255 + (a & (unsigned)green));
  p[2] = (uint8_t)(((255 - a) * p[2]) / 255 + (a & (unsigned)red));
  p[3] = 0;
}

inline void blend(FbInfo* fb, uint8_t* buf, long long row, long long col, unsigned a, int red,
                  int green, int blue) {
  // Text is cut at the screen's edges: a column past one is no pixel of
  // the row, it would wrap onto the neighbouring row's other end.
  if (col < 0 || col >= (long long)fb->xSize) return;
  long long o = row * (long long)fb->lineSize + col * (long long)fb->pixelSize;
  if (o < 0 || o + 3 >= (long long)fb->memSize) return;
  blendPixel(buf + o, a, red, green, blue);
}

// A rendered glyph as putString uses it: coverage bytes row by row (cols
// per row), the metrics it places the glyph by, and the pen advance.
struct Glyph {
  unsigned rows = 0, cols = 0;
  long long height = 0, bearingY = 0;
  FT_Pos advanceX = 0, advanceY = 0;
  std::vector<uint8_t> cover;
};

// Rendering a glyph costs far more than blending it, and the panel draws
// the same few strings every cycle. A bitmap depends only on the face,
// the character, the rotation and where in its pixel the pen stands, so
// that is the key; the whole cache goes when a face is (re)loaded.
bool glyphCacheOn = true;
constexpr size_t kGlyphCacheMax = 4096;
std::unordered_map<uint64_t, Glyph>& glyphCache() {
  static std::unordered_map<uint64_t, Glyph> c;
  return c;
}
Glyph scratchGlyph;

const Glyph* glyphFor(int font, FT_Face f, FT_Matrix* matrix, FT_Vector pen, unsigned cp,
                      bool rotate) {
  const uint64_t key = (uint64_t)cp | ((uint64_t)(pen.x & 63) << 21) |
                       ((uint64_t)(pen.y & 63) << 27) | ((uint64_t)rotate << 33) |
                       ((uint64_t)font << 34);
  auto& cache = glyphCache();
  if (glyphCacheOn) {
    auto it = cache.find(key);
    if (it != cache.end()) return &it->second;
  }
  FT_Set_Transform(f, matrix, &pen);
  if (FT_Load_Char(f, cp, FT_LOAD_RENDER) != 0) return nullptr;
  const FT_GlyphSlot gs = f->glyph;
  const FT_Bitmap& bm = gs->bitmap;
  Glyph g;
  g.rows = bm.rows;
  g.cols = bitmapCols(bm);
  g.height = gs->metrics.height;
  g.bearingY = gs->metrics.horiBearingY;
  g.advanceX = gs->advance.x;
  g.advanceY = gs->advance.y;
  if (g.cols == 0) g.rows = 0;
  g.cover.resize((size_t)g.rows * g.cols);
  for (unsigned i = 0; i < g.rows; i++)
    for (unsigned j = 0; j < g.cols; j++) g.cover[(size_t)i * g.cols + j] = (uint8_t)coverage(bm, i, j);
  if (!glyphCacheOn) {
    scratchGlyph = std::move(g);
    return &scratchGlyph;
  }
  if (cache.size() >= kGlyphCacheMax) cache.clear();
  return &(cache[key] = std::move(g));
}

}  // namespace

bool fontLoaded(int n) { return n >= 0 && n < kFontCount && face[n] != nullptr; }

void TTFLoad(const char* file, int pixelHeight, int fontNumber) {
  if (file == nullptr || fontNumber < 0 || fontNumber >= kFontCount) {
    zlog(LOG_ERR, "Font number %d out of range", fontNumber);
    return;
  }
  std::lock_guard<std::recursive_mutex> lk(drawMutex());
  // One library for all faces.
  if (library == nullptr) {
    zlog(LOG_INFO, "Iinitializing FreeType");
    if (FT_Init_FreeType(&library) != 0) {
      zlog(LOG_ERR, "Error initializing FreeType");
      library = nullptr;
    }
  }
  zlog(LOG_INFO, "Loading face: filename=%s", file);
  glyphCache().clear();
  fbDrawingChanged();
  if (face[fontNumber] != nullptr) {
    FT_Done_Face(face[fontNumber]);
    face[fontNumber] = nullptr;
    slot[fontNumber] = nullptr;
  }
  std::string path = resolveFont(file);
  FT_Error err = library == nullptr ? FT_Err_Invalid_Library_Handle
                                    : FT_New_Face(library, path.c_str(), 0, &face[fontNumber]);
  if (err == FT_Err_Unknown_File_Format) {
    zlog(LOG_ERR, "FreeType: file format not supported");
    face[fontNumber] = nullptr;
  } else if (err != 0) {
    zlog(LOG_ERR, "FreeType: file error");
    face[fontNumber] = nullptr;
  } else {
    zlog(LOG_INFO, "Face loaded");
  }
  if (face[fontNumber] == nullptr || FT_Set_Pixel_Sizes(face[fontNumber], 0, (FT_UInt)pixelHeight) != 0)
    zlog(LOG_ERR, "Error Setting Pixel Size");
  zlog(LOG_INFO, "Pixel size sat");
  slot[fontNumber] = face[fontNumber] != nullptr ? face[fontNumber]->glyph : nullptr;
  fontSize[fontNumber] = pixelHeight;
}

void LoadFontTable() {
  for (const auto& e : kFontTable) TTFLoad(e.file, e.height, e.number);
}

void TTFUnloadAll() {
  std::lock_guard<std::recursive_mutex> lk(drawMutex());
  glyphCache().clear();
  fbDrawingChanged();
  for (int i = 0; i < kFontCount; i++) {
    if (face[i] != nullptr) FT_Done_Face(face[i]);
    face[i] = nullptr;
    slot[i] = nullptr;
    fontSize[i] = 0;
  }
  if (library != nullptr) FT_Done_FreeType(library);
  library = nullptr;
}

int utf8_get_next_char(const char* text, unsigned int length, unsigned int* pos, int* valid,
                       unsigned int* codePoint) {
  *codePoint = 0;
  *valid = 1;
  if (*pos >= length) return -1;
  const unsigned char* b = reinterpret_cast<const unsigned char*>(text) + *pos;
  const unsigned avail = length - *pos;
  auto invalid = [&](unsigned consumed) {
    *valid = 0;
    *codePoint = 0;
    *pos += consumed;
    return 1;
  };
  const unsigned c = b[0];
  if (c < 0x80) {
    *codePoint = c;
    *pos += 1;
    return 1;
  }
  if (c < 0xC2 || c > 0xF4) return invalid(1);
  if (c <= 0xDF) {
    if (avail < 2 || !isCont(b[1])) return invalid(1);
    *codePoint = ((c & 0x1F) << 6) | (b[1] & 0x3F);
    *pos += 2;
    return 1;
  }
  unsigned lo = 0x80, hi = 0xBF;
  if (c <= 0xEF) {
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
    if (avail < 2 || b[1] < lo || b[1] > hi) return invalid(1);
    if (avail < 3 || !isCont(b[2])) return invalid(2);
    *codePoint = ((c & 0x0F) << 12) | ((b[1] & 0x3Fu) << 6) | (b[2] & 0x3F);
    *pos += 3;
    return 1;
  }
  if (c == 0xF0) lo = 0x90;
  if (c == 0xF4) hi = 0x8F;
  if (avail < 2 || b[1] < lo || b[1] > hi) return invalid(1);
  if (avail < 3 || !isCont(b[2])) return invalid(2);
  if (avail < 4 || !isCont(b[3])) return invalid(3);
  *codePoint = ((c & 0x07) << 18) | ((b[1] & 0x3Fu) << 12) | ((b[2] & 0x3Fu) << 6) | (b[3] & 0x3F);
  *pos += 4;
  return 1;
}

int utf8_length(const char* text, unsigned int length) {
  unsigned pos = 0;
  int valid;
  unsigned cp;
  int n = 0;
  while (utf8_get_next_char(text, length, &pos, &valid, &cp) == 1) n++;
  return n;
}

void fbTextRun(FbInfo* fb, const FbOp& op, const char* text, uint8_t* buf, const FbDamage* clip,
               FbRect* box) {
  *box = FbRect();
  const int font = op.v[0], x = op.v[1], y = op.v[2];
  const int red = op.v[3], green = op.v[4], blue = op.v[5];
  const int mirror = op.v[6], rotate = op.v[7], flip = op.v[8];
  if (!fontLoaded(font)) return;
  FT_Face f = face[font];

  const float angle = rotate ? -1.5707964f : 0.0f;
  FT_Matrix matrix;
  matrix.xx = (FT_Fixed)(cos(angle) * 65536.0);
  matrix.xy = (FT_Fixed)(-sin(angle) * 65536.0);
  matrix.yx = (FT_Fixed)(sin(angle) * 65536.0);
  matrix.yy = (FT_Fixed)(cos(angle) * 65536.0);
  FT_Vector pen;
  pen.x = (FT_Pos)x * 64;
  pen.y = (FT_Pos)y * 64;

  // Rows and columns drawn over, for the damage record.
  long long rowMin = 0, rowMax = -1, colMin = 0, colMax = -1;
  auto touch = [&](long long row, long long col) {
    if (rowMax < rowMin) {
      rowMin = rowMax = row;
      colMin = colMax = col;
      return;
    }
    if (row < rowMin) rowMin = row;
    if (row > rowMax) rowMax = row;
    if (col < colMin) colMin = col;
    if (col > colMax) colMax = col;
  };

  const unsigned len = op.textLen;
  unsigned pos = 0;
  int valid;
  unsigned cp;
  while (utf8_get_next_char(text, len, &pos, &valid, &cp) == 1) {
    const Glyph* g = glyphFor(font, f, &matrix, pen, cp, rotate != 0);
    if (g == nullptr) continue;
    const long long H = g->height;
    const long long BY = g->bearingY;
    const unsigned rows = g->rows;
    const unsigned cols = g->cols;
    // Where pixel (i, j) of the glyph lands.
    auto place = [&](unsigned i, unsigned j, long long* row, long long* col) {
      if (rotate) {
        *row = mirror == 1 ? pen.y / 64 + i : pen.y / 64 - i;
        *col = flip == -1 ? (long long)j - (H - BY - pen.x) / 64 : (H - BY + pen.x) / 64 - j;
      } else if (mirror == 1) {
        *col = pen.x / 64 - j;
        *row = (pen.y + H - BY) / 64 - i;
      } else if (flip == -1) {
        *col = pen.x / 64 + j;
        *row = (long long)i - (H - pen.y - BY) / 64;
      } else {
        *col = pen.x / 64 + j;
        *row = (pen.y + H - BY) / 64 - i;
      }
    };
    if (rows > 0 && cols > 0) {
      // Every placement is linear in i and j: the corners bound the glyph.
      long long r, c;
      for (unsigned ci : {0u, rows - 1})
        for (unsigned cj : {0u, cols - 1}) {
          place(ci, cj, &r, &c);
          touch(r, c);
        }
    }
    const bool upright = !rotate && mirror != 1;
    for (unsigned i = 0; buf != nullptr && i < rows && cols > 0; i++) {
      // Rotated text reads the bitmap top down, upright text bottom up.
      const uint8_t* cov = g->cover.data() + (size_t)(rotate ? i : rows - 1 - i) * cols;
      long long row, col;
      place(i, 0, &row, &col);
      const long long o = row * (long long)fb->lineSize + col * (long long)fb->pixelSize;
      if (clip == nullptr && upright && fb->pixelSize == 4 && o >= 0 && col >= 0 &&
          col + (long long)cols <= (long long)fb->xSize && o + (long long)cols * 4 + 3 < (long long)fb->memSize) {
        // The common case, a glyph row wholly inside the buffer: the same
        // blend without the per-pixel placement and bounds.
        uint8_t* p = buf + o;
        for (unsigned j = 0; j < cols; j++, p += 4) blendPixel(p, cov[j], red, green, blue);
        continue;
      }
      for (unsigned j = 0; j < cols; j++) {
        place(i, j, &row, &col);
        if (clip != nullptr) {
          long long po = row * (long long)fb->lineSize + col * (long long)fb->pixelSize;
          if (po < 0 || po + 3 >= (long long)fb->memSize || !fbClipOk(fb, clip, row, col, po)) continue;
        }
        blend(fb, buf, row, col, cov[j], red, green, blue);
      }
    }
    if (mirror == 1) {
      pen.x -= g->advanceX;
      pen.y -= g->advanceY;
    } else {
      pen.x += g->advanceX;
      pen.y += g->advanceY;
    }
  }
  if (rowMax >= rowMin) *box = fbSpanRect(fb, colMin, rowMin, colMax, rowMax);
}

int putString(int font, int x, int y, const char* text, int red, int green, int blue,
              FbInfo* fb, int mirror, int rotate, int flip, int toBack) {
  if (text == nullptr || fb == nullptr || !fontLoaded(font)) return -1;
  std::lock_guard<std::recursive_mutex> lk(drawMutex());
  FbOp op;
  op.kind = FbOpKind::Text;
  const int v[9] = {font, x, y, red, green, blue, mirror, rotate, flip};
  memcpy(op.v, v, sizeof v);
  op.textLen = (uint32_t)strlen(text);
  if (!toBack) {
    fbDraw(fb, op, text);
    return -1;  // the character loop always ends on "no more"
  }
  fbDirectWrite(fb, 1);
  fbTextRun(fb, op, text, fb->backBuf, nullptr, &op.rect);
  if (op.rect.x1 > op.rect.x0) fbBackChanged(fb);
  return -1;
}

void TTFGlyphCache(bool on) {
  std::lock_guard<std::recursive_mutex> lk(drawMutex());
  glyphCacheOn = on;
  glyphCache().clear();
  fbDrawingChanged();
}

int getStringSpace(int font, const char* text) {
  if (text == nullptr || !fontLoaded(font)) return 0;
  std::lock_guard<std::recursive_mutex> lk(drawMutex());
  FT_Face f = face[font];
  // The advances putString moves by, from the same glyphs.
  FT_Matrix matrix = {0x10000, 0, 0, 0x10000};
  FT_Vector pen = {0, 0};
  const unsigned len = (unsigned)strlen(text);
  unsigned pos = 0;
  int valid;
  unsigned cp;
  while (utf8_get_next_char(text, len, &pos, &valid, &cp) == 1) {
    const Glyph* g = glyphFor(font, f, &matrix, pen, cp, false);
    if (g == nullptr) continue;
    pen.x += g->advanceX;
    pen.y += g->advanceY;
  }
  return (int)(pen.x / 64);
}
