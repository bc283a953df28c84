// The front panel through the real GPIO thread over the rooted "/dev/mem"
// register file: the test holds the thread in step with itself (one pass
// per grant, on a clock it moves by hand), presses buttons by clearing
// their level bits, and plays the TINY on the two link lines.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/globals.h"
#include "app/spine.h"
#include "core/works.h"
#include "display/gpio.h"
#include "platform/gpio_block.h"
#include "platform/log.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_works.h"
#include "tests/support/wait.h"
#include "tests/support/zelsim_process.h"

namespace {

std::atomic<int64_t> gNowUs{0};
int64_t testClock() { return gNowUs.load(); }

struct Call {
  int key;
  int held;
  int64_t atUs;
};
std::mutex gCallsMut;
std::vector<Call> gCalls;
// What the recorder answers to a long-press step: 1 repeats, 0 ends.
std::atomic<int> gRepeatKey{0};

int recorder(Works*, int key, int held, bool) {
  std::lock_guard<std::mutex> lk(gCallsMut);
  gCalls.push_back({key, held, gNowUs.load()});
  return (held != 0 && key == gRepeatKey.load()) ? 1 : 0;
}

std::vector<Call> calls() {
  std::lock_guard<std::mutex> lk(gCallsMut);
  return gCalls;
}

// The register file and the thread, passing one pass per grant.
class Panel : public ::testing::Test {
 public:
  TempRoot root;
  TestWorks tw;
  Works* w = nullptr;
  int fd = -1;
  std::mutex m;
  std::condition_variable cv;
  int grants = 0;
  long passesDone = 0;
  bool quit = false;
  std::thread th;
  std::function<void()> onPause;  // runs at every pause, inside the thread

  void SetUp() override {
    w = tw.get();
    gNowUs = 1000000;
    gRepeatKey = 0;
    {
      std::lock_guard<std::mutex> lk(gCallsMut);
      gCalls.clear();
    }
    fd = open(root.path("/dev/mem").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, gpio::kBase + gpio::kSize), 0);
    setLevel(0xFFFFFFFFu);
    w->tinyCmd = 255;  // no TINY traffic unless a test asks for it
    TIME_LONG_PRESS = 0.5;
  }
  void TearDown() override {
    stopThread();
    if (fd >= 0) close(fd);
  }

  uint32_t readReg(int off) {
    uint32_t v = 0;
    EXPECT_EQ(pread(fd, &v, 4, gpio::kBase + off), 4);
    return v;
  }
  void writeReg(int off, uint32_t v) { EXPECT_EQ(pwrite(fd, &v, 4, gpio::kBase + off), 4); }
  void setLevel(uint32_t v) { writeReg(gpio::kLev0, v); }
  // Buttons down (1-based numbers), all others up.
  void buttons(std::initializer_list<int> down) {
    uint32_t v = 0xFFFFFFFFu;
    for (int b : down) v &= ~gpio::buttonBit(b);
    setLevel(v);
  }

  void pause(int us) {
    if (onPause) onPause();
    if (us != 2000) return;
    std::unique_lock<std::mutex> lk(m);
    passesDone++;
    cv.notify_all();
    cv.wait(lk, [&] { return grants > 0 || quit; });
    if (grants > 0) grants--;
  }

  void startThread() {
    GpioEnv env;
    env.handler = recorder;
    env.now = testClock;
    env.pause = [this](int us) { pause(us); };
    th = std::thread([this, env] { GpioRun(w, env); });
    std::unique_lock<std::mutex> lk(m);
    ASSERT_TRUE(cv.wait_for(lk, std::chrono::seconds(15), [&] { return passesDone >= 1; }));
  }
  void stopThread() {
    if (!th.joinable()) return;
    w->running = 0;
    {
      std::lock_guard<std::mutex> lk(m);
      quit = true;
    }
    cv.notify_all();
    th.join();
  }
  // n more passes, the clock moving stepUs before each.
  void passes(int n, int64_t stepUs = 2000) {
    for (int i = 0; i < n; i++) {
      std::unique_lock<std::mutex> lk(m);
      gNowUs += stepUs;
      long target = passesDone + 1;
      grants++;
      cv.notify_all();
      ASSERT_TRUE(cv.wait_for(lk, std::chrono::seconds(15), [&] { return passesDone >= target; }));
    }
  }
};

TEST_F(Panel, PressNeedsSixDifferingSamplesCountedNotConsecutive) {
  startThread();
  // Five samples down on button 2: ignored.
  buttons({2});
  passes(5);
  buttons({});
  passes(50);
  EXPECT_TRUE(calls().empty());
  // Six on button 3: a press, and six released samples later its short press.
  buttons({3});
  passes(6);
  buttons({});
  passes(5);
  EXPECT_TRUE(calls().empty());
  passes(1);
  ASSERT_EQ(calls().size(), 1u);
  EXPECT_EQ(calls()[0].key, 3);
  EXPECT_EQ(calls()[0].held, 0);
  // Button 2's five old samples still count: one more makes a press.
  buttons({2});
  passes(1);
  buttons({});
  passes(6);
  ASSERT_EQ(calls().size(), 2u);
  EXPECT_EQ(calls()[1].key, 2);
}

TEST_F(Panel, SecondButtonWaitsUntilTheFirstIsReleased) {
  startThread();
  buttons({1});
  passes(10);
  buttons({1, 4});  // 4 joins while 1 is down
  passes(40);
  buttons({4});     // 1 lets go, 4 stays: taken in the pass that frees it
  passes(6);
  ASSERT_EQ(calls().size(), 1u);
  EXPECT_EQ(calls()[0].key, 1);
  buttons({});
  passes(6);
  ASSERT_EQ(calls().size(), 2u);
  EXPECT_EQ(calls()[1].key, 4);
  EXPECT_EQ(calls()[1].held, 0);
  // Both in the same sample: the left one wins, the right one never comes.
  buttons({5, 6});
  passes(10);
  buttons({});
  passes(10);
  ASSERT_EQ(calls().size(), 3u);
  EXPECT_EQ(calls()[2].key, 5);
}

TEST_F(Panel, HeldKeyStepsAfterTheLongPressThenEveryTenthThenEveryFiftieth) {
  gRepeatKey = 3;  // "up L" keeps stepping while held
  startThread();
  buttons({3});
  passes(6);       // accepted on this pass: timing starts here
  const int64_t t0 = gNowUs;
  passes(175);     // 0.35 s: not yet the warning of a second function
  EXPECT_EQ(w->keyFlags & 0x01, 0);
  passes(1);
  EXPECT_EQ(w->keyFlags & 0x01, 0x01);
  passes(1000);    // 2 s more, 2 ms per pass
  buttons({});
  passes(6);
  std::vector<Call> c = calls();
  ASSERT_GT(c.size(), 30u);
  for (size_t i = 0; i + 1 < c.size(); i++) {
    EXPECT_EQ(c[i].key, 3);
    EXPECT_EQ(c[i].held, 0x04);
  }
  // First step once the long-press time is over, within one pass.
  EXPECT_GT(c[0].atUs - t0, 500000);
  EXPECT_LE(c[0].atUs - t0, 502000);
  for (size_t i = 1; i + 1 < c.size(); i++) {
    int64_t gap = c[i].atUs - c[i - 1].atUs;
    if (i <= 14) {
      EXPECT_GT(gap, 100000) << i;
      EXPECT_LE(gap, 102000) << i;
    } else {
      EXPECT_GT(gap, 20000) << i;
      EXPECT_LE(gap, 22000) << i;
    }
  }
  // And once more, as a short press, on release.
  EXPECT_EQ(c.back().key, 3);
  EXPECT_EQ(c.back().held, 0);
}

TEST_F(Panel, LongPressThatEndsGivesNoShortPressOnRelease) {
  startThread();  // the recorder answers 0: VIEW's long press on the main page
  buttons({6});
  passes(6 + 300);
  passes(1000, 10000);  // ten more seconds held
  buttons({});
  passes(20);
  std::vector<Call> c = calls();
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0].key, 6);
  EXPECT_EQ(c[0].held, 0x20);
  // The next press of the same key is short again.
  buttons({6});
  passes(10);
  buttons({});
  passes(10);
  ASSERT_EQ(calls().size(), 2u);
  EXPECT_EQ(calls()[1].held, 0);
}

// The TINY on its two lines: takes each command bit on the falling clock;
// then puts the first of 12 answer bits (4 padding bits, the answer byte)
// on the data line at once and each next one on a rising clock.
struct TinyPeer {
  explicit TinyPeer(Panel* peerOf) : p(peerOf) {}
  Panel* p;
  std::vector<uint8_t> received;
  uint32_t lastSet = 0, lastClr = 0;  // the writes seen at the last pause
  bool clk = true, data = true;
  int rxBits = 0;
  uint8_t rx = 0;
  int txBit = -1;  // next answer bit, -1 while not answering
  uint16_t tx = 0;

  static uint8_t answerTo(uint8_t cmd) { return static_cast<uint8_t>(cmd ^ 0x5A); }

  void present() {
    uint32_t lev = p->readReg(gpio::kLev0);
    lev = ((tx >> txBit) & 1) ? (lev | (1u << 4)) : (lev & ~(1u << 4));
    p->writeReg(gpio::kLev0, lev);
    txBit--;
  }

  void step() {
    lastSet = p->readReg(gpio::kSet0);
    lastClr = p->readReg(gpio::kClr0);
    p->writeReg(gpio::kSet0, 0);  // write-only on the board: each pause sees one write
    p->writeReg(gpio::kClr0, 0);
    if (lastSet & (1u << 4)) data = true;
    if (lastClr & (1u << 4)) data = false;
    const bool rising = !clk && (lastSet & (1u << 6));
    const bool falling = clk && (lastClr & (1u << 6));
    if (rising) clk = true;
    if (falling) clk = false;
    const bool dataOut = ((p->readReg(gpio::kFsel0) >> 12) & 7) == 1;
    if (falling && dataOut && txBit < 0) {
      rx = static_cast<uint8_t>((rx << 1) | (data ? 1 : 0));
      if (++rxBits == 8) {
        received.push_back(rx);
        rxBits = 0;
        tx = static_cast<uint16_t>(0xA00 | answerTo(rx));
        txBit = 11;
        present();
      }
    } else if (rising && !dataOut && txBit >= 0) {
      present();
    }
  }
};

TEST_F(Panel, TinyGetsItsQueriesAndPostedCommandsAndAnswersFillTheSlots) {
  TinyPeer tiny(this);
  onPause = [&] { tiny.step(); };
  w->tinyCmd = 0xB0;  // start-up: the version query first
  startThread();
  // Pin set-up: TINY lines, pin 13 and pin 16 outputs, buttons inputs,
  // pull-up registers back to 0.
  EXPECT_EQ(readReg(gpio::kFsel0), (1u << 12) | (1u << 18));
  EXPECT_EQ(readReg(gpio::kFsel1) & ((7u << 9) | (7u << 18)), (1u << 9) | (1u << 18));
  EXPECT_EQ(readReg(gpio::kFsel2) & 0xFFFFC0u, 0u);
  EXPECT_EQ(readReg(gpio::kPud), 0u);
  EXPECT_EQ(readReg(gpio::kPudClk0), 0u);
  EXPECT_EQ(w->tinyAnswer[kTinyVersion], 0xB0 ^ 0x5A);
  // A slot every 200 passes: 0xD1 on pass 2, 0xD2 on 202; the command
  // posted meanwhile takes the slot of pass 402, 0xD3 follows on 602, the
  // slot of 802 is the idle one and 1002 starts over.
  passes(300);
  PostTinyCmd(w, 0x95);
  EXPECT_EQ(w->tinyCmdReq, 0x95);  // waits in the mailbox for the next slot
  passes(700);
  std::vector<uint8_t> want = {0xB0, 0xD1, 0xD2, 0x95, 0xD3};
  EXPECT_EQ(tiny.received, want);
  EXPECT_EQ(w->tinyCmdReq, 0);
  EXPECT_EQ(w->tinyCmd, 255);
  EXPECT_EQ(w->tinyAnswer[kTinyV12], 0x95 ^ 0x5A);  // 0x95 & 3 = 1, after 0xD1's answer
  EXPECT_EQ(w->tinyAnswer[kTinyV15], 0xD2 ^ 0x5A);
  EXPECT_EQ(w->tinyAnswer[kTinyVamp], 0xD3 ^ 0x5A);
  passes(1);
  want.push_back(0xD1);
  EXPECT_EQ(tiny.received, want);

  // Pin 13 follows the firmware-update flag.
  w->updateFlags = 0x01;
  passes(1);
  EXPECT_EQ(tiny.received.size(), want.size());
  EXPECT_EQ(tiny.lastClr, 1u << 13);
  w->updateFlags = 0;
  passes(1);
  EXPECT_EQ(tiny.lastSet, 1u << 13);
}

TEST(PanelBlock, MissingOrShortRegisterFileEndsTheThreadNotTheProgram) {
  TempRoot root;
  TestWorks tw;
  logCaptureStart();
  GpioRun(tw.get(), GpioEnv{});
  EXPECT_TRUE(logContains("can't open /dev/mem"));
  // A file too short to hold the block would fault on the first access.
  root.writeFile("/dev/mem", std::string(4096, '\0'));
  GpioRun(tw.get(), GpioEnv{});
  EXPECT_TRUE(logContains("mmap error"));
  logCaptureStop();
  EXPECT_EQ(tw->running, 1u);
}

// The simulated station's emulated block is the one the thread maps.
TEST(PanelBlock, SimulatedStationButtonsReachTheKeyHandler) {
  TempRoot root;
  ZelsimProcess sim;
  ASSERT_TRUE(sim.start(root.dir()));
  TestWorks tw;
  Works* w = tw.get();
  w->tinyCmd = 255;
  {
    std::lock_guard<std::mutex> lk(gCallsMut);
    gCalls.clear();
  }
  gRepeatKey = 0;
  GpioEnv env;
  env.handler = recorder;
  TIME_LONG_PRESS = 0.3;
  std::thread th([&] { GpioRun(w, env); });
  // Held 3 s: one long press (the handler ends it), nothing on release.
  EXPECT_EQ(sim.control("panel hold 6 3000"), "OK");
  EXPECT_TRUE(waitFor([] { return !calls().empty(); }));
  EXPECT_TRUE(waitFor([&] { return sim.control("panel state") == "OK 1 1 1 1 1 1"; }));
  // A short press after it: once it is seen, the release of 6 was too.
  TIME_LONG_PRESS = 5.0;
  EXPECT_EQ(sim.control("panel hold 2 400"), "OK");
  EXPECT_TRUE(waitFor([] { return calls().size() >= 2; }));
  w->running = 0;
  th.join();
  std::vector<Call> c = calls();
  ASSERT_EQ(c.size(), 2u);
  EXPECT_EQ(c[0].key, 6);
  EXPECT_EQ(c[0].held, 0x20);
  EXPECT_EQ(c[1].key, 2);
  EXPECT_EQ(c[1].held, 0);
  TIME_LONG_PRESS = 0.5;
}

}  // namespace
