#include "tuner/tune_memory.h"

#include "core/file_problems.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <syslog.h>
#include <unistd.h>

#include "core/works.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "tuner/conf_lines.h"
#include "tuner/load_fit.h"

char ModeTuneDebug[6] = {};

// ---------------------------------------------------------------- tune word

// Word bit for each value bit, lowest value bit first.
static const int kCWordBit[9] = {15, 2, 4, 6, 14, 12, 10, 8, 20};
static const int kIWordBit[9] = {1, 3, 5, 7, 13, 11, 9, 19, 21};
// Bits 22 and 17 belong to the C and L groups: cleared, never set.
static const uint32_t kCGroupMask = (1u << 15) | (1u << 2) | (1u << 4) | (1u << 6) | (1u << 14) |
                                    (1u << 12) | (1u << 10) | (1u << 8) | (1u << 20) | (1u << 22);
static const uint32_t kIGroupMask = (1u << 1) | (1u << 3) | (1u << 5) | (1u << 7) | (1u << 13) |
                                    (1u << 11) | (1u << 9) | (1u << 19) | (1u << 21) | (1u << 17);
static const uint32_t kModeMask = kTuneCL | kTuneLC | kTuneBypass;

uint32_t TuneWordWithC(uint32_t word, int value) {
  unsigned v = unsigned(value) & 0x1FFu;
  word &= ~kCGroupMask;
  for (int k = 0; k < 9; ++k)
    if (v & (1u << k)) word |= 1u << kCWordBit[k];
  return word;
}

uint32_t TuneWordWithI(uint32_t word, int value) {
  unsigned v = unsigned(value) & 0x1FFu;
  word &= ~kIGroupMask;
  for (int k = 0; k < 9; ++k)
    if (v & (1u << k)) word |= 1u << kIWordBit[k];
  return word;
}

void SetC(Works* w, int value) { w->Tuneval = TuneWordWithC(w->Tuneval, value); }
void SetI(Works* w, int value) { w->Tuneval = TuneWordWithI(w->Tuneval, value); }

int DecodeCapacitaFromTuneval(uint32_t word) {
  int v = 0;
  for (int k = 0; k < 9; ++k)
    if (word & (1u << kCWordBit[k])) v |= 1 << k;
  return v;
}

int DecodeInduttanzaFromTuneval(uint32_t word) {
  int v = 0;
  for (int k = 0; k < 9; ++k)
    if (word & (1u << kIWordBit[k])) v |= 1 << k;
  return v;
}

int DecodeModoFromTuneval(uint32_t word) {
  uint32_t m = word & kModeMask;
  if (m == 0) return 0;
  if (m == kTuneCL) return 1;
  if (m == kTuneLC) return 2;
  if (m == kTuneBypass) return 3;
  fprintf(stderr, "DecodeModoFromTuneval -> tune: 0x%x \n", m);
  return 0;
}

void SetMode(Works* w, int mode) {
  w->ModoTune = uint8_t(mode);
  const char* dbg = nullptr;
  // The manual-tune page's label is drawn from the tune word
  // (ImpostaLblManuale), so only the word and the debug line change here.
  if (mode == 1) {
    w->Tuneval = (w->Tuneval & ~kModeMask) | kTuneCL;
    w->AtuBypassFlag = 0;
    dbg = "CL";
  } else if (mode == 2) {
    w->Tuneval = (w->Tuneval & ~kModeMask) | kTuneLC;
    w->AtuBypassFlag = 0;
    dbg = "LC";
  } else if (mode == 0 || mode == 3) {
    w->Tuneval = (w->Tuneval & ~kModeMask) | kTuneBypass;
    w->AtuBypassFlag = 1;
    dbg = "BP";
  } else {
    return;
  }
  if (w->EnableDebug) snprintf(ModeTuneDebug, sizeof ModeTuneDebug, "%s", dbg);
}

void ReadTnePar(Works* w) {
  w->ValC = DecodeCapacitaFromTuneval(w->Tuneval);
  w->ValI = DecodeInduttanzaFromTuneval(w->Tuneval);
  w->ModoTune = uint8_t(DecodeModoFromTuneval(w->Tuneval));
  if (w->ModoTune == 0) SetMode(w, 3);
}

// Spin lock over the tune word. An atomic exchange, so that two threads
// can never both see it free and both take it.
void WaitSemaforoTuneval(Works* w) {
  while (w->SemaforoTuneval.exchange(1) != 0) usleep(1);
}

void StopSemaforoTuneval(Works* w) { w->SemaforoTuneval.store(0); }

// ---------------------------------------------------------------- slots

const int32_t tabAtuStep[kAtuStepPairs][2] = {
    {0, 2000},        {1800000, 2000},  {2000000, 4000},  {3500000, 4000},  {4000000, 5000},
    {5330000, 5000},  {5400000, 5000},  {7000000, 5000},  {7300000, 5000},  {10100000, 10000},
    {10150000, 10000}, {14000000, 10000}, {14350000, 10000}, {18000000, 10000}, {18170000, 10000},
    {21000000, 20000}, {21500000, 25000}, {24850000, 25000}, {25000000, 25000}, {28000000, 25000},
    {29700000, 50000}, {50000000, 50000}, {54000000, -1},
};

int AtuIdxSearch(long freq, long* segStart, long* segEnd, int* firstSlot, int* endSlot) {
  // A reported frequency may reach 2^31 - 1, where freq + step / 2 would
  // overflow a 32-bit long; every frequency from 1 GHz up is far past the
  // slots the tables hold, so it counts as 1 GHz.
  if (freq > 1000000000L) freq = 1000000000L;
  long first = 0;
  int i = 0;
  for (;; ++i) {
    long start = tabAtuStep[i][0], next = tabAtuStep[i + 1][0];
    long count = (next - start) / tabAtuStep[i][1];
    bool last = tabAtuStep[i + 1][1] < 0;
    if ((freq >= start && freq < next) || last) {
      long step = tabAtuStep[i][1];
      if (segStart) *segStart = start;
      if (segEnd) *segEnd = next;
      if (firstSlot) *firstSlot = int(first);
      if (endSlot) *endSlot = int(first + count);
      long slot = first + (freq + step / 2 - start) / step;
      if (last && freq > next) slot += 1;
      return int(slot);
    }
    first += count;
  }
}

long AtuFreqfromIdx(int slot) {
  long first = 0;
  for (int i = 0;; ++i) {
    long start = tabAtuStep[i][0], step = tabAtuStep[i][1];
    long count = (tabAtuStep[i + 1][0] - start) / step;
    // Slots past 54 MHz carry on with the last segment's step.
    if (first + count >= slot || tabAtuStep[i + 1][1] < 0) return start + (slot - first) * step;
    first += count;
  }
}

// ---------------------------------------------------------------- RAM tables

static TuneRec* antTable(Works* w, int ant) {
  return w->TabTune[(ant == 0 || ant == 1) ? ant : 2];
}

void SaveTuneValsuTabRam(const TuneRec& rec, int slot, int ant, Works* w) {
  if (slot < 0 || slot >= kTuneSlots) return;
  antTable(w, ant)[slot] = rec;
}

void LoadTuneValFromTabRam(TuneRec* out, int slot, int ant, Works* w) {
  if (slot < 0 || slot >= kTuneSlots) {
    *out = TuneRec{0, 0, 0, 0};
    return;
  }
  *out = antTable(w, ant)[slot];
  // A recall puts the tuner in circuit: a stored bypass (or a stored word
  // without mode) comes back as CL with its C and L.
  if (out->mode == 3 || (out->valid && out->mode == 0)) out->mode = 1;
}

static bool slotValid(Works* w, int slot, int ant) {
  if (slot < 0 || slot >= kTuneSlots) return false;
  return antTable(w, ant)[slot].valid != 0;
}

int SearchBestTune(Works* w, int target, int first, int end, int ant) {
  int span = end - first;
  for (int d = 0; d < span; ++d) {
    int lo = target - d, hi = target + d;
    if (lo >= first && lo < end && slotValid(w, lo, ant)) return lo;
    if (hi >= first && hi < end && slotValid(w, hi, ant)) return hi;
  }
  return -1;
}

bool EsisteTuneValInTabRam(Works* w, int target, int first, int end, int ant) {
  return !slotValid(w, target, ant) && SearchBestTune(w, target, first, end, ant) < 0;
}

void LoadTuneFromMEM(Works* w) { LoadTuneFromMEM(w, w->AntennaIdx); }

void LoadTuneFromMEM(Works* w, int ant) {
  long f = w->freq.load();
  int first = 0, end = 0;
  int slot = AtuIdxSearch(f, nullptr, nullptr, &first, &end);
  TuneRec rec;
  int used = slot;
  LoadTuneValFromTabRam(&rec, slot, ant, w);
  MsSetting predicted;
  if (!rec.valid && PredictedTuning(w, ant, f, &predicted)) {
    rec = TuneRec{1, uint8_t(predicted.mode), uint16_t(predicted.l), uint16_t(predicted.c)};
    fprintf(stderr, "MEMTUNE: predicted tune for %ld idx:%d\n", f, slot);
  } else if (!rec.valid) {
    used = SearchBestTune(w, slot, first, end, ant);
    if (used >= 0) LoadTuneValFromTabRam(&rec, used, ant, w);
  }
  w->ValC = DecodeCapacitaFromTuneval(w->Tuneval);
  w->ValI = DecodeInduttanzaFromTuneval(w->Tuneval);
  w->ModoTune = uint8_t(DecodeModoFromTuneval(w->Tuneval));
  if (!rec.valid) return;
  if (rec.C != w->ValC || rec.L != w->ValI || rec.mode != w->ModoTune) {
    SetC(w, rec.C);
    SetI(w, rec.L);
    SetMode(w, rec.mode);
    ReadTnePar(w);
    fprintf(stderr, ">>>>>>>>>>>>>>> MEMTUNE: load a Tune for %ld idx:%d -> C %d I %d!!\n", f, used,
            w->ValC.load(), w->ValI.load());
  }
}

// ---------------------------------------------------------------- files

std::string AtuFileName(int bank, int ant) {
  int n = ant == 0 ? 1 : ant == 1 ? 2 : 3;
  char buf[64];
  if (bank >= 1 && bank <= 19)
    snprintf(buf, sizeof buf, "/opt/set/atu_ant%d_b%d.txt", n, bank);
  else
    snprintf(buf, sizeof buf, "/opt/set/atu_ant%d.txt", n);
  return buf;
}

// Reads one data line "slot freq valid mode L C". Anything else (missing
// or unreadable fields, trailing text, a negative slot) is not a tuning.
static bool parseAtuLine(const char* s, long v[6]) {
  const char* p = s;
  for (int i = 0; i < 6; ++i) {
    char* e = nullptr;
    errno = 0;
    v[i] = strtol(p, &e, 10);
    if (e == p || errno != 0) return false;
    p = e;
  }
  while (*p == ' ' || *p == '\t') ++p;
  if (*p != '\0') return false;
  return v[0] >= 0 && v[2] >= 0 && v[2] <= 255 && v[3] >= 0 && v[3] <= 3 && v[4] >= 0 &&
         v[4] <= 511 && v[5] >= 0 && v[5] <= 511;
}

void LoadTabAtu(Works* w, int bank, int ant) {
  TuneRec* tab = antTable(w, ant);
  memset(tab, 0, sizeof(TuneRec) * kTuneSlots);
  FILE* f = openRooted(AtuFileName(bank, ant), "r");
  if (f == nullptr) return;
  std::string line;
  bool tooLong = false;
  int lineNo = 0;
  const std::string path = AtuFileName(bank, ant);
  while (ReadConfLine(f, line, &tooLong)) {
    lineNo++;
    if (line.empty() || line[0] == ';') continue;
    // The slot is judged first: a slot past the table is reported as such
    // whatever the rest of the line holds.
    char* e = nullptr;
    long slot = strtol(line.c_str(), &e, 10);
    if (e != line.c_str() && slot > kTuneSlots - 1) {
      fprintf(stderr, "LoadTabAtu Errore idx\n");
      printf("LoadTabAtu Errore idx");
      fflush(stdout);
      reportFileProblem(path, lineNo, false, "slot " + std::to_string(slot) + " past the table, skipped");
      continue;
    }
    long v[6];
    if (tooLong || !parseAtuLine(line.c_str(), v)) {
      fprintf(stderr, "LoadTabAtu skip line: %s\n", line.c_str());
      reportFileProblem(path, lineNo, false, tooLong ? "line too long, skipped" : "not a tuning line, skipped");
      continue;
    }
    TuneRec r;
    r.valid = uint8_t(v[2]);
    r.mode = uint8_t(v[3]);
    r.L = uint16_t(v[4]);
    r.C = uint16_t(v[5]);
    tab[v[0]] = r;
  }
  fclose(f);
}

int SaveTabAtu(Works* w, int bank, int ant) {
  fprintf(stderr, "SaveTabAtu Bank%i , antenna %i\n", bank, ant);
  RemountWindow window(true);
  if (!window.isOpen()) return -1;
  int rc = -1;
  {
    AtomicWriter out(AtuFileName(bank, ant));
    if (!out.ok()) {
      zlog(LOG_ERR, "can't open /opt/set/autotune.txt for writing");
    } else {
      const TuneRec* tab = antTable(w, ant);
      for (int i = 0; i < kTuneSlots; ++i) {
        if (!tab[i].valid) continue;
        fprintf(out.file(), "%i %ld %i %i %i %i\n", i, AtuFreqfromIdx(i), tab[i].valid, tab[i].mode,
                tab[i].L, tab[i].C);
      }
      rc = out.commit();
      if (rc != 0)
        zlog(LOG_ERR, "can't write %s error %d", AtuFileName(bank, ant).c_str(), errno);
    }
  }
  return rc;
}

int InsertTuneToMem(Works* w, int bank, int ant) {
  StoreTuneInRam(w, ant);
  return SaveTabAtu(w, bank, ant);
}

void StoreTuneInRam(Works* w, int ant) {
  long f = w->freq.load();
  int slot = AtuIdxSearch(f, nullptr, nullptr, nullptr, nullptr);
  fprintf(stderr, "--------------> Save Tune To File idx %ld (idx:%d)\n", f, slot);
  TuneRec r;
  r.valid = 1;
  r.mode = uint8_t(DecodeModoFromTuneval(w->Tuneval));
  r.L = uint16_t(DecodeInduttanzaFromTuneval(w->Tuneval));
  r.C = uint16_t(DecodeCapacitaFromTuneval(w->Tuneval));
  fprintf(stderr, "-------------- Save TuneVal C:%i, L:%i, M:%c\n", r.C, r.L, '0' + r.mode);
  SaveTuneValsuTabRam(r, slot, ant, w);
}

std::string AntennaFileName(int bank);  // antenna.cpp

void DeleteFileConf(Works* w, int bank, int selector) {
  (void)w;
  std::string path = selector == 3 ? AntennaFileName(bank) : AtuFileName(bank, selector);
  RemountWindow window(true);
  if (!window.isOpen()) return;
  if (runCommand("rm -f " + shellQuote(rootPath(path))) != 0)
    zlog(LOG_ERR, "can't delete file bank %d", bank);
}
