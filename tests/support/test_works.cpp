#include "tests/support/test_works.h"

TestWorks::TestWorks() : w(new Works()) {
  w->setup = &setup;
  w->connMut = &connMut;
  w->sendMut = &sendMut;
  w->serMut = &serMut;
  w->running = 1;
}

TestWorks::~TestWorks() = default;

ThreadRunner::ThreadRunner(Works* w, void (*body)(Works*)) : w_(w) {
  w_->running = 1;
  th_ = std::thread(body, w_);
}

ThreadRunner::~ThreadRunner() { stop(); }

void ThreadRunner::stop() {
  if (!th_.joinable()) return;
  w_->running = 0;
  th_.join();
}
