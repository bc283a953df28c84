#include "core/globals.h"
#include "core/works.h"

#include <chrono>
#include <syslog.h>
#include <thread>

#include "core/setup.h"
#include "platform/log.h"
#include "core/thresholds.h"

// The defaults of the shared record; the setup reader runs this again
// before it parses the file.
void InitGlobalVar(Works* w) {
  w->running = w->stopRequested.load() != 0 ? 0 : 1;
  w->started = 1;
  w->failCode = 0;
  w->ampConfig = 255;
  w->ampModel = 255;
  w->audioFrame = 240;
  w->audioFormat = 2;
  w->audioRate = 48000;
  w->CycleSleep = 10000;
  w->ViewIdx = 1;
  w->freq = 14070000;
  w->LastFreq = 14070000;
  w->SpectrumSpan = 160000;
  // The thresholds and the row they belong to go back together, so the
  // next frequency check sends the band's own set again.
  ResetSoglieTS(w);
  w->tinyCmd = 176;
  w->errorsMuted = 1;
  w->AmpBypassFlag = 1;
  w->fanStepSent = -1;
  w->ModeWorkIdx = -1;
  w->AntennaRowIdx = -1;
  w->tabColSel = -1;
  number_ofStep_meter_FWD = 60;
  number_ofStep_meter_REFL = 60;
  number_ofStep_meter_SWR = 60;
  number_ofStep_meter_PW = 60;
  // Every setting that setup.txt saves from works or a global.
  setupDefaultsInForce(w);
}


void PostTinyCmd(Works* w, unsigned char code) {
  // Only the GPIO thread empties the mailbox. Without it (thread off, or a
  // dead front panel) waiting for ever would hang the caller, so the wait
  // is bounded and the code dropped.
  for (int i = 0; i < 500; i++) {
    uint8_t expected = 0;
    if (w->tinyCmdReq.compare_exchange_strong(expected, code)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  zlog(LOG_ERR, "front panel mailbox busy, code %d dropped", code);
}
