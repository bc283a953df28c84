// Power cuts during every save: the writer of each operator file runs in a
// child process that is killed with SIGKILL at random moments of the save.
// Afterwards the file must hold the old or the new content whole, and the
// start-up cleanup must leave no temporary file behind.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/lan.h"
#include "core/setup.h"
#include "app/spine.h"
#include "core/tables.h"
#include "core/works.h"
#include "platform/files.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_works.h"
#include "tuner/antenna.h"
#include "tuner/tune_memory.h"

namespace {

using Clock = std::chrono::steady_clock;

struct SaveCase {
  const char* name;
  std::string path;                  // the operator file
  std::function<void(Works*)> setA;  // the state on disk before the save
  std::function<void(Works*)> setB;  // the state being saved
  std::function<int(Works*)> save;
  // Reads the file back; returns 'A' or 'B' for the state it holds, 0 otherwise.
  std::function<char(Works*)> readBack;
};

std::vector<std::string> tempFiles(const TempRoot& root, const std::string& absDir) {
  std::vector<std::string> out;
  if (DIR* d = opendir(root.path(absDir).c_str())) {
    while (struct dirent* e = readdir(d))
      if (strstr(e->d_name, ".tmp") != nullptr) out.push_back(e->d_name);
    closedir(d);
  }
  return out;
}

// Runs the save of state B in a child; kills it after delayUs (< 0: lets it
// finish). Returns the child's run time in microseconds.
long saveInChild(Works* w, const SaveCase& c, long delayUs) {
  const auto t0 = Clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    c.setB(w);
    _exit(c.save(w) == 0 ? 0 : 3);
  }
  if (pid < 0) return -1;
  if (delayUs >= 0) {
    std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
    kill(pid, SIGKILL);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (delayUs < 0) {
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.name;
  }
  return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count();
}

struct PowerCut : ::testing::Test {
  TempRoot root;
  TestWorks tw;
  Works* w = tw.get();
  void SetUp() override {
    InitGlobalVar(w);
    initSetup(w);
    root.writeFile("/etc/network/interfaces",
                   "auto eth0\niface eth0 inet static\naddress 192.168.1.20\nnetmask 255.255.255.0\n"
                   "gateway 192.168.1.1\nnameserver 8.8.4.4\n");
  }

  void run(const SaveCase& c, int cuts) {
    SCOPED_TRACE(c.name);
    const std::string dir = c.path.substr(0, c.path.find_last_of('/'));
    c.setB(w);
    ASSERT_EQ(c.save(w), 0);
    const std::string newText = root.readFile(c.path);
    c.setA(w);
    ASSERT_EQ(c.save(w), 0);
    const std::string oldText = root.readFile(c.path);
    ASSERT_NE(oldText, newText);
    ASSERT_FALSE(oldText.empty());

    // How long a whole save takes in a child: the cuts fall within it.
    long full = 0;
    for (int i = 0; i < 3; i++) {
      full = std::max(full, saveInChild(w, c, -1));
      root.writeFile(c.path, oldText);
    }
    std::mt19937 rng(12345);
    std::uniform_int_distribution<long> at(0, full);
    int sawOld = 0, sawNew = 0, leftTemp = 0;
    for (int i = 0; i < cuts; i++) {
      root.writeFile(c.path, oldText);
      saveInChild(w, c, at(rng));
      const std::string text = root.readFile(c.path);
      ASSERT_TRUE(text == oldText || text == newText) << "cut " << i << " left:\n" << text;
      if (text == oldText) sawOld++;
      else sawNew++;
      if (!tempFiles(root, dir).empty()) leftTemp++;
      // What the next start does before it reads anything.
      RemoveStaleTempFiles(dir, dir == "/opt/set" ? RemountWindow::OptSet : RemountWindow::Root);
      ASSERT_TRUE(tempFiles(root, dir).empty()) << tempFiles(root, dir)[0];
      // And the file it then reads parses whole into one of the two states.
      c.setA(w);
      ASSERT_EQ(c.readBack(w), text == oldText ? 'A' : 'B') << text;
    }
    printf("%s: %d cuts within %ld us: old %d, new %d, temporary file left %d\n", c.name, cuts, full, sawOld,
           sawNew, leftTemp);
  }
};

constexpr int kCuts = 120;

TEST_F(PowerCut, SetupFile) {
  SaveCase c{"setup.txt", "/opt/set/setup.txt",
             [](Works* w) { snprintf(w->setup->Server, sizeof w->setup->Server, "10.0.0.1"); },
             [](Works* w) { snprintf(w->setup->Server, sizeof w->setup->Server, "192.168.77.99"); },
             [](Works* w) { return writeSetup(w); },
             [](Works* w) {
               readSetup(w);
               const std::string s = w->setup->Server;
               return s == "10.0.0.1" ? 'A' : s == "192.168.77.99" ? 'B' : '\0';
             }};
  run(c, kCuts);
}

TEST_F(PowerCut, AntennaTable) {
  auto set = [](int ant) {
    return [ant](Works* w) {
      InitTabAntenna(w, 0);
      for (int i = 0; i < 11; i++) w->tabAntenna[i].Ant = static_cast<uint8_t>(ant);
    };
  };
  SaveCase c{"antenna table", AntennaFileName(4), set(1), set(3), [](Works* w) { return SaveTabConfig(w, 4); },
             [](Works* w) {
               LoadTabConfig(w, 4);
               bool all1 = true, all3 = true;
               for (int i = 0; i < 11; i++) {
                 all1 = all1 && w->tabAntenna[i].Ant == 1;
                 all3 = all3 && w->tabAntenna[i].Ant == 3;
               }
               return all1 ? 'A' : all3 ? 'B' : '\0';
             }};
  run(c, kCuts);
}

TEST_F(PowerCut, TuneMemory) {
  // Many stored slots, so the file is long and the cuts land inside its writing.
  auto set = [](uint16_t c0) {
    return [c0](Works* w) {
      for (int slot = 0; slot < 4000; slot += 2) {
        TuneRec r{1, 1, static_cast<uint16_t>(slot % 500), static_cast<uint16_t>((c0 + slot) % 500)};
        SaveTuneValsuTabRam(r, slot, 1, w);
      }
    };
  };
  SaveCase c{"tune memory", AtuFileName(2, 1), set(10), set(20), [](Works* w) { return SaveTabAtu(w, 2, 1); },
             [](Works* w) {
               LoadTabAtu(w, 2, 1);
               int a = 0, b = 0;
               for (int slot = 0; slot < 4000; slot += 2) {
                 TuneRec r{};
                 LoadTuneValFromTabRam(&r, slot, 1, w);
                 if (r.valid && r.C == (10 + slot) % 500) a++;
                 if (r.valid && r.C == (20 + slot) % 500) b++;
               }
               return a == 2000 ? 'A' : b == 2000 ? 'B' : '\0';
             }};
  run(c, kCuts);
}

TEST_F(PowerCut, FilterTable) {
  auto set = [](uint8_t on) {
    return [on](Works* w) {
      for (int i = 0; i < 8; i++) {
        w->filterTab[i].start = 1800000u + 1000000u * static_cast<uint32_t>(i);
        w->filterTab[i].stop = w->filterTab[i].start + 500000u;
        w->filterTab[i].enabled = on;
      }
    };
  };
  SaveCase c{"filter table", "/opt/set/filter.txt", set(1), set(0), [](Works* w) { return SaveTabFiltri(w); },
             [](Works* w) {
               LoadTabFiltri(w);
               int on = 0;
               for (int i = 0; i < 8; i++) on += w->filterTab[i].enabled;
               return on == 8 ? 'A' : on == 0 ? 'B' : '\0';
             }};
  run(c, kCuts);
}

TEST_F(PowerCut, NetworkFile) {
  auto set = [](uint8_t last) {
    return [last](Works*) {
      const uint8_t ip[4] = {192, 168, 1, last}, mask[4] = {255, 255, 255, 0}, gw[4] = {192, 168, 1, 1},
                    dns[4] = {8, 8, 4, 4};
      memcpy(IP_v, ip, 4);
      memcpy(NetMask_v, mask, 4);
      memcpy(Gateway_v, gw, 4);
      memcpy(DNS_v, dns, 4);
      Gateway_none = DNS_none = 0;
    };
  };
  // SaveLanParam reports the restart command's status; the file is what counts.
  SaveCase c{"interfaces", "/etc/network/interfaces", set(20), set(42),
             [](Works*) { return SaveLanParam() < -1 ? -1 : 0; },
             [](Works*) {
               if (ReadLanParam() != 0) return '\0';
               const std::string ip = IP;
               return ip == "192.168.1.20" ? 'A' : ip == "192.168.1.42" ? 'B' : '\0';
             }};
  run(c, kCuts);
}

TEST(StaleTemp, OnlyTheWritersTemporaryNamesAreRemoved) {
  TempRoot root;
  root.writeFile("/opt/set/setup.txt", "x");
  root.writeFile("/opt/set/setup.txt.tmpAb12Cd", "half");
  root.writeFile("/opt/set/atu_ant1_b3.txt.tmpZZZZZ9", "");
  root.writeFile("/opt/set/notes.tmp", "keep");
  root.writeFile("/opt/set/a.tmp-12345", "keep");
  EXPECT_EQ(RemoveStaleTempFiles("/opt/set", RemountWindow::OptSet), 2);
  EXPECT_FALSE(root.exists("/opt/set/setup.txt.tmpAb12Cd"));
  EXPECT_FALSE(root.exists("/opt/set/atu_ant1_b3.txt.tmpZZZZZ9"));
  EXPECT_TRUE(root.exists("/opt/set/setup.txt"));
  EXPECT_TRUE(root.exists("/opt/set/notes.tmp"));
  EXPECT_TRUE(root.exists("/opt/set/a.tmp-12345"));
  // The partition was opened for writing once, and closed again.
  const std::string log = root.stubLog();
  EXPECT_NE(log.find("remount defaults,rw /opt/set"), std::string::npos) << log;
  EXPECT_NE(log.find("remount -r /opt/set"), std::string::npos) << log;
  // Nothing stale: the partition stays read-only.
  const size_t before = root.stubLog().size();
  EXPECT_EQ(RemoveStaleTempFiles("/opt/set", RemountWindow::OptSet), 0);
  EXPECT_EQ(root.stubLog().size(), before);
}

}  // namespace
