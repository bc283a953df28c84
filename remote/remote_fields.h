// Remote-operation fields of the shared record.
#pragma once
#include <atomic>
#include <cstdint>

struct RemoteFields {
  // 1 while the link is up (on the station: once the access key matched).
  std::atomic<int> remoteConnected{0};
  // Socket of the current connection, 0 when none. Set by the link thread;
  // senders use it under sendMut, and the link thread closes it under
  // sendMut too, so a sender never writes to a recycled descriptor.
  std::atomic<int> remoteSock{0};
  uint8_t remoteStarted = 0;  // the remote-side threads were started
  uint8_t remoteFault = 0;
  // JPEG quality of the screen sender, 1..100; 0 sends the screen raw.
  // Taken from the setup key "Quality" when the link thread starts.
  std::atomic<int> jpegQuality{100};
  // Last "ST" payload, NUL-terminated; link thread only.
  char remoteCmd[200] = {};
  // When the last requested screen went out (monotonic ms, 0 = never);
  // link thread only.
  int64_t screenSentAtMs = 0;
};
