// Start-up, thread starters and shutdown of the controller.
#pragma once
struct Works;

// The whole controller: start-up, idle loop, shutdown. Returns the exit status.
int zelpyxMain();

void StartThreadLinear(Works* w);
void StartThreadSoket(Works* w);
void StartThreadZEL(Works* w);
void StartThreadCAT(Works* w);
void StartThreadAudioRead(Works* w);
void StartThreadAudioWrite(Works* w);
void StartZelReadFFT(Works* w);
void StartThreadCATserial(Works* w);
void StartThreadHamlib(Works* w);
// Opus encoder and decoder of the remote audio when AudioCompress is above
// 0; any failure leaves AudioCompress at 0 (audio travels raw).
void createCodecs(Works* w);
void destroyCodecs(Works* w);
// Work-mode policy: starts the radio link of ModeWorkIdx and stops the
// other, then queues the general settings (35).
void SetModeWorkIDX(Works* w);
// A bank's tables loaded (LoadAllBankTable) and its work mode applied.
void LoadBankAndWorkMode(Works* w, int bank);
// Clears remoteFault and starts each remote-side thread whose run flag is
// '0' (setting it to '1'): playback, capture, CAT, USB reader.
void StartRemoteGroupThreads(Works* w, bool verbose);
void StartThreadCommRemote(Works* w);
void ExitThreadRemote(Works* w);

// The calls up a floor (core/station_hooks.h), and the timer's panel
// events: what the subsystems below reach through them.
void InstallStationHooks(Works* w);
