// Frame benchmark: processor time of one timer cycle on a meter view and on
// a spectrum view, beside the cost of the two full-screen copies a cycle
// made before the damage record (background -> work buffer, work buffer
// -> screen). The readings move every cycle (needles up and down, the
// band scope's carriers drifting), as they do on the air.
//
//   frame_bench [--cycles N] [--png DIR] [--full] [--only meter|spectrum]
//
// --png writes the composed frames (meter.png, spectrum.png) to DIR.
// --full measures the old way: whole restore and copy every cycle, every
// glyph rendered afresh.
// A report, not a test: nothing is asserted.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "amp/amp_status.h"
#include "core/setup_record.h"
#include "app/spine.h"
#include "core/works.h"
#include "platform/clock.h"
#include "display/fb.h"
#include "display/png.h"
#include "display/text.h"
#include "screens/buttons.h"
#include "radio/zel_link.h"
#include "screens/artwork.h"
#include "screens/timer.h"

namespace {

double cpuNow() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

struct Station {
  Works* w = new Works();
  SetupRec setup{};
  std::mutex connMut, sendMut, serMut;
  ZelParam zp{};
  FbInfo* fb = fbCreateMemory(800, 480);

  Station() {
    InitGlobalVar(w);
    w->setup = &setup;
    w->connMut = &connMut;
    w->sendMut = &sendMut;
    w->serMut = &serMut;
    w->zelParam = &zp;
    w->fb = fb;
    w->ampModel = '0';
    w->ModeWorkIdx = 1;
    w->errorsMuted = 0;
    w->AmpBypassFlag = 0;
    w->LastActivity = monoSeconds();
    w->ViewTimeStr = 1;
    w->EnablePwrPeak = 1;
    w->FWD = 42.5f;
    w->pwrPeak = 48.0f;
    w->pwrRefl = 1.2f;
    w->SWR = 1.4f;
    w->pwrIn = 3.1f;
    PublishAmpStatus(w);
    w->AntennaRowIdx = 0;
    zp.freq = 14070000;
    w->freq = 14070000;
    w->LastFreq = 14070000;
    // A band-scope picture: noise floor, a few carriers.
    for (int i = 0; i < kSpectrumPoints; i++) {
      double lvl = -100 + 4 * std::sin(i * 0.37) + 3 * std::sin(i * 1.7);
      for (int c : {180, 427, 433, 610, 700}) lvl += 55 * std::exp(-(i - c) * (i - c) / 18.0);
      w->spectrumLevels[i] = static_cast<float>(lvl);
    }
    InitMenuZarn(w);
  }
  ~Station() {
    fbRelease(fb);
    delete w;
  }
  void view(int v, const char* picture) {
    w->ViewIdx = v;
    FillBox(0, 0, 800, 480, 16, 18, 26, fb, 0);
    drawWorkScreen(picture, fb);  // draws into the work buffer
    memcpy(fb->backBuf, fb->workBuf, fb->memSize);
    fbBackChanged(fb);
  }
  // Readings of cycle i: needles swing over the scale, carriers drift.
  void move(int i) {
    w->FWD = static_cast<float>(30 + 25 * std::sin(i * 0.05));
    w->pwrPeak = w->FWD + 3;
    w->SWR = static_cast<float>(1.5 + 0.8 * std::sin(i * 0.03));
    int shift = (i / 4) % 7;
    for (int k = 0; k < kSpectrumPoints; k++) {
      double lvl = -100 + 4 * std::sin((k + i) * 0.37) + 3 * std::sin(k * 1.7);
      for (int c : {180, 427, 433, 610, 700}) {
        int cc = c + shift;
        lvl += 55 * std::exp(-(k - cc) * (k - cc) / 18.0);
      }
      w->spectrumLevels[k] = static_cast<float>(lvl);
    }
  }
};

// Processor seconds per timer cycle (no sleep).
// Frames of the last measurement drawn over the one before (not whole).
unsigned g_kept = 0;

double cycleCost(Station& s, int cycles) {
  TimerState st;
  TimerInit(s.w, &st);
  st.lastTempRead = time(nullptr);
  TimerCycle(s.w, &st, false);  // warm-up
  double spent = 0;
  const unsigned kept0 = s.fb->keptFrames;
  for (int i = 0; i < cycles; i++) {
    s.move(i);  // not counted: the readings come from other threads
    st.lastTempRead = time(nullptr);  // keep the temperature script out of the measurement
    double t0 = cpuNow();
    TimerCycle(s.w, &st, false);
    spent += cpuNow() - t0;
  }
  g_kept = s.fb->keptFrames - kept0;
  return spent / cycles;
}

// The baseline: the two whole-screen copies every cycle made before.
double copyCost(Station& s, int cycles) {
  double t0 = cpuNow();
  for (int i = 0; i < cycles; i++) {
    memcpy(s.fb->workBuf, s.fb->backBuf, s.fb->memSize);
    memcpy(s.fb->fbMem, s.fb->workBuf, s.fb->memSize);
  }
  return (cpuNow() - t0) / cycles;
}

void report(const char* name, double cycle, double copies, int cycles) {
  printf("%-14s cycle %8.1f us   two copies %7.1f us   cycle/copies %5.2f   kept frames %u/%d\n", name,
         cycle * 1e6, copies * 1e6, copies > 0 ? cycle / copies : 0.0, g_kept, cycles);
}

}  // namespace

int main(int argc, char** argv) {
  int cycles = 300;
  bool full = false;
  std::string pngDir, only;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--cycles") == 0 && i + 1 < argc) cycles = atoi(argv[++i]);
    else if (strcmp(argv[i], "--png") == 0 && i + 1 < argc) pngDir = argv[++i];
    else if (strcmp(argv[i], "--full") == 0) full = true;
    else if (strcmp(argv[i], "--only") == 0 && i + 1 < argc) only = argv[++i];
  }
  if (cycles < 1) cycles = 1;
  LoadFontTable();
  Station s;
  if (s.fb == nullptr) {
    fprintf(stderr, "frame_bench: no memory for the screen\n");
    return 1;
  }

  if (full) {
    fbSetDamageTracking(s.fb, false);
    TTFGlyphCache(false);
  }
  printf("frame_bench: %d cycles each, processor time per cycle, 800x480x4 screen%s\n", cycles,
         full ? ", whole restore and copy" : "");
  if (only != "spectrum") {
  s.view(2, "img3");
  double meter = cycleCost(s, cycles);
  if (!pngDir.empty())
    writePngBgrx((pngDir + "/meter.png").c_str(), s.fb->fbMem, 800, 480, s.fb->lineSize);
  double copies = copyCost(s, cycles);
  report("meter view", meter, copies, cycles);
  }
  if (only == "meter") return 0;

  s.view(4, "m5a");
  double spectrum = cycleCost(s, cycles);
  if (!pngDir.empty())
    writePngBgrx((pngDir + "/spectrum.png").c_str(), s.fb->fbMem, 800, 480, s.fb->lineSize);
  double copies = copyCost(s, cycles);
  report("spectrum view", spectrum, copies, cycles);
  return 0;
}
