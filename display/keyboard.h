// Service keyboard: screenshot, saving the setup, a new access key for the
// remote link (F9), the remote service shell and stopping the program. Its keys never reach the button dispatch.
#pragma once
#include <cstddef>
#include <functional>
#include <sys/types.h>

struct Works;
struct input_event;

struct KeybEnv {
  // The wait before looking for a keyboard again; null: 20 s in short
  // steps while running is set.
  std::function<void(Works*)> retryWait;
  // Reads the device (inputRead's contract); null: inputRead.
  std::function<ssize_t(int fd, void* buf, size_t cap, int timeoutMs)> read;
};

void keyb(Works* w);
void KeybRun(Works* w, const KeybEnv& env);

// Acts on one event: key presses only (value 1), so auto-repeat and
// release events do nothing. Returns 1 for F12 (the thread then ends).
int KeybEvent(Works* w, const input_event& ev);
