// Tune word, frequency slots, the RAM tables and the tune-memory files.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <thread>

#include "amp/linear.h"
#include "screens/buttons.h"
#include "platform/log.h"
#include "sim/physics.h"
#include "screens/labels.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_works.h"
#include "tuner/tune_memory.h"

namespace {

TuneRec rec(int mode, int l, int c) { return TuneRec{1, uint8_t(mode), uint16_t(l), uint16_t(c)}; }

TEST(TuneWord, EveryValueRoundTripsAndMatchesTheIndependentDecoder) {
  TestWorks w;
  for (int v = 0; v < 512; ++v) {
    w->Tuneval = kTuneLC;
    SetC(w.get(), v);
    EXPECT_EQ(DecodeCapacitaFromTuneval(w->Tuneval), v);
    EXPECT_EQ(DecodeInduttanzaFromTuneval(w->Tuneval), 0);
    EXPECT_EQ(physWordC(w->Tuneval), v);
    EXPECT_EQ(w->Tuneval & 0xFF000001u, 0u) << v;
    SetI(w.get(), 511 - v);
    EXPECT_EQ(DecodeInduttanzaFromTuneval(w->Tuneval), 511 - v);
    EXPECT_EQ(DecodeCapacitaFromTuneval(w->Tuneval), v);
    EXPECT_EQ(physWordL(w->Tuneval), 511 - v);
    EXPECT_EQ(physWordMode(w->Tuneval), PHYS_LC);
    EXPECT_EQ(DecodeModoFromTuneval(w->Tuneval), 2);
  }
}

TEST(TuneWord, BitPlacesAndGroupBits) {
  // Single value bits land on the listed word bits.
  EXPECT_EQ(TuneWordWithC(0, 1), 1u << 15);
  EXPECT_EQ(TuneWordWithC(0, 256), 1u << 20);
  EXPECT_EQ(TuneWordWithC(0, 128), 1u << 8);
  EXPECT_EQ(TuneWordWithI(0, 1), 1u << 1);
  EXPECT_EQ(TuneWordWithI(0, 128), 1u << 19);
  EXPECT_EQ(TuneWordWithI(0, 256), 1u << 21);
  // 512 is cut to 9 bits: the same word as 0.
  EXPECT_EQ(TuneWordWithC(kTuneCL, 512), TuneWordWithC(kTuneCL, 0));
  EXPECT_EQ(TuneWordWithI(kTuneCL, 512), kTuneCL);
  // Bits 22 and 17 are cleared by their group and ignored by the decoders.
  EXPECT_EQ(TuneWordWithC((1u << 22) | kTuneCL, 0), kTuneCL);
  EXPECT_EQ(TuneWordWithI((1u << 17) | kTuneCL, 0), kTuneCL);
  EXPECT_EQ(DecodeCapacitaFromTuneval(1u << 22), 0);
  EXPECT_EQ(DecodeInduttanzaFromTuneval(1u << 17), 0);
  // Setting C leaves L and the mode alone.
  uint32_t wd = TuneWordWithI(kTuneLC, 300);
  EXPECT_EQ(TuneWordWithC(wd, 77) & ~TuneWordWithC(0, 511) & ~(1u << 22), wd);
}

TEST(TuneWord, ModesAndTheBadCombination) {
  EXPECT_EQ(DecodeModoFromTuneval(0), 0);
  EXPECT_EQ(DecodeModoFromTuneval(kTuneCL), 1);
  EXPECT_EQ(DecodeModoFromTuneval(kTuneLC), 2);
  EXPECT_EQ(DecodeModoFromTuneval(kTuneBypass), 3);
  testing::internal::CaptureStderr();
  EXPECT_EQ(DecodeModoFromTuneval(kTuneCL | kTuneLC | 0x1234), 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("DecodeModoFromTuneval -> tune: 0x840000 \n"), std::string::npos) << err;
  EXPECT_EQ(physWordMode(kTuneCL | kTuneLC), PHYS_NONE);

  TestWorks w;
  w->Tuneval = TuneWordWithC(kTuneCL, 33);
  SetMode(w.get(), 2);
  EXPECT_EQ(w->Tuneval, TuneWordWithC(kTuneLC, 33));
  EXPECT_EQ(w->AtuBypassFlag, 0);
  SetMode(w.get(), 0);
  EXPECT_EQ(w->Tuneval, TuneWordWithC(kTuneBypass, 33));
  EXPECT_EQ(w->AtuBypassFlag, 1);
  SetMode(w.get(), 1);
  EXPECT_EQ(w->Tuneval, TuneWordWithC(kTuneCL, 33));
  EXPECT_EQ(w->AtuBypassFlag, 0);
  // The manual-tune page shows the mode drawn from the tune word; the
  // debug line only with debugging on.
  w->MenuIdx = 4;
  w->EnableDebug = 1;
  const char* const page[4] = {"ByP", "CL", "LC", "ByP"};
  const char* const dbg[4] = {"BP", "CL", "LC", "BP"};
  for (int m = 0; m < 4; ++m) {
    SetMode(w.get(), m);
    ImpostaLblManuale(w.get());
    EXPECT_STREQ(Zarnmenu[4].button[0].line2, page[m]) << m;
    EXPECT_STREQ(ModeTuneDebug, dbg[m]) << m;
  }
  w->EnableDebug = 0;
  SetMode(w.get(), 1);
  EXPECT_STREQ(ModeTuneDebug, "BP");
  SetMode(w.get(), 1);
  // A word without mode reads as bypass.
  w->Tuneval = TuneWordWithI(0, 5);
  ReadTnePar(w.get());
  EXPECT_EQ(w->ModoTune, 3);
  EXPECT_EQ(w->ValI, 5);
  EXPECT_EQ(w->Tuneval & kTuneBypass, kTuneBypass);
}

TEST(Slots, SegmentsAndRounding) {
  long s = 0, e = 0;
  int first = 0, end = 0;
  EXPECT_EQ(AtuIdxSearch(1800000, &s, &e, &first, &end), 900);
  EXPECT_EQ(s, 1800000);
  EXPECT_EQ(e, 2000000);
  EXPECT_EQ(first, 900);
  EXPECT_EQ(end, 1000);
  EXPECT_EQ(AtuIdxSearch(1999000, nullptr, nullptr, nullptr, nullptr), 1000);
  EXPECT_EQ(AtuIdxSearch(14175000, &s, &e, &first, &end), 3128);
  EXPECT_EQ(first, 3110);
  EXPECT_EQ(end, 3145);
  EXPECT_EQ(AtuIdxSearch(0, nullptr, nullptr, &first, &end), 0);
  EXPECT_EQ(end, 900);
  EXPECT_EQ(AtuIdxSearch(54000000, &s, &e, &first, &end), 4649);
  EXPECT_EQ(first, 4569);
  EXPECT_EQ(end, 4649);
  EXPECT_EQ(AtuIdxSearch(1001, nullptr, nullptr, nullptr, nullptr), 1);  // halves round up
  EXPECT_EQ(AtuIdxSearch(999, nullptr, nullptr, nullptr, nullptr), 0);
  // Above the table: the last segment carries on, one further.
  EXPECT_EQ(AtuIdxSearch(54050000, nullptr, nullptr, nullptr, nullptr), 4651);

  EXPECT_EQ(AtuFreqfromIdx(900), 1800000);
  EXPECT_EQ(AtuFreqfromIdx(4649), 54000000);
  EXPECT_EQ(AtuFreqfromIdx(1000), 2000000);  // boundary maps to the lower segment
  EXPECT_EQ(AtuFreqfromIdx(3128), 14180000);
  EXPECT_EQ(AtuFreqfromIdx(4700), 54000000 + 51 * 50000);

  // Every slot of the table maps back to itself.
  for (int slot = 0; slot <= 4649; ++slot)
    ASSERT_EQ(AtuIdxSearch(AtuFreqfromIdx(slot), nullptr, nullptr, nullptr, nullptr), slot) << slot;
}

TEST(RamTables, StoreLoadSearch) {
  TestWorks w;
  SaveTuneValsuTabRam(rec(3, 10, 20), 3120, 0, w.get());
  SaveTuneValsuTabRam(rec(2, 1, 2), 5000, 0, w.get());  // out of range: ignored
  SaveTuneValsuTabRam(rec(1, 7, 8), -1, 0, w.get());
  SaveTuneValsuTabRam(rec(2, 4, 4), 100, 7, w.get());  // any other index: third table
  EXPECT_EQ(w->TabTune[2][100].valid, 1);

  TuneRec r;
  LoadTuneValFromTabRam(&r, 3120, 0, w.get());
  EXPECT_EQ(r.valid, 1);
  EXPECT_EQ(r.mode, 1);  // a stored bypass recalls as CL
  EXPECT_EQ(r.L, 10);
  EXPECT_EQ(r.C, 20);
  LoadTuneValFromTabRam(&r, 5000, 0, w.get());
  EXPECT_EQ(r.valid, 0);

  // Nearest valid slot, lower one on a tie, only inside [first, end).
  SaveTuneValsuTabRam(rec(1, 1, 1), 3114, 1, w.get());
  SaveTuneValsuTabRam(rec(1, 1, 1), 3122, 1, w.get());
  EXPECT_EQ(SearchBestTune(w.get(), 3118, 3110, 3145, 1), 3114);
  EXPECT_EQ(SearchBestTune(w.get(), 3119, 3110, 3145, 1), 3122);
  EXPECT_EQ(SearchBestTune(w.get(), 3118, 3115, 3145, 1), 3122);
  EXPECT_EQ(SearchBestTune(w.get(), 3118, 3110, 3145, 2), -1);
  // A target equal to the end slot cannot reach the first slot.
  TestWorks w2;
  SaveTuneValsuTabRam(rec(1, 1, 1), 900, 0, w2.get());
  EXPECT_EQ(SearchBestTune(w2.get(), 1000, 900, 1000, 0), -1);
  EXPECT_EQ(SearchBestTune(w2.get(), 999, 900, 1000, 0), 900);

  EXPECT_FALSE(EsisteTuneValInTabRam(w.get(), 3140, 3110, 3145, 1));
  EXPECT_TRUE(EsisteTuneValInTabRam(w.get(), 3140, 3110, 3145, 2));
}

TEST(RamTables, RecallTakesTheNearestSlotOfTheSameSegmentOnly) {
  TestWorks w;
  // Stored on 17 m (18.1 MHz) and at the top of 30 m's neighbour segment: not 20 m.
  SaveTuneValsuTabRam(rec(2, 50, 60), AtuIdxSearch(13990000, nullptr, nullptr, nullptr, nullptr), 0, w.get());
  SaveTuneValsuTabRam(rec(2, 51, 61), AtuIdxSearch(14350000, nullptr, nullptr, nullptr, nullptr), 0, w.get());
  w->freq = 14200000;
  w->Tuneval = kTuneCL;
  LoadTuneFromMEM(w.get(), 0);
  EXPECT_EQ(w->Tuneval, kTuneCL);  // nothing recalled
  // Two tunings on 20 m: the nearer one wins.
  SaveTuneValsuTabRam(rec(2, 100, 200), AtuIdxSearch(14020000, nullptr, nullptr, nullptr, nullptr), 0, w.get());
  SaveTuneValsuTabRam(rec(1, 120, 220), AtuIdxSearch(14250000, nullptr, nullptr, nullptr, nullptr), 0, w.get());
  testing::internal::CaptureStderr();
  LoadTuneFromMEM(w.get(), 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(w->Tuneval, TuneWordWithI(TuneWordWithC(kTuneCL, 220), 120));
  EXPECT_EQ(w->ValC, 220);
  EXPECT_EQ(w->ValI, 120);
  EXPECT_EQ(w->ModoTune, 1);
  EXPECT_NE(err.find(">>>>>>>>>>>>>>> MEMTUNE: load a Tune for 14200000 idx:3135 -> C 220 I 120!!\n"),
            std::string::npos)
      << err;
  // The same tuning again: no change, no line.
  testing::internal::CaptureStderr();
  LoadTuneFromMEM(w.get(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  // Another antenna has nothing.
  w->Tuneval = kTuneBypass;
  LoadTuneFromMEM(w.get(), 1);
  EXPECT_EQ(w->Tuneval, kTuneBypass);
}

class TuneFiles : public testing::Test {
 protected:
  TempRoot root;
  TestWorks w;
};

TEST_F(TuneFiles, NamesPerBankAndAntenna) {
  EXPECT_EQ(AtuFileName(0, 0), "/opt/set/atu_ant1.txt");
  EXPECT_EQ(AtuFileName(0, 2), "/opt/set/atu_ant3.txt");
  EXPECT_EQ(AtuFileName(1, 1), "/opt/set/atu_ant2_b1.txt");
  EXPECT_EQ(AtuFileName(19, 9), "/opt/set/atu_ant3_b19.txt");
  EXPECT_EQ(AtuFileName(20, 0), "/opt/set/atu_ant1.txt");
  EXPECT_EQ(AtuFileName(-1, 0), "/opt/set/atu_ant1.txt");
}

TEST_F(TuneFiles, SaveWritesValidEntriesInSlotOrderAndLoadsThemBack) {
  SaveTuneValsuTabRam(rec(2, 511, 0), 4649, 1, w.get());
  SaveTuneValsuTabRam(rec(1, 3, 4), 900, 1, w.get());
  SaveTuneValsuTabRam(rec(3, 0, 511), 4999, 1, w.get());
  SaveTuneValsuTabRam(TuneRec{0, 1, 5, 5}, 1200, 1, w.get());  // not valid: not written
  ASSERT_EQ(SaveTabAtu(w.get(), 7, 1), 0);
  EXPECT_EQ(root.readFile("/opt/set/atu_ant2_b7.txt"),
            "900 1800000 1 1 3 4\n"
            "4649 54000000 1 2 511 0\n"
            "4999 71500000 1 3 0 511\n");
  // The write happened inside the remount window.
  std::string log = root.stubLog();
  EXPECT_NE(log.find("mount -o remount defaults,rw /opt/set"), std::string::npos) << log;
  EXPECT_NE(log.find("mount -v -n -o remount -r /opt/set"), std::string::npos) << log;

  TestWorks back;
  back->TabTune[1][5].valid = 1;  // cleared by the load
  LoadTabAtu(back.get(), 7, 1);
  EXPECT_EQ(memcmp(back->TabTune[1], w->TabTune[1], sizeof(TuneRec) * 1200), 0);
  EXPECT_EQ(back->TabTune[1][4649].L, 511);
  EXPECT_EQ(back->TabTune[1][4999].C, 511);
  EXPECT_EQ(back->TabTune[1][4999].mode, 3);
  EXPECT_EQ(back->TabTune[1][1200].valid, 0);

  // An antenna without entries gives an empty file.
  ASSERT_EQ(SaveTabAtu(w.get(), 7, 0), 0);
  EXPECT_TRUE(root.exists("/opt/set/atu_ant1_b7.txt"));
  EXPECT_EQ(root.readFile("/opt/set/atu_ant1_b7.txt"), "");
}

TEST_F(TuneFiles, BadLinesAreSkippedWholeAndTheRestIsRead) {
  root.writeFile("/opt/set/atu_ant1.txt",
                 "; comment 1 1 1 1 1\n"
                 "3128 14180000 1 2 40 50\r\n"
                 "5000 0 1 1 1 1\n"
                 "6000 x 1\n"           // past the table, whatever follows
                 "3129 14190000 1 2\n"   // short
                 "3130 x 1 1 1 1\n"      // unreadable
                 "3131 0 1 1 1 1 9\n"    // trailing field
                 "-4 0 1 1 1 1\n"        // negative slot
                 "3132 0 1 1 600 1\n"    // L beyond the bank
                 "\n"
                 "3140 14300000 1 1 7 8\n");
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  LoadTabAtu(w.get(), 0, 0);
  std::string out = testing::internal::GetCapturedStdout();
  std::string err = testing::internal::GetCapturedStderr();
  size_t first = err.find("LoadTabAtu Errore idx\n");
  ASSERT_NE(first, std::string::npos) << err;
  EXPECT_NE(err.find("LoadTabAtu Errore idx\n", first + 1), std::string::npos) << err;
  EXPECT_NE(out.find("LoadTabAtu Errore idx"), std::string::npos);
  int valid = 0;
  for (int i = 0; i < kTuneSlots; ++i) valid += w->TabTune[0][i].valid ? 1 : 0;
  EXPECT_EQ(valid, 2);
  EXPECT_EQ(w->TabTune[0][3128].C, 50);
  EXPECT_EQ(w->TabTune[0][3128].L, 40);
  EXPECT_EQ(w->TabTune[0][3128].mode, 2);
  EXPECT_EQ(w->TabTune[0][3140].C, 8);
  // A missing file leaves the table empty.
  LoadTabAtu(w.get(), 3, 0);
  EXPECT_EQ(w->TabTune[0][3128].valid, 0);
}

TEST_F(TuneFiles, AFailedWriteKeepsTheOldFile) {
  const std::string old = "3128 14180000 1 2 40 50\n";
  root.writeFile("/opt/set/atu_ant1_b2.txt", old);
  SaveTuneValsuTabRam(rec(1, 1, 1), 900, 0, w.get());
  for (int i = 0; i < 200; ++i) SaveTuneValsuTabRam(rec(1, i, i), 1000 + i, 0, w.get());
  // A full disk: writes past 64 bytes fail. The old file stays as it was
  // and no temporary file is left behind.
  signal(SIGXFSZ, SIG_IGN);
  struct rlimit old_lim;
  getrlimit(RLIMIT_FSIZE, &old_lim);
  struct rlimit lim = old_lim;
  lim.rlim_cur = 64;
  setrlimit(RLIMIT_FSIZE, &lim);
  int rc = SaveTabAtu(w.get(), 2, 0);
  setrlimit(RLIMIT_FSIZE, &old_lim);
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(root.readFile("/opt/set/atu_ant1_b2.txt"), old);
  std::string ls;
  for (const auto& e : std::filesystem::directory_iterator(root.path("/opt/set")))
    ls += e.path().filename().string() + " ";
  EXPECT_EQ(ls, "atu_ant1_b2.txt ");

  // Remount refused: nothing written at all.
  root.stubExit("mount", 1);
  logCaptureStart();
  EXPECT_EQ(SaveTabAtu(w.get(), 2, 0), -1);
  EXPECT_TRUE(logContains("can't mount rw /opt/set/ error"));
  logCaptureStop();
  EXPECT_EQ(root.readFile("/opt/set/atu_ant1_b2.txt"), old);
}

TEST_F(TuneFiles, InsertStoresAtTheFrequencySlotAndRewritesTheFile) {
  w->freq = 7050000;
  w->Tuneval = TuneWordWithI(TuneWordWithC(kTuneLC, 12), 34);
  testing::internal::CaptureStderr();
  InsertTuneToMem(w.get(), 4, 2);
  std::string err = testing::internal::GetCapturedStderr();
  int slot = AtuIdxSearch(7050000, nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(slot, 2110);
  EXPECT_EQ(w->TabTune[2][slot].valid, 1);
  EXPECT_EQ(w->TabTune[2][slot].mode, 2);
  EXPECT_EQ(w->TabTune[2][slot].C, 12);
  EXPECT_EQ(w->TabTune[2][slot].L, 34);
  EXPECT_EQ(root.readFile("/opt/set/atu_ant3_b4.txt"), "2110 7050000 1 2 34 12\n");
  EXPECT_NE(err.find("--------------> Save Tune To File idx 7050000 (idx:2110)\n"), std::string::npos);
  EXPECT_NE(err.find("-------------- Save TuneVal C:12, L:34, M:2\n"), std::string::npos);
}

TEST_F(TuneFiles, DeleteRemovesTheChosenFileOnly) {
  root.writeFile("/opt/set/atu_ant1_b3.txt", "1 1 1 1 1 1\n");
  root.writeFile("/opt/set/atu_ant2_b3.txt", "1 1 1 1 1 1\n");
  root.writeFile("/opt/set/antenna_b3.txt", "!Gen\n");
  w->TabTune[1][1].valid = 1;
  DeleteFileConf(w.get(), 3, 1);
  EXPECT_FALSE(root.exists("/opt/set/atu_ant2_b3.txt"));
  EXPECT_TRUE(root.exists("/opt/set/atu_ant1_b3.txt"));
  EXPECT_EQ(w->TabTune[1][1].valid, 1);  // RAM untouched
  DeleteFileConf(w.get(), 3, 3);
  EXPECT_FALSE(root.exists("/opt/set/antenna_b3.txt"));
}

TEST(TuneLock, TwoThreadsNeverHoldItTogether) {
  TestWorks w;
  std::atomic<int> inside{0};
  std::atomic<bool> overlap{false};
  auto body = [&] {
    for (int i = 0; i < 2000; ++i) {
      WaitSemaforoTuneval(w.get());
      if (inside.fetch_add(1) != 0) overlap = true;
      inside.fetch_sub(1);
      StopSemaforoTuneval(w.get());
    }
  };
  std::thread a(body), b(body);
  a.join();
  b.join();
  EXPECT_FALSE(overlap.load());
  EXPECT_EQ(w->SemaforoTuneval.load(), 0);
}

}  // namespace
