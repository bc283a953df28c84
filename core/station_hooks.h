// Calls that go up a floor. A lower subsystem that must start something
// above it (a link thread, the bank's work mode) or hand data up (a block
// for the remote peer) calls through this record, which the start-up
// installs (InstallStationHooks). A hook left null does nothing: a test
// that needs none of them installs none.
#pragma once
#include <cstdint>

struct Works;

struct StationHooks {
  // Applies the operator's waiting panel events (the timer, each cycle).
  void (*applyPanelEvents)(Works*) = nullptr;
  // Link threads, (re)started by Retry, the menus and the views' needs.
  void (*startAmpLink)(Works*) = nullptr;
  void (*startFt817Link)(Works*) = nullptr;
  void (*startDataPort)(Works*) = nullptr;
  void (*startSpectrumReader)(Works*) = nullptr;
  void (*startRemoteLink)(Works*) = nullptr;
  void (*startRemoteGroup)(Works*) = nullptr;
  void (*stopRemoteGroup)(Works*) = nullptr;
  // Restarts the remote side's threads after a remote fault.
  void (*restartRemoteGroup)(Works*, bool verbose) = nullptr;
  // Loads a bank's tables and applies its work mode; applies the work mode.
  void (*loadBankAndWorkMode)(Works*, int bank) = nullptr;
  void (*applyWorkMode)(Works*) = nullptr;
  // Hands the radio's data to the remote peer.
  void (*sendCatToPeer)(Works*, const char* text, int n) = nullptr;
  void (*sendRadioParamsToPeer)(Works*, const uint8_t* data, int n) = nullptr;
  void (*sendSpectrumToPeer)(Works*, const uint8_t* data, int n) = nullptr;
  // The amplifier link's calls into the tuner: one autotune step after a
  // status reply; the band's protection thresholds queued when their row
  // changed, or again whatever was sent (the link came back); the tune
  // word an "MT1" of the stored tuning, the bypass or the reset carries,
  // set and held under the tune word's lock until released; the band's
  // name for the station status text.
  void (*stepAutotune)(Works*) = nullptr;
  void (*queueBandThresholds)(Works*) = nullptr;
  void (*resendBandThresholds)(Works*) = nullptr;
  void (*takeTuneWord)(Works*, int cmdNo) = nullptr;
  void (*releaseTuneWord)(Works*) = nullptr;
  const char* (*bandNameForFreq)(Works*, unsigned long freq) = nullptr;
  // The web server's address and token line for the information screen.
  void (*webInfo)(char* out, int n) = nullptr;
};

// The calls, each a no-op while its hook is not installed.
void applyPanelEvents(Works* w);
void startAmpLink(Works* w);
void startFt817Link(Works* w);
void startDataPort(Works* w);
void startSpectrumReader(Works* w);
void startRemoteLink(Works* w);
void startRemoteGroup(Works* w);
void stopRemoteGroup(Works* w);
void restartRemoteGroup(Works* w, bool verbose);
void loadBankAndWorkMode(Works* w, int bank);
void applyWorkMode(Works* w);
void sendCatToPeer(Works* w, const char* text, int n);
void sendRadioParamsToPeer(Works* w, const uint8_t* data, int n);
void sendSpectrumToPeer(Works* w, const uint8_t* data, int n);
void stepAutotune(Works* w);
void queueBandThresholds(Works* w);
void resendBandThresholds(Works* w);
void takeTuneWord(Works* w, int cmdNo);
void releaseTuneWord(Works* w);
// nullptr while not installed or outside every band.
const char* bandNameForFreq(Works* w, unsigned long freq);
// "" (out[0] = 0) while no web server is installed.
void webInfo(Works* w, char* out, int n);
