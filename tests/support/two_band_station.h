// A small station the panel tests share: antenna table and filters for
// 40 m and 20 m, and three config.txt rows with the given power factors.
#pragma once
#include "core/works.h"

inline void installTwoBandStation(Works* w, float k0, float k1, float k2) {
  w->NumRowAntenna = 2;
  w->tabAntenna[0] = AntennaRow{"40m", 7000000, 7300000, 1, 2, 0, 0, 100};
  w->tabAntenna[1] = AntennaRow{"20m", 14000000, 14350000, 1, 1, 0, 0, 100};
  w->filterTab[0] = FilterRow{7000000, 7300000, 1};
  w->filterTab[1] = FilterRow{14000000, 14350000, 1};
  w->configRows.reset(new ConfigRow[3]);
  w->configCount = 3;
  const uint32_t starts[3] = {1000000, 10000000, 30000000};
  for (int i = 0; i < 3; i++) {
    ConfigRow& r = w->configRows[i];
    r.fStart = starts[i];
    r.K0 = k0;
    r.K1 = k1;
    r.K2 = k2;
    r.PWIN = 5;
    r.FWD = 100;
    r.REFL = 20;
    r.Corrente = 10;
  }
}
