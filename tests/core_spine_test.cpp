// The controller as a whole process: start-up in a temporary root with a
// regular-file screen, the splash countdown, the remote-side flags
// rewritten at start, the shutdown screen on SIGTERM, and F12 on the
// service keyboard; and the calls up a floor the start-up installs.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <linux/input.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "app/spine.h"
#include "core/station_hooks.h"
#include "core/works.h"
#include "tests/support/test_works.h"
#include "tests/support/zelpyx_process.h"
#include "tests/support/temp_root.h"
#include "tests/support/wait.h"

namespace {

constexpr int kW = 800, kH = 480;

// White pixels (all three colours above 200) of the screen file inside a box.
int whitePixels(const std::string& fbPath, int x0, int y0, int x1, int y1) {
  int fd = open(fbPath.c_str(), O_RDONLY);
  if (fd < 0) return 0;
  std::vector<unsigned char> px(static_cast<size_t>(kW) * kH * 4);
  ssize_t n = pread(fd, px.data(), px.size(), 0);
  close(fd);
  if (n != static_cast<ssize_t>(px.size())) return 0;
  int count = 0;
  for (int y = y0; y < y1; y++)
    for (int x = x0; x < x1; x++) {
      const unsigned char* p = &px[(static_cast<size_t>(y) * kW + x) * 4];
      if (p[0] > 200 && p[1] > 200 && p[2] > 200) count++;
    }
  return count;
}

class ControllerProcess : public ::testing::Test {
 protected:
  void start() {
    // The screen stands in for the panel: a regular file of one frame.
    std::string fb = root_.path("/dev/fb0");
    int fd = open(fb.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, kW * kH * 4), 0);
    close(fd);
    // rm must reach the file inside the root, not the machine's own /opt/good.
    root_.stubScript("rm", "for a; do case \"$a\" in /*) set -- \"$@\" \"$ZELPYX_ROOT$a\";; *) set -- \"$@\" \"$a\";; esac; shift; done; exec /bin/rm \"$@\"");
    ASSERT_TRUE(proc_.start(root_.path("/controller.log")));
  }

  int waitExit(int timeoutMs) { return proc_.waitExit(timeoutMs); }

  TempRoot root_;
  ZelpyxProcess proc_;
};

TEST_F(ControllerProcess, StartsShowsSplashRewritesRemoteFlagsAndStopsOnSigterm) {
  root_.writeFile("/opt/set/setup.txt",
                  "EnableKeyb: 0\nEnableGPIO: 0\nWebSocket: 0\nEnableLinear: 0\nEnableTime: 0\n"
                  "EnableRead: 1\nEnableWrite: 0\nEnableCAT: 0\nEnableFFT: 0\n");
  root_.writeFile("/opt/good", "");
  start();
  const std::string fb = root_.path("/dev/fb0");

  // The splash countdown draws "Loading ..." in white at (300, 400).
  EXPECT_TRUE(waitFor([&] { return whitePixels(fb, 295, 370, 600, 405) > 50; }, 30000, 50))
      << root_.readFile("/controller.log");

  // Start-up stops and restarts the remote-side group: all four threads are
  // started and the flags saved as '1'. This machine has no radio on USB,
  // so the spectrum reader ends at once (error 5, its flag back at '0').
  EXPECT_TRUE(waitFor([&] {
    std::string s = root_.readFile("/opt/set/setup.txt");
    return s.find("EnableRead: 1\nEnableWrite: 1\nEnableCAT: 1\n") != std::string::npos &&
           s.find("EnableFFT: ") != std::string::npos &&
           root_.readFile("/controller.log").find("Operations init mirk-comms version 1.0") != std::string::npos;
  }, 25000, 50)) << root_.readFile("/opt/set/setup.txt");

  proc_.signal(SIGTERM);  // may have stopped by itself already: fine either way
  EXPECT_EQ(waitExit(60000), 0) << root_.readFile("/controller.log");

  const std::string log = root_.readFile("/controller.log");
  EXPECT_NE(log.find("START Main"), std::string::npos);
  EXPECT_NE(log.find("Close..\n"), std::string::npos);
  EXPECT_NE(log.find("Closed!\n"), std::string::npos);
  // "Error! Close Program! Restart hw." is drawn at (330, 400) over "start"
  // (its tail runs past the right edge and wraps to the next rows).
  EXPECT_GT(whitePixels(fb, 325, 370, 800, 405), 200);
  // A run stopped within 30 s leaves the firmware-update marker in place.
  EXPECT_TRUE(root_.exists("/opt/good"));
}

TEST_F(ControllerProcess, CtrlCDuringStartUpStillShutsDownCleanly) {
  root_.writeFile("/opt/set/setup.txt",
                  "EnableKeyb: 0\nEnableGPIO: 0\nWebSocket: 0\nEnableLinear: 0\nEnableTime: 0\n");
  start();
  // A missing setup file would be created; this one is read. Wait until the
  // program is up (its first splash tick) and interrupt it.
  EXPECT_TRUE(waitFor([&] { return whitePixels(root_.path("/dev/fb0"), 295, 370, 600, 405) > 50; },
                      30000, 50));
  proc_.signal(SIGINT);
  EXPECT_EQ(waitExit(60000), 0) << root_.readFile("/controller.log");
  EXPECT_NE(root_.readFile("/controller.log").find("Closed!\n"), std::string::npos);
}

TEST_F(ControllerProcess, F12OnTheServiceKeyboardShutsTheProgramDown) {
  root_.writeFile("/opt/set/setup.txt",
                  "EnableKeyb: 1\nEnableGPIO: 0\nWebSocket: 0\nEnableLinear: 0\nEnableTime: 0\n");
  root_.stubExit("stty", 0);
  root_.stubExit("tput", 0);
  // A FIFO stands in for the keyboard's event device.
  root_.writeFile("/dev/input/by-id/.keep", "");
  const std::string kbd = root_.path("/dev/input/by-id/usb-Service_Keyboard-event-kbd");
  ASSERT_EQ(mkfifo(kbd.c_str(), 0644), 0);
  start();
  ASSERT_TRUE(waitFor([&] { return root_.readFile("/controller.log").find("Keyboard opened") != std::string::npos; },
                      60000, 50))
      << root_.readFile("/controller.log");
  int fd = open(kbd.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  struct input_event e {};
  e.type = EV_KEY;
  e.code = KEY_F12;
  e.value = 1;
  ASSERT_EQ(write(fd, &e, sizeof e), static_cast<ssize_t>(sizeof e));
  close(fd);
  EXPECT_EQ(waitExit(60000), 0) << root_.readFile("/controller.log");
  const std::string log = root_.readFile("/controller.log");
  EXPECT_NE(log.find("Exited by KEY_F12"), std::string::npos);
  EXPECT_NE(log.find("Closed!\n"), std::string::npos);
}

// A hook left out does nothing, silently: the amplifier link would send no
// thresholds or never release the tune word. The record holds only
// function pointers, so it is read here as a row of them.
TEST(StationHooks, StartUpInstallsEveryCallUpAFloor) {
  TestWorks tw;
  InstallStationHooks(tw.get());
  static_assert(sizeof(StationHooks) % sizeof(uintptr_t) == 0, "only pointers");
  uintptr_t slots[sizeof(StationHooks) / sizeof(uintptr_t)];
  memcpy(slots, &tw->hooks, sizeof slots);
  for (size_t i = 0; i < sizeof slots / sizeof slots[0]; i++) EXPECT_NE(slots[i], 0u) << "hook " << i;
}

}  // namespace
