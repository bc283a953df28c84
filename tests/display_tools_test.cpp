// The picture tools: the backgrounds drawn by mkscreens load as panel
// pictures, and fb2png turns a screen file into the same picture.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "core/works.h"
#include "display/fb.h"
#include "display/png.h"
#include "display/text.h"
#include "platform/log.h"
#include "tests/support/emulator.h"

namespace {

std::string tool(const char* name) { return std::string(ZELPYX_BUILD_DIR) + "/" + name; }

class Tools : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zeltoolsXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    oldCwd_ = cwd;
    w_ = new Works();
    fb_ = fbCreateMemory(800, 480);
    w_->fb = fb_;
  }
  void TearDown() override {
    fbRelease(fb_);
    delete w_;
    ASSERT_EQ(chdir(oldCwd_.c_str()), 0);
    std::string cmd = "rm -rf '" + dir_ + "'";
    (void)system(cmd.c_str());
  }
  int load(const char* n) {
    snprintf(w_->imgName, sizeof w_->imgName, "%s", n);
    return getPng(w_, 1);
  }
  const uint8_t* back(int x, int y) { return fb_->backBuf + y * fb_->lineSize + x * 4; }
  std::string dir_, oldCwd_;
  Works* w_ = nullptr;
  FbInfo* fb_ = nullptr;
};

}  // namespace

TEST_F(Tools, MkscreensDrawsEveryPanelPicture) {
  if (access(tool("mkscreens").c_str(), X_OK) != 0) GTEST_SKIP() << "mkscreens not built";
  std::string cmd = programCommand(tool("mkscreens")) + " '" + dir_ + "' 2>/dev/null";
  ASSERT_EQ(system(cmd.c_str()), 0);
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  logCaptureStart();
  for (const char* n : {"start", "start120", "statusB", "status", "img1", "img1b", "img3", "img3b", "m5a"}) {
    memset(fb_->backBuf, 0x7F, fb_->memSize);
    EXPECT_EQ(load(n), 0) << n;
    // A whole screen: no byte of the old contents survives in the last pixel.
    EXPECT_NE(memcmp(back(799, 479), "\x7F\x7F\x7F\x7F", 4), 0) << n;
  }
  logCaptureStop();
  EXPECT_TRUE(logCaptured().empty());

  // The title lettering is orange on the start screens, and the 120 W
  // screen differs from the plain one.
  ASSERT_EQ(load("start"), 0);
  std::vector<uint8_t> start(fb_->backBuf, fb_->backBuf + fb_->memSize);
  int orange = 0;
  for (unsigned i = 0; i < fb_->memSize; i += 4)
    if (start[i + 2] == 250 && start[i + 1] == 150 && start[i] == 0) orange++;
  EXPECT_GT(orange, 1000);
  ASSERT_EQ(load("start120"), 0);
  EXPECT_NE(memcmp(start.data(), fb_->backBuf, fb_->memSize), 0);

  // The work background has its button strip at the bottom.
  ASSERT_EQ(load("statusB"), 0);
  EXPECT_NE(memcmp(back(400, 300), back(400, 450), 3), 0);
  EXPECT_EQ(memcmp(back(10, 450), back(700, 450), 4), 0);
}

TEST_F(Tools, Fb2pngConvertsAScreenFile) {
  if (access(tool("fb2png").c_str(), X_OK) != 0) GTEST_SKIP() << "fb2png not built";
  std::vector<uint8_t> scr(800 * 480 * 4);
  for (size_t i = 0; i < scr.size(); i++) scr[i] = (uint8_t)((i * 37) >> 3);
  std::string screen = dir_ + "/fb0";
  std::ofstream(screen, std::ios::binary).write((const char*)scr.data(), scr.size());
  std::string cmd = programCommand(tool("fb2png")) + " '" + screen + "' '" + dir_ + "/shot.png'";
  ASSERT_EQ(system(cmd.c_str()), 0);
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  ASSERT_EQ(load("shot"), 0);
  for (size_t i = 0; i < scr.size(); i += 4) {
    ASSERT_EQ(fb_->backBuf[i], scr[i]);
    ASSERT_EQ(fb_->backBuf[i + 1], scr[i + 1]);
    ASSERT_EQ(fb_->backBuf[i + 2], scr[i + 2]);
  }
  // A short screen file is an error, and no picture is written.
  std::ofstream(dir_ + "/short", std::ios::binary) << "abc";
  cmd = programCommand(tool("fb2png")) + " '" + dir_ + "/short' '" + dir_ + "/none.png' 2>/dev/null";
  EXPECT_NE(system(cmd.c_str()), 0);
  EXPECT_NE(access((dir_ + "/none.png").c_str(), F_OK), 0);
}

TEST_F(Tools, ScreenFileShowsWhatWasDrawn) {
  // The controller's path end to end: a screen file in a temporary root,
  // a picture, text, and the realised screen read back through fb2png.
  if (access(tool("fb2png").c_str(), X_OK) != 0) GTEST_SKIP() << "fb2png not built";
  setenv("ZELPYX_ROOT", dir_.c_str(), 1);
  std::string dev = dir_ + "/dev";
  mkdir(dev.c_str(), 0755);
  {
    std::ofstream f(dev + "/fb0", std::ios::binary);
    std::string zeros(800 * 480 * 4, '\0');
    f.write(zeros.data(), zeros.size());
  }
  FbInfo* fb = fbInit();
  ASSERT_NE(fb, nullptr);
  TTFLoad("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 30, 9);
  FillBox(0, 0, 800, 480, 20, 20, 30, fb, 1);
  fbSetBack(fb);
  putString(9, 300, 400, "Loading ... 7", 255, 255, 255, fb, 0, 0, 0, 0);
  fbRealize(fb);
  std::string cmd = programCommand(tool("fb2png")) + " '" + dev + "/fb0' '" + dir_ + "/shot.png'";
  ASSERT_EQ(system(cmd.c_str()), 0);
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  unsetenv("ZELPYX_ROOT");
  ASSERT_EQ(load("shot"), 0);
  EXPECT_EQ(memcmp(fb_->backBuf, fb->workBuf, fb->memSize), 0);
  int white = 0;
  for (int y = 370; y <= 400; y++)
    for (int x = 300; x < 520; x++)
      if (back(x, y)[0] > 200) white++;
  EXPECT_GT(white, 100);
  TTFUnloadAll();
  fbRelease(fb);
}
