// Automatic threshold, antenna and tune recall on a frequency change.
#pragma once
struct Works;
// Sends the band-configuration row's protection thresholds when the row changed.
void SearchCambioSoglie_TS(Works* w);
// Antenna, tuner and amplifier settings from the antenna table's row.
void GestioneAntennaAutomatica(Works* w);
// Queues the memory recall, or the tuner reset when nothing is stored in
// the frequency's segment. Nothing during an autotune run.
void GestioneLoadTuneVal(Works* w);
// Raw 12-bit threshold for a power threshold (W) and its factor
// (W = factor x raw^2), capped at 4095.
int SogliaRaw(float watts, float factor);
