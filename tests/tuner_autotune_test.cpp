// The autotune search driven in-process by status values from the network
// model, the TUNE key, the run's end, and the carrier handshake.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "amp/amp_status.h"
#include "amp/errors.h"
#include "amp/linear.h"
#include "sim/physics.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_works.h"
#include "tuner/autotune.h"
#include "tuner/tune_memory.h"
#include "tuner/tuner_config.h"

namespace {

std::vector<int> drainQueue(Works* w) {
  std::vector<int> out;
  for (int c; (c = TakeQueuedCmd(w)) >= 0;) out.push_back(c);
  return out;
}

bool contains(const std::vector<int>& v, int x) { return std::find(v.begin(), v.end(), x) != v.end(); }

class Autotune : public testing::Test {
 protected:
  Autotune() {
    w->tuneFlags = 1;  // automatic tune allowed
    w->NumBanco = 3;
    w->AntennaIdx = 1;
    w->RadioTx = 1;
    w->ampStatus[1] = 0x01;  // the amplifier sees the carrier
  }

  // Starts a run and answers status replies the way the Linear thread
  // paces them: the queued commands go out first, then each reply carries
  // the SWR of the word sent last and runs one step. Returns the replies.
  int run(const std::function<float(uint32_t)>& swrOf, int maxReplies = 5000) {
    EXPECT_EQ(StartAutotune(w.get()), 1);
    drainQueue(w.get());
    w->cmdQ.urgent = 0;
    int replies = 0;
    words.clear();
    while (w->TuneRunState.load() != 0 && replies < maxReplies) {
      w->SWR = swrOf(w->Tuneval);
      w->FWD = w->SWR > 0 ? 100.0f : 0.0f;
      TuneTask(w.get());
      if (w->TuneRunState.load() == 2) w->TuneRunState = 1;  // "CP" went out
      words.push_back(w->Tuneval);
      ++replies;
    }
    return replies;
  }

  std::function<float(uint32_t)> model(double f, Cplx z) {
    w->freq = long(f);
    return [f, z](uint32_t word) { return float(physSwrForWord(word, f, z)); };
  }

  TempRoot root;
  TestWorks w;
  std::vector<uint32_t> words;
};

TEST_F(Autotune, MatchesRealLoadsAndStoresTheResult) {
  struct Case {
    PhysLoad load;
    double f;
  };
  PhysLoad dipole{PHYS_LOAD_DIPOLE, {}}, endfed{PHYS_LOAD_ENDFED, {}}, dummy{PHYS_LOAD_DUMMY, {}};
  PhysLoad lowR{PHYS_LOAD_FIXED, {8.0, 5.0}};
  const Case cases[] = {{dipole, 5.36e6}, {dipole, 28.5e6}, {endfed, 3.6e6},
                        {endfed, 50.2e6}, {lowR, 7.05e6},   {dummy, 14.2e6}};
  for (const Case& c : cases) {
    Cplx z = physLoadImpedance(c.load, c.f);
    PhysBest best = physExhaustiveBest(c.f, z);
    for (auto& t : w->TabTune) memset(t, 0, sizeof t);
    int replies = run(model(c.f, z));
    ASSERT_EQ(w->TuneRunState.load(), 0) << c.f;
    // The word left for the final "MT1" is the setting found.
    double got = physSwrForWord(w->Tuneval, c.f, z);
    EXPECT_LT(got, std::max(1.5, best.swr + 0.3)) << "f " << c.f << " z " << z << " best " << best.swr;
    EXPECT_LT(replies, 600);
    // Stored for antenna 1 at the frequency's slot, and written to bank 3's file.
    int slot = AtuIdxSearch(long(c.f), nullptr, nullptr, nullptr, nullptr);
    const TuneRec& r = w->TabTune[1][slot];
    EXPECT_EQ(r.valid, 1);
    EXPECT_EQ(r.C, DecodeCapacitaFromTuneval(w->Tuneval));
    EXPECT_EQ(r.L, DecodeInduttanzaFromTuneval(w->Tuneval));
    EXPECT_EQ(r.mode, DecodeModoFromTuneval(w->Tuneval));
    char line[80];
    snprintf(line, sizeof line, "%d %ld 1 %d %d %d\n", slot, AtuFreqfromIdx(slot), r.mode, r.L, r.C);
    EXPECT_NE(root.readFile("/opt/set/atu_ant2_b3.txt").find(line), std::string::npos) << line;
  }
}

TEST_F(Autotune, AnUnmatchableLoadEndsWithTheMaxSwrErrorAndStoresNothing) {
  Cplx z = physLoadImpedance(PhysLoad{PHYS_LOAD_DIPOLE, {}}, 1.85e6);
  ASSERT_GT(physExhaustiveBest(1.85e6, z).swr, 6.0);
  run(model(1.85e6, z));
  EXPECT_EQ(w->TuneRunState.load(), 0);
  EXPECT_EQ(ExistError(w.get(), 18), 1);
  EXPECT_FALSE(root.exists("/opt/set/atu_ant2_b3.txt"));
}

TEST_F(Autotune, TheDefaultModesWordsOnTheWireArePinned) {
  // Every word the default search sends, over SWR surfaces whose values
  // are exact in binary (the same on every processor), folded into one
  // FNV-1a digest per surface: a change of any word, of the count or of
  // the order shows here. Recorded from the table search before the model-mode changes.
  struct Surface {
    int c0, l0;
    float lcPenalty, target;
    uint64_t digest;
    int replies;
  };
  const Surface surfaces[] = {
      {37, 93, 0.5f, 0.0f, 0x51aae0b69e3864a5ULL, 77},
      {200, 12, -0.75f, 0.0f, 0x12f9cb8e3852aef7ULL, 99},
      {5, 400, 0.25f, 0.0f, 0x9be269d3cab7645dULL, 147},
      {37, 93, 0.5f, 4.0f, 0x7765172e6bd4f87bULL, 36},
  };
  for (int search : {TUNE_SEARCH_TABLE, TUNE_SEARCH_RESCUE}) {
    tunerConfig.search = search;
    for (const Surface& sf : surfaces) {
      w->SWRescAutoTune = sf.target;
      w->freq = 14100000;
      w->Tuneval = kTuneCL;
      for (auto& t : w->TabTune) memset(t, 0, sizeof t);
      int replies = run([&](uint32_t word) {
        int c = DecodeCapacitaFromTuneval(word), l = DecodeInduttanzaFromTuneval(word);
        float v = 1.0f + 0.25f * float(std::abs(c - sf.c0)) + 0.125f * float(std::abs(l - sf.l0));
        if (DecodeModoFromTuneval(word) == 2) v += sf.lcPenalty;
        return std::max(1.0f, std::min(v, 100.0f));
      });
      uint64_t h = 1469598103934665603ULL;
      for (uint32_t word : words)
        for (int b = 0; b < 4; ++b) h = (h ^ ((word >> (8 * b)) & 0xFF)) * 1099511628211ULL;
      EXPECT_EQ(replies, sf.replies) << "search " << search << " c0 " << sf.c0;
      EXPECT_EQ(h, sf.digest) << "search " << search << " c0 " << sf.c0;
    }
  }
  tunerConfig = TunerConfig();
}

TEST_F(Autotune, TheSearchWalksTheStatesInOrder) {
  // Drive a load whose best is in LC with a little of both; record states.
  Cplx z(300.0, -200.0);
  auto swr = model(14.2e6, z);
  ASSERT_EQ(StartAutotune(w.get()), 1);
  drainQueue(w.get());
  w->cmdQ.urgent = 0;
  std::vector<int> states;
  for (int i = 0; i < 3000 && w->TuneRunState.load() != 0; ++i) {
    w->SWR = swr(w->Tuneval);
    states.push_back(w->TuneState);
    TuneTask(w.get());
  }
  for (size_t i = 1; i < states.size(); ++i) ASSERT_LE(states[i - 1], states[i]);
  EXPECT_EQ(states.front(), 0);
  EXPECT_EQ(states.back(), 12);
}

TEST_F(Autotune, TargetSwrEndsEarlyButNotWithoutCarrier) {
  w->SWRescAutoTune = 1.5f;
  Cplx z = physLoadImpedance(PhysLoad{PHYS_LOAD_DIPOLE, {}}, 7.1e6);
  auto swr = model(7.1e6, z);
  run(swr);
  EXPECT_LT(swr(w->Tuneval), 1.5f);
  EXPECT_EQ(w->TuneRunState.load(), 0);
  EXPECT_LT(w->TuneState, 12);
  // 0.01 and below is no carrier: the run goes on to its last state.
  w->TuneState = 0;
  int replies = run([](uint32_t) { return 0.01f; });
  EXPECT_EQ(w->TuneRunState.load(), 0);
  EXPECT_GT(replies, 20);
}

TEST_F(Autotune, ARunWithoutCarrierStoresNothing) {
  int slot = AtuIdxSearch(14100000, nullptr, nullptr, nullptr, nullptr);
  w->TabTune[1][slot] = TuneRec{1, 2, 77, 88};
  w->freq = 14100000;
  run([](uint32_t) { return 0.0f; });
  EXPECT_EQ(w->TuneRunState.load(), 0);
  EXPECT_EQ(w->TabTune[1][slot].L, 77);
  EXPECT_EQ(w->TabTune[1][slot].C, 88);
  EXPECT_FALSE(root.exists("/opt/set/atu_ant2_b3.txt"));
  // A carrier lost half-way: the restored setting is a real measurement.
  int n = 0;
  run([&](uint32_t word) {
    ++n;
    return n < 40 ? float(2.0 + DecodeInduttanzaFromTuneval(word) % 7) : 0.0f;
  });
  EXPECT_GE(w->TuneBestSWR, 2.0f);
}

TEST_F(Autotune, BetterToleratesOneTenthAndEqualKeepsTheOlder) {
  auto stepAt = [&](float prev, float now) {
    Clr_vTuneParam(w.get());
    w->TuneRunState = 1;
    w->TuneState = 3;
    w->ValI = 8;
    SetI(w.get(), 8);
    w->SWR = prev;
    TuneStep(w.get());
    w->SWR = now;
    TuneTask(w.get());
  };
  stepAt(2.0f, 2.05f);
  EXPECT_EQ(w->TuneState, 3);
  EXPECT_EQ(w->ValI, 12);
  stepAt(2.0f, 2.2f);
  EXPECT_EQ(w->TuneState, 4);
  EXPECT_EQ(w->ValI, 7);
  EXPECT_EQ(DecodeInduttanzaFromTuneval(w->Tuneval), 7);

  Clr_vTuneParam(w.get());
  w->tuneSearch.tuneParam = TuneParam{1.7f, 10, 1, 1, 111};
  CtrlNuovoTune(w.get());
  w->tuneSearch.tuneParam = TuneParam{1.7f, 10, 2, 2, 222};
  CtrlNuovoTune(w.get());
  EXPECT_EQ(w->tuneSearch.miglioretuneParam.Tuneval, 111u);
  EXPECT_EQ(w->tuneSearch.vTuneParam[0].Tuneval, 222u);
  EXPECT_EQ(w->tuneSearch.vTuneParam[1].Tuneval, 111u);
  EXPECT_FLOAT_EQ(w->tuneSearch.vTuneParam[2].SWR, 999.0f);

  // A run ended meanwhile takes no further step.
  w->TuneRunState = 0;
  w->TuneState = 3;
  int before = w->ValI;
  TuneTask(w.get());
  EXPECT_EQ(w->ValI, before);
  EXPECT_EQ(w->TuneState, 3);
}

TEST_F(Autotune, LimitsKeepCAndLInsideTheBanks) {
  // Every step looks better: the scans run to their ends.
  int maxC = 0, maxL = 0;
  run([&](uint32_t word) {
    int c = DecodeCapacitaFromTuneval(word), l = DecodeInduttanzaFromTuneval(word);
    maxC = std::max(maxC, c);
    maxL = std::max(maxL, l);
    return float(20.0 - c / 100.0 - l / 100.0);
  });
  EXPECT_LE(maxC, 510);
  EXPECT_LE(maxL, 510);
  EXPECT_GE(maxL, 500);
  EXPECT_GE(maxC, 500);
  for (uint32_t word : words) EXPECT_EQ(word & 0xFF000001u, 0u);
}

// Where the search stands each time TuneState changes, and how many
// measurements each state took.
struct StateEntry {
  int state, mode, c, l;
};

class AutotuneTrace : public Autotune {
 protected:
  std::vector<StateEntry> entries;
  int measured[13] = {};

  void trace(const std::function<float(uint32_t)>& swrOf) {
    ASSERT_EQ(StartAutotune(w.get()), 1);
    drainQueue(w.get());
    w->cmdQ.urgent = 0;
    entries.clear();
    for (int i = 0; i < 5000 && w->TuneRunState.load() != 0; ++i) {
      w->SWR = swrOf(w->Tuneval);
      int st = w->TuneState, before = w->tuneSearch.cnttune;
      TuneTask(w.get());
      if (w->tuneSearch.cnttune == before + 1 || (w->TuneRunState.load() == 0 && st >= 3)) ++measured[st];
      if (w->TuneState != st)
        entries.push_back({w->TuneState, DecodeModoFromTuneval(w->Tuneval), DecodeCapacitaFromTuneval(w->Tuneval),
                           DecodeInduttanzaFromTuneval(w->Tuneval)});
    }
  }

  const StateEntry& at(int state) {
    for (const StateEntry& e : entries)
      if (e.state == state) return e;
    static StateEntry none{-1, -1, -1, -1};
    ADD_FAILURE() << "state " << state << " never entered";
    return none;
  }
};

TEST_F(AutotuneTrace, EveryStepLooksBetterTheScansRunToTheirLimits) {
  // A flat SWR: every step is "better" and the first setting stays the best.
  trace([](uint32_t) { return 3.0f; });
  EXPECT_EQ(w->TuneRunState.load(), 0);
  auto is = [&](int state, int mode, int c, int l) {
    const StateEntry& e = at(state);
    EXPECT_EQ(e.mode, mode) << "state " << state;
    EXPECT_EQ(e.c, c) << "state " << state;
    EXPECT_EQ(e.l, l) << "state " << state;
  };
  is(3, 1, 0, 0);
  is(4, 1, 0, 507);    // L 0, 4 .. 508, then one back
  is(5, 1, 8, 499);    // eight fine steps down, C to 8
  is(6, 1, 503, 499);  // C 8 .. 504, then one back
  is(7, 2, 0, 499);    // sixteen fine steps, then LC from C = 0
  is(8, 2, 8, 499);
  is(9, 2, 503, 499);
  is(10, 1, 0, 2);     // back to the best (the very first), L + 2
  is(11, 1, 0, 509);   // L 2 .. 510, then one back
  is(12, 1, 0, 0);     // six fine steps, then the best again
  const int expect[13] = {0, 0, 0, 128, 9, 63, 17, 1, 63, 17, 255, 7, 1};
  for (int st = 3; st <= 12; ++st) EXPECT_EQ(measured[st], expect[st]) << "state " << st;
  // Stored: the best setting, CL with C = L = 0.
  int slot = AtuIdxSearch(w->freq.load(), nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(w->TabTune[1][slot].valid, 1);
  EXPECT_EQ(w->TabTune[1][slot].mode, 1);
  EXPECT_EQ(w->Tuneval, kTuneCL);
}

TEST_F(AutotuneTrace, FinePhasesStopAtZeroAndAWorseLastStepAddsNoL) {
  // CL: L = 4 is worse by more than 0.1, everything at or below 3 is flat,
  // so the fine phase walks L down to 0 and stops there. LC: every step
  // after the first C is worse, so state 9 ends on a worse step.
  trace([](uint32_t word) {
    int mode = DecodeModoFromTuneval(word), c = DecodeCapacitaFromTuneval(word), l = DecodeInduttanzaFromTuneval(word);
    if (mode == 1) {
      if (c == 0) return l >= 4 ? 6.0f : 5.0f;
      return c <= 8 ? 4.0f : 4.5f;  // C 8 best, C 16 worse
    }
    return c == 8 ? 4.2f : 4.9f;
  });
  const StateEntry& s4 = at(4);
  EXPECT_EQ(s4.l, 3);
  const StateEntry& s5 = at(5);
  EXPECT_EQ(s5.l, 0);
  EXPECT_EQ(s5.c, 8);
  EXPECT_EQ(measured[4], 4);  // L 3, 2, 1, 0
  // C fine phase in CL: from 15 down while flat (C <= 8 is 4.0, above 4.5).
  const StateEntry& s7 = at(7);
  EXPECT_EQ(s7.mode, 2);
  EXPECT_EQ(s7.c, 0);
  // State 9's last step was worse: the best (CL, C 8, L 0) with no L + 2.
  const StateEntry& s10 = at(10);
  EXPECT_EQ(s10.mode, 1);
  EXPECT_EQ(s10.l, 0);
  EXPECT_EQ(s10.c, 8);
  EXPECT_FLOAT_EQ(w->tuneSearch.miglioretuneParam.SWR, 4.0f);
}

TEST_F(AutotuneTrace, TheStepLimitEndsTheRunAfterOneMeasurementMore) {
  w->AutoTuneMaxCicli = 4;  // 100 measurements
  int replies = run([](uint32_t) { return 3.0f; });
  // Replies: states 0, 1 and 2, then 101 measurements, then the call that
  // sees the count above the limit.
  EXPECT_EQ(replies, 3 + 101 + 1);
  EXPECT_EQ(ExistError(w.get(), 12), 1);
  EXPECT_EQ(w->TuneRunState.load(), 0);
}

TEST_F(Autotune, StepLimitRestoresTheBestAndStoresNothing) {
  w->AutoTuneMaxCicli = 4;  // 100 measurements
  w->SWRescAutoTune = 0;
  int calls = 0;
  uint32_t bestWord = 0;
  run([&](uint32_t word) {
    ++calls;
    if (calls == 30) bestWord = word;
    return calls == 30 ? 1.9f : 2.5f + (calls % 3) * 0.01f;  // never better than one at 1.9
  });
  EXPECT_EQ(w->TuneRunState.load(), 0);
  EXPECT_EQ(ExistError(w.get(), 12), 1);
  EXPECT_EQ(w->Tuneval, bestWord);
  EXPECT_FLOAT_EQ(w->TuneBestSWR, 1.9f);
  EXPECT_FALSE(root.exists("/opt/set/atu_ant2_b3.txt"));
  std::vector<int> q = drainQueue(w.get());
  EXPECT_TRUE(contains(q, CMD_MP1));
  EXPECT_TRUE(contains(q, CMD_AT11));

  // With a target set the error is 13.
  w->SWRescAutoTune = 1.1f;
  calls = 0;
  run([&](uint32_t) { return 3.0f; });
  EXPECT_EQ(ExistError(w.get(), 13), 1);
}

TEST_F(Autotune, EndingAtSixIsStoredAboveIsAnError) {
  w->freq = 3600000;
  w->Tuneval = TuneWordWithC(kTuneCL, 9);
  w->tuneSearch.tuneParam = TuneParam{6.0f, 100, 0, 9, w->Tuneval};
  EscAutoTune(w.get(), 1);
  int slot = AtuIdxSearch(3600000, nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(w->TabTune[1][slot].valid, 1);
  EXPECT_EQ(ExistError(w.get(), 18), 0);

  w->freq = 3700000;
  w->tuneSearch.tuneParam.SWR = 6.01f;
  testing::internal::CaptureStderr();
  EscAutoTune(w.get(), 1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("------- ERRORE MAX TUNE (6.010000)\n"), std::string::npos);
  EXPECT_EQ(w->TabTune[1][AtuIdxSearch(3700000, nullptr, nullptr, nullptr, nullptr)].valid, 0);
  EXPECT_EQ(ExistError(w.get(), 18), 1);
  // The end of a run: normal attenuator and the band's thresholds (here
  // the defaults: no band table) at once, radio flag.
  EXPECT_EQ(drainQueue(w.get()), (std::vector<int>{CMD_AT, CMD_TS, CMD_AT, CMD_TS}));
  char ts[64];
  LinearCmdText(w.get(), CMD_TS, ts);
  EXPECT_STREQ(ts, "TS4095409515003700;");
  EXPECT_EQ(w->tuneFlags.load() & 0x04, 0x04);
  EXPECT_EQ(w->tuneSearch.cnttune, 0);
}

TEST_F(Autotune, StartQueuesThePreparationWithPriority) {
  w->ampStatus[0] = 1;
  PublishAmpStatus(w.get());
  w->anState = 1;
  w->SoglieTS[0] = 100;
  testing::internal::CaptureStderr();
  EXPECT_EQ(StartAutotune(w.get()), 1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("--------- START AUTO TUNE (1) 0\n"), std::string::npos);
  EXPECT_EQ(drainQueue(w.get()), (std::vector<int>{CMD_MP1, CMD_AT_TUNE, CMD_TS, CMD_CP, CMD_MP0, CMD_AN}));
  EXPECT_EQ(w->SoglieTS[0], 4095);
  EXPECT_EQ(w->anState, 0);
  EXPECT_EQ(w->cmdQ.urgent.load(), 1);
  EXPECT_EQ(w->TuneRunState.load(), 1);
  // Nothing happens while the urgent commands drain.
  TuneTask(w.get());
  EXPECT_EQ(w->TuneState, 0);
  w->cmdQ.urgent = 0;
  TuneTask(w.get());
  EXPECT_EQ(w->TuneState, 1);
  // Without the radio transmitting the run waits in state 2.
  w->RadioTx = 0;
  w->ampStatus[1] = 0;
  TuneTask(w.get());
  for (int i = 0; i < 5; ++i) TuneTask(w.get());
  EXPECT_EQ(w->TuneState, 2);
  EXPECT_EQ(w->Tuneval, kTuneCL);
  // With the companion radio only its own report counts ...
  w->ModeWorkIdx = 1;
  w->ampStatus[1] = 0x01;
  TuneTask(w.get());
  EXPECT_EQ(w->TuneState, 2);
  // ... any other interface goes on the amplifier's transmit bit.
  w->ModeWorkIdx = 2;
  TuneTask(w.get());
  EXPECT_EQ(w->TuneState, 3);
}

TEST_F(Autotune, ProtectionBitCountsAsSwr100AndAsksForCp) {
  StartAutotune(w.get());
  drainQueue(w.get());
  w->cmdQ.urgent = 0;
  w->TuneState = 3;
  w->ampStatus[1] = 0x02;
  w->SWR = 1.2f;
  TuneTask(w.get());
  EXPECT_FLOAT_EQ(w->tuneSearch.vTuneParam[0].SWR, 100.0f);
  EXPECT_EQ(w->TuneRunState.load(), 2);
}

TEST_F(Autotune, TuneKey) {
  // A second press aborts the run without storing.
  w->freq = 7100000;
  testing::internal::CaptureStderr();
  GoTune(w.get());
  EXPECT_EQ(w->TuneRunState.load(), 1);
  drainQueue(w.get());
  w->cmdQ.urgent = 0;
  Cplx z = physLoadImpedance(PhysLoad{PHYS_LOAD_DIPOLE, {}}, 7.1e6);
  for (int i = 0; i < 40; ++i) {
    w->SWR = float(physSwrForWord(w->Tuneval, 7.1e6, z));
    TuneTask(w.get());
  }
  ASSERT_EQ(w->TuneRunState.load(), 1);
  GoTune(w.get());
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("c-START TUNE (1)!!\n"), std::string::npos);
  EXPECT_NE(err.find("b-START TUNE!!\n"), std::string::npos);
  EXPECT_NE(err.find("esc tune TUNEMENU\n"), std::string::npos);
  EXPECT_EQ(w->TuneRunState.load(), 0);
  int slot = AtuIdxSearch(7100000, nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(w->TabTune[1][slot].valid, 0);
  EXPECT_FALSE(root.exists("/opt/set/atu_ant2_b3.txt"));

  // Tuner bypassed: no run, and no carrier asked of the radio.
  w->ModeWorkIdx = 1;
  w->tuneFlags = 1;
  w->AtuBypassFlag = 1;
  drainQueue(w.get());
  GoTune(w.get());
  EXPECT_EQ(w->TuneRunState.load(), 0);
  EXPECT_EQ(w->tuneFlags.load(), 1);
  EXPECT_TRUE(drainQueue(w.get()).empty());

  // Companion radio: the key asks for the carrier.
  w->AtuBypassFlag = 0;
  w->tuneFlags = 1 | 0x40;
  GoTune(w.get());
  EXPECT_EQ(w->TuneRunState.load(), 1);
  EXPECT_EQ(w->tuneFlags.load(), 1 | 0x10);
  GoTune(w.get());  // abort
  drainQueue(w.get());

  // Automatic tune off, radio still returning to receive, tuner not installed: nothing.
  for (uint8_t flags : {uint8_t(0), uint8_t(1 | 0x08)}) {
    w->tuneFlags = flags;
    GoTune(w.get());
    EXPECT_EQ(w->TuneRunState.load(), 0);
  }
  w->tuneFlags = 1;
  w->TUNEenabled = 0x80;
  GoTune(w.get());
  EXPECT_EQ(w->TuneRunState.load(), 0);
}

TEST_F(Autotune, CarrierHandshake) {
  w->ModeWorkIdx = 1;
  w->tuneFlags = 1;
  TuneHandshake hs;
  drainQueue(w.get());

  // Key press: once the queue is empty the carrier is requested (bit 5).
  GoTune(w.get());
  w->RadioTx = 0;
  TuneCarrierHandshake(w.get(), &hs);
  EXPECT_EQ(w->tuneFlags.load() & 0x20, 0);  // queue not empty yet
  drainQueue(w.get());
  TuneCarrierHandshake(w.get(), &hs);
  EXPECT_EQ(w->tuneFlags.load() & 0x20, 0x20);
  // The link sends "TU120;TX2;": bit 5 off, bit 6 on. The radio never
  // transmits: after 30 more cycles the run ends with error 14.
  w->tuneFlags = uint8_t((w->tuneFlags.load() & ~0x20) | 0x40);
  for (int i = 0; i < 30; ++i) TuneCarrierHandshake(w.get(), &hs);
  EXPECT_EQ(w->TuneRunState.load(), 1);
  TuneCarrierHandshake(w.get(), &hs);
  EXPECT_EQ(w->TuneRunState.load(), 0);
  EXPECT_EQ(ExistError(w.get(), 14), 1);
  EXPECT_EQ(w->tuneFlags.load() & (0x10 | 0x40), 0);
  EXPECT_EQ(w->tuneFlags.load() & 0x04, 0x04);  // finished: the radio goes back to receive

  // The link sent "RX;": bit 2 off, bit 3 on; ten cycles later all clear.
  w->tuneFlags = uint8_t((w->tuneFlags.load() & ~0x04) | 0x08);
  for (int i = 0; i < 10; ++i) TuneCarrierHandshake(w.get(), &hs);
  EXPECT_EQ(w->tuneFlags.load() & 0x08, 0x08);
  TuneCarrierHandshake(w.get(), &hs);
  EXPECT_EQ(w->tuneFlags.load(), 1);

  // A transmission started at the radio starts a run, unless held off.
  drainQueue(w.get());
  w->RadioTx = 1;
  w->txHoldoff = 2;
  TuneCarrierHandshake(w.get(), &hs);
  TuneCarrierHandshake(w.get(), &hs);
  EXPECT_EQ(w->TuneRunState.load(), 0);
  EXPECT_EQ(w->txHoldoff.load(), 0);
  TuneCarrierHandshake(w.get(), &hs);
  EXPECT_EQ(w->TuneRunState.load(), 1);
  EXPECT_EQ(w->tuneFlags.load(), 1 | 0x02);

  // Other interfaces, or automatic tune off: nothing.
  EscAutoTune(w.get(), 0);
  w->tuneFlags = 1;
  w->ModeWorkIdx = 0;
  TuneCarrierHandshake(w.get(), &hs);
  EXPECT_EQ(w->TuneRunState.load(), 0);
}

}  // namespace
