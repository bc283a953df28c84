#include "amp/amp_status.h"

#include <cstring>
#include <mutex>

#include "core/works.h"

void PublishAmpStatus(Works* w) {
  AmpSnapshot s;
  memcpy(s.ampStatus, w->ampStatus, sizeof s.ampStatus);
  s.rawIn = w->rawIn;
  s.rawFwd = w->rawFwd;
  s.rawRefl = w->rawRefl;
  s.pwrIn = w->pwrIn;
  s.FWD = w->FWD;
  s.pwrRefl = w->pwrRefl;
  s.pwrPeak = w->pwrPeak;
  s.SWR = w->SWR;
  s.paCurrentRaw = w->paCurrentRaw;
  s.tempBoard = w->tempBoard;
  s.tempHeatsink = w->tempHeatsink;
  s.freqMeasured = w->freqMeasured;
  memcpy(s.ampVersion, w->ampVersion, sizeof s.ampVersion);
  memcpy(s.ampEeprom0, w->ampEeprom0, sizeof s.ampEeprom0);
  memcpy(s.ampEeprom1, w->ampEeprom1, sizeof s.ampEeprom1);
  s.replies = w->statusReplies;
  std::lock_guard<std::mutex> lk(w->ampSnapMut);
  w->ampSnap = s;
}

AmpSnapshot GetAmpStatus(Works* w) {
  std::lock_guard<std::mutex> lk(w->ampSnapMut);
  return w->ampSnap;
}
