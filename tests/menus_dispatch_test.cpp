// The front-panel keys: page walks with their edge cases, the manual tuner,
// the tune-memory pages, and, against the simulated amplifier, what the
// keys put on the wire.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "amp/amp_status.h"
#include "amp/errors.h"
#include "amp/linear.h"
#include "core/globals.h"
#include "app/spine.h"
#include "core/works.h"
#include "display/fb.h"
#include "screens/buttons.h"
#include "menus/dispatch.h"
#include "tests/support/menu_station.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_works.h"
#include "tests/support/wait.h"
#include "tests/support/zelsim_process.h"
#include "tuner/antenna.h"
#include "tuner/autotune.h"
#include "tuner/tune_memory.h"

namespace {

class Keys : public MenuStation {
 protected:
  void beforeMenus() override { w->fb = fbCreateMemory(800, 480); }
  void SetUp() override {
    MenuStation::SetUp();
    w->ModeWorkIdx = 0;
    w->NumBanco = 1;
    InitTabAntenna(w.get(), 0);
  }
  void TearDown() override { fbRelease(w->fb); }
  int key(int k, int held = 0) { return DecodeTasto(w.get(), k, held); }
};

}  // namespace

TEST_F(Keys, FirstKeyAfterTheSaverOnlyWakes) {
  w->ScreenSaverOn = 1;
  w->LastActivity = 0;
  EXPECT_EQ(key(5), 0);
  EXPECT_EQ(w->MenuIdx, 0);
  EXPECT_EQ(w->ScreenSaverOn.load(), 0);
  EXPECT_GT(w->LastActivity.load(), 0);
  key(5);
  EXPECT_EQ(w->MenuIdx, 1);
}

TEST_F(Keys, BrowserWrapsAndTheEditorReturnsToTheFilterScreen) {
  key(5);
  ASSERT_EQ(w->MenuIdx, 1);
  key(3);
  EXPECT_EQ(w->ParIdx, 31);  // from the first group to the last
  key(4);
  EXPECT_EQ(w->ParIdx, 0);
  while (w->ParIdx != 17) key(4);
  key(6);
  ASSERT_EQ(w->MenuIdx, 2);
  key(5);  // "FILTER SETTINGS" "View" on
  EXPECT_EQ(w->filterView, 1);
  key(6);
  EXPECT_EQ(w->overlay & 0x04, 0x04);
  EXPECT_EQ(w->MenuIdx, 12);
  // Once there, the editor returns to it.
  w->MenuIdx = 2;
  w->ParIdx = 0;
  key(6);
  EXPECT_EQ(w->MenuIdx, 12);
  w->filterEditIdx = 0;
  key(2);
  EXPECT_EQ(w->filterEditIdx, 7);
  key(1);
  EXPECT_EQ(w->MenuIdx, 0);
  EXPECT_EQ(w->overlay, 0);
}

TEST_F(Keys, LongPressesOfPageZero) {
  key(6, 0x20);
  EXPECT_EQ(w->overlay, 0x01);
  key(3);  // the first key only leaves the status screen
  EXPECT_EQ(w->overlay, 0);
  EXPECT_EQ(w->AntennaIdx, 0);
  key(1, 0x01);
  EXPECT_EQ(w->MenuIdx, 6);
  EXPECT_STREQ(Zarnmenu[6].button[1].line2, "Generic");
  key(6);
  EXPECT_EQ(w->MenuIdx, 7);
  EXPECT_EQ(w->tabColSel, 0);
  key(2);
  EXPECT_EQ(w->tabColSel, 4);
  key(1);
  EXPECT_EQ(w->MenuIdx, 6);
  EXPECT_EQ(w->tabColSel, -1);
  key(1);
  EXPECT_EQ(w->MenuIdx, 0);
  EXPECT_EQ(w->overlay, 0);
  w->ViewIdx = 5;
  key(6);
  EXPECT_EQ(w->ViewIdx, 1);
}

TEST_F(Keys, TuneKeyAbortsARunWithoutStoringAndPageThreeHoldsDuringIt) {
  w->tuneFlags = 1;
  w->AtuBypassFlag = 0;
  w->MenuIdx = 0;
  key(4);
  ASSERT_EQ(w->MenuIdx, 3);
  key(4);
  ASSERT_EQ(w->TuneRunState.load(), 1);
  key(1);
  EXPECT_EQ(w->MenuIdx, 3);  // not while tuning
  queued();
  w->tuneSearch.tuneParam.SWR = 1.2f;  // a result that would be stored by a finished run
  key(4);
  EXPECT_EQ(w->TuneRunState.load(), 0);
  // Normal attenuator and the band's thresholds again; nothing stored.
  EXPECT_EQ(queued(), (std::vector<int>{CMD_AT, CMD_TS}));
  EXPECT_FALSE(root.exists("/opt/set/atu_ant1_b1.txt"));
  key(1);
  EXPECT_EQ(w->MenuIdx, 0);
}

TEST_F(Keys, ManualTuningSteps) {
  w->MenuIdx = 3;
  key(6);
  ASSERT_EQ(w->MenuIdx, 4);
  EXPECT_EQ(queued(), (std::vector<int>{CMD_MT}));
  w->Tuneval = kTuneCL;
  w->ModoTune = 1;
  w->ValI = 0;
  EXPECT_EQ(key(2, 0x02), 1);  // nothing below 0, but the repeat goes on
  EXPECT_EQ(w->ValI, 0);
  EXPECT_TRUE(queued().empty());
  EXPECT_EQ(key(3, 0x04), 1);
  EXPECT_EQ(key(3), 0);  // the release steps once more and ends the repeat
  EXPECT_EQ(w->ValI, 2);
  EXPECT_EQ(DecodeInduttanzaFromTuneval(w->Tuneval), 2);
  EXPECT_EQ(queued(), (std::vector<int>{CMD_MT1, CMD_MT1}));
  EXPECT_STREQ(Zarnmenu[4].button[2].line2, "     2");
  w->ValC = 511;
  EXPECT_EQ(key(5, 0x10), 1);
  EXPECT_EQ(w->ValC, 511);
  std::vector<int> modes;
  for (int i = 0; i < 3; i++) {
    key(1, 0x01);
    modes.push_back(w->ModoTune);
  }
  EXPECT_EQ(modes, (std::vector<int>{2, 3, 1}));
  key(6);
  EXPECT_STREQ(Zarnmenu[4].button[5].line1, "StopTX");
  EXPECT_EQ(w->txReqFlags.load() & 0x03, 0x03);
  key(6);
  EXPECT_STREQ(Zarnmenu[4].button[5].line1, "StartTX");
  EXPECT_EQ(w->txReqFlags.load() & 0x03, 0x01);
}

TEST_F(Keys, SavingTheTuneMemory) {
  w->freq = 7100000;
  w->MenuIdx = 4;
  w->NumBanco = 2;
  w->AntennaIdx = 1;
  key(1);
  ASSERT_EQ(w->MenuIdx, 8);
  EXPECT_EQ(w->SaveBank, 2);
  key(3);
  EXPECT_EQ(w->SaveAnt, 2);

  w->Tuneval = kTuneBypass;
  key(6);
  EXPECT_EQ(w->MenuIdx, 3);
  EXPECT_EQ(w->keyFlags & 0x02, 0x02);  // "ATU ByPass not saved!"
  EXPECT_FALSE(root.exists("/opt/set/atu_ant3_b2.txt"));
  key(2);
  EXPECT_EQ(w->keyFlags & 0x02, 0);

  w->Tuneval = TuneWordWithI(TuneWordWithC(kTuneLC, 40), 100);
  w->MenuIdx = 8;
  key(6);
  std::string saved = root.readFile("/opt/set/atu_ant3_b2.txt");
  EXPECT_NE(saved.find(" 1 2 100 40\n"), std::string::npos) << saved;

  // A refused remount keeps the old file, and the operator is told.
  root.stubExit("mount", 1);
  w->Tuneval = TuneWordWithI(TuneWordWithC(kTuneCL, 7), 9);
  w->MenuIdx = 8;
  key(6);
  EXPECT_EQ(root.readFile("/opt/set/atu_ant3_b2.txt"), saved);
  EXPECT_EQ(w->keyFlags & 0x02, 0x02);
}

TEST_F(Keys, EraseAllBanksAndCopyKeepTheActiveBank) {
  w->MAXbank = 4;
  for (const char* f : {"/opt/set/antenna.txt", "/opt/set/atu_ant1_b1.txt", "/opt/set/antenna_b3.txt",
                        "/opt/set/atu_ant3_b3.txt"})
    root.writeFile(f, "");
  root.writeFile("/opt/set/atu_ant1_b5.txt", "");  // beyond the bank count
  w->MenuIdx = 9;
  w->NumBanco = 3;
  key(3);
  ASSERT_EQ(w->MenuIdx, 11);
  key(2);
  EXPECT_EQ(w->ResetBank, 4);
  EXPECT_STREQ(Zarnmenu[11].button[1].line2, "  ALL");
  key(6);
  EXPECT_EQ(w->MenuIdx, 6);
  for (const char* f : {"/opt/set/antenna.txt", "/opt/set/atu_ant1_b1.txt", "/opt/set/antenna_b3.txt",
                        "/opt/set/atu_ant3_b3.txt"})
    EXPECT_FALSE(root.exists(f)) << f;
  EXPECT_TRUE(root.exists("/opt/set/atu_ant1_b5.txt"));

  // Copy bank 1 into bank 2 while bank 3 is active.
  root.writeFile("/opt/set/atu_ant1_b1.txt", "5 1810000 1 1 10 20\n");
  root.writeFile("/opt/set/atu_ant1_b3.txt", "6 1812000 1 2 30 40\n");
  LoadAllBankTable(w.get(), 3);
  w->MenuIdx = 9;
  key(2);
  ASSERT_EQ(w->MenuIdx, 10);
  EXPECT_EQ(w->CopyFrom, 3);
  key(2);
  key(2);
  EXPECT_EQ(w->CopyFrom, 1);  // 3 -> 0 at the bank count -> 1
  w->CopyTo = 1;
  key(3);
  key(6);
  EXPECT_EQ(w->MenuIdx, 6);
  EXPECT_EQ(root.readFile("/opt/set/atu_ant1_b2.txt"), "5 " + std::to_string(AtuFreqfromIdx(5)) + " 1 1 10 20\n");
  EXPECT_EQ(w->TabTune[0][6].valid, 1);  // the active bank's memory is back
  EXPECT_EQ(w->TabTune[0][5].valid, 0);
}

TEST_F(Keys, IndexesOutOfRangeStayInsideTheTables) {
  w->MenuIdx = 1;
  w->ParIdx = 77;
  key(6);
  EXPECT_EQ(w->MenuIdx, 2);
  EXPECT_EQ(w->ParIdx, 0);
  w->MenuIdx = 12;
  w->filterEditIdx = 40;
  key(3);
  EXPECT_EQ(w->filterEditIdx, 0);
  w->MenuIdx = 6;
  w->NumRowAntenna = 0;
  w->tabRowSel = 0;
  key(3);
  EXPECT_EQ(w->tabRowSel, 0);
  w->MenuIdx = 0;
  w->AttSel = 200;
  w->ampStatus[0] = 0x01;
  w->AmpBypassFlag = 1;
  key(2);
  EXPECT_LE(w->AttSel, 4);
}

// ---------------------------------------------------------------------------
// Against the simulated amplifier

namespace {

class KeysOnTheWire : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim.start(root.dir()));
    InitGlobalVar(w.get());
    InstallStationHooks(w.get());
    setRunByte(w->setup->EnableLinear, '1');
    snprintf(w->setup->LinPort, sizeof w->setup->LinPort, "%s", "/dev/ttyAMA0");
    InitMenuZarn(w.get());
    w->ModeWorkIdx = 0;
    w->NumBanco = 2;
    InitTabAntenna(w.get(), 0);
    for (AntennaRow& r : w->tabAntenna) r.AtuBypass = 0;
  }
  void TearDown() override {
    w->running = 0;
    if (thrLin.joinable()) thrLin.join();
  }
  bool linkUp() {
    return waitFor([&] { return GetAmpStatus(w.get()).ampStatus[1] != 0; }, 20000);
  }
  bool simLogHas(const std::string& frame) {
    return waitFor([&] { return sim.control("amp log").find(frame) != std::string::npos; }, 20000);
  }
  TempRoot root;
  ZelsimProcess sim;
  TestWorks w;
};

}  // namespace

TEST_F(KeysOnTheWire, RetryReopensTheAmplifierPortAndTheKeysReachIt) {
  // The amplifier's port is missing at start-up and comes back later.
  const std::string port = root.path("/dev/ttyAMA0"), away = root.path("/dev/ttyAMX7");
  ASSERT_EQ(rename(port.c_str(), away.c_str()), 0);
  StartThreadLinear(w.get());
  ASSERT_TRUE(waitFor([&] { return w->failCode == 1; }));
  w->MenuIdx = 5;
  ASSERT_EQ(rename(away.c_str(), port.c_str()), 0);
  DecodeTasto(w.get(), 5, 0);
  EXPECT_EQ(w->failCode, -1);
  ASSERT_TRUE(linkUp());

  w->MenuIdx = 0;
  w->freq = 14200000;
  DecodeTasto(w.get(), 3, 0);  // antenna 2
  EXPECT_TRUE(simLogHas("SA2;"));
  EXPECT_TRUE(waitFor([&] { return sim.control("amp state").find(" ant=2 ") != std::string::npos; }));

  // The attenuator key sends the step chosen, and takes the amplifier out of standby.
  w->AmpBypassFlag = 1;
  DecodeTasto(w.get(), 2, 0);
  EXPECT_EQ(w->Attenuator, 1);
  EXPECT_TRUE(simLogHas("AT01;"));
  EXPECT_TRUE(simLogHas("AB0;"));
  EXPECT_TRUE(waitFor([&] { return sim.control("amp state").find(" att=1 ") != std::string::npos; }));
  EXPECT_EQ(w->AttIdx, 1);
}

TEST_F(KeysOnTheWire, TuneWithTheGenericInterfaceRunsWhenTheRadioTransmits) {
  StartThreadLinear(w.get());
  ASSERT_TRUE(linkUp());
  const long f = 50200000;
  ASSERT_EQ(sim.control("amp load 1 endfed").substr(0, 2), "OK");
  ASSERT_EQ(sim.control("amp freq " + std::to_string(f)).substr(0, 2), "OK");
  w->freq = f;
  w->tuneFlags = 1;
  w->RadioTx = 0;  // nobody reports the radio's transmission
  w->MenuIdx = 3;
  DecodeTasto(w.get(), 4, 0);
  ASSERT_EQ(w->TuneRunState.load(), 1);
  ASSERT_TRUE(waitFor([&] { return w->TuneState == 2; }));
  ASSERT_EQ(sim.control("amp drive 20").substr(0, 2), "OK");  // the operator keys the radio
  ASSERT_TRUE(waitFor([&] { return w->TuneRunState.load() == 0 && !TuneSaveInFlight(); }, 60000))
      << w->TuneState;
  EXPECT_LT(GetAmpStatus(w.get()).SWR, 2.0f);
  EXPECT_TRUE(root.exists("/opt/set/atu_ant1_b2.txt"));
}

TEST_F(Keys, FailurePageRetriesOrCancelsTheLinkThatFailed) {
  // failCode 2 comes from the FT-817 poll's port.
  snprintf(w->setup->CatSerialPort, sizeof w->setup->CatSerialPort, "%s", "/dev/ttyUSB7");
  setRunByte(w->setup->catSerRun, '1');
  setRunByte(w->setup->EnableCAT, '1');
  w->failCode = 2;
  w->MenuIdx = 5;
  key(5);
  EXPECT_TRUE(waitFor([&] { return w->failCode == 2; }));  // tried again, failed again
  if (thrCatSer.joinable()) thrCatSer.join();
  key(6);
  EXPECT_EQ(w->failCode, -1);
  EXPECT_EQ(runByte(w->setup->catSerRun), '0');
  EXPECT_EQ(runByte(w->setup->EnableCAT), '1');  // the companion radio's CAT bridge is not the one that failed
}

TEST_F(Keys, ResetKeyConsumesThePressWhileAnErrorIsListed) {
  w->MAXbank = 20;
  w->NumBanco = 1;
  AddErrore(w.get(), 1);
  key(1);
  EXPECT_EQ(w->NumBanco, 1);
  EXPECT_EQ(w->MenuIdx, 0);
  while (ExistAnError(w.get()) >= 0) DeleteErrore(w.get(), ExistAnError(w.get()));
  w->errFlags = 0;
  key(1);
  EXPECT_EQ(w->NumBanco, 2);
}
