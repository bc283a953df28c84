#include "platform/heartbeat.h"
#include "screens/timer.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <syslog.h>
#include <unistd.h>

#include "amp/amp_status.h"
#include "amp/cmd_queue.h"
#include "amp/linear.h"
#include "amp/temperature.h"
#include "amp/band_filter.h"
#include "core/tables.h"
#include "core/works.h"
#include "display/fb.h"
#include "display/png.h"
#include "display/text.h"
#include "screens/buttons.h"
#include "screens/utility.h"
#include "screens/work_image.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "radio/hamlib_link.h"
#include "radio/zel_link.h"
#include "remote/remote_senders.h"
#include "screens/meters.h"
#include "tuner/recall.h"

const int SaveScreen[5] = {5, 10, 20, 30, 60};
const char SaveScreenVal[5][8] = {"5min", "10min", "20min", "30min", "60min"};

static void loadBackground(Works* w, const char* name) {
  snprintf(w->imgName, sizeof w->imgName, "%s", name);
  getPng(w, 1);
  fbSetBack(w->fb);
}

void TimerInit(Works* w, TimerState* st) {
  // Start-up leaves its status picture up; the first cycle replaces it by
  // the work screen of the view in force, so the meters get their scales.
  w->ReloadImg = 1;
  anglePeakFWD = 0;
  anglePeakRight = 0;
  zlog(LOG_INFO, "Timer thread started");
  InitGrid();
  st->logTempAccMs = 0;
  st->carryUs = 0;
  st->lastTempRead = 0;
  st->hs = TuneHandshake();
}

bool TimerFailScreen(Works* w) {
  if (w->failCode >= 1) {
    // The picture stays in the background buffer: decode it once, not every cycle.
    const char* pic = w->ampModel == '1' ? "start120" : "start";
    if (strcmp(w->imgName, pic) != 0) loadBackground(w, pic);
    fbSetBack(w->fb);
    char buf[128];
    snprintf(buf, sizeof buf, "Error! %s", w->failText);
    putString(9, 130, 300, buf, 255, 255, 255, w->fb, 0, 0, 0, 0);
    w->MenuIdx = 5;
    LoadButtons(w);
    return true;
  }
  if (w->failCode == -1) {
    w->MenuIdx = 0;
    SetWorkImg(w);
    // Only the dismissal is cleared: a link restarted by Retry that failed
    // again meanwhile has stored its own code, which stays to be shown.
    int dismissed = -1;
    w->failCode.compare_exchange_strong(dismissed, 0);
    return true;
  }
  return false;
}

void TimerScreenSaver(Works* w) {
  int idx = w->SaveScreenIdx;
  if (idx < 0 || idx > 4) idx = 4;  // an unknown setting waits longest
  long minutes = static_cast<long>((monoSeconds() - w->LastActivity.load()) / 60);
  if (minutes >= SaveScreen[idx] && w->ScreenSaverOn == 0) {
    w->ScreenSaverOn = 1;
    loadBackground(w, "start");
  }
}

// The amplifier's antenna setting follows the radio's, once per change.
static void resetAnState(Works* w) {
  if (w->anState > 0) {
    w->anState = 0;
    IncPNTIn_CMDLinear(w, CMD_AN);
  }
}

long TimerFreqSource(Works* w, ZelParam* rec) {
  switch (w->ModeWorkIdx.load()) {
    case 1:
      getParameters(w, rec);
      w->freq = rec->freq;
      break;
    case 2:
      resetAnState(w);
      w->freq = w->catSerFreq.load();
      break;
    case 0:
      w->freq = GetAmpStatus(w).freqMeasured;
      resetAnState(w);
      break;
    case 3: {
      resetAnState(w);
      // Until rigctld has given a frequency the last one stays.
      long f = w->hamFreq.load();
      if (f > 0) w->freq = f;
      break;
    }
    default:  // no interface chosen yet: the frequency stays
      break;
  }
  return w->freq;
}

bool TimerFreqChange(Works* w) {
  long f = w->freq;
  if (f == w->LastFreq && w->AntennaRowIdx != -1) return false;
  if (w->ModeWorkIdx != 0) IncPNTIn_CMDLinear(w, CMD_FA);
  SetFilterFromfreq(w);
  SearchCambioSoglie_TS(w);
  GestioneAntennaAutomatica(w);
  w->LastFreq = f;
  return true;
}

void TimerRadioFollow(Works* w, const ZelParam& rec, TimerState* st) {
  if (w->ModeWorkIdx == 3) {
    HamlibFollowPtt(w, &st->hamPtt);
    return;
  }
  if (w->ModeWorkIdx != 1) return;
  w->RadioTx = rec.txState == 1 ? 1 : 0;
  if (rec.radioAn != w->anState && w->TuneRunState != 1 && w->RadioTx == 0 &&
      (w->txReqFlags & 0x30) == 0) {
    w->anState = rec.radioAn;
    IncPNTIn_CMDLinear(w, CMD_AN);
  }
  if (w->tuneFlags & 0x01) TuneCarrierHandshake(w, &st->hs);
}

void TimerReadCpuTemp(Works* w, TimerState* st) {
  if (w->ScreenSaverOn != 0) return;
  // The board temperatures change slowly; the script runs once a second.
  time_t now = st->wall(nullptr);
  if (now != st->lastTempRead) {
    st->lastTempRead = now;
    ReadCPUTemp(w);
  }
}

void TimerDraw(Works* w, TimerState* st) {
  if (w->ScreenSaverOn != 0) return;
  ReadDataOra(w, st->wall(nullptr));
  if (w->ViewTimeStr && w->overlay == 0) {
    int wd = getStringSpace(6, w->DataOraStr);
    putString(6, 780 - wd, 17, w->DataOraStr, 255, 255, 255, w->fb, 0, 0, 0, 0);
  }
  if (w->ReloadImg == 1) {
    snprintf(w->imgName, sizeof w->imgName, "%s", w->ampModel == '1' ? "img1b" : "img1");
    getPng(w, 1);
    fbSetBack(w->fb);  // this frame already stands on the new picture
    w->ReloadImg = 0;
  }
  LoadButtons(w);
  if (w->overlay == 0) {
    if (w->ViewIdx <= 3)
      DrawMeters(w);
    else if (w->ViewIdx == 4 || w->ViewIdx == 5)
      DrawGrid(w);
  }
}

void TimerFrameSwitch(Works* w, TimerState* st) {
  int view = w->ViewIdx, menu = w->MenuIdx, overlay = w->overlay, saver = w->ScreenSaverOn;
  if (view != st->lastView || menu != st->lastMenu || overlay != st->lastOverlay ||
      saver != st->lastSaver)
    fbFullFrame(w->fb);
  st->lastView = view;
  st->lastMenu = menu;
  st->lastOverlay = overlay;
  st->lastSaver = saver;
}

void TimerSendStatus(Works* w) {
  // The station tells its operator; an operator unit's own status would
  // only be printed by the station, a hundred times a second.
  if (w->remoteConnected.load() == 0 || w->setup == nullptr || runByte(w->setup->WebSocket) != '1') return;
  char status[53];
  CreaBufferDiStato(w, status);
  sendWebSockStatusFrame(w, status, 44);
}

void TimerSoftTimers(Works* w, TimerState* st, int elapsedMs) {
  if (elapsedMs < 0) elapsedMs = 0;
  int hold = w->commErrHoldMs.load();
  while (hold > 0) {
    int next = hold > elapsedMs ? hold - elapsedMs : 0;
    if (w->commErrHoldMs.compare_exchange_weak(hold, next)) break;
  }
  PeakDecay(peakLeft, elapsedMs);
  PeakDecay(peakRight, elapsedMs);
  if (w->EnableLOGTemp == 1 && w->logTempRestarted) {
    st->logTempAccMs += elapsedMs;
    if (st->logTempAccMs >= 5000) {
      LogTempFunction(w, 0);
      st->logTempAccMs = 0;
    }
  }
}

void TimerCycle(Works* w, TimerState* st, bool sleep) {
  st->cycleStartUs = st->now();
  st->wallStart = time(nullptr);
  // The operator's actions first: the frame then shows what they did.
  if (w->hooks.applyPanelEvents != nullptr) w->hooks.applyPanelEvents(w);
  // The control steps run outside the drawing lock: they queue commands
  // and run the "my_temp" script, and the key dispatch must not wait for
  // them. A failure screen holds the following, as it always did; with no
  // panel at all the station is still followed.
  if (w->fb == nullptr || w->failCode.load() == 0) {
    ZelParam rec{};
    TimerFreqSource(w, &rec);
    TimerFreqChange(w);
    TimerRadioFollow(w, rec, st);
    if (w->fb != nullptr) TimerReadCpuTemp(w, st);
  }
  if (w->fb != nullptr) {
    // One whole frame at a time: the key dispatch draws into the same buffer.
    std::lock_guard<std::recursive_mutex> lk(drawMutex());
    TimerFrameSwitch(w, st);
    fbFrameBegin(w->fb);
    if (!TimerFailScreen(w)) {
      TimerScreenSaver(w);
      TimerDraw(w, st);
    }
    fbFrameEnd(w->fb);
  }
  // Outside the drawing lock: a slow peer holds up this cycle only, not
  // the other threads that draw, and no lock is held inside another.
  TimerSendStatus(w);
  // The rest ends early when an operator action comes.
  if (sleep) w->panelQ.waitForEvent(w->CycleSleep);
  // Wall time on the monotonic clock: the hold-offs and the peak hold last
  // what they say whatever share of a core the controller gets.
  int64_t us = st->now() - st->cycleStartUs + st->carryUs;
  if (us < 0) us = 0;
  st->carryUs = us % 1000;
  int64_t ms = us / 1000;
  TimerSoftTimers(w, st, static_cast<int>(ms > 1000000 ? 1000000 : ms));
}

void timer(Works* w) {
  TimerState st;
  TimerInit(w, &st);
  BeatScope watched(Beat::Timer);
  while (w->running != 0) {
    beat(Beat::Timer);
    stallIfAsked(Beat::Timer, w->running);
    TimerCycle(w, &st, true);
  }
  zlog(LOG_INFO, "Timer operations end\n");
}
