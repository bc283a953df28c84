// Framebuffer set-up and the drawing primitives.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

#include "core/works.h"
#include "display/fb.h"
#include "platform/log.h"

namespace {

using Pt = std::pair<int, int>;

// A small screen whose buffers live in vectors.
struct TestFb {
  FbInfo fb;
  std::vector<uint8_t> screen, work, back;
  TestFb(int w, int h, unsigned ps) {
    fb.xSize = w;
    fb.ySize = h;
    fb.pixelSize = ps;
    fb.lineSize = w * ps;
    fb.memSize = fb.lineSize * h;
    screen.assign(fb.memSize, 0);
    work.assign(fb.memSize, 0);
    back.assign(fb.memSize, 0);
    fb.fbMem = screen.data();
    fb.workBuf = work.data();
    fb.backBuf = back.data();
  }
  // Pixels of the work buffer that are not all zero.
  std::set<Pt> inked(const std::vector<uint8_t>& buf) const {
    std::set<Pt> s;
    for (int y = 0; y < fb.ySize; y++)
      for (int x = 0; x < fb.xSize; x++) {
        const uint8_t* p = &buf[y * fb.lineSize + x * fb.pixelSize];
        for (unsigned k = 0; k < fb.pixelSize; k++)
          if (p[k] != 0) {
            s.insert({x, y});
            break;
          }
      }
    return s;
  }
  std::set<Pt> inked() const { return inked(work); }
  const uint8_t* px(int x, int y) const { return &work[y * fb.lineSize + x * fb.pixelSize]; }
};

std::string makeTempDir() {
  char tmpl[] = "/tmp/zeldisplayXXXXXX";
  char* d = mkdtemp(tmpl);
  EXPECT_NE(d, nullptr);
  return d ? d : "";
}

}  // namespace

TEST(DrawLine, IdenticalEndPointsDrawNothing) {
  TestFb t(40, 20, 4);
  DrawLine(10, 10, 10, 10, 255, 255, 255, &t.fb, 0);
  EXPECT_TRUE(t.inked().empty());
}

TEST(DrawLine, BresenhamPointsIncludeBothEnds) {
  TestFb t(40, 20, 4);
  DrawLine(10, 10, 13, 11, 255, 255, 255, &t.fb, 0);
  EXPECT_EQ(t.inked(), (std::set<Pt>{{10, 10}, {11, 10}, {12, 11}, {13, 11}}));

  TestFb s(40, 20, 4);  // steep: one pixel per row
  DrawLine(5, 5, 6, 9, 255, 255, 255, &s.fb, 0);
  EXPECT_EQ(s.inked(), (std::set<Pt>{{5, 5}, {5, 6}, {6, 7}, {6, 8}, {6, 9}}));

  TestFb b(40, 20, 4);  // drawn backwards
  DrawLine(20, 3, 15, 3, 255, 255, 255, &b.fb, 0);
  EXPECT_EQ(b.inked(), (std::set<Pt>{{15, 3}, {16, 3}, {17, 3}, {18, 3}, {19, 3}, {20, 3}}));
}

TEST(DrawLine, ClipsByOffsetNotByCoordinate) {
  TestFb t(10, 5, 4);
  // Past the right edge the line reappears at the left of the next row.
  DrawLine(8, 1, 11, 1, 255, 255, 255, &t.fb, 0);
  EXPECT_EQ(t.inked(), (std::set<Pt>{{8, 1}, {9, 1}, {0, 2}, {1, 2}}));

  // Beyond the end of the buffer points are dropped; the very last pixel
  // of the buffer is outside the accepted offsets as well.
  TestFb e(10, 5, 4);
  DrawLine(5, 4, 9, 4, 255, 255, 255, &e.fb, 0);
  DrawLine(0, 3, 0, 40, 255, 255, 255, &e.fb, 0);
  EXPECT_EQ(e.inked(), (std::set<Pt>{{5, 4}, {6, 4}, {7, 4}, {8, 4}, {0, 3}, {0, 4}}));

  // Offset 0 is refused to steep lines only; negative offsets always.
  TestFb z(10, 5, 4);
  DrawLine(0, 0, 0, 2, 255, 255, 255, &z.fb, 0);
  EXPECT_EQ(z.inked(), (std::set<Pt>{{0, 1}, {0, 2}}));
  TestFb h(10, 5, 4);
  DrawLine(0, 0, 2, 0, 255, 255, 255, &h.fb, 0);
  DrawLine(-3, 0, -1, 0, 255, 255, 255, &h.fb, 0);   // before the buffer
  EXPECT_EQ(h.inked(), (std::set<Pt>{{0, 0}, {1, 0}, {2, 0}}));
  DrawLine(-3, 1, -1, 1, 255, 255, 255, &h.fb, 0);   // left of row 1 is the end of row 0
  EXPECT_EQ(h.inked(), (std::set<Pt>{{0, 0}, {1, 0}, {2, 0}, {7, 0}, {8, 0}, {9, 0}}));
}

TEST(DrawLine, TargetsWorkOrBackground) {
  TestFb t(20, 10, 4);
  DrawLine(1, 1, 5, 1, 1, 2, 3, &t.fb, 1);
  EXPECT_TRUE(t.inked().empty());
  EXPECT_EQ(t.inked(t.back).size(), 5u);
}

TEST(Colour, PackingFor32And16Bits) {
  TestFb t(10, 5, 4);
  DrawLine(1, 1, 2, 1, 250, 150, 0, &t.fb, 0);
  EXPECT_EQ(std::vector<uint8_t>(t.px(1, 1), t.px(1, 1) + 4), (std::vector<uint8_t>{0x00, 0x96, 0xFA, 0x00}));

  TestFb s(10, 5, 2);
  DrawLine(1, 1, 2, 1, 255, 0, 0, &s.fb, 0);
  DrawLine(1, 2, 2, 2, 0, 255, 0, &s.fb, 0);
  EXPECT_EQ(s.px(1, 1)[0], 0x00);
  EXPECT_EQ(s.px(1, 1)[1], 0xF8);
  EXPECT_EQ(s.px(1, 2)[0], 0xE0);
  EXPECT_EQ(s.px(1, 2)[1], 0x07);
  EXPECT_EQ(s.px(3, 1)[0], 0x00);  // neighbour untouched

  // Pixel sizes without a packing are left alone by the line primitives.
  TestFb u(10, 5, 3);
  DrawLine(1, 1, 5, 1, 255, 255, 255, &u.fb, 0);
  DrawHorizontalLine(1, 2, 5, 255, 255, 255, &u.fb, 0);
  EXPECT_TRUE(u.inked().empty());
}

TEST(DrawHorizontalLine, EndIsExcludedAndStaysOnScreen) {
  TestFb t(20, 10, 4);
  DrawHorizontalLine(5, 3, 5, 255, 255, 255, &t.fb, 0);
  DrawHorizontalLine(9, 3, 4, 255, 255, 255, &t.fb, 0);
  EXPECT_TRUE(t.inked().empty());
  DrawHorizontalLine(5, 3, 8, 255, 255, 255, &t.fb, 0);
  EXPECT_EQ(t.inked(), (std::set<Pt>{{5, 3}, {6, 3}, {7, 3}}));

  // Stray coordinates write nothing outside the screen.
  TestFb c(20, 10, 4);
  DrawHorizontalLine(-5, 9, 30, 255, 255, 255, &c.fb, 0);
  DrawHorizontalLine(0, 10, 20, 255, 255, 255, &c.fb, 0);
  DrawHorizontalLine(0, -1, 20, 255, 255, 255, &c.fb, 0);
  EXPECT_EQ(c.inked().size(), 20u);
}

TEST(FillBox, FillsHalfOpenBoxInEitherCornerOrder) {
  TestFb t(20, 10, 4);
  FillBox(7, 6, 3, 2, 250, 150, 0, &t.fb, 0);
  std::set<Pt> want;
  for (int y = 2; y < 6; y++)
    for (int x = 3; x < 7; x++) want.insert({x, y});
  EXPECT_EQ(t.inked(), want);
  EXPECT_EQ(t.px(3, 2)[1], 0x96);

  TestFb c(20, 10, 4);  // kept on screen
  FillBox(-5, -5, 40, 40, 1, 1, 1, &c.fb, 0);
  EXPECT_EQ(c.inked().size(), 200u);

  // The 4-byte form on a 2-byte display must not run past the buffer.
  TestFb s(20, 10, 2);
  FillBox(0, 0, 20, 10, 255, 255, 255, &s.fb, 0);
  EXPECT_EQ(s.px(19, 9)[0], 0xFF);
}

TEST(DrawRect, OutlineWithCornersInWorkBuffer) {
  Works* w = new Works();
  TestFb t(30, 20, 4);
  w->fb = &t.fb;
  DrawRect(w, 2, 3, 10, 8, 255, 255, 255);
  std::set<Pt> want;
  for (int y = 3; y <= 8; y++) {
    want.insert({2, y});
    want.insert({10, y});
  }
  for (int x = 2; x < 10; x++) {
    want.insert({x, 3});
    want.insert({x, 8});
  }
  EXPECT_EQ(t.inked(), want);
  EXPECT_TRUE(t.inked(t.back).empty());
  delete w;
}

TEST(DrawArc, PointsLieOnTheCircle) {
  TestFb t(200, 200, 4);
  DrawArc(100, 100, 50, 0, 360, 255, 255, 255, &t.fb, 0);
  auto ink = t.inked();
  ASSERT_GT(ink.size(), 250u);
  for (const auto& p : ink) {
    double r = std::hypot(p.first - 100.0, p.second - 100.0);
    EXPECT_NEAR(r, 50.0, 1.5) << p.first << "," << p.second;
  }
  for (Pt p : {Pt{150, 100}, Pt{100, 50}, Pt{50, 100}, Pt{100, 150}}) EXPECT_TRUE(ink.count(p));

  // 0..90 degrees is the upper right quarter: y shrinks as the angle grows.
  TestFb q(200, 200, 4);
  DrawArc(100, 100, 40, 0, 90, 255, 255, 255, &q.fb, 0);
  for (const auto& p : q.inked()) {
    EXPECT_GE(p.first, 100);
    EXPECT_LE(p.second, 100);
  }
  EXPECT_TRUE(q.inked().count({140, 100}));
  EXPECT_TRUE(q.inked().count({100, 60}));

  // A single degree has no previous point: nothing is drawn.
  TestFb o(200, 200, 4);
  DrawArc(100, 100, 40, 30, 30, 255, 255, 255, &o.fb, 0);
  EXPECT_TRUE(o.inked().empty());
}

TEST(DrawArc, PreviousCoordinateOfZeroTakesTheCurrentOne) {
  // Near the top of this circle the points run (44,0) (44,0) (43,1) (42,1)
  // (42,1): the step down from row 0 is drawn along row 1.
  TestFb t(100, 100, 4);
  DrawArc(50, 40, 40, 98, 102, 255, 255, 255, &t.fb, 0);
  EXPECT_EQ(t.inked(), (std::set<Pt>{{42, 1}, {43, 1}, {44, 1}}));

  // At the left edge the points run (0,53) .. (0,56) (1,57) (1,58): the
  // step off column 0 is drawn down column 1.
  TestFb l(100, 100, 4);
  DrawArc(40, 50, 40, 185, 192, 255, 255, 255, &l.fb, 0);
  EXPECT_EQ(l.inked(), (std::set<Pt>{{0, 53}, {0, 54}, {0, 55}, {0, 56}, {1, 56}, {1, 57}, {1, 58}}));
}

TEST(ShortBuffers, FifteenBitDepthKeepsWritesInsideTheScreen) {
  // 20 x 10 at 15 bits per pixel: 375 bytes, less than 10 rows of 40.
  TestFb t(20, 10, 2);
  std::vector<uint8_t> work(20 * 10 * 15 / 8, 0);
  t.fb.memSize = (unsigned)work.size();
  t.fb.workBuf = work.data();
  t.fb.backBuf = work.data();
  DrawHorizontalLine(0, 9, 20, 255, 255, 255, &t.fb, 0);
  for (int x = 0; x < 7; x++) EXPECT_EQ(work[9 * 40 + x * 2], 0xFF) << x;
  FillRow(12, 9, 255, 0, 0, &t.fb, 99, 99, 99);
  EXPECT_EQ(work[8 * 40 + 12 * 2 + 1], 0xF8);
  EXPECT_EQ(work[1 * 40 + 12 * 2 + 1], 0xF8);
  FillBox(0, 0, 20, 10, 1, 2, 3, &t.fb, 0);
}

TEST(FillRow, PaintsUpwardUntilWhiteSkippingTheSkipColour) {
  TestFb t(10, 12, 4);
  DrawHorizontalLine(4, 3, 5, 255, 255, 255, &t.fb, 0);  // white stop
  DrawHorizontalLine(4, 6, 5, 9, 9, 9, &t.fb, 0);        // skip colour
  FillRow(4, 9, 250, 0, 0, &t.fb, 9, 9, 9);
  for (int y : {9, 8, 7, 5, 4}) EXPECT_EQ(t.px(4, y)[2], 250) << y;
  EXPECT_EQ(t.px(4, 6)[2], 9);
  EXPECT_EQ(t.px(4, 3)[2], 255);
  for (int y : {2, 1, 0, 10, 11}) EXPECT_EQ(t.px(4, y)[2], 0) << y;

  TestFb n(10, 12, 4);  // no white: up to row 1, never row 0
  FillRow(2, 11, 0, 200, 0, &n.fb, 1, 1, 1);
  EXPECT_EQ(n.inked().size(), 11u);
  EXPECT_EQ(n.px(2, 0)[1], 0);
  FillRow(20, 5, 0, 200, 0, &n.fb, 1, 1, 1);  // off screen: nothing
  EXPECT_EQ(n.inked().size(), 11u);

  // Colours are told by their colour bytes, whatever the fourth byte holds.
  TestFb c(10, 12, 4);
  uint8_t* white = &c.work[3 * c.fb.lineSize + 4 * 4];
  uint8_t* skip = &c.work[6 * c.fb.lineSize + 4 * 4];
  const uint8_t whiteX[4] = {255, 255, 255, 0x80}, skipX[4] = {9, 9, 9, 0x80};
  memcpy(white, whiteX, 4);
  memcpy(skip, skipX, 4);
  FillRow(4, 9, 250, 0, 0, &c.fb, 9, 9, 9);
  EXPECT_EQ(memcmp(skip, skipX, 4), 0);
  EXPECT_EQ(memcmp(white, whiteX, 4), 0);
  EXPECT_EQ(c.px(4, 5)[2], 250);
  EXPECT_EQ(c.px(4, 2)[2], 0);
}

TEST(Buffers, SetBackAndRealizeCopyWholeScreens) {
  TestFb t(10, 5, 4);
  FillBox(0, 0, 10, 5, 1, 2, 3, &t.fb, 1);
  fbSetBack(&t.fb);
  EXPECT_EQ(t.work, t.back);
  DrawLine(0, 2, 9, 2, 200, 200, 200, &t.fb, 0);
  fbRealize(&t.fb);
  EXPECT_EQ(t.screen, t.work);
  EXPECT_NE(t.screen, t.back);
}

TEST(FbInit, PixelSizeFromDepth) {
  EXPECT_EQ(fbPixelSize(4), 1u);
  EXPECT_EQ(fbPixelSize(8), 1u);
  EXPECT_EQ(fbPixelSize(5), 2u);
  EXPECT_EQ(fbPixelSize(15), 2u);
  EXPECT_EQ(fbPixelSize(16), 2u);
  EXPECT_EQ(fbPixelSize(24), 3u);
  EXPECT_EQ(fbPixelSize(32), 4u);
  EXPECT_EQ(fbPixelSize(12), 0u);  // "Unknown pixel format"
}

class FbInitRoot : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = makeTempDir();
    setenv("ZELPYX_ROOT", root_.c_str(), 1);
    mkdir((root_ + "/dev").c_str(), 0755);
    logCaptureStart();
  }
  void TearDown() override {
    logCaptureStop();
    unsetenv("ZELPYX_ROOT");
    std::string cmd = "rm -rf '" + root_ + "'";
    (void)system(cmd.c_str());
  }
  void makeScreenFile(size_t bytes) {
    std::ofstream f(root_ + "/dev/fb0", std::ios::binary);
    std::string zeros(bytes, '\0');
    f.write(zeros.data(), zeros.size());
  }
  std::string readFile(const std::string& rel) {
    std::ifstream f(root_ + rel, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  }
  std::string root_;
};

TEST_F(FbInitRoot, ScreenFileIsAVirtual32BitPanel) {
  makeScreenFile(800 * 480 * 4);
  FbInfo* fb = fbInit();
  ASSERT_NE(fb, nullptr);
  EXPECT_EQ(fb->xSize, 800);
  EXPECT_EQ(fb->ySize, 480);
  EXPECT_EQ(fb->pixelSize, 4u);
  EXPECT_EQ(fb->lineSize, 3200u);
  EXPECT_EQ(fb->memSize, 800u * 480 * 4);
  EXPECT_TRUE(logContains("Pixel size =4"));
  EXPECT_TRUE(logContains("Screen Size x: 800, y: 480, Pixel Size 4 Line size: 3200, Mem size: 1536000"));
  // The console cursor is hidden through the shell, on the rooted console.
  EXPECT_EQ(readFile("/dev/tty0"), "\033[?25l");

  DrawLine(10, 20, 12, 20, 250, 150, 0, fb, 0);
  fbRealize(fb);
  std::string scr = readFile("/dev/fb0");
  ASSERT_EQ(scr.size(), 800u * 480 * 4);
  for (int x = 10; x <= 12; x++) {
    size_t o = (20 * 800 + x) * 4;
    EXPECT_EQ((uint8_t)scr[o], 0x00);
    EXPECT_EQ((uint8_t)scr[o + 1], 0x96);
    EXPECT_EQ((uint8_t)scr[o + 2], 0xFA);
    EXPECT_EQ((uint8_t)scr[o + 3], 0x00);
  }
  EXPECT_EQ((uint8_t)scr[(20 * 800 + 13) * 4 + 2], 0);
  fbRelease(fb);
}

TEST_F(FbInitRoot, MissingDeviceFallsBackToMemory) {
  EXPECT_EQ(fbInit(), nullptr);
  EXPECT_TRUE(logContains("Unable to read framebuffer device: /dev/fb0"));
  FbInfo* fb = fbInitOrMemory();
  ASSERT_NE(fb, nullptr);
  EXPECT_EQ(fb->xSize, 800);
  EXPECT_EQ(fb->ySize, 480);
  EXPECT_EQ(fb->pixelSize, 4u);
  EXPECT_EQ(fb->memSize, 800u * 480 * 4);
  // Drawing works as on a panel.
  DrawLine(0, 479, 700, 479, 255, 255, 255, fb, 0);
  fbRealize(fb);
  EXPECT_EQ(fb->fbMem[(479 * 800 + 5) * 4 + 2], 255);
  fbRelease(fb);
}

TEST_F(FbInitRoot, ShortScreenFileIsNotAPanel) {
  makeScreenFile(1000);
  EXPECT_EQ(fbInit(), nullptr);
  EXPECT_TRUE(logContains("Unable to read screen info."));
  EXPECT_TRUE(logContains("Do you have read+write privilages to /dev/fb0?"));
  FbInfo* fb = fbInitOrMemory();
  ASSERT_NE(fb, nullptr);
  EXPECT_EQ(fb->memSize, 800u * 480 * 4);
  fbRelease(fb);
  EXPECT_EQ(readFile("/dev/fb0").size(), 1000u);
}
