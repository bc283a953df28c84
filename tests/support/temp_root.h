// A temporary ZELPYX_ROOT: every absolute path the controller uses lands
// inside it, and shell commands find the stubs in its bin/ first.
#pragma once
#include <string>

class TempRoot {
 public:
  // Creates the directory (with opt/set, dev, bin), sets ZELPYX_ROOT and
  // installs the standard stubs.
  TempRoot();
  // Restores the previous ZELPYX_ROOT and removes the directory.
  ~TempRoot();
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  const std::string& dir() const { return dir_; }
  // The real file behind a system path ("/opt/set/filter.txt").
  std::string path(const std::string& absPath) const;
  void writeFile(const std::string& absPath, const std::string& content) const;
  // Whole content; "" when missing.
  std::string readFile(const std::string& absPath) const;
  bool exists(const std::string& absPath) const;

  // Stubs in bin/: mount, reboot, sudo, lsusb, my_temp, fbgrab, ifup,
  // ifdown. Each appends its name and arguments as one line to
  // stubLog() and exits 0.
  void installStubs() const;
  // Replaces one stub by a script that logs and exits with status code.
  void stubExit(const std::string& name, int code) const;
  // Replaces one stub by a script with the given body (after logging).
  void stubScript(const std::string& name, const std::string& body) const;
  // Lines the stubs logged so far.
  std::string stubLog() const;

 private:
  std::string dir_;
  std::string oldRoot_;
  bool hadOldRoot_ = false;
};

// Writes a stub script that logs "name args" to $ZELPYX_ROOT/stub.log and
// then runs body (default: exit 0). Used by TempRoot and by zelsim.
void writeStubScript(const std::string& binDir, const std::string& name, const std::string& body = "exit 0");
