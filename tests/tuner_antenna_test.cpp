// Antenna tables: defaults, the file with its interface marker, banks, saving.
#include <gtest/gtest.h>

#include <string>

#include "amp/error_list.h"
#include "amp/linear.h"
#include "platform/log.h"
#include "app/spine.h"
#include "radio/hamlib_link.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_works.h"
#include "tuner/antenna.h"
#include "tuner/tune_memory.h"

namespace {

std::vector<int> drainQueue(Works* w) {
  std::vector<int> out;
  for (int c; (c = TakeQueuedCmd(w)) >= 0;) out.push_back(c);
  return out;
}

class AntennaTable : public testing::Test {
 protected:
  AntennaTable() {
    setRunByte(w->setup->zelRun, '0');
    setRunByte(w->setup->catSerRun, '0');
  }
  TempRoot root;
  TestWorks w;
};

TEST_F(AntennaTable, FullAndRangesOnlyDefaults) {
  InitTabAntenna(w.get(), 0);
  ASSERT_EQ(w->NumRowAntenna, 11);
  EXPECT_STREQ(w->tabAntenna[0].bandName, "160m");
  EXPECT_EQ(w->tabAntenna[2].freqLow, 5330500);
  EXPECT_EQ(w->tabAntenna[10].freqHigh, 54000000);
  for (int i = 0; i < 11; ++i) {
    EXPECT_EQ(w->tabAntenna[i].Ant, 1);
    EXPECT_EQ(w->tabAntenna[i].AtuBypass, 1);
    EXPECT_EQ(w->tabAntenna[i].AmpEnable, 0);
  }
  w->tabAntenna[5] = AntennaRow{"xx", 1, 2, 1, 3, 0, 2, 7.5f};
  w->NumRowAntenna = 4;
  InitTabAntenna(w.get(), 1);
  EXPECT_EQ(w->NumRowAntenna, 11);
  EXPECT_STREQ(w->tabAntenna[5].bandName, "20m");
  EXPECT_EQ(w->tabAntenna[5].freqLow, 14000000);
  EXPECT_EQ(w->tabAntenna[5].Ant, 3);
  EXPECT_EQ(w->tabAntenna[5].Att, 2);
  EXPECT_FLOAT_EQ(w->tabAntenna[5].Pwr, 7.5f);
}

TEST_F(AntennaTable, FileNames) {
  EXPECT_EQ(AntennaFileName(0), "/opt/set/antenna.txt");
  EXPECT_EQ(AntennaFileName(1), "/opt/set/antenna_b1.txt");
  EXPECT_EQ(AntennaFileName(19), "/opt/set/antenna_b19.txt");
  EXPECT_EQ(AntennaFileName(20), "/opt/set/antenna.txt");
}

TEST_F(AntennaTable, SaveAndLoadGiveBackEveryField) {
  InitTabAntenna(w.get(), 0);
  for (int i = 0; i < 11; ++i) {
    AntennaRow& r = w->tabAntenna[i];
    r.AmpEnable = i & 1;
    r.Ant = uint8_t(i % 4);
    r.AtuBypass = (i / 2) & 1;
    r.Att = uint8_t(i % 4);
    r.Pwr = 0.1f * float(i * 13);
  }
  w->ModeWorkIdx = 2;
  ASSERT_EQ(SaveTabConfig(w.get(), 5), 0);
  std::string text = root.readFile("/opt/set/antenna_b5.txt");
  EXPECT_EQ(text.substr(0, 5), "!817\n");
  EXPECT_NE(text.find("\n20m 14000000 14350000 1 1 0 1 6.5\n"), std::string::npos) << text;

  TestWorks back;
  EXPECT_EQ(LoadTabConfig(back.get(), 5), 2);
  EXPECT_EQ(back->NumRowAntenna, 11);
  EXPECT_EQ(back->AntennaRowIdx, -1);
  for (int i = 0; i < 11; ++i) {
    const AntennaRow& a = w->tabAntenna[i];
    const AntennaRow& b = back->tabAntenna[i];
    EXPECT_STREQ(a.bandName, b.bandName);
    EXPECT_EQ(a.freqLow, b.freqLow);
    EXPECT_EQ(a.freqHigh, b.freqHigh);
    EXPECT_EQ(a.AmpEnable, b.AmpEnable);
    EXPECT_EQ(a.Ant, b.Ant);
    EXPECT_EQ(a.AtuBypass, b.AtuBypass);
    EXPECT_EQ(a.Att, b.Att);
    EXPECT_NEAR(a.Pwr, b.Pwr, 0.05f) << i;
  }
  // Markers for the other interfaces.
  w->ModeWorkIdx = 1;
  SaveTabConfig(w.get(), 0);
  EXPECT_EQ(root.readFile("/opt/set/antenna.txt").substr(0, 5), "!Zel\n");
  EXPECT_EQ(LoadTabConfig(back.get(), 0), 1);
  w->ModeWorkIdx = 3;
  SaveTabConfig(w.get(), 0);
  EXPECT_EQ(root.readFile("/opt/set/antenna.txt").substr(0, 5), "!Ham\n");
  EXPECT_EQ(LoadTabConfig(back.get(), 0), 3);
  w->ModeWorkIdx = -1;
  SaveTabConfig(w.get(), 0);
  EXPECT_EQ(root.readFile("/opt/set/antenna.txt").substr(0, 5), "!Gen\n");
  EXPECT_EQ(LoadTabConfig(back.get(), 0), 0);
}

TEST_F(AntennaTable, ReaderRules) {
  root.writeFile("/opt/set/antenna_b2.txt",
                 "; my table\n"
                 "!Zel\n"
                 "!Whatever\n"
                 "verylongname 0x1B7740 0D 1 2 0 3 12.5\r\n"  // hex start; 0D is not a number
                 "verylongname 0x1B7740 2000000 1 2 0 3 12.5\r\n"
                 "!817\n"
                 "r2 3500000 04000000 0 3 1 1 1.0\n"
                 "bad 3500000\n"
                 "r3 5000000 5100000 1 9 1 7 0.0\n"
                 "r4 1 2 1 1 1 1 1\n"
                 "r5 1 2 1 1 1 1 1\n"
                 "r6 1 2 1 1 1 1 1\n"
                 "r7 1 2 1 1 1 1 1\n"
                 "r8 1 2 1 1 1 1 1\n"
                 "r9 1 2 1 1 1 1 1\n"
                 "r10 1 2 1 1 1 1 1\n"
                 "r11 1 2 1 1 1 1 1\n"
                 "r12 1 2 1 1 1 1 1\n"
                 "!Gen\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(LoadTabConfig(w.get(), 2), 2);  // the last marker before the 11th row
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(w->NumRowAntenna, 11);
  EXPECT_STREQ(w->tabAntenna[0].bandName, "veryl" "on");  // cut to 7
  EXPECT_EQ(w->tabAntenna[0].freqLow, 1800000);
  EXPECT_EQ(w->tabAntenna[1].freqHigh, 04000000);  // leading 0: octal
  EXPECT_EQ(w->tabAntenna[2].Ant, 0);                // antenna 9 does not exist
  EXPECT_EQ(w->tabAntenna[2].Att, 0);                // nor attenuator step 7
  EXPECT_STREQ(w->tabAntenna[10].bandName, "r11");

  // A zero range edge: names and ranges fall back, the rest is kept.
  root.writeFile("/opt/set/antenna_b3.txt", "!Gen\n160m 1800000 2000000 1 3 0 2 5.0\nx 0 100 1 2 0 1 1.0\n");
  testing::internal::CaptureStderr();
  LoadTabConfig(w.get(), 3);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Error Reinit antenna\n"), std::string::npos);
  EXPECT_EQ(w->NumRowAntenna, 11);
  EXPECT_STREQ(w->tabAntenna[1].bandName, "80m");
  EXPECT_EQ(w->tabAntenna[1].freqLow, 3500000);
  EXPECT_EQ(w->tabAntenna[1].Ant, 2);
  EXPECT_EQ(w->tabAntenna[0].Ant, 3);
  EXPECT_EQ(w->tabAntenna[0].AmpEnable, 1);

  // A marker and no rows: an empty table that matches nothing.
  root.writeFile("/opt/set/antenna_b4.txt", "!817\n");
  EXPECT_EQ(LoadTabConfig(w.get(), 4), 2);
  EXPECT_EQ(w->NumRowAntenna, 0);
  EXPECT_EQ(BandNameForFreq(w.get(), 14100000), nullptr);

  // No file: the full default, generic.
  EXPECT_EQ(LoadTabConfig(w.get(), 6), 0);
  EXPECT_EQ(w->NumRowAntenna, 11);
  EXPECT_EQ(w->tabAntenna[3].AtuBypass, 1);
}

TEST_F(AntennaTable, NulInBandNameSkipsTheRowInsteadOfLosingItOnSave) {
  // A NUL cut the name to nothing: saved, the row began with a blank and
  // the next load dropped it (the next row moved up into its place).
  root.writeFile("/opt/set/antenna_b2.txt",
                 std::string("!Gen\n40m 7000000 7300000 1 2 0 1 3.0\n\0" "0m 14000000 14350000 1 3 0 0 0.0\n"
                             "10m 28000000 29700000 1 1 0 0 0.0\n", 105));
  LoadTabConfig(w.get(), 2);
  ASSERT_EQ(w->NumRowAntenna, 2);
  EXPECT_STREQ(w->tabAntenna[1].bandName, "10m");
  ASSERT_EQ(SaveTabConfig(w.get(), 2), 0);
  const std::string saved = root.readFile("/opt/set/antenna_b2.txt");
  LoadTabConfig(w.get(), 2);
  ASSERT_EQ(SaveTabConfig(w.get(), 2), 0);
  EXPECT_EQ(root.readFile("/opt/set/antenna_b2.txt"), saved);
  EXPECT_EQ(saved, "!Gen\n40m 7000000 7300000 1 2 0 1 3.0\n10m 28000000 29700000 1 1 0 0 0.0\n");
}

TEST_F(AntennaTable, RowsMatchWithInclusiveEdgesFirstRowWins) {
  InitTabAntenna(w.get(), 0);
  w->tabAntenna[1].freqHigh = 5330500;  // 80m now ends where 60m starts
  EXPECT_EQ(AntennaRowForFreq(w.get(), 5330500), 1);
  EXPECT_EQ(AntennaRowForFreq(w.get(), 2000000), 0);
  EXPECT_EQ(AntennaRowForFreq(w.get(), 2000001), -1);
  EXPECT_STREQ(BandNameForFreq(w.get(), 50000000), "6m");
}

TEST_F(AntennaTable, SaveToBankStoresThePresentStateInTheFrequencyRow) {
  InitTabAntenna(w.get(), 0);
  w->freq = 14100000;
  w->AtuBypassFlag = 0;
  w->Attenuator = 2;
  w->AttIdx = 2;
  w->ModeWorkIdx = 0;
  SaveToBank(w.get(), 8, 2);
  EXPECT_EQ(w->tabAntenna[5].Ant, 3);
  EXPECT_EQ(w->tabAntenna[5].AtuBypass, 0);
  EXPECT_EQ(w->tabAntenna[5].Att, 2);
  EXPECT_EQ(w->tabAntenna[5].AmpEnable, 1);
  EXPECT_NE(root.readFile("/opt/set/antenna_b8.txt").find("20m 14000000 14350000 1 3 0 2 0.0\n"),
            std::string::npos);
  w->AttIdx = 4;  // standby
  SaveToBank(w.get(), 8, 0);
  EXPECT_EQ(w->tabAntenna[5].AmpEnable, 0);
  // No row: the file is written all the same.
  w->freq = 100;
  SaveToBank(w.get(), 9, 0);
  EXPECT_TRUE(root.exists("/opt/set/antenna_b9.txt"));
}

TEST_F(AntennaTable, LoadingABankLoadsTableMemoriesAndInterface) {
  root.writeFile("/opt/set/antenna_b11.txt", "!Gen\n20m 14000000 14350000 1 2 0 0 0.0\n");
  root.writeFile("/opt/set/atu_ant2_b11.txt", "3128 14180000 1 2 40 50\n");
  root.writeFile("/opt/set/atu_ant3_b11.txt", "900 1800000 1 1 1 1\n");
  setRunByte(w->setup->zelRun, '1');  // generic bank: the companion-radio link stops
  w->ModeWorkIdx = 1;
  LoadBankAndWorkMode(w.get(), 11);
  EXPECT_EQ(w->ModeWorkIdx.load(), 0);
  EXPECT_EQ(w->NumRowAntenna, 1);
  EXPECT_EQ(w->TabTune[1][3128].C, 50);
  EXPECT_EQ(w->TabTune[2][900].valid, 1);
  EXPECT_EQ(w->TabTune[0][3128].valid, 0);
  EXPECT_EQ(runByte(w->setup->zelRun), '0');
  EXPECT_EQ(drainQueue(w.get()), std::vector<int>{CMD_GS_SET});
}

TEST_F(AntennaTable, WorkModeSetsTheRunBytes) {
  setRunByte(w->setup->zelRun, '1');
  setRunByte(w->setup->catSerRun, '1');
  w->ModeWorkIdx = 1;  // companion radio already running: only the CAT poll stops
  SetModeWorkIDX(w.get());
  EXPECT_EQ(runByte(w->setup->zelRun), '1');
  EXPECT_EQ(runByte(w->setup->catSerRun), '0');
  setRunByte(w->hamRun, '1');  // the Hamlib link already running: the companion radio stops
  w->ModeWorkIdx = 3;
  SetModeWorkIDX(w.get());
  EXPECT_EQ(runByte(w->setup->zelRun), '0');
  EXPECT_EQ(runByte(w->hamRun), '1');
  AddErroreUnmuted(w.get(), kHamlibErrCode);
  w->ModeWorkIdx = 0;  // leaving the interface takes its error key along
  SetModeWorkIDX(w.get());
  EXPECT_EQ(runByte(w->setup->zelRun), '0');
  EXPECT_EQ(runByte(w->setup->catSerRun), '0');
  EXPECT_EQ(runByte(w->hamRun), '0');
  EXPECT_EQ(ExistError(w.get(), kHamlibErrCode), 0);
  EXPECT_EQ(drainQueue(w.get()), (std::vector<int>{CMD_GS_SET, CMD_GS_SET, CMD_GS_SET}));
}

TEST_F(AntennaTable, AFailedRemountWritesNothing) {
  InitTabAntenna(w.get(), 0);
  root.writeFile("/opt/set/antenna.txt", "!Zel\n");
  root.stubExit("mount", 1);
  logCaptureStart();
  testing::internal::CaptureStderr();
  EXPECT_EQ(SaveTabConfig(w.get(), 0), -1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("can't mount rw /opt/set/ error"), std::string::npos);
  EXPECT_TRUE(logContains("can't mount rw /opt/set/ error"));
  logCaptureStop();
  EXPECT_EQ(root.readFile("/opt/set/antenna.txt"), "!Zel\n");
}

}  // namespace
