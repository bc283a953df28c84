// The timer thread against the simulated station: the amplifier link and
// the companion radio's data port run on pseudo-terminals of zelsim, the
// controller's threads run here.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "amp/linear.h"
#include "core/globals.h"
#include "app/spine.h"
#include "core/works.h"
#include "platform/clock.h"
#include "screens/buttons.h"
#include "radio/zel_link.h"
#include "screens/timer.h"
#include "tests/screens_pixels.h"
#include "tests/support/serial_peer.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_works.h"
#include "tests/support/two_band_station.h"
#include "tests/support/wait.h"
#include "tests/support/zelsim_process.h"

namespace {

bool startsWith(const std::string& s, const char* p) { return s.compare(0, strlen(p), p) == 0; }

class Station : public ::testing::Test {
 protected:
  TempRoot root;
  ZelsimProcess sim;
  TestWorks tw;
  Works* w = nullptr;
  ZelParam zp{};
  FbInfo* fb = nullptr;

  void SetUp() override {
    loadPanelFonts();
    ASSERT_TRUE(sim.start(root.dir())) << "zelsim did not come up";
    w = tw.get();
    InitGlobalVar(w);
    InstallStationHooks(w);
    w->zelParam = &zp;
    strcpy(tw.setup.LinPort, "/dev/ttyAMA0");
    strcpy(tw.setup.SerPort, "/dev/ttyUSB1");
    setRunByte(tw.setup.zelRun, '1');
    setRunByte(tw.setup.spectrumSource, '0');
    fb = fbCreateMemory(800, 480);
    w->fb = fb;
    w->errorsMuted = 0;
    w->AmpBypassFlag = 0;
    w->LastActivity = monoSeconds();
    installTwoBandStation(w, 5.156579e-6f, 3.3262754e-6f, 5.5078103e-6f);
    InitMenuZarn(w);
  }
  void TearDown() override {
    sim.stop();
    fbRelease(fb);
  }

  bool ok(const std::string& cmd) { return sim.control(cmd).rfind("OK", 0) == 0; }

  // The commands the amplifier received, without their check characters.
  std::vector<std::string> ampFrames() { return sim.ampFrames(); }
  // Only the commands a frequency change sends, in order.
  std::vector<std::string> changeCommands() {
    std::vector<std::string> out;
    for (const std::string& f : ampFrames())
      for (const char* p : {"FA", "SF", "TS", "SA", "MT1"})
        if (startsWith(f, p)) out.push_back(f);
    return out;
  }
  bool sawFrame(const char* prefix) {
    for (const std::string& f : ampFrames())
      if (startsWith(f, prefix)) return true;
    return false;
  }
  // Waits until the change commands end with a tune word, then a little
  // longer for anything that must not come.
  std::vector<std::string> settledChange() {
    EXPECT_TRUE(waitFor([&] {
      std::vector<std::string> c = changeCommands();
      return !c.empty() && startsWith(c.back(), "MT1");
    }, 20000));
    std::vector<std::string> first = changeCommands();
    // Every status poll in between proves the link went on; take three more.
    size_t polls = ampFrames().size();
    EXPECT_TRUE(waitFor([&] { return ampFrames().size() >= polls + 6; }, 20000));
    return first;
  }
  std::string radioLog() { return sim.control("radio log"); }
};

}  // namespace

TEST_F(Station, GenericInterfaceFollowsTheMeasuredFrequencyWithoutFa) {
  w->ModeWorkIdx = 0;
  ASSERT_TRUE(ok("amp freq 14070000"));
  ThreadRunner lin(w, Linear);
  ThreadRunner tim(w, timer);
  ASSERT_TRUE(waitFor([&] { return w->LastFreq == 14070000 && w->AntennaRowIdx == 1; }, 20000));
  settledChange();
  ASSERT_TRUE(ok("amp clearlog"));
  ASSERT_TRUE(ok("amp freq 7100000"));
  std::vector<std::string> c = settledChange();
  ASSERT_EQ(c.size(), 4u) << ::testing::PrintToString(c);
  EXPECT_EQ(c[0], "SF3000001;");
  EXPECT_TRUE(startsWith(c[1], "TS")) << c[1];
  EXPECT_EQ(c[2], "SA2;");
  EXPECT_EQ(c[3], "MT100800000;");
  EXPECT_EQ(changeCommands(), c);  // nothing more while the frequency stays
  EXPECT_FALSE(sawFrame("FA"));
}

TEST_F(Station, DialChangeOfTheCompanionRadio) {
  ASSERT_NE(sim.control("modules").find("radio"), std::string::npos);
  w->ModeWorkIdx = 1;
  ASSERT_TRUE(ok("radio freq 14070000"));
  ThreadRunner lin(w, Linear);
  ThreadRunner ser(w, Serial);
  ThreadRunner tim(w, timer);
  ASSERT_TRUE(waitFor([&] { return w->LastFreq == 14070000 && w->AntennaRowIdx == 1; }, 20000));
  settledChange();
  ASSERT_TRUE(ok("amp clearlog"));
  ASSERT_TRUE(ok("radio freq 7100000"));
  std::vector<std::string> c = settledChange();
  ASSERT_EQ(c.size(), 5u) << ::testing::PrintToString(c);
  EXPECT_EQ(c[0], "FA00007100000;");
  EXPECT_EQ(c[1], "SF3000001;");
  EXPECT_TRUE(startsWith(c[2], "TS")) << c[2];
  EXPECT_EQ(c[3], "SA2;");
  EXPECT_EQ(c[4], "MT100800000;");
  EXPECT_EQ(changeCommands(), c);  // the radio keeps streaming the same dial: nothing more

  // Inside the band: the frequency word and the tuning recall only.
  ASSERT_TRUE(ok("amp clearlog"));
  ASSERT_TRUE(ok("radio freq 7150000"));
  c = settledChange();
  ASSERT_EQ(c.size(), 2u) << ::testing::PrintToString(c);
  EXPECT_EQ(c[0], "FA00007150000;");
  EXPECT_EQ(c[1], "MT100800000;");
}

TEST_F(Station, CarrierFromTheRadioRunsAnAutotuneThatEndsWithRx) {
  ASSERT_NE(sim.control("modules").find("radio"), std::string::npos);
  w->ModeWorkIdx = 1;
  w->tuneFlags = 1;            // "Enable ZEL Tune"
  w->SWRescAutoTune = 1.5f;    // a good match ends the run early
  w->AutoTuneMaxCicli = 4;     // and a bad one after 100 steps
  ASSERT_TRUE(ok("radio freq 14070000"));
  ASSERT_TRUE(ok("amp swr 1.2"));
  ThreadRunner lin(w, Linear);
  ThreadRunner ser(w, Serial);
  ThreadRunner tim(w, timer);
  ASSERT_TRUE(waitFor([&] { return w->LastFreq == 14070000 && w->AntennaRowIdx == 1; }, 20000));
  ASSERT_TRUE(ok("amp drive 5"));
  ASSERT_TRUE(ok("radio tx 1"));
  ASSERT_TRUE(waitFor([&] { return sawFrame("CPFFFF"); }, 20000)) << "no autotune started";
  ASSERT_TRUE(waitFor([&] { return radioLog().find("RX;") != std::string::npos; }, 40000)) << radioLog();
  EXPECT_EQ(w->TuneRunState, 0);
}
