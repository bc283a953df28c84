#include "tuner/recall.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "amp/cmd_queue.h"
#include "core/thresholds.h"
#include "core/works.h"
#include "tuner/antenna.h"
#include "tuner/load_fit.h"
#include "tuner/tune_memory.h"

// A table row with a zero or broken factor must not turn into an
// undefined conversion: it leaves that threshold wide open (4095).
int SogliaRaw(float watts, float factor) {
  double v = double(watts) / double(factor);
  if (!(factor > 0) || !std::isfinite(v)) return 4095;
  if (v <= 0) return 0;
  v = std::sqrt(v);
  return v >= 4095 ? 4095 : int(v);
}

static int currentRaw(float amps) {
  double v = double(amps) * 4096.0 / 14.05;
  if (!std::isfinite(v) || v >= 4095) return 4095;
  return v <= 0 ? 0 : int(v);
}

void OpenInputSoglieTS(Works* w) {
  std::lock_guard<std::mutex> lk(w->tsMut);
  int v[4];
  for (int i = 0; i < 4; ++i) v[i] = w->SoglieTS[i];
  v[0] = 4095;  // no input-power trip while the tuner searches
  publishThresholdsLocked(w, v, 0, false);
}

// The choice of SearchCambioSoglie_TS; returns true when a set was published.
static bool searchLocked(Works* w, bool forced) {
  long f = w->freq.load();
  int n = w->configCount;
  const ConfigRow* rows = w->configRows.get();
  if (forced) w->SoglieRowIdx = -1;
  if (n > 0 && rows != nullptr && f != 0) {
    fprintf(stderr, "Soglia TS (freq %ld):\n", f);
    int row = -1;
    for (int i = 0; i + 1 < n; ++i) {
      if (long(rows[i].fStart) <= f && f < long(rows[i + 1].fStart)) {
        row = i;
        break;
      }
    }
    if (row < 0) {
      // Outside every row the thresholds last sent stay; but when a resend
      // is forced (after a tune opened the input-power threshold, after the
      // link came back) the band set last in force goes out again.
      if (!forced) return false;
      int v[4];
      for (int i = 0; i < 4; ++i) v[i] = w->tsBandSet[i];
      publishThresholdsLocked(w, v, kThresholdsDefaultsRow, true);
      return true;
    }
    if (row == w->SoglieRowIdx) return false;
    const ConfigRow& r = rows[row];
    const int v[4] = {SogliaRaw(r.PWIN, r.K2), SogliaRaw(r.FWD, r.K0), SogliaRaw(r.REFL, r.K1),
                      currentRaw(r.Corrente)};
    publishThresholdsLocked(w, v, row, true);
    return true;
  }
  if (w->SoglieRowIdx < 0) {
    // The defaults are no row's thresholds: recording row 0 here would keep
    // row 0's own thresholds from ever being sent once a frequency in it
    // comes along.
    publishThresholdsLocked(w, kDefaultThresholds, kThresholdsDefaultsRow, true);
    return true;
  }
  return false;
}

void SearchCambioSoglie_TS(Works* w) {
  bool queue;
  {
    std::lock_guard<std::mutex> lk(w->tsMut);
    queue = searchLocked(w, false);
  }
  if (queue) IncPNTIn_CMDLinear(w, CMD_TS);
}

void ResendSoglieTS(Works* w) {
  bool queue;
  {
    std::lock_guard<std::mutex> lk(w->tsMut);
    queue = searchLocked(w, true);
  }
  if (queue) IncPNTIn_CMDLinear(w, CMD_TS);
}

void GestioneLoadTuneVal(Works* w) {
  if (w->TuneRunState.load() != 0) return;
  int first = 0, end = 0;
  int slot = AtuIdxSearch(w->freq.load(), nullptr, nullptr, &first, &end);
  // With the model search, a slot nobody tuned between stored ones gets
  // the match of the load they predict (the recall computes it again).
  if (PredictedTuning(w, w->AntennaIdx, w->freq.load(), nullptr))
    IncPNTIn_CMDLinear(w, CMD_MT1_MEM);
  else if (EsisteTuneValInTabRam(w, slot, first, end, w->AntennaIdx))
    IncPNTIn_CMDLinear(w, CMD_MT1_RESET);
  else
    IncPNTIn_CMDLinear(w, CMD_MT1_MEM);
}

void GestioneAntennaAutomatica(Works* w) {
  w->AntennaRowIdx = 100;
  int i = AntennaRowForFreq(w, w->freq.load());
  if (i < 0) return;
  w->AntennaRowIdx = i;
  const AntennaRow r = w->tabAntenna[i];

  if (r.Ant != 0 && r.Ant != w->AntennaIdx + 1) {
    w->AntennaIdx = r.Ant - 1;
    // The main page then shows "Auto N" (drawn from this flag by the timer).
    w->antennaAuto = 1;
    IncPNTIn_CMDLinear(w, CMD_SA);
  }

  if (r.AtuBypass == 1) {
    IncPNTIn_CMDLinear(w, CMD_MT1_BYPASS);
    fprintf(stderr, "TABLE CONFIG : BYPASS %i (%i)\n", r.AtuBypass, i);
  } else {
    GestioneLoadTuneVal(w);
  }

  if (r.AmpEnable != 0) {
    if (w->AmpBypassFlag == 1) IncPNTIn_CMDLinear(w, CMD_AB0);
    w->AttIdx = r.Att;
    if (w->Attenuator != r.Att) {
      w->Attenuator = r.Att;
      IncPNTIn_CMDLinear(w, CMD_AT);
    }
  } else if (w->AmpBypassFlag == 0) {
    IncPNTIn_CMDLinear(w, CMD_AB1);
  }
  // Labels are drawn from this state by the timer's button strip.
}
