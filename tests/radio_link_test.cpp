// The radio link threads on pseudo-terminals: the companion radio's data
// port reader, the CAT port discovery and bridge, the readiness check, and
// the FT-817 poll.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "amp/errors.h"
#include "platform/log.h"
#include "radio/cat_serial.h"
#include "platform/serial.h"
#include "radio/zel_link.h"
#include "tests/support/pty.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_works.h"
#include "tests/support/wait.h"

namespace {

// One data-port message: type, subtype, four length digits (least
// significant first, 0x30 + digit), body.
std::string message(uint8_t type, char subtype, const std::string& body) {
  std::string m;
  m += static_cast<char>(type);
  m += subtype;
  size_t n = body.size();
  for (int i = 0; i < 4; i++) m += static_cast<char>(0x30 + ((n >> (4 * i)) & 0xF));
  return m + body;
}

std::string paramBlock(uint32_t freq, uint8_t mode, bool tx) {
  std::string b(31, '\0');
  for (int i = 0; i < 8; i++) b[1 + i] = static_cast<char>(0x30 | ((freq >> (28 - 4 * i)) & 0xF));
  b[9] = static_cast<char>(0x80 | (tx ? 0x40 : 0) | mode);
  // pitch 600 in bytes 23..25
  b[23] = 0x32;
  b[24] = 0x35;
  b[25] = 0x38;
  for (int i = 26; i < 31; i++) b[i] = 0x30;
  return b;
}

std::string drain(int fd) {
  std::string s;
  char buf[512];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
  return s;
}

// Frames handed to the remote link, as the tap sees them.
struct FrameLog {
  std::mutex m;
  std::vector<std::pair<std::string, std::string>> frames;
  FrameLog() {
    setRadioFrameTap([this](const char* type, const uint8_t* d, int n) {
      std::lock_guard<std::mutex> lk(m);
      frames.emplace_back(type, std::string(reinterpret_cast<const char*>(d), static_cast<size_t>(n)));
    });
  }
  ~FrameLog() { setRadioFrameTap(nullptr); }
  size_t count(const std::string& type) {
    std::lock_guard<std::mutex> lk(m);
    size_t c = 0;
    for (auto& f : frames) c += f.first == type;
    return c;
  }
  std::vector<std::string> of(const std::string& type) {
    std::lock_guard<std::mutex> lk(m);
    std::vector<std::string> v;
    for (auto& f : frames)
      if (f.first == type) v.push_back(f.second);
    return v;
  }
};

struct DataPortFixture : ::testing::Test {
  TempRoot root;
  TestWorks t;
  ZelParam zp{};
  PtyPair radio;
  FrameLog tap;
  void SetUp() override {
    ASSERT_GE(radio.master, 0);
    ASSERT_TRUE(radio.linkAt(root.path("/dev/ttyUSB1")));
    t->zelParam = &zp;
    strcpy(t.setup.SerPort, "/dev/ttyUSB1");
    setRunByte(t.setup.zelRun, '1');
    setRunByte(t.setup.spectrumSource, '0');
  }
  int freq() {
    ZelParam p;
    getParameters(t.get(), &p);
    return p.freq;
  }
};

}  // namespace

TEST_F(DataPortFixture, GarbageBetweenMessagesResynchronises) {
  ThreadRunner run(t.get(), Serial);
  ASSERT_TRUE(waitFor([&] { return t->serFD.load() >= 0; }));

  std::string stream;
  stream += "\x30\x7f\xff";  // '0' is not a header
  stream += message(1, '1', paramBlock(14074000, 2, false));
  stream += "garbage!";
  stream += message(1, '1', paramBlock(7074000, 3, false));
  stream += std::string("\x10\x20\x30", 3);
  stream += message(1, '1', paramBlock(21074000, 4, false));
  ASSERT_TRUE(writeSplit(radio.master, stream, 11));
  ASSERT_TRUE(waitFor([&] { return tap.count("PA") >= 3; }));
  EXPECT_EQ(freq(), 21074000);
  std::vector<std::string> pa = tap.of("PA");
  EXPECT_EQ(pa[0], paramBlock(14074000, 2, false));
  EXPECT_EQ(pa[2], paramBlock(21074000, 4, false));

  // A message of another kind (type 3) is skipped; the stream goes on.
  logCaptureStart();
  ASSERT_TRUE(writeSplit(radio.master, message(3, 'x', "") + message(1, '1', paramBlock(28074000, 1, false)), 5));
  ASSERT_TRUE(waitFor([&] { return freq() == 28074000; }));
  EXPECT_TRUE(logContains("Error3"));
  logCaptureStop();
}

TEST_F(DataPortFixture, SpectrumLineIsRotatedAndTrimmed) {
  ThreadRunner run(t.get(), Serial);
  ASSERT_TRUE(waitFor([&] { return t->serFD.load() >= 0; }));
  ASSERT_TRUE(writeSplit(radio.master, message(1, '1', paramBlock(14074000, 4, false)), 3));
  ASSERT_TRUE(waitFor([&] { return tap.count("PA") == 1; }));

  std::string line(1024, '\0');
  for (int i = 0; i < 1024; i++) line[i] = static_cast<char>(i & 0xFF);
  ASSERT_TRUE(writeSplit(radio.master, message(0, '0', line), 9));
  ASSERT_TRUE(waitFor([&] { return tap.count("SP") == 1; }));
  std::string sp = tap.of("SP")[0];
  ASSERT_EQ(sp.size(), 1024u - 170u);
  EXPECT_EQ(static_cast<uint8_t>(sp[0]), 81);  // mode 4, pitch 600
  EXPECT_EQ(static_cast<uint8_t>(sp[10]), 91);

  // From the USB reader instead: data-port lines are not sent.
  setRunByte(t.setup.spectrumSource, '1');
  ASSERT_TRUE(writeSplit(radio.master, message(0, '0', line) + message(1, '1', paramBlock(7000000, 4, false)), 4));
  ASSERT_TRUE(waitFor([&] { return tap.count("PA") == 2; }));
  EXPECT_EQ(tap.count("SP"), 1u);
}

TEST_F(DataPortFixture, TransmitRequestWaitsForTheAmplifiersAntennaReply) {
  ThreadRunner run(t.get(), Serial);
  ASSERT_TRUE(waitFor([&] { return t->serFD.load() >= 0; }));
  t->txReqFlags = 0x01 | 0x02 | 0x10;  // transmit wanted, antenna pending
  for (int i = 0; i < 3; i++) {
    ASSERT_TRUE(writeSplit(radio.master, message(1, '1', paramBlock(14074000, 2, false)), i));
    ASSERT_TRUE(waitFor([&] { return tap.count("PA") == static_cast<size_t>(i + 1); }));
  }
  // A message the reader only logs: once it is logged, the command step
  // after the last block has run.
  logCaptureStart();
  ASSERT_TRUE(writeSplit(radio.master, message(3, 'x', ""), 1));
  ASSERT_TRUE(waitFor([] { return logContains("Error3"); }));
  logCaptureStop();
  EXPECT_EQ(drain(radio.master), "");
  t->txReqFlags |= 0x20;
  // Commands go out right after the next message from the radio.
  ASSERT_TRUE(writeSplit(radio.master, message(1, '1', paramBlock(14074000, 2, false)), 8));
  std::string got;
  ASSERT_TRUE(waitFor([&] {
    got += drain(radio.master);
    return got.size() >= 10;
  }));
  EXPECT_EQ(got, "TU120;TX2;");
  EXPECT_EQ(t->txReqFlags.load() & 0x01, 0);
}

TEST_F(DataPortFixture, SilenceReportsErrorEightOncePerHoldOff) {
  InitErrTable(t.get());
  t->ModeWorkIdx = 1;
  ThreadRunner run(t.get(), Serial);
  ASSERT_TRUE(waitFor([&] { return t->commErrHoldMs.load() == 2000; }));
  EXPECT_EQ(ExistError(t.get(), 8), 1);

  // Another interface in use: the silence is held off but not an error.
  DeleteErrore(t.get(), 8);
  t->ModeWorkIdx = 2;
  t->commErrHoldMs = 0;
  ASSERT_TRUE(waitFor([&] { return t->commErrHoldMs.load() == 2000; }));
  EXPECT_EQ(ExistError(t.get(), 8), 0);
}

TEST_F(DataPortFixture, StopsWhileWaitingInsideABody) {
  ThreadRunner run(t.get(), Serial);
  ASSERT_TRUE(waitFor([&] { return t->serFD.load() >= 0; }));
  // A header promising 31 bytes, and only 5 of them.
  std::string m = message(1, '1', paramBlock(14074000, 2, false));
  ASSERT_TRUE(writeSplit(radio.master, m.substr(0, 11), 2));
  ASSERT_TRUE(waitFor([&] { return serialAvailable(radio.slave) == 0; }));
  setRunByte(t.setup.zelRun, '0');
  // The thread closes its port when it ends.
  ASSERT_TRUE(waitFor([&] { return t->serFD.load() == -1; }));
  EXPECT_EQ(t->running.load(), 1u);
}

// A radio data port that is missing or cannot be set up is a failure
// shown with Retry and Cancel; the amplifier controller goes on.
TEST(DataPortSetup, AMissingOrBadPortRecordsTheFailureAndNeverStopsTheSystem) {
  TempRoot root;
  TestWorks t;
  strcpy(t.setup.SerPort, "/dev/ttyUSB1");
  setRunByte(t.setup.zelRun, '1');
  t->running = 1;
  Serial(t.get());
  EXPECT_EQ(t->running.load(), 1u);
  EXPECT_EQ(t->failCode, 3);
  EXPECT_STREQ(t->failText, "Serial: Unable to open device /dev/ttyUSB1\n");
  t->failCode = 0;

  // A file that is not a terminal: the port cannot be configured.
  root.writeFile("/dev/ttyUSB1", "");
  t->running = 1;
  Serial(t.get());
  EXPECT_EQ(t->running.load(), 1u);
  EXPECT_EQ(t->failCode, 3);
  EXPECT_STREQ(t->failText, "Serial: Unable to open device /dev/ttyUSB1\n");
}
