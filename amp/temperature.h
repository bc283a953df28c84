// Temperatures, power factors, fan step and over-temperature protection;
// all run on the Linear thread while a status reply is decoded.
#pragma once
struct Works;

// Raw 12-bit reading of a 10 kohm NTC divider -> degrees C, -10..80.
float CalcolaTemp(int raw);
// Power factor K0 (forward), K1 (reflected), K2 (input) or K3
// (directivity) for the operating frequency.
float SearchK(Works* w, int kind);
// Chooses the fan step and queues "FN" when it must change.
void searchPercentVentola(Works* w);
// Temperature of the first fan row with this step; 0 when none.
float SearchTemperatureFromVentola(Works* w, int percent);
// Warning / alarm / end sequence for one sensor.
void GestTemperatureFunction(Works* w, int alarmCode, int endCode, int warnCode, float temperature,
                             float threshold);
void AttivaDisattivaProtezione(Works* w, int on);
// The temperature log (LOGtemp.txt): mode -1 deletes it, 0 appends a
// plain line, 1 a protection line.
void LogTempFunction(Works* w, int mode);
