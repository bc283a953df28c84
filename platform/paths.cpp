#include "platform/paths.h"

#include <cerrno>
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

static std::string quoted(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'') q += "'\\''"; else q += c;
  }
  return q + "'";
}

std::string commandPath(const std::string& absProgram) {
  if (zelRoot().empty() || absProgram.empty() || absProgram[0] != '/') return absProgram;
  std::string r = rootPath(absProgram);
  if (access(r.c_str(), X_OK) == 0) return quoted(r);
  return absProgram.substr(absProgram.find_last_of('/') + 1);
}

std::string shellPath(const std::string& absPath) {
  if (zelRoot().empty() || absPath.empty() || absPath[0] != '/') return absPath;
  return quoted(rootPath(absPath));
}

static std::string wrapCommand(const std::string& cmd) {
  std::string root = zelRoot();
  if (root.empty()) return cmd;
  // Single-quote the root so that blanks in a temporary path do no harm.
  std::string q;
  for (char c : root) {
    if (c == '\'') q += "'\\''"; else q += c;
  }
  return "PATH='" + q + "/bin':\"$PATH\"; export PATH; ZELPYX_ROOT='" + q + "'; export ZELPYX_ROOT; " + cmd;
}

static int statusToResult(int st) {
  if (st == -1) return -1;
  if (WIFEXITED(st) && WEXITSTATUS(st) == 0) return 0;
  errno = EIO;
  return -1;
}

int runCommand(const std::string& cmd) {
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    std::string full = wrapCommand(cmd);
    execl("/bin/sh", "sh", "-c", full.c_str(), (char*)nullptr);
    _exit(127);
  }
  int st = 0;
  while (waitpid(pid, &st, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return statusToResult(st);
}

int runCommandOutput(const std::string& cmd, std::string& out, size_t maxBytes) {
  out.clear();
  std::string full = wrapCommand(cmd);
  FILE* p = popen(full.c_str(), "r");
  if (p == nullptr) return -1;
  char buf[512];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) {
    if (out.size() < maxBytes) out.append(buf, std::min(n, maxBytes - out.size()));
  }
  int st = pclose(p);
  if (st == -1) return -1;
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
