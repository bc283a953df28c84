// Autotune search.
#pragma once
#include <cstdint>

struct Works;

// One measurement of the search: SWR and forward power for a setting.
struct TuneParam {
  float SWR;
  float FWD;
  int L;
  int C;
  uint32_t Tuneval;
};

// Search state, used by the Linear thread only (EscAutoTune also clears
// cnttune from the timer's handshake).
extern TuneParam tuneParam;
extern TuneParam miglioretuneParam;
extern TuneParam vTuneParam[10];
extern int cnttune;
extern int cnttunefine;

// Step limits indexed by AutoTuneMaxCicli, and their menu labels.
extern const int SWRTimeoutCICLI[5];
extern const char SWRTimeout[5][8];

// One autotune step, run by the Linear thread after a status reply.
void TuneTask(Works* w);
// The TUNE key: starts a run, or ends the one under way without storing.
void GoTune(Works* w);
// Queues the commands that prepare the amplifier and starts a run.
// Returns 1 when a run was started (not with the tuner bypassed).
int StartAutotune(Works* w);
// Takes one measurement; returns 1 when it ended the run.
int TuneStep(Works* w);
void CtrlNuovoTune(Works* w);
// Restores the best setting of the run into works.
void TuneEnd(Works* w);
void Clr_vTuneParam(Works* w);
// Ends the run; stores the tuning when save is set and the SWR allows. The
// file is written once the run lock is released, on the ending thread.
void EscAutoTune(Works* w, int save);
// True from the end of a stored run until its tune-memory file is written.
bool TuneSaveInFlight();

// Counters of the carrier handshake, kept by the caller between cycles.
struct TuneHandshake {
  int count = 0;
  int mark = 0;
};
// The tune-carrier handshake with the companion radio. The timer thread
// calls it once per cycle; it acts only with the companion radio as
// interface and automatic tune enabled.
void TuneCarrierHandshake(Works* w, TuneHandshake* hs);
