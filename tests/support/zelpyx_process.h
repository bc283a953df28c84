// The controller (build/zelpyx) as a child process of a test, run from the
// build's screens directory with ZELPYX_ROOT set to the test's root.
#pragma once
#include <string>
#include <sys/types.h>
#include <vector>

class ZelpyxProcess {
 public:
  ZelpyxProcess() = default;
  ~ZelpyxProcess();  // kills a process still running
  ZelpyxProcess(const ZelpyxProcess&) = delete;
  ZelpyxProcess& operator=(const ZelpyxProcess&) = delete;

  // Starts zelpyx (with args after the program name) with its output in
  // logPath (a real path). False on failure.
  bool start(const std::string& logPath, const std::vector<std::string>& args = {});
  void signal(int sig) const;
  // Waits for the process to end; returns its exit status, or -1 when it
  // did not end in time or ended by a signal.
  int waitExit(int timeoutMs);
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};
