#include "remote/jpeg_codec.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <syslog.h>
#include <vector>

#include <jpeglib.h>

#include "core/works.h"
#include "display/fb.h"
#include "platform/log.h"

namespace {

// libjpeg's default error handler exits the process; ours jumps back.
struct JpegErr {
  jpeg_error_mgr pub;
  jmp_buf jump;
};

void onJpegError(j_common_ptr cinfo) {
  JpegErr* e = reinterpret_cast<JpegErr*>(cinfo->err);
  char msg[JMSG_LENGTH_MAX];
  (*cinfo->err->format_message)(cinfo, msg);
  zlogLimited(LOG_ERR, "jpeg: %s", msg);
  longjmp(e->jump, 1);
}

void quietMessage(j_common_ptr) {}

// A peer's screen is one panel: a progressive file of many scans would
// cost a full pass per scan, so their number is held to a few.
constexpr int kMaxScans = 32;
// libjpeg's own allocations for one 800 x 480 screen stay well below this
// (a progressive one holds every coefficient: about 1.2 MB).
constexpr long kMaxDecodeMemory = 16L * 1024 * 1024;

void onProgress(j_common_ptr cinfo) {
  auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
  if (d->input_scan_number > kMaxScans) {
    zlogLimited(LOG_ERR, "jpeg: more than %d scans, not shown", kMaxScans);
    longjmp(reinterpret_cast<JpegErr*>(cinfo->err)->jump, 1);
  }
}

// Plain C-style bodies: nothing with a destructor lives across setjmp.
int encode(const uint8_t* pixels, int xs, int ys, int quality, unsigned char** mem, unsigned long* memLen) {
  jpeg_compress_struct c;
  JpegErr err;
  c.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = onJpegError;
  err.pub.output_message = quietMessage;
  if (setjmp(err.jump)) {
    jpeg_destroy_compress(&c);
    return -1;
  }
  jpeg_create_compress(&c);
  jpeg_mem_dest(&c, mem, memLen);
  c.image_width = static_cast<JDIMENSION>(xs);
  c.image_height = static_cast<JDIMENSION>(ys);
  c.input_components = 4;
  c.in_color_space = JCS_EXT_RGBX;  // bytes 0, 1, 2 as they are, byte 3 ignored
  jpeg_set_defaults(&c);
  jpeg_set_colorspace(&c, JCS_YCbCr);
  // 4:2:0: one chroma sample per 2 x 2 pixels.
  c.comp_info[0].h_samp_factor = 2;
  c.comp_info[0].v_samp_factor = 2;
  c.comp_info[1].h_samp_factor = 1;
  c.comp_info[1].v_samp_factor = 1;
  c.comp_info[2].h_samp_factor = 1;
  c.comp_info[2].v_samp_factor = 1;
  // Separate luma and chroma tables, both scaled from the example tables.
  jpeg_set_quality(&c, quality, TRUE);
  c.optimize_coding = FALSE;  // the standard Huffman tables, one pass
  jpeg_start_compress(&c, TRUE);
  const size_t stride = static_cast<size_t>(xs) * 4;
  while (c.next_scanline < c.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(pixels + c.next_scanline * stride);
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  return 0;
}

// img is sized only once the header showed a screen of ours.
int decode(const uint8_t* data, unsigned long length, int xs, int ys, std::vector<uint8_t>& img) {
  jpeg_decompress_struct d;
  JpegErr err;
  d.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = onJpegError;
  err.pub.output_message = quietMessage;
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&d);
    return -1;
  }
  jpeg_create_decompress(&d);
  d.mem->max_memory_to_use = kMaxDecodeMemory;
  jpeg_progress_mgr progress;
  progress.progress_monitor = onProgress;
  d.progress = &progress;
  jpeg_mem_src(&d, data, length);
  if (jpeg_read_header(&d, TRUE) != JPEG_HEADER_OK) {
    jpeg_destroy_decompress(&d);
    return -1;
  }
  // Size and colour space from the header alone: anything that is not a
  // screen of ours costs no decompression and no memory.
  const bool colourOk = (d.num_components == 3 && (d.jpeg_color_space == JCS_YCbCr || d.jpeg_color_space == JCS_RGB)) ||
                        (d.num_components == 1 && d.jpeg_color_space == JCS_GRAYSCALE);
  if (static_cast<int>(d.image_width) != xs || static_cast<int>(d.image_height) != ys || !colourOk) {
    zlogLimited(LOG_ERR, "jpeg: image %ux%u with %d components is not the screen %dx%d", d.image_width, d.image_height,
                d.num_components, xs, ys);
    jpeg_destroy_decompress(&d);
    return -1;
  }
  img.resize(static_cast<size_t>(xs) * static_cast<size_t>(ys) * 4);
  uint8_t* dst = img.data();
  d.out_color_space = JCS_EXT_RGBX;
  jpeg_start_decompress(&d);
  if (static_cast<int>(d.output_width) != xs || static_cast<int>(d.output_height) != ys ||
      d.output_components != 4) {
    zlogLimited(LOG_ERR, "jpeg: image %ux%u is not the screen %dx%d", d.output_width, d.output_height, xs, ys);
    jpeg_abort_decompress(&d);
    jpeg_destroy_decompress(&d);
    return -1;
  }
  const size_t stride = static_cast<size_t>(xs) * 4;
  while (d.output_scanline < d.output_height) {
    JSAMPROW row = dst + d.output_scanline * stride;
    jpeg_read_scanlines(&d, &row, 1);
  }
  // Data that ends early decodes with grey filler and a warning; a
  // truncated screen is not shown.
  bool truncated = err.pub.num_warnings > 0;
  jpeg_finish_decompress(&d);
  jpeg_destroy_decompress(&d);
  return truncated ? -1 : 0;
}

}  // namespace

int CompressImage(const uint8_t* pixels, int xSize, int ySize, int quality, uint8_t* out,
                  unsigned long* length) {
  const unsigned long room = *length;
  *length = 0;
  if (pixels == nullptr || out == nullptr || xSize <= 0 || ySize <= 0) return -1;
  if (quality < 1) quality = 1;
  if (quality > 100) quality = 100;
  unsigned char* mem = nullptr;
  unsigned long memLen = 0;
  int rc = encode(pixels, xSize, ySize, quality, &mem, &memLen);
  if (rc == 0 && memLen > room) {
    zlogLimited(LOG_ERR, "jpeg: %lu bytes do not fit %lu", memLen, room);
    rc = -1;
  }
  if (rc == 0) {
    memcpy(out, mem, memLen);
    *length = memLen;
  }
  free(mem);
  return rc;
}

int Compress(Works* w, uint8_t* out, unsigned long* length) {
  FbInfo* fb = w->fb;
  if (fb == nullptr) {
    *length = 0;
    return -1;
  }
  *length = fb->memSize;
  return CompressImage(fb->workBuf, fb->xSize, fb->ySize, w->jpegQuality.load(), out, length);
}

int UncompressImage(const uint8_t* data, unsigned long length, int xSize, int ySize, uint8_t* dst) {
  if (data == nullptr || length == 0 || xSize <= 0 || ySize <= 0) return -1;
  std::vector<uint8_t> img;
  if (decode(data, length, xSize, ySize, img) != 0) return -1;
  for (size_t i = 3; i < img.size(); i += 4) img[i] = 255;
  memcpy(dst, img.data(), img.size());
  return 0;
}

int Uncompress(Works* w, const uint8_t* data, unsigned long length) {
  FbInfo* fb = w->fb;
  if (fb == nullptr || fb->pixelSize != 4) return -1;
  std::lock_guard<std::recursive_mutex> lk(drawMutex());
  return UncompressImage(data, length, fb->xSize, fb->ySize, fb->workBuf);
}
