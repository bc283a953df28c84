// Menu model and button strip: the pages of six two-line button labels,
// the parameter groups the settings pages walk through, and the routine
// that draws the strip along the bottom of the screen.
#pragma once
#include <cstdint>
struct Works;

constexpr int kMenuPages = 16;    // pages 0..12 used
constexpr int kParGroups = 32;
constexpr int kParItems = 10;

struct ZarnButton {
  char line1[12];
  char line2[12];
};

struct ZarnPage {
  ZarnButton button[6];  // left to right
  uint8_t flags;         // bit 0 long-press mark under button 1, bit 5 under button 6
};

struct MenuParItem {
  char caption[20];
  uint8_t noEdit;     // 1: cannot be edited (ENTER hidden)
  uint8_t hasCursor;  // 1: edited position by position ("<" and ">" shown)
};

struct MenuParGroup {
  int32_t id;
  char title[24];  // the longest title has 20 characters
  MenuParItem item[kParItems];
  int32_t itemCount;
};

extern ZarnPage Zarnmenu[kMenuPages];
extern MenuParGroup menuPar[kParGroups];

// Attenuator steps in dB (index 4 is standby) and interface work modes.
extern const char AttVectStr[5][8];
extern const char MODEwork[4][8];

// Fills menuPar, Zarnmenu and the error descriptors; sets NumPar.
void InitMenuZarn(Works* w);
// Draws the strip of page MenuIdx into the work buffer, then the page
// contents (parameter view, error keys, status views).
void LoadButtons(Works* w);
