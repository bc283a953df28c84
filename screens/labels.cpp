#include "screens/labels.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/works.h"
#include "screens/buttons.h"
#include "tuner/tune_memory.h"

// Every label is a 12-byte field; snprintf keeps even an unexpected value
// inside it.
static void setLine(int page, int button, int line, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));
static void setLine(int page, int button, int line, const char* fmt, ...) {
  ZarnButton& b = Zarnmenu[page].button[button - 1];
  char* dst = line == 1 ? b.line1 : b.line2;
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(dst, sizeof b.line1, fmt, ap);
  va_end(ap);
}

void SetAttenuatorLabel(Works* w) {
  if (w->MenuIdx != 0) return;
  if (w->AmpBypassFlag == 1) {
    setLine(0, 2, 2, "  %s", "StBy");
  } else {
    int i = w->AttIdx < 5 ? w->AttIdx.load() : 0;
    setLine(0, 2, 2, "  %sdB", AttVectStr[i]);
  }
}

void SetModeWorkLabel(Works* w) {
  if (w->MenuIdx != 0) return;
  setLine(0, 1, 2, "BANK%i", w->NumBanco.load());
}

void LabelByPassATU(Works* w) {
  if (w->MenuIdx != 3) return;
  setLine(3, 5, 2, "%s", w->AtuBypassFlag ? "   Bpy" : "   On");
}

void LabelByPassZarn(Works* w, const char* text) {
  if (w->MenuIdx != 3) return;
  setLine(3, 5, 2, "%s", text);
}

void LabelSAVEATU(Works* w) {
  if (w->MenuIdx != 8) return;
  setLine(8, 2, 2, "   %i", w->SaveBank);
  setLine(8, 3, 2, "     %i", w->SaveAnt + 1);
}

void LblCOPY(Works* w) {
  if (w->MenuIdx != 10) return;
  setLine(10, 2, 2, "    %i", w->CopyFrom);
  setLine(10, 3, 2, "    %i", w->CopyTo);
}

void LblRESET(Works* w) {
  if (w->MenuIdx != 11) return;
  if (w->ResetBank == w->MAXbank)
    setLine(11, 2, 2, "  ALL");
  else
    setLine(11, 2, 2, "    %i", w->ResetBank);
}

void GetLblInterface(int mode, char* dest) {
  if (mode < 0 || mode > 3) return;
  memcpy(dest, MODEwork[mode], sizeof MODEwork[mode]);
}

void LblMenuAntenna(Works* w) {
  if (w->MenuIdx != 6) return;
  GetLblInterface(w->ModeWorkIdx, Zarnmenu[6].button[1].line2);
}

void ImpostaLblManuale(Works* w) {
  if (w->MenuIdx != 4) return;
  setLine(4, 3, 2, "     %u", static_cast<unsigned>(w->ValI));
  setLine(4, 5, 2, "     %u", static_cast<unsigned>(w->ValC));
  int mode = DecodeModoFromTuneval(w->Tuneval);
  setLine(4, 1, 2, "%s", mode == 1 ? "CL" : mode == 2 ? "LC" : "ByP");
}
