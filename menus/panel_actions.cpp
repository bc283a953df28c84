// Network clients' actions, applied on the timer thread like the panel's
// own keys, and the copy of the panel's state those clients read.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "amp/amp_status.h"
#include "amp/cmd_queue.h"
#include "amp/errors.h"
#include "core/works.h"
#include "screens/labels.h"
#include "menus/panel_apply.h"
#include "menus/panel_snapshot.h"
#include "platform/clock.h"
#include "tuner/antenna.h"
#include "tuner/autotune.h"
#include "tuner/recall.h"

namespace {

// tuneFlags: automatic tune enabled; a finished run still handing the
// radio back to receive.
constexpr uint8_t kTfAutoMode = 0x01;
constexpr uint8_t kTfReturning = 0x08;

std::mutex g_snapMut;  // leaf: the copy only
PanelSnapshot g_snap;

void refuse(PanelReply* r, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void refuse(PanelReply* r, const char* fmt, ...) {
  r->refused = true;
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(r->reason, sizeof r->reason, fmt, ap);
  va_end(ap);
}

bool transmitting(Works* w) { return (GetAmpStatus(w).ampStatus[1] & 0x01) != 0; }

// The amplifier answers several status polls a second; none for 3 s is a
// dead link (error 4 stays listed after the link is back, until a reset,
// so the list does not tell). Timer thread only, like every caller.
struct LinkWatch {
  uint32_t replies = 0;
  int64_t changeMs = 0;
};
LinkWatch g_link;

bool ampRepliesFlowing(Works* w) {
  const uint32_t replies = GetAmpStatus(w).replies;
  const int64_t now = monoMicros() / 1000;
  if (replies != g_link.replies) {
    g_link.replies = replies;
    g_link.changeMs = now;
  }
  return replies > 0 && now - g_link.changeMs < 3000;
}

bool ampLinkDown(Works* w) {
  return w->linFD.load() < 0 || w->failCode.load() == 1 || !ampRepliesFlowing(w);
}

void tune(Works* w, PanelReply* r) {
  if (w->TUNEenabled & 0x80) return refuse(r, "no tuner installed");
  if (ampLinkDown(w)) return refuse(r, "the link to the amplifier is down");
  if (w->failCode.load() > 0) return refuse(r, "a link failure is shown on the panel");
  if (w->TuneRunState.load() != 0) return refuse(r, "a tune is already running");
  if (w->AtuBypassFlag.load() != 0) return refuse(r, "the tuner is bypassed");
  const uint8_t tf = w->tuneFlags.load();
  if (!(tf & kTfAutoMode)) return refuse(r, "automatic tuning is off");
  if (tf & kTfReturning) return refuse(r, "the last tune is still ending");
  w->keyFlags &= uint8_t(~0x02);
  GoTune(w);
  if (w->TuneRunState.load() == 0) refuse(r, "the tune did not start");
}

void tuneStop(Works* w, PanelReply* r) {
  if (w->TuneRunState.load() == 0) return refuse(r, "no tune is running");
  GoTune(w);  // with a run under way the TUNE key ends it without storing
}

// The attenuator key's own ways: steps 0..3, and standby (the amplifier
// bypassed) only while receiving.
void setAttenuatorStep(Works* w, int step) {
  w->AttSel = uint8_t(step);
  w->AttIdx = uint8_t(step);
  w->Attenuator = uint8_t(step);
  IncPNTIn_CMDLinear(w, CMD_AT);
  if (w->AmpBypassFlag == 1) IncPNTIn_CMDLinear(w, CMD_AB0);
  SaveToBank(w, w->NumBanco, w->AntennaIdx);
}

void standby(Works* w, bool on, PanelReply* r) {
  if (on) {
    if (transmitting(w)) return refuse(r, "the amplifier is transmitting");
    w->AttSel = 4;
    if (w->AmpBypassFlag == 0) IncPNTIn_CMDLinear(w, CMD_AB1);
    SaveToBank(w, w->NumBanco, w->AntennaIdx);
    return;
  }
  if (transmitting(w) && w->AmpBypassFlag == 1) return refuse(r, "the amplifier is transmitting");
  const int step = w->AttIdx.load();
  setAttenuatorStep(w, step >= 0 && step <= 3 ? step : 0);
}

void attenuator(Works* w, int step, PanelReply* r) {
  if (step < 0 || step > 3) return refuse(r, "no such attenuator step");
  if (transmitting(w) && w->AmpBypassFlag == 1) return refuse(r, "the amplifier is transmitting");
  setAttenuatorStep(w, step);
}

void antenna(Works* w, int n, PanelReply* r) {
  if (n < 1 || n > 3) return refuse(r, "no such antenna");
  if (w->TuneRunState.load() != 0) return refuse(r, "a tune is running");
  w->AntennaIdx = n - 1;
  w->antennaAuto = 0;  // picked by hand, as with the ANT key
  IncPNTIn_CMDLinear(w, CMD_SA);
  SaveToBank(w, w->NumBanco, w->AntennaIdx);
}

void bypass(Works* w, bool on, PanelReply* r) {
  if (w->TUNEenabled & 0x80) return refuse(r, "no tuner installed");
  if (w->TuneRunState.load() != 0) return refuse(r, "a tune is running");
  if ((w->AtuBypassFlag.load() != 0) == on) return;  // already so
  if (on) {
    w->AtuBypassFlag = 1;
    IncPNTIn_CMDLinear(w, CMD_MT1_BYPASS);
  } else {
    w->AtuBypassFlag = 0;
    GestioneLoadTuneVal(w);
  }
  SaveToBank(w, w->NumBanco, w->AntennaIdx);
  LabelByPassATU(w);
}

void errorReset(Works* w, PanelReply* r) {
  if (w->errFlags.load() == 0 && ExistAnError(w) < 0) return refuse(r, "no error to reset");
  GPIO_Errori(w);
}

}  // namespace

void PanelNetAction(Works* w, const PanelEvent& ev, PanelReply* reply) {
  switch (ev.act) {
    case PanelAct::Tune:
      tune(w, reply);
      break;
    case PanelAct::TuneStop:
      tuneStop(w, reply);
      break;
    case PanelAct::Standby:
      standby(w, ev.a != 0, reply);
      break;
    case PanelAct::Antenna:
      antenna(w, ev.a, reply);
      break;
    case PanelAct::Bypass:
      bypass(w, ev.a != 0, reply);
      break;
    case PanelAct::ErrorReset:
      errorReset(w, reply);
      break;
    case PanelAct::Attenuator:
      attenuator(w, ev.a, reply);
      break;
    default:
      refuse(reply, "not a network action");
      break;
  }
}

void PanelPublish(Works* w) {
  PanelSnapshot s;
  s.bank = w->NumBanco;
  const int row = w->AntennaRowIdx.load();
  if (row >= 0 && row < kAntennaRows && row < w->NumRowAntenna)
    snprintf(s.band, sizeof s.band, "%s", w->tabAntenna[row].bandName);
  s.attStep = w->AttIdx.load();
  s.manualTune = w->ManualTune != 0;
  s.page = w->MenuIdx.load();
  s.ampLink = !ampLinkDown(w);
  std::lock_guard<std::mutex> lk(g_snapMut);
  s.seq = g_snap.seq + 1;
  g_snap = s;
}

PanelSnapshot GetPanelSnapshot(Works*) {
  std::lock_guard<std::mutex> lk(g_snapMut);
  return g_snap;
}
