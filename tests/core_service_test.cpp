// The controller as a service: the unit file, the command line (--version,
// --help, --check on broken operator files) and the watchdog end to end
// over a notify socket the test listens on.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/clock.h"
#include "platform/heartbeat.h"
#include "platform/log.h"
#include "tests/support/temp_root.h"
#include "tests/support/wait.h"
#include "tests/support/zelpyx_process.h"
#include "tests/support/zelsim_process.h"

namespace {

std::string readAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// Runs zelpyx with args in the present ZELPYX_ROOT; output in outPath.
int runZelpyx(const std::vector<std::string>& args, const std::string& outPath) {
  ZelpyxProcess p;
  if (!p.start(outPath, args)) return -100;
  return p.waitExit(120000);
}

std::string corpus(const std::string& target, const std::string& name, size_t skip = 0) {
  std::string s = readAll(std::string(ZELPYX_SOURCE_DIR) + "/tests/fuzz/corpus/" + target + "/" + name);
  return s.substr(skip < s.size() ? skip : s.size());
}

}  // namespace

TEST(ServiceUnit, VerifiesAndRunsAsANotifyServiceWithAWatchdog) {
  const std::string unit = readAll(std::string(ZELPYX_SOURCE_DIR) + "/platform/zelpyx.service");
  for (const char* line : {"\nType=notify\n", "\nWatchdogSec=10s\n", "\nRestart=always\n",
                           "\nWorkingDirectory=/opt/ZelPyx\n", "\nExecStart=/opt/ZelPyx/zelpyx\n"})
    EXPECT_NE(unit.find(line), std::string::npos) << line;
  if (system("command -v systemd-analyze >/dev/null 2>&1") != 0) GTEST_SKIP() << "no systemd-analyze";
  // Verified as installed, but with a program and directory this machine
  // has (verify refuses a missing executable).
  TempRoot root;
  std::string copy = unit;
  copy.replace(copy.find("ExecStart=/opt/ZelPyx/zelpyx"), 28, "ExecStart=/bin/true");
  copy.replace(copy.find("WorkingDirectory=/opt/ZelPyx"), 28, "WorkingDirectory=" + root.dir());
  const std::string path = root.dir() + "/zelpyx.service";
  std::ofstream(path) << copy;
  const std::string out = root.dir() + "/verify.out";
  const int rc = system(("systemd-analyze verify --man=no '" + path + "' >'" + out + "' 2>&1").c_str());
  EXPECT_EQ(rc, 0) << readAll(out);
  // A misspelt or misplaced setting is only a warning: none is allowed.
  EXPECT_EQ(readAll(out), "");
}

TEST(CommandLine, VersionHelpAndAnUnknownOption) {
  TempRoot root;
  const std::string out = root.dir() + "/out.txt";
  EXPECT_EQ(runZelpyx({"--version"}, out), 0);
  EXPECT_EQ(readAll(out).rfind("zelpyx 0.", 0), 0u) << readAll(out);
  EXPECT_EQ(runZelpyx({"--help"}, out), 0);
  EXPECT_NE(readAll(out).find("Usage: zelpyx [--check | --version | --help]"), std::string::npos);
  EXPECT_EQ(runZelpyx({"--frobnicate"}, out), 2);
  EXPECT_NE(readAll(out).find("unknown option or extra argument '--frobnicate'\nUsage: zelpyx"), std::string::npos)
      << readAll(out);
  EXPECT_EQ(runZelpyx({"--check", "x"}, out), 2);
  // None of them started the controller.
  EXPECT_EQ(readAll(out).find("START Main"), std::string::npos);
}

// Each kind of broken file the fuzz corpora hold, with the problem line
// --check must print and whether start-up would replace the file.
TEST(CommandLine, CheckReportsEachBrokenFileByLineAndFailsOnlyWhenDefaultsWouldReplaceIt) {
  struct Case {
    const char* file;
    std::string content;
    std::vector<std::string> expect;
    int status;
  };
  const std::string setupOk = "EnableGPIO: 0\n";
  const std::vector<Case> cases = {
      // A sound set of files: nothing to say about them.
      {"/opt/set/antenna_b7.txt", corpus("fuzz_antenna_file", "zel_bank"), {}, 0},
      {"/opt/set/setup.txt", corpus("fuzz_setup_file", "regress_control_char_in_run_byte"),
       {"/opt/set/setup.txt:1: warning: EnableLinear: no value, default kept",
        "/opt/set/setup.txt:2: warning: not a known \"Key: value\" line, ignored",
        "/opt/set/setup.txt:6: warning: Server: value cut to"},
       0},
      {"/opt/set/antenna_b7.txt", corpus("fuzz_antenna_file", "regress_nul_in_band_name"),
       {"/opt/set/antenna_b7.txt:2: warning: not a row"}, 0},
      // A band row with no range: the table is thrown away at start-up.
      {"/opt/set/antenna.txt", corpus("fuzz_antenna_file", "gen_bank"),
       {"/opt/set/antenna.txt:3: error: a band without its frequency range"}, 1},
      {"/opt/set/atu_ant2_b3.txt", corpus("fuzz_atu_file", "stored") + "9999 1 1 1 1 1\n5 x\n",
       {"/opt/set/atu_ant2_b3.txt:5: warning: slot 9999 past the table",
        "/opt/set/atu_ant2_b3.txt:6: warning: not a tuning line"},
       0},
      {"/opt/set/config.txt", corpus("fuzz_table_files", "config", 1) + "1000 2000 5\n",
       {"/opt/set/config.txt:5: warning: 3 fields, 13 expected"}, 0},
      {"/opt/set/ventola.txt", corpus("fuzz_table_files", "ventola", 1) + "70\n",
       {"/opt/set/ventola.txt:6: warning: 1 fields, 2 expected"}, 0},
      {"/opt/set/filter.txt", corpus("fuzz_table_files", "filter", 1) + "1 2 1\n3 4 1\n5 6 1\n7 8 1\n9 10 1\n",
       {"/opt/set/filter.txt:9: warning: more than 8 filters"}, 0},
      {"/opt/set/hamlib.txt", "; rig\nmodel 1\nrigctld shack\nrigctld shack:4532\n",
       {"/opt/set/hamlib.txt:2: warning: unknown name", "/opt/set/hamlib.txt:3: warning: not HOST:PORT"}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    TempRoot root;
    if (std::string(c.file) != "/opt/set/setup.txt") root.writeFile("/opt/set/setup.txt", setupOk);
    root.writeFile("/opt/set/config.txt", corpus("fuzz_table_files", "config", 1));
    root.writeFile("/opt/set/ventola.txt", corpus("fuzz_table_files", "ventola", 1));
    root.writeFile(c.file, c.content);
    const std::string out = root.dir() + "/out.txt";
    EXPECT_EQ(runZelpyx({"--check"}, out), c.status) << readAll(out);
    const std::string text = readAll(out);
    for (const std::string& e : c.expect) EXPECT_NE(text.find(e), std::string::npos) << e << "\n" << text;
    if (c.expect.empty()) {
      EXPECT_EQ(text.find(": warning: "), std::string::npos) << text;
    }
    if (c.status == 0) {
      EXPECT_EQ(text.find(": error: "), std::string::npos) << text;
    }
  }
  // Without a setup file start-up writes defaults: fatal, and the check
  // itself writes nothing.
  TempRoot root;
  const std::string out = root.dir() + "/out.txt";
  EXPECT_EQ(runZelpyx({"--check"}, out), 1);
  EXPECT_NE(readAll(out).find("/opt/set/setup.txt:0: error: missing"), std::string::npos) << readAll(out);
  EXPECT_FALSE(root.exists("/opt/set/setup.txt"));
}

namespace {
std::vector<std::string> g_sent;
bool recordSend(const char* m) {
  g_sent.emplace_back(m);
  return true;
}
}  // namespace

// The decision alone: the first watched thread past its own deadline;
// threads that ended on purpose do not count; pings only while none is
// stale, at the ping interval; the stale thread named once per stall.
TEST(Heartbeat, StaleThreadStopsThePingsAndIsNamedOnce) {
  BeatSnapshot s;
  s.watched[int(Beat::Linear)] = true;
  s.lastMs[int(Beat::Linear)] = 10000;
  s.watched[int(Beat::Timer)] = true;
  s.lastMs[int(Beat::Timer)] = 12000;
  s.lastMs[int(Beat::Serial)] = 0;  // not watched: its port never opened
  EXPECT_EQ(staleBeat(s, 10000 + beatDeadlineMs(Beat::Linear)), -1);
  EXPECT_EQ(staleBeat(s, 10001 + beatDeadlineMs(Beat::Linear)), int(Beat::Linear));
  s.lastMs[int(Beat::Linear)] = 16000;
  EXPECT_EQ(staleBeat(s, 17001), int(Beat::Timer));

  g_sent.clear();
  logCaptureStart();
  WatchdogPinger p;
  p.pingMs = 1000;
  s.lastMs[int(Beat::Timer)] = 16000;
  EXPECT_EQ(p.tick(s, 16500, recordSend), -1);
  EXPECT_EQ(p.tick(s, 17000, recordSend), -1);  // within the interval: no second ping
  EXPECT_EQ(p.tick(s, 17500, recordSend), -1);
  EXPECT_EQ(g_sent, (std::vector<std::string>{"WATCHDOG=1", "WATCHDOG=1"}));
  for (int64_t t = 21001; t < 30000; t += 500) EXPECT_EQ(p.tick(s, t, recordSend), int(Beat::Linear));
  EXPECT_EQ(g_sent.size(), 2u);
  int named = 0;
  for (const auto& l : logCaptured()) named += l.find("thread linear stuck for 5001 ms") != std::string::npos;
  EXPECT_EQ(named, 1);
  // Progress again: pings resume at once.
  s.lastMs[int(Beat::Linear)] = s.lastMs[int(Beat::Timer)] = 30000;
  EXPECT_EQ(p.tick(s, 30000, recordSend), -1);
  EXPECT_EQ(g_sent.size(), 3u);
  logCaptureStop();

  // A thread waiting on a shell command counts as beating for its
  // time-out; one that ended is no longer watched.
  std::thread t([] {
    BeatScope watched(Beat::CatSerial);
    beatGrace(60000);
    const int64_t now = monoMicros() / 1000;
    EXPECT_EQ(staleBeat(beatSnapshot(), now + 30000), -1);
    EXPECT_EQ(staleBeat(beatSnapshot(), now + 60000 + beatDeadlineMs(Beat::CatSerial) + 1000), int(Beat::CatSerial));
  });
  t.join();
  EXPECT_EQ(staleBeat(beatSnapshot(), monoMicros() / 1000 + 1000000), -1);
}

// Under the service manager standard error is the journal's stream: each
// log line once, with its priority prefix, and no plain echo beside it.
TEST(JournalLog, OneLineWithItsPriorityWhenStderrIsTheJournal) {
  TempRoot root;
  for (bool journal : {true, false}) {
    const std::string out = root.dir() + (journal ? "/journal.txt" : "/plain.txt");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int fd = open(out.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
      dup2(fd, 2);
      struct stat st;
      fstat(2, &st);
      const std::string js = std::to_string(st.st_dev) + ":" + std::to_string(journal ? st.st_ino : st.st_ino + 1);
      setenv("JOURNAL_STREAM", js.c_str(), 1);
      unsetenv("ZELPYX_LOG_STDERR");
      zlogEcho(LOG_ERR, "amplifier port lost");
      zlog(LOG_INFO, "only in the log");
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (journal) EXPECT_EQ(readAll(out), "<3>amplifier port lost\n<6>only in the log\n");
    else EXPECT_EQ(readAll(out), "amplifier port lost\n");
  }
}

// The controller against the simulated station, started with a notify
// socket: READY=1 after start-up, WATCHDOG=1 while all runs; a thread made
// to block stops the pings and is named in the log.
class Watchdog : public testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    sock_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ASSERT_GE(sock_, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    path_ = root_.dir() + "/notify.sock";
    ASSERT_LT(path_.size(), sizeof a.sun_path);
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path_.c_str());
    ASSERT_EQ(bind(sock_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    setenv("NOTIFY_SOCKET", path_.c_str(), 1);
    setenv("ZELPYX_TEST_STALL", GetParam(), 1);
  }
  void TearDown() override {
    unsetenv("NOTIFY_SOCKET");
    unsetenv("ZELPYX_TEST_STALL");
    if (sock_ >= 0) close(sock_);
  }
  // Messages received so far, appended to got_.
  void drain() {
    char buf[256];
    ssize_t n;
    while ((n = recv(sock_, buf, sizeof buf, 0)) > 0) got_.emplace_back(buf, static_cast<size_t>(n));
  }
  int count(const std::string& m, size_t from = 0) {
    drain();
    int c = 0;
    for (size_t i = from; i < got_.size(); i++) c += got_[i] == m;
    return c;
  }
  size_t indexOf(const std::string& m) {
    drain();
    for (size_t i = 0; i < got_.size(); i++)
      if (got_[i] == m) return i;
    return got_.size();
  }

  TempRoot root_;
  int sock_ = -1;
  std::string path_;
  std::vector<std::string> got_;
};

TEST_P(Watchdog, ReadyThenPingsUntilAThreadStallsThenNoneAndTheThreadIsNamed) {
  const std::string name = GetParam();
  ZelsimProcess sim;
  ASSERT_TRUE(sim.start(root_.dir()));
  ZelpyxProcess zel;
  ASSERT_TRUE(zel.start(root_.path("/controller.log")));
  const auto log = [&] { return root_.readFile("/controller.log"); };

  ASSERT_TRUE(waitFor([&] { return indexOf("READY=1") < got_.size(); }, 120000, 50)) << log();
  const size_t ready = indexOf("READY=1");
  ASSERT_TRUE(waitFor([&] { return count("WATCHDOG=1", ready) >= 3; }, 60000, 50)) << log();
  EXPECT_EQ(log().find("watchdog pings stopped"), std::string::npos) << log();

  zel.signal(SIGUSR2);
  const std::string named = "thread " + name + " stuck for ";
  ASSERT_TRUE(waitFor([&] { return log().find(named) != std::string::npos; }, 60000, 50)) << log();
  EXPECT_NE(log().find("test: thread " + name + " stalls"), std::string::npos);
  // The line is written when pinging stops: nothing may follow it. The
  // window spans several ping intervals.
  drain();
  const size_t after = got_.size();
  const auto quiet = std::chrono::steady_clock::now() + std::chrono::seconds(4);
  while (std::chrono::steady_clock::now() < quiet) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(count("WATCHDOG=1", after), 0);
  // Named once, not once per tick.
  const std::string l = log();
  EXPECT_EQ(l.find(named), l.rfind(named));

  zel.signal(SIGTERM);
  EXPECT_EQ(zel.waitExit(60000), 0) << log();
  EXPECT_GE(count("STOPPING=1"), 1);
}

INSTANTIATE_TEST_SUITE_P(Threads, Watchdog, testing::Values("linear", "timer"));
