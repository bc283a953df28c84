#include "platform/paths.h"

#include "platform/heartbeat.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

std::string zelRoot() {
  const char* r = getenv("ZELPYX_ROOT");
  if (r == nullptr || r[0] == '\0') return std::string();
  std::string root(r);
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  return root;
}

std::string rootPath(const std::string& absPath) {
  if (absPath.empty() || absPath[0] != '/') return absPath;
  std::string root = zelRoot();
  if (root.empty()) return absPath;
  return root + absPath;
}

std::string shellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'') q += "'\\''"; else q += c;
  }
  return q + "'";
}

std::string commandPath(const std::string& absProgram) {
  if (zelRoot().empty() || absProgram.empty() || absProgram[0] != '/') return absProgram;
  std::string r = rootPath(absProgram);
  if (access(r.c_str(), X_OK) == 0) return shellQuote(r);
  return absProgram.substr(absProgram.find_last_of('/') + 1);
}

std::string shellPath(const std::string& absPath) {
  if (zelRoot().empty() || absPath.empty() || absPath[0] != '/') return absPath;
  return shellQuote(rootPath(absPath));
}

static std::string wrapCommand(const std::string& cmd) {
  std::string root = zelRoot();
  if (root.empty()) return cmd;
  // Quoted, so that blanks in a temporary path do no harm.
  return "PATH=" + shellQuote(root + "/bin") + ":\"$PATH\"; export PATH; ZELPYX_ROOT=" + shellQuote(root) +
         "; export ZELPYX_ROOT; " + cmd;
}

static int statusToResult(int st) {
  if (st == -1) return -1;
  if (WIFEXITED(st) && WEXITSTATUS(st) == 0) return 0;
  errno = EIO;
  return -1;
}

namespace {

std::atomic<int> g_timeoutMs{kCommandTimeoutMs};
std::atomic<const std::atomic<uint32_t>*> g_runFlag{nullptr};
std::atomic<int64_t> g_stopSeenMs{-1};  // when a command first saw the stop

int64_t monoMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// One read of a command's output; what passes maxBytes is read and
// dropped, so the command never blocks on a full pipe. Returns read's result.
ssize_t readPipeInto(int fd, std::string* out, size_t maxBytes) {
  char buf[512];
  const ssize_t n = read(fd, buf, sizeof buf);
  if (n > 0 && out->size() < maxBytes) out->append(buf, std::min(size_t(n), maxBytes - out->size()));
  return n;
}

// Runs the command in a process group of its own and waits, collecting
// its output when out is given. Past the time-out (or shortly after the
// program began to stop) the whole group is killed: a hung "mount" must
// neither block its caller for ever nor hold up the shutdown.
int spawnAndWait(const std::string& cmd, std::string* out, size_t maxBytes, int timeoutMs, int* status) {
  int pipefd[2] = {-1, -1};
  if (out != nullptr && pipe2(pipefd, O_CLOEXEC) != 0) return -1;
  fflush(stdout);
  fflush(stderr);
  std::string full = wrapCommand(cmd);
  pid_t pid = fork();
  if (pid < 0) {
    int e = errno;
    if (out != nullptr) {
      close(pipefd[0]);
      close(pipefd[1]);
    }
    errno = e;
    return -1;
  }
  if (pid == 0) {
    setpgid(0, 0);
    if (out != nullptr) {
      dup2(pipefd[1], 1);
    }
    execl("/bin/sh", "sh", "-c", full.c_str(), (char*)nullptr);
    _exit(127);
  }
  setpgid(pid, pid);  // both sides set it: whichever runs first wins the race
  if (out != nullptr) {
    close(pipefd[1]);
    fcntl(pipefd[0], F_SETFL, fcntl(pipefd[0], F_GETFL) | O_NONBLOCK);
  }
  const int64_t start = monoMs();
  int64_t deadline = timeoutMs < 0 ? INT64_MAX : start + timeoutMs;
  bool stopSeen = false;
  bool killed = false;
  // After the stop, every command together gets the grace period, but each
  // still at least a short moment (a read-only remount after a finished
  // write is worth having).
  int st = 0;
  for (;;) {
    if (out != nullptr && pipefd[0] >= 0) {
      struct pollfd p = {pipefd[0], POLLIN, 0};
      if (poll(&p, 1, 10) > 0) {
        const ssize_t n = readPipeInto(pipefd[0], out, maxBytes);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
          close(pipefd[0]);
          pipefd[0] = -1;
        }
      }
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_t r = waitpid(pid, &st, WNOHANG);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) {
      if (pipefd[0] >= 0) close(pipefd[0]);
      return -1;
    }
    const int64_t now = monoMs();
    const std::atomic<uint32_t>* run = g_runFlag.load();
    if (!stopSeen && run != nullptr && run->load() == 0) {
      stopSeen = true;
      int64_t expected = -1;
      g_stopSeenMs.compare_exchange_strong(expected, now);
      const int64_t limit = std::max(g_stopSeenMs.load() + kCommandStopGraceMs, now + kCommandAfterStopMs);
      if (deadline > limit) deadline = limit;
    }
    if (!killed && now >= deadline) {
      kill(-pid, SIGKILL);
      kill(pid, SIGKILL);
      killed = true;
    }
  }
  if (pipefd[0] >= 0) {
    // Whatever the command wrote before it ended.
    while (readPipeInto(pipefd[0], out, maxBytes) > 0) {
    }
    close(pipefd[0]);
  }
  if (killed) {
    // Children of the shell that outlived it go with the group too.
    kill(-pid, SIGKILL);
    fprintf(stderr, "command killed after %lld ms: %s\n", static_cast<long long>(monoMs() - start), cmd.c_str());
    errno = ETIMEDOUT;
    return -1;
  }
  *status = st;
  return 0;
}

}  // namespace

void setCommandTimeoutMs(int ms) { g_timeoutMs = ms > 0 ? ms : kCommandTimeoutMs; }

void watchCommandRunFlag(const std::atomic<uint32_t>* running) { g_runFlag = running; }

namespace {
std::atomic<CommandHook> g_commandHook{nullptr};
}  // namespace

void setCommandHook(CommandHook hook) { g_commandHook = hook; }

int runCommand(const std::string& cmd, int timeoutMs) {
  if (CommandHook hook = g_commandHook.load()) return hook(cmd);
  int st = 0;
  const int limit = timeoutMs != 0 ? timeoutMs : g_timeoutMs.load();
  // Waiting on a command is no hang: the watchdog allows its time-out.
  beatGrace(limit);
  if (spawnAndWait(cmd, nullptr, 0, limit, &st) != 0) return -1;
  return statusToResult(st);
}

int runCommandOutput(const std::string& cmd, std::string& out, size_t maxBytes, int timeoutMs) {
  out.clear();
  int st = 0;
  const int limit = timeoutMs != 0 ? timeoutMs : g_timeoutMs.load();
  beatGrace(limit);
  if (spawnAndWait(cmd, &out, maxBytes, limit, &st) != 0) return -1;
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

bool pathExists(const std::string& absPath) {
  struct stat sb;
  return stat(rootPath(absPath).c_str(), &sb) == 0;
}

std::string fontPath(const std::string& absPath) {
  std::string r = rootPath(absPath);
  struct stat sb;
  if (r != absPath && stat(r.c_str(), &sb) == 0) return r;
  return absPath;
}
