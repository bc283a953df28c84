#include "platform/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <syslog.h>

#include "platform/clock.h"

namespace {
std::mutex g_capMut;
bool g_capturing = false;
std::vector<std::string> g_captured;
std::atomic<int> g_toStderr{-1};
std::atomic<int> g_journal{-1};

// Standard error is the journal's stream when JOURNAL_STREAM names its
// device and inode (the service manager sets it for the unit's output).
bool stderrIsJournal() {
  int j = g_journal.load();
  if (j < 0) {
    j = 0;
    const char* e = getenv("JOURNAL_STREAM");
    unsigned long long dev = 0, ino = 0;
    struct stat st;
    if (e != nullptr && sscanf(e, "%llu:%llu", &dev, &ino) == 2 && fstat(2, &st) == 0 &&
        static_cast<unsigned long long>(st.st_dev) == dev && static_cast<unsigned long long>(st.st_ino) == ino)
      j = 1;
    g_journal.store(j);
  }
  return j == 1;
}
}

namespace {

void vzlog(int prio, const char* fmt, va_list ap, bool echo) {
  char buf[1024];
  vsnprintf(buf, sizeof buf, fmt, ap);
  if (stderrIsJournal()) {
    // Under the service manager both syslog and standard error end in the
    // journal: the line goes there once, its priority in the "<N>" prefix.
    const size_t n = strlen(buf);
    fprintf(stderr, (n > 0 && buf[n - 1] == '\n') ? "<%d>%s" : "<%d>%s\n", prio & 7, buf);
  } else {
    syslog(prio, "%s", buf);
  }
  if (g_toStderr < 0) {
    const char* e = getenv("ZELPYX_LOG_STDERR");
    g_toStderr = (e != nullptr && e[0] == '1') ? 1 : 0;
  }
  if (g_toStderr == 1 && !stderrIsJournal()) fprintf(stderr, "[log %d] %s\n", prio, buf);
  if (echo && !stderrIsJournal()) {
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

bool LogLimiter::admit(const char* key, int64_t nowUs, int* held, size_t group) {
  Bucket* b = nullptr;
  for (Bucket& c : buckets_)
    if (c.key == key) {
      b = &c;
      break;
    }
  if (b == nullptr) {
    if (buckets_.size() < kMaxKeys) {
      buckets_.emplace_back();
      b = &buckets_.back();
      b->key = key;
      b->lastUs = nowUs;
    } else {
      b = &overflow_;
    }
  }
  Bucket* all = nullptr;
  for (Group& g : groups_)
    if (g.id == group) {
      all = &g.budget;
      break;
    }
  if (all == nullptr) {
    if (groups_.size() >= kMaxGroups) group = static_cast<size_t>(-1);
    for (Group& g : groups_)
      if (g.id == group) all = &g.budget;
    if (all == nullptr) {
      groups_.push_back(Group{group, Bucket{std::string(), kLogAllBurst, nowUs, 0}});
      all = &groups_.back().budget;
    }
  }
  refill(*b, nowUs, 1.0, kLogBurst);
  refill(*all, nowUs, kLogAllPerSecond, kLogAllBurst);
  if (b->tokens < 1.0 || all->tokens < 1.0) {
    ++b->held;
    *held = 0;
    return false;
  }
  b->tokens -= 1.0;
  all->tokens -= 1.0;
  *held = b->held;
  b->held = 0;
  return true;
}

void LogLimiter::refill(Bucket& b, int64_t nowUs, double perSecond, double cap) {
  if (nowUs > b.lastUs) {
    b.tokens += static_cast<double>(nowUs - b.lastUs) / 1e6 * perSecond;
    if (b.tokens > cap) b.tokens = cap;
  }
  b.lastUs = nowUs;
}

void LogLimiter::reset() {
  buckets_.clear();
  overflow_ = Bucket();
  groups_.clear();
}

namespace {
std::mutex g_limMut;
LogLimiter g_limiter;
}  // namespace

namespace {
thread_local size_t t_logGroup = 0;  // 0: this thread's own
}  // namespace

size_t logGroupCurrent() {
  if (t_logGroup != 0) return t_logGroup;
  const size_t own = std::hash<std::thread::id>()(std::this_thread::get_id());
  return own != 0 ? own : 1;
}

void logGroupJoin(size_t group) { t_logGroup = group; }

namespace {

// The limiter's decision for fmt, then the formatted line (with the count
// held back) in buf; false when the line is held back.
bool limitedLine(const char* fmt, va_list ap, char* buf, size_t cap) {
  int held = 0;
  {
    std::lock_guard<std::mutex> lk(g_limMut);
    if (!g_limiter.admit(fmt, monoMicros(), &held, logGroupCurrent())) return false;
  }
  vsnprintf(buf, cap, fmt, ap);
  if (held > 0) {
    size_t n = strlen(buf);
    while (n > 0 && buf[n - 1] == '\n') buf[--n] = '\0';
    snprintf(buf + n, cap - n, " (%d more like this held back)", held);
  }
  return true;
}

}  // namespace

void zlogLimited(int prio, const char* fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  const bool out = limitedLine(fmt, ap, buf, sizeof buf);
  va_end(ap);
  if (out) zlog(prio, "%s", buf);
}

void zlogEchoLimited(int prio, const char* fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  const bool out = limitedLine(fmt, ap, buf, sizeof buf);
  va_end(ap);
  if (out) zlogEcho(prio, "%s", buf);
}

void echoLimited(const char* fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  const bool out = limitedLine(fmt, ap, buf, sizeof buf);
  va_end(ap);
  if (!out) return;
  const size_t n = strlen(buf);
  fprintf(stderr, (n > 0 && buf[n - 1] == '\n') ? "%s" : "%s\n", buf);
}

void logCaptureStart() {
  {
    std::lock_guard<std::mutex> lk(g_limMut);
    g_limiter.reset();
  }
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
