// PLACEHOLDER until the work screens land.
#include "screens/artwork.h"
bool drawWorkScreen(const char*, FbInfo*) { return false; }
