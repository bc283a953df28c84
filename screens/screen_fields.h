// Screen fields of the shared record (timer thread, meters, views).
#pragma once
#include <atomic>
#include <cstdint>
#include <ctime>

struct ScreenFields {
  int CycleSleep = 0;     // timer sleep per cycle, microseconds
  std::atomic<int> ViewIdx{0};        // 0..3 meter views, 4 and 5 spectrum views
  std::atomic<long> LastFreq{0};      // frequency last handled by the timer
  long SpectrumSpan = 0;  // spectrum width in Hz
  // Screen-saver clock: last button press, monotonic seconds (a wall-clock
  // step at boot must not start the saver and swallow the next key).
  std::atomic<int64_t> LastActivity{0};
  std::atomic<uint8_t> ScreenSaverOn{0};   // 1 while the saver shows; input handlers clear it
  std::atomic<uint8_t> ReloadImg{0};       // 1: the timer reloads the work picture
};
