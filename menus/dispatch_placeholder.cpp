// PLACEHOLDER, deleted when the button dispatch is merged: lets the front
// panel build and run before the dispatch exists. Keys do nothing.
#include "menus/dispatch.h"

int DecodeTasto(works*, int, int) { return 0; }
