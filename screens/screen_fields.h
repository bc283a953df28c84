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
  std::atomic<time_t> LastActivity{0};     // screen-saver clock: last button press, s
  std::atomic<uint8_t> ScreenSaverOn{0};   // 1 while the saver shows; input handlers clear it
  std::atomic<uint8_t> ReloadImg{0};       // 1: the timer reloads the work picture
};
