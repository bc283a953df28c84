// config.txt, ventola.txt, filter.txt and LOGtemp.txt in a temporary root.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "amp/amp_status.h"
#include "amp/linear.h"
#include "amp/temperature.h"
#include "app/spine.h"
#include "amp/band_filter.h"
#include "amp/temperature.h"
#include "core/tables.h"
#include "core/works.h"
#include "platform/log.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_works.h"

namespace {

struct Tables : ::testing::Test {
  TempRoot root;
  TestWorks tw;
  Works* w = nullptr;
  void SetUp() override {
    w = tw.get();
    InitGlobalVar(w);
  }
  std::vector<int> drain() {
    std::vector<int> out;
    for (int c; (c = TakeQueuedCmd(w)) >= 0;) out.push_back(c);
    return out;
  }
  std::string cmdText(int cmd) {
    char b[64];
    int n = LinearCmdText(w, cmd, b);
    return n < 0 ? "" : std::string(b, static_cast<size_t>(n));
  }
};

TEST_F(Tables, ConfigRowFields) {
  root.writeFile("/opt/set/config.txt",
                 ";start end fwdP fwdR reflP reflR inP inR K3 PWIN Corrente REFL FWD pairs step\r\n"
                 "14000000 14350000 100 2000 10 1000 1 300 -0.007 5 20 50 1000 1 2 3 4 5 6 7 8 9 10 3\r\n"
                 "\r\n"
                 "0xD59F80\t0x1406F40\t100 2000 10 1000 1 300 -0.007 5 20 50 1000 1 2 3 4 5 6 7 8 9 10 3\n"
                 "   \n"
                 "021000000 021450000 0 0 0 0 0 0 0 0 0 0 0");
  ReadConfigFile(w);
  ASSERT_EQ(w->configCount, 3);
  const ConfigRow& r = w->configRows[0];
  EXPECT_EQ(r.fStart, 14000000u);
  EXPECT_EQ(r.fEnd, 14350000u);
  EXPECT_FLOAT_EQ(r.K0, 2.5e-5f);
  EXPECT_FLOAT_EQ(r.K1, 1.0e-5f);
  EXPECT_NEAR(r.K2, 1.111e-5, 1e-8);
  EXPECT_FLOAT_EQ(r.K3, -0.007f);
  EXPECT_FLOAT_EQ(r.PWIN, 5);
  EXPECT_FLOAT_EQ(r.Corrente, 20);
  EXPECT_FLOAT_EQ(r.REFL, 50);
  EXPECT_FLOAT_EQ(r.FWD, 1000);
  for (int k = 0; k < 5; k++) {
    EXPECT_EQ(r.tuneParA[k], 2 * k + 1);
    EXPECT_EQ(r.tuneParB[k], 2 * k + 2);
  }
  EXPECT_EQ(r.step, 3);
  // hexadecimal and octal starts (C-style base)
  EXPECT_EQ(w->configRows[1].fStart, 14000000u);
  EXPECT_EQ(w->configRows[1].fEnd, 21000000u);
  EXPECT_EQ(w->configRows[2].fStart, 021000000u);
  // a zero calibration reading gives a zero factor, never an infinite one
  EXPECT_FLOAT_EQ(w->configRows[2].K0, 0.0f);
  EXPECT_EQ(w->configRows[2].step, 0);
}

TEST_F(Tables, MissingTablesLeaveEmptyLists) {
  logCaptureStart();
  w->configCount = 5;
  ReadConfigFile(w);
  ReadVentolaFile(w);
  EXPECT_EQ(w->configCount, 0);
  EXPECT_EQ(w->fanCount, 0);
  EXPECT_TRUE(logContains("can't open /opt/set/config.txt"));
  EXPECT_TRUE(logContains("can't open /opt/set/ventola.txt"));
  logCaptureStop();
  w->filterTab[3].enabled = 1;
  LoadTabFiltri(w);
  for (const auto& f : w->filterTab) EXPECT_EQ(f.enabled, 0);
  // and the factors fall back to the built-in ones
  EXPECT_FLOAT_EQ(SearchK(w, 0), 5.156579e-6f);
}

TEST_F(Tables, FanCurve) {
  root.writeFile("/opt/set/ventola.txt", "; t step\n30 0\n40\t50.9\r\n\n50 100\n");
  ReadVentolaFile(w);
  ASSERT_EQ(w->fanCount, 3);
  EXPECT_FLOAT_EQ(w->fanRows[1].temp, 40);
  EXPECT_EQ(w->fanRows[1].step, 50);  // truncated
  EXPECT_EQ(w->fanRows[2].step, 100);
  EXPECT_FLOAT_EQ(SearchTemperatureFromVentola(w, 100), 50);
  EXPECT_FLOAT_EQ(SearchTemperatureFromVentola(w, 75), 0);
}

const char* kFilterHeader =
    ";Fstart(hz)\tFstop         enabled   : 1= abilitata, l'ordine delle righe corrisponde al filtro di "
    "attivazione   j23 ultimo by pass (0 ,54000000)  verso esterno\n";

TEST_F(Tables, FilterSelectionAndNinthLine) {
  std::string f = ";filters\n";
  f += "1800000 2000000 1\n";
  for (int i = 1; i < 8; i++) f += std::to_string(3000000 * i) + " " + std::to_string(3000000 * i + 100000) + " 0\n";
  f += "1800000 2000000 1\n";  // ninth: ignored
  root.writeFile("/opt/set/filter.txt", f);
  LoadTabFiltri(w);
  EXPECT_EQ(w->filterTab[0].start, 1800000u);
  EXPECT_EQ(w->filterTab[7].start, 21000000u);
  w->freq = 1900000;
  SetFilterFromfreq(w);
  EXPECT_EQ(w->filterSel, 0x01);
  EXPECT_EQ(drain(), (std::vector<int>{CMD_SF_FILTER}));
  EXPECT_EQ(cmdText(CMD_SF_FILTER), "SF3000001;");
  SetFilterFromfreq(w);  // unchanged: nothing queued
  EXPECT_TRUE(drain().empty());
  w->freq = 2000000;  // stop edge included
  SetFilterFromfreq(w);
  EXPECT_TRUE(drain().empty());
  w->freq = 6050000;  // row 2 disabled: no match, selection kept
  SetFilterFromfreq(w);
  EXPECT_EQ(w->filterSel, 0x01);
  EXPECT_TRUE(drain().empty());
}

TEST_F(Tables, EnablingAFilterRewritesTheFileByteForByte) {
  root.writeFile("/opt/set/filter.txt",
                 "1800000 2000000 1\n0x350000 4000000 0\r\n7000000 7300000 0\n14000000 14350000 1\n");
  LoadTabFiltri(w);
  w->freq = 7100000;
  w->filterEditIdx = 2;
  EnDisFilter(w, 1);
  EXPECT_EQ(w->filterSel, 0x04);
  EXPECT_EQ(drain(), (std::vector<int>{CMD_SF_FILTER}));
  EXPECT_EQ(cmdText(CMD_SF_FILTER), "SF3000004;");
  std::string expect = kFilterHeader;
  expect += "1800000\t\t2000000\t\t1 \n";
  expect += "3473408\t\t4000000\t\t0 \n";
  expect += "7000000\t\t7300000\t\t1 \n";
  expect += "14000000\t\t14350000\t\t1 \n";
  for (int i = 0; i < 4; i++) expect += "0\t\t0\t\t0 \n";
  EXPECT_EQ(root.readFile("/opt/set/filter.txt"), expect);
  // inside the remount window
  std::string log = root.stubLog();
  size_t rw = log.find("mount -o remount defaults,rw /opt/set");
  size_t ro = log.find("mount -v -n -o remount -r /opt/set");
  ASSERT_NE(rw, std::string::npos);
  ASSERT_NE(ro, std::string::npos);
  EXPECT_LT(rw, ro);
  // the written file reads back the same
  TestWorks again;
  LoadTabFiltri(again.get());
  for (int i = 0; i < 8; i++) {
    EXPECT_EQ(again->filterTab[i].start, w->filterTab[i].start);
    EXPECT_EQ(again->filterTab[i].enabled, w->filterTab[i].enabled);
  }
  w->filterEditIdx = 9;  // no such row: nothing happens
  EnDisFilter(w, 0);
  EXPECT_EQ(root.readFile("/opt/set/filter.txt"), expect);
}

TEST_F(Tables, FilterFileUntouchedWhenTheRemountFails) {
  root.writeFile("/opt/set/filter.txt", "1800000 2000000 1\n");
  LoadTabFiltri(w);
  root.stubExit("mount", 1);
  logCaptureStart();
  w->filterEditIdx = 0;
  EnDisFilter(w, 0);
  EXPECT_TRUE(logContains("can't mount rw /opt/set/ error"));
  logCaptureStop();
  EXPECT_EQ(root.readFile("/opt/set/filter.txt"), "1800000 2000000 1\n");
  EXPECT_EQ(w->filterTab[0].enabled, 0);  // the value in memory stays
}

TEST_F(Tables, TemperatureLogLines) {
  w->tempBoard = 25.0f;
  w->tempHeatsink = 31.25f;
  w->FWD = 100.0f;
  w->SWR = 1.5f;
  w->paCurrentRaw = 2048;
  w->ampStatus[1] = 1;  // transmitting
  PublishAmpStatus(w);
  LogTempFunction(w, 0);
  w->ampStatus[1] = 0;
  PublishAmpStatus(w);
  LogTempFunction(w, 1);
  std::string log = root.readFile("/opt/set/LOGtemp.txt");
  std::regex re(
      "^;TX,Temp1,Temp2,FDD,SWR\n"
      "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d , 1,25\\.0,31\\.2,100\\.0W,1\\.50,00\\.0V,07\\.0A\n"
      "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d , 0,25\\.0,31\\.2,100\\.0W,1\\.50,00\\.0V,07\\.0A -> protezione attiva\n$");
  EXPECT_TRUE(std::regex_match(log, re)) << log;
  LogTempFunction(w, -1);
  EXPECT_FALSE(root.exists("/opt/set/LOGtemp.txt"));
}

TEST_F(Tables, TemperatureAlarmWritesAProtectionLine) {
  w->EnableLOGTemp = 1;
  w->errorsMuted = 0;
  GestTemperatureFunction(w, 2, 0, 23, 61.0f, 60.0f);
  std::string log = root.readFile("/opt/set/LOGtemp.txt");
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.substr(log.size() - 22), " -> protezione attiva\n");
}

}  // namespace
