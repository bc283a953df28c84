#include "platform/heartbeat.h"
#include "display/gpio.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <syslog.h>
#include <unistd.h>

#include "core/globals.h"
#include "core/works.h"
#include "core/panel_events.h"
#include "platform/gpio_block.h"
#include "platform/log.h"

namespace {

inline volatile uint32_t& reg(volatile uint32_t* regs, int offset) { return regs[offset / 4]; }

void pinInput(volatile uint32_t* regs, int pin) {
  volatile uint32_t& f = regs[pin / 10];
  f = f & ~(7u << ((pin % 10) * 3));
}

void pinOutput(volatile uint32_t* regs, int pin) {
  pinInput(regs, pin);
  volatile uint32_t& f = regs[pin / 10];
  f = f | (1u << ((pin % 10) * 3));
}

inline void pinHigh(volatile uint32_t* regs, int pin) { reg(regs, gpio::kSet0) = 1u << pin; }
inline void pinLow(volatile uint32_t* regs, int pin) { reg(regs, gpio::kClr0) = 1u << pin; }

void sleepPause(int us) { usleep(static_cast<useconds_t>(us)); }

GpioEnv withDefaults(const GpioEnv& in) {
  GpioEnv env = in;
  if (env.handler == nullptr) env.handler = PanelKeyPost;
  if (env.now == nullptr) env.now = monoMicros;
  if (!env.pause) env.pause = sleepPause;
  return env;
}

// Long-press step thresholds in microseconds: the first step, then 14
// steps at 0.1 s, then 0.02 s.
int64_t stepThresholdUs(int repeatCount) {
  if (repeatCount == 0) return std::llround(TIME_LONG_PRESS.load() * 1e6);
  return repeatCount <= 14 ? 100000 : 20000;
}

}  // namespace

void GpioSetupPins(volatile uint32_t* regs, const GpioEnv& env) {
  pinOutput(regs, gpio::kPinTinyData);
  pinOutput(regs, gpio::kPinTinyClock);
  pinOutput(regs, gpio::kPinAlive);
  reg(regs, gpio::kSet0) = 0x2000;  // pin 13 high before it drives
  pinOutput(regs, gpio::kPinUpdate);
  for (int b = 1; b <= 6; b++) pinInput(regs, gpio::kPinButton1 + b - 1);
  // Pull-ups on the button pins: control, clock, then both back to 0.
  reg(regs, gpio::kPud) = 2;
  env.pause(1);
  reg(regs, gpio::kPudClk0) = gpio::kButtonMask;
  env.pause(1);
  reg(regs, gpio::kPud) = 0;
  reg(regs, gpio::kPudClk0) = 0;
}

void GpioOutputs(Works* w, volatile uint32_t* regs) {
  pinHigh(regs, gpio::kPinAlive);
  if (w->updateFlags & 0x01)
    pinLow(regs, gpio::kPinUpdate);
  else
    pinHigh(regs, gpio::kPinUpdate);
}

void TinySchedule(Works* w, GpioState* st) {
  if (w->tinyCmd.load() != 255) return;
  if (st->passCount > 0) st->passCount--;
  if (st->passCount != 0) return;
  st->passCount = 200;
  uint8_t req = w->tinyCmdReq.exchange(0);
  if (req != 0) {
    w->tinyCmd = req;
    fprintf(stderr, "CMD TINY %0x\n", req);
    return;
  }
  static const uint8_t kPoll[3] = {0xD1, 0xD2, 0xD3};
  if (st->pollIdx >= 0 && st->pollIdx < 3) {
    w->tinyCmd = kPoll[st->pollIdx];
    st->pollIdx++;
  } else {
    st->pollIdx = 0;
  }
}

void TinyExchange(Works* w, volatile uint32_t* regs, const GpioEnv& env) {
  uint8_t cmd = w->tinyCmd.load();
  if (cmd == 255) return;
  const int d = gpio::kPinTinyData, c = gpio::kPinTinyClock;
  // The TINY takes each bit on the falling clock.
  for (int i = 7; i >= 0; i--) {
    pinHigh(regs, c);
    env.pause(200);
    if ((cmd >> i) & 1)
      pinHigh(regs, d);
    else
      pinLow(regs, d);
    env.pause(200);
    pinLow(regs, c);
    env.pause(200);
  }
  pinInput(regs, d);
  for (int i = 0; i < 3; i++) env.pause(200);
  uint32_t answer = 0;
  for (int i = 0; i < 12; i++) {
    pinLow(regs, c);
    env.pause(200);
    uint32_t bit = (reg(regs, gpio::kLev0) >> d) & 1u;
    pinHigh(regs, c);
    env.pause(200);
    answer = (answer << 1) | bit;
  }
  pinOutput(regs, d);
  reg(regs, gpio::kSet0) = (1u << d) | (1u << c);
  w->tinyAnswer[cmd & 3] = static_cast<uint8_t>(answer & 0xFF);
  // A command stored while this one was on the wire stays for the next pass.
  w->tinyCmd.compare_exchange_strong(cmd, 255);
}

uint8_t GpioDebounce(GpioState* st, uint32_t level) {
  uint8_t changed = 0;
  for (int b = 0; b < 6; b++) {
    int lvl = static_cast<int>((level >> (gpio::kPinButton1 + b)) & 1u);
    if (lvl == st->debounced[b]) continue;
    if (st->differ[b] < 5) {
      st->differ[b]++;
      continue;
    }
    bool othersReleased = true;
    for (int o = 0; o < 6; o++)
      if (o != b && st->debounced[o] != 1) othersReleased = false;
    if (!othersReleased) continue;  // one button at a time
    st->debounced[b] = lvl;
    st->differ[b] = 0;
    changed |= static_cast<uint8_t>(1u << b);
  }
  return changed;
}

void GpioPresses(Works* w, GpioState* st, int64_t nowUs, KeyHandler handler) {
  for (int k = 1; k <= 6; k++) {
    const int b = k - 1;
    const uint8_t bit = static_cast<uint8_t>(1u << b);
    const bool down = st->debounced[b] == 0;
    if (st->timing == 0 && down) {
      st->pressStartUs = nowUs;
      st->timing |= bit;
    }
    if ((st->timing & bit) && down && !(st->held & bit)) {
      int64_t elapsed = nowUs - st->pressStartUs;
      int64_t thr = stepThresholdUs(st->repeatCount);
      if (elapsed > thr - 150000) w->keyFlags |= 0x01;
      if (elapsed > thr) {
        // Only the first step of a long press writes its progress line.
        int r = handler(w, k, st->held | bit, st->repeatCount == 0);
        if (r != 0) {
          st->pressStartUs = nowUs;
          st->repeatCount++;
        } else {
          st->held |= bit;
        }
      }
    }
    if (st->debounced[b] != st->seen[b]) {
      if (st->debounced[b] == 1) {
        if (!(st->held & bit) && st->seen[b] != -1) handler(w, k, 0, true);
        st->held &= static_cast<uint8_t>(~bit);
        st->timing &= static_cast<uint8_t>(~bit);
        st->repeatCount = 0;
      }
      st->seen[b] = st->debounced[b];
    }
  }
}

void GpioPass(Works* w, GpioState* st, volatile uint32_t* regs, const GpioEnv& env) {
  GpioOutputs(w, regs);
  TinySchedule(w, st);
  if (w->tinyCmd.load() != 255) TinyExchange(w, regs, env);
  GpioDebounce(st, reg(regs, gpio::kLev0));
  GpioPresses(w, st, env.now(), env.handler);
}

void GpioRun(Works* w, const GpioEnv& envIn) {
  const GpioEnv env = withDefaults(envIn);
  zlog(LOG_INFO, "GPIO operations start\n");
  bool openFailed = false;
  int err = 0;
  volatile uint32_t* regs = gpioMapBlock(&openFailed, &err);
  if (regs == nullptr) {
    // Without its buttons the station still runs and protects the
    // amplifier: the thread ends, the process does not.
    if (openFailed)
      zlog(LOG_ERR, "can't open /dev/mem");
    else
      zlog(LOG_ERR, "mmap error %d\n", err);
    return;
  }
  GpioSetupPins(regs, env);
  GpioState st;
  zlog(LOG_INFO, "GPIO loop start\n");
  fprintf(stderr, " t1 %d %d, t2 %d %d, t3 %d %d, t4 %d %d, t5 %d %d, t6 %d %d\n", st.debounced[0],
          st.seen[0], st.debounced[1], st.seen[1], st.debounced[2], st.seen[2], st.debounced[3],
          st.seen[3], st.debounced[4], st.seen[4], st.debounced[5], st.seen[5]);
  BeatScope watched(Beat::Gpio);
  while (w->running.load() != 0) {
    beat(Beat::Gpio);
    stallIfAsked(Beat::Gpio, w->running);
    GpioPass(w, &st, regs, env);
    env.pause(2000);
  }
  gpioUnmapBlock(regs);
  zlog(LOG_INFO, "GPIO operations end\n");
}

void GPIO(Works* w) { GpioRun(w, GpioEnv{}); }
