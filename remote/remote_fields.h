// Remote-operation fields of the shared record.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/pcm.h"

struct AudioOutput;
struct TlsConn;

// A file a remote command rewrites is written at most once a second: the
// first change at once, the rest of a burst once, a second after the
// last write, with the state then. A plain decision over a monotonic
// clock in ms.
struct SaveThrottle {
  static constexpr int64_t kEveryMs = 1000;
  int64_t lastMs = 0;
  bool written = false;  // lastMs holds a write
  bool due = false;      // a change waits for its write
  // A change: true when it is to be written now.
  bool request(int64_t nowMs);
  // Called now and then: true when the waiting change is to be written.
  bool flushDue(int64_t nowMs);
};

struct RemoteFields {
  // 1 while the link is up (on the station: once the access key matched).
  std::atomic<int> remoteConnected{0};
  // Socket of the current connection, 0 when none. Set by the link thread;
  // senders use it under sendMut, and the link thread closes it under
  // sendMut too, so a sender never writes to a recycled descriptor.
  std::atomic<int> remoteSock{0};
  // The TLS session over remoteSock when the link runs over TLS, else
  // null; set and cleared with remoteSock under sendMut, and every read
  // and write through it is under sendMut (one TLS session is not safe
  // for a reader and a writer at once).
  TlsConn* remoteTls = nullptr;
  // remote.txt (core/remote_config.h): the access key (accessKey) is
  // written under keyMut, a leaf lock; the listen address and the TLS
  // switch are set at start-up before the link thread runs.
  std::mutex keyMut;
  char listenAddr[40] = {};  // "" = every address
  std::atomic<int> linkTls{0};
  // Bumped when the key changes: the link ends its connection so that
  // the next one has to show the new key.
  std::atomic<int> keyGeneration{0};
  // 1 after a peer was refused for speaking without TLS (or TLS to a
  // plain unit): the message line says so until a link comes up.
  std::atomic<int> tlsRefused{0};
  uint8_t remoteStarted = 0;  // the remote-side threads were started
  std::atomic<uint8_t> remoteFault{0};
  // JPEG quality of the screen sender, 1..100; 0 sends the screen raw.
  // Taken from the setup key "Quality" when the link thread starts.
  std::atomic<int> jpegQuality{100};
  // setup.txt writes of the remote commands; link thread only.
  SaveThrottle remoteSaves;
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
