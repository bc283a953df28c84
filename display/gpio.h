// GPIO front panel: six buttons (debounced, short and long presses with
// auto-repeat, handed to the button dispatch), two output lines, and the
// bit-banged exchange with the front-panel controller (the TINY).
//
// The thread body only maps the block, loops and sleeps; every decision is
// one of the plain functions below, which tests call directly or run
// through the thread with their own clock, pause and key handler.
#pragma once
#include <cstdint>
#include <functional>

#include "platform/clock.h"

struct Works;

// Key handler: posting to the panel queue, or a recorder in tests.
// report: the press writes its progress line (not the repeat steps).
using KeyHandler = int (*)(Works* w, int key, int held, bool report);

struct GpioEnv {
  KeyHandler handler = nullptr;  // null: the button dispatch
  MonoClock now = nullptr;       // null: the monotonic clock
  // Every pause of the thread: 2000 us after each pass, 200 us per
  // half-step of the TINY link. Null: sleep.
  std::function<void(int us)> pause;
};

// Thread state (the GPIO thread is its only user).
struct GpioState {
  int debounced[6] = {1, 1, 1, 1, 1, 1};  // 1 released, 0 pressed
  int seen[6] = {-1, -1, -1, -1, -1, -1};  // last state handled, -1 none yet
  int differ[6] = {};                      // differing samples counted
  uint8_t timing = 0;    // button whose press is being timed (its bit)
  uint8_t held = 0;      // buttons whose long press has ended
  int64_t pressStartUs = 0;
  int repeatCount = 0;   // long-press steps so far
  int passCount = 0;     // passes until the next TINY slot
  int pollIdx = 0;       // next periodic TINY query, 0..3
};

void GPIO(Works* w);
// The thread with its dependencies given. Returns when running drops, or
// at once when the block cannot be mapped (logged; the rest of the
// controller carries on without its panel).
void GpioRun(Works* w, const GpioEnv& env);

// Set-up of the mapped block: pin functions and pull-ups.
void GpioSetupPins(volatile uint32_t* regs, const GpioEnv& env);
// One pass of the loop, without its closing 2 ms pause.
void GpioPass(Works* w, GpioState* st, volatile uint32_t* regs, const GpioEnv& env);

// The steps of a pass.
void GpioOutputs(Works* w, volatile uint32_t* regs);
// Picks the next TINY command while none is in progress.
void TinySchedule(Works* w, GpioState* st);
// Sends tinyCmd, reads the answer into its slot, ends the command.
void TinyExchange(Works* w, volatile uint32_t* regs, const GpioEnv& env);
// Debounces one sample of the level register. Returns the buttons whose
// debounced state changed (bit k-1 for button k).
uint8_t GpioDebounce(GpioState* st, uint32_t level);
// Short presses, long presses and repeat steps of the debounced states.
void GpioPresses(Works* w, GpioState* st, int64_t nowUs, KeyHandler handler);
