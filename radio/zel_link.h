// Companion-radio links: data port (Serial) and CAT bridge (Cat).
#pragma once
struct Works;

// Decoded parameter record of the companion radio, guarded by serMut.
struct ZelParam {
  long freq = 14070000;
};

void Serial(Works* w);
void Cat(Works* w);
// Copies ZelParam under serMut.
void getParameters(Works* w, ZelParam* out);
