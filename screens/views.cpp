#include "screens/views.h"

#include "amp/amp_status.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "amp/errors.h"
#include "core/globals.h"
#include "core/lan.h"
#include "core/remote_config.h"
#include "core/works.h"
#include "display/fb.h"
#include "display/text.h"
#include "screens/buttons.h"
#include "screens/labels.h"
#include "screens/utility.h"
#include "radio/zel_link.h"
#include "screens/meters.h"
#include "screens/timer.h"
#include "tuner/autotune.h"
#include "tuner/tune_memory.h"

std::atomic<uint8_t*> LAN_vect{IP_v};
std::atomic<int> LAN_idx{3};

namespace {

struct Rgb {
  int r, g, b;
};
const Rgb kOrange = {250, 150, 0};
const Rgb kWhite = {255, 255, 255};
const Rgb kLight = {250, 250, 250};
const Rgb kCyan = {0, 200, 255};
const Rgb kGreen = {0, 200, 0};
const Rgb kRed = {255, 0, 0};
const Rgb kAlarmRed = {250, 0, 0};
const Rgb kYellow = {250, 250, 0};

void text(Works* w, int font, int x, int y, const char* s, Rgb c) {
  putString(font, x, y, s, c.r, c.g, c.b, w->fb, 0, 0, 0, 0);
}

void textf(Works* w, int font, int x, int y, Rgb c, const char* fmt, ...) __attribute__((format(printf, 6, 7)));
void textf(Works* w, int font, int x, int y, Rgb c, const char* fmt, ...) {
  char buf[160];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  text(w, font, x, y, buf, c);
}

// Right-aligned on x = 790.
void textRight(Works* w, int font, int y, const char* s, Rgb c) {
  text(w, font, 790 - getStringSpace(font, s), y, s, c);
}

void outf(char* out, size_t cap, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
void outf(char* out, size_t cap, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(out, cap, fmt, ap);
  va_end(ap);
}

// Table labels for values that come from files or the menu: a value
// outside the table shows "?" instead of reading past it.
const char* attLabel(int v) { return (v >= 0 && v < 5) ? AttVectStr[v] : "?"; }
const char* swrTimeoutLabel(int v) { return (v >= 0 && v < 5) ? SWRTimeout[v] : "?"; }
const char* saverLabel(int v) { return (v >= 0 && v < 5) ? SaveScreenVal[v] : "?"; }

const char* onOff(bool on) { return on ? "ON" : "OFF"; }

int clampIdx(int v, int n) { return v < 0 ? 0 : (v >= n ? n - 1 : v); }

// The four LAN groups (9..12): bytes and cursor.
void lanOf(int par, uint8_t** bytes, int* cursor) {
  switch (par) {
    case 9: *bytes = IP_v; *cursor = CntIP; break;
    case 10: *bytes = NetMask_v; *cursor = CntNetMask; break;
    case 11: *bytes = Gateway_v; *cursor = CntGateway; break;
    default: *bytes = DNS_v; *cursor = CntDNS; break;
  }
}

float amps(const AmpSnapshot& a) { return a.paCurrentRaw / 4096.0f * 14.05f; }

void drawParameterRows(Works* w, int bandStart, int prevY, int curY, int nextY, int bandEnd, int hiA,
                       int hiB) {
  FbInfo* fb = w->fb;
  for (int y = bandStart; y <= bandEnd; y++) {
    int g = (y >= hiA && y <= hiB) ? 80 : 40;
    DrawHorizontalLine(1, y, 799, g, g, g, fb, 0);
  }
  int n = (w->NumPar > 0 && w->NumPar <= kParGroups) ? w->NumPar : kParGroups;
  int cur = clampIdx(w->ParIdx, n);
  int prev = cur - 1 < 0 ? n - 1 : cur - 1;
  int next = cur + 1 >= n ? 0 : cur + 1;
  int sub = clampIdx(w->ParSubIdx, kParItems);
  char value[kParValueLen];

  // The neighbours first: the current row's value sets the LAN cursor.
  const int side[2][2] = {{prev, prevY}, {next, nextY}};
  for (const auto& s : side) {
    const MenuParGroup& g = menuPar[s[0]];
    textf(w, 1, 20, s[1], kOrange, "%d -", g.id);
    text(w, 1, 70, s[1], g.title, kOrange);
    text(w, 1, 350, s[1], g.item[0].caption, kOrange);
    LoadParameterMenu(w, value, s[0], 0);
    textRight(w, 11, s[1], value, kOrange);
  }

  const MenuParGroup& g = menuPar[cur];
  textf(w, 7, 20, curY, kWhite, "%d -", g.id);
  text(w, 7, 70, curY, g.title, kWhite);
  text(w, 7, 350, curY, g.item[sub].caption, kWhite);
  LoadParameterMenu(w, value, cur, sub);
  if (w->MenuIdx == 1) {
    textRight(w, 0, curY, value, kWhite);
  } else if (cur >= 9 && cur <= 12 && LAN_vect.load() != nullptr) {
    // The byte under the cursor stands out from the rest of the address.
    const uint8_t* addr = LAN_vect.load();
    int at = clampIdx(LAN_idx.load(), 4);
    char before[20] = "", sel[8], after[20] = "";
    size_t bl = 0, al = 0;
    for (int i = 0; i < at; i++)
      bl += snprintf(before + bl, sizeof before - bl, "%d.", addr[i]);
    snprintf(sel, sizeof sel, "%d", addr[at]);
    for (int i = at + 1; i < 4; i++)
      al += snprintf(after + al, sizeof after - al, ".%d", addr[i]);
    int x = 790 - getStringSpace(7, before) - getStringSpace(7, sel) - getStringSpace(7, after);
    text(w, 7, x, curY, before, kOrange);
    x += getStringSpace(7, before);
    text(w, 7, x, curY, sel, kLight);
    x += getStringSpace(7, sel);
    text(w, 7, x, curY, after, kOrange);
  } else {
    textRight(w, 7, curY, value, kLight);
  }
  if (w->keyFlags & 0x08) text(w, 8, 5, 400, "Update UI in progress: Wait for reset (max 2min)", kLight);
}

void drawMemoryTable(Works* w) {
  char iface[12] = "";
  GetLblInterface(w->ModeWorkIdx, iface);
  textf(w, 0, 100, 50, kOrange, " Memory Table Bank %i - Interface: %s", w->NumBanco.load(), iface);
  text(w, 8, 50, 100, "N     Band     Pwr    Att(dB)  AmpEnable    Ant       Atu", kWhite);
  int rows = w->NumRowAntenna < 0 ? 0 : (w->NumRowAntenna > kAntennaRows ? kAntennaRows : w->NumRowAntenna);
  for (int r = 0; r < rows; r++) {
    const AntennaRow& a = w->tabAntenna[r];
    const int y = 22 * r + 130;
    const bool rowSel = r == w->tabRowSel;
    const Rgb c = rowSel ? kOrange : kLight;
    char name[sizeof a.bandName + 1];
    snprintf(name, sizeof name, "%.*s", static_cast<int>(sizeof a.bandName), a.bandName);
    char cell[5][16];
    snprintf(cell[0], sizeof cell[0], "%2.1f", a.Pwr);
    snprintf(cell[1], sizeof cell[1], "%s", attLabel(a.Att));
    snprintf(cell[2], sizeof cell[2], "%s", a.AmpEnable == 1 ? "On" : "Off");
    snprintf(cell[3], sizeof cell[3], "%x", a.Ant);
    snprintf(cell[4], sizeof cell[4], "%s", a.AtuBypass == 1 ? "Off" : "On");
    static const int kCellX[5] = {170, 250, 350, 470, 540};
    textf(w, 8, 50, y, c, "%i", r + 1);
    text(w, 8, 90, y, name, c);
    for (int col = 0; col < 5; col++) {
      if (rowSel && col == w->tabColSel)
        text(w, 7, kCellX[col], y, cell[col], kRed);
      else
        text(w, 8, kCellX[col], y, cell[col], c);
    }
  }
}

void drawFilterTable(Works* w) {
  text(w, 0, 250, 50, "FILTER SETTINGS", kOrange);
  text(w, 8, 50, 100, "N    Start (Hz)                 Stop(Hz)                   Enabled", kWhite);
  for (int r = 0; r < 8; r++) {
    const FilterRow& f = w->filterTab[r];
    const int y = 22 * r + 130;
    const Rgb c = r == w->filterEditIdx ? kOrange : kLight;
    textf(w, 8, 50, y, c, "%i", r + 1);
    textf(w, 8, 90, y, c, "%u", f.start);
    textf(w, 8, 290, y, c, "%u", f.stop);
    text(w, 8, 490, y, f.enabled == 1 ? "On" : "Off", c);
  }
}

void drawMessageLine(Works* w) {
  const AmpSnapshot a = GetAmpStatus(w);
  if (w->EnableDebug) {
    textf(w, 8, 5, 350, kYellow, "PW %04d FWD %04d REFL %04d SWR %03.02f (%X)", a.rawIn, a.rawFwd,
          a.rawRefl, a.SWR, w->tinyAnswer[kTinyVamp].load());
    textf(w, 8, 500, 350, kYellow, "freq %lu L%i,C%i,%s", static_cast<unsigned long>(a.freqMeasured),
          w->ValI.load(), w->ValC.load(), ModeTuneDebug);
    return;
  }
  const char* msg = nullptr;
  if (w->keyFlags & 0x01)
    msg = "Entering second function...";
  else if (w->keyFlags & 0x02)
    msg = "ATU ByPass not saved!";
  else if (w->keyFlags & 0x04)
    msg = "Set to Local Mode: Remote not started. Verify connections";
  else if (w->tlsRefused.load() != 0)
    msg = w->linkTls.load() != 0 ? "Remote: peer without TLS refused (tls on in remote.txt)"
                                 : "Remote: TLS peer refused (tls off in remote.txt)";
  if (msg != nullptr) text(w, 8, 5, 350, msg, kLight);
}

void drawStatusRows(Works* w) {
  const AmpSnapshot a = GetAmpStatus(w);
  static const int kBox[7][3] = {{1, 110, 10},   {115, 260, 125}, {265, 400, 275}, {405, 520, 415},
                                 {525, 600, 535}, {605, 710, 615}, {715, 799, 725}};
  for (const auto& b : kBox) DrawRect(w, b[0], 278, b[1], 303, 200, 200, 200);
  char iface[12] = "";
  GetLblInterface(w->ModeWorkIdx, iface);
  text(w, 8, kBox[0][2], 298, iface, kCyan);
  text(w, 8, kBox[1][2], 298, (a.ampStatus[0] & 0x01) ? "Coax:RX+TX" : "  Coax:RTX", kCyan);

  const long f = w->freq;
  if (f >= 26000000 && f <= 28000000) {
    text(w, 8, kBox[2][2], 298, "NOPA", kCyan);
  } else {
    const char* band = nullptr;
    char name[sizeof(AntennaRow::bandName) + 1];
    int rows = w->NumRowAntenna > kAntennaRows ? kAntennaRows : w->NumRowAntenna;
    for (int r = 0; r < rows; r++) {
      const AntennaRow& a = w->tabAntenna[r];
      if (f >= a.freqLow && f <= a.freqHigh) {
        snprintf(name, sizeof name, "%.*s", static_cast<int>(sizeof a.bandName), a.bandName);
        band = name;
      }
    }
    textf(w, 8, kBox[2][2], 298, kCyan, "Band:%s", band != nullptr ? band : "---");
  }
  if (w->AmpBypassFlag == 1)
    textf(w, 8, kBox[3][2], 298, kCyan, "Att %s", "StBy");
  else
    textf(w, 8, kBox[3][2], 298, kCyan, "Att %sdB", attLabel(w->Attenuator));
  textf(w, 8, kBox[4][2], 298, kCyan, "Ant %d", w->AntennaIdx + 1);
  text(w, 8, kBox[5][2], 298, w->AtuBypassFlag ? "Atu: Bpy" : "Atu: On", kCyan);
  if (w->remoteStarted == 1)
    text(w, 8, kBox[6][2], 298, "Remote", w->remoteFault == 1 ? kAlarmRed : kCyan);
  else
    text(w, 8, kBox[6][2], 298, "Local", kCyan);

  DrawRect(w, 1, 307, 400, 332, 100, 100, 100);
  DrawRect(w, 405, 307, 799, 332, 100, 100, 100);
  if (w->TempMode)
    textf(w, 8, 10, 327, kGreen, "PA Temp1: %04.01f°F      Temp2: %04.01f°F",
          ConversionCelsius_to_Fahrenheit(a.tempBoard), ConversionCelsius_to_Fahrenheit(a.tempHeatsink));
  else
    textf(w, 8, 10, 327, kGreen, "PA Temp1: %04.01f°C      Temp2: %04.01f°C", a.tempBoard, a.tempHeatsink);
  float volts = CalvTensVadcAmp(w, w->tinyAnswer[kTinyVamp].load());
  if (w->ampModel != '1' && volts > 20)
    textf(w, 8, 415, 327, kGreen, "PA Voltage: -----       Current: %04.01fA", amps(a));
  else
    textf(w, 8, 415, 327, kGreen, "PA Voltage: %04.01fV       Current: %04.01fA", volts, amps(a));
}

}  // namespace

bool VerifyError(Works* w) {
  std::lock_guard<std::recursive_mutex> lk(w->errMut);
  int temp = 0;
  for (int i = 0; i < w->errCount && i < kErrCodes; i++) {
    int c = w->errList[i];
    if (c == 2 || c == 22 || c == 23 || c == 24) temp++;
  }
  return w->errCount > temp;
}

void ViewStatusTX(Works* w) {
  const AmpSnapshot a = GetAmpStatus(w);
  if (w->overlay == 1 || (a.ampStatus[1] & 0x01) == 0 || w->fb == nullptr) return;
  FillBox(375, 175, 430, 209, 250, 0, 0, w->fb, 0);
  putString(8, 390, 200, "TX", 255, 255, 255, w->fb, 0, 0, 0, 0);
}

void LoadParameterMenu(Works* w, char* out, int par, int item, size_t cap) {
  if (out == nullptr || cap == 0) return;
  out[0] = '\0';
  // Groups shown on their first item only.
  static const int kItem0Only[] = {8, 19, 20, 24, 25, 26, 28, 29, 30, 31};
  for (int p : kItem0Only)
    if (p == par && item != 0) return;
  switch (par) {
    case 0: outf(out, cap, "%d", w->MAXbank); break;
    case 1: outf(out, cap, "%s", w->FreqSensIn ? "FQ2" : "FQ1"); break;
    case 2: outf(out, cap, "%d", w->FreqPeriodTime); break;
    case 3: outf(out, cap, "%s", (w->tuneFlags & 0x01) ? "On" : "Off"); break;
    case 4: outf(out, cap, "%sdB", attLabel(w->AttenuatorTune)); break;
    case 5: outf(out, cap, "%02.02f", w->SWRescAutoTune); break;
    case 6: outf(out, cap, "%s", swrTimeoutLabel(w->AutoTuneMaxCicli)); break;
    case 7: outf(out, cap, "%s", (w->TUNEenabled & 0x80) ? "No" : "Yes"); break;
    case 8: outf(out, cap, "%s", w->remoteStarted == 1 ? "Remote" : "Local"); break;
    case 9:
    case 10:
    case 11:
    case 12: {
      uint8_t* bytes = nullptr;
      int cursor = 0;
      lanOf(par, &bytes, &cursor);
      outf(out, cap, "%i.%i.%i.%i", bytes[0], bytes[1], bytes[2], bytes[3]);
      LAN_vect = bytes;
      LAN_idx = cursor;
      break;
    }
    case 13: outf(out, cap, "%d", RefLevel); break;
    case 14: outf(out, cap, "%d", RefPos); break;
    case 15: outf(out, cap, "%d", PointDiv); break;
    case 16: outf(out, cap, "%3.02f", w->OffsetPlot); break;
    case 17: outf(out, cap, "%s", onOff(w->filterView)); break;
    case 18: outf(out, cap, "%s", onOff(w->ViewTimeStr)); break;
    case 19: outf(out, cap, "%s", w->TempMode ? "Fahrenheit" : "Celsius"); break;
    case 20: outf(out, cap, "%s", onOff(w->EnablePwrPeak)); break;
    case 21: outf(out, cap, "%i", TimerPeakSec); break;
    case 22: outf(out, cap, "%02.02f", w->MaxTemperature); break;
    case 23: outf(out, cap, "%02.02f", w->MaxTemperature2); break;
    case 24: outf(out, cap, "%s", w->PowerUnits ? "dBm" : "Watt"); break;
    case 25: outf(out, cap, "%s", saverLabel(w->SaveScreenIdx)); break;
    case 26: outf(out, cap, "%s", w->factoryArmed ? "Set Default" : "No Default"); break;
    case 27: outf(out, cap, "%01.01f sec", TIME_LONG_PRESS.load()); break;
    case 28: outf(out, cap, "%s", "OFF"); break;
    case 29: outf(out, cap, "%s", onOff(w->updateFlags & 0x01)); break;
    case 30: outf(out, cap, "%s", onOff(w->updateFlags & 0x08)); break;
    case 31: outf(out, cap, "%s", onOff(w->updateFlags & 0x02)); break;
    default: break;
  }
}

void DrawParameters(Works* w) {
  if (w->failCode > 0 || w->fb == nullptr) return;
  const bool info = (w->overlay & 0x01) != 0;
  if (w->MenuIdx == 1 || w->MenuIdx == 2) {
    if (info)
      drawParameterRows(w, 335, 355, 385, 410, 415, 360, 390);
    else
      drawParameterRows(w, 285, 305, 335, 360, 365, 310, 340);
    return;
  }
  if (w->updateFlags & 0x04) {
    text(w, 8, 100, 400, "FW UPDATE: please update fw with FlashMagic and then Reset HW", kLight);
    return;
  }
  if (w->overlay & 0x02) {
    drawMemoryTable(w);
    return;
  }
  if (w->overlay & 0x04) {
    drawFilterTable(w);
    return;
  }
  if (w->overlay == 1) return;
  drawMessageLine(w);
  drawStatusRows(w);
}

void ViewStatusInfo(Works* w) {
  const AmpSnapshot a = GetAmpStatus(w);
  if (w->overlay != 1 || w->fb == nullptr) return;
  SetupRec* s = w->setup;
  long recFreq = 0;
  if (w->zelParam != nullptr && w->serMut != nullptr) {
    ZelParam rec{};
    getParameters(w, &rec);
    recFreq = rec.freq;
  }
  const bool f = w->TempMode != 0;
  auto temp = [f](float c) { return f ? ConversionCelsius_to_Fahrenheit(c) : c; };

  struct Row {
    int y;
    const char* caption;
  };
  static const Row kRows[] = {{110, "VERSION"}, {132, "SN"}, {154, "POWER"}, {176, "FREQUENCY"},
                              {198, "TEMPERATURE"}, {264, "LAN"}, {308, "STATUS"}, {352, "AMPL"},
                              {374, "REMOTE"}};
  for (const Row& r : kRows) text(w, 8, 5, r.y, r.caption, kWhite);

  textf(w, 8, 180, 110, kWhite, "SW ver. %s, FW ver. %s", w->version, a.ampVersion);
  char ee0[sizeof a.ampEeprom0 + 1], ee1[sizeof a.ampEeprom1 + 1];
  snprintf(ee0, sizeof ee0, "%.*s", static_cast<int>(sizeof a.ampEeprom0), a.ampEeprom0);
  snprintf(ee1, sizeof ee1, "%.*s", static_cast<int>(sizeof a.ampEeprom1), a.ampEeprom1);
  const char* type = w->ampConfig == '0' ? "EU" : w->ampConfig == '1' ? "USA" : "";
  const char* power = w->ampModel == '0' ? "60W" : w->ampModel == '1' ? "120W" : "";
  textf(w, 8, 180, 132, kWhite, "%s (%s), TYPE: %s, MAXPOWER: %s", ee0, ee1, type, power);
  textf(w, 8, 180, 154, kWhite, "FWD:%02.01f, RFL:%02.01f , PW:%02.01f, SWR:%02.01f", a.FWD, a.pwrRefl,
        a.pwrIn, a.SWR);
  long opFreq = (s != nullptr && runByte(s->zelRun) == '1') ? w->freq.load() : static_cast<long>(a.freqMeasured);
  textf(w, 8, 180, 176, kWhite, "%ldHz(%ld)", opFreq, recFreq);
  if (f) {
    textf(w, 8, 180, 198, kWhite, "Current:%05.01fA (%05.01f), Tbrd:%04.02f°F, Thsk:%04.02f°F", amps(a),
          a.paCurrentRaw, temp(a.tempBoard), temp(a.tempHeatsink));
    textf(w, 8, 180, 220, kWhite, "CPU:%4.01f°F, GPU:%4.01f°F", temp(w->CPUTemp), temp(w->GPUTemp));
    textf(w, 8, 180, 242, kWhite, "Set Point Alarm %4.01f°F", temp(w->MaxTemperature));
  } else {
    textf(w, 8, 180, 198, kWhite, "Current:%05.01fA (%05.01f), Tbrd:%04.02f°C, Thsk:%04.02f°C", amps(a),
          a.paCurrentRaw, a.tempBoard, a.tempHeatsink);
    textf(w, 8, 180, 220, kWhite, "CPU:%2.01f°C, GPU:%2.01f°C", w->CPUTemp, w->GPUTemp);
    textf(w, 8, 180, 242, kWhite, "Set Point Alarm %04.02f°C", w->MaxTemperature);
  }
  textf(w, 8, 180, 264, kWhite, "IP:%s, NetMask:%s ", IP, NetMask);
  textf(w, 8, 180, 286, kWhite, "Gateway:%s, DNS:%s ", Gateway, DNS);
  textf(w, 8, 180, 308, kWhite, "State 0x%02x 0x%02x,ES:%d,ER:%d", a.ampStatus[0], a.ampStatus[1],
        w->retryTotal.load(), w->retryStops.load());
  text(w, 8, 180, 330, ExistError(w, 8) ? "No EXT IO data" : "EXT IO connected", kWhite);
  textf(w, 8, 180, 352, kWhite, "ver. %x, V12: %02.01fV, V15: %02.01fV, Vamp: %02.01fV",
        w->tinyAnswer[kTinyVersion].load(), CalvTensVadcAmp(w, w->tinyAnswer[kTinyV12].load()),
        CalvTensVadcAmp(w, w->tinyAnswer[kTinyV15].load()), CalvTensVadcAmp(w, w->tinyAnswer[kTinyVamp].load()));
  // The owner reads the key here to write it into the other unit's remote.txt.
  const std::string key = currentAccessKey(w);
  textf(w, 8, 180, 374, kWhite, "Key: %s, TLS: %s, listen: %s", key.empty() ? "(none)" : key.c_str(),
        w->linkTls.load() != 0 ? "on" : "off", w->listenAddr[0] != '\0' ? w->listenAddr : "any");
  // The web page's address and token, for the owner's phone or browser.
  char web[120];
  webInfo(w, web, sizeof web);
  if (web[0] != '\0') {
    text(w, 8, 5, 396, "WEB", kWhite);
    text(w, 8, 180, 396, web, kWhite);
  }
  // The clock sits in the title row: the bottom row is the web address's.
  if (w->MenuIdx == 0) text(w, 8, 560, 58, w->DataOraStr, kWhite);
}
