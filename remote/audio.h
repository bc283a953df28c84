// Remote audio: capture (th_leggi), the playback device (th_scrivi) and
// the playing of received "SO" packets in the link thread. The per-packet
// steps are plain functions; the threads only open devices, move packets
// and sleep.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/pcm.h"

struct Works;

// The capture buffer of one packet; audioFrame stereo frames must fit.
constexpr int kAudioCaptureBytes = 20480;
constexpr int kAudioMaxFrames = kAudioCaptureBytes / 4;  // 5120
// Backlog above this many frames (100 ms at 48 kHz) is dropped.
constexpr long kAudioBacklogFrames = 4800;
// How often the threads look for the USB audio codec ("lsusb").
constexpr int kCodecPollMs = 1000;
constexpr int kCaptureCodecPollMs = 2000;

// Playback backlog: the device's free space when empty (free1) and the
// smallest seen since (minfree).
struct AudioBacklog {
  long free = 0, free1 = 0, minfree = 0;
};
// One measurement before a packet is written. True when the queue is to
// be discarded (and the packet not played); measuring starts again.
bool audioBacklogStep(AudioBacklog& b, long avail);

// One opened playback device, with everything the playing of received
// packets keeps from one packet to the next.
struct AudioOutput {
  std::unique_ptr<AudioPcm> pcm;
  std::vector<uint8_t> playBuf;  // one packet of stereo PCM
  std::vector<int16_t> decoded;  // one packet's samples before they are packed
  AudioBacklog backlog;
  // When the station's and the unit's per-packet lines were last logged
  // (monotonic ms, 0: never).
  int64_t soLogged01 = 0, soLogged03 = 0;
  // One user at a time: a packet's decoding and write, or the drain and close.
  std::mutex use;
};

// Mono samples s[0..frames) widened in place to stereo frames (s, s),
// from the last sample down so nothing is overwritten before it is read.
void widenMono(int16_t* s, int frames);

// One capture packet: reads audioFrame frames from pcm into buf (at least
// kAudioCaptureBytes), widens mono, hands the packet to the "SO" sender.
// Returns the frames read, or a negative error code.
long MyCallback(Works* w, AudioPcm* pcm, uint8_t* buf);

// Plays one received "SO" message; body is what follows the type (the
// 4-byte encoded length, then the audio), len its bytes. role 's' or 'c'.
// Returns 0, or -1 when the operator unit must end the connection.
int playAudioMessage(Works* w, char role, const uint8_t* body, int len);

// Thread bodies and exit functions.
void th_leggi(Works* w);
void th_scrivi(Works* w);
void ExitAUDIOread(Works* w);
void ExitAUDIOwrite(Works* w);

// 1 once the capture / playback device is open.
extern std::atomic<int> status_th_leggi;
extern std::atomic<int> status_th_scrivi;
// 1 while the thread body runs (the starters never start a second one).
extern std::atomic<int> audioReadRunning;
extern std::atomic<int> audioWriteRunning;
// Held by the starters and by a thread deciding to end, so a start that
// comes while a thread is ending is never lost: the thread goes on.
std::mutex& audioStartMutex();
// The playback thread's first pause (3 s; tests shorten it).
extern std::atomic<int> audioWriteStartDelayMs;
