// mkscreens OUTDIR: draws the panel's background pictures with the
// controller's own drawing primitives and fonts and writes them as
// 800 x 480 RGBA PNG files into OUTDIR.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "display/fb.h"
#include "display/png.h"
#include "display/text.h"
#include "screens/artwork.h"

namespace {

constexpr int W = 800;
constexpr int H = 480;
// Extra sizes for the title lettering, in font numbers no screen uses.
constexpr int kTitleFont = 12;
constexpr int kBadgeFont = 13;
constexpr int kSubFont = 14;
const char* kBold = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf";
const char* kPlain = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

uint8_t mix(int a, int b, int num, int den) { return (uint8_t)(a + (b - a) * num / den); }

// Dark panel: a vertical gradient with faint brushed lines.
void panel(FbInfo* fb) {
  for (int y = 0; y < H; y++) {
    uint8_t r = mix(24, 6, y, H), g = mix(28, 8, y, H), b = mix(38, 12, y, H);
    if (y % 4 == 0) {
      r = (uint8_t)(r + 3);
      g = (uint8_t)(g + 3);
      b = (uint8_t)(b + 3);
    }
    FillBox(0, y, W, y + 1, r, g, b, fb, 0);
  }
}

void centred(FbInfo* fb, int font, int y, const char* text, int r, int g, int b) {
  int x = (W - getStringSpace(font, text)) / 2;
  putString(font, x, y, text, r, g, b, fb, 0, 0, 0, 0);
}

void title(FbInfo* fb, int y) {
  const char* t = "ZEL PYX";
  int x = (W - getStringSpace(kTitleFont, t)) / 2;
  putString(kTitleFont, x + 4, y + 4, t, 60, 30, 0, fb, 0, 0, 0, 0);  // shadow
  putString(kTitleFont, x, y, t, 250, 150, 0, fb, 0, 0, 0, 0);
}

// Meter-like arcs behind the title, and an accent rule under it.
void ornament(FbInfo* fb) {
  for (int r = 300; r <= 318; r += 6)
    DrawArc(W / 2, 330, r, 30, 150, 60, 70, 90, fb, 0);
  for (int d = 35; d <= 145; d += 10) {
    double a = d * M_PI / 180.0;
    int x0 = W / 2 + (int)(318 * std::cos(a)), y0 = 330 - (int)(318 * std::sin(a));
    int x1 = W / 2 + (int)(330 * std::cos(a)), y1 = 330 - (int)(330 * std::sin(a));
    DrawLine(x0, y0, x1, y1, 90, 100, 120, fb, 0);
  }
  DrawHorizontalLine(120, 262, 680, 250, 150, 0, fb, 0);
  DrawHorizontalLine(160, 265, 640, 120, 72, 0, fb, 0);
}

void startScreen(FbInfo* fb, bool model120) {
  panel(fb);
  ornament(fb);
  title(fb, 230);
  centred(fb, kSubFont, 300, "HF LINEAR AMPLIFIER  \xC2\xB7  AUTOMATIC ANTENNA TUNER", 200, 200, 210);
  if (model120) {
    // Badge for the 120 W model.
    FillBox(330, 318, 470, 360, 250, 150, 0, fb, 0);
    FillBox(333, 321, 467, 357, 20, 22, 30, fb, 0);
    centred(fb, kBadgeFont, 350, "120 W", 250, 150, 0);
  }
  DrawHorizontalLine(0, 470, W, 60, 70, 90, fb, 0);
}

// Work background: the panel with a strip for the six buttons at the bottom.
void workBackground(FbInfo* fb) {
  panel(fb);
  FillBox(0, 400, W, H, 10, 11, 14, fb, 0);
  DrawHorizontalLine(0, 400, W, 70, 75, 90, fb, 0);
}

void statusScreen(FbInfo* fb) {
  workBackground(fb);
  putString(0, 20, 60, "STATUS INFORMATION", 250, 150, 0, fb, 0, 0, 0, 0);
  DrawHorizontalLine(20, 70, 780, 250, 150, 0, fb, 0);
  // One band per information row (baselines 110 .. 352, 22 apart).
  for (int i = 0; i < 12; i++) {
    int top = 110 - 17 + 22 * i;
    if (i % 2 == 0) FillBox(3, top, 797, top + 22, 22, 26, 36, fb, 0);
  }
  DrawLine(2, 88, 2, 362, 120, 120, 120, fb, 0);
  DrawLine(797, 88, 797, 362, 120, 120, 120, fb, 0);
  DrawHorizontalLine(2, 88, 798, 120, 120, 120, fb, 0);
  DrawHorizontalLine(2, 362, 798, 120, 120, 120, fb, 0);
  DrawLine(172, 89, 172, 361, 80, 80, 80, fb, 0);
}

bool save(FbInfo* fb, const std::string& dir, const char* name) {
  std::string path = dir + "/" + name + ".png";
  if (writePngBgrx(path.c_str(), fb->workBuf, fb->xSize, fb->ySize, fb->lineSize) != 0) {
    fprintf(stderr, "mkscreens: cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: mkscreens OUTDIR\n");
    return 2;
  }
  std::string dir = argv[1];
  FbInfo* fb = fbCreateMemory(W, H);
  if (fb == nullptr) {
    fprintf(stderr, "mkscreens: out of memory\n");
    return 1;
  }
  LoadFontTable();
  TTFLoad(kBold, 96, kTitleFont);
  TTFLoad(kBold, 30, kBadgeFont);
  TTFLoad(kPlain, 17, kSubFont);

  bool ok = true;
  startScreen(fb, false);
  ok = save(fb, dir, "start") && ok;
  startScreen(fb, true);
  ok = save(fb, dir, "start120") && ok;
  workBackground(fb);
  ok = save(fb, dir, "statusB") && ok;
  statusScreen(fb);
  ok = save(fb, dir, "status") && ok;

  for (const char* name : {"img1", "img1b", "img3", "img3b", "m5a"}) {
    workBackground(fb);
    if (!drawWorkScreen(name, fb)) {
      // No artwork for it yet: the plain work background keeps the panel usable.
      fprintf(stderr, "mkscreens: %s drawn as a plain work background\n", name);
      workBackground(fb);
    }
    ok = save(fb, dir, name) && ok;
  }

  TTFUnloadAll();
  fbRelease(fb);
  return ok ? 0 : 1;
}
