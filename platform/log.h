// System log. Priority 6 (information) for progress, 3 (error) for failures.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

void zlog(int prio, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// zlog, and the same line on standard error (its line feed added when
// the text has none) for the progress a console watcher follows.
void zlogEcho(int prio, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// For every line that outside input can trigger (a peer's handshake, a
// dropped frame or packet, serial garbage, CAT text): per format text the
// first kLogBurst lines pass, then one a second, carrying the count of the
// lines held back since the last one. All such lines of one thread also
// share one budget (kLogAllBurst, then kLogAllPerSecond a second): a peer
// whose every connection makes a dozen different lines cannot flood the
// log either, and it cannot use up another link's lines.
void zlogLimited(int prio, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// The same for a line that also goes to standard error (zlogEcho), and for
// a console-only line that outside input makes recur.
void zlogEchoLimited(int prio, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void echoLimited(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// The budget a thread's limited lines count against: its own by default.
// A thread that works for another (a link's per-connection workers) joins
// that one's group, so new connections bring no new budget.
size_t logGroupCurrent();
void logGroupJoin(size_t group);

// The limiter's decision as a plain value, so tests drive it with their
// own clock. A key is a format text; the table is bounded (formats are
// literals, so it never fills in practice; if it does, unknown formats
// share one bucket).
constexpr int kLogBurst = 5;
constexpr int kLogAllBurst = 40;  // more than one connection's handshake logs
constexpr int kLogAllPerSecond = 2;
class LogLimiter {
 public:
  // True when a line with this key may go out at nowUs from the thread
  // (or other source) `group`; *held receives the number of lines held
  // back since the last one that went out.
  bool admit(const char* key, int64_t nowUs, int* held, size_t group = 0);
  void reset();

 private:
  struct Bucket {
    std::string key;
    double tokens = kLogBurst;
    int64_t lastUs = 0;
    int held = 0;
  };
  static void refill(Bucket& b, int64_t nowUs, double perSecond, double cap);
  static constexpr size_t kMaxKeys = 256;
  std::vector<Bucket> buckets_;
  Bucket overflow_;
  struct Group {
    size_t id;
    Bucket budget;
  };
  static constexpr size_t kMaxGroups = 64;
  std::vector<Group> groups_;  // one shared bucket past kMaxGroups
};

// Tests record what was logged (logCaptureStart also clears the limiter,
// so one test's lines do not use up the next one's burst); the controller never turns this on.
void logCaptureStart();
void logCaptureStop();
std::vector<std::string> logCaptured();
bool logContains(const std::string& text);
