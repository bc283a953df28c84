#include "tests/support/wait.h"

#include <chrono>
#include <thread>

bool waitFor(const std::function<bool()>& cond, int timeoutMs, int stepMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= end) return cond();
    std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
  }
  return true;
}
