// A shared record for tests, with the records it points to, and a helper
// that runs a thread body against it.
#pragma once
#include <memory>
#include <mutex>
#include <thread>

#include "core/setup_record.h"
#include "core/works.h"

// Owns one Works (value-initialised, i.e. zero), a setup record and the
// three mutexes, with the pointers of Works set, running = 1. Nothing
// else is defaulted: each test sets what it relies on.
struct TestWorks {
  TestWorks();
  ~TestWorks();
  Works* operator->() { return w.get(); }
  Works* get() { return w.get(); }

  std::unique_ptr<Works> w;
  SetupRec setup{};
  std::mutex connMut, sendMut, serMut;
};

// Runs body(w) on its own thread; stop() sets running to 0 and joins.
// Stands in for the timer's part in a test without one: applies the
// operator's panel events until running drops (a ThreadRunner body).
void panelApplierLoop(Works* w);

class ThreadRunner {
 public:
  ThreadRunner(Works* w, void (*body)(Works*));
  ~ThreadRunner();
  void stop();

 private:
  Works* w_;
  std::thread th_;
};
