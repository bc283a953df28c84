// Remote-operation fields of the shared record.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/pcm.h"

struct AudioOutput;

struct RemoteFields {
  // 1 while the link is up (on the station: once the access key matched).
  std::atomic<int> remoteConnected{0};
  // Socket of the current connection, 0 when none. Set by the link thread;
  // senders use it under sendMut, and the link thread closes it under
  // sendMut too, so a sender never writes to a recycled descriptor.
  std::atomic<int> remoteSock{0};
  uint8_t remoteStarted = 0;  // the remote-side threads were started
  std::atomic<uint8_t> remoteFault{0};
  // JPEG quality of the screen sender, 1..100; 0 sends the screen raw.
  // Taken from the setup key "Quality" when the link thread starts.
  std::atomic<int> jpegQuality{100};
  // Last "ST" payload, NUL-terminated; link thread only.
  char remoteCmd[200] = {};
  // When the last requested screen went out (monotonic ms, 0 = never);
  // link thread only.
  int64_t screenSentAtMs = 0;

  // Audio (remote/audio.cpp). Capture channels from "InChannels: " and
  // the capture device: capture thread only.
  int inChannels = 1;
  std::unique_ptr<AudioPcm> pcmIn;
  // The playback device with its packet buffer: published and withdrawn
  // by the playback thread under audioOutMut (a leaf, held only to copy
  // or swap the pointer); the link thread plays through its copy.
  std::mutex audioOutMut;
  std::shared_ptr<AudioOutput> pcmOut;
  std::atomic<int> audioPlayReady{0};  // 1 while pcmOut is configured
};
