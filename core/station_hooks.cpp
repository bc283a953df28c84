#include "core/station_hooks.h"

#include "core/works.h"

void applyPanelEvents(Works* w) {
  if (w->hooks.applyPanelEvents != nullptr) w->hooks.applyPanelEvents(w);
}
void startAmpLink(Works* w) {
  if (w->hooks.startAmpLink != nullptr) w->hooks.startAmpLink(w);
}
void startFt817Link(Works* w) {
  if (w->hooks.startFt817Link != nullptr) w->hooks.startFt817Link(w);
}
void startDataPort(Works* w) {
  if (w->hooks.startDataPort != nullptr) w->hooks.startDataPort(w);
}
void startSpectrumReader(Works* w) {
  if (w->hooks.startSpectrumReader != nullptr) w->hooks.startSpectrumReader(w);
}
void startRemoteLink(Works* w) {
  if (w->hooks.startRemoteLink != nullptr) w->hooks.startRemoteLink(w);
}
void startRemoteGroup(Works* w) {
  if (w->hooks.startRemoteGroup != nullptr) w->hooks.startRemoteGroup(w);
}
void stopRemoteGroup(Works* w) {
  if (w->hooks.stopRemoteGroup != nullptr) w->hooks.stopRemoteGroup(w);
}
void restartRemoteGroup(Works* w, bool verbose) {
  if (w->hooks.restartRemoteGroup != nullptr) w->hooks.restartRemoteGroup(w, verbose);
}
void loadBankAndWorkMode(Works* w, int bank) {
  if (w->hooks.loadBankAndWorkMode != nullptr) w->hooks.loadBankAndWorkMode(w, bank);
}
void applyWorkMode(Works* w) {
  if (w->hooks.applyWorkMode != nullptr) w->hooks.applyWorkMode(w);
}
void sendCatToPeer(Works* w, const char* text, int n) {
  if (w->hooks.sendCatToPeer != nullptr) w->hooks.sendCatToPeer(w, text, n);
}
void sendRadioParamsToPeer(Works* w, const uint8_t* data, int n) {
  if (w->hooks.sendRadioParamsToPeer != nullptr) w->hooks.sendRadioParamsToPeer(w, data, n);
}
void sendSpectrumToPeer(Works* w, const uint8_t* data, int n) {
  if (w->hooks.sendSpectrumToPeer != nullptr) w->hooks.sendSpectrumToPeer(w, data, n);
}
void stepAutotune(Works* w) {
  if (w->hooks.stepAutotune != nullptr) w->hooks.stepAutotune(w);
}
void queueBandThresholds(Works* w) {
  if (w->hooks.queueBandThresholds != nullptr) w->hooks.queueBandThresholds(w);
}
void resendBandThresholds(Works* w) {
  if (w->hooks.resendBandThresholds != nullptr) w->hooks.resendBandThresholds(w);
}
void takeTuneWord(Works* w, int cmdNo) {
  if (w->hooks.takeTuneWord != nullptr) w->hooks.takeTuneWord(w, cmdNo);
}
void releaseTuneWord(Works* w) {
  if (w->hooks.releaseTuneWord != nullptr) w->hooks.releaseTuneWord(w);
}
const char* bandNameForFreq(Works* w, unsigned long freq) {
  return w->hooks.bandNameForFreq != nullptr ? w->hooks.bandNameForFreq(w, freq) : nullptr;
}
void webInfo(Works* w, char* out, int n) {
  if (n > 0) out[0] = '\0';
  if (w->hooks.webInfo != nullptr && n > 0) w->hooks.webInfo(out, n);
}
