// How well the controller's autotune search does on realistic loads: the
// search runs in-process, one step per simulated status reply, against the
// L-network model; each result is set beside the best SWR that any of the
// 2 x 512 x 512 network settings reaches. A report for people.
#include "sim/physics.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "amp/linear.h"
#include "core/setup_record.h"
#include "core/works.h"
#include "tuner/autotune.h"
#include "tuner/tune_memory.h"

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

  printf("Autotune against the L-network model (C step %.0f pF, L step %.2f uH, Q L %.0f, Q C %.0f)\n\n",
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
  delete w;
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  return 0;
}
