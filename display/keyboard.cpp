#include "display/keyboard.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <linux/input.h>
#include <syslog.h>
#include <thread>

#include "core/remote_config.h"
#include "core/works.h"
#include "platform/input.h"
#include "platform/log.h"
#include "platform/paths.h"

namespace {

void waitWhileRunning(Works* w) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (w->running.load() != 0 && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

// Looks for the keyboard until one opens or running drops. Returns the
// descriptor or -1.
int findKeyboard(Works* w, const KeybEnv& env, std::string* path) {
  while (w->running.load() != 0) {
    *path = inputFindKeyboard();
    if (!path->empty()) {
      int fd = inputOpen(*path);
      if (fd >= 0) {
        zlogEcho(LOG_INFO, "Keyboard opened");
        int g = inputGrab(fd);
        // A stand-in device (a FIFO or a file) cannot be grabbed; the keys
        // are read all the same.
        if (g != 0) zlogEcho(LOG_ERR, "Cannot grab %s, error %d -%s", path->c_str(), g, strerror(g));
        runCommand("stty -echo");
        return fd;
      }
      int e = errno;
      zlogEcho(LOG_ERR, "Cannot open %s, error %d -%s", path->c_str(), e, strerror(e));
    }
    env.retryWait(w);
  }
  return -1;
}

// The setup and the service mode belong to the panel: its thread applies them.
void postPanel(Works* w, PanelAct act) {
  PanelEvent ev;
  ev.act = act;
  w->panelQ.post(ev);
}

}  // namespace

int KeybEvent(Works* w, const input_event& ev) {
  if (ev.type != EV_KEY || ev.value != 1) return 0;
  switch (ev.code) {
    case KEY_SYSRQ:
      zlogEcho(LOG_INFO, "launching screenshot");
      runCommand(commandPath("/usr/bin/fbgrab") + " " + shellPath("/tmp/screen.png") +
                 " >/dev/null 2>&1 </dev/null");
      zlogEcho(LOG_INFO, "launched screenshot");
      return 0;
    case KEY_F12:
      zlogEcho(LOG_INFO, "Exited by KEY_F12");
      w->stopRequested = 1;
      w->running = 0;
      return 1;
    case KEY_F11:
      zlogEcho(LOG_INFO, "Save setup");
      postPanel(w, PanelAct::SaveSetup);
      return 0;
    case KEY_F9:
      // The keyboard has no text editor: F9 makes a fresh random key,
      // saves it and shows it on the information screen, from where the
      // owner copies it into the other unit's remote.txt.
      zlogEcho(LOG_INFO, "New access key");
      renewAccessKey(w);
      return 0;
    case KEY_F10:
      postPanel(w, PanelAct::RemoteService);
      return 0;
    default:
      return 0;
  }
}

void KeybRun(Works* w, const KeybEnv& envIn) {
  KeybEnv env = envIn;
  if (!env.retryWait) env.retryWait = waitWhileRunning;
  if (!env.read) env.read = inputRead;
  zlogEcho(LOG_INFO, "Keyboard function entered");
  std::string path;
  int fd = findKeyboard(w, env, &path);
  if (fd >= 0) zlogEcho(LOG_INFO, "Continuous keyboard loop started, please end using Control C\n");
  // Whole events only: a read may end inside one.
  unsigned char buf[sizeof(input_event) * 16];
  size_t have = 0;
  while (fd >= 0 && w->running.load() != 0) {
    ssize_t n = env.read(fd, buf + have, sizeof buf - have, 100);
    if (n < 0) {
      int e = errno;
      zlogEcho(LOG_ERR, "error reading %s, error %d -%s", path.c_str(), e, strerror(e));
      if (e == ENODEV) {
        // Unplugged: look for it again instead of failing every read.
        inputClose(fd);
        have = 0;
        fd = findKeyboard(w, env, &path);
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      continue;
    }
    have += static_cast<size_t>(n);
    size_t off = 0;
    for (; have - off >= sizeof(input_event); off += sizeof(input_event)) {
      input_event ev;
      memcpy(&ev, buf + off, sizeof ev);
      if (KeybEvent(w, ev) == 1) {
        inputClose(fd);
        runCommand(commandPath("/bin/stty") + " sane");
        runCommand(commandPath("/usr/bin/tput") + " clear");
        return;
      }
    }
    memmove(buf, buf + off, have - off);
    have -= off;
  }
  inputClose(fd);
  runCommand("stty sane");
}

void keyb(Works* w) { KeybRun(w, KeybEnv{}); }
