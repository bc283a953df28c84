// The real zelsim program as a child process, with the controller's Linear
// thread running in-process against its amplifier terminal.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "amp/amp_status.h"
#include "amp/crc8.h"
#include "amp/errors.h"
#include "amp/linear.h"
#include "app/spine.h"
#include "core/works.h"
#include "sim/amp_sim.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_works.h"
#include "tests/support/wait.h"
#include "tests/support/zelsim_process.h"

namespace {

struct Zelsim : ::testing::Test {
  TempRoot root;
  ZelsimProcess sim;
  TestWorks tw;
  Works* w = nullptr;
  std::unique_ptr<ThreadRunner> link;

  void SetUp() override {
    ASSERT_TRUE(sim.start(root.dir())) << "zelsim did not come up: " << ZelsimProcess::program();
    w = tw.get();
    InitGlobalVar(w);
    strcpy(tw.setup.LinPort, "/dev/ttyAMA0");
  }
  void TearDown() override {
    link.reset();
    sim.stop();
  }
  void startLink() {
    InitMicroCmd(w);
    link.reset(new ThreadRunner(w, Linear));
  }
  size_t countInLog(const std::string& text) {
    std::string log = sim.control("log");
    size_t n = 0;
    for (size_t p = log.find(text); p != std::string::npos; p = log.find(text, p + 1)) n++;
    return n;
  }
};

TEST_F(Zelsim, PreparesTheRoot) {
  struct stat sb;
  ASSERT_EQ(lstat(root.path("/dev/ttyAMA0").c_str(), &sb), 0);
  EXPECT_TRUE(S_ISLNK(sb.st_mode));
  ASSERT_EQ(stat(root.path("/dev/fb0").c_str(), &sb), 0);
  EXPECT_EQ(sb.st_size, 800 * 480 * 4);
  for (const char* stub : {"mount", "reboot", "sudo", "lsusb", "my_temp", "fbgrab"})
    EXPECT_EQ(access(root.path(std::string("/bin/") + stub).c_str(), X_OK), 0) << stub;
  std::string setup = root.readFile("/opt/set/setup.txt");
  EXPECT_NE(setup.find("LinPort: /dev/ttyAMA0\n"), std::string::npos);
  EXPECT_NE(setup.find("EnableLinear: 1\n"), std::string::npos);
  EXPECT_NE(root.readFile("/sim.ready").find("ttyAMA0"), std::string::npos);
  EXPECT_EQ(sim.control("modules").rfind("OK amp", 0), 0u);
  EXPECT_EQ(sim.control("frobnicate").rfind("ERR", 0), 0u);
}

TEST_F(Zelsim, StatusIsDecodedIntoTheRecord) {
  EXPECT_EQ(sim.control("drive 10"), "OK");
  EXPECT_EQ(sim.control("swr 2.0"), "OK");
  startLink();
  // the start-up set runs through and "CP" ends the mute
  ASSERT_TRUE(waitFor([&] { return (w->errorsMuted & 1) == 0; }));
  EXPECT_STREQ(w->ampVersion, "SIM1.00");
  EXPECT_EQ(w->ampModel, '0');
  ASSERT_TRUE(waitFor([&] { return std::fabs(GetAmpStatus(w).SWR - 2.0f) < 0.05f && GetAmpStatus(w).FWD > 9.0f; }));
  EXPECT_NEAR(GetAmpStatus(w).FWD, 10.0, 0.2);
  EXPECT_NEAR(GetAmpStatus(w).pwrIn, 10.0, 0.2);
  EXPECT_NEAR(GetAmpStatus(w).tempBoard, 25.0, 0.5);
  EXPECT_EQ(GetAmpStatus(w).ampStatus[1] & 8, 8);  // bypassed at start
  EXPECT_EQ(w->AmpBypassFlag, 1);
  EXPECT_EQ(w->retryTotal, 0);  // every reply passed its check
  // the simulator saw the controller's frames, check digits included
  EXPECT_GE(countInLog("4dST;"), 1u);
  EXPECT_GE(countInLog("CPFFFF;"), 1u);
}

TEST_F(Zelsim, SteeredFaultsRaiseErrors) {
  startLink();
  ASSERT_TRUE(waitFor([&] { return (w->errorsMuted & 1) == 0; }));
  EXPECT_EQ(sim.control("fault 0x04"), "OK");
  ASSERT_TRUE(waitFor([&] { return ExistError(w, 15) == 1; }));
  EXPECT_STREQ(w->errTable[15].line2, "FWD");
  EXPECT_EQ(sim.control("fault 0"), "OK");
  ASSERT_TRUE(waitFor([&] { return ExistError(w, 15) == 0; }));

  // an over-temperature board: protection on, then recovery
  EXPECT_EQ(sim.control("temp 65 30"), "OK");
  ASSERT_TRUE(waitFor([&] { return ExistError(w, 2) == 1; }));
  auto simState = [&](const char* what) {
    return waitFor([&] { return sim.control("state").find(what) != std::string::npos; });
  };
  ASSERT_TRUE(simState("mp=1"));
  ASSERT_TRUE(simState("att=3"));
  ASSERT_TRUE(simState("ab=0"));
  EXPECT_EQ(sim.control("temp 40 30"), "OK");
  ASSERT_TRUE(waitFor([&] { return ExistError(w, 0) == 1; }));
  ASSERT_TRUE(simState("ab=1"));
}

TEST_F(Zelsim, RejectedAndSilentAmplifier) {
  EXPECT_EQ(sim.control("reject SA 1"), "OK");
  startLink();
  ASSERT_TRUE(waitFor([&] { return countInLog("MR0;") >= 1; }));
  EXPECT_EQ(countInLog("SA1;"), 2u);  // rejected once, sent again
  EXPECT_FALSE(ExistError(w, 4));

  EXPECT_EQ(sim.control("silent 1"), "OK");
  ASSERT_TRUE(waitFor([&] { return ExistError(w, 4) == 1; }, 30000));
  EXPECT_EQ(sim.control("silent 0"), "OK");
  EXPECT_EQ(sim.control("clearlog"), "OK");
  ASSERT_TRUE(waitFor([&] { return countInLog("FM;") >= 2; }, 20000));
}

TEST_F(Zelsim, DamagedRepliesAreRetried) {
  startLink();
  ASSERT_TRUE(waitFor([&] { return countInLog("FM;") >= 1; }));
  int before = w->retryTotal;
  EXPECT_EQ(sim.control("badcrc 2"), "OK");
  ASSERT_TRUE(waitFor([&] { return w->retryTotal >= before + 2; }));
  EXPECT_EQ(sim.control("garbage 1"), "OK");
  ASSERT_TRUE(waitFor([&] { return w->retryTotal >= before + 3; }));
  EXPECT_FALSE(ExistError(w, 4));
  int stops = w->retryStops;
  EXPECT_EQ(stops, 0);
}

}  // namespace

// The simulated amplifier makes its check digits on its own: both
// computations meet the catalogue's check value and agree everywhere.
TEST(SimCrc, MeetsTheCatalogueCheckValueAndTheController) {
  EXPECT_EQ(ampSimCrc8("123456789", 9), 0xA1);
  EXPECT_EQ(Sys_Crc8Calculation("123456789", 9), 0xA1);
  uint32_t x = 12345;
  for (int n = 0; n < 200; n++) {
    std::string s;
    for (int i = 0; i < n % 40; i++) {
      x = x * 1103515245u + 12345u;
      s += static_cast<char>(x >> 24);
    }
    ASSERT_EQ(ampSimCrc8(s.data(), s.size()), Sys_Crc8Calculation(s.data(), s.size())) << n;
  }
}
