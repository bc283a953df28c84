// The amplifier's protection end to end: the band's thresholds after
// start-up, a port that hangs up and comes back, shell commands that hang,
// and operator tables holding numbers no field can take.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "amp/errors.h"
#include "amp/linear.h"
#include "app/spine.h"
#include "core/tables.h"
#include "core/works.h"
#include "platform/paths.h"
#include "tests/support/serial_peer.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_works.h"
#include "tests/support/wait.h"
#include "tests/support/zelpyx_process.h"
#include "tests/support/zelsim_process.h"
#include "tuner/recall.h"

namespace {

// Three bands: 1-10 MHz, 10-30 MHz and the row that closes the table.
// Factors: forward and reflected 100 W at 2000 (2.5e-5), input 10 W at 1000 (1e-5).
const char kConfig[] =
    ";fstart fend fwdW fwdRaw reflW reflRaw inW inRaw K3 PWIN A REFL FWD\n"
    "1000000 10000000 100 2000 100 2000 10 1000 0 5 10 20 90\n"
    "10000000 30000000 100 2000 100 2000 10 1000 0 2 20 10 50\n"
    "30000000 60000000 100 2000 100 2000 10 1000 0 1 1 1 1\n";
const char kLowBandTS[] = "TS0707189708942915;";   // sqrt(5/1e-5), sqrt(90/2.5e-5), sqrt(20/2.5e-5), 10 A
const char kHighBandTS[] = "TS0447141406324095;";  // the 20 A current threshold is capped


int lastIndexOf(const std::vector<std::string>& frames, const std::string& prefix) {
  for (int i = int(frames.size()) - 1; i >= 0; --i)
    if (frames[size_t(i)].rfind(prefix, 0) == 0) return i;
  return -1;
}

// The last "TS" sent is the one expected, and polling went on after it.
bool settledOn(const std::vector<std::string>& frames, const std::string& ts) {
  int last = lastIndexOf(frames, "TS");
  if (last < 0 || frames[size_t(last)] != ts) return false;
  int polls = 0;
  for (size_t i = size_t(last) + 1; i < frames.size(); ++i) polls += frames[i] == "ST;";
  return polls >= 5;
}

TEST(Protection, AfterStartUpTheOperatingBandsThresholdsAreInForce) {
  TempRoot root;
  root.writeFile("/opt/set/config.txt", kConfig);
  // Bank 1 follows the companion radio.
  root.writeFile("/opt/set/antenna_b1.txt", "!Zel\n40m 7000000 7300000 1 1 0 0 0.0\n");
  ZelsimProcess sim;
  ASSERT_TRUE(sim.start(root.dir()));
  ASSERT_EQ(sim.control("radio sweep off"), "OK");
  ASSERT_EQ(sim.control("radio freq 7074000").rfind("OK", 0), 0u);

  ZelpyxProcess zel;
  ASSERT_TRUE(zel.start(root.path("/controller.log")));
  EXPECT_TRUE(waitFor([&] { return settledOn(sim.ampFrames(), kLowBandTS); }, 90000, 200))
      << root.readFile("/controller.log");

  // A band change moves them, and the link keeps them consistent.
  ASSERT_EQ(sim.control("radio freq 14074000").rfind("OK", 0), 0u);
  EXPECT_TRUE(waitFor([&] { return settledOn(sim.ampFrames(), kHighBandTS); }, 60000, 200));

  zel.signal(SIGTERM);
  EXPECT_EQ(zel.waitExit(60000), 0);
}

class LinkLoss : public testing::Test {
 protected:
  void SetUp() override {
    root.writeFile("/opt/set/config.txt", kConfig);
    ASSERT_TRUE(sim.start(root.dir()));
    InitGlobalVar(w.get());
    InstallStationHooks(w.get());
    ReadConfigFile(w.get());
    snprintf(w->setup->LinPort, sizeof w->setup->LinPort, "%s", "/dev/ttyAMA0");
    w->errorsMuted = 0;
    w->freq = 7074000;
    SearchCambioSoglie_TS(w.get());
    runner.reset(new ThreadRunner(w.get(), Linear));
    ASSERT_TRUE(waitFor([&] { return settledOn(sim.ampFrames(), kLowBandTS); }, 20000));
  }
  void TearDown() override { runner.reset(); }

  TempRoot root;
  ZelsimProcess sim;
  TestWorks w;
  std::unique_ptr<ThreadRunner> runner;
};

TEST_F(LinkLoss, APortThatHangsUpAndComesBackGetsTheStartUpSetAndTheBandsThresholds) {
  ASSERT_EQ(sim.control("clearlog"), "OK");
  // Unplugged for a few seconds, then back at the same path.
  ASSERT_EQ(sim.control("amp hangup 3000"), "OK");
  ASSERT_TRUE(waitFor([&] { return ExistError(w.get(), 4) == 1; }, 20000)) << "error 4 while the port is gone";

  ASSERT_TRUE(waitFor([&] { return settledOn(sim.ampFrames(), kLowBandTS); }, 30000)) << sim.control("amp log");
  std::vector<std::string> f = sim.ampFrames();
  // The whole start-up set in its order, then the band's thresholds.
  const std::vector<std::string> startUp = {"VSM;", "ER0000;", "ER0001;", "ER0002;", "MP0;", "AN", "SA",
                                            "FS",   "MT1",     "PS",      "GM",      "GS;",  "CP", "MR0;", "TS"};
  size_t at = 0;
  for (const std::string& c : startUp) {
    while (at < f.size() && f[at].rfind(c, 0) != 0) ++at;
    ASSERT_LT(at, f.size()) << c << " missing after the reopen: " << sim.control("amp log");
  }
  // The first good status reply clears the link error.
  EXPECT_TRUE(waitFor([&] { return ExistError(w.get(), 4) == 0; }, 20000));
}

TEST(HangingCommands, ASaveWhoseRemountHangsFailsCleanlyAndTheCommandIsKilled) {
  TempRoot root;
  root.stubScript("mount", "echo $$ > \"$ZELPYX_ROOT/mount.pid\"; exec sleep 60");
  const std::string before = "1800000\t\t2000000\t\t1 \n";
  root.writeFile("/opt/set/filter.txt", before);
  TestWorks w;
  w->filterTab[0] = FilterRow{3500000, 3800000, 1};
  setCommandTimeoutMs(300);
  EXPECT_EQ(SaveTabFiltri(w.get()), -1);
  setCommandTimeoutMs(0);
  EXPECT_EQ(root.readFile("/opt/set/filter.txt"), before);
  // The hung "mount" and its shell went with the time-out.
  pid_t pid = pid_t(atoi(root.readFile("/mount.pid").c_str()));
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(waitFor([&] {
    FILE* fp = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (fp == nullptr) return true;
    char state = 0;
    int got = fscanf(fp, "%*d %*s %c", &state);
    fclose(fp);
    return got == 1 && state == 'Z';
  }));
  // The command's output is still read when it ends in time.
  std::string out;
  EXPECT_EQ(runCommandOutput("echo 45.0", out), 0);
  EXPECT_EQ(out, "45.0\n");
}

TEST(HangingCommands, SigtermDuringAHungRemountStillExitsPromptly) {
  TempRoot root;
  root.stubScript("mount", "exec sleep 600");
  ZelpyxProcess zel;
  ASSERT_TRUE(zel.start(root.path("/controller.log")));
  // With no setup file start-up writes one and hangs in the first remount.
  ASSERT_TRUE(waitFor([&] { return root.stubLog().find("mount") != std::string::npos; }, 30000));
  zel.signal(SIGTERM);
  // Well short of the 20 s time-out of each of its remounts, let alone 600 s.
  EXPECT_EQ(zel.waitExit(15000), 0) << root.readFile("/controller.log");
}

TEST(FileValues, NumbersBeyondTheirFieldsAreHeldToTheirRange) {
  TempRoot root;
  root.writeFile("/opt/set/ventola.txt", "30 4000000000\n40 -1e30\n50 nan\n60 1e39\n70 55.9\n");
  root.writeFile("/opt/set/config.txt",
                 "99999999999 -5 1e39 1 1 0 nan 1 0 1e39 1e39 -1e39 5 99999999999 -99999999999\n"
                 "0x7fffffffffff 1 1 1 1 1 1 1 0 1 1 1 1\n");
  root.writeFile("/opt/set/filter.txt", "1 2 99999999999\n3 4 257\n");
  TestWorks w;
  InitGlobalVar(w.get());
  ReadVentolaFile(w.get());
  ASSERT_EQ(w->fanCount, 5);
  const int steps[5] = {100, 0, 0, 100, 55};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(w->fanRows[i].step, steps[i]) << i;
  w->fanStepSent = w->fanRows[0].step;
  char text[64];
  LinearCmdText(w.get(), CMD_FN, text);
  EXPECT_STREQ(text, "FN1100;");

  ReadConfigFile(w.get());
  ASSERT_EQ(w->configCount, 2);
  EXPECT_EQ(w->configRows[0].fStart, 4294967295u);
  EXPECT_EQ(w->configRows[0].fEnd, 0u);
  EXPECT_EQ(w->configRows[1].fStart, 4294967295u);
  EXPECT_EQ(w->configRows[0].tuneParA[0], 2147483647);
  // Broken factors and thresholds leave the thresholds open, never undefined.
  w->freq = 50000000;
  w->configRows[1].fStart = 60000000;
  w->configRows[0].fStart = 1000000;
  SearchCambioSoglie_TS(w.get());
  LinearCmdText(w.get(), CMD_TS, text);
  EXPECT_STREQ(text, "TS4095000040954095;");

  LoadTabFiltri(w.get());
  EXPECT_EQ(w->filterTab[0].enabled, 255);
  EXPECT_EQ(w->filterTab[1].enabled, 255);  // not 257 wrapped round to "enabled"
}

}  // namespace
