#include "platform/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <syslog.h>

namespace {
std::mutex g_capMut;
bool g_capturing = false;
std::vector<std::string> g_captured;
std::atomic<int> g_toStderr{-1};
}

namespace {

void vzlog(int prio, const char* fmt, va_list ap, bool echo) {
  char buf[1024];
  vsnprintf(buf, sizeof buf, fmt, ap);
  syslog(prio, "%s", buf);
  if (g_toStderr < 0) {
    const char* e = getenv("ZELPYX_LOG_STDERR");
    g_toStderr = (e != nullptr && e[0] == '1') ? 1 : 0;
  }
  if (g_toStderr == 1) fprintf(stderr, "[log %d] %s\n", prio, buf);
  if (echo) {
    const size_t n = strlen(buf);
    fprintf(stderr, (n > 0 && buf[n - 1] == '\n') ? "%s" : "%s\n", buf);
  }
  std::lock_guard<std::mutex> lk(g_capMut);
  if (g_capturing) g_captured.emplace_back(buf);
}

}  // namespace

void zlog(int prio, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vzlog(prio, fmt, ap, false);
  va_end(ap);
}

void zlogEcho(int prio, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vzlog(prio, fmt, ap, true);
  va_end(ap);
}

void logCaptureStart() {
  std::lock_guard<std::mutex> lk(g_capMut);
  g_captured.clear();
  g_capturing = true;
}

void logCaptureStop() {
  std::lock_guard<std::mutex> lk(g_capMut);
  g_capturing = false;
}

std::vector<std::string> logCaptured() {
  std::lock_guard<std::mutex> lk(g_capMut);
  return g_captured;
}

bool logContains(const std::string& text) {
  std::lock_guard<std::mutex> lk(g_capMut);
  for (const auto& l : g_captured)
    if (l.find(text) != std::string::npos) return true;
  return false;
}
