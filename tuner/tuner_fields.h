// Tuner fields of the shared record (antenna tables, banks, tune memory,
// autotune state).
#pragma once
#include <atomic>
#include <cstdint>

#include "tuner/autotune.h"

// One band row of a bank's antenna table.
struct AntennaRow {
  char bandName[8];   // at most 7 characters
  int32_t freqLow;    // Hz, inclusive
  int32_t freqHigh;   // Hz, inclusive
  uint8_t AmpEnable;  // 1 amplifier in operation, 0 bypassed
  uint8_t Ant;        // antenna 1..3, 0 = no change
  uint8_t AtuBypass;  // 1 tuner bypassed
  uint8_t Att;        // attenuator step, index into AttVectStr
  float Pwr;          // the band's power value
};

// One tune-memory entry (6 bytes, packed).
#pragma pack(push, 1)
struct TuneRec {
  uint8_t valid;  // non-zero: the entry holds a tuning
  uint8_t mode;   // 0 none, 1 CL, 2 LC, 3 bypass
  uint16_t L;
  uint16_t C;
};
#pragma pack(pop)
static_assert(sizeof(TuneRec) == 6, "tune record is 6 bytes");

constexpr int kAntennaRows = 11;
constexpr int kTuneSlots = 5000;
constexpr int kTuneAntennas = 3;

struct TunerFields {
  std::atomic<uint8_t> AmpBypassFlag{0};  // 1 = amplifier bypassed (standby)
  std::atomic<uint8_t> AtuBypassFlag{0};  // 1 = tuner bypassed
  std::atomic<uint32_t> Tuneval{0};        // tune word: C, L and network mode
  std::atomic<uint8_t> TuneRunState{0};  // 0 polling, 1 autotune step, 2 send "CP", 3 send "ST"
  int tabColSel = 0;           // antenna-table editor column

  // Antenna table of the active bank
  AntennaRow tabAntenna[kAntennaRows] = {};
  int NumRowAntenna = 0;

  // Tune word decoded, and its lock
  std::atomic<int> ValC{0};                // capacitor 0..511
  std::atomic<int> ValI{0};                // inductor 0..511
  std::atomic<uint8_t> ModoTune{0};        // 0 none, 1 CL, 2 LC, 3 bypass
  std::atomic<uint8_t> SemaforoTuneval{0};  // 1 while a thread changes Tuneval

  // Tune memory of the active bank: one table per antenna, indexed by slot
  TuneRec TabTune[kTuneAntennas][kTuneSlots] = {};

  // Autotune
  std::atomic<int> TuneState{0};           // search step 0..12
  float TuneBestSWR = 0;       // SWR of the restored best setting
  std::atomic<int> RadioTx{0}; // 1 while the companion radio transmits
  TuneSearch tuneSearch;       // the search's own state (tuner/autotune.h)

  // Band-configuration row whose thresholds were sent last; -1 = resend.
  // Starts at -1 so the band's thresholds go out at start-up whatever row
  // the frequency falls in.
  std::atomic<int> SoglieRowIdx{-1};
  // 1 while the antenna in use was chosen by the antenna table (the main
  // page shows "Auto N"), 0 once the operator picked one.
  std::atomic<uint8_t> antennaAuto{0};
  // The band's thresholds last queued (a row's or the defaults), restored
  // after an autotune opened the input-power threshold.
  int tsBandSet[4] = {4095, 4095, 1500, 3700};
};
