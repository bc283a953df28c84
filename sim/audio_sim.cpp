#include "sim/audio_sim.h"

#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <cstdio>

SimAudioFiles simAudioPrepare(const std::string& root, double toneHz, int amplitude, int seconds) {
  SimAudioFiles f;
  f.captureFile = root + "/audio_in.raw";
  f.playbackFile = root + "/audio_out.raw";
  mkdir((root + "/etc").c_str(), 0755);
  if (toneHz > 0) {
    FILE* o = fopen(f.captureFile.c_str(), "wb");
    if (o != nullptr) {
      const int n = 48000 * seconds;
      for (int i = 0; i < n; i++) {
        const int16_t s = static_cast<int16_t>(lround(amplitude * sin(2 * M_PI * toneHz * i / 48000.0)));
        const uint8_t b[2] = {static_cast<uint8_t>(s & 0xFF), static_cast<uint8_t>((s >> 8) & 0xFF)};
        fwrite(b, 1, 2, o);
      }
      fclose(o);
    }
  }
  FILE* c = fopen((root + "/etc/asound.conf").c_str(), "w");
  if (c != nullptr) {
    fprintf(c,
            "# File-backed sound devices: no sound card needed.\n"
            "pcm.zelcap {\n  type file\n  slave.pcm \"null\"\n  file \"/dev/null\"\n  infile \"%s\"\n"
            "  format \"raw\"\n}\n"
            "pcm.zelplay {\n  type file\n  slave.pcm \"null\"\n  file \"%s\"\n  format \"raw\"\n}\n",
            f.captureFile.c_str(), f.playbackFile.c_str());
    fclose(c);
  }
  return f;
}

bool SimToneFeeder::start(const std::string& path, double hz, int amplitude, int leadSec) {
  stop();
  path_ = path;
  hz_ = hz;
  amplitude_ = amplitude;
  n_ = 0;
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  append(f, 48000 * leadSec);
  fclose(f);
  quit_ = false;
  th_ = std::thread(&SimToneFeeder::run, this);
  return true;
}

void SimToneFeeder::stop() {
  quit_ = true;
  if (th_.joinable()) th_.join();
}

void SimToneFeeder::append(FILE* f, int samples) {
  for (int i = 0; i < samples; i++, n_++) {
    const int16_t s = static_cast<int16_t>(lround(amplitude_ * sin(2 * M_PI * hz_ * static_cast<double>(n_) / 48000.0)));
    const uint8_t b[2] = {static_cast<uint8_t>(s & 0xFF), static_cast<uint8_t>((s >> 8) & 0xFF)};
    fwrite(b, 1, 2, f);
  }
}

void SimToneFeeder::run() {
  int ticks = 0;
  while (!quit_) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (++ticks < 10) continue;
    ticks = 0;
    FILE* f = fopen(path_.c_str(), "ab");
    if (f == nullptr) continue;
    append(f, 48000);
    fclose(f);
  }
}

std::vector<int16_t> simAudioRead(const std::string& path) {
  std::vector<int16_t> out;
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return out;
  uint8_t b[2];
  while (fread(b, 1, 2, f) == 2) out.push_back(static_cast<int16_t>(b[0] | (b[1] << 8)));
  fclose(f);
  return out;
}
