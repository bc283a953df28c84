// Decoding of the amplifier's replies and the station status text.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "amp/errors.h"
#include "amp/temperature.h"
#include "amp/amp_status.h"
#include "amp/linear.h"
#include "amp/temperature.h"
#include "core/globals.h"
#include "core/station_hooks.h"
#include "core/tables.h"
#include "core/works.h"

namespace {

// Leading-integer value of n characters at p (non-digits end the number).
long fieldValue(const char* p, int n) {
  char tmp[16];
  if (n > 15) n = 15;
  memcpy(tmp, p, static_cast<size_t>(n));
  tmp[n] = '\0';
  return strtol(tmp, nullptr, 10);
}

int hexDigit(char c) {
  int v = charToInt(c);
  return v < 0 ? 0 : v;
}

void clearResetFlags(Works* w) {
  if (w->errFlags & 2) w->errFlags &= static_cast<uint8_t>(~3u);
}

// Copies up to n characters of the reply (stopping at ";") into dst.
void copyUntilSemicolon(char* dst, size_t cap, const char* src, int avail, int n) {
  int k = 0;
  while (k < n && k < avail && src[k] != ';' && static_cast<size_t>(k) + 1 < cap) {
    dst[k] = src[k];
    k++;
  }
  dst[k] = '\0';
}

void decodeEeprom(Works* w, const char* reply, int count) {
  if (count < 6) return;
  char block = reply[5];
  auto byteAt = [&](int pos) -> int {
    if (pos + 1 >= count) return -1;
    int hi = charToInt(reply[pos]), lo = charToInt(reply[pos + 1]);
    if (hi < 0 || lo < 0) return -1;
    return hi * 16 + lo;
  };
  if (block == '0' || block == '1') {
    char* dst = block == '0' ? w->ampEeprom0 : w->ampEeprom1;
    for (int k = 0; k < 32; k++) {
      int b = byteAt(6 + 2 * k);
      dst[k] = b < 0 ? 0 : static_cast<char>(b);
    }
    fprintf(stderr, block == '0' ? "EE0:%.32s\n" : "EE1:%.32s\n", dst);
  } else if (block == '2') {
    int cfg = byteAt(6), model = byteAt(8);
    if (cfg < 0 || model < 0) return;
    w->ampConfig = static_cast<uint8_t>(cfg);
    w->ampModel = static_cast<uint8_t>(model);
    number_ofStep_meter_FWD = w->ampModel == '1' ? 120 : 60;
    fprintf(stderr, "EE2: %x %x\n", w->ampConfig.load(), w->ampModel.load());
  }
}

// Next command after a status reply, by the autotune state.
void nextAfterStatus(Works* w, LinearState* st) {
  st->retryCount = 0;  // the link answered: a fresh command gets its four tries
  switch (w->TuneRunState.load()) {
    case 1:
      stepAutotune(w);
      st->status = CMD_MT1;
      break;
    case 2:
      st->status = CMD_CP;
      w->TuneRunState = 1;
      break;
    case 3:
      st->status = CMD_ST;
      w->TuneRunState = 1;
      break;
    default: {
      int cmd = TakeQueuedCmd(w);
      st->status = cmd < 0 ? CMD_FM : cmd;
      break;
    }
  }
}

}  // namespace

void DecodeStatusReply(Works* w, const char* r, int count) {
  (void)count;  // the caller checked the length
  w->statusReplies++;
  if (w->errResend == 2) {
    GestErroreSerial(w);
    fprintf(stderr, ">>> ERRORI: End Gest Errori!!\n");
    w->errResend = 0;
  }
  uint8_t A = static_cast<uint8_t>(hexDigit(r[2]));
  uint8_t B = static_cast<uint8_t>(hexDigit(r[3]));
  uint8_t C = static_cast<uint8_t>(hexDigit(r[28]) | (hexDigit(r[29]) << 4));
  w->ampStatus[0] = A;
  w->ampStatus[1] = B;
  w->ampStatus[2] = C;

  // Bypass state reported by the amplifier (B bit 3).
  const bool b3 = (B & 8) != 0;
  if (b3 && w->AmpBypassFlag == 0 && w->abState == 1) {
    fprintf(stderr, "--------------- AMPL ERRORE : bypass on %s\n", r);
    w->AmpBypassFlag = 1;
  } else if (!b3 && w->AmpBypassFlag == 1 && w->abState == 0) {
    fprintf(stderr, "--------------- AMPL ERRORE : bypass off %s\n", r);
    w->AmpBypassFlag = 0;
  }

  // After a lost link, adopt the amplifier's own state.
  if (ExistError(w, 4)) {
    if (b3 && w->AmpBypassFlag == 0) {
      w->AmpBypassFlag = 1;
      fprintf(stderr, "STATE DA ERRORE : bypass on\n");
    } else if (!b3 && w->AmpBypassFlag == 1) {
      w->AmpBypassFlag = 0;
      fprintf(stderr, "STATE DA ERRORE : bypass off\n");
    }
    int step;
    const char* msg;
    if ((A & 0xC) == 0xC) {
      step = 3;
      msg = "STATE DA ERRORE : attenuatore 3dB=on 2dB=on\n";
    } else if (A & 8) {
      step = 2;
      msg = "STATE DA ERRORE : attenuatore 3dB=on 2dB=off\n";
    } else if (A & 4) {
      step = 1;
      msg = "STATE DA ERRORE : attenuatore 3dB=off 2dB=on\n";
    } else {
      step = 0;
      msg = "STATE DA ERRORE : attenuatore 3dB=off 2dB=off\n";
    }
    if (w->Attenuator != step) {
      fprintf(stderr, "%s", msg);
      w->Attenuator = static_cast<uint8_t>(step);
      if (w->AttIdx != 4) w->AttIdx = static_cast<uint8_t>(step);
    }
  }

  if ((C & 0x80) && w->resetMicro == 1) AddErrore(w, 16);

  if (C & 0x5F) {
    if (C & 0x40) {
      AddErrore(w, 19);
    } else {
      const char* detail = "---";
      if (C & 0x01) detail = "I OUT";
      if (C & 0x02) detail = "REFL";
      if (C & 0x04) detail = "FWD";
      if (C & 0x08) detail = "SENS PW";
      if (C & 0x10) detail = "FILTER TX";
      SetErrorLine2(w, 15, detail);
      AddErrore(w, 15);
    }
  } else {
    DeleteErrore(w, 15);
    clearResetFlags(w);
  }

  if ((C & 0x20) && w->anState == 1 && w->TuneRunState == 0 && (w->tuneFlags & 0x1E) == 0) AddErrore(w, 3);

  if (B & 2) {
    AddErrore(w, 1);
  } else {
    DeleteErrore(w, 1);
    clearResetFlags(w);
  }
  if (!(B & 4)) clearResetFlags(w);

  // Powers: W = factor x reading^2, chosen by frequency.
  float k0 = SearchK(w, 0), k1 = SearchK(w, 1), k2 = SearchK(w, 2), k3 = SearchK(w, 3);
  w->rawIn = static_cast<uint16_t>(fieldValue(r + 4, 4));
  w->rawFwd = static_cast<uint16_t>(fieldValue(r + 8, 4));
  w->rawRefl = static_cast<uint16_t>(fieldValue(r + 12, 4));
  float in = static_cast<float>(w->rawIn), fwd = static_cast<float>(w->rawFwd),
        refl = static_cast<float>(w->rawRefl);
  w->pwrIn = k2 * in * in;
  float F = k0 * fwd * fwd;
  float R = k1 * refl * refl + k3 * F;
  if (R < 0) R = 0;
  w->FWD = F;
  w->pwrRefl = R;

  float swr = 0;
  if (F > 0.3f) {
    if (F < R) {
      swr = 100;
    } else {
      float rho = std::sqrt(R / F);
      swr = rho == 1.0f ? 100.0f : (1 + rho) / (1 - rho);
    }
  } else if (R > 0.5f) {
    swr = 100;
  }
  if (swr > 100) swr = 100;
  w->SWR = swr;

  w->paCurrentRaw = static_cast<float>(fieldValue(r + 16, 4));

  float tb = CalcolaTemp(static_cast<int>(fieldValue(r + 20, 4)));
  float th = CalcolaTemp(static_cast<int>(fieldValue(r + 24, 4)));
  w->tempBoard = w->tempBoard == 0 ? tb : (9 * w->tempBoard + tb) / 10;
  w->tempHeatsink = w->tempHeatsink == 0 ? th : (9 * w->tempHeatsink + th) / 10;

  if (w->EnablePwrPeak == 1 && count >= 36) {
    float pk = static_cast<float>(fieldValue(r + 32, 4));
    float p = k0 * pk * pk;
    float cap = w->ampModel == '1' ? 130.0f : 70.0f;
    w->pwrPeak = p > cap ? cap : p;
  }

  // The temperature log's lines read the published copy: publish this
  // reply's values before one is written, not the last reply's.
  PublishAmpStatus(w);
  if (w->EnableLOGTemp == 1 && (B & 1) && !w->logTempRestarted) {
    fprintf(stderr, "REMOVE file LOG \n");
    LogTempFunction(w, -1);
    LogTempFunction(w, 0);
    w->logTempRestarted = 1;
  }
  searchPercentVentola(w);
  GestTemperatureFunction(w, 2, 0, 23, w->tempBoard, w->MaxTemperature);
  GestTemperatureFunction(w, 22, 21, 24, w->tempHeatsink, w->MaxTemperature2);
}

int DecodeCatCmd(Works* w, LinearState* st, const char* reply, int count) {
  if (count < 3) return 0;
  const char c0 = reply[0], c1 = reply[1], c2 = reply[2];
  if (c2 == '?' || c2 == '!' || c2 == '&') {
    fprintf(stderr, "---------------------------------------CMD Errato:%s\n", reply);
    GestRetrayCMD(w, st);
    return 20;
  }
  auto is = [&](const char* code) { return c0 == code[0] && c1 == code[1]; };

  if (is("ST")) {
    // Layout through status byte C (positions 0..29) and the ";".
    if (count < 31) {
      fprintf(stderr, "---------------------------------------cmd non riconosciuto:%s\n", reply);
      GestRetrayCMD(w, st);
      return 20;
    }
    DecodeStatusReply(w, reply, count);
    nextAfterStatus(w, st);
    return 10;
  }

  if (is("VS")) {
    copyUntilSemicolon(w->ampVersion, sizeof w->ampVersion, reply + 3, count - 3, 7);
  } else if (is("TU")) {
    w->tuState = static_cast<uint8_t>(c2 - '0');
  } else if (is("SA")) {
    // Only an antenna the station has (1..3) is taken over.
    if (c2 >= '1' && c2 <= '3') w->AntennaIdx = c2 - '0' - 1;
  } else if (is("FM")) {
    long f = count >= 14 ? fieldValue(reply + 3, 11) : 0;
    if (f > 0 && f <= 2147483647L) w->freqMeasured = static_cast<int>(f);
  } else if (is("FA") || is("MT") || is("FS") || is("AT") || is("MP") || is("TS")) {
    // acknowledged, nothing to keep
  } else if (is("CP")) {
    w->errorsMuted &= static_cast<uint8_t>(~1u);
  } else if (is("AB")) {
    fprintf(stderr, ">> ByPass Ampl: %s\n", reply);
    w->AmpBypassFlag = c2 == '1' ? 1 : 0;
  } else if (is("AN")) {
    if (c2 >= '0' && c2 <= '9') w->anState = c2 - '0';
    if (w->txReqFlags & 0x10) w->txReqFlags |= 0x20;
  } else if (is("FN")) {
    fprintf(stderr, "Ventola: %s\n", reply);
  } else if (is("PS")) {
    fprintf(stderr, "Protezioni automatiche setted : %s\n", reply);
  } else if (is("SF")) {
    fprintf(stderr, "Pilotaggio Relè : %s\n", reply);
  } else if (is("SE")) {
    fprintf(stderr, "SERVICE ATTIVO!! : %s\n", reply);
  } else if (is("GM")) {
    fprintf(stderr, "Impostazioni Generic mode : %s\n", reply);
  } else if (is("MR")) {
    fprintf(stderr, "RESET MICRO: %s\n", reply);
    if (c2 == '0') w->resetMicro = 1;
    fprintf(stderr, "RESET MICRO ----------------------------------  %x\n", w->resetMicro);
  } else if (is("GS")) {
    int k = 0;
    for (; k < 10; k++) {
      if (2 + k >= count || reply[2 + k] == ';') {
        fprintf(stderr, "ERRORE!! Impostazioni Generali\n");
        break;
      }
      w->gsSettings[k] = reply[2 + k];
    }
    w->gsSettings[k] = '\0';
    fprintf(stderr, "Impostazioni Generali : %s (%s)\n", w->gsSettings, reply);
  } else if (is("ER")) {
    decodeEeprom(w, reply, count);
  } else {
    fprintf(stderr, "---------------------------------------cmd non riconosciuto:%s\n", reply);
    GestRetrayCMD(w, st);
    return 20;
  }
  NextCmdPriority(w, st, CMD_ST);
  return 20;
}

// ---------------------------------------------------------------- status text

namespace {
// Prints v with fmt into exactly width characters at dst; the value is
// first held within [lo, hi] so that it can never shift later fields.
void putFixed(char* dst, int width, const char* fmt, double v, double lo, double hi) {
  if (!(v >= lo)) v = lo;  // also catches NaN
  if (v > hi) v = hi;
  char tmp[32];
  snprintf(tmp, sizeof tmp, fmt, v);
  size_t n = strlen(tmp);
  for (int i = 0; i < width; i++) dst[i] = static_cast<size_t>(i) < n ? tmp[i] : ' ';
}
}  // namespace

void CreaBufferDiStato(Works* w, char* out) {
  const AmpSnapshot a = GetAmpStatus(w);
  memset(out, '0', 51);
  const char* band = bandNameForFreq(w, static_cast<unsigned long>(w->freq.load()));
  if (band == nullptr) {
    memcpy(out, "----", 4);
  } else {
    size_t n = strnlen(band, 4);
    for (size_t i = 0; i < 4; i++) out[i] = i < n ? band[i] : ' ';
  }
  int mode = w->ModeWorkIdx;
  out[4] = mode >= 1 && mode <= 3 ? static_cast<char>('0' + mode) : '0';
  out[5] = static_cast<char>('0' + (w->Attenuator % 10));
  out[6] = static_cast<char>('0' + (w->AntennaIdx >= 0 ? w->AntennaIdx % 10 : 0));
  out[7] = w->AmpBypassFlag ? '1' : '0';
  out[8] = (w->TUNEenabled & 0x80) ? 'N' : (w->AtuBypassFlag ? 'B' : 'T');
  out[9] = w->TuneRunState != 0 ? '1' : '0';
  putFixed(out + 10, 6, "%06.02f", a.SWR, 0, 999.99);
  putFixed(out + 16, 6, "%06.2f", a.FWD, 0, 999.99);
  putFixed(out + 22, 6, "%06.02f", a.pwrIn, 0, 999.99);
  float t = a.tempBoard > a.tempHeatsink ? a.tempBoard : a.tempHeatsink;
  putFixed(out + 28, 4, "%04.01f", t, -9.9, 99.9);
  putFixed(out + 32, 4, "%4.1f", AmpSupplyVolts(w), 0, 99.9);
  putFixed(out + 36, 4, "%04.01f", a.paCurrentRaw / 4096.0 * 14.05, 0, 99.9);
  putFixed(out + 40, 2, "%02.0f", w->NumBanco, 0, 99);
  {
    std::lock_guard<std::recursive_mutex> lk(w->errMut);
    out[42] = w->errCount > 0 ? static_cast<char>(w->errList[w->errCount - 1] + 1) : '0';
  }
  memset(out + 43, '0', 8);
  out[51] = ';';
  out[52] = '\0';
}
