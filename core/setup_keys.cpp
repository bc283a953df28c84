#include "core/setup_keys.h"

#include <cstdio>
#include <cstring>

namespace {

void loadAntenna(Works* w, const SetupKey&, int v) { w->AntennaIdx = v - 1; }
double getAntenna(const Works* w) { return w->AntennaIdx.load() + 1; }
void setAntenna(Works* w, double v) { w->AntennaIdx = static_cast<int>(v) - 1; }

// The file sets the whole byte; only the switch (bit 0) is saved, the
// handshake bits above it are not the operator's.
void loadAutoTune(Works* w, const SetupKey&, int v) { w->tuneFlags = static_cast<uint8_t>(v); }
double getAutoTune(const Works* w) { return w->tuneFlags.load() & 1; }
void setAutoTune(Works* w, double v) { w->tuneFlags = static_cast<uint8_t>(static_cast<int>(v)); }

void loadSpectrum(Works* w, const SetupKey&, int v) {
  setRunByte(w->setup->spectrumSource, static_cast<char>(v + '0'));
}
void loadUsbSpectrum(Works* w, const SetupKey&, int) { setRunByte(w->setup->spectrumSource, '1'); }

void loadAudioFrame(Works* w, const SetupKey&, int v) { w->audioFrame = v * 240; }

void copyServer(Works* w, const char* v) { snprintf(w->Server, sizeof w->Server, "%s", v); }

}  // namespace

const SetupBind kAntennaBind{&loadAntenna, &getAntenna, &setAntenna, nullptr};
const SetupBind kAutoTuneBind{&loadAutoTune, &getAutoTune, &setAutoTune, nullptr};
const SetupBind kSpectrumBind{&loadSpectrum, nullptr, nullptr, nullptr};
const SetupBind kUsbSpectrumBind{&loadUsbSpectrum, nullptr, nullptr, nullptr};
const SetupBind kAudioFrameBind{&loadAudioFrame, nullptr, nullptr, nullptr};
const SetupBind kServerBind{nullptr, nullptr, nullptr, &copyServer};

const SetupKey* findSetupKey(const char* name) {
  for (const SetupKey& k : kSetupKeys)
    if (strcmp(k.name, name) == 0) return &k;
  return nullptr;
}

double setupValue(const Works* w, const SetupKey& k) {
  return k.bind != nullptr && k.bind->get != nullptr ? k.bind->get(w) : 0;
}

void setSetupValue(Works* w, const SetupKey& k, double v) {
  if (k.bind != nullptr && k.bind->set != nullptr) k.bind->set(w, v);
}

double setupHigh(const Works* w, const SetupKey& k) {
  const SetupKey* by = k.hiKey != nullptr ? findSetupKey(k.hiKey) : nullptr;
  return by != nullptr ? setupValue(w, *by) : k.hi;
}
