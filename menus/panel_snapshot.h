// The panel-owned values a network client reads, as one copy the timer
// thread publishes after applying the operator's events (PanelPublish):
// other threads never read those fields while the timer changes them.
#pragma once
#include <cstdint>

struct Works;

struct PanelSnapshot {
  uint32_t seq = 0;        // publications so far (0: never published)
  int bank = 0;            // NumBanco
  char band[8] = {};       // band name of the antenna-table row in use ("" outside every row)
  int attStep = 0;         // attenuator step applied (index 0..3: 0, 2, 3, 5 dB)
  bool manualTune = false; // manual tuning page on
  int page = 0;            // menu page shown
  bool ampLink = false;    // the amplifier's status replies keep coming
};

// The last copy published.
PanelSnapshot GetPanelSnapshot(Works* w);
// The attenuator steps in dB, index = step.
constexpr int kAttStepsDb[4] = {0, 2, 3, 5};
