// Frequency-change handling: band thresholds, antenna, bypasses and the
// tuner recall queued from the antenna table and the tune memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "amp/linear.h"
#include "screens/buttons.h"
#include "sim/physics.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_works.h"
#include "tuner/antenna.h"
#include "tuner/autotune.h"
#include "tuner/model_search.h"
#include "tuner/recall.h"
#include "tuner/tune_memory.h"
#include "tuner/tuner_config.h"

namespace {

std::vector<int> drainQueue(Works* w) {
  std::vector<int> out;
  for (int c; (c = TakeQueuedCmd(w)) >= 0;) out.push_back(c);
  return out;
}

ConfigRow cfgRow(uint32_t start, float pwin, float fwd, float refl, float amps) {
  ConfigRow r;
  r.fStart = start;
  r.fEnd = start + 1000;
  r.K0 = 2.5e-5f;
  r.K1 = 1.0e-5f;
  r.K2 = 1.111e-5f;
  r.PWIN = pwin;
  r.FWD = fwd;
  r.REFL = refl;
  r.Corrente = amps;
  return r;
}

class Thresholds : public testing::Test {
 protected:
  Thresholds() {
    w->configRows.reset(new ConfigRow[3]{cfgRow(1800000, 5, 100, 50, 10), cfgRow(3500000, 1, 1000, 0.5f, 20),
                                         cfgRow(7000000, 1, 1, 1, 1)});
    w->configCount = 3;
    w->SoglieRowIdx = -1;
  }
  TestWorks w;
};

TEST_F(Thresholds, RowChangeSendsTheConvertedThresholds) {
  w->freq = 2000000;
  testing::internal::CaptureStderr();
  SearchCambioSoglie_TS(w.get());
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Soglia TS (freq 2000000):\n"), std::string::npos);
  EXPECT_EQ(drainQueue(w.get()), std::vector<int>{CMD_TS});
  EXPECT_EQ(w->SoglieRowIdx, 0);
  EXPECT_EQ(w->SoglieTS[0], 670);   // sqrt(5 / 1.111e-5)
  EXPECT_EQ(w->SoglieTS[1], 2000);  // sqrt(100 / 2.5e-5)
  EXPECT_EQ(w->SoglieTS[2], 2236);  // sqrt(50 / 1e-5)
  EXPECT_EQ(w->SoglieTS[3], 2915);  // 10 A x 4096 / 14.05
  char text[64];
  ASSERT_GT(LinearCmdText(w.get(), CMD_TS, text), 0);
  EXPECT_STREQ(text, "TS0670200022362915;");

  // The same row again: nothing; the boundary takes the upper row.
  testing::internal::CaptureStderr();
  SearchCambioSoglie_TS(w.get());
  EXPECT_TRUE(drainQueue(w.get()).empty());
  w->freq = 3500000;
  SearchCambioSoglie_TS(w.get());
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(drainQueue(w.get()), std::vector<int>{CMD_TS});
  EXPECT_EQ(w->SoglieRowIdx, 1);
  EXPECT_EQ(w->SoglieTS[1], 4095);  // capped
  EXPECT_EQ(w->SoglieTS[3], 4095);

  // The last row only bounds the one before it; outside: thresholds kept.
  testing::internal::CaptureStderr();
  w->freq = 7100000;
  SearchCambioSoglie_TS(w.get());
  w->freq = 100;
  SearchCambioSoglie_TS(w.get());
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(drainQueue(w.get()).empty());
  EXPECT_EQ(w->SoglieRowIdx, 1);
}

TEST_F(Thresholds, EveryTuneEndSendsTheBandsThresholdsAtOnce) {
  TempRoot root;
  auto wire = [&] {
    char text[64];
    LinearCmdText(w.get(), CMD_TS, text);
    return std::string(text);
  };
  w->freq = 2000000;
  testing::internal::CaptureStderr();
  SearchCambioSoglie_TS(w.get());
  drainQueue(w.get());
  const std::string band = wire();
  ASSERT_EQ(band, "TS0670200022362915;");
  // A run opens the input-power threshold and keeps the other three.
  StartAutotune(w.get());
  drainQueue(w.get());
  EXPECT_EQ(wire(), "TS4095200022362915;");
  w->tuneSearch.tuneParam.SWR = 50.0f;  // an unsuccessful run: nothing stored
  EscAutoTune(w.get(), 0);
  // The band's set goes out with the end of the run, not at the next
  // frequency change; the next check on the same band sends nothing more.
  EXPECT_EQ(drainQueue(w.get()), (std::vector<int>{CMD_AT, CMD_TS}));
  EXPECT_EQ(wire(), band);
  SearchCambioSoglie_TS(w.get());
  EXPECT_TRUE(drainQueue(w.get()).empty());

  // Outside every row the set in force before the run comes back.
  w->freq = 9000000;
  SearchCambioSoglie_TS(w.get());
  EXPECT_TRUE(drainQueue(w.get()).empty());
  StartAutotune(w.get());
  drainQueue(w.get());
  EscAutoTune(w.get(), 0);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(drainQueue(w.get()), (std::vector<int>{CMD_AT, CMD_TS}));
  EXPECT_EQ(wire(), band);
}

TEST_F(Thresholds, NoTableOrNoFrequencyGivesTheDefaultsOnce) {
  w->configCount = 0;
  w->SoglieTS[2] = 7;
  w->freq = 14000000;
  SearchCambioSoglie_TS(w.get());
  EXPECT_EQ(drainQueue(w.get()), std::vector<int>{CMD_TS});
  EXPECT_EQ(w->SoglieTS[0], 4095);
  EXPECT_EQ(w->SoglieTS[2], 1500);
  EXPECT_EQ(w->SoglieTS[3], 3700);
  SearchCambioSoglie_TS(w.get());
  EXPECT_TRUE(drainQueue(w.get()).empty());
}

TEST_F(Thresholds, AfterTheDefaultsTheFirstRowStillGetsItsOwn) {
  // No frequency yet: the defaults go out once.
  w->freq = 0;
  SearchCambioSoglie_TS(w.get());
  EXPECT_EQ(drainQueue(w.get()), std::vector<int>{CMD_TS});
  EXPECT_EQ(w->SoglieTS[2], 1500);
  SearchCambioSoglie_TS(w.get());
  EXPECT_TRUE(drainQueue(w.get()).empty());
  // Then a frequency in row 0: its thresholds replace the defaults.
  w->freq = 1900000;
  testing::internal::CaptureStderr();
  SearchCambioSoglie_TS(w.get());
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(drainQueue(w.get()), std::vector<int>{CMD_TS});
  EXPECT_EQ(w->SoglieRowIdx, 0);
  EXPECT_EQ(w->SoglieTS[2], 2236);
}

TEST_F(Thresholds, BrokenFactorsNeverGiveUndefinedValues) {
  EXPECT_EQ(SogliaRaw(5, 0), 4095);
  EXPECT_EQ(SogliaRaw(5, -1), 4095);
  EXPECT_EQ(SogliaRaw(-5, 1e-5f), 0);
  EXPECT_EQ(SogliaRaw(1e30f, 1e-30f), 4095);
  EXPECT_EQ(SogliaRaw(0, 1e-5f), 0);
}

class Recall : public testing::Test {
 protected:
  Recall() {
    InitTabAntenna(w.get(), 0);
    w->AmpBypassFlag = 1;
    w->Attenuator = 0;
    w->freq = 14100000;
  }
  TestWorks w;
};

TEST_F(Recall, AntennaBypassAndAttenuatorFromTheRow) {
  AntennaRow& r = w->tabAntenna[5];
  r.Ant = 3;
  r.AtuBypass = 1;
  r.AmpEnable = 1;
  r.Att = 2;
  w->MenuIdx = 0;
  testing::internal::CaptureStderr();
  GestioneAntennaAutomatica(w.get());
  EXPECT_NE(testing::internal::GetCapturedStderr().find("TABLE CONFIG : BYPASS 1 (5)\n"), std::string::npos);
  EXPECT_EQ(w->AntennaRowIdx, 5);
  EXPECT_EQ(w->AntennaIdx, 2);
  EXPECT_EQ(w->antennaAuto.load(), 1);  // the main page then reads "Auto 3"
  EXPECT_EQ(w->Attenuator, 2);
  EXPECT_EQ(w->AttIdx, 2);
  EXPECT_EQ(drainQueue(w.get()), (std::vector<int>{CMD_SA, CMD_MT1_BYPASS, CMD_AB0, CMD_AT}));

  // Same antenna and attenuator: only what the row asks for.
  w->AmpBypassFlag = 0;
  testing::internal::CaptureStderr();
  GestioneAntennaAutomatica(w.get());
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(drainQueue(w.get()), std::vector<int>{CMD_MT1_BYPASS});

  // Amplifier off on this band.
  r.AmpEnable = 0;
  testing::internal::CaptureStderr();
  GestioneAntennaAutomatica(w.get());
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(drainQueue(w.get()), (std::vector<int>{CMD_MT1_BYPASS, CMD_AB1}));
}

TEST_F(Recall, AntennaZeroNeverChangesTheAntenna) {
  w->tabAntenna[5].Ant = 0;
  w->tabAntenna[5].AtuBypass = 0;
  w->AntennaIdx = 1;
  GestioneAntennaAutomatica(w.get());
  EXPECT_EQ(w->AntennaIdx, 1);
  std::vector<int> q = drainQueue(w.get());
  EXPECT_EQ(std::count(q.begin(), q.end(), CMD_SA), 0);
}

TEST_F(Recall, StoredTuningOfTheSegmentOrReset) {
  w->tabAntenna[5].AtuBypass = 0;
  w->tabAntenna[5].Ant = 1;
  // Nothing stored: reset.
  GestioneAntennaAutomatica(w.get());
  EXPECT_EQ(drainQueue(w.get()), std::vector<int>{CMD_MT1_RESET});
  // Stored on the neighbouring band and for another antenna: still reset.
  w->TabTune[0][AtuIdxSearch(14350000, nullptr, nullptr, nullptr, nullptr)].valid = 1;
  w->TabTune[1][AtuIdxSearch(14100000, nullptr, nullptr, nullptr, nullptr)].valid = 1;
  GestioneAntennaAutomatica(w.get());
  EXPECT_EQ(drainQueue(w.get()), std::vector<int>{CMD_MT1_RESET});
  // Stored in the segment: recall.
  w->TabTune[0][AtuIdxSearch(14300000, nullptr, nullptr, nullptr, nullptr)] = TuneRec{1, 2, 10, 20};
  GestioneAntennaAutomatica(w.get());
  EXPECT_EQ(drainQueue(w.get()), std::vector<int>{CMD_MT1_MEM});
  // During an autotune run the run's own result wins.
  w->TuneRunState = 1;
  GestioneLoadTuneVal(w.get());
  EXPECT_TRUE(drainQueue(w.get()).empty());
}

TEST_F(Recall, WithTheModelSearchAGoodFitSendsThePredictedMatch) {
  w->tabAntenna[5].AtuBypass = 0;
  w->tabAntenna[5].Ant = 1;
  // The dipole tuned exactly at four slots of 20 m; 14.15 MHz has nothing.
  const PhysLoad dipole{PHYS_LOAD_DIPOLE, {}};
  TunerModel m;
  m.build(TunerConfig());
  auto store = [&](long f, const MsSetting& s) {
    w->TabTune[0][AtuIdxSearch(f, nullptr, nullptr, nullptr, nullptr)] =
        TuneRec{1, uint8_t(s.mode), uint16_t(s.l), uint16_t(s.c)};
  };
  for (long f : {14000000L, 14100000L, 14200000L, 14350000L}) {
    ModelSearch ms;
    ms.begin(&m, double(f), 0, false);
    store(f, ms.opt(physLoadImpedance(dipole, double(f))));
  }
  const long f = 14150000;
  w->freq = f;
  const Cplx z = physLoadImpedance(dipole, double(f));
  auto recalled = [&](int search) {
    tunerConfig.search = search;
    GestioneAntennaAutomatica(w.get());
    std::vector<int> q = drainQueue(w.get());
    EXPECT_EQ(std::count(q.begin(), q.end(), CMD_MT1_MEM), 1);
    EXPECT_EQ(std::count(q.begin(), q.end(), CMD_MT1_RESET), 0);
    w->Tuneval = kTuneCL;
    LoadTuneFromMEM(w.get());
    return uint32_t(w->Tuneval);
  };
  const TuneRec nearest = w->TabTune[0][AtuIdxSearch(14100000, nullptr, nullptr, nullptr, nullptr)];
  const uint32_t nearestWord =
      TuneWordWithI(TuneWordWithC(nearest.mode == 2 ? kTuneLC : kTuneCL, nearest.C), nearest.L);
  // The default mode keeps the nearest stored tuning of the segment.
  EXPECT_EQ(recalled(TUNE_SEARCH_RESCUE), nearestWord);
  // The model search: the match of the predicted load, a match of the real one too.
  uint32_t word = recalled(TUNE_SEARCH_MODEL);
  EXPECT_NE(word, nearestWord);
  EXPECT_LT(physSwrForWord(word, double(f), z), 1.5);
  // A poor fit (the middle slot holds another antenna's tuning): the plain recall or reset.
  ModelSearch ms;
  ms.begin(&m, 14.1e6, 0, false);
  const MsSetting other = ms.opt(physLoadImpedance(PhysLoad{PHYS_LOAD_ENDFED, {}}, 14.1e6));
  store(14100000, other);
  EXPECT_EQ(recalled(TUNE_SEARCH_MODEL),
            TuneWordWithI(TuneWordWithC(other.mode == 2 ? kTuneLC : kTuneCL, other.c), other.l));
  // A stored tuning of the slot itself is recalled as it is.
  store(f, MsSetting{2, 7, 9});
  EXPECT_EQ(recalled(TUNE_SEARCH_MODEL), TuneWordWithI(TuneWordWithC(kTuneLC, 7), 9));
  // Nothing stored in the segment and a fit too far away: the reset.
  for (auto& t : w->TabTune) memset(t, 0, sizeof t);
  store(13000000, MsSetting{1, 10, 10});
  store(13100000, MsSetting{1, 11, 11});
  tunerConfig.search = TUNE_SEARCH_MODEL;
  GestioneAntennaAutomatica(w.get());
  EXPECT_EQ(drainQueue(w.get()), std::vector<int>{CMD_MT1_RESET});
  // The highest frequency a report carries: no prediction, no overflow.
  w->freq = 2147483647L;
  GestioneLoadTuneVal(w.get());
  EXPECT_EQ(drainQueue(w.get()), std::vector<int>{CMD_MT1_RESET});
  tunerConfig = TunerConfig();
}

TEST_F(Recall, OutsideEveryRowNothingChanges) {
  w->freq = 2500000;
  w->AntennaIdx = 2;
  GestioneAntennaAutomatica(w.get());
  EXPECT_EQ(w->AntennaRowIdx, 100);
  EXPECT_EQ(w->AntennaIdx, 2);
  EXPECT_TRUE(drainQueue(w.get()).empty());
}

}  // namespace
