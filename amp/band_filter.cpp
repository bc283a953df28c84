#include "amp/band_filter.h"

#include <cstdio>

#include "amp/cmd_queue.h"
#include "core/tables.h"
#include "core/works.h"

void SetFilterFromfreq(Works* w) {
  long f = w->freq.load();
  for (int row = 0; row < 8; row++) {
    const FilterRow& r = w->filterTab[row];
    if (r.enabled != 1 || f < static_cast<long>(r.start) || f > static_cast<long>(r.stop)) continue;
    uint8_t b = static_cast<uint8_t>(1u << row);
    if (b == w->filterSel) return;
    w->filterSel = b;
    IncPNTIn_CMDLinear(w, CMD_SF_FILTER);
    fprintf(stderr, ">>>>>>>>>>>>>>> SET FILTER: %i!!\n", row + 1);
    return;
  }
}

void EnDisFilter(Works* w, int enabled) {
  int row = w->filterEditIdx;
  if (row < 0 || row > 7) return;
  w->filterTab[row].enabled = static_cast<uint8_t>(enabled);
  SetFilterFromfreq(w);
  SaveTabFiltri(w);
}
