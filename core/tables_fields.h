// Band-table fields of the shared record (config.txt, ventola.txt,
// filter.txt).
#pragma once
#include <cstdint>
#include <memory>

// One band-configuration row: calibration factors (power in W =
// factor x raw^2) and protection thresholds for a frequency range.
struct ConfigRow {
  uint32_t fStart = 0;  // Hz
  uint32_t fEnd = 0;    // Hz
  float K0 = 0;         // forward factor
  float K1 = 0;         // reflected factor
  float K2 = 0;         // input factor
  float K3 = 0;         // directivity correction
  float calP = 0;       // forward calibration point (power, reading), printed only
  float calR = 0;
  float PWIN = 0;       // input-power threshold, W
  float Corrente = 0;   // current threshold, A
  float REFL = 0;       // reflected-power threshold, W
  float FWD = 0;        // forward-power threshold, W
  int tuneParA[5] = {};
  int tuneParB[5] = {};
  int step = 0;
};

// One fan-curve row: from this temperature on, this fan step.
struct FanRow {
  float temp = 0;  // degrees C
  int step = 0;    // percent
};

// One output filter, rows in activation order.
struct FilterRow {
  uint32_t start = 0;  // Hz
  uint32_t stop = 0;   // Hz
  uint8_t enabled = 0; // 1 = enabled
};

struct TablesFields {
  // Loaded once at start-up; the arrays are owned here.
  std::unique_ptr<ConfigRow[]> configRows;
  int configCount = 0;
  std::unique_ptr<FanRow[]> fanRows;
  int fanCount = 0;

  FilterRow filterTab[8] = {};
  uint8_t filterSel = 0;  // bit of the selected filter (1 << row), 0 = none yet
  int filterEditIdx = 0;  // row the filter menu edits
};
