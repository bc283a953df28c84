// How well the controller's autotune searches do on realistic loads: the
// search runs in-process, one step per simulated status reply, against the
// L-network model; each result is set beside the best SWR that any of the
// 2 x 512 x 512 network settings reaches. First the table search with an
// ideal meter, load by load; then the three searches (table, rescue,
// model) under a meter with noise, 12-bit readings and the SWR cap, on the
// bench loads, on 500 random loads and on a tuner whose parts differ from
// the model the search keeps. A report for people.
#include "sim/physics.h"

namespace {
const double kPi = 3.14159265358979323846;
}

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

#include "amp/linear.h"
#include "core/setup_record.h"
#include "core/works.h"
#include "tuner/autotune.h"
#include "tuner/recall.h"
#include "tuner/tune_memory.h"
#include "tuner/tuner_config.h"

namespace {

struct BenchLoad {
  const char* name;
  PhysLoad load;
  double f;
};

PhysLoad fixed(double r, double x) {
  PhysLoad l;
  l.kind = PHYS_LOAD_FIXED;
  l.z = Cplx(r, x);
  return l;
}

PhysLoad builtin(PhysLoadKind k) {
  PhysLoad l;
  l.kind = k;
  return l;
}

struct Result {
  int steps;
  double swr;
  int mode, c, l;
};

// One run as the Linear thread paces it: the start-up commands drain, then
// every status reply carries the SWR of the word sent last and runs one step.
Result runOne(Works* w, double f, Cplx z, float target) {
  w->freq = long(f);
  w->SWRescAutoTune = target;
  w->RadioTx = 1;
  StartAutotune(w);
  while (TakeQueuedCmd(w) >= 0) {
  }
  w->cmdQ.urgent = 0;
  int replies = 0;
  while (w->TuneRunState.load() != 0 && replies < 10000) {
    double swr = physSwrForWord(w->Tuneval, f, z);
    w->SWR = float(swr);
    w->FWD = 100.0f;
    TuneTask(w);
    ++replies;
  }
  while (TakeQueuedCmd(w) >= 0) {
  }
  Result r;
  r.steps = replies;
  r.swr = physSwrForWord(w->Tuneval, f, z);
  r.mode = physWordMode(w->Tuneval);
  r.c = physWordC(w->Tuneval);
  r.l = physWordL(w->Tuneval);
  return r;
}

const char* modeName(int m) { return m == PHYS_CL ? "CL" : m == PHYS_LC ? "LC" : "--"; }

}  // namespace

namespace {

// The tuner as built: bank bit values, strays and wiring that may differ
// from the model the search keeps. Same topology as the simulator's
// network, with a stray capacitance at each port and a wiring inductance
// in series with the inductor bank.
struct TrueTuner {
  bool nominal = true;  // exactly the simulator's network
  double cap[512], ind[512];
  double cin = 0, cout = 0, lw = 0;
};

TrueTuner mismatchedTuner(uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> tol(0.0, 0.03);
  double cb[9], lb[9];
  for (int k = 0; k < 9; ++k) {
    cb[k] = kPhysCapStep * (1 << k) * (1 + tol(rng));
    lb[k] = kPhysIndStep * (1 << k) * (1 + tol(rng));
  }
  TrueTuner t;
  t.nominal = false;
  for (int n = 0; n < 512; ++n) {
    t.cap[n] = t.ind[n] = 0;
    for (int k = 0; k < 9; ++k)
      if (n & (1 << k)) {
        t.cap[n] += cb[k];
        t.ind[n] += lb[k];
      }
  }
  t.cin = t.cout = 15e-12;
  t.lw = 0.1e-6;
  return t;
}

double trueGamma(const TrueTuner& t, int mode, int c, int l, double f, Cplx z) {
  if (t.nominal) return physGamma(physNetworkInput(mode, c, l, f, z));
  if (mode != PHYS_CL && mode != PHYS_LC) mode = PHYS_CL, c = 0, l = 0;
  double w = 2 * kPi * f;
  double xl = w * t.ind[l];
  Cplx zl(xl / kPhysQInd, xl + w * t.lw);
  double bc = w * t.cap[c];
  Cplx yc(bc / kPhysQCap, bc);
  Cplx yin;
  if (mode == PHYS_CL) {
    Cplx zp = 1.0 / (1.0 / z + Cplx(0, w * t.cout));
    yin = yc + Cplx(0, w * t.cin) + 1.0 / (zp + zl);
  } else {
    Cplx zin = zl + 1.0 / (1.0 / z + yc + Cplx(0, w * t.cout));
    yin = 1.0 / zin + Cplx(0, w * t.cin);
  }
  return physGamma(1.0 / yin);
}

double trueGammaOfWord(const TrueTuner& t, uint32_t word, double f, Cplx z) {
  return trueGamma(t, physWordMode(word), physWordC(word), physWordL(word), f, z);
}

// The best SWR any setting of the tuner as built reaches.
double trueBest(const TrueTuner& t, double f, Cplx z) {
  if (t.nominal) return physExhaustiveBest(f, z).swr;
  double best = 1.0;
  for (int mode = PHYS_CL; mode <= PHYS_LC; ++mode)
    for (int c = 0; c < 512; ++c)
      for (int l = 0; l < 512; ++l) best = std::min(best, trueGamma(t, mode, c, l, f, z));
  return physSwrFromGamma(best);
}

// The amplifier's meter: |G| with +-2 % noise drawn per reading, the
// reflected reading in 12 bits for a forward reading of 1500, the SWR
// capped at 100 from |G| 0.99 up. ideal: the exact SWR.
struct Meter {
  bool ideal = false;
  std::mt19937_64 rng;
  double read(double gamma) {
    if (ideal) return physSwrFromGamma(gamma);
    std::uniform_real_distribution<double> u(-0.02, 0.02);
    double g = gamma * (1 + u(rng));
    double refl = std::min(4095.0, std::round(1500.0 * g * g));
    double gq = std::sqrt(refl / 1500.0);
    return physSwrFromGamma(gq);
  }
};

struct Run {
  int steps = 0;
  double swr = 100;  // true SWR of the final setting
  int relayBits = 0;
  double worstStepMs = 0;  // processor time of the thread: the search's work
  double worstWallMs = 0;  // wall clock: includes being scheduled out on a busy machine
};

// Processor time of this thread: what one step costs, whatever else the
// machine runs meanwhile.
double threadCpuMs() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// Every step of the run is printed (ZELBENCH_TRACE, ZELBENCH_CASE).
bool traceRun = false;
// The step limit of the runs, as an index of SWRTimeoutCICLI (2: 300).
int capIdx = 2;

int relayBits(uint32_t a, uint32_t b) { return __builtin_popcount((a ^ b) & 0x00FFFFFEu); }

// One run as the Linear thread paces it, over a meter, with the step
// limit at 300 measurements. The tune memory is empty for every run unless
// keepMemory. Steps are counted as on the wire: the set-up batch goes out
// first (its replies are command replies), then every status reply up to
// the one that ends the run counts, the replies that wait for the carrier
// and the one that reads the stored word included.
Run runMeasured(Works* w, int search, double f, Cplx z, const TrueTuner& t, Meter* meter, float target,
                bool keepMemory = false) {
  if (!keepMemory)
    for (auto& tab : w->TabTune) memset(tab, 0, sizeof tab);
  tunerConfig.search = search;
  w->freq = long(f);
  w->SWRescAutoTune = target;
  w->AutoTuneMaxCicli = uint8_t(capIdx);
  w->RadioTx = 1;
  // The word in place is what the frequency change left: the stored or
  // predicted tuning, else the tuner reset.
  w->Tuneval = kTuneCL;
  while (TakeQueuedCmd(w) >= 0) {
  }
  GestioneLoadTuneVal(w);
  for (int cmd; (cmd = TakeQueuedCmd(w)) >= 0;)
    if (cmd == CMD_MT1_MEM) LoadTuneFromMEM(w);
  StartAutotune(w);
  while (TakeQueuedCmd(w) >= 0) {
  }
  w->cmdQ.urgent = 0;
  Run r;
  uint32_t sent = w->Tuneval;
  while (w->TuneRunState.load() != 0 && r.steps < 10000) {
    w->SWR = float(meter->read(trueGammaOfWord(t, w->Tuneval, f, z)));
    w->FWD = 100.0f;
    int state = w->TuneState;
    double c0 = threadCpuMs();
    auto t0 = std::chrono::steady_clock::now();
    TuneTask(w);
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    double cpu = threadCpuMs() - c0;
    // The search's own work: not the carrier wait of state 2 (a 3 ms
    // sleep) nor the end of the run, which writes the tune memory.
    if (cpu > 4 && getenv("ZELBENCH_DETAIL") != nullptr)
      printf("  heavy step %d: %.2f ms, state %d, f %.3f MHz z %.1f%+.1fj\n", r.steps, cpu, state, f / 1e6, z.real(),
             z.imag());
    if (state >= 3 && w->TuneRunState.load() != 0) {
      r.worstStepMs = std::max(r.worstStepMs, cpu);
      r.worstWallMs = std::max(r.worstWallMs, ms);
    }
    r.relayBits += relayBits(sent, w->Tuneval);
    sent = w->Tuneval;
    if (w->TuneRunState.load() == 2) w->TuneRunState = 1;  // "CP" went out
    ++r.steps;
    if (traceRun)
      printf("    step %d read %.2f -> %s C%d L%d true %.2f (%.2f ms)\n", r.steps, double(w->SWR),
             modeName(physWordMode(w->Tuneval)), physWordC(w->Tuneval), physWordL(w->Tuneval),
             physSwrFromGamma(trueGammaOfWord(t, w->Tuneval, f, z)), cpu);
  }
  while (TakeQueuedCmd(w) >= 0) {
  }
  r.swr = physSwrFromGamma(trueGammaOfWord(t, w->Tuneval, f, z));
  return r;
}

struct Case {
  double f;
  Cplx z;
  TrueTuner tuner;
  double best;  // best SWR of the tuner as built
};

// Figures of one search over a set of runs.
struct Tally {
  std::vector<int> steps;
  int runs = 0, matchable = 0, below15 = 0, below12 = 0;
  double gapSum = 0, unmatchedWorstGap = 0, unmatchedGapSum = 0, relaySum = 0, worstStepMs = 0, worstWallMs = 0;
  int unmatchable = 0;
  int seedMin = 1 << 30;  // fewest matchable loads below 1.5 in one seed
  void add(const Run& r, double best) {
    ++runs;
    steps.push_back(r.steps);
    relaySum += r.relayBits;
    worstStepMs = std::max(worstStepMs, r.worstStepMs);
    worstWallMs = std::max(worstWallMs, r.worstWallMs);
    if (best < 1.5) {
      ++matchable;
      if (r.swr < 1.5) ++below15;
      if (r.swr < 1.2) ++below12;
      gapSum += r.swr - best;
    } else {
      unmatchedWorstGap = std::max(unmatchedWorstGap, r.swr - best);
      unmatchedGapSum += r.swr - best;
      ++unmatchable;
    }
  }
};

double percentile(std::vector<int> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t i = size_t(std::ceil(p * double(v.size()))) - 1;
  return v[std::min(i, v.size() - 1)];
}

const char* kSearchNames[3] = {"table", "rescue", "model"};

// Every search over every case and seed; prints one row per search.
void evaluate(Works* w, const char* title, const std::vector<Case>& cases, int seeds, bool ideal, uint64_t seedBase,
              bool perSeed) {
  // ZELBENCH_ONLY="Random" runs only the section of that title.
  if (const char* only = getenv("ZELBENCH_ONLY"))
    if (strcmp(title, only) != 0) return;
  printf("%s: %zu loads x %d seed%s, %d matchable\n", title, cases.size(), seeds, seeds > 1 ? "s" : "",
         int(std::count_if(cases.begin(), cases.end(), [](const Case& c) { return c.best < 1.5; })));
  printf("| search | <1.5 | <1.2 | %s steps mean / median / p95 / worst | SWR - opt | unmatchable mean / worst | relay "
         "bits | heaviest step ms cpu / wall |\n",
         perSeed ? "fewest <1.5 in a seed |" : "");
  printf("|---|---|---|%s---|---|---|---|---|\n", perSeed ? "---|" : "");
  for (int search = 0; search < 3; ++search) {
    if (const char* one = getenv("ZELBENCH_SEARCH"))
      if (strstr(one, kSearchNames[search]) == nullptr) continue;  // "rescue,model"
    Tally t;
    for (int seed = 0; seed < seeds; ++seed) {
      int okThisSeed = 0;
      for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        Meter m;
        m.ideal = ideal;
        // An independent noise stream for every run, the same for every search.
        m.rng.seed(seedBase + uint64_t(seed) * 100003u + i);
        // ZELBENCH_CASE="search seed load" traces one run of the sections run.
        char key[64];
        snprintf(key, sizeof key, "%s %d %zu", kSearchNames[search], seed, i);
        const char* one = getenv("ZELBENCH_CASE");
        traceRun = one != nullptr && strcmp(one, key) == 0;
        Run r = runMeasured(w, search, c.f, c.z, c.tuner, &m, 1.5f);
        traceRun = false;
        t.add(r, c.best);
        if (getenv("ZELBENCH_DETAIL") != nullptr && (c.best < 1.5 ? r.swr >= 1.5 : r.swr > c.best + 0.5))
          fprintf(stdout, "  %s seed %d load %zu f %.3f MHz z %.1f%+.1fj best %.2f got %.2f steps %d\n",
                  kSearchNames[search], seed, i, c.f / 1e6, c.z.real(), c.z.imag(), c.best, r.swr, r.steps);
        if (c.best < 1.5 && r.swr < 1.5) ++okThisSeed;
      }
      t.seedMin = std::min(t.seedMin, okThisSeed);
    }
    double mean = 0;
    for (int s : t.steps) mean += s;
    mean /= std::max(1, t.runs);
    char seedCol[32] = "";
    if (perSeed) snprintf(seedCol, sizeof seedCol, " %d |", t.seedMin);
    double perSeedMatch = double(t.matchable) / seeds;
    printf("| %s | %.1f of %.0f (%.1f %%) | %.1f %% |%s %.1f / %.0f / %.0f / %.0f | %.2f | %.2f / %.2f | %.0f | %.2f / %.1f |\n",
           kSearchNames[search], t.below15 / double(seeds), perSeedMatch, 100.0 * t.below15 / std::max(1, t.matchable),
           100.0 * t.below12 / std::max(1, t.matchable), seedCol, mean, percentile(t.steps, 0.5),
           percentile(t.steps, 0.95), percentile(t.steps, 1.0), t.gapSum / std::max(1, t.matchable),
           t.unmatchedGapSum / std::max(1, t.unmatchable), t.unmatchedWorstGap, t.relaySum / std::max(1, t.runs),
           t.worstStepMs, t.worstWallMs);
    fflush(stdout);
  }
  printf("\n");
}


// ---- predicted starts ----

// An antenna seen through the feed line, as a function of frequency.
struct BenchAntenna {
  const char* name;
  std::function<Cplx(double)> z;
};

// Through a lossless 50 ohm line of len m (velocity factor 0.66).
Cplx throughCoax(Cplx zl, double f, double len) {
  double t = std::tan(2 * kPi * f * len / (0.66 * 299792458.0));
  Cplx j(0, 1);
  return kPhysZ0 * (zl + j * kPhysZ0 * t) / (kPhysZ0 + j * zl * t);
}

struct PredTally {
  std::vector<int> steps, scratchSteps, mSteps, mScratchSteps;  // m: matchable runs only
  int matchable = 0, below15 = 0, scratchBelow15 = 0, worseSwr = 0, moreSteps = 0, oneReply = 0;
  void add(const Run& r, const Run& scratch, double best) {
    steps.push_back(r.steps);
    scratchSteps.push_back(scratch.steps);
    if (best < 1.5) {
      ++matchable;
      mSteps.push_back(r.steps);
      mScratchSteps.push_back(scratch.steps);
      if (r.swr < 1.5) ++below15;
      if (scratch.swr < 1.5) ++scratchBelow15;
      if (r.steps == 1 && r.swr < 1.5) ++oneReply;
    }
    if (r.swr > std::max(1.5, scratch.swr + 0.1)) ++worseSwr;
    if (r.steps > scratch.steps) ++moreSteps;
  }
  static double mean(const std::vector<int>& v) {
    double m = 0;
    for (int x : v) m += x;
    return v.empty() ? 0.0 : m / double(v.size());
  }
  void print(const char* what) const {
    printf("| %s | %zu / %d | %d (%.1f %%) | %d (%.1f %%) | %.2f / %.0f / %.0f / %.0f | %d (%.1f %%) | %.2f / %.0f | %.2f / %.0f "
           "| %d | %d |\n",
           what, steps.size(), matchable, below15, 100.0 * below15 / std::max(1, matchable), oneReply,
           100.0 * oneReply / std::max(1, matchable), mean(mSteps), percentile(mSteps, 0.5), percentile(mSteps, 0.95),
           percentile(mSteps, 1.0), scratchBelow15, 100.0 * scratchBelow15 / std::max(1, matchable),
           mean(mScratchSteps), percentile(mScratchSteps, 1.0), mean(steps), percentile(steps, 1.0), worseSwr,
           moreSteps);
  }
};

// Each antenna is tuned at three slots of each band (the band's ends and
// middle, by model runs over the noisy meter, as an operator would leave the
// memory); then new slots in between start from the load the stored slots
// predict. Beside every run the same slot from scratch (empty memory, same
// noise). Wrong predictions: the memory of another antenna, and slots past
// the stored range.
void evaluatePredicted(Works* w) {
  if (const char* only = getenv("ZELBENCH_ONLY"))
    if (strcmp("Predicted", only) != 0) return;
  const BenchAntenna ants[] = {
      {"dipole 2x10.55 m", [](double f) { return physLoadImpedance(builtin(PHYS_LOAD_DIPOLE), f); }},
      {"end-fed 12 m", [](double f) { return physLoadImpedance(builtin(PHYS_LOAD_ENDFED), f); }},
      {"dipole 2x5 m", [](double f) { return physDipoleImpedance(10.0, 1e-3, f); }},
      {"dipole 2x20 m", [](double f) { return physDipoleImpedance(40.0, 1e-3, f); }},
      {"vertical 6 m", [](double f) { return physMonopoleImpedance(6.0, 1e-3, 8.0, f); }},
      {"dipole 2x10.55 m, 15 m coax",
       [](double f) { return throughCoax(physLoadImpedance(builtin(PHYS_LOAD_DIPOLE), f), f, 15.0); }},
  };
  const int nAnt = int(sizeof ants / sizeof ants[0]);
  const double bands[][2] = {{1.8e6, 2.0e6},   {3.5e6, 3.8e6},   {7.0e6, 7.3e6},     {10.1e6, 10.15e6},
                             {14.0e6, 14.35e6}, {18.068e6, 18.168e6}, {21.0e6, 21.45e6}, {24.89e6, 24.99e6},
                             {28.0e6, 29.7e6},  {50.0e6, 54.0e6}};
  const double storedAt[] = {0.0, 1.0, 0.5};
  const double newAt[] = {0.2, 0.35, 0.65, 0.85};
  const int seeds = 3;
  TrueTuner nominal;
  PredTally within, swapped, past;
  uint64_t seedNo = 5000000;
  tunerConfig.search = TUNE_SEARCH_MODEL;
  w->AntennaIdx = 0;
  auto slotF = [](double f) { return double(AtuFreqfromIdx(AtuIdxSearch(long(f), nullptr, nullptr, nullptr, nullptr))); };
  // The memory of antenna a after tuning its stored slots, per band.
  std::vector<std::vector<std::vector<TuneRec>>> mem(nAnt);
  for (int a = 0; a < nAnt; ++a) {
    for (const auto& b : bands) {
      for (auto& tab : w->TabTune) memset(tab, 0, sizeof tab);
      for (double at : storedAt) {
        double f = slotF(b[0] + at * (b[1] - b[0]));
        Meter m;
        m.rng.seed(++seedNo);
        runMeasured(w, TUNE_SEARCH_MODEL, f, ants[a].z(f), nominal, &m, 1.5f, true);
      }
      mem[a].push_back(std::vector<TuneRec>(w->TabTune[0], w->TabTune[0] + kTuneSlots));
    }
  }
  auto oneCase = [&](const std::vector<TuneRec>& memory, double f, Cplx z, PredTally* t, const char* tag) {
    double best = physExhaustiveBest(f, z).swr;
    for (int seed = 0; seed < seeds; ++seed) {
      uint64_t sd = ++seedNo;
      Meter m1, m2;
      m1.rng.seed(sd);
      m2.rng.seed(sd);
      for (auto& tab : w->TabTune) memset(tab, 0, sizeof tab);
      std::copy(memory.begin(), memory.end(), w->TabTune[0]);
      Run r = runMeasured(w, TUNE_SEARCH_MODEL, f, z, nominal, &m1, 1.5f, true);
      Run s = runMeasured(w, TUNE_SEARCH_MODEL, f, z, nominal, &m2, 1.5f, false);
      t->add(r, s, best);
      if (getenv("ZELBENCH_DETAIL") != nullptr && (r.steps > 3 || r.swr >= 1.5))
        printf("  %s f %.3f MHz z %.1f%+.1fj best %.2f: predicted %d steps SWR %.2f, scratch %d steps SWR %.2f\n", tag,
               f / 1e6, z.real(), z.imag(), best, r.steps, r.swr, s.steps, s.swr);
    }
  };
  for (int a = 0; a < nAnt; ++a) {
    for (size_t bi = 0; bi < sizeof bands / sizeof bands[0]; ++bi) {
      const double* b = bands[bi];
      for (double at : newAt) {
        double f = slotF(b[0] + at * (b[1] - b[0]));
        oneCase(mem[a][bi], f, ants[a].z(f), &within, ants[a].name);
        // Another antenna on the same output: the memory is wrong.
        int other = (a + 1) % nAnt;
        oneCase(mem[other][bi], f, ants[a].z(f), &swapped, "swapped");
      }
      // Past the stored range, within the fit's reach and beyond it.
      for (double at : {1.15, 1.6}) {
        double f = slotF(b[0] + at * (b[1] - b[0]));
        oneCase(mem[a][bi], f, ants[a].z(f), &past, "past");
      }
    }
  }
  printf("Predicted starts, model search, noisy meter, target 1.5: %d antennas tuned at the ends and the middle of\n"
         "10 bands; new slots at 20, 35, 65 and 85 %% of each band (within the fitted range), %d noise seeds each. The\n"
         "word in place is what the frequency change sent (the predicted match when the fit is good). Beside every\n"
         "run the same slot and noise from an empty memory (scratch). Matchable: optimum below 1.5; 1 reply: matched by the reading of the word in place. Worse SWR: final\n"
         "SWR above both 1.5 and the scratch run's + 0.1; more steps: more replies than the scratch run.\n",
         nAnt, seeds);
  printf("| case | runs / matchable | <1.5 | 1 reply | matchable replies mean / median / p95 / worst | scratch <1.5 | "
         "scratch matchable replies mean / worst | all runs replies mean / worst | worse SWR | more steps |\n"
         "|---|---|---|---|---|---|---|---|---|---|\n");
  within.print("within the range");
  swapped.print("swapped antenna");
  past.print("past the range (15 %, 60 % of the band)");
  printf("\n");
  fflush(stdout);
}

}  // namespace

int main() {
  // The run stores its results: give it a throw-away root with a no-op mount.
  char dir[] = "/tmp/zelbench.XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  std::string root = dir;
  mkdir((root + "/opt").c_str(), 0755);
  mkdir((root + "/opt/set").c_str(), 0755);
  mkdir((root + "/bin").c_str(), 0755);
  FILE* m = fopen((root + "/bin/mount").c_str(), "w");
  if (m != nullptr) {
    fputs("#!/bin/sh\nexit 0\n", m);
    fclose(m);
    chmod((root + "/bin/mount").c_str(), 0755);
  }
  setenv("ZELPYX_ROOT", root.c_str(), 1);
  if (freopen("/dev/null", "w", stderr) == nullptr) return 1;  // the search's progress lines

  Works* w = new Works();
  SetupRec setup{};
  w->setup = &setup;
  w->tuneFlags = 1;
  w->errorsMuted = 1;
  // The amplifier reports its transmit bit: the run's carrier is on, so
  // the search starts after the start replies.
  w->ampStatus[1] = 0x01;

  const BenchLoad loads[] = {
      {"dipole 160m", builtin(PHYS_LOAD_DIPOLE), 1.85e6},
      {"dipole 80m", builtin(PHYS_LOAD_DIPOLE), 3.6e6},
      {"dipole 60m", builtin(PHYS_LOAD_DIPOLE), 5.36e6},
      {"dipole 40m", builtin(PHYS_LOAD_DIPOLE), 7.1e6},
      {"dipole 30m", builtin(PHYS_LOAD_DIPOLE), 10.12e6},
      {"dipole 20m", builtin(PHYS_LOAD_DIPOLE), 14.2e6},
      {"dipole 17m", builtin(PHYS_LOAD_DIPOLE), 18.1e6},
      {"dipole 15m", builtin(PHYS_LOAD_DIPOLE), 21.2e6},
      {"dipole 10m", builtin(PHYS_LOAD_DIPOLE), 28.5e6},
      {"dipole 6m", builtin(PHYS_LOAD_DIPOLE), 50.2e6},
      {"end-fed 160m", builtin(PHYS_LOAD_ENDFED), 1.85e6},
      {"end-fed 80m", builtin(PHYS_LOAD_ENDFED), 3.6e6},
      {"end-fed 40m", builtin(PHYS_LOAD_ENDFED), 7.1e6},
      {"end-fed 20m", builtin(PHYS_LOAD_ENDFED), 14.2e6},
      {"end-fed 12m", builtin(PHYS_LOAD_ENDFED), 24.9e6},
      {"end-fed 6m", builtin(PHYS_LOAD_ENDFED), 50.2e6},
      {"dummy load 20m", builtin(PHYS_LOAD_DUMMY), 14.2e6},
      {"short whip 12-j800", fixed(12, -800), 3.7e6},
      {"low R 12-j20", fixed(12, -20), 14.1e6},
      {"low R 8+j5", fixed(8, 5), 7.05e6},
      {"high Z 400+j150", fixed(400, 150), 28.5e6},
      {"high Z 1500-j600", fixed(1500, -600), 10.12e6},
      {"reactive 50+j200", fixed(50, 200), 21.2e6},
      {"reactive 25-j150", fixed(25, -150), 18.1e6},
      {"near short 1+j2", fixed(1, 2), 1.9e6},
      {"very high 6000+j0", fixed(6000, 0), 52.0e6},
      {"short vertical 20-j300", fixed(20, -300), 7.1e6},
      {"whip 15-j600", fixed(15, -600), 14.2e6},
      {"loaded 30-j80", fixed(30, -80), 3.6e6},
  };

  // One load traced: ZELBENCH_TRACE="search f r x seed"
  if (const char* tr = getenv("ZELBENCH_TRACE")) {
    int search = 2, seed = 0;
    double f = 14.2e6, r = 50, x = 0;
    sscanf(tr, "%d %lf %lf %lf %d", &search, &f, &r, &x, &seed);
    Meter m;
    m.rng.seed(uint64_t(seed));
    traceRun = true;
    Run run = runMeasured(w, search, f, Cplx(r, x), TrueTuner(), &m, 1.5f);
    printf("steps %d swr %.2f best %.2f\n", run.steps, run.swr, physExhaustiveBest(f, Cplx(r, x)).swr);
    return 0;
  }
  // First the table search alone with an ideal meter, load by load.
  tunerConfig.search = TUNE_SEARCH_TABLE;
  printf("Table search, ideal meter. Autotune against the L-network model (C step %.0f pF, L step %.2f uH, Q L %.0f, Q C %.0f)\n\n",
         kPhysCapStep * 1e12, kPhysIndStep * 1e6, kPhysQInd, kPhysQCap);
  for (float target : {0.0f, 1.5f}) {
    printf("SWR target %s\n", target > 0 ? "1.5" : "off (full search)");
    printf("%-20s %8s %18s %6s %8s %-14s %9s %-14s\n", "load", "f MHz", "Z load", "steps", "SWR", "found",
           "best SWR", "best setting");
    int totalSteps = 0, within = 0, matched = 0, matchable = 0;
    double sumGap = 0;
    auto t0 = std::chrono::steady_clock::now();
    for (const BenchLoad& b : loads) {
      Cplx z = physLoadImpedance(b.load, b.f);
      Result r = runOne(w, b.f, z, target);
      PhysBest best = physExhaustiveBest(b.f, z);
      char zs[32], found[32], bs[32];
      snprintf(zs, sizeof zs, "%.0f%+.0fj", z.real(), z.imag());
      snprintf(found, sizeof found, "%s C%d L%d", modeName(r.mode), r.c, r.l);
      snprintf(bs, sizeof bs, "%s C%d L%d", modeName(best.mode), best.c, best.l);
      printf("%-20s %8.3f %18s %6d %8.2f %-14s %9.2f %-14s\n", b.name, b.f / 1e6, zs, r.steps, r.swr, found,
             best.swr, bs);
      totalSteps += r.steps;
      sumGap += r.swr - best.swr;
      if (r.swr <= best.swr + 0.3) ++within;
      if (best.swr < 1.5) {
        ++matchable;
        if (r.swr < 1.5) ++matched;
      }
    }
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    int n = int(sizeof loads / sizeof loads[0]);
    printf("\nTotals: %d loads, %d steps (%.1f per run), %d within 0.3 of the best, %d of %d matchable loads "
           "below 1.5, mean SWR above the best %.2f (%.0f ms with the exhaustive searches)\n\n",
           n, totalSteps, double(totalSteps) / n, within, matched, matchable, sumGap / n, ms);
  }
  printf("The three searches under a meter with +-2 %% noise per reading, 12-bit readings and the SWR cap;\n"
         "target 1.5, step limit 300. Steps count status replies end to end, as a count on the wire does: from the\n"
         "first reply after the set-up batch to the reply that ends the run (the table's 3 start replies included;\n"
         "the model search reads the word in place with the first reply and, when its result is not that word,\n"
         "spends one more reply on it before storing it). <1.5 and <1.2 are\n"
         "counts or shares of the matchable runs (optimum below 1.5); SWR - opt is the mean over the matchable runs,\n"
         "unmatchable the final SWR above the optimum of the others (mean / worst); relay bits are bank and mode\n"
         "relays switched per run; heaviest step is the longest single call of the search, in processor time and\n"
         "on the wall clock (which counts the time the benchmark is scheduled out on a busy machine).\n\n");
  TrueTuner nominal;
  std::vector<Case> benchCases;
  for (const BenchLoad& b : loads) {
    Cplx z = physLoadImpedance(b.load, b.f);
    benchCases.push_back({b.f, z, nominal, physExhaustiveBest(b.f, z).swr});
  }
  evaluate(w, "Bench, ideal meter", benchCases, 1, true, 1, false);
  // The step limit bounds table and rescue together: with the longest one
  // the table's full scan of the 20 m dipole leaves room for a rescue.
  capIdx = 0;
  evaluate(w, "Bench, ideal meter, step limit 600", benchCases, 1, true, 1, false);
  capIdx = 2;
  evaluate(w, "Bench", benchCases, 10, false, 1000000, true);

  // 500 loads (load seed 1000): f log-uniform over 1.8-54 MHz, |G| uniform
  // over 0.5-0.98, phase uniform.
  std::vector<Case> randomCases;
  std::mt19937_64 lrng(1000);
  std::uniform_real_distribution<double> u01(0, 1);
  for (int i = 0; i < 500; ++i) {
    double f = 1.8e6 * std::pow(54.0 / 1.8, u01(lrng));
    double g = 0.5 + 0.48 * u01(lrng);
    double ph = 2 * kPi * u01(lrng);
    Cplx gam = std::polar(g, ph);
    Cplx z = kPhysZ0 * (1.0 + gam) / (1.0 - gam);
    randomCases.push_back({f, z, nominal, physExhaustiveBest(f, z).swr});
  }
  evaluate(w, "Random", randomCases, 3, false, 2000000, false);

  // Every load on its own tuner off the model (3 % bit tolerance, 15 pF at
  // each port, 0.1 uH wiring); the search keeps the nominal model.
  std::vector<Case> tolBench = benchCases, tolRandom = randomCases;
  for (size_t i = 0; i < tolBench.size(); ++i) {
    tolBench[i].tuner = mismatchedTuner(7000 + i);
    tolBench[i].best = trueBest(tolBench[i].tuner, tolBench[i].f, tolBench[i].z);
  }
  for (size_t i = 0; i < tolRandom.size(); ++i) {
    tolRandom[i].tuner = mismatchedTuner(9000 + i);
    tolRandom[i].best = trueBest(tolRandom[i].tuner, tolRandom[i].f, tolRandom[i].z);
  }
  evaluate(w, "Bench, tuner off the model", tolBench, 3, false, 3000000, true);
  evaluate(w, "Random, tuner off the model", tolRandom, 1, false, 4000000, false);
  evaluatePredicted(w);

  delete w;
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  return 0;
}
