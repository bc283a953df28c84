// The error list, its keys on the bottom row, and the reset logic of the
// front panel's error key.
#include "amp/errors.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "amp/linear.h"
#include "core/spine.h"
#include "core/works.h"
#include "display/fb.h"
#include "display/text.h"

namespace {

struct ErrDef {
  uint8_t flags;
  const char* line1;
  const char* line2;
};

const ErrDef kErrDefs[kErrCodes] = {
    {2, "1-High", "temperature"},     {3, "HI SWR", "error"},          {1, "1-High", "temperature"},
    {3, "PWR IN", "error"},           {4, "Comm", "warn"},             {4, "Remote warn", "Usb"},
    {4, "Audio", "not found"},        {4, "ZEL mode", "not activated"}, {4, "ZEL EXTIO", "warning"},
    {0, "Audio read", "warning"},     {0, "Audio write", "warning"},   {0, "Web socket", "warning"},
    {4, "Auto Tune", "timeout"},      {4, "Auto Tune", "SWR warning"}, {4, "Auto Tune", "ZEL aborts"},
    {3, "Error", "---"},              {4, "Micro Reset", "warning"},   {4, "CMD not", "available"},
    {4, "Auto Tune", "Max SWR"},      {6, "Band warn", "StBy"},        {4, "Remote warn", "Cat"},
    {2, "2-High", "temperature"},     {1, "2-High", "temperature"},    {2, "2-Warning", "temperature"},
    {2, "2-Warning", "temperature"},
};

bool validCode(int code) { return code >= 0 && code < kErrCodes; }

void copyLine(char* dst, const char* src) {
  strncpy(dst, src, 29);
  dst[29] = '\0';
}

// The table is filled by the menu set-up; an entry nobody filled yet takes
// its built-in texts so that a key is never blank.
void ensureEntry(Works* w, int code) {
  ErrDesc& d = w->errTable[code];
  if (d.line1[0] != '\0') return;
  d.flags = kErrDefs[code].flags;
  copyLine(d.line1, kErrDefs[code].line1);
  if (d.line2[0] == '\0') copyLine(d.line2, kErrDefs[code].line2);
}

int findError(Works* w, int code) {
  for (int i = 0; i < w->errCount; i++)
    if (w->errList[i] == code) return i;
  return -1;
}

void addError(Works* w, int code) {
  if (!validCode(code)) return;
  std::lock_guard<std::recursive_mutex> lk(w->errMut);
  if (findError(w, code) >= 0 || w->errCount >= kErrCodes) return;
  ensureEntry(w, code);
  w->errList[w->errCount++] = code;
  fprintf(stderr, "Add: N: %i err:%i\n", w->errCount, code);
  // Flags come from the fixed table: protection must latch even if the
  // descriptors were never filled.
  uint8_t flags = kErrDefs[code].flags;
  if ((flags & 2) && !(w->errFlags & 1)) {
    w->errFlags |= 1;
    fprintf(stderr, " -->set protezione 0x%x\n", w->errFlags.load());
  }
  if ((flags & 4) && !(w->errFlags & 4)) {
    w->errFlags |= 4;
    fprintf(stderr, " -->tasto reset errore 0x%x\n", w->errFlags.load());
  }
}

void removeAt(Works* w, int pos) {
  for (int i = pos; i + 1 < w->errCount; i++) w->errList[i] = w->errList[i + 1];
  w->errCount--;
  w->errList[w->errCount] = 0;
}

}  // namespace

void InitErrTable(Works* w) {
  std::lock_guard<std::recursive_mutex> lk(w->errMut);
  for (int c = 0; c < kErrCodes; c++) {
    w->errTable[c].flags = kErrDefs[c].flags;
    copyLine(w->errTable[c].line1, kErrDefs[c].line1);
    copyLine(w->errTable[c].line2, kErrDefs[c].line2);
  }
}

void AddErrore(Works* w, int code) {
  if (w->errorsMuted & 1) return;
  addError(w, code);
}

void AddErroreUnmuted(Works* w, int code) { addError(w, code); }

void DeleteErrore(Works* w, int code) {
  std::lock_guard<std::recursive_mutex> lk(w->errMut);
  int pos = findError(w, code);
  if (pos < 0) return;
  removeAt(w, pos);
  fprintf(stderr, "Del ERROR: N: %i err:%i\n", w->errCount, code);
}

int ExistError(Works* w, int code) {
  std::lock_guard<std::recursive_mutex> lk(w->errMut);
  return findError(w, code) >= 0 ? 1 : 0;
}

int ExistAnError(Works* w) {
  std::lock_guard<std::recursive_mutex> lk(w->errMut);
  return w->errCount > 0 ? w->errList[0] : -1;
}

void SetErrorLine2(Works* w, int code, const char* text) {
  if (!validCode(code)) return;
  std::lock_guard<std::recursive_mutex> lk(w->errMut);
  ensureEntry(w, code);
  copyLine(w->errTable[code].line2, text);
}

// ---------------------------------------------------------------- drawing

void DrawTastoErrore(Works* w, int x0, int x1, int index) {
  FbInfo* fb = w->fb;
  if (fb == nullptr) return;
  ErrDesc d;
  {
    std::lock_guard<std::recursive_mutex> lk(w->errMut);
    if (index < 0 || index >= w->errCount) return;
    int code = w->errList[index];
    ensureEntry(w, code);
    d = w->errTable[code];
    d.flags = kErrDefs[code].flags;
  }
  uint8_t r = 250, g = 150, b = 0;  // orange
  if (d.flags & 1) {
    r = 255;
    g = 30;
    b = 0;
  }
  FillBox(x0, 370, x1, 415, r, g, b, fb, 0);
  DrawHorizontalLine(x0, 370, x1 + 1, 255, 255, 255, fb, 0);
  DrawHorizontalLine(x0, 415, x1 + 1, 255, 255, 255, fb, 0);
  DrawLine(x0, 370, x0, 415, 255, 255, 255, fb, 0);
  DrawLine(x1, 370, x1, 415, 255, 255, 255, fb, 0);
  putString(10, x0 + 4, 390, d.line1, 250, 250, 250, fb, 0, 0, 0, 0);
  putString(10, x0 + 4, 410, d.line2, 250, 250, 250, fb, 0, 0, 0, 0);
}

void DrawError(Works* w) {
  static const int kCols[6][2] = {{5, 130}, {133, 263}, {266, 396}, {399, 529}, {532, 662}, {665, 795}};
  if (w->overlay != 0) return;
  int n;
  {
    std::lock_guard<std::recursive_mutex> lk(w->errMut);
    n = w->errCount;
  }
  if (n <= 0) return;
  int first = n > 6 ? n - 6 : 0;
  std::lock_guard<std::recursive_mutex> draw(drawMutex());
  for (int i = first; i < n; i++) DrawTastoErrore(w, kCols[i - first][0], kCols[i - first][1], i);
}

// ---------------------------------------------------------------- reset logic

int GPIO_Errori(Works* w) {
  if (w->errFlags != 0) {
    fprintf(stderr, "----------> 1- ERRORI!!\n");
    GestErrore(w);
    return 1;
  }
  int first = ExistAnError(w);
  if (first < 0) return 0;
  fprintf(stderr, "----------> 2- ERRORI!!\n");
  GestErroreRemote(w);
  if (first == 2) return 0;  // board over-temperature: nothing to reset
  VerificaEsistonoErrori(w);
  return 1;
}

void GestErrore(Works* w) {
  fprintf(stderr, ">>> ERRORI: GestErrore\n");
  if (w->errFlags & 1) {
    fprintf(stderr, ">>> ERRORI: ResetBiasCmd\n");
    ResetBiasCmd(w);
    w->errResend = 1;
    w->cmdQ.urgent = 1;
  } else if (w->errFlags & 4) {
    VerifyWarningTemporanei(w);
    w->errFlags &= static_cast<uint8_t>(~4u);
  } else if (ExistAnError(w) >= 0) {
    fprintf(stderr, ">>> ERRORI2: VerificaEsistonoErrori\n");
    VerificaEsistonoErrori(w);
  }
  GestErroreRemote(w);
}

void GestErroreRemote(Works* w) {
  SetupRec* s = w->setup;
  char ew = s ? s->EnableWrite : '0', er = s ? s->EnableRead : '0';
  fprintf(stderr, ">>> RESTART REMOTE: %i %i audio %x %x\n", w->remoteStarted, w->remoteFault, ew, er);
  if (s == nullptr || w->remoteStarted != 1 || w->remoteFault != 1) return;
  fprintf(stderr, ">>> RESTART REMOTE!\n");
  StartRemoteGroupThreads(w, true);
}

void ResetBiasCmd(Works* w) {
  uint8_t B = w->ampStatus[1], C = w->ampStatus[2];
  if (C != 0 || (B & 2)) {
    IncPNTIn_CMDLinear(w, CMD_CP);
    fprintf(stderr, ">>> ERRORI: RESET Protezione AMPL!\n");
  }
  if (C & 0x80) InitMicroCmd(w);
  IncPNTIn_CMDLinear(w, CMD_MP0);
  IncPNTIn_CMDLinear(w, w->AmpBypassFlag ? CMD_AB1 : CMD_AB0);
  IncPNTIn_CMDLinear(w, CMD_AT);
}

void ClearDisplayError(Works* w) {
  w->errFlags |= 2;
  DeleteErrore(w, 12);
  DeleteErrore(w, 13);
  DeleteErrore(w, 14);
  fprintf(stderr, " -->reset protezione %c\n", w->ampStatus[1]);
}

void GestErroreSerial(Works* w) {
  ClearDisplayError(w);
  if (w->errFlags & 1) VerifyWarningTemporaneiDopoResetBias(w);
  if (w->errFlags & 4) {
    VerifyWarningTemporanei(w);
    w->errFlags &= static_cast<uint8_t>(~4u);
  }
  if (ExistAnError(w) >= 0) VerificaEsistonoErrori(w);
}

void VerificaEsistonoErrori(Works* w) {
  int first = ExistAnError(w);
  if (first < 0) return;
  fprintf(stderr, "FOUND ERR: %d \n", first);
  ResetBiasCmd(w);
  VerifyWarningTemporaneiDopoResetBias(w);
}

void VerifyWarningTemporanei(Works* w) {
  std::lock_guard<std::recursive_mutex> lk(w->errMut);
  for (int i = 0; i < w->errCount;) {
    int code = w->errList[i];
    if (validCode(code) && (kErrDefs[code].flags & 4)) {
      fprintf(stderr, "Del temp err: %i (%i , %i)\n", code, i, w->errCount);
      removeAt(w, i);
    } else {
      i++;
    }
  }
}

void VerifyWarningTemporaneiDopoResetBias(Works* w) {
  std::lock_guard<std::recursive_mutex> lk(w->errMut);
  while (w->errCount > 0) {
    fprintf(stderr, "Del temp err: %i (%i , %i)\n", w->errList[0], 0, w->errCount);
    removeAt(w, 0);
  }
}
