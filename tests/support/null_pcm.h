// A sound device standing in for ALSA without a sound card: every
// configuration step succeeds, capture gives silence, playback takes
// every frame, the device always has room. Tests, benchmarks and fuzz
// targets override what they script or record.
#pragma once
#include <cstdint>
#include <cstring>

#include "platform/pcm.h"

struct NullPcm : AudioPcm {
  int channels = 2;  // of a captured frame
  int hwAlloc() override { return 0; }
  int hwAny() override { return 0; }
  int hwAccessInterleaved() override { return 0; }
  int hwFormat(int) override { return 0; }
  int hwResample(int) override { return 0; }
  int hwRateNear(unsigned*) override { return 0; }
  int hwChannels(int) override { return 0; }
  int hwPeriods(int) override { return 0; }
  int hwBufferSize(long) override { return 0; }
  int hwApply() override { return 0; }
  void hwFree() override {}
  int prepare() override { return 0; }
  int start() override { return 0; }
  int drop() override { return 0; }
  int drain() override { return 0; }
  int reset() override { return 0; }
  int wait(int) override { return 1; }
  long readFrames(void* buf, long frames) override {
    memset(buf, 0, static_cast<size_t>(frames) * 2 * static_cast<size_t>(channels));
    return frames;
  }
  long writeFrames(const void*, long frames) override { return frames; }
  long avail() override { return 20480; }
};
