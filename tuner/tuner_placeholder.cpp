// PLACEHOLDER until the tuner lands: these do nothing.
#include "tuner/antenna.h"
#include "tuner/autotune.h"
#include "tuner/recall.h"
#include "tuner/tune_memory.h"
void LoadAllBankTable(Works*, int) {}
const char* BandNameForFreq(Works*, unsigned long) { return nullptr; }
void TuneTask(Works*) {}
void LoadTuneFromMEM(Works*) {}
void WaitSemaforoTuneval(Works*) {}
void StopSemaforoTuneval(Works*) {}
void SearchCambioSoglie_TS(Works*) {}
void GestioneAntennaAutomatica(Works*) {}
