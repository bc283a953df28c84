// The companion radio's CAT port (discovery, bridge, readiness check) and
// the FT-817 poll, on pseudo-terminals against scripted radios.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "amp/errors.h"
#include "platform/log.h"
#include "platform/serial.h"
#include "radio/cat_serial.h"
#include "radio/zel_link.h"
#include "tests/support/pty.h"
#include "tests/support/serial_peer.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_works.h"
#include "tests/support/wait.h"

namespace {

std::string answerDt(const std::string& f) { return f == "DT;" ? "DT001;" : ""; }

std::string drain(int fd) {
  std::string s;
  char buf[256];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
  return s;
}

struct CatTexts {
  std::mutex m;
  std::vector<std::string> texts;
  CatTexts() {
    setRadioFrameTap([this](const char* type, const uint8_t* d, int n) {
      if (strcmp(type, "CA") != 0) return;
      std::lock_guard<std::mutex> lk(m);
      texts.emplace_back(reinterpret_cast<const char*>(d), static_cast<size_t>(n));
    });
  }
  ~CatTexts() { setRadioFrameTap(nullptr); }
  std::vector<std::string> get() {
    std::lock_guard<std::mutex> lk(m);
    return texts;
  }
};

struct CatFixture : ::testing::Test {
  TempRoot root;
  TestWorks t;
  void SetUp() override {
    strcpy(t.setup.CatPort, "/dev/ttyUSB0");
    setRunByte(t.setup.EnableCAT, '1');
    InitErrTable(t.get());
    verifyCatReplyMs = 4000;  // a loaded machine may answer late; silence costs this once
  }
  void TearDown() override { verifyCatReplyMs = 1000; }
};

}  // namespace

TEST_F(CatFixture, DiscoveryPicksTheCandidateThatAnswers) {
  PtyPair p0, p1, p2;
  ASSERT_TRUE(p0.linkAt(root.path("/dev/MIRKCAT0")));
  ASSERT_TRUE(p1.linkAt(root.path("/dev/MIRKCAT1")));
  ASSERT_TRUE(p2.linkAt(root.path("/dev/MIRKCAT2")));  // silent
  ASSERT_EQ(symlink("/nonexistent/pts", root.path("/dev/MIRKCAT3").c_str()), 0);
  SerialPeer r0(p0.master, answerDt);
  SerialPeer r1(p1.master, answerDt);

  ASSERT_EQ(VerifyCAT(t.get()), 0);
  int fd = t->catFD.load();
  ASSERT_GE(fd, 0);
  // Tried from the last: 3 cannot open, 2 stays silent, 1 answers; 0 untouched.
  EXPECT_EQ(drain(p2.master), "DT;");
  EXPECT_EQ(r1.frames(), std::vector<std::string>{"DT;"});
  EXPECT_EQ(r0.frameCount(), 0u);
  ASSERT_EQ(write(fd, "FA;", 3), 3);
  ASSERT_TRUE(r1.waitFrames(2));
  EXPECT_EQ(r1.frames()[1], "FA;");
  close(fd);
}

TEST_F(CatFixture, NoCandidateAnswers) {
  PtyPair p0;
  ASSERT_TRUE(p0.linkAt(root.path("/dev/MIRKCAT0")));
  SerialPeer wrong(p0.master, [](const std::string&) { return std::string("DT002;"); });
  EXPECT_EQ(VerifyCAT(t.get()), -1);
  EXPECT_LT(t->catFD.load(), 0);
  unlink(root.path("/dev/MIRKCAT0").c_str());
  EXPECT_EQ(VerifyCAT(t.get()), -1);
}

TEST_F(CatFixture, CandidateThatRefusesItsSettingsIsLoggedAsOpenedThenSkipped) {
  root.writeFile("/dev/MIRKCAT1", "");  // opens, but is no terminal
  PtyPair p0;
  ASSERT_TRUE(p0.linkAt(root.path("/dev/MIRKCAT0")));
  SerialPeer radio(p0.master, answerDt);
  logCaptureStart();
  ASSERT_EQ(VerifyCAT(t.get()), 0);
  std::vector<std::string> lines = logCaptured();
  logCaptureStop();
  close(t->catFD.exchange(-1));
  auto at = [&](const std::string& text) {
    for (size_t i = 0; i < lines.size(); i++)
      if (lines[i].find(text) != std::string::npos) return static_cast<int>(i);
    return -1;
  };
  int opened = at("Opened  /dev/MIRKCAT1");
  int refused = at("Cannot set /dev/MIRKCAT1, error ");
  ASSERT_GE(opened, 0);
  ASSERT_GE(refused, 0);
  EXPECT_LT(opened, refused);
  EXPECT_EQ(at("Sent \"DT;\" /dev/MIRKCAT1"), -1);
  EXPECT_GE(at("Sent \"DT;\" /dev/MIRKCAT0"), 0);
}

TEST_F(CatFixture, BridgeSendsEachTextAndEndsWithError20) {
  PtyPair p0;
  ASSERT_TRUE(p0.linkAt(root.path("/dev/MIRKCAT0")));
  SerialPeer radio(p0.master, answerDt);
  CatTexts texts;
  ThreadRunner run(t.get(), Cat);
  ASSERT_TRUE(waitFor([&] { return status_cat.load() == 1; }));

  radio.send("FA00014074000;IF;" + std::string(200, 'x') + "MD2;");
  ASSERT_TRUE(waitFor([&] { return texts.get().size() >= 3; }));
  std::vector<std::string> got = texts.get();
  ASSERT_EQ(got.size(), 3u);  // the probe's own ";" is not among them
  EXPECT_EQ(got[0], "FA00014074000;");
  EXPECT_EQ(got[1], "IF;");
  EXPECT_EQ(got[2], "MD2;");

  // Remote stop.
  setRunByte(t.setup.EnableCAT, '0');
  ASSERT_TRUE(waitFor([&] { return status_cat.load() == 0 && t->catFD.load() == -1; }));
  EXPECT_EQ(t->remoteFault, 1);
  EXPECT_EQ(ExistError(t.get(), 20), 1);
}

TEST_F(CatFixture, RemoteLinkFailureEndsTheBridge) {
  PtyPair p0;
  ASSERT_TRUE(p0.linkAt(root.path("/dev/MIRKCAT0")));
  SerialPeer radio(p0.master, answerDt);
  std::thread th(Cat, t.get());
  ASSERT_TRUE(waitFor([&] { return status_cat.load() == 1; }));
  ExitCAT(t.get());  // as the remote link does when writing to the port fails
  th.join();          // the bridge notices and ends by itself
  EXPECT_EQ(runByte(t.setup.EnableCAT), '0');
  EXPECT_EQ(t->catFD.load(), -1);
  EXPECT_EQ(ExistError(t.get(), 20), 1);
}

TEST_F(CatFixture, BridgeWithoutPortRaisesError20) {
  Cat(t.get());
  EXPECT_EQ(runByte(t.setup.EnableCAT), '0');
  EXPECT_EQ(t->remoteFault, 1);
  EXPECT_EQ(ExistError(t.get(), 20), 1);
}

TEST_F(CatFixture, ReadinessCheck) {
  // This machine has no companion radio on USB.
  EXPECT_EQ(Find_Remote_Settings(t.get()), 1);

  EXPECT_EQ(remoteSettingsAfterUsb(t.get()), 2);  // no CAT port

  PtyPair p0;
  ASSERT_TRUE(p0.linkAt(root.path("/dev/MIRKCAT0")));
  SerialPeer radio(p0.master, answerDt);
  root.stubScript("lsusb", "echo 'Bus 001 Device 002: ID 1d6b:0002 Linux Foundation 2.0 root hub'");
  EXPECT_EQ(remoteSettingsAfterUsb(t.get()), 3);  // no audio codec
  EXPECT_EQ(t->catFD.load(), -1);                 // the check leaves the port closed
  EXPECT_EQ(Get_AudioZEL(t.get()), 0);

  root.stubScript("lsusb",
                  "echo 'Bus 001 Device 004: ID 0d8c:01af C-Media Electronics, Inc.'\n"
                  "echo 'Bus 001 Device 005: ID 0d8c:0014 C-Media Electronics, Inc.'\n"
                  "echo 'Bus 001 Device 002: ID 1d6b:0002 Linux Foundation 2.0 root hub'");
  EXPECT_EQ(VerifyAudioZEL(t.get()), 1);
  EXPECT_EQ(Get_AudioZEL(t.get()), 2);
  EXPECT_EQ(remoteSettingsAfterUsb(t.get()), 0);
  EXPECT_EQ(radio.frameCount(), 2u);  // probed once per check
}

// ---------------------------------------------------------------------------
// FT-817

namespace {

// A scripted FT-817: collects five-byte commands and answers each through
// a responder; it can also send bytes of its own.
class Ft817 {
 public:
  using Responder = std::function<std::string(int index)>;
  Ft817(int fd, Responder r) : fd_(fd), r_(std::move(r)) { th_ = std::thread(&Ft817::run, this); }
  ~Ft817() {
    stop_ = true;
    th_.join();
  }
  int commands() const { return count_.load(); }
  std::string lastCommand() {
    std::lock_guard<std::mutex> lk(m_);
    return last_;
  }
  void send(const std::string& s) { writeSplit(fd_, s, 3); }

 private:
  void run() {
    std::string cur;
    while (!stop_) {
      struct pollfd p = {fd_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      char buf[64];
      ssize_t n = read(fd_, buf, sizeof buf);
      for (ssize_t i = 0; i < n; i++) {
        cur += buf[i];
        if (cur.size() < 5) continue;
        {
          std::lock_guard<std::mutex> lk(m_);
          last_ = cur;
        }
        cur.clear();
        std::string reply = r_(count_.load());
        count_++;
        if (!reply.empty()) send(reply);
      }
    }
  }
  int fd_;
  Responder r_;
  std::atomic<bool> stop_{false};
  std::atomic<int> count_{0};
  std::mutex m_;
  std::string last_;
  std::thread th_;
};

std::string bytes(std::initializer_list<int> v) {
  std::string s;
  for (int b : v) s += static_cast<char>(b);
  return s;
}

struct Ft817Fixture : ::testing::Test {
  TempRoot root;
  TestWorks t;
  PtyPair port;
  void SetUp() override {
    ASSERT_TRUE(port.linkAt(root.path("/dev/ttyUSB2")));
    strcpy(t.setup.CatSerialPort, "/dev/ttyUSB2");
    setRunByte(t.setup.catSerRun, '1');
  }
};

}  // namespace

TEST_F(Ft817Fixture, PollsAndDecodesTheFrequency) {
  Ft817 radio(port.master, [](int i) {
    return i < 3 ? bytes({0x01, 0x42, 0x34, 0x56, 0x01}) : bytes({0x00, 0x70, 0x74, 0x00, 0x00});
  });
  ThreadRunner run(t.get(), CatSerial);
  ASSERT_TRUE(waitFor([&] { return t->catSerFreq.load() == 14234560; }));
  EXPECT_EQ(radio.lastCommand(), bytes({0, 0, 0, 0, 3}));
  ASSERT_TRUE(waitFor([&] { return t->catSerFreq.load() == 7074000; }));
  EXPECT_EQ(t->catSerMode.load(), 0);
  // The thread ends when its run byte drops, and releases the port.
  setRunByte(t.setup.catSerRun, '0');
  ASSERT_TRUE(waitFor([&] { return t->catSerFD.load() == -1; }));
}

TEST_F(Ft817Fixture, MalformedAnswerKeepsTheFrequency) {
  Ft817 radio(port.master, [](int i) {
    return i == 0 ? bytes({0x01, 0x42, 0x34, 0x56, 0x01}) : bytes({0x00, 0x70, 0x3A, 0x00, 0x00});
  });
  ThreadRunner run(t.get(), CatSerial);
  ASSERT_TRUE(waitFor([&] { return t->catSerFreq.load() == 14234560; }));
  ASSERT_TRUE(waitFor([&] { return radio.commands() >= 4; }));  // three bad answers handled
  EXPECT_EQ(t->catSerFreq.load(), 14234560);
}

TEST_F(Ft817Fixture, ShortAnswerTimesOutAndIsDiscarded) {
  Ft817 radio(port.master, [](int i) {
    if (i == 0) return bytes({0x00, 0x70, 0x74, 0x00});  // one byte short
    return bytes({0x02, 0x10, 0x74, 0x00, 0x01});
  });
  ThreadRunner run(t.get(), CatSerial);
  // The next command comes only after the 1.5 s time-out and its pause.
  ASSERT_TRUE(waitFor([&] { return radio.commands() >= 2; }));
  ASSERT_TRUE(waitFor([&] { return t->catSerFreq.load() == 21074000; }));
}

TEST_F(Ft817Fixture, LateByteAfterATimeOutDoesNotShiftLaterAnswers) {
  Ft817 radio(port.master, [&](int i) {
    if (i == 0) return bytes({0x00, 0x70, 0x74, 0x00});
    return bytes({0x02, 0x10, 0x74, 0x00, 0x01});
  });
  // The poll runs on this test's record, so the test sees its time-out.
  CatSerialPoll poll;
  std::thread run(RunCatSerial, t.get(), &poll);
  // The missing fifth byte turns up during the pause after the time-out.
  const bool timedOut = waitFor([&] { return poll.status.load() == 3 && poll.emptyPolls.load() > 1499; });
  if (timedOut) radio.send(bytes({0x01}));
  const bool polledAgain = timedOut && waitFor([&] { return radio.commands() >= 3; });
  setRunByte(t.setup.catSerRun, '0');
  run.join();
  ASSERT_TRUE(timedOut);
  ASSERT_TRUE(polledAgain);
  EXPECT_EQ(t->catSerFreq.load(), 21074000);
}

TEST(Ft817Poll, TimeOutCountRestartsWithEachCommandNotWithEachByte) {
  TestWorks t;
  setRunByte(t.setup.catSerRun, '1');
  PtyPair port;
  ASSERT_GE(port.master, 0);
  t->catSerFD = port.slave;
  CatSerialPoll p;

  p.status = 3;
  p.emptyPolls = 1200;
  catSerialStep(t.get(), p);
  EXPECT_EQ(p.emptyPolls.load(), 0);
  EXPECT_EQ(p.status.load(), 2);
  std::string cmd;
  ASSERT_TRUE(waitFor([&] {
    cmd += drain(port.master);
    return cmd.size() >= 5;
  }));
  EXPECT_EQ(cmd, bytes({0, 0, 0, 0, 3}));

  // Bytes of the answer leave the count alone.
  p.emptyPolls = 1400;
  ASSERT_TRUE(writeSplit(port.master, bytes({0x01, 0x42}), 1));
  ASSERT_TRUE(waitFor([&] { return serialAvailable(port.slave) >= 2; }));
  catSerialStep(t.get(), p);
  catSerialStep(t.get(), p);
  EXPECT_EQ(p.n, 2);
  EXPECT_EQ(p.emptyPolls.load(), 1400);

  // So an answer that trickles in too slowly still times out, and its
  // first bytes are thrown away.
  p.emptyPolls = 1499;
  catSerialStep(t.get(), p);
  EXPECT_EQ(p.status.load(), 3);
  EXPECT_EQ(p.n, 0);
}

TEST(Ft817Setup, PortFailuresRecordTheReason) {
  TempRoot root;
  TestWorks t;
  strcpy(t.setup.CatSerialPort, "/dev/ttyUSB2");
  setRunByte(t.setup.catSerRun, '1');
  CatSerial(t.get());
  EXPECT_EQ(t->failCode, 2);
  EXPECT_STREQ(t->failText, "CAT: Unable to open device /dev/ttyUSB2");
  root.writeFile("/dev/ttyUSB2", "");
  CatSerial(t.get());
  EXPECT_STREQ(t->failText, "CAT: Unable to set comm port /dev/ttyUSB2");
  EXPECT_EQ(t->running.load(), 1u);
}
