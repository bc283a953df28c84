// The JPEG screen codec: what Compress writes is read back by djpeg (an
// independent decoder) and by Uncompress; data that does not make a whole
// screen leaves the work buffer alone.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/works.h"
#include "display/fb.h"
#include "remote/jpeg_codec.h"
#include "remote/remote_dispatch.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_works.h"

namespace {

void fill(uint8_t* buf, unsigned n, uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  for (unsigned i = 0; i < n; i += 4) {
    buf[i] = a;
    buf[i + 1] = b;
    buf[i + 2] = c;
    buf[i + 3] = d;
  }
}

// Markers of a JPEG file: sampling factors of the frame header, number of
// quantisation tables, whether the file is baseline.
struct JpegInfo {
  bool baseline = false;
  int components = 0;
  int samp[3] = {};
  int qtables = 0;
};

JpegInfo inspect(const std::vector<uint8_t>& f) {
  JpegInfo j;
  size_t i = 2;
  while (i + 4 <= f.size() && f[i] == 0xFF) {
    int m = f[i + 1];
    int len = (f[i + 2] << 8) | f[i + 3];
    if (m == 0xC0) {
      j.baseline = true;
      j.components = f[i + 9];
      for (int c = 0; c < j.components && c < 3; c++) j.samp[c] = f[i + 11 + 3 * c];
    }
    if (m == 0xDB) j.qtables += (len - 2) / 65;
    if (m == 0xDA) break;
    i += 2 + static_cast<size_t>(len);
  }
  return j;
}

class Jpeg : public ::testing::Test {
 protected:
  TestWorks tw;
  Works* w = nullptr;
  FbInfo* fb = nullptr;
  void SetUp() override {
    w = tw.get();
    fb = fbCreateMemory(800, 480);
    w->fb = fb;
    w->jpegQuality = 75;
  }
  void TearDown() override { fbRelease(fb); }
};

TEST_F(Jpeg, AFlatScreenIsSmallAndReadsBackInBothDecoders) {
  fill(fb->workBuf, fb->memSize, 30, 140, 220, 0);
  std::vector<uint8_t> out(fb->memSize);
  unsigned long len = 12345;
  ASSERT_EQ(Compress(w, out.data(), &len), 0);
  ASSERT_GT(len, 0u);
  EXPECT_LT(len, 20000u);  // one flat colour: a few kilobytes
  out.resize(len);
  JpegInfo j = inspect(out);
  EXPECT_TRUE(j.baseline);
  EXPECT_EQ(j.components, 3);
  EXPECT_EQ(j.samp[0], 0x22);  // 4:2:0
  EXPECT_EQ(j.samp[1], 0x11);
  EXPECT_EQ(j.samp[2], 0x11);
  EXPECT_EQ(j.qtables, 2);  // chroma has its own table

  // djpeg, with the three components as bytes 0, 1, 2.
  TempRoot root;
  std::string jpg = root.dir() + "/s.jpg", ppm = root.dir() + "/s.ppm";
  FILE* f = fopen(jpg.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  fwrite(out.data(), 1, out.size(), f);
  fclose(f);
  ASSERT_EQ(system(("djpeg -pnm -outfile " + ppm + " " + jpg).c_str()), 0) << "djpeg (libjpeg-turbo-progs)";
  f = fopen(ppm.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  int wd = 0, ht = 0, mx = 0;
  ASSERT_EQ(fscanf(f, "P6 %d %d %d", &wd, &ht, &mx), 3);
  fgetc(f);
  EXPECT_EQ(wd, 800);
  EXPECT_EQ(ht, 480);
  std::vector<uint8_t> rgb(800 * 480 * 3);
  ASSERT_EQ(fread(rgb.data(), 1, rgb.size(), f), rgb.size());
  fclose(f);
  for (size_t i = 0; i < rgb.size(); i += 3) {
    ASSERT_NEAR(rgb[i], 30, 3) << i;
    ASSERT_NEAR(rgb[i + 1], 140, 3) << i;
    ASSERT_NEAR(rgb[i + 2], 220, 3) << i;
  }

  // Our decoder: same colour, byte 3 always 255 whatever was sent.
  fill(fb->workBuf, fb->memSize, 0, 0, 0, 7);
  ASSERT_EQ(Uncompress(w, out.data(), out.size()), 0);
  for (unsigned i = 0; i < fb->memSize; i += 4) {
    ASSERT_NEAR(fb->workBuf[i], 30, 3) << i;
    ASSERT_NEAR(fb->workBuf[i + 1], 140, 3) << i;
    ASSERT_NEAR(fb->workBuf[i + 2], 220, 3) << i;
    ASSERT_EQ(fb->workBuf[i + 3], 255) << i;
  }
}

TEST_F(Jpeg, DataThatIsNoWholeScreenLeavesTheWorkBufferAlone) {
  // Another size: a 400 x 240 image.
  std::vector<uint8_t> small(400 * 240 * 4, 90);
  std::vector<uint8_t> out(small.size());
  unsigned long len = out.size();
  ASSERT_EQ(CompressImage(small.data(), 400, 240, 80, out.data(), &len), 0);
  fill(fb->workBuf, fb->memSize, 1, 2, 3, 4);
  fill(fb->backBuf, fb->memSize, 5, 6, 7, 8);
  EXPECT_EQ(Uncompress(w, out.data(), len), -1);
  // Garbage, and a screen cut short.
  std::vector<uint8_t> junk(5000, 0x5A);
  EXPECT_EQ(Uncompress(w, junk.data(), junk.size()), -1);
  fill(fb->workBuf, fb->memSize, 200, 10, 10, 0);
  std::vector<uint8_t> full(fb->memSize);
  len = full.size();
  ASSERT_EQ(Compress(w, full.data(), &len), 0);
  fill(fb->workBuf, fb->memSize, 1, 2, 3, 4);
  EXPECT_EQ(Uncompress(w, full.data(), len / 2), -1);
  for (unsigned i = 0; i < fb->memSize; i += 4) {
    ASSERT_EQ(fb->workBuf[i], 1) << i;
    ASSERT_EQ(fb->workBuf[i + 3], 4) << i;
  }
  // A received screen that does not decode is not shown and not kept.
  EXPECT_EQ(showRemoteScreen(w, junk.data(), static_cast<uint32_t>(junk.size())), -1);
  EXPECT_EQ(fb->backBuf[0], 5);
  // One that decodes becomes the background too.
  EXPECT_EQ(showRemoteScreen(w, full.data(), static_cast<uint32_t>(len)), 0);
  EXPECT_NEAR(fb->backBuf[0], 200, 3);
  EXPECT_EQ(fb->backBuf[3], 255);
  EXPECT_NEAR(fb->fbMem[0], 200, 3);
  // Raw pixels: a message of exactly memSize bytes.
  std::vector<uint8_t> raw(fb->memSize, 33);
  EXPECT_EQ(showRemoteScreen(w, raw.data(), fb->memSize), 0);
  EXPECT_EQ(fb->backBuf[100], 33);
}

}  // namespace
