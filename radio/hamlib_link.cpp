#include "radio/hamlib_link.h"

#include <syslog.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include "amp/error_list.h"
#include "core/file_problems.h"
#include "core/works.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/heartbeat.h"
#include "platform/log.h"
#include "platform/net.h"
#include "tuner/autotune.h"
#include "tuner/conf_lines.h"
#include "tuner/tune_memory.h"

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int64_t monoMs() { return monoMicros() / 1000; }

bool hamMayRun(Works* w) { return w->running.load() != 0 && runByte(w->hamRun) == '1'; }

// The starter and the ending thread decide under one lock, so a start
// never finds a thread that is about to end without noticing its byte.
std::mutex g_startMut;
bool g_threadRunning = false;

// Called by the thread when its loop condition failed: ends it, unless the
// byte went back to '1' meanwhile.
bool hamEnd(Works* w) {
  std::lock_guard<std::mutex> lk(g_startMut);
  if (hamMayRun(w)) return false;
  g_threadRunning = false;
  return true;
}

// Decimal digits [p, end) into *v; false when empty or wider than maxDigits.
// 64-bit: eleven digits do not fit the board's 32-bit long.
bool digits(const char*& p, const char* end, int maxDigits, int64_t* v) {
  int64_t r = 0;
  int n = 0;
  while (p < end && isDigit(*p)) {
    if (++n > maxDigits) return false;
    r = r * 10 + (*p - '0');
    ++p;
  }
  if (n == 0) return false;
  *v = r;
  return true;
}

}  // namespace

bool ParseHamlibAddress(const std::string& text, HamlibConfig* out) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon > 253) return false;
  for (size_t i = 0; i < colon; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c <= ' ' || c >= 0x7F) return false;
  }
  const char* p = text.c_str() + colon + 1;
  const char* end = text.c_str() + text.size();
  int64_t port = 0;
  if (!digits(p, end, 5, &port) || p != end || port < 1 || port > 65535) return false;
  out->host = text.substr(0, colon);
  out->port = static_cast<uint16_t>(port);
  return true;
}

HamlibConfig ReadHamlibConfig() {
  FILE* f = openRooted(kHamlibFile, "r");
  if (f == nullptr) return HamlibConfig();
  HamlibConfig cfg = ReadHamlibConfigFrom(f);
  fclose(f);
  return cfg;
}

HamlibConfig ReadHamlibConfigFrom(FILE* f) {
  HamlibConfig cfg;
  std::string line;
  bool tooLong = false;
  int lineNo = 0;
  while (ReadConfLine(f, line, &tooLong)) {
    lineNo++;
    size_t a = line.find_first_not_of(" \t");
    if (a == std::string::npos || line[a] == ';' || line[a] == '#') continue;
    const char* why = nullptr;
    if (tooLong) {
      why = "line too long, skipped";
    } else {
      size_t gap = line.find_first_of(" \t", a);
      size_t v = gap == std::string::npos ? gap : line.find_first_not_of(" \t", gap);
      size_t vEnd = v == std::string::npos ? v : line.find_last_not_of(" \t") + 1;
      if (line.compare(a, gap - a, "rigctld") != 0) {
        why = "unknown name, skipped (only \"rigctld HOST:PORT\")";
      } else if (v == std::string::npos || !ParseHamlibAddress(line.substr(v, vEnd - v), &cfg)) {
        why = "not HOST:PORT, skipped";
      }
    }
    if (why == nullptr) continue;
    if (fileProblemsWanted()) reportFileProblem(kHamlibFile, lineNo, false, why);
    else zlogLimited(LOG_ERR, "%s line %d: %s", kHamlibFile, lineNo, why);
  }
  return cfg;
}

HamlibReply ParseHamlibReply(const char* line, size_t n, HamlibQuery q) {
  HamlibReply r;
  const char* p = line;
  const char* end = line + n;
  if (n >= 5 && line[0] == 'R' && line[1] == 'P' && line[2] == 'R' && line[3] == 'T' && line[4] == ' ') {
    p += 5;
    bool neg = p < end && *p == '-';
    if (neg) ++p;
    int64_t code = 0;
    if (!digits(p, end, 4, &code) || p != end) return r;
    r.kind = HamlibReply::Error;
    r.rprt = static_cast<int>(neg ? -code : code);
    return r;
  }
  int64_t v = 0;
  if (q == HamlibQuery::Freq) {
    if (!digits(p, end, 11, &v)) return r;
    if (p < end && *p == '.') {
      ++p;
      while (p < end && isDigit(*p)) ++p;
    }
  } else {
    if (!digits(p, end, 3, &v)) return r;
  }
  if (p != end) return r;
  r.kind = HamlibReply::Value;
  r.value = q == HamlibQuery::Ptt ? (v != 0 ? 1 : 0) : v;
  return r;
}

HamlibPoll::Action HamlibPoll::next(int64_t nowMs, int64_t* waitMs) {
  *waitMs = 0;
  switch (state_) {
    case State::Down:
      if (nowMs >= retryAtMs_) {
        state_ = State::Connecting;
        return Action::Connect;
      }
      *waitMs = retryAtMs_ - nowMs < kPeriodMs ? retryAtMs_ - nowMs : kPeriodMs;
      return Action::Wait;
    case State::Connecting:
      return Action::Connect;
    case State::Idle:
      if (nowMs >= roundAtMs_) {
        state_ = State::AwaitFreq;
        pendingSend_ = true;
        roundAtMs_ = nowMs + kPeriodMs;
        return Action::SendFreq;
      }
      *waitMs = roundAtMs_ - nowMs;
      return Action::Wait;
    case State::AwaitFreq:
    case State::AwaitPtt:
      if (pendingSend_) return state_ == State::AwaitFreq ? Action::SendFreq : Action::SendPtt;
      if (nowMs - sentAtMs_ >= kReplyTimeoutMs) {
        ++timeouts;
        return Action::Drop;
      }
      *waitMs = kReplyTimeoutMs - (nowMs - sentAtMs_);
      if (*waitMs > kPeriodMs) *waitMs = kPeriodMs;
      return Action::Wait;
  }
  return Action::Wait;
}

void HamlibPoll::connected(bool ok, int64_t nowMs) {
  answered_ = false;
  pendingSend_ = false;
  if (ok) {
    state_ = State::Idle;
    roundAtMs_ = nowMs;
  } else {
    state_ = State::Down;
    retryAtMs_ = nowMs + kRetryMs;
  }
}

void HamlibPoll::sent(int64_t nowMs) {
  pendingSend_ = false;
  sentAtMs_ = nowMs;
}

void HamlibPoll::lost(int64_t nowMs) {
  answered_ = false;
  pendingSend_ = false;
  ptt = 0;  // nobody tells us any more that the radio transmits
  state_ = State::Down;
  retryAtMs_ = nowMs + kRetryMs;
}

void HamlibPoll::line(const char* text, size_t n, int64_t nowMs) {
  (void)nowMs;
  if (pendingSend_ || (state_ != State::AwaitFreq && state_ != State::AwaitPtt)) return;
  const bool isFreq = state_ == State::AwaitFreq;
  HamlibReply r = ParseHamlibReply(text, n, isFreq ? HamlibQuery::Freq : HamlibQuery::Ptt);
  if (r.kind == HamlibReply::Error) {
    // A rig that cannot report PTT answers "RPRT -11" to every "t": the
    // link still works, PTT just stays off.
    ++rigErrors;
  } else if (r.kind == HamlibReply::Bad) {
    if (isFreq) ++badFreq;
  } else if (isFreq) {
    // The frequency fields are a long, 32 bits on the board: anything from
    // 1 GHz up counts as 1 GHz, as the slot search takes it (no HF band).
    if (r.value > 0) freq = static_cast<long>(r.value < 1000000000 ? r.value : 1000000000);
  } else {
    ptt = static_cast<int>(r.value);
  }
  if (!answered_) {
    answered_ = true;
    cameUp_ = true;
  }
  if (isFreq) {
    state_ = State::AwaitPtt;
    pendingSend_ = true;
  } else {
    state_ = State::Idle;
  }
}

bool HamlibPoll::takeCameUp() {
  bool r = cameUp_;
  cameUp_ = false;
  return r;
}

bool HamlibPttStartsTune(bool pttNow, bool pttBefore, bool autoTuneOn, bool tuneRunning, bool tuningStored) {
  return pttNow && !pttBefore && autoTuneOn && !tuneRunning && !tuningStored;
}

void HamlibFollowPtt(Works* w, int* lastPtt) {
  const bool now = w->hamPtt.load() != 0;
  const bool before = *lastPtt != 0;
  *lastPtt = now ? 1 : 0;
  if (!now || before) return;
  int first = 0, end = 0;
  int slot = AtuIdxSearch(w->freq.load(), nullptr, nullptr, &first, &end);
  // EsisteTuneValInTabRam is true when nothing is stored in the segment.
  const bool stored = !EsisteTuneValInTabRam(w, slot, first, end, w->AntennaIdx);
  if (!HamlibPttStartsTune(now, before, (w->tuneFlags.load() & 0x01) != 0, w->TuneRunState.load() != 0, stored))
    return;
  // The run then waits for the amplifier's own transmit bit, as on the
  // generic interface: rigctld cannot key a tune carrier for us.
  if (StartAutotune(w)) zlogEchoLimited(LOG_INFO, "Hamlib: PTT on with no stored tuning, autotune started");
}

namespace {

void linkDown(Works* w, const HamlibConfig& cfg, const char* why) {
  // Re-recorded at every failed attempt: the key comes back after the
  // operator's reset, and after the amplifier unmutes the error list.
  AddErrore(w, kHamlibErrCode);
  w->hamPtt = 0;
  zlogLimited(LOG_ERR, "Hamlib: rigctld %s:%u %s, retry in 2 s", cfg.host.c_str(), unsigned(cfg.port), why);
}

void sleepWhileRun(Works* w, int64_t ms) {
  const int64_t end = monoMs() + ms;
  while (hamMayRun(w)) {
    int64_t left = end - monoMs();
    if (left <= 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(left < 50 ? left : 50));
  }
}

}  // namespace

void HamlibLink(Works* w) {
  const HamlibConfig cfg = ReadHamlibConfig();
  zlogEcho(LOG_INFO, "Hamlib link to rigctld %s:%u", cfg.host.c_str(), unsigned(cfg.port));
  HamlibPoll poll;
  HamlibLineReader reader;
  int sock = -1;
  int badSeen = 0, rigErrSeen = 0, droppedSeen = 0;
  auto drop = [&](const char* why) {
    if (sock >= 0) netClose(sock);
    sock = -1;
    poll.lost(monoMs());
    linkDown(w, cfg, why);
  };
  BeatScope watched(Beat::Hamlib);
  while (hamMayRun(w) || !hamEnd(w)) {
    beat(Beat::Hamlib);
    int64_t waitMs = 0;
    const HamlibPoll::Action act = poll.next(monoMs(), &waitMs);
    switch (act) {
      case HamlibPoll::Action::Connect: {
        uint32_t addr = 0;
        if (netResolve(cfg.host, &addr)) sock = netConnect(addr, cfg.port, HamlibPoll::kConnectTimeoutMs);
        poll.connected(sock >= 0, monoMs());
        reader.clear();
        if (sock < 0) linkDown(w, cfg, "refused or unreachable");
        break;
      }
      case HamlibPoll::Action::SendFreq:
      case HamlibPoll::Action::SendPtt: {
        const bool f = act == HamlibPoll::Action::SendFreq;
        if (netSend(sock, f ? "f\n" : "t\n", 2) != 2) drop("lost (write)");
        else poll.sent(monoMs());
        break;
      }
      case HamlibPoll::Action::Drop:
        drop("does not answer");
        break;
      case HamlibPoll::Action::Wait:
        if (sock < 0) {
          sleepWhileRun(w, waitMs);
          break;
        }
        {
          int r = netWaitReadable(sock, static_cast<int>(waitMs));
          if (r < 0) {
            drop("lost");
          } else if (r > 0) {
            char buf[256];
            ssize_t n = netRecv(sock, buf, sizeof buf);
            if (n <= 0) {
              drop("closed the connection");
            } else {
              reader.feed(buf, size_t(n), [&](const char* l, size_t len) { poll.line(l, len, monoMs()); });
            }
          }
        }
        break;
    }
    if (poll.freq > 0) w->hamFreq = poll.freq;
    w->hamPtt = poll.ptt;
    if (poll.takeCameUp()) {
      DeleteErrore(w, kHamlibErrCode);
      zlogEchoLimited(LOG_INFO, "Hamlib: rigctld %s:%u answers", cfg.host.c_str(), unsigned(cfg.port));
    }
    if (poll.badFreq != badSeen) {
      badSeen = poll.badFreq;
      zlogLimited(LOG_ERR, "Hamlib: frequency reply not understood, ignored (%d so far)", badSeen);
    }
    if (poll.rigErrors != rigErrSeen) {
      rigErrSeen = poll.rigErrors;
      zlogLimited(LOG_ERR, "Hamlib: rigctld reports an error (%d so far)", rigErrSeen);
    }
    if (reader.dropped() != droppedSeen) {
      droppedSeen = reader.dropped();
      zlogLimited(LOG_ERR, "Hamlib: over-long reply line dropped (%d so far)", droppedSeen);
    }
  }
  if (sock >= 0) netClose(sock);
  w->hamPtt = 0;
}

void HamlibStartThread(Works* w, std::thread& t) {
  std::lock_guard<std::mutex> lk(g_startMut);
  if (g_threadRunning) return;
  if (t.joinable()) t.join();
  g_threadRunning = true;
  t = std::thread(HamlibLink, w);
}
