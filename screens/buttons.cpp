#include "screens/buttons.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "amp/errors.h"
#include "screens/error_keys.h"
#include "core/works.h"
#include "display/fb.h"
#include "display/text.h"
#include "screens/labels.h"
#include "screens/views.h"

ZarnPage Zarnmenu[kMenuPages];
MenuParGroup menuPar[kParGroups];

const char AttVectStr[5][8] = {"0", "2", "3", "5", "StBy"};
const char MODEwork[4][8] = {"Generic", "QVRZEL", " FT-817", "Hamlib"};

namespace {

struct PageText {
  const char* l[6][2];
  uint8_t flags;
};

// Value lines that show live state are filled after the copy.
const PageText kPages[13] = {
    {{{"  MEM", " "}, {" IN-ATT", " "}, {"   ANT", " "}, {"  TUNE", " "}, {"   SET", " "}, {"   VIEW ", " 1 "}}, 0x21},
    {{{" BACK ", " "}, {"  ", " "}, {"    UP", " "}, {"  DOWN", " "}, {" ", " "}, {"  ENTER", " "}}, 0},
    {{{" ", " "}, {" < ", " "}, {"   > ", " "}, {"      - ", " "}, {"     + ", " "}, {"  ENTER", " "}}, 0},
    {{{" BACK ", " "}, {" ", " "}, {" ", " "}, {"  TUNE", " "}, {"   ATU", "Off"}, {"MANUAL", "Tune"}}, 0},
    {{{" BACK ", " "}, {" down L", " "}, {"   up L", " "}, {" down C", " "}, {"   up C", " "}, {"STARTTX", " "}}, 0x01},
    {{{"  ", " "}, {"  ", " "}, {"    ", " "}, {"     ", " "}, {" Retry", " "}, {"Cancel", " "}}, 0},
    {{{" BACK", " "}, {" INTERF", " "}, {"    UP", " "}, {"  DOWN", " "}, {"   UTIL", " "}, {" ENTER", " "}}, 0},
    {{{"BACK", " "}, {"  <", " "}, {"    >", " "}, {"  + ", " "}, {" - ", " "}, {"SAVE", " "}}, 0},
    {{{"  ESC", " "}, {"  BANK", " "}, {"   ANT", " "}, {" ", " "}, {" ", " "}, {"   SAVE", " "}}, 0},
    {{{"BACK", " "}, {"  COPY", " "}, {"   RESET", " "}, {"  ", " "}, {" ", " "}, {" ", " "}}, 0},
    {{{"BACK", " "}, {" ORIGIN", " "}, {"  DEST", " "}, {"  ", " "}, {" ", " "}, {" START", "COPY"}}, 0},
    {{{"BACK", " "}, {" BANK", " "}, {"  ", " "}, {"  ", " "}, {" ", " "}, {" START", "RESET"}}, 0},
    {{{" ESC", " "}, {"    UP", " "}, {"  DOWN", " "}, {" ", " "}, {"Enable", " "}, {"Disable", " "}}, 0},
};

struct GroupText {
  int id;
  const char* title;
  const char* caption;
};

const GroupText kGroups[kParGroups] = {
    {1, "MAX BANK", " "},
    {2, "FREQ", "Input Sens"},
    {3, "FREQ", "Period (ms)"},
    {4, "AUTO TUNE", "Enable ZEL Tune"},
    {5, "AUTO TUNE", "Force Attenuator"},
    {6, "AUTO TUNE", "Target SWR (0=Off)"},
    {7, "AUTO TUNE", "AutoTune Timeout"},
    {8, "AUTO TUNE", "ATU Installed"},
    {9, "ZEL PYX USE MODE", " "},
    {10, "NETWORK LAN", "IP"},
    {11, "NETWORK LAN", "SUBNET"},
    {12, "NETWORK LAN", "GATEWAY"},
    {13, "NETWORK LAN", "DNS"},
    {14, "PLOT", "Ref Lev"},
    {15, "PLOT", "Ref Pos"},
    {16, "PLOT", "Point Div"},
    {17, "PLOT", "Offset"},
    {18, "FILTER SETTINGS", "View"},
    {50, "VIEW SCREEN", "DateTime"},
    {51, "TEMPERATURE UNITS", " "},
    {52, "PEAK POWER METER", " "},
    {53, "PEAK POWER METER", "Release Time (ms)"},
    {54, "1-TEMPERATURE ALARM", " SET POINT"},
    {55, "2-TEMPERATURE ALARM", " SET POINT"},
    {56, "SET POWER UNITS", " "},
    {57, "SCREEN SAVER TIMEOUT", " "},
    {58, "FACTORY DEFAULT", " "},
    {59, "BUTTON TIME", "Long Press Time"},
    {96, "OFF HW", " "},
    {97, "FW UPDATE", " "},
    {98, "UI UPDATE", " "},
    {99, "REMOTE SERVICE", " "},
};

void copyText(char* dst, size_t cap, const char* src) { snprintf(dst, cap, "%s", src); }

// Formats into a 12-byte label field; a value too long is cut, never spilled.
void labelf(char* dst, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void labelf(char* dst, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(dst, sizeof(ZarnButton::line1), fmt, ap);
  va_end(ap);
}

const uint8_t kOrange[3] = {250, 150, 0};

// Label x positions per button: line 1, line 2.
const int kLabelX[6][2] = {{20, 30}, {143, 153}, {276, 286}, {409, 419}, {542, 552}, {675, 695}};

void drawLabel(FbInfo* fb, int x, int y, int font, const char* text) {
  putString(font, x, y, text, kOrange[0], kOrange[1], kOrange[2], fb, 0, 0, 0, 0);
}

}  // namespace

void InitMenuZarn(Works* w) {
  w->NumPar = kParGroups;
  memset(menuPar, 0, sizeof menuPar);
  for (int g = 0; g < kParGroups; g++) {
    menuPar[g].id = kGroups[g].id;
    copyText(menuPar[g].title, sizeof menuPar[g].title, kGroups[g].title);
    copyText(menuPar[g].item[0].caption, sizeof menuPar[g].item[0].caption, kGroups[g].caption);
    menuPar[g].item[0].noEdit = 0;
    menuPar[g].item[0].hasCursor = (g >= 9 && g <= 12) ? 1 : 0;
    menuPar[g].itemCount = 1;
  }

  memset(Zarnmenu, 0, sizeof Zarnmenu);
  for (int p = 0; p < 13; p++) {
    for (int b = 0; b < 6; b++) {
      copyText(Zarnmenu[p].button[b].line1, 12, kPages[p].l[b][0]);
      copyText(Zarnmenu[p].button[b].line2, 12, kPages[p].l[b][1]);
    }
    Zarnmenu[p].flags = kPages[p].flags;
  }
  int att = w->AttIdx < 5 ? w->AttIdx.load() : 0;
  labelf(Zarnmenu[0].button[0].line2, "BANK %i", w->NumBanco.load());
  labelf(Zarnmenu[0].button[1].line2, "%sdB", AttVectStr[att]);
  labelf(Zarnmenu[0].button[2].line2, "%d", w->AntennaIdx + 1);
  labelf(Zarnmenu[8].button[1].line2, "   %i", w->SaveBank);
  labelf(Zarnmenu[8].button[2].line2, "     %i", w->SaveAnt + 1);
  GetLblInterface(w->ModeWorkIdx, Zarnmenu[6].button[1].line2);
  labelf(Zarnmenu[10].button[1].line2, "    %i", w->CopyFrom);
  labelf(Zarnmenu[10].button[2].line2, "    %i", w->CopyTo);
  labelf(Zarnmenu[11].button[1].line2, "    %i", w->ResetBank);

  InitErrTable(w);
}

void LoadButtons(Works* w) {
  FbInfo* fb = w->fb;
  if (fb == nullptr) return;
  int page = w->MenuIdx;
  if (page < 0 || page >= kMenuPages) page = 0;
  ZarnPage& zp = Zarnmenu[page];

  static const int kRuns[6][2] = {{0, 130}, {133, 263}, {266, 396}, {399, 529}, {532, 662}, {665, 799}};
  for (int y = 420; y < 480; y++)
    for (const auto& r : kRuns) DrawHorizontalLine(r[0], y, r[1], 40, 40, 40, fb, 0);

  if (zp.flags & 0x01)
    for (int y = 478; y < 480; y++) DrawHorizontalLine(2, y, 128, 250, 150, 0, fb, 0);
  if (zp.flags & 0x20)
    for (int y = 478; y < 480; y++) DrawHorizontalLine(667, y, 797, 250, 150, 0, fb, 0);

  static const int kTop[6][2] = {{1, 130}, {134, 263}, {267, 396}, {400, 530}, {533, 663}, {666, 799}};
  for (const auto& r : kTop) DrawHorizontalLine(r[0], 420, r[1], 120, 120, 120, fb, 0);
  static const int kVert[6] = {130, 263, 396, 529, 662, 799};
  for (int x : kVert) DrawLine(x, 420, x, 479, 120, 120, 120, fb, 0);

  if (page == 3) {
    const char* t = (w->TUNEenabled & 0x80) ? "NotInst" : (w->TuneRunState != 0 ? "    On" : "   Off");
    copyText(Zarnmenu[3].button[3].line2, 12, t);
  }
  if (page == 0) {
    // An antenna the table chose reads "Auto N"; one picked by hand, its number.
    if (w->antennaAuto.load() != 0)
      labelf(Zarnmenu[0].button[2].line2, "Auto %d", w->AntennaIdx + 1);
    else
      labelf(Zarnmenu[0].button[2].line2, "     %d", w->AntennaIdx + 1);
    SetAttenuatorLabel(w);
    SetModeWorkLabel(w);
    labelf(Zarnmenu[0].button[5].line2, "    %d", w->ViewIdx.load());
  }
  LblCOPY(w);
  LblRESET(w);
  LabelSAVEATU(w);
  ImpostaLblManuale(w);
  LabelByPassATU(w);
  LblMenuAntenna(w);

  bool errorKey = VerifyError(w);
  const MenuParGroup& grp = menuPar[(w->ParIdx >= 0 && w->ParIdx < kParGroups) ? w->ParIdx : 0];
  int sub = (w->ParSubIdx >= 0 && w->ParSubIdx < kParItems) ? w->ParSubIdx : 0;
  for (int b = 0; b < 6; b++) {
    const char* l1 = zp.button[b].line1;
    const char* l2 = zp.button[b].line2;
    int x1 = kLabelX[b][0], x2 = kLabelX[b][1];
    if (b == 0 && errorKey) {
      l1 = "RESET";
      l2 = " Error ";
    }
    if (page == 2 && (b == 1 || b == 2) && grp.item[sub].hasCursor == 0) {
      l1 = l2 = " ";
      x1 = x2 = (b == 1) ? 143 : 286;
    }
    if (page == 1 && b == 5 && grp.item[sub].noEdit == 1) {
      l1 = l2 = " ";
      x1 = 685;
      x2 = 715;
    }
    drawLabel(fb, x1, 445, 0, l1);
    drawLabel(fb, x2, 472, 1, l2);
  }

  DrawParameters(w);
  DrawError(w);
  ViewStatusInfo(w);
  ViewStatusTX(w);
}
