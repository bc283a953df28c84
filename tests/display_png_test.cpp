// PNG backgrounds: loading checks, pixel copy, and the PNG writer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/works.h"
#include "display/fb.h"
#include "display/png.h"
#include "platform/log.h"

namespace {

class Png : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zelpngXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    oldCwd_ = cwd;
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    w_ = new Works();
    fb_ = fbCreateMemory(800, 480);
    w_->fb = fb_;
    memset(fb_->backBuf, 0x33, fb_->memSize);
    memset(fb_->workBuf, 0x44, fb_->memSize);
    memset(fb_->fbMem, 0x55, fb_->memSize);
    logCaptureStart();
  }
  void TearDown() override {
    logCaptureStop();
    fbRelease(fb_);
    delete w_;
    ASSERT_EQ(chdir(oldCwd_.c_str()), 0);
    std::string cmd = "rm -rf '" + dir_ + "'";
    (void)system(cmd.c_str());
  }
  void name(const char* n) { snprintf(w_->imgName, sizeof w_->imgName, "%s", n); }
  // RGBA picture whose pixel (c, r) is (r*10+c, 100+c, 200+r, 0x40).
  std::vector<uint8_t> pattern(int wd, int ht) {
    std::vector<uint8_t> v((size_t)wd * ht * 4);
    for (int r = 0; r < ht; r++)
      for (int c = 0; c < wd; c++) {
        uint8_t* p = &v[((size_t)r * wd + c) * 4];
        p[0] = (uint8_t)(r * 10 + c);
        p[1] = (uint8_t)(100 + c);
        p[2] = (uint8_t)(200 + r);
        p[3] = 0x40;
      }
    return v;
  }
  void writeRgba(const char* n, int wd, int ht) {
    auto v = pattern(wd, ht);
    ASSERT_EQ(writePngRows((std::string(n) + ".png").c_str(), v.data(), wd, ht, 6, 8), 0);
  }
  bool untouched() {
    for (unsigned i = 0; i < fb_->memSize; i++)
      if (fb_->backBuf[i] != 0x33 || fb_->workBuf[i] != 0x44 || fb_->fbMem[i] != 0x55) return false;
    return true;
  }
  // Loading must fail with the message and leave every buffer as it was.
  void expectRefused(const char* n, const std::string& message) {
    name(n);
    EXPECT_EQ(getPng(w_, 1), -1) << n;
    EXPECT_TRUE(logContains(message)) << message;
    EXPECT_TRUE(untouched()) << n;
  }
  uint8_t* back(int x, int y) { return fb_->backBuf + y * fb_->lineSize + x * 4; }

  std::string dir_, oldCwd_;
  Works* w_ = nullptr;
  FbInfo* fb_ = nullptr;
};

}  // namespace

TEST_F(Png, SmallPictureGoesTopLeftAndDropsAlpha) {
  writeRgba("small", 10, 5);
  name("small");
  ASSERT_EQ(getPng(w_, 1), 0);
  for (int r = 0; r < 5; r++)
    for (int c = 0; c < 10; c++) {
      uint8_t* p = back(c, r);
      EXPECT_EQ(p[0], 200 + r);  // blue
      EXPECT_EQ(p[1], 100 + c);  // green
      EXPECT_EQ(p[2], r * 10 + c);  // red
      EXPECT_EQ(p[3], 0);
    }
  // Everything outside the picture keeps its contents.
  for (int y = 0; y < 480; y++)
    for (int x = 0; x < 800; x++) {
      if (x < 10 && y < 5) continue;
      for (int k = 0; k < 4; k++) ASSERT_EQ(back(x, y)[k], 0x33) << x << "," << y;
    }
  for (unsigned i = 0; i < fb_->memSize; i++) {
    ASSERT_EQ(fb_->workBuf[i], 0x44);
    ASSERT_EQ(fb_->fbMem[i], 0x55);
  }
  EXPECT_TRUE(logCaptured().empty());
}

TEST_F(Png, WorkBufferLoadIsShownAtOnce) {
  writeRgba("small", 10, 5);
  name("small");
  w_->imgX = 100;
  w_->imgY = 200;
  ASSERT_EQ(getPng(w_, 0), 0);
  uint8_t* p = fb_->workBuf + 203 * fb_->lineSize + 107 * 4;
  EXPECT_EQ(p[0], 203);
  EXPECT_EQ(p[1], 107);
  EXPECT_EQ(p[2], 37);
  EXPECT_EQ(memcmp(fb_->fbMem, fb_->workBuf, fb_->memSize), 0);
  EXPECT_EQ(fb_->workBuf[0], 0x44);
  EXPECT_EQ(fb_->backBuf[0], 0x33);
}

TEST_F(Png, WriterRoundTripsAFullScreen) {
  std::vector<uint8_t> scr(800 * 480 * 4);
  std::mt19937 rng(7);
  for (auto& b : scr) b = (uint8_t)rng();
  ASSERT_EQ(writePngBgrx("full.png", scr.data(), 800, 480, 3200), 0);
  name("full");
  ASSERT_EQ(getPng(w_, 1), 0);
  for (size_t i = 0; i < scr.size(); i += 4) {
    ASSERT_EQ(fb_->backBuf[i], scr[i]);
    ASSERT_EQ(fb_->backBuf[i + 1], scr[i + 1]);
    ASSERT_EQ(fb_->backBuf[i + 2], scr[i + 2]);
    ASSERT_EQ(fb_->backBuf[i + 3], 0);
  }
}

TEST_F(Png, RefusesUnsuitablePictures) {
  // 24-bit RGB.
  std::vector<uint8_t> rgb(20 * 10 * 3, 0x77);
  ASSERT_EQ(writePngRows("rgb.png", rgb.data(), 20, 10, 2, 8), 0);
  expectRefused("rgb", "rgb.png image has 8 pixels not 4 or color_type is 2 not 6");
  // 16 bits per sample.
  std::vector<uint8_t> deep(4 * 4 * 8, 0x11);
  ASSERT_EQ(writePngRows("deep.png", deep.data(), 4, 4, 6, 16), 0);
  expectRefused("deep", "deep.png image has 16 pixels not 4 or color_type is 6 not 6");
  // Larger than the screen.
  writeRgba("wide", 801, 1);
  expectRefused("wide", "wide.png image has 801 cols not 800");
  writeRgba("tall", 1, 481);
  expectRefused("tall", "tall.png image has 481 rows not 480");
  // Not a PNG at all, or too short to tell.
  std::ofstream("junk.png") << "GIF89a this is something else";
  expectRefused("junk", "junk.png image is not a PNG file");
  std::ofstream("tiny.png") << "\x89P";
  expectRefused("tiny", "tiny.png image is not a PNG file");
  // Missing.
  expectRefused("nothere", "nothere.png image could not be opened");
}

TEST_F(Png, DamagedFilesLeaveTheBuffersAlone) {
  writeRgba("good", 300, 200);
  std::ifstream in("good.png", std::ios::binary);
  std::string d((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(d.size(), 100u);
  // Cut in the middle of the image data.
  std::ofstream("cut.png", std::ios::binary).write(d.data(), d.size() / 2);
  expectRefused("cut", "cut.png error during reading image");
  // Header chunk with a broken checksum.
  std::string h = d;
  h[29] ^= 0x5A;
  std::ofstream("badhdr.png", std::ios::binary).write(h.data(), h.size());
  expectRefused("badhdr", "badhdr.png error during init_io");
}

TEST_F(Png, NeedsAFourBytePanel) {
  writeRgba("small", 10, 5);
  FbInfo narrow = *fb_;
  narrow.pixelSize = 2;
  narrow.lineSize = 1600;
  narrow.memSize = 1600 * 480;
  w_->fb = &narrow;
  expectRefused("small", "small.png image has 8 pixels not 2 or color_type is 6 not 6");
  w_->fb = fb_;
}

TEST_F(Png, PlacementMustKeepThePictureOnScreen) {
  writeRgba("small", 10, 5);
  w_->imgX = 795;
  expectRefused("small", "small.png image has 10 cols not 5");
  w_->imgX = 0;
  w_->imgY = 478;
  expectRefused("small", "small.png image has 5 rows not 2");
  w_->imgY = -1;
  expectRefused("small", "small.png image has 5 rows not 0");
  w_->imgY = 0;
  w_->imgX = 790;
  name("small");
  EXPECT_EQ(getPng(w_, 1), 0);  // exactly up to the right edge
}

TEST_F(Png, OddNamesAndMissingDisplay) {
  memset(w_->imgName, 'a', sizeof w_->imgName);  // no terminator
  EXPECT_EQ(getPng(w_, 1), -1);
  EXPECT_TRUE(logContains(std::string(sizeof w_->imgName, 'a') + ".png image could not be opened"));
  EXPECT_TRUE(untouched());
  Works* none = new Works();
  EXPECT_EQ(getPng(none, 1), -1);
  EXPECT_EQ(getPng(nullptr, 1), -1);
  delete none;
}

TEST_F(Png, WriterRefusesBadArgumentsWithoutLeavingFiles) {
  std::vector<uint8_t> px(16, 0);
  EXPECT_EQ(writePngRows("nodir/x.png", px.data(), 2, 2, 6, 8), -1);
  EXPECT_EQ(writePngRows("x.png", px.data(), 0, 2, 6, 8), -1);
  EXPECT_EQ(writePngRows("x.png", px.data(), 2, 2, 3, 8), -1);  // palette
  EXPECT_EQ(writePngRows("x.png", nullptr, 2, 2, 6, 8), -1);
  EXPECT_EQ(writePngBgrx("x.png", px.data(), 2, 2, 4), -1);     // rows too short
  EXPECT_NE(access("x.png", F_OK), 0);
  std::string cmd = "test -z \"$(ls -A '" + dir_ + "')\"";
  EXPECT_EQ(system(cmd.c_str()), 0);
}
