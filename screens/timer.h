// Timer thread: the heartbeat that composes every frame of the front
// panel, follows the radio's frequency and runs the software timers. Each
// step of the cycle is a plain function; the thread only loops and sleeps.
#pragma once
#include <cstdint>
#include <ctime>

#include "platform/clock.h"
#include "tuner/autotune.h"

struct Works;
struct ZelParam;

// Screen-saver delays in minutes by SaveScreenIdx, and their menu labels.
extern const int SaveScreen[5];
extern const char SaveScreenVal[5][8];

// State the thread keeps between cycles.
struct TimerState {
  MonoClock now = monoMicros;  // the software timers' clock; tests move their own
  int64_t cycleStartUs = 0;    // clock at the start of the cycle
  int64_t carryUs = 0;         // part of a millisecond not yet counted
  time_t wallStart = 0;
  double logTempAccMs = 0;  // ms towards the next temperature log line
  time_t lastTempRead = 0;  // second of the last "my_temp" run
  TuneHandshake hs;
  int hamPtt = 0;  // the Hamlib rig's PTT seen in the last cycle
  // Seconds of the clock drawn on the panel and of the temperature reads;
  // tests pass a clock of their own so that two runs draw the same.
  time_t (*wall)(time_t*) = time;
  // View, menu page, overlay and saver of the last frame: a switch draws
  // the next frame whole.
  int lastView = -1, lastMenu = -1, lastOverlay = -1, lastSaver = -1;
};

void timer(Works* w);

// Before the loop: peak needles to rest, grid geometry.
void TimerInit(Works* w, TimerState* st);
// One whole cycle. The thread passes sleep = true; tests and the
// benchmark drive cycles without the sleep.
void TimerCycle(Works* w, TimerState* st, bool sleep);

// The steps, in cycle order.
// Failure screen (failCode >= 1) or its dismissal (-1). True when the
// drawing steps are to be skipped this cycle.
bool TimerFailScreen(Works* w);
void TimerScreenSaver(Works* w);
// The frequency of the active interface (and its AN follow-up); for the
// companion radio rec receives its parameter record. Stores it in freq.
long TimerFreqSource(Works* w, ZelParam* rec);
// Filter, thresholds, antenna and tuning when the frequency changed (or
// AntennaRowIdx is -1). Returns true when it acted.
bool TimerFreqChange(Works* w);
// Companion radio: transmit state, AN follow-up, carrier handshake.
// Hamlib rig: a PTT that turns on may start an automatic tune.
void TimerRadioFollow(Works* w, const ZelParam& rec, TimerState* st);
// The processor temperature ("my_temp"), at most once a second and not
// while the saver is on; runs outside the drawing lock.
void TimerReadCpuTemp(Works* w, TimerState* st);
// Before a frame's restore: a view, page, overlay or saver switch since the
// last frame makes it a whole frame (restore and copy of the full screen).
void TimerFrameSwitch(Works* w, TimerState* st);
// Clock, buttons, meters or spectrum (nothing while the saver is on).
void TimerDraw(Works* w, TimerState* st);
// Status frame to a connected operator (station role only).
void TimerSendStatus(Works* w);
// Software timers advanced by the time the cycle took (drawing and sleep).
void TimerSoftTimers(Works* w, TimerState* st, int elapsedMs);
