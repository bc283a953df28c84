// PLACEHOLDER until the network settings land.
#include "core/lan.h"
int ReadLanParam() { return 0; }
