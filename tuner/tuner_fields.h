// Tuner fields of the shared record (antenna tables, banks, tune memory,
// autotune state).
#pragma once
#include <atomic>
#include <cstdint>

struct TunerFields {
  uint8_t AmpBypassFlag = 0;   // 1 = amplifier bypassed (standby)
  uint8_t AtuBypassFlag = 0;   // 1 = tuner bypassed
  uint32_t Tuneval = 0;        // tune word: C, L and network mode
  int ValC = 0;                // capacitor value 0..511
  int ValI = 0;                // inductor value 0..511
  std::atomic<uint8_t> TuneRunState{0};  // 0 polling, 1 autotune step, 2 send "CP", 3 send "ST"
  int tabColSel = 0;           // antenna-table editor column
};
