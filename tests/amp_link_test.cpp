// The Linear thread end to end: the controller's link on a pseudo-terminal
// against a scripted amplifier that answers in randomly cut pieces.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>

#include "amp/amp_status.h"
#include "amp/errors.h"
#include "amp/linear.h"
#include "amp/temperature.h"
#include "app/spine.h"
#include "core/works.h"
#include "tests/support/amp_frames.h"
#include "tests/support/pty.h"
#include "tests/support/serial_peer.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_works.h"
#include "tests/support/wait.h"

namespace {

// Raw sensor reading that the controller converts to about t degrees.
int rawForTemp(float t) {
  int best = 2048;
  for (int r = 200; r < 4000; r++)
    if (std::fabs(CalcolaTemp(r) - t) < std::fabs(CalcolaTemp(best) - t)) best = r;
  return best;
}

struct Link : ::testing::Test {
  TempRoot root;
  PtyPair pty;
  TestWorks tw;
  Works* w = nullptr;

  std::mutex m;
  AmpStatus st;  // what the amplifier reports
  // Per-command override: returns the bytes to send, or nullopt-like "-"
  // to fall through to the normal answer.
  std::function<std::string(const std::string& text)> script;

  int left = 0;  // how many more times a script misbehaves (under m)

  std::unique_ptr<SerialPeer> peer;
  // The link runs on the test's own record, read back once it ended.
  LinearState linkState;
  std::thread link;


  void SetUp() override {
    w = tw.get();
    InitGlobalVar(w);
    InstallStationHooks(w);
    strcpy(tw.setup.LinPort, "/dev/ttyAMA0");
    ASSERT_GE(pty.master, 0);
    ASSERT_TRUE(pty.linkAt(root.path("/dev/ttyAMA0")));
  }
  void TearDown() override {
    stopLink();
    peer.reset();
  }

  std::string respond(const std::string& frame) {
    std::string text = frameText(frame);
    std::lock_guard<std::mutex> lk(m);
    if (script) {
      std::string r = script(text);
      if (r != "-") return r;
    }
    if (text == "ST;") return ampReply(ampStatusText(st));
    if (text == "FM;") return ampReply("FM00014070000;");
    return ampReply(text);  // every other command is acknowledged by its echo
  }
  void start() {
    peer.reset(new SerialPeer(pty.master, [this](const std::string& f) { return respond(f); }));
    startLink();
  }
  void startLink() {
    w->running = 1;
    link = std::thread(RunLinear, w, &linkState);
  }
  void stopLink() {
    if (!link.joinable()) return;
    w->running = 0;
    link.join();
  }
  void setScript(std::function<std::string(const std::string&)> f) {
    std::lock_guard<std::mutex> lk(m);
    script = std::move(f);
  }
  void setStatus(const AmpStatus& s) {
    std::lock_guard<std::mutex> lk(m);
    st = s;
  }
  std::vector<std::string> texts() {
    std::vector<std::string> out;
    for (const auto& f : peer->frames()) out.push_back(frameText(f));
    return out;
  }
  // Index of the first frame with this text at or after from; -1 if none
  // arrived within the deadline.
  int waitText(const std::string& t, size_t from = 0, int timeoutMs = 15000) {
    return peer->waitFrame([&](const std::string& f) { return frameText(f) == t; }, from, timeoutMs);
  }
};

TEST_F(Link, StartupSequenceWithCheckDigits) {
  w->AntennaIdx = 2;  // "NumAntenna" 3
  InitMicroCmd(w);
  start();
  int mr = waitText("MR0;");
  ASSERT_GE(mr, 0);
  ASSERT_TRUE(peer->waitFrames(static_cast<size_t>(mr) + 3));
  std::vector<std::string> f = peer->frames();
  EXPECT_EQ(f[0], "4dST;");
  for (const auto& fr : f) EXPECT_EQ(fr, ampCommand(frameText(fr))) << "check digits of " << fr;
  const std::vector<std::string> cmds = {"VSM;",         "ER0000;",  "ER0001;",
                                         "ER0002;",      "MP0;",     "TS4095409515003700;",
                                         "AN0;",         "SA3;",     "FS00001;",
                                         "MT100000000;", "PS0001100000000000;", "GM00020100;",
                                         "GS;",          "CPFFFF;",  "MR0;"};
  std::vector<std::string> t = texts();
  std::vector<std::string> expect;
  for (const auto& c : cmds) {
    expect.push_back("ST;");
    expect.push_back(c);
  }
  expect.push_back("ST;");
  expect.push_back("FM;");
  t.resize(expect.size());
  EXPECT_EQ(t, expect);
  // The "CP" reply ends the start-up mute.
  EXPECT_TRUE(waitFor([&] { return (w->errorsMuted & 1) == 0; }));
}

TEST_F(Link, QueuedCommandsReplaceOneFmEach) {
  start();
  ASSERT_GE(waitText("FM;"), 0);
  for (int c : {CMD_MP1, CMD_AB0, CMD_TU}) IncPNTIn_CMDLinear(w, c);
  int i = waitText("MP1;");
  ASSERT_GT(i, 0);
  ASSERT_TRUE(peer->waitFrames(static_cast<size_t>(i) + 7));
  std::vector<std::string> t = texts();
  std::vector<std::string> got(t.begin() + i - 1, t.begin() + i + 7);
  EXPECT_EQ(got, (std::vector<std::string>{"ST;", "MP1;", "ST;", "AB0;", "ST;", "TU;", "ST;", "FM;"}));
  EXPECT_TRUE(waitFor([&] { return w->abState == 0 && w->AmpBypassFlag == 0; }));
}

TEST_F(Link, UrgentCommandsGoBackToBack) {
  start();
  ASSERT_GE(waitText("FM;"), 0);
  IncPNTIn_CMDLinearUrgent(w, {CMD_MP0, CMD_AB1, CMD_AT11});
  int i = waitText("MP0;");
  ASSERT_GT(i, 0);
  ASSERT_TRUE(peer->waitFrames(static_cast<size_t>(i) + 5));
  std::vector<std::string> t = texts();
  std::vector<std::string> got(t.begin() + i, t.begin() + i + 5);
  EXPECT_EQ(got, (std::vector<std::string>{"MP0;", "AB1;", "AT11;", "ST;", "FM;"}));
  EXPECT_EQ(w->cmdQ.urgent.load(), 0);
}

TEST_F(Link, UnansweredCommandGoesOutFourTimesThenStatus) {
  setScript([](const std::string& t) { return t == "MP1;" ? std::string() : std::string("-"); });
  start();
  ASSERT_GE(waitText("FM;"), 0);
  IncPNTIn_CMDLinear(w, CMD_MP1);
  int i = waitText("MP1;");
  ASSERT_GT(i, 0);
  ASSERT_TRUE(peer->waitFrames(static_cast<size_t>(i) + 6, 30000));
  std::vector<std::string> t = texts();
  std::vector<std::string> got(t.begin() + i, t.begin() + i + 6);
  EXPECT_EQ(got, (std::vector<std::string>{"MP1;", "MP1;", "MP1;", "MP1;", "ST;", "FM;"}));
  EXPECT_TRUE(ExistError(w, 4));
  EXPECT_STREQ(w->errTable[4].line2, "Err MP");
  EXPECT_EQ(w->retryStops, 1);
}

TEST_F(Link, RejectedCommandIsSentAgain) {
  left = 1;
  setScript([this](const std::string& t) {
    if (t == "AB0;" && left > 0) {
      left--;
      return ampReply("AB?;");
    }
    return std::string("-");
  });
  start();
  ASSERT_GE(waitText("FM;"), 0);
  IncPNTIn_CMDLinear(w, CMD_AB0);
  int i = waitText("AB0;");
  ASSERT_GT(i, 0);
  ASSERT_TRUE(peer->waitFrames(static_cast<size_t>(i) + 3));
  std::vector<std::string> t = texts();
  EXPECT_EQ(std::vector<std::string>(t.begin() + i, t.begin() + i + 3),
            (std::vector<std::string>{"AB0;", "AB0;", "ST;"}));
  EXPECT_FALSE(ExistError(w, 4));
}

// A status reply whose check value contains a hex letter (so that a
// lower-case form differs), with the given fault bits.
std::string statusWithLetterCheck(AmpStatus s) {
  for (int in = 0; in < 100; in++) {
    s.in = in;
    std::string t = ampStatusText(s);
    std::string f = ampReply(t);
    if (isalpha(static_cast<unsigned char>(f[0])) || isalpha(static_cast<unsigned char>(f[1]))) return t;
  }
  return ampStatusText(s);
}

std::string lowerCase(std::string s) {
  for (auto& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

TEST_F(Link, DamagedReplyIsNotDecodedButAskedAgain) {
  w->errorsMuted = 0;
  AmpStatus fault;
  fault.c = 0x01;
  const std::string bad = statusWithLetterCheck(fault);
  const std::string good = ampReply(bad);
  left = 2;
  setScript([this, good, bad](const std::string& t) {
    if (t != "ST;" || left == 0) return std::string("-");
    left--;
    if (left == 1) {  // wrong check value
      std::string f = good;
      f[0] = f[0] == '0' ? '1' : '0';
      return f;
    }
    return lowerCase(good.substr(0, 2)) + bad;  // right value, lower-case letters
  });
  start();
  ASSERT_TRUE(peer->waitFrames(4));
  std::vector<std::string> t = texts();
  EXPECT_EQ(std::vector<std::string>(t.begin(), t.begin() + 4),
            (std::vector<std::string>{"ST;", "ST;", "ST;", "FM;"}));
  EXPECT_FALSE(ExistError(w, 15));  // the fault bits of the damaged replies were never taken
  stopLink();
  EXPECT_EQ(linkState.retryCount, 0);
}

TEST_F(Link, OverlongReplyRestartsTheBuffer) {
  AmpStatus s;
  s.fwd = 2000;
  setStatus(s);
  left = 1;
  setScript([this](const std::string& t) {
    if (t == "ST;" && left > 0) {
      left--;
      return std::string(620, 'A');  // no ";" anywhere
    }
    return std::string("-");
  });
  start();
  ASSERT_TRUE(peer->waitFrames(3));
  std::vector<std::string> t = texts();
  EXPECT_EQ(std::vector<std::string>(t.begin(), t.begin() + 3), (std::vector<std::string>{"ST;", "ST;", "FM;"}));
  EXPECT_TRUE(waitFor([&] { return w->rawFwd == 2000; }));
}

TEST_F(Link, BrokenReplyDoesNotPoisonTheNext) {
  left = 1;
  setScript([this](const std::string& t) {
    if (t == "ST;" && left > 0) {
      left--;
      return std::string("4DST0");  // cut short: the link times out
    }
    return std::string("-");
  });
  start();
  ASSERT_TRUE(peer->waitFrames(3));
  std::vector<std::string> t = texts();
  EXPECT_EQ(std::vector<std::string>(t.begin(), t.begin() + 3), (std::vector<std::string>{"ST;", "ST;", "FM;"}));
}

TEST_F(Link, StatusRepliesRaiseAndClearErrors) {
  w->errorsMuted = 0;
  start();
  AmpStatus s;
  s.c = 0x04;
  setStatus(s);
  ASSERT_TRUE(waitFor([&] { return ExistError(w, 15) == 1; }));
  EXPECT_STREQ(w->errTable[15].line2, "FWD");
  s.c = 0;
  setStatus(s);
  ASSERT_TRUE(waitFor([&] { return ExistError(w, 15) == 0; }));
  s.b = 2;
  setStatus(s);
  ASSERT_TRUE(waitFor([&] { return ExistError(w, 1) == 1; }));
  s.b = 0;
  setStatus(s);
  ASSERT_TRUE(waitFor([&] { return ExistError(w, 1) == 0; }));
}

TEST_F(Link, TemperatureAlarmAndRecovery) {
  w->errorsMuted = 0;
  AmpStatus s;
  s.tempBoard = rawForTemp(61.0f);
  setStatus(s);
  start();
  int mp = waitText("MP1;");
  ASSERT_GE(mp, 0);
  int at = waitText("AT11;", static_cast<size_t>(mp));
  int ab = waitText("AB0;", static_cast<size_t>(mp));
  ASSERT_GT(at, mp);
  ASSERT_GT(ab, at);
  EXPECT_TRUE(ExistError(w, 2));
  s.tempBoard = rawForTemp(50.0f);
  setStatus(s);
  int ab1 = waitText("AB1;", static_cast<size_t>(ab));
  ASSERT_GT(ab1, ab);
  EXPECT_TRUE(waitFor([&] { return ExistError(w, 0) == 1 && ExistError(w, 2) == 0; }));
  EXPECT_LT(GetAmpStatus(w).tempBoard, 59.0f);
}

TEST_F(Link, FanStepsUpAtOnceDownWithHysteresis) {
  w->fanRows.reset(new FanRow[3]{{30, 0}, {40, 50}, {50, 100}});
  w->fanCount = 3;
  AmpStatus s;
  s.tempBoard = rawForTemp(45.0f);
  setStatus(s);
  start();
  int a = waitText("FN1050;");
  ASSERT_GE(a, 0);
  s.tempBoard = rawForTemp(57.0f);
  setStatus(s);
  int b = waitText("FN1100;", static_cast<size_t>(a));
  ASSERT_GT(b, a);
  s.tempBoard = rawForTemp(45.0f);
  setStatus(s);
  int c = waitText("FN1050;", static_cast<size_t>(b));
  ASSERT_GT(c, b);
  EXPECT_LT(GetAmpStatus(w).tempBoard, 49.0f);
  std::vector<std::string> fn;
  for (const auto& t : texts())
    if (t.compare(0, 2, "FN") == 0) fn.push_back(t);
  EXPECT_EQ(fn, (std::vector<std::string>{"FN1050;", "FN1100;", "FN1050;"}));
}

TEST_F(Link, MissingPortFailsAndKeepsRetrying) {
  strcpy(tw.setup.LinPort, "/dev/ttyNONE");
  startLink();
  EXPECT_TRUE(waitFor([&] { return w->failCode == 1; }));
  EXPECT_STREQ(w->failText, "Linear: Unable to open device /dev/ttyNONE");
  // four attempts of 1.5 s each, then the link restarts and reports error 4
  EXPECT_TRUE(waitFor([&] { return ExistError(w, 4) == 1; }, 30000));
}

TEST_F(Link, PortThatOpensButTakesNoSettingsIsToldApart) {
  // A plain file opens but is no terminal: the settings fail.
  root.writeFile("/dev/ttyFILE", "");
  strcpy(tw.setup.LinPort, "/dev/ttyFILE");
  OpenLinear(w);
  EXPECT_EQ(w->failCode, 1);
  EXPECT_EQ(w->linFD, -1);
  EXPECT_STREQ(w->failText, "Linear: Unable to set comm port /dev/ttyFILE");
  // A path that exists but cannot be opened read-write failed to open.
  ASSERT_EQ(mkdir(root.path("/dev/ttyDIR").c_str(), 0755), 0);
  strcpy(tw.setup.LinPort, "/dev/ttyDIR");
  OpenLinear(w);
  EXPECT_STREQ(w->failText, "Linear: Unable to open device /dev/ttyDIR");
}

}  // namespace
