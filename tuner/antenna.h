// Antenna tables and banks.
#pragma once
struct Works;
void LoadAllBankTable(Works* w, int bank);
// bandName of the first row of the active bank's antenna table whose range
// holds freq; nullptr when none.
const char* BandNameForFreq(Works* w, unsigned long freq);
