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
#include <string>
#include <unistd.h>
#include <vector>

#include "amp/linear.h"
#include "core/globals.h"
#include "core/works.h"
#include "display/fb.h"
#include "display/text.h"
#include "menus/buttons.h"
#include "menus/dispatch.h"
#include "menus/menu_fields.h"
#include "menus/utility.h"
#include "menus/work_image.h"
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
    w->LastActivity = time(nullptr);
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
    x.w->LastActivity = time(nullptr) - 2 * 3600;
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
