#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <unistd.h>
#include <string>
#include <vector>

#include "amp/amp_status.h"
#include "amp/linear.h"
#include "core/works.h"
#include "platform/clock.h"
#include "display/png.h"
#include "screens/buttons.h"
#include "radio/zel_link.h"
#include "screens/meters.h"
#include "screens/timer.h"
#include "tests/screens_pixels.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_works.h"
#include "tests/support/two_band_station.h"
#include "tests/support/wait.h"
#include "tuner/tune_memory.h"

namespace {

std::vector<int> drainQueue(Works* w) {
  std::vector<int> out;
  int c;
  while ((c = TakeQueuedCmd(w)) >= 0) out.push_back(c);
  return out;
}

// A station on 20 m: filters, band rows and antenna rows for 40 m and 20 m.
class Timer : public ::testing::Test {
 protected:
  TempRoot root;
  TestWorks tw;
  Works* w = nullptr;
  ZelParam zp{};
  FbInfo* fb = nullptr;
  TimerState st;

  void SetUp() override {
    loadPanelFonts();
    w = tw.get();
    fb = fbCreateMemory(800, 480);
    w->fb = fb;
    w->zelParam = &zp;
    w->ampModel = '0';
    w->CycleSleep = 10000;
    w->ViewIdx = 1;
    w->NumBanco = 1;
    w->MAXbank = 20;
    w->AmpBypassFlag = 0;
    w->SoglieRowIdx = -1;
    w->LastActivity = monoSeconds();

    installTwoBandStation(w, 1e-4f, 1e-4f, 1e-4f);

    w->freq = 14070000;
    w->LastFreq = 14070000;
    w->AntennaRowIdx = -1;
    w->ModeWorkIdx = 1;
    zp.freq = 14070000;
    InitMenuZarn(w);
    TimerInit(w, &st);
  }
  void TearDown() override { fbRelease(fb); }

  // One frequency step with the companion radio as the source.
  std::vector<int> dial(long f) {
    zp.freq = static_cast<int32_t>(f);
    ZelParam rec{};
    TimerFreqSource(w, &rec);
    TimerFreqChange(w);
    return drainQueue(w);
  }
};

}  // namespace

TEST_F(Timer, FrequencyChangeSendsItsCommandsInOrder) {
  // Start-up: AntennaRowIdx -1 forces the whole handling once.
  EXPECT_EQ(dial(14070000), (std::vector<int>{CMD_FA, CMD_SF_FILTER, CMD_TS, CMD_MT1_RESET}));
  EXPECT_EQ(w->AntennaRowIdx, 1);
  // Same frequency: nothing at all.
  EXPECT_EQ(dial(14070000), std::vector<int>{});
  // To 40 m: new filter, new band row, antenna 2, tuner reset (nothing stored).
  EXPECT_EQ(dial(7100000), (std::vector<int>{CMD_FA, CMD_SF_FILTER, CMD_TS, CMD_SA, CMD_MT1_RESET}));
  EXPECT_EQ(w->AntennaIdx, 1);
  EXPECT_EQ(w->LastFreq, 7100000);
  // Within the band: only the frequency and the tuning recall.
  EXPECT_EQ(dial(7150000), (std::vector<int>{CMD_FA, CMD_MT1_RESET}));
  EXPECT_EQ(dial(7150000), std::vector<int>{});
  // A stored tuning in the segment is recalled instead of reset.
  w->AntennaRowIdx = -1;
  w->TabTune[1][AtuIdxSearch(7150000, nullptr, nullptr, nullptr, nullptr)] = TuneRec{1, 1, 20, 30};
  EXPECT_EQ(dial(7150000), (std::vector<int>{CMD_FA, CMD_MT1_MEM}));
}

TEST_F(Timer, GenericInterfaceSendsNoFrequencyWord) {
  w->ModeWorkIdx = 0;
  w->freqMeasured = 7100000;
  PublishAmpStatus(w);
  w->anState = 1;
  ZelParam rec{};
  EXPECT_EQ(TimerFreqSource(w, &rec), 7100000);
  EXPECT_EQ(w->anState, 0);
  EXPECT_EQ(drainQueue(w), std::vector<int>{CMD_AN});
  TimerFreqChange(w);
  EXPECT_EQ(drainQueue(w), (std::vector<int>{CMD_SF_FILTER, CMD_TS, CMD_SA, CMD_MT1_RESET}));
  TimerFreqSource(w, &rec);
  TimerFreqChange(w);
  EXPECT_EQ(drainQueue(w), std::vector<int>{});  // anState already 0, frequency the same
}

TEST_F(Timer, Ft817FrequencyAndNoInterfaceYet) {
  w->ModeWorkIdx = 2;
  w->catSerFreq = 14200000;
  ZelParam rec{};
  EXPECT_EQ(TimerFreqSource(w, &rec), 14200000);
  w->ModeWorkIdx = -1;  // none chosen: the frequency stays
  w->catSerFreq = 7000000;
  EXPECT_EQ(TimerFreqSource(w, &rec), 14200000);
}

TEST_F(Timer, CompanionRadioTransmitAndAntennaFollowUp) {
  zp.txState = 1;
  zp.radioAn = 1;
  ZelParam rec{};
  TimerFreqSource(w, &rec);
  TimerRadioFollow(w, rec, &st);
  EXPECT_EQ(w->RadioTx, 1);
  EXPECT_EQ(drainQueue(w), std::vector<int>{});  // not while transmitting
  zp.txState = 0;
  TimerFreqSource(w, &rec);
  w->txReqFlags = 0x10;  // waiting for the amplifier's antenna reply
  TimerRadioFollow(w, rec, &st);
  EXPECT_EQ(w->RadioTx, 0);
  EXPECT_EQ(drainQueue(w), std::vector<int>{});
  w->txReqFlags = 0;
  TimerRadioFollow(w, rec, &st);
  EXPECT_EQ(w->anState, 1);
  EXPECT_EQ(drainQueue(w), std::vector<int>{CMD_AN});
  TimerRadioFollow(w, rec, &st);
  EXPECT_EQ(drainQueue(w), std::vector<int>{});
  // Another interface leaves RadioTx alone.
  w->ModeWorkIdx = 2;
  zp.txState = 1;
  TimerRadioFollow(w, rec, &st);
  EXPECT_EQ(w->RadioTx, 0);
}

TEST_F(Timer, ScreenSaverAfterItsDelay) {
  w->SaveScreenIdx = 4;  // 60 minutes
  w->LastActivity = monoSeconds() - 59 * 60 - 30;
  TimerScreenSaver(w);
  EXPECT_EQ(w->ScreenSaverOn, 0);
  w->LastActivity = monoSeconds() - 60 * 60 - 1;
  TimerScreenSaver(w);
  EXPECT_EQ(w->ScreenSaverOn, 1);
  EXPECT_STREQ(w->imgName, "start");
  w->SaveScreenIdx = 0;
  w->ScreenSaverOn = 0;
  w->LastActivity = monoSeconds() - 5 * 60;
  TimerScreenSaver(w);
  EXPECT_EQ(w->ScreenSaverOn, 1);
}

TEST_F(Timer, SaverStopsRedrawingUntilAnInputClearsIt) {
  fillBuffer(fb, fb->backBuf, 10, 20, 30);
  w->ReloadImg = 0;  // the start-up picture was replaced long ago
  w->SaveScreenIdx = 0;
  w->ViewTimeStr = 1;
  w->FWD = 30;
  PublishAmpStatus(w);
  w->ScreenSaverOn = 1;
  w->LastActivity = monoSeconds() - 3600;
  TimerCycle(w, &st, false);
  // The screen is the background and nothing else.
  EXPECT_EQ(memcmp(fb->fbMem, fb->backBuf, fb->memSize), 0);
  w->ScreenSaverOn = 0;  // a key press
  w->LastActivity = monoSeconds();
  TimerCycle(w, &st, false);
  EXPECT_NE(memcmp(fb->fbMem, fb->backBuf, fb->memSize), 0);
  EXPECT_EQ(memcmp(fb->fbMem, fb->workBuf, fb->memSize), 0);
  // Buttons, needle and clock are there.
  EXPECT_EQ(workPixel(fb, 0, 479), (Rgb3{40, 40, 40}));
  int tx, ty;
  NeedleTip(kLeftPivotX, kLeftPivotY, NeedleAngle(30, 60), &tx, &ty);
  EXPECT_EQ(workPixel(fb, tx, ty), (Rgb3{255, 0, 0}));
  EXPECT_GT(regionCount(fb, 600, 2, 790, 22, [](const Rgb3& p) { return p.r > 150 && p.g > 150 && p.b > 150; }), 20);
}

TEST_F(Timer, SpectrumViewDrawsTheGridAndOverlaysSuppressIt) {
  fillBuffer(fb, fb->backBuf, 0, 0, 0);
  w->ViewIdx = 4;
  w->SpectrumSpan = 160000;
  TimerCycle(w, &st, false);
  EXPECT_EQ(workPixel(fb, 70, 100), (Rgb3{120, 120, 120}));
  w->overlay = 2;
  TimerCycle(w, &st, false);
  EXPECT_EQ(workPixel(fb, 70, 100), (Rgb3{0, 0, 0}));
}

TEST_F(Timer, FailureScreenAndItsDismissal) {
  fillBuffer(fb, fb->backBuf, 0, 0, 0);
  w->failCode = 1;
  snprintf(w->failText, sizeof w->failText, "amplifier port");
  TimerCycle(w, &st, false);
  EXPECT_EQ(w->MenuIdx, 5);
  EXPECT_STREQ(w->imgName, "start");
  EXPECT_GT(regionCount(fb, 130, 270, 600, 310, [](const Rgb3& p) { return p == Rgb3{255, 255, 255}; }), 50);
  EXPECT_EQ(drainQueue(w), std::vector<int>{});  // no frequency handling meanwhile
  w->ampModel = '1';
  TimerCycle(w, &st, false);
  EXPECT_STREQ(w->imgName, "start120");
  w->failCode = -1;  // Retry or Cancel
  TimerCycle(w, &st, false);
  EXPECT_EQ(w->MenuIdx, 0);
  EXPECT_EQ(w->failCode, 0);
  EXPECT_STREQ(w->imgName, "img1b");
}

TEST_F(Timer, ReloadRequestBringsBackTheWorkPicture) {
  // A plain green work picture in the working directory.
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(root.dir().c_str()), 0);
  std::vector<uint8_t> px(800 * 480 * 4, 0);
  for (size_t i = 0; i < px.size(); i += 4) px[i + 1] = 200;
  int wrote = writePngBgrx("img1.png", px.data(), 800, 480, 800 * 4);
  fillBuffer(fb, fb->backBuf, 10, 20, 30);  // the start-up picture
  w->ReloadImg = 1;
  snprintf(w->imgName, sizeof w->imgName, "status");
  TimerCycle(w, &st, false);
  ASSERT_EQ(chdir(cwd), 0);
  ASSERT_EQ(wrote, 0);
  EXPECT_STREQ(w->imgName, "img1");
  EXPECT_EQ(w->ReloadImg, 0);
  // The very frame of the reload stands on the new picture.
  EXPECT_EQ(pixelAt(fb->fbMem, fb, 400, 380), (Rgb3{0, 200, 0}));
  EXPECT_EQ(pixelAt(fb->fbMem, fb, 20, 20), (Rgb3{0, 200, 0}));
  EXPECT_EQ(workPixel(fb, 0, 479), (Rgb3{40, 40, 40}));  // with the buttons over it
}

TEST_F(Timer, SoftTimersCountTheirIntervals) {
  w->commErrHoldMs = 2000;
  TimerSoftTimers(w, &st, 150);
  EXPECT_EQ(w->commErrHoldMs, 1850);
  TimerSoftTimers(w, &st, 5000);
  EXPECT_EQ(w->commErrHoldMs, 0);
  TimerSoftTimers(w, &st, 10);
  EXPECT_EQ(w->commErrHoldMs, 0);

  peakLeft = PeakHold{100, 10.0f, 5};
  TimerSoftTimers(w, &st, 40);
  EXPECT_EQ(peakLeft.holdMs, 60);
  EXPECT_FLOAT_EQ(peakLeft.value, 9.0f);

  // Temperature log line every 5 s while logging runs.
  w->EnableLOGTemp = 1;
  w->logTempRestarted = 1;
  TimerSoftTimers(w, &st, 4990);
  EXPECT_FALSE(root.exists("/opt/set/LOGtemp.txt"));
  TimerSoftTimers(w, &st, 10);
  EXPECT_TRUE(root.exists("/opt/set/LOGtemp.txt"));
  EXPECT_EQ(st.logTempAccMs, 0);
  w->logTempRestarted = 0;
  TimerSoftTimers(w, &st, 6000);
  EXPECT_EQ(st.logTempAccMs, 0);
}

// A clock the test moves: 2625 us per reading.
std::atomic<int64_t> fakeUs{0};
int64_t fakeClock() { return fakeUs.fetch_add(2625) + 2625; }

TEST_F(Timer, CyclesAdvanceTheTimersByTheClockNotByProcessorTime) {
  st.now = fakeClock;
  w->fb = nullptr;  // no drawing: only the clock matters here
  w->commErrHoldMs = 2000;
  // Each cycle lasts 2625 us on the clock; the sub-millisecond rest is
  // carried, so 2 s of hold-off end after exactly 762 cycles (2000.25 ms).
  for (int i = 0; i < 761; i++) TimerCycle(w, &st, false);
  EXPECT_EQ(w->commErrHoldMs, 3);  // 1997.625 ms: 1997 counted, the rest carried
  TimerCycle(w, &st, false);
  EXPECT_EQ(w->commErrHoldMs, 0);
  w->fb = fb;
}

TEST_F(Timer, ThreadRunsUntilRunningDrops) {
  fillBuffer(fb, fb->backBuf, 0, 0, 0);
  w->CycleSleep = 1000;
  zp.freq = 7100000;
  {
    ThreadRunner run(w, timer);
    ASSERT_TRUE(waitFor([&] { return w->LastFreq == 7100000; }));
    usleep(50000);  // more cycles on the same frequency, which must add nothing
    run.stop();
  }
  std::vector<int> q = drainQueue(w);
  ASSERT_FALSE(q.empty());
  EXPECT_EQ(q.front(), CMD_FA);
  EXPECT_EQ(std::count(q.begin(), q.end(), CMD_FA), 1);
}
