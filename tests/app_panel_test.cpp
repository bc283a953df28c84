// Every thread that acts on the panel, at once: the timer drawing frames,
// the GPIO thread reading the simulated buttons, the service keyboard and
// a remote peer changing banks. Run by the ThreadSanitizer tier too, where
// any unguarded write of the panel's state from two threads is a report.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <linux/input.h>
#include <string>
#include <thread>

#include "app/spine.h"
#include "core/globals.h"
#include "core/remote_config.h"
#include "core/works.h"
#include "display/fb.h"
#include "display/gpio.h"
#include "display/keyboard.h"
#include "display/text.h"
#include "platform/log.h"
#include "remote/ws_link.h"
#include "remote/ws_proto.h"
#include "screens/buttons.h"
#include "screens/timer.h"
#include "tests/support/raw_peer.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_works.h"
#include "tests/support/two_band_station.h"
#include "tests/support/wait.h"
#include "tests/support/zelsim_process.h"

namespace {

const char kKey[] = "Qw3rTy8uIo2P";
const char kKbd[] = "/dev/input/by-id/usb-Service_Keyboard-event-kbd";

std::string setupBank(const std::string& setup) {
  size_t p = setup.find("NumBanco: ");
  return p == std::string::npos ? "" : setup.substr(p + 10, setup.find('\n', p) - p - 10);
}

TEST(PanelThreads, ButtonsKeyboardAndARemotePeerActTogetherWhileTheTimerDraws) {
  TempRoot root;
  root.installStubs();
  ZelsimProcess sim;  // its panel module keeps the buttons' register in ROOT/dev/mem
  ASSERT_TRUE(sim.start(root.dir()));
  setenv("ZELPYX_LISTEN_ADDR", "127.0.0.1", 1);
  wsStartDelayMs = 0;

  TestWorks tw;
  Works* w = tw.get();
  InitGlobalVar(w);
  InstallStationHooks(w);
  installTwoBandStation(w, 0.01f, 0.01f, 0.01f);
  setRunByte(tw.setup.WebSocket, '1');
  setRunByte(tw.setup.EnableLinear, '0');
  strcpy(tw.setup.Quality, "100");
  setAccessKey(w, kKey);
  w->TcpPort = 0;
  w->MAXbank = 20;
  w->NumBanco = 0;
  w->catFD = -1;
  w->serFD = -1;
  w->tinyCmd = 255;
  TIME_LONG_PRESS = 0.3;
  FbInfo* fb = fbCreateMemory(800, 480);
  w->fb = fb;
  LoadFontTable();
  InitMenuZarn(w);
  LoadButtons(w);
  w->running = 1;

  // The service keyboard: F11 (save the setup) every 300 ms, a letter
  // between, read as the device would deliver them.
  root.writeFile(kKbd, "");
  std::atomic<int> keyEvents{0};
  KeybEnv kenv;
  kenv.read = [&](int, void* buf, size_t cap, int timeoutMs) -> ssize_t {
    std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs < 150 ? timeoutMs : 150));
    if (cap < sizeof(input_event)) return 0;
    input_event ev{};
    ev.type = EV_KEY;
    ev.value = 1;
    ev.code = (keyEvents++ % 2 == 0) ? KEY_F11 : KEY_A;
    memcpy(buf, &ev, sizeof ev);
    return static_cast<ssize_t>(sizeof ev);
  };

  std::thread timerTh(timer, w);
  std::thread gpioTh(GPIO, w);
  std::thread keybTh([&] { KeybRun(w, kenv); });
  std::thread linkTh(Wsocket, w);
  int port = 0;
  ASSERT_TRUE(waitFor([&] { return (port = wsListeningPort.load()) > 0; }));

  RawPeer peer;
  ASSERT_TRUE(peer.connectFrom("127.0.0.1", port));
  ASSERT_TRUE(peer.login(kKey));
  ASSERT_TRUE(waitFor([&] { return w->remoteConnected.load() == 1; }));

  // A few seconds of everything at once: the buttons walk the pages (short
  // and long presses, the parameter editor's auto-repeat), the peer changes
  // banks and asks for spectrum settings.
  const char* presses[] = {"panel press 5", "panel press 4", "panel press 6", "panel hold 5 900",
                           "panel press 2", "panel press 1", "panel press 3", "panel hold 1 800",
                           "panel press 1", "panel press 6", "panel press 1", "panel press 2"};
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(4);
  int i = 0;
  while (std::chrono::steady_clock::now() < end) {
    ASSERT_EQ(sim.control(presses[i % 12]), "OK");
    const char* cmd = (i % 3 == 2) ? "MIRKFD3" : "MIRKBANK";
    ASSERT_TRUE(peer.send(wsShortBinary("ST", reinterpret_cast<const uint8_t*>(cmd),
                                        static_cast<int>(strlen(cmd)))));
    i++;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  EXPECT_TRUE(waitFor([&] { return sim.control("panel state") == "OK 1 1 1 1 1 1"; }));
  // The peer leaves: a bank change the save throttle held is written now.
  close(peer.fd);
  peer.fd = -1;
  EXPECT_TRUE(waitFor([&] { return w->remoteConnected.load() == 0; }));
  // The applier is still alive and answers.
  PanelEvent probe;
  probe.act = PanelAct::RemoteEnded;
  PanelReply reply;
  EXPECT_TRUE(w->panelQ.call(probe, &reply, 15000));

  w->running = 0;
  timerTh.join();
  gpioTh.join();
  keybTh.join();
  linkTh.join();
  EXPECT_GT(keyEvents.load(), 4);
  // Whichever of the buttons, the keyboard and the peer changed the bank
  // last, the file holds the bank in force.
  EXPECT_EQ(setupBank(root.readFile("/opt/set/setup.txt")), std::to_string(w->NumBanco));
  w->fb = nullptr;
  fbRelease(fb);
  TIME_LONG_PRESS = 0.5;
}

}  // namespace
