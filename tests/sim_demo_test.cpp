// The demo station (zelsim --demo): the bank it prepares for the companion
// radio, the front-panel buttons in the emulated GPIO block, the stub rm
// that stays inside the root, and the operator who turns the dial.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "platform/paths.h"
#include "tests/support/temp_root.h"
#include "tests/support/wait.h"
#include "tests/support/zelsim_process.h"

namespace {

struct DemoStation : ::testing::Test {
  TempRoot root;
  ZelsimProcess sim;

  void SetUp() override { ASSERT_TRUE(sim.start(root.dir(), {"--demo"})); }
  void TearDown() override { sim.stop(); }

  // Level register of the GPIO block as the controller would read it.
  uint32_t gpioLevels() {
    int fd = open(root.path("/dev/mem").c_str(), O_RDONLY);
    uint32_t v = 0;
    if (fd >= 0) {
      if (pread(fd, &v, sizeof v, 0x3F200034L) != sizeof v) v = 0;
      close(fd);
    }
    return v;
  }

  long radioFreq() {
    std::string s = sim.control("radio state");
    size_t p = s.find("freq=");
    return p == std::string::npos ? -1 : atol(s.c_str() + p + 5);
  }
};

TEST_F(DemoStation, BankOneFollowsTheCompanionRadioWithAutomaticTuning) {
  std::string ant = root.readFile("/opt/set/antenna_b1.txt");
  ASSERT_EQ(ant.compare(0, 5, "!Zel\n"), 0) << ant;
  EXPECT_NE(ant.find("\n40m 7000000 7200000 1 1 0 0 0.0\n"), std::string::npos);
  std::string setup = root.readFile("/opt/set/setup.txt");
  EXPECT_NE(setup.find("AutoTuneMode: 1\n"), std::string::npos);
  EXPECT_NE(setup.find("NumBanco: 1\n"), std::string::npos);
}

TEST_F(DemoStation, ButtonsAreActiveLowOnPins22To27) {
  const uint32_t all = 0x3Fu << 22;
  ASSERT_TRUE(waitFor([&] { return (gpioLevels() & all) == all; }));
  EXPECT_EQ(sim.control("panel press 3"), "OK");
  // Button 3 is pin 24; the others stay released.
  EXPECT_TRUE(waitFor([&] { return (gpioLevels() & all) == (all & ~(1u << 24)); }));
  EXPECT_TRUE(waitFor([&] { return (gpioLevels() & all) == all; }));
  EXPECT_EQ(sim.control("panel hold 6 60000"), "OK");
  EXPECT_TRUE(waitFor([&] { return (gpioLevels() & (1u << 27)) == 0; }));
  EXPECT_EQ(sim.control("panel state"), "OK 1 1 1 1 1 0");
  EXPECT_EQ(sim.control("panel press 7").compare(0, 3, "ERR"), 0);
}

TEST_F(DemoStation, RmStubStaysInsideTheRoot) {
  root.writeFile("/opt/good", "");
  // The root's bin/ now holds zelsim's stubs.
  ASSERT_EQ(runCommand("rm -f /opt/good >/dev/null 2>&1"), 0);
  EXPECT_FALSE(root.exists("/opt/good"));
  root.writeFile("/opt/set/LOGtemp.txt", "x");
  // A path already inside the root is not rooted twice.
  ASSERT_EQ(runCommand("rm " + root.path("/opt/set/LOGtemp.txt")), 0);
  EXPECT_FALSE(root.exists("/opt/set/LOGtemp.txt"));
}

TEST_F(DemoStation, TheOperatorWorksTheBands) {
  long first = -1;
  ASSERT_TRUE(waitFor([&] { return (first = radioFreq()) > 0; }));
  // The dial moves on after one dwell (longer when a tune carrier is up).
  EXPECT_TRUE(waitFor([&] {
    long f = radioFreq();
    return f > 0 && f != first;
  }, 90000, 100));
}

}  // namespace
