// Remote-operation fields of the shared record.
#pragma once
#include <atomic>
#include <cstdint>

struct RemoteFields {
  std::atomic<int> remoteConnected{0};
  uint8_t remoteStarted = 0;  // the remote-side threads were started
  uint8_t remoteFault = 0;
};
