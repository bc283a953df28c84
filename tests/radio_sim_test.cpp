// The radio links against the simulated station (build/zelsim): its
// companion radio streams parameter blocks and spectrum lines from its own
// encoders, answers on its CAT port, and its FT-817 answers the poll.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "amp/linear.h"
#include "radio/cat_serial.h"
#include "radio/zel_link.h"
#include "screens/timer.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_works.h"
#include "tests/support/wait.h"
#include "tests/support/zelsim_process.h"

namespace {

struct Tap {
  std::mutex m;
  std::vector<std::pair<std::string, std::string>> frames;
  Tap() {
    setRadioFrameTap([this](const char* type, const uint8_t* d, int n) {
      std::lock_guard<std::mutex> lk(m);
      frames.emplace_back(type, std::string(reinterpret_cast<const char*>(d), static_cast<size_t>(n)));
    });
  }
  ~Tap() { setRadioFrameTap(nullptr); }
  size_t count(const std::string& type) {
    std::lock_guard<std::mutex> lk(m);
    size_t c = 0;
    for (auto& f : frames) c += f.first == type;
    return c;
  }
  std::string last(const std::string& type) {
    std::lock_guard<std::mutex> lk(m);
    for (auto it = frames.rbegin(); it != frames.rend(); ++it)
      if (it->first == type) return it->second;
    return "";
  }
};

struct SimFixture : ::testing::Test {
  TempRoot root;
  ZelsimProcess sim;
  TestWorks t;
  ZelParam zp{};
  Tap tap;
  void SetUp() override {
    ASSERT_TRUE(sim.start(root.dir())) << "zelsim did not come up";
    t->zelParam = &zp;
    strcpy(t.setup.SerPort, "/dev/ttyUSB1");
    strcpy(t.setup.CatPort, "/dev/ttyUSB0");
    strcpy(t.setup.CatSerialPort, "/dev/ttyUSB2");
    strcpy(t.setup.LinPort, "/dev/ttyAMA0");
    setRunByte(t.setup.zelRun, '1');
    setRunByte(t.setup.catSerRun, '1');
    setRunByte(t.setup.EnableCAT, '1');
    setRunByte(t.setup.EnableLinear, '1');
    setRunByte(t.setup.spectrumSource, '0');
    t->ModeWorkIdx = 1;
  }
  ZelParam params() {
    ZelParam p;
    getParameters(t.get(), &p);
    return p;
  }
  bool ok(const std::string& cmd) { return sim.control(cmd).rfind("OK", 0) == 0; }
};

}  // namespace

TEST_F(SimFixture, TheDialIsFollowed) {
  ThreadRunner serial(t.get(), Serial);
  ASSERT_TRUE(ok("radio freq 7074000"));
  ASSERT_TRUE(waitFor([&] { return params().freq == 7074000; }));
  ZelParam rec;
  EXPECT_EQ(TimerFreqSource(t.get(), &rec), 7074000);
  EXPECT_EQ(t->freq.load(), 7074000);
  EXPECT_EQ(params().pitch, 600);

  ASSERT_TRUE(ok("radio vfo b"));
  ASSERT_TRUE(ok("radio freq 21074000"));
  ASSERT_TRUE(ok("radio mode 4"));
  ASSERT_TRUE(waitFor([&] {
    ZelParam p = params();
    return p.freq == 21074000 && p.vfoBActive == 1 && p.mode == 4 && p.freqA == 7074000;
  }));
  ASSERT_TRUE(ok("radio offset -200"));
  ASSERT_TRUE(waitFor([&] { return params().offset == -200; }));

  ASSERT_TRUE(ok("radio tx 1"));
  ASSERT_TRUE(waitFor([&] { return params().txState == 1; }));
  ASSERT_TRUE(ok("radio tx 0"));
  ASSERT_TRUE(waitFor([&] { return params().txState == 0; }));

  // Sweeping through the bands: the frequency walks with it.
  ASSERT_TRUE(ok("radio sweep on 150"));
  std::set<int> seen;
  ASSERT_TRUE(waitFor([&] {
    seen.insert(params().freq);
    return seen.size() >= 4;
  }, 20000));
  ASSERT_TRUE(ok("radio sweep off"));
}

TEST_F(SimFixture, SpectrumLinesCarryTheCarrierOnTheDial) {
  ThreadRunner serial(t.get(), Serial);
  ASSERT_TRUE(ok("radio freq 14074000"));
  ASSERT_TRUE(ok("radio mode 2"));
  ASSERT_TRUE(waitFor([&] { return params().freq == 14074000 && params().mode == 2; }));
  // The line after the block that set the mode.
  std::string before = tap.last("SP");
  std::string sp;
  ASSERT_TRUE(waitFor([&] {
    sp = tap.last("SP");
    return !sp.empty() && sp != before;
  }));
  ASSERT_EQ(sp.size(), 854u);
  // Rotated by 85 bins: the dial's carrier sits in the middle of the plot.
  int peak = 0;
  for (int i = 1; i < 854; i++)
    if (static_cast<uint8_t>(sp[i]) > static_cast<uint8_t>(sp[peak])) peak = i;
  EXPECT_NEAR(peak, 427, 1);
  EXPECT_GT(static_cast<uint8_t>(sp[427]) - 192, -60);
  EXPECT_LT(static_cast<uint8_t>(sp[100]) - 192, -90);
}

TEST_F(SimFixture, TuneCarrierWaitsForTheAmplifierAndKeysTheRadio) {
  ThreadRunner serial(t.get(), Serial);
  ThreadRunner linear(t.get(), Linear);
  ASSERT_TRUE(waitFor([&] { return params().freq != 0; }));
  // The manual-tune page asks for a carrier on a new antenna setting.
  t->txReqFlags = 0x01 | 0x02 | 0x10;
  ASSERT_TRUE(waitFor([&] { return params().freq != 0 && t->linFD >= 0; }));
  // Several blocks go by: the radio is not keyed while the antenna is unconfirmed.
  size_t blocks = tap.count("PA");
  ASSERT_TRUE(waitFor([&] { return tap.count("PA") >= blocks + 4; }));
  EXPECT_EQ(params().txState, 0);
  EXPECT_EQ(sim.control("radio log").find("TX2;"), std::string::npos);
  IncPNTIn_CMDLinear(t.get(), CMD_AN);
  ASSERT_TRUE(waitFor([&] { return params().txState == 1; }));
  EXPECT_EQ(t->txReqFlags.load() & 0x21, 0x20);
  EXPECT_NE(sim.control("radio log").find("data:TU120;|data:TX2;"), std::string::npos);

  t->txReqFlags = 0x01;  // back to receive
  ASSERT_TRUE(waitFor([&] { return params().txState == 0; }));
  EXPECT_EQ(t->txHoldoff.load(), 30);
}

TEST_F(SimFixture, CatPortIsFoundAndBridged) {
  ThreadRunner cat(t.get(), Cat);
  ASSERT_TRUE(waitFor([&] { return status_cat.load() == 1; }));
  ASSERT_TRUE(ok("radio freq 18100000"));
  // The peer's CAT text, written to the port as the remote link does.
  ASSERT_EQ(write(t->catFD.load(), "FA;", 3), 3);
  ASSERT_TRUE(waitFor([&] { return tap.last("CA") == "FA00018100000;"; }));
}

TEST_F(SimFixture, Ft817FrequencyIsPolled) {
  ThreadRunner poll(t.get(), CatSerial);
  ASSERT_TRUE(ok("radio ft817 freq 3573000"));
  ASSERT_TRUE(waitFor([&] { return t->catSerFreq.load() == 3573000; }));
  ASSERT_TRUE(ok("radio ft817 freq 28074010"));
  ASSERT_TRUE(waitFor([&] { return t->catSerFreq.load() == 28074010; }));
  t->ModeWorkIdx = 2;
  ZelParam rec;
  EXPECT_EQ(TimerFreqSource(t.get(), &rec), 28074010);
}
