// Heartbeats of the threads that must keep running. Each such thread
// beats (an atomic store of the monotonic time) once per loop; the main
// routine pings the service manager's watchdog only while every thread
// that has announced itself has beaten within its own deadline, so a hung
// amplifier link or panel gets the unit restarted.
#pragma once
#include <atomic>
#include <cstdint>

enum class Beat : int { Linear = 0, Timer, Gpio, Serial, CatSerial, Link, Hamlib, Count };
constexpr int kBeatCount = static_cast<int>(Beat::Count);

const char* beatName(Beat b);
// Longest silence a thread may keep before it counts as stuck.
int64_t beatDeadlineMs(Beat b);

// What the verdict reads: a thread is watched from its first beat until
// it says it has ended.
struct BeatSnapshot {
  bool watched[kBeatCount] = {};
  int64_t lastMs[kBeatCount] = {};
};

// The first watched thread silent past its deadline at nowMs, or -1 when
// all are healthy (or none is watched).
int staleBeat(const BeatSnapshot& s, int64_t nowMs);

// Process-wide registry.
void beatStart(Beat b);  // the thread runs from now on: watched, one beat
void beat(Beat b);       // progress
void beatEnd(Beat b);    // the thread ends on purpose: no longer watched
BeatSnapshot beatSnapshot();

// A watched thread about to wait on something slow by design (a shell
// command with its own time-out: a remount, a network restart) counts as
// beating until nowMs + ms. Does nothing on a thread that is not watched.
void beatGrace(int64_t ms);

// Watched for as long as the thread body runs.
class BeatScope {
 public:
  explicit BeatScope(Beat b) : b_(b) { beatStart(b); }
  ~BeatScope() { beatEnd(b_); }
  BeatScope(const BeatScope&) = delete;
  BeatScope& operator=(const BeatScope&) = delete;

 private:
  Beat b_;
};

// Watchdog side, called from the main routine's idle waits: sends READY
// once, then WATCHDOG=1 at most every pingMs while staleBeat finds none. A
// thread found stuck is named in the log once per stall. Does nothing when
// the process does not run under a service manager.
struct WatchdogPinger {
  int64_t pingMs = 1000;
  int64_t nextMs = 0;
  int loggedStale = -1;
  // Returns the stuck thread or -1; sends only when send is true.
  int tick(const BeatSnapshot& s, int64_t nowMs, bool (*send)(const char*));
};

// Test hook: with ZELPYX_TEST_STALL naming a thread ("linear", "timer",
// "gpio"...), that thread blocks at its next beat once stallArm() has run
// (the controller arms it on SIGUSR2), until `running` drops.
void stallArm();
void stallIfAsked(Beat b, const std::atomic<uint32_t>& running);
