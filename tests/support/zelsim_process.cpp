#include "tests/support/zelsim_process.h"

#include <csignal>
#include <fcntl.h>
#include <cstring>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/emulator.h"
#include "tests/support/serial_peer.h"

#include "tests/support/wait.h"

#ifndef ZELPYX_BUILD_DIR
#define ZELPYX_BUILD_DIR "."
#endif

std::string ZelsimProcess::program() { return std::string(ZELPYX_BUILD_DIR) + "/zelsim"; }

ZelsimProcess::~ZelsimProcess() { stop(); }

bool ZelsimProcess::start(const std::string& root, const std::vector<std::string>& extra) {
  root_ = root;
  std::string prog = program();
  std::vector<std::string> args = {prog, "--root", root};
  args.insert(args.end(), extra.begin(), extra.end());
  pid_ = fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    // stdin from /dev/null: the simulator also reads commands there.
    int nul = open("/dev/null", 0);
    if (nul >= 0) dup2(nul, 0);
    execProgram(prog, args);
    _exit(127);
  }
  std::string ready = root + "/sim.ready";
  return waitFor([&] {
    struct stat sb;
    int st;
    if (waitpid(pid_, &st, WNOHANG) == pid_) {
      pid_ = -1;
      return true;  // died: stop waiting
    }
    return stat(ready.c_str(), &sb) == 0;
  }, 20000) && pid_ > 0;
}

std::string ZelsimProcess::control(const std::string& command) const {
  int s = socket(AF_UNIX, SOCK_STREAM, 0);
  if (s < 0) return "";
  struct sockaddr_un a;
  memset(&a, 0, sizeof a);
  a.sun_family = AF_UNIX;
  std::string path = root_ + "/sim.sock";
  strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
  if (connect(s, reinterpret_cast<struct sockaddr*>(&a), sizeof a) != 0) {
    close(s);
    return "";
  }
  std::string line = command + "\n";
  if (write(s, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
    close(s);
    return "";
  }
  std::string reply;
  char c;
  while (read(s, &c, 1) == 1 && c != '\n') reply += c;
  close(s);
  return reply;
}

void ZelsimProcess::stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int st;
  bool gone = waitFor([&] { return waitpid(pid_, &st, WNOHANG) == pid_; }, 10000);
  if (!gone) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &st, 0);
  }
  pid_ = -1;
}

std::vector<std::string> ZelsimProcess::ampFrames() const {
  std::string r = control("amp log");
  std::vector<std::string> out;
  if (r.rfind("OK", 0) != 0) return out;
  std::stringstream ss(r.size() > 3 ? r.substr(3) : "");
  for (std::string part; std::getline(ss, part, '|');)
    if (!part.empty()) out.push_back(frameText(part));
  return out;
}
