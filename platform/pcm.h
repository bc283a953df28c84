// PCM sound devices. The audio threads see a device only through this
// interface, one call per configuration step, so every step keeps its own
// log line and tests can stand in a device of their own.
#pragma once
#include <memory>
#include <string>

class AudioPcm {
 public:
  virtual ~AudioPcm() = default;
  // Hardware parameters, in the order the threads apply them. Each returns
  // 0 or a negative error code (pcmStrerror gives its text).
  virtual int hwAlloc() = 0;
  virtual int hwAny() = 0;
  virtual int hwAccessInterleaved() = 0;
  virtual int hwFormat(int alsaFormat) = 0;
  virtual int hwResample(int on) = 0;
  virtual int hwRateNear(unsigned* rate) = 0;
  virtual int hwChannels(int n) = 0;
  virtual int hwPeriods(int n) = 0;
  virtual int hwBufferSize(long frames) = 0;
  // An upper bound only; devices whose own limit is lower keep theirs.
  virtual int hwBufferSizeMax(long frames) {
    (void)frames;
    return 0;
  }
  virtual int hwApply() = 0;
  virtual void hwFree() = 0;

  virtual int prepare() = 0;
  virtual int start() = 0;
  virtual int drop() = 0;
  virtual int drain() = 0;
  // Discards everything queued and leaves the device ready to play.
  virtual int reset() = 0;
  // Waits up to ms for the device to be ready: 1 ready, 0 time-out, < 0 error.
  virtual int wait(int ms) = 0;
  // Frames read / written, or a negative error code (-32 underrun/overrun).
  virtual long readFrames(void* buf, long frames) = 0;
  virtual long writeFrames(const void* buf, long frames) = 0;
  // Free (playback) or filled (capture) space in frames, or < 0.
  virtual long avail() = 0;
};

// Opens a PCM by its ALSA name, blocking mode. Under a root the rooted
// "/etc/asound.conf" (when there is one) is added to ALSA's own
// configuration, so the device names of setup.txt can name file-backed
// devices on a machine without a sound card. Returns nullptr with *err set.
std::unique_ptr<AudioPcm> pcmOpen(const std::string& name, bool capture, int* err);

// The text of an error code of this interface.
std::string pcmStrerror(int err);

// Who opens devices: pcmOpen by default; tests put a factory of their own.
using PcmOpener = std::unique_ptr<AudioPcm> (*)(const std::string& name, bool capture, int* err);
void setPcmOpener(PcmOpener opener);  // nullptr restores pcmOpen
std::unique_ptr<AudioPcm> pcmOpenDevice(const std::string& name, bool capture, int* err);
