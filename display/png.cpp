#include "display/png.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <png.h>
#include <string>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "core/works.h"
#include "display/fb.h"
#include "platform/files.h"
#include "platform/log.h"

namespace {

struct PngImage {
  png_bytep* rows = nullptr;
  int width = 0;
  int height = 0;
};

void freeRows(png_bytep* rows, int n) {
  if (rows == nullptr) return;
  for (int i = 0; i < n; i++) free(rows[i]);
  free(rows);
}

// Reads a whole picture that fits the screen at (x0, y0). Plain data only
// in this frame: libpng reports errors by longjmp back into it.
int readPng(const char* file, FILE* fp, const FbInfo* fb, int x0, int y0, PngImage* out) {
  unsigned char sig[8];
  if (fread(sig, 1, 8, fp) != 8 || png_sig_cmp(sig, 0, 8) != 0) {
    zlog(LOG_ERR, "%s image is not a PNG file", file);
    return -1;
  }
  // libpng refuses a version string other than its own series, so the one
  // we were built against is passed.
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) {
    zlog(LOG_ERR, "%s PNG_create_read_struct failed", file);
    return -1;
  }
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    zlog(LOG_ERR, "%s PNG_create_info_struct failed", file);
    png_destroy_read_struct(&png, nullptr, nullptr);
    return -1;
  }
  volatile int reading = 0;
  png_bytep* volatile rows = nullptr;
  volatile int nrows = 0;
  if (setjmp(png_jmpbuf(png))) {
    zlog(LOG_ERR, reading ? "%s error during reading image" : "%s error during init_io", file);
    freeRows(rows, nrows);
    png_destroy_read_struct(&png, &info, nullptr);
    return -1;
  }
  png_init_io(png, fp);
  png_set_sig_bytes(png, 8);
  // A background is one screen: no ancillary chunk of its file needs more
  // than this, and the size is checked from the header before any rows.
  png_set_chunk_malloc_max(png, 1 << 20);
  png_read_info(png, info);

  const int width = (int)png_get_image_width(png, info);
  const int height = (int)png_get_image_height(png, info);
  const int depth = png_get_bit_depth(png, info);
  const int colorType = png_get_color_type(png, info);
  const char* failure = nullptr;
  if (width > fb->xSize) {
    zlog(LOG_ERR, "%s image has %d cols not %d", file, width, fb->xSize);
    failure = "cols";
  } else if (height > fb->ySize) {
    zlog(LOG_ERR, "%s image has %d rows not %d", file, height, fb->ySize);
    failure = "rows";
  } else if (depth != 8 || fb->pixelSize != 4 || colorType != PNG_COLOR_TYPE_RGBA) {
    zlog(LOG_ERR, "%s image has %d pixels not %d or color_type is %d not %d", file, depth,
         (int)fb->pixelSize, colorType, PNG_COLOR_TYPE_RGBA);
    failure = "format";
  } else if (x0 < 0 || y0 < 0 || x0 + width > fb->xSize || y0 + height > fb->ySize) {
    // The picture fits the screen but not at this placement.
    if (x0 < 0 || x0 + width > fb->xSize)
      zlog(LOG_ERR, "%s image has %d cols not %d", file, width, x0 < 0 ? 0 : fb->xSize - x0);
    else
      zlog(LOG_ERR, "%s image has %d rows not %d", file, height, y0 < 0 ? 0 : fb->ySize - y0);
    failure = "placement";
  }
  if (failure != nullptr) {
    png_destroy_read_struct(&png, &info, nullptr);
    return -1;
  }

  reading = 1;
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  const size_t rowBytes = png_get_rowbytes(png, info);
  rows = static_cast<png_bytep*>(calloc((size_t)height, sizeof(png_bytep)));
  if (rows == nullptr) {
    zlog(LOG_ERR, "%s unable to alloc row_pointers for image", file);
    png_destroy_read_struct(&png, &info, nullptr);
    return -1;
  }
  for (int i = 0; i < height; i++) {
    rows[i] = static_cast<png_bytep>(malloc(rowBytes));
    if (rows[i] == nullptr) {
      zlog(LOG_ERR, "%s unable to alloc row_pointers[%d] for image", file, i);
      freeRows(rows, i);
      png_destroy_read_struct(&png, &info, nullptr);
      return -1;
    }
    nrows = i + 1;
  }
  png_read_image(png, rows);
  png_destroy_read_struct(&png, &info, nullptr);
  out->rows = rows;
  out->width = width;
  out->height = height;
  return 0;
}

int writeRows(FILE* fp, const uint8_t* data, int width, int height, int colorType, int bitDepth,
              size_t rowBytes) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) return -1;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    return -1;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return -1;
  }
  png_init_io(png, fp);
  png_set_IHDR(png, info, (png_uint_32)width, (png_uint_32)height, bitDepth, colorType,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < height; y++)
    png_write_row(png, const_cast<png_bytep>(data + (size_t)y * rowBytes));
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return 0;
}

int channelsOf(int colorType) {
  switch (colorType) {
    case PNG_COLOR_TYPE_GRAY: return 1;
    case PNG_COLOR_TYPE_GRAY_ALPHA: return 2;
    case PNG_COLOR_TYPE_RGB: return 3;
    case PNG_COLOR_TYPE_RGBA: return 4;
    default: return 0;  // palettes are not written
  }
}

}  // namespace

int getPng(Works* w, int toBack) {
  if (w == nullptr || w->fb == nullptr) return -1;
  FbInfo* fb = w->fb;
  char name[sizeof w->imgName + 1];
  memcpy(name, w->imgName, sizeof w->imgName);
  name[sizeof w->imgName] = '\0';
  char file[sizeof name + 8];
  snprintf(file, sizeof file, "%s.png", name);

  FILE* fp = openRooted(file, "rb");
  if (fp == nullptr) {
    zlog(LOG_ERR, "%s image could not be opened", file);
    return -1;
  }
  const int x0 = w->imgX, y0 = w->imgY;
  PngImage img;
  int rc = readPng(file, fp, fb, x0, y0, &img);
  if (rc == 0) {
    std::lock_guard<std::recursive_mutex> lk(drawMutex());
    uint8_t* dst = toBack ? fb->backBuf : fb->workBuf;
    for (int i = 0; i < img.height; i++) {
      const uint8_t* s = img.rows[i];
      uint8_t* d = dst + (size_t)(y0 + i) * fb->lineSize + (size_t)x0 * 4;
      for (int c = 0; c < img.width; c++, s += 4, d += 4) {
        d[0] = s[2];
        d[1] = s[1];
        d[2] = s[0];
        d[3] = 0;
      }
    }
    freeRows(img.rows, img.height);
    if (img.height > 0 && img.width > 0)
      fbDamageSpan(fb, toBack, x0, y0, x0 + img.width - 1, y0 + img.height - 1);
    if (toBack == 0) fbRealize(fb);
  }
  fclose(fp);
  return rc;
}

int writePngRows(const char* path, const uint8_t* data, int width, int height, int colorType,
                 int bitDepth) {
  const int channels = channelsOf(colorType);
  if (path == nullptr || data == nullptr || width <= 0 || height <= 0 || channels == 0 ||
      (bitDepth != 8 && bitDepth != 16 && !(bitDepth < 8 && channels == 1)))
    return -1;
  const size_t rowBytes = ((size_t)width * channels * bitDepth + 7) / 8;
  std::string tmp = std::string(path) + ".tmpXXXXXX";
  int fd = mkstemp(&tmp[0]);
  if (fd < 0) return -1;
  fchmod(fd, 0644);
  FILE* fp = fdopen(fd, "wb");
  if (fp == nullptr) {
    close(fd);
    unlink(tmp.c_str());
    return -1;
  }
  int rc = writeRows(fp, data, width, height, colorType, bitDepth, rowBytes);
  if (fflush(fp) != 0 || ferror(fp)) rc = -1;
  if (fclose(fp) != 0) rc = -1;
  if (rc == 0 && rename(tmp.c_str(), path) != 0) rc = -1;
  if (rc != 0) unlink(tmp.c_str());
  return rc;
}

int writePngBgrx(const char* path, const uint8_t* pixels, int width, int height,
                 unsigned lineSize) {
  if (pixels == nullptr || width <= 0 || height <= 0 || lineSize < (unsigned)width * 4) return -1;
  std::string rgba((size_t)width * height * 4, '\0');
  for (int y = 0; y < height; y++) {
    const uint8_t* s = pixels + (size_t)y * lineSize;
    uint8_t* d = reinterpret_cast<uint8_t*>(&rgba[(size_t)y * width * 4]);
    for (int x = 0; x < width; x++, s += 4, d += 4) {
      d[0] = s[2];
      d[1] = s[1];
      d[2] = s[0];
      d[3] = 255;
    }
  }
  return writePngRows(path, reinterpret_cast<const uint8_t*>(rgba.data()), width, height,
                      PNG_COLOR_TYPE_RGBA, 8);
}
