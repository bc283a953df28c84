// The simulated station (build/zelsim) as a child process of a test.
#pragma once
#include <string>
#include <sys/types.h>
#include <vector>

class ZelsimProcess {
 public:
  ZelsimProcess() = default;
  ~ZelsimProcess();  // stops the process
  ZelsimProcess(const ZelsimProcess&) = delete;
  ZelsimProcess& operator=(const ZelsimProcess&) = delete;

  // Runs "zelsim --root root [extra...]" from the build directory and waits
  // (generous deadline) for root/sim.ready. False if it did not come up.
  bool start(const std::string& root, const std::vector<std::string>& extra = {});
  // Sends one control line over root/sim.sock; returns the reply line
  // without its newline ("" on failure).
  std::string control(const std::string& command) const;
  // The commands the simulated amplifier received ("amp log"), without
  // their check characters, oldest first.
  std::vector<std::string> ampFrames() const;
  // Terminates the process (SIGTERM, then waits).
  void stop();
  pid_t pid() const { return pid_; }
  // Path of the zelsim program in the build directory.
  static std::string program();

 private:
  pid_t pid_ = -1;
  std::string root_;
};
