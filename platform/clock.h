// The monotonic wall clock every interval, time-out, long press and
// hold-off counts on. Processor time (clock()) would stretch them by the
// inverse of the share of a core the controller uses.
#pragma once
#include <cstdint>

// Microseconds on CLOCK_MONOTONIC (arbitrary origin, never jumps).
int64_t monoMicros();

// Whole seconds on the same clock.
inline int64_t monoSeconds() { return monoMicros() / 1000000; }

// The clock as a plain function, so threads take it as a parameter and
// tests hand them a clock they move by hand.
using MonoClock = int64_t (*)();
