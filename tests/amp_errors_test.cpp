// The error list, its keys, and the three steps of the protection reset.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "amp/amp_status.h"
#include "amp/errors.h"
#include "screens/error_keys.h"
#include "amp/linear.h"
#include "app/spine.h"
#include "core/works.h"
#include "display/fb.h"
#include "tests/support/amp_frames.h"
#include "tests/support/test_works.h"

namespace {

struct AmpErrors : ::testing::Test {
  TestWorks tw;
  Works* w = nullptr;
  LinearState st;
  void SetUp() override {
    w = tw.get();
    InitGlobalVar(w);
    InstallStationHooks(w);
    InitErrTable(w);
    w->errorsMuted = 0;
  }
  std::vector<int> list() {
    return std::vector<int>(w->errList, w->errList + w->errCount);
  }
  std::vector<int> drain() {
    std::vector<int> out;
    for (int c; (c = TakeQueuedCmd(w)) >= 0;) out.push_back(c);
    return out;
  }
  void status(const AmpStatus& s) {
    std::string t = ampStatusText(s);
    DecodeCatCmd(w, &st, t.c_str(), static_cast<int>(t.size()));
  }
};

TEST_F(AmpErrors, RecordOnceKeepOrderAndMute) {
  testing::internal::CaptureStderr();
  AddErrore(w, 4);
  AddErrore(w, 4);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(list(), (std::vector<int>{4}));
  size_t first = err.find("Add: N: 1 err:4");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(err.find("Add: N:", first + 1), std::string::npos);

  AddErrore(w, 9);
  AddErrore(w, 13);
  DeleteErrore(w, 9);
  DeleteErrore(w, 9);  // absent: nothing
  EXPECT_EQ(list(), (std::vector<int>{4, 13}));
  EXPECT_EQ(ExistAnError(w), 4);
  EXPECT_EQ(ExistError(w, 13), 1);
  EXPECT_EQ(ExistError(w, 9), 0);
  AddErrore(w, kErrCodes);  // no such code
  AddErrore(w, -1);
  EXPECT_EQ(w->errCount, 2);

  w->errorsMuted = 1;  // before the first "CP" nothing is recorded
  AddErrore(w, 1);
  EXPECT_EQ(ExistError(w, 1), 0);
}

TEST_F(AmpErrors, FlagsLatchProtectionAndWarnings) {
  testing::internal::CaptureStderr();
  AddErrore(w, 1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(w->errFlags.load(), 1);
  EXPECT_NE(err.find(" -->set protezione 0x1"), std::string::npos);
  AddErrore(w, 12);
  EXPECT_EQ(w->errFlags.load(), 5);
  AddErrore(w, 9);  // flags 0
  EXPECT_EQ(w->errFlags.load(), 5);
  EXPECT_EQ(ExistAnError(w), 1);
}

TEST_F(AmpErrors, FlagsHoldEvenWithoutTheDescriptorTable) {
  TestWorks bare;
  bare->errorsMuted = 0;
  AddErrore(bare.get(), 22);
  AddErrore(bare.get(), 15);
  EXPECT_EQ(bare->errFlags.load(), 1);
  EXPECT_STREQ(bare->errTable[15].line1, "Error");
  EXPECT_STREQ(bare->errTable[15].line2, "---");
}

// Pixel of the work buffer as red, green, blue.
std::vector<int> rgb(FbInfo* fb, int x, int y) {
  const uint8_t* p = fb->workBuf + static_cast<size_t>(y) * fb->lineSize + static_cast<size_t>(x) * fb->pixelSize;
  return {p[2], p[1], p[0]};
}

TEST_F(AmpErrors, KeysShowTheNewestSix) {
  FbInfo* fb = fbCreateMemory(800, 480);
  ASSERT_NE(fb, nullptr);
  w->fb = fb;
  for (int c : {4, 5, 1, 6, 7, 8, 12, 2}) AddErrore(w, c);
  DrawError(w);
  const int x0[6] = {5, 133, 266, 399, 532, 665};
  const int x1[6] = {130, 263, 396, 529, 662, 795};
  const std::vector<int> red = {255, 30, 0}, orange = {250, 150, 0}, white = {255, 255, 255};
  // entries 2..7 shown: codes 1 (red), 6, 7, 8, 12 (orange), 2 (red)
  EXPECT_EQ(rgb(fb, x0[0] + 60, 380), red);
  for (int k = 1; k <= 4; k++) EXPECT_EQ(rgb(fb, x0[k] + 60, 380), orange) << k;
  EXPECT_EQ(rgb(fb, x0[5] + 60, 380), red);
  for (int k = 0; k < 6; k++) {
    EXPECT_EQ(rgb(fb, x0[k] + 20, 370), white);
    EXPECT_EQ(rgb(fb, x0[k] + 20, 415), white);
    EXPECT_EQ(rgb(fb, x0[k], 400), white);
    EXPECT_EQ(rgb(fb, x1[k], 400), white);
  }
  EXPECT_EQ(rgb(fb, 60, 360), (std::vector<int>{0, 0, 0}));  // above the row: untouched
  EXPECT_EQ(rgb(fb, 131, 400), (std::vector<int>{0, 0, 0}));  // the gap between keys

  // An overlay hides the keys.
  FbInfo* fb2 = fbCreateMemory(800, 480);
  w->fb = fb2;
  w->overlay = 4;
  DrawError(w);
  EXPECT_EQ(rgb(fb2, 65, 380), (std::vector<int>{0, 0, 0}));
  w->fb = nullptr;
  fbRelease(fb);
  fbRelease(fb2);
}

TEST_F(AmpErrors, ResetKeyWithOnlyBoardOverTemperatureDoesNothing) {
  AddErrore(w, 2);
  EXPECT_EQ(w->errFlags.load(), 0);
  EXPECT_EQ(GPIO_Errori(w), 0);
  EXPECT_EQ(list(), (std::vector<int>{2}));
  EXPECT_TRUE(drain().empty());
  w->errCount = 0;
  EXPECT_EQ(GPIO_Errori(w), 0);  // empty list
}

TEST_F(AmpErrors, ResetKeyRemovesTemporaryWarnings) {
  AddErrore(w, 12);
  AddErrore(w, 4);
  AddErrore(w, 9);  // not temporary
  PublishAmpStatus(w);
  EXPECT_EQ(GPIO_Errori(w), 1);
  EXPECT_EQ(list(), (std::vector<int>{9}));
  EXPECT_EQ(w->errFlags & 4, 0);
  EXPECT_TRUE(drain().empty());
}

TEST_F(AmpErrors, ResetKeyOnPlainErrorsResendsAndClears) {
  AddErrore(w, 9);
  AddErrore(w, 10);
  w->AmpBypassFlag = 1;
  PublishAmpStatus(w);
  EXPECT_EQ(GPIO_Errori(w), 1);
  EXPECT_EQ(list(), std::vector<int>{});
  EXPECT_EQ(drain(), (std::vector<int>{CMD_MP0, CMD_AB1, CMD_AT}));
}

TEST_F(AmpErrors, ProtectionResetRunsInThreeSteps) {
  // The amplifier reported high SWR: error 1 latched protection.
  AmpStatus s;
  s.b = 2 | 4;
  status(s);
  drain();
  AddErrore(w, 12);
  ASSERT_TRUE(ExistError(w, 1));
  ASSERT_EQ(w->errFlags & 1, 1);
  w->AmpBypassFlag = 0;

  // Step 1: the key queues the re-send and marks it.
  PublishAmpStatus(w);
  EXPECT_EQ(GPIO_Errori(w), 1);
  EXPECT_EQ(w->cmdQ.urgent.load(), 1);
  EXPECT_EQ(w->errResend.load(), 1);
  EXPECT_EQ(QueuedCmdCount(w), 4);

  // Step 2: the link drains the queue back to back; the mark moves to 2.
  std::vector<int> sent;
  for (int i = 0; i < 10; i++) {
    int next = NextCmdPriority(w, &st, CMD_ST);
    if (next == CMD_ST) break;
    sent.push_back(next);
  }
  EXPECT_EQ(sent, (std::vector<int>{CMD_CP, CMD_MP0, CMD_AB0, CMD_AT}));
  EXPECT_EQ(w->errResend.load(), 2);
  EXPECT_EQ(w->cmdQ.urgent.load(), 0);

  // Step 3: the next status reply clears the list and the latch; the
  // amplifier's present state records what is still wrong.
  s.b = 0;
  status(s);
  EXPECT_EQ(w->errResend.load(), 0);
  EXPECT_EQ(list(), std::vector<int>{});
  EXPECT_EQ(w->errFlags & 3, 0);

  // A fault that persists comes straight back.
  s.b = 2 | 4;
  status(s);
  EXPECT_TRUE(ExistError(w, 1));
  EXPECT_EQ(w->errFlags & 1, 1);
}

TEST_F(AmpErrors, MicroResetResendsTheStartupSet) {
  w->ampStatus[2] = 0x80;
  AddErrore(w, 15);  // protection latched
  PublishAmpStatus(w);
  EXPECT_EQ(GPIO_Errori(w), 1);
  std::vector<int> q = drain();
  ASSERT_GE(q.size(), 15u);
  EXPECT_EQ(q.front(), CMD_CP);
  EXPECT_EQ(q[1], CMD_VSM);
  EXPECT_EQ(q[q.size() - 3], CMD_MP0);
  EXPECT_EQ(q[q.size() - 2], CMD_AB1);
  EXPECT_EQ(q.back(), CMD_AT);
}

TEST_F(AmpErrors, RemoteRestartOnlyAfterAFault) {
  w->remoteStarted = 1;
  w->remoteFault = 0;
  setRunByte(tw.setup.EnableWrite, '1');
  setRunByte(tw.setup.EnableRead, '1');
  setRunByte(tw.setup.EnableCAT, '1');
  setRunByte(tw.setup.EnableFFT, '1');
  GestErroreRemote(w);
  EXPECT_EQ(w->remoteFault, 0);
  w->remoteFault = 1;
  GestErroreRemote(w);  // every thread already runs: only the mark clears
  EXPECT_EQ(w->remoteFault, 0);
  w->remoteStarted = 0;
  w->remoteFault = 1;
  GestErroreRemote(w);
  EXPECT_EQ(w->remoteFault, 1);
}

}  // namespace
