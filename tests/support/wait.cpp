#include "tests/support/wait.h"

#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

// Under qemu-user every program runs several times slower, and the test
// programs share two cores with the programs they start: the deadlines
// stretch with it. A healthy run still returns as soon as the condition
// holds.
int deadlineFactor() {
  const char* e = getenv("ZELPYX_EMULATOR");
  return (e != nullptr && e[0] != '\0') ? 4 : 1;
}

}  // namespace

bool waitFor(const std::function<bool()>& cond, int timeoutMs, int stepMs) {
  static const int factor = deadlineFactor();
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(int64_t(timeoutMs) * factor);
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= end) return cond();
    std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
  }
  return true;
}
