// The service-keyboard thread over a stand-in device: input events written
// into a file or a FIFO at the rooted "/dev/input/by-id/*-event-kbd".
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <fcntl.h>
#include <linux/input.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/remote_config.h"
#include "core/works.h"
#include "display/keyboard.h"
#include "menus/panel_apply.h"
#include "platform/input.h"
#include "platform/log.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_works.h"
#include "tests/support/wait.h"

namespace {

const char kKbd[] = "/dev/input/by-id/usb-Service_Keyboard-event-kbd";

input_event ev(int type, int code, int value) {
  input_event e{};
  e.type = static_cast<uint16_t>(type);
  e.code = static_cast<uint16_t>(code);
  e.value = value;
  return e;
}

std::string bytesOf(const std::vector<input_event>& evs) {
  return std::string(reinterpret_cast<const char*>(evs.data()), evs.size() * sizeof(input_event));
}

int countOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) n++;
  return n;
}

class Keyboard : public ::testing::Test {
 protected:
  TempRoot root;
  TestWorks tw;
  Works* w = nullptr;
  std::atomic<bool> ended{false};
  std::thread th;

  void SetUp() override {
    w = tw.get();
    root.stubExit("stty", 0);
    root.stubExit("tput", 0);
    logCaptureStart();
  }
  void TearDown() override {
    w->running = 0;
    if (th.joinable()) th.join();
    logCaptureStop();
  }
  void run(const KeybEnv& env) {
    th = std::thread([this, env] {
      KeybRun(w, env);
      ended = true;
    });
  }
};

TEST_F(Keyboard, PressesActRepeatsAndReleasesDoNotF12EndsEverything) {
  // The screenshot tool and the service shell are stubs of the root.
  root.writeFile("/opt/sshshell", "#!/bin/sh\necho \"sshshell\" >> \"$ZELPYX_ROOT/stub.log\"\n");
  chmod(root.path("/opt/sshshell").c_str(), 0755);
  std::vector<input_event> evs = {
      ev(EV_KEY, KEY_F11, 1), ev(EV_SYN, 0, 0),  ev(EV_KEY, KEY_F11, 2), ev(EV_KEY, KEY_F11, 2),
      ev(EV_KEY, KEY_F11, 2), ev(EV_KEY, KEY_F11, 0), ev(EV_KEY, KEY_A, 1), ev(EV_KEY, KEY_SYSRQ, 1),
      ev(EV_KEY, KEY_SYSRQ, 0), ev(EV_KEY, KEY_F9, 1),   ev(EV_KEY, KEY_F9, 2), ev(EV_KEY, KEY_F9, 0),
      ev(EV_KEY, KEY_F10, 1),   ev(EV_KEY, KEY_F10, 0), ev(EV_KEY, KEY_F12, 1)};
  root.writeFile(kKbd, bytesOf(evs));
  root.writeFile("/dev/urandom", std::string(64, '\x22'));  // 34: 'i'
  root.writeFile("/opt/set/remote.txt", "key Ab3dEf6hIj9L\nlisten 127.0.0.1\n");
  ASSERT_EQ(loadRemoteConfig(w), 0);
  run(KeybEnv{});
  ASSERT_TRUE(waitFor([&] { return ended.load(); }));
  EXPECT_EQ(w->running, 0u);  // F12 stops the whole program
  PanelDrain(w);  // the timer's part: the setup save and the service mode
  // The service shell runs on its own thread: the panel goes on meanwhile.
  EXPECT_TRUE(waitFor([&] { return countOf(root.stubLog(), "sshshell") == 1; }));

  const std::string stubs = root.stubLog();
  // Held F11: the setup is written once (one remount window); F9 writes
  // remote.txt with a new key once, keeping its other settings.
  EXPECT_EQ(countOf(stubs, "mount -o remount defaults,rw /opt/set"), 2) << stubs;
  EXPECT_EQ(root.readFile("/opt/set/remote.txt"), "key iiiiiiiiiiii\nlisten 127.0.0.1\ntls off\n");
  EXPECT_STREQ(w->accessKey, "iiiiiiiiiiii");
  EXPECT_EQ(w->keyGeneration.load(), 1);
  EXPECT_TRUE(root.exists("/opt/set/setup.txt"));
  EXPECT_EQ(countOf(stubs, "fbgrab " + root.path("/tmp/screen.png")), 1) << stubs;
  EXPECT_EQ(countOf(stubs, "sshshell"), 1);
  EXPECT_EQ(w->updateFlags & 0x02, 0x02);
  // Echo off once the keyboard is taken, the terminal restored at the end.
  size_t off = stubs.find("stty -echo"), sane = stubs.find("stty sane"), clear = stubs.find("tput clear");
  ASSERT_NE(off, std::string::npos);
  ASSERT_NE(sane, std::string::npos);
  ASSERT_NE(clear, std::string::npos);
  EXPECT_LT(off, sane);
  EXPECT_LT(sane, clear);
  EXPECT_TRUE(logContains("Keyboard opened"));
  EXPECT_TRUE(logContains("Cannot grab"));  // a file is no input device: logged, not fatal
  EXPECT_TRUE(logContains("Exited by KEY_F12"));
  EXPECT_EQ(countOf(stubs, "stty"), 2);
}

TEST_F(Keyboard, KeyboardPluggedInLaterIsFoundOnTheNextPoll) {
  std::mutex m;
  std::condition_variable cv;
  int waits = 0;
  bool release = false;
  KeybEnv env;
  env.retryWait = [&](Works*) {
    std::unique_lock<std::mutex> lk(m);
    waits++;
    cv.notify_all();
    cv.wait(lk, [&] { return release || w->running == 0; });
    release = false;
  };
  run(env);
  {
    std::unique_lock<std::mutex> lk(m);
    ASSERT_TRUE(cv.wait_for(lk, std::chrono::seconds(15), [&] { return waits == 1; }));
  }
  EXPECT_FALSE(logContains("Keyboard opened"));
  // Plugged in during the wait: a FIFO stands in for the device.
  root.writeFile("/dev/input/by-id/.keep", "");
  ASSERT_EQ(mkfifo(root.path(kKbd).c_str(), 0644), 0);
  {
    std::lock_guard<std::mutex> lk(m);
    release = true;
  }
  cv.notify_all();
  ASSERT_TRUE(waitFor([] { return logContains("Keyboard opened"); }));
  EXPECT_EQ(waits, 1);
  int fd = open(root.path(kKbd).c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  // One event split over two writes: only whole events count.
  std::string f12 = bytesOf({ev(EV_KEY, KEY_F12, 1)});
  ASSERT_EQ(write(fd, f12.data(), 5), 5);
  ASSERT_EQ(write(fd, f12.data() + 5, f12.size() - 5), static_cast<ssize_t>(f12.size() - 5));
  EXPECT_TRUE(waitFor([&] { return ended.load(); }));
  close(fd);
  EXPECT_EQ(w->running, 0u);
}

TEST_F(Keyboard, UnpluggedKeyboardIsLookedForAgain) {
  root.writeFile(kKbd, "");
  std::atomic<int> gone{1};  // the first read finds the device gone
  KeybEnv env;
  env.read = [&](int fd, void* buf, size_t cap, int ms) -> ssize_t {
    if (gone.exchange(0) == 1) {
      errno = ENODEV;
      return -1;
    }
    return inputRead(fd, buf, cap, ms);
  };
  run(env);
  ASSERT_TRUE(waitFor([] {
    int n = 0;
    for (const std::string& l : logCaptured()) n += l.find("Keyboard opened") != std::string::npos;
    return n == 2;
  }));
  EXPECT_TRUE(logContains("error reading"));
  root.writeFile(kKbd, bytesOf({ev(EV_KEY, KEY_F12, 1)}));
  EXPECT_TRUE(waitFor([&] { return ended.load(); }));
}

TEST_F(Keyboard, ThreadEndsWhenAnotherThreadStopsTheProgram) {
  root.writeFile(kKbd, "");
  run(KeybEnv{});
  ASSERT_TRUE(waitFor([] { return logContains("Continuous keyboard loop started"); }));
  w->running = 0;
  EXPECT_TRUE(waitFor([&] { return ended.load(); }));
  EXPECT_EQ(countOf(root.stubLog(), "stty sane"), 1);
}

}  // namespace
