// Small conversions and readers for the refresh and status screens.
#pragma once
#include <cstdint>
#include <ctime>
struct Works;

float ConversionCelsius_to_Fahrenheit(float c);
// Runs "my_temp" and stores the CPU and GPU temperatures; output it cannot
// read leaves them as they were.
void ReadCPUTemp(Works* w);
// Parses the two lines "my_temp" prints (exposed for tests).
void ParseCPUTemp(Works* w, const char* text);
// Refreshes the date-and-time text at most once per second.
void ReadDataOra(Works* w);
// The same for a given second (the timer passes its own clock).
void ReadDataOra(Works* w, time_t now);
// Supply voltage from an 8-bit reading of the front-panel controller.
float CalvTensVadcAmp(Works* w, uint8_t r);

// Second at which the date-and-time text was last formatted.
extern time_t LastSecDataOra;
