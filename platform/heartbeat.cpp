#include "platform/heartbeat.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <syslog.h>
#include <thread>

#include "platform/clock.h"
#include "platform/log.h"

namespace {

std::atomic<bool> g_watched[kBeatCount];
std::atomic<int64_t> g_last[kBeatCount];
std::atomic<bool> g_stallArmed{false};
// The watched thread this thread is, or -1.
thread_local int t_beat = -1;

int64_t nowMs() { return monoMicros() / 1000; }

}  // namespace

const char* beatName(Beat b) {
  switch (b) {
    case Beat::Linear: return "linear";
    case Beat::Timer: return "timer";
    case Beat::Gpio: return "gpio";
    case Beat::Serial: return "serial";
    case Beat::CatSerial: return "catserial";
    case Beat::Link: return "link";
    case Beat::Hamlib: return "hamlib";
    default: return "?";
  }
}

int64_t beatDeadlineMs(Beat b) {
  // The amplifier link, the frames and the buttons loop many times a
  // second; the radio and remote links wait on their peers in longer
  // steps. The slack covers a loaded board, not a hang.
  switch (b) {
    case Beat::Linear:
    case Beat::Timer:
    case Beat::Gpio: return 5000;
    default: return 8000;
  }
}

int staleBeat(const BeatSnapshot& s, int64_t nowMs) {
  for (int i = 0; i < kBeatCount; i++) {
    if (!s.watched[i]) continue;
    if (nowMs - s.lastMs[i] > beatDeadlineMs(static_cast<Beat>(i))) return i;
  }
  return -1;
}

void beatStart(Beat b) {
  const int i = static_cast<int>(b);
  g_last[i].store(nowMs());
  g_watched[i].store(true);
  t_beat = i;
}

void beatGrace(int64_t ms) {
  if (t_beat >= 0) g_last[t_beat].store(nowMs() + ms, std::memory_order_relaxed);
}

void beat(Beat b) { g_last[static_cast<int>(b)].store(nowMs(), std::memory_order_relaxed); }

void beatEnd(Beat b) {
  g_watched[static_cast<int>(b)].store(false);
  t_beat = -1;
}

BeatSnapshot beatSnapshot() {
  BeatSnapshot s;
  for (int i = 0; i < kBeatCount; i++) {
    s.watched[i] = g_watched[i].load();
    s.lastMs[i] = g_last[i].load(std::memory_order_relaxed);
  }
  return s;
}

int WatchdogPinger::tick(const BeatSnapshot& s, int64_t now, bool (*send)(const char*)) {
  const int stale = staleBeat(s, now);
  if (stale >= 0) {
    if (loggedStale != stale) {
      const Beat b = static_cast<Beat>(stale);
      zlogEcho(LOG_ERR, "thread %s stuck for %lld ms (deadline %lld ms): watchdog pings stopped", beatName(b),
               static_cast<long long>(now - s.lastMs[stale]), static_cast<long long>(beatDeadlineMs(b)));
      loggedStale = stale;
    }
    return stale;
  }
  if (loggedStale >= 0) {
    zlog(LOG_INFO, "thread %s runs again: watchdog pings resumed", beatName(static_cast<Beat>(loggedStale)));
    loggedStale = -1;
  }
  if (now >= nextMs && send != nullptr) {
    send("WATCHDOG=1");
    nextMs = now + pingMs;
  }
  return -1;
}

void stallArm() { g_stallArmed.store(true); }

void stallIfAsked(Beat b, const std::atomic<uint32_t>& running) {
  if (!g_stallArmed.load(std::memory_order_relaxed)) return;
  static const char* which = getenv("ZELPYX_TEST_STALL");
  if (which == nullptr || strcmp(which, beatName(b)) != 0) return;
  zlogEcho(LOG_INFO, "test: thread %s stalls", beatName(b));
  while (running.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
}
