// The operator's description of the tuner bank, "/opt/set/tuner.txt": which
// autotune search runs, and the real part values the model search fits
// against. The file is optional; every key missing or unreadable keeps its
// default.
#pragma once
#include <cstdio>

enum TuneSearchKind {
  TUNE_SEARCH_TABLE = 0,   // the step-by-step table search alone
  TUNE_SEARCH_RESCUE = 1,  // the table, then the model search when it ends above the target
  TUNE_SEARCH_MODEL = 2,   // the model search from the start
};

struct TunerConfig {
  int search = TUNE_SEARCH_RESCUE;
  double capBitPf[9];      // capacitor bank bit values, pF
  double indBitUh[9];      // inductor bank bit values, uH
  double strayTxPf = 0;    // stray capacitance at the transmitter port
  double strayAntPf = 0;   // stray capacitance at the antenna port
  double wiringUh = 0;     // series wiring inductance in the inductor path
  double qL = 120;         // inductor Q (series loss)
  double qC = 1500;        // capacitor Q (parallel loss)
  TunerConfig();
};

// The configuration in force. Loaded once at start-up before the threads
// start; read by the Linear thread only afterwards.
extern TunerConfig tunerConfig;

// Reads the lines of an open file over cfg. A malformed line is reported
// and skipped, so its key keeps the value it had. Returns the number of
// lines rejected.
int ParseTunerConfig(FILE* f, TunerConfig* cfg);
// Loads "/opt/set/tuner.txt" into tunerConfig from the defaults; a missing
// file leaves the defaults.
void LoadTunerConfig();
