#include "core/spine.h"
int zelpyxMain() { return 0; }
