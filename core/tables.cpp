// PLACEHOLDER until the band tables land.
#include "core/tables.h"
void ReadConfigFile(Works*) {}
void ReadVentolaFile(Works*) {}
void LoadTabFiltri(Works*) {}
