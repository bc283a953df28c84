#ifndef ZELPYX_MENUS_DISPATCH_H
#define ZELPYX_MENUS_DISPATCH_H

#include "core/works.h"

typedef Works works;

int DecodeTasto(works* w, int key, int held);

#endif
