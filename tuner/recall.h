// Automatic threshold, antenna and tune recall on a frequency change.
#pragma once
#include <cstdint>

#include "core/thresholds.h"  // the record these choose from

struct Works;

// Sends the band-configuration row's protection thresholds when the row changed.
void SearchCambioSoglie_TS(Works* w);
// Sends the band's thresholds again at once, whatever was sent before: the
// row's set, or (outside every row) the band set last in force. Used when a
// tune ends and when the amplifier link comes back.
void ResendSoglieTS(Works* w);
// Publishes the set in force with the input-power threshold open (4095),
// without changing the band record, for the autotune's search; the caller
// queues "TS" with its batch.
void OpenInputSoglieTS(Works* w);
// Antenna, tuner and amplifier settings from the antenna table's row.
void GestioneAntennaAutomatica(Works* w);
// Queues the memory recall, or the tuner reset when nothing is stored in
// the frequency's segment. Nothing during an autotune run.
void GestioneLoadTuneVal(Works* w);
// Raw 12-bit threshold for a power threshold (W) and its factor
// (W = factor x raw^2), capped at 4095.
int SogliaRaw(float watts, float factor);
