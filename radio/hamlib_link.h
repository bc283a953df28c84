// Any radio through Hamlib's rigctld: a TCP client that asks the daemon for
// the frequency ("f") and the PTT state ("t") about ten times a second and
// publishes them where the timer takes them. The decisions (reply parsing,
// the poll's states and time-outs, reconnect timing, when PTT starts a
// tune) are plain functions and a plain state machine; the thread only
// moves bytes between them and the socket.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>

struct Works;

// Error key of a lost or refused rigctld connection.
constexpr int kHamlibErrCode = 25;

// Operator file: one "name value" per line; only "rigctld HOST:PORT".
struct HamlibConfig {
  std::string host = "localhost";
  uint16_t port = 4532;
};
constexpr const char* kHamlibFile = "/opt/set/hamlib.txt";
// "HOST:PORT" with a non-empty host of at most 253 printable characters
// and a port 1..65535. False (and nothing stored) otherwise.
bool ParseHamlibAddress(const std::string& text, HamlibConfig* out);
// Reads the operator file; a missing file gives the defaults, a malformed
// line is logged and skipped.
HamlibConfig ReadHamlibConfig();
HamlibConfig ReadHamlibConfigFrom(FILE* f);

// One reply line of rigctld's plain protocol (without its line feed).
struct HamlibReply {
  enum Kind { Value, Error, Bad } kind = Bad;
  int64_t value = 0;  // Hz for a frequency, 0/1 for PTT
  int rprt = 0;    // the N of "RPRT -N" (negative)
};
enum class HamlibQuery { Freq, Ptt };
// A frequency is a decimal count of Hz (a fraction, which some Hamlib
// versions print, is dropped), at most 11 digits; PTT is a small decimal,
// anything non-zero being "on". "RPRT N" is an error reply. Anything else
// is Bad.
HamlibReply ParseHamlibReply(const char* line, size_t n, HamlibQuery q);

// Splits the byte stream into lines without ever holding more than
// kMaxLine bytes: a longer line is dropped whole (counted), and what
// follows its line feed is read normally.
class HamlibLineReader {
 public:
  static constexpr size_t kMaxLine = 64;
  // Takes bytes; calls onLine(const char*, size_t) for every whole line.
  template <class F>
  void feed(const char* data, size_t n, F&& onLine) {
    for (size_t i = 0; i < n; ++i) {
      char c = data[i];
      if (c == '\n') {
        if (overlong_) {
          overlong_ = false;
        } else {
          size_t len = len_;
          if (len > 0 && buf_[len - 1] == '\r') --len;
          onLine(static_cast<const char*>(buf_), len);
        }
        len_ = 0;
        continue;
      }
      if (overlong_) continue;
      if (len_ >= kMaxLine) {
        overlong_ = true;
        ++dropped_;
        len_ = 0;
        continue;
      }
      buf_[len_++] = c;
    }
  }
  void clear() {
    len_ = 0;
    overlong_ = false;
  }
  int dropped() const { return dropped_; }

 private:
  char buf_[kMaxLine] = {};
  size_t len_ = 0;
  bool overlong_ = false;
  int dropped_ = 0;
};

// The poll, on the monotonic clock (milliseconds). The thread asks next()
// what to do, does it, and reports back.
class HamlibPoll {
 public:
  static constexpr int64_t kPeriodMs = 100;        // one frequency + PTT round
  static constexpr int64_t kReplyTimeoutMs = 1000;  // a peer that never answers
  static constexpr int64_t kRetryMs = 2000;         // after a lost or refused link
  static constexpr int kConnectTimeoutMs = 1000;

  enum class Action { Connect, SendFreq, SendPtt, Drop, Wait };
  // What to do at nowMs; for Wait, *waitMs is how long to wait for a
  // reply or the next step (at most kPeriodMs).
  Action next(int64_t nowMs, int64_t* waitMs);
  // Results of the actions.
  void connected(bool ok, int64_t nowMs);
  void sent(int64_t nowMs);
  // A read or write error, or the peer closed: the link is down and the
  // next attempt waits kRetryMs.
  void lost(int64_t nowMs);
  // A reply line while a query is pending (lines nobody asked for are
  // ignored).
  void line(const char* text, size_t n, int64_t nowMs);

  bool up() const { return state_ != State::Down && state_ != State::Connecting; }
  // The first reply after a (re)connection came (true once per link).
  bool takeCameUp();

  long freq = 0;      // last good frequency, 0 until one came
  int ptt = 0;        // last good PTT state
  int badFreq = 0;    // frequency replies that did not parse
  int rigErrors = 0;  // "RPRT" replies
  int timeouts = 0;   // replies that never came

 private:
  enum class State { Down, Connecting, Idle, AwaitFreq, AwaitPtt };
  State state_ = State::Down;
  int64_t retryAtMs_ = 0;
  int64_t sentAtMs_ = 0;
  int64_t roundAtMs_ = 0;  // when the next round starts
  bool pendingSend_ = false;
  bool cameUp_ = false;
  bool answered_ = false;
};

// Timer side: a PTT that turns on starts an automatic tune when automatic
// tuning is on, no run is under way and the frequency's slot has no stored
// tuning. lastPtt keeps the previous state between cycles.
bool HamlibPttStartsTune(bool pttNow, bool pttBefore, bool autoTuneOn, bool tuneRunning, bool tuningStored);
void HamlibFollowPtt(Works* w, int* lastPtt);

// Thread body; runs while the run byte hamRun is '1'.
void HamlibLink(Works* w);
// Starts the thread into t. One still running (its byte went '0' and back
// to '1' before it looked) simply goes on; one that has ended is reaped.
void HamlibStartThread(Works* w, std::thread& t);
