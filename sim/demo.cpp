#include "sim/demo.h"

#include <chrono>
#include <cstdio>
#include <sys/stat.h>
#include <thread>

namespace {

struct DemoBand {
  long hz;         // where the operator parks the dial
  bool keyCarrier;  // whether the operator transmits on the first visit
};

// FT8 calling frequencies: a station that works the bands.
const DemoBand kBands[] = {
    {1840000, false},  {3573000, true},   {5357000, true},   {7074000, true},
    {10136000, false}, {14074000, true},  {18100000, false}, {21074000, true},
    {24915000, false}, {28074000, true},  {50313000, true},
};

const int kDwellMs = 8000;     // time on each band, receiving
const int kKeyAtMs = 2500;     // when the carrier goes on within a dwell
const int kMaxKeyMs = 40000;   // the operator lets go if no tuner ends the carrier
const int kDriveWatts = 10;    // drive while the radio transmits (a tune carrier)

bool isTx(const std::string& state) { return state.find(" tx=1") != std::string::npos; }

}  // namespace

std::vector<std::string> demoSetupLines() {
  // "Enable ZEL Tune": a transmission from the radio starts an autotune.
  // A run ends as soon as the SWR is below 1.5.
  return {"AutoTuneMode: 1", "NumBanco: 1", "ViewTimeStr: 1", "SWRescAutoTune: 150"};
}

bool demoPrepareRoot(const std::string& root) {
  const std::string path = root + "/opt/set/antenna_b1.txt";
  struct stat sb;
  if (stat(path.c_str(), &sb) == 0) return true;
  FILE* f = fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  // Bank 1 follows the companion radio. Antenna 1 is a dipole cut for
  // 40 m, antenna 2 an end-fed wire, antenna 3 a dummy load standing in
  // for a resonant beam on the bands where the wires are hopeless.
  fputs("!Zel\n", f);
  fputs(";band low high amp ant atubypass att pwr\n", f);
  fputs("160m 1800000 2000000 1 3 0 0 0.0\n", f);
  fputs("80m 3500000 3800000 1 2 0 0 0.0\n", f);
  fputs("60m 5300000 5500000 1 1 0 0 0.0\n", f);
  fputs("40m 7000000 7200000 1 1 0 0 0.0\n", f);
  fputs("30m 10100000 10150000 1 3 0 0 0.0\n", f);
  fputs("20m 14000000 14350000 1 3 0 0 0.0\n", f);
  fputs("17m 18068000 18168000 1 3 0 0 0.0\n", f);
  fputs("15m 21000000 21450000 1 1 0 0 0.0\n", f);
  fputs("12m 24890000 24990000 1 3 0 0 0.0\n", f);
  fputs("10m 28000000 29700000 1 1 0 0 0.0\n", f);
  fputs("6m 50000000 52000000 1 2 0 0 0.0\n", f);
  return fclose(f) == 0;
}

void demoRun(const std::function<std::string(const std::string&)>& control, const std::atomic<bool>* quit) {
  control("amp load 1 dipole");
  control("amp load 2 endfed");
  control("amp load 3 dummy");
  control("radio sweep off");
  const int nBands = static_cast<int>(sizeof kBands / sizeof kBands[0]);
  int band = 0, visit = 0;
  while (!*quit) {
    const DemoBand& b = kBands[band];
    char line[64];
    snprintf(line, sizeof line, "radio freq %ld", b.hz);
    control(line);
    // Transmit on the first round through the bands, then on every third
    // dwell: the tunings found on the first round are recalled later on.
    const bool key = visit < nBands ? b.keyCarrier : (visit % 3 == 0);
    int keyedFor = -1;  // ms the carrier has been on; -1 = not keyed
    bool driving = false;
    // The dial stays put while the radio transmits: with automatic tuning
    // the controller sends the radio back to receive when the run ends.
    for (int t = 0; (t < kDwellMs || driving) && !*quit; t += 100) {
      if (key && t == kKeyAtMs) {
        control("radio tx 1");
        keyedFor = 0;
      }
      if (keyedFor >= 0 && (keyedFor += 100) > kMaxKeyMs) {
        control("radio tx 0");
        keyedFor = -1;
      }
      // The amplifier sees drive whenever the radio transmits, whether the
      // operator keyed it or the controller asked for a tune carrier.
      const bool tx = isTx(control("radio state"));
      if (tx != driving) {
        snprintf(line, sizeof line, "amp drive %d", tx ? kDriveWatts : 0);
        control(line);
        driving = tx;
        if (!tx) keyedFor = -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (driving) control("amp drive 0");
    band = (band + 1) % nBands;
    visit++;
  }
}
