#include "menus/params.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "amp/errors.h"
#include "amp/cmd_queue.h"
#include "core/globals.h"
#include "core/lan.h"
#include "core/setup.h"
#include "core/setup_keys.h"
#include "core/station_hooks.h"
#include "core/works.h"
#include "display/fb.h"
#include "display/png.h"
#include "screens/work_image.h"
#include "platform/paths.h"
#include "radio/zel_link.h"
#include "remote/service_shell.h"
#include "screens/meters.h"
#include "tuner/antenna.h"
#include "tuner/conf_lines.h"
#include "tuner/tune_memory.h"

namespace {

constexpr uint8_t kOverlayStatus = 0x01;
constexpr uint8_t kOverlayFilter = 0x04;
constexpr uint8_t kKeyRemoteNotStarted = 0x04;
constexpr uint8_t kKeyUiUpdate = 0x08;

// Parameter numbers with their own handling below.
enum Param {
  kMaxBank = 0, kFreqSens, kFreqPeriod, kZelTune, kForceAtt, kTargetSwr, kTuneTimeout,
  kAtuInstalled, kUseMode, kIp, kSubnet, kGateway, kDns, kRefLev, kRefPos, kPointDiv,
  kOffset, kFilterView, kDateTime, kTempUnits, kPeakMeter, kPeakRelease, kTempAlarm1,
  kTempAlarm2, kPowerUnits, kSaverTimeout, kFactory, kButtonTime, kOffHw, kFwUpdate,
  kUiUpdate, kRemoteService,
};

bool isStep(int key) { return key >= kParMinus && key <= kParRight; }

// The cursor keys of a value without cursor save it; held, they must not
// rewrite the file at every repeat step.
bool savesOnly(int key) { return key == kParLeft || key == kParRight; }

uint8_t toggled(uint8_t v) { return v == 0 ? 1 : 0; }

// Values kept to the decimals they are saved with, so repeated steps do
// not drift away from the numbers the operator sees.
double roundTo(double v, double per) { return std::round(v * per) / per; }

// The settings the parameters edit: their ranges and steps are their
// setup rows'.
constexpr const SetupKey& kMaxBankKey = setupKey("MAXbank");
constexpr const SetupKey& kFreqSensKey = setupKey("FreqSensIn");
constexpr const SetupKey& kFreqPeriodKey = setupKey("FreqPeriodTime");
constexpr const SetupKey& kZelTuneKey = setupKey("AutoTuneMode");
constexpr const SetupKey& kForceAttKey = setupKey("AttenuatorTune");
constexpr const SetupKey& kTargetSwrKey = setupKey("SWRescAutoTune");
constexpr const SetupKey& kTuneTimeoutKey = setupKey("AutoTuneMaxCicli");
constexpr const SetupKey& kAtuKey = setupKey("TUNEenabled");
constexpr const SetupKey& kOffsetKey = setupKey("OffsetPlot");
constexpr const SetupKey& kDateTimeKey = setupKey("ViewTimeStr");
constexpr const SetupKey& kTempUnitsKey = setupKey("TempMode");
constexpr const SetupKey& kPeakMeterKey = setupKey("EnablePwrPeak");
constexpr const SetupKey& kPeakReleaseKey = setupKey("Peak_Time");
constexpr const SetupKey& kTempAlarm1Key = setupKey("MaxTemperature");
constexpr const SetupKey& kTempAlarm2Key = setupKey("MaxTemperature2");
constexpr const SetupKey& kPowerUnitsKey = setupKey("PowerUnits");
constexpr const SetupKey& kSaverKey = setupKey("SaveScreenIdx");
constexpr const SetupKey& kButtonTimeKey = setupKey("BTN_longpress_Time");

constexpr int kAtuInstalledBit = 0x80;

double valueOf(Works* w, const SetupKey& k) { return setupValue(w, k); }
void setValue(Works* w, const SetupKey& k, double v) { setSetupValue(w, k, v); }
void toggle(Works* w, const SetupKey& k) { setValue(w, k, valueOf(w, k) == 0 ? 1 : 0); }

// Selectors (step limits, saver delays): -1 stops at the bottom, +1 wraps;
// any key brings a value read out of range back to the bottom.
void stepSelector(Works* w, const SetupKey& k, int key) {
  double v = valueOf(w, k);
  if (key == kParMinus && v > k.lo) v -= k.step;
  else if (key == kParPlus) v += k.step;
  setValue(w, k, v > k.hi ? k.lo : v);
}

// The two temperature alarms: tenths of a degree, up to MaxTempAllowed.
void stepAlarm(Works* w, const SetupKey& k, int key) {
  double d = valueOf(w, k);
  if (key == kParMinus) d -= k.step;
  else if (key == kParPlus) d += k.step;
  d = roundTo(d, k.scale);
  const double hi = setupHigh(w, k);
  if (d > hi) d = hi;
  if (d < k.lo) d = k.lo;
  setValue(w, k, d);
}

void runDetached(void (*fn)()) {
  // The service shell and the display-program update run for minutes;
  // the buttons and the front-panel link must go on meanwhile.
  std::thread(fn).detach();
}

void runUiUpdate() { RunSystemScript("/opt/ZelPyx/getpack.sh"); }

// Settings that describe the running station, not the operator's choices:
// resetting the setup must not put the amplifier link, its identity, the
// error recording or the radio threads back to their start-up state.
struct LiveState {
  uint8_t started;
  int failCode;
  uint8_t ampConfig, ampModel;
  long freq, LastFreq;
  uint8_t errorsMuted, AmpBypassFlag;
  int fanStepSent;
  uint8_t tinyCmd;
  int SoglieTS[4];
  int ViewIdx, CycleSleep;
  long SpectrumSpan;
  char zelRun, catSerRun;
};

LiveState takeLive(Works* w) {
  LiveState s;
  s.started = w->started;
  s.failCode = w->failCode;
  s.ampConfig = w->ampConfig;
  s.ampModel = w->ampModel;
  s.freq = w->freq.load();
  s.LastFreq = w->LastFreq;
  s.errorsMuted = w->errorsMuted.load();
  s.AmpBypassFlag = w->AmpBypassFlag;
  s.fanStepSent = w->fanStepSent;
  s.tinyCmd = w->tinyCmd.load();
  memcpy(s.SoglieTS, w->SoglieTS, sizeof s.SoglieTS);
  s.ViewIdx = w->ViewIdx;
  s.CycleSleep = w->CycleSleep;
  s.SpectrumSpan = w->SpectrumSpan;
  s.zelRun = runByte(w->setup->zelRun);
  s.catSerRun = runByte(w->setup->catSerRun);
  return s;
}

void putLive(Works* w, const LiveState& s) {
  w->started = s.started;
  w->failCode = s.failCode;
  w->ampConfig = s.ampConfig;
  w->ampModel = s.ampModel;
  w->freq = s.freq;
  w->LastFreq = s.LastFreq;
  w->errorsMuted = s.errorsMuted;
  w->AmpBypassFlag = s.AmpBypassFlag;
  w->fanStepSent = s.fanStepSent;
  w->tinyCmd = s.tinyCmd;
  memcpy(w->SoglieTS, s.SoglieTS, sizeof s.SoglieTS);
  w->ViewIdx = s.ViewIdx;
  w->CycleSleep = s.CycleSleep;
  w->SpectrumSpan = s.SpectrumSpan;
  setRunByte(w->setup->zelRun, s.zelRun);
  setRunByte(w->setup->catSerRun, s.catSerRun);
}

void factoryDefault(Works* w) {
  for (int bank = 0; bank < 20; bank++)
    for (int kind = 0; kind < 4; kind++) DeleteFileConf(w, bank, kind);
  LiveState live = takeLive(w);
  initSetup(w);
  writeSetup(w);
  readSetup(w);
  putLive(w, live);
  w->factoryArmed = 0;
  // The tables in memory follow the files, or the next save would bring
  // the erased bank back.
  loadBankAndWorkMode(w, w->NumBanco);
  w->AntennaRowIdx = -1;
  fprintf(stderr, "----------> FACTORY DEFAULT\n");
}

void remoteOperation(Works* w, int key) {
  SetupRec* s = w->setup;
  if (isStep(key)) {
    if (w->remoteStarted == 1) {
      w->remoteStarted = 0;
      w->keyFlags &= uint8_t(~kKeyRemoteNotStarted);
    } else if (runByte(s->EnableFFT) == '0') {
      int r = Find_Remote_Settings(w);
      int a = Get_AudioZEL(w);
      RemoteReadiness(w, r, a);
    } else {
      w->remoteStarted = 1;
    }
    return;
  }
  if (w->remoteStarted == 1) {
    if (runByte(s->WebSocket) == '0') {
      setRunByte(s->WebSocket, '1');
      startRemoteLink(w);
    }
    startRemoteGroup(w);
  } else {
    stopRemoteGroup(w);
  }
}

void lanAddress(int par, int key) {
  uint8_t* addr[4] = {IP_v, NetMask_v, Gateway_v, DNS_v};
  int* cursor[4] = {&CntIP, &CntNetMask, &CntGateway, &CntDNS};
  int i = par - kIp;
  if (!isStep(key)) {
    SaveLanParam();
    return;
  }
  *cursor[i] = ModifyIP(key, *cursor[i], addr[i]);
  // An address typed in where the file had none is written, not dropped.
  if (key == kParMinus || key == kParPlus) {
    if (par == kGateway) Gateway_none = 0;
    if (par == kDns) DNS_none = 0;
  }
}

}  // namespace

void ShowBackground(Works* w, const char* name) {
  // The timer may be composing a frame: name and buffers change together.
  std::lock_guard<std::recursive_mutex> lk(drawMutex());
  snprintf(w->imgName, sizeof w->imgName, "%s", name);
  getPng(w, 1);
  if (w->fb != nullptr) fbSetBack(w->fb);
}

int EscFromStatus(Works* w) {
  if (!(w->overlay & kOverlayStatus)) return 0;
  w->overlay &= uint8_t(~kOverlayStatus);
  SetWorkImg(w);
  return 1;
}

int ModifyIP(int key, int position, uint8_t* address) {
  int p = position >= 0 && position <= 3 ? position : 0;
  switch (key) {
    case kParMinus:
      address[p] = uint8_t(address[p] - 1);  // 0 wraps to 255
      break;
    case kParPlus:
      address[p] = uint8_t(address[p] + 1);  // 255 wraps to 0
      break;
    case kParLeft:
      p = p == 0 ? 3 : p - 1;
      break;
    case kParRight:
      p = p == 3 ? 0 : p + 1;
      break;
    default:
      break;
  }
  return p;
}

void RemoteReadiness(Works* w, int r, int a) {
  char zelRun = runByte(w->setup->zelRun);
  fprintf(stderr, "j=%d i=%d enaser=%c\n", a, r, zelRun);
  if (r == 0 && zelRun == '1' && a != 0) {
    w->remoteStarted = 1;
    w->remoteFault = 0;
    w->keyFlags &= uint8_t(~kKeyRemoteNotStarted);
    fprintf(stderr, "Remote GO!\n");
    return;
  }
  w->remoteFault = 1;
  if (r == 1) AddErrore(w, 5);
  else if (r == 2) AddErrore(w, 20);
  else if (r == 3) AddErrore(w, 9);
  if (a == 0) AddErrore(w, 6);
  if (zelRun != '1') AddErrore(w, 7);
  // The message line tells the operator why the station stays local.
  w->keyFlags |= kKeyRemoteNotStarted;
  fprintf(stderr, "Remote ERROR!\n");
}

namespace {

// The amplifier, tuner and radio settings. Returns the dispatch's result, -1 for another group's parameter.
int modifyStationParameter(Works* w, int key, int par) {
  const bool item0 = w->ParSubIdx == 0;
  const bool step = isStep(key);
  switch (par) {
    case kMaxBank: {
      const SetupKey& k = kMaxBankKey;
      const double v = valueOf(w, k);
      if (key == kParMinus) setValue(w, k, v - k.step < k.lo ? k.hi : v - k.step);
      else if (key == kParPlus) setValue(w, k, v + k.step > k.hi ? k.lo : v + k.step);
      else writeSetup(w);
      return 0;
    }
    case kFreqSens:
      if (step) {
        toggle(w, kFreqSensKey);
      } else {
        IncPNTIn_CMDLinear(w, CMD_FS);
        writeSetup(w);
      }
      return 0;
    case kFreqPeriod: {
      // The period stops where the file's field does, so it is saved as set.
      const SetupKey& k = kFreqPeriodKey;
      const double v = valueOf(w, k);
      if (key == kParMinus && v > k.lo) setValue(w, k, v - k.step);
      else if (key == kParPlus && v + k.step <= k.hi) setValue(w, k, v + k.step);
      else if (key == kParConfirm) {
        IncPNTIn_CMDLinear(w, CMD_FS);
        writeSetup(w);
      }
      return key == kParMinus || key == kParPlus ? 1 : 0;
    }
    case kZelTune:
      // The switch is bit 0; the handshake bits go with it.
      if (step) toggle(w, kZelTuneKey);
      else writeSetup(w);
      return 0;
    case kForceAtt:
      if (step) {
        const SetupKey& k = kForceAttKey;
        const double v = valueOf(w, k) + k.step;
        setValue(w, k, v > k.hi ? k.lo : v);
      } else {
        writeSetup(w);
      }
      return 0;
    case kTargetSwr: {
      if (!step) {
        writeSetup(w);
        return 0;
      }
      // Below its lowest target the search is off (0).
      const SetupKey& k = kTargetSwrKey;
      double v = valueOf(w, k);
      if (key == kParMinus) {
        v -= k.step;
        if (v < k.lo) v = 0;
      } else if (key == kParPlus) {
        v += k.step;
        if (v < k.lo) v = k.lo;
      }
      v = roundTo(v, k.scale);
      if (v < 0) v = 0;
      if (v > k.hi) v = k.hi;
      setValue(w, k, v);
      return 1;
    }
    case kTuneTimeout:
      if (step) stepSelector(w, kTuneTimeoutKey, key);
      else writeSetup(w);
      return 0;
    case kAtuInstalled:
      if (step) {
        const int v = static_cast<int>(valueOf(w, kAtuKey)) ^ kAtuInstalledBit;
        setValue(w, kAtuKey, v);
        fprintf(stderr, "----------> SAVE ATU: 0x%0X\n", static_cast<unsigned>(v));
      } else {
        writeSetup(w);
      }
      return 0;
    case kUseMode:
      if (item0) remoteOperation(w, key);
      return 0;
    default:
      return -1;
  }
}

// The network addresses and the spectrum plot. Returns the dispatch's result, -1 for another group's parameter.
int modifyNetworkAndPlotParameter(Works* w, int key, int par) {
  switch (par) {
    case kIp:
    case kSubnet:
    case kGateway:
    case kDns:
      lanAddress(par, key);
      return 0;
    case kRefLev:
      if (key == kParMinus) RefLevel -= 10;
      else if (key == kParPlus) RefLevel += 10;
      return 0;
    case kRefPos:
      if (key == kParMinus && RefPos > 0) RefPos--;
      else if (key == kParPlus && RefPos <= 9) RefPos++;
      return 0;
    case kPointDiv:
      if (PointDiv < 1) PointDiv = 1;  // a plot division of 0 would never double
      if (key == kParMinus && PointDiv > 1) {
        PointDiv /= 2;
      } else if (key == kParPlus && PointDiv <= 19) {
        PointDiv *= 2;
        if (PointDiv == 4) PointDiv = 5;
      }
      return 0;
    case kOffset: {
      const SetupKey& k = kOffsetKey;
      if (key == kParMinus) setValue(w, k, roundTo(valueOf(w, k) - k.step, k.scale));
      else if (key == kParPlus) setValue(w, k, roundTo(valueOf(w, k) + k.step, k.scale));
      else writeSetup(w);
      // Held to what the file's field carries.
      if (valueOf(w, k) > k.hi) setValue(w, k, k.hi);
      if (valueOf(w, k) < k.lo) setValue(w, k, k.lo);
      return savesOnly(key) ? 0 : 1;
    }
    default:
      return -1;
  }
}

// What the panel shows and how its keys behave. Returns the dispatch's result, -1 for another group's parameter.
int modifyDisplayParameter(Works* w, int key, int par) {
  const bool item0 = w->ParSubIdx == 0;
  const bool step = isStep(key);
  switch (par) {
    case kFilterView:
      if (step) {
        w->filterView = toggled(w->filterView);
      } else if (w->filterView) {
        w->overlay |= kOverlayFilter;
        ShowBackground(w, "statusB");
      } else {
        w->overlay &= uint8_t(~kOverlayFilter);
        SetWorkImg(w);
      }
      return 0;
    case kDateTime:
      if (step) toggle(w, kDateTimeKey);
      else writeSetup(w);
      return 0;
    case kTempUnits:
    case kPeakMeter:
    case kPowerUnits: {
      if (!item0) return 0;
      const SetupKey& k = par == kTempUnits ? kTempUnitsKey : par == kPeakMeter ? kPeakMeterKey : kPowerUnitsKey;
      if (step) toggle(w, k);
      else writeSetup(w);
      return 0;
    }
    case kPeakRelease: {
      const SetupKey& k = kPeakReleaseKey;
      const double v = valueOf(w, k);
      if (key == kParMinus) setValue(w, k, v - k.step < k.lo ? k.lo : v - k.step);
      else if (key == kParPlus) setValue(w, k, v + k.step > k.hi ? k.hi : v + k.step);
      else writeSetup(w);
      return savesOnly(key) ? 0 : 1;
    }
    case kTempAlarm1:
    case kTempAlarm2: {
      if (par == kTempAlarm1 && !item0) return 0;
      if (!step) {
        writeSetup(w);
        return 0;
      }
      stepAlarm(w, par == kTempAlarm1 ? kTempAlarm1Key : kTempAlarm2Key, key);
      return 1;
    }
    case kSaverTimeout:
      if (step) stepSelector(w, kSaverKey, key);
      else writeSetup(w);
      return 0;
    case kFactory:
      if (!item0) return 0;
      if (step) w->factoryArmed = toggled(w->factoryArmed);
      else if (w->factoryArmed) factoryDefault(w);
      return 0;
    case kButtonTime: {
      const SetupKey& k = kButtonTimeKey;
      if (key == kParMinus) setValue(w, k, std::max(k.lo, valueOf(w, k) - k.step));
      else if (key == kParPlus) setValue(w, k, std::min(k.hi, valueOf(w, k) + k.step));
      else writeSetup(w);
      return 0;
    }
    default:
      return -1;
  }
}

// Service actions: power off, updates, remote service. Returns the dispatch's result, -1 for another group's parameter.
int modifyServiceParameter(Works* w, int key, int par) {
  const bool item0 = w->ParSubIdx == 0;
  const bool step = isStep(key);
  switch (par) {
    case kOffHw:
      // The GPIO thread sends it with its next exchange.
      if (item0) w->tinyCmd = 133;
      return 0;
    case kFwUpdate:
      if (!item0) return 0;
      if (step) {
        w->updateFlags ^= 0x01;
      } else if (w->updateFlags & 0x01) {
        IncPNTIn_CMDLinear(w, CMD_MR1);
        fprintf(stderr, "Start AGGFW\n");
      }
      return 0;
    case kUiUpdate:
      if (!item0) return 0;
      if (step) {
        w->updateFlags ^= 0x08;
      } else if (w->updateFlags & 0x08) {
        w->keyFlags |= kKeyUiUpdate;
        fprintf(stderr, "Start AGG UI...\n");
        runDetached(runUiUpdate);
      }
      return 0;
    case kRemoteService:
      if (!item0) return 0;
      if (step) {
        w->updateFlags ^= 0x02;
      } else if (w->updateFlags & 0x02) {
        runDetached(RemoteConnection);
        fprintf(stderr, "Start REMOTE SRV\n");
      }
      return 0;
    default:
      return -1;
  }
}

}  // namespace

int ModifyParameter(Works* w, int key) {
  const int par = w->ParIdx;
  for (auto group : {modifyStationParameter, modifyNetworkAndPlotParameter, modifyDisplayParameter,
                     modifyServiceParameter}) {
    const int r = group(w, key, par);
    if (r >= 0) return r;
  }
  return 0;
}

void ModifytabAntenna(Works* w, int down) {
  int rows = w->NumRowAntenna < kAntennaRows ? w->NumRowAntenna : kAntennaRows;
  if (w->tabRowSel < 0 || w->tabRowSel >= rows) return;
  AntennaRow& r = w->tabAntenna[w->tabRowSel];
  switch (w->tabColSel) {
    case 0: {
      // Saved with one decimal; a negative power means nothing.
      double p = roundTo(double(r.Pwr) + (down ? -0.1 : 0.1), 10);
      if (p < 0) p = 0;
      if (p > 9999.9) p = 9999.9;
      r.Pwr = static_cast<float>(p);
      break;
    }
    case 1:
      if (down) {
        if (r.Att > 0) r.Att--;
      } else {
        r.Att++;
      }
      if (r.Att > 3) r.Att = 0;
      break;
    case 2:
      r.AmpEnable = toggled(r.AmpEnable);
      break;
    case 3:
      r.Ant = uint8_t(r.Ant + (down ? -1 : 1));
      if (r.Ant < 1) r.Ant = 3;
      else if (r.Ant > 3) r.Ant = 1;
      break;
    case 4:
      r.AtuBypass = toggled(r.AtuBypass);
      break;
    default:
      break;
  }
}

void ChangeInterfaceBanco(Works* w) {
  int m = w->ModeWorkIdx.load() + 1;
  if (m > 3 || m < 0) m = 0;
  w->ModeWorkIdx = m;
  applyWorkMode(w);
  SaveToBank(w, w->NumBanco, w->AntennaIdx);
}

void RunSystemScript(const char* path) {
  std::string p = rootPath(path);
  // The operator's long jobs get no time-out of their own.
  runCommand(p == path ? p : shellQuote(p), kCommandNoTimeout);
}
