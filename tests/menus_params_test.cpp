// The parameter editor: ranges, wraps and steps of the settings, what a
// confirmation saves, and the small editors of the other settings screens.
#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <vector>

#include "amp/errors.h"
#include "amp/linear.h"
#include "core/globals.h"
#include "core/setup.h"
#include "app/spine.h"
#include "core/works.h"
#include "screens/buttons.h"
#include "menus/params.h"
#include "screens/meters.h"
#include "tests/support/menu_station.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_works.h"
#include "tests/support/wait.h"

namespace {

class Params : public MenuStation {
 protected:
  void beforeMenus() override { initSetup(w.get()); }
  int press(int par, int key) {
    w->ParIdx = par;
    w->ParSubIdx = 0;
    return ModifyParameter(w.get(), key);
  }
  std::string setupLine(const std::string& key) {
    std::string s = root.readFile("/opt/set/setup.txt");
    size_t p = s.find(key + ": ");
    return p == std::string::npos ? "" : s.substr(p, s.find('\n', p) - p);
  }
};

}  // namespace

TEST_F(Params, RangesWrapsAndSteps) {
  w->MAXbank = 20;
  press(0, kParPlus);
  EXPECT_EQ(w->MAXbank, 2);
  press(0, kParMinus);
  EXPECT_EQ(w->MAXbank, 20);

  w->AutoTuneMaxCicli = 0;
  press(6, kParMinus);
  EXPECT_EQ(w->AutoTuneMaxCicli, 0);
  w->AutoTuneMaxCicli = 4;
  press(6, kParPlus);
  EXPECT_EQ(w->AutoTuneMaxCicli, 0);
  w->AutoTuneMaxCicli = 9;  // read from a damaged file
  press(6, kParLeft);
  EXPECT_EQ(w->AutoTuneMaxCicli, 0);

  w->SWRescAutoTune = 0;
  EXPECT_EQ(press(5, kParPlus), 1);
  EXPECT_FLOAT_EQ(w->SWRescAutoTune, 1.0f);
  press(5, kParMinus);
  EXPECT_FLOAT_EQ(w->SWRescAutoTune, 0.0f);

  w->MaxTempAllowed = 60;
  w->MaxTemperature = 60.0f;
  EXPECT_EQ(press(22, kParPlus), 1);
  EXPECT_FLOAT_EQ(w->MaxTemperature, 60.0f);
  w->MaxTemperature2 = 20.0f;
  press(23, kParMinus);
  EXPECT_FLOAT_EQ(w->MaxTemperature2, 20.0f);

  PointDiv = 1;
  std::vector<int> seq;
  for (int i = 0; i < 5; i++) {
    press(15, kParPlus);
    seq.push_back(PointDiv);
  }
  EXPECT_EQ(seq, (std::vector<int>{2, 5, 10, 20, 20}));
  press(15, kParMinus);
  press(15, kParMinus);
  EXPECT_EQ(PointDiv, 5);

  TIME_LONG_PRESS = 4.95;
  EXPECT_EQ(press(27, kParPlus), 0);
  EXPECT_DOUBLE_EQ(TIME_LONG_PRESS, 5.0);
  TIME_LONG_PRESS = 0.3;
  press(27, kParMinus);
  EXPECT_DOUBLE_EQ(TIME_LONG_PRESS, 0.3);

  w->AttenuatorTune = 3;
  press(4, kParMinus);  // both keys step up
  EXPECT_EQ(w->AttenuatorTune, 0);

  TimerPeakSec = 4995;
  EXPECT_EQ(press(21, kParPlus), 1);
  EXPECT_EQ(TimerPeakSec, 5000);
  EXPECT_EQ(press(21, kParLeft), 0);  // a save: held, it does not repeat

  w->tuneFlags = 0x51;  // handshake bits go with the switch
  press(3, kParRight);
  EXPECT_EQ(w->tuneFlags.load(), 0);
}

TEST_F(Params, ConfirmSavesWhatTheFileCanHold) {
  // Four digits in the setup file: the period stops below 10000.
  w->FreqPeriodTime = 9990;
  EXPECT_EQ(press(2, kParPlus), 1);
  EXPECT_EQ(w->FreqPeriodTime, 9990);
  press(2, kParConfirm);
  EXPECT_EQ(setupLine("FreqPeriodTime"), "FreqPeriodTime: 9990");
  EXPECT_EQ(queued(), (std::vector<int>{CMD_FS}));

  TIME_LONG_PRESS = 1.2;
  press(27, kParRight);  // keys 3 and 4 save too
  EXPECT_EQ(setupLine("BTN_longpress_Time"), "BTN_longpress_Time: 12");

  w->OffsetPlot = 999.9;
  press(16, kParPlus);
  EXPECT_DOUBLE_EQ(w->OffsetPlot, 999.9);

  // A refused remount keeps the old file.
  root.stubExit("mount", 1);
  w->MAXbank = 7;
  press(0, kParConfirm);
  EXPECT_EQ(setupLine("MAXbank"), "MAXbank: 20");
}

TEST_F(Params, EachParameterChangesAndSavesItsOwnSetting) {
  // Parameter number, its line in the file after one plus and a save.
  const std::vector<std::pair<int, std::string>> edits = {
      {0, "MAXbank: 2"},          {1, "FreqSensIn: 1"},      {2, "FreqPeriodTime: 20"},
      {3, "AutoTuneMode: 1"},     {4, "AttenuatorTune: 1"},  {5, "SWRescAutoTune: 100"},
      {6, "AutoTuneMaxCicli: 1"}, {7, "TUNEenabled: 128"},   {16, "OffsetPlot: 1"},
      {18, "ViewTimeStr: 1"},     {19, "TempMode: 1"},       {20, "EnablePwrPeak: 1"},
      {21, "Peak_Time: 3010"},    {22, "MaxTemperature: 600"}, {23, "MaxTemperature2: 600"},
      {24, "PowerUnits: 1"},      {25, "SaveScreenIdx: 1"},  {27, "BTN_longpress_Time: 6"},
  };
  writeSetup(w.get());
  const std::string fresh = root.readFile("/opt/set/setup.txt");
  for (const auto& [par, line] : edits) {
    root.writeFile("/opt/set/setup.txt", fresh);
    readSetup(w.get());
    press(par, kParPlus);
    press(par, kParConfirm);
    // Only that line differs from the fresh file.
    const std::string key = line.substr(0, line.find(':'));
    std::string want = fresh;
    const size_t at = want.find("\n" + key + ": ") + 1;
    want.replace(at, want.find('\n', at) - at, line);
    EXPECT_EQ(root.readFile("/opt/set/setup.txt"), want) << par;
  }
}

TEST_F(Params, AddressEditorStaysInsideFourBytes) {
  uint8_t a[4] = {192, 168, 0, 255};
  EXPECT_EQ(ModifyIP(kParRight, 3, a), 0);
  EXPECT_EQ(ModifyIP(kParLeft, 0, a), 3);
  EXPECT_EQ(ModifyIP(kParPlus, 3, a), 3);
  EXPECT_EQ(a[3], 0);
  EXPECT_EQ(ModifyIP(kParMinus, 2, a), 2);
  EXPECT_EQ(a[2], 255);
  EXPECT_EQ(ModifyIP(kParPlus, 7, a), 0);  // a cursor out of range edits byte 0
  EXPECT_EQ(a[0], 193);
}

TEST_F(Params, FactoryDefaultNeedsItsArmPressAndKeepsTheLiveStation) {
  w->MAXbank = 12;
  writeSetup(w.get());
  root.writeFile("/opt/set/antenna_b3.txt", "!Gen\n40m 7000000 7300000 1 2 0 0 100.0\n");
  root.writeFile("/opt/set/atu_ant2.txt", "5 1810000 1 1 10 20\n");
  press(26, kParConfirm);
  EXPECT_TRUE(root.exists("/opt/set/antenna_b3.txt"));
  EXPECT_EQ(setupLine("MAXbank"), "MAXbank: 12");

  w->ampModel = '1';
  w->errorsMuted = 0;
  w->AmpBypassFlag = 0;
  press(26, kParPlus);
  EXPECT_EQ(w->factoryArmed, 1);
  press(26, kParConfirm);
  EXPECT_EQ(w->factoryArmed, 0);
  EXPECT_FALSE(root.exists("/opt/set/antenna_b3.txt"));
  EXPECT_FALSE(root.exists("/opt/set/atu_ant2.txt"));
  EXPECT_EQ(setupLine("MAXbank"), "MAXbank: 20");
  EXPECT_EQ(w->MAXbank, 20);
  // The amplifier is as it was: identity known, errors recorded, in operation.
  EXPECT_EQ(w->ampModel, '1');
  EXPECT_EQ(w->errorsMuted.load(), 0);
  EXPECT_EQ(w->AmpBypassFlag, 0);
  EXPECT_EQ(w->running.load(), 1u);

  // A stop the operator asked for while the factory reset runs is kept.
  w->stopRequested = 1;
  w->running = 0;
  press(26, kParPlus);
  press(26, kParConfirm);
  EXPECT_EQ(setupLine("MAXbank"), "MAXbank: 20");
  EXPECT_EQ(w->running.load(), 0u);
}

TEST_F(Params, RemoteOnWithoutCatPortRecordsError20) {
  setRunByte(w->setup->zelRun, '1');
  testing::internal::CaptureStderr();
  RemoteReadiness(w.get(), 2, 1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("j=1 i=2 enaser=1\n"), std::string::npos);
  EXPECT_NE(err.find("Remote ERROR!\n"), std::string::npos);
  EXPECT_EQ(ExistError(w.get(), 20), 1);
  EXPECT_EQ(w->remoteStarted, 0);
  EXPECT_EQ(w->remoteFault, 1);
  EXPECT_EQ(w->keyFlags & 0x04, 0x04);

  RemoteReadiness(w.get(), 0, 2);
  EXPECT_EQ(w->remoteStarted, 1);
  EXPECT_EQ(w->remoteFault, 0);
  EXPECT_EQ(w->keyFlags & 0x04, 0);
  // The same key switches it off again.
  press(8, kParPlus);
  EXPECT_EQ(w->remoteStarted, 0);
}

TEST_F(Params, AntennaCellEditor) {
  w->NumRowAntenna = 2;
  w->tabAntenna[1] = AntennaRow{"20m", 14000000, 14350000, 1, 1, 0, 0, 0.05f};
  w->tabRowSel = 1;
  auto edit = [&](int col, int down) {
    w->tabColSel = col;
    ModifytabAntenna(w.get(), down);
  };
  edit(1, 1);
  EXPECT_EQ(w->tabAntenna[1].Att, 0);  // from 0 downwards stays 0
  for (int i = 0; i < 4; i++) edit(1, 0);
  EXPECT_EQ(w->tabAntenna[1].Att, 0);  // 3 wraps to 0
  edit(3, 1);
  EXPECT_EQ(w->tabAntenna[1].Ant, 3);
  edit(3, 0);
  EXPECT_EQ(w->tabAntenna[1].Ant, 1);
  edit(0, 1);
  EXPECT_FLOAT_EQ(w->tabAntenna[1].Pwr, 0.0f);
  edit(2, 0);
  EXPECT_EQ(w->tabAntenna[1].AmpEnable, 0);
  // A row outside the table is never touched.
  w->tabRowSel = 5;
  edit(4, 0);
  EXPECT_EQ(w->tabAntenna[5].AtuBypass, 0);
}

TEST_F(Params, ServiceParametersActOnlyWhenArmed) {
  root.writeFile("/opt/ZelPyx/getpack.sh", "#!/bin/sh\necho ui >> \"$ZELPYX_ROOT/service.log\"\n");
  root.writeFile("/opt/sshshell", "#!/bin/sh\necho ssh >> \"$ZELPYX_ROOT/service.log\"\n");
  chmod(root.path("/opt/ZelPyx/getpack.sh").c_str(), 0755);
  chmod(root.path("/opt/sshshell").c_str(), 0755);
  queued();
  press(29, kParConfirm);
  press(30, kParConfirm);
  press(31, kParConfirm);
  EXPECT_TRUE(queued().empty());
  EXPECT_EQ(w->keyFlags & 0x08, 0);

  press(29, kParPlus);
  press(29, kParConfirm);
  EXPECT_EQ(queued(), (std::vector<int>{CMD_MR1}));
  press(30, kParMinus);
  press(30, kParConfirm);
  EXPECT_EQ(w->keyFlags & 0x08, 0x08);  // "Update UI in progress"
  press(31, kParPlus);
  press(31, kParConfirm);
  EXPECT_EQ(w->updateFlags, 0x0B);
  EXPECT_TRUE(waitFor([&] {
    std::string s = root.readFile("/service.log");
    return s.find("ui\n") != std::string::npos && s.find("ssh\n") != std::string::npos;
  }));

  w->tinyCmd = 255;
  press(28, kParLeft);
  EXPECT_EQ(w->tinyCmd.load(), 133);  // hardware off, sent by the next exchange
}
