// Antenna tables and banks.
#pragma once
#include <string>

struct Works;
// Loads the bank's antenna table (and so its work mode) and its tune
// memories. Starting and stopping the radio threads for the mode is the
// start-up's (SetModeWorkIDX, LoadBankAndWorkMode in app/spine.h).
void LoadAllBankTable(Works* w, int bank);
// bandName of the first row of the active bank's antenna table whose range
// holds freq; nullptr when none.
const char* BandNameForFreq(Works* w, unsigned long freq);

// Defaults: flag 0 the full table, 1 names and ranges only.
void InitTabAntenna(Works* w, int flag);
// Loads a bank's antenna table; returns the interface of its marker (0 when none).
int LoadTabConfig(Works* w, int bank);
// Writes a bank's antenna table from the one in works. Returns 0 when written.
int SaveTabConfig(Works* w, int bank);
// Stores antenna, bypasses and attenuator into the row of the operating
// frequency, then writes the bank's file.
void SaveToBank(Works* w, int bank, int ant);
// Index of the first row holding freq, -1 when none.
int AntennaRowForFreq(Works* w, long freq);
std::string AntennaFileName(int bank);
