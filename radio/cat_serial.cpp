// PLACEHOLDER until the FT-817 poll lands.
#include "radio/cat_serial.h"
void CatSerial(Works*) {}
