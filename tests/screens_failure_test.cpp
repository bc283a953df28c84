// A radio data port that is not there, end to end through the controller
// process: a companion-radio bank shows the failure page (Retry, Cancel)
// and shows it again when a retry fails again; the information screen on a
// bank of another interface does not even try the port. The amplifier
// controller runs on in every case.
#include <gtest/gtest.h>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tests/support/temp_root.h"
#include "tests/support/wait.h"
#include "tests/support/zelpyx_process.h"
#include "tests/support/zelsim_process.h"

namespace {

class MissingDataPort : public ::testing::Test {
 protected:
  TempRoot root;
  ZelsimProcess sim;
  ZelpyxProcess unit;

  std::string log() const { return root.readFile("/zelpyx.log"); }
  static size_t count(const std::string& s, const std::string& what) {
    size_t n = 0;
    for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) n++;
    return n;
  }
  // The page the panel reported last ("panel: page NAME").
  std::string page() const {
    std::string l = log();
    size_t p = l.rfind("panel: page ");
    if (p == std::string::npos) return "";
    size_t e = l.find('\n', p);
    return l.substr(p + 12, e == std::string::npos ? std::string::npos : e - p - 12);
  }
  bool alive() { return waitpid(unit.pid(), nullptr, WNOHANG) == 0; }

  void startWithoutDataPort(const std::vector<std::string>& simArgs) {
    ASSERT_TRUE(sim.start(root.dir(), simArgs));
    // The radio is unplugged: its data port is gone.
    ASSERT_EQ(unlink(root.path("/dev/ttyUSB1").c_str()), 0);
    ASSERT_TRUE(unit.start(root.dir() + "/zelpyx.log"));
  }
};

TEST_F(MissingDataPort, ACompanionRadioBankShowsTheFailureAndARetryThatFailsShowsItAgain) {
  startWithoutDataPort({"--demo"});
  ASSERT_TRUE(waitFor([&] { return page() == "link error"; }, 120000, 50)) << log();
  EXPECT_TRUE(alive());
  const size_t failures = count(log(), "Unable to open device /dev/ttyUSB1");
  ASSERT_GE(failures, 1u);

  ASSERT_EQ(sim.control("panel press 5"), "OK");  // Retry
  ASSERT_TRUE(waitFor([&] { return count(log(), "Unable to open device /dev/ttyUSB1") > failures; }, 60000, 50))
      << log();
  // The second failure is what the panel shows, and it stays shown.
  ASSERT_TRUE(waitFor([&] { return page() == "link error"; }, 30000, 50)) << log();
  for (int i = 0; i < 20; i++) {
    usleep(100000);
    ASSERT_EQ(page(), "link error") << log();
  }
  EXPECT_TRUE(alive());
  // Cancel leaves the radio alone and the amplifier controller running.
  ASSERT_EQ(sim.control("panel press 6"), "OK");
  ASSERT_TRUE(waitFor([&] { return page() == "main"; }, 30000, 50)) << log();
  EXPECT_TRUE(alive());
}

TEST_F(MissingDataPort, TheInformationScreenOnAGenericBankLeavesThePortAlone) {
  startWithoutDataPort({});
  ASSERT_TRUE(waitFor([&] { return log().find("panel: page main") != std::string::npos; }, 120000, 50)) << log();
  ASSERT_EQ(sim.control("panel hold 6"), "OK");  // long VIEW: the information screen
  ASSERT_TRUE(waitFor([&] { return log().find("panel: key 6 long") != std::string::npos; }, 30000, 50)) << log();
  // The screen is drawn for a while: nothing opens the port, nothing ends.
  for (int i = 0; i < 30; i++) {
    usleep(100000);
    ASSERT_TRUE(alive()) << log();
  }
  EXPECT_EQ(log().find("Unable to open device /dev/ttyUSB1"), std::string::npos) << log();
  EXPECT_NE(page(), "link error");
  unit.signal(SIGTERM);
  EXPECT_EQ(unit.waitExit(60000), 0);
}

}  // namespace
