// The error list: numbered errors and warnings recorded and removed by
// any thread under errMut, with their two-line key texts.
#include "amp/error_list.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "core/works.h"

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
    {2, "2-Warning", "temperature"}, {4, "Hamlib", "no link"},
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

bool ErrorKeyAt(Works* w, int index, ErrDesc* out) {
  std::lock_guard<std::recursive_mutex> lk(w->errMut);
  if (index < 0 || index >= w->errCount) return false;
  int code = w->errList[index];
  ensureEntry(w, code);
  *out = w->errTable[code];
  out->flags = kErrDefs[code].flags;
  return true;
}

int ErrorCount(Works* w) {
  std::lock_guard<std::recursive_mutex> lk(w->errMut);
  return w->errCount;
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
