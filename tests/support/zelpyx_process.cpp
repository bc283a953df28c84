#include "tests/support/zelpyx_process.h"

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/emulator.h"
#include "tests/support/wait.h"

#ifndef ZELPYX_BUILD_DIR
#define ZELPYX_BUILD_DIR "."
#endif

ZelpyxProcess::~ZelpyxProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

bool ZelpyxProcess::start(const std::string& logPath, const std::vector<std::string>& args) {
  pid_ = fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    std::string screens = std::string(ZELPYX_BUILD_DIR) + "/screens";
    if (chdir(screens.c_str()) != 0) _exit(126);
    int out = open(logPath.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    dup2(out, 1);
    dup2(out, 2);
    int nul = open("/dev/null", O_RDONLY);
    if (nul >= 0) dup2(nul, 0);
    std::string prog = std::string(ZELPYX_BUILD_DIR) + "/zelpyx";
    std::vector<std::string> argv{"zelpyx"};
    argv.insert(argv.end(), args.begin(), args.end());
    execProgram(prog, argv);
    _exit(127);
  }
  return true;
}

void ZelpyxProcess::signal(int sig) const {
  if (pid_ > 0) kill(pid_, sig);
}

int ZelpyxProcess::waitExit(int timeoutMs) {
  int status = 0;
  bool done = waitFor([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, timeoutMs, 20);
  if (!done) return -1;
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
