// The damage record must not change a single byte of what reaches the
// screen. The same scripted session of the panel runs twice from the same
// start, once restoring and copying the whole screen every cycle and once
// with damage tracking; after every cycle the two screens must be equal
// byte for byte.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "amp/amp_status.h"
#include "amp/error_list.h"
#include "amp/linear.h"
#include "core/globals.h"
#include "core/works.h"
#include "platform/clock.h"
#include "display/fb.h"
#include "display/text.h"
#include "screens/buttons.h"
#include "menus/dispatch.h"
#include "menus/menu_fields.h"
#include "screens/utility.h"
#include "screens/work_image.h"
#include "radio/zel_link.h"
#include "screens/meters.h"
#include "screens/timer.h"
#include "tests/screens_pixels.h"
#include "tests/support/test_works.h"
#include "tests/support/two_band_station.h"

#ifndef ZELPYX_BUILD_DIR
#define ZELPYX_BUILD_DIR "."
#endif

namespace {

// The clocks of the session: the software timers advance 10 ms a cycle,
// the panel's clock one second every four cycles, the same in both runs.
int64_t g_monoUs = 0;
int64_t fakeMono() { return g_monoUs += 5000; }  // read twice a cycle
time_t g_wall = 0;
time_t fakeWall(time_t* t) {
  if (t != nullptr) *t = g_wall;
  return g_wall;
}

// A screen as the changes from the one before it (4-byte words), so that
// hundreds of screens fit in little memory.
struct Frame {
  std::vector<uint32_t> at;
  std::vector<uint32_t> word;
};

Frame diff(const std::vector<uint32_t>& prev, const uint8_t* screen, size_t words) {
  Frame f;
  for (size_t i = 0; i < words; i++) {
    uint32_t v;
    memcpy(&v, screen + i * 4, 4);
    if (v != prev[i]) {
      f.at.push_back(static_cast<uint32_t>(i));
      f.word.push_back(v);
    }
  }
  return f;
}

// One panel station, set up the same way for both runs.
struct Session {
  TestWorks tw;
  Works* w = tw.get();
  ZelParam zp{};
  FbInfo* fb = fbCreateMemory(800, 480);
  TimerState st;
  int cycles = 0;

  explicit Session(bool damage) {
    g_monoUs = 0;
    g_wall = 1700000000;
    LastSecDataOra = 0;
    peakLeft = PeakHold();
    peakRight = PeakHold();
    TimerPeakSec = 60;  // short hold: the decay shows within the script
    PeakDecrementTime = 1;
    PeakDecrement = 2;
    fattoremedia = 2;
    fbSetDamageTracking(fb, damage);
    w->fb = fb;
    w->zelParam = &zp;
    w->ampModel = '0';
    w->ModeWorkIdx = 1;
    w->ViewIdx = 1;
    w->NumBanco = 1;
    w->MAXbank = 20;
    w->AmpBypassFlag = 0;
    w->SoglieRowIdx = -1;
    w->ViewTimeStr = 1;
    w->EnablePwrPeak = 1;
    w->SaveScreenIdx = 4;
    w->LastActivity = monoSeconds();
    installTwoBandStation(w, 1e-4f, 1e-4f, 1e-4f);
    w->freq = 14070000;
    w->LastFreq = 14070000;
    w->AntennaRowIdx = -1;
    zp.freq = 14070000;
    InitMenuZarn(w);
    st.now = fakeMono;
    st.wall = fakeWall;
    TimerInit(w, &st);
  }
  ~Session() {
    w->fb = nullptr;
    fbRelease(fb);
  }
  void cycle() {
    if (++cycles % 4 == 0) g_wall++;
    // The readings a step set reach the meters as the Linear thread's
    // snapshot does; without it the needles would never move.
    PublishAmpStatus(w);
    TimerCycle(w, &st, false);
    int c;
    while ((c = TakeQueuedCmd(w)) >= 0) {
    }
  }
};

// Needle readings of step i of a swing: up to full scale and back down.
float swing(int i, float top) { return top * static_cast<float>(std::fabs(std::sin(i * 0.35))); }

void band(Works* w, int shift) {
  for (int k = 0; k < kSpectrumPoints; k++) {
    double lvl = -105 + 5 * std::sin((k + shift) * 0.4);
    for (int c : {120, 300, 427, 640}) {
      int cc = c + shift * 3;
      lvl += 50 * std::exp(-(k - cc) * (k - cc) / 20.0);
    }
    w->spectrumLevels[k] = static_cast<float>(lvl);
  }
}

struct Step {
  std::string what;
  std::function<void(Session&)> act;  // before the cycle
};

// The scripted session: every view, needles up and down with their peaks
// held and decaying, the menu pages, the overlays, the saver, background
// switches, frequency changes, the failure screen.
std::vector<Step> script() {
  std::vector<Step> s;
  auto add = [&](const std::string& what, std::function<void(Session&)> act, int times = 1) {
    for (int i = 0; i < times; i++) s.push_back({what, act});
  };
  add("start-up picture replaced by view 1", [](Session&) {});
  for (int view = 1; view <= 3; view++) {
    if (view > 1)
      add("key 6: view " + std::to_string(view), [](Session& x) { DecodeTasto(x.w, 6, 0); });
    for (int i = 0; i < 18; i++)
      add("view " + std::to_string(view) + " needles", [i](Session& x) {
        x.w->FWD = swing(i, 58);
        x.w->pwrPeak = x.w->FWD + 2;
        x.w->pwrRefl = swing(i + 3, 20);
        x.w->SWR = 1 + swing(i, 4);
        x.w->pwrIn = swing(i + 1, 40);
      });
    // Readings drop to nothing: the peak needles hold, then sink.
    add("view " + std::to_string(view) + " peak decay", [](Session& x) {
      x.w->FWD = 0;
      x.w->pwrPeak = 0;
      x.w->pwrRefl = 0;
      x.w->SWR = 1;
      x.w->pwrIn = 0;
    }, 10);
  }
  // On view 3 still: what changes the number or the text of the calls of
  // a frame without a switch, while the needles move under and over it.
  add("transmitting: TX box between moving needles", [](Session& x) {
    x.w->ampStatus[1] = static_cast<uint8_t>(x.w->ampStatus[1] | 0x01);
    x.w->FWD = swing(x.cycles, 58);
    x.w->pwrIn = swing(x.cycles + 2, 40);
    PublishAmpStatus(x.w);
  }, 5);
  add("transmit ends", [](Session& x) {
    x.w->ampStatus[1] = static_cast<uint8_t>(x.w->ampStatus[1] & ~0x01);
    x.w->FWD = 3;
    PublishAmpStatus(x.w);
  }, 2);
  add("an error key appears", [](Session& x) { AddErroreUnmuted(x.w, 5); });
  add("with the error key", [](Session& x) { x.w->FWD = swing(x.cycles, 58); }, 3);
  add("a second error key", [](Session& x) { AddErroreUnmuted(x.w, 8); });
  add("the first error goes", [](Session& x) { DeleteErrore(x.w, 5); });
  add("the last error goes", [](Session& x) { DeleteErrore(x.w, 8); });
  add("message line shown", [](Session& x) { x.w->keyFlags = static_cast<uint8_t>(x.w->keyFlags | 0x01); }, 2);
  add("message line changes", [](Session& x) {
    x.w->keyFlags = static_cast<uint8_t>((x.w->keyFlags & ~0x01) | 0x04);
  }, 2);
  add("message line gone", [](Session& x) { x.w->keyFlags = static_cast<uint8_t>(x.w->keyFlags & ~0x05); }, 2);
  add("temperature text changes length", [](Session& x) {
    x.w->tempBoard = x.w->tempBoard < 50 ? 123.4f : 9.5f;
    PublishAmpStatus(x.w);
  }, 3);
  // The same calls draw other pixels once a face is loaded again.
  add("font 8 loaded at another size", [](Session&) {
    TTFLoad("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 26, 8);
  });
  add("with the larger font", [](Session& x) { x.w->FWD = swing(x.cycles, 58); }, 2);
  add("font 8 back at its size", [](Session&) {
    TTFLoad("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 20, 8);
  });
  add("with the font back", [](Session& x) { x.w->FWD = swing(x.cycles, 58); }, 2);
  add("out-of-range readings", [](Session& x) {
    x.w->FWD = 500;
    x.w->pwrPeak = NAN;
    x.w->pwrIn = -3;
  }, 2);
  for (int view = 4; view <= 5; view++) {
    add("key 6: view " + std::to_string(view), [](Session& x) { DecodeTasto(x.w, 6, 0); });
    for (int i = 0; i < 8; i++)
      add("view " + std::to_string(view) + " band scope", [i](Session& x) { band(x.w, i); });
    add("view " + std::to_string(view) + " frequency change", [](Session& x) {
      x.zp.freq = x.zp.freq == 14070000 ? 7074000 : 14070000;
    });
    add("view " + std::to_string(view) + " after the change", [](Session& x) { band(x.w, 9); });
  }
  add("key 6: back to view 1", [](Session& x) { DecodeTasto(x.w, 6, 0); }, 1);
  add("frequency change on a meter view", [](Session& x) { x.zp.freq = 7150000; });
  add("frequency change on a meter view", [](Session& x) { x.zp.freq = 14200000; });
  add("no frequency", [](Session& x) { x.zp.freq = 0; });
  add("frequency back", [](Session& x) { x.zp.freq = 14070000; });
  for (int page = 1; page <= 12; page++) {
    add("menu page " + std::to_string(page), [page](Session& x) {
      x.w->MenuIdx = page;
      x.w->FWD = static_cast<float>(page * 4);
    });
    add("menu page " + std::to_string(page) + " again", [](Session& x) { x.w->FWD += 1; });
  }
  // Page 1 stays while the parameter shown changes: the rows change text
  // in place, a LAN address brings its cursor.
  add("parameter page", [](Session& x) {
    x.w->MenuIdx = 1;
    x.w->ParIdx = 0;
  });
  for (int par : {1, 2, 9, 10, 13, 12, 0})
    add("parameter " + std::to_string(par), [par](Session& x) { x.w->ParIdx = par; });
  add("menu page 0", [](Session& x) { x.w->MenuIdx = 0; });
  add("long key 6: status overlay", [](Session& x) { DecodeTasto(x.w, 6, 1 << 5); });
  add("status overlay", [](Session& x) { x.w->FWD = 12; }, 3);
  add("key 6: status overlay closed", [](Session& x) { DecodeTasto(x.w, 6, 0); });
  add("long key 1: utility overlay", [](Session& x) { DecodeTasto(x.w, 1, 1); });
  add("utility overlay", [](Session& x) { x.w->FWD = 22; }, 3);
  add("key 1: utility overlay closed", [](Session& x) { DecodeTasto(x.w, 1, 0); });
  add("view 1 again", [](Session& x) { x.w->FWD = 33; }, 2);
  add("screen saver", [](Session& x) {
    x.w->SaveScreenIdx = 0;
    x.w->LastActivity = monoSeconds() - 2 * 3600;
  }, 4);
  add("a key wakes the screen", [](Session& x) {
    x.w->SaveScreenIdx = 4;
    DecodeTasto(x.w, 3, 0);
  });
  add("after the saver", [](Session& x) { x.w->FWD = swing(2, 50); }, 3);
  add("the timer reloads its picture", [](Session& x) { x.w->ReloadImg = 1; });
  add("after the reload", [](Session& x) { x.w->FWD = swing(5, 50); }, 2);
  // Another writer of the background, as a picture from the peer is.
  add("background written from outside", [](Session& x) {
    std::lock_guard<std::recursive_mutex> lk(drawMutex());
    for (unsigned i = 0; i + 3 < x.fb->memSize; i += 4) {
      unsigned px = i / 4;
      x.fb->backBuf[i] = static_cast<uint8_t>(px * 7);
      x.fb->backBuf[i + 1] = static_cast<uint8_t>(px / 800);
      x.fb->backBuf[i + 2] = static_cast<uint8_t>(px % 800);
      x.fb->backBuf[i + 3] = 0;
    }
    fbBackChanged(x.fb);
  });
  add("on the new background", [](Session& x) { x.w->FWD = swing(7, 50); }, 3);
  add("text drawn into the background", [](Session& x) {
    putString(8, 300, 240, "BACKGROUND TEXT", 255, 255, 0, x.fb, 0, 0, 0, 1);
  });
  add("on the written background", [](Session& x) { x.w->FWD = swing(9, 50); }, 2);
  // Between two frames the key handler draws into the work buffer
  // itself, off the screen's edges too.
  add("drawing between frames", [](Session& x) {
    putString(9, 700, 100, "EDGE TEXT", 0, 255, 255, x.fb, 0, 0, 0, 0);
    putString(9, -30, 200, "LEFT", 0, 255, 255, x.fb, 0, 0, 0, 0);
    DrawLine(790, 10, 840, 60, 255, 255, 255, x.fb, 0);
    DrawLine(-20, 300, 30, 250, 255, 255, 255, x.fb, 0);
    FillBox(100, 100, 160, 140, 0, 200, 0, x.fb, 0);
    FillBox(780, 470, 900, 600, 0, 0, 200, x.fb, 0);
    DrawArc(400, 240, 80, 0, 180, 200, 100, 50, x.fb, 0);
    FillRow(50, 400, 10, 20, 30, x.fb, 40, 40, 40);
    fbRealize(x.fb);
  });
  add("after the drawing", [](Session& x) { x.w->FWD = swing(11, 50); }, 2);
  add("failure screen", [](Session& x) {
    x.w->failCode = 1;
    snprintf(x.w->failText, sizeof x.w->failText, "%s", "LINK");
  }, 3);
  add("failure dismissed", [](Session& x) { x.w->failCode = -1; });
  add("back at work", [](Session& x) { x.w->FWD = swing(13, 50); }, 4);
  return s;
}

class DamageProof : public ::testing::Test {
 protected:
  std::string oldCwd_;
  void SetUp() override {
    loadPanelFonts();
    char buf[4096];
    ASSERT_NE(getcwd(buf, sizeof buf), nullptr);
    oldCwd_ = buf;
    // The timer loads its pictures from the working directory.
    ASSERT_EQ(chdir(ZELPYX_BUILD_DIR "/screens"), 0);
  }
  void TearDown() override { ASSERT_EQ(chdir(oldCwd_.c_str()), 0); }
};

TEST_F(DamageProof, EveryScreenOfAScriptedSessionIsTheSameByteForByte) {
  const std::vector<Step> steps = script();
  const size_t words = 800 * 480;

  // The whole restore and copy of every cycle: the reference.
  std::vector<Frame> reference;
  {
    Session full(false);
    std::vector<uint32_t> prev(words, 0);
    for (const Step& step : steps) {
      step.act(full);
      full.cycle();
      ASSERT_EQ(memcmp(full.fb->fbMem, full.fb->workBuf, full.fb->memSize), 0) << step.what;
      reference.push_back(diff(prev, full.fb->fbMem, words));
      memcpy(prev.data(), full.fb->fbMem, words * 4);
    }
  }

  Session damaged(true);
  std::vector<uint32_t> expect(words, 0);
  int partial = 0;
  const unsigned keptBefore = damaged.fb->keptFrames;
  for (size_t i = 0; i < steps.size(); i++) {
    steps[i].act(damaged);
    unsigned wholeBefore = damaged.fb->wholeRestores;
    damaged.cycle();
    if (damaged.fb->wholeRestores == wholeBefore) partial++;
    const Frame& f = reference[i];
    for (size_t k = 0; k < f.at.size(); k++) expect[f.at[k]] = f.word[k];
    const uint8_t* got = damaged.fb->fbMem;
    if (memcmp(got, expect.data(), words * 4) != 0) {
      size_t at = 0;
      while (memcmp(got + at * 4, &expect[at], 4) == 0) at++;
      FAIL() << "cycle " << i << " (" << steps[i].what << "): first difference at x "
             << at % 800 << " y " << at / 800;
    }
    // Nothing composed is left off the screen either (a stale pixel kept
    // in the work buffer would show with a later copy).
    ASSERT_EQ(memcmp(got, damaged.fb->workBuf, damaged.fb->memSize), 0)
        << "cycle " << i << " (" << steps[i].what << ")";
  }
  // The comparison is worth something only if most cycles took the
  // damage path.
  EXPECT_GT(partial, static_cast<int>(steps.size()) * 2 / 3) << partial << " of " << steps.size();
  // ... and most of them kept what repeats from the frame before.
  EXPECT_GT(static_cast<int>(damaged.fb->keptFrames - keptBefore), static_cast<int>(steps.size()) / 2)
      << damaged.fb->keptFrames - keptBefore << " of " << steps.size();
}

// Pixels are the same whether a glyph comes from the cache or is
// rendered afresh, wherever in its pixel the pen stands.
TEST_F(DamageProof, CachedGlyphsDrawWhatFreshOnesDraw) {
  FbInfo* a = fbCreateMemory(800, 480);
  FbInfo* b = fbCreateMemory(800, 480);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  fillBuffer(a, a->workBuf, 30, 60, 90);
  fillBuffer(b, b->workBuf, 30, 60, 90);
  const char* texts[] = {"14.070MHz", "Band:20m", "PA Temp1: 31.5\xC2\xB0" "C", "RESET", "Ant 1"};
  auto draw = [&](FbInfo* fb) {
    int y = 30;
    for (int font : {0, 1, 4, 6, 8, 9}) {
      for (const char* t : texts) {
        for (int x : {5, 206, 407}) putString(font, x, y, t, 250, 150, 0, fb, 0, 0, 0, 0);
        putString(font, 620, y, t, 200, 200, 200, fb, 1, 0, 0, 0);  // mirrored
      }
      y += 70;
    }
    putString(8, 780, 200, "ROTATED", 255, 255, 255, fb, 0, 1, 0, 0);
    putString(8, 760, 200, "FLIPPED", 255, 255, 255, fb, 0, 1, -1, 0);
  };
  TTFGlyphCache(false);
  draw(a);
  TTFGlyphCache(true);
  draw(b);  // fills the cache
  fillBuffer(b, b->workBuf, 30, 60, 90);
  draw(b);  // from the cache
  EXPECT_EQ(memcmp(a->workBuf, b->workBuf, a->memSize), 0);
  fbRelease(a);
  fbRelease(b);
}

// What each primitive reports covers what it drew: after a restore over
// the reported regions, the work buffer is the background again.
TEST(Damage, ARestoreOverTheReportedRegionsUndoesEveryPrimitive) {
  loadPanelFonts();
  FbInfo* fb = fbCreateMemory(800, 480);
  ASSERT_NE(fb, nullptr);
  fillBuffer(fb, fb->backBuf, 9, 8, 7);
  fbBackChanged(fb);
  fbSetBack(fb);
  fbRealize(fb);
  std::vector<std::function<void()>> draws = {
      [&] { DrawHorizontalLine(-50, 3, 2000, 1, 2, 3, fb, 0); },
      [&] { DrawLine(10, 10, 300, 200, 1, 2, 3, fb, 0); },
      [&] { DrawLine(795, 100, 820, 140, 1, 2, 3, fb, 0); },    // past the right edge
      [&] { DrawLine(5, 300, -40, 330, 1, 2, 3, fb, 0); },      // past the left edge
      [&] { DrawLine(400, -20, 420, 500, 1, 2, 3, fb, 0); },    // through top and bottom
      [&] { DrawArc(400, 240, 100, -30, 390, 1, 2, 3, fb, 0); },
      [&] { FillBox(-10, -10, 50, 50, 1, 2, 3, fb, 0); },
      [&] { FillBox(790, 470, 1000, 1000, 1, 2, 3, fb, 0); },
      [&] { FillRow(20, 470, 1, 2, 3, fb, 0, 0, 0); },
      [&] { putString(9, 760, 30, "WRAPPING TEXT", 255, 255, 255, fb, 0, 0, 0, 0); },
      [&] { putString(9, -40, 470, "LOW LEFT", 255, 255, 255, fb, 0, 0, 0, 0); },
      [&] { putString(9, 400, 200, "MIRROR", 255, 255, 255, fb, 1, 0, 0, 0); },
      [&] { putString(9, 400, 200, "ROTATE", 255, 255, 255, fb, 0, 1, 0, 0); },
      [&] { putString(9, 400, 200, "FLIP", 255, 255, 255, fb, 0, 1, -1, 0); },
  };
  for (size_t i = 0; i < draws.size(); i++) {
    draws[i]();
    fbRealize(fb);
    EXPECT_EQ(memcmp(fb->fbMem, fb->workBuf, fb->memSize), 0) << "copy after draw " << i;
    EXPECT_NE(memcmp(fb->workBuf, fb->backBuf, fb->memSize), 0) << "draw " << i << " drew nothing";
    unsigned whole = fb->wholeRestores;
    fbSetBack(fb);
    EXPECT_EQ(fb->wholeRestores, whole) << "draw " << i;
    EXPECT_EQ(memcmp(fb->workBuf, fb->backBuf, fb->memSize), 0) << "restore after draw " << i;
    fbRealize(fb);
    EXPECT_EQ(memcmp(fb->fbMem, fb->backBuf, fb->memSize), 0) << "screen after draw " << i;
  }
  fbRelease(fb);
}

}  // namespace

namespace {

// One call of a random frame.
struct RandCall {
  int kind = 0;  // 0 hline, 1 line, 2 box, 3 text, 4 polyline
  int a[4] = {};
  int rgb[3] = {};
  int font = 8, mirror = 0, rotate = 0;
  std::string text;
  std::vector<int> xs, ys;
};

struct RandFrames {
  std::mt19937 rng{20261208};
  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
  bool chance(int percent) { return pick(0, 99) < percent; }
  // Mostly on the 200 x 120 screen, now and then off its edges.
  int coordX() { return chance(8) ? pick(-60, 260) : pick(0, 199); }
  int coordY() { return chance(8) ? pick(-30, 150) : pick(0, 119); }
  RandCall make() {
    RandCall c;
    c.kind = pick(0, 4);
    for (int& v : c.rgb) v = pick(0, 255);
    c.a[0] = coordX();
    c.a[1] = coordY();
    c.a[2] = c.kind == 1 ? c.a[0] + pick(-80, 80) : coordX();
    c.a[3] = c.kind == 1 ? c.a[1] + pick(-80, 80) : coordY();
    static const int kFonts[] = {6, 8, 9};
    c.font = kFonts[pick(0, 2)];
    c.mirror = chance(5) ? 1 : 0;
    c.rotate = chance(5) ? 1 : 0;
    static const char* kTexts[] = {"14.070MHz", "SWR 1.5", "Ant 2", "\xC2\xB0" "C", "RESET", "W", "88"};
    c.text = kTexts[pick(0, 6)];
    int n = pick(2, 40), x = coordX(), y = coordY();
    for (int i = 0; i < n; i++) {
      c.xs.push_back(x);
      c.ys.push_back(y);
      x += pick(0, 3);
      y += pick(-6, 6);
    }
    return c;
  }
  // What a frame changes of the one before: a reading moves, a text
  // changes, a key appears or goes.
  void mutate(std::vector<RandCall>& calls) {
    for (size_t i = 0; i < calls.size(); i++) {
      RandCall& c = calls[i];
      if (chance(6)) c.a[pick(0, 3)] += pick(-5, 5);
      if (chance(3)) c.text = chance(50) ? "14.071MHz" : "SWR 2.0";
      if (chance(3) && !c.ys.empty()) c.ys[pick(0, (int)c.ys.size() - 1)] += pick(-9, 9);
      if (chance(1)) c.rgb[0] ^= 1;
    }
    if (chance(10) && !calls.empty()) calls.erase(calls.begin() + pick(0, (int)calls.size() - 1));
    if (chance(10)) calls.insert(calls.begin() + pick(0, (int)calls.size()), make());
  }
};

void drawCall(const RandCall& c, FbInfo* fb) {
  switch (c.kind) {
    case 0: DrawHorizontalLine(c.a[0], c.a[1], c.a[2], c.rgb[0], c.rgb[1], c.rgb[2], fb, 0); break;
    case 1: DrawLine(c.a[0], c.a[1], c.a[2], c.a[3], c.rgb[0], c.rgb[1], c.rgb[2], fb, 0); break;
    case 2: FillBox(c.a[0], c.a[1], c.a[0] + (c.a[2] - c.a[0]) / 3, c.a[1] + (c.a[3] - c.a[1]) / 3, c.rgb[0], c.rgb[1], c.rgb[2], fb, 0); break;
    case 3:
      putString(c.font, c.a[0], c.a[1], c.text.c_str(), c.rgb[0], c.rgb[1], c.rgb[2], fb, c.mirror, c.rotate, 0, 0);
      break;
    default:
      DrawPolyline(c.xs.data(), c.ys.data(), (int)c.xs.size(), c.rgb[0], c.rgb[1], c.rgb[2], fb, 0);
      break;
  }
}

}  // namespace

// Frames of random calls over one another, each changed a little from the
// one before, with writes the frame record does not describe before and
// inside frames (drawing between frames, a column fill that reads the
// work buffer, text into the background, a restore or a copy in mid-frame,
// a new background): after every frame the screen and the work buffer are
// those of the whole restore and copy.
TEST(Damage, RandomFramesShowWhatWholeFramesShow) {
  loadPanelFonts();
  FbInfo* ref = fbCreateMemory(200, 120);
  FbInfo* got = fbCreateMemory(200, 120);
  ASSERT_NE(ref, nullptr);
  ASSERT_NE(got, nullptr);
  fbSetDamageTracking(ref, false);
  FbInfo* both[2] = {ref, got};
  auto background = [&](int seed) {
    for (FbInfo* fb : both) {
      for (unsigned i = 0; i + 3 < fb->memSize; i += 4) {
        fb->backBuf[i] = static_cast<uint8_t>(i / 4 * 7 + seed);
        fb->backBuf[i + 1] = static_cast<uint8_t>(i / 800 + seed);
        fb->backBuf[i + 2] = static_cast<uint8_t>(seed * 31);
        fb->backBuf[i + 3] = 0;
      }
      fbBackChanged(fb);
    }
  };
  background(1);
  RandFrames r;
  std::vector<RandCall> calls;
  for (int i = 0; i < 40; i++) calls.push_back(r.make());
  const int kFrames = 600;
  for (int frame = 0; frame < kFrames; frame++) {
    if (frame > 0) r.mutate(calls);
    const int event = r.pick(0, 99);
    const int at = r.pick(0, (int)calls.size());
    const RandCall extra = r.make();
    if (event < 4) background(frame);
    for (FbInfo* fb : both) {
      std::lock_guard<std::recursive_mutex> lk(drawMutex());
      if (event >= 4 && event < 9) drawCall(extra, fb);  // between frames
      if (event >= 9 && event < 11) putString(8, extra.a[0], extra.a[1], "BACK", 9, 200, 9, fb, 0, 0, 0, 1);
      fbFrameBegin(fb);
      for (size_t i = 0; i <= calls.size(); i++) {
        if ((int)i == at) {
          if (event >= 11 && event < 14) FillRow(extra.a[0], extra.a[1], 1, 2, 3, fb, 0, 0, 0);
          if (event >= 14 && event < 16) fbSetBack(fb);
          if (event >= 16 && event < 18) fbRealize(fb);
          if (event >= 18 && event < 20) putString(9, extra.a[0], extra.a[1], "MID", 200, 9, 9, fb, 0, 0, 0, 1);
        }
        if (i < calls.size()) drawCall(calls[i], fb);
      }
      fbFrameEnd(fb);
    }
    ASSERT_EQ(memcmp(ref->workBuf, got->workBuf, ref->memSize), 0) << "work buffer, frame " << frame;
    ASSERT_EQ(memcmp(ref->fbMem, got->fbMem, ref->memSize), 0) << "screen, frame " << frame;
  }
  // Most frames were drawn over the last one's calls, not restored whole.
  EXPECT_GT(got->keptFrames, static_cast<unsigned>(kFrames / 2));
  EXPECT_LT(got->wholeRestores, static_cast<unsigned>(kFrames / 5));
  fbRelease(ref);
  fbRelease(got);
}
