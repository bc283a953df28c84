// Sound devices without a sound card: an ALSA configuration in a root
// ("/etc/asound.conf", which the controller adds to ALSA's own) with a
// capture device "zelcap" that reads a prepared file of mono 16-bit
// samples and a playback device "zelplay" that writes what it plays to a
// file.
#pragma once
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <thread>
#include <string>
#include <vector>

struct SimAudioFiles {
  std::string captureFile;   // absolute path of the samples "zelcap" reads
  std::string playbackFile;  // absolute path "zelplay" writes to
};

// Writes ROOT/etc/asound.conf for the two devices and, when toneHz > 0, a
// capture file of `seconds` of a sine at toneHz with the given peak
// amplitude (48 kHz, mono S16_LE). Returns the two file paths.
SimAudioFiles simAudioPrepare(const std::string& root, double toneHz, int amplitude, int seconds);

// Keeps a capture file ahead of a reader that takes it at 48 kHz: the
// file-backed capture device plays silence once it reaches the end of its
// file, so a long-running pair needs the tone to go on. Writes `leadSec`
// seconds at start, then one more second every second (phase-continuous)
// until stop().
class SimToneFeeder {
 public:
  ~SimToneFeeder() { stop(); }
  bool start(const std::string& path, double hz, int amplitude, int leadSec = 10);
  void stop();

 private:
  void run();
  void append(FILE* f, int samples);
  std::string path_;
  double hz_ = 0;
  int amplitude_ = 0;
  long long n_ = 0;
  std::atomic<bool> quit_{false};
  std::thread th_;
};

// Reads a file of 16-bit little-endian samples.
std::vector<int16_t> simAudioRead(const std::string& path);
