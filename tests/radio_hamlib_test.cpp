// The Hamlib link: rigctld's replies, the poll's states and time-outs, the
// operator file, and end to end the controller following Debian's own
// rigctld (dummy rig) against the simulated amplifier.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <netinet/in.h>
#include <regex>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "amp/error_list.h"
#include "core/works.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/net.h"
#include "radio/hamlib_link.h"
#include "tests/support/serial_peer.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_works.h"
#include "tests/support/wait.h"
#include "tests/support/zelpyx_process.h"
#include "tests/support/zelsim_process.h"

namespace {

HamlibReply freq(const std::string& s) { return ParseHamlibReply(s.data(), s.size(), HamlibQuery::Freq); }
HamlibReply ptt(const std::string& s) { return ParseHamlibReply(s.data(), s.size(), HamlibQuery::Ptt); }

TEST(HamlibReplies, ValuesErrorsAndEverythingElse) {
  EXPECT_EQ(freq("7074000").kind, HamlibReply::Value);
  EXPECT_EQ(freq("7074000").value, 7074000);
  EXPECT_EQ(freq("14074000.000000").value, 14074000);  // some versions print a fraction
  EXPECT_EQ(freq("10368000000").value, 10368000000L);  // 11 digits: a microwave transverter
  EXPECT_EQ(ptt("1").value, 1);
  EXPECT_EQ(ptt("0").value, 0);
  EXPECT_EQ(ptt("2").value, 1);  // PTT_ON_MIC and the like are "on"
  HamlibReply e = ptt("RPRT -11");
  EXPECT_EQ(e.kind, HamlibReply::Error);
  EXPECT_EQ(e.rprt, -11);
  for (const char* bad : {"", "-7074000", "7.074e6", "7074000 ", " 7074000", "123456789012", "0x6BF0D0", "RPRT",
                          "RPRT -", "RPRT -11x", "VFOA", "7074000\x01"})
    EXPECT_EQ(freq(bad).kind, HamlibReply::Bad) << bad;
  EXPECT_EQ(ptt("1234").kind, HamlibReply::Bad);
}

TEST(HamlibReplies, LinesAreSplitBoundedAndAnOverlongOneIsDroppedWhole) {
  HamlibLineReader r;
  std::vector<std::string> got;
  auto take = [&](const char* l, size_t n) { got.emplace_back(l, n); };
  r.feed("7074", 4, take);
  r.feed("000\r\n1\n", 7, take);
  std::string huge(100000, '7');
  huge += "\nRPRT 0\n";
  r.feed(huge.data(), huge.size(), take);
  ASSERT_EQ(got, (std::vector<std::string>{"7074000", "1", "RPRT 0"}));
  EXPECT_EQ(r.dropped(), 1);
}

TEST(HamlibPollMachine, RoundsTimeOutsAndRetries) {
  HamlibPoll p;
  int64_t wait = 0;
  ASSERT_EQ(p.next(0, &wait), HamlibPoll::Action::Connect);
  p.connected(false, 0);  // refused
  EXPECT_EQ(p.next(1999, &wait), HamlibPoll::Action::Wait);
  EXPECT_LE(wait, HamlibPoll::kPeriodMs);
  ASSERT_EQ(p.next(2000, &wait), HamlibPoll::Action::Connect);
  p.connected(true, 2000);
  ASSERT_EQ(p.next(2000, &wait), HamlibPoll::Action::SendFreq);
  p.sent(2000);
  EXPECT_EQ(p.next(2010, &wait), HamlibPoll::Action::Wait);
  p.line("7074000", 7, 2020);
  EXPECT_TRUE(p.takeCameUp());
  EXPECT_FALSE(p.takeCameUp());
  ASSERT_EQ(p.next(2020, &wait), HamlibPoll::Action::SendPtt);
  p.sent(2020);
  p.line("1", 1, 2030);
  EXPECT_EQ(p.freq, 7074000);
  EXPECT_EQ(p.ptt, 1);
  // The next round starts a period after the last one did.
  EXPECT_EQ(p.next(2030, &wait), HamlibPoll::Action::Wait);
  EXPECT_EQ(wait, 70);
  ASSERT_EQ(p.next(2100, &wait), HamlibPoll::Action::SendFreq);
  p.sent(2100);
  // An unparsable frequency is counted and the round goes on; a rig
  // error on PTT leaves the state as it was.
  p.line("garbage", 7, 2110);
  EXPECT_EQ(p.badFreq, 1);
  EXPECT_EQ(p.freq, 7074000);
  ASSERT_EQ(p.next(2110, &wait), HamlibPoll::Action::SendPtt);
  p.sent(2110);
  p.line("RPRT -11", 8, 2120);
  EXPECT_EQ(p.ptt, 1);
  EXPECT_EQ(p.rigErrors, 1);
  // A peer that stops answering is dropped after the reply time-out, and
  // PTT no longer counts as on.
  ASSERT_EQ(p.next(2200, &wait), HamlibPoll::Action::SendFreq);
  p.sent(2200);
  EXPECT_EQ(p.next(3199, &wait), HamlibPoll::Action::Wait);
  ASSERT_EQ(p.next(3200, &wait), HamlibPoll::Action::Drop);
  p.lost(3200);
  EXPECT_EQ(p.ptt, 0);
  EXPECT_EQ(p.timeouts, 1);
  EXPECT_EQ(p.next(5199, &wait), HamlibPoll::Action::Wait);
  EXPECT_EQ(p.next(5200, &wait), HamlibPoll::Action::Connect);

  // A microwave frequency does not fit the board's 32-bit long: it counts
  // as 1 GHz, which no band row holds.
  p.connected(true, 5200);
  ASSERT_EQ(p.next(5200, &wait), HamlibPoll::Action::SendFreq);
  p.sent(5200);
  p.line("10368000000", 11, 5210);
  EXPECT_EQ(p.freq, 1000000000L);
}

TEST(HamlibConfigFile, DefaultsAddressAndMalformedLinesSkipped) {
  TempRoot root;
  HamlibConfig c = ReadHamlibConfig();
  EXPECT_EQ(c.host, "localhost");
  EXPECT_EQ(c.port, 4532);
  root.writeFile(kHamlibFile,
                 "; the shack PC\nrigctld\nrigctld shack:99999\nradio 10.0.0.2:4532\n"
                 "rigctld 10.0.0.2:4533\nrigctld :4532\n" + std::string(3000, 'x') + "\n");
  logCaptureStart();
  c = ReadHamlibConfig();
  logCaptureStop();
  EXPECT_EQ(c.host, "10.0.0.2");
  EXPECT_EQ(c.port, 4533);
  int skipped = 0;
  for (const std::string& l : logCaptured()) skipped += l.find("hamlib.txt line") != std::string::npos;
  EXPECT_EQ(skipped, 5);
  EXPECT_TRUE(logContains("hamlib.txt line 4: unknown name"));
}

TEST(HamlibPtt, OnlyATransmissionStartOnAnUntunedSlotWithAutoTuneStartsATune) {
  EXPECT_TRUE(HamlibPttStartsTune(true, false, true, false, false));
  EXPECT_FALSE(HamlibPttStartsTune(true, true, true, false, false));   // still on
  EXPECT_FALSE(HamlibPttStartsTune(true, false, false, false, false)); // automatic tuning off
  EXPECT_FALSE(HamlibPttStartsTune(true, false, true, true, false));   // a run under way
  EXPECT_FALSE(HamlibPttStartsTune(true, false, true, false, true));   // tuning stored
  EXPECT_FALSE(HamlibPttStartsTune(false, true, true, false, false));
}

// The thread against a hostile daemon on loopback: one that floods a line
// with no end, then one that accepts and never answers. Each connection
// is dropped (the key goes up), the next comes 2 s later, and the thread
// ends at once when asked.
TEST(HamlibThread, AFloodingOrSilentDaemonIsDroppedAndRetriedWithoutGrowingOrHanging) {
  TempRoot root;
  int ls = netListenLoopback(0, 4);
  ASSERT_GE(ls, 0);
  const int port = netLocalPort(ls);
  root.writeFile(kHamlibFile, "rigctld 127.0.0.1:" + std::to_string(port) + "\n");
  TestWorks w;
  InitErrTable(w.get());
  w->errorsMuted = 0;
  setRunByte(w->hamRun, '1');
  ThreadRunner link(w.get(), HamlibLink);

  std::vector<int64_t> acceptedMs;
  std::vector<int> held;
  std::string peer;
  for (int i = 0; i < 3; ++i) {
    int c = netAccept(ls, [] { return true; }, &peer);
    ASSERT_GE(c, 0);
    acceptedMs.push_back(monoMicros() / 1000);
    held.push_back(c);
    if (i == 0) {
      // 4 MB of digits with no line feed, while the link asks away.
      std::string junk(64 * 1024, '7');
      for (int k = 0; k < 64 && netSend(c, junk.data(), junk.size()) > 0; ++k) {
      }
    }
    // i == 1, 2: silent.
    ASSERT_TRUE(waitFor([&] { return ExistError(w.get(), kHamlibErrCode) == 1; }, 15000)) << i;
  }
  for (size_t i = 1; i < acceptedMs.size(); ++i)
    EXPECT_GE(acceptedMs[i] - acceptedMs[i - 1], HamlibPoll::kReplyTimeoutMs + HamlibPoll::kRetryMs - 100) << i;
  EXPECT_EQ(w->hamFreq.load(), 0);
  const int64_t t0 = monoMicros();
  link.stop();
  EXPECT_LT(monoMicros() - t0, 3000000) << "the thread ends promptly";
  for (int c : held) netClose(c);
  netClose(ls);
}

// ---- end to end -------------------------------------------------------

bool haveHamlib() { return access("/usr/bin/rigctld", X_OK) == 0 && access("/usr/bin/rigctl", X_OK) == 0; }

int freeLoopbackPort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = -1;
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(s);
  return port;
}

bool answers(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(uint16_t(port));
  bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(s);
  return ok;
}

// Hamlib's dummy rig behind rigctld, PTT reported by the rig itself.
class Rigctld {
 public:
  ~Rigctld() { kill(); }
  bool start(int port) {
    for (int attempt = 0; attempt < 20; ++attempt) {
      pid_ = fork();
      if (pid_ == 0) {
        const std::string p = std::to_string(port);
        execlp("rigctld", "rigctld", "-m", "1", "-P", "RIG", "-T", "127.0.0.1", "-t", p.c_str(), (char*)nullptr);
        _exit(127);
      }
      if (waitFor([&] { return answers(port) || waitpid(pid_, nullptr, WNOHANG) != 0; }, 15000, 20) &&
          answers(port))
        return true;
      kill();
      usleep(200000);  // the port may still be held by the last run's connections
    }
    return false;
  }
  void kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

int rigctl(int port, const std::string& cmd) {
  const std::string line = "rigctl -m 2 -r 127.0.0.1:" + std::to_string(port) + " " + cmd + " >/dev/null 2>&1";
  return system(line.c_str());
}


// After the "FA" of freq, the rest of the road in its order; "" when
// complete, else what is missing.
std::string roadAfter(const std::vector<std::string>& f, long hz, const std::vector<std::string>& road) {
  char fa[32];
  snprintf(fa, sizeof fa, "FA%011ld;", hz);
  size_t at = f.size();
  for (size_t i = f.size(); i-- > 0;)
    if (f[i] == fa) {
      at = i;
      break;
    }
  if (at == f.size()) return fa;
  for (const std::string& c : road) {
    while (at < f.size() && f[at].rfind(c, 0) != 0) ++at;
    if (at == f.size()) return c;
  }
  return "";
}

std::string tail(const std::string& s) { return s.size() > 3000 ? s.substr(s.size() - 3000) : s; }

size_t matches(const std::string& s, const std::regex& re) {
  return size_t(std::distance(std::sregex_iterator(s.begin(), s.end(), re), std::sregex_iterator()));
}

// Thresholds of two bands, so a band change sends "TS".
const char kConfig[] =
    "1000000 10000000 100 2000 100 2000 10 1000 0 5 10 20 90\n"
    "10000000 30000000 100 2000 100 2000 10 1000 0 2 20 10 50\n"
    "30000000 60000000 100 2000 100 2000 10 1000 0 1 1 1 1\n";

TEST(HamlibEndToEnd, TheAmplifierFollowsRigctldAPttTunesAndALostDaemonIsAnErrorUntilItReturns) {
  if (!haveHamlib()) GTEST_SKIP() << "rigctld/rigctl (libhamlib-utils) not installed";
  TempRoot root;
  root.writeFile("/opt/set/config.txt", kConfig);
  const int port = freeLoopbackPort();
  ASSERT_GT(port, 0);
  Rigctld rig;
  ASSERT_TRUE(rig.start(port));
  ASSERT_EQ(rigctl(port, "F 3573000"), 0);
  ZelsimProcess sim;
  ASSERT_TRUE(sim.start(root.dir(), {"--hamlib", std::to_string(port)}));
  ZelpyxProcess zel;
  ASSERT_TRUE(zel.start(root.path("/zelpyx.log")));
  auto log = [&] { return root.readFile("/zelpyx.log"); };

  // 80 m (antenna 2 in the table, the first thresholds row), 20 m
  // (antenna 3, the second row) and back to 40 m (antenna 1, the first
  // row): each new frequency runs the whole road, in its order.
  const std::vector<std::string> road = {"SF", "TS", "SA", "MT1"};
  ASSERT_TRUE(waitFor([&] { return roadAfter(sim.ampFrames(), 3573000, road).empty(); }, 120000, 200))
      << roadAfter(sim.ampFrames(), 3573000, road) << " missing\n" << tail(log());
  for (long hz : {14074000L, 7074000L}) {
    ASSERT_EQ(rigctl(port, "F " + std::to_string(hz)), 0);
    ASSERT_TRUE(waitFor([&] { return roadAfter(sim.ampFrames(), hz, road).empty(); }, 30000, 100))
        << hz << ": " << roadAfter(sim.ampFrames(), hz, road) << " missing\n" << tail(sim.control("amp log"));
  }
  // Nothing is stored for 40 m: keying the rig starts a tune.
  ASSERT_EQ(sim.control("clearlog"), "OK");
  ASSERT_EQ(rigctl(port, "T 1"), 0);
  ASSERT_TRUE(waitFor([&] { return log().find("Hamlib: PTT on with no stored tuning") != std::string::npos; }, 30000,
                      50)) << tail(log());
  EXPECT_TRUE(waitFor([&] {
    for (const std::string& f : sim.ampFrames())
      if (f == "MP1;") return true;
    return false;
  }, 30000, 50)) << tail(sim.control("amp log"));
  ASSERT_EQ(rigctl(port, "T 0"), 0);

  // The daemon goes away: the error key; it comes back: the key goes.
  const std::regex added(R"(Add: N: \d+ err:25\n)"), deleted(R"(Del ERROR: N: \d+ err:25\n)");
  rig.kill();
  ASSERT_TRUE(waitFor([&] { return matches(log(), added) > 0; }, 30000, 50)) << tail(log());
  const size_t dels = matches(log(), deleted);
  ASSERT_TRUE(rig.start(port));
  ASSERT_TRUE(waitFor([&] { return matches(log(), deleted) > dels; }, 30000, 50)) << tail(log());
  EXPECT_EQ(waitpid(zel.pid(), nullptr, WNOHANG), 0) << "the controller runs on";
  zel.signal(SIGTERM);
  EXPECT_EQ(zel.waitExit(60000), 0);
}

}  // namespace
