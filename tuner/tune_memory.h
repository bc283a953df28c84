// Tune memory and the tune-word lock.
#pragma once
#include <cstdint>
#include <string>

#include "tuner/tuner_fields.h"

struct Works;

// Loads the stored tuning for the operating frequency and AntennaIdx into Tuneval.
void LoadTuneFromMEM(Works* w);
// The same for a given antenna index.
void LoadTuneFromMEM(Works* w, int ant);
void WaitSemaforoTuneval(Works* w);
void StopSemaforoTuneval(Works* w);

// Tune word: C and L (9 bits each) and the network mode bits.
constexpr uint32_t kTuneCL = 0x800000u;
constexpr uint32_t kTuneLC = 0x40000u;
constexpr uint32_t kTuneBypass = 0x10000u;
void SetC(Works* w, int value);
void SetI(Works* w, int value);
int DecodeCapacitaFromTuneval(uint32_t word);
int DecodeInduttanzaFromTuneval(uint32_t word);
// 0 none, 1 CL, 2 LC, 3 bypass; 0 (and a log line) for more than one mode bit.
int DecodeModoFromTuneval(uint32_t word);
// Pure word builders used by SetC/SetI.
uint32_t TuneWordWithC(uint32_t word, int value);
uint32_t TuneWordWithI(uint32_t word, int value);
void SetMode(Works* w, int mode);
// ValC, ValI, ModoTune from Tuneval; a word without mode becomes bypass.
void ReadTnePar(Works* w);
// Network mode label for the debug line ("CL", "LC", "BP").
extern char ModeTuneDebug[6];

// Frequency slots.
constexpr int kAtuStepPairs = 23;
extern const int32_t tabAtuStep[kAtuStepPairs][2];
int AtuIdxSearch(long freq, long* segStart, long* segEnd, int* firstSlot, int* endSlot);
long AtuFreqfromIdx(int slot);

// RAM tables (antenna index 0, 1; anything else selects the third).
void SaveTuneValsuTabRam(const TuneRec& rec, int slot, int ant, Works* w);
void LoadTuneValFromTabRam(TuneRec* out, int slot, int ant, Works* w);
int SearchBestTune(Works* w, int target, int first, int end, int ant);
// True when nothing is stored for the target's segment.
bool EsisteTuneValInTabRam(Works* w, int target, int first, int end, int ant);

// Files.
std::string AtuFileName(int bank, int ant);
void LoadTabAtu(Works* w, int bank, int ant);
// Returns 0 when the file was written.
int SaveTabAtu(Works* w, int bank, int ant);
// Stores the present tuning at the operating frequency's slot and saves the
// file. Returns 0 when the file was written.
int InsertTuneToMem(Works* w, int bank, int ant);
// The first half of it: the present tuning into the RAM table only.
void StoreTuneInRam(Works* w, int ant);
// Removes a stored file: selector 0..2 tune memory of antenna 1..3, 3 the antenna table.
void DeleteFileConf(Works* w, int bank, int selector);
