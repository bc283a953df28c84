// Autotune search.
#pragma once
#include <cstdint>

#include "tuner/model_search.h"
#include "tuner/tuner_config.h"

struct Works;

// One measurement of the search: SWR and forward power for a setting.
struct TuneParam {
  float SWR;
  float FWD;
  int L;
  int C;
  uint32_t Tuneval;
};

// The state of the tune search, one per station (works.tuneSearch). The
// Linear thread steps the run; the keys, the timer and the Hamlib link
// start and end runs; all of it under the run lock.
struct TuneSearch {
  TuneParam tuneParam = {};          // the newest reading
  TuneParam miglioretuneParam = {};  // the best reading of the run
  TuneParam vTuneParam[10] = {};                       // the newest readings, newest first
  int cnttune = 0;      // readings of the run
  int cnttunefine = 0;  // steps of the fine walk under way

  // The model search runs in the last state (12), after the table's end or
  // straight after the start.
  bool modelPhase = false;             // state 12 steps the model search
  ModelSearch modelSearch;
  TunerModel tunerModel;
  int runSearch = TUNE_SEARCH_TABLE;   // the search of the run under way
  bool modelFed = false;               // the model search sees this run's readings
  MsSetting modelStartWord;            // sent when the word in place cannot be read
  // The model run ended on a setting other than the one in place: that
  // word goes out first, and the run ends (and stores it) at the next reply.
  bool modelClosing = false;
  int darkReplies = 0;  // replies with the carrier reported but no reading

  // The run lock's holder: its nesting, and the tune-memory file its end
  // leaves to write once the lock is released.
  int lockDepth = 0;
  bool saveDue = false;
  int saveBank = 0, saveAnt = 0;
};

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

// The tune word an "MT1" command cmdNo carries (the stored tuning, the
// bypass, the reset), set under the tune word's lock, which the caller
// releases (StopSemaforoTuneval) once the word is on the wire.
void TakeTuneWordFor(Works* w, int cmdNo);

// Counters of the carrier handshake, kept by the caller between cycles.
struct TuneHandshake {
  int count = 0;
  int mark = 0;
};
// The tune-carrier handshake with the companion radio. The timer thread
// calls it once per cycle; it acts only with the companion radio as
// interface and automatic tune enabled.
void TuneCarrierHandshake(Works* w, TuneHandshake* hs);
